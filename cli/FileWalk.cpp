#include "FileWalk.h"

#include "CliTexts.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "scan/JournalStore.h"
#include "scan/Scanner.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

enum class TEntryKind { File, Folder, Link, Other };

struct TFolderEntry {
    std::string Name;
    TEntryKind Kind = TEntryKind::Other;
};

// What tells one file or folder from every other, whatever name leads to it: device and inode, or
// volume and file index.
using TNodeIdentity = std::pair<uint64_t, uint64_t>;

#ifdef _WIN32

constexpr char Separator = '\\';

// Links and junctions are reparse points; wine shows a Linux link to a folder as one too.
std::vector<TFolderEntry> ReadFolder(const std::string &folder) {
    std::vector<TFolderEntry> entries;
    std::wstring pattern = Utf8ToWide(folder);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                       nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return entries; // nothing in it, not even . and .. (a drive's root)
        throw EInOutError(Format(SCannotReadFolder, folder, SystemErrorText(static_cast<int>(error))));
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        TEntryKind kind = TEntryKind::File;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            kind = TEntryKind::Link;
        else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            kind = TEntryKind::Folder;
        else if (found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
            kind = TEntryKind::Other;
        entries.push_back({WideToUtf8(name), kind});
    } while (::FindNextFileW(search, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    if (error != ERROR_NO_MORE_FILES)
        throw EInOutError(Format(SCannotReadFolder, folder, SystemErrorText(static_cast<int>(error))));
    return entries;
}

std::optional<TNodeIdentity> IdentityOf(const std::string &path) {
    HANDLE file =
        ::CreateFileW(Utf8ToWide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = ::GetFileInformationByHandle(file, &information) != 0;
    ::CloseHandle(file);
    if (!known)
        return std::nullopt;
    return TNodeIdentity{information.dwVolumeSerialNumber,
                         (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

#else

constexpr char Separator = '/';

std::vector<TFolderEntry> ReadFolder(const std::string &folder) {
    std::vector<TFolderEntry> entries;
    std::error_code error;
    std::filesystem::directory_iterator entry(Utf8Path(folder), error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        std::error_code unknown;
        TEntryKind kind = TEntryKind::Other;
        switch (entry->symlink_status(unknown).type()) {
        case std::filesystem::file_type::regular:
            kind = TEntryKind::File;
            break;
        case std::filesystem::file_type::directory:
            kind = TEntryKind::Folder;
            break;
        case std::filesystem::file_type::symlink:
            kind = TEntryKind::Link;
            break;
        default:
            break;
        }
        entries.push_back({entry->path().filename().string(), kind});
    }
    if (error)
        throw EInOutError(Format(SCannotReadFolder, folder, SystemErrorText(error.value())));
    return entries;
}

std::optional<TNodeIdentity> IdentityOf(const std::string &path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return TNodeIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
}

#endif

std::string JoinPath(const std::string &folder, const std::string &name) {
    if (folder.empty() || folder.back() == '/' || folder.back() == Separator)
        return folder + name;
    return folder + Separator + name;
}

bool IsFolder(const std::string &name) {
    std::error_code error;
    return std::filesystem::is_directory(Utf8Path(name), error);
}

class TWalk {
public:
    explicit TWalk(TInputList &inputs) : FInputs(inputs) {}

    // A file named or found; the same file reached again (by a hard link, say) is left out.
    void Take(const std::string &name) {
        const std::optional<TNodeIdentity> identity = IdentityOf(name);
        if (identity && !FFiles.insert(*identity).second)
            return;
        FInputs.Files.push_back({name, {}});
    }

    // Depth first, names in byte order, so that the order is the same on every run. A folder reached a
    // second time (a loop that no link shows, as under wine) is not entered again.
    void Folder(const std::string &folder) {
        const std::optional<TNodeIdentity> identity = IdentityOf(folder);
        if (identity && !FFolders.insert(*identity).second)
            return;
        std::vector<TFolderEntry> entries;
        try {
            entries = ReadFolder(folder);
        } catch (const Exception &error) {
            FInputs.Files.push_back({folder, error.what()});
            return;
        }
        std::sort(entries.begin(), entries.end(),
                  [](const TFolderEntry &a, const TFolderEntry &b) { return a.Name < b.Name; });
        for (const TFolderEntry &entry : entries) {
            const std::string path = JoinPath(folder, entry.Name);
            switch (entry.Kind) {
            case TEntryKind::Folder:
                Folder(path);
                break;
            case TEntryKind::File:
                FoundFile(path);
                break;
            case TEntryKind::Link:
            case TEntryKind::Other:
                ++FInputs.Skipped;
                break;
            }
        }
    }

private:
    void FoundFile(const std::string &path) {
        // The journals that saves keep beside their files are neither input nor a file passed over.
        if (IsJournalName(path))
            return;
        bool take = true; // a file that can not be read is taken, to fail with its reason
        try {
            take = IsVideoFile(path);
        } catch (const Exception &) {
        }
        if (take)
            Take(path);
        else
            ++FInputs.Skipped;
    }

    TInputList &FInputs;
    std::set<TNodeIdentity> FFiles;
    std::set<TNodeIdentity> FFolders;
};

} // namespace

TInputList CollectInputs(const std::vector<std::string> &arguments, bool recursive) {
    TInputList inputs;
    TWalk walk(inputs);
    for (const std::string &argument : arguments) {
        if (recursive && IsFolder(argument))
            walk.Folder(argument);
        else
            walk.Take(argument);
    }
    return inputs;
}

bool IsVideoFile(const std::string &fileName) {
    return IsScannable(ProbeFile(fileName));
}
