#pragma once

// Test-only builder of ISO base media files box by box: the boxes the MP4 scanner reads, and whole small
// files with H.264 tracks whose samples hold the NAL units a test gives.

#include "RiffBuilder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

ByteVector BigEndian16(uint16_t value);
ByteVector BigEndian32(uint32_t value);
ByteVector BigEndian64(uint64_t value);
// A box: 32-bit size, type, payload.
ByteVector Box(const std::string &type, const ByteVector &payload);
// A full box: version and flags in front of the payload.
ByteVector FullBox(const std::string &type, uint8_t version, uint32_t flags, const ByteVector &payload);
// The AVC decoder configuration record (avcC payload) of these parameter sets.
ByteVector AvcConfig(const std::vector<ByteVector> &sps, const std::vector<ByteVector> &pps,
                     int lengthSize = 4);
// NAL units with a length in front of each, as a sample holds them.
ByteVector LengthPrefixed(const std::vector<ByteVector> &units, int lengthSize = 4);

struct Mp4Track {
    uint32_t id = 1;
    std::string entry = "avc1"; // the sample entry's type
    std::string handler = "vide";
    uint16_t width = 720;
    uint16_t height = 576;
    std::vector<ByteVector> sps; // in the avcC
    int lengthSize = 4;
    std::optional<std::pair<uint32_t, uint32_t>> pasp;
    uint32_t displayWidth = 720u << 16; // tkhd, 16.16
    uint32_t displayHeight = 576u << 16;
    int tkhdVersion = 0;
    bool tapt = false; // clef and prof of the display size, enof of the entry's size
    // The NAL units of every sample (one chunk per sample).
    std::vector<std::vector<ByteVector>> samples;
};

// ftyp, then mdat with the samples and moov with the tracks (or moov first when moovFirst).
ByteVector Mp4File(const std::vector<Mp4Track> &tracks, bool moovFirst = false);
// The moov box alone, with the chunk offsets given (one per sample of each track, in order).
ByteVector MovieBox(const std::vector<Mp4Track> &tracks,
                    const std::vector<std::vector<uint32_t>> &chunkOffsets);
