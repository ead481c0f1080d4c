#include "Streams.h"

#include "Exceptions.h"
#include "Messages.h"
#include "ReadAhead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

// The system calls of the file layer, one section per platform. Everything above them (positions, the
// read-ahead, exact reads and writes) is shared.

#ifdef _WIN32

namespace {

// A single ReadFile or WriteFile moves at most this much; the callers go on with the rest.
constexpr size_t MaxTransfer = size_t{1} << 30;
constexpr int NegativeSeekError = ERROR_NEGATIVE_SEEK;

OVERLAPPED At(int64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    return at;
}

int LastError() {
    return static_cast<int>(::GetLastError());
}

} // namespace

std::wstring Utf8ToWide(const std::string &text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::string WideToUtf8(const std::wstring &text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

std::string SystemErrorText(int error) {
    wchar_t text[512];
    DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(error), 0, text, static_cast<DWORD>(std::size(text)), nullptr);
    // The system's texts end with a line break.
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' '))
        --length;
    if (length == 0)
        return Format("System error %d.", error);
    return WideToUtf8(std::wstring(text, length));
}

TFileStream::TFileStream(const std::string &fileName, TFileOpenMode mode) : FFileName(fileName) {
    const bool writing = mode == TFileOpenMode::ReadWriteExclusive;
    const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(fileName).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE) != 0)
        throw EInOutError(Format(SNotARegularFile, fileName));
    HANDLE handle =
        ::CreateFileW(Utf8ToWide(fileName).c_str(), writing ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                      writing ? 0 : FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw EInOutError(Format(SCannotOpenFile, fileName, SystemErrorText(LastError())));
    // A folder does not open without backup semantics; devices and pipes are no files either.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        throw EInOutError(Format(SNotARegularFile, fileName));
    }
    FHandle = handle;
    FWriting = writing;
    FOpened = OpenFileIdentity();
}

TFileStream::~TFileStream() {
    DropBlocks(); // the read-ahead thread reads through the handle
    if (FHandle != nullptr)
        ::CloseHandle(FHandle); // closing ends the sharing restriction
}

TFileIdentity TFileStream::OpenFileIdentity() {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(FHandle, &info))
        return {};
    TFileIdentity identity;
    identity.Size = static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    identity.Modified = static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                             info.ftLastWriteTime.dwLowDateTime);
    identity.Device = info.dwVolumeSerialNumber;
    identity.Node = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return identity;
}

// Without delete sharing nobody renames or deletes the file, or puts another under its name, while it
// is open.
TFileIdentity TFileStream::NamedFileIdentity() {
    return OpenFileIdentity();
}

int64_t TFileStream::QuerySize() {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(FHandle, &size))
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(LastError())));
    return static_cast<int64_t>(size.QuadPart);
}

size_t TFileStream::ReadAvailable(int64_t offset, uint8_t *bytes, size_t count) {
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    if (!::ReadFile(FHandle, bytes, static_cast<DWORD>(std::min(count, MaxTransfer)), &done, &at)) {
        const int error = LastError();
        if (error == ERROR_HANDLE_EOF)
            return 0;
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(error)));
    }
    return done;
}

void TFileStream::SyncToDisk() {
    Announce({TFileCall::TKind::Sync, 0, 0});
    if (!::FlushFileBuffers(FHandle))
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(LastError())));
}

size_t TFileStream::WriteAvailable(int64_t offset, const uint8_t *bytes, size_t count) {
    Announce({TFileCall::TKind::Write, offset, count});
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    if (!::WriteFile(FHandle, bytes, static_cast<DWORD>(std::min(count, MaxTransfer)), &done, &at))
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(LastError())));
    if (done == 0)
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(ERROR_WRITE_FAULT)));
    return done;
}

// Windows has no advice for a part of a file: planned reads are read as they come.
void TFileStream::AdviseRandom() {}

void TFileStream::AdviseWanted(int64_t, int64_t) {}

size_t TFileStream::ReadInMemory(int64_t, uint8_t *, size_t) {
    return 0;
}

bool FileExists(const std::string &fileName) {
    const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(fileName).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

#else

namespace {

constexpr int NegativeSeekError = EINVAL;

} // namespace

std::string SystemErrorText(int error) {
    if (error == EWOULDBLOCK)
        return SFileInUse;
    return std::strerror(error);
}

TFileStream::TFileStream(const std::string &fileName, TFileOpenMode mode) : FFileName(fileName) {
    const bool writing = mode == TFileOpenMode::ReadWriteExclusive;
    // Opening a pipe waits for a writer and reading a device may never end: look before opening, and
    // open without waiting in case the name is replaced meanwhile.
    struct stat info {};
    if (::stat(fileName.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        throw EInOutError(Format(SNotARegularFile, fileName));
    FHandle = ::open(fileName.c_str(), (writing ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
    if (FHandle < 0)
        throw EInOutError(Format(SCannotOpenFile, fileName, SystemErrorText(errno)));
    int error = 0;
    bool regular = true;
    if (::fstat(FHandle, &info) != 0)
        error = errno;
    else if (S_ISDIR(info.st_mode))
        error = EISDIR;
    else if (!S_ISREG(info.st_mode))
        regular = false;
    else if (::flock(FHandle, (writing ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        error = errno;
    if (error != 0 || !regular) {
        ::close(FHandle);
        if (!regular)
            throw EInOutError(Format(SNotARegularFile, fileName));
        throw EInOutError(Format(SCannotOpenFile, fileName, SystemErrorText(error)));
    }
    FWriting = writing;
    FOpened = OpenFileIdentity();
}

namespace {

struct TStatIdentity {
    int64_t Size;
    int64_t Modified;
    uint64_t Device;
    uint64_t Node;
};

TStatIdentity IdentityOf(const struct stat &info) {
    return {static_cast<int64_t>(info.st_size),
            static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
            static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

} // namespace

TFileIdentity TFileStream::OpenFileIdentity() {
    struct stat info {};
    if (::fstat(FHandle, &info) != 0)
        return {};
    const TStatIdentity identity = IdentityOf(info);
    return {identity.Size, identity.Modified, identity.Device, identity.Node};
}

TFileIdentity TFileStream::NamedFileIdentity() {
    struct stat info {};
    if (::stat(FFileName.c_str(), &info) != 0)
        return {};
    const TStatIdentity identity = IdentityOf(info);
    return {identity.Size, identity.Modified, identity.Device, identity.Node};
}

void TFileStream::SyncToDisk() {
    Announce({TFileCall::TKind::Sync, 0, 0});
    if (::fsync(FHandle) != 0)
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(errno)));
}

TFileStream::~TFileStream() {
    DropBlocks(); // the read-ahead thread reads through the handle
    if (FHandle >= 0)
        ::close(FHandle); // closing releases the lock
}

int64_t TFileStream::QuerySize() {
    struct stat info {};
    if (::fstat(FHandle, &info) != 0)
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(errno)));
    return static_cast<int64_t>(info.st_size);
}

size_t TFileStream::ReadAvailable(int64_t offset, uint8_t *bytes, size_t count) {
    for (;;) {
        ssize_t done = ::pread(FHandle, bytes, count, offset);
        if (done >= 0)
            return static_cast<size_t>(done);
        if (errno != EINTR)
            throw EInOutError(Format(SFileError, FFileName, SystemErrorText(errno)));
    }
}

size_t TFileStream::WriteAvailable(int64_t offset, const uint8_t *bytes, size_t count) {
    Announce({TFileCall::TKind::Write, offset, count});
    for (;;) {
        ssize_t done = ::pwrite(FHandle, bytes, count, offset);
        if (done > 0)
            return static_cast<size_t>(done);
        if (done < 0 && errno == EINTR)
            continue;
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(done < 0 ? errno : EIO)));
    }
}

// Advice only: a system that ignores it reads the same bytes, later.
void TFileStream::AdviseRandom() {
    ::posix_fadvise(FHandle, 0, 0, POSIX_FADV_RANDOM);
}

void TFileStream::AdviseWanted(int64_t offset, int64_t count) {
    ::posix_fadvise(FHandle, static_cast<off_t>(offset), static_cast<off_t>(count), POSIX_FADV_WILLNEED);
}

// A read that stops rather than wait for the disk.
size_t TFileStream::ReadInMemory(int64_t offset, uint8_t *bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        iovec part{bytes + done, count - done};
        const ssize_t read =
            ::preadv2(FHandle, &part, 1, static_cast<off_t>(offset) + static_cast<off_t>(done), RWF_NOWAIT);
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0)
            break;
        done += static_cast<size_t>(read);
    }
    return done;
}

bool FileExists(const std::string &fileName) {
    struct stat info {};
    return ::stat(fileName.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

#endif

std::filesystem::path Utf8Path(const std::string &fileName) {
    return std::filesystem::path(std::u8string(fileName.begin(), fileName.end()));
}

std::string Utf8Name(const std::filesystem::path &path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

int64_t TFileStream::Position() {
    return FPosition;
}

void TFileStream::Seek(int64_t offset) {
    if (offset < 0)
        throw EInOutError(Format(SFileError, FFileName, SystemErrorText(NegativeSeekError)));
    FPosition = offset;
}

void TFileStream::Announce(const TFileCall &call) {
    if (BeforeCall)
        BeforeCall(call);
}

// Positioned reads and writes keep the file offset in this object, so a seek costs no system call.
void TFileStream::ReadAt(int64_t offset, uint8_t *bytes, size_t count) {
    Announce({TFileCall::TKind::Read, offset, count});
    while (count > 0) {
        size_t done = ReadAvailable(offset, bytes, count);
        if (done == 0) {
            if (FSize >= 0 && offset < FSize)
                throw EInOutError(Format(SFileShortened, FFileName, offset));
            throw EInOutError(SReadError);
        }
        bytes += done;
        count -= done;
        offset += static_cast<int64_t>(done);
    }
}

// Reads near the last one, inside what it took or a little behind it (a block of the bit reader's ring)
// or after a gap (a chunk header after a small skipped payload), go on with it: after a few of them the
// file is read ahead.
void TFileStream::NoteRead(int64_t offset, int64_t end) {
    const bool goesOn =
        offset >= FLastReadStart - MaxReadAheadGap && offset <= FLastReadEnd + MaxReadAheadGap;
    FNearReads = goesOn ? FNearReads + 1 : 0;
    FLastReadStart = offset;
    FLastReadEnd = end;
}

const TFileBlock *TFileStream::BlockFor(int64_t from, int64_t to) {
    if (FHeld != nullptr && FHeld->Holds(from, to))
        return FHeld.get();
    if (FWindow != nullptr && FWindow->Holds(from, to)) {
        FHeld = FWindow;
        return FHeld.get();
    }
    const int64_t size = Size();
    const int64_t block = (to - 1) / ReadAheadBlockSize;
    const bool inOneBlock = from >= block * ReadAheadBlockSize - BlockHeadRoom;
    if (to > size || to - from > ReadAheadBlockSize || !inOneBlock)
        return nullptr;
    if (!FWriting && !FPlanned && FNearReads >= NearReadsBeforeReadAhead) {
        if (FReadAhead == nullptr) {
            auto read = [this](int64_t offset, uint8_t *bytes, size_t count) {
                return ReadAvailable(offset, bytes, count);
            };
            FReadAhead =
                std::make_unique<TReadAhead>(read, size, ReadAheadBlockSize, BlockHeadRoom, ReadAheadDepth);
        }
        FHeld = FReadAhead->Block(block);
        CheckWhole(*FHeld, std::min((block + 1) * ReadAheadBlockSize, size));
        return FHeld.get();
    }
    // Here and there: what lies between two reads is not read.
    if (FReadAhead != nullptr)
        FReadAhead->Pause();
    return ReadWindow(from, to);
}

// Reads a window from the first byte asked for, with room behind the last one for the reads after it.
const TFileBlock *TFileStream::ReadWindow(int64_t from, int64_t to) {
    if (FHeld == FWindow)
        FHeld.reset();
    if (FWindow == nullptr || FWindow.use_count() > 1)
        FWindow = std::make_shared<TFileBlock>();
    TFileBlock &window = *FWindow;
    const bool inMemory = FPlanned && FPlannedPages == TPagesAt::Memory;
    int64_t end = std::max(to, from + WindowSize);
    if (FPlanned)
        end = inMemory ? std::max(to, from + PlannedLook) : PlannedEnd(from, to);
    end = std::min(end, Size());
    if (FPlanned && from < FWantedEnd && end > FWantedStart)
        AskForWanted();
    while (!FUnasked.empty() && FUnasked.front().second <= from)
        FUnasked.pop_front();
    window.Bytes.resize(static_cast<size_t>(end - from));
    window.Start = from;
    window.Length = 0;
    const int64_t first = std::max<int64_t>(from, 0);
    std::memset(window.Bytes.data(), 0, static_cast<size_t>(first - from));
    Announce({TFileCall::TKind::Read, first, static_cast<size_t>(end - first)});
    int64_t offset = first;
    if (inMemory) {
        offset += static_cast<int64_t>(
            ReadInMemory(offset, window.Bytes.data() + (offset - from), static_cast<size_t>(end - offset)));
        if (offset < end)
            PlannedReadsOnDisk(offset);
    }
    while (offset < end) {
        const size_t done =
            ReadAvailable(offset, window.Bytes.data() + (offset - from), static_cast<size_t>(end - offset));
        if (done == 0)
            break;
        offset += static_cast<int64_t>(done);
    }
    window.Length = offset - from;
    CheckWhole(window, end);
    FHeld = FWindow;
    return FHeld.get();
}

void TFileStream::CheckWhole(const TFileBlock &block, int64_t end) const {
    if (block.Start + block.Length < end)
        throw EInOutError(Format(SFileShortened, FFileName, block.Start + block.Length));
}

void TFileStream::ReadBuffer(void *buffer, size_t count) {
    auto *bytes = static_cast<uint8_t *>(buffer);
    NoteRead(FPosition, FPosition + static_cast<int64_t>(count));
    while (count > 0) {
        if (FHeld == nullptr || !FHeld->Holds(FPosition, FPosition + 1)) {
            // Large reads of what is not read ahead go straight into the caller's buffer.
            const int64_t part =
                std::min(static_cast<int64_t>(count), ReadAheadBlockSize - FPosition % ReadAheadBlockSize);
            if ((FReadAhead == nullptr && static_cast<int64_t>(count) > WindowSize &&
                 FNearReads < NearReadsBeforeReadAhead) ||
                BlockFor(FPosition, FPosition + part) == nullptr) {
                ReadAt(FPosition, bytes, count);
                FPosition += static_cast<int64_t>(count);
                return;
            }
        }
        const auto part = static_cast<size_t>(
            std::min(static_cast<int64_t>(count), FHeld->Start + FHeld->Length - FPosition));
        std::memcpy(bytes, FHeld->At(FPosition), part);
        bytes += part;
        count -= part;
        FPosition += static_cast<int64_t>(part);
    }
}

TLentBytes TFileStream::Lend(int64_t offset, size_t count, size_t headRoom) {
    NoteRead(offset, offset + static_cast<int64_t>(count));
    if (static_cast<int64_t>(headRoom) > BlockHeadRoom ||
        BlockFor(offset - static_cast<int64_t>(headRoom), offset + static_cast<int64_t>(count)) == nullptr)
        return {};
    // Whoever borrows may read all that is lent.
    FLastReadEnd = FHeld->Start + FHeld->Length;
    return {FHeld, FHeld->At(offset), FLastReadEnd - offset};
}

bool TFileStream::InMemory(int64_t offset) {
    uint8_t byte = 0;
    return ReadInMemory(offset, &byte, 1) == 1;
}

void TFileStream::PlanReads() {
    if (FPlanned)
        return;
    FPlanned = true;
    FReadAhead.reset();
    AdviseRandom();
}

int64_t TFileStream::PlannedEnd(int64_t offset, int64_t end) {
    const int64_t look = std::max(end, offset + PlannedLook);
    return (look + PageSize - 1) / PageSize * PageSize;
}

// Places whose pages touch are asked for as one run: one request instead of several. A run is asked for
// once it can grow no more, or is about to be read. (Runs with gaps between them are not joined: on the
// disks measured, reading a gap of 32 KiB took longer than a request of its own.)
void TFileStream::Expect(int64_t offset, int64_t count) {
    if (!FPlanned || offset < 0 || count <= 0 || offset >= Size())
        return;
    const int64_t end = std::min(PlannedEnd(offset, offset + std::min(count, PlannedLook)), Size());
    int64_t from = offset / PageSize * PageSize;
    if (from >= FAskedStart && from < FAskedEnd)
        from = FAskedEnd;
    if (from >= end)
        return;
    if (FWantedEnd > FWantedStart && from >= FWantedStart && from <= FWantedEnd &&
        end - FWantedStart <= MaxPlannedRun) {
        FWantedEnd = std::max(FWantedEnd, end);
        return;
    }
    AskForWanted();
    FWantedStart = from;
    FWantedEnd = end;
}

void TFileStream::ExpectWhole(int64_t offset, int64_t count) {
    if (offset < 0 || count <= 0 || offset >= Size())
        return;
    AskForWanted();
    const int64_t from = offset / PageSize * PageSize;
    const int64_t end = std::min((offset + count + PageSize - 1) / PageSize * PageSize, Size());
    // A file read before is most often in memory still, and whole: asking for pages that are there costs
    // the system a look at each of them.
    if (InMemory(end - 1))
        Asked(from, end);
    else
        Ask(from, end);
}

void TFileStream::AskForWanted() {
    if (FWantedEnd <= FWantedStart)
        return;
    Ask(FWantedStart, FWantedEnd);
    FWantedEnd = FWantedStart;
}

void TFileStream::Ask(int64_t from, int64_t end) {
    if (from >= FAskedStart && from < FAskedEnd)
        from = FAskedEnd;
    if (from >= end)
        return;
    if (FPlanned && FPlannedPages == TPagesAt::Unknown)
        FPlannedPages = InMemory(end - 1) ? TPagesAt::Memory : TPagesAt::Disk;
    if (FPlanned && FPlannedPages == TPagesAt::Memory) {
        if (FUnasked.size() == MaxUnaskedRuns)
            FUnasked.pop_front();
        FUnasked.emplace_back(from, end);
    } else {
        Announce({TFileCall::TKind::Expect, from, static_cast<size_t>(end - from)});
        AdviseWanted(from, end - from);
    }
    Asked(from, end);
}

void TFileStream::PlannedReadsOnDisk(int64_t at) {
    FPlannedPages = TPagesAt::Disk;
    for (const auto &[runStart, runEnd] : FUnasked)
        if (runEnd > at) {
            const int64_t from = std::max(runStart, at / PageSize * PageSize);
            Announce({TFileCall::TKind::Expect, from, static_cast<size_t>(runEnd - from)});
            AdviseWanted(from, runEnd - from);
        }
    FUnasked.clear();
}

// A run that goes on from the last one makes it longer.
void TFileStream::Asked(int64_t from, int64_t end) {
    if (from < FAskedStart || from > FAskedEnd)
        FAskedStart = from;
    FAskedEnd = std::max(FAskedEnd, end);
}

// What the stream lent stays as it was: it belongs to whoever holds it.
void TFileStream::DropBlocks() {
    FHeld.reset();
    FWindow.reset();
    FReadAhead.reset();
}

bool TFileStream::ChangedSinceOpen() {
    const TFileIdentity open = OpenFileIdentity();
    const TFileIdentity named = NamedFileIdentity();
    return open.Size != FOpened.Size || open.Modified != FOpened.Modified || named.Size < 0 ||
           named.Device != FOpened.Device || named.Node != FOpened.Node;
}

// Asked of the system once: while the file is open nobody else writes it, and the stream's own writes
// keep the number up to date. A scan asks for it with every block.
int64_t TFileStream::Size() {
    if (FSize < 0)
        FSize = QuerySize();
    return FSize;
}

void TFileStream::WriteBuffer(const void *buffer, size_t count) {
    DropBlocks(); // reads after it read the file again
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    while (count > 0) {
        const auto done = static_cast<int64_t>(WriteAvailable(FPosition, bytes, count));
        bytes += done;
        count -= static_cast<size_t>(done);
        FPosition += done;
        if (FSize >= 0 && FPosition > FSize)
            FSize = FPosition;
    }
}

// Reads after it read the file again, not what is held: a read-back then checks the medium.
void TFileStream::Flush() {
    SyncToDisk();
    DropBlocks();
    FNearReads = 0;
}

TLentBytes TStream::Lend(int64_t, size_t, size_t) {
    return {};
}

void TMemoryStream::Seek(int64_t offset) {
    if (offset < 0)
        throw EInOutError(SReadError);
    FPosition = offset;
}

void TMemoryStream::ReadBuffer(void *buffer, size_t count) {
    if (FPosition > Size() || count > static_cast<size_t>(Size() - FPosition))
        throw EInOutError(SReadError);
    if (count == 0)
        return;
    std::memcpy(buffer, FBytes->data() + FPosition, count);
    FPosition += static_cast<int64_t>(count);
}

void TMemoryStream::WriteBuffer(const void *buffer, size_t count) {
    if (count == 0)
        return;
    size_t end = static_cast<size_t>(FPosition) + count;
    if (end > FBytes->size()) {
        // Growing may move the bytes: what was lent keeps the old ones.
        if (FBytes.use_count() > 1)
            FBytes = std::make_shared<std::vector<uint8_t>>(*FBytes);
        FBytes->resize(end);
    }
    std::memcpy(FBytes->data() + FPosition, buffer, count);
    FPosition = static_cast<int64_t>(end);
}

TLentBytes TMemoryStream::Lend(int64_t offset, size_t count, size_t headRoom) {
    if (offset < static_cast<int64_t>(headRoom) || offset > Size() ||
        count > static_cast<size_t>(Size() - offset))
        return {};
    return {FBytes, FBytes->data() + offset, Size() - offset};
}
