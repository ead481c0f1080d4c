// Files beyond the reach of 32-bit offsets, made sparse so that they cost no disk space: positions
// past 4 GiB in a raw stream, and an AVI whose first RIFF chunk is larger than 2 GiB.

#include "BitWriter.h"
#include "RiffBuilder.h"
#include "ScanHarness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

constexpr int64_t GiB = int64_t{1} << 30;

// An open file descriptor, closed on destruction.
class FileHandle {
public:
    FileHandle(const std::string &path, int flags) : FHandle(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
        if (FHandle < 0)
            throw std::runtime_error("cannot open " + path);
    }
    ~FileHandle() { ::close(FHandle); }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    int Get() const { return FHandle; }

private:
    int FHandle;
};

struct Piece {
    int64_t offset;
    std::vector<uint8_t> bytes;
};

// A file of that size holding the pieces at their offsets and zeros (holes) everywhere else.
void WriteSparse(const std::string &path, int64_t size, const std::vector<Piece> &pieces) {
    FileHandle file(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (::ftruncate(file.Get(), size) != 0)
        throw std::runtime_error("ftruncate failed");
    for (const Piece &piece : pieces)
        if (::pwrite(file.Get(), piece.bytes.data(), piece.bytes.size(), piece.offset) !=
            static_cast<ssize_t>(piece.bytes.size()))
            throw std::runtime_error("pwrite failed");
}

std::vector<uint8_t> ReadAt(const std::string &path, int64_t offset, size_t count) {
    FileHandle file(path, O_RDONLY);
    std::vector<uint8_t> bytes(count);
    if (::pread(file.Get(), bytes.data(), count, offset) != static_cast<ssize_t>(count))
        throw std::runtime_error("pread failed");
    return bytes;
}

BuiltSps SarSps(uint8_t idc, uint32_t id) {
    SpsFields fields;
    fields.vui = true;
    fields.aspect_ratio_idc = idc;
    fields.seq_parameter_set_id = id;
    return BuildSps(fields);
}

class LargeFilesTest : public ScanTest {
protected:
    // Writes a new predefined code into the one record and checks the file's bytes: exactly the unit
    // with that code now lies where the old one was.
    void RewriteAndCheck(const std::string &path, size_t record, int64_t header, uint8_t newCode,
                         uint32_t id) {
        Rows().Items(record)->NewAspectRatioIdc = newCode;
        {
            TFileStream file(path, TFileOpenMode::ReadWriteExclusive);
            TWriteReport report = Rows().WriteChanges(file);
            EXPECT_EQ(report.Lines.size(), 1u);
        }
        std::vector<uint8_t> expected = SarSps(newCode, id).nal;
        EXPECT_EQ(ReadAt(path, header, expected.size()), expected);
    }
};

// A raw stream of 4.5 GiB: an SPS at the start and one past 4 GiB, at an odd offset.
TEST_F(LargeFilesTest, RawStreamPositionsPastFourGiBAreExact) {
    const int64_t size = 4 * GiB + GiB / 2;
    const int64_t late = 4 * GiB + 1001;
    BuiltSps first = SarSps(2, 0), second = SarSps(14, 1);
    std::string path = Dir.File("large.h264");
    WriteSparse(path, size, {{0, WithStartCode(first.nal)}, {late, WithStartCode(second.nal)}});

    ScanOutcome outcome = RunScan(NewStreamScan(), path);

    ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    EXPECT_EQ(Session().FileSize, size);
    EXPECT_EQ(Session().RatioUnitCount, 2);
    ASSERT_EQ(Rows().Count(), 2u);
    // The unit's own positions count from its header byte; the record maps them into the file.
    const TARInfo &record = *Rows().Items(1);
    const int64_t header = late + 4;
    EXPECT_EQ(record.Placement.FileOffset(0), header);
    EXPECT_EQ(record.SpsOffset(), header + 1);
    EXPECT_EQ(record.VuiOffset(), header + static_cast<int64_t>(second.vuiByte));
    EXPECT_EQ(SpsOf(record.Unit)->VUIParameters->Position, static_cast<int64_t>(second.vuiByte));
    EXPECT_EQ(SpsOf(record.Unit)->VUIParameters->BitOffset, second.vuiBit);
    EXPECT_EQ(record.SarText(), "4:3");
    std::vector<ScanEvent> progress = Log.Of(ScanEvent::Kind::Progress);
    // Before the last search the reader has read past the second SPS: the position is a 64-bit number.
    ASSERT_GE(progress.size(), 2u);
    const ScanEvent &last = progress.back();
    EXPECT_GT(last.position, late);
    EXPECT_LE(last.position, size);
    EXPECT_EQ(last.total, size);

    RewriteAndCheck(path, 1, header, 15, 1);
}

// An AVI whose first RIFF chunk is larger than 2 GiB: a JUNK chunk of that much is stepped over, and the
// movie list behind it is walked and scanned. At the largest size a RIFF chunk can have, the video
// chunk ends where the RIFF chunk ends, past 4 GiB.
TEST_F(LargeFilesTest, AviLargerThanTwoGiBIsWalked) {
    for (uint32_t riffSize : {0xA0000000u, 0xFFFFFFFEu}) {
        SCOPED_TRACE(riffSize);
        BuiltSps sps = SarSps(2, 7);
        ByteVector payload = WithStartCode(sps.nal);
        if (payload.size() % 2 == 1)
            payload.push_back(0x80);
        ByteVector header =
            RiffList("LIST", "hdrl", {RiffChunk("avih", ByteVector(56)), StreamList("vids", "H264")});
        const int64_t riffEnd = 8 + int64_t{riffSize};
        const int64_t moviEnd = riffEnd;
        const int64_t videoData = moviEnd - static_cast<int64_t>(payload.size());
        const int64_t moviHeader = videoData - 8 - 12;
        const int64_t junkHeader = 12 + static_cast<int64_t>(header.size());
        const uint32_t junkSize = static_cast<uint32_t>(moviHeader - junkHeader - 8);
        ByteVector top = RiffHeader("RIFF", riffSize);
        Append(top, {'A', 'V', 'I', ' '});
        Append(top, header);
        Append(top, RiffHeader("JUNK", junkSize));
        ByteVector movi = RiffHeader("LIST", static_cast<uint32_t>(4 + 8 + payload.size()));
        Append(movi, {'m', 'o', 'v', 'i'});
        Append(movi, RiffHeader("00dc", static_cast<uint32_t>(payload.size())));
        Append(movi, payload);
        std::string path = Dir.File("large.avi");
        WriteSparse(path, riffEnd, {{0, top}, {moviHeader, movi}});
        TRIFFParser &riff = NewRiffScan();

        ScanOutcome outcome = RunScan(riff, path);

        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
        EXPECT_TRUE(Session().Notices.empty());
        EXPECT_EQ(ChildIds(*riff.RootChunk), "LIST JUNK LIST");
        EXPECT_EQ(riff.RootChunk->Children[1]->Size, junkSize);
        const TGenericRIFFChunk *found = FindList(*riff.RootChunk, "movi");
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->HeaderPos, moviHeader);
        ASSERT_EQ(found->Children.size(), 1u);
        EXPECT_EQ(found->Children[0]->DataPos, videoData);
        EXPECT_EQ(Session().RatioUnitCount, 1);
        ASSERT_EQ(Rows().Count(), 1u);
        const int64_t nalHeader = videoData + 4;
        const TARInfo &record = *Rows().Items(0);
        EXPECT_EQ(record.Placement.FileOffset(0), nalHeader);
        EXPECT_EQ(record.VuiOffset(), nalHeader + static_cast<int64_t>(sps.vuiByte));
        if (riffSize == 0xFFFFFFFEu) {
            EXPECT_GE(record.VuiOffset(), 4 * GiB);
        }
        EXPECT_EQ(record.SpsId(), 7);
        EXPECT_EQ(record.SarText(), "12:11");

        RewriteAndCheck(path, 0, nalHeader, 3, 7);
    }
}

} // namespace
