#pragma once

// The packet layer of MPEG transport streams: finding the packets in a file (sync bytes at the stride of
// 188, 192 or 204 bytes, found again where they are lost), what each packet's header and adaptation
// field say, and whether a PID's packets follow each other by their continuity counters.

#include "base/Streams.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

constexpr int TsPacketBytes = 188;
constexpr uint8_t TsSyncByte = 0x47;
constexpr uint16_t TsNullPid = 0x1FFF;

// What the first bytes of a packet say.
struct TTsPacketHeader {
    uint16_t Pid = 0;
    bool Damaged = false;   // transport_error_indicator
    bool UnitStart = false; // payload_unit_start_indicator
    bool Scrambled = false; // transport_scrambling_control other than 0
    int Counter = 0;        // continuity_counter
    bool Reserved = false;  // adaptation_field_control 0: the packet is passed over
    bool HasPayload = false;
    bool AdaptationPastPacket = false; // the adaptation field claims more bytes than the packet holds
    bool Discontinuity = false;        // discontinuity_indicator
    int PayloadAt = 4;                 // where the payload begins in the packet
};
TTsPacketHeader ReadTsPacketHeader(const uint8_t *packet);

// Whether the packets of one PID follow each other: the counter of the last packet with payload (-1
// before the first, or after the PID's packets may have been lost), a discontinuity announced by a packet
// without payload, and where the last payload lay, to tell a packet sent twice.
class TTsContinuity {
public:
    enum class TStep : uint8_t {
        First,     // no packet before it to follow
        InStep,    // the counter after the last
        Same,      // the counter of the last: the packet sent twice, if its payload is the same
        Jumped,    // packets are missing
        Announced, // a discontinuity, announced: the counter starts anew
    };

    TStep Follow(int counter, bool discontinuity) const;
    // The common case without a look at anything else: in step and nothing announced.
    bool InStep(int counter) const {
        return FLast >= 0 && !FDiscontinuityPending && counter == ((FLast + 1) & 0x0F);
    }
    // The packet with payload is read.
    void Take(int counter, int64_t payloadOffset, int payloadLength) {
        FDiscontinuityPending = false;
        FLast = counter;
        FLastPayloadOffset = payloadOffset;
        FLastPayloadLength = payloadLength;
    }
    // A packet without payload announces a discontinuity: the next packet with payload begins it.
    void Announce() { FDiscontinuityPending = true; }
    // Packets may have been lost: the next one begins anew.
    void Restart() {
        FLast = -1;
        FDiscontinuityPending = false;
    }
    int Last() const { return FLast; }
    int64_t LastPayloadOffset() const { return FLastPayloadOffset; }
    int LastPayloadLength() const { return FLastPayloadLength; }

private:
    int FLast = -1;
    bool FDiscontinuityPending = false;
    int64_t FLastPayloadOffset = -1;
    int FLastPayloadLength = 0;
};

// The packets of a file, in order, through a buffer of many packets.
class TTsPacketReader {
public:
    struct TStep {
        enum class TKind : uint8_t {
            Packet,   // a packet at Offset, whose bytes Packet points to (until the next step)
            Skipped,  // the bytes from Offset to End are no packets (in front of the first one, or the end)
            SyncLost, // the sync bytes are not where the stride says at Offset: the packets go on at End
            CutShort, // the last packet, at Offset, is cut short by the end of the file
            End,
        };
        TKind Kind = TKind::End;
        const uint8_t *Packet = nullptr;
        int64_t Offset = 0;
        int64_t End = 0;
        // Packet: false when no start code (00 00 01) lies wholly among its bytes. What the reader holds (a
        // block the stream lends, or its buffer) is searched whole as it comes, many times faster than each
        // payload on its own; a start code split between two packets' payloads is not seen there and is
        // left to whoever reads them in turn.
        bool StartCodeInside = true;
    };

    // progress is told how far the file is read, each time the reader gets more of it.
    TTsPacketReader(TStream &stream, int64_t stride, std::function<void(int64_t, int64_t)> progress);

    TStep Next();
    // Whether the file holds the bytes at offset (read before).
    bool Holds(int64_t offset, const uint8_t *bytes, int count);

private:
    // The bytes [from, from + count) if they are held, lent or in the buffer; null if not.
    const uint8_t *Held(int64_t from, int64_t count) const;
    // Makes them held, and more behind them as far as it can.
    const uint8_t *Fill(int64_t from, int64_t count);
    void Load(int64_t from, int64_t count = std::numeric_limits<int64_t>::max());
    // Where the start codes among the bytes held end (the file offset of each one's last byte), in order.
    void FindStartCodes(const uint8_t *bytes, int64_t offset, int64_t count);
    int64_t FindSync(int64_t from);
    bool SyncsFrom(int64_t at, int &found) const;

    TStream &FStream;
    const int64_t FStride;
    const int64_t FSize;
    std::function<void(int64_t, int64_t)> FProgress;
    // The bytes held: lent by the stream, or else read into the buffer.
    TLentBytes FLent;
    int64_t FLentStart = 0;
    bool FStreamLends = false; // it has lent before
    std::vector<uint8_t> FBuffer;
    int64_t FBufferStart = 0;
    int64_t FBufferEnd = 0;
    int64_t FPosition = -1; // of the next packet; -1 before the first is looked for
    std::vector<int64_t> FStartCodeEnds;
    size_t FNextStartCode = 0; // the first of them not in front of the packet last stepped to
};
