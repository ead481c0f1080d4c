#pragma once

// MPEG-4 Part 2 video object layer header (ISO/IEC 14496-2 6.2.3), read from the bytes of one unit: the
// start code value (20..2F) first, then the fields up to the picture size and the interlaced flag. No
// emulation prevention: the only 00 00 01 are start codes.

#include <cstdint>
#include <vector>

inline constexpr uint8_t Mpeg4VisualObjectSequenceCode = 0xB0;
inline constexpr uint8_t Mpeg4UserDataCode = 0xB2;
inline constexpr uint8_t Mpeg4VisualObjectCode = 0xB5;
inline constexpr uint8_t Mpeg4LastVideoObjectCode = 0x1F;
inline constexpr uint8_t Mpeg4FirstVideoObjectLayerCode = 0x20;
inline constexpr uint8_t Mpeg4LastVideoObjectLayerCode = 0x2F;
// aspect_ratio_info 15: par_width and par_height follow.
inline constexpr uint8_t Mpeg4ExtendedPar = 15;
inline constexpr uint32_t Mpeg4MaxParTerm = 255;
// video_object_layer_shape (Table 6-14).
inline constexpr uint8_t Mpeg4RectangularShape = 0;

struct TVideoObjectLayer {
    uint8_t video_object_layer_id = 0; // the low four bits of the start code value
    uint8_t random_accessible_vol = 0;
    uint8_t video_object_type_indication = 0;
    uint8_t is_object_layer_identifier = 0;
    uint8_t video_object_layer_verid = 1; // the visual object's where the layer names none
    uint8_t video_object_layer_priority = 0;
    uint8_t aspect_ratio_info = 0;
    uint8_t par_width = 0;
    uint8_t par_height = 0;
    uint8_t vol_control_parameters = 0;
    uint8_t chroma_format = 0;
    uint8_t low_delay = 0;
    uint8_t vbv_parameters = 0;
    uint8_t video_object_layer_shape = 0;
    uint16_t vop_time_increment_resolution = 0;
    uint8_t fixed_vop_rate = 0;
    uint16_t fixed_vop_time_increment = 0;
    // Rectangular layers only: their size is in the header.
    uint16_t video_object_layer_width = 0;
    uint16_t video_object_layer_height = 0;
    uint8_t interlaced = 0;
    // Where aspect_ratio_info lies, in bits from the unit's first byte (the start code value).
    int64_t AspectRatioBit = 0;

    bool Rectangular() const { return video_object_layer_shape == Mpeg4RectangularShape; }
};

inline bool IsMpeg4VideoObjectLayerCode(uint8_t code) {
    return code >= Mpeg4FirstVideoObjectLayerCode && code <= Mpeg4LastVideoObjectLayerCode;
}

// Reads the header (bytes[0] is the start code value). A layer that is not rectangular is read up to its
// shape: it gives no picture size. Raises EInOutError when the bytes end before the fields do, Exception
// when a field is outside its range or a marker bit is 0.
TVideoObjectLayer ReadVideoObjectLayer(const std::vector<uint8_t> &bytes);
