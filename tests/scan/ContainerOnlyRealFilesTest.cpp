// Real files of codecs whose bitstream states no aspect ratio (VP8, VP9, AV1, Motion JPEG), made by ffmpeg
// and mkvmerge in every container that states one: listed by the container's statement alone, changed
// there in place. ffprobe must read the new ratio, the decoded frames and the length stay the same, only
// planned bytes change, every CRC-32 that held still holds, and mkvmerge still reads the file.

#include "EbmlBuilder.h"
#include "MediaFiles.h"
#include "RoundTrip.h"
#include "ScanHarness.h"
#include "TestFiles.h"
#include "base/Messages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using TKind = TRatioChange::TKind;

struct TContainerOnlyFile {
    const char *Name;
    std::string Encoder;
    std::string Sar;    // made with this SAR (setsar); empty: none stated
    std::string Muxer;  // ffmpeg's -f; "webm-mkvmerge" for ffmpeg's WebM remuxed by mkvmerge
    const char *Codec;  // the key the row names
    std::string Stated; // the SAR the row shows
    TRatioChange Change;
    TRatio Expected; // the SAR every reader sees after the change
};

void PrintTo(const TContainerOnlyFile &file, std::ostream *out) {
    *out << file.Name;
}

const TContainerOnlyFile Files[] = {
    // ffmpeg writes Matroska's display size only for a SAR other than 1:1: 192x144 for 12:11 at 176x144.
    {"vp9_webm", "libvpx-vp9", "12/11", "webm", "vp9", "12:11", {TKind::Sar, 0, {1, 1}}, {1, 1}},
    {"vp9_mkv", "libvpx-vp9", "12/11", "matroska", "vp9", "12:11", {TKind::Sar, 0, {1, 1}}, {1, 1}},
    // Of square samples it writes none, and no Void in the Video element: the display elements take their
    // bytes from the Void behind the SeekHead (the Info and the Tracks move; CRC-32 in Matroska, none in
    // WebM).
    {"vp9_webm_square", "libvpx-vp9", "", "webm", "vp9", "1:1", {TKind::Dar, 0, {16, 9}}, {16, 11}},
    {"vp9_mkv_square", "libvpx-vp9", "", "matroska", "vp9", "1:1", {TKind::Dar, 0, {16, 9}}, {16, 11}},
    {"vp9_mp4", "libvpx-vp9", "", "mp4", "vp9", "1:1", {TKind::Dar, 0, {16, 9}}, {16, 11}},
    {"vp8_webm", "libvpx", "12/11", "webm", "vp8", "12:11", {TKind::Sar, 0, {1, 1}}, {1, 1}},
    {"av1_mp4", "libaom-av1", "12/11", "mp4", "av1", "12:11", {TKind::Dar, 0, {16, 9}}, {16, 11}},
    {"av1_mkv", "libaom-av1", "12/11", "matroska", "av1", "12:11", {TKind::Sar, 0, {1, 1}}, {1, 1}},
    {"prores_mov", "prores_ks", "12/11", "mov", "prores", "12:11", {TKind::Dar, 0, {16, 9}}, {16, 11}},
    // ffmpeg writes AVI's video properties only for a SAR set, square or not.
    {"mjpeg_avi", "mjpeg", "1/1", "avi", "mjpeg", "1:1", {TKind::Dar, 0, {16, 9}}, {16, 11}},
    // mkvmerge writes the display size always: 176x144 for square samples.
    {"vp9_webm_mkvmerge",
     "libvpx-vp9",
     "",
     "webm-mkvmerge",
     "vp9",
     "1:1",
     {TKind::Sar, 0, {12, 11}},
     {12, 11}},
};

class ContainerOnlyRealFiles : public testing::TestWithParam<TContainerOnlyFile> {
protected:
    void SetUp() override {
        if (!HaveEncoder(GetParam().Encoder))
            GTEST_SKIP() << "ffmpeg without " << GetParam().Encoder;
        if (GetParam().Muxer == "webm-mkvmerge" && !HaveTool("mkvmerge"))
            GTEST_SKIP() << "mkvmerge is not there";
    }

    std::string Make() {
        const TContainerOnlyFile &file = GetParam();
        VideoSpec video = Clip(176, 144, file.Sar);
        video.encoder = file.Encoder;
        if (file.Encoder == "mjpeg")
            video.pixFmt = "yuvj420p"; // the full-range YUV that JPEG codes
        if (file.Encoder == "prores_ks")
            video.pixFmt = "yuv422p10le";
        const bool remux = file.Muxer == "webm-mkvmerge";
        const std::string path =
            Dir.File(std::string(file.Name) + (remux                      ? ".webm"
                                               : file.Muxer == "matroska" ? ".mkv"
                                                                          : "." + file.Muxer));
        if (!remux) {
            if (file.Muxer == "avi")
                MakeAvi(path, {video});
            else
                MakeContainer(path, {video}, file.Muxer);
            return path;
        }
        // ffmpeg's file lies in the media folder under a fixed name, so that the recipe naming it stays the
        // same.
        const std::string made =
            (std::filesystem::path(PELLMAR_TEST_MEDIA) / "vp9-for-mkvmerge.webm").string();
        MakeContainer(made, {video}, "webm");
        MakeFromRecipe("mkvmerge -q -o %OUT% " + ShellQuote(made), path);
        return path;
    }

    TempDir Dir;
};

TEST_P(ContainerOnlyRealFiles, TheContainerRowChangesInPlace) {
    const TContainerOnlyFile &file = GetParam();
    const std::string path = Make();
    {
        std::unique_ptr<TScanSession> session = ScanFile(path);
        ASSERT_EQ(session->ARInfoList.Count(), 1u);
        const TARInfo &row = *session->ARInfoList.Items(0);
        EXPECT_TRUE(row.IsContainerRow());
        EXPECT_TRUE(row.Track->ContainerOnly());
        ASSERT_NE(row.CodecEntry(), nullptr);
        EXPECT_STREQ(row.CodecEntry()->Key, file.Codec);
        EXPECT_EQ(row.SarText(), file.Stated);
        EXPECT_EQ(row.ResolutionText(), "176x144") << "the container's picture size";
        EXPECT_EQ(session->RatioUnitCount, 0);
        EXPECT_EQ(session->NoticeCount, 0);
    }
    const std::vector<MatroskaCrc> crcsBefore = MatroskaCrcs(ReadFile(path));
    CheckRoundTrip(path, file.Change, file.Expected);
    const std::vector<MatroskaCrc> crcsAfter = MatroskaCrcs(ReadFile(path));
    ASSERT_EQ(crcsAfter.size(), crcsBefore.size());
    for (size_t i = 0; i < crcsAfter.size(); ++i)
        EXPECT_EQ(crcsAfter[i].valid, crcsBefore[i].valid) << "the CRC-32 at " << crcsAfter[i].offset;
    const bool matroska = file.Muxer == "matroska" || file.Muxer.rfind("webm", 0) == 0;
    if (matroska && HaveTool("mkvmerge")) {
        const CommandResult identified = RunCommand("mkvmerge -J " + ShellQuote(path));
        EXPECT_EQ(identified.exitCode, 0) << identified.output << identified.errors;
        EXPECT_NE(identified.output.find("\"display_dimensions\""), std::string::npos) << identified.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ContainerOnlyRealFiles, testing::ValuesIn(Files),
                         [](const testing::TestParamInfo<TContainerOnlyFile> &info) {
                             return info.param.Name;
                         });

// An AVI stream without video properties has nothing that states its ratio, and nothing can be added in
// place: no row, the reason told.
TEST(ContainerOnlyRealFile, AnAviStreamWithoutVideoPropertiesIsToldNotListed) {
    if (!HaveEncoder("mjpeg"))
        GTEST_SKIP() << "ffmpeg without mjpeg";
    TempDir dir;
    const std::string path = dir.File("plain.avi");
    VideoSpec video = Clip(176, 144, "");
    video.encoder = "mjpeg";
    video.pixFmt = "yuvj420p";
    MakeAvi(path, {video});
    std::unique_ptr<TScanSession> session = ScanFile(path);
    EXPECT_EQ(session->ARInfoList.Count(), 0u);
    ASSERT_EQ(session->Tracks.size(), 1u);
    EXPECT_FALSE(session->Tracks.front().HasStatement());
    EXPECT_EQ(session->Tracks.front().Width, 176) << "from the bitmap header";
    ASSERT_EQ(session->Notices.size(), 1u);
    EXPECT_EQ(session->Notices[0].Text, Format(SNoStatementPlace, "stream 0", "Motion JPEG"));
}

} // namespace
