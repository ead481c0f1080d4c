#include "TsPackets.h"

#include "bitstream/uFastBitStream.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// After lost sync, a sync byte counts when this many more follow at the packet stride (as far as the
// file goes): one 0x47 among other bytes is common, four at the stride are not.
constexpr int ResyncPackets = 3;
// Packets read at once: more than 1 MiB, which the file stream reads without copying it twice.
constexpr int64_t BufferPackets = 8192;

} // namespace

TTsPacketHeader ReadTsPacketHeader(const uint8_t *packet) {
    TTsPacketHeader header;
    header.Pid = static_cast<uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
    header.Damaged = (packet[1] & 0x80) != 0;
    header.UnitStart = (packet[1] & 0x40) != 0;
    header.Scrambled = (packet[3] & 0xC0) != 0;
    header.Counter = packet[3] & 0x0F;
    const int control = (packet[3] >> 4) & 3;
    header.Reserved = control == 0;
    header.HasPayload = (control & 1) != 0;
    if ((control & 2) != 0) {
        const int length = packet[4];
        header.AdaptationPastPacket = length > (control == 3 ? TsPacketBytes - 6 : TsPacketBytes - 5);
        header.Discontinuity = !header.AdaptationPastPacket && length > 0 && (packet[5] & 0x80) != 0;
        header.PayloadAt = header.AdaptationPastPacket ? TsPacketBytes : 5 + length;
    }
    return header;
}

TTsContinuity::TStep TTsContinuity::Follow(int counter, bool discontinuity) const {
    if (FLast < 0)
        return TStep::First;
    if (discontinuity || FDiscontinuityPending)
        return TStep::Announced;
    if (counter == FLast)
        return TStep::Same;
    return counter == ((FLast + 1) & 0x0F) ? TStep::InStep : TStep::Jumped;
}

TTsPacketReader::TTsPacketReader(TStream &stream, int64_t stride,
                                 std::function<void(int64_t, int64_t)> progress)
    : FStream(stream), FStride(stride), FSize(stream.Size()), FProgress(std::move(progress)) {
    FBuffer.resize(static_cast<size_t>(FStride * BufferPackets));
}

TTsPacketReader::TStep TTsPacketReader::Next() {
    using TKind = TStep::TKind;
    if (FPosition < 0) {
        FPosition = FindSync(0);
        // In a 192-byte stream the first packet's time code lies in front of its sync byte.
        const int64_t skipped = std::max<int64_t>(0, FPosition - (FStride == 192 ? 4 : 0));
        if (skipped > 0)
            return {TKind::Skipped, nullptr, 0, skipped};
    }
    const int64_t at = FPosition;
    if (at >= FSize)
        return {TKind::End, nullptr, at, at};
    if (at + TsPacketBytes > FSize) {
        const uint8_t *rest = Held(at, 1);
        if (rest == nullptr)
            rest = Fill(at, FSize - at);
        FPosition = FSize;
        if (rest[0] == TsSyncByte)
            return {TKind::CutShort, nullptr, at, FSize};
        return {TKind::Skipped, nullptr, at, FSize};
    }
    // The packet is held with the sync byte of the packet behind it (a packet cut short in the file shows
    // as a missing sync byte there), where the file has room for one.
    const int64_t next = at + FStride;
    const int64_t need = std::min(next + 1, FSize) - at;
    const uint8_t *packet = Held(at, need);
    if (packet == nullptr)
        packet = Fill(at, need);
    if (packet[0] != TsSyncByte || (FSize - next >= TsPacketBytes && packet[FStride] != TsSyncByte)) {
        FPosition = FindSync(at + 1);
        return {TKind::SyncLost, nullptr, at, FPosition};
    }
    FPosition = next;
    while (FNextStartCode < FStartCodeEnds.size() && FStartCodeEnds[FNextStartCode] < at)
        ++FNextStartCode;
    const bool startCodeInside =
        FNextStartCode < FStartCodeEnds.size() && FStartCodeEnds[FNextStartCode] < at + TsPacketBytes;
    return {TKind::Packet, packet, at, next, startCodeInside};
}

bool TTsPacketReader::Holds(int64_t offset, const uint8_t *bytes, int count) {
    if (const uint8_t *held = Held(offset, count))
        return std::memcmp(held, bytes, static_cast<size_t>(count)) == 0;
    std::array<uint8_t, TsPacketBytes> before{};
    FStream.Seek(offset);
    FStream.ReadBuffer(before.data(), static_cast<size_t>(count));
    return std::memcmp(before.data(), bytes, static_cast<size_t>(count)) == 0;
}

const uint8_t *TTsPacketReader::Held(int64_t from, int64_t count) const {
    if (FLent)
        return from >= FLentStart && from + count <= FLentStart + FLent.Count
                   ? FLent.Bytes + (from - FLentStart)
                   : nullptr;
    return from >= FBufferStart && from + count <= FBufferEnd ? FBuffer.data() + (from - FBufferStart)
                                                              : nullptr;
}

// What the stream lends is read without a copy: a block read ahead, most often. A packet that lies across
// the end of what it lends is copied into the buffer on its own; a stream that lends nothing fills the
// buffer whole.
const uint8_t *TTsPacketReader::Fill(int64_t from, int64_t count) {
    TLentBytes lent = FStream.Lend(from, static_cast<size_t>(count), 0);
    if (!lent || lent.Count < count) {
        if (FStreamLends)
            Load(from, count);
        else
            Load(from);
        return FBuffer.data();
    }
    FStreamLends = true;
    FLent = std::move(lent);
    FLentStart = from;
    FindStartCodes(FLent.Bytes, FLentStart, FLent.Count);
    if (FProgress)
        FProgress(FLentStart + FLent.Count, FSize);
    return FLent.Bytes;
}

// The buffer from offset from on, filled with count bytes or as far as it and the file go; bytes it holds
// already are kept.
void TTsPacketReader::Load(int64_t from, int64_t count) {
    FLent = {};
    int64_t kept = 0;
    if (from >= FBufferStart && from < FBufferEnd) {
        kept = FBufferEnd - from;
        std::memmove(FBuffer.data(), FBuffer.data() + (from - FBufferStart), static_cast<size_t>(kept));
    }
    FBufferStart = from;
    FBufferEnd = from + kept;
    const int64_t wanted = std::min(count, static_cast<int64_t>(FBuffer.size()));
    const int64_t more = std::min(wanted - kept, FSize - FBufferEnd);
    if (more > 0) {
        FStream.Seek(FBufferEnd);
        FStream.ReadBuffer(FBuffer.data() + kept, static_cast<size_t>(more));
        FBufferEnd += more;
    }
    FindStartCodes(FBuffer.data(), FBufferStart, FBufferEnd - FBufferStart);
    if (FProgress)
        FProgress(FBufferEnd, FSize);
}

void TTsPacketReader::FindStartCodes(const uint8_t *bytes, int64_t offset, int64_t count) {
    FStartCodeEnds.clear();
    FNextStartCode = 0;
    for (int64_t at = 2; (at = FindStartCodeEnd(bytes, at, count)) < count; ++at)
        FStartCodeEnds.push_back(offset + at);
}

// Whether packets begin at the stride from at on, as far as ResyncPackets more and the file go: a sync
// byte each, and behind it an adaptation field or payload announced (never neither, which a run of 0x47
// bytes would give). found tells how many were looked at. The buffer holds them.
bool TTsPacketReader::SyncsFrom(int64_t at, int &found) const {
    found = 0;
    for (int k = 0; k <= ResyncPackets; ++k) {
        const int64_t place = at + k * FStride;
        if (place + 4 > FSize)
            break;
        const uint8_t *packet = FBuffer.data() + (place - FBufferStart);
        if (packet[0] != TsSyncByte || (packet[3] & 0x30) == 0)
            return false;
        ++found;
    }
    return true;
}

// The first place from offset from on where packets begin: a sync byte with more behind it at the
// stride. A lone sync byte only counts for a file that has room for no more than one packet. The file's
// size when there is none.
int64_t TTsPacketReader::FindSync(int64_t from) {
    // Room behind a candidate: the sync bytes looked at, and in a 192-byte stream four bytes more, for
    // a sync byte in the time code in front of the real one.
    const int64_t window = ResyncPackets * FStride + 8;
    int64_t at = from;
    while (at < FSize) {
        if (at < FBufferStart || std::min(at + window, FSize) > FBufferEnd)
            Load(at);
        const int64_t limit = FBufferEnd == FSize ? FSize : FBufferEnd - window;
        const auto *begin = FBuffer.data() + (at - FBufferStart);
        const void *sync = std::memchr(begin, TsSyncByte, static_cast<size_t>(limit - at));
        if (sync == nullptr) {
            at = limit;
            continue;
        }
        const int64_t candidate = at + (static_cast<const uint8_t *>(sync) - begin);
        int found = 0;
        const bool synced = SyncsFrom(candidate, found);
        const bool lone = found == 1 && from == 0 && candidate < FStride;
        if (synced && (found >= 2 || lone)) {
            if (FStride == 192)
                for (int64_t later = candidate + 4; later > candidate; --later) {
                    int laterFound = 0;
                    if (later < FSize && SyncsFrom(later, laterFound) && laterFound >= found)
                        return later;
                }
            return candidate;
        }
        at = candidate + 1;
    }
    return FSize;
}
