#include "CliTestSupport.h"
#include "MediaFiles.h"
#include "base/FileFormat.h"
#include "base/FormatFacts.h"
#include "scan/FormatProbe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

VideoSpec Video(const std::string &sar, int width = 176, int height = 144) {
    VideoSpec video;
    video.width = width;
    video.height = height;
    video.frames = 15;
    video.keyint = 5;
    video.repeatHeaders = true;
    video.sar = sar;
    return video;
}

// A file of another container format, with the same kind of H.264 test pattern inside.
void MakeMuxed(const std::string &path, const std::string &muxer) {
    MakeFromRecipe(
        "ffmpeg -hide_banner -nostdin -nostats -loglevel error -y -f lavfi -i " +
            ShellQuote("testsrc=size=176x144:rate=25:duration=0.6,setsar=64/45") +
            " -c:v libx264 -preset veryfast -pix_fmt yuv420p -x264-params keyint=5:repeat-headers=1 -f " +
            muxer + " %OUT%",
        path);
}

// The video files of a batch, one per format; --dar 16:9 changes each of them. A format that no scanner
// reads yet takes part as a file that fails and is left as it was; once its scanner is there, it is one
// that is changed.
struct Member {
    std::string name;
    TFileFormat format;
    std::function<void(const std::string &)> make;
};

const std::vector<Member> &Members() {
    static const std::vector<Member> members = {
        {"custom.h264", TFileFormat::RawH264,
         [](const std::string &path) { MakeRawH264(path, Video("64/45")); }},
        {"custom.avi", TFileFormat::Avi,
         [](const std::string &path) { MakeAvi(path, {Video("64/45")}, true); }},
        {"clip.mp4", TFileFormat::Mp4, [](const std::string &path) { MakeMuxed(path, "mp4"); }},
        {"clip.mkv", TFileFormat::Matroska, [](const std::string &path) { MakeMuxed(path, "matroska"); }},
        {"clip.ts", TFileFormat::MpegTs, [](const std::string &path) { MakeMuxed(path, "mpegts"); }},
    };
    return members;
}

// The separator of the program under test in the names it makes for files found in folders.
std::string Joined(const std::string &folder, const std::string &relative) {
    std::string name = folder + (CliUnderWine() ? "\\" : "/") + relative;
    if (CliUnderWine())
        std::replace(name.begin() + static_cast<std::ptrdiff_t>(folder.size()), name.end(), '/', '\\');
    return name;
}

std::vector<std::string> Headings(const std::string &output) {
    std::vector<std::string> headings;
    for (const std::string &line : Lines(output))
        if (line.rfind("==> ", 0) == 0)
            headings.push_back(line);
    return headings;
}

std::string Heading(const std::string &name, std::optional<TFileFormat> format) {
    return "==> " + name + (format ? ": " + FormatName(*format) : std::string()) + " <==";
}

// Sources made once: every member, a predefined-SAR AVI at 200x120 (where the display aspect ratio 16:9
// needs the SAR 16:15, which no predefined code has: --dar 16:9 refuses it), an AVI with two video
// streams of either kind, and an AVI whose frames open with an access unit delimiter.
class CliBatch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveMediaTools())
            return;
        Sources = std::make_unique<TempDir>();
        for (const Member &member : Members())
            member.make(Sources->File(member.name));
        MakeAvi(Sources->File("predefined.avi"), {Video("12/11", 200, 120)});
        MakeAvi(Sources->File("mixed.avi"), {Video("64/45"), Video("12/11")});
        VideoSpec delimited = Video("16/11");
        delimited.accessUnitDelimiters = true;
        MakeAvi(Sources->File("delimited.avi"), {delimited});
    }
    static void TearDownTestSuite() { Sources.reset(); }
    void SetUp() override {
        if (!Sources)
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }

    std::string Copy(const std::string &name, const std::string &as = "") {
        std::string path = Dir.File(as.empty() ? name : as);
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(Sources->File(name), path, fs::copy_options::overwrite_existing);
        return path;
    }

    static std::map<std::string, std::vector<uint8_t>> Contents(const std::vector<std::string> &paths) {
        std::map<std::string, std::vector<uint8_t>> contents;
        for (const std::string &path : paths)
            contents[path] = ReadFile(path);
        return contents;
    }

    static void ExpectUntouched(const std::map<std::string, std::vector<uint8_t>> &before) {
        for (const auto &[path, bytes] : before)
            EXPECT_EQ(ReadFile(path), bytes) << path << " changed";
    }

    // The file was changed in place to the display aspect ratio 16:9, with the same pictures.
    static void ExpectChangedTo169(const std::string &path, const std::vector<uint8_t> &before,
                                   const std::vector<std::string> &frames) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> after = ReadFile(path);
        EXPECT_EQ(after.size(), before.size());
        EXPECT_NE(after, before);
        EXPECT_EQ(FrameMd5(path), frames);
        const std::string listed = RunCli({"list", "--json", path}).output;
        EXPECT_EQ(Jq(listed, "[.files[0].records[] | .dar] | unique | join(\",\")"), "16:9");
        EXPECT_EQ(Jq(listed, "[.files[0].records[] | .container_dar // \"16:9\"] | unique | join(\",\")"),
                  "16:9");
    }

    static std::unique_ptr<TempDir> Sources;
    TempDir Dir;
};

std::unique_ptr<TempDir> CliBatch::Sources;

// One batch: every member, a refused file, a missing one and (where the test can make one) an unreadable
// one, in that order on the command line.
struct Batch {
    std::vector<std::string> files;
    std::vector<std::string> changed;
    std::vector<std::string> untouched; // existing files that must keep every byte
    std::vector<std::string> statuses;  // per file, as JSON names them
    std::vector<std::string> headings;
    std::vector<std::string> errors; // lines expected on standard error
    std::string refused;
    std::string missing;
    std::string unreadable; // empty where none can be made
    int failed = 0;
};

TEST_F(CliBatch, SetChangesEachFileOnItsOwnAndSumsThemUp) {
    // As root the permission bits do not hold: the program runs as nobody then, so that one file can be
    // made unreadable; wine runs only as the owner of its prefix.
    const bool asNobody = ::geteuid() == 0 && !CliUnderWine() && HaveTool("setpriv");
    const bool withUnreadable = !CliUnderWine() && (::geteuid() != 0 || asNobody);
    Batch batch;
    for (const Member &member : Members()) {
        const std::string path = Copy(member.name);
        batch.files.push_back(path);
        batch.headings.push_back(Heading(path, member.format));
        if (IsScannable(member.format)) {
            batch.changed.push_back(path);
            batch.statuses.push_back("changed");
        } else {
            batch.untouched.push_back(path);
            batch.statuses.push_back("failed");
            batch.errors.push_back(
                path + ": This file is " + FormatNameWithArticle(member.format) +
                " container, not a raw H.264 stream. Its aspect ratio can not be changed in "
                "place.");
            ++batch.failed;
        }
    }
    batch.refused = Copy("predefined.avi");
    batch.missing = Dir.File("missing.avi");
    for (const std::string &path : {batch.refused, batch.missing})
        batch.files.push_back(path);
    batch.untouched.push_back(batch.refused);
    batch.statuses.insert(batch.statuses.end(), {"refused", "failed"});
    batch.headings.push_back(Heading(batch.refused, TFileFormat::Avi));
    batch.headings.push_back(Heading(batch.missing, std::nullopt));
    for (const char *row : {"0", "1", "2"}) // an SPS before every key frame
        batch.errors.push_back(
            batch.refused + ": row " + row +
            ": Saving of these values not possible in this version: Only replace predefined ARs "
            "by predefined ARs and custom ARs by custom ARs. No predefined aspect ratio equals "
            "16:15.");
    batch.errors.push_back(batch.missing + ": File not found: " + batch.missing + ".");
    ++batch.failed;
    if (withUnreadable) {
        batch.unreadable = Copy("custom.h264", "unreadable.h264");
        batch.files.push_back(batch.unreadable);
        batch.untouched.push_back(batch.unreadable);
        batch.statuses.push_back("failed");
        batch.headings.push_back(Heading(batch.unreadable, std::nullopt));
        batch.errors.push_back(batch.unreadable + ": Cannot open file \"" + batch.unreadable +
                               "\". Permission denied.");
        ++batch.failed;
    }

    std::map<std::string, std::vector<uint8_t>> before = Contents(batch.changed);
    std::map<std::string, std::vector<std::string>> frames;
    for (const std::string &path : batch.changed)
        frames[path] = FrameMd5(path);
    std::map<std::string, std::vector<uint8_t>> untouched = Contents(batch.untouched);
    if (withUnreadable) {
        // The program keeps each save's journal beside the file: the folder is writable for it.
        fs::permissions(Dir.Path(), fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
        for (const std::string &path : batch.files)
            if (fs::exists(path))
                fs::permissions(path, path == batch.unreadable
                                          ? fs::perms::none
                                          : fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read | fs::perms::group_write |
                                                fs::perms::others_read | fs::perms::others_write);
    }
    std::string command = ShellQuote(CliPath()) + " set --dar 16:9";
    for (const std::string &path : batch.files)
        command += " " + ShellQuote(path);
    CommandResult result =
        RunCommand((asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") + command);
    if (withUnreadable)
        fs::permissions(batch.unreadable, fs::perms::owner_read | fs::perms::owner_write);

    // An error (missing, unreadable) weighs more than a refusal.
    EXPECT_EQ(result.exitCode, 1) << result.errors;
    for (const std::string &path : batch.changed)
        ExpectChangedTo169(path, before[path], frames[path]);
    ExpectUntouched(untouched);

    // A heading per file, in the order given, and the summary.
    EXPECT_EQ(Headings(result.output), batch.headings) << result.output;
    std::vector<std::string> lines = Lines(result.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Files: " + std::to_string(batch.files.size()) + "; changed " +
                                std::to_string(batch.changed.size()) + ", unchanged 0, refused 1, failed " +
                                std::to_string(batch.failed) + ".");
    // Each file's report under its heading: the rows of a changed file, nothing for the others.
    const std::string &first = batch.changed.front();
    const size_t heading =
        result.output.find(Heading(first, TFileFormat::RawH264) + "\nrow 0: SAR 64:45 -> 16:11");
    EXPECT_NE(heading, std::string::npos) << result.output;
    // Every message names its file.
    EXPECT_EQ(Lines(result.errors), batch.errors);
}

TEST_F(CliBatch, JsonAndJsonLinesReportEveryFile) {
    std::vector<std::string> files;
    std::vector<std::string> statuses;
    for (const Member &member : Members()) {
        files.push_back(Copy(member.name));
        statuses.push_back(IsScannable(member.format) ? "changed" : "failed");
    }
    const std::string refused = Copy("predefined.avi");
    const std::string missing = Dir.File("missing.avi");
    files.insert(files.end(), {refused, missing});
    statuses.insert(statuses.end(), {"refused", "failed"});
    const int failed = static_cast<int>(std::count(statuses.begin(), statuses.end(), "failed"));
    const int changed = static_cast<int>(std::count(statuses.begin(), statuses.end(), "changed"));
    std::map<std::string, std::vector<uint8_t>> before = Contents({files.begin(), files.end() - 1});

    std::vector<std::string> args{"set", "--dry-run", "--json", "--dar", "16:9"};
    args.insert(args.end(), files.begin(), files.end());
    CommandResult json = RunCli(args);
    EXPECT_EQ(json.exitCode, 1) << json.errors;
    ExpectUntouched(before);
    const std::string &doc = json.output;
    EXPECT_EQ(Jq(doc, "[.command, (.dry_run | tostring)] | join(\" \")"), "set true");
    EXPECT_EQ(Jq(doc, ".files | length"), std::to_string(files.size()));
    std::string names, states;
    for (size_t i = 0; i < files.size(); ++i) {
        names += (i ? "\n" : "") + files[i];
        states += (i ? "," : "") + statuses[i];
    }
    EXPECT_EQ(Jq(doc, ".files[].file"), names);
    EXPECT_EQ(Jq(doc, "[.files[].status] | join(\",\")"), states);
    EXPECT_EQ(Jq(doc,
                 ".summary | [.files, .changed, .unchanged, .refused, .failed, .skipped] | map(tostring) | "
                 "join(\",\")"),
              std::to_string(files.size()) + "," + std::to_string(changed) + ",0,1," +
                  std::to_string(failed) + ",0");
    // A changed file: its rows chosen and changed, not written in a dry run; its container's statement.
    EXPECT_EQ(Jq(doc, "[.files[0].records[] | [.selected, .changed, .written]] | unique | tostring"),
              "[[true,true,false]]");
    EXPECT_EQ(Jq(doc, ".files[1] | [.format, .tracks[0].container_dar, .records[0].container_dar, "
                      "(.records[0].track | tostring)] | join(\" \")"),
              "AVI (RIFF) 704:405 704:405 0");
    EXPECT_EQ(Jq(doc, ".files[1].container_changes[0]"),
              "Container aspect ratio of stream 0: 704:405 changed to 16:9.");
    // The raw stream: no container that states a ratio.
    EXPECT_EQ(
        Jq(doc,
           ".files[0] | [.container_states_aspect_ratio, .tracks, .records[0].container_dar] | tostring"),
        "[false,[],null]");
    // The refused file, row by row; the failed one with its error and no scan.
    EXPECT_EQ(Jq(doc, ".files[-2] | [.error, .refusals[0].row, (.refusals | length)] | tostring"),
              "[null,0,3]");
    EXPECT_EQ(Jq(doc, ".files[-1] | [.error, .format, has(\"records\")] | tostring"),
              "[\"File not found: " + missing + ".\",null,false]");

    // The same as one compact line per file.
    args[2] = "--json-lines";
    CommandResult jsonLines = RunCli(args);
    EXPECT_EQ(jsonLines.exitCode, 1);
    std::vector<std::string> lines = Lines(jsonLines.output);
    ASSERT_EQ(lines.size(), files.size()) << jsonLines.output;
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(Jq(lines[i], "[.file, .status] | join(\" \")"), files[i] + " " + statuses[i]);
        EXPECT_EQ(Jq(lines[i], "tostring"), lines[i]); // compact: as jq itself writes it
    }
    ExpectUntouched(before);

    // Written for real, the document says so per row.
    args.erase(args.begin() + 1);
    args[1] = "--json";
    CommandResult written = RunCli(args);
    EXPECT_EQ(written.exitCode, 1);
    EXPECT_EQ(Jq(written.output, "[.files[] | select(.status == \"changed\") | .records[].written] | all"),
              "true");
    EXPECT_EQ(Jq(written.output, ".dry_run"), "false");
}

TEST_F(CliBatch, ExitStatusIsTheMostSeriousOutcome) {
    const std::string stream = Copy("custom.h264");
    const std::string refused = Copy("predefined.avi");
    const std::string missing = Dir.File("missing.h264");
    // Done: changed, and again: unchanged.
    EXPECT_EQ(RunCli({"set", "--dar", "16:9", stream}).exitCode, 0);
    CommandResult again = RunCli({"set", "--dar", "16:9", stream, Copy("custom.avi")});
    EXPECT_EQ(again.exitCode, 0) << again.errors;
    EXPECT_EQ(Lines(again.output).back(), "Files: 2; changed 1, unchanged 1, refused 0, failed 0.");
    // A refusal beside files that are done.
    CommandResult withRefusal = RunCli({"set", "--dar", "4:3", refused, stream});
    EXPECT_EQ(withRefusal.exitCode, 3);
    EXPECT_EQ(Lines(withRefusal.output).back(), "Files: 2; changed 1, unchanged 0, refused 1, failed 0.");
    EXPECT_EQ(Jq(RunCli({"list", "--json", stream}).output, ".files[0].records[0].dar"), "4:3");
    // An error beside a refusal.
    EXPECT_EQ(RunCli({"set", "--dar", "4:3", refused, missing}).exitCode, 1);
    EXPECT_EQ(RunCli({"list", missing, stream}).exitCode, 1);
    EXPECT_EQ(Lines(RunCli({"list", missing, stream}).output).back(),
              "Files: 2; listed 1, refused 0, failed 1.");
    // A usage error scans nothing, whatever the number of files.
    std::vector<uint8_t> bytes = ReadFile(stream);
    CommandResult usage = RunCli({"set", "--dar", "16:9", "--rows", "x", stream, refused});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_EQ(usage.output, "");
    EXPECT_EQ(ReadFile(stream), bytes);
}

TEST_F(CliBatch, RecursiveFindsTheVideoFilesOfAFolderTreeByContent) {
    const std::string root = Dir.File("tape");
    std::vector<std::string> videos = {Copy("custom.avi", "tape/b.avi"), Copy("custom.h264", "tape/a.h264"),
                                       Copy("custom.avi", "tape/sub/c.avi"),
                                       Copy("custom.h264", "tape/sub/deeper/d.h264")};
    // A raw stream whatever its name, and no video whatever its name.
    videos.push_back(Copy("custom.h264", "tape/sub/renamed.txt"));
    std::vector<std::string> others = {Copy("predefined.avi", "outside/e.avi")};
    WriteFile(Dir.File("tape/notes.txt"), {'t', 'a', 'p', 'e', ' ', '1', '\n'});
    WriteFile(Dir.File("tape/empty.avi"), {});
    WriteFile(Dir.File("tape/sub/zeros.h264"), std::vector<uint8_t>(4096, 0));
    WriteFile(Dir.File("tape/sub/cover.png"), {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13});
    for (const char *name : {"tape/notes.txt", "tape/empty.avi", "tape/sub/zeros.h264", "tape/sub/cover.png"})
        others.push_back(Dir.File(name));
    int skipped = 4;
    // Files of the formats no scanner reads yet are skipped too.
    for (const Member &member : Members()) {
        if (IsScannable(member.format))
            continue;
        others.push_back(Copy(member.name, "tape/sub/" + member.name));
        ++skipped;
    }
    // A loop back to the top, followed by nothing.
    fs::create_directory_symlink("..", Dir.File("tape/sub/loop"));
    ++skipped;
    if (!CliUnderWine()) {
        // Links to files, in the tree and out of it: wine shows them as the files they lead to.
        fs::create_symlink("b.avi", Dir.File("tape/alias.avi"));
        fs::create_symlink("../outside/e.avi", Dir.File("tape/outside.avi"));
        skipped += 2;
    }
    std::map<std::string, std::vector<uint8_t>> before = Contents(videos);
    std::map<std::string, std::vector<uint8_t>> untouched = Contents(others);

    CommandResult result = RunCli({"set", "--dar", "16:9", "--recursive", root});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.errors, "");
    // Depth first, in the order of the names' bytes.
    EXPECT_EQ(Headings(result.output),
              (std::vector<std::string>{Heading(Joined(root, "a.h264"), TFileFormat::RawH264),
                                        Heading(Joined(root, "b.avi"), TFileFormat::Avi),
                                        Heading(Joined(root, "sub/c.avi"), TFileFormat::Avi),
                                        Heading(Joined(root, "sub/deeper/d.h264"), TFileFormat::RawH264),
                                        Heading(Joined(root, "sub/renamed.txt"), TFileFormat::RawH264)}))
        << result.output;
    EXPECT_EQ(Lines(result.output).back(), "Files: 5; changed 5, unchanged 0, refused 0, failed 0; skipped " +
                                               std::to_string(skipped) +
                                               " (no video file of a format read here).");
    for (const std::string &path : videos) {
        EXPECT_NE(ReadFile(path), before[path]) << path;
        EXPECT_EQ(ReadFile(path).size(), before[path].size()) << path;
    }
    ExpectUntouched(untouched);

    // Listed afterwards, as JSON: every file at 16:9, the skipped ones counted.
    CommandResult listed = RunCli({"list", "--json", "--recursive", root});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(Jq(listed.output, "[.files[].records[].dar] | unique | join(\",\")"), "16:9");
    EXPECT_EQ(Jq(listed.output, ".summary | [.files, .listed, .skipped] | map(tostring) | join(\",\")"),
              "5,5," + std::to_string(skipped));
    // A folder without --recursive is an error of its own.
    CommandResult folder = RunCli({"list", root});
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_EQ(folder.errors, "Cannot open file \"" + root + "\". It is a folder, not a file.\n");
}

TEST_F(CliBatch, TrackChoosesTheRowsAndTheStatementOfOneTrack) {
    // Stream 0 is custom (64:45), stream 1 predefined (12:11); each has its own vprp.
    const std::string path = Copy("mixed.avi");
    Listing listing = ListJson(path);
    ASSERT_EQ(listing.records.size(), 6u);
    CommandResult table = RunCli({"list", path});
    std::string tracks;
    for (const std::string &line : Lines(table.output))
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
            std::istringstream cells(line);
            std::string cell;
            for (int column = 0; column < 9; ++column)
                cells >> cell; // up to Track, before Codec
            tracks += cell;
        }
    EXPECT_EQ(tracks, "010101") << table.output; // the streams' chunks interleave

    CommandResult set = RunCli({"set", "--track", "1", "--idc", "4", path});
    EXPECT_EQ(set.exitCode, 0) << set.errors;
    EXPECT_NE(set.output.find("Container aspect ratio of stream 1: 4:3 changed to 16:9."), std::string::npos)
        << set.output;
    EXPECT_EQ(set.output.find("stream 0"), std::string::npos) << set.output;
    EXPECT_EQ(Lines(set.output).back(), "3 of 3 chosen rows written.");
    const std::string after = RunCli({"list", "--json", path}).output;
    EXPECT_EQ(Jq(after, "[.files[0].records[] | \"\\(.track)=\\(.sar)\"] | join(\",\")"),
              "0=64:45,1=16:11,0=64:45,1=16:11,0=64:45,1=16:11");
    EXPECT_EQ(Jq(after, "[.files[0].tracks[].container_dar] | join(\",\")"), "704:405,16:9");
    EXPECT_EQ(ProbeVideo(path, 0).sarWidth, 64);
    EXPECT_EQ(ProbeVideo(path, 1).sarWidth, 16);

    // A track the file does not have, and rows of another track, refuse the file.
    std::vector<uint8_t> bytes = ReadFile(path);
    CommandResult noTrack = RunCli({"set", "--track", "2", "--idc", "1", path});
    EXPECT_EQ(noTrack.exitCode, 3);
    EXPECT_EQ(noTrack.errors, "--track 2: the file has no video track 2 (it has stream 0, stream 1)\n");
    CommandResult otherTrack = RunCli({"set", "--track", "1", "--rows", "0,1", "--idc", "1", path});
    EXPECT_EQ(otherTrack.exitCode, 3);
    EXPECT_EQ(otherTrack.errors, "row 0: it is not a row of stream 1, the track chosen with --track\n");
    CommandResult raw = RunCli({"set", "--track", "0", "--sar", "1:1", Copy("custom.h264")});
    EXPECT_EQ(raw.exitCode, 3);
    EXPECT_EQ(raw.errors, "--track 0: the file has no video track 0 (it has no video tracks)\n");
    EXPECT_EQ(ReadFile(path), bytes);
}

// With only the first NAL unit of each chunk looked at, no SPS of this file is found: the stream's vprp is
// its one row, and a change writes the container's statement alone.
TEST_F(CliBatch, ContainerRowsReadAsTheContainersStatement) {
    const std::string path = Copy("delimited.avi");
    CommandResult table = RunCli({"list", "--first-nal-only", path});
    std::vector<std::string> lines = Lines(table.output);
    ASSERT_EQ(lines.size(), 4u) << table.output;
    std::istringstream row(lines[2]);
    std::string number, sar, type, resolution, dar, spsId, spsOffset, vuiOffset, track;
    row >> number >> sar >> type >> resolution >> dar >> spsId >> spsOffset >> vuiOffset >> track;
    EXPECT_EQ(type + " " + spsId + " " + vuiOffset + " " + track, "Container - - 0");

    CommandResult set = RunCli({"set", "--first-nal-only", "--track", "0", "--dar", "4:3", path});
    EXPECT_EQ(set.exitCode, 0) << set.errors;
    lines = Lines(set.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "row 0: SAR 16:11 -> 12:11 (container statement of stream 0), DAR 4:3, written at "
                        "container offset " +
                            spsOffset);
    EXPECT_EQ(ProbeVideo(path).sarWidth, 12);
    CommandResult again = RunCli({"set", "--first-nal-only", "--dar", "4:3", path});
    EXPECT_EQ(Lines(again.output).at(0), "row 0: SAR 12:11 (container statement of stream 0) is already set; "
                                         "nothing to write");
}

TEST_F(CliBatch, FormatNamesTheScannerForEveryFile) {
    const std::string avi = Copy("custom.avi");
    const std::string stream = Copy("custom.h264");
    // Read as a raw stream, an AVI's SPS are all found, its vprp is not read.
    CommandResult asStream = RunCli({"list", "--format", "stream", avi});
    EXPECT_EQ(asStream.exitCode, 0) << asStream.errors;
    EXPECT_EQ(Lines(asStream.output).back(),
              "Read as a raw H.264 stream: what the AVI container states beside the SPS was not read.");
    EXPECT_EQ(ListJson(avi, {"--format", "H264"}).scanner, "stream");
    EXPECT_EQ(ListJson(avi, {"--format", "avi"}).scanner, "avi");
    // Forced for every file of the call.
    CommandResult asAvi = RunCli({"list", "--json", "--format", "avi", avi, stream});
    EXPECT_EQ(asAvi.exitCode, 1);
    EXPECT_EQ(Jq(asAvi.output, "[.files[] | .status + \" \" + .scanner] | join(\",\")"),
              "listed avi,failed avi");
    EXPECT_EQ(Jq(asAvi.output, ".files[1].error"), "File is not a valid RIFF file. Abort Scan.");
    // Every format a scanner reads can be named, and only those.
    for (const Member &member : Members()) {
        const std::string keyword = member.format == TFileFormat::RawH264    ? "stream"
                                    : member.format == TFileFormat::Avi      ? "avi"
                                    : member.format == TFileFormat::Mp4      ? "mp4"
                                    : member.format == TFileFormat::Matroska ? "mkv"
                                                                             : "ts";
        CommandResult named = RunCli({"list", "--format", keyword, stream});
        EXPECT_EQ(named.exitCode == 2, !IsScannable(member.format)) << keyword << ": " << named.errors;
    }
}

TEST_F(CliBatch, ControlCharactersInNamesAreEscapedOnTheTerminal) {
    if (CliUnderWine())
        GTEST_SKIP() << "Windows forbids control characters in file names";
    const std::string bell = Copy("custom.h264", "bell\x07.h264");
    const std::string ghost = Dir.File("ghost\x1b[2J\xC2\x9B.avi");
    CommandResult result = RunCli({"list", bell, ghost});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(Headings(result.output),
              (std::vector<std::string>{"==> " + Dir.File("bell\\x07.h264") + ": raw H.264 stream <==",
                                        "==> " + Dir.File("ghost\\x1B[2J\\x9B.avi") + " <=="}));
    const std::string shownGhost = Dir.File("ghost\\x1B[2J\\x9B.avi");
    EXPECT_EQ(result.errors, shownGhost + ": File not found: " + shownGhost + ".\n");
    // JSON keeps the names as they are.
    EXPECT_EQ(Jq(RunCli({"list", "--json", bell, ghost}).output, ".files[1].file"), ghost);
}

TEST_F(CliBatch, ProgressNamesTheFileAndItsPlaceInTheBatch) {
    const std::string first = Copy("custom.h264", "first.h264");
    const std::string second = Copy("custom.avi", "second.avi");
    CommandResult piped = RunCli({"list", first, second});
    EXPECT_EQ(piped.output.find("files:"), std::string::npos);
    EXPECT_EQ(piped.errors, "");
    if (CliUnderWine())
        GTEST_SKIP() << "wine's console puts its own escape sequences between the characters the program "
                        "writes to a terminal";
    if (!HaveTool("script"))
        GTEST_SKIP() << "script is not installed";
    CommandResult terminal = RunCommand(
        "script -qec " +
        ShellQuote(ShellQuote(CliPath()) + " list " + ShellQuote(first) + " " + ShellQuote(second)) +
        " /dev/null");
    EXPECT_EQ(terminal.exitCode, 0) << terminal.errors;
    const size_t one = terminal.output.find("\r1/2 files: ");
    const size_t two = terminal.output.find("\r2/2 files: ");
    ASSERT_NE(one, std::string::npos) << terminal.output;
    ASSERT_NE(two, std::string::npos) << terminal.output;
    EXPECT_LT(one, terminal.output.find("==> " + second));
    EXPECT_GT(two, terminal.output.find("==> " + second));
    EXPECT_NE(terminal.output.find("second.avi: Scanning ", two), std::string::npos);
    // Gone before the summary.
    EXPECT_EQ(terminal.output.find("files: ", terminal.output.find("Files: 2;")), std::string::npos);
}

} // namespace
