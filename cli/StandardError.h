#pragma once

// What a call prints on standard error.

#include <cstddef>
#include <cstdint>
#include <string>

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
