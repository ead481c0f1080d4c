#include "ByteView.h"

#include "Exceptions.h"
#include "Messages.h"

#include <algorithm>

TByteView::TByteView(TStream &file, std::vector<TExtent> extents) : FFile(file) {
    for (const TExtent &extent : extents) {
        if (extent.FileOffset < 0 || extent.Length < 0)
            throw EInvalidOp(SViewExtentInvalid);
        if (extent.Length == 0)
            continue;
        FStarts.push_back(FSize);
        FExtents.push_back(extent);
        FSize += extent.Length;
    }
}

void TByteView::Seek(int64_t offset) {
    if (offset < 0)
        throw EInOutError(SReadError);
    FPosition = offset;
}

size_t TByteView::ExtentAt(int64_t logical) const {
    auto after = std::upper_bound(FStarts.begin(), FStarts.end(), logical);
    return static_cast<size_t>(after - FStarts.begin()) - 1;
}

int64_t TByteView::FileOffset(int64_t logical) const {
    if (logical < 0 || logical >= FSize)
        throw EInvalidOp(SViewOffsetOutside);
    size_t index = ExtentAt(logical);
    return FExtents[index].FileOffset + (logical - FStarts[index]);
}

std::vector<TExtent> TByteView::FileExtents(int64_t from, int64_t count) const {
    if (from < 0 || count < 0 || count > FSize - from)
        throw EInvalidOp(SViewOffsetOutside);
    std::vector<TExtent> pieces;
    if (count == 0)
        return pieces;
    for (size_t index = ExtentAt(from); count > 0; ++index) {
        int64_t skip = from - FStarts[index];
        int64_t length = std::min(count, FExtents[index].Length - skip);
        pieces.push_back({FExtents[index].FileOffset + skip, length});
        from += length;
        count -= length;
    }
    return pieces;
}

void TByteView::ReadBuffer(void *buffer, size_t count) {
    if (FPosition > FSize || static_cast<int64_t>(count) > FSize - FPosition)
        throw EInOutError(SReadError);
    auto *bytes = static_cast<uint8_t *>(buffer);
    for (const TExtent &piece : FileExtents(FPosition, static_cast<int64_t>(count))) {
        FFile.Seek(piece.FileOffset);
        FFile.ReadBuffer(bytes, static_cast<size_t>(piece.Length));
        bytes += piece.Length;
    }
    FPosition += static_cast<int64_t>(count);
}

void TByteView::WriteBuffer(const void *, size_t) {
    throw EInvalidOp(SViewReadOnly);
}

TPlacement::TPlacement(std::vector<TExtent> extents) {
    std::erase_if(extents, [](const TExtent &extent) { return extent.Length <= 0; });
    if (extents.empty())
        return;
    FFirst = extents.front().FileOffset;
    if (extents.size() > 1)
        FExtents = std::move(extents);
}

int64_t TPlacement::FileOffset(int64_t index) const {
    if (FExtents.empty())
        return FFirst + index;
    for (const TExtent &extent : FExtents) {
        if (index < extent.Length)
            return extent.FileOffset + index;
        index -= extent.Length;
    }
    throw EInvalidOp(SViewOffsetOutside);
}
