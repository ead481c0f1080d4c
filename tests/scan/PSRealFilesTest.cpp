// The program stream scanner on real files made by ffmpeg and libx264: H.264 in DVD's packs (-f vob) and
// in an MPEG-1 system stream (-f mpeg, whose pack and PES headers are of MPEG-1's form), with and without
// access unit delimiters (ffmpeg's program streams carry none of their own). Every SPS is found at the
// file offsets of its stream's bytes, and a change is proven with ffmpeg's own tools.

#include "MediaFiles.h"
#include "PsBuilder.h"
#include "RoundTrip.h"
#include "ScanHarness.h"
#include "base/Messages.h"

#include <gtest/gtest.h>

#include <set>

namespace {

struct TPsFile {
    const char *Name;
    std::string Muxer; // ffmpeg's -f
    bool Delimiters;   // libx264 puts an access unit delimiter in front of every frame
};

void PrintTo(const TPsFile &file, std::ostream *out) {
    *out << file.Name;
}

const TPsFile Files[] = {
    {"vob", "vob", false},
    {"vob_delimiters", "vob", true},
    {"mpeg1_system", "mpeg", false},
};

class PsRealFiles : public ScanTest, public testing::WithParamInterface<TPsFile> {
protected:
    void SetUp() override {
        ASSERT_TRUE(HaveMediaTools()) << "ffmpeg and ffprobe with libx264 are needed (run.sh installs them)";
    }

    TempDir Dir;
};

TEST_P(PsRealFiles, EverySpsIsFoundInItsStreamAndChangedInPlace) {
    const TPsFile &file = GetParam();
    VideoSpec video = Clip(720, 576, "64/45", true); // an SPS in front of every fifth frame
    video.accessUnitDelimiters = file.Delimiters;
    const std::string path = Dir.File(std::string(file.Name) + ".mpg");
    MakeContainer(path, {video}, file.Muxer);
    ASSERT_EQ(ProbeFile(path), TFileFormat::MpegPs);

    const ScanOutcome outcome = RunScan(NewScan(TFileFormat::MpegPs), path);
    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Session().NoticeCount, 0) << Session().Notices.front().Text;
    EXPECT_EQ(Session().DamagedUnitCount, 0);
    ASSERT_EQ(Session().Tracks.size(), 1u);
    const TTrack &track = Session().Tracks.front();
    EXPECT_STREQ(track.Codec->Key, "h264");
    ASSERT_GE(track.Number, 0xE0);
    ASSERT_LE(track.Number, 0xEF);
    EXPECT_EQ(track.Label, Format(SPsStreamLabel, track.Number));

    const ByteVector bytes = ReadFile(path);
    const PsElementaryStream stream = ReadPsElementaryStream(bytes, static_cast<uint8_t>(track.Number));
    const std::set<int64_t> streamBytes(stream.offsets.begin(), stream.offsets.end());
    ASSERT_EQ(Rows().Count(), 2u);
    for (size_t row = 0; row < Rows().Count(); ++row) {
        const TARInfo &record = *Rows().Items(row);
        EXPECT_EQ(record.Track, &track);
        EXPECT_EQ(record.NotChangeable, nullptr);
        EXPECT_EQ(record.SarText(), "64:45");
        const std::vector<uint8_t> &unit = record.Unit->Bytes();
        for (size_t i = 0; i < unit.size(); ++i) {
            const int64_t at = record.Placement.FileOffset(static_cast<int64_t>(i));
            ASSERT_EQ(bytes[static_cast<size_t>(at)], unit[i]) << "row " << row << ", byte " << i;
            ASSERT_EQ(streamBytes.count(at), 1u) << "row " << row << ", byte " << i;
        }
    }
    CheckRoundTrip(path, {TRatioChange::TKind::Sar, 0, {16, 11}}, {16, 11});
}

INSTANTIATE_TEST_SUITE_P(Files, PsRealFiles, testing::ValuesIn(Files),
                         [](const testing::TestParamInfo<TPsFile> &info) { return info.param.Name; });

} // namespace
