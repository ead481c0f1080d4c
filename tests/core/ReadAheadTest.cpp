// Reading a file ahead on a second thread, and the file stream that reads through blocks held in
// memory: every byte served or lent is the file's byte at that place, however the reads jump, and a file
// that gets shorter meanwhile gives an error rather than stale or missing bytes.

#include "base/ReadAhead.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "base/Streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace {

// Different in every block of any size used here, and with zeros and start codes in it.
uint8_t Pattern(int64_t offset) {
    const auto value = static_cast<uint8_t>(offset * 7 + offset / 1000 * 13 + offset / 65536);
    return offset % 97 < 3 ? static_cast<uint8_t>(offset % 97 == 2) : value;
}

std::vector<uint8_t> PatternBytes(int64_t size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (int64_t i = 0; i < size; ++i)
        bytes[static_cast<size_t>(i)] = Pattern(i);
    return bytes;
}

// Whether count bytes at pointer are the pattern's bytes from offset on (zero in front of the file).
bool ArePattern(const uint8_t *bytes, int64_t offset, int64_t count) {
    for (int64_t i = 0; i < count; ++i)
        if (bytes[i] != (offset + i < 0 ? 0 : Pattern(offset + i)))
            return false;
    return true;
}

std::string ErrorOf(const std::function<void()> &action) {
    try {
        action();
    } catch (const Exception &error) {
        return error.what();
    }
    return {};
}

constexpr int64_t Block = 1000;
constexpr int64_t Head = 16;

// A file in memory read in pieces of at most 300 bytes a call, as a medium may give them; the thread
// calls it.
class PieceFile {
public:
    explicit PieceFile(int64_t size) : Bytes(PatternBytes(size)) {}

    TReadAhead::TRead Reader() {
        return [this](int64_t offset, uint8_t *bytes, size_t count) -> size_t {
            ++Calls;
            if (offset >= FailFrom)
                throw EInOutError("the medium failed");
            const int64_t end = std::min<int64_t>(EndsAt, static_cast<int64_t>(Bytes.size()));
            const int64_t part = std::min<int64_t>({static_cast<int64_t>(count), 300, end - offset});
            if (part <= 0)
                return 0;
            std::copy_n(Bytes.begin() + offset, part, bytes);
            return static_cast<size_t>(part);
        };
    }

    std::vector<uint8_t> Bytes;
    std::atomic<int64_t> EndsAt{INT64_MAX};
    std::atomic<int64_t> FailFrom{INT64_MAX};
    std::atomic<int64_t> Calls{0};
};

void ExpectBlock(const std::shared_ptr<const TFileBlock> &block, int64_t index, int64_t fileSize) {
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->Start, index * Block - Head);
    EXPECT_EQ(block->Start + block->Length, std::min((index + 1) * Block, fileSize));
    EXPECT_TRUE(ArePattern(block->Bytes.data(), block->Start, block->Length)) << "block " << index;
}

TEST(ReadAhead, BlocksHoldTheFileWithTheBytesInFrontOfThem) {
    PieceFile file(10 * Block + 123);
    TReadAhead ahead(file.Reader(), 10 * Block + 123, Block, Head, 3);
    for (int64_t index = 0; index <= 10; ++index)
        ExpectBlock(ahead.Block(index), index, 10 * Block + 123);
    EXPECT_EQ(ahead.Block(11), nullptr);
    EXPECT_EQ(ahead.Block(-1), nullptr);
}

// Going back one block finds it still held; longer jumps either way send the thread there.
TEST(ReadAhead, JumpsAndStepsBackGiveTheBlocksAskedFor) {
    PieceFile file(20 * Block);
    TReadAhead ahead(file.Reader(), 20 * Block, Block, Head, 4);
    for (int64_t index : {5, 6, 5, 7, 2, 3, 15, 14, 0, 19, 1, 18})
        ExpectBlock(ahead.Block(index), index, 20 * Block);
    ahead.Pause();
    ExpectBlock(ahead.Block(10), 10, 20 * Block);
}

// A block nobody reads yet is read by the one who asks for it, while the thread reads on: the first block
// always (the thread has not begun), and, when the thread is slow, the blocks the asker gets to first. Each
// block is read once, by one of the two, and holds the file.
TEST(ReadAhead, TheAskerReadsTheBlocksTheThreadHasNotBegun) {
    PieceFile file(40 * Block);
    const std::thread::id asker = std::this_thread::get_id();
    std::mutex lock;
    std::map<int64_t, std::vector<bool>> readers; // block -> whether each read of it was the asker's
    TReadAhead::TRead pieces = file.Reader();
    TReadAhead::TRead slowOnTheThread = [&](int64_t offset, uint8_t *bytes, size_t count) {
        const bool byAsker = std::this_thread::get_id() == asker;
        if (!byAsker)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if ((offset + Head) % Block == 0 || offset == 0) {
            std::lock_guard<std::mutex> guard(lock);
            readers[(offset + Head) / Block].push_back(byAsker);
        }
        return pieces(offset, bytes, count);
    };
    TReadAhead ahead(slowOnTheThread, 40 * Block, Block, Head, 3);
    for (int64_t index = 0; index < 40; ++index)
        ExpectBlock(ahead.Block(index), index, 40 * Block);
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(readers[0], std::vector<bool>{true});
    int byAsker = 0;
    for (const auto &[index, who] : readers) {
        EXPECT_EQ(who.size(), 1u) << "block " << index;
        byAsker += who.front() ? 1 : 0;
    }
    EXPECT_GT(byAsker, 20);
}

// What was lent stays whole however long it is held: after the read-ahead has gone, and while the
// thread reads on into memory that others gave back.
TEST(ReadAhead, LentBlocksOutliveTheReadAhead) {
    PieceFile file(50 * Block);
    std::vector<std::shared_ptr<const TFileBlock>> held;
    {
        TReadAhead ahead(file.Reader(), 50 * Block, Block, Head, 2);
        for (int64_t index = 0; index < 50; ++index) {
            std::shared_ptr<const TFileBlock> block = ahead.Block(index);
            if (index % 10 == 0)
                held.push_back(block);
        }
    }
    ASSERT_EQ(held.size(), 5u);
    for (size_t i = 0; i < held.size(); ++i)
        ExpectBlock(held[i], static_cast<int64_t>(i) * 10, 50 * Block);
}

TEST(ReadAhead, AnErrorOfTheMediumReachesTheReaderWithItsBlock) {
    PieceFile file(10 * Block);
    file.FailFrom = 4 * Block + 500;
    TReadAhead ahead(file.Reader(), 10 * Block, Block, Head, 3);
    for (int64_t index = 0; index < 4; ++index)
        ExpectBlock(ahead.Block(index), index, 10 * Block);
    EXPECT_EQ(ErrorOf([&] { ahead.Block(4); }), "the medium failed");
    // Asked again, the block is read again.
    file.FailFrom = INT64_MAX;
    ExpectBlock(ahead.Block(1), 1, 10 * Block);
    ExpectBlock(ahead.Block(4), 4, 10 * Block);
}

// The file ends earlier than its size said: the block holds what was there, the ones after it nothing.
TEST(ReadAhead, AFileThatEndsEarlyGivesAShortBlock) {
    PieceFile file(10 * Block);
    file.EndsAt = 3 * Block + 250;
    TReadAhead ahead(file.Reader(), 10 * Block, Block, Head, 3);
    ExpectBlock(ahead.Block(2), 2, 10 * Block);
    std::shared_ptr<const TFileBlock> cut = ahead.Block(3);
    EXPECT_EQ(cut->Start + cut->Length, 3 * Block + 250);
    EXPECT_EQ(ahead.Block(5)->Length, 0);
}

class BlockReadingTest : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(Path, PatternBytes(Size)); }

    // Reads count bytes at offset and says whether they are the file's.
    static bool ReadsRight(TFileStream &stream, int64_t offset, int64_t count) {
        std::vector<uint8_t> bytes(static_cast<size_t>(count));
        stream.Seek(offset);
        stream.ReadBuffer(bytes.data(), bytes.size());
        return stream.Position() == offset + count && ArePattern(bytes.data(), offset, count);
    }
    // Lends count bytes at offset with head bytes in front; true when they are the file's, or when the
    // stream declined (no block holds them all).
    static bool LendsRight(TFileStream &stream, int64_t offset, int64_t count, int64_t head) {
        TLentBytes lent = stream.Lend(offset, static_cast<size_t>(count), static_cast<size_t>(head));
        return !lent || ArePattern(lent.Bytes - head, offset - head, count + head);
    }

    static constexpr int64_t StreamBlock = TFileStream::ReadAheadBlockSize;
    static constexpr int64_t Size = 5 * StreamBlock + 777;
    TempDir Dir;
    std::string Path = Dir.File("blocks.bin");
};

// From one place to the next the stream reads ahead on its thread; the reads go on across the ends of
// its blocks, step back, jump, and end at the end of the file.
TEST_F(BlockReadingTest, ReadingOnServesTheFileAsItIs) {
    TFileStream stream(Path, TFileOpenMode::ReadShareDenyWrite);
    for (int64_t offset = 0; offset < StreamBlock + 20000; offset += 4093)
        ASSERT_TRUE(ReadsRight(stream, offset, 4093)) << offset;
    for (int64_t offset : {StreamBlock - 8, 2 * StreamBlock - 3, 2 * StreamBlock - 4096})
        EXPECT_TRUE(ReadsRight(stream, offset, 4096)) << offset;
    EXPECT_TRUE(ReadsRight(stream, 100, 12));
    EXPECT_TRUE(ReadsRight(stream, 3 * StreamBlock + 5, 2 * StreamBlock));
    EXPECT_TRUE(ReadsRight(stream, Size - 10, 10));
    EXPECT_EQ(ErrorOf([&] { ReadsRight(stream, Size - 10, 11); }), SReadError);
    for (int64_t offset = 0; offset + 4096 <= Size; offset += 4096)
        ASSERT_TRUE(LendsRight(stream, offset, 4096, 3)) << offset;
    EXPECT_TRUE(LendsRight(stream, 0, 100, 16));
    EXPECT_TRUE(LendsRight(stream, 2 * StreamBlock - 16, 16, 16));
    EXPECT_FALSE(stream.Lend(Size - 10, 11, 0));
}

// Reads far apart read a window each: the bytes are right whichever way the reads go.
TEST_F(BlockReadingTest, ReadsHereAndThereServeTheFileAsItIs) {
    TFileStream stream(Path, TFileOpenMode::ReadShareDenyWrite);
    for (int64_t offset = 0; offset + 40000 < Size; offset += 40000) {
        ASSERT_TRUE(ReadsRight(stream, offset, 8)) << offset;
        ASSERT_TRUE(LendsRight(stream, offset + 8, 4096, 0)) << offset;
    }
    for (int64_t offset = Size - 9000; offset > 0; offset -= 250000)
        ASSERT_TRUE(ReadsRight(stream, offset, 9000)) << offset;
}

// A write drops what the stream holds: reading it again reads the file.
TEST_F(BlockReadingTest, WhatIsReadAfterAWriteIsWhatWasWritten) {
    TFileStream stream(Path, TFileOpenMode::ReadWriteExclusive);
    for (int64_t offset = 0; offset < 40000; offset += 4000)
        ASSERT_TRUE(ReadsRight(stream, offset, 4000));
    const uint8_t patch[3] = {0xAB, 0xCD, 0xEF};
    stream.Seek(30000);
    stream.WriteBuffer(patch, sizeof patch);
    std::vector<uint8_t> bytes(8);
    stream.Seek(29999);
    stream.ReadBuffer(bytes.data(), bytes.size());
    EXPECT_EQ(bytes, (std::vector<uint8_t>{Pattern(29999), 0xAB, 0xCD, 0xEF, Pattern(30003), Pattern(30004),
                                           Pattern(30005), Pattern(30006)}));
}

#ifndef _WIN32

// Windows keeps others from changing a file opened for reading; elsewhere the locks are advisory.

// The file is cut while it is read: what is read after that, from blocks read ahead or from windows,
// either is the file's or ends with an error, never with bytes that are not there.
TEST_F(BlockReadingTest, AFileCutWhileItIsReadGivesAnError) {
    for (int64_t step : {int64_t{4096}, int64_t{60000}}) {
        SCOPED_TRACE(step);
        WriteFile(Path, PatternBytes(Size));
        TFileStream stream(Path, TFileOpenMode::ReadShareDenyWrite);
        EXPECT_FALSE(stream.ChangedSinceOpen());
        int64_t offset = 0;
        for (; offset < StreamBlock; offset += step)
            ASSERT_TRUE(ReadsRight(stream, offset, 16));
        std::filesystem::resize_file(Path, 2 * StreamBlock + 100);
        std::string error;
        for (; offset + 16 <= Size && error.empty(); offset += step)
            error = ErrorOf([&] { EXPECT_TRUE(ReadsRight(stream, offset, 16)) << offset; });
        EXPECT_EQ(error.rfind("The file \"" + Path + "\" got shorter while it was read", 0), 0u) << error;
        EXPECT_TRUE(stream.ChangedSinceOpen());
    }
}

TEST_F(BlockReadingTest, AChangeOrAnotherFileUnderTheNameIsSeen) {
    {
        TFileStream stream(Path, TFileOpenMode::ReadShareDenyWrite);
        WriteFileAt(Path, Size, {1});
        EXPECT_TRUE(stream.ChangedSinceOpen());
    }
    TFileStream stream(Path, TFileOpenMode::ReadShareDenyWrite);
    const std::string other = Dir.File("other.bin");
    WriteFile(other, PatternBytes(Size + 1));
    EXPECT_FALSE(stream.ChangedSinceOpen());
    std::filesystem::rename(other, Path);
    EXPECT_TRUE(stream.ChangedSinceOpen());
    // The stream goes on reading the file it opened.
    EXPECT_TRUE(ReadsRight(stream, 100, 100));
}

#endif

} // namespace
