#pragma once

// What a call prints: the progress and the messages on standard error, and on standard output the report
// of each file as text, as one JSON document or as one JSON line per file, then the summary.

#include "FileJob.h"
#include "Options.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

// How the files of a call ended.
struct TSummary {
    int64_t Files = 0;
    int64_t Listed = 0;
    int64_t Changed = 0;
    int64_t Unchanged = 0;
    int64_t Refused = 0;
    int64_t Failed = 0;
    int64_t Skipped = 0;

    void Count(TFileStatus status);
};

// Standard error: messages, which name their file when a call has several, and the line that shows how
// far the scan of a file is, only when standard output and standard error are both a terminal.
class TConsole {
public:
    explicit TConsole(bool batch);
    ~TConsole() { ClearProgress(); }
    TConsole(const TConsole &) = delete;
    TConsole &operator=(const TConsole &) = delete;

    // The file index (from 1) of count is scanned next.
    void BeginFile(size_t index, size_t count, const std::string &fileName);
    // Position 0 is a scanner's last report: the line goes away.
    void Progress(int64_t position, int64_t total);
    void ClearProgress();
    // A line about a file; several files: behind the file's name.
    void Message(const std::string &fileName, const std::string &line);
    // A line that names its file itself.
    void NamedMessage(const std::string &line);

private:
    void Show(const std::string &text);

    bool FBatch;
    bool FEnabled;
    size_t FIndex = 0;
    size_t FCount = 0;
    std::string FFileName;
    std::string FShown;
};

class TReport {
public:
    virtual ~TReport() = default;
    // Before the file is scanned; none when its format is not known.
    virtual void FileStarted(const std::string &fileName, std::optional<TFileFormat> format) = 0;
    virtual void FileDone(const TFileResult &result) = 0;
    virtual void Finish(const TSummary &summary) = 0;
};

// The report the options ask for, written to out. batch: a call of several files (headings, summary).
std::unique_ptr<TReport> MakeReport(const TOptions &options, bool batch, std::ostream &out);
