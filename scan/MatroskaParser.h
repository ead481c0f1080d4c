#pragma once

#include "Parser.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

// Matroska files (.mkv, .mk3d): walks the EBML elements in file order without recursion (the SeekHead is
// not needed for that), lists the SPS of every H.264 track's codec private data (an avcC record) and of
// its frames (SimpleBlock and BlockGroup/Block, laced or not), and hands over the track's display size.
// In the frames only element headers, block headers and the NAL units' length prefixes are read. Segments
// and Clusters of unknown size, as live recordings leave them, end where an element that can not belong to
// them begins. The CRC-32 elements of the Tracks and of every Cluster become checksummed regions of the
// session, so that a save brings them up to date.
class TMatroskaParser : public TParser {
public:
    explicit TMatroskaParser(TScanSession &session);
    ~TMatroskaParser() override;

    static constexpr size_t MaxTracks = 256;

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
    // Walks the elements inside outer depth-first: enter says whether to read an element's children,
    // leave runs when the walk is done with an element whose children it read.
    void WalkElements(const TElement &outer,
                      const std::function<bool(TElement &element, const TElement &parent)> &enter,
                      const std::function<void(const TElement &element)> &leave);

    bool Enter(TElement &element, const TElement &parent);
    void Leave(const TElement &element);
    void RecordChecksum(const TElement &crc, const TElement &parent);
    void FinishVideo(TTrackInfo &info);
    void FinishTrack(TTrackInfo &info);
    void ReadConfiguration(TTrackInfo &info);
    void ScanBlock(const TElement &block);
    void ScanFrame(TTrackInfo &info, int64_t offset, int64_t size);
    void KeepFromView(const TTrackInfo &info, const TByteView &view, int64_t stripped, int64_t start,
                      TNalUnitBytes unit);
    TTrackInfo *TrackByNumber(uint64_t number);

    bool ReadUnsigned(const TElement &element, uint64_t &value);
    std::string ReadString(const TElement &element, size_t limit);
    void Read(int64_t offset, uint8_t *bytes, size_t count);

    TStream *FStream = nullptr;
    int64_t FFileSize = 0;
    std::vector<std::unique_ptr<TTrackInfo>> FTracks;
    TTrackInfo *FCurrent = nullptr;  // the track entry being read
    size_t FOpenChecksum = SIZE_MAX; // index in the session's regions of the checksum of the open Cluster
    std::set<uint64_t> FUnknownTracks;
};
