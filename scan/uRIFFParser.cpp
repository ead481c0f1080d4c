#include "uRIFFParser.h"

#include "VprpStatement.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

uint32_t MakeFourCC(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return uint32_t{a} | (uint32_t{b} << 8) | (uint32_t{c} << 16) | (uint32_t{d} << 24);
}

std::string FourCCToString(uint32_t code) {
    std::string text(4, '\0');
    for (int i = 0; i < 4; ++i)
        text[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
    return text;
}

namespace {

const uint32_t FourCCRIFF = MakeFourCC('R', 'I', 'F', 'F');
const uint32_t FourCCLIST = MakeFourCC('L', 'I', 'S', 'T');
const uint32_t FourCCAVIX = MakeFourCC('A', 'V', 'I', 'X');
const uint32_t FourCCMovie = MakeFourCC('m', 'o', 'v', 'i');
const uint32_t FourCCStreamList = MakeFourCC('s', 't', 'r', 'l');
const uint32_t FourCCStreamHeader = MakeFourCC('s', 't', 'r', 'h');
const uint32_t FourCCStreamFormat = MakeFourCC('s', 't', 'r', 'f');
const uint32_t FourCCVideoProperties = MakeFourCC('v', 'p', 'r', 'p');
// The last two characters of a compressed video data chunk's identifier, "..dc".
const uint32_t VideoDataSuffix = MakeFourCC(0, 0, 'd', 'c') >> 16;
constexpr int64_t BitmapHeaderSize = 40;
constexpr size_t MaxStreams = 100; // data chunks number their stream with two digits

uint32_t LittleEndian32(const uint8_t *bytes) {
    return MakeFourCC(bytes[0], bytes[1], bytes[2], bytes[3]);
}

// The stream number of a data chunk "NNdc", or -1.
int DataStreamNumber(const std::string &id) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (id.size() != 4 || !digit(id[0]) || !digit(id[1]))
        return -1;
    return (id[0] - '0') * 10 + (id[1] - '0');
}

// A list whose size field is 0: for the top-level chunks and the movie list, what unfinished
// recordings leave, and players read them to the end of what encloses them.
bool SizeFieldIsZero(const TGenericRIFFChunk &chunk) {
    return chunk.IsList() && chunk.Size == 0xFFFFFFFCu;
}

} // namespace

// ---- TGenericRIFFChunk ----

bool TGenericRIFFChunk::IsList() const {
    return IsFourCC(FourCCRIFF) || IsFourCC(FourCCLIST);
}

int64_t TGenericRIFFChunk::ContentSize() const {
    // A list too short to hold its form type has no sub-chunk area (its size went below zero).
    return IsList() && Size > 0xFFFFFFFBu ? 0 : int64_t{Size};
}

int64_t TGenericRIFFChunk::DataEnd() const {
    return DataPos + (IsList() ? 4 : 0) + ContentSize();
}

// ---- TRIFFParser ----

TRIFFParser::TRIFFParser(TScanSession &session) : TParser(session) {}

TRIFFParser::~TRIFFParser() = default;

bool TRIFFParser::ReadHeader(TStream &stream, TGenericRIFFChunk &chunk, int64_t offset) {
    uint8_t header[12];
    const int64_t left = FFileSize - offset;
    if (left < 8)
        return false;
    const int64_t count = std::min<int64_t>(left, sizeof header);
    const uint8_t *lent = View(stream, offset, count);
    if (lent != nullptr) {
        std::memcpy(header, lent, static_cast<size_t>(count));
    } else {
        stream.Seek(offset);
        stream.ReadBuffer(header, 8);
    }
    chunk.Parser = this;
    chunk.HeaderPos = offset;
    chunk.DataPos = offset + 8;
    chunk.ID.assign(reinterpret_cast<const char *>(header), 4);
    chunk.FourCC = LittleEndian32(header);
    chunk.Size = LittleEndian32(header + 4);
    if (chunk.IsList()) {
        if (left < 12)
            return false;
        if (lent == nullptr)
            stream.ReadBuffer(header + 8, 4);
        chunk.ListType = LittleEndian32(header + 8);
        chunk.Size -= 4;
    }
    ReportProgress(offset + 8, FFileSize);
    return true;
}

void TRIFFParser::NoticeCutShort(int64_t offset) {
    if (FCutShortNoticed)
        return;
    FCutShortNoticed = true;
    Notice(TScanNotice::TKind::Structure, offset, Format(SFileCutShort, offset));
}

void TRIFFParser::Walk(TStream &stream) {
    RootChunk.reset();
    ExtensionChunks.clear();
    FStreams.clear();
    FKeptChunks = 0;
    FCutShortNoticed = false;
    const int64_t size = stream.Size();
    FFileSize = size;
    if (size < 12)
        throw Exception(SNotAValidRIFFFile);
    struct TReaderRelease {
        std::unique_ptr<TFastBitstream> &Reader;
        TLentBytes &View;
        ~TReaderRelease() {
            Reader.reset();
            View = {};
        }
    } release{Bitstream, FView};
    FView = {};
    Bitstream = std::make_unique<TFastBitstream>();
    Bitstream->AttachRange(&stream, 0, 0, size, 0);

    RootChunk = std::make_unique<TGenericRIFFChunk>(nullptr);
    ReadHeader(stream, *RootChunk, 0);
    if (RootChunk->ID != "RIFF")
        throw Exception(SNotAValidRIFFFile);
    int64_t next = WalkTree(stream, *RootChunk);

    // An OpenDML AVI larger than about 1 GiB goes on after its first RIFF chunk in further top-level
    // RIFF chunks of form type "AVIX", each with a movie list of its own; they are walked like the first.
    // The walk never goes back: bytes are read as one thing only.
    while (!Aborted && next < size) {
        auto chunk = std::make_unique<TGenericRIFFChunk>(nullptr);
        if (!ReadHeader(stream, *chunk, next) || !chunk->IsFourCC(FourCCRIFF) ||
            chunk->ListType != FourCCAVIX) {
            Notice(TScanNotice::TKind::NotScanned, next, Format(STailNotScanned, next, size));
            return;
        }
        TGenericRIFFChunk &top = *ExtensionChunks.emplace_back(std::move(chunk));
        next = WalkTree(stream, top);
    }
}

int64_t TRIFFParser::WalkTree(TStream &stream, TGenericRIFFChunk &top) {
    const int64_t fileSize = FFileSize;
    top.WalkEnd = SizeFieldIsZero(top) ? fileSize : top.DataEnd();
    if (top.WalkEnd > fileSize) {
        NoticeCutShort(top.HeaderPos);
        top.WalkEnd = fileSize;
    }
    struct TFrame {
        TGenericRIFFChunk *List;
        bool InMovie;
    };
    std::vector<TFrame> open{{&top, false}};
    int64_t cursor = top.DataPos + 4;
    while (!open.empty()) {
        if (Aborted)
            return cursor;
        TFrame frame = open.back();
        TGenericRIFFChunk &list = *frame.List;
        // A list ends where its size says; fewer than 8 bytes left in it are no chunk.
        if (list.WalkEnd - cursor < 8) {
            open.pop_back();
            const int64_t pad = list.WalkEnd == list.DataEnd() ? list.ContentSize() % 2 : 0;
            cursor = std::max(cursor, list.WalkEnd + pad);
            if (!open.empty())
                KeepOrDrop(*open.back().List, !list.Children.empty(), open.back().InMovie);
            continue;
        }
        if (frame.InMovie) {
            const int64_t walked = WalkMovieChunks(list, cursor);
            if (walked != cursor) {
                cursor = walked;
                continue;
            }
        }
        std::unique_ptr<TGenericRIFFChunk> owned = NewChunk(&list);
        TGenericRIFFChunk &chunk = *owned;
        if (!ReadHeader(stream, chunk, cursor)) {
            NoticeCutShort(cursor);
            return fileSize;
        }
        const int64_t claimed =
            SizeFieldIsZero(chunk) && chunk.ListType == FourCCMovie ? list.WalkEnd : chunk.DataEnd();
        chunk.WalkEnd = std::min(claimed, list.WalkEnd);
        if (claimed > list.WalkEnd) {
            if (list.WalkEnd == fileSize)
                NoticeCutShort(chunk.HeaderPos);
            else
                Notice(TScanNotice::TKind::Structure, chunk.HeaderPos,
                       Format(SChunkPastList, CodeText(chunk.ID), chunk.HeaderPos, list.HeaderPos));
        }
        if (chunk.IsList()) {
            if (open.size() >= MaxListDepth)
                throw EInvalidOp(Format(SRIFFTooDeep, MaxListDepth, chunk.HeaderPos));
            if (chunk.ListType == FourCCStreamList && FStreams.size() < MaxStreams)
                FStreams.emplace_back();
            open.push_back({&chunk, frame.InMovie || chunk.ListType == FourCCMovie});
            list.Children.push_back(std::move(owned));
            cursor = chunk.DataPos + 4;
            continue;
        }
        const bool holdsSps = HandleChunk(stream, chunk);
        cursor = chunk.WalkEnd + (chunk.WalkEnd == chunk.DataEnd() ? chunk.Size % 2 : 0);
        if (Keeps(holdsSps, frame.InMovie))
            list.Children.push_back(std::move(owned));
        else
            FSpare = std::move(owned); // the next chunk is read into it
    }
    return cursor;
}

// What WalkTree does with a chunk of movie data that is no list, no stream header or format and ends
// inside its list: its progress, the scan of a video payload, and a place in the tree when it holds an
// SPS. Most of an AVI is such chunks, often small and millions of them.
int64_t TRIFFParser::WalkMovieChunks(TGenericRIFFChunk &list, int64_t cursor) {
    while (!Aborted && list.WalkEnd - cursor >= 8 && FView && cursor >= FViewStart &&
           cursor + 8 <= FViewStart + FView.Count) {
        const uint8_t *header = FView.Bytes + (cursor - FViewStart);
        const uint32_t fourCC = LittleEndian32(header);
        const uint32_t size = LittleEndian32(header + 4);
        const int64_t dataPos = cursor + 8;
        const int64_t dataEnd = dataPos + size;
        if (fourCC == FourCCRIFF || fourCC == FourCCLIST || fourCC == FourCCStreamHeader ||
            fourCC == FourCCStreamFormat || fourCC == FourCCVideoProperties || dataEnd > list.WalkEnd)
            break;
        ReportProgress(dataPos, FFileSize);
        if (fourCC >> 16 == VideoDataSuffix) {
            const std::string id(reinterpret_cast<const char *>(header), 4);
            if (ScanPayload(dataPos, dataEnd, TrackOfDataChunk(id))) {
                std::unique_ptr<TGenericRIFFChunk> chunk = NewChunk(&list);
                chunk->Parser = this;
                chunk->ID = id;
                chunk->FourCC = fourCC;
                chunk->Size = size;
                chunk->HeaderPos = cursor;
                chunk->DataPos = dataPos;
                chunk->WalkEnd = dataEnd;
                list.Children.push_back(std::move(chunk));
            }
        }
        cursor = dataEnd + size % 2;
    }
    return cursor;
}

// The tree keeps a chunk that holds an SPS (or a list that holds such chunks), and otherwise only the
// first MaxKeptChunks chunks outside the movie data.
bool TRIFFParser::Keeps(bool holdsSps, bool inMovie) {
    if (holdsSps)
        return true;
    if (inMovie || FKeptChunks >= MaxKeptChunks)
        return false;
    ++FKeptChunks;
    return true;
}

void TRIFFParser::KeepOrDrop(TGenericRIFFChunk &list, bool holdsSps, bool inMovie) {
    if (!Keeps(holdsSps, inMovie)) {
        FSpare = std::move(list.Children.back());
        list.Children.pop_back();
    }
}

// A dropped chunk has no children: only a list with none is dropped.
std::unique_ptr<TGenericRIFFChunk> TRIFFParser::NewChunk(TGenericRIFFChunk *parent) {
    if (FSpare == nullptr)
        return std::make_unique<TGenericRIFFChunk>(parent);
    std::unique_ptr<TGenericRIFFChunk> chunk = std::move(FSpare);
    chunk->Parent = parent;
    chunk->ListType = 0;
    chunk->WalkEnd = 0;
    return chunk;
}

TRIFFParser::TStreamInfo *TRIFFParser::CurrentStream() {
    return FStreams.empty() ? nullptr : &FStreams.back();
}

bool TRIFFParser::HandleChunk(TStream &stream, TGenericRIFFChunk &chunk) {
    if (chunk.IsFourCC(FourCCStreamHeader)) {
        ReadStreamHeader(stream, chunk);
        return false;
    }
    if (chunk.IsFourCC(FourCCVideoProperties)) {
        ReadVideoProperties(stream, chunk);
        return false;
    }
    // A video stream's format gives its picture size, and may carry the SPS of its decoder configuration in
    // Annex B form behind the 40-byte bitmap header (files remuxed from raw streams do): it is the stream's
    // first SPS, and changing only the others would leave the file with two aspect ratios.
    if (chunk.IsFourCC(FourCCStreamFormat)) {
        TStreamInfo *current = CurrentStream();
        if (current == nullptr || current->Type != "vids")
            return false;
        if (current->Track != nullptr)
            ReadBitmapSize(stream, chunk, *current->Track);
        if (chunk.WalkEnd - chunk.DataPos <= BitmapHeaderSize)
            return false;
        return ScanPayload(chunk.DataPos + BitmapHeaderSize, chunk.WalkEnd, current->Track);
    }
    if (chunk.FourCC >> 16 == VideoDataSuffix)
        return ScanPayload(chunk.DataPos, chunk.WalkEnd, TrackOfDataChunk(chunk.ID));
    return false;
}

TTrack *TRIFFParser::TrackOfDataChunk(const std::string &id) {
    const int number = DataStreamNumber(id);
    return number >= 0 && static_cast<size_t>(number) < FStreams.size()
               ? FStreams[static_cast<size_t>(number)].Track
               : nullptr;
}

// A video stream is read by the codec its handler code names. One whose code names no codec the program
// knows is read as the registry assumes only when the question says so; one of a codec whose bitstream
// the program does not read is named, not read, and its container statement listed.
void TRIFFParser::ReadStreamHeader(TStream &stream, TGenericRIFFChunk &chunk) {
    uint8_t header[8];
    if (chunk.WalkEnd - chunk.DataPos < static_cast<int64_t>(sizeof header))
        return;
    stream.Seek(chunk.DataPos);
    stream.ReadBuffer(header, sizeof header);
    TStreamInfo *current = CurrentStream();
    if (current == nullptr) {
        if (FStreams.size() >= MaxStreams)
            return;
        current = &FStreams.emplace_back(); // a stream header outside a stream list
    }
    current->Type = FourCCToString(LittleEndian32(header));
    if (current->Type != "vids")
        return;
    if (current->Track == nullptr) {
        const int number = static_cast<int>(FStreams.size()) - 1;
        current->Track = &Session.AddTrack(number, Format(SAviStreamLabel, number));
    }
    std::string handler = FourCCToString(LittleEndian32(header + 4));
    current->Track->Codec = CodecOfAviHandler(handler);
    if (current->Track->Codec != nullptr) {
        if (current->Track->Codec->Codec == nullptr)
            TakeUnreadTrack(*current->Track, chunk.DataPos, {});
        return;
    }
    if (!Events.OnForeignHandler || !Events.OnForeignHandler(handler))
        Aborted = true;
    else
        current->Track->Codec = AssumedCodecOfUnknownHandler();
}

// biWidth and biHeight of the bitmap header: the picture size of the stream until a video properties chunk
// names one (a negative height stands for a picture stored top down).
void TRIFFParser::ReadBitmapSize(TStream &stream, const TGenericRIFFChunk &chunk, TTrack &track) {
    uint8_t header[12];
    if (chunk.WalkEnd - chunk.DataPos < static_cast<int64_t>(sizeof header) || track.Width > 0)
        return;
    stream.Seek(chunk.DataPos);
    stream.ReadBuffer(header, sizeof header);
    const auto width = static_cast<int32_t>(LittleEndian32(header + 4));
    const auto height = static_cast<int32_t>(LittleEndian32(header + 8));
    track.Width = std::max<int64_t>(width, 0);
    track.Height = height == INT32_MIN ? 0 : std::abs(height);
}

// dwFrameAspectRatio, dwFrameWidthInPixels and dwFrameHeightInLines lie at 20, 24 and 28 of the video
// properties; a shorter chunk, or one of a stream that is not video, is passed over. A second one in the
// same stream leaves the stream's statement ambiguous: players may read either, so neither is written.
void TRIFFParser::ReadVideoProperties(TStream &stream, TGenericRIFFChunk &chunk) {
    constexpr int64_t AspectRatioOffset = 20;
    TStreamInfo *current = CurrentStream();
    if (chunk.WalkEnd - chunk.DataPos < 32 || current == nullptr || current->Track == nullptr)
        return;
    TTrack &track = *current->Track;
    if (current->HasProperties) {
        track.NotWritten = Format(SSecondVprp, track.Label);
        return;
    }
    current->HasProperties = true;
    uint8_t fields[12];
    stream.Seek(chunk.DataPos + AspectRatioOffset);
    stream.ReadBuffer(fields, sizeof fields);
    // The frame size the ratio stands for, where it names one; else the bitmap header's stays.
    if (LittleEndian32(fields + 4) > 0 && LittleEndian32(fields + 8) > 0) {
        track.Width = LittleEndian32(fields + 4);
        track.Height = LittleEndian32(fields + 8);
    }
    track.Statements.push_back(std::make_unique<TVprpStatement>(
        track.Label, chunk.DataPos + AspectRatioOffset, LittleEndian32(fields), LittleEndian32(fields + 4),
        LittleEndian32(fields + 8)));
}

// Data of no stream header is read as a stream of unknown handler is.
bool TRIFFParser::ScanPayload(int64_t start, int64_t end, TTrack *track) {
    const TCodecEntry *entry = track != nullptr ? track->Codec : AssumedCodecOfUnknownHandler();
    if (entry == nullptr || entry->Codec == nullptr)
        return false;
    const TCodec &codec = *entry->Codec;
    const int64_t found = Session.RatioUnitCount + Session.DamagedUnitCount;
    const auto placement = [](int64_t at, int64_t) { return TPlacement(at); };
    const TAnnexBScan how{.FirstUnitOnly = !DeepScan, .Progress = false};
    TFastBitstream &reader = *Bitstream;
    TStream &stream = *reader.Stream();
    // Most payloads lie in a block the file stream holds or reads anyway: they are searched in place.
    const int64_t count = BytesToScan(codec, stream, start, end);
    if (count == 0)
        return false;
    if (const uint8_t *bytes = count > 0 ? View(stream, start, count) : nullptr) {
        ScanAnnexB(codec, bytes, start, start + count, track, nullptr, how);
    } else {
        reader.SetRange(start, 0, end, 0);
        reader.SetPosition(start, 0);
        ScanAnnexB(codec, reader, placement, track, nullptr, how);
    }
    return Session.RatioUnitCount + Session.DamagedUnitCount > found;
}

// The first-unit scan of a large chunk reads up to the header of its first unit past those that lead it,
// and for a unit that states a ratio up to where its bytes could end: that unit and its bytes are the
// same in that part as in the whole payload. Leading units that fill the whole view leave the whole
// payload to the scan.
int64_t TRIFFParser::BytesToScan(const TCodec &codec, TStream &stream, int64_t start, int64_t end) {
    if (DeepScan || end - start <= FirstUnitView)
        return end - start;
    const uint8_t *head = View(stream, start, FirstUnitView);
    if (head == nullptr)
        return -1;
    TAnnexBBytes units(head, start, start + FirstUnitView);
    bool found = units.Next();
    if (!found)
        return -1;
    while (found && codec.LeadsRatioUnit(units.Header()))
        found = units.Next();
    if (!found)
        return end - start;
    if (!codec.StatesRatio(units.Header()))
        return units.Start() + 1 - start;
    return std::min(end, units.Start() + codec.MaxUnitBytes()) - start;
}

const uint8_t *TRIFFParser::View(TStream &stream, int64_t offset, int64_t count) {
    if (offset >= FViewStart && offset + count <= FViewStart + FView.Count && FView)
        return FView.Bytes + (offset - FViewStart);
    TLentBytes lent = stream.Lend(offset, static_cast<size_t>(count), 0);
    if (!lent)
        return nullptr;
    FView = std::move(lent);
    FViewStart = offset;
    return FView.Bytes;
}
