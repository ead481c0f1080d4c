#include "Crc32.h"

#include <array>

namespace {

constexpr uint32_t Polynomial = 0xEDB88320; // x^32 + x^26 + ... + 1, bit 31 the coefficient of x^0

constexpr std::array<uint32_t, 256> MakeByteTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? (c >> 1) ^ Polynomial : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> ByteTable = MakeByteTable();

// The register after the bytes, from the given register, without the presetting and inverting.
uint32_t Register(const uint8_t *bytes, size_t count, uint32_t crc) {
    for (size_t i = 0; i < count; ++i)
        crc = ByteTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

// a(x) * b(x) modulo the polynomial, in the reflected order (bit 31 holds x^0).
constexpr uint32_t MultiplyModP(uint32_t a, uint32_t b) {
    uint32_t m = uint32_t{1} << 31;
    uint32_t product = 0;
    for (;;) {
        if ((a & m) != 0) {
            product ^= b;
            if ((a & (m - 1)) == 0)
                break;
        }
        m >>= 1;
        b = (b & 1) != 0 ? (b >> 1) ^ Polynomial : b >> 1;
    }
    return product;
}

// x^(2^k) modulo the polynomial, for k = 0 .. 63.
constexpr std::array<uint32_t, 64> MakePowerTable() {
    std::array<uint32_t, 64> table{};
    uint32_t p = uint32_t{1} << 30; // x^1
    for (auto &entry : table) {
        entry = p;
        p = MultiplyModP(p, p);
    }
    return table;
}

constexpr std::array<uint32_t, 64> PowerTable = MakePowerTable();

// x^(8 * bytes) modulo the polynomial: what running the register over that many zero bytes multiplies by.
uint32_t ZeroBytesOperator(uint64_t bytes) {
    uint32_t p = uint32_t{1} << 31; // x^0
    for (size_t k = 3; bytes != 0 && k < PowerTable.size(); ++k, bytes >>= 1)
        if ((bytes & 1) != 0)
            p = MultiplyModP(PowerTable[k], p);
    return p;
}

} // namespace

uint32_t Crc32(const uint8_t *bytes, size_t count, uint32_t crc) {
    return ~Register(bytes, count, ~crc);
}

uint32_t Crc32Combine(uint32_t first, uint32_t second, int64_t secondLength) {
    if (secondLength <= 0)
        return first;
    return MultiplyModP(ZeroBytesOperator(static_cast<uint64_t>(secondLength)), first) ^ second;
}

// With the register preset and inverted, crc(M xor D) = crc(M) xor R0(D), R0 the bare register started at
// zero; the zeros in front of the difference leave R0 at zero, those behind it multiply it by x^(8n).
uint32_t Crc32Difference(const uint8_t *difference, size_t count, int64_t after) {
    const uint32_t change = Register(difference, count, 0);
    if (change == 0 || after <= 0)
        return change;
    return MultiplyModP(ZeroBytesOperator(static_cast<uint64_t>(after)), change);
}
