#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &Path() const { return FPath; }
    std::string File(const std::string &name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes);
std::vector<uint8_t> ReadFile(const std::string &path);

struct CommandResult {
    int exitCode = -1;
    std::string output; // standard output
    std::string errors; // standard error
};
// Runs a shell command line and collects its output and exit status.
CommandResult RunCommand(const std::string &commandLine);
// Quotes a text for the shell.
std::string ShellQuote(const std::string &text);
bool HaveTool(const std::string &name);
