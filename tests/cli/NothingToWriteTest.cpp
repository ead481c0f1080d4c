// What set answers when the file has nothing that can carry the new ratio (a refusal, never a success),
// when the SPS hold the ratio already but the container disagrees (the container is written), and how
// codes read from a file appear in its messages.

#include "BitWriter.h"
#include "CliTestSupport.h"
#include "EbmlBuilder.h"
#include "MediaFiles.h"
#include "Mp4Builder.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class CliNothingToWrite : public ::testing::Test {
protected:
    std::string Write(const std::string &name, const std::vector<uint8_t> &bytes) {
        const std::string path = Dir.File(name);
        WriteFile(path, bytes);
        return path;
    }

    TempDir Dir;
};

std::vector<uint8_t> RawStream(const SpsFields &fields) {
    std::vector<uint8_t> stream = WithStartCode(BuildSps(fields).nal);
    Append(stream, WithStartCode({0x68, 0xCE, 0x38, 0x80}));
    return stream;
}

Mp4Track SingleTrack(const std::vector<uint8_t> &sps) {
    Mp4Track track;
    track.sps = {sps};
    track.samples = {{sps, {0x65, 0x88, 0x84, 0x00, 0x33}}};
    return track;
}

// A track whose container statement is not changed alone, SPS without aspect-ratio information and no container statement, SPS all damaged:
// nothing can carry a new ratio, so the file is refused (exit 3, status refused) and left as it was.
TEST_F(CliNothingToWrite, AFileWithNothingThatCanCarryARatioIsRefused) {
    SpsFields noRatio = At720x576({});
    noRatio.vui = true;
    noRatio.aspect_ratio_info_present_flag = 0;
    std::vector<uint8_t> damaged = RawStream(At720x576(WithSar(255, 64, 45)));
    damaged.resize(damaged.size() - 12); // the SPS loses its end to the cut, the PPS goes too
    Mp4Track otherCodec = SingleTrack(BuildSps(At720x576(WithSar(2))).nal);
    otherCodec.entry = "vc-1";
    // The VC-1 track is listed by its container, whose statement is not changed alone.
    const std::vector<std::pair<std::string, std::string>> files = {
        {Write("no-ratio.h264", RawStream(noRatio)), "nothing in it can carry a new ratio"},
        {Write("damaged.h264", damaged), "nothing in it can carry a new ratio"},
        {Write("vc1.mp4", Mp4File({otherCodec})), "its container statement is not changed alone"},
    };
    for (const auto &[path, reason] : files) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> before = ReadFile(path);
        CommandResult set = RunCli({"set", "--dar", "16:9", path});
        EXPECT_EQ(set.exitCode, 3) << set.output << set.errors;
        EXPECT_NE(set.errors.find(reason), std::string::npos) << set.errors;
        CommandResult json = RunCli({"set", "--json", "--dar", "16:9", path});
        EXPECT_EQ(json.exitCode, 3);
        EXPECT_EQ(Jq(json.output, ".files[0].status"), "refused");
        EXPECT_EQ(Jq(json.output, ".summary.refused"), "1");
        EXPECT_EQ(ReadFile(path), before);
    }
}

// A track chosen by --track that has no row is refused the same way; another track's rows are untouched.
TEST_F(CliNothingToWrite, ATrackWithoutRowsIsRefused) {
    Mp4Track h264 = SingleTrack(BuildSps(At720x576(WithSar(2))).nal);
    Mp4Track other = SingleTrack(BuildSps(At720x576(WithSar(2))).nal);
    other.id = 2;
    other.entry = "vc-1";
    const std::string path = Write("two.mp4", Mp4File({h264, other}));
    const std::vector<uint8_t> before = ReadFile(path);
    CommandResult set = RunCli({"set", "--track", "2", "--sar", "16:11", path});
    EXPECT_EQ(set.exitCode, 3) << set.output << set.errors;
    EXPECT_EQ(ReadFile(path), before);
}

// The SPS state 64:45 at 720x576 (DAR 16:9), the container 4:3: set --dar 16:9 has no SPS to change, but
// the container's statements are brought to the SPS's ratio, so that every player shows 16:9. A second
// call then has nothing to write at all: unchanged, exit 0.
TEST_F(CliNothingToWrite, AContainerThatDisagreesWithTheSpsIsWrittenThoughNoSpsChanges) {
    Mp4Track mp4 = SingleTrack(BuildSps(At720x576(WithSar(255, 64, 45))).nal);
    mp4.pasp = std::make_pair(16u, 15u);
    mp4.displayWidth = 768u << 16;
    MkvTrack mkv;
    mkv.sps = {BuildSps(At720x576(WithSar(255, 64, 45))).nal};
    mkv.displayWidth = 768;
    mkv.displayHeight = 576;
    MkvFile matroska;
    matroska.tracks = {mkv};
    matroska.clusters = {{MkvBlock{{{mkv.sps[0], {0x65, 0x88, 0x84, 0x00, 0x33}}}}}};
    for (const std::string &path :
         {Write("disagree.mp4", Mp4File({mp4})), Write("disagree.mkv", MatroskaFile(matroska))}) {
        SCOPED_TRACE(path);
        ASSERT_FALSE(ListJson(path).records.empty());
        CommandResult set = RunCli({"set", "--json", "--dar", "16:9", path});
        EXPECT_EQ(set.exitCode, 0) << set.errors;
        EXPECT_EQ(Jq(set.output, ".files[0].status"), "changed");
        CommandResult again = RunCli({"set", "--json", "--dar", "16:9", path});
        EXPECT_EQ(again.exitCode, 0) << again.errors;
        EXPECT_EQ(Jq(again.output, ".files[0].status"), "unchanged");
        if (HaveMediaTools()) {
            const ProbedVideo probed = ProbeVideo(path);
            EXPECT_EQ(probed.darWidth, 16);
            EXPECT_EQ(probed.darHeight, 9);
        }
    }
}

bool AllAscii(const std::string &text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Box types and codec IDs are bytes read from the file: their bytes past ASCII are shown as \xNN on the
// terminal and in JSON, never copied into the text raw.
TEST_F(CliNothingToWrite, CodesFromTheFileAreEscapedInMessages) {
    Mp4Track track = SingleTrack(BuildSps(At720x576(WithSar(2))).nal);
    std::vector<uint8_t> mp4 = Mp4File({track});
    // A box whose size is smaller than its header, typed like QuickTime's text boxes, at the file's end.
    Append(mp4, {0x00, 0x00, 0x00, 0x04, 0xA9, 'x', 'y', 'z'});
    MkvTrack foreign;
    foreign.codecId = "V_\xFF\xFEX";
    MkvFile matroska;
    matroska.tracks = {foreign};
    for (const auto &[path, shown] :
         {std::make_pair(Write("quicktime.mp4", mp4), std::string("\\xA9xyz")),
          std::make_pair(Write("foreign.mkv", MatroskaFile(matroska)), std::string("V_\\xFF\\xFEX"))}) {
        SCOPED_TRACE(path);
        CommandResult list = RunCli({"list", path});
        EXPECT_NE(list.errors.find(shown), std::string::npos) << list.errors;
        EXPECT_TRUE(AllAscii(list.errors)) << list.errors;
        CommandResult json = RunCli({"list", "--json", path});
        EXPECT_NE(Jq(json.output, "[.files[0].notices[].text] | join(\"|\")").find(shown), std::string::npos)
            << json.output;
    }
}

} // namespace
