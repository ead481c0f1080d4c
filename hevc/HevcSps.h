#pragma once

// The HEVC sequence parameter set (ITU-T H.265 7.3.2.2) read up to the aspect-ratio part of its VUI, and
// the two-byte NAL unit header in front of it. Every element is read with the range the standard gives
// it: an SPS that breaks one is damaged, and Parse raises Exception naming the element. The VUI begins as
// H.264's does (Annex E of both standards), so it is read by the same class.

#include "h264/uH264.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class TFastBitstream;

// profile_tier_level(1, maxNumSubLayersMinus1): the general profile and level, and which sub-layers state
// their own.
struct THevcProfileTierLevel {
    uint8_t general_profile_space = 0;
    uint8_t general_tier_flag = 0;
    uint8_t general_profile_idc = 0;
    uint32_t general_profile_compatibility_flags = 0;
    uint8_t general_level_idc = 0;
    std::array<uint8_t, 7> sub_layer_profile_present_flag{};
    std::array<uint8_t, 7> sub_layer_level_present_flag{};
    std::array<uint8_t, 7> sub_layer_level_idc{};

    void Parse(TFastBitstream &reader, uint32_t maxNumSubLayersMinus1);
};

// One short-term reference picture set, as derived (7.4.8): the POC distances of the pictures before and
// after the current one, nearest first. A set predicted from the one before it (inter RPS) is derived from
// that set, so each set is read with the sets before it at hand.
struct THevcShortTermRefPicSet {
    // At most 16 pictures in a set (MaxDpbSize).
    static constexpr uint32_t MaxPictures = 16;

    uint8_t inter_ref_pic_set_prediction_flag = 0;
    std::vector<int32_t> DeltaPocS0;
    std::vector<int32_t> DeltaPocS1;
    std::vector<uint8_t> UsedByCurrPicS0;
    std::vector<uint8_t> UsedByCurrPicS1;

    uint32_t NumNegativePics() const { return static_cast<uint32_t>(DeltaPocS0.size()); }
    uint32_t NumPositivePics() const { return static_cast<uint32_t>(DeltaPocS1.size()); }
    uint32_t NumDeltaPocs() const { return NumNegativePics() + NumPositivePics(); }

    // st_ref_pic_set(index) of an SPS: sets holds the sets 0..index-1 already read; maxPictures is
    // sps_max_dec_pic_buffering_minus1 of the highest sub-layer.
    void Parse(TFastBitstream &reader, const std::vector<THevcShortTermRefPicSet> &sets,
               uint32_t maxPictures);
};

class THevcSequenceParameterSet : public TRSBP {
public:
    bool Parse(TFastBitstream &reader) override;

    // The VUI's aspect ratio, as for H.264.
    uint8_t AspectRatioIdc() const;
    int32_t SarWidth() const;
    int32_t SarHeight() const;
    // Whether the VUI holds an aspect_ratio_idc a change can overwrite in place (a ratio or Unspecified).
    bool HasAspectRatioField() const;
    int32_t ChromaArrayType() const;
    int32_t SubWidthC() const;
    int32_t SubHeightC() const;
    // The picture size in luma samples, after the conformance window.
    int32_t Width() const;
    int32_t Height() const;

    uint8_t sps_video_parameter_set_id = 0;
    uint8_t sps_max_sub_layers_minus1 = 0;
    uint8_t sps_temporal_id_nesting_flag = 0;
    THevcProfileTierLevel ProfileTierLevel;
    uint32_t sps_seq_parameter_set_id = 0;
    uint32_t chroma_format_idc = 0;
    uint8_t separate_colour_plane_flag = 0;
    uint32_t pic_width_in_luma_samples = 0;
    uint32_t pic_height_in_luma_samples = 0;
    uint8_t conformance_window_flag = 0;
    uint32_t conf_win_left_offset = 0;
    uint32_t conf_win_right_offset = 0;
    uint32_t conf_win_top_offset = 0;
    uint32_t conf_win_bottom_offset = 0;
    uint32_t bit_depth_luma_minus8 = 0;
    uint32_t bit_depth_chroma_minus8 = 0;
    uint32_t log2_max_pic_order_cnt_lsb_minus4 = 0;
    uint8_t sps_sub_layer_ordering_info_present_flag = 0;
    std::array<uint32_t, 7> sps_max_dec_pic_buffering_minus1{};
    std::array<uint32_t, 7> sps_max_num_reorder_pics{};
    std::array<uint32_t, 7> sps_max_latency_increase_plus1{};
    uint32_t log2_min_luma_coding_block_size_minus3 = 0;
    uint32_t log2_diff_max_min_luma_coding_block_size = 0;
    uint32_t log2_min_luma_transform_block_size_minus2 = 0;
    uint32_t log2_diff_max_min_luma_transform_block_size = 0;
    uint32_t max_transform_hierarchy_depth_inter = 0;
    uint32_t max_transform_hierarchy_depth_intra = 0;
    uint8_t scaling_list_enabled_flag = 0;
    uint8_t sps_scaling_list_data_present_flag = 0;
    uint8_t amp_enabled_flag = 0;
    uint8_t sample_adaptive_offset_enabled_flag = 0;
    uint8_t pcm_enabled_flag = 0;
    uint8_t pcm_sample_bit_depth_luma_minus1 = 0;
    uint8_t pcm_sample_bit_depth_chroma_minus1 = 0;
    uint32_t log2_min_pcm_luma_coding_block_size_minus3 = 0;
    uint32_t log2_diff_max_min_pcm_luma_coding_block_size = 0;
    uint8_t pcm_loop_filter_disabled_flag = 0;
    uint32_t num_short_term_ref_pic_sets = 0;
    std::vector<THevcShortTermRefPicSet> ShortTermRefPicSets;
    uint8_t long_term_ref_pics_present_flag = 0;
    uint32_t num_long_term_ref_pics_sps = 0;
    std::vector<uint32_t> lt_ref_pic_poc_lsb_sps;
    std::vector<uint8_t> used_by_curr_pic_lt_sps_flag;
    uint8_t sps_temporal_mvp_enabled_flag = 0;
    uint8_t strong_intra_smoothing_enabled_flag = 0;
    uint8_t vui_parameters_present_flag = 0;
    std::unique_ptr<TVUIParameters> VUIParameters;

private:
    void ParseScalingListData(TFastBitstream &reader);
    void CheckSizes() const;
};

// The NAL unit header (7.3.1.2). Owns the SPS of a unit of type 33 in the base layer.
class THevcNalUnit {
public:
    // The unit's bytes as they lie in the file (header first, emulation-prevention bytes kept); positions
    // of the SPS and its VUI count from the first header byte. Complete is false when the bytes are only the
    // start of a longer unit.
    std::vector<uint8_t> Bytes;
    bool Complete = true;

    uint8_t nal_unit_type = 0;
    uint8_t nuh_layer_id = 0;
    uint8_t nuh_temporal_id_plus1 = 0;
    std::unique_ptr<THevcSequenceParameterSet> SequenceParameterSet;
};

constexpr uint8_t HevcNalTypeVps = 32;
constexpr uint8_t HevcNalTypeSps = 33;
constexpr uint8_t HevcNalTypeAccessUnitDelimiter = 35;
constexpr uint8_t HevcNalUnitTypeOf(uint8_t firstHeaderByte) {
    return (firstHeaderByte >> 1) & 0x3F;
}
// nuh_layer_id from the two header bytes.
constexpr uint8_t HevcLayerIdOf(uint8_t first, uint8_t second) {
    return static_cast<uint8_t>(((first & 1) << 5) | (second >> 3));
}

// Reading an SPS never needs more than this many bytes of its unit: 64 short-term sets of 16 pictures with
// the longest delta codes, 32 long-term pictures and full scaling lists take about 10 KiB, emulation
// prevention included. Longer SPS units are cut here.
constexpr int64_t MaxHevcSpsBytes = 16384;

// Decodes a NAL unit from its bytes, reading nothing outside them; its SPS is read when it is one of the
// base layer (nuh_layer_id 0). Raises EInOutError when the bytes end before the syntax does, Exception for
// a damaged header or SPS.
std::unique_ptr<THevcNalUnit> DecodeHevcNalUnit(std::vector<uint8_t> bytes, bool complete);
