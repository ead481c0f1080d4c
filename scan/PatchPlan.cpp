#include "PatchPlan.h"

#include "FormatProbe.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>

namespace {

std::string HexBytes(const std::vector<uint8_t> &bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += (text.empty() ? "" : " ") + std::string(digits);
    }
    return text;
}

// A patch and the row of the entry it belongs to.
struct TPlaced {
    const TPatch *Patch;
    size_t Row;
};

// The patches of all entries in file order, each place once: two entries that put the same bytes at the
// same place (one SPS reached twice) write them once.
std::vector<TPlaced> Placed(const std::vector<TPlanEntry> &entries) {
    std::vector<TPlaced> placed;
    for (const TPlanEntry &entry : entries)
        for (const TPatch &patch : entry.Patches)
            placed.push_back({&patch, entry.Row});
    std::stable_sort(placed.begin(), placed.end(), [](const TPlaced &a, const TPlaced &b) {
        return a.Patch->FileOffset < b.Patch->FileOffset;
    });
    auto same = [](const TPlaced &a, const TPlaced &b) {
        return a.Patch->FileOffset == b.Patch->FileOffset && a.Patch->Old == b.Patch->Old &&
               a.Patch->New == b.Patch->New;
    };
    placed.erase(std::unique(placed.begin(), placed.end(), same), placed.end());
    return placed;
}

std::vector<uint8_t> ReadAt(TStream &file, int64_t offset, size_t count) {
    std::vector<uint8_t> bytes(count);
    file.Seek(offset);
    file.ReadBuffer(bytes.data(), count);
    return bytes;
}

void WriteAt(TStream &file, int64_t offset, const std::vector<uint8_t> &bytes) {
    file.Seek(offset);
    file.WriteBuffer(bytes.data(), bytes.size());
}

// The format a file is read as is told by its first bytes alone. A change there must leave them telling
// the same: new bits of a raw stream could put sync bytes and packet headers at a transport stream's
// stride, and the file would no longer open as what it is.
std::optional<TWriteRefusal> CheckFormatKept(TStream &file, const std::vector<TPlaced> &placed) {
    const int64_t head = std::min(file.Size(), ProbedBytes);
    auto first = std::find_if(placed.begin(), placed.end(), [head](const TPlaced &entry) {
        return entry.Patch->FileOffset >= 0 && entry.Patch->FileOffset < head;
    });
    if (first == placed.end())
        return std::nullopt;
    std::vector<uint8_t> before = ReadAt(file, 0, static_cast<size_t>(head));
    std::vector<uint8_t> after = before;
    for (const TPlaced &entry : placed)
        for (size_t i = 0; i < entry.Patch->New.size(); ++i)
            if (const int64_t at = entry.Patch->FileOffset + static_cast<int64_t>(i); at >= 0 && at < head)
                after[static_cast<size_t>(at)] = entry.Patch->New[i];
    TMemoryStream was(std::move(before)), will(std::move(after));
    if (DetectFormat(was) == DetectFormat(will))
        return std::nullopt;
    return TWriteRefusal{first->Row, SFormatWouldChange};
}

// Regions nest (a Matroska CRC-32 may open any master element, inside another one's region): those that
// overlap a range are the ones holding its first byte, found up the chain of regions around the last
// region that begins at or before it, and those that begin inside it.
class TRegionIndex {
public:
    // The regions in file order.
    explicit TRegionIndex(const std::vector<TChecksumRegion> &regions) : FRegions(regions) {
        std::vector<size_t> open;
        FAround.resize(regions.size(), None);
        for (size_t i = 0; i < regions.size(); ++i) {
            while (!open.empty() && regions[open.back()].End <= regions[i].Start)
                open.pop_back();
            FAround[i] = open.empty() ? None : open.back();
            open.push_back(i);
        }
    }

    // Calls visit(index) for every region that overlaps [from, to), each once.
    template <typename TVisit> void Overlapping(int64_t from, int64_t to, const TVisit &visit) const {
        const auto first = std::partition_point(FRegions.begin(), FRegions.end(),
                                                [&](const TChecksumRegion &r) { return r.Start <= from; });
        const auto last = std::partition_point(first, FRegions.end(),
                                               [&](const TChecksumRegion &r) { return r.Start < to; });
        if (first != FRegions.begin())
            for (size_t i = static_cast<size_t>(first - FRegions.begin()) - 1; i != None; i = FAround[i])
                if (FRegions[i].End > from)
                    visit(i);
        for (auto region = first; region != last; ++region)
            visit(static_cast<size_t>(region - FRegions.begin()));
    }

private:
    static constexpr size_t None = SIZE_MAX;
    const std::vector<TChecksumRegion> &FRegions;
    std::vector<size_t> FAround; // the region the walk found open around each one
};

} // namespace

bool TPatchPlan::Empty() const {
    return std::none_of(Entries.begin(), Entries.end(),
                        [](const TPlanEntry &entry) { return entry.Writes(); });
}

// A patch changes a region where its bytes differ inside it; the checksum is worked out once for all
// the changes of its region (each place once, as written). Inner regions come first: a checksum that
// changes is a change of the bytes of every region around it.
void TPatchPlan::AddChecksums(std::vector<TChecksumRegion> &regions) {
    std::stable_sort(regions.begin(), regions.end(),
                     [](const TChecksumRegion &a, const TChecksumRegion &b) { return a.Start < b.Start; });
    struct TTouched {
        std::vector<TByteDifference> Differences;
        size_t Row = TPlanEntry::NoRow;
    };
    std::vector<TTouched> touched(regions.size());
    const TRegionIndex index(regions);
    auto change = [&](int64_t offset, const std::vector<uint8_t> &oldBytes,
                      const std::vector<uint8_t> &newBytes, size_t row) {
        if (oldBytes.size() != newBytes.size())
            return;
        const int64_t end = offset + static_cast<int64_t>(oldBytes.size());
        index.Overlapping(offset, end, [&](size_t i) {
            const TChecksumRegion &region = regions[i];
            const int64_t from = std::max(offset, region.Start);
            const int64_t to = std::min(end, region.End);
            TByteDifference difference{from - region.Start, {}};
            bool differs = false;
            for (int64_t at = from; at < to; ++at) {
                const auto k = static_cast<size_t>(at - offset);
                difference.Xor.push_back(static_cast<uint8_t>(oldBytes[k] ^ newBytes[k]));
                differs = differs || oldBytes[k] != newBytes[k];
            }
            if (differs) {
                touched[i].Differences.push_back(std::move(difference));
                touched[i].Row = std::min(touched[i].Row, row);
            }
        });
    };
    const std::vector<TPlaced> placed = Placed(Entries);
    for (const TPlaced &patch : placed)
        change(patch.Patch->FileOffset, patch.Patch->Old, patch.Patch->New, patch.Row);
    // A patch that rewrites a region whole, its checksum with it, brought the checksum up to date itself
    // (elements it moves within their bytes): the region is its own.
    auto rewrittenWhole = [&](const TChecksumRegion &region) {
        const int64_t from = std::min(region.Start, region.ValueOffset);
        const int64_t to =
            std::max(region.End, region.ValueOffset + static_cast<int64_t>(region.Value.size()));
        return std::any_of(placed.begin(), placed.end(), [&](const TPlaced &patch) {
            return patch.Patch->FileOffset <= from && patch.Patch->End() >= to;
        });
    };
    // A region's checksum lies in front of it: only regions that begin before it can hold it. The entries
    // are told in file order.
    std::vector<TPlanEntry> added;
    for (size_t i = regions.size(); i-- > 0;) {
        if (touched[i].Differences.empty() || regions[i].Kind == nullptr || rewrittenWhole(regions[i]))
            continue;
        TChecksumRegion &region = regions[i];
        std::vector<uint8_t> value =
            region.Kind->Updated(region.Value, region.End - region.Start, touched[i].Differences);
        if (value == region.Value)
            continue;
        change(region.ValueOffset, region.Value, value, touched[i].Row);
        TPlanEntry entry;
        entry.Kind = TPlanEntry::TKind::Checksum;
        entry.Row = touched[i].Row;
        entry.Description = Format(SChecksumUpdated, region.What);
        entry.Patches.push_back({region.ValueOffset, region.Value, value, region.What});
        entry.Written = [&region, value] { region.Value = value; };
        added.push_back(std::move(entry));
    }
    std::move(added.rbegin(), added.rend(), std::back_inserter(Entries));
}

std::vector<const TPatch *> TPatchPlan::Patches() const {
    std::vector<const TPatch *> patches;
    for (const TPlaced &placed : Placed(Entries))
        patches.push_back(placed.Patch);
    return patches;
}

std::vector<std::string> TPatchPlan::PatchLines() const {
    std::vector<std::string> lines;
    for (const TPlaced &placed : Placed(Entries)) {
        const TPatch &patch = *placed.Patch;
        lines.push_back(
            Format(SPatchLine, patch.FileOffset, HexBytes(patch.Old), HexBytes(patch.New), patch.What));
    }
    return lines;
}

std::vector<TWriteRefusal> TPatchPlan::Check(TStream &file) const {
    std::vector<TWriteRefusal> refusals = Refusals;
    const std::vector<TPlaced> placed = Placed(Entries);
    const int64_t size = file.Size();
    for (size_t i = 0; i < placed.size(); ++i) {
        const TPatch &patch = *placed[i].Patch;
        if (i + 1 < placed.size() && placed[i + 1].Patch->FileOffset < patch.End()) {
            const TPatch &next = *placed[i + 1].Patch;
            refusals.push_back({placed[i].Row, Format(SPatchesOverlap, patch.What, patch.FileOffset,
                                                      next.What, next.FileOffset)});
            continue;
        }
        if (patch.Old.size() != patch.New.size() || patch.FileOffset < 0 || patch.End() > size) {
            refusals.push_back({placed[i].Row, Format(SPatchOutsideFile, patch.What, patch.FileOffset)});
            continue;
        }
        if (ReadAt(file, patch.FileOffset, patch.Old.size()) != patch.Old)
            refusals.push_back({placed[i].Row, Format(SFileChangedSinceScan, patch.What, patch.FileOffset)});
    }
    if (refusals.empty())
        if (std::optional<TWriteRefusal> changed = CheckFormatKept(file, placed))
            refusals.push_back(*changed);
    std::stable_sort(refusals.begin(), refusals.end(),
                     [](const TWriteRefusal &a, const TWriteRefusal &b) { return a.Index < b.Index; });
    return refusals;
}

// Everything that needs memory is done before the first write: the report, the buffer of the read-back
// and the room for what a failure must name; what runs after the writes only copies into them.
TWriteReport TPatchPlan::Apply(TStream &file, const std::function<void()> &beforeFirstWrite) {
    const std::vector<TWriteRefusal> refusals = Check(file);
    if (!refusals.empty())
        throw Exception(Format(SChangesRefused, refusals.size()));
    const std::vector<TPlaced> placed = Placed(Entries);
    TWriteReport report;
    for (const TPlanEntry &entry : Entries)
        if (entry.Writes())
            report.Lines.push_back(entry.Description);
    report.PatchCount = placed.size();
    size_t largest = 0;
    for (const TPlaced &entry : placed) {
        report.ByteCount += entry.Patch->New.size();
        largest = std::max(largest, entry.Patch->New.size());
    }
    std::vector<uint8_t> readBack(largest);
    std::vector<std::string> stillNew;
    stillNew.reserve(placed.size());
    if (!placed.empty() && beforeFirstWrite)
        beforeFirstWrite();
    size_t written = 0;
    try {
        for (; written < placed.size(); ++written)
            WriteAt(file, placed[written].Patch->FileOffset, placed[written].Patch->New);
        file.Flush();
        for (const TPlaced &entry : placed) {
            const std::vector<uint8_t> &expected = entry.Patch->New;
            file.Seek(entry.Patch->FileOffset);
            file.ReadBuffer(readBack.data(), expected.size());
            if (!std::equal(expected.begin(), expected.end(), readBack.begin()))
                throw Exception(Format(SWriteVerifyFailed, entry.Patch->What, entry.Patch->FileOffset));
        }
    } catch (const std::exception &failure) {
        // Put the old bytes back where anything may have been written, the failed write's place too.
        const size_t touched = std::min(written + 1, placed.size());
        std::string undoError;
        for (size_t i = touched; i-- > 0;) {
            try {
                WriteAt(file, placed[i].Patch->FileOffset, placed[i].Patch->Old);
            } catch (const std::exception &error) {
                undoError = error.what();
                stillNew.push_back(placed[i].Patch->What);
            }
        }
        try {
            file.Flush();
        } catch (const std::exception &error) {
            if (undoError.empty())
                undoError = error.what();
        }
        if (undoError.empty())
            throw Exception(Format(SWriteFailedRestored, WithoutFullStop(failure.what())));
        std::string places;
        for (auto what = stillNew.rbegin(); what != stillNew.rend(); ++what)
            places += (places.empty() ? "" : "; ") + *what;
        if (places.empty())
            places = SWriteFailedUnknownPlaces;
        throw Exception(Format(SWriteFailedNotRestored, WithoutFullStop(failure.what()),
                               WithoutFullStop(undoError), places));
    }
    for (TPlanEntry &entry : Entries)
        if (entry.Writes() && entry.Written)
            entry.Written();
    return report;
}
