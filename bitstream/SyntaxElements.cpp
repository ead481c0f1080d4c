#include "SyntaxElements.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "uFastBitStream.h"

#include <string>

namespace {

void CheckRange(const char *name, int64_t value, int64_t min, int64_t max) {
    if (value < min || value > max)
        throw Exception(Format(SSyntaxOutOfRange, std::string(name), value, min, max));
}

} // namespace

uint8_t ReadFlag(TFastBitstream &reader) {
    return reader.ReadBit() ? 1 : 0;
}

uint32_t ReadBitsInRange(TFastBitstream &reader, uint8_t count, const char *name, uint32_t min,
                         uint32_t max) {
    const uint32_t value = reader.ReadBits(count);
    CheckRange(name, value, min, max);
    return value;
}

uint32_t ReadUEInRange(TFastBitstream &reader, const char *name, uint32_t min, uint32_t max) {
    const uint32_t value = reader.ReadUE();
    CheckRange(name, value, min, max);
    return value;
}

int32_t ReadSEInRange(TFastBitstream &reader, const char *name, int32_t min, int32_t max) {
    const int32_t value = reader.ReadSE();
    CheckRange(name, value, min, max);
    return value;
}
