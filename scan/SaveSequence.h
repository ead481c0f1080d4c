#pragma once

// A save as both programs run it: the changes of the records planned, checked against the file as it is
// now, and (once the program has asked what it asks) written into the file held for writing, where they
// are checked once more, since the file may have changed in between. The write is journalled
// (JournalledWrite): a crash at any point can be rolled back, and the journal is the save's undo. A file
// whose last save was interrupted is refused until it is recovered (SaveRollback).

#include "ARInfo.h"
#include "JournalStore.h"
#include "PatchPlan.h"
#include "base/Streams.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TSaveSequence {
public:
    // Plans the changes of the records; reads nothing.
    explicit TSaveSequence(TARInfoList &records);

    const TPatchPlan &Plan() const { return FPlan; }
    // Whether the save has anything to write or to refuse.
    bool HasChanges() const;
    // What the save does to the containers' own statements, then what it leaves as it is: the lines both
    // programs tell before and after the save.
    std::vector<std::string> ContainerLines() const;

    // The refusals of the plan and of the file (an interrupted save among them), read while nobody may
    // write it; the file is not held afterwards.
    std::vector<TWriteRefusal> Check(const std::string &fileName) const;
    // Opens the file for reading and writing, nobody else may open it until Apply ends, and returns the
    // refusals of the plan and of the file.
    std::vector<TWriteRefusal> OpenForWriting(const std::string &fileName);
    // Writes the plan (see TPatchPlan::Apply) into the file OpenForWriting holds, or opens it for writing
    // now, and checks it once more there: raises Exception, writing nothing, when anything is refused.
    // The file is released at the end, whatever happened.
    TWriteReport Apply(const std::string &fileName);

    // Runs once, right before the first byte is written, and not at all when nothing is to be written;
    // what it raises ends the save with nothing written.
    std::function<void()> BeforeFirstWrite;
    // Told of every call that changes the file or its journal, right before it is made.
    TDiskCallHook BeforeDiskCall;

private:
    // Refuses the file while its last save is unrecovered (or its journal is damaged).
    std::optional<TWriteRefusal> InterruptedSave(const std::string &fileName, TFileStream &file) const;
    std::vector<TWriteRefusal> Refusals(const std::string &fileName, TFileStream &file) const;

    TPatchPlan FPlan;
    TJournalStore FJournals;
    std::string FHeldName;
    std::unique_ptr<TFileStream> FHeld;
};
