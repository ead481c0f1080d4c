#include "BitWriter.h"

#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>
#include <utility>

TBitWriter::TBitWriter(std::vector<uint8_t> bytes)
    : FBytes(std::move(bytes)), FBitCount(static_cast<int64_t>(FBytes.size()) * 8) {}

void TBitWriter::Write(int64_t bitPosition, uint32_t value, uint8_t count) {
    WriteInto(FBytes.data(), static_cast<int64_t>(FBytes.size()), bitPosition, value, count);
}

void TBitWriter::Append(uint32_t value, uint8_t count) {
    if (count < 1 || count > 32)
        throw EInvalidOp(Format(SBitFieldWidth, count));
    FBytes.resize(static_cast<size_t>((FBitCount + count + 7) / 8), 0);
    Write(FBitCount, value, count);
    FBitCount += count;
}

// Byte by byte: each byte takes the part of the field that falls into it, under a mask of that part.
void TBitWriter::WriteInto(uint8_t *bytes, int64_t size, int64_t bitPosition, uint32_t value, uint8_t count) {
    if (count < 1 || count > 32)
        throw EInvalidOp(Format(SBitFieldWidth, count));
    if (bitPosition < 0 || bitPosition > size * 8 - count)
        throw EInvalidOp(Format(SBitsOutsideBytes, bitPosition, bitPosition + count - 1, size));
    const int64_t end = bitPosition + count;
    for (int64_t at = bitPosition; at < end;) {
        const int used = static_cast<int>(at % 8);
        const int taken = static_cast<int>(std::min<int64_t>(8 - used, end - at));
        const int shift = 8 - used - taken;
        const auto mask = static_cast<uint8_t>(((1u << taken) - 1) << shift);
        const auto part = static_cast<uint8_t>(((value >> (end - at - taken)) << shift) & mask);
        uint8_t &byte = bytes[at / 8];
        byte = static_cast<uint8_t>((byte & ~mask) | part);
        at += taken;
    }
}
