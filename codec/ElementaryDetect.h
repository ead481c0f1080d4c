#pragma once

// Which codec's elementary stream a file's first bytes begin as, told by the first units themselves: the
// start code at the very beginning, the header of the unit behind it and the headers of the units that
// follow. A stream no rule claims is no stream of a codec the program knows.

#include <cstddef>
#include <cstdint>
#include <string>

// The key of the codec whose elementary stream the bytes begin as ("h264", "hevc", "mpeg2video",
// "mpeg1video", "mpeg4visual"); empty when none claims them.
std::string DetectElementaryCodec(const uint8_t *head, size_t size);
