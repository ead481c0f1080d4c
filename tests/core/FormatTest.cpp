#include "base/Exceptions.h"
#include "base/Messages.h"

#include <gtest/gtest.h>

TEST(Format, HexIsUpperCaseAndPaddedToTheWidth) {
    EXPECT_EQ(Format("%.8x", 5000), "00001388");
    EXPECT_EQ(Format("%.8x", 0xabcdef), "00ABCDEF");
    EXPECT_EQ(Format("%.8x", 0), "00000000");
    // The width is a minimum: 64-bit offsets keep all their digits.
    EXPECT_EQ(Format("%.8x", int64_t{0x1234567890}), "1234567890");
    EXPECT_EQ(Format("%x", 255), "FF");
}

TEST(Format, TextsDecimalsAndPercentSigns) {
    EXPECT_EQ(Format("Cannot open file \"%s\". %s", std::string("a.avi"), std::string("Why.")),
              "Cannot open file \"a.avi\". Why.");
    EXPECT_EQ(Format("%d / %d Bytes", 12, int64_t{5000000000}), "12 / 5000000000 Bytes");
    EXPECT_EQ(Format("%d:%d", -3, 7), "-3:7");
    EXPECT_EQ(Format("100%% of %d", 4), "100% of 4");
}

TEST(Format, MessagesOfTheReader) {
    EXPECT_EQ(Format(SUnexpectedEndOfStreamAt, 4096), "Unexpected end of stream. Position: 00001000");
    EXPECT_EQ(Format(SForbiddenPattern, 0x20, 1),
              "The aspect ratio at 00000020 can not be changed in place: the new bits would form the "
              "forbidden byte sequence 00 00 01.");
}
