#include "PesReader.h"

#include <algorithm>
#include <cstring>

namespace {

// PES packets of these stream_ids have no optional header (and carry no video).
bool WithoutOptionalHeader(uint8_t streamId) {
    switch (streamId) {
    case 0xBC: // program_stream_map
    case 0xBE: // padding_stream
    case 0xBF: // private_stream_2
    case 0xF0: // ECM
    case 0xF1: // EMM
    case 0xF2: // DSMCC
    case 0xF8: // H.222.1 type E
    case 0xFF: // program_stream_directory
        return true;
    default:
        return false;
    }
}

bool StartCodePrefix(const uint8_t *bytes) {
    return bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1;
}

// MPEG-1 allows at most this many stuffing bytes in a packet header (ISO/IEC 11172-1 2.4.3.6).
constexpr int64_t MaxMpeg1Stuffing = 16;

TPesHeader More(int64_t needed) {
    return {TPesHeader::TKind::More, needed, -1, false};
}

TPesHeader Bad() {
    return {TPesHeader::TKind::Bad, 0, -1, false};
}

// MPEG-1's header behind the six bytes of every packet: stuffing, STD buffer size, then the time stamps
// ('0010' PTS, '0011' PTS and DTS) or the byte 0x0F for none.
TPesHeader ReadMpeg1Header(const uint8_t *bytes, size_t size, int64_t packetLength) {
    const auto have = static_cast<int64_t>(size);
    int64_t at = 6;
    for (;; ++at) {
        if (at >= have)
            return More(at + 1);
        if (bytes[at] != 0xFF)
            break;
        if (at - 6 == MaxMpeg1Stuffing)
            return Bad();
    }
    if ((bytes[at] & 0xC0) == 0x40) { // '01' STD_buffer_scale STD_buffer_size
        at += 2;
        if (at >= have)
            return More(at + 1);
    }
    int64_t fields = 1;
    if ((bytes[at] & 0xF0) == 0x20)
        fields = 5;
    else if ((bytes[at] & 0xF0) == 0x30)
        fields = 10;
    else if (bytes[at] != 0x0F)
        return Bad();
    const int64_t length = at + fields;
    if (length > 6 + packetLength)
        return Bad();
    return {TPesHeader::TKind::Valid, length, 6 + packetLength - length, false};
}

} // namespace

TPesHeader ReadPesHeader(const uint8_t *bytes, size_t size, TPesForms forms) {
    if (size < 6)
        return More(6);
    if (!StartCodePrefix(bytes))
        return Bad();
    if (WithoutOptionalHeader(bytes[3]))
        return {TPesHeader::TKind::NoData, 0, -1, false};
    const int64_t packetLength = bytes[4] << 8 | bytes[5];
    if (size < 7)
        return More(7);
    if ((bytes[6] & 0xC0) != 0x80)
        return forms == TPesForms::Mpeg2OrMpeg1 ? ReadMpeg1Header(bytes, size, packetLength) : Bad();
    if (size < 9)
        return More(9);
    const int64_t headData = bytes[8];
    if (packetLength != 0 && packetLength < 3 + headData)
        return Bad();
    return {TPesHeader::TKind::Valid, 9 + headData, packetLength == 0 ? -1 : packetLength - 3 - headData,
            (bytes[7] & 0x02) != 0};
}

void TPesReader::Start(int64_t place) {
    FState = TState::Head;
    FHeadCount = 0;
    FHeadNeeded = 6;
    FPlace = place;
}

void TPesReader::Read(const uint8_t *bytes, int64_t count, int64_t offset) {
    int64_t at = 0;
    while (at < count) {
        switch (FState) {
        case TState::Skip:
            return;
        case TState::Head: {
            const auto take = static_cast<int>(std::min<int64_t>(FHeadNeeded - FHeadCount, count - at));
            std::memcpy(FHead.data() + FHeadCount, bytes + at, static_cast<size_t>(take));
            FHeadCount += take;
            at += take;
            if (FHeadCount < FHeadNeeded)
                break;
            const TPesHeader header = ReadPesHeader(FHead.data(), static_cast<size_t>(FHeadCount), FForms);
            if (header.Kind == TPesHeader::TKind::More)
                FHeadNeeded = static_cast<int>(header.Length); // within FHead by the forms' syntax
            else if (!Header(header))
                FState = TState::Skip;
            break;
        }
        case TState::HeadData: {
            const int64_t take = std::min(FHeadDataLeft, count - at);
            FHeadDataLeft -= take;
            at += take;
            if (FHeadDataLeft == 0)
                FState = TState::Payload;
            break;
        }
        case TState::Loose:
        case TState::Payload: {
            if (FDataLeft == 0) {
                FState = TState::Skip; // a PES whose header leaves no room for data
                break;
            }
            int64_t take = count - at;
            if (FDataLeft >= 0)
                take = std::min(take, FDataLeft);
            FConsumer.PesData(bytes + at, take, offset + at);
            at += take;
            if (FDataLeft >= 0) {
                FDataLeft -= take;
                if (FDataLeft == 0)
                    FState = TState::Skip; // bytes behind a PES of known length are no data
            }
            break;
        }
        }
    }
}

// The header has told its length: false when no elementary stream data follows.
bool TPesReader::Header(const TPesHeader &header) {
    if (header.Kind == TPesHeader::TKind::NoData)
        return false;
    if (header.Kind == TPesHeader::TKind::Bad) {
        FConsumer.PesHeaderBad(FPlace);
        return false;
    }
    FDataLeft = header.DataLength;
    FHeadDataLeft = header.Length - FHeadCount;
    FState = FHeadDataLeft > 0 ? TState::HeadData : TState::Payload;
    FConsumer.PesBegins(header.Crc);
    return true;
}

void TPesReader::Break() {
    if (FState == TState::Head || FState == TState::HeadData)
        FState = TState::Skip;
    else if (FState == TState::Payload)
        FDataLeft = -1;
}

int64_t VideoPesDataStart(const uint8_t *bytes, size_t size, TPesForms forms) {
    if (size < 4 || bytes[3] < 0xE0 || bytes[3] > 0xEF)
        return -1;
    const TPesHeader header = ReadPesHeader(bytes, size, forms);
    return header.Kind == TPesHeader::TKind::Valid && header.Length <= static_cast<int64_t>(size)
               ? header.Length
               : -1;
}
