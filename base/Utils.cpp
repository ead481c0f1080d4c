#include "Utils.h"

#include "AppTexts.h"
#include "Exceptions.h"
#include "Streams.h"

#include <cstdio>
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

namespace {

struct TFormatNames {
    TFileFormat Format;
    const char *Name;
    const char *Article;
};

constexpr TFormatNames FormatNames[] = {
    {TFileFormat::RawH264, "raw H.264 stream", "a"},
    {TFileFormat::RawHevc, "raw HEVC stream", "a"},
    {TFileFormat::RawMpegVideo, "raw MPEG-1/MPEG-2 video stream", "a"},
    {TFileFormat::RawMpeg4Visual, "raw MPEG-4 Part 2 video stream", "a"},
    {TFileFormat::Avi, "AVI (RIFF)", "an"},
    {TFileFormat::Mp4, "MP4 (ISO base media)", "an"},
    {TFileFormat::Matroska, "Matroska", "a"},
    {TFileFormat::WebM, "WebM (VP8, VP9 or AV1 video, never H.264)", "a"},
    {TFileFormat::MpegTs, "MPEG-TS (transport stream)", "an"},
    {TFileFormat::M2ts, "M2TS (MPEG-TS with time codes)", "an"},
    {TFileFormat::MpegTs204, "MPEG-TS (transport stream with 204-byte packets)", "an"},
    {TFileFormat::MpegPs, "MPEG-PS (program stream, VOB/MPG)", "an"},
    {TFileFormat::Flv, "FLV (Flash Video)", "an"},
    {TFileFormat::Asf, "ASF (Windows Media)", "an"},
    {TFileFormat::Mxf, "MXF (Material Exchange Format)", "an"},
    {TFileFormat::Nut, "NUT", "a"},
    {TFileFormat::Unknown, "unknown format", "an"},
};

const TFormatNames &NamesOf(TFileFormat format) {
    for (const TFormatNames &names : FormatNames)
        if (names.Format == format)
            return names;
    return FormatNames[0];
}

} // namespace

std::string FormatName(TFileFormat format) {
    return NamesOf(format).Name;
}

std::string FormatNameWithArticle(TFileFormat format) {
    const TFormatNames &names = NamesOf(format);
    return std::string(names.Article) + " " + names.Name;
}

std::string FormatNotReadText(TFileFormat format) {
    switch (format) {
    case TFileFormat::RawH264:
    case TFileFormat::RawHevc:
    case TFileFormat::RawMpegVideo:
    case TFileFormat::RawMpeg4Visual:
        return Format(SStreamNotRead, FormatNameWithArticle(format));
    case TFileFormat::Unknown:
        return SUnknownFormat;
    default:
        return Format(SContainerNotRawStream, FormatNameWithArticle(format));
    }
}

bool FormatStatesAspectRatio(TFileFormat format) {
    switch (format) {
    case TFileFormat::Avi:
    case TFileFormat::Mp4:
    case TFileFormat::Matroska:
    case TFileFormat::WebM: // Matroska under another DocType
        return true;
    default:
        return false;
    }
}
