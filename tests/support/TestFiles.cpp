#include "TestFiles.h"

#include "base/Streams.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <algorithm>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

TempDir::TempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "pellmar-test-%08llx",
                      static_cast<unsigned long long>(random() >> 32));
        const std::filesystem::path folder = base / name;
        // Fails, rather than reusing it, when the folder already exists.
        if (std::filesystem::create_directory(folder)) {
            const std::u8string utf8 = folder.u8string();
            FPath.assign(utf8.begin(), utf8.end());
            return;
        }
    }
    throw std::runtime_error("no fresh temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Utf8Path(FPath), ignored);
}

void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream in(Utf8Path(path), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileAt(const std::string &path, int64_t offset, const std::vector<uint8_t> &bytes) {
    std::fstream file(Utf8Path(path), std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(offset);
    file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> ReadFileAt(const std::string &path, int64_t offset, size_t count) {
    std::ifstream in(Utf8Path(path), std::ios::binary);
    in.seekg(offset);
    std::vector<uint8_t> bytes(count);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(count));
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return bytes;
}

#ifdef _WIN32

// NTFS keeps the zeros of a file that is not marked sparse on disk, and writing far into it writes
// every zero before that place.
bool MakeSparseFile(const std::string &path, int64_t size) {
    HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create " + path);
    DWORD unused = 0;
    LARGE_INTEGER end{};
    end.QuadPart = size;
    const bool made = ::DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr) &&
                      ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
    ::CloseHandle(file);
    return made;
}

bool PutOutOfMemory(const std::string &) {
    return true;
}

#else

bool MakeSparseFile(const std::string &path, int64_t size) {
    WriteFile(path, {});
    std::error_code error;
    std::filesystem::resize_file(Utf8Path(path), static_cast<uintmax_t>(size), error);
    return !error;
}

bool PutOutOfMemory(const std::string &path) {
    const int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const auto size = static_cast<size_t>(std::filesystem::file_size(path));
    bool out = handle >= 0 && ::fsync(handle) == 0 && ::posix_fadvise(handle, 0, 0, POSIX_FADV_DONTNEED) == 0;
    void *mapped = out ? ::mmap(nullptr, size, PROT_READ, MAP_SHARED, handle, 0) : MAP_FAILED;
    if (mapped != MAP_FAILED) {
        std::vector<unsigned char> pages((size + 4095) / 4096);
        out = ::mincore(mapped, size, pages.data()) == 0 &&
              std::none_of(pages.begin(), pages.end(), [](unsigned char page) { return page & 1; });
        ::munmap(mapped, size);
    }
    if (handle >= 0)
        ::close(handle);
    return out;
}

#endif

namespace {
std::string Slurp(const std::string &path) {
    std::ifstream in(Utf8Path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#ifdef _WIN32
constexpr const char *NullDevice = "NUL";
int ExitCode(int status) {
    return status;
}
#else
constexpr const char *NullDevice = "/dev/null";
int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif
} // namespace

CommandResult RunCommand(const std::string &commandLine) {
    TempDir scratch;
    std::string out = scratch.File("stdout"), err = scratch.File("stderr");
    std::string full =
        "(" + commandLine + ") <" + NullDevice + " >" + ShellQuote(out) + " 2>" + ShellQuote(err);
    int status = std::system(full.c_str());
    CommandResult result;
    result.exitCode = ExitCode(status);
    result.output = Slurp(out);
    result.errors = Slurp(err);
    return result;
}

#ifdef _WIN32

std::string ShellQuote(const std::string &text) {
    return "\"" + text + "\""; // Windows names hold no double quotes
}

bool HaveTool(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "");
    std::string folder;
    std::error_code error;
    while (std::getline(folders, folder, ';'))
        if (!folder.empty() && std::filesystem::is_regular_file(Utf8Path(folder) / (name + ".exe"), error))
            return true;
    return false;
}

#else

std::string ShellQuote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool HaveTool(const std::string &name) {
    return RunCommand("command -v " + ShellQuote(name)).exitCode == 0;
}

#endif
