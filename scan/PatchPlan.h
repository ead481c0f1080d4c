#pragma once

// The one write engine: every save is a list of patches, each a file offset, the bytes the file must
// still hold there and the bytes to put there, worked out before anything is written. The plan is
// checked against the file (the patches disjoint, inside the file, the file holding the bytes scanned),
// applied, put onto the disk, and read back; a failure puts back what was written.

#include "Checksum.h"
#include "base/Streams.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

// Bytes to overwrite at one place of the file.
struct TPatch {
    int64_t FileOffset = 0;
    std::vector<uint8_t> Old; // what the file held when it was scanned
    std::vector<uint8_t> New; // what it gets; as many bytes as Old
    std::string What;         // what the bytes are, for messages ("the SPS of row 3")

    int64_t End() const { return FileOffset + static_cast<int64_t>(Old.size()); }
};

// A change that can not be written, with the reason; Index is the row it concerns.
struct TWriteRefusal {
    size_t Index = 0;
    std::string Reason;
};

// One thing a save does: its description and its patches. Written runs once every patch of the plan is
// on the disk and has read back as written, to bring what the program holds in line with the file.
struct TPlanEntry {
    static constexpr size_t NoRow = std::numeric_limits<size_t>::max();
    // The SPS of a row, a container's statement of a track's aspect ratio, or a checksum over bytes that
    // other entries change.
    enum class TKind { Row, Container, Checksum };
    TKind Kind = TKind::Row;
    std::string Description;
    std::vector<TPatch> Patches;
    size_t Row = NoRow; // the row the entry belongs to or stands for (refusals name it)
    std::function<void()> Written;
    // Its patches lie among bytes another entry moves and are written in that entry's: it is written all
    // the same, with fewer patches of its own (or none).
    bool Carried = false;

    bool Writes() const { return !Patches.empty() || Carried; }
};

// What a save wrote: one line per entry, and how many bytes at how many places.
struct TWriteReport {
    std::vector<std::string> Lines;
    size_t PatchCount = 0;
    size_t ByteCount = 0;
};

class TPatchPlan {
public:
    std::vector<TPlanEntry> Entries;
    // What a save leaves as it is and why (a container statement left unchanged, say).
    std::vector<std::string> Notes;
    // Changes refused while the plan was made (a kind switch, terms out of range, ...).
    std::vector<TWriteRefusal> Refusals;

    bool Empty() const;
    // Every patch of the plan, in file order.
    std::vector<const TPatch *> Patches() const;
    // Everything the plan would write, one line per patch: offset, old bytes, new bytes, what.
    std::vector<std::string> PatchLines() const;
    // Adds an entry for every checksum whose region the patches so far change, with its new bytes worked
    // out from the changes alone; call it once the plan holds everything else. Regions may nest: an inner
    // checksum that changes counts as a change of the regions around it. The regions are put in file
    // order and take the new values once the plan is written.
    void AddChecksums(std::vector<TChecksumRegion> &regions);

    // The refusals of the plan and those the file gives: patches that overlap or lie outside the file,
    // places that no longer hold the bytes scanned. Reads the file; writes nothing.
    std::vector<TWriteRefusal> Check(TStream &file) const;
    // Writes every patch, puts the file onto the disk and reads every patch back, then runs each entry's
    // Written. Refuses (Exception, nothing written) when Check finds anything. When a write fails, the
    // places already written get their old bytes back before the error is raised, and its message says
    // whether that worked and, if not, which places now hold the new bytes. beforeFirstWrite, when set,
    // runs once everything is checked and made, right before the first byte is written, and not at all
    // when nothing is to be written; what it raises ends the save with nothing written.
    TWriteReport Apply(TStream &file, const std::function<void()> &beforeFirstWrite = {});
};
