// A container may point at the same bytes any number of times: chunks of a sample table that all name
// one sample, frames that share the bytes of a stripped header. An SPS is one row per place in the file
// however often it is reached, so that what a scan keeps grows with the file and not with the counts it
// declares.

#include "BitWriter.h"
#include "Mp4Builder.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "scan/PatchPlan.h"

#include <gtest/gtest.h>

namespace {

class RepeatedPlaces : public ScanTest {};

// 100,000 chunk offsets, all at the one sample that holds an SPS: the avcC's SPS and the sample's are
// two rows.
TEST_F(RepeatedPlaces, ChunksThatAllNameOneSampleGiveOneRow) {
    const std::vector<uint8_t> sps = BuildSps(At720x576(WithSar(255, 64, 45))).nal;
    const ByteVector sample = LengthPrefixed({sps, {0x65, 0x88, 0x84, 0x00, 0x33}});
    Mp4Track track;
    track.sps = {sps};
    constexpr size_t Chunks = 100000;
    track.samples.assign(Chunks, {sps, {0x65, 0x88, 0x84, 0x00, 0x33}});
    ByteVector ftyp = Box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0});
    const auto dataStart = static_cast<uint32_t>(ftyp.size() + 8);
    ByteVector file = ftyp;
    Append(file, Box("mdat", sample));
    Append(file, MovieBox({track}, {std::vector<uint32_t>(Chunks, dataStart)}));

    TParser &parser = NewScan(TFileFormat::Mp4);
    ASSERT_EQ(RunScanOf(parser, file).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_NE(Rows().Items(0)->SpsOffset(), Rows().Items(1)->SpsOffset());
    EXPECT_EQ(Rows().Items(1)->Placement.FileOffset(0), static_cast<int64_t>(dataStart) + 4);

    // Samples that add up to more bytes than the file holds are a damaged table: the walk stops there,
    // and since SPS behind that point may have been missed, the track is not changed.
    TRatioChange change{TRatioChange::TKind::Sar, 0, {16, 11}};
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ(change.ApplyTo(*Rows().Items(i)), "");
    TMemoryStream saved(file);
    const std::vector<TWriteRefusal> refusals = Rows().CheckChanges(saved);
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0].Reason, Format(SMp4SamplesUnread, "track 1", "track 1"));
    EXPECT_THROW(Rows().WriteChanges(saved), Exception);
    EXPECT_EQ(saved.Bytes(), file);
}

// SPS of ever new contents cost a decoded unit each: past a limit they are counted, not listed, the scan
// says so, and nothing of the file may be changed, since a save would leave them as they are.
TEST_F(RepeatedPlaces, SpsOfTooManyDifferentContentsAreCountedAndTheFileIsNotChanged) {
    constexpr size_t Count = TScanSession::MaxDistinctUnits + 10;
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < Count; ++i) {
        SpsFields fields = At720x576(WithSar(255, static_cast<uint16_t>(1 + i % 60000), 1));
        fields.seq_parameter_set_id = static_cast<uint32_t>(i / 60000);
        Append(stream, WithStartCode(BuildSps(fields).nal));
    }
    TParser &parser = NewScan(TFileFormat::RawH264);
    ASSERT_EQ(RunScanOf(parser, stream).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(Count));
    ASSERT_EQ(Rows().Count(), TScanSession::MaxDistinctUnits);
    const std::string reason = Format(STooManyDistinctUnits, "SPS", TScanSession::MaxDistinctUnits);
    ASSERT_FALSE(Session().Notices.empty());
    EXPECT_EQ(Session().Notices.back().Text, reason);
    for (size_t i = 0; i < Rows().Count(); i += 1000) {
        ASSERT_NE(Rows().Items(i)->NotChangeable, nullptr);
        EXPECT_EQ(*Rows().Items(i)->NotChangeable, reason);
    }
    // Repeated contents are not new ones: a stream that repeats its few SPS is listed whole.
    std::vector<uint8_t> repeated;
    for (size_t i = 0; i < Count; ++i)
        Append(repeated, WithStartCode(BuildSps(At720x576(WithSar(static_cast<uint8_t>(1 + i % 2)))).nal));
    ASSERT_EQ(RunScanOf(NewScan(TFileFormat::RawH264), repeated).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), Count);
    EXPECT_EQ(Rows().Items(Count - 1)->NotChangeable, nullptr);
}

} // namespace
