#pragma once

#include "Streams.h"

#include <cstdint>
#include <vector>

// One run of consecutive bytes of a file.
struct TExtent {
    int64_t FileOffset = 0;
    int64_t Length = 0;
};

// A read-only stream over pieces of another stream, read as one sequence of bytes: logical offset 0 is
// the first byte of the first extent. Nothing lies in front of it, so a reader over the view sees no
// byte of the file before the view's start; a reader over the packets of a transport stream sees the
// payload as it was before it was cut into packets.
class TByteView : public TStream {
public:
    TByteView(TStream &file, std::vector<TExtent> extents);

    int64_t Size() override { return FSize; }
    int64_t Position() override { return FPosition; }
    void Seek(int64_t offset) override;
    void ReadBuffer(void *buffer, size_t count) override;
    // A view is never written through: the write engine writes the file at the places the view maps to.
    void WriteBuffer(const void *buffer, size_t count) override;

    const std::vector<TExtent> &Extents() const { return FExtents; }
    // The file offset of a logical offset inside the view.
    int64_t FileOffset(int64_t logical) const;
    // The file extents that hold logical bytes [from, from + count), in logical order.
    std::vector<TExtent> FileExtents(int64_t from, int64_t count) const;

private:
    // Index of the extent that holds a logical offset inside the view.
    size_t ExtentAt(int64_t logical) const;

    TStream &FFile;
    std::vector<TExtent> FExtents;
    std::vector<int64_t> FStarts; // logical offset of each extent
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

// Where the bytes of one NAL unit lie in the file: one run, or several for a unit cut into packets.
class TPlacement {
public:
    TPlacement() = default;
    explicit TPlacement(int64_t fileOffset) : FFirst(fileOffset) {}
    explicit TPlacement(std::vector<TExtent> extents);

    // The file offset of the unit's byte index (0 = header byte).
    int64_t FileOffset(int64_t index) const;
    bool Contiguous() const { return FExtents.empty(); }

private:
    int64_t FFirst = 0;
    std::vector<TExtent> FExtents; // empty for one run from FFirst
};
