#pragma once

// A change of a real file, checked with what players and ffmpeg's own tools read afterwards: every row
// given the change, the plan written in place, then the length, the bytes outside the plan, ffprobe's
// stream ratio, every SPS as the trace_headers filter decodes it (of a codec whose bitstream states a ratio),
// the decoded frames, and a new scan.

#include "MediaFiles.h"
#include "TestFiles.h"
#include "h264/uH264.h"
#include "scan/Scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct TRoundTrip {
    std::unique_ptr<TScanSession> Session = std::make_unique<TScanSession>();
    TPatchPlan Plan;
};

inline std::unique_ptr<TScanSession> ScanFile(const std::string &path) {
    auto session = std::make_unique<TScanSession>();
    std::unique_ptr<TParser> parser = CreateParser(ProbeFile(path), *session);
    if (!parser)
        throw std::runtime_error("no scanner for " + path);
    parser->Parse(path);
    return session;
}

// Changes every row of the file to sar (given as the change), and checks the result. videoIndex is the
// video stream ffprobe and trace_headers look at; expected the SAR every reader must see then.
inline void CheckRoundTrip(const std::string &path, const TRatioChange &change, TRatio expected,
                           int videoIndex = 0) {
    const std::vector<uint8_t> before = ReadFile(path);
    const std::vector<std::string> frames = FrameMd5(path);
    std::unique_ptr<TScanSession> session = ScanFile(path);
    TARInfoList &rows = session->ARInfoList;
    ASSERT_GT(rows.Count(), 0u);
    for (size_t i = 0; i < rows.Count(); ++i)
        ASSERT_EQ(change.ApplyTo(*rows.Items(i)), "") << "row " << i;
    TPatchPlan plan = rows.PlanChanges();
    std::set<int64_t> planned;
    for (const TPlanEntry &entry : plan.Entries)
        for (const TPatch &patch : entry.Patches)
            for (int64_t at = patch.FileOffset; at < patch.End(); ++at)
                planned.insert(at);
    {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        ASSERT_TRUE(plan.Check(file).empty());
        plan.Apply(file);
    }
    const std::vector<uint8_t> after = ReadFile(path);
    ASSERT_EQ(after.size(), before.size());
    size_t outside = 0;
    for (size_t i = 0; i < after.size(); ++i)
        outside += after[i] != before[i] && planned.count(static_cast<int64_t>(i)) == 0;
    EXPECT_EQ(outside, 0u) << "bytes changed outside the plan";

    const ProbedVideo probed = ProbeVideo(path, videoIndex);
    const TRatio probedSar = ReduceRatio(probed.sarWidth, probed.sarHeight);
    EXPECT_EQ(probedSar.X, expected.X) << "ffprobe's SAR";
    EXPECT_EQ(probedSar.Y, expected.Y) << "ffprobe's SAR";
    // A track changed in its container alone has no SPS to trace; MPEG video has sequence headers, which
    // must hold the code of the rows (trace_headers reads those of MPEG-2 only).
    const bool containerOnly = std::all_of(session->Tracks.begin(), session->Tracks.end(),
                                           [](const TTrack &track) { return track.ContainerOnly(); });
    const TRatioUnit *unit = rows.Items(0)->Unit;
    const bool sequenceHeaders = unit != nullptr && unit->Codec().Framing() == TUnitFraming::StartCodes;
    if (sequenceHeaders && std::string(unit->Codec().Key()) == "mpeg2video") {
        const std::vector<TracedSequenceHeader> headers = TraceSequenceHeaders(path, videoIndex, true);
        EXPECT_FALSE(headers.empty());
        for (const TracedSequenceHeader &header : headers)
            EXPECT_EQ(header.aspectRatioInformation, rows.Items(0)->EffectiveAspectRatioIdc())
                << "a sequence header as trace_headers reads it";
    }
    const std::vector<TracedSps> traced =
        containerOnly || sequenceHeaders ? std::vector<TracedSps>{} : TraceSps(path, videoIndex, true);
    if (!containerOnly && !sequenceHeaders) {
        EXPECT_FALSE(traced.empty());
    }
    for (const TracedSps &sps : traced) {
        const TRatio sar = sps.aspectRatioIdc == 255
                               ? ReduceRatio(sps.sarWidth, sps.sarHeight)
                               : ReduceRatio(PredefinedSarWidth(static_cast<uint8_t>(sps.aspectRatioIdc)),
                                             PredefinedSarHeight(static_cast<uint8_t>(sps.aspectRatioIdc)));
        if (sps.aspectRatioIdc < 0)
            continue; // an SPS without a ratio has no bits to write
        EXPECT_EQ(sar.X, expected.X) << "an SPS as trace_headers reads it";
        EXPECT_EQ(sar.Y, expected.Y) << "an SPS as trace_headers reads it";
    }
    EXPECT_EQ(FrameMd5(path), frames);
    std::unique_ptr<TScanSession> again = ScanFile(path);
    ASSERT_EQ(again->ARInfoList.Count(), rows.Count());
    for (size_t i = 0; i < rows.Count(); ++i) {
        const TRatio sar = ReduceRatio(again->ARInfoList.Items(i)->EffectiveSarWidth(),
                                       again->ARInfoList.Items(i)->EffectiveSarHeight());
        EXPECT_EQ(sar.X, expected.X) << "row " << i << " scanned again";
        EXPECT_EQ(sar.Y, expected.Y) << "row " << i << " scanned again";
    }
}
