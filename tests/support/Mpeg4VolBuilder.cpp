#include "Mpeg4VolBuilder.h"

#include "BitWriter.h"

#include <algorithm>
#include <bit>
#include <iterator>

BuiltVol BuildVol(const Mpeg4VolFields &f) {
    BitWriter writer;
    writer.Bits(0x20u | f.layer_id, 8);
    writer.Bit(f.random_accessible_vol);
    writer.Bits(f.video_object_type_indication, 8);
    writer.Bit(f.is_object_layer_identifier);
    if (f.is_object_layer_identifier) {
        writer.Bits(f.verid, 4);
        writer.Bits(f.priority, 3);
    }
    BuiltVol built;
    built.aspectRatioBit = static_cast<int64_t>(writer.BitCount());
    writer.Bits(f.aspect_ratio_info, 4);
    if (f.aspect_ratio_info == 15) {
        writer.Bits(f.par_width, 8);
        writer.Bits(f.par_height, 8);
    }
    writer.Bit(f.vol_control_parameters);
    if (f.vol_control_parameters) {
        writer.Bits(f.chroma_format, 2);
        writer.Bit(f.low_delay);
        writer.Bit(f.vbv_parameters);
        if (f.vbv_parameters) {
            for (int half : {15, 15, 15}) {
                writer.Bits(0x1234, half);
                writer.Bit(f.marker);
            }
            writer.Bits(5, 3);
            writer.Bits(0x123, 11);
            writer.Bit(f.marker);
            writer.Bits(0x1234, 15);
            writer.Bit(f.marker);
        }
    }
    writer.Bits(f.shape, 2);
    writer.Bit(f.marker);
    writer.Bits(f.vop_time_increment_resolution, 16);
    writer.Bit(f.marker);
    writer.Bit(f.fixed_vop_rate);
    if (f.fixed_vop_rate) {
        const int bits = std::max(
            1, static_cast<int>(std::bit_width(static_cast<unsigned>(f.vop_time_increment_resolution - 1))));
        writer.Bits(f.fixed_vop_time_increment, bits);
    }
    if (f.shape == 0) {
        writer.Bit(f.marker);
        writer.Bits(f.width, 13);
        writer.Bit(f.marker);
        writer.Bits(f.height, 13);
        writer.Bit(f.marker);
    }
    writer.Bit(f.interlaced);
    writer.Bit(true);  // obmc_disable
    writer.Bits(0, 1); // sprite_enable
    writer.Bits(0, 1); // not_8_bit
    writer.Bits(0, 1); // quant_type
    writer.Bit(true);  // complexity_estimation_disable
    writer.Bit(true);  // resync_marker_disable
    writer.Bits(0, 1); // data_partitioned
    writer.Bits(0, 1); // scalability
    writer.Bit(false); // next_start_code(): a 0 bit, then ones up to the byte boundary
    while (writer.BitCount() % 8 != 0)
        writer.Bit(true);
    built.bytes = writer.Bytes();
    return built;
}

std::vector<uint8_t> Mpeg4StreamHeaders(const std::vector<uint8_t> &vol) {
    static constexpr uint8_t Leading[] = {
        0x00, 0x00, 0x01, 0xB0, 0x01, // visual object sequence, Simple L1
        0x00, 0x00, 0x01, 0xB5, 0x09, // visual object: video, no verid, no signal type
        0x00, 0x00, 0x01, 0x00,       // video object 0
        0x00, 0x00, 0x01};
    std::vector<uint8_t> bytes(std::begin(Leading), std::end(Leading));
    for (uint8_t byte : vol)
        bytes.push_back(byte);
    return bytes;
}
