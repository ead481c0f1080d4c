#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Test-only writer of H.264 syntax: fixed-width fields and Exp-Golomb codes, most significant bit first.
class BitWriter {
public:
    void Bit(bool bit);
    void Bits(uint64_t value, int count);
    void UE(uint32_t value);
    void SE(int32_t value);
    // rbsp_trailing_bits: a 1 bit, then zeros up to the byte boundary.
    void Trailing();
    size_t BitCount() const { return FBitCount; }
    const std::vector<uint8_t> &Bytes() const { return FBytes; }

private:
    std::vector<uint8_t> FBytes;
    size_t FBitCount = 0;
};

// Inserts emulation-prevention bytes as an encoder does: a 03 after every 00 00 that is followed by a
// byte 00 to 03 (and after a trailing 00 00). indexMap, when given, receives for every input byte its
// index in the output.
std::vector<uint8_t> EscapeRbsp(const std::vector<uint8_t> &rbsp, std::vector<size_t> *indexMap = nullptr);

// The start of a VUI, as H.264 and HEVC both code it: aspect ratio, overscan, video signal type.
struct VuiStartFields {
    uint8_t aspect_ratio_info_present_flag = 1;
    uint8_t aspect_ratio_idc = 1;
    uint16_t sar_width = 0, sar_height = 0;
    uint8_t overscan_info_present_flag = 0;
    uint8_t overscan_appropriate_flag = 0;
    uint8_t video_signal_type_present_flag = 0;
    uint8_t video_format = 5;
    uint8_t video_full_range_flag = 0;
    uint8_t colour_description_present_flag = 0;
    uint8_t colour_primaries = 1, transfer_characteristics = 1, matrix_coefficients = 1;
};

// Writes those fields; returns the bit where aspect_ratio_idc was written (where it would be when absent).
size_t WriteVuiStart(BitWriter &w, const VuiStartFields &f);

// The fields of a sequence parameter set to build; defaults give a 1920x1080 Main profile SPS
// without VUI.
struct SpsFields : VuiStartFields {
    uint8_t nal_header = 0x67;
    uint8_t profile_idc = 77;
    uint8_t constraint_flags = 0; // the eight bits after profile_idc
    uint8_t level_idc = 40;
    uint32_t seq_parameter_set_id = 0;
    uint32_t chroma_format_idc = 1;
    uint8_t separate_colour_plane_flag = 0;
    uint32_t bit_depth_luma_minus8 = 0;
    uint32_t bit_depth_chroma_minus8 = 0;
    uint8_t qpprime_y_zero_transform_bypass_flag = 0;
    bool scaling_matrix = false;
    // Per list when scaling_matrix: empty = list not present, otherwise the delta_scale values to write.
    std::vector<std::vector<int32_t>> scaling_deltas;
    uint32_t log2_max_frame_num_minus4 = 0;
    uint32_t pic_order_cnt_type = 0;
    uint32_t log2_max_pic_order_cnt_lsb_minus4 = 2;
    uint8_t delta_pic_order_always_zero_flag = 0;
    int32_t offset_for_non_ref_pic = 0;
    int32_t offset_for_top_to_bottom_field = 0;
    std::vector<int32_t> offset_for_ref_frame;
    uint32_t num_ref_frames = 1;
    uint8_t gaps_in_frame_num_value_allowed_flag = 0;
    uint32_t pic_width_in_mbs_minus1 = 119;
    uint32_t pic_height_in_map_units_minus1 = 67;
    uint8_t frame_mbs_only_flag = 1;
    uint8_t mb_adaptive_frame_field_flag = 0;
    uint8_t direct_8x8_inference_flag = 1;
    uint8_t frame_cropping_flag = 1;
    uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 4;
    bool vui = false;
    // Further bits after the VUI fields the reader decodes (timing info and the rest are not needed).
    bool trailing = true;
};

// One SPS NAL unit without start code, escaped; the offsets are relative to its first byte (the header).
struct BuiltSps {
    std::vector<uint8_t> nal;
    size_t payloadOffset = 1; // profile_idc
    size_t vuiByte = 0;       // byte holding aspect_ratio_info_present_flag (when vui)
    uint8_t vuiBit = 0;
    std::vector<size_t> indexMap; // for every byte of the unescaped unit, its index in nal
    size_t vuiBits = 0;           // bits of the unescaped unit before aspect_ratio_info_present_flag
    size_t decodedBits = 0;       // bits of the unescaped unit up to where an SPS decoder stops

    // Where a reader stands in nal after reading that many bits of the unescaped unit: after the last
    // bit of a byte it stands on the next raw byte, which may be an emulation-prevention byte.
    struct Place {
        size_t byte;
        uint8_t bit;
    };
    Place ReaderPlace(size_t bits) const;
};
BuiltSps BuildSps(const SpsFields &fields);

// The fields of an SPS whose VUI carries aspect_ratio_idc idc (and width:height for 255).
SpsFields WithSar(uint8_t idc, uint16_t width = 0, uint16_t height = 0);
// The same fields for a picture of 720x576 (45 x 36 macroblocks, no cropping).
SpsFields At720x576(SpsFields fields);

// Start code 00 00 00 01 followed by the unit.
std::vector<uint8_t> WithStartCode(const std::vector<uint8_t> &nal);
void Append(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes);
