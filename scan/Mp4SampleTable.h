#pragma once

// The sample tables of an MP4 track, read as they are walked: a few kilobytes of each table at a time, so
// that a two-hour file's tables never lie in memory at once.

#include "base/Streams.h"

#include <cstdint>
#include <vector>

// A big-endian number of count bytes (at most 8).
uint64_t BigEndianAt(const uint8_t *bytes, int count);

// The entries of one table, in order, through a small buffer: count entries of entryBytes bytes each from
// the file offset start.
class TTableReader {
public:
    TTableReader() = default;
    TTableReader(TStream &stream, int64_t start, int64_t count, int entryBytes);

    int64_t Count() const { return FCount; }
    bool AtEnd() const { return FIndex >= FCount; }
    int64_t Index() const { return FIndex; }
    // The current entry's number of bytes bytes at offset within the entry.
    uint64_t Read(int offset, int bytes);
    void Next() { ++FIndex; }

private:
    TStream *FStream = nullptr;
    int64_t FStart = 0;
    int64_t FCount = 0;
    int FEntryBytes = 0;
    int64_t FIndex = 0;
    std::vector<uint8_t> FBuffer;
    int64_t FBufferFirst = 0; // index of the buffer's first entry
    int64_t FBufferCount = 0;
};

// The sizes of a track's samples, in order: one size for all (stsz with a sample size), one per sample
// (stsz), or packed 4, 8 or 16 bits to a sample (stz2).
class TSampleSizes {
public:
    TSampleSizes() = default;
    static TSampleSizes Fixed(uint32_t sampleSize, int64_t count);
    // fieldBits 32 for stsz, 4, 8 or 16 for stz2; the table begins at start.
    static TSampleSizes Table(TStream &stream, int64_t start, int64_t count, int fieldBits);

    int64_t Count() const { return FCount; }
    // No sample has a byte: nothing to walk.
    bool AllEmpty() const { return FFieldBits == 0 && FFixed == 0; }
    // The size of the next sample.
    uint32_t Next();

private:
    int64_t FCount = 0;
    uint32_t FFixed = 0;
    int FFieldBits = 0; // 0: fixed size
    TTableReader FTable;
    int64_t FIndex = 0;
};
