#include "ARInfo.h"

#include "ContainerStatement.h"
#include "ScanSession.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>
#include <stdexcept>

// ---- TARInfo ----

// A container states a ratio, not a code: its row counts as custom.
uint8_t TARInfo::CurrentAspectRatioIdc() const {
    if (IsContainerRow())
        return ExtendedSarIdc;
    return SequenceParameterSet ? SequenceParameterSet->AspectRatioIdc() : 0;
}

int32_t TARInfo::CurrentSarWidth() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->StatedSampleAspectRatio().X);
    return SequenceParameterSet ? SequenceParameterSet->SarWidth() : 0;
}

int32_t TARInfo::CurrentSarHeight() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->StatedSampleAspectRatio().Y);
    return SequenceParameterSet ? SequenceParameterSet->SarHeight() : 0;
}

int32_t TARInfo::ResolvedNewSarWidth() const {
    if (NewAspectRatioIdc == 0)
        return 0;
    return NewAspectRatioIdc == ExtendedSarIdc ? NewSarWidth : PredefinedSarWidth(NewAspectRatioIdc);
}

int32_t TARInfo::ResolvedNewSarHeight() const {
    if (NewAspectRatioIdc == 0)
        return 0;
    return NewAspectRatioIdc == ExtendedSarIdc ? NewSarHeight : PredefinedSarHeight(NewAspectRatioIdc);
}

bool TARInfo::IsChanged() const {
    if (NewAspectRatioIdc == 0)
        return false;
    // A container takes any ratio; it changes when the ratio does.
    if (IsContainerRow()) {
        const TRatio now = ReduceRatio(CurrentSarWidth(), CurrentSarHeight());
        const TRatio wanted = ReduceRatio(ResolvedNewSarWidth(), ResolvedNewSarHeight());
        return wanted.X > 0 && wanted.Y > 0 && (wanted.X != now.X || wanted.Y != now.Y);
    }
    if (NewAspectRatioIdc != ExtendedSarIdc)
        return NewAspectRatioIdc != CurrentAspectRatioIdc();
    if (ResolvedNewSarWidth() <= 0 || ResolvedNewSarHeight() <= 0)
        return false;
    return ResolvedNewSarWidth() != CurrentSarWidth() || ResolvedNewSarHeight() != CurrentSarHeight() ||
           CurrentAspectRatioIdc() != ExtendedSarIdc;
}

uint8_t TARInfo::EffectiveAspectRatioIdc() const {
    return IsChanged() ? NewAspectRatioIdc : CurrentAspectRatioIdc();
}

int32_t TARInfo::EffectiveSarWidth() const {
    return IsChanged() ? ResolvedNewSarWidth() : CurrentSarWidth();
}

int32_t TARInfo::EffectiveSarHeight() const {
    return IsChanged() ? ResolvedNewSarHeight() : CurrentSarHeight();
}

bool TARInfo::IsPredefined() const {
    return EffectiveAspectRatioIdc() != ExtendedSarIdc;
}

std::string TARInfo::KindMismatchReason() const {
    return !IsContainerRow() && CurrentAspectRatioIdc() == UnspecifiedSarIdc ? SUnspecifiedTakesNoCustom
                                                                             : SSaveKindMismatch;
}

bool TARInfo::KeepsKind() const {
    if (!IsChanged() || IsContainerRow())
        return true;
    return (EffectiveAspectRatioIdc() == ExtendedSarIdc) == (CurrentAspectRatioIdc() == ExtendedSarIdc);
}

int32_t TARInfo::Width() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->Width);
    return SequenceParameterSet ? SequenceParameterSet->Width() : 0;
}

int32_t TARInfo::Height() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->Height);
    return SequenceParameterSet ? SequenceParameterSet->Height() : 0;
}

int32_t TARInfo::SpsId() const {
    return SequenceParameterSet ? static_cast<int32_t>(SequenceParameterSet->seq_parameter_set_id) : -1;
}

bool TARInfo::StatesNoRatio() const {
    return SequenceParameterSet != nullptr && !IsContainerRow() &&
           EffectiveAspectRatioIdc() == UnspecifiedSarIdc;
}

std::string TARInfo::TypeText() const {
    if (IsContainerRow())
        return "Container";
    if (StatesNoRatio())
        return "Unspecified";
    return IsPredefined() ? "Predefined" : "Custom";
}

// An SPS that states no ratio is shown with the square samples players take for it.
std::string TARInfo::SarText() const {
    if (StatesNoRatio())
        return SUnspecifiedSarText;
    return std::to_string(EffectiveSarWidth()) + ":" + std::to_string(EffectiveSarHeight());
}

std::string TARInfo::ResolutionText() const {
    return std::to_string(Width()) + "x" + std::to_string(Height());
}

// The products are taken in 64 bits: a large custom term times a large picture size does not fit in 32.
std::string TARInfo::DarText() const {
    TRatio dar = StatesNoRatio() ? DarFromSar(1, 1, Width(), Height())
                                 : DarFromSar(EffectiveSarWidth(), EffectiveSarHeight(), Width(), Height());
    if (dar.X == 0)
        return "[n/a]";
    return std::to_string(dar.X) + ":" + std::to_string(dar.Y);
}

void TARInfo::Reset() {
    NewSarWidth = 0;
    NewSarHeight = 0;
    NewAspectRatioIdc = 0;
}

int64_t TARInfo::SpsOffset() const {
    if (IsContainerRow())
        return Track->HasStatement() ? Track->Statements.front()->FileOffset() : -1;
    return SequenceParameterSet ? Placement.FileOffset(SequenceParameterSet->Position) : 0;
}

int64_t TARInfo::VuiOffset() const {
    if (IsContainerRow())
        return -1;
    return SequenceParameterSet && SequenceParameterSet->VUIParameters
               ? Placement.FileOffset(SequenceParameterSet->VUIParameters->Position)
               : 0;
}

bool TARInfo::WriteTo(TFastBitstream &writer) const {
    if (!IsChanged())
        return true;
    if (SequenceParameterSet == nullptr || !SequenceParameterSet->VUIParameters)
        return false;
    const TVUIParameters &vui = *SequenceParameterSet->VUIParameters;
    int64_t position = vui.Position;
    uint8_t bit = static_cast<uint8_t>(vui.BitOffset + 1);
    if (bit == 8) {
        ++position;
        bit = 0;
    }
    writer.SetPosition(position, bit);
    writer.BeginWrite(8);
    writer.WriteByte(EffectiveAspectRatioIdc());
    if (EffectiveAspectRatioIdc() == ExtendedSarIdc) {
        const auto width = static_cast<uint16_t>(EffectiveSarWidth());
        const auto height = static_cast<uint16_t>(EffectiveSarHeight());
        for (uint8_t byte : {width >> 8, width & 0xFF, height >> 8, height & 0xFF})
            writer.WriteByte(byte);
    }
    writer.EndWrite();
    return true;
}

// Worked out in the unit's own bytes, where emulation prevention is judged, then placed in the file. The
// patch covers the bits written and two bytes on each side inside the unit: the file must still hold all
// of them as scanned, since the checks below depend on them.
TPlanEntry TARInfo::PlanChange(size_t row, std::string &refusal, std::vector<uint8_t> &written) const {
    TPlanEntry entry;
    entry.Row = row;
    if (SequenceParameterSet == nullptr || !SequenceParameterSet->VUIParameters || NALUnit == nullptr) {
        refusal = SRecordWithoutUnit;
        return entry;
    }
    const TVUIParameters &vui = *SequenceParameterSet->VUIParameters;
    const int64_t vuiOffset = VuiOffset();
    if (EffectiveAspectRatioIdc() != ExtendedSarIdc && PredefinedSarWidth(EffectiveAspectRatioIdc()) < 1) {
        refusal = Format(SReservedCode, EffectiveAspectRatioIdc());
        return entry;
    }
    if (EffectiveAspectRatioIdc() == ExtendedSarIdc &&
        (EffectiveSarWidth() < 1 || EffectiveSarWidth() > MaxSarTerm || EffectiveSarHeight() < 1 ||
         EffectiveSarHeight() > MaxSarTerm)) {
        refusal = Format(SCustomTermOutOfRange, EffectiveSarWidth(), EffectiveSarHeight());
        return entry;
    }
    const std::vector<uint8_t> &before = NALUnit->Bytes;
    const auto size = static_cast<int64_t>(before.size());
    const int64_t first = vui.AspectRatioIdcPosition;
    const int bitCount = EffectiveAspectRatioIdc() == ExtendedSarIdc ? 40 : 8;
    const int64_t last = first + (vui.AspectRatioIdcBitOffset + bitCount - 1) / 8;
    // The unit's last byte stays as it is, so that where the unit ends stays where it is.
    if (last + 1 >= size) {
        refusal = Format(SSpanAtUnitEnd, vuiOffset);
        return entry;
    }
    // An emulation-prevention byte in the span would be overwritten; one just after it depends on the
    // last two bytes of the span, which the write changes.
    for (int64_t i = std::max<int64_t>(first, 2); i <= std::min(last + 2, size - 1); ++i)
        if (before[i] == 0x03 && before[i - 1] == 0 && before[i - 2] == 0) {
            refusal = Format(SEmulationPreventionInSpan, vuiOffset);
            return entry;
        }
    TMemoryStream copy(before);
    TFastBitstream writer(&copy, std::max<int64_t>(size, 16));
    WriteTo(writer);
    const std::vector<uint8_t> &after = copy.Bytes();
    for (int64_t i = std::max<int64_t>(0, first - 2); i <= last && i + 2 < size; ++i)
        if (after[i] == 0 && after[i + 1] == 0 && after[i + 2] <= 3) {
            refusal = Format(SForbiddenPattern, vuiOffset, after[i + 2]);
            return entry;
        }

    const std::string what = Format(SWhatRowRatio, row);
    const int64_t from = std::max<int64_t>(0, first - 2);
    const int64_t to = std::min(size - 1, last + 2);
    for (int64_t i = from; i <= to; ++i) {
        const int64_t offset = Placement.FileOffset(i);
        if (entry.Patches.empty() || entry.Patches.back().End() != offset)
            entry.Patches.push_back({offset, {}, {}, what});
        entry.Patches.back().Old.push_back(before[i]);
        entry.Patches.back().New.push_back(after[i]);
    }
    written = after;
    const std::string previous =
        CurrentAspectRatioIdc() == UnspecifiedSarIdc
            ? std::string(SUnspecifiedSarText)
            : std::to_string(CurrentSarWidth()) + ":" + std::to_string(CurrentSarHeight());
    entry.Description = Format(SPlanRowEntry, row, previous, SarText(), vuiOffset);
    return entry;
}

// ---- TRatioChange ----

std::string TRatioChange::ApplyTo(TARInfo &record) const {
    auto setPredefined = [&record](uint8_t code) {
        record.NewAspectRatioIdc = code;
        record.NewSarWidth = PredefinedSarWidth(code);
        record.NewSarHeight = PredefinedSarHeight(code);
    };
    if (record.IsContainerRow())
        return ApplyToContainer(record);
    switch (Kind) {
    case TKind::None:
        return {};
    case TKind::Predefined:
        setPredefined(Code);
        return {};
    case TKind::Sar:
    case TKind::Dar:
        break;
    }
    const TRatio sar = Kind == TKind::Sar ? ReduceRatio(Ratio.X, Ratio.Y)
                                          : SarFromDar(Ratio.X, Ratio.Y, record.Width(), record.Height());
    if (record.CurrentAspectRatioIdc() != ExtendedSarIdc && !record.IsContainerRow()) {
        const uint8_t code = PredefinedCodeForRatio(sar.X, sar.Y);
        if (code == 0)
            return record.KindMismatchReason() + " " + Format(SNoPredefinedRatio, sar.X, sar.Y);
        setPredefined(code);
        return {};
    }
    if (sar.X < 1 || sar.X > MaxSarTerm || sar.Y < 1 || sar.Y > MaxSarTerm)
        return Format(SCustomTermOutOfRange, sar.X, sar.Y);
    record.NewAspectRatioIdc = ExtendedSarIdc;
    record.NewSarWidth = static_cast<int32_t>(sar.X);
    record.NewSarHeight = static_cast<int32_t>(sar.Y);
    return {};
}

// A container states a ratio, not a code, and only the ratios it can hold: the row gets the one the
// container will state, so that it shows what players will read.
std::string TRatioChange::ApplyToContainer(TARInfo &record) const {
    TRatio sar;
    switch (Kind) {
    case TKind::None:
        return {};
    case TKind::Predefined:
        sar = ReduceRatio(PredefinedSarWidth(Code), PredefinedSarHeight(Code));
        break;
    case TKind::Sar:
        sar = ReduceRatio(Ratio.X, Ratio.Y);
        break;
    case TKind::Dar:
        sar = SarFromDar(Ratio.X, Ratio.Y, record.Width(), record.Height());
        break;
    }
    if (sar.X < 1 || sar.X > MaxSarTerm || sar.Y < 1 || sar.Y > MaxSarTerm)
        return Format(SCustomTermOutOfRange, sar.X, sar.Y);
    if (record.Track->HasStatement())
        sar = record.Track->Statements.front()->Representable(sar, record.Width(), record.Height());
    // What the container can hold may be a ratio of larger terms than a row shows (a display size in
    // inches against a pixel size, say).
    if (sar.X < 1 || sar.X > MaxSarTerm || sar.Y < 1 || sar.Y > MaxSarTerm)
        return Format(SCustomTermOutOfRange, sar.X, sar.Y);
    record.NewAspectRatioIdc = ExtendedSarIdc;
    record.NewSarWidth = static_cast<int32_t>(sar.X);
    record.NewSarHeight = static_cast<int32_t>(sar.Y);
    return {};
}

// ---- TARInfoList ----

TARInfo &TARInfoList::Add(const TARInfo &info) {
    return FItems.emplace_back(info);
}

void TARInfoList::Clear() {
    FItems.clear();
}

TARInfo *TARInfoList::Items(size_t index) {
    return &FItems.at(index);
}

const TARInfo *TARInfoList::Items(size_t index) const {
    return &FItems.at(index);
}

bool TARInfoList::CanSave() const {
    return std::all_of(FItems.begin(), FItems.end(), [](const TARInfo &info) { return info.KeepsKind(); });
}

void TARInfoList::ResetAll() {
    for (TARInfo &info : FItems)
        info.Reset();
}

// Every changed SPS gets its patch. A track's container statements follow the rows of the track that were
// given a new value (changed, or set to the value they have): so a file whose container disagrees with
// its SPS comes out agreeing. A container row stands for a track with no SPS row.
TPatchPlan TARInfoList::PlanChanges() {
    TPatchPlan plan;
    struct TTrackRows {
        TTrack *Track;
        std::vector<size_t> Rows;
    };
    std::vector<TTrackRows> tracks;
    for (size_t row = 0; row < FItems.size(); ++row) {
        TARInfo &info = FItems[row];
        if (info.NewAspectRatioIdc == 0)
            continue;
        if (info.IsChanged() && !info.IsContainerRow()) {
            std::string refusal;
            if (!info.KeepsKind())
                refusal = info.KindMismatchReason();
            else if (info.NotChangeable != nullptr)
                refusal = *info.NotChangeable;
            TPlanEntry entry;
            std::vector<uint8_t> written;
            if (refusal.empty())
                entry = info.PlanChange(row, refusal, written);
            if (!refusal.empty()) {
                plan.Refusals.push_back({row, refusal});
                continue;
            }
            // Once written, the record stands for the SPS as the file now holds it. It is decoded now, so
            // that nothing after the first write needs memory.
            const TNALUnit *unit = FSession.FindUnit(written, info.NALUnit->Complete);
            if (unit == nullptr)
                unit = FSession.KeepUnit(DecodeNALUnit(std::move(written), info.NALUnit->Complete));
            entry.Written = [&info, unit] {
                info.NALUnit = unit;
                info.SequenceParameterSet = unit->SequenceParameterSet.get();
            };
            plan.Entries.push_back(std::move(entry));
        }
        if (info.Track == nullptr || (!info.KeepsKind() && info.IsChanged()))
            continue;
        // An SPS that states no ratio and is left so gives its container no ratio to follow; a container
        // row left as it is stands for the statement as it is (one that can only come near a ratio would
        // otherwise move on to the next nearest at every save).
        if (info.EffectiveSarWidth() < 1 || info.EffectiveSarHeight() < 1 ||
            (info.IsContainerRow() && !info.IsChanged()))
            continue;
        auto same = std::find_if(tracks.begin(), tracks.end(),
                                 [&info](const TTrackRows &rows) { return rows.Track == info.Track; });
        if (same == tracks.end())
            tracks.push_back({info.Track, {row}});
        else
            same->Rows.push_back(row);
    }

    for (const TTrackRows &rows : tracks) {
        TTrack &track = *rows.Track;
        if (!track.HasStatement())
            continue;
        const TARInfo &first = FItems[rows.Rows.front()];
        // A container row stands for nothing but the container: a change it can not write is refused.
        const bool containerOnly = first.IsContainerRow() && first.IsChanged();
        if (!track.NotWritten.empty()) {
            if (containerOnly)
                plan.Refusals.push_back({rows.Rows.front(), track.NotWritten});
            else
                plan.Notes.push_back(track.NotWritten);
            continue;
        }
        const TRatio sar = ReduceRatio(first.EffectiveSarWidth(), first.EffectiveSarHeight());
        const TRatio dar = DarFromSar(sar.X, sar.Y, first.Width(), first.Height());
        const bool conflicting = std::any_of(rows.Rows.begin(), rows.Rows.end(), [&](size_t row) {
            const TARInfo &info = FItems[row];
            const TRatio other =
                DarFromSar(info.EffectiveSarWidth(), info.EffectiveSarHeight(), info.Width(), info.Height());
            return other.X != dar.X || other.Y != dar.Y;
        });
        const TRatio stated = track.StatedDisplayAspectRatio();
        const std::string statedText = std::to_string(stated.X) + ":" + std::to_string(stated.Y);
        if (conflicting) {
            plan.Notes.push_back(Format(SContainerAspectConflict, track.Label, statedText));
            continue;
        }
        bool planned = false;
        for (auto &statement : track.Statements) {
            TContainerStatement::TChange change = statement->Plan(sar, first.Width(), first.Height());
            if (!change.Refusal.empty()) {
                plan.Refusals.push_back({rows.Rows.front(), change.Refusal});
                planned = true;
                continue;
            }
            // A container row stands for the statement alone: what it can not write is refused.
            if (!change.Note.empty() && change.Entry.Patches.empty()) {
                if (first.IsContainerRow() && first.IsChanged())
                    plan.Refusals.push_back({rows.Rows.front(), change.Note});
                else
                    plan.Notes.push_back(change.Note);
                planned = true;
                continue;
            }
            if (change.Entry.Patches.empty())
                continue;
            // Written only as near as its numbers can state. A container row shows what the statement
            // will hold (TRatioChange gives it that): asked for another ratio, it is refused.
            if (!change.Note.empty() && containerOnly) {
                plan.Refusals.push_back({rows.Rows.front(), change.Note});
                planned = true;
                continue;
            }
            if (!change.Note.empty())
                plan.Notes.push_back(change.Note);
            change.Entry.Row = rows.Rows.front();
            plan.Entries.push_back(std::move(change.Entry));
            planned = true;
        }
        if (!planned && containerOnly)
            plan.Refusals.push_back({rows.Rows.front(), Format(SContainerCannotState, track.Label)});
    }
    plan.AddChecksums(FSession.ChecksumRegions);
    return plan;
}

std::vector<TWriteRefusal> TARInfoList::CheckChanges(TStream &stream) {
    return PlanChanges().Check(stream);
}

TWriteReport TARInfoList::WriteChanges(TStream &stream) {
    return PlanChanges().Apply(stream);
}
