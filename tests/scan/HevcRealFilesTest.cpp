// HEVC in real files made by ffmpeg and libx265, in every container the program walks: raw Annex B, MP4
// (hev1 with parameter sets in the samples, hvc1), MOV, Matroska, transport stream and AVI; 10-bit, 4:2:2
// and explicit scaling lists among them. The rows must agree with what ffprobe and trace_headers read, a
// change must be written in place, and the SPS it leaves must be byte for byte the one ffmpeg's
// hevc_metadata filter writes for the same ratio.

#include "EbmlBuilder.h"
#include "MediaFiles.h"
#include "RoundTrip.h"
#include "ScanHarness.h"
#include "TsBuilder.h"
#include "hevc/HevcCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <tuple>

namespace {

using TKind = TRatioChange::TKind;

// x265 reads scaling lists from a text file, one block per list ("INTRA4X4_LUMA =" and its numbers, the
// DC term of 16x16 and 32x32 after "..._DC ="). Every list differs from every other, so that x265 codes each
// of them in full rather than predicting it from another: the SPS carries a long scaling_list_data(). The
// file lies in the media folder under a fixed name, so that the recipes naming it stay the same.
std::string ScalingListPath() {
    return (std::filesystem::path(PELLMAR_TEST_MEDIA) / "hevc-scaling-lists.txt").string();
}

void WriteScalingLists() {
    const std::filesystem::path path = ScalingListPath();
    std::ostringstream text;
    int list = 0;
    for (const auto &[size, count] :
         {std::pair<const char *, int>{"4X4", 16}, {"8X8", 64}, {"16X16", 64}, {"32X32", 64}})
        for (const char *kind : {"INTRA", "INTER"})
            for (const char *component : {"LUMA", "CHROMAU", "CHROMAV"}) {
                ++list;
                const std::string name = std::string(kind) + size + "_" + component;
                text << name << " =\n";
                for (int i = 0; i < count; ++i)
                    text << 16 + (i * (list + 3) + list) % 24 << (i % 8 == 7 ? ",\n" : ",");
                if (count == 64 && std::string(size) != "8X8")
                    text << name << "_DC =\n" << 16 + list << ",\n";
            }
    const std::string content = text.str();
    std::filesystem::create_directories(path.parent_path());
    WriteFile(path.string(), std::vector<uint8_t>(content.begin(), content.end()));
}

struct HevcFile {
    const char *name;
    VideoSpec video;
    std::string muxer; // ffmpeg's -f; "hevc" for a raw stream
    // The container keeps a copy of the parameter sets of its own (hvcC, CodecPrivate), which trace_headers
    // shows as extradata; ffmpeg then leaves them out of the samples unless they are repeated. (ffmpeg's
    // AVI format chunk holds none.)
    bool configRecord;
};

void PrintTo(const HevcFile &file, std::ostream *out) {
    *out << file.name;
}

VideoSpec Hevc(std::string sar, bool repeatHeaders = false, std::string pixFmt = "yuv420p") {
    VideoSpec video;
    video.encoder = "libx265";
    video.sar = std::move(sar);
    video.pixFmt = std::move(pixFmt);
    video.repeatHeaders = repeatHeaders;
    video.keyint = repeatHeaders ? 5 : 0; // 10 frames: two key frames, each with its parameter sets
    return video;
}

VideoSpec Tagged(VideoSpec video, std::string tag) {
    video.tag = std::move(tag);
    return video;
}

VideoSpec WithParams(VideoSpec video, std::string params) {
    video.encoderParams = std::move(params);
    return video;
}

// At 170x90 the coded picture is 176x96: the conformance window crops it, in units of the chroma format's
// subsampling.
VideoSpec Cropped(VideoSpec video) {
    video.width = 170;
    video.height = 90;
    return video;
}

std::vector<HevcFile> Files() {
    return {
        {"raw_predefined", Hevc("12/11"), "hevc", false},
        {"raw_custom_repeated", Hevc("64/45", true), "hevc", false},
        {"raw_main10_custom", Hevc("64/45", false, "yuv420p10le"), "hevc", false},
        {"raw_422_predefined", Hevc("12/11", true, "yuv422p"), "hevc", false},
        {"raw_scaling_lists_custom", WithParams(Hevc("64/45"), "scaling-list=" + ScalingListPath()), "hevc",
         false},
        {"raw_444_cropped_custom", Cropped(Hevc("64/45", false, "yuv444p")), "hevc", false},
        {"raw_gray_cropped_predefined", Cropped(Hevc("12/11", false, "gray")), "hevc", false},
        // Another layout before the VUI (a high tier, asymmetric partitions, no SAO) and a VUI with more
        // after the ratio: overscan, video signal type, chroma location.
        {"raw_layout_and_vui_custom",
         WithParams(Hevc("64/45"),
                    "amp=1:strong-intra-smoothing=0:sao=0:level-idc=5.1:high-tier=1:"
                    "videoformat=pal:range=full:colorprim=bt709:transfer=bt709:colormatrix=bt709:"
                    "overscan=crop:chromaloc=1"),
         "hevc", false},
        // Two temporal sub-layers: the profile, tier and level and the ordering information of each.
        {"mp4_hvc1_temporal_layers_predefined",
         Tagged(WithParams(Hevc("12/11", true), "temporal-layers=1:bframes=3:b-pyramid=1"), "hvc1"), "mp4",
         true},
        {"mp4_hev1_repeated_custom", Tagged(Hevc("64/45", true), "hev1"), "mp4", true},
        {"mp4_hvc1_default_scaling_lists", Tagged(WithParams(Hevc("12/11"), "scaling-list=default"), "hvc1"),
         "mp4", true},
        {"mp4_hvc1_main10_custom", Tagged(Hevc("64/45", false, "yuv420p10le"), "hvc1"), "mp4", true},
        {"mov_hvc1_custom", Tagged(Hevc("64/45"), "hvc1"), "mov", true},
        {"mkv_repeated_predefined", Hevc("12/11", true), "matroska", true},
        {"mkv_422_cropped_custom", Cropped(Hevc("64/45", false, "yuv422p")), "matroska", true},
        {"mkv_420p12_cropped_predefined", Cropped(Hevc("12/11", true, "yuv420p12le")), "matroska", true},
        {"ts_repeated_custom", Hevc("64/45", true), "mpegts", false},
        {"ts_main10_predefined", Hevc("12/11", true, "yuv420p10le"), "mpegts", false},
        {"avi_repeated_predefined", Tagged(Hevc("12/11", true), "HEVC"), "avi", false},
    };
}

std::string Make(const HevcFile &file, const TempDir &folder) {
    const std::string path =
        folder.File(file.name + (file.muxer == "hevc" ? std::string(".hevc") : "." + file.muxer));
    if (file.video.encoderParams.find(ScalingListPath()) != std::string::npos)
        WriteScalingLists();
    if (file.muxer == "hevc")
        MakeElementaryStream(path, file.video, "hevc");
    else
        MakeContainer(path, {file.video}, file.muxer);
    return path;
}

bool IsCustom(const VideoSpec &video) {
    return video.sar == "64/45";
}

// The NAL units of an Annex B stream, each from its header to the next start code, without the zero bytes
// in front of that start code; with the offset of the first header byte.
std::vector<std::pair<int64_t, std::vector<uint8_t>>> AnnexBUnits(const std::vector<uint8_t> &bytes) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= bytes.size(); ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> units;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : bytes.size();
        while (end > starts[k] && k + 1 < starts.size() && bytes[end - 1] == 0)
            --end;
        units.emplace_back(static_cast<int64_t>(starts[k]),
                           std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                                                bytes.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    return units;
}

bool IsHevcSps(const std::vector<uint8_t> &unit) {
    return !unit.empty() && ((unit[0] >> 1) & 0x3F) == 33;
}

// The distinct SPS units of the video as ffmpeg's hevc_metadata filter writes them with the SAR w/h, the
// video copied out of its container into a raw stream. hevc_mp4toannexb goes first, so that the parameter
// sets of an hvcC record are put in front of the first key frame and rewritten there (it passes Annex B
// through as it is).
std::set<std::vector<uint8_t>> SpsWrittenByFFmpeg(const std::string &path, TRatio sar,
                                                  const std::string &out) {
    const CommandResult made =
        RunCommand("ffmpeg -hide_banner -nostdin -loglevel error -y -i " + ShellQuote(path) +
                   " -map 0:v:0 -c copy -bsf:v hevc_mp4toannexb,hevc_metadata=sample_aspect_ratio=" +
                   std::to_string(sar.X) + "/" + std::to_string(sar.Y) + " -f hevc " + ShellQuote(out));
    EXPECT_EQ(made.exitCode, 0) << made.errors;
    std::set<std::vector<uint8_t>> sps;
    for (const auto &unit : AnnexBUnits(ReadFile(out)))
        if (IsHevcSps(unit.second))
            sps.insert(unit.second);
    return sps;
}

// The bytes of an SPS row as the file holds them, without trailing zero bytes (the first byte of a
// four-byte start code after it).
std::vector<uint8_t> UnitBytes(const TARInfo &row) {
    std::vector<uint8_t> bytes = row.Unit->Bytes();
    while (!bytes.empty() && bytes.back() == 0)
        bytes.pop_back();
    return bytes;
}

// What identifies an SPS: id, profile, chroma format, bit depth, aspect_ratio_idc and the custom terms.
using SpsKey = std::tuple<int, int, int, int, int, int, int>;

SpsKey KeyOf(const TracedSps &sps) {
    return {sps.seqParameterSetId,
            sps.profileIdc,
            sps.chromaFormatIdc,
            sps.bitDepthLumaMinus8,
            sps.aspectRatioIdc,
            sps.aspectRatioIdc == 255 ? sps.sarWidth : -1,
            sps.aspectRatioIdc == 255 ? sps.sarHeight : -1};
}

SpsKey KeyOf(const THevcSequenceParameterSet &sps) {
    const int idc = sps.AspectRatioIdc();
    return {static_cast<int>(sps.sps_seq_parameter_set_id),
            sps.ProfileTierLevel.general_profile_idc,
            static_cast<int>(sps.chroma_format_idc),
            static_cast<int>(sps.bit_depth_luma_minus8),
            idc,
            idc == 255 ? sps.SarWidth() : -1,
            idc == 255 ? sps.SarHeight() : -1};
}

// The offsets in an NAL unit of the bytes left once emulation prevention is taken out: entry i is where
// byte i of the unit without emulation prevention lies.
std::vector<size_t> WithoutEmulationPrevention(const std::vector<uint8_t> &unit) {
    std::vector<size_t> kept;
    for (size_t i = 0, zeros = 0; i < unit.size(); ++i) {
        if (zeros >= 2 && unit[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = unit[i] == 0 ? zeros + 1 : 0;
        kept.push_back(i);
    }
    return kept;
}

std::string RatioText(int x, int y) {
    return std::to_string(x) + ":" + std::to_string(y);
}

class HevcRealFiles : public ScanTest {
protected:
    void SetUp() override {
        if (!HaveHevcTools())
            GTEST_SKIP() << "ffmpeg with libx265 is not installed";
    }

    // Scans the file with the scanner its content calls for; the scan must end without error or notice.
    void Scan(const std::string &path) {
        const ScanOutcome outcome = RunScan(NewScan(ProbeFile(path)), path);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_TRUE(Session().Notices.empty()) << Session().Notices.front().Text;
        EXPECT_EQ(Session().DamagedUnitCount, 0);
    }

    std::vector<const TARInfo *> SpsRows() {
        std::vector<const TARInfo *> rows;
        for (size_t i = 0; i < Rows().Count(); ++i)
            if (!Rows().Items(i)->IsContainerRow())
                rows.push_back(Rows().Items(i));
        return rows;
    }
};

class HevcFiles : public HevcRealFiles, public testing::WithParamInterface<HevcFile> {};

// One row per SPS that trace_headers finds (the container's own copy included), each with the fields
// trace_headers decodes and the SAR and size ffprobe reports, which are the ones the file was made with.
TEST_P(HevcFiles, RowsAgreeWithFFprobeAndTraceHeaders) {
    const HevcFile &file = GetParam();
    const std::string path = Make(file, Dir);
    ASSERT_NO_FATAL_FAILURE(Scan(path));

    const std::vector<TracedSps> traced = TraceSps(path, 0, file.configRecord);
    ASSERT_FALSE(traced.empty());
    // Two key frames with their own parameter sets, or the first one, or only the container's copy.
    const size_t inSamples = file.video.repeatHeaders ? 2 : file.configRecord ? 0 : 1;
    const size_t expected = inSamples + (file.configRecord ? 1 : 0);
    EXPECT_EQ(traced.size(), expected);
    EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(traced.size()));
    const std::vector<const TARInfo *> rows = SpsRows();
    ASSERT_EQ(rows.size(), traced.size());

    const ProbedVideo probed = ProbeVideo(path);
    std::string made = file.video.sar;
    made[made.find('/')] = ':';
    EXPECT_EQ(RatioText(probed.sarWidth, probed.sarHeight), made);
    std::multiset<SpsKey> fromTrace, fromRows;
    for (const TracedSps &sps : traced) {
        EXPECT_EQ(sps.aspectRatioIdc, IsCustom(file.video) ? 255 : 2);
        fromTrace.insert(KeyOf(sps));
    }
    for (const TARInfo *row : rows) {
        ASSERT_NE(row->Codec(), nullptr);
        EXPECT_STREQ(row->Codec()->Key(), "hevc");
        const THevcSequenceParameterSet *sps = HevcSpsOf(row->Unit);
        ASSERT_NE(sps, nullptr);
        fromRows.insert(KeyOf(*sps));
        EXPECT_EQ(row->SpsId(), traced[0].seqParameterSetId);
        EXPECT_EQ(row->SarText(), made);
        EXPECT_EQ(row->TypeText(), IsCustom(file.video) ? "Custom" : "Predefined");
        EXPECT_EQ(row->ResolutionText(), std::to_string(probed.width) + "x" + std::to_string(probed.height));
        EXPECT_EQ(sps->Width(), file.video.width);
        EXPECT_EQ(sps->Height(), file.video.height);
        // The bytes listed are the file's bytes where the row says they lie.
        const std::vector<uint8_t> &bytes = row->Unit->Bytes();
        for (size_t i = 0; i < bytes.size(); i += 7)
            ASSERT_EQ(ReadFileAt(path, row->Placement.FileOffset(static_cast<int64_t>(i)), 1).at(0), bytes[i])
                << "byte " << i;
    }
    EXPECT_EQ(fromRows, fromTrace);
    // What the VUI states after the ratio, as listed.
    for (const TARInfo *row : rows) {
        const TVUIParameters &vui = *HevcSpsOf(row->Unit)->VUIParameters;
        EXPECT_EQ(vui.video_signal_type_present_flag ? vui.video_format : -1, traced[0].videoFormat);
        EXPECT_EQ(vui.overscan_info_present_flag ? vui.overscan_appropriate_flag : -1,
                  traced[0].overscanAppropriate);
    }
    if (file.video.encoderParams.find("temporal-layers") != std::string::npos) {
        EXPECT_EQ(HevcSpsOf(rows[0]->Unit)->sps_max_sub_layers_minus1, 1);
    }
    if (file.video.encoderParams.find("scaling-list=/") != std::string::npos) {
        EXPECT_EQ(traced[0].scalingListDataPresent, 1) << "x265 wrote no scaling lists of its own";
        EXPECT_EQ(HevcSpsOf(rows[0]->Unit)->sps_scaling_list_data_present_flag, 1);
    }
    if (!file.configRecord && file.muxer != "hevc") {
        ASSERT_EQ(Session().Tracks.size(), 1u);
        ASSERT_NE(Session().Tracks[0].Codec, nullptr);
        EXPECT_STREQ(Session().Tracks[0].Codec->Key, "hevc");
    }
}

// A change of every row, written in place: the length kept, only planned bytes changed, ffprobe and
// trace_headers read the new ratio from every SPS (the container's copy too), the decoded frames are as
// they were, and every SPS is now byte for byte the one hevc_metadata writes for that ratio. A predefined
// row takes a predefined code (16:11, at 176x144 by asking for the DAR 16:9), a custom one a ratio no code
// has.
TEST_P(HevcFiles, ChangeWritesTheSpsHevcMetadataWrites) {
    const HevcFile &file = GetParam();
    const std::string path = Make(file, Dir);
    const std::vector<uint8_t> before = ReadFile(path);
    const bool custom = IsCustom(file.video);
    // At 170x90 the DAR of 16:11, 272:99, has no room in the one-byte display size ffmpeg gives Matroska
    // there (68:33); 10:11 (code 3) has, as 170:99.
    const bool cropped = file.video.width == 170;
    const TRatio sar = custom ? TRatio{1000, 891} : cropped ? TRatio{10, 11} : TRatio{16, 11};
    const bool byDar = !custom && file.video.width == 176 && file.video.height == 144;
    const TRatioChange change =
        byDar ? TRatioChange{TKind::Dar, 0, {16, 9}} : TRatioChange{TKind::Sar, 0, sar};
    const std::set<std::vector<uint8_t>> oracle = SpsWrittenByFFmpeg(path, sar, Dir.File("oracle.hevc"));
    ASSERT_EQ(oracle.size(), 1u) << "every SPS of the file is the same one";

    CheckRoundTrip(path, change, sar);

    ASSERT_NO_FATAL_FAILURE(Scan(path));
    const std::vector<const TARInfo *> rows = SpsRows();
    ASSERT_FALSE(rows.empty());
    for (const TARInfo *row : rows)
        EXPECT_EQ(UnitBytes(*row), *oracle.begin()) << "row at " << row->SpsOffset();
    if (file.muxer != "hevc")
        return;
    // A raw stream holds nothing else that states a ratio: ffmpeg's whole stream is the program's.
    EXPECT_EQ(ReadFile(path), ReadFile(Dir.File("oracle.hevc")));
    // Every byte that changed lies in the aspect-ratio bits of an SPS, where trace_headers places them.
    const std::vector<TracedSps> traced = TraceSps(path);
    std::vector<std::pair<int64_t, int64_t>> spans;
    size_t next = 0;
    for (const auto &[offset, unit] : AnnexBUnits(before)) {
        if (!IsHevcSps(unit))
            continue;
        ASSERT_LT(next, traced.size());
        const std::vector<size_t> kept = WithoutEmulationPrevention(unit);
        const int first = traced[next].aspectRatioBitPosition;
        const int last = first + (custom ? 40 : 8) - 1;
        ASSERT_GE(first, 16);
        spans.emplace_back(offset + static_cast<int64_t>(kept.at(static_cast<size_t>(first / 8))),
                           offset + static_cast<int64_t>(kept.at(static_cast<size_t>(last / 8))));
        ++next;
    }
    const std::vector<uint8_t> after = ReadFile(path);
    size_t changed = 0;
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i] == before[i])
            continue;
        ++changed;
        const int64_t at = static_cast<int64_t>(i);
        EXPECT_TRUE(std::any_of(spans.begin(), spans.end(),
                                [at](auto span) { return at >= span.first && at <= span.second; }))
            << "byte " << i << " lies outside the aspect-ratio bits";
    }
    EXPECT_GT(changed, 0u);
}

INSTANTIATE_TEST_SUITE_P(Containers, HevcFiles, testing::ValuesIn(Files()),
                         [](const testing::TestParamInfo<HevcFile> &info) {
                             return std::string(info.param.name);
                         });

// x265 without a SAR writes a VUI without aspect-ratio information: the SPS is counted and gets no row. In
// MP4 and Matroska the container's statement is then the file's one row, as it is for H.264 made alike, and
// a change writes the container alone, leaving every SPS as it was.
TEST_F(HevcRealFiles, SpsWithoutRatioIsCountedAndNotWritten) {
    struct TCase {
        const char *muxer;
        const char *ext;
    };
    for (const TCase c : {TCase{"hevc", "hevc"}, TCase{"mp4", "mp4"}, TCase{"matroska", "mkv"}}) {
        SCOPED_TRACE(c.muxer);
        const std::string path = Dir.File(std::string("noratio.") + c.ext);
        if (std::string(c.muxer) == "hevc")
            MakeElementaryStream(path, Hevc(""), "hevc");
        else
            MakeContainer(path, {Hevc("")}, c.muxer);
        const std::vector<TracedSps> traced = TraceSps(path, 0, true);
        ASSERT_FALSE(traced.empty());
        for (const TracedSps &sps : traced)
            ASSERT_EQ(sps.aspectRatioInfoPresent, 0);

        ASSERT_NO_FATAL_FAILURE(Scan(path));
        EXPECT_GT(Session().RatioUnitCount, 0);
        EXPECT_TRUE(SpsRows().empty());
        // The same file with H.264: as many container rows, stating the same.
        VideoSpec h264 = Hevc("");
        h264.encoder = "libx264";
        const std::string avcPath = Dir.File(std::string("noratio-avc.") + c.ext);
        if (std::string(c.muxer) == "hevc")
            MakeElementaryStream(avcPath, h264, "h264");
        else
            MakeContainer(avcPath, {h264}, c.muxer);
        std::unique_ptr<TScanSession> avc = ScanFile(avcPath);
        ASSERT_EQ(Rows().Count(), avc->ARInfoList.Count());
        for (size_t i = 0; i < Rows().Count(); ++i) {
            EXPECT_TRUE(Rows().Items(i)->IsContainerRow());
            EXPECT_EQ(Rows().Items(i)->SarText(), avc->ARInfoList.Items(i)->SarText());
            EXPECT_EQ(Rows().Items(i)->DarText(), avc->ARInfoList.Items(i)->DarText());
        }
        if (Rows().Count() == 0)
            continue;

        const std::set<std::vector<uint8_t>> spsBefore = SpsWrittenByFFmpeg(path, {1, 1}, Dir.File("a.hevc"));
        std::unique_ptr<TScanSession> session = ScanFile(path);
        for (size_t i = 0; i < session->ARInfoList.Count(); ++i)
            ASSERT_EQ((TRatioChange{TKind::Dar, 0, {16, 9}}).ApplyTo(*session->ARInfoList.Items(i)), "");
        const TPatchPlan plan = session->ARInfoList.PlanChanges();
        EXPECT_FALSE(plan.Entries.empty());
        for (const TPlanEntry &entry : plan.Entries)
            EXPECT_NE(entry.Kind, TPlanEntry::TKind::Row) << entry.Description;
        CheckRoundTrip(path, {TKind::Dar, 0, {16, 9}}, {16, 11});
        for (const TracedSps &sps : TraceSps(path, 0, true))
            EXPECT_EQ(sps.aspectRatioInfoPresent, 0);
        // hevc_metadata with 1/1 adds the ratio to a copy; the SPS it starts from are as they were.
        EXPECT_EQ(SpsWrittenByFFmpeg(path, {1, 1}, Dir.File("b.hevc")), spsBefore);
    }
}

// Files with more in them: an MP4 with an HEVC and an H.264 track and AAC audio, a transport stream with
// two HEVC streams and AC-3 audio, one in 192-byte packets, a fragmented MP4 (the samples in movie
// fragments, the hvcC in the movie header), and a Matroska file made by mkvmerge from a raw stream. Every
// video stream's rows are the ones trace_headers finds in it, of its own codec, and one change for all
// rows reaches every SPS of every stream.
TEST_F(HevcRealFiles, TracksOfSeveralCodecsAndFragmentsAreReadAndChanged) {
    VideoSpec avc = Hevc("12/11", true);
    avc.encoder = "libx264";
    avc.width = 320;
    avc.height = 240;
    VideoSpec second = Hevc("12/11", true);
    second.width = 320;
    second.height = 240;
    struct TCase {
        const char *name;
        std::vector<bool> configRecord; // per video stream
        std::vector<const char *> codecs;
    };
    const TCase cases[] = {
        {"mixed.mp4", {true, true}, {"hevc", "h264"}},
        {"two.ts", {false, false}, {"hevc", "hevc"}},
        {"one.m2ts", {false}, {"hevc"}},
        {"fragmented.mp4", {true}, {"hevc"}},
        {"mkvmerge.mkv", {true}, {"hevc"}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = c.name, path = Dir.File(name);
        if (name == "mixed.mp4")
            MakeContainer(path, {Hevc("64/45", true), avc}, "mp4", "aac");
        else if (name == "two.ts")
            MakeTransportStream(path, {Hevc("64/45", true), second}, {false, true, false});
        else if (name == "one.m2ts") // ffmpeg gives no second video stream a PID in this mode
            MakeTransportStream(path, {Hevc("64/45", true)}, {true, true, false});
        else if (name == "fragmented.mp4")
            MakeContainer(path, {Hevc("64/45", true)}, "mp4", "", "-movflags frag_keyframe+empty_moov");
        else {
            if (!HaveTool("mkvmerge"))
                continue;
            MakeFromRecipe("dir=$(mktemp -d) && ffmpeg -hide_banner -nostdin -loglevel error -f lavfi -i "
                           "testsrc=size=176x144:rate=25:duration=0.4,setsar=64/45 -c:v libx265 -preset "
                           "ultrafast -x265-params log-level=error:repeat-headers=1:keyint=5 -f hevc "
                           "\"$dir/s.hevc\" && { mkvmerge -q -o %OUT% --default-duration 0:25fps "
                           "\"$dir/s.hevc\"; [ $? -le 1 ]; }; status=$?; rm -rf \"$dir\"; exit $status",
                           path);
        }
        ASSERT_NO_FATAL_FAILURE(Scan(path));
        std::vector<int> numbers;
        for (const TTrack &track : Session().Tracks)
            numbers.push_back(track.Number);
        ASSERT_EQ(numbers.size(), c.codecs.size());
        std::sort(numbers.begin(), numbers.end()); // ffmpeg numbers the streams by track ID and PID
        for (size_t index = 0; index < numbers.size(); ++index) {
            SCOPED_TRACE("video stream " + std::to_string(index));
            const std::vector<TracedSps> traced =
                TraceSps(path, static_cast<int>(index), c.configRecord[index]);
            std::multiset<int> fromTrace, fromRows;
            for (const TracedSps &sps : traced)
                fromTrace.insert(sps.aspectRatioIdc);
            for (const TARInfo *row : SpsRows()) {
                if (row->Track->Number != numbers[index])
                    continue;
                EXPECT_STREQ(row->Codec()->Key(), c.codecs[index]);
                fromRows.insert(row->CurrentAspectRatioIdc());
            }
            EXPECT_FALSE(fromTrace.empty());
            EXPECT_EQ(fromRows, fromTrace);
        }

        // The custom rows take 16:11 as it is, the predefined ones its code 4.
        CheckRoundTrip(path, {TKind::Sar, 0, {16, 11}}, {16, 11});

        for (size_t index = 1; index < numbers.size(); ++index) {
            const ProbedVideo probed = ProbeVideo(path, static_cast<int>(index));
            EXPECT_EQ(RatioText(probed.sarWidth, probed.sarHeight), "16:11");
            for (const TracedSps &sps : TraceSps(path, static_cast<int>(index), true))
                EXPECT_EQ(sps.aspectRatioIdc, 4);
        }
    }
}

// Matroska's display size as ffmpeg writes it at 170x90 with the SAR 12:11: DisplayWidth 68, DisplayHeight
// 33 in one byte each, with no Void element behind them. The DAR of 16:11 there, 272:99, needs a byte more:
// it comes from the Void ffmpeg leaves behind the SeekHead, the Info and the Tracks moving by it, the SPS of
// the CodecPrivate with them. Every SPS and the container then say 16:11, every CRC-32 holds, and nothing
// behind the Tracks moves but the SPS of the frames.
TEST_F(HevcRealFiles, MatroskaDisplaySizeWithoutRoomTakesItFromTheVoidAhead) {
    const std::string path = Dir.File("small.mkv");
    MakeContainer(path, {Cropped(Hevc("12/11", true))}, "matroska");
    const std::vector<uint8_t> before = ReadFile(path);
    const std::vector<MatroskaCrc> crcs = MatroskaCrcs(before);
    ASSERT_NO_FATAL_FAILURE(Scan(path));
    ASSERT_EQ(SpsRows().size(), 3u);
    ASSERT_EQ(Rows().Count(), 3u);
    for (size_t i = 0; i < Rows().Count(); ++i)
        ASSERT_EQ((TRatioChange{TKind::Sar, 0, {16, 11}}).ApplyTo(*Rows().Items(i)), "");
    const TPatchPlan plan = Rows().PlanChanges();
    EXPECT_TRUE(plan.Notes.empty());
    EXPECT_TRUE(plan.Refusals.empty());
    std::set<int64_t> planned;
    int64_t tracksEnd = 0;
    for (const TPlanEntry &entry : plan.Entries)
        for (const TPatch &patch : entry.Patches) {
            for (int64_t at = patch.FileOffset; at < patch.End(); ++at)
                planned.insert(at);
            if (entry.Kind == TPlanEntry::TKind::Container)
                tracksEnd = std::max(tracksEnd, patch.End());
        }
    ASSERT_GT(tracksEnd, 0) << "the display size is written";
    {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        ASSERT_NO_THROW(Rows().WriteChanges(file));
    }
    const std::vector<uint8_t> after = ReadFile(path);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = static_cast<size_t>(tracksEnd); i < after.size(); ++i)
        EXPECT_TRUE(after[i] == before[i] || planned.count(static_cast<int64_t>(i)) == 1) << "byte " << i;
    const std::vector<MatroskaCrc> crcsAfter = MatroskaCrcs(after);
    ASSERT_EQ(crcsAfter.size(), crcs.size());
    for (const MatroskaCrc &crc : crcsAfter)
        EXPECT_TRUE(crc.valid) << crc.offset;
    const ProbedVideo container = ProbeVideo(path), bitstream = ProbeVideoBitstream(path);
    EXPECT_EQ(RatioText(container.sarWidth, container.sarHeight), "16:11");
    EXPECT_EQ(RatioText(bitstream.sarWidth, bitstream.sarHeight), "16:11");
    const std::vector<TracedSps> traced = TraceSps(path, 0, true);
    ASSERT_EQ(traced.size(), 3u);
    for (const TracedSps &sps : traced)
        EXPECT_EQ(sps.aspectRatioIdc, 4);
}

// x265 puts short-term reference picture sets into the SPS only with multi-pass-opt-rps in a second pass.
// x265 3.5 writes that SPS wrong (ffmpeg reads a delta_poc_s0_minus1 out of its range and decodes nothing);
// the program must see what ffmpeg sees: the same SPS damaged, or, from an x265 that writes it right, the
// same rows.
TEST_F(HevcRealFiles, SpsWithShortTermSetsIsReadAsFFmpegReadsIt) {
    const std::string path = Dir.File("rps.hevc");
    const std::string encode =
        "ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i "
        "testsrc=size=176x144:rate=25:duration=0.8,setsar=64/45 -c:v libx265 -b:v 200k "
        "-preset medium -x265-params "
        "log-level=error:stats=\"$dir/stats\":multi-pass-opt-rps=1:pass=";
    MakeFromRecipe("dir=$(mktemp -d) && " + encode + "1 -f null - && " + encode +
                       "2 -f hevc %OUT%; status=$?; rm -rf \"$dir\"; exit $status",
                   path);
    const ScanOutcome outcome = RunScan(NewScan(ProbeFile(path)), path);
    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    // ffmpeg ends with an error on that stream, so its trace is read here as it is.
    const CommandResult trace = RunCommand("ffmpeg -hide_banner -nostdin -nostats -loglevel repeat+info -i " +
                                           ShellQuote(path) + " -c copy -bsf:v trace_headers -f null -");
    ASSERT_NE(trace.errors.find("num_short_term_ref_pic_sets"), std::string::npos) << trace.errors;
    if (trace.errors.find("aspect_ratio_idc") == std::string::npos) {
        // ffmpeg gave up on the SPS before its VUI: the program lists no row either, and says why.
        EXPECT_NE(trace.errors.find("Invalid value of delta_poc"), std::string::npos) << trace.errors;
        EXPECT_EQ(Session().DamagedUnitCount, 1);
        EXPECT_EQ(Rows().Count(), 0u);
        ASSERT_EQ(Session().Notices.size(), 1u);
        EXPECT_EQ(Session().Notices[0].Kind, TScanNotice::TKind::DamagedUnit);
        EXPECT_NE(Session().Notices[0].Text.find("delta_poc_s0_minus1"), std::string::npos)
            << Session().Notices[0].Text;
        return;
    }
    const std::vector<TracedSps> traced = TraceSps(path);
    ASSERT_EQ(traced.size(), 1u);
    ASSERT_EQ(SpsRows().size(), 1u);
    EXPECT_GT(HevcSpsOf(SpsRows()[0]->Unit)->num_short_term_ref_pic_sets, 0u);
    EXPECT_EQ(KeyOf(*HevcSpsOf(SpsRows()[0]->Unit)), KeyOf(traced[0]));
}

// A copy of the SPS put behind it as one of layer 1 (nuh_layer_id 1), as a multi-layer stream holds one:
// decoders of the base layer pass it over, and so does the program, telling it; the base layer's SPS is
// listed and changed, and the layer's bytes stay as they were.
TEST_F(HevcRealFiles, SpsOfAnUpperLayerIsToldAndLeftAlone) {
    const std::string source = Dir.File("base.hevc");
    MakeElementaryStream(source, Hevc("64/45"), "hevc");
    const std::vector<uint8_t> bytes = ReadFile(source);
    const auto units = AnnexBUnits(bytes);
    const auto sps =
        std::find_if(units.begin(), units.end(), [](const auto &unit) { return IsHevcSps(unit.second); });
    ASSERT_NE(sps, units.end());
    std::vector<uint8_t> layer = {0, 0, 0, 1, sps->second[0], static_cast<uint8_t>((1 << 3) | 1)};
    layer.insert(layer.end(), sps->second.begin() + 2, sps->second.end());
    std::vector<uint8_t> file = bytes;
    const size_t end = static_cast<size_t>(sps->first) + sps->second.size();
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(end), layer.begin(), layer.end());
    const int64_t layerHeader = static_cast<int64_t>(end) + 4;
    const std::string path = Write("layers.hevc", file);

    const ScanOutcome outcome = RunScan(NewScan(ProbeFile(path)), path);
    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->Placement.FileOffset(0), sps->first);
    ASSERT_EQ(Session().Notices.size(), 1u);
    EXPECT_EQ(Session().Notices[0].Kind, TScanNotice::TKind::NotScanned);
    EXPECT_EQ(Session().Notices[0].FileOffset, layerHeader);
    EXPECT_EQ(Session().DamagedUnitCount, 0);

    CheckRoundTrip(path, {TKind::Sar, 0, {1000, 891}}, {1000, 891});
    const std::vector<uint8_t> after = ReadFile(path);
    EXPECT_TRUE(std::equal(layer.begin(), layer.end(), after.begin() + static_cast<std::ptrdiff_t>(end)));
}

// x265 begins every key frame with a VPS, before the SPS, as HEVC encoders do: a scan of the first unit
// of each AVI chunk looks past it and finds every SPS a deep scan finds.
TEST_F(HevcRealFiles, FirstUnitScanOfAviLooksPastTheVps) {
    const std::string path = Dir.File("first.avi");
    MakeAvi(path, {Tagged(Hevc("12/11", true), "HEVC")});
    const size_t spsCount = TraceSps(path).size();
    ASSERT_EQ(spsCount, 2u);

    TRIFFParser &deep = NewRiffScan();
    ASSERT_EQ(RunScan(deep, path).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(spsCount));

    TRIFFParser &firstOnly = NewRiffScan();
    firstOnly.DeepScan = false;
    ASSERT_EQ(RunScan(firstOnly, path).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(spsCount));
    EXPECT_EQ(SpsRows().size(), spsCount);
}

// Damaged HEVC: a raw stream cut inside its SPS, one whose SPS has a byte of its profile_tier_level
// overwritten with ones, and an MP4 cut in half. Each scan ends (with an error at most), no row states a
// ratio the file does not hold, and the files are read as they are.
TEST_F(HevcRealFiles, DamagedStreamsEndTheScanWithoutARowTheyDoNotHold) {
    const std::string raw = Dir.File("whole.hevc");
    MakeElementaryStream(raw, Hevc("64/45"), "hevc");
    const std::vector<uint8_t> bytes = ReadFile(raw);
    const auto units = AnnexBUnits(bytes);
    const auto sps =
        std::find_if(units.begin(), units.end(), [](const auto &unit) { return IsHevcSps(unit.second); });
    ASSERT_NE(sps, units.end());

    // Cut 20 bytes into the SPS: it ends before its VUI.
    const std::string cut =
        Write("cut.hevc", std::vector<uint8_t>(bytes.begin(), bytes.begin() + sps->first + 20));
    ScanOutcome outcome = RunScan(NewScan(ProbeFile(cut)), cut);
    EXPECT_NE(outcome.kind, ScanOutcome::Kind::InvalidOp) << outcome.message;
    EXPECT_EQ(SpsRows().size(), 0u);

    // An SPS whose bytes after the header are all ones: the values break their ranges.
    std::vector<uint8_t> broken = bytes;
    for (size_t i = 2; i < sps->second.size(); ++i)
        broken[static_cast<size_t>(sps->first) + i] = 0xFF;
    const std::string brokenPath = Write("broken.hevc", broken);
    outcome = RunScan(NewScan(ProbeFile(brokenPath)), brokenPath);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Session().DamagedUnitCount, 1);
    EXPECT_EQ(SpsRows().size(), 0u);

    const std::string mp4 = Dir.File("whole.mp4");
    MakeContainer(mp4, {Tagged(Hevc("64/45", true), "hev1")}, "mp4", "", "-movflags +faststart");
    std::vector<uint8_t> half = ReadFile(mp4);
    half.resize(half.size() / 2);
    const std::string halfPath = Write("half.mp4", half);
    outcome = RunScan(NewScan(ProbeFile(halfPath)), halfPath);
    EXPECT_NE(outcome.kind, ScanOutcome::Kind::InvalidOp) << outcome.message;
    for (const TARInfo *row : SpsRows()) {
        EXPECT_EQ(row->SarText(), "64:45");
        EXPECT_LE(row->Placement.FileOffset(0), static_cast<int64_t>(half.size()));
    }
}

// A real x265 stream put into transport packets here, one PES per access unit, with a packet boundary cut
// into every SPS: inside its start code, between the two bytes of its NAL unit header, inside its
// aspect-ratio bits (where trace_headers places them) with a PCR in the next packet, and so in 192-byte
// packets. The rows see the whole unit, and the change reaches both packets.
TEST_F(HevcRealFiles, SpsSplitAcrossTransportPacketsIsChangedInBothPackets) {
    VideoSpec video =
        WithParams(Hevc("64/45", true), "bframes=0"); // each PES's time stamp is its decoding time
    video.accessUnitDelimiters = true;
    const std::string raw = Dir.File("source.hevc");
    MakeElementaryStream(raw, video, "hevc");
    const std::vector<uint8_t> es = ReadFile(raw);
    const std::vector<TracedSps> traced = TraceSps(raw);
    ASSERT_EQ(traced.size(), 2u);
    std::vector<size_t> accessUnits;
    for (const auto &[offset, unit] : AnnexBUnits(es))
        if (((unit[0] >> 1) & 0x3F) == 35)
            accessUnits.push_back(static_cast<size_t>(offset) - (offset >= 4 && es[offset - 4] == 0 ? 4 : 3));
    ASSERT_EQ(accessUnits.size(), 10u);

    struct TCut {
        const char *name;
        int packetSize;
        bool pcr;
        int64_t (*at)(int64_t ratioByte); // from the unit's first header byte
    };
    const TCut cuts[] = {
        {"inside the start code", 188, false, [](int64_t) -> int64_t { return -2; }},
        {"between the header bytes", 188, false, [](int64_t) -> int64_t { return 1; }},
        {"inside the aspect-ratio bits, a PCR behind", 188, true, [](int64_t ratio) { return ratio + 1; }},
        {"inside the aspect-ratio bits, 192-byte packets", 192, false,
         [](int64_t ratio) { return ratio + 2; }},
    };
    for (const TCut &cut : cuts) {
        SCOPED_TRACE(cut.name);
        TsBuilder ts(cut.packetSize);
        ts.Pat({{1, 0x1000}});
        ts.Pmt(0x1000, 1, {{0x24, 0x0100}});
        size_t spsSeen = 0;
        for (size_t u = 0; u < accessUnits.size(); ++u) {
            const size_t end = u + 1 < accessUnits.size() ? accessUnits[u + 1] : es.size();
            const std::vector<uint8_t> au(es.begin() + static_cast<std::ptrdiff_t>(accessUnits[u]),
                                          es.begin() + static_cast<std::ptrdiff_t>(end));
            TsPesOptions pes;
            pes.pts = 126000 + 3600 * static_cast<int64_t>(u);
            for (const auto &[offset, unit] : AnnexBUnits(au)) {
                if (!IsHevcSps(unit))
                    continue;
                ASSERT_LT(spsSeen, traced.size());
                const std::vector<size_t> kept = WithoutEmulationPrevention(unit);
                const int64_t ratio = static_cast<int64_t>(
                    kept.at(static_cast<size_t>(traced[spsSeen++].aspectRatioBitPosition / 8)));
                TsPacketOptions next;
                next.pcr = cut.pcr;
                pes.cuts.push_back({static_cast<size_t>(offset + cut.at(ratio)), next});
            }
            ts.Pes(0x0100, au, pes);
        }
        ASSERT_EQ(spsSeen, 2u);
        const std::string path = Dir.File("cut-" + std::to_string(&cut - cuts) + ".ts");
        WriteFile(path, ts.Bytes());
        ASSERT_NO_FATAL_FAILURE(Scan(path));
        ASSERT_EQ(SpsRows().size(), 2u);
        for (const TARInfo *row : SpsRows()) {
            EXPECT_EQ(row->SarText(), "64:45");
            EXPECT_EQ(row->Placement.Contiguous(), cut.at(0) < 0) << "the unit lies in two packets";
        }
        const std::set<std::vector<uint8_t>> oracle =
            SpsWrittenByFFmpeg(path, {1000, 891}, Dir.File("oracle.hevc"));
        ASSERT_EQ(oracle.size(), 1u);

        CheckRoundTrip(path, {TKind::Sar, 0, {1000, 891}}, {1000, 891});

        ASSERT_NO_FATAL_FAILURE(Scan(path));
        for (const TARInfo *row : SpsRows())
            EXPECT_EQ(UnitBytes(*row), *oracle.begin());
    }
}

} // namespace
