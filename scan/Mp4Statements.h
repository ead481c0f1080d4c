#pragma once

// What an MP4/MOV file states about a video track's aspect ratio, in the order players believe it: the
// sample entry's pixel aspect ratio box ("pasp"), then the track header's display size ("tkhd") against
// the sample entry's size, and in MOV files the track aperture ("tapt": "clef", "prof").

#include "ContainerStatement.h"

#include <cstdint>
#include <string>
#include <utility>

// pasp: hSpacing and vSpacing, the sample aspect ratio itself (two 32-bit numbers).
class TPaspStatement : public TContainerStatement {
public:
    TPaspStatement(std::string trackLabel, int64_t position, uint32_t hSpacing, uint32_t vSpacing,
                   int64_t entryWidth, int64_t entryHeight);

    TRatio DisplayAspectRatio() const override;
    TRatio SampleAspectRatio() const override { return ReduceRatio(HSpacing, VSpacing); }
    int64_t FileOffset() const override { return Position; }
    using TContainerStatement::Plan;
    TChange Plan(TRatio sar, int64_t width, int64_t height, const std::vector<TPatch> &others) override;

    int64_t Position; // of hSpacing
    uint32_t HSpacing;
    uint32_t VSpacing;

private:
    std::string FTrackLabel;
    int64_t FEntryWidth;
    int64_t FEntryHeight;
};

// A display size in 16.16 fixed point, width then height: the track header's (tkhd), or a MOV track
// aperture's clean or production aperture (clef, prof). Players read the aspect ratio as the display
// size's whole pixels against the sample entry's size; a change writes whole pixels that state the display
// aspect ratio exactly: the height kept where it can be, else the width, else both scaled.
class TDisplaySizeStatement : public TContainerStatement {
public:
    TDisplaySizeStatement(std::string name, std::string trackLabel, int64_t position, uint32_t width,
                          uint32_t height, int64_t entryWidth, int64_t entryHeight);

    TRatio DisplayAspectRatio() const override { return ReduceRatio(Width, Height); }
    TRatio SampleAspectRatio() const override;
    int64_t FileOffset() const override { return Position; }
    using TContainerStatement::Plan;
    TChange Plan(TRatio sar, int64_t width, int64_t height, const std::vector<TPatch> &others) override;
    TRatio Representable(TRatio sar, int64_t width, int64_t height) const override;

    int64_t Position; // of the width
    uint32_t Width;   // 16.16
    uint32_t Height;  // 16.16

private:
    // The display size for sar at the sample entry's size (the given size when the entry names none), in
    // 16.16 with no fraction; 0 x 0 when there is no size. Exact is false when no whole size up to 65535
    // states the display aspect ratio: the size then states the nearest ratio that fits, Wanted the asked.
    struct TSizing {
        int64_t Width = 0;
        int64_t Height = 0;
        bool Exact = true;
        TRatio Wanted;
    };
    TSizing SizeFor(TRatio sar, int64_t width, int64_t height) const;
    // The sample aspect ratio a display size states, in whole pixels as players take it.
    TRatio StatedBy(int64_t displayWidth, int64_t displayHeight) const;

    std::string FName; // "tkhd", "clef", "prof"
    std::string FTrackLabel;
    int64_t FEntryWidth;
    int64_t FEntryHeight;
};
