#include "PSParser.h"

#include "PesReader.h"
#include "TsProgramTables.h"
#include "UnitCollector.h"
#include "base/Messages.h"
#include "codec/CodecRegistry.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint8_t EndCode = 0xB9;
constexpr uint8_t PackCode = 0xBA;
constexpr uint8_t MapCode = 0xBC;
// The first start code value of the system level: end code, pack, system header and every stream_id.
constexpr uint8_t FirstSystemCode = EndCode;
constexpr uint8_t FirstVideoId = 0xE0;
constexpr size_t VideoIdCount = 16;
// The file is read in blocks of this size; a packet is at most 6 + 65535 bytes.
constexpr int64_t BlockSize = int64_t{1} << 20;
// The bytes that tell any packet's length: an MPEG-2 pack header's fourteen, with two to spare.
constexpr int64_t LengthBytes = 16;

bool IsVideoStream(uint8_t id) {
    return id >= FirstVideoId && id <= 0xEF;
}

// One entry of a program stream map: the stream_type of an elementary_stream_id.
struct TMapEntry {
    uint8_t StreamType;
    uint8_t StreamId;
};

} // namespace

class TPSParser::TWalk {
public:
    TWalk(TPSParser &parser, TStream &stream)
        : FParser(parser), FSession(parser.Session), FStream(stream), FSize(stream.Size()) {}

    void Run();

private:
    // One video stream of a codec the program reads: its PES packets read, and the units that state a
    // ratio found in their data.
    struct TVideo : TPesConsumer, TUnitConsumer {
        TVideo(TWalk &walk, uint8_t id, TTrack &track)
            : Walk(walk), Id(id), Track(track), Units(*track.Codec->Codec, *this) {}

        void PesBegins(bool crc) override { Walk.BeginPes(*this, crc); }
        void PesData(const uint8_t *bytes, int64_t count, int64_t offset) override {
            Units.Read(bytes, count, offset);
        }
        void PesHeaderBad(int64_t place) override {
            Walk.Notice(TScanNotice::TKind::Structure, place, Format(SPsPesHeaderBad, place, int64_t{Id}));
            Walk.Break(*this);
        }
        void UnitBegins() override {
            Reason = nullptr;
            UnderCrc = PesCrc;
        }
        void UnitEnds(TNalUnitBytes unit, TPlacement placement) override {
            Walk.KeepUnit(*this, std::move(unit), std::move(placement));
        }

        TWalk &Walk;
        uint8_t Id;
        TTrack &Track;
        TPesReader Pes{*this, TPesForms::Mpeg2OrMpeg1};
        TUnitCollector Units;
        bool PesCrc = false;         // the current PES carries a CRC (over the PES before it)
        std::vector<size_t> PesRows; // changeable rows whose unit ends in the current PES
        // Why the unit being collected can not be changed.
        const std::string *Reason = nullptr;
        bool UnderCrc = false;
    };

    enum class TKind : uint8_t { Unknown, Video, Other };
    // What is known of one video stream_id.
    struct TStreamId {
        TKind Kind = TKind::Unknown;
        bool Seen = false;         // PES packets of it were met
        int64_t PacketsBefore = 0; // PES packets met before its codec was told
        std::unique_ptr<TVideo> Video;
    };

    // The bytes of the file from offset on, at least count of them where the file has them (available
    // tells how many there are).
    const uint8_t *Bytes(int64_t offset, int64_t count, int64_t &available);
    // The next place at or after from where a pack or packet start code lies; FSize for none.
    int64_t NextStartCode(int64_t from);
    // The packet of that stream_id at the start code at, length bytes of it (fewer where the file ends
    // first).
    void Packet(uint8_t id, int64_t at, int64_t length);
    void VideoPacket(uint8_t id, int64_t offset, const uint8_t *p, int64_t length);
    const TCodecEntry *CodecByContent(const uint8_t *p, int64_t length, bool first) const;
    void Map(int64_t offset, const uint8_t *p, int64_t length);
    void Name(uint8_t id, const TCodecEntry *codec, int64_t offset);
    void MakeVideo(TStreamId &stream, uint8_t id, const TCodecEntry &codec, int64_t offset);

    void Skip(int64_t from, int64_t to);
    void Break(TVideo &video);
    void BeginPes(TVideo &video, bool crc);
    void KeepUnit(TVideo &video, TNalUnitBytes unit, TPlacement placement);
    void EndNotices();

    void Notice(TScanNotice::TKind kind, int64_t fileOffset, const std::string &text) {
        FParser.Notice(kind, fileOffset, text);
    }
    static std::string Label(uint8_t id) { return Format(SPsStreamLabel, int64_t{id}); }
    TStreamId &StreamOf(uint8_t id) { return FStreams[static_cast<size_t>(id - FirstVideoId)]; }

    TPSParser &FParser;
    TScanSession &FSession;
    TStream &FStream;
    int64_t FSize;
    std::vector<uint8_t> FBlock;
    int64_t FBlockStart = 0;
    std::array<TStreamId, VideoIdCount> FStreams;
};

const uint8_t *TPSParser::TWalk::Bytes(int64_t offset, int64_t count, int64_t &available) {
    const auto held = static_cast<int64_t>(FBlock.size());
    if (offset < FBlockStart || offset + std::min(count, FSize - offset) > FBlockStart + held) {
        FBlockStart = offset;
        FBlock.resize(static_cast<size_t>(std::min(std::max(count, BlockSize), FSize - offset)));
        FStream.Seek(offset);
        FStream.ReadBuffer(FBlock.data(), FBlock.size());
    }
    available = std::min(count, FBlockStart + static_cast<int64_t>(FBlock.size()) - offset);
    return FBlock.data() + (offset - FBlockStart);
}

int64_t TPSParser::TWalk::NextStartCode(int64_t from) {
    for (int64_t at = from; at + 4 <= FSize; at += BlockSize - 3) {
        int64_t available = 0;
        const uint8_t *p = Bytes(at, BlockSize, available);
        for (int64_t i = 0; i + 4 <= available; ++i)
            if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] >= FirstSystemCode)
                return at + i;
        if (available < BlockSize)
            break;
    }
    return FSize;
}

void TPSParser::TWalk::Run() {
    int64_t at = 0;
    int64_t reported = -BlockSize;
    // The probe allows a zero byte in front of the first start code.
    if (int64_t available = 0; FSize > 4) {
        const uint8_t *head = Bytes(0, 4, available);
        if (head[0] == 0 && head[1] == 0 && head[2] == 0 && head[3] == 1)
            at = 1;
    }
    while (at < FSize && !FParser.Aborted) {
        if (at - reported >= BlockSize) {
            FParser.ReportProgress(at, FSize);
            reported = at;
        }
        int64_t available = 0;
        const uint8_t *p = Bytes(at, LengthBytes, available);
        const bool startCode =
            available >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] >= FirstSystemCode;
        int64_t length = -1;
        if (startCode && p[3] == EndCode)
            length = 4;
        else if (startCode && p[3] == PackCode && available >= 14 && (p[4] & 0xC0) == 0x40)
            length = 14 + (p[13] & 0x07); // MPEG-2, with its stuffing
        else if (startCode && p[3] == PackCode && available >= 12 && (p[4] & 0xF0) == 0x20)
            length = 12; // MPEG-1
        else if (startCode && p[3] != PackCode && available >= 6)
            length = 6 + (int64_t{p[4]} << 8 | p[5]);
        if (length < 0) {
            if (startCode && available < LengthBytes && at + available == FSize) {
                Notice(TScanNotice::TKind::Structure, at, Format(SPsLastPacketCut, at));
                break;
            }
            const int64_t next = NextStartCode(at + 1);
            Skip(at, next);
            at = next;
            continue;
        }
        if (at + length > FSize)
            Notice(TScanNotice::TKind::Structure, at, Format(SPsLastPacketCut, at));
        Packet(p[3], at, std::min(length, FSize - at));
        at += length;
    }
    if (FParser.Aborted)
        return; // the units being read are left unread
    for (TStreamId &stream : FStreams)
        if (stream.Kind == TKind::Video)
            stream.Video->Units.Finish();
    EndNotices();
}

void TPSParser::TWalk::Packet(uint8_t id, int64_t at, int64_t length) {
    if (!IsVideoStream(id) && id != MapCode)
        return;
    int64_t available = 0;
    const uint8_t *p = Bytes(at, length, available);
    if (id == MapCode)
        Map(at, p, available);
    else
        VideoPacket(id, at, p, available);
}

// ---- video streams ----

// A PES packet of a video stream: its data go to the stream's PES reader once its codec is known, the
// first packet that tells it included.
void TPSParser::TWalk::VideoPacket(uint8_t id, int64_t offset, const uint8_t *p, int64_t length) {
    TStreamId &stream = StreamOf(id);
    const bool first = !stream.Seen;
    stream.Seen = true;
    if (stream.Kind == TKind::Unknown) {
        const TCodecEntry *codec = CodecByContent(p, length, first);
        if (codec == nullptr) {
            ++stream.PacketsBefore;
            return;
        }
        Name(id, codec, offset);
    }
    if (stream.Kind != TKind::Video)
        return;
    stream.Video->Pes.Start(offset);
    stream.Video->Pes.Read(p, length, offset);
}

// The codec a PES packet of a stream not named by a map shows: an access unit of a codec the program
// reads at the start of its data; for the stream's first packet also the beginning of an elementary
// stream of any codec known, as the raw streams' rules tell it. Null for none.
const TCodecEntry *TPSParser::TWalk::CodecByContent(const uint8_t *p, int64_t length, bool first) const {
    const int64_t start = VideoPesDataStart(p, static_cast<size_t>(length), TPesForms::Mpeg2OrMpeg1);
    if (start < 0)
        return nullptr;
    const uint8_t *data = p + start;
    const auto size = static_cast<size_t>(length - start);
    if (const TCodec *codec = CodecOfPesPayload(data, size))
        return CodecByKey(codec->Key());
    return first ? CodecOfElementaryStream(data, size) : nullptr;
}

// What a program stream map or a stream's content says a video stream_id carries, for one not yet told:
// video of a codec the program reads is read from here on; of a codec it does not read, named and passed
// over. A stream_type unknown here leaves the stream to be told by its content.
void TPSParser::TWalk::Name(uint8_t id, const TCodecEntry *codec, int64_t offset) {
    TStreamId &stream = StreamOf(id);
    if (stream.Kind != TKind::Unknown || codec == nullptr)
        return;
    if (codec->Codec == nullptr) {
        stream.Kind = TKind::Other;
        Notice(TScanNotice::TKind::NotScanned, offset, Format(SUnreadCodecStream, Label(id), codec->Name));
        return;
    }
    MakeVideo(stream, id, *codec, offset);
}

void TPSParser::TWalk::MakeVideo(TStreamId &stream, uint8_t id, const TCodecEntry &codec, int64_t offset) {
    TTrack &track = FSession.AddTrack(id, Label(id));
    track.Codec = &codec;
    stream.Kind = TKind::Video;
    stream.Video = std::make_unique<TVideo>(*this, id, track);
    if (stream.PacketsBefore > 0)
        Notice(TScanNotice::TKind::NotScanned, offset,
               Format(SPsReadBeforeCodec, stream.PacketsBefore, Label(id), codec.Name));
}

// ---- the program stream map (ISO/IEC 13818-1 2.5.4) ----

// The map names the codec of each video stream by its stream_type. One that fails its CRC or whose
// entries overrun it is not read; one that applies later (current_next_indicator 0) is passed over.
void TPSParser::TWalk::Map(int64_t offset, const uint8_t *p, int64_t length) {
    const int64_t packetLength = 6 + (int64_t{p[4]} << 8 | p[5]);
    if (length < packetLength)
        return; // cut by the end of the file, which is told
    if (TsSectionCrc(p, static_cast<size_t>(packetLength)) != 0) {
        Notice(TScanNotice::TKind::Structure, offset, Format(SPsMapCrc, offset));
        return;
    }
    const int64_t end = packetLength - 4; // the CRC_32
    auto word = [p](int64_t at) { return int64_t{p[at]} << 8 | p[at + 1]; };
    std::vector<TMapEntry> entries;
    int64_t at = 8; // program_stream_info_length
    bool fits = at + 2 <= end;
    if (fits)
        at += 2 + word(at); // elementary_stream_map_length
    fits = fits && at + 2 <= end;
    const int64_t mapEnd = fits ? at + 2 + word(at) : 0;
    fits = fits && mapEnd <= end;
    for (at += 2; fits && at < mapEnd;) {
        // stream_type, elementary_stream_id, elementary_stream_info_length and its descriptors
        fits = at + 4 <= mapEnd && at + 4 + word(at + 2) <= mapEnd;
        if (!fits)
            break;
        entries.push_back({p[at], p[at + 1]});
        at += 4 + word(at + 2);
    }
    if (!fits) {
        Notice(TScanNotice::TKind::Structure, offset, Format(SPsMapDamaged, offset));
        return;
    }
    if ((p[6] & 0x80) == 0)
        return;
    for (const TMapEntry &entry : entries)
        if (IsVideoStream(entry.StreamId))
            Name(entry.StreamId, CodecOfStreamType(entry.StreamType), offset);
}

// ---- breaks, CRCs and the units found ----

// Bytes that are no packet: what a video stream reads after them does not follow what it read before.
void TPSParser::TWalk::Skip(int64_t from, int64_t to) {
    Notice(TScanNotice::TKind::Structure, from, Format(SPsBytesSkipped, from, to));
    for (TStreamId &stream : FStreams)
        if (stream.Kind == TKind::Video)
            Break(*stream.Video);
}

// The stream's bytes do not go on from what was read last: the unit being read can not be changed.
void TPSParser::TWalk::Break(TVideo &video) {
    if (video.Units.Collecting() && video.Reason == nullptr)
        video.Reason = FSession.KeepReason(Format(SPsUnitAcrossSkipped, video.Track.Label));
    video.Units.Break();
    video.Pes.Break();
}

// A PES CRC covers the data of the PES before it: the units that end there, and one still being read,
// can not be changed without making it wrong. A unit in a PES that carries one is not changed either: a
// stream that carries them does so throughout, and the last PES's CRC may lie beyond the end of the file.
void TPSParser::TWalk::BeginPes(TVideo &video, bool crc) {
    if (crc) {
        const std::string *reason = FSession.KeepReason(Format(SSpsUnderPesCrc, video.Track.Label));
        for (size_t row : video.PesRows) {
            TARInfo &record = *FSession.ARInfoList.Items(row);
            if (record.NotChangeable == nullptr)
                record.NotChangeable = reason;
        }
        if (video.Units.Collecting())
            video.UnderCrc = true;
    }
    video.PesRows.clear();
    video.PesCrc = crc;
}

void TPSParser::TWalk::KeepUnit(TVideo &video, TNalUnitBytes unit, TPlacement placement) {
    const std::string *reason = video.Reason;
    if (reason == nullptr && video.UnderCrc)
        reason = FSession.KeepReason(Format(SSpsUnderPesCrc, video.Track.Label));
    const size_t rows = FSession.ARInfoList.Count();
    FParser.KeepUnit(*video.Track.Codec->Codec, std::move(unit), placement, &video.Track, reason);
    if (FSession.ARInfoList.Count() > rows && reason == nullptr)
        video.PesRows.push_back(rows);
}

void TPSParser::TWalk::EndNotices() {
    bool video = false;
    for (size_t i = 0; i < VideoIdCount; ++i) {
        const TStreamId &stream = FStreams[i];
        video = video || stream.Kind == TKind::Video;
        if (stream.Seen && stream.Kind == TKind::Unknown)
            Notice(TScanNotice::TKind::NotScanned, 0,
                   Format(SPsVideoNotKnown, Label(static_cast<uint8_t>(FirstVideoId + i))));
    }
    if (!video)
        Notice(TScanNotice::TKind::Structure, 0, SPsNoVideo);
}

// ---- TPSParser ----

TPSParser::TPSParser(TScanSession &session) : TParser(session) {}

TPSParser::~TPSParser() = default;

void TPSParser::Walk(TStream &stream) {
    TWalk walk(*this, stream);
    walk.Run();
}
