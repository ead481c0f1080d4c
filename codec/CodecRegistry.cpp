#include "CodecRegistry.h"

#include "ElementaryDetect.h"
#include "h264/H264Codec.h"
#include "hevc/HevcCodec.h"
#include "mpeg2video/MpegVideoCodec.h"
#include "mpeg4visual/Mpeg4VisualCodec.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace {

// Every codec the containers may name. A codec whose bitstream the program reads registers its object
// here; the others are named, not read.
const std::array<TCodecEntry, 11> &Codecs() {
    static const std::array<TCodecEntry, 11> codecs{{
        {"h264", "H.264", &H264Codec(), true},
        {"hevc", "HEVC", &HevcCodec(), true},
        {"mpeg2video", "MPEG-2 video", &Mpeg2VideoCodec(), true},
        {"mpeg1video", "MPEG-1 video", &Mpeg1VideoCodec(), true},
        {"mpeg4visual", "MPEG-4 Part 2", &Mpeg4VisualCodec(), true},
        {"vp8", "VP8", nullptr, false},
        {"vp9", "VP9", nullptr, false},
        {"av1", "AV1", nullptr, false},
        {"vc1", "VC-1", nullptr, true},
        // JFIF's pixel density is no aspect ratio players of video read.
        {"mjpeg", "Motion JPEG", nullptr, false},
        {"prores", "ProRes", nullptr, false},
    }};
    return codecs;
}

// A container's name for a codec, and the codec's key.
struct TCodecName {
    const char *Name;
    const char *Key;
};

constexpr std::array<TCodecName, 30> AviHandlers{{
    {"AVC1", "h264"},        {"DAVC", "h264"},        {"H264", "h264"},        {"X264", "h264"},
    {"VSSH", "h264"},        {"HEVC", "hevc"},        {"H265", "hevc"},        {"HVC1", "hevc"},
    {"X265", "hevc"},        {"MPG2", "mpeg2video"},  {"MPEG", "mpeg2video"},  {"MPG1", "mpeg1video"},
    {"XVID", "mpeg4visual"}, {"DIVX", "mpeg4visual"}, {"DX50", "mpeg4visual"}, {"FMP4", "mpeg4visual"},
    {"MP4V", "mpeg4visual"}, {"3IV2", "mpeg4visual"}, {"M4S2", "mpeg4visual"}, {"VP80", "vp8"},
    {"VP90", "vp9"},         {"AV01", "av1"},         {"WVC1", "vc1"},         {"MJPG", "mjpeg"},
    {"APCN", "prores"},      {"APCH", "prores"},      {"APCS", "prores"},      {"APCO", "prores"},
    {"AP4H", "prores"},      {"AP4X", "prores"},
}};

constexpr std::array<TCodecName, 19> SampleEntries{{
    {"avc1", "h264"},   {"avc2", "h264"},        {"avc3", "h264"},   {"avc4", "h264"},   {"hvc1", "hevc"},
    {"hev1", "hevc"},   {"mp4v", "mpeg4visual"}, {"vp08", "vp8"},    {"vp09", "vp9"},    {"av01", "av1"},
    {"vc-1", "vc1"},    {"jpeg", "mjpeg"},       {"mjpa", "mjpeg"},  {"apcn", "prores"}, {"apch", "prores"},
    {"apcs", "prores"}, {"apco", "prores"},      {"ap4h", "prores"}, {"ap4x", "prores"},
}};

constexpr std::array<TCodecName, 12> MatroskaIds{{
    {"V_MPEG4/ISO/AVC", "h264"},
    {"V_MPEGH/ISO/HEVC", "hevc"},
    {"V_MPEG2", "mpeg2video"},
    {"V_MPEG1", "mpeg1video"},
    {"V_MPEG4/ISO/ASP", "mpeg4visual"},
    {"V_MPEG4/ISO/SP", "mpeg4visual"},
    {"V_MPEG4/ISO/AP", "mpeg4visual"},
    {"V_VP8", "vp8"},
    {"V_VP9", "vp9"},
    {"V_AV1", "av1"},
    {"V_MJPEG", "mjpeg"},
    {"V_PRORES", "prores"},
}};

constexpr std::array<TCodecName, 2> ConfigBoxes{{
    {"avcC", "h264"},
    {"hvcC", "hevc"},
}};

struct TStreamTypeName {
    uint8_t Type;
    const char *Key;
};

constexpr std::array<TStreamTypeName, 6> StreamTypes{{
    {0x01, "mpeg1video"},
    {0x02, "mpeg2video"},
    {0x10, "mpeg4visual"},
    {0x1B, "h264"},
    {0x24, "hevc"},
    {0xEA, "vc1"},
}};

// ISO/IEC 14496-1 Table 5 (and the MP4 registration authority's list): the visual object types.
constexpr std::array<TStreamTypeName, 9> ObjectTypes{{
    {0x20, "mpeg4visual"},
    {0x60, "mpeg2video"}, // Simple, Main, SNR, Spatial, High and 4:2:2 profiles
    {0x61, "mpeg2video"},
    {0x62, "mpeg2video"},
    {0x63, "mpeg2video"},
    {0x64, "mpeg2video"},
    {0x65, "mpeg2video"},
    {0x6A, "mpeg1video"},
    {0x6C, "mjpeg"},
}};

template <size_t N> const TCodecEntry *Find(const std::array<TCodecName, N> &names, std::string_view name) {
    auto found =
        std::find_if(names.begin(), names.end(), [&](const TCodecName &entry) { return name == entry.Name; });
    return found == names.end() ? nullptr : CodecByKey(found->Key);
}

template <size_t N> const TCodecEntry *FindType(const std::array<TStreamTypeName, N> &types, uint8_t type) {
    auto found = std::find_if(types.begin(), types.end(),
                              [&](const TStreamTypeName &entry) { return entry.Type == type; });
    return found == types.end() ? nullptr : CodecByKey(found->Key);
}

} // namespace

const TCodecEntry *CodecByKey(std::string_view key) {
    const auto &codecs = Codecs();
    auto found = std::find_if(codecs.begin(), codecs.end(),
                              [&](const TCodecEntry &entry) { return key == entry.Key; });
    return found == codecs.end() ? nullptr : &*found;
}

const TCodecEntry *AssumedCodecOfUnknownHandler() {
    return CodecByKey("h264");
}

const TCodecEntry *CodecOfAviHandler(std::string_view fourCC) {
    std::string upper(fourCC);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return Find(AviHandlers, upper);
}

const TCodecEntry *CodecOfSampleEntry(std::string_view type) {
    return Find(SampleEntries, type);
}

const TCodecEntry *CodecOfMatroskaId(std::string_view codecId) {
    return Find(MatroskaIds, codecId);
}

const char *ConfigBoxOf(const TCodecEntry &codec) {
    auto found = std::find_if(ConfigBoxes.begin(), ConfigBoxes.end(), [&](const TCodecName &entry) {
        return std::string_view(codec.Key) == entry.Key;
    });
    return found == ConfigBoxes.end() ? nullptr : found->Name;
}

const TCodecEntry *CodecOfConfigBox(std::string_view type) {
    return Find(ConfigBoxes, type);
}

const TCodecEntry *CodecOfStreamType(uint8_t streamType) {
    return FindType(StreamTypes, streamType);
}

const TCodecEntry *CodecOfObjectType(uint8_t objectType) {
    return FindType(ObjectTypes, objectType);
}

const TCodecEntry *CodecOfElementaryStream(const uint8_t *head, size_t size) {
    const std::string key = DetectElementaryCodec(head, size);
    return key.empty() ? nullptr : CodecByKey(key);
}

std::vector<const TCodec *> ReadableCodecs() {
    std::vector<const TCodec *> readable;
    for (const TCodecEntry &entry : Codecs())
        if (entry.Codec != nullptr)
            readable.push_back(entry.Codec);
    return readable;
}

const TCodec *CodecOfPesPayload(const uint8_t *bytes, size_t size) {
    for (const TCodec *codec : ReadableCodecs())
        if (codec->BeginsAccessUnit(bytes, size))
            return codec;
    return nullptr;
}
