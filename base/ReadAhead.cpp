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
    // The ready blocks give their memory back under the lock: let them go without holding it.
    std::deque<std::shared_ptr<TFileBlock>> ready;
    std::swap(ready, FReady);
}

void TReadAhead::TReturnBlock::operator()(TFileBlock *block) const {
    {
        std::lock_guard<std::mutex> lock(Shared->Lock);
        block->Error = nullptr;
        Shared->Free.emplace_back(block);
    }
    Shared->Changed.notify_all();
}

std::shared_ptr<const TFileBlock> TReadAhead::Block(int64_t index) {
    if (index < 0 || index * FBlockSize >= FFileSize)
        return nullptr;
    // Blocks let go here give their memory back under the lock: they go when it is released.
    std::vector<std::shared_ptr<TFileBlock>> released;
    std::unique_lock<std::mutex> lock(FShared->Lock);
    if (index < FFirst || index > FNext) {
        ++FGeneration;
        released.assign(FReady.begin(), FReady.end());
        FReady.clear();
        FFirst = index;
        FNext = index;
    }
    while (FFirst < index - 1 && !FReady.empty()) {
        released.push_back(std::move(FReady.front()));
        FReady.pop_front();
        ++FFirst;
    }
    FWanted = index;
    FShared->Changed.notify_all();
    FShared->Changed.wait(lock, [&] { return index < FFirst + static_cast<int64_t>(FReady.size()); });
    std::shared_ptr<const TFileBlock> block = FReady[static_cast<size_t>(index - FFirst)];
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
            index = FNext;
            generation = FGeneration;
            if (!FShared->Free.empty()) {
                memory = std::move(FShared->Free.back());
                FShared->Free.pop_back();
            }
        }
        if (memory == nullptr) {
            memory = std::make_unique<TFileBlock>();
            memory->Bytes.resize(static_cast<size_t>(FHeadRoom + FBlockSize));
        }
        Read(index, *memory);
        std::shared_ptr<TFileBlock> block(memory.release(), TReturnBlock{FShared});
        std::shared_ptr<TFileBlock> stale; // goes after the lock is released
        {
            std::lock_guard<std::mutex> lock(FShared->Lock);
            if (generation == FGeneration && index == FNext) {
                FReady.push_back(std::move(block));
                ++FNext;
            } else {
                stale = std::move(block);
            }
        }
        FShared->Changed.notify_all();
    }
}

// Reads until the block is full or the file ends; an error of the medium is kept for the reader.
void TReadAhead::Read(int64_t index, TFileBlock &block) const {
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
}
