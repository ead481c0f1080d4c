#include "TSParser.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "codec/NalSource.h"
#include "h264/uH264.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// What runs for every packet is put where it is called.
#if defined(__GNUC__)
#define PacketStep [[gnu::always_inline]] inline
#else
#define PacketStep inline
#endif

namespace {

constexpr uint8_t SyncByte = 0x47;
constexpr int PacketBytes = static_cast<int>(TTSParser::TsPacketSize);
constexpr int PidCount = 8192;
constexpr uint16_t PatPid = 0x0000;
constexpr uint16_t NullPid = 0x1FFF;
// PIDs below this one carry the tables of the standard and of DVB/ATSC, never a stream found by content.
constexpr uint16_t FirstElementaryPid = 0x0020;
constexpr uint8_t StreamTypeH264 = 0x1B;
constexpr uint8_t PatTableId = 0x00;
constexpr uint8_t PmtTableId = 0x02;
// A program association or map section holds at most 1024 bytes, its 3-byte head included.
constexpr size_t MaxSectionBytes = 1024;
constexpr uint8_t AccessUnitDelimiter = 9;
// After lost sync, a sync byte counts when this many more follow at the packet stride (as far as the
// file goes): one 0x47 among other bytes is common, four at the stride are not.
constexpr int ResyncPackets = 3;
// Packets read at once: more than 1 MiB, which the file stream reads without copying it twice.
constexpr int64_t BufferPackets = 8192;

// CRC-32 of the program tables (MPEG-2: polynomial 0x04C11DB7, not reflected, starting at all ones). A
// section with its CRC field included gives 0.
uint32_t SectionCrc(const uint8_t *bytes, size_t count) {
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

// PES packets of these stream_ids have no optional header (and carry no video).
bool PesWithoutOptionalHeader(uint8_t streamId) {
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

// A video PES header (stream_id 0xE0 to 0xEF) whose payload begins with an H.264 access unit delimiter
// (its primary_pic_type and then the stop bit), all inside the packet's payload. Transport streams must
// open every H.264 access unit with one; MPEG-2 video (00 00 01 B3 or 00), HEVC (its delimiter reads 46 01)
// and VC-1 never do.
bool BeginsWithAccessUnitDelimiter(const uint8_t *p, int n) {
    if (n < 9 || p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] < 0xE0 || p[3] > 0xEF || (p[6] & 0xC0) != 0x80)
        return false;
    int at = 9 + p[8];
    if (at + 4 <= n && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 0 && p[at + 3] == 1)
        at += 4;
    else if (at + 3 <= n && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1)
        at += 3;
    else
        return false;
    return at + 2 <= n && (p[at] & 0x80) == 0 && NalUnitTypeOf(p[at]) == AccessUnitDelimiter &&
           (p[at + 1] & 0x1F) == 0x10;
}

// The index of the first 01 byte from from on, before limit, behind two zero bytes (where a start code
// ends); limit when there is none. The two bytes before from exist.
PacketStep int64_t FindStartCodeEnd(const uint8_t *bytes, int64_t from, int64_t limit) {
    int64_t i = from;
#if defined(__GNUC__)
    // Sixteen places at a time (vector extensions of GCC and Clang; SSE2 on x86-64), two groups to a test:
    // a packet's payload is 184 bytes at most.
    using Bytes16 = uint8_t __attribute__((vector_size(16)));
    auto ends = [bytes](int64_t at) {
        Bytes16 current, before1, before2;
        std::memcpy(&current, bytes + at, sizeof current);
        std::memcpy(&before1, bytes + at - 1, sizeof before1);
        std::memcpy(&before2, bytes + at - 2, sizeof before2);
        return (current == 1) & ((before1 | before2) == 0);
    };
    auto any = [](auto hits) {
        uint64_t halves[2];
        std::memcpy(halves, &hits, sizeof halves);
        return (halves[0] | halves[1]) != 0;
    };
    for (; i + 32 <= limit; i += 32)
        if (any(ends(i) | ends(i + 16)))
            break;
    for (; i + 16 <= limit; i += 16)
        if (any(ends(i)))
            break;
    // The last places, fewer than sixteen, in a group that ends with them (those before i hold no end).
    if (i < limit && i + 16 > limit && limit - 16 >= from && !any(ends(limit - 16)))
        return limit;
#endif
    for (; i < limit; ++i)
        if (bytes[i] == 1 && bytes[i - 1] == 0 && bytes[i - 2] == 0)
            return i;
    return limit;
}

} // namespace

int64_t TsPacketStride(TFileFormat format) {
    switch (format) {
    case TFileFormat::MpegTs:
        return 188;
    case TFileFormat::M2ts:
        return 192;
    case TFileFormat::MpegTs204:
        return 204;
    default:
        return 0;
    }
}

// ---- the walk of one scan ----

class TTSParser::TWalk {
public:
    TWalk(TTSParser &parser, TStream &stream, int64_t stride)
        : FParser(parser), FSession(parser.Session), FStream(stream), FStride(stride) {}

    void Run();

private:
    enum class TKind : uint8_t { Unknown, Pat, Pmt, H264, Other };
    // Why the bytes of a PID do not simply go on from one packet to the next.
    enum class TBreak : uint8_t { Gap, Discontinuity, Scrambled };
    enum class TPesState : uint8_t {
        Loose,    // data before the first PES header: the rest of a PES that began before the file
        Head,     // the first nine bytes of a PES header
        HeadData, // the rest of the PES header
        Payload,  // elementary stream data
        Skip,     // nothing to read up to the next PES header
    };

    // The H.264 elementary stream of one PID: the PES packets' payload as one byte stream.
    struct TStreamState {
        TTrack *Track = nullptr;
        bool ByContent = false; // found by its PES, not named by a program map
        TPesState State = TPesState::Loose;
        std::array<uint8_t, 9> Head{};
        int HeadCount = 0;
        int HeadDataLeft = 0;
        int64_t PayloadLeft = -1;       // bytes the PES header says are left, -1 up to the next PES
        bool PesCrc = false;            // the current PES carries a CRC (over the PES before it)
        std::vector<size_t> PesRows;    // changeable rows whose SPS ends in the current PES
        std::vector<size_t> PacketRows; // changeable rows whose SPS ends in the last packet read
        // Start codes: zero bytes just read (up to two), and a start code whose header byte is next.
        int Zeros = 0;
        bool AwaitHeader = false;
        // The SPS being read: its bytes, where they lie, and why it can not be changed.
        bool Collecting = false;
        std::vector<uint8_t> Sps;
        std::vector<TExtent> Extents;
        const std::string *Reason = nullptr;
        bool UnderCrc = false;
    };

    struct TPid {
        explicit TPid(uint16_t number) : Number(number) {}
        uint16_t Number;
        TKind Kind = TKind::Unknown;
        int LastCc = -1;
        bool DiscontinuityPending = false; // announced by a packet without payload
        int64_t LastPayloadOffset = -1;
        int LastPayloadLength = 0;
        bool HadPayload = false;
        bool Scrambled = false;
        int64_t PacketsBefore = 0; // packets with payload while the PID was not known to be video
        int Program = 0;           // for a program map: the program it maps
        int MapPid = -1;           // for a stream: the program map that said what it carries
        bool SectionRead = false;  // a table section of the PID was read
        bool SectionActive = false;
        std::vector<uint8_t> Section;
        int64_t SectionOffset = 0;
        uint32_t LastCrc = 0; // of the last section read, to pass over the same table sent again
        bool HaveLastCrc = false;
        std::unique_ptr<TStreamState> Stream;
    };

    TPid &Pid(uint16_t number);
    std::string Label(const TPid &pid) const { return Format(STsPidLabel, pid.Number); }

    void Load(int64_t from);
    int64_t FindSync(int64_t from);
    bool SyncsFrom(int64_t at, int &found);
    int64_t Packets(int64_t pos, bool &lost);
    bool CommonPacket(const uint8_t *p, int64_t offset);
    void Packet(const uint8_t *p, int64_t offset);
    bool Duplicate(const TPid &pid, const uint8_t *payload, int length);
    void Duplicated(TPid &pid);
    void Break(TPid &pid, TBreak kind);
    void BreakAll();

    void SectionPayload(TPid &pid, const uint8_t *p, int n, int64_t offset, bool unitStart);
    int SectionBytes(TPid &pid, const uint8_t *p, int n);
    void Section(TPid &pid);
    void AssociationTable(const std::vector<uint8_t> &section);
    void MapTable(TPid &pid, const std::vector<uint8_t> &section);
    void Classify(uint16_t number, bool video, const TPid &map);
    void MakeVideo(TPid &pid, bool byContent);
    void Switch(TPid &pid, bool video, const TPid &map);

    void StreamPayload(TPid &pid, const uint8_t *p, int n, int64_t offset, int64_t packetOffset,
                       bool unitStart);
    bool PesHeader(TPid &pid, int64_t packetOffset);
    void BeginPes(TPid &pid, bool crc);
    void Feed(TPid &pid, const uint8_t *p, int64_t n, int64_t offset);
    void Collect(TPid &pid, const uint8_t *p, int64_t n, int64_t offset);
    void FinishSps(TPid &pid, int64_t end, bool complete);
    void SetReason(size_t row, const std::string *reason);

    void MarkScrambled();
    void EndNotices();

    TTSParser &FParser;
    TScanSession &FSession;
    TStream &FStream;
    const int64_t FStride;
    int64_t FSize = 0;
    std::vector<uint8_t> FBuffer;
    int64_t FBufferStart = 0;
    int64_t FBufferEnd = 0;
    std::array<std::unique_ptr<TPid>, PidCount> FPids;
    std::vector<uint16_t> FVideoPids;
    std::vector<uint16_t> FMapPids;
    bool FAssociationSeen = false;
    bool FPacketRead = false;
    bool FDamagedNoticed = false;
};

TTSParser::TWalk::TPid &TTSParser::TWalk::Pid(uint16_t number) {
    std::unique_ptr<TPid> &pid = FPids[number];
    if (!pid) {
        pid = std::make_unique<TPid>(number);
        if (number == PatPid)
            pid->Kind = TKind::Pat;
    }
    return *pid;
}

void TTSParser::TWalk::Run() {
    if (FParser.Aborted)
        return;
    FSize = FStream.Size();
    FBuffer.resize(static_cast<size_t>(FStride * BufferPackets));
    try {
        int64_t pos = FindSync(0);
        // In a 192-byte stream the first packet's time code lies in front of its sync byte.
        const int64_t skipped = std::max<int64_t>(0, pos - (FStride == 192 ? 4 : 0));
        if (skipped > 0)
            FParser.Notice(TScanNotice::TKind::NotScanned, 0, Format(STsBytesSkipped, 0, skipped, FStride));
        while (pos < FSize && !FParser.Aborted) {
            if (pos + PacketBytes > FSize) {
                if (pos < FBufferStart || pos >= FBufferEnd)
                    Load(pos);
                FParser.Notice(TScanNotice::TKind::NotScanned, pos,
                               FBuffer[static_cast<size_t>(pos - FBufferStart)] == SyncByte
                                   ? Format(STsLastPacketCut, pos)
                                   : Format(STsBytesSkipped, pos, FSize, FStride));
                break;
            }
            if (pos < FBufferStart || std::min(pos + FStride + 1, FSize) > FBufferEnd)
                Load(pos);
            bool lost = false;
            pos = Packets(pos, lost);
            if (lost) {
                const int64_t found = FindSync(pos + 1);
                FParser.Notice(TScanNotice::TKind::NotScanned, pos,
                               Format(STsBytesSkipped, pos, found, FStride));
                BreakAll();
                pos = found;
            }
        }
        // The SPS that the end of the file ends (an abort leaves them unread).
        for (uint16_t number : FParser.Aborted ? std::vector<uint16_t>{} : FVideoPids) {
            TPid &pid = *FPids[number];
            TStreamState &stream = *pid.Stream;
            if (stream.Collecting)
                FinishSps(pid,
                          FindAnnexBUnitEnd(stream.Sps.data(), static_cast<int64_t>(stream.Sps.size()), true),
                          true);
        }
    } catch (...) {
        MarkScrambled(); // what was listed before the error must not be written either
        throw;
    }
    MarkScrambled();
    if (!FParser.Aborted)
        EndNotices();
}

// ---- packets ----

// The buffer from offset from on, filled as far as it and the file go; bytes it holds already are kept.
void TTSParser::TWalk::Load(int64_t from) {
    int64_t kept = 0;
    if (from >= FBufferStart && from < FBufferEnd) {
        kept = FBufferEnd - from;
        std::memmove(FBuffer.data(), FBuffer.data() + (from - FBufferStart), static_cast<size_t>(kept));
    }
    FBufferStart = from;
    FBufferEnd = from + kept;
    const int64_t count = std::min(static_cast<int64_t>(FBuffer.size()) - kept, FSize - FBufferEnd);
    if (count > 0) {
        FStream.Seek(FBufferEnd);
        FStream.ReadBuffer(FBuffer.data() + kept, static_cast<size_t>(count));
        FBufferEnd += count;
    }
    FParser.ReportProgress(FBufferEnd, FSize);
}

// Whether packets begin at the stride from at on, as far as ResyncPackets more and the file go: a sync
// byte each, and behind it an adaptation field or payload announced (never neither, which a run of 0x47
// bytes would give). found tells how many were looked at. The buffer holds them.
bool TTSParser::TWalk::SyncsFrom(int64_t at, int &found) {
    found = 0;
    for (int k = 0; k <= ResyncPackets; ++k) {
        const int64_t place = at + k * FStride;
        if (place + 4 > FSize)
            break;
        const uint8_t *packet = FBuffer.data() + (place - FBufferStart);
        if (packet[0] != SyncByte || (packet[3] & 0x30) == 0)
            return false;
        ++found;
    }
    return true;
}

// The first place from offset from on where packets begin: a sync byte with more behind it at the
// stride. A lone sync byte only counts for a file that has room for no more than one packet. FSize when
// there is none.
int64_t TTSParser::TWalk::FindSync(int64_t from) {
    // Room behind a candidate: the sync bytes looked at, and in a 192-byte stream four bytes more, for
    // a sync byte in the time code in front of the real one.
    const int64_t window = ResyncPackets * FStride + 8;
    int64_t at = from;
    while (at < FSize) {
        if (at < FBufferStart || std::min(at + window, FSize) > FBufferEnd)
            Load(at);
        const int64_t limit = FBufferEnd == FSize ? FSize : FBufferEnd - window;
        const auto *begin = FBuffer.data() + (at - FBufferStart);
        const void *sync = std::memchr(begin, SyncByte, static_cast<size_t>(limit - at));
        if (sync == nullptr) {
            at = limit;
            continue;
        }
        const int64_t candidate = at + (static_cast<const uint8_t *>(sync) - begin);
        int found = 0;
        const bool synced = SyncsFrom(candidate, found);
        const bool lone = found == 1 && from == 0 && candidate < FStride;
        if (synced && (found >= 2 || lone)) {
            if (FStride == 192)
                for (int64_t later = candidate + 4; later > candidate; --later) {
                    int laterFound = 0;
                    if (later < FSize && SyncsFrom(later, laterFound) && laterFound >= found)
                        return later;
                }
            return candidate;
        }
        at = candidate + 1;
    }
    return FSize;
}

// Most packets of a stream are of one kind: payload only, of a PID of H.264 video in the middle of a PES,
// the counter in step. Those are read here at once, and most of their payloads hold no start code and do
// not end in zero bytes; false for any other packet.
PacketStep bool TTSParser::TWalk::CommonPacket(const uint8_t *p, int64_t offset) {
    TPid *pid = FPids[static_cast<size_t>((p[1] & 0x1F) << 8 | p[2])].get();
    if (pid == nullptr || pid->Kind != TKind::H264 || (p[1] & 0xC0) != 0 || (p[3] & 0xF0) != 0x10 ||
        (p[3] & 0x0F) != ((pid->LastCc + 1) & 0x0F) || pid->LastCc < 0 || pid->DiscontinuityPending)
        return false;
    TStreamState &stream = *pid->Stream;
    if ((stream.State != TPesState::Payload && stream.State != TPesState::Loose) || stream.PayloadLeft >= 0)
        return false;
    pid->LastCc = p[3] & 0x0F;
    pid->LastPayloadOffset = offset + 4;
    pid->LastPayloadLength = PacketBytes - 4;
    stream.PacketRows.clear();
    constexpr int64_t Length = PacketBytes - 4;
    const uint8_t *payload = p + 4;
    if (!stream.Collecting && !stream.AwaitHeader && stream.Zeros == 0 &&
        FindStartCodeEnd(payload, 2, Length) == Length)
        stream.Zeros = payload[Length - 1] != 0 ? 0 : (payload[Length - 2] != 0 ? 1 : 2);
    else
        Feed(*pid, payload, Length, offset + 4);
    return true;
}

// Reads the packets from pos on that the buffer holds with the sync byte of the packet behind them (a
// packet cut short in the file shows as a missing sync byte there), where the file has room for one.
// Returns where it stopped; lost when the sync bytes are not where the stride says.
int64_t TTSParser::TWalk::Packets(int64_t pos, bool &lost) {
    lost = false;
    while (!FParser.Aborted) {
        const int64_t next = pos + FStride;
        if (pos + PacketBytes > FSize || std::min(next + 1, FSize) > FBufferEnd)
            return pos;
        const uint8_t *p = FBuffer.data() + (pos - FBufferStart);
        if (p[0] != SyncByte ||
            (FSize - next >= PacketBytes && FBuffer[static_cast<size_t>(next - FBufferStart)] != SyncByte)) {
            lost = true;
            return pos;
        }
        if (!CommonPacket(p, pos))
            Packet(p, pos);
        pos = next;
    }
    return pos;
}

void TTSParser::TWalk::Packet(const uint8_t *p, int64_t offset) {
    FPacketRead = true;
    const auto number = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    if (number == NullPid)
        return;
    TPid &pid = Pid(number);
    if (pid.Kind == TKind::Other)
        return;
    if ((p[1] & 0x80) != 0) {
        // The PID itself may be wrong; the packets missing show in its counter.
        if (!FDamagedNoticed)
            FParser.Notice(TScanNotice::TKind::NotScanned, offset, Format(STsPacketDamaged, offset));
        FDamagedNoticed = true;
        return;
    }
    const uint8_t flags = p[3];
    const int control = (flags >> 4) & 3;
    if (control == 0)
        return; // reserved: such packets are passed over
    int at = 4;
    bool discontinuity = false;
    if ((control & 2) != 0) {
        const int length = p[4];
        if (length > (control == 3 ? PacketBytes - 6 : PacketBytes - 5)) {
            FParser.Notice(TScanNotice::TKind::Structure, offset, Format(STsAdaptationPastPacket, offset));
            if (pid.Kind != TKind::Unknown)
                Break(pid, TBreak::Gap);
            return;
        }
        discontinuity = length > 0 && (p[5] & 0x80) != 0;
        at = 5 + length;
    }
    if ((control & 1) == 0) {
        if (discontinuity)
            pid.DiscontinuityPending = true;
        return;
    }
    const bool unitStart = (p[1] & 0x40) != 0;
    const bool scrambled = (flags & 0xC0) != 0;
    if (pid.Kind == TKind::Unknown) {
        if (!unitStart || scrambled || number < FirstElementaryPid ||
            !BeginsWithAccessUnitDelimiter(p + at, PacketBytes - at)) {
            ++pid.PacketsBefore;
            return;
        }
        MakeVideo(pid, true);
        FParser.Notice(TScanNotice::TKind::Structure, offset, Format(STsPidByContent, Label(pid), offset));
    }

    const int cc = flags & 0x0F;
    bool jumped = false;
    bool announced = false;
    if (pid.LastCc >= 0) {
        announced = discontinuity || pid.DiscontinuityPending;
        if (!announced && cc == pid.LastCc) {
            if (Duplicate(pid, p + at, PacketBytes - at)) {
                Duplicated(pid);
                return;
            }
            jumped = true;
        } else if (!announced && cc != ((pid.LastCc + 1) & 0x0F)) {
            jumped = true;
        }
    }
    if (jumped)
        FParser.Notice(TScanNotice::TKind::Structure, offset,
                       Format(STsPacketsMissing, Label(pid), offset, pid.LastCc, cc));
    pid.DiscontinuityPending = false;
    pid.LastCc = cc;
    pid.LastPayloadOffset = offset + at;
    pid.LastPayloadLength = PacketBytes - at;
    pid.HadPayload = true;
    if (jumped)
        Break(pid, TBreak::Gap);
    else if (announced)
        Break(pid, TBreak::Discontinuity);
    if (scrambled) {
        if (!pid.Scrambled)
            FParser.Notice(TScanNotice::TKind::NotScanned, offset, Format(STsScrambled, Label(pid), offset));
        pid.Scrambled = true;
        Break(pid, TBreak::Scrambled);
        return;
    }
    if (pid.Kind == TKind::H264) {
        pid.Stream->PacketRows.clear();
        StreamPayload(pid, p + at, PacketBytes - at, offset + at, offset, unitStart);
    } else
        SectionPayload(pid, p + at, PacketBytes - at, offset, unitStart);
}

// A packet sent twice: the same counter and the same payload as the packet before it.
bool TTSParser::TWalk::Duplicate(const TPid &pid, const uint8_t *payload, int length) {
    if (pid.LastPayloadLength != length || pid.LastPayloadOffset < 0)
        return false;
    if (pid.LastPayloadOffset >= FBufferStart && pid.LastPayloadOffset + length <= FBufferEnd)
        return std::memcmp(FBuffer.data() + (pid.LastPayloadOffset - FBufferStart), payload,
                           static_cast<size_t>(length)) == 0;
    std::array<uint8_t, PacketBytes> before{};
    FStream.Seek(pid.LastPayloadOffset);
    FStream.ReadBuffer(before.data(), static_cast<size_t>(length));
    return std::memcmp(before.data(), payload, static_cast<size_t>(length)) == 0;
}

// A change would reach only the first of two copies of a packet: the SPS that have bytes in it are not
// changed.
void TTSParser::TWalk::Duplicated(TPid &pid) {
    if (pid.Kind != TKind::H264)
        return;
    TStreamState &stream = *pid.Stream;
    const std::string *reason = FSession.KeepReason(Format(SSpsInDuplicate, Label(pid)));
    for (size_t row : stream.PacketRows)
        SetReason(row, reason);
    if (stream.Collecting && stream.Reason == nullptr)
        stream.Reason = reason;
}

// The bytes of the PID do not go on from the last packet read: what was being put together does not
// join what follows, and an SPS being read gets the reason it can not be changed.
void TTSParser::TWalk::Break(TPid &pid, TBreak kind) {
    if (pid.Kind != TKind::H264) {
        pid.SectionActive = false;
        return;
    }
    TStreamState &stream = *pid.Stream;
    stream.Zeros = 0;
    stream.AwaitHeader = false;
    if (stream.Collecting && stream.Reason == nullptr) {
        std::string reason;
        switch (kind) {
        case TBreak::Gap:
            reason = Format(SSpsAcrossGap, Label(pid));
            break;
        case TBreak::Discontinuity:
            reason = Format(SSpsAcrossDiscontinuity, Label(pid));
            break;
        case TBreak::Scrambled:
            reason = Format(SSpsScrambled, Label(pid));
            break;
        }
        stream.Reason = FSession.KeepReason(reason);
    }
    if (stream.State == TPesState::Head || stream.State == TPesState::HeadData)
        stream.State = TPesState::Skip; // the rest of the header is lost
    else if (stream.State == TPesState::Payload)
        stream.PayloadLeft = -1; // where the PES ends is no longer known
}

// After lost sync every PID may have lost packets; their counters start again.
void TTSParser::TWalk::BreakAll() {
    for (auto &pid : FPids)
        if (pid && pid->Kind != TKind::Other && pid->Kind != TKind::Unknown) {
            Break(*pid, TBreak::Gap);
            pid->LastCc = -1;
            pid->DiscontinuityPending = false;
        }
}

// ---- program tables ----

void TTSParser::TWalk::SectionPayload(TPid &pid, const uint8_t *p, int n, int64_t offset, bool unitStart) {
    if (!unitStart) {
        if (pid.SectionActive)
            SectionBytes(pid, p, n);
        return;
    }
    const int pointer = p[0];
    if (1 + pointer > n) {
        FParser.Notice(TScanNotice::TKind::Structure, offset, Format(STsPointerPastPacket, offset));
        pid.SectionActive = false;
        return;
    }
    if (pid.SectionActive)
        SectionBytes(pid, p + 1, pointer);
    pid.SectionActive = false; // a section the pointer cuts short is not read
    int at = 1 + pointer;
    while (at < n && p[at] != 0xFF) {
        pid.Section.clear();
        pid.SectionActive = true;
        pid.SectionOffset = offset;
        at += SectionBytes(pid, p + at, n - at);
        if (pid.SectionActive)
            break; // it goes on in the next packet
    }
}

// Adds bytes to the section being put together; returns how many it took. Reads the section once it is
// whole.
int TTSParser::TWalk::SectionBytes(TPid &pid, const uint8_t *p, int n) {
    std::vector<uint8_t> &section = pid.Section;
    int taken = 0;
    while (taken < n && pid.SectionActive) {
        const size_t wanted = section.size() < 3 ? 3 : 3 + ((section[1] & 0x0F) << 8 | section[2]);
        const auto take =
            static_cast<int>(std::min<size_t>(wanted - section.size(), static_cast<size_t>(n - taken)));
        section.insert(section.end(), p + taken, p + taken + take);
        taken += take;
        if (section.size() < 3)
            break;
        const size_t length = 3 + ((section[1] & 0x0F) << 8 | section[2]);
        if (length > MaxSectionBytes) {
            FParser.Notice(TScanNotice::TKind::Structure, pid.SectionOffset,
                           Format(STsSectionTooLong, pid.SectionOffset, length));
            pid.SectionActive = false;
            return n; // where the next section would begin is not known
        }
        if (section.size() == length) {
            pid.SectionActive = false;
            Section(pid);
        }
    }
    return taken;
}

void TTSParser::TWalk::Section(TPid &pid) {
    const std::vector<uint8_t> &section = pid.Section;
    // Program tables have the long form: a syntax flag, five more header bytes and a CRC.
    if (section.size() < 12 || (section[1] & 0x80) == 0)
        return;
    if (SectionCrc(section.data(), section.size()) != 0) {
        FParser.Notice(TScanNotice::TKind::Structure, pid.SectionOffset,
                       Format(STsSectionCrc, pid.SectionOffset));
        return;
    }
    const uint32_t crc = static_cast<uint32_t>(section[section.size() - 4]) << 24 |
                         static_cast<uint32_t>(section[section.size() - 3]) << 16 |
                         static_cast<uint32_t>(section[section.size() - 2]) << 8 |
                         section[section.size() - 1];
    if ((section[5] & 0x01) == 0)
        return; // current_next_indicator 0: a table that applies later
    pid.SectionRead = true;
    if (pid.HaveLastCrc && crc == pid.LastCrc)
        return; // the same table again
    pid.HaveLastCrc = true;
    pid.LastCrc = crc;
    if (pid.Kind == TKind::Pat && section[0] == PatTableId)
        AssociationTable(section);
    else if (pid.Kind == TKind::Pmt && section[0] == PmtTableId)
        MapTable(pid, section);
}

void TTSParser::TWalk::AssociationTable(const std::vector<uint8_t> &section) {
    FAssociationSeen = true;
    const size_t end = section.size() - 4;
    for (size_t at = 8; at + 4 <= end; at += 4) {
        const int program = section[at] << 8 | section[at + 1];
        const auto number = static_cast<uint16_t>((section[at + 2] & 0x1F) << 8 | section[at + 3]);
        if (program == 0 || number == NullPid)
            continue; // the network information table
        TPid &map = Pid(number);
        if (map.Kind != TKind::Unknown)
            continue;
        map.Kind = TKind::Pmt;
        map.Program = program;
        FMapPids.push_back(number);
    }
}

void TTSParser::TWalk::MapTable(TPid &pid, const std::vector<uint8_t> &section) {
    const size_t end = section.size() - 4;
    const size_t infoLength = (section[10] & 0x0F) << 8 | section[11];
    struct TEntry {
        uint16_t Number;
        bool Video;
    };
    std::vector<TEntry> entries;
    size_t at = 12 + infoLength;
    while (at < end) {
        if (at + 5 > end)
            break;
        const size_t entryInfo = (section[at + 3] & 0x0F) << 8 | section[at + 4];
        entries.push_back({static_cast<uint16_t>((section[at + 1] & 0x1F) << 8 | section[at + 2]),
                           section[at] == StreamTypeH264});
        at += 5 + entryInfo;
    }
    if (at != end) {
        FParser.Notice(TScanNotice::TKind::Structure, pid.SectionOffset,
                       Format(STsTableDamaged, pid.SectionOffset));
        pid.HaveLastCrc = false;
        return;
    }
    for (const TEntry &entry : entries)
        Classify(entry.Number, entry.Video, pid);
    // A stream this map named H.264 that its new version leaves out is no longer read as such.
    for (uint16_t number : FVideoPids) {
        TPid &video = *FPids[number];
        if (video.Kind == TKind::H264 && video.MapPid == pid.Number &&
            std::none_of(entries.begin(), entries.end(),
                         [number](const TEntry &entry) { return entry.Number == number; }))
            Switch(video, false, pid);
    }
}

// What a program map says a PID carries. The map that first names a PID says what its packets are, from
// then on, as its current version says: a new version that names it otherwise switches it where it is
// read. A map overrules the guess made from a PID's content; another program's map does not overrule the
// one that named it.
void TTSParser::TWalk::Classify(uint16_t number, bool video, const TPid &map) {
    if (number == NullPid)
        return;
    TPid &pid = Pid(number);
    if (pid.Kind == TKind::Unknown) {
        pid.MapPid = map.Number;
        if (!video) {
            pid.Kind = TKind::Other;
            return;
        }
        MakeVideo(pid, false);
        if (pid.PacketsBefore > 0)
            FParser.Notice(TScanNotice::TKind::NotScanned, map.SectionOffset,
                           Format(STsReadBeforeMap, pid.PacketsBefore, Label(pid)));
    } else if (pid.Kind == TKind::H264 && pid.Stream->ByContent) {
        pid.Stream->ByContent = false;
        pid.MapPid = map.Number;
        if (!video) {
            pid.Kind = TKind::Other; // what was found in it stays listed
            pid.Stream->Collecting = false;
        }
    } else if (pid.MapPid == map.Number && (pid.Kind == TKind::H264) != video &&
               (pid.Kind == TKind::H264 || pid.Kind == TKind::Other)) {
        Switch(pid, video, map);
    }
}

// A new version of the map that named the PID says it carries H.264 now, or no longer. Bytes of a PES
// that began under the old map are no H.264: the stream is read from its next PES on; an SPS being read
// when the map ends H.264 is dropped. What was listed before stays, with its track.
void TTSParser::TWalk::Switch(TPid &pid, bool video, const TPid &map) {
    auto reset = [&pid] {
        TTrack *track = pid.Stream->Track;
        *pid.Stream = TStreamState();
        pid.Stream->Track = track;
    };
    if (!video) {
        pid.Kind = TKind::Other;
        reset();
        FParser.Notice(TScanNotice::TKind::NotScanned, map.SectionOffset,
                       Format(STsMapNoLongerH264, map.SectionOffset, Label(pid)));
        return;
    }
    if (pid.Stream)
        reset();
    else
        MakeVideo(pid, false);
    pid.Kind = TKind::H264;
    pid.LastCc = -1;
    pid.DiscontinuityPending = false;
    pid.Stream->State = TPesState::Skip;
    FParser.Notice(TScanNotice::TKind::Structure, map.SectionOffset,
                   Format(STsMapNowH264, map.SectionOffset, Label(pid)));
}

void TTSParser::TWalk::MakeVideo(TPid &pid, bool byContent) {
    pid.Kind = TKind::H264;
    pid.LastCc = -1;
    pid.DiscontinuityPending = false;
    pid.Stream = std::make_unique<TStreamState>();
    pid.Stream->ByContent = byContent;
    pid.Stream->Track = &FSession.AddTrack(pid.Number, Label(pid));
    pid.Stream->Track->Codec = CodecOfStreamType(StreamTypeH264);
    FVideoPids.push_back(pid.Number);
}

// ---- PES packets and the elementary stream ----

void TTSParser::TWalk::StreamPayload(TPid &pid, const uint8_t *p, int n, int64_t offset, int64_t packetOffset,
                                     bool unitStart) {
    TStreamState &stream = *pid.Stream;
    if (unitStart) {
        stream.State = TPesState::Head;
        stream.HeadCount = 0;
    }
    int at = 0;
    while (at < n) {
        switch (stream.State) {
        case TPesState::Skip:
            return;
        case TPesState::Head: {
            const int take = std::min(static_cast<int>(stream.Head.size()) - stream.HeadCount, n - at);
            std::memcpy(stream.Head.data() + stream.HeadCount, p + at, static_cast<size_t>(take));
            stream.HeadCount += take;
            at += take;
            if (stream.HeadCount == static_cast<int>(stream.Head.size()) && !PesHeader(pid, packetOffset))
                stream.State = TPesState::Skip;
            break;
        }
        case TPesState::HeadData: {
            const int take = std::min(stream.HeadDataLeft, n - at);
            stream.HeadDataLeft -= take;
            at += take;
            if (stream.HeadDataLeft == 0)
                stream.State = TPesState::Payload;
            break;
        }
        case TPesState::Loose:
        case TPesState::Payload: {
            int64_t take = n - at;
            if (stream.PayloadLeft >= 0)
                take = std::min(take, stream.PayloadLeft);
            Feed(pid, p + at, take, offset + at);
            at += static_cast<int>(take);
            if (stream.PayloadLeft >= 0) {
                stream.PayloadLeft -= take;
                if (stream.PayloadLeft == 0)
                    stream.State = TPesState::Skip; // bytes behind a PES of known length are no data
            }
            break;
        }
        }
    }
}

// The first nine bytes of a PES header are read: false when no elementary stream data follows.
bool TTSParser::TWalk::PesHeader(TPid &pid, int64_t packetOffset) {
    TStreamState &stream = *pid.Stream;
    const std::array<uint8_t, 9> &head = stream.Head;
    if (head[0] == 0 && head[1] == 0 && head[2] == 1 && PesWithoutOptionalHeader(head[3]))
        return false;
    const int length = head[4] << 8 | head[5];
    const int headData = head[8];
    if (head[0] != 0 || head[1] != 0 || head[2] != 1 || (head[6] & 0xC0) != 0x80 ||
        (length != 0 && length < 3 + headData)) {
        FParser.Notice(TScanNotice::TKind::Structure, packetOffset,
                       Format(STsPesHeaderBad, Label(pid), packetOffset));
        return false;
    }
    stream.PayloadLeft = length == 0 ? -1 : length - 3 - headData;
    stream.HeadDataLeft = headData;
    stream.State = headData > 0 ? TPesState::HeadData : TPesState::Payload;
    BeginPes(pid, (head[7] & 0x02) != 0);
    return true;
}

// A PES CRC covers the data of the PES before it: the SPS that end there, and one still being read, can not
// be changed without making it wrong. An SPS in a PES that carries one is not changed either: a stream that
// carries them does so throughout, and the last PES's CRC may lie beyond the end of the file.
void TTSParser::TWalk::BeginPes(TPid &pid, bool crc) {
    TStreamState &stream = *pid.Stream;
    if (crc) {
        const std::string *reason = FSession.KeepReason(Format(SSpsUnderPesCrc, Label(pid)));
        for (size_t row : stream.PesRows)
            SetReason(row, reason);
        if (stream.Collecting)
            stream.UnderCrc = true;
    }
    stream.PesRows.clear();
    stream.PesCrc = crc;
}

void TTSParser::TWalk::SetReason(size_t row, const std::string *reason) {
    TARInfo &record = *FSession.ARInfoList.Items(row);
    if (record.NotChangeable == nullptr)
        record.NotChangeable = reason;
}

// Elementary stream bytes: the start codes among them, and the SPS they begin. A start code may be split
// between packets, so the zero bytes last read and a start code waiting for its header byte carry over.
void TTSParser::TWalk::Feed(TPid &pid, const uint8_t *p, int64_t n, int64_t offset) {
    TStreamState &stream = *pid.Stream;
    if (stream.Collecting)
        Collect(pid, p, n, offset);
    // Without zero bytes before these, no start code ends in the first two of them.
    int64_t at = n >= 2 && stream.Zeros == 0 && !stream.AwaitHeader ? 2 : 0;
    while (at < n) {
        if (stream.AwaitHeader) {
            stream.AwaitHeader = false;
            if (NalUnitTypeOf(p[at]) == NalTypeSps) {
                stream.Collecting = true;
                stream.Sps.clear();
                stream.Extents.clear();
                stream.Reason = nullptr;
                stream.UnderCrc = stream.PesCrc;
                Collect(pid, p + at, n - at, offset + at);
            }
            stream.Zeros = p[at] == 0 ? 1 : 0;
            ++at;
            continue;
        }
        if (at < 2) {
            // A start code may have begun in the bytes before these.
            stream.AwaitHeader = p[at] == 1 && stream.Zeros >= 2;
            stream.Zeros = p[at] == 0 ? std::min(stream.Zeros + 1, 2) : 0;
            ++at;
            continue;
        }
        const int64_t end = FindStartCodeEnd(p, at, n);
        if (end == n)
            break;
        stream.AwaitHeader = true;
        at = end + 1;
    }
    if (n >= 2 && !stream.AwaitHeader)
        stream.Zeros = p[n - 1] != 0 ? 0 : (p[n - 2] != 0 ? 1 : 2);
}

// Adds bytes to the SPS being read, and hands it over where it ends: before the next 00 00 00, 00 00 01
// or 00 00 02 (as FindAnnexBUnitEnd finds it), or when MaxSpsBytes are read.
void TTSParser::TWalk::Collect(TPid &pid, const uint8_t *p, int64_t n, int64_t offset) {
    TStreamState &stream = *pid.Stream;
    std::vector<uint8_t> &bytes = stream.Sps;
    const auto had = static_cast<int64_t>(bytes.size());
    const int64_t take = std::min(n, MaxSpsBytes - had);
    bytes.insert(bytes.end(), p, p + take);
    if (!stream.Extents.empty() && stream.Extents.back().FileOffset + stream.Extents.back().Length == offset)
        stream.Extents.back().Length += take;
    else
        stream.Extents.push_back({offset, take});
    const int64_t size = had + take;
    for (int64_t i = std::max<int64_t>(1, had - 2); i + 2 < size; ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] <= 2) {
            FinishSps(pid, FindAnnexBUnitEnd(bytes.data(), i + 3, true), true);
            return;
        }
    if (size == MaxSpsBytes)
        FinishSps(pid, FindAnnexBUnitEnd(bytes.data(), size, true), false);
}

void TTSParser::TWalk::FinishSps(TPid &pid, int64_t end, bool complete) {
    TStreamState &stream = *pid.Stream;
    stream.Collecting = false;
    stream.Sps.resize(static_cast<size_t>(end));
    std::vector<TExtent> extents;
    for (const TExtent &extent : stream.Extents) {
        if (end == 0)
            break;
        const int64_t length = std::min(extent.Length, end);
        extents.push_back({extent.FileOffset, length});
        end -= length;
    }
    const std::string *reason = stream.Reason;
    if (reason == nullptr && stream.UnderCrc)
        reason = FSession.KeepReason(Format(SSpsUnderPesCrc, Label(pid)));
    if (reason == nullptr && pid.Scrambled)
        reason = FSession.KeepReason(Format(SSpsScrambled, Label(pid)));
    const size_t rows = FSession.ARInfoList.Count();
    FParser.KeepUnit(*stream.Track->Codec->Codec, {std::move(stream.Sps), complete},
                     TPlacement(std::move(extents)), stream.Track, reason);
    stream.Sps = {};
    if (FSession.ARInfoList.Count() > rows && reason == nullptr) {
        stream.PesRows.push_back(rows);
        stream.PacketRows.push_back(rows);
    }
}

// ---- the end ----

// A PID found scrambled: none of its SPS is changed, also those read before its scrambled packets.
void TTSParser::TWalk::MarkScrambled() {
    for (size_t row = 0; row < FSession.ARInfoList.Count(); ++row) {
        TARInfo &record = *FSession.ARInfoList.Items(row);
        if (record.Track == nullptr || record.NotChangeable != nullptr)
            continue;
        const auto number = static_cast<uint16_t>(record.Track->Number);
        if (number < PidCount && FPids[number] && FPids[number]->Scrambled)
            record.NotChangeable = FSession.KeepReason(Format(SSpsScrambled, record.Track->Label));
    }
}

void TTSParser::TWalk::EndNotices() {
    if (!FPacketRead)
        return;
    if (!FAssociationSeen)
        FParser.Notice(TScanNotice::TKind::Structure, 0, STsNoProgramTable);
    for (uint16_t number : FMapPids) {
        const TPid &map = *FPids[number];
        if (!map.SectionRead)
            FParser.Notice(TScanNotice::TKind::Structure, 0, Format(STsMapMissing, number, map.Program));
    }
    for (uint16_t number : FVideoPids) {
        const TPid &pid = *FPids[number];
        if (!pid.HadPayload)
            FParser.Notice(TScanNotice::TKind::NotScanned, 0, Format(STsNoPayload, Label(pid)));
    }
    if (FVideoPids.empty())
        FParser.Notice(TScanNotice::TKind::Structure, 0, STsNoVideo);
}

// ---- TTSParser ----

TTSParser::TTSParser(TScanSession &session) : TParser(session) {}

TTSParser::~TTSParser() = default;

void TTSParser::Walk(TStream &stream) {
    int64_t stride = TsPacketStride(Session.Format);
    if (stride == 0)
        stride = TsPacketStride(DetectFormat(stream));
    if (stride == 0)
        throw Exception(SNotATransportStream);
    TWalk walk(*this, stream, stride);
    walk.Run();
}
