#include "Utils.h"

#include "uResourceStrings.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

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

std::string GetFileVersionStr(const std::string &fileName) {
    std::error_code error;
    if (!std::filesystem::exists(fileName, error))
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

std::string ErrorMessageText(const std::string &message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

std::string OffsetText(int64_t offset, int64_t fileSize) {
    int bytes = 1;
    if (fileSize > 0) {
        bytes = 0;
        while (bytes < 8 && (uint64_t{1} << (8 * bytes)) < static_cast<uint64_t>(fileSize))
            ++bytes;
    }
    char digits[24];
    std::snprintf(digits, sizeof digits, "%0*llX", 2 * bytes, static_cast<unsigned long long>(offset));
    return digits;
}

std::string GetAppFileName() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}
