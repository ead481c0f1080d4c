#pragma once

// MPEG-4 Part 2 video (Simple and Advanced Simple profiles: Xvid, DivX and the like) as a codec of the
// program. Every video object layer header (VOL) states the pixel aspect ratio in its 4-bit
// aspect_ratio_info: a code of Table 6-12, or 15 with par_width and par_height of 8 bits each. The VOL lies
// behind a start code without emulation prevention, after the visual object sequence and visual object
// headers that lead it at the head of a stream or a key frame.

#include "Mpeg4VisualHeaders.h"
#include "codec/Codec.h"

// A VOL, decoded.
class TMpeg4VisualUnit : public TRatioUnit {
public:
    TMpeg4VisualUnit(const TCodec &codec, std::vector<uint8_t> bytes, bool complete, TVideoObjectLayer layer);

    const TVideoObjectLayer &Layer() const { return FLayer; }

    const std::vector<uint8_t> &Bytes() const override { return FBytes; }
    bool Complete() const override { return FComplete; }
    uint8_t Code() const override { return FLayer.aspect_ratio_info; }
    // The extended terms, or the code's ratio; 0:0 for a term of 0 and for codes that state none.
    TRatio Sar() const override;
    int32_t Width() const override { return FLayer.video_object_layer_width; }
    int32_t Height() const override { return FLayer.video_object_layer_height; }
    int32_t Id() const override { return FLayer.video_object_layer_id; }
    int64_t HeaderPosition() const override { return 1; }
    int64_t FieldsPosition() const override { return FLayer.AspectRatioBit / 8; }
    uint8_t FieldsBitOffset() const override { return static_cast<uint8_t>(FLayer.AspectRatioBit % 8); }
    // The VOL states no video format (the visual object's signal type may); it says whether the picture is
    // interlaced.
    std::string VideoFormatText() const override;
    std::string OverscanText() const override;

private:
    std::vector<uint8_t> FBytes;
    bool FComplete;
    TVideoObjectLayer FLayer;
};

class TMpeg4VisualCodec : public TCodec {
public:
    const char *Key() const override { return "mpeg4visual"; }
    const char *Name() const override { return "MPEG-4 Part 2"; }
    const char *UnitName() const override { return "VOL"; }
    const char *FieldsName() const override { return "aspect_ratio_info"; }
    const char *CodeName() const override { return "aspect_ratio_info"; }
    const char *ConfigName() const override { return "MPEG-4 Part 2 decoder configuration"; }

    TUnitFraming Framing() const override { return TUnitFraming::StartCodes; }
    bool StatesRatio(uint8_t firstByte) const override { return IsMpeg4VideoObjectLayerCode(firstByte); }
    // The visual object sequence, its user data, the visual object and the video object come first.
    bool LeadsRatioUnit(uint8_t firstByte) const override;
    // A VOL with both quantiser matrices and sprite points is a few hundred bytes.
    int64_t MaxUnitBytes() const override { return 1024; }
    std::string UnreadReason(const std::vector<uint8_t> &bytes) const override;
    std::unique_ptr<TRatioUnit> Decode(std::vector<uint8_t> bytes, bool complete) const override;
    // Codec private data and decoder specific information hold the headers behind start codes.
    TCodecConfig ReadConfig(const std::vector<uint8_t> &record) const override;
    // A stream's headers, as a raw stream of the codec begins.
    bool BeginsAccessUnit(const uint8_t *bytes, size_t size) const override;

    uint8_t CustomCode() const override { return Mpeg4ExtendedPar; }
    int64_t MaxCustomTerm() const override { return Mpeg4MaxParTerm; }
    std::vector<uint8_t> PredefinedCodes() const override { return {1, 2, 3, 4, 5}; }
    std::string CodeLabel(uint8_t code) const override;
    TRatio SarOfCode(uint8_t code, int64_t width, int64_t height) const override;
    uint8_t CodeForSar(TRatio sar, int64_t width, int64_t height) const override;
    bool StatesNoRatio(uint8_t) const override { return false; }

    // Predefined codes replace predefined codes, extended ratios extended ones: the other form has
    // another length.
    std::string ReplacementRefusal(const TRatioUnit &unit, uint8_t code) const override;
    TCodeChoice ChooseFor(const TRatioUnit &unit, TRatio sar) const override;
    TUnitRewrite Rewrite(const TRatioUnit &unit, uint8_t code, TRatio custom,
                         int64_t fieldsFileOffset) const override;
};

const TCodec &Mpeg4VisualCodec();
