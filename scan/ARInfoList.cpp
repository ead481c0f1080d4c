#include "ARInfoList.h"

#include "ContainerStatement.h"
#include "ScanSession.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>
#include <string>

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
    if (!FSession.Outdated.empty()) {
        for (size_t row = 0; row < FItems.size(); ++row)
            if (FItems[row].IsChanged())
                plan.Refusals.push_back({row, FSession.Outdated});
        return plan;
    }
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
            std::vector<TPatch> others;
            for (const TPlanEntry &entry : plan.Entries)
                others.insert(others.end(), entry.Patches.begin(), entry.Patches.end());
            TContainerStatement::TChange change = statement->Plan(sar, first.Width(), first.Height(), others);
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
            if (change.Moves) {
                change.Entry.Written = [this, written = std::move(change.Entry.Written)] {
                    if (written)
                        written();
                    FSession.Outdated = SSessionOutdated;
                };
                // The patches it took in are written with it.
                for (TPlanEntry &entry : plan.Entries)
                    entry.Carried |=
                        std::erase_if(entry.Patches, [&](const TPatch &patch) {
                            return patch.FileOffset >= change.TakesFrom && patch.End() <= change.TakesTo;
                        }) > 0;
            }
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
