// The HEVC SPS reader and hvcC reader on arbitrary bytes. The first input byte chooses: bit 0 reads the
// rest as an hvcC record (and decodes the SPS it finds), else as one NAL unit; bit 1 marks the unit cut
// short; bit 2 puts an SPS header (42 01) in front, so that most inputs reach the SPS syntax. Nothing but
// Exception may leave the readers, and every unit decoded keeps these properties: its places lie inside
// its bytes and hold what it states, and a rewrite of its ratio (to a ratio the input chooses) changes
// only its span and decodes to that ratio with the rest as before.

#include "FuzzSupport.h"
#include "base/Exceptions.h"
#include "hevc/HevcCodec.h"
#include "hevc/HevcConfig.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// Which raw bytes are emulation-prevention bytes (a 03 after 00 00).
std::vector<bool> EmulationPreventionBytes(const std::vector<uint8_t> &bytes) {
    std::vector<bool> skip(bytes.size(), false);
    int zeros = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (zeros >= 2 && bytes[i] == 3) {
            skip[i] = true;
            zeros = 0;
            continue;
        }
        zeros = bytes[i] == 0 ? zeros + 1 : 0;
    }
    return skip;
}

std::vector<uint8_t> Unescape(const std::vector<uint8_t> &bytes) {
    const std::vector<bool> skip = EmulationPreventionBytes(bytes);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!skip[i])
            out.push_back(bytes[i]);
    return out;
}

// count bits from (byte, bit) as a decoder reads them; false when they run past the bytes.
bool ReadRaw(const std::vector<uint8_t> &bytes, int64_t byte, int bit, int count, uint64_t &value) {
    const std::vector<bool> skip = EmulationPreventionBytes(bytes);
    value = 0;
    auto at = static_cast<size_t>(byte);
    for (int i = 0; i < count; ++i) {
        while (at < bytes.size() && skip[at])
            ++at;
        if (at >= bytes.size())
            return false;
        value = value << 1 | ((bytes[at] >> (7 - bit)) & 1);
        if (++bit == 8) {
            bit = 0;
            ++at;
        }
    }
    return true;
}

void CheckRewrite(const TRatioUnit &unit, uint8_t code, TRatio sar) {
    const TCodec &codec = HevcCodec();
    const TUnitRewrite rewrite = codec.Rewrite(unit, code, sar, 0);
    const std::vector<uint8_t> &before = unit.Bytes();
    if (!RequireRewriteInSpan(before, rewrite))
        return;
    // The unit ends where it ended.
    Require(rewrite.Bytes.back() == before.back());
    // No emulation-prevention byte taken or made: the unescaped units differ only in the written bits.
    const std::vector<uint8_t> oldRbsp = Unescape(before), newRbsp = Unescape(rewrite.Bytes);
    Require(oldRbsp.size() == newRbsp.size());
    // No start code or forbidden sequence made inside the span.
    for (int64_t i = rewrite.First; i + 2 <= rewrite.Last; ++i)
        Require(!(rewrite.Bytes[i] == 0 && rewrite.Bytes[i + 1] == 0 && rewrite.Bytes[i + 2] <= 2));
    std::unique_ptr<TRatioUnit> after;
    try {
        after = codec.Decode(rewrite.Bytes, unit.Complete());
    } catch (const Exception &) {
        Require(false); // the bytes decoded before the write
    }
    Require(after != nullptr);
    Require(after->Code() == code);
    if (code == codec.CustomCode())
        Require(after->Sar().X == sar.X && after->Sar().Y == sar.Y);
    else
        Require(after->Sar().X == codec.SarOfCode(code, 0, 0).X &&
                after->Sar().Y == codec.SarOfCode(code, 0, 0).Y);
    Require(after->Width() == unit.Width() && after->Height() == unit.Height());
    Require(after->Id() == unit.Id());
    Require(after->FieldsPosition() == unit.FieldsPosition());
    Require(after->FieldsBitOffset() == unit.FieldsBitOffset());
    // Writing the old ratio back gives the old bytes.
    const TUnitRewrite back = codec.Rewrite(*after, unit.Code(), unit.Sar(), 0);
    if (back.Refusal.empty() && unit.Code() != 0)
        Require(back.Bytes == before);
}

void CheckUnit(const std::vector<uint8_t> &bytes, bool complete, uint16_t x, uint16_t y, uint8_t predefined) {
    const TCodec &codec = HevcCodec();
    std::unique_ptr<TRatioUnit> unit;
    try {
        unit = codec.Decode(bytes, complete);
    } catch (const Exception &) {
        return;
    }
    if (!unit)
        return;
    Require(codec.UnreadReason(bytes).empty());
    Require(unit->Bytes() == bytes && unit->Complete() == complete);
    const THevcSequenceParameterSet *sps = HevcSpsOf(unit.get());
    Require(sps != nullptr && sps->VUIParameters != nullptr);
    const auto size = static_cast<int64_t>(bytes.size());
    Require(unit->HeaderPosition() == 2);
    Require(unit->Width() > 0 && unit->Height() > 0);
    Require(unit->Width() <= static_cast<int64_t>(sps->pic_width_in_luma_samples));
    Require(unit->Height() <= static_cast<int64_t>(sps->pic_height_in_luma_samples));
    Require(unit->Id() >= 0 && unit->Id() <= 15);
    Require(unit->FieldsPosition() >= 2 && unit->FieldsPosition() < size && unit->FieldsBitOffset() < 8);
    const TVUIParameters &vui = *sps->VUIParameters;
    Require(vui.AspectRatioIdcPosition >= unit->FieldsPosition() && vui.AspectRatioIdcBitOffset < 8);
    // aspect_ratio_idc lies where the VUI says, inside the bytes, one bit after the VUI's first.
    uint64_t idc = 0;
    Require(ReadRaw(bytes, vui.AspectRatioIdcPosition, vui.AspectRatioIdcBitOffset, 8, idc));
    Require(idc == unit->Code());
    uint64_t flagAndIdc = 0;
    Require(ReadRaw(bytes, unit->FieldsPosition(), unit->FieldsBitOffset(), 9, flagAndIdc));
    Require(flagAndIdc == (0x100 | idc));
    if (unit->Code() == codec.CustomCode()) {
        uint64_t terms = 0;
        Require(ReadRaw(bytes, vui.AspectRatioIdcPosition, vui.AspectRatioIdcBitOffset, 40, terms));
        Require(static_cast<int64_t>(terms >> 16 & 0xFFFF) == unit->Sar().X);
        Require(static_cast<int64_t>(terms & 0xFFFF) == unit->Sar().Y);
        Require(unit->Sar().X >= 1 && unit->Sar().Y >= 1);
        CheckRewrite(*unit, codec.CustomCode(), TRatio{x == 0 ? 1 : x, y == 0 ? 1 : y});
    } else {
        Require(unit->Code() == 0 || (unit->Sar().X >= 1 && unit->Sar().Y >= 1));
        const std::vector<uint8_t> codes = codec.PredefinedCodes();
        CheckRewrite(*unit, codes[predefined % codes.size()], TRatio{});
    }
    // The same bytes cut before the idc's last bit are cut short, never read as something else.
    const int64_t idcEnd = vui.AspectRatioIdcPosition + (vui.AspectRatioIdcBitOffset + 7) / 8;
    const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + idcEnd);
    try {
        codec.Decode(cut, false);
        Require(false);
    } catch (const EInOutError &) {
    } catch (const Exception &) {
        Require(false); // everything before the cut was read once without damage
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6)
        return 0;
    const uint8_t mode = data[0];
    const auto x = static_cast<uint16_t>(data[1] << 8 | data[2]);
    const auto y = static_cast<uint16_t>(data[3] << 8 | data[4]);
    const uint8_t predefined = data[5];
    std::vector<uint8_t> bytes;
    if ((mode & 4) != 0 && (mode & 1) == 0)
        bytes = {0x42, 0x01};
    bytes.insert(bytes.end(), data + 6, data + size);
    const TCodec &codec = HevcCodec();
    if ((mode & 1) == 0) {
        CheckUnit(bytes, (mode & 2) == 0, x, y, predefined);
        return 0;
    }
    TCodecConfig config;
    try {
        config = codec.ReadConfig(bytes);
    } catch (const Exception &) {
        return 0;
    }
    Require(config.LengthSize == 1 || config.LengthSize == 2 || config.LengthSize == 4);
    int64_t previousEnd = 23;
    for (const TConfigUnit &unit : config.Units) {
        // In the record, after the head and the unit before it, and the same bytes.
        Require(unit.Offset >= previousEnd && !unit.Bytes.empty());
        Require(unit.Offset + static_cast<int64_t>(unit.Bytes.size()) <= static_cast<int64_t>(bytes.size()));
        Require(std::equal(unit.Bytes.begin(), unit.Bytes.end(), bytes.begin() + unit.Offset));
        Require(codec.StatesRatio(unit.Bytes[0]));
        Require(static_cast<int64_t>(unit.Bytes.size()) <= codec.MaxUnitBytes());
        Require(unit.Complete || static_cast<int64_t>(unit.Bytes.size()) == codec.MaxUnitBytes());
        previousEnd = unit.Offset + static_cast<int64_t>(unit.Bytes.size());
        if (codec.UnreadReason(unit.Bytes).empty())
            CheckUnit(unit.Bytes, unit.Complete, x, y, predefined);
    }
    return 0;
}
