// recover and undo, and set on a file whose last save was interrupted: the journal every save keeps
// first, used by the program as a user runs it. A save is killed with SIGKILL half-way and recovered.

#include "CliTestSupport.h"
#include "Journals.h"
#include "base/Sha256.h"
#include "scan/JournalStore.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace {

// A raw H.264 stream whose one SPS states 80:33 (custom), count times over: as many places to write.
std::vector<uint8_t> StreamOf(size_t count) {
    const std::vector<uint8_t> one = ReadFile(std::string(PELLMAR_TESTDATA) + "/SarVui.264");
    std::vector<uint8_t> stream;
    stream.reserve(one.size() * count);
    for (size_t i = 0; i < count; ++i)
        for (uint8_t byte : one)
            stream.push_back(byte);
    return stream;
}

std::string Sha256Of(const std::vector<uint8_t> &bytes) {
    TSha256 hash;
    hash.Add(bytes);
    return HexDigest(hash.Finish());
}

TEST(CliJournal, UndoPutsBackTheLastSaveOnceAndOnlyWhileItsPlacesAreUnchanged) {
    TempDir dir;
    const std::string path = dir.File("stream.264");
    const std::vector<uint8_t> original = StreamOf(3);
    WriteFile(path, original);

    ASSERT_EQ(RunCli({"set", "--sar", "16:11", path}).exitCode, 0);
    const std::vector<uint8_t> first = ReadFile(path);
    ASSERT_NE(first, original);
    EXPECT_TRUE(std::filesystem::exists(Utf8Path(JournalBeside(path))));
    ASSERT_EQ(RunCli({"set", "--sar", "1:1", path}).exitCode, 0);

    // The second save is undone, back to the first save's bytes; then there is nothing left to undo.
    CommandResult undone = RunCli({"undo", path});
    EXPECT_EQ(undone.exitCode, 0) << undone.errors;
    EXPECT_NE(undone.output.find(path + ": the save made "), std::string::npos) << undone.output;
    EXPECT_NE(undone.output.find("undone: 27 bytes written back (places: 3)."), std::string::npos)
        << undone.output;
    EXPECT_EQ(Sha256Of(ReadFile(path)), Sha256Of(first));
    EXPECT_FALSE(std::filesystem::exists(Utf8Path(JournalBeside(path))));
    CommandResult again = RunCli({"undo", path});
    EXPECT_EQ(again.exitCode, 3);
    EXPECT_EQ(again.errors, path + ": There is no save of \"" + path + "\" to undo.\n");
    EXPECT_EQ(ReadFile(path), first);

    // A place written since the save: refused, named, nothing written.
    WriteFile(path, original);
    ASSERT_EQ(RunCli({"set", "--sar", "16:11", path}).exitCode, 0);
    std::vector<uint8_t> edited = ReadFile(path);
    const int64_t secondSps = static_cast<int64_t>(original.size() / 3) + 12;
    WriteFileAt(path, secondSps, {static_cast<uint8_t>(edited[secondSps] ^ 0x01)});
    edited = ReadFile(path);
    CommandResult refused = RunCli({"undo", path});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.errors.find("1 of the places it wrote have changed since"), std::string::npos)
        << refused.errors;
    EXPECT_EQ(ReadFile(path), edited);
}

TEST(CliJournal, AnInterruptedSaveIsRefusedUntilRecoveredAndRecoveryPutsBackTheOldBytes) {
    TempDir dir;
    const std::string path = dir.File("stream.264");
    const std::vector<uint8_t> original = StreamOf(4);
    WriteFile(path, original);
    CommandResult nothing = RunCli({"recover", path});
    EXPECT_EQ(nothing.exitCode, 3);
    EXPECT_NE(nothing.errors.find("No save of"), std::string::npos) << nothing.errors;

    ASSERT_EQ(RunCli({"set", "--sar", "16:11", path}).exitCode, 0);
    MarkSaveInterrupted(path);
    const std::vector<uint8_t> halfSaved = ReadFile(path);

    CommandResult set = RunCli({"set", "--sar", "1:1", path});
    EXPECT_EQ(set.exitCode, 3);
    EXPECT_NE(set.errors.find("was interrupted"), std::string::npos) << set.errors;
    EXPECT_EQ(ReadFile(path), halfSaved);
    EXPECT_EQ(RunCli({"undo", path}).exitCode, 3);
    // Listing reads the file as it is, and tells how to mend it.
    const CommandResult listed = RunCli({"list", path});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.errors, "Its last save was interrupted: \"pellmar-cli recover " + path +
                                 "\" puts back the bytes it had before.\n");

    CommandResult recovered = RunCli({"recover", path});
    EXPECT_EQ(recovered.exitCode, 0) << recovered.errors;
    EXPECT_NE(recovered.output.find("put back (places: 4; not reached by the save: 0)"), std::string::npos)
        << recovered.output;
    EXPECT_EQ(Sha256Of(ReadFile(path)), Sha256Of(original));
    EXPECT_FALSE(std::filesystem::exists(Utf8Path(JournalBeside(path))));
    EXPECT_EQ(RunCli({"set", "--sar", "1:1", path}).exitCode, 0);
}

TEST(CliJournal, HelpTellsTheCommandsAndWhereJournalsLive) {
    const CommandResult help = RunCli({"--help"});
    EXPECT_NE(help.output.find("pellmar-cli recover [OPTIONS] FILE..."), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("pellmar-cli undo [OPTIONS] FILE..."), std::string::npos);
    EXPECT_NE(help.output.find(".NAME.pellmar-journal"), std::string::npos);
    EXPECT_NE(help.output.find("One level"), std::string::npos);
    const CommandResult usage = RunCli({"undo"});
    EXPECT_EQ(usage.exitCode, 2);
    const CommandResult unknown = RunCli({"recover", "--sar", "1:1", "x"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.errors.find("unknown option"), std::string::npos) << unknown.errors;
}

#ifndef _WIN32

// A save of thousands of places killed once its journal is on the disk; recover makes the file what it
// was, byte for byte. The kill may come after the save has ended (the journal then says done and the
// file holds the saved bytes); the test goes on until a kill has cut a save short.
TEST(CliJournal, ASaveKilledHalfWayIsRecoveredExactly) {
    if (CliUnderWine())
        GTEST_SKIP() << "the Windows build under wine is not killed by a Linux signal half-way";
    TempDir dir;
    const std::string path = dir.File("long.264");
    const std::vector<uint8_t> original = StreamOf(4000);
    const std::string journal = JournalBeside(path);
    int cutShort = 0;
    for (int attempt = 0; attempt < 8 && cutShort == 0; ++attempt) {
        WriteFile(path, original);
        std::filesystem::remove(Utf8Path(journal));
        const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, dir.Path().c_str(), IN_MOVED_TO), 0);

        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const std::string program = CliPath();
        std::vector<std::string> args{program, "set", "--sar", "16:11", path};
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t child = 0;
        ASSERT_EQ(::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
        ::posix_spawn_file_actions_destroy(&actions);

        // Killed the moment the journal takes its name.
        bool seen = false;
        alignas(inotify_event) char events[4096];
        for (int waited = 0; !seen && waited < 600; ++waited) {
            pollfd ready{watch, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0)
                continue;
            const ssize_t length = ::read(watch, events, sizeof events);
            for (ssize_t at = 0; at < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(events + at);
                if (event->len > 0 && dir.File(event->name) == journal)
                    seen = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(watch);
        ASSERT_TRUE(seen) << "no journal appeared";

        const std::optional<TFoundJournal> found = TJournalStore().Find(path);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->Journal.Places.size(), 4000u);
        if (found->Journal.State == TJournalState::Done) {
            EXPECT_TRUE(WIFEXITED(status)) << "done, so the program had ended";
            continue;
        }
        ++cutShort;
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(RunCli({"set", "--sar", "1:1", path}).exitCode, 3);
        const CommandResult recovered = RunCli({"recover", path});
        EXPECT_EQ(recovered.exitCode, 0) << recovered.errors;
        EXPECT_EQ(Sha256Of(ReadFile(path)), Sha256Of(original));
        EXPECT_FALSE(TJournalStore().Find(path));
    }
    EXPECT_EQ(cutShort, 1) << "no kill came before the save's end";
}

#endif

} // namespace
