#include "MediaFiles.h"
#include "TestFiles.h"
#include "scan/Scanner.h"
#include "scan/uRIFFParser.h"

#include <gtest/gtest.h>

#include <filesystem>

// An OpenDML AVI past 1 GiB, as ffmpeg writes it: a first RIFF "AVI " chunk of about 1 GiB, then
// RIFF "AVIX" chunks with the rest of the movie data.

namespace {

constexpr int64_t GiB = int64_t{1} << 30;

TEST(OpenDml, EverySpsIsListedAndPatchedAlsoInAvixChunks) {
    if (!HaveMediaTools())
        GTEST_SKIP() << "ffmpeg with libx264 is not installed";
    TempDir dir;
    // A short lossless 1080p stream with an SPS before every key frame, repeated past 1 GiB.
    std::string source = dir.File("source.h264");
    CommandResult made = RunCommand("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 4 "
                                    "-vf setsar=64/45 -c:v libx264 -preset ultrafast -qp 0 "
                                    "-x264-params repeat-headers=1:keyint=25 -f h264 " +
                                    ShellQuote(source));
    ASSERT_EQ(made.exitCode, 0) << made.errors;
    size_t spsPerCopy = TraceSps(source).size();
    ASSERT_GT(spsPerCopy, 0u);
    int64_t copies = GiB / static_cast<int64_t>(std::filesystem::file_size(source)) + 2;
    std::string list;
    for (int64_t i = 0; i < copies; ++i)
        list += "file '" + source + "'\n";
    WriteFile(dir.File("list.txt"), std::vector<uint8_t>(list.begin(), list.end()));
    std::string avi = dir.File("large.avi");
    made = RunCommand("ffmpeg -v error -y -f concat -safe 0 -r 25 -i " + ShellQuote(dir.File("list.txt")) +
                      " -c copy -f avi " + ShellQuote(avi));
    ASSERT_EQ(made.exitCode, 0) << made.errors;
    std::filesystem::remove(source);
    ASSERT_GT(static_cast<int64_t>(std::filesystem::file_size(avi)), GiB);

    ASSERT_EQ(ProbeFile(avi), TFileFormat::Avi);
    TScanSession session;
    TRIFFParser riff(session);
    riff.Parse(avi);
    EXPECT_TRUE(session.Notices.empty());
    ASSERT_FALSE(riff.ExtensionChunks.empty());
    // ffmpeg also copies the first SPS into the stream format chunk (strf), ahead of the movie data.
    const TGenericRIFFChunk &header = *riff.RootChunk->Children.at(0);
    ASSERT_EQ(header.ID, "LIST");
    TARInfoList &rows = session.ARInfoList;
    ASSERT_EQ(rows.Count(), spsPerCopy * static_cast<size_t>(copies) + 1);
    EXPECT_EQ(session.RatioUnitCount, static_cast<int64_t>(rows.Count()));
    EXPECT_LT(rows.Items(0)->SpsOffset(), header.DataEnd());
    EXPECT_GT(rows.Items(1)->SpsOffset(), header.DataEnd());
    int64_t firstChunkEnd = riff.RootChunk->DataEnd();
    EXPECT_GT(rows.Items(rows.Count() - 1)->SpsOffset(), firstChunkEnd);
    // Every SPS, in the first RIFF chunk or an AVIX chunk, belongs to the one video stream.
    ASSERT_EQ(session.Tracks.size(), 1u);
    for (size_t i = 0; i < rows.Count(); ++i)
        ASSERT_EQ(rows.Items(i)->Track, &session.Tracks[0]) << "row " << i;

    for (size_t i = 0; i < rows.Count(); ++i) {
        rows.Items(i)->NewAspectRatioIdc = 255;
        rows.Items(i)->NewSarWidth = 40;
        rows.Items(i)->NewSarHeight = 33;
    }
    {
        TFileStream file(avi, TFileOpenMode::ReadWriteExclusive);
        ASSERT_NO_THROW(rows.WriteChanges(file));
    }
    // What a player sees in the container, and in the part of the bitstream that lies in the last AVIX chunk.
    ProbedVideo container = ProbeVideo(avi);
    EXPECT_EQ(container.sarWidth, 40);
    EXPECT_EQ(container.sarHeight, 33);
    CommandResult tail = RunCommand("ffmpeg -v error -sseof -2 -i " + ShellQuote(avi) +
                                    " -map 0:v:0 -c copy -f h264 - | ffprobe -v error -select_streams v:0 "
                                    "-show_entries stream=sample_aspect_ratio -of csv=p=0 -");
    ASSERT_EQ(tail.exitCode, 0) << tail.errors;
    EXPECT_EQ(tail.output.substr(0, 5), "40:33");

    TScanSession again;
    std::unique_ptr<TParser> rescan = CreateParser(ProbeFile(avi), again);
    rescan->Parse(avi);
    ASSERT_EQ(again.ARInfoList.Count(), rows.Count());
    for (size_t i = 0; i < again.ARInfoList.Count(); ++i)
        ASSERT_EQ(again.ARInfoList.Items(i)->SarText(), "40:33") << "row " << i;
}

} // namespace
