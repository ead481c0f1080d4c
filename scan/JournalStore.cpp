#include "JournalStore.h"

#include "base/Exceptions.h"
#include "base/Messages.h"

#include <filesystem>
#include <system_error>

namespace {

constexpr const char *JournalSuffix = ".pellmar-journal";

bool Exists(const std::string &path) {
    std::error_code error;
    return std::filesystem::is_regular_file(Utf8Path(path), error);
}

// The places a journal of the file may be, beside it first; the state folder only when there is one.
std::vector<std::string> Places(const std::string &fileName, const TFileIdentity &identity) {
    std::vector<std::string> places{JournalBeside(fileName)};
    try {
        places.push_back(JournalInStateFolder(identity));
    } catch (const EInOutError &) {
    }
    return places;
}

} // namespace

std::string JournalBeside(const std::string &fileName) {
    const std::filesystem::path path = Utf8Path(fileName);
    return Utf8Name(path.parent_path() / Utf8Path("." + Utf8Name(path.filename()) + JournalSuffix));
}

bool IsJournalName(const std::string &fileName) {
    const std::string name = Utf8Name(Utf8Path(fileName).filename());
    for (const std::string &suffix : {std::string(JournalSuffix), std::string(JournalSuffix) + ".new"})
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    return false;
}

std::string JournalInStateFolder(const TFileIdentity &identity) {
    return Utf8Name(Utf8Path(StateFolder()) /
                    (std::to_string(identity.Device) + "-" + std::to_string(identity.Node) + JournalSuffix));
}

// Both places may hold one when the file's folder was writable at one save and not at a later one: the
// later save's counts.
std::optional<TFoundJournal> TJournalStore::Find(const std::string &fileName,
                                                 const TFileIdentity &identity) const {
    std::optional<TFoundJournal> found;
    for (const std::string &path : Places(fileName, identity)) {
        if (!Exists(path))
            continue;
        TSaveJournal journal = ParseJournal(ReadSmallFile(path), path);
        if (journal.IsOf(identity) && (!found || journal.Time > found->Journal.Time))
            found = TFoundJournal{path, std::move(journal)};
    }
    return found;
}

std::optional<TFoundJournal> TJournalStore::Find(const std::string &fileName) const {
    TFileStream file(fileName, TFileOpenMode::ReadShareDenyWrite);
    return Find(fileName, file.Identity());
}

std::string TJournalStore::Write(const std::string &fileName, const TSaveJournal &journal) const {
    const std::string text = JournalText(journal);
    const std::string beside = JournalBeside(fileName);
    std::string besideError;
    try {
        ReplaceFileDurably(beside, text, BeforeDiskCall);
    } catch (const EInOutError &error) {
        besideError = error.what();
    }
    if (besideError.empty()) {
        // An older journal of the file in the state folder would be found second and never again used.
        try {
            const std::string other = JournalInStateFolder(journal.Identity);
            if (Exists(other))
                RemoveFileDurably(other, BeforeDiskCall);
        } catch (const EInOutError &) {
        }
        return beside;
    }
    std::string inStateFolder;
    try {
        inStateFolder = JournalInStateFolder(journal.Identity);
        MakeFolder(StateFolder());
        ReplaceFileDurably(inStateFolder, text, BeforeDiskCall);
    } catch (const EInOutError &error) {
        throw Exception(
            Format(SJournalNowhere, fileName, WithoutFullStop(besideError), WithoutFullStop(error.what())));
    }
    // A journal beside the file can not be there: its folder could not be written.
    return inStateFolder;
}

void TJournalStore::MarkDone(const std::string &path) const {
    OverwriteDurably(path, static_cast<int64_t>(JournalStateOffset()), JournalStateText(TJournalState::Done),
                     BeforeDiskCall);
}

void TJournalStore::Remove(const std::string &path) const {
    RemoveFileDurably(path, BeforeDiskCall);
}
