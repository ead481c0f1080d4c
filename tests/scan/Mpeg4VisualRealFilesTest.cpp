// MPEG-4 Part 2 in real files made by ffmpeg's mpeg4 encoder and by Xvid (libxvid), in the containers it
// lives in: AVI tagged XVID, MP4, Matroska and raw streams; at a predefined ratio (16:11, code 4) and at an
// extended one (64:45). Every VOL is listed with what ffmpeg's decoder reads from it, and a change of the
// same form is written in place: the decoded frames, the stream's SAR and the copied-out bitstream then
// show the new ratio, and the pictures stay as they were.

#include "MediaFiles.h"
#include "RoundTrip.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using TKind = TRatioChange::TKind;

struct TMpeg4File {
    const char *Name;
    std::string Encoder; // "mpeg4" or "libxvid"
    std::string Muxer;   // ffmpeg's -f; "m4v" is the raw stream, "avi-mkvmerge" the AVI remuxed by mkvmerge
    std::string Tag;     // AVI's handler
    std::string Sar;     // made with this SAR (setsar)
    std::string Stated;  // the SAR the rows show
    std::string Type;    // "Predefined" or "Custom"
    TRatioChange Change;
    TRatio Expected; // the SAR every reader sees after the change
};

void PrintTo(const TMpeg4File &file, std::ostream *out) {
    *out << file.Name;
}

const TMpeg4File Files[] = {
    {"xvid_avi",
     "mpeg4",
     "avi",
     "XVID",
     "16/11",
     "16:11",
     "Predefined",
     {TKind::Predefined, 2, {}},
     {12, 11}},
    {"xvid_avi_extended",
     "mpeg4",
     "avi",
     "XVID",
     "64/45",
     "64:45",
     "Custom",
     {TKind::Dar, 0, {4, 3}},
     {16, 15}},
    {"divx_avi", "mpeg4", "avi", "DX50", "16/11", "16:11", "Predefined", {TKind::Sar, 0, {40, 33}}, {40, 33}},
    // Xvid writes every ratio in the extended form, 16:11 as well.
    {"libxvid_avi", "libxvid", "avi", "XVID", "16/11", "16:11", "Custom", {TKind::Sar, 0, {1, 1}}, {1, 1}},
    {"libxvid_avi_extended",
     "libxvid",
     "avi",
     "XVID",
     "64/45",
     "64:45",
     "Custom",
     {TKind::Sar, 0, {8, 9}},
     {8, 9}},
    // MP4: the VOL in the esds's decoder specific information too; pasp and tkhd follow.
    {"mp4", "mpeg4", "mp4", "", "16/11", "16:11", "Predefined", {TKind::Predefined, 3, {}}, {10, 11}},
    {"mp4_extended", "mpeg4", "mp4", "", "64/45", "64:45", "Custom", {TKind::Sar, 0, {1, 1}}, {1, 1}},
    // Matroska: the VOL in CodecPrivate too; the display size follows.
    {"mkv", "mpeg4", "matroska", "", "16/11", "16:11", "Predefined", {TKind::Sar, 0, {12, 11}}, {12, 11}},
    {"mkv_extended", "mpeg4", "matroska", "", "64/45", "64:45", "Custom", {TKind::Dar, 0, {16, 9}}, {64, 45}},
    // mkvmerge keeps the AVI's stream as V_MS/VFW/FOURCC, its VOLs in the frames.
    {"xvid_mkvmerge",
     "mpeg4",
     "avi-mkvmerge",
     "XVID",
     "16/11",
     "16:11",
     "Predefined",
     {TKind::Sar, 0, {12, 11}},
     {12, 11}},
    {"raw", "mpeg4", "m4v", "", "16/11", "16:11", "Predefined", {TKind::Predefined, 5, {}}, {40, 33}},
    {"raw_extended", "mpeg4", "m4v", "", "64/45", "64:45", "Custom", {TKind::Sar, 0, {255, 254}}, {255, 254}},
};

class Mpeg4VisualRealFiles : public testing::TestWithParam<TMpeg4File> {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg is not there";
        if (!HaveEncoder(GetParam().Encoder))
            GTEST_SKIP() << "ffmpeg without " << GetParam().Encoder;
        if (GetParam().Muxer == "avi-mkvmerge" && !HaveTool("mkvmerge"))
            GTEST_SKIP() << "mkvmerge is not there";
    }

    std::string Make() {
        const TMpeg4File &file = GetParam();
        VideoSpec video = Clip(720, 576, file.Sar);
        video.encoder = file.Encoder;
        video.keyint = 4; // three key frames in ten, each behind a VOL
        video.tag = file.Tag;
        const std::string path = Dir.File(std::string(file.Name) + ".bin");
        if (file.Muxer == "m4v")
            MakeElementaryStream(path, video, file.Muxer);
        else if (file.Muxer == "avi")
            MakeAvi(path, {video});
        else if (file.Muxer == "avi-mkvmerge") {
            // ffmpeg's file lies in the media folder under a fixed name, so that the recipe naming it stays
            // the same.
            const std::string made =
                (std::filesystem::path(PELLMAR_TEST_MEDIA) / "xvid-for-mkvmerge.avi").string();
            MakeAvi(made, {video});
            MakeFromRecipe("mkvmerge -q -o %OUT% " + ShellQuote(made), path);
        } else
            MakeContainer(path, {video}, file.Muxer);
        return path;
    }

    TempDir Dir;
};

TEST_P(Mpeg4VisualRealFiles, EveryVolIsListedAndChangedInPlace) {
    const TMpeg4File &file = GetParam();
    const std::string path = Make();
    {
        std::unique_ptr<TScanSession> session = ScanFile(path);
        EXPECT_EQ(session->DamagedUnitCount, 0);
        EXPECT_EQ(session->NoticeCount, 0);
        ASSERT_GE(session->ARInfoList.Count(), 1u);
        for (size_t i = 0; i < session->ARInfoList.Count(); ++i) {
            const TARInfo &row = *session->ARInfoList.Items(i);
            ASSERT_NE(row.Unit, nullptr) << "row " << i;
            EXPECT_STREQ(row.Unit->Codec().Key(), "mpeg4visual");
            EXPECT_EQ(row.SarText(), file.Stated) << "row " << i;
            EXPECT_EQ(row.TypeText(), file.Type) << "row " << i;
            EXPECT_EQ(row.Width(), 720);
            EXPECT_EQ(row.Height(), 576);
        }
        // A VOL ahead of every key frame; MP4 and Matroska ask the encoder for a global header, and hold
        // their one VOL in the codec's configuration.
        const bool global = file.Muxer == "mp4" || file.Muxer == "matroska";
        EXPECT_EQ(session->ARInfoList.Count(), global ? 1u : 3u);
        // mkvmerge rounds the display size it takes from the AVI (1047x576, 349:240), and ffmpeg gives the
        // frames that; the change makes it exact.
        if (file.Muxer != "avi-mkvmerge") {
            for (const std::string &sar : DecodedFrameSars(path))
                EXPECT_EQ(sar, file.Stated) << "a frame as ffmpeg decodes it";
        }
    }
    CheckRoundTrip(path, file.Change, file.Expected);
    const ProbedVideo stream = ProbeVideo(path);
    const TRatio dar = DarFromSar(file.Expected.X, file.Expected.Y, 720, 576);
    EXPECT_EQ(std::to_string(stream.darWidth) + ":" + std::to_string(stream.darHeight),
              std::to_string(dar.X) + ":" + std::to_string(dar.Y))
        << "ffprobe's DAR";
    const std::string expected = std::to_string(file.Expected.X) + ":" + std::to_string(file.Expected.Y);
    const std::vector<std::string> frames = DecodedFrameSars(path);
    EXPECT_EQ(frames.size(), 10u);
    for (const std::string &sar : frames)
        EXPECT_EQ(sar, expected) << "a frame as ffmpeg decodes it";
    const ProbedVideo bitstream = ProbeVideoBitstream(path);
    const TRatio copied = ReduceRatio(bitstream.sarWidth, bitstream.sarHeight);
    EXPECT_EQ(std::to_string(copied.X) + ":" + std::to_string(copied.Y), expected) << "the copied-out VOL";
}

INSTANTIATE_TEST_SUITE_P(Files, Mpeg4VisualRealFiles, testing::ValuesIn(Files),
                         [](const testing::TestParamInfo<TMpeg4File> &info) { return info.param.Name; });

// A predefined VOL asked for a ratio of no code, and an extended one asked for a code: each is refused with
// its reason, and nothing is planned.
TEST(Mpeg4VisualRealFilesKinds, AChangeThatNeedsTheOtherFormIsRefused) {
    if (!HaveMediaTools())
        GTEST_SKIP() << "ffmpeg is not there";
    TempDir dir;
    for (const bool extended : {false, true}) {
        SCOPED_TRACE(extended ? "extended" : "predefined");
        VideoSpec video = Clip(720, 576, extended ? "64/45" : "16/11");
        video.encoder = "mpeg4";
        const std::string path = dir.File(extended ? "extended.m4v" : "predefined.m4v");
        MakeElementaryStream(path, video, "m4v");
        std::unique_ptr<TScanSession> session = ScanFile(path);
        ASSERT_GE(session->ARInfoList.Count(), 1u);
        TARInfo &row = *session->ARInfoList.Items(0);
        if (!extended) {
            // 13:9 lies within 1% of 16:11, which is offered.
            const std::string refusal = (TRatioChange{TKind::Sar, 0, {13, 9}}).ApplyTo(row);
            EXPECT_NE(refusal.find("No predefined aspect ratio of MPEG-4 Part 2 equals 13:9."),
                      std::string::npos)
                << refusal;
            EXPECT_NE(refusal.find("The nearest predefined ratio is 16:11 (aspect_ratio_info 4)"),
                      std::string::npos)
                << refusal;
            EXPECT_FALSE(row.IsChanged());
            continue;
        }
        ASSERT_EQ((TRatioChange{TKind::Predefined, 2, {}}).ApplyTo(row), "");
        const TPatchPlan plan = session->ARInfoList.PlanChanges();
        ASSERT_EQ(plan.Refusals.size(), 1u);
        EXPECT_NE(plan.Refusals[0].Reason.find("only another extended ratio fits"), std::string::npos)
            << plan.Refusals[0].Reason;
        EXPECT_TRUE(plan.Entries.empty());
    }
}

} // namespace
