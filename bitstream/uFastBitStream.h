#pragma once

#include "base/Streams.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

// One flag per byte of a block: 1 where the byte is an emulation-prevention byte (the 03 of 00 00 03).
using TSkipByteArray = std::vector<uint8_t>;

// Whether a stream's bytes 00 00 03 hold an emulation-prevention byte that reads pass over (H.264), or are
// data like any other bytes (MPEG-2 video and MPEG-4 Visual have no emulation prevention).
enum class TEmulationPrevention { Present, Absent };

// Bit-exact reader and in-place writer over a seekable stream that holds an H.264 byte stream.
// The stream is read in blocks through a ring of three buffers (previous, current, next block), so a
// sequential pass reads every block once. A stream that holds a block in memory lends it to the ring
// instead of copying it into a buffer. Emulation-prevention bytes are marked when a block is loaded
// and passed over when bits are read, unless the caller says the stream has none. Positions are absolute
// stream offsets, never relative to the range. The reader never owns its stream.
class TFastBitstream {
public:
    TFastBitstream();
    explicit TFastBitstream(int64_t bufferSize);
    TFastBitstream(TStream *stream, int64_t bufferSize);
    explicit TFastBitstream(TStream *stream);
    virtual ~TFastBitstream();
    TFastBitstream(const TFastBitstream &) = delete;
    TFastBitstream &operator=(const TFastBitstream &) = delete;

    void SetBufferSize(int64_t size);
    // Present unless set otherwise; it stays through attaching and moving. The start-code search and
    // ReadRaw see the raw bytes either way.
    void SetEmulationPrevention(TEmulationPrevention emulationPrevention) {
        FEmulationPrevention = emulationPrevention;
    }
    TEmulationPrevention EmulationPrevention() const { return FEmulationPrevention; }

    void AttachStream(TStream *stream);
    void AttachRange(TStream *stream, int64_t start, uint8_t startBit, int64_t end, uint8_t endBit);
    void SetRange(int64_t start, uint8_t startBit, int64_t end, uint8_t endBit);

    bool BeforeStart() const;
    bool AtEnd() const;

    bool SetPosition(int64_t position, uint8_t bitOffset);
    void Skip(int64_t byteDelta, int32_t bitDelta);

    bool ReadBit();
    uint32_t ReadBits(uint8_t count);
    uint32_t ReadByte() { return ReadBits(8); }
    uint32_t ReadUE();
    int32_t ReadSE();

    // Moves to the first byte after the next 00 00 01 in the range; false at the range end. The whole
    // start code lies inside the range.
    bool SeekNextStartCode();
    // Copies up to count bytes as they are in the stream (emulation-prevention bytes included), from the
    // byte the reader stands on (or the next whole byte) to at most the range end, and moves past them.
    // Returns how many were copied.
    int64_t ReadRaw(uint8_t *bytes, int64_t count);

    bool BeginWrite(int64_t capacity);
    bool WriteByte(uint8_t value);
    bool EndWrite();

    TStream *Stream() const { return FStream; }
    int64_t RangeStart() const { return FRangeStart; }
    int64_t RangeEnd() const { return FRangeEnd; }
    uint8_t RangeStartBit() const { return FRangeStartBit; }
    uint8_t RangeEndBit() const { return FRangeEndBit; }
    int64_t BufferSize() const { return FBufferSize; }
    uint8_t CurrentBuffer() const { return FCurrentBuffer; }
    int64_t BufferStart() const { return FBufferStart; }
    int64_t Position() const { return FPosition; }
    int32_t BitOffset() const { return FBitOffset; }
    bool Writing() const { return FWriting; }
    int64_t WriteStart() const { return FWriteStart; }
    int32_t PendingCount() const { return FPendingCount; }

protected:
    void FillBuffers();
    int64_t LoadBlock(uint8_t slot, int64_t block);
    // Reads a block into the slot's own buffer, with the bytes in front of it.
    void ReadBlock(uint8_t slot, int64_t offset, int64_t count);
    void MarkSkipBytes(uint8_t slot);
    void MarkPattern(uint8_t slot, uint32_t pattern, uint8_t bitCount);
    uint8_t CurrentByte() const;
    int64_t PositionInBuffer() const { return FPosition - FBufferStart; }
    const TSkipByteArray &SkipBytes(uint8_t slot);

private:
    // Room in front of each block for the three stream bytes before it, which the marks of the
    // block's first bytes depend on.
    static constexpr int64_t HeadRoom = 3;

    uint8_t NextSlot(uint8_t slot) const { return static_cast<uint8_t>((slot + 1) % 3); }
    uint8_t PreviousSlot(uint8_t slot) const { return static_cast<uint8_t>((slot + 2) % 3); }
    const uint8_t *BlockBytes(uint8_t slot) const { return FSlotBytes[slot]; }
    uint8_t *OwnBytes(uint8_t slot) {
        return FBuffers[slot].empty() ? nullptr : FBuffers[slot].data() + HeadRoom;
    }
    // The slot's block in its own buffer, copied there first when the stream lent it: for writing.
    uint8_t *WritableBlockBytes(uint8_t slot);
    void UseOwnBuffer(uint8_t slot);
    // The ring can lag behind the position after SetRange moved the bounds around it.
    void EnsureCurrentBlock();
    // Whether the current byte exists in the stream (a range may claim more than the stream holds).
    bool CurrentByteLoaded() const;
    [[noreturn]] void RaiseEndOfStream() const;
    void MarkRange(uint8_t slot, uint32_t pattern, uint8_t bitCount, int64_t from, int64_t to);
    bool IsSkipByte(uint8_t slot, int64_t index);
    void SwapSlots(uint8_t a, uint8_t b);

    TStream *FStream = nullptr;
    TEmulationPrevention FEmulationPrevention = TEmulationPrevention::Present;
    int64_t FRangeStart = 0;
    int64_t FRangeEnd = 0;
    uint8_t FRangeStartBit = 0;
    uint8_t FRangeEndBit = 0;
    int64_t FBufferSize = 0;
    std::array<std::vector<uint8_t>, 3> FBuffers;
    // Where each slot's block lies: in the slot's own buffer, or in bytes the stream lent (kept by the
    // lease), which cost no copy.
    std::array<const uint8_t *, 3> FSlotBytes{};
    std::array<std::shared_ptr<const void>, 3> FSlotLease;
    std::array<TSkipByteArray, 3> FSkipBytes;
    uint8_t FCurrentBuffer = 0;
    int64_t FBufferStart = 0;
    int64_t FPosition = 0;
    int32_t FBitOffset = 0;
    bool FWriting = false;
    std::unique_ptr<uint8_t[]> FPendingBytes;
    int64_t FWriteStart = 0;
    int32_t FPendingCount = 0;
    int64_t FPendingCapacity = 0;
    // Which block each slot holds and how many of its bytes exist (-1 and 0 when none).
    std::array<int64_t, 3> FSlotBlock{-1, -1, -1};
    std::array<int64_t, 3> FSlotLength{0, 0, 0};
    // Which 64ths of each slot's block have their marks made (bit i for part i).
    std::array<uint64_t, 3> FMarkedParts{0, 0, 0};
    // Whether a write was made since the slot's block was loaded (it may have changed the block or the
    // bytes in front of it): such a block is read again rather than kept.
    std::array<bool, 3> FSlotWritten{false, false, false};
};

// Index of the first 01 byte at or after from and before limit that follows two zero bytes, or limit. The
// two bytes in front of from are read as well (they may end a start code whose 01 is at from).
int64_t FindStartCodeEnd(const uint8_t *bytes, int64_t from, int64_t limit);

uint32_t SwapBytes32(uint32_t value);
uint16_t RotateRight16(uint16_t value, uint8_t count);
