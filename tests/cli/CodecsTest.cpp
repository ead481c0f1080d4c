// Streams of codecs other than H.264, as users meet them: MPEG-2 and HEVC elementary streams, an
// MPEG-4 Part 2 .m4v and an Xvid AVI. Each is named as what it is, even under a name that says H.264 and
// with --yes; none gives an H.264 row, and nothing is written to any of them.

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

TEST_F(CodecsCommand, ElementaryStreamsOfOtherCodecsAreNamedAndNotRead) {
    struct TCase {
        const char *source;
        const char *format;
    };
    const TCase cases[] = {{"clip.m4v", "raw MPEG-4 Part 2 video stream"}};
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.source);
        // Under a name that says H.264: the content decides.
        const std::string path = Copy(c.source, std::string(c.source) + ".h264");
        const std::vector<uint8_t> before = ReadFile(path);
        const std::string error = std::string("This file is a ") + c.format +
                                  ", whose video this version does not read. Its aspect ratio can not be "
                                  "changed in place.\n";
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"list", "--yes", path}, {"set", "--yes", "--sar", "1:1", path}}) {
            CommandResult result = RunCli(args);
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_EQ(result.output, "");
            EXPECT_EQ(result.errors, error);
        }
        // Nor does asking for a raw H.264 stream read it as one.
        CommandResult forced = RunCli({"list", "--stream", path});
        EXPECT_EQ(forced.exitCode, 1);
        EXPECT_EQ(forced.errors, error);
        CommandResult json = RunCli({"list", "--yes", "--json", path});
        EXPECT_EQ(json.exitCode, 1);
        EXPECT_EQ(Jq(json.output, ".files[0].format"), c.format);
        EXPECT_EQ(Jq(json.output, ".files[0].status"), "failed");
        EXPECT_EQ(Jq(json.output, ".files[0].records"), "null");
        EXPECT_EQ(ReadFile(path), before);
    }
}

// The Xvid AVI: no handler question and no H.264 unit; its track names its codec, and its container
// statement is listed but not changed without the stream's own.
TEST_F(CodecsCommand, XvidAviNamesItsCodecAndKeepsItsStatement) {
    const std::string path = Copy("xvid.avi", "xvid.avi");
    const std::vector<uint8_t> before = ReadFile(path);
    const std::string notice =
        path + ": The video of stream 0 is MPEG-4 Part 2, whose bitstream this version does not read: it was "
               "not scanned.";
    const std::string reason = "The video of stream 0 is MPEG-4 Part 2, whose own aspect ratio this version "
                               "does not read: its container statement is not changed alone, so that the two "
                               "can not come to disagree.";

    CommandResult listed = RunCli({"list", "--yes", "--json", path});
    EXPECT_EQ(listed.exitCode, 0) << listed.errors;
    EXPECT_EQ(Lines(listed.errors), std::vector<std::string>{notice});
    EXPECT_EQ(Jq(listed.output, ".files[0].sps_count"), "0");
    EXPECT_EQ(Jq(listed.output, ".files[0].damaged_sps_count"), "0");
    EXPECT_EQ(Jq(listed.output, ".files[0].tracks[0].codec"), "mpeg4visual");
    EXPECT_EQ(Jq(listed.output, ".files[0].tracks[0].not_written"), reason);
    EXPECT_EQ(Jq(listed.output, "[.files[0].records[] | .type] | join(\",\")"), "Container");
    EXPECT_EQ(Jq(listed.output, ".files[0].records[0].codec"), "mpeg4visual");

    CommandResult set = RunCli({"set", "--yes", "--sar", "1:1", path});
    EXPECT_EQ(set.exitCode, 3);
    EXPECT_EQ(Lines(set.errors), (std::vector<std::string>{notice, "row 0: " + reason}));
    EXPECT_EQ(ReadFile(path), before);
}

// The folder walk tells formats by the same detection: it lists the H.264, HEVC and MPEG-2 streams and
// the AVI and skips the streams of codecs this version does not read.
TEST_F(CodecsCommand, FolderWalkSkipsStreamsNotRead) {
    for (const char *name : {"clip.mpeg2video", "clip.hevc", "clip.m4v", "clip.h264", "xvid.avi"})
        Copy(name, name);
    CommandResult result = RunCli({"list", "--yes", "--recursive", "--json", Dir.File("")});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(Jq(result.output, "[.files[] | .file | split(\"/\") | last] | sort | join(\",\")"),
              "clip.h264,clip.hevc,clip.mpeg2video,xvid.avi");
    EXPECT_EQ(Jq(result.output, ".summary.skipped"), "1");
    EXPECT_EQ(Jq(result.output, "[.files[] | select(.file | endswith(\"clip.mpeg2video\")) | "
                                ".records[0].codec] | .[0]"),
              "mpeg2video");
    EXPECT_EQ(Jq(result.output, "[.files[] | select(.file | endswith(\"clip.h264\")) | .records[0].codec] | "
                                ".[0]"),
              "h264");
    EXPECT_EQ(Jq(result.output, "[.files[] | select(.file | endswith(\"clip.hevc\")) | .records[0].codec] | "
                                ".[0]"),
              "hevc");
}

} // namespace
