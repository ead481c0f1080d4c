#pragma once

// Small files that must survive a crash once written (a save's journal): each change is put onto the
// disk before the call returns, and a file is replaced whole or not at all.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// A call to the system that changes a file or a folder, told right before it is made: tests see in which
// order things reach the disk, and an exception thrown from the hook fails the call as a failing medium
// (or a crash) would.
struct TDiskCall {
    enum class TKind { Write, Sync, Rename, SyncFolder, Remove };
    TKind Kind = TKind::Write;
    std::string Path;   // the file (Rename: the name it gets; SyncFolder: the folder)
    int64_t Offset = 0; // Write
    size_t Count = 0;   // Write
};
using TDiskCallHook = std::function<void(const TDiskCall &call)>;

// Puts content under fileName so that after a crash the name holds all of it, or what it held before (or
// nothing): written to a temporary name beside it, synced, renamed over the name, the folder synced.
// Raises EInOutError when any step fails; the temporary file is then removed.
void ReplaceFileDurably(const std::string &fileName, std::string_view content,
                        const TDiskCallHook &hook = {});
// Overwrites bytes of an existing file in place and syncs it.
void OverwriteDurably(const std::string &fileName, int64_t offset, std::string_view bytes,
                      const TDiskCallHook &hook = {});
// Removes the file, if there is one, and syncs its folder.
void RemoveFileDurably(const std::string &fileName, const TDiskCallHook &hook = {});
// The whole content of a small file; raises EInOutError when it can not be read.
std::string ReadSmallFile(const std::string &fileName);

// The folder for what the program keeps per user (Linux: $XDG_STATE_HOME/pellmar, by default
// ~/.local/state/pellmar; Windows: %LOCALAPPDATA%\Pellmar), which may not exist yet. Raises EInOutError
// when there is none.
std::string StateFolder();
// Makes the folder and those above it that are missing; raises EInOutError when it can not.
void MakeFolder(const std::string &folder);
