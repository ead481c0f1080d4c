// The checked write-back after a scan. The first byte chooses the scanner (bit 0: AVI), the next five
// are the new ratio (code, then width and height, 16 bits each, high byte first); the rest is the file,
// scanned from disk and then written in a memory copy, so that every write can be compared with the
// bytes before it.

#include "FuzzSupport.h"
#include "base/Exceptions.h"

#include <vector>

namespace {

constexpr size_t HeaderSize = 6;

// The records of the scan, given the new ratio; the number of them that count as changed.
size_t SetNewRatio(const uint8_t *ratio) {
    size_t changed = 0;
    for (size_t i = 0; i < ARInfoList->Count(); ++i) {
        TARInfo &record = *ARInfoList->Items(i);
        record.NewAspectRatioIdc = ratio[0];
        record.NewSarWidth = ratio[0] == 255 ? (ratio[1] << 8 | ratio[2]) : PredefinedSarWidth(ratio[0]);
        record.NewSarHeight = ratio[0] == 255 ? (ratio[3] << 8 | ratio[4]) : PredefinedSarHeight(ratio[0]);
        changed += record.IsChanged();
    }
    return changed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static TRIFFParser riff;
    static TStreamParser stream;
    if (size < HeaderSize)
        return 0;
    TParser &parser = (data[0] & 1) != 0 ? static_cast<TParser &>(riff) : stream;
    riff.OnForeignHandler = [](const std::string &) { return true; };
    const std::string &path = FuzzFile::Instance().Write(data + HeaderSize, size - HeaderSize);
    ARInfoList->Clear();
    parser.Aborted = false;
    try {
        parser.Parse(path);
    } catch (const Exception &) {
        // A scan that fails part-way still lists what it found before; those records are written.
    }
    const size_t changed = SetNewRatio(data + 1);
    const size_t containers = ARInfoList->PlanContainerChanges().size();

    const std::vector<uint8_t> before(data + HeaderSize, data + size);
    TMemoryStream memory(before);
    const bool refused = !ARInfoList->CheckChanges(memory).empty();
    bool written = false;
    try {
        written = ARInfoList->WriteChanges(memory);
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
    // A predefined code spans at most two bytes, a custom ratio at most six, a container ratio four.
    Require(differing <= 6 * changed + 4 * containers);
    if (written) {
        for (size_t i = 0; i < ARInfoList->Count(); ++i)
            Require(!ARInfoList->Items(i)->IsChanged());
        // Everything is written: a second pass has nothing left to change.
        const std::vector<uint8_t> once = after;
        Require(ARInfoList->WriteChanges(memory) && memory.Bytes() == once);
    }
    return 0;
}
