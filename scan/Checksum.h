#pragma once

// Checksums a container keeps over parts of the file (Matroska's CRC-32 elements, say). A save that
// changes bytes inside such a part must bring its checksum up to date in the same save, or players and
// tools take the part for damaged. The scanner records each one as a region; the plan adds the patches.

#include <cstdint>
#include <string>
#include <vector>

// A change of bytes inside a region: where, from the region's first byte, and old XOR new.
struct TByteDifference {
    int64_t Offset = 0;
    std::vector<uint8_t> Xor;
};

// How a checksum is computed and stored.
class TChecksumKind {
public:
    virtual ~TChecksumKind() = default;
    // The checksum's bytes once the region, of length bytes and holding value as its checksum, changes by
    // the differences (disjoint, in any order). The region's own bytes are not needed.
    virtual std::vector<uint8_t> Updated(const std::vector<uint8_t> &value, int64_t length,
                                         const std::vector<TByteDifference> &differences) const = 0;
};

// zlib's CRC-32 stored least significant byte first (Matroska's CRC-32 element).
const TChecksumKind &Crc32LittleEndian();

// One checksum of the file: the bytes it covers, where it lies (outside them) and what it held when
// scanned; Value follows what a save writes.
struct TChecksumRegion {
    int64_t Start = 0; // first byte covered
    int64_t End = 0;   // behind the last
    int64_t ValueOffset = 0;
    std::vector<uint8_t> Value;
    const TChecksumKind *Kind = nullptr;
    std::string What; // for messages: "CRC-32 of the Cluster at 24F"
};
