#pragma once

// Test-only writer of HEVC sequence parameter sets (ITU-T H.265 7.3.2.2) from a description of every
// element, escaped as an encoder escapes them, and of hvcC records (ISO/IEC 14496-15 8.3.3.1) around
// given NAL units. The builder writes what it is told, in range or not, and records where it wrote the
// VUI's aspect_ratio_idc, so that tests can check the reader's positions against it.

#include "BitWriter.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// One sub-layer of profile_tier_level: whether it states its own profile (88 bits) and level (8 bits).
struct HevcSubLayerFields {
    bool profile_present = false;
    bool level_present = false;
    uint8_t profile_space = 0;
    uint8_t tier_flag = 0;
    uint8_t profile_idc = 1;
    uint32_t compatibility_flags = 0x60000000;
    uint64_t constraint_flags = 0x900000000000; // 48 bits: progressive .. inbld
    uint8_t level_idc = 90;
};

// One list of scaling_list_data: a copy (pred_mode 0) of the matrix pred_matrix_id_delta before it (0:
// the default list), or coded coefficients (with a DC coefficient for the 16x16 and 32x32 sizes).
struct HevcScalingListFields {
    bool pred_mode_flag = false;
    uint32_t pred_matrix_id_delta = 0;
    int32_t dc_coef_minus8 = 8;
    // When pred_mode_flag: the scaling_list_delta_coef values; fewer than coefNum are padded with 0.
    std::vector<int32_t> delta_coefs;
};

// st_ref_pic_set(i) as an SPS holds it.
struct HevcStRpsFields {
    bool inter_ref_pic_set_prediction_flag = false;
    // Coded on its own: delta_poc_s0_minus1/used_by_curr_pic_s0_flag per negative picture, the same for
    // the positive ones.
    std::vector<uint32_t> delta_poc_s0_minus1;
    std::vector<uint8_t> used_by_curr_pic_s0_flag;
    std::vector<uint32_t> delta_poc_s1_minus1;
    std::vector<uint8_t> used_by_curr_pic_s1_flag;
    // Predicted from the set before: the sign and size of deltaRps, then for every j in
    // 0..NumDeltaPocs[ref] used_by_curr_pic_flag and, where that is 0, use_delta_flag.
    uint8_t delta_rps_sign = 0;
    uint32_t abs_delta_rps_minus1 = 0;
    std::vector<uint8_t> used_by_curr_pic_flag;
    std::vector<uint8_t> use_delta_flag; // read only where used_by_curr_pic_flag[j] is 0
};

// Every element of an SPS up to the end of the VUI's video signal type. The defaults give a 1920x1080
// 4:2:0 Main profile SPS as x265 writes it (its PTL holds 00 00 03 twice), with a VUI stating 1:1.
struct HevcSpsFields : VuiStartFields {
    // NAL unit header.
    uint8_t nal_unit_type = 33;
    uint8_t nuh_layer_id = 0;
    uint8_t nuh_temporal_id_plus1 = 1;

    uint8_t sps_video_parameter_set_id = 0;
    uint8_t sps_max_sub_layers_minus1 = 0;
    uint8_t sps_temporal_id_nesting_flag = 1;
    // profile_tier_level(1, sps_max_sub_layers_minus1)
    uint8_t general_profile_space = 0;
    uint8_t general_tier_flag = 0;
    uint8_t general_profile_idc = 1;
    uint32_t general_profile_compatibility_flags = 0x60000000;
    uint64_t general_constraint_flags = 0x900000000000; // 48 bits: progressive .. inbld
    uint8_t general_level_idc = 120;
    std::array<HevcSubLayerFields, 6> sub_layers{};
    uint8_t reserved_zero_2bits = 0; // written for every i in maxNumSubLayersMinus1..7

    uint32_t sps_seq_parameter_set_id = 0;
    uint32_t chroma_format_idc = 1;
    uint8_t separate_colour_plane_flag = 0;
    uint32_t pic_width_in_luma_samples = 1920;
    uint32_t pic_height_in_luma_samples = 1088;
    uint8_t conformance_window_flag = 1;
    uint32_t conf_win_left_offset = 0, conf_win_right_offset = 0;
    uint32_t conf_win_top_offset = 0, conf_win_bottom_offset = 4;
    uint32_t bit_depth_luma_minus8 = 0;
    uint32_t bit_depth_chroma_minus8 = 0;
    uint32_t log2_max_pic_order_cnt_lsb_minus4 = 4;
    uint8_t sps_sub_layer_ordering_info_present_flag = 1;
    // Indexed by sub-layer; only the ones the flag says are written.
    std::array<uint32_t, 7> sps_max_dec_pic_buffering_minus1{4, 4, 4, 4, 4, 4, 4};
    std::array<uint32_t, 7> sps_max_num_reorder_pics{2, 2, 2, 2, 2, 2, 2};
    std::array<uint32_t, 7> sps_max_latency_increase_plus1{0, 0, 0, 0, 0, 0, 0};
    uint32_t log2_min_luma_coding_block_size_minus3 = 0;
    uint32_t log2_diff_max_min_luma_coding_block_size = 3;
    uint32_t log2_min_luma_transform_block_size_minus2 = 0;
    uint32_t log2_diff_max_min_luma_transform_block_size = 3;
    uint32_t max_transform_hierarchy_depth_inter = 4;
    uint32_t max_transform_hierarchy_depth_intra = 4;
    uint8_t scaling_list_enabled_flag = 0;
    uint8_t sps_scaling_list_data_present_flag = 0;
    // The 20 lists in order (sizeId 0..2 six each, sizeId 3 matrices 0 and 3); missing ones are written
    // as copies of the default list.
    std::vector<HevcScalingListFields> scaling_lists;
    uint8_t amp_enabled_flag = 0;
    uint8_t sample_adaptive_offset_enabled_flag = 1;
    uint8_t pcm_enabled_flag = 0;
    uint8_t pcm_sample_bit_depth_luma_minus1 = 7;
    uint8_t pcm_sample_bit_depth_chroma_minus1 = 7;
    uint32_t log2_min_pcm_luma_coding_block_size_minus3 = 0;
    uint32_t log2_diff_max_min_pcm_luma_coding_block_size = 2;
    uint8_t pcm_loop_filter_disabled_flag = 0;
    // num_short_term_ref_pic_sets is the number of sets unless overridden (>= 0).
    std::vector<HevcStRpsFields> short_term_ref_pic_sets;
    int64_t num_short_term_ref_pic_sets_override = -1;
    uint8_t long_term_ref_pics_present_flag = 0;
    // num_long_term_ref_pics_sps is the number of entries unless overridden (>= 0).
    std::vector<uint32_t> lt_ref_pic_poc_lsb_sps;
    std::vector<uint8_t> used_by_curr_pic_lt_sps_flag;
    int64_t num_long_term_ref_pics_sps_override = -1;
    uint8_t sps_temporal_mvp_enabled_flag = 1;
    uint8_t strong_intra_smoothing_enabled_flag = 1;

    uint8_t vui_parameters_present_flag = 1;
    // The rest of the VUI (all flags 0), sps_extension_present_flag 0 and rbsp_trailing_bits.
    bool trailing = true;
};

// One SPS NAL unit without start code, escaped. Bit counts are of the unescaped unit from the first
// header bit; byte places are in nal.
struct BuiltHevcSps {
    std::vector<uint8_t> nal;
    std::vector<uint8_t> rbsp;    // the unit before escaping (header included)
    std::vector<size_t> indexMap; // for every byte of rbsp, its index in nal
    size_t vuiBits = 0;           // bits before the VUI (aspect_ratio_info_present_flag)
    size_t idcBits = 0;           // bits before aspect_ratio_idc (when present)
    size_t decodedBits = 0;       // bits up to where the reader stops (the end of the video signal type)

    // The byte of nal that holds bit `bits` of the unescaped unit, and the bit in it.
    size_t ByteOf(size_t bits) const { return indexMap.at(bits / 8); }
    // How many bytes of nal a reader needs to read the first `bits` bits.
    size_t BytesFor(size_t bits) const { return bits == 0 ? 0 : indexMap.at((bits - 1) / 8) + 1; }
    size_t IdcByte() const { return ByteOf(idcBits); }
    uint8_t IdcBit() const { return static_cast<uint8_t>(idcBits % 8); }
};

BuiltHevcSps BuildHevcSps(const HevcSpsFields &fields);

// The unescaped bytes of an escaped NAL unit (every 03 after 00 00 taken out).
std::vector<uint8_t> UnescapeHevc(const std::vector<uint8_t> &nal);

// An hvcC record: the 23-byte head (profile, level, lengthSizeMinusOne ...) and one array per entry, its
// units behind 16-bit lengths. offsets, when given, receives the offset of every unit's first byte, in
// order.
struct HvccArray {
    uint8_t nal_unit_type = 33;
    bool array_completeness = true;
    std::vector<std::vector<uint8_t>> units;
};
std::vector<uint8_t> BuildHvcc(const std::vector<HvccArray> &arrays, uint8_t lengthSizeMinusOne = 3,
                               std::vector<size_t> *offsets = nullptr);
