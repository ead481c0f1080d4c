// Tracks changed in their container alone, as the command line shows and writes them: a Matroska file
// with an H.264 track and a VP9 track, and a VP9 WebM. list names each track's codec (table, line, JSON),
// set --track changes the VP9 track's display size and nothing else, and a WebM without a display size gets
// one.

#include "CliTestSupport.h"
#include "MediaFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

class ContainerOnlyCommand : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveEncoder("libvpx-vp9"))
            GTEST_SKIP() << "ffmpeg without libvpx-vp9";
    }

    static VideoSpec Vp9(const std::string &sar) {
        VideoSpec video = Clip(176, 144, sar);
        video.frames = 5;
        video.encoder = "libvpx-vp9";
        return video;
    }

    TempDir Dir;
};

TEST_F(ContainerOnlyCommand, ListNamesTheCodecAndSetTrackWritesTheContainerAlone) {
    VideoSpec h264 = Clip(176, 144, "12/11");
    h264.frames = 5;
    const std::string path = Dir.File("two.mkv");
    MakeContainer(path, {h264, Vp9("12/11")}, "matroska");

    CommandResult list = RunCli({"list", path});
    ASSERT_EQ(list.exitCode, 0) << list.errors;
    const std::vector<std::string> lines = Lines(list.output);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_NE(lines[2].find("Predefined"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 5), "H.264");
    EXPECT_NE(lines[3].find("Container"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[3].substr(lines[3].size() - 3), "VP9");
    EXPECT_NE(
        list.output.find("The video of track 2 is VP9, whose bitstream states no aspect ratio: it is left "
                         "as it is"),
        std::string::npos)
        << list.output;

    const std::string json = RunCli({"list", "--json", path}).output;
    EXPECT_EQ(Jq(json, "[.files[0].records[].codec] | join(\",\")"), "h264,vp9");
    EXPECT_EQ(Jq(json, "[.files[0].tracks[].container_only] | map(tostring) | join(\",\")"), "false,true");

    const std::vector<uint8_t> before = ReadFile(path);
    const std::vector<std::string> frames = FrameMd5(path);
    CommandResult set = RunCli({"set", "--sar", "1:1", "--track", "2", path});
    ASSERT_EQ(set.exitCode, 0) << set.output << set.errors;
    EXPECT_NE(set.output.find("(container statement of track 2)"), std::string::npos) << set.output;
    const std::vector<uint8_t> after = ReadFile(path);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(FrameMd5(path), frames);
    const ProbedVideo h264Probed = ProbeVideo(path, 0), vp9Probed = ProbeVideo(path, 1);
    EXPECT_EQ(h264Probed.sarWidth, 12) << "the H.264 track stays as it was";
    EXPECT_EQ(h264Probed.sarHeight, 11);
    EXPECT_EQ(vp9Probed.sarWidth, 1);
    EXPECT_EQ(vp9Probed.sarHeight, 1);
    const std::string again = RunCli({"list", "--json", path}).output;
    EXPECT_EQ(Jq(again, "[.files[0].records[].sar] | join(\",\")"), "12:11,1:1");
}

// ffmpeg's WebM of square samples has no display size and no room for one in its Video element: set takes
// the bytes from the Void behind the SeekHead, and mkvmerge and ffprobe read the new display size.
TEST_F(ContainerOnlyCommand, AWebMWithoutDisplaySizeGetsOneFromTheVoidAhead) {
    const std::string path = Dir.File("square.webm");
    MakeContainer(path, {Vp9("")}, "webm");
    const size_t size = ReadFile(path).size();
    CommandResult set = RunCli({"set", "--dar", "16:9", path});
    ASSERT_EQ(set.exitCode, 0) << set.output << set.errors;
    EXPECT_NE(
        set.output.find("Display size (DisplayWidth/DisplayHeight) of track 1: 176x144 changed to 256x144."),
        std::string::npos)
        << set.output;
    EXPECT_EQ(ReadFile(path).size(), size);
    const ProbedVideo probed = ProbeVideo(path);
    EXPECT_EQ(probed.darWidth, 16);
    EXPECT_EQ(probed.darHeight, 9);
    if (HaveTool("mkvmerge")) {
        const CommandResult identified = RunCommand("mkvmerge -J " + ShellQuote(path));
        EXPECT_EQ(identified.exitCode, 0) << identified.output << identified.errors;
        EXPECT_NE(identified.output.find("\"display_dimensions\": \"256x144\""), std::string::npos)
            << identified.output;
    }
    EXPECT_EQ(Jq(RunCli({"list", "--json", path}).output, ".files[0].records[0].dar"), "16:9");
}

} // namespace
