#include "VuiCodec.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/BitWriter.h"
#include "uH264.h"

#include <algorithm>
#include <array>

namespace {

// Why a unit can not take a code of the other kind in place.
std::string KindMismatchReason(const TRatioUnit &unit) {
    return unit.Code() == UnspecifiedSarIdc ? SUnspecifiedTakesNoCustom : SSaveKindMismatch;
}

} // namespace

// ---- TVuiUnit ----

uint8_t TVuiUnit::Code() const {
    return Vui() != nullptr ? Vui()->AspectRatioIdc() : 0;
}

TRatio TVuiUnit::Sar() const {
    return Vui() != nullptr ? TRatio{Vui()->SarWidth(), Vui()->SarHeight()} : TRatio{};
}

int64_t TVuiUnit::FieldsPosition() const {
    return Vui() != nullptr ? Vui()->Position : 0;
}

uint8_t TVuiUnit::FieldsBitOffset() const {
    return Vui() != nullptr ? Vui()->BitOffset : 0;
}

std::string TVuiUnit::VideoFormatText() const {
    return Vui() != nullptr ? Vui()->VideoFormatText() : std::string();
}

std::string TVuiUnit::OverscanText() const {
    return Vui() != nullptr ? Vui()->OverscanText() : std::string();
}

// ---- TVuiCodec ----

size_t TVuiCodec::StartCodeLength(const uint8_t *bytes, size_t size) {
    if (size >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1)
        return 4;
    if (size >= 3 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1)
        return 3;
    return 0;
}

uint8_t TVuiCodec::CustomCode() const {
    return ExtendedSarIdc;
}

int64_t TVuiCodec::MaxCustomTerm() const {
    return MaxSarTerm;
}

bool TVuiCodec::StatesNoRatio(uint8_t code) const {
    return code == UnspecifiedSarIdc;
}

std::vector<uint8_t> TVuiCodec::PredefinedCodes() const {
    std::vector<uint8_t> codes;
    for (uint8_t code = 1; PredefinedSarWidth(code) > 0; ++code)
        codes.push_back(code);
    return codes;
}

// Codes 2 to 5 are the pixel shapes of digitized PAL and NTSC pictures, as MPEG-4 Part 2 names them too.
std::string TVuiCodec::CodeLabel(uint8_t code) const {
    static const std::array<const char *, 6> Notes{"",
                                                   "",
                                                   "  (  4:3 PAL   MPEG-4)",
                                                   "  (  4:3 NTSC MPEG-4)",
                                                   "  (16:9 PAL   MPEG-4)",
                                                   "  (16:9 NTSC MPEG-4)"};
    const TRatio sar = SarOfCode(code, 0, 0);
    return std::to_string(sar.X) + ":" + std::to_string(sar.Y) + (code < Notes.size() ? Notes[code] : "");
}

TRatio TVuiCodec::SarOfCode(uint8_t code, int64_t, int64_t) const {
    if (code == ExtendedSarIdc || PredefinedSarWidth(code) < 1)
        return {};
    return {PredefinedSarWidth(code), PredefinedSarHeight(code)};
}

uint8_t TVuiCodec::CodeForSar(TRatio sar, int64_t, int64_t) const {
    return PredefinedCodeForRatio(sar.X, sar.Y);
}

// A predefined code takes the 8 bits of aspect_ratio_idc; a custom ratio 32 more, which only a custom
// ratio already holds.
std::string TVuiCodec::ReplacementRefusal(const TRatioUnit &unit, uint8_t code) const {
    if ((code == ExtendedSarIdc) == (unit.Code() == ExtendedSarIdc))
        return {};
    return KindMismatchReason(unit);
}

TCodeChoice TVuiCodec::ChooseFor(const TRatioUnit &unit, TRatio sar) const {
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

// Worked out in the unit's own bytes, where emulation prevention is judged (the rules of H.264 and HEVC
// are the same). The span covers the bits written and two bytes on each side inside the unit: the checks
// below depend on all of them.
TUnitRewrite TVuiCodec::Rewrite(const TRatioUnit &ratioUnit, uint8_t code, TRatio custom,
                                int64_t fieldsFileOffset) const {
    TUnitRewrite rewrite;
    const TVUIParameters *vui = static_cast<const TVuiUnit &>(ratioUnit).Vui();
    if (vui == nullptr) {
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
    const std::vector<uint8_t> &before = ratioUnit.Bytes();
    const auto size = static_cast<int64_t>(before.size());
    const int64_t first = vui->AspectRatioIdcPosition;
    const int bitCount = code == ExtendedSarIdc ? 40 : 8;
    const int64_t last = first + (vui->AspectRatioIdcBitOffset + bitCount - 1) / 8;
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
    const int64_t idcBit = first * 8 + vui->AspectRatioIdcBitOffset;
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
