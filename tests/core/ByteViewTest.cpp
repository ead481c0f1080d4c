// Byte views: logical bytes over pieces of a file, and the bit reader over them.

#include "base/ByteView.h"
#include "CoreTestSupport.h"
#include "base/Exceptions.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

std::vector<uint8_t> Counting(size_t size) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    return bytes;
}

TEST(ByteView, ReadsItsExtentsAsOneSequenceAndMapsEveryByteBack) {
    TMemoryStream file(Counting(200));
    TByteView view(file, {{10, 5}, {0, 0}, {100, 3}, {50, 4}});
    EXPECT_EQ(view.Size(), 12);
    std::vector<uint8_t> all(12);
    view.ReadBuffer(all.data(), all.size());
    EXPECT_EQ(all, (std::vector<uint8_t>{10, 11, 12, 13, 14, 100, 101, 102, 50, 51, 52, 53}));
    for (int64_t logical = 0; logical < 12; ++logical)
        EXPECT_EQ(view.FileOffset(logical), all[static_cast<size_t>(logical)]);
    EXPECT_THROW(view.FileOffset(12), EInvalidOp);
    EXPECT_THROW(view.FileOffset(-1), EInvalidOp);

    // A read from the middle across two extents, and the file places of a span.
    uint8_t two[2];
    view.Seek(4);
    view.ReadBuffer(two, 2);
    EXPECT_EQ(two[0], 14);
    EXPECT_EQ(two[1], 100);
    const std::vector<TExtent> pieces = view.FileExtents(3, 7);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].FileOffset, 13);
    EXPECT_EQ(pieces[0].Length, 2);
    EXPECT_EQ(pieces[1].FileOffset, 100);
    EXPECT_EQ(pieces[1].Length, 3);
    EXPECT_EQ(pieces[2].FileOffset, 50);
    EXPECT_EQ(pieces[2].Length, 2);

    // Nothing past its end, nothing in front of it, and never written.
    view.Seek(11);
    EXPECT_THROW(view.ReadBuffer(two, 2), EInOutError);
    EXPECT_THROW(view.Seek(-1), EInOutError);
    EXPECT_THROW(view.WriteBuffer(two, 1), EInvalidOp);
    EXPECT_THROW(TByteView(file, {{-1, 3}}), EInvalidOp);
}

// A start code and an emulation-prevention byte split between two places of the file read as if the
// bytes were one run; bytes of the file between or in front of the places take no part.
TEST(ByteView, TheBitReaderReadsAUnitSplitOverSeveralPlaces) {
    std::vector<uint8_t> file(64, 0xEE);
    // Logical: 00 00 | 01 67 00 | 00 03 01 FF: a start code split after its zeros, an emulation-
    // prevention 03 whose zeros lie in the piece before.
    const std::vector<uint8_t> first{0x00, 0x00}, second{0x01, 0x67, 0x00}, third{0x00, 0x03, 0x01, 0xFF};
    std::copy(first.begin(), first.end(), file.begin() + 40);
    std::copy(second.begin(), second.end(), file.begin() + 8);
    std::copy(third.begin(), third.end(), file.begin() + 20);
    file[19] = 0x00; // a zero in front of the third piece, not part of the view
    TMemoryStream stream(file);
    TByteView view(stream, {{40, 2}, {8, 3}, {20, 4}});
    TFastBitstream reader(&view, 4);
    ASSERT_TRUE(reader.SeekNextStartCode());
    EXPECT_EQ(reader.Position(), 3);
    EXPECT_EQ(view.FileOffset(reader.Position()), 9);
    EXPECT_EQ(reader.ReadByte(), 0x67u);
    // 00 00 [03] 01 FF: the 03 is passed over.
    EXPECT_EQ(reader.ReadBits(24), 0x000001u);
    EXPECT_EQ(reader.ReadByte(), 0xFFu);
}

TEST(Placement, MapsTheBytesOfAUnitToTheFile) {
    TPlacement contiguous(1000);
    EXPECT_TRUE(contiguous.Contiguous());
    EXPECT_EQ(contiguous.FileOffset(0), 1000);
    EXPECT_EQ(contiguous.FileOffset(7), 1007);
    TPlacement split({{500, 3}, {0, 0}, {900, 2}});
    EXPECT_FALSE(split.Contiguous());
    EXPECT_EQ(split.FileOffset(2), 502);
    EXPECT_EQ(split.FileOffset(3), 900);
    EXPECT_EQ(split.FileOffset(4), 901);
    EXPECT_THROW(split.FileOffset(5), EInvalidOp);
}

} // namespace
