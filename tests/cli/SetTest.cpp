#include "CliTestSupport.h"
#include "MediaFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <numeric>

namespace {

const std::string KindMismatch =
    "Saving of these values not possible in this version: Only replace predefined "
    "ARs by predefined ARs and custom ARs by custom ARs.";

// Sources made once, each copied before a test changes it: streams and AVI files with a custom and a
// predefined SAR, an SPS before every key frame (three in all), and an AVI with one video stream of
// each kind.
class SetCommand : public ::testing::Test {
protected:
    static VideoSpec Video(const std::string &sar) {
        VideoSpec video;
        video.frames = 15;
        video.keyint = 5;
        video.repeatHeaders = true;
        video.sar = sar;
        return video;
    }

    static void SetUpTestSuite() {
        if (!HaveMediaTools())
            return;
        Sources = std::make_unique<TempDir>();
        MakeRawH264(Sources->File("custom.h264"), Video("64/45"));
        MakeRawH264(Sources->File("predefined.h264"), Video("12/11"));
        MakeAvi(Sources->File("custom.avi"), {Video("64/45")}, true);
        MakeAvi(Sources->File("predefined.avi"), {Video("12/11")});
        MakeAvi(Sources->File("mixed.avi"), {Video("64/45"), Video("12/11")});
    }
    static void TearDownTestSuite() { Sources.reset(); }
    void SetUp() override {
        if (!Sources)
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }

    // A fresh copy of a source in this test's own folder.
    std::string Copy(const std::string &name) {
        std::string path = Dir.File(name);
        std::filesystem::copy_file(Sources->File(name), path,
                                   std::filesystem::copy_options::overwrite_existing);
        return path;
    }

    static bool IsAvi(const std::string &path) { return std::filesystem::path(path).extension() == ".avi"; }

    // What an independent decoder sees in the H.264 data. For AVI that is the bitstream copied out of
    // it; the AVI itself, whose video properties state the display aspect ratio, must agree with it.
    static ProbedVideo Probe(const std::string &path) {
        if (!IsAvi(path))
            return ProbeVideo(path);
        ProbedVideo bitstream = ProbeVideoBitstream(path);
        ProbedVideo container = ProbeVideo(path);
        EXPECT_EQ(container.sarWidth, bitstream.sarWidth);
        EXPECT_EQ(container.sarHeight, bitstream.sarHeight);
        return bitstream;
    }

    // The dwFrameAspectRatio fields of the video properties chunks of an AVI: four bytes 20 bytes into
    // each "vprp" payload.
    static std::vector<ByteSpan> ContainerAspectRatioBytes(const std::vector<uint8_t> &avi) {
        std::vector<ByteSpan> spans;
        const std::string id = "vprp";
        for (size_t i = 0; i + 8 + 24 <= avi.size(); ++i)
            if (std::equal(id.begin(), id.end(), avi.begin() + static_cast<std::ptrdiff_t>(i)))
                spans.push_back({static_cast<int64_t>(i) + 8 + 20, static_cast<int64_t>(i) + 8 + 23});
        return spans;
    }

    // Runs set, expects success, and checks that the file changed only in the aspect-ratio bits of the
    // rows listed afterwards, with the same decoded pictures. Returns the listing after the change.
    Listing SetAndCheck(const std::string &path, const std::vector<std::string> &options) {
        std::vector<uint8_t> before = ReadFile(path);
        std::vector<std::string> frames = FrameMd5(path);
        std::vector<std::string> args{"set"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(path);
        CommandResult result = RunCli(args);
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(result.errors, "");
        Listing after = ListJson(path);
        std::vector<ByteSpan> spans;
        if (IsAvi(path))
            spans = ContainerAspectRatioBytes(before);
        for (const ListedRecord &record : after.records)
            spans.push_back(AspectRatioBytes(record));
        ExpectDifferOnlyIn(before, ReadFile(path), spans);
        EXPECT_EQ(FrameMd5(path), frames);
        LastOutput = result.output;
        return after;
    }

    // Runs set and expects a refusal that leaves the file as it was. Returns standard error.
    std::string ExpectRefused(const std::string &path, const std::vector<std::string> &options) {
        std::vector<uint8_t> before = ReadFile(path);
        std::vector<std::string> args{"set"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(path);
        CommandResult result = RunCli(args);
        EXPECT_EQ(result.exitCode, 3) << result.errors;
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(ReadFile(path), before);
        return result.errors;
    }

    static std::unique_ptr<TempDir> Sources;
    TempDir Dir;
    std::string LastOutput;
};

std::unique_ptr<TempDir> SetCommand::Sources;

std::string RowLine(size_t row, const std::string &reason) {
    return "row " + std::to_string(row) + ": " + reason;
}

TEST_F(SetCommand, IdcReplacesThePredefinedCodeOfEveryRow) {
    for (const char *name : {"predefined.h264", "predefined.avi"}) {
        SCOPED_TRACE(name);
        std::string path = Copy(name);
        size_t rows = ListJson(path).records.size();
        ASSERT_EQ(rows, 3u);
        Listing after = SetAndCheck(path, {"--idc", "4"});
        ProbedVideo probed = Probe(path);
        EXPECT_EQ(probed.sarWidth, 16);
        EXPECT_EQ(probed.sarHeight, 11);
        for (const TracedSps &sps : TraceSps(path))
            EXPECT_EQ(sps.aspectRatioIdc, 4);
        for (const ListedRecord &record : after.records)
            EXPECT_EQ(record.aspectRatioIdc, 4);
        // One line per row saying it was written, the line on the container, then the count.
        std::vector<std::string> lines = Lines(LastOutput);
        ASSERT_EQ(lines.size(), rows + 2) << LastOutput;
        for (size_t i = 0; i < rows; ++i) {
            EXPECT_EQ(lines[i].rfind("row " + std::to_string(i) + ": SAR 12:11 -> 16:11 ", 0), 0u)
                << lines[i];
            EXPECT_NE(lines[i].find("written"), std::string::npos) << lines[i];
        }
        // At 176x144 the SAR 12:11 shows as 4:3, 16:11 as 16:9.
        if (IsAvi(path)) {
            EXPECT_EQ(lines[rows], "Container aspect ratio of stream 0: 4:3 changed to 16:9.");
        } else {
            EXPECT_EQ(lines[rows], "The raw H.264 stream has no container that states an aspect ratio: players "
                                   "and TVs read the SPS.");
        }
        EXPECT_EQ(lines.back(), "3 of 3 chosen rows written.");
    }
}

TEST_F(SetCommand, SarKeepsEachRowsKind) {
    // A custom row takes the ratio itself.
    for (const char *name : {"custom.h264", "custom.avi"}) {
        SCOPED_TRACE(name);
        std::string path = Copy(name);
        Listing after = SetAndCheck(path, {"--sar", "40:33"});
        ProbedVideo probed = Probe(path);
        EXPECT_EQ(probed.sarWidth, 40);
        EXPECT_EQ(probed.sarHeight, 33);
        for (const TracedSps &sps : TraceSps(path)) {
            EXPECT_EQ(sps.aspectRatioIdc, 255);
            EXPECT_EQ(sps.sarWidth, 40);
            EXPECT_EQ(sps.sarHeight, 33);
        }
    }
    // A predefined row takes the code whose ratio equals it once reduced: 32:22 is 16:11, code 4.
    for (const char *name : {"predefined.h264", "predefined.avi"}) {
        SCOPED_TRACE(name);
        std::string path = Copy(name);
        SetAndCheck(path, {"--sar", "32:22"});
        ProbedVideo probed = Probe(path);
        EXPECT_EQ(probed.sarWidth, 16);
        EXPECT_EQ(probed.sarHeight, 11);
        for (const TracedSps &sps : TraceSps(path))
            EXPECT_EQ(sps.aspectRatioIdc, 4);
    }
}

TEST_F(SetCommand, DarGivesEachRowTheSarForItsResolution) {
    for (const char *name : {"custom.h264", "custom.avi", "predefined.h264", "predefined.avi"}) {
        SCOPED_TRACE(name);
        std::string path = Copy(name);
        ListedRecord before = ListJson(path).records.at(0);
        Listing after = SetAndCheck(path, {"--dar", "16:9"});
        // SAR = (16 x height) : (9 x width), reduced; at 176x144 that is 16:11, which is also code 4.
        int64_t x = 16 * int64_t{before.height}, y = 9 * int64_t{before.width}, g = std::gcd(x, y);
        ProbedVideo probed = Probe(path);
        EXPECT_EQ(probed.sarWidth, x / g);
        EXPECT_EQ(probed.sarHeight, y / g);
        for (const ListedRecord &record : after.records) {
            EXPECT_EQ(record.dar, "16:9");
            EXPECT_EQ(record.type, before.type);
            EXPECT_EQ(record.aspectRatioIdc, before.type == "Custom" ? 255 : 4);
        }
    }
}

TEST_F(SetCommand, RowsChoosesWhichSpsChange) {
    std::string path = Copy("custom.h264");
    SetAndCheck(path, {"--rows", "0,2", "--sar", "1:1"});
    std::vector<TracedSps> traced = TraceSps(path);
    ASSERT_EQ(traced.size(), 3u);
    EXPECT_EQ(traced[0].sarWidth, 1);
    EXPECT_EQ(traced[1].sarWidth, 64);
    EXPECT_EQ(traced[2].sarWidth, 1);
    EXPECT_EQ(Lines(LastOutput).size(), 4u); // rows 0 and 2, the line on the container, then the count

    SetAndCheck(path, {"--rows=1-2", "--sar", "2:1"});
    traced = TraceSps(path);
    EXPECT_EQ(traced[0].sarWidth, 1);
    EXPECT_EQ(traced[1].sarWidth, 2);
    EXPECT_EQ(traced[2].sarWidth, 2);
}

TEST_F(SetCommand, NothingToChangeWritesNothingAndSucceeds) {
    std::string path = Copy("predefined.h264");
    std::vector<uint8_t> before = ReadFile(path);
    CommandResult result = RunCli({"set", "--sar", "24:22", path}); // 12:11, its own ratio
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_NE(result.output.find("row 0: SAR 12:11 (Predefined, aspect_ratio_idc 2) is already set"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("0 of 3 chosen rows written."), std::string::npos);
}

TEST_F(SetCommand, DryRunReportsAndWritesNothing) {
    std::string path = Copy("custom.avi");
    std::vector<uint8_t> before = ReadFile(path);
    CommandResult text = RunCli({"set", "--dry-run", "--sar", "16:9", path});
    EXPECT_EQ(text.exitCode, 0) << text.errors;
    EXPECT_EQ(ReadFile(path), before);
    std::vector<std::string> lines = Lines(text.output);
    ASSERT_EQ(lines.size(), 9u) << text.output;
    EXPECT_NE(lines[0].find("SAR 64:45 -> 16:9"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("would be written"), std::string::npos) << lines[0];
    // At 176x144 the SAR 64:45 shows as 704:405, 16:9 as 176:81.
    EXPECT_EQ(lines[3], "Dry run: Container aspect ratio of stream 0: 704:405 changed to 176:81.");
    // The plan: every place with its bytes before and after, the vprp's field among them.
    size_t vprp = 0;
    for (size_t i = 4; i < 8; ++i) {
        EXPECT_EQ(lines[i].rfind("Dry run: would write ", 0), 0u) << lines[i];
        vprp += lines[i].find("(container aspect ratio of stream 0)") != std::string::npos;
    }
    EXPECT_EQ(vprp, 1u);
    EXPECT_EQ(lines[8], "Dry run: 3 of 3 chosen rows would be written; the file was not changed.");

    CommandResult json = RunCli({"set", "--dry-run", "--json", "--rows", "1", "--sar", "16:9", path});
    EXPECT_EQ(json.exitCode, 0) << json.errors;
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(Jq(json.output, ".files[0].dry_run"), "true");
    EXPECT_EQ(Jq(json.output, "[.files[0].records[] | .written] | any"), "false");
    EXPECT_EQ(Jq(json.output, "[.files[0].records[] | .changed] | map(tostring) | join(\",\")"),
              "false,true,false");
    EXPECT_EQ(Jq(json.output, ".files[0].records[1].sar"), "16:9");
}

TEST_F(SetCommand, JsonReportsPerRowWhatWasWritten) {
    std::string path = Copy("predefined.avi");
    CommandResult result = RunCli({"set", "--json", "--rows", "0,1", "--idc", "2", path}); // row 0..1 have 2
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(Jq(result.output, "[.files[0].records[] | .written] | any"), "false");
    result = RunCli({"set", "--json", "--rows", "2", "--idc", "14", path});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(Jq(result.output, ".files[0].dry_run"), "false");
    EXPECT_EQ(Jq(result.output, "[.files[0].records[] | .written] | map(tostring) | join(\",\")"),
              "false,false,true");
    EXPECT_EQ(Jq(result.output, "[.files[0].records[] | .selected] | map(tostring) | join(\",\")"),
              "false,false,true");
    EXPECT_EQ(
        Jq(result.output, ".files[0].records[2] | [.aspect_ratio_idc, .sar] | map(tostring) | join(\" \")"),
        "14 4:3");
    EXPECT_EQ(TraceSps(path).at(2).aspectRatioIdc, 14);
}

TEST_F(SetCommand, KindChangesAreRefusedWithNothingWritten) {
    // A predefined code for custom rows.
    std::string custom = Copy("custom.h264");
    std::string errors = ExpectRefused(custom, {"--idc", "1"});
    EXPECT_EQ(errors, RowLine(0, KindMismatch) + "\n" + RowLine(1, KindMismatch) + "\n" +
                          RowLine(2, KindMismatch) + "\n");

    // A ratio that no predefined code has, for predefined rows.
    std::string predefined = Copy("predefined.avi");
    errors = ExpectRefused(predefined, {"--rows", "1", "--sar", "5:4"});
    EXPECT_EQ(errors, RowLine(1, KindMismatch + " No predefined aspect ratio equals 5:4.") + "\n");
    // DAR 5:4 at 176x144 needs the SAR 45:44, which no code has.
    errors = ExpectRefused(predefined, {"--dar", "5:4"});
    std::string noCode = KindMismatch + " No predefined aspect ratio equals 45:44.";
    EXPECT_EQ(errors, RowLine(0, noCode) + "\n" + RowLine(1, noCode) + "\n" + RowLine(2, noCode) + "\n");
}

TEST_F(SetCommand, CustomTermsOutsideTheSixteenBitFieldsAreRefused) {
    // DAR 65535:1 at 176x144 needs the SAR 589815:11.
    std::string path = Copy("custom.avi");
    std::string errors = ExpectRefused(path, {"--rows", "0", "--dar", "65535:1"});
    EXPECT_EQ(errors, RowLine(0, "The custom aspect ratio 589815:11 can not be written: both terms must lie "
                                 "between 1 and 65535.") +
                          "\n");
}

TEST_F(SetCommand, OneRefusedRowStopsTheWholeSet) {
    // Stream 0 is custom, stream 1 predefined: a predefined code suits only the rows of stream 1.
    std::string path = Copy("mixed.avi");
    Listing listing = ListJson(path);
    ASSERT_EQ(listing.records.size(), 6u);
    std::string expected;
    for (const ListedRecord &record : listing.records)
        if (record.type == "Custom")
            expected += RowLine(static_cast<size_t>(record.row), KindMismatch) + "\n";
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(ExpectRefused(path, {"--idc", "4"}), expected);
    // A dry run is refused in the same way.
    EXPECT_EQ(ExpectRefused(path, {"--dry-run", "--idc", "4"}), expected);
}

} // namespace
