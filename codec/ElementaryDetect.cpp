#include "ElementaryDetect.h"

#include "bitstream/uFastBitStream.h"

#include <vector>

namespace {

// The units read to judge a stream: enough for the parameter sets and a picture or two of any of these
// codecs, few enough to keep the probe cheap.
constexpr size_t JudgedUnits = 64;

// The places of the bytes behind the start codes (00 00 01) in the head, the first of which must open the
// head after nothing but zero bytes; empty when the head does not begin with a start code.
std::vector<size_t> UnitStarts(const uint8_t *head, size_t size) {
    size_t zeros = 0;
    while (zeros < size && head[zeros] == 0)
        ++zeros;
    if (zeros < 2 || zeros + 1 >= size || head[zeros] != 1)
        return {};
    std::vector<size_t> starts{zeros + 1};
    const auto limit = static_cast<int64_t>(size);
    for (int64_t end = static_cast<int64_t>(zeros) + 3; starts.size() < JudgedUnits; ++end) {
        end = FindStartCodeEnd(head, end, limit);
        if (end + 1 >= limit)
            break;
        starts.push_back(static_cast<size_t>(end + 1));
    }
    return starts;
}

// H.264 (7.4.1): a header byte of a unit type the standard defines, with nal_ref_idc as that type
// requires.
bool IsH264Header(uint8_t header) {
    if ((header & 0x80) != 0)
        return false;
    const int referenced = (header >> 5) & 3;
    switch (header & 0x1F) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 13:
    case 14:
    case 15:
    case 19:
    case 20:
    case 21:
        return true;
    case 5:
    case 7:
    case 8: // IDR slice, SPS, PPS
        return referenced != 0;
    case 6:
    case 9:
    case 10:
    case 11:
    case 12: // SEI, delimiter, end of sequence or stream, filler
        return referenced == 0;
    default: // unspecified or reserved
        return false;
    }
}

// What an H.264 stream may begin with: a delimiter, parameter sets, SEI, or a picture's slice.
bool OpensH264Stream(uint8_t header) {
    const int type = header & 0x1F;
    return type == 1 || type == 5 || type == 6 || type == 7 || type == 8 || type == 9;
}

bool IsH264Stream(const uint8_t *head, size_t size, const std::vector<size_t> &starts) {
    if (!OpensH264Stream(head[starts.front()]))
        return false;
    for (size_t start : starts)
        if (start < size && !IsH264Header(head[start]))
            return false;
    return true;
}

// HEVC (7.4.2.2): a two-byte header of a unit type the standard defines, with a layer below 63 and a
// TemporalId + 1 of at least 1.
struct THevcHeader {
    int Type = -1;
    int Layer = 0;
    int TemporalIdPlus1 = 0;
};

THevcHeader HevcHeaderAt(const uint8_t *head, size_t size, size_t at) {
    if (at + 1 >= size || (head[at] & 0x80) != 0)
        return {};
    return {(head[at] >> 1) & 0x3F, ((head[at] & 1) << 5) | (head[at + 1] >> 3), head[at + 1] & 7};
}

bool IsHevcHeader(const THevcHeader &header) {
    const int type = header.Type;
    const bool defined = (type >= 0 && type <= 9) || (type >= 16 && type <= 21) || (type >= 32 && type <= 40);
    return defined && header.Layer < 63 && header.TemporalIdPlus1 != 0;
}

// What an HEVC stream may begin with: a base-layer VPS, SPS, PPS, delimiter, SEI, or a random access
// picture of TemporalId 0.
bool OpensHevcStream(const THevcHeader &header) {
    const int type = header.Type;
    if (header.Layer != 0)
        return false;
    if (type >= 16 && type <= 21)
        return header.TemporalIdPlus1 == 1;
    return type == 32 || type == 33 || type == 34 || type == 35 || type == 39;
}

bool IsHevcStream(const uint8_t *head, size_t size, const std::vector<size_t> &starts) {
    if (!OpensHevcStream(HevcHeaderAt(head, size, starts.front())))
        return false;
    for (size_t start : starts)
        if (start + 1 < size && !IsHevcHeader(HevcHeaderAt(head, size, start)))
            return false;
    return true;
}

// MPEG-1 and MPEG-2 video (ISO/IEC 11172-2 2.4.2.3, 13818-2 6.2.2.1): a sequence header first, with a
// picture size, an aspect ratio code and a frame rate code the standards define and its marker bit set.
// A sequence extension as the next unit makes it MPEG-2.
constexpr uint8_t SequenceHeaderCode = 0xB3;
constexpr uint8_t ExtensionStartCode = 0xB5;
constexpr uint8_t SequenceExtensionId = 1;

std::string MpegVideoKey(const uint8_t *head, size_t size, const std::vector<size_t> &starts) {
    const size_t at = starts.front();
    if (head[at] != SequenceHeaderCode || at + 8 > size)
        return {};
    const uint8_t *fields = head + at + 1;
    const int width = (fields[0] << 4) | (fields[1] >> 4);
    const int height = ((fields[1] & 0x0F) << 8) | fields[2];
    const int aspectCode = fields[3] >> 4;
    const int frameRateCode = fields[3] & 0x0F;
    const bool marker = (fields[6] & 0x20) != 0;
    if (width == 0 || height == 0 || aspectCode == 0 || aspectCode == 15 || frameRateCode == 0 ||
        frameRateCode > 8 || !marker)
        return {};
    const bool extended = starts.size() > 1 && starts[1] + 1 < size &&
                          head[starts[1]] == ExtensionStartCode &&
                          (head[starts[1] + 1] >> 4) == SequenceExtensionId;
    return extended ? "mpeg2video" : "mpeg1video";
}

// MPEG-4 Part 2 (ISO/IEC 14496-2 6.2): a visual object sequence or visual object first, or a video object
// layer (of an object type Table 6-10 defines), alone or right behind the video object start code that
// carries nothing of its own.
constexpr uint8_t VisualObjectSequenceCode = 0xB0;
constexpr uint8_t VisualObjectCode = 0xB5;

bool IsVideoObjectCode(uint8_t code) {
    return code <= 0x1F;
}
bool IsVideoObjectLayerCode(uint8_t code) {
    return code >= 0x20 && code <= 0x2F;
}

constexpr int MaxVideoObjectType = 0x14;

// A video object layer header at the place: its start code, random_accessible_vol and
// video_object_type_indication.
bool IsVideoObjectLayerAt(const uint8_t *head, size_t size, size_t at) {
    if (at + 2 >= size || !IsVideoObjectLayerCode(head[at]))
        return false;
    const int objectType = ((head[at + 1] & 0x7F) << 1) | (head[at + 2] >> 7);
    return objectType >= 1 && objectType <= MaxVideoObjectType;
}

// Whether nothing but zero bytes lies between a start code value and the next start code.
bool CarriesNothing(const uint8_t *head, size_t code, size_t next) {
    for (size_t at = code + 1; at + 3 < next; ++at)
        if (head[at] != 0)
            return false;
    return true;
}

bool IsMpeg4VisualStream(const uint8_t *head, size_t size, const std::vector<size_t> &starts) {
    const uint8_t first = head[starts.front()];
    if (first == VisualObjectSequenceCode || first == VisualObjectCode)
        return true;
    if (IsVideoObjectCode(first))
        return starts.size() > 1 && CarriesNothing(head, starts[0], starts[1]) &&
               IsVideoObjectLayerAt(head, size, starts[1]);
    return IsVideoObjectLayerAt(head, size, starts.front());
}

} // namespace

std::string DetectElementaryCodec(const uint8_t *head, size_t size) {
    const std::vector<size_t> starts = UnitStarts(head, size);
    if (starts.empty())
        return {};
    // No H.264 or HEVC unit opens with a sequence header's code, and no first HEVC header is one H.264
    // allows there. MPEG-4 Part 2's video object codes share values with H.264 and HEVC headers: it comes
    // last, once every unit in the head has failed their rules (a VOP's code fails both).
    if (std::string key = MpegVideoKey(head, size, starts); !key.empty())
        return key;
    if (IsHevcStream(head, size, starts))
        return "hevc";
    if (IsH264Stream(head, size, starts))
        return "h264";
    if (IsMpeg4VisualStream(head, size, starts))
        return "mpeg4visual";
    return {};
}
