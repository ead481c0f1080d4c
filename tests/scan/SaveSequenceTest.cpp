// A save as both programs run it: refusals end it before anything is written, the hook before the first
// write runs once and only when something is written, a hook that raises leaves the file as it was, and
// the file held for writing is checked once more.

#include "scan/SaveSequence.h"
#include "BitWriter.h"
#include "ScanHarness.h"
#include "base/Messages.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class SaveSequence : public ScanTest {
protected:
    // A raw stream of a predefined SPS (1:1) and a custom one (64:45), scanned from its file.
    void SetUp() override {
        std::vector<uint8_t> stream = WithStartCode(BuildSps(At720x576(WithSar(1))).nal);
        Append(stream, WithStartCode(BuildSps(At720x576(WithSar(255, 64, 45))).nal));
        Original = stream;
        Path = Write("two.h264", stream);
        ASSERT_EQ(RunScan(NewScan(TFileFormat::RawH264), Path).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(Rows().Count(), 2u);
    }

    void Change(size_t row, TRatioChange change) { ASSERT_EQ(change.ApplyTo(*Rows().Items(row)), ""); }

    // The first place the save writes.
    static int64_t FirstPlace(const TSaveSequence &save) {
        return save.Plan().Entries.at(0).Patches.at(0).FileOffset;
    }

    std::vector<uint8_t> Original;
    std::string Path;
};

TEST_F(SaveSequence, RefusalsEndTheSaveBeforeAnythingIsWritten) {
    // A predefined code where a custom ratio stands would shift the bits behind it.
    Change(1, {TRatioChange::TKind::Predefined, 2, {}});
    TSaveSequence save(Rows());
    int hooks = 0;
    save.BeforeFirstWrite = [&] { ++hooks; };
    EXPECT_TRUE(save.HasChanges());
    const std::vector<TWriteRefusal> refusals = save.Check(Path);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Index, 1u);
    EXPECT_EQ(save.OpenForWriting(Path).size(), 1u);
    EXPECT_THROW(save.Apply(Path), Exception);
    EXPECT_EQ(hooks, 0);
    EXPECT_EQ(ReadFile(Path), Original);
    EXPECT_TRUE(Rows().Items(1)->IsChanged());
}

TEST_F(SaveSequence, TheHookRunsOnceRightBeforeTheFirstWrite) {
    Change(0, {TRatioChange::TKind::Predefined, 2, {}});
    Change(1, {TRatioChange::TKind::Sar, 0, {16, 11}});
    TSaveSequence save(Rows());
    int hooks = 0;
    save.BeforeFirstWrite = [&] {
        ++hooks;
        EXPECT_EQ(ReadFile(Path), Original); // nothing written yet
    };
    ASSERT_TRUE(save.OpenForWriting(Path).empty());
    const TWriteReport report = save.Apply(Path);
    EXPECT_EQ(hooks, 1); // two places, one call
    EXPECT_EQ(report.Lines.size(), 2u);
    EXPECT_NE(ReadFile(Path), Original);
    EXPECT_FALSE(Rows().Items(0)->IsChanged());
    EXPECT_FALSE(Rows().Items(1)->IsChanged());
    EXPECT_EQ(Rows().Items(1)->SarText(), "16:11");

    // Nothing left to write: the hook stays silent, the file as it is.
    const std::vector<uint8_t> saved = ReadFile(Path);
    TSaveSequence again(Rows());
    again.BeforeFirstWrite = [&] { ++hooks; };
    EXPECT_FALSE(again.HasChanges());
    EXPECT_TRUE(again.Check(Path).empty());
    EXPECT_EQ(again.Apply(Path).PatchCount, 0u);
    EXPECT_EQ(hooks, 1);
    EXPECT_EQ(ReadFile(Path), saved);
}

TEST_F(SaveSequence, AHookThatRaisesLeavesTheFileAsItWas) {
    Change(0, {TRatioChange::TKind::Predefined, 2, {}});
    TSaveSequence save(Rows());
    save.BeforeFirstWrite = [] { throw std::runtime_error("no journal"); };
    ASSERT_TRUE(save.OpenForWriting(Path).empty());
    EXPECT_THROW(save.Apply(Path), std::runtime_error);
    EXPECT_EQ(ReadFile(Path), Original);
    EXPECT_TRUE(Rows().Items(0)->IsChanged());
    // The file is released: a later save of the same plan writes it.
    save.BeforeFirstWrite = nullptr;
    save.Apply(Path);
    EXPECT_NE(ReadFile(Path), Original);
    EXPECT_FALSE(Rows().Items(0)->IsChanged());
}

// Between the check and the write the program asks its user: the file may change meanwhile, and is
// checked again once it is held for writing.
TEST_F(SaveSequence, TheFileHeldForWritingIsCheckedAgain) {
    Change(0, {TRatioChange::TKind::Predefined, 2, {}});
    TSaveSequence save(Rows());
    int hooks = 0;
    save.BeforeFirstWrite = [&] { ++hooks; };
    ASSERT_TRUE(save.Check(Path).empty());
    const int64_t place = FirstPlace(save);
    std::vector<uint8_t> changed = Original;
    changed[static_cast<size_t>(place)] ^= 0xFF;
    WriteFileAt(Path, place, {changed[static_cast<size_t>(place)]});

    const std::vector<TWriteRefusal> refusals = save.OpenForWriting(Path);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Reason,
              Format(SFileChangedSinceScan, save.Plan().Entries.at(0).Patches.at(0).What, place));
    EXPECT_THROW(save.Apply(Path), Exception);
    // Written straight away, without a check of its own first.
    EXPECT_THROW(TSaveSequence(Rows()).Apply(Path), Exception);
    EXPECT_EQ(hooks, 0);
    EXPECT_EQ(ReadFile(Path), changed);
}

} // namespace
