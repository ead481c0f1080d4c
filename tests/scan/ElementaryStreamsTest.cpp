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
        const bool read = format != TFileFormat::RawMpeg4Visual;
        EXPECT_EQ(IsScannable(format), read);
        if (!read) {
            // Read as H.264 when asked to, it is refused before any unit is taken.
            const ScanOutcome forced = RunScan(NewScan(TFileFormat::RawH264), path);
            EXPECT_EQ(forced.kind, ScanOutcome::Kind::General);
            EXPECT_EQ(forced.message, SNotARawStream);
            EXPECT_EQ(Session().RatioUnitCount + Session().DamagedUnitCount, 0);
            continue;
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

// The same codecs in MP4 and Matroska: the track is named by its codec and listed by its container
// statement, which is not changed alone (its bitstream states a ratio of its own); no unit of it is read,
// and the H.264 track beside it is read as before.
TEST_F(ElementaryStreamsTest, OtherCodecsInContainersAreNamedNotRead) {
    struct TContainerCase {
        const char *Muxer;
        TFileFormat Format;
        const char *Encoder;
        const char *Key;
    };
    const TContainerCase cases[] = {
        {"mp4", TFileFormat::Mp4, "mpeg4", "mpeg4visual"},
        {"matroska", TFileFormat::Matroska, "mpeg4", "mpeg4visual"},
    };
    for (const TContainerCase &c : cases) {
        SCOPED_TRACE(std::string(c.Muxer) + " " + c.Encoder);
        const std::string path = Dir.File(std::string("two.") + c.Muxer + "." + c.Encoder);
        MakeContainer(path, {Video(c.Encoder), Video("libx264")}, c.Muxer);
        ASSERT_EQ(ProbeFile(path), c.Format);
        ASSERT_EQ(RunScan(NewScan(c.Format), path).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Session().DamagedUnitCount, 0);
        ASSERT_EQ(Session().Tracks.size(), 2u);
        const TTrack &other = Session().Tracks[0];
        const TTrack &h264 = Session().Tracks[1];
        ASSERT_NE(other.Codec, nullptr);
        EXPECT_STREQ(other.Codec->Key, c.Key);
        ASSERT_NE(h264.Codec, nullptr);
        EXPECT_STREQ(h264.Codec->Key, "h264");
        EXPECT_EQ(other.NotWritten, Format(SUnreadCodecNotWritten, other.Label, other.Codec->Name));
        size_t otherRows = 0;
        for (size_t i = 0; i < Rows().Count(); ++i) {
            const TARInfo &row = *Rows().Items(i);
            if (row.Track == &other) {
                ++otherRows;
                EXPECT_TRUE(row.IsContainerRow());
            } else {
                EXPECT_EQ(row.Track, &h264);
            }
        }
        EXPECT_EQ(otherRows, 1u);
        ASSERT_EQ(Session().Notices.size(), 1u);
        EXPECT_EQ(Session().Notices[0].Text, Format(SUnreadCodecStream, other.Label, other.Codec->Name));
    }
}

} // namespace
