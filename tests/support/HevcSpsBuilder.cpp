#include "HevcSpsBuilder.h"

#include "BitWriter.h"

#include <algorithm>

namespace {

// The 88 bits of a layer's profile: space, tier, profile_idc, compatibility flags, 48 constraint bits.
void WriteProfile(BitWriter &w, uint8_t space, uint8_t tier, uint8_t idc, uint32_t compatibility,
                  uint64_t constraints) {
    w.Bits(space, 2);
    w.Bits(tier, 1);
    w.Bits(idc, 5);
    w.Bits(compatibility, 32);
    w.Bits(constraints, 48);
}

void WriteScalingListData(BitWriter &w, const std::vector<HevcScalingListFields> &lists) {
    size_t list = 0;
    for (uint32_t sizeId = 0; sizeId < 4; ++sizeId)
        for (uint32_t matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1, ++list) {
            const HevcScalingListFields none;
            const HevcScalingListFields &l = list < lists.size() ? lists[list] : none;
            w.Bit(l.pred_mode_flag);
            if (!l.pred_mode_flag) {
                w.UE(l.pred_matrix_id_delta);
                continue;
            }
            const size_t coefNum = std::min<size_t>(64, size_t{1} << (4 + (sizeId << 1)));
            if (sizeId > 1)
                w.SE(l.dc_coef_minus8);
            for (size_t i = 0; i < coefNum; ++i)
                w.SE(i < l.delta_coefs.size() ? l.delta_coefs[i] : 0);
        }
}

void WriteStRps(BitWriter &w, const HevcStRpsFields &s, size_t index) {
    if (index != 0)
        w.Bit(s.inter_ref_pic_set_prediction_flag);
    if (index != 0 && s.inter_ref_pic_set_prediction_flag) {
        w.Bit(s.delta_rps_sign);
        w.UE(s.abs_delta_rps_minus1);
        for (size_t j = 0; j < s.used_by_curr_pic_flag.size(); ++j) {
            w.Bit(s.used_by_curr_pic_flag[j]);
            if (!s.used_by_curr_pic_flag[j])
                w.Bit(j < s.use_delta_flag.size() ? s.use_delta_flag[j] : 1);
        }
        return;
    }
    w.UE(static_cast<uint32_t>(s.delta_poc_s0_minus1.size()));
    w.UE(static_cast<uint32_t>(s.delta_poc_s1_minus1.size()));
    for (size_t i = 0; i < s.delta_poc_s0_minus1.size(); ++i) {
        w.UE(s.delta_poc_s0_minus1[i]);
        w.Bit(i < s.used_by_curr_pic_s0_flag.size() ? s.used_by_curr_pic_s0_flag[i] : 1);
    }
    for (size_t i = 0; i < s.delta_poc_s1_minus1.size(); ++i) {
        w.UE(s.delta_poc_s1_minus1[i]);
        w.Bit(i < s.used_by_curr_pic_s1_flag.size() ? s.used_by_curr_pic_s1_flag[i] : 1);
    }
}

} // namespace

BuiltHevcSps BuildHevcSps(const HevcSpsFields &f) {
    BuiltHevcSps built;
    BitWriter w;
    // nal_unit_header(): forbidden_zero_bit, nal_unit_type, nuh_layer_id, nuh_temporal_id_plus1.
    w.Bit(false);
    w.Bits(f.nal_unit_type, 6);
    w.Bits(f.nuh_layer_id, 6);
    w.Bits(f.nuh_temporal_id_plus1, 3);

    w.Bits(f.sps_video_parameter_set_id, 4);
    w.Bits(f.sps_max_sub_layers_minus1, 3);
    w.Bits(f.sps_temporal_id_nesting_flag, 1);
    // profile_tier_level(1, sps_max_sub_layers_minus1)
    WriteProfile(w, f.general_profile_space, f.general_tier_flag, f.general_profile_idc,
                 f.general_profile_compatibility_flags, f.general_constraint_flags);
    w.Bits(f.general_level_idc, 8);
    const uint32_t subLayers = std::min<uint32_t>(f.sps_max_sub_layers_minus1, 6);
    for (uint32_t i = 0; i < subLayers; ++i) {
        w.Bit(f.sub_layers[i].profile_present);
        w.Bit(f.sub_layers[i].level_present);
    }
    if (f.sps_max_sub_layers_minus1 > 0)
        for (uint32_t i = f.sps_max_sub_layers_minus1; i < 8; ++i)
            w.Bits(f.reserved_zero_2bits, 2);
    for (uint32_t i = 0; i < subLayers; ++i) {
        const HevcSubLayerFields &s = f.sub_layers[i];
        if (s.profile_present)
            WriteProfile(w, s.profile_space, s.tier_flag, s.profile_idc, s.compatibility_flags,
                         s.constraint_flags);
        if (s.level_present)
            w.Bits(s.level_idc, 8);
    }

    w.UE(f.sps_seq_parameter_set_id);
    w.UE(f.chroma_format_idc);
    if (f.chroma_format_idc == 3)
        w.Bit(f.separate_colour_plane_flag);
    w.UE(f.pic_width_in_luma_samples);
    w.UE(f.pic_height_in_luma_samples);
    w.Bit(f.conformance_window_flag);
    if (f.conformance_window_flag) {
        w.UE(f.conf_win_left_offset);
        w.UE(f.conf_win_right_offset);
        w.UE(f.conf_win_top_offset);
        w.UE(f.conf_win_bottom_offset);
    }
    w.UE(f.bit_depth_luma_minus8);
    w.UE(f.bit_depth_chroma_minus8);
    w.UE(f.log2_max_pic_order_cnt_lsb_minus4);
    w.Bit(f.sps_sub_layer_ordering_info_present_flag);
    for (uint32_t i = f.sps_sub_layer_ordering_info_present_flag ? 0 : subLayers; i <= subLayers; ++i) {
        w.UE(f.sps_max_dec_pic_buffering_minus1[i]);
        w.UE(f.sps_max_num_reorder_pics[i]);
        w.UE(f.sps_max_latency_increase_plus1[i]);
    }
    w.UE(f.log2_min_luma_coding_block_size_minus3);
    w.UE(f.log2_diff_max_min_luma_coding_block_size);
    w.UE(f.log2_min_luma_transform_block_size_minus2);
    w.UE(f.log2_diff_max_min_luma_transform_block_size);
    w.UE(f.max_transform_hierarchy_depth_inter);
    w.UE(f.max_transform_hierarchy_depth_intra);
    w.Bit(f.scaling_list_enabled_flag);
    if (f.scaling_list_enabled_flag) {
        w.Bit(f.sps_scaling_list_data_present_flag);
        if (f.sps_scaling_list_data_present_flag)
            WriteScalingListData(w, f.scaling_lists);
    }
    w.Bit(f.amp_enabled_flag);
    w.Bit(f.sample_adaptive_offset_enabled_flag);
    w.Bit(f.pcm_enabled_flag);
    if (f.pcm_enabled_flag) {
        w.Bits(f.pcm_sample_bit_depth_luma_minus1, 4);
        w.Bits(f.pcm_sample_bit_depth_chroma_minus1, 4);
        w.UE(f.log2_min_pcm_luma_coding_block_size_minus3);
        w.UE(f.log2_diff_max_min_pcm_luma_coding_block_size);
        w.Bit(f.pcm_loop_filter_disabled_flag);
    }
    w.UE(f.num_short_term_ref_pic_sets_override >= 0
             ? static_cast<uint32_t>(f.num_short_term_ref_pic_sets_override)
             : static_cast<uint32_t>(f.short_term_ref_pic_sets.size()));
    for (size_t i = 0; i < f.short_term_ref_pic_sets.size(); ++i)
        WriteStRps(w, f.short_term_ref_pic_sets[i], i);
    w.Bit(f.long_term_ref_pics_present_flag);
    if (f.long_term_ref_pics_present_flag) {
        w.UE(f.num_long_term_ref_pics_sps_override >= 0
                 ? static_cast<uint32_t>(f.num_long_term_ref_pics_sps_override)
                 : static_cast<uint32_t>(f.lt_ref_pic_poc_lsb_sps.size()));
        for (size_t i = 0; i < f.lt_ref_pic_poc_lsb_sps.size(); ++i) {
            w.Bits(f.lt_ref_pic_poc_lsb_sps[i], static_cast<int>(f.log2_max_pic_order_cnt_lsb_minus4 + 4));
            w.Bit(i < f.used_by_curr_pic_lt_sps_flag.size() ? f.used_by_curr_pic_lt_sps_flag[i] : 0);
        }
    }
    w.Bit(f.sps_temporal_mvp_enabled_flag);
    w.Bit(f.strong_intra_smoothing_enabled_flag);
    w.Bit(f.vui_parameters_present_flag);
    if (f.vui_parameters_present_flag) {
        built.vuiBits = w.BitCount();
        const size_t idcBits = WriteVuiStart(w, f);
        if (f.aspect_ratio_info_present_flag)
            built.idcBits = idcBits;
    }
    built.decodedBits = w.BitCount();
    if (f.trailing) {
        if (f.vui_parameters_present_flag) {
            // chroma_loc_info_present_flag, neutral_chroma_indication_flag, field_seq_flag,
            // frame_field_info_present_flag, default_display_window_flag, vui_timing_info_present_flag,
            // bitstream_restriction_flag.
            w.Bits(0, 7);
        }
        w.Bit(false); // sps_extension_present_flag
        w.Trailing();
    }
    built.rbsp = w.Bytes();
    built.nal = EscapeRbsp(built.rbsp, &built.indexMap);
    return built;
}

std::vector<uint8_t> UnescapeHevc(const std::vector<uint8_t> &nal) {
    std::vector<uint8_t> out;
    int zeros = 0;
    for (uint8_t byte : nal) {
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        out.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
}

std::vector<uint8_t> BuildHvcc(const std::vector<HvccArray> &arrays, uint8_t lengthSizeMinusOne,
                               std::vector<size_t> *offsets) {
    std::vector<uint8_t> r{
        0x01, // configurationVersion
        0x01, // general_profile_space, tier, profile_idc (Main)
        0x60,
        0x00,
        0x00,
        0x00, // general_profile_compatibility_flags
        0x90,
        0x00,
        0x00,
        0x00,
        0x00,
        0x00, // general_constraint_indicator_flags
        0x5D, // general_level_idc
        0xF0,
        0x00, // reserved, min_spatial_segmentation_idc
        0xFC, // reserved, parallelismType
        0xFD, // reserved, chromaFormat (1)
        0xF8, // reserved, bitDepthLumaMinus8
        0xF8, // reserved, bitDepthChromaMinus8
        0x00,
        0x00,                                                  // avgFrameRate
        static_cast<uint8_t>(0x0C | (lengthSizeMinusOne & 3)), // constantFrameRate, numTemporalLayers (1),
                                                               // temporalIdNested, lengthSizeMinusOne
        static_cast<uint8_t>(arrays.size()),
    };
    if (offsets)
        offsets->clear();
    for (const HvccArray &a : arrays) {
        r.push_back(static_cast<uint8_t>((a.array_completeness ? 0x80 : 0) | (a.nal_unit_type & 0x3F)));
        r.push_back(static_cast<uint8_t>(a.units.size() >> 8));
        r.push_back(static_cast<uint8_t>(a.units.size()));
        for (const auto &unit : a.units) {
            r.push_back(static_cast<uint8_t>(unit.size() >> 8));
            r.push_back(static_cast<uint8_t>(unit.size()));
            if (offsets)
                offsets->push_back(r.size());
            r.insert(r.end(), unit.begin(), unit.end());
        }
    }
    return r;
}
