// pellmar-cli on MPEG-2 video made by ffmpeg: a recording that switches between 4:3 and 16:9 (two encodes
// one behind the other, as a broadcast with adverts has them), whose 4:3 sequence headers alone are changed
// with --only-from; ratios MPEG-2 can not state are refused with the list of those it can; list names the
// codec's unit and code.

#include "CliTestSupport.h"
#include "MediaFiles.h"

#include <gtest/gtest.h>

namespace {

class MpegVideoCommand : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg is not there";
    }

    // 4:3 (code 2) for eight frames, then 16:9 (code 3) for eight, a sequence header every fourth frame.
    std::string MakeSwitching() {
        std::vector<uint8_t> stream;
        for (const char *sar : {"16/15", "64/45"}) {
            VideoSpec video = Clip(720, 576, sar);
            video.encoder = "mpeg2video";
            video.frames = 8;
            video.keyint = 4;
            const std::string part = Dir.File(std::string("part") + sar[0] + ".m2v");
            MakeElementaryStream(part, video, "mpeg2video");
            const std::vector<uint8_t> bytes = ReadFile(part);
            stream.insert(stream.end(), bytes.begin(), bytes.end());
        }
        const std::string path = Dir.File("switching.mpg2");
        WriteFile(path, stream);
        return path;
    }

    TempDir Dir;
};

TEST_F(MpegVideoCommand, OnlyTheRowsOfTheOldRatioChange) {
    const std::string path = MakeSwitching();
    // What ffmpeg's mpeg2_metadata writes for 16:9 everywhere: the 16:9 headers stay as they are. (The
    // decoded frames are no measure here: ffmpeg's decoder outputs a frame more where the ratio switches.)
    const std::string filtered = Dir.File("filtered.m2v");
    const CommandResult filter =
        RunCommand("ffmpeg -hide_banner -nostdin -loglevel error -y -i " + ShellQuote(path) +
                   " -c copy -bsf:v mpeg2_metadata=display_aspect_ratio=16/9 -f "
                   "mpeg2video " +
                   ShellQuote(filtered));
    ASSERT_EQ(filter.exitCode, 0) << filter.errors;
    CommandResult list = RunCli({"list", path});
    ASSERT_EQ(list.exitCode, 0) << list.errors;
    const std::vector<std::string> lines = Lines(list.output);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "Units that state the aspect ratio (sequence headers) found: 4");
    EXPECT_EQ(lines.back(),
              "The raw MPEG-1/MPEG-2 video stream has no container that states an aspect ratio: "
              "players and TVs read the sequence header.");
    const std::string json = RunCli({"list", "--json", path}).output;
    EXPECT_EQ(Jq(json, "[.files[0].records[] | .dar] | join(\",\")"), "4:3,4:3,16:9,16:9");
    EXPECT_EQ(Jq(json, "[.files[0].records[] | .codec] | unique | join(\",\")"), "mpeg2video");

    // Nothing shows 5:4 now: refused, nothing written.
    const std::vector<uint8_t> before = ReadFile(path);
    CommandResult none = RunCli({"set", "--only-from", "5:4", "--dar", "16:9", path});
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_EQ(none.errors,
              "No row chosen shows the display aspect ratio 5:4 now: nothing to change from it.\n");
    EXPECT_EQ(ReadFile(path), before);

    CommandResult set = RunCli({"set", "--only-from", "4:3", "--dar", "16:9", path});
    ASSERT_EQ(set.exitCode, 0) << set.errors;
    EXPECT_EQ(Lines(set.output)[0], "row 0: SAR 16:15 -> 64:45 (Predefined, aspect_ratio_information 3), DAR "
                                    "16:9, written at aspect_ratio_information offset 000007");
    EXPECT_NE(set.output.find("2 of 2 chosen rows written."), std::string::npos) << set.output;
    const std::vector<uint8_t> after = ReadFile(path);
    ASSERT_EQ(after.size(), before.size());
    size_t changed = 0;
    for (size_t i = 0; i < after.size(); ++i)
        changed += after[i] != before[i];
    EXPECT_EQ(changed, 2u) << "one byte in each 4:3 sequence header";
    EXPECT_EQ(Jq(RunCli({"list", "--json", path}).output, "[.files[0].records[] | .dar] | join(\",\")"),
              "16:9,16:9,16:9,16:9");
    EXPECT_EQ(after, ReadFile(filtered));
}

TEST_F(MpegVideoCommand, ARatioMpeg2CanNotStateIsRefusedWithThoseItCan) {
    const std::string path = MakeSwitching();
    const std::vector<uint8_t> before = ReadFile(path);
    CommandResult set = RunCli({"set", "--rows", "0", "--dar", "2:1", path});
    EXPECT_EQ(set.exitCode, 3);
    EXPECT_NE(set.errors.find("row 0: MPEG-2 video can not state SAR 8:5 (DAR 2:1 at this picture size): its "
                              "sequence header states only square samples (1:1) or the display aspect "
                              "ratios 4:3, 16:9 and 2.21:1."),
              std::string::npos)
        << set.errors;
    EXPECT_EQ(ReadFile(path), before);
    // 5:4 at 720x576 is square samples: code 1.
    CommandResult square = RunCli({"set", "--rows", "0", "--dar", "5:4", path});
    ASSERT_EQ(square.exitCode, 0) << square.errors;
    EXPECT_EQ(Jq(RunCli({"list", "--json", path}).output, ".files[0].records[0].aspect_ratio_idc"), "1");
    const ProbedVideo probed = ProbeVideo(path);
    EXPECT_EQ(probed.sarWidth, 1);
    EXPECT_EQ(probed.sarHeight, 1);
}

} // namespace
