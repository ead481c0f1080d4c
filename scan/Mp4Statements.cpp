#include "Mp4Statements.h"

#include "base/Exceptions.h"
#include "base/Messages.h"

namespace {

std::vector<uint8_t> BigEndian(uint32_t first, uint32_t second) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : {first, second})
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(value >> shift));
    return bytes;
}

// A 16.16 number as the program shows it: whole, or with the decimals it needs.
std::string FixedText(uint32_t value) {
    if ((value & 0xFFFF) == 0)
        return std::to_string(value >> 16);
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(value) / 65536.0);
    return text;
}

constexpr int64_t FixedOne = 65536;
// The whole part of a 16.16 number: the most pixels a display size can state.
constexpr int64_t MaxWholePixels = 65535;

} // namespace

// ---- pasp ----

TPaspStatement::TPaspStatement(std::string trackLabel, int64_t position, uint32_t hSpacing, uint32_t vSpacing,
                               int64_t entryWidth, int64_t entryHeight)
    : Position(position), HSpacing(hSpacing), VSpacing(vSpacing), FTrackLabel(std::move(trackLabel)),
      FEntryWidth(entryWidth), FEntryHeight(entryHeight) {}

TRatio TPaspStatement::DisplayAspectRatio() const {
    return DarFromSar(HSpacing, VSpacing, FEntryWidth, FEntryHeight);
}

TContainerStatement::TChange TPaspStatement::Plan(TRatio sar, int64_t, int64_t, const std::vector<TPatch> &) {
    TChange change;
    const TRatio now = SampleAspectRatio();
    if (now.X == sar.X && now.Y == sar.Y)
        return change;
    change.Entry.Kind = TPlanEntry::TKind::Container;
    change.Entry.Description = Format(SContainerFieldChanged, "Sample aspect ratio (pasp)", FTrackLabel,
                                      RatioText(HSpacing, VSpacing), RatioText(sar.X, sar.Y));
    change.Entry.Patches.push_back({Position, BigEndian(HSpacing, VSpacing),
                                    BigEndian(static_cast<uint32_t>(sar.X), static_cast<uint32_t>(sar.Y)),
                                    Format(SWhatContainerField, "pasp", FTrackLabel)});
    change.Entry.Written = [this, sar] {
        HSpacing = static_cast<uint32_t>(sar.X);
        VSpacing = static_cast<uint32_t>(sar.Y);
    };
    return change;
}

// ---- tkhd, clef, prof ----

TDisplaySizeStatement::TDisplaySizeStatement(std::string name, std::string trackLabel, int64_t position,
                                             uint32_t width, uint32_t height, int64_t entryWidth,
                                             int64_t entryHeight)
    : Position(position), Width(width), Height(height), FName(std::move(name)),
      FTrackLabel(std::move(trackLabel)), FEntryWidth(entryWidth), FEntryHeight(entryHeight) {}

TRatio TDisplaySizeStatement::StatedBy(int64_t displayWidth, int64_t displayHeight) const {
    return ReduceRatio((displayWidth >> 16) * FEntryHeight, (displayHeight >> 16) * FEntryWidth);
}

// The display size against the sample entry's size, in whole pixels as players take it.
TRatio TDisplaySizeStatement::SampleAspectRatio() const {
    return StatedBy(Width, Height);
}

TDisplaySizeStatement::TSizing TDisplaySizeStatement::SizeFor(TRatio sar, int64_t width,
                                                              int64_t height) const {
    const int64_t codedWidth = FEntryWidth > 0 ? FEntryWidth : width;
    const int64_t codedHeight = FEntryHeight > 0 ? FEntryHeight : height;
    TSizing sizing;
    if (codedWidth <= 0 || codedHeight <= 0 || sar.X <= 0 || sar.Y <= 0)
        return sizing;
    sizing.Wanted = DarFromSar(sar.X, sar.Y, codedWidth, codedHeight);
    const TRatio stated = NearestRatio(sizing.Wanted.X, sizing.Wanted.Y, MaxWholePixels);
    const auto [displayWidth, displayHeight] =
        WholeSizeFor(stated, {codedWidth, codedHeight}, MaxWholePixels);
    sizing.Width = displayWidth * FixedOne;
    sizing.Height = displayHeight * FixedOne;
    sizing.Exact = stated.X == sizing.Wanted.X && stated.Y == sizing.Wanted.Y;
    return sizing;
}

TRatio TDisplaySizeStatement::Representable(TRatio sar, int64_t width, int64_t height) const {
    const TSizing sizing = SizeFor(sar, width, height);
    return sizing.Width > 0 && FEntryWidth > 0 ? StatedBy(sizing.Width, sizing.Height)
                                               : ReduceRatio(sar.X, sar.Y);
}

// A size that players already read as the ratio asked for stays, whatever its numbers.
TContainerStatement::TChange TDisplaySizeStatement::Plan(TRatio sar, int64_t width, int64_t height,
                                                         const std::vector<TPatch> &) {
    TChange change;
    const TSizing sizing = SizeFor(sar, width, height);
    if (sizing.Width <= 0)
        return change;
    if (sizing.Width == Width && sizing.Height == Height)
        return change;
    if (FEntryWidth > 0 && FEntryHeight > 0) {
        const TRatio now = StatedBy(Width, Height);
        const TRatio wanted = StatedBy(sizing.Width, sizing.Height);
        if (now.X == wanted.X && now.Y == wanted.Y)
            return change;
    }
    const auto w = static_cast<uint32_t>(sizing.Width);
    const auto h = static_cast<uint32_t>(sizing.Height);
    change.Entry.Kind = TPlanEntry::TKind::Container;
    change.Entry.Description =
        Format(SContainerFieldChanged, "Display size (" + FName + ")", FTrackLabel,
               FixedText(Width) + "x" + FixedText(Height), FixedText(w) + "x" + FixedText(h));
    change.Entry.Patches.push_back({Position, BigEndian(Width, Height), BigEndian(w, h),
                                    Format(SWhatContainerField, FName, FTrackLabel)});
    change.Entry.Written = [this, w, h] {
        Width = w;
        Height = h;
    };
    if (!sizing.Exact)
        change.Note = Format(SContainerRatioNearest, "Display size (" + FName + ")", FTrackLabel,
                             RatioText(sizing.Wanted), FixedText(w) + "x" + FixedText(h),
                             RatioText(ReduceRatio(sizing.Width, sizing.Height)));
    return change;
}
