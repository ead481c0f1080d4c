#include "uH264.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/SyntaxElements.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>

namespace {

constexpr std::array<std::array<int32_t, 2>, 17> SarTable{{
    {0, 0},
    {1, 1},
    {12, 11},
    {10, 11},
    {16, 11},
    {40, 33},
    {24, 11},
    {20, 11},
    {32, 11},
    {80, 33},
    {18, 11},
    {15, 11},
    {64, 33},
    {160, 99},
    {4, 3},
    {3, 2},
    {2, 1},
}};

int32_t PredefinedSarTerm(uint8_t code, size_t term) {
    if (code == ExtendedSarIdc)
        return -1;
    return code < SarTable.size() ? SarTable[code][term] : 0;
}

// Picture sizes in samples stay below 2^31, so that every size and product of this program fits (the
// map units of a field pair count twice).
constexpr int64_t MaxPictureSamples = INT32_MAX;
constexpr int32_t MaxPocOffset = INT32_MAX; // offsets lie in -2^31 + 1 .. 2^31 - 1

} // namespace

int32_t PredefinedSarWidth(uint8_t code) {
    return PredefinedSarTerm(code, 0);
}
int32_t PredefinedSarHeight(uint8_t code) {
    return PredefinedSarTerm(code, 1);
}

std::string VideoFormatName(uint8_t code) {
    static const std::array<const char *, 6> Names{"Component", "PAL", "NTSC", "SECAM", "MAC", "Unspecified"};
    return code < Names.size() ? Names[code] : "[n/a]";
}

void TRSBP::MarkPosition(const TFastBitstream &reader) {
    Position = reader.Position();
    BitOffset = static_cast<uint8_t>(reader.BitOffset());
}

bool TVUIParameters::Parse(TFastBitstream &reader) {
    MarkPosition(reader);
    aspect_ratio_info_present_flag = ReadFlag(reader);
    if (aspect_ratio_info_present_flag == 1) {
        AspectRatioIdcPosition = reader.Position();
        AspectRatioIdcBitOffset = static_cast<uint8_t>(reader.BitOffset());
        aspect_ratio_idc = static_cast<uint8_t>(reader.ReadBits(8));
        if (aspect_ratio_idc == ExtendedSarIdc) {
            sar_width = static_cast<uint16_t>(reader.ReadBits(16));
            sar_height = static_cast<uint16_t>(reader.ReadBits(16));
        }
    }
    overscan_info_present_flag = ReadFlag(reader);
    if (overscan_info_present_flag == 1)
        overscan_appropriate_flag = ReadFlag(reader);
    video_signal_type_present_flag = ReadFlag(reader);
    if (video_signal_type_present_flag == 0)
        return true;
    video_format = static_cast<uint8_t>(reader.ReadBits(3));
    video_full_range_flag = ReadFlag(reader);
    colour_description_present_flag = ReadFlag(reader);
    if (colour_description_present_flag == 1) {
        colour_primaries = static_cast<uint8_t>(reader.ReadBits(8));
        transfer_characteristics = static_cast<uint8_t>(reader.ReadBits(8));
        matrix_coefficients = static_cast<uint8_t>(reader.ReadBits(8));
    }
    return true;
}

int32_t TVUIParameters::SarWidth() const {
    if (aspect_ratio_info_present_flag == 0)
        return 0;
    return aspect_ratio_idc == ExtendedSarIdc ? sar_width : PredefinedSarWidth(aspect_ratio_idc);
}

int32_t TVUIParameters::SarHeight() const {
    if (aspect_ratio_info_present_flag == 0)
        return 0;
    return aspect_ratio_idc == ExtendedSarIdc ? sar_height : PredefinedSarHeight(aspect_ratio_idc);
}

bool TVUIParameters::HasAspectRatioField() const {
    return aspect_ratio_info_present_flag == 1 &&
           (aspect_ratio_idc == UnspecifiedSarIdc || (SarWidth() >= 1 && SarHeight() >= 1));
}

uint8_t TVUIParameters::VideoFormat() const {
    return video_signal_type_present_flag == 1 ? video_format : 5;
}

std::string TVUIParameters::VideoFormatText() const {
    return VideoFormatName(VideoFormat());
}

std::string TVUIParameters::OverscanText() const {
    if (overscan_info_present_flag == 0)
        return "Overscan information not present";
    return overscan_appropriate_flag == 1 ? "Overscan appropriate" : "Overscan not appropriate";
}

bool TSequenceParameterSet::IsHighProfile(uint8_t profile) {
    switch (profile) {
    case 100: // High
    case 110: // High 10
    case 122: // High 4:2:2
    case 244: // High 4:4:4 Predictive
    case 44:  // CAVLC 4:4:4 Intra
    case 83:  // Scalable Baseline
    case 86:  // Scalable High
    case 118: // Multiview High
    case 128: // Stereo High
    case 138: // Multiview Depth High
    case 139: // Enhanced Multiview Depth High
    case 134: // MFC High
    case 135: // MFC Depth High
        return true;
    default:
        return false;
    }
}

// seq_parameter_set_data() of the standard, one line per element, each with its range.
bool TSequenceParameterSet::Parse(TFastBitstream &reader) {
    MarkPosition(reader);
    profile_idc = static_cast<uint8_t>(reader.ReadBits(8));
    constraint_set0_flag = ReadFlag(reader);
    constraint_set1_flag = ReadFlag(reader);
    constraint_set2_flag = ReadFlag(reader);
    constraint_set3_flag = ReadFlag(reader);
    reader.ReadBits(4); // constraint_set4/5 flags and reserved_zero_2bits
    level_idc = static_cast<uint8_t>(reader.ReadBits(8));
    seq_parameter_set_id = ReadUEInRange(reader, "seq_parameter_set_id", 0, 31);

    if (IsHighProfile(profile_idc)) {
        chroma_format_idc = ReadUEInRange(reader, "chroma_format_idc", 0, 3);
        separate_colour_plane_flag = chroma_format_idc == 3 ? ReadFlag(reader) : 0;
        bit_depth_luma_minus8 = ReadUEInRange(reader, "bit_depth_luma_minus8", 0, 6);
        bit_depth_chroma_minus8 = ReadUEInRange(reader, "bit_depth_chroma_minus8", 0, 6);
        qpprime_y_zero_transform_bypass_flag = ReadFlag(reader);
        seq_scaling_matrix_present_flag = ReadFlag(reader);
        if (seq_scaling_matrix_present_flag == 1) {
            size_t lists = chroma_format_idc == 3 ? 12 : 8;
            seq_scaling_list_present_flag.assign(lists, 0);
            UseDefaultScalingMatrixFlag.assign(lists, 0);
            ScalingList4x4.assign(6, std::vector<uint8_t>(16, 0));
            ScalingList8x8.assign(lists - 6, std::vector<uint8_t>(64, 0));
            for (size_t i = 0; i < lists; ++i) {
                seq_scaling_list_present_flag[i] = ReadFlag(reader);
                if (seq_scaling_list_present_flag[i] == 1)
                    ParseScalingList(reader, i < 6 ? ScalingList4x4[i] : ScalingList8x8[i - 6], i);
            }
        }
    } else {
        chroma_format_idc = 1;
    }

    log2_max_frame_num_minus4 = ReadUEInRange(reader, "log2_max_frame_num_minus4", 0, 12);
    pic_order_cnt_type = ReadUEInRange(reader, "pic_order_cnt_type", 0, 2);
    if (pic_order_cnt_type == 0) {
        log2_max_pic_order_cnt_lsb_minus4 = ReadUEInRange(reader, "log2_max_pic_order_cnt_lsb_minus4", 0, 12);
    } else if (pic_order_cnt_type == 1) {
        delta_pic_order_always_zero_flag = ReadFlag(reader);
        offset_for_non_ref_pic = ReadSEInRange(reader, "offset_for_non_ref_pic", -MaxPocOffset, MaxPocOffset);
        offset_for_top_to_bottom_field =
            ReadSEInRange(reader, "offset_for_top_to_bottom_field", -MaxPocOffset, MaxPocOffset);
        num_ref_frames_in_pic_order_cnt_cycle =
            ReadUEInRange(reader, "num_ref_frames_in_pic_order_cnt_cycle", 0, 255);
        for (uint32_t i = 0; i < num_ref_frames_in_pic_order_cnt_cycle; ++i)
            ReadSEInRange(reader, "offset_for_ref_frame", -MaxPocOffset, MaxPocOffset);
    }

    num_ref_frames = ReadUEInRange(reader, "max_num_ref_frames", 0, 16);
    gaps_in_frame_num_value_allowed_flag = ReadFlag(reader);
    pic_width_in_mbs_minus1 = ReadUEInRange(reader, "pic_width_in_mbs_minus1", 0, MaxPictureSamples / 16 - 1);
    pic_height_in_map_units_minus1 =
        ReadUEInRange(reader, "pic_height_in_map_units_minus1", 0, MaxPictureSamples / 32 - 1);
    frame_mbs_only_flag = ReadFlag(reader);
    if (frame_mbs_only_flag == 0)
        mb_adaptive_frame_field_flag = ReadFlag(reader);
    direct_8x8_inference_flag = ReadFlag(reader);
    frame_cropping_flag = ReadFlag(reader);
    if (frame_cropping_flag == 1) {
        frame_crop_left_offset = ReadUEInRange(reader, "frame_crop_left_offset", 0, UINT32_MAX - 1);
        frame_crop_right_offset = ReadUEInRange(reader, "frame_crop_right_offset", 0, UINT32_MAX - 1);
        frame_crop_top_offset = ReadUEInRange(reader, "frame_crop_top_offset", 0, UINT32_MAX - 1);
        frame_crop_bottom_offset = ReadUEInRange(reader, "frame_crop_bottom_offset", 0, UINT32_MAX - 1);
    } else {
        frame_crop_left_offset = frame_crop_right_offset = frame_crop_top_offset = frame_crop_bottom_offset =
            0;
    }
    CheckPictureSize();
    vui_parameters_present_flag = ReadFlag(reader);
    if (vui_parameters_present_flag == 1) {
        VUIParameters = std::make_unique<TVUIParameters>();
        VUIParameters->Parse(reader);
    }
    return true;
}

// The cropping window lies inside the decoded frame and leaves at least one sample each way (the ranges
// of the frame_crop offsets depend on one another and on the frame size).
void TSequenceParameterSet::CheckPictureSize() const {
    const int64_t frameWidth = (int64_t{pic_width_in_mbs_minus1} + 1) * 16;
    const int64_t frameHeight =
        (2 - int64_t{frame_mbs_only_flag}) * (int64_t{pic_height_in_map_units_minus1} + 1) * 16;
    const int64_t cropX = int64_t{CropUnitX()} * (int64_t{frame_crop_left_offset} + frame_crop_right_offset);
    const int64_t cropY = int64_t{CropUnitY()} * (int64_t{frame_crop_top_offset} + frame_crop_bottom_offset);
    if (cropX >= frameWidth || cropY >= frameHeight)
        throw Exception(Format(SSpsCroppedAway, frameWidth, frameHeight, int64_t{frame_crop_left_offset},
                               int64_t{frame_crop_right_offset}, int64_t{frame_crop_top_offset},
                               int64_t{frame_crop_bottom_offset}));
}

void TSequenceParameterSet::ParseScalingList(TFastBitstream &reader, std::vector<uint8_t> &list,
                                             size_t index) {
    int32_t lastScale = 8;
    int32_t nextScale = 8;
    for (size_t j = 0; j < list.size(); ++j) {
        if (nextScale != 0) {
            int32_t deltaScale = ReadSEInRange(reader, "delta_scale", -128, 127);
            nextScale = (lastScale + deltaScale + 256) % 256;
            UseDefaultScalingMatrixFlag[index] = (j == 0 && nextScale == 0) ? 1 : 0;
        }
        int32_t value = nextScale == 0 ? lastScale : nextScale;
        list[j] = static_cast<uint8_t>(value);
        lastScale = value;
    }
}

uint8_t TSequenceParameterSet::AspectRatioIdc() const {
    return VUIParameters ? VUIParameters->AspectRatioIdc() : 0;
}

int32_t TSequenceParameterSet::SarWidth() const {
    return VUIParameters ? VUIParameters->SarWidth() : 0;
}

int32_t TSequenceParameterSet::SarHeight() const {
    return VUIParameters ? VUIParameters->SarHeight() : 0;
}

bool TSequenceParameterSet::HasAspectRatio() const {
    return SarWidth() >= 1 && SarHeight() >= 1;
}

bool TSequenceParameterSet::HasAspectRatioField() const {
    return VUIParameters && VUIParameters->HasAspectRatioField();
}

int32_t TSequenceParameterSet::ChromaArrayType() const {
    return separate_colour_plane_flag == 1 ? 0 : static_cast<int32_t>(chroma_format_idc);
}

int32_t TSequenceParameterSet::SubWidthC() const {
    switch (ChromaArrayType()) {
    case 1:
    case 2:
        return 2;
    case 3:
        return 1;
    default:
        return 0;
    }
}

int32_t TSequenceParameterSet::SubHeightC() const {
    switch (ChromaArrayType()) {
    case 1:
        return 2;
    case 2:
    case 3:
        return 1;
    default:
        return 0;
    }
}

int32_t TSequenceParameterSet::CropUnitX() const {
    return ChromaArrayType() == 0 ? 1 : SubWidthC();
}

int32_t TSequenceParameterSet::CropUnitY() const {
    int32_t fieldFactor = 2 - frame_mbs_only_flag;
    return ChromaArrayType() == 0 ? fieldFactor : SubHeightC() * fieldFactor;
}

// Unsigned arithmetic: fields set by hand with absurd values wrap instead of overflowing a signed type
// (a decoded SPS has its sizes checked).
int32_t TSequenceParameterSet::Width() const {
    uint32_t width = (pic_width_in_mbs_minus1 + 1u) * 16u;
    if (frame_cropping_flag == 1)
        width -= static_cast<uint32_t>(CropUnitX()) * (frame_crop_left_offset + frame_crop_right_offset);
    return static_cast<int32_t>(width);
}

int32_t TSequenceParameterSet::Height() const {
    uint32_t height = (2u - frame_mbs_only_flag) * (pic_height_in_map_units_minus1 + 1u) * 16u;
    if (frame_cropping_flag == 1)
        height -= static_cast<uint32_t>(CropUnitY()) * (frame_crop_top_offset + frame_crop_bottom_offset);
    return static_cast<int32_t>(height);
}

bool TNALUnit::Parse(TFastBitstream &reader) {
    if (reader.BitOffset() != 0)
        throw Exception(SNALUnitNotAligned);
    Position = reader.Position();
    reader.ReadBit(); // forbidden_zero_bit
    nal_ref_idc = static_cast<uint8_t>(reader.ReadBits(2));
    nal_unit_type = static_cast<uint8_t>(reader.ReadBits(5));
    if (nal_unit_type == 14 || nal_unit_type == 20) {
        svc_extension_flag = ReadFlag(reader);
        idr_flag = ReadFlag(reader);
        priority_id = static_cast<uint8_t>(reader.ReadBits(6));
        no_inter_layer_pred_flag = ReadFlag(reader);
        dependency_id = static_cast<uint8_t>(reader.ReadBits(3));
        quality_id = static_cast<uint8_t>(reader.ReadBits(4));
        temporal_id = static_cast<uint8_t>(reader.ReadBits(3));
        use_ref_base_pic_flag = ReadFlag(reader);
        discardable_flag = ReadFlag(reader);
        output_flag = ReadFlag(reader);
        reader.ReadBits(2); // reserved_three_2bits
    }
    if (nal_unit_type != NalTypeSps)
        return false;
    SequenceParameterSet = std::make_unique<TSequenceParameterSet>();
    if (!SequenceParameterSet->Parse(reader)) {
        SequenceParameterSet.reset();
        return false;
    }
    return true;
}

std::unique_ptr<TNALUnit> DecodeNALUnit(std::vector<uint8_t> bytes, bool complete) {
    auto unit = std::make_unique<TNALUnit>();
    unit->Bytes = std::move(bytes);
    unit->Complete = complete;
    TMemoryStream memory(unit->Bytes);
    TFastBitstream reader(static_cast<int64_t>(std::max<size_t>(unit->Bytes.size(), 16)));
    reader.AttachRange(&memory, 0, 0, memory.Size(), 0);
    unit->Parse(reader);
    return unit;
}

uint8_t PredefinedCodeForRatio(int64_t x, int64_t y) {
    TRatio wanted = ReduceRatio(x, y);
    if (wanted.X <= 0 || wanted.Y <= 0)
        return 0;
    for (uint8_t code = 1; code < SarTable.size(); ++code) {
        TRatio entry = ReduceRatio(SarTable[code][0], SarTable[code][1]);
        if (entry.X == wanted.X && entry.Y == wanted.Y)
            return code;
    }
    return 0;
}
