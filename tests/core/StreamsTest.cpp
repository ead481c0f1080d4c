#include "base/Streams.h"
#include "H264StreamScan.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "scan/ScanSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

constexpr TFileOpenMode Reading = TFileOpenMode::ReadShareDenyWrite;
constexpr TFileOpenMode Writing = TFileOpenMode::ReadWriteExclusive;

// The system's codes for a file that someone else's access keeps from being opened, and for a missing
// file.
#ifdef _WIN32
constexpr int InUseError = ERROR_SHARING_VIOLATION;
constexpr int NotFoundError = ERROR_FILE_NOT_FOUND;
#else
constexpr int InUseError = EWOULDBLOCK;
constexpr int NotFoundError = ENOENT;
#endif

class FileStreamTest : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(Path, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}); }

    // The message of the error that opening the file in that mode raises, or empty when it opens.
    std::string OpenError(TFileOpenMode mode) {
        try {
            TFileStream stream(Path, mode);
        } catch (const EInOutError &error) {
            return error.what();
        }
        return {};
    }

    // Writes a file of that many pages whose byte i is i * factor (mod 256): a byte read tells its place.
    std::vector<uint8_t> WritePlaces(int64_t pages, int factor) {
        std::vector<uint8_t> bytes(static_cast<size_t>(pages * TFileStream::PageSize));
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * static_cast<size_t>(factor));
        WriteFile(Path, bytes);
        return bytes;
    }

    TempDir Dir;
    std::string Path = Dir.File("data.bin");
    std::string InUse = Format(SCannotOpenFile, Path, SystemErrorText(InUseError));
};

TEST_F(FileStreamTest, AnExclusiveWriterShutsOutReadersAndWritersUntilItCloses) {
    {
        TFileStream writer(Path, Writing);
        EXPECT_EQ(OpenError(Reading), InUse);
        EXPECT_EQ(OpenError(Writing), InUse);
    }
    EXPECT_EQ(OpenError(Reading), "");
    EXPECT_EQ(OpenError(Writing), "");
}

TEST_F(FileStreamTest, ReadersShareTheFileButShutOutAWriter) {
    TFileStream first(Path, Reading);
    TFileStream second(Path, Reading);
    EXPECT_EQ(OpenError(Writing), InUse);
    uint8_t a = 0, b = 0;
    first.Seek(3);
    first.ReadBuffer(&a, 1);
    second.ReadBuffer(&b, 1);
    EXPECT_EQ(a, 4);
    EXPECT_EQ(b, 1);
}

TEST_F(FileStreamTest, MissingFilesAndFoldersAreInputOutputErrors) {
    const std::string missing = Dir.File("missing.bin");
    for (TFileOpenMode mode : {Reading, Writing}) {
        try {
            TFileStream stream(missing, mode);
            ADD_FAILURE() << "a missing file opened";
        } catch (const EInOutError &error) {
            EXPECT_EQ(error.what(), Format(SCannotOpenFile, missing, SystemErrorText(NotFoundError)));
        }
        EXPECT_THROW(TFileStream(Dir.Path(), mode), EInOutError);
    }
    EXPECT_FALSE(FileExists(Dir.File("missing.bin")));
    EXPECT_FALSE(FileExists(Dir.Path()));
    EXPECT_TRUE(FileExists(Path));
}

TEST_F(FileStreamTest, ReadsAreExactAndAShortReadIsAnInputOutputError) {
    TFileStream stream(Path, Reading);
    EXPECT_EQ(stream.Size(), 10);
    uint8_t bytes[4] = {};
    stream.Seek(6);
    stream.ReadBuffer(bytes, 4);
    EXPECT_EQ(bytes[0], 7);
    EXPECT_EQ(bytes[3], 10);
    EXPECT_EQ(stream.Position(), 10);
    stream.Seek(8);
    try {
        stream.ReadBuffer(bytes, 3);
        FAIL() << "a read past the end went through";
    } catch (const EInOutError &error) {
        EXPECT_STREQ(error.what(), SReadError);
    }
}

TEST_F(FileStreamTest, WritesReachTheFileAndAReadOnlyStreamRefusesThem) {
    {
        TFileStream stream(Path, Writing);
        const uint8_t patch[2] = {0xAA, 0xBB};
        stream.Seek(4);
        stream.WriteBuffer(patch, 2);
        EXPECT_EQ(stream.Position(), 6);
        EXPECT_EQ(stream.Size(), 10);
    }
    EXPECT_EQ(ReadFile(Path), (std::vector<uint8_t>{1, 2, 3, 4, 0xAA, 0xBB, 7, 8, 9, 10}));
    TFileStream reader(Path, Reading);
    const uint8_t byte = 0;
    EXPECT_THROW(reader.WriteBuffer(&byte, 1), EInOutError);
    EXPECT_EQ(ReadFile(Path)[0], 1);
}

// Reading on in small pieces makes the stream read ahead; what it holds must stay equal to the file.
TEST_F(FileStreamTest, ReadAheadKeepsUpWithWritesAndEndsWithAShortRead) {
    std::vector<uint8_t> bytes(300000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + i / 256);
    WriteFile(Path, bytes);
    TFileStream stream(Path, Writing);
    std::vector<uint8_t> piece(4096);
    for (int64_t offset = 0; offset < 6 * 4096; offset += 4096) {
        stream.ReadBuffer(piece.data(), piece.size());
        ASSERT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin() + offset));
    }
    const uint8_t patch[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    stream.Seek(30000);
    stream.WriteBuffer(patch, 4);
    std::copy(patch, patch + 4, bytes.begin() + 30000);
    stream.Seek(6 * 4096);
    for (int64_t offset = 6 * 4096; offset + 4096 <= 290000; offset += 4096) {
        stream.ReadBuffer(piece.data(), piece.size());
        ASSERT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin() + offset)) << offset;
    }
    // Reading on one byte past the end, partly out of what was read ahead.
    int64_t end = stream.Position();
    std::vector<uint8_t> tail(static_cast<size_t>(300000 - end + 1));
    EXPECT_THROW(stream.ReadBuffer(tail.data(), tail.size()), EInOutError);
    stream.Seek(end);
    stream.ReadBuffer(tail.data(), tail.size() - 1);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end() - 1, bytes.begin() + end));
    EXPECT_EQ(stream.Position(), 300000);
}

// Names outside ASCII reach the file system as the same characters, in both open modes.
TEST_F(FileStreamTest, NamesOutsideAsciiOpenTheFileOfThatName) {
    const std::string name = "K\xC3\xA4se \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xAC.h264"; // Käse 日本 🎬
    const std::string path = Dir.File(name);
    WriteFile(path, {1, 2, 3});
    std::vector<std::string> listed;
    for (const auto &entry : std::filesystem::directory_iterator(Utf8Path(Dir.Path()))) {
        const std::u8string utf8 = entry.path().filename().u8string();
        listed.emplace_back(utf8.begin(), utf8.end());
    }
    EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end());
    EXPECT_TRUE(FileExists(path));
    {
        TFileStream stream(path, Writing);
        EXPECT_EQ(stream.Size(), 3);
        const uint8_t byte = 9;
        stream.Seek(1);
        stream.WriteBuffer(&byte, 1);
    }
    TFileStream stream(path, Reading);
    uint8_t bytes[3] = {};
    stream.ReadBuffer(bytes, 3);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), (std::vector<uint8_t>{1, 9, 3}));
}

#ifdef _WIN32

// Another program's handle on the file, with its access and what it shares.
class TOtherProgram {
public:
    TOtherProgram(const std::string &path, DWORD access, DWORD share)
        : FHandle(::CreateFileW(Utf8ToWide(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)),
          FError(FHandle == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS) {}
    ~TOtherProgram() {
        if (FHandle != INVALID_HANDLE_VALUE)
            ::CloseHandle(FHandle);
    }
    TOtherProgram(const TOtherProgram &) = delete;
    TOtherProgram &operator=(const TOtherProgram &) = delete;
    bool Opened() const { return FHandle != INVALID_HANDLE_VALUE; }
    DWORD Error() const { return FError; }

private:
    HANDLE FHandle;
    DWORD FError;
};

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A program writing the file, however much it shares, keeps it from being scanned: the scan would read
// data that changes under it.
TEST_F(FileStreamTest, AFileOpenForWritingElsewhereCanNotBeScanned) {
    TOtherProgram writer(Path, GENERIC_WRITE, ShareAll);
    ASSERT_TRUE(writer.Opened());
    EXPECT_EQ(OpenError(Reading), InUse);
    TScanSession session;
    TH264StreamParser stream(session);
    try {
        stream.Parse(Path);
        ADD_FAILURE() << "the scan went through";
    } catch (const EInOutError &error) {
        EXPECT_EQ(error.what(), InUse);
    }
    const std::string text = SystemErrorText(InUseError);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
}

// A program reading the file keeps it from being saved, even when it would let others write; one that
// only reads and shares reading lets it be scanned.
TEST_F(FileStreamTest, AFileOpenForReadingElsewhereCanNotBeSaved) {
    {
        TOtherProgram reader(Path, GENERIC_READ, ShareAll);
        ASSERT_TRUE(reader.Opened());
        EXPECT_EQ(OpenError(Writing), InUse);
    }
    TOtherProgram reader(Path, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.Opened());
    EXPECT_EQ(OpenError(Reading), "");
    EXPECT_EQ(OpenError(Writing), InUse);
    EXPECT_EQ(ReadFile(Path), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

// While the file is open for reading here, another program may read it but not write it.
TEST_F(FileStreamTest, AScannedFileMayBeReadButNotWrittenElsewhere) {
    TFileStream stream(Path, Reading);
    EXPECT_TRUE(TOtherProgram(Path, GENERIC_READ, ShareAll).Opened());
    EXPECT_EQ(TOtherProgram(Path, GENERIC_WRITE, ShareAll).Error(),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

#endif

#ifndef _WIN32

// Opening a pipe waits for a writer, and a device may never end: anything that is not a regular file is
// refused before it is opened, with a message that says so, for reading and for writing alike.
TEST_F(FileStreamTest, PipesSocketsAndDevicesAreRefusedBeforeTheyAreOpened) {
    const std::string fifo = Dir.File("pipe.h264");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string socketPath = Dir.File("socket.h264");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    for (const std::string &name : {fifo, socketPath, std::string("/dev/zero"), std::string("/dev/null")})
        for (TFileOpenMode mode : {Reading, Writing}) {
            SCOPED_TRACE(name);
            try {
                TFileStream stream(name, mode);
                ADD_FAILURE() << "opened";
            } catch (const EInOutError &error) {
                EXPECT_EQ(error.what(), Format(SNotARegularFile, name));
            }
        }
    ::close(listener);
    // A scan of a pipe ends the same way, without waiting for a writer.
    TScanSession session;
    TH264StreamParser parser(session);
    EXPECT_THROW(parser.Parse(fifo), EInOutError);
}

#endif

// Flush asks the system to sync what was written before it returns, and a read after it asks the system
// again instead of serving what the stream held: a read-back then checks the medium.
TEST_F(FileStreamTest, FlushSyncsTheWritesAndReadsAfterItGoToTheFile) {
    std::vector<TFileCall> calls;
    uint8_t back[2] = {};
    {
        TFileStream stream(Path, Writing);
        uint8_t held[4];
        stream.Seek(0);
        stream.ReadBuffer(held, sizeof held); // the stream now holds the file's first bytes
        stream.BeforeCall = [&calls](const TFileCall &call) { calls.push_back(call); };
        const uint8_t bytes[2] = {0xAA, 0xBB};
        stream.Seek(3);
        stream.WriteBuffer(bytes, 2);
        stream.Flush();
        stream.Seek(3);
        stream.ReadBuffer(back, 2);
    } // closed: on Windows nobody else may read the file while the writer has it
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].Kind, TFileCall::TKind::Write);
    EXPECT_EQ(calls[0].Offset, 3);
    EXPECT_EQ(calls[0].Count, 2u);
    EXPECT_EQ(calls[1].Kind, TFileCall::TKind::Sync);
    EXPECT_EQ(calls[2].Kind, TFileCall::TKind::Read);
    EXPECT_EQ(back[0], 0xAA);
    EXPECT_EQ(ReadFile(Path), (std::vector<uint8_t>{1, 2, 3, 0xAA, 0xBB, 6, 7, 8, 9, 10}));
}

// A call the system fails is an input/output error of the stream, the sync's too.
TEST_F(FileStreamTest, AFailedSyncIsAnInputOutputError) {
    TFileStream stream(Path, Writing);
    stream.BeforeCall = [](const TFileCall &call) {
        if (call.Kind == TFileCall::TKind::Sync)
            throw EInOutError("the medium is gone");
    };
    const uint8_t byte = 0xAA;
    stream.WriteBuffer(&byte, 1);
    EXPECT_THROW(stream.Flush(), EInOutError);
}

// Planned reads: the places told ahead are asked of the system as runs of whole pages (the first bytes of
// each place, to the end of its page), places whose pages touch as one run, each run once and before it
// is read; a read at a place reads what was brought in and no further, however near the reads come.
TEST_F(FileStreamTest, PlannedReadsAskForTheExpectedPagesOnceAndReadOnlyThem) {
    constexpr int64_t Page = TFileStream::PageSize;
    WritePlaces(16, 7);
    if (!PutOutOfMemory(Path))
        GTEST_SKIP() << "the system keeps the file in memory";
    TFileStream stream(Path, Reading);
    std::vector<TFileCall> calls;
    stream.BeforeCall = [&calls](const TFileCall &call) { calls.push_back(call); };
    stream.Expect(100, 10); // nothing planned yet: no advice
    EXPECT_TRUE(calls.empty());
    stream.PlanReads();
    stream.Expect(100, 10);
    stream.Expect(Page - 100, 5000); // runs into the next page: the two become one run
    stream.Expect(Page + 10, 4);     // inside that run already
    stream.Expect(10 * Page - 10, 1);
    stream.Expect(10 * Page - 10, 1); // the same place again
    ASSERT_EQ(calls.size(), 1u);      // the first run could still grow until the third place came
    EXPECT_EQ(calls[0].Kind, TFileCall::TKind::Expect);
    EXPECT_EQ(calls[0].Offset, 0);
    EXPECT_EQ(calls[0].Count, static_cast<size_t>(2 * Page));
    uint8_t four[4] = {};
    stream.Seek(10 * Page - 10);
    stream.ReadBuffer(four, 4); // the run it lies in is asked for first
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].Kind, TFileCall::TKind::Expect);
    EXPECT_EQ(calls[1].Offset, 9 * Page);
    EXPECT_EQ(calls[1].Count, static_cast<size_t>(2 * Page));
    EXPECT_EQ(calls[2].Kind, TFileCall::TKind::Read);
    EXPECT_EQ(calls[2].Offset, 10 * Page - 10);
    EXPECT_EQ(calls[2].Count, static_cast<size_t>(Page + 10));
    EXPECT_EQ(four[3], static_cast<uint8_t>((10 * Page - 7) * 7));
    // Reads one after the other stay small: planned reads never start reading the file ahead.
    calls.clear();
    for (int64_t at = 100; at < 100 + 8 * Page; at += Page / 2) {
        stream.Seek(at);
        stream.ReadBuffer(four, 4);
        EXPECT_EQ(four[0], static_cast<uint8_t>(at * 7));
    }
    ASSERT_FALSE(calls.empty());
    for (const TFileCall &call : calls) {
        EXPECT_EQ(call.Kind, TFileCall::TKind::Read);
        EXPECT_LE(call.Count, static_cast<size_t>(Page));
    }
    // Nothing past the end of the file is asked for, nor read.
    calls.clear();
    stream.Expect(16 * Page - 2, 100);
    stream.Expect(16 * Page, 100);
    stream.Seek(16 * Page - 2);
    uint8_t two[2] = {};
    stream.ReadBuffer(two, 2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Offset, 15 * Page);
    EXPECT_EQ(calls[0].Count, static_cast<size_t>(Page));
    EXPECT_EQ(calls[1].Count, 2u);
}

#ifndef _WIN32

// A file in memory is asked for nothing and read only as far as a place needs; once a read finds its bytes
// not there, the runs told ahead of it are asked for, and from then on the file is read as one on the disk.
TEST_F(FileStreamTest, PlannedReadsOfAFileInMemoryAskForNothingUntilAReadWaits) {
    constexpr int64_t Page = TFileStream::PageSize;
    const std::vector<uint8_t> bytes = WritePlaces(64, 5);
    EXPECT_EQ(ReadFile(Path), bytes); // in memory now
    TFileStream stream(Path, Reading);
    std::vector<TFileCall> calls;
    stream.BeforeCall = [&calls](const TFileCall &call) { calls.push_back(call); };
    stream.PlanReads();
    stream.Expect(100, 10);
    stream.Expect(20 * Page + 8, 10);
    stream.Expect(30 * Page + 8, 10);
    stream.Expect(40 * Page + 8, 10);
    EXPECT_TRUE(calls.empty());
    uint8_t four[4] = {};
    stream.Seek(100);
    stream.ReadBuffer(four, 4);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Kind, TFileCall::TKind::Read);
    EXPECT_EQ(calls[0].Count, static_cast<size_t>(TFileStream::PlannedLook));
    EXPECT_EQ(four[0], static_cast<uint8_t>(100 * 5));

    if (!PutOutOfMemory(Path))
        GTEST_SKIP() << "the system keeps the file in memory";
    calls.clear();
    stream.Seek(20 * Page + 8);
    stream.ReadBuffer(four, 4);
    EXPECT_EQ(four[3], static_cast<uint8_t>((20 * Page + 11) * 5));
    // The run of the read and the one behind it had been told; the last place is still to be asked for.
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].Kind, TFileCall::TKind::Read);
    EXPECT_EQ(calls[1].Kind, TFileCall::TKind::Expect);
    EXPECT_EQ(calls[1].Offset, 20 * Page);
    EXPECT_EQ(calls[1].Count, static_cast<size_t>(Page));
    EXPECT_EQ(calls[2].Kind, TFileCall::TKind::Expect);
    EXPECT_EQ(calls[2].Offset, 30 * Page);
    calls.clear();
    stream.Seek(40 * Page + 8);
    stream.ReadBuffer(four, 4);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Kind, TFileCall::TKind::Expect);
    EXPECT_EQ(calls[0].Offset, 40 * Page);
    EXPECT_EQ(calls[1].Kind, TFileCall::TKind::Read);
    EXPECT_EQ(calls[1].Count, static_cast<size_t>(Page - 8)); // to the end of the page asked for
    EXPECT_EQ(four[0], static_cast<uint8_t>((40 * Page + 8) * 5));
}

// Runs gone through as a whole are asked of the system at once, each page once however the runs told
// overlap; a run the system holds in memory already is not asked for.
TEST_F(FileStreamTest, WholeRunsAreAskedForOnceAndNotWhenInMemory) {
    constexpr int64_t Page = TFileStream::PageSize;
    WriteFile(Path, std::vector<uint8_t>(static_cast<size_t>(64 * Page), 7));
    if (!PutOutOfMemory(Path))
        GTEST_SKIP() << "the system keeps the file in memory";
    TFileStream stream(Path, Reading);
    std::vector<TFileCall> calls;
    stream.BeforeCall = [&calls](const TFileCall &call) { calls.push_back(call); };
    stream.ExpectWhole(100, 10 * Page);
    stream.ExpectWhole(5 * Page, 10 * Page); // only its part behind the first run
    stream.ExpectWhole(0, Page);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Kind, TFileCall::TKind::Expect);
    EXPECT_EQ(calls[0].Offset, 0);
    EXPECT_EQ(calls[0].Count, static_cast<size_t>(11 * Page));
    EXPECT_EQ(calls[1].Offset, 11 * Page);
    EXPECT_EQ(calls[1].Count, static_cast<size_t>(4 * Page));
    std::vector<uint8_t> all(static_cast<size_t>(64 * Page));
    stream.Seek(0);
    stream.ReadBuffer(all.data(), all.size());
    calls.clear();
    stream.ExpectWhole(40 * Page, 100 * Page); // read, so in memory; and no further than the file
    EXPECT_TRUE(calls.empty());
}

#endif

TEST(MemoryStream, ReadsExactlyAndGrowsWhenWrittenPastItsEnd) {
    TMemoryStream stream({1, 2, 3});
    uint8_t bytes[3] = {};
    stream.Seek(1);
    EXPECT_THROW(stream.ReadBuffer(bytes, 3), EInOutError);
    const uint8_t tail[2] = {8, 9};
    stream.Seek(2);
    stream.WriteBuffer(tail, 2);
    EXPECT_EQ(stream.Bytes(), (std::vector<uint8_t>{1, 2, 8, 9}));
    EXPECT_EQ(stream.Position(), 4);
}

// A memory stream lends its own bytes, with the bytes in front of them: those before its first byte it
// does not have, nor any past its end. Lent bytes show later writes inside the stream, and a stream that
// grows leaves them as they were.
TEST(MemoryStream, LendsItsBytesAsLongAsTheLeaseLasts) {
    TMemoryStream stream({1, 2, 3, 4, 5, 6});
    TLentBytes lent = stream.Lend(3, 3, 3);
    ASSERT_TRUE(lent);
    EXPECT_EQ(std::vector<uint8_t>(lent.Bytes - 3, lent.Bytes + 3), stream.Bytes());
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_FALSE(stream.Lend(2, 1, 3));
    EXPECT_FALSE(stream.Lend(4, 3, 0));
    EXPECT_FALSE(stream.Lend(7, 0, 0));
    EXPECT_TRUE(stream.Lend(6, 0, 0));

    const uint8_t seven = 7;
    stream.Seek(4);
    stream.WriteBuffer(&seven, 1);
    EXPECT_EQ(lent.Bytes[1], 7);
    const uint8_t more[4] = {8, 9, 10, 11};
    stream.WriteBuffer(more, sizeof more);
    EXPECT_EQ(stream.Bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 7, 8, 9, 10, 11}));
    EXPECT_EQ(std::vector<uint8_t>(lent.Bytes - 3, lent.Bytes + 3), (std::vector<uint8_t>{1, 2, 3, 4, 7, 6}));
}

} // namespace
