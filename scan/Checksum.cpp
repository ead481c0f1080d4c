#include "Checksum.h"

#include "base/Crc32.h"

namespace {

class TCrc32LittleEndian : public TChecksumKind {
public:
    std::vector<uint8_t> Updated(const std::vector<uint8_t> &value, int64_t length,
                                 const std::vector<TByteDifference> &differences) const override {
        uint32_t crc = 0;
        for (size_t i = 0; i < 4 && i < value.size(); ++i)
            crc |= uint32_t{value[i]} << (8 * i);
        for (const TByteDifference &difference : differences) {
            const int64_t after = length - difference.Offset - static_cast<int64_t>(difference.Xor.size());
            crc ^= Crc32Difference(difference.Xor.data(), difference.Xor.size(), after);
        }
        std::vector<uint8_t> bytes = value;
        for (size_t i = 0; i < 4 && i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(crc >> (8 * i));
        return bytes;
    }
};

} // namespace

const TChecksumKind &Crc32LittleEndian() {
    static const TCrc32LittleEndian kind;
    return kind;
}
