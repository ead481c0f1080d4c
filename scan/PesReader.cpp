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

} // namespace

void TPesReader::Start(int64_t place) {
    FState = TState::Head;
    FHeadCount = 0;
    FPlace = place;
}

void TPesReader::Read(const uint8_t *bytes, int64_t count, int64_t offset) {
    int64_t at = 0;
    while (at < count) {
        switch (FState) {
        case TState::Skip:
            return;
        case TState::Head: {
            const auto take = static_cast<int>(std::min<int64_t>(HeadBytes - FHeadCount, count - at));
            std::memcpy(FHead.data() + FHeadCount, bytes + at, static_cast<size_t>(take));
            FHeadCount += take;
            at += take;
            if (FHeadCount == HeadBytes && !Header())
                FState = TState::Skip;
            break;
        }
        case TState::HeadData: {
            const auto take = static_cast<int>(std::min<int64_t>(FHeadDataLeft, count - at));
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

// The first nine bytes of a PES header are read: false when no elementary stream data follows.
bool TPesReader::Header() {
    if (StartCodePrefix(FHead.data()) && WithoutOptionalHeader(FHead[3]))
        return false;
    const int length = FHead[4] << 8 | FHead[5];
    const int headData = FHead[8];
    if (!StartCodePrefix(FHead.data()) || (FHead[6] & 0xC0) != 0x80 ||
        (length != 0 && length < 3 + headData)) {
        FConsumer.PesHeaderBad(FPlace);
        return false;
    }
    FDataLeft = length == 0 ? -1 : length - 3 - headData;
    FHeadDataLeft = headData;
    FState = headData > 0 ? TState::HeadData : TState::Payload;
    FConsumer.PesBegins((FHead[7] & 0x02) != 0);
    return true;
}

void TPesReader::Break() {
    if (FState == TState::Head || FState == TState::HeadData)
        FState = TState::Skip;
    else if (FState == TState::Payload)
        FDataLeft = -1;
}

int64_t VideoPesDataStart(const uint8_t *bytes, size_t size) {
    if (size < 9 || !StartCodePrefix(bytes) || bytes[3] < 0xE0 || bytes[3] > 0xEF ||
        (bytes[6] & 0xC0) != 0x80)
        return -1;
    const size_t start = 9 + static_cast<size_t>(bytes[8]);
    return start <= size ? static_cast<int64_t>(start) : -1;
}
