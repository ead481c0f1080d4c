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

// Messages are UTF-8 text: control characters and bytes that form no UTF-8 character are shown as \xNN,
// while the characters of a name in any script pass as they are.
TEST(EscapedText, KeepsUtf8AndShowsControlsAndStrayBytes) {
    EXPECT_EQ(EscapedText("caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xAC"),
              "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x8E\xAC");
    EXPECT_EQ(EscapedText("a\x1B[2Jb\x7F"), "a\\x1B[2Jb\\x7F");
    EXPECT_EQ(EscapedText("\xA9xyz"), "\\xA9xyz");                      // a continuation byte alone
    EXPECT_EQ(EscapedText("\xC0\xAF"), "\\xC0\\xAF");                   // an overlong form of '/'
    EXPECT_EQ(EscapedText("\xED\xA0\x80"), "\\xED\\xA0\\x80");          // a surrogate
    EXPECT_EQ(EscapedText("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80"); // past U+10FFFF
    EXPECT_EQ(EscapedText("\xE2\x82"), "\\xE2\\x82");                   // cut short at the end
    EXPECT_EQ(EscapedText("\xE2\x82x"), "\\xE2\\x82x");                 // cut short by a character
}

// A box type, FourCC or codec ID is bytes: everything outside printable ASCII is shown as \xNN, even
// where a few bytes happen to form a UTF-8 character.
TEST(CodeText, ShowsEveryByteOutsidePrintableAscii) {
    EXPECT_EQ(CodeText("avc1"), "avc1");
    EXPECT_EQ(CodeText("\xA9nam"), "\\xA9nam");
    EXPECT_EQ(CodeText("\xC3\xA9xy"), "\\xC3\\xA9xy");
    EXPECT_EQ(CodeText(std::string("\0\x01 z", 4)), "\\x00\\x01 z");
}
