// How the scanners read their files: a file cut or replaced during a scan ends it with an error and
// keeps what was found, and a scan finds the same whether its stream lends its bytes (a file read
// through blocks in memory, bytes in memory) or copies them out.

#include "BitWriter.h"
#include "RiffBuilder.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "h264/uH264.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

constexpr int64_t MiB = int64_t{1} << 20;

std::vector<uint8_t> SpsNal(uint32_t id) {
    SpsFields fields;
    fields.vui = true;
    fields.aspect_ratio_idc = 255;
    fields.sar_width = 64;
    fields.sar_height = 45;
    fields.seq_parameter_set_id = id % 32;
    return WithStartCode(BuildSps(fields).nal);
}

// Coded-looking bytes without zeros: no start code, no emulation prevention.
std::vector<uint8_t> Filler(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t &byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(1 + (seed >> 16) % 255);
    }
    return bytes;
}

// A slice of about that many bytes.
std::vector<uint8_t> Slice(size_t count, uint32_t seed) {
    std::vector<uint8_t> slice = WithStartCode({0x65});
    Append(slice, Filler(count, seed));
    return slice;
}

// A raw stream of about size bytes: an SPS before every slice of 100 KB.
std::vector<uint8_t> RawStream(int64_t size) {
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; static_cast<int64_t>(bytes.size()) < size; ++i) {
        Append(bytes, SpsNal(i));
        Append(bytes, Slice(100000, i));
    }
    return bytes;
}

// An AVI of about size bytes: video chunks of 50 KB, every fourth beginning with an SPS, and audio
// chunks between them.
std::vector<uint8_t> Avi(int64_t size) {
    std::vector<ByteVector> chunks;
    int64_t total = 0;
    for (uint32_t i = 0; total < size; ++i) {
        ByteVector frame = i % 4 == 0 ? SpsNal(i) : ByteVector();
        Append(frame, Slice(50000, i));
        chunks.push_back(RiffChunk("00dc", frame));
        chunks.push_back(RiffChunk("01wb", Filler(999, i)));
        total += static_cast<int64_t>(frame.size() + 1015);
    }
    return AviFile({StreamList("vids", "H264"), StreamList("auds", "    ")}, chunks);
}

// What a scan found, as text.
std::string Found(const TScanSession &session) {
    std::string text = Format("%d SPS, %d damaged\n", session.RatioUnitCount, session.DamagedUnitCount);
    for (size_t i = 0; i < session.ARInfoList.Count(); ++i) {
        const TARInfo &record = *session.ARInfoList.Items(i);
        const TNALUnit &unit = *NalUnitOf(record.Unit);
        text += Format("row %x %s %s, unit of %d bytes%s\n", record.SpsOffset(), record.SarText(),
                       record.ResolutionText(), static_cast<int64_t>(unit.Bytes.size()),
                       unit.Complete ? "" : " and more");
    }
    for (const TScanNotice &notice : session.Notices)
        text += notice.Text + "\n";
    return text;
}

// The chunk tree an AVI scan kept, as text.
std::string Tree(const TGenericRIFFChunk &chunk) {
    std::string text =
        Format("%s %x %x %x (", EscapedText(chunk.ID), chunk.HeaderPos, chunk.Size, chunk.WalkEnd);
    for (const auto &child : chunk.Children)
        text += Tree(*child);
    return text + ")";
}

// Bytes in memory that are copied out, never lent.
class CopyingStream : public TStream {
public:
    explicit CopyingStream(std::vector<uint8_t> bytes) : FBytes(std::move(bytes)) {}
    int64_t Size() override { return FBytes.Size(); }
    int64_t Position() override { return FBytes.Position(); }
    void Seek(int64_t offset) override { FBytes.Seek(offset); }
    void ReadBuffer(void *buffer, size_t count) override { FBytes.ReadBuffer(buffer, count); }
    void WriteBuffer(const void *buffer, size_t count) override { FBytes.WriteBuffer(buffer, count); }

private:
    TMemoryStream FBytes;
};

class ReadingTest : public ScanTest {
protected:
    // Scans the file; when the scan has read past at, does what is given to the file, once.
    ScanOutcome ScanChangingAt(TParser &parser, const std::string &path, int64_t at,
                               const std::function<void()> &change) {
        bool changed = false;
        Log.Hook = [&](const ScanEvent &event) {
            if (event.kind == ScanEvent::Kind::Progress && event.position > at && !changed) {
                changed = true;
                change();
            }
        };
        ScanOutcome outcome = RunScan(parser, path);
        Log.Hook = nullptr;
        EXPECT_TRUE(changed);
        return outcome;
    }

    // What the scanner finds in the bytes through a stream that lends them and through one that copies.
    std::pair<std::string, std::string> BothWays(TFileFormat format, const std::vector<uint8_t> &bytes,
                                                 bool deep) {
        std::string found[2];
        for (int copying = 0; copying < 2; ++copying) {
            TParser &parser = NewScan(format);
            parser.DeepScan = deep;
            TMemoryStream lending(bytes);
            CopyingStream copied(bytes);
            TStream &stream = copying != 0 ? static_cast<TStream &>(copied) : lending;
            found[copying] = Scanned(parser, Outcome([&] { parser.Scan(stream); }));
        }
        return {found[0], found[1]};
    }

    // What the scan found, how it ended, and for an AVI the chunks it kept.
    std::string Scanned(TParser &parser, const ScanOutcome &outcome) {
        std::string text = Found(parser.Session) + outcome.message;
        if (auto *riff = dynamic_cast<TRIFFParser *>(&parser); riff != nullptr && riff->RootChunk)
            text += "\n" + Tree(*riff->RootChunk);
        return text;
    }

    std::string Cut(const std::string &path) const {
        return "The file \"" + path + "\" got shorter while it was read";
    }
};

// Cut at 3 MiB while the scan reads its second MiB: the scan ends with an error where it misses the bytes,
// and keeps what it found before.
TEST_F(ReadingTest, AFileCutDuringTheScanEndsItWithAnError) {
    struct Case {
        const char *name;
        TFileFormat format;
        bool deep;
    };
    for (const Case &c :
         {Case{"cut.h264", TFileFormat::RawH264, true}, Case{"cut.avi", TFileFormat::Avi, true},
          Case{"first.avi", TFileFormat::Avi, false}}) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = c.format == TFileFormat::Avi ? Avi(12 * MiB) : RawStream(12 * MiB);
        TParser &whole = NewScan(c.format);
        whole.DeepScan = c.deep;
        ASSERT_EQ(RunScanOf(whole, bytes).kind, ScanOutcome::Kind::None);
        const size_t rows = Rows().Count();

        const std::string path = Write(c.name, bytes);
        TParser &parser = NewScan(c.format);
        parser.DeepScan = c.deep;
        ScanOutcome outcome =
            ScanChangingAt(parser, path, 3 * MiB / 2, [&] { std::filesystem::resize_file(path, 3 * MiB); });
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
        EXPECT_EQ(outcome.message.rfind(Cut(path), 0), 0u) << outcome.message;
        EXPECT_EQ(Log.Sequence().back(), '!');
        // What was read before the cut, and perhaps what was read ahead of the scan then.
        EXPECT_GT(Rows().Count(), 3u);
        EXPECT_LT(Rows().Count(), rows);
    }
}

// Another file put under the name while the scan runs: the scan reads the file it opened to its end,
// then says that what it found may not be in the file of that name.
TEST_F(ReadingTest, AFileReplacedDuringTheScanGivesAnErrorAfterIt) {
    const std::vector<uint8_t> bytes = RawStream(6 * MiB);
    const std::string path = Write("replaced.h264", bytes);
    const std::string other = Write("other.h264", RawStream(MiB));
    TParser &parser = NewStreamScan();
    ScanOutcome outcome = ScanChangingAt(parser, path, MiB, [&] { std::filesystem::rename(other, path); });
    EXPECT_EQ(outcome.kind, ScanOutcome::Kind::InOut);
    EXPECT_EQ(outcome.message, Format(SFileChangedWhileRead, path));
    const std::string all = Found(Session());

    ASSERT_EQ(RunScanOf(NewStreamScan(), bytes).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(all, Found(Session()));
}

// Payloads of every size around the part a first-unit scan looks at first, with the first start code
// and the first SPS at and across its end, SPS cut by the chunk end or too long to read whole, and
// chunks across the blocks a file is read in.
TEST_F(ReadingTest, LentAndCopiedBytesGiveTheSameScan) {
    const std::vector<uint8_t> sps = SpsNal(3);
    std::vector<ByteVector> chunks;
    for (size_t before : {size_t{0}, size_t{1}, size_t{100}, size_t{4088}, size_t{4090}, size_t{4091},
                          size_t{4092}, size_t{4093}, size_t{4094}, size_t{4096}, size_t{9000}}) {
        ByteVector frame = Filler(before, static_cast<uint32_t>(before));
        Append(frame, sps);
        Append(frame, Slice(300, 7));
        chunks.push_back(RiffChunk("00dc", frame));
        // Cut inside the SPS by the chunk end, and an SPS longer than what is read of one.
        frame.resize(before + sps.size() - 3);
        chunks.push_back(RiffChunk("00dc", frame));
        ByteVector longSps = Filler(before, 9);
        Append(longSps, WithStartCode({0x67}));
        Append(longSps, Filler(9000, 11));
        chunks.push_back(RiffChunk("00dc", longSps));
    }
    // Units that run to the chunk's end, just within, at and past the most bytes read of an SPS.
    for (int64_t length : {MaxSpsBytes - 1, MaxSpsBytes, MaxSpsBytes + 1}) {
        ByteVector frame = sps;
        Append(frame, Filler(static_cast<size_t>(length) - (sps.size() - 4), 5));
        chunks.push_back(RiffChunk("00dc", frame));
    }
    for (uint32_t i = 0; i < 60; ++i) {
        ByteVector frame = SpsNal(i);
        Append(frame, Slice(50000 + i * 3, i));
        chunks.push_back(RiffChunk("00dc", frame));
    }
    const std::vector<uint8_t> avi = AviFile({StreamList("vids", "H264")}, chunks);
    for (bool deep : {true, false}) {
        SCOPED_TRACE(deep);
        auto [lent, copied] = BothWays(TFileFormat::Avi, avi, deep);
        EXPECT_EQ(lent, copied);
        EXPECT_NE(lent.find("row"), std::string::npos);

        TRIFFParser &riff = NewRiffScan();
        riff.DeepScan = deep;
        EXPECT_EQ(Scanned(riff, RunScan(riff, Write("both.avi", avi))), copied);
    }
    auto [lent, copied] = BothWays(TFileFormat::RawH264, RawStream(3 * MiB), true);
    EXPECT_EQ(lent, copied);
}

// Chunks of all kinds with bytes thick with zeros, 01 and 03, and SPS headers: what either way finds, the
// other finds too.
TEST_F(ReadingTest, RandomChunksScanTheSameEitherWay) {
    uint32_t state = 2024;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 16;
    };
    const uint8_t alphabet[] = {0x00, 0x00, 0x00, 0x01, 0x03, 0x67, 0x65, 0x42, 0xAB, 0xFF};
    for (int file = 0; file < 40; ++file) {
        std::vector<ByteVector> chunks;
        for (int chunk = 0; chunk < 30; ++chunk) {
            ByteVector payload(next() % (next() % 4 == 0 ? 12000 : 300));
            for (uint8_t &byte : payload)
                byte = alphabet[next() % sizeof alphabet];
            if (next() % 3 == 0 && !payload.empty()) {
                // Whole, or cut by the chunk's end.
                const std::vector<uint8_t> sps = SpsNal(next());
                const size_t at = next() % payload.size();
                std::copy_n(sps.begin(), std::min(sps.size(), payload.size() - at), payload.begin() + at);
            }
            // Video of either stream, audio, an index, and now and then a list of them.
            const char *ids[] = {"00dc", "00dc", "01dc", "01wb", "ix00", "JUNK"};
            ByteVector bytes = RiffChunk(ids[next() % 6], payload);
            if (next() % 8 == 0)
                bytes = RiffList("LIST", "rec ", {bytes, RiffChunk("00dc", Slice(next() % 50, 3))});
            chunks.push_back(bytes);
        }
        std::vector<uint8_t> avi = AviFile({StreamList("vids", "H264"), StreamList("vids", "H264")}, chunks);
        // A last chunk that claims more than the movie list holds.
        if (file % 4 == 0)
            PutLittleEndian(avi, avi.size() - chunks.back().size() + 4, 100000);
        for (bool deep : {true, false}) {
            SCOPED_TRACE(testing::Message() << "file " << file << (deep ? " deep" : " first"));
            auto [lent, copied] = BothWays(TFileFormat::Avi, avi, deep);
            ASSERT_EQ(lent, copied);
        }
    }
}

} // namespace
