#include "ARInfo.h"

#include "ContainerStatement.h"
#include "ScanSession.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>
#include <stdexcept>

// ---- TARInfo ----

namespace {

// Rows show ratios of 16-bit terms, as the custom forms of the codecs hold them.
constexpr int64_t MaxRowTerm = 65535;

bool IsRowTerm(TRatio ratio) {
    return ratio.X >= 1 && ratio.X <= MaxRowTerm && ratio.Y >= 1 && ratio.Y <= MaxRowTerm;
}

} // namespace

const TCodec *TARInfo::Codec() const {
    if (Unit != nullptr)
        return &Unit->Codec();
    return Track != nullptr && Track->Codec != nullptr ? Track->Codec->Codec : nullptr;
}

const TCodecEntry *TARInfo::CodecEntry() const {
    if (Unit != nullptr)
        return CodecByKey(Unit->Codec().Key());
    return Track != nullptr ? Track->Codec : nullptr;
}

bool TARInfo::IsCustomCode(uint8_t code) const {
    if (IsContainerRow())
        return code == ContainerRatioCode;
    return Codec() != nullptr && Codec()->CustomCode() != 0 && code == Codec()->CustomCode();
}

TRatio TARInfo::SarOfCode(uint8_t code) const {
    return Codec() != nullptr ? Codec()->SarOfCode(code, Width(), Height()) : TRatio{};
}

uint8_t TARInfo::CurrentAspectRatioIdc() const {
    if (IsContainerRow())
        return ContainerRatioCode;
    return Unit ? Unit->Code() : 0;
}

int32_t TARInfo::CurrentSarWidth() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->StatedSampleAspectRatio().X);
    return Unit ? static_cast<int32_t>(Unit->Sar().X) : 0;
}

int32_t TARInfo::CurrentSarHeight() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->StatedSampleAspectRatio().Y);
    return Unit ? static_cast<int32_t>(Unit->Sar().Y) : 0;
}

int32_t TARInfo::ResolvedNewSarWidth() const {
    if (NewAspectRatioIdc == 0)
        return 0;
    return IsCustomCode(NewAspectRatioIdc) ? NewSarWidth
                                           : static_cast<int32_t>(SarOfCode(NewAspectRatioIdc).X);
}

int32_t TARInfo::ResolvedNewSarHeight() const {
    if (NewAspectRatioIdc == 0)
        return 0;
    return IsCustomCode(NewAspectRatioIdc) ? NewSarHeight
                                           : static_cast<int32_t>(SarOfCode(NewAspectRatioIdc).Y);
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
    if (!IsCustomCode(NewAspectRatioIdc))
        return NewAspectRatioIdc != CurrentAspectRatioIdc();
    if (ResolvedNewSarWidth() <= 0 || ResolvedNewSarHeight() <= 0)
        return false;
    return ResolvedNewSarWidth() != CurrentSarWidth() || ResolvedNewSarHeight() != CurrentSarHeight() ||
           !IsCustomCode(CurrentAspectRatioIdc());
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
    return !IsCustomCode(EffectiveAspectRatioIdc());
}

std::string TARInfo::KindMismatchReason() const {
    return Unit != nullptr ? Unit->Codec().ReplacementRefusal(*Unit, EffectiveAspectRatioIdc())
                           : std::string();
}

bool TARInfo::KeepsKind() const {
    if (!IsChanged() || IsContainerRow())
        return true;
    return KindMismatchReason().empty();
}

int32_t TARInfo::Width() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->Width);
    return Unit ? Unit->Width() : 0;
}

int32_t TARInfo::Height() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->Height);
    return Unit ? Unit->Height() : 0;
}

int32_t TARInfo::SpsId() const {
    return Unit ? Unit->Id() : -1;
}

bool TARInfo::StatesNoRatio() const {
    return Unit != nullptr && Unit->Codec().StatesNoRatio(EffectiveAspectRatioIdc());
}

std::string TARInfo::TypeText() const {
    if (IsContainerRow())
        return "Container";
    if (StatesNoRatio())
        return "Unspecified";
    return IsPredefined() ? "Predefined" : "Custom";
}

// A unit that states no ratio is shown with the square samples players take for it.
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
    return Unit ? Placement.FileOffset(Unit->HeaderPosition()) : 0;
}

int64_t TARInfo::VuiOffset() const {
    if (IsContainerRow())
        return -1;
    return Unit ? Placement.FileOffset(Unit->FieldsPosition()) : 0;
}

TUnitRewrite TARInfo::Rewrite() const {
    return Unit->Codec().Rewrite(*Unit, EffectiveAspectRatioIdc(),
                                 {EffectiveSarWidth(), EffectiveSarHeight()}, VuiOffset());
}

bool TARInfo::WriteTo(TFastBitstream &writer) const {
    if (!IsChanged())
        return true;
    if (Unit == nullptr)
        return false;
    const TUnitRewrite rewrite = Rewrite();
    if (!rewrite.Refusal.empty())
        return false;
    writer.SetPosition(rewrite.First, 0);
    writer.BeginWrite(rewrite.Last - rewrite.First + 1);
    for (int64_t i = rewrite.First; i <= rewrite.Last; ++i)
        writer.WriteByte(rewrite.Bytes[static_cast<size_t>(i)]);
    writer.EndWrite();
    return true;
}

// Worked out by the codec in the unit's own bytes, then placed in the file: the patch covers the bytes the
// codec names, which the file must still hold as scanned.
TPlanEntry TARInfo::PlanChange(size_t row, std::string &refusal, std::vector<uint8_t> &written) const {
    TPlanEntry entry;
    entry.Row = row;
    if (Unit == nullptr) {
        refusal = SRecordWithoutUnit;
        return entry;
    }
    TUnitRewrite rewrite = Rewrite();
    if (!rewrite.Refusal.empty()) {
        refusal = rewrite.Refusal;
        return entry;
    }
    const std::vector<uint8_t> &before = Unit->Bytes();
    const std::string what = Format(SWhatRowRatio, row);
    for (int64_t i = rewrite.First; i <= rewrite.Last; ++i) {
        const int64_t offset = Placement.FileOffset(i);
        if (entry.Patches.empty() || entry.Patches.back().End() != offset)
            entry.Patches.push_back({offset, {}, {}, what});
        entry.Patches.back().Old.push_back(before[static_cast<size_t>(i)]);
        entry.Patches.back().New.push_back(rewrite.Bytes[static_cast<size_t>(i)]);
    }
    written = std::move(rewrite.Bytes);
    const TCodec &codec = Unit->Codec();
    const std::string previous =
        codec.StatesNoRatio(CurrentAspectRatioIdc())
            ? std::string(SUnspecifiedSarText)
            : std::to_string(CurrentSarWidth()) + ":" + std::to_string(CurrentSarHeight());
    entry.Description =
        Format(SPlanRowEntry, row, previous, SarText(), codec.UnitName(), codec.FieldsName(), VuiOffset());
    return entry;
}

// ---- TRatioChange ----

std::string TRatioChange::ApplyTo(TARInfo &record) const {
    if (record.IsContainerRow())
        return ApplyToContainer(record);
    if (Kind == TKind::None)
        return {};
    if (record.Unit == nullptr)
        return SRecordWithoutUnit;
    const TCodec &codec = record.Unit->Codec();
    if (Kind == TKind::Predefined) {
        const std::vector<uint8_t> codes = codec.PredefinedCodes();
        if (std::find(codes.begin(), codes.end(), Code) == codes.end())
            return Format(SNotACodeOf, Code, codec.Name());
        const TRatio sar = codec.SarOfCode(Code, record.Width(), record.Height());
        record.NewAspectRatioIdc = Code;
        record.NewSarWidth = static_cast<int32_t>(sar.X);
        record.NewSarHeight = static_cast<int32_t>(sar.Y);
        return {};
    }
    const TRatio sar = Kind == TKind::Sar ? ReduceRatio(Ratio.X, Ratio.Y)
                                          : SarFromDar(Ratio.X, Ratio.Y, record.Width(), record.Height());
    const TCodeChoice choice = codec.ChooseFor(*record.Unit, sar);
    if (!choice.Refusal.empty())
        return choice.Refusal;
    const TRatio stated = choice.Code == codec.CustomCode()
                              ? choice.Custom
                              : codec.SarOfCode(choice.Code, record.Width(), record.Height());
    record.NewAspectRatioIdc = choice.Code;
    record.NewSarWidth = static_cast<int32_t>(stated.X);
    record.NewSarHeight = static_cast<int32_t>(stated.Y);
    return {};
}

// A container states a ratio, not a code, and only the ratios it can hold: the row gets the one the
// container will state, so that it shows what players will read. A code is read in the table of the
// track's codec.
std::string TRatioChange::ApplyToContainer(TARInfo &record) const {
    TRatio sar;
    switch (Kind) {
    case TKind::None:
        return {};
    case TKind::Predefined:
        if (record.Codec() == nullptr)
            return Format(SNoCodeTable, record.Track->Label);
        sar = record.Codec()->SarOfCode(Code, record.Width(), record.Height());
        break;
    case TKind::Sar:
        sar = ReduceRatio(Ratio.X, Ratio.Y);
        break;
    case TKind::Dar:
        sar = SarFromDar(Ratio.X, Ratio.Y, record.Width(), record.Height());
        break;
    }
    if (!IsRowTerm(sar))
        return Format(SCustomTermOutOfRange, sar.X, sar.Y);
    if (record.Track->HasStatement())
        sar = record.Track->Statements.front()->Representable(sar, record.Width(), record.Height());
    // What the container can hold may be a ratio of larger terms than a row shows (a display size in
    // inches against a pixel size, say).
    if (!IsRowTerm(sar))
        return Format(SCustomTermOutOfRange, sar.X, sar.Y);
    record.NewAspectRatioIdc = TARInfo::ContainerRatioCode;
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

// Every changed unit gets its patch. A track's container statements follow the rows of the track that were
// given a new value (changed, or set to the value they have): so a file whose container disagrees with
// its units comes out agreeing. A container row stands for a track with no unit row.
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
            const TCodec &codec = info.Unit->Codec();
            const TRatioUnit *unit = FSession.FindUnit(codec, written, info.Unit->Complete());
            if (unit == nullptr) {
                std::unique_ptr<TRatioUnit> decoded = codec.Decode(std::move(written), info.Unit->Complete());
                if (!decoded) {
                    plan.Refusals.push_back({row, SRecordWithoutUnit});
                    continue;
                }
                unit = FSession.KeepUnit(std::move(decoded));
            }
            entry.Written = [&info, unit] { info.Unit = unit; };
            plan.Entries.push_back(std::move(entry));
        }
        if (info.Track == nullptr || (!info.KeepsKind() && info.IsChanged()))
            continue;
        // A unit that states no ratio and is left so gives its container no ratio to follow; a container
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
