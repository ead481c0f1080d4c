#pragma once

// The elementary stream descriptor box (esds) of an MP4 sample entry (ISO/IEC 14496-1 7.2.6, 14496-14):
// the object type of its decoder configuration, which tells what an mp4v entry holds (MPEG-4 Part 2,
// MPEG-2 or MPEG-1 video), and where the decoder specific information lies (for MPEG video, the
// sequence header or the video object layer).

#include <cstddef>
#include <cstdint>

struct TEsds {
    uint8_t ObjectType = 0;
    // Where the decoder specific information's bytes lie in the box's payload, -1 without one.
    int64_t SpecificInfoOffset = -1;
    int64_t SpecificInfoSize = 0;
};

// Reads an esds box's payload (version and flags first); raises Exception when it holds no decoder
// configuration descriptor or a descriptor runs past the payload.
TEsds ReadEsds(const uint8_t *bytes, size_t size);
