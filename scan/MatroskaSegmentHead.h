#pragma once

// The head of a Matroska Segment, from the Void ahead of its Tracks to the Tracks' end, as the scan found
// it: room for a change that needs more bytes inside a track entry than its elements hold. ffmpeg leaves a
// Void behind the SeekHead and none inside the Video element. The Void gives up the bytes; the elements
// between it and the change (Info, Tags, the Tracks' first bytes) move towards the Segment's start by as
// many, and the SeekHead's positions of them follow. Nothing behind the change moves, and the file keeps
// its length.

#include "PatchPlan.h"

#include <cstdint>
#include <string>
#include <vector>

struct TMatroskaSegmentHead {
    int64_t SegmentData = 0; // where the SeekHead's positions count from
    // The last Void ahead of the Tracks with nothing between them but elements that may move (neither a
    // Cluster nor a SeekHead); -1 for none.
    int64_t VoidStart = -1;
    int64_t VoidEnd = -1;
    int64_t TracksEnd = -1;
    // The file's bytes from the Void to the Tracks' end as scanned; empty when they are more than MaxBytes.
    std::vector<uint8_t> Bytes;
    static constexpr int64_t MaxBytes = 1 << 20;
    // The positions of every SeekHead entry of the Segment (every SeekHead lies outside the bytes above).
    struct TSeekPosition {
        int64_t ValueOffset;
        int64_t Size;
        uint64_t Value;
    };
    std::vector<TSeekPosition> SeekPositions;

    // The patches that put replacement in place of the bytes [from, to) of the Tracks, replacement being
    // longer: the master elements around the range (Tracks, TrackEntry, Video) grow by the difference and
    // their CRC-32 come up to date, what lies between the Void and the range moves, the Void shrinks, and
    // the SeekHead's positions follow. The others (the save's other patches, an SPS in a CodecPrivate, say)
    // that lie among the bytes from the Void to the Tracks' end are written into them first, and move with
    // them. No patches when that can not be done in place (no Void, too small a Void, a size field too short
    // for the new size, another patch across the range, ...).
    std::vector<TPatch> Splice(int64_t from, int64_t to, const std::vector<uint8_t> &replacement,
                               const std::string &what, const std::vector<TPatch> &others) const;

private:
    bool UpdateChecksums(size_t at, size_t end, size_t first, size_t last, size_t shift,
                         std::vector<uint8_t> &moved, int depth) const;
};
