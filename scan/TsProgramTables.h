#pragma once

// The program tables of MPEG transport streams: sections put together from the packets of a PID and
// checked by their CRC, and what the program association table (which PID maps which program) and the
// program maps (which PID carries which stream, of which stream_type) say.

#include "ScanSession.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

constexpr uint16_t TsPatPid = 0x0000;
constexpr uint8_t TsPatTableId = 0x00;
constexpr uint8_t TsPmtTableId = 0x02;

// Something a table reader tells: its kind, the file offset it is about and the text.
using TTsNotify = std::function<void(TScanNotice::TKind kind, int64_t fileOffset, const std::string &text)>;

// The sections of one PID's packets. A section is handed on once whole, its CRC right and current (not
// one that applies later), and not the same as the last one handed on (tables are sent again and again).
class TTsSectionReader {
public:
    // Reads a whole section; false when it is damaged (it is then read again when sent again).
    using TOnSection = std::function<bool(const std::vector<uint8_t> &section, int64_t offset)>;

    // The payload of one packet of the PID, at the file offset of its packet.
    void Read(const uint8_t *payload, int count, int64_t packetOffset, bool unitStart,
              const TTsNotify &notify, const TOnSection &onSection);
    // Packets were lost: a section being put together is not read.
    void Break() { FActive = false; }
    // Whether a current section of the PID was read.
    bool SectionRead() const { return FSectionRead; }

private:
    int Take(const uint8_t *bytes, int count, const TTsNotify &notify, const TOnSection &onSection);
    void Whole(const TTsNotify &notify, const TOnSection &onSection);

    bool FActive = false;
    std::vector<uint8_t> FSection;
    int64_t FOffset = 0;
    bool FSectionRead = false;
    uint32_t FLastCrc = 0; // of the last section handed on, to pass over the same table sent again
    bool FHaveLastCrc = false;
};

// CRC-32 of the program tables (polynomial 0x04C11DB7, not reflected, starting at all ones): a section with
// its CRC field included gives 0.
uint32_t TsSectionCrc(const uint8_t *bytes, size_t count);

// The table_id of a section handed on.
inline uint8_t TsTableId(const std::vector<uint8_t> &section) {
    return section[0];
}

// The programs of a program association table section and the PIDs of their maps (the network
// information table and the null PID left out).
struct TTsProgram {
    uint16_t Number;
    uint16_t MapPid;
};
std::vector<TTsProgram> ReadAssociationTable(const std::vector<uint8_t> &section);

// The streams of a program map section; none when its entries claim more bytes than it holds.
struct TTsStream {
    uint16_t Pid;
    uint8_t StreamType;
};
std::optional<std::vector<TTsStream>> ReadMapTable(const std::vector<uint8_t> &section);
