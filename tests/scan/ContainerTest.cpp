#include "TestFiles.h"
#include "base/Exceptions.h"
#include "scan/uRIFFParser.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// One x264 stream with SAR 64:45, put into each container with -c copy.
class ContainerRefusal : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveTool("ffmpeg"))
            return;
        Dir = std::make_unique<TempDir>();
        RunCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=720x576:rate=25 -t 1 -vf setsar=64/45 "
                   "-c:v libx264 -preset ultrafast -f h264 " +
                   ShellQuote(Dir->File("source.h264")));
    }
    static void TearDownTestSuite() { Dir.reset(); }

    void SetUp() override {
        if (!Dir)
            GTEST_SKIP() << "ffmpeg is not installed";
    }

    static std::string Remux(const std::string &name, const std::string &formatOptions) {
        std::string path = Dir->File(name);
        CommandResult result = RunCommand("ffmpeg -v error -y -i " + ShellQuote(Dir->File("source.h264")) +
                                          " -c copy " + formatOptions + " " + ShellQuote(path));
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        return path;
    }

    // Scans with the raw stream scanner: the error text, or empty when the scan went through.
    std::string ScanError(const std::string &path) {
        try {
            Stream.Parse(path);
        } catch (const Exception &error) {
            return error.what();
        }
        return {};
    }

    static std::unique_ptr<TempDir> Dir;
    TRIFFParser Riff; // owns the record list
    TStreamParser Stream;
};

std::unique_ptr<TempDir> ContainerRefusal::Dir;

std::string Refusal(const char *container) {
    return Format("This file is %s container, not a raw H.264 stream. Its aspect ratio can not be changed "
                  "in place.",
                  {container});
}

TEST_F(ContainerRefusal, ContainersAreRefusedWithTheirNameAndNothingListed) {
    struct Case {
        const char *name;
        const char *options;
        const char *container;
    };
    const Case cases[] = {
        {"clip.mp4", "-f mp4", "an MP4 (ISO base media)"},
        {"clip.mov", "-f mov", "an MP4 (ISO base media)"},
        {"clip.mkv", "-f matroska", "a Matroska/WebM"},
        {"clip.ts", "-f mpegts", "an MPEG-TS (transport stream)"},
        {"clip.m2ts", "-f mpegts -mpegts_m2ts_mode 1", "an M2TS (MPEG-TS with time codes)"},
        {"clip.vob", "-f vob", "an MPEG-PS (program stream, VOB/MPG)"},
        {"clip.mpg", "-f mpeg", "an MPEG-PS (program stream, VOB/MPG)"},
        {"clip.flv", "-f flv", "an FLV (Flash Video)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = Remux(c.name, c.options);
        ARInfoList->Clear();
        EXPECT_EQ(ScanError(path), Refusal(c.container));
        EXPECT_EQ(ARInfoList->Count(), 0u);
        EXPECT_TRUE(Stream.NALUnits.empty());
    }
}

TEST_F(ContainerRefusal, RawStreamAndAviUnderAnyNameAreStillScanned) {
    ARInfoList->Clear();
    EXPECT_EQ(ScanError(Dir->File("source.h264")), "");
    ASSERT_EQ(ARInfoList->Count(), 1u);
    EXPECT_EQ(ARInfoList->Items(0)->SarText(), "64:45");

    // An AVI carries a raw stream in its chunks: named as a stream, it is scanned as one (remuxed, it
    // also holds a copy of the SPS in its stream format chunk).
    std::string avi = Remux("clip.h264.mov", "-f avi");
    ARInfoList->Clear();
    EXPECT_EQ(ScanError(avi), "");
    ASSERT_GE(ARInfoList->Count(), 1u);
    for (size_t i = 0; i < ARInfoList->Count(); ++i)
        EXPECT_EQ(ARInfoList->Items(i)->SarText(), "64:45");
}

TEST(DetectContainer, ShortAndRawStartsAreNotContainers) {
    TMemoryStream empty;
    EXPECT_EQ(DetectContainer(empty), "");
    TMemoryStream raw({0, 0, 0, 1, 0x67, 0x4D, 0x00, 0x28});
    EXPECT_EQ(DetectContainer(raw), "");
    // A sync byte at 0 and 188 alone is not yet a transport stream.
    std::vector<uint8_t> twoPackets(300, 0xFF);
    twoPackets[0] = twoPackets[188] = 0x47;
    TMemoryStream partial(twoPackets);
    EXPECT_EQ(DetectContainer(partial), "");
}

} // namespace
