// Ratio fields in real files from ffmpeg and mkvmerge: an SPS whose aspect_ratio_idc is 0 (Unspecified), as
// QuickTime, Bento4, mkvmerge and Lavf write them, and container fields of whole numbers, each changed in
// place and read back by ffprobe and trace_headers.

#include "H264StreamScan.h"
#include "MediaFiles.h"
#include "RoundTrip.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"
#include "scan/MatroskaDisplayStatement.h"
#include "scan/Mp4Statements.h"

#include <gtest/gtest.h>

namespace {

using TKind = TRatioChange::TKind;

class RatioFieldsRealFiles : public ScanTest {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }

    // A raw stream of 640x480 whose every SPS has aspect_ratio_idc 0: x264 writes code 1 for 1:1, and the
    // code's last bit is cleared. trace_headers confirms what the file then holds.
    std::string UnspecifiedStream() {
        const std::string path = Dir.File("unspecified.h264");
        MakeRawH264(path, Clip(640, 480, "1/1"));
        std::vector<uint8_t> bytes = ReadFile(path);
        TScanSession session;
        TH264StreamParser parser(session);
        parser.Parse(path);
        EXPECT_GT(session.ARInfoList.Count(), 0u);
        for (size_t i = 0; i < session.ARInfoList.Count(); ++i) {
            const TARInfo &row = *session.ARInfoList.Items(i);
            const TVUIParameters &vui = *SpsOf(row.Unit)->VUIParameters;
            EXPECT_EQ(vui.aspect_ratio_idc, 1);
            const int64_t lastBit = vui.AspectRatioIdcBitOffset + 7;
            const int64_t at = row.Placement.FileOffset(vui.AspectRatioIdcPosition + lastBit / 8);
            bytes[static_cast<size_t>(at)] &= static_cast<uint8_t>(~(0x80u >> (lastBit % 8)));
        }
        WriteFile(path, bytes);
        const std::vector<TracedSps> traced = TraceSps(path);
        EXPECT_FALSE(traced.empty());
        for (const TracedSps &sps : traced)
            EXPECT_EQ(sps.aspectRatioIdc, 0);
        return path;
    }

    // Checks the file lists its SPS as Unspecified, at the DAR of square samples, and with no other row.
    void ExpectUnspecifiedRows(const std::string &path) {
        std::unique_ptr<TScanSession> session = ScanFile(path);
        ASSERT_GT(session->ARInfoList.Count(), 0u);
        for (size_t i = 0; i < session->ARInfoList.Count(); ++i) {
            const TARInfo &row = *session->ARInfoList.Items(i);
            EXPECT_EQ(row.TypeText(), "Unspecified");
            EXPECT_EQ(row.SarText(), SUnspecifiedSarText);
            EXPECT_EQ(row.DarText(), "4:3");
        }
        // ffprobe names no ratio (0:1), or square samples where the container states them.
        const ProbedVideo probed = ProbeVideo(path);
        EXPECT_TRUE(probed.sarWidth == 0 || probed.sarWidth == probed.sarHeight)
            << probed.sarWidth << ":" << probed.sarHeight;
    }

    static void ExpectProbedDar(const std::string &path, int x, int y) {
        const ProbedVideo probed = ProbeVideo(path);
        const TRatio dar = ReduceRatio(probed.darWidth, probed.darHeight);
        EXPECT_EQ(dar.X, x) << "ffprobe's DAR";
        EXPECT_EQ(dar.Y, y) << "ffprobe's DAR";
    }
};

// An Unspecified SPS used to be counted and not listed, and a change wrote the container alone. Now the
// SPS takes the predefined code of the ratio and the container the exact ratio: every reader agrees.
TEST_F(RatioFieldsRealFiles, UnspecifiedSpsTakesAPredefinedCodeInRawMp4AndMkv) {
    const std::string raw = UnspecifiedStream();
    const std::string copy = Dir.File("raw.h264");
    WriteFile(copy, ReadFile(raw));
    ExpectUnspecifiedRows(copy);
    CheckRoundTrip(copy, {TKind::Dar, 0, {16, 9}}, {4, 3});

    const std::string mp4 = Dir.File("unspecified.mp4");
    CommandResult made = RunCommand("ffmpeg -v error -y -framerate 25 -i " + ShellQuote(raw) +
                                    " -c copy -f mp4 " + ShellQuote(mp4));
    ASSERT_EQ(made.exitCode, 0) << made.errors;
    ExpectUnspecifiedRows(mp4);
    CheckRoundTrip(mp4, {TKind::Dar, 0, {16, 9}}, {4, 3});
    ExpectProbedDar(mp4, 16, 9);

    if (!HaveTool("mkvmerge"))
        GTEST_SKIP() << "mkvtoolnix is not installed";
    const std::string mkv = Dir.File("unspecified.mkv");
    made = RunCommand("mkvmerge -q -o " + ShellQuote(mkv) + " --default-duration 0:25fps " + ShellQuote(raw) +
                      "; [ $? -le 1 ]");
    ASSERT_EQ(made.exitCode, 0) << made.errors;
    ExpectUnspecifiedRows(mkv);
    CheckRoundTrip(mkv, {TKind::Dar, 0, {16, 9}}, {4, 3});
    ExpectProbedDar(mkv, 16, 9);
}

// A custom ratio does not fit where the SPS states none: the change is refused with the reason, and the
// file is left as it was.
TEST_F(RatioFieldsRealFiles, UnspecifiedSpsRefusesACustomRatioAndWritesNothing) {
    const std::string path = UnspecifiedStream();
    const std::vector<uint8_t> before = ReadFile(path);
    std::unique_ptr<TScanSession> session = ScanFile(path);
    TARInfoList &rows = session->ARInfoList;
    ASSERT_GT(rows.Count(), 0u);
    EXPECT_EQ((TRatioChange{TKind::Sar, 0, {64, 45}}).ApplyTo(*rows.Items(0)),
              std::string(SUnspecifiedTakesNoCustom) + " " + Format(SNoPredefinedRatio, 64, 45));
    rows.Items(0)->NewAspectRatioIdc = ExtendedSarIdc;
    rows.Items(0)->NewSarWidth = 64;
    rows.Items(0)->NewSarHeight = 45;
    {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        const std::vector<TWriteRefusal> refusals = rows.CheckChanges(file);
        ASSERT_EQ(refusals.size(), 1u);
        EXPECT_EQ(refusals[0].Reason, SUnspecifiedTakesNoCustom);
        EXPECT_THROW(rows.WriteChanges(file), Exception);
    }
    EXPECT_EQ(ReadFile(path), before);
}

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
