// The facts of each file format: one row per format, and what the rows decide.

#include "base/FormatFacts.h"
#include "base/AppTexts.h"
#include "base/Exceptions.h"
#include "codec/CodecRegistry.h"
#include "scan/FormatProbe.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

TEST(FormatFacts, EveryFormatHasExactlyOneRow) {
    const auto last = static_cast<int>(TFileFormat::Unknown);
    for (int value = 0; value <= last; ++value) {
        const auto format = static_cast<TFileFormat>(value);
        int rows = 0;
        for (const TFormatFacts &facts : AllFormatFacts())
            rows += facts.Format == format ? 1 : 0;
        EXPECT_EQ(rows, 1) << "format " << value;
        EXPECT_EQ(FormatFactsOf(format).Format, format);
    }
    EXPECT_EQ(AllFormatFacts().size(), static_cast<size_t>(last + 1));
}

// Every key of an elementary stream's row names a codec of the registry, and the first is the one the
// format reads; containers have none.
TEST(FormatFacts, ElementaryStreamsNameTheirCodecAndSeekByByte) {
    for (const TFormatFacts &facts : AllFormatFacts()) {
        for (const char *key : facts.CodecKeys) {
            if (key != nullptr) {
                EXPECT_NE(CodecByKey(key), nullptr) << key;
            }
        }
        const TCodecEntry *codec = ElementaryCodecOf(facts.Format);
        if (facts.CodecKeys[0] == nullptr) {
            EXPECT_EQ(codec, nullptr) << facts.Name;
            continue;
        }
        ASSERT_NE(codec, nullptr) << facts.Name;
        EXPECT_EQ(std::string_view(codec->Key), facts.CodecKeys[0]);
        EXPECT_EQ(facts.PreviewSeek, TPreviewSeek::ByByte) << facts.Name;
        EXPECT_FALSE(facts.StatesAspectRatio) << facts.Name;
    }
    EXPECT_EQ(std::string_view(ElementaryCodecOf(TFileFormat::RawMpegVideo)->Key), "mpeg2video");
    // MPEG-1 video, a sequence header without an extension behind it, is of the same format.
    TMemoryStream mpeg1({0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0xFF, 0xFF, 0xE0, 0x00,
                         0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    EXPECT_EQ(DetectFormat(mpeg1), TFileFormat::RawMpegVideo);
    EXPECT_EQ(FormatFactsOf(TFileFormat::Mp4).PreviewSeek, TPreviewSeek::ByTime);
    EXPECT_EQ(FormatFactsOf(TFileFormat::MpegTs).PreviewSeek, TPreviewSeek::ByByte);
}

TEST(FormatFacts, NamesAndWhyAFormatIsNotRead) {
    EXPECT_EQ(FormatName(TFileFormat::Mp4), "MP4 (ISO base media)");
    EXPECT_EQ(FormatNameWithArticle(TFileFormat::Avi), "an AVI (RIFF)");
    EXPECT_EQ(FormatNameWithArticle(TFileFormat::Matroska), "a Matroska");
    EXPECT_EQ(FormatNotReadText(TFileFormat::RawHevc), Format(SStreamNotRead, "a raw HEVC stream"));
    EXPECT_EQ(FormatNotReadText(TFileFormat::Flv),
              Format(SContainerNotRawStream, "an FLV (Flash Video)", "a raw H.264 stream"));
    EXPECT_EQ(FormatNotReadText(TFileFormat::Flv, TFileFormat::RawHevc),
              Format(SContainerNotRawStream, "an FLV (Flash Video)", "a raw HEVC stream"));
    EXPECT_EQ(FormatNotReadText(TFileFormat::Unknown), SUnknownFormat);
    EXPECT_TRUE(FormatStatesAspectRatio(TFileFormat::WebM));
    EXPECT_FALSE(FormatStatesAspectRatio(TFileFormat::M2ts));
}

} // namespace
