#include "PsBuilder.h"

#include "BitWriter.h"

#include <algorithm>
#include <stdexcept>

namespace {

void Put16(ByteVector &bytes, size_t value) {
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value));
}

constexpr size_t MaxPacketPayload = 0xFFFF;

} // namespace

void PsBuilder::Pack(int stuffing) {
    FClock += 3600;
    const auto scr = static_cast<uint64_t>(FClock);
    if (FMpeg1) {
        Append(FBytes, {0x00, 0x00, 0x01, 0xBA});
        PutTimeStamp(FBytes, 0x2, FClock);
        Append(FBytes, {0x80, 0x1B, 0x91}); // mux_rate with its marker bits
        return;
    }
    // '01' SCR base with markers, SCR extension 0, mux_rate, reserved bits and the stuffing length.
    Append(FBytes,
           {0x00, 0x00, 0x01, 0xBA, static_cast<uint8_t>(0x44 | ((scr >> 27) & 0x38) | ((scr >> 28) & 0x03)),
            static_cast<uint8_t>(scr >> 20),
            static_cast<uint8_t>(((scr >> 12) & 0xF8) | 0x04 | ((scr >> 13) & 0x03)),
            static_cast<uint8_t>(scr >> 5), static_cast<uint8_t>(((scr << 3) & 0xF8) | 0x04), 0x01, 0x01,
            0x89, 0xC3, static_cast<uint8_t>(0xF8 | (stuffing & 0x07))});
    FBytes.insert(FBytes.end(), static_cast<size_t>(stuffing & 0x07), 0xFF);
}

void PsBuilder::SystemHeader() {
    // rate bound, audio and video bounds, and one buffer entry for the video streams (0xB9: all of them).
    Packet(0xBB, {0x80, 0x01, 0x01, 0x04, 0xE1, 0xFF, 0xB9, 0xE0, 0xE8});
}

void PsBuilder::Map(const std::vector<std::pair<uint8_t, uint8_t>> &streams, bool current) {
    ByteVector entries;
    for (const auto &[type, id] : streams) {
        entries.push_back(type);
        entries.push_back(id);
        Put16(entries, 0); // no descriptors
    }
    ByteVector map{0x00, 0x00, 0x01, 0xBC};
    Put16(map, 2 + 2 + 2 + entries.size() + 4);
    map.push_back(static_cast<uint8_t>((current ? 0x80 : 0x00) | 0x01)); // version 1
    map.push_back(0xFF);                                                 // reserved, marker
    Put16(map, 0);                                                       // no program descriptors
    Put16(map, entries.size());
    Append(map, entries);
    const uint32_t crc = TsSectionCrc(map);
    for (int shift = 24; shift >= 0; shift -= 8)
        map.push_back(static_cast<uint8_t>(crc >> shift));
    Raw(map);
}

std::vector<int64_t> PsBuilder::Pes(uint8_t id, const ByteVector &data, const PsPesOptions &options) {
    ByteVector header;
    if (options.mpeg1) {
        header.insert(header.end(), static_cast<size_t>(options.stuffing), 0xFF);
        Append(header, {0x60, 0xE8}); // STD buffer size
        if (options.pts >= 0)
            PutTimeStamp(header, 0x2, options.pts);
        else
            header.push_back(0x0F);
    } else {
        ByteVector fields;
        if (options.pts >= 0)
            PutTimeStamp(fields, 0x2, options.pts);
        if (options.crc)
            Put16(fields, 0xBEEF);
        fields.insert(fields.end(), static_cast<size_t>(options.stuffing), 0xFF);
        header = {0x81, static_cast<uint8_t>((options.pts >= 0 ? 0x80 : 0) | (options.crc ? 0x02 : 0)),
                  static_cast<uint8_t>(fields.size())};
        Append(header, fields);
    }
    if (header.size() + data.size() > MaxPacketPayload)
        throw std::invalid_argument("the PES is too long for its length field");
    const auto first = static_cast<int64_t>(FBytes.size() + 6 + header.size());
    Append(header, data);
    Packet(id, header);
    std::vector<int64_t> offsets(data.size());
    for (size_t i = 0; i < data.size(); ++i)
        offsets[i] = first + static_cast<int64_t>(i);
    return offsets;
}

void PsBuilder::Packet(uint8_t id, const ByteVector &payload) {
    if (payload.size() > MaxPacketPayload)
        throw std::invalid_argument("the payload is too long for its length field");
    Append(FBytes, {0x00, 0x00, 0x01, id});
    Put16(FBytes, payload.size());
    Append(FBytes, payload);
}

void PsBuilder::Padding(size_t count) {
    if (count < 6)
        throw std::invalid_argument("a padding packet has six bytes at least");
    Packet(0xBE, ByteVector(count - 6, 0xFF));
}

void PsBuilder::EndCode() {
    Append(FBytes, {0x00, 0x00, 0x01, 0xB9});
}

void PsBuilder::Raw(const ByteVector &bytes) {
    Append(FBytes, bytes);
}

std::vector<int64_t> PsBuilder::DvdVideo(uint8_t id, const ByteVector &data) {
    constexpr size_t PesHeader = 6 + 3 + 5; // with a PTS
    std::vector<int64_t> offsets;
    for (size_t at = 0; at < data.size();) {
        const size_t packStart = FBytes.size();
        Pack();
        const size_t room = DvdPackSize - (FBytes.size() - packStart) - PesHeader;
        // Where the data ends a padding packet fills the pack, which needs six bytes of room.
        size_t take = std::min(room, data.size() - at);
        if (take < room && room - take < 6)
            take = room - 6;
        PsPesOptions options;
        options.pts = static_cast<int64_t>(at);
        const std::vector<int64_t> placed =
            Pes(id,
                ByteVector(data.begin() + static_cast<std::ptrdiff_t>(at),
                           data.begin() + static_cast<std::ptrdiff_t>(at + take)),
                options);
        offsets.insert(offsets.end(), placed.begin(), placed.end());
        at += take;
        if (FBytes.size() - packStart < DvdPackSize)
            Padding(DvdPackSize - (FBytes.size() - packStart));
    }
    return offsets;
}

namespace {

// Where the data of a PES packet begins: behind MPEG-2's header fields, or behind MPEG-1's stuffing,
// buffer size and time stamps.
size_t PesDataAt(const uint8_t *p) {
    if ((p[6] & 0xC0) == 0x80)
        return 9 + static_cast<size_t>(p[8]);
    size_t at = 6;
    while (p[at] == 0xFF)
        ++at;
    if ((p[at] & 0xC0) == 0x40)
        at += 2;
    return at + ((p[at] & 0xF0) == 0x20 ? 5 : (p[at] & 0xF0) == 0x30 ? 10 : 1);
}

} // namespace

PsElementaryStream ReadPsElementaryStream(const ByteVector &file, uint8_t id) {
    PsElementaryStream stream;
    for (size_t at = 0; at + 6 <= file.size();) {
        const uint8_t *p = file.data() + at;
        if (p[0] != 0 || p[1] != 0 || p[2] != 1)
            throw std::invalid_argument("no start code where a packet should begin");
        if (p[3] == 0xB9) {
            at += 4;
            continue;
        }
        if (p[3] == 0xBA) {
            at += (p[4] & 0xC0) == 0x40 ? 14 + (p[13] & 0x07) : 12;
            continue;
        }
        const size_t length = 6 + static_cast<size_t>(p[4] << 8 | p[5]);
        if (p[3] == id)
            for (size_t i = PesDataAt(p); i < length && at + i < file.size(); ++i) {
                stream.bytes.push_back(p[i]);
                stream.offsets.push_back(static_cast<int64_t>(at + i));
            }
        at += length;
    }
    return stream;
}
