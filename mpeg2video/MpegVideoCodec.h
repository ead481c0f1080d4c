#pragma once

// MPEG-1 and MPEG-2 video as codecs of the program. Every sequence header states the ratio in its 4-bit
// aspect_ratio_information, behind start codes without emulation prevention; a unit is the sequence
// header with the extensions and user data that follow it. The two standards read the code from
// different tables: MPEG-2's states a display aspect ratio (or square samples), MPEG-1's a pixel shape.
// Which one a unit is told by its sequence extension, which only MPEG-2 has: a unit found in a stream
// its container calls MPEG-2 video is read as MPEG-1 without one, as decoders do.

#include "MpegVideoHeaders.h"
#include "codec/Codec.h"

// A sequence header (with its extensions), decoded.
class TMpegVideoUnit : public TRatioUnit {
public:
    TMpegVideoUnit(const TCodec &codec, std::vector<uint8_t> bytes, bool complete, TMpegSequence sequence);

    const TMpegSequence &Sequence() const { return FSequence; }

    const std::vector<uint8_t> &Bytes() const override { return FBytes; }
    bool Complete() const override { return FComplete; }
    uint8_t Code() const override { return FSequence.aspect_ratio_information; }
    // MPEG-2: the display ratio applies to the display size of the sequence display extension where there
    // is one, else to the picture.
    TRatio Sar() const override;
    int32_t Width() const override { return FSequence.Width(); }
    int32_t Height() const override { return FSequence.Height(); }
    int32_t Id() const override { return -1; }
    int64_t HeaderPosition() const override { return 1; }
    int64_t FieldsPosition() const override { return MpegAspectRatioByte; }
    uint8_t FieldsBitOffset() const override { return 0; }
    std::string VideoFormatText() const override;
    // The display size, where the sequence display extension gives one.
    std::string OverscanText() const override;

private:
    std::vector<uint8_t> FBytes;
    bool FComplete;
    TMpegSequence FSequence;
};

// What MPEG-1 and MPEG-2 video share: finding, reading and writing sequence headers.
class TMpegVideoCodec : public TCodec {
public:
    const char *UnitName() const override { return "sequence header"; }
    const char *FieldsName() const override { return "aspect_ratio_information"; }
    const char *CodeName() const override { return "aspect_ratio_information"; }
    const char *ConfigName() const override { return "MPEG video sequence header"; }

    TUnitFraming Framing() const override { return TUnitFraming::StartCodes; }
    bool StatesRatio(uint8_t firstByte) const override { return firstByte == MpegSequenceHeaderCode; }
    bool ContinuesUnit(uint8_t startCodeValue) const override {
        return startCodeValue == MpegExtensionStartCode || startCodeValue == MpegUserDataStartCode;
    }
    // A sequence header with both quantiser matrices is 140 bytes; room for its extensions and some user
    // data behind them.
    int64_t MaxUnitBytes() const override { return 4096; }
    std::unique_ptr<TRatioUnit> Decode(std::vector<uint8_t> bytes, bool complete) const override;
    // Codec private data and decoder specific information hold sequence headers behind start codes.
    TCodecConfig ReadConfig(const std::vector<uint8_t> &record) const override;
    // Streams begin with a sequence header; every sequence header begins a picture's data. Of MPEG-1's
    // and MPEG-2's, the codec's own.
    bool BeginsAccessUnit(const uint8_t *bytes, size_t size) const override;

    uint8_t CustomCode() const override { return 0; }
    int64_t MaxCustomTerm() const override { return 0; }
    bool StatesNoRatio(uint8_t) const override { return false; }
    std::string ReplacementRefusal(const TRatioUnit &unit, uint8_t code) const override;
    TCodeChoice ChooseFor(const TRatioUnit &unit, TRatio sar) const override;
    TUnitRewrite Rewrite(const TRatioUnit &unit, uint8_t code, TRatio custom,
                         int64_t fieldsFileOffset) const override;

protected:
    // The ratios of the table as users read them, for messages ("1:1, 4:3, ...").
    virtual std::string StatedRatiosText() const = 0;
};

// ISO/IEC 13818-2: codes 1 (square samples), 2 (4:3), 3 (16:9), 4 (2.21:1).
class TMpeg2VideoCodec : public TMpegVideoCodec {
public:
    const char *Key() const override { return "mpeg2video"; }
    const char *Name() const override { return "MPEG-2 video"; }
    std::vector<uint8_t> PredefinedCodes() const override { return {1, 2, 3, 4}; }
    std::string CodeLabel(uint8_t code) const override;
    TRatio SarOfCode(uint8_t code, int64_t width, int64_t height) const override;
    uint8_t CodeForSar(TRatio sar, int64_t width, int64_t height) const override;

    // The display aspect ratio of a code; 0:0 for square samples and the codes that state none.
    static TRatio DarOfCode(uint8_t code);

protected:
    std::string StatedRatiosText() const override;
};

// ISO/IEC 11172-2: codes 1 to 14, each the height of a pixel over its width, given to four places.
class TMpeg1VideoCodec : public TMpegVideoCodec {
public:
    const char *Key() const override { return "mpeg1video"; }
    const char *Name() const override { return "MPEG-1 video"; }
    std::vector<uint8_t> PredefinedCodes() const override;
    std::string CodeLabel(uint8_t code) const override;
    // The pixel shape as a ratio of terms up to 255, as decoders take the table's decimals.
    TRatio SarOfCode(uint8_t code, int64_t width, int64_t height) const override;
    // The code whose pixel shape lies within 1% of sar, the nearest of them; the table holds no exact
    // ratios.
    uint8_t CodeForSar(TRatio sar, int64_t width, int64_t height) const override;

protected:
    std::string StatedRatiosText() const override;
};

const TCodec &Mpeg2VideoCodec();
const TCodec &Mpeg1VideoCodec();
