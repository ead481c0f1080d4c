#include "JsonReport.h"

#include "StatedRatio.h"
#include "base/FormatFacts.h"

#include <nlohmann/json.hpp>

using TJson = nlohmann::ordered_json;

namespace {

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
    json["container_only"] = track.ContainerOnly();
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
    json["scanner"] = result.Format ? TJson(ScannerName(*result.Format)) : TJson(nullptr);
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

} // namespace

TJsonReport::TJsonReport(const TOptions &options, std::ostream &out) : FOptions(options), FOut(out) {
    FOut << "{\n  \"command\": " << JsonText(CommandName(options.Command), -1) << ",\n";
    if (options.Command == TCommand::Set)
        FOut << "  \"dry_run\": " << JsonText(options.DryRun, -1) << ",\n";
    FOut << "  \"files\": [";
}

void TJsonReport::FileDone(const TFileResult &result) {
    FOut << (FFiles++ == 0 ? "\n    " : ",\n    ");
    WriteFileJson(FOut, result, FOptions.Command, 2, 2);
    FOut << std::flush;
}

void TJsonReport::Finish(const TSummary &summary) {
    FOut << (FFiles > 0 ? "\n  ]" : "]")
         << ",\n  \"summary\": " << Nested(JsonText(SummaryJson(summary, FOptions.Command), 2), 1) << "\n}\n"
         << std::flush;
}

void TJsonLinesReport::FileDone(const TFileResult &result) {
    WriteFileJson(FOut, result, FOptions.Command, -1, 0);
    FOut << '\n' << std::flush;
}
