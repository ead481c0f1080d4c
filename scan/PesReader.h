#pragma once

// PES packets (MPEG-2 systems) put together from the pieces a container cuts them into: transport stream
// packets, or the packs of a program stream. The header is read across pieces, its optional fields and
// stuffing passed over, and the elementary stream data handed on with the file offset of each piece, up
// to the length the header gives or, where it gives none, up to the next PES.

#include <array>
#include <cstddef>
#include <cstdint>

// What a PES reader hands on.
class TPesConsumer {
public:
    virtual ~TPesConsumer() = default;
    // A PES header was read; crc: the PES carries a PES_CRC field (over the data of the PES before it).
    virtual void PesBegins(bool crc) = 0;
    // Elementary stream data of the current PES, count bytes from file offset offset on.
    virtual void PesData(const uint8_t *bytes, int64_t count, int64_t offset) = 0;
    // The PES named by place has no valid header: its data is not read.
    virtual void PesHeaderBad(int64_t place) = 0;
};

class TPesReader {
public:
    explicit TPesReader(TPesConsumer &consumer) : FConsumer(consumer) {}

    // A PES packet begins with the next bytes read; place names it in messages.
    void Start(int64_t place);
    // The next bytes of the stream, count of them from file offset offset on.
    void Read(const uint8_t *bytes, int64_t count, int64_t offset);
    // Bytes were lost before the next ones: the rest of a header being read is lost with them, and where
    // the current PES ends is no longer known.
    void Break();
    // Nothing is read up to the next PES.
    void SkipToNext() { FState = TState::Skip; }
    // Whether all bytes read next are data of a PES whose end is not known (the common case, which a
    // container may read with less work around it).
    bool OpenData() const { return (FState == TState::Payload || FState == TState::Loose) && FDataLeft < 0; }

private:
    enum class TState : uint8_t {
        Loose,    // data before the first PES header: the rest of a PES that began before the stream
        Head,     // the first nine bytes of a PES header
        HeadData, // the rest of the PES header: optional fields and stuffing
        Payload,  // elementary stream data
        Skip,     // nothing to read up to the next PES header
    };
    static constexpr int HeadBytes = 9;

    bool Header();

    TPesConsumer &FConsumer;
    TState FState = TState::Loose;
    std::array<uint8_t, HeadBytes> FHead{};
    int FHeadCount = 0;
    int FHeadDataLeft = 0;
    int64_t FDataLeft = -1; // bytes the header says are left, -1 up to the next PES
    int64_t FPlace = 0;
};

// Where the elementary stream data of a video PES (stream_id 0xE0 to 0xEF) begins whose header lies whole
// in the bytes; -1 when the bytes begin no such header.
int64_t VideoPesDataStart(const uint8_t *bytes, size_t size);
