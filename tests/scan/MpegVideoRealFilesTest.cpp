// MPEG-2 and MPEG-1 video in real files made by ffmpeg's mpeg2video and mpeg1video encoders, in every
// container the program walks: raw streams, transport streams, Matroska and MP4. The rows must agree with
// what ffprobe and trace_headers read; a change is written in every sequence header in place, and leaves
// a raw stream byte for byte as ffmpeg's mpeg2_metadata filter leaves it.

#include "MediaFiles.h"
#include "RoundTrip.h"
#include "TestFiles.h"
#include "bitstream/BitWriter.h"
#include "mpeg2video/MpegVideoCodec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using TKind = TRatioChange::TKind;

struct TMpegFile {
    const char *Name;
    std::string Encoder; // "mpeg2video" or "mpeg1video"
    int Width, Height;
    std::string Sar;    // made with this SAR (setsar)
    std::string Muxer;  // ffmpeg's -f
    const char *Codec;  // the key of the rows' codec
    std::string Stated; // the SAR the rows show
    TRatioChange Change;
    TRatio Expected; // the SAR every reader sees after the change
};

void PrintTo(const TMpegFile &file, std::ostream *out) {
    *out << file.Name;
}

const TMpegFile Files[] = {
    // 4:3 at 720x576 is code 2; 16:9 code 3.
    {"mpeg2_raw",
     "mpeg2video",
     720,
     576,
     "16/15",
     "mpeg2video",
     "mpeg2video",
     "16:15",
     {TKind::Dar, 0, {16, 9}},
     {64, 45}},
    {"mpeg2_ts",
     "mpeg2video",
     720,
     576,
     "16/15",
     "mpegts",
     "mpeg2video",
     "16:15",
     {TKind::Dar, 0, {16, 9}},
     {64, 45}},
    // Matroska: the sequence header in CodecPrivate and in the key frames, and the display size follows.
    {"mpeg2_mkv",
     "mpeg2video",
     720,
     576,
     "64/45",
     "matroska",
     "mpeg2video",
     "64:45",
     {TKind::Predefined, 2, {}},
     {16, 15}},
    // MP4: the sequence header in the esds's decoder specific information and in the key frames; pasp
    // follows.
    {"mpeg2_mp4",
     "mpeg2video",
     720,
     576,
     "16/15",
     "mp4",
     "mpeg2video",
     "16:15",
     {TKind::Dar, 0, {16, 9}},
     {64, 45}},
    // AVI: the sequence headers in the video chunks; vprp follows.
    {"mpeg2_avi",
     "mpeg2video",
     720,
     576,
     "16/15",
     "avi",
     "mpeg2video",
     "16:15",
     {TKind::Dar, 0, {16, 9}},
     {64, 45}},
    // Program streams: DVD's 2048-byte packs (-f vob), and ffmpeg's MPEG program stream; MPEG-1 video in an
    // MPEG-1 system stream, whose pack and PES headers are of MPEG-1's form.
    {"mpeg2_vob",
     "mpeg2video",
     720,
     576,
     "16/15",
     "vob",
     "mpeg2video",
     "16:15",
     {TKind::Dar, 0, {16, 9}},
     {64, 45}},
    {"mpeg2_ps",
     "mpeg2video",
     720,
     576,
     "64/45",
     "mpeg",
     "mpeg2video",
     "64:45",
     {TKind::Predefined, 2, {}},
     {16, 15}},
    {"mpeg1_ps",
     "mpeg1video",
     352,
     288,
     "12/11",
     "mpeg",
     "mpeg1video",
     "178:163",
     {TKind::Sar, 0, {1, 1}},
     {1, 1}},
    // Square samples (code 1) at 720x480, to 16:9 (code 3: 32:27).
    {"mpeg2_square",
     "mpeg2video",
     720,
     480,
     "1/1",
     "mpeg2video",
     "mpeg2video",
     "1:1",
     {TKind::Dar, 0, {16, 9}},
     {32, 27}},
    // MPEG-1: 4:3 at 352x288 is the pixel shape 0.9157 (code 8), 178:163 as decoders take it; code 12
    // (1.0950, 200:219) in its place.
    {"mpeg1_raw",
     "mpeg1video",
     352,
     288,
     "12/11",
     "mpeg1video",
     "mpeg1video",
     "178:163",
     {TKind::Predefined, 12, {}},
     {200, 219}},
    {"mpeg1_mp4",
     "mpeg1video",
     352,
     288,
     "12/11",
     "mp4",
     "mpeg1video",
     "178:163",
     {TKind::Predefined, 12, {}},
     {200, 219}},
    {"mpeg1_ts",
     "mpeg1video",
     352,
     288,
     "12/11",
     "mpegts",
     "mpeg1video",
     "178:163",
     {TKind::Sar, 0, {1, 1}},
     {1, 1}},
};

class MpegVideoRealFiles : public testing::TestWithParam<TMpegFile> {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg is not there";
    }

    std::string Make() {
        const TMpegFile &file = GetParam();
        VideoSpec video = Clip(file.Width, file.Height, file.Sar);
        video.encoder = file.Encoder;
        video.keyint = 4; // three sequence headers in ten frames
        const std::string path = Dir.File(std::string(file.Name) + "." + file.Muxer);
        if (file.Muxer == file.Encoder)
            MakeElementaryStream(path, video, file.Muxer);
        else
            MakeContainer(path, {video}, file.Muxer);
        return path;
    }

    TempDir Dir;
};

TEST_P(MpegVideoRealFiles, EverySequenceHeaderIsListedAndChangedInPlace) {
    const TMpegFile &file = GetParam();
    const std::string path = Make();
    {
        std::unique_ptr<TScanSession> session = ScanFile(path);
        ASSERT_GE(session->ARInfoList.Count(), 3u);
        EXPECT_EQ(session->DamagedUnitCount, 0);
        size_t unitRows = 0;
        for (size_t i = 0; i < session->ARInfoList.Count(); ++i) {
            const TARInfo &row = *session->ARInfoList.Items(i);
            if (row.IsContainerRow())
                continue;
            ++unitRows;
            ASSERT_NE(row.Unit, nullptr);
            EXPECT_STREQ(row.Unit->Codec().Key(), file.Codec) << "row " << i;
            EXPECT_EQ(row.SarText(), file.Stated) << "row " << i;
            EXPECT_EQ(row.Width(), file.Width);
            EXPECT_EQ(row.Height(), file.Height);
        }
        if (std::string(file.Codec) == "mpeg2video") {
            // One row per sequence header in the data, as trace_headers counts them, and one more for the
            // container's own copy (CodecPrivate, esds) where the file holds one.
            const std::vector<TracedSequenceHeader> traced = TraceSequenceHeaders(path);
            EXPECT_GE(unitRows, traced.size());
            EXPECT_LE(unitRows, traced.size() + 1);
            for (const TracedSequenceHeader &header : traced)
                EXPECT_TRUE(header.hasSequenceExtension);
        } else {
            EXPECT_EQ(unitRows, 3u); // ten frames, a key frame every fourth
        }
        // ffprobe reads the sequence header where no container statement comes first. (ffmpeg's MP4 of
        // MPEG-1 states 12:11 in pasp, the ratio asked for, beside the 178:163 of the nearest code: the
        // change brings the two together.)
        if (file.Muxer != "mp4") {
            const ProbedVideo probed = ProbeVideo(path);
            const TRatio stated = ReduceRatio(probed.sarWidth, probed.sarHeight);
            EXPECT_EQ(std::to_string(stated.X) + ":" + std::to_string(stated.Y), file.Stated)
                << "ffprobe's SAR";
        }
    }
    CheckRoundTrip(path, file.Change, file.Expected);
}

INSTANTIATE_TEST_SUITE_P(Files, MpegVideoRealFiles, testing::ValuesIn(Files),
                         [](const testing::TestParamInfo<TMpegFile> &info) { return info.param.Name; });

// What mpeg2_metadata writes for the same ratio: byte for byte the file the change leaves, with and without
// a sequence display extension.
TEST(MpegVideoRealFiles, ARawStreamChangedIsTheOneMpeg2MetadataWrites) {
    if (!HaveMediaTools())
        GTEST_SKIP() << "ffmpeg is not there";
    TempDir dir;
    for (const bool display : {false, true}) {
        SCOPED_TRACE(display ? "with a sequence display extension" : "without");
        VideoSpec video = Clip(720, 576, "16/15");
        video.encoder = "mpeg2video";
        video.keyint = 4;
        if (display)
            video.encoderParams = "-seq_disp_ext:v:0 always";
        const std::string path = dir.File(display ? "display.m2v" : "plain.m2v");
        MakeElementaryStream(path, video, "mpeg2video");
        const std::string filtered = dir.File("filtered.m2v");
        const CommandResult filter = RunCommand(
            "ffmpeg -hide_banner -nostdin -loglevel error -y -i " + ShellQuote(path) +
            " -c copy -bsf:v mpeg2_metadata=display_aspect_ratio=16/9 -f mpeg2video " + ShellQuote(filtered));
        ASSERT_EQ(filter.exitCode, 0) << filter.errors;
        CheckRoundTrip(path, {TKind::Dar, 0, {16, 9}}, {64, 45});
        EXPECT_EQ(ReadFile(path), ReadFile(filtered));
    }
}

// The encoder writes nothing else differently for another ratio: a 4:3 stream changed to 16:9 is byte for
// byte the stream it makes at 16:9.
TEST(MpegVideoRealFiles, AChangedStreamIsTheOneTheEncoderMakesAtThatRatio) {
    if (!HaveMediaTools())
        GTEST_SKIP() << "ffmpeg is not there";
    TempDir dir;
    std::string paths[2];
    for (int i = 0; i < 2; ++i) {
        VideoSpec video = Clip(720, 576, i == 0 ? "16/15" : "64/45");
        video.encoder = "mpeg2video";
        video.keyint = 4;
        paths[i] = dir.File(i == 0 ? "4x3.m2v" : "16x9.m2v");
        MakeElementaryStream(paths[i], video, "mpeg2video");
    }
    ASSERT_NE(ReadFile(paths[0]), ReadFile(paths[1]));
    CheckRoundTrip(paths[0], {TKind::Dar, 0, {16, 9}}, {64, 45});
    EXPECT_EQ(ReadFile(paths[0]), ReadFile(paths[1]));
}

// A display size of another shape than the picture: the display ratio applies to it, as the standard
// says, and a change gives it the picture's shape, so that every decoder shows the ratio asked for. The
// display width is set to 540 in the file (a 4:3 window of a 16:9 picture, as pan-scan material has).
TEST(MpegVideoRealFiles, ADisplaySizeOfAnotherShapeTakesThePicturesShape) {
    if (!HaveMediaTools())
        GTEST_SKIP() << "ffmpeg is not there";
    TempDir dir;
    VideoSpec video = Clip(720, 576, "64/45");
    video.encoder = "mpeg2video";
    video.keyint = 4;
    video.encoderParams = "-seq_disp_ext:v:0 always";
    const std::string path = dir.File("pan-scan.m2v");
    MakeElementaryStream(path, video, "mpeg2video");
    {
        std::unique_ptr<TScanSession> session = ScanFile(path);
        std::vector<uint8_t> bytes = ReadFile(path);
        ASSERT_GE(session->ARInfoList.Count(), 3u);
        for (size_t i = 0; i < session->ARInfoList.Count(); ++i) {
            const TARInfo &row = *session->ARInfoList.Items(i);
            const auto &unit = static_cast<const TMpegVideoUnit &>(*row.Unit);
            ASSERT_TRUE(unit.Sequence().DisplayExtension);
            EXPECT_EQ(unit.Sequence().DisplayExtension->display_horizontal_size, 720u);
            const int64_t bit = unit.Sequence().DisplayExtension->DisplayHorizontalSizeBit;
            TBitWriter::WriteInto(bytes.data() + row.Placement.FileOffset(0),
                                  static_cast<int64_t>(bytes.size()) - row.Placement.FileOffset(0), bit, 540,
                                  14);
        }
        WriteFile(path, bytes);
    }
    std::unique_ptr<TScanSession> session = ScanFile(path);
    ASSERT_GE(session->ARInfoList.Count(), 3u);
    // 16:9 over 540x576: SAR 16/9 * 576/540.
    EXPECT_EQ(session->ARInfoList.Items(0)->SarText(), "256:135");
    EXPECT_EQ(session->ARInfoList.Items(0)->Unit->OverscanText(),
              "Display size 540x576 (sequence display extension)");
    CheckRoundTrip(path, {TKind::Dar, 0, {4, 3}}, {16, 15});
    for (const TracedSequenceHeader &header : TraceSequenceHeaders(path)) {
        EXPECT_EQ(header.displayWidth, 720);
        EXPECT_EQ(header.displayHeight, 576);
    }
}

} // namespace
