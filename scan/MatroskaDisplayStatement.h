#pragma once

// What a Matroska file states about a video track's aspect ratio: the Video element's DisplayWidth and
// DisplayHeight, in the unit DisplayUnit names (0 pixels, 1 centimetres, 2 inches, 3 an aspect ratio;
// 4, "unknown", leaves the ratio to the SPS and states nothing: players show square pixels where the
// bitstream states no ratio, and a change writes the display size in pixels). Players built on libavformat
// read the sample aspect ratio as the display size against the pixel size; a missing element counts as the
// pixel size.

#include "ContainerStatement.h"
#include "MatroskaSegmentHead.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// An unsigned integer element as the scan found it.
struct TEbmlUnsigned {
    int64_t Start = -1; // of its ID; -1 when the element is absent
    int64_t Data = 0;   // of its value
    int64_t Size = 0;   // bytes of its value, 0 .. 8
    uint64_t Value = 0;

    bool Present() const { return Start >= 0; }
};

// What the Video element of a track holds, for its statement.
struct TMatroskaVideo {
    int64_t VideoStart = 0;
    // The pixel size without the cropped edges: what the display size stands for.
    int64_t Width = 0;
    int64_t Height = 0;
    uint64_t Unit = 0;
    TEbmlUnsigned DisplayWidth, DisplayHeight, DisplayUnit;
    // Room to grow into: a run of the Video element's children that holds both display elements (those
    // there are) and ends with a Void element, nothing but display elements, DisplayUnit and Voids in it.
    // A change that does not fit rewrites the run as DisplayWidth, DisplayHeight (and DisplayUnit when it
    // lies in the run) followed by a smaller Void: no byte outside the run moves. RoomStart -1: none.
    int64_t RoomStart = -1;
    int64_t RoomEnd = -1;
    std::vector<uint8_t> RoomBytes; // the run's first bytes as scanned, at most MaxRoomBytes
    static constexpr size_t MaxRoomBytes = 64;
    // Where a change that finds no room in the Video rewrites the display elements: from the first to the
    // last of them, nothing else between (DisplayUnit may be); an empty run at the Video's end where there
    // are none. RunStart -1: they lie apart, or one of them is there twice.
    int64_t RunStart = -1;
    int64_t RunEnd = -1;
    std::vector<uint8_t> RunBytes; // as scanned, when the run is no longer than MaxRoomBytes
};

class TMatroskaDisplayStatement : public TContainerStatement {
public:
    // head: the Segment's head, whose Void ahead of the Tracks may give the bytes the Video has no room for.
    TMatroskaDisplayStatement(std::string trackLabel, TMatroskaVideo video,
                              std::shared_ptr<const TMatroskaSegmentHead> head = nullptr);

    TRatio DisplayAspectRatio() const override;
    TRatio SampleAspectRatio() const override;
    int64_t FileOffset() const override;
    using TContainerStatement::Plan;
    TChange Plan(TRatio sar, int64_t width, int64_t height, const std::vector<TPatch> &others) override;
    TRatio Representable(TRatio sar, int64_t width, int64_t height) const override;

    const TMatroskaVideo &Video() const { return FVideo; }

private:
    // The display size as stated, a missing element counting as the pixel size.
    std::pair<uint64_t, uint64_t> Stated() const;
    // The values that state sar in the element's unit, whole numbers whose ratio is the display aspect
    // ratio exactly (players compute the sample aspect ratio from them): in pixels near the pixel size, in
    // centimetres or inches near the size stated now (the height kept where the ratio allows, else the
    // width, else both scaled); as an aspect ratio the reduced display aspect ratio. Where its terms pass
    // 31 bits, the nearest ratio that fits.
    std::pair<uint64_t, uint64_t> ValuesFor(TRatio sar) const;
    // The sample aspect ratio a display size states at the pixel size; 0:0 when it states nothing usable.
    TRatio RatioOf(std::pair<uint64_t, uint64_t> display) const;
    std::string UnitName() const;
    std::string ValueText(std::pair<uint64_t, uint64_t> values) const;
    TChange InPlace(std::pair<uint64_t, uint64_t> values);
    TChange Grown(std::pair<uint64_t, uint64_t> values);
    TChange Rewritten(std::pair<uint64_t, uint64_t> values, const std::vector<TPatch> &others);

    std::string FTrackLabel;
    TMatroskaVideo FVideo;
    std::shared_ptr<const TMatroskaSegmentHead> FHead;
};
