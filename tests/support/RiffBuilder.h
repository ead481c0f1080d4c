#pragma once

// Test-only builder of RIFF files byte by byte: chunks, lists and minimal AVI files.

#include <cstdint>
#include <string>
#include <vector>

using ByteVector = std::vector<uint8_t>;

// A 32-bit number, least significant byte first.
ByteVector LittleEndian(uint32_t value);
// Overwrites the four bytes at offset with a little-endian number (to give a chunk a wrong size).
void PutLittleEndian(ByteVector &bytes, size_t offset, uint32_t value);

// A chunk: identifier, payload size, payload, and a pad byte when the size is odd.
ByteVector RiffChunk(const std::string &id, const ByteVector &payload);
// A chunk header alone: identifier and the given size.
ByteVector RiffHeader(const std::string &id, uint32_t size);
// A "RIFF" or "LIST" chunk whose size counts its form type and the children as given (with their pads).
ByteVector RiffList(const std::string &id, const std::string &formType,
                    const std::vector<ByteVector> &children);

// The 56-byte payload of a stream header: stream type ("vids", "auds") and handler code, the rest zero.
ByteVector StreamHeader(const std::string &type, const std::string &handler);
// A stream list "strl" with a stream header of that type and handler and an empty stream format chunk.
ByteVector StreamList(const std::string &type, const std::string &handler);
// RIFF "AVI " with a header list holding the stream lists, then a movie list "movi" holding the chunks.
ByteVector AviFile(const std::vector<ByteVector> &streamLists, const std::vector<ByteVector> &movieChunks);
