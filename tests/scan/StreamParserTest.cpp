// The raw-stream scanner on hand-built streams: the events and their order, what is counted and what gets
// a record, aborts, damaged SPS, and exact positions.

#include "BitWriter.h"
#include "ScanHarness.h"
#include "h264/uH264.h"

#include <gtest/gtest.h>

namespace {

using Kind = ScanEvent::Kind;

SpsFields WithSarAndId(uint8_t idc, uint16_t width, uint16_t height, uint32_t id) {
    SpsFields fields = WithSar(idc, width, height);
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

// Where an SPS lies: the record's unit counts from its header byte, the record's placement maps that to
// the file.
void ExpectPlaced(const TARInfo &record, const BuiltStream::Placed &where) {
    const TNALUnit &unit = *NalUnitOf(record.Unit);
    EXPECT_EQ(SpsOf(record.Unit), unit.SequenceParameterSet.get());
    EXPECT_EQ(unit.NalUnitType(), NalTypeSps);
    EXPECT_EQ(unit.Position, 0);
    EXPECT_EQ(unit.SequenceParameterSet->Position, 1);
    EXPECT_EQ(unit.SequenceParameterSet->BitOffset, 0);
    EXPECT_EQ(unit.SequenceParameterSet->VUIParameters->Position, where.vui - where.header);
    EXPECT_EQ(unit.SequenceParameterSet->VUIParameters->BitOffset, where.vuiBit);
    EXPECT_EQ(record.Placement.FileOffset(0), where.header);
    EXPECT_EQ(record.SpsOffset(), where.header + 1);
    EXPECT_EQ(record.VuiOffset(), where.vui);
}

TEST_F(StreamParserTest, EventsComeInOrderWithTheirArguments) {
    BuiltStream stream;
    stream.Add(WithSar(2));
    SpsFields noVui;
    noVui.seq_parameter_set_id = 3;
    stream.Add(noVui);
    stream.AddNal(Slice);
    stream.Add(WithSarAndId(255, 64, 45, 1));
    std::string path = Write("order.h264", stream.bytes);
    TParser &parser = NewStreamScan();

    ScanOutcome outcome = RunScan(parser, path);

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    // One report before each search, the SPS and records as they are found, the end of the scan last.
    EXPECT_EQ(Log.Sequence(), "PNRPNPPNRP!");
    const int64_t size = static_cast<int64_t>(stream.bytes.size());
    for (const ScanEvent &event : Log.Of(Kind::Progress)) {
        // The file is smaller than one block: the reader has read all of it.
        EXPECT_EQ(event.position, size);
        EXPECT_EQ(event.total, size);
    }
    std::vector<ScanEvent> units = Log.Of(Kind::NALUnitKept);
    ASSERT_EQ(units.size(), 3u);
    for (size_t i = 0; i < units.size(); ++i)
        EXPECT_EQ(units[i].spsCount, static_cast<int64_t>(i + 1));
    std::vector<ScanEvent> records = Log.Of(Kind::RecordAdded);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].count, 1u);
    EXPECT_EQ(records[1].count, 2u);

    EXPECT_EQ(Session().FileName, path);
    EXPECT_EQ(Session().FileSize, size);
    EXPECT_EQ(Session().Format, TFileFormat::RawH264);
    EXPECT_EQ(Session().RatioUnitCount, 3);
    EXPECT_EQ(Session().DamagedUnitCount, 0);
    EXPECT_TRUE(Session().Notices.empty());
    EXPECT_TRUE(Session().Tracks.empty());
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_EQ(records[0].info, Rows().Items(0));
    EXPECT_EQ(records[1].info, Rows().Items(1));
    EXPECT_EQ(Rows().Items(0)->SarText(), "12:11");
    EXPECT_EQ(Rows().Items(0)->TypeText(), "Predefined");
    EXPECT_EQ(Rows().Items(0)->ResolutionText(), "1920x1080");
    EXPECT_EQ(Rows().Items(0)->SpsId(), 0);
    EXPECT_EQ(Rows().Items(1)->SarText(), "64:45");
    EXPECT_EQ(Rows().Items(1)->TypeText(), "Custom");
    EXPECT_EQ(Rows().Items(1)->SpsId(), 1);
    EXPECT_EQ(Rows().Items(0)->Track, nullptr);
    EXPECT_EQ(Rows().Items(0)->NotChangeable, nullptr);

    // Positions inside the SPS and its VUI count from the unit's header byte; the record's placement
    // gives the file offsets of the header byte, the SPS payload behind it, and the VUI.
    ExpectPlaced(*Rows().Items(0), stream.sps[0]);
    ExpectPlaced(*Rows().Items(1), stream.sps[2]);
}

// An empty file has no start code to search for: one report of nothing read, and the end.
TEST_F(StreamParserTest, EmptyFileReportsProgressOnceAndFinishes) {
    BuiltStream before;
    before.Add(WithSar(1));
    ASSERT_EQ(RunScan(NewStreamScan(), Write("before.h264", before.bytes)).kind, ScanOutcome::Kind::None);
    TScanSession &earlier = Session();
    ASSERT_EQ(earlier.RatioUnitCount, 1);

    ScanOutcome outcome = RunScan(NewStreamScan(), Write("empty.h264", {}));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Log.Sequence(), "P!");
    EXPECT_EQ(Log.Events[0].position, 0);
    EXPECT_EQ(Log.Events[0].total, 0);
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_EQ(Session().FileSize, 0);
    EXPECT_EQ(Rows().Count(), 0u);
    // The session of the earlier file keeps what it found.
    EXPECT_EQ(earlier.RatioUnitCount, 1);
    EXPECT_EQ(earlier.ARInfoList.Count(), 1u);
}

TEST_F(StreamParserTest, FileWithoutStartCodeReportsProgressOnce) {
    ScanOutcome outcome = RunScan(NewStreamScan(), Write("nothing.h264", std::vector<uint8_t>(100, 0xFF)));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Log.Sequence(), "P!");
    EXPECT_EQ(Log.Events[0].position, 100);
    EXPECT_EQ(Log.Events[0].total, 100);
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_EQ(Session().FileSize, 100);
}

// Every SPS is counted; only one with a ratio whose terms are both at least 1 gets a record.
// An SPS whose VUI has no aspect-ratio field, or a reserved code, or a custom ratio with a zero term, is
// counted and not listed. aspect_ratio_idc 0 (Unspecified) is listed: a change can write a code there.
TEST_F(StreamParserTest, SpsWithoutUsableAspectRatioIsCountedWithoutRecord) {
    SpsFields noVui;
    SpsFields noAspectInfo = WithSar(1);
    noAspectInfo.aspect_ratio_info_present_flag = 0;
    const SpsFields unusable[] = {noVui,
                                  noAspectInfo,
                                  WithSar(17),
                                  WithSar(254),
                                  WithSar(255, 0, 45),
                                  WithSar(255, 64, 0),
                                  WithSar(255, 0, 0)};
    BuiltStream stream;
    for (const SpsFields &fields : unusable)
        stream.Add(fields);
    stream.Add(WithSar(0));
    stream.Add(WithSarAndId(255, 40, 33, 9));

    ScanOutcome outcome = RunScan(NewStreamScan(), Write("unusable.h264", stream.bytes));

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(std::size(unusable) + 2));
    EXPECT_EQ(Session().DamagedUnitCount, 0);
    ASSERT_EQ(Rows().Count(), 2u);
    ExpectPlaced(*Rows().Items(0), stream.sps[std::size(unusable)]);
    EXPECT_EQ(Rows().Items(0)->TypeText(), "Unspecified");
    ExpectPlaced(*Rows().Items(1), stream.sps.back());
    EXPECT_EQ(Rows().Items(1)->SarText(), "40:33");
    EXPECT_EQ(Log.Of(Kind::NALUnitKept).size(), std::size(unusable) + 2);
    EXPECT_EQ(Log.Of(Kind::RecordAdded).size(), 2u);
}

// Each repetition of an SPS gets its row at its own place; the decoded unit is shared between them.
TEST_F(StreamParserTest, RepeatedSpsGetsOneRecordEach) {
    BuiltStream stream;
    for (int i = 0; i < 5; ++i) {
        stream.Add(WithSar(255, 64, 45));
        stream.AddNal(Slice);
    }

    ASSERT_EQ(RunScan(NewStreamScan(), Write("repeated.h264", stream.bytes)).kind, ScanOutcome::Kind::None);

    EXPECT_EQ(Session().RatioUnitCount, 5);
    ASSERT_EQ(Rows().Count(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ExpectPlaced(*Rows().Items(i), stream.sps[i]);
        EXPECT_EQ(Rows().Items(i)->Unit, Rows().Items(0)->Unit);
    }
}

// A longer stream read through several blocks: SPS units across block boundaries are found at their
// exact offsets, and the progress follows the reader through the file.
TEST_F(StreamParserTest, ProgressFollowsTheReaderAcrossBlocks) {
    BuiltStream stream;
    for (size_t at : {size_t{0}, size_t{4090}, size_t{8190}, size_t{12289}, size_t{20000}}) {
        stream.Fill(at - std::min(at, stream.bytes.size()), 0xFF);
        stream.Add(WithSarAndId(255, 64, 45, static_cast<uint32_t>(stream.sps.size())));
    }
    stream.Fill(3000, 0xFF);

    ASSERT_EQ(RunScan(NewStreamScan(), Write("blocks.h264", stream.bytes)).kind, ScanOutcome::Kind::None);

    ASSERT_EQ(Rows().Count(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ExpectPlaced(*Rows().Items(i), stream.sps[i]);
        EXPECT_EQ(Rows().Items(i)->SpsId(), static_cast<int32_t>(i));
    }
    const int64_t size = static_cast<int64_t>(stream.bytes.size());
    EXPECT_EQ(Log.Sequence().back(), '!');
    std::vector<ScanEvent> progress = Log.Of(Kind::Progress);
    ASSERT_EQ(progress.size(), 6u); // before each of six searches
    int64_t last = 0;
    for (const ScanEvent &event : progress) {
        EXPECT_EQ(event.total, size);
        EXPECT_GE(event.position, last);
        EXPECT_LE(event.position, size);
        last = event.position;
    }
    EXPECT_LT(progress.front().position, size);
    EXPECT_EQ(progress.back().position, size);
}

TEST_F(StreamParserTest, AbortedBeforeTheScanOpensTheFileAndKeepsNothing) {
    BuiltStream stream;
    stream.Add(WithSar(2));
    stream.Add(WithSar(3));
    TParser &parser = NewStreamScan();
    parser.Aborted = true;

    ScanOutcome outcome = RunScan(parser, Write("second.h264", stream.bytes));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Log.Sequence(), "!");
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_EQ(Session().FileSize, static_cast<int64_t>(stream.bytes.size()));
    EXPECT_EQ(Rows().Count(), 0u);
    EXPECT_TRUE(parser.Aborted);
}

// An abort requested from inside an event takes effect at the next test of the loop: the search and
// the NAL unit step already under way are completed.
TEST_F(StreamParserTest, AbortDuringTheScanKeepsWhatWasFound) {
    BuiltStream stream;
    for (int i = 0; i < 4; ++i)
        stream.Add(WithSarAndId(255, 64, 45, static_cast<uint32_t>(i)));
    std::string path = Write("abort.h264", stream.bytes);
    struct Case {
        const char *name;
        Kind kind;
        size_t at; // abort at the at-th event of that kind
        const char *sequence;
        size_t kept;
    };
    const Case cases[] = {{"first record", Kind::RecordAdded, 1, "PNR!", 1},
                          {"first unit", Kind::NALUnitKept, 1, "PNR!", 1},
                          {"second progress", Kind::Progress, 2, "PNRPNR!", 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TParser &parser = NewStreamScan();
        size_t seen = 0;
        Log.Hook = [&](const ScanEvent &event) {
            if (event.kind == c.kind && ++seen == c.at)
                parser.Aborted = true;
        };

        ScanOutcome outcome = RunScan(parser, path);

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(Log.Sequence(), c.sequence);
        EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(c.kept));
        EXPECT_EQ(Rows().Count(), c.kept);
    }
    Log.Hook = nullptr;
}

TEST_F(StreamParserTest, MissingFileChangesNothing) {
    BuiltStream stream;
    stream.Add(WithSar(1));
    std::string path = Write("present.h264", stream.bytes);
    TParser &parser = NewStreamScan();
    ASSERT_EQ(RunScan(parser, path).kind, ScanOutcome::Kind::None);
    Log.Events.clear();
    std::string missing = Dir.File("missing.h264");

    ScanOutcome outcome = RunScan(parser, missing);

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
    EXPECT_EQ(outcome.message, "File not found: " + missing);
    EXPECT_TRUE(Log.Events.empty());
    EXPECT_EQ(Session().RatioUnitCount, 1);
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Session().FileName, path);
    EXPECT_EQ(Session().FileSize, static_cast<int64_t>(stream.bytes.size()));
}

// A damaged SPS is reported and the scan goes on: an SPS cut off by the end of the file, or by the next
// start code, is counted as damaged with a notice at its header byte; the rows before and after stay.
TEST_F(StreamParserTest, SpsCutShortIsReportedAndTheScanGoesOn) {
    BuiltSps cut = BuildSps(WithSar(2));
    cut.nal.resize(6);
    struct Case {
        const char *name;
        bool atEnd;
        const char *sequence;
        std::vector<int32_t> ids;
    };
    const Case cases[] = {{"by the end of the file", true, "PNRP*P!", {1}},
                          {"by the next start code", false, "PNRP*PNRP!", {1, 2}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BuiltStream stream;
        stream.Add(WithSarAndId(255, 64, 45, 1));
        const int64_t cutHeader = static_cast<int64_t>(stream.bytes.size()) + 4;
        stream.AddNal(cut.nal);
        if (!c.atEnd)
            stream.Add(WithSarAndId(255, 64, 45, 2));

        ScanOutcome outcome = RunScan(NewStreamScan(), Write("cut.h264", stream.bytes));

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(Log.Sequence(), c.sequence);
        EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(c.ids.size()));
        EXPECT_EQ(Session().DamagedUnitCount, 1);
        ASSERT_EQ(Rows().Count(), c.ids.size());
        for (size_t i = 0; i < c.ids.size(); ++i)
            EXPECT_EQ(Rows().Items(i)->SpsId(), c.ids[i]);
        ASSERT_EQ(Session().Notices.size(), 1u);
        const TScanNotice &notice = Session().Notices[0];
        EXPECT_EQ(notice.Kind, TScanNotice::TKind::DamagedUnit);
        EXPECT_EQ(notice.FileOffset, cutHeader);
        EXPECT_EQ(notice.Text, "The SPS at " + Format("%x", cutHeader) +
                                   " is damaged and not listed: its NAL unit ends before its syntax does.");
        EXPECT_EQ(Session().NoticeCount, 1);
    }
}

// An SPS with an element outside its range is damaged too, and named by that element; the SPS after it
// is listed.
TEST_F(StreamParserTest, SpsWithAnElementOutOfRangeIsReportedAndTheScanGoesOn) {
    SpsFields bad = WithSar(2);
    bad.seq_parameter_set_id = 32;
    BuiltStream stream;
    stream.Add(bad);
    stream.Add(WithSarAndId(255, 64, 45, 4));

    ScanOutcome outcome = RunScan(NewStreamScan(), Write("bad.h264", stream.bytes));

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Log.Sequence(), "P*PNRP!");
    EXPECT_EQ(Session().RatioUnitCount, 1);
    EXPECT_EQ(Session().DamagedUnitCount, 1);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SpsId(), 4);
    ASSERT_EQ(Session().Notices.size(), 1u);
    EXPECT_EQ(Session().Notices[0].FileOffset, stream.sps[0].header);
    EXPECT_NE(Session().Notices[0].Text.find("seq_parameter_set_id is 32, outside 0..31."), std::string::npos)
        << Session().Notices[0].Text;
}

// Bytes already in memory are scanned like a file of them.
TEST_F(StreamParserTest, BytesInMemoryAreScannedLikeAFile) {
    BuiltStream stream;
    stream.AddNal(Slice);
    stream.Add(WithSarAndId(255, 64, 45, 5));

    ScanOutcome outcome = RunScanOf(NewStreamScan(), stream.bytes);

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Log.Sequence(), "PPNRP!");
    EXPECT_EQ(Session().FileName, "");
    EXPECT_EQ(Session().FileSize, static_cast<int64_t>(stream.bytes.size()));
    ASSERT_EQ(Rows().Count(), 1u);
    ExpectPlaced(*Rows().Items(0), stream.sps[0]);
}

// A container is no raw stream: its start codes are not NAL units of one, and patching them would damage
// the file. The scanner refuses it before reading anything else, naming the format it found.
TEST_F(StreamParserTest, ContainerFormatsAreRefusedBeforeTheScan) {
    std::vector<uint8_t> mp4{0, 0, 0, 24, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'};
    mp4.resize(24, 0);
    BuiltStream inside;
    inside.Add(WithSar(255, 64, 45));
    Append(mp4, inside.bytes);
    TParser &parser = NewStreamScan();
    TMemoryStream memory(mp4);
    try {
        parser.Scan(memory);
        ADD_FAILURE() << "no error";
    } catch (const EFileFormat &error) {
        EXPECT_EQ(error.Format, TFileFormat::Mp4);
        EXPECT_STREQ(error.what(),
                     "This file is a container, not a raw H.264 stream. Its aspect ratio can not "
                     "be changed in place.");
    }
    EXPECT_EQ(Log.Sequence(), "!");
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_EQ(Rows().Count(), 0u);
}

} // namespace
