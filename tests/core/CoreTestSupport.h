#pragma once

#include "base/Streams.h"
#include "bitstream/uFastBitStream.h"
#include "h264/uH264.h"

#include <cstdint>
#include <memory>
#include <set>
#include <utility>
#include <vector>

// A stream over bytes in memory that logs every read and write made through it.
class CountingStream : public TStream {
public:
    struct Access {
        int64_t Offset;
        size_t Count;
    };

    explicit CountingStream(std::vector<uint8_t> bytes) : FInner(std::move(bytes)) {}

    int64_t Size() override { return FInner.Size(); }
    int64_t Position() override { return FInner.Position(); }
    void Seek(int64_t offset) override { FInner.Seek(offset); }
    void ReadBuffer(void *buffer, size_t count) override {
        Reads.push_back({FInner.Position(), count});
        FInner.ReadBuffer(buffer, count);
    }
    void WriteBuffer(const void *buffer, size_t count) override {
        Writes.push_back({FInner.Position(), count});
        FInner.WriteBuffer(buffer, count);
    }

    const std::vector<uint8_t> &Bytes() const { return FInner.Bytes(); }
    // For every read, the block that holds its last byte: the block that read loaded.
    std::vector<int64_t> LoadedBlocks(int64_t blockSize) const {
        std::vector<int64_t> blocks;
        for (const Access &read : Reads)
            blocks.push_back((read.Offset + static_cast<int64_t>(read.Count) - 1) / blockSize);
        return blocks;
    }
    void ClearLog() {
        Reads.clear();
        Writes.clear();
    }

    std::vector<Access> Reads;
    std::vector<Access> Writes;

private:
    TMemoryStream FInner;
};

// What a plain search over a reader's range finds: every SPS NAL unit, and the types of all NAL units.
struct SpsScan {
    std::vector<std::unique_ptr<TNALUnit>> Units;
    std::set<uint8_t> NalTypes;
};

inline SpsScan ScanForSps(TFastBitstream &reader) {
    SpsScan scan;
    while (!reader.AtEnd() && reader.SeekNextStartCode()) {
        auto unit = std::make_unique<TNALUnit>();
        bool isSps = unit->Parse(reader);
        scan.NalTypes.insert(unit->NalUnitType());
        if (isSps)
            scan.Units.push_back(std::move(unit));
    }
    return scan;
}

// The bytes with count bits of value put at (position, bit), most significant first, the others kept.
inline std::vector<uint8_t> WithBits(std::vector<uint8_t> bytes, int64_t position, int bit, uint64_t value,
                                     int count) {
    for (int k = 0; k < count; ++k) {
        int64_t at = position * 8 + bit + k;
        auto mask = static_cast<uint8_t>(0x80 >> (at % 8));
        uint8_t &byte = bytes.at(static_cast<size_t>(at / 8));
        byte = ((value >> (count - 1 - k)) & 1) != 0 ? (byte | mask) : (byte & ~mask);
    }
    return bytes;
}
