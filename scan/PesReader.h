#pragma once

// PES packets (MPEG-2 systems) put together from the pieces a container cuts them into: transport stream
// packets, or the packs of a program stream. The header is read across pieces, its optional fields and
// stuffing passed over, and the elementary stream data handed on with the file offset of each piece, up
// to the length the header gives or, where it gives none, up to the next PES.

#include <array>
#include <cstddef>
#include <cstdint>

// The header forms a reader takes: MPEG-2's (ISO/IEC 13818-1 2.4.3.7: '10', flags and
// PES_header_data_length), the only one transport streams carry; or that and MPEG-1's (ISO/IEC 11172-1
// 2.4.3.6: stuffing bytes, STD buffer size, time stamps), which MPEG-1 system streams carry, read where
// program streams are.
enum class TPesForms : uint8_t { Mpeg2, Mpeg2OrMpeg1 };

// What the first bytes of a PES packet tell of its header.
struct TPesHeader {
    enum class TKind : uint8_t {
        More,   // Length: the bytes needed at least to tell more
        Bad,    // no PES header of the forms taken, or one that claims more than its packet holds
        NoData, // a stream without optional header (padding, private_stream_2, ...): no data to read
        Valid,  // Length: the whole header, where the data begins (its fields past the first bytes unread)
    };
    TKind Kind = TKind::More;
    int64_t Length = 0;
    int64_t DataLength = -1; // Valid: data bytes the packet's length leaves, -1 where it gives none
    bool Crc = false;        // Valid: a PES_CRC field (over the data of the PES before it)
};
TPesHeader ReadPesHeader(const uint8_t *bytes, size_t size, TPesForms forms);

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
    explicit TPesReader(TPesConsumer &consumer, TPesForms forms = TPesForms::Mpeg2)
        : FConsumer(consumer), FForms(forms) {}

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
        Head,     // the first bytes of a PES header, up to where it tells its length
        HeadData, // the rest of the PES header: optional fields and stuffing
        Payload,  // elementary stream data
        Skip,     // nothing to read up to the next PES header
    };
    // The most bytes a header is read up to before it tells its length: MPEG-1's 16 stuffing bytes, buffer
    // size and the first byte of its time stamps behind the six bytes every packet begins with.
    static constexpr int MaxHeadBytes = 6 + 16 + 2 + 1;

    bool Header(const TPesHeader &header);

    TPesConsumer &FConsumer;
    TPesForms FForms;
    TState FState = TState::Loose;
    std::array<uint8_t, MaxHeadBytes> FHead{};
    int FHeadCount = 0;
    int FHeadNeeded = 0;
    int64_t FHeadDataLeft = 0;
    int64_t FDataLeft = -1; // bytes the header says are left, -1 up to the next PES
    int64_t FPlace = 0;
};

// Where the elementary stream data of a video PES (stream_id 0xE0 to 0xEF) begins whose header lies whole
// in the bytes; -1 when the bytes begin no such header.
int64_t VideoPesDataStart(const uint8_t *bytes, size_t size, TPesForms forms = TPesForms::Mpeg2);
