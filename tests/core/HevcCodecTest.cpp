// HEVC as a codec of the program: units decoded from their bytes, the ratio rewritten in place under
// emulation prevention, hvcC records (ISO/IEC 14496-15 8.3.3.1), the access unit delimiter, and a real
// x265 SPS against ffprobe.

#include "hevc/HevcCodec.h"
#include "BitWriter.h"
#include "HevcSpsBuilder.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "hevc/HevcConfig.h"

#ifndef _WIN32
#include "MediaFiles.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

const THevcCodec &Hevc() {
    return static_cast<const THevcCodec &>(HevcCodec());
}

std::unique_ptr<TRatioUnit> DecodeUnit(const BuiltHevcSps &built) {
    return HevcCodec().Decode(built.nal, true);
}

// The unescaped unit with `count` bits of value written at bit `at`.
std::vector<uint8_t> WithBits(std::vector<uint8_t> rbsp, size_t at, uint64_t value, int count) {
    for (int i = 0; i < count; ++i) {
        const size_t bit = at + static_cast<size_t>(i);
        const auto mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((value >> (count - 1 - i)) & 1)
            rbsp[bit / 8] |= mask;
        else
            rbsp[bit / 8] &= static_cast<uint8_t>(~mask);
    }
    return rbsp;
}

// The bytes a rewrite of the built unit to code (and custom terms) must give, from first principles: the
// new unescaped unit escaped again. In place only when that keeps every byte outside the field's bytes.
struct Expected {
    std::vector<uint8_t> nal;
    bool inPlace = false;
    size_t firstByte = 0, lastByte = 0;        // of the field in the built unit
    bool emulationPreventionInField = false;   // a 03 of the built unit among them
    bool emulationPreventionNearField = false; // or within 2 bytes after them
};
Expected Expect(const BuiltHevcSps &built, uint8_t code, TRatio custom) {
    Expected e;
    const int count = code == 255 ? 40 : 8;
    uint64_t value = code;
    if (code == 255)
        value =
            (uint64_t{255} << 32) | (static_cast<uint64_t>(custom.X) << 16) | static_cast<uint64_t>(custom.Y);
    e.nal = EscapeRbsp(WithBits(built.rbsp, built.idcBits, value, count));
    e.firstByte = built.ByteOf(built.idcBits);
    e.lastByte = built.ByteOf(built.idcBits + static_cast<size_t>(count) - 1);
    for (size_t i = e.firstByte; i <= e.lastByte + 2 && i < built.nal.size(); ++i)
        if (i >= 2 && built.nal[i] == 3 && built.nal[i - 1] == 0 && built.nal[i - 2] == 0)
            (i <= e.lastByte ? e.emulationPreventionInField : e.emulationPreventionNearField) = true;
    e.inPlace = e.nal.size() == built.nal.size();
    for (size_t i = 0; e.inPlace && i < e.nal.size(); ++i)
        if ((i < e.firstByte || i > e.lastByte) && e.nal[i] != built.nal[i])
            e.inPlace = false;
    return e;
}

// A rewrite that was done gives the bytes worked out above, changed only inside its span, and they decode
// to the new ratio with everything else as before.
void ExpectRewriteDone(const BuiltHevcSps &built, const TUnitRewrite &rewrite, uint8_t code, TRatio sar) {
    ASSERT_EQ(rewrite.Refusal, "");
    ASSERT_EQ(rewrite.Bytes.size(), built.nal.size());
    TRatio custom = code == 255 ? sar : TRatio{};
    const Expected e = Expect(built, code, custom);
    EXPECT_EQ(rewrite.Bytes, e.nal);
    EXPECT_LE(rewrite.First, static_cast<int64_t>(e.firstByte));
    EXPECT_GE(rewrite.Last, static_cast<int64_t>(e.lastByte));
    for (size_t i = 0; i < built.nal.size(); ++i)
        if (static_cast<int64_t>(i) < rewrite.First || static_cast<int64_t>(i) > rewrite.Last) {
            EXPECT_EQ(rewrite.Bytes[i], built.nal[i]) << i;
        }
    std::unique_ptr<TRatioUnit> after = HevcCodec().Decode(rewrite.Bytes, true);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->Code(), code);
    EXPECT_EQ(after->Sar().X, sar.X);
    EXPECT_EQ(after->Sar().Y, sar.Y);
    std::unique_ptr<TRatioUnit> before = DecodeUnit(built);
    EXPECT_EQ(after->Width(), before->Width());
    EXPECT_EQ(after->Height(), before->Height());
    EXPECT_EQ(after->Id(), before->Id());
    EXPECT_EQ(after->FieldsPosition(), before->FieldsPosition());
}

} // namespace

// ---- the codec object ----

TEST(HevcCodec, NamesAndKinds) {
    EXPECT_STREQ(HevcCodec().Key(), "hevc");
    EXPECT_STREQ(HevcCodec().Name(), "HEVC");
    EXPECT_STREQ(HevcCodec().UnitName(), "SPS");
    EXPECT_EQ(HevcCodec().Framing(), TUnitFraming::AnnexB);
    EXPECT_EQ(HevcCodec().MaxUnitBytes(), MaxHevcSpsBytes);
    EXPECT_TRUE(HevcCodec().StatesRatio(0x42));
    EXPECT_TRUE(HevcCodec().StatesRatio(0x43));  // type 33 with the top bit of nuh_layer_id
    EXPECT_FALSE(HevcCodec().StatesRatio(0x40)); // VPS
    EXPECT_FALSE(HevcCodec().StatesRatio(0x44)); // PPS
    EXPECT_FALSE(HevcCodec().StatesRatio(0x67)); // H.264's SPS: type 51 in HEVC
    EXPECT_EQ(HevcCodec().CustomCode(), 255);
}

TEST(HevcCodec, DecodesAUnitWithItsRatioSizeIdAndPlaces) {
    HevcSpsFields f;
    f.sps_seq_parameter_set_id = 11;
    f.aspect_ratio_idc = 255;
    f.sar_width = 64;
    f.sar_height = 45;
    f.overscan_info_present_flag = 1;
    f.overscan_appropriate_flag = 1;
    const BuiltHevcSps built = BuildHevcSps(f);
    const std::unique_ptr<TRatioUnit> unit = DecodeUnit(built);
    ASSERT_TRUE(unit);
    EXPECT_EQ(&unit->Codec(), &HevcCodec());
    EXPECT_EQ(unit->Bytes(), built.nal);
    EXPECT_TRUE(unit->Complete());
    EXPECT_EQ(unit->Code(), 255);
    EXPECT_EQ(unit->Sar().X, 64);
    EXPECT_EQ(unit->Sar().Y, 45);
    EXPECT_EQ(unit->Width(), 1920);
    EXPECT_EQ(unit->Height(), 1080);
    EXPECT_EQ(unit->Id(), 11);
    EXPECT_EQ(unit->HeaderPosition(), 2);
    EXPECT_EQ(unit->FieldsBitOffset(), built.vuiBits % 8);
    EXPECT_EQ(unit->OverscanText(), "Overscan appropriate");
    ASSERT_NE(HevcSpsOf(unit.get()), nullptr);
    EXPECT_EQ(HevcSpsOf(unit.get())->sps_seq_parameter_set_id, 11u);
    EXPECT_EQ(HevcSpsOf(nullptr), nullptr);
    EXPECT_EQ(Hevc().UnreadReason(built.nal), "");
}

TEST(HevcCodec, UnitsWithoutARatioFieldDecodeToNothing) {
    HevcSpsFields f;
    f.aspect_ratio_info_present_flag = 0;
    EXPECT_FALSE(DecodeUnit(BuildHevcSps(f)));
    f.vui_parameters_present_flag = 0;
    EXPECT_FALSE(DecodeUnit(BuildHevcSps(f)));
    HevcSpsFields reserved;
    reserved.aspect_ratio_idc = 100;
    EXPECT_FALSE(DecodeUnit(BuildHevcSps(reserved)));
    HevcSpsFields zeroTerm;
    zeroTerm.aspect_ratio_idc = 255;
    zeroTerm.sar_width = 0;
    zeroTerm.sar_height = 1;
    EXPECT_FALSE(DecodeUnit(BuildHevcSps(zeroTerm)));
    HevcSpsFields unspecified;
    unspecified.aspect_ratio_idc = 0;
    const auto unit = DecodeUnit(BuildHevcSps(unspecified));
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->Code(), 0);
    EXPECT_TRUE(HevcCodec().StatesNoRatio(unit->Code()));
    EXPECT_FALSE(HevcCodec().Decode({0x44, 0x01, 0xC1, 0x72}, true)); // a PPS
}

TEST(HevcCodec, AnUpperLayerSpsIsToldAsNotRead) {
    HevcSpsFields f;
    f.nuh_layer_id = 1;
    const BuiltHevcSps built = BuildHevcSps(f);
    EXPECT_NE(Hevc().UnreadReason(built.nal), "");
    EXPECT_FALSE(DecodeUnit(built));
    EXPECT_FALSE(DecodeHevcNalUnit(built.nal, true)->SequenceParameterSet);
    f.nuh_layer_id = 32;
    EXPECT_NE(Hevc().UnreadReason(BuildHevcSps(f).nal), "");
    EXPECT_EQ(Hevc().UnreadReason({0x42, 0x01}), "");
    EXPECT_EQ(Hevc().UnreadReason({}), "");
}

struct CodecChromaCase {
    uint32_t chroma;
    uint8_t separate;
    int32_t width, height; // of 1280x720 with offsets 1, 2, 3, 4
};

class HevcCodecPictureSize : public ::testing::TestWithParam<CodecChromaCase> {};

TEST_P(HevcCodecPictureSize, IsThePictureInsideTheConformanceWindow) {
    const CodecChromaCase c = GetParam();
    HevcSpsFields f;
    f.chroma_format_idc = c.chroma;
    f.separate_colour_plane_flag = c.separate;
    f.pic_width_in_luma_samples = 1280;
    f.pic_height_in_luma_samples = 720;
    f.conf_win_left_offset = 1;
    f.conf_win_right_offset = 2;
    f.conf_win_top_offset = 3;
    f.conf_win_bottom_offset = 4;
    const auto unit = DecodeUnit(BuildHevcSps(f));
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->Width(), c.width);
    EXPECT_EQ(unit->Height(), c.height);
}

INSTANTIATE_TEST_SUITE_P(Formats, HevcCodecPictureSize,
                         ::testing::Values(CodecChromaCase{0, 0, 1277, 713}, CodecChromaCase{1, 0, 1274, 706},
                                           CodecChromaCase{2, 0, 1274, 713}, CodecChromaCase{3, 0, 1277, 713},
                                           CodecChromaCase{3, 1, 1277, 713}));

// ---- rewriting the ratio ----

TEST(HevcRewrite, EveryPredefinedCodeIsWrittenInPlace) {
    for (uint8_t from : {1, 0, 14, 16}) {
        HevcSpsFields f;
        f.aspect_ratio_idc = from;
        const BuiltHevcSps built = BuildHevcSps(f);
        const auto unit = DecodeUnit(built);
        ASSERT_TRUE(unit);
        for (uint8_t code = 1; code <= 16; ++code) {
            SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(code));
            EXPECT_EQ(HevcCodec().ReplacementRefusal(*unit, code), "");
            const TUnitRewrite rewrite = HevcCodec().Rewrite(*unit, code, {}, 1000);
            ExpectRewriteDone(built, rewrite, code, HevcCodec().SarOfCode(code, 1920, 1080));
        }
        EXPECT_NE(HevcCodec().Rewrite(*unit, 17, {}, 1000).Refusal, "");
        EXPECT_NE(HevcCodec().ReplacementRefusal(*unit, 255), "");
    }
}

TEST(HevcRewrite, CustomTermsAreWrittenInPlace) {
    HevcSpsFields f;
    f.aspect_ratio_idc = 255;
    f.sar_width = 64;
    f.sar_height = 45;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeUnit(built);
    ASSERT_TRUE(unit);
    for (TRatio sar : {TRatio{4, 3}, TRatio{1, 1}, TRatio{65535, 65535}, TRatio{40, 33}, TRatio{1, 65535}}) {
        SCOPED_TRACE(std::to_string(sar.X) + ":" + std::to_string(sar.Y));
        const TUnitRewrite rewrite = HevcCodec().Rewrite(*unit, 255, sar, 1000);
        ExpectRewriteDone(built, rewrite, 255, sar);
    }
    EXPECT_NE(HevcCodec().Rewrite(*unit, 255, TRatio{0, 1}, 1000).Refusal, "");
    EXPECT_NE(HevcCodec().Rewrite(*unit, 255, TRatio{65536, 1}, 1000).Refusal, "");
    EXPECT_NE(HevcCodec().ReplacementRefusal(*unit, 1), "");
    const TCodeChoice choice = HevcCodec().ChooseFor(*unit, TRatio{4, 3});
    EXPECT_EQ(choice.Code, 255);
    EXPECT_EQ(choice.Custom.X, 4);
    EXPECT_EQ(choice.Custom.Y, 3);
}

TEST(HevcRewrite, TheCodeForARatioIsChosenFromTheTable) {
    const auto unit = DecodeUnit(BuildHevcSps({}));
    ASSERT_TRUE(unit);
    EXPECT_EQ(HevcCodec().ChooseFor(*unit, TRatio{16, 11}).Code, 4);
    EXPECT_EQ(HevcCodec().ChooseFor(*unit, TRatio{4, 3}).Code, 14);
    EXPECT_NE(HevcCodec().ChooseFor(*unit, TRatio{7, 5}).Refusal, "");
}

// Units laid out so that the custom terms fall on every bit alignment, some of them escaped (256:1 is
// 01 00 00 01 on a byte boundary): a write over an emulation-prevention byte is refused, every other
// write that keeps the bytes around it gives exactly the re-escaped unit.
TEST(HevcRewrite, AnEmulationPreventionByteInTheSpanIsRefused) {
    int refusedInField = 0, done = 0;
    std::vector<int> alignments(8, 0);
    // ue(v) codes have odd lengths: chroma_format_idc 3 and its separate_colour_plane_flag make the sum odd.
    for (uint32_t chroma : {1u, 3u})
        for (uint32_t id = 0; id < 16; ++id)
            for (uint32_t left = 0; left < 8; ++left)
                for (TRatio terms : {TRatio{256, 1}, TRatio{1, 256}, TRatio{512, 3}}) {
                    HevcSpsFields f;
                    f.chroma_format_idc = chroma;
                    f.sps_seq_parameter_set_id = id;
                    f.conf_win_left_offset = left;
                    f.aspect_ratio_idc = 255;
                    f.sar_width = static_cast<uint16_t>(terms.X);
                    f.sar_height = static_cast<uint16_t>(terms.Y);
                    const BuiltHevcSps built = BuildHevcSps(f);
                    ++alignments[built.idcBits % 8];
                    const auto unit = DecodeUnit(built);
                    ASSERT_TRUE(unit);
                    for (TRatio to : {TRatio{4, 3}, terms, TRatio{257, 258}}) {
                        SCOPED_TRACE(std::to_string(id) + " " + std::to_string(left) + " " +
                                     std::to_string(terms.X) + ":" + std::to_string(terms.Y) + " -> " +
                                     std::to_string(to.X) + ":" + std::to_string(to.Y));
                        const Expected e = Expect(built, 255, to);
                        const TUnitRewrite rewrite = HevcCodec().Rewrite(*unit, 255, to, 1000);
                        if (e.emulationPreventionInField) {
                            EXPECT_NE(rewrite.Refusal, "");
                            EXPECT_TRUE(rewrite.Bytes.empty());
                            ++refusedInField;
                            continue;
                        }
                        if (!e.inPlace) {
                            EXPECT_NE(rewrite.Refusal, "");
                            continue;
                        }
                        if (e.emulationPreventionNearField && !rewrite.Refusal.empty())
                            continue; // refusing is the safe side here
                        ExpectRewriteDone(built, rewrite, 255, to);
                        ++done;
                    }
                }
    for (int a = 0; a < 8; ++a)
        EXPECT_GT(alignments[a], 0) << a;
    EXPECT_GT(refusedInField, 0);
    EXPECT_GT(done, 0);
}

TEST(HevcRewrite, TheUnitsLastByteStaysAsItIs) {
    HevcSpsFields f;
    f.trailing = false; // the unit ends with the custom terms
    f.aspect_ratio_idc = 255;
    f.sar_width = 10;
    f.sar_height = 11;
    BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeUnit(built);
    ASSERT_TRUE(unit);
    if (built.ByteOf(built.idcBits + 39) + 1 >= built.nal.size()) {
        EXPECT_NE(HevcCodec().Rewrite(*unit, 255, TRatio{4, 3}, 1000).Refusal, "");
    }
}

// ---- hvcC ----

namespace {

std::vector<uint8_t> Pps() {
    return {0x44, 0x01, 0xC1, 0x72, 0xB4, 0x62, 0x40};
}
std::vector<uint8_t> Vps() {
    return {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90};
}
std::vector<uint8_t> Sei() {
    return {0x4E, 0x01, 0x05, 0x10, 0x80};
}

} // namespace

TEST(HevcConfig, UnitsAreFoundAtTheirOffsets) {
    HevcSpsFields second;
    second.sps_seq_parameter_set_id = 1;
    second.aspect_ratio_idc = 255;
    second.sar_width = 64;
    second.sar_height = 45;
    const std::vector<uint8_t> sps0 = BuildHevcSps({}).nal, sps1 = BuildHevcSps(second).nal;
    const std::vector<HvccArray> arrays{
        {32, true, {Vps()}}, {33, true, {sps0, sps1}}, {34, true, {Pps()}}, {39, false, {Sei()}}};
    std::vector<size_t> offsets;
    const std::vector<uint8_t> record = BuildHvcc(arrays, 3, &offsets);
    const THevcDecoderConfig config = ReadHevcDecoderConfig(record.data(), record.size());
    EXPECT_EQ(config.ConfigurationVersion, 1);
    EXPECT_EQ(config.GeneralProfileIdc, 1);
    EXPECT_EQ(config.GeneralLevelIdc, 0x5D);
    EXPECT_EQ(config.LengthSize, 4);
    ASSERT_EQ(config.NalUnits.size(), 5u);
    const std::vector<std::vector<uint8_t>> units{Vps(), sps0, sps1, Pps(), Sei()};
    const uint8_t types[] = {32, 33, 33, 34, 39};
    for (size_t i = 0; i < units.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(config.NalUnits[i].Type, types[i]);
        EXPECT_EQ(config.NalUnits[i].Offset, static_cast<int64_t>(offsets[i]));
        EXPECT_EQ(config.NalUnits[i].Length, static_cast<int64_t>(units[i].size()));
        EXPECT_TRUE(std::equal(units[i].begin(), units[i].end(),
                               record.begin() + static_cast<ptrdiff_t>(offsets[i])));
    }

    // The codec's reading keeps only the SPS, at the same offsets.
    const TCodecConfig codecConfig = HevcCodec().ReadConfig(record);
    EXPECT_EQ(codecConfig.LengthSize, 4);
    ASSERT_EQ(codecConfig.Units.size(), 2u);
    EXPECT_EQ(codecConfig.Units[0].Offset, static_cast<int64_t>(offsets[1]));
    EXPECT_EQ(codecConfig.Units[0].Bytes, sps0);
    EXPECT_TRUE(codecConfig.Units[0].Complete);
    EXPECT_EQ(codecConfig.Units[1].Offset, static_cast<int64_t>(offsets[2]));
    EXPECT_EQ(codecConfig.Units[1].Bytes, sps1);
    const auto unit = HevcCodec().Decode(codecConfig.Units[1].Bytes, true);
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->Id(), 1);
    EXPECT_EQ(unit->Sar().X, 64);
}

TEST(HevcConfig, LengthSizes) {
    for (uint8_t minusOne : {0, 1, 3}) {
        const std::vector<uint8_t> record = BuildHvcc({{33, true, {BuildHevcSps({}).nal}}}, minusOne);
        EXPECT_EQ(ReadHevcDecoderConfig(record.data(), record.size()).LengthSize, minusOne + 1);
        EXPECT_EQ(HevcCodec().ReadConfig(record).LengthSize, minusOne + 1);
    }
    const std::vector<uint8_t> three = BuildHvcc({{33, true, {BuildHevcSps({}).nal}}}, 2);
    EXPECT_THROW(ReadHevcDecoderConfig(three.data(), three.size()), Exception);
    EXPECT_THROW(HevcCodec().ReadConfig(three), Exception);
}

TEST(HevcConfig, EveryCutRecordIsRefused) {
    const std::vector<uint8_t> record =
        BuildHvcc({{32, true, {Vps()}}, {33, true, {BuildHevcSps({}).nal}}, {34, true, {Pps(), Pps()}}});
    ASSERT_NO_THROW(ReadHevcDecoderConfig(record.data(), record.size()));
    for (size_t size = 0; size < record.size(); ++size) {
        SCOPED_TRACE(size);
        // A copy of exactly that size, so that a sanitizer sees any read past it.
        const std::vector<uint8_t> cut(record.begin(), record.begin() + static_cast<ptrdiff_t>(size));
        EXPECT_THROW(ReadHevcDecoderConfig(cut.data(), cut.size()), Exception);
        EXPECT_THROW(HevcCodec().ReadConfig(cut), Exception);
    }
    // A count of arrays or units beyond what follows.
    std::vector<uint8_t> moreArrays = record;
    ++moreArrays[22];
    EXPECT_THROW(ReadHevcDecoderConfig(moreArrays.data(), moreArrays.size()), Exception);
    std::vector<uint8_t> moreUnits = record;
    moreUnits[25] = 2; // the VPS array claims two
    EXPECT_THROW(ReadHevcDecoderConfig(moreUnits.data(), moreUnits.size()), Exception);
}

TEST(HevcConfig, EmptyArraysAndEmptyUnits) {
    const std::vector<uint8_t> none = BuildHvcc({});
    EXPECT_EQ(none.size(), 23u);
    EXPECT_TRUE(ReadHevcDecoderConfig(none.data(), none.size()).NalUnits.empty());
    EXPECT_TRUE(HevcCodec().ReadConfig(none).Units.empty());
    const std::vector<uint8_t> empty = BuildHvcc({{33, true, {}}, {33, true, {{}}}});
    const THevcDecoderConfig config = ReadHevcDecoderConfig(empty.data(), empty.size());
    ASSERT_EQ(config.NalUnits.size(), 1u);
    EXPECT_EQ(config.NalUnits[0].Length, 0);
    EXPECT_TRUE(HevcCodec().ReadConfig(empty).Units.empty());
}

TEST(HevcConfig, TheUnitsOwnHeaderDecidesWhatItIs) {
    // An SPS in an array that says PPS, and a PPS in one that says SPS.
    const std::vector<uint8_t> sps = BuildHevcSps({}).nal;
    std::vector<size_t> offsets;
    const std::vector<uint8_t> record = BuildHvcc({{34, true, {sps}}, {33, true, {Pps()}}}, 3, &offsets);
    const TCodecConfig config = HevcCodec().ReadConfig(record);
    ASSERT_EQ(config.Units.size(), 1u);
    EXPECT_EQ(config.Units[0].Offset, static_cast<int64_t>(offsets[0]));
    EXPECT_EQ(config.Units[0].Bytes, sps);
}

TEST(HevcConfig, AnSpsLongerThanTheReaderNeedsIsCut) {
    std::vector<uint8_t> sps = BuildHevcSps({}).nal;
    sps.resize(20000, 0x5A);
    std::vector<size_t> offsets;
    const std::vector<uint8_t> record = BuildHvcc({{33, true, {sps}}}, 3, &offsets);
    const TCodecConfig config = HevcCodec().ReadConfig(record);
    ASSERT_EQ(config.Units.size(), 1u);
    EXPECT_FALSE(config.Units[0].Complete);
    EXPECT_EQ(config.Units[0].Bytes.size(), static_cast<size_t>(MaxHevcSpsBytes));
    EXPECT_TRUE(std::equal(config.Units[0].Bytes.begin(), config.Units[0].Bytes.end(), sps.begin()));
    const auto unit = HevcCodec().Decode(config.Units[0].Bytes, config.Units[0].Complete);
    ASSERT_TRUE(unit);
    EXPECT_FALSE(unit->Complete());
}

// ---- access unit delimiters ----

TEST(HevcCodec, AnAccessUnitDelimiterBeginsAnAccessUnit) {
    const std::vector<uint8_t> aud{0x00, 0x00, 0x01, 0x46, 0x01, 0x50};
    EXPECT_TRUE(HevcCodec().BeginsAccessUnit(aud.data(), aud.size()));
    const std::vector<uint8_t> aud4{0x00, 0x00, 0x00, 0x01, 0x46, 0x01, 0x10, 0x00};
    EXPECT_TRUE(HevcCodec().BeginsAccessUnit(aud4.data(), aud4.size()));
    const std::vector<uint8_t> h264{0x00, 0x00, 0x01, 0x09, 0xF0};
    EXPECT_FALSE(HevcCodec().BeginsAccessUnit(h264.data(), h264.size()));
    const std::vector<uint8_t> h264Long{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x00, 0x01, 0x67};
    EXPECT_FALSE(HevcCodec().BeginsAccessUnit(h264Long.data(), h264Long.size()));
    const std::vector<uint8_t> noStartCode{0x46, 0x01, 0x50};
    EXPECT_FALSE(HevcCodec().BeginsAccessUnit(noStartCode.data(), noStartCode.size()));
    const std::vector<uint8_t> cut{0x00, 0x00, 0x01, 0x46, 0x01};
    EXPECT_FALSE(HevcCodec().BeginsAccessUnit(cut.data(), cut.size()));
    const std::vector<uint8_t> vps{0x00, 0x00, 0x01, 0x40, 0x01, 0x0C};
    EXPECT_FALSE(HevcCodec().BeginsAccessUnit(vps.data(), vps.size()));
    const std::vector<uint8_t> mpeg2{0x00, 0x00, 0x01, 0xB3, 0x16, 0x00};
    EXPECT_FALSE(HevcCodec().BeginsAccessUnit(mpeg2.data(), mpeg2.size()));
}

// ---- a real x265 SPS ----

#ifndef _WIN32

namespace {

// The NAL units of an Annex B stream, without their start codes.
std::vector<std::vector<uint8_t>> SplitAnnexB(const std::vector<uint8_t> &stream) {
    std::vector<std::vector<uint8_t>> units;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < stream.size(); ++i)
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1)
            starts.push_back(i + 3);
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : stream.size();
        while (end > starts[k] && stream[end - 1] == 0)
            --end; // the zero of a four-byte start code, or trailing zeros
        units.emplace_back(stream.begin() + static_cast<ptrdiff_t>(starts[k]),
                           stream.begin() + static_cast<ptrdiff_t>(end));
    }
    return units;
}

// The bit of the unescaped unit where a raw byte and bit lie.
int64_t UnescapedBit(const std::vector<uint8_t> &nal, int64_t byte, uint8_t bit) {
    int64_t removed = 0;
    int zeros = 0;
    for (int64_t i = 0; i < byte; ++i) {
        if (zeros >= 2 && nal[static_cast<size_t>(i)] == 3) {
            ++removed;
            zeros = 0;
            continue;
        }
        zeros = nal[static_cast<size_t>(i)] == 0 ? zeros + 1 : 0;
    }
    return (byte - removed) * 8 + bit;
}

struct X265Case {
    int width, height;
    const char *sar;
    const char *pixFmt;
};

} // namespace

class HevcX265Sps : public ::testing::TestWithParam<X265Case> {};

TEST_P(HevcX265Sps, DecodesAsFfprobeReportsIt) {
    if (!HaveHevcTools())
        GTEST_SKIP() << "ffmpeg with libx265 is not installed";
    const X265Case c = GetParam();
    TempDir dir;
    const std::string path = dir.File("x265.hevc");
    VideoSpec video;
    video.encoder = "libx265";
    video.width = c.width;
    video.height = c.height;
    video.frames = 2;
    video.sar = c.sar;
    video.pixFmt = c.pixFmt;
    MakeElementaryStream(path, video, "hevc");
    const ProbedVideo probed = ProbeVideo(path);
    const std::vector<TracedSps> traced = TraceSps(path);
    ASSERT_EQ(traced.size(), 1u);

    int spsCount = 0;
    for (const std::vector<uint8_t> &nal : SplitAnnexB(ReadFile(path))) {
        if (nal.size() < 2 || HevcNalUnitTypeOf(nal[0]) != HevcNalTypeSps)
            continue;
        ++spsCount;
        const auto decoded = DecodeHevcNalUnit(nal, true);
        ASSERT_TRUE(decoded->SequenceParameterSet);
        const THevcSequenceParameterSet &sps = *decoded->SequenceParameterSet;
        EXPECT_EQ(sps.Width(), probed.width);
        EXPECT_EQ(sps.Height(), probed.height);
        EXPECT_EQ(static_cast<int>(sps.chroma_format_idc), traced[0].chromaFormatIdc);
        EXPECT_EQ(static_cast<int>(sps.ProfileTierLevel.general_profile_idc), traced[0].profileIdc);
        const auto unit = HevcCodec().Decode(nal, true);
        if (std::string(c.sar).empty()) {
            if (unit) {
                EXPECT_EQ(unit->Code(), 0);
            }
            continue;
        }
        ASSERT_TRUE(unit);
        EXPECT_EQ(unit->Sar().X, probed.sarWidth);
        EXPECT_EQ(unit->Sar().Y, probed.sarHeight);
        EXPECT_EQ(unit->Code(), traced[0].aspectRatioIdc);
        // ffmpeg's own reader places aspect_ratio_idc in the unescaped unit.
        const TVUIParameters &vui = *sps.VUIParameters;
        EXPECT_EQ(UnescapedBit(nal, vui.AspectRatioIdcPosition, vui.AspectRatioIdcBitOffset),
                  traced[0].aspectRatioBitPosition);
        // A rewrite decodes, for ffprobe too.
        const TRatio to = unit->Code() == 255 ? TRatio{4, 3} : TRatio{16, 11};
        const uint8_t code = unit->Code() == 255 ? 255 : 4;
        const TUnitRewrite rewrite = HevcCodec().Rewrite(*unit, code, to, 0);
        ASSERT_EQ(rewrite.Refusal, "");
        std::vector<uint8_t> stream = ReadFile(path);
        const auto at = std::search(stream.begin(), stream.end(), nal.begin(), nal.end());
        ASSERT_NE(at, stream.end());
        std::copy(rewrite.Bytes.begin(), rewrite.Bytes.end(), at);
        const std::string changed = dir.File("changed.hevc");
        WriteFile(changed, stream);
        const ProbedVideo after = ProbeVideo(changed);
        EXPECT_EQ(after.sarWidth, to.X);
        EXPECT_EQ(after.sarHeight, to.Y);
        EXPECT_EQ(after.width, probed.width);
    }
    EXPECT_EQ(spsCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Encodes, HevcX265Sps,
    ::testing::Values(X265Case{352, 288, "64/45", "yuv420p"}, X265Case{720, 576, "16/11", "yuv420p"},
                      X265Case{1920, 1080, "1/1", "yuv420p"}, X265Case{1918, 1078, "40/33", "yuv422p"},
                      X265Case{1278, 718, "12/11", "yuv444p"}, X265Case{642, 482, "10/11", "gray"},
                      X265Case{320, 240, "", "yuv420p"}));

#endif
