#pragma once

// Test-only builder of ISO base media files box by box: the boxes the MP4 scanner reads, and whole small
// files with H.264 tracks whose samples hold the NAL units a test gives.

#include "RiffBuilder.h"

#include <cstdint>
#include <functional>
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
// A box whose header gives its size in 64 bits (size field 1, then the size behind the type).
ByteVector LargeBox(const std::string &type, const ByteVector &payload);
// The same box with the other header: 8 bytes longer, its payload unchanged.
ByteVector WithLargeHeader(const ByteVector &box);
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
    // tkhd's display matrix: a b u c d v x y w (2.30 for u, v, w; 16.16 for the rest).
    std::vector<uint32_t> matrix{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    bool tapt = false; // clef and prof of the display size, enof of the entry's size
    // Boxes of these types (tkhd, avc1, clef, prof, pasp, avcC, stsz, ...) get a 64-bit size in their
    // header.
    std::vector<std::string> largeHeaders;
    // A second avcC behind the first, with these SPS, when not empty.
    std::vector<ByteVector> secondConfigSps;
    // The NAL units of every sample (one chunk per sample).
    std::vector<std::vector<ByteVector>> samples;
    // An esds with a decoder configuration of this object type (0x20 MPEG-4 Part 2, 0x61 MPEG-2 video,
    // 0x6A MPEG-1 video) and this decoder specific information, in place of the avcC; the samples then hold
    // their units behind start codes (00 00 01) instead of lengths.
    std::optional<uint8_t> esdsObjectType;
    ByteVector esdsSpecificInfo;
};

// The esds payload (version and flags included) of an ES descriptor with a decoder configuration of the
// object type and its decoder specific information.
ByteVector EsdsPayload(uint8_t objectType, const ByteVector &specificInfo);
// The bytes of one sample of the track: its units behind lengths, or behind start codes.
ByteVector SampleBytes(const Mp4Track &track, const std::vector<ByteVector> &units);

// A 720x576 track whose avcC SPS, pasp and tkhd (1024x576) all state 64:45, with these samples.
Mp4Track AnamorphicTrack(std::vector<std::vector<ByteVector>> samples = {});
// ftyp, then mdat with the samples and moov with the tracks (or moov first when moovFirst).
ByteVector Mp4File(const std::vector<Mp4Track> &tracks, bool moovFirst = false);
ByteVector FileTypeBox();
// The moov box alone, with the chunk offsets given (one per sample of each track, in order); extra goes
// inside it behind the tracks.
ByteVector MovieBox(const std::vector<Mp4Track> &tracks,
                    const std::vector<std::vector<uint32_t>> &chunkOffsets, const ByteVector &extra = {});

// Movie fragments. A run of samples (trun): their sizes listed, or only their count when sizes are not
// listed (the defaults of tfhd or trex give them then).
struct Mp4Run {
    std::optional<int32_t> dataOffset;
    std::vector<uint32_t> sizes;
    bool listSizes = true;
    uint32_t count = 0; // when the sizes are not listed
};
struct Mp4TrackFragment {
    uint32_t trackId = 1;
    std::optional<uint64_t> baseOffset; // tfhd's base data offset
    bool baseIsMoof = false;            // default-base-is-moof
    std::optional<uint32_t> defaultSize;
    std::vector<Mp4Run> runs;
};
ByteVector MovieFragment(const std::vector<Mp4TrackFragment> &trackFragments);
// The moov of a fragmented file: the tracks without samples, and a trex for each with this default
// sample size.
ByteVector FragmentedMovieBox(std::vector<Mp4Track> tracks, uint32_t defaultSize = 0);

// Changes to a finished file, real or built. The nth box of the type (found by walking the boxes the
// scanner walks) replaced by the bytes replacement makes of it; every box around it grows or shrinks with
// it. A change of length in front of an mdat would move the samples: it throws.
ByteVector ReplaceMp4Box(const ByteVector &file, const std::string &type,
                         const std::function<ByteVector(const ByteVector &box)> &replacement, size_t nth = 0);
// The bytes of the nth box of the type; throws when there is none.
ByteVector Mp4BoxBytes(const ByteVector &file, const std::string &type, size_t nth = 0);
// Where the nth box of the type begins; throws when there is none.
size_t Mp4BoxStart(const ByteVector &file, const std::string &type, size_t nth = 0);
