#include "SaveSequence.h"

#include "JournalledWrite.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

TSaveSequence::TSaveSequence(TARInfoList &records) : FPlan(records.PlanChanges()) {}

bool TSaveSequence::HasChanges() const {
    return !FPlan.Empty() || !FPlan.Refusals.empty();
}

std::vector<std::string> TSaveSequence::ContainerLines() const {
    std::vector<std::string> lines;
    for (const TPlanEntry &entry : FPlan.Entries)
        if (entry.Kind == TPlanEntry::TKind::Container)
            lines.push_back(entry.Description);
    lines.insert(lines.end(), FPlan.Notes.begin(), FPlan.Notes.end());
    return lines;
}

std::optional<TWriteRefusal> TSaveSequence::InterruptedSave(const std::string &fileName,
                                                            TFileStream &file) const {
    try {
        const std::optional<TFoundJournal> found = FJournals.Find(fileName, file.Identity());
        if (found && found->Journal.State == TJournalState::Pending)
            return TWriteRefusal{TPlanEntry::NoRow,
                                 Format(SSaveInterrupted, fileName, SaveTimeText(found->Journal))};
    } catch (const Exception &damaged) {
        return TWriteRefusal{TPlanEntry::NoRow, damaged.what()};
    }
    return std::nullopt;
}

std::vector<TWriteRefusal> TSaveSequence::Refusals(const std::string &fileName, TFileStream &file) const {
    std::vector<TWriteRefusal> refusals;
    if (std::optional<TWriteRefusal> interrupted = InterruptedSave(fileName, file))
        refusals.push_back(*interrupted);
    std::vector<TWriteRefusal> ofPlan = FPlan.Check(file);
    refusals.insert(refusals.end(), ofPlan.begin(), ofPlan.end());
    return refusals;
}

std::vector<TWriteRefusal> TSaveSequence::Check(const std::string &fileName) const {
    TFileStream file(fileName, TFileOpenMode::ReadShareDenyWrite);
    return Refusals(fileName, file);
}

std::vector<TWriteRefusal> TSaveSequence::OpenForWriting(const std::string &fileName) {
    FHeld.reset(); // one file held at a time: a second open of the same one would be refused
    FHeld = std::make_unique<TFileStream>(fileName, TFileOpenMode::ReadWriteExclusive);
    FHeldName = fileName;
    return Refusals(fileName, *FHeld);
}

TWriteReport TSaveSequence::Apply(const std::string &fileName) {
    std::unique_ptr<TFileStream> file = std::move(FHeld);
    if (!file || FHeldName != fileName) {
        file.reset();
        file = std::make_unique<TFileStream>(fileName, TFileOpenMode::ReadWriteExclusive);
    }
    FHeldName.clear();
    // The plan is checked once more where it is written (TPatchPlan::Apply); the journal here.
    if (std::optional<TWriteRefusal> interrupted = InterruptedSave(fileName, *file))
        throw Exception(interrupted->Reason);
    FJournals.BeforeDiskCall = BeforeDiskCall;
    TellDiskCalls(*file, fileName, BeforeDiskCall);
    return WriteJournalled(FPlan, *file, fileName, FJournals, TJournalAfterWrite::KeepForUndo,
                           BeforeFirstWrite);
}
