// Measures how close scanning comes to plain reading of the same file, and how the in-place change of
// the sample aspect ratio compares with rewriting the file through ffmpeg.
//
//   pellmar-bench [--repeat N] [--matroska-only]
//
// Inputs are made on first use (ffmpeg with libx264) in the build folder and kept there: a raw stream
// of at least 1 GiB (an x264 stream with an SPS before every key frame, repeated), an AVI of at least
// 1 GiB made from it, and a 4 GiB sparse raw stream whose SPS lie past the 4 GiB mark.
// Every figure is the best of N runs (default 3) on a warm page cache; memory is the peak resident
// size of a child process that does only that step.

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "scan/MatroskaParser.h"
#include "scan/ScanSession.h"
#include "scan/StreamParser.h"
#include "scan/TSParser.h"
#include "scan/uRIFFParser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
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

void Run(const std::string &command) {
    std::printf("  $ %s\n", command.c_str());
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("command failed: " + command);
}

std::string Quote(const fs::path &path) {
    return "'" + path.string() + "'";
}

// x264 output at 1920x1080, 25 frames per second, SAR 1:1, an SPS before every key frame (every 2 s).
fs::path Source() {
    fs::path source = DataDir / "source.h264";
    if (!fs::exists(source))
        Run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 30 -vf setsar=1/1 "
            "-c:v libx264 -preset veryfast -crf 18 -x264-params repeat-headers=1:keyint=50 -f h264 " +
            Quote(source));
    return source;
}

// The source repeated until the file holds at least 1 GiB.
fs::path LargeStream() {
    fs::path large = DataDir / "large.h264";
    if (fs::exists(large))
        return large;
    fs::path source = Source();
    int64_t copies = GiB / static_cast<int64_t>(fs::file_size(source)) + 1;
    std::printf("  repeating %s %lld times into %s\n", source.c_str(), static_cast<long long>(copies),
                large.c_str());
    for (int64_t i = 0; i < copies; ++i)
        Run("cat " + Quote(source) + " >> " + Quote(large));
    return large;
}

fs::path LargeAvi() {
    fs::path avi = DataDir / "large.avi";
    if (!fs::exists(avi))
        Run("ffmpeg -v error -y -fflags +genpts -r 25 -i " + Quote(LargeStream()) + " -c copy -f avi " +
            Quote(avi));
    return avi;
}

// 4 GiB of holes, then the source stream: the SPS lie past the 4 GiB mark.
fs::path SparseStream() {
    fs::path sparse = DataDir / "sparse-4gib.h264";
    if (!fs::exists(sparse)) {
        Run("truncate -s 4G " + Quote(sparse));
        Run("cat " + Quote(Source()) + " >> " + Quote(sparse));
    }
    return sparse;
}

double Seconds(const std::function<void()> &work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs the work in a child process: the best time of the runs, and the child's peak resident size.
struct TMeasure {
    double seconds = 0;
    long peakKiB = 0;
};

TMeasure Measure(int repeat, const std::function<void()> &prepare, const std::function<void()> &work) {
    TMeasure best{1e100, 0};
    for (int i = 0; i < repeat; ++i) {
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
        best.seconds = std::min(best.seconds, seconds);
        best.peakKiB = std::max(best.peakKiB, usage.ru_maxrss);
    }
    return best;
}

void PlainRead(const fs::path &file) {
    TFileStream stream(file.string(), TFileOpenMode::ReadShareDenyWrite);
    std::vector<uint8_t> block(size_t{1} << 20);
    int64_t left = stream.Size();
    while (left > 0) {
        size_t part = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(block.size())));
        stream.ReadBuffer(block.data(), part);
        left -= static_cast<int64_t>(part);
    }
}

// Scans as the desktop program does: with a progress receiver bound, into a session of its own.
template <typename TScanner>
size_t Scan(const fs::path &file, bool deep = true, TScanSession *into = nullptr) {
    TScanSession own;
    TScanSession &session = into != nullptr ? *into : own;
    TScanner parser(session);
    parser.DeepScan = deep;
    int64_t reports = 0;
    parser.Events.OnProgress = [&](int64_t, int64_t) { ++reports; };
    parser.Parse(file.string());
    return session.ARInfoList.Count();
}

// The whole job of the user: scan, set a new predefined SAR on every record, check, write.
void ChangeEverySar(const fs::path &file, uint8_t aspectRatioIdc) {
    TScanSession session;
    Scan<TStreamParser>(file, true, &session);
    TARInfoList &records = session.ARInfoList;
    for (size_t i = 0; i < records.Count(); ++i)
        records.Items(i)->NewAspectRatioIdc = aspectRatioIdc;
    TFileStream target(file.string(), TFileOpenMode::ReadWriteExclusive);
    if (!records.CheckChanges(target).empty())
        throw std::runtime_error("changes refused");
    records.WriteChanges(target);
}

void Report(const char *what, int64_t bytes, const TMeasure &measure, double plainSeconds) {
    double mbps = static_cast<double>(bytes) / measure.seconds / 1e6;
    std::printf("%-44s %8.3f s %9.0f MB/s  %5.2f x plain reading  peak %6.1f MiB\n", what, measure.seconds,
                mbps, plainSeconds / measure.seconds, static_cast<double>(measure.peakKiB) / 1024.0);
}

// ---- Matroska ----
// A Matroska file of at least 1 GiB remuxed from the raw stream: listing against plain reading of the
// same file, the in-place change of every SPS (and the CRC-32 of every cluster that holds one) against an
// ffmpeg remux with h264_metadata, and the peak memory of each.

// ffmpeg 5.1 gives the raw stream's B-frames no presentation time, which its Matroska muxer refuses: the
// stream goes through MP4 (whose muxer works them out) on its way.
fs::path LargeMatroska() {
    fs::path mkv = DataDir / "large.mkv";
    if (!fs::exists(mkv)) {
        const fs::path mp4 = DataDir / "large-for-mkv.mp4";
        Run("ffmpeg -v error -y -fflags +genpts -r 25 -i " + Quote(LargeStream()) + " -c copy -f mp4 " +
            Quote(mp4));
        Run("ffmpeg -v error -y -i " + Quote(mp4) + " -c copy -f matroska " + Quote(mkv));
        fs::remove(mp4);
    }
    return mkv;
}

// Scan, give every row the predefined code, check, write: the user's whole job.
void ChangeEveryMatroskaSar(const fs::path &file, uint8_t aspectRatioIdc) {
    TScanSession session;
    Scan<TMatroskaParser>(file, true, &session);
    TARInfoList &records = session.ARInfoList;
    for (size_t i = 0; i < records.Count(); ++i)
        records.Items(i)->NewAspectRatioIdc = aspectRatioIdc;
    TFileStream target(file.string(), TFileOpenMode::ReadWriteExclusive);
    if (!records.CheckChanges(target).empty())
        throw std::runtime_error("changes refused");
    records.WriteChanges(target);
}

void MatroskaBench(int repeat) {
    const fs::path mkv = LargeMatroska();
    const auto bytes = static_cast<int64_t>(fs::file_size(mkv));
    TScanSession listed;
    const size_t rows = Scan<TMatroskaParser>(mkv, true, &listed);
    std::printf("\nMatroska %.2f GiB: %zu rows, %zu CRC-32 regions; best of %d runs\n\n",
                static_cast<double>(bytes) / GiB, rows, listed.ChecksumRegions.size(), repeat);
    PlainRead(mkv); // warm the page cache
    const TMeasure plain = Measure(repeat, nullptr, [&] { PlainRead(mkv); });
    const TMeasure scan = Measure(repeat, nullptr, [&] { Scan<TMatroskaParser>(mkv); });
    Report("plain reading, Matroska (1 MiB blocks)", bytes, plain, plain.seconds);
    Report("TMatroskaParser listing, Matroska", bytes, scan, plain.seconds);

    const fs::path target = DataDir / "target.mkv";
    const fs::path remuxed = DataDir / "remuxed.mkv";
    // The copy is put onto the disk before the clock starts: the save's own flush then writes what the
    // save wrote, not the gigabyte the copy left in the page cache.
    auto copyInput = [&] {
        fs::copy_file(mkv, target, fs::copy_options::overwrite_existing);
        TFileStream(target.string(), TFileOpenMode::ReadWriteExclusive).Flush();
    };
    const TMeasure change = Measure(repeat, copyInput, [&] { ChangeEveryMatroskaSar(target, 2); });
    const TMeasure remux = Measure(repeat, nullptr, [&] {
        Run("ffmpeg -v error -y -i " + Quote(mkv) +
            " -c copy -bsf:v h264_metadata=sample_aspect_ratio=12/11 -f matroska " + Quote(remuxed));
    });
    Report("change SAR of every SPS in place, Matroska", bytes, change, plain.seconds);
    Report("ffmpeg -c copy -bsf:v h264_metadata, Matroska", bytes, remux, plain.seconds);
    std::printf("in place is %.1f times faster than the ffmpeg rewrite\n", remux.seconds / change.seconds);
    fs::remove(target);
    fs::remove(remuxed);
}
// ---- end of Matroska ----

} // namespace

// ---- Transport streams ----
// A .ts of at least 1 GiB made from the raw stream as ffmpeg remuxes it: the deep scan against plain
// reading of the same file, the in-place change of every SPS against an ffmpeg remux with h264_metadata,
// and the peak memory of each. The raw stream's B-frames leave the demuxer without presentation times,
// which the transport stream muxer wants: each frame gets its decoding time.
namespace {

fs::path LargeTs() {
    fs::path ts = DataDir / "large.ts";
    if (!fs::exists(ts)) {
        // Made under another name first: a remux that fails leaves no file that looks made.
        fs::path part = DataDir / "large.ts.part";
        Run("ffmpeg -v error -y -r 25 -i " + Quote(LargeStream()) +
            " -c copy -bsf:v setts=pts=DTS -f mpegts " + Quote(part));
        fs::rename(part, ts);
    }
    return ts;
}

void ChangeEveryTsSar(const fs::path &file, uint8_t aspectRatioIdc) {
    TScanSession session;
    const size_t rows = Scan<TTSParser>(file, true, &session);
    if (rows == 0)
        throw std::runtime_error("no SPS found in the transport stream");
    TARInfoList &records = session.ARInfoList;
    for (size_t i = 0; i < records.Count(); ++i)
        records.Items(i)->NewAspectRatioIdc = aspectRatioIdc;
    TFileStream target(file.string(), TFileOpenMode::ReadWriteExclusive);
    if (!records.CheckChanges(target).empty())
        throw std::runtime_error("changes refused");
    records.WriteChanges(target);
}

void TransportStreamRows(int repeat) {
    std::printf("\nTransport stream\n");
    const fs::path ts = LargeTs();
    const auto bytes = static_cast<int64_t>(fs::file_size(ts));
    std::printf("%.2f GiB .ts made from the raw stream\n\n", static_cast<double>(bytes) / GiB);
    PlainRead(ts);
    const TMeasure plain = Measure(repeat, nullptr, [&] { PlainRead(ts); });
    Report("plain reading, .ts (1 MiB blocks)", bytes, plain, plain.seconds);
    const TMeasure scan = Measure(repeat, nullptr, [&] { Scan<TTSParser>(ts); });
    Report("TTSParser deep scan, .ts", bytes, scan, plain.seconds);

    const fs::path target = DataDir / "target.ts";
    const fs::path remuxed = DataDir / "remuxed.ts";
    // The copy is put onto the disk before the change is timed, which would otherwise wait for it when it
    // puts its own few bytes there.
    auto copyInput = [&] {
        fs::copy_file(ts, target, fs::copy_options::overwrite_existing);
        TFileStream(target.string(), TFileOpenMode::ReadWriteExclusive).Flush();
    };
    const TMeasure change = Measure(repeat, copyInput, [&] { ChangeEveryTsSar(target, 2); });
    const TMeasure remux = Measure(repeat, nullptr, [&] {
        Run("ffmpeg -v error -y -i " + Quote(ts) +
            " -c copy -bsf:v h264_metadata=sample_aspect_ratio=12/11 -f mpegts " + Quote(remuxed));
    });
    Report("change SAR of every SPS in place, .ts", bytes, change, plain.seconds);
    Report("ffmpeg -c copy -bsf:v h264_metadata, .ts", bytes, remux, plain.seconds);
    std::printf("in place is %.1f times faster than the ffmpeg remux\n", remux.seconds / change.seconds);
    fs::remove(target);
    fs::remove(remuxed);
}

} // namespace
// ---- end of transport streams ----

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int repeat = 3;
    bool matroskaOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--repeat" && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else if (std::string(argv[i]) == "--matroska-only")
            matroskaOnly = true;
    }
    try {
        if (matroskaOnly) {
            fs::create_directories(DataDir);
            MatroskaBench(repeat);
            return 0;
        }
        fs::create_directories(DataDir);
        std::printf("Preparing inputs in %s\n", DataDir.c_str());
        fs::path stream = LargeStream();
        fs::path avi = LargeAvi();
        fs::path sparse = SparseStream();
        int64_t streamBytes = static_cast<int64_t>(fs::file_size(stream));
        int64_t aviBytes = static_cast<int64_t>(fs::file_size(avi));
        int64_t sparseBytes = static_cast<int64_t>(fs::file_size(sparse));
        std::printf(
            "\n%u cores; raw stream %.2f GiB, AVI %.2f GiB, sparse stream %.2f GiB; best of %d runs\n\n",
            std::thread::hardware_concurrency(), static_cast<double>(streamBytes) / GiB,
            static_cast<double>(aviBytes) / GiB, static_cast<double>(sparseBytes) / GiB, repeat);

        PlainRead(stream); // warm the page cache
        PlainRead(avi);
        TMeasure plainStream = Measure(repeat, nullptr, [&] { PlainRead(stream); });
        TMeasure plainAvi = Measure(repeat, nullptr, [&] { PlainRead(avi); });
        Report("plain reading, raw stream (1 MiB blocks)", streamBytes, plainStream, plainStream.seconds);
        Report("plain reading, AVI (1 MiB blocks)", aviBytes, plainAvi, plainAvi.seconds);

        TMeasure streamScan = Measure(repeat, nullptr, [&] { Scan<TStreamParser>(stream); });
        Report("TStreamParser deep scan, raw stream", streamBytes, streamScan, plainStream.seconds);

        auto aviScan = [&](bool deep) {
            return Measure(repeat, nullptr, [&, deep] { Scan<TRIFFParser>(avi, deep); });
        };
        Report("TRIFFParser deep scan, AVI", aviBytes, aviScan(true), plainAvi.seconds);
        Report("TRIFFParser first NAL unit of each chunk, AVI", aviBytes, aviScan(false), plainAvi.seconds);

        PlainRead(sparse);
        TMeasure plainSparse = Measure(1, nullptr, [&] { PlainRead(sparse); });
        TMeasure sparseScan = Measure(1, nullptr, [&] {
            TScanSession session;
            if (Scan<TStreamParser>(sparse, true, &session) == 0 ||
                session.ARInfoList.Items(0)->SpsOffset() < 4 * GiB)
                throw std::runtime_error("no SPS found past 4 GiB");
        });
        Report("plain reading, 4 GiB sparse stream", sparseBytes, plainSparse, plainSparse.seconds);
        Report("TStreamParser deep scan, 4 GiB sparse", sparseBytes, sparseScan, plainSparse.seconds);

        // Changing the SAR of every SPS, in place, against the usual alternative that rewrites the file.
        fs::path target = DataDir / "target.h264";
        fs::path remuxed = DataDir / "remuxed.h264";
        auto copyInput = [&] { fs::copy_file(stream, target, fs::copy_options::overwrite_existing); };
        TMeasure change = Measure(repeat, copyInput, [&] { ChangeEverySar(target, 2); });
        TMeasure remux = Measure(repeat, nullptr, [&] {
            Run("ffmpeg -v error -y -i " + Quote(stream) +
                " -c copy -bsf:v h264_metadata=sample_aspect_ratio=12/11 -f h264 " + Quote(remuxed));
        });
        std::printf("\n");
        Report("change SAR of every SPS in place (scan+write)", streamBytes, change, plainStream.seconds);
        Report("ffmpeg -c copy -bsf:v h264_metadata (rewrite)", streamBytes, remux, plainStream.seconds);
        std::printf("in place is %.1f times faster than the ffmpeg rewrite\n",
                    remux.seconds / change.seconds);
        fs::remove(target);
        fs::remove(remuxed);

        TransportStreamRows(repeat);
        MatroskaBench(repeat);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "pellmar-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
