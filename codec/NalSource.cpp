#include "NalSource.h"

#include "Codec.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>

namespace {

// The same for a codec whose units lie behind start codes without emulation prevention: only a start code
// ends a unit (00 00 02 and runs of zeros are syntax), and zero bytes in front of it, which may be the
// last bits of the unit's syntax as well as stuffing, stay with the unit.
int64_t FindStartCodeUnitEnd(const uint8_t *bytes, int64_t count, bool atEnd, const TCodec &codec) {
    for (int64_t i = 1; i + 2 < count; ++i) {
        if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1)
            continue;
        if (i + 3 >= count)
            return atEnd ? i : -1;
        if (!codec.ContinuesUnit(bytes[i + 3]))
            return i;
        i += 3;
    }
    return atEnd ? count : -1;
}

} // namespace

int64_t FindUnitEnd(const uint8_t *bytes, int64_t count, bool atEnd, const TCodec *codec) {
    if (codec != nullptr && codec->Framing() == TUnitFraming::StartCodes)
        return FindStartCodeUnitEnd(bytes, count, atEnd, *codec);
    int64_t end = -1;
    for (int64_t i = 1; i + 2 < count; ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] <= 2) {
            end = i;
            break;
        }
    if (end < 0) {
        if (!atEnd)
            return -1;
        end = count;
    }
    while (end > 1 && bytes[end - 1] == 0)
        --end;
    return end;
}

namespace {

// Whether the bytes hold the end of the unit that begins with them, before the last of them.
bool EndsInside(const std::vector<uint8_t> &bytes, const TCodec *codec) {
    return FindUnitEnd(bytes.data(), static_cast<int64_t>(bytes.size()), false, codec) >= 0;
}

} // namespace

bool TAnnexBSource::Next() {
    while (FReader.SeekNextStartCode()) {
        FStart = FReader.Position();
        if (FReader.ReadRaw(&FHeader, 1) == 1)
            return true;
    }
    return false;
}

// Reads a little first, as most units that are read (SPS) are short, and more while no end shows.
TNalUnitBytes TAnnexBSource::ReadUnit(int64_t limit) {
    TNalUnitBytes unit;
    FReader.SetPosition(FStart, 0);
    int64_t wanted = std::min<int64_t>(64, limit);
    bool atEnd = false;
    for (;;) {
        size_t had = unit.Bytes.size();
        unit.Bytes.resize(static_cast<size_t>(wanted));
        int64_t copied = FReader.ReadRaw(unit.Bytes.data() + had, wanted - static_cast<int64_t>(had));
        unit.Bytes.resize(had + static_cast<size_t>(copied));
        atEnd = static_cast<int64_t>(unit.Bytes.size()) < wanted;
        if (atEnd || wanted == limit || EndsInside(unit.Bytes, FCodec))
            break;
        wanted = std::min(limit, wanted * 4);
    }
    // Cut at the limit with no end in sight, the unit is longer than the bytes taken.
    unit.Complete = atEnd || EndsInside(unit.Bytes, FCodec);
    int64_t end = FindUnitEnd(unit.Bytes.data(), static_cast<int64_t>(unit.Bytes.size()), true, FCodec);
    unit.Bytes.resize(static_cast<size_t>(end));
    FReader.SetPosition(FStart + end, 0);
    return unit;
}

// The whole start code lies in the range: its 01 at least two bytes behind the range start.
bool TAnnexBBytes::Next() {
    const int64_t from = std::max(FPosition, FRangeStart + 2);
    if (from >= FEnd) {
        FPosition = std::max(FPosition, FEnd);
        return false;
    }
    const int64_t found = FRangeStart + FindStartCodeEnd(FBytes, from - FRangeStart, FEnd - FRangeStart);
    // A start code at the very end has no unit behind it.
    if (found + 1 >= FEnd) {
        FPosition = FEnd;
        return false;
    }
    FStart = found + 1;
    FHeader = FBytes[FStart - FRangeStart];
    FPosition = FStart + 1;
    return true;
}

// As TAnnexBSource::ReadUnit takes it: a unit cut at the limit is complete only when its end shows
// within the bytes taken, and one cut by the range end is complete.
TNalUnitBytes TAnnexBBytes::ReadUnit(int64_t limit) {
    TNalUnitBytes unit;
    const uint8_t *bytes = FBytes + (FStart - FRangeStart);
    const int64_t available = FEnd - FStart;
    const int64_t count = std::min(limit, available);
    unit.Complete = available < limit || FindUnitEnd(bytes, count, false, FCodec) >= 0;
    const int64_t end = FindUnitEnd(bytes, count, true, FCodec);
    unit.Bytes.assign(bytes, bytes + end);
    FPosition = FStart + end;
    return unit;
}

TLengthPrefixedSource::TLengthPrefixedSource(TStream &stream, int64_t start, int64_t end, int lengthSize)
    : FStream(stream), FNext(start), FEnd(end), FLengthSize(lengthSize) {}

bool TLengthPrefixedSource::Next() {
    FOverrun = false;
    uint8_t head[5];
    const int64_t headSize = FLengthSize + 1;
    int64_t length = 0;
    // Empty units (a length of 0) hold nothing to read: the next length follows at once.
    while (length == 0) {
        if (FNext >= FEnd)
            return false;
        if (FEnd - FNext < FLengthSize) {
            FOverrun = true;
            return false;
        }
        FStream.Seek(FNext);
        FStream.ReadBuffer(head, static_cast<size_t>(std::min(headSize, FEnd - FNext)));
        for (int i = 0; i < FLengthSize; ++i)
            length = (length << 8) | head[i];
        if (length == 0)
            FNext += FLengthSize;
    }
    if (length > FEnd - FNext - FLengthSize) {
        FOverrun = true;
        return false;
    }
    FStart = FNext + FLengthSize;
    FLength = length;
    FHeader = head[FLengthSize];
    FNext = FStart + length;
    return true;
}

TNalUnitBytes TLengthPrefixedSource::ReadUnit(int64_t limit) {
    TNalUnitBytes unit;
    unit.Complete = FLength <= limit;
    unit.Bytes.resize(static_cast<size_t>(std::min(FLength, limit)));
    FStream.Seek(FStart);
    FStream.ReadBuffer(unit.Bytes.data(), unit.Bytes.size());
    return unit;
}
