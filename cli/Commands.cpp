#include "Commands.h"

#include "CliTexts.h"
#include "Console.h"
#include "FileJob.h"
#include "FileWalk.h"
#include "Report.h"
#include "StandardError.h"
#include "base/Exceptions.h"
#include "base/ShownTexts.h"
#include "scan/JournalledWrite.h"
#include "scan/SaveRollback.h"

#include <iostream>

int RunCommand(const TOptions &options) {
    const TInputList inputs = CollectInputs(options.Files, options.Recursive);
    // Several files are reported as a batch: headings, file names on messages, a summary.
    const bool batch = options.Recursive || options.Files.size() > 1;
    TConsole console(batch);
    std::unique_ptr<TReport> report = MakeReport(options, batch, std::cout);
    TJobEvents events;
    events.OnStarted = [&](const std::string &fileName, std::optional<TFileFormat> format) {
        report->FileStarted(fileName, format);
    };
    events.OnMessage = [&](const std::string &fileName, const std::string &line) {
        console.Message(fileName, line);
    };
    events.OnNamedMessage = [&](const std::string &line) { console.NamedMessage(line); };
    events.OnProgress = [&](int64_t position, int64_t total) { console.Progress(position, total); };
    TFileJob job(options, events);

    TSummary summary;
    summary.Skipped = inputs.Skipped;
    for (size_t index = 0; index < inputs.Files.size(); ++index) {
        const TInputFile &input = inputs.Files[index];
        console.BeginFile(index + 1, inputs.Files.size(), input.Name);
        TFileResult result;
        if (input.Error.empty()) {
            result = job.Run(input.Name);
        } else {
            // A folder that could not be read.
            result.FileName = input.Name;
            result.Error = input.Error;
            report->FileStarted(input.Name, std::nullopt);
            console.Message(input.Name, input.Error);
        }
        console.ClearProgress();
        summary.Count(result.Status);
        report->FileDone(result);
    }
    report->Finish(summary);
    if (summary.Failed > 0)
        return ExitError;
    return summary.Refused > 0 ? ExitRefused : ExitDone;
}

int RunJournalCommand(const TOptions &options) {
    bool failed = false;
    bool refused = false;
    for (const std::string &fileName : options.Files) {
        auto tell = [&](const std::string &message) {
            std::cerr << TerminalText(fileName + ": " + ErrorMessageText(message)) << '\n';
        };
        try {
            TSaveRollback rollback(fileName);
            const std::string refusal =
                options.Command == TCommand::Recover ? rollback.RecoveryRefusal() : rollback.UndoRefusal();
            if (!refusal.empty()) {
                tell(refusal);
                refused = true;
                continue;
            }
            if (options.Command == TCommand::Recover) {
                const TRecovery recovery = rollback.Recover();
                std::cout << Format(SRecovered, fileName, recovery.PutBack, recovery.AlreadyOld);
                for (const std::string &place : recovery.Neither)
                    tell(Format(SRecoveredNeither, place));
                failed = failed || !recovery.Neither.empty();
            } else {
                const std::string time = SaveTimeText(*rollback.Journal());
                const TWriteReport report = rollback.Undo();
                std::cout << Format(SUndone, fileName, time, report.ByteCount, report.PatchCount);
            }
        } catch (const std::exception &error) {
            tell(error.what());
            failed = true;
        }
    }
    if (failed)
        return ExitError;
    return refused ? ExitRefused : ExitDone;
}
