#pragma once

#include "MatroskaSegmentHead.h"
#include "Parser.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

// Matroska files (.mkv, .mk3d): walks the EBML elements in file order without recursion, the track
// entries first (through the SeekHead, as players find them, where they lie behind the Clusters), lists the
// SPS of every H.264 track's codec private data (an avcC record) and of its frames (SimpleBlock and
// BlockGroup/Block, laced or not), and hands over the track's display size. In the frames only element
// headers, block headers and the NAL units' length prefixes are read. Segments and Clusters of unknown size,
// as live recordings leave them, end where an element that can not belong to them begins. The CRC-32 element
// that opens any element the walk enters (Tracks, TrackEntry, Video, Cluster, BlockGroup, the Segment itself
// ...) becomes a checksummed region of the session, so that a save brings it up to date; such regions nest.
class TMatroskaParser : public TParser {
public:
    explicit TMatroskaParser(TScanSession &session);
    ~TMatroskaParser() override;

    static constexpr size_t MaxTracks = 256;
    // A cluster entered is asked of the disk whole, at most MaxClusterAsked of it, with ClusterLookAhead
    // bytes behind it.
    static constexpr int64_t MaxClusterAsked = int64_t{64} << 20;
    static constexpr int64_t ClusterLookAhead = int64_t{4} << 20;

protected:
    void Walk(TStream &stream) override;

private:
    struct TElement {
        uint32_t Id = 0;
        int64_t Start = 0; // its ID's first byte
        int64_t Data = 0;  // behind its size
        int64_t End = 0;   // as walked: never past the element around it or the file
        bool Unknown = false;
    };
    struct TTrackInfo;
    struct TEncoding;
    struct TVideoChild;

    enum class TRead { Element, Illegal, Unknown };
    // The element header at offset, which must end by end. Sizes past end are cut to it with a notice
    // (around is the ID of the element that holds it).
    TRead ReadElement(int64_t offset, int64_t end, uint32_t around, TElement &element);
    // The same without notices; size as the header says it.
    TRead ReadHeader(int64_t offset, int64_t end, TElement &element, uint64_t &size);
    // Walks the elements inside outer depth-first: enter says whether to read an element's children,
    // leave runs when the walk is done with an element whose children it read.
    void WalkElements(const TElement &outer,
                      const std::function<bool(TElement &element, const TElement &parent)> &enter,
                      const std::function<void(const TElement &element)> &leave);

    bool Enter(TElement &element, const TElement &parent);
    void Leave(const TElement &element);
    void RecordChecksum(const TElement &crc, const TElement &parent);
    void ReadTracksFirst(const TElement &segment);
    int64_t FindTracks(const TElement &segment);
    int64_t SeekTracks(const TElement &seekHead, const TElement &segment);
    void FindRoomAhead(const TElement &segment, const TElement &tracks);
    void TrustRoomAhead();
    // A notice of the structure that breaks the walk of the Segment.
    void Broken(TScanNotice::TKind kind, int64_t offset, const std::string &text);
    void GuardUnreadFrames();
    void FinishVideo(TTrackInfo &info);
    void FinishTrack(TTrackInfo &info);
    const TCodecEntry *CodecOfVfwPrivate(TTrackInfo &info);
    bool ReadEncodings(TTrackInfo &info);
    void ReadConfiguration(TTrackInfo &info);
    void ScanBlock(const TElement &block);
    void ScanFrame(TTrackInfo &info, int64_t offset, int64_t size);
    void ScanFrameHead(TTrackInfo &info, int64_t offset, int64_t size);
    void KeepFromView(const TTrackInfo &info, const TByteView &view, int64_t stripped, int64_t start,
                      TNalUnitBytes unit);
    TTrackInfo *TrackByNumber(uint64_t number);

    bool ReadUnsigned(const TElement &element, uint64_t &value);
    std::string ReadString(const TElement &element, size_t limit);
    void Read(int64_t offset, uint8_t *bytes, size_t count);

    TStream *FStream = nullptr;
    int64_t FFileSize = 0;
    std::vector<std::unique_ptr<TTrackInfo>> FTracks;
    TTrackInfo *FCurrent = nullptr; // the track entry being read
    // The checksums of the elements the walk is inside: the element's first byte, the region's index in
    // the session.
    struct TOpenChecksum {
        int64_t Element;
        size_t Region;
    };
    std::vector<TOpenChecksum> FOpenChecksums;
    std::set<uint64_t> FUnknownTracks; // numbers of blocks no track entry described, in this Segment
    int64_t FTracksRead = -1;          // the Tracks element read before the rest of the Segment
    std::string FTracksOverrun;        // why nothing is changed: an element of the walk claims their bytes
    // The head of the Segment being walked, shared by the display statements of its tracks.
    std::shared_ptr<TMatroskaSegmentHead> FHead;
    bool FStructureBroken = false; // the walk of the Segment met elements it could not read as they were
};
