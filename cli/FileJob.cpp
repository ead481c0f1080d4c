#include "FileJob.h"

#include "CliTexts.h"
#include "Console.h"
#include "StatedRatio.h"
#include "base/AppTexts.h"
#include "base/Exceptions.h"
#include "base/FormatFacts.h"
#include "base/Messages.h"
#include "base/ShownTexts.h"
#include "base/Streams.h"
#include "scan/JournalStore.h"
#include "scan/SaveSequence.h"
#include "scan/Scanner.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>

namespace {

// The display aspect ratio a row shows before a change (players take square samples where it states none).
TRatio ShownDar(const TARInfo &row) {
    if (row.StatesNoRatio())
        return DarFromSar(1, 1, row.Width(), row.Height());
    return DarFromSar(row.CurrentSarWidth(), row.CurrentSarHeight(), row.Width(), row.Height());
}

// The change of the options, the same rules as the desktop program's.
TRatioChange RequestedChange(const TOptions &options) {
    TRatioChange change;
    switch (options.NewValue) {
    case TNewValue::Idc:
        change.Kind = TRatioChange::TKind::Predefined;
        change.Code = options.Idc;
        break;
    case TNewValue::Sar:
        change.Kind = TRatioChange::TKind::Sar;
        change.Ratio = options.Ratio;
        break;
    case TNewValue::Dar:
        change.Kind = TRatioChange::TKind::Dar;
        change.Ratio = options.Ratio;
        break;
    case TNewValue::None:
        break;
    }
    return change;
}

std::string TrackLabels(const std::deque<TTrack> &tracks) {
    std::string labels;
    for (const TTrack &track : tracks)
        labels += (labels.empty() ? "" : ", ") + track.Label;
    return labels;
}

} // namespace

TFileResult TFileJob::Run(const std::string &fileName) {
    TFileResult result;
    result.FileName = fileName;
    result.DryRun = FOptions.DryRun;
    bool started = false;
    try {
        std::error_code ignored;
        if (std::filesystem::is_directory(Utf8Path(fileName), ignored))
            throw EInOutError(Format(SCannotOpenFile, fileName, SIsAFolder));
        result.ContentFormat = ProbeFile(fileName);
        result.Format = FOptions.ForcedFormat.value_or(*result.ContentFormat);
        FEvents.OnStarted(fileName, result.Format);
        started = true;
        if (!IsScannable(*result.Format))
            throw Exception(FormatNotReadText(*result.Format));
        Scan(result);
        if (result.Status != TFileStatus::Refused && FOptions.Command == TCommand::Set)
            Change(result);
    } catch (const std::bad_alloc &) {
        result.Status = TFileStatus::Failed;
        result.Error = SOutOfMemory;
    } catch (const std::exception &error) {
        result.Status = TFileStatus::Failed;
        result.Error = ErrorMessageText(error.what());
    }
    if (!started)
        FEvents.OnStarted(fileName, std::nullopt);
    if (result.Status != TFileStatus::Failed)
        TellInterruptedSave(fileName);
    if (result.Status == TFileStatus::Failed) {
        FEvents.OnMessage(fileName, TerminalText(result.Error));
    } else if (result.Status == TFileStatus::Refused) {
        // What concerns the whole file first, then row by row.
        std::stable_sort(
            result.Refusals.begin(), result.Refusals.end(), [](const TRefusal &a, const TRefusal &b) {
                return (a.Row == TRefusal::NoRow) != (b.Row == TRefusal::NoRow) ? a.Row == TRefusal::NoRow
                                                                                : a.Row < b.Row;
            });
        for (const TRefusal &refusal : result.Refusals)
            FEvents.OnMessage(fileName, TerminalText(refusal.Line));
    }
    return result;
}

void TFileJob::TellInterruptedSave(const std::string &fileName) {
    try {
        const std::optional<TFoundJournal> found = TJournalStore().Find(fileName);
        if (found && found->Journal.State == TJournalState::Pending)
            FEvents.OnMessage(fileName, TerminalText(Format(SRecoverHint, fileName)));
    } catch (const std::exception &) {
        // A damaged journal is told by the save it refuses.
    }
}

void TFileJob::Scan(TFileResult &result) {
    auto session = std::make_unique<TScanSession>();
    std::unique_ptr<TParser> parser = CreateParser(*result.Format, *session);
    parser->DeepScan = !FOptions.FirstNalOnly;
    const std::string &name = result.FileName;
    std::string declined; // the handler code of a video stream the scan stopped at
    parser->Events.OnForeignHandler = [&](const std::string &fourCC) {
        const std::string code = CodeText(fourCC);
        FEvents.OnMessage(name, FOptions.Yes ? Format(SForeignScanned, code) : Format(SForeignStopped, code));
        if (!FOptions.Yes)
            declined = code;
        return FOptions.Yes;
    };
    parser->Events.OnProgress = FEvents.OnProgress;
    parser->Events.OnNotice = [&](const TScanNotice &notice) {
        FEvents.OnNamedMessage(Format(SNoticeLine, TerminalText(name), TerminalText(notice.Text)));
    };
    try {
        parser->Parse(name);
    } catch (const EFileFormat &error) {
        // --stream or --format on a container or on the stream of another codec.
        throw Exception(NotReadAsText(error.Format, *result.Format));
    }
    if (session->NoticeCount > static_cast<int64_t>(session->Notices.size()))
        FEvents.OnNamedMessage(Format(SMoreNotices, TerminalText(name),
                                      session->NoticeCount - static_cast<int64_t>(session->Notices.size())));
    result.Session = std::move(session);
    if (!declined.empty()) {
        result.Status = TFileStatus::Refused;
        result.Refusals.push_back({TRefusal::NoRow,
                                   Format(SForeignStopped, declined) + " " + SForeignNotScanned,
                                   SForeignNotScanned});
        return;
    }
    result.Status = TFileStatus::Listed;
}

void TFileJob::Refuse(TFileResult &result, size_t row, const std::string &reason) {
    result.Status = TFileStatus::Refused;
    result.Refusals.push_back(
        {row, reason,
         row == TRefusal::NoRow ? reason : Format(SRowRefused, static_cast<int64_t>(row), reason)});
}

bool TFileJob::ChooseRows(TFileResult &result) {
    const TARInfoList &records = result.Session->ARInfoList;
    std::vector<size_t> &chosen = result.Chosen;
    if (FOptions.Rows) {
        const std::string reason = ResolveRows(*FOptions.Rows, records.Count(), chosen);
        if (!reason.empty()) {
            Refuse(result, TRefusal::NoRow, reason);
            return false;
        }
    } else {
        for (size_t row = 0; row < records.Count(); ++row)
            chosen.push_back(row);
    }
    if (FOptions.OnlyFrom) {
        const TRatio from = ReduceRatio(FOptions.OnlyFrom->X, FOptions.OnlyFrom->Y);
        chosen.erase(std::remove_if(chosen.begin(), chosen.end(),
                                    [&](size_t row) {
                                        const TRatio now = ShownDar(*records.Items(row));
                                        return now.X != from.X || now.Y != from.Y;
                                    }),
                     chosen.end());
    }
    if (!FOptions.Track)
        return true;
    // The rows of one track; its container statements follow them when the change is planned.
    const std::deque<TTrack> &tracks = result.Session->Tracks;
    auto track = std::find_if(tracks.begin(), tracks.end(),
                              [&](const TTrack &candidate) { return candidate.Number == *FOptions.Track; });
    if (track == tracks.end()) {
        Refuse(result, TRefusal::NoRow,
               Format(SNoSuchTrack, *FOptions.Track, *FOptions.Track,
                      tracks.empty() ? std::string(SNoTracks) : Format(STrackList, TrackLabels(tracks))));
        return false;
    }
    auto ofTrack = [&](size_t row) { return records.Items(row)->Track == &*track; };
    if (FOptions.Rows) {
        for (size_t row : chosen)
            if (!ofTrack(row))
                Refuse(result, row, Format(SRowOfOtherTrack, track->Label));
    } else {
        chosen.erase(std::remove_if(chosen.begin(), chosen.end(), [&](size_t row) { return !ofTrack(row); }),
                     chosen.end());
    }
    return result.Status != TFileStatus::Refused;
}

void TFileJob::Change(TFileResult &result) {
    TARInfoList &records = result.Session->ARInfoList;
    result.Rows.resize(records.Count());
    if (!ChooseRows(result))
        return;
    // Nothing that can carry the new ratio is no success: the ratio the user asked for is nowhere.
    if (result.Chosen.empty()) {
        Refuse(result, TRefusal::NoRow,
               records.Count() == 0 ? std::string(SNoRows)
               : FOptions.OnlyFrom  ? Format(SNoRowsFrom, RatioText(*FOptions.OnlyFrom))
                                    : Format(SNoRowsOfTrack, *FOptions.Track));
        return;
    }
    const TRatioChange change = RequestedChange(FOptions);
    for (size_t row : result.Chosen) {
        TARInfo &info = *records.Items(row);
        TRowOutcome &outcome = result.Rows[row];
        outcome.PreviousSar = info.SarText();
        outcome.Selected = true;
        std::string reason = change.ApplyTo(info);
        if (!reason.empty())
            Refuse(result, row, reason);
        outcome.Changed = reason.empty() && info.IsChanged();
    }
    // Rows that hold the value already still bring their track's container statements to it: a file
    // whose container disagrees with its SPS has something to write though no SPS changes.
    TSaveSequence save(records);
    const bool anyChange = save.HasChanges();
    if (anyChange) {
        // A dry run checks against the file as it is now, but does not need to be able to write it.
        for (const TWriteRefusal &refusal :
             FOptions.DryRun ? save.Check(result.FileName) : save.OpenForWriting(result.FileName))
            Refuse(result, refusal.Index, refusal.Reason);
        if (result.Status == TFileStatus::Refused)
            return;
        // Told before writing: once written, the records no longer count as changed.
        result.ContainerChanges = save.ContainerLines();
        result.PatchLines = save.Plan().PatchLines();
        if (!FOptions.DryRun) {
            TInterruptsHeld held;
            save.Apply(result.FileName);
            for (TRowOutcome &outcome : result.Rows)
                outcome.Written = outcome.Changed;
        }
    } else {
        result.ContainerChanges = save.Plan().Notes;
    }
    if (result.Status != TFileStatus::Refused)
        result.Status = anyChange ? TFileStatus::Changed : TFileStatus::Unchanged;
}
