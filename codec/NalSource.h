#pragma once

// Finding NAL units, apart from reading their syntax: behind start codes (Annex B byte streams: raw
// streams, AVI chunks, transport streams) or behind length prefixes (MP4 samples, Matroska frames). The
// units of MPEG video lie behind start codes too; some of them run on over the start codes of what
// belongs to them (TCodec::ContinuesUnit), which the sources below are told by the codec they are given.

#include "base/Streams.h"

#include <cstdint>
#include <vector>

class TCodec;
class TFastBitstream;

// The bytes of one NAL unit as they lie in the stream, header byte first, emulation-prevention bytes
// kept. Complete is false when only the first bytes of a longer unit were taken.
struct TNalUnitBytes {
    std::vector<uint8_t> Bytes;
    bool Complete = true;
};

// The NAL units of an Annex B byte stream inside the reader's range.
class TAnnexBSource {
public:
    // codec: whose units run on over some start codes; null for NAL units.
    explicit TAnnexBSource(TFastBitstream &reader, const TCodec *codec = nullptr)
        : FReader(reader), FCodec(codec) {}

    // Moves to the next NAL unit: false when no start code with a byte behind it is left in the range.
    bool Next();
    // Stream position of the unit's header byte, and the header byte.
    int64_t Start() const { return FStart; }
    uint8_t Header() const { return FHeader; }
    // The unit's bytes from its header byte up to the next start code or the range end, at most limit of
    // them; the search for the next unit goes on behind them.
    TNalUnitBytes ReadUnit(int64_t limit);

private:
    TFastBitstream &FReader;
    const TCodec *FCodec;
    int64_t FStart = 0;
    uint8_t FHeader = 0;
};

// The NAL units of an Annex B byte stream whose bytes are in memory: the units a TAnnexBSource finds in a
// reader's range over the same bytes, at the same places and with the same bytes, without a reader.
class TAnnexBBytes {
public:
    // bytes[0] is the byte at stream position start; the range ends at end.
    TAnnexBBytes(const uint8_t *bytes, int64_t start, int64_t end, const TCodec *codec = nullptr)
        : FBytes(bytes), FRangeStart(start), FEnd(end), FPosition(start), FCodec(codec) {}

    bool Next();
    int64_t Start() const { return FStart; }
    uint8_t Header() const { return FHeader; }
    TNalUnitBytes ReadUnit(int64_t limit);

private:
    const uint8_t *FBytes;
    int64_t FRangeStart;
    int64_t FEnd;
    int64_t FPosition;
    const TCodec *FCodec;
    int64_t FStart = 0;
    uint8_t FHeader = 0;
};

// The NAL units of an area in which each unit follows its length: lengthSize bytes (1, 2 or 4),
// most significant first.
class TLengthPrefixedSource {
public:
    TLengthPrefixedSource(TStream &stream, int64_t start, int64_t end, int lengthSize);

    // Moves to the next unit: false at the end of the area, or when the next length or unit does not fit
    // in what is left of it (Overrun then tells).
    bool Next();
    int64_t Start() const { return FStart; }
    int64_t Length() const { return FLength; }
    uint8_t Header() const { return FHeader; }
    // The length at Overrun's place claimed more bytes than the area holds.
    bool Overrun() const { return FOverrun; }
    int64_t OverrunAt() const { return FNext; }
    TNalUnitBytes ReadUnit(int64_t limit);

private:
    TStream &FStream;
    int64_t FNext;
    int64_t FEnd;
    int FLengthSize;
    int64_t FStart = 0;
    int64_t FLength = 0;
    uint8_t FHeader = 0;
    bool FOverrun = false;
};

// Where a unit ends among bytes that begin with its header byte: before the first 00 00 00, 00 00 01 or
// 00 00 02 (a start code or zero bytes in front of one), or at count; trailing zero bytes are not part of
// it. The units of a codec framed by start codes alone (codec not null) end right before the 00 00 01 of
// the next start code over which they do not run on, zero bytes in front of it kept, and nowhere else. -1
// when neither is found among the bytes and more may follow (atEnd false).
int64_t FindUnitEnd(const uint8_t *bytes, int64_t count, bool atEnd, const TCodec *codec = nullptr);
