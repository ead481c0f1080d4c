#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Bytes a stream lends instead of copying them out. Bytes points at the first byte asked for; the bytes
// asked for in front of it are readable too. Lease keeps them alive.
struct TLentBytes {
    std::shared_ptr<const void> Lease;
    const uint8_t *Bytes = nullptr;
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
};

// The two ways the system opens a file.
enum class TFileOpenMode {
    // Reading only; others may read the file meanwhile but not write it.
    ReadShareDenyWrite,
    // Reading and writing; nobody else may open it meanwhile.
    ReadWriteExclusive,
};

// A file on disk. Paths are UTF-8 on every platform. The sharing rule of the open mode is the share mode
// of the handle on Windows, and advisory locks on Linux (flock, shared for reading, exclusive for
// writing, never waiting). Only regular files open: a pipe, socket or device is refused before it is
// opened, since opening or reading one may wait for ever.
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

private:
    void ReadAt(int64_t offset, uint8_t *bytes, size_t count);
    // One system call each: as many bytes as the medium gives (0 at the end of the file) and takes.
    size_t ReadAvailable(int64_t offset, uint8_t *bytes, size_t count);
    size_t WriteAvailable(int64_t offset, const uint8_t *bytes, size_t count);

    int64_t QuerySize();
    void SyncToDisk();

    std::string FFileName;
    int64_t FSize = -1; // -1 until asked
#ifdef _WIN32
    void *FHandle = nullptr; // HANDLE
#else
    int FHandle = -1;
#endif
    int64_t FPosition = 0;
    // Read-ahead for sequential reading: once a few reads in a row have each continued where the last
    // one ended (or a little behind it), the next one fills this buffer with what follows, so reading a
    // file in small blocks costs few system calls. Reading a few blocks here and there (the start of each
    // large AVI chunk) does not read what lies between them.
    static constexpr size_t ReadAheadSize = size_t{1} << 20;
    std::vector<uint8_t> FReadAhead;
    int64_t FReadAheadStart = 0;
    size_t FReadAheadLength = 0;
    int64_t FLastReadEnd = 0;
    static constexpr int SequentialReadsBeforeReadAhead = 3;
    static constexpr int64_t MaxReadAheadGap = 64 * 1024;
    int FSequentialReads = 0;
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

// The system's text for one of its error codes (errno on Linux, GetLastError on Windows), as the file
// stream's messages carry it.
std::string SystemErrorText(int error);

#ifdef _WIN32
// Between UTF-8 and the UTF-16 of the Windows API. Bytes that are not UTF-8 become U+FFFD.
std::wstring Utf8ToWide(const std::string &text);
std::string WideToUtf8(const std::wstring &text);
#endif
