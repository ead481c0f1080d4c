// Both scanners on real files made by ffmpeg and libx264, checked against what ffmpeg's own tools
// decode from the same files, and the in-place write-back proven with those tools.

#include "MediaFiles.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "h264/uH264.h"

#include <gtest/gtest.h>

namespace {

using RowList = std::vector<const TARInfo *>;

RowList AllRows(const TARInfoList &list) {
    RowList rows;
    for (size_t i = 0; i < list.Count(); ++i)
        rows.push_back(list.Items(i));
    return rows;
}

// The rows of the SPS in the movie data of AVI stream number (the data chunks "00dc", "01dc", ...), in
// file order; an SPS copied into the stream's format chunk lies before the movie data.
RowList RowsOfStream(const TARInfoList &list, const TGenericRIFFChunk &movi, int number) {
    RowList rows;
    for (const TARInfo *record : AllRows(list))
        if (record->Track != nullptr && record->Track->Number == number &&
            record->Placement.FileOffset(0) >= movi.DataPos && record->Placement.FileOffset(0) < movi.WalkEnd)
            rows.push_back(record);
    return rows;
}

std::string RatioText(int x, int y) {
    return std::to_string(x) + ":" + std::to_string(y);
}

// The SPS of one video stream against ffmpeg's decoding of the same stream: the same number of SPS, and
// for each SPS with a ratio, in the same order, one row with the same fields, whose texts show what
// ffprobe reports. An SPS without a ratio is counted and gets no row.
void ExpectAgreesWithFFmpeg(const RowList &rows, int64_t spsCount, const std::string &path, int videoIndex,
                            const ProbedVideo &probed) {
    std::vector<TracedSps> traced = TraceSps(path, videoIndex);
    ASSERT_FALSE(traced.empty());
    ASSERT_EQ(spsCount, static_cast<int64_t>(traced.size()));
    size_t next = 0;
    for (size_t i = 0; i < traced.size(); ++i) {
        SCOPED_TRACE("SPS " + std::to_string(i));
        if (traced[i].aspectRatioIdc < 0) {
            EXPECT_EQ(probed.sarWidth, 0);
            continue;
        }
        ASSERT_LT(next, rows.size());
        const TARInfo &record = *rows[next++];
        const TSequenceParameterSet &sps = *SpsOf(record.Unit);
        EXPECT_EQ(sps.profile_idc, traced[i].profileIdc);
        EXPECT_EQ(static_cast<int>(sps.seq_parameter_set_id), traced[i].seqParameterSetId);
        EXPECT_EQ(sps.Width(), probed.width);
        EXPECT_EQ(sps.Height(), probed.height);
        EXPECT_EQ(sps.AspectRatioIdc(), traced[i].aspectRatioIdc);
        if (traced[i].aspectRatioIdc == 255) {
            EXPECT_EQ(sps.SarWidth(), traced[i].sarWidth);
            EXPECT_EQ(sps.SarHeight(), traced[i].sarHeight);
        }
        EXPECT_EQ(record.SarText(), RatioText(probed.sarWidth, probed.sarHeight));
        EXPECT_EQ(record.ResolutionText(),
                  std::to_string(probed.width) + "x" + std::to_string(probed.height));
        EXPECT_EQ(record.TypeText(), traced[i].aspectRatioIdc == 255 ? "Custom" : "Predefined");
        EXPECT_EQ(record.SpsId(), traced[i].seqParameterSetId);
    }
    EXPECT_EQ(next, rows.size());
}

// The ratios the write-back tests change to: a predefined code for a predefined one, a custom ratio
// for a custom one (the kind must stay, so the bits keep their place).
constexpr uint8_t NewCode = 4; // 16:11
constexpr int NewCustomWidth = 1000;
constexpr int NewCustomHeight = 891;

class RealFilesTest : public ScanTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(HaveMediaTools()) << "ffmpeg and ffprobe with libx264 are needed (run.sh installs them)";
    }

    // Sets a new ratio on every record, writes the changes into the file, and proves that the write was
    // in place: the length is kept, only bytes of the written spans differ (the aspect-ratio bits of every
    // SPS and, in an AVI, the display aspect ratio of each changed stream's vprp chunk), and every decoded
    // frame is bit-identical before and after.
    void WriteAndProveInPlace(const std::string &path) {
        ASSERT_GT(Rows().Count(), 0u);
        std::vector<uint8_t> before = ReadFile(path);
        std::vector<std::string> framesBefore = FrameMd5(path);
        struct Span {
            int64_t first;
            int64_t last;
        };
        std::vector<Span> spans;
        for (size_t i = 0; i < Rows().Count(); ++i) {
            TARInfo &record = *Rows().Items(i);
            const TVUIParameters &vui = *SpsOf(record.Unit)->VUIParameters;
            bool custom = record.CurrentAspectRatioIdc() == 255;
            int64_t firstBit = record.VuiOffset() * 8 + vui.BitOffset + 1;
            spans.push_back({firstBit / 8, (firstBit + (custom ? 40 : 8) - 1) / 8});
            record.NewAspectRatioIdc = custom ? 255 : NewCode;
            record.NewSarWidth = custom ? NewCustomWidth : PredefinedSarWidth(NewCode);
            record.NewSarHeight = custom ? NewCustomHeight : PredefinedSarHeight(NewCode);
        }
        ASSERT_TRUE(Rows().CanSave());
        // The container statements of the changed streams follow them; none is left or refused.
        TPatchPlan plan = Rows().PlanChanges();
        EXPECT_TRUE(plan.Notes.empty());
        EXPECT_TRUE(plan.Refusals.empty());
        for (const TPlanEntry &entry : plan.Entries)
            if (entry.Kind == TPlanEntry::TKind::Container)
                for (const TPatch &patch : entry.Patches)
                    spans.push_back({patch.FileOffset, patch.End() - 1});
        {
            TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
            ASSERT_NO_THROW(Rows().WriteChanges(file));
        }

        std::vector<uint8_t> after = ReadFile(path);
        ASSERT_EQ(after.size(), before.size());
        std::vector<bool> spanChanged(spans.size(), false);
        for (size_t at = 0; at < after.size(); ++at) {
            if (after[at] == before[at])
                continue;
            bool inSpan = false;
            for (size_t s = 0; s < spans.size(); ++s)
                if (static_cast<int64_t>(at) >= spans[s].first && static_cast<int64_t>(at) <= spans[s].last) {
                    inSpan = true;
                    spanChanged[s] = true;
                }
            EXPECT_TRUE(inSpan) << "byte " << at << " changed outside the written spans";
        }
        for (size_t s = 0; s < spans.size(); ++s)
            EXPECT_TRUE(spanChanged[s]) << "span " << s << " was left as it was";
        for (size_t i = 0; i < Rows().Count(); ++i) {
            const TARInfo &record = *Rows().Items(i);
            EXPECT_FALSE(record.IsChanged());
            EXPECT_EQ(record.SarText(),
                      record.CurrentAspectRatioIdc() == 255
                          ? RatioText(NewCustomWidth, NewCustomHeight)
                          : RatioText(PredefinedSarWidth(NewCode), PredefinedSarHeight(NewCode)));
        }
        std::vector<std::string> framesAfter = FrameMd5(path);
        EXPECT_FALSE(framesAfter.empty());
        EXPECT_EQ(framesAfter, framesBefore);
    }

    // After WriteAndProveInPlace: every SPS of the stream, as ffmpeg decodes it, holds the new ratio.
    static void ExpectNewRatioInEverySps(const std::string &path, int videoIndex, bool custom) {
        std::vector<TracedSps> traced = TraceSps(path, videoIndex);
        ASSERT_FALSE(traced.empty());
        for (const TracedSps &sps : traced) {
            EXPECT_EQ(sps.aspectRatioIdc, custom ? 255 : NewCode);
            if (custom) {
                EXPECT_EQ(sps.sarWidth, NewCustomWidth);
                EXPECT_EQ(sps.sarHeight, NewCustomHeight);
            }
        }
    }
};

struct RawCase {
    const char *name;
    VideoSpec video;
    int profileIdc; // -1: whatever libx264 chooses
};

VideoSpec Video(std::string sar, std::string profile = "", std::string pixFmt = "yuv420p") {
    VideoSpec video;
    video.sar = std::move(sar);
    video.profile = std::move(profile);
    video.pixFmt = std::move(pixFmt);
    return video;
}

RawCase Interlaced() {
    VideoSpec video = Video("12/11");
    video.interlaced = true;
    return {"interlaced", video, -1};
}

RawCase Cropped1080p() {
    VideoSpec video = Video("1/1");
    video.width = 1920;
    video.height = 1080;
    video.frames = 2;
    return {"cropped_1080p", video, -1};
}

void PrintTo(const RawCase &c, std::ostream *out) {
    *out << c.name;
}

class RawStreams : public RealFilesTest, public testing::WithParamInterface<RawCase> {};

TEST_P(RawStreams, RowsAgreeWithFFprobe) {
    const RawCase &c = GetParam();
    std::string path = Dir.File("video.h264");
    MakeRawH264(path, c.video);

    ScanOutcome outcome = RunScan(NewStreamScan(), path);

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    ASSERT_GT(Session().RatioUnitCount, 0);
    EXPECT_EQ(Session().DamagedUnitCount, 0);
    EXPECT_TRUE(Session().Notices.empty());
    ExpectAgreesWithFFmpeg(AllRows(Rows()), Session().RatioUnitCount, path, 0, ProbeVideo(path));
    if (Rows().Count() == 0)
        return; // an SPS without a ratio: counted, nothing more to look at
    const TSequenceParameterSet &first = *SpsOf(Rows().Items(0)->Unit);
    if (c.profileIdc >= 0) {
        EXPECT_EQ(first.profile_idc, c.profileIdc);
    }
    if (c.video.interlaced) {
        EXPECT_EQ(first.frame_mbs_only_flag, 0);
    }
    if (c.video.height == 1080) {
        EXPECT_EQ(first.frame_cropping_flag, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, RawStreams,
    testing::Values(RawCase{"predefined_sar", Video("12/11"), -1}, RawCase{"custom_sar", Video("64/45"), -1},
                    RawCase{"no_sar_in_vui", Video(""), -1},
                    RawCase{"baseline", Video("64/45", "baseline"), 66},
                    RawCase{"main", Video("64/45", "main"), 77}, RawCase{"high", Video("64/45", "high"), 100},
                    RawCase{"high10", Video("64/45", "high10", "yuv420p10le"), 110},
                    RawCase{"high422", Video("12/11", "high422", "yuv422p"), 122},
                    RawCase{"high444", Video("12/11", "high444", "yuv444p"), 244}, Interlaced(),
                    Cropped1080p()),
    [](const testing::TestParamInfo<RawCase> &info) { return std::string(info.param.name); });

VideoSpec Repeated(std::string sar, int keyint, int frames) {
    VideoSpec video = Video(std::move(sar));
    video.repeatHeaders = true;
    video.keyint = keyint;
    video.frames = frames;
    return video;
}

TEST_F(RealFilesTest, RepeatedSpsInARawStreamIsCountedAndRewrittenInPlace) {
    for (const char *sar : {"12/11", "64/45"}) {
        SCOPED_TRACE(sar);
        std::string path = Dir.File("repeated.h264");
        MakeRawH264(path, Repeated(sar, 10, 25));
        ASSERT_EQ(RunScan(NewStreamScan(), path).kind, ScanOutcome::Kind::None);
        // Key frames 0, 10 and 20, each with its SPS.
        ASSERT_EQ(Session().RatioUnitCount, 3);
        ASSERT_EQ(Rows().Count(), 3u);
        ExpectAgreesWithFFmpeg(AllRows(Rows()), Session().RatioUnitCount, path, 0, ProbeVideo(path));
        bool custom = Rows().Items(0)->CurrentAspectRatioIdc() == 255;
        EXPECT_EQ(custom, std::string(sar) == "64/45");

        WriteAndProveInPlace(path);

        ProbedVideo probed = ProbeVideo(path);
        EXPECT_EQ(RatioText(probed.sarWidth, probed.sarHeight),
                  custom ? RatioText(NewCustomWidth, NewCustomHeight) : "16:11");
        ExpectNewRatioInEverySps(path, 0, custom);
    }
}

// Two H.264 streams (chunks 00dc and 01dc) with 16-bit PCM audio chunks between them: both streams are
// found, each agrees with ffmpeg, and the write-back reaches every SPS of both.
TEST_F(RealFilesTest, AviWithTwoVideoStreamsAndAudioIsScannedAndRewrittenInPlace) {
    VideoSpec first = Repeated("12/11", 5, 15);
    VideoSpec second = Repeated("64/45", 10, 15);
    second.width = 320;
    second.height = 240;
    std::string path = Dir.File("two.avi");
    MakeAvi(path, {first, second}, true);
    TRIFFParser &riff = NewRiffScan();
    // The audio chunks lie between the video chunks: the walk reads their headers on its way.
    std::vector<int64_t> headerEnds;
    Log.Hook = [&](const ScanEvent &event) {
        if (event.kind == ScanEvent::Kind::Progress)
            headerEnds.push_back(event.position);
    };

    ScanOutcome outcome = RunScan(riff, path);
    Log.Hook = nullptr;

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    const TGenericRIFFChunk *movi = FindList(*riff.RootChunk, "movi");
    ASSERT_NE(movi, nullptr);
    // Of the movie data the tree keeps the chunks with an SPS, in file order.
    std::vector<int64_t> audioHeaders;
    for (int64_t end : headerEnds) {
        std::vector<uint8_t> id = ReadFileAt(path, end - 8, 4);
        if (end > movi->DataPos && std::string(id.begin(), id.end()) == "02wb")
            audioHeaders.push_back(end - 8);
    }
    ASSERT_FALSE(audioHeaders.empty());
    ASSERT_FALSE(movi->Children.empty());
    EXPECT_LT(audioHeaders.front(), movi->Children.back()->HeaderPos);
    for (const auto &chunk : movi->Children)
        EXPECT_TRUE(chunk->ID == "00dc" || chunk->ID == "01dc") << chunk->ID;
    ASSERT_EQ(Session().Tracks.size(), 2u);
    RowList stream0 = RowsOfStream(Rows(), *movi, 0), stream1 = RowsOfStream(Rows(), *movi, 1);
    EXPECT_EQ(stream0.size(), 3u);
    EXPECT_EQ(stream1.size(), 2u);
    EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(Rows().Count()));
    EXPECT_EQ(Rows().Count(), stream0.size() + stream1.size());
    ExpectAgreesWithFFmpeg(stream0, static_cast<int64_t>(stream0.size()), path, 0,
                           ProbeVideoBitstream(path, 0));
    ExpectAgreesWithFFmpeg(stream1, static_cast<int64_t>(stream1.size()), path, 1,
                           ProbeVideoBitstream(path, 1));

    WriteAndProveInPlace(path);

    // The SAR of the SPS, and the one ffprobe derives from the vprp chunk's display aspect ratio.
    for (bool container : {false, true}) {
        SCOPED_TRACE(container ? "vprp" : "SPS");
        ProbedVideo probed0 = container ? ProbeVideo(path, 0) : ProbeVideoBitstream(path, 0);
        ProbedVideo probed1 = container ? ProbeVideo(path, 1) : ProbeVideoBitstream(path, 1);
        EXPECT_EQ(RatioText(probed0.sarWidth, probed0.sarHeight), "16:11");
        EXPECT_EQ(RatioText(probed1.sarWidth, probed1.sarHeight), RatioText(NewCustomWidth, NewCustomHeight));
    }
    ExpectNewRatioInEverySps(path, 0, false);
    ExpectNewRatioInEverySps(path, 1, true);
}

// libx264 puts the SPS first in each key frame's chunk, so looking at the first NAL unit of each chunk
// finds them all; with an access unit delimiter in front of every frame it finds none.
TEST_F(RealFilesTest, FirstUnitOnlyAgainstDeepScanInAvi) {
    for (bool delimiters : {false, true}) {
        SCOPED_TRACE(delimiters ? "with delimiters" : "without delimiters");
        VideoSpec video = Repeated("12/11", 5, 15);
        video.accessUnitDelimiters = delimiters;
        std::string path = Dir.File("first.avi");
        MakeAvi(path, {video});
        size_t spsCount = TraceSps(path, 0).size();
        ASSERT_EQ(spsCount, 3u);

        TRIFFParser &deep = NewRiffScan();
        ASSERT_TRUE(deep.DeepScan);
        ASSERT_EQ(RunScan(deep, path).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(spsCount));

        TRIFFParser &firstOnly = NewRiffScan();
        firstOnly.DeepScan = false;
        ASSERT_EQ(RunScan(firstOnly, path).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Session().RatioUnitCount, delimiters ? 0 : static_cast<int64_t>(spsCount));
        // With no SPS row, the stream's container statement (its vprp) is listed in their place.
        ASSERT_EQ(static_cast<int64_t>(Rows().Count()), delimiters ? 1 : Session().RatioUnitCount);
        EXPECT_EQ(Rows().Items(0)->IsContainerRow(), delimiters);
    }
}

// An Xvid AVI is MPEG-4 Part 2 by its handler: no question about a foreign handler, its VOLs are read
// with their own codec (one behind the headers that open each key frame), and none of its start codes is
// taken for an H.264 unit. The video properties chunk follows a change of them.
TEST_F(RealFilesTest, XvidStreamIsReadAsItsOwnCodec) {
    VideoSpec video;
    video.encoder = "mpeg4";
    video.tag = "XVID";
    video.sar = "64/45"; // extended: 64:45 is no code of the table
    video.frames = 24;
    video.keyint = 12;
    std::string path = Dir.File("xvid.avi");
    MakeAvi(path, {video});

    std::vector<std::string> asked;
    TRIFFParser &riff = NewRiffScan();
    riff.Events.OnForeignHandler = [&asked](const std::string &fourCC) {
        asked.push_back(fourCC);
        return true;
    };
    ScanOutcome outcome = RunScan(riff, path);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_TRUE(asked.empty());
    EXPECT_FALSE(riff.Aborted);
    EXPECT_EQ(Session().RatioUnitCount, 2);
    EXPECT_EQ(Session().DamagedUnitCount, 0);
    EXPECT_EQ(Session().NoticeCount, 0);
    ASSERT_EQ(Session().Tracks.size(), 1u);
    ASSERT_NE(Session().Tracks[0].Codec, nullptr);
    EXPECT_STREQ(Session().Tracks[0].Codec->Key, "mpeg4visual");
    ASSERT_EQ(Rows().Count(), 2u);
    for (size_t i = 0; i < Rows().Count(); ++i) {
        EXPECT_FALSE(Rows().Items(i)->IsContainerRow());
        EXPECT_EQ(Rows().Items(i)->SarText(), "64:45");
        ASSERT_EQ((TRatioChange{TRatioChange::TKind::Sar, 0, {32, 27}}).ApplyTo(*Rows().Items(i)), "");
    }
    TPatchPlan plan = Rows().PlanChanges();
    EXPECT_TRUE(plan.Refusals.empty());
    EXPECT_EQ(plan.Entries.size(), 3u) << "two VOLs and the video properties";
}

} // namespace
