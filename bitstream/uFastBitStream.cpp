#include "uFastBitStream.h"

#include "BitWriter.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int64_t DefaultBufferSize = 4096;
constexpr uint32_t EmulationPreventionPattern = 0x000003; // 00 00 03
} // namespace

TFastBitstream::TFastBitstream() : TFastBitstream(DefaultBufferSize) {}

TFastBitstream::TFastBitstream(int64_t bufferSize) {
    SetBufferSize(bufferSize);
}

TFastBitstream::TFastBitstream(TStream *stream, int64_t bufferSize) : TFastBitstream(bufferSize) {
    AttachStream(stream);
}

TFastBitstream::TFastBitstream(TStream *stream) : TFastBitstream(stream, DefaultBufferSize) {}

TFastBitstream::~TFastBitstream() {
    SetBufferSize(0);
}

void TFastBitstream::SetBufferSize(int64_t size) {
    for (uint8_t slot = 0; slot < 3; ++slot) {
        FSkipBytes[slot].assign(size > 0 ? static_cast<size_t>(size) : 0, 0);
        FBuffers[slot].clear();
        FBuffers[slot].shrink_to_fit();
        // The three bytes past the block keep 32-bit loads at the block's end inside the allocation.
        if (size > 0)
            FBuffers[slot].assign(static_cast<size_t>(HeadRoom + size + 3), 0);
        UseOwnBuffer(slot);
        FSlotBlock[slot] = -1;
        FSlotLength[slot] = 0;
    }
    FBufferSize = size;
    if (size > 0)
        FillBuffers();
}

void TFastBitstream::AttachStream(TStream *stream) {
    if (stream == nullptr)
        return;
    AttachRange(stream, 0, 0, stream->Size(), 0);
}

void TFastBitstream::AttachRange(TStream *stream, int64_t start, uint8_t startBit, int64_t end,
                                 uint8_t endBit) {
    if (stream == nullptr)
        return;
    FStream = stream;
    FSlotBlock.fill(-1);
    FSlotLength.fill(0);
    for (uint8_t slot = 0; slot < 3; ++slot)
        UseOwnBuffer(slot);
    SetRange(start, startBit, end, endBit);
    SetPosition(start, startBit);
}

void TFastBitstream::SetRange(int64_t start, uint8_t startBit, int64_t end, uint8_t endBit) {
    FRangeStart = start;
    FRangeStartBit = startBit;
    FRangeEnd = end;
    FRangeEndBit = endBit;
    if (BeforeStart())
        SetPosition(start, startBit);
}

bool TFastBitstream::BeforeStart() const {
    return FPosition < FRangeStart || (FPosition == FRangeStart && FBitOffset < FRangeStartBit);
}

bool TFastBitstream::AtEnd() const {
    return FPosition > FRangeEnd || (FPosition == FRangeEnd && FBitOffset >= FRangeEndBit);
}

bool TFastBitstream::SetPosition(int64_t position, uint8_t bitOffset) {
    FPosition = position;
    FBitOffset = bitOffset;
    if (FBufferSize > 0)
        FillBuffers();
    return true;
}

void TFastBitstream::Skip(int64_t byteDelta, int32_t bitDelta) {
    bool wasOutside = AtEnd() || BeforeStart();
    if (bitDelta != 0) {
        FBitOffset += bitDelta;
        if (FBitOffset >= 8) {
            FBitOffset -= 8;
            ++byteDelta;
        }
        if (FBitOffset < 0) {
            FBitOffset += 8;
            --byteDelta;
        }
    }
    if (byteDelta == 0 && !wasOutside)
        return;
    int64_t oldBlock = FPosition / FBufferSize;
    FPosition += byteDelta;
    if (AtEnd() || BeforeStart())
        return;
    if (wasOutside) {
        FillBuffers();
        return;
    }
    int64_t moved = FPosition / FBufferSize - FBufferStart / FBufferSize;
    switch (moved) {
    case 0:
        break;
    case 1:
        FCurrentBuffer = NextSlot(FCurrentBuffer);
        LoadBlock(NextSlot(FCurrentBuffer), oldBlock + 2);
        FBufferStart += FBufferSize;
        break;
    case 2:
        FCurrentBuffer = PreviousSlot(FCurrentBuffer);
        LoadBlock(FCurrentBuffer, oldBlock + 2);
        LoadBlock(NextSlot(FCurrentBuffer), oldBlock + 3);
        FBufferStart += 2 * FBufferSize;
        break;
    case -1:
        FCurrentBuffer = PreviousSlot(FCurrentBuffer);
        LoadBlock(PreviousSlot(FCurrentBuffer), oldBlock - 2);
        FBufferStart -= FBufferSize;
        break;
    case -2:
        FCurrentBuffer = NextSlot(FCurrentBuffer);
        LoadBlock(FCurrentBuffer, oldBlock - 2);
        LoadBlock(PreviousSlot(FCurrentBuffer), oldBlock - 3);
        FBufferStart -= 2 * FBufferSize;
        break;
    default:
        FillBuffers();
        break;
    }
}

void TFastBitstream::FillBuffers() {
    if (FBufferSize <= 0 || FStream == nullptr || BeforeStart() || AtEnd())
        return;
    FCurrentBuffer = 1;
    int64_t block = FPosition / FBufferSize;
    // Blocks the ring already holds move to their new slots rather than being read again: a chunk of an
    // AVI file sets its range and then its position, and often begins in a block of the chunk before.
    for (uint8_t slot = 0; slot < 3; ++slot) {
        int64_t wanted = block - 1 + slot;
        for (uint8_t other = slot + 1; other < 3 && wanted >= 0 && FSlotBlock[slot] != wanted; ++other)
            if (FSlotBlock[other] == wanted)
                SwapSlots(slot, other);
    }
    if (block > 0)
        LoadBlock(0, block - 1);
    int64_t loaded = LoadBlock(1, block);
    FBufferStart = block * FBufferSize;
    if (FBufferStart + loaded < FStream->Size())
        LoadBlock(2, block + 1);
}

int64_t TFastBitstream::LoadBlock(uint8_t slot, int64_t block) {
    int64_t offset = block * FBufferSize;
    if (offset < 0)
        return 0;
    int64_t count = FStream->Size() - offset;
    if (count <= 0) {
        FSlotBlock[slot] = -1;
        FSlotLength[slot] = 0;
        return 0;
    }
    count = std::min(count, FBufferSize);
    if (FSlotBlock[slot] == block && FSlotLength[slot] == count && !FSlotWritten[slot]) {
        // Held already, with the bytes before it: leave the stream where reading the block would.
        FStream->Seek(offset + count);
        return count;
    }
    if (TLentBytes lent = FStream->Lend(offset, static_cast<size_t>(count), HeadRoom)) {
        FSlotLease[slot] = std::move(lent.Lease);
        FSlotBytes[slot] = lent.Bytes;
        FStream->Seek(offset + count);
    } else {
        ReadBlock(slot, offset, count);
    }
    FSlotBlock[slot] = block;
    FSlotLength[slot] = count;
    FMarkedParts[slot] = 0;
    FSlotWritten[slot] = false;
    return count;
}

void TFastBitstream::ReadBlock(uint8_t slot, int64_t offset, int64_t count) {
    UseOwnBuffer(slot);
    const int64_t block = offset / FBufferSize;
    uint8_t *head = FBuffers[slot].data();
    uint8_t previous = PreviousSlot(slot);
    if (FBufferSize >= HeadRoom && FSlotBlock[previous] == block - 1 &&
        FSlotLength[previous] == FBufferSize) {
        // Sequential reading: the bytes before this block are the end of the block in the ring.
        std::memcpy(head, BlockBytes(previous) + FBufferSize - HeadRoom, HeadRoom);
        FStream->Seek(offset);
        FStream->ReadBuffer(head + HeadRoom, static_cast<size_t>(count));
    } else {
        // Read them along with the block, so the stream still stands at offset + count afterwards.
        int64_t before = std::min(HeadRoom, offset);
        std::memset(head, 0, HeadRoom);
        FStream->Seek(offset - before);
        FStream->ReadBuffer(head + HeadRoom - before, static_cast<size_t>(before + count));
    }
}

void TFastBitstream::UseOwnBuffer(uint8_t slot) {
    FSlotLease[slot].reset();
    FSlotBytes[slot] = OwnBytes(slot);
}

uint8_t *TFastBitstream::WritableBlockBytes(uint8_t slot) {
    if (FSlotBytes[slot] != OwnBytes(slot)) {
        std::memcpy(FBuffers[slot].data(), FSlotBytes[slot] - HeadRoom,
                    static_cast<size_t>(HeadRoom + FSlotLength[slot]));
        UseOwnBuffer(slot);
    }
    return OwnBytes(slot);
}

void TFastBitstream::SwapSlots(uint8_t a, uint8_t b) {
    std::swap(FBuffers[a], FBuffers[b]);
    std::swap(FSlotBytes[a], FSlotBytes[b]);
    std::swap(FSlotLease[a], FSlotLease[b]);
    std::swap(FSkipBytes[a], FSkipBytes[b]);
    std::swap(FSlotBlock[a], FSlotBlock[b]);
    std::swap(FSlotLength[a], FSlotLength[b]);
    std::swap(FMarkedParts[a], FMarkedParts[b]);
    std::swap(FSlotWritten[a], FSlotWritten[b]);
}

void TFastBitstream::MarkSkipBytes(uint8_t slot) {
    MarkPattern(slot, EmulationPreventionPattern, 24);
    FMarkedParts[slot] = ~uint64_t{0};
}

void TFastBitstream::MarkPattern(uint8_t slot, uint32_t pattern, uint8_t bitCount) {
    if (bitCount == 0)
        return;
    if (bitCount > 32)
        throw Exception(SPatternTooLong);
    std::fill(FSkipBytes[slot].begin(), FSkipBytes[slot].end(), 0);
    MarkRange(slot, pattern, bitCount, 0, FSlotLength[slot]);
}

// Marks bytes from to to of a slot's block. The block is preceded by the three stream bytes before it,
// so the window of four bytes ending at any byte of the block can be read in place. A window whose
// pattern would begin before the first byte of the stream is not tested.
void TFastBitstream::MarkRange(uint8_t slot, uint32_t pattern, uint8_t bitCount, int64_t from, int64_t to) {
    uint32_t mask = bitCount == 32 ? 0xFFFFFFFFu : (1u << bitCount) - 1;
    int64_t patternBytes = (bitCount - 1) / 8 + 1;
    int64_t first = std::max<int64_t>(0, patternBytes - 1 - FSlotBlock[slot] * FBufferSize);
    TSkipByteArray &marks = FSkipBytes[slot];
    const uint8_t *bytes = BlockBytes(slot);
    uint32_t window = (uint32_t{bytes[from - 3]} << 16) | (uint32_t{bytes[from - 2]} << 8) | bytes[from - 1];
    for (int64_t i = from; i < to; ++i) {
        window = (window << 8) | bytes[i];
        marks[i] = (window & mask) == pattern && i >= first;
    }
}

// A scan reads only the header of most NAL units, so the marks of a block are made one part of 1/64 of
// the block at a time, when a bit of that part is first read. Before a write changes a block all of its
// marks are made, so that they keep reflecting the bytes as they were loaded.
const TSkipByteArray &TFastBitstream::SkipBytes(uint8_t slot) {
    if (FMarkedParts[slot] != ~uint64_t{0})
        MarkSkipBytes(slot);
    return FSkipBytes[slot];
}

// The two zero bytes of an emulation-prevention sequence must lie inside the range: bytes in front of
// it belong to something else (a chunk header, a length prefix) and decide nothing.
bool TFastBitstream::IsSkipByte(uint8_t slot, int64_t index) {
    if (FSlotBlock[slot] * FBufferSize + index - 2 < FRangeStart)
        return false;
    int64_t partSize = (FBufferSize + 63) / 64;
    int64_t part = index / partSize;
    if ((FMarkedParts[slot] & (uint64_t{1} << part)) == 0) {
        int64_t from = part * partSize;
        MarkRange(slot, EmulationPreventionPattern, 24, from, std::min(from + partSize, FSlotLength[slot]));
        FMarkedParts[slot] |= uint64_t{1} << part;
    }
    return FSkipBytes[slot][index] != 0;
}

uint8_t TFastBitstream::CurrentByte() const {
    return BlockBytes(FCurrentBuffer)[PositionInBuffer()];
}

void TFastBitstream::EnsureCurrentBlock() {
    if (FBufferSize <= 0)
        return;
    int64_t inBuffer = PositionInBuffer();
    if (FSlotBlock[FCurrentBuffer] < 0 || FSlotBlock[FCurrentBuffer] * FBufferSize != FBufferStart ||
        inBuffer < 0 || inBuffer >= FBufferSize)
        FillBuffers();
}

bool TFastBitstream::CurrentByteLoaded() const {
    int64_t inBuffer = PositionInBuffer();
    return FBufferSize > 0 && FSlotBlock[FCurrentBuffer] >= 0 &&
           FSlotBlock[FCurrentBuffer] * FBufferSize == FBufferStart && inBuffer >= 0 &&
           inBuffer < FSlotLength[FCurrentBuffer];
}

// Names the place of the read that failed, not how far the blocks have been read.
void TFastBitstream::RaiseEndOfStream() const {
    throw EInOutError(Format(SUnexpectedEndOfStreamAt, FPosition));
}

bool TFastBitstream::ReadBit() {
    for (;;) {
        if (AtEnd())
            RaiseEndOfStream();
        EnsureCurrentBlock();
        if (!CurrentByteLoaded())
            RaiseEndOfStream();
        if (FEmulationPrevention == TEmulationPrevention::Absent ||
            !IsSkipByte(FCurrentBuffer, PositionInBuffer()))
            break;
        Skip(1, 0);
    }
    bool bit = (CurrentByte() & (0x80 >> FBitOffset)) != 0;
    Skip(0, 1);
    return bit;
}

uint32_t TFastBitstream::ReadBits(uint8_t count) {
    if (count > 32)
        throw Exception(STooManyBits);
    uint32_t result = 0;
    for (uint8_t i = 0; i < count; ++i)
        result = (result << 1) | (ReadBit() ? 1u : 0u);
    return result;
}

uint32_t TFastBitstream::ReadUE() {
    // Stops at the 32nd zero: a run of zero bits (a damaged unit, a file of zeros) is not counted to its end.
    int64_t zeros = 0;
    while (!ReadBit())
        if (++zeros > 31)
            throw Exception(SExpGolombOverflow);
    uint64_t value = 1;
    for (int64_t i = 0; i < zeros; ++i)
        value = (value << 1) | (ReadBit() ? 1u : 0u);
    return static_cast<uint32_t>(value - 1);
}

int32_t TFastBitstream::ReadSE() {
    uint32_t code = ReadUE();
    auto magnitude = static_cast<int32_t>(code / 2 + (code & 1));
    return (code & 1) != 0 ? magnitude : -magnitude;
}

namespace {

// Places from i on, in groups of as many as the vector holds (vector extensions of GCC and Clang: SSE2 for
// 16, AVX2 for 32 on x86-64). Coded video holds two zero bytes in a row only around start codes and
// emulation-prevention bytes, so a group of 4 * Width places is first asked for a zero pair alone, with one
// branch; only a group that has one is tested for a 01 behind it. A test per small group would be a branch
// taken at random, and a jump from one 01 byte to the next would stop every few hundred bytes. Returns where
// the groups stopped: at the group that holds the first start code's end, or where fewer places are left.
#if defined(__GNUC__)
using TLanes16 = uint8_t __attribute__((vector_size(16)));
using TLanes32 = uint8_t __attribute__((vector_size(32)));

template <typename TLanes>
[[gnu::always_inline]] inline int64_t SkipGroupsWithoutStartCode(const uint8_t *bytes, int64_t i,
                                                                 int64_t limit) {
    // No vector is passed to or returned from a function here: the code is inlined into the function of
    // its instruction set.
    constexpr int64_t Width = sizeof(TLanes);
    constexpr int64_t Words = Width / 8;
    for (; i + 4 * Width <= limit; i += 4 * Width) {
        // Lanes where the two bytes before the place are zero, then where a 01 stands behind them.
        TLanes pairs[4];
        TLanes all = {};
        for (int64_t k = 0; k < 4; ++k) {
            TLanes before2, before1;
            std::memcpy(&before2, bytes + i + k * Width - 2, Width);
            std::memcpy(&before1, bytes + i + k * Width - 1, Width);
            pairs[k] = reinterpret_cast<TLanes>((before2 | before1) == 0);
            all |= pairs[k];
        }
        uint64_t words[Words];
        std::memcpy(words, &all, sizeof words);
        uint64_t any = 0;
        for (uint64_t word : words)
            any |= word;
        if (any == 0)
            continue;
        // A run of zero bytes has pairs everywhere and no 01: the group is passed over all the same.
        all = TLanes{};
        for (int64_t k = 0; k < 4; ++k) {
            TLanes current;
            std::memcpy(&current, bytes + i + k * Width, Width);
            all |= pairs[k] & reinterpret_cast<TLanes>(current == 1);
        }
        std::memcpy(words, &all, sizeof words);
        any = 0;
        for (uint64_t word : words)
            any |= word;
        if (any != 0)
            break;
    }
    // What is left, one vector at a time: the search stops at a vector that holds a start code's end.
    for (; i + Width <= limit; i += Width) {
        TLanes before2, before1, current;
        std::memcpy(&before2, bytes + i - 2, Width);
        std::memcpy(&before1, bytes + i - 1, Width);
        std::memcpy(&current, bytes + i, Width);
        const TLanes ends =
            reinterpret_cast<TLanes>((before2 | before1) == 0) & reinterpret_cast<TLanes>(current == 1);
        uint64_t words[Words];
        std::memcpy(words, &ends, sizeof words);
        uint64_t any = 0;
        for (uint64_t word : words)
            any |= word;
        if (any != 0)
            break;
    }
    return i;
}
#endif

#if defined(__GNUC__) && defined(__x86_64__)
[[gnu::target("avx2")]] int64_t SkipGroupsAvx2(const uint8_t *bytes, int64_t i, int64_t limit) {
    return SkipGroupsWithoutStartCode<TLanes32>(bytes, i, limit);
}
#endif

} // namespace

int64_t FindStartCodeEnd(const uint8_t *bytes, int64_t from, int64_t limit) {
    // Short ranges (a transport packet's payload, 184 bytes at most) are searched sixteen places at a
    // time, two groups to a test: the wider groups below cost more to set up than they save there.
    constexpr int64_t ShortRange = 512;
    if (limit - from < ShortRange) {
        int64_t i = from;
#if defined(__GNUC__)
        using TBytes16 = uint8_t __attribute__((vector_size(16)));
        auto ends = [bytes](int64_t at) {
            TBytes16 current, before1, before2;
            std::memcpy(&current, bytes + at, sizeof current);
            std::memcpy(&before1, bytes + at - 1, sizeof before1);
            std::memcpy(&before2, bytes + at - 2, sizeof before2);
            return (current == 1) & ((before1 | before2) == 0);
        };
        auto any = [](auto hits) {
            uint64_t halves[2];
            std::memcpy(halves, &hits, sizeof halves);
            return (halves[0] | halves[1]) != 0;
        };
        for (; i + 32 <= limit; i += 32)
            if (any(ends(i) | ends(i + 16)))
                break;
        for (; i + 16 <= limit; i += 16)
            if (any(ends(i)))
                break;
        // The last places, fewer than sixteen, in a group that ends with them (those before i hold none).
        if (i < limit && i + 16 > limit && limit - 16 >= from && !any(ends(limit - 16)))
            return limit;
#endif
        for (; i < limit; ++i)
            if (bytes[i] == 1 && bytes[i - 1] == 0 && bytes[i - 2] == 0)
                return i;
        return limit;
    }
    int64_t i = from;
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    i = avx2 ? SkipGroupsAvx2(bytes, i, limit) : SkipGroupsWithoutStartCode<TLanes16>(bytes, i, limit);
#elif defined(__GNUC__)
    i = SkipGroupsWithoutStartCode<TLanes16>(bytes, i, limit);
#endif
    for (; i < limit; ++i)
        if (bytes[i] == 1 && bytes[i - 1] == 0 && bytes[i - 2] == 0)
            return i;
    return limit;
}

bool TFastBitstream::SeekNextStartCode() {
    if (FBitOffset > 0)
        Skip(1, -FBitOffset);
    if (BeforeStart())
        SetPosition(FRangeStart, 0);
    // A start code lies wholly inside the range: the two zeros in front of its 01 may not be bytes in
    // front of the range (the size field of a chunk, say).
    if (FPosition < FRangeStart + 2)
        Skip(FRangeStart + 2 - FPosition, 0);
    // Searches the buffered block for each 01 byte and looks back at the two bytes before it, which lie
    // in this block, in the one before it or before the range start; then moves on block by block.
    while (!AtEnd()) {
        EnsureCurrentBlock();
        int64_t from = PositionInBuffer();
        int64_t limit = FRangeEnd - FBufferStart + (FRangeEndBit > 0 ? 1 : 0);
        if (CurrentByteLoaded())
            limit = std::min(limit, FSlotLength[FCurrentBuffer]);
        else
            limit = from;
        if (limit <= from) {
            // The range claims bytes the stream does not have: nothing more to find.
            FPosition = FRangeEnd;
            FBitOffset = FRangeEndBit;
            return false;
        }
        int64_t found = FindStartCodeEnd(BlockBytes(FCurrentBuffer), from, limit);
        if (found < limit) {
            Skip(found + 1 - from, 0);
            return true;
        }
        Skip(limit - from, 0);
    }
    return false;
}

int64_t TFastBitstream::ReadRaw(uint8_t *bytes, int64_t count) {
    if (FBitOffset > 0)
        Skip(1, -FBitOffset);
    int64_t copied = 0;
    while (copied < count && !AtEnd() && !BeforeStart()) {
        EnsureCurrentBlock();
        if (!CurrentByteLoaded())
            break;
        int64_t from = PositionInBuffer();
        int64_t available = std::min(FSlotLength[FCurrentBuffer] - from, FRangeEnd - FPosition);
        int64_t part = std::min(count - copied, available);
        if (part <= 0)
            break;
        std::memcpy(bytes + copied, BlockBytes(FCurrentBuffer) + from, static_cast<size_t>(part));
        copied += part;
        Skip(part, 0);
    }
    return copied;
}

bool TFastBitstream::BeginWrite(int64_t capacity) {
    FPendingBytes = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity + 1));
    FPendingCapacity = capacity + 1;
    FWriting = true;
    FWriteStart = FPosition;
    FPendingCount = 0;
    return true;
}

bool TFastBitstream::WriteByte(uint8_t value) {
    int32_t bit = FBitOffset;
    bool fits = FPosition < FRangeEnd - 1 || (FPosition == FRangeEnd - 1 && bit <= FRangeEndBit);
    if (!fits || FPendingBytes == nullptr || FPendingCount >= FPendingCapacity - (bit > 0 ? 1 : 0))
        return false;
    EnsureCurrentBlock();
    int64_t lastTouched = FPosition + (bit > 0 ? 1 : 0);
    if (!CurrentByteLoaded() || lastTouched >= FStream->Size())
        return false;
    // What is read after a write comes from the stream again, so that a read-back checks the medium.
    FSlotWritten.fill(true);
    // The byte's first 8 - bit bits end the current byte, its last bits begin the following one, which
    // may lie in the next block.
    SkipBytes(FCurrentBuffer);
    uint8_t *current = WritableBlockBytes(FCurrentBuffer) + PositionInBuffer();
    TBitWriter::WriteInto(current, 1, bit, value >> bit, static_cast<uint8_t>(8 - bit));
    FPendingBytes[FPendingCount++] = *current;
    Skip(1, 0);
    if (bit > 0) {
        SkipBytes(FCurrentBuffer);
        uint8_t *following = WritableBlockBytes(FCurrentBuffer) + PositionInBuffer();
        TBitWriter::WriteInto(following, 1, 0, value, static_cast<uint8_t>(bit));
    }
    return true;
}

bool TFastBitstream::EndWrite() {
    if (FPendingBytes != nullptr && FBitOffset > 0 && FPendingCount < FPendingCapacity && CurrentByteLoaded())
        FPendingBytes[FPendingCount++] = CurrentByte();
    if (FStream == nullptr)
        return false;
    if (FPendingCount > 0) {
        FStream->Seek(FWriteStart);
        FStream->WriteBuffer(FPendingBytes.get(), static_cast<size_t>(FPendingCount));
    }
    FPendingCount = 0;
    FWriteStart = 0;
    FWriting = false;
    FPendingBytes.reset();
    FPendingCapacity = 0;
    return true;
}

uint32_t SwapBytes32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
}

uint16_t RotateRight16(uint16_t value, uint8_t count) {
    unsigned shift = count % 16u;
    if (shift == 0)
        return value;
    return static_cast<uint16_t>((value >> shift) | (value << (16 - shift)));
}
