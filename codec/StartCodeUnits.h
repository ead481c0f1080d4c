#pragma once

// What the codecs whose units lie behind start codes without emulation prevention share (MPEG-1/2 video,
// MPEG-4 Part 2): configuration records that are a run of such units, and the rule for new bits that the
// only 00 00 01 in the stream are start codes.

#include "Codec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The length of the start code (zero bytes, then 00 00 01) the bytes open with; 0 for none.
size_t OpeningStartCode(const uint8_t *bytes, size_t size);

// The units of a record (Matroska CodecPrivate, MP4 decoder specific information) that state a ratio.
TCodecConfig ReadStartCodeConfig(const TCodec &codec, const std::vector<uint8_t> &record);

// The rewrite of a unit whose bytes first..last were written into after: its span takes in two bytes on
// each side inside the unit, where a start code made or broken would show, and it is refused when after
// does not hold a start code (00 00 01) at exactly the places before does there, as that would change
// what the stream's units are. fieldsFileOffset names the place in the message.
TUnitRewrite StartCodeRewrite(const std::vector<uint8_t> &before, std::vector<uint8_t> after, int64_t first,
                              int64_t last, int64_t fieldsFileOffset);
