// Journalled saves: the journal on the disk before the file's first byte, recovery of a save stopped at
// any point, undo of the last completed save, and the journal's own form.

#include "TestFiles.h"
#include "base/Exceptions.h"
#include "base/Sha256.h"
#include "scan/JournalStore.h"
#include "scan/JournalledWrite.h"
#include "scan/SaveRollback.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace {

// The user's state folder points into a temporary folder while the test runs.
class TScopedStateFolder {
public:
    TScopedStateFolder() {
        const char *old = std::getenv(Variable);
        if (old != nullptr)
            FOld = old;
        Set(FFolder.Path());
    }
    ~TScopedStateFolder() {
        if (FOld)
            Set(*FOld);
        else
            Set("");
    }
    std::string Path() const { return FFolder.Path(); }

private:
#ifdef _WIN32
    static constexpr const char *Variable = "LOCALAPPDATA";
    static void Set(const std::string &value) {
        ::_putenv_s(Variable, value.c_str());
    }
#else
    static constexpr const char *Variable = "XDG_STATE_HOME";
    static void Set(const std::string &value) {
        if (value.empty())
            ::unsetenv(Variable);
        else
            ::setenv(Variable, value.c_str(), 1);
    }
#endif
    TempDir FFolder;
    std::optional<std::string> FOld;
};

// What a crash looks like to the code under test: an exception no handler of it expects.
struct TCrash {};

std::vector<uint8_t> Original(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

// A plan of count places of three bytes each, spread over the file, each getting other bytes.
TPatchPlan PlanOver(const std::vector<uint8_t> &file, size_t count) {
    TPlanEntry entry;
    entry.Description = "test places";
    for (size_t i = 0; i < count; ++i) {
        const int64_t offset = static_cast<int64_t>(i * 40 + 5);
        std::vector<uint8_t> old(file.begin() + offset, file.begin() + offset + 3);
        std::vector<uint8_t> replacement = old;
        for (uint8_t &byte : replacement)
            byte = static_cast<uint8_t>(~byte);
        entry.Patches.push_back({offset, old, replacement, "place " + std::to_string(i)});
    }
    TPatchPlan plan;
    plan.Entries.push_back(std::move(entry));
    return plan;
}

std::vector<uint8_t> Saved(std::vector<uint8_t> bytes, const TPatchPlan &plan) {
    for (const TPatch *patch : plan.Patches())
        std::copy(patch->New.begin(), patch->New.end(), bytes.begin() + patch->FileOffset);
    return bytes;
}

// Saves the plan into the file with a hook on every disk call.
void SaveWith(const std::string &path, TPatchPlan plan, const TDiskCallHook &hook) {
    TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
    TJournalStore journals;
    journals.BeforeDiskCall = hook;
    TellDiskCalls(file, path, hook);
    WriteJournalled(plan, file, path, journals, TJournalAfterWrite::KeepForUndo);
}

std::string Sha256Of(const std::vector<uint8_t> &bytes) {
    TSha256 hash;
    hash.Add(bytes);
    return HexDigest(hash.Finish());
}

// A file in a folder of its own, with the user's state folder in a temporary folder too.
class SaveJournalFile : public ::testing::Test {
protected:
    // Writes size bytes of a pattern as the file and returns them.
    std::vector<uint8_t> Made(size_t size) {
        std::vector<uint8_t> bytes = Original(size);
        WriteFile(Path, bytes);
        return bytes;
    }

    TScopedStateFolder State;
    TempDir Dir;
    const std::string Path = Dir.File("video.264");
};

TEST(SaveJournal, TheTextReadsBackWithEveryFieldAndIsCheckedWhole) {
    TSaveJournal journal;
    journal.FileName = "/videos/a \\ b\nc.mp4";
    journal.Identity = {int64_t{5} << 32, 1796908504595855669, 2049, uint64_t{1} << 40};
    journal.Time = 1796908504;
    journal.Places.push_back({(int64_t{1} << 33) + 7, {0x00, 0xFF}, {0x12, 0xAB}, "the SPS of row 1\r\n"});
    journal.Places.push_back({0, {0x01}, {0x02}, ""});
    const std::string text = JournalText(journal);

    const TSaveJournal read = ParseJournal(text, "j");
    EXPECT_EQ(read.State, TJournalState::Pending);
    EXPECT_EQ(read.FileName, journal.FileName);
    EXPECT_EQ(read.Identity.Device, journal.Identity.Device);
    EXPECT_EQ(read.Identity.Node, journal.Identity.Node);
    EXPECT_EQ(read.Identity.Size, journal.Identity.Size);
    EXPECT_EQ(read.Identity.Modified, journal.Identity.Modified);
    EXPECT_EQ(read.Time, journal.Time);
    ASSERT_EQ(read.Places.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(read.Places[i].Offset, journal.Places[i].Offset);
        EXPECT_EQ(read.Places[i].Old, journal.Places[i].Old);
        EXPECT_EQ(read.Places[i].New, journal.Places[i].New);
        EXPECT_EQ(read.Places[i].What, journal.Places[i].What);
    }
    EXPECT_EQ(read.OldBytesHash(), journal.OldBytesHash());

    // The state is changed in place and stays covered by nothing else: the text is still whole.
    std::string done = text;
    done.replace(JournalStateOffset(), JournalStateText(TJournalState::Done).size(),
                 JournalStateText(TJournalState::Done));
    EXPECT_EQ(ParseJournal(done, "j").State, TJournalState::Done);

    // Any other byte changed, and any cut, is damage.
    for (size_t at = 0; at < text.size(); ++at) {
        if (at >= JournalStateOffset() && at < JournalStateOffset() + 7)
            continue;
        std::string damaged = text;
        damaged[at] = damaged[at] == '1' ? '2' : '1';
        EXPECT_THROW(ParseJournal(damaged, "j"), Exception) << "byte " << at;
    }
    for (size_t length = 0; length < text.size(); ++length)
        EXPECT_THROW(ParseJournal(text.substr(0, length), "j"), Exception) << "cut at " << length;
    EXPECT_THROW(ParseJournal(text + "x\n", "j"), Exception);
}

TEST_F(SaveJournalFile, TheJournalIsOnTheDiskBeforeTheFirstWriteAndDoneAfterTheFileIsSynced) {
    const std::vector<uint8_t> original = Made(4000);
    const TPatchPlan plan = PlanOver(original, 50);

    std::vector<TDiskCall> calls;
    SaveWith(Path, plan, [&](const TDiskCall &call) { calls.push_back(call); });
    EXPECT_EQ(ReadFile(Path), Saved(original, plan));

    const std::string journal = JournalBeside(Path);
    auto firstOf = [&](TDiskCall::TKind kind, const std::string &file) {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].Kind == kind && calls[i].Path == file)
                return i;
        return calls.size();
    };
    auto lastOf = [&](TDiskCall::TKind kind, const std::string &file) {
        for (size_t i = calls.size(); i-- > 0;)
            if (calls[i].Kind == kind && calls[i].Path == file)
                return i;
        return calls.size();
    };
    const size_t journalSynced = firstOf(TDiskCall::TKind::Sync, journal + ".new");
    const size_t renamed = firstOf(TDiskCall::TKind::Rename, journal);
    const size_t folderSynced = firstOf(TDiskCall::TKind::SyncFolder, Dir.Path());
    const size_t firstFileWrite = firstOf(TDiskCall::TKind::Write, Path);
    const size_t lastFileWrite = lastOf(TDiskCall::TKind::Write, Path);
    const size_t fileSynced = firstOf(TDiskCall::TKind::Sync, Path);
    const size_t stateWritten = firstOf(TDiskCall::TKind::Write, journal);
    const size_t stateSynced = firstOf(TDiskCall::TKind::Sync, journal);
    ASSERT_LT(stateSynced, calls.size());
    EXPECT_LT(firstOf(TDiskCall::TKind::Write, journal + ".new"), journalSynced);
    EXPECT_LT(journalSynced, renamed);
    EXPECT_LT(renamed, folderSynced);
    EXPECT_LT(folderSynced, firstFileWrite);
    EXPECT_EQ(lastFileWrite - firstFileWrite + 1, 50u) << "one write per place, nothing else in between";
    EXPECT_LT(lastFileWrite, fileSynced);
    EXPECT_LT(fileSynced, stateWritten);
    EXPECT_LT(stateWritten, stateSynced);

    const std::optional<TFoundJournal> found = TJournalStore().Find(Path);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Path, journal);
    EXPECT_EQ(found->Journal.State, TJournalState::Done);
    EXPECT_EQ(found->Journal.Places.size(), 50u);
    for (const auto &entry : std::filesystem::recursive_directory_iterator(Utf8Path(State.Path())))
        EXPECT_FALSE(entry.is_regular_file()) << entry.path() << ": the file's folder was writable";
}

// The save stopped at every call that changes the disk (and nothing after it reaching the disk), then the
// recovery: the file is as before, or once the journal says done, as saved; never anything else.
TEST_F(SaveJournalFile, ASaveStoppedAtAnyPointIsRolledBackExactly) {
    const std::vector<uint8_t> original = Original(2000);
    const TPatchPlan plan = PlanOver(original, 12);
    const std::vector<uint8_t> saved = Saved(original, plan);

    size_t total = 0;
    WriteFile(Path, original);
    SaveWith(Path, plan, [&](const TDiskCall &) { ++total; });
    ASSERT_GT(total, 12u);

    size_t pendingSeen = 0;
    size_t doneSeen = 0;
    for (size_t stop = 0; stop <= total; ++stop) {
        SCOPED_TRACE("stop " + std::to_string(stop));
        WriteFile(Path, original);
        std::filesystem::remove(Utf8Path(JournalBeside(Path)));
        size_t made = 0;
        bool crashed = false;
        try {
            SaveWith(Path, plan, [&](const TDiskCall &) {
                if (made++ >= stop)
                    throw TCrash{};
            });
        } catch (const TCrash &) {
            crashed = true;
        }
        EXPECT_EQ(crashed, stop < total) << "stop " << stop;

        const std::optional<TFoundJournal> found = TJournalStore().Find(Path);
        if (found && found->Journal.State == TJournalState::Done) {
            ++doneSeen;
            EXPECT_EQ(ReadFile(Path), saved) << "stop " << stop;
            continue;
        }
        if (found) {
            ++pendingSeen;
            {
                TSaveRollback rollback(Path);
                ASSERT_TRUE(rollback.Interrupted());
                const TRecovery recovery = rollback.Recover();
                EXPECT_TRUE(recovery.Neither.empty());
                EXPECT_EQ(recovery.PutBack + recovery.AlreadyOld, 12u);
            }
            EXPECT_FALSE(TJournalStore().Find(Path)) << "the recovery removes the journal";
        }
        EXPECT_EQ(ReadFile(Path), original) << "stop " << stop;
    }
    EXPECT_GT(pendingSeen, 12u) << "stops between the journal and its state done";
    EXPECT_GE(doneSeen, 1u);
}

TEST_F(SaveJournalFile, UndoPutsBackTheLastSaveOnlyWhileEveryPlaceHoldsWhatItWrote) {
    const std::vector<uint8_t> original = Made(3000);
    const TPatchPlan first = PlanOver(original, 20);
    SaveWith(Path, first, {});
    const std::vector<uint8_t> afterFirst = ReadFile(Path);

    // A second save replaces the undo record: undo goes back to the first save's result.
    TPatchPlan second = PlanOver(afterFirst, 5);
    SaveWith(Path, second, {});
    {
        TSaveRollback rollback(Path);
        EXPECT_EQ(rollback.UndoRefusal(), "");
        const TWriteReport report = rollback.Undo();
        EXPECT_EQ(report.PatchCount, 5u);
        EXPECT_EQ(report.ByteCount, 15u);
    }
    EXPECT_EQ(Sha256Of(ReadFile(Path)), Sha256Of(afterFirst));
    // One level: the journal is gone.
    EXPECT_FALSE(TJournalStore().Find(Path));
    EXPECT_NE(TSaveRollback(Path).UndoRefusal(), "");
    EXPECT_THROW(TSaveRollback(Path).Undo(), Exception);

    // Undo after one save gives the original bytes.
    WriteFile(Path, original);
    SaveWith(Path, first, {});
    TSaveRollback(Path).Undo();
    EXPECT_EQ(Sha256Of(ReadFile(Path)), Sha256Of(original));

    // A place changed since the save: refused, named, nothing written, the journal kept.
    SaveWith(Path, first, {});
    WriteFileAt(Path, 5 + 40 * 3 + 1, {0x55});
    const std::vector<uint8_t> changed = ReadFile(Path);
    {
        TSaveRollback rollback(Path);
        const std::string refusal = rollback.UndoRefusal();
        EXPECT_NE(refusal.find("1 of the places"), std::string::npos) << refusal;
        EXPECT_NE(refusal.find("place 3 at 0000007D"), std::string::npos) << refusal;
        EXPECT_THROW(rollback.Undo(), Exception);
    }
    EXPECT_EQ(ReadFile(Path), changed);
    EXPECT_TRUE(TJournalStore().Find(Path));
}

TEST_F(SaveJournalFile, AJournalIsNeverAppliedToAFileReplacedUnderTheName) {
    const std::vector<uint8_t> original = Made(1000);
    const TPatchPlan plan = PlanOver(original, 4);
    SaveWith(Path, plan, {});
    const std::vector<uint8_t> saved = ReadFile(Path);

    // The same bytes under the same name, but another file: the journal is not its journal.
    const std::string copy = Dir.File("copy");
    WriteFile(copy, saved);
    std::filesystem::rename(Utf8Path(copy), Utf8Path(Path));
    EXPECT_FALSE(TJournalStore().Find(Path));
    {
        TSaveRollback rollback(Path);
        EXPECT_EQ(rollback.Journal(), nullptr);
        EXPECT_THROW(rollback.Undo(), Exception);
        EXPECT_THROW(rollback.Recover(), Exception);
    }
    EXPECT_EQ(ReadFile(Path), saved);
}

TEST_F(SaveJournalFile, AFolderThatCanNotBeWrittenSendsTheJournalToTheStateFolderOrRefusesTheSave) {
    const std::vector<uint8_t> original = Made(1000);
    const TPatchPlan plan = PlanOver(original, 4);
    const std::string beside = JournalBeside(Path);
    // The folder of the file refuses new names, as a read-only medium does.
    auto besideRefused = [&](const TDiskCall &call) {
        if (call.Path.rfind(beside, 0) == 0 && call.Kind == TDiskCall::TKind::Write)
            throw EInOutError("read-only file system");
    };
    SaveWith(Path, plan, besideRefused);
    EXPECT_EQ(ReadFile(Path), Saved(original, plan));
    EXPECT_FALSE(std::filesystem::exists(Utf8Path(beside)));
    std::optional<TFoundJournal> found = TJournalStore().Find(Path);
    ASSERT_TRUE(found);
#ifdef _WIN32
    const char *stateFolderName = "Pellmar";
#else
    const char *stateFolderName = "pellmar";
#endif
    EXPECT_EQ(std::filesystem::path(Utf8Path(found->Path)).parent_path(),
              Utf8Path(State.Path()) / stateFolderName);
    EXPECT_EQ(found->Journal.State, TJournalState::Done);
    // Undone from there, and gone afterwards.
    TSaveRollback(Path).Undo();
    EXPECT_EQ(ReadFile(Path), original);
    EXPECT_FALSE(TJournalStore().Find(Path));

    // Neither place: the save is refused with both reasons and the file is not touched.
    auto nowhere = [&](const TDiskCall &call) {
        if (call.Path != Path && call.Kind == TDiskCall::TKind::Write)
            throw EInOutError("read-only file system");
    };
    try {
        SaveWith(Path, plan, nowhere);
        ADD_FAILURE() << "saved without a journal";
    } catch (const Exception &error) {
        EXPECT_NE(std::string(error.what()).find("neither beside it"), std::string::npos) << error.what();
    }
    EXPECT_EQ(ReadFile(Path), original);
    EXPECT_FALSE(TJournalStore().Find(Path));
}

TEST_F(SaveJournalFile, RecoveryPutsBackWhatItCanAndNamesPlacesThatHoldNeither) {
    const std::vector<uint8_t> original = Made(1000);
    const TPatchPlan plan = PlanOver(original, 6);
    // Stopped after the fourth place was written.
    size_t fileWrites = 0;
    try {
        SaveWith(Path, plan, [&](const TDiskCall &call) {
            if (call.Path == Path && call.Kind == TDiskCall::TKind::Write && ++fileWrites > 4)
                throw TCrash{};
            if (fileWrites > 4)
                throw TCrash{};
        });
    } catch (const TCrash &) {
    }
    // Someone wrote over place 1 meanwhile.
    WriteFileAt(Path, 45, {0x00, 0x00, 0x00});
    TRecovery recovery;
    {
        TSaveRollback rollback(Path);
        ASSERT_TRUE(rollback.Interrupted());
        EXPECT_NE(rollback.UndoRefusal().find("was interrupted"), std::string::npos);
        recovery = rollback.Recover();
    }
    EXPECT_EQ(recovery.PutBack, 3u);
    EXPECT_EQ(recovery.AlreadyOld, 2u);
    ASSERT_EQ(recovery.Neither.size(), 1u);
    EXPECT_EQ(recovery.Neither[0], "place 1 at 0000002D");
    std::vector<uint8_t> expected = original;
    std::fill(expected.begin() + 45, expected.begin() + 48, 0x00);
    EXPECT_EQ(ReadFile(Path), expected);
    EXPECT_FALSE(TJournalStore().Find(Path));
}

} // namespace
