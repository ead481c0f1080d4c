#include "Utils.h"

#include "AppTexts.h"
#include "Streams.h"

#include <filesystem>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#ifdef _WIN32

// The fixed-size record of the file's version resource. The path is UTF-8, so the wide functions take
// it: the ANSI ones would misread every name outside ASCII.
bool ReadFileVersion(const std::string &fileName, uint32_t &mostSignificant, uint32_t &leastSignificant) {
    if (!FileExists(fileName))
        return false;
    const std::wstring path = Utf8ToWide(fileName);
    DWORD unused = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &unused);
    if (size == 0)
        return false;
    std::vector<uint8_t> information(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, information.data()))
        return false;
    void *record = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(information.data(), L"\\", &record, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return false;
    const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(record);
    mostSignificant = fixed->dwFileVersionMS;
    leastSignificant = fixed->dwFileVersionLS;
    return true;
}

std::string GetAppFileName() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return WideToUtf8(path);
        }
        path.resize(2 * path.size()); // cut short: try again with room for a longer path
    }
}

#else

// ELF executables carry no version resource: the program's own file reports the version the build
// gives it, and every other file has no version record.
bool ReadFileVersion(const std::string &fileName, uint32_t &mostSignificant, uint32_t &leastSignificant) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(fileName, error))
        return false;
    if (!std::filesystem::equivalent(fileName, GetAppFileName(), error) || error)
        return false;
    mostSignificant = (uint32_t{PELLMAR_VERSION_MAJOR} << 16) | PELLMAR_VERSION_MINOR;
    leastSignificant = (uint32_t{PELLMAR_VERSION_RELEASE} << 16) | PELLMAR_VERSION_BUILD;
    return true;
}

std::string GetAppFileName() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

#endif

std::string GetFileVersionStr(const std::string &fileName) {
    std::error_code error;
    if (!std::filesystem::exists(Utf8Path(fileName), error))
        return SFileVersionNotFound;
    uint32_t most = 0;
    uint32_t least = 0;
    if (!ReadFileVersion(fileName, most, least))
        return SFileVersionError;
    return std::to_string(most >> 16) + "." + std::to_string(most & 0xFFFF) + "." +
           std::to_string(least >> 16) + "." + std::to_string(least & 0xFFFF);
}

std::string GetAppVersionStr() {
    return GetFileVersionStr(GetAppFileName());
}

std::string GetAppCaption() {
    return std::string(SProductName) + " " + GetAppVersionStr();
}

std::string GetProductVersionStr() {
    return PELLMAR_PRODUCT_VERSION;
}
