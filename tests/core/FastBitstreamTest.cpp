#include "BitWriter.h"
#include "CoreTestSupport.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"
#include "h264/uH264.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

constexpr int64_t Block = 4096;

// Never zero and different in every block: no emulation prevention and no start code arises.
uint8_t Pattern(int64_t offset) {
    return static_cast<uint8_t>(0x20 + (offset * 7 + offset / Block * 13) % 0xD0);
}

std::vector<uint8_t> PatternBytes(int64_t size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (int64_t i = 0; i < size; ++i)
        bytes[static_cast<size_t>(i)] = Pattern(i);
    return bytes;
}

std::string ErrorOf(const std::function<void()> &action) {
    try {
        action();
    } catch (const Exception &error) {
        return error.what();
    }
    return {};
}

std::string EndOfStream(int64_t streamPosition) {
    return Format(SUnexpectedEndOfStreamAt, streamPosition);
}

// Every data byte of the stream, emulation-prevention bytes left out.
std::vector<uint8_t> ReadAllBytes(TFastBitstream &reader) {
    std::vector<uint8_t> data;
    while (!reader.AtEnd())
        data.push_back(static_cast<uint8_t>(reader.ReadByte()));
    return data;
}

TEST(BitReader, AFreshReaderIsAtEndAndEveryReadFails) {
    TFastBitstream reader;
    EXPECT_EQ(reader.BufferSize(), 4096);
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ(ErrorOf([&] { reader.ReadBit(); }), EndOfStream(0));
    EXPECT_FALSE(reader.SeekNextStartCode());
}

TEST(BitReader, FixedWidthReadsTakeTheMostSignificantBitFirst) {
    TMemoryStream stream({0xDE, 0xAD, 0xBE, 0xEF, 0x80});
    TFastBitstream reader(&stream);
    EXPECT_EQ(reader.ReadBits(4), 0xDu);
    EXPECT_EQ(reader.ReadBits(32), 0xEADBEEF8u);
    EXPECT_EQ(reader.Position(), 4);
    EXPECT_EQ(reader.BitOffset(), 4);

    EXPECT_EQ(reader.ReadBits(0), 0u);
    EXPECT_EQ(ErrorOf([&] { reader.ReadBits(33); }), STooManyBits);
    EXPECT_EQ(reader.Position(), 4);
    EXPECT_EQ(reader.BitOffset(), 4);
    EXPECT_EQ(reader.ReadBits(4), 0u);
}

TEST(BitReader, AByteReadFromBitThreeEndsAtBitThreeOfTheNextByte) {
    TMemoryStream stream({0x12, 0x34, 0x56});
    TFastBitstream reader(&stream);
    reader.SetPosition(0, 3);
    EXPECT_EQ(reader.ReadByte(), 0x91u); // 10010 of 0x12, then 001 of 0x34
    EXPECT_EQ(reader.Position(), 1);
    EXPECT_EQ(reader.BitOffset(), 3);
}

TEST(BitReader, EmulationPreventionBytesArePassedOver) {
    struct Case {
        std::vector<uint8_t> raw;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}},
        {{0x00, 0x00, 0x03, 0x03, 0x00}, {0x00, 0x00, 0x03, 0x00}},
        {{0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x00, 0x00, 0x01}},
        {{0x03, 0x00, 0x03, 0x00, 0x00, 0x04, 0x03}, {0x03, 0x00, 0x03, 0x00, 0x00, 0x04, 0x03}},
    };
    for (const Case &c : cases) {
        TMemoryStream stream(c.raw);
        TFastBitstream reader(&stream);
        EXPECT_EQ(ReadAllBytes(reader), c.data);
    }
    TMemoryStream stream({0x00, 0x00, 0x03, 0x01});
    TFastBitstream reader(&stream);
    EXPECT_EQ(reader.ReadBits(24), 1u);
    EXPECT_EQ(reader.Position(), 4);
}

// Without emulation prevention (MPEG-2 video, MPEG-4 Visual) the same bytes are data: 00 00 03 is read
// as the three bytes it is. The mode stays through attaching another range and can be switched back.
TEST(BitReader, WithoutEmulationPreventionEveryByteIsData) {
    TMemoryStream stream({0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x03});
    TFastBitstream reader(&stream);
    EXPECT_EQ(reader.EmulationPrevention(), TEmulationPrevention::Present);
    EXPECT_EQ(reader.ReadBits(24), 0x000001u);
    EXPECT_EQ(reader.ReadBits(24), 0x000003u);
    EXPECT_TRUE(reader.AtEnd());

    reader.SetEmulationPrevention(TEmulationPrevention::Absent);
    reader.AttachRange(&stream, 0, 0, stream.Size(), 0);
    EXPECT_EQ(reader.ReadBits(32), 0x00000301u);
    EXPECT_EQ(reader.ReadBits(32), 0x00000303u);
    EXPECT_TRUE(reader.AtEnd());

    reader.SetEmulationPrevention(TEmulationPrevention::Present);
    reader.SetPosition(0, 0);
    EXPECT_EQ(reader.ReadBits(24), 0x000001u);
}

// Bytes thick with 00 00 03 at every place of blocks of any size: read without emulation prevention they
// come back as they are, with it the 03s after two zeros are left out as before.
TEST(BitReader, WithoutEmulationPreventionBlocksOfAnySizeReadTheRawBytes) {
    std::vector<uint8_t> raw;
    std::vector<uint8_t> data;
    for (int i = 0; i < 65; ++i) {
        Append(raw, i % 3 == 0 ? std::vector<uint8_t>{0x00, 0x00, 0x03} : std::vector<uint8_t>{0x03, 0x00});
        Append(data, i % 3 == 0 ? std::vector<uint8_t>{0x00, 0x00} : std::vector<uint8_t>{0x03, 0x00});
    }
    for (int64_t blockSize : {1, 2, 3, 4, 5, 7, 4096}) {
        SCOPED_TRACE(blockSize);
        TMemoryStream stream(raw);
        TFastBitstream reader(&stream, blockSize);
        reader.SetEmulationPrevention(TEmulationPrevention::Absent);
        reader.AttachStream(&stream);
        EXPECT_EQ(ReadAllBytes(reader), raw);
        EXPECT_EQ(ErrorOf([&] { reader.ReadBit(); }), EndOfStream(static_cast<int64_t>(raw.size())));

        reader.SetEmulationPrevention(TEmulationPrevention::Present);
        reader.SetPosition(0, 0);
        EXPECT_EQ(ReadAllBytes(reader), data);
    }
}

// An Exp-Golomb code across 00 00 03: without emulation prevention the 03 holds the code's last zeros and
// its 1; with it the 03 is passed over and the code ends in the bytes after it.
TEST(ExpGolomb, CodesAcrossZeroZeroThreeInBothModes) {
    TMemoryStream stream({0x00, 0x00, 0x03, 0xFF, 0xFF, 0xFB});
    TFastBitstream reader(&stream);
    reader.SetEmulationPrevention(TEmulationPrevention::Absent);
    reader.AttachStream(&stream);
    EXPECT_EQ(reader.ReadUE(), 8388606u); // 22 zeros, the 1, then 22 ones
    EXPECT_EQ(reader.Position(), 5);
    EXPECT_EQ(reader.BitOffset(), 5);
    EXPECT_EQ(reader.ReadSE(), -1); // 011, the last bits
    EXPECT_EQ(ErrorOf([&] { reader.ReadUE(); }), EndOfStream(6));

    reader.SetEmulationPrevention(TEmulationPrevention::Present);
    reader.SetPosition(0, 0);
    EXPECT_EQ(reader.ReadUE(), 131070u); // 16 zeros, the 1, then 16 ones
    EXPECT_EQ(reader.Position(), 5);
    EXPECT_EQ(reader.BitOffset(), 1);
    EXPECT_EQ(reader.ReadSE(), 0);
    EXPECT_EQ(ErrorOf([&] { reader.ReadBits(7); }), EndOfStream(6));
}

TEST(BitReader, EndOfStreamNamesWhereTheLastBlockLoadLeftTheStream) {
    TempDir dir;
    for (int64_t size : {int64_t{4096}, int64_t{5000}}) {
        WriteFile(dir.File("stream.bin"), PatternBytes(size));
        TMemoryStream memory(PatternBytes(size));
        TFileStream file(dir.File("stream.bin"), TFileOpenMode::ReadShareDenyWrite);
        for (TStream *stream : {static_cast<TStream *>(&memory), static_cast<TStream *>(&file)}) {
            TFastBitstream reader(stream);
            EXPECT_TRUE(ReadAllBytes(reader) == PatternBytes(size));
            EXPECT_EQ(ErrorOf([&] { reader.ReadBit(); }), EndOfStream(size));
            EXPECT_EQ(reader.Position(), size);
        }
    }
    EXPECT_EQ(EndOfStream(4096), "Unexpected end of stream. Position: 00001000");
    EXPECT_EQ(EndOfStream(5000), "Unexpected end of stream. Position: 00001388");
}

TEST(BitReader, ReadsStayInsideTheRange) {
    TMemoryStream stream(PatternBytes(16));
    TFastBitstream reader;
    reader.AttachRange(&stream, 2, 0, 6, 0);
    EXPECT_EQ(ReadAllBytes(reader), (std::vector<uint8_t>{Pattern(2), Pattern(3), Pattern(4), Pattern(5)}));
    // The message names the place of the failed read, not how far the blocks were read.
    EXPECT_EQ(ErrorOf([&] { reader.ReadBits(3); }), EndOfStream(6));
    EXPECT_EQ(reader.Position(), 6);
    EXPECT_EQ(reader.BitOffset(), 0);

    // Narrowing the range past the position moves the reader to the new start.
    reader.SetPosition(3, 0);
    reader.SetRange(8, 0, 12, 0);
    EXPECT_EQ(reader.Position(), 8);
    EXPECT_EQ(reader.ReadByte(), Pattern(8));

    // Widened again after reading up to its end, the range goes on with the right bytes.
    TMemoryStream blocks(PatternBytes(3 * Block));
    reader.AttachRange(&blocks, Block - 2, 0, Block, 0);
    EXPECT_EQ(reader.ReadBits(16), (uint32_t{Pattern(Block - 2)} << 8) | Pattern(Block - 1));
    EXPECT_TRUE(reader.AtEnd());
    reader.SetRange(Block - 2, 0, 3 * Block, 0);
    EXPECT_EQ(reader.ReadByte(), Pattern(Block));
}

TEST(ExpGolomb, UnsignedAndSignedCodes) {
    BitWriter bits;
    bits.Bits(0b1, 1);
    bits.Bits(0b010, 3);
    bits.Bits(0b011, 3);
    bits.Bits(0b00100, 5);
    bits.Bits(0, 31);
    bits.Bits(1, 1);
    bits.Bits(0x7FFFFFFF, 31);
    for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 4294967293u, 4294967294u})
        bits.UE(code);
    bits.Bits(0, 8);
    TMemoryStream stream(bits.Bytes());
    TFastBitstream reader(&stream);
    for (uint32_t expected : {0u, 1u, 2u, 3u, 4294967294u})
        EXPECT_EQ(reader.ReadUE(), expected);
    for (int32_t expected : {0, 1, -1, 2, -2, 2147483647, -2147483647})
        EXPECT_EQ(reader.ReadSE(), expected);
}

// The 32nd zero ends the code: a run of zero bits is not counted to its end, however long it is.
TEST(ExpGolomb, ThirtyTwoLeadingZerosOverflowAtTheLastOfThem) {
    BitWriter bits;
    bits.Bits(0, 32);
    bits.Bits(1, 1);
    bits.Bits(0xFF, 15);
    TMemoryStream stream(bits.Bytes());
    TFastBitstream reader(&stream);
    EXPECT_EQ(ErrorOf([&] { reader.ReadUE(); }), SExpGolombOverflow);
    EXPECT_EQ(reader.Position(), 4);
    EXPECT_EQ(reader.BitOffset(), 0);

    TMemoryStream megabyte(std::vector<uint8_t>(1 << 20, 0x00));
    TFastBitstream run(&megabyte);
    run.SetPosition(1, 3);
    EXPECT_EQ(ErrorOf([&] { run.ReadSE(); }), SExpGolombOverflow);
    EXPECT_EQ(run.Position(), 5);

    TMemoryStream zeros({0x00, 0x00});
    TFastBitstream short_(&zeros);
    EXPECT_THROW(short_.ReadUE(), EInOutError);
}

// An emulation-prevention byte at block offset 0, 1 or 2, its zero bytes partly in the block before (or
// at offset 64 or 65, where the marks of the block's second 64th begin), reached in the ways the ring can
// be filled.
enum class Approach { Sequential, JumpToFirstZero, JumpToEpb, BackOneBlockAtATime, BackTwoBlocksAtATime };

class BlockStartEpb : public ::testing::TestWithParam<std::tuple<int64_t, Approach>> {};

TEST_P(BlockStartEpb, IsPassedOver) {
    auto [epb, approach] = GetParam();
    std::vector<uint8_t> bytes = PatternBytes(6 * Block);
    bytes[epb - 2] = 0x00;
    bytes[epb - 1] = 0x00;
    bytes[epb] = 0x03;
    bytes[epb + 1] = 0x02;
    TMemoryStream stream(bytes);
    TFastBitstream reader(&stream);
    switch (approach) {
    case Approach::Sequential:
        for (int64_t i = 0; i < epb - 2; ++i)
            ASSERT_EQ(reader.ReadByte(), Pattern(i));
        break;
    case Approach::JumpToFirstZero:
        reader.SetPosition(epb - 2, 0);
        break;
    case Approach::JumpToEpb:
        reader.SetPosition(epb, 0);
        EXPECT_EQ(reader.ReadByte(), 0x02u);
        return;
    case Approach::BackOneBlockAtATime:
    case Approach::BackTwoBlocksAtATime: {
        int64_t step = approach == Approach::BackOneBlockAtATime ? Block : 2 * Block;
        reader.SetPosition(5 * Block + 10, 0);
        while (reader.Position() - step >= epb)
            reader.Skip(-step, 0);
        reader.Skip(epb - 2 - reader.Position(), 0);
        break;
    }
    }
    EXPECT_EQ(reader.ReadBits(24), 0x000002u);
    EXPECT_EQ(reader.Position(), epb + 2);
    EXPECT_EQ(reader.ReadByte(), Pattern(epb + 2));
}

INSTANTIATE_TEST_SUITE_P(
    BlockOffsets012, BlockStartEpb,
    ::testing::Combine(::testing::Values(4096, 4097, 4098, 3 * Block + 1, Block + 64, Block + 65),
                       ::testing::Values(Approach::Sequential, Approach::JumpToFirstZero, Approach::JumpToEpb,
                                         Approach::BackOneBlockAtATime, Approach::BackTwoBlocksAtATime)));

TEST(BlockRing, ASequentialPassLoadsEveryBlockOnce) {
    CountingStream stream(PatternBytes(4 * Block + 1000));
    {
        TFastBitstream reader(&stream);
        std::vector<uint8_t> data = ReadAllBytes(reader);
        EXPECT_TRUE(data == PatternBytes(4 * Block + 1000));
    }
    EXPECT_EQ(stream.LoadedBlocks(Block), (std::vector<int64_t>{0, 1, 2, 3, 4}));
    stream.ClearLog();
    TFastBitstream searcher(&stream);
    EXPECT_FALSE(searcher.SeekNextStartCode());
    EXPECT_EQ(stream.LoadedBlocks(Block), (std::vector<int64_t>{0, 1, 2, 3, 4}));
}

// Blocks of any size, down to one byte, read the same: an SPS with emulation-prevention bytes decodes to
// the same fields at the same positions.
TEST(BlockRing, AnyBlockSizeDecodesTheSame) {
    SpsFields f;
    f.pic_order_cnt_type = 1;
    f.offset_for_ref_frame = {1 << 24, 1 << 24, -7};
    f.vui = true;
    f.aspect_ratio_idc = 255;
    f.sar_width = 256;
    f.sar_height = 1;
    std::vector<uint8_t> bytes{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
    Append(bytes, WithStartCode(BuildSps(f).nal));
    Append(bytes, {0x00, 0x00, 0x01, 0x68, 0xCE, 0x38, 0x80});
    TMemoryStream stream(bytes);
    TFastBitstream usual(&stream);
    SpsScan expected = ScanForSps(usual);
    ASSERT_EQ(expected.Units.size(), 1u);
    const TSequenceParameterSet &sps = *expected.Units[0]->SequenceParameterSet;
    ASSERT_EQ(sps.SarWidth(), 256);
    for (int64_t blockSize : {1, 2, 3, 5, 64}) {
        SCOPED_TRACE(blockSize);
        TFastBitstream reader(&stream, blockSize);
        SpsScan scan = ScanForSps(reader);
        ASSERT_EQ(scan.Units.size(), 1u);
        const TSequenceParameterSet &other = *scan.Units[0]->SequenceParameterSet;
        EXPECT_EQ(scan.Units[0]->Position, expected.Units[0]->Position);
        EXPECT_EQ(scan.NalTypes, expected.NalTypes);
        EXPECT_EQ(other.num_ref_frames_in_pic_order_cnt_cycle, 3u);
        EXPECT_EQ(other.Width(), sps.Width());
        EXPECT_EQ(other.Height(), sps.Height());
        EXPECT_EQ(other.SarWidth(), 256);
        EXPECT_EQ(other.SarHeight(), 1);
        EXPECT_EQ(other.VUIParameters->Position, sps.VUIParameters->Position);
        EXPECT_EQ(other.VUIParameters->BitOffset, sps.VUIParameters->BitOffset);
    }
}

// Blocks lent by the stream read as blocks copied out of it: the same bytes, emulation-prevention bytes
// and start codes, across every block boundary and from any start.
TEST(BlockRing, LentBlocksReadAsCopiedOnes) {
    std::vector<uint8_t> bytes(5 * Block + 333);
    uint32_t state = 777;
    for (uint8_t &byte : bytes) {
        state = state * 1103515245u + 12345u;
        uint32_t pick = (state >> 16) % 10;
        byte = pick < 4 ? 0x00 : pick < 6 ? 0x01 : pick < 7 ? 0x03 : static_cast<uint8_t>(state >> 24);
    }
    TMemoryStream lending(bytes);
    CountingStream copying(bytes);
    for (int64_t blockSize : {Block, int64_t{5}}) {
        for (int64_t start : {int64_t{0}, int64_t{2}, Block - 1, 2 * Block + 1}) {
            SCOPED_TRACE(testing::Message() << "block " << blockSize << ", start " << start);
            TFastBitstream lent(blockSize);
            TFastBitstream copied(blockSize);
            lent.AttachRange(&lending, start, 0, lending.Size(), 0);
            copied.AttachRange(&copying, start, 0, copying.Size(), 0);
            std::vector<int64_t> lentCodes, copiedCodes;
            while (lent.SeekNextStartCode())
                lentCodes.push_back(lent.Position());
            while (copied.SeekNextStartCode())
                copiedCodes.push_back(copied.Position());
            EXPECT_EQ(lentCodes, copiedCodes);
            lent.SetPosition(start, 0);
            copied.SetPosition(start, 0);
            EXPECT_TRUE(ReadAllBytes(lent) == ReadAllBytes(copied));
        }
    }
}

struct RingMove {
    int64_t fromBlock;
    int64_t blocks;
    std::vector<int64_t> loads;
};

class BlockRingMove : public ::testing::TestWithParam<RingMove> {};

TEST_P(BlockRingMove, ReusesTheBlocksItHolds) {
    const RingMove &move = GetParam();
    CountingStream stream(PatternBytes(8 * Block));
    TFastBitstream reader(&stream);
    reader.SetPosition(move.fromBlock * Block + 100, 0);
    stream.ClearLog();
    reader.Skip(move.blocks * Block, 0);
    std::vector<int64_t> loaded = stream.LoadedBlocks(Block);
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded, move.loads);
    // Whatever was reused must still be the right block: look around the new position.
    int64_t position = reader.Position();
    for (int64_t delta : {int64_t{0}, -Block, 2 * Block, -2 * Block}) {
        if (position + delta < 0 || position + delta >= 8 * Block)
            continue;
        reader.Skip(position + delta - reader.Position(), 0);
        EXPECT_EQ(reader.ReadByte(), Pattern(position + delta)) << "at " << position + delta;
    }
}

INSTANTIATE_TEST_SUITE_P(Moves, BlockRingMove,
                         ::testing::Values(RingMove{2, 0, {}}, RingMove{2, 1, {4}}, RingMove{2, 2, {4, 5}},
                                           RingMove{3, -1, {1}}, RingMove{4, -2, {1, 2}},
                                           RingMove{1, 3, {3, 4, 5}}, RingMove{5, -3, {1, 2, 3}},
                                           RingMove{6, 1, {}}));

// The walk over AVI chunks: each sets its range, then its position, and often begins in blocks that the
// chunk before it left in the ring. No block is read twice, the stream stands where reading the blocks
// would leave it, and the bytes read are the right ones. Reading a chunk's last byte moves the ring on
// when that byte lies in the block after the first one.
TEST(BlockRing, ChunksInBlocksTheRingHoldsReadEachBlockOnce) {
    CountingStream stream(PatternBytes(8 * Block));
    TFastBitstream reader(&stream);
    struct Chunk {
        int64_t start, end;
        std::vector<int64_t> loads;
    };
    for (const Chunk &chunk :
         {Chunk{3 * Block + 10, 5 * Block, {2, 3, 4}}, Chunk{4 * Block + 100, 6 * Block, {}},
          Chunk{4 * Block + 900, 5 * Block, {3}}, Chunk{6 * Block + 1, 7 * Block, {6, 7}},
          Chunk{Block + 5, 2 * Block, {0, 1, 2}}}) {
        SCOPED_TRACE(chunk.start);
        stream.ClearLog();
        reader.SetRange(chunk.start, 0, chunk.end, 0);
        reader.SetPosition(chunk.start, 0);
        EXPECT_EQ(stream.LoadedBlocks(Block), chunk.loads);
        EXPECT_EQ(stream.Position(), (chunk.start / Block + 2) * Block);
        EXPECT_EQ(reader.ReadByte(), Pattern(chunk.start));
        reader.Skip(chunk.end - 1 - reader.Position(), 0);
        EXPECT_EQ(reader.ReadByte(), Pattern(chunk.end - 1));
    }
}

TEST(StartCodeSearch, ThreeAndFourByteStartCodes) {
    TMemoryStream three({0x00, 0x00, 0x01, 0x67});
    TFastBitstream reader(&three);
    EXPECT_TRUE(reader.SeekNextStartCode());
    EXPECT_EQ(reader.Position(), 3);
    EXPECT_EQ(reader.BitOffset(), 0);

    TMemoryStream four({0x00, 0x00, 0x00, 0x01, 0x67});
    TFastBitstream reader4(&four);
    EXPECT_TRUE(reader4.SeekNextStartCode());
    EXPECT_EQ(reader4.Position(), 4);

    // A 01 after a single zero is no prefix.
    TMemoryStream single({0xFF, 0x00, 0x01, 0x00, 0x00, 0x01, 0x67});
    TFastBitstream reader1(&single);
    EXPECT_TRUE(reader1.SeekNextStartCode());
    EXPECT_EQ(reader1.Position(), 6);
}

TEST(StartCodeSearch, PrefixesAcrossABlockBoundary) {
    for (int64_t one : {int64_t{4096}, int64_t{4097}}) {
        std::vector<uint8_t> bytes = PatternBytes(3 * Block);
        bytes[one - 2] = 0x00;
        bytes[one - 1] = 0x00;
        bytes[one] = 0x01;
        // False alarms before it: a 01 after one zero, and zeros not followed by 01.
        bytes[100] = 0x00;
        bytes[101] = 0x01;
        bytes[200] = 0x00;
        bytes[201] = 0x00;
        bytes[202] = 0x02;
        bytes[203] = 0x01;
        bytes[one - 6] = 0x00;
        bytes[one - 5] = 0x01;
        TMemoryStream stream(bytes);
        TFastBitstream reader(&stream);
        EXPECT_TRUE(reader.SeekNextStartCode());
        EXPECT_EQ(reader.Position(), one + 1);
        // Started on the 01 byte, with its zeros already passed.
        reader.SetPosition(one, 0);
        EXPECT_TRUE(reader.SeekNextStartCode());
        EXPECT_EQ(reader.Position(), one + 1);
        EXPECT_FALSE(reader.SeekNextStartCode());
        EXPECT_TRUE(reader.AtEnd());
    }
}

// Bytes thick with zeros and 01s, so that prefixes and near misses fall at every place of the search's
// groups of bytes and across block ends: the search finds what a byte-by-byte look finds, from any start.
TEST(StartCodeSearch, FindsWhatAByteByByteLookFinds) {
    std::vector<uint8_t> bytes(3 * Block + 77);
    uint32_t state = 12345;
    for (uint8_t &byte : bytes) {
        state = state * 1103515245u + 12345u;
        uint32_t pick = (state >> 16) % 8;
        byte = pick < 4 ? 0x00 : pick < 6 ? 0x01 : static_cast<uint8_t>(state >> 24);
    }
    TMemoryStream stream(bytes);
    for (int64_t blockSize : {Block, int64_t{100}, int64_t{7}}) {
        for (int64_t start : {0, 1, 2, 3, 15, 16, 17, 63, 64, 65, 4093, 4094, 4095}) {
            SCOPED_TRACE(testing::Message() << "block " << blockSize << ", start " << start);
            std::vector<int64_t> expected;
            // The whole start code lies inside the range.
            for (int64_t i = start + 2; i < static_cast<int64_t>(bytes.size()); ++i)
                if (bytes[i] == 1 && bytes[i - 1] == 0 && bytes[i - 2] == 0)
                    expected.push_back(i + 1);
            TFastBitstream reader(blockSize);
            reader.AttachRange(&stream, start, 0, static_cast<int64_t>(bytes.size()), 0);
            std::vector<int64_t> found;
            while (reader.SeekNextStartCode())
                found.push_back(reader.Position());
            EXPECT_EQ(found, expected);
        }
    }
}

TEST(StartCodeSearch, FromInsideAByteTheSearchBeginsAtTheNextByte) {
    std::vector<uint8_t> bytes = PatternBytes(32);
    bytes[8] = bytes[9] = 0x00;
    bytes[10] = 0x01;
    bytes[20] = bytes[21] = 0x00;
    bytes[22] = 0x01;
    TMemoryStream stream(bytes);
    TFastBitstream reader(&stream);
    reader.SetPosition(10, 5);
    EXPECT_TRUE(reader.SeekNextStartCode());
    EXPECT_EQ(reader.Position(), 23);

    bytes = PatternBytes(32);
    bytes[9] = bytes[10] = 0x00;
    bytes[11] = 0x01;
    TMemoryStream next(bytes);
    TFastBitstream reader2(&next);
    reader2.SetPosition(10, 5);
    EXPECT_TRUE(reader2.SeekNextStartCode());
    EXPECT_EQ(reader2.Position(), 12);
}

TEST(StartCodeSearch, TheRangeBoundsTheSearch) {
    std::vector<uint8_t> bytes = PatternBytes(32);
    bytes[7] = bytes[8] = 0x00;
    bytes[9] = 0x01;
    TMemoryStream stream(bytes);
    TFastBitstream reader;

    reader.AttachRange(&stream, 0, 0, 10, 0);
    EXPECT_TRUE(reader.SeekNextStartCode());
    EXPECT_EQ(reader.Position(), 10);
    EXPECT_FALSE(reader.SeekNextStartCode());
    EXPECT_EQ(reader.Position(), 10);

    // The byte at the range end is not tested.
    reader.AttachRange(&stream, 0, 0, 9, 0);
    EXPECT_FALSE(reader.SeekNextStartCode());
    EXPECT_TRUE(reader.AtEnd());

    // Zero bytes in front of the range take no part: the size field of an AVI chunk does not make a 01 at
    // the start of its payload a start code. Nor does one zero in front with one inside.
    reader.AttachRange(&stream, 9, 0, 20, 0);
    EXPECT_FALSE(reader.SeekNextStartCode());
    reader.AttachRange(&stream, 8, 0, 20, 0);
    EXPECT_FALSE(reader.SeekNextStartCode());
    reader.AttachRange(&stream, 7, 0, 20, 0);
    EXPECT_TRUE(reader.SeekNextStartCode());
    EXPECT_EQ(reader.Position(), 10);

    reader.AttachRange(&stream, 12, 0, 32, 0);
    EXPECT_FALSE(reader.SeekNextStartCode());
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ(reader.Position(), 32);

    // A range that claims more bytes than the stream holds.
    reader.AttachRange(&stream, 12, 0, 5000, 0);
    EXPECT_FALSE(reader.SeekNextStartCode());
    EXPECT_TRUE(reader.AtEnd());
}

// Writes the bytes at (position, bit) through a reader over the stream.
void WriteBytesAt(TFastBitstream &writer, int64_t position, uint8_t bit, const std::vector<uint8_t> &values) {
    writer.SetPosition(position, bit);
    writer.BeginWrite(8);
    for (uint8_t value : values)
        EXPECT_TRUE(writer.WriteByte(value));
    EXPECT_TRUE(writer.EndWrite());
}

TEST(InPlaceWrite, AByteAtBitThreeOverFFFF) {
    CountingStream stream({0xFF, 0xFF, 0x11});
    TFastBitstream writer(&stream);
    WriteBytesAt(writer, 0, 3, {0xAB});
    EXPECT_EQ(stream.Bytes(), (std::vector<uint8_t>{0xF5, 0x7F, 0x11}));
    ASSERT_EQ(stream.Writes.size(), 1u);
    EXPECT_EQ(stream.Writes[0].Offset, 0);
    EXPECT_EQ(stream.Writes[0].Count, 2u);
    EXPECT_EQ(writer.Position(), 1);
    EXPECT_EQ(writer.BitOffset(), 3);
}

TEST(InPlaceWrite, AByteAtBitZeroWritesExactlyOneByte) {
    CountingStream stream({0x11, 0x22, 0x33});
    TFastBitstream writer(&stream);
    WriteBytesAt(writer, 1, 0, {0xC4});
    EXPECT_EQ(stream.Bytes(), (std::vector<uint8_t>{0x11, 0xC4, 0x33}));
    ASSERT_EQ(stream.Writes.size(), 1u);
    EXPECT_EQ(stream.Writes[0].Offset, 1);
    EXPECT_EQ(stream.Writes[0].Count, 1u);
}

// Small blocks make every written byte cross into the next block.
class WriteAtBit : public ::testing::TestWithParam<std::tuple<uint8_t, int64_t>> {};

TEST_P(WriteAtBit, KeepsTheBitsAroundAndReadsBack) {
    auto [bit, blockSize] = GetParam();
    const std::vector<uint8_t> before{0x5A, 0xC3, 0x96, 0x3C, 0x69, 0xA5, 0x0F, 0xF0};
    CountingStream stream(before);
    TFastBitstream writer(&stream, blockSize);
    WriteBytesAt(writer, 1, bit, {0xA5, 0x0F, 0xE1, 0x3B, 0x80});
    EXPECT_EQ(stream.Bytes(), WithBits(before, 1, bit, 0xA50FE13B80, 40));
    ASSERT_EQ(stream.Writes.size(), 1u);
    EXPECT_EQ(stream.Writes[0].Offset, 1);
    EXPECT_EQ(stream.Writes[0].Count, bit == 0 ? 5u : 6u);
    // The ring holds the new bytes.
    writer.SetPosition(1, bit);
    EXPECT_EQ(writer.ReadBits(32), 0xA50FE13Bu);
    EXPECT_EQ(writer.ReadByte(), 0x80u);
}

INSTANTIATE_TEST_SUITE_P(BitOffsets, WriteAtBit,
                         ::testing::Combine(::testing::Values(0, 1, 3, 7), ::testing::Values(2, 3, 4096)));

TEST(InPlaceWrite, ASpanAcrossABlockBoundary) {
    std::vector<uint8_t> before = PatternBytes(3 * Block);
    CountingStream stream(before);
    TFastBitstream writer(&stream);
    WriteBytesAt(writer, 4094, 3, {0xFF, 0x00, 0xFF, 0x00, 0xFF});
    EXPECT_TRUE(stream.Bytes() == WithBits(before, 4094, 3, 0xFF00FF00FF, 40));
    ASSERT_EQ(stream.Writes.size(), 1u);
    EXPECT_EQ(stream.Writes[0].Offset, 4094);
    EXPECT_EQ(stream.Writes[0].Count, 6u);
}

// Read again without a reload, the written bytes come from the ring with the marks made from the bytes
// as they were loaded: a 03 written after two zeros is data there, while a fresh reader passes over it.
TEST(InPlaceWrite, TheRingHoldsTheNewBytesWithTheMarksAsLoaded) {
    CountingStream stream({0x00, 0x00, 0xFF, 0x44});
    TFastBitstream writer(&stream);
    WriteBytesAt(writer, 2, 0, {0x03});
    size_t reads = stream.Reads.size();
    writer.Skip(-3, 0);
    EXPECT_EQ(writer.ReadBits(32), 0x00000344u);
    EXPECT_EQ(stream.Reads.size(), reads);
    TFastBitstream fresh(&stream);
    EXPECT_EQ(fresh.ReadBits(24), 0x000044u);
}

// A memory stream lends its blocks to the ring; a write copies the block it changes into the ring's own
// buffer first, so the stream's bytes change when the write ends and not before.
TEST(InPlaceWrite, LentBlocksChangeOnlyWhenTheWriteEnds) {
    const std::vector<uint8_t> before = PatternBytes(3 * Block);
    TMemoryStream stream(before);
    TFastBitstream writer(&stream);
    writer.SetPosition(Block + 4094, 3);
    writer.BeginWrite(8);
    for (uint8_t value : {0xFF, 0x00, 0xFF, 0x00, 0xFF})
        EXPECT_TRUE(writer.WriteByte(value));
    EXPECT_TRUE(stream.Bytes() == before);
    EXPECT_TRUE(writer.EndWrite());
    EXPECT_TRUE(stream.Bytes() == WithBits(before, Block + 4094, 3, 0xFF00FF00FF, 40));
    writer.SetPosition(Block + 4094, 3);
    EXPECT_EQ(writer.ReadBits(32), 0xFF00FF00u);
    EXPECT_EQ(writer.ReadByte(), 0xFFu);
}

TEST(InPlaceWrite, AByteThatWouldCrossTheRangeEndIsRefused) {
    const std::vector<uint8_t> before(8, 0x55);
    CountingStream stream(before);
    TFastBitstream writer;
    writer.AttachRange(&stream, 0, 0, 4, 0);
    writer.SetPosition(3, 1);
    writer.BeginWrite(8);
    EXPECT_FALSE(writer.WriteByte(0x00));
    EXPECT_EQ(writer.Position(), 3);
    EXPECT_EQ(writer.BitOffset(), 1);
    EXPECT_EQ(writer.PendingCount(), 0);
    writer.EndWrite();
    EXPECT_EQ(stream.Bytes(), before);
    writer.SetPosition(3, 1);
    EXPECT_EQ(writer.ReadBits(7), 0x55u);

    // The last whole byte of the range fits; nothing after it does.
    writer.SetPosition(3, 0);
    writer.BeginWrite(8);
    EXPECT_TRUE(writer.WriteByte(0x00));
    EXPECT_FALSE(writer.WriteByte(0x00));
    writer.EndWrite();
    EXPECT_EQ(stream.Bytes(), (std::vector<uint8_t>{0x55, 0x55, 0x55, 0x00, 0x55, 0x55, 0x55, 0x55}));
}

TEST(InPlaceWrite, WithoutAStreamNothingIsWritten) {
    TFastBitstream writer;
    EXPECT_TRUE(writer.BeginWrite(8));
    EXPECT_FALSE(writer.WriteByte(0x12));
    EXPECT_FALSE(writer.EndWrite());
}

TEST(BitHelpers, SwapAndRotate) {
    EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
    EXPECT_EQ(RotateRight16(0x00FF, 3), 0xE01F);
    EXPECT_EQ(RotateRight16(0x00FF, 0), 0x00FF);
    EXPECT_EQ(RotateRight16(0x00FF, 16), 0x00FF);
    EXPECT_EQ(RotateRight16(0x00FF, 19), 0xE01F);
    EXPECT_EQ(RotateRight16(0x8001, 1), 0xC000);
}

} // namespace
