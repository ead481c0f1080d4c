#pragma once

// A plan written as a crash-safe save: its journal (every place with its old and new bytes) is on the
// disk before the first byte of the file is written; once every patch is on the disk and reads back as
// written, the journal is marked done and kept as the undo of the save, or removed (an undo itself).

#include "JournalStore.h"
#include "PatchPlan.h"

#include <functional>
#include <string>

enum class TJournalAfterWrite { KeepForUndo, Remove };

// See TPatchPlan::Apply: checked, written, synced, read back; a failure puts back what was written. The
// journal is written after beforeFirstWrite (and not at all when there is nothing to write); a save that
// fails leaves its journal only when the file may hold some of the new bytes.
TWriteReport WriteJournalled(TPatchPlan &plan, TFileStream &file, const std::string &fileName,
                             const TJournalStore &journals, TJournalAfterWrite after,
                             const std::function<void()> &beforeFirstWrite = {});

// Tells hook of the file's writes and syncs as disk calls on fileName.
void TellDiskCalls(TFileStream &file, const std::string &fileName, const TDiskCallHook &hook);

// When the journal's save began, as "2026-12-10 12:00:00 UTC".
std::string SaveTimeText(const TSaveJournal &journal);
