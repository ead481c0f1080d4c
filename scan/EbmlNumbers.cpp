#include "EbmlNumbers.h"

namespace {

constexpr uint8_t VoidId = 0xEC;

} // namespace

int EbmlVintLength(uint8_t first) {
    for (int length = 1; length <= 8; ++length)
        if ((first & (0x80 >> (length - 1))) != 0)
            return length;
    return 0;
}

bool ReadEbmlVint(const uint8_t *bytes, size_t count, size_t &length, uint64_t &value, bool &unknown) {
    if (count == 0)
        return false;
    length = static_cast<size_t>(EbmlVintLength(bytes[0]));
    if (length == 0 || length > count)
        return false;
    value = bytes[0] & (0xFF >> length);
    bool ones = value == (0xFFu >> length);
    for (size_t i = 1; i < length; ++i) {
        value = (value << 8) | bytes[i];
        ones = ones && bytes[i] == 0xFF;
    }
    unknown = ones;
    return true;
}

bool PutEbmlSize(uint8_t *field, size_t length, uint64_t size) {
    if (length == 0 || length > 8 || size >= (uint64_t{1} << (7 * length)) - 1)
        return false;
    for (size_t i = length; i-- > 0;) {
        field[i] = static_cast<uint8_t>(size);
        size >>= 8;
    }
    field[0] |= static_cast<uint8_t>(0x80 >> (length - 1));
    return true;
}

std::vector<uint8_t> EbmlVoidHeader(uint64_t count) {
    for (size_t length = 1; length <= 8 && count >= 1 + length; ++length) {
        std::vector<uint8_t> header(1 + length);
        header[0] = VoidId;
        if (PutEbmlSize(header.data() + 1, length, count - 1 - length))
            return header;
    }
    return {};
}
