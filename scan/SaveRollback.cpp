#include "SaveRollback.h"

#include "JournalledWrite.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

namespace {

std::string PlaceText(const TJournalPlace &place) {
    return Format(SJournalPlace, place.What, place.Offset);
}

// One entry that writes the given places' old bytes over their new ones.
TPatchPlan PlanPuttingBack(const std::vector<const TJournalPlace *> &places, const std::string &description) {
    TPlanEntry entry;
    entry.Description = description;
    for (const TJournalPlace *place : places)
        entry.Patches.push_back({place->Offset, place->New, place->Old, place->What});
    TPatchPlan plan;
    plan.Entries.push_back(std::move(entry));
    return plan;
}

} // namespace

TSaveRollback::TSaveRollback(const std::string &fileName)
    : FFileName(fileName), FFile(fileName, TFileOpenMode::ReadWriteExclusive),
      FFound(FJournals.Find(fileName, FFile.Identity())) {}

std::optional<std::vector<uint8_t>> TSaveRollback::BytesAt(int64_t offset, size_t count) {
    if (offset + static_cast<int64_t>(count) > FFile.Size())
        return std::nullopt;
    std::vector<uint8_t> bytes(count);
    FFile.Seek(offset);
    FFile.ReadBuffer(bytes.data(), count);
    return bytes;
}

std::string TSaveRollback::RecoveryRefusal() const {
    return Interrupted() ? std::string() : Format(SNoInterruptedSave, FFileName);
}

TRecovery TSaveRollback::Recover() {
    if (const std::string refusal = RecoveryRefusal(); !refusal.empty())
        throw Exception(refusal);
    TRecovery recovery;
    std::vector<const TJournalPlace *> written;
    for (const TJournalPlace &place : FFound->Journal.Places) {
        const std::optional<std::vector<uint8_t>> now = BytesAt(place.Offset, place.Old.size());
        if (now == place.Old)
            ++recovery.AlreadyOld;
        else if (now == place.New)
            written.push_back(&place);
        else
            recovery.Neither.push_back(PlaceText(place));
    }
    FJournals.BeforeDiskCall = BeforeDiskCall;
    TellDiskCalls(FFile, FFileName, BeforeDiskCall);
    // The journal stays until the old bytes are on the disk: a recovery that is itself interrupted is
    // simply run again.
    if (!written.empty()) {
        TPatchPlan plan = PlanPuttingBack(written, SRecoveryEntry);
        plan.Apply(FFile);
    }
    recovery.PutBack = written.size();
    FJournals.Remove(FFound->Path);
    FFound.reset();
    return recovery;
}

std::string TSaveRollback::UndoRefusal() {
    if (!FFound)
        return Format(SNothingToUndo, FFileName);
    if (Interrupted())
        return Format(SSaveInterrupted, FFileName, SaveTimeText(FFound->Journal));
    std::string changed;
    int64_t changedCount = 0;
    for (const TJournalPlace &place : FFound->Journal.Places) {
        if (BytesAt(place.Offset, place.New.size()) != place.New) {
            changed += (changed.empty() ? "" : "; ") + PlaceText(place);
            ++changedCount;
        }
    }
    if (changedCount > 0)
        return Format(SUndoPlacesChanged, FFileName, SaveTimeText(FFound->Journal), changedCount, changed);
    return {};
}

TWriteReport TSaveRollback::Undo() {
    if (const std::string refusal = UndoRefusal(); !refusal.empty())
        throw Exception(refusal);
    std::vector<const TJournalPlace *> places;
    for (const TJournalPlace &place : FFound->Journal.Places)
        places.push_back(&place);
    FJournals.BeforeDiskCall = BeforeDiskCall;
    TellDiskCalls(FFile, FFileName, BeforeDiskCall);
    TPatchPlan plan = PlanPuttingBack(places, Format(SUndoEntry, SaveTimeText(FFound->Journal)));
    // The undo's own journal takes the place of the save's; once the undo is on the disk, it is removed.
    TWriteReport report = WriteJournalled(plan, FFile, FFileName, FJournals, TJournalAfterWrite::Remove);
    // Where the undo's journal went elsewhere (the folder has become writable or read-only since), the
    // save's is still there.
    FJournals.Remove(FFound->Path);
    FFound.reset();
    return report;
}
