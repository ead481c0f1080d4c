#pragma once

#include "ContainerStatement.h"

#include <cstdint>
#include <string>

// The display aspect ratio an AVI stream states to players in its video properties chunk ("vprp"):
// dwFrameAspectRatio, width term in the high 16 bits and height term in the low 16 bits, beside the
// frame size it applies to. Players built on libavformat take the aspect ratio from here, not from the
// SPS.
class TVprpStatement : public TContainerStatement {
public:
    TVprpStatement(std::string trackLabel, int64_t position, uint32_t packedRatio, uint32_t frameWidth,
                   uint32_t frameHeight);

    TRatio DisplayAspectRatio() const override { return {X, Y}; }
    // At the frame size the chunk names.
    TRatio SampleAspectRatio() const override { return SarFromDar(X, Y, FrameWidth, FrameHeight); }
    int64_t FileOffset() const override { return Position; }
    using TContainerStatement::Plan;
    TChange Plan(TRatio sar, int64_t width, int64_t height, const std::vector<TPatch> &others) override;
    TRatio Representable(TRatio sar, int64_t width, int64_t height) const override;

    int64_t Position; // file offset of dwFrameAspectRatio
    uint16_t X;
    uint16_t Y;
    uint32_t FrameWidth;
    uint32_t FrameHeight;

private:
    // The display aspect ratio for sar at the chunk's frame size (the given size when it names none): the
    // exact one, or the nearest whose terms fit in 16 bits; 0:0 without a size. Wanted the exact one.
    TRatio RatioFor(TRatio sar, int64_t width, int64_t height, TRatio &wanted) const;

    std::string FTrackLabel;
};
