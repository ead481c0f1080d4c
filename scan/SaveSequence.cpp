#include "SaveSequence.h"

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

std::vector<TWriteRefusal> TSaveSequence::Check(const std::string &fileName) const {
    TFileStream file(fileName, TFileOpenMode::ReadShareDenyWrite);
    return FPlan.Check(file);
}

std::vector<TWriteRefusal> TSaveSequence::OpenForWriting(const std::string &fileName) {
    FHeld.reset(); // one file held at a time: a second open of the same one would be refused
    FHeld = std::make_unique<TFileStream>(fileName, TFileOpenMode::ReadWriteExclusive);
    FHeldName = fileName;
    return FPlan.Check(*FHeld);
}

TWriteReport TSaveSequence::Apply(const std::string &fileName) {
    std::unique_ptr<TFileStream> file = std::move(FHeld);
    if (!file || FHeldName != fileName) {
        file.reset();
        file = std::make_unique<TFileStream>(fileName, TFileOpenMode::ReadWriteExclusive);
    }
    FHeldName.clear();
    return FPlan.Apply(*file, BeforeFirstWrite);
}
