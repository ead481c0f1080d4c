#pragma once

// HEVC as a codec of the program: its SPS states the aspect ratio in the VUI, as H.264's does, found
// behind Annex B start codes or length prefixes; the NAL unit header is two bytes.

#include "HevcSps.h"
#include "h264/VuiCodec.h"

#include <memory>

// An SPS NAL unit of the base layer with an aspect-ratio field, decoded.
class THevcUnit : public TVuiUnit {
public:
    explicit THevcUnit(std::unique_ptr<THevcNalUnit> unit);

    const THevcNalUnit &NalUnit() const { return *FUnit; }
    const THevcSequenceParameterSet &SequenceParameterSet() const { return *FUnit->SequenceParameterSet; }

    const TVUIParameters *Vui() const override { return SequenceParameterSet().VUIParameters.get(); }
    const std::vector<uint8_t> &Bytes() const override { return FUnit->Bytes; }
    bool Complete() const override { return FUnit->Complete; }
    int32_t Width() const override;
    int32_t Height() const override;
    int32_t Id() const override;
    int64_t HeaderPosition() const override;

private:
    std::unique_ptr<THevcNalUnit> FUnit;
};

class THevcCodec : public TVuiCodec {
public:
    const char *Key() const override { return "hevc"; }
    const char *Name() const override { return "HEVC"; }
    const char *ConfigName() const override { return "HEVC decoder configuration"; }

    bool StatesRatio(uint8_t firstByte) const override {
        return HevcNalUnitTypeOf(firstByte) == HevcNalTypeSps;
    }
    // The delimiter and the VPS come before the SPS of an access unit.
    bool LeadsRatioUnit(uint8_t firstByte) const override {
        const uint8_t type = HevcNalUnitTypeOf(firstByte);
        return type == HevcNalTypeVps || type == HevcNalTypeAccessUnitDelimiter;
    }
    std::string UnreadReason(const std::vector<uint8_t> &bytes) const override;
    int64_t MaxUnitBytes() const override { return MaxHevcSpsBytes; }
    std::unique_ptr<TRatioUnit> Decode(std::vector<uint8_t> bytes, bool complete) const override;
    TCodecConfig ReadConfig(const std::vector<uint8_t> &record) const override;
    bool BeginsAccessUnit(const uint8_t *bytes, size_t size) const override;
};

const TCodec &HevcCodec();

// The SPS of a unit of the HEVC codec, null for a unit of another codec.
const THevcSequenceParameterSet *HevcSpsOf(const TRatioUnit *unit);
