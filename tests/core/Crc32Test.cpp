// zlib's CRC-32 against its published check values and a plain bit-by-bit computation, the arithmetic that
// brings a CRC up to date from a difference alone, and the plan's checksum entries built on it.

#include "base/Crc32.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "scan/PatchPlan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// The CRC as the format documents define it, one bit at a time.
uint32_t BitwiseCrc32(const std::vector<uint8_t> &bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

std::vector<uint8_t> Text(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> RandomBytes(std::mt19937 &random, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t &byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

uint32_t Crc(const std::vector<uint8_t> &bytes) {
    return Crc32(bytes.data(), bytes.size());
}

TEST(Crc32, PublishedCheckValues) {
    EXPECT_EQ(Crc(Text("123456789")), 0xCBF43926u);
    EXPECT_EQ(Crc({}), 0u);
    EXPECT_EQ(Crc(Text("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
    EXPECT_EQ(Crc(std::vector<uint8_t>(32, 0)), 0x190A55ADu);
    EXPECT_EQ(Crc(std::vector<uint8_t>(32, 0xFF)), 0xFF6CAB0Bu);
}

TEST(Crc32, AgreesWithTheBitwiseDefinitionAndContinues) {
    std::mt19937 random(7);
    for (size_t size : {1u, 2u, 3u, 7u, 64u, 1000u, 4099u}) {
        const std::vector<uint8_t> bytes = RandomBytes(random, size);
        EXPECT_EQ(Crc(bytes), BitwiseCrc32(bytes)) << size;
        // Continued in two parts as zlib's crc32(crc, ...) continues.
        const size_t half = size / 2;
        EXPECT_EQ(Crc32(bytes.data() + half, size - half, Crc32(bytes.data(), half)), BitwiseCrc32(bytes));
    }
}

TEST(Crc32, CombineJoinsTwoMessages) {
    std::mt19937 random(11);
    for (size_t second : {0u, 1u, 5u, 100u, 65537u}) {
        const std::vector<uint8_t> a = RandomBytes(random, 33), b = RandomBytes(random, second);
        std::vector<uint8_t> both = a;
        both.insert(both.end(), b.begin(), b.end());
        EXPECT_EQ(Crc32Combine(Crc(a), Crc(b), static_cast<int64_t>(b.size())), BitwiseCrc32(both)) << second;
    }
}

// A few bytes changed anywhere in a message, the CRC follows from the old CRC and the XOR difference alone;
// also for a difference far from the end (a long run of zero bytes behind it, as in a cluster of megabytes).
TEST(Crc32, DifferenceUpdatesTheOldValue) {
    std::mt19937 random(3);
    for (size_t size : {8u, 100u, 5000u, 300000u}) {
        std::vector<uint8_t> message = RandomBytes(random, size);
        const uint32_t before = Crc(message);
        const size_t at = random() % (size - 4);
        const std::vector<uint8_t> change = RandomBytes(random, 4);
        for (size_t i = 0; i < change.size(); ++i)
            message[at + i] ^= change[i];
        const int64_t after = static_cast<int64_t>(size - at - change.size());
        EXPECT_EQ(before ^ Crc32Difference(change.data(), change.size(), after), BitwiseCrc32(message))
            << size;
    }
    // No difference, no change; the same difference twice cancels.
    const uint8_t zeros[3] = {0, 0, 0};
    EXPECT_EQ(Crc32Difference(zeros, 3, 1000), 0u);
    const uint8_t one[1] = {0x5A};
    EXPECT_EQ(Crc32Difference(one, 1, 12345) ^ Crc32Difference(one, 1, 12345), 0u);
    // 4 GiB and more behind the difference.
    EXPECT_NE(Crc32Difference(one, 1, int64_t{5} << 30), 0u);
}

// ---- The plan's checksum entries ----

std::vector<uint8_t> LittleEndian32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// A file of two regions, each with its CRC in front of it (as Matroska's CRC-32 elements lie).
struct TwoRegions {
    std::vector<uint8_t> file;
    std::vector<TChecksumRegion> regions;

    TwoRegions() {
        std::mt19937 random(5);
        file = RandomBytes(random, 400);
        for (int64_t start : {10, 200}) {
            TChecksumRegion region;
            region.ValueOffset = start - 4;
            region.Start = start;
            region.End = start + 150;
            region.Kind = &Crc32LittleEndian();
            region.What = "CRC-32 at " + std::to_string(start);
            const uint32_t crc = Crc32(file.data() + start, 150);
            region.Value = LittleEndian32(crc);
            std::copy(region.Value.begin(), region.Value.end(), file.begin() + start - 4);
            regions.push_back(region);
        }
    }
    bool Valid(const std::vector<uint8_t> &bytes, const TChecksumRegion &region) const {
        return LittleEndian32(BitwiseCrc32({bytes.begin() + region.Start, bytes.begin() + region.End})) ==
               std::vector<uint8_t>(bytes.begin() + region.ValueOffset,
                                    bytes.begin() + region.ValueOffset + 4);
    }
};

TPlanEntry Change(size_t row, const std::vector<uint8_t> &file, int64_t at,
                  std::vector<uint8_t> replacement) {
    TPlanEntry entry;
    entry.Row = row;
    entry.Description = "row " + std::to_string(row);
    std::vector<uint8_t> old(file.begin() + at, file.begin() + at + static_cast<int64_t>(replacement.size()));
    entry.Patches.push_back({at, old, std::move(replacement), "bytes of row " + std::to_string(row)});
    return entry;
}

// Only the regions a change touches get an entry; one SPS reached twice (the same patch from two rows)
// counts once, or its difference would cancel; a patch that straddles a region's end counts with its part
// inside. After the save every CRC holds, and the regions hold the values written.
TEST(PlanChecksums, TouchedRegionsAreBroughtUpToDate) {
    TwoRegions layout;
    TPatchPlan plan;
    plan.Entries.push_back(Change(0, layout.file, 220, {1, 2, 3}));
    plan.Entries.push_back(Change(1, layout.file, 220, {1, 2, 3}));
    plan.Entries.push_back(Change(2, layout.file, 158, {9, 9, 9, 9})); // 158..161: two bytes inside
    plan.AddChecksums(layout.regions);
    ASSERT_EQ(plan.Entries.size(), 5u);
    const TPlanEntry &first = plan.Entries[3];
    const TPlanEntry &second = plan.Entries[4];
    EXPECT_EQ(first.Kind, TPlanEntry::TKind::Checksum);
    EXPECT_EQ(first.Row, 2u);
    EXPECT_EQ(second.Row, 0u);
    EXPECT_EQ(second.Description, Format(SChecksumUpdated, "CRC-32 at 200"));
    ASSERT_EQ(second.Patches.size(), 1u);
    EXPECT_EQ(second.Patches[0].FileOffset, 196);

    TMemoryStream file(layout.file);
    plan.Apply(file);
    EXPECT_TRUE(layout.Valid(file.Bytes(), layout.regions[0]));
    EXPECT_TRUE(layout.Valid(file.Bytes(), layout.regions[1]));
    EXPECT_EQ(layout.regions[1].Value,
              std::vector<uint8_t>(file.Bytes().begin() + 196, file.Bytes().begin() + 200));
    EXPECT_EQ(layout.regions[0].Value,
              std::vector<uint8_t>(file.Bytes().begin() + 6, file.Bytes().begin() + 10));

    // A second save on the same regions starts from the values written.
    TPatchPlan again;
    again.Entries.push_back(Change(0, file.Bytes(), 20, {0xAA}));
    again.Entries.push_back(Change(1, file.Bytes(), 340, {0xBB, 0xCC}));
    again.AddChecksums(layout.regions);
    EXPECT_EQ(again.Entries.size(), 4u);
    again.Apply(file);
    EXPECT_TRUE(layout.Valid(file.Bytes(), layout.regions[0]));
    EXPECT_TRUE(layout.Valid(file.Bytes(), layout.regions[1]));
}

// Bytes written as they were change no checksum; a checksum that changed in the file since the scan is
// refused like any other place, and nothing is written.
TEST(PlanChecksums, UnchangedBytesAddNothingAndAChangedChecksumIsRefused) {
    TwoRegions layout;
    TPatchPlan same;
    same.Entries.push_back(Change(0, layout.file, 50, {layout.file[50], layout.file[51]}));
    same.AddChecksums(layout.regions);
    EXPECT_EQ(same.Entries.size(), 1u);

    TPatchPlan plan;
    plan.Entries.push_back(Change(3, layout.file, 50, {0, 0}));
    plan.AddChecksums(layout.regions);
    ASSERT_EQ(plan.Entries.size(), 2u);
    std::vector<uint8_t> changed = layout.file;
    changed[7] ^= 1;
    TMemoryStream file(changed);
    const std::vector<TWriteRefusal> refusals = plan.Check(file);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Index, 3u);
    EXPECT_EQ(refusals[0].Reason, Format(SFileChangedSinceScan, "CRC-32 at 10", 6));
    EXPECT_THROW(plan.Apply(file), Exception);
    EXPECT_EQ(file.Bytes(), changed);
}

} // namespace
