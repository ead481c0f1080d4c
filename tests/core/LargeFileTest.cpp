#include "BitWriter.h"
#include "CoreTestSupport.h"
#include "H264StreamScan.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "scan/ScanSession.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t GiB = int64_t{1} << 30;
constexpr int64_t FileSize = 5 * GiB;
constexpr int64_t At4GiB = 4 * GiB;

// A 5 GiB sparse file of zeros (it takes no disk space) with a few bytes put where a test wants them.
class LargeFile : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MakeSparseFile(Path, FileSize))
            GTEST_SKIP() << "the file system refuses a 5 GiB sparse file";
    }

    void Put(int64_t offset, const std::vector<uint8_t> &bytes) { WriteFileAt(Path, offset, bytes); }
    std::vector<uint8_t> Get(int64_t offset, size_t count) { return ReadFileAt(Path, offset, count); }

    // Searches the 8 KiB around offset for an SPS, as a scanner confined to one chunk would.
    std::unique_ptr<TNALUnit> SpsNear(TStream &stream, int64_t offset) {
        TFastBitstream reader;
        reader.AttachRange(&stream, offset - 4096, 0, offset + 4096, 0);
        SpsScan scan = ScanForSps(reader);
        if (scan.Units.size() != 1) {
            ADD_FAILURE() << scan.Units.size() << " SPS near " << offset;
            return nullptr;
        }
        return std::move(scan.Units[0]);
    }

    TempDir Dir;
    std::string Path = Dir.File("large.h264");
};

TEST_F(LargeFile, ReadsWithSixtyFourBitPositions) {
    // A prefix whose 01 is the first byte after 4 GiB, and an emulation-prevention byte at the start of
    // the next block; the zeros before both are the file's own.
    Put(At4GiB, {0x01, 0x77});
    Put(At4GiB + 4096, {0x03, 0x02});
    TFileStream stream(Path, TFileOpenMode::ReadShareDenyWrite);
    TFastBitstream reader(&stream);
    EXPECT_EQ(reader.RangeEnd(), FileSize);
    reader.SetPosition(At4GiB - 8192, 0);
    EXPECT_TRUE(reader.SeekNextStartCode());
    EXPECT_EQ(reader.Position(), At4GiB + 1);
    EXPECT_EQ(reader.ReadByte(), 0x77u);

    reader.SetPosition(At4GiB + 4094, 0);
    EXPECT_EQ(reader.ReadBits(24), 0x000002u);
    EXPECT_EQ(reader.Position(), At4GiB + 4098);

    // The end-of-stream message prints the position of the read that failed with all its digits.
    reader.AttachRange(&stream, At4GiB + 100, 0, At4GiB + 116, 0);
    reader.ReadBits(32);
    reader.ReadBits(32);
    reader.ReadBits(32);
    reader.ReadBits(32);
    try {
        reader.ReadBit();
        FAIL() << "read past the range end";
    } catch (const EInOutError &error) {
        EXPECT_STREQ(error.what(), "Unexpected end of stream. Position: 100000074");
    }
}

TEST_F(LargeFile, SpsPastTwoAndFourGiBAreDecodedAndPatchedInPlace) {
    SpsFields predefined;
    predefined.vui = true;
    predefined.aspect_ratio_idc = 1;
    SpsFields custom = predefined;
    custom.seq_parameter_set_id = 1;
    custom.aspect_ratio_idc = 255;
    custom.sar_width = 80;
    custom.sar_height = 33;
    const BuiltSps builtA = BuildSps(predefined), builtB = BuildSps(custom);
    // A spans the 2 GiB mark, B a block boundary past 4 GiB.
    const int64_t startA = 2 * GiB - 6, startB = At4GiB + 3 * 4096 - 8;
    Put(startA, WithStartCode(builtA.nal));
    Put(startB, WithStartCode(builtB.nal));

    std::unique_ptr<TNALUnit> unitA, unitB;
    {
        TFileStream stream(Path, TFileOpenMode::ReadShareDenyWrite);
        unitA = SpsNear(stream, startA);
        unitB = SpsNear(stream, startB);
    }
    ASSERT_TRUE(unitA && unitB);
    for (auto [unit, start, built] :
         {std::tuple{unitA.get(), startA, &builtA}, std::tuple{unitB.get(), startB, &builtB}}) {
        const TSequenceParameterSet &sps = *unit->SequenceParameterSet;
        EXPECT_EQ(unit->Position, start + 4);
        EXPECT_EQ(sps.Position, start + 5);
        BuiltSps::Place vui = built->ReaderPlace(built->vuiBits);
        EXPECT_EQ(sps.VUIParameters->Position, start + 4 + static_cast<int64_t>(vui.byte));
        EXPECT_EQ(sps.VUIParameters->BitOffset, vui.bit);
        EXPECT_EQ(sps.Width(), 1920);
    }
    EXPECT_EQ(unitB->SequenceParameterSet->SarWidth(), 80);

    // The whole file scanned as a raw stream: the rows name the same places.
    TScanSession session;
    TH264StreamParser parser(session);
    parser.Parse(Path);
    TARInfoList &list = session.ARInfoList;
    ASSERT_EQ(list.Count(), 2u);
    const TVUIParameters &vuiA = *unitA->SequenceParameterSet->VUIParameters;
    const TVUIParameters &vuiB = *unitB->SequenceParameterSet->VUIParameters;
    EXPECT_EQ(list.Items(0)->VuiOffset(), vuiA.Position);
    EXPECT_EQ(list.Items(1)->VuiOffset(), vuiB.Position);
    EXPECT_EQ(list.Items(1)->SpsOffset(), startB + 5);
    list.Items(0)->NewAspectRatioIdc = 14;
    list.Items(1)->NewAspectRatioIdc = 255;
    list.Items(1)->NewSarWidth = 64;
    list.Items(1)->NewSarHeight = 45;
    const std::vector<uint8_t> beforeA = Get(startA, 64), beforeB = Get(startB, 64);
    {
        TFileStream stream(Path, TFileOpenMode::ReadWriteExclusive);
        EXPECT_TRUE(list.CheckChanges(stream).empty());
        EXPECT_EQ(list.WriteChanges(stream).PatchCount, 2u);
    }
    EXPECT_EQ(Get(startA, 64), WithBits(beforeA, vuiA.Position - startA, vuiA.BitOffset + 1, 14, 8));
    EXPECT_EQ(Get(startB, 64), WithBits(beforeB, vuiB.Position - startB, vuiB.BitOffset + 1,
                                        (uint64_t{255} << 32) | (64u << 16) | 45u, 40));
    // Nothing landed where a 32-bit offset would have put it.
    EXPECT_EQ(Get(vuiB.Position - At4GiB, 8), std::vector<uint8_t>(8, 0));

    TFileStream stream(Path, TFileOpenMode::ReadShareDenyWrite);
    EXPECT_EQ(stream.Size(), FileSize);
    EXPECT_EQ(SpsNear(stream, startA)->SequenceParameterSet->AspectRatioIdc(), 14);
    std::unique_ptr<TNALUnit> rescannedB = SpsNear(stream, startB);
    EXPECT_EQ(rescannedB->SequenceParameterSet->SarWidth(), 64);
    EXPECT_EQ(rescannedB->SequenceParameterSet->SarHeight(), 45);
}

} // namespace
