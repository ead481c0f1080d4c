#pragma once

// Test-only builder of MPEG program streams and MPEG-1 system streams packet by packet: pack headers of
// either standard with their stuffing, system headers, program stream maps with their CRC, PES packets of
// either header form (stuffing, time stamps, PES_CRC), padding and other packets, DVD's 2048-byte packs.
// And a plain reader of a well-formed stream's video, which tells the file offset of every byte of it.

#include "TsBuilder.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// How a PES packet's header is built.
struct PsPesOptions {
    bool mpeg1 = false; // MPEG-1's form (ISO/IEC 11172-1): stuffing, STD buffer size, time stamps
    int stuffing = 0;   // stuffing bytes in the header
    int64_t pts = -1;   // presentation time stamp, none when negative
    bool crc = false;   // PES_CRC_flag with its field (MPEG-2's form only)
};

class PsBuilder {
public:
    // Pack headers of MPEG-1's form (12 bytes) or MPEG-2's (14 bytes and stuffing).
    explicit PsBuilder(bool mpeg1 = false) : FMpeg1(mpeg1) {}

    void Pack(int stuffing = 0);
    void SystemHeader();
    // A program stream map naming (stream_type, elementary_stream_id) pairs; current: current_next_indicator.
    void Map(const std::vector<std::pair<uint8_t, uint8_t>> &streams, bool current = true);
    // One PES packet of the stream carrying data. Returns the file offset of every byte of data.
    std::vector<int64_t> Pes(uint8_t id, const ByteVector &data, const PsPesOptions &options = {});
    // A packet of the stream_id with the payload as it is (padding, private streams, system header).
    void Packet(uint8_t id, const ByteVector &payload);
    // A padding packet of count bytes in all (at least 6).
    void Padding(size_t count);
    void EndCode();
    // Bytes that are no packet.
    void Raw(const ByteVector &bytes);

    // The video stream's data in DVD's packs of 2048 bytes: each a pack header, a PES packet with as much
    // of data as fits, and padding where the data ends. Returns the file offset of every byte of data.
    std::vector<int64_t> DvdVideo(uint8_t id, const ByteVector &data);

    const ByteVector &Bytes() const { return FBytes; }

    static constexpr size_t DvdPackSize = 2048;

private:
    bool FMpeg1;
    ByteVector FBytes;
    int64_t FClock = 0;
};

// The data of a video stream of a well-formed program stream or MPEG-1 system stream, with the file offset
// of each of its bytes.
struct PsElementaryStream {
    ByteVector bytes;
    std::vector<int64_t> offsets;
};
PsElementaryStream ReadPsElementaryStream(const ByteVector &file, uint8_t id);
