// The AVI scanner on hand-built RIFF files: the walk of the chunk tree, the handler question, the scan
// of video data chunks, and the errors with what stays after them.

#include "BitWriter.h"
#include "RiffBuilder.h"
#include "ScanHarness.h"

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

std::vector<uint32_t> FoundSpsIds() {
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < ARInfoList->Count(); ++i)
        ids.push_back(static_cast<uint32_t>(ARInfoList->Items(i)->SpsId()));
    return ids;
}

class RIFFParserTest : public ScanTest {
protected:
    // Scans the bytes as an AVI file after clearing the records, as the window does.
    ScanOutcome ScanAvi(const ByteVector &bytes, const std::string &name = "test.avi") {
        std::string path = Write(name, bytes);
        PrepareScan();
        Riff.Aborted = false;
        return RunScan(Riff, path);
    }

    // Answers the handler question from the list, in order, and records what was asked.
    void Answer(std::vector<bool> answers) {
        Asked.clear();
        Riff.OnForeignHandler = [this, answers](const std::string &fourCC) {
            Asked.push_back(fourCC);
            return Asked.size() <= answers.size() && answers[Asked.size() - 1];
        };
    }

    std::vector<std::string> Asked;
};

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
    // RIFF, hdrl, avih, strl, strh, strf, movi, 00dc (with its unit and record), then "Ready.".
    EXPECT_EQ(RiffLog.Sequence(), "PPPPPPPPNR!");
    const int64_t size = static_cast<int64_t>(file.size());
    const int64_t headerEnds[] = {8, 20, 32, 96, 108, 172, 220, 232};
    std::vector<ScanEvent> progress = RiffLog.Of(Kind::Progress);
    ASSERT_EQ(progress.size(), std::size(headerEnds) + 1);
    for (size_t i = 0; i < std::size(headerEnds); ++i) {
        EXPECT_EQ(progress[i].position, headerEnds[i]);
        EXPECT_EQ(progress[i].total, size);
        EXPECT_EQ(progress[i].text, ProgressText(headerEnds[i], size));
    }
    EXPECT_EQ(progress.back().text, "Ready.");
    EXPECT_EQ(progress.back().position, 0);
    EXPECT_EQ(progress.back().total, 100);

    EXPECT_EQ(Riff.FileSize, size);
    EXPECT_EQ(Riff.Bitstream, nullptr);
    ASSERT_NE(Riff.RootChunk, nullptr);
    const TGenericRIFFChunk &root = *Riff.RootChunk;
    EXPECT_EQ(root.ID, "RIFF");
    EXPECT_EQ(FourCCToString(root.ListType), "AVI ");
    EXPECT_EQ(root.Size, file.size() - 12);
    EXPECT_EQ(ChildIds(root), "LIST LIST");
    const TGenericRIFFChunk *movi = FindList(root, "movi");
    ASSERT_NE(movi, nullptr);
    ASSERT_EQ(movi->Children.size(), 1u);
    const TGenericRIFFChunk &video = *movi->Children[0];
    EXPECT_EQ(video.HeaderPos, 224);
    EXPECT_EQ(video.DataPos, 232);
    EXPECT_EQ(video.Parent, movi);
    ASSERT_EQ(Riff.NALUnits.size(), 1u);
    ASSERT_EQ(video.NALUnits.size(), 1u);
    EXPECT_EQ(video.NALUnits[0], Riff.NALUnits[0].get());
    EXPECT_EQ(Riff.NALUnits[0]->Position, 232 + 4);
    ASSERT_EQ(ARInfoList->Count(), 1u);
    EXPECT_EQ(ARInfoList->Items(0)->SequenceParameterSet, Riff.NALUnits[0]->SequenceParameterSet.get());
    EXPECT_EQ(ARInfoList->Items(0)->SarText(), "64:45");
}

TEST_F(RIFFParserTest, FilesThatAreNotRiffAreRefused) {
    ASSERT_EQ(ScanAvi(H264Avi({SpsChunk(0)})).kind, ScanOutcome::Kind::None);
    const TGenericRIFFChunk *root = Riff.RootChunk.get();
    ByteVector riff = RiffList("RIFF", "AVI ", {RiffChunk("JUNK", ByteVector(8))});
    ByteVector rifx = riff, lowerCase = riff;
    std::copy_n("RIFX", 4, rifx.begin());
    std::copy_n("riff", 4, lowerCase.begin());
    ByteVector eleven(riff.begin(), riff.begin() + 11);

    // Too short: refused before any header is read; the tree of the last scan stays.
    ScanOutcome outcome = ScanAvi(eleven);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::General);
    EXPECT_EQ(outcome.message, "File is not a valid RIFF file. Abort Scan.");
    EXPECT_EQ(RiffLog.Sequence(), "!");
    EXPECT_EQ(Riff.FileSize, 11);
    EXPECT_TRUE(Riff.NALUnits.empty());
    EXPECT_EQ(Riff.RootChunk.get(), root);
    EXPECT_EQ(ChildIds(*Riff.RootChunk), "LIST LIST");

    for (const ByteVector *bytes : {&rifx, &lowerCase}) {
        std::string id(bytes->begin(), bytes->begin() + 4);
        SCOPED_TRACE(id);
        outcome = ScanAvi(*bytes);
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::General);
        EXPECT_EQ(outcome.message, "File is not a valid RIFF file. Abort Scan.");
        EXPECT_EQ(RiffLog.Sequence(), "P!");
        EXPECT_EQ(Riff.RootChunk->ID, id);
        EXPECT_TRUE(Riff.RootChunk->Children.empty());
        EXPECT_EQ(Riff.Bitstream, nullptr);
    }
}

TEST_F(RIFFParserTest, TwelveByteRiffHasNoChunks) {
    ScanOutcome outcome = ScanAvi(RiffList("RIFF", "AVI ", {}));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(RiffLog.Sequence(), "P!");
    EXPECT_EQ(RiffLog.Events[0].text, "8 / 12 Bytes");
    EXPECT_EQ(Riff.RootChunk->Size, 0u);
    EXPECT_TRUE(Riff.RootChunk->Children.empty());
    EXPECT_TRUE(Riff.NALUnits.empty());
}

TEST_F(RIFFParserTest, OtherFormTypesAreWalkedWithoutFindings) {
    Answer({});
    ByteVector wave = RiffList("RIFF", "WAVE",
                               {RiffChunk("fmt ", ByteVector(16, 1)), RiffChunk("data", ByteVector(7, 0x80)),
                                RiffChunk("LIST", Joined({{'I', 'N', 'F', 'O'}, RiffChunk("ISFT", {'x'})}))});

    ScanOutcome outcome = ScanAvi(wave, "sound.wav");

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(FourCCToString(Riff.RootChunk->ListType), "WAVE");
    EXPECT_EQ(ChildIds(*Riff.RootChunk), "fmt  data LIST");
    EXPECT_EQ(ChildIds(*Riff.RootChunk->Children[2]), "ISFT");
    EXPECT_TRUE(Riff.NALUnits.empty());
    EXPECT_TRUE(Asked.empty());
}

TEST_F(RIFFParserTest, H264HandlersInAnyLetterCasePassWithoutQuestion) {
    Answer({});
    for (const char *handler :
         {"H264", "h264", "AVC1", "avc1", "X264", "x264", "DAVC", "dAvC", "VSSH", "vssh"}) {
        SCOPED_TRACE(handler);
        ScanOutcome outcome = ScanAvi(AviFile({StreamList("vids", handler)}, {SpsChunk(0)}));
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_FALSE(Riff.Aborted);
        EXPECT_EQ(ARInfoList->Count(), 1u);
    }
    EXPECT_TRUE(Asked.empty());
}

TEST_F(RIFFParserTest, AudioStreamHeadersAreNeverQuestioned) {
    Answer({});
    ScanOutcome outcome =
        ScanAvi(AviFile({StreamList("auds", "XVID"), StreamList("vids", "H264")}, {SpsChunk(0)}));

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_TRUE(Asked.empty());
    EXPECT_EQ(ARInfoList->Count(), 1u);
}

// The question comes once per foreign video stream header, in file order. A refusal ends the walk at
// once, without an error: nothing of the movie data has been read.
TEST_F(RIFFParserTest, ForeignHandlersAreQuestioned) {
    ByteVector file =
        AviFile({StreamList("vids", "XVID"), StreamList("vids", "DIVX")}, {SpsChunk(0), SpsChunk(1)});
    struct Case {
        const char *name;
        std::vector<bool> answers;
        std::vector<std::string> asked;
        bool aborted;
        size_t records;
    };
    const Case cases[] = {{"both yes", {true, true}, {"XVID", "DIVX"}, false, 2},
                          {"second no", {true, false}, {"XVID", "DIVX"}, true, 0},
                          {"first no", {false}, {"XVID"}, true, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Answer(c.answers);
        ScanOutcome outcome = ScanAvi(file);
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(Asked, c.asked);
        EXPECT_EQ(Riff.Aborted, c.aborted);
        EXPECT_EQ(ARInfoList->Count(), c.records);
        EXPECT_EQ(Riff.NALUnits.size(), c.records);
        EXPECT_EQ(FindList(*Riff.RootChunk, "movi") != nullptr, !c.aborted);
        EXPECT_EQ(RiffLog.Sequence().back(), '!');
    }

    // Nobody bound to the question: the answer is no.
    Riff.OnForeignHandler = nullptr;
    ScanOutcome outcome = ScanAvi(file);
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_TRUE(Riff.Aborted);
    EXPECT_TRUE(Riff.NALUnits.empty());
    EXPECT_EQ(RiffLog.Sequence().back(), '!');
}

TEST_F(RIFFParserTest, DataChunksOfEveryStreamAreScannedAndOnlyThose) {
    ByteVector file =
        AviFile({StreamList("vids", "H264"), StreamList("vids", "H264")},
                {RiffChunk("00db", SpsNal(1)), RiffChunk("01dc", SpsNal(2)), RiffChunk("01wb", SpsNal(3)),
                 RiffChunk("12dc", SpsNal(4)), RiffChunk("00DC", SpsNal(5))});

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);

    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(ChildIds(*FindList(*Riff.RootChunk, "movi")), "00db 01dc 01wb 12dc 00DC");
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
    const TGenericRIFFChunk &root = *Riff.RootChunk;
    ASSERT_EQ(ChildIds(root), "LIST LIST LIST");
    const TGenericRIFFChunk &strl = *root.Children[0]->Children[1];
    EXPECT_EQ(ChildIds(strl), "strh strf");
    EXPECT_EQ(strl.Children[0]->Size, 57u);
    EXPECT_EQ(strl.Children[1]->Size, 3u);
    EXPECT_EQ(ChildIds(*root.Children[1]), "ISFT");
    EXPECT_EQ(FourCCToString(root.Children[2]->ListType), "movi");
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2}));
}

TEST_F(RIFFParserTest, EmptyListHasNoChildren) {
    ByteVector file = AviFile({RiffList("LIST", "strl", {}), StreamList("vids", "H264")}, {SpsChunk(3)});

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);

    EXPECT_TRUE(Riff.RootChunk->Children[0]->Children[1]->Children.empty());
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{3}));
}

// A size that carries the walk back to or before the chunk's own header is refused; the records found
// before stay.
TEST_F(RIFFParserTest, SizeThatWrapsBackIsAnError) {
    for (uint32_t size : {0xFFFFFFF8u, 0xFFFFFFF0u, 0xFFFFFFF7u}) {
        SCOPED_TRACE(size);
        ByteVector file = H264Avi({SpsChunk(1), RiffHeader("JUNK", size), SpsChunk(2)});

        ScanOutcome outcome = ScanAvi(file);

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InvalidOp);
        EXPECT_EQ(outcome.message, "Error while parsing RIFF file.");
        EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1}));
        EXPECT_EQ(RiffLog.Sequence().back(), '!');
        EXPECT_EQ(Riff.Bitstream, nullptr);
    }
}

// A file cut short inside its movie list: the chunks before the cut are scanned, then the walk stops.
TEST_F(RIFFParserTest, FileCutInsideTheMovieListEndsWithUnexpectedEnd) {
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

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
        EXPECT_EQ(outcome.message, "Unexpected end of stream.");
        EXPECT_EQ(FoundSpsIds(), c.found);
        EXPECT_EQ(Riff.NALUnits.size(), c.found.size());
        EXPECT_EQ(RiffLog.Sequence().back(), '!');
    }
}

TEST_F(RIFFParserTest, HeadersCutByTheEndOfTheFileRaiseAReadError) {
    ByteVector streamHeader = H264Avi({SpsChunk(1)});
    streamHeader.resize(108 + 30); // inside the 64 bytes read of the stream header
    ByteVector formType = RiffList("RIFF", "AVI ", {RiffChunk("JUNK", ByteVector(4))});
    Append(formType, {'L', 'I', 'S', 'T', 40, 0, 0, 0, 'm', 'o'});
    PutLittleEndian(formType, 4, 60);
    for (const ByteVector *bytes : {&streamHeader, &formType}) {
        ScanOutcome outcome = ScanAvi(*bytes);
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut) << outcome.message;
        EXPECT_EQ(RiffLog.Sequence().back(), '!');
    }
}

// With deep scan every NAL unit of a data chunk is looked at; without, only the first of each chunk.
TEST_F(RIFFParserTest, DeepScanAgainstFirstUnitOnly) {
    ByteVector file = H264Avi({RiffChunk("00dc", Joined({Aud, SpsNal(1), Slice})),
                               RiffChunk("00dc", Joined({SpsNal(2), Slice, SpsNal(3)}))});

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2, 3}));
    const TGenericRIFFChunk &movi = *FindList(*Riff.RootChunk, "movi");
    EXPECT_EQ(movi.Children[0]->NALUnits.size(), 1u);
    EXPECT_EQ(movi.Children[1]->NALUnits.size(), 2u);

    Riff.DeepScan = false;
    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{2}));
    const TGenericRIFFChunk &firstOnly = *FindList(*Riff.RootChunk, "movi");
    EXPECT_TRUE(firstOnly.Children[0]->NALUnits.empty());
    ASSERT_EQ(firstOnly.Children[1]->NALUnits.size(), 1u);
    EXPECT_EQ(firstOnly.Children[1]->NALUnits[0]->Position,
              static_cast<int64_t>(firstOnly.Children[1]->DataPos) + 4);
}

TEST_F(RIFFParserTest, BytesAfterTheFirstRiffChunkAreIgnored) {
    ByteVector file = H264Avi({SpsChunk(1)});
    Append(file, RiffList("RIFF", "AVI ", {RiffList("LIST", "movi", {SpsChunk(2)})}));
    Append(file, SpsChunk(3));
    Append(file, {'J', 'U', 'N'});

    ASSERT_EQ(ScanAvi(file).kind, ScanOutcome::Kind::None);

    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(ChildIds(*Riff.RootChunk), "LIST LIST");
}

TEST_F(RIFFParserTest, AbortedBeforeTheScanReadsOnlyTheFirstHeader) {
    ASSERT_EQ(ScanAvi(H264Avi({SpsChunk(1)})).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Riff.NALUnits.size(), 1u);
    std::string path = Write("second.avi", H264Avi({SpsChunk(2), SpsChunk(3)}));
    PrepareScan();
    Riff.Aborted = true;

    ScanOutcome outcome = RunScan(Riff, path);

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(RiffLog.Sequence(), "P!");
    EXPECT_TRUE(Riff.NALUnits.empty());
    EXPECT_TRUE(Riff.RootChunk->Children.empty());
    EXPECT_EQ(ARInfoList->Count(), 0u);
}

// An abort from inside an event ends the walk at the next chunk; the chunk being scanned is finished.
TEST_F(RIFFParserTest, AbortDuringTheScanFinishesTheCurrentChunk) {
    std::string path =
        Write("abort.avi", H264Avi({RiffChunk("00dc", Joined({SpsNal(1), SpsNal(2)})), SpsChunk(3)}));
    PrepareScan();
    RiffLog.Hook = [this](const ScanEvent &event) {
        if (event.kind == Kind::FoundRecord)
            Riff.Aborted = true;
    };

    ScanOutcome outcome = RunScan(Riff, path);
    RiffLog.Hook = nullptr;

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(FindList(*Riff.RootChunk, "movi")->Children.size(), 1u);
    EXPECT_EQ(RiffLog.Sequence().back(), '!');
}

TEST_F(RIFFParserTest, MissingFileChangesNothing) {
    ASSERT_EQ(ScanAvi(H264Avi({SpsChunk(1)})).kind, ScanOutcome::Kind::None);
    const TGenericRIFFChunk *root = Riff.RootChunk.get();
    RiffLog.Events.clear();
    std::string missing = Dir.File("missing.avi");

    ScanOutcome outcome = RunScan(Riff, missing);

    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
    EXPECT_EQ(outcome.message, "File not found: " + missing);
    EXPECT_TRUE(RiffLog.Events.empty());
    EXPECT_EQ(Riff.NALUnits.size(), 1u);
    EXPECT_EQ(Riff.RootChunk.get(), root);
    EXPECT_EQ(ChildIds(*root), "LIST LIST");
}

// The root chunk object lives from the first scan on; each scan rebuilds its tree.
TEST_F(RIFFParserTest, LaterScansReuseTheRootChunk) {
    ASSERT_EQ(ScanAvi(H264Avi({SpsChunk(1), SpsChunk(2)})).kind, ScanOutcome::Kind::None);
    const TGenericRIFFChunk *root = Riff.RootChunk.get();

    ASSERT_EQ(ScanAvi(RiffList("RIFF", "AVI ", {RiffList("LIST", "movi", {SpsChunk(3)})})).kind,
              ScanOutcome::Kind::None);

    EXPECT_EQ(Riff.RootChunk.get(), root);
    EXPECT_EQ(ChildIds(*root), "LIST");
    EXPECT_EQ(FoundSpsIds(), (std::vector<uint32_t>{3}));
    EXPECT_EQ(Riff.NALUnits.size(), 1u);
}

TEST_F(RIFFParserTest, ChunksNeedAStream) {
    TGenericRIFFChunk chunk(nullptr);
    chunk.Parser = &Riff;
    auto invalidOp = [](const std::function<void()> &action) -> std::string {
        try {
            action();
        } catch (const EInvalidOp &error) {
            return error.what();
        }
        return "no invalid-operation error";
    };
    EXPECT_EQ(invalidOp([&] { chunk.ReadHeader(nullptr); }), "Stream not initialized.");
    EXPECT_EQ(invalidOp([&] { chunk.ReadChildren(nullptr, &chunk); }), "Stream not initialized.");
    EXPECT_TRUE(chunk.Children.empty());
}

} // namespace
