// The AVI scanner on hand-built RIFF files: the walk of the chunk tree, the handler question, the scan
// of video data chunks, and the errors with what stays after them.

#include "BitWriter.h"
#include "HevcSpsBuilder.h"
#include "Mpeg4VolBuilder.h"
#include "RiffBuilder.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "codec/CodecRegistry.h"

#include <gtest/gtest.h>

namespace {

using Kind = ScanEvent::Kind;

std::vector<uint8_t> SpsNal(uint32_t id, uint16_t sarWidth = 64, uint16_t sarHeight = 45) {
    SpsFields fields;
    fields.vui = true;
    fields.aspect_ratio_idc = 255;
    fields.sar_width = sarWidth;
    fields.sar_height = sarHeight;
    fields.seq_parameter_set_id = id;
    return WithStartCode(BuildSps(fields).nal);
}

const std::vector<uint8_t> Aud = WithStartCode({0x09, 0xF0});
const std::vector<uint8_t> Slice = WithStartCode({0x65, 0x88, 0x84, 0x21, 0xA0});

ByteVector Joined(std::initializer_list<ByteVector> parts) {
    ByteVector joined;
    for (const ByteVector &part : parts)
        Append(joined, part);
    return joined;
}

// A video data chunk of stream 0 holding one SPS with that id and a slice.
ByteVector SpsChunk(uint32_t id) {
    return RiffChunk("00dc", Joined({SpsNal(id), Slice}));
}

ByteVector H264Avi(const std::vector<ByteVector> &movieChunks) {
    return AviFile({StreamList("vids", "H264")}, movieChunks);
}

class RIFFParserTest : public ScanTest {
protected:
    // Scans the bytes as an AVI file, with a new scanner into a new session, the handler question
    // answered by Handler.
    ScanOutcome ScanAvi(const ByteVector &bytes, const std::string &name = "test.avi") {
        std::string path = Write(name, bytes);
        TRIFFParser &riff = NewRiffScan();
        riff.Events.OnForeignHandler = Handler;
        riff.DeepScan = DeepScan;
        return RunScan(riff, path);
    }

    // Answers the handler question from the list, in order, and records what was asked.
    void Answer(std::vector<bool> answers) {
        Asked.clear();
        Handler = [this, answers](const std::string &fourCC) {
            Asked.push_back(fourCC);
            return Asked.size() <= answers.size() && answers[Asked.size() - 1];
        };
    }

    std::vector<uint32_t> FoundSpsIds() {
        std::vector<uint32_t> ids;
        for (size_t i = 0; i < Rows().Count(); ++i)
            ids.push_back(static_cast<uint32_t>(Rows().Items(i)->SpsId()));
        return ids;
    }

    // The one notice of the scan.
    const TScanNotice &OnlyNotice() {
        EXPECT_EQ(Session().Notices.size(), 1u);
        if (Session().Notices.empty())
            throw std::logic_error("no notice");
        return Session().Notices[0];
    }

    std::function<bool(const std::string &)> Handler;
    bool DeepScan = true;
    std::vector<std::string> Asked;
};

std::string CutShortText(int64_t offset) {
    return "The file ends inside the chunk at " + Format("%x", offset) +
           ": it was read as far as the file goes.";
}

TEST(FourCC, NumbersAndTexts) {
    EXPECT_EQ(MakeFourCC('R', 'I', 'F', 'F'), 0x46464952u);
    EXPECT_EQ(MakeFourCC('L', 'I', 'S', 'T'), 0x5453494Cu);
    EXPECT_EQ(FourCCToString(0x46464952u), "RIFF");
    EXPECT_EQ(FourCCToString(MakeFourCC('0', '0', 'd', 'c')), "00dc");
    EXPECT_EQ(FourCCToString(MakeFourCC(0, 1, 0xFF, ' ')), std::string({'\0', '\1', '\xFF', ' '}));
}

TEST_F(RIFFParserTest, EventsComeOncePerChunkHeaderInFileOrder) {
    ByteVector file = H264Avi({SpsChunk(0)});

    ScanOutcome outcome = ScanAvi(file);

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    // RIFF, hdrl, avih, strl, strh, strf, movi, 00dc (with its SPS and record), then the end.
    EXPECT_EQ(Log.Sequence(), "PPPPPPPPNR!");
    const int64_t size = static_cast<int64_t>(file.size());
    const int64_t headerEnds[] = {8, 20, 32, 96, 108, 172, 220, 232};
    std::vector<ScanEvent> progress = Log.Of(Kind::Progress);
    ASSERT_EQ(progress.size(), std::size(headerEnds));
    for (size_t i = 0; i < std::size(headerEnds); ++i) {
        EXPECT_EQ(progress[i].position, headerEnds[i]);
        EXPECT_EQ(progress[i].total, size);
    }

    EXPECT_EQ(Session().FileSize, size);
    EXPECT_EQ(Session().Format, TFileFormat::Avi);
    EXPECT_TRUE(Session().Notices.empty());
    EXPECT_EQ(Riff().Bitstream, nullptr);
    ASSERT_NE(Riff().RootChunk, nullptr);
    const TGenericRIFFChunk &root = *Riff().RootChunk;
    EXPECT_EQ(root.ID, "RIFF");
    EXPECT_EQ(FourCCToString(root.ListType), "AVI ");
    EXPECT_EQ(root.Size, file.size() - 12);
    EXPECT_EQ(root.WalkEnd, size);
    EXPECT_EQ(ChildIds(root), "LIST LIST");
    const TGenericRIFFChunk *movi = FindList(root, "movi");
    ASSERT_NE(movi, nullptr);
    ASSERT_EQ(movi->Children.size(), 1u);
    const TGenericRIFFChunk &video = *movi->Children[0];
    EXPECT_EQ(video.HeaderPos, 224);
    EXPECT_EQ(video.DataPos, 232);
    EXPECT_EQ(video.Parent, movi);
    EXPECT_EQ(video.Parser, &Riff());
    EXPECT_EQ(Session().RatioUnitCount, 1);
    ASSERT_EQ(Rows().Count(), 1u);
    const TARInfo &record = *Rows().Items(0);
    EXPECT_EQ(record.Placement.FileOffset(0), 232 + 4);
    EXPECT_EQ(record.SpsOffset(), 232 + 5);
    EXPECT_EQ(record.SarText(), "64:45");
    // The video stream is a track of its own, named after its number.
    ASSERT_EQ(Session().Tracks.size(), 1u);
    EXPECT_EQ(Session().Tracks[0].Number, 0);
    EXPECT_EQ(Session().Tracks[0].Label, "stream 0");
    EXPECT_FALSE(Session().Tracks[0].HasStatement());
    EXPECT_EQ(record.Track, &Session().Tracks[0]);
}

TEST_F(RIFFParserTest, FilesThatAreNotRiffAreRefused) {
    ASSERT_EQ(ScanAvi(H264Avi({SpsChunk(0)})).kind, ScanOutcome::Kind::None);
    TRIFFParser &earlier = Riff();
    ByteVector riff = RiffList("RIFF", "AVI ", {RiffChunk("JUNK", ByteVector(8))});
    ByteVector rifx = riff, lowerCase = riff;
    std::copy_n("RIFX", 4, rifx.begin());
    std::copy_n("riff", 4, lowerCase.begin());
    ByteVector eleven(riff.begin(), riff.begin() + 11);

    // Too short: refused before any header is read; the tree of the earlier file stays with its scanner.
    ScanOutcome outcome = ScanAvi(eleven);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::General);
    EXPECT_EQ(outcome.message, "File is not a valid RIFF file. Abort Scan.");
    EXPECT_EQ(Log.Sequence(), "!");
    EXPECT_EQ(Session().FileSize, 11);
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_EQ(Riff().RootChunk, nullptr);
    EXPECT_EQ(ChildIds(*earlier.RootChunk), "LIST LIST");
    EXPECT_EQ(earlier.Session.ARInfoList.Count(), 1u);

    for (const ByteVector *bytes : {&rifx, &lowerCase}) {
        std::string id(bytes->begin(), bytes->begin() + 4);
        SCOPED_TRACE(id);
        outcome = ScanAvi(*bytes);
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::General);
        EXPECT_EQ(outcome.message, "File is not a valid RIFF file. Abort Scan.");
        EXPECT_EQ(Log.Sequence(), "P!");
        EXPECT_EQ(Riff().RootChunk->ID, id);
        EXPECT_TRUE(Riff().RootChunk->Children.empty());
        EXPECT_EQ(Riff().Bitstream, nullptr);
    }
}

TEST_F(RIFFParserTest, TwelveByteRiffHasNoChunks) {
    ScanOutcome outcome = ScanAvi(RiffList("RIFF", "AVI ", {}));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Log.Sequence(), "P!");
    EXPECT_EQ(Log.Events[0].position, 8);
    EXPECT_EQ(Log.Events[0].total, 12);
    EXPECT_EQ(Riff().RootChunk->Size, 0u);
    EXPECT_TRUE(Riff().RootChunk->Children.empty());
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_TRUE(Session().Notices.empty());
}

TEST_F(RIFFParserTest, OtherFormTypesAreWalkedWithoutFindings) {
    Answer({});
    ByteVector wave = RiffList("RIFF", "WAVE",
                               {RiffChunk("fmt ", ByteVector(16, 1)), RiffChunk("data", ByteVector(7, 0x80)),
                                RiffChunk("LIST", Joined({{'I', 'N', 'F', 'O'}, RiffChunk("ISFT", {'x'})}))});

    ScanOutcome outcome = ScanAvi(wave, "sound.wav");

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(FourCCToString(Riff().RootChunk->ListType), "WAVE");
    EXPECT_EQ(ChildIds(*Riff().RootChunk), "fmt  data LIST");
    EXPECT_EQ(ChildIds(*Riff().RootChunk->Children[2]), "ISFT");
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_TRUE(Session().Tracks.empty());
    EXPECT_TRUE(Session().Notices.empty());
    EXPECT_TRUE(Asked.empty());
}

TEST_F(RIFFParserTest, H264HandlersInAnyLetterCasePassWithoutQuestion) {
    Answer({});
    for (const char *handler :
         {"H264", "h264", "AVC1", "avc1", "X264", "x264", "DAVC", "dAvC", "VSSH", "vssh"}) {
        SCOPED_TRACE(handler);
        ScanOutcome outcome = ScanAvi(AviFile({StreamList("vids", handler)}, {SpsChunk(0)}));
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_FALSE(Riff().Aborted);
        EXPECT_EQ(Rows().Count(), 1u);
    }
    EXPECT_TRUE(Asked.empty());
}

TEST_F(RIFFParserTest, AudioStreamHeadersAreNeverQuestioned) {
    Answer({});
    ScanOutcome outcome =
        ScanAvi(AviFile({StreamList("auds", "XVID"), StreamList("vids", "H264")}, {SpsChunk(0)}));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_TRUE(Asked.empty());
    EXPECT_EQ(Rows().Count(), 1u);
    // Only the video stream is a track; it keeps its number in the file.
    ASSERT_EQ(Session().Tracks.size(), 1u);
    EXPECT_EQ(Session().Tracks[0].Label, "stream 1");
}

// The question comes once per video stream header of a code no codec is known by, in file order; a yes
// reads it as H.264. A refusal ends the walk at
// once, without an error: nothing of the movie data has been read.
TEST_F(RIFFParserTest, ForeignHandlersAreQuestioned) {
    ByteVector file =
        AviFile({StreamList("vids", "QX01"), StreamList("vids", "ZZ42")}, {SpsChunk(0), SpsChunk(1)});
    struct Case {
        const char *name;
        std::vector<bool> answers;
        std::vector<std::string> asked;
        bool aborted;
        size_t records;
    };
    const Case cases[] = {{"both yes", {true, true}, {"QX01", "ZZ42"}, false, 2},
                          {"second no", {true, false}, {"QX01", "ZZ42"}, true, 0},
                          {"first no", {false}, {"QX01"}, true, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Answer(c.answers);
        ScanOutcome outcome = ScanAvi(file);
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(Asked, c.asked);
        EXPECT_EQ(Riff().Aborted, c.aborted);
        EXPECT_EQ(Rows().Count(), c.records);
        EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(c.records));
        EXPECT_EQ(FindList(*Riff().RootChunk, "movi") != nullptr, !c.aborted);
        EXPECT_EQ(Log.Sequence().back(), '!');
    }

    // Nobody bound to the question: the answer is no.
    Handler = nullptr;
    ScanOutcome outcome = ScanAvi(file);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_TRUE(Riff().Aborted);
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_EQ(Log.Sequence().back(), '!');
}

// A handler code of a codec the program knows names the stream's codec: no question, the walk goes on,
// and the stream's data is read as that codec or not at all, never as H.264 (an H.264 SPS in an MPEG-4
// Part 2 stream is no VOL).
TEST_F(RIFFParserTest, HandlersOfKnownCodecsAreNamedNotQuestioned) {
    for (const char *handler : {"XVID", "divx", "DX50", "WVC1", "VP80", "MJPG"}) {
        SCOPED_TRACE(handler);
        Answer({true});
        ScanOutcome outcome = ScanAvi(AviFile({StreamList("vids", handler)}, {SpsChunk(0)}));
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_TRUE(Asked.empty());
        EXPECT_FALSE(Riff().Aborted);
        EXPECT_EQ(Session().RatioUnitCount, 0);
        ASSERT_EQ(Session().Tracks.size(), 1u);
        const TCodecEntry *codec = Session().Tracks[0].Codec;
        ASSERT_NE(codec, nullptr);
        EXPECT_EQ(codec, CodecOfAviHandler(handler));
        EXPECT_EQ(Rows().Count(), 0u);
        if (codec->Codec != nullptr) {
            EXPECT_EQ(Session().NoticeCount, 0);
            continue;
        }
        ASSERT_EQ(Session().Notices.size(), 1u);
        // Without video properties nothing states the ratio of a stream changed in its container alone.
        EXPECT_EQ(Session().Notices[0].Text, codec->ContainerOnly()
                                                 ? Format(SNoStatementPlace, "stream 0", codec->Name)
                                                 : Format(SUnreadCodecStream, "stream 0", codec->Name));
    }
}

// Only "..dc" chunks are scanned, each SPS with the track of its stream number (none for a number
// without a stream). Data chunks without SPS are not kept in the tree: an AVI of millions of chunks is
// walked with little memory.
TEST_F(RIFFParserTest, DataChunksOfEveryStreamAreScannedAndOnlyThose) {
    ByteVector file =
        AviFile({StreamList("vids", "H264"), StreamList("vids", "H264")},
                {RiffChunk("00db", SpsNal(1)), RiffChunk("01dc", SpsNal(2)), RiffChunk("01wb", SpsNal(3)),
                 RiffChunk("12dc", SpsNal(4)), RiffChunk("00DC", SpsNal(5))});

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);

    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(ChildIds(*FindList(*Riff().RootChunk, "movi")), "01dc 12dc");
    ASSERT_EQ(Session().Tracks.size(), 2u);
    EXPECT_EQ(Rows().Items(0)->Track, &Session().Tracks[1]);
    EXPECT_EQ(Rows().Items(1)->Track, nullptr);
}

// An odd-sized chunk is followed by its pad byte; chunks and lists of odd size are read from the first
// byte of their payload, and the next chunk from behind the pad byte.
TEST_F(RIFFParserTest, OddSizesAreFollowedByTheirPadByte) {
    ByteVector streamHeader = StreamHeader("vids", "H264");
    streamHeader.resize(57, 0x11);
    ByteVector streamList =
        RiffList("LIST", "strl", {RiffChunk("strh", streamHeader), RiffChunk("strf", {1, 2, 3})});
    // A list whose last child has an odd size and whose own size does not count the pad byte: the pad
    // byte behind the child is the list's.
    ByteVector info = RiffHeader("LIST", 4 + 8 + 5);
    Append(info, {'I', 'N', 'F', 'O'});
    Append(info, RiffChunk("ISFT", {'a', 'b', 'c', 'd', 'e'}));
    ByteVector header = RiffList("LIST", "hdrl", {RiffChunk("avih", ByteVector(56)), streamList});
    ByteVector oddVideo = SpsNal(1);
    if (oddVideo.size() % 2 == 0)
        oddVideo.push_back(0x80);
    ByteVector movi = RiffList("LIST", "movi", {RiffChunk("00dc", oddVideo), SpsChunk(2)});
    ByteVector riff = RiffList("RIFF", "AVI ", {header, info, movi});

    ScanOutcome outcome = ScanAvi(riff);

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    const TGenericRIFFChunk &root = *Riff().RootChunk;
    ASSERT_EQ(ChildIds(root), "LIST LIST LIST");
    const TGenericRIFFChunk &strl = *root.Children[0]->Children[1];
    EXPECT_EQ(ChildIds(strl), "strh strf");
    EXPECT_EQ(strl.Children[0]->Size, 57u);
    EXPECT_EQ(strl.Children[1]->Size, 3u);
    EXPECT_EQ(ChildIds(*root.Children[1]), "ISFT");
    EXPECT_EQ(FourCCToString(root.Children[2]->ListType), "movi");
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2}));
    EXPECT_TRUE(Session().Notices.empty());
}

TEST_F(RIFFParserTest, EmptyListHasNoChildren) {
    ByteVector file = AviFile({RiffList("LIST", "strl", {}), StreamList("vids", "H264")}, {SpsChunk(3)});

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);

    EXPECT_TRUE(Riff().RootChunk->Children[0]->Children[1]->Children.empty());
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{3}));
}

// The walk counts in 64 bits: a size that reaches past 4 GiB carries the walk forward, never back. A
// chunk that claims more than the file holds is read to the file's end with a notice; one that claims
// more than its list holds is read to the list's end, and the walk goes on behind the list. The records
// found before stay, and there is no error.
TEST_F(RIFFParserTest, SizesPastTheEndAreReadAsFarAsTheyGo) {
    for (uint32_t size : {0xFFFFFFF8u, 0xFFFFFFF0u, 0xFFFFFFF7u}) {
        SCOPED_TRACE(size);
        ByteVector file = H264Avi({SpsChunk(1), RiffHeader("JUNK", size), SpsChunk(2)});
        const int64_t junk = 224 + static_cast<int64_t>(SpsChunk(1).size());

        ScanOutcome outcome = ScanAvi(file);

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1}));
        const TScanNotice &notice = OnlyNotice();
        EXPECT_EQ(notice.Kind, TScanNotice::TKind::Structure);
        EXPECT_EQ(notice.FileOffset, junk);
        EXPECT_EQ(notice.Text, CutShortText(junk));
        EXPECT_EQ(Log.Sequence().back(), '!');
        EXPECT_EQ(Riff().Bitstream, nullptr);

        // With an index behind the movie list, the chunk runs past its list, not past the file.
        ByteVector indexed = file;
        Append(indexed, RiffChunk("idx1", ByteVector(16)));
        PutLittleEndian(indexed, 4, static_cast<uint32_t>(indexed.size() - 8));
        outcome = ScanAvi(indexed);
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1}));
        EXPECT_EQ(ChildIds(*Riff().RootChunk), "LIST LIST idx1");
        const TScanNotice &past = OnlyNotice();
        EXPECT_EQ(past.Kind, TScanNotice::TKind::Structure);
        EXPECT_EQ(past.FileOffset, junk);
        EXPECT_EQ(past.Text,
                  "The chunk \"JUNK\" at " + Format("%x", junk) +
                      " claims more bytes than the list at D4 holds: it was read to the list's end.");
    }
}

// Lists are walked without recursion, at most 64 deep (the RIFF chunk counts); a deeper one is an error
// that names where it lies. What was found before it stays.
TEST_F(RIFFParserTest, ListsNestedMoreThan64DeepAreAnError) {
    for (size_t lists : {size_t{63}, size_t{64}}) {
        SCOPED_TRACE(lists);
        ByteVector nested = SpsChunk(2);
        for (size_t i = 0; i < lists; ++i)
            nested = RiffList("LIST", "deep", {nested});
        ByteVector file = RiffList("RIFF", "AVI ",
                                   {RiffList("LIST", "hdrl", {StreamList("vids", "H264")}),
                                    RiffList("LIST", "movi", {SpsChunk(1)}), nested});
        const int64_t deepest = static_cast<int64_t>(file.size() - nested.size()) + 12 * 63;

        ScanOutcome outcome = ScanAvi(file);

        if (lists == 63) {
            EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
            EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2}));
            continue;
        }
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InvalidOp);
        EXPECT_EQ(outcome.message, "Error while parsing RIFF file: lists nested more than 64 deep at " +
                                       Format("%x", deepest) + ".");
        EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1}));
        EXPECT_EQ(Log.Sequence().back(), '!');
        EXPECT_EQ(Riff().Bitstream, nullptr);
    }
}

// A truncated file is walked as far as its data reaches, with one notice: the chunks before the cut are
// scanned, and an SPS whose unit lies wholly before the cut is listed.
TEST_F(RIFFParserTest, FileCutInsideTheMovieListIsWalkedAsFarAsItGoes) {
    ByteVector file = H264Avi({SpsChunk(1), SpsChunk(2), SpsChunk(3), SpsChunk(4)});
    const size_t third = file.size() - SpsChunk(3).size() - SpsChunk(4).size();
    struct Case {
        const char *name;
        size_t length;
        std::vector<uint32_t> found;
    };
    const Case cases[] = {{"at a chunk boundary", third, {1, 2}},
                          {"inside a chunk header", third + 5, {1, 2}},
                          {"inside a payload, behind its SPS", third + 8 + SpsNal(3).size(), {1, 2, 3}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScanOutcome outcome =
            ScanAvi(ByteVector(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(c.length)));

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(FoundSpsIds(), c.found);
        EXPECT_EQ(Session().RatioUnitCount, static_cast<int64_t>(c.found.size()));
        // The RIFF chunk is the first that claims more than the file holds.
        const TScanNotice &notice = OnlyNotice();
        EXPECT_EQ(notice.Kind, TScanNotice::TKind::Structure);
        EXPECT_EQ(notice.FileOffset, 0);
        EXPECT_EQ(notice.Text, CutShortText(0));
        EXPECT_EQ(Riff().RootChunk->WalkEnd, static_cast<int64_t>(c.length));
        EXPECT_EQ(Log.Sequence().back(), '!');
    }
}

// An unfinished recording leaves the sizes of the RIFF chunk and the movie list at 0: both are read to
// the end of the file.
TEST_F(RIFFParserTest, UnfinishedRecordingIsWalkedToTheEndOfTheFile) {
    ByteVector file = H264Avi({SpsChunk(1), SpsChunk(2)});
    PutLittleEndian(file, 4, 0);
    PutLittleEndian(file, 212 + 4, 0);

    ScanOutcome outcome = ScanAvi(file);

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(Riff().RootChunk->WalkEnd, static_cast<int64_t>(file.size()));
    EXPECT_EQ(FindList(*Riff().RootChunk, "movi")->WalkEnd, static_cast<int64_t>(file.size()));
}

// Sizes of 0 are what an unfinished recording leaves, and players read them to the end of the file: the walk
// reaches every byte, so there is nothing to tell. Sizes past the end are told.
TEST_F(RIFFParserTest, SizesOfZeroAreSilentAndSizesPastTheEndAreTold) {
    ByteVector file = H264Avi({SpsChunk(1), SpsChunk(2)});
    PutLittleEndian(file, 4, 0);
    PutLittleEndian(file, 212 + 4, 0);
    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().NoticeCount, 0);

    PutLittleEndian(file, 4, 0xFFFFFFFF);
    PutLittleEndian(file, 212 + 4, 0xFFFFFFFF);
    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2}));
    const TScanNotice &notice = OnlyNotice();
    EXPECT_EQ(notice.Kind, TScanNotice::TKind::Structure);
    EXPECT_EQ(notice.Text, Format(SFileCutShort, 0));
}

// A header cut by the end of the file ends the walk with a notice, not a read error.
TEST_F(RIFFParserTest, HeadersCutByTheEndOfTheFileEndTheWalkWithANotice) {
    ByteVector streamHeader = H264Avi({SpsChunk(1)});
    streamHeader.resize(108 + 30); // inside the stream header
    ByteVector formType = RiffList("RIFF", "AVI ", {RiffChunk("JUNK", ByteVector(4))});
    Append(formType, {'L', 'I', 'S', 'T', 40, 0, 0, 0, 'm', 'o'});
    PutLittleEndian(formType, 4, 60);
    for (const ByteVector *bytes : {&streamHeader, &formType}) {
        ScanOutcome outcome = ScanAvi(*bytes);
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(Session().RatioUnitCount, 0);
        EXPECT_EQ(OnlyNotice().Kind, TScanNotice::TKind::Structure);
        EXPECT_EQ(Log.Sequence().back(), '!');
    }
}

// With deep scan every NAL unit of a data chunk is looked at; without, only the first of each chunk.
TEST_F(RIFFParserTest, DeepScanAgainstFirstUnitOnly) {
    ByteVector file = H264Avi({RiffChunk("00dc", Joined({Aud, SpsNal(1), Slice})),
                               RiffChunk("00dc", Joined({SpsNal(2), Slice, SpsNal(3)}))});
    // The rows whose SPS lies in the chunk's payload.
    auto rowsIn = [this](const TGenericRIFFChunk &chunk) {
        size_t rows = 0;
        for (size_t i = 0; i < Rows().Count(); ++i) {
            const int64_t at = Rows().Items(i)->Placement.FileOffset(0);
            rows += at >= chunk.DataPos && at < chunk.DataEnd();
        }
        return rows;
    };

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2, 3}));
    const TGenericRIFFChunk &movi = *FindList(*Riff().RootChunk, "movi");
    ASSERT_EQ(movi.Children.size(), 2u);
    EXPECT_EQ(rowsIn(*movi.Children[0]), 1u);
    EXPECT_EQ(rowsIn(*movi.Children[1]), 2u);

    DeepScan = false;
    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{2}));
    // The first chunk holds no SPS at its start and is not kept.
    const TGenericRIFFChunk &firstOnly = *FindList(*Riff().RootChunk, "movi");
    ASSERT_EQ(firstOnly.Children.size(), 1u);
    EXPECT_EQ(Rows().Items(0)->Placement.FileOffset(0), firstOnly.Children[0]->DataPos + 4);
    EXPECT_EQ(firstOnly.Children[0]->HeaderPos, movi.Children[1]->HeaderPos);
}

// An Xvid stream whose format carries the stream's headers behind the bitmap header (as some muxers
// write them), and key frames that open with them: the VOL of each is found behind the visual object
// headers that lead it, by the deep scan and by the first-unit scan alike; a chunk of a VOP alone holds
// none. A change writes every VOL.
TEST_F(RIFFParserTest, XvidVolsInTheStreamFormatAndTheKeyFrames) {
    const ByteVector headers = Mpeg4StreamHeaders(BuildVol({.aspect_ratio_info = 2}).bytes);
    ByteVector format(40, 0), keyFrame = headers;
    for (uint8_t byte : headers)
        format.push_back(byte);
    for (uint8_t byte : ByteVector{0x00, 0x00, 0x01, 0xB2, 'X', 'v', 'i', 'D', 0x00, 0x00, 0x01, 0xB6, 0x10})
        keyFrame.push_back(byte);
    const ByteVector vop{0x00, 0x00, 0x01, 0xB6, 0x50, 0x60, 0x00, 0x00, 0x01, 0x20, 0x00};
    const ByteVector file =
        AviFile({RiffList("LIST", "strl",
                          {RiffChunk("strh", StreamHeader("vids", "XVID")), RiffChunk("strf", format)})},
                {RiffChunk("00dc", keyFrame), RiffChunk("00dc", vop), RiffChunk("00dc", keyFrame)});
    for (const bool deep : {true, false}) {
        SCOPED_TRACE(deep ? "deep scan" : "first unit");
        DeepScan = deep;
        ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
        // The VOP chunk's second start code opens a VOL's first bytes in the deep scan: cut short, told as
        // damaged; the first-unit scan does not look past the VOP.
        EXPECT_EQ(Session().DamagedUnitCount, deep ? 1 : 0);
        EXPECT_EQ(Session().NoticeCount, deep ? 1 : 0);
        ASSERT_EQ(Rows().Count(), 3u);
        for (size_t i = 0; i < Rows().Count(); ++i) {
            EXPECT_STREQ(Rows().Items(i)->CodecEntry()->Key, "mpeg4visual");
            EXPECT_EQ(Rows().Items(i)->SarText(), "12:11");
        }
    }
    TMemoryStream memory(file);
    for (size_t i = 0; i < Rows().Count(); ++i)
        ASSERT_EQ((TRatioChange{TRatioChange::TKind::Sar, 0, {16, 11}}).ApplyTo(*Rows().Items(i)), "");
    Rows().WriteChanges(memory);
    DeepScan = false;
    ASSERT_EQ(ScanAvi(memory.Bytes()).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 3u);
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ(Rows().Items(i)->SarText(), "16:11");
}

// HEVC puts its delimiter and VPS ahead of the SPS of a key frame: the first-unit scan passes over them
// to the SPS, in frames longer than the part of them it reads first as in short ones, and reads a whole
// frame whose leading units fill that part. What follows the first unit past them is still not looked at.
TEST_F(RIFFParserTest, FirstUnitScanOfHevcPassesOverTheUnitsThatLeadTheSps) {
    auto sps = [](uint32_t id) {
        HevcSpsFields fields;
        fields.sps_seq_parameter_set_id = id;
        return WithStartCode(BuildHevcSps(fields).nal);
    };
    const ByteVector aud = WithStartCode({0x46, 0x01, 0x10});
    const ByteVector vps = WithStartCode({0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF});
    auto slice = [](size_t size) {
        ByteVector unit = WithStartCode({0x26, 0x01});
        unit.resize(unit.size() + size, 0xA5);
        return unit;
    };
    ByteVector bigVps = vps;
    bigVps.resize(bigVps.size() + 5000, 0x5A);
    const std::vector<ByteVector> chunks = {
        RiffChunk("00dc", Joined({vps, sps(1), slice(20)})),
        RiffChunk("00dc", Joined({aud, vps, sps(2), slice(9000), sps(3)})),
        RiffChunk("00dc", Joined({bigVps, sps(4), slice(100)})),
        RiffChunk("00dc", Joined({slice(9000), sps(5)})),
    };
    const ByteVector file = AviFile({StreamList("vids", "HEVC")}, chunks);

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));

    DeepScan = false;
    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2, 4}));
    EXPECT_EQ(Session().DamagedUnitCount, 0);
}

// Behind the first RIFF chunk only OpenDML "AVIX" chunks belong to the file; anything else is left
// unscanned, with a notice that says which bytes.
TEST_F(RIFFParserTest, BytesAfterTheFirstRiffChunkAreNotScanned) {
    ByteVector file = H264Avi({SpsChunk(1)});
    const int64_t end = static_cast<int64_t>(file.size());
    Append(file, RiffList("RIFF", "AVI ", {RiffList("LIST", "movi", {SpsChunk(2)})}));
    Append(file, SpsChunk(3));
    Append(file, {'J', 'U', 'N'});

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);

    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(ChildIds(*Riff().RootChunk), "LIST LIST");
    EXPECT_TRUE(Riff().ExtensionChunks.empty());
    const TScanNotice &notice = OnlyNotice();
    EXPECT_EQ(notice.Kind, TScanNotice::TKind::NotScanned);
    EXPECT_EQ(notice.FileOffset, end);
    EXPECT_EQ(notice.Text, "The bytes from " + Format("%x", end) + " to " +
                               Format("%x", static_cast<int64_t>(file.size())) +
                               " were not scanned: they do not belong to a RIFF chunk.");
}

TEST_F(RIFFParserTest, AbortedBeforeTheScanReadsOnlyTheFirstHeader) {
    std::string path = Write("second.avi", H264Avi({SpsChunk(2), SpsChunk(3)}));
    TRIFFParser &riff = NewRiffScan();
    riff.Aborted = true;

    ScanOutcome outcome = RunScan(riff, path);

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Log.Sequence(), "P!");
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_TRUE(riff.RootChunk->Children.empty());
    EXPECT_EQ(Rows().Count(), 0u);
}

// An abort from inside an event ends the scan at the next NAL unit, also inside a chunk: what was found
// up to the last completed step stays, and the walk goes no further.
TEST_F(RIFFParserTest, AbortDuringTheScanEndsAtTheNextUnit) {
    std::string path =
        Write("abort.avi", H264Avi({RiffChunk("00dc", Joined({SpsNal(1), SpsNal(2)})), SpsChunk(3)}));
    TRIFFParser &riff = NewRiffScan();
    Log.Hook = [&riff](const ScanEvent &event) {
        if (event.kind == Kind::RecordAdded)
            riff.Aborted = true;
    };

    ScanOutcome outcome = RunScan(riff, path);
    Log.Hook = nullptr;

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(FindList(*riff.RootChunk, "movi")->Children.size(), 1u);
    EXPECT_EQ(Log.Sequence().back(), '!');
}

TEST_F(RIFFParserTest, MissingFileChangesNothing) {
    ASSERT_EQ(ScanAvi(H264Avi({SpsChunk(1)})).kind, ScanOutcome::Kind::None);
    const TGenericRIFFChunk *root = Riff().RootChunk.get();
    Log.Events.clear();
    std::string missing = Dir.File("missing.avi");

    ScanOutcome outcome = RunScan(Riff(), missing);

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
    EXPECT_EQ(outcome.message, "File not found: " + missing);
    EXPECT_TRUE(Log.Events.empty());
    EXPECT_EQ(Session().RatioUnitCount, 1);
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Riff().RootChunk.get(), root);
    EXPECT_EQ(ChildIds(*root), "LIST LIST");
}

// Each file is scanned into a session of its own: a later scan leaves the earlier session's rows and the
// earlier scanner's tree as they were.
TEST_F(RIFFParserTest, LaterScansLeaveEarlierSessionsAlone) {
    ASSERT_EQ(ScanAvi(H264Avi({SpsChunk(1), SpsChunk(2)})).kind, ScanOutcome::Kind::None);
    TRIFFParser &first = Riff();

    ASSERT_EQ(ScanAvi(RiffList("RIFF", "AVI ", {RiffList("LIST", "movi", {SpsChunk(3)})})).kind,
              ScanOutcome::Kind::None);

    EXPECT_NE(&Riff(), &first);
    EXPECT_EQ(ChildIds(*Riff().RootChunk), "LIST");
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{3}));
    EXPECT_EQ(Session().RatioUnitCount, 1);
    EXPECT_EQ(ChildIds(*first.RootChunk), "LIST LIST");
    ASSERT_EQ(first.Session.ARInfoList.Count(), 2u);
    EXPECT_EQ(first.Session.ARInfoList.Items(1)->SpsId(), 2);
}

// A chunk's extent from its header: a list's size counts its form type, a list too short to hold one has
// no sub-chunk area, and a size near 4 GiB ends past 4 GiB, never back at the start.
TEST(RIFFChunk, ExtentsFollowTheHeader) {
    TGenericRIFFChunk chunk(nullptr);
    chunk.DataPos = 100;
    chunk.FourCC = MakeFourCC('J', 'U', 'N', 'K');
    chunk.Size = 7;
    EXPECT_FALSE(chunk.IsList());
    EXPECT_EQ(chunk.ContentSize(), 7);
    EXPECT_EQ(chunk.DataEnd(), 107);
    chunk.Size = 0xFFFFFFFFu;
    EXPECT_EQ(chunk.DataEnd(), 100 + int64_t{0xFFFFFFFF});

    chunk.FourCC = MakeFourCC('L', 'I', 'S', 'T');
    const struct {
        uint32_t sizeField;
        int64_t content;
    } lists[] = {{24, 20}, {4, 0}, {2, 0}, {0, 0}, {0xFFFFFFFFu, 0xFFFFFFFBu}};
    for (const auto &list : lists) {
        SCOPED_TRACE(list.sizeField);
        chunk.Size = list.sizeField - 4; // as the walk keeps it
        EXPECT_TRUE(chunk.IsList());
        EXPECT_EQ(chunk.ContentSize(), list.content);
        EXPECT_EQ(chunk.DataEnd(), 104 + list.content);
    }
}

} // namespace
