// Real elementary streams of every codec ffmpeg writes them for, and the same codecs inside containers:
// each is named as what it is, and none is read as H.264 (an MPEG-2 stream once gave dozens of "damaged
// SPS").

#include "MediaFiles.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "codec/CodecRegistry.h"
#include "codec/ElementaryDetect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct TElementaryCase {
    const char *Encoder;
    const char *Muxer;
    TFileFormat Format;
    const char *Key;
};

const TElementaryCase ElementaryCases[] = {
    {"libx264", "h264", TFileFormat::RawH264, "h264"},
    {"libx265", "hevc", TFileFormat::RawHevc, "hevc"},
    {"mpeg2video", "mpeg2video", TFileFormat::RawMpegVideo, "mpeg2video"},
    {"mpeg1video", "mpeg1video", TFileFormat::RawMpegVideo, "mpeg1video"},
    {"mpeg4", "m4v", TFileFormat::RawMpeg4Visual, "mpeg4visual"},
};

class ElementaryStreamsTest : public ScanTest {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg and ffprobe with libx264 are needed (run.sh installs them)";
    }

    static VideoSpec Video(const std::string &encoder) {
        VideoSpec video;
        video.encoder = encoder;
        video.frames = 6;
        video.sar = "16/11";
        return video;
    }

    TempDir Dir;
};

TEST_F(ElementaryStreamsTest, EachCodecIsToldByItsContent) {
    for (const TElementaryCase &c : ElementaryCases) {
        SCOPED_TRACE(c.Encoder);
        const std::string path = Dir.File(std::string("clip.") + c.Muxer + ".bin"); // the name tells nothing
        MakeElementaryStream(path, Video(c.Encoder), c.Muxer);
        const std::vector<uint8_t> bytes = ReadFile(path);
        EXPECT_EQ(DetectElementaryCodec(bytes.data(), std::min<size_t>(bytes.size(), ProbedBytes)), c.Key);
        const TFileFormat format = ProbeFile(path);
        EXPECT_EQ(format, c.Format);
        EXPECT_TRUE(IsScannable(format));
        if (format != TFileFormat::RawH264) {
            // Read as H.264 when asked to, it is refused before any unit is taken.
            const ScanOutcome forced = RunScan(NewScan(TFileFormat::RawH264), path);
            EXPECT_EQ(forced.kind, ScanOutcome::Kind::General);
            EXPECT_EQ(forced.message, SNotARawStream);
            EXPECT_EQ(Session().RatioUnitCount + Session().DamagedUnitCount, 0);
        }
        ASSERT_EQ(RunScan(NewScan(format), path).kind, ScanOutcome::Kind::None);
        ASSERT_GE(Rows().Count(), 1u);
        // MPEG-1's table holds no 16:11: the encoder takes the nearest pixel shape, as ffprobe reads it.
        const ProbedVideo probed = ProbeVideo(path);
        const TRatio sar = ReduceRatio(probed.sarWidth, probed.sarHeight);
        EXPECT_EQ(Rows().Items(0)->SarText(), std::to_string(sar.X) + ":" + std::to_string(sar.Y));
        EXPECT_STREQ(Rows().Items(0)->CodecEntry()->Key, c.Key);
        EXPECT_EQ(Session().DamagedUnitCount, 0);
    }
}

// MPEG-4 Part 2 beside H.264 in MP4 and Matroska: each track is read with its own codec, and each row
// names its track's.
TEST_F(ElementaryStreamsTest, CodecsInOneContainerAreEachReadWithTheirOwn) {
    for (const auto &[muxer, format] :
         {std::pair{"mp4", TFileFormat::Mp4}, {"matroska", TFileFormat::Matroska}}) {
        SCOPED_TRACE(muxer);
        const std::string path = Dir.File(std::string("two.") + muxer);
        MakeContainer(path, {Video("mpeg4"), Video("libx264")}, muxer);
        ASSERT_EQ(ProbeFile(path), format);
        ASSERT_EQ(RunScan(NewScan(format), path).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Session().DamagedUnitCount, 0);
        EXPECT_TRUE(Session().Notices.empty());
        ASSERT_EQ(Session().Tracks.size(), 2u);
        const char *keys[] = {"mpeg4visual", "h264"};
        for (size_t track = 0; track < 2; ++track) {
            ASSERT_NE(Session().Tracks[track].Codec, nullptr);
            EXPECT_STREQ(Session().Tracks[track].Codec->Key, keys[track]);
            EXPECT_TRUE(Session().Tracks[track].NotWritten.empty()) << Session().Tracks[track].NotWritten;
        }
        size_t unitRows[2] = {0, 0};
        for (size_t i = 0; i < Rows().Count(); ++i) {
            const TARInfo &row = *Rows().Items(i);
            const size_t track = row.Track == &Session().Tracks[0] ? 0 : 1;
            EXPECT_EQ(row.Track, &Session().Tracks[track]);
            EXPECT_FALSE(row.IsContainerRow());
            EXPECT_EQ(row.SarText(), "16:11");
            EXPECT_STREQ(row.CodecEntry()->Key, keys[track]);
            ++unitRows[track];
        }
        EXPECT_GE(unitRows[0], 1u);
        EXPECT_GE(unitRows[1], 1u);
    }
}

} // namespace
