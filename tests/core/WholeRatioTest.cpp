// Container fields that hold whole numbers (MP4 display sizes, Matroska display sizes, AVI's frame aspect
// ratio): players compute the sample aspect ratio from them, so the numbers written must state the ratio
// exactly, or, where no numbers that fit can, the nearest ratio, with a note that says so.

#include "BitWriter.h"
#include "Mp4Builder.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "h264/uH264.h"
#include "scan/MatroskaDisplayStatement.h"
#include "scan/Mp4Statements.h"
#include "scan/VprpStatement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

namespace {

using TSize = std::pair<int64_t, int64_t>;

std::vector<uint8_t> BigEndianPair(uint32_t first, uint32_t second) {
    ByteVector bytes = BigEndian32(first);
    Append(bytes, BigEndian32(second));
    return bytes;
}

void ExpectRatio(TRatio ratio, int64_t x, int64_t y) {
    EXPECT_EQ(ratio.X, x);
    EXPECT_EQ(ratio.Y, y);
}

// The players' reading of a display size against a picture size: the sample aspect ratio.
TRatio SarRead(TSize display, TSize picture) {
    return ReduceRatio(display.first * picture.second, display.second * picture.first);
}

TEST(WholeSizeFor, StatesTheRatioExactlyNearTheReferenceSize) {
    struct Case {
        TRatio ratio;
        TSize reference, expected;
    };
    for (const Case &c : {
             Case{{16, 9}, {720, 576}, {1024, 576}}, // the height kept
             Case{{16, 9}, {640, 480}, {640, 360}},  // 480 is no multiple of 9: the width kept
             Case{{16, 9}, {568, 320}, {576, 324}},  // neither: both scaled, near the height
             Case{{32, 18}, {640, 480}, {640, 360}}, // reduced first
             Case{{853, 480}, {1920, 1080}, {1706, 960}},
         }) {
        const TSize size = WholeSizeFor(c.ratio, c.reference, 65535);
        EXPECT_EQ(size, c.expected) << c.ratio.X << ":" << c.ratio.Y;
        const TRatio stated = ReduceRatio(size.first, size.second);
        const TRatio wanted = ReduceRatio(c.ratio.X, c.ratio.Y);
        EXPECT_EQ(stated.X, wanted.X);
        EXPECT_EQ(stated.Y, wanted.Y);
    }
    // Within the fields' limit, the multiple shrinks; a ratio whose terms pass it has no size.
    EXPECT_EQ(WholeSizeFor({853, 480}, {1920, 1080}, 1000), (TSize{853, 480}));
    EXPECT_EQ(WholeSizeFor({16, 9}, {65535, 65535}, 65535), (TSize{65520, 36855}));
    EXPECT_EQ(WholeSizeFor({65536, 1}, {640, 480}, 65535), (TSize{0, 0}));
    EXPECT_EQ(WholeSizeFor({0, 1}, {640, 480}, 65535), (TSize{0, 0}));
    EXPECT_EQ(WholeSizeFor({4, 3}, {0, 0}, 65535), (TSize{4, 3}));
}

TEST(NearestRatio, IsTheBestRatioWhoseTermsFit) {
    ExpectRatio(NearestRatio(32, 18, 65535), 16, 9);
    ExpectRatio(NearestRatio(314159265, 100000000, 1000), 355, 113);
    ExpectRatio(NearestRatio(314159265, 100000000, 100), 22, 7); // 311:99 lies closer, but 311 > 100
    ExpectRatio(NearestRatio(65537, 65536, 65535), 65535, 65534);
    ExpectRatio(NearestRatio(int64_t{1} << 40, 1, 65535), 65535, 1);
    ExpectRatio(NearestRatio(1, int64_t{1} << 40, 65535), 1, 65535);
    ExpectRatio(NearestRatio(0, 5, 65535), 0, 0);
    ExpectRatio(NearestRatio(5, 5, 0), 0, 0);
    // No ratio of terms up to the limit lies closer than the one returned (between two convergents too).
    for (TRatio target : {TRatio{1000, 701}, TRatio{314159265, 100000000}, TRatio{100003, 30001}}) {
        const TRatio nearest = NearestRatio(target.X, target.Y, 150);
        const long double value = static_cast<long double>(target.X) / target.Y;
        const long double found = std::fabs(static_cast<long double>(nearest.X) / nearest.Y - value);
        for (int64_t y = 1; y <= 150; ++y)
            for (int64_t x = 1; x <= 150; ++x)
                ASSERT_LE(found, std::fabs(static_cast<long double>(x) / y - value)) << x << ":" << y;
    }
}

// --dar 16:9 on 640x480 once wrote 853 pixels, which players read as SAR 853:640; on 568x320 it wrote
// 568.89, which players read as 568, the ratio unchanged.
TEST(TrackHeaderDisplaySize, IsWrittenInWholePixelsThatStateTheRatioExactly) {
    struct Case {
        TSize entry, now;
        TRatio sar;
        TSize written;
    };
    for (const Case &c : {Case{{640, 480}, {640, 480}, {4, 3}, {640, 360}},
                          Case{{568, 320}, {568, 320}, {640, 639}, {576, 324}},
                          Case{{720, 576}, {720, 576}, {64, 45}, {1024, 576}}}) {
        TDisplaySizeStatement tkhd("tkhd", "track 1", 100, static_cast<uint32_t>(c.now.first << 16),
                                   static_cast<uint32_t>(c.now.second << 16), c.entry.first, c.entry.second);
        const TRatio representable = tkhd.Representable(c.sar, c.entry.first, c.entry.second);
        ExpectRatio(representable, c.sar.X, c.sar.Y);
        const TContainerStatement::TChange change = tkhd.Plan(c.sar, c.entry.first, c.entry.second);
        EXPECT_EQ(change.Note, "");
        ASSERT_EQ(change.Entry.Patches.size(), 1u);
        EXPECT_EQ(change.Entry.Patches[0].New, BigEndianPair(static_cast<uint32_t>(c.written.first << 16),
                                                             static_cast<uint32_t>(c.written.second << 16)));
        const TRatio read = SarRead(c.written, c.entry);
        ExpectRatio(read, c.sar.X, c.sar.Y);
    }
    // A size players already read as the ratio stays, whatever its numbers.
    TDisplaySizeStatement scaled("tkhd", "track 1", 100, 1280u << 16, 720u << 16, 640, 480);
    EXPECT_TRUE(scaled.Plan({4, 3}, 640, 480).Entry.Patches.empty());
}

// Where no whole size up to 65535 states the display aspect ratio, the nearest ratio is written and the
// plan says so; the row then shows what players will read.
TEST(TrackHeaderDisplaySize, WritesTheNearestRatioWithANoteWhereNoneIsExact) {
    TDisplaySizeStatement tkhd("tkhd", "track 1", 100, 1921u << 16, 1081u << 16, 1921, 1081);
    const TRatio sar{65535, 65534};
    const TRatio wanted = DarFromSar(sar.X, sar.Y, 1921, 1081);
    ASSERT_GT(std::max(wanted.X, wanted.Y), 65535);
    const TContainerStatement::TChange change = tkhd.Plan(sar, 1921, 1081);
    ASSERT_EQ(change.Entry.Patches.size(), 1u);
    EXPECT_NE(change.Note.find("can not state the display aspect ratio " + std::to_string(wanted.X) + ":" +
                               std::to_string(wanted.Y)),
              std::string::npos)
        << change.Note;
    const TRatio nearest = NearestRatio(wanted.X, wanted.Y, 65535);
    const TSize written = WholeSizeFor(nearest, {1921, 1081}, 65535);
    EXPECT_EQ(change.Entry.Patches[0].New, BigEndianPair(static_cast<uint32_t>(written.first << 16),
                                                         static_cast<uint32_t>(written.second << 16)));
    const TRatio shown = tkhd.Representable(sar, 1921, 1081);
    const TRatio read = SarRead(written, {1921, 1081});
    ExpectRatio(shown, read.X, read.Y);
}

TEST(VprpFrameAspectRatio, WritesTheNearestRatioWithANoteWhereTheTermsPass16Bits) {
    TVprpStatement exact("stream 0", 200, (4u << 16) | 3u, 640, 480);
    TContainerStatement::TChange change = exact.Plan({4, 3}, 640, 480);
    EXPECT_EQ(change.Note, "");
    ASSERT_EQ(change.Entry.Patches.size(), 1u);
    EXPECT_EQ(change.Entry.Patches[0].New, (std::vector<uint8_t>{9, 0, 16, 0}));

    TVprpStatement odd("stream 0", 200, (4u << 16) | 3u, 1921, 1081);
    const TRatio wanted = DarFromSar(65535, 65534, 1921, 1081);
    const TRatio nearest = NearestRatio(wanted.X, wanted.Y, 65535);
    change = odd.Plan({65535, 65534}, 1921, 1081);
    EXPECT_TRUE(change.Refusal.empty());
    EXPECT_FALSE(change.Note.empty());
    ASSERT_EQ(change.Entry.Patches.size(), 1u);
    const TRatio shown = odd.Representable({65535, 65534}, 1921, 1081);
    const TRatio read = SarFromDar(nearest.X, nearest.Y, 1921, 1081);
    ExpectRatio(shown, read.X, read.Y);
    const auto x = static_cast<uint16_t>(nearest.X), y = static_cast<uint16_t>(nearest.Y);
    EXPECT_EQ(change.Entry.Patches[0].New,
              (std::vector<uint8_t>{static_cast<uint8_t>(y), static_cast<uint8_t>(y >> 8),
                                    static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8)}));
}

TMatroskaVideo VideoOf(int64_t width, int64_t height, uint64_t unit, uint64_t displayWidth,
                       uint64_t displayHeight) {
    TMatroskaVideo video;
    video.VideoStart = 1000;
    video.Width = width;
    video.Height = height;
    video.Unit = unit;
    video.DisplayWidth = {1010, 1013, 4, displayWidth};
    video.DisplayHeight = {1017, 1020, 4, displayHeight};
    return video;
}

// Pixels: 16:9 at 640x480 keeps the width and writes the height (not 853x480); centimetres likewise near
// the size stated; a size that states the ratio already stays.
TEST(MatroskaDisplaySize, IsWrittenInWholeValuesThatStateTheRatioExactly) {
    TMatroskaDisplayStatement pixels("track 1", VideoOf(640, 480, 0, 640, 480));
    ExpectRatio(pixels.Representable({4, 3}, 640, 480), 4, 3);
    TContainerStatement::TChange change = pixels.Plan({4, 3}, 640, 480);
    EXPECT_EQ(change.Note, "");
    ASSERT_EQ(change.Entry.Patches.size(), 1u); // the width stays
    EXPECT_EQ(change.Entry.Patches[0].FileOffset, 1020);
    EXPECT_EQ(change.Entry.Patches[0].New, (std::vector<uint8_t>{0, 0, 0x01, 0x68}));

    TMatroskaDisplayStatement odd("track 1", VideoOf(568, 320, 0, 568, 320));
    ExpectRatio(odd.Representable({640, 639}, 568, 320), 640, 639);
    change = odd.Plan({640, 639}, 568, 320);
    ASSERT_EQ(change.Entry.Patches.size(), 2u);
    EXPECT_EQ(change.Entry.Patches[0].New, (std::vector<uint8_t>{0, 0, 0x02, 0x40})); // 576
    EXPECT_EQ(change.Entry.Patches[1].New, (std::vector<uint8_t>{0, 0, 0x01, 0x44})); // 324

    TMatroskaDisplayStatement centimetres("track 1", VideoOf(640, 480, 1, 40, 30));
    change = centimetres.Plan({4, 3}, 640, 480);
    ASSERT_EQ(change.Entry.Patches.size(), 2u); // 48x27: neither 40 nor 30 fits 16:9
    EXPECT_EQ(change.Entry.Patches[0].New, (std::vector<uint8_t>{0, 0, 0, 48}));
    EXPECT_EQ(change.Entry.Patches[1].New, (std::vector<uint8_t>{0, 0, 0, 27}));

    TMatroskaDisplayStatement already("track 1", VideoOf(640, 480, 0, 1280, 720));
    EXPECT_TRUE(already.Plan({4, 3}, 640, 480).Entry.Patches.empty());
}

} // namespace
