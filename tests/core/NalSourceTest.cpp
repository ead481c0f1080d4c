// Finding NAL units apart from reading them: behind start codes, behind length prefixes, and in the
// decoder configuration record.

#include "codec/NalSource.h"
#include "BitWriter.h"
#include "CoreTestSupport.h"
#include "base/Exceptions.h"
#include "h264/AvcConfig.h"

#include <gtest/gtest.h>

namespace {

struct Found {
    int64_t start;
    uint8_t header;
    std::vector<uint8_t> bytes;
    bool complete;
};

std::vector<Found> AllUnits(const std::vector<uint8_t> &bytes, int64_t from, int64_t to, int64_t limit = 64) {
    TMemoryStream stream(bytes);
    TFastBitstream reader(int64_t{16});
    reader.AttachRange(&stream, from, 0, to, 0);
    TAnnexBSource source(reader);
    std::vector<Found> found;
    while (source.Next()) {
        TNalUnitBytes unit = source.ReadUnit(limit);
        found.push_back({source.Start(), source.Header(), unit.Bytes, unit.Complete});
    }
    return found;
}

TEST(AnnexBSource, UnitsEndAtTheNextStartCodeAndLoseTheirTrailingZeros) {
    // 3- and 4-byte start codes, a 03 that stays, trailing zeros before a start code and at the end.
    const std::vector<uint8_t> bytes{0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x00, 0x01, 0x67, 0x00,
                                     0x00, 0x03, 0x01, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x00, 0x00};
    const std::vector<Found> units = AllUnits(bytes, 0, static_cast<int64_t>(bytes.size()));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].start, 3);
    EXPECT_EQ(units[0].bytes, (std::vector<uint8_t>{0x09, 0xF0}));
    EXPECT_EQ(units[1].start, 9);
    EXPECT_EQ(units[1].header, 0x67);
    EXPECT_EQ(units[1].bytes, (std::vector<uint8_t>{0x67, 0x00, 0x00, 0x03, 0x01}));
    EXPECT_TRUE(units[1].complete);
    EXPECT_EQ(units[2].bytes, (std::vector<uint8_t>{0x68, 0xCE}));
}

// A start code whose unit has no byte left in the range, and 00 00 02, which no unit may hold.
TEST(AnnexBSource, EmptyUnitsAndForbiddenSequencesEndWhatCameBefore) {
    const std::vector<uint8_t> bytes{0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x02, 0x11, 0x00, 0x00, 0x01};
    const std::vector<Found> units = AllUnits(bytes, 0, static_cast<int64_t>(bytes.size()));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].bytes, (std::vector<uint8_t>{0x67, 0x42}));
}

// A unit longer than the bytes asked for is cut and says so; the search goes on behind what was read.
TEST(AnnexBSource, AUnitLongerThanTheLimitIsCutAndTheSearchGoesOn) {
    std::vector<uint8_t> bytes{0x00, 0x00, 0x01, 0x67};
    bytes.insert(bytes.end(), 300, 0xAB);
    Append(bytes, {0x00, 0x00, 0x01, 0x68, 0x01});
    const std::vector<Found> units = AllUnits(bytes, 0, static_cast<int64_t>(bytes.size()), 100);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].bytes.size(), 100u);
    EXPECT_FALSE(units[0].complete);
    EXPECT_EQ(units[1].header, 0x68);
    // Read to its end when the limit allows it, across many small blocks.
    const std::vector<Found> whole = AllUnits(bytes, 0, static_cast<int64_t>(bytes.size()), 4096);
    EXPECT_EQ(whole[0].bytes.size(), 301u);
    EXPECT_TRUE(whole[0].complete);
}

// A unit cut by the range's end (the end of an AVI chunk) ends there: the bytes behind belong to
// something else.
TEST(AnnexBSource, TheRangeEndEndsAUnit) {
    const std::vector<uint8_t> bytes{0xEE, 0xEE, 0x00, 0x00, 0x01, 0x67, 0x4D, 0x40, 0x28, 0x99, 0x99};
    const std::vector<Found> units = AllUnits(bytes, 2, 8);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].bytes, (std::vector<uint8_t>{0x67, 0x4D, 0x40}));
    EXPECT_TRUE(units[0].complete);
}

// Every unit of a range in memory, read with the limit, as the AVI scan reads a payload it holds.
std::vector<Found> AllUnitsInMemory(const std::vector<uint8_t> &bytes, int64_t from, int64_t to,
                                    int64_t limit) {
    TAnnexBBytes source(bytes.data() + from, from, to);
    std::vector<Found> found;
    while (source.Next()) {
        TNalUnitBytes unit = source.ReadUnit(limit);
        found.push_back({source.Start(), source.Header(), unit.Bytes, unit.Complete});
    }
    return found;
}

bool operator==(const Found &a, const Found &b) {
    return a.start == b.start && a.header == b.header && a.bytes == b.bytes && a.complete == b.complete;
}

// Bytes thick with zeros, 01 and 03: from any start to any end, with any limit, the units in memory are
// those a reader finds, with the same bytes, cut the same way.
TEST(AnnexBBytes, FindsWhatAReaderFinds) {
    std::vector<uint8_t> bytes(700);
    uint32_t state = 99;
    for (uint8_t &byte : bytes) {
        state = state * 1103515245u + 12345u;
        const uint32_t pick = (state >> 16) % 9;
        byte = pick < 4 ? 0x00 : pick < 6 ? 0x01 : pick < 7 ? 0x03 : static_cast<uint8_t>(state >> 24);
    }
    for (int64_t from : {0, 1, 2, 3, 17, 64, 333})
        for (int64_t to : {int64_t{0}, from, from + 1, from + 2, from + 3, from + 90, int64_t{700}})
            for (int64_t limit : {1, 2, 3, 5, 64, 65, 1000}) {
                if (to < from)
                    continue;
                SCOPED_TRACE(testing::Message() << from << ".." << to << ", limit " << limit);
                const std::vector<Found> read = AllUnits(bytes, from, to, limit);
                EXPECT_TRUE(AllUnitsInMemory(bytes, from, to, limit) == read);
            }
}

TEST(LengthPrefixedSource, WalksLengthsOfEverySizeAndStopsAtOneThatOverruns) {
    for (int lengthSize : {1, 2, 4}) {
        SCOPED_TRACE(lengthSize);
        std::vector<uint8_t> bytes(3, 0xEE);
        auto unit = [&](std::vector<uint8_t> nal, size_t claimed) {
            for (int i = lengthSize - 1; i >= 0; --i)
                bytes.push_back(static_cast<uint8_t>(claimed >> (8 * i)));
            Append(bytes, nal);
        };
        unit({0x09, 0x10}, 2);
        unit({}, 0); // an empty unit is passed over
        unit({0x67, 0x42, 0x00, 0x0A}, 4);
        unit({0x65, 0x88}, 200); // claims more than the area holds
        TMemoryStream stream(bytes);
        TLengthPrefixedSource source(stream, 3, static_cast<int64_t>(bytes.size()), lengthSize);
        ASSERT_TRUE(source.Next());
        EXPECT_EQ(source.Header(), 0x09);
        EXPECT_EQ(source.Length(), 2);
        ASSERT_TRUE(source.Next());
        EXPECT_EQ(source.Header(), 0x67);
        EXPECT_EQ(source.Start(), 3 + 3 * lengthSize + 2);
        TNalUnitBytes sps = source.ReadUnit(3);
        EXPECT_EQ(sps.Bytes, (std::vector<uint8_t>{0x67, 0x42, 0x00}));
        EXPECT_FALSE(sps.Complete);
        EXPECT_EQ(source.ReadUnit(64).Bytes.size(), 4u);
        EXPECT_FALSE(source.Next());
        EXPECT_TRUE(source.Overrun());
        EXPECT_EQ(source.OverrunAt(), 3 + 3 * lengthSize + 6);
    }
}

// A million empty units cost a loop, not a stack.
TEST(LengthPrefixedSource, ManyEmptyUnitsAreWalkedWithoutRecursion) {
    TMemoryStream stream(std::vector<uint8_t>(4 << 20, 0x00));
    TLengthPrefixedSource source(stream, 0, stream.Size(), 4);
    EXPECT_FALSE(source.Next());
    EXPECT_FALSE(source.Overrun());
}

std::vector<uint8_t> Record(uint8_t lengthByte, std::vector<std::vector<uint8_t>> sps,
                            std::vector<std::vector<uint8_t>> pps) {
    std::vector<uint8_t> record{1, 0x64, 0x00, 0x28, lengthByte, static_cast<uint8_t>(0xE0 | sps.size())};
    for (const auto &set : sps) {
        Append(record, {static_cast<uint8_t>(set.size() >> 8), static_cast<uint8_t>(set.size())});
        Append(record, set);
    }
    record.push_back(static_cast<uint8_t>(pps.size()));
    for (const auto &set : pps) {
        Append(record, {static_cast<uint8_t>(set.size() >> 8), static_cast<uint8_t>(set.size())});
        Append(record, set);
    }
    return record;
}

TEST(AvcDecoderConfig, GivesTheLengthSizeAndWhereEachParameterSetLies) {
    const std::vector<uint8_t> record = Record(0xFF, {{0x67, 1, 2}, {0x67, 3}}, {{0x68, 4}});
    const TAvcDecoderConfig config = ReadAvcDecoderConfig(record.data(), record.size());
    EXPECT_EQ(config.LengthSize, 4);
    EXPECT_EQ(config.AVCProfileIndication, 0x64);
    ASSERT_EQ(config.SequenceParameterSets.size(), 2u);
    EXPECT_EQ(config.SequenceParameterSets[0].Offset, 8);
    EXPECT_EQ(config.SequenceParameterSets[0].Length, 3);
    EXPECT_EQ(config.SequenceParameterSets[1].Offset, 13);
    ASSERT_EQ(config.PictureParameterSets.size(), 1u);
    EXPECT_EQ(record[static_cast<size_t>(config.PictureParameterSets[0].Offset)], 0x68);
    EXPECT_EQ(ReadAvcDecoderConfig(Record(0xFC, {}, {}).data(), 7).LengthSize, 1);
}

TEST(AvcDecoderConfig, ARecordShorterThanItsCountsIsRefused) {
    std::vector<uint8_t> record = Record(0xFF, {{0x67, 1, 2, 3}}, {{0x68, 4}});
    for (size_t size = 0; size < record.size(); ++size)
        EXPECT_THROW(ReadAvcDecoderConfig(record.data(), size), Exception) << size;
    EXPECT_NO_THROW(ReadAvcDecoderConfig(record.data(), record.size()));
    record[4] = 0xFE; // three-byte lengths do not exist
    EXPECT_THROW(ReadAvcDecoderConfig(record.data(), record.size()), Exception);
}

} // namespace
