#include "bitstream/BitWriter.h"
#include "CoreTestSupport.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

std::string ErrorOf(const std::function<void()> &action) {
    try {
        action();
    } catch (const EInvalidOp &error) {
        return error.what();
    }
    return {};
}

uint32_t LowBits(uint32_t value, int count) {
    return count == 32 ? value : value & ((1u << count) - 1);
}

// Reads count bits from the bit position of the bytes, every byte taken as data, through blocks of four
// bytes.
uint32_t ReadBack(const std::vector<uint8_t> &bytes, int64_t bitPosition, uint8_t count) {
    TMemoryStream stream(bytes);
    TFastBitstream reader(&stream, 4);
    reader.SetEmulationPrevention(TEmulationPrevention::Absent);
    reader.SetPosition(bitPosition / 8, static_cast<uint8_t>(bitPosition % 8));
    return reader.ReadBits(count);
}

// Every width at every bit offset of the first three bytes, so that fields begin and end inside a byte,
// on its boundary and several bytes on; over zeros, ones and mixed bits, so that a bit set or cleared
// beside the field shows. The field's value has bits above its width, which must not be written.
TEST(BitWriter, AFieldAtAnyBitReadsBackAndLeavesEveryOtherBit) {
    const std::vector<std::vector<uint8_t>> backgrounds{
        std::vector<uint8_t>(8, 0x00),
        std::vector<uint8_t>(8, 0xFF),
        {0x5A, 0xC3, 0x96, 0x3C, 0x69, 0xA5, 0x0F, 0xF0},
    };
    for (const std::vector<uint8_t> &before : backgrounds)
        for (uint32_t value : {0xFFFFFFFFu, 0x00000000u, 0xB3C5A9E7u})
            for (int64_t bit = 0; bit < 24; ++bit)
                for (uint8_t count = 1; count <= 32; ++count) {
                    SCOPED_TRACE(testing::Message()
                                 << "bit " << bit << ", " << int{count} << " bits of " << std::hex << value);
                    TBitWriter writer(before);
                    writer.Write(bit, value, count);
                    EXPECT_EQ(writer.Bytes(), WithBits(before, bit / 8, static_cast<int>(bit % 8),
                                                       LowBits(value, count), count));
                    EXPECT_EQ(ReadBack(writer.Bytes(), bit, count), LowBits(value, count));
                    EXPECT_EQ(writer.BitCount(), 64);
                }
}

TEST(BitWriter, AFieldThatDoesNotFitIsRefusedAndWritesNothing) {
    const std::vector<uint8_t> before{0x12, 0x34, 0x56};
    TBitWriter writer(before);
    EXPECT_EQ(ErrorOf([&] { writer.Write(0, 1, 0); }), Format(SBitFieldWidth, 0));
    EXPECT_EQ(ErrorOf([&] { writer.Write(0, 1, 33); }), Format(SBitFieldWidth, 33));
    EXPECT_EQ(ErrorOf([&] { writer.Write(-1, 1, 2); }), Format(SBitsOutsideBytes, -1, 0, 3));
    // The last bit of the bytes is the last that may be written; the bytes never grow.
    EXPECT_EQ(ErrorOf([&] { writer.Write(17, 0, 8); }), Format(SBitsOutsideBytes, 17, 24, 3));
    EXPECT_EQ(ErrorOf([&] { writer.Write(0, 0, 32); }), Format(SBitsOutsideBytes, 0, 31, 3));
    EXPECT_EQ(writer.Bytes(), before);
    writer.Write(16, 0xA5, 8);
    EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{0x12, 0x34, 0xA5}));

    TBitWriter empty;
    EXPECT_EQ(ErrorOf([&] { empty.Write(0, 1, 1); }), Format(SBitsOutsideBytes, 0, 0, 0));
    EXPECT_TRUE(empty.Bytes().empty());
}

// Fields of every width one after the other, from any bit the bytes end at: each follows the last bit
// appended, the bytes grow as far as the bits need, and the bits after the last one are zero.
TEST(BitWriter, AppendedFieldsFollowOneAnother) {
    TBitWriter writer;
    std::vector<std::pair<uint32_t, uint8_t>> fields;
    int64_t bits = 0;
    for (uint8_t count = 1; count <= 32; ++count) {
        const uint32_t value = LowBits(0x9E3779B9u * count, count);
        writer.Append(value | (count < 32 ? 0x80000000u : 0), count);
        fields.push_back({value, count});
        bits += count;
        EXPECT_EQ(writer.BitCount(), bits);
        EXPECT_EQ(static_cast<int64_t>(writer.Bytes().size()), (bits + 7) / 8);
    }
    int64_t at = 0;
    for (auto [value, count] : fields) {
        EXPECT_EQ(ReadBack(writer.Bytes(), at, count), value) << int{count} << " bits at " << at;
        at += count;
    }
    // 528 bits: whole bytes, no padding. One bit more takes a byte of its own.
    writer.Append(1, 1);
    EXPECT_EQ(writer.Bytes().back(), 0x80);

    EXPECT_EQ(ErrorOf([&] { writer.Append(0, 33); }), Format(SBitFieldWidth, 33));
    EXPECT_EQ(writer.BitCount(), bits + 1);
}

TEST(BitWriter, AppendedBitsFollowTheBytesGiven) {
    TBitWriter writer(std::vector<uint8_t>{0xAB, 0xCD});
    EXPECT_EQ(writer.BitCount(), 16);
    writer.Append(0b101, 3);
    writer.Append(0x1FFF, 13);
    writer.Append(0, 2);
    EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{0xAB, 0xCD, 0xBF, 0xFF, 0x00}));
    EXPECT_EQ(writer.BitCount(), 34);
    // Written over afterwards in place, the appended bits are bits like the others.
    writer.Write(30, 0b1111, 4);
    EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{0xAB, 0xCD, 0xBF, 0xFF, 0xC0}));
}

} // namespace
