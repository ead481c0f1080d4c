#include "Commands.h"

#include "CliTexts.h"
#include "Console.h"
#include "JsonWriter.h"
#include "base/AppTexts.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "base/Streams.h"
#include "base/Utils.h"
#include "scan/Scanner.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <system_error>

namespace {

// The scan's progress as one line on standard error, rewritten in place; only when both standard
// output and standard error are a terminal.
class TProgressLine {
public:
    TProgressLine() : FEnabled(StandardOutputsAreTerminals()) {}
    ~TProgressLine() { Clear(); }
    TProgressLine(const TProgressLine &) = delete;
    TProgressLine &operator=(const TProgressLine &) = delete;

    // Position 0 is the scanner's final report: the line goes away.
    void Show(int64_t position, int64_t total) {
        if (!FEnabled)
            return;
        if (position <= 0 || total <= 0) {
            Clear();
            return;
        }
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.1f",
                      static_cast<double>(static_cast<float>(static_cast<double>(position) / total * 100.0)));
        std::string text = Format(SScanningProgress, std::string(percent));
        if (text == FShown)
            return;
        size_t blanks = FShown.size() > text.size() ? FShown.size() - text.size() : 0;
        std::cerr << '\r' << text << std::string(blanks, ' ') << std::flush;
        FShown = text;
    }

    void Clear() {
        if (FShown.empty())
            return;
        std::cerr << '\r' << std::string(FShown.size(), ' ') << '\r' << std::flush;
        FShown.clear();
    }

private:
    bool FEnabled;
    std::string FShown;
};

// One scan of the file named on the command line, with the scanner its content (or the options) calls
// for, into a session that holds what it found.
class TScan {
public:
    explicit TScan(const TOptions &options) : FOptions(options) {}

    // Scans the file. False, with the reason on standard error, when the scan stopped at a video
    // stream whose handler code is not an H.264 code.
    bool Run() {
        const std::string &name = FOptions.FileName;
        std::error_code ignored;
        if (std::filesystem::is_directory(Utf8Path(name), ignored))
            throw EInOutError(Format(SCannotOpenFile, name, SIsAFolder));
        TFileFormat format = ProbeFile(name);
        if (FOptions.Scanner == TScannerChoice::Avi)
            format = TFileFormat::Avi;
        else if (FOptions.Scanner == TScannerChoice::Stream)
            format = TFileFormat::RawH264;
        if (!IsScannable(format))
            throw Exception(Format(SContainerNotRawStream, FormatNameWithArticle(format)));
        std::unique_ptr<TParser> parser = CreateParser(format, FSession);
        parser->DeepScan = !FOptions.FirstNalOnly;
        parser->Events.OnForeignHandler = [this](const std::string &fourCC) {
            FProgress.Clear();
            const std::string code = EscapedText(fourCC);
            std::cerr << (FOptions.Yes ? Format(SForeignScanned, code) : Format(SForeignStopped, code))
                      << '\n';
            if (!FOptions.Yes)
                FForeignDeclined = true;
            return FOptions.Yes;
        };
        parser->Events.OnProgress = [this](int64_t position, int64_t total) {
            FProgress.Show(position, total);
        };
        parser->Events.OnNotice = [this](const TScanNotice &notice) {
            FProgress.Clear();
            std::cerr << Format(SNoticeLine, EscapedText(FOptions.FileName), notice.Text) << '\n';
        };
        parser->Events.OnFinished = [this] { FProgress.Clear(); };
        try {
            parser->Parse(name);
        } catch (const EFileFormat &error) {
            // --stream on a container.
            throw Exception(Format(SContainerNotRawStream, FormatNameWithArticle(error.Format)));
        }
        if (FSession.NoticeCount > static_cast<int64_t>(FSession.Notices.size()))
            std::cerr << Format(SMoreNotices, EscapedText(FOptions.FileName),
                                FSession.NoticeCount - static_cast<int64_t>(FSession.Notices.size()))
                      << '\n';
        if (FForeignDeclined)
            std::cerr << SForeignNotScanned << '\n';
        return !FForeignDeclined;
    }

    TScanSession &Session() { return FSession; }
    TARInfoList &Records() { return FSession.ARInfoList; }
    int64_t SpsCount() const { return FSession.SpsCount; }
    int64_t FileSize() const { return FSession.FileSize; }
    const char *ScannerName() const { return FSession.Format == TFileFormat::Avi ? "avi" : "stream"; }

private:
    const TOptions &FOptions;
    bool FForeignDeclined = false;
    TProgressLine FProgress;
    TScanSession FSession;
};

const TVUIParameters &Vui(const TARInfo &info) {
    return *info.SequenceParameterSet->VUIParameters;
}

std::string TrackDar(const TTrack &track) {
    const TRatio dar = track.StatedDisplayAspectRatio();
    return std::to_string(dar.X) + ":" + std::to_string(dar.Y);
}

// The display aspect ratio the container of the record's track states, when it states one.
std::optional<std::string> ContainerDar(const TARInfo &info) {
    if (info.Track == nullptr || !info.Track->HasStatement())
        return std::nullopt;
    return TrackDar(*info.Track);
}

const char *NoticeKindName(TScanNotice::TKind kind) {
    switch (kind) {
    case TScanNotice::TKind::DamagedSps:
        return "damaged_sps";
    case TScanNotice::TKind::NotScanned:
        return "not_scanned";
    case TScanNotice::TKind::Structure:
        break;
    }
    return "structure";
}

// What set did to one row, for the JSON document.
struct TRowOutcome {
    bool Selected = false;
    bool Changed = false;
    bool Written = false;
};

// What set did: per row, and to the aspect ratios the container states beside the SPS (the plan's
// container entries and notes).
struct TSetResult {
    std::vector<TRowOutcome> Rows;
    std::vector<std::string> ContainerChanges;
    std::vector<std::string> PatchLines;
};

void WriteTable(TScan &scan) {
    std::cout << Format(SSpsFound, scan.SpsCount()) << '\n';
    std::vector<std::vector<std::string>> lines{
        {"#", "SAR", "Type", "Resolution", "DAR", "SPS Id", "SPS Offset", "VUI Offset"}};
    const TARInfoList &records = scan.Records();
    for (size_t row = 0; row < records.Count(); ++row) {
        const TARInfo &info = *records.Items(row);
        lines.push_back({std::to_string(row), info.SarText(), info.TypeText(), info.ResolutionText(),
                         info.DarText(), info.IsContainerRow() ? SNoValue : std::to_string(info.SpsId()),
                         OffsetText(info.SpsOffset(), scan.FileSize()),
                         info.IsContainerRow() ? SNoValue : OffsetText(info.VuiOffset(), scan.FileSize())});
    }
    std::vector<size_t> widths(lines[0].size(), 0);
    for (const auto &line : lines)
        for (size_t column = 0; column < line.size(); ++column)
            widths[column] = std::max(widths[column], line[column].size());
    for (const auto &line : lines) {
        std::string text;
        for (size_t column = 0; column < line.size(); ++column) {
            text += line[column];
            if (column + 1 < line.size())
                text += std::string(widths[column] - line[column].size() + 2, ' ');
        }
        std::cout << text << '\n';
    }
    std::vector<const TTrack *> tracks;
    for (size_t row = 0; row < records.Count(); ++row) {
        const TTrack *track = records.Items(row)->Track;
        if (track != nullptr && track->HasStatement() &&
            std::find(tracks.begin(), tracks.end(), track) == tracks.end())
            tracks.push_back(track);
    }
    for (const TTrack *track : tracks)
        std::cout << Format(SContainerAspectNote, track->Number, TrackDar(*track)) << '\n';
}

// The document of list, and of set when its result is given.
void WriteJson(TScan &scan, const TOptions &options, const TSetResult *set) {
    TJsonWriter json(std::cout);
    json.BeginObject();
    json.Field("file", options.FileName);
    json.Field("size", scan.FileSize());
    json.Field("scanner", scan.ScannerName());
    json.Field("format", FormatName(scan.Session().Format));
    json.Field("sps_count", scan.SpsCount());
    json.Field("damaged_sps_count", scan.Session().DamagedSpsCount);
    json.Key("notices");
    json.BeginArray();
    for (const TScanNotice &notice : scan.Session().Notices) {
        json.BeginObject();
        json.Field("kind", NoticeKindName(notice.Kind));
        json.Field("offset", notice.FileOffset);
        json.Field("text", notice.Text);
        json.EndObject();
    }
    json.EndArray();
    if (set) {
        json.FieldBoolean("dry_run", options.DryRun);
        json.Key("container_changes");
        json.BeginArray();
        for (const std::string &change : set->ContainerChanges)
            json.String(change);
        json.EndArray();
        json.Key("patches");
        json.BeginArray();
        for (const std::string &line : set->PatchLines)
            json.String(line);
        json.EndArray();
    }
    json.Key("records");
    json.BeginArray();
    const TARInfoList &records = scan.Records();
    for (size_t row = 0; row < records.Count(); ++row) {
        const TARInfo &info = *records.Items(row);
        json.BeginObject();
        json.Field("row", static_cast<int64_t>(row));
        json.Field("sar", info.SarText());
        json.Field("sar_width", info.EffectiveSarWidth());
        json.Field("sar_height", info.EffectiveSarHeight());
        json.Field("aspect_ratio_idc", info.EffectiveAspectRatioIdc());
        json.Field("type", info.TypeText());
        json.Field("width", info.Width());
        json.Field("height", info.Height());
        json.Field("resolution", info.ResolutionText());
        json.Field("dar", info.DarText());
        if (info.IsContainerRow()) {
            // The container's statement: no SPS, its place in the file.
            json.Key("sps_id");
            json.Null();
            json.Field("sps_offset", info.SpsOffset());
            for (const char *key : {"vui_offset", "vui_bit_offset", "video_format", "overscan"}) {
                json.Key(key);
                json.Null();
            }
        } else {
            json.Field("sps_id", info.SpsId());
            json.Field("sps_offset", info.SpsOffset());
            json.Field("vui_offset", info.VuiOffset());
            json.Field("vui_bit_offset", Vui(info).BitOffset);
            json.Field("video_format", Vui(info).VideoFormatText());
            json.Field("overscan", Vui(info).OverscanText());
        }
        json.Key("container_dar");
        if (std::optional<std::string> dar = ContainerDar(info))
            json.String(*dar);
        else
            json.Null();
        if (set) {
            json.FieldBoolean("selected", set->Rows[row].Selected);
            json.FieldBoolean("changed", set->Rows[row].Changed);
            json.FieldBoolean("written", set->Rows[row].Written);
        }
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
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

} // namespace

int RunList(const TOptions &options) {
    TScan scan(options);
    if (!scan.Run())
        return ExitRefused;
    if (options.Json)
        WriteJson(scan, options, nullptr);
    else
        WriteTable(scan);
    return ExitDone;
}

int RunSet(const TOptions &options) {
    TScan scan(options);
    if (!scan.Run())
        return ExitRefused;
    TARInfoList &records = scan.Records();
    std::vector<size_t> chosen;
    if (options.Rows) {
        chosen = ResolveRows(*options.Rows, records.Count());
    } else {
        for (size_t row = 0; row < records.Count(); ++row)
            chosen.push_back(row);
    }

    TSetResult result;
    std::vector<TRowOutcome> &outcomes = result.Rows;
    outcomes.resize(records.Count());
    std::vector<std::string> previousSar(records.Count());
    std::vector<TWriteRefusal> refusals;
    bool anyChange = false;
    const TRatioChange change = RequestedChange(options);
    for (size_t row : chosen) {
        TARInfo &info = *records.Items(row);
        previousSar[row] = info.SarText();
        outcomes[row].Selected = true;
        std::string reason = change.ApplyTo(info);
        if (!reason.empty())
            refusals.push_back({row, reason});
        outcomes[row].Changed = reason.empty() && info.IsChanged();
        anyChange = anyChange || outcomes[row].Changed;
    }

    if (anyChange) {
        // A dry run checks against the file as it is now, but does not need to be able to write it.
        TFileStream file(options.FileName, options.DryRun ? TFileOpenMode::ReadShareDenyWrite
                                                          : TFileOpenMode::ReadWriteExclusive);
        TPatchPlan plan = records.PlanChanges();
        std::vector<TWriteRefusal> checked = plan.Check(file);
        refusals.insert(refusals.end(), checked.begin(), checked.end());
        // Told before writing: once written, the records no longer count as changed.
        if (refusals.empty()) {
            for (const TPlanEntry &entry : plan.Entries)
                if (entry.Kind == TPlanEntry::TKind::Container)
                    result.ContainerChanges.push_back(entry.Description);
            result.ContainerChanges.insert(result.ContainerChanges.end(), plan.Notes.begin(),
                                           plan.Notes.end());
            result.PatchLines = plan.PatchLines();
        }
        if (refusals.empty() && !options.DryRun) {
            plan.Apply(file);
            for (TRowOutcome &outcome : outcomes)
                outcome.Written = outcome.Changed;
        }
    }
    if (!refusals.empty()) {
        std::sort(refusals.begin(), refusals.end(),
                  [](const TWriteRefusal &a, const TWriteRefusal &b) { return a.Index < b.Index; });
        for (const TWriteRefusal &refusal : refusals)
            std::cerr << Format(SRowRefused, refusal.Index, refusal.Reason) << '\n';
        return ExitRefused;
    }

    if (options.Json) {
        WriteJson(scan, options, &result);
        return ExitDone;
    }
    if (records.Count() == 0) {
        std::cout << SNoRows << '\n';
        return ExitDone;
    }
    int64_t changed = 0;
    for (size_t row : chosen) {
        const TARInfo &info = *records.Items(row);
        int64_t index = static_cast<int64_t>(row);
        if (outcomes[row].Changed) {
            ++changed;
            const std::string offset =
                OffsetText(info.IsContainerRow() ? info.SpsOffset() : info.VuiOffset(), scan.FileSize());
            std::cout << (options.DryRun
                              ? Format(SRowWouldBeWritten, index, previousSar[row], info.SarText(),
                                       info.TypeText(), info.EffectiveAspectRatioIdc(), info.DarText(),
                                       offset)
                              : Format(SRowWritten, index, previousSar[row], info.SarText(), info.TypeText(),
                                       info.EffectiveAspectRatioIdc(), info.DarText(), offset))
                      << '\n';
        } else {
            std::cout << Format(SRowUnchanged, index, info.SarText(), info.TypeText(),
                                info.EffectiveAspectRatioIdc())
                      << '\n';
        }
    }
    for (const std::string &line : result.ContainerChanges)
        std::cout << (options.DryRun ? Format(SDryRunNote, line) : line) << '\n';
    if (options.DryRun)
        for (const std::string &line : result.PatchLines)
            std::cout << Format(SDryRunPatch, line) << '\n';
    const auto chosenCount = static_cast<int64_t>(chosen.size());
    std::cout << (options.DryRun ? Format(SRowsWouldBeWritten, changed, chosenCount)
                                 : Format(SRowsWritten, changed, chosenCount))
              << '\n';
    return ExitDone;
}
