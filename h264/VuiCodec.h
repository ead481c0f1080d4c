#pragma once

// What the codecs whose ratio opens an Annex E VUI share (H.264 and HEVC): the ratio codes of Table E-1,
// the custom form of two 16-bit terms behind code 255, and writing those bits into a NAL unit under its
// emulation-prevention rules.

#include "codec/Codec.h"

class TVUIParameters;

// A unit whose VUI states the ratio.
class TVuiUnit : public TRatioUnit {
public:
    // The unit's VUI; null when it has none.
    virtual const TVUIParameters *Vui() const = 0;

    uint8_t Code() const override;
    TRatio Sar() const override;
    int64_t FieldsPosition() const override;
    uint8_t FieldsBitOffset() const override;
    std::string VideoFormatText() const override;
    std::string OverscanText() const override;

protected:
    using TRatioUnit::TRatioUnit;
};

// Units of a TVuiCodec are TVuiUnit.
class TVuiCodec : public TCodec {
public:
    const char *UnitName() const override { return "SPS"; }
    const char *FieldsName() const override { return "VUI"; }
    const char *CodeName() const override { return "aspect_ratio_idc"; }
    TUnitFraming Framing() const override { return TUnitFraming::AnnexB; }

    uint8_t CustomCode() const override;
    int64_t MaxCustomTerm() const override;
    std::vector<uint8_t> PredefinedCodes() const override;
    std::string CodeLabel(uint8_t code) const override;
    TRatio SarOfCode(uint8_t code, int64_t width, int64_t height) const override;
    uint8_t CodeForSar(TRatio sar, int64_t width, int64_t height) const override;
    bool StatesNoRatio(uint8_t code) const override;

    std::string ReplacementRefusal(const TRatioUnit &unit, uint8_t code) const override;
    TCodeChoice ChooseFor(const TRatioUnit &unit, TRatio sar) const override;
    TUnitRewrite Rewrite(const TRatioUnit &unit, uint8_t code, TRatio custom,
                         int64_t fieldsFileOffset) const override;

protected:
    // The length of the start code (00 00 01 or 00 00 00 01) the bytes open with; 0 for none.
    static size_t StartCodeLength(const uint8_t *bytes, size_t size);
};
