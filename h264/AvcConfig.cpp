#include "AvcConfig.h"

#include "H264Codec.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "uH264.h"

#include <algorithm>

TAvcDecoderConfig ReadAvcDecoderConfig(const uint8_t *record, size_t size) {
    TAvcDecoderConfig config;
    size_t at = 0;
    auto need = [&](size_t count) {
        if (count > size - at)
            throw Exception(Format(SConfigTooShort, H264Codec().ConfigName(), static_cast<int64_t>(size)));
    };
    need(6);
    config.ConfigurationVersion = record[0];
    config.AVCProfileIndication = record[1];
    config.AVCLevelIndication = record[3];
    config.LengthSize = (record[4] & 0x03) + 1;
    if (config.LengthSize == 3)
        throw Exception(Format(SConfigLengthSize, H264Codec().ConfigName()));
    const size_t spsCount = record[5] & 0x1F;
    at = 6;
    auto readSets = [&](size_t count, std::vector<TAvcDecoderConfig::TParameterSet> &sets) {
        for (size_t i = 0; i < count; ++i) {
            need(2);
            const size_t length = (size_t{record[at]} << 8) | record[at + 1];
            at += 2;
            need(length);
            sets.push_back({static_cast<int64_t>(at), static_cast<int64_t>(length)});
            at += length;
        }
    };
    readSets(spsCount, config.SequenceParameterSets);
    need(1);
    const size_t ppsCount = record[at++];
    readSets(ppsCount, config.PictureParameterSets);
    // High profiles may go on with chroma format, bit depths and SPS extensions: nothing needed here.
    return config;
}

std::vector<TConfigSps> ConfigSpsUnits(const TAvcDecoderConfig &config, const std::vector<uint8_t> &record) {
    std::vector<TConfigSps> units;
    for (const TAvcDecoderConfig::TParameterSet &set : config.SequenceParameterSets) {
        if (set.Length < 1 || NalUnitTypeOf(record[static_cast<size_t>(set.Offset)]) != NalTypeSps)
            continue;
        TConfigSps &sps = units.emplace_back();
        sps.Offset = set.Offset;
        sps.Unit.Complete = set.Length <= MaxSpsBytes;
        const auto first = record.begin() + static_cast<ptrdiff_t>(set.Offset);
        sps.Unit.Bytes.assign(first, first + static_cast<ptrdiff_t>(std::min(set.Length, MaxSpsBytes)));
    }
    return units;
}
