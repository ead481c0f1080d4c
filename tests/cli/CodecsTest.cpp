// Streams of codecs other than H.264, as users meet them: MPEG-2 and HEVC elementary streams, an
// MPEG-4 Part 2 .m4v and an Xvid AVI. Each is read as what it is, even under a name that says H.264 and
// with --yes; none gives an H.264 row.

#include "CliTestSupport.h"
#include "MediaFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

class CodecsCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveMediaTools())
            return;
        Sources = std::make_unique<TempDir>();
        VideoSpec video;
        video.frames = 6;
        video.sar = "64/45";
        for (const auto &[encoder, muxer] : std::vector<std::pair<std::string, std::string>>{
                 {"mpeg2video", "mpeg2video"}, {"libx265", "hevc"}, {"mpeg4", "m4v"}, {"libx264", "h264"}}) {
            video.encoder = encoder;
            MakeElementaryStream(Sources->File("clip." + muxer), video, muxer);
        }
        video.encoder = "mpeg4";
        video.tag = "XVID";
        MakeAvi(Sources->File("xvid.avi"), {video});
    }
    static void TearDownTestSuite() { Sources.reset(); }
    void SetUp() override {
        if (!Sources)
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }

    std::string Copy(const std::string &name, const std::string &as) {
        std::string path = Dir.File(as);
        std::filesystem::copy_file(Sources->File(name), path);
        return path;
    }

    static std::unique_ptr<TempDir> Sources;
    TempDir Dir;
};

std::unique_ptr<TempDir> CodecsCommand::Sources;

// Under a name that says H.264, the content decides: the raw MPEG-4 Part 2 stream's VOL is its row and
// the one thing set writes; asking for a raw H.264 stream is refused and reads nothing.
TEST_F(CodecsCommand, ARawStreamIsReadAsItsContentSays) {
    const std::string path = Copy("clip.m4v", "clip.m4v.h264");
    const std::vector<uint8_t> before = ReadFile(path);
    CommandResult forced = RunCli({"list", "--stream", path});
    EXPECT_EQ(forced.exitCode, 1);
    EXPECT_EQ(forced.errors,
              "This file is a raw MPEG-4 Part 2 video stream, not a raw H.264 stream: its units "
              "are no units of that codec, and it was not read.\n");

    CommandResult listed = RunCli({"list", "--yes", "--json", path});
    EXPECT_EQ(listed.exitCode, 0) << listed.errors;
    EXPECT_EQ(Jq(listed.output, ".files[0].format"), "raw MPEG-4 Part 2 video stream");
    EXPECT_EQ(
        Jq(listed.output, "[.files[0].records[] | .codec + \" \" + .sar + \" \" + .type] | join(\",\")"),
        "mpeg4visual 64:45 Custom");
    const ListedRecord vol = ReadListing(listed.output).records.at(0);

    CommandResult set = RunCli({"set", "--yes", "--sar", "16:11", path});
    EXPECT_EQ(set.exitCode, 0) << set.errors;
    const std::vector<uint8_t> after = ReadFile(path);
    // aspect_ratio_info 15 stays, par_width and par_height take 16 and 11: 20 bits from the VOL offset's bit.
    const int64_t firstBit = vol.vuiOffset * 8 + vol.vuiBitOffset;
    ExpectDifferOnlyIn(before, after, {{firstBit / 8, (firstBit + 19) / 8}});
    EXPECT_NE(after, before);
    EXPECT_EQ(ProbeVideo(path).sarWidth, 16);
    EXPECT_EQ(ProbeVideo(path).sarHeight, 11);
}

// The Xvid AVI: no handler question and no H.264 unit; its VOLs are read as its codec's, and a change writes
// them and the video properties chunk.
TEST_F(CodecsCommand, XvidAviIsReadAsMpeg4Part2) {
    const std::string path = Copy("xvid.avi", "xvid.avi");
    CommandResult listed = RunCli({"list", "--yes", "--json", path});
    EXPECT_EQ(listed.exitCode, 0) << listed.errors;
    EXPECT_EQ(listed.errors, "");
    EXPECT_GE(std::stoi(Jq(listed.output, ".files[0].sps_count")), 1);
    EXPECT_EQ(Jq(listed.output, ".files[0].damaged_sps_count"), "0");
    EXPECT_EQ(Jq(listed.output, ".files[0].tracks[0].codec"), "mpeg4visual");
    EXPECT_EQ(Jq(listed.output, ".files[0].tracks[0].not_written"), "null");
    EXPECT_EQ(Jq(listed.output, "[.files[0].records[] | .type + \" \" + .codec] | unique | join(\",\")"),
              "Custom mpeg4visual");

    CommandResult set = RunCli({"set", "--yes", "--sar", "1:1", path});
    EXPECT_EQ(set.exitCode, 0) << set.errors;
    EXPECT_NE(set.output.find("Container aspect ratio of stream 0"), std::string::npos) << set.output;
    const ProbedVideo probed = ProbeVideo(path);
    EXPECT_EQ(probed.sarWidth, 1);
    EXPECT_EQ(probed.sarHeight, 1);
}

// The folder walk tells formats by the same detection: it lists the H.264, HEVC, MPEG-2 and MPEG-4 Part 2
// streams and the AVI, each with its codec.
TEST_F(CodecsCommand, FolderWalkTellsEachStreamByItsContent) {
    for (const char *name : {"clip.mpeg2video", "clip.hevc", "clip.m4v", "clip.h264", "xvid.avi"})
        Copy(name, name);
    CommandResult result = RunCli({"list", "--yes", "--recursive", "--json", Dir.File("")});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(Jq(result.output, "[.files[] | .file | split(\"/\") | last] | sort | join(\",\")"),
              "clip.h264,clip.hevc,clip.m4v,clip.mpeg2video,xvid.avi");
    EXPECT_EQ(Jq(result.output, ".summary.skipped"), "0");
    for (const auto &[name, codec] :
         std::vector<std::pair<std::string, std::string>>{{"clip.mpeg2video", "mpeg2video"},
                                                          {"clip.h264", "h264"},
                                                          {"clip.hevc", "hevc"},
                                                          {"clip.m4v", "mpeg4visual"},
                                                          {"xvid.avi", "mpeg4visual"}})
        EXPECT_EQ(Jq(result.output,
                     "[.files[] | select(.file | endswith(\"" + name + "\")) | .records[0].codec] | .[0]"),
                  codec)
            << name;
}

} // namespace
