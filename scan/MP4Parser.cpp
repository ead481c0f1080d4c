#include "MP4Parser.h"

#include "Mp4Esds.h"
#include "Mp4SampleTable.h"
#include "Mp4Statements.h"
#include "PlannedVisits.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>

namespace {

// A box type from its four characters.
constexpr uint32_t BoxType(std::string_view code) {
    return (uint32_t{static_cast<uint8_t>(code[0])} << 24) | (uint32_t{static_cast<uint8_t>(code[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(code[2])} << 8) | uint32_t{static_cast<uint8_t>(code[3])};
}

std::string TypeName(uint32_t type) {
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i)
        name[static_cast<size_t>(i)] = static_cast<char>((type >> (24 - 8 * i)) & 0xFF);
    return name;
}

std::string TypeText(uint32_t type) {
    return CodeText(TypeName(type));
}

// The codec an entry of this type holds, by the registry; null when it names none the program knows.
const TCodecEntry *CodecOfEntry(uint32_t type) {
    return CodecOfSampleEntry(TypeName(type));
}

bool IsReadableEntry(uint32_t type) {
    const TCodecEntry *codec = CodecOfEntry(type);
    return codec != nullptr && codec->Codec != nullptr;
}

// Boxes whose children are boxes right behind their header.
bool IsContainerBox(uint32_t type) {
    static constexpr uint32_t Containers[] = {
        BoxType("moov"), BoxType("trak"), BoxType("mdia"), BoxType("minf"), BoxType("stbl"),
        BoxType("mvex"), BoxType("tapt"), BoxType("sinf"), BoxType("moof"), BoxType("traf")};
    return std::find(std::begin(Containers), std::end(Containers), type) != std::end(Containers);
}

// A visual sample entry: behind its header 78 bytes of fields (width at 24, height at 26), then boxes.
constexpr int64_t VisualEntryFields = 78;
constexpr int64_t VisualEntrySizeAt = 24;
// Behind a track header's header, by its version: the display matrix (nine 32-bit numbers), then the
// display size (width, height; 16.16).
constexpr int64_t TrackHeaderMatrixAt[2] = {40, 52};
constexpr int64_t TrackHeaderSizeAt[2] = {76, 88};
// Behind a track aperture's (clef, prof) header: version and flags, then the width and height.
constexpr int64_t ApertureSizeAt = 4;
// An AVC decoder configuration is read up to this size: 31 SPS and 255 PPS of the usual size fit.
constexpr int64_t MaxConfigBytes = 1 << 20;
// The number of bytes a trun's per-sample fields take for the flags 0x100, 0x200, 0x400, 0x800.
int SampleFieldBytes(uint32_t flags) {
    int bytes = 0;
    for (uint32_t flag : {0x100u, 0x200u, 0x400u, 0x800u})
        bytes += (flags & flag) != 0 ? 4 : 0;
    return bytes;
}

// Whether a display matrix (a b u / c d v / x y w; a to d and x, y 16.16, u, v, w 2.30) leaves the
// picture's ratio as it is: a turn by quarter turns or a mirror, scaled alike both ways, without
// perspective. Players apply any other (a stretch) to the ratio the rest of the file states.
bool KeepsRatio(const uint8_t *matrix) {
    int64_t m[9];
    for (int i = 0; i < 9; ++i)
        m[i] = static_cast<int32_t>(BigEndianAt(matrix + 4 * i, 4));
    const int64_t a = m[0], b = m[1], u = m[2], c = m[3], d = m[4], v = m[5], w = m[8];
    if (u != 0 || v != 0 || w != int64_t{1} << 30)
        return false;
    const bool upright = b == 0 && c == 0 && a != 0 && std::abs(a) == std::abs(d);
    const bool turned = a == 0 && d == 0 && b != 0 && std::abs(b) == std::abs(c);
    return upright || turned;
}

// A sample too small for a length and a unit's first byte with a byte behind it holds no unit to read.
bool HoldsNoUnit(int64_t size, int lengthSize) {
    return size < lengthSize + 2;
}

} // namespace

// One sample description of a track.
struct TMP4Parser::TSampleEntry {
    uint32_t Type = 0;
    uint32_t Original = 0; // for an encrypted entry (encv), the format it hides (frma)
    int64_t Start = 0;
    int64_t Width = 0;
    int64_t Height = 0;
    int LengthSize = 4;
    // Its decoder configuration boxes: players read the first; a second one, when there is one, is listed
    // and changed too, so that every reader sees the same ratio.
    std::vector<TBox> Configs;
    TBox Pasp;                           // pasp, when Pasp.Type is set
    const std::string *Reason = nullptr; // why its units can not be changed
    // The codec its esds names by object type (mp4v holds MPEG-4 Part 2, MPEG-2 or MPEG-1 video), and
    // that esds's decoder specific information: where it lies and its bytes, read with the esds.
    const TCodecEntry *Named = nullptr;
    int64_t SpecificInfoAt = 0;
    std::vector<uint8_t> SpecificInfo;

    // The codec of the entry (of the format an encrypted one hides), null when none is known.
    const TCodecEntry *CodecEntry() const {
        return Named != nullptr ? Named : CodecOfEntry(Encrypted() ? Original : Type);
    }
    // The codec that reads its samples, null when none the program reads.
    const TCodec *Codec() const {
        const TCodecEntry *codec = CodecEntry();
        return codec != nullptr ? codec->Codec : nullptr;
    }
    // Whether box is the entry's decoder configuration. An encrypted entry may name the format it hides
    // only behind that box: every codec's configuration box is kept, and matched once the entry is read.
    bool IsConfig(uint32_t box) const {
        const TCodecEntry *codec = CodecEntry();
        const char *config = codec != nullptr ? ConfigBoxOf(*codec) : nullptr;
        return config != nullptr && box == BoxType(config);
    }
    bool Encrypted() const { return Type == BoxType("encv"); }
};

// What the movie header says about one track, kept for the sample walk.
struct TMP4Parser::TTrackInfo {
    uint32_t Id = 0;
    uint32_t Handler = 0;
    TBox TrackHeader;
    int TrackHeaderVersion = 0;
    bool MatrixStretches = false; // the track header's display matrix changes the picture's ratio
    std::vector<TSampleEntry> Entries;
    TBox Clef, Prof;
    TBox SampleSizes, ChunkOffsets, SampleToChunk;
    // Defaults of its movie fragments (trex).
    uint32_t DefaultDescription = 1;
    uint32_t DefaultSize = 0;
    bool HasDefaults = false; // a trex gave them
    TTrack *Track = nullptr;  // a video track of the session, of a codec the program reads
    bool CutNoticed = false;
    bool OverrunNoticed = false;
    bool SamplesUnread = false; // samples inside the file that could not be placed or were past the budget
    bool ReadsUnits = false;    // it has entries of a codec the program reads: its samples are walked

    const TSampleEntry *Entry(uint32_t description) const {
        return description >= 1 && description <= Entries.size() ? &Entries[description - 1] : nullptr;
    }
};

TMP4Parser::TMP4Parser(TScanSession &session) : TParser(session) {}

TMP4Parser::~TMP4Parser() = default;

void TMP4Parser::Read(int64_t offset, uint8_t *bytes, size_t count) {
    FStream->Seek(offset);
    FStream->ReadBuffer(bytes, count);
}

uint32_t TMP4Parser::Read32(int64_t offset) {
    uint8_t bytes[4];
    Read(offset, bytes, sizeof bytes);
    return static_cast<uint32_t>(BigEndianAt(bytes, 4));
}

uint64_t TMP4Parser::Read64(int64_t offset) {
    uint8_t bytes[8];
    Read(offset, bytes, sizeof bytes);
    return BigEndianAt(bytes, 8);
}

bool TMP4Parser::ReadBox(int64_t offset, int64_t end, TBox &box, bool tell) {
    if (end - offset < 8)
        return false;
    uint8_t header[16];
    const auto headerBytes = static_cast<size_t>(std::min<int64_t>(16, end - offset));
    Read(offset, header, headerBytes);
    box.Start = offset;
    box.Type = static_cast<uint32_t>(BigEndianAt(header + 4, 4));
    uint64_t size = BigEndianAt(header, 4);
    box.Data = offset + 8;
    if (size == 1) {
        if (headerBytes < 16)
            return false;
        size = BigEndianAt(header + 8, 8);
        box.Data = offset + 16;
    }
    if (size == 0) {
        box.End = end; // to the end of what holds it
        return true;
    }
    if (size < static_cast<uint64_t>(box.Data - offset)) {
        if (tell)
            Notice(TScanNotice::TKind::Structure, offset,
                   Format(SBoxSizeInvalid, TypeText(box.Type), offset, static_cast<int64_t>(size)));
        return false;
    }
    if (size > static_cast<uint64_t>(end - offset)) {
        if (tell)
            Notice(TScanNotice::TKind::Structure, offset,
                   end == FFileSize ? Format(SBoxCutShort, TypeText(box.Type), offset)
                                    : Format(SBoxPastParent, TypeText(box.Type), offset));
        box.End = end;
        return true;
    }
    box.End = offset + static_cast<int64_t>(size);
    return true;
}

void TMP4Parser::WalkBoxes(int64_t from, int64_t to,
                           const std::function<int64_t(const TBox &box, const TBox *parent)> &enter,
                           const std::function<void(const TBox &box)> &leave) {
    struct TOpen {
        TBox Box;
        int64_t Next;
    };
    TBox outer;
    outer.End = to;
    std::vector<TOpen> open{{outer, from}};
    while (!open.empty() && !Aborted) {
        TOpen &level = open.back();
        TBox box;
        if (!ReadBox(level.Next, level.Box.End, box)) {
            if (open.size() > 1)
                leave(level.Box);
            open.pop_back();
            continue;
        }
        level.Next = box.End;
        const TBox *parent = open.size() > 1 ? &level.Box : nullptr;
        const int64_t children = enter(box, parent);
        if (children < 0 || children > box.End)
            continue;
        if (open.size() > MaxBoxDepth) {
            Notice(TScanNotice::TKind::NotScanned, box.Start, Format(SBoxesTooDeep, MaxBoxDepth, box.Start));
            continue;
        }
        open.push_back({box, children});
    }
}

bool TMP4Parser::FindTopLevel(uint32_t type, TBox &box) {
    for (int64_t offset = 0; offset < FFileSize && !Aborted; offset = box.End)
        if (!ReadBox(offset, FFileSize, box, false))
            return false;
        else if (box.Type == type)
            return true;
    return false;
}

void TMP4Parser::Walk(TStream &stream) {
    FStream = &stream;
    FFileSize = stream.Size();
    FSampleBytesLeft = FFileSize;
    FSampleBytesSpent = false;
    FTracks.clear();
    // The movie header first, wherever it lies: the fragments refer to its tracks.
    TBox movie;
    const bool hasMovie = FindTopLevel(BoxType("moov"), movie);
    if (hasMovie)
        ReadMovie(movie);
    bool fragmentsTold = false;
    int64_t offset = 0;
    while (offset < FFileSize && !Aborted) {
        ReportProgress(offset, FFileSize);
        TBox box;
        if (!ReadBox(offset, FFileSize, box)) {
            Notice(TScanNotice::TKind::NotScanned, offset, Format(STailNotBoxes, offset, FFileSize));
            break;
        }
        if (box.Type == BoxType("moov") && box.Start != movie.Start) {
            Notice(TScanNotice::TKind::NotScanned, box.Start, Format(SSecondMovieHeader, box.Start));
        } else if (box.Type == BoxType("moof")) {
            // A segment alone (DASH, CMAF): without the movie header nothing tells what its tracks hold.
            if (hasMovie)
                ReadFragment(box);
            else if (!fragmentsTold)
                Notice(TScanNotice::TKind::NotScanned, box.Start, SFragmentsWithoutMovie);
            fragmentsTold = true;
        }
        offset = box.End;
    }
    for (auto &info : FTracks)
        if (!Aborted)
            ScanSampleTables(*info);
    for (auto &info : FTracks)
        if (info->Track != nullptr && info->SamplesUnread)
            GuardTrack(info->Track, Format(SMp4SamplesUnread, info->Track->Label, info->Track->Label));
}

// The movie header: one TTrackInfo per track, finished (statements, decoder configurations) as its box
// ends.
void TMP4Parser::ReadMovie(const TBox &movie) {
    std::vector<std::unique_ptr<TTrackInfo>> tracks;
    TTrackInfo *current = nullptr;
    auto enter = [&](const TBox &box, const TBox *parent) -> int64_t {
        const uint32_t parentType = parent != nullptr ? parent->Type : 0;
        if (box.Type == BoxType("trak")) {
            if (tracks.size() >= MaxTracks) {
                Notice(TScanNotice::TKind::NotScanned, box.Start, Format(STooManyTracks, MaxTracks));
                return -1;
            }
            tracks.push_back(std::make_unique<TTrackInfo>());
            current = tracks.back().get();
            return box.Data;
        }
        if (box.Type == BoxType("trex") && box.End - box.Data >= 24) {
            const uint32_t id = Read32(box.Data + 4);
            for (auto &track : tracks)
                if (track->Id == id) {
                    track->DefaultDescription = Read32(box.Data + 8);
                    track->DefaultSize = Read32(box.Data + 16);
                    track->HasDefaults = true;
                }
            return -1;
        }
        if (parentType == BoxType("stsd") && current != nullptr) {
            TSampleEntry entry;
            entry.Type = box.Type;
            entry.Start = box.Start;
            // A video track's entries are visual sample entries, whatever their codec (those of a codec
            // read are taken as such even where the handler comes later).
            const bool visual = (current->Handler == BoxType("vide") || IsReadableEntry(box.Type) ||
                                 box.Type == BoxType("encv")) &&
                                box.End - box.Data >= VisualEntryFields;
            if (visual) {
                uint8_t size[4];
                Read(box.Data + VisualEntrySizeAt, size, sizeof size);
                entry.Width = static_cast<int64_t>(BigEndianAt(size, 2));
                entry.Height = static_cast<int64_t>(BigEndianAt(size + 2, 2));
            }
            current->Entries.push_back(entry);
            return visual ? box.Data + VisualEntryFields : -1;
        }
        if (box.Type == BoxType("stsd"))
            return box.End - box.Data >= 8 ? box.Data + 8 : -1;
        if (IsContainerBox(box.Type))
            return box.Data;
        if (current == nullptr)
            return -1;
        TSampleEntry *entry = current->Entries.empty() ? nullptr : &current->Entries.back();
        if (box.Type == BoxType("tkhd")) {
            current->TrackHeader = box;
            const auto version = box.End - box.Data >= 4 ? Read32(box.Data) >> 24 : 0;
            current->TrackHeaderVersion = static_cast<int>(version);
            if (box.End - box.Data >= (version == 1 ? 24 : 16))
                current->Id = Read32(box.Data + (version == 1 ? 20 : 12));
            const int64_t matrixAt = box.Data + TrackHeaderMatrixAt[version == 1 ? 1 : 0];
            uint8_t matrix[36];
            if (matrixAt + static_cast<int64_t>(sizeof matrix) <= box.End) {
                Read(matrixAt, matrix, sizeof matrix);
                current->MatrixStretches = !KeepsRatio(matrix);
            }
        } else if (box.Type == BoxType("hdlr") && parentType == BoxType("mdia") && box.End - box.Data >= 12) {
            // The media handler; a MOV file's data handler (in minf) names something else.
            current->Handler = Read32(box.Data + 8);
        } else if (entry != nullptr && parentType == entry->Type &&
                   CodecOfConfigBox(TypeName(box.Type)) != nullptr) {
            entry->Configs.push_back(box);
        } else if (box.Type == BoxType("esds") && entry != nullptr && parentType == entry->Type) {
            ReadDescriptor(box, *entry, current->Id);
        } else if (box.Type == BoxType("pasp") && entry != nullptr && parentType == entry->Type &&
                   box.End - box.Data >= 8) {
            entry->Pasp = box;
        } else if (box.Type == BoxType("frma") && entry != nullptr && box.End - box.Data >= 4) {
            entry->Original = Read32(box.Data);
        } else if ((box.Type == BoxType("clef") || box.Type == BoxType("prof")) &&
                   parentType == BoxType("tapt") && box.End - box.Data >= 12) {
            (box.Type == BoxType("clef") ? current->Clef : current->Prof) = box;
        } else if (box.Type == BoxType("stsz") || box.Type == BoxType("stz2")) {
            current->SampleSizes = box;
        } else if (box.Type == BoxType("stco") || box.Type == BoxType("co64")) {
            current->ChunkOffsets = box;
        } else if (box.Type == BoxType("stsc")) {
            current->SampleToChunk = box;
        }
        return -1;
    };
    auto leave = [&](const TBox &box) {
        if (box.Type == BoxType("trak") && current != nullptr) {
            FinishTrack(*current);
            current = nullptr;
        }
    };
    WalkBoxes(movie.Data, movie.End, enter, leave);
    // Boxes cut short by the end of the file leave their tracks unfinished: finish them now.
    if (current != nullptr)
        FinishTrack(*current);
    FTracks = std::move(tracks);
}

// A video track becomes a track of the session with its statements, in the order players believe them.
// The entries of a codec the program reads give the track its codec and the units of their decoder
// configurations; a track with none is named by its first entry, and its bitstream is not read.
void TMP4Parser::FinishTrack(TTrackInfo &info) {
    if (info.Handler != BoxType("vide") || info.Track != nullptr)
        return;
    const TSampleEntry *first = nullptr;
    for (const TSampleEntry &entry : info.Entries)
        if (entry.Codec() != nullptr && first == nullptr)
            first = &entry;
    info.ReadsUnits = first != nullptr;
    if (first == nullptr && !info.Entries.empty())
        first = &info.Entries.front();
    const uint32_t type = first == nullptr                             ? 0
                          : first->Encrypted() && first->Original != 0 ? first->Original
                                                                       : first->Type;
    TTrack &track = Session.AddTrack(static_cast<int>(info.Id), Format(SMp4TrackLabel, info.Id));
    info.Track = &track;
    track.Codec = first != nullptr ? first->CodecEntry() : nullptr;
    track.Width = first != nullptr ? first->Width : 0;
    track.Height = first != nullptr ? first->Height : 0;
    if (!info.ReadsUnits)
        TakeUnreadTrack(track, info.TrackHeader.Start, first != nullptr ? TypeText(type) : "(none)");
    for (TSampleEntry &entry : info.Entries) {
        // Every entry of a track not read states the ratio of its samples; of one read, those read.
        if (entry.Codec() == nullptr && info.ReadsUnits)
            continue;
        if (entry.Encrypted() && info.ReadsUnits) {
            entry.Reason = Session.KeepReason(Format(SEncryptedTrack, track.Label));
            Notice(TScanNotice::TKind::NotScanned, entry.Start, Format(SEncryptedSamples, track.Label));
        }
        if (entry.Pasp.Type != 0) {
            const uint32_t h = Read32(entry.Pasp.Data), v = Read32(entry.Pasp.Data + 4);
            if (h != 0 && v != 0)
                track.Statements.push_back(std::make_unique<TPaspStatement>(track.Label, entry.Pasp.Data, h,
                                                                            v, entry.Width, entry.Height));
        }
    }
    const int64_t sizeAt = info.TrackHeader.Data + TrackHeaderSizeAt[info.TrackHeaderVersion == 1 ? 1 : 0];
    if (info.TrackHeader.Type != 0 && sizeAt + 8 <= info.TrackHeader.End)
        track.Statements.push_back(std::make_unique<TDisplaySizeStatement>(
            "tkhd", track.Label, sizeAt, Read32(sizeAt), Read32(sizeAt + 4), track.Width, track.Height));
    for (const TBox *aperture : {&info.Clef, &info.Prof})
        if (aperture->Type != 0) {
            const int64_t at = aperture->Data + ApertureSizeAt;
            track.Statements.push_back(std::make_unique<TDisplaySizeStatement>(
                aperture->Type == BoxType("clef") ? "clef" : "prof", track.Label, at, Read32(at),
                Read32(at + 4), track.Width, track.Height));
        }
    // A stretching matrix makes players show a ratio that none of the statements holds: changing them
    // would not give the ratio asked for.
    if (info.MatrixStretches && !track.Statements.empty())
        track.NotWritten = Format(SDisplayMatrixStretches, track.Label);
    for (TSampleEntry &entry : info.Entries)
        if (entry.Codec() != nullptr)
            ReadConfiguration(info, entry);
}

// The units of an entry's decoder configurations, and the length size of the units in its samples (from
// the first, as players take it).
void TMP4Parser::ReadConfiguration(TTrackInfo &info, TSampleEntry &entry) {
    bool first = true;
    for (const TBox &box : entry.Configs) {
        if (!entry.IsConfig(box.Type))
            continue;
        const bool firstConfig = std::exchange(first, false);
        std::vector<uint8_t> record(static_cast<size_t>(std::min(box.End - box.Data, MaxConfigBytes)));
        Read(box.Data, record.data(), record.size());
        const TCodec &codec = *entry.Codec();
        TCodecConfig config;
        try {
            config = codec.ReadConfig(record);
        } catch (const Exception &error) {
            Notice(TScanNotice::TKind::Structure, box.Start,
                   Format(SConfigDamaged, codec.ConfigName(), info.Track->Label, box.Start,
                          WithoutFullStop(error.what())));
            continue;
        }
        if (firstConfig)
            entry.LengthSize = config.LengthSize;
        for (TConfigUnit &unit : config.Units)
            KeepUnit(codec, {std::move(unit.Bytes), unit.Complete}, TPlacement(box.Data + unit.Offset),
                     info.Track, entry.Reason);
    }
    // MPEG video keeps its headers in the esds's decoder specific information.
    if (entry.Named != nullptr && !entry.SpecificInfo.empty()) {
        const TCodec &codec = *entry.Codec();
        for (TConfigUnit &unit : codec.ReadConfig(entry.SpecificInfo).Units)
            KeepUnit(codec, {std::move(unit.Bytes), unit.Complete},
                     TPlacement(entry.SpecificInfoAt + unit.Offset), info.Track, entry.Reason);
    }
}

// An esds names the codec of an mp4v entry by its object type, and holds its decoder specific
// information.
void TMP4Parser::ReadDescriptor(const TBox &box, TSampleEntry &entry, uint32_t trackId) {
    std::vector<uint8_t> payload(static_cast<size_t>(std::min(box.End - box.Data, MaxConfigBytes)));
    Read(box.Data, payload.data(), payload.size());
    try {
        const TEsds esds = ReadEsds(payload.data(), payload.size());
        if (const TCodecEntry *named = CodecOfObjectType(esds.ObjectType))
            entry.Named = named;
        if (esds.SpecificInfoOffset >= 0) {
            const auto first = payload.begin() + static_cast<ptrdiff_t>(esds.SpecificInfoOffset);
            entry.SpecificInfoAt = box.Data + esds.SpecificInfoOffset;
            entry.SpecificInfo.assign(first, first + static_cast<ptrdiff_t>(esds.SpecificInfoSize));
        }
    } catch (const Exception &error) {
        Notice(TScanNotice::TKind::Structure, box.Start,
               Format(SConfigDamaged, "elementary stream descriptor (esds)", Format(SMp4TrackLabel, trackId),
                      box.Start, WithoutFullStop(error.what())));
    }
}

bool TMP4Parser::ScanSample(TTrackInfo &info, const TSampleEntry &entry, int64_t offset, int64_t size) {
    if (offset < 0 || size > FFileSize - offset || offset > FFileSize) {
        if (!info.CutNoticed)
            Notice(TScanNotice::TKind::NotScanned, std::clamp<int64_t>(offset, 0, FFileSize),
                   Format(SSamplesPastEnd, info.Track->Label));
        info.CutNoticed = true;
        return false;
    }
    const TCodec &codec = *entry.Codec();
    if (codec.Framing() == TUnitFraming::StartCodes) {
        // The unit that states the ratio opens the sample that has one (MPEG video's sequence header).
        std::vector<uint8_t> head(static_cast<size_t>(std::min(size, codec.MaxUnitBytes() + 16)));
        Read(offset, head.data(), head.size());
        ScanAnnexB(codec, head.data(), offset, offset + static_cast<int64_t>(head.size()), info.Track,
                   entry.Reason, {.FirstUnitOnly = true, .Progress = false});
        return true;
    }
    TLengthPrefixedSource source(*FStream, offset, offset + size, entry.LengthSize);
    ScanLengthPrefixed(codec, source, info.Track, entry.Reason);
    if (source.Overrun() && !info.OverrunNoticed) {
        info.OverrunNoticed = true;
        Notice(TScanNotice::TKind::Structure, source.OverrunAt(),
               Format(SNalLengthPastSample, info.Track->Label, source.OverrunAt()));
    }
    return true;
}

bool TMP4Parser::WithinSampleBytes(TTrackInfo &info, int64_t offset, int64_t size) {
    if (!FSampleBytesSpent && size <= FSampleBytesLeft) {
        FSampleBytesLeft -= size;
        return true;
    }
    info.SamplesUnread = true;
    if (!FSampleBytesSpent) {
        const int64_t at = std::clamp<int64_t>(offset, 0, FFileSize);
        Notice(TScanNotice::TKind::NotScanned, at, Format(SSampleBytesPastFile, info.Track->Label, at));
    }
    FSampleBytesSpent = true;
    return false;
}

// The samples of a track as its tables place them: chunk by chunk (stco/co64), so many samples to a chunk
// (stsc), each of its size (stsz/stz2). A table that claims more entries than it holds is read as far as it
// goes, and told.
void TMP4Parser::ScanSampleTables(TTrackInfo &info) {
    if (!info.ReadsUnits || info.SampleSizes.Type == 0 || info.ChunkOffsets.Type == 0 ||
        info.SampleToChunk.Type == 0)
        return;
    auto entries = [&](const TBox &box, int64_t skip, int64_t entryBits, uint32_t claimed) {
        const int64_t held = std::max<int64_t>(0, (box.End - box.Data - skip) * 8 / entryBits);
        if (claimed > held)
            Notice(TScanNotice::TKind::Structure, box.Start,
                   Format(SSampleTableShort, TypeText(box.Type), info.Track->Label, int64_t{claimed}, held));
        return std::min<int64_t>(claimed, held);
    };
    const TBox &sizesBox = info.SampleSizes;
    if (sizesBox.End - sizesBox.Data < 12)
        return;
    TSampleSizes sizes;
    const uint32_t count = Read32(sizesBox.Data + 8);
    if (sizesBox.Type == BoxType("stsz")) {
        const uint32_t fixed = Read32(sizesBox.Data + 4);
        sizes = fixed != 0
                    ? TSampleSizes::Fixed(fixed, count)
                    : TSampleSizes::Table(*FStream, sizesBox.Data + 12, entries(sizesBox, 12, 32, count), 32);
    } else {
        const int bits = static_cast<int>(Read32(sizesBox.Data + 4) & 0xFF);
        if (bits != 4 && bits != 8 && bits != 16)
            return;
        sizes = TSampleSizes::Table(*FStream, sizesBox.Data + 12, entries(sizesBox, 12, bits, count), bits);
    }
    if (sizes.AllEmpty())
        return;
    const TBox &offsetsBox = info.ChunkOffsets;
    const int offsetBytes = offsetsBox.Type == BoxType("co64") ? 8 : 4;
    if (offsetsBox.End - offsetsBox.Data < 8 || info.SampleToChunk.End - info.SampleToChunk.Data < 8)
        return;
    TTableReader chunks(*FStream, offsetsBox.Data + 8,
                        entries(offsetsBox, 8, 8 * offsetBytes, Read32(offsetsBox.Data + 4)), offsetBytes);
    const TBox &stscBox = info.SampleToChunk;
    TTableReader runs(*FStream, stscBox.Data + 8, entries(stscBox, 8, 96, Read32(stscBox.Data + 4)), 12);

    // The samples are placed by their tables before they are visited: their heads are read while the walk
    // goes on, many at once.
    struct TSamplePlace {
        int64_t Offset = 0;
        int64_t Size = 0;
        const TSampleEntry *Scanned = nullptr; // its entry, when the sample is scanned
    };
    TPlannedVisits<TSamplePlace> visits(*FStream, [&](const TSamplePlace &sample) {
        // Each sample counts, scanned or not: a count the file declares never sets the work.
        if (Aborted || !WithinSampleBytes(info, sample.Offset, sample.Size))
            return false;
        return sample.Scanned == nullptr || ScanSample(info, *sample.Scanned, sample.Offset, sample.Size);
    });
    int64_t samplesLeft = sizes.Count();
    uint64_t perChunk = 0;
    uint32_t description = 0;
    for (int64_t chunk = 1; !chunks.AtEnd() && samplesLeft > 0 && !Aborted; ++chunk, chunks.Next()) {
        // The run of stsc in force: the last whose first chunk is not after this one.
        while (!runs.AtEnd() && runs.Read(0, 4) <= static_cast<uint64_t>(chunk)) {
            perChunk = runs.Read(4, 4);
            description = static_cast<uint32_t>(runs.Read(8, 4));
            runs.Next();
        }
        int64_t offset = static_cast<int64_t>(chunks.Read(0, offsetBytes));
        ReportProgress(std::clamp<int64_t>(offset, 0, FFileSize), FFileSize);
        const TSampleEntry *entry = info.Entry(description);
        const bool scanned = entry != nullptr && entry->Codec() != nullptr && !entry->Encrypted();
        const int64_t count =
            static_cast<int64_t>(std::min<uint64_t>(perChunk, static_cast<uint64_t>(samplesLeft)));
        for (int64_t sample = 0; sample < count; ++sample) {
            const int64_t size = sizes.Next();
            const bool read = scanned && !HoldsNoUnit(size, entry->LengthSize);
            if (!visits.Add({offset, size, read ? entry : nullptr}, offset, read ? size : 0))
                return;
            offset += size;
        }
        samplesLeft -= count;
    }
    visits.Finish();
}

TMP4Parser::TTrackInfo *TMP4Parser::TrackById(uint32_t id) {
    for (auto &info : FTracks)
        if (info->Id == id)
            return info.get();
    return nullptr;
}

// Where the runs of a track fragment lie, as its tfhd and the track fragments before it place them.
struct TMP4Parser::TRunPlace {
    // A place no offset arithmetic of a file reaches (offsets before the file's start are told as such).
    static constexpr int64_t Unknown = std::numeric_limits<int64_t>::min();
    int64_t FragmentStart = 0;
    // Where the data of the last run read ended (in this track fragment or one before): a track fragment
    // without an offset of its own begins there, and so does a run without one.
    int64_t DataEnd = 0;
    TTrackInfo *Info = nullptr;    // the track of the current track fragment, if the movie header has it
    bool HasHeader = false;        // the current track fragment's tfhd was read
    bool FirstRun = true;          // no run of the current track fragment was read yet
    int64_t Base = 0;              // its base data offset, or Unknown
    uint32_t Description = 0;      // its sample description
    int64_t DefaultSize = Unknown; // its samples' size when its runs give none
    bool NotPlacedTold = false;
};

// A movie fragment: each track fragment's runs of samples, placed by the base data offset rules of the
// format (tfhd's own offset, the fragment's start, or where the data of the track fragment before ended),
// for the runs of every track, scanned or not: the place of the next depends on them.
void TMP4Parser::ReadFragment(const TBox &fragment) {
    TRunPlace place;
    place.FragmentStart = fragment.Start;
    place.DataEnd = fragment.Start;
    auto enter = [&](const TBox &box, const TBox *) -> int64_t {
        if (box.Type == BoxType("traf")) {
            place.Info = nullptr;
            place.HasHeader = false;
            return box.Data;
        }
        if (box.Type == BoxType("tfhd") && box.End - box.Data >= 8) {
            const uint32_t flags = Read32(box.Data) & 0xFFFFFF;
            const uint32_t id = Read32(box.Data + 4);
            place.Info = TrackById(id);
            if (place.Info == nullptr)
                Notice(TScanNotice::TKind::NotScanned, box.Start,
                       Format(SFragmentUnknownTrack, fragment.Start, id));
            int64_t at = box.Data + 8;
            auto take = [&](uint32_t flag, int bytes) -> std::optional<uint64_t> {
                if ((flags & flag) == 0)
                    return std::nullopt;
                at += bytes;
                if (at > box.End)
                    return std::nullopt;
                return bytes == 8 ? Read64(at - 8) : Read32(at - 4);
            };
            const std::optional<uint64_t> baseOffset = take(0x1, 8);
            const std::optional<uint64_t> description = take(0x2, 4);
            take(0x8, 4);
            const std::optional<uint64_t> defaultSize = take(0x10, 4);
            TTrackInfo *info = place.Info;
            place.Description = description       ? static_cast<uint32_t>(*description)
                                : info != nullptr ? info->DefaultDescription
                                                  : 0;
            place.DefaultSize = defaultSize                            ? static_cast<int64_t>(*defaultSize)
                                : info != nullptr && info->HasDefaults ? int64_t{info->DefaultSize}
                                                                       : TRunPlace::Unknown;
            if ((flags & 0x1) != 0)
                place.Base = baseOffset ? static_cast<int64_t>(std::min<uint64_t>(*baseOffset, FFileSize))
                                        : TRunPlace::Unknown;
            else if ((flags & 0x20000) != 0)
                place.Base = fragment.Start;
            else
                place.Base = place.DataEnd;
            place.HasHeader = true;
            place.FirstRun = true;
            return -1;
        }
        if (box.Type == BoxType("trun") && place.HasHeader && box.End - box.Data >= 8)
            ReadRun(box, place);
        return -1;
    };
    WalkBoxes(fragment.Data, fragment.End, enter, [](const TBox &) {});
}

// One run of samples: where its data begins, its samples scanned when its track is an H.264 one, and where
// its data ends (unknown when its sizes are, or when it claims more than its box or the file holds).
void TMP4Parser::ReadRun(const TBox &run, TRunPlace &place) {
    constexpr int64_t Unknown = TRunPlace::Unknown;
    const uint32_t flags = Read32(run.Data) & 0xFFFFFF;
    const uint32_t count = Read32(run.Data + 4);
    int64_t at = run.Data + 8;
    int64_t start = place.FirstRun ? place.Base : place.DataEnd;
    place.FirstRun = false;
    if ((flags & 0x1) != 0) {
        at += 4;
        start = place.Base != Unknown && at <= run.End ? place.Base + static_cast<int32_t>(Read32(at - 4))
                                                       : Unknown;
    }
    if ((flags & 0x4) != 0)
        at += 4;
    const int fieldBytes = SampleFieldBytes(flags);
    const bool sized = (flags & 0x200) != 0;
    int64_t listed = count;
    if (fieldBytes > 0) {
        listed = std::min<int64_t>(count, std::max<int64_t>(0, (run.End - at) / fieldBytes));
        if (listed < count)
            Notice(TScanNotice::TKind::Structure, run.Start,
                   Format(SRunShort, run.Start, int64_t{count}, listed));
    }
    TTrackInfo *info = place.Info;
    const TSampleEntry *entry = info != nullptr ? info->Entry(place.Description) : nullptr;
    const bool scanned = info != nullptr && info->Track != nullptr && entry != nullptr &&
                         entry->Codec() != nullptr && !entry->Encrypted();
    if (scanned && (start == Unknown || listed < count))
        info->SamplesUnread = true;
    if (scanned && start == Unknown && !place.NotPlacedTold) {
        Notice(TScanNotice::TKind::NotScanned, run.Start,
               Format(SFragmentNotPlaced, info->Track->Label, place.FragmentStart));
        place.NotPlacedTold = true;
    }
    place.DataEnd = Unknown;
    if (start == Unknown || listed < count || (!sized && place.DefaultSize == Unknown))
        return;
    // Runs that need no walk sample by sample: of a track not scanned, or of one size too small for an SPS.
    if (!sized && (!scanned || HoldsNoUnit(place.DefaultSize, entry->LengthSize))) {
        if (place.DefaultSize == 0 || count <= (FFileSize - std::min(start, FFileSize)) / place.DefaultSize)
            place.DataEnd = start + count * place.DefaultSize;
        return;
    }
    const int sizeAt = (flags & 0x100) != 0 ? 4 : 0;
    TTableReader samples(*FStream, at, sized ? listed : 0, std::max(fieldBytes, 1));
    TPlannedVisits<std::pair<int64_t, int64_t>> visits(
        *FStream, [&](const std::pair<int64_t, int64_t> &sample) {
            const auto [offset, size] = sample;
            return !scanned ||
                   (!Aborted && WithinSampleBytes(*info, offset, size) &&
                    (HoldsNoUnit(size, entry->LengthSize) || ScanSample(*info, *entry, offset, size)));
        });
    int64_t offset = start;
    for (int64_t sample = 0; sample < listed; ++sample) {
        const int64_t size = sized ? static_cast<int64_t>(samples.Read(sizeAt, 4)) : place.DefaultSize;
        samples.Next();
        const bool read = scanned && !HoldsNoUnit(size, entry->LengthSize);
        if (!visits.Add({offset, size}, offset, read ? size : 0))
            return;
        offset += size;
    }
    if (!visits.Finish())
        return;
    place.DataEnd = offset;
}
