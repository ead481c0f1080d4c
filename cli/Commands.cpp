#include "Commands.h"

#include "CliTexts.h"
#include "Console.h"
#include "JsonWriter.h"
#include "Utils.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "base/Streams.h"
#include "scan/uRIFFParser.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace {

constexpr uint8_t ExtendedSarIdc = 255;
constexpr int64_t MaxSarTerm = 65535;

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
        std::string text = Format(SScanningPercent, {std::string(percent)});
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

// One scan of the file named on the command line, with the scanner its name or the options choose.
// The AVI scanner exists in any case: it owns the record list both scanners fill.
class TScan {
public:
    explicit TScan(const TOptions &options) : FOptions(options), FAvi(UsesAviScanner(options)) {
        FRiff.DeepScan = !options.FirstNalOnly;
        FRiff.OnForeignHandler = [this](const std::string &fourCC) {
            FProgress.Clear();
            std::cerr << Format(SForeignFourCC, {fourCC}) << '\n';
            if (!FOptions.Yes)
                FForeignDeclined = true;
            return FOptions.Yes;
        };
        auto progress = [this](const std::string &, int64_t position, int64_t total) {
            FProgress.Show(position, total);
        };
        FRiff.OnProgress = progress;
        FStream.OnProgress = progress;
    }

    // Scans the file. False, with the reason on standard error, when the scan stopped at a video
    // stream whose handler code is not an H.264 code.
    bool Run() {
        std::error_code ignored;
        if (std::filesystem::is_directory(Utf8Path(FOptions.FileName), ignored))
            throw EInOutError(Format(SCannotOpenFile, {FOptions.FileName, SIsAFolder}));
        ARInfoList->Clear();
        TParser &parser = Parser();
        parser.Aborted = false;
        parser.Parse(FOptions.FileName);
        if (FForeignDeclined)
            std::cerr << SForeignNotScanned << '\n';
        return !FForeignDeclined;
    }

    TARInfoList &Records() const { return *ARInfoList; }
    size_t SpsCount() { return Parser().NALUnits.size(); }
    int64_t FileSize() { return Parser().FileSize; }
    const char *ScannerName() const { return FAvi ? "avi" : "stream"; }

private:
    TParser &Parser() { return FAvi ? static_cast<TParser &>(FRiff) : FStream; }

    const TOptions &FOptions;
    bool FAvi;
    bool FForeignDeclined = false;
    TProgressLine FProgress;
    TRIFFParser FRiff; // before FStream: its record list outlives the records of both scanners
    TStreamParser FStream;
};

const TVUIParameters &Vui(const TARInfo &info) {
    return *info.SequenceParameterSet->VUIParameters;
}

// What set did to one row, for the JSON document.
struct TRowOutcome {
    bool Selected = false;
    bool Changed = false;
    bool Written = false;
};

// What set did: per row, and to the aspect ratios the AVI container states beside the SPS.
struct TSetResult {
    std::vector<TRowOutcome> Rows;
    std::vector<std::string> ContainerChanges;
};

void WriteTable(TScan &scan) {
    std::cout << Format(SSpsFound, {static_cast<int64_t>(scan.SpsCount())}) << '\n';
    std::vector<std::vector<std::string>> lines{
        {"#", "SAR", "Type", "Resolution", "DAR", "SPS Id", "SPS Offset", "VUI Offset"}};
    const TARInfoList &records = scan.Records();
    for (size_t row = 0; row < records.Count(); ++row) {
        const TARInfo &info = *records.Items(row);
        lines.push_back({std::to_string(row), info.SarText(), info.TypeText(), info.ResolutionText(),
                         info.DarText(), std::to_string(info.SpsId()),
                         OffsetText(info.SequenceParameterSet->Position, scan.FileSize()),
                         OffsetText(Vui(info).Position, scan.FileSize())});
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
    std::vector<const TContainerAspectRatio *> containers;
    for (size_t row = 0; row < records.Count(); ++row) {
        const TContainerAspectRatio *container = records.Items(row)->ContainerAspectRatio;
        if (container != nullptr &&
            std::find(containers.begin(), containers.end(), container) == containers.end())
            containers.push_back(container);
    }
    for (const TContainerAspectRatio *container : containers)
        std::cout << Format(SContainerAspectNote, {container->StreamNumber, container->Text()}) << '\n';
}

// The document of list, and of set when its result is given.
void WriteJson(TScan &scan, const TOptions &options, const TSetResult *set) {
    TJsonWriter json(std::cout);
    json.BeginObject();
    json.Field("file", options.FileName);
    json.Field("size", scan.FileSize());
    json.Field("scanner", scan.ScannerName());
    json.Field("sps_count", static_cast<int64_t>(scan.SpsCount()));
    if (set) {
        json.FieldBoolean("dry_run", options.DryRun);
        json.Key("container_changes");
        json.BeginArray();
        for (const std::string &change : set->ContainerChanges)
            json.String(change);
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
        json.Field("sps_id", info.SpsId());
        json.Field("sps_offset", info.SequenceParameterSet->Position);
        json.Field("vui_offset", Vui(info).Position);
        json.Field("vui_bit_offset", Vui(info).BitOffset);
        json.Field("video_format", Vui(info).VideoFormatText());
        json.Field("overscan", Vui(info).OverscanText());
        json.Key("container_dar");
        if (info.ContainerAspectRatio != nullptr)
            json.String(info.ContainerAspectRatio->Text());
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

void SetPredefined(TARInfo &info, uint8_t code) {
    info.NewAspectRatioIdc = code;
    info.NewSarWidth = PredefinedSarWidth(code);
    info.NewSarHeight = PredefinedSarHeight(code);
}

// Puts the new value of the options into a record, keeping the record's kind for --sar and --dar.
// Returns why the record can not take it, or an empty text.
std::string SetNewValue(const TOptions &options, TARInfo &info) {
    if (options.NewValue == TNewValue::Idc) {
        SetPredefined(info, options.Idc);
        return {};
    }
    TRatio sar = options.NewValue == TNewValue::Sar
                     ? options.Ratio
                     : SarFromDar(options.Ratio.X, options.Ratio.Y, info.Width(), info.Height());
    if (info.CurrentAspectRatioIdc() != ExtendedSarIdc) {
        uint8_t code = PredefinedCodeForRatio(sar.X, sar.Y);
        if (code == 0)
            return std::string(SSaveKindMismatch) + " " + Format(SNoPredefinedRatio, {sar.X, sar.Y});
        SetPredefined(info, code);
        return {};
    }
    // The record holds 32-bit terms; the file only 16-bit ones.
    if (sar.X < 1 || sar.X > MaxSarTerm || sar.Y < 1 || sar.Y > MaxSarTerm)
        return Format(SCustomTermOutOfRange, {sar.X, sar.Y});
    info.NewAspectRatioIdc = ExtendedSarIdc;
    info.NewSarWidth = static_cast<int32_t>(sar.X);
    info.NewSarHeight = static_cast<int32_t>(sar.Y);
    return {};
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
    for (size_t row : chosen) {
        TARInfo &info = *records.Items(row);
        previousSar[row] = info.SarText();
        outcomes[row].Selected = true;
        std::string reason = SetNewValue(options, info);
        if (!reason.empty())
            refusals.push_back({row, reason});
        outcomes[row].Changed = reason.empty() && info.IsChanged();
        anyChange = anyChange || outcomes[row].Changed;
    }

    if (anyChange) {
        // A dry run checks against the file as it is now, but does not need to be able to write it.
        TFileStream file(options.FileName, options.DryRun ? TFileOpenMode::ReadShareDenyWrite
                                                          : TFileOpenMode::ReadWriteExclusive);
        std::vector<TWriteRefusal> checked = records.CheckChanges(file);
        refusals.insert(refusals.end(), checked.begin(), checked.end());
        // Told before writing: once written, the records no longer count as changed.
        if (refusals.empty())
            result.ContainerChanges = records.DescribeContainerChanges();
        if (refusals.empty() && !options.DryRun) {
            if (!records.WriteChanges(file))
                throw Exception(SWriteStopped);
            for (TRowOutcome &outcome : outcomes)
                outcome.Written = outcome.Changed;
        }
    }
    if (!refusals.empty()) {
        std::sort(refusals.begin(), refusals.end(),
                  [](const TWriteRefusal &a, const TWriteRefusal &b) { return a.Index < b.Index; });
        for (const TWriteRefusal &refusal : refusals)
            std::cerr << Format(SRowRefused, {static_cast<int64_t>(refusal.Index), refusal.Reason}) << '\n';
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
            std::cout << Format(options.DryRun ? SRowWouldBeWritten : SRowWritten,
                                {index, previousSar[row], info.SarText(), info.TypeText(),
                                 info.EffectiveAspectRatioIdc(), info.DarText(),
                                 OffsetText(Vui(info).Position, scan.FileSize())})
                      << '\n';
        } else {
            std::cout << Format(SRowUnchanged,
                                {index, info.SarText(), info.TypeText(), info.EffectiveAspectRatioIdc()})
                      << '\n';
        }
    }
    for (const std::string &change : result.ContainerChanges)
        std::cout << (options.DryRun ? Format(SDryRunNote, {change}) : change) << '\n';
    std::cout << Format(options.DryRun ? SRowsWouldBeWritten : SRowsWritten,
                        {changed, static_cast<int64_t>(chosen.size())})
              << '\n';
    return ExitDone;
}
