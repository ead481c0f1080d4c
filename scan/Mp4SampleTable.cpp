#include "Mp4SampleTable.h"

#include <algorithm>

namespace {

// What one read of a table brings in.
constexpr int64_t BufferBytes = 16 * 1024;

} // namespace

uint64_t BigEndianAt(const uint8_t *bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

TTableReader::TTableReader(TStream &stream, int64_t start, int64_t count, int entryBytes)
    : FStream(&stream), FStart(start), FCount(count), FEntryBytes(entryBytes) {}

uint64_t TTableReader::Read(int offset, int bytes) {
    if (AtEnd() || offset + bytes > FEntryBytes)
        return 0;
    if (FIndex < FBufferFirst || FIndex >= FBufferFirst + FBufferCount) {
        FBufferFirst = FIndex;
        FBufferCount = std::min(FCount - FIndex, std::max<int64_t>(1, BufferBytes / FEntryBytes));
        FBuffer.resize(static_cast<size_t>(FBufferCount * FEntryBytes));
        FStream->Seek(FStart + FIndex * FEntryBytes);
        FStream->ReadBuffer(FBuffer.data(), FBuffer.size());
    }
    const size_t at = static_cast<size_t>((FIndex - FBufferFirst) * FEntryBytes + offset);
    return BigEndianAt(FBuffer.data() + at, bytes);
}

TSampleSizes TSampleSizes::Fixed(uint32_t sampleSize, int64_t count) {
    TSampleSizes sizes;
    sizes.FCount = count;
    sizes.FFixed = sampleSize;
    return sizes;
}

TSampleSizes TSampleSizes::Table(TStream &stream, int64_t start, int64_t count, int fieldBits) {
    TSampleSizes sizes;
    sizes.FCount = count;
    sizes.FFieldBits = fieldBits;
    // Four-bit fields come two to a byte: the table is read byte by byte.
    const int entryBytes = fieldBits == 4 ? 1 : fieldBits / 8;
    const int64_t entries = fieldBits == 4 ? (count + 1) / 2 : count;
    sizes.FTable = TTableReader(stream, start, entries, entryBytes);
    return sizes;
}

uint32_t TSampleSizes::Next() {
    const int64_t index = FIndex++;
    if (FFieldBits == 0)
        return FFixed;
    if (FFieldBits == 4) {
        const auto byte = static_cast<uint32_t>(FTable.Read(0, 1));
        if (index % 2 == 1)
            FTable.Next();
        return index % 2 == 0 ? byte >> 4 : byte & 0x0F;
    }
    const auto size = static_cast<uint32_t>(FTable.Read(0, FFieldBits / 8));
    FTable.Next();
    return size;
}
