#pragma once

// EBML's variable-length numbers (element IDs and sizes) as Matroska's walker reads them and its changes
// write them, and the Void element that fills the bytes a change leaves over.

#include <cstddef>
#include <cstdint>
#include <vector>

// Length of a variable-length number from its first byte: 1 .. 8, 0 for a byte of zero.
int EbmlVintLength(uint8_t first);

// A variable-length number with its marker removed; false when the bytes do not hold one. Unknown tells a
// number of all ones (an unknown size).
bool ReadEbmlVint(const uint8_t *bytes, size_t count, size_t &length, uint64_t &value, bool &unknown);

// Writes size into a size field of length bytes; false when it does not fit (all ones would read as an
// unknown size).
bool PutEbmlSize(uint8_t *field, size_t length, uint64_t size);

// The header (ID and size) of a Void element of exactly count bytes, its size field as short as it can
// be; empty when count is below 2.
std::vector<uint8_t> EbmlVoidHeader(uint64_t count);
