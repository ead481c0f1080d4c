// The MP4 scanner: real MP4, MOV, 3GP and fragmented files made by ffmpeg with x264, changed in place and
// read back by ffprobe, trace_headers and a decoder; and hand-built boxes for what real files rarely do.

#include "scan/MP4Parser.h"
#include "BitWriter.h"
#include "Mp4Builder.h"
#include "RoundTrip.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "scan/Mp4Statements.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using TKind = TRatioChange::TKind;

class MP4RealFiles : public ScanTest {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }
    std::string Make(const std::string &name, const std::vector<VideoSpec> &videos, const std::string &muxer,
                     const std::string &audio = "", const std::string &options = "") {
        const std::string path = Dir.File(name);
        MakeContainer(path, videos, muxer, audio, options);
        return path;
    }
};

// The usual MP4: the SPS in the avcC, pasp and tkhd state 64:45; all three become 16:15.
TEST_F(MP4RealFiles, Mp4ChangesTheSpsPaspAndTrackHeader) {
    const std::string path = Make("clip.mp4", {Clip(720, 576, "64/45")}, "mp4");
    std::unique_ptr<TScanSession> session = ScanFile(path);
    ASSERT_EQ(session->ARInfoList.Count(), 1u);
    const TARInfo &row = *session->ARInfoList.Items(0);
    EXPECT_EQ(row.SarText(), "64:45");
    ASSERT_NE(row.Track, nullptr);
    EXPECT_EQ(row.Track->Label, "track 1");
    ASSERT_EQ(row.Track->Statements.size(), 2u); // pasp, then tkhd
    EXPECT_NE(dynamic_cast<const TPaspStatement *>(row.Track->Statements[0].get()), nullptr);
    EXPECT_EQ(row.Track->StatedDisplayAspectRatio().X, 16);
    EXPECT_EQ(row.Track->StatedDisplayAspectRatio().Y, 9);
    CheckRoundTrip(path, {TKind::Dar, 0, {4, 3}}, {16, 15});
}

TEST_F(MP4RealFiles, FaststartPutsTheMovieHeaderFirst) {
    const std::string path = Make("fast.mp4", {Clip(720, 576, "64/45")}, "mp4", "", "-movflags +faststart");
    const std::vector<uint8_t> bytes = ReadFile(path);
    ASSERT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 8), "ftyp");
    CheckRoundTrip(path, {TKind::Sar, 0, {16, 11}}, {16, 11});
}

// MOV with AAC audio, 1440x1080 at 4:3 (a predefined code in the SPS): pasp, tkhd and the track aperture.
TEST_F(MP4RealFiles, MovWithAudioChangesTheTrackApertureToo) {
    const std::string path = Make("anamorphic.mov", {Clip(1440, 1080, "4/3")}, "mov", "aac");
    std::unique_ptr<TScanSession> session = ScanFile(path);
    ASSERT_EQ(session->ARInfoList.Count(), 1u);
    EXPECT_EQ(session->ARInfoList.Items(0)->TypeText(), "Predefined");
    EXPECT_EQ(session->ARInfoList.Items(0)->DarText(), "16:9");
    ASSERT_EQ(session->Tracks.size(), 1u);
    EXPECT_EQ(session->Tracks.front().Statements.size(), 4u); // pasp, tkhd, clef, prof
    // 4:3 at 1440x1080 is the square pixel of 1:1: code 1.
    CheckRoundTrip(path, {TKind::Dar, 0, {4, 3}}, {1, 1});
}

// Fragmented, with the SPS repeated in the samples: found in the avcC and in every fragment.
TEST_F(MP4RealFiles, FragmentedFilesAreWalkedFragmentByFragment) {
    const std::string path = Make("fragmented.mp4", {Clip(720, 576, "64/45", true)}, "mp4", "",
                                  "-movflags frag_keyframe+empty_moov");
    std::unique_ptr<TScanSession> session = ScanFile(path);
    EXPECT_EQ(static_cast<size_t>(session->RatioUnitCount), 1 + TraceSps(path).size());
    CheckRoundTrip(path, {TKind::Dar, 0, {4, 3}}, {16, 15});
}

// A stream that notes what the walk tells it ahead and where it reads.
class TToldStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    struct TRead {
        int64_t Offset = 0;
        size_t Told = 0; // how many places had been told by then
    };
    bool Planned = false;
    std::vector<int64_t> Told;
    std::vector<TRead> Reads;

    void PlanReads() override { Planned = true; }
    void Expect(int64_t offset, int64_t) override { Told.push_back(offset); }
    void ReadBuffer(void *buffer, size_t count) override {
        Reads.push_back({Position(), Told.size()});
        TMemoryStream::ReadBuffer(buffer, count);
    }
    TLentBytes Lend(int64_t offset, size_t count, size_t headRoom) override {
        Reads.push_back({offset, Told.size()});
        return TMemoryStream::Lend(offset, count, headRoom);
    }
};

// The samples are placed by their tables (or their fragments' runs) before they are read: the walk tells
// the stream where each sample lies, many samples ahead of the one it reads (so that a stream on a disk
// can ask for them all at once), and reads every sample's head only after it was told. What it finds is
// what a scan finds without it. (The samples of the movie header's tables are walked after the
// fragments'.)
TEST_F(MP4RealFiles, SampleHeadsAreToldBeforeTheyAreRead) {
    VideoSpec video = Clip(320, 240, "12/11", true);
    video.frames = 60;
    for (const std::string options : {"", "-movflags frag_keyframe"}) {
        SCOPED_TRACE(options);
        const std::string path = Make("planned.mp4", {video}, "mp4", "aac", options);
        TToldStream stream(ReadFile(path));
        TScanSession session;
        TMP4Parser parser(session);
        parser.Scan(stream);
        EXPECT_EQ(static_cast<size_t>(session.RatioUnitCount), 1 + TraceSps(path).size());
        EXPECT_TRUE(stream.Planned);
        ASSERT_GE(stream.Told.size(), 60u); // the video's samples at least
        size_t headsRead = 0;
        for (const TToldStream::TRead &read : stream.Reads) {
            const auto told = std::find(stream.Told.begin(), stream.Told.end(), read.Offset);
            if (told == stream.Told.end())
                continue; // a box, a table, or a unit further into a sample
            ++headsRead;
            const auto place = static_cast<size_t>(told - stream.Told.begin());
            EXPECT_LT(place, read.Told) << "read at " << read.Offset << " before it was told";
            if (headsRead == 1) { // the first head is read once those behind it in its run are told too
                EXPECT_GE(read.Told, 2u);
            }
        }
        EXPECT_GE(headsRead, 60u);
    }
}

// avc3: the parameter sets travel in the samples; every one of them changes.
TEST_F(MP4RealFiles, Avc3CarriesItsSpsInTheSamples) {
    VideoSpec video = Clip(720, 576, "64/45", true);
    video.tag = "avc3";
    const std::string path = Make("inband.mp4", {video}, "mp4");
    std::unique_ptr<TScanSession> session = ScanFile(path);
    EXPECT_GE(session->ARInfoList.Count(), 2u);
    CheckRoundTrip(path, {TKind::Sar, 0, {12, 11}}, {12, 11});
}

TEST_F(MP4RealFiles, ThreeGppIsAnIsoBaseMediaFileToo) {
    const std::string path = Make("phone.3gp", {Clip(176, 144, "12/11")}, "3gp");
    CheckRoundTrip(path, {TKind::Sar, 0, {16, 11}}, {16, 11});
}

// Two video tracks: each with its own rows and statements, both changed.
TEST_F(MP4RealFiles, TwoVideoTracksAreChangedEach) {
    const std::string path = Make("two.mp4", {Clip(720, 576, "64/45"), Clip(176, 144, "12/11")}, "mp4");
    std::unique_ptr<TScanSession> session = ScanFile(path);
    ASSERT_EQ(session->Tracks.size(), 2u);
    ASSERT_EQ(session->ARInfoList.Count(), 2u);
    EXPECT_NE(session->ARInfoList.Items(0)->Track, session->ARInfoList.Items(1)->Track);
    CheckRoundTrip(path, {TKind::Sar, 0, {1, 1}}, {1, 1}, 0);
    EXPECT_EQ(ReduceRatio(ProbeVideo(path, 1).sarWidth, ProbeVideo(path, 1).sarHeight).X, 1);
}

// A square-pixel file without a ratio in its SPS: ffmpeg writes no pasp, the track header holds the coded
// size. The track is listed by a container row, and a change writes the track header alone, which players
// then read as the new ratio.
TEST_F(MP4RealFiles, ASquarePixelFileGetsItsRatioFromTheContainerAlone) {
    const std::string path = Make("square.mp4", {Clip(720, 576, "")}, "mp4");
    std::unique_ptr<TScanSession> session = ScanFile(path);
    ASSERT_EQ(session->RatioUnitCount, 1);
    ASSERT_EQ(session->ARInfoList.Count(), 1u);
    const TARInfo &row = *session->ARInfoList.Items(0);
    EXPECT_TRUE(row.IsContainerRow());
    EXPECT_EQ(row.SarText(), "1:1");
    EXPECT_EQ(row.DarText(), "5:4");
    const std::vector<uint8_t> before = ReadFile(path);
    const std::vector<std::string> frames = FrameMd5(path);
    TARInfo &changed = *session->ARInfoList.Items(0);
    ASSERT_EQ((TRatioChange{TKind::Dar, 0, {16, 9}}).ApplyTo(changed), "");
    {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        const TWriteReport report = session->ARInfoList.WriteChanges(file);
        EXPECT_EQ(report.PatchCount, 1u);
        EXPECT_EQ(report.Lines,
                  std::vector<std::string>{"Display size (tkhd) of track 1: 720x576 changed to 1024x576."});
    }
    const ProbedVideo probed = ProbeVideo(path);
    EXPECT_EQ(probed.sarWidth, 64);
    EXPECT_EQ(probed.sarHeight, 45);
    EXPECT_EQ(FrameMd5(path), frames);
    EXPECT_EQ(ReadFile(path).size(), before.size());
}

// ---- Hand-built boxes ----

std::vector<uint8_t> Sps(uint8_t idc, uint16_t width = 0, uint16_t height = 0) {
    return BuildSps(At720x576(WithSar(idc, width, height))).nal;
}

const ByteVector Slice{0x65, 0x88, 0x84, 0x21, 0xA0};

class MP4Boxes : public ScanTest {
protected:
    ScanOutcome ScanBytes(const ByteVector &bytes) { return RunScanOf(NewScan(TFileFormat::Mp4), bytes); }
    std::vector<std::string> NoticeTexts() {
        std::vector<std::string> texts;
        for (const TScanNotice &notice : Session().Notices)
            texts.push_back(notice.Text);
        return texts;
    }
};

// Every length size, the SPS of the avcC first, then those of the samples in sample order, each placed
// where its bytes lie; the other units and the payloads are not read.
TEST_F(MP4Boxes, SpsInTheConfigurationAndTheSamplesForEveryLengthSize) {
    for (int lengthSize : {1, 2, 4}) {
        SCOPED_TRACE(lengthSize);
        Mp4Track track = AnamorphicTrack({{Sps(14), Slice}, {Slice}, {{0x06, 0x05, 0x01}, Sps(2), Slice}});
        track.lengthSize = lengthSize;
        for (bool moovFirst : {false, true}) {
            const ByteVector file = Mp4File({track}, moovFirst);
            ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
            ASSERT_EQ(Rows().Count(), 3u);
            EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
            EXPECT_EQ(Rows().Items(1)->SarText(), "4:3");
            EXPECT_EQ(Rows().Items(2)->SarText(), "12:11");
            for (size_t i = 0; i < 3; ++i) {
                const TARInfo &row = *Rows().Items(i);
                EXPECT_TRUE(std::equal(row.Unit->Bytes().begin(), row.Unit->Bytes().end(),
                                       file.begin() + row.Placement.FileOffset(0)));
            }
            EXPECT_EQ(Session().NoticeCount, 0);
        }
    }
}

// A track header of version 1, its display size at its own place, and a changed file that scans as written.
TEST_F(MP4Boxes, TrackHeadersOfEitherVersionAreWritten) {
    for (int version : {0, 1}) {
        SCOPED_TRACE(version);
        Mp4Track track = AnamorphicTrack({{Slice}});
        track.tkhdVersion = version;
        track.tapt = true;
        const ByteVector file = Mp4File({track});
        ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(Session().Tracks.front().Statements.size(), 4u);
        const auto &header =
            dynamic_cast<const TDisplaySizeStatement &>(*Session().Tracks.front().Statements[1]);
        EXPECT_EQ(header.Width, 1024u << 16);
        ASSERT_EQ((TRatioChange{TKind::Sar, 0, {16, 15}}).ApplyTo(*Rows().Items(0)), "");
        TMemoryStream memory(file);
        Rows().WriteChanges(memory);
        ASSERT_EQ(RunScanOf(NewScan(TFileFormat::Mp4), memory.Bytes()).kind, ScanOutcome::Kind::None);
        for (const auto &statement : Session().Tracks.front().Statements)
            EXPECT_EQ(statement->DisplayAspectRatio().X, 4) << "every statement says 4:3";
        EXPECT_EQ(Rows().Items(0)->SarText(), "16:15");
    }
}

// Sizes that lie, sizes of 0 and 64-bit sizes: the walk reads what the file holds, tells what it could not,
// and never goes back or stands still.
TEST_F(MP4Boxes, BoxSizesThatLieAreReadAsFarAsTheyGo) {
    const ByteVector good = Mp4File({AnamorphicTrack({{Sps(14), Slice}})});
    // A first box of size 0 reaches to the end: the movie header inside it is not read as a box of its own.
    ByteVector zero = good;
    zero[0] = zero[1] = zero[2] = zero[3] = 0;
    ASSERT_EQ(ScanBytes(zero).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), 0u);
    // A 64-bit size.
    ByteVector large = {0, 0, 0, 1, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 0, 0, 0, 24, 1, 2, 3, 4, 5, 6, 7, 8};
    Append(large, good);
    ASSERT_EQ(ScanBytes(large).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), 1u); // offsets in the tables now miss the samples by 24 bytes
    // A size below the header's: the walk stops there and says so.
    ByteVector tiny = good;
    tiny[3] = 4;
    ASSERT_EQ(ScanBytes(tiny).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(NoticeTexts(),
              std::vector<std::string>({Format(SBoxSizeInvalid, "ftyp", 0, 4),
                                        Format(STailNotBoxes, 0, static_cast<int64_t>(tiny.size()))}));
    // Cut short inside the movie header's sample tables: the decoder configuration's SPS is listed, the
    // samples the tables no longer reach are not, and the cut is told.
    ByteVector cut(good.begin(), good.end() - 10);
    ASSERT_EQ(ScanBytes(cut).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_FALSE(NoticeTexts().empty());
}

// A moov of boxes nested thousands deep, absurd entry counts, an stsc whose runs never end, samples past the
// end of the file, a NAL length that runs past its sample: told, bounded, never a crash or a hang.
TEST_F(MP4Boxes, AbsurdTablesAndNestingAreBounded) {
    ByteVector deep = Box("free", {});
    for (int i = 0; i < 5000; ++i)
        deep = Box("moov", deep);
    ASSERT_EQ(ScanBytes(deep).kind, ScanOutcome::Kind::None);
    // The top-level box is the first level: the box that would be one level too deep is named.
    EXPECT_EQ(Session().Notices.front().Text,
              Format(SBoxesTooDeep, TMP4Parser::MaxBoxDepth,
                     static_cast<int64_t>(8 * (TMP4Parser::MaxBoxDepth + 1))));

    Mp4Track track = AnamorphicTrack({{Sps(14), Slice}, {Slice}});
    ByteVector file = Mp4File({track});
    const std::string text(file.begin(), file.end());
    // stsz claims four billion samples, stsc four billion to a chunk.
    const size_t stsz = text.find("stsz");
    ByteVector absurd = file;
    for (size_t i = 0; i < 4; ++i)
        absurd[stsz + 12 + i] = 0xFF;
    const size_t stsc = text.find("stsc");
    for (size_t i = 0; i < 4; ++i)
        absurd[stsc + 16 + i] = 0xFF;
    ASSERT_EQ(ScanBytes(absurd).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), 2u);

    // The second chunk's offset points past the end of the file.
    const size_t stco = text.find("stco");
    ByteVector past = file;
    for (size_t i = 0; i < 4; ++i)
        past[stco + 16 + i] = 0x7F;
    ASSERT_EQ(ScanBytes(past).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SSamplesPastEnd, "track 1")});

    // The SPS's length in the first sample claims more than the sample.
    ByteVector overrun = file;
    const size_t sample = text.find("mdat") + 4;
    overrun[sample + 2] = 0x7F;
    ASSERT_EQ(ScanBytes(overrun).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), 1u);
    ASSERT_EQ(Session().Notices.size(), 1u);
    EXPECT_EQ(Session().Notices[0].Text,
              Format(SNalLengthPastSample, "track 1", static_cast<int64_t>(sample)));
}

// A track of a codec whose bitstream states no ratio (VP9) is listed by its container alone and changed
// there: pasp and tkhd, at the sample entry's size, its samples never read. One whose bitstream states a
// ratio of its own (MPEG-4 Part 2) or of a codec unknown here is listed, told, and its change refused.
TEST_F(MP4Boxes, TracksOfOtherCodecsAreListedByTheirContainer) {
    Mp4Track vp9 = AnamorphicTrack({{Sps(14), Slice}});
    vp9.entry = "vp09";
    vp9.width = 640;
    vp9.height = 480;
    vp9.pasp = {{1, 1}};
    vp9.displayWidth = 640u << 16;
    vp9.displayHeight = 480u << 16;
    const ByteVector file = Mp4File({vp9});
    ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().NoticeCount, 0);
    EXPECT_EQ(Session().RatioUnitCount, 0) << "the SPS-like bytes of its samples and config are not read";
    ASSERT_EQ(Rows().Count(), 1u);
    TARInfo &row = *Rows().Items(0);
    ASSERT_TRUE(row.IsContainerRow());
    EXPECT_TRUE(row.Track->ContainerOnly());
    EXPECT_STREQ(row.CodecEntry()->Key, "vp9");
    EXPECT_EQ(row.ResolutionText(), "640x480");
    EXPECT_EQ(row.DarText(), "4:3");
    ASSERT_EQ((TRatioChange{TKind::Dar, 0, {16, 9}}).ApplyTo(row), "");
    TPatchPlan plan = Rows().PlanChanges();
    EXPECT_TRUE(plan.Refusals.empty());
    EXPECT_EQ(plan.Entries.size(), 2u) << "pasp and tkhd";
    TMemoryStream memory(file);
    Rows().WriteChanges(memory);
    ASSERT_EQ(memory.Bytes().size(), file.size());
    ASSERT_EQ(ScanBytes(memory.Bytes()).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "4:3");
    for (const auto &statement : Session().Tracks.front().Statements) {
        EXPECT_EQ(statement->DisplayAspectRatio().X, 16);
        EXPECT_EQ(statement->DisplayAspectRatio().Y, 9);
    }

    struct TRefused {
        const char *Entry;
        std::string NotWritten;
    };
    for (const TRefused &c : {TRefused{"vc-1", Format(SUnreadCodecNotWritten, "track 1", "VC-1")},
                              TRefused{"xyzw", Format(SUnknownCodecNotWritten, "track 1", "xyzw")}}) {
        SCOPED_TRACE(c.Entry);
        Mp4Track other = AnamorphicTrack({{Slice}});
        other.entry = c.Entry;
        ASSERT_EQ(ScanBytes(Mp4File({other})).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(Rows().Count(), 1u);
        EXPECT_TRUE(Rows().Items(0)->IsContainerRow());
        EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
        EXPECT_FALSE(Session().Tracks.front().ContainerOnly());
        EXPECT_EQ(Session().Tracks.front().NotWritten, c.NotWritten);
        ASSERT_EQ(Session().Notices.size(), 1u);
        ASSERT_EQ((TRatioChange{TKind::Sar, 0, {1, 1}}).ApplyTo(*Rows().Items(0)), "");
        const TPatchPlan refused = Rows().PlanChanges();
        ASSERT_EQ(refused.Refusals.size(), 1u);
        EXPECT_EQ(refused.Refusals[0].Reason, c.NotWritten);
        EXPECT_TRUE(refused.Entries.empty());
    }
}

// An mp4v entry is what its esds's object type says: MPEG-2 video (0x61) and MPEG-4 Part 2 (0x20) are read
// from the decoder specific information and the samples' start codes; an esds whose descriptors run past
// it is told, and the entry stays what its type says.
TEST_F(MP4Boxes, AnMp4vEntryIsTheCodecItsEsdsNames) {
    // 720x576, 4:3 (code 2), with a sequence extension.
    const ByteVector sequence{0xB3, 0x2D, 0x02, 0x40, 0x23, 0xFF, 0xFF, 0xE0, 0x18, 0x00,
                              0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00};
    Mp4Track mpeg2 = AnamorphicTrack({{sequence, {0x00, 0x00, 0x0F, 0x00}}, {{0x00, 0x00, 0x0F, 0x01}}});
    mpeg2.entry = "mp4v";
    mpeg2.esdsObjectType = 0x61;
    mpeg2.esdsSpecificInfo = ByteVector{0x00, 0x00, 0x01};
    mpeg2.esdsSpecificInfo.insert(mpeg2.esdsSpecificInfo.end(), sequence.begin(), sequence.end());
    mpeg2.pasp = {{16, 15}};
    mpeg2.displayWidth = 768u << 16;
    const ByteVector file = Mp4File({mpeg2});
    ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().NoticeCount, 0);
    ASSERT_EQ(Rows().Count(), 2u) << "the decoder specific information's and the first sample's";
    for (size_t i = 0; i < Rows().Count(); ++i) {
        EXPECT_STREQ(Rows().Items(i)->CodecEntry()->Key, "mpeg2video");
        EXPECT_EQ(Rows().Items(i)->SarText(), "16:15");
    }
    for (size_t i = 0; i < Rows().Count(); ++i)
        ASSERT_EQ((TRatioChange{TKind::Dar, 0, {16, 9}}).ApplyTo(*Rows().Items(i)), "");
    TMemoryStream memory(file);
    Rows().WriteChanges(memory);
    ASSERT_EQ(ScanBytes(memory.Bytes()).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
    EXPECT_EQ(Rows().Items(1)->SarText(), "64:45");
    EXPECT_EQ(Session().Tracks.front().StatedSampleAspectRatio().X, 64) << "pasp follows";

    // Visual object sequence, visual object, video object, then a 720x576 VOL of code 2 (12:11).
    const ByteVector vol{0x20, 0x00, 0x88, 0x40, 0x06, 0x68, 0xB4, 0x22, 0x40, 0xA0};
    const std::vector<ByteVector> headers{{0xB0, 0x01}, {0xB5, 0x09}, {0x00}, vol};
    std::vector<ByteVector> keyFrame = headers;
    keyFrame.push_back({0xB6, 0x10, 0x60});
    Mp4Track part2 = mpeg2;
    part2.samples = {keyFrame, {{0xB6, 0x50, 0x60}}};
    part2.esdsObjectType = 0x20;
    part2.esdsSpecificInfo.clear();
    for (const ByteVector &unit : headers) {
        part2.esdsSpecificInfo.insert(part2.esdsSpecificInfo.end(), {0x00, 0x00, 0x01});
        part2.esdsSpecificInfo.insert(part2.esdsSpecificInfo.end(), unit.begin(), unit.end());
    }
    part2.pasp = {{12, 11}};
    const ByteVector part2File = Mp4File({part2});
    ASSERT_EQ(ScanBytes(part2File).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().NoticeCount, 0);
    EXPECT_STREQ(Session().Tracks.front().Codec->Key, "mpeg4visual");
    ASSERT_EQ(Rows().Count(), 2u) << "the decoder specific information's VOL and the key frame's";
    for (size_t i = 0; i < Rows().Count(); ++i) {
        EXPECT_STREQ(Rows().Items(i)->CodecEntry()->Key, "mpeg4visual");
        EXPECT_EQ(Rows().Items(i)->SarText(), "12:11");
        ASSERT_EQ((TRatioChange{TKind::Sar, 0, {16, 11}}).ApplyTo(*Rows().Items(i)), "");
    }
    TMemoryStream part2Memory(part2File);
    Rows().WriteChanges(part2Memory);
    ASSERT_EQ(ScanBytes(part2Memory.Bytes()).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "16:11");
    EXPECT_EQ(Rows().Items(1)->SarText(), "16:11");
    EXPECT_EQ(Session().Tracks.front().StatedSampleAspectRatio().X, 16) << "pasp follows";

    ByteVector damaged = file;
    const auto esds = std::search(damaged.begin(), damaged.end(), std::begin("esds"), std::end("esds") - 1);
    ASSERT_NE(esds, damaged.end());
    esds[4 + 4 + 1] = 0x7F; // the ES descriptor's size, past the box
    ASSERT_EQ(ScanBytes(damaged).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Session().Notices.size(), 1u);
    EXPECT_NE(Session().Notices[0].Text.find("elementary stream descriptor (esds)"), std::string::npos)
        << Session().Notices[0].Text;
    EXPECT_STREQ(Session().Tracks.front().Codec->Key, "mpeg4visual");
}

// An encrypted H.264 track lists its configuration's SPS as not changeable, with the reason, and its
// samples are not read.
TEST_F(MP4Boxes, EncryptedTracksAreToldNotChanged) {
    // encv without an frma naming the format it hides is no H.264 entry: a track of a codec unknown here.
    Mp4Track encrypted = AnamorphicTrack({{Sps(14), Slice}});
    encrypted.entry = "encv";
    encrypted.pasp.reset();
    ByteVector encv = Mp4File({encrypted});
    ASSERT_EQ(ScanBytes(encv).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().RatioUnitCount, 0);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_TRUE(Rows().Items(0)->IsContainerRow());
    EXPECT_EQ(Session().Tracks.front().NotWritten, Format(SUnknownCodecNotWritten, "track 1", "encv"));
    // With sinf/frma "avc1" behind its avcC it is: every box around it grows by the 20 bytes of sinf.
    const ByteVector sinf = Box("sinf", Box("frma", {'a', 'v', 'c', '1'}));
    auto sizeAt = [&encv](size_t at) {
        return (uint32_t{encv[at]} << 24) | (uint32_t{encv[at + 1]} << 16) | (uint32_t{encv[at + 2]} << 8) |
               encv[at + 3];
    };
    const size_t config = std::string(encv.begin(), encv.end()).find("avcC") - 4;
    encv.insert(encv.begin() + static_cast<ptrdiff_t>(config + sizeAt(config)), sinf.begin(), sinf.end());
    for (const char *type : {"encv", "stsd", "stbl", "minf", "mdia", "trak", "moov"}) {
        const size_t at = std::string(encv.begin(), encv.end()).find(type) - 4;
        const ByteVector size = BigEndian32(sizeAt(at) + static_cast<uint32_t>(sinf.size()));
        std::copy(size.begin(), size.end(), encv.begin() + static_cast<ptrdiff_t>(at));
    }
    ASSERT_EQ(ScanBytes(encv).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    ASSERT_NE(Rows().Items(0)->NotChangeable, nullptr);
    EXPECT_EQ(*Rows().Items(0)->NotChangeable, Format(SEncryptedTrack, "track 1"));
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SEncryptedSamples, "track 1")});
    ASSERT_EQ((TRatioChange{TKind::Sar, 0, {16, 15}}).ApplyTo(*Rows().Items(0)), "");
    TPatchPlan plan = Rows().PlanChanges();
    ASSERT_EQ(plan.Refusals.size(), 1u);
    EXPECT_EQ(plan.Refusals[0].Reason, Format(SEncryptedTrack, "track 1"));
}

} // namespace
