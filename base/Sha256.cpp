#include "Sha256.h"

#include <algorithm>
#include <cstring>

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::array<uint32_t, 64> RoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The first 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr std::array<uint32_t, 8> InitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr uint32_t RotateRight(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

uint32_t ReadBigEndian32(const uint8_t *bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
}

} // namespace

void TSha256::Reset() {
    FState = InitialState;
    FBlockUsed = 0;
    FLength = 0;
}

void TSha256::Compress(const uint8_t *block) {
    std::array<uint32_t, 64> w;
    for (size_t t = 0; t < 16; ++t)
        w[t] = ReadBigEndian32(block + 4 * t);
    for (size_t t = 16; t < 64; ++t) {
        const uint32_t s0 = RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }

    uint32_t a = FState[0], b = FState[1], c = FState[2], d = FState[3];
    uint32_t e = FState[4], f = FState[5], g = FState[6], h = FState[7];
    for (size_t t = 0; t < 64; ++t) {
        const uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const uint32_t choose = (e & f) ^ (~e & g);
        const uint32_t t1 = h + sum1 + choose + RoundConstants[t] + w[t];
        const uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    FState[0] += a;
    FState[1] += b;
    FState[2] += c;
    FState[3] += d;
    FState[4] += e;
    FState[5] += f;
    FState[6] += g;
    FState[7] += h;
}

void TSha256::Add(const uint8_t *bytes, size_t count) {
    if (count == 0)
        return; // an empty vector or view may hand over a null pointer, which memcpy must not see
    FLength += count;
    // Top up a partly filled block first; whole blocks after it are compressed straight from the input.
    if (FBlockUsed != 0) {
        const size_t taken = std::min(count, FBlock.size() - FBlockUsed);
        std::memcpy(FBlock.data() + FBlockUsed, bytes, taken);
        FBlockUsed += taken;
        bytes += taken;
        count -= taken;
        if (FBlockUsed < FBlock.size())
            return;
        Compress(FBlock.data());
        FBlockUsed = 0;
    }
    for (; count >= FBlock.size(); bytes += FBlock.size(), count -= FBlock.size())
        Compress(bytes);
    if (count != 0) {
        std::memcpy(FBlock.data(), bytes, count);
        FBlockUsed = count;
    }
}

void TSha256::Add(const std::vector<uint8_t> &bytes) {
    Add(bytes.data(), bytes.size());
}

void TSha256::Add(std::string_view text) {
    Add(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

std::array<uint8_t, 32> TSha256::Finish() {
    // A one bit, zeros up to 8 bytes short of a block's end, and the length in bits, big-endian: a second
    // block is needed when fewer than 9 bytes are left in the last one.
    const uint64_t bits = FLength << 3;
    FBlock[FBlockUsed++] = 0x80;
    if (FBlockUsed > FBlock.size() - 8) {
        std::memset(FBlock.data() + FBlockUsed, 0, FBlock.size() - FBlockUsed);
        Compress(FBlock.data());
        FBlockUsed = 0;
    }
    std::memset(FBlock.data() + FBlockUsed, 0, FBlock.size() - 8 - FBlockUsed);
    for (size_t i = 0; i < 8; ++i)
        FBlock[FBlock.size() - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    Compress(FBlock.data());

    std::array<uint8_t, 32> digest;
    for (size_t i = 0; i < FState.size(); ++i)
        for (size_t k = 0; k < 4; ++k)
            digest[4 * i + k] = static_cast<uint8_t>(FState[i] >> (24 - 8 * k));
    Reset();
    return digest;
}

std::string HexDigest(const std::array<uint8_t, 32> &digest) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * digest.size());
    for (uint8_t byte : digest) {
        hex += Digits[byte >> 4];
        hex += Digits[byte & 0x0F];
    }
    return hex;
}

std::string Sha256Hex(std::string_view text) {
    TSha256 hasher;
    hasher.Add(text);
    return HexDigest(hasher.Finish());
}
