#pragma once

// H.264 as a codec of the program: its SPS states the aspect ratio in the VUI (Table E-1 codes, 255 for
// a custom ratio of two 16-bit terms), found behind Annex B start codes or length prefixes.

#include "VuiCodec.h"
#include "uH264.h"

#include <memory>

// An SPS NAL unit with an aspect-ratio field, decoded.
class TH264Unit : public TVuiUnit {
public:
    explicit TH264Unit(std::unique_ptr<TNALUnit> unit);

    const TNALUnit &NALUnit() const { return *FUnit; }
    const TSequenceParameterSet &SequenceParameterSet() const { return *FUnit->SequenceParameterSet; }

    const TVUIParameters *Vui() const override { return SequenceParameterSet().VUIParameters.get(); }
    const std::vector<uint8_t> &Bytes() const override { return FUnit->Bytes; }
    bool Complete() const override { return FUnit->Complete; }
    int32_t Width() const override;
    int32_t Height() const override;
    int32_t Id() const override;
    int64_t HeaderPosition() const override;

private:
    std::unique_ptr<TNALUnit> FUnit;
};

class TH264Codec : public TVuiCodec {
public:
    const char *Key() const override { return "h264"; }
    const char *Name() const override { return "H.264"; }
    const char *ConfigName() const override { return "AVC decoder configuration"; }

    bool StatesRatio(uint8_t firstByte) const override { return NalUnitTypeOf(firstByte) == NalTypeSps; }
    int64_t MaxUnitBytes() const override { return MaxSpsBytes; }
    std::unique_ptr<TRatioUnit> Decode(std::vector<uint8_t> bytes, bool complete) const override;
    TCodecConfig ReadConfig(const std::vector<uint8_t> &record) const override;
    bool BeginsAccessUnit(const uint8_t *bytes, size_t size) const override;
};

const TCodec &H264Codec();

// The NAL unit and the SPS of a unit of the H.264 codec, null for a unit of another codec.
const TNALUnit *NalUnitOf(const TRatioUnit *unit);
const TSequenceParameterSet *SpsOf(const TRatioUnit *unit);
