#include "Mpeg4VisualHeaders.h"

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "bitstream/SyntaxElements.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>
#include <bit>

namespace {

void ReadMarker(TFastBitstream &reader) {
    ReadBitsInRange(reader, 1, "marker_bit", 1, 1);
}

void SkipVbvParameters(TFastBitstream &reader) {
    reader.ReadBits(15); // first_half_bit_rate
    ReadMarker(reader);
    reader.ReadBits(15); // latter_half_bit_rate
    ReadMarker(reader);
    reader.ReadBits(15); // first_half_vbv_buffer_size
    ReadMarker(reader);
    reader.ReadBits(3);  // latter_half_vbv_buffer_size
    reader.ReadBits(11); // first_half_vbv_occupancy
    ReadMarker(reader);
    reader.ReadBits(15); // latter_half_vbv_occupancy
    ReadMarker(reader);
}

} // namespace

TVideoObjectLayer ReadVideoObjectLayer(const std::vector<uint8_t> &bytes) {
    TMemoryStream memory(bytes);
    TFastBitstream reader(static_cast<int64_t>(std::max<size_t>(bytes.size(), 16)));
    reader.SetEmulationPrevention(TEmulationPrevention::Absent);
    reader.AttachRange(&memory, 0, 0, memory.Size(), 0);
    TVideoObjectLayer layer;
    const uint32_t code = ReadBitsInRange(reader, 8, "video_object_layer_start_code",
                                          Mpeg4FirstVideoObjectLayerCode, Mpeg4LastVideoObjectLayerCode);
    layer.video_object_layer_id = static_cast<uint8_t>(code & 0x0F);
    layer.random_accessible_vol = ReadFlag(reader);
    layer.video_object_type_indication = static_cast<uint8_t>(reader.ReadBits(8));
    layer.is_object_layer_identifier = ReadFlag(reader);
    if (layer.is_object_layer_identifier == 1) {
        layer.video_object_layer_verid =
            static_cast<uint8_t>(ReadBitsInRange(reader, 4, "video_object_layer_verid", 1, 15));
        layer.video_object_layer_priority = static_cast<uint8_t>(reader.ReadBits(3));
    }
    // Forbidden and reserved codes, and extended terms of 0, are read as they are: the row shows them, and
    // a change may mend them.
    layer.AspectRatioBit = reader.Position() * 8 + reader.BitOffset();
    layer.aspect_ratio_info = static_cast<uint8_t>(reader.ReadBits(4));
    if (layer.aspect_ratio_info == Mpeg4ExtendedPar) {
        layer.par_width = static_cast<uint8_t>(reader.ReadBits(8));
        layer.par_height = static_cast<uint8_t>(reader.ReadBits(8));
    }
    layer.vol_control_parameters = ReadFlag(reader);
    if (layer.vol_control_parameters == 1) {
        layer.chroma_format = static_cast<uint8_t>(reader.ReadBits(2));
        layer.low_delay = ReadFlag(reader);
        layer.vbv_parameters = ReadFlag(reader);
        if (layer.vbv_parameters == 1)
            SkipVbvParameters(reader);
    }
    layer.video_object_layer_shape = static_cast<uint8_t>(reader.ReadBits(2));
    if (!layer.Rectangular())
        return layer;
    ReadMarker(reader);
    layer.vop_time_increment_resolution =
        static_cast<uint16_t>(ReadBitsInRange(reader, 16, "vop_time_increment_resolution", 1, 65535));
    ReadMarker(reader);
    layer.fixed_vop_rate = ReadFlag(reader);
    if (layer.fixed_vop_rate == 1) {
        // As many bits as vop_time_increment_resolution - 1 needs, at least one.
        const auto bits = static_cast<uint8_t>(
            std::max(1, static_cast<int>(std::bit_width(uint32_t{layer.vop_time_increment_resolution} - 1))));
        layer.fixed_vop_time_increment = static_cast<uint16_t>(reader.ReadBits(bits));
    }
    ReadMarker(reader);
    layer.video_object_layer_width =
        static_cast<uint16_t>(ReadBitsInRange(reader, 13, "video_object_layer_width", 1, 8191));
    ReadMarker(reader);
    layer.video_object_layer_height =
        static_cast<uint16_t>(ReadBitsInRange(reader, 13, "video_object_layer_height", 1, 8191));
    ReadMarker(reader);
    layer.interlaced = ReadFlag(reader);
    return layer;
}
