#include "MatroskaSegmentHead.h"

#include "EbmlNumbers.h"
#include "base/Crc32.h"

#include <algorithm>

namespace {

constexpr uint8_t Crc32Id = 0xBF;
// The master elements a range inside the Tracks may lie in.
constexpr uint32_t Masters[] = {0x1654AE6B /* Tracks */, 0xAE /* TrackEntry */, 0xE0 /* Video */};
// The masters whose CRC-32 a change inside the Tracks may touch: those the scan enters.
constexpr uint32_t ChecksummedMasters[] = {
    0x1654AE6B /* Tracks */,       0xAE /* TrackEntry */,        0xE0 /* Video */,
    0x6D80 /* ContentEncodings */, 0x6240 /* ContentEncoding */, 0x5034 /* ContentCompression */};

// An element header read from bytes: where its size field and data begin, its size, all relative to the
// bytes; false when none can be read there.
struct THeader {
    uint32_t Id = 0;
    size_t SizeAt = 0;
    size_t SizeLength = 0;
    size_t Data = 0;
    uint64_t Size = 0;
    bool Unknown = false;

    size_t End() const { return Data + static_cast<size_t>(Size); }
};

bool ReadHeader(const std::vector<uint8_t> &bytes, size_t at, size_t end, THeader &header) {
    if (at >= end)
        return false;
    const int idLength = EbmlVintLength(bytes[at]);
    if (idLength == 0 || idLength > 4 || at + static_cast<size_t>(idLength) >= end)
        return false;
    header.Id = 0;
    for (int i = 0; i < idLength; ++i)
        header.Id = (header.Id << 8) | bytes[at + static_cast<size_t>(i)];
    header.SizeAt = at + static_cast<size_t>(idLength);
    if (!ReadEbmlVint(bytes.data() + header.SizeAt, end - header.SizeAt, header.SizeLength, header.Size,
                      header.Unknown))
        return false;
    header.Data = header.SizeAt + header.SizeLength;
    return !header.Unknown && header.Size <= end - header.Data;
}

} // namespace

// A CRC-32 opening a master (one the scan enters: the Tracks, a TrackEntry, its Video, its encodings)
// covers the rest of its data: those of the masters inside it come first, as it covers them. Each changes
// by what its bytes change by, so that one that did not hold goes on not holding. Offsets are those of
// Bytes; in moved, what lay before first lies shift bytes earlier, what lay from last on where it was.
bool TMatroskaSegmentHead::UpdateChecksums(size_t at, size_t end, size_t first, size_t last, size_t shift,
                                           std::vector<uint8_t> &moved, int depth) const {
    THeader element;
    for (; depth < 8 && ReadHeader(Bytes, at, end, element); at = element.End()) {
        if (std::find(std::begin(ChecksummedMasters), std::end(ChecksummedMasters), element.Id) ==
            std::end(ChecksummedMasters))
            continue;
        if (!UpdateChecksums(element.Data, element.End(), first, last, shift, moved, depth + 1))
            return false;
        THeader crc;
        if (!ReadHeader(Bytes, element.Data, element.End(), crc) || crc.Id != Crc32Id || crc.Size != 4)
            continue;
        if (crc.Data < first && crc.End() > first)
            return false;
        // The region, from behind the CRC-32 to the master's end, where it lies now: a master around the
        // range ends where it did (it grew by as many bytes as its start moved), one before it moved whole.
        const size_t from = crc.End() <= first ? crc.End() - shift : crc.End();
        const bool before = element.End() < first || (element.End() == first && first != last);
        const size_t to = before ? element.End() - shift : element.End();
        const size_t value = crc.Data < first ? crc.Data - shift : crc.Data;
        uint32_t stored = 0;
        for (size_t i = 0; i < 4; ++i)
            stored |= uint32_t{Bytes[crc.Data + i]} << (8 * i);
        const uint32_t sum = stored ^ Crc32(Bytes.data() + crc.End(), element.End() - crc.End()) ^
                             Crc32(moved.data() + from, to - from);
        for (size_t i = 0; i < 4; ++i)
            moved[value + i] = static_cast<uint8_t>(sum >> (8 * i));
    }
    return true;
}

std::vector<TPatch> TMatroskaSegmentHead::Splice(int64_t from, int64_t to,
                                                 const std::vector<uint8_t> &replacement,
                                                 const std::string &what,
                                                 const std::vector<TPatch> &others) const {
    const int64_t grow = static_cast<int64_t>(replacement.size()) - (to - from);
    const int64_t room = VoidEnd - VoidStart;
    if (VoidStart < 0 || Bytes.empty() || grow <= 0 || grow > room || room - grow == 1 || from < VoidEnd ||
        to < from || to > TracksEnd)
        return {};
    // The bytes as the other patches leave them, each wholly on one side of the range.
    std::vector<uint8_t> patched = Bytes;
    for (const TPatch &other : others) {
        if (other.End() <= VoidStart || other.FileOffset >= TracksEnd)
            continue;
        const bool apart = (other.FileOffset >= VoidEnd && other.End() <= from) || other.FileOffset >= to;
        if (!apart || other.End() > TracksEnd ||
            !std::equal(other.Old.begin(), other.Old.end(), Bytes.begin() + (other.FileOffset - VoidStart)))
            return {};
        std::copy(other.New.begin(), other.New.end(), patched.begin() + (other.FileOffset - VoidStart));
    }
    // The masters around the range, outermost first, in offsets of Bytes.
    const auto first = static_cast<size_t>(from - VoidStart), last = static_cast<size_t>(to - VoidStart);
    std::vector<THeader> around;
    size_t at = static_cast<size_t>(VoidEnd - VoidStart), end = Bytes.size();
    THeader header;
    while (ReadHeader(Bytes, at, end, header)) {
        const bool holds = header.Data <= first && last <= header.End();
        if (holds && std::find(std::begin(Masters), std::end(Masters), header.Id) != std::end(Masters)) {
            around.push_back(header);
            at = header.Data;
            end = header.End();
            continue;
        }
        if (header.End() >= end || header.End() > first)
            break;
        at = header.End();
    }
    if (around.empty() || around.front().Id != Masters[0])
        return {};

    // Old bytes behind the Void up to the range move back by grow; those behind the range stay.
    std::vector<uint8_t> moved(patched.begin(), patched.begin() + (room - grow));
    const std::vector<uint8_t> voidHeader = EbmlVoidHeader(static_cast<uint64_t>(room - grow));
    if (room > grow && voidHeader.empty())
        return {};
    std::copy(voidHeader.begin(), voidHeader.end(), moved.begin());
    moved.insert(moved.end(), patched.begin() + room, patched.begin() + static_cast<ptrdiff_t>(first));
    moved.insert(moved.end(), replacement.begin(), replacement.end());
    moved.insert(moved.end(), patched.begin() + static_cast<ptrdiff_t>(last), patched.end());
    const auto shift = static_cast<size_t>(grow);
    for (const THeader &master : around)
        if (!PutEbmlSize(moved.data() + master.SizeAt - shift, master.SizeLength, master.Size + shift))
            return {};
    // Every CRC-32 among the bytes follows what they hold now: the others' patches and the replacement.
    if (!UpdateChecksums(static_cast<size_t>(room), Bytes.size(), first, last, shift, moved, 0))
        return {};
    std::vector<TPatch> patches{{VoidStart, Bytes, std::move(moved), what}};
    // Positions of the elements that moved.
    for (const TSeekPosition &position : SeekPositions) {
        if (position.ValueOffset < TracksEnd && position.ValueOffset + position.Size > VoidStart)
            return {};
        const int64_t target = SegmentData + static_cast<int64_t>(position.Value);
        if (target < VoidEnd || target >= from)
            continue;
        TPatch patch{position.ValueOffset, {}, {}, what};
        for (int64_t i = position.Size - 1; i >= 0; --i) {
            patch.Old.push_back(static_cast<uint8_t>(i < 8 ? position.Value >> (8 * i) : 0));
            patch.New.push_back(static_cast<uint8_t>(i < 8 ? (position.Value - shift) >> (8 * i) : 0));
        }
        patches.push_back(std::move(patch));
    }
    return patches;
}
