#include "BitWriter.h"
#include "CoreTestSupport.h"
#include "H264StreamScan.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "h264/H264Codec.h"
#include "scan/ScanSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace {

// An SPS in memory as the unit of a row.
std::unique_ptr<TH264Unit> UnitOf(std::unique_ptr<TSequenceParameterSet> sps) {
    auto nal = std::make_unique<TNALUnit>();
    nal->nal_unit_type = NalTypeSps;
    nal->SequenceParameterSet = std::move(sps);
    return std::make_unique<TH264Unit>(std::move(nal));
}

// An SPS in memory with a VUI that holds the given aspect ratio, for a picture of width x height.
std::unique_ptr<TH264Unit> MakeSps(uint8_t idc, uint16_t sarWidth, uint16_t sarHeight, uint32_t width = 1920,
                                   uint32_t height = 1080) {
    auto sps = std::make_unique<TSequenceParameterSet>();
    sps->chroma_format_idc = 1;
    sps->frame_mbs_only_flag = 1;
    sps->seq_parameter_set_id = 3;
    sps->pic_width_in_mbs_minus1 = (width + 15) / 16 - 1;
    sps->pic_height_in_map_units_minus1 = (height + 15) / 16 - 1;
    sps->frame_cropping_flag = 1;
    sps->frame_crop_right_offset = ((width + 15) / 16 * 16 - width) / 2;
    sps->frame_crop_bottom_offset = ((height + 15) / 16 * 16 - height) / 2;
    sps->vui_parameters_present_flag = 1;
    sps->VUIParameters = std::make_unique<TVUIParameters>();
    sps->VUIParameters->aspect_ratio_info_present_flag = 1;
    sps->VUIParameters->aspect_ratio_idc = idc;
    sps->VUIParameters->sar_width = sarWidth;
    sps->VUIParameters->sar_height = sarHeight;
    return UnitOf(std::move(sps));
}

TEST(ARInfo, ANewRecordShowsTheCurrentValuesAndWritesNothing) {
    auto sps = MakeSps(1, 0, 0);
    TARInfo info;
    info.Unit = sps.get();
    EXPECT_FALSE(info.IsChanged());
    EXPECT_TRUE(info.KeepsKind());
    EXPECT_EQ(info.EffectiveAspectRatioIdc(), 1);
    EXPECT_EQ(info.SarText(), "1:1");
    EXPECT_EQ(info.TypeText(), "Predefined");
    EXPECT_EQ(info.ResolutionText(), "1920x1080");
    EXPECT_EQ(info.DarText(), "16:9");
    EXPECT_EQ(info.SpsId(), 3);
    CountingStream stream(std::vector<uint8_t>(64, 0xFF));
    TFastBitstream writer(&stream);
    EXPECT_TRUE(info.WriteTo(writer));
    info.NewAspectRatioIdc = 1; // the current code: no change either
    EXPECT_FALSE(info.IsChanged());
    EXPECT_TRUE(info.WriteTo(writer));
    EXPECT_TRUE(stream.Writes.empty());
}

TEST(ARInfo, WithoutSpsOrVuiAChangeIsNotWritten) {
    TARInfo orphan;
    EXPECT_EQ(orphan.CurrentAspectRatioIdc(), 0);
    EXPECT_EQ(orphan.CurrentSarWidth(), 0);
    EXPECT_EQ(orphan.Width(), 0);
    EXPECT_EQ(orphan.SpsId(), -1);
    EXPECT_NO_THROW(orphan.DarText());
    orphan.NewAspectRatioIdc = 14;
    auto noVui = UnitOf(std::make_unique<TSequenceParameterSet>());
    TARInfo withoutVui;
    withoutVui.Unit = noVui.get();
    withoutVui.NewAspectRatioIdc = 14;
    CountingStream stream(std::vector<uint8_t>(64, 0xFF));
    TFastBitstream writer(&stream);
    EXPECT_FALSE(orphan.WriteTo(writer));
    EXPECT_FALSE(withoutVui.WriteTo(writer));
    EXPECT_TRUE(stream.Writes.empty());
}

struct ChangeCase {
    uint8_t idc;
    uint16_t sarWidth, sarHeight;
    uint8_t newIdc;
    int32_t newWidth, newHeight;
    bool changed, keepsKind;
    const char *sar, *type;
};

class ARInfoChange : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ARInfoChange, FollowsTheChangeRules) {
    const ChangeCase &c = GetParam();
    auto sps = MakeSps(c.idc, c.sarWidth, c.sarHeight);
    auto info = std::make_unique<TARInfo>();
    info->Unit = sps.get();
    info->NewAspectRatioIdc = c.newIdc;
    info->NewSarWidth = c.newWidth;
    info->NewSarHeight = c.newHeight;
    EXPECT_EQ(info->IsChanged(), c.changed);
    EXPECT_EQ(info->KeepsKind(), c.keepsKind);
    EXPECT_EQ(info->EffectiveAspectRatioIdc(), c.changed ? c.newIdc : c.idc);
    EXPECT_EQ(info->SarText(), c.sar);
    EXPECT_EQ(info->TypeText(), c.type);
    TScanSession session;
    session.ARInfoList.Add(*info);
    EXPECT_EQ(session.ARInfoList.CanSave(), c.keepsKind);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ARInfoChange,
    ::testing::Values(ChangeCase{1, 0, 0, 1, 0, 0, false, true, "1:1", "Predefined"},
                      ChangeCase{1, 0, 0, 0, 7, 7, false, true, "1:1", "Predefined"},
                      ChangeCase{1, 0, 0, 14, 0, 0, true, true, "4:3", "Predefined"},
                      ChangeCase{13, 0, 0, 16, 0, 0, true, true, "2:1", "Predefined"},
                      ChangeCase{1, 0, 0, 255, 1, 1, true, false, "1:1", "Custom"},
                      ChangeCase{255, 64, 45, 1, 0, 0, true, false, "1:1", "Predefined"},
                      ChangeCase{255, 64, 45, 255, 64, 45, false, true, "64:45", "Custom"},
                      ChangeCase{255, 64, 45, 255, 0, 45, false, true, "64:45", "Custom"},
                      ChangeCase{255, 64, 45, 255, 64, -3, false, true, "64:45", "Custom"},
                      ChangeCase{255, 64, 45, 255, 64, 46, true, true, "64:46", "Custom"},
                      // Too large for 16 bits, but a change: the write checks refuse it.
                      ChangeCase{255, 64, 45, 255, 65536, 45, true, true, "65536:45", "Custom"}));

TEST(ARInfo, DisplayAspectRatio) {
    struct Case {
        uint8_t idc;
        uint16_t sarWidth, sarHeight;
        uint32_t width, height;
        const char *dar;
    };
    for (const Case &c : {Case{1, 0, 0, 1920, 1080, "16:9"}, Case{14, 0, 0, 1440, 1080, "16:9"},
                          Case{255, 64, 45, 720, 576, "16:9"}, Case{4, 0, 0, 720, 576, "20:11"},
                          Case{2, 0, 0, 720, 576, "15:11"}, Case{255, 65535, 1, 40000, 6, "436900000:1"}}) {
        auto sps = MakeSps(c.idc, c.sarWidth, c.sarHeight, c.width, c.height);
        TARInfo info;
        info.Unit = sps.get();
        EXPECT_EQ(info.DarText(), c.dar) << int{c.idc} << " at " << c.width << "x" << c.height;
    }
    // The new values count once they are a change.
    auto sps = MakeSps(1, 0, 0, 720, 576);
    TARInfo info;
    info.Unit = sps.get();
    info.NewAspectRatioIdc = 14;
    EXPECT_EQ(info.DarText(), "5:3");
}

// One rule for a new ratio in both programs: a predefined code as it is; a SAR or a DAR (at the row's own
// picture size) keeps the row's kind.
TEST(RatioChange, KeepsTheKindOfEachRow) {
    auto predefined = MakeSps(1, 0, 0, 720, 576);
    auto custom = MakeSps(255, 64, 45, 720, 576);
    auto wide = MakeSps(255, 1, 1, 1440, 1080);
    auto rowOf = [](const std::unique_ptr<TH264Unit> &sps) {
        TARInfo row;
        row.Unit = sps.get();
        return row;
    };
    using TKind = TRatioChange::TKind;

    TARInfo row = rowOf(predefined);
    EXPECT_EQ((TRatioChange{TKind::Predefined, 14, {}}).ApplyTo(row), "");
    EXPECT_EQ(row.SarText(), "4:3");
    // 16:15 at 720x576 is 4:3 as a DAR; no predefined code is 16:15.
    row = rowOf(predefined);
    EXPECT_EQ((TRatioChange{TKind::Dar, 0, {4, 3}}).ApplyTo(row),
              std::string(SSaveKindMismatch) + " " + Format(SNoPredefinedRatio, 16, 15));
    EXPECT_FALSE(row.IsChanged());
    // 5:3 at 720x576 is 4:3 as a SAR: code 14. A SAR given unreduced finds it too.
    EXPECT_EQ((TRatioChange{TKind::Dar, 0, {5, 3}}).ApplyTo(row), "");
    EXPECT_EQ(row.NewAspectRatioIdc, 14);
    EXPECT_EQ((TRatioChange{TKind::Sar, 0, {24, 22}}).ApplyTo(row), "");
    EXPECT_EQ(row.NewAspectRatioIdc, 2);

    TARInfo customRow = rowOf(custom);
    EXPECT_EQ((TRatioChange{TKind::Dar, 0, {4, 3}}).ApplyTo(customRow), "");
    EXPECT_EQ(customRow.NewAspectRatioIdc, 255);
    EXPECT_EQ(customRow.SarText(), "16:15");
    // A custom row keeps a custom ratio even where a predefined code has it.
    EXPECT_EQ((TRatioChange{TKind::Sar, 0, {8, 6}}).ApplyTo(customRow), "");
    EXPECT_EQ(customRow.NewAspectRatioIdc, 255);
    EXPECT_EQ(customRow.SarText(), "4:3");
    // Each row reads the DAR at its own size.
    TARInfo wideRow = rowOf(wide);
    EXPECT_EQ((TRatioChange{TKind::Dar, 0, {16, 9}}).ApplyTo(wideRow), "");
    EXPECT_EQ(wideRow.SarText(), "4:3");
    // A SAR whose terms do not fit 16 bits is refused and changes nothing.
    EXPECT_EQ((TRatioChange{TKind::Dar, 0, {65535, 1}}).ApplyTo(wideRow),
              Format(SCustomTermOutOfRange, 196605, 4));
    EXPECT_EQ(wideRow.SarText(), "4:3");
}

TEST(ARInfoList, HoldsRecordsInOrderAndAnswersForAllOfThem) {
    TScanSession session;
    TARInfoList &list = session.ARInfoList;
    EXPECT_TRUE(list.CanSave());
    CountingStream empty(std::vector<uint8_t>(16, 0));
    EXPECT_TRUE(list.CheckChanges(empty).empty());
    EXPECT_EQ(list.WriteChanges(empty).PatchCount, 0u);
    EXPECT_TRUE(empty.Writes.empty());

    auto predefined = MakeSps(1, 0, 0);
    auto custom = MakeSps(255, 64, 45);
    for (const TH264Unit *sps : {predefined.get(), custom.get()}) {
        TARInfo info;
        info.Unit = sps;
        TARInfo &added = list.Add(info);
        EXPECT_EQ(&added, list.Items(list.Count() - 1));
    }
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.Items(1)->SarText(), "64:45");
    EXPECT_THROW(list.Items(2), std::out_of_range);
    list.Items(0)->NewAspectRatioIdc = 14;
    list.Items(1)->NewAspectRatioIdc = 1;
    EXPECT_FALSE(list.CanSave());
    list.ResetAll();
    EXPECT_FALSE(list.Items(0)->IsChanged());
    EXPECT_FALSE(list.Items(1)->IsChanged());
    EXPECT_EQ(list.Items(0)->NewAspectRatioIdc, 0);
    EXPECT_TRUE(list.CanSave());
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
}

// An SPS whose VUI begins at the wanted bit: the id and the picture order count type change the number of
// bits before it.
SpsFields VuiAtBit(SpsFields f, uint8_t bit) {
    f.vui = true;
    for (uint32_t type : {0u, 2u})
        for (uint32_t id = 0; id < 32; ++id) {
            f.pic_order_cnt_type = type;
            f.seq_parameter_set_id = id;
            if (BuildSps(f).vuiBit == bit)
                return f;
        }
    ADD_FAILURE() << "no layout puts the VUI at bit " << int{bit};
    return f;
}

SpsFields Vui(uint8_t bit, uint8_t idc, uint16_t sarWidth = 0, uint16_t sarHeight = 0, bool trailing = true) {
    SpsFields f;
    f.aspect_ratio_idc = idc;
    f.sar_width = sarWidth;
    f.sar_height = sarHeight;
    f.trailing = trailing;
    return VuiAtBit(f, bit);
}

// An access unit delimiter, the SPS units, and a PPS after each.
std::vector<uint8_t> FileWith(std::initializer_list<SpsFields> units) {
    std::vector<uint8_t> file{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
    for (const SpsFields &f : units) {
        Append(file, WithStartCode(BuildSps(f).nal));
        Append(file, {0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x38, 0x80});
    }
    return file;
}

// A file scanned as the program does, with a record for every SPS that has a usable aspect ratio.
class ScannedFile {
public:
    explicit ScannedFile(const std::vector<uint8_t> &bytes) {
        WriteFile(Path, bytes);
        TH264StreamParser parser(Session);
        parser.Parse(Path);
    }
    TARInfo &Record(size_t index = 0) { return *List.Items(index); }
    // Positions in the VUI count from the SPS's NAL unit; VuiAt gives the file offset.
    const TVUIParameters &Vui(size_t index = 0) { return *SpsOf(Record(index).Unit)->VUIParameters; }
    int64_t VuiAt(size_t index = 0) { return Record(index).VuiOffset(); }
    // Where the write's patch begins: two bytes in front of aspect_ratio_idc.
    int64_t PatchAt(size_t index = 0) {
        return Record(index).Placement.FileOffset(Vui(index).AspectRatioIdcPosition - 2);
    }
    std::vector<TWriteRefusal> Check() {
        TFileStream stream(Path, TFileOpenMode::ReadWriteExclusive);
        return List.CheckChanges(stream);
    }
    TWriteReport Write() {
        TFileStream stream(Path, TFileOpenMode::ReadWriteExclusive);
        return List.WriteChanges(stream);
    }
    std::vector<uint8_t> Bytes() const { return ReadFile(Path); }

    TempDir Dir;
    std::string Path = Dir.File("video.h264");
    TScanSession Session;
    TARInfoList &List = Session.ARInfoList;
};

void SetNew(TARInfo &info, uint8_t idc, int32_t width = 0, int32_t height = 0) {
    info.NewAspectRatioIdc = idc;
    info.NewSarWidth = idc == 255 ? width : PredefinedSarWidth(idc);
    info.NewSarHeight = idc == 255 ? height : PredefinedSarHeight(idc);
}

TEST(WriteChanges, PatchesExactlyTheAspectRatioBitsAndUpdatesTheRecords) {
    ScannedFile file(FileWith({Vui(7, 1), Vui(0, 255, 80, 33)}));
    ASSERT_EQ(file.List.Count(), 2u);
    int64_t p7 = file.VuiAt(0), p0 = file.VuiAt(1);
    ASSERT_EQ(file.Vui(0).BitOffset, 7);
    ASSERT_EQ(file.Vui(1).BitOffset, 0);
    SetNew(file.Record(0), 14);
    SetNew(file.Record(1), 255, 64, 45);
    const std::vector<uint8_t> before = file.Bytes();
    // Bit 7: the code fills byte p + 1 alone. Bit 0: bits 1..7 of p to the top bit of p + 5.
    std::vector<uint8_t> expected = WithBits(before, p7 + 1, 0, 14, 8);
    expected = WithBits(expected, p0, 1, (uint64_t{255} << 32) | (64u << 16) | 45u, 40);
    ASSERT_NE(expected, before);

    EXPECT_TRUE(file.Check().empty());
    TWriteReport report = file.Write();
    EXPECT_EQ(file.Bytes(), expected);
    // Each patch covers the bits written and two bytes on either side: 5 + 9 bytes in two places.
    EXPECT_EQ(report.PatchCount, 2u);
    EXPECT_EQ(report.ByteCount, 14u);
    ASSERT_EQ(report.Lines.size(), 2u);
    EXPECT_EQ(report.Lines[0], Format(SPlanRowEntry, 0, "1:1", "4:3", "SPS", "VUI", p7));

    EXPECT_FALSE(file.Record(0).IsChanged());
    EXPECT_EQ(file.Vui(0).aspect_ratio_idc, 14);
    EXPECT_EQ(file.Record(0).SarText(), "4:3");
    EXPECT_FALSE(file.Record(1).IsChanged());
    EXPECT_EQ(file.Vui(1).aspect_ratio_idc, 255);
    EXPECT_EQ(file.Vui(1).sar_width, 64);
    EXPECT_EQ(file.Vui(1).sar_height, 45);
    EXPECT_EQ(file.Record(1).SarText(), "64:45");
    EXPECT_EQ(file.Record(1).TypeText(), "Custom");

    // A second save has nothing to write.
    CountingStream again(expected);
    EXPECT_EQ(file.List.WriteChanges(again).PatchCount, 0u);
    EXPECT_TRUE(again.Writes.empty());

    // Scanned again, the file holds what the records show, at the same places.
    ScannedFile rescanned(expected);
    ASSERT_EQ(rescanned.List.Count(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(rescanned.Record(i).SarText(), file.Record(i).SarText());
        EXPECT_EQ(rescanned.VuiAt(i), file.VuiAt(i));
        EXPECT_EQ(rescanned.Record(i).ResolutionText(), "1920x1080");
    }
}

// A stream that takes writes without storing them, as a failing medium might.
class LosingStream : public CountingStream {
public:
    using CountingStream::CountingStream;
    void WriteBuffer(const void *, size_t) override {}
};

TEST(WriteChanges, AWriteThatDoesNotReadBackIsAnError) {
    ScannedFile file(FileWith({Vui(3, 1)}));
    SetNew(file.Record(), 2);
    LosingStream stream(file.Bytes());
    try {
        file.List.WriteChanges(stream);
        FAIL() << "a lost write was not noticed";
    } catch (const Exception &error) {
        EXPECT_EQ(error.what(), Format(SWriteFailedRestored,
                                       WithoutFullStop(Format(SWriteVerifyFailed, "aspect ratio of row 0",
                                                              file.PatchAt()))));
    }
    EXPECT_TRUE(file.Record().IsChanged());
}

struct RefusalCase {
    const char *name;
    uint8_t vuiBit, idc;
    uint16_t sarWidth, sarHeight;
    bool trailing;
    uint8_t newIdc;
    int32_t newWidth, newHeight;
    std::function<std::string(int64_t vuiOffset)> reason;
};

class WriteRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(WriteRefusal, IsReportedAndNothingIsWritten) {
    const RefusalCase &c = GetParam();
    // A second, harmless change in another SPS must not be written either.
    ScannedFile file(FileWith({Vui(5, 1), Vui(c.vuiBit, c.idc, c.sarWidth, c.sarHeight, c.trailing)}));
    ASSERT_EQ(file.List.Count(), 2u);
    ASSERT_EQ(file.Vui(1).BitOffset, c.vuiBit);
    EXPECT_EQ(file.Record(1).CurrentSarWidth(), c.idc == 255 ? c.sarWidth : PredefinedSarWidth(c.idc));
    EXPECT_EQ(file.Record(1).CurrentSarHeight(), c.idc == 255 ? c.sarHeight : PredefinedSarHeight(c.idc));
    SetNew(file.Record(0), 2);
    SetNew(file.Record(1), c.newIdc, c.newWidth, c.newHeight);
    const std::vector<uint8_t> before = file.Bytes();

    std::vector<TWriteRefusal> refusals = file.Check();
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Index, 1u);
    EXPECT_EQ(refusals[0].Reason, c.reason(file.VuiAt(1)));
    try {
        file.Write();
        FAIL() << "a refused change was saved";
    } catch (const Exception &error) {
        EXPECT_STREQ(error.what(), "Nothing was saved: 1 of the changes can not be written in place.");
    }
    EXPECT_EQ(file.Bytes(), before);
    EXPECT_TRUE(file.Record(0).IsChanged());
    EXPECT_TRUE(file.Record(1).IsChanged());
}

std::string EmulationPrevention(int64_t vuiOffset) {
    return Format(SEmulationPreventionInSpan, vuiOffset);
}

std::function<std::string(int64_t)> Forbidden(int last) {
    return [last](int64_t vuiOffset) { return Format(SForbiddenPattern, vuiOffset, last); };
}

// At VUI bit 7 the 40 bits of a custom ratio fill bytes p + 1 .. p + 5: FF, sar_width, sar_height. Without
// trailing bits the SPS ends with the zero byte of the VUI flags after them, and the PPS start code follows.
INSTANTIATE_TEST_SUITE_P(
    Checks, WriteRefusal,
    ::testing::Values(
        RefusalCase{"KindSwitch", 3, 1, 0, 0, true, 255, 1, 1,
                    [](int64_t) { return std::string(SSaveKindMismatch); }},
        RefusalCase{"CustomTermAbove65535", 3, 255, 64, 45, true, 255, 65536, 45,
                    [](int64_t) { return Format(SCustomTermOutOfRange, 65536, 45); }},
        // 256:1 is FF 01 00 00 01 in the RBSP: the encoder put a 03 before the last byte.
        RefusalCase{"EpbInsideTheSpan", 7, 255, 256, 1, true, 255, 64, 45, EmulationPrevention},
        // 64:256 ends the span with 00, the VUI flags add 00, and the encoder a 03.
        RefusalCase{"EpbAfterTheCustomRatio", 7, 255, 64, 256, false, 255, 64, 45, EmulationPrevention},
        // Code 2 at VUI bit 0 leaves byte p + 1 zero, the VUI flags a zero byte after it, then a 03.
        RefusalCase{"EpbAfterThePredefinedCode", 0, 2, 0, 0, false, 1, 0, 0, EmulationPrevention},
        RefusalCase{"NewBitsFormAStartCode", 7, 255, 64, 45, true, 255, 256, 1, Forbidden(1)},
        RefusalCase{"NewBitsForm000003", 7, 255, 64, 45, true, 255, 256, 3, Forbidden(3)},
        // Without trailing bits the code at VUI bit 0 reaches into the unit's last byte: where the unit
        // ends depends on that byte, which is therefore never written.
        RefusalCase{"NewCodeInTheUnitsLastByte", 0, 1, 0, 0, false, 2, 0, 0,
                    [](int64_t at) { return Format(SSpanAtUnitEnd, at); }}),
    [](const ::testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

// The unit ends before its last VUI flags when their byte is zero and nothing follows: the unit's bytes
// end where a decoder takes them to end, and an SPS that needs more is damaged, not a row.
TEST(WriteChanges, AnSpsWhoseSyntaxRunsIntoTheNextStartCodeIsNoRow) {
    ScannedFile file(FileWith({Vui(5, 1), Vui(7, 255, 64, 45, false)}));
    EXPECT_EQ(file.List.Count(), 1u);
    EXPECT_EQ(file.Session.RatioUnitCount, 1);
    EXPECT_EQ(file.Session.DamagedUnitCount, 1);
    ASSERT_EQ(file.Session.Notices.size(), 1u);
    EXPECT_EQ(file.Session.Notices[0].Kind, TScanNotice::TKind::DamagedUnit);
}

TEST(WriteChanges, ACustomTermOfZeroIsNoChangeAndWritesNothing) {
    ScannedFile file(FileWith({Vui(3, 255, 64, 45)}));
    SetNew(file.Record(), 255, 0, 45);
    const std::vector<uint8_t> before = file.Bytes();
    EXPECT_FALSE(file.Record().IsChanged());
    EXPECT_TRUE(file.Check().empty());
    EXPECT_EQ(file.Write().PatchCount, 0u);
    EXPECT_EQ(file.Bytes(), before);
}

// The file was edited or replaced after the scan: what the scan saw is no longer there.
TEST(WriteChanges, AFileChangedSinceTheScanIsNotWritten) {
    struct Edit {
        const char *what;
        SpsFields fields;
        std::function<std::vector<uint8_t>(std::vector<uint8_t>, int64_t vuiAt, uint8_t vuiBit)> edit;
        bool outside = false; // the edit leaves the place outside the file
    };
    const Edit edits[] = {
        {"aspect_ratio_idc altered", Vui(4, 1),
         [](std::vector<uint8_t> bytes, int64_t at, uint8_t bit) {
             return WithBits(bytes, at, bit + 1, 14, 8);
         }},
        {"aspect_ratio_info_present_flag cleared", Vui(4, 1),
         [](std::vector<uint8_t> bytes, int64_t at, uint8_t bit) { return WithBits(bytes, at, bit, 0, 1); }},
        {"sar_height altered", Vui(6, 255, 64, 45),
         [](std::vector<uint8_t> bytes, int64_t at, uint8_t bit) {
             return WithBits(bytes, at, bit + 25, 46, 16);
         }},
        {"truncated inside the VUI", Vui(4, 1),
         [](std::vector<uint8_t> bytes, int64_t at, uint8_t) {
             bytes.resize(static_cast<size_t>(at + 1));
             return bytes;
         },
         true},
    };
    for (const Edit &edit : edits) {
        SCOPED_TRACE(edit.what);
        ScannedFile file(FileWith({edit.fields}));
        ASSERT_EQ(file.List.Count(), 1u);
        SetNew(file.Record(), file.Record().CurrentAspectRatioIdc() == 255 ? 255 : 2, 32, 27);
        const std::vector<uint8_t> edited = edit.edit(file.Bytes(), file.VuiAt(), file.Vui().BitOffset);
        WriteFile(file.Path, edited);
        std::vector<TWriteRefusal> refusals = file.Check();
        ASSERT_EQ(refusals.size(), 1u);
        EXPECT_EQ(refusals[0].Reason,
                  edit.outside ? Format(SPatchOutsideFile, "aspect ratio of row 0", file.PatchAt())
                               : Format(SFileChangedSinceScan, "aspect ratio of row 0", file.PatchAt()));
        EXPECT_THROW(file.Write(), Exception);
        EXPECT_EQ(file.Bytes(), edited);
    }
}

// aspect_ratio_idc 0 (Unspecified) is a field a change can write: the row shows the square samples players
// take, a predefined code goes into its 8 bits in place, and a custom ratio is refused with the reason,
// nothing written.
TEST(UnspecifiedRatio, IsListedAndTakesOnlyAPredefinedCodeInItsEightBits) {
    ScannedFile file(FileWith({Vui(3, 0), Vui(0, 1)}));
    ASSERT_EQ(file.List.Count(), 2u);
    TARInfo &row = file.Record(0);
    EXPECT_TRUE(row.StatesNoRatio());
    EXPECT_EQ(row.TypeText(), "Unspecified");
    EXPECT_EQ(row.SarText(), SUnspecifiedSarText);
    EXPECT_EQ(row.DarText(), "16:9"); // 1920x1080 in square samples
    EXPECT_EQ(file.Record(1).TypeText(), "Predefined");

    // A ratio takes the predefined code that has it, or is refused: 16:9 at 1920x1080 is 1:1, 4:3 is 3:4.
    using TKind = TRatioChange::TKind;
    EXPECT_EQ((TRatioChange{TKind::Dar, 0, {16, 9}}).ApplyTo(row), "");
    EXPECT_EQ(row.NewAspectRatioIdc, 1);
    EXPECT_TRUE(row.IsChanged());
    row.Reset();
    const std::string noCode = std::string(SUnspecifiedTakesNoCustom) + " ";
    EXPECT_EQ((TRatioChange{TKind::Dar, 0, {4, 3}}).ApplyTo(row), noCode + Format(SNoPredefinedRatio, 3, 4));
    EXPECT_EQ((TRatioChange{TKind::Sar, 0, {64, 45}}).ApplyTo(row),
              noCode + Format(SNoPredefinedRatio, 64, 45));
    EXPECT_FALSE(row.IsChanged());

    // A custom ratio set by hand is refused when saved: it would need 32 more bits.
    const std::vector<uint8_t> before = file.Bytes();
    SetNew(row, 255, 64, 45);
    EXPECT_FALSE(row.KeepsKind());
    std::vector<TWriteRefusal> refusals = file.Check();
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Reason, SUnspecifiedTakesNoCustom);
    EXPECT_THROW(file.Write(), Exception);
    EXPECT_EQ(file.Bytes(), before);

    // A predefined code: its 8 bits, nothing else.
    const int64_t vui = file.VuiAt(0);
    SetNew(row, 14);
    EXPECT_TRUE(file.Check().empty());
    const TWriteReport report = file.Write();
    EXPECT_EQ(file.Bytes(), WithBits(before, vui, 4, 14, 8));
    ASSERT_EQ(report.Lines.size(), 1u);
    EXPECT_EQ(report.Lines[0], Format(SPlanRowEntry, 0, SUnspecifiedSarText, "4:3", "SPS", "VUI", vui));
    EXPECT_EQ(row.TypeText(), "Predefined");
    ScannedFile again(file.Bytes());
    ASSERT_EQ(again.List.Count(), 2u);
    EXPECT_EQ(again.Record(0).CurrentAspectRatioIdc(), 14);
    EXPECT_EQ(again.Record(0).DarText(), "64:27");
}

} // namespace
