#include "CliTestSupport.h"
#include "MediaFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <numeric>
#include <sstream>

namespace {

// Sources made once: a custom-SAR stream with an SPS before every key frame, a predefined-SAR stream,
// and an AVI of each. 200x120 is not a whole number of macroblocks high, so the SPS crops.
class ListCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveMediaTools())
            return;
        Dir = std::make_unique<TempDir>();
        VideoSpec custom;
        custom.width = 200;
        custom.height = 120;
        custom.frames = 15;
        custom.sar = "64/45";
        custom.repeatHeaders = true;
        custom.keyint = 5;
        VideoSpec predefined;
        predefined.sar = "12/11";
        MakeRawH264(Dir->File("custom.h264"), custom);
        MakeRawH264(Dir->File("predefined.h264"), predefined);
        MakeAvi(Dir->File("custom.avi"), {custom}, true);
        MakeAvi(Dir->File("predefined.avi"), {predefined});
    }
    static void TearDownTestSuite() { Dir.reset(); }
    void SetUp() override {
        if (!Dir)
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }

    static std::unique_ptr<TempDir> Dir;
};

std::unique_ptr<TempDir> ListCommand::Dir;

// Digits of the offset columns as the list shows them: 2 x ceiling(log2(size) / 8).
int OffsetDigits(int64_t size) {
    return 2 * static_cast<int>(std::ceil(std::log2(static_cast<double>(size)) / 8));
}

std::string Hex(int64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

TEST_F(ListCommand, JsonAgreesWithFfprobeForStreamsAndAvi) {
    for (const char *name : {"custom.h264", "predefined.h264", "custom.avi", "predefined.avi"}) {
        SCOPED_TRACE(name);
        std::string path = Dir->File(name);
        bool avi = std::filesystem::path(path).extension() == ".avi";
        Listing listing = ListJson(path);
        ProbedVideo probed = ProbeVideoBitstream(path);
        std::vector<TracedSps> traced = TraceSps(path);

        EXPECT_EQ(listing.file, path);
        EXPECT_EQ(listing.scanner, avi ? "avi" : "stream");
        EXPECT_EQ(listing.size, static_cast<int64_t>(std::filesystem::file_size(path)));
        EXPECT_EQ(listing.spsCount, static_cast<int64_t>(traced.size()));
        ASSERT_EQ(listing.records.size(), traced.size());
        for (size_t i = 0; i < traced.size(); ++i) {
            const ListedRecord &record = listing.records[i];
            EXPECT_EQ(record.row, static_cast<int64_t>(i));
            EXPECT_EQ(record.sarWidth, probed.sarWidth);
            EXPECT_EQ(record.sarHeight, probed.sarHeight);
            EXPECT_EQ(record.aspectRatioIdc, traced[i].aspectRatioIdc);
            EXPECT_EQ(record.type, traced[i].aspectRatioIdc == 255 ? "Custom" : "Predefined");
            EXPECT_EQ(record.spsId, traced[i].seqParameterSetId);
            EXPECT_EQ(record.width, probed.width);
            EXPECT_EQ(record.height, probed.height);
            EXPECT_EQ(record.sar, std::to_string(probed.sarWidth) + ":" + std::to_string(probed.sarHeight));
            int64_t x = int64_t{probed.sarWidth} * probed.width,
                    y = int64_t{probed.sarHeight} * probed.height;
            int64_t g = std::gcd(x, y);
            EXPECT_EQ(record.dar, std::to_string(x / g) + ":" + std::to_string(y / g));
            EXPECT_LT(record.spsOffset, record.vuiOffset);
            EXPECT_LT(record.vuiOffset, listing.size);
        }
        // The display aspect ratio the AVI container states (vprp), as players see it; none for streams.
        std::string containerDar =
            Jq(RunCli({"list", "--json", path}).output, ".files[0].records[0].container_dar");
        if (avi) {
            ProbedVideo container = ProbeVideo(path);
            int64_t x = int64_t{container.sarWidth} * container.width,
                    y = int64_t{container.sarHeight} * container.height;
            int64_t g = std::gcd(x, y);
            EXPECT_EQ(containerDar, std::to_string(x / g) + ":" + std::to_string(y / g));
        } else {
            EXPECT_EQ(containerDar, "null");
        }
    }
}

TEST_F(ListCommand, TableShowsTheSameRowsWithOffsetsInPaddedHexadecimal) {
    for (const char *name : {"custom.h264", "custom.avi"}) {
        SCOPED_TRACE(name);
        std::string path = Dir->File(name);
        Listing listing = ListJson(path);
        CommandResult result = RunCli({"list", path});
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(result.errors, "");
        std::vector<std::string> lines = Lines(result.output);
        bool avi = std::filesystem::path(path).extension() == ".avi";
        // The count, the titles, the rows, and what the container states beside the SPS.
        ASSERT_EQ(lines.size(), listing.records.size() + 3);
        if (avi) {
            EXPECT_EQ(lines.back(), "Stream 0 of the AVI container states the display aspect ratio " +
                                        listing.records[0].dar + " (players show this one).");
        } else {
            EXPECT_EQ(lines.back(), "The raw H.264 stream has no container that states an aspect ratio: "
                                    "players and TVs read the SPS.");
        }
        EXPECT_EQ(lines[0], "Sequence Parameter Sets (SPS) found: " + std::to_string(listing.spsCount));
        std::vector<std::string> header = {"#",      "SAR",        "Type",       "Resolution", "DAR",
                                           "SPS Id", "SPS Offset", "VUI Offset", "Track",      "Codec"};
        size_t at = 0;
        for (const std::string &title : header) {
            size_t found = lines[1].find(title, at);
            ASSERT_NE(found, std::string::npos) << title;
            at = found + title.size();
        }
        int digits = OffsetDigits(listing.size);
        for (size_t i = 0; i < listing.records.size(); ++i) {
            const ListedRecord &record = listing.records[i];
            std::istringstream row(lines[i + 2]);
            std::string number, sar, type, resolution, dar, spsId, spsOffset, vuiOffset, track, codec;
            row >> number >> sar >> type >> resolution >> dar >> spsId >> spsOffset >> vuiOffset >> track >>
                codec;
            EXPECT_EQ(number, std::to_string(i));
            EXPECT_EQ(sar, record.sar);
            EXPECT_EQ(type, record.type);
            EXPECT_EQ(resolution, std::to_string(record.width) + "x" + std::to_string(record.height));
            EXPECT_EQ(dar, record.dar);
            EXPECT_EQ(spsId, std::to_string(record.spsId));
            EXPECT_EQ(spsOffset, Hex(record.spsOffset, digits));
            EXPECT_EQ(vuiOffset, Hex(record.vuiOffset, digits));
            EXPECT_EQ(track, avi ? "0" : "-"); // the AVI's stream number; a raw stream has no tracks
            EXPECT_EQ(codec, "H.264");
        }
    }
}

// The scanner follows the file's content, whatever its name; --avi and --stream force one.
TEST_F(ListCommand, ScannerFollowsTheContentUnlessForced) {
    std::string upper = Dir->File("CLIP.AvI");
    std::filesystem::copy_file(Dir->File("custom.avi"), upper,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(ListJson(upper).scanner, "avi");
    EXPECT_EQ(ListJson(upper, {"--stream"}).scanner, "stream");

    // A raw stream with an AVI name is read as the raw stream it is; the AVI scanner, forced, refuses it.
    std::string misnamed = Dir->File("raw.avi");
    std::filesystem::copy_file(Dir->File("custom.h264"), misnamed,
                               std::filesystem::copy_options::overwrite_existing);
    Listing asStream = ListJson(misnamed);
    EXPECT_EQ(asStream.scanner, "stream");
    EXPECT_EQ(asStream.records.size(), ListJson(Dir->File("custom.h264")).records.size());
    CommandResult asAvi = RunCli({"list", "--avi", misnamed});
    EXPECT_EQ(asAvi.exitCode, 1);
    EXPECT_EQ(asAvi.errors, "File is not a valid RIFF file. Abort Scan.\n");
    EXPECT_EQ(asAvi.output, "");

    std::string aviAsH264 = Dir->File("movie.h264");
    std::filesystem::copy_file(Dir->File("predefined.avi"), aviAsH264,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(ListJson(aviAsH264).scanner, "avi");
    EXPECT_EQ(ListJson(aviAsH264, {"--stream"}).scanner, "stream");
}

TEST_F(ListCommand, FirstNalOnlyLooksAtTheFirstNalUnitOfEachAviChunk) {
    // Every frame opens with an access unit delimiter, so no video chunk begins with its SPS.
    VideoSpec delimited;
    delimited.sar = "16/11";
    delimited.accessUnitDelimiters = true;
    std::string path = Dir->File("delimited.avi");
    MakeAvi(path, {delimited});
    size_t traced = TraceSps(path).size();
    ASSERT_GT(traced, 0u);
    EXPECT_EQ(ListJson(path).records.size(), traced);
    // No SPS row: the stream's vprp is listed in their place.
    const std::string firstOnly = RunCli({"list", "--first-nal-only", "--json", path}).output;
    EXPECT_EQ(Jq(firstOnly, ".files[0].sps_count"), "0");
    EXPECT_EQ(Jq(firstOnly, "[.files[0].records[] | .type] | join(\",\")"), "Container");
    EXPECT_EQ(Jq(firstOnly, ".files[0].records[0].sps_id"), "null");

    // Without delimiters the SPS opens its chunk and is found in that mode too.
    EXPECT_EQ(ListJson(Dir->File("predefined.avi"), {"--first-nal-only"}).records.size(),
              TraceSps(Dir->File("predefined.avi")).size());
    // The mode is one of the AVI scanner: a raw stream is read whole.
    EXPECT_EQ(ListJson(Dir->File("custom.h264"), {"--first-nal-only"}).records.size(),
              TraceSps(Dir->File("custom.h264")).size());
}

TEST_F(ListCommand, FileNamesAreValidJsonStrings) {
    // Quotes, a backslash, a tab, a line feed, a control character and non-ASCII UTF-8.
    const std::string names[] = {"say \"hi\".h264", "back\\slash.h264", "tab\there.h264",
                                 "line\nfeed.h264", "bell\x07.h264",    "Größe 日本 🎬.h264"};
    for (const std::string &name : names) {
        // Windows forbids quotes, backslashes and control characters in file names.
        if (CliUnderWine() && name.find_first_of("\"\\\t\n\x07") != std::string::npos)
            continue;
        SCOPED_TRACE(name);
        std::string path = Dir->File(name);
        std::filesystem::copy_file(Dir->File("predefined.h264"), path,
                                   std::filesystem::copy_options::overwrite_existing);
        CommandResult result = RunCli({"list", "--json", path});
        ASSERT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_EQ(Jq(result.output, ".files[0].file"), path);
        EXPECT_EQ(Jq(result.output, ".files[0].records | length"), "1");
    }
}

// Bytes that are not UTF-8 can not be kept in JSON: they become U+FFFD and the document stays valid.
TEST_F(ListCommand, FileNameBytesThatAreNotUtf8BecomeReplacementCharacters) {
    if (CliUnderWine())
        GTEST_SKIP() << "a Windows program takes its arguments as UTF-16: a name that is not UTF-8 can not "
                        "reach it";
    std::string latin1 = Dir->File("caf\xE9.h264");
    std::filesystem::copy_file(Dir->File("predefined.h264"), latin1);
    CommandResult result = RunCli({"list", "--json", latin1});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(Jq(result.output, ".files[0].file"), Dir->File("caf\xEF\xBF\xBD.h264"));
}

TEST_F(ListCommand, AFileWithoutAspectRatioListsItsSpsButNoRows) {
    VideoSpec plain; // no SAR: x264 writes no aspect-ratio information
    std::string path = Dir->File("plain.h264");
    MakeRawH264(path, plain);
    Listing listing = ListJson(path);
    EXPECT_EQ(listing.spsCount, static_cast<int64_t>(TraceSps(path).size()));
    EXPECT_GT(listing.spsCount, 0);
    EXPECT_TRUE(listing.records.empty());
    CommandResult table = RunCli({"list", path});
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_EQ(Lines(table.output).size(), 2u); // the count and the column titles
}

TEST_F(ListCommand, ProgressLineOnlyWhenRunInATerminal) {
    std::string path = Dir->File("custom.h264");
    CommandResult piped = RunCli({"list", path});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.errors, "");
    EXPECT_EQ(piped.output.find("Scanning"), std::string::npos);

    // script gives the program a terminal for both outputs (and merges them).
    if (CliUnderWine())
        GTEST_SKIP() << "wine's console puts its own escape sequences between the characters the program "
                        "writes to a terminal";
    if (!HaveTool("script"))
        GTEST_SKIP() << "script is not installed";
    CommandResult terminal = RunCommand(
        "script -qec " + ShellQuote(ShellQuote(CliPath()) + " list " + ShellQuote(path)) + " /dev/null");
    EXPECT_EQ(terminal.exitCode, 0) << terminal.errors;
    EXPECT_NE(terminal.output.find("\rScanning "), std::string::npos) << terminal.output;
    EXPECT_NE(terminal.output.find("%"), std::string::npos);
    // The line is taken away again before the results.
    size_t table = terminal.output.find("Sequence Parameter Sets (SPS) found:");
    ASSERT_NE(table, std::string::npos);
    EXPECT_EQ(terminal.output.find("Scanning", table), std::string::npos);
}

} // namespace
