// pellmar-cli on HEVC files made by ffmpeg and libx265: raw streams, MP4 (hev1 with parameter sets in the
// samples), MOV (hvc1, parameter sets in the hvcC only), Matroska, transport stream and AVI. list names the
// codec and agrees with ffprobe and trace_headers; set writes every SPS and container statement in place,
// exactly where its dry run says; a raw stream comes out byte for byte as ffmpeg's hevc_metadata writes it;
// and where nothing can carry the ratio, or the kind would change, HEVC is answered as H.264 is.

#include "CliTestSupport.h"
#include "MediaFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <numeric>
#include <regex>

namespace {

const std::string KindMismatch =
    "Saving of these values not possible in this version: Only replace predefined "
    "ARs by predefined ARs and custom ARs by custom ARs.";

struct Source {
    const char *name;
    bool custom;       // made with the SAR 64:45, else 12:11
    bool configRecord; // an hvcC or CodecPrivate holds an SPS of its own
};

const Source Sources[] = {
    {"custom.hevc", true, false},     {"predefined.hevc", false, false}, {"custom.mp4", true, true},
    {"custom.mov", true, true},       {"predefined.mkv", false, true},   {"custom.ts", true, false},
    {"predefined.avi", false, false},
};

std::string RatioText(int x, int y) {
    return std::to_string(x) + ":" + std::to_string(y);
}

class HevcCommand : public ::testing::Test {
protected:
    static VideoSpec Video(const std::string &sar, bool repeatHeaders,
                           const std::string &encoder = "libx265") {
        VideoSpec video;
        video.encoder = encoder;
        video.sar = sar;
        video.repeatHeaders = repeatHeaders;
        video.keyint = repeatHeaders ? 5 : 0; // two key frames in ten
        return video;
    }

    static void SetUpTestSuite() {
        if (!HaveHevcTools())
            return;
        Made = std::make_unique<TempDir>();
        MakeElementaryStream(Made->File("custom.hevc"), Video("64/45", true), "hevc");
        MakeElementaryStream(Made->File("predefined.hevc"), Video("12/11", true), "hevc");
        VideoSpec hev1 = Video("64/45", true);
        hev1.tag = "hev1";
        MakeContainer(Made->File("custom.mp4"), {hev1}, "mp4");
        VideoSpec hvc1 = Video("64/45", false);
        hvc1.tag = "hvc1";
        MakeContainer(Made->File("custom.mov"), {hvc1}, "mov");
        MakeContainer(Made->File("predefined.mkv"), {Video("12/11", true)}, "matroska");
        MakeTransportStream(Made->File("custom.ts"), {Video("64/45", true)});
        VideoSpec avi = Video("12/11", true);
        avi.tag = "HEVC";
        MakeAvi(Made->File("predefined.avi"), {avi});
        MakeElementaryStream(Made->File("noratio.hevc"), Video("", false), "hevc");
        MakeContainer(Made->File("noratio.mp4"), {Video("", false)}, "mp4");
        MakeElementaryStream(Made->File("noratio.h264"), Video("", false, "libx264"), "h264");
        MakeContainer(Made->File("noratio-avc.mp4"), {Video("", false, "libx264")}, "mp4");
    }
    static void TearDownTestSuite() { Made.reset(); }
    void SetUp() override {
        if (!Made)
            GTEST_SKIP() << "ffmpeg with libx265 is not installed";
    }

    std::string Copy(const std::string &name) {
        const std::string path = Dir.File(name);
        std::filesystem::copy_file(Made->File(name), path, std::filesystem::copy_options::overwrite_existing);
        return path;
    }

    static bool IsAvi(const std::string &path) { return std::filesystem::path(path).extension() == ".avi"; }

    // ffprobe's SAR of the file. For AVI, whose video properties chunk states a ratio of its own, the
    // bitstream copied out of it must say the same.
    static ProbedVideo Probe(const std::string &path) {
        const ProbedVideo container = ProbeVideo(path);
        if (IsAvi(path)) {
            const ProbedVideo bitstream = ProbeVideoBitstream(path);
            EXPECT_EQ(RatioText(bitstream.sarWidth, bitstream.sarHeight),
                      RatioText(container.sarWidth, container.sarHeight));
        }
        return container;
    }

    // The places a dry run of set says it would write: "OFFSET: old bytes -> new bytes (what)".
    static std::vector<ByteSpan> PlannedSpans(const std::string &path,
                                              const std::vector<std::string> &options) {
        std::vector<std::string> args{"set", "--dry-run", "--json"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(path);
        const CommandResult result = RunCli(args);
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        std::vector<ByteSpan> spans;
        const std::regex patch(R"(^([0-9A-F]+): ((?:[0-9A-F]{2} )*[0-9A-F]{2}) -> )");
        for (const std::string &line : Lines(Jq(result.output, ".files[0].patches[]"))) {
            std::smatch match;
            EXPECT_TRUE(std::regex_search(line, match, patch)) << line;
            if (match.empty())
                continue;
            const int64_t offset = std::stoll(match[1].str(), nullptr, 16);
            const int64_t count = static_cast<int64_t>(match[2].str().size() + 1) / 3;
            spans.push_back({offset, offset + count - 1});
        }
        return spans;
    }

    static std::unique_ptr<TempDir> Made;
    TempDir Dir;
};

std::unique_ptr<TempDir> HevcCommand::Made;

// Every SPS has its row, each stating what ffprobe and trace_headers read, with the codec named hevc.
TEST_F(HevcCommand, ListAgreesWithFFprobeAndTraceHeaders) {
    for (const Source &source : Sources) {
        SCOPED_TRACE(source.name);
        const std::string path = Copy(source.name);
        const CommandResult result = RunCli({"list", "--json", path});
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(result.errors, "");
        const Listing listing = ReadListing(result.output);
        EXPECT_EQ(Jq(result.output, "[.files[0].records[].codec] | unique | join(\",\")"), "hevc");
        if (std::filesystem::path(path).extension() != ".hevc") {
            EXPECT_EQ(Jq(result.output, "[.files[0].tracks[].codec] | join(\",\")"), "hevc");
        }

        const std::vector<TracedSps> traced = TraceSps(path, 0, source.configRecord);
        ASSERT_FALSE(traced.empty());
        EXPECT_EQ(listing.spsCount, static_cast<int64_t>(traced.size()));
        ASSERT_EQ(listing.records.size(), traced.size());
        const ProbedVideo probed = Probe(path);
        EXPECT_EQ(RatioText(probed.sarWidth, probed.sarHeight), source.custom ? "64:45" : "12:11");
        for (const ListedRecord &record : listing.records) {
            EXPECT_EQ(record.type, source.custom ? "Custom" : "Predefined");
            EXPECT_EQ(record.aspectRatioIdc, traced[0].aspectRatioIdc);
            EXPECT_EQ(record.spsId, traced[0].seqParameterSetId);
            EXPECT_EQ(record.sar, RatioText(probed.sarWidth, probed.sarHeight));
            EXPECT_EQ(record.dar, RatioText(probed.darWidth, probed.darHeight));
            EXPECT_EQ(record.width, probed.width);
            EXPECT_EQ(record.height, probed.height);
            if (std::filesystem::path(path).extension() == ".ts")
                continue; // a unit may lie in two packets
            // The SPS begins with its two header bytes before the listed offset, and aspect_ratio_idc lies
            // one bit after the listed VUI position, where trace_headers places it once the emulation
            // prevention bytes of the file are counted in.
            const std::vector<uint8_t> unit = ReadFileAt(path, record.spsOffset - 2, 256);
            EXPECT_EQ((unit[0] >> 1) & 0x3F, 33);
            int64_t bit = 0;
            for (int64_t rbspBit = 0, zeros = 0, i = 0; rbspBit + 8 <= traced[0].aspectRatioBitPosition;
                 ++i) {
                if (zeros >= 2 && unit[static_cast<size_t>(i)] == 3) {
                    zeros = 0;
                    bit += 8;
                    continue;
                }
                zeros = unit[static_cast<size_t>(i)] == 0 ? zeros + 1 : 0;
                rbspBit += 8;
                bit += 8;
            }
            bit += traced[0].aspectRatioBitPosition % 8;
            EXPECT_EQ(record.vuiOffset * 8 + record.vuiBitOffset + 1, (record.spsOffset - 2) * 8 + bit);
        }
        // The text listing counts the same SPS and names the raw stream's codec.
        const std::vector<std::string> lines = Lines(RunCli({"list", path}).output);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "Sequence Parameter Sets (SPS) found: " + std::to_string(traced.size()));
        if (std::filesystem::path(path).extension() == ".hevc") {
            EXPECT_EQ(lines.back(),
                      "The raw HEVC stream has no container that states an aspect ratio: players and "
                      "TVs read the SPS.");
        }
    }
}

// set --sar changes every SPS (the container's copy too) and the container's statements: ffprobe and
// trace_headers read the new ratio, the decoded frames and the length are kept, and only bytes of the places
// the dry run named differ. A predefined row takes the code of the ratio once reduced (32:22 is code 4).
TEST_F(HevcCommand, SetWritesEverySpsInPlaceWhereTheDryRunSays) {
    for (const Source &source : Sources) {
        SCOPED_TRACE(source.name);
        const std::string path = Copy(source.name);
        const std::vector<std::string> options{"--sar", source.custom ? "1000:891" : "32:22"};
        const std::vector<uint8_t> before = ReadFile(path);
        const std::vector<std::string> frames = FrameMd5(path);
        const std::vector<ByteSpan> spans = PlannedSpans(path, options);
        ASSERT_FALSE(spans.empty());
        ASSERT_EQ(ReadFile(path), before) << "the dry run wrote";

        std::vector<std::string> args{"set"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(path);
        const CommandResult result = RunCli(args);
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(result.errors, "");
        const std::vector<uint8_t> after = ReadFile(path);
        ExpectDifferOnlyIn(before, after, spans);
        EXPECT_NE(after, before);
        EXPECT_EQ(FrameMd5(path), frames);

        const std::string sar = source.custom ? "1000:891" : "16:11";
        // At 176x144: 1000:891 shows as 1000:729, 16:11 as 16:9.
        const std::string dar = source.custom ? "1000:729" : "16:9";
        const ProbedVideo probed = Probe(path);
        EXPECT_EQ(RatioText(probed.sarWidth, probed.sarHeight), sar);
        EXPECT_EQ(RatioText(probed.darWidth, probed.darHeight), dar);
        const std::vector<TracedSps> traced = TraceSps(path, 0, true);
        ASSERT_FALSE(traced.empty());
        for (const TracedSps &sps : traced) {
            EXPECT_EQ(sps.aspectRatioIdc, source.custom ? 255 : 4);
            if (source.custom) {
                EXPECT_EQ(RatioText(sps.sarWidth, sps.sarHeight), sar);
            }
        }
        const Listing listing = ListJson(path);
        for (const ListedRecord &record : listing.records) {
            EXPECT_EQ(record.sar, sar);
            EXPECT_EQ(record.dar, dar);
        }
        const std::string count = std::to_string(listing.records.size());
        EXPECT_EQ(Lines(result.output).back(), count + " of " + count + " chosen rows written.");
    }
}

// --dar on a custom row gives it the SAR of that DAR at its size, as a custom ratio: 16:9 at 176x144 is
// 16:11, written as aspect_ratio_idc 255 with its terms (the kind stays), and the MP4's statements follow.
TEST_F(HevcCommand, DarKeepsACustomRowCustom) {
    const std::string path = Copy("custom.mp4");
    const std::vector<uint8_t> before = ReadFile(path);
    const std::vector<ByteSpan> spans = PlannedSpans(path, {"--dar", "16:9"});
    const CommandResult result = RunCli({"set", "--dar", "16:9", path});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    ExpectDifferOnlyIn(before, ReadFile(path), spans);
    const ProbedVideo probed = ProbeVideo(path);
    EXPECT_EQ(RatioText(probed.darWidth, probed.darHeight), "16:9");
    EXPECT_EQ(RatioText(probed.sarWidth, probed.sarHeight), "16:11");
    for (const TracedSps &sps : TraceSps(path, 0, true)) {
        EXPECT_EQ(sps.aspectRatioIdc, 255);
        EXPECT_EQ(RatioText(sps.sarWidth, sps.sarHeight), "16:11");
    }
    for (const ListedRecord &record : ListJson(path).records) {
        EXPECT_EQ(record.type, "Custom");
        EXPECT_EQ(record.dar, "16:9");
    }
}

// In a raw stream the SPS are all there is to change: the stream set writes is, byte for byte, the stream
// ffmpeg's hevc_metadata filter writes for the same ratio (which takes a predefined code where one has the
// ratio, so each kind is asked for a ratio that keeps it).
TEST_F(HevcCommand, RawStreamComesOutAsHevcMetadataWritesIt) {
    for (const auto &[name, sar] : {std::pair<std::string, std::string>{"custom.hevc", "1000/891"},
                                    {"predefined.hevc", "16/11"},
                                    {"custom.hevc", "65535/65534"}}) {
        SCOPED_TRACE(name + " " + sar);
        const std::string path = Copy(name);
        const std::string oracle = Dir.File("oracle.hevc");
        const CommandResult made = RunCommand(
            "ffmpeg -hide_banner -nostdin -loglevel error -y -i " + ShellQuote(path) +
            " -c copy -bsf:v hevc_metadata=sample_aspect_ratio=" + sar + " -f hevc " + ShellQuote(oracle));
        ASSERT_EQ(made.exitCode, 0) << made.errors;
        std::string ratio = sar;
        ratio[ratio.find('/')] = ':';
        const CommandResult result = RunCli({"set", "--sar", ratio, path});
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(ReadFile(path), ReadFile(oracle));
    }
}

// x265 without a SAR writes no aspect-ratio information. A raw stream then has nothing that can carry a
// ratio and is refused; an MP4 has its track header, which is written alone. Both are answered exactly
// as the same files made with x264 are.
TEST_F(HevcCommand, SpsWithoutRatioIsAnsweredAsForH264) {
    for (const auto &[hevc, avc] : {std::pair<std::string, std::string>{"noratio.hevc", "noratio.h264"},
                                    {"noratio.mp4", "noratio-avc.mp4"}}) {
        SCOPED_TRACE(hevc);
        const std::string path = Copy(hevc), avcPath = Copy(avc);
        const std::vector<uint8_t> before = ReadFile(path);
        // Container rows hold no SPS fields, so the listing is read here field by field.
        const CommandResult list = RunCli({"list", "--json", path});
        EXPECT_EQ(list.exitCode, 0) << list.errors;
        EXPECT_GT(std::stoi(Jq(list.output, ".files[0].sps_count")), 0);
        const std::string types = Jq(list.output, "[.files[0].records[].type] | unique | join(\",\")");
        EXPECT_TRUE(types.empty() || types == "Container") << types;

        const CommandResult set = RunCli({"set", "--json", "--dar", "16:9", path});
        const CommandResult setAvc = RunCli({"set", "--json", "--dar", "16:9", avcPath});
        EXPECT_EQ(set.exitCode, setAvc.exitCode) << set.output << set.errors;
        EXPECT_EQ(Jq(set.output, ".files[0].status"), Jq(setAvc.output, ".files[0].status"));
        EXPECT_EQ(Jq(set.output, ".files[0].records | length"),
                  Jq(setAvc.output, ".files[0].records | length"));
        if (std::filesystem::path(path).extension() == ".hevc") {
            EXPECT_EQ(set.exitCode, 3);
            EXPECT_EQ(Jq(set.output, ".files[0].status"), "refused");
            EXPECT_EQ(ReadFile(path), before);
            const CommandResult text = RunCli({"set", "--dar", "16:9", path});
            EXPECT_EQ(text.exitCode, 3);
            EXPECT_NE(text.errors.find("nothing in it can carry a new ratio"), std::string::npos)
                << text.errors;
            continue;
        }
        EXPECT_EQ(set.exitCode, 0) << set.errors;
        EXPECT_EQ(Jq(set.output, ".files[0].status"), "changed");
        const ProbedVideo probed = ProbeVideo(path);
        EXPECT_EQ(RatioText(probed.darWidth, probed.darHeight), "16:9");
        const std::vector<TracedSps> traced = TraceSps(path, 0, true);
        ASSERT_FALSE(traced.empty());
        for (const TracedSps &sps : traced)
            EXPECT_EQ(sps.aspectRatioInfoPresent, 0) << "an SPS got bits it did not have";
    }
}

// A change of kind is refused for HEVC with the words it has for H.264, and nothing is written.
TEST_F(HevcCommand, KindChangesAreRefused) {
    struct TCase {
        const char *name;
        std::vector<std::string> options;
        std::string reason;
    };
    const TCase cases[] = {
        {"predefined.hevc", {"--sar", "5:4"}, KindMismatch + " No predefined aspect ratio equals 5:4."},
        {"custom.mp4", {"--idc", "1"}, KindMismatch},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Copy(c.name);
        const std::vector<uint8_t> before = ReadFile(path);
        std::vector<std::string> args{"set"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(path);
        const CommandResult result = RunCli(args);
        EXPECT_EQ(result.exitCode, 3);
        EXPECT_EQ(result.output, "");
        const std::vector<std::string> lines = Lines(result.errors);
        ASSERT_EQ(lines.size(), ListJson(path).records.size()) << result.errors;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i], "row " + std::to_string(i) + ": " + c.reason);
        EXPECT_EQ(ReadFile(path), before);
    }
}

// Terms whose bits, where this SPS holds them, would form 00 00 0x need an emulation prevention byte that
// hevc_metadata inserts and an in-place change can not: set must then refuse, writing nothing, and write
// exactly ffmpeg's stream for every ratio that needs none. An SPS that holds such a byte in its ratio is
// refused too, with nothing written.
TEST_F(HevcCommand, RatiosNeedingEmulationPreventionAreRefused) {
    size_t refused = 0, written = 0;
    for (const char *sar : {"32768/1", "1/32768", "256/1", "1/256", "32768/32767", "65535/2"}) {
        SCOPED_TRACE(sar);
        const std::string path = Copy("custom.hevc");
        const std::vector<uint8_t> before = ReadFile(path);
        const std::string oracle = Dir.File("oracle.hevc");
        const CommandResult made = RunCommand(
            "ffmpeg -hide_banner -nostdin -loglevel error -y -i " + ShellQuote(path) +
            " -c copy -bsf:v hevc_metadata=sample_aspect_ratio=" + sar + " -f hevc " + ShellQuote(oracle));
        ASSERT_EQ(made.exitCode, 0) << made.errors;
        std::string ratio = sar;
        ratio[ratio.find('/')] = ':';
        const CommandResult result = RunCli({"set", "--sar", ratio, path});
        const std::vector<uint8_t> ffmpeg = ReadFile(oracle);
        if (ffmpeg.size() == before.size()) {
            EXPECT_EQ(result.exitCode, 0) << result.errors;
            EXPECT_EQ(ReadFile(path), ffmpeg);
            ++written;
            continue;
        }
        EXPECT_EQ(result.exitCode, 3) << result.output;
        EXPECT_NE(result.errors.find("00 00 0"), std::string::npos) << result.errors;
        EXPECT_EQ(ReadFile(path), before);
        ++refused;
    }
    // The list holds both kinds for this stream; a change of the encoder's SPS layout may move them.
    EXPECT_GT(refused, 0u);
    EXPECT_GT(written, 0u);

    // ffmpeg's stream with the ratio 32768:1: an emulation prevention byte inside its aspect-ratio bits.
    const std::string escaped = Dir.File("escaped.hevc");
    const std::string source = Copy("custom.hevc");
    ASSERT_EQ(RunCommand("ffmpeg -hide_banner -nostdin -loglevel error -y -i " + ShellQuote(source) +
                         " -c copy -bsf:v hevc_metadata=sample_aspect_ratio=32768/1 -f hevc " +
                         ShellQuote(escaped))
                  .exitCode,
              0);
    ASSERT_GT(ReadFile(escaped).size(), ReadFile(source).size());
    const std::vector<uint8_t> before = ReadFile(escaped);
    const Listing listing = ListJson(escaped);
    ASSERT_FALSE(listing.records.empty());
    EXPECT_EQ(listing.records[0].sar, "32768:1");
    const CommandResult result = RunCli({"set", "--sar", "64:45", escaped});
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_NE(result.errors.find("emulation prevention byte"), std::string::npos) << result.errors;
    EXPECT_EQ(ReadFile(escaped), before);
}

// A file read as the raw stream of one codec (--stream, --format) that is the raw stream of the other is
// refused as such, as a container is, and nothing is written; read as what it is, or an AVI read as a
// raw HEVC stream, it is listed.
TEST_F(HevcCommand, ReadAsTheRawStreamOfTheOtherCodecIsRefused) {
    const std::string hevc = Copy("custom.hevc"), avc = Copy("noratio.h264"), mp4 = Copy("custom.mp4");
    const std::vector<uint8_t> before = ReadFile(hevc);
    const std::string refusals[][2] = {
        {"a raw HEVC stream", "a raw H.264 stream"},
        {"a raw H.264 stream", "a raw HEVC stream"},
    };
    const std::vector<std::vector<std::string>> calls = {{"list", "--stream", hevc},
                                                         {"set", "--format", "h264", "--sar", "1:1", hevc},
                                                         {"list", "--format", "HEVC", avc}};
    for (size_t i = 0; i < calls.size(); ++i) {
        const CommandResult result = RunCli(calls[i]);
        const auto &[is, asked] = refusals[i < 2 ? 0 : 1];
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.errors, "This file is " + is + ", not " + asked +
                                     ": its units are no units of that codec, and it was not read.\n");
    }
    EXPECT_EQ(ReadFile(hevc), before);
    const CommandResult container = RunCli({"list", "--format", "h265", mp4});
    EXPECT_EQ(container.exitCode, 1);
    EXPECT_EQ(container.errors, "This file is an MP4 (ISO base media) container, not a raw HEVC stream. Its "
                                "aspect ratio can not be changed in place.\n");

    const Listing forced = ListJson(hevc, {"--format", "h265"});
    EXPECT_EQ(forced.scanner, "stream");
    EXPECT_EQ(forced.records.size(), ListJson(hevc).records.size());
    EXPECT_FALSE(forced.records.empty());
    const std::string avi = Copy("predefined.avi");
    const CommandResult asStream = RunCli({"list", "--format", "hevc", avi});
    EXPECT_EQ(asStream.exitCode, 0) << asStream.errors;
    EXPECT_EQ(Lines(asStream.output).back(),
              "Read as a raw HEVC stream: what the AVI container states beside the SPS was not read.");
}

} // namespace
