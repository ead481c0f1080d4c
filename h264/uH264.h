#pragma once

#include "base/Ratio.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TFastBitstream;

// Base of the structures decoded straight from the file: remembers where the structure's first bit
// lies, so its bits can be found again and overwritten in place.
class TRSBP {
public:
    virtual ~TRSBP() = default;
    virtual bool Parse(TFastBitstream &reader) = 0;

    // Byte offset in the file and bit (0 = most significant) of the structure's first bit.
    int64_t Position = 0;
    uint8_t BitOffset = 0;

protected:
    void MarkPosition(const TFastBitstream &reader);
};

// The start of vui_parameters (Annex E): aspect ratio, overscan and video signal type.
class TVUIParameters : public TRSBP {
public:
    bool Parse(TFastBitstream &reader) override;

    // Where aspect_ratio_idc lies (one bit after the VUI's first bit), when it is present: the bits a
    // change of the aspect ratio overwrites begin here.
    int64_t AspectRatioIdcPosition = 0;
    uint8_t AspectRatioIdcBitOffset = 0;

    uint8_t AspectRatioIdc() const { return aspect_ratio_idc; }
    // Whether aspect_ratio_idc is present and a change can overwrite it in place: a usable ratio, or 0
    // (Unspecified), which players read as square samples.
    bool HasAspectRatioField() const;
    int32_t SarWidth() const;
    int32_t SarHeight() const;
    uint8_t VideoFormat() const;
    std::string VideoFormatText() const;
    std::string OverscanText() const;

    uint8_t aspect_ratio_info_present_flag = 0;
    uint8_t aspect_ratio_idc = 0;
    uint16_t sar_width = 0;
    uint16_t sar_height = 0;
    uint8_t overscan_info_present_flag = 0;
    uint8_t overscan_appropriate_flag = 0;
    uint8_t video_signal_type_present_flag = 0;
    uint8_t video_format = 0;
    uint8_t video_full_range_flag = 0;
    uint8_t colour_description_present_flag = 0;
    uint8_t colour_primaries = 0;
    uint8_t transfer_characteristics = 0;
    uint8_t matrix_coefficients = 0;
};

// seq_parameter_set_data, read up to the aspect-ratio part of its VUI. Every element is read with the
// range the standard gives it: an SPS that breaks one is damaged, and Parse raises Exception naming the
// element.
class TSequenceParameterSet : public TRSBP {
public:
    bool Parse(TFastBitstream &reader) override;

    uint8_t AspectRatioIdc() const;
    int32_t SarWidth() const;
    int32_t SarHeight() const;
    bool HasAspectRatio() const;
    // Whether the VUI holds an aspect_ratio_idc a change can overwrite in place: a usable ratio, or 0
    // (Unspecified), which players read as square samples.
    bool HasAspectRatioField() const;
    int32_t ChromaArrayType() const;
    int32_t SubWidthC() const;
    int32_t SubHeightC() const;
    int32_t CropUnitX() const;
    int32_t CropUnitY() const;
    // Cropped picture size in luma samples.
    int32_t Width() const;
    int32_t Height() const;

    uint8_t profile_idc = 0;
    uint8_t constraint_set0_flag = 0;
    uint8_t constraint_set1_flag = 0;
    uint8_t constraint_set2_flag = 0;
    uint8_t constraint_set3_flag = 0;
    uint8_t level_idc = 0;
    uint32_t seq_parameter_set_id = 0;
    uint32_t chroma_format_idc = 0;
    uint8_t separate_colour_plane_flag = 0;
    uint32_t bit_depth_luma_minus8 = 0;
    uint32_t bit_depth_chroma_minus8 = 0;
    uint8_t qpprime_y_zero_transform_bypass_flag = 0;
    uint8_t seq_scaling_matrix_present_flag = 0;
    std::vector<uint8_t> seq_scaling_list_present_flag;
    std::vector<std::vector<uint8_t>> ScalingList4x4;
    std::vector<std::vector<uint8_t>> ScalingList8x8;
    std::vector<uint8_t> UseDefaultScalingMatrixFlag;
    uint32_t log2_max_frame_num_minus4 = 0;
    uint32_t pic_order_cnt_type = 0;
    uint32_t log2_max_pic_order_cnt_lsb_minus4 = 0;
    uint8_t delta_pic_order_always_zero_flag = 0;
    int32_t offset_for_non_ref_pic = 0;
    int32_t offset_for_top_to_bottom_field = 0;
    uint32_t num_ref_frames_in_pic_order_cnt_cycle = 0;
    uint32_t num_ref_frames = 0;
    uint8_t gaps_in_frame_num_value_allowed_flag = 0;
    uint32_t pic_width_in_mbs_minus1 = 0;
    uint32_t pic_height_in_map_units_minus1 = 0;
    uint8_t frame_mbs_only_flag = 0;
    uint8_t mb_adaptive_frame_field_flag = 0;
    uint8_t direct_8x8_inference_flag = 0;
    uint8_t frame_cropping_flag = 0;
    uint32_t frame_crop_left_offset = 0;
    uint32_t frame_crop_right_offset = 0;
    uint32_t frame_crop_top_offset = 0;
    uint32_t frame_crop_bottom_offset = 0;
    uint8_t vui_parameters_present_flag = 0;
    std::unique_ptr<TVUIParameters> VUIParameters;

    // The profiles whose SPS carry chroma format, bit depths and scaling matrices.
    static bool IsHighProfile(uint8_t profile);

private:
    void ParseScalingList(TFastBitstream &reader, std::vector<uint8_t> &list, size_t index);
    void CheckPictureSize() const;
};

// The header of one NAL unit (with the SVC extension of types 14 and 20). Owns the SPS of type 7.
class TNALUnit {
public:
    bool Parse(TFastBitstream &reader);
    uint8_t NalUnitType() const { return nal_unit_type; }

    // The unit's bytes as they lie in the file (header byte first, emulation-prevention bytes kept), when
    // the unit was decoded from them by DecodeNALUnit; positions of the unit, its SPS and VUI then count
    // from the header byte. Complete is false when the bytes are only the start of a longer unit.
    std::vector<uint8_t> Bytes;
    bool Complete = true;

    uint8_t svc_extension_flag = 0;
    uint8_t idr_flag = 0;
    uint8_t priority_id = 0;
    uint8_t no_inter_layer_pred_flag = 0;
    uint8_t dependency_id = 0;
    uint8_t quality_id = 0;
    uint8_t temporal_id = 0;
    uint8_t use_ref_base_pic_flag = 0;
    uint8_t discardable_flag = 0;
    uint8_t output_flag = 0;
    // Byte offset of the header byte in the file.
    int64_t Position = 0;
    std::unique_ptr<TSequenceParameterSet> SequenceParameterSet;
    uint8_t nal_ref_idc = 0;
    uint8_t nal_unit_type = 0;
};

// The type of a NAL unit from its header byte.
constexpr uint8_t NalUnitTypeOf(uint8_t header) {
    return header & 0x1F;
}
constexpr uint8_t NalTypeSps = 7;
// Reading an SPS never needs more than this many bytes of its unit: the syntax up to the VUI's video
// signal type takes at most about 3 KiB (scaling matrices, 255 picture order offsets), emulation
// prevention included. Longer SPS units are cut here.
constexpr int64_t MaxSpsBytes = 8192;

// Decodes a NAL unit from its bytes, reading nothing outside them. Raises Exception (the element, or the
// end of the bytes) for an SPS that is damaged or cut short.
std::unique_ptr<TNALUnit> DecodeNALUnit(std::vector<uint8_t> bytes, bool complete);

// sar_width and sar_height are 16-bit numbers.
constexpr int32_t MaxSarTerm = 65535;
constexpr uint8_t ExtendedSarIdc = 255;
constexpr uint8_t UnspecifiedSarIdc = 0;

// Table E-1: the sample aspect ratio of a predefined aspect_ratio_idc; 0 for 0 and the reserved
// codes, -1 for 255 (Extended_SAR, the ratio follows in sar_width and sar_height).
int32_t PredefinedSarWidth(uint8_t code);
int32_t PredefinedSarHeight(uint8_t code);
std::string VideoFormatName(uint8_t code);
// The predefined aspect_ratio_idc (1..16) whose ratio equals x:y once both are reduced; 0 for none.
uint8_t PredefinedCodeForRatio(int64_t x, int64_t y);
