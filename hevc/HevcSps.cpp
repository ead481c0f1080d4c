#include "HevcSps.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/SyntaxElements.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>
#include <climits>

namespace {

// Picture sizes in samples stay below 2^31, so that every size and product of this program fits.
constexpr uint32_t MaxPictureSamples = INT32_MAX;
// POC distances of a short-term set are 1..2^15 apart (delta_poc_s0_minus1, abs_delta_rps_minus1).
constexpr uint32_t MaxPocStep = 1u << 15;

// The profile, tier and level of a layer or sub-layer: 88 bits of profile, then level_idc.
void SkipSubLayerProfile(TFastBitstream &reader) {
    reader.ReadBits(8);  // sub_layer_profile_space, sub_layer_tier_flag, sub_layer_profile_idc
    reader.ReadBits(32); // sub_layer_profile_compatibility_flag[32]
    reader.ReadBits(4);  // progressive, interlaced, non_packed_constraint and frame_only_constraint flags
    reader.ReadBits(32); // the 43 bits of constraint flags and reserved bits ...
    reader.ReadBits(11);
    reader.ReadBits(1); // ... and sub_layer_inbld_flag or its reserved bit
}

} // namespace

void THevcProfileTierLevel::Parse(TFastBitstream &reader, uint32_t maxNumSubLayersMinus1) {
    general_profile_space = static_cast<uint8_t>(reader.ReadBits(2));
    general_tier_flag = ReadFlag(reader);
    general_profile_idc = static_cast<uint8_t>(reader.ReadBits(5));
    general_profile_compatibility_flags = reader.ReadBits(32);
    reader.ReadBits(4);  // general_progressive_source_flag .. general_frame_only_constraint_flag
    reader.ReadBits(32); // the 43 bits of constraint flags and reserved bits ...
    reader.ReadBits(11);
    reader.ReadBits(1); // ... and general_inbld_flag or its reserved bit
    general_level_idc = static_cast<uint8_t>(reader.ReadBits(8));
    for (uint32_t i = 0; i < maxNumSubLayersMinus1; ++i) {
        sub_layer_profile_present_flag[i] = ReadFlag(reader);
        sub_layer_level_present_flag[i] = ReadFlag(reader);
    }
    if (maxNumSubLayersMinus1 > 0)
        for (uint32_t i = maxNumSubLayersMinus1; i < 8; ++i)
            reader.ReadBits(2); // reserved_zero_2bits
    for (uint32_t i = 0; i < maxNumSubLayersMinus1; ++i) {
        if (sub_layer_profile_present_flag[i] == 1)
            SkipSubLayerProfile(reader);
        if (sub_layer_level_present_flag[i] == 1)
            sub_layer_level_idc[i] = static_cast<uint8_t>(reader.ReadBits(8));
    }
}

// st_ref_pic_set(stRpsIdx) as an SPS holds it: a set is coded on its own, or predicted from the set just
// before it (an SPS has no delta_idx_minus1), whose derived pictures decide how many flags follow.
void THevcShortTermRefPicSet::Parse(TFastBitstream &reader, const std::vector<THevcShortTermRefPicSet> &sets,
                                    uint32_t maxPictures) {
    if (!sets.empty())
        inter_ref_pic_set_prediction_flag = ReadFlag(reader);
    if (inter_ref_pic_set_prediction_flag == 1) {
        const THevcShortTermRefPicSet &ref = sets.back();
        const uint8_t delta_rps_sign = ReadFlag(reader);
        const uint32_t abs_delta_rps_minus1 =
            ReadUEInRange(reader, "abs_delta_rps_minus1", 0, MaxPocStep - 1);
        const int32_t deltaRps = (1 - 2 * delta_rps_sign) * static_cast<int32_t>(abs_delta_rps_minus1 + 1);
        // One pair of flags per picture of the reference set, and one for the reference picture itself.
        const uint32_t count = ref.NumDeltaPocs() + 1;
        std::vector<uint8_t> used(count, 0);
        std::vector<uint8_t> useDelta(count, 1);
        for (uint32_t j = 0; j < count; ++j) {
            used[j] = ReadFlag(reader);
            if (used[j] == 0)
                useDelta[j] = ReadFlag(reader);
        }
        // The derivation of 7.4.8, in its order: S0 nearest first, then S1 nearest first.
        const uint32_t refNegative = ref.NumNegativePics();
        const uint32_t refAll = ref.NumDeltaPocs();
        auto addS0 = [&](int32_t dPoc, uint32_t flag) {
            if (dPoc < 0 && useDelta[flag] == 1) {
                DeltaPocS0.push_back(dPoc);
                UsedByCurrPicS0.push_back(used[flag]);
            }
        };
        auto addS1 = [&](int32_t dPoc, uint32_t flag) {
            if (dPoc > 0 && useDelta[flag] == 1) {
                DeltaPocS1.push_back(dPoc);
                UsedByCurrPicS1.push_back(used[flag]);
            }
        };
        for (uint32_t j = ref.NumPositivePics(); j-- > 0;)
            addS0(ref.DeltaPocS1[j] + deltaRps, refNegative + j);
        addS0(deltaRps, refAll);
        for (uint32_t j = 0; j < refNegative; ++j)
            addS0(ref.DeltaPocS0[j] + deltaRps, j);
        for (uint32_t j = refNegative; j-- > 0;)
            addS1(ref.DeltaPocS0[j] + deltaRps, j);
        addS1(deltaRps, refAll);
        for (uint32_t j = 0; j < ref.NumPositivePics(); ++j)
            addS1(ref.DeltaPocS1[j] + deltaRps, refNegative + j);
        if (NumDeltaPocs() > MaxPictures)
            throw Exception(Format(SSyntaxOutOfRange, std::string("NumDeltaPocs"), int64_t{NumDeltaPocs()},
                                   int64_t{0}, int64_t{MaxPictures}));
        return;
    }
    const uint32_t num_negative_pics = ReadUEInRange(reader, "num_negative_pics", 0, maxPictures);
    const uint32_t num_positive_pics =
        ReadUEInRange(reader, "num_positive_pics", 0, maxPictures - num_negative_pics);
    int32_t poc = 0;
    for (uint32_t i = 0; i < num_negative_pics; ++i) {
        poc -= static_cast<int32_t>(ReadUEInRange(reader, "delta_poc_s0_minus1", 0, MaxPocStep - 1) + 1);
        DeltaPocS0.push_back(poc);
        UsedByCurrPicS0.push_back(ReadFlag(reader));
    }
    poc = 0;
    for (uint32_t i = 0; i < num_positive_pics; ++i) {
        poc += static_cast<int32_t>(ReadUEInRange(reader, "delta_poc_s1_minus1", 0, MaxPocStep - 1) + 1);
        DeltaPocS1.push_back(poc);
        UsedByCurrPicS1.push_back(ReadFlag(reader));
    }
}

// seq_parameter_set_rbsp() of a base-layer SPS, one line per element, each with its range.
bool THevcSequenceParameterSet::Parse(TFastBitstream &reader) {
    MarkPosition(reader);
    sps_video_parameter_set_id = static_cast<uint8_t>(reader.ReadBits(4));
    sps_max_sub_layers_minus1 =
        static_cast<uint8_t>(ReadBitsInRange(reader, 3, "sps_max_sub_layers_minus1", 0, 6));
    sps_temporal_id_nesting_flag = ReadFlag(reader);
    ProfileTierLevel.Parse(reader, sps_max_sub_layers_minus1);
    sps_seq_parameter_set_id = ReadUEInRange(reader, "sps_seq_parameter_set_id", 0, 15);
    chroma_format_idc = ReadUEInRange(reader, "chroma_format_idc", 0, 3);
    if (chroma_format_idc == 3)
        separate_colour_plane_flag = ReadFlag(reader);
    pic_width_in_luma_samples = ReadUEInRange(reader, "pic_width_in_luma_samples", 1, MaxPictureSamples);
    pic_height_in_luma_samples = ReadUEInRange(reader, "pic_height_in_luma_samples", 1, MaxPictureSamples);
    conformance_window_flag = ReadFlag(reader);
    if (conformance_window_flag == 1) {
        conf_win_left_offset = ReadUEInRange(reader, "conf_win_left_offset", 0, MaxPictureSamples);
        conf_win_right_offset = ReadUEInRange(reader, "conf_win_right_offset", 0, MaxPictureSamples);
        conf_win_top_offset = ReadUEInRange(reader, "conf_win_top_offset", 0, MaxPictureSamples);
        conf_win_bottom_offset = ReadUEInRange(reader, "conf_win_bottom_offset", 0, MaxPictureSamples);
    }
    bit_depth_luma_minus8 = ReadUEInRange(reader, "bit_depth_luma_minus8", 0, 8);
    bit_depth_chroma_minus8 = ReadUEInRange(reader, "bit_depth_chroma_minus8", 0, 8);
    log2_max_pic_order_cnt_lsb_minus4 = ReadUEInRange(reader, "log2_max_pic_order_cnt_lsb_minus4", 0, 12);
    sps_sub_layer_ordering_info_present_flag = ReadFlag(reader);
    const uint32_t firstOrdered =
        sps_sub_layer_ordering_info_present_flag == 1 ? 0 : sps_max_sub_layers_minus1;
    for (uint32_t i = firstOrdered; i <= sps_max_sub_layers_minus1; ++i) {
        // MaxDpbSize is at most 16.
        sps_max_dec_pic_buffering_minus1[i] =
            ReadUEInRange(reader, "sps_max_dec_pic_buffering_minus1", 0, 15);
        sps_max_num_reorder_pics[i] =
            ReadUEInRange(reader, "sps_max_num_reorder_pics", 0, sps_max_dec_pic_buffering_minus1[i]);
        sps_max_latency_increase_plus1[i] =
            ReadUEInRange(reader, "sps_max_latency_increase_plus1", 0, UINT32_MAX - 1);
    }
    for (uint32_t i = 0; i < firstOrdered; ++i) {
        sps_max_dec_pic_buffering_minus1[i] = sps_max_dec_pic_buffering_minus1[firstOrdered];
        sps_max_num_reorder_pics[i] = sps_max_num_reorder_pics[firstOrdered];
        sps_max_latency_increase_plus1[i] = sps_max_latency_increase_plus1[firstOrdered];
    }
    // Coding blocks of 8..64 samples, transform blocks of 4..32 inside them.
    log2_min_luma_coding_block_size_minus3 =
        ReadUEInRange(reader, "log2_min_luma_coding_block_size_minus3", 0, 3);
    const uint32_t minCbLog2 = log2_min_luma_coding_block_size_minus3 + 3;
    log2_diff_max_min_luma_coding_block_size =
        ReadUEInRange(reader, "log2_diff_max_min_luma_coding_block_size", 0, 6 - minCbLog2);
    const uint32_t ctbLog2 = minCbLog2 + log2_diff_max_min_luma_coding_block_size;
    log2_min_luma_transform_block_size_minus2 =
        ReadUEInRange(reader, "log2_min_luma_transform_block_size_minus2", 0, minCbLog2 - 3);
    const uint32_t minTbLog2 = log2_min_luma_transform_block_size_minus2 + 2;
    log2_diff_max_min_luma_transform_block_size = ReadUEInRange(
        reader, "log2_diff_max_min_luma_transform_block_size", 0, std::min(ctbLog2, 5u) - minTbLog2);
    max_transform_hierarchy_depth_inter =
        ReadUEInRange(reader, "max_transform_hierarchy_depth_inter", 0, ctbLog2 - minTbLog2);
    max_transform_hierarchy_depth_intra =
        ReadUEInRange(reader, "max_transform_hierarchy_depth_intra", 0, ctbLog2 - minTbLog2);
    CheckSizes();
    scaling_list_enabled_flag = ReadFlag(reader);
    if (scaling_list_enabled_flag == 1) {
        sps_scaling_list_data_present_flag = ReadFlag(reader);
        if (sps_scaling_list_data_present_flag == 1)
            ParseScalingListData(reader);
    }
    amp_enabled_flag = ReadFlag(reader);
    sample_adaptive_offset_enabled_flag = ReadFlag(reader);
    pcm_enabled_flag = ReadFlag(reader);
    if (pcm_enabled_flag == 1) {
        pcm_sample_bit_depth_luma_minus1 = static_cast<uint8_t>(
            ReadBitsInRange(reader, 4, "pcm_sample_bit_depth_luma_minus1", 0, bit_depth_luma_minus8 + 7));
        pcm_sample_bit_depth_chroma_minus1 = static_cast<uint8_t>(
            ReadBitsInRange(reader, 4, "pcm_sample_bit_depth_chroma_minus1", 0, bit_depth_chroma_minus8 + 7));
        // PCM blocks of 8..32 samples, no smaller than a coding block, no larger than a CTB.
        log2_min_pcm_luma_coding_block_size_minus3 =
            ReadUEInRange(reader, "log2_min_pcm_luma_coding_block_size_minus3", std::min(minCbLog2, 5u) - 3,
                          std::min(ctbLog2, 5u) - 3);
        const uint32_t minPcmLog2 = log2_min_pcm_luma_coding_block_size_minus3 + 3;
        log2_diff_max_min_pcm_luma_coding_block_size = ReadUEInRange(
            reader, "log2_diff_max_min_pcm_luma_coding_block_size", 0, std::min(ctbLog2, 5u) - minPcmLog2);
        pcm_loop_filter_disabled_flag = ReadFlag(reader);
    }
    num_short_term_ref_pic_sets = ReadUEInRange(reader, "num_short_term_ref_pic_sets", 0, 64);
    const uint32_t maxPictures = sps_max_dec_pic_buffering_minus1[sps_max_sub_layers_minus1];
    ShortTermRefPicSets.reserve(num_short_term_ref_pic_sets);
    for (uint32_t i = 0; i < num_short_term_ref_pic_sets; ++i) {
        THevcShortTermRefPicSet set;
        set.Parse(reader, ShortTermRefPicSets, maxPictures);
        ShortTermRefPicSets.push_back(std::move(set));
    }
    long_term_ref_pics_present_flag = ReadFlag(reader);
    if (long_term_ref_pics_present_flag == 1) {
        num_long_term_ref_pics_sps = ReadUEInRange(reader, "num_long_term_ref_pics_sps", 0, 32);
        for (uint32_t i = 0; i < num_long_term_ref_pics_sps; ++i) {
            lt_ref_pic_poc_lsb_sps.push_back(
                reader.ReadBits(static_cast<uint8_t>(log2_max_pic_order_cnt_lsb_minus4 + 4)));
            used_by_curr_pic_lt_sps_flag.push_back(ReadFlag(reader));
        }
    }
    sps_temporal_mvp_enabled_flag = ReadFlag(reader);
    strong_intra_smoothing_enabled_flag = ReadFlag(reader);
    vui_parameters_present_flag = ReadFlag(reader);
    if (vui_parameters_present_flag == 1) {
        VUIParameters = std::make_unique<TVUIParameters>();
        VUIParameters->Parse(reader);
    }
    return true;
}

// scaling_list_data(): per size and matrix, a copy of another matrix (or the default) or coded
// coefficients; 32x32 has only the matrices 0 and 3.
void THevcSequenceParameterSet::ParseScalingListData(TFastBitstream &reader) {
    for (uint32_t sizeId = 0; sizeId < 4; ++sizeId)
        for (uint32_t matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1) {
            const uint8_t scaling_list_pred_mode_flag = ReadFlag(reader);
            if (scaling_list_pred_mode_flag == 0) {
                ReadUEInRange(reader, "scaling_list_pred_matrix_id_delta", 0,
                              sizeId == 3 ? matrixId / 3 : matrixId);
                continue;
            }
            const uint32_t coefNum = std::min(64u, 1u << (4 + (sizeId << 1)));
            if (sizeId > 1)
                ReadSEInRange(reader, "scaling_list_dc_coef_minus8", -7, 247);
            for (uint32_t i = 0; i < coefNum; ++i)
                ReadSEInRange(reader, "scaling_list_delta_coef", -128, 127);
        }
}

// The picture is a whole number of minimum coding blocks, and the conformance window leaves at least one
// sample each way.
void THevcSequenceParameterSet::CheckSizes() const {
    const uint32_t minCb = 1u << (log2_min_luma_coding_block_size_minus3 + 3);
    if (pic_width_in_luma_samples % minCb != 0 || pic_height_in_luma_samples % minCb != 0)
        throw Exception(Format(SHevcPictureNotInBlocks, int64_t{pic_width_in_luma_samples},
                               int64_t{pic_height_in_luma_samples}, int64_t{minCb}));
    const int64_t cropX = int64_t{SubWidthC()} * (int64_t{conf_win_left_offset} + conf_win_right_offset);
    const int64_t cropY = int64_t{SubHeightC()} * (int64_t{conf_win_top_offset} + conf_win_bottom_offset);
    if (cropX >= pic_width_in_luma_samples || cropY >= pic_height_in_luma_samples)
        throw Exception(Format(SSpsCroppedAway, int64_t{pic_width_in_luma_samples},
                               int64_t{pic_height_in_luma_samples}, int64_t{conf_win_left_offset},
                               int64_t{conf_win_right_offset}, int64_t{conf_win_top_offset},
                               int64_t{conf_win_bottom_offset}));
}

uint8_t THevcSequenceParameterSet::AspectRatioIdc() const {
    return VUIParameters ? VUIParameters->AspectRatioIdc() : 0;
}

int32_t THevcSequenceParameterSet::SarWidth() const {
    return VUIParameters ? VUIParameters->SarWidth() : 0;
}

int32_t THevcSequenceParameterSet::SarHeight() const {
    return VUIParameters ? VUIParameters->SarHeight() : 0;
}

bool THevcSequenceParameterSet::HasAspectRatioField() const {
    return VUIParameters && VUIParameters->HasAspectRatioField();
}

int32_t THevcSequenceParameterSet::ChromaArrayType() const {
    return separate_colour_plane_flag == 1 ? 0 : static_cast<int32_t>(chroma_format_idc);
}

int32_t THevcSequenceParameterSet::SubWidthC() const {
    const int32_t type = ChromaArrayType();
    return type == 1 || type == 2 ? 2 : 1;
}

int32_t THevcSequenceParameterSet::SubHeightC() const {
    return ChromaArrayType() == 1 ? 2 : 1;
}

// Unsigned arithmetic: fields set by hand with absurd values wrap instead of overflowing a signed type
// (a decoded SPS has its sizes checked).
int32_t THevcSequenceParameterSet::Width() const {
    return static_cast<int32_t>(pic_width_in_luma_samples -
                                static_cast<uint32_t>(SubWidthC()) *
                                    (conf_win_left_offset + conf_win_right_offset));
}

int32_t THevcSequenceParameterSet::Height() const {
    return static_cast<int32_t>(pic_height_in_luma_samples -
                                static_cast<uint32_t>(SubHeightC()) *
                                    (conf_win_top_offset + conf_win_bottom_offset));
}

std::unique_ptr<THevcNalUnit> DecodeHevcNalUnit(std::vector<uint8_t> bytes, bool complete) {
    auto unit = std::make_unique<THevcNalUnit>();
    unit->Bytes = std::move(bytes);
    unit->Complete = complete;
    TMemoryStream memory(unit->Bytes);
    TFastBitstream reader(static_cast<int64_t>(std::max<size_t>(unit->Bytes.size(), 16)));
    reader.AttachRange(&memory, 0, 0, memory.Size(), 0);
    if (reader.ReadBit())
        throw Exception(
            Format(SSyntaxOutOfRange, std::string("forbidden_zero_bit"), int64_t{1}, int64_t{0}, int64_t{0}));
    unit->nal_unit_type = static_cast<uint8_t>(reader.ReadBits(6));
    unit->nuh_layer_id = static_cast<uint8_t>(ReadBitsInRange(reader, 6, "nuh_layer_id", 0, 62));
    unit->nuh_temporal_id_plus1 =
        static_cast<uint8_t>(ReadBitsInRange(reader, 3, "nuh_temporal_id_plus1", 1, 7));
    if (unit->nal_unit_type != HevcNalTypeSps || unit->nuh_layer_id != 0)
        return unit;
    unit->SequenceParameterSet = std::make_unique<THevcSequenceParameterSet>();
    unit->SequenceParameterSet->Parse(reader);
    return unit;
}
