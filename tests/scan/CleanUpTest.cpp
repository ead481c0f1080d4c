// How both scanners end a scan however it ends: "Ready." is reported while the file is still open, and
// the file is closed afterwards; a file that can not be opened is reported without "Ready.".

#include "BitWriter.h"
#include "RiffBuilder.h"
#include "ScanHarness.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::vector<uint8_t> SpsWithSar() {
    SpsFields fields;
    fields.vui = true;
    fields.aspect_ratio_idc = 2;
    return WithStartCode(BuildSps(fields).nal);
}

// Whether another program could open the file for writing now (the scanners keep others from writing
// while the file is open).
bool CanOpenForWriting(const std::string &path) {
    try {
        TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
        return true;
    } catch (const EInOutError &) {
        return false;
    }
}

class CleanUpTest : public ScanTest {
protected:
    struct Target {
        const char *name;
        TParser *parser;
        ScanRecorder *log;
        std::vector<uint8_t> good;
        std::vector<uint8_t> failing; // a file whose scan fails after something was found
    };

    std::vector<Target> Targets() {
        std::vector<uint8_t> cutSps = SpsWithSar();
        cutSps.resize(10);
        std::vector<uint8_t> stream = SpsWithSar();
        Append(stream, cutSps);
        ByteVector video = RiffChunk("00dc", SpsWithSar());
        ByteVector avi = AviFile({StreamList("vids", "H264")}, {video});
        // Cut inside the header of the second video chunk.
        ByteVector cutAvi = AviFile({StreamList("vids", "H264")}, {video, video});
        cutAvi.resize(cutAvi.size() - video.size() + 4);
        return {{"raw stream", &Stream, &StreamLog, SpsWithSar(), stream},
                {"AVI", &Riff, &RiffLog, avi, cutAvi}};
    }
};

TEST_F(CleanUpTest, ReadyIsReportedWithTheFileOpenAndTheFileIsClosedAfterwards) {
    for (const Target &target : Targets()) {
        for (bool failing : {false, true}) {
            SCOPED_TRACE(std::string(target.name) + (failing ? ", failing" : ", good"));
            std::string path = Write("file", failing ? target.failing : target.good);
            bool openAtReady = false, readerAtReady = false;
            target.log->Hook = [&](const ScanEvent &event) {
                if (event.text == "Ready.") {
                    openAtReady = !CanOpenForWriting(path);
                    readerAtReady = Riff.Bitstream != nullptr;
                }
            };
            PrepareScan();

            ScanOutcome outcome = RunScan(*target.parser, path);
            target.log->Hook = nullptr;

            EXPECT_EQ(outcome.kind == ScanOutcome::Kind::None, !failing) << outcome.message;
            EXPECT_EQ(target.log->Sequence().back(), '!');
            EXPECT_TRUE(openAtReady);
            // The AVI scanner reports "Ready." before it frees its reader; the reader is gone afterwards.
            EXPECT_EQ(readerAtReady, target.parser == &Riff);
            EXPECT_EQ(Riff.Bitstream, nullptr);
            EXPECT_TRUE(CanOpenForWriting(path));
            EXPECT_EQ(ARInfoList->Count(), 1u);
        }
    }
}

// A file that exists but can not be opened (here: another program holds it for writing) raises the file
// layer's error before any event. The AVI scanner has emptied its units by then; the stream scanner
// has not touched them.
TEST_F(CleanUpTest, FileThatCanNotBeOpenedIsReportedWithoutReady) {
    for (const Target &target : Targets()) {
        SCOPED_TRACE(target.name);
        std::string path = Write("file", target.good);
        PrepareScan();
        ASSERT_EQ(RunScan(*target.parser, path).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(target.parser->NALUnits.size(), 1u);
        PrepareScan();
        ScanOutcome outcome;
        {
            TFileStream writer(path, TFileOpenMode::ReadWriteExclusive);
            outcome = RunScan(*target.parser, path);
        }

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
        EXPECT_NE(outcome.message.find(path), std::string::npos) << outcome.message;
        EXPECT_TRUE(target.log->Events.empty());
        EXPECT_EQ(target.parser->NALUnits.size(), target.parser == &Riff ? 0u : 1u);
    }
}

} // namespace
