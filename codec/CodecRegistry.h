#pragma once

// Which codec a container's name for it stands for, and which codec an elementary stream is by its
// content. Containers ask here; none of them reads a codec's syntax itself.

#include "Codec.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// A codec known by name. Codec is what reads and writes its bitstream, null while none does: its tracks
// are named, not read. BitstreamStatesRatio: its bitstream states an aspect ratio of its own that players
// read (MPEG-2's sequence header, say); VP9, AV1, ProRes and the like state none, and the container's
// statement is all there is.
struct TCodecEntry {
    const char *Key;  // "h264", "hevc", ...
    const char *Name; // "H.264", "HEVC", ...
    const TCodec *Codec;
    bool BitstreamStatesRatio;

    // A track of this codec is changed in its container alone: the program writes nothing in its
    // bitstream, and nothing there says otherwise.
    bool ContainerOnly() const { return Codec == nullptr && !BitstreamStatesRatio; }
};

// The codec of an AVI stream's handler code (compared without regard to letter case), of an MP4 visual
// sample entry type, of a Matroska CodecID, of a transport or program stream's stream_type; null when
// unknown.
const TCodecEntry *CodecOfAviHandler(std::string_view fourCC);
const TCodecEntry *CodecOfSampleEntry(std::string_view type);
const TCodecEntry *CodecOfMatroskaId(std::string_view codecId);
const TCodecEntry *CodecOfStreamType(uint8_t streamType);
// The codec of an MP4 decoder configuration's objectTypeIndication (what an mp4v entry holds); null when
// unknown.
const TCodecEntry *CodecOfObjectType(uint8_t objectType);
// The box of an MP4 sample entry of the codec that holds its decoder configuration record ("avcC"); null
// when the codec keeps none there.
const char *ConfigBoxOf(const TCodecEntry &codec);
// The codec whose decoder configuration record that box holds; null for none.
const TCodecEntry *CodecOfConfigBox(std::string_view type);
// The codec whose elementary stream the bytes (a file's first bytes) begin as; null when none claims them.
const TCodecEntry *CodecOfElementaryStream(const uint8_t *head, size_t size);
// What a stream whose container names no codec the program knows is read as when the user asks for it
// (AVI handlers of other programs that hold H.264 all the same).
const TCodecEntry *AssumedCodecOfUnknownHandler();
// The codec with that key; null for none.
const TCodecEntry *CodecByKey(std::string_view key);
// The codecs that read and write their bitstream, in the order the registry lists them.
std::vector<const TCodec *> ReadableCodecs();
// The codec whose access units a PES payload begins as, among the readable ones; null for none.
const TCodec *CodecOfPesPayload(const uint8_t *bytes, size_t size);
