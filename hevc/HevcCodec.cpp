#include "HevcCodec.h"

#include "HevcConfig.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>

// ---- THevcUnit ----

THevcUnit::THevcUnit(std::unique_ptr<THevcNalUnit> unit) : TVuiUnit(HevcCodec()), FUnit(std::move(unit)) {}

int32_t THevcUnit::Width() const {
    return SequenceParameterSet().Width();
}

int32_t THevcUnit::Height() const {
    return SequenceParameterSet().Height();
}

int32_t THevcUnit::Id() const {
    return static_cast<int32_t>(SequenceParameterSet().sps_seq_parameter_set_id);
}

int64_t THevcUnit::HeaderPosition() const {
    return SequenceParameterSet().Position;
}

// ---- THevcCodec ----

// Layers above the base layer may code their SPS in the multi-layer form (Annex F), which takes its
// picture format from the VPS.
std::string THevcCodec::UnreadReason(const std::vector<uint8_t> &bytes) const {
    if (bytes.size() < 2)
        return {};
    const uint8_t layer = HevcLayerIdOf(bytes[0], bytes[1]);
    return layer == 0 ? std::string() : Format(SLayerUnitNotRead, int64_t{layer});
}

std::unique_ptr<TRatioUnit> THevcCodec::Decode(std::vector<uint8_t> bytes, bool complete) const {
    std::unique_ptr<THevcNalUnit> unit = DecodeHevcNalUnit(std::move(bytes), complete);
    if (!unit->SequenceParameterSet || !unit->SequenceParameterSet->HasAspectRatioField())
        return nullptr;
    return std::make_unique<THevcUnit>(std::move(unit));
}

TCodecConfig THevcCodec::ReadConfig(const std::vector<uint8_t> &record) const {
    const THevcDecoderConfig hevc = ReadHevcDecoderConfig(record.data(), record.size());
    TCodecConfig config;
    config.LengthSize = hevc.LengthSize;
    for (const THevcDecoderConfig::TNalUnit &unit : hevc.NalUnits) {
        // The array's type says what its units are; the unit's own header decides, as in the samples.
        if (unit.Length < 1 || !StatesRatio(record[static_cast<size_t>(unit.Offset)]))
            continue;
        const auto first = record.begin() + static_cast<ptrdiff_t>(unit.Offset);
        const int64_t kept = std::min(unit.Length, MaxHevcSpsBytes);
        config.Units.push_back({unit.Offset,
                                std::vector<uint8_t>(first, first + static_cast<ptrdiff_t>(kept)),
                                unit.Length == kept});
    }
    return config;
}

// Transport streams must open every HEVC access unit with a delimiter (type 35): its two header bytes
// (layer 0, any temporal id) and then pic_type and the stop bit. H.264's delimiter (09) and MPEG-2 video
// never begin so.
bool THevcCodec::BeginsAccessUnit(const uint8_t *bytes, size_t size) const {
    const size_t at = StartCodeLength(bytes, size);
    return at > 0 && at + 3 <= size && (bytes[at] & 0x80) == 0 &&
           HevcNalUnitTypeOf(bytes[at]) == HevcNalTypeAccessUnitDelimiter &&
           HevcLayerIdOf(bytes[at], bytes[at + 1]) == 0 && (bytes[at + 1] & 0x07) != 0 &&
           (bytes[at + 2] & 0x1F) == 0x10;
}

const TCodec &HevcCodec() {
    static const THevcCodec codec;
    return codec;
}

const THevcSequenceParameterSet *HevcSpsOf(const TRatioUnit *unit) {
    const auto *hevc = dynamic_cast<const THevcUnit *>(unit);
    return hevc != nullptr ? &hevc->SequenceParameterSet() : nullptr;
}
