#include "Mp4Esds.h"

#include "base/Exceptions.h"
#include "base/Messages.h"

namespace {

constexpr uint8_t EsDescriptorTag = 0x03;
constexpr uint8_t DecoderConfigTag = 0x04;
constexpr uint8_t DecoderSpecificTag = 0x05;
// objectTypeIndication, streamType and its flags, bufferSizeDB, maxBitrate, avgBitrate.
constexpr int64_t DecoderConfigFields = 13;

// One descriptor: its tag, then its size in up to four bytes of seven bits each, then its payload.
struct TDescriptor {
    uint8_t Tag = 0;
    int64_t Data = 0;
    int64_t End = 0;
};

TDescriptor ReadDescriptor(const uint8_t *bytes, int64_t at, int64_t end) {
    TDescriptor descriptor;
    if (at >= end)
        throw Exception(Format(SEsdsDamaged, at));
    descriptor.Tag = bytes[at++];
    int64_t size = 0;
    for (int i = 0;; ++i) {
        if (at >= end || i == 4)
            throw Exception(Format(SEsdsDamaged, at));
        const uint8_t byte = bytes[at++];
        size = (size << 7) | (byte & 0x7F);
        if ((byte & 0x80) == 0)
            break;
    }
    if (size > end - at)
        throw Exception(Format(SEsdsDamaged, at));
    descriptor.Data = at;
    descriptor.End = at + size;
    return descriptor;
}

} // namespace

TEsds ReadEsds(const uint8_t *bytes, size_t size) {
    const auto end = static_cast<int64_t>(size);
    const TDescriptor es = ReadDescriptor(bytes, 4, end);
    if (es.Tag != EsDescriptorTag || es.End - es.Data < 3)
        throw Exception(Format(SEsdsDamaged, int64_t{4}));
    // ES_ID, then the flags of the optional fields that follow.
    const uint8_t flags = bytes[es.Data + 2];
    int64_t at = es.Data + 3;
    if ((flags & 0x80) != 0) // streamDependenceFlag: dependsOn_ES_ID
        at += 2;
    if ((flags & 0x40) != 0 && at < es.End) // URL_Flag: URLlength and the URL
        at += 1 + bytes[at];
    if ((flags & 0x20) != 0) // OCRstreamFlag: OCR_ES_Id
        at += 2;
    for (; at < es.End;) {
        const TDescriptor child = ReadDescriptor(bytes, at, es.End);
        at = child.End;
        if (child.Tag != DecoderConfigTag)
            continue;
        if (child.End - child.Data < DecoderConfigFields)
            throw Exception(Format(SEsdsDamaged, child.Data));
        TEsds esds;
        esds.ObjectType = bytes[child.Data];
        for (int64_t inner = child.Data + DecoderConfigFields; inner < child.End;) {
            const TDescriptor specific = ReadDescriptor(bytes, inner, child.End);
            inner = specific.End;
            if (specific.Tag == DecoderSpecificTag) {
                esds.SpecificInfoOffset = specific.Data;
                esds.SpecificInfoSize = specific.End - specific.Data;
                break;
            }
        }
        return esds;
    }
    throw Exception(Format(SEsdsDamaged, at));
}
