// The HEVC SPS reader (ITU-T H.265 7.3.2.2) against SPS written element by element by the tests' own
// builder: every optional structure, the short-term sets predicted from the set before them (7.4.8),
// ranges, cut units, upper layers, and the VUI's aspect_ratio_idc found at the byte and bit the builder
// wrote it to, emulation-prevention bytes counted.

#include "hevc/HevcSps.h"
#include "HevcSpsBuilder.h"
#include "base/Exceptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::unique_ptr<THevcNalUnit> DecodeBuilt(const BuiltHevcSps &built) {
    return DecodeHevcNalUnit(built.nal, true);
}

// Where the reader says a field of `bits` bits into the unescaped unit begins, checked against the
// builder's record: the byte of nal holding that bit, or, for a field that opens a byte, the
// emulation-prevention byte in front of that byte (where a reader stands after the byte before).
void ExpectPlace(int64_t position, uint8_t bitOffset, const BuiltHevcSps &built, size_t bits) {
    EXPECT_EQ(bitOffset, bits % 8);
    const size_t byte = built.ByteOf(bits);
    if (bits % 8 == 0 && position + 1 == static_cast<int64_t>(byte) && built.nal[byte - 1] == 3)
        return;
    EXPECT_EQ(position, static_cast<int64_t>(byte));
}

// Reads count bits of nal from (byte, bit), passing over emulation-prevention bytes as a decoder does.
uint32_t RawBitsAt(const std::vector<uint8_t> &nal, size_t byte, uint8_t bit, int count) {
    // Which raw bytes are emulation-prevention bytes.
    std::vector<bool> skip(nal.size(), false);
    int zeros = 0;
    for (size_t i = 0; i < nal.size(); ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            skip[i] = true;
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
    }
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        while (byte < nal.size() && skip[byte])
            ++byte;
        value = value << 1 | ((nal.at(byte) >> (7 - bit)) & 1);
        if (++bit == 8) {
            bit = 0;
            ++byte;
        }
    }
    return value;
}

// The VUI and its aspect_ratio_idc where the builder wrote them, and the idc read there is the one written.
void ExpectVuiPlaces(const THevcSequenceParameterSet &sps, const BuiltHevcSps &built, uint8_t idc) {
    ASSERT_TRUE(sps.VUIParameters);
    const TVUIParameters &vui = *sps.VUIParameters;
    ExpectPlace(vui.Position, vui.BitOffset, built, built.vuiBits);
    ASSERT_EQ(vui.aspect_ratio_info_present_flag, 1);
    ExpectPlace(vui.AspectRatioIdcPosition, vui.AspectRatioIdcBitOffset, built, built.idcBits);
    EXPECT_EQ(
        RawBitsAt(built.nal, static_cast<size_t>(vui.AspectRatioIdcPosition), vui.AspectRatioIdcBitOffset, 8),
        idc);
    EXPECT_EQ(vui.aspect_ratio_idc, idc);
}

bool HasEmulationPreventionIn(const std::vector<uint8_t> &nal, size_t first, size_t last) {
    for (size_t i = std::max<size_t>(first, 2); i <= last && i < nal.size(); ++i)
        if (nal[i] == 3 && nal[i - 1] == 0 && nal[i - 2] == 0)
            return true;
    return false;
}

// The message of the Exception (not EInOutError) the unit raises; empty when it decodes.
std::string DamageOf(const HevcSpsFields &fields) {
    try {
        DecodeBuilt(BuildHevcSps(fields));
    } catch (const EInOutError &error) {
        return std::string("cut short: ") + error.what();
    } catch (const Exception &error) {
        return error.what();
    }
    return {};
}

// An explicit set: negative distances -d (d ascending), positive +d, every picture used.
HevcStRpsFields ExplicitSet(const std::vector<int32_t> &negative, const std::vector<int32_t> &positive) {
    HevcStRpsFields s;
    int32_t previous = 0;
    for (int32_t d : negative) {
        s.delta_poc_s0_minus1.push_back(static_cast<uint32_t>(previous - d - 1));
        s.used_by_curr_pic_s0_flag.push_back(1);
        previous = d;
    }
    previous = 0;
    for (int32_t d : positive) {
        s.delta_poc_s1_minus1.push_back(static_cast<uint32_t>(d - previous - 1));
        s.used_by_curr_pic_s1_flag.push_back(1);
        previous = d;
    }
    return s;
}

// A derived set as the tests work it out on their own: the reference set's pictures moved by deltaRps,
// and deltaRps itself (index NumDeltaPocs), kept where use_delta_flag says, negative ones nearest first,
// positive ones nearest first. (The reference set's pictures are in order, so sorting gives 7.4.8's order.)
struct DerivedSet {
    std::vector<int32_t> s0, s1;
    std::vector<uint8_t> used0, used1;
};
DerivedSet Derive(const DerivedSet &ref, int32_t deltaRps, const std::vector<uint8_t> &used,
                  const std::vector<uint8_t> &useDelta) {
    std::vector<std::pair<int32_t, uint8_t>> all;
    std::vector<int32_t> refPictures = ref.s0;
    refPictures.insert(refPictures.end(), ref.s1.begin(), ref.s1.end());
    refPictures.push_back(0); // the reference picture itself
    for (size_t j = 0; j < refPictures.size(); ++j) {
        const bool use = used[j] == 1 || useDelta[j] == 1;
        const int32_t d = refPictures[j] + deltaRps;
        if (use && d != 0)
            all.emplace_back(d, used[j]);
    }
    DerivedSet out;
    std::sort(all.begin(), all.end());
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->first < 0) {
            out.s0.push_back(it->first);
            out.used0.push_back(it->second);
        }
    for (const auto &[d, u] : all)
        if (d > 0) {
            out.s1.push_back(d);
            out.used1.push_back(u);
        }
    return out;
}

void ExpectSet(const THevcShortTermRefPicSet &set, const DerivedSet &expected) {
    EXPECT_EQ(set.DeltaPocS0, expected.s0);
    EXPECT_EQ(set.DeltaPocS1, expected.s1);
    EXPECT_EQ(set.UsedByCurrPicS0, expected.used0);
    EXPECT_EQ(set.UsedByCurrPicS1, expected.used1);
}

} // namespace

// ---- The default SPS, as x265 writes it ----

TEST(HevcSps, X265LikeDefaultsDecodeWithTheRatioWhereItWasWritten) {
    const HevcSpsFields f;
    const BuiltHevcSps built = BuildHevcSps(f);
    // x265's PTL: compatibility 60 00 00 00, constraints 90 00 00 00 00 00 - escaped twice.
    ASSERT_TRUE(HasEmulationPreventionIn(built.nal, 2, 16));
    const std::vector<uint8_t> head{0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
                                    0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x78};
    ASSERT_TRUE(std::equal(head.begin(), head.end(), built.nal.begin()));
    const auto unit = DecodeBuilt(built);
    EXPECT_EQ(unit->nal_unit_type, 33);
    EXPECT_EQ(unit->nuh_layer_id, 0);
    EXPECT_EQ(unit->nuh_temporal_id_plus1, 1);
    EXPECT_EQ(unit->Bytes, built.nal);
    ASSERT_TRUE(unit->SequenceParameterSet);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    EXPECT_EQ(sps.Position, 2);
    EXPECT_EQ(sps.BitOffset, 0);
    EXPECT_EQ(sps.sps_temporal_id_nesting_flag, 1);
    EXPECT_EQ(sps.ProfileTierLevel.general_profile_idc, 1);
    EXPECT_EQ(sps.ProfileTierLevel.general_profile_compatibility_flags, 0x60000000u);
    EXPECT_EQ(sps.ProfileTierLevel.general_level_idc, 120);
    EXPECT_EQ(sps.chroma_format_idc, 1u);
    EXPECT_EQ(sps.pic_width_in_luma_samples, 1920u);
    EXPECT_EQ(sps.pic_height_in_luma_samples, 1088u);
    EXPECT_EQ(sps.conf_win_bottom_offset, 4u);
    EXPECT_EQ(sps.Width(), 1920);
    EXPECT_EQ(sps.Height(), 1080);
    EXPECT_EQ(sps.log2_max_pic_order_cnt_lsb_minus4, 4u);
    EXPECT_EQ(sps.sps_max_dec_pic_buffering_minus1[0], 4u);
    EXPECT_EQ(sps.sps_max_num_reorder_pics[0], 2u);
    EXPECT_EQ(sps.log2_diff_max_min_luma_coding_block_size, 3u);
    EXPECT_EQ(sps.sample_adaptive_offset_enabled_flag, 1);
    EXPECT_EQ(sps.sps_temporal_mvp_enabled_flag, 1);
    EXPECT_EQ(sps.strong_intra_smoothing_enabled_flag, 1);
    EXPECT_EQ(sps.vui_parameters_present_flag, 1);
    ExpectVuiPlaces(sps, built, 1);
    EXPECT_EQ(sps.AspectRatioIdc(), 1);
    EXPECT_EQ(sps.SarWidth(), 1);
    EXPECT_EQ(sps.SarHeight(), 1);
    EXPECT_TRUE(sps.HasAspectRatioField());
}

// ---- profile_tier_level ----

struct SubLayerCase {
    uint8_t maxSubLayersMinus1;
    uint32_t profilePresent; // bit i: sub-layer i
    uint32_t levelPresent;
};

class HevcSpsSubLayers : public ::testing::TestWithParam<SubLayerCase> {};

TEST_P(HevcSpsSubLayers, ProfilesAndLevelsOfSubLayersAreReadAndTheRestFollows) {
    const SubLayerCase c = GetParam();
    HevcSpsFields f;
    f.sps_max_sub_layers_minus1 = c.maxSubLayersMinus1;
    f.sps_seq_parameter_set_id = 9;
    f.sps_sub_layer_ordering_info_present_flag = 0;
    for (int i = 0; i < 6; ++i) {
        f.sub_layers[i].profile_present = (c.profilePresent >> i & 1) != 0;
        f.sub_layers[i].level_present = (c.levelPresent >> i & 1) != 0;
        f.sub_layers[i].level_idc = static_cast<uint8_t>(30 + 3 * i);
        f.sub_layers[i].profile_idc = static_cast<uint8_t>(1 + i % 3);
        // Bits that a reader skipping the wrong count would take for what follows.
        f.sub_layers[i].compatibility_flags = 0xA5A5A5A5;
        f.sub_layers[i].constraint_flags = 0xFFFFFFFFFFFF;
    }
    f.aspect_ratio_idc = 14;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    EXPECT_EQ(sps.sps_max_sub_layers_minus1, c.maxSubLayersMinus1);
    for (int i = 0; i < 7; ++i) {
        const bool inside = i < c.maxSubLayersMinus1;
        EXPECT_EQ(sps.ProfileTierLevel.sub_layer_profile_present_flag[i],
                  inside ? (c.profilePresent >> i & 1) : 0)
            << i;
        EXPECT_EQ(sps.ProfileTierLevel.sub_layer_level_present_flag[i],
                  inside ? (c.levelPresent >> i & 1) : 0)
            << i;
        if (inside && (c.levelPresent >> i & 1) != 0) {
            EXPECT_EQ(sps.ProfileTierLevel.sub_layer_level_idc[i], 30 + 3 * i) << i;
        }
    }
    EXPECT_EQ(sps.sps_seq_parameter_set_id, 9u);
    EXPECT_EQ(sps.Width(), 1920);
    // Ordering info only for the highest sub-layer, inferred for the others.
    for (int i = 0; i <= c.maxSubLayersMinus1; ++i) {
        EXPECT_EQ(sps.sps_max_dec_pic_buffering_minus1[i], 4u);
        EXPECT_EQ(sps.sps_max_num_reorder_pics[i], 2u);
    }
    ExpectVuiPlaces(sps, built, 14);
}

INSTANTIATE_TEST_SUITE_P(Layers, HevcSpsSubLayers,
                         ::testing::Values(SubLayerCase{0, 0, 0}, SubLayerCase{1, 0, 0},
                                           SubLayerCase{1, 1, 0}, SubLayerCase{1, 0, 1},
                                           SubLayerCase{1, 1, 1}, SubLayerCase{2, 3, 1},
                                           SubLayerCase{3, 5, 6}, SubLayerCase{4, 0xF, 0},
                                           SubLayerCase{5, 0x15, 0x1F}, SubLayerCase{6, 0x3F, 0x3F},
                                           SubLayerCase{6, 0, 0x3F}, SubLayerCase{6, 0x2A, 0x15},
                                           SubLayerCase{6, 0, 0}));

TEST(HevcSps, SubLayerOrderingInfoForEverySubLayer) {
    HevcSpsFields f;
    f.sps_max_sub_layers_minus1 = 3;
    f.sps_sub_layer_ordering_info_present_flag = 1;
    f.sps_max_dec_pic_buffering_minus1 = {0, 2, 5, 15, 0, 0, 0};
    f.sps_max_num_reorder_pics = {0, 1, 5, 15, 0, 0, 0};
    f.sps_max_latency_increase_plus1 = {7, 0, 1000, 0xFFFFFFFE, 0, 0, 0};
    // 15 pictures allowed in the highest sub-layer's sets.
    f.short_term_ref_pic_sets = {ExplicitSet({-1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12}, {1, 2, 3})};
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sps.sps_max_dec_pic_buffering_minus1[i], f.sps_max_dec_pic_buffering_minus1[i]);
        EXPECT_EQ(sps.sps_max_num_reorder_pics[i], f.sps_max_num_reorder_pics[i]);
        EXPECT_EQ(sps.sps_max_latency_increase_plus1[i], f.sps_max_latency_increase_plus1[i]);
    }
    ASSERT_EQ(sps.ShortTermRefPicSets.size(), 1u);
    EXPECT_EQ(sps.ShortTermRefPicSets[0].NumDeltaPocs(), 15u);
    ExpectVuiPlaces(sps, built, 1);
}

// ---- chroma format, conformance window, bit depths ----

struct ChromaCase {
    uint32_t chromaFormatIdc;
    uint8_t separatePlanes;
    int32_t arrayType, subWidth, subHeight;
};

class HevcSpsChroma : public ::testing::TestWithParam<ChromaCase> {};

TEST_P(HevcSpsChroma, TheConformanceWindowCountsInChromaUnits) {
    const ChromaCase c = GetParam();
    HevcSpsFields f;
    f.chroma_format_idc = c.chromaFormatIdc;
    f.separate_colour_plane_flag = c.separatePlanes;
    f.pic_width_in_luma_samples = 1280;
    f.pic_height_in_luma_samples = 720;
    f.conf_win_left_offset = 3;
    f.conf_win_right_offset = 5;
    f.conf_win_top_offset = 1;
    f.conf_win_bottom_offset = 7;
    f.bit_depth_luma_minus8 = 2;
    f.bit_depth_chroma_minus8 = 4;
    f.aspect_ratio_idc = 255;
    f.sar_width = 4;
    f.sar_height = 3;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    EXPECT_EQ(sps.chroma_format_idc, c.chromaFormatIdc);
    EXPECT_EQ(sps.separate_colour_plane_flag, c.separatePlanes);
    EXPECT_EQ(sps.ChromaArrayType(), c.arrayType);
    EXPECT_EQ(sps.SubWidthC(), c.subWidth);
    EXPECT_EQ(sps.SubHeightC(), c.subHeight);
    EXPECT_EQ(sps.bit_depth_luma_minus8, 2u);
    EXPECT_EQ(sps.bit_depth_chroma_minus8, 4u);
    EXPECT_EQ(sps.Width(), 1280 - c.subWidth * 8);
    EXPECT_EQ(sps.Height(), 720 - c.subHeight * 8);
    EXPECT_EQ(sps.SarWidth(), 4);
    EXPECT_EQ(sps.SarHeight(), 3);
    ExpectVuiPlaces(sps, built, 255);
}

INSTANTIATE_TEST_SUITE_P(Formats, HevcSpsChroma,
                         ::testing::Values(ChromaCase{0, 0, 0, 1, 1}, ChromaCase{1, 0, 1, 2, 2},
                                           ChromaCase{2, 0, 2, 2, 1}, ChromaCase{3, 0, 3, 1, 1},
                                           ChromaCase{3, 1, 0, 1, 1}));

TEST(HevcSps, WithoutConformanceWindowThePictureIsWhole) {
    HevcSpsFields f;
    f.conformance_window_flag = 0;
    f.pic_width_in_luma_samples = 8;
    f.pic_height_in_luma_samples = 8;
    f.log2_diff_max_min_luma_coding_block_size = 0;
    f.log2_diff_max_min_luma_transform_block_size = 1;
    f.max_transform_hierarchy_depth_inter = 1;
    f.max_transform_hierarchy_depth_intra = 0;
    const auto unit = DecodeBuilt(BuildHevcSps(f));
    EXPECT_EQ(unit->SequenceParameterSet->Width(), 8);
    EXPECT_EQ(unit->SequenceParameterSet->Height(), 8);
    EXPECT_EQ(unit->SequenceParameterSet->conformance_window_flag, 0);
}

// ---- scaling lists ----

TEST(HevcSpsScalingLists, CopiesWithTheLargestMatrixDeltasAreRead) {
    HevcSpsFields f;
    f.scaling_list_enabled_flag = 1;
    f.sps_scaling_list_data_present_flag = 1;
    for (uint32_t sizeId = 0; sizeId < 4; ++sizeId)
        for (uint32_t matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1) {
            HevcScalingListFields l;
            l.pred_matrix_id_delta = sizeId == 3 ? matrixId / 3 : matrixId;
            f.scaling_lists.push_back(l);
        }
    ASSERT_EQ(f.scaling_lists.size(), 20u);
    f.aspect_ratio_idc = 2;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    EXPECT_EQ(unit->SequenceParameterSet->scaling_list_enabled_flag, 1);
    EXPECT_EQ(unit->SequenceParameterSet->sps_scaling_list_data_present_flag, 1);
    ExpectVuiPlaces(*unit->SequenceParameterSet, built, 2);
}

TEST(HevcSpsScalingLists, CodedCoefficientsWithDcTermsForTheLargeSizesAreRead) {
    HevcSpsFields f;
    f.scaling_list_enabled_flag = 1;
    f.sps_scaling_list_data_present_flag = 1;
    int n = 0;
    for (uint32_t sizeId = 0; sizeId < 4; ++sizeId)
        for (uint32_t matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1, ++n) {
            HevcScalingListFields l;
            l.pred_mode_flag = n % 3 != 2; // now and then a copy between coded lists
            l.pred_matrix_id_delta = matrixId > 0 ? 1 : 0;
            // The DC term at both ends of its range; it exists only for sizeId 2 and 3, so a reader that
            // takes it for the small sizes, or misses it, reads the lists out of step.
            l.dc_coef_minus8 = n % 2 == 0 ? -7 : 247;
            const size_t coefNum = std::min<size_t>(64, size_t{1} << (4 + (sizeId << 1)));
            for (size_t i = 0; i < coefNum; ++i)
                // Both ends of the delta range, the list staying above 0: 8, 135, 7, 134, 7, 134, ...
                l.delta_coefs.push_back(i % 2 == 0 ? 127 : i == 1 ? -128 : -127);
            f.scaling_lists.push_back(l);
        }
    f.aspect_ratio_idc = 255;
    f.sar_width = 40;
    f.sar_height = 33;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    ExpectVuiPlaces(*unit->SequenceParameterSet, built, 255);
    EXPECT_EQ(unit->SequenceParameterSet->SarWidth(), 40);
    EXPECT_EQ(unit->SequenceParameterSet->SarHeight(), 33);
}

TEST(HevcSpsScalingLists, EnabledWithoutDataReadsNoLists) {
    HevcSpsFields f;
    f.scaling_list_enabled_flag = 1;
    f.sps_scaling_list_data_present_flag = 0;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    EXPECT_EQ(unit->SequenceParameterSet->scaling_list_enabled_flag, 1);
    EXPECT_EQ(unit->SequenceParameterSet->sps_scaling_list_data_present_flag, 0);
    ExpectVuiPlaces(*unit->SequenceParameterSet, built, 1);
}

TEST(HevcSpsScalingLists, ValuesOutsideTheirRangesAreDamage) {
    auto withList = [](size_t index, HevcScalingListFields l) {
        HevcSpsFields f;
        f.scaling_list_enabled_flag = 1;
        f.sps_scaling_list_data_present_flag = 1;
        f.scaling_lists.resize(20);
        f.scaling_lists[index] = std::move(l);
        return f;
    };
    HevcScalingListFields copy;
    copy.pred_matrix_id_delta = 4; // matrix 3 of size 0 may go back 3 at most
    EXPECT_NE(DamageOf(withList(3, copy)).find("scaling_list_pred_matrix_id_delta"), std::string::npos);
    copy.pred_matrix_id_delta = 2; // matrix 3 of size 3 (list 19) may go back 1 at most
    EXPECT_NE(DamageOf(withList(19, copy)).find("scaling_list_pred_matrix_id_delta"), std::string::npos);
    copy.pred_matrix_id_delta = 1;
    EXPECT_EQ(DamageOf(withList(19, copy)), "");
    copy.pred_matrix_id_delta = 1; // matrix 0 can not copy another
    EXPECT_NE(DamageOf(withList(0, copy)).find("scaling_list_pred_matrix_id_delta"), std::string::npos);
    HevcScalingListFields coded;
    coded.pred_mode_flag = true;
    coded.delta_coefs = {128};
    EXPECT_NE(DamageOf(withList(1, coded)).find("scaling_list_delta_coef"), std::string::npos);
    coded.delta_coefs = {-129};
    EXPECT_NE(DamageOf(withList(1, coded)).find("scaling_list_delta_coef"), std::string::npos);
    coded.delta_coefs = {};
    coded.dc_coef_minus8 = 248;
    EXPECT_NE(DamageOf(withList(12, coded)).find("scaling_list_dc_coef_minus8"), std::string::npos);
    coded.dc_coef_minus8 = -8;
    EXPECT_NE(DamageOf(withList(18, coded)).find("scaling_list_dc_coef_minus8"), std::string::npos);
}

// ---- PCM ----

TEST(HevcSps, PcmFieldsAreRead) {
    HevcSpsFields f;
    f.bit_depth_luma_minus8 = 2;
    f.bit_depth_chroma_minus8 = 0;
    f.pcm_enabled_flag = 1;
    f.pcm_sample_bit_depth_luma_minus1 = 9; // = BitDepthY - 1
    f.pcm_sample_bit_depth_chroma_minus1 = 7;
    f.log2_min_pcm_luma_coding_block_size_minus3 = 0;
    f.log2_diff_max_min_pcm_luma_coding_block_size = 2;
    f.pcm_loop_filter_disabled_flag = 1;
    f.aspect_ratio_idc = 16;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    EXPECT_EQ(sps.pcm_enabled_flag, 1);
    EXPECT_EQ(sps.pcm_sample_bit_depth_luma_minus1, 9);
    EXPECT_EQ(sps.pcm_sample_bit_depth_chroma_minus1, 7);
    EXPECT_EQ(sps.log2_diff_max_min_pcm_luma_coding_block_size, 2u);
    EXPECT_EQ(sps.pcm_loop_filter_disabled_flag, 1);
    ExpectVuiPlaces(sps, built, 16);

    f.pcm_sample_bit_depth_luma_minus1 = 10; // deeper than the picture
    EXPECT_NE(DamageOf(f).find("pcm_sample_bit_depth_luma_minus1"), std::string::npos);
    f.pcm_sample_bit_depth_luma_minus1 = 9;
    f.log2_diff_max_min_pcm_luma_coding_block_size = 3; // 64x64 PCM blocks
    EXPECT_NE(DamageOf(f).find("log2_diff_max_min_pcm_luma_coding_block_size"), std::string::npos);
    // PCM blocks no smaller than the smallest coding block (16x16 here).
    f.log2_min_luma_coding_block_size_minus3 = 1;
    f.log2_diff_max_min_luma_coding_block_size = 2;
    f.log2_min_pcm_luma_coding_block_size_minus3 = 0;
    f.log2_diff_max_min_pcm_luma_coding_block_size = 0;
    EXPECT_NE(DamageOf(f).find("log2_min_pcm_luma_coding_block_size_minus3"), std::string::npos);
    f.log2_min_pcm_luma_coding_block_size_minus3 = 1;
    f.log2_diff_max_min_pcm_luma_coding_block_size = 1;
    EXPECT_EQ(DamageOf(f), "");
}

// ---- short-term reference picture sets ----

TEST(HevcSpsShortTermSets, ExplicitSetsAreReadNearestFirst) {
    HevcSpsFields f;
    HevcStRpsFields s = ExplicitSet({-1, -3, -4}, {2, 7});
    s.used_by_curr_pic_s0_flag = {1, 0, 1};
    s.used_by_curr_pic_s1_flag = {0, 1};
    f.short_term_ref_pic_sets = {s, ExplicitSet({}, {}), ExplicitSet({-32768}, {32768})};
    f.sps_max_dec_pic_buffering_minus1[0] = 5;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    ASSERT_EQ(sps.num_short_term_ref_pic_sets, 3u);
    ASSERT_EQ(sps.ShortTermRefPicSets.size(), 3u);
    ExpectSet(sps.ShortTermRefPicSets[0], {{-1, -3, -4}, {2, 7}, {1, 0, 1}, {0, 1}});
    EXPECT_EQ(sps.ShortTermRefPicSets[1].NumDeltaPocs(), 0u);
    ExpectSet(sps.ShortTermRefPicSets[2], {{-32768}, {32768}, {1}, {1}});
    ExpectVuiPlaces(sps, built, 1);
}

// Worked by hand from 7.4.8. Set 2's flags count on set 1's derived pictures (4, not set 0's 3): a reader
// that counts wrong reads the rest out of step.
TEST(HevcSpsShortTermSets, APredictedSetIsDerivedFromTheOneBefore) {
    HevcSpsFields f;
    f.sps_max_dec_pic_buffering_minus1[0] = 6;
    HevcStRpsFields set0 = ExplicitSet({-1, -3}, {2}); // NumDeltaPocs 3
    HevcStRpsFields set1;
    set1.inter_ref_pic_set_prediction_flag = true;
    set1.delta_rps_sign = 1; // deltaRps -1
    set1.abs_delta_rps_minus1 = 0;
    set1.used_by_curr_pic_flag = {1, 1, 1, 1}; // -2, -4, +1, -1
    HevcStRpsFields set2;
    set2.inter_ref_pic_set_prediction_flag = true;
    set2.delta_rps_sign = 0; // deltaRps +2
    set2.abs_delta_rps_minus1 = 1;
    // Set 1 is -1, -2, -4 | +1: moved by 2 they are +1, 0, -2 | +3, and +2 for set 1's own picture.
    set2.used_by_curr_pic_flag = {1, 0, 0, 1, 0};
    set2.use_delta_flag = {1, 0, 1, 1, 0};
    f.short_term_ref_pic_sets = {set0, set1, set2};
    f.aspect_ratio_idc = 255;
    f.sar_width = 0x1234;
    f.sar_height = 0x0FED;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    ASSERT_EQ(sps.ShortTermRefPicSets.size(), 3u);
    EXPECT_EQ(sps.ShortTermRefPicSets[0].inter_ref_pic_set_prediction_flag, 0);
    EXPECT_EQ(sps.ShortTermRefPicSets[1].inter_ref_pic_set_prediction_flag, 1);
    ExpectSet(sps.ShortTermRefPicSets[1], {{-1, -2, -4}, {1}, {1, 1, 1}, {1}});
    ExpectSet(sps.ShortTermRefPicSets[2], {{-2}, {1, 3}, {0}, {1, 1}});
    ExpectVuiPlaces(sps, built, 255);
    EXPECT_EQ(sps.SarWidth(), 0x1234);
    EXPECT_EQ(sps.SarHeight(), 0x0FED);
}

// Chains of predicted sets with flags drawn at random, each derived by the test on its own.
TEST(HevcSpsShortTermSets, ChainsOfPredictedSetsMatchAnIndependentDerivation) {
    std::mt19937 random(20261209);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        HevcSpsFields f;
        f.sps_max_dec_pic_buffering_minus1[0] = 15;
        std::vector<DerivedSet> expected;
        const int count = 1 + static_cast<int>(random() % 64);
        for (int i = 0; i < count; ++i) {
            const bool predict = i > 0 && random() % 4 != 0;
            if (!predict) {
                std::vector<int32_t> negative, positive;
                const int n = static_cast<int>(random() % 6), p = static_cast<int>(random() % 5);
                int32_t d = 0;
                for (int k = 0; k < n; ++k)
                    negative.push_back(d -= 1 + static_cast<int32_t>(random() % 4));
                d = 0;
                for (int k = 0; k < p; ++k)
                    positive.push_back(d += 1 + static_cast<int32_t>(random() % 4));
                HevcStRpsFields s = ExplicitSet(negative, positive);
                DerivedSet e{negative, positive, {}, {}};
                for (auto &u : s.used_by_curr_pic_s0_flag)
                    e.used0.push_back(u = static_cast<uint8_t>(random() % 2));
                for (auto &u : s.used_by_curr_pic_s1_flag)
                    e.used1.push_back(u = static_cast<uint8_t>(random() % 2));
                f.short_term_ref_pic_sets.push_back(s);
                expected.push_back(e);
                continue;
            }
            const DerivedSet &ref = expected.back();
            const size_t flags = ref.s0.size() + ref.s1.size() + 1;
            HevcStRpsFields s;
            s.inter_ref_pic_set_prediction_flag = true;
            s.delta_rps_sign = static_cast<uint8_t>(random() % 2);
            s.abs_delta_rps_minus1 = random() % 3;
            const int32_t deltaRps =
                (s.delta_rps_sign ? -1 : 1) * static_cast<int32_t>(s.abs_delta_rps_minus1 + 1);
            // Keep the derived set within 16 pictures.
            for (int attempt = 0;; ++attempt) {
                s.used_by_curr_pic_flag.assign(flags, 0);
                s.use_delta_flag.assign(flags, 1);
                for (size_t j = 0; j < flags; ++j) {
                    s.used_by_curr_pic_flag[j] = static_cast<uint8_t>(random() % 3 == 0);
                    s.use_delta_flag[j] = s.used_by_curr_pic_flag[j] ? 1 : static_cast<uint8_t>(random() % 2);
                }
                const DerivedSet d = Derive(ref, deltaRps, s.used_by_curr_pic_flag, s.use_delta_flag);
                if (d.s0.size() + d.s1.size() <= 16) {
                    expected.push_back(d);
                    break;
                }
            }
            f.short_term_ref_pic_sets.push_back(s);
        }
        f.aspect_ratio_idc = static_cast<uint8_t>(1 + round % 16);
        const BuiltHevcSps built = BuildHevcSps(f);
        std::unique_ptr<THevcNalUnit> unit;
        ASSERT_NO_THROW(unit = DecodeBuilt(built));
        const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
        ASSERT_EQ(sps.ShortTermRefPicSets.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            ExpectSet(sps.ShortTermRefPicSets[i], expected[i]);
        }
        ExpectVuiPlaces(sps, built, f.aspect_ratio_idc);
    }
}

TEST(HevcSpsShortTermSets, TooManyPicturesAreDamage) {
    HevcSpsFields f;
    f.sps_max_dec_pic_buffering_minus1[0] = 2;
    f.short_term_ref_pic_sets = {ExplicitSet({-1, -2, -3}, {})};
    EXPECT_NE(DamageOf(f).find("num_negative_pics"), std::string::npos);
    f.short_term_ref_pic_sets = {ExplicitSet({-1, -2}, {1})};
    EXPECT_NE(DamageOf(f).find("num_positive_pics"), std::string::npos);
    f.short_term_ref_pic_sets = {ExplicitSet({-1, -2}, {})};
    EXPECT_EQ(DamageOf(f), "");
    f.short_term_ref_pic_sets = {ExplicitSet({-32769}, {})};
    f.short_term_ref_pic_sets[0].delta_poc_s0_minus1 = {32768};
    EXPECT_NE(DamageOf(f).find("delta_poc_s0_minus1"), std::string::npos);

    // 15 pictures (the most an explicit set may hold here), moved by -1 with the reference picture kept:
    // 16; once more: 17.
    f.sps_max_dec_pic_buffering_minus1[0] = 15;
    std::vector<int32_t> fifteen;
    for (int32_t d = -1; d >= -15; --d)
        fifteen.push_back(d);
    HevcStRpsFields sixteen;
    sixteen.inter_ref_pic_set_prediction_flag = true;
    sixteen.delta_rps_sign = 1;
    sixteen.used_by_curr_pic_flag.assign(16, 1);
    HevcStRpsFields seventeen = sixteen;
    seventeen.used_by_curr_pic_flag.assign(17, 1);
    f.short_term_ref_pic_sets = {ExplicitSet(fifteen, {}), sixteen};
    EXPECT_EQ(DamageOf(f), "");
    f.short_term_ref_pic_sets = {ExplicitSet(fifteen, {}), sixteen, seventeen};
    EXPECT_NE(DamageOf(f).find("NumDeltaPocs"), std::string::npos);
    // One left out: 16.
    f.short_term_ref_pic_sets[2].used_by_curr_pic_flag[16] = 0;
    f.short_term_ref_pic_sets[2].use_delta_flag.assign(17, 1);
    f.short_term_ref_pic_sets[2].use_delta_flag[16] = 0;
    EXPECT_EQ(DamageOf(f), "");
    f.short_term_ref_pic_sets[2].abs_delta_rps_minus1 = 32768;
    EXPECT_NE(DamageOf(f).find("abs_delta_rps_minus1"), std::string::npos);
}

TEST(HevcSpsShortTermSets, SixtyFourSetsAreTheMost) {
    HevcSpsFields f;
    for (int i = 0; i < 64; ++i)
        f.short_term_ref_pic_sets.push_back(ExplicitSet({-1 - i % 3}, {}));
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    EXPECT_EQ(unit->SequenceParameterSet->ShortTermRefPicSets.size(), 64u);
    ExpectVuiPlaces(*unit->SequenceParameterSet, built, 1);
    f.short_term_ref_pic_sets.push_back(ExplicitSet({}, {}));
    EXPECT_NE(DamageOf(f).find("num_short_term_ref_pic_sets"), std::string::npos);
}

// ---- long-term pictures ----

class HevcSpsLongTerm : public ::testing::TestWithParam<uint32_t> {};

TEST_P(HevcSpsLongTerm, PocLsbsTakeLog2MaxPicOrderCntLsbBits) {
    const uint32_t log2Minus4 = GetParam();
    const uint32_t bits = log2Minus4 + 4;
    HevcSpsFields f;
    f.log2_max_pic_order_cnt_lsb_minus4 = log2Minus4;
    f.long_term_ref_pics_present_flag = 1;
    for (uint32_t i = 0; i < 32; ++i) {
        f.lt_ref_pic_poc_lsb_sps.push_back(i % 2 == 0 ? (1u << bits) - 1 : i & ((1u << bits) - 1));
        f.used_by_curr_pic_lt_sps_flag.push_back(static_cast<uint8_t>(i % 3 == 0));
    }
    f.aspect_ratio_idc = 255;
    f.sar_width = 65535;
    f.sar_height = 1;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    EXPECT_EQ(sps.num_long_term_ref_pics_sps, 32u);
    EXPECT_EQ(sps.lt_ref_pic_poc_lsb_sps, f.lt_ref_pic_poc_lsb_sps);
    EXPECT_EQ(sps.used_by_curr_pic_lt_sps_flag, f.used_by_curr_pic_lt_sps_flag);
    ExpectVuiPlaces(sps, built, 255);
    EXPECT_EQ(sps.SarWidth(), 65535);
}

INSTANTIATE_TEST_SUITE_P(PocLsbSizes, HevcSpsLongTerm, ::testing::Values(0u, 1u, 4u, 7u, 12u));

TEST(HevcSps, LongTermPresentWithNoPictures) {
    HevcSpsFields f;
    f.long_term_ref_pics_present_flag = 1;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    EXPECT_EQ(unit->SequenceParameterSet->long_term_ref_pics_present_flag, 1);
    EXPECT_EQ(unit->SequenceParameterSet->num_long_term_ref_pics_sps, 0u);
    ExpectVuiPlaces(*unit->SequenceParameterSet, built, 1);
}

// ---- VUI ----

class HevcSpsVuiCodes : public ::testing::TestWithParam<int> {};

TEST_P(HevcSpsVuiCodes, EveryCodeIsReadWhereItWasWritten) {
    HevcSpsFields f;
    f.aspect_ratio_idc = static_cast<uint8_t>(GetParam());
    f.sar_width = 64;
    f.sar_height = 45;
    f.overscan_info_present_flag = 1;
    f.overscan_appropriate_flag = 1;
    f.video_signal_type_present_flag = 1;
    f.video_format = 2;
    f.video_full_range_flag = 1;
    f.colour_description_present_flag = 1;
    f.colour_primaries = 9;
    f.transfer_characteristics = 16;
    f.matrix_coefficients = 9;
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    ExpectVuiPlaces(sps, built, f.aspect_ratio_idc);
    const TVUIParameters &vui = *sps.VUIParameters;
    EXPECT_EQ(vui.overscan_info_present_flag, 1);
    EXPECT_EQ(vui.overscan_appropriate_flag, 1);
    EXPECT_EQ(vui.video_format, 2);
    EXPECT_EQ(vui.video_full_range_flag, 1);
    EXPECT_EQ(vui.colour_primaries, 9);
    EXPECT_EQ(vui.transfer_characteristics, 16);
    EXPECT_EQ(vui.matrix_coefficients, 9);
    if (f.aspect_ratio_idc == 255) {
        EXPECT_EQ(sps.SarWidth(), 64);
        EXPECT_EQ(sps.SarHeight(), 45);
        EXPECT_TRUE(sps.HasAspectRatioField());
    } else if (f.aspect_ratio_idc == 0) {
        EXPECT_TRUE(sps.HasAspectRatioField()); // Unspecified may be overwritten
    } else if (f.aspect_ratio_idc <= 16) {
        EXPECT_GT(sps.SarWidth(), 0);
        EXPECT_TRUE(sps.HasAspectRatioField());
    } else {
        EXPECT_FALSE(sps.HasAspectRatioField()); // reserved
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, HevcSpsVuiCodes,
                         ::testing::Values(0, 1, 2, 3, 4, 8, 13, 14, 15, 16, 17, 200, 255));

TEST(HevcSpsVui, WithoutRatioOrWithoutVui) {
    HevcSpsFields f;
    f.aspect_ratio_info_present_flag = 0;
    f.overscan_info_present_flag = 1;
    f.overscan_appropriate_flag = 0;
    f.video_signal_type_present_flag = 1;
    f.video_format = 1;
    auto unit = DecodeBuilt(BuildHevcSps(f));
    ASSERT_TRUE(unit->SequenceParameterSet->VUIParameters);
    EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->aspect_ratio_info_present_flag, 0);
    EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->overscan_info_present_flag, 1);
    EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->video_format, 1);
    EXPECT_FALSE(unit->SequenceParameterSet->HasAspectRatioField());
    EXPECT_EQ(unit->SequenceParameterSet->SarWidth(), 0);

    f.vui_parameters_present_flag = 0;
    unit = DecodeBuilt(BuildHevcSps(f));
    EXPECT_FALSE(unit->SequenceParameterSet->VUIParameters);
    EXPECT_FALSE(unit->SequenceParameterSet->HasAspectRatioField());
    EXPECT_EQ(unit->SequenceParameterSet->AspectRatioIdc(), 0);
}

// ---- everything at once ----

HevcSpsFields EverythingAtOnce() {
    HevcSpsFields f;
    f.sps_max_sub_layers_minus1 = 3;
    f.sub_layers[0].profile_present = true;
    f.sub_layers[1].level_present = true;
    f.sub_layers[2].profile_present = f.sub_layers[2].level_present = true;
    f.sps_seq_parameter_set_id = 15;
    f.chroma_format_idc = 2;
    f.conf_win_left_offset = 2;
    f.conf_win_top_offset = 3;
    f.bit_depth_luma_minus8 = 2;
    f.bit_depth_chroma_minus8 = 2;
    f.sps_max_dec_pic_buffering_minus1 = {3, 4, 5, 6, 0, 0, 0};
    f.sps_max_num_reorder_pics = {0, 1, 2, 3, 0, 0, 0};
    f.scaling_list_enabled_flag = 1;
    f.sps_scaling_list_data_present_flag = 1;
    f.scaling_lists.resize(20);
    f.scaling_lists[13].pred_mode_flag = true;
    f.scaling_lists[13].delta_coefs = {5, -5, 100};
    f.scaling_lists[19].pred_mode_flag = true;
    f.pcm_enabled_flag = 1;
    f.amp_enabled_flag = 1;
    f.short_term_ref_pic_sets = {ExplicitSet({-1, -2}, {3})};
    HevcStRpsFields p;
    p.inter_ref_pic_set_prediction_flag = true;
    p.delta_rps_sign = 1;
    p.used_by_curr_pic_flag = {1, 0, 1, 1};
    p.use_delta_flag = {1, 1, 1, 1};
    f.short_term_ref_pic_sets.push_back(p);
    f.long_term_ref_pics_present_flag = 1;
    f.lt_ref_pic_poc_lsb_sps = {0, 255, 17};
    f.used_by_curr_pic_lt_sps_flag = {1, 0, 1};
    f.aspect_ratio_idc = 255;
    f.sar_width = 256; // 01 00 | 00 01: escaped when the terms lie on a byte boundary
    f.sar_height = 1;
    f.overscan_info_present_flag = 1;
    f.video_signal_type_present_flag = 1;
    f.colour_description_present_flag = 1;
    return f;
}

TEST(HevcSps, EverythingAtOnce) {
    const HevcSpsFields f = EverythingAtOnce();
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    EXPECT_EQ(sps.sps_seq_parameter_set_id, 15u);
    EXPECT_EQ(sps.Width(), 1920 - 4);
    EXPECT_EQ(sps.Height(), 1088 - 7);
    EXPECT_EQ(sps.ShortTermRefPicSets.size(), 2u);
    // Set 0: -1, -2 | +3; moved by -1: -2, -3 | +2, and -1 (used 1, 0, 1, 1).
    ExpectSet(sps.ShortTermRefPicSets[1], {{-1, -2, -3}, {2}, {1, 1, 0}, {1}});
    EXPECT_EQ(sps.lt_ref_pic_poc_lsb_sps, f.lt_ref_pic_poc_lsb_sps);
    EXPECT_EQ(sps.SarWidth(), 256);
    EXPECT_EQ(sps.SarHeight(), 1);
    ExpectVuiPlaces(sps, built, 255);
}

// The longest SPS the syntax allows (every count at its most, the longest codes, mostly zero bits that
// need emulation prevention) fits in MaxHevcSpsBytes, so that cutting units there loses nothing.
TEST(HevcSpsRanges, TheLongestSpsFitsInMaxHevcSpsBytes) {
    HevcSpsFields f;
    f.sps_max_sub_layers_minus1 = 6;
    for (auto &s : f.sub_layers) {
        s.profile_present = s.level_present = true;
        s.compatibility_flags = 0;
        s.constraint_flags = 0;
        s.level_idc = 0;
    }
    f.general_profile_compatibility_flags = 0;
    f.general_constraint_flags = 0;
    f.chroma_format_idc = 3;
    f.pic_width_in_luma_samples = 0x7FFFFFF8u;
    f.pic_height_in_luma_samples = 0x7FFFFFF8u;
    f.conf_win_left_offset = f.conf_win_right_offset = 0x3FFFFFFBu;
    f.conf_win_top_offset = f.conf_win_bottom_offset = 0x3FFFFFFBu;
    f.bit_depth_luma_minus8 = f.bit_depth_chroma_minus8 = 8;
    f.log2_max_pic_order_cnt_lsb_minus4 = 12;
    f.sps_max_dec_pic_buffering_minus1.fill(15);
    f.sps_max_num_reorder_pics.fill(15);
    f.sps_max_latency_increase_plus1.fill(0xFFFFFFFEu);
    f.scaling_list_enabled_flag = f.sps_scaling_list_data_present_flag = 1;
    f.scaling_lists.resize(20);
    for (auto &l : f.scaling_lists) {
        l.pred_mode_flag = true;
        l.dc_coef_minus8 = 247;
        for (int i = 0; i < 64; ++i)
            l.delta_coefs.push_back(i % 2 == 0 ? -128 : 127);
    }
    f.pcm_enabled_flag = 1;
    // 64 sets of 15 pictures 2^15 apart (the longest delta codes; a predicted set is shorter).
    std::vector<int32_t> far;
    for (int32_t i = 1; i <= 15; ++i)
        far.push_back(-32768 * i);
    for (int i = 0; i < 64; ++i)
        f.short_term_ref_pic_sets.push_back(ExplicitSet(far, {}));
    f.long_term_ref_pics_present_flag = 1;
    f.lt_ref_pic_poc_lsb_sps.assign(32, 0);
    f.aspect_ratio_idc = 255;
    f.sar_width = f.sar_height = 1;
    f.video_signal_type_present_flag = f.colour_description_present_flag = 1;
    const BuiltHevcSps built = BuildHevcSps(f);
    EXPECT_LE(built.nal.size(), static_cast<size_t>(MaxHevcSpsBytes));
    const auto unit = DecodeBuilt(built);
    EXPECT_EQ(unit->SequenceParameterSet->ShortTermRefPicSets.size(), 64u);
    ExpectVuiPlaces(*unit->SequenceParameterSet, built, 255);
}

// ---- edges and ranges ----

TEST(HevcSpsRanges, ElementsAtTheEdgesOfTheirRangesDecode) {
    HevcSpsFields f;
    f.sps_video_parameter_set_id = 15;
    f.sps_max_sub_layers_minus1 = 6;
    f.sps_seq_parameter_set_id = 15;
    f.chroma_format_idc = 3;
    f.bit_depth_luma_minus8 = 8;
    f.bit_depth_chroma_minus8 = 8;
    f.log2_max_pic_order_cnt_lsb_minus4 = 12;
    f.sps_max_dec_pic_buffering_minus1 = {15, 15, 15, 15, 15, 15, 15};
    f.sps_max_num_reorder_pics = {15, 15, 15, 15, 15, 15, 15};
    f.sps_max_latency_increase_plus1 = {0xFFFFFFFE, 0, 0, 0, 0, 0, 0xFFFFFFFE};
    // 64x64 CTBs of 8x8 coding blocks, transform blocks of 4..32.
    f.log2_diff_max_min_luma_coding_block_size = 3;
    f.log2_min_luma_transform_block_size_minus2 = 0;
    f.log2_diff_max_min_luma_transform_block_size = 3;
    f.max_transform_hierarchy_depth_inter = 4;
    f.max_transform_hierarchy_depth_intra = 4;
    f.conf_win_left_offset = 1910; // leaves 1 sample of 4:4:4
    f.conf_win_right_offset = 9;
    f.conf_win_top_offset = 1087;
    f.conf_win_bottom_offset = 0;
    f.long_term_ref_pics_present_flag = 1;
    f.lt_ref_pic_poc_lsb_sps.assign(32, 0xFFFF);
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto unit = DecodeBuilt(built);
    const THevcSequenceParameterSet &sps = *unit->SequenceParameterSet;
    EXPECT_EQ(sps.sps_video_parameter_set_id, 15);
    EXPECT_EQ(sps.Width(), 1);
    EXPECT_EQ(sps.Height(), 1);
    EXPECT_EQ(sps.sps_max_latency_increase_plus1[6], 0xFFFFFFFEu);
    EXPECT_EQ(sps.lt_ref_pic_poc_lsb_sps, f.lt_ref_pic_poc_lsb_sps);
    ExpectVuiPlaces(sps, built, 1);

    // The smallest picture: one 8x8 coding block.
    HevcSpsFields small;
    small.pic_width_in_luma_samples = 8;
    small.pic_height_in_luma_samples = 8;
    small.conf_win_bottom_offset = 3;
    EXPECT_EQ(DamageOf(small), "");
    // 32x32 minimum coding blocks (log2 5 of 3..6).
    HevcSpsFields large;
    large.log2_min_luma_coding_block_size_minus3 = 2;
    large.log2_diff_max_min_luma_coding_block_size = 1;
    large.log2_min_luma_transform_block_size_minus2 = 2;
    large.log2_diff_max_min_luma_transform_block_size = 1;
    large.max_transform_hierarchy_depth_inter = 2;
    large.max_transform_hierarchy_depth_intra = 0;
    large.pic_height_in_luma_samples = 1088;
    large.conf_win_bottom_offset = 4;
    large.pic_width_in_luma_samples = 1920;
    EXPECT_EQ(DamageOf(large), "");
}

TEST(HevcSpsRanges, AnElementOutsideItsRangeIsNamed) {
    struct Case {
        const char *element;
        std::function<void(HevcSpsFields &)> change;
    };
    const Case cases[] = {
        {"sps_max_sub_layers_minus1", [](HevcSpsFields &f) { f.sps_max_sub_layers_minus1 = 7; }},
        {"sps_seq_parameter_set_id", [](HevcSpsFields &f) { f.sps_seq_parameter_set_id = 16; }},
        {"chroma_format_idc", [](HevcSpsFields &f) { f.chroma_format_idc = 4; }},
        {"bit_depth_luma_minus8", [](HevcSpsFields &f) { f.bit_depth_luma_minus8 = 9; }},
        {"bit_depth_chroma_minus8", [](HevcSpsFields &f) { f.bit_depth_chroma_minus8 = 9; }},
        {"log2_max_pic_order_cnt_lsb_minus4",
         [](HevcSpsFields &f) { f.log2_max_pic_order_cnt_lsb_minus4 = 13; }},
        {"sps_max_dec_pic_buffering_minus1",
         [](HevcSpsFields &f) { f.sps_max_dec_pic_buffering_minus1[0] = 16; }},
        {"sps_max_num_reorder_pics", [](HevcSpsFields &f) { f.sps_max_num_reorder_pics[0] = 5; }},
        {"pic_width_in_luma_samples", [](HevcSpsFields &f) { f.pic_width_in_luma_samples = 0; }},
        {"pic_height_in_luma_samples", [](HevcSpsFields &f) { f.pic_height_in_luma_samples = 0; }},
        {"num_short_term_ref_pic_sets",
         [](HevcSpsFields &f) { f.num_short_term_ref_pic_sets_override = 65; }},
        {"num_long_term_ref_pics_sps",
         [](HevcSpsFields &f) {
             f.long_term_ref_pics_present_flag = 1;
             f.num_long_term_ref_pics_sps_override = 33;
         }},
        {"log2_min_luma_transform_block_size_minus2",
         [](HevcSpsFields &f) { f.log2_min_luma_transform_block_size_minus2 = 1; }},
        {"log2_diff_max_min_luma_transform_block_size",
         [](HevcSpsFields &f) { f.log2_diff_max_min_luma_transform_block_size = 4; }},
        {"log2_diff_max_min_luma_coding_block_size",
         [](HevcSpsFields &f) { f.log2_diff_max_min_luma_coding_block_size = 4; }},
        {"max_transform_hierarchy_depth_intra",
         [](HevcSpsFields &f) { f.max_transform_hierarchy_depth_intra = 5; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.element);
        HevcSpsFields f;
        c.change(f);
        const std::string damage = DamageOf(f);
        EXPECT_NE(damage.find(c.element), std::string::npos) << damage;
        EXPECT_EQ(damage.find("cut short"), std::string::npos) << damage;
    }
}

TEST(HevcSpsRanges, PictureSizesNotInCodingBlocksOrCroppedAwayAreDamage) {
    HevcSpsFields f;
    f.pic_width_in_luma_samples = 1922; // not a multiple of 8
    EXPECT_NE(DamageOf(f), "");
    EXPECT_EQ(DamageOf(f).find("cut short"), std::string::npos);
    f.pic_width_in_luma_samples = 1920;
    f.pic_height_in_luma_samples = 1084;
    EXPECT_NE(DamageOf(f), "");
    f.pic_height_in_luma_samples = 1088;
    f.log2_min_luma_coding_block_size_minus3 = 1; // 16x16: 1080 is no multiple
    f.log2_diff_max_min_luma_coding_block_size = 2;
    f.pic_height_in_luma_samples = 1080;
    f.conf_win_bottom_offset = 0;
    EXPECT_NE(DamageOf(f), "");
    f.pic_height_in_luma_samples = 1088;
    EXPECT_EQ(DamageOf(f), "");

    // 4:2:0: 2 x (480 + 480) = 1920 crops the whole width; 959 leaves 2 samples.
    HevcSpsFields crop;
    crop.conf_win_left_offset = 480;
    crop.conf_win_right_offset = 480;
    EXPECT_NE(DamageOf(crop), "");
    crop.conf_win_right_offset = 479;
    EXPECT_EQ(DamageOf(crop), "");
    crop.conf_win_bottom_offset = 544;
    EXPECT_NE(DamageOf(crop), "");
    // 4:4:4 crops in luma samples: 1919 leaves 1.
    crop.chroma_format_idc = 3;
    crop.conf_win_left_offset = 1919;
    crop.conf_win_right_offset = 0;
    crop.conf_win_bottom_offset = 1087;
    EXPECT_EQ(DamageOf(crop), "");
    crop.conf_win_right_offset = 1;
    EXPECT_NE(DamageOf(crop), "");
    // Offsets whose sum overflows 32 bits are no way around the check.
    crop.conf_win_left_offset = 0x80000000u - 1;
    crop.conf_win_right_offset = 0x80000000u - 1;
    crop.conf_win_bottom_offset = 0;
    EXPECT_NE(DamageOf(crop), "");
}

// ---- the NAL unit header ----

TEST(HevcNalHeader, ForbiddenBitAndTemporalIdZeroAreDamage) {
    std::vector<uint8_t> nal = BuildHevcSps({}).nal;
    nal[0] |= 0x80;
    EXPECT_THROW(DecodeHevcNalUnit(nal, true), Exception);
    HevcSpsFields f;
    f.nuh_temporal_id_plus1 = 0;
    EXPECT_NE(DamageOf(f).find("nuh_temporal_id_plus1"), std::string::npos);
}

TEST(HevcNalHeader, AnSpsOfAnUpperLayerIsNotRead) {
    for (uint8_t layer : {1, 7, 8, 31, 32, 62}) {
        SCOPED_TRACE(static_cast<int>(layer));
        HevcSpsFields f;
        f.nuh_layer_id = layer;
        const BuiltHevcSps built = BuildHevcSps(f);
        EXPECT_EQ(HevcLayerIdOf(built.nal[0], built.nal[1]), layer);
        const auto unit = DecodeBuilt(built);
        EXPECT_EQ(unit->nal_unit_type, 33);
        EXPECT_EQ(unit->nuh_layer_id, layer);
        EXPECT_FALSE(unit->SequenceParameterSet);
        // Not even a damaged upper-layer SPS is read.
        f.sps_seq_parameter_set_id = 1000;
        EXPECT_FALSE(DecodeBuilt(BuildHevcSps(f))->SequenceParameterSet);
    }
}

TEST(HevcNalHeader, OtherUnitsReadOnlyTheirHeader) {
    const std::vector<uint8_t> vps{0x40, 0x01, 0x0C, 0x01};
    const auto unit = DecodeHevcNalUnit(vps, true);
    EXPECT_EQ(unit->nal_unit_type, 32);
    EXPECT_FALSE(unit->SequenceParameterSet);
    EXPECT_THROW(DecodeHevcNalUnit({0x42}, true), EInOutError);
    EXPECT_THROW(DecodeHevcNalUnit({}, true), EInOutError);
    EXPECT_EQ(HevcNalUnitTypeOf(0x42), HevcNalTypeSps);
    EXPECT_EQ(HevcNalUnitTypeOf(0x46), HevcNalTypeAccessUnitDelimiter);
}

// ---- cut units ----

// Every prefix of a unit: cut before the last bit the reader needs, it raises EInOutError (nothing else,
// since every element is in range); cut after, it reads the same as the whole unit.
void ExpectEveryCutIsEndOfData(const HevcSpsFields &f) {
    const BuiltHevcSps built = BuildHevcSps(f);
    const auto whole = DecodeBuilt(built);
    const size_t needed = built.BytesFor(built.decodedBits);
    ASSERT_LE(needed, built.nal.size());
    for (size_t size = 0; size < built.nal.size(); ++size) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> cut(built.nal.begin(), built.nal.begin() + static_cast<ptrdiff_t>(size));
        if (size < needed) {
            EXPECT_THROW(DecodeHevcNalUnit(cut, false), EInOutError);
            continue;
        }
        std::unique_ptr<THevcNalUnit> unit;
        ASSERT_NO_THROW(unit = DecodeHevcNalUnit(cut, false));
        EXPECT_FALSE(unit->Complete);
        ASSERT_TRUE(unit->SequenceParameterSet);
        EXPECT_EQ(unit->SequenceParameterSet->AspectRatioIdc(),
                  whole->SequenceParameterSet->AspectRatioIdc());
        EXPECT_EQ(unit->SequenceParameterSet->SarWidth(), whole->SequenceParameterSet->SarWidth());
        if (whole->SequenceParameterSet->VUIParameters) {
            EXPECT_EQ(unit->SequenceParameterSet->VUIParameters->AspectRatioIdcPosition,
                      whole->SequenceParameterSet->VUIParameters->AspectRatioIdcPosition);
        }
    }
}

TEST(HevcSpsCut, EveryCutOfTheDefaultSps) {
    ExpectEveryCutIsEndOfData({});
}

TEST(HevcSpsCut, EveryCutOfAnSpsWithEverything) {
    ExpectEveryCutIsEndOfData(EverythingAtOnce());
}

TEST(HevcSpsCut, EveryCutOfAnSpsWithoutVui) {
    HevcSpsFields f;
    f.vui_parameters_present_flag = 0;
    f.sps_max_sub_layers_minus1 = 6;
    for (auto &s : f.sub_layers)
        s.profile_present = s.level_present = true;
    ExpectEveryCutIsEndOfData(f);
}

// Cuts of damaged or random units never crash: the reader raises Exception or reads.
TEST(HevcSpsCut, CutsOfDamagedUnitsRaiseExceptionOrRead) {
    std::mt19937 random(7);
    std::vector<uint8_t> nal = BuildHevcSps(EverythingAtOnce()).nal;
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> bytes = nal;
        for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips)
            bytes[2 + random() % (bytes.size() - 2)] ^= static_cast<uint8_t>(1u << (random() % 8));
        bytes.resize(random() % (bytes.size() + 1));
        try {
            DecodeHevcNalUnit(bytes, false);
        } catch (const Exception &) {
        }
    }
}
