#include "MpegVideoCodec.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/BitWriter.h"
#include "codec/CodeTable.h"
#include "codec/NalSource.h"
#include "codec/StartCodeUnits.h"
#include "h264/uH264.h"

#include <algorithm>
#include <array>

namespace {

// The decoders' rational form of MPEG-1's decimals: terms up to 255.
constexpr int64_t Mpeg1MaxTerm = 255;
// Table 2-D.1: pixel height over width, times 10000, for codes 1 to 14.
constexpr std::array<int64_t, 14> Mpeg1PelAspect{10000, 6735, 7031,  7615,  8055,  8437,  8935,
                                                 9157,  9815, 10255, 10695, 10950, 11575, 12015};

} // namespace

// ---- TMpegVideoUnit ----

TMpegVideoUnit::TMpegVideoUnit(const TCodec &codec, std::vector<uint8_t> bytes, bool complete,
                               TMpegSequence sequence)
    : TRatioUnit(codec), FBytes(std::move(bytes)), FComplete(complete), FSequence(std::move(sequence)) {}

TRatio TMpegVideoUnit::Sar() const {
    if (!FSequence.IsMpeg2())
        return Codec().SarOfCode(Code(), Width(), Height());
    const TRatio dar = TMpeg2VideoCodec::DarOfCode(Code());
    if (dar.X == 0 || !FSequence.DisplayExtension)
        return Codec().SarOfCode(Code(), Width(), Height());
    const TMpegSequenceDisplayExtension &display = *FSequence.DisplayExtension;
    return ReduceRatio(dar.X * display.display_vertical_size, dar.Y * display.display_horizontal_size);
}

std::string TMpegVideoUnit::VideoFormatText() const {
    return VideoFormatName(FSequence.DisplayExtension ? FSequence.DisplayExtension->video_format : 5);
}

std::string TMpegVideoUnit::OverscanText() const {
    if (!FSequence.DisplayExtension)
        return SMpegNoDisplaySize;
    return Format(SMpegDisplaySize, int64_t{FSequence.DisplayExtension->display_horizontal_size},
                  int64_t{FSequence.DisplayExtension->display_vertical_size});
}

// ---- TMpegVideoCodec ----

std::unique_ptr<TRatioUnit> TMpegVideoCodec::Decode(std::vector<uint8_t> bytes, bool complete) const {
    TMpegSequence sequence = ReadMpegSequence(bytes, complete);
    const TCodec &codec = sequence.IsMpeg2() ? Mpeg2VideoCodec() : Mpeg1VideoCodec();
    return std::make_unique<TMpegVideoUnit>(codec, std::move(bytes), complete, std::move(sequence));
}

TCodecConfig TMpegVideoCodec::ReadConfig(const std::vector<uint8_t> &record) const {
    return ReadStartCodeConfig(*this, record);
}

// The sequence header tells MPEG-2 from MPEG-1 by the extension behind it; one whose fields are cut off
// by the end of the bytes is taken for MPEG-2, the common case.
bool TMpegVideoCodec::BeginsAccessUnit(const uint8_t *bytes, size_t size) const {
    const size_t at = OpeningStartCode(bytes, size);
    if (at == 0 || at >= size || bytes[at] != MpegSequenceHeaderCode)
        return false;
    const int64_t end = FindUnitEnd(bytes + at, static_cast<int64_t>(size - at), true, this);
    bool mpeg2 = true;
    try {
        mpeg2 = ReadMpegSequence(std::vector<uint8_t>(bytes + at, bytes + at + end), false).IsMpeg2();
    } catch (const Exception &) {
    }
    return mpeg2 == (this == &Mpeg2VideoCodec());
}

std::string TMpegVideoCodec::ReplacementRefusal(const TRatioUnit &, uint8_t code) const {
    const std::vector<uint8_t> codes = PredefinedCodes();
    if (std::find(codes.begin(), codes.end(), code) != codes.end())
        return {};
    return Format(SMpegReservedCode, int64_t{code}, Name(), int64_t{codes.front()}, int64_t{codes.back()});
}

TCodeChoice TMpegVideoCodec::ChooseFor(const TRatioUnit &unit, TRatio sar) const {
    TCodeChoice choice;
    choice.Code = CodeForSar(sar, unit.Width(), unit.Height());
    if (choice.Code == 0) {
        const TRatio dar = DarFromSar(sar.X, sar.Y, unit.Width(), unit.Height());
        choice.Refusal = Format(SMpegRatioNotStated, Name(), RatioText(ReduceRatio(sar.X, sar.Y)),
                                RatioText(dar), StatedRatiosText());
    }
    return choice;
}

// The code takes the upper half of a byte whose lower half (frame_rate_code) is never 0, so it never
// forms a start code. A display size that would state another ratio than the code at the picture size is
// given the picture's shape, keeping its height where it can: in MPEG-2 the display ratio applies to it.
TUnitRewrite TMpegVideoCodec::Rewrite(const TRatioUnit &ratioUnit, uint8_t code, TRatio,
                                      int64_t fieldsFileOffset) const {
    TUnitRewrite rewrite;
    const auto &unit = static_cast<const TMpegVideoUnit &>(ratioUnit);
    rewrite.Refusal = ReplacementRefusal(unit, code);
    if (!rewrite.Refusal.empty())
        return rewrite;
    TBitWriter writer(unit.Bytes());
    writer.Write(MpegAspectRatioByte * 8, code, 4);
    const int64_t first = MpegAspectRatioByte;
    int64_t last = MpegAspectRatioByte;
    const TMpegSequence &sequence = unit.Sequence();
    const TRatio dar = TMpeg2VideoCodec::DarOfCode(code);
    if (sequence.IsMpeg2() && sequence.DisplayExtension && dar.X != 0) {
        const TMpegSequenceDisplayExtension &display = *sequence.DisplayExtension;
        const int64_t width = unit.Width(), height = unit.Height();
        if (int64_t{display.display_horizontal_size} * height !=
            int64_t{display.display_vertical_size} * width) {
            const auto [displayWidth, displayHeight] = WholeSizeFor(
                ReduceRatio(width, height), {display.display_horizontal_size, display.display_vertical_size},
                MaxMpegDisplaySize);
            if (displayWidth == 0) {
                rewrite.Refusal = Format(SMpegDisplaySizeUnfit, fieldsFileOffset, width, height);
                return rewrite;
            }
            writer.Write(display.DisplayHorizontalSizeBit, static_cast<uint32_t>(displayWidth), 14);
            writer.Write(display.DisplayVerticalSizeBit, static_cast<uint32_t>(displayHeight), 14);
            last = (display.DisplayVerticalSizeBit + 13) / 8;
        }
    }
    // A start code broken shows where a damaged extension's last bits lie in its prefix.
    return StartCodeRewrite(unit.Bytes(), writer.Bytes(), first, last, fieldsFileOffset);
}

// ---- TMpeg2VideoCodec ----

TRatio TMpeg2VideoCodec::DarOfCode(uint8_t code) {
    switch (code) {
    case 2:
        return {4, 3};
    case 3:
        return {16, 9};
    case 4:
        return {221, 100};
    default:
        return {};
    }
}

std::string TMpeg2VideoCodec::CodeLabel(uint8_t code) const {
    if (code == 1)
        return "1:1  (square samples)";
    const TRatio dar = DarOfCode(code);
    return dar.X == 0 ? std::string() : (code == 4 ? std::string("2.21:1") : RatioText(dar)) + "  (display)";
}

TRatio TMpeg2VideoCodec::SarOfCode(uint8_t code, int64_t width, int64_t height) const {
    if (code == 1)
        return {1, 1};
    const TRatio dar = DarOfCode(code);
    if (dar.X == 0 || width < 1 || height < 1)
        return {};
    return SarFromDar(dar.X, dar.Y, width, height);
}

uint8_t TMpeg2VideoCodec::CodeForSar(TRatio sar, int64_t width, int64_t height) const {
    const TRatio wanted = ReduceRatio(sar.X, sar.Y);
    for (uint8_t code : PredefinedCodes()) {
        const TRatio stated = SarOfCode(code, width, height);
        if (stated.X == wanted.X && stated.Y == wanted.Y && wanted.X > 0)
            return code;
    }
    return 0;
}

std::string TMpeg2VideoCodec::StatedRatiosText() const {
    return SMpeg2StatedRatios;
}

// ---- TMpeg1VideoCodec ----

std::vector<uint8_t> TMpeg1VideoCodec::PredefinedCodes() const {
    std::vector<uint8_t> codes;
    for (uint8_t code = 1; code <= Mpeg1PelAspect.size(); ++code)
        codes.push_back(code);
    return codes;
}

std::string TMpeg1VideoCodec::CodeLabel(uint8_t code) const {
    const TRatio sar = SarOfCode(code, 0, 0);
    if (sar.X == 0)
        return {};
    const int64_t pel = Mpeg1PelAspect[code - 1];
    std::string label = RatioText(sar) + "  (" + std::to_string(pel / 10000) + "." +
                        std::to_string(10000 + pel % 10000).substr(1);
    switch (code) {
    case 3:
        label += ", 16:9 625 lines";
        break;
    case 6:
        label += ", 16:9 525 lines";
        break;
    case 8:
        label += ", 4:3 625 lines";
        break;
    case 12:
        label += ", 4:3 525 lines";
        break;
    default:
        break;
    }
    return label + ")";
}

TRatio TMpeg1VideoCodec::SarOfCode(uint8_t code, int64_t, int64_t) const {
    if (code < 1 || code > Mpeg1PelAspect.size())
        return {};
    return NearestRatio(10000, Mpeg1PelAspect[code - 1], Mpeg1MaxTerm);
}

uint8_t TMpeg1VideoCodec::CodeForSar(TRatio sar, int64_t, int64_t) const {
    return NearestCodeWithin(*this, sar, 0, 0, 0.01);
}

std::string TMpeg1VideoCodec::StatedRatiosText() const {
    std::string text;
    for (uint8_t code : PredefinedCodes())
        text += (text.empty() ? "" : ", ") + RatioText(SarOfCode(code, 0, 0));
    return Format(SMpeg1StatedRatios, text);
}

const TCodec &Mpeg2VideoCodec() {
    static const TMpeg2VideoCodec codec;
    return codec;
}

const TCodec &Mpeg1VideoCodec() {
    static const TMpeg1VideoCodec codec;
    return codec;
}
