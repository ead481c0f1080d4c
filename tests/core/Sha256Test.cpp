// SHA-256 against the published FIPS 180-4 examples and digests sha256sum printed for messages that end
// on either side of the padding boundaries, fed whole and in every way of cutting them into pieces.

#include "base/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Digest(const std::vector<uint8_t> &bytes) {
    TSha256 hasher;
    hasher.Add(bytes);
    return HexDigest(hasher.Finish());
}

// A message without repeats at the block size, so that bytes hashed twice or in the wrong order show.
std::vector<uint8_t> Counting(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

// The 200 bytes 0, 1, .. 199 (three blocks and a part), as sha256sum digests them.
constexpr char CountingDigest[] = "1901da1c9f699b48f6b2636e65cbf73abf99d0441ef67f5c540a42f7051dec6f";

TEST(Sha256, PublishedExamples) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(
        Sha256Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
                  "nopqrsmnopqrstnopqrstu"),
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// 55 bytes leave just room for the one bit and the length; from 56 on the padding takes another block.
TEST(Sha256, LengthsAroundThePaddingBoundaries) {
    const struct {
        size_t Length;
        const char *Digest;
    } cases[] = {
        {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
        {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
        {127, "c57e9278af78fa3cab38667bef4ce29d783787a2f731d4e12200270f0c32320a"},
        {128, "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"},
        {129, "c12cb024a2e5551cca0e08fce8f1c5e314555cc3fef6329ee994a3db752166ae"},
    };
    for (const auto &c : cases) {
        const std::string message(c.Length, 'a');
        EXPECT_EQ(Sha256Hex(message), c.Digest) << c.Length;
        // The last bytes arriving alone leave the block buffer as full as the message makes it.
        TSha256 hasher;
        hasher.Add(std::string_view(message).substr(0, c.Length - 1));
        hasher.Add(std::string_view(message).substr(c.Length - 1));
        EXPECT_EQ(HexDigest(hasher.Finish()), c.Digest) << c.Length;
    }
}

TEST(Sha256, AnyCutOfTheMessageGivesTheSameDigest) {
    const std::vector<uint8_t> message = Counting(200);
    ASSERT_EQ(Digest(message), CountingDigest);

    for (size_t first = 0; first <= message.size(); ++first) {
        TSha256 hasher;
        hasher.Add(message.data(), first);
        hasher.Add(message.data() + first, message.size() - first);
        EXPECT_EQ(HexDigest(hasher.Finish()), CountingDigest) << first;
    }
    // Three pieces: the middle one may fill a block, span several, or stay inside one.
    for (size_t first = 0; first <= message.size(); first += 3)
        for (size_t second = first; second <= message.size(); ++second) {
            TSha256 hasher;
            hasher.Add(message.data(), first);
            hasher.Add(message.data() + first, second - first);
            hasher.Add(message.data() + second, message.size() - second);
            ASSERT_EQ(HexDigest(hasher.Finish()), CountingDigest) << first << ' ' << second;
        }

    TSha256 byteByByte;
    for (uint8_t byte : message)
        byteByByte.Add(&byte, 1);
    EXPECT_EQ(HexDigest(byteByByte.Finish()), CountingDigest);
}

TEST(Sha256, EmptyPiecesChangeNothing) {
    TSha256 hasher;
    hasher.Add(nullptr, 0);
    hasher.Add(std::vector<uint8_t>());
    hasher.Add("ab");
    hasher.Add(std::string_view());
    hasher.Add("c");
    hasher.Add(nullptr, 0);
    EXPECT_EQ(HexDigest(hasher.Finish()), Sha256Hex("abc"));
}

TEST(Sha256, FinishStartsOverOnAnEmptyMessage) {
    TSha256 hasher;
    hasher.Add("abc");
    const std::array<uint8_t, 32> first = hasher.Finish();
    EXPECT_EQ(HexDigest(first), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexDigest(hasher.Finish()), Sha256Hex(""));
    hasher.Add(Counting(200));
    EXPECT_EQ(HexDigest(hasher.Finish()), CountingDigest);
}

TEST(Sha256, HexDigestWritesEveryByteAsTwoLowerCaseDigits) {
    std::array<uint8_t, 32> digest{};
    digest[0] = 0x0F;
    digest[1] = 0xA0;
    digest[30] = 0x5C;
    digest[31] = 0xFF;
    EXPECT_EQ(HexDigest(digest), "0fa0" + std::string(56, '0') + "5cff");
}

// Past 2^29 bytes the length in bits no longer fits 32 bits: 2^29 + 3 zero bytes carry 2^32 + 24 in the
// padding, which a 32-bit count would cut to 24.
TEST(Sha256, LengthInBitsPastThirtyTwoBits) {
    const std::vector<uint8_t> zeros(size_t{1} << 20, 0);
    TSha256 hasher;
    for (int i = 0; i < 512; ++i)
        hasher.Add(zeros);
    hasher.Add(zeros.data(), 3);
    EXPECT_EQ(HexDigest(hasher.Finish()), "403a955183d83bd37bd31dde74eb3b713fcf99b6ba1a87fa91aa5befe4f51280");
}

} // namespace
