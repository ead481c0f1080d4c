#pragma once

// The record a save keeps on disk before it writes its first byte, as a database keeps a rollback
// journal: which file (and which file exactly: device, node, size), when, and every place it changes with
// the bytes there before and after. While its state is pending, a crash may have left the file half
// written, and the record tells how to put it back; once done, it is the undo of that save.

#include "base/Streams.h"

#include <cstdint>
#include <string>
#include <vector>

struct TJournalPlace {
    int64_t Offset = 0;
    std::vector<uint8_t> Old;
    std::vector<uint8_t> New; // as many bytes as Old
    std::string What;
};

enum class TJournalState { Pending, Done };

struct TSaveJournal {
    TJournalState State = TJournalState::Pending;
    std::string FileName; // as the save named it, for messages
    TFileIdentity Identity;
    int64_t Time = 0; // when the save began, seconds since 1970 (UTC)
    std::vector<TJournalPlace> Places;

    // SHA-256 of the places' old bytes one after the other, in hexadecimal.
    std::string OldBytesHash() const;
    // Whether the journal is one of this file: same device, node and size (an in-place save keeps the
    // size; a file replaced under the name has another node).
    bool IsOf(const TFileIdentity &identity) const;
};

// The journal as the text it is stored in: one line per field and per place, and a SHA-256 over all of
// it but the state, which a save changes in place once its writes are on the disk.
std::string JournalText(const TSaveJournal &journal);
// Reads that text back; raises Exception, naming path, when it is not a whole journal.
TSaveJournal ParseJournal(const std::string &text, const std::string &path);
// Where the state stands in the text, and the text of each state (all of one width).
size_t JournalStateOffset();
std::string JournalStateText(TJournalState state);
