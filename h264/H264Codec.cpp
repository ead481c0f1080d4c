#include "H264Codec.h"

#include "AvcConfig.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/BitWriter.h"

#include <algorithm>
#include <array>

namespace {

constexpr uint8_t AccessUnitDelimiter = 9;

const TVUIParameters &VuiOf(const TH264Unit &unit) {
    return *unit.SequenceParameterSet().VUIParameters;
}

// Why a unit can not take a code of the other kind in place.
std::string KindMismatchReason(const TRatioUnit &unit) {
    return unit.Code() == UnspecifiedSarIdc ? SUnspecifiedTakesNoCustom : SSaveKindMismatch;
}

} // namespace

// ---- TH264Unit ----

TH264Unit::TH264Unit(std::unique_ptr<TNALUnit> unit) : TRatioUnit(H264Codec()), FUnit(std::move(unit)) {}

uint8_t TH264Unit::Code() const {
    return SequenceParameterSet().AspectRatioIdc();
}

TRatio TH264Unit::Sar() const {
    return {SequenceParameterSet().SarWidth(), SequenceParameterSet().SarHeight()};
}

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

int64_t TH264Unit::FieldsPosition() const {
    return SequenceParameterSet().VUIParameters ? VuiOf(*this).Position : 0;
}

uint8_t TH264Unit::FieldsBitOffset() const {
    return SequenceParameterSet().VUIParameters ? VuiOf(*this).BitOffset : 0;
}

std::string TH264Unit::VideoFormatText() const {
    return SequenceParameterSet().VUIParameters ? VuiOf(*this).VideoFormatText() : std::string();
}

std::string TH264Unit::OverscanText() const {
    return SequenceParameterSet().VUIParameters ? VuiOf(*this).OverscanText() : std::string();
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
    size_t at = 0;
    if (size >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1)
        at = 4;
    else if (size >= 3 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1)
        at = 3;
    else
        return false;
    return at + 2 <= size && (bytes[at] & 0x80) == 0 && NalUnitTypeOf(bytes[at]) == AccessUnitDelimiter &&
           (bytes[at + 1] & 0x1F) == 0x10;
}

std::vector<uint8_t> TH264Codec::PredefinedCodes() const {
    std::vector<uint8_t> codes;
    for (uint8_t code = 1; PredefinedSarWidth(code) > 0; ++code)
        codes.push_back(code);
    return codes;
}

// Codes 2 to 5 are the pixel shapes of digitized PAL and NTSC pictures, as MPEG-4 Part 2 names them too.
std::string TH264Codec::CodeLabel(uint8_t code) const {
    static const std::array<const char *, 6> Notes{"",
                                                   "",
                                                   "  (  4:3 PAL   MPEG-4)",
                                                   "  (  4:3 NTSC MPEG-4)",
                                                   "  (16:9 PAL   MPEG-4)",
                                                   "  (16:9 NTSC MPEG-4)"};
    const TRatio sar = SarOfCode(code, 0, 0);
    return std::to_string(sar.X) + ":" + std::to_string(sar.Y) + (code < Notes.size() ? Notes[code] : "");
}

TRatio TH264Codec::SarOfCode(uint8_t code, int64_t, int64_t) const {
    if (code == ExtendedSarIdc || PredefinedSarWidth(code) < 1)
        return {};
    return {PredefinedSarWidth(code), PredefinedSarHeight(code)};
}

uint8_t TH264Codec::CodeForSar(TRatio sar, int64_t, int64_t) const {
    return PredefinedCodeForRatio(sar.X, sar.Y);
}

// A predefined code takes the 8 bits of aspect_ratio_idc; a custom ratio 32 more, which only a custom
// ratio already holds.
std::string TH264Codec::ReplacementRefusal(const TRatioUnit &unit, uint8_t code) const {
    if ((code == ExtendedSarIdc) == (unit.Code() == ExtendedSarIdc))
        return {};
    return KindMismatchReason(unit);
}

TCodeChoice TH264Codec::ChooseFor(const TRatioUnit &unit, TRatio sar) const {
    TCodeChoice choice;
    if (unit.Code() != ExtendedSarIdc) {
        choice.Code = PredefinedCodeForRatio(sar.X, sar.Y);
        if (choice.Code == 0)
            choice.Refusal = KindMismatchReason(unit) + " " + Format(SNoPredefinedRatio, sar.X, sar.Y);
        return choice;
    }
    if (sar.X < 1 || sar.X > MaxSarTerm || sar.Y < 1 || sar.Y > MaxSarTerm) {
        choice.Refusal = Format(SCustomTermOutOfRange, sar.X, sar.Y);
        return choice;
    }
    choice.Code = ExtendedSarIdc;
    choice.Custom = sar;
    return choice;
}

// Worked out in the unit's own bytes, where emulation prevention is judged. The span covers the bits
// written and two bytes on each side inside the unit: the checks below depend on all of them.
TUnitRewrite TH264Codec::Rewrite(const TRatioUnit &ratioUnit, uint8_t code, TRatio custom,
                                 int64_t fieldsFileOffset) const {
    TUnitRewrite rewrite;
    const auto &unit = static_cast<const TH264Unit &>(ratioUnit);
    if (!unit.SequenceParameterSet().VUIParameters) {
        rewrite.Refusal = SRecordWithoutUnit;
        return rewrite;
    }
    if (code != ExtendedSarIdc && PredefinedSarWidth(code) < 1) {
        rewrite.Refusal = Format(SReservedCode, code);
        return rewrite;
    }
    if (code == ExtendedSarIdc &&
        (custom.X < 1 || custom.X > MaxSarTerm || custom.Y < 1 || custom.Y > MaxSarTerm)) {
        rewrite.Refusal = Format(SCustomTermOutOfRange, custom.X, custom.Y);
        return rewrite;
    }
    const TVUIParameters &vui = VuiOf(unit);
    const std::vector<uint8_t> &before = unit.Bytes();
    const auto size = static_cast<int64_t>(before.size());
    const int64_t first = vui.AspectRatioIdcPosition;
    const int bitCount = code == ExtendedSarIdc ? 40 : 8;
    const int64_t last = first + (vui.AspectRatioIdcBitOffset + bitCount - 1) / 8;
    // The unit's last byte stays as it is, so that where the unit ends stays where it is.
    if (last + 1 >= size) {
        rewrite.Refusal = Format(SSpanAtUnitEnd, fieldsFileOffset);
        return rewrite;
    }
    // An emulation-prevention byte in the span would be overwritten; one just after it depends on the
    // last two bytes of the span, which the write changes.
    for (int64_t i = std::max<int64_t>(first, 2); i <= std::min(last + 2, size - 1); ++i)
        if (before[i] == 0x03 && before[i - 1] == 0 && before[i - 2] == 0) {
            rewrite.Refusal = Format(SEmulationPreventionInSpan, fieldsFileOffset);
            return rewrite;
        }
    TBitWriter writer(before);
    const int64_t idcBit = first * 8 + vui.AspectRatioIdcBitOffset;
    writer.Write(idcBit, code, 8);
    if (code == ExtendedSarIdc) {
        writer.Write(idcBit + 8, static_cast<uint32_t>(custom.X), 16);
        writer.Write(idcBit + 24, static_cast<uint32_t>(custom.Y), 16);
    }
    const std::vector<uint8_t> &after = writer.Bytes();
    for (int64_t i = std::max<int64_t>(0, first - 2); i <= last && i + 2 < size; ++i)
        if (after[i] == 0 && after[i + 1] == 0 && after[i + 2] <= 3) {
            rewrite.Refusal = Format(SForbiddenPattern, fieldsFileOffset, after[i + 2]);
            return rewrite;
        }
    rewrite.Bytes = after;
    rewrite.First = std::max<int64_t>(0, first - 2);
    rewrite.Last = std::min(size - 1, last + 2);
    return rewrite;
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
