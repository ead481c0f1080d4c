// MP4 files laid out as other muxers or a hostile hand lay them out: 64-bit box headers, fragments placed
// behind the data of other tracks, display matrices that stretch, two decoder configurations in one sample
// entry, tables whose declared counts the bytes can not hold, segments without their movie header. Each is
// built by hand or made with ffmpeg and changed; what players read afterwards is checked with ffprobe.

#include "BitWriter.h"
#include "Mp4Builder.h"
#include "RoundTrip.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "scan/Mp4Statements.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using TKind = TRatioChange::TKind;

std::vector<uint8_t> Sps(uint8_t idc, uint16_t width = 0, uint16_t height = 0) {
    return BuildSps(At720x576(WithSar(idc, width, height))).nal;
}

const ByteVector Slice{0x65, 0x88, 0x84, 0x21, 0xA0};

// A stream over bytes in memory that counts its reads and gives up past a limit: a walk whose work a
// declared count sets fails fast instead of running for minutes.
class TCountingStream : public TMemoryStream {
public:
    TCountingStream(std::vector<uint8_t> bytes, int64_t limit)
        : TMemoryStream(std::move(bytes)), FLimit(limit) {}
    void ReadBuffer(void *buffer, size_t count) override {
        Count();
        TMemoryStream::ReadBuffer(buffer, count);
    }
    TLentBytes Lend(int64_t offset, size_t count, size_t headRoom) override {
        Count();
        return TMemoryStream::Lend(offset, count, headRoom);
    }
    int64_t Reads = 0;

private:
    void Count() {
        if (++Reads > FLimit)
            throw EInOutError("more reads than the file's bytes can call for");
    }
    int64_t FLimit;
};

class AdversarialMp4 : public ScanTest {
protected:
    ScanOutcome ScanBytes(const ByteVector &bytes) { return RunScanOf(NewScan(TFileFormat::Mp4), bytes); }
    // Scans through a counting stream that allows at most limit reads.
    ScanOutcome ScanCounted(const ByteVector &bytes, int64_t limit, int64_t &reads) {
        TParser &parser = NewScan(TFileFormat::Mp4);
        TCountingStream stream(bytes, limit);
        const ScanOutcome outcome = Outcome([&] { parser.Scan(stream); });
        reads = stream.Reads;
        return outcome;
    }
    std::vector<std::string> NoticeTexts() {
        std::vector<std::string> texts;
        for (const TScanNotice &notice : Session().Notices)
            texts.push_back(notice.Text);
        return texts;
    }
    bool Told(const std::string &text) {
        const std::vector<std::string> texts = NoticeTexts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    // Every row's SPS lies in the file where its placement says.
    void ExpectRowsPlaced(const ByteVector &file) {
        for (size_t i = 0; i < Rows().Count(); ++i) {
            const TARInfo &row = *Rows().Items(i);
            if (row.Unit == nullptr)
                continue;
            const int64_t at = row.Placement.FileOffset(0);
            ASSERT_LE(at + static_cast<int64_t>(row.Unit->Bytes().size()), static_cast<int64_t>(file.size()));
            EXPECT_TRUE(std::equal(row.Unit->Bytes().begin(), row.Unit->Bytes().end(), file.begin() + at))
                << "row " << i;
        }
    }
    // Gives every row the change, writes the plan into a copy of file and returns the copy; changed holds
    // every byte the plan wrote.
    ByteVector Save(const ByteVector &file, const TRatioChange &change,
                    std::set<int64_t> *changed = nullptr) {
        for (size_t i = 0; i < Rows().Count(); ++i)
            EXPECT_EQ(change.ApplyTo(*Rows().Items(i)), "") << "row " << i;
        TPatchPlan plan = Rows().PlanChanges();
        EXPECT_TRUE(plan.Refusals.empty());
        if (changed != nullptr)
            for (const TPlanEntry &entry : plan.Entries)
                for (const TPatch &patch : entry.Patches)
                    for (int64_t at = patch.FileOffset; at < patch.End(); ++at)
                        changed->insert(at);
        TMemoryStream memory(file);
        plan.Apply(memory);
        return memory.Bytes();
    }
};

// ---- 64-bit box headers ----

// Every box of the track with a 64-bit size: the statements are read behind each box's own header, and a
// save writes the display sizes and the SPS, nothing else (not the matrix, not a size field).
TEST_F(AdversarialMp4, SixtyFourBitHeadersAreReadBehindTheirOwnHeader) {
    for (int version : {0, 1}) {
        SCOPED_TRACE(version);
        Mp4Track track = AnamorphicTrack({{Sps(255, 40, 33), Slice}});
        track.tkhdVersion = version;
        track.tapt = true;
        track.largeHeaders = {"trak", "tkhd", "tapt", "clef", "prof", "mdia", "hdlr", "minf",
                              "stbl", "stsd", "avc1", "avcC", "pasp", "stsz", "stsc", "stco"};
        const ByteVector file = Mp4File({track});
        ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Session().NoticeCount, 0);
        ASSERT_EQ(Session().Tracks.size(), 1u);
        const TTrack &read = Session().Tracks.front();
        EXPECT_EQ(read.Width, 720);
        EXPECT_EQ(read.Height, 576);
        EXPECT_TRUE(read.NotWritten.empty());
        ASSERT_EQ(read.Statements.size(), 4u); // pasp, tkhd, clef, prof
        for (size_t i = 1; i < 4; ++i) {
            const auto &size = dynamic_cast<const TDisplaySizeStatement &>(*read.Statements[i]);
            EXPECT_EQ(size.Width, 1024u << 16) << i;
            EXPECT_EQ(size.Height, 576u << 16) << i;
        }
        ASSERT_EQ(Rows().Count(), 2u); // the avcC's SPS and the sample's
        ExpectRowsPlaced(file);

        std::set<int64_t> changed;
        const ByteVector saved = Save(file, {TKind::Sar, 0, {16, 15}}, &changed);
        for (size_t at = 0; at < file.size(); ++at)
            EXPECT_TRUE(saved[at] == file[at] || changed.count(static_cast<int64_t>(at)) == 1)
                << "a byte outside the plan at " << at;
        ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(Session().NoticeCount, 0) << "every box still parses";
        EXPECT_TRUE(Session().Tracks.front().NotWritten.empty()) << "the matrix is as it was";
        for (const auto &statement : Session().Tracks.front().Statements)
            EXPECT_EQ(ReduceRatio(statement->DisplayAspectRatio().X, statement->DisplayAspectRatio().Y).X, 4)
                << "every statement says 4:3";
        EXPECT_EQ(Rows().Items(0)->SarText(), "16:15");
        EXPECT_EQ(Rows().Items(1)->SarText(), "16:15");
    }
}

class AdversarialMp4Real : public AdversarialMp4 {
protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    }
    std::string Make(const std::string &name, const VideoSpec &video, const std::string &muxer,
                     const std::string &options = "") {
        const std::string path = Dir.File(name);
        MakeContainer(path, {video}, muxer, "", options);
        return path;
    }
    static std::string ProbeStreams(const std::string &path) {
        return RunCommand("ffprobe -v error -show_streams " + ShellQuote(path)).output;
    }
};

// A MOV file of ffmpeg's with its track header and its track aperture's boxes given 64-bit sizes (the moov
// lies behind the samples: nothing moves). ffmpeg reads the new ratio, and no display matrix appears.
TEST_F(AdversarialMp4Real, SixtyFourBitTrackHeaderOfARealMovFile) {
    const std::string path = Make("wide.mov", Clip(1440, 1080, "4/3"), "mov");
    ByteVector file = ReadFile(path);
    for (const char *type : {"tkhd", "clef", "prof"})
        file = ReplaceMp4Box(file, type, WithLargeHeader);
    WriteFile(path, file);
    ASSERT_EQ(ProbeStreams(path).find("Display Matrix"), std::string::npos);
    std::unique_ptr<TScanSession> session = ScanFile(path);
    ASSERT_EQ(session->Tracks.size(), 1u);
    const TTrack &track = session->Tracks.front();
    ASSERT_EQ(track.Statements.size(), 4u);
    EXPECT_EQ(track.StatedDisplayAspectRatio().X, 16);
    // ffmpeg's mov muxer: the coded size in tkhd, the display size in clef and prof.
    const std::vector<uint32_t> widths = {1440u << 16, 1920u << 16, 1920u << 16};
    for (size_t i = 1; i < 4; ++i) {
        const auto &size = dynamic_cast<const TDisplaySizeStatement &>(*track.Statements[i]);
        EXPECT_EQ(size.Width, widths[i - 1]) << i;
        EXPECT_EQ(size.Height, 1080u << 16) << i;
    }
    CheckRoundTrip(path, {TKind::Dar, 0, {4, 3}}, {1, 1});
    EXPECT_EQ(ProbeStreams(path).find("Display Matrix"), std::string::npos);
}

// ---- Fragments placed implicitly ----

// ftyp, moov (an audio track 2 and the video track 1, with trex defaults), one moof made for the place of
// its mdat's data, and the mdat.
ByteVector FragmentedFile(const std::function<ByteVector(uint64_t dataStart)> &fragment,
                          const ByteVector &data, uint32_t trexDefaultSize = 0) {
    Mp4Track audio;
    audio.id = 2;
    audio.handler = "soun";
    audio.entry = "mp4a";
    ByteVector file = FileTypeBox();
    Append(file, FragmentedMovieBox({AnamorphicTrack(), audio}, trexDefaultSize));
    const uint64_t dataStart = file.size() + fragment(0).size() + 8;
    Append(file, fragment(dataStart));
    Append(file, Box("mdat", data));
    return file;
}

// An audio track fragment with its own base offset, then the video's without one and without
// default-base-is-moof: the video data begins where the audio data ended, whether the audio sizes come
// from its run, its tfhd or its trex. The second video run begins where the first ended.
TEST_F(AdversarialMp4, FragmentsOfOtherTracksMoveTheImplicitDataStart) {
    const ByteVector first = LengthPrefixed({Sps(14), Slice});
    const ByteVector second = LengthPrefixed({Sps(2), Slice});
    ByteVector data(160, 0xAA); // two audio samples
    Append(data, first);
    Append(data, second);
    Mp4TrackFragment video;
    video.trackId = 1;
    video.runs = {{std::nullopt, {static_cast<uint32_t>(first.size())}},
                  {std::nullopt, {static_cast<uint32_t>(second.size())}}};
    enum class TSizes { InRun, InTfhd, InTrex };
    for (TSizes sizes : {TSizes::InRun, TSizes::InTfhd, TSizes::InTrex}) {
        SCOPED_TRACE(static_cast<int>(sizes));
        auto fragment = [&](uint64_t dataStart) {
            Mp4TrackFragment audio;
            audio.trackId = 2;
            audio.baseOffset = dataStart;
            Mp4Run run;
            if (sizes == TSizes::InRun) {
                run.sizes = {100, 60};
            } else {
                run.listSizes = false;
                run.count = 2;
            }
            if (sizes == TSizes::InTfhd)
                audio.defaultSize = 80;
            audio.runs = {run};
            return MovieFragment({audio, video});
        };
        const ByteVector file = FragmentedFile(fragment, data, sizes == TSizes::InTrex ? 80 : 0);
        ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
        EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
        ASSERT_EQ(Rows().Count(), 3u);
        EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
        EXPECT_EQ(Rows().Items(1)->SarText(), "4:3");
        EXPECT_EQ(Rows().Items(2)->SarText(), "12:11");
        ExpectRowsPlaced(file);
    }
}

// The track fragment before gives no sizes for its samples (a track the movie header does not describe):
// where the video data begins is unknown, and that is told rather than guessed. A video fragment with its
// own base offset behind it is read again.
TEST_F(AdversarialMp4, PlacementBehindDataOfUnknownSizeIsToldNotGuessed) {
    const ByteVector sample = LengthPrefixed({Sps(14), Slice});
    ByteVector data(50, 0xAA);
    Append(data, sample);
    Append(data, sample);
    auto fragment = [&](uint64_t dataStart) {
        Mp4TrackFragment unknown;
        unknown.trackId = 9;
        unknown.baseOffset = dataStart;
        unknown.runs = {{std::nullopt, {}, false, 1}};
        Mp4TrackFragment implicit;
        implicit.runs = {{std::nullopt, {static_cast<uint32_t>(sample.size())}}};
        Mp4TrackFragment placed;
        placed.baseOffset = dataStart + 50 + sample.size();
        placed.runs = {{std::nullopt, {static_cast<uint32_t>(sample.size())}}};
        return MovieFragment({unknown, implicit, placed});
    };
    const ByteVector file = FragmentedFile(fragment, data);
    const auto moofStart = static_cast<int64_t>(Mp4BoxStart(file, "moof"));
    ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>({Format(SFragmentUnknownTrack, moofStart, 9),
                                                       Format(SFragmentNotPlaced, "track 1", moofStart)}));
    ASSERT_EQ(Rows().Count(), 2u); // the avcC's, and the sample of the placed fragment
    ExpectRowsPlaced(file);
    EXPECT_EQ(Rows().Items(1)->Placement.FileOffset(0),
              static_cast<int64_t>(file.size() - sample.size() + 4));
    // The samples that could not be placed may hold SPS of their own: the track is not changed at all, so
    // that a save never leaves them at the old ratio while it says every row was written.
    const std::string reason = Format(SMp4SamplesUnread, "track 1", "track 1");
    for (size_t i = 0; i < Rows().Count(); ++i) {
        ASSERT_NE(Rows().Items(i)->NotChangeable, nullptr);
        EXPECT_EQ(*Rows().Items(i)->NotChangeable, reason);
    }
    EXPECT_EQ(Session().Tracks.front().NotWritten, reason);
}

// An SPS whose aspect_ratio_idc is 0 states no ratio: left so (a custom ratio of no terms changes nothing),
// its container is not made to follow it, never written as 0:0.
TEST_F(AdversarialMp4, AnSpsThatStatesNoRatioGivesTheContainerNothingToFollow) {
    Mp4Track track = AnamorphicTrack({{Sps(0), Slice}});
    track.sps = {Sps(0)};
    ASSERT_EQ(ScanBytes(Mp4File({track})).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 2u);
    for (size_t i = 0; i < Rows().Count(); ++i) {
        TARInfo &row = *Rows().Items(i);
        ASSERT_TRUE(row.StatesNoRatio());
        row.NewAspectRatioIdc = ExtendedSarIdc; // as a front that passes terms of 0 would leave it
        row.NewSarWidth = 0;
        row.NewSarHeight = 103;
        ASSERT_FALSE(row.IsChanged());
    }
    const TPatchPlan plan = Rows().PlanChanges();
    EXPECT_TRUE(plan.Empty());
    EXPECT_TRUE(plan.Refusals.empty());
}

// ---- Display matrix ----

// A matrix that turns, mirrors or scales alike leaves the ratio: the container is written. One that
// stretches, has perspective or is all zeros leaves the container statements as they are, with the reason;
// the SPS change goes on.
TEST_F(AdversarialMp4, AStretchingDisplayMatrixLeavesTheContainerAsItIs) {
    const uint32_t one = 0x10000, minusOne = 0xFFFF0000, w = 0x40000000;
    struct TCase {
        const char *name;
        std::vector<uint32_t> matrix;
        bool stretches;
    };
    const std::vector<TCase> cases = {
        {"identity", {one, 0, 0, 0, one, 0, 0, 0, w}, false},
        {"quarter turn", {0, one, 0, minusOne, 0, 0, 0, 0, w}, false},
        {"mirror", {minusOne, 0, 0, 0, one, 0, 0, 0, w}, false},
        {"scaled alike, moved", {2 * one, 0, 0, 0, 2 * one, 0, 100 * one, 0, w}, false},
        {"twice as wide", {2 * one, 0, 0, 0, one, 0, 0, 0, w}, true},
        {"perspective", {one, 0, 1, 0, one, 0, 0, 0, w}, true},
        {"all zeros", {0, 0, 0, 0, 0, 0, 0, 0, 0}, true},
    };
    for (const TCase &matrixCase : cases) {
        SCOPED_TRACE(matrixCase.name);
        Mp4Track track = AnamorphicTrack({{Slice}});
        track.matrix = matrixCase.matrix;
        const ByteVector file = Mp4File({track});
        ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(Session().Tracks.size(), 1u);
        EXPECT_EQ(Session().Tracks.front().NotWritten,
                  matrixCase.stretches ? Format(SDisplayMatrixStretches, "track 1") : std::string());
        ASSERT_EQ(Rows().Count(), 1u);
        ASSERT_EQ((TRatioChange{TKind::Sar, 0, {16, 15}}).ApplyTo(*Rows().Items(0)), "");
        const TPatchPlan plan = Rows().PlanChanges();
        EXPECT_TRUE(plan.Refusals.empty());
        // The SPS alone, or the SPS with pasp and tkhd.
        EXPECT_EQ(plan.Entries.size(), matrixCase.stretches ? 1u : 3u);
        EXPECT_EQ(plan.Notes, matrixCase.stretches
                                  ? std::vector<std::string>{Format(SDisplayMatrixStretches, "track 1")}
                                  : std::vector<std::string>{});
    }
}

// ffmpeg's square-pixel MP4 with the matrix made twice as wide: ffprobe shows the matrix to players, and a
// change that only the container could carry is refused with the reason.
TEST_F(AdversarialMp4Real, AStretchingMatrixRefusesAContainerOnlyChange) {
    const std::string path = Make("square.mp4", Clip(720, 576, ""), "mp4");
    ByteVector file = ReadFile(path);
    const size_t matrix = Mp4BoxStart(file, "tkhd") + 8 + 40;
    ASSERT_EQ(file[matrix + 1], 0x01) << "a = 1.0";
    file[matrix + 1] = 0x02;
    WriteFile(path, file);
    EXPECT_NE(ProbeStreams(path).find("Display Matrix"), std::string::npos);
    std::unique_ptr<TScanSession> session = ScanFile(path);
    ASSERT_EQ(session->ARInfoList.Count(), 1u);
    TARInfo &row = *session->ARInfoList.Items(0);
    ASSERT_TRUE(row.IsContainerRow());
    ASSERT_EQ((TRatioChange{TKind::Dar, 0, {16, 9}}).ApplyTo(row), "");
    const TPatchPlan plan = session->ARInfoList.PlanChanges();
    ASSERT_EQ(plan.Refusals.size(), 1u);
    EXPECT_EQ(plan.Refusals[0].Reason, Format(SDisplayMatrixStretches, "track 1"));
    EXPECT_TRUE(plan.Entries.empty());
}

// ---- Two decoder configurations in one sample entry ----

// Players read the first avcC; both are listed and both changed, so that every reader agrees. The samples'
// length size is the first one's.
TEST_F(AdversarialMp4, BothDecoderConfigurationsOfOneEntryAreChanged) {
    Mp4Track track = AnamorphicTrack({{Sps(14), Slice}});
    track.secondConfigSps = {Sps(2)};
    track.lengthSize = 2;
    const ByteVector file = Mp4File({track});
    ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().NoticeCount, 0);
    ASSERT_EQ(Rows().Count(), 3u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
    EXPECT_EQ(Rows().Items(1)->SarText(), "12:11");
    EXPECT_EQ(Rows().Items(2)->SarText(), "4:3");
    ExpectRowsPlaced(file);
    const ByteVector saved = Save(file, {TKind::Sar, 0, {4, 3}});
    ASSERT_EQ(ScanBytes(saved).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Rows().Items(i)->SarText(), "4:3") << i;
}

// The same in ffmpeg's file: a copy of its avcC behind the first. ffmpeg reads the first; the scan lists
// both, and the change reaches both.
TEST_F(AdversarialMp4Real, ASecondDecoderConfigurationOfARealFileIsChangedToo) {
    const std::string path = Make("twice.mp4", Clip(720, 576, "64/45"), "mp4");
    ByteVector file = ReadFile(path);
    file = ReplaceMp4Box(file, "avcC", [](const ByteVector &box) {
        ByteVector twice = box;
        Append(twice, box);
        return twice;
    });
    WriteFile(path, file);
    std::unique_ptr<TScanSession> session = ScanFile(path);
    ASSERT_EQ(session->ARInfoList.Count(), 2u);
    EXPECT_NE(session->ARInfoList.Items(0)->Placement.FileOffset(0),
              session->ARInfoList.Items(1)->Placement.FileOffset(0));
    CheckRoundTrip(path, {TKind::Sar, 0, {16, 15}}, {16, 15});
}

// ---- Work bounded by the file's bytes ----

// Declared counts far beyond the bytes: a sample table of four billion samples of one byte (and of six,
// which would each be read), runs of four billion samples in a fragment. The samples walked never add up to
// more than the file's bytes; the damage is told.
TEST_F(AdversarialMp4, DeclaredCountsDoNotSetTheWork) {
    const ByteVector good = Mp4File({AnamorphicTrack({{Sps(14), Slice}, {Slice}})});
    for (uint32_t sampleSize : {1u, 6u}) {
        SCOPED_TRACE(sampleSize);
        ByteVector file = ReplaceMp4Box(good, "stsz", [&](const ByteVector &) {
            ByteVector fields = BigEndian32(sampleSize);
            Append(fields, BigEndian32(0xFFFFFFFF));
            return FullBox("stsz", 0, 0, fields);
        });
        file = ReplaceMp4Box(file, "stsc", [](const ByteVector &) {
            ByteVector fields = BigEndian32(1);
            Append(fields, {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1});
            return FullBox("stsc", 0, 0, fields);
        });
        int64_t reads = 0;
        ASSERT_EQ(ScanCounted(file, static_cast<int64_t>(file.size()), reads).kind, ScanOutcome::Kind::None);
        // Samples of one byte hold no SPS and are not read: the walk ends when they add up to the file's
        // size. Samples of six are read until the first that lies past the end.
        EXPECT_TRUE(sampleSize == 1
                        ? Told(Format(SSampleBytesPastFile, "track 1", static_cast<int64_t>(file.size())))
                        : Told(Format(SSamplesPastEnd, "track 1")));
        EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
    }

    // A fragment's run of four billion samples whose size its tfhd gives.
    const ByteVector sample = LengthPrefixed({Sps(14), Slice});
    auto fragment = [&](uint64_t dataStart) {
        Mp4TrackFragment video;
        video.baseOffset = dataStart;
        video.defaultSize = static_cast<uint32_t>(sample.size());
        video.runs = {{std::nullopt, {}, false, 0xFFFFFFFF}};
        return MovieFragment({video});
    };
    ByteVector data;
    for (int i = 0; i < 20; ++i)
        Append(data, sample);
    const ByteVector file = FragmentedFile(fragment, data);
    int64_t reads = 0;
    ASSERT_EQ(ScanCounted(file, static_cast<int64_t>(file.size()), reads).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().RatioUnitCount, 1 + 20);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SSamplesPastEnd, "track 1")});
}

// 100,000 chunk offsets in 400 KB, all at the one sample that holds an SPS: the walk stops once the samples
// add up to the file's size, and says why. (One SPS place in the file makes one row.)
TEST_F(AdversarialMp4, ChunkOffsetsThatAllPointAtOneSampleAreBounded) {
    const ByteVector sample = LengthPrefixed({Sps(14)});
    const ByteVector one = Mp4File({AnamorphicTrack({{Sps(14)}})});
    const ByteVector stco = Mp4BoxBytes(one, "stco");
    const ByteVector firstOffset(stco.end() - 4, stco.end());
    constexpr uint32_t Chunks = 100000;
    ByteVector file = ReplaceMp4Box(one, "stco", [&](const ByteVector &) {
        ByteVector fields = BigEndian32(Chunks);
        for (uint32_t i = 0; i < Chunks; ++i)
            Append(fields, firstOffset);
        return FullBox("stco", 0, 0, fields);
    });
    file = ReplaceMp4Box(file, "stsz", [&](const ByteVector &) {
        ByteVector fields = BigEndian32(static_cast<uint32_t>(sample.size()));
        Append(fields, BigEndian32(Chunks));
        return FullBox("stsz", 0, 0, fields);
    });
    ASSERT_GT(file.size(), 400000u);
    int64_t reads = 0;
    ASSERT_EQ(ScanCounted(file, static_cast<int64_t>(file.size()), reads).kind, ScanOutcome::Kind::None);
    const int64_t samplesInFile = static_cast<int64_t>(file.size() / sample.size());
    EXPECT_LE(Session().RatioUnitCount, 1 + samplesInFile);
    EXPECT_GE(Rows().Count(), 1u);
    ASSERT_FALSE(Session().Notices.empty());
    EXPECT_EQ(Session().Notices.back().Text,
              Format(SSampleBytesPastFile, "track 1", static_cast<int64_t>(Mp4BoxStart(file, "mdat") + 8)));
}

// ---- Segments ----

// A DASH/CMAF media segment made from ffmpeg's fragmented file (styp, then its fragments without ftyp and
// moov) is an MP4 file to the probe, never a raw stream; without the movie header its tracks are unknown,
// and the scan says so once. The init segment in front of it makes the file whole again.
TEST_F(AdversarialMp4Real, ASegmentWithoutItsMovieHeaderIsToldNotReadAsRawH264) {
    const std::string path = Make("fragmented.mp4", Clip(720, 576, "64/45", true), "mp4",
                                  "-movflags frag_keyframe+empty_moov+default_base_moof");
    const ByteVector whole = ReadFile(path);
    const size_t firstFragment = Mp4BoxStart(whole, "moof");
    ByteVector fields = {'m', 's', 'd', 'h', 0, 0, 0, 0, 'm', 's', 'd', 'h', 'm', 's', 'i', 'x'};
    ByteVector segment = Box("styp", fields);
    segment.insert(segment.end(), whole.begin() + static_cast<ptrdiff_t>(firstFragment), whole.end());
    const std::string segmentPath = Write("segment.m4s", segment);
    EXPECT_EQ(ProbeFile(segmentPath), TFileFormat::Mp4);
    std::unique_ptr<TScanSession> alone = ScanFile(segmentPath);
    EXPECT_EQ(alone->ARInfoList.Count(), 0u);
    EXPECT_EQ(alone->RatioUnitCount, 0);
    ASSERT_EQ(alone->Notices.size(), 1u);
    EXPECT_EQ(alone->Notices[0].Text, SFragmentsWithoutMovie);

    ByteVector joined(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(firstFragment));
    Append(joined, segment);
    std::unique_ptr<TScanSession> joinedScan = ScanFile(Write("joined.mp4", joined));
    EXPECT_GT(joinedScan->RatioUnitCount, 1);
    EXPECT_EQ(joinedScan->NoticeCount, 0);
}

} // namespace
