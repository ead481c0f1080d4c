// Ratio fields in real files from ffmpeg and mkvmerge: an SPS whose aspect_ratio_idc is 0 (Unspecified), as
// QuickTime, Bento4, mkvmerge and Lavf write them, and container fields of whole numbers, each changed in
// place and read back by ffprobe and trace_headers.

#include "MediaFiles.h"
#include "RoundTrip.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"
#include "scan/MatroskaDisplayStatement.h"
#include "scan/Mp4Statements.h"
#include "scan/StreamParser.h"

#include <gtest/gtest.h>

namespace {

using TKind = TRatioChange::TKind;

class RatioFieldsRealFiles : public ScanTest {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }

    static void ExpectProbedDar(const std::string &path, int x, int y) {
        const ProbedVideo probed = ProbeVideo(path);
        const TRatio dar = ReduceRatio(probed.darWidth, probed.darHeight);
        EXPECT_EQ(dar.X, x) << "ffprobe's DAR";
        EXPECT_EQ(dar.Y, y) << "ffprobe's DAR";
    }
};

// --dar 16:9 on 640x480: the container's whole numbers state 16:9 exactly (the track header 640x360, not
// 853x480 which players read as SAR 853:640). A square-pixel MP4 has only its track header to change; an
// mkvmerge file holds its display size in pixels.
TEST_F(RatioFieldsRealFiles, DarInWholeNumberFieldsIsReadExactly) {
    const std::string mp4 = Dir.File("square.mp4");
    MakeContainer(mp4, {Clip(640, 480, "")}, "mp4");
    CheckRoundTrip(mp4, {TKind::Dar, 0, {16, 9}}, {4, 3});
    ExpectProbedDar(mp4, 16, 9);
    std::unique_ptr<TScanSession> session = ScanFile(mp4);
    ASSERT_FALSE(session->Tracks.empty());
    const auto *tkhd =
        dynamic_cast<const TDisplaySizeStatement *>(session->Tracks.front().Statements.front().get());
    ASSERT_NE(tkhd, nullptr);
    EXPECT_EQ(tkhd->Width, 640u << 16);
    EXPECT_EQ(tkhd->Height, 360u << 16);

    // 16:9 at 568x320 is SAR 640:639: 568.9 pixels were once rounded down to 568, "already set".
    const std::string narrow = Dir.File("narrow.mp4");
    MakeContainer(narrow, {Clip(568, 320, "")}, "mp4");
    CheckRoundTrip(narrow, {TKind::Dar, 0, {16, 9}}, {640, 639});
    ExpectProbedDar(narrow, 16, 9);

    if (!HaveTool("mkvmerge"))
        GTEST_SKIP() << "mkvtoolnix is not installed";
    const std::string mkv = Dir.File("merged.mkv");
    MakeFromRecipe("dir=$(mktemp -d) && ffmpeg -hide_banner -nostdin -loglevel error -f lavfi -i "
                   "testsrc=size=640x480:rate=25:duration=0.4,setsar=1/1 -c:v libx264 -preset veryfast "
                   "-f h264 \"$dir/s.h264\" && "
                   "{ mkvmerge -q -o %OUT% --default-duration 0:25fps \"$dir/s.h264\"; [ $? -le 1 ]; }; "
                   "status=$?; rm -rf \"$dir\"; exit $status",
                   mkv);
    CheckRoundTrip(mkv, {TKind::Dar, 0, {16, 9}}, {4, 3});
    ExpectProbedDar(mkv, 16, 9);
    session = ScanFile(mkv);
    ASSERT_FALSE(session->Tracks.empty());
    const auto *display =
        dynamic_cast<const TMatroskaDisplayStatement *>(session->Tracks.front().Statements.front().get());
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->Video().DisplayWidth.Value, 640u);
    EXPECT_EQ(display->Video().DisplayHeight.Value, 360u);
}

} // namespace
