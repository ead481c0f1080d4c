#pragma once

// One file of a call: probed, scanned, and for set changed, on its own. Whatever goes wrong with it ends
// in its result; nothing of it reaches the other files.

#include "Options.h"
#include "scan/ScanSession.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class TFileStatus { Listed, Changed, Unchanged, Refused, Failed };

// Why a file, or one row of it, was not changed as asked.
struct TRefusal {
    static constexpr size_t NoRow = static_cast<size_t>(-1);
    size_t Row = NoRow; // NoRow: the file as a whole
    std::string Reason; // for JSON
    std::string Line;   // for standard error
};

// What set did to one row.
struct TRowOutcome {
    bool Selected = false;
    bool Changed = false;
    bool Written = false;
    std::string PreviousSar;
};

struct TFileResult {
    std::string FileName;
    // The format the content shows, and the one the file was read as (another when forced).
    std::optional<TFileFormat> ContentFormat;
    std::optional<TFileFormat> Format;
    TFileStatus Status = TFileStatus::Failed;
    std::string Error; // Failed: the message as standard error shows it
    std::vector<TRefusal> Refusals;
    // What the scan found, when it ran to its end.
    std::unique_ptr<TScanSession> Session;
    // set: the rows chosen, per row what happened, the plan's lines on the container and its patches.
    bool DryRun = false;
    std::vector<size_t> Chosen;
    std::vector<TRowOutcome> Rows;
    std::vector<std::string> ContainerChanges;
    std::vector<std::string> PatchLines;
};

// Where a job tells what happens while it runs: the file's start with its format (none when it can not
// be read), lines for standard error (naming the file themselves, or not), and the scan's progress.
struct TJobEvents {
    std::function<void(const std::string &fileName, std::optional<TFileFormat> format)> OnStarted;
    std::function<void(const std::string &fileName, const std::string &line)> OnMessage;
    std::function<void(const std::string &line)> OnNamedMessage;
    std::function<void(int64_t position, int64_t total)> OnProgress;
};

class TFileJob {
public:
    TFileJob(const TOptions &options, TJobEvents events) : FOptions(options), FEvents(std::move(events)) {}

    TFileResult Run(const std::string &fileName);

private:
    void Scan(TFileResult &result);
    void Change(TFileResult &result);
    // Tells, with the command that mends it, when the file's last save was cut short.
    void TellInterruptedSave(const std::string &fileName);
    // Rows of --rows and --track; false, with the file refused, when the file does not have them.
    bool ChooseRows(TFileResult &result);
    void Refuse(TFileResult &result, size_t row, const std::string &reason);

    const TOptions &FOptions;
    TJobEvents FEvents;
};
