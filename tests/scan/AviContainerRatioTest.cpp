#include "BitWriter.h"
#include "MediaFiles.h"
#include "RiffBuilder.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "scan/VprpStatement.h"

#include <gtest/gtest.h>

// The container's own aspect ratio (the "vprp" video properties of an AVI stream), the decoder
// configuration SPS in a video stream's format chunk, and the AVIX chunks of OpenDML files.

namespace {

// An SPS of 720x576 with a custom SAR.
std::vector<uint8_t> Sps720x576(uint16_t sarWidth, uint16_t sarHeight) {
    return WithStartCode(BuildSps(At720x576(WithSar(255, sarWidth, sarHeight))).nal);
}

// Video properties with dwFrameAspectRatio x:y at the given frame size; extra bytes for the field
// descriptions. A size below 32 cuts the fields short.
ByteVector VideoProperties(uint16_t x, uint16_t y, uint32_t width, uint32_t height, size_t size = 68) {
    ByteVector payload(20, 0);
    Append(payload, LittleEndian((uint32_t{x} << 16) | y));
    Append(payload, LittleEndian(width));
    Append(payload, LittleEndian(height));
    payload.resize(size, 0);
    return payload;
}

ByteVector BitmapFormat(const ByteVector &extraData = {}) {
    ByteVector format = LittleEndian(40 + static_cast<uint32_t>(extraData.size()));
    format.resize(40, 0);
    Append(format, extraData);
    return format;
}

ByteVector VideoStreamList(const ByteVector &format, const ByteVector *properties) {
    std::vector<ByteVector> children{RiffChunk("strh", StreamHeader("vids", "H264")),
                                     RiffChunk("strf", format)};
    if (properties != nullptr)
        children.push_back(RiffChunk("vprp", *properties));
    return RiffList("LIST", "strl", children);
}

// The video properties statement of a row's track, or null.
const TVprpStatement *PropertiesOf(const TARInfo &record) {
    if (record.Track == nullptr || !record.Track->HasStatement())
        return nullptr;
    return dynamic_cast<const TVprpStatement *>(record.Track->Statements.front().get());
}

std::string StatedText(const TARInfo &record) {
    TRatio stated = record.Track->StatedDisplayAspectRatio();
    return std::to_string(stated.X) + ":" + std::to_string(stated.Y);
}

class AviContainerAspect : public ScanTest {
protected:
    std::string Write(const ByteVector &bytes) { return ScanTest::Write("clip.avi", bytes); }
    void Scan(const std::string &path) {
        ScanOutcome outcome = RunScan(NewRiffScan(), path);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    }
    void SetCustom(size_t row, int32_t width, int32_t height) {
        TARInfo &info = *Rows().Items(row);
        info.NewAspectRatioIdc = 255;
        info.NewSarWidth = width;
        info.NewSarHeight = height;
    }
    // What a save would do to the container statements, and what it leaves as it is.
    std::vector<std::string> ContainerLines() {
        TPatchPlan plan = Rows().PlanChanges();
        std::vector<std::string> lines;
        for (const TPlanEntry &entry : plan.Entries)
            if (entry.Kind == TPlanEntry::TKind::Container)
                lines.push_back(entry.Description);
        lines.insert(lines.end(), plan.Notes.begin(), plan.Notes.end());
        return lines;
    }
    std::vector<TWriteRefusal> Check(const std::string &path) {
        TFileStream file(path, TFileOpenMode::ReadShareDenyWrite);
        return Rows().CheckChanges(file);
    }
    void Save(const std::string &path) {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        ASSERT_NO_THROW(Rows().WriteChanges(file));
    }
    static uint32_t Read32(const std::string &path, size_t offset) {
        ByteVector bytes = ReadFile(path);
        return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
               (uint32_t{bytes[offset + 3]} << 24);
    }
};

TEST_F(AviContainerAspect, PropertiesAreKeptPerStreamAndRewrittenWithTheSps) {
    ByteVector properties = VideoProperties(16, 9, 720, 576);
    std::string path =
        Write(AviFile({VideoStreamList(BitmapFormat(), &properties)},
                      {RiffChunk("00dc", Sps720x576(64, 45)), RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    ASSERT_EQ(Rows().Count(), 2u);
    TARInfo &first = *Rows().Items(0);
    const TVprpStatement *statement = PropertiesOf(first);
    ASSERT_NE(statement, nullptr);
    EXPECT_EQ(first.Track->Number, 0);
    EXPECT_EQ(first.Track->Statements.size(), 1u);
    EXPECT_EQ(StatedText(first), "16:9");
    EXPECT_EQ(statement->FrameWidth, 720u);
    EXPECT_EQ(statement->FrameHeight, 576u);
    EXPECT_EQ(Rows().Items(1)->Track, first.Track);
    int64_t aspectAt = statement->Position;
    EXPECT_EQ(Read32(path, static_cast<size_t>(aspectAt)), 0x00100009u);

    // 40:33 at 720x576 shows as 50:33.
    SetCustom(0, 40, 33);
    SetCustom(1, 40, 33);
    EXPECT_EQ(ContainerLines(),
              std::vector<std::string>{"Container aspect ratio of stream 0: 16:9 changed to 50:33."});
    EXPECT_TRUE(Check(path).empty());
    size_t length = ReadFile(path).size();
    Save(path);
    EXPECT_EQ(ReadFile(path).size(), length);
    EXPECT_EQ(Read32(path, static_cast<size_t>(aspectAt)), (50u << 16) | 33u);
    EXPECT_EQ(StatedText(first), "50:33");
    EXPECT_TRUE(ContainerLines().empty());

    Scan(path);
    EXPECT_EQ(Rows().Items(1)->SarText(), "40:33");
    EXPECT_EQ(StatedText(*Rows().Items(1)), "50:33");
}

TEST_F(AviContainerAspect, RecordsThatDisagreeLeaveTheContainerAsItIs) {
    ByteVector properties = VideoProperties(16, 9, 720, 576);
    std::string path =
        Write(AviFile({VideoStreamList(BitmapFormat(), &properties)},
                      {RiffChunk("00dc", Sps720x576(64, 45)), RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    SetCustom(0, 40, 33);
    SetCustom(1, 32, 11);
    EXPECT_EQ(
        ContainerLines(),
        std::vector<std::string>{"Container aspect ratio of stream 0 left at 16:9: the changed rows of this "
                                 "stream give different display aspect ratios."});
    size_t aspectAt = static_cast<size_t>(PropertiesOf(*Rows().Items(0))->Position);
    Save(path);
    EXPECT_EQ(Read32(path, aspectAt), 0x00100009u);
    EXPECT_EQ(Rows().Items(1)->SarText(), "32:11");
}

// A stale vprp refuses the whole save. One that can not hold the display aspect ratio in its two 16-bit
// terms gets the nearest ratio that fits, and the plan says so (it was refused once, the SPS unchanged).
TEST_F(AviContainerAspect, StaleContainerValuesRefuseTheWholeSaveUnfitOnesComeNearest) {
    ByteVector properties = VideoProperties(16, 9, 720, 576);
    std::string path = Write(
        AviFile({VideoStreamList(BitmapFormat(), &properties)}, {RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    ASSERT_NE(PropertiesOf(*Rows().Items(0)), nullptr);
    size_t aspectAt = static_cast<size_t>(PropertiesOf(*Rows().Items(0))->Position);

    // A display aspect ratio whose terms do not fit in 16 bits: 65535:1 at 720x576 is 327675:4.
    SetCustom(0, 65535, 1);
    ByteVector before = ReadFile(path);
    EXPECT_TRUE(Check(path).empty());
    EXPECT_EQ(ContainerLines(),
              (std::vector<std::string>{"Container aspect ratio of stream 0: 16:9 changed to 65535:1.",
                                        Format(SContainerRatioNearest, "Container aspect ratio (vprp)",
                                               "stream 0", "327675:4", "65535:1", "65535:1")}));
    Save(path);
    EXPECT_EQ(Read32(path, aspectAt), 0xFFFF0001u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "65535:1");
    WriteFile(path, before);
    Scan(path);
    aspectAt = static_cast<size_t>(PropertiesOf(*Rows().Items(0))->Position);

    // The file's vprp changed since the scan.
    SetCustom(0, 40, 33);
    ByteVector edited = before;
    PutLittleEndian(edited, aspectAt, 0x00040003);
    WriteFile(path, edited);
    std::vector<TWriteRefusal> refusals = Check(path);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Reason,
              Format("The file no longer holds the scanned container aspect ratio of stream 0 at %.8x. "
                     "It has been changed since it was opened.",
                     static_cast<int64_t>(aspectAt)));
    EXPECT_EQ(ReadFile(path), edited);
}

TEST_F(AviContainerAspect, StreamsWithoutUsableProperties) {
    // No vprp at all, one cut short, and one of an audio stream: only the SPS is written.
    ByteVector shortProperties = VideoProperties(16, 9, 720, 576, 28);
    ByteVector audioList =
        RiffList("LIST", "strl",
                 {RiffChunk("strh", StreamHeader("auds", std::string(4, '\0'))),
                  RiffChunk("strf", ByteVector(16, 0)), RiffChunk("vprp", VideoProperties(4, 3, 720, 576))});
    std::string path =
        Write(AviFile({VideoStreamList(BitmapFormat(), nullptr),
                       VideoStreamList(BitmapFormat(), &shortProperties), audioList},
                      {RiffChunk("00dc", Sps720x576(64, 45)), RiffChunk("01dc", Sps720x576(64, 45))}));
    Scan(path);
    ASSERT_EQ(Rows().Count(), 2u);
    ASSERT_NE(Rows().Items(0)->Track, nullptr);
    ASSERT_NE(Rows().Items(1)->Track, nullptr);
    EXPECT_EQ(Rows().Items(0)->Track->Number, 0);
    EXPECT_EQ(Rows().Items(1)->Track->Number, 1);
    EXPECT_FALSE(Rows().Items(0)->Track->HasStatement());
    EXPECT_FALSE(Rows().Items(1)->Track->HasStatement());
    // The audio stream is no track: its properties are not read.
    ASSERT_EQ(Session().Tracks.size(), 2u);
    EXPECT_EQ(Session().Tracks[1].Label, "stream 1");

    SetCustom(0, 40, 33);
    EXPECT_TRUE(ContainerLines().empty());
    ByteVector before = ReadFile(path);
    Save(path);
    ByteVector after = ReadFile(path);
    size_t differing = 0;
    for (size_t i = 0; i < before.size(); ++i)
        differing += before[i] != after[i];
    EXPECT_GE(differing, 1u);
    EXPECT_LE(differing, 6u); // the five or six bytes of one custom SAR
}

// A stream with two video properties chunks leaves its container aspect ratio unwritten, with a note:
// players may read either, so neither is written; the SPS are written all the same.
TEST_F(AviContainerAspect, SecondPropertiesChunkLeavesTheContainerUnwritten) {
    ByteVector properties = VideoProperties(16, 9, 720, 576);
    ByteVector list =
        RiffList("LIST", "strl",
                 {RiffChunk("strh", StreamHeader("vids", "H264")), RiffChunk("strf", BitmapFormat()),
                  RiffChunk("vprp", properties), RiffChunk("vprp", VideoProperties(4, 3, 720, 576))});
    std::string path = Write(AviFile({list}, {RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    ASSERT_EQ(Rows().Count(), 1u);
    const TTrack &track = *Rows().Items(0)->Track;
    EXPECT_EQ(track.Statements.size(), 1u);
    EXPECT_EQ(StatedText(*Rows().Items(0)), "16:9");
    const std::string note = "Container aspect ratio of stream 0 left as it is: the stream has more than one "
                             "video properties chunk, and players may read either.";
    EXPECT_EQ(track.NotWritten, note);
    const size_t aspectAt = static_cast<size_t>(PropertiesOf(*Rows().Items(0))->Position);

    SetCustom(0, 40, 33);
    EXPECT_EQ(ContainerLines(), std::vector<std::string>{note});
    ByteVector before = ReadFile(path);
    Save(path);
    ByteVector after = ReadFile(path);
    EXPECT_EQ(Read32(path, aspectAt), 0x00100009u);
    EXPECT_EQ(Read32(path, aspectAt + 68 + 8), 0x00040003u);
    EXPECT_NE(after, before);
    Scan(path);
    EXPECT_EQ(Rows().Items(0)->SarText(), "40:33");
}

TEST_F(AviContainerAspect, DecoderConfigurationSpsInTheStreamFormatIsListedFirst) {
    ByteVector audioList = RiffList("LIST", "strl",
                                    {RiffChunk("strh", StreamHeader("auds", std::string(4, '\0'))),
                                     RiffChunk("strf", BitmapFormat(Sps720x576(8, 9)))});
    std::string path = Write(AviFile({VideoStreamList(BitmapFormat(Sps720x576(64, 45)), nullptr), audioList},
                                     {RiffChunk("00dc", Sps720x576(64, 45))}));
    Scan(path);
    // The audio stream's format is not searched.
    ASSERT_EQ(Rows().Count(), 2u);
    ASSERT_NE(Rows().Items(0)->Track, nullptr);
    EXPECT_EQ(Rows().Items(0)->Track->Number, 0);
    EXPECT_EQ(Rows().Items(1)->Track, Rows().Items(0)->Track);
    const TGenericRIFFChunk *header = FindList(*Riff().RootChunk, "hdrl");
    ASSERT_NE(header, nullptr);
    EXPECT_LT(Rows().Items(0)->SpsOffset(), header->DataEnd());
    EXPECT_GT(Rows().Items(1)->SpsOffset(), header->DataEnd());
    SetCustom(0, 40, 33);
    SetCustom(1, 40, 33);
    Save(path);
    Scan(path);
    EXPECT_EQ(Rows().Items(0)->SarText(), "40:33");
    EXPECT_EQ(Rows().Items(1)->SarText(), "40:33");
}

TEST_F(AviContainerAspect, AvixChunksAfterTheFirstAreWalked) {
    ByteVector first =
        AviFile({VideoStreamList(BitmapFormat(), nullptr)}, {RiffChunk("00dc", Sps720x576(64, 45))});
    ByteVector avix =
        RiffList("RIFF", "AVIX", {RiffList("LIST", "movi", {RiffChunk("00dc", Sps720x576(16, 11))})});
    ByteVector other =
        RiffList("RIFF", "WAVE", {RiffList("LIST", "movi", {RiffChunk("00dc", Sps720x576(4, 3))})});

    ByteVector file = first;
    Append(file, avix);
    Append(file, avix);
    const int64_t junkAt = static_cast<int64_t>(file.size());
    Append(file, ByteVector{'j', 'u', 'n', 'k', 1, 2, 3});
    Scan(Write(file));
    ASSERT_EQ(Rows().Count(), 3u);
    EXPECT_EQ(Rows().Items(1)->SarText(), "16:11");
    EXPECT_EQ(Rows().Items(2)->SarText(), "16:11");
    EXPECT_EQ(Rows().Items(2)->Track, Rows().Items(0)->Track);
    EXPECT_EQ(Riff().ExtensionChunks.size(), 2u);
    // The bytes behind the last AVIX chunk are named as not scanned.
    ASSERT_EQ(Session().Notices.size(), 1u);
    EXPECT_EQ(Session().Notices[0].Kind, TScanNotice::TKind::NotScanned);
    EXPECT_EQ(Session().Notices[0].FileOffset, junkAt);

    // A RIFF chunk of another form ends the walk; what follows it is left unscanned too.
    file = first;
    Append(file, other);
    Append(file, avix);
    Scan(Write(file));
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_TRUE(Riff().ExtensionChunks.empty());
    ASSERT_EQ(Session().Notices.size(), 1u);
    EXPECT_EQ(Session().Notices[0].Kind, TScanNotice::TKind::NotScanned);
    EXPECT_EQ(Session().Notices[0].FileOffset, static_cast<int64_t>(first.size()));

    // An AVIX chunk cut inside a chunk header is walked as far as the file goes, like the first chunk
    // would be, with a notice: a truncated recording keeps what it holds.
    file = first;
    ByteVector cut = avix;
    cut.resize(12 + 12 + 4);
    Append(file, cut);
    Scan(Write(file));
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Riff().ExtensionChunks.size(), 1u);
    ASSERT_EQ(Session().Notices.size(), 1u);
    EXPECT_EQ(Session().Notices[0].Kind, TScanNotice::TKind::Structure);
    EXPECT_EQ(Session().Notices[0].FileOffset, static_cast<int64_t>(first.size()));
}

// A real AVI written by ffmpeg carries vprp: players show what it says, so a save changes it too.
TEST(AviContainerAspectRealFile, FfmpegAviShowsTheNewRatioInContainerAndBitstream) {
    if (!HaveMediaTools())
        GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    TempDir dir;
    std::string path = dir.File("clip.avi");
    VideoSpec video;
    video.width = 720;
    video.height = 576;
    video.sar = "64/45";
    video.frames = 12;
    video.repeatHeaders = true;
    video.keyint = 5;
    MakeAvi(path, {video});
    std::vector<std::string> frames = FrameMd5(path);
    size_t length = ReadFile(path).size();

    TScanSession session;
    std::unique_ptr<TParser> riff = CreateParser(ProbeFile(path), session);
    ASSERT_NE(riff, nullptr);
    riff->Parse(path);
    TARInfoList &rows = session.ARInfoList;
    ASSERT_GE(rows.Count(), 1u);
    ASSERT_NE(PropertiesOf(*rows.Items(0)), nullptr);
    EXPECT_EQ(StatedText(*rows.Items(0)), "16:9");
    for (size_t i = 0; i < rows.Count(); ++i) {
        rows.Items(i)->NewAspectRatioIdc = 255;
        rows.Items(i)->NewSarWidth = 40;
        rows.Items(i)->NewSarHeight = 33;
    }
    {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        ASSERT_NO_THROW(rows.WriteChanges(file));
    }
    ProbedVideo container = ProbeVideo(path);
    EXPECT_EQ(container.sarWidth, 40);
    EXPECT_EQ(container.sarHeight, 33);
    ProbedVideo bitstream = ProbeVideoBitstream(path);
    EXPECT_EQ(bitstream.sarWidth, 40);
    EXPECT_EQ(bitstream.sarHeight, 33);
    EXPECT_EQ(ReadFile(path).size(), length);
    EXPECT_EQ(FrameMd5(path), frames);
}

} // namespace

namespace {

// A container row stands for its vprp alone: a ratio it can hold only as the nearest one is shown as that
// one when given through TRatioChange, and refused, nothing written, when set as it is.
TEST_F(AviContainerAspect, AContainerRowRefusesARatioItsVprpCanOnlyComeNear) {
    SpsFields noRatio = At720x576(WithSar(0));
    noRatio.aspect_ratio_info_present_flag = 0;
    const ByteVector properties = VideoProperties(5, 4, 720, 576);
    const std::string path = Write(AviFile({VideoStreamList(BitmapFormat(), &properties)},
                                           {RiffChunk("00dc", WithStartCode(BuildSps(noRatio).nal))}));
    Scan(path);
    ASSERT_EQ(Rows().Count(), 1u);
    TARInfo &row = *Rows().Items(0);
    ASSERT_TRUE(row.IsContainerRow());
    // 65535:1 at 720x576 is the DAR 327675:4; its vprp can state 65535:1, the SAR 52428:1.
    EXPECT_EQ((TRatioChange{TRatioChange::TKind::Sar, 0, {65535, 1}}).ApplyTo(row), "");
    EXPECT_EQ(row.SarText(), "52428:1");
    SetCustom(0, 65535, 1);
    const ByteVector before = ReadFile(path);
    const std::vector<TWriteRefusal> refusals = Check(path);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].Reason, Format(SContainerRatioNearest, "Container aspect ratio (vprp)", "stream 0",
                                         "327675:4", "65535:1", "65535:1"));
    {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        EXPECT_THROW(Rows().WriteChanges(file), Exception);
    }
    EXPECT_EQ(ReadFile(path), before);
}

// An SPS without aspect-ratio information leaves the stream's vprp as the only statement of its ratio:
// the stream is listed by a container row, and a change writes the vprp alone, in place.
TEST_F(AviContainerAspect, AContainerRowChangesTheVprpOfAStreamWhoseSpsHasNoRatio) {
    SpsFields noRatio = At720x576(WithSar(0));
    noRatio.aspect_ratio_info_present_flag = 0;
    const ByteVector properties = VideoProperties(5, 4, 720, 576);
    const ByteVector file = AviFile({VideoStreamList(BitmapFormat(), &properties)},
                                    {RiffChunk("00dc", WithStartCode(BuildSps(noRatio).nal))});
    const std::string path = Write(file);
    Scan(path);
    EXPECT_EQ(Session().RatioUnitCount, 1);
    ASSERT_EQ(Rows().Count(), 1u);
    TARInfo &row = *Rows().Items(0);
    ASSERT_TRUE(row.IsContainerRow());
    EXPECT_EQ(row.TypeText(), "Container");
    EXPECT_EQ(row.SarText(), "1:1");
    EXPECT_EQ(row.ResolutionText(), "720x576");
    EXPECT_EQ(row.DarText(), "5:4");
    EXPECT_EQ(row.SpsOffset(), PropertiesOf(row)->Position);

    // A DAR of 16:9 at 720x576 is the SAR 64:45, written as the vprp's 16:9 and nothing else.
    EXPECT_EQ((TRatioChange{TRatioChange::TKind::Dar, 0, {16, 9}}).ApplyTo(row), "");
    EXPECT_EQ(row.SarText(), "64:45");
    EXPECT_EQ(ContainerLines(),
              std::vector<std::string>{"Container aspect ratio of stream 0: 5:4 changed to 16:9."});
    {
        TFileStream stream(path, TFileOpenMode::ReadWriteExclusive);
        EXPECT_EQ(Rows().WriteChanges(stream).PatchCount, 1u);
    }
    const ByteVector after = ReadFile(path);
    size_t differing = 0;
    for (size_t i = 0; i < after.size(); ++i)
        differing += after[i] != file[i];
    EXPECT_EQ(differing, 2u); // 04 00 05 00 -> 09 00 10 00: two bytes
    EXPECT_FALSE(row.IsChanged());
    EXPECT_EQ(row.DarText(), "16:9");
    Scan(path);
    EXPECT_EQ(Rows().Items(0)->DarText(), "16:9");
}

} // namespace
