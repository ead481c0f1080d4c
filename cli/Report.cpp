#include "Report.h"

#include "CliTexts.h"
#include "Console.h"
#include "base/AppTexts.h"
#include "base/Exceptions.h"
#include "base/FormatFacts.h"
#include "base/ShownTexts.h"
#include "scan/FormatProbe.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>

using TJson = nlohmann::ordered_json;

void TSummary::Count(TFileStatus status) {
    ++Files;
    switch (status) {
    case TFileStatus::Listed:
        ++Listed;
        break;
    case TFileStatus::Changed:
        ++Changed;
        break;
    case TFileStatus::Unchanged:
        ++Unchanged;
        break;
    case TFileStatus::Refused:
        ++Refused;
        break;
    case TFileStatus::Failed:
        ++Failed;
        break;
    }
}

// --- Standard error

TConsole::TConsole(bool batch) : FBatch(batch), FEnabled(StandardOutputsAreTerminals()) {}

void TConsole::BeginFile(size_t index, size_t count, const std::string &fileName) {
    FIndex = index;
    FCount = count;
    FFileName = TerminalText(fileName);
}

namespace {

// The number of characters of a UTF-8 text (continuation bytes do not count).
size_t Characters(const std::string &text) {
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The end of a file name when the whole does not fit: "...name.avi", cut between characters.
std::string NameEnd(const std::string &name, size_t characters) {
    constexpr const char *Ellipsis = "...";
    if (Characters(name) <= characters)
        return name;
    size_t keep = characters > 3 ? characters - 3 : 0;
    size_t at = name.size();
    while (at > 0 && keep > 0) {
        --at;
        if ((static_cast<unsigned char>(name[at]) & 0xC0) != 0x80)
            --keep;
    }
    return Ellipsis + name.substr(at);
}

} // namespace

void TConsole::Progress(int64_t position, int64_t total) {
    if (!FEnabled)
        return;
    if (position <= 0 || total <= 0) {
        ClearProgress();
        return;
    }
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.1f",
                  static_cast<double>(static_cast<float>(static_cast<double>(position) / total * 100.0)));
    std::string text = Format(SScanningProgress, std::string(percent));
    if (FBatch) {
        // The line must fit the terminal, or each rewrite would begin a line of its own.
        const std::string frame = Format(SBatchProgress, static_cast<int64_t>(FIndex),
                                         static_cast<int64_t>(FCount), std::string(), text);
        const size_t width = TerminalWidth();
        const size_t room = width > Characters(frame) + 1 ? width - Characters(frame) - 1 : 0;
        text = Format(SBatchProgress, static_cast<int64_t>(FIndex), static_cast<int64_t>(FCount),
                      NameEnd(FFileName, room), text);
    }
    Show(text);
}

void TConsole::Show(const std::string &text) {
    if (text == FShown)
        return;
    const size_t shown = Characters(FShown);
    const size_t blanks = shown > Characters(text) ? shown - Characters(text) : 0;
    std::cout << std::flush;
    std::cerr << '\r' << text << std::string(blanks, ' ') << std::flush;
    FShown = text;
}

void TConsole::ClearProgress() {
    if (FShown.empty())
        return;
    std::cerr << '\r' << std::string(Characters(FShown), ' ') << '\r' << std::flush;
    FShown.clear();
}

void TConsole::Message(const std::string &fileName, const std::string &line) {
    NamedMessage(FBatch ? Format(SFileMessage, TerminalText(fileName), line) : line);
}

void TConsole::NamedMessage(const std::string &line) {
    ClearProgress();
    std::cout << std::flush;
    std::cerr << line << '\n' << std::flush;
}

namespace {

std::string RatioText(TRatio ratio) {
    return std::to_string(ratio.X) + ":" + std::to_string(ratio.Y);
}

bool IsRatio(TRatio ratio) {
    return ratio.X > 0 && ratio.Y > 0;
}

// What the container states for the track, when it states a usable display aspect ratio.
const TTrack *StatingTrack(const TScanSession &session, const TTrack *track) {
    if (track == nullptr || !FormatStatesAspectRatio(session.Format) || !track->HasStatement() ||
        !IsRatio(track->StatedDisplayAspectRatio()))
        return nullptr;
    return track;
}

// "AVI (RIFF)" -> "AVI": the name in "the AVI container".
std::string ContainerName(TFileFormat format) {
    const std::string name = FormatName(format);
    return name.substr(0, name.find(" ("));
}

std::string Capitalized(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

// --- JSON

const char *StatusName(TFileStatus status) {
    switch (status) {
    case TFileStatus::Listed:
        return "listed";
    case TFileStatus::Changed:
        return "changed";
    case TFileStatus::Unchanged:
        return "unchanged";
    case TFileStatus::Refused:
        return "refused";
    case TFileStatus::Failed:
        break;
    }
    return "failed";
}

const char *NoticeKindName(TScanNotice::TKind kind) {
    switch (kind) {
    case TScanNotice::TKind::DamagedUnit:
        return "damaged_sps";
    case TScanNotice::TKind::NotScanned:
        return "not_scanned";
    case TScanNotice::TKind::Structure:
        break;
    }
    return "structure";
}

TJson RatioOrNull(TRatio ratio) {
    return IsRatio(ratio) ? TJson(RatioText(ratio)) : TJson(nullptr);
}

TJson TrackJson(const TScanSession &session, const TTrack &track) {
    const bool states = StatingTrack(session, &track) != nullptr;
    TJson json;
    json["number"] = track.Number;
    json["label"] = track.Label;
    json["codec"] = track.Codec != nullptr ? TJson(track.Codec->Key) : TJson(nullptr);
    json["width"] = track.Width;
    json["height"] = track.Height;
    json["container_dar"] = states ? RatioOrNull(track.StatedDisplayAspectRatio()) : TJson(nullptr);
    json["container_sar"] = states ? RatioOrNull(track.StatedSampleAspectRatio()) : TJson(nullptr);
    json["statements"] = TJson::array();
    for (const auto &statement : track.Statements)
        json["statements"].push_back({{"offset", statement->FileOffset()},
                                      {"dar", RatioOrNull(statement->DisplayAspectRatio())},
                                      {"sar", RatioOrNull(statement->SampleAspectRatio())}});
    json["not_written"] = track.NotWritten.empty() ? TJson(nullptr) : TJson(track.NotWritten);
    return json;
}

TJson RecordJson(const TFileResult &result, size_t row) {
    const TScanSession &session = *result.Session;
    const TARInfo &info = *session.ARInfoList.Items(row);
    TJson json;
    json["row"] = row;
    json["sar"] = info.SarText();
    json["sar_width"] = info.EffectiveSarWidth();
    json["sar_height"] = info.EffectiveSarHeight();
    json["aspect_ratio_idc"] = info.EffectiveAspectRatioIdc();
    json["type"] = info.TypeText();
    json["codec"] = info.CodecEntry() != nullptr ? TJson(info.CodecEntry()->Key) : TJson(nullptr);
    json["width"] = info.Width();
    json["height"] = info.Height();
    json["resolution"] = info.ResolutionText();
    json["dar"] = info.DarText();
    if (info.IsContainerRow()) {
        // The container's statement: no SPS, its place in the file.
        json["sps_id"] = nullptr;
        json["sps_offset"] = info.SpsOffset();
        for (const char *key : {"vui_offset", "vui_bit_offset", "video_format", "overscan"})
            json[key] = nullptr;
    } else {
        json["sps_id"] = info.SpsId();
        json["sps_offset"] = info.SpsOffset();
        json["vui_offset"] = info.VuiOffset();
        json["vui_bit_offset"] = info.Unit->FieldsBitOffset();
        json["video_format"] = info.Unit->VideoFormatText();
        json["overscan"] = info.Unit->OverscanText();
    }
    const TTrack *stating = StatingTrack(session, info.Track);
    json["container_dar"] = stating ? TJson(RatioText(stating->StatedDisplayAspectRatio())) : TJson(nullptr);
    json["track"] = info.Track != nullptr ? TJson(info.Track->Number) : TJson(nullptr);
    if (!result.Rows.empty()) {
        json["selected"] = result.Rows[row].Selected;
        json["changed"] = result.Rows[row].Changed;
        json["written"] = result.Rows[row].Written;
    }
    return json;
}

// A file's object but its records (WriteFileJson writes them behind it).
TJson FileJson(const TFileResult &result, TCommand command) {
    TJson json;
    json["file"] = result.FileName;
    json["status"] = StatusName(result.Status);
    json["error"] = result.Status == TFileStatus::Failed ? TJson(result.Error) : TJson(nullptr);
    json["refusals"] = TJson::array();
    for (const TRefusal &refusal : result.Refusals)
        json["refusals"].push_back(
            {{"row", refusal.Row == TRefusal::NoRow ? TJson(nullptr) : TJson(refusal.Row)},
             {"reason", refusal.Reason}});
    const TScanSession *session = result.Session.get();
    if (session != nullptr)
        json["size"] = session->FileSize;
    json["scanner"] = result.Format ? TJson(FormatKeyword(*result.Format)) : TJson(nullptr);
    json["format"] = result.Format ? TJson(FormatName(*result.Format)) : TJson(nullptr);
    if (session == nullptr)
        return json;
    json["sps_count"] = session->RatioUnitCount;
    json["damaged_sps_count"] = session->DamagedUnitCount;
    json["notices"] = TJson::array();
    for (const TScanNotice &notice : session->Notices)
        json["notices"].push_back(
            {{"kind", NoticeKindName(notice.Kind)}, {"offset", notice.FileOffset}, {"text", notice.Text}});
    json["container_states_aspect_ratio"] = FormatStatesAspectRatio(session->Format);
    json["tracks"] = TJson::array();
    for (const TTrack &track : session->Tracks)
        json["tracks"].push_back(TrackJson(*session, track));
    if (command == TCommand::Set) {
        json["dry_run"] = result.DryRun;
        json["container_changes"] = result.ContainerChanges;
        json["patches"] = result.PatchLines;
    }
    return json;
}

TJson SummaryJson(const TSummary &summary, TCommand command) {
    TJson json;
    json["files"] = summary.Files;
    if (command == TCommand::Set) {
        json["changed"] = summary.Changed;
        json["unchanged"] = summary.Unchanged;
    } else {
        json["listed"] = summary.Listed;
    }
    json["refused"] = summary.Refused;
    json["failed"] = summary.Failed;
    json["skipped"] = summary.Skipped;
    return json;
}

// Valid UTF-8 is kept as it is, control characters are escaped, and bytes that are not UTF-8 (in a file
// name from Linux, say) become U+FFFD.
std::string JsonText(const TJson &json, int indent) {
    return json.dump(indent, ' ', false, TJson::error_handler_t::replace);
}

// A document indented by two more blanks on every line after the first.
std::string Nested(const std::string &text, size_t depth) {
    std::string nested;
    for (char c : text) {
        nested += c;
        if (c == '\n')
            nested += std::string(2 * depth, ' ');
    }
    return nested;
}

// A file's object, its records written one by one behind the rest, so that a file of hundreds of
// thousands of rows never stands in memory as one document: indented by 2 for depth levels, or (indent
// -1) on one line.
void WriteFileJson(std::ostream &out, const TFileResult &result, TCommand command, int indent, size_t depth) {
    std::string head = JsonText(FileJson(result, command), indent);
    if (result.Session == nullptr) {
        out << Nested(head, depth);
        return;
    }
    const bool lines = indent >= 0;
    const std::string member = lines ? "\n" + std::string(2 * depth + 2, ' ') : "";
    const std::string element = lines ? "\n" + std::string(2 * depth + 4, ' ') : "";
    head.pop_back(); // the closing brace, and the line break in front of it
    while (!head.empty() && (head.back() == '\n' || head.back() == ' '))
        head.pop_back();
    out << Nested(head, depth) << "," << member << (lines ? "\"records\": [" : "\"records\":[");
    const TARInfoList &records = result.Session->ARInfoList;
    for (size_t row = 0; row < records.Count(); ++row)
        out << (row == 0 ? "" : ",") << element
            << Nested(JsonText(RecordJson(result, row), indent), depth + 2);
    out << (records.Count() > 0 ? member : "") << "]" << (lines ? "\n" + std::string(2 * depth, ' ') : "")
        << "}";
}

const char *CommandName(TCommand command) {
    return command == TCommand::Set ? "set" : "list";
}

// One document for the call. The files are written as each is done, so that a call over thousands of
// files holds one file's records at a time.
class TJsonReport : public TReport {
public:
    TJsonReport(const TOptions &options, std::ostream &out) : FOptions(options), FOut(out) {
        FOut << "{\n  \"command\": " << JsonText(CommandName(options.Command), -1) << ",\n";
        if (options.Command == TCommand::Set)
            FOut << "  \"dry_run\": " << JsonText(options.DryRun, -1) << ",\n";
        FOut << "  \"files\": [";
    }

    void FileStarted(const std::string &, std::optional<TFileFormat>) override {}

    void FileDone(const TFileResult &result) override {
        FOut << (FFiles++ == 0 ? "\n    " : ",\n    ");
        WriteFileJson(FOut, result, FOptions.Command, 2, 2);
        FOut << std::flush;
    }

    void Finish(const TSummary &summary) override {
        FOut << (FFiles > 0 ? "\n  ]" : "]")
             << ",\n  \"summary\": " << Nested(JsonText(SummaryJson(summary, FOptions.Command), 2), 1)
             << "\n}\n"
             << std::flush;
    }

private:
    const TOptions &FOptions;
    std::ostream &FOut;
    size_t FFiles = 0;
};

// One compact document per file, on its own line, as each is done.
class TJsonLinesReport : public TReport {
public:
    TJsonLinesReport(const TOptions &options, std::ostream &out) : FOptions(options), FOut(out) {}

    void FileStarted(const std::string &, std::optional<TFileFormat>) override {}

    void FileDone(const TFileResult &result) override {
        WriteFileJson(FOut, result, FOptions.Command, -1, 0);
        FOut << '\n' << std::flush;
    }

    void Finish(const TSummary &) override {}

private:
    const TOptions &FOptions;
    std::ostream &FOut;
};

// --- Text

class TTextReport : public TReport {
public:
    TTextReport(const TOptions &options, bool batch, std::ostream &out)
        : FOptions(options), FBatch(batch), FOut(out) {}

    void FileStarted(const std::string &fileName, std::optional<TFileFormat> format) override {
        if (!FBatch)
            return;
        if (FFiles++ > 0)
            FOut << '\n';
        FOut << (format ? Format(SFileHeading, TerminalText(fileName), FormatName(*format))
                        : Format(SFileHeadingNoFormat, TerminalText(fileName)))
             << '\n'
             << std::flush;
    }

    void FileDone(const TFileResult &result) override {
        switch (result.Status) {
        case TFileStatus::Listed:
            WriteTable(result);
            break;
        case TFileStatus::Changed:
        case TFileStatus::Unchanged:
            WriteSet(result);
            break;
        case TFileStatus::Refused:
        case TFileStatus::Failed:
            break; // told on standard error
        }
        FOut << std::flush;
    }

    void Finish(const TSummary &summary) override {
        if (!FBatch)
            return;
        std::string line;
        if (FOptions.Command == TCommand::List)
            line = Format(SListSummary, summary.Files, summary.Listed, summary.Refused, summary.Failed);
        else if (FOptions.DryRun)
            line = Format(SDryRunSummary, summary.Files, summary.Changed, summary.Unchanged, summary.Refused,
                          summary.Failed);
        else
            line = Format(SSetSummary, summary.Files, summary.Changed, summary.Unchanged, summary.Refused,
                          summary.Failed);
        if (summary.Skipped > 0)
            line += Format(SSkippedSummary, summary.Skipped);
        FOut << (FFiles > 0 ? "\n" : "") << line << ".\n" << std::flush;
    }

private:
    void WriteTable(const TFileResult &result) {
        const TScanSession &session = *result.Session;
        FOut << Format(SSpsFound, session.RatioUnitCount) << '\n';
        // The cells of a row are made twice, for the widths and for the line, rather than kept: a file
        // may have hundreds of thousands of rows.
        const std::vector<std::string> heading{"#",      "SAR",        "Type",       "Resolution", "DAR",
                                               "SPS Id", "SPS Offset", "VUI Offset", "Track"};
        const TARInfoList &records = session.ARInfoList;
        auto cells = [&](size_t row) -> std::vector<std::string> {
            const TARInfo &info = *records.Items(row);
            const bool container = info.IsContainerRow();
            return {std::to_string(row),
                    info.SarText(),
                    info.TypeText(),
                    info.ResolutionText(),
                    info.DarText(),
                    container ? SNoValue : std::to_string(info.SpsId()),
                    OffsetText(info.SpsOffset(), session.FileSize),
                    container ? SNoValue : OffsetText(info.VuiOffset(), session.FileSize),
                    info.Track != nullptr ? std::to_string(info.Track->Number) : SNoValue};
        };
        std::vector<size_t> widths(heading.size(), 0);
        auto widen = [&](const std::vector<std::string> &line) {
            for (size_t column = 0; column < line.size(); ++column)
                widths[column] = std::max(widths[column], line[column].size());
        };
        auto write = [&](const std::vector<std::string> &line) {
            std::string text;
            for (size_t column = 0; column < line.size(); ++column) {
                text += line[column];
                if (column + 1 < line.size())
                    text += std::string(widths[column] - line[column].size() + 2, ' ');
            }
            FOut << text << '\n';
        };
        widen(heading);
        for (size_t row = 0; row < records.Count(); ++row)
            widen(cells(row));
        write(heading);
        for (size_t row = 0; row < records.Count(); ++row)
            write(cells(row));
        std::vector<size_t> all(records.Count());
        for (size_t row = 0; row < all.size(); ++row)
            all[row] = row;
        WriteContainerLines(result, all, true);
    }

    // What the container states about the tracks of the rows: per track the display aspect ratio it
    // states (when stated is asked for) or that it states none; one line for a format that states none.
    void WriteContainerLines(const TFileResult &result, const std::vector<size_t> &rows, bool stated) {
        const TScanSession &session = *result.Session;
        if (rows.empty())
            return;
        if (!FormatStatesAspectRatio(session.Format)) {
            if (ElementaryCodecOf(session.Format) == nullptr)
                FOut << SContainerStatesNoRatio << '\n';
            else if (result.ContentFormat && ElementaryCodecOf(*result.ContentFormat) == nullptr &&
                     *result.ContentFormat != TFileFormat::Unknown)
                FOut << Format(SContainerNotRead, ContainerName(*result.ContentFormat)) << '\n';
            else
                FOut << SRawStreamNoContainer << '\n';
            return;
        }
        std::vector<const TTrack *> tracks;
        for (size_t row : rows) {
            const TTrack *track = session.ARInfoList.Items(row)->Track;
            if (track != nullptr && std::find(tracks.begin(), tracks.end(), track) == tracks.end())
                tracks.push_back(track);
        }
        const std::string container = ContainerName(session.Format);
        for (const TTrack *track : tracks) {
            const std::string label = TerminalText(Capitalized(track->Label));
            if (StatingTrack(session, track) == nullptr)
                FOut << Format(STrackStatesNoRatio, label, container) << '\n';
            else if (stated)
                FOut << Format(SContainerAspectNote, label, container,
                               RatioText(track->StatedDisplayAspectRatio()))
                     << '\n';
        }
    }

    void WriteSet(const TFileResult &result) {
        const TScanSession &session = *result.Session;
        const TARInfoList &records = session.ARInfoList;
        const bool dryRun = FOptions.DryRun;
        int64_t changed = 0;
        for (size_t row : result.Chosen) {
            const TARInfo &info = *records.Items(row);
            const TRowOutcome &outcome = result.Rows[row];
            const auto index = static_cast<int64_t>(row);
            changed += outcome.Changed ? 1 : 0;
            if (info.IsContainerRow()) {
                const std::string track = TerminalText(info.Track->Label);
                const std::string offset = OffsetText(info.SpsOffset(), session.FileSize);
                if (!outcome.Changed)
                    FOut << Format(SContainerRowUnchanged, index, info.SarText(), track);
                else if (dryRun)
                    FOut << Format(SContainerRowWouldBeWritten, index, outcome.PreviousSar, info.SarText(),
                                   track, info.DarText(), offset);
                else
                    FOut << Format(SContainerRowWritten, index, outcome.PreviousSar, info.SarText(), track,
                                   info.DarText(), offset);
            } else {
                const std::string offset = OffsetText(info.VuiOffset(), session.FileSize);
                if (!outcome.Changed)
                    FOut << Format(SRowUnchanged, index, info.SarText(), info.TypeText(),
                                   info.EffectiveAspectRatioIdc());
                else if (dryRun)
                    FOut << Format(SRowWouldBeWritten, index, outcome.PreviousSar, info.SarText(),
                                   info.TypeText(), info.EffectiveAspectRatioIdc(), info.DarText(), offset);
                else
                    FOut << Format(SRowWritten, index, outcome.PreviousSar, info.SarText(), info.TypeText(),
                                   info.EffectiveAspectRatioIdc(), info.DarText(), offset);
            }
            FOut << '\n';
        }
        for (const std::string &line : result.ContainerChanges)
            FOut << TerminalText(dryRun ? Format(SDryRunNote, line) : line) << '\n';
        WriteContainerLines(result, result.Chosen, false);
        if (dryRun)
            for (const std::string &line : result.PatchLines)
                FOut << TerminalText(Format(SDryRunPatch, line)) << '\n';
        const auto chosen = static_cast<int64_t>(result.Chosen.size());
        FOut << (dryRun ? Format(SRowsWouldBeWritten, changed, chosen)
                        : Format(SRowsWritten, changed, chosen))
             << '\n';
    }

    const TOptions &FOptions;
    bool FBatch;
    std::ostream &FOut;
    size_t FFiles = 0;
};

} // namespace

std::unique_ptr<TReport> MakeReport(const TOptions &options, bool batch, std::ostream &out) {
    switch (options.Output) {
    case TOutputKind::Json:
        return std::make_unique<TJsonReport>(options, out);
    case TOutputKind::JsonLines:
        return std::make_unique<TJsonLinesReport>(options, out);
    case TOutputKind::Text:
        break;
    }
    return std::make_unique<TTextReport>(options, batch, out);
}
