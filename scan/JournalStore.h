#pragma once

// Where a file's save journal lives: beside the file, under a hidden name made from the file's name,
// when the file's folder can be written; otherwise in the user's state folder, under a name made from
// the file's device and node. Every change of a journal is on the disk when the call returns.

#include "SaveJournal.h"
#include "base/DurableFiles.h"

#include <optional>
#include <string>

struct TFoundJournal {
    std::string Path;
    TSaveJournal Journal;
};

class TJournalStore {
public:
    // The journal kept for the file whose identity is given, if there is one of that very file (a journal
    // of a file since replaced under the name is not). Raises Exception when the journal there is damaged.
    std::optional<TFoundJournal> Find(const std::string &fileName, const TFileIdentity &identity) const;
    // The same for a file not open: it is opened for reading to learn its identity.
    std::optional<TFoundJournal> Find(const std::string &fileName) const;
    // Puts the journal of the file onto the disk and returns where: beside the file, or in the state
    // folder when the file's folder can not be written. A journal of the file at the other place is
    // removed. Raises Exception, naming both reasons, when neither place can be written.
    std::string Write(const std::string &fileName, const TSaveJournal &journal) const;
    void MarkDone(const std::string &path) const;
    void Remove(const std::string &path) const;

    // Told of every call that changes a journal, right before it is made.
    TDiskCallHook BeforeDiskCall;
};

std::string JournalBeside(const std::string &fileName);
// Whether the name is one of a journal (or of one being written): a folder's walk passes over them.
bool IsJournalName(const std::string &fileName);
// Raises EInOutError when there is no state folder.
std::string JournalInStateFolder(const TFileIdentity &identity);
