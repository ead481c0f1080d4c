// The transport stream scanner on real files made by ffmpeg and libx264 (.ts with AC-3 audio, .m2ts, two
// programs, an SPS before every key frame), and on a real x264 stream put into packets here so that every
// SPS straddles a packet boundary: inside its start code, inside its aspect-ratio bits, with an adaptation
// field in the next packet, in 192-byte packets. Each change is proven with ffmpeg's own tools.

#include "MediaFiles.h"
#include "ScanHarness.h"
#include "TsBuilder.h"
#include "base/Messages.h"
#include "codec/NalSource.h"
#include "h264/uH264.h"
#include "scan/TSParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

std::string RatioText(int x, int y) {
    return std::to_string(x) + ":" + std::to_string(y);
}

TRatioChange SarChange(int width, int height) {
    TRatioChange change;
    change.Kind = TRatioChange::TKind::Sar;
    change.Ratio = {width, height};
    return change;
}

class TsRealFiles : public ScanTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(HaveMediaTools()) << "ffmpeg and ffprobe with libx264 are needed (run.sh installs them)";
    }

    // Scans the file with the scanner its content calls for, which must be the transport stream scanner
    // for that packet size; every row's bytes are the file's bytes at its placement, all of them bytes of
    // its PID's elementary stream.
    void ScanChecked(const std::string &path, int packetSize) {
        const TFileFormat format = ProbeFile(path);
        ASSERT_EQ(TsPacketStride(format), packetSize);
        const ScanOutcome outcome = RunScan(NewScan(format), path);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(Session().NoticeCount, 0) << Session().Notices.front().Text;
        EXPECT_EQ(Session().DamagedUnitCount, 0);
        const ByteVector file = ReadFile(path);
        std::map<int, std::set<int64_t>> streamBytes;
        for (const TTrack &track : Session().Tracks) {
            const TsElementaryStream stream =
                ReadTsElementaryStream(file, packetSize, static_cast<uint16_t>(track.Number));
            streamBytes[track.Number].insert(stream.offsets.begin(), stream.offsets.end());
        }
        for (size_t row = 0; row < Rows().Count(); ++row) {
            const TARInfo &record = *Rows().Items(row);
            ASSERT_NE(record.Track, nullptr);
            EXPECT_EQ(record.Track->Label, Format(STsPidLabel, record.Track->Number));
            EXPECT_EQ(record.NotChangeable, nullptr);
            const std::vector<uint8_t> &bytes = record.Unit->Bytes();
            for (size_t i = 0; i < bytes.size(); ++i) {
                const int64_t at = record.Placement.FileOffset(static_cast<int64_t>(i));
                ASSERT_EQ(file[static_cast<size_t>(at)], bytes[i]) << "row " << row << ", byte " << i;
                ASSERT_EQ(streamBytes[record.Track->Number].count(at), 1u) << "row " << row << ", byte " << i;
            }
        }
    }

    // Scans the file as the transport stream its content says it is; the scan must end without an error.
    void ScanOf(const std::string &path) {
        const ScanOutcome outcome = RunScan(NewScan(ProbeFile(path)), path);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    }

    std::vector<std::string> NoticeTexts() {
        std::vector<std::string> texts;
        for (const TScanNotice &notice : Session().Notices)
            texts.push_back(notice.Text);
        return texts;
    }

    // The rows of the PID.
    std::vector<TARInfo *> RowsOf(int pid) {
        std::vector<TARInfo *> rows;
        for (size_t i = 0; i < Rows().Count(); ++i)
            if (Rows().Items(i)->Track->Number == pid)
                rows.push_back(Rows().Items(i));
        return rows;
    }

    // Writes the new values of the rows into the file and proves the write was in place: the length is
    // kept, the bytes that differ are bytes of the plan's patches and of the video streams (never of a
    // packet header, adaptation field, PES header or time code), every decoded frame is as it was, and
    // ffprobe and trace_headers read from every SPS of each video stream what it should now hold.
    void WriteAndProve(const std::string &path, int packetSize, const std::vector<ProbedVideo> &expected) {
        const ByteVector before = ReadFile(path);
        const std::vector<std::string> framesBefore = FrameMd5(path);
        TPatchPlan plan = Rows().PlanChanges();
        ASSERT_TRUE(plan.Refusals.empty()) << plan.Refusals.front().Reason;
        EXPECT_TRUE(plan.Notes.empty());
        std::set<int64_t> planned;
        for (const TPlanEntry &entry : plan.Entries) {
            EXPECT_EQ(entry.Kind, TPlanEntry::TKind::Row) << "this container states no ratio of its own";
            for (const TPatch &patch : entry.Patches)
                for (int64_t at = patch.FileOffset; at < patch.End(); ++at)
                    planned.insert(at);
        }
        {
            TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
            ASSERT_NO_THROW(Rows().WriteChanges(file));
        }
        const ByteVector after = ReadFile(path);
        ASSERT_EQ(after.size(), before.size());
        std::set<int64_t> streamBytes;
        for (const TTrack &track : Session().Tracks) {
            const TsElementaryStream stream =
                ReadTsElementaryStream(before, packetSize, static_cast<uint16_t>(track.Number));
            streamBytes.insert(stream.offsets.begin(), stream.offsets.end());
        }
        size_t changed = 0;
        for (size_t at = 0; at < after.size(); ++at) {
            if (after[at] == before[at])
                continue;
            ++changed;
            ASSERT_EQ(planned.count(static_cast<int64_t>(at)), 1u) << "an unplanned byte changed at " << at;
            ASSERT_EQ(streamBytes.count(static_cast<int64_t>(at)), 1u)
                << "a packet's own byte changed at " << at;
        }
        EXPECT_GT(changed, 0u);
        EXPECT_EQ(FrameMd5(path), framesBefore);
        for (size_t video = 0; video < expected.size(); ++video) {
            SCOPED_TRACE("video stream " + std::to_string(video));
            const ProbedVideo probed = ProbeVideo(path, static_cast<int>(video));
            EXPECT_EQ(RatioText(probed.sarWidth, probed.sarHeight),
                      RatioText(expected[video].sarWidth, expected[video].sarHeight));
            EXPECT_EQ(RatioText(probed.darWidth, probed.darHeight),
                      RatioText(expected[video].darWidth, expected[video].darHeight));
            const std::vector<TracedSps> traced = TraceSps(path, static_cast<int>(video));
            ASSERT_FALSE(traced.empty());
            for (const TracedSps &sps : traced) {
                const int x =
                    sps.aspectRatioIdc == 255 ? sps.sarWidth : PredefinedSarWidth(sps.aspectRatioIdc);
                const int y =
                    sps.aspectRatioIdc == 255 ? sps.sarHeight : PredefinedSarHeight(sps.aspectRatioIdc);
                EXPECT_EQ(RatioText(x, y), RatioText(expected[video].sarWidth, expected[video].sarHeight));
            }
        }
        // Scanned again, the rows are where they were, with the new values.
        std::vector<std::string> texts;
        for (size_t i = 0; i < Rows().Count(); ++i)
            texts.push_back(Rows().Items(i)->SarText() + "@" + std::to_string(Rows().Items(i)->VuiOffset()));
        ScanChecked(path, packetSize);
        ASSERT_EQ(Rows().Count(), texts.size());
        for (size_t i = 0; i < Rows().Count(); ++i)
            EXPECT_EQ(Rows().Items(i)->SarText() + "@" + std::to_string(Rows().Items(i)->VuiOffset()),
                      texts[i]);
    }
};

ProbedVideo Expected(int sarWidth, int sarHeight, int darWidth, int darHeight) {
    ProbedVideo video;
    video.sarWidth = sarWidth;
    video.sarHeight = sarHeight;
    video.darWidth = darWidth;
    video.darHeight = darHeight;
    return video;
}

VideoSpec KeyFrameHeaders(int width, int height, const std::string &sar) {
    VideoSpec video;
    video.width = width;
    video.height = height;
    video.frames = 25;
    video.sar = sar;
    video.repeatHeaders = true;
    video.keyint = 5;
    return video;
}

// A .ts with AC-3 audio and an SPS before every key frame: every SPS is listed and every one changed.
TEST_F(TsRealFiles, TsWithAc3AudioAndAnSpsAtEveryKeyFrame) {
    const std::string path = Dir.File("clip.ts");
    MakeTransportStream(path, {KeyFrameHeaders(320, 240, "64/45")}, {.ac3Audio = true});
    ScanChecked(path, 188);
    ASSERT_EQ(Session().Tracks.size(), 1u);
    EXPECT_EQ(Session().Tracks[0].Label, "PID 0x0100");
    EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(TraceSps(path).size()));
    ASSERT_EQ(Rows().Count(), 5u); // 25 frames, a key frame every 5
    for (size_t i = 0; i < Rows().Count(); ++i)
        ASSERT_EQ(SarChange(16, 11).ApplyTo(*Rows().Items(i)), "");
    WriteAndProve(path, 188, {Expected(16, 11, 64, 33)});
}

// A .m2ts (192-byte packets) with a predefined ratio, changed to another predefined one.
TEST_F(TsRealFiles, M2tsWithAPredefinedRatio) {
    const std::string path = Dir.File("clip.m2ts");
    MakeTransportStream(path, {KeyFrameHeaders(352, 288, "4/3")}, {.m2ts = true});
    ScanChecked(path, 192);
    ASSERT_EQ(Rows().Count(), 5u);
    for (size_t i = 0; i < Rows().Count(); ++i) {
        EXPECT_EQ(Rows().Items(i)->CurrentAspectRatioIdc(), 14);
        ASSERT_EQ(SarChange(12, 11).ApplyTo(*Rows().Items(i)), "");
    }
    WriteAndProve(path, 192, {Expected(12, 11, 4, 3)});
}

// Two programs, each with a video stream of its own: each PID is a track with its rows, and a change of one
// stream leaves the other as it is.
TEST_F(TsRealFiles, TwoProgramsEachWithItsVideo) {
    const std::string path = Dir.File("two.ts");
    MakeTransportStream(path, {KeyFrameHeaders(320, 240, "1/1"), KeyFrameHeaders(176, 144, "12/11")},
                        {.ac3Audio = true, .programPerStream = true});
    ScanChecked(path, 188);
    ASSERT_EQ(Session().Tracks.size(), 2u);
    const int first = Session().Tracks[0].Number;
    const int second = Session().Tracks[1].Number;
    EXPECT_NE(first, second);
    ASSERT_EQ(RowsOf(first).size(), 5u);
    ASSERT_EQ(RowsOf(second).size(), 5u);
    for (TARInfo *row : RowsOf(first))
        EXPECT_EQ(row->SarText(), "1:1");
    for (TARInfo *row : RowsOf(second)) {
        EXPECT_EQ(row->SarText(), "12:11");
        ASSERT_EQ(SarChange(16, 11).ApplyTo(*row), "");
    }
    WriteAndProve(path, 188, {Expected(1, 1, 4, 3), Expected(16, 11, 16, 9)});
}

// MPEG-2 video beside H.264: each PID is read with the codec its stream type names, every sequence
// header and SPS a row of its own. MPEG-4 Part 2 (stream type 0x10) is read for its VOLs.
TEST_F(TsRealFiles, EachPidIsReadWithTheCodecItsMapNames) {
    VideoSpec mpeg2 = KeyFrameHeaders(320, 240, "4/3"); // 16:9, code 3
    mpeg2.encoder = "mpeg2video";
    const std::string both = Dir.File("mpeg2-h264.ts");
    MakeTransportStream(both, {mpeg2, KeyFrameHeaders(176, 144, "12/11")});
    ScanOf(both);
    ASSERT_EQ(Session().Tracks.size(), 2u);
    EXPECT_STREQ(Session().Tracks[0].Codec->Key, "mpeg2video");
    EXPECT_STREQ(Session().Tracks[1].Codec->Key, "h264");
    EXPECT_EQ(RowsOf(0x0100).size(), 5u);
    EXPECT_EQ(RowsOf(0x0101).size(), 5u);
    for (const TARInfo *row : RowsOf(0x0100))
        EXPECT_EQ(row->SarText(), "4:3");
    EXPECT_EQ(Session().DamagedUnitCount, 0);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});

    VideoSpec mpeg4 = KeyFrameHeaders(320, 240, "64/45");
    mpeg4.encoder = "mpeg4";
    const std::string alone = Dir.File("mpeg4.ts");
    MakeTransportStream(alone, {mpeg4});
    ScanOf(alone);
    ASSERT_EQ(Session().Tracks.size(), 1u);
    EXPECT_STREQ(Session().Tracks[0].Codec->Key, "mpeg4visual");
    EXPECT_EQ(Session().DamagedUnitCount, 0);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
    ASSERT_EQ(Rows().Count(), 5u); // a VOL ahead of every key frame
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ(Rows().Items(i)->SarText(), "64:45");
}

// Where a packet boundary cuts each SPS of a real stream, counted from its header byte.
struct Straddle {
    const char *name;
    int packetSize;
    bool pcr;
    // Where the cut lies, given the unit's aspect_ratio_idc byte.
    int64_t (*cut)(int64_t aspectRatioByte);
};

// The access units of an Annex B stream with access unit delimiters: where each begins.
std::vector<size_t> AccessUnitStarts(const ByteVector &es) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 < es.size(); ++i)
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && NalUnitTypeOf(es[i + 3]) == 9)
            starts.push_back(i > 0 && es[i - 1] == 0 ? i - 1 : i);
    return starts;
}

// A real x264 stream put into packets, one PES per access unit, every SPS cut by a packet boundary.
TEST_F(TsRealFiles, RealSpsSplitAcrossPacketsAreChangedInBothPackets) {
    VideoSpec video = KeyFrameHeaders(320, 240, "64/45");
    video.profile = "baseline"; // no reordering: each PES's time stamp is its decoding time
    video.accessUnitDelimiters = true;
    const std::string raw = Dir.File("source.h264");
    MakeRawH264(raw, video);
    const ByteVector es = ReadFile(raw);
    const std::vector<size_t> units = AccessUnitStarts(es);
    ASSERT_EQ(units.size(), 25u);

    const Straddle cases[] = {
        {"inside the start code", 188, false, [](int64_t) -> int64_t { return -2; }},
        {"inside the aspect-ratio bits", 188, false, [](int64_t ratio) { return ratio + 2; }},
        {"inside the aspect-ratio bits, a PCR behind", 188, true, [](int64_t ratio) { return ratio + 1; }},
        {"inside the aspect-ratio bits, 192-byte packets", 192, false,
         [](int64_t ratio) { return ratio + 3; }},
    };
    for (const Straddle &c : cases) {
        SCOPED_TRACE(c.name);
        TsBuilder ts(c.packetSize);
        ts.Pat({{1, 0x1000}});
        ts.Pmt(0x1000, 1, {{0x1B, 0x0100}});
        size_t straddling = 0;
        for (size_t u = 0; u < units.size(); ++u) {
            const size_t end = u + 1 < units.size() ? units[u + 1] : es.size();
            const ByteVector unit(es.begin() + static_cast<ptrdiff_t>(units[u]),
                                  es.begin() + static_cast<ptrdiff_t>(end));
            TsPesOptions pes;
            pes.pts = 126000 + 3600 * static_cast<int64_t>(u);
            for (size_t i = 0; i + 3 < unit.size(); ++i) {
                if (unit[i] != 0 || unit[i + 1] != 0 || unit[i + 2] != 1 || NalUnitTypeOf(unit[i + 3]) != 7)
                    continue;
                const size_t header = i + 3;
                const int64_t length =
                    FindUnitEnd(unit.data() + header, static_cast<int64_t>(unit.size() - header), true);
                const auto sps =
                    DecodeNALUnit(ByteVector(unit.begin() + static_cast<ptrdiff_t>(header),
                                             unit.begin() + static_cast<ptrdiff_t>(header + length)),
                                  true);
                const int64_t ratio = sps->SequenceParameterSet->VUIParameters->AspectRatioIdcPosition;
                TsPacketOptions next;
                next.pcr = c.pcr;
                pes.cuts.push_back({static_cast<size_t>(static_cast<int64_t>(header) + c.cut(ratio)), next});
                ++straddling;
            }
            ts.Pes(0x0100, unit, pes);
        }
        ASSERT_EQ(straddling, 5u);
        const std::string path = Dir.File(std::string("cut-") + std::to_string(&c - cases) + ".ts");
        WriteFile(path, ts.Bytes());
        ScanChecked(path, c.packetSize);
        ASSERT_EQ(Rows().Count(), 5u);
        for (size_t i = 0; i < Rows().Count(); ++i) {
            TARInfo &row = *Rows().Items(i);
            EXPECT_EQ(row.Placement.Contiguous(), c.cut(0) < 0) << "the header byte begins the second packet";
            EXPECT_EQ(row.SarText(), "64:45");
            ASSERT_EQ(SarChange(16, 11).ApplyTo(row), "");
        }
        WriteAndProve(path, c.packetSize, {Expected(16, 11, 64, 33)});
    }
}

} // namespace
