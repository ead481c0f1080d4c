#pragma once

#include "Parser.h"

#include <cstdint>

// MPEG transport streams: 188-byte packets (.ts), 192-byte packets with a time code in front (.m2ts,
// .mts), 204-byte packets with parity behind. Walks every packet once: the program association table
// names the program maps, the maps name the H.264 streams (stream_type 0x1B) of every program, and each
// such PID's PES payload is read as one byte stream across its packets, so that an SPS split by packet
// headers, adaptation fields and time codes is found whole, with the file offset of each of its bytes.
// A file without program tables is read by its PES packets: a PID whose PES begin with an H.264 access
// unit delimiter is taken for H.264 video.
//
// A packet sent twice (the same counter and payload) is read once. An SPS is listed but not changeable
// when its bytes span missing packets (a continuity counter that jumps, a damaged packet, lost sync), an
// announced discontinuity or scrambled packets, when a packet holding some of them is sent twice, when a
// PES CRC covers it, or when its PID is scrambled. Every packet is read whatever DeepScan says. Memory
// stays bounded: per PID a few counters, the table section and the SPS being read, never its packets.
class TTSParser : public TParser {
public:
    explicit TTSParser(TScanSession &session);
    ~TTSParser() override;

    static constexpr int64_t TsPacketSize = 188;

protected:
    void Walk(TStream &stream) override;

private:
    class TWalk;
};

// The packet size of a transport stream format (188, 192 or 204), 0 for any other format.
int64_t TsPacketStride(TFileFormat format);
