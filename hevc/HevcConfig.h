#pragma once

// The HEVC decoder configuration record (ISO/IEC 14496-15 "hvcC"): the length-prefix size of the NAL
// units in samples and frames, and arrays of parameter sets and SEI by NAL unit type. MP4 sample entries
// hvc1 and hev1 carry it in an hvcC box, Matroska in the CodecPrivate of a V_MPEGH/ISO/HEVC track.

#include <cstddef>
#include <cstdint>
#include <vector>

struct THevcDecoderConfig {
    // One NAL unit of an array: offset of its first header byte from the record's first byte, and length.
    struct TNalUnit {
        uint8_t Type = 0; // the array's NAL_unit_type
        int64_t Offset = 0;
        int64_t Length = 0;
    };
    uint8_t ConfigurationVersion = 0;
    uint8_t GeneralProfileIdc = 0;
    uint8_t GeneralLevelIdc = 0;
    int LengthSize = 4; // lengthSizeMinusOne + 1: 1, 2 or 4
    std::vector<TNalUnit> NalUnits;
};

// Reads a record. Raises Exception with the reason when it is shorter than its counts and lengths say, or
// declares a length size of 3 bytes (which the format does not allow).
THevcDecoderConfig ReadHevcDecoderConfig(const uint8_t *record, size_t size);
