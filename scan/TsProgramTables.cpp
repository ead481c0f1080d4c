#include "TsProgramTables.h"

#include "TsPackets.h"
#include "base/Messages.h"

#include <algorithm>
#include <array>

namespace {

// A program association or map section holds at most 1024 bytes, its 3-byte head included.
constexpr size_t MaxSectionBytes = 1024;

} // namespace

uint32_t TsSectionCrc(const uint8_t *bytes, size_t count) {
    static const std::array<uint32_t, 256> Table = [] {
        std::array<uint32_t, 256> table{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t value = i << 24;
            for (int bit = 0; bit < 8; ++bit)
                value = (value & 0x80000000u) != 0 ? (value << 1) ^ 0x04C11DB7u : value << 1;
            table[i] = value;
        }
        return table;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i)
        crc = (crc << 8) ^ Table[((crc >> 24) ^ bytes[i]) & 0xFF];
    return crc;
}

void TTsSectionReader::Read(const uint8_t *payload, int count, int64_t packetOffset, bool unitStart,
                            const TTsNotify &notify, const TOnSection &onSection) {
    if (!unitStart) {
        if (FActive)
            Take(payload, count, notify, onSection);
        return;
    }
    const int pointer = payload[0];
    if (1 + pointer > count) {
        notify(TScanNotice::TKind::Structure, packetOffset, Format(STsPointerPastPacket, packetOffset));
        FActive = false;
        return;
    }
    if (FActive)
        Take(payload + 1, pointer, notify, onSection);
    FActive = false; // a section the pointer cuts short is not read
    int at = 1 + pointer;
    while (at < count && payload[at] != 0xFF) {
        FSection.clear();
        FActive = true;
        FOffset = packetOffset;
        at += Take(payload + at, count - at, notify, onSection);
        if (FActive)
            break; // it goes on in the next packet
    }
}

// Adds bytes to the section being put together; returns how many it took. Reads the section once it is
// whole.
int TTsSectionReader::Take(const uint8_t *bytes, int count, const TTsNotify &notify,
                           const TOnSection &onSection) {
    int taken = 0;
    while (taken < count && FActive) {
        const size_t wanted = FSection.size() < 3 ? 3 : 3 + ((FSection[1] & 0x0F) << 8 | FSection[2]);
        const auto take =
            static_cast<int>(std::min<size_t>(wanted - FSection.size(), static_cast<size_t>(count - taken)));
        FSection.insert(FSection.end(), bytes + taken, bytes + taken + take);
        taken += take;
        if (FSection.size() < 3)
            break;
        const size_t length = 3 + ((FSection[1] & 0x0F) << 8 | FSection[2]);
        if (length > MaxSectionBytes) {
            notify(TScanNotice::TKind::Structure, FOffset, Format(STsSectionTooLong, FOffset, length));
            FActive = false;
            return count; // where the next section would begin is not known
        }
        if (FSection.size() == length) {
            FActive = false;
            Whole(notify, onSection);
        }
    }
    return taken;
}

void TTsSectionReader::Whole(const TTsNotify &notify, const TOnSection &onSection) {
    const std::vector<uint8_t> &section = FSection;
    // Program tables have the long form: a syntax flag, five more header bytes and a CRC.
    if (section.size() < 12 || (section[1] & 0x80) == 0)
        return;
    if (TsSectionCrc(section.data(), section.size()) != 0) {
        notify(TScanNotice::TKind::Structure, FOffset, Format(STsSectionCrc, FOffset));
        return;
    }
    const uint32_t crc = static_cast<uint32_t>(section[section.size() - 4]) << 24 |
                         static_cast<uint32_t>(section[section.size() - 3]) << 16 |
                         static_cast<uint32_t>(section[section.size() - 2]) << 8 |
                         section[section.size() - 1];
    if ((section[5] & 0x01) == 0)
        return; // current_next_indicator 0: a table that applies later
    FSectionRead = true;
    if (FHaveLastCrc && crc == FLastCrc)
        return; // the same table again
    FHaveLastCrc = true;
    FLastCrc = crc;
    if (!onSection(section, FOffset))
        FHaveLastCrc = false;
}

std::vector<TTsProgram> ReadAssociationTable(const std::vector<uint8_t> &section) {
    std::vector<TTsProgram> programs;
    const size_t end = section.size() - 4;
    for (size_t at = 8; at + 4 <= end; at += 4) {
        const auto number = static_cast<uint16_t>(section[at] << 8 | section[at + 1]);
        const auto pid = static_cast<uint16_t>((section[at + 2] & 0x1F) << 8 | section[at + 3]);
        if (number != 0 && pid != TsNullPid) // program 0: the network information table
            programs.push_back({number, pid});
    }
    return programs;
}

std::optional<std::vector<TTsStream>> ReadMapTable(const std::vector<uint8_t> &section) {
    const size_t end = section.size() - 4;
    const size_t infoLength = (section[10] & 0x0F) << 8 | section[11];
    std::vector<TTsStream> streams;
    size_t at = 12 + infoLength;
    while (at < end) {
        if (at + 5 > end)
            break;
        const size_t entryInfo = (section[at + 3] & 0x0F) << 8 | section[at + 4];
        streams.push_back(
            {static_cast<uint16_t>((section[at + 1] & 0x1F) << 8 | section[at + 2]), section[at]});
        at += 5 + entryInfo;
    }
    if (at != end)
        return std::nullopt;
    return streams;
}
