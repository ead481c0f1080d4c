// The Matroska scanner: real files made by ffmpeg and mkvmerge, changed in place and read back by ffprobe,
// trace_headers, a decoder, mkvinfo and an independent CRC-32 check; and hand-built EBML for lacing, header
// stripping, display sizes that must grow into a Void, and input made to break the walk.

#include "scan/MatroskaParser.h"
#include "BitWriter.h"
#include "EbmlBuilder.h"
#include "Mp4Builder.h"
#include "Mpeg4VolBuilder.h"
#include "RoundTrip.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "scan/MatroskaDisplayStatement.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using TKind = TRatioChange::TKind;

// ---- Independent readers of the result ----

// Every level-1 element that opens with a CRC-32 element: how many, and how many hold the CRC of the rest
// of their data (computed bit by bit, as the format documents define it).
struct TCrcCount {
    int found = 0;
    int valid = 0;
};

TCrcCount CheckCrcs(const ByteVector &bytes) {
    TCrcCount count;
    for (const MatroskaCrc &crc : MatroskaCrcs(bytes)) {
        ++count.found;
        count.valid += crc.valid;
    }
    return count;
}

bool HaveMkvToolNix() {
    return HaveTool("mkvmerge") && HaveTool("mkvinfo");
}

// mkvinfo reads the whole file, every element, and tells nothing wrong.
void ExpectMkvinfoReads(const std::string &path) {
    const CommandResult result = RunCommand("mkvinfo -a -v " + ShellQuote(path));
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    const std::regex complaint("error|warning|invalid|damaged|broken", std::regex::icase);
    EXPECT_FALSE(std::regex_search(result.output, complaint)) << result.output.substr(0, 2000);
    EXPECT_FALSE(std::regex_search(result.errors, complaint)) << result.errors;
    EXPECT_NE(result.output.find("Cluster"), std::string::npos);
}

// The display size mkvmerge reads from the file's first video track ("1024x576").
std::string MkvmergeDisplaySize(const std::string &path) {
    const CommandResult result = RunCommand("mkvmerge -J " + ShellQuote(path));
    std::smatch match;
    if (std::regex_search(result.output, match, std::regex("\"display_dimensions\": \"(\\d+x\\d+)\"")))
        return match[1];
    return "";
}

const TMatroskaDisplayStatement *DisplayOf(const TTrack &track) {
    return track.Statements.empty()
               ? nullptr
               : dynamic_cast<const TMatroskaDisplayStatement *>(track.Statements.front().get());
}

class MatroskaRealFiles : public ScanTest {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }
    std::string Make(const std::string &name, const std::vector<VideoSpec> &videos,
                     const std::string &audio = "") {
        const std::string path = Dir.File(name);
        MakeContainer(path, videos, "matroska", audio);
        return path;
    }
};

// ffmpeg's usual file: the SPS in CodecPrivate and before every key frame, the display size as the
// reduced aspect ratio (16:9, one byte each), a CRC-32 in every Cluster and in Tracks, AAC beside it.
TEST_F(MatroskaRealFiles, FfmpegFileChangesEverySpsTheDisplayRatioAndTheCrcs) {
    const std::string path = Make("clip.mkv", {Clip(720, 576, "64/45", true)}, "aac");
    const TCrcCount before = CheckCrcs(ReadFile(path));
    ASSERT_GE(before.found, 3);
    ASSERT_EQ(before.valid, before.found);
    std::unique_ptr<TScanSession> session = ScanFile(path);
    EXPECT_EQ(static_cast<size_t>(session->RatioUnitCount), 1 + TraceSps(path).size());
    ASSERT_GE(session->ARInfoList.Count(), 3u);
    ASSERT_EQ(session->Tracks.size(), 1u);
    const TTrack &track = session->Tracks.front();
    EXPECT_EQ(track.Label, "track 1");
    const TMatroskaDisplayStatement *display = DisplayOf(track);
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->Video().Unit, 3u);
    EXPECT_EQ(display->Video().DisplayWidth.Size, 1);
    EXPECT_EQ(track.StatedDisplayAspectRatio().X, 16);
    EXPECT_EQ(track.StatedSampleAspectRatio().X, 64);
    EXPECT_EQ(session->Notices.size(), 0u);

    CheckRoundTrip(path, {TKind::Dar, 0, {4, 3}}, {16, 15});
    const TCrcCount after = CheckCrcs(ReadFile(path));
    EXPECT_EQ(after.found, before.found);
    EXPECT_EQ(after.valid, after.found);
    ExpectMkvinfoReads(path);
    std::unique_ptr<TScanSession> again = ScanFile(path);
    EXPECT_EQ(again->Tracks.front().StatedDisplayAspectRatio().X, 4);
    EXPECT_EQ(again->Tracks.front().StatedDisplayAspectRatio().Y, 3);
}

// Written to a pipe, as a live recording: the Segment has an unknown size.
TEST_F(MatroskaRealFiles, LiveRecordingWithASegmentOfUnknownSize) {
    const std::string path = Dir.File("live.mkv");
    MakeFromRecipe("ffmpeg -hide_banner -nostdin -loglevel error -f lavfi -i "
                   "testsrc=size=720x576:rate=25:duration=0.4,setsar=64/45 -c:v libx264 -preset veryfast "
                   "-x264-params repeat-headers=1:keyint=5 -f matroska - > %OUT%",
                   path);
    const ByteVector bytes = ReadFile(path);
    EbmlHead head, segment;
    ASSERT_TRUE(ReadEbmlHead(bytes, 0, bytes.size(), head));
    ASSERT_TRUE(ReadEbmlHead(bytes, head.end, bytes.size(), segment));
    ASSERT_TRUE(segment.unknown);
    std::unique_ptr<TScanSession> session = ScanFile(path);
    EXPECT_EQ(static_cast<size_t>(session->RatioUnitCount), 1 + TraceSps(path).size());
    CheckRoundTrip(path, {TKind::Sar, 0, {12, 11}}, {12, 11});
    const TCrcCount after = CheckCrcs(ReadFile(path));
    EXPECT_GT(after.found, 0);
    EXPECT_EQ(after.valid, after.found);
    ExpectMkvinfoReads(path);
}

// mkvmerge's file: the display size in pixels (four bytes each), Voids at the top level, no CRC-32.
TEST_F(MatroskaRealFiles, MkvmergeFileKeepsTheDisplaySizeInPixels) {
    if (!HaveMkvToolNix())
        GTEST_SKIP() << "mkvtoolnix is not installed";
    const std::string path = Dir.File("merged.mkv");
    MakeFromRecipe("dir=$(mktemp -d) && ffmpeg -hide_banner -nostdin -loglevel error -f lavfi -i "
                   "testsrc=size=720x576:rate=25:duration=0.4,setsar=64/45 -c:v libx264 -preset veryfast "
                   "-x264-params repeat-headers=1:keyint=5 -f h264 \"$dir/s.h264\" && "
                   "{ mkvmerge -q -o %OUT% --default-duration 0:25fps \"$dir/s.h264\"; [ $? -le 1 ]; }; "
                   "status=$?; rm -rf \"$dir\"; exit $status",
                   path);
    EXPECT_EQ(MkvmergeDisplaySize(path), "1024x576");
    EXPECT_EQ(CheckCrcs(ReadFile(path)).found, 0);
    std::unique_ptr<TScanSession> session = ScanFile(path);
    const TMatroskaDisplayStatement *display = DisplayOf(session->Tracks.front());
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->Video().Unit, 0u);
    EXPECT_EQ(display->Video().DisplayWidth.Size, 4);
    EXPECT_EQ(display->Video().DisplayWidth.Value, 1024u);

    CheckRoundTrip(path, {TKind::Sar, 0, {16, 15}}, {16, 15});
    EXPECT_EQ(MkvmergeDisplaySize(path), "768x576");
    ExpectMkvinfoReads(path);
}

// ffmpeg writes no display elements for square pixels, and no Void in the Video element: they take their
// bytes from the Void behind the SeekHead, the Info and the Tracks (the SPS of the CodecPrivate with them)
// moving towards the Segment's start. The SPS and the container agree, every CRC-32 holds, and mkvinfo and
// mkvmerge read the file.
TEST_F(MatroskaRealFiles, SquarePixelsWithoutDisplayElementsGetThemFromTheVoidAhead) {
    const std::string path = Make("square.mkv", {Clip(320, 240, "1/1", true)});
    {
        std::unique_ptr<TScanSession> session = ScanFile(path);
        ASSERT_GE(session->ARInfoList.Count(), 2u);
        const TMatroskaDisplayStatement *display = DisplayOf(session->Tracks.front());
        ASSERT_NE(display, nullptr);
        EXPECT_FALSE(display->Video().DisplayWidth.Present());
        EXPECT_EQ(display->SampleAspectRatio().X, 1);
    }
    const TCrcCount before = CheckCrcs(ReadFile(path));
    CheckRoundTrip(path, {TKind::Sar, 0, {4, 3}}, {4, 3});
    EXPECT_EQ(MkvmergeDisplaySize(path), "320x180");
    const TCrcCount after = CheckCrcs(ReadFile(path));
    EXPECT_EQ(after.found, before.found);
    EXPECT_EQ(after.valid, after.found);
    ExpectMkvinfoReads(path);
}

// No ratio in the SPS: ffmpeg writes DisplayUnit 4 ("unknown") and no display size, which leaves the
// ratio to the SPS. The SPS is counted, nothing is listed, and the track states nothing.
TEST_F(MatroskaRealFiles, AnUnknownDisplayUnitLeavesTheRatioToTheSps) {
    const std::string path = Make("noratio.mkv", {Clip(320, 240, "")});
    std::unique_ptr<TScanSession> session = ScanFile(path);
    EXPECT_EQ(session->RatioUnitCount, 1);
    EXPECT_EQ(session->ARInfoList.Count(), 0u);
    ASSERT_EQ(session->Tracks.size(), 1u);
    EXPECT_FALSE(session->Tracks.front().HasStatement());
}

// WebM is Matroska under another DocType: scanned, forced as Matroska or not, its VP8 track listed by its
// display size.
TEST_F(MatroskaRealFiles, WebMIsReadAsMatroska) {
    const std::string path = Dir.File("clip.webm");
    MakeFromRecipe(
        "ffmpeg -hide_banner -nostdin -loglevel error -f lavfi -i testsrc=size=64x48:rate=25:duration=0.2 "
        "-c:v libvpx -f webm %OUT%",
        path);
    ASSERT_EQ(ProbeFile(path), TFileFormat::WebM);
    EXPECT_TRUE(IsScannable(TFileFormat::WebM));
    for (TFileFormat format : {TFileFormat::WebM, TFileFormat::Matroska}) {
        ASSERT_EQ(RunScan(NewScan(format), path).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(Rows().Count(), 1u);
        EXPECT_TRUE(Rows().Items(0)->IsContainerRow());
        EXPECT_STREQ(Rows().Items(0)->CodecEntry()->Key, "vp8");
        EXPECT_EQ(Rows().Items(0)->ResolutionText(), "64x48");
    }
}

// ---- Hand-built EBML ----

ByteVector Sps(uint8_t idc, uint16_t width = 0, uint16_t height = 0, bool ratio = true) {
    SpsFields fields = At720x576(WithSar(idc, width, height));
    fields.aspect_ratio_info_present_flag = ratio ? 1 : 0;
    return BuildSps(fields).nal;
}

const ByteVector Slice{0x65, 0x88, 0x84, 0x21, 0xA0};

MkvTrack AvcTrack() {
    MkvTrack track;
    track.sps = {Sps(255, 64, 45)};
    track.displayWidth = 16;
    track.displayHeight = 9;
    track.displayUnit = 3;
    return track;
}

MkvFile OneTrack(const MkvTrack &track, std::vector<std::vector<MkvBlock>> clusters) {
    MkvFile file;
    file.tracks = {track};
    file.clusters = std::move(clusters);
    return file;
}

MkvBlock Frames(std::vector<std::vector<ByteVector>> frames, int lacing = 0, bool simple = true) {
    MkvBlock block;
    block.frames = std::move(frames);
    block.lacing = lacing;
    block.simple = simple;
    return block;
}

class MatroskaElements : public ScanTest {
protected:
    ScanOutcome ScanBytes(const ByteVector &bytes) {
        return RunScanOf(NewScan(TFileFormat::Matroska), bytes);
    }
    std::vector<std::string> NoticeTexts() {
        std::vector<std::string> texts;
        for (const TScanNotice &notice : Session().Notices)
            texts.push_back(notice.Text);
        return texts;
    }
    std::vector<std::string> SarTexts() {
        std::vector<std::string> texts;
        for (size_t i = 0; i < Rows().Count(); ++i)
            texts.push_back(Rows().Items(i)->SarText());
        return texts;
    }
    // Every row given the change, written into a copy of the bytes in memory.
    ByteVector Saved(const ByteVector &bytes, const TRatioChange &change) {
        for (size_t i = 0; i < Rows().Count(); ++i)
            EXPECT_EQ(change.ApplyTo(*Rows().Items(i)), "");
        TMemoryStream memory(bytes);
        Rows().WriteChanges(memory);
        return memory.Bytes();
    }
    const TMatroskaDisplayStatement *Display() { return DisplayOf(Session().Tracks.front()); }
    // Where the rows' units lie, their bytes are the file's.
    void ExpectRowsInFile(const ByteVector &bytes) {
        for (size_t i = 0; i < Rows().Count(); ++i) {
            const TARInfo &row = *Rows().Items(i);
            const auto at = static_cast<size_t>(row.Placement.FileOffset(0));
            ASSERT_TRUE(row.Placement.Contiguous());
            EXPECT_TRUE(std::equal(row.Unit->Bytes().begin(), row.Unit->Bytes().end(), bytes.begin() + at))
                << "row " << i;
        }
    }
};

// Every kind of block and lacing, for every length size: the SPS of CodecPrivate first, then those of
// the frames in file order, each where its bytes lie. A save writes every SPS and the display ratio, and
// brings the CRC-32 of Tracks and of the Cluster up to date.
TEST_F(MatroskaElements, EveryLacingAndBlockKindForEveryLengthSize) {
    ByteVector large(600, 0x11);
    large[0] = 0x65;
    for (int lengthSize : {1, 2, 4}) {
        SCOPED_TRACE(lengthSize);
        MkvTrack track = AvcTrack();
        track.lengthSize = lengthSize;
        MkvFile file =
            OneTrack(track, {{Frames({{Sps(14), Slice}}), Frames({{large}, {Sps(2), Slice}, {Slice}}, 1),
                              Frames({{Sps(3), Slice}, {Sps(3), Slice}}, 2, false),
                              Frames({{large}, {Slice}, {{0x06, 0x05}, Sps(4)}}, 3, false)}});
        if (lengthSize == 1)
            file.clusters[0][1].frames[0] = {Slice}; // a length of one byte holds no 600-byte unit
        if (lengthSize == 1)
            file.clusters[0][3].frames[0] = {Slice, Slice, Slice};
        file.crc = true;
        const ByteVector bytes = MatroskaFile(file);
        ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(SarTexts(), (std::vector<std::string>{"64:45", "4:3", "12:11", "10:11", "10:11", "16:11"}));
        EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
        ExpectRowsInFile(bytes);
        EXPECT_EQ(Session().ChecksumRegions.size(), 2u);

        const ByteVector saved = Saved(bytes, {TKind::Sar, 0, {4, 3}});
        const TCrcCount crcs = CheckCrcs(saved);
        EXPECT_EQ(crcs.found, 3); // Info, Tracks, Cluster
        EXPECT_EQ(crcs.valid, 3);
        ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(SarTexts(), std::vector<std::string>(6, "4:3"));
        EXPECT_EQ(Session().Tracks.front().StatedSampleAspectRatio().X, 4);
    }
}

// A live recording: Segment and Clusters of unknown size, each Cluster ended by the next one.
TEST_F(MatroskaElements, UnknownSizesEndWhereTheNextClusterBegins) {
    MkvFile file = OneTrack(AvcTrack(), {{Frames({{Sps(14), Slice}})}, {Frames({{Sps(2), Slice}})}});
    file.unknownSizes = true;
    const ByteVector bytes = MatroskaFile(file);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), (std::vector<std::string>{"64:45", "4:3", "12:11"}));
    EXPECT_TRUE(NoticeTexts().empty());
    ExpectRowsInFile(bytes);
}

// Tracks behind the Clusters, as players find them: through the SeekHead, or where the elements' sizes
// lead. Every SPS of the frames before them is read and written; where nothing leads to them (Clusters
// of unknown size, no SeekHead) the frames before them are not read, and the save is refused with why,
// nothing written.
TEST_F(MatroskaElements, TracksBehindTheClustersAreReadBeforeTheFrames) {
    MkvFile file =
        OneTrack(AvcTrack(), {{Frames({{Sps(14), Slice}})}, {Frames({{Sps(2), Slice}}, 0, false)}});
    file.tracksAfterClusters = true;
    struct TLayout {
        bool seekHead, unknownSizes;
    };
    for (const TLayout layout : {TLayout{false, false}, TLayout{true, false}, TLayout{true, true}}) {
        SCOPED_TRACE(testing::Message() << layout.seekHead << layout.unknownSizes);
        file.seekHead = layout.seekHead;
        file.unknownSizes = layout.unknownSizes;
        const ByteVector bytes = MatroskaFile(file);
        ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(SarTexts(), (std::vector<std::string>{"64:45", "4:3", "12:11"}));
        EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
        ExpectRowsInFile(bytes);
        const ByteVector saved = Saved(bytes, {TKind::Sar, 0, {4, 3}});
        ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(SarTexts(), std::vector<std::string>(3, "4:3"));
        EXPECT_EQ(Session().Tracks.front().StatedSampleAspectRatio().X, 4);
        if (layout.seekHead && !layout.unknownSizes && HaveTool("ffprobe")) {
            // ffmpeg finds the track through the SeekHead too.
            const CommandResult probe = RunCommand("ffprobe -v error -show_entries stream=codec_name,width " +
                                                   ShellQuote(Write("late.mkv", saved)));
            EXPECT_NE(probe.output.find("codec_name=h264"), std::string::npos)
                << probe.output << probe.errors;
            EXPECT_NE(probe.output.find("width=720"), std::string::npos);
        }
    }
    // Nothing leads to the entry: its blocks before it are told once, and no change is written.
    file.seekHead = false;
    const ByteVector lost = MatroskaFile(file);
    ASSERT_EQ(ScanBytes(lost).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), std::vector<std::string>{"64:45"});
    ASSERT_EQ(Session().Notices.size(), 1u);
    EXPECT_EQ(Session().Notices[0].Text, Format(SMkvBlockUnknownTrack, Session().Notices[0].FileOffset, 1));
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ((TRatioChange{TKind::Sar, 0, {4, 3}}).ApplyTo(*Rows().Items(i)), "");
    TMemoryStream memory(lost);
    const std::vector<TWriteRefusal> refusals = Rows().CheckChanges(memory);
    ASSERT_FALSE(refusals.empty());
    EXPECT_EQ(refusals.front().Reason, Format(SMkvFramesBeforeEntry, "track 1", "track 1"));
    EXPECT_THROW(Rows().WriteChanges(memory), Exception);
    EXPECT_EQ(memory.Bytes(), lost);
}

// A SeekHead that points where no Tracks element begins is not followed, and says so.
TEST_F(MatroskaElements, ASeekHeadThatLiesIsNotFollowed) {
    MkvFile file = OneTrack(AvcTrack(), {{Frames({{Sps(14), Slice}})}});
    file.tracksAfterClusters = true;
    file.seekHead = true;
    file.unknownSizes = true;
    ByteVector bytes = MatroskaFile(file);
    // The SeekPosition's last byte (8 bytes, behind 53 AC 88) points two bytes further.
    const ByteVector position{0x53, 0xAC, 0x88};
    const auto at = std::search(bytes.begin(), bytes.end(), position.begin(), position.end()) - bytes.begin();
    bytes[static_cast<size_t>(at) + 10] += 2;
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), std::vector<std::string>{"64:45"});
    ASSERT_GE(Session().Notices.size(), 1u);
    EXPECT_NE(Session().Notices[0].Text.find("SeekHead"), std::string::npos) << Session().Notices[0].Text;
}

// Tracks the SeekHead finds behind a Cluster of unknown size, inside a block whose size runs over their
// start: the block claims the Tracks' bytes as frame data, so a write of the display size (or of an SPS)
// would change them too. The file is damaged: told, listed, and nothing in it is changed.
TEST_F(MatroskaElements, TracksInsideABlockThatRunsOverThemAreNotChanged) {
    MkvFile file = OneTrack(AvcTrack(), {{Frames({{Sps(14), Slice}})}});
    file.tracksAfterClusters = file.seekHead = file.unknownSizes = true;
    ByteVector bytes = MatroskaFile(file);
    // The Tracks' own ID (the SeekHead names it too), and the Cluster's first SimpleBlock behind its
    // timestamp.
    const ByteVector tracksId{0x16, 0x54, 0xAE, 0x6B}, clusterId{0x1F, 0x43, 0xB6, 0x75};
    const auto tracks = static_cast<size_t>(
        std::find_end(bytes.begin(), bytes.end(), tracksId.begin(), tracksId.end()) - bytes.begin());
    const auto cluster = static_cast<size_t>(
        std::search(bytes.begin(), bytes.end(), clusterId.begin(), clusterId.end()) - bytes.begin());
    const auto block =
        static_cast<size_t>(std::find(bytes.begin() + cluster + 5, bytes.end(), 0xA3) - bytes.begin());
    ASSERT_LT(block, tracks);
    ASSERT_LT(tracks + 4 - (block + 2), 127u);
    bytes[block + 1] = static_cast<uint8_t>(0x80 | (tracks + 4 - (block + 2)));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    ASSERT_GE(Rows().Count(), 1u);
    EXPECT_TRUE(std::any_of(Session().Notices.begin(), Session().Notices.end(),
                            [&](const TScanNotice &notice) {
                                return notice.Text == Format(SMkvTracksOverrun, "SimpleBlock", block, tracks);
                            }))
        << NoticeTexts().front();
    for (size_t i = 0; i < Rows().Count(); ++i)
        ASSERT_EQ((TRatioChange{TKind::Sar, 0, {4, 3}}).ApplyTo(*Rows().Items(i)), "");
    const TPatchPlan plan = Rows().PlanChanges();
    EXPECT_TRUE(plan.Entries.empty());
    EXPECT_FALSE(plan.Refusals.empty());
}

// A CRC-32 may open any master element: the Segment, Info, Tracks, each TrackEntry and Video, Clusters and
// BlockGroups. A save of the SPS (in CodecPrivate, a SimpleBlock and a BlockGroup's Block) and of the
// display size keeps every one that held; one that did not hold (and those around it) still do not.
TEST_F(MatroskaElements, CrcAtEveryLevelHoldsAfterASaveAndABrokenOneStaysBroken) {
    MkvFile file = OneTrack(AvcTrack(), {{Frames({{Sps(14), Slice}}), Frames({{Sps(2), Slice}}, 0, false)}});
    file.crc = file.crcInside = file.crcSegment = true;
    const ByteVector bytes = MatroskaFile(file);
    const std::vector<MatroskaCrc> before = MatroskaCrcs(bytes);
    ASSERT_EQ(before.size(), 7u); // Segment, Info, Tracks, TrackEntry, Video, Cluster, BlockGroup
    for (const MatroskaCrc &crc : before)
        ASSERT_TRUE(crc.valid);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().ChecksumRegions.size(), 6u); // all but Info's, which the walk does not enter
    const ByteVector saved = Saved(bytes, {TKind::Sar, 0, {4, 3}});
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), std::vector<std::string>(3, "4:3"));
    EXPECT_EQ(Session().Tracks.front().StatedSampleAspectRatio().X, 4);
    for (const MatroskaCrc &crc : MatroskaCrcs(saved))
        EXPECT_TRUE(crc.valid) << std::hex << crc.offset;

    // The Video's CRC-32 broken: it, and the TrackEntry's, Tracks' and Segment's around it, stay broken.
    ByteVector broken = bytes;
    broken[before[4].offset] ^= 0x01;
    std::vector<bool> held;
    for (const MatroskaCrc &crc : MatroskaCrcs(broken))
        held.push_back(crc.valid);
    EXPECT_EQ(held, (std::vector<bool>{false, true, false, false, false, true, true}));
    ASSERT_EQ(ScanBytes(broken).kind, ScanOutcome::Kind::None);
    const ByteVector savedBroken = Saved(broken, {TKind::Sar, 0, {4, 3}});
    std::vector<bool> after;
    for (const MatroskaCrc &crc : MatroskaCrcs(savedBroken))
        after.push_back(crc.valid);
    EXPECT_EQ(after, held);
    EXPECT_NE(savedBroken, broken);
}

// Fixed-laced blocks of empty frames whose stripped header bytes hold an SPS: a few bytes give hundreds of
// thousands of frames. The SPS in the stripped bytes is one place, read once: the rows, the work and the
// memory stay those of the few bytes.
TEST_F(MatroskaElements, EmptyLacedFramesOfStrippedBytesAreReadOnce) {
    MkvTrack track = AvcTrack();
    track.stripped = MkvFrame({Sps(3)}, 4);
    MkvBlock block = Frames(std::vector<std::vector<ByteVector>>(256, {Sps(3)}), 2);
    std::vector<MkvBlock> blocks(1400, block);
    MkvFile file = OneTrack(track, {blocks});
    const ByteVector bytes = MatroskaFile(file);
    ASSERT_LT(bytes.size(), 16u * 1024);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), (std::vector<std::string>{"64:45", "10:11"}));
    EXPECT_EQ(Session().RatioUnitCount, 2);
    ASSERT_NE(Rows().Items(1)->NotChangeable, nullptr);
    EXPECT_EQ(*Rows().Items(1)->NotChangeable,
              Format(SSpsInStrippedHeader, Rows().Items(1)->Placement.FileOffset(0), "track 1"));
}

// Header stripping: the stripped bytes go back in front of every frame before its NAL units are read. An
// SPS whose bytes begin in them (kept once, in the track entry) is listed but not changed: writing there
// would change every frame.
TEST_F(MatroskaElements, HeaderStrippingPutsTheBytesBackAndGuardsAnSpsInThem) {
    MkvTrack track = AvcTrack();
    track.stripped = {0x00, 0x00, 0x00}; // the high bytes of every frame's first length
    MkvFile file = OneTrack(track, {{Frames({{Sps(2), Slice}}), Frames({{Slice}, {Sps(2), Slice}}, 1)}});
    const ByteVector bytes = MatroskaFile(file);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), (std::vector<std::string>{"64:45", "12:11", "12:11"}));
    ExpectRowsInFile(bytes);
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ(Rows().Items(i)->NotChangeable, nullptr);
    const ByteVector saved = Saved(bytes, {TKind::Sar, 0, {4, 3}});
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), std::vector<std::string>(3, "4:3"));

    // Every frame begins with the same SPS, and the muxer stripped its length and first two bytes: the
    // frames share its place, which is one row.
    const ByteVector sps = Sps(2);
    const ByteVector prefixed = MkvFrame({sps}, 4);
    track.stripped.assign(prefixed.begin(), prefixed.begin() + 6);
    file = OneTrack(track, {{Frames({{sps, Slice}}), Frames({{sps, Slice, Slice}})}});
    const ByteVector guarded = MatroskaFile(file);
    ASSERT_EQ(ScanBytes(guarded).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 2u);
    const std::string text(guarded.begin(), guarded.end());
    const auto settings =
        static_cast<int64_t>(text.find(std::string(prefixed.begin(), prefixed.begin() + 6)));
    const TARInfo &row = *Rows().Items(1);
    EXPECT_FALSE(row.Placement.Contiguous());
    EXPECT_EQ(row.Placement.FileOffset(0), settings + 4);
    ASSERT_NE(row.NotChangeable, nullptr);
    EXPECT_EQ(*row.NotChangeable, Format(SSpsInStrippedHeader, settings + 4, "track 1"));
    EXPECT_EQ(row.Unit->Bytes(), sps);
    for (size_t i = 0; i < Rows().Count(); ++i)
        ASSERT_EQ((TRatioChange{TKind::Sar, 0, {4, 3}}).ApplyTo(*Rows().Items(i)), "");
    const TPatchPlan plan = Rows().PlanChanges();
    ASSERT_EQ(plan.Refusals.size(), 1u);
    EXPECT_EQ(plan.Refusals[0].Reason, *Rows().Items(1)->NotChangeable);
}

// Compressed (zlib) or encrypted frames are not read; the SPS of CodecPrivate is listed, not changeable.
TEST_F(MatroskaElements, CompressedAndEncryptedTracksAreListedNotChanged) {
    MkvTrack compressed = AvcTrack();
    compressed.compression = 0;
    ASSERT_EQ(ScanBytes(MatroskaFile(OneTrack(compressed, {{Frames({{Sps(2), Slice}})}}))).kind,
              ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    ASSERT_NE(Rows().Items(0)->NotChangeable, nullptr);
    EXPECT_EQ(*Rows().Items(0)->NotChangeable, Format(SMkvCompressedTrack, "track 1", "zlib"));
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SMkvCompressedFrames, "track 1", "zlib")});

    MkvTrack encrypted = AvcTrack();
    encrypted.encrypted = true;
    ASSERT_EQ(ScanBytes(MatroskaFile(OneTrack(encrypted, {{Frames({{Sps(2), Slice}})}}))).kind,
              ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(*Rows().Items(0)->NotChangeable, Format(SMkvEncryptedTrack, "track 1"));
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SMkvEncryptedFrames, "track 1")});
    ASSERT_EQ((TRatioChange{TKind::Sar, 0, {4, 3}}).ApplyTo(*Rows().Items(0)), "");
    EXPECT_EQ(Rows().PlanChanges().Refusals.size(), 1u);
}

// The display size in the element's own unit: pixels at the cropped size with the height kept, leading
// zero bytes and all; an aspect ratio reduced; centimetres with the height kept; "unknown" states nothing.
TEST_F(MatroskaElements, DisplaySizesKeepTheirUnitAndTheirDataSize) {
    MkvTrack pixels = AvcTrack();
    pixels.sps = {Sps(255, 64, 45)};
    pixels.pixelWidth = 736;
    pixels.cropLeft = pixels.cropRight = 8;
    pixels.displayUnit.reset();
    pixels.displayWidth = 1024;
    pixels.displayHeight = 576;
    pixels.displaySize = 4;
    ByteVector bytes = MatroskaFile(OneTrack(pixels, {{Frames({{Slice}})}}));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().Tracks.front().Width, 720);
    EXPECT_EQ(Session().Tracks.front().StatedSampleAspectRatio().X, 64);
    for (size_t i = 0; i < Rows().Count(); ++i)
        ASSERT_EQ((TRatioChange{TKind::Sar, 0, {16, 15}}).ApplyTo(*Rows().Items(i)), "");
    TPatchPlan plan = Rows().PlanChanges();
    ASSERT_EQ(plan.Entries.size(), 2u);
    EXPECT_EQ(plan.Entries[1].Description,
              Format(SContainerFieldChanged, "Display size (DisplayWidth/DisplayHeight)", "track 1",
                     "1024x576", "768x576"));
    ASSERT_EQ(plan.Entries[1].Patches.size(), 1u); // the height stays
    EXPECT_EQ(plan.Entries[1].Patches[0].New, (std::vector<uint8_t>{0, 0, 0x03, 0x00}));

    MkvTrack ratio = AvcTrack();
    bytes = MatroskaFile(OneTrack(ratio, {{Frames({{Slice}})}}));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    ByteVector saved = Saved(bytes, {TKind::Sar, 0, {1, 1}});
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Display()->Video().DisplayWidth.Value, 5u);
    EXPECT_EQ(Display()->Video().DisplayHeight.Value, 4u);

    MkvTrack centimetres = AvcTrack();
    centimetres.displayUnit = 1;
    centimetres.displayWidth = 160;
    centimetres.displayHeight = 90;
    bytes = MatroskaFile(OneTrack(centimetres, {{Frames({{Slice}})}}));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    saved = Saved(bytes, {TKind::Dar, 0, {4, 3}});
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Display()->Video().DisplayWidth.Value, 120u);
    EXPECT_EQ(Display()->Video().DisplayHeight.Value, 90u);

    MkvTrack unknown = AvcTrack();
    unknown.displayUnit = 4;
    ASSERT_EQ(ScanBytes(MatroskaFile(OneTrack(unknown, {{Frames({{Slice}})}}))).kind,
              ScanOutcome::Kind::None);
    EXPECT_FALSE(Session().Tracks.front().HasStatement());
}

// Values that do not fit their elements grow into the Void right behind them: only the bytes of the
// elements and the Void's header change, the Video element keeps its size and every other byte its place.
// Without a Void the plan notes what players keep showing; a Void of one byte too many for a new Void
// gives the width a leading zero byte instead.
TEST_F(MatroskaElements, DisplayValuesGrowIntoAVoidOrTheNoteSaysWhyNot) {
    const TRatioChange wide{TKind::Sar, 0, {1000, 999}}; // at 720x576: the ratio 1250:999, two bytes each
    MkvTrack track = AvcTrack();
    ByteVector bytes = MatroskaFile(OneTrack(track, {{Frames({{Slice}})}}));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    for (size_t i = 0; i < Rows().Count(); ++i)
        ASSERT_EQ(wide.ApplyTo(*Rows().Items(i)), "");
    TPatchPlan plan = Rows().PlanChanges();
    EXPECT_EQ(plan.Notes, std::vector<std::string>{Format(SMkvDisplayNoRoom, "track 1",
                                                          Format(SMkvNoRoomElements, "1250:999"), "16:9")});

    for (size_t room : {12u, 3u}) {
        SCOPED_TRACE(room);
        track.voidAfterDisplay = room;
        bytes = MatroskaFile(OneTrack(track, {{Frames({{Slice}})}}));
        ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
        const int64_t runStart = Display()->Video().RoomStart;
        const int64_t runEnd = Display()->Video().RoomEnd;
        ASSERT_EQ(runEnd - runStart, 8 + static_cast<int64_t>(room));
        const TARInfo &sps = *Rows().Items(0);
        const int64_t spsStart = sps.Placement.FileOffset(0);
        const auto spsEnd = spsStart + static_cast<int64_t>(sps.Unit->Bytes().size());
        const ByteVector saved = Saved(bytes, wide);
        ASSERT_EQ(saved.size(), bytes.size());
        for (size_t i = 0; i < bytes.size(); ++i) {
            const auto at = static_cast<int64_t>(i);
            if ((at < runStart || at >= runEnd) && (at < spsStart || at >= spsEnd)) {
                ASSERT_EQ(saved[i], bytes[i]) << "only the SPS and the run change: byte " << i;
            }
        }
        ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Display()->Video().DisplayWidth.Value, 1250u);
        EXPECT_EQ(Display()->Video().DisplayHeight.Value, 999u);
        EXPECT_EQ(Display()->Video().DisplayWidth.Size, room == 3 ? 3 : 2);
        EXPECT_EQ(Display()->Video().RoomStart >= 0, room != 3) << "a Void is left only where bytes were";
        EXPECT_EQ(Rows().Items(0)->SarText(), "1000:999");
        EXPECT_TRUE(NoticeTexts().empty());
    }

    // No display elements at all, a Void in the Video element: the elements are written into it.
    MkvTrack bare = AvcTrack();
    bare.displayWidth.reset();
    bare.displayHeight.reset();
    bare.displayUnit.reset();
    bare.voidAfterDisplay = 20;
    bytes = MatroskaFile(OneTrack(bare, {{Frames({{Slice}})}}));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().Tracks.front().StatedSampleAspectRatio().X, 1);
    const ByteVector saved = Saved(bytes, {TKind::Sar, 0, {16, 15}});
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Display()->Video().DisplayWidth.Value, 768u);
    EXPECT_EQ(Display()->Video().DisplayHeight.Value, 576u);
}

// A track whose SPS carry no ratio is listed by its display size; a change writes the display size
// alone, or, where it has no room, is refused and nothing is written.
TEST_F(MatroskaElements, ContainerRowsWriteTheDisplaySizeOrAreRefused) {
    MkvTrack track = AvcTrack();
    track.sps = {Sps(0, 0, 0, false)};
    ByteVector bytes = MatroskaFile(OneTrack(track, {{Frames({{Slice}})}}));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_TRUE(Rows().Items(0)->IsContainerRow());
    EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
    const ByteVector saved = Saved(bytes, {TKind::Dar, 0, {4, 3}});
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Items(0)->SarText(), "16:15");

    track.displayWidth.reset();
    track.displayHeight.reset();
    bytes = MatroskaFile(OneTrack(track, {{Frames({{Slice}})}}));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "1:1");
    ASSERT_EQ((TRatioChange{TKind::Dar, 0, {16, 9}}).ApplyTo(*Rows().Items(0)), "");
    TMemoryStream memory(bytes);
    EXPECT_THROW(Rows().WriteChanges(memory), Exception);
    EXPECT_EQ(memory.Bytes(), bytes);
    const std::vector<TWriteRefusal> refusals = Rows().CheckChanges(memory);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Reason, Format(SMkvDisplayNoRoom, "track 1", SMkvNoDisplayElements, "5:4"));
}

// A WebM file's VP9 track is listed by its display size and changed there alone: the display elements grow
// into the Void behind them, every CRC-32 holds, its frames (SPS-like bytes and all) are never read, its
// encryption does not matter. A track whose bitstream states a ratio of its own (MPEG-2), or of a codec
// unknown here, is listed, told, and its change refused. An H.264 track under the webm DocType (as Chrome
// records) is read as in any Matroska file.
TEST_F(MatroskaElements, TracksOfOtherCodecsAreListedByTheirDisplaySize) {
    MkvTrack vp9 = AvcTrack();
    vp9.codecId = "V_VP9";
    vp9.codecPrivate = false;
    vp9.pixelWidth = 640;
    vp9.pixelHeight = 480;
    vp9.displayWidth.reset();
    vp9.displayHeight.reset();
    vp9.displayUnit.reset();
    vp9.voidAfterDisplay = 20;
    vp9.encrypted = true;
    MkvFile file = OneTrack(vp9, {{Frames({{Sps(14), Slice}})}});
    file.docType = "webm";
    file.crc = file.crcInside = true;
    const ByteVector bytes = MatroskaFile(file);
    TMemoryStream probed(bytes);
    ASSERT_EQ(DetectFormat(probed), TFileFormat::WebM);
    ASSERT_EQ(RunScanOf(NewScan(TFileFormat::WebM), bytes).kind, ScanOutcome::Kind::None);
    EXPECT_TRUE(NoticeTexts().empty());
    EXPECT_EQ(Session().RatioUnitCount, 0);
    ASSERT_EQ(Rows().Count(), 1u);
    const TARInfo &row = *Rows().Items(0);
    ASSERT_TRUE(row.IsContainerRow());
    EXPECT_STREQ(row.CodecEntry()->Key, "vp9");
    EXPECT_EQ(row.SarText(), "1:1");
    EXPECT_EQ(row.ResolutionText(), "640x480");
    const ByteVector saved = Saved(bytes, {TKind::Dar, 0, {16, 9}});
    ASSERT_EQ(saved.size(), bytes.size());
    for (const MatroskaCrc &crc : MatroskaCrcs(saved))
        EXPECT_TRUE(crc.valid) << std::hex << crc.offset;
    ASSERT_EQ(RunScanOf(NewScan(TFileFormat::WebM), saved).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Display()->Video().DisplayWidth.Value, 640u);
    EXPECT_EQ(Display()->Video().DisplayHeight.Value, 360u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "4:3");

    // A codec unknown here: its frames are not read, and its display size is not changed alone.
    MkvTrack other = AvcTrack();
    other.codecId = "V_FOO";
    ASSERT_EQ(ScanBytes(MatroskaFile(OneTrack(other, {{Frames({{Slice}})}}))).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_TRUE(Rows().Items(0)->IsContainerRow());
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SUnreadCodecStream, "track 1", "V_FOO")});
    ASSERT_EQ((TRatioChange{TKind::Sar, 0, {1, 1}}).ApplyTo(*Rows().Items(0)), "");
    const TPatchPlan refused = Rows().PlanChanges();
    ASSERT_EQ(refused.Refusals.size(), 1u);
    EXPECT_EQ(refused.Refusals[0].Reason, Format(SUnknownCodecNotWritten, "track 1", "V_FOO"));

    MkvFile chrome = OneTrack(AvcTrack(), {{Frames({{Sps(2), Slice}})}});
    chrome.docType = "webm";
    ASSERT_EQ(RunScanOf(NewScan(TFileFormat::WebM), MatroskaFile(chrome)).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), (std::vector<std::string>{"64:45", "12:11"}));
}

// mkvmerge keeps Xvid and DivX from AVI files as V_MS/VFW/FOURCC: a bitmap header that names the codec,
// then its headers, and frames as the AVI chunks were. MPEG-4 Part 2 behind it is read from the codec
// private data (past the bitmap header) and the frames; a FourCC of a codec whose Matroska frames are
// framed otherwise (H.264), or of none known, leaves the track named and not read.
TEST_F(MatroskaElements, VfwTracksAreReadWithTheCodecTheirBitmapHeaderNames) {
    auto bitmapHeader = [](const char *fourCC) {
        ByteVector header(40, 0);
        header[0] = 40;
        std::copy(fourCC, fourCC + 4, header.begin() + 16);
        return header;
    };
    const ByteVector headers = Mpeg4StreamHeaders(BuildVol({.aspect_ratio_info = 2}).bytes);
    ByteVector keyFrame = headers;
    keyFrame.insert(keyFrame.end(), {0x00, 0x00, 0x01, 0xB6, 0x10, 0x60});
    MkvTrack xvid;
    xvid.codecId = "V_MS/VFW/FOURCC";
    xvid.lengthSize = 0; // the frames are the chunks' bytes
    xvid.privateData = bitmapHeader("XVID");
    xvid.privateData->insert(xvid.privateData->end(), headers.begin(), headers.end());
    const ByteVector bytes = MatroskaFile(
        OneTrack(xvid, {{Frames({{keyFrame}}), Frames({{{0x00, 0x00, 0x01, 0xB6, 0x50, 0x60}}})}}));
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
    EXPECT_STREQ(Session().Tracks.front().Codec->Key, "mpeg4visual");
    ASSERT_EQ(SarTexts(), (std::vector<std::string>{"12:11", "12:11"}));
    ExpectRowsInFile(bytes);
    const ByteVector saved = Saved(bytes, {TKind::Sar, 0, {16, 11}});
    ASSERT_EQ(saved.size(), bytes.size());
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), (std::vector<std::string>{"16:11", "16:11"}));

    for (const char *fourCC : {"H264", "ABCD"}) {
        SCOPED_TRACE(fourCC);
        MkvTrack other = xvid;
        std::copy(fourCC, fourCC + 4, other.privateData->begin() + 16);
        ASSERT_EQ(ScanBytes(MatroskaFile(OneTrack(other, {{Frames({{keyFrame}})}}))).kind,
                  ScanOutcome::Kind::None);
        EXPECT_EQ(Session().RatioUnitCount, 0);
        EXPECT_EQ(Session().Tracks.front().Codec, nullptr);
        EXPECT_EQ(NoticeTexts(),
                  std::vector<std::string>{Format(SUnreadCodecStream, "track 1", "V_MS/VFW/FOURCC")});
    }
}

// Where the SeekHead's entry for an element points, from the Segment's data on; -1 for none.
int64_t SeekPositionOf(const ByteVector &bytes, uint32_t id) {
    EbmlHead ebml, segment, seekHead, seek, child;
    if (!ReadEbmlHead(bytes, 0, bytes.size(), ebml) ||
        !ReadEbmlHead(bytes, ebml.end, bytes.size(), segment) ||
        !ReadEbmlHead(bytes, segment.data, segment.end, seekHead))
        return -1;
    if (seekHead.id == 0xBF &&
        !ReadEbmlHead(bytes, seekHead.end, segment.end, seekHead)) // the Segment's CRC-32
        return -1;
    if (seekHead.id != 0x114D9B74)
        return -1;
    for (size_t at = seekHead.data; ReadEbmlHead(bytes, at, seekHead.end, seek); at = seek.end) {
        uint32_t sought = 0;
        int64_t position = -1;
        for (size_t in = seek.data; seek.id == 0x4DBB && ReadEbmlHead(bytes, in, seek.end, child);
             in = child.end) {
            uint64_t value = 0;
            for (size_t i = child.data; i < child.end; ++i)
                value = (value << 8) | bytes[i];
            if (child.id == 0x53AB)
                sought = static_cast<uint32_t>(value);
            else if (child.id == 0x53AC)
                position = static_cast<int64_t>(value);
        }
        if (sought == id)
            return static_cast<int64_t>(segment.data) + position;
    }
    return -1;
}

uint32_t IdAt(const ByteVector &bytes, int64_t at) {
    EbmlHead head;
    return at >= 0 && ReadEbmlHead(bytes, static_cast<size_t>(at), bytes.size(), head) ? head.id : 0;
}

// A Video without room for its display size takes the bytes from the Void behind the SeekHead, as ffmpeg
// leaves it: the Info and the Tracks' first bytes move towards the Segment's start, the SeekHead's positions
// follow, every CRC-32 (SeekHead, Tracks, TrackEntry, Video, Segment) holds, and nothing behind the display
// elements moves. A Void that would be left one byte long, or is too short, leaves the change refused. A
// save that moved elements leaves the session outdated: nothing more is planned from it.
TEST_F(MatroskaElements, DisplayElementsTakeRoomFromTheVoidAheadOfTheTracks) {
    MkvTrack vp9 = AvcTrack();
    vp9.codecId = "V_VP9";
    vp9.codecPrivate = false;
    vp9.displayWidth.reset();
    vp9.displayHeight.reset();
    vp9.displayUnit.reset();
    MkvFile file = OneTrack(vp9, {{Frames({{Slice}})}});
    file.seekHead = file.seekHeadCrc = true;
    file.crc = file.crcInside = file.crcSegment = true;
    // DAR 16:9 at 720x576: DisplayWidth 1024 and DisplayHeight 576, two bytes of value each: 10 bytes.
    const TRatioChange wide{TKind::Dar, 0, {16, 9}};
    for (size_t room : {40u, 10u, 12u}) {
        SCOPED_TRACE(room);
        file.voidAfterSeekHead = room;
        const ByteVector bytes = MatroskaFile(file);
        const std::vector<MatroskaCrc> before = MatroskaCrcs(bytes);
        ASSERT_EQ(before.size(), 7u); // Segment, SeekHead, Info, Tracks, TrackEntry, Video, Cluster
        const int64_t tracksAt = SeekPositionOf(bytes, 0x1654AE6B);
        ASSERT_EQ(IdAt(bytes, tracksAt), 0x1654AE6Bu);
        EbmlHead tracks;
        ASSERT_TRUE(ReadEbmlHead(bytes, static_cast<size_t>(tracksAt), bytes.size(), tracks));
        ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(Rows().Count(), 1u);
        EXPECT_EQ(Rows().Items(0)->SarText(), "1:1");
        const ByteVector saved = Saved(bytes, wide);
        ASSERT_EQ(saved.size(), bytes.size());
        const std::vector<MatroskaCrc> after = MatroskaCrcs(saved);
        ASSERT_EQ(after.size(), before.size());
        for (const MatroskaCrc &crc : after)
            EXPECT_TRUE(crc.valid) << std::hex << crc.offset;
        EXPECT_TRUE(std::equal(bytes.begin() + static_cast<ptrdiff_t>(tracks.end), bytes.end(),
                               saved.begin() + static_cast<ptrdiff_t>(tracks.end)))
            << "nothing behind the Tracks moves";
        EXPECT_EQ(SeekPositionOf(saved, 0x1654AE6B), tracksAt - 10);
        EXPECT_EQ(IdAt(saved, SeekPositionOf(saved, 0x1654AE6B)), 0x1654AE6Bu);
        EXPECT_EQ(IdAt(saved, SeekPositionOf(saved, 0x1549A966)), 0x1549A966u);
        // The row holds what was written, as after any save.
        EXPECT_FALSE(Rows().Items(0)->IsChanged());
        EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
        // The session that wrote it holds places that moved: nothing more is planned from it.
        ASSERT_EQ((TRatioChange{TKind::Dar, 0, {4, 3}}).ApplyTo(*Rows().Items(0)), "");
        const TPatchPlan again = Rows().PlanChanges();
        ASSERT_EQ(again.Refusals.size(), 1u);
        EXPECT_EQ(again.Refusals[0].Reason, SSessionOutdated);
        // Read anew, it states the ratio.
        ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
        EXPECT_TRUE(NoticeTexts().empty());
        EXPECT_EQ(Display()->Video().DisplayWidth.Value, 1024u);
        EXPECT_EQ(Display()->Video().DisplayHeight.Value, 576u);
        EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
    }
    // The Video's CRC-32 broken: it and those around it (TrackEntry, Tracks, Segment) stay broken.
    file.voidAfterSeekHead = 40;
    ByteVector broken = MatroskaFile(file);
    std::vector<MatroskaCrc> crcs = MatroskaCrcs(broken);
    ASSERT_EQ(crcs.size(), 7u);
    broken[crcs[5].offset] ^= 0x5A;
    crcs = MatroskaCrcs(broken);
    ASSERT_EQ(ScanBytes(broken).kind, ScanOutcome::Kind::None);
    const std::vector<MatroskaCrc> afterBroken = MatroskaCrcs(Saved(broken, wide));
    ASSERT_EQ(afterBroken.size(), crcs.size());
    for (size_t i = 0; i < crcs.size(); ++i)
        EXPECT_EQ(afterBroken[i].valid, crcs[i].valid) << i;
    EXPECT_FALSE(afterBroken[5].valid);

    // A Void too small, or one left a byte long, gives no room; nor does any where the walk could not read
    // the whole Segment (a SeekHead it did not reach would keep the old places): here the file is cut.
    for (size_t room : {11u, 9u, 0u}) {
        SCOPED_TRACE(room);
        file.voidAfterSeekHead = room == 0 ? 40 : room;
        ByteVector bytes = MatroskaFile(file);
        if (room == 0)
            bytes.resize(bytes.size() - 2);
        ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(wide.ApplyTo(*Rows().Items(0)), "");
        TMemoryStream memory(bytes);
        const std::vector<TWriteRefusal> refusals = Rows().CheckChanges(memory);
        ASSERT_EQ(refusals.size(), 1u);
        EXPECT_EQ(refusals[0].Reason, Format(SMkvDisplayNoRoom, "track 1", SMkvNoDisplayElements, "5:4"));
    }
}

// Two tracks, CRC-32 in every TrackEntry and Video: the first (H.264) writes the SPS of its CodecPrivate and
// its display size in place; the second (VP9) takes room from the Void ahead of the Tracks. Both the SPS and
// the first track's display elements lie among the bytes that move: they are written with them, and every
// CRC-32 over them, the first track's included, holds.
TEST_F(MatroskaElements, PatchesAmongMovedBytesMoveWithThem) {
    MkvTrack avc = AvcTrack();
    avc.sps = {Sps(2)};
    avc.displayUnit.reset();
    avc.displayWidth = 786;
    avc.displayHeight = 576;
    MkvTrack vp9 = AvcTrack();
    vp9.number = 2;
    vp9.codecId = "V_VP9";
    vp9.codecPrivate = false;
    vp9.displayWidth.reset();
    vp9.displayHeight.reset();
    vp9.displayUnit.reset();
    MkvFile file;
    file.tracks = {avc, vp9};
    file.clusters = {{Frames({{Slice}})}};
    file.seekHead = file.seekHeadCrc = true;
    file.voidAfterSeekHead = 40;
    file.crc = file.crcInside = true;
    const ByteVector bytes = MatroskaFile(file);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 2u); // the SPS, and the VP9 track's container row
    const ByteVector saved = Saved(bytes, {TKind::Sar, 0, {16, 11}}); // DAR 20:11: 720x396 in pixels
    for (const MatroskaCrc &crc : MatroskaCrcs(saved))
        EXPECT_TRUE(crc.valid) << std::hex << crc.offset;
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    EXPECT_TRUE(NoticeTexts().empty());
    EXPECT_EQ(SarTexts(), (std::vector<std::string>{"16:11", "16:11"}));
    for (const TTrack &track : Session().Tracks) {
        EXPECT_EQ(track.StatedDisplayAspectRatio().X, 20) << track.Label;
        EXPECT_EQ(track.StatedDisplayAspectRatio().Y, 11) << track.Label;
    }
}

// ---- Input made to break the walk: told, bounded, never a crash or a hang ----

ByteVector WithSegment(const ByteVector &children) {
    ByteVector bytes = Ebml(0x1A45DFA3, EbmlString(0x4282, "matroska"));
    Append(bytes, Ebml(0x18538067, children));
    return bytes;
}

ByteVector TracksOf(const MkvTrack &track) {
    const ByteVector whole = MatroskaFile(OneTrack(track, {}));
    const std::string text(whole.begin(), whole.end());
    const size_t at = text.find(std::string("\x16\x54\xAE\x6B"));
    EbmlHead head;
    ReadEbmlHead(whole, at, whole.size(), head);
    return ByteVector(whole.begin() + static_cast<ptrdiff_t>(at),
                      whole.begin() + static_cast<ptrdiff_t>(head.end));
}

ByteVector ClusterOf(const ByteVector &blockData) {
    ByteVector children = EbmlUnsigned(0xE7, 0);
    Append(children, Ebml(0xA3, blockData));
    return Ebml(0x1F43B675, children);
}

TEST_F(MatroskaElements, SizesIdsAndUnknownSizesThatLieAreToldAndPassed) {
    const ByteVector tracks = TracksOf(AvcTrack());
    const ByteVector good = ClusterOf(MkvBlockData(Frames({{Sps(2), Slice}}), 1, 4, {}));

    // A track entry that claims more than its Tracks holds is read to the end of the Tracks.
    ByteVector entry = EbmlId(0xAE);
    Append(entry, EbmlSize(1000));
    Append(entry, EbmlUnsigned(0xD7, 1));
    ByteVector lying = Ebml(0x1654AE6B, entry);
    ByteVector children = lying;
    Append(children, good);
    ByteVector bytes = WithSegment(children);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    const auto entryAt = static_cast<int64_t>(bytes.size() - good.size() - entry.size());
    EXPECT_EQ(NoticeTexts().front(), Format(SEbmlPastParent, "TrackEntry", entryAt, "Tracks"));

    // An ID of five bytes and a size of nine bytes: the rest of the Cluster is passed, the next read.
    for (const ByteVector &illegal :
         {ByteVector{0x08, 0x01, 0x02, 0x03, 0x04, 0x81, 0x00},
          ByteVector{0xA3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}}) {
        ByteVector cluster = EbmlUnsigned(0xE7, 0);
        Append(cluster, illegal);
        children = tracks;
        Append(children, Ebml(0x1F43B675, cluster));
        Append(children, good);
        bytes = WithSegment(children);
        ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
        const int64_t at = static_cast<int64_t>(bytes.size() - good.size() - illegal.size());
        EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SEbmlIllegalElement, at, "Cluster")});
        EXPECT_EQ(SarTexts(), (std::vector<std::string>{"64:45", "12:11"}));
    }

    // An unknown size where none is allowed: nothing behind it in its Segment can be placed.
    EbmlHead tracksHead;
    ReadEbmlHead(tracks, 0, tracks.size(), tracksHead);
    children = EbmlUnknown(
        0x1654AE6B, ByteVector(tracks.begin() + static_cast<ptrdiff_t>(tracksHead.data), tracks.end()));
    Append(children, good);
    bytes = WithSegment(children);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    const auto tracksAt = static_cast<int64_t>(bytes.size() - children.size());
    EXPECT_EQ(NoticeTexts(),
              std::vector<std::string>{Format(SEbmlUnknownSize, "Tracks", tracksAt, "Segment")});
    EXPECT_EQ(Rows().Count(), 0u);

    // Cut short inside the second cluster: the first one's SPS is listed, the cut told.
    children = tracks;
    Append(children, good);
    Append(children, good);
    bytes = WithSegment(children);
    bytes.resize(bytes.size() - good.size() + 8);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(SarTexts(), (std::vector<std::string>{"64:45", "12:11"}));
    EXPECT_FALSE(NoticeTexts().empty());

    // Bytes behind the Segment that are no element.
    bytes = WithSegment(tracks);
    Append(bytes, {0x00, 0x00, 0x00});
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    const auto size = static_cast<int64_t>(bytes.size());
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SEbmlTail, size - 3, size)});

    // Not an EBML file at all.
    const ScanOutcome outcome = ScanBytes({'R', 'I', 'F', 'F', 0, 0, 0, 0});
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::General);
    EXPECT_EQ(outcome.message, SNotMatroska);
}

// Thousands of levels of nesting cost no more than their bytes: only the format's own nesting is entered.
TEST_F(MatroskaElements, NestingThousandsDeepIsNotFollowed) {
    for (uint32_t id : {0x18538067u, 0x1654AE6Bu, 0xA0u, 0xE0u}) {
        ByteVector nested = EbmlUnsigned(0xD7, 1);
        for (int i = 0; i < 5000; ++i)
            nested = Ebml(id, nested);
        ByteVector children = TracksOf(AvcTrack());
        Append(children, Ebml(0x1F43B675, nested));
        ASSERT_EQ(ScanBytes(WithSegment(children)).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Rows().Count(), 1u);
    }
}

// Lace headers whose sizes run past the block, EBML lacing with a negative size, fixed lacing that does not
// divide the block, a NAL length past its frame, a CodecPrivate shorter than its counts.
TEST_F(MatroskaElements, LacingAndLengthsThatOverflowAreTold) {
    const ByteVector tracks = TracksOf(AvcTrack());
    const ByteVector frame = MkvFrame({Sps(2), Slice}, 4);
    auto block = [&](std::initializer_list<uint8_t> lace) {
        ByteVector data{0x81, 0x00, 0x00};
        data.insert(data.end(), lace.begin(), lace.end());
        Append(data, frame);
        return data;
    };
    uint8_t unequal = 1; // the number of frames less one
    while (frame.size() % (unequal + 1u) == 0)
        ++unequal;
    const ByteVector blocks[] = {
        block({0x82, 0x02, 0xFF, 0xFF, 0xFF, 0x10, 0x05}), // Xiph: 1020 bytes in a frame of the block's 40
        block({0x86, 0x02, 0x81, 0x80}),                   // EBML: 1, then 1 - 63: below zero
        block({0x84, unequal}),                            // fixed: frames of unequal size
        block({0x86, 0xFF}),                               // EBML: 256 frames, and no sizes
    };
    for (const ByteVector &data : blocks) {
        SCOPED_TRACE(static_cast<int>(data[3]));
        ByteVector children = tracks;
        const ByteVector cluster = ClusterOf(data);
        Append(children, cluster);
        const ByteVector bytes = WithSegment(children);
        ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Rows().Count(), 1u);
        const auto blockAt = static_cast<int64_t>(bytes.size() - data.size() - 2);
        EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SMkvLacingInvalid, blockAt)});
    }

    ByteVector overrun = frame;
    overrun[2] = 0x7F;
    ByteVector children = tracks;
    ByteVector data{0x81, 0x00, 0x00, 0x80};
    Append(data, overrun);
    Append(children, ClusterOf(data));
    ByteVector bytes = WithSegment(children);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), 1u);
    const auto frameAt = static_cast<int64_t>(bytes.size() - overrun.size());
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SMkvNalLengthPastFrame, "track 1", frameAt)});

    MkvTrack shortPrivate = AvcTrack();
    shortPrivate.codecPrivate = false;
    ByteVector entryTracks = TracksOf(shortPrivate);
    const ByteVector record{0x01, 0x64, 0x00, 0x1E, 0xFF, 0xE1, 0x00, 0x40, 0x67};
    ByteVector fixedTracks = Ebml(0x1654AE6B, [&] {
        EbmlHead head, entryHead;
        ReadEbmlHead(entryTracks, 0, entryTracks.size(), head);
        ReadEbmlHead(entryTracks, head.data, entryTracks.size(), entryHead);
        ByteVector entry(entryTracks.begin() + static_cast<ptrdiff_t>(entryHead.data), entryTracks.end());
        Append(entry, Ebml(0x63A2, record));
        return Ebml(0xAE, entry);
    }());
    bytes = WithSegment(fixedTracks);
    ASSERT_EQ(ScanBytes(bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().RatioUnitCount, 0);
    const auto privateAt = static_cast<int64_t>(bytes.size() - record.size() - 3);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{
                                 Format(SConfigDamaged, "AVC decoder configuration", "track 1", privateAt,
                                        "The AVC decoder configuration (9 bytes) is shorter "
                                        "than its counts and lengths say")});
}

} // namespace
