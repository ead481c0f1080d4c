// The registry's names: every container name that stands for a codec, the keys they lead to, and which
// codecs read and write their bitstream.

#include "codec/CodecRegistry.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using Names = std::vector<std::pair<const char *, const char *>>; // container name, codec key

std::string KeyOf(const TCodecEntry *entry) {
    return entry != nullptr ? entry->Key : "(none)";
}

TEST(CodecRegistry, ContainerNamesMapToTheirCodecs) {
    const Names handlers{
        {"H264", "h264"},        {"avc1", "h264"},        {"X264", "h264"},        {"DAVC", "h264"},
        {"vssh", "h264"},        {"HEVC", "hevc"},        {"hvc1", "hevc"},        {"H265", "hevc"},
        {"X265", "hevc"},        {"mpg2", "mpeg2video"},  {"MPEG", "mpeg2video"},  {"MPG1", "mpeg1video"},
        {"XVID", "mpeg4visual"}, {"xvid", "mpeg4visual"}, {"DIVX", "mpeg4visual"}, {"DX50", "mpeg4visual"},
        {"FMP4", "mpeg4visual"}, {"MP4V", "mpeg4visual"}, {"3IV2", "mpeg4visual"}, {"M4S2", "mpeg4visual"},
        {"VP80", "vp8"},         {"VP90", "vp9"},         {"AV01", "av1"},         {"WVC1", "vc1"},
        {"MJPG", "mjpeg"},       {"apcn", "prores"},      {"APCH", "prores"}};
    for (const auto &[name, key] : handlers)
        EXPECT_EQ(KeyOf(CodecOfAviHandler(name)), key) << name;

    // Sample entry types are compared as they are: letter case is part of a box type.
    const Names entries{{"avc1", "h264"},  {"avc2", "h264"},   {"avc3", "h264"},        {"avc4", "h264"},
                        {"hvc1", "hevc"},  {"hev1", "hevc"},   {"mp4v", "mpeg4visual"}, {"vp08", "vp8"},
                        {"vp09", "vp9"},   {"av01", "av1"},    {"vc-1", "vc1"},         {"jpeg", "mjpeg"},
                        {"mjpa", "mjpeg"}, {"apcn", "prores"}, {"apch", "prores"},      {"apcs", "prores"}};
    for (const auto &[name, key] : entries)
        EXPECT_EQ(KeyOf(CodecOfSampleEntry(name)), key) << name;
    EXPECT_EQ(CodecOfSampleEntry("AVC1"), nullptr);

    const Names matroska{{"V_MPEG4/ISO/AVC", "h264"},
                         {"V_MPEGH/ISO/HEVC", "hevc"},
                         {"V_MPEG2", "mpeg2video"},
                         {"V_MPEG1", "mpeg1video"},
                         {"V_MPEG4/ISO/ASP", "mpeg4visual"},
                         {"V_MPEG4/ISO/SP", "mpeg4visual"},
                         {"V_VP8", "vp8"},
                         {"V_VP9", "vp9"},
                         {"V_AV1", "av1"},
                         {"V_MJPEG", "mjpeg"}};
    for (const auto &[name, key] : matroska)
        EXPECT_EQ(KeyOf(CodecOfMatroskaId(name)), key) << name;
    EXPECT_EQ(CodecOfMatroskaId("V_MPEG4/ISO/AVC "), nullptr);

    const std::vector<std::pair<uint8_t, const char *>> streamTypes{
        {0x01, "mpeg1video"}, {0x02, "mpeg2video"}, {0x10, "mpeg4visual"},
        {0x1B, "h264"},       {0x24, "hevc"},       {0xEA, "vc1"}};
    for (const auto &[type, key] : streamTypes)
        EXPECT_EQ(KeyOf(CodecOfStreamType(type)), key) << int{type};
    for (uint8_t audio : {0x03, 0x04, 0x0F, 0x81})
        EXPECT_EQ(CodecOfStreamType(audio), nullptr) << int{audio};

    EXPECT_EQ(KeyOf(CodecOfConfigBox("avcC")), "h264");
    EXPECT_EQ(KeyOf(CodecOfConfigBox("hvcC")), "hevc");
    EXPECT_EQ(CodecOfConfigBox("esds"), nullptr);
    EXPECT_STREQ(ConfigBoxOf(*CodecByKey("h264")), "avcC");
    EXPECT_EQ(ConfigBoxOf(*CodecByKey("vp9")), nullptr);

    for (const char *unknown : {"", "ABCD", "H26", "H2644"})
        EXPECT_EQ(CodecOfAviHandler(unknown), nullptr) << unknown;
}

// Every key is one codec with a name; the codecs that read their bitstream are those with an object, H.264
// among them, and an unknown handler asked about is read as H.264.
TEST(CodecRegistry, KeysNamesAndReadableCodecs) {
    std::set<std::string> names;
    for (const char *key : {"h264", "hevc", "mpeg2video", "mpeg1video", "mpeg4visual", "vp8", "vp9", "av1",
                            "vc1", "mjpeg", "prores"}) {
        const TCodecEntry *entry = CodecByKey(key);
        ASSERT_NE(entry, nullptr) << key;
        EXPECT_STREQ(entry->Key, key);
        EXPECT_TRUE(names.insert(entry->Name).second) << entry->Name;
    }
    EXPECT_EQ(CodecByKey("H264"), nullptr);
    const std::vector<const TCodec *> readable = ReadableCodecs();
    ASSERT_FALSE(readable.empty());
    EXPECT_EQ(readable.front(), CodecByKey("h264")->Codec);
    for (const TCodec *codec : readable)
        EXPECT_NE(codec, nullptr);
    EXPECT_EQ(AssumedCodecOfUnknownHandler(), CodecByKey("h264"));
    EXPECT_EQ(CodecByKey("vp9")->Codec, nullptr);
}

// A codec is changed in its container alone only when the program writes nothing in its bitstream and
// its bitstream states no ratio: never one the program reads, never one whose bitstream states its own.
TEST(CodecRegistry, OnlyCodecsWhoseBitstreamStatesNoRatioAreContainerOnly) {
    for (const char *key : {"vp8", "vp9", "av1", "mjpeg", "prores"})
        EXPECT_TRUE(CodecByKey(key)->ContainerOnly()) << key;
    for (const char *key : {"h264", "hevc", "mpeg2video", "mpeg1video", "mpeg4visual", "vc1"})
        EXPECT_FALSE(CodecByKey(key)->ContainerOnly()) << key;
    for (const char *type : {"apco", "ap4h", "ap4x", "apch"})
        EXPECT_EQ(CodecOfSampleEntry(type), CodecByKey("prores")) << type;
    for (const char *handler : {"APCO", "AP4H", "apcs"})
        EXPECT_EQ(CodecOfAviHandler(handler), CodecByKey("prores")) << handler;
    EXPECT_EQ(CodecOfMatroskaId("V_PRORES"), CodecByKey("prores"));
}

} // namespace
