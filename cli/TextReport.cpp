#include "TextReport.h"

#include "CliTexts.h"
#include "Console.h"
#include "StatedRatio.h"
#include "base/Exceptions.h"
#include "base/FormatFacts.h"
#include "base/Messages.h"
#include "base/ShownTexts.h"
#include "scan/FormatProbe.h"

#include <algorithm>
#include <cctype>

namespace {

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

} // namespace

TTextReport::TTextReport(const TOptions &options, bool batch, std::ostream &out)
    : FOptions(options), FBatch(batch), FOut(out) {}

void TTextReport::FileStarted(const std::string &fileName, std::optional<TFileFormat> format) {
    if (!FBatch)
        return;
    if (FFiles++ > 0)
        FOut << '\n';
    FOut << (format ? Format(SFileHeading, TerminalText(fileName), FormatName(*format))
                    : Format(SFileHeadingNoFormat, TerminalText(fileName)))
         << '\n'
         << std::flush;
}

void TTextReport::FileDone(const TFileResult &result) {
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

void TTextReport::Finish(const TSummary &summary) {
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

void TTextReport::WriteTable(const TFileResult &result) {
    const TScanSession &session = *result.Session;
    const TCodec &codec = session.RatioCodec();
    if (std::string_view(codec.UnitName()) == "SPS")
        FOut << Format(SSpsFound, session.RatioUnitCount) << '\n';
    else
        FOut << Format(SRatioUnitsFound, codec.UnitName(), session.RatioUnitCount) << '\n';
    // The cells of a row are made twice, for the widths and for the line, rather than kept: a file
    // may have hundreds of thousands of rows.
    const std::vector<std::string> heading{"#",      "SAR",        "Type",       "Resolution", "DAR",
                                           "SPS Id", "SPS Offset", "VUI Offset", "Track",      "Codec"};
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
                info.Track != nullptr ? std::to_string(info.Track->Number) : SNoValue,
                info.CodecEntry() != nullptr ? std::string(info.CodecEntry()->Name) : SNoValue};
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
void TTextReport::WriteContainerLines(const TFileResult &result, const std::vector<size_t> &rows,
                                      bool stated) {
    const TScanSession &session = *result.Session;
    if (rows.empty())
        return;
    if (!FormatStatesAspectRatio(session.Format)) {
        if (ElementaryCodecOf(session.Format) == nullptr)
            FOut << Format(SContainerStatesNoRatio, session.RatioCodec().UnitName()) << '\n';
        else if (result.ContentFormat && ElementaryCodecOf(*result.ContentFormat) == nullptr &&
                 *result.ContentFormat != TFileFormat::Unknown)
            FOut << Format(SContainerNotRead, FormatNameWithArticle(session.Format),
                           ContainerName(*result.ContentFormat), session.RatioCodec().UnitName())
                 << '\n';
        else
            FOut << Format(SRawStreamNoContainer, FormatName(session.Format), session.RatioCodec().UnitName())
                 << '\n';
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
        if (track->ContainerOnly() && stated)
            FOut << TerminalText(Format(SBitstreamLeftAsItIs, track->Label, track->Codec->Name)) << '\n';
        if (StatingTrack(session, track) == nullptr)
            FOut << Format(STrackStatesNoRatio, label, container,
                           track->Codec != nullptr && track->Codec->Codec != nullptr
                               ? track->Codec->Codec->UnitName()
                               : session.RatioCodec().UnitName())
                 << '\n';
        else if (stated)
            FOut << Format(SContainerAspectNote, label, container,
                           RatioText(track->StatedDisplayAspectRatio()))
                 << '\n';
    }
}

void TTextReport::WriteSet(const TFileResult &result) {
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
                FOut << Format(SContainerRowWouldBeWritten, index, outcome.PreviousSar, info.SarText(), track,
                               info.DarText(), offset);
            else
                FOut << Format(SContainerRowWritten, index, outcome.PreviousSar, info.SarText(), track,
                               info.DarText(), offset);
        } else {
            const std::string offset = OffsetText(info.VuiOffset(), session.FileSize);
            const TCodec &codec = info.Unit->Codec();
            if (!outcome.Changed)
                FOut << Format(SRowUnchanged, index, info.SarText(), info.TypeText(), codec.CodeName(),
                               info.EffectiveAspectRatioIdc());
            else if (dryRun)
                FOut << Format(SRowWouldBeWritten, index, outcome.PreviousSar, info.SarText(),
                               info.TypeText(), codec.CodeName(), info.EffectiveAspectRatioIdc(),
                               info.DarText(), codec.FieldsName(), offset);
            else
                FOut << Format(SRowWritten, index, outcome.PreviousSar, info.SarText(), info.TypeText(),
                               codec.CodeName(), info.EffectiveAspectRatioIdc(), info.DarText(),
                               codec.FieldsName(), offset);
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
    FOut << (dryRun ? Format(SRowsWouldBeWritten, changed, chosen) : Format(SRowsWritten, changed, chosen))
         << '\n';
}
