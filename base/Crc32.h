#pragma once

// zlib's CRC-32 (the reflected polynomial 0xEDB88320, register preset to all ones and inverted at the
// end), as Matroska's CRC-32 elements carry it, and the arithmetic that brings a checksum up to date
// after a few bytes of a long message change, without reading the message again.

#include <cstddef>
#include <cstdint>

// The CRC-32 of the bytes continued from crc, the CRC-32 of what came before them (0 for nothing): as
// zlib's crc32(crc, bytes, count).
uint32_t Crc32(const uint8_t *bytes, size_t count, uint32_t crc = 0);

// The CRC-32 of two messages one after the other, from the CRC-32 of each and the second one's length:
// as zlib's crc32_combine.
uint32_t Crc32Combine(uint32_t first, uint32_t second, int64_t secondLength);

// What the CRC-32 of a message changes by (to be XORed with it) when its bytes at some place are XORed
// with difference[0 .. count) and `after` bytes follow that place to the message's end. The CRC is linear
// over such differences: what lies in front of the place and what the message holds do not matter, so a
// change of a few bytes in a cluster of megabytes costs a few dozen multiplications, not a read.
uint32_t Crc32Difference(const uint8_t *difference, size_t count, int64_t after);
