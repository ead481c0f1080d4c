// Measures how close scanning comes to the system reading the same file, and how the in-place change of
// the sample aspect ratio compares with rewriting the file through ffmpeg.
//
//   pellmar-bench [--repeat N] [--cold] [--lists-only] [--inputs-only]
//                 [--only h264|h264-many|avi|chunks|sparse|mp4|mp4-many|mkv|ts|hevc|hevc-mp4]...
//
// --inputs-only makes the inputs of the blocks and measures nothing, so that an idle machine is needed
// only for the measuring.
//
// Inputs are made on first use (ffmpeg with libx264 and libx265) in the build folder and kept there: a raw
// stream of at least 1 GiB (an x264 stream with an SPS before every key frame, repeated), the same stream in
// an AVI, an MP4, a Matroska file and a transport stream, an AVI of two million small chunks (small frames
// with audio between them), a 4 GiB sparse raw stream whose SPS lie past the 4 GiB mark, and a raw HEVC
// stream of at least 1 GiB (x265, made the same way) with its MP4; for saves of thousands of places, a raw
// stream of 1 GiB with a key frame (and an SPS) every seven frames, and its MP4.
//
// Every step is compared with plain reading of the same file: the system's read, 1 MiB at a time into
// one buffer, nothing else (dd's time is printed beside it when dd is there). The two run in turns, N pairs
// (default 3) on a warm page cache: a step's factor is the median of the pairs' ratios, so that load that
// comes and goes touches both sides of a pair alike, and its time the median of its runs. The lowest and
// the highest of the pairs' ratios are printed beside the factor as its spread. Memory is the peak resident
// size of a child process that does only that step.
//
// --lists-only measures warm plain reading and listing only, no changes (quick, for work on the scanners).
//
// --cold measures only listing on a page cache that holds none of the file (the sparse file is left out:
// its holes are not read from the disk): before every run the cache is written out and dropped (sync, then
// 3 into /proc/sys/vm/drop_caches, which needs root; without it the cold rows are skipped). Cold plain
// reading and the cold list run in turns as above. After each run mincore(2) tells how much of the file
// the run brought into the cache: with the cache empty before, that is what it read from the disk.
//
// The figures mean something only on an idle machine: the 1-minute load is printed at the start and
// before each block, with a warning above 0.5. That load counts the bench's own previous block too, so
// after each block the CPU time other processes took meanwhile is printed as well.
//
// The benchmark is a list of blocks, one per kind of input: each makes its input, measures plain reading
// of it with PlainReading, and reports each step against that with Report.

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "scan/JournalStore.h"
#include "scan/Parser.h"
#include "scan/SaveSequence.h"
#include "scan/ScanSession.h"
#include "scan/Scanner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path DataDir = PELLMAR_BENCH_DATA;
// Warm blocks measure plain reading and listing only: no changes, no ffmpeg.
bool ListsOnly = false;
constexpr int64_t GiB = int64_t{1} << 30;
constexpr double MiB = 1024.0 * 1024.0;

// ---- Inputs ----

void Run(const std::string &command) {
    std::printf("  $ %s\n", command.c_str());
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("command failed: " + command);
}

std::string Quote(const fs::path &path) {
    return "'" + path.string() + "'";
}

// Made by the command into a file of its own first, so that a failed run leaves no input behind.
fs::path Made(const fs::path &file, const std::function<void(const fs::path &)> &make) {
    if (fs::exists(file))
        return file;
    fs::path part = file;
    part += ".part";
    fs::remove(part);
    make(part);
    fs::rename(part, file);
    return file;
}

// x264 output at 1920x1080, 25 frames per second, SAR 1:1, an SPS before every key frame, a key frame
// every keyint frames at most.
fs::path X264Source(const fs::path &name, int keyint) {
    return Made(DataDir / name, [keyint](const fs::path &out) {
        Run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 30 -vf setsar=1/1 "
            "-c:v libx264 -preset veryfast -crf 18 -x264-params repeat-headers=1:keyint=" +
            std::to_string(keyint) + " -f h264 " + Quote(out));
    });
}

// A key frame every 2 s: about 540 SPS in 1 GiB.
fs::path Source() {
    return X264Source("source.h264", 50);
}

// A key frame every 7 frames: about 3,800 SPS in 1 GiB, for saves of thousands of places.
fs::path ManySpsSource() {
    return X264Source("source-many-sps.h264", 7);
}

// x265 output made the same way.
fs::path HevcSource() {
    return Made(DataDir / "source.hevc", [](const fs::path &out) {
        Run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 30 -vf setsar=1/1 "
            "-c:v libx265 -preset ultrafast -crf 18 -x265-params log-level=error:repeat-headers=1:keyint=50 "
            "-f hevc " +
            Quote(out));
    });
}

// A source repeated until the file holds at least 1 GiB.
fs::path Repeated(const fs::path &name, const std::function<fs::path()> &makeSource) {
    return Made(DataDir / name, [&makeSource](const fs::path &out) {
        const fs::path source = makeSource();
        int64_t copies = GiB / static_cast<int64_t>(fs::file_size(source)) + 1;
        std::printf("  repeating %s %lld times into %s\n", source.c_str(), static_cast<long long>(copies),
                    out.c_str());
        for (int64_t i = 0; i < copies; ++i)
            Run("cat " + Quote(source) + " >> " + Quote(out));
    });
}

fs::path LargeStream() {
    return Repeated("large.h264", Source);
}

fs::path ManySpsStream() {
    return Repeated("many-sps.h264", ManySpsSource);
}

fs::path LargeHevcStream() {
    return Repeated("large.hevc", HevcSource);
}

fs::path LargeAvi() {
    return Made(DataDir / "large.avi", [](const fs::path &out) {
        Run("ffmpeg -v error -y -fflags +genpts -r 25 -i " + Quote(LargeStream()) + " -c copy -f avi " +
            Quote(out));
    });
}

// One minute of 320x180 video (about 700 bytes a frame, an SPS every 10 s) and 8 kHz audio in chunks of
// 320 bytes, 25 of each a second, repeated to two million chunks: 1,000,500 video and as many audio chunks,
// about 1 GiB.
fs::path ManyChunkAvi() {
    return Made(DataDir / "many-chunks.avi", [](const fs::path &out) {
        fs::path clip = DataDir / "small-clip.avi";
        Run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x180:rate=25 -f lavfi -i "
            "sine=frequency=440:sample_rate=8000:samples_per_frame=320 -t 60 -c:v libx264 -preset veryfast "
            "-crf 30 -x264-params repeat-headers=1:keyint=250 -c:a pcm_u8 -f avi " +
            Quote(clip));
        Run("ffmpeg -v error -y -stream_loop 666 -i " + Quote(clip) + " -c copy -f avi " + Quote(out));
        fs::remove(clip);
    });
}

// 4 GiB of holes, then the source stream: the SPS lie past the 4 GiB mark.
fs::path SparseStream() {
    return Made(DataDir / "sparse-4gib.h264", [](const fs::path &out) {
        Run("truncate -s 4G " + Quote(out));
        Run("cat " + Quote(Source()) + " >> " + Quote(out));
    });
}

// The large stream in a container, as ffmpeg remuxes it. ffmpeg 5.1 gives the raw stream's B-frames
// no presentation time: the MP4 muxer works them out, the Matroska muxer gets them from an MP4 on the way,
// and each frame of the transport stream gets its decoding time.
fs::path Mp4Of(const fs::path &name, const fs::path &stream) {
    return Made(DataDir / name, [&stream](const fs::path &out) {
        Run("ffmpeg -v error -y -fflags +genpts -r 25 -i " + Quote(stream) + " -c copy -f mp4 " + Quote(out));
    });
}

fs::path LargeMp4() {
    return Mp4Of("large.mp4", LargeStream());
}

fs::path LargeMatroska() {
    return Made(DataDir / "large.mkv", [](const fs::path &out) {
        Run("ffmpeg -v error -y -i " + Quote(LargeMp4()) + " -c copy -f matroska " + Quote(out));
    });
}

fs::path LargeTs() {
    return Made(DataDir / "large.ts", [](const fs::path &out) {
        Run("ffmpeg -v error -y -r 25 -i " + Quote(LargeStream()) +
            " -c copy -bsf:v setts=pts=DTS -f mpegts " + Quote(out));
    });
}

// ---- The machine ----

// Above this 1-minute load (or this many cores kept busy by others) something else competes for the cores
// and the disk, and the pairs no longer see the same machine.
constexpr double IdleLoad = 0.5;

double LoadAverage() {
    double load = -1;
    if (std::FILE *file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &load) != 1)
            load = -1;
        std::fclose(file);
    }
    return load;
}

void PrintLoad(const std::string &lead) {
    const double load = LoadAverage();
    if (load < 0) {
        std::printf("%sload average unknown (/proc/loadavg unreadable)\n", lead.c_str());
        return;
    }
    std::printf("%sload average %.2f (1 minute)\n", lead.c_str(), load);
    if (load > IdleLoad)
        std::printf("WARNING: the machine is not idle (load %.2f > %.1f): the figures below flatter or "
                    "wrong-foot the comparison with plain reading\n",
                    load, IdleLoad);
}

// The device and file system the inputs live on, as df names them; empty when df is not there.
std::string Storage(const fs::path &folder) {
    FILE *output = ::popen(("LC_ALL=C df -PT " + Quote(folder) + " 2>/dev/null").c_str(), "r");
    if (output == nullptr)
        return {};
    char line[512];
    std::string last;
    while (std::fgets(line, sizeof line, output) != nullptr)
        last = line;
    ::pclose(output);
    char device[256], type[64], mount[256];
    long long blocks, used, available;
    char capacity[16];
    if (std::sscanf(last.c_str(), "%255s %63s %lld %lld %lld %15s %255s", device, type, &blocks, &used,
                    &available, capacity, mount) != 7)
        return {};
    return std::string(device) + " (" + type + ", mounted on " + mount + ")";
}

// CPU seconds of the whole machine and of this process with its children: the difference over a block is
// what other processes took while it measured. On a virtual machine, also the time its host gave the
// machine's processors to others (steal), which no process here shows.
struct TCpuTimes {
    double machine = 0;
    double ours = 0;
    double stolen = 0;
};

TCpuTimes CpuTimes() {
    TCpuTimes times;
    if (std::FILE *file = std::fopen("/proc/stat", "r")) {
        unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                           steal = 0;
        const int fields = std::fscanf(file, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice,
                                       &system, &idle, &iowait, &irq, &softirq, &steal);
        const auto tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
        if (fields >= 7)
            times.machine = static_cast<double>(user + nice + system + irq + softirq) / tick;
        if (fields == 8)
            times.stolen = static_cast<double>(steal) / tick;
        std::fclose(file);
    }
    auto seconds = [](const timeval &time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        ::getrusage(who, &usage);
        times.ours += seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    return times;
}

void PrintOthersCpu(const TCpuTimes &start, double wallSeconds) {
    const TCpuTimes end = CpuTimes();
    if (start.machine <= 0 || end.machine <= 0 || wallSeconds <= 0)
        return;
    const double others =
        std::max(0.0, (end.machine - start.machine) - (end.ours - start.ours)) / wallSeconds;
    const double stolen = (end.stolen - start.stolen) / wallSeconds;
    std::printf("meanwhile other processes kept %.2f cores busy, and the host took %.2f cores from this "
                "machine (steal)\n",
                others, stolen);
    if (others + stolen > IdleLoad)
        std::printf("WARNING: the machine was not idle during this block: its figures flatter or wrong-foot "
                    "the comparison with plain reading\n");
}

// ---- Measuring ----

double Seconds(const std::function<void()> &work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One run of a step: its time and the peak resident size of the child process that did it.
struct TRun {
    double seconds = 0;
    long peakKiB = 0;
};

// What a child sends back: its time, and the count the work left in `carried`.
struct TOutcome {
    double seconds = -1;
    size_t carried = 0;
};

// Runs the work in a child process. A count the work leaves in *carried (the child's copy of the same
// variable) comes back into the parent's.
TRun RunOnce(const std::function<void()> &prepare, const std::function<void()> &work,
             size_t *carried = nullptr) {
    if (prepare)
        prepare();
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe failed");
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        TOutcome outcome;
        try {
            outcome.seconds = Seconds(work);
            outcome.carried = carried != nullptr ? *carried : 0;
        } catch (const std::exception &error) {
            std::fprintf(stderr, "error: %s\n", error.what());
        }
        ssize_t written = ::write(pipeEnds[1], &outcome, sizeof outcome);
        ::_exit(written == sizeof outcome && outcome.seconds >= 0 ? 0 : 1);
    }
    ::close(pipeEnds[1]);
    TOutcome outcome;
    ssize_t got = ::read(pipeEnds[0], &outcome, sizeof outcome);
    ::close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    if (got != sizeof outcome || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("measured step failed");
    if (carried != nullptr)
        *carried = outcome.carried;
    return {outcome.seconds, usage.ru_maxrss};
}

// Plain reading: the system's read, 1 MiB at a time into one buffer, nothing else.
void PlainRead(const fs::path &file) {
    const int handle = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0)
        throw std::runtime_error("cannot open " + file.string());
    std::vector<char> block(size_t{1} << 20);
    ssize_t done = 0;
    while ((done = ::read(handle, block.data(), block.size())) > 0) {
    }
    ::close(handle);
    if (done < 0)
        throw std::runtime_error("cannot read " + file.string());
}

// A step measured against plain reading of its file: its median time, the median of the pairs' ratios
// (plain reading's time over the step's) with the lowest and highest of them, and its peak memory. Plain
// reading itself has no pairs.
struct TMeasure {
    double seconds = 0;
    double factor = 1;
    double lowest = 1;
    double highest = 1;
    int pairs = 0;
    long peakKiB = 0;
};

void SetFactor(TMeasure &measure, const std::vector<double> &ratios) {
    measure.factor = Median(ratios);
    measure.lowest = *std::min_element(ratios.begin(), ratios.end());
    measure.highest = *std::max_element(ratios.begin(), ratios.end());
    measure.pairs = static_cast<int>(ratios.size());
}

// Plain reading of the file and the step in turns, pairs times.
TMeasure Measure(int pairs, const fs::path &file, const std::function<void()> &prepare,
                 const std::function<void()> &work, size_t *carried = nullptr) {
    std::vector<double> times;
    std::vector<double> ratios;
    TMeasure measure;
    for (int i = 0; i < pairs; ++i) {
        const TRun plain = RunOnce(nullptr, [&] { PlainRead(file); });
        const TRun step = RunOnce(prepare, work, carried);
        times.push_back(step.seconds);
        ratios.push_back(plain.seconds / step.seconds);
        measure.peakKiB = std::max(measure.peakKiB, step.peakKiB);
    }
    measure.seconds = Median(times);
    SetFactor(measure, ratios);
    return measure;
}

// dd's own time for reading the file in blocks of 1 MiB, the median of the runs; 0 when dd is not there.
double DdSeconds(const fs::path &file, int repeat) {
    std::vector<double> times;
    for (int i = 0; i < repeat; ++i) {
        const std::string command = "LC_ALL=C dd if=" + Quote(file) + " of=/dev/null bs=1M 2>&1";
        FILE *output = ::popen(command.c_str(), "r");
        if (output == nullptr)
            return 0;
        std::string text;
        char part[256];
        while (std::fgets(part, sizeof part, output) != nullptr)
            text += part;
        if (::pclose(output) != 0)
            return 0;
        // "... bytes (...) copied, 0.0951 s, 11.3 GB/s"
        const size_t copied = text.rfind("copied, ");
        if (copied == std::string::npos)
            return 0;
        const double seconds = std::atof(text.c_str() + copied + 8);
        if (seconds <= 0)
            return 0;
        times.push_back(seconds);
    }
    return times.empty() ? 0 : Median(times);
}

// A file and plain reading of it, which its steps are compared with.
struct TReference {
    fs::path File;
    int64_t Bytes = 0;
    TMeasure Plain;
};

// "4,018"
std::string Grouped(size_t count) {
    std::string digits = std::to_string(count);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

// "(0.98-1.11)": the lowest and the highest of the pairs' ratios; nothing without pairs.
std::string Spread(const TMeasure &measure) {
    if (measure.pairs == 0)
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "(%.2f-%.2f)", measure.lowest, measure.highest);
    return text;
}

void Report(const std::string &what, const TReference &reference, const TMeasure &measure) {
    const double mbps = static_cast<double>(reference.Bytes) / measure.seconds / 1e6;
    std::printf("%-50s %7.3f s %7.0f MB/s %6.2f x plain reading %-13s peak %6.1f MiB\n", what.c_str(),
                measure.seconds, mbps, measure.factor, Spread(measure).c_str(),
                static_cast<double>(measure.peakKiB) / 1024.0);
}

// Measures plain reading of the file (after one read that warms the page cache) and reports it, with
// dd's figure beside it (against the median of plain reading).
TReference PlainReading(const std::string &what, const fs::path &file, int repeat) {
    TReference reference{file, static_cast<int64_t>(fs::file_size(file)), {}};
    PlainRead(file);
    std::vector<double> times;
    for (int i = 0; i < repeat; ++i) {
        const TRun run = RunOnce(nullptr, [&] { PlainRead(file); });
        times.push_back(run.seconds);
        reference.Plain.peakKiB = std::max(reference.Plain.peakKiB, run.peakKiB);
    }
    reference.Plain.seconds = Median(times);
    Report("plain reading, " + what, reference, reference.Plain);
    if (const double dd = DdSeconds(file, repeat); dd > 0)
        std::printf("%-50s %7.3f s %7.0f MB/s %6.2f x plain reading\n", ("  dd bs=1M, " + what).c_str(), dd,
                    static_cast<double>(reference.Bytes) / dd / 1e6, reference.Plain.seconds / dd);
    return reference;
}

// ---- Steps ----

// Scans as the desktop program does: the scanner the content calls for (or the one for the format given),
// with a progress receiver bound, into a session of its own.
size_t Scan(const fs::path &file, bool deep = true, TScanSession *into = nullptr,
            std::optional<TFileFormat> format = std::nullopt) {
    TScanSession own;
    TScanSession &session = into != nullptr ? *into : own;
    std::unique_ptr<TParser> parser = CreateParser(format.value_or(ProbeFile(file.string())), session);
    if (!parser)
        throw std::runtime_error("no scanner reads " + file.string());
    parser->DeepScan = deep;
    int64_t reports = 0;
    parser->Events.OnProgress = [&](int64_t, int64_t) { ++reports; };
    parser->Parse(file.string());
    return session.ARInfoList.Count();
}

// The whole job of the user: scan, set a new predefined SAR on every record, check, write (the container's
// statements and checksums with it), as the programs save: journalled. Without the journal, the bare
// checked write, to show what the journal costs. Returns how many places it changed.
size_t ChangeEverySar(const fs::path &file, uint8_t aspectRatioIdc, bool journalled = true) {
    TScanSession session;
    if (Scan(file, true, &session) == 0)
        throw std::runtime_error("no SPS found in " + file.string());
    TARInfoList &records = session.ARInfoList;
    for (size_t i = 0; i < records.Count(); ++i)
        records.Items(i)->NewAspectRatioIdc = aspectRatioIdc;
    if (journalled) {
        TSaveSequence save(records);
        if (!save.OpenForWriting(file.string()).empty())
            throw std::runtime_error("changes refused");
        save.Apply(file.string());
        return records.Count();
    }
    TFileStream target(file.string(), TFileOpenMode::ReadWriteExclusive);
    if (!records.CheckChanges(target).empty())
        throw std::runtime_error("changes refused");
    records.WriteChanges(target);
    return records.Count();
}

// Puts what was written to the file onto the disk.
void SyncFile(const fs::path &file) {
    const int handle = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = handle >= 0 && ::fsync(handle) == 0;
    const int error = errno;
    if (handle >= 0)
        ::close(handle);
    if (!synced)
        throw std::runtime_error("cannot put " + file.string() + " onto the disk: " + std::strerror(error));
}

// ---- Blocks ----

// A format's block: listing, and changing the SAR of every SPS in place against the usual alternative that
// rewrites the file with ffmpeg, each compared with plain reading of the file. The copy a change works on
// is put onto the disk before the clock starts: the save's own flush then writes what the save wrote, not
// the gigabyte the copy left in the page cache.
TReference FormatBlock(const std::string &name, const fs::path &file, const std::string &muxer, int repeat,
                       const std::string &metadataFilter = "h264_metadata") {
    const TReference reference = PlainReading(name, file, repeat);
    Report("list (deep scan), " + name, reference, Measure(repeat, file, nullptr, [&] { Scan(file); }));
    if (ListsOnly)
        return reference;
    const fs::path target = DataDir / ("target-" + file.filename().string());
    const fs::path remuxed = DataDir / ("remuxed-" + file.filename().string());
    auto copyInput = [&] {
        fs::copy_file(file, target, fs::copy_options::overwrite_existing);
        TFileStream(target.string(), TFileOpenMode::ReadWriteExclusive).Flush();
    };
    size_t places = 0;
    const TMeasure change = Measure(
        repeat, file, copyInput, [&] { places = ChangeEverySar(target, 2); }, &places);
    const fs::path journal = JournalBeside(target.string());
    const uintmax_t journalBytes = fs::exists(journal) ? fs::file_size(journal) : 0;
    const TMeasure bare = Measure(repeat, file, copyInput, [&] { ChangeEverySar(target, 2, false); });
    fs::remove(journal);
    auto rewrite = [&] {
        Run("ffmpeg -v error -y -i " + Quote(file) + " -c copy -bsf:v " + metadataFilter +
            "=sample_aspect_ratio=12/11 -f " + muxer + " " + Quote(remuxed));
    };
    const TMeasure remux = Measure(
        repeat, file, [] { ::sync(); }, rewrite);
    // The save returns with its bytes on the disk; the rewrite leaves its gigabyte in the page cache, to be
    // written out later. The same rewrite once more, until its file is on the disk too.
    const TMeasure remuxSynced = Measure(
        repeat, file, [] { ::sync(); },
        [&] {
            rewrite();
            SyncFile(remuxed);
        });
    Report("change every SPS in place, " + name, reference, change);
    std::printf("  %s places\n", Grouped(places).c_str());
    Report("  the same without its journal, " + name, reference, bare);
    std::printf("  the journal: %ju bytes written before the patches and 7 after them, %+.1f%% time\n",
                journalBytes, (change.seconds / bare.seconds - 1) * 100);
    Report("ffmpeg -c copy -bsf:v " + metadataFilter + ", " + name, reference, remux);
    Report("  the same until its file is on the disk, " + name, reference, remuxSynced);
    std::printf("  in place is %.0f times faster than the ffmpeg rewrite, %.0f times than the rewrite put "
                "onto the disk\n\n",
                remux.seconds / change.seconds, remuxSynced.seconds / change.seconds);
    fs::remove(target);
    fs::remove(remuxed);
    // The disk is quiet again before the next block measures: what the rewrites and the copies wrote would
    // otherwise still be going out while it reads.
    ::sync();
    return reference;
}

void AviBlock(const fs::path &file, int repeat) {
    const TReference avi = FormatBlock("AVI", file, "avi", repeat);
    Report("first NAL unit of each chunk, AVI", avi,
           Measure(repeat, avi.File, nullptr, [&] { Scan(avi.File, false); }));
}

// What listing a file costs when its chunks are small and many: the walk itself.
void ManyChunkAviBlock(const fs::path &file, int repeat) {
    const TReference avi = PlainReading("AVI of 2 million chunks", file, repeat);
    Report("list (deep scan), 2M-chunk AVI", avi,
           Measure(repeat, avi.File, nullptr, [&] { Scan(avi.File, true); }));
    Report("first NAL unit, 2M-chunk AVI", avi,
           Measure(repeat, avi.File, nullptr, [&] { Scan(avi.File, false); }));
}

// Read once: it is large, and mostly holes. Its head is all zeros, which tells no format: it is read as a
// raw H.264 stream, as --stream reads it.
void SparseBlock(const fs::path &file) {
    const TReference sparse = PlainReading("4 GiB sparse stream", file, 1);
    Report("list (deep scan), 4 GiB sparse", sparse, Measure(1, sparse.File, nullptr, [&] {
               TScanSession session;
               if (Scan(sparse.File, true, &session, TFileFormat::RawH264) == 0 ||
                   session.ARInfoList.Items(0)->SpsOffset() < 4 * GiB)
                   throw std::runtime_error("no SPS found past 4 GiB");
           }));
}

// ---- Cold page cache ----

// Writes the dirty pages out (only clean ones can be dropped) and empties the page cache.
void DropPageCache() {
    ::sync();
    const char *control = "/proc/sys/vm/drop_caches";
    const int handle = ::open(control, O_WRONLY | O_CLOEXEC);
    if (handle < 0)
        throw std::runtime_error(std::string("cannot open ") + control + ": " + std::strerror(errno));
    const ssize_t written = ::write(handle, "3\n", 2);
    const int error = errno;
    ::close(handle);
    if (written != 2)
        throw std::runtime_error(std::string("cannot write ") + control + ": " + std::strerror(error));
}

// How many of the file's pages the page cache holds. The mapping itself reads nothing: mincore(2) only
// looks. The kernel answers only for files the caller may write to, which root may.
struct TResidency {
    int64_t pages = 0;
    int64_t total = 0;
};

TResidency Residency(const fs::path &file) {
    const size_t bytes = static_cast<size_t>(fs::file_size(file));
    const size_t pageSize = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    TResidency residency;
    residency.total = static_cast<int64_t>((bytes + pageSize - 1) / pageSize);
    if (bytes == 0)
        return residency;
    const int handle = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0)
        throw std::runtime_error("cannot open " + file.string());
    void *mapped = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, handle, 0);
    ::close(handle);
    if (mapped == MAP_FAILED)
        throw std::runtime_error("cannot map " + file.string());
    std::vector<unsigned char> resident(static_cast<size_t>(residency.total));
    const int result = ::mincore(mapped, bytes, resident.data());
    ::munmap(mapped, bytes);
    if (result != 0)
        throw std::runtime_error("mincore failed on " + file.string());
    residency.pages =
        std::count_if(resident.begin(), resident.end(), [](unsigned char page) { return page & 1; });
    return residency;
}

// "12.0 MiB, 1.2% of its pages"
std::string Share(double pages, int64_t total) {
    char text[96];
    std::snprintf(text, sizeof text, "%.1f MiB, %5.1f%% of its pages",
                  pages * static_cast<double>(::sysconf(_SC_PAGESIZE)) / MiB,
                  total > 0 ? pages * 100.0 / static_cast<double>(total) : 0.0);
    return text;
}

// A run on a cold page cache: its time, what it brought into the cache and its peak memory.
struct TColdMeasure {
    TMeasure time;
    double pages = 0;
};

void ReportCold(const std::string &what, int64_t bytes, int64_t totalPages, const TColdMeasure &measure) {
    const double mbps = static_cast<double>(bytes) / measure.time.seconds / 1e6;
    std::string factor;
    if (measure.time.pairs > 0) {
        char text[64];
        std::snprintf(text, sizeof text, "%6.2f x cold plain reading %s", measure.time.factor,
                      Spread(measure.time).c_str());
        factor = text;
    }
    std::printf("%-50s %7.3f s %7.0f MB/s %-40s read %s  peak %6.1f MiB\n", what.c_str(),
                measure.time.seconds, mbps, factor.c_str(), Share(measure.pages, totalPages).c_str(),
                static_cast<double>(measure.time.peakKiB) / 1024.0);
}

// Listing a file none of which is in the page cache, against plain reading of it from the same state, in
// turns: what the disk gives, and how much of the file each has to take from it.
void ColdBlock(const std::string &name, const fs::path &file, int repeat) {
    const int64_t bytes = static_cast<int64_t>(fs::file_size(file));
    // That the cache really is empty after the drop is what makes resident pages the pages a run read.
    DropPageCache();
    const TResidency dropped = Residency(file);
    std::printf("%-50s %s\n", ("page cache after dropping it, " + name).c_str(),
                Share(static_cast<double>(dropped.pages), dropped.total).c_str());
    if (dropped.pages * 100 > dropped.total)
        std::printf("WARNING: dropping the page cache left part of the file in it: the pages read below are "
                    "too many\n");
    std::vector<double> plainTimes, listTimes, plainPages, listPages, ratios, shares;
    TColdMeasure plain, list;
    for (int i = 0; i < repeat; ++i) {
        const TRun plainRun = RunOnce(DropPageCache, [&] { PlainRead(file); });
        plainPages.push_back(static_cast<double>(Residency(file).pages));
        const TRun listRun = RunOnce(DropPageCache, [&] { Scan(file); });
        listPages.push_back(static_cast<double>(Residency(file).pages));
        plainTimes.push_back(plainRun.seconds);
        listTimes.push_back(listRun.seconds);
        ratios.push_back(plainRun.seconds / listRun.seconds);
        shares.push_back(listRun.seconds / plainRun.seconds);
        plain.time.peakKiB = std::max(plain.time.peakKiB, plainRun.peakKiB);
        list.time.peakKiB = std::max(list.time.peakKiB, listRun.peakKiB);
    }
    plain.time.seconds = Median(plainTimes);
    plain.pages = Median(plainPages);
    list.time.seconds = Median(listTimes);
    list.pages = Median(listPages);
    SetFactor(list.time, ratios);
    ReportCold("cold plain reading, " + name, bytes, dropped.total, plain);
    ReportCold("cold list (deep scan), " + name, bytes, dropped.total, list);
    std::printf("  cold list takes %.2f of a cold plain read's time and reads %.1f%% of the file's pages\n\n",
                Median(shares),
                dropped.total > 0 ? list.pages * 100.0 / static_cast<double>(dropped.total) : 0.0);
}

// The blocks in the order they run: the name --only takes, the input (made on first use), the run and
// the name of its cold rows (none for the sparse file, whose holes are not on the disk).
struct TBlock {
    const char *Name;
    std::function<fs::path()> Input;
    std::function<void(const fs::path &, int repeat)> Run;
    const char *ColdName;
};

const TBlock Blocks[] = {
    {"h264", LargeStream, [](const fs::path &f, int n) { FormatBlock("raw stream", f, "h264", n); },
     "raw stream"},
    {"h264-many", ManySpsStream,
     [](const fs::path &f, int n) { FormatBlock("raw stream, many SPS", f, "h264", n); },
     "raw stream, many SPS"},
    {"avi", LargeAvi, AviBlock, "AVI"},
    {"chunks", ManyChunkAvi, ManyChunkAviBlock, "2M-chunk AVI"},
    {"sparse", SparseStream, [](const fs::path &f, int) { SparseBlock(f); }, nullptr},
    {"mp4", LargeMp4, [](const fs::path &f, int n) { FormatBlock("MP4", f, "mp4", n); }, "MP4"},
    {"mp4-many", [] { return Mp4Of("many-sps.mp4", ManySpsStream()); },
     [](const fs::path &f, int n) { FormatBlock("MP4, many SPS", f, "mp4", n); }, "MP4, many SPS"},
    {"mkv", LargeMatroska, [](const fs::path &f, int n) { FormatBlock("Matroska", f, "matroska", n); },
     "Matroska"},
    {"ts", LargeTs, [](const fs::path &f, int n) { FormatBlock("transport stream", f, "mpegts", n); },
     "transport stream"},
    {"hevc", LargeHevcStream,
     [](const fs::path &f, int n) { FormatBlock("raw HEVC stream", f, "hevc", n, "hevc_metadata"); },
     "raw HEVC stream"},
    {"hevc-mp4", [] { return Mp4Of("large-hevc.mp4", LargeHevcStream()); },
     [](const fs::path &f, int n) { FormatBlock("HEVC MP4", f, "mp4", n, "hevc_metadata"); }, "HEVC MP4"},
};

} // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int repeat = 3;
    bool inputsOnly = false;
    bool cold = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--only" && i + 1 < argc) {
            only.emplace_back(argv[++i]);
        } else if (argument == "--inputs-only") {
            inputsOnly = true;
        } else if (argument == "--cold") {
            cold = true;
        } else if (argument == "--lists-only") {
            ListsOnly = true;
        } else {
            std::fprintf(stderr,
                         "usage: pellmar-bench [--repeat N] [--cold] [--lists-only] [--inputs-only] [--only "
                         "h264|h264-many|avi|chunks|sparse|mp4|mp4-many|mkv|ts|hevc|hevc-mp4]...\n"
                         "  --cold  list on an empty page cache against plain reading from the disk "
                         "(needs root)\n"
                         "  --lists-only  warm: plain reading and listing, no changes\n");
            return 2;
        }
    }
    try {
        if (cold && !inputsOnly) {
            try {
                DropPageCache();
            } catch (const std::exception &error) {
                std::printf(
                    "cold runs need root: the page cache can not be dropped (%s); cold rows skipped\n",
                    error.what());
                return 0;
            }
        }
        fs::create_directories(DataDir);
        if (!inputsOnly) {
            const std::string storage = Storage(DataDir);
            const std::string where = storage.empty() ? "" : " on " + storage;
            std::printf("Inputs in %s%s; %u cores; %d pairs of runs, medians%s\n", DataDir.c_str(),
                        where.c_str(), std::thread::hardware_concurrency(), repeat,
                        cold ? "; cold page cache, listing only" : " (the 4 GiB file: one)");
            PrintLoad("");
            std::printf("\n");
        }
        for (const TBlock &block : Blocks) {
            if (!only.empty() && std::find(only.begin(), only.end(), block.Name) == only.end())
                continue;
            if (cold && !inputsOnly && block.ColdName == nullptr) {
                std::printf("[%s] no cold rows: its holes are not read from the disk\n\n", block.Name);
                continue;
            }
            const fs::path input = block.Input();
            if (inputsOnly)
                continue;
            PrintLoad(std::string("[") + block.Name + "] ");
            const TCpuTimes start = CpuTimes();
            const double seconds = Seconds([&] {
                if (cold)
                    ColdBlock(block.ColdName, input, repeat);
                else
                    block.Run(input, repeat);
            });
            PrintOthersCpu(start, seconds);
            std::printf("\n");
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "pellmar-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
