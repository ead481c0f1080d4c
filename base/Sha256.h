#pragma once

// SHA-256 (FIPS 180-4): the 32-byte digest of a message of any length, fed in pieces of any size, so a
// file can be digested as it is read, without holding it whole.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TSha256 {
public:
    TSha256() { Reset(); }

    // The bytes continue the message: the digest does not depend on how the message is cut into calls.
    void Add(const uint8_t *bytes, size_t count);
    void Add(const std::vector<uint8_t> &bytes);
    void Add(std::string_view text);

    // The digest of everything added since construction or the previous Finish. The hasher then starts
    // over on an empty message, so one hasher can digest several messages in turn.
    std::array<uint8_t, 32> Finish();

private:
    void Reset();
    void Compress(const uint8_t *block);

    std::array<uint32_t, 8> FState{};
    std::array<uint8_t, 64> FBlock{}; // the bytes of an unfinished block, FBlockUsed of them
    size_t FBlockUsed = 0;
    uint64_t FLength = 0; // bytes added so far; the padding carries it in bits, modulo 2^64
};

// The digest as 64 lower-case hexadecimal digits, as sha256sum prints it.
std::string HexDigest(const std::array<uint8_t, 32> &digest);

// The digest of a whole text, in hexadecimal.
std::string Sha256Hex(std::string_view text);
