#include "BitWriter.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"
#include "h264/uH264.h"

#include <gtest/gtest.h>

#include <functional>

#include <memory>

namespace {

bool IsListedProfile(uint8_t profile) {
    for (uint8_t listed : {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135})
        if (profile == listed)
            return true;
    return false;
}

// Decodes the built SPS placed after lead filler bytes and followed by a PPS, and checks the positions
// recorded for the NAL unit, the SPS and its VUI, and where decoding left the reader.
std::unique_ptr<TNALUnit> DecodeChecked(const BuiltSps &built, int64_t lead) {
    std::vector<uint8_t> file(static_cast<size_t>(lead), 0xFF);
    Append(file, WithStartCode(built.nal));
    Append(file, {0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x38, 0x80});
    TMemoryStream stream(file);
    TFastBitstream reader(&stream);
    auto unit = std::make_unique<TNALUnit>();
    if (!reader.SeekNextStartCode() || !unit->Parse(reader) || !unit->SequenceParameterSet) {
        ADD_FAILURE() << "no SPS decoded after " << lead << " bytes";
        return unit;
    }
    int64_t nal = lead + 4;
    EXPECT_EQ(unit->Position, nal);
    const TSequenceParameterSet &sps = *unit->SequenceParameterSet;
    EXPECT_EQ(sps.Position, nal + 1);
    EXPECT_EQ(sps.BitOffset, 0);
    BuiltSps::Place end = built.ReaderPlace(built.decodedBits);
    EXPECT_EQ(reader.Position(), nal + static_cast<int64_t>(end.byte)) << "decoding stopped elsewhere";
    EXPECT_EQ(reader.BitOffset(), end.bit);
    if (sps.VUIParameters) {
        BuiltSps::Place vui = built.ReaderPlace(built.vuiBits);
        EXPECT_EQ(sps.VUIParameters->Position, nal + static_cast<int64_t>(vui.byte));
        EXPECT_EQ(sps.VUIParameters->BitOffset, vui.bit);
    }
    return unit;
}

// Decodes at the start of a stream and across a block boundary; both must give the same SPS.
std::unique_ptr<TNALUnit> Decode(const SpsFields &fields) {
    BuiltSps built = BuildSps(fields);
    DecodeChecked(built, 4096 - 10);
    return DecodeChecked(built, 0);
}

void ExpectFields(const TSequenceParameterSet &sps, const SpsFields &f) {
    EXPECT_EQ(sps.profile_idc, f.profile_idc);
    EXPECT_EQ(sps.constraint_set0_flag, (f.constraint_flags >> 7) & 1);
    EXPECT_EQ(sps.constraint_set1_flag, (f.constraint_flags >> 6) & 1);
    EXPECT_EQ(sps.constraint_set2_flag, (f.constraint_flags >> 5) & 1);
    EXPECT_EQ(sps.constraint_set3_flag, (f.constraint_flags >> 4) & 1);
    EXPECT_EQ(sps.level_idc, f.level_idc);
    EXPECT_EQ(sps.seq_parameter_set_id, f.seq_parameter_set_id);
    bool listed = IsListedProfile(f.profile_idc);
    EXPECT_EQ(sps.chroma_format_idc, listed ? f.chroma_format_idc : 1u);
    EXPECT_EQ(sps.separate_colour_plane_flag,
              listed && f.chroma_format_idc == 3 ? f.separate_colour_plane_flag : 0);
    EXPECT_EQ(sps.bit_depth_luma_minus8, listed ? f.bit_depth_luma_minus8 : 0u);
    EXPECT_EQ(sps.bit_depth_chroma_minus8, listed ? f.bit_depth_chroma_minus8 : 0u);
    EXPECT_EQ(sps.qpprime_y_zero_transform_bypass_flag, listed ? f.qpprime_y_zero_transform_bypass_flag : 0);
    EXPECT_EQ(sps.seq_scaling_matrix_present_flag, listed && f.scaling_matrix ? 1 : 0);
    EXPECT_EQ(sps.log2_max_frame_num_minus4, f.log2_max_frame_num_minus4);
    EXPECT_EQ(sps.pic_order_cnt_type, f.pic_order_cnt_type);
    bool poc0 = f.pic_order_cnt_type == 0, poc1 = f.pic_order_cnt_type == 1;
    EXPECT_EQ(sps.log2_max_pic_order_cnt_lsb_minus4, poc0 ? f.log2_max_pic_order_cnt_lsb_minus4 : 0u);
    EXPECT_EQ(sps.delta_pic_order_always_zero_flag, poc1 ? f.delta_pic_order_always_zero_flag : 0);
    EXPECT_EQ(sps.offset_for_non_ref_pic, poc1 ? f.offset_for_non_ref_pic : 0);
    EXPECT_EQ(sps.offset_for_top_to_bottom_field, poc1 ? f.offset_for_top_to_bottom_field : 0);
    EXPECT_EQ(sps.num_ref_frames_in_pic_order_cnt_cycle, poc1 ? f.offset_for_ref_frame.size() : 0u);
    EXPECT_EQ(sps.num_ref_frames, f.num_ref_frames);
    EXPECT_EQ(sps.gaps_in_frame_num_value_allowed_flag, f.gaps_in_frame_num_value_allowed_flag);
    EXPECT_EQ(sps.pic_width_in_mbs_minus1, f.pic_width_in_mbs_minus1);
    EXPECT_EQ(sps.pic_height_in_map_units_minus1, f.pic_height_in_map_units_minus1);
    EXPECT_EQ(sps.frame_mbs_only_flag, f.frame_mbs_only_flag);
    EXPECT_EQ(sps.mb_adaptive_frame_field_flag, f.frame_mbs_only_flag ? 0 : f.mb_adaptive_frame_field_flag);
    EXPECT_EQ(sps.direct_8x8_inference_flag, f.direct_8x8_inference_flag);
    EXPECT_EQ(sps.frame_cropping_flag, f.frame_cropping_flag);
    bool crop = f.frame_cropping_flag == 1;
    EXPECT_EQ(sps.frame_crop_left_offset, crop ? f.crop_left : 0u);
    EXPECT_EQ(sps.frame_crop_right_offset, crop ? f.crop_right : 0u);
    EXPECT_EQ(sps.frame_crop_top_offset, crop ? f.crop_top : 0u);
    EXPECT_EQ(sps.frame_crop_bottom_offset, crop ? f.crop_bottom : 0u);
    EXPECT_EQ(sps.vui_parameters_present_flag, f.vui ? 1 : 0);
    ASSERT_EQ(sps.VUIParameters != nullptr, f.vui);
    if (!f.vui)
        return;
    const TVUIParameters &vui = *sps.VUIParameters;
    bool ar = f.aspect_ratio_info_present_flag == 1, extended = ar && f.aspect_ratio_idc == 255;
    EXPECT_EQ(vui.aspect_ratio_info_present_flag, f.aspect_ratio_info_present_flag);
    EXPECT_EQ(vui.aspect_ratio_idc, ar ? f.aspect_ratio_idc : 0);
    EXPECT_EQ(vui.sar_width, extended ? f.sar_width : 0);
    EXPECT_EQ(vui.sar_height, extended ? f.sar_height : 0);
    EXPECT_EQ(vui.overscan_info_present_flag, f.overscan_info_present_flag);
    EXPECT_EQ(vui.overscan_appropriate_flag, f.overscan_info_present_flag ? f.overscan_appropriate_flag : 0);
    bool signal = f.video_signal_type_present_flag == 1;
    bool colour = signal && f.colour_description_present_flag == 1;
    EXPECT_EQ(vui.video_signal_type_present_flag, f.video_signal_type_present_flag);
    EXPECT_EQ(vui.video_format, signal ? f.video_format : 0);
    EXPECT_EQ(vui.video_full_range_flag, signal ? f.video_full_range_flag : 0);
    EXPECT_EQ(vui.colour_description_present_flag, signal ? f.colour_description_present_flag : 0);
    EXPECT_EQ(vui.colour_primaries, colour ? f.colour_primaries : 0);
    EXPECT_EQ(vui.transfer_characteristics, colour ? f.transfer_characteristics : 0);
    EXPECT_EQ(vui.matrix_coefficients, colour ? f.matrix_coefficients : 0);
}

struct ProfileCase {
    uint8_t profile;
    uint32_t chroma;
    uint8_t separate;
    int32_t chromaArrayType, cropUnitX, cropUnitY;
};

class SpsProfile : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(SpsProfile, DecodesToTheBuiltFieldsAndCropsByItsChromaFormat) {
    const ProfileCase &c = GetParam();
    SpsFields f;
    f.profile_idc = c.profile;
    f.constraint_flags = 0xA5;
    f.level_idc = 51;
    f.seq_parameter_set_id = 9;
    f.chroma_format_idc = c.chroma;
    f.separate_colour_plane_flag = c.separate;
    f.bit_depth_luma_minus8 = 2;
    f.bit_depth_chroma_minus8 = 4;
    f.qpprime_y_zero_transform_bypass_flag = 1;
    f.crop_left = 2;
    f.crop_right = 3;
    f.crop_top = 1;
    f.crop_bottom = 4;
    f.vui = true;
    auto unit = Decode(f);
    ASSERT_TRUE(unit->SequenceParameterSet);
    const TSequenceParameterSet &sps = *unit->SequenceParameterSet;
    ExpectFields(sps, f);
    EXPECT_EQ(sps.ChromaArrayType(), c.chromaArrayType);
    EXPECT_EQ(sps.CropUnitX(), c.cropUnitX);
    EXPECT_EQ(sps.CropUnitY(), c.cropUnitY);
    EXPECT_EQ(sps.Width(), 1920 - 5 * c.cropUnitX);
    EXPECT_EQ(sps.Height(), 1088 - 5 * c.cropUnitY);
}

// The multiview and stereo profiles (118, 128) carry the chroma fields like High; 66 and 77 do not.
INSTANTIATE_TEST_SUITE_P(Profiles, SpsProfile,
                         ::testing::Values(ProfileCase{66, 3, 0, 1, 2, 2}, ProfileCase{77, 1, 0, 1, 2, 2},
                                           ProfileCase{100, 1, 0, 1, 2, 2}, ProfileCase{100, 0, 0, 0, 1, 1},
                                           ProfileCase{110, 1, 0, 1, 2, 2}, ProfileCase{122, 2, 0, 2, 2, 1},
                                           ProfileCase{244, 3, 0, 3, 1, 1}, ProfileCase{244, 3, 1, 0, 1, 1},
                                           ProfileCase{44, 3, 0, 3, 1, 1}, ProfileCase{118, 3, 1, 0, 1, 1},
                                           ProfileCase{128, 2, 0, 2, 2, 1}, ProfileCase{139, 1, 0, 1, 2, 2}));

TEST(SpsScalingMatrix, ListsDecodeWithWrapAroundAndTheDefaultFlag) {
    SpsFields f;
    f.profile_idc = 100;
    f.scaling_matrix = true;
    f.scaling_deltas.assign(8, {});
    f.scaling_deltas[0].assign(16, 2); // 10, 12, ... 40
    f.scaling_deltas[2] = {-10};       // 254, then nextScale stays: 15 more zero deltas
    f.scaling_deltas[2].resize(16, 0);
    f.scaling_deltas[3] = {-8};        // nextScale 0 at once: the default matrix
    f.scaling_deltas[6] = {4, 0, -12}; // 12, 12, then 0 ends the list: all 12
    f.scaling_deltas[7] = {-8};
    auto unit = Decode(f);
    ASSERT_TRUE(unit->SequenceParameterSet);
    const TSequenceParameterSet &sps = *unit->SequenceParameterSet;
    ExpectFields(sps, f);
    EXPECT_EQ(sps.seq_scaling_list_present_flag, (std::vector<uint8_t>{1, 0, 1, 1, 0, 0, 1, 1}));
    EXPECT_EQ(sps.UseDefaultScalingMatrixFlag, (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0, 1}));
    ASSERT_EQ(sps.ScalingList4x4.size(), 6u);
    ASSERT_EQ(sps.ScalingList8x8.size(), 2u);
    for (size_t j = 0; j < 16; ++j)
        EXPECT_EQ(sps.ScalingList4x4[0][j], 10 + 2 * j);
    EXPECT_EQ(sps.ScalingList4x4[1], std::vector<uint8_t>(16, 0));
    EXPECT_EQ(sps.ScalingList4x4[2], std::vector<uint8_t>(16, 254));
    EXPECT_EQ(sps.ScalingList4x4[3], std::vector<uint8_t>(16, 8));
    EXPECT_EQ(sps.ScalingList8x8[0], std::vector<uint8_t>(64, 12));
    EXPECT_EQ(sps.ScalingList8x8[1], std::vector<uint8_t>(64, 8));
}

TEST(SpsScalingMatrix, FourFourFourHasTwelveLists) {
    SpsFields f;
    f.profile_idc = 244;
    f.chroma_format_idc = 3;
    f.separate_colour_plane_flag = 1;
    f.scaling_matrix = true;
    f.scaling_deltas.assign(12, {});
    f.scaling_deltas[8].assign(64, 1); // 9 .. 72
    f.scaling_deltas[11] = {-8};
    auto unit = Decode(f);
    ASSERT_TRUE(unit->SequenceParameterSet);
    const TSequenceParameterSet &sps = *unit->SequenceParameterSet;
    ExpectFields(sps, f);
    EXPECT_EQ(sps.seq_scaling_list_present_flag.size(), 12u);
    ASSERT_EQ(sps.ScalingList8x8.size(), 6u);
    for (size_t j = 0; j < 64; ++j)
        EXPECT_EQ(sps.ScalingList8x8[2][j], 9 + j);
    EXPECT_EQ(sps.ScalingList8x8[5], std::vector<uint8_t>(64, 8));
    EXPECT_EQ(sps.UseDefaultScalingMatrixFlag[11], 1);
    EXPECT_EQ(sps.ChromaArrayType(), 0);
    EXPECT_EQ(sps.CropUnitX(), 1);
}

TEST(SpsPicOrderCount, EachTypeReadsItsOwnFields) {
    SpsFields f;
    f.log2_max_pic_order_cnt_lsb_minus4 = 12;
    f.delta_pic_order_always_zero_flag = 1;
    f.offset_for_non_ref_pic = -5;
    f.offset_for_top_to_bottom_field = 7;
    // Long zero runs: the encoder has to insert emulation-prevention bytes here.
    f.offset_for_ref_frame = {1 << 24, 1 << 24, -3};
    for (uint32_t type : {0u, 1u, 2u}) {
        SCOPED_TRACE(type);
        f.pic_order_cnt_type = type;
        if (type == 1) {
            ASSERT_GT(BuildSps(f).nal.size(), BuildSps(f).indexMap.size());
        }
        auto unit = Decode(f);
        ASSERT_TRUE(unit->SequenceParameterSet);
        ExpectFields(*unit->SequenceParameterSet, f);
    }
}

TEST(SpsPictureSize, InterlacedAndUncropped) {
    SpsFields interlaced;
    interlaced.profile_idc = 100;
    interlaced.frame_mbs_only_flag = 0;
    interlaced.mb_adaptive_frame_field_flag = 1;
    interlaced.pic_height_in_map_units_minus1 = 33;
    interlaced.crop_bottom = 2;
    auto unit = Decode(interlaced);
    ASSERT_TRUE(unit->SequenceParameterSet);
    ExpectFields(*unit->SequenceParameterSet, interlaced);
    EXPECT_EQ(unit->SequenceParameterSet->CropUnitY(), 4);
    EXPECT_EQ(unit->SequenceParameterSet->Width(), 1920);
    EXPECT_EQ(unit->SequenceParameterSet->Height(), 1080);

    SpsFields uncropped;
    uncropped.frame_cropping_flag = 0;
    uncropped.crop_left = 3; // not written without the flag
    unit = Decode(uncropped);
    ASSERT_TRUE(unit->SequenceParameterSet);
    ExpectFields(*unit->SequenceParameterSet, uncropped);
    EXPECT_EQ(unit->SequenceParameterSet->Width(), 1920);
    EXPECT_EQ(unit->SequenceParameterSet->Height(), 1088);
}

struct VuiCase {
    uint8_t present, idc;
    uint16_t sarWidth, sarHeight;
    int32_t expectedWidth, expectedHeight;
};

class VuiAspectRatio : public ::testing::TestWithParam<VuiCase> {};

TEST_P(VuiAspectRatio, GivesTheSampleAspectRatio) {
    const VuiCase &c = GetParam();
    SpsFields f;
    f.vui = true;
    f.aspect_ratio_info_present_flag = c.present;
    f.aspect_ratio_idc = c.idc;
    f.sar_width = c.sarWidth;
    f.sar_height = c.sarHeight;
    f.overscan_info_present_flag = 1;
    f.overscan_appropriate_flag = 1;
    auto unit = Decode(f);
    ASSERT_TRUE(unit->SequenceParameterSet);
    const TSequenceParameterSet &sps = *unit->SequenceParameterSet;
    ExpectFields(sps, f);
    EXPECT_EQ(sps.SarWidth(), c.expectedWidth);
    EXPECT_EQ(sps.SarHeight(), c.expectedHeight);
    EXPECT_EQ(sps.AspectRatioIdc(), c.present ? c.idc : 0);
    EXPECT_EQ(sps.HasAspectRatio(), c.expectedWidth >= 1 && c.expectedHeight >= 1);
    EXPECT_EQ(sps.VUIParameters->OverscanText(), "Overscan appropriate");
}

INSTANTIATE_TEST_SUITE_P(Codes, VuiAspectRatio,
                         ::testing::Values(VuiCase{0, 1, 0, 0, 0, 0}, VuiCase{1, 1, 0, 0, 1, 1},
                                           VuiCase{1, 13, 64, 45, 160, 99}, VuiCase{1, 255, 64, 45, 64, 45},
                                           VuiCase{1, 255, 0, 45, 0, 45}, VuiCase{1, 0, 0, 0, 0, 0},
                                           VuiCase{1, 17, 0, 0, 0, 0}, VuiCase{1, 254, 0, 0, 0, 0}));

TEST(VuiSignalAndOverscan, Texts) {
    SpsFields f;
    f.vui = true;
    auto unit = Decode(f);
    ASSERT_TRUE(unit->SequenceParameterSet);
    EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->VideoFormat(), 5);
    EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->VideoFormatText(), "Unspecified");
    EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->OverscanText(), "Overscan information not present");

    f.overscan_info_present_flag = 1;
    f.overscan_appropriate_flag = 0;
    f.video_signal_type_present_flag = 1;
    f.video_full_range_flag = 1;
    f.colour_description_present_flag = 1;
    f.colour_primaries = 9;
    f.transfer_characteristics = 16;
    f.matrix_coefficients = 0;
    const char *names[] = {"Component", "PAL", "NTSC", "SECAM", "MAC", "Unspecified", "[n/a]", "[n/a]"};
    for (uint8_t format = 0; format < 8; ++format) {
        f.video_format = format;
        unit = Decode(f);
        ASSERT_TRUE(unit->SequenceParameterSet);
        const TVUIParameters &vui = *unit->SequenceParameterSet->VUIParameters;
        ExpectFields(*unit->SequenceParameterSet, f);
        EXPECT_EQ(vui.VideoFormat(), format);
        EXPECT_EQ(vui.VideoFormatText(), names[format]);
        EXPECT_EQ(VideoFormatName(format), names[format]);
        EXPECT_EQ(vui.OverscanText(), "Overscan not appropriate");
    }
    EXPECT_EQ(VideoFormatName(200), "[n/a]");
}

TEST(SpsWithoutVui, HasNoAspectRatio) {
    SpsFields f;
    auto unit = Decode(f);
    ASSERT_TRUE(unit->SequenceParameterSet);
    ExpectFields(*unit->SequenceParameterSet, f);
    EXPECT_EQ(unit->SequenceParameterSet->AspectRatioIdc(), 0);
    EXPECT_EQ(unit->SequenceParameterSet->SarWidth(), 0);
    EXPECT_FALSE(unit->SequenceParameterSet->HasAspectRatio());
}

TEST(NalHeader, MustBeginAtAByteBoundary) {
    TMemoryStream stream({0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1E});
    TFastBitstream reader(&stream);
    reader.SetPosition(3, 3);
    TNALUnit unit;
    try {
        unit.Parse(reader);
        FAIL() << "an unaligned header was parsed";
    } catch (const Exception &error) {
        EXPECT_STREQ(error.what(), SNALUnitNotAligned);
    }
    EXPECT_EQ(reader.Position(), 3);
    EXPECT_EQ(reader.BitOffset(), 3);
    EXPECT_EQ(unit.NalUnitType(), 0);
    EXPECT_FALSE(unit.SequenceParameterSet);
}

TEST(NalHeader, OtherTypesReadOnlyTheirHeader) {
    TMemoryStream slice({0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00});
    TFastBitstream reader(&slice);
    ASSERT_TRUE(reader.SeekNextStartCode());
    TNALUnit unit;
    EXPECT_FALSE(unit.Parse(reader));
    EXPECT_EQ(unit.Position, 3);
    EXPECT_EQ(unit.nal_ref_idc, 3);
    EXPECT_EQ(unit.NalUnitType(), 5);
    EXPECT_EQ(reader.Position(), 4);
    EXPECT_EQ(reader.BitOffset(), 0);
    EXPECT_FALSE(unit.SequenceParameterSet);

    for (uint8_t header : {0x6E, 0x74}) { // types 14 and 20 with their SVC extension
        TMemoryStream svc({0x00, 0x00, 0x01, header, 0xAA, 0xD9, 0x77, 0x55});
        TFastBitstream svcReader(&svc);
        ASSERT_TRUE(svcReader.SeekNextStartCode());
        TNALUnit svcUnit;
        EXPECT_FALSE(svcUnit.Parse(svcReader));
        EXPECT_EQ(svcReader.Position(), 7);
        EXPECT_EQ(svcReader.BitOffset(), 0);
        EXPECT_EQ(svcUnit.svc_extension_flag, 1);
        EXPECT_EQ(svcUnit.idr_flag, 0);
        EXPECT_EQ(svcUnit.priority_id, 0x2A);
        EXPECT_EQ(svcUnit.no_inter_layer_pred_flag, 1);
        EXPECT_EQ(svcUnit.dependency_id, 5);
        EXPECT_EQ(svcUnit.quality_id, 9);
        EXPECT_EQ(svcUnit.temporal_id, 3);
        EXPECT_EQ(svcUnit.use_ref_base_pic_flag, 1);
        EXPECT_EQ(svcUnit.discardable_flag, 0);
        EXPECT_EQ(svcUnit.output_flag, 1);
    }
}

TEST(NalHeader, AForbiddenBitDoesNotStopAnSps) {
    SpsFields f;
    f.nal_header = 0xE7;
    auto unit = Decode(f);
    ASSERT_TRUE(unit->SequenceParameterSet);
    EXPECT_EQ(unit->nal_ref_idc, 3);
    EXPECT_EQ(unit->NalUnitType(), 7);
    ExpectFields(*unit->SequenceParameterSet, f);
}

TEST(NalHeader, AnSpsCutShortRaisesEndOfStreamAndKeepsWhatWasRead) {
    TMemoryStream headerOnly({0x00, 0x00, 0x00, 0x01, 0x67});
    TFastBitstream reader(&headerOnly);
    ASSERT_TRUE(reader.SeekNextStartCode());
    TNALUnit unit;
    try {
        unit.Parse(reader);
        FAIL() << "a missing SPS was parsed";
    } catch (const EInOutError &error) {
        EXPECT_EQ(error.what(), Format(SUnexpectedEndOfStreamAt, 5));
    }
    EXPECT_EQ(unit.NalUnitType(), 7);
    EXPECT_TRUE(unit.SequenceParameterSet);

    std::vector<uint8_t> cut = BuildSps(SpsFields{}).nal;
    cut.resize(4); // header, profile_idc, constraint flags, level_idc
    TMemoryStream cutStream(WithStartCode(cut));
    TFastBitstream cutReader(&cutStream);
    ASSERT_TRUE(cutReader.SeekNextStartCode());
    TNALUnit cutUnit;
    EXPECT_THROW(cutUnit.Parse(cutReader), EInOutError);
    ASSERT_TRUE(cutUnit.SequenceParameterSet);
    EXPECT_EQ(cutUnit.SequenceParameterSet->profile_idc, 77);
    EXPECT_EQ(cutUnit.SequenceParameterSet->level_idc, 40);
}

// An SPS whose elements break the standard's ranges is damaged: decoding names the element and its
// value. Each case is a valid SPS with one field pushed out of range.
TEST(SpsRanges, AnElementOutsideItsRangeMakesTheSpsDamaged) {
    struct Case {
        const char *message;
        std::function<void(SpsFields &)> change;
    };
    const Case cases[] = {
        {"seq_parameter_set_id is 32, outside 0..31.", [](SpsFields &f) { f.seq_parameter_set_id = 32; }},
        {"chroma_format_idc is 4, outside 0..3.",
         [](SpsFields &f) {
             f.profile_idc = 100;
             f.chroma_format_idc = 4;
         }},
        {"bit_depth_luma_minus8 is 7, outside 0..6.",
         [](SpsFields &f) {
             f.profile_idc = 110;
             f.bit_depth_luma_minus8 = 7;
         }},
        {"bit_depth_chroma_minus8 is 9, outside 0..6.",
         [](SpsFields &f) {
             f.profile_idc = 122;
             f.bit_depth_chroma_minus8 = 9;
         }},
        {"delta_scale is 128, outside -128..127.",
         [](SpsFields &f) {
             f.profile_idc = 100;
             f.scaling_matrix = true;
             f.scaling_deltas.assign(8, {});
             f.scaling_deltas[1] = {128};
         }},
        {"log2_max_frame_num_minus4 is 13, outside 0..12.",
         [](SpsFields &f) { f.log2_max_frame_num_minus4 = 13; }},
        {"pic_order_cnt_type is 3, outside 0..2.", [](SpsFields &f) { f.pic_order_cnt_type = 3; }},
        {"log2_max_pic_order_cnt_lsb_minus4 is 13, outside 0..12.",
         [](SpsFields &f) { f.log2_max_pic_order_cnt_lsb_minus4 = 13; }},
        {"max_num_ref_frames is 17, outside 0..16.", [](SpsFields &f) { f.num_ref_frames = 17; }},
        {"num_ref_frames_in_pic_order_cnt_cycle is 256, outside 0..255.",
         [](SpsFields &f) {
             f.pic_order_cnt_type = 1;
             f.offset_for_ref_frame.assign(256, 1);
         }},
        {"pic_width_in_mbs_minus1 is 134217727, outside 0..134217726.",
         [](SpsFields &f) { f.pic_width_in_mbs_minus1 = 134217727; }},
        {"pic_height_in_map_units_minus1 is 67108863, outside 0..67108862.",
         [](SpsFields &f) { f.pic_height_in_map_units_minus1 = 67108863; }},
        // Cropped to nothing, or beyond: the picture sizes that once showed as -3280x-3424.
        {"the cropping window leaves nothing of the 1920x1088 frame (left 480, right 480, top 0, bottom 4).",
         [](SpsFields &f) { f.crop_left = f.crop_right = 480; }},
        {"the cropping window leaves nothing of the 1920x1088 frame (left 0, right 0, top 0, bottom 4000).",
         [](SpsFields &f) { f.crop_bottom = 4000; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        SpsFields f;
        f.vui = true;
        c.change(f);
        try {
            DecodeNALUnit(BuildSps(f).nal, true);
            ADD_FAILURE() << "decoded";
        } catch (const EInOutError &error) {
            ADD_FAILURE() << "cut short: " << error.what();
        } catch (const Exception &error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
    // At the edges of their ranges the same elements decode.
    SpsFields edge;
    edge.vui = true;
    edge.profile_idc = 244;
    edge.seq_parameter_set_id = 31;
    edge.chroma_format_idc = 3;
    edge.bit_depth_luma_minus8 = 6;
    edge.bit_depth_chroma_minus8 = 6;
    edge.log2_max_frame_num_minus4 = 12;
    edge.log2_max_pic_order_cnt_lsb_minus4 = 12;
    edge.num_ref_frames = 16;
    edge.crop_left = 1919;
    edge.crop_bottom = 1087;
    edge.crop_right = 0;
    std::unique_ptr<TNALUnit> unit = DecodeNALUnit(BuildSps(edge).nal, true);
    EXPECT_EQ(unit->SequenceParameterSet->Width(), 1);
    EXPECT_EQ(unit->SequenceParameterSet->Height(), 1);
}

// Decoded from its own bytes, an SPS reads nothing behind them: a unit cut before its VUI ends there, and
// the positions count from the unit's header byte.
TEST(DecodeNALUnit, ReadsOnlyTheUnitsOwnBytes) {
    SpsFields f;
    f.vui = true;
    f.aspect_ratio_idc = 255;
    f.sar_width = 64;
    f.sar_height = 45;
    const BuiltSps built = BuildSps(f);
    std::unique_ptr<TNALUnit> unit = DecodeNALUnit(built.nal, true);
    EXPECT_EQ(unit->Bytes, built.nal);
    EXPECT_EQ(unit->SequenceParameterSet->Position, 1);
    EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->Position, static_cast<int64_t>(built.vuiByte));
    EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->AspectRatioIdcPosition * 8 +
                  unit->SequenceParameterSet->VUIParameters->AspectRatioIdcBitOffset,
              static_cast<int64_t>(built.vuiByte * 8 + built.vuiBit + 1));
    EXPECT_EQ(unit->SequenceParameterSet->SarWidth(), 64);
    std::vector<uint8_t> cut(built.nal.begin(),
                             built.nal.begin() + static_cast<ptrdiff_t>(built.vuiByte + 2));
    // What follows the cut (a start code) is not part of the unit: decoding stops at the cut.
    EXPECT_THROW(DecodeNALUnit(cut, true), EInOutError);
}

TEST(SarTables, TableE1) {
    const int32_t table[17][2] = {{0, 0},   {1, 1},    {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                  {24, 11}, {20, 11},  {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                  {64, 33}, {160, 99}, {4, 3},   {3, 2},   {2, 1}};
    for (int code = 0; code <= 16; ++code) {
        EXPECT_EQ(PredefinedSarWidth(static_cast<uint8_t>(code)), table[code][0]) << code;
        EXPECT_EQ(PredefinedSarHeight(static_cast<uint8_t>(code)), table[code][1]) << code;
    }
    for (int code : {17, 100, 254}) {
        EXPECT_EQ(PredefinedSarWidth(static_cast<uint8_t>(code)), 0);
        EXPECT_EQ(PredefinedSarHeight(static_cast<uint8_t>(code)), 0);
    }
    EXPECT_EQ(PredefinedSarWidth(255), -1);
    EXPECT_EQ(PredefinedSarHeight(255), -1);
}

TEST(SarTables, Gcd) {
    EXPECT_EQ(Gcd(0, 5), 0);
    EXPECT_EQ(Gcd(5, 0), 0);
    EXPECT_EQ(Gcd(1920, 1080), 120);
    EXPECT_EQ(Gcd(1080, 1920), 120);
    EXPECT_EQ(Gcd(7, 7), 7);
    EXPECT_EQ(Gcd(17, 5), 1);
}

} // namespace
