// Measures how close scanning comes to the system reading the same file, and how the in-place change of
// the sample aspect ratio compares with rewriting the file through ffmpeg.
//
//   pellmar-bench [--repeat N] [--inputs-only] [--only h264|avi|chunks|sparse|mp4|mkv|ts|hevc|hevc-mp4]...
//
// --inputs-only makes the inputs of the blocks and measures nothing, so that an idle machine is needed
// only for the measuring.
//
// Inputs are made on first use (ffmpeg with libx264 and libx265) in the build folder and kept there: a raw
// stream of at least 1 GiB (an x264 stream with an SPS before every key frame, repeated), the same stream in
// an AVI, an MP4, a Matroska file and a transport stream, an AVI of two million small chunks (small frames
// with audio between them), a 4 GiB sparse raw stream whose SPS lie past the 4 GiB mark, and a raw HEVC
// stream of at least 1 GiB (x265, made the same way) with its MP4.
//
// Every step is compared with plain reading of the same file: the system's read, 1 MiB at a time into
// one buffer, nothing else (dd's time is printed beside it when dd is there). The two run in turns, N pairs
// (default 3) on a warm page cache: a step's factor is the median of the pairs' ratios, so that load that
// comes and goes touches both sides of a pair alike, and its time the median of its runs. Memory is the
// peak resident size of a child process that does only that step.
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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path DataDir = PELLMAR_BENCH_DATA;
constexpr int64_t GiB = int64_t{1} << 30;

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

// x264 output at 1920x1080, 25 frames per second, SAR 1:1, an SPS before every key frame (every 2 s).
fs::path Source() {
    return Made(DataDir / "source.h264", [](const fs::path &out) {
        Run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 30 -vf setsar=1/1 "
            "-c:v libx264 -preset veryfast -crf 18 -x264-params repeat-headers=1:keyint=50 -f h264 " +
            Quote(out));
    });
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

// Runs the work in a child process.
TRun RunOnce(const std::function<void()> &prepare, const std::function<void()> &work) {
    if (prepare)
        prepare();
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe failed");
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        double seconds = -1;
        try {
            seconds = Seconds(work);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "error: %s\n", error.what());
        }
        ssize_t written = ::write(pipeEnds[1], &seconds, sizeof seconds);
        ::_exit(written == sizeof seconds && seconds >= 0 ? 0 : 1);
    }
    ::close(pipeEnds[1]);
    double seconds = -1;
    ssize_t got = ::read(pipeEnds[0], &seconds, sizeof seconds);
    ::close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    if (got != sizeof seconds || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("measured step failed");
    return {seconds, usage.ru_maxrss};
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
// (plain reading's time over the step's), and its peak memory.
struct TMeasure {
    double seconds = 0;
    double factor = 1;
    long peakKiB = 0;
};

// Plain reading of the file and the step in turns, pairs times.
TMeasure Measure(int pairs, const fs::path &file, const std::function<void()> &prepare,
                 const std::function<void()> &work) {
    std::vector<double> times;
    std::vector<double> ratios;
    TMeasure measure;
    for (int i = 0; i < pairs; ++i) {
        const TRun plain = RunOnce(nullptr, [&] { PlainRead(file); });
        const TRun step = RunOnce(prepare, work);
        times.push_back(step.seconds);
        ratios.push_back(plain.seconds / step.seconds);
        measure.peakKiB = std::max(measure.peakKiB, step.peakKiB);
    }
    measure.seconds = Median(times);
    measure.factor = Median(ratios);
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

void Report(const std::string &what, const TReference &reference, const TMeasure &measure) {
    const double mbps = static_cast<double>(reference.Bytes) / measure.seconds / 1e6;
    std::printf("%-50s %7.3f s %7.0f MB/s %6.2f x plain reading  peak %6.1f MiB\n", what.c_str(),
                measure.seconds, mbps, measure.factor, static_cast<double>(measure.peakKiB) / 1024.0);
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
// checked write, to show what the journal costs.
void ChangeEverySar(const fs::path &file, uint8_t aspectRatioIdc, bool journalled = true) {
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
        return;
    }
    TFileStream target(file.string(), TFileOpenMode::ReadWriteExclusive);
    if (!records.CheckChanges(target).empty())
        throw std::runtime_error("changes refused");
    records.WriteChanges(target);
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
    const fs::path target = DataDir / ("target-" + file.filename().string());
    const fs::path remuxed = DataDir / ("remuxed-" + file.filename().string());
    auto copyInput = [&] {
        fs::copy_file(file, target, fs::copy_options::overwrite_existing);
        TFileStream(target.string(), TFileOpenMode::ReadWriteExclusive).Flush();
    };
    const TMeasure change = Measure(repeat, file, copyInput, [&] { ChangeEverySar(target, 2); });
    const fs::path journal = JournalBeside(target.string());
    const uintmax_t journalBytes = fs::exists(journal) ? fs::file_size(journal) : 0;
    const TMeasure bare = Measure(repeat, file, copyInput, [&] { ChangeEverySar(target, 2, false); });
    fs::remove(journal);
    const TMeasure remux = Measure(
        repeat, file, [] { ::sync(); },
        [&] {
            Run("ffmpeg -v error -y -i " + Quote(file) + " -c copy -bsf:v " + metadataFilter +
                "=sample_aspect_ratio=12/11 -f " + muxer + " " + Quote(remuxed));
        });
    Report("change every SPS in place, " + name, reference, change);
    Report("  the same without its journal, " + name, reference, bare);
    std::printf("  the journal: %ju bytes written before the patches and 7 after them, %+.1f%% time\n",
                journalBytes, (change.seconds / bare.seconds - 1) * 100);
    Report("ffmpeg -c copy -bsf:v " + metadataFilter + ", " + name, reference, remux);
    std::printf("  in place is %.0f times faster than the ffmpeg rewrite\n\n",
                remux.seconds / change.seconds);
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

// The blocks in the order they run: the name --only takes, the input (made on first use) and the run.
struct TBlock {
    const char *Name;
    std::function<fs::path()> Input;
    std::function<void(const fs::path &, int repeat)> Run;
};

const TBlock Blocks[] = {
    {"h264", LargeStream, [](const fs::path &f, int n) { FormatBlock("raw stream", f, "h264", n); }},
    {"avi", LargeAvi, AviBlock},
    {"chunks", ManyChunkAvi, ManyChunkAviBlock},
    {"sparse", SparseStream, [](const fs::path &f, int) { SparseBlock(f); }},
    {"mp4", LargeMp4, [](const fs::path &f, int n) { FormatBlock("MP4", f, "mp4", n); }},
    {"mkv", LargeMatroska, [](const fs::path &f, int n) { FormatBlock("Matroska", f, "matroska", n); }},
    {"ts", LargeTs, [](const fs::path &f, int n) { FormatBlock("transport stream", f, "mpegts", n); }},
    {"hevc", LargeHevcStream,
     [](const fs::path &f, int n) { FormatBlock("raw HEVC stream", f, "hevc", n, "hevc_metadata"); }},
    {"hevc-mp4", [] { return Mp4Of("large-hevc.mp4", LargeHevcStream()); },
     [](const fs::path &f, int n) { FormatBlock("HEVC MP4", f, "mp4", n, "hevc_metadata"); }},
};

} // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int repeat = 3;
    bool inputsOnly = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--only" && i + 1 < argc) {
            only.emplace_back(argv[++i]);
        } else if (argument == "--inputs-only") {
            inputsOnly = true;
        } else {
            std::fprintf(stderr, "usage: pellmar-bench [--repeat N] [--inputs-only] [--only "
                                 "h264|avi|chunks|sparse|mp4|mkv|ts|hevc|hevc-mp4]...\n");
            return 2;
        }
    }
    try {
        fs::create_directories(DataDir);
        if (!inputsOnly)
            std::printf("Inputs in %s; %u cores; %d pairs of runs, medians (the 4 GiB file: one)\n\n",
                        DataDir.c_str(), std::thread::hardware_concurrency(), repeat);
        for (const TBlock &block : Blocks) {
            if (!only.empty() && std::find(only.begin(), only.end(), block.Name) == only.end())
                continue;
            const fs::path input = block.Input();
            if (!inputsOnly)
                block.Run(input, repeat);
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "pellmar-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
