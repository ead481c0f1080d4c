#include "VprpStatement.h"

#include "base/Exceptions.h"
#include "base/Messages.h"

namespace {

std::vector<uint8_t> PackedBytes(int64_t x, int64_t y) {
    const uint32_t packed = (static_cast<uint32_t>(x) << 16) | static_cast<uint32_t>(y);
    return {static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
            static_cast<uint8_t>(packed >> 16), static_cast<uint8_t>(packed >> 24)};
}

// The chunk's frame aspect ratio has 16-bit terms.
constexpr int64_t MaxFrameRatioTerm = 65535;

} // namespace

TVprpStatement::TVprpStatement(std::string trackLabel, int64_t position, uint32_t packedRatio,
                               uint32_t frameWidth, uint32_t frameHeight)
    : Position(position), X(static_cast<uint16_t>(packedRatio >> 16)), Y(static_cast<uint16_t>(packedRatio)),
      FrameWidth(frameWidth), FrameHeight(frameHeight), FTrackLabel(std::move(trackLabel)) {}

// The ratio at the frame size the chunk names (the SPS's picture size when it names none); where its
// terms pass 16 bits, the nearest ratio that fits, and a note that says so.
TRatio TVprpStatement::RatioFor(TRatio sar, int64_t width, int64_t height, TRatio &wanted) const {
    wanted =
        DarFromSar(sar.X, sar.Y, FrameWidth > 0 ? FrameWidth : width, FrameHeight > 0 ? FrameHeight : height);
    return NearestRatio(wanted.X, wanted.Y, MaxFrameRatioTerm);
}

TRatio TVprpStatement::Representable(TRatio sar, int64_t width, int64_t height) const {
    TRatio wanted;
    const TRatio dar = RatioFor(sar, width, height, wanted);
    if (dar.X < 1 || (dar.X == wanted.X && dar.Y == wanted.Y))
        return ReduceRatio(sar.X, sar.Y);
    return SarFromDar(dar.X, dar.Y, FrameWidth > 0 ? FrameWidth : width,
                      FrameHeight > 0 ? FrameHeight : height);
}

TContainerStatement::TChange TVprpStatement::Plan(TRatio sar, int64_t width, int64_t height,
                                                  const std::vector<TPatch> &) {
    TChange change;
    TRatio wanted;
    const TRatio dar = RatioFor(sar, width, height, wanted);
    if (dar.X < 1 || (dar.X == X && dar.Y == Y))
        return change;
    change.Entry.Kind = TPlanEntry::TKind::Container;
    change.Entry.Description =
        Format(SContainerAspectChanged, FTrackLabel, RatioText(X, Y), RatioText(dar.X, dar.Y));
    change.Entry.Patches.push_back(
        {Position, PackedBytes(X, Y), PackedBytes(dar.X, dar.Y), Format(SWhatContainerRatio, FTrackLabel)});
    change.Entry.Written = [this, dar] {
        X = static_cast<uint16_t>(dar.X);
        Y = static_cast<uint16_t>(dar.Y);
    };
    if (dar.X != wanted.X || dar.Y != wanted.Y)
        change.Note = Format(SContainerRatioNearest, "Container aspect ratio (vprp)", FTrackLabel,
                             RatioText(wanted.X, wanted.Y), RatioText(dar.X, dar.Y), RatioText(dar.X, dar.Y));
    return change;
}
