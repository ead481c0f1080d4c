#include "Journals.h"

#include "TestFiles.h"
#include "scan/JournalStore.h"
#include "scan/SaveJournal.h"

void MarkSaveInterrupted(const std::string &file) {
    const std::string journal = JournalBeside(file);
    std::vector<uint8_t> text = ReadFile(journal);
    const std::string pending = JournalStateText(TJournalState::Pending);
    std::copy(pending.begin(), pending.end(),
              text.begin() + static_cast<std::ptrdiff_t>(JournalStateOffset()));
    WriteFile(journal, text);
}
