#pragma once

// The AVC decoder configuration record (ISO/IEC 14496-15 "avcC"): the length-prefix size of the NAL
// units in samples and frames, and the parameter sets of the stream. MP4 sample entries carry it in an
// avcC box, Matroska in the CodecPrivate of a V_MPEG4/ISO/AVC track.

#include "codec/NalSource.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct TAvcDecoderConfig {
    // One parameter set: offset of its NAL unit's header byte from the record's first byte, and length.
    struct TParameterSet {
        int64_t Offset = 0;
        int64_t Length = 0;
    };
    uint8_t ConfigurationVersion = 0;
    uint8_t AVCProfileIndication = 0;
    uint8_t AVCLevelIndication = 0;
    int LengthSize = 4; // lengthSizeMinusOne + 1: 1, 2 or 4
    std::vector<TParameterSet> SequenceParameterSets;
    std::vector<TParameterSet> PictureParameterSets;
};

// Reads a record. Raises Exception with the reason when it is shorter than its counts and lengths say,
// or declares a length size of 3 bytes (which the format does not allow).
TAvcDecoderConfig ReadAvcDecoderConfig(const uint8_t *record, size_t size);

// An SPS of a record as a unit to scan: its offset in the record, and its bytes up to MaxSpsBytes (a longer
// one is marked incomplete).
struct TConfigSps {
    int64_t Offset = 0;
    TNalUnitBytes Unit;
};

// The parameter sets of the configuration whose header byte says SPS.
std::vector<TConfigSps> ConfigSpsUnits(const TAvcDecoderConfig &config, const std::vector<uint8_t> &record);
