#pragma once

#include "Parser.h"

#include <cstdint>

// MPEG transport streams: 188-byte packets (.ts), 192-byte packets with a time code in front (.m2ts,
// .mts), 204-byte packets with parity behind. Walks every packet once (TsPackets): the program association
// table names the program maps, the maps name the video streams of every program and their codecs by
// stream_type (TsProgramTables, CodecRegistry), and each PID of a codec the program reads has its PES
// packets put together (PesReader) and their data read as one byte stream across its packets
// (UnitCollector), so that a unit split by packet headers, adaptation fields and time codes is found
// whole, with the file offset of each of its bytes. Video of codecs the program does not read is named,
// not read. A file without program tables is read by its PES packets: a PID whose PES begin as an access
// unit of a codec the program reads does (H.264: with an access unit delimiter) is taken for its video.
//
// A packet sent twice (the same counter and payload) is read once. A unit is listed but not changeable
// when its bytes span missing packets (a continuity counter that jumps, a damaged packet, lost sync), an
// announced discontinuity or scrambled packets, when a packet holding some of them is sent twice, when a
// PES CRC covers it, or when its PID is scrambled. Every packet is read whatever DeepScan says. Memory
// stays bounded: per PID a few counters, the table section and the unit being read, never its packets.
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
