// The raw-stream scanner on hand-built streams: the events and their order, what is kept and what gets a
// record, aborts, errors, and exact positions.

#include "BitWriter.h"
#include "ScanHarness.h"
#include "h264/uH264.h"

#include <gtest/gtest.h>

namespace {

using Kind = ScanEvent::Kind;

SpsFields WithSar(uint8_t idc, uint16_t width = 0, uint16_t height = 0, uint32_t id = 0) {
    SpsFields fields;
    fields.vui = true;
    fields.aspect_ratio_idc = idc;
    fields.sar_width = width;
    fields.sar_height = height;
    fields.seq_parameter_set_id = id;
    return fields;
}

// A stream built piece by piece that remembers where each SPS header byte and VUI lie.
struct BuiltStream {
    std::vector<uint8_t> bytes;
    struct Placed {
        int64_t header;
        int64_t vui;
        uint8_t vuiBit;
    };
    std::vector<Placed> sps;

    void Add(const SpsFields &fields) {
        BuiltSps built = BuildSps(fields);
        int64_t header = static_cast<int64_t>(bytes.size()) + 4;
        sps.push_back({header, header + static_cast<int64_t>(built.vuiByte), built.vuiBit});
        Append(bytes, WithStartCode(built.nal));
    }
    void AddNal(const std::vector<uint8_t> &nal) { Append(bytes, WithStartCode(nal)); }
    void Fill(size_t count, uint8_t value) { bytes.insert(bytes.end(), count, value); }
};

const std::vector<uint8_t> Slice{0x65, 0x88, 0x84, 0x21, 0xA0};

class StreamParserTest : public ScanTest {};

TEST_F(StreamParserTest, EventsComeInOrderWithTheirArguments) {
    BuiltStream stream;
    stream.Add(WithSar(2));
    SpsFields noVui;
    noVui.seq_parameter_set_id = 3;
    stream.Add(noVui);
    stream.AddNal(Slice);
    stream.Add(WithSar(255, 64, 45, 1));
    std::string path = Write("order.h264", stream.bytes);
    PrepareScan();

    ScanOutcome outcome = RunScan(Stream, path);

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    // One report before each search, the units and records as they are found, "Ready." at the end.
    EXPECT_EQ(StreamLog.Sequence(), "PNRPNPPNRP!");
    const int64_t size = static_cast<int64_t>(stream.bytes.size());
    for (const ScanEvent &event : StreamLog.Of(Kind::Progress)) {
        if (event.text == "Ready.") {
            EXPECT_EQ(event.position, 0);
            EXPECT_EQ(event.total, 100);
        } else {
            // The file is smaller than one block: the reader has read all of it.
            EXPECT_EQ(event.text, ProgressText(size, size));
            EXPECT_EQ(event.position, size);
            EXPECT_EQ(event.total, size);
        }
    }
    std::vector<ScanEvent> units = StreamLog.Of(Kind::FoundNALUnit);
    ASSERT_EQ(units.size(), 3u);
    for (size_t i = 0; i < units.size(); ++i)
        EXPECT_EQ(units[i].count, i + 1);
    std::vector<ScanEvent> records = StreamLog.Of(Kind::FoundRecord);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].count, 1u);
    EXPECT_EQ(records[1].count, 2u);

    EXPECT_EQ(Stream.FileSize, size);
    ASSERT_EQ(Stream.NALUnits.size(), 3u);
    ASSERT_EQ(ARInfoList->Count(), 2u);
    EXPECT_EQ(ARInfoList->Items(0)->SequenceParameterSet, Stream.NALUnits[0]->SequenceParameterSet.get());
    EXPECT_EQ(ARInfoList->Items(1)->SequenceParameterSet, Stream.NALUnits[2]->SequenceParameterSet.get());
    EXPECT_EQ(Stream.NALUnits[1]->SequenceParameterSet->seq_parameter_set_id, 3u);
    EXPECT_EQ(ARInfoList->Items(0)->SarText(), "12:11");
    EXPECT_EQ(ARInfoList->Items(0)->TypeText(), "Predefined");
    EXPECT_EQ(ARInfoList->Items(0)->ResolutionText(), "1920x1080");
    EXPECT_EQ(ARInfoList->Items(0)->SpsId(), 0);
    EXPECT_EQ(ARInfoList->Items(1)->SarText(), "64:45");
    EXPECT_EQ(ARInfoList->Items(1)->TypeText(), "Custom");
    EXPECT_EQ(ARInfoList->Items(1)->SpsId(), 1);

    // Positions are absolute file offsets: the header byte, the SPS payload behind it, the VUI.
    const size_t placed[] = {0, 2};
    for (size_t i = 0; i < 2; ++i) {
        const TNALUnit &unit = *Stream.NALUnits[placed[i]];
        const BuiltStream::Placed &where = stream.sps[placed[i]];
        EXPECT_EQ(unit.Position, where.header);
        EXPECT_EQ(unit.SequenceParameterSet->Position, where.header + 1);
        EXPECT_EQ(unit.SequenceParameterSet->BitOffset, 0);
        EXPECT_EQ(unit.SequenceParameterSet->VUIParameters->Position, where.vui);
        EXPECT_EQ(unit.SequenceParameterSet->VUIParameters->BitOffset, where.vuiBit);
    }
}

TEST_F(StreamParserTest, EmptyFileReportsOnlyReady) {
    BuiltStream before;
    before.Add(WithSar(1));
    ASSERT_EQ(RunScan(Stream, Write("before.h264", before.bytes)).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Stream.NALUnits.size(), 1u);
    PrepareScan();

    ScanOutcome outcome = RunScan(Stream, Write("empty.h264", {}));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(StreamLog.Sequence(), "!");
    EXPECT_EQ(StreamLog.Events[0].position, 0);
    EXPECT_EQ(StreamLog.Events[0].total, 100);
    EXPECT_TRUE(Stream.NALUnits.empty());
    EXPECT_EQ(Stream.FileSize, 0);
    EXPECT_EQ(ARInfoList->Count(), 0u);
}

TEST_F(StreamParserTest, FileWithoutStartCodeReportsProgressOnce) {
    PrepareScan();
    ScanOutcome outcome = RunScan(Stream, Write("nothing.h264", std::vector<uint8_t>(100, 0xFF)));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(StreamLog.Sequence(), "P!");
    EXPECT_EQ(StreamLog.Events[0].text, "100 / 100 Bytes");
    EXPECT_TRUE(Stream.NALUnits.empty());
    EXPECT_EQ(Stream.FileSize, 100);
}

// Every SPS is kept and counted; only one with a ratio whose terms are both at least 1 gets a record.
TEST_F(StreamParserTest, SpsWithoutUsableAspectRatioIsCountedWithoutRecord) {
    SpsFields noVui;
    SpsFields noAspectInfo = WithSar(1);
    noAspectInfo.aspect_ratio_info_present_flag = 0;
    const SpsFields unusable[] = {noVui,        noAspectInfo,        WithSar(0),          WithSar(17),
                                  WithSar(254), WithSar(255, 0, 45), WithSar(255, 64, 0), WithSar(255, 0, 0)};
    BuiltStream stream;
    for (const SpsFields &fields : unusable)
        stream.Add(fields);
    stream.Add(WithSar(255, 40, 33, 9));
    PrepareScan();

    ScanOutcome outcome = RunScan(Stream, Write("unusable.h264", stream.bytes));

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    ASSERT_EQ(Stream.NALUnits.size(), std::size(unusable) + 1);
    for (const auto &unit : Stream.NALUnits)
        EXPECT_EQ(unit->NalUnitType(), 7);
    ASSERT_EQ(ARInfoList->Count(), 1u);
    EXPECT_EQ(ARInfoList->Items(0)->SequenceParameterSet, Stream.NALUnits.back()->SequenceParameterSet.get());
    EXPECT_EQ(ARInfoList->Items(0)->SarText(), "40:33");
    EXPECT_EQ(StreamLog.Of(Kind::FoundNALUnit).size(), std::size(unusable) + 1);
    EXPECT_EQ(StreamLog.Of(Kind::FoundRecord).size(), 1u);
}

TEST_F(StreamParserTest, RepeatedSpsGetsOneRecordEach) {
    BuiltStream stream;
    for (int i = 0; i < 5; ++i) {
        stream.Add(WithSar(255, 64, 45));
        stream.AddNal(Slice);
    }
    PrepareScan();

    ASSERT_EQ(RunScan(Stream, Write("repeated.h264", stream.bytes)).kind, ScanOutcome::Kind::None);

    ASSERT_EQ(Stream.NALUnits.size(), 5u);
    ASSERT_EQ(ARInfoList->Count(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(ARInfoList->Items(i)->SequenceParameterSet, Stream.NALUnits[i]->SequenceParameterSet.get());
        EXPECT_EQ(Stream.NALUnits[i]->Position, stream.sps[i].header);
    }
}

// A longer stream read through several blocks: SPS units across block boundaries are found at their
// exact offsets, and the progress follows the reader through the file.
TEST_F(StreamParserTest, ProgressFollowsTheReaderAcrossBlocks) {
    BuiltStream stream;
    for (size_t at : {size_t{0}, size_t{4090}, size_t{8190}, size_t{12289}, size_t{20000}}) {
        stream.Fill(at - std::min(at, stream.bytes.size()), 0xFF);
        stream.Add(WithSar(255, 64, 45, static_cast<uint32_t>(stream.sps.size())));
    }
    stream.Fill(3000, 0xFF);
    PrepareScan();

    ASSERT_EQ(RunScan(Stream, Write("blocks.h264", stream.bytes)).kind, ScanOutcome::Kind::None);

    ASSERT_EQ(Stream.NALUnits.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(Stream.NALUnits[i]->Position, stream.sps[i].header);
        EXPECT_EQ(Stream.NALUnits[i]->SequenceParameterSet->VUIParameters->Position, stream.sps[i].vui);
        EXPECT_EQ(ARInfoList->Items(i)->SpsId(), static_cast<int32_t>(i));
    }
    const int64_t size = static_cast<int64_t>(stream.bytes.size());
    std::vector<ScanEvent> progress = StreamLog.Of(Kind::Progress);
    ASSERT_EQ(progress.size(), 7u); // before each of six searches, then "Ready."
    int64_t last = 0;
    for (size_t i = 0; i + 1 < progress.size(); ++i) {
        EXPECT_EQ(progress[i].text, ProgressText(progress[i].position, size));
        EXPECT_EQ(progress[i].total, size);
        EXPECT_GE(progress[i].position, last);
        EXPECT_LE(progress[i].position, size);
        last = progress[i].position;
    }
    EXPECT_LT(progress.front().position, size);
    EXPECT_EQ(progress[progress.size() - 2].position, size);
    EXPECT_EQ(progress.back().text, "Ready.");
}

TEST_F(StreamParserTest, AbortedBeforeTheScanOpensTheFileAndKeepsNothing) {
    BuiltStream first;
    first.Add(WithSar(1));
    ASSERT_EQ(RunScan(Stream, Write("first.h264", first.bytes)).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Stream.NALUnits.size(), 1u);
    BuiltStream second;
    second.Add(WithSar(2));
    second.Add(WithSar(3));
    PrepareScan();
    Stream.Aborted = true;

    ScanOutcome outcome = RunScan(Stream, Write("second.h264", second.bytes));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(StreamLog.Sequence(), "!");
    EXPECT_TRUE(Stream.NALUnits.empty());
    EXPECT_EQ(Stream.FileSize, static_cast<int64_t>(second.bytes.size()));
    EXPECT_EQ(ARInfoList->Count(), 0u);
    EXPECT_TRUE(Stream.Aborted);
}

// An abort requested from inside an event takes effect at the next test of the loop: the search and
// the NAL unit step already under way are completed.
TEST_F(StreamParserTest, AbortDuringTheScanKeepsWhatWasFound) {
    BuiltStream stream;
    for (int i = 0; i < 4; ++i)
        stream.Add(WithSar(255, 64, 45, static_cast<uint32_t>(i)));
    std::string path = Write("abort.h264", stream.bytes);
    struct Case {
        const char *name;
        Kind kind;
        size_t at; // abort at the at-th event of that kind
        const char *sequence;
        size_t kept;
    };
    const Case cases[] = {{"first record", Kind::FoundRecord, 1, "PNR!", 1},
                          {"first unit", Kind::FoundNALUnit, 1, "PNR!", 1},
                          {"second progress", Kind::Progress, 2, "PNRPNR!", 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PrepareScan();
        Stream.Aborted = false;
        size_t seen = 0;
        StreamLog.Hook = [&](const ScanEvent &event) {
            if (event.kind == c.kind && ++seen == c.at)
                Stream.Aborted = true;
        };

        ScanOutcome outcome = RunScan(Stream, path);

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(StreamLog.Sequence(), c.sequence);
        EXPECT_EQ(Stream.NALUnits.size(), c.kept);
        EXPECT_EQ(ARInfoList->Count(), c.kept);
    }
    StreamLog.Hook = nullptr;
}

TEST_F(StreamParserTest, MissingFileChangesNothing) {
    BuiltStream stream;
    stream.Add(WithSar(1));
    std::string path = Write("present.h264", stream.bytes);
    ASSERT_EQ(RunScan(Stream, path).kind, ScanOutcome::Kind::None);
    StreamLog.Events.clear();
    std::string missing = Dir.File("missing.h264");

    ScanOutcome outcome = RunScan(Stream, missing);

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
    EXPECT_EQ(outcome.message, "File not found: " + missing);
    EXPECT_TRUE(StreamLog.Events.empty());
    EXPECT_EQ(Stream.NALUnits.size(), 1u);
    EXPECT_EQ(Stream.FileSize, static_cast<int64_t>(stream.bytes.size()));
}

// An SPS cut off by the end of the file ends the scan with the reader's error; what came before stays.
TEST_F(StreamParserTest, SpsCutOffByTheEndOfTheFileEndsTheScan) {
    BuiltStream stream;
    stream.Add(WithSar(255, 64, 45));
    BuiltSps cut = BuildSps(WithSar(2));
    cut.nal.resize(6);
    stream.AddNal(cut.nal);
    PrepareScan();

    ScanOutcome outcome = RunScan(Stream, Write("cut.h264", stream.bytes));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
    EXPECT_EQ(outcome.message.rfind("Unexpected end of stream.", 0), 0u) << outcome.message;
    EXPECT_EQ(Stream.NALUnits.size(), 1u);
    EXPECT_EQ(ARInfoList->Count(), 1u);
    EXPECT_EQ(StreamLog.Sequence(), "PNRP!");
}

} // namespace
