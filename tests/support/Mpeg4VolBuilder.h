#pragma once

// Test-only writer of MPEG-4 Part 2 video object layer headers (ISO/IEC 14496-2 6.2.3) from a description
// of every element up to the picture size, in range or not, and of the headers that lead a VOL at the
// head of a stream. Records where it wrote aspect_ratio_info, for checks of the reader's positions.

#include <cstdint>
#include <vector>

struct Mpeg4VolFields {
    uint8_t layer_id = 0;
    bool random_accessible_vol = false;
    uint8_t video_object_type_indication = 1; // Simple
    bool is_object_layer_identifier = false;
    uint8_t verid = 1;
    uint8_t priority = 1;
    uint8_t aspect_ratio_info = 1;
    uint8_t par_width = 0; // with aspect_ratio_info 15
    uint8_t par_height = 0;
    bool vol_control_parameters = false;
    uint8_t chroma_format = 1;
    bool low_delay = false;
    bool vbv_parameters = false;
    uint8_t shape = 0; // rectangular
    uint16_t vop_time_increment_resolution = 25;
    bool fixed_vop_rate = false;
    uint16_t fixed_vop_time_increment = 1;
    uint16_t width = 720;
    uint16_t height = 576;
    bool interlaced = false;
    bool marker = true; // every marker bit's value
};

struct BuiltVol {
    std::vector<uint8_t> bytes; // the start code value (20..2F) first
    int64_t aspectRatioBit = 0; // from the first byte
};

BuiltVol BuildVol(const Mpeg4VolFields &fields);
// The VOL behind the visual object sequence (Simple profile), visual object and video object 0 headers,
// each behind its start code (00 00 01).
std::vector<uint8_t> Mpeg4StreamHeaders(const std::vector<uint8_t> &vol);
