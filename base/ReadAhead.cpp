#include "ReadAhead.h"

#include <algorithm>
#include <cstring>

struct TReadAhead::TShared {
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::unique_ptr<TFileBlock>> Free;
};

// Gives a block's memory back for the next block, on whatever thread lets the block go last.
struct TReadAhead::TReturnBlock {
    std::shared_ptr<TShared> Shared;
    void operator()(TFileBlock *block) const;
};

TReadAhead::TReadAhead(TRead read, int64_t fileSize, int64_t blockSize, int64_t headRoom, int64_t depth)
    : FRead(std::move(read)), FFileSize(fileSize), FBlockSize(blockSize), FHeadRoom(headRoom), FDepth(depth),
      FShared(std::make_shared<TShared>()) {
    FThread = std::thread([this] { Run(); });
}

TReadAhead::~TReadAhead() {
    {
        std::lock_guard<std::mutex> lock(FShared->Lock);
        FStop = true;
    }
    FShared->Changed.notify_all();
    FThread.join();
    // The blocks give their memory back under the lock: let them go without holding it.
    std::deque<std::shared_ptr<TFileBlock>> blocks;
    std::swap(blocks, FBlocks);
}

void TReadAhead::TReturnBlock::operator()(TFileBlock *block) const {
    {
        std::lock_guard<std::mutex> lock(Shared->Lock);
        block->Error = nullptr;
        Shared->Free.emplace_back(block);
    }
    Shared->Changed.notify_all();
}

int64_t TReadAhead::Claim(std::unique_ptr<TFileBlock> &memory) {
    if (!FShared->Free.empty()) {
        memory = std::move(FShared->Free.back());
        FShared->Free.pop_back();
    }
    FBlocks.emplace_back();
    return FNext++;
}

std::shared_ptr<const TFileBlock> TReadAhead::Block(int64_t index) {
    if (index < 0 || index * FBlockSize >= FFileSize)
        return nullptr;
    // Blocks let go here give their memory back under the lock: they go when it is released.
    std::vector<std::shared_ptr<TFileBlock>> released;
    std::unique_lock<std::mutex> lock(FShared->Lock);
    if (index < FFirst || index > FNext) {
        ++FGeneration;
        released.assign(FBlocks.begin(), FBlocks.end());
        FBlocks.clear();
        FFirst = index;
        FNext = index;
    }
    while (FFirst < index - 1) {
        released.push_back(std::move(FBlocks.front()));
        FBlocks.pop_front();
        ++FFirst;
    }
    FWanted = index;
    FShared->Changed.notify_all();
    const int64_t blocks = (FFileSize + FBlockSize - 1) / FBlockSize;
    for (;;) {
        const auto at = static_cast<size_t>(index - FFirst);
        if (at < FBlocks.size() && FBlocks[at] != nullptr)
            break;
        if (FNext > index + FDepth || FNext >= blocks) {
            FShared->Changed.wait(lock);
            continue;
        }
        // Rather than wait for the thread, read the next block nobody reads yet: the one asked for, or one
        // the thread would read after the one it is at.
        std::unique_ptr<TFileBlock> memory;
        const int64_t next = Claim(memory);
        lock.unlock();
        FShared->Changed.notify_all();
        std::shared_ptr<TFileBlock> read = Read(next, std::move(memory));
        lock.lock();
        std::swap(FBlocks[static_cast<size_t>(next - FFirst)], read);
        released.push_back(std::move(read));
    }
    std::shared_ptr<const TFileBlock> block = FBlocks[static_cast<size_t>(index - FFirst)];
    lock.unlock();
    if (block->Error)
        std::rethrow_exception(block->Error);
    return block;
}

void TReadAhead::Pause() {
    std::lock_guard<std::mutex> lock(FShared->Lock);
    FWanted = -1;
}

void TReadAhead::Run() {
    const int64_t blocks = (FFileSize + FBlockSize - 1) / FBlockSize;
    for (;;) {
        std::unique_ptr<TFileBlock> memory;
        int64_t index = 0;
        uint64_t generation = 0;
        {
            std::unique_lock<std::mutex> lock(FShared->Lock);
            FShared->Changed.wait(
                lock, [&] { return FStop || (FWanted >= 0 && FNext <= FWanted + FDepth && FNext < blocks); });
            if (FStop)
                return;
            index = Claim(memory);
            generation = FGeneration;
        }
        std::shared_ptr<TFileBlock> block = Read(index, std::move(memory));
        {
            std::lock_guard<std::mutex> lock(FShared->Lock);
            // Not when the reader has gone elsewhere meanwhile.
            if (generation == FGeneration && index >= FFirst)
                std::swap(FBlocks[static_cast<size_t>(index - FFirst)], block);
        }
        FShared->Changed.notify_all();
        // An unused block goes here, after the lock is released.
    }
}

// Reads until the block is full or the file ends; an error of the medium is kept for the reader.
std::shared_ptr<TFileBlock> TReadAhead::Read(int64_t index, std::unique_ptr<TFileBlock> memory) const {
    if (memory == nullptr) {
        memory = std::make_unique<TFileBlock>();
        memory->Bytes.resize(static_cast<size_t>(FHeadRoom + FBlockSize));
    }
    TFileBlock &block = *memory;
    block.Start = index * FBlockSize - FHeadRoom;
    block.Length = 0;
    int64_t offset = std::max<int64_t>(block.Start, 0);
    std::memset(block.Bytes.data(), 0, static_cast<size_t>(offset - block.Start));
    const int64_t end = std::min((index + 1) * FBlockSize, FFileSize);
    try {
        while (offset < end) {
            const size_t done =
                FRead(offset, block.Bytes.data() + (offset - block.Start), static_cast<size_t>(end - offset));
            if (done == 0)
                break;
            offset += static_cast<int64_t>(done);
        }
    } catch (...) {
        block.Error = std::current_exception();
    }
    block.Length = offset - block.Start;
    return std::shared_ptr<TFileBlock>(memory.release(), TReturnBlock{FShared});
}
