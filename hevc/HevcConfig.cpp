#include "HevcConfig.h"

#include "HevcCodec.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

// 22 bytes of profile, level, chroma format, bit depths and frame rate, the length size in the last of
// them, then the arrays.
THevcDecoderConfig ReadHevcDecoderConfig(const uint8_t *record, size_t size) {
    THevcDecoderConfig config;
    size_t at = 0;
    auto need = [&](size_t count) {
        if (count > size - at)
            throw Exception(Format(SConfigTooShort, HevcCodec().ConfigName(), static_cast<int64_t>(size)));
    };
    need(23);
    config.ConfigurationVersion = record[0];
    config.GeneralProfileIdc = record[1] & 0x1F;
    config.GeneralLevelIdc = record[12];
    config.LengthSize = (record[21] & 0x03) + 1;
    if (config.LengthSize == 3)
        throw Exception(Format(SConfigLengthSize, HevcCodec().ConfigName()));
    const size_t arrays = record[22];
    at = 23;
    for (size_t array = 0; array < arrays; ++array) {
        need(3);
        const auto type = static_cast<uint8_t>(record[at] & 0x3F);
        const size_t units = (size_t{record[at + 1]} << 8) | record[at + 2];
        at += 3;
        for (size_t i = 0; i < units; ++i) {
            need(2);
            const size_t length = (size_t{record[at]} << 8) | record[at + 1];
            at += 2;
            need(length);
            config.NalUnits.push_back({type, static_cast<int64_t>(at), static_cast<int64_t>(length)});
            at += length;
        }
    }
    return config;
}
