#include "UnitCollector.h"

#include "bitstream/uFastBitStream.h"

#include <algorithm>

void TUnitCollector::Read(const uint8_t *bytes, int64_t count, int64_t offset, bool startCodeInside) {
    if (FCollecting)
        Collect(bytes, count, offset);
    // Without zero bytes before these, no start code ends in the first two of them.
    int64_t at = count >= 2 && FZeros == 0 && !FAwaitHeader ? 2 : 0;
    while (at < count) {
        if (FAwaitHeader) {
            FAwaitHeader = false;
            if (FCodec.StatesRatio(bytes[at])) {
                FCollecting = true;
                FBytes.clear();
                FExtents.clear();
                FConsumer.UnitBegins();
                Collect(bytes + at, count - at, offset + at);
            }
            FZeros = bytes[at] == 0 ? 1 : 0;
            ++at;
            continue;
        }
        if (at < 2) {
            // A start code may have begun in the bytes before these.
            FAwaitHeader = bytes[at] == 1 && FZeros >= 2;
            FZeros = bytes[at] == 0 ? std::min(FZeros + 1, 2) : 0;
            ++at;
            continue;
        }
        if (!startCodeInside)
            break;
        const int64_t end = FindStartCodeEnd(bytes, at, count);
        if (end == count)
            break;
        FAwaitHeader = true;
        at = end + 1;
    }
    if (count >= 2 && !FAwaitHeader)
        FZeros = bytes[count - 1] != 0 ? 0 : (bytes[count - 2] != 0 ? 1 : 2);
}

void TUnitCollector::Break() {
    FZeros = 0;
    FAwaitHeader = false;
}

void TUnitCollector::Finish() {
    if (FCollecting)
        End(FindUnitEnd(FBytes.data(), static_cast<int64_t>(FBytes.size()), true, &FCodec), true);
}

// Adds bytes to the unit being collected, and hands it on where it ends (as FindUnitEnd finds it), or
// when MaxUnitBytes are read.
void TUnitCollector::Collect(const uint8_t *bytes, int64_t count, int64_t offset) {
    const auto had = static_cast<int64_t>(FBytes.size());
    const int64_t take = std::min(count, FCodec.MaxUnitBytes() - had);
    FBytes.insert(FBytes.end(), bytes, bytes + take);
    if (!FExtents.empty() && FExtents.back().FileOffset + FExtents.back().Length == offset)
        FExtents.back().Length += take;
    else
        FExtents.push_back({offset, take});
    const int64_t size = had + take;
    if (const int64_t end = FindUnitEnd(FBytes.data(), size, false, &FCodec); end >= 0)
        End(end, true);
    else if (size == FCodec.MaxUnitBytes())
        End(FindUnitEnd(FBytes.data(), size, true, &FCodec), false);
}

void TUnitCollector::End(int64_t end, bool complete) {
    FCollecting = false;
    FBytes.resize(static_cast<size_t>(end));
    std::vector<TExtent> extents;
    for (const TExtent &extent : FExtents) {
        if (end == 0)
            break;
        const int64_t length = std::min(extent.Length, end);
        extents.push_back({extent.FileOffset, length});
        end -= length;
    }
    FConsumer.UnitEnds({std::move(FBytes), complete}, TPlacement(std::move(extents)));
    FBytes = {};
}
