// The write engine: a plan of places checked against the file before anything is written, applied,
// flushed, read back, and put back when a write fails.

#include "scan/PatchPlan.h"
#include "CoreTestSupport.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "scan/FormatProbe.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

std::vector<uint8_t> Counting(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

TPlanEntry Entry(size_t row, std::vector<TPatch> patches, bool *written = nullptr) {
    TPlanEntry entry;
    entry.Row = row;
    entry.Description = "entry " + std::to_string(row);
    entry.Patches = std::move(patches);
    if (written != nullptr)
        entry.Written = [written] { *written = true; };
    return entry;
}

TPatch At(int64_t offset, std::vector<uint8_t> old, std::vector<uint8_t> replacement, std::string what) {
    return {offset, std::move(old), std::move(replacement), std::move(what)};
}

TEST(PatchPlan, WritesEveryPlaceReadsItBackAndTellsTheEntries) {
    CountingStream file(Counting(64));
    bool firstWritten = false, secondWritten = false;
    TPatchPlan plan;
    plan.Entries.push_back(Entry(0, {At(10, {10, 11}, {0xA0, 0xA1}, "a")}, &firstWritten));
    plan.Entries.push_back(Entry(1, {At(40, {40}, {0xB0}, "b"), At(2, {2}, {0xC0}, "c")}, &secondWritten));
    // The same bytes at the same place from two entries (one SPS reached twice) are written once.
    plan.Entries.push_back(Entry(2, {At(40, {40}, {0xB0}, "b again")}));
    EXPECT_TRUE(plan.Check(file).empty());
    const TWriteReport report = plan.Apply(file);
    std::vector<uint8_t> expected = Counting(64);
    expected[2] = 0xC0;
    expected[10] = 0xA0;
    expected[11] = 0xA1;
    expected[40] = 0xB0;
    EXPECT_EQ(file.Bytes(), expected);
    EXPECT_EQ(report.PatchCount, 3u);
    EXPECT_EQ(report.ByteCount, 4u);
    EXPECT_EQ(report.Lines, (std::vector<std::string>{"entry 0", "entry 1", "entry 2"}));
    EXPECT_TRUE(firstWritten && secondWritten);
    // Three writes, in file order, then a read of every place after them.
    ASSERT_EQ(file.Writes.size(), 3u);
    EXPECT_EQ(file.Writes[0].Offset, 2);
    EXPECT_EQ(file.Writes[2].Offset, 40);
    EXPECT_EQ(file.Reads.back().Offset, 40);
    EXPECT_EQ(plan.PatchLines()[0], "00000002: 02 -> C0 (c)");
}

// Two changes on the same bytes (a container field the walk also took for video data) are refused before
// anything is written, as are places outside the file and places that changed since the scan.
TEST(PatchPlan, OverlapsPlacesOutsideTheFileAndChangedBytesAreRefused) {
    CountingStream file(Counting(32));
    TPatchPlan overlapping;
    overlapping.Entries.push_back(Entry(0, {At(8, {8, 9, 10}, {1, 1, 1}, "aspect ratio of row 0")}));
    overlapping.Entries.push_back(Entry(1, {At(10, {10, 11}, {2, 2}, "container aspect ratio of stream 0")}));
    std::vector<TWriteRefusal> refusals = overlapping.Check(file);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Reason,
              Format(SPatchesOverlap, "aspect ratio of row 0", 8, "container aspect ratio of stream 0", 10));
    EXPECT_THROW(overlapping.Apply(file), Exception);
    EXPECT_TRUE(file.Writes.empty());

    TPatchPlan outside;
    outside.Entries.push_back(Entry(3, {At(31, {31, 32}, {0, 0}, "x")}));
    outside.Entries.push_back(Entry(4, {At(-1, {0}, {1}, "y")}));
    refusals = outside.Check(file);
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0].Index, 3u);
    EXPECT_EQ(refusals[1].Reason, Format(SPatchOutsideFile, "y", -1));

    TPatchPlan changed;
    changed.Entries.push_back(Entry(5, {At(4, {4, 99}, {0, 0}, "z")}));
    changed.Refusals.push_back({2, "refused while planning"});
    refusals = changed.Check(file);
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0].Reason, "refused while planning");
    EXPECT_EQ(refusals[1].Reason, Format(SFileChangedSinceScan, "z", 4));
    try {
        changed.Apply(file);
        FAIL() << "applied";
    } catch (const Exception &error) {
        EXPECT_EQ(error.what(), Format(SChangesRefused, 2));
    }
    EXPECT_TRUE(file.Writes.empty());
}

// A medium that fails the nth write, and optionally every write after it.
class FailingStream : public CountingStream {
public:
    FailingStream(std::vector<uint8_t> bytes, size_t failAt, bool failAfter)
        : CountingStream(std::move(bytes)), FFailAt(failAt), FFailAfter(failAfter) {}
    void WriteBuffer(const void *buffer, size_t count) override {
        ++FCount;
        if (FCount == FFailAt || (FFailAfter && FCount > FFailAt))
            throw EInOutError("Input/output error");
        CountingStream::WriteBuffer(buffer, count);
    }
    size_t FlushCount = 0;
    void Flush() override { ++FlushCount; }

private:
    size_t FFailAt;
    bool FFailAfter;
    size_t FCount = 0;
};

TPatchPlan SixPlaces(bool *written) {
    TPatchPlan plan;
    for (size_t row = 0; row < 6; ++row) {
        const auto at = static_cast<int64_t>(8 * row);
        plan.Entries.push_back(Entry(
            row, {At(at, {static_cast<uint8_t>(at)}, {0xEE}, "aspect ratio of row " + std::to_string(row))},
            written));
    }
    return plan;
}

// The third write fails: the two before it get their old bytes back, the file is as it was, and the
// message says so; nothing in memory takes the new values.
TEST(PatchPlan, AFailedWritePutsBackWhatWasWritten) {
    const std::vector<uint8_t> before = Counting(64);
    FailingStream file(before, 3, false);
    bool written = false;
    TPatchPlan plan = SixPlaces(&written);
    try {
        plan.Apply(file);
        FAIL() << "applied";
    } catch (const Exception &error) {
        EXPECT_EQ(error.what(), Format(SWriteFailedRestored, "Input/output error"));
    }
    EXPECT_EQ(file.Bytes(), before);
    EXPECT_FALSE(written);
    EXPECT_GE(file.FlushCount, 1u);
}

// When putting back fails too, the message names every place that now holds new bytes.
TEST(PatchPlan, WhenPuttingBackFailsTooThePlacesThatChangedAreNamed) {
    FailingStream file(Counting(64), 3, true);
    bool written = false;
    TPatchPlan plan = SixPlaces(&written);
    try {
        plan.Apply(file);
        FAIL() << "applied";
    } catch (const Exception &error) {
        EXPECT_EQ(error.what(),
                  Format(SWriteFailedNotRestored, "Input/output error", "Input/output error",
                         "aspect ratio of row 0; aspect ratio of row 1; aspect ratio of row 2"));
    }
    EXPECT_EQ(file.Bytes()[0], 0xEE);
    EXPECT_EQ(file.Bytes()[8], 0xEE);
    EXPECT_EQ(file.Bytes()[16], 16);
    EXPECT_FALSE(written);
}

// What a file is read as is told by its first bytes: a change that would make a raw stream look like a
// transport stream there (a sync byte a packet further on, now with a packet header behind it) is
// refused, nothing written; a change there that leaves the file looking as it did is written.
TEST(PatchPlan, AChangeThatWouldMakeTheFileLookLikeAnotherFormatIsRefused) {
    std::vector<uint8_t> bytes(300, 0xA5);
    bytes[0] = 0x47;
    bytes[3] = 0x10;
    bytes[188] = 0x47;
    bytes[191] = 0x00; // no adaptation field, no payload: no packet header
    CountingStream file(bytes);
    ASSERT_EQ(DetectFormat(file), TFileFormat::Unknown);
    TPatchPlan plan;
    plan.Entries.push_back(Entry(3, {At(190, {0xA5, 0x00}, {0xA4, 0x10}, "a")}));
    const std::vector<TWriteRefusal> refusals = plan.Check(file);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Index, 3u);
    EXPECT_EQ(refusals[0].Reason, SFormatWouldChange);
    EXPECT_THROW(plan.Apply(file), Exception);
    EXPECT_EQ(file.Bytes(), bytes);

    TPatchPlan harmless;
    harmless.Entries.push_back(Entry(0, {At(190, {0xA5}, {0xA4}, "b")}));
    EXPECT_TRUE(harmless.Check(file).empty());
}

// A save of a file on disk: every write first, then one sync, then the read-back from the file, and only
// then does the save report; a sync that fails puts back the old bytes (synced again) and the save fails.
class PatchPlanOnDisk : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(Path, Counting(64)); }

    TPatchPlan TwoPlaces(bool *written) {
        TPatchPlan plan;
        plan.Entries.push_back(Entry(0, {At(40, {40, 41}, {0xA0, 0xA1}, "a")}, written));
        plan.Entries.push_back(Entry(1, {At(8, {8}, {0xB0}, "b")}));
        return plan;
    }

    TempDir Dir;
    std::string Path = Dir.File("video.bin");
};

TEST_F(PatchPlanOnDisk, ASaveSyncsAfterItsWritesAndBeforeItReadsBackAndReports) {
    bool written = false;
    TPatchPlan plan = TwoPlaces(&written);
    std::vector<TFileCall> calls;
    {
        TFileStream file(Path, TFileOpenMode::ReadWriteExclusive);
        file.BeforeCall = [&](const TFileCall &call) {
            EXPECT_FALSE(written) << "the save reported before the call";
            calls.push_back(call);
        };
        plan.Apply(file);
    } // closed: on Windows nobody else may read the file while the writer has it
    EXPECT_TRUE(written);
    std::vector<TFileCall::TKind> kinds;
    for (const TFileCall &call : calls)
        if (call.Kind != TFileCall::TKind::Read || !kinds.empty())
            kinds.push_back(call.Kind); // the reads of the check before the first write are left out
    using K = TFileCall::TKind;
    ASSERT_GT(kinds.size(), 3u);
    EXPECT_EQ(std::vector<K>(kinds.begin(), kinds.begin() + 3),
              (std::vector<K>{K::Write, K::Write, K::Sync}));
    EXPECT_TRUE(std::all_of(kinds.begin() + 3, kinds.end(), [](K kind) { return kind == K::Read; }));
    std::vector<uint8_t> expected = Counting(64);
    expected[8] = 0xB0;
    expected[40] = 0xA0;
    expected[41] = 0xA1;
    EXPECT_EQ(ReadFile(Path), expected);
}

TEST_F(PatchPlanOnDisk, ASyncThatFailsPutsBackTheOldBytesAndTheSaveFails) {
    bool written = false;
    TPatchPlan plan = TwoPlaces(&written);
    int syncs = 0;
    {
        TFileStream file(Path, TFileOpenMode::ReadWriteExclusive);
        file.BeforeCall = [&syncs](const TFileCall &call) {
            if (call.Kind == TFileCall::TKind::Sync && ++syncs == 1)
                throw EInOutError("the medium is gone");
        };
        try {
            plan.Apply(file);
            ADD_FAILURE() << "applied";
        } catch (const Exception &error) {
            EXPECT_EQ(error.what(), Format(SWriteFailedRestored, "the medium is gone"));
        }
    }
    EXPECT_EQ(syncs, 2); // the old bytes are synced too
    EXPECT_FALSE(written);
    EXPECT_EQ(ReadFile(Path), Counting(64));
}

// ---- Checksums over parts of the file ----

// zlib's CRC-32 one bit at a time, as the format documents define it.
uint32_t BitwiseCrc(const std::vector<uint8_t> &bytes, int64_t from, int64_t to) {
    uint32_t crc = 0xFFFFFFFF;
    for (int64_t at = from; at < to; ++at) {
        crc ^= bytes[static_cast<size_t>(at)];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

TChecksumRegion Region(int64_t valueOffset, int64_t end, const std::vector<uint8_t> &bytes) {
    TChecksumRegion region;
    region.ValueOffset = valueOffset;
    region.Start = valueOffset + 4;
    region.End = end;
    region.Value.assign(bytes.begin() + valueOffset, bytes.begin() + valueOffset + 4);
    region.Kind = &Crc32LittleEndian();
    region.What = "CRC at " + std::to_string(valueOffset);
    return region;
}

void StoreCrc(std::vector<uint8_t> &bytes, int64_t valueOffset, int64_t end) {
    const uint32_t crc = BitwiseCrc(bytes, valueOffset + 4, end);
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<size_t>(valueOffset + i)] = static_cast<uint8_t>(crc >> (8 * i));
}

bool Holds(const std::vector<uint8_t> &bytes, const TChecksumRegion &region) {
    const auto at = static_cast<size_t>(region.ValueOffset);
    const uint32_t stored = bytes[at] | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
                            uint32_t{bytes[at + 3]} << 24;
    return stored == BitwiseCrc(bytes, region.Start, region.End);
}

// Checksums that nest, as Matroska's CRC-32 of a Video inside a TrackEntry inside Tracks, beside
// siblings, given in no order: the inner ones are brought up to date first and their new values count as
// changes of the outer ones. Every checksum that held holds after the save; one that did not hold still
// does not; one over unchanged bytes is not written.
TEST(PatchPlan, NestedChecksumsAllHoldAfterASaveAndABrokenOneStaysBroken) {
    // {value offset, end}: outer, middle inside it, innermost inside that, an untouched sibling of the
    // innermost, a sibling of the middle that does not hold, and a region behind the outer one.
    const std::vector<std::pair<int64_t, int64_t>> layout = {{0, 200},  {20, 120},  {40, 80},
                                                             {90, 110}, {130, 180}, {210, 250}};
    std::vector<uint8_t> bytes = Counting(256);
    for (size_t i = layout.size(); i-- > 0;)
        StoreCrc(bytes, layout[i].first, layout[i].second);
    bytes[131] ^= 0x5A; // the CRC at 130 no longer holds; the outer one, over it, is made to hold again
    StoreCrc(bytes, 0, 200);
    std::vector<TChecksumRegion> regions;
    for (size_t i : {4, 1, 5, 0, 3, 2})
        regions.push_back(Region(layout[i].first, layout[i].second, bytes));
    const std::vector<uint8_t> before = bytes;

    TPatchPlan plan;
    plan.Entries.push_back(Entry(0, {At(50, {bytes[50], bytes[51]}, {0xAB, 0xCD}, "inner")}));
    plan.Entries.push_back(Entry(1, {At(150, {bytes[150]}, {0xEF}, "sibling")}));
    plan.AddChecksums(regions);
    // Outer, middle, innermost and the broken sibling change; the untouched ones do not.
    size_t checksums = 0;
    for (const TPlanEntry &entry : plan.Entries)
        checksums += entry.Kind == TPlanEntry::TKind::Checksum;
    EXPECT_EQ(checksums, 4u);
    CountingStream file(bytes);
    plan.Apply(file);
    const std::vector<uint8_t> &after = file.Bytes();
    for (const TChecksumRegion &region : regions) {
        SCOPED_TRACE(region.What);
        EXPECT_EQ(Holds(after, region), region.ValueOffset != 130);
        // What the program holds follows the file.
        EXPECT_TRUE(std::equal(region.Value.begin(), region.Value.end(), after.begin() + region.ValueOffset));
    }
    for (size_t at : {90u, 91u, 92u, 93u, 210u, 211u, 212u, 213u})
        EXPECT_EQ(after[at], before[at]);
}

} // namespace
