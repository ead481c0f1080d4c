// MPEG-1 and MPEG-2 video sequence headers built bit by bit: every optional part before and after the
// ratio, the two code tables, the display size the MPEG-2 ratio applies to, and writes in place. Finding
// such units in a start-code stream, where extensions and user data run on behind a sequence header.

#include "mpeg2video/MpegVideoCodec.h"
#include "BitWriter.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "bitstream/uFastBitStream.h"
#include "codec/NalSource.h"
#include "scan/UnitCollector.h"

#include <gtest/gtest.h>

namespace {

struct SequenceFields {
    int width = 720, height = 576;
    int aspect = 2;
    bool intraMatrix = false, nonIntraMatrix = false;
    int marker = 1;
    // The sequence extension (MPEG-2); its size extensions add bits 12 and 13 to the picture size.
    bool extension = true;
    int widthExtension = 0, heightExtension = 0;
    // The sequence display extension.
    bool display = false;
    bool colour = false;
    int displayWidth = 720, displayHeight = 576;
    bool userDataBetween = false; // user data between the two extensions
};

void StartCode(BitWriter &bits, uint8_t value) {
    bits.Bits(0x000001, 24);
    bits.Bits(value, 8);
}

void Align(BitWriter &bits) {
    while (bits.BitCount() % 8 != 0)
        bits.Bit(false);
}

// A unit as found: the sequence header code first, then what follows it up to the next unit.
std::vector<uint8_t> Sequence(const SequenceFields &f) {
    BitWriter bits;
    bits.Bits(0xB3, 8);
    bits.Bits(f.width & 0xFFF, 12);
    bits.Bits(f.height & 0xFFF, 12);
    bits.Bits(f.aspect, 4);
    bits.Bits(3, 4); // 25 frames a second
    bits.Bits(0x3FFFF, 18);
    bits.Bits(f.marker, 1);
    bits.Bits(112, 10);
    bits.Bit(false);
    bits.Bit(f.intraMatrix);
    for (int i = 0; f.intraMatrix && i < 64; ++i)
        bits.Bits(8 + i, 8);
    bits.Bit(f.nonIntraMatrix);
    for (int i = 0; f.nonIntraMatrix && i < 64; ++i)
        bits.Bits(16, 8);
    Align(bits);
    if (f.extension) {
        StartCode(bits, 0xB5);
        bits.Bits(1, 4);
        bits.Bits(0x48, 8); // Main profile, Main level
        bits.Bit(true);     // progressive
        bits.Bits(1, 2);    // 4:2:0
        bits.Bits(f.widthExtension, 2);
        bits.Bits(f.heightExtension, 2);
        bits.Bits(0, 12);
        bits.Bit(true);
        bits.Bits(0, 8);
        bits.Bit(false);
        bits.Bits(0, 7); // frame_rate_extension_n and _d: the last byte is 00
        Align(bits);
    }
    if (f.userDataBetween) {
        StartCode(bits, 0xB2);
        bits.Bits(0x47413934, 32); // "GA94"
    }
    if (f.display) {
        StartCode(bits, 0xB5);
        bits.Bits(2, 4);
        bits.Bits(1, 3); // PAL
        bits.Bit(f.colour);
        if (f.colour)
            bits.Bits(0x010101, 24);
        bits.Bits(f.displayWidth, 14);
        bits.Bit(true);
        bits.Bits(f.displayHeight, 14);
        Align(bits);
    }
    return bits.Bytes();
}

const TMpegVideoUnit &Mpeg(const std::unique_ptr<TRatioUnit> &unit) {
    return static_cast<const TMpegVideoUnit &>(*unit);
}

std::unique_ptr<TRatioUnit> Decode(const std::vector<uint8_t> &bytes, bool complete = true) {
    return Mpeg2VideoCodec().Decode(bytes, complete);
}

TEST(MpegVideoHeaders, EveryPartBeforeAndAfterTheRatioIsRead) {
    SequenceFields f;
    f.intraMatrix = f.nonIntraMatrix = true;
    f.widthExtension = 1;
    f.heightExtension = 1;
    f.width = 0x100;
    f.height = 0x070;
    f.display = f.colour = f.userDataBetween = true;
    f.displayWidth = 3840;
    f.displayHeight = 2160;
    f.aspect = 3;
    const std::vector<uint8_t> bytes = Sequence(f);
    const std::unique_ptr<TRatioUnit> unit = Decode(bytes);
    ASSERT_NE(unit, nullptr);
    const TMpegSequence &sequence = Mpeg(unit).Sequence();
    EXPECT_STREQ(unit->Codec().Key(), "mpeg2video");
    EXPECT_EQ(unit->Width(), 0x1100); // the extension's two bits above the header's twelve
    EXPECT_EQ(unit->Height(), 0x1070);
    EXPECT_EQ(unit->Code(), 3);
    EXPECT_EQ(sequence.load_intra_quantiser_matrix, 1);
    EXPECT_EQ(sequence.load_non_intra_quantiser_matrix, 1);
    ASSERT_TRUE(sequence.DisplayExtension);
    EXPECT_EQ(sequence.DisplayExtension->video_format, 1);
    EXPECT_EQ(sequence.DisplayExtension->colour_primaries, 1);
    EXPECT_EQ(sequence.DisplayExtension->display_horizontal_size, 3840u);
    EXPECT_EQ(sequence.DisplayExtension->display_vertical_size, 2160u);
    EXPECT_EQ(unit->VideoFormatText(), "PAL");
    EXPECT_EQ(unit->OverscanText(), "Display size 3840x2160 (sequence display extension)");
    // 16:9 over the display size: square samples there.
    EXPECT_EQ(unit->Sar().X, 1);
    EXPECT_EQ(unit->Sar().Y, 1);
    EXPECT_EQ(unit->FieldsPosition(), 4);
    EXPECT_EQ(bytes[4] >> 4, 3);
}

TEST(MpegVideoHeaders, TheExtensionTellsMpeg2FromMpeg1AndEachReadsItsOwnTable) {
    SequenceFields f;
    f.extension = false;
    f.width = 352;
    f.height = 288;
    f.aspect = 8; // 0.9157, 625 lines
    std::unique_ptr<TRatioUnit> mpeg1 = Decode(Sequence(f));
    EXPECT_STREQ(mpeg1->Codec().Key(), "mpeg1video");
    EXPECT_EQ(mpeg1->Sar().X, 178); // as decoders take 1 / 0.9157 in terms up to 255
    EXPECT_EQ(mpeg1->Sar().Y, 163);
    EXPECT_EQ(mpeg1->VideoFormatText(), "Unspecified");
    EXPECT_EQ(mpeg1->OverscanText(), "No sequence display extension");

    f.extension = true;
    f.width = 720;
    f.height = 576;
    const struct {
        int code;
        TRatio sar;
    } mpeg2[] = {{1, {1, 1}}, {2, {16, 15}}, {3, {64, 45}}, {4, {221, 125}}, {0, {0, 0}}, {7, {0, 0}}};
    for (const auto &c : mpeg2) {
        SCOPED_TRACE(c.code);
        f.aspect = c.code;
        std::unique_ptr<TRatioUnit> unit = Decode(Sequence(f));
        EXPECT_EQ(unit->Sar().X, c.sar.X);
        EXPECT_EQ(unit->Sar().Y, c.sar.Y);
    }
    // Reserved codes are read and listed, and may be mended; never written.
    EXPECT_EQ(Mpeg2VideoCodec().ReplacementRefusal(*Decode(Sequence(f)), 2), "");
    EXPECT_NE(Mpeg2VideoCodec().ReplacementRefusal(*Decode(Sequence(f)), 5), "");
    EXPECT_NE(Mpeg1VideoCodec().ReplacementRefusal(*mpeg1, 15), "");
}

TEST(MpegVideoHeaders, DamagedAndCutHeadersAreTold) {
    SequenceFields f;
    f.marker = 0;
    EXPECT_THROW(Decode(Sequence(f)), Exception);
    f.marker = 1;
    f.width = 0;
    EXPECT_THROW(Decode(Sequence(f)), Exception);

    f.width = 720;
    f.display = true;
    const std::vector<uint8_t> whole = Sequence(f);
    // Cut inside the sequence header's fields: cut short, whatever the unit says.
    const std::vector<uint8_t> header(whole.begin(), whole.begin() + 6);
    EXPECT_THROW(Decode(header, false), EInOutError);
    // Cut inside the display extension: a unit read whole is damaged; one cut at the reading limit is read
    // without it.
    const std::vector<uint8_t> cut(whole.begin(), whole.end() - 2);
    EXPECT_THROW(Decode(cut, true), EInOutError);
    const std::unique_ptr<TRatioUnit> partial = Decode(cut, false);
    EXPECT_FALSE(Mpeg(partial).Sequence().DisplayExtension);
    EXPECT_TRUE(Mpeg(partial).Sequence().IsMpeg2());
}

// A ratio asked for is the code whose ratio it is at the picture size; MPEG-1's decimals are met within
// 1%, MPEG-2's ratios exactly.
TEST(MpegVideoHeaders, ARatioIsStatedByTheCodeThatHasIt) {
    SequenceFields f;
    const std::unique_ptr<TRatioUnit> pal = Decode(Sequence(f));
    const TCodec &mpeg2 = Mpeg2VideoCodec();
    EXPECT_EQ(mpeg2.ChooseFor(*pal, SarFromDar(16, 9, 720, 576)).Code, 3);
    EXPECT_EQ(mpeg2.ChooseFor(*pal, SarFromDar(221, 100, 720, 576)).Code, 4);
    // 5:4 at 720x576 is square samples.
    EXPECT_EQ(mpeg2.ChooseFor(*pal, SarFromDar(5, 4, 720, 576)).Code, 1);
    const TCodeChoice refused = mpeg2.ChooseFor(*pal, {12, 11});
    EXPECT_EQ(refused.Code, 0);
    EXPECT_EQ(refused.Refusal, "MPEG-2 video can not state SAR 12:11 (DAR 15:11 at this picture size): its "
                               "sequence header states only square samples (1:1) or the display aspect "
                               "ratios 4:3, 16:9 and 2.21:1.");

    f.extension = false;
    f.width = 352;
    f.height = 288;
    const std::unique_ptr<TRatioUnit> cif = Decode(Sequence(f));
    const TCodec &mpeg1 = Mpeg1VideoCodec();
    EXPECT_EQ(mpeg1.ChooseFor(*cif, {64, 45}).Code, 3); // 1 / 0.7031, 0.01% off
    EXPECT_EQ(mpeg1.ChooseFor(*cif, {12, 11}).Code, 8); // 1 / 0.9157, 0.1% off
    EXPECT_EQ(mpeg1.ChooseFor(*cif, {16, 11}).Code, 0); // 2.2% from the nearest
    EXPECT_EQ(mpeg1.CodeLabel(3), "64:45  (0.7031, 16:9 625 lines)");
    EXPECT_EQ(mpeg1.PredefinedCodes().size(), 14u);
}

// The code takes its four bits; where a display size of another shape than the picture would give the
// code another ratio, it takes the picture's shape, its height kept, the marker bit between them kept.
TEST(MpegVideoHeaders, ARewriteWritesTheCodeAndShapesTheDisplaySize) {
    SequenceFields f;
    f.display = true;
    f.displayWidth = 540;
    const std::vector<uint8_t> before = Sequence(f);
    const std::unique_ptr<TRatioUnit> unit = Decode(before);
    EXPECT_EQ(unit->Sar().X, 64); // 4:3 over 540x576
    EXPECT_EQ(unit->Sar().Y, 45);
    const TUnitRewrite rewrite = Mpeg2VideoCodec().Rewrite(*unit, 3, {}, 0x100);
    ASSERT_EQ(rewrite.Refusal, "");
    const std::unique_ptr<TRatioUnit> after = Decode(rewrite.Bytes);
    EXPECT_EQ(after->Code(), 3);
    EXPECT_EQ(after->Sar().X, 64);
    EXPECT_EQ(after->Sar().Y, 45);
    EXPECT_EQ(Mpeg(after).Sequence().DisplayExtension->display_horizontal_size, 720u);
    EXPECT_EQ(Mpeg(after).Sequence().DisplayExtension->display_vertical_size, 576u);
    EXPECT_EQ(rewrite.Bytes[4] & 0x0F, before[4] & 0x0F) << "frame_rate_code kept";
    for (size_t i = 0; i < before.size(); ++i) {
        if (static_cast<int64_t>(i) < rewrite.First || static_cast<int64_t>(i) > rewrite.Last) {
            EXPECT_EQ(rewrite.Bytes[i], before[i]) << i;
        }
    }

    // Of the picture's shape already, or square samples: the display size stays as it is.
    f.displayWidth = 720;
    const std::unique_ptr<TRatioUnit> shaped = Decode(Sequence(f));
    const TUnitRewrite code = Mpeg2VideoCodec().Rewrite(*shaped, 3, {}, 0);
    EXPECT_EQ(code.First, 2);
    EXPECT_EQ(code.Last, 6);
    f.displayWidth = 540;
    const std::unique_ptr<TRatioUnit> panScan = Decode(Sequence(f));
    const TUnitRewrite square = Mpeg2VideoCodec().Rewrite(*panScan, 1, {}, 0);
    EXPECT_EQ(Mpeg(Decode(square.Bytes)).Sequence().DisplayExtension->display_horizontal_size, 540u);

    EXPECT_EQ(
        Mpeg2VideoCodec().Rewrite(*unit, 9, {}, 0x100).Refusal,
        "aspect_ratio_information 9 is forbidden or reserved in MPEG-2 video: only the codes 1 to 4 can "
        "be written.");
}

// In a stream, a sequence header runs on over its extensions and user data, zero bytes in front of the
// next start code kept (the sequence extension's last byte is 00), and ends at the group of pictures.
TEST(MpegVideoHeaders, AUnitRunsOnOverItsExtensionsInAStream) {
    SequenceFields f;
    f.display = f.userDataBetween = true;
    const std::vector<uint8_t> unit = Sequence(f);
    std::vector<uint8_t> stream{0x00, 0x00, 0x01};
    stream.insert(stream.end(), unit.begin(), unit.end());
    const std::vector<uint8_t> group{0x00, 0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x40};
    stream.insert(stream.end(), group.begin(), group.end());

    TAnnexBBytes bytes(stream.data(), 0, static_cast<int64_t>(stream.size()), &Mpeg2VideoCodec());
    ASSERT_TRUE(bytes.Next());
    EXPECT_EQ(bytes.Start(), 3);
    const TNalUnitBytes read = bytes.ReadUnit(Mpeg2VideoCodec().MaxUnitBytes());
    EXPECT_TRUE(read.Complete);
    std::vector<uint8_t> expected = unit;
    expected.push_back(0x00); // the stuffing byte in front of the group's start code
    EXPECT_EQ(read.Bytes, expected);
    ASSERT_TRUE(bytes.Next());
    EXPECT_EQ(bytes.Header(), 0xB8);

    // The same through a reader, and through a collector fed a byte at a time (transport stream packets
    // may cut a start code anywhere).
    TMemoryStream memory(stream);
    TFastBitstream reader(int64_t{16});
    reader.AttachRange(&memory, 0, 0, memory.Size(), 0);
    TAnnexBSource source(reader, &Mpeg2VideoCodec());
    ASSERT_TRUE(source.Next());
    EXPECT_EQ(source.ReadUnit(Mpeg2VideoCodec().MaxUnitBytes()).Bytes, expected);

    struct Consumer : TUnitConsumer {
        std::vector<std::vector<uint8_t>> Units;
        void UnitBegins() override {}
        void UnitEnds(TNalUnitBytes unit, TPlacement) override { Units.push_back(unit.Bytes); }
    } consumer;
    TUnitCollector collector(Mpeg2VideoCodec(), consumer);
    for (size_t i = 0; i < stream.size(); ++i)
        collector.Read(&stream[i], 1, static_cast<int64_t>(i));
    collector.Finish();
    ASSERT_EQ(consumer.Units.size(), 1u);
    EXPECT_EQ(consumer.Units[0], expected);

    // NAL units end at the first start code, as before: behind the sequence header's eight bytes.
    EXPECT_EQ(FindUnitEnd(stream.data() + 3, static_cast<int64_t>(stream.size() - 3), true), 9);
}

} // namespace
