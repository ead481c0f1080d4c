#include "CoreTestSupport.h"
#include "H264StreamScan.h"
#include "TestFiles.h"
#include "base/Streams.h"
#include "scan/ScanSession.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string DataFile(const std::string &name) {
    return std::string(PELLMAR_TESTDATA) + "/" + name;
}

struct RealStream {
    const char *file;
    int profile; // -1: not checked
    bool constrained;
    int32_t width, height;
    int32_t sarWidth, sarHeight; // 0:0 for none
    size_t spsCount;
    bool scalingMatrix;
};

class RealSps : public ::testing::TestWithParam<RealStream> {};

TEST_P(RealSps, DecodesToWhatAnIndependentDecoderReports) {
    const RealStream &s = GetParam();
    TFileStream stream(DataFile(s.file), TFileOpenMode::ReadShareDenyWrite);
    TFastBitstream reader(&stream);
    SpsScan scan = ScanForSps(reader);
    ASSERT_EQ(scan.Units.size(), s.spsCount);
    for (const auto &unit : scan.Units) {
        const TSequenceParameterSet &sps = *unit->SequenceParameterSet;
        if (s.profile >= 0) {
            EXPECT_EQ(sps.profile_idc, s.profile);
        }
        if (s.constrained) {
            EXPECT_EQ(sps.constraint_set1_flag, 1);
        }
        EXPECT_EQ(sps.Width(), s.width);
        EXPECT_EQ(sps.Height(), s.height);
        EXPECT_EQ(sps.HasAspectRatio(), s.sarWidth > 0);
        EXPECT_EQ(sps.SarWidth(), s.sarWidth);
        EXPECT_EQ(sps.SarHeight(), s.sarHeight);
        if (s.sarWidth > 0) {
            EXPECT_EQ(sps.AspectRatioIdc(), 255);
        }
        EXPECT_EQ(sps.seq_scaling_matrix_present_flag, s.scalingMatrix ? 1 : 0);
        EXPECT_EQ(sps.Position, unit->Position + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    OpenH264, RealSps,
    ::testing::Values(RealStream{"SarVui.264", 66, false, 176, 144, 80, 33, 1, false},
                      RealStream{"sps_subsetsps_bothVUI.264", -1, false, 160, 96, 1, 1, 1, false},
                      RealStream{"test_scalinglist_jm.264", 100, false, 320, 192, 0, 0, 1, true},
                      RealStream{"Cisco_Men_whisper_640x320_CABAC_Bframe_9.264", 77, false, 640, 320, 0, 0, 1,
                                 false},
                      RealStream{"MR2_TANDBERG_E.264", 66, false, 176, 144, 0, 0, 1, false},
                      RealStream{"BA1_FT_C.264", 66, true, 352, 288, 0, 0, 3, false}));

// Subset SPS (15) and slice extension (20) units are read up to their header and passed over.
TEST(RealStream, TheScalableStreamHasSubsetSpsAndExtensionUnits) {
    TFileStream stream(DataFile("sps_subsetsps_bothVUI.264"), TFileOpenMode::ReadShareDenyWrite);
    TFastBitstream reader(&stream);
    SpsScan scan = ScanForSps(reader);
    for (uint8_t type : {15, 20})
        EXPECT_TRUE(scan.NalTypes.count(type)) << int{type};
}

std::string ProbedSar(const std::string &path) {
    return RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=sample_aspect_ratio "
                      "-of default=nw=1:nk=1 " +
                      ShellQuote(path))
        .output;
}

// A SAR written by ffmpeg into a stream that had none, changed in place, read back by ffprobe.
TEST(RealStream, AChangeInAnFfmpegWrittenSpsIsWhatFfprobeReads) {
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe"))
        GTEST_SKIP() << "ffmpeg is not installed";
    struct Change {
        const char *given;
        uint8_t idc;
        int32_t width, height;
        const char *probed;
    };
    for (const Change &change :
         {Change{"64/45", 255, 32, 27, "32:27\n"}, Change{"4/3", 2, 12, 11, "12:11\n"}}) {
        TempDir dir;
        std::string path = dir.File("sar.h264");
        CommandResult made = RunCommand("ffmpeg -v error -y -i " +
                                        ShellQuote(DataFile("Cisco_Men_whisper_640x320_CABAC_Bframe_9.264")) +
                                        " -c copy -bsf:v h264_metadata=sample_aspect_ratio=" + change.given +
                                        " -f h264 " + ShellQuote(path));
        ASSERT_EQ(made.exitCode, 0) << made.errors;
        std::vector<uint8_t> before = ReadFile(path);
        TScanSession session;
        TH264StreamParser(session).Parse(path);
        TARInfoList &list = session.ARInfoList;
        ASSERT_EQ(list.Count(), 1u);
        TARInfo &info = *list.Items(0);
        EXPECT_EQ(info.CurrentAspectRatioIdc() == 255, change.idc == 255);
        info.NewAspectRatioIdc = change.idc;
        info.NewSarWidth = change.width;
        info.NewSarHeight = change.height;
        {
            TFileStream stream(path, TFileOpenMode::ReadWriteExclusive);
            ASSERT_TRUE(list.CheckChanges(stream).empty());
            ASSERT_EQ(list.WriteChanges(stream).PatchCount, 1u);
        }
        EXPECT_EQ(ReadFile(path).size(), before.size());
        EXPECT_EQ(ProbedSar(path), change.probed);
    }
}

} // namespace
