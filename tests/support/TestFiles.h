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

// Paths are UTF-8, as everywhere in the system.
void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes);
std::vector<uint8_t> ReadFile(const std::string &path);
// Bytes put into, and read from, an existing file at an offset.
void WriteFileAt(const std::string &path, int64_t offset, const std::vector<uint8_t> &bytes);
std::vector<uint8_t> ReadFileAt(const std::string &path, int64_t offset, size_t count);
// Makes a file of that many zero bytes that takes no disk space (sparse). False when the file system
// can not make it so.
bool MakeSparseFile(const std::string &path, int64_t size);
// Puts the file's pages out of the system's memory, so that reading it waits for the disk. False when the
// system keeps them (a file system in memory). Windows reads every file as one on the disk (the file stream
// can not tell what it holds in memory): true there.
bool PutOutOfMemory(const std::string &path);

struct CommandResult {
    int exitCode = -1;
    std::string output; // standard output
    std::string errors; // standard error
};
// Runs a shell command line (cmd.exe on Windows) and collects its output and exit status.
CommandResult RunCommand(const std::string &commandLine);
// Quotes a text for that shell.
std::string ShellQuote(const std::string &text);
// True when the program is found on the search path.
bool HaveTool(const std::string &name);
