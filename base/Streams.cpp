#include "Streams.h"

#include "Exceptions.h"
#include "Messages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string SystemErrorText(int error) {
    if (error == EWOULDBLOCK)
        return SFileInUse;
    return std::strerror(error);
}

} // namespace

TFileStream::TFileStream(const std::string &fileName, TFileOpenMode mode) : FFileName(fileName) {
    bool writing = mode == TFileOpenMode::ReadWriteExclusive;
    FHandle = ::open(fileName.c_str(), (writing ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (FHandle < 0)
        throw EInOutError(Format(SCannotOpenFile, {fileName, SystemErrorText(errno)}));
    struct stat info {};
    if (::fstat(FHandle, &info) != 0 || !S_ISREG(info.st_mode)) {
        int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(FHandle);
        throw EInOutError(Format(SCannotOpenFile, {fileName, SystemErrorText(error)}));
    }
    if (::flock(FHandle, (writing ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        int error = errno;
        ::close(FHandle);
        throw EInOutError(Format(SCannotOpenFile, {fileName, SystemErrorText(error)}));
    }
}

TFileStream::~TFileStream() {
    if (FHandle >= 0)
        ::close(FHandle); // closing releases the lock
}

int64_t TFileStream::Size() {
    struct stat info {};
    if (::fstat(FHandle, &info) != 0)
        throw EInOutError(Format(SFileError, {FFileName, SystemErrorText(errno)}));
    return static_cast<int64_t>(info.st_size);
}

int64_t TFileStream::Position() {
    return FPosition;
}

void TFileStream::Seek(int64_t offset) {
    if (offset < 0)
        throw EInOutError(Format(SFileError, {FFileName, SystemErrorText(EINVAL)}));
    FPosition = offset;
}

// Positioned reads and writes keep the file offset in this object, so a seek costs no system call.
size_t TFileStream::ReadAvailable(int64_t offset, uint8_t *bytes, size_t count) {
    for (;;) {
        ssize_t done = ::pread(FHandle, bytes, count, offset);
        if (done >= 0)
            return static_cast<size_t>(done);
        if (errno != EINTR)
            throw EInOutError(Format(SFileError, {FFileName, SystemErrorText(errno)}));
    }
}

void TFileStream::ReadAt(int64_t offset, uint8_t *bytes, size_t count) {
    while (count > 0) {
        size_t done = ReadAvailable(offset, bytes, count);
        if (done == 0)
            throw EInOutError(SReadError);
        bytes += done;
        count -= done;
        offset += static_cast<int64_t>(done);
    }
}

void TFileStream::ReadBuffer(void *buffer, size_t count) {
    auto *bytes = static_cast<uint8_t *>(buffer);
    bool sequential = FPosition == FLastReadEnd;
    if (!sequential)
        FSequentialReads = 0;
    while (count > 0) {
        if (FPosition >= FReadAheadStart &&
            FPosition < FReadAheadStart + static_cast<int64_t>(FReadAheadLength)) {
            size_t at = static_cast<size_t>(FPosition - FReadAheadStart);
            size_t part = std::min(count, FReadAheadLength - at);
            std::memcpy(bytes, FReadAhead.data() + at, part);
            bytes += part;
            count -= part;
            FPosition += static_cast<int64_t>(part);
        } else if (FSequentialReads >= SequentialReadsBeforeReadAhead && count < ReadAheadSize) {
            FReadAhead.resize(ReadAheadSize);
            FReadAheadStart = FPosition;
            FReadAheadLength = 0;
            FReadAheadLength = ReadAvailable(FPosition, FReadAhead.data(), ReadAheadSize);
            if (FReadAheadLength == 0)
                throw EInOutError(SReadError);
        } else {
            ReadAt(FPosition, bytes, count);
            FPosition += static_cast<int64_t>(count);
            count = 0;
        }
    }
    FSequentialReads = sequential ? FSequentialReads + 1 : 0;
    FLastReadEnd = FPosition;
}

void TFileStream::WriteBuffer(const void *buffer, size_t count) {
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    while (count > 0) {
        ssize_t done = ::pwrite(FHandle, bytes, count, FPosition);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            throw EInOutError(Format(SFileError, {FFileName, SystemErrorText(done < 0 ? errno : EIO)}));
        // Keep the read-ahead equal to the file.
        int64_t from = std::max(FPosition, FReadAheadStart);
        int64_t to = std::min(FPosition + done, FReadAheadStart + static_cast<int64_t>(FReadAheadLength));
        if (from < to)
            std::memcpy(FReadAhead.data() + (from - FReadAheadStart), bytes + (from - FPosition),
                        static_cast<size_t>(to - from));
        bytes += done;
        count -= static_cast<size_t>(done);
        FPosition += done;
    }
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
    std::memcpy(buffer, FBytes.data() + FPosition, count);
    FPosition += static_cast<int64_t>(count);
}

void TMemoryStream::WriteBuffer(const void *buffer, size_t count) {
    if (count == 0)
        return;
    size_t end = static_cast<size_t>(FPosition) + count;
    if (end > FBytes.size())
        FBytes.resize(end);
    std::memcpy(FBytes.data() + FPosition, buffer, count);
    FPosition = static_cast<int64_t>(end);
}

bool FileExists(const std::string &fileName) {
    struct stat info {};
    return ::stat(fileName.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}
