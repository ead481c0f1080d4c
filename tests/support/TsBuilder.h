#pragma once

// Test-only builder of MPEG transport streams packet by packet: program tables with their CRC, PES packets
// cut into packets where a test says, adaptation fields, counters, and the time code (192-byte packets)
// or parity (204-byte packets) of each packet. And a plain reader of a well-formed stream's elementary
// stream, which tells the file offset of every byte of it.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

using ByteVector = std::vector<uint8_t>;

// CRC-32 of MPEG-2 program tables over the bytes.
uint32_t TsSectionCrc(const ByteVector &bytes);
// A 33-bit time stamp with its 4-bit prefix and marker bits, as PES headers (and MPEG-1 pack headers) code
// it.
void PutTimeStamp(ByteVector &bytes, uint8_t prefix, int64_t value);

// What one packet of a PID carries besides its payload.
struct TsPacketOptions {
    bool unitStart = false;
    bool pcr = false;           // a PCR in the adaptation field
    bool discontinuity = false; // discontinuity_indicator
    int stuffing = 0;           // bytes of adaptation field at least, its length byte included
    int scrambling = 0;         // transport_scrambling_control
    bool error = false;         // transport_error_indicator
    int cc = -1;                // the continuity counter; -1 for the one after the PID's last
};

// How a PES packet is put into packets.
struct TsPesOptions {
    uint8_t streamId = 0xE0;
    int64_t pts = -1;         // presentation time stamp, none when negative
    bool crc = false;         // PES_CRC_flag with its field
    bool exactLength = false; // PES_packet_length set; 0 otherwise
    // Elementary stream offsets at which a new packet begins (ascending), with the options of that
    // packet; a piece that does not fit in one packet goes on in further packets.
    std::vector<std::pair<size_t, TsPacketOptions>> cuts;
};

class TsBuilder {
public:
    // 188, 192 (a 4-byte time code in front of each packet) or 204 (16 bytes of parity behind it).
    explicit TsBuilder(int packetSize = 188);

    using PacketOptions = TsPacketOptions;
    using PesOptions = TsPesOptions;

    // One packet carrying the payload; what the payload leaves is filled by the adaptation field. Returns
    // the file offset of the payload's first byte. Raises std::invalid_argument when it does not fit.
    int64_t Packet(uint16_t pid, const ByteVector &payload, const PacketOptions &options = {});
    // Room for payload in a packet with these options.
    static size_t Room(const PacketOptions &options);

    // A whole section in one packet (pointer field 0).
    void Section(uint16_t pid, const ByteVector &section);
    // Program association table: (program_number, map PID) pairs.
    void Pat(const std::vector<std::pair<uint16_t, uint16_t>> &programs);
    // Program map of a program: (stream_type, PID) pairs, of that version_number.
    void Pmt(uint16_t pid, uint16_t program, const std::vector<std::pair<uint8_t, uint16_t>> &streams,
             uint8_t version = 0);
    static ByteVector PatSection(const std::vector<std::pair<uint16_t, uint16_t>> &programs);
    static ByteVector PmtSection(uint16_t program, const std::vector<std::pair<uint8_t, uint16_t>> &streams,
                                 uint8_t version = 0);

    // One PES packet of the PID carrying es. Returns the file offset of every byte of es.
    std::vector<int64_t> Pes(uint16_t pid, const ByteVector &es, const PesOptions &options = {});

    // Bytes that are no packet (garbage between packets).
    void Raw(const ByteVector &bytes);
    // The continuity counter the PID's next packet gets.
    int NextCc(uint16_t pid) const;

    const ByteVector &Bytes() const { return FBytes; }
    int PacketSize() const { return FPacketSize; }

private:
    int FPacketSize;
    ByteVector FBytes;
    std::vector<int> FCounters;
    uint32_t FClock = 0;
};

// The elementary stream of a PID as a well-formed transport stream carries it (PES headers left out),
// with the file offset of each of its bytes.
struct TsElementaryStream {
    ByteVector bytes;
    std::vector<int64_t> offsets;
};
TsElementaryStream ReadTsElementaryStream(const ByteVector &file, int packetSize, uint16_t pid);
