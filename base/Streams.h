#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Bytes a stream lends instead of copying them out. Bytes points at the first byte asked for; the bytes
// asked for in front of it are readable too, and Count bytes from it on (at least as many as asked for).
// Lease keeps them alive.
struct TLentBytes {
    std::shared_ptr<const void> Lease;
    const uint8_t *Bytes = nullptr;
    int64_t Count = 0;
    explicit operator bool() const { return Bytes != nullptr; }
};

// A seekable byte stream: what the bit reader, the scanners and the write-back read and write.
// Reads and writes are exact: a short read raises EInOutError, as does any failure of the medium.
class TStream {
public:
    virtual ~TStream() = default;
    virtual int64_t Size() = 0;
    virtual int64_t Position() = 0;
    // Moves to an absolute offset from the beginning.
    virtual void Seek(int64_t offset) = 0;
    virtual void ReadBuffer(void *buffer, size_t count) = 0;
    virtual void WriteBuffer(const void *buffer, size_t count) = 0;
    // Puts what was written onto the medium before it returns (nothing to do for memory).
    virtual void Flush() {}
    // The count bytes at offset, with the headRoom bytes in front of them, without a copy: a stream that
    // holds them in memory (or reads them into memory of its own) lends them. An empty answer asks the
    // caller to read them with ReadBuffer. The position does not move.
    virtual TLentBytes Lend(int64_t offset, size_t count, size_t headRoom);
    // From here on the reader jumps, reads little at each place, and tells ahead where (Expect): a stream
    // on a disk stops guessing what comes next and reads only what it is told of.
    virtual void PlanReads() {}
    // The reader will read from offset on, soon and in the order told, count bytes at most and often only
    // the first few: a stream on a disk asks the system to bring them in meanwhile, many places at once.
    virtual void Expect(int64_t /*offset*/, int64_t /*count*/) {}
    // The reader will go through all of these bytes soon, from the first on, reading here and there among
    // them (headers whose places only the header before tells): a stream on a disk asks the system to
    // bring them all in at once.
    virtual void ExpectWhole(int64_t /*offset*/, int64_t /*count*/) {}
};

// The two ways the system opens a file.
enum class TFileOpenMode {
    // Reading only; others may read the file meanwhile but not write it.
    ReadShareDenyWrite,
    // Reading and writing; nobody else may open it meanwhile.
    ReadWriteExclusive,
};

struct TFileBlock;
class TReadAhead;

// What tells one file from another, and from itself once changed: its device (Windows: volume serial)
// and node (Windows: file index), its size and its modification time (nanoseconds since 1970; Windows:
// 100-nanosecond ticks since 1601).
struct TFileIdentity {
    int64_t Size = -1;
    int64_t Modified = 0;
    uint64_t Device = 0;
    uint64_t Node = 0;
};

// A call the file stream makes to the system to read, change or sync the file, or to bring in a run of
// its pages that planned reads will read (Expect).
struct TFileCall {
    enum class TKind { Read, Write, Sync, Expect };
    TKind Kind = TKind::Read;
    int64_t Offset = 0; // Read, Write and Expect
    size_t Count = 0;   // Read, Write and Expect: as many bytes as asked for
};

// A file on disk. Paths are UTF-8 on every platform. The sharing rule of the open mode is the share mode
// of the handle on Windows, and advisory locks on Linux (flock, shared for reading, exclusive for
// writing, never waiting). Only regular files open: a pipe, socket or device is refused before it is
// opened, since opening or reading one may wait for ever.
//
// Reads are served from blocks of the file held in memory, which the stream lends as well. A file read
// from one place to the next (a scan) is read ahead on a thread of its own in large blocks; reads here
// and there (the start of each large AVI chunk) read a small window each, never what lies between. A
// file that gets shorter while it is read gives an error at the first byte that is gone.
class TFileStream : public TStream {
public:
    TFileStream(const std::string &fileName, TFileOpenMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream &) = delete;
    TFileStream &operator=(const TFileStream &) = delete;

    int64_t Size() override;
    int64_t Position() override;
    void Seek(int64_t offset) override;
    void ReadBuffer(void *buffer, size_t count) override;
    void WriteBuffer(const void *buffer, size_t count) override;
    void Flush() override;
    // Bytes up to BlockHeadRoom in front of a loan come with it.
    TLentBytes Lend(int64_t offset, size_t count, size_t headRoom) override;
    // Planned reads bring in whole pages: the first PlannedLook bytes of each expected place, to the end
    // of their page; a read at a place reads as much, so that it finds what was brought in. A file the
    // system holds in memory is asked for nothing (each request costs it a look at every page) and read
    // PlannedLook bytes at a place, until a read finds its bytes not there: then every run told and not
    // yet read is asked for, and the reads go on as for a file on the disk.
    void PlanReads() override;
    void Expect(int64_t offset, int64_t count) override;
    void ExpectWhole(int64_t offset, int64_t count) override;

    // Whether the file was written, shortened, grown or replaced under its name by someone else since it
    // was opened for reading.
    bool ChangedSinceOpen();
    // The open file's identity as it is now.
    TFileIdentity Identity() { return OpenFileIdentity(); }

    // Told of every read (on the caller's thread; the read-ahead thread's are not told), write and sync
    // right before the system is asked: where a save's writes meet the disk can be seen, and an exception
    // thrown here fails the call as a failing medium would.
    std::function<void(const TFileCall &call)> BeforeCall;

    // Small enough that the blocks in flight stay in a core's second-level cache: the scan then reads what
    // the read-ahead copied without going to memory again (1 MiB blocks scanned a fifth slower).
    static constexpr int64_t ReadAheadBlockSize = int64_t{1} << 18;
    static constexpr int64_t ReadAheadDepth = 4;
    static constexpr int64_t BlockHeadRoom = 16;
    // A read that is not read ahead reads at least this much: enough for the headers around a place, no
    // more (a walk from block to block of a Matroska file spent half its time copying 8 KiB windows).
    static constexpr int64_t WindowSize = 2 * 1024;
    // Reads at most this far from where the last one ended go on with it.
    static constexpr int64_t MaxReadAheadGap = 16 * 1024;
    static constexpr int NearReadsBeforeReadAhead = 3;
    static constexpr int64_t PageSize = 4096;
    static constexpr int64_t PlannedLook = 256;
    // Expected places asked for as one run take at most this many bytes.
    static constexpr int64_t MaxPlannedRun = 1024 * 1024;
    // Runs told while the file is in memory, kept in case it turns out not to be (the oldest give way).
    static constexpr size_t MaxUnaskedRuns = 4096;

private:
    void ReadAt(int64_t offset, uint8_t *bytes, size_t count);
    // One system call each: as many bytes as the medium gives (0 at the end of the file) and takes.
    size_t ReadAvailable(int64_t offset, uint8_t *bytes, size_t count);
    size_t WriteAvailable(int64_t offset, const uint8_t *bytes, size_t count);
    int64_t QuerySize();
    void SyncToDisk();
    // Tells the system how the file is read: at random (none of its own read-ahead), or that the bytes
    // [offset, offset + count) are wanted soon. Nothing where the system has no such call.
    void AdviseRandom();
    void AdviseWanted(int64_t offset, int64_t count);
    // Reads from offset on as far as the system holds the bytes in memory, count at most, and stops where
    // a read would wait for the disk: how many it read (none where the system can not tell).
    size_t ReadInMemory(int64_t offset, uint8_t *bytes, size_t count);
    // Whether the system holds the byte at offset in memory already.
    bool InMemory(int64_t offset);
    // A planned read found bytes from at on not in memory: the runs kept are asked for from there on.
    void PlannedReadsOnDisk(int64_t at);
    // Where a planned read from offset ends: PlannedLook bytes on, to the end of that page, at least to
    // the end asked for.
    int64_t PlannedEnd(int64_t offset, int64_t end);
    // Asks the system for the run of pages expected, if any.
    void AskForWanted();
    // Asks the system for the pages [from, end) (whole pages), but for those the last run asked for holds.
    void Ask(int64_t from, int64_t end);
    // Notes the pages [from, end) as asked for.
    void Asked(int64_t from, int64_t end);
    void Announce(const TFileCall &call);

    // A block that holds the bytes [from, to), read when no held block does; null when no block can hold
    // them (too many, or past the end): the caller reads them itself.
    const TFileBlock *BlockFor(int64_t from, int64_t to);
    const TFileBlock *ReadWindow(int64_t from, int64_t to);
    // Raises the error of a block the file ended inside.
    void CheckWhole(const TFileBlock &block, int64_t end) const;
    void NoteRead(int64_t offset, int64_t end);
    void DropBlocks();

    // Of the open file, and of the file under the name (Windows: always the open one).
    TFileIdentity OpenFileIdentity();
    TFileIdentity NamedFileIdentity();

    std::string FFileName;
    bool FWriting = false;
    int64_t FSize = -1; // -1 until asked
#ifdef _WIN32
    void *FHandle = nullptr; // HANDLE
#else
    int FHandle = -1;
#endif
    TFileIdentity FOpened;
    int64_t FPosition = 0;
    std::shared_ptr<const TFileBlock> FHeld; // where the last read was served from
    std::shared_ptr<TFileBlock> FWindow;     // the last window read on its own
    std::unique_ptr<TReadAhead> FReadAhead;
    // What the last read took, or the last loan gave.
    int64_t FLastReadStart = 0;
    int64_t FLastReadEnd = 0;
    int FNearReads = 0;
    bool FPlanned = false;
    // Where planned reads find their pages: told by the first run expected, then by the reads.
    enum class TPagesAt { Unknown, Memory, Disk };
    TPagesAt FPlannedPages = TPagesAt::Unknown;
    std::deque<std::pair<int64_t, int64_t>> FUnasked; // runs [from, end) told while the pages were in memory
    // The run of pages expected and not yet asked for, and the last one asked for.
    int64_t FWantedStart = 0;
    int64_t FWantedEnd = 0;
    int64_t FAskedStart = 0;
    int64_t FAskedEnd = 0;
};

// A stream over bytes held in memory; writing past the end makes it grow. It lends its bytes: lent bytes
// show what is written inside the stream's size later, and stay as they were when it grows.
class TMemoryStream : public TStream {
public:
    TMemoryStream() : TMemoryStream(std::vector<uint8_t>()) {}
    explicit TMemoryStream(std::vector<uint8_t> bytes)
        : FBytes(std::make_shared<std::vector<uint8_t>>(std::move(bytes))) {}

    int64_t Size() override { return static_cast<int64_t>(FBytes->size()); }
    int64_t Position() override { return FPosition; }
    void Seek(int64_t offset) override;
    void ReadBuffer(void *buffer, size_t count) override;
    void WriteBuffer(const void *buffer, size_t count) override;
    TLentBytes Lend(int64_t offset, size_t count, size_t headRoom) override;

    const std::vector<uint8_t> &Bytes() const { return *FBytes; }

private:
    std::shared_ptr<std::vector<uint8_t>> FBytes;
    int64_t FPosition = 0;
};

// True when a regular file (not a folder) of that name exists.
bool FileExists(const std::string &fileName);
// A UTF-8 file name as std::filesystem takes it (from a plain std::string it would read the name in the
// ANSI code page on Windows).
std::filesystem::path Utf8Path(const std::string &fileName);
// A path as the UTF-8 name the program uses inside.
std::string Utf8Name(const std::filesystem::path &path);

// The system's text for one of its error codes (errno on Linux, GetLastError on Windows), as the file
// stream's messages carry it.
std::string SystemErrorText(int error);

#ifdef _WIN32
// Between UTF-8 and the UTF-16 of the Windows API. Bytes that are not UTF-8 become U+FFFD.
std::wstring Utf8ToWide(const std::string &text);
std::string WideToUtf8(const std::wstring &text);
#endif
