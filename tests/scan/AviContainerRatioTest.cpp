#include "BitWriter.h"
#include "MediaFiles.h"
#include "RiffBuilder.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "scan/uRIFFParser.h"

#include <gtest/gtest.h>

// The container's own aspect ratio (the "vprp" video properties of an AVI stream), the decoder
// configuration SPS in a video stream's format chunk, and the AVIX chunks of OpenDML files.

namespace {

// An SPS of 720x576 with a custom SAR.
std::vector<uint8_t> Sps720x576(uint16_t sarWidth, uint16_t sarHeight) {
    SpsFields fields;
    fields.pic_width_in_mbs_minus1 = 44;
    fields.pic_height_in_map_units_minus1 = 35;
    fields.frame_cropping_flag = 0;
    fields.vui = true;
    fields.aspect_ratio_idc = 255;
    fields.sar_width = sarWidth;
    fields.sar_height = sarHeight;
    return WithStartCode(BuildSps(fields).nal);
}

// Video properties with dwFrameAspectRatio x:y at the given frame size; extra bytes for the field
// descriptions. A size below 32 cuts the fields short.
ByteVector VideoProperties(uint16_t x, uint16_t y, uint32_t width, uint32_t height, size_t size = 68) {
    ByteVector payload(20, 0);
    Append(payload, LittleEndian((uint32_t{x} << 16) | y));
    Append(payload, LittleEndian(width));
    Append(payload, LittleEndian(height));
    payload.resize(size, 0);
    return payload;
}

ByteVector BitmapFormat(const ByteVector &extraData = {}) {
    ByteVector format = LittleEndian(40 + static_cast<uint32_t>(extraData.size()));
    format.resize(40, 0);
    Append(format, extraData);
    return format;
}

ByteVector VideoStreamList(const ByteVector &format, const ByteVector *properties) {
    std::vector<ByteVector> children{RiffChunk("strh", StreamHeader("vids", "H264")),
                                     RiffChunk("strf", format)};
    if (properties != nullptr)
        children.push_back(RiffChunk("vprp", *properties));
    return RiffList("LIST", "strl", children);
}

class AviContainerAspect : public ::testing::Test {
protected:
    std::string Write(const ByteVector &bytes) {
        std::string path = Dir.File("clip.avi");
        WriteFile(path, bytes);
        return path;
    }
    void Scan(const std::string &path) {
        ARInfoList->Clear();
        Riff.Parse(path);
    }
    void SetCustom(size_t row, int32_t width, int32_t height) {
        TARInfo &info = *ARInfoList->Items(row);
        info.NewAspectRatioIdc = 255;
        info.NewSarWidth = width;
        info.NewSarHeight = height;
    }
    std::vector<TWriteRefusal> Check(const std::string &path) {
        TFileStream file(path, TFileOpenMode::ReadShareDenyWrite);
        return ARInfoList->CheckChanges(file);
    }
    void Save(const std::string &path) {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        ASSERT_TRUE(ARInfoList->WriteChanges(file));
    }
    static uint32_t Read32(const std::string &path, size_t offset) {
        ByteVector bytes = ReadFile(path);
        return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
               (uint32_t{bytes[offset + 3]} << 24);
    }

    TempDir Dir;
    TRIFFParser Riff;
};

TEST_F(AviContainerAspect, PropertiesAreKeptPerStreamAndRewrittenWithTheSps) {
    ByteVector properties = VideoProperties(16, 9, 720, 576);
    std::string path =
        Write(AviFile({VideoStreamList(BitmapFormat(), &properties)},
                      {RiffChunk("00dc", Sps720x576(64, 45)), RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    ASSERT_EQ(ARInfoList->Count(), 2u);
    TARInfo &first = *ARInfoList->Items(0);
    ASSERT_NE(first.ContainerAspectRatio, nullptr);
    EXPECT_EQ(first.StreamNumber, 0);
    EXPECT_EQ(first.ContainerAspectRatio->Text(), "16:9");
    EXPECT_EQ(first.ContainerAspectRatio->FrameWidth, 720u);
    EXPECT_EQ(ARInfoList->Items(1)->ContainerAspectRatio, first.ContainerAspectRatio);
    int64_t aspectAt = first.ContainerAspectRatio->Position;
    EXPECT_EQ(Read32(path, static_cast<size_t>(aspectAt)), 0x00100009u);

    // 40:33 at 720x576 shows as 50:33.
    SetCustom(0, 40, 33);
    SetCustom(1, 40, 33);
    EXPECT_EQ(ARInfoList->DescribeContainerChanges(),
              std::vector<std::string>{"Container aspect ratio of stream 0: 16:9 changed to 50:33."});
    EXPECT_TRUE(Check(path).empty());
    size_t length = ReadFile(path).size();
    Save(path);
    EXPECT_EQ(ReadFile(path).size(), length);
    EXPECT_EQ(Read32(path, static_cast<size_t>(aspectAt)), (50u << 16) | 33u);
    EXPECT_EQ(first.ContainerAspectRatio->Text(), "50:33");
    EXPECT_TRUE(ARInfoList->DescribeContainerChanges().empty());

    Scan(path);
    EXPECT_EQ(ARInfoList->Items(1)->SarText(), "40:33");
    EXPECT_EQ(ARInfoList->Items(1)->ContainerAspectRatio->Text(), "50:33");
}

TEST_F(AviContainerAspect, RecordsThatDisagreeLeaveTheContainerAsItIs) {
    ByteVector properties = VideoProperties(16, 9, 720, 576);
    std::string path =
        Write(AviFile({VideoStreamList(BitmapFormat(), &properties)},
                      {RiffChunk("00dc", Sps720x576(64, 45)), RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    SetCustom(0, 40, 33);
    SetCustom(1, 32, 11);
    EXPECT_EQ(
        ARInfoList->DescribeContainerChanges(),
        std::vector<std::string>{"Container aspect ratio of stream 0 left at 16:9: the changed rows of this "
                                 "stream give different display aspect ratios."});
    size_t aspectAt = static_cast<size_t>(ARInfoList->Items(0)->ContainerAspectRatio->Position);
    Save(path);
    EXPECT_EQ(Read32(path, aspectAt), 0x00100009u);
    EXPECT_EQ(ARInfoList->Items(1)->SarText(), "32:11");
}

TEST_F(AviContainerAspect, StaleOrUnfitContainerValuesRefuseTheWholeSave) {
    ByteVector properties = VideoProperties(16, 9, 720, 576);
    std::string path = Write(
        AviFile({VideoStreamList(BitmapFormat(), &properties)}, {RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    size_t aspectAt = static_cast<size_t>(ARInfoList->Items(0)->ContainerAspectRatio->Position);

    // A display aspect ratio whose terms do not fit in 16 bits: 65535:1 at 720x576 is 327675:4.
    SetCustom(0, 65535, 1);
    ByteVector before = ReadFile(path);
    std::vector<TWriteRefusal> refusals = Check(path);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Reason,
              "The container aspect ratio 327675:4 of stream 0 can not be written: both terms "
              "must lie between 1 and 65535.");
    {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        EXPECT_THROW(ARInfoList->WriteChanges(file), Exception);
    }
    EXPECT_EQ(ReadFile(path), before);

    // The file's vprp changed since the scan.
    SetCustom(0, 40, 33);
    ByteVector edited = before;
    PutLittleEndian(edited, aspectAt, 0x00040003);
    WriteFile(path, edited);
    refusals = Check(path);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Reason,
              Format("The file no longer holds the container aspect ratio of stream 0 at %.8x. "
                     "It has been changed since it was opened.",
                     {static_cast<int64_t>(aspectAt)}));
    EXPECT_EQ(ReadFile(path), edited);
}

TEST_F(AviContainerAspect, StreamsWithoutUsableProperties) {
    // No vprp at all, one cut short, and one of an audio stream: only the SPS is written.
    ByteVector shortProperties = VideoProperties(16, 9, 720, 576, 28);
    ByteVector audioList =
        RiffList("LIST", "strl",
                 {RiffChunk("strh", StreamHeader("auds", std::string(4, '\0'))),
                  RiffChunk("strf", ByteVector(16, 0)), RiffChunk("vprp", VideoProperties(4, 3, 720, 576))});
    std::string path =
        Write(AviFile({VideoStreamList(BitmapFormat(), nullptr),
                       VideoStreamList(BitmapFormat(), &shortProperties), audioList},
                      {RiffChunk("00dc", Sps720x576(64, 45)), RiffChunk("01dc", Sps720x576(64, 45))}));
    Scan(path);
    ASSERT_EQ(ARInfoList->Count(), 2u);
    EXPECT_EQ(ARInfoList->Items(0)->StreamNumber, 0);
    EXPECT_EQ(ARInfoList->Items(1)->StreamNumber, 1);
    EXPECT_EQ(ARInfoList->Items(0)->ContainerAspectRatio, nullptr);
    EXPECT_EQ(ARInfoList->Items(1)->ContainerAspectRatio, nullptr);
    ASSERT_EQ(Riff.Streams.size(), 3u);
    EXPECT_EQ(Riff.Streams[2].Type, "auds");
    EXPECT_EQ(Riff.Streams[2].AspectRatio, nullptr);

    SetCustom(0, 40, 33);
    EXPECT_TRUE(ARInfoList->DescribeContainerChanges().empty());
    ByteVector before = ReadFile(path);
    Save(path);
    ByteVector after = ReadFile(path);
    size_t differing = 0;
    for (size_t i = 0; i < before.size(); ++i)
        differing += before[i] != after[i];
    EXPECT_GE(differing, 1u);
    EXPECT_LE(differing, 6u); // the five or six bytes of one custom SAR
}

TEST_F(AviContainerAspect, DecoderConfigurationSpsInTheStreamFormatIsListedFirst) {
    ByteVector audioList = RiffList("LIST", "strl",
                                    {RiffChunk("strh", StreamHeader("auds", std::string(4, '\0'))),
                                     RiffChunk("strf", BitmapFormat(Sps720x576(8, 9)))});
    std::string path = Write(AviFile({VideoStreamList(BitmapFormat(Sps720x576(64, 45)), nullptr), audioList},
                                     {RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    // The audio stream's format is not searched.
    ASSERT_EQ(ARInfoList->Count(), 2u);
    EXPECT_EQ(ARInfoList->Items(0)->StreamNumber, 0);
    EXPECT_LT(ARInfoList->Items(0)->SequenceParameterSet->Position,
              ARInfoList->Items(1)->SequenceParameterSet->Position);
    SetCustom(0, 40, 33);
    SetCustom(1, 40, 33);
    Save(path);
    Scan(path);
    EXPECT_EQ(ARInfoList->Items(0)->SarText(), "40:33");
    EXPECT_EQ(ARInfoList->Items(1)->SarText(), "40:33");
}

TEST_F(AviContainerAspect, AvixChunksAfterTheFirstAreWalked) {
    ByteVector first =
        AviFile({VideoStreamList(BitmapFormat(), nullptr)}, {RiffChunk("00dc", Sps720x576(64, 45))});
    ByteVector avix =
        RiffList("RIFF", "AVIX", {RiffList("LIST", "movi", {RiffChunk("00dc", Sps720x576(16, 11))})});
    ByteVector other =
        RiffList("RIFF", "WAVE", {RiffList("LIST", "movi", {RiffChunk("00dc", Sps720x576(4, 3))})});

    ByteVector file = first;
    Append(file, avix);
    Append(file, avix);
    Append(file, ByteVector{'j', 'u', 'n', 'k', 1, 2, 3});
    Scan(Write(file));
    ASSERT_EQ(ARInfoList->Count(), 3u);
    EXPECT_EQ(ARInfoList->Items(1)->SarText(), "16:11");
    EXPECT_EQ(ARInfoList->Items(2)->SarText(), "16:11");
    EXPECT_EQ(Riff.ExtensionChunks.size(), 2u);

    // A RIFF chunk of another form ends the walk; what follows it is ignored too.
    file = first;
    Append(file, other);
    Append(file, avix);
    Scan(Write(file));
    EXPECT_EQ(ARInfoList->Count(), 1u);
    EXPECT_TRUE(Riff.ExtensionChunks.empty());

    // An AVIX chunk cut inside a chunk header fails like the first chunk would.
    file = first;
    ByteVector cut = avix;
    cut.resize(12 + 12 + 4);
    Append(file, cut);
    std::string path = Write(file);
    ARInfoList->Clear();
    try {
        Riff.Parse(path);
        ADD_FAILURE() << "no error";
    } catch (const EInOutError &error) {
        EXPECT_STREQ(error.what(), "Unexpected end of stream.");
    }
    EXPECT_EQ(ARInfoList->Count(), 1u);
}

// A real AVI written by ffmpeg carries vprp: players show what it says, so a save changes it too.
TEST(AviContainerAspectRealFile, FfmpegAviShowsTheNewRatioInContainerAndBitstream) {
    if (!HaveMediaTools())
        GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    TempDir dir;
    std::string path = dir.File("clip.avi");
    VideoSpec video;
    video.width = 720;
    video.height = 576;
    video.sar = "64/45";
    video.frames = 12;
    video.repeatHeaders = true;
    video.keyint = 5;
    MakeAvi(path, {video});
    std::vector<std::string> frames = FrameMd5(path);
    size_t length = ReadFile(path).size();

    TRIFFParser riff;
    riff.Parse(path);
    ASSERT_GE(ARInfoList->Count(), 1u);
    ASSERT_NE(ARInfoList->Items(0)->ContainerAspectRatio, nullptr);
    EXPECT_EQ(ARInfoList->Items(0)->ContainerAspectRatio->Text(), "16:9");
    for (size_t i = 0; i < ARInfoList->Count(); ++i) {
        ARInfoList->Items(i)->NewAspectRatioIdc = 255;
        ARInfoList->Items(i)->NewSarWidth = 40;
        ARInfoList->Items(i)->NewSarHeight = 33;
    }
    {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        ASSERT_TRUE(ARInfoList->WriteChanges(file));
    }
    ProbedVideo container = ProbeVideo(path);
    EXPECT_EQ(container.sarWidth, 40);
    EXPECT_EQ(container.sarHeight, 33);
    ProbedVideo bitstream = ProbeVideoBitstream(path);
    EXPECT_EQ(bitstream.sarWidth, 40);
    EXPECT_EQ(bitstream.sarHeight, 33);
    EXPECT_EQ(ReadFile(path).size(), length);
    EXPECT_EQ(FrameMd5(path), frames);
}

} // namespace
