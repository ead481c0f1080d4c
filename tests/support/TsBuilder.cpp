#include "TsBuilder.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr int TsPacket = 188;
constexpr size_t PacketRoom = 184;

void Put16(ByteVector &bytes, uint32_t value) {
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value));
}

// A long-form section: table_id, the length, the five header bytes given, the body and the CRC.
ByteVector LongSection(uint8_t tableId, uint16_t idExtension, const ByteVector &body, uint8_t version = 0) {
    ByteVector section{tableId};
    Put16(section, 0xB000 | static_cast<uint32_t>(5 + body.size() + 4));
    Put16(section, idExtension);
    section.push_back(static_cast<uint8_t>(0xC1 | (version & 0x1F) << 1)); // the version, current
    section.push_back(0x00);
    section.push_back(0x00);
    section.insert(section.end(), body.begin(), body.end());
    const uint32_t crc = TsSectionCrc(section);
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<uint8_t>(crc >> shift));
    return section;
}

} // namespace

void PutTimeStamp(ByteVector &bytes, uint8_t prefix, int64_t value) {
    bytes.push_back(static_cast<uint8_t>(prefix << 4 | ((value >> 29) & 0x0E) | 1));
    Put16(bytes, static_cast<uint32_t>(((value >> 14) & 0xFFFE) | 1));
    Put16(bytes, static_cast<uint32_t>(((value << 1) & 0xFFFE) | 1));
}

uint32_t TsSectionCrc(const ByteVector &bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : bytes) {
        crc ^= static_cast<uint32_t>(byte) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

TsBuilder::TsBuilder(int packetSize) : FPacketSize(packetSize), FCounters(8192, 0) {
    if (packetSize != 188 && packetSize != 192 && packetSize != 204)
        throw std::invalid_argument("packets are 188, 192 or 204 bytes long");
}

size_t TsBuilder::Room(const PacketOptions &options) {
    // The length byte and the flags byte, the PCR; or as much as the stuffing asks for.
    const int fields = options.pcr || options.discontinuity ? 2 + (options.pcr ? 6 : 0) : 0;
    return PacketRoom - static_cast<size_t>(std::max(fields, options.stuffing));
}

int64_t TsBuilder::Packet(uint16_t pid, const ByteVector &payload, const PacketOptions &options) {
    if (payload.size() > Room(options))
        throw std::invalid_argument("the payload does not fit in the packet");
    if (FPacketSize == 192) {
        FClock += 1234;
        Put16(FBytes, FClock >> 16 & 0x3FFF);
        Put16(FBytes, FClock & 0xFFFF);
    }
    const size_t start = FBytes.size();
    int &counter = FCounters[pid & 0x1FFF];
    const int cc = options.cc >= 0 ? options.cc & 0x0F : counter;
    if (!payload.empty())
        counter = (cc + 1) & 0x0F;
    const bool adaptation = payload.size() < PacketRoom;
    const int control = (adaptation ? 2 : 0) | (payload.empty() ? 0 : 1);
    FBytes.push_back(0x47);
    FBytes.push_back(static_cast<uint8_t>((options.error ? 0x80 : 0) | (options.unitStart ? 0x40 : 0) |
                                          ((pid >> 8) & 0x1F)));
    FBytes.push_back(static_cast<uint8_t>(pid));
    FBytes.push_back(static_cast<uint8_t>(options.scrambling << 6 | control << 4 | cc));
    if (adaptation) {
        const size_t length = PacketRoom - 1 - payload.size();
        FBytes.push_back(static_cast<uint8_t>(length));
        if (length > 0) {
            FBytes.push_back(
                static_cast<uint8_t>((options.discontinuity ? 0x80 : 0) | (options.pcr ? 0x10 : 0)));
            size_t used = 1;
            if (options.pcr) {
                const uint64_t base = FClock / 300;
                for (int shift = 25; shift >= 1; shift -= 8)
                    FBytes.push_back(static_cast<uint8_t>(base >> shift));
                FBytes.push_back(static_cast<uint8_t>((base & 1) << 7 | 0x7E));
                FBytes.push_back(0x00);
                used += 6;
            }
            FBytes.insert(FBytes.end(), length - used, 0xFF);
        }
    }
    const auto payloadAt = static_cast<int64_t>(FBytes.size());
    FBytes.insert(FBytes.end(), payload.begin(), payload.end());
    if (FBytes.size() - start != TsPacket)
        throw std::logic_error("a packet came out at another size");
    if (FPacketSize == 204)
        for (int i = 0; i < 16; ++i)
            FBytes.push_back(static_cast<uint8_t>(0x35 * (FBytes.size() + 7) >> 3));
    return payloadAt;
}

void TsBuilder::Section(uint16_t pid, const ByteVector &section) {
    ByteVector payload{0x00};
    payload.insert(payload.end(), section.begin(), section.end());
    PacketOptions options;
    options.unitStart = true;
    Packet(pid, payload, options);
}

ByteVector TsBuilder::PatSection(const std::vector<std::pair<uint16_t, uint16_t>> &programs) {
    ByteVector body;
    for (const auto &[program, pid] : programs) {
        Put16(body, program);
        Put16(body, 0xE000 | pid);
    }
    return LongSection(0x00, 1, body);
}

ByteVector TsBuilder::PmtSection(uint16_t program, const std::vector<std::pair<uint8_t, uint16_t>> &streams,
                                 uint8_t version) {
    ByteVector body;
    Put16(body, 0xE000 | (streams.empty() ? 0x1FFF : streams.front().second)); // PCR_PID
    Put16(body, 0xF000);                                                       // no program descriptors
    for (const auto &[type, pid] : streams) {
        body.push_back(type);
        Put16(body, 0xE000 | pid);
        Put16(body, 0xF000);
    }
    return LongSection(0x02, program, body, version);
}

void TsBuilder::Pat(const std::vector<std::pair<uint16_t, uint16_t>> &programs) {
    Section(0x0000, PatSection(programs));
}

void TsBuilder::Pmt(uint16_t pid, uint16_t program, const std::vector<std::pair<uint8_t, uint16_t>> &streams,
                    uint8_t version) {
    Section(pid, PmtSection(program, streams, version));
}

std::vector<int64_t> TsBuilder::Pes(uint16_t pid, const ByteVector &es, const PesOptions &options) {
    ByteVector header{0x00, 0x00, 0x01, options.streamId};
    ByteVector fields;
    if (options.pts >= 0)
        PutTimeStamp(fields, 0x2, options.pts);
    if (options.crc)
        Put16(fields, 0xBEEF);
    const size_t length = options.exactLength ? 3 + fields.size() + es.size() : 0;
    if (length > 0xFFFF)
        throw std::invalid_argument("the PES is too long for its length field");
    Put16(header, static_cast<uint32_t>(length));
    header.push_back(0x84); // '10', data_alignment_indicator
    header.push_back(static_cast<uint8_t>((options.pts >= 0 ? 0x80 : 0) | (options.crc ? 0x02 : 0)));
    header.push_back(static_cast<uint8_t>(fields.size()));
    header.insert(header.end(), fields.begin(), fields.end());

    std::vector<int64_t> offsets(es.size());
    size_t at = 0; // in es
    size_t cut = 0;
    bool first = true;
    while (first || at < es.size()) {
        PacketOptions packet;
        if (cut < options.cuts.size() && options.cuts[cut].first == at)
            packet = options.cuts[cut++].second;
        packet.unitStart = first;
        const size_t end = cut < options.cuts.size() ? options.cuts[cut].first : es.size();
        if (end < at)
            throw std::invalid_argument("cuts go in ascending order");
        const ByteVector &lead = first ? header : ByteVector{};
        if (lead.size() > Room(packet))
            throw std::invalid_argument("the PES header does not fit in its packet");
        const size_t take = std::min(end - at, Room(packet) - lead.size());
        ByteVector payload = lead;
        payload.insert(payload.end(), es.begin() + static_cast<std::ptrdiff_t>(at),
                       es.begin() + static_cast<std::ptrdiff_t>(at + take));
        const int64_t payloadAt = Packet(pid, payload, packet) + static_cast<int64_t>(lead.size());
        for (size_t i = 0; i < take; ++i)
            offsets[at + i] = payloadAt + static_cast<int64_t>(i);
        at += take;
        first = false;
    }
    return offsets;
}

void TsBuilder::Raw(const ByteVector &bytes) {
    FBytes.insert(FBytes.end(), bytes.begin(), bytes.end());
}

int TsBuilder::NextCc(uint16_t pid) const {
    return FCounters[pid & 0x1FFF];
}

TsElementaryStream ReadTsElementaryStream(const ByteVector &file, int packetSize, uint16_t pid) {
    TsElementaryStream stream;
    const size_t first = packetSize == 192 ? 4 : 0;
    for (size_t packet = first; packet + TsPacket <= file.size(); packet += static_cast<size_t>(packetSize)) {
        const uint8_t *p = file.data() + packet;
        if (p[0] != 0x47 || ((p[1] & 0x1F) << 8 | p[2]) != pid || (p[3] & 0x10) == 0)
            continue;
        size_t at = (p[3] & 0x20) != 0 ? 5 + p[4] : 4;
        if ((p[1] & 0x40) != 0)
            at += 9 + p[at + 8];
        for (; at < TsPacket; ++at) {
            stream.bytes.push_back(p[at]);
            stream.offsets.push_back(static_cast<int64_t>(packet + at));
        }
    }
    return stream;
}
