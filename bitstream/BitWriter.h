#pragma once

#include <cstdint>
#include <vector>

// Writes fields of 1 to 32 bits, most significant bit first, into bytes: over the bits at any bit position,
// every other bit left as it is, or appended after the last bit. A bit position counts from the most
// significant bit of the first byte. Bytes are written as they are given: no emulation prevention is
// inserted or judged, which is the caller's part.
class TBitWriter {
public:
    TBitWriter() = default;
    // Writes over these bytes; appended bits follow their last byte.
    explicit TBitWriter(std::vector<uint8_t> bytes);

    // Puts the low count bits of value at the bit position. The bytes never grow: a field that does not
    // lie wholly inside them raises EInvalidOp, as does a count outside 1..32, before anything is written.
    void Write(int64_t bitPosition, uint32_t value, uint8_t count);
    // Puts the low count bits of value after the last bit, adding the bytes they need (zero bits after them).
    void Append(uint32_t value, uint8_t count);

    // Where the next appended bit goes: after the bits of the bytes given and of the fields appended.
    int64_t BitCount() const { return FBitCount; }
    const std::vector<uint8_t> &Bytes() const { return FBytes; }

    // Writes over size bytes held elsewhere (a reader's block, say), with the same checks.
    static void WriteInto(uint8_t *bytes, int64_t size, int64_t bitPosition, uint32_t value, uint8_t count);

private:
    std::vector<uint8_t> FBytes;
    int64_t FBitCount = 0;
};
