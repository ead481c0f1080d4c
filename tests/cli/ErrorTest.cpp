#include "CliTestSupport.h"
#include "MediaFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Overwrites the handler code of the first video stream header: "strh", its size, "vids", the handler.
void SetVideoHandler(std::vector<uint8_t> &avi, const std::string &handler) {
    const std::string header = "strh";
    for (size_t i = 0; i + 16 <= avi.size(); ++i) {
        if (std::equal(header.begin(), header.end(), avi.begin() + i) &&
            std::string(avi.begin() + i + 8, avi.begin() + i + 12) == "vids") {
            std::copy(handler.begin(), handler.end(), avi.begin() + i + 12);
            return;
        }
    }
    throw std::runtime_error("no video stream header");
}

// Usage errors, files that can not be read or written, and the foreign handler question.
class CliErrors : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveMediaTools())
            return;
        Sources = std::make_unique<TempDir>();
        VideoSpec video;
        video.sar = "64/45";
        video.frames = 15;
        video.keyint = 5;
        video.repeatHeaders = true;
        MakeRawH264(Sources->File("clip.h264"), video);
        MakeAvi(Sources->File("clip.avi"), {video});
        // The same H.264 data under a handler code no codec is known by (ffmpeg writes none but its own).
        std::vector<uint8_t> avi = ReadFile(Sources->File("clip.avi"));
        SetVideoHandler(avi, "QX01");
        WriteFile(Sources->File("foreign.avi"), avi);
    }
    static void TearDownTestSuite() { Sources.reset(); }
    void SetUp() override {
        if (!Sources)
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }

    std::string Copy(const std::string &name, const std::string &as = "") {
        std::string path = Dir.File(as.empty() ? name : as);
        std::filesystem::copy_file(Sources->File(name), path,
                                   std::filesystem::copy_options::overwrite_existing);
        return path;
    }

    // Runs the command and expects exit status 1 with nothing on standard output and the file as it
    // was; returns standard error.
    std::string ExpectError(const std::vector<std::string> &args, const std::string &path) {
        std::vector<uint8_t> before;
        if (std::filesystem::is_regular_file(path))
            before = ReadFile(path);
        CommandResult result = RunCli(args);
        EXPECT_EQ(result.exitCode, 1) << result.errors;
        EXPECT_EQ(result.output, "");
        if (std::filesystem::is_regular_file(path)) {
            EXPECT_EQ(ReadFile(path), before);
        }
        return result.errors;
    }

    static std::unique_ptr<TempDir> Sources;
    TempDir Dir;
};

std::unique_ptr<TempDir> CliErrors::Sources;

TEST_F(CliErrors, BadUsageExitsWithTwoAndTheUsageText) {
    std::string path = Copy("clip.h264");
    std::vector<uint8_t> before = ReadFile(path);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"show", path},
        {"--json", path},
        {"list"},
        {"list", "--colour", path},
        {"list", "--avi", "--stream", path},
        {"list", "--json=yes", path},
        {"list", "--rows", "0", path},
        {"list", "--idc", "2", path},
        {"list", "--dry-run", path},
        {"set", path},
        {"set", "--idc", "2", "--sar", "1:1", path},
        {"set", "--sar", "1:1", "--dar", "16:9", path},
        {"set", "--idc", "2", "--idc", "3", path},
        {"set", path, "--idc"},
        {"set", "--idc", "0", path},
        {"set", "--idc", "17", path},
        {"set", "--idc", "255", path},
        {"set", "--idc", "x", path},
        {"set", "--idc", "", path},
        {"set", "--idc", "+2", path},
        {"set", "--idc", "99999999999999999999999", path},
        {"set", "--sar", "0:1", path},
        {"set", "--sar", "1:0", path},
        {"set", "--sar", "65536:1", path},
        {"set", "--sar", "1:65536", path},
        {"set", "--sar", "16/9", path},
        {"set", "--sar", "16:", path},
        {"set", "--sar", ":9", path},
        {"set", "--sar", "-1:1", path},
        {"set", "--sar", "1:1:1", path},
        {"set", "--sar", " 1:1", path},
        {"set", "--dar", "0:9", path},
        {"set", "--dar", "16:65536", path},
        {"set", "--dar", "16x9", path},
        {"set", "--rows", "", "--idc", "1", path},
        {"set", "--rows", "a", "--idc", "1", path},
        {"set", "--rows", "1,,2", "--idc", "1", path},
        {"set", "--rows", "1,", "--idc", "1", path},
        {"set", "--rows", "-1", "--idc", "1", path},
        {"set", "--rows", "1-", "--idc", "1", path},
        {"set", "--rows", "2-1", "--idc", "1", path},
        {"set", "--rows", "1-2-3", "--idc", "1", path},
        {"set", "--rows", "18446744073709551616", "--idc", "1", path},
        {"set", "--rows", "0", "--rows", "1", "--idc", "1", path},
        {"set", "--track", "x", "--idc", "1", path},
        {"set", "--track", "-1", "--idc", "1", path},
        {"set", "--track", "--idc", "1", path},
        {"set", "--idc", "1", "--json", "--json-lines", path},
        {"list", "--format", "wav", path},
        {"list", "--format", "avi", "--stream", path},
        {"list", "--track", "0", path},
        {"list", "--recursive=yes", path},
        {"--", "list", path},
    };
    for (const auto &args : cases) {
        std::string line;
        for (const std::string &arg : args)
            line += "[" + arg + "] ";
        SCOPED_TRACE(line);
        CommandResult result = RunCli(args);
        EXPECT_EQ(result.exitCode, 2) << result.errors;
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.errors.rfind("pellmar-cli: ", 0), 0u) << result.errors;
        EXPECT_NE(result.errors.find("Usage: pellmar-cli list"), std::string::npos) << result.errors;
        EXPECT_EQ(ReadFile(path), before);
    }
}

TEST_F(CliErrors, UsageErrorsSayWhatIsWrong) {
    std::string path = Copy("clip.h264");
    auto firstLine = [](const std::vector<std::string> &args) { return Lines(RunCli(args).errors).at(0); };
    EXPECT_EQ(firstLine({"set", "--rows", "4-2", "--idc", "1", path}),
              "pellmar-cli: --rows \"4-2\": the range 4-2 runs backwards");
    EXPECT_EQ(firstLine({"set", "--sar", "65536:1", path}),
              "pellmar-cli: --sar \"65536:1\": expected W:H with W and H whole numbers from 1 to 65535, for "
              "example 16:9");
    EXPECT_EQ(firstLine({"set", "--idc", "17", path}),
              "pellmar-cli: --idc \"17\": expected a predefined aspect_ratio_idc from 1 to 16");
    EXPECT_EQ(firstLine({"list", "--bogus", path}), "pellmar-cli: unknown option \"--bogus\"");
    EXPECT_EQ(firstLine({"list", "--rows", "0", path}),
              "pellmar-cli: option --rows belongs to the set command");
    EXPECT_EQ(firstLine({"set", path, "--idc"}), "pellmar-cli: option --idc needs a value");
    EXPECT_EQ(firstLine({"set", "--idc", "2", "--idc", "3", path}),
              "pellmar-cli: option --idc is given more than once");
    EXPECT_EQ(firstLine({"list", "--json=yes", path}), "pellmar-cli: option --json takes no value");
    EXPECT_EQ(firstLine({"set", path}), "pellmar-cli: set needs one of --idc, --sar and --dar");
    EXPECT_EQ(firstLine({"list"}), "pellmar-cli: missing FILE");
    EXPECT_EQ(firstLine({"show", path}), "pellmar-cli: unknown command \"show\"");
    EXPECT_EQ(firstLine({"--json", path}), "pellmar-cli: missing command: list, set, recover or undo");
    // The library's own words where they are clear.
    EXPECT_EQ(firstLine({"list", "--avi", "--stream", path}), "pellmar-cli: --avi excludes --stream");
    EXPECT_EQ(firstLine({"set", "--sar", "1:1", "--dar", "16:9", path}), "pellmar-cli: --sar excludes --dar");
    // The names of every format a scanner reads, more as scanners are added.
    EXPECT_EQ(firstLine({"list", "--format", "wav", path})
                  .rfind("pellmar-cli: --format \"wav\": expected one of stream, h264, hevc, h265, avi", 0),
              0u);
    EXPECT_EQ(firstLine({"set", "--track", "x", "--idc", "1", path}),
              "pellmar-cli: --track \"x\": expected a track number, 0 or more, as list shows it");
}

// Rows are numbered per file, so rows a file does not have refuse that file (and only it) once it is
// scanned: nothing is written to it.
TEST_F(CliErrors, RowsThatAFileDoesNotHaveRefuseIt) {
    std::string path = Copy("clip.h264"); // rows 0 to 2
    std::vector<uint8_t> before = ReadFile(path);
    for (const char *rows : {"3", "1-5", "0,1-3"}) {
        SCOPED_TRACE(rows);
        CommandResult result = RunCli({"set", "--rows", rows, "--idc", "1", path});
        EXPECT_EQ(result.exitCode, 3);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.errors, "--rows: row 3 does not exist; the file has 3 rows (0-2)\n");
        EXPECT_EQ(ReadFile(path), before);
    }
    CommandResult json = RunCli({"set", "--json", "--rows", "7", "--idc", "1", path});
    EXPECT_EQ(json.exitCode, 3);
    EXPECT_EQ(Jq(json.output,
                 ".files[0] | [.status, (.refusals[0].row | tostring), .refusals[0].reason] | join(\"|\")"),
              "refused|null|--rows: row 7 does not exist; the file has 3 rows (0-2)");
    EXPECT_EQ(ReadFile(path), before);
}

TEST_F(CliErrors, AFileNamedLikeAnOptionFollowsTheEndOfOptions) {
    std::string path = Copy("clip.h264", "--json");
    CommandResult result = RunCommand("cd " + ShellQuote(Dir.Path()) + " && " + ShellQuote(CliPath()) +
                                      " list --stream -- --json");
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output.rfind("Sequence Parameter Sets (SPS) found: 3\n", 0), 0u) << result.output;
}

TEST_F(CliErrors, HelpDocumentsEveryOptionAndVersionNamesTheProgram) {
    for (const char *help : {"--help", "-h"}) {
        CommandResult result = RunCli({help});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.errors, "");
        for (const char *option :
             {"list", "set", "--avi", "--stream", "--first-nal-only", "--yes", "--json", "--rows LIST",
              "--dry-run", "--idc N", "--sar W:H", "--dar W:H", "--help", "--version"})
            EXPECT_NE(result.output.find(std::string("  ") + option), std::string::npos) << option;
        EXPECT_NE(result.output.find("\nExit status:\n  0  done"), std::string::npos);
    }
    // Also after a command, whatever else is given.
    EXPECT_EQ(RunCli({"set", "--idc", "99", "--help"}).exitCode, 0);

    CommandResult version = RunCli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, std::string("Pellmar ") + PELLMAR_EXPECTED_VERSION + "\n");
}

TEST_F(CliErrors, MissingFileAndFolderExitWithOne) {
    std::string missing = Dir.File("missing.avi");
    EXPECT_EQ(ExpectError({"list", missing}, missing), "File not found: " + missing + ".\n");
    EXPECT_EQ(ExpectError({"set", "--idc", "1", "--stream", missing}, missing),
              "File not found: " + missing + ".\n");

    std::string folder = Dir.File("folder.h264");
    std::filesystem::create_directory(folder);
    EXPECT_EQ(ExpectError({"list", folder}, folder),
              "Cannot open file \"" + folder + "\". It is a folder, not a file.\n");
    EXPECT_EQ(ExpectError({"set", "--sar", "1:1", folder}, folder),
              "Cannot open file \"" + folder + "\". It is a folder, not a file.\n");
}

// A file cut short, as a recording stopped mid-write leaves it, is read as far as it goes: what lies before
// the cut is listed and can be changed, and the cut is told with the file's name and the place.
TEST_F(CliErrors, TruncatedFilesAreReadAsFarAsTheyGo) {
    // An AVI cut inside its movie list, behind the second SPS.
    std::string avi = Copy("clip.avi");
    std::vector<uint8_t> bytes = ReadFile(avi);
    Listing listing = ListJson(avi);
    ASSERT_EQ(listing.records.size(), 3u);
    bytes.resize(static_cast<size_t>(listing.records[1].vuiOffset + 40));
    WriteFile(avi, bytes);
    CommandResult listed = RunCli({"list", "--json", avi});
    EXPECT_EQ(listed.exitCode, 0) << listed.errors;
    EXPECT_EQ(Jq(listed.output, ".files[0].records | length"), "2");
    EXPECT_EQ(Jq(listed.output, ".files[0].notices[0].kind"), "structure");
    EXPECT_EQ(listed.errors,
              avi + ": The file ends inside the chunk at 0: it was read as far as the file goes.\n");
    CommandResult set = RunCli({"set", "--sar", "1:1", avi});
    EXPECT_EQ(set.exitCode, 0) << set.errors;
    EXPECT_NE(set.output.find("2 of 2 chosen rows written."), std::string::npos) << set.output;
    EXPECT_EQ(ReadFile(avi).size(), bytes.size());
    for (const TracedSps &sps : TraceSps(avi))
        EXPECT_EQ(sps.sarWidth, 1);

    // A raw stream cut inside its first SPS: that SPS is damaged, told, nothing can carry the new ratio,
    // and the file is refused with nothing written.
    std::string stream = Copy("clip.h264");
    bytes = ReadFile(stream);
    const int64_t cut = ListJson(stream).records[0].vuiOffset;
    bytes.resize(static_cast<size_t>(cut));
    WriteFile(stream, bytes);
    CommandResult damaged = RunCli({"set", "--sar", "1:1", stream});
    EXPECT_EQ(damaged.exitCode, 3) << damaged.errors;
    EXPECT_EQ(damaged.output, "");
    EXPECT_NE(damaged.errors.find("No aspect ratio information found in the file: nothing in it can carry a "
                                  "new ratio."),
              std::string::npos)
        << damaged.errors;
    EXPECT_NE(damaged.errors.find(stream + ": The SPS at "), std::string::npos) << damaged.errors;
    EXPECT_NE(damaged.errors.find("is damaged and not listed"), std::string::npos) << damaged.errors;
    EXPECT_EQ(ReadFile(stream), bytes);
}

TEST_F(CliErrors, AFileThatCanNotBeWrittenExitsWithOne) {
    if (CliUnderWine())
        GTEST_SKIP() << "wine runs only as the owner of its prefix, and root may write any file";
    // Read-only: as root the permission bits do not hold, so the program then runs as nobody.
    std::string path = Copy("clip.h264");
    std::filesystem::permissions(
        Dir.Path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                        std::filesystem::perms::others_exec);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    std::vector<uint8_t> before = ReadFile(path);
    std::string runAs;
    if (::geteuid() == 0) {
        if (!HaveTool("setpriv"))
            GTEST_SKIP() << "setpriv is needed to run without root's rights";
        runAs = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    CommandResult result = RunCommand(runAs + ShellQuote(CliPath()) + " set --sar 1:1 " + ShellQuote(path));
    EXPECT_EQ(result.exitCode, 1) << result.errors;
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Cannot open file \"" + path + "\". Permission denied.\n");
    EXPECT_EQ(ReadFile(path), before);
    // Reading it is allowed: a dry run and list work.
    result = RunCommand(runAs + ShellQuote(CliPath()) + " set --dry-run --sar 1:1 " + ShellQuote(path));
    EXPECT_EQ(result.exitCode, 0) << result.errors;
}

TEST_F(CliErrors, AFileHeldOpenByAnotherProgramIsNotWritten) {
    if (CliUnderWine())
        GTEST_SKIP() << "a Linux lock held by the test is no Windows share mode (the core's Windows tests "
                        "cover those)";
    std::string path = Copy("clip.avi");
    std::vector<uint8_t> before = ReadFile(path);
    int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(::flock(handle, LOCK_SH), 0);
    // Scanning shares the file with a reader; writing needs it alone.
    EXPECT_EQ(RunCli({"list", path}).exitCode, 0);
    CommandResult result = RunCli({"set", "--sar", "1:1", path});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors,
              "Cannot open file \"" + path + "\". The file is being used by another program.\n");
    EXPECT_EQ(ReadFile(path), before);
    ::close(handle);
    EXPECT_EQ(RunCli({"set", "--sar", "1:1", path}).exitCode, 0);
    EXPECT_NE(ReadFile(path), before);
}

TEST_F(CliErrors, InvalidDataExitsWithOne) {
    // A container that holds H.264 in another form than a raw stream.
    std::string mp4 = Dir.File("clip.mp4");
    ASSERT_EQ(RunCommand("ffmpeg -v error -y -i " + ShellQuote(Sources->File("clip.h264")) + " -c copy " +
                         ShellQuote(mp4))
                  .exitCode,
              0);
    // Read as a raw stream when told so, it is refused; a format no scanner reads is refused as it is.
    EXPECT_EQ(ExpectError({"set", "--stream", "--sar", "1:1", mp4}, mp4),
              "This file is an MP4 (ISO base media) container, not a raw H.264 stream. Its aspect ratio can "
              "not be changed in place.\n");
    std::string flv = Dir.File("clip.flv");
    ASSERT_EQ(RunCommand("ffmpeg -v error -y -i " + ShellQuote(mp4) + " -c copy -f flv " + ShellQuote(flv))
                  .exitCode,
              0);
    EXPECT_EQ(ExpectError({"set", "--sar", "1:1", flv}, flv),
              "This file is an FLV (Flash Video) container, not a raw H.264 stream. Its aspect ratio can "
              "not be changed in place.\n");
    // Eleven bytes are no RIFF file for the AVI scanner.
    std::string tiny = Dir.File("tiny.avi");
    WriteFile(tiny, std::vector<uint8_t>(11, 'R'));
    EXPECT_EQ(ExpectError({"list", "--avi", tiny}, tiny), "File is not a valid RIFF file. Abort Scan.\n");
}

TEST_F(CliErrors, ForeignHandlerStopsUnlessYes) {
    // The program asks nothing: it says what it does.
    const std::string warning = "WARNING: Found FourCC \"QX01\". The video seems not to be a H.264 coded "
                                "stream.";
    std::string path = Copy("foreign.avi");
    std::vector<uint8_t> before = ReadFile(path);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"list", path}, {"list", "--json", path}, {"set", "--sar", "1:1", path}}) {
        CommandResult result = RunCli(args);
        EXPECT_EQ(result.exitCode, 3);
        if (args[1] == "--json") {
            // The document tells it too, with the handler code.
            EXPECT_EQ(Jq(result.output, ".files[0].status"), "refused");
            EXPECT_EQ(Jq(result.output, ".files[0].refusals[0].reason"),
                      warning + " The scan stopped there; nothing was changed. Use --yes to scan the stream "
                                "anyway.");
        } else {
            EXPECT_EQ(result.output, "");
        }
        std::vector<std::string> lines = Lines(result.errors);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], warning);
        EXPECT_EQ(ReadFile(path), before);
    }

    CommandResult listed = RunCli({"list", "--yes", "--json", path});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(Lines(listed.errors),
              std::vector<std::string>{warning.substr(0, warning.size() - 1) + "; scanned anyway (--yes)."});
    EXPECT_EQ(Jq(listed.output, ".files[0].records | length"), "3");

    CommandResult set = RunCli({"set", "--yes", "--sar", "1:1", path});
    EXPECT_EQ(set.exitCode, 0) << set.errors;
    for (const TracedSps &sps : TraceSps(path))
        EXPECT_EQ(sps.sarWidth, 1);
}

} // namespace
