#include "H264Codec.h"

#include "AvcConfig.h"

namespace {

constexpr uint8_t AccessUnitDelimiter = 9;

} // namespace

// ---- TH264Unit ----

TH264Unit::TH264Unit(std::unique_ptr<TNALUnit> unit) : TVuiUnit(H264Codec()), FUnit(std::move(unit)) {}

int32_t TH264Unit::Width() const {
    return SequenceParameterSet().Width();
}

int32_t TH264Unit::Height() const {
    return SequenceParameterSet().Height();
}

int32_t TH264Unit::Id() const {
    return static_cast<int32_t>(SequenceParameterSet().seq_parameter_set_id);
}

int64_t TH264Unit::HeaderPosition() const {
    return SequenceParameterSet().Position;
}

// ---- TH264Codec ----

std::unique_ptr<TRatioUnit> TH264Codec::Decode(std::vector<uint8_t> bytes, bool complete) const {
    std::unique_ptr<TNALUnit> unit = DecodeNALUnit(std::move(bytes), complete);
    if (!unit->SequenceParameterSet || !unit->SequenceParameterSet->HasAspectRatioField())
        return nullptr;
    return std::make_unique<TH264Unit>(std::move(unit));
}

TCodecConfig TH264Codec::ReadConfig(const std::vector<uint8_t> &record) const {
    const TAvcDecoderConfig avc = ReadAvcDecoderConfig(record.data(), record.size());
    TCodecConfig config;
    config.LengthSize = avc.LengthSize;
    for (TConfigSps &sps : ConfigSpsUnits(avc, record))
        config.Units.push_back({sps.Offset, std::move(sps.Unit.Bytes), sps.Unit.Complete});
    return config;
}

// Transport streams must open every H.264 access unit with a delimiter: its header and then its
// primary_pic_type and the stop bit. MPEG-2 video (00 00 01 B3 or 00), HEVC (its delimiter reads 46 01)
// and VC-1 never begin so.
bool TH264Codec::BeginsAccessUnit(const uint8_t *bytes, size_t size) const {
    const size_t at = StartCodeLength(bytes, size);
    return at > 0 && at + 2 <= size && (bytes[at] & 0x80) == 0 &&
           NalUnitTypeOf(bytes[at]) == AccessUnitDelimiter && (bytes[at + 1] & 0x1F) == 0x10;
}

const TCodec &H264Codec() {
    static const TH264Codec codec;
    return codec;
}

const TNALUnit *NalUnitOf(const TRatioUnit *unit) {
    const auto *h264 = dynamic_cast<const TH264Unit *>(unit);
    return h264 != nullptr ? &h264->NALUnit() : nullptr;
}

const TSequenceParameterSet *SpsOf(const TRatioUnit *unit) {
    const TNALUnit *nal = NalUnitOf(unit);
    return nal != nullptr ? nal->SequenceParameterSet.get() : nullptr;
}
