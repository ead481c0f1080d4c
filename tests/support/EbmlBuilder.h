#pragma once

// Test-only builder of Matroska files element by element: EBML elements with sizes of any length (and
// unknown sizes), and whole small files with H.264 tracks whose blocks hold the NAL units a test gives,
// laced or not, with CRC-32 elements, header stripping and Voids where a test wants them.

#include "RiffBuilder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The ID's bytes as they stand in the file (length marker kept), e.g. 0x1A45DFA3.
ByteVector EbmlId(uint32_t id);
// A size as a variable-length number of length bytes (0: as few as it takes).
ByteVector EbmlSize(uint64_t size, int length = 0);
// The size "unknown": all value bits set, in length bytes.
ByteVector EbmlUnknownSize(int length = 1);
// An element: ID, size of its data (in sizeLength bytes, 0: as few as it takes), data.
ByteVector Ebml(uint32_t id, const ByteVector &data, int sizeLength = 0);
// An unsigned integer element, its value in size bytes (0: as few as it takes, leading zeros otherwise).
ByteVector EbmlUnsigned(uint32_t id, uint64_t value, int size = 0);
ByteVector EbmlString(uint32_t id, const std::string &text);
// A Void element of exactly count bytes (at least 2).
ByteVector EbmlVoid(size_t count);
// An element of unknown size: ID, the size "unknown", data.
ByteVector EbmlUnknown(uint32_t id, const ByteVector &data);
// A master element whose data begins with a CRC-32 element over the rest of it.
ByteVector EbmlWithCrc(uint32_t id, const ByteVector &children, int sizeLength = 0);

// zlib's CRC-32, computed bit by bit as the format documents describe it (independent of the program's).
uint32_t ReferenceCrc32(const uint8_t *bytes, size_t count);

// ---- Reading back, independently of the program's reader ----

struct EbmlHead {
    uint32_t id = 0;
    size_t data = 0; // behind the size
    size_t end = 0;  // never past limit; limit for an unknown size
    bool unknown = false;
};
// One element header at `at`, which must end by limit; false where none can be read.
bool ReadEbmlHead(const ByteVector &bytes, size_t at, size_t limit, EbmlHead &head);

// A CRC-32 element that opens a master element at any level (the Segment, a Cluster, a TrackEntry, a
// Video, a BlockGroup ...): where its value lies, and whether it holds the CRC-32 of the rest of that
// element's data. In file order, an outer element's before those inside it.
struct MatroskaCrc {
    size_t offset = 0;
    bool valid = false;
};
std::vector<MatroskaCrc> MatroskaCrcs(const ByteVector &bytes);

struct MkvBlock {
    // The frames of the block, each a list of NAL units (length-prefixed by the track's length size).
    std::vector<std::vector<ByteVector>> frames;
    int lacing = 0;     // 0 none (one frame), 1 Xiph, 2 fixed, 3 EBML
    bool simple = true; // SimpleBlock; false: BlockGroup/Block
    uint64_t track = 0; // 0: the first track's number
};

struct MkvTrack {
    uint64_t number = 1;
    std::string codecId = "V_MPEG4/ISO/AVC";
    uint64_t type = 1;
    std::vector<ByteVector> sps; // in the CodecPrivate's avcC
    int lengthSize = 4;
    bool codecPrivate = true;
    // The codec private data's bytes, in place of the avcC of the SPS above, when given.
    std::optional<ByteVector> privateData;
    uint64_t pixelWidth = 720, pixelHeight = 576;
    uint64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    std::optional<uint64_t> displayWidth, displayHeight, displayUnit;
    int displaySize = 0;         // bytes of each display value (0: as few as they take)
    size_t voidAfterDisplay = 0; // a Void of that many bytes right behind the display elements (0: none)
    // Header stripping of the frames (ContentCompAlgo 3): these bytes are taken off the front of every
    // frame when the file is built.
    ByteVector stripped;
    std::optional<uint64_t> compression; // another ContentCompAlgo (0 zlib, ...)
    bool encrypted = false;
};

struct MkvFile {
    std::string docType = "matroska";
    std::vector<MkvTrack> tracks;
    // The blocks of each cluster.
    std::vector<std::vector<MkvBlock>> clusters;
    bool crc = false;          // CRC-32 elements in Tracks and every Cluster, as ffmpeg writes them
    bool unknownSizes = false; // Segment and Clusters of unknown size, as a live recording leaves them
    bool tracksAfterClusters = false;
    bool crcInside = false;   // CRC-32 elements also in every TrackEntry, Video and BlockGroup
    bool crcSegment = false;  // and one as the Segment's first child, over all of it
    bool seekHead = false;    // a SeekHead whose one entry leads to the Tracks, the Segment's first element
    bool seekHeadCrc = false; // with a CRC-32 of its own
    size_t voidAfterSeekHead =
        0; // a Void of that many bytes behind the SeekHead, which then leads to the Info too
};

// The frame bytes of a block's frame: the NAL units behind their lengths.
ByteVector MkvFrame(const std::vector<ByteVector> &units, int lengthSize);
// The data of a SimpleBlock or Block (track number, timecode, flags, lace header, frames).
ByteVector MkvBlockData(const MkvBlock &block, uint64_t track, int lengthSize, const ByteVector &stripped);
ByteVector MatroskaFile(const MkvFile &file);
