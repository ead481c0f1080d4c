#include "DurableFiles.h"

#include "Exceptions.h"
#include "Messages.h"
#include "Streams.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

void Tell(const TDiskCallHook &hook, TDiskCall::TKind kind, const std::string &path, int64_t offset = 0,
          size_t count = 0) {
    if (hook)
        hook({kind, path, offset, count});
}

std::string FolderOf(const std::string &fileName) {
    const std::filesystem::path folder = Utf8Path(fileName).parent_path();
    return folder.empty() ? std::string(".") : Utf8Name(folder);
}

#ifdef _WIN32

[[noreturn]] void Fail(const std::string &fileName) {
    throw EInOutError(Format(SFileError, fileName, SystemErrorText(static_cast<int>(::GetLastError()))));
}

void WriteNewFile(const std::string &fileName, std::string_view content, const TDiskCallHook &hook) {
    HANDLE handle = ::CreateFileW(Utf8ToWide(fileName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw EInOutError(
            Format(SCannotOpenFile, fileName, SystemErrorText(static_cast<int>(::GetLastError()))));
    try {
        Tell(hook, TDiskCall::TKind::Write, fileName, 0, content.size());
        size_t done = 0;
        while (done < content.size()) {
            DWORD written = 0;
            const DWORD count = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 30));
            if (!::WriteFile(handle, content.data() + done, count, &written, nullptr) || written == 0)
                Fail(fileName);
            done += written;
        }
        Tell(hook, TDiskCall::TKind::Sync, fileName);
        if (!::FlushFileBuffers(handle))
            Fail(fileName);
    } catch (...) {
        ::CloseHandle(handle);
        throw;
    }
    ::CloseHandle(handle);
}

void RenameOver(const std::string &from, const std::string &to) {
    // Written through: the rename is on the disk when the call returns.
    if (!::MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Fail(to);
}

// Windows writes folder entries through with the rename and the deletion (MOVEFILE_WRITE_THROUGH; a
// folder can not be flushed there).
void SyncFolder(const std::string &) {}

bool RemoveName(const std::string &fileName) {
    if (::DeleteFileW(Utf8ToWide(fileName).c_str()))
        return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return false;
    Fail(fileName);
}

#else

[[noreturn]] void Fail(const std::string &fileName) {
    throw EInOutError(Format(SFileError, fileName, SystemErrorText(errno)));
}

void WriteNewFile(const std::string &fileName, std::string_view content, const TDiskCallHook &hook) {
    const int handle = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (handle < 0)
        throw EInOutError(Format(SCannotOpenFile, fileName, SystemErrorText(errno)));
    try {
        Tell(hook, TDiskCall::TKind::Write, fileName, 0, content.size());
        size_t done = 0;
        while (done < content.size()) {
            const ssize_t written = ::write(handle, content.data() + done, content.size() - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                Fail(fileName);
            done += static_cast<size_t>(written);
        }
        Tell(hook, TDiskCall::TKind::Sync, fileName);
        if (::fsync(handle) != 0)
            Fail(fileName);
    } catch (...) {
        ::close(handle);
        throw;
    }
    if (::close(handle) != 0)
        Fail(fileName);
}

void RenameOver(const std::string &from, const std::string &to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        Fail(to);
}

// A new or removed name is on the disk once its folder is synced.
void SyncFolder(const std::string &folder) {
    const int handle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0)
        Fail(folder);
    const bool synced = ::fsync(handle) == 0;
    const int error = errno;
    ::close(handle);
    if (!synced) {
        errno = error;
        Fail(folder);
    }
}

bool RemoveName(const std::string &fileName) {
    if (::unlink(fileName.c_str()) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    Fail(fileName);
}

#endif

} // namespace

void MakeFolder(const std::string &folder) {
    std::error_code error;
    std::filesystem::create_directories(Utf8Path(folder), error);
    if (error)
        throw EInOutError(Format(SCannotMakeFolder, folder, error.message()));
}

void ReplaceFileDurably(const std::string &fileName, std::string_view content, const TDiskCallHook &hook) {
    const std::string temporary = fileName + ".new";
    try {
        WriteNewFile(temporary, content, hook);
        Tell(hook, TDiskCall::TKind::Rename, fileName);
        RenameOver(temporary, fileName);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(Utf8Path(temporary), ignored);
        throw;
    }
    const std::string folder = FolderOf(fileName);
    Tell(hook, TDiskCall::TKind::SyncFolder, folder);
    SyncFolder(folder);
}

void OverwriteDurably(const std::string &fileName, int64_t offset, std::string_view bytes,
                      const TDiskCallHook &hook) {
    TFileStream file(fileName, TFileOpenMode::ReadWriteExclusive);
    file.BeforeCall = [&](const TFileCall &call) {
        if (call.Kind == TFileCall::TKind::Write)
            Tell(hook, TDiskCall::TKind::Write, fileName, call.Offset, call.Count);
        else if (call.Kind == TFileCall::TKind::Sync)
            Tell(hook, TDiskCall::TKind::Sync, fileName);
    };
    file.Seek(offset);
    file.WriteBuffer(bytes.data(), bytes.size());
    file.Flush();
}

void RemoveFileDurably(const std::string &fileName, const TDiskCallHook &hook) {
    Tell(hook, TDiskCall::TKind::Remove, fileName);
    if (!RemoveName(fileName))
        return;
    const std::string folder = FolderOf(fileName);
    Tell(hook, TDiskCall::TKind::SyncFolder, folder);
    SyncFolder(folder);
}

std::string ReadSmallFile(const std::string &fileName) {
    TFileStream file(fileName, TFileOpenMode::ReadShareDenyWrite);
    std::string content(static_cast<size_t>(file.Size()), '\0');
    file.ReadBuffer(content.data(), content.size());
    return content;
}

std::string StateFolder() {
    std::filesystem::path folder;
#ifdef _WIN32
    const wchar_t *local = ::_wgetenv(L"LOCALAPPDATA");
    if (local != nullptr && *local != L'\0')
        folder = std::filesystem::path(local) / "Pellmar";
#else
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    // A relative XDG_STATE_HOME is to be ignored.
    if (state != nullptr && state[0] == '/')
        folder = std::filesystem::path(state) / "pellmar";
    else if (home != nullptr && home[0] == '/')
        folder = std::filesystem::path(home) / ".local" / "state" / "pellmar";
#endif
    if (folder.empty())
        throw EInOutError(SNoStateFolder);
    return Utf8Name(folder);
}
