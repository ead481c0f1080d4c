// The MPEG-4 Part 2 video object layer reader, and the search for VOLs among the headers of a stream or a
// configuration record, on arbitrary bytes. The first input byte chooses: bit 0 reads the rest as a
// record and checks every VOL found in it, else as one unit; bit 1 marks the unit cut short; bit 2 puts a
// VOL start code value (20) in front, so that most inputs reach its syntax. The second byte chooses the new
// ratio. Nothing but Exception may leave the reader, and every VOL decoded keeps these properties: its code
// lies where it says, a rewrite of the same form changes only its span, forms no start code, and decodes to
// the new ratio with everything else as before; a rewrite of the other form or to a reserved code is
// refused.

#include "FuzzSupport.h"
#include "base/Exceptions.h"
#include "mpeg4visual/Mpeg4VisualCodec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

uint32_t BitsAt(const std::vector<uint8_t> &bytes, int64_t bit, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i, ++bit)
        value = (value << 1) | ((bytes[static_cast<size_t>(bit / 8)] >> (7 - bit % 8)) & 1);
    return value;
}

void CheckRewrite(const TMpeg4VisualUnit &unit, uint8_t choice) {
    const TCodec &codec = unit.Codec();
    const bool extended = unit.Code() == Mpeg4ExtendedPar;
    const uint8_t code = extended ? Mpeg4ExtendedPar : static_cast<uint8_t>(1 + choice % 5);
    const TRatio custom = extended ? TRatio{1 + choice % 255, 1 + (choice * 7) % 255} : TRatio{};
    const std::unique_ptr<TRatioUnit> decoded =
        RequireStartCodeRewrite(unit, codec.Rewrite(unit, code, custom, 0));
    if (!decoded)
        return;
    const auto &after = static_cast<const TMpeg4VisualUnit &>(*decoded);
    Require(after.Code() == code);
    const TRatio sar = extended ? custom : codec.SarOfCode(code, 0, 0);
    Require(after.Sar().X == sar.X && after.Sar().Y == sar.Y);
    Require(after.Width() == unit.Width() && after.Height() == unit.Height() && after.Id() == unit.Id());
    Require(after.Layer().AspectRatioBit == unit.Layer().AspectRatioBit);
    Require(after.Layer().interlaced == unit.Layer().interlaced);
}

void CheckUnit(const std::vector<uint8_t> &bytes, bool complete, uint8_t choice) {
    const TCodec &codec = Mpeg4VisualCodec();
    const std::string unread = codec.UnreadReason(bytes);
    std::unique_ptr<TRatioUnit> decoded;
    try {
        decoded = codec.Decode(bytes, complete);
    } catch (const Exception &) {
        Require(unread.empty()); // damage is Decode's to name
        return;
    }
    Require(decoded != nullptr);
    const auto &unit = static_cast<const TMpeg4VisualUnit &>(*decoded);
    Require(unit.Bytes() == bytes && unit.Complete() == complete);
    Require(IsMpeg4VideoObjectLayerCode(bytes[0]));
    Require(unit.Code() == BitsAt(bytes, unit.Layer().AspectRatioBit, 4));
    Require(unit.FieldsPosition() * 8 + unit.FieldsBitOffset() == unit.Layer().AspectRatioBit);
    Require(unread.empty() == unit.Layer().Rectangular());
    if (!unit.Layer().Rectangular())
        return;
    Require(unit.Width() >= 1 && unit.Width() <= 8191 && unit.Height() >= 1 && unit.Height() <= 8191);
    const TRatio sar = unit.Sar();
    Require((sar.X == 0) == (sar.Y == 0));
    CheckRewrite(unit, choice);
    // The other form, and codes outside the table, are refused.
    const bool extended = unit.Code() == Mpeg4ExtendedPar;
    Require(!codec.Rewrite(unit, extended ? 2 : Mpeg4ExtendedPar, {1, 1}, 0).Refusal.empty());
    Require(!codec.Rewrite(unit, static_cast<uint8_t>(6 + choice % 9), {}, 0).Refusal.empty());
    Require(!codec.Rewrite(unit, 0, {}, 0).Refusal.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    RunStartCodeHeaderTarget(data, size, Mpeg4VisualCodec(), Mpeg4FirstVideoObjectLayerCode, CheckUnit);
    return 0;
}
