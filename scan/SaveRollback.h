#pragma once

// Putting back the old bytes a file's save journal remembers: those of a save that was interrupted
// (recovery), or those of the last save that was completed (undo, one level: its journal is gone
// afterwards). The file is held for writing, nobody else may open it, from construction on.

#include "JournalStore.h"
#include "PatchPlan.h"
#include "base/Streams.h"

#include <optional>
#include <string>
#include <vector>

// What a recovery found at the places of the interrupted save.
struct TRecovery {
    size_t PutBack = 0;               // places that held the new bytes and hold the old ones again
    size_t AlreadyOld = 0;            // places the save had not reached
    std::vector<std::string> Neither; // places that held neither, left as they are: what and where
};

class TSaveRollback {
public:
    // Opens the file for writing and finds its journal; raises Exception when the journal is damaged.
    explicit TSaveRollback(const std::string &fileName);

    // The file's journal, if it has one.
    const TSaveJournal *Journal() const { return FFound ? &FFound->Journal : nullptr; }
    bool Interrupted() const { return FFound && FFound->Journal.State == TJournalState::Pending; }

    // Why there is nothing to recover (no save of the file was interrupted); empty when there is.
    std::string RecoveryRefusal() const;
    // Puts the old bytes back wherever the interrupted save wrote its new ones, then removes the journal.
    // Raises Exception with RecoveryRefusal when there is nothing to recover.
    TRecovery Recover();
    // Why the last save can not be undone (there is none, it was interrupted, or places it wrote have
    // changed since); empty when it can. Reads the file.
    std::string UndoRefusal();
    // Puts back the old bytes of the last completed save, when every place still holds what that save
    // wrote, as a save of its own (checked, journalled, synced, read back), then removes the journal.
    // Raises Exception with UndoRefusal, writing nothing, when it can not be undone.
    TWriteReport Undo();

    // Told of every call that changes the file or its journal, right before it is made.
    TDiskCallHook BeforeDiskCall;

private:
    std::optional<std::vector<uint8_t>> BytesAt(int64_t offset, size_t count);

    std::string FFileName;
    TFileStream FFile;
    TJournalStore FJournals;
    std::optional<TFoundJournal> FFound;
};
