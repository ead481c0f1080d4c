#include "TestFiles.h"
#include "base/Utils.h"
#include "base/Streams.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

// The four numbers of a version text as the two file-version words hold them.
void ExpectWordsOf(const std::string &version, uint32_t most, uint32_t least) {
    EXPECT_EQ(std::to_string(most >> 16) + "." + std::to_string(most & 0xFFFF) + "." +
                  std::to_string(least >> 16) + "." + std::to_string(least & 0xFFFF),
              version);
}

TEST(VersionTexts, TheProgramsOwnFileGivesItsVersion) {
    const std::string self = GetAppFileName();
    ASSERT_TRUE(FileExists(self)) << self;
    EXPECT_EQ(GetFileVersionStr(self), PELLMAR_EXPECTED_VERSION);
    EXPECT_EQ(GetAppVersionStr(), PELLMAR_EXPECTED_VERSION);
    EXPECT_EQ(GetAppCaption(), std::string("Pellmar ") + PELLMAR_EXPECTED_VERSION);
    EXPECT_EQ(GetProductVersionStr(), "0.1 beta");
    uint32_t most = 0, least = 0;
    ASSERT_TRUE(ReadFileVersion(self, most, least));
    ExpectWordsOf(PELLMAR_EXPECTED_VERSION, most, least);
}

TEST(VersionTexts, MissingFilesAndFilesWithoutVersionRecord) {
    TempDir dir;
    const std::string missing = dir.File("missing.exe");
    EXPECT_EQ(GetFileVersionStr(missing), "[File not found]");
    EXPECT_EQ(GetFileVersionStr(dir.File("\xC3\xBC"
                                         "ber.exe")),
              "[File not found]");
    uint32_t most = 7, least = 9;
    EXPECT_FALSE(ReadFileVersion(missing, most, least));
    EXPECT_EQ(most, 7u);
    EXPECT_EQ(least, 9u);

    const std::string data = dir.File("data.exe");
    WriteFile(data, {'M', 'Z', 0, 0, 1, 2, 3});
    EXPECT_EQ(GetFileVersionStr(data), "[Error]");
    EXPECT_FALSE(ReadFileVersion(data, most, least));
    EXPECT_EQ(most, 7u);
    EXPECT_EQ(least, 9u);
    // A folder exists but has no version record.
    EXPECT_EQ(GetFileVersionStr(dir.Path()), "[Error]");
}

// On Windows the version record travels with the file, also to a name outside ASCII; elsewhere only the
// running program's own file has a version.
TEST(VersionTexts, ACopyOfTheProgram) {
    TempDir dir;
    const std::string copy = dir.File("Pr\xC3\xB6gramm \xE6\x97\xA5.exe");
    std::filesystem::copy_file(Utf8Path(GetAppFileName()), Utf8Path(copy));
#ifdef _WIN32
    EXPECT_EQ(GetFileVersionStr(copy), PELLMAR_EXPECTED_VERSION);
#else
    EXPECT_EQ(GetFileVersionStr(copy), "[Error]");
#endif
}

} // namespace
