#include "Mpeg4VisualCodec.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/BitWriter.h"
#include "codec/CodeTable.h"
#include "codec/ElementaryDetect.h"
#include "codec/StartCodeUnits.h"

#include <array>

namespace {

// Table 6-12: the pixel aspect ratios of codes 1 to 5, and what each is for.
struct TPredefinedPar {
    TRatio Par;
    const char *Use;
};
constexpr std::array<TPredefinedPar, 5> PredefinedPars{{
    {{1, 1}, "square"},
    {{12, 11}, "4:3 PAL"},
    {{10, 11}, "4:3 NTSC"},
    {{16, 11}, "16:9 PAL"},
    {{40, 33}, "16:9 NTSC"},
}};

bool IsPredefined(uint8_t code) {
    return code >= 1 && code <= PredefinedPars.size();
}

} // namespace

// ---- TMpeg4VisualUnit ----

TMpeg4VisualUnit::TMpeg4VisualUnit(const TCodec &codec, std::vector<uint8_t> bytes, bool complete,
                                   TVideoObjectLayer layer)
    : TRatioUnit(codec), FBytes(std::move(bytes)), FComplete(complete), FLayer(layer) {}

TRatio TMpeg4VisualUnit::Sar() const {
    if (Code() != Mpeg4ExtendedPar)
        return Codec().SarOfCode(Code(), Width(), Height());
    if (FLayer.par_width == 0 || FLayer.par_height == 0)
        return {};
    return {FLayer.par_width, FLayer.par_height};
}

std::string TMpeg4VisualUnit::VideoFormatText() const {
    return SMpeg4NoVideoFormat;
}

std::string TMpeg4VisualUnit::OverscanText() const {
    return FLayer.interlaced == 1 ? SMpeg4Interlaced : SMpeg4Progressive;
}

// ---- TMpeg4VisualCodec ----

bool TMpeg4VisualCodec::LeadsRatioUnit(uint8_t firstByte) const {
    return firstByte == Mpeg4VisualObjectSequenceCode || firstByte == Mpeg4UserDataCode ||
           firstByte == Mpeg4VisualObjectCode || firstByte <= Mpeg4LastVideoObjectCode;
}

// A damaged header is left to Decode, which names the damage.
std::string TMpeg4VisualCodec::UnreadReason(const std::vector<uint8_t> &bytes) const {
    try {
        const TVideoObjectLayer layer = ReadVideoObjectLayer(bytes);
        if (!layer.Rectangular())
            return Format(SMpeg4NotRectangular, int64_t{layer.video_object_layer_shape});
    } catch (const Exception &) {
    }
    return {};
}

std::unique_ptr<TRatioUnit> TMpeg4VisualCodec::Decode(std::vector<uint8_t> bytes, bool complete) const {
    TVideoObjectLayer layer = ReadVideoObjectLayer(bytes);
    return std::make_unique<TMpeg4VisualUnit>(*this, std::move(bytes), complete, layer);
}

TCodecConfig TMpeg4VisualCodec::ReadConfig(const std::vector<uint8_t> &record) const {
    return ReadStartCodeConfig(*this, record);
}

bool TMpeg4VisualCodec::BeginsAccessUnit(const uint8_t *bytes, size_t size) const {
    return DetectElementaryCodec(bytes, size) == Key();
}

std::string TMpeg4VisualCodec::CodeLabel(uint8_t code) const {
    if (!IsPredefined(code))
        return {};
    const TPredefinedPar &par = PredefinedPars[code - 1];
    return RatioText(par.Par) + "  (" + par.Use + ")";
}

TRatio TMpeg4VisualCodec::SarOfCode(uint8_t code, int64_t, int64_t) const {
    return IsPredefined(code) ? PredefinedPars[code - 1].Par : TRatio{};
}

uint8_t TMpeg4VisualCodec::CodeForSar(TRatio sar, int64_t, int64_t) const {
    if (sar.X < 1 || sar.Y < 1)
        return 0;
    const TRatio wanted = ReduceRatio(sar.X, sar.Y);
    for (uint8_t code = 1; code <= PredefinedPars.size(); ++code)
        if (PredefinedPars[code - 1].Par.X == wanted.X && PredefinedPars[code - 1].Par.Y == wanted.Y)
            return code;
    return 0;
}

std::string TMpeg4VisualCodec::ReplacementRefusal(const TRatioUnit &unit, uint8_t code) const {
    const bool extended = unit.Code() == Mpeg4ExtendedPar;
    if (code == Mpeg4ExtendedPar)
        return extended ? std::string() : Format(SMpeg4PredefinedStays, int64_t{unit.Code()});
    if (!IsPredefined(code))
        return Format(SMpeg4ReservedCode, int64_t{code});
    return extended ? std::string(SMpeg4ExtendedStays) : std::string();
}

// An extended ratio is written as asked where its terms fit in 8 bits, else reduced.
TCodeChoice TMpeg4VisualCodec::ChooseFor(const TRatioUnit &unit, TRatio sar) const {
    TCodeChoice choice;
    const TRatio reduced = ReduceRatio(sar.X, sar.Y);
    if (unit.Code() == Mpeg4ExtendedPar) {
        auto fits = [](TRatio ratio) {
            return ratio.X >= 1 && ratio.X <= Mpeg4MaxParTerm && ratio.Y >= 1 && ratio.Y <= Mpeg4MaxParTerm;
        };
        if (fits(sar))
            choice.Custom = sar;
        else if (fits(reduced))
            choice.Custom = reduced;
        else
            choice.Refusal = Format(SMpeg4ParTermOutOfRange, RatioText(sar),
                                    RatioText(NearestRatio(sar.X, sar.Y, Mpeg4MaxParTerm)));
        choice.Code = Mpeg4ExtendedPar;
        return choice;
    }
    choice.Code = CodeForSar(sar, unit.Width(), unit.Height());
    if (choice.Code != 0)
        return choice;
    choice.Refusal = Format(SMpeg4NotPredefined, RatioText(reduced)) + " " +
                     Format(SMpeg4PredefinedStays, int64_t{unit.Code()});
    if (const uint8_t nearby = NearestCodeWithin(*this, reduced, 0, 0, 0.01); nearby != 0)
        choice.Refusal +=
            " " + Format(SMpeg4NearestPredefined, RatioText(SarOfCode(nearby, 0, 0)), int64_t{nearby});
    return choice;
}

TUnitRewrite TMpeg4VisualCodec::Rewrite(const TRatioUnit &ratioUnit, uint8_t code, TRatio custom,
                                        int64_t fieldsFileOffset) const {
    TUnitRewrite rewrite;
    const auto &unit = static_cast<const TMpeg4VisualUnit &>(ratioUnit);
    rewrite.Refusal = ReplacementRefusal(unit, code);
    if (rewrite.Refusal.empty() && code == Mpeg4ExtendedPar &&
        (custom.X < 1 || custom.X > Mpeg4MaxParTerm || custom.Y < 1 || custom.Y > Mpeg4MaxParTerm))
        rewrite.Refusal = Format(SMpeg4ParTermOutOfRange, RatioText(custom),
                                 RatioText(NearestRatio(custom.X, custom.Y, Mpeg4MaxParTerm)));
    if (!rewrite.Refusal.empty())
        return rewrite;
    const int64_t bit = unit.Layer().AspectRatioBit;
    TBitWriter writer(unit.Bytes());
    writer.Write(bit, code, 4);
    int bits = 4;
    if (code == Mpeg4ExtendedPar) {
        writer.Write(bit + 4, static_cast<uint32_t>(custom.X), 8);
        writer.Write(bit + 12, static_cast<uint32_t>(custom.Y), 8);
        bits += 16;
    }
    return StartCodeRewrite(unit.Bytes(), writer.Bytes(), bit / 8, (bit + bits - 1) / 8, fieldsFileOffset);
}

const TCodec &Mpeg4VisualCodec() {
    static const TMpeg4VisualCodec codec;
    return codec;
}
