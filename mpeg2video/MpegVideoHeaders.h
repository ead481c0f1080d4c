#pragma once

// MPEG-1 and MPEG-2 video headers of the sequence level (ISO/IEC 11172-2 2.4.2.3, 13818-2 6.2.2): the
// sequence header and the extensions behind it, read from the bytes of one unit: the sequence header's
// code byte (B3) first, then its fields and whatever start codes of extensions and user data follow before
// the next unit. No emulation prevention: the only 00 00 01 are start codes.

#include <cstdint>
#include <memory>
#include <vector>

inline constexpr uint8_t MpegSequenceHeaderCode = 0xB3;
inline constexpr uint8_t MpegExtensionStartCode = 0xB5;
inline constexpr uint8_t MpegUserDataStartCode = 0xB2;
inline constexpr uint8_t MpegSequenceExtensionId = 1;
inline constexpr uint8_t MpegSequenceDisplayExtensionId = 2;
// Sizes of 14 bits (display sizes) and 12 (+2 of the sequence extension) bits (picture sizes).
inline constexpr uint32_t MaxMpegDisplaySize = (1u << 14) - 1;

// sequence_extension(): the fields that tell the picture and the stream apart from MPEG-1.
struct TMpegSequenceExtension {
    uint8_t profile_and_level_indication = 0;
    uint8_t progressive_sequence = 0;
    uint8_t chroma_format = 0;
    uint8_t horizontal_size_extension = 0;
    uint8_t vertical_size_extension = 0;
    uint8_t low_delay = 0;
};

// sequence_display_extension(): what the picture is meant to show as, and the display size the
// display aspect ratio applies to. Positions count in bits from the unit's first byte.
struct TMpegSequenceDisplayExtension {
    uint8_t video_format = 5; // Table 6-6, the table of H.264's video_format; 5: unspecified
    uint8_t colour_description = 0;
    uint8_t colour_primaries = 0;
    uint8_t transfer_characteristics = 0;
    uint8_t matrix_coefficients = 0;
    uint32_t display_horizontal_size = 0;
    uint32_t display_vertical_size = 0;
    int64_t DisplayHorizontalSizeBit = 0;
    int64_t DisplayVerticalSizeBit = 0;
};

// The sequence header with what follows it in the unit.
struct TMpegSequence {
    uint32_t horizontal_size_value = 0;
    uint32_t vertical_size_value = 0;
    uint8_t aspect_ratio_information = 0;
    uint8_t frame_rate_code = 0;
    uint32_t bit_rate_value = 0;
    uint32_t vbv_buffer_size_value = 0;
    uint8_t constrained_parameters_flag = 0;
    uint8_t load_intra_quantiser_matrix = 0;
    uint8_t load_non_intra_quantiser_matrix = 0;
    // Absent in MPEG-1; its presence makes the stream MPEG-2.
    std::unique_ptr<TMpegSequenceExtension> SequenceExtension;
    std::unique_ptr<TMpegSequenceDisplayExtension> DisplayExtension;

    bool IsMpeg2() const { return SequenceExtension != nullptr; }
    // The picture size in samples, with the extension's high bits.
    int32_t Width() const;
    int32_t Height() const;
};

// Where aspect_ratio_information lies: the upper half of the unit's fifth byte.
inline constexpr int64_t MpegAspectRatioByte = 4;

// Reads the unit (bytes[0] is the sequence header code). Raises EInOutError when the bytes end before the
// sequence header's fields do, or before an extension's in a complete unit; Exception when a field is
// outside its range or a marker bit is 0. An extension cut off by the end of an incomplete unit is left
// unread.
TMpegSequence ReadMpegSequence(const std::vector<uint8_t> &bytes, bool complete);
