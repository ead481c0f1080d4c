#include "FormatProbe.h"

#include "base/AppTexts.h"
#include "base/FormatFacts.h"
#include "base/Messages.h"
#include "codec/CodecRegistry.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

EFileFormat::EFileFormat(TFileFormat format) : Exception(SNotARawStream), Format(format) {}

namespace {

// The bytes looked at: enough for eight packets of 204 bytes from any start in the first packet, and
// for an MXF header behind a run-in of up to 64 KiB.

class THead {
public:
    explicit THead(TStream &stream) {
        FBytes.resize(static_cast<size_t>(std::min(stream.Size(), ProbedBytes)));
        stream.Seek(0);
        stream.ReadBuffer(FBytes.data(), FBytes.size());
        stream.Seek(0);
    }

    size_t Size() const { return FBytes.size(); }
    uint8_t operator[](size_t at) const { return FBytes[at]; }
    bool Has(size_t at, std::initializer_list<uint8_t> bytes) const {
        return at + bytes.size() <= FBytes.size() &&
               std::equal(bytes.begin(), bytes.end(), FBytes.begin() + at);
    }
    bool Text(size_t at, std::string_view text) const {
        return at + text.size() <= FBytes.size() &&
               std::memcmp(FBytes.data() + at, text.data(), text.size()) == 0;
    }
    const uint8_t *Data() const { return FBytes.data(); }

private:
    std::vector<uint8_t> FBytes;
};

uint32_t BigEndian32At(const THead &head, size_t at) {
    return (uint32_t{head[at]} << 24) | (uint32_t{head[at + 1]} << 16) | (uint32_t{head[at + 2]} << 8) |
           head[at + 3];
}

bool IsIsoBaseMedia(const THead &head) {
    for (std::string_view box : {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot"})
        if (head.Text(4, box))
            return true;
    // A media segment of a fragmented stream (DASH, CMAF) begins with its type (styp), an index (sidx) or
    // its first fragment. A raw stream can begin 00 00 00 01 and a NAL unit whose bytes read "moof": these
    // need a box size that is no start code.
    for (std::string_view box : {"styp", "sidx", "moof"})
        if (head.Text(4, box) && head.Size() >= 8 && BigEndian32At(head, 0) >= 8)
            return true;
    return false;
}

// The DocType of an EBML header: Matroska or WebM. Element IDs keep their length marker; sizes are
// variable-length numbers of 1 to 8 bytes.
TFileFormat EbmlDocType(const THead &head) {
    auto readSize = [&](size_t &at, uint64_t &value) {
        if (at >= head.Size() || head[at] == 0)
            return false;
        int length = 1;
        while ((head[at] & (0x80 >> (length - 1))) == 0)
            ++length;
        if (at + length > head.Size())
            return false;
        value = head[at] & (0xFF >> length);
        for (int i = 1; i < length; ++i)
            value = (value << 8) | head[at + i];
        at += length;
        return true;
    };
    size_t at = 4;
    uint64_t headerSize = 0;
    if (!readSize(at, headerSize))
        return TFileFormat::Matroska;
    const size_t end = static_cast<size_t>(std::min<uint64_t>(head.Size(), at + headerSize));
    while (at + 2 < end) {
        const bool docType = head.Has(at, {0x42, 0x82});
        // IDs inside the EBML header are one or two bytes long.
        at += (head[at] & 0x80) != 0 ? 1 : 2;
        uint64_t size = 0;
        if (!readSize(at, size) || size > end - at)
            break;
        if (docType)
            return head.Text(at, "webm") ? TFileFormat::WebM : TFileFormat::Matroska;
        at += static_cast<size_t>(size);
    }
    return TFileFormat::Matroska;
}

// A program stream begins with a pack header (00 00 01 BA), a system header (BB) or a PES packet (BC..FF),
// maybe behind a zero byte. None of these codes can begin an H.264 NAL unit (whose first bit is 0), so a
// file that begins with one is no raw stream, whatever follows.
bool IsProgramStream(const THead &head) {
    const size_t at = head.Has(0, {0x00}) && head.Has(1, {0x00, 0x00, 0x01}) ? 1 : 0;
    return head.Has(at, {0x00, 0x00, 0x01}) && at + 3 < head.Size() && head[at + 3] >= 0xB9;
}

// Sync bytes 0x47 at a stride of packetSize from some place in the first packet, with an adaptation
// field or payload announced behind each: at three quarters of the (up to sixteen) packets the bytes hold,
// so that a damaged packet near the start does not hide a transport stream. The file may begin inside a
// packet.
bool HasPacketStride(const THead &head, size_t packetSize, size_t syncAt) {
    constexpr size_t Looked = 16;
    const bool beginsWithStartCode = head.Has(0, {0x00, 0x00, 0x01}) || head.Has(0, {0x00, 0x00, 0x00, 0x01});
    for (size_t start = 0; start < packetSize && start < head.Size(); ++start) {
        if (head[start] != 0x47)
            continue;
        size_t packets = 0;
        size_t synced = 0;
        for (size_t at = start; at < head.Size() && packets < Looked; at += packetSize, ++packets) {
            const bool header = at + 4 <= head.Size() ? (head[at + 3] & 0x30) != 0 : true;
            synced += head[at] == 0x47 && header;
        }
        // Two or three sync bytes may lie in a short raw stream by chance; one that begins with a start
        // code needs four to be taken for packets.
        const size_t needed = std::max<size_t>(beginsWithStartCode ? 4 : 2, (3 * packets + 3) / 4);
        if (synced >= needed && packets >= 2)
            return true;
        if (packets == 1 && start == syncAt && synced == 1)
            return true;
    }
    return false;
}

// Packets behind more than a packet of something else (a capture that begins with other data): a run of
// sync bytes at the stride, each with an adaptation field or payload announced behind it. Eight in a row
// among the bytes of a raw stream would be chance of about 2^-64 at each place.
bool HasPacketRun(const THead &head, size_t packetSize) {
    constexpr size_t Run = 8;
    const size_t span = (Run - 1) * packetSize + 4;
    for (size_t start = packetSize; start + span <= head.Size(); ++start) {
        const void *sync = std::memchr(head.Data() + start, 0x47, head.Size() - span + 1 - start);
        if (sync == nullptr)
            return false;
        start = static_cast<size_t>(static_cast<const uint8_t *>(sync) - head.Data());
        size_t synced = 0;
        while (synced < Run && head[start + synced * packetSize] == 0x47 &&
               (head[start + synced * packetSize + 3] & 0x30) != 0)
            ++synced;
        if (synced == Run)
            return true;
    }
    return false;
}

bool IsMxf(const THead &head) {
    static constexpr std::array<uint8_t, 11> PartitionKey{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05,
                                                          0x01, 0x01, 0x0D, 0x01, 0x02};
    const uint8_t *begin = head.Data();
    const uint8_t *end = begin + head.Size();
    return std::search(begin, end, PartitionKey.begin(), PartitionKey.end()) != end;
}

TFileFormat ElementaryFormatOf(const TCodecEntry &codec) {
    for (const TFormatFacts &facts : AllFormatFacts())
        for (const char *key : facts.CodecKeys)
            if (key != nullptr && std::string_view(key) == codec.Key)
                return facts.Format;
    return TFileFormat::Unknown;
}

} // namespace

TFileFormat DetectFormat(TStream &stream) {
    const THead head(stream);
    if (head.Text(0, "RIFF"))
        return TFileFormat::Avi;
    if (IsIsoBaseMedia(head))
        return TFileFormat::Mp4;
    if (head.Has(0, {0x1A, 0x45, 0xDF, 0xA3}))
        return EbmlDocType(head);
    if (head.Has(0, {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE,
                     0x6C}))
        return TFileFormat::Asf;
    if (head.Text(0, std::string_view("nut/multimedia container\0", 25)))
        return TFileFormat::Nut;
    if (head.Text(0, "FLV") && head.Size() > 3 && head[3] == 0x01)
        return TFileFormat::Flv;
    if (IsProgramStream(head))
        return TFileFormat::MpegPs;
    if (HasPacketStride(head, 188, 0))
        return TFileFormat::MpegTs;
    if (HasPacketStride(head, 192, 4))
        return TFileFormat::M2ts;
    if (HasPacketStride(head, 204, 0))
        return TFileFormat::MpegTs204;
    if (IsMxf(head))
        return TFileFormat::Mxf;
    if (HasPacketRun(head, 188))
        return TFileFormat::MpegTs;
    if (HasPacketRun(head, 192))
        return TFileFormat::M2ts;
    if (HasPacketRun(head, 204))
        return TFileFormat::MpegTs204;
    const TCodecEntry *elementary = CodecOfElementaryStream(head.Data(), head.Size());
    return elementary != nullptr ? ElementaryFormatOf(*elementary) : TFileFormat::Unknown;
}

const TCodecEntry *ElementaryCodecOf(TFileFormat format) {
    const char *key = FormatFactsOf(format).CodecKeys[0];
    return key != nullptr ? CodecByKey(key) : nullptr;
}

std::string NotReadAsText(TFileFormat format, TFileFormat readAs) {
    if (ElementaryCodecOf(format) != nullptr && IsScannable(format))
        return Format(SStreamOfAnotherCodec, FormatNameWithArticle(format), FormatNameWithArticle(readAs));
    return FormatNotReadText(format, readAs);
}

bool IsScannable(TFileFormat format) {
    if (const TCodecEntry *elementary = ElementaryCodecOf(format))
        return elementary->Codec != nullptr;
    switch (format) {
    case TFileFormat::Avi:
    case TFileFormat::Mp4:
    case TFileFormat::Matroska:
    case TFileFormat::WebM:
    case TFileFormat::MpegTs:
    case TFileFormat::M2ts:
    case TFileFormat::MpegTs204:
    case TFileFormat::MpegPs:
        return true;
    default:
        return false;
    }
}
