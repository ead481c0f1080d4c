// The checked write-back after a scan. The first byte chooses the scanner (bit 0: AVI), the next five
// are the new ratio (code, then width and height, 16 bits each, high byte first); the rest is the file,
// scanned from memory and then written in a memory copy, so that every write can be compared with the
// bytes before it.

#include "FuzzSupport.h"
#include "H264StreamScan.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "scan/uRIFFParser.h"

#include <vector>

namespace {

constexpr size_t HeaderSize = 6;

// The records of the scan, given the new ratio; the number of them that count as changed.
size_t SetNewRatio(TARInfoList &rows, const uint8_t *ratio) {
    size_t changed = 0;
    for (size_t i = 0; i < rows.Count(); ++i) {
        TARInfo &record = *rows.Items(i);
        record.NewAspectRatioIdc = ratio[0];
        record.NewSarWidth = ratio[0] == 255 ? (ratio[1] << 8 | ratio[2]) : PredefinedSarWidth(ratio[0]);
        record.NewSarHeight = ratio[0] == 255 ? (ratio[3] << 8 | ratio[4]) : PredefinedSarHeight(ratio[0]);
        changed += record.IsChanged();
    }
    return changed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < HeaderSize)
        return 0;
    const std::vector<uint8_t> before(data + HeaderSize, data + size);
    TScanSession session;
    std::unique_ptr<TParser> parser;
    if ((data[0] & 1) != 0)
        parser = std::make_unique<TRIFFParser>(session);
    else
        parser = std::make_unique<TH264StreamParser>(session);
    parser->Events.OnForeignHandler = [](const std::string &) { return true; };
    {
        TMemoryStream scanned(before);
        try {
            parser->Scan(scanned);
        } catch (const Exception &) {
            // A scan that fails part-way still lists what it found before; those records are written.
        }
    }
    TARInfoList &rows = session.ARInfoList;
    const size_t changed = SetNewRatio(rows, data + 1);
    size_t containers = 0;
    for (const TPlanEntry &entry : rows.PlanChanges().Entries)
        containers += entry.Kind == TPlanEntry::TKind::Container;

    TMemoryStream memory(before);
    const bool refused = !rows.CheckChanges(memory).empty();
    bool written = false;
    try {
        rows.WriteChanges(memory);
        written = true;
    } catch (const Exception &) {
        // Refused before writing, or a value that did not read back as written.
    }
    const std::vector<uint8_t> &after = memory.Bytes();
    Require(after.size() == before.size());
    size_t differing = 0;
    for (size_t i = 0; i < after.size(); ++i)
        differing += after[i] != before[i];
    if (refused)
        Require(!written && differing == 0); // nothing is written when anything is refused
    if (!written)
        Require(differing == 0); // a failed save puts back what it wrote
    // A predefined code spans at most two bytes, a custom ratio at most six, a container ratio four.
    Require(differing <= 6 * changed + 4 * containers);
    if (written) {
        for (size_t i = 0; i < rows.Count(); ++i)
            Require(!rows.Items(i)->IsChanged());
        // Everything is written: a second pass has nothing left to change.
        const std::vector<uint8_t> once = after;
        Require(rows.PlanChanges().Entries.empty());
        rows.WriteChanges(memory);
        Require(memory.Bytes() == once);
        // A new scan of the written bytes lists the new values.
        TScanSession again;
        std::unique_ptr<TParser> rescan;
        if ((data[0] & 1) != 0)
            rescan = std::make_unique<TRIFFParser>(again);
        else
            rescan = std::make_unique<TH264StreamParser>(again);
        rescan->Events.OnForeignHandler = [](const std::string &) { return true; };
        TMemoryStream written(once);
        try {
            rescan->Scan(written);
        } catch (const Exception &) {
        }
        // A usable ratio lists every row again with it; a reserved code written (the core takes any code
        // it is given) leaves the rows that got it unlisted.
        const bool usable = (data[1] >= 1 && data[1] <= 16) ||
                            (data[1] == 255 && (data[2] | data[3]) != 0 && (data[4] | data[5]) != 0);
        if (usable) {
            Require(again.ARInfoList.Count() == rows.Count());
            for (size_t i = 0; i < rows.Count(); ++i)
                Require(again.ARInfoList.Items(i)->SarText() == rows.Items(i)->SarText());
        } else {
            Require(again.ARInfoList.Count() <= rows.Count());
        }
    }
    return 0;
}
