#include "TSParser.h"

#include "PesReader.h"
#include "TsPackets.h"
#include "TsProgramTables.h"
#include "UnitCollector.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "codec/CodecRegistry.h"

#include <algorithm>
#include <array>
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

constexpr int PidCount = 8192;
// PIDs below this one carry the tables of the standard and of DVB/ATSC, never a stream found by content.
constexpr uint16_t FirstElementaryPid = 0x0020;

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
        : FParser(parser), FSession(parser.Session), FStride(stride),
          FPackets(stream, stride,
                   [&parser](int64_t position, int64_t total) { parser.ReportProgress(position, total); }) {}

    void Run();

private:
    enum class TKind : uint8_t { Unknown, Pat, Pmt, Video, Other };
    // Why the bytes of a PID do not simply go on from one packet to the next.
    enum class TBreak : uint8_t { Gap, Discontinuity, Scrambled };

    struct TPid;

    // The video of one PID, of a codec the program reads: its PES packets put together, and the units that
    // state a ratio found in their data.
    struct TVideoStream : TPesConsumer, TUnitConsumer {
        TVideoStream(TWalk &walk, TPid &pid, TTrack &track)
            : Walk(walk), Pid(pid), Track(&track), Units(*track.Codec->Codec, *this) {}

        void PesBegins(bool crc) override { Walk.BeginPes(Pid, crc); }
        void PesData(const uint8_t *bytes, int64_t count, int64_t offset) override {
            Units.Read(bytes, count, offset);
        }
        void PesHeaderBad(int64_t place) override {
            Walk.Notice(TScanNotice::TKind::Structure, place,
                        Format(STsPesHeaderBad, Walk.Label(Pid), place));
        }
        void UnitBegins() override {
            Reason = nullptr;
            UnderCrc = PesCrc;
        }
        void UnitEnds(TNalUnitBytes unit, TPlacement placement) override {
            Walk.KeepUnit(Pid, std::move(unit), std::move(placement));
        }

        TWalk &Walk;
        TPid &Pid;
        TTrack *Track;
        bool ByContent = false; // found by its PES, not named by a program map
        TPesReader Pes{*this};
        TUnitCollector Units;
        bool PesCrc = false;            // the current PES carries a CRC (over the PES before it)
        std::vector<size_t> PesRows;    // changeable rows whose unit ends in the current PES
        std::vector<size_t> PacketRows; // changeable rows whose unit ends in the last packet read
        // Why the unit being collected can not be changed.
        const std::string *Reason = nullptr;
        bool UnderCrc = false;
    };

    struct TPid {
        explicit TPid(uint16_t number) : Number(number) {}
        uint16_t Number;
        TKind Kind = TKind::Unknown;
        TTsContinuity Continuity;
        bool HadPayload = false;
        bool Scrambled = false;
        int64_t PacketsBefore = 0; // packets with payload while the PID was not known to be video
        int Program = 0;           // for a program map: the program it maps
        int MapPid = -1;           // for a stream: the program map that said what it carries
        TTsSectionReader Sections; // for a program table
        std::unique_ptr<TVideoStream> Stream;
    };

    TPid &Pid(uint16_t number);
    std::string Label(const TPid &pid) const { return Format(STsPidLabel, pid.Number); }
    void Notice(TScanNotice::TKind kind, int64_t fileOffset, const std::string &text) {
        FParser.Notice(kind, fileOffset, text);
    }

    bool CommonPacket(const uint8_t *p, int64_t offset, bool startCodeInside);
    void Packet(const uint8_t *p, int64_t offset);
    void Duplicated(TPid &pid);
    void Break(TPid &pid, TBreak kind);
    void BreakAll();

    bool Section(TPid &pid, const std::vector<uint8_t> &section, int64_t offset);
    void AssociationTable(const std::vector<uint8_t> &section);
    bool MapTable(TPid &pid, const std::vector<uint8_t> &section, int64_t offset);
    void Classify(uint16_t number, const TCodecEntry *codec, const TPid &map, int64_t mapOffset);
    void MakeVideo(TPid &pid, const TCodecEntry &codec, bool byContent);
    void Switch(TPid &pid, const TCodecEntry *codec, int64_t mapOffset);

    void BeginPes(TPid &pid, bool crc);
    void KeepUnit(TPid &pid, TNalUnitBytes unit, TPlacement placement);
    void SetReason(size_t row, const std::string *reason);

    void MarkScrambled();
    void EndNotices();

    TTSParser &FParser;
    TScanSession &FSession;
    const int64_t FStride;
    TTsPacketReader FPackets;
    TTsNotify FNotify = [this](TScanNotice::TKind kind, int64_t offset, const std::string &text) {
        Notice(kind, offset, text);
    };
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
        if (number == TsPatPid)
            pid->Kind = TKind::Pat;
    }
    return *pid;
}

void TTSParser::TWalk::Run() {
    if (FParser.Aborted)
        return;
    using TStepKind = TTsPacketReader::TStep::TKind;
    try {
        for (bool done = false; !done && !FParser.Aborted;) {
            const TTsPacketReader::TStep step = FPackets.Next();
            switch (step.Kind) {
            case TStepKind::Packet:
                if (!CommonPacket(step.Packet, step.Offset, step.StartCodeInside))
                    Packet(step.Packet, step.Offset);
                break;
            case TStepKind::Skipped:
                Notice(TScanNotice::TKind::NotScanned, step.Offset,
                       Format(STsBytesSkipped, step.Offset, step.End, FStride));
                break;
            case TStepKind::SyncLost:
                Notice(TScanNotice::TKind::NotScanned, step.Offset,
                       Format(STsBytesSkipped, step.Offset, step.End, FStride));
                BreakAll();
                break;
            case TStepKind::CutShort:
                Notice(TScanNotice::TKind::NotScanned, step.Offset, Format(STsLastPacketCut, step.Offset));
                break;
            case TStepKind::End:
                done = true;
                break;
            }
        }
        // The units that the end of the file ends (an abort leaves them unread).
        for (uint16_t number : FParser.Aborted ? std::vector<uint16_t>{} : FVideoPids)
            FPids[number]->Stream->Units.Finish();
    } catch (...) {
        MarkScrambled(); // what was listed before the error must not be written either
        throw;
    }
    MarkScrambled();
    if (!FParser.Aborted)
        EndNotices();
}

// ---- packets ----

// Most packets of a stream are of one kind: payload only, of a PID of video in the middle of a PES, the
// counter in step. Those are read here at once; false for any other packet.
PacketStep bool TTSParser::TWalk::CommonPacket(const uint8_t *p, int64_t offset, bool startCodeInside) {
    TPid *pid = FPids[static_cast<size_t>((p[1] & 0x1F) << 8 | p[2])].get();
    const int counter = p[3] & 0x0F;
    if (pid == nullptr || pid->Kind != TKind::Video || (p[1] & 0xC0) != 0 || (p[3] & 0xF0) != 0x10 ||
        !pid->Continuity.InStep(counter) || !pid->Stream->Pes.OpenData())
        return false;
    constexpr int Length = TsPacketBytes - 4;
    pid->Continuity.Take(counter, offset + 4, Length);
    pid->Stream->PacketRows.clear();
    // All of it data, which the PES reader would hand on.
    pid->Stream->Units.Read(p + 4, Length, offset + 4, startCodeInside);
    return true;
}

void TTSParser::TWalk::Packet(const uint8_t *p, int64_t offset) {
    FPacketRead = true;
    const TTsPacketHeader header = ReadTsPacketHeader(p);
    if (header.Pid == TsNullPid)
        return;
    TPid &pid = Pid(header.Pid);
    if (pid.Kind == TKind::Other)
        return;
    if (header.Damaged) {
        // The PID itself may be wrong; the packets missing show in its counter.
        if (!FDamagedNoticed)
            Notice(TScanNotice::TKind::NotScanned, offset, Format(STsPacketDamaged, offset));
        FDamagedNoticed = true;
        return;
    }
    if (header.Reserved)
        return; // such packets are passed over
    if (header.AdaptationPastPacket) {
        Notice(TScanNotice::TKind::Structure, offset, Format(STsAdaptationPastPacket, offset));
        if (pid.Kind != TKind::Unknown)
            Break(pid, TBreak::Gap);
        return;
    }
    if (!header.HasPayload) {
        if (header.Discontinuity)
            pid.Continuity.Announce();
        return;
    }
    const uint8_t *payload = p + header.PayloadAt;
    const int length = TsPacketBytes - header.PayloadAt;
    if (pid.Kind == TKind::Unknown) {
        const int64_t data = header.UnitStart && !header.Scrambled && header.Pid >= FirstElementaryPid
                                 ? VideoPesDataStart(payload, static_cast<size_t>(length))
                                 : -1;
        const TCodec *codec =
            data < 0 ? nullptr : CodecOfPesPayload(payload + data, static_cast<size_t>(length - data));
        if (codec == nullptr) {
            ++pid.PacketsBefore;
            return;
        }
        MakeVideo(pid, *CodecByKey(codec->Key()), true);
        Notice(TScanNotice::TKind::Structure, offset,
               Format(STsPidByContent, Label(pid), codec->Name(), offset));
    }

    using TStep = TTsContinuity::TStep;
    const TStep step = pid.Continuity.Follow(header.Counter, header.Discontinuity);
    bool jumped = step == TStep::Jumped;
    if (step == TStep::Same) {
        if (pid.Continuity.LastPayloadLength() == length && pid.Continuity.LastPayloadOffset() >= 0 &&
            FPackets.Holds(pid.Continuity.LastPayloadOffset(), payload, length)) {
            Duplicated(pid);
            return;
        }
        jumped = true;
    }
    if (jumped)
        Notice(TScanNotice::TKind::Structure, offset,
               Format(STsPacketsMissing, Label(pid), offset, pid.Continuity.Last(), header.Counter));
    pid.Continuity.Take(header.Counter, offset + header.PayloadAt, length);
    pid.HadPayload = true;
    if (jumped)
        Break(pid, TBreak::Gap);
    else if (step == TStep::Announced)
        Break(pid, TBreak::Discontinuity);
    if (header.Scrambled) {
        if (!pid.Scrambled)
            Notice(TScanNotice::TKind::NotScanned, offset, Format(STsScrambled, Label(pid), offset));
        pid.Scrambled = true;
        Break(pid, TBreak::Scrambled);
        return;
    }
    if (pid.Kind == TKind::Video) {
        TVideoStream &stream = *pid.Stream;
        stream.PacketRows.clear();
        if (header.UnitStart)
            stream.Pes.Start(offset);
        stream.Pes.Read(payload, length, offset + header.PayloadAt);
    } else {
        pid.Sections.Read(payload, length, offset, header.UnitStart, FNotify,
                          [this, &pid](const std::vector<uint8_t> &section, int64_t at) {
                              return Section(pid, section, at);
                          });
    }
}

// A change would reach only the first of two copies of a packet: the units that have bytes in it are not
// changed.
void TTSParser::TWalk::Duplicated(TPid &pid) {
    if (pid.Kind != TKind::Video)
        return;
    TVideoStream &stream = *pid.Stream;
    const std::string *reason = FSession.KeepReason(Format(SSpsInDuplicate, Label(pid)));
    for (size_t row : stream.PacketRows)
        SetReason(row, reason);
    if (stream.Units.Collecting() && stream.Reason == nullptr)
        stream.Reason = reason;
}

// The bytes of the PID do not go on from the last packet read: what was being put together does not
// join what follows, and a unit being read gets the reason it can not be changed.
void TTSParser::TWalk::Break(TPid &pid, TBreak kind) {
    if (pid.Kind != TKind::Video) {
        pid.Sections.Break();
        return;
    }
    TVideoStream &stream = *pid.Stream;
    stream.Units.Break();
    if (stream.Units.Collecting() && stream.Reason == nullptr) {
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
    stream.Pes.Break();
}

// After lost sync every PID may have lost packets; their counters start again.
void TTSParser::TWalk::BreakAll() {
    for (auto &pid : FPids)
        if (pid && pid->Kind != TKind::Other && pid->Kind != TKind::Unknown) {
            Break(*pid, TBreak::Gap);
            pid->Continuity.Restart();
        }
}

// ---- program tables ----

bool TTSParser::TWalk::Section(TPid &pid, const std::vector<uint8_t> &section, int64_t offset) {
    if (pid.Kind == TKind::Pat && TsTableId(section) == TsPatTableId)
        AssociationTable(section);
    else if (pid.Kind == TKind::Pmt && TsTableId(section) == TsPmtTableId)
        return MapTable(pid, section, offset);
    return true;
}

void TTSParser::TWalk::AssociationTable(const std::vector<uint8_t> &section) {
    FAssociationSeen = true;
    for (const TTsProgram &program : ReadAssociationTable(section)) {
        TPid &map = Pid(program.MapPid);
        if (map.Kind != TKind::Unknown)
            continue;
        map.Kind = TKind::Pmt;
        map.Program = program.Number;
        FMapPids.push_back(program.MapPid);
    }
}

bool TTSParser::TWalk::MapTable(TPid &pid, const std::vector<uint8_t> &section, int64_t offset) {
    const std::optional<std::vector<TTsStream>> streams = ReadMapTable(section);
    if (!streams) {
        Notice(TScanNotice::TKind::Structure, offset, Format(STsTableDamaged, offset));
        return false;
    }
    for (const TTsStream &stream : *streams)
        Classify(stream.Pid, CodecOfStreamType(stream.StreamType), pid, offset);
    // A stream of video this map named that its new version leaves out is no longer read as such.
    for (uint16_t number : FVideoPids) {
        TPid &video = *FPids[number];
        if (video.Kind == TKind::Video && video.MapPid == pid.Number &&
            std::none_of(streams->begin(), streams->end(),
                         [number](const TTsStream &stream) { return stream.Pid == number; }))
            Switch(video, nullptr, offset);
    }
    return true;
}

// What a program map says a PID carries. The map that first names a PID says what its packets are, from
// then on, as its current version says: a new version that names it otherwise switches it where it is
// read. A map overrules the guess made from a PID's content; another program's map does not overrule the
// one that named it. Video of a codec the program does not read is named, not read.
void TTSParser::TWalk::Classify(uint16_t number, const TCodecEntry *codec, const TPid &map,
                                int64_t mapOffset) {
    if (number == TsNullPid)
        return;
    const bool readable = codec != nullptr && codec->Codec != nullptr;
    TPid &pid = Pid(number);
    auto nameUnread = [&] {
        if (codec != nullptr && codec->Codec == nullptr)
            Notice(TScanNotice::TKind::NotScanned, mapOffset,
                   Format(SUnreadCodecStream, Label(pid), codec->Name));
    };
    if (pid.Kind == TKind::Unknown) {
        pid.MapPid = map.Number;
        if (!readable) {
            pid.Kind = TKind::Other;
            nameUnread();
            return;
        }
        MakeVideo(pid, *codec, false);
        if (pid.PacketsBefore > 0)
            Notice(TScanNotice::TKind::NotScanned, mapOffset,
                   Format(STsReadBeforeMap, pid.PacketsBefore, Label(pid), codec->Name));
    } else if (pid.Kind == TKind::Video && pid.Stream->ByContent) {
        pid.Stream->ByContent = false;
        pid.MapPid = map.Number;
        if (!readable) {
            pid.Kind = TKind::Other; // what was found in it stays listed
            pid.Stream->Units.Drop();
            nameUnread();
        }
    } else if (pid.MapPid == map.Number && (pid.Kind == TKind::Video) != readable &&
               (pid.Kind == TKind::Video || pid.Kind == TKind::Other)) {
        Switch(pid, readable ? codec : nullptr, mapOffset);
    }
}

// A new version of the map that named the PID says it carries video of a codec the program reads now, or
// no longer (codec null). Bytes of a PES that began under the old map are not of that codec: the stream is
// read from its next PES on; a unit being read when the map ends it is dropped. What was listed before
// stays, with its track.
void TTSParser::TWalk::Switch(TPid &pid, const TCodecEntry *codec, int64_t mapOffset) {
    if (codec == nullptr) {
        pid.Kind = TKind::Other;
        pid.Stream = std::make_unique<TVideoStream>(*this, pid, *pid.Stream->Track);
        Notice(TScanNotice::TKind::NotScanned, mapOffset,
               Format(STsMapNoLongerReadable, mapOffset, Label(pid)));
        return;
    }
    if (pid.Stream) {
        pid.Stream->Track->Codec = codec;
        pid.Stream = std::make_unique<TVideoStream>(*this, pid, *pid.Stream->Track);
    } else {
        MakeVideo(pid, *codec, false);
    }
    pid.Kind = TKind::Video;
    pid.Continuity.Restart();
    pid.Stream->Pes.SkipToNext();
    Notice(TScanNotice::TKind::Structure, mapOffset,
           Format(STsMapNowReadable, mapOffset, Label(pid), codec->Name));
}

void TTSParser::TWalk::MakeVideo(TPid &pid, const TCodecEntry &codec, bool byContent) {
    pid.Kind = TKind::Video;
    pid.Continuity.Restart();
    TTrack &track = FSession.AddTrack(pid.Number, Label(pid));
    track.Codec = &codec;
    pid.Stream = std::make_unique<TVideoStream>(*this, pid, track);
    pid.Stream->ByContent = byContent;
    FVideoPids.push_back(pid.Number);
}

// ---- PES packets and the units in them ----

// A PES CRC covers the data of the PES before it: the units that end there, and one still being read,
// can not be changed without making it wrong. A unit in a PES that carries one is not changed either: a
// stream that carries them does so throughout, and the last PES's CRC may lie beyond the end of the file.
void TTSParser::TWalk::BeginPes(TPid &pid, bool crc) {
    TVideoStream &stream = *pid.Stream;
    if (crc) {
        const std::string *reason = FSession.KeepReason(Format(SSpsUnderPesCrc, Label(pid)));
        for (size_t row : stream.PesRows)
            SetReason(row, reason);
        if (stream.Units.Collecting())
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

void TTSParser::TWalk::KeepUnit(TPid &pid, TNalUnitBytes unit, TPlacement placement) {
    TVideoStream &stream = *pid.Stream;
    const std::string *reason = stream.Reason;
    if (reason == nullptr && stream.UnderCrc)
        reason = FSession.KeepReason(Format(SSpsUnderPesCrc, Label(pid)));
    if (reason == nullptr && pid.Scrambled)
        reason = FSession.KeepReason(Format(SSpsScrambled, Label(pid)));
    const size_t rows = FSession.ARInfoList.Count();
    FParser.KeepUnit(*stream.Track->Codec->Codec, std::move(unit), placement, stream.Track, reason);
    if (FSession.ARInfoList.Count() > rows && reason == nullptr) {
        stream.PesRows.push_back(rows);
        stream.PacketRows.push_back(rows);
    }
}

// ---- the end ----

// A PID found scrambled: none of its units is changed, also those read before its scrambled packets.
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
        Notice(TScanNotice::TKind::Structure, 0, STsNoProgramTable);
    for (uint16_t number : FMapPids) {
        const TPid &map = *FPids[number];
        if (!map.Sections.SectionRead())
            Notice(TScanNotice::TKind::Structure, 0, Format(STsMapMissing, number, map.Program));
    }
    for (uint16_t number : FVideoPids) {
        const TPid &pid = *FPids[number];
        if (!pid.HadPayload)
            Notice(TScanNotice::TKind::NotScanned, 0,
                   Format(STsNoPayload, Label(pid), pid.Stream->Track->Codec->Name));
    }
    if (FVideoPids.empty())
        Notice(TScanNotice::TKind::Structure, 0, STsNoVideo);
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
