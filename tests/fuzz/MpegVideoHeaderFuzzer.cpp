// The MPEG-1/MPEG-2 video sequence header reader, and the search for the units of a start-code stream, on
// arbitrary bytes. The first input byte chooses: bit 0 reads the rest as a stream of units (codec private
// data, the data of a sample) and checks every sequence header found in it, else as one unit; bit 1 marks
// the unit cut short; bit 2 puts a sequence header code (B3) in front, so that most inputs reach its
// syntax. Nothing but Exception may leave the reader, and every unit decoded keeps these properties: its
// code lies where it says, a rewrite to a code of its table changes only its span, forms no start code,
// and decodes to that code with its picture size as before and a display size of the picture's shape.

#include "FuzzSupport.h"
#include "base/Exceptions.h"
#include "codec/NalSource.h"
#include "mpeg2video/MpegVideoCodec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

void CheckRewrite(const TMpegVideoUnit &unit, uint8_t code) {
    const TCodec &codec = unit.Codec();
    const std::unique_ptr<TRatioUnit> decoded =
        RequireStartCodeRewrite(unit, codec.Rewrite(unit, code, {}, 0));
    if (!decoded)
        return;
    const auto &after = static_cast<const TMpegVideoUnit &>(*decoded);
    Require(after.Code() == code);
    Require(&after.Codec() == &codec);
    Require(after.Width() == unit.Width() && after.Height() == unit.Height());
    const TRatio sar = codec.SarOfCode(code, unit.Width(), unit.Height());
    Require(after.Sar().X == sar.X && after.Sar().Y == sar.Y);
    Require(static_cast<bool>(after.Sequence().DisplayExtension) ==
            static_cast<bool>(unit.Sequence().DisplayExtension));
}

void CheckUnit(const std::vector<uint8_t> &bytes, bool complete, uint8_t choice) {
    const TCodec &codec = Mpeg2VideoCodec();
    std::unique_ptr<TRatioUnit> decoded;
    try {
        decoded = codec.Decode(bytes, complete);
    } catch (const Exception &) {
        return;
    }
    Require(decoded != nullptr);
    const auto &unit = static_cast<const TMpegVideoUnit &>(*decoded);
    Require(unit.Bytes() == bytes && unit.Complete() == complete);
    Require(bytes[0] == MpegSequenceHeaderCode);
    Require(unit.Code() == bytes[MpegAspectRatioByte] >> 4);
    Require(unit.Width() >= 1 && unit.Width() <= 16383 && unit.Height() >= 1 && unit.Height() <= 16383);
    Require((&unit.Codec() == &Mpeg2VideoCodec()) == unit.Sequence().IsMpeg2());
    const TRatio sar = unit.Sar();
    Require((sar.X == 0) == (sar.Y == 0));
    const std::vector<uint8_t> codes = unit.Codec().PredefinedCodes();
    CheckRewrite(unit, codes[choice % codes.size()]);
    // A code outside the table is refused.
    Require(!unit.Codec().Rewrite(unit, 15, {}, 0).Refusal.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    RunStartCodeHeaderTarget(data, size, Mpeg2VideoCodec(), MpegSequenceHeaderCode, CheckUnit);
    return 0;
}
