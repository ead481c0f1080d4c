#include "JournalledWrite.h"

#include <chrono>
#include <ctime>

TWriteReport WriteJournalled(TPatchPlan &plan, TFileStream &file, const std::string &fileName,
                             const TJournalStore &journals, TJournalAfterWrite after,
                             const std::function<void()> &beforeFirstWrite) {
    std::string journalPath;
    auto writeJournal = [&] {
        if (beforeFirstWrite)
            beforeFirstWrite();
        TSaveJournal journal;
        journal.FileName = fileName;
        journal.Identity = file.Identity();
        journal.Time = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
        for (const TPatch *patch : plan.Patches())
            journal.Places.push_back({patch->FileOffset, patch->Old, patch->New, patch->What});
        journalPath = journals.Write(fileName, journal);
    };
    try {
        TWriteReport report = plan.Apply(file, writeJournal);
        if (!journalPath.empty()) {
            if (after == TJournalAfterWrite::KeepForUndo)
                journals.MarkDone(journalPath);
            else
                journals.Remove(journalPath);
        }
        return report;
    } catch (...) {
        // A failed write that was put back leaves the file as it was: its journal has nothing to tell.
        if (!journalPath.empty()) {
            try {
                if (plan.Check(file).empty())
                    journals.Remove(journalPath);
            } catch (...) {
            }
        }
        throw;
    }
}

void TellDiskCalls(TFileStream &file, const std::string &fileName, const TDiskCallHook &hook) {
    if (!hook) {
        file.BeforeCall = nullptr;
        return;
    }
    file.BeforeCall = [fileName, hook](const TFileCall &call) {
        if (call.Kind == TFileCall::TKind::Write)
            hook({TDiskCall::TKind::Write, fileName, call.Offset, call.Count});
        else if (call.Kind == TFileCall::TKind::Sync)
            hook({TDiskCall::TKind::Sync, fileName, 0, 0});
    };
}

std::string SaveTimeText(const TSaveJournal &journal) {
    const std::time_t time = static_cast<std::time_t>(journal.Time);
    std::tm parts{};
#ifdef _WIN32
    if (::gmtime_s(&parts, &time) != 0)
        return std::to_string(journal.Time);
#else
    if (::gmtime_r(&time, &parts) == nullptr)
        return std::to_string(journal.Time);
#endif
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
        return std::to_string(journal.Time);
    return text;
}
