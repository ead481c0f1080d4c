#include "PSParser.h"

#include "UnitCollector.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "codec/CodecRegistry.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint8_t EndCode = 0xB9;
constexpr uint8_t PackCode = 0xBA;
// The first start code value of the system level: pack, system header, and every stream_id.
constexpr uint8_t FirstSystemCode = EndCode;
// The file is read in blocks of this size; a packet is at most 6 + 65535 bytes.
constexpr int64_t BlockSize = int64_t{1} << 20;
// A PES header's fields: MPEG-2's nine bytes and the optional fields behind them, MPEG-1's stuffing (up to
// 16 bytes), buffer size and time stamps.
constexpr int64_t MaxMpeg1Stuffing = 16;

bool IsVideoStream(uint8_t id) {
    return id >= 0xE0 && id <= 0xEF;
}

// Where the data of a PES packet of length bytes begins (the packet's first byte at 0), in either
// standard's form; -1 for a header that is not valid. crc: the header carries a PES_CRC.
int64_t PesDataStart(const uint8_t *p, int64_t length, bool &crc) {
    crc = false;
    if (length >= 9 && (p[6] & 0xC0) == 0x80) {
        crc = (p[7] & 0x02) != 0;
        const int64_t start = 9 + int64_t{p[8]};
        return start <= length ? start : -1;
    }
    int64_t at = 6;
    while (at < length && at < 6 + MaxMpeg1Stuffing && p[at] == 0xFF)
        ++at;
    if (at < length && (p[at] & 0xC0) == 0x40) // STD_buffer_scale and size
        at += 2;
    if (at >= length)
        return -1;
    if ((p[at] & 0xF0) == 0x20) // PTS
        at += 5;
    else if ((p[at] & 0xF0) == 0x30) // PTS and DTS
        at += 10;
    else if (p[at] == 0x0F)
        at += 1;
    else
        return -1;
    return at <= length ? at : -1;
}

} // namespace

class TPSParser::TWalk {
public:
    TWalk(TPSParser &parser, TStream &stream)
        : FParser(parser), FSession(parser.Session), FStream(stream), FSize(stream.Size()) {}

    void Run();

private:
    // One video stream of a codec the program reads: its PES data read as one byte stream, and the units
    // that state a ratio found in it.
    struct TVideo : TUnitConsumer {
        TVideo(TWalk &walk, TTrack &track) : Walk(walk), Track(track), Units(*track.Codec->Codec, *this) {}

        void UnitBegins() override {
            Broken = false;
            UnderCrc = false;
        }
        void UnitEnds(TNalUnitBytes unit, TPlacement placement) override {
            Walk.KeepUnit(*this, std::move(unit), std::move(placement));
        }

        TWalk &Walk;
        TTrack &Track;
        TUnitCollector Units;
        bool Broken = false;   // the unit being read spans bytes that were skipped
        bool UnderCrc = false; // a PES CRC covers some of its bytes
        // Rows of units that lie in the data of the current PES packet, which the next one's CRC covers.
        std::vector<size_t> PesRows;
    };

    // The bytes of the file from offset on, at least count of them where the file has them (available
    // tells how many there are).
    const uint8_t *Bytes(int64_t offset, int64_t count, int64_t &available);
    // The next place at or after from where a pack or packet start code lies; FSize for none.
    int64_t NextStartCode(int64_t from);
    void Skip(int64_t from, int64_t to);
    void Packet(uint8_t id, int64_t offset, const uint8_t *p, int64_t length);
    void KeepUnit(TVideo &video, TNalUnitBytes unit, TPlacement placement);

    TPSParser &FParser;
    TScanSession &FSession;
    TStream &FStream;
    int64_t FSize;
    std::vector<uint8_t> FBlock;
    int64_t FBlockStart = 0;
    std::map<uint8_t, std::unique_ptr<TVideo>> FVideos;
    bool FPacketRead = false;
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

// Bytes that are no packet: what a video stream reads after them does not follow what it read before.
void TPSParser::TWalk::Skip(int64_t from, int64_t to) {
    FParser.Notice(TScanNotice::TKind::Structure, from, Format(SPsBytesSkipped, from, to));
    for (auto &[id, video] : FVideos) {
        if (video->Units.Collecting())
            video->Broken = true;
        video->Units.Break();
    }
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
        const uint8_t *p = Bytes(at, 16, available);
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
            if (startCode && available < 16 && at + available == FSize) {
                FParser.Notice(TScanNotice::TKind::Structure, at, Format(SPsLastPacketCut, at));
                break;
            }
            const int64_t next = NextStartCode(at + 1);
            Skip(at, next);
            at = next;
            continue;
        }
        FPacketRead = true;
        if (at + length > FSize) {
            FParser.Notice(TScanNotice::TKind::Structure, at, Format(SPsLastPacketCut, at));
            length = FSize - at;
        }
        if (IsVideoStream(p[3])) {
            p = Bytes(at, length, available);
            Packet(p[3], at, p, available);
        }
        at += length;
    }
    for (auto &[id, video] : FVideos)
        video->Units.Finish();
    if (FVideos.empty() && !FParser.Aborted)
        FParser.Notice(TScanNotice::TKind::Structure, 0, SPsNoVideo);
}

// A PES packet of a video stream: its data go to the stream's collector; the stream becomes a track when
// its first PES packet that begins as an access unit of a codec read here tells the codec.
void TPSParser::TWalk::Packet(uint8_t id, int64_t offset, const uint8_t *p, int64_t length) {
    bool crc = false;
    const int64_t start = PesDataStart(p, length, crc);
    if (start < 0) {
        FParser.Notice(TScanNotice::TKind::Structure, offset, Format(SPsPesHeaderBad, offset, int64_t{id}));
        if (auto found = FVideos.find(id); found != FVideos.end()) {
            if (found->second->Units.Collecting())
                found->second->Broken = true;
            found->second->Units.Break();
        }
        return;
    }
    const uint8_t *data = p + start;
    const int64_t count = length - start;
    auto found = FVideos.find(id);
    if (found == FVideos.end()) {
        const TCodec *codec = CodecOfPesPayload(data, static_cast<size_t>(count));
        if (codec == nullptr)
            return;
        TTrack &track = FSession.AddTrack(id, Format(SPsStreamLabel, int64_t{id}));
        track.Codec = CodecByKey(codec->Key());
        found = FVideos.emplace(id, std::make_unique<TVideo>(*this, track)).first;
    }
    TVideo &video = *found->second;
    // PES_CRC covers the data of the packet before this one.
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
    video.Units.Read(data, count, offset + start);
}

void TPSParser::TWalk::KeepUnit(TVideo &video, TNalUnitBytes unit, TPlacement placement) {
    const std::string *reason = nullptr;
    if (video.Broken)
        reason = FSession.KeepReason(Format(SPsUnitAcrossSkipped, video.Track.Label));
    else if (video.UnderCrc)
        reason = FSession.KeepReason(Format(SSpsUnderPesCrc, video.Track.Label));
    const size_t rows = FSession.ARInfoList.Count();
    FParser.KeepUnit(*video.Track.Codec->Codec, std::move(unit), placement, &video.Track, reason);
    if (FSession.ARInfoList.Count() > rows && reason == nullptr)
        video.PesRows.push_back(rows);
}

// ---- TPSParser ----

TPSParser::TPSParser(TScanSession &session) : TParser(session) {}

TPSParser::~TPSParser() = default;

void TPSParser::Walk(TStream &stream) {
    TWalk walk(*this, stream);
    walk.Run();
}
