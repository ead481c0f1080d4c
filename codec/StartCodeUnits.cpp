#include "StartCodeUnits.h"

#include "NalSource.h"

size_t OpeningStartCode(const uint8_t *bytes, size_t size) {
    size_t zeros = 0;
    while (zeros < size && bytes[zeros] == 0)
        ++zeros;
    return zeros >= 2 && zeros < size && bytes[zeros] == 1 ? zeros + 1 : 0;
}

TCodecConfig ReadStartCodeConfig(const TCodec &codec, const std::vector<uint8_t> &record) {
    TCodecConfig config;
    TAnnexBBytes source(record.data(), 0, static_cast<int64_t>(record.size()), &codec);
    while (source.Next()) {
        if (!codec.StatesRatio(source.Header()))
            continue;
        const int64_t start = source.Start();
        TNalUnitBytes unit = source.ReadUnit(codec.MaxUnitBytes());
        config.Units.push_back({start, std::move(unit.Bytes), unit.Complete});
    }
    return config;
}

bool KeepsStartCodes(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after, int64_t first,
                     int64_t last) {
    auto startCodeAt = [](const std::vector<uint8_t> &bytes, int64_t i) {
        return bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1;
    };
    for (int64_t i = first; i + 2 <= last; ++i)
        if (startCodeAt(after, i) != startCodeAt(before, i))
            return false;
    return true;
}
