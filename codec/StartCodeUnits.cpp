#include "StartCodeUnits.h"

#include "NalSource.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>

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

TUnitRewrite StartCodeRewrite(const std::vector<uint8_t> &before, std::vector<uint8_t> after, int64_t first,
                              int64_t last, int64_t fieldsFileOffset) {
    TUnitRewrite rewrite;
    first = std::max<int64_t>(0, first - 2);
    last = std::min(static_cast<int64_t>(before.size()) - 1, last + 2);
    auto startCodeAt = [](const std::vector<uint8_t> &bytes, int64_t i) {
        return bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1;
    };
    for (int64_t i = first; i + 2 <= last; ++i) {
        if (startCodeAt(after, i) != startCodeAt(before, i)) {
            rewrite.Refusal = Format(SMpegStartCodeFormed, fieldsFileOffset);
            return rewrite;
        }
    }
    rewrite.Bytes = std::move(after);
    rewrite.First = first;
    rewrite.Last = last;
    return rewrite;
}
