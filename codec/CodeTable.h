#pragma once

// Looking up a codec's table of ratio codes for a ratio that matches none of them exactly.

#include "Codec.h"

#include <cstdint>

// The code of the codec's table whose ratio at width x height lies within share of sar (0.01: 1%), the
// nearest of them; 0 for none, and for a ratio with a term below 1.
uint8_t NearestCodeWithin(const TCodec &codec, TRatio sar, int64_t width, int64_t height, double share);
