// MPEG-4 Part 2 video object layer headers built bit by bit: every optional field before the ratio and
// before the picture size, the ratio table, the two forms of the ratio and what may replace what in place,
// writes into the unit's own bytes, and the headers that lead a VOL in a stream or a configuration.

#include "mpeg4visual/Mpeg4VisualCodec.h"
#include "Mpeg4VolBuilder.h"
#include "base/Exceptions.h"
#include "codec/CodecRegistry.h"

#include <gtest/gtest.h>

namespace {

const TCodec &Codec() {
    return Mpeg4VisualCodec();
}

std::unique_ptr<TRatioUnit> Decoded(const Mpeg4VolFields &fields) {
    return Codec().Decode(BuildVol(fields).bytes, true);
}

std::string Text(TRatio ratio) {
    return std::to_string(ratio.X) + ":" + std::to_string(ratio.Y);
}

// Each optional field moves the ratio or the picture size; the reader finds both where the builder wrote
// them.
TEST(Mpeg4VisualCodec, EveryOptionalFieldBeforeTheRatioAndTheSize) {
    struct TCase {
        const char *Name;
        Mpeg4VolFields Fields;
        const char *Sar;
    };
    const TCase cases[] = {
        {"plain", {.aspect_ratio_info = 2}, "12:11"},
        {"layer identifier",
         {.layer_id = 5,
          .is_object_layer_identifier = true,
          .verid = 2,
          .priority = 3,
          .aspect_ratio_info = 4},
         "16:11"},
        {"extended", {.aspect_ratio_info = 15, .par_width = 64, .par_height = 45}, "64:45"},
        {"extended after identifier",
         {.is_object_layer_identifier = true,
          .verid = 5,
          .aspect_ratio_info = 15,
          .par_width = 255,
          .par_height = 1},
         "255:1"},
        {"control parameters",
         {.aspect_ratio_info = 3, .vol_control_parameters = true, .low_delay = true},
         "10:11"},
        {"vbv parameters",
         {.aspect_ratio_info = 5, .vol_control_parameters = true, .vbv_parameters = true},
         "40:33"},
        {"fixed rate, resolution 1",
         {.vop_time_increment_resolution = 1, .fixed_vop_rate = true, .fixed_vop_time_increment = 0},
         "1:1"},
        {"fixed rate, resolution 2", {.vop_time_increment_resolution = 2, .fixed_vop_rate = true}, "1:1"},
        {"fixed rate, resolution 30000",
         {.vop_time_increment_resolution = 30000, .fixed_vop_rate = true, .fixed_vop_time_increment = 1001},
         "1:1"},
        {"fixed rate, resolution 65535",
         {.vop_time_increment_resolution = 65535, .fixed_vop_rate = true, .fixed_vop_time_increment = 65534},
         "1:1"},
        {"largest picture", {.width = 8191, .height = 8191, .interlaced = true}, "1:1"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const BuiltVol built = BuildVol(c.Fields);
        const std::unique_ptr<TRatioUnit> unit = Codec().Decode(built.bytes, true);
        ASSERT_NE(unit, nullptr);
        EXPECT_EQ(Text(unit->Sar()), c.Sar);
        EXPECT_EQ(unit->Code(), c.Fields.aspect_ratio_info);
        EXPECT_EQ(unit->Width(), c.Fields.width);
        EXPECT_EQ(unit->Height(), c.Fields.height);
        EXPECT_EQ(unit->Id(), c.Fields.layer_id);
        EXPECT_EQ(unit->FieldsPosition() * 8 + unit->FieldsBitOffset(), built.aspectRatioBit);
        EXPECT_EQ(unit->OverscanText(), c.Fields.interlaced ? "Interlaced (VOL)" : "Progressive (VOL)");
        EXPECT_EQ(Codec().UnreadReason(built.bytes), "");
    }
}

// Markers of 0 and fields outside their range are damage; bytes that end before the picture size are cut
// short. A layer that is not rectangular gives no picture size: it is left unread, with the reason.
TEST(Mpeg4VisualCodec, DamagedCutAndUnreadLayers) {
    for (const Mpeg4VolFields &damaged :
         {Mpeg4VolFields{.marker = false}, Mpeg4VolFields{.vop_time_increment_resolution = 0},
          Mpeg4VolFields{.width = 0}, Mpeg4VolFields{.height = 0},
          Mpeg4VolFields{.is_object_layer_identifier = true, .verid = 0},
          Mpeg4VolFields{.vol_control_parameters = true, .vbv_parameters = true, .marker = false}})
        EXPECT_THROW(Decoded(damaged), Exception);
    std::vector<uint8_t> bytes = BuildVol({}).bytes;
    bytes.resize(7); // the height's bits are not all there
    EXPECT_THROW(Codec().Decode(bytes, false), EInOutError);
    EXPECT_THROW(Codec().Decode({0x20, 0x00}, false), EInOutError);

    for (uint8_t shape : {1, 2, 3}) {
        const BuiltVol shaped = BuildVol({.shape = shape});
        EXPECT_NE(
            Codec().UnreadReason(shaped.bytes).find("video_object_layer_shape " + std::to_string(shape)),
            std::string::npos);
    }
    // A damaged header is no reason to leave it unread: Decode names the damage.
    EXPECT_EQ(Codec().UnreadReason(BuildVol({.marker = false}).bytes), "");
}

// Table 6-12, the codes users choose from, and the codes that belong to the codec's units.
TEST(Mpeg4VisualCodec, TheRatioTableAndTheUnits) {
    EXPECT_EQ(Codec().PredefinedCodes(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(Codec().CodeLabel(1), "1:1  (square)");
    EXPECT_EQ(Codec().CodeLabel(5), "40:33  (16:9 NTSC)");
    EXPECT_EQ(Codec().CodeLabel(15), "");
    EXPECT_EQ(Text(Codec().SarOfCode(4, 720, 576)), "16:11");
    for (uint8_t code : {0, 6, 14, 15})
        EXPECT_EQ(Text(Codec().SarOfCode(code, 720, 576)), "0:0") << int{code};
    EXPECT_EQ(Codec().CodeForSar({32, 22}, 0, 0), 4);
    EXPECT_EQ(Codec().CodeForSar({64, 45}, 0, 0), 0);
    EXPECT_EQ(Codec().CodeForSar({0, 1}, 0, 0), 0);
    EXPECT_EQ(Codec().CustomCode(), 15);
    EXPECT_EQ(Codec().MaxCustomTerm(), 255);
    // A VOL states the ratio; the visual object sequence, its user data, the visual object and the video
    // object lead it; a VOP or a group of VOPs does neither.
    for (uint8_t code : {0x20, 0x25, 0x2F})
        EXPECT_TRUE(Codec().StatesRatio(code));
    for (uint8_t code : {0x00, 0x1F, 0xB0, 0xB2, 0xB5})
        EXPECT_TRUE(Codec().LeadsRatioUnit(code)) << int{code};
    for (uint8_t code : {0x30, 0xB3, 0xB6, 0x1F}) {
        EXPECT_FALSE(Codec().StatesRatio(code)) << int{code};
    }
    EXPECT_FALSE(Codec().LeadsRatioUnit(0xB6));
    EXPECT_FALSE(Codec().LeadsRatioUnit(0x20));
    EXPECT_EQ(CodecOfMatroskaId("V_MPEG4/ISO/AP")->Codec, &Codec());
    EXPECT_EQ(CodecOfAviHandler("xvid")->Codec, &Codec());
}

// A predefined code takes another predefined code in its 4 bits, an extended ratio other terms in its 16;
// nothing else around them changes. Changing the form would move every bit behind it: refused with the
// reason, and the nearest predefined ratio within 1% is offered.
TEST(Mpeg4VisualCodec, ChangesKeepTheirForm) {
    for (const Mpeg4VolFields &fields :
         {Mpeg4VolFields{.aspect_ratio_info = 2},
          Mpeg4VolFields{.is_object_layer_identifier = true, .aspect_ratio_info = 1},
          Mpeg4VolFields{.aspect_ratio_info = 0}, Mpeg4VolFields{.aspect_ratio_info = 9}}) {
        SCOPED_TRACE(int{fields.aspect_ratio_info});
        const BuiltVol built = BuildVol(fields);
        const std::unique_ptr<TRatioUnit> unit = Codec().Decode(built.bytes, true);
        // Forbidden and reserved codes are read as they are, and mended by a code of the table.
        const TCodeChoice choice = Codec().ChooseFor(*unit, {16, 11});
        ASSERT_EQ(choice.Refusal, "");
        EXPECT_EQ(choice.Code, 4);
        const TUnitRewrite rewrite = Codec().Rewrite(*unit, choice.Code, {}, 0x1234);
        ASSERT_EQ(rewrite.Refusal, "");
        Mpeg4VolFields expected = fields;
        expected.aspect_ratio_info = 4;
        EXPECT_EQ(rewrite.Bytes, BuildVol(expected).bytes);
        EXPECT_EQ(rewrite.First, std::max<int64_t>(0, built.aspectRatioBit / 8 - 2));
        EXPECT_EQ(rewrite.Last, (built.aspectRatioBit + 3) / 8 + 2);

        EXPECT_NE(Codec().ReplacementRefusal(*unit, 15).find("the extended form needs 16 bits more"),
                  std::string::npos);
        EXPECT_NE(Codec().ReplacementRefusal(*unit, 7).find("aspect_ratio_info 7 is forbidden or reserved"),
                  std::string::npos);
        EXPECT_NE(Codec().Rewrite(*unit, 0, {}, 0).Refusal, "");
        const TCodeChoice near = Codec().ChooseFor(*unit, {13, 9});
        EXPECT_NE(
            near.Refusal.find("The nearest predefined ratio is 16:11 (aspect_ratio_info 4), within 1%."),
            std::string::npos)
            << near.Refusal;
        const TCodeChoice far = Codec().ChooseFor(*unit, {7, 5});
        EXPECT_NE(far.Refusal.find("No predefined aspect ratio of MPEG-4 Part 2 equals 7:5."),
                  std::string::npos);
        EXPECT_EQ(far.Refusal.find("nearest"), std::string::npos);
    }

    // Extended: terms of 8 bits, kept as asked where they fit, reduced where only that fits; a term of 0
    // as read is mended.
    for (const Mpeg4VolFields &fields :
         {Mpeg4VolFields{.aspect_ratio_info = 15, .par_width = 64, .par_height = 45},
          Mpeg4VolFields{.is_object_layer_identifier = true,
          .aspect_ratio_info = 15,
          .par_width = 0,
          .par_height = 11}}) {
        const BuiltVol built = BuildVol(fields);
        const std::unique_ptr<TRatioUnit> unit = Codec().Decode(built.bytes, true);
        EXPECT_EQ(Codec().ChooseFor(*unit, {32, 22}).Custom.X, 32);
        EXPECT_EQ(Text(Codec().ChooseFor(*unit, {300, 200}).Custom), "3:2");
        const TCodeChoice tooLarge = Codec().ChooseFor(*unit, {256, 255});
        EXPECT_NE(
            tooLarge.Refusal.find("par_width and par_height lie between 1 and 255. The nearest ratio of "
                                  "such terms is 255:254."),
            std::string::npos)
            << tooLarge.Refusal;
        const TCodeChoice choice = Codec().ChooseFor(*unit, {16, 11});
        ASSERT_EQ(choice.Refusal, "");
        EXPECT_EQ(choice.Code, 15);
        const TUnitRewrite rewrite = Codec().Rewrite(*unit, choice.Code, choice.Custom, 0);
        ASSERT_EQ(rewrite.Refusal, "");
        Mpeg4VolFields expected = fields;
        expected.par_width = 16;
        expected.par_height = 11;
        EXPECT_EQ(rewrite.Bytes, BuildVol(expected).bytes);
        EXPECT_EQ(rewrite.Last, (built.aspectRatioBit + 19) / 8 + 2);
        EXPECT_NE(Codec().ReplacementRefusal(*unit, 4).find("only another extended ratio fits"),
                  std::string::npos);
        EXPECT_NE(Codec().Rewrite(*unit, 15, {256, 1}, 0).Refusal, "");
    }
}

// The headers of a stream or a configuration record: the VOL is found behind those that lead it, at its
// place in the record; a payload that opens with them begins an access unit of the codec, one of H.264
// does not.
TEST(Mpeg4VisualCodec, ConfigurationsAndStreamHeads) {
    const BuiltVol vol = BuildVol({.aspect_ratio_info = 4});
    std::vector<uint8_t> record = Mpeg4StreamHeaders(vol.bytes);
    const size_t volAt = record.size() - vol.bytes.size();
    record.insert(record.end(), {0x00, 0x00, 0x01, 0xB2, 'X', 'v', 'i', 'D', '0', '0', '5', '0'});
    const TCodecConfig config = Codec().ReadConfig(record);
    ASSERT_EQ(config.Units.size(), 1u);
    EXPECT_EQ(config.Units[0].Offset, static_cast<int64_t>(volAt));
    EXPECT_EQ(config.Units[0].Bytes, vol.bytes);
    EXPECT_TRUE(Codec().BeginsAccessUnit(record.data(), record.size()));
    EXPECT_EQ(CodecOfPesPayload(record.data(), record.size()), &Codec());
    const std::vector<uint8_t> h264{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x01, 0x67, 0x64, 0x00};
    EXPECT_FALSE(Codec().BeginsAccessUnit(h264.data(), h264.size()));
}

} // namespace
