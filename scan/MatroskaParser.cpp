#include "MatroskaParser.h"

#include "EbmlNumbers.h"
#include "MatroskaDisplayStatement.h"
#include "base/ByteView.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>
#include <cstdio>

namespace {

// Element IDs, their length marker kept.
enum : uint32_t {
    IdFile = 0, // the whole file, around the top-level elements
    IdEbml = 0x1A45DFA3,
    IdSegment = 0x18538067,
    IdSeekHead = 0x114D9B74,
    IdSeek = 0x4DBB,
    IdSeekId = 0x53AB,
    IdSeekPosition = 0x53AC,
    IdInfo = 0x1549A966,
    IdTracks = 0x1654AE6B,
    IdTrackEntry = 0xAE,
    IdTrackNumber = 0xD7,
    IdTrackType = 0x83,
    IdCodecId = 0x86,
    IdCodecPrivate = 0x63A2,
    IdVideo = 0xE0,
    IdPixelWidth = 0xB0,
    IdPixelHeight = 0xBA,
    IdPixelCropBottom = 0x54AA,
    IdPixelCropTop = 0x54BB,
    IdPixelCropLeft = 0x54CC,
    IdPixelCropRight = 0x54DD,
    IdDisplayWidth = 0x54B0,
    IdDisplayHeight = 0x54BA,
    IdDisplayUnit = 0x54B2,
    IdContentEncodings = 0x6D80,
    IdContentEncoding = 0x6240,
    IdContentEncodingScope = 0x5032,
    IdContentEncodingType = 0x5033,
    IdContentCompression = 0x5034,
    IdContentEncryption = 0x5035,
    IdContentCompAlgo = 0x4254,
    IdContentCompSettings = 0x4255,
    IdCluster = 0x1F43B675,
    IdSimpleBlock = 0xA3,
    IdBlockGroup = 0xA0,
    IdBlock = 0xA1,
    IdCues = 0x1C53BB6B,
    IdTags = 0x1254C367,
    IdChapters = 0x1043A770,
    IdAttachments = 0x1941A469,
    IdVoid = 0xEC,
    IdCrc32 = 0xBF,
};

bool IsTopLevel(uint32_t id) {
    return id == IdEbml || id == IdSegment;
}

bool IsSegmentChild(uint32_t id) {
    return id == IdSeekHead || id == IdInfo || id == IdTracks || id == IdCluster || id == IdCues ||
           id == IdTags || id == IdChapters || id == IdAttachments;
}

// An element of unknown size ends where one begins that can only stand beside it or above it.
bool EndsUnknown(uint32_t open, uint32_t next) {
    if (open == IdCluster)
        return IsSegmentChild(next) || IsTopLevel(next);
    return IsTopLevel(next);
}

std::string ElementName(uint32_t id) {
    struct TName {
        uint32_t Id;
        const char *Name;
    };
    static constexpr TName Names[] = {
        {IdFile, "file"},
        {IdEbml, "EBML header"},
        {IdSegment, "Segment"},
        {IdSeekHead, "SeekHead"},
        {IdInfo, "Info"},
        {IdTracks, "Tracks"},
        {IdTrackEntry, "TrackEntry"},
        {IdCodecPrivate, "CodecPrivate"},
        {IdVideo, "Video"},
        {IdContentEncodings, "ContentEncodings"},
        {IdContentEncoding, "ContentEncoding"},
        {IdContentCompression, "ContentCompression"},
        {IdCluster, "Cluster"},
        {IdSimpleBlock, "SimpleBlock"},
        {IdBlockGroup, "BlockGroup"},
        {IdBlock, "Block"},
        {IdCues, "Cues"},
        {IdTags, "Tags"},
        {IdVoid, "Void"},
        {IdCrc32, "CRC-32"},
    };
    for (const TName &name : Names)
        if (name.Id == id)
            return name.Name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(id));
    return text;
}

const char *CompressionName(uint64_t algorithm) {
    switch (algorithm) {
    case 0:
        return "zlib";
    case 1:
        return "bzlib";
    case 2:
        return "lzo1x";
    default:
        return "an unknown algorithm";
    }
}

constexpr int64_t MaxConfigBytes = 1 << 20;
constexpr int64_t MaxStrippedBytes = 1 << 16;
// The CodecID of tracks kept as Video for Windows streams, with a bitmap header as their codec private data.
constexpr std::string_view VfwCodecId = "V_MS/VFW/FOURCC";

} // namespace

// One ContentEncoding of a track entry.
struct TMatroskaParser::TEncoding {
    uint64_t Scope = 1; // 1 the frames, 2 the codec private data, 4 the next encoding
    uint64_t Type = 0;  // 0 compression, 1 encryption
    uint64_t Algorithm = 0;
    bool Encrypted = false;
    int64_t SettingsData = -1; // ContentCompSettings: the bytes header stripping took off every frame
    int64_t SettingsSize = 0;
};

// A child of a Video element, for the room a display size may grow into.
struct TMatroskaParser::TVideoChild {
    uint32_t Id;
    int64_t Start;
    int64_t End;
};

// What a track entry says, kept for the walk of the clusters.
struct TMatroskaParser::TTrackInfo {
    int64_t EntryStart = 0;
    uint64_t Number = 0;
    uint64_t Type = 0;
    std::string CodecId;
    const TCodec *Codec = nullptr; // set for a track of a codec the program reads
    TElement CodecPrivate;
    bool HasCodecPrivate = false;
    // V_MS/VFW/FOURCC: the codec private data opens with a bitmap header that names the codec, and the
    // codec's own configuration follows it.
    int64_t PrivateHeaderBytes = 0;
    bool HasVideo = false;
    TMatroskaVideo Video;
    int64_t VideoEnd = 0;
    uint64_t PixelWidth = 0, PixelHeight = 0;
    uint64_t Crop[4] = {0, 0, 0, 0}; // bottom, top, left, right
    std::vector<TVideoChild> VideoChildren;
    std::vector<TEncoding> Encodings;
    // Filled when the entry ends.
    TTrack *Track = nullptr;
    bool ScanFrames = false;
    int LengthSize = 4;
    std::vector<TExtent> Stripped;        // header stripping of the frames: where the stripped bytes lie
    std::vector<TExtent> PrivateStripped; // ... of the codec private data
    const std::string *Reason = nullptr;  // why its SPS can not be changed
    bool OverrunNoticed = false;
    bool LacingBroken = false; // frames of a block were not read
    bool StrippedRead = false; // the units wholly in the stripped bytes were read with a frame
};

TMatroskaParser::TMatroskaParser(TScanSession &session) : TParser(session) {}

TMatroskaParser::~TMatroskaParser() = default;

void TMatroskaParser::Read(int64_t offset, uint8_t *bytes, size_t count) {
    FStream->Seek(offset);
    FStream->ReadBuffer(bytes, count);
}

bool TMatroskaParser::ReadUnsigned(const TElement &element, uint64_t &value) {
    const int64_t size = element.End - element.Data;
    if (size > 8 || size < 0)
        return false;
    uint8_t bytes[8];
    Read(element.Data, bytes, static_cast<size_t>(size));
    value = 0;
    for (int64_t i = 0; i < size; ++i)
        value = (value << 8) | bytes[i];
    return true;
}

std::string TMatroskaParser::ReadString(const TElement &element, size_t limit) {
    std::string text(
        static_cast<size_t>(std::min<int64_t>(element.End - element.Data, static_cast<int64_t>(limit))),
        '\0');
    Read(element.Data, reinterpret_cast<uint8_t *>(text.data()), text.size());
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

void TMatroskaParser::Broken(TScanNotice::TKind kind, int64_t offset, const std::string &text) {
    FStructureBroken = true;
    Notice(kind, offset, text);
}

TMatroskaParser::TRead TMatroskaParser::ReadElement(int64_t offset, int64_t end, uint32_t around,
                                                    TElement &element) {
    uint64_t size = 0;
    const TRead read = ReadHeader(offset, end, element, size);
    if (read != TRead::Element || size <= static_cast<uint64_t>(end - element.Data))
        return read;
    Broken(TScanNotice::TKind::Structure, offset,
           end == FFileSize ? Format(SEbmlCutShort, ElementName(element.Id), offset)
                            : Format(SEbmlPastParent, ElementName(element.Id), offset, ElementName(around)));
    return read;
}

TMatroskaParser::TRead TMatroskaParser::ReadHeader(int64_t offset, int64_t end, TElement &element,
                                                   uint64_t &size) {
    uint8_t header[12];
    const auto count = static_cast<size_t>(std::min<int64_t>(sizeof header, end - offset));
    Read(offset, header, count);
    const int idLength = EbmlVintLength(header[0]);
    if (idLength == 0 || idLength > 4 || static_cast<size_t>(idLength) >= count)
        return TRead::Illegal;
    uint32_t id = 0;
    for (int i = 0; i < idLength; ++i)
        id = (id << 8) | header[i];
    size_t sizeLength = 0;
    bool unknown = false;
    if (!ReadEbmlVint(header + idLength, count - static_cast<size_t>(idLength), sizeLength, size, unknown))
        return TRead::Illegal;
    element.Id = id;
    element.Start = offset;
    element.Data = offset + idLength + static_cast<int64_t>(sizeLength);
    element.Unknown = unknown;
    if (unknown) {
        element.End = end;
        return TRead::Unknown;
    }
    element.End =
        size > static_cast<uint64_t>(end - element.Data) ? end : element.Data + static_cast<int64_t>(size);
    return TRead::Element;
}

void TMatroskaParser::WalkElements(
    const TElement &outer, const std::function<bool(TElement &element, const TElement &parent)> &enter,
    const std::function<void(const TElement &element)> &leave) {
    struct TOpen {
        TElement Element;
        int64_t Next;
    };
    std::vector<TOpen> open{{outer, outer.Data}};
    // Closes the innermost open element where it ended: one of unknown size ends there for the level around
    // it too.
    auto close = [&](int64_t endedAt) {
        TOpen level = open.back();
        open.pop_back();
        level.Element.End = endedAt;
        if (!open.empty()) {
            if (level.Element.Unknown)
                open.back().Next = endedAt;
            leave(level.Element);
        }
    };
    while (!open.empty() && !Aborted) {
        TOpen &level = open.back();
        if (level.Next >= level.Element.End) {
            close(level.Element.End);
            continue;
        }
        TElement element;
        const TRead read = ReadElement(level.Next, level.Element.End, level.Element.Id, element);
        if (read == TRead::Illegal) {
            if (level.Element.Id == IdFile)
                Broken(TScanNotice::TKind::NotScanned, level.Next, Format(SEbmlTail, level.Next, FFileSize));
            else
                Broken(TScanNotice::TKind::Structure, level.Next,
                       Format(SEbmlIllegalElement, level.Next, ElementName(level.Element.Id)));
            close(level.Element.Unknown ? level.Next : level.Element.End);
            continue;
        }
        if (level.Element.Unknown && EndsUnknown(level.Element.Id, element.Id)) {
            close(element.Start);
            continue;
        }
        if (read == TRead::Unknown && !(element.Id == IdSegment && level.Element.Id == IdFile) &&
            !(element.Id == IdCluster && level.Element.Id == IdSegment)) {
            Broken(TScanNotice::TKind::Structure, element.Start,
                   Format(SEbmlUnknownSize, ElementName(element.Id), element.Start,
                          ElementName(level.Element.Id)));
            close(level.Element.Unknown ? element.Start : level.Element.End);
            continue;
        }
        // The Tracks read first (where the SeekHead said, behind an element of unknown size) lie inside an
        // element the walk meets: a write of the display size would change that element's bytes too.
        if (FTracksRead >= 0 && element.Start < FTracksRead && element.End > FTracksRead &&
            !element.Unknown && element.Id != IdSegment && FTracksOverrun.empty()) {
            FTracksOverrun = Format(SMkvTracksOverrun, ElementName(element.Id), element.Start, FTracksRead);
            Broken(TScanNotice::TKind::Structure, element.Start, FTracksOverrun);
        }
        // Only the elements of the format's own nesting are entered: the open levels never outnumber it,
        // however deep the file nests. The level goes on behind an element of unknown size once that
        // element has found its end.
        level.Next = element.End;
        if (enter(element, level.Element)) {
            if (element.Unknown)
                open.back().Next = element.Data;
            open.push_back({element, element.Data});
        }
    }
}

void TMatroskaParser::Walk(TStream &stream) {
    FStream = &stream;
    FFileSize = stream.Size();
    FTracks.clear();
    FCurrent = nullptr;
    FOpenChecksums.clear();
    FUnknownTracks.clear();
    FTracksRead = -1;
    FTracksOverrun.clear();
    uint8_t magic[4] = {0, 0, 0, 0};
    if (FFileSize >= 4)
        Read(0, magic, sizeof magic);
    if (FFileSize < 4 || magic[0] != 0x1A || magic[1] != 0x45 || magic[2] != 0xDF || magic[3] != 0xA3)
        throw Exception(SNotMatroska);
    TElement file;
    file.Id = IdFile;
    file.End = FFileSize;
    WalkElements(
        file, [this](TElement &element, const TElement &parent) { return Enter(element, parent); },
        [this](const TElement &element) { Leave(element); });
    TrustRoomAhead(); // a Segment the walk did not leave
    if (!FTracksOverrun.empty())
        GuardTrack(nullptr, FTracksOverrun);
    // Tracks that lie behind the clusters, or a second Segment: the regions in file order all the same.
    std::sort(Session.ChecksumRegions.begin(), Session.ChecksumRegions.end(),
              [](const TChecksumRegion &a, const TChecksumRegion &b) { return a.Start < b.Start; });
}

bool TMatroskaParser::Enter(TElement &element, const TElement &parent) {
    const uint32_t id = element.Id;
    if (id == IdCrc32 && parent.Id != IdFile && element.Start == parent.Data)
        RecordChecksum(element, parent);
    switch (parent.Id) {
    case IdFile:
        if (id == IdSegment) {
            FTracks.clear(); // each Segment describes its own tracks
            FUnknownTracks.clear();
            FHead = std::make_shared<TMatroskaSegmentHead>();
            FHead->SegmentData = element.Data;
            FStructureBroken = false;
            ReportProgress(element.Start, FFileSize);
            ReadTracksFirst(element);
        }
        return id == IdEbml || id == IdSegment;
    case IdEbml:
        return false;
    case IdSegment:
        if (id == IdCluster) {
            ReportProgress(element.Start, FFileSize);
            // Each block's place is told only by the one before it: the cluster is brought in whole, with
            // the start of what follows, while its blocks are walked.
            FStream->ExpectWhole(element.Start,
                                 std::min(element.End - element.Start, MaxClusterAsked) + ClusterLookAhead);
        }
        return (id == IdTracks && element.Start != FTracksRead) || id == IdCluster || id == IdSeekHead;
    case IdSeekHead:
        return id == IdSeek;
    case IdSeek: {
        // A position the elements ahead of the Tracks may move by.
        uint64_t position = 0;
        if (id == IdSeekPosition && FHead && ReadUnsigned(element, position) && element.End > element.Data)
            FHead->SeekPositions.push_back({element.Data, element.End - element.Data, position});
        return false;
    }
    case IdTracks:
        if (id != IdTrackEntry)
            return false;
        if (FTracks.size() >= MaxTracks) {
            Notice(TScanNotice::TKind::NotScanned, element.Start, Format(STooManyTracks, MaxTracks));
            return false;
        }
        FTracks.push_back(std::make_unique<TTrackInfo>());
        FCurrent = FTracks.back().get();
        FCurrent->EntryStart = element.Start;
        return true;
    case IdCluster:
        if (id == IdSimpleBlock)
            ScanBlock(element);
        return id == IdBlockGroup;
    case IdBlockGroup:
        if (id == IdBlock)
            ScanBlock(element);
        return false;
    default:
        break;
    }
    if (FCurrent == nullptr)
        return false;
    TTrackInfo &info = *FCurrent;
    uint64_t value = 0;
    switch (parent.Id) {
    case IdTrackEntry:
        if (id == IdTrackNumber && ReadUnsigned(element, value))
            info.Number = value;
        else if (id == IdTrackType && ReadUnsigned(element, value))
            info.Type = value;
        else if (id == IdCodecId)
            info.CodecId = ReadString(element, 64);
        else if (id == IdCodecPrivate) {
            info.CodecPrivate = element;
            info.HasCodecPrivate = true;
        } else if (id == IdVideo) {
            info.HasVideo = true;
            info.Video = TMatroskaVideo();
            info.Video.VideoStart = element.Start;
            info.VideoEnd = element.End;
            info.VideoChildren.clear();
        }
        return id == IdVideo || id == IdContentEncodings;
    case IdVideo: {
        info.VideoChildren.push_back({id, element.Start, element.End});
        TEbmlUnsigned *display = id == IdDisplayWidth    ? &info.Video.DisplayWidth
                                 : id == IdDisplayHeight ? &info.Video.DisplayHeight
                                 : id == IdDisplayUnit   ? &info.Video.DisplayUnit
                                                         : nullptr;
        if (!ReadUnsigned(element, value))
            return false;
        if (display != nullptr)
            *display = {element.Start, element.Data, element.End - element.Data, value};
        else if (id == IdPixelWidth)
            info.PixelWidth = value;
        else if (id == IdPixelHeight)
            info.PixelHeight = value;
        else if (id == IdPixelCropBottom || id == IdPixelCropTop || id == IdPixelCropLeft ||
                 id == IdPixelCropRight)
            info.Crop[id == IdPixelCropBottom ? 0
                      : id == IdPixelCropTop  ? 1
                      : id == IdPixelCropLeft ? 2
                                              : 3] = value;
        return false;
    }
    case IdContentEncodings:
        if (id == IdContentEncoding)
            info.Encodings.emplace_back();
        return id == IdContentEncoding;
    case IdContentEncoding:
        if (info.Encodings.empty())
            return false;
        if (id == IdContentEncodingScope && ReadUnsigned(element, value))
            info.Encodings.back().Scope = value;
        else if (id == IdContentEncodingType && ReadUnsigned(element, value))
            info.Encodings.back().Type = value;
        else if (id == IdContentEncryption)
            info.Encodings.back().Encrypted = true;
        return id == IdContentCompression;
    case IdContentCompression:
        if (info.Encodings.empty())
            return false;
        if (id == IdContentCompAlgo && ReadUnsigned(element, value))
            info.Encodings.back().Algorithm = value;
        else if (id == IdContentCompSettings) {
            info.Encodings.back().SettingsData = element.Data;
            info.Encodings.back().SettingsSize = element.End - element.Data;
        }
        return false;
    default:
        return false;
    }
}

void TMatroskaParser::Leave(const TElement &element) {
    if (element.Id == IdTrackEntry && FCurrent != nullptr) {
        FinishTrack(*FCurrent);
        FCurrent = nullptr;
    } else if (element.Id == IdSegment) {
        GuardUnreadFrames();
        TrustRoomAhead();
    }
    // An element of unknown size: its checksum covers what it turned out to hold.
    if (!FOpenChecksums.empty() && FOpenChecksums.back().Element == element.Start) {
        Session.ChecksumRegions[FOpenChecksums.back().Region].End = element.End;
        FOpenChecksums.pop_back();
    }
}

// Players find the track entries before they read a frame, through the SeekHead where the Tracks lie behind
// the Clusters. So does the walk: the Segment's first Tracks element, where the SeekHead or the elements'
// sizes lead, is read before anything else of the Segment, and passed over where the walk reaches it.
void TMatroskaParser::ReadTracksFirst(const TElement &segment) {
    FTracksRead = -1;
    const int64_t tracks = FindTracks(segment);
    TElement element;
    uint64_t size = 0;
    if (tracks < 0 || ReadHeader(tracks, segment.End, element, size) != TRead::Element)
        return;
    FindRoomAhead(segment, element);
    // Around it, an element that holds nothing but the Tracks, for the walk to enter them as it does.
    TElement around = segment;
    around.Data = tracks;
    around.End = element.End;
    around.Unknown = false;
    WalkElements(
        around, [this](TElement &child, const TElement &parent) { return Enter(child, parent); },
        [this](const TElement &child) { Leave(child); });
    FTracksRead = tracks;
}

// Where the Segment's first Tracks element begins: the first one among the Segment's elements as their
// sizes lead from one to the next, or, behind an element of unknown size that they can not lead past, where
// the SeekHead says (a place the sizes lead to can be checked; one they do not lead to is only trusted
// where they can not go). -1 when neither finds it.
int64_t TMatroskaParser::FindTracks(const TElement &segment) {
    TElement element;
    uint64_t size = 0;
    int64_t sought = -1, seekHead = -1;
    int64_t at = segment.Data;
    for (; at < segment.End && !Aborted; at = element.End) {
        if (ReadHeader(at, segment.End, element, size) != TRead::Element)
            break;
        if (element.Id == IdTracks)
            return element.Start;
        if (element.Id == IdSeekHead && sought < 0) {
            sought = SeekTracks(element, segment);
            seekHead = element.Start;
        }
    }
    if (sought < 0 || at >= segment.End)
        return -1;
    TElement target;
    if (sought >= at && ReadHeader(sought, segment.End, target, size) == TRead::Element &&
        target.Id == IdTracks)
        return sought;
    Notice(TScanNotice::TKind::Structure, seekHead, Format(SMkvSeekPastTracks, seekHead, sought));
    return -1;
}

// Elements of the Segment move only where its whole structure was read: a SeekHead the walk did not reach
// would keep the places they moved from.
void TMatroskaParser::TrustRoomAhead() {
    if (FHead && (FStructureBroken || Aborted))
        FHead->VoidStart = -1;
}

// The last Void ahead of the Tracks with nothing between them that may not move (a Cluster, which the Cues
// point at, or a SeekHead), as the elements' sizes lead from the Segment's start, and the bytes from it to
// the Tracks' end.
void TMatroskaParser::FindRoomAhead(const TElement &segment, const TElement &tracks) {
    TElement element;
    uint64_t size = 0;
    int64_t voidStart = -1, voidEnd = -1;
    for (int64_t at = segment.Data; at < tracks.Start; at = element.End) {
        if (ReadHeader(at, tracks.Start, element, size) != TRead::Element ||
            size != static_cast<uint64_t>(element.End - element.Data))
            return;
        if (element.Id == IdVoid) {
            voidStart = element.Start;
            voidEnd = element.End;
        } else if (element.Id == IdCluster || element.Id == IdSeekHead || element.Id == IdTracks) {
            voidStart = -1;
        }
    }
    if (voidStart < 0 || tracks.End - voidStart > TMatroskaSegmentHead::MaxBytes)
        return;
    FHead->VoidStart = voidStart;
    FHead->VoidEnd = voidEnd;
    FHead->TracksEnd = tracks.End;
    FHead->Bytes.resize(static_cast<size_t>(tracks.End - voidStart));
    Read(voidStart, FHead->Bytes.data(), FHead->Bytes.size());
}

// The position a SeekHead gives the Tracks (from the Segment's data on), -1 for none.
int64_t TMatroskaParser::SeekTracks(const TElement &seekHead, const TElement &segment) {
    TElement seek, child;
    uint64_t size = 0;
    for (int64_t at = seekHead.Data; at < seekHead.End; at = seek.End) {
        if (ReadHeader(at, seekHead.End, seek, size) != TRead::Element)
            return -1;
        if (seek.Id != IdSeek)
            continue;
        bool tracks = false;
        uint64_t position = 0;
        bool positioned = false;
        for (int64_t in = seek.Data; in < seek.End; in = child.End) {
            if (ReadHeader(in, seek.End, child, size) != TRead::Element)
                break;
            if (child.Id == IdSeekId && child.End - child.Data == 4) {
                uint8_t id[4];
                Read(child.Data, id, sizeof id);
                tracks = id[0] == 0x16 && id[1] == 0x54 && id[2] == 0xAE && id[3] == 0x6B;
            } else if (child.Id == IdSeekPosition) {
                positioned = ReadUnsigned(child, position);
            }
        }
        if (tracks && positioned && position < static_cast<uint64_t>(segment.End - segment.Data))
            return segment.Data + static_cast<int64_t>(position);
    }
    return -1;
}

// A track whose frames the walk could not all read may have SPS that were not found: none of its rows
// and not its display size is changed, so that a save never claims what it did not do.
void TMatroskaParser::GuardUnreadFrames() {
    for (const auto &info : FTracks) {
        if (info->Track == nullptr || !info->ScanFrames)
            continue;
        const std::string &label = info->Track->Label;
        std::string reason;
        if (FUnknownTracks.count(info->Number) != 0)
            reason = Format(SMkvFramesBeforeEntry, label, label);
        else if (info->LacingBroken)
            reason = Format(SMkvFramesUnread, label, label);
        else
            continue;
        GuardTrack(info->Track, reason);
    }
}

// A CRC-32 as the first child of any master element the walk enters covers the rest of the element's
// data; those of elements inside it lie in its region.
void TMatroskaParser::RecordChecksum(const TElement &crc, const TElement &parent) {
    if (crc.End - crc.Data != 4)
        return;
    TChecksumRegion region;
    region.Start = crc.End;
    region.End = parent.End;
    region.ValueOffset = crc.Data;
    region.Value.resize(4);
    Read(crc.Data, region.Value.data(), 4);
    region.Kind = &Crc32LittleEndian();
    region.What = Format(SWhatChecksum, ElementName(parent.Id), parent.Start);
    Session.ChecksumRegions.push_back(std::move(region));
    FOpenChecksums.push_back({parent.Start, Session.ChecksumRegions.size() - 1});
}

TMatroskaParser::TTrackInfo *TMatroskaParser::TrackByNumber(uint64_t number) {
    for (auto &info : FTracks)
        if (info->Number == number)
            return info.get();
    return nullptr;
}

// The display elements and, for a change that does not fit them, the room a Void behind them offers.
void TMatroskaParser::FinishVideo(TTrackInfo &info) {
    TMatroskaVideo &video = info.Video;
    const uint64_t croppedWidth = info.PixelWidth - std::min(info.PixelWidth, info.Crop[2] + info.Crop[3]);
    const uint64_t croppedHeight = info.PixelHeight - std::min(info.PixelHeight, info.Crop[0] + info.Crop[1]);
    // Crops that add up past the size leave nothing; sizes past what a picture may have are no sizes.
    constexpr uint64_t MaxSize = uint64_t{1} << 20;
    video.Width = croppedWidth <= MaxSize && info.Crop[2] <= MaxSize && info.Crop[3] <= MaxSize
                      ? static_cast<int64_t>(croppedWidth)
                      : 0;
    video.Height = croppedHeight <= MaxSize && info.Crop[0] <= MaxSize && info.Crop[1] <= MaxSize
                       ? static_cast<int64_t>(croppedHeight)
                       : 0;
    video.Unit = video.DisplayUnit.Present() ? video.DisplayUnit.Value : 0;
    auto isDisplay = [](uint32_t id) { return id == IdDisplayWidth || id == IdDisplayHeight; };
    const auto &children = info.VideoChildren;
    size_t first = children.size(), last = 0;
    for (size_t i = 0; i < children.size(); ++i)
        if (isDisplay(children[i].Id)) {
            first = std::min(first, i);
            last = i;
        }
    // A display element read twice: the room is not worked out from either.
    const bool twice =
        std::count_if(children.begin(), children.end(),
                      [](const TVideoChild &child) { return child.Id == IdDisplayWidth; }) > 1 ||
        std::count_if(children.begin(), children.end(),
                      [](const TVideoChild &child) { return child.Id == IdDisplayHeight; }) > 1;
    size_t from = children.size(), to = children.size();
    if (twice) {
    } else if (first == children.size()) {
        for (size_t i = 0; i < children.size() && from == children.size(); ++i)
            if (children[i].Id == IdVoid)
                from = to = i;
    } else {
        for (size_t i = first; i < children.size(); ++i) {
            const uint32_t id = children[i].Id;
            if (!isDisplay(id) && id != IdDisplayUnit && id != IdVoid)
                break;
            if (id == IdVoid && i > last) {
                from = first;
                to = i;
                break;
            }
        }
    }
    // The run a rewrite of the display elements replaces: with DisplayUnit where it lies beside them (a
    // unit that states nothing is rewritten with them), else without.
    auto setRun = [&](bool withUnit) {
        auto inRun = [&](uint32_t id) { return isDisplay(id) || (withUnit && id == IdDisplayUnit); };
        auto firstIn = std::find_if(children.begin(), children.end(),
                                    [&](const TVideoChild &child) { return inRun(child.Id); });
        if (firstIn == children.end()) {
            video.RunStart = video.RunEnd = info.VideoEnd;
            return true;
        }
        auto lastIn = std::find_if(children.rbegin(), children.rend(),
                                   [&](const TVideoChild &child) { return inRun(child.Id); });
        if (!std::all_of(firstIn, lastIn.base(), [&](const TVideoChild &child) { return inRun(child.Id); }))
            return false;
        video.RunStart = firstIn->Start;
        video.RunEnd = (lastIn.base() - 1)->End;
        if (video.RunEnd - video.RunStart <= static_cast<int64_t>(TMatroskaVideo::MaxRoomBytes)) {
            video.RunBytes.resize(static_cast<size_t>(video.RunEnd - video.RunStart));
            Read(video.RunStart, video.RunBytes.data(), video.RunBytes.size());
        }
        return true;
    };
    if (!twice && !setRun(true))
        setRun(false);
    if (from < children.size() && children[to].End - children[from].Start >= 2) {
        video.RoomStart = children[from].Start;
        video.RoomEnd = children[to].End;
        video.RoomBytes.resize(static_cast<size_t>(
            std::min<int64_t>(video.RoomEnd - video.RoomStart, TMatroskaVideo::MaxRoomBytes)));
        Read(video.RoomStart, video.RoomBytes.data(), video.RoomBytes.size());
    }
}

// A video track becomes a track of the session with its display size. One of a codec the program reads
// also gives the units of its codec private data, and its encodings say how its frames are read, or that
// they are not; the bitstream of any other is not read.
void TMatroskaParser::FinishTrack(TTrackInfo &info) {
    const bool video = info.Type == 1 || info.CodecId.rfind("V_", 0) == 0;
    if (!video || info.Track != nullptr || info.Number == 0)
        return;
    const TCodecEntry *codec = CodecOfMatroskaId(info.CodecId);
    if (codec == nullptr && info.CodecId == VfwCodecId)
        codec = CodecOfVfwPrivate(info);
    const auto number = static_cast<int>(std::min<uint64_t>(info.Number, 0x7FFFFFFF));
    TTrack &track = Session.AddTrack(number, Format(SMatroskaTrackLabel, number));
    info.Track = &track;
    track.Codec = codec;
    const bool read = codec != nullptr && codec->Codec != nullptr;
    if (read) {
        info.Codec = codec->Codec;
        info.ScanFrames = true;
    } else {
        TakeUnreadTrack(track, info.EntryStart,
                        info.CodecId.empty() ? std::string("(no codec)") : CodeText(info.CodecId));
    }
    const bool privateReadable = read && ReadEncodings(info);
    if (info.HasVideo) {
        FinishVideo(info);
        track.Width = info.Video.Width;
        track.Height = info.Video.Height;
        // DisplayUnit 4 ("unknown") and values past it leave the ratio to the bitstream and state nothing;
        // where the bitstream states none, players show square pixels, which a change may state otherwise.
        const bool stated = info.Video.Unit <= 3 || (info.Video.Unit == 4 && track.ContainerOnly());
        if (info.Video.Width > 0 && info.Video.Height > 0 && stated)
            track.Statements.push_back(
                std::make_unique<TMatroskaDisplayStatement>(track.Label, info.Video, FHead));
    }
    if (privateReadable)
        ReadConfiguration(info);
}

// The codec an AVI stream of the bitmap header's compression code holds (mkvmerge keeps Xvid and DivX
// from AVI files so). Only codecs whose frames are found by start codes are read from it, as they lie in
// AVI chunks; a codec whose units Matroska frames give lengths (H.264) is framed otherwise there.
const TCodecEntry *TMatroskaParser::CodecOfVfwPrivate(TTrackInfo &info) {
    constexpr int64_t BitmapHeaderSize = 40, CompressionOffset = 16;
    if (!info.HasCodecPrivate || info.CodecPrivate.End - info.CodecPrivate.Data < BitmapHeaderSize)
        return nullptr;
    uint8_t fourCC[4];
    Read(info.CodecPrivate.Data + CompressionOffset, fourCC, sizeof fourCC);
    const TCodecEntry *codec =
        CodecOfAviHandler(std::string_view(reinterpret_cast<const char *>(fourCC), sizeof fourCC));
    if (codec == nullptr || codec->Codec == nullptr || codec->Codec->Framing() != TUnitFraming::StartCodes)
        return nullptr;
    info.PrivateHeaderBytes = BitmapHeaderSize;
    return codec;
}

// How the track's frames and codec private data are read through its encodings: header stripping is read
// through, compression and encryption end the scan of what they cover. True when the codec private data
// can be read.
bool TMatroskaParser::ReadEncodings(TTrackInfo &info) {
    const TTrack &track = *info.Track;
    bool privateReadable = true;
    for (const TEncoding &encoding : info.Encodings) {
        const bool frames = (encoding.Scope & 1) != 0;
        const bool codecPrivate = (encoding.Scope & 2) != 0;
        if (encoding.Type == 1 || encoding.Encrypted) {
            info.Reason = Session.KeepReason(Format(SMkvEncryptedTrack, track.Label));
            if (frames && info.ScanFrames)
                Notice(TScanNotice::TKind::NotScanned, info.EntryStart,
                       Format(SMkvEncryptedFrames, track.Label));
            info.ScanFrames = info.ScanFrames && !frames;
            continue;
        }
        if (encoding.Algorithm == 3) {
            const int64_t size = std::min(encoding.SettingsSize, MaxStrippedBytes);
            if (encoding.SettingsData >= 0 && size > 0) {
                if (frames)
                    info.Stripped = {{encoding.SettingsData, size}};
                if (codecPrivate)
                    info.PrivateStripped = {{encoding.SettingsData, size}};
            }
            continue;
        }
        const char *algorithm = CompressionName(encoding.Algorithm);
        info.Reason = Session.KeepReason(Format(SMkvCompressedTrack, track.Label, algorithm));
        if (frames && info.ScanFrames)
            Notice(TScanNotice::TKind::NotScanned, info.EntryStart,
                   Format(SMkvCompressedFrames, track.Label, algorithm));
        info.ScanFrames = info.ScanFrames && !frames;
        if (codecPrivate && privateReadable)
            Notice(TScanNotice::TKind::NotScanned, info.EntryStart,
                   Format(SMkvCompressedPrivate, track.Label, algorithm));
        privateReadable = privateReadable && !codecPrivate;
    }
    return privateReadable;
}

// The units of the codec private data (the codec's decoder configuration record), and the length size of
// the frames' units.
void TMatroskaParser::ReadConfiguration(TTrackInfo &info) {
    if (!info.HasCodecPrivate)
        return;
    std::vector<TExtent> extents = info.PrivateStripped;
    extents.push_back(
        {info.CodecPrivate.Data, std::min(info.CodecPrivate.End - info.CodecPrivate.Data, MaxConfigBytes)});
    TByteView view(*FStream, extents);
    std::vector<uint8_t> record(static_cast<size_t>(view.Size()));
    view.Seek(0);
    view.ReadBuffer(record.data(), record.size());
    // A bitmap header in front (the codec private data of V_MS/VFW/FOURCC) is no part of the record.
    const auto header = static_cast<ptrdiff_t>(std::min<int64_t>(info.PrivateHeaderBytes, view.Size()));
    record.erase(record.begin(), record.begin() + header);
    TCodecConfig config;
    try {
        config = info.Codec->ReadConfig(record);
    } catch (const Exception &error) {
        Notice(TScanNotice::TKind::Structure, info.CodecPrivate.Start,
               Format(SConfigDamaged, info.Codec->ConfigName(), info.Track->Label, info.CodecPrivate.Start,
                      WithoutFullStop(error.what())));
        return;
    }
    info.LengthSize = config.LengthSize;
    const int64_t stripped = view.Size() - extents.back().Length;
    for (TConfigUnit &unit : config.Units)
        KeepFromView(info, view, stripped, header + unit.Offset, {std::move(unit.Bytes), unit.Complete});
}

// A unit read through a view of the stripped header bytes and the bytes behind them, at start in it: kept
// where its bytes lie in the file, and not changeable when it begins in the stripped bytes (they stand
// for every frame of the track).
void TMatroskaParser::KeepFromView(const TTrackInfo &info, const TByteView &view, int64_t stripped,
                                   int64_t start, TNalUnitBytes unit) {
    const TPlacement placement(view.FileExtents(start, static_cast<int64_t>(unit.Bytes.size())));
    const std::string *reason = info.Reason;
    if (start < stripped)
        reason = Session.KeepReason(Format(SSpsInStrippedHeader, placement.FileOffset(0), info.Track->Label));
    KeepUnit(*info.Codec, std::move(unit), placement, info.Track, reason);
}

// A SimpleBlock or Block: track number, timecode, flags, the lacing of its frames, the frames.
void TMatroskaParser::ScanBlock(const TElement &block) {
    uint8_t header[12];
    const auto count = static_cast<size_t>(std::min<int64_t>(sizeof header, block.End - block.Data));
    if (count < 4)
        return;
    Read(block.Data, header, count);
    size_t numberLength = 0;
    uint64_t number = 0;
    bool unknown = false;
    if (!ReadEbmlVint(header, count, numberLength, number, unknown) || numberLength + 3 > count)
        return;
    TTrackInfo *info = TrackByNumber(number);
    if (info == nullptr) {
        if (FUnknownTracks.insert(number).second)
            Notice(TScanNotice::TKind::NotScanned, block.Start,
                   Format(SMkvBlockUnknownTrack, block.Start,
                          static_cast<int64_t>(std::min<uint64_t>(number, INT64_MAX))));
        return;
    }
    if (!info->ScanFrames || info->Track == nullptr)
        return;
    const uint8_t flags = header[numberLength + 2];
    const int lacing = (flags >> 1) & 3;
    int64_t at = block.Data + static_cast<int64_t>(numberLength) + 3;
    if (lacing == 0) {
        ScanFrame(*info, at, block.End - at);
        return;
    }
    // The lace header: the number of frames less one, then the sizes of all frames but the last.
    std::vector<uint8_t> lace(static_cast<size_t>(std::min<int64_t>(block.End - at, 4096)));
    size_t used = 0;
    int64_t laceAt = at;
    auto next = [&](uint8_t &byte) {
        if (used == lace.size()) {
            laceAt += static_cast<int64_t>(used);
            const int64_t left = block.End - laceAt;
            if (left <= 0)
                return false;
            lace.resize(static_cast<size_t>(std::min<int64_t>(left, 4096)));
            Read(laceAt, lace.data(), lace.size());
            used = 0;
        }
        byte = lace[used++];
        return true;
    };
    if (!lace.empty())
        Read(at, lace.data(), lace.size());
    auto invalid = [&] {
        Notice(TScanNotice::TKind::Structure, block.Start, Format(SMkvLacingInvalid, block.Start));
        info->LacingBroken = true;
    };
    uint8_t byte = 0;
    if (!next(byte)) {
        invalid();
        return;
    }
    const int frames = byte + 1;
    std::vector<int64_t> sizes;
    bool good = true;
    if (lacing == 1) { // Xiph: each size as a run of 255s and the byte that ends it
        for (int i = 0; i + 1 < frames && good; ++i) {
            int64_t size = 0;
            do {
                good = next(byte);
                size += byte;
            } while (good && byte == 255 && size < block.End - block.Data);
            sizes.push_back(size);
        }
    } else if (lacing == 3) { // EBML: the first size, then signed differences
        for (int i = 0; i + 1 < frames && good; ++i) {
            uint8_t bytes[8];
            good = next(bytes[0]);
            const int length = good ? EbmlVintLength(bytes[0]) : 0;
            good = good && length > 0;
            for (int k = 1; k < length && good; ++k)
                good = next(bytes[k]);
            if (!good)
                break;
            uint64_t raw = bytes[0] & (0xFF >> length);
            for (int k = 1; k < length; ++k)
                raw = (raw << 8) | bytes[k];
            int64_t size = static_cast<int64_t>(raw);
            if (i > 0)
                size = sizes.back() + (static_cast<int64_t>(raw) - ((int64_t{1} << (7 * length - 1)) - 1));
            good = size >= 0 && size <= block.End - block.Data;
            sizes.push_back(size);
        }
    }
    const int64_t framesAt = laceAt + static_cast<int64_t>(used);
    int64_t left = block.End - framesAt;
    if (good && lacing == 2) { // fixed: all of one size
        good = left % frames == 0;
        sizes.assign(static_cast<size_t>(frames - 1), left / frames);
    }
    int64_t total = 0;
    for (int64_t size : sizes)
        total += size;
    if (!good || total > left) {
        invalid();
        return;
    }
    sizes.push_back(left - total);
    int64_t offset = framesAt;
    for (int64_t size : sizes) {
        if (Aborted)
            return;
        ScanFrame(*info, offset, size);
        offset += size;
    }
}

// The NAL units of one frame, behind the bytes header stripping took off it when the track has them.
void TMatroskaParser::ScanFrame(TTrackInfo &info, int64_t offset, int64_t size) {
    if (size <= 0 && info.Stripped.empty())
        return;
    auto overrun = [&](int64_t at) {
        if (!info.OverrunNoticed)
            Notice(TScanNotice::TKind::Structure, at, Format(SMkvNalLengthPastFrame, info.Track->Label, at));
        info.OverrunNoticed = true;
    };
    if (info.Codec->Framing() == TUnitFraming::StartCodes) {
        ScanFrameHead(info, offset, size);
        return;
    }
    if (info.Stripped.empty()) {
        TLengthPrefixedSource source(*FStream, offset, offset + size, info.LengthSize);
        ScanLengthPrefixed(*info.Codec, source, info.Track, info.Reason);
        if (source.Overrun())
            overrun(source.OverrunAt());
        return;
    }
    std::vector<TExtent> extents = info.Stripped;
    if (size > 0)
        extents.push_back({offset, size});
    TByteView view(*FStream, extents);
    const int64_t stripped = info.Stripped.front().Length;
    TLengthPrefixedSource source(view, 0, view.Size(), info.LengthSize);
    while (source.Next()) {
        // Units that lie wholly in the stripped bytes are the same units at the same place in every frame:
        // read with the first frame only, however many frames a few bytes of laced blocks give.
        if (info.StrippedRead && source.Start() + source.Length() <= stripped)
            continue;
        if (info.Codec->StatesRatio(source.Header()))
            KeepFromView(info, view, stripped, source.Start(), source.ReadUnit(info.Codec->MaxUnitBytes()));
    }
    info.StrippedRead = true;
    if (source.Overrun())
        overrun(source.OverrunAt() < stripped ? offset : view.FileOffset(source.OverrunAt()));
}

// A frame of a codec whose units lie behind start codes (MPEG video): the unit that states the ratio opens
// the frame that has one, behind the units that lead it, so only that unit is looked at, read from the
// frame's first bytes.
void TMatroskaParser::ScanFrameHead(TTrackInfo &info, int64_t offset, int64_t size) {
    std::vector<TExtent> extents = info.Stripped;
    if (size > 0)
        extents.push_back({offset, size});
    TByteView view(*FStream, extents);
    const int64_t stripped = info.Stripped.empty() ? 0 : info.Stripped.front().Length;
    // Room for the longest unit read and the start code in front of it, so that a longer one shows as cut.
    std::vector<uint8_t> head(static_cast<size_t>(std::min(view.Size(), info.Codec->MaxUnitBytes() + 16)));
    view.Seek(0);
    view.ReadBuffer(head.data(), head.size());
    TAnnexBBytes source(head.data(), 0, static_cast<int64_t>(head.size()), info.Codec);
    bool found = source.Next();
    while (found && info.Codec->LeadsRatioUnit(source.Header()))
        found = source.Next();
    if (found && info.Codec->StatesRatio(source.Header()))
        KeepFromView(info, view, stripped, source.Start(), source.ReadUnit(info.Codec->MaxUnitBytes()));
}
