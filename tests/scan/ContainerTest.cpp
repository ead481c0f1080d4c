#include "ScanHarness.h"
#include "scan/FormatProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

// One x264 stream with SAR 64:45, put into each container with -c copy.
class ContainerRefusal : public ScanTest {
protected:
    static void SetUpTestSuite() {
        if (!HaveTool("ffmpeg"))
            return;
        Source = std::make_unique<TempDir>();
        RunCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=720x576:rate=25 -t 1 -vf setsar=64/45 "
                   "-c:v libx264 -preset ultrafast -f h264 " +
                   ShellQuote(Source->File("source.h264")));
    }
    static void TearDownTestSuite() { Source.reset(); }

    void SetUp() override {
        if (!Source)
            GTEST_SKIP() << "ffmpeg is not installed";
    }

    static std::string Remux(const std::string &name, const std::string &formatOptions) {
        std::string path = Source->File(name);
        CommandResult result = RunCommand("ffmpeg -v error -y -i " + ShellQuote(Source->File("source.h264")) +
                                          " -c copy " + formatOptions + " " + ShellQuote(path));
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        return path;
    }

    static std::unique_ptr<TempDir> Source;
};

std::unique_ptr<TempDir> ContainerRefusal::Source;

// The raw-stream scanner refuses a container before it scans: the refusal names the format the content
// shows, whatever the file's name, and nothing is counted or listed.
TEST_F(ContainerRefusal, ContainersAreRefusedWithTheirFormatAndNothingListed) {
    struct Case {
        const char *name;
        const char *options;
        TFileFormat format;
    };
    const Case cases[] = {
        {"clip.mp4", "-f mp4", TFileFormat::Mp4},
        {"clip.mov", "-f mov", TFileFormat::Mp4},
        {"clip.mkv", "-f matroska", TFileFormat::Matroska},
        {"clip.ts", "-f mpegts", TFileFormat::MpegTs},
        {"clip.m2ts", "-f mpegts -mpegts_m2ts_mode 1", TFileFormat::M2ts},
        {"clip.vob", "-f vob", TFileFormat::MpegPs},
        {"clip.mpg", "-f mpeg", TFileFormat::MpegPs},
        {"clip.flv", "-f flv", TFileFormat::Flv},
        {"clip.h264", "-f mp4", TFileFormat::Mp4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = Remux(c.name, c.options);
        EXPECT_EQ(ProbeFile(path), c.format);
        TParser &parser = NewStreamScan();
        try {
            parser.Parse(path);
            ADD_FAILURE() << "no refusal";
        } catch (const EFileFormat &error) {
            EXPECT_EQ(error.Format, c.format);
            EXPECT_STREQ(error.what(),
                         "This file is a container, not a raw H.264 stream. Its aspect ratio can "
                         "not be changed in place.");
        }
        EXPECT_EQ(Rows().Count(), 0u);
        EXPECT_EQ(Session().RatioUnitCount, 0);
        EXPECT_EQ(Log.Sequence(), "!");
    }
}

// Formats that hold H.264 in a way no scanner of this program reads: refused where a file is opened.
TEST(ScannableFormats, FormatsWithoutAScannerAreRefused) {
    for (TFileFormat format :
         {TFileFormat::Flv, TFileFormat::Asf, TFileFormat::Mxf, TFileFormat::Nut}) {
        TScanSession session;
        EXPECT_FALSE(IsScannable(format));
        EXPECT_EQ(CreateParser(format, session), nullptr);
    }
    for (TFileFormat format :
         {TFileFormat::RawH264, TFileFormat::Avi, TFileFormat::Mp4, TFileFormat::Matroska, TFileFormat::WebM,
          TFileFormat::MpegTs, TFileFormat::M2ts, TFileFormat::MpegTs204, TFileFormat::MpegPs}) {
        TScanSession session;
        EXPECT_TRUE(IsScannable(format));
        EXPECT_NE(CreateParser(format, session), nullptr);
    }
}

TEST_F(ContainerRefusal, RawStreamAndAviUnderAnyNameAreStillScanned) {
    ASSERT_EQ(RunScan(NewStreamScan(), Source->File("source.h264")).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");

    // An AVI carries a raw stream in its chunks: named as a stream, it is scanned as one by the stream
    // scanner (remuxed, it also holds a copy of the SPS in its stream format chunk). Its content names
    // it an AVI, and the AVI scanner is the one chosen for it.
    std::string avi = Remux("clip.h264.mov", "-f avi");
    ScanOutcome outcome = RunScan(NewStreamScan(), avi);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    ASSERT_GE(Rows().Count(), 1u);
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ(Rows().Items(i)->SarText(), "64:45");
    const size_t asStream = Rows().Count();

    ASSERT_EQ(ProbeFile(avi), TFileFormat::Avi);
    outcome = RunScan(NewScan(ProbeFile(avi)), avi);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Rows().Count(), asStream);
    EXPECT_EQ(Session().Format, TFileFormat::Avi);
}

TEST(DetectFormat, EmptyFilesAreUnknownAndRawStartsRawStreams) {
    TMemoryStream empty;
    EXPECT_EQ(DetectFormat(empty), TFileFormat::Unknown);
    TMemoryStream raw({0, 0, 0, 1, 0x67, 0x4D, 0x00, 0x28});
    EXPECT_EQ(DetectFormat(raw), TFileFormat::RawH264);
    // A stream that begins with a start code and has two sync bytes a packet apart is not yet a
    // transport stream: that takes four packets' worth of them.
    std::vector<uint8_t> twoPackets(400, 0xFF);
    std::copy_n(raw.Bytes().begin(), 8, twoPackets.begin());
    twoPackets[8] = twoPackets[8 + 188] = 0x47;
    TMemoryStream partial(twoPackets);
    EXPECT_EQ(DetectFormat(partial), TFileFormat::RawH264);
}

} // namespace
