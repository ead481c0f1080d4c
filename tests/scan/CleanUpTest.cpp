// How both scanners end a scan however it ends: the end is reported while the file is still open, and
// the file is closed afterwards; a file that can not be opened is reported without any event.

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
        TFileFormat format;
        std::vector<uint8_t> good;
        // A file whose scan fails after something was found; empty when the scan fails through its
        // receiver instead.
        std::vector<uint8_t> failing;
    };

    std::vector<Target> Targets() {
        ByteVector video = RiffChunk("00dc", SpsWithSar());
        ByteVector avi = AviFile({StreamList("vids", "H264")}, {video});
        // Lists nested too deep behind the first video chunk.
        ByteVector deep = RiffChunk("JUNK", {});
        for (int i = 0; i < 70; ++i)
            deep = RiffList("LIST", "deep", {deep});
        ByteVector deepAvi = AviFile({StreamList("vids", "H264")}, {video, deep});
        return {{"raw stream", TFileFormat::RawH264, SpsWithSar(), {}},
                {"AVI", TFileFormat::Avi, avi, deepAvi}};
    }
};

// A failed scan ends like any other: the end is reported (after the reader is freed) while the file is
// still open, and the file is closed afterwards. A raw stream's scan has no failure of its own after it
// has found something (a damaged SPS is a notice), so there the receiver of its rows fails.
TEST_F(CleanUpTest, TheEndIsReportedWithTheFileOpenAndTheFileIsClosedAfterwards) {
    for (const Target &target : Targets()) {
        for (bool failing : {false, true}) {
            SCOPED_TRACE(std::string(target.name) + (failing ? ", failing" : ", good"));
            std::string path =
                Write("file", failing && !target.failing.empty() ? target.failing : target.good);
            bool openAtEnd = false, readerAtEnd = true;
            TParser &parser = NewScan(target.format);
            TRIFFParser *riff = dynamic_cast<TRIFFParser *>(&parser);
            Log.Hook = [&](const ScanEvent &event) {
                if (event.kind == ScanEvent::Kind::Finished) {
                    openAtEnd = !CanOpenForWriting(path);
                    readerAtEnd = riff != nullptr && riff->Bitstream != nullptr;
                }
                if (failing && target.failing.empty() && event.kind == ScanEvent::Kind::RecordAdded)
                    throw Exception("The list can not take the row.");
            };

            ScanOutcome outcome = RunScan(parser, path);
            Log.Hook = nullptr;

            EXPECT_EQ(outcome.kind == ScanOutcome::Kind::None, !failing) << outcome.message;
            EXPECT_EQ(Log.Sequence().back(), '!');
            EXPECT_EQ(Log.Of(ScanEvent::Kind::Finished).size(), 1u);
            EXPECT_TRUE(openAtEnd);
            EXPECT_FALSE(readerAtEnd);
            if (riff != nullptr) {
                EXPECT_EQ(riff->Bitstream, nullptr);
            }
            EXPECT_TRUE(CanOpenForWriting(path));
            EXPECT_EQ(Rows().Count(), 1u);
        }
    }
}

// A receiver of the end that fails neither hides the scan's result nor ends the program.
TEST_F(CleanUpTest, FailingReceiverOfTheEndChangesNothing) {
    for (const Target &target : Targets()) {
        SCOPED_TRACE(target.name);
        std::string path = Write("file", target.good);
        TParser &parser = NewScan(target.format);
        parser.Events.OnFinished = [] { throw Exception("The window is gone."); };

        ScanOutcome outcome = RunScan(parser, path);

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_EQ(Rows().Count(), 1u);
        EXPECT_TRUE(CanOpenForWriting(path));
    }
}

// A file that exists but can not be opened (here: another program holds it for writing) raises the file
// layer's error before any event. Neither scanner touches its session before the file is open: what an
// earlier scan into it found stays.
TEST_F(CleanUpTest, FileThatCanNotBeOpenedIsReportedWithoutEvents) {
    for (const Target &target : Targets()) {
        SCOPED_TRACE(target.name);
        std::string path = Write("file", target.good);
        TParser &parser = NewScan(target.format);
        ASSERT_EQ(RunScan(parser, path).kind, ScanOutcome::Kind::None);
        ASSERT_EQ(Session().RatioUnitCount, 1);
        Log.Events.clear();
        ScanOutcome outcome;
        {
            TFileStream writer(path, TFileOpenMode::ReadWriteExclusive);
            outcome = RunScan(parser, path);
        }

        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
        EXPECT_NE(outcome.message.find(path), std::string::npos) << outcome.message;
        EXPECT_TRUE(Log.Events.empty());
        EXPECT_EQ(Session().RatioUnitCount, 1);
        EXPECT_EQ(Rows().Count(), 1u);
    }
}

} // namespace
