#include "BitWriter.h"

void BitWriter::Bit(bool bit) {
    if (FBitCount % 8 == 0)
        FBytes.push_back(0);
    if (bit)
        FBytes.back() |= static_cast<uint8_t>(0x80 >> (FBitCount % 8));
    ++FBitCount;
}

void BitWriter::Bits(uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i)
        Bit(((value >> i) & 1) != 0);
}

void BitWriter::UE(uint32_t value) {
    uint64_t code = uint64_t{value} + 1;
    int length = 0;
    while ((code >> length) > 1)
        ++length;
    Bits(0, length);
    Bits(code, length + 1);
}

void BitWriter::SE(int32_t value) {
    int64_t v = value;
    UE(static_cast<uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

void BitWriter::Trailing() {
    Bit(true);
    while (FBitCount % 8 != 0)
        Bit(false);
}

std::vector<uint8_t> EscapeRbsp(const std::vector<uint8_t> &rbsp, std::vector<size_t> *indexMap) {
    std::vector<uint8_t> out;
    int zeros = 0;
    if (indexMap)
        indexMap->clear();
    for (uint8_t byte : rbsp) {
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        if (indexMap)
            indexMap->push_back(out.size());
        out.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    if (zeros >= 2)
        out.push_back(3);
    return out;
}

BuiltSps BuildSps(const SpsFields &f) {
    BitWriter w;
    w.Bits(f.nal_header, 8);
    w.Bits(f.profile_idc, 8);
    w.Bits(f.constraint_flags, 8);
    w.Bits(f.level_idc, 8);
    w.UE(f.seq_parameter_set_id);
    switch (f.profile_idc) {
    case 44:
    case 83:
    case 86:
    case 100:
    case 110:
    case 118:
    case 122:
    case 128:
    case 134:
    case 135:
    case 138:
    case 139:
    case 244: {
        w.UE(f.chroma_format_idc);
        if (f.chroma_format_idc == 3)
            w.Bit(f.separate_colour_plane_flag);
        w.UE(f.bit_depth_luma_minus8);
        w.UE(f.bit_depth_chroma_minus8);
        w.Bit(f.qpprime_y_zero_transform_bypass_flag);
        w.Bit(f.scaling_matrix);
        if (f.scaling_matrix) {
            size_t lists = f.chroma_format_idc == 3 ? 12 : 8;
            for (size_t i = 0; i < lists; ++i) {
                bool present = i < f.scaling_deltas.size() && !f.scaling_deltas[i].empty();
                w.Bit(present);
                if (present)
                    for (int32_t delta : f.scaling_deltas[i])
                        w.SE(delta);
            }
        }
        break;
    }
    default:
        break;
    }
    w.UE(f.log2_max_frame_num_minus4);
    w.UE(f.pic_order_cnt_type);
    if (f.pic_order_cnt_type == 0) {
        w.UE(f.log2_max_pic_order_cnt_lsb_minus4);
    } else if (f.pic_order_cnt_type == 1) {
        w.Bit(f.delta_pic_order_always_zero_flag);
        w.SE(f.offset_for_non_ref_pic);
        w.SE(f.offset_for_top_to_bottom_field);
        w.UE(static_cast<uint32_t>(f.offset_for_ref_frame.size()));
        for (int32_t offset : f.offset_for_ref_frame)
            w.SE(offset);
    }
    w.UE(f.num_ref_frames);
    w.Bit(f.gaps_in_frame_num_value_allowed_flag);
    w.UE(f.pic_width_in_mbs_minus1);
    w.UE(f.pic_height_in_map_units_minus1);
    w.Bit(f.frame_mbs_only_flag);
    if (!f.frame_mbs_only_flag)
        w.Bit(f.mb_adaptive_frame_field_flag);
    w.Bit(f.direct_8x8_inference_flag);
    w.Bit(f.frame_cropping_flag);
    if (f.frame_cropping_flag) {
        w.UE(f.crop_left);
        w.UE(f.crop_right);
        w.UE(f.crop_top);
        w.UE(f.crop_bottom);
    }
    w.Bit(f.vui);
    size_t vuiBitIndex = w.BitCount();
    if (f.vui) {
        WriteVuiStart(w, f);
    }
    size_t decodedBits = w.BitCount();
    if (f.vui) {
        // chroma_loc_info_present_flag, timing_info_present_flag, both HRD flags, pic_struct_present_flag,
        // bitstream_restriction_flag: all 0.
        w.Bits(0, 6);
    }
    if (f.trailing)
        w.Trailing();
    std::vector<size_t> map;
    BuiltSps built;
    built.nal = EscapeRbsp(w.Bytes(), &map);
    built.payloadOffset = map.size() > 1 ? map[1] : 1;
    built.vuiBits = vuiBitIndex;
    built.decodedBits = decodedBits;
    if (f.vui && vuiBitIndex / 8 < map.size()) {
        built.vuiByte = map[vuiBitIndex / 8];
        built.vuiBit = static_cast<uint8_t>(vuiBitIndex % 8);
    }
    built.indexMap = std::move(map);
    return built;
}

BuiltSps::Place BuiltSps::ReaderPlace(size_t bits) const {
    if (bits % 8 != 0)
        return {indexMap.at(bits / 8), static_cast<uint8_t>(bits % 8)};
    if (bits == 0)
        return {0, 0};
    return {indexMap.at(bits / 8 - 1) + 1, 0};
}

std::vector<uint8_t> WithStartCode(const std::vector<uint8_t> &nal) {
    std::vector<uint8_t> out{0, 0, 0, 1};
    out.insert(out.end(), nal.begin(), nal.end());
    return out;
}

void Append(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

SpsFields WithSar(uint8_t idc, uint16_t width, uint16_t height) {
    SpsFields fields;
    fields.vui = true;
    fields.aspect_ratio_idc = idc;
    fields.sar_width = width;
    fields.sar_height = height;
    return fields;
}

SpsFields At720x576(SpsFields fields) {
    fields.pic_width_in_mbs_minus1 = 44;
    fields.pic_height_in_map_units_minus1 = 35;
    fields.frame_cropping_flag = 0;
    return fields;
}

size_t WriteVuiStart(BitWriter &w, const VuiStartFields &f) {
    w.Bit(f.aspect_ratio_info_present_flag);
    const size_t idcBits = w.BitCount();
    if (f.aspect_ratio_info_present_flag) {
        w.Bits(f.aspect_ratio_idc, 8);
        if (f.aspect_ratio_idc == 255) {
            w.Bits(f.sar_width, 16);
            w.Bits(f.sar_height, 16);
        }
    }
    w.Bit(f.overscan_info_present_flag);
    if (f.overscan_info_present_flag)
        w.Bit(f.overscan_appropriate_flag);
    w.Bit(f.video_signal_type_present_flag);
    if (f.video_signal_type_present_flag) {
        w.Bits(f.video_format, 3);
        w.Bit(f.video_full_range_flag);
        w.Bit(f.colour_description_present_flag);
        if (f.colour_description_present_flag) {
            w.Bits(f.colour_primaries, 8);
            w.Bits(f.transfer_characteristics, 8);
            w.Bits(f.matrix_coefficients, 8);
        }
    }
    return idcBits;
}
