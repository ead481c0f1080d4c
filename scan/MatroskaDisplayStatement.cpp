#include "MatroskaDisplayStatement.h"

#include "EbmlNumbers.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>

namespace {

constexpr uint8_t DisplayWidthId[] = {0x54, 0xB0};
constexpr uint8_t DisplayHeightId[] = {0x54, 0xBA};
constexpr uint8_t DisplayUnitId[] = {0x54, 0xB2};
constexpr uint64_t MaxTerm = 0x7FFFFFFF;
// DisplayUnit 4: the display size states nothing, players show the pixels as square.
constexpr uint64_t UnknownUnit = 4;
// Display values past this are read as stating nothing: their products with a picture size would not fit.
constexpr uint64_t MaxValue = uint64_t{1} << 40;

// Bytes an unsigned integer needs; at least one.
int64_t BytesFor(uint64_t value) {
    int64_t bytes = 1;
    while (bytes < 8 && (value >> (8 * bytes)) != 0)
        ++bytes;
    return bytes;
}

void PutUnsigned(std::vector<uint8_t> &to, uint64_t value, int64_t size) {
    for (int64_t i = size - 1; i >= 0; --i)
        to.push_back(static_cast<uint8_t>(i < 8 ? value >> (8 * i) : 0));
}

// An unsigned integer element with a one-byte size, its value in size bytes.
void PutElement(std::vector<uint8_t> &to, const uint8_t (&id)[2], uint64_t value, int64_t size) {
    to.insert(to.end(), std::begin(id), std::end(id));
    to.push_back(static_cast<uint8_t>(0x80 | size));
    PutUnsigned(to, value, size);
}

// DisplayWidth, DisplayHeight and, with a unit, DisplayUnit, laid out over a run of length bytes: a Void
// header over what is left (a leading zero byte of the width where one byte is left), or, where they do
// not fit, as short as they can be with Rest below 0. Rest 1: no layout fills the run.
struct TRunLayout {
    std::vector<uint8_t> Bytes;
    int64_t WidthSize = 0, HeightSize = 0, UnitSize = 0;
    int64_t Rest = 0;
};

TRunLayout LayOutRun(std::pair<uint64_t, uint64_t> values, const uint64_t *unit, int64_t length) {
    TRunLayout layout;
    layout.WidthSize = BytesFor(values.first);
    layout.HeightSize = BytesFor(values.second);
    layout.UnitSize = unit != nullptr ? BytesFor(*unit) : 0;
    layout.Rest =
        length - (3 + layout.WidthSize + 3 + layout.HeightSize + (unit != nullptr ? 3 + layout.UnitSize : 0));
    if (layout.Rest == 1 && layout.WidthSize < 8) {
        ++layout.WidthSize;
        layout.Rest = 0;
    }
    if (layout.Rest == 1)
        return layout;
    PutElement(layout.Bytes, DisplayWidthId, values.first, layout.WidthSize);
    PutElement(layout.Bytes, DisplayHeightId, values.second, layout.HeightSize);
    if (unit != nullptr)
        PutElement(layout.Bytes, DisplayUnitId, *unit, layout.UnitSize);
    if (layout.Rest >= 2) {
        const std::vector<uint8_t> header = EbmlVoidHeader(static_cast<uint64_t>(layout.Rest));
        layout.Bytes.insert(layout.Bytes.end(), header.begin(), header.end());
    }
    return layout;
}

std::string SizeText(uint64_t x, uint64_t y, const char *between) {
    return std::to_string(x) + between + std::to_string(y);
}

} // namespace

TMatroskaDisplayStatement::TMatroskaDisplayStatement(std::string trackLabel, TMatroskaVideo video,
                                                     std::shared_ptr<const TMatroskaSegmentHead> head)
    : FTrackLabel(std::move(trackLabel)), FVideo(std::move(video)), FHead(std::move(head)) {}

std::pair<uint64_t, uint64_t> TMatroskaDisplayStatement::Stated() const {
    if (FVideo.Unit == UnknownUnit)
        return {static_cast<uint64_t>(FVideo.Width), static_cast<uint64_t>(FVideo.Height)};
    return {FVideo.DisplayWidth.Present() ? FVideo.DisplayWidth.Value : static_cast<uint64_t>(FVideo.Width),
            FVideo.DisplayHeight.Present() ? FVideo.DisplayHeight.Value
                                           : static_cast<uint64_t>(FVideo.Height)};
}

// Ratios a row can show: terms that fit in 31 bits; anything else states nothing usable.
TRatio TMatroskaDisplayStatement::DisplayAspectRatio() const {
    const auto [width, height] = Stated();
    if (width == 0 || height == 0 || width > MaxTerm || height > MaxTerm)
        return {};
    return ReduceRatio(static_cast<int64_t>(width), static_cast<int64_t>(height));
}

TRatio TMatroskaDisplayStatement::SampleAspectRatio() const {
    return RatioOf(Stated());
}

TRatio TMatroskaDisplayStatement::RatioOf(std::pair<uint64_t, uint64_t> display) const {
    const auto [width, height] = display;
    if (width == 0 || height == 0 || width > MaxValue || height > MaxValue)
        return {};
    const TRatio sar =
        ReduceRatio(static_cast<int64_t>(width) * FVideo.Height, static_cast<int64_t>(height) * FVideo.Width);
    return sar.X > static_cast<int64_t>(MaxTerm) || sar.Y > static_cast<int64_t>(MaxTerm) ? TRatio{} : sar;
}

int64_t TMatroskaDisplayStatement::FileOffset() const {
    if (FVideo.DisplayWidth.Present())
        return FVideo.DisplayWidth.Start;
    if (FVideo.DisplayHeight.Present())
        return FVideo.DisplayHeight.Start;
    return FVideo.VideoStart;
}

// Whole numbers that state the display aspect ratio exactly, or the nearest ratio whose terms fit.
std::pair<uint64_t, uint64_t> TMatroskaDisplayStatement::ValuesFor(TRatio sar) const {
    const int64_t width = FVideo.Width, height = FVideo.Height;
    const TRatio wanted = DarFromSar(sar.X, sar.Y, width, height);
    const TRatio dar = NearestRatio(wanted.X, wanted.Y, static_cast<int64_t>(MaxTerm));
    if (dar.X < 1)
        return Stated();
    if (FVideo.Unit == 3)
        return {static_cast<uint64_t>(dar.X), static_cast<uint64_t>(dar.Y)};
    // Pixels near the pixel size; centimetres or inches near the size stated now.
    std::pair<int64_t, int64_t> reference{width, height};
    if (FVideo.Unit == 1 || FVideo.Unit == 2) {
        const auto [statedWidth, statedHeight] = Stated();
        reference = {static_cast<int64_t>(std::min<uint64_t>(statedWidth, MaxTerm)),
                     static_cast<int64_t>(std::min<uint64_t>(statedHeight, MaxTerm))};
    }
    const auto [displayWidth, displayHeight] = WholeSizeFor(dar, reference, static_cast<int64_t>(MaxTerm));
    if (displayWidth < 1)
        return Stated();
    return {static_cast<uint64_t>(displayWidth), static_cast<uint64_t>(displayHeight)};
}

// What the display size states once written: a ratio of whole values, or nothing usable (0:0).
TRatio TMatroskaDisplayStatement::Representable(TRatio sar, int64_t, int64_t) const {
    if (sar.X < 1 || sar.Y < 1)
        return sar;
    return RatioOf(ValuesFor(sar));
}

std::string TMatroskaDisplayStatement::UnitName() const {
    switch (FVideo.Unit) {
    case 1:
        return "Display size in centimetres";
    case 2:
        return "Display size in inches";
    case 3:
        return "Display aspect ratio";
    default:
        return "Display size";
    }
}

std::string TMatroskaDisplayStatement::ValueText(std::pair<uint64_t, uint64_t> values) const {
    return SizeText(values.first, values.second, FVideo.Unit == 3 ? ":" : "x");
}

TContainerStatement::TChange TMatroskaDisplayStatement::Plan(TRatio sar, int64_t, int64_t,
                                                             const std::vector<TPatch> &others) {
    TChange change;
    if (sar.X < 1 || sar.Y < 1 || FVideo.Width < 1 || FVideo.Height < 1)
        return change;
    const std::pair<uint64_t, uint64_t> values = ValuesFor(sar);
    const TRatio now = RatioOf(Stated());
    const TRatio stated = RatioOf(values);
    // Values that players already read as the ratio stay, whatever their numbers.
    if (values == Stated() || (now.X >= 1 && now.X == stated.X && now.Y == stated.Y))
        return change;
    // A unit that states nothing is written as pixels, with the display elements.
    if (FVideo.Unit != UnknownUnit) {
        change = InPlace(values);
        if (change.Entry.Patches.empty())
            change = Grown(values);
    }
    if (change.Entry.Patches.empty())
        change = Rewritten(values, others);
    if (!change.Entry.Patches.empty()) {
        const TRatio wanted = ReduceRatio(sar.X, sar.Y);
        if (stated.X != wanted.X || stated.Y != wanted.Y) {
            const TRatio dar = DarFromSar(sar.X, sar.Y, FVideo.Width, FVideo.Height);
            const TRatio written =
                ReduceRatio(static_cast<int64_t>(values.first), static_cast<int64_t>(values.second));
            change.Note =
                Format(SContainerRatioNearest, UnitName() + " (DisplayWidth/DisplayHeight)", FTrackLabel,
                       SizeText(dar.X, dar.Y, ":"), ValueText(values), SizeText(written.X, written.Y, ":"));
        }
        return change;
    }
    const TRatio dar = DisplayAspectRatio();
    const std::string reason = FVideo.DisplayWidth.Present() || FVideo.DisplayHeight.Present()
                                   ? Format(SMkvNoRoomElements, ValueText(values))
                                   : std::string(SMkvNoDisplayElements);
    change.Note = Format(SMkvDisplayNoRoom, FTrackLabel, reason, SizeText(dar.X, dar.Y, ":"));
    return change;
}

// Each value in its element's data, leading zero bytes and all; an absent element only when its value is
// the pixel size it counts as.
TContainerStatement::TChange TMatroskaDisplayStatement::InPlace(std::pair<uint64_t, uint64_t> values) {
    TChange change;
    const auto stated = Stated();
    struct TField {
        TEbmlUnsigned *Element;
        uint64_t Now, Wanted;
    };
    TField fields[] = {{&FVideo.DisplayWidth, stated.first, values.first},
                       {&FVideo.DisplayHeight, stated.second, values.second}};
    const std::string what = Format(SWhatContainerField, "DisplayWidth/DisplayHeight", FTrackLabel);
    std::vector<TPatch> patches;
    for (const TField &field : fields) {
        if (field.Now == field.Wanted)
            continue;
        const TEbmlUnsigned &element = *field.Element;
        if (!element.Present() || element.Size < BytesFor(field.Wanted) || element.Size > 8)
            return change;
        TPatch patch{element.Data, {}, {}, what};
        PutUnsigned(patch.Old, element.Value, element.Size);
        PutUnsigned(patch.New, field.Wanted, element.Size);
        patches.push_back(std::move(patch));
    }
    change.Entry.Kind = TPlanEntry::TKind::Container;
    change.Entry.Description = Format(SContainerFieldChanged, UnitName() + " (DisplayWidth/DisplayHeight)",
                                      FTrackLabel, ValueText(stated), ValueText(values));
    change.Entry.Patches = std::move(patches);
    change.Entry.Written = [this, values] {
        FVideo.DisplayWidth.Value = values.first;
        FVideo.DisplayHeight.Value = values.second;
    };
    return change;
}

// The run of display elements and Voids rewritten as DisplayWidth, DisplayHeight, the DisplayUnit it
// held, and a Void over the rest; only the run's first bytes change.
TContainerStatement::TChange TMatroskaDisplayStatement::Grown(std::pair<uint64_t, uint64_t> values) {
    TChange change;
    if (FVideo.RoomStart < 0)
        return change;
    const bool unitInRun = FVideo.DisplayUnit.Present() && FVideo.DisplayUnit.Start >= FVideo.RoomStart &&
                           FVideo.DisplayUnit.Start < FVideo.RoomEnd;
    const TRunLayout layout =
        LayOutRun(values, unitInRun ? &FVideo.DisplayUnit.Value : nullptr, FVideo.RoomEnd - FVideo.RoomStart);
    if (layout.Rest < 0 || layout.Rest == 1 || layout.Bytes.size() > FVideo.RoomBytes.size())
        return change;
    const std::vector<uint8_t> &written = layout.Bytes;
    const int64_t widthAt = FVideo.RoomStart;
    const int64_t heightAt = widthAt + 3 + layout.WidthSize;
    const std::vector<uint8_t> old(FVideo.RoomBytes.begin(),
                                   FVideo.RoomBytes.begin() + static_cast<ptrdiff_t>(written.size()));
    change.Entry.Kind = TPlanEntry::TKind::Container;
    change.Entry.Description = Format(SContainerFieldChanged, UnitName() + " (DisplayWidth/DisplayHeight)",
                                      FTrackLabel, ValueText(Stated()), ValueText(values));
    change.Entry.Patches.push_back({FVideo.RoomStart, old, written,
                                    Format(SWhatContainerField, "DisplayWidth/DisplayHeight", FTrackLabel)});
    change.Entry.Written = [this, values, layout, widthAt, heightAt, unitInRun] {
        FVideo.DisplayWidth = {widthAt, widthAt + 3, layout.WidthSize, values.first};
        FVideo.DisplayHeight = {heightAt, heightAt + 3, layout.HeightSize, values.second};
        if (unitInRun) {
            const int64_t unitAt = heightAt + 3 + layout.HeightSize;
            FVideo.DisplayUnit = {unitAt, unitAt + 3, layout.UnitSize, FVideo.DisplayUnit.Value};
        }
        std::copy(layout.Bytes.begin(), layout.Bytes.end(), FVideo.RoomBytes.begin());
        if (layout.Rest < 2)
            FVideo.RoomStart = FVideo.RoomEnd = -1; // no Void left to grow into
    };
    return change;
}

// The display elements written anew where they lie, or behind the Video's other elements where there are
// none: the run as long as it was when the values fit it (a leading zero byte or a Void taking up the
// rest), else longer, the bytes taken from the Void ahead of the Tracks.
TContainerStatement::TChange TMatroskaDisplayStatement::Rewritten(std::pair<uint64_t, uint64_t> values,
                                                                  const std::vector<TPatch> &others) {
    TChange change;
    if (FVideo.RunStart < 0)
        return change;
    const int64_t runLength = FVideo.RunEnd - FVideo.RunStart;
    const bool unitInRun = FVideo.DisplayUnit.Present() && FVideo.DisplayUnit.Start >= FVideo.RunStart &&
                           FVideo.DisplayUnit.Start < FVideo.RunEnd;
    if (FVideo.Unit == UnknownUnit && !unitInRun)
        return change;
    const uint64_t unit = FVideo.Unit == UnknownUnit ? 0 : FVideo.DisplayUnit.Value;
    const TRunLayout layout = LayOutRun(values, unitInRun ? &unit : nullptr, runLength);
    if (layout.Rest == 1)
        return change;
    const std::string what = Format(SWhatContainerField, "DisplayWidth/DisplayHeight", FTrackLabel);
    if (layout.Rest >= 0) {
        // Fits the run: the Void over what is left keeps its data as it was.
        if (static_cast<int64_t>(FVideo.RunBytes.size()) != runLength)
            return change;
        std::vector<uint8_t> run = layout.Bytes;
        run.insert(run.end(), FVideo.RunBytes.begin() + static_cast<ptrdiff_t>(run.size()),
                   FVideo.RunBytes.end());
        change.Entry.Patches.push_back({FVideo.RunStart, FVideo.RunBytes, run, what});
    } else if (FHead) {
        change.Entry.Patches = FHead->Splice(FVideo.RunStart, FVideo.RunEnd, layout.Bytes, what, others);
        change.TakesFrom = FHead->VoidStart;
        change.TakesTo = FHead->TracksEnd;
    }
    if (change.Entry.Patches.empty())
        return change;
    change.Entry.Kind = TPlanEntry::TKind::Container;
    change.Entry.Description = Format(SContainerFieldChanged, UnitName() + " (DisplayWidth/DisplayHeight)",
                                      FTrackLabel, ValueText(Stated()), ValueText(values));
    change.Moves = true;
    // What the file states once written; where its elements lie is for a new scan to find.
    change.Entry.Written = [this, values, unit] {
        for (auto [element, value] : {std::pair{&FVideo.DisplayWidth, values.first},
                                      std::pair{&FVideo.DisplayHeight, values.second}}) {
            element->Start = std::max<int64_t>(element->Start, FVideo.RunStart);
            element->Value = value;
        }
        FVideo.Unit = unit;
    };
    return change;
}
