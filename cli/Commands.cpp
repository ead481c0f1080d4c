#include "Commands.h"

#include "FileJob.h"
#include "FileWalk.h"
#include "Report.h"
#include "StandardError.h"

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
