#pragma once

// Reading the fuzzer's bytes as choices: structure-aware targets build their files from them, so that
// deep nesting, lying sizes and damaged SPS are reached in seconds rather than by chance.

#include "BitWriter.h"
#include "Mpeg4VolBuilder.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : FData(data), FSize(size) {}

    bool Empty() const { return FAt >= FSize; }
    // The next byte, or 0 once the input is used up.
    uint8_t Byte() { return FAt < FSize ? FData[FAt++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    uint32_t Long() { return static_cast<uint32_t>(Word()) << 16 | Word(); }
    bool Flag() { return (Byte() & 1) != 0; }
    // One of the values, chosen by the next byte.
    template <typename T, size_t N> T Pick(const T (&values)[N]) { return values[Byte() % N]; }
    // Mostly a value inside [0, inside], now and then one just outside it or far outside it.
    uint32_t Element(uint32_t inside) {
        const uint8_t kind = Byte();
        if (kind < 248)
            return inside == 0 ? 0 : Byte() % (inside + 1);
        if (kind < 253)
            return inside + 1 + Byte() % 4;
        return Long();
    }
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < count && !Empty(); ++i)
            bytes.push_back(Byte());
        return bytes;
    }

private:
    const uint8_t *FData;
    size_t FSize;
    size_t FAt = 0;
};

// An SPS NAL unit whose fields the input chooses: the profiles that read chroma fields and those that do
// not, every element mostly in its range and sometimes out of it, a VUI with each kind of aspect ratio.
// Zero bytes (what a short input runs out into) give a valid SPS with a ratio.
inline std::vector<uint8_t> FuzzSps(FuzzInput &in) {
    SpsFields f;
    static constexpr uint8_t Profiles[] = {66, 77, 88,  100, 110, 122, 244, 44,
                                           83, 86, 118, 128, 138, 139, 134, 135};
    f.profile_idc = in.Pick(Profiles);
    f.constraint_flags = in.Byte();
    f.level_idc = in.Byte();
    f.seq_parameter_set_id = in.Element(31);
    f.chroma_format_idc = in.Element(3);
    f.separate_colour_plane_flag = in.Flag();
    f.bit_depth_luma_minus8 = in.Element(6);
    f.bit_depth_chroma_minus8 = in.Element(6);
    f.qpprime_y_zero_transform_bypass_flag = in.Flag();
    f.scaling_matrix = (in.Byte() & 7) == 7;
    if (f.scaling_matrix) {
        f.scaling_deltas.resize(f.chroma_format_idc == 3 ? 12 : 8);
        for (auto &list : f.scaling_deltas)
            if (in.Flag())
                list.assign(1 + in.Byte() % 4, static_cast<int8_t>(in.Byte()));
    }
    f.log2_max_frame_num_minus4 = in.Element(12);
    f.pic_order_cnt_type = in.Element(2);
    f.log2_max_pic_order_cnt_lsb_minus4 = in.Element(12);
    f.delta_pic_order_always_zero_flag = in.Flag();
    f.offset_for_non_ref_pic = static_cast<int32_t>(in.Long());
    f.offset_for_top_to_bottom_field = static_cast<int8_t>(in.Byte());
    f.offset_for_ref_frame.assign(in.Byte() % 4, static_cast<int8_t>(in.Byte()));
    f.num_ref_frames = in.Element(16);
    f.gaps_in_frame_num_value_allowed_flag = in.Flag();
    f.pic_width_in_mbs_minus1 = in.Element(255);
    f.pic_height_in_map_units_minus1 = in.Element(255);
    f.frame_mbs_only_flag = in.Flag();
    f.mb_adaptive_frame_field_flag = in.Flag();
    f.direct_8x8_inference_flag = in.Flag();
    f.frame_cropping_flag = in.Flag();
    f.crop_left = in.Element(8);
    f.crop_right = in.Element(8);
    f.crop_top = in.Element(8);
    f.crop_bottom = in.Element(8);
    f.vui = (in.Byte() & 7) != 7;
    f.aspect_ratio_info_present_flag = (in.Byte() & 7) != 7;
    static constexpr uint8_t Codes[] = {1, 255, 2, 3, 4, 13, 14, 16, 255, 0, 17, 100, 254, 255};
    f.aspect_ratio_idc = in.Pick(Codes);
    f.sar_width = static_cast<uint16_t>(in.Word() + 1);
    f.sar_height = static_cast<uint16_t>(in.Word() + 1);
    f.overscan_info_present_flag = in.Flag();
    f.overscan_appropriate_flag = in.Flag();
    f.video_signal_type_present_flag = in.Flag();
    f.video_format = in.Byte() & 7;
    f.video_full_range_flag = in.Flag();
    f.colour_description_present_flag = in.Flag();
    f.trailing = (in.Byte() & 15) != 15;
    std::vector<uint8_t> nal = BuildSps(f).nal;
    // Now and then cut short.
    if ((in.Byte() & 7) == 7 && !nal.empty())
        nal.resize(1 + in.Byte() % nal.size());
    return nal;
}

// Where an SPS lies in elementary stream bytes: its header byte and its length.
struct TSpsPlace {
    size_t At;
    size_t Length;
};

// Appends H.264 elementary stream bytes the input chooses: delimiters, SPS (their places in es told when
// places is given), SEI-like units of up to 255 times seiStep bytes, which push what follows across
// packets, and bytes that are no unit.
inline void AppendFuzzH264Units(FuzzInput &in, std::vector<uint8_t> &es, std::vector<TSpsPlace> *places,
                                size_t seiStep) {
    const int units = 1 + in.Byte() % 4;
    for (int i = 0; i < units; ++i) {
        switch (in.Byte() % 5) {
        case 1:
            Append(es, {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0});
            break;
        case 2: {
            Append(es, {0x00, 0x00, 0x01, 0x06});
            const size_t length = in.Byte() * seiStep;
            for (size_t k = 0; k < length; ++k)
                es.push_back(static_cast<uint8_t>(0x80 | k));
            break;
        }
        case 3:
            Append(es, in.Bytes(in.Byte() % 32));
            break;
        default: {
            const std::vector<uint8_t> sps = FuzzSps(in);
            Append(es, WithStartCode(sps));
            if (places != nullptr)
                places->push_back({es.size() - sps.size(), sps.size()});
            break;
        }
        }
    }
}

// The headers of an MPEG-4 Part 2 stream (visual object sequence, visual object, video object, VOL)
// behind their start codes, the VOL's fields chosen by the input: every optional field, each form of the
// ratio, reserved codes and terms of 0, now and then a marker of 0 or a shape that is not rectangular.
inline std::vector<uint8_t> FuzzMpeg4Headers(FuzzInput &in) {
    Mpeg4VolFields f;
    f.layer_id = in.Byte() % 16;
    f.video_object_type_indication = in.Byte();
    f.is_object_layer_identifier = in.Flag();
    f.verid = in.Byte() % 16;
    f.priority = in.Byte() % 8;
    static constexpr uint8_t Codes[] = {1, 15, 2, 3, 4, 5, 15, 0, 6, 14};
    f.aspect_ratio_info = in.Pick(Codes);
    f.par_width = in.Byte();
    f.par_height = in.Byte();
    f.vol_control_parameters = in.Flag();
    f.vbv_parameters = in.Flag();
    f.shape = (in.Byte() & 7) == 7 ? in.Byte() % 4 : 0;
    f.vop_time_increment_resolution = in.Word();
    f.fixed_vop_rate = in.Flag();
    f.fixed_vop_time_increment = in.Word();
    f.width = in.Word() % 8192;
    f.height = in.Word() % 8192;
    f.interlaced = in.Flag();
    f.marker = (in.Byte() & 15) != 15;
    return Mpeg4StreamHeaders(BuildVol(f).bytes);
}
