#pragma once

// Reading a file ahead of its reader on a thread of its own: while a scan searches one block, the system
// copies the next ones into memory, so a scan takes about as long as reading the file.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A run of a file's bytes in memory: Bytes[0] is the byte at file offset Start, and Length bytes are held.
// Places in front of the file's first byte hold zero. Error is what reading it raised, if anything.
struct TFileBlock {
    int64_t Start = 0;
    int64_t Length = 0;
    std::vector<uint8_t> Bytes;
    std::exception_ptr Error;

    bool Holds(int64_t from, int64_t to) const { return from >= Start && to <= Start + Length; }
    const uint8_t *At(int64_t offset) const { return Bytes.data() + (offset - Start); }
};

// Reads the blocks of a file one after the other on a thread, up to Depth blocks ahead of the last one
// asked for. A block asked for that the thread has not begun is read by the one who asks, while the
// thread goes on with the next: when the scan is quicker than the thread, the two share the reading.
// Block i holds the file's bytes from i * BlockSize - HeadRoom to (i + 1) * BlockSize or the
// end of the file: the bytes in front of each block come with it. Blocks are lent out; their memory is
// used again once nobody holds them any more. One thread asks for blocks.
class TReadAhead {
public:
    // Reads as many bytes at offset as one system call gives (0 at the end of the file); raises an error
    // when the medium fails. Called on the thread.
    using TRead = std::function<size_t(int64_t offset, uint8_t *bytes, size_t count)>;

    TReadAhead(TRead read, int64_t fileSize, int64_t blockSize, int64_t headRoom, int64_t depth);
    ~TReadAhead();
    TReadAhead(const TReadAhead &) = delete;
    TReadAhead &operator=(const TReadAhead &) = delete;

    int64_t BlockSize() const { return FBlockSize; }
    // The block of that index, waiting while the thread reads it; null for an index past the file's end.
    // Asking for a block that is neither read nor next sends the thread there; blocks before the one in
    // front of it are let go. A block the file ended inside (it got shorter meanwhile) holds what was
    // there.
    std::shared_ptr<const TFileBlock> Block(int64_t index);
    // Stops reading on until the next block is asked for.
    void Pause();

private:
    struct TShared;
    struct TReturnBlock;
    void Run();
    // Takes the next block to read, with memory for it, under the lock; the memory may be null (then new
    // memory is made without the lock).
    int64_t Claim(std::unique_ptr<TFileBlock> &memory);
    std::shared_ptr<TFileBlock> Read(int64_t index, std::unique_ptr<TFileBlock> memory) const;

    TRead FRead;
    int64_t FFileSize;
    int64_t FBlockSize;
    int64_t FHeadRoom;
    int64_t FDepth;
    // The lock, and what the thread and the reader tell each other; lent blocks find the list of free
    // memory through it after the read-ahead has gone.
    std::shared_ptr<TShared> FShared;
    // Blocks FFirst, FFirst + 1, ... up to FNext, the next one nobody reads yet; null while being read.
    std::deque<std::shared_ptr<TFileBlock>> FBlocks;
    int64_t FFirst = 0;
    int64_t FNext = 0;
    int64_t FWanted = -1; // the last block asked for; -1 while paused
    uint64_t FGeneration = 0;
    bool FStop = false;
    std::thread FThread;
};
