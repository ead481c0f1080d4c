// PES packets put together from pieces, as a transport stream's packets or a program stream's packs cut
// them: the header across pieces, optional fields and stuffing passed over, the length given or not,
// headers that are cut short or claim more than the PES holds, and data before the first header.

#include "scan/PesReader.h"
#include "BitWriter.h"
#include "codec/CodecRegistry.h"
#include "scan/UnitCollector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// What the reader handed on, in order: "begin", "begin crc", "bad <place>", and every data byte with the
// file offset it was handed on at.
struct Recorder : TPesConsumer {
    std::vector<std::string> Events;
    Bytes Data;
    std::vector<int64_t> Offsets;

    void PesBegins(bool crc) override { Events.push_back(crc ? "begin crc" : "begin"); }
    void PesData(const uint8_t *bytes, int64_t count, int64_t offset) override {
        EXPECT_GT(count, 0);
        for (int64_t i = 0; i < count; ++i) {
            Data.push_back(bytes[i]);
            Offsets.push_back(offset + i);
        }
    }
    void PesHeaderBad(int64_t place) override { Events.push_back("bad " + std::to_string(place)); }
};

// A video PES header: PES_packet_length (0: not given) and header data of that many bytes (a PTS and
// stuffing), crc sets PES_CRC_flag.
Bytes Header(int length, int headerData = 0, bool crc = false) {
    Bytes head{0x00,
               0x00,
               0x01,
               0xE0,
               static_cast<uint8_t>(length >> 8),
               static_cast<uint8_t>(length),
               0x80,
               static_cast<uint8_t>(crc ? 0x02 : 0x00),
               static_cast<uint8_t>(headerData)};
    for (int i = 0; i < headerData; ++i)
        head.push_back(0xFF);
    return head;
}

Bytes Payload(size_t count, uint8_t first) {
    Bytes bytes;
    for (size_t i = 0; i < count; ++i)
        bytes.push_back(static_cast<uint8_t>(first + i));
    return bytes;
}

Bytes Join(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Feeds the bytes as pieces cut at the given places, each piece at a file offset 1000 further than the
// last (as packets with headers between them lie), a PES starting at every place in starts.
struct Feed {
    TPesReader Reader;
    std::vector<int64_t> PieceOffsets;
    explicit Feed(Recorder &recorder) : Reader(recorder) {}

    void Pieces(const Bytes &bytes, const std::vector<size_t> &cuts,
                const std::vector<size_t> &starts = {0}) {
        std::vector<size_t> bounds{0};
        bounds.insert(bounds.end(), cuts.begin(), cuts.end());
        bounds.push_back(bytes.size());
        for (size_t i = 0; i + 1 < bounds.size(); ++i) {
            const int64_t offset = static_cast<int64_t>(PieceOffsets.size()) * 1000;
            PieceOffsets.push_back(offset);
            if (std::find(starts.begin(), starts.end(), bounds[i]) != starts.end())
                Reader.Start(offset);
            Reader.Read(bytes.data() + bounds[i], static_cast<int64_t>(bounds[i + 1] - bounds[i]), offset);
        }
    }
};

// A header and its data cut at every place, inside the nine fixed bytes, inside the header data and in
// the data: the data comes out whole, each byte at the offset of the piece it lay in.
TEST(PesReader, APesSplitAnywhereGivesItsDataWholeWithEveryByteInPlace) {
    const Bytes head = Header(0, 7);
    const Bytes data = Payload(40, 0x10);
    const Bytes pes = Join(head, data);
    for (size_t cut = 1; cut < pes.size(); ++cut) {
        SCOPED_TRACE(cut);
        Recorder recorder;
        Feed feed(recorder);
        feed.Pieces(pes, {cut});
        EXPECT_EQ(recorder.Events, std::vector<std::string>{"begin"});
        ASSERT_EQ(recorder.Data, data);
        for (size_t i = 0; i < data.size(); ++i)
            ASSERT_EQ(recorder.Offsets[i], head.size() + i < cut
                                               ? static_cast<int64_t>(head.size() + i)
                                               : 1000 + static_cast<int64_t>(head.size() + i - cut));
    }
}

// PES_packet_length given: the data ends where it says, bytes behind it up to the next PES are not data;
// not given (0, as video in transport streams has it): the data runs up to the next PES.
TEST(PesReader, TheDataEndsWhereTheLengthSaysOrAtTheNextPes) {
    const Bytes data = Payload(30, 0x20);
    const Bytes trailing = Payload(12, 0x80);
    {
        Recorder recorder;
        Feed feed(recorder);
        const Bytes head = Header(static_cast<int>(3 + 5 + data.size()), 5);
        feed.Pieces(Join(Join(head, data), trailing), {10, 20, 40});
        EXPECT_EQ(recorder.Data, data);
        EXPECT_FALSE(feed.Reader.OpenData());
    }
    {
        // A length that leaves no data behind the header: nothing is handed on, not even nothing.
        Recorder recorder;
        Feed feed(recorder);
        feed.Pieces(Join(Header(3 + 2, 2), trailing), {5, 11});
        EXPECT_EQ(recorder.Events, std::vector<std::string>{"begin"});
        EXPECT_TRUE(recorder.Data.empty());
    }
    {
        Recorder recorder;
        Feed feed(recorder);
        const Bytes first = Join(Header(0), data);
        feed.Pieces(Join(first, Join(Header(0, 0, true), trailing)), {first.size()}, {0, first.size()});
        EXPECT_EQ(recorder.Events, (std::vector<std::string>{"begin", "begin crc"}));
        EXPECT_EQ(recorder.Data, Join(data, trailing));
        EXPECT_TRUE(feed.Reader.OpenData());
    }
}

// Data before the first header is the rest of a PES that began before the stream: it is handed on (a unit
// it holds may be whole); a header that is no PES header, or claims more header data than its length
// leaves, is told with its place and nothing of the PES is read up to the next one; PES of the kinds
// without optional header (padding, private_stream_2) are passed over without a word.
TEST(PesReader, LooseDataIsReadAndBadHeadersSkipTheirPes) {
    const Bytes data = Payload(20, 0x30);
    Recorder recorder;
    Feed feed(recorder);
    const Bytes loose = Payload(8, 0x01);
    const Bytes tooLong = Join(Header(3 + 4, 9), data); // 9 header bytes where the length leaves 4
    Bytes notPes = Join(Header(0), data);
    notPes[2] = 0x02;
    Bytes padding = Join(Header(0), data);
    padding[3] = 0xBE;
    Bytes noMarker = Join(Header(0), data);
    noMarker[6] = 0x40;
    const Bytes good = Join(Header(0), data);
    const std::vector<Bytes> parts{loose, tooLong, notPes, padding, noMarker, good};
    Bytes all;
    std::vector<size_t> starts;
    for (const Bytes &part : parts) {
        if (!all.empty())
            starts.push_back(all.size());
        all = Join(all, part);
    }
    feed.Pieces(all, starts, starts);
    EXPECT_EQ(recorder.Events, (std::vector<std::string>{"bad 1000", "bad 2000", "bad 4000", "begin"}));
    EXPECT_EQ(recorder.Data, Join(loose, data));
}

// A header cut short by lost bytes is not read on behind them; data of a PES whose length was given goes
// on after a break up to the next PES, since where it ends is no longer known.
TEST(PesReader, ABreakLosesAHeaderBeingReadAndTheKnownEndOfThePes) {
    const Bytes data = Payload(30, 0x40);
    {
        Recorder recorder;
        TPesReader reader(recorder);
        const Bytes pes = Join(Header(0, 4), data);
        reader.Start(0);
        reader.Read(pes.data(), 6, 100);
        reader.Break();
        reader.Read(pes.data() + 6, static_cast<int64_t>(pes.size() - 6), 300);
        EXPECT_TRUE(recorder.Events.empty());
        EXPECT_TRUE(recorder.Data.empty());
        reader.Start(500);
        reader.Read(pes.data(), static_cast<int64_t>(pes.size()), 500);
        EXPECT_EQ(recorder.Data, data);
    }
    {
        Recorder recorder;
        TPesReader reader(recorder);
        const Bytes pes = Join(Header(static_cast<int>(3 + 10)), data); // 10 bytes of data said
        reader.Start(0);
        reader.Read(pes.data(), 9 + 4, 0);
        reader.Break();
        reader.Read(pes.data() + 13, static_cast<int64_t>(pes.size() - 13), 100);
        EXPECT_EQ(recorder.Data, data);
        // Asked to skip (its stream is not read from here on), nothing is read up to the next PES.
        reader.SkipToNext();
        reader.Read(data.data(), static_cast<int64_t>(data.size()), 200);
        EXPECT_EQ(recorder.Data.size(), data.size());
    }
}

// A PES whose data begins in the middle of a unit, the rest of one the PES before it began: the data of
// both is one byte stream, and the unit is found whole across the two headers, each byte in place.
TEST(PesReader, DataThatBeginsInTheMiddleOfAUnitGoesOnWithIt) {
    struct Units : TPesConsumer, TUnitConsumer {
        TUnitCollector Collector{*CodecByKey("h264")->Codec, *this};
        std::vector<TNalUnitBytes> Found;
        std::vector<TPlacement> Places;
        void PesBegins(bool) override {}
        void PesData(const uint8_t *bytes, int64_t count, int64_t offset) override {
            Collector.Read(bytes, count, offset);
        }
        void PesHeaderBad(int64_t) override { ADD_FAILURE(); }
        void UnitBegins() override {}
        void UnitEnds(TNalUnitBytes unit, TPlacement placement) override {
            Found.push_back(std::move(unit));
            Places.push_back(std::move(placement));
        }
    } units;
    const Bytes sps = BuildSps(WithSar(255, 64, 45)).nal;
    const size_t half = sps.size() / 2;
    Bytes first = Join(Header(0, 5), Bytes{0x00, 0x00, 0x01});
    first.insert(first.end(), sps.begin(), sps.begin() + static_cast<std::ptrdiff_t>(half));
    Bytes second = Header(0, 3);
    const size_t secondData = second.size();
    second.insert(second.end(), sps.begin() + static_cast<std::ptrdiff_t>(half), sps.end());
    second = Join(second, Bytes{0x00, 0x00, 0x01, 0x65, 0x88});
    TPesReader reader(units);
    reader.Start(0);
    reader.Read(first.data(), static_cast<int64_t>(first.size()), 0);
    reader.Start(1000);
    reader.Read(second.data(), static_cast<int64_t>(second.size()), 1000);
    ASSERT_EQ(units.Found.size(), 1u);
    EXPECT_EQ(units.Found[0].Bytes, sps);
    const int64_t spsAt = static_cast<int64_t>(first.size() - half);
    for (size_t i = 0; i < sps.size(); ++i)
        ASSERT_EQ(units.Places[0].FileOffset(static_cast<int64_t>(i)),
                  i < half ? spsAt + static_cast<int64_t>(i)
                           : 1000 + static_cast<int64_t>(secondData + i - half));
}

// The start of the data of a video PES whose header lies whole in the bytes, as a stream found by its
// content is told.
TEST(PesReader, TheDataOfAVideoPesHeaderIsFoundInItsFirstBytes) {
    const Bytes pes = Join(Header(0, 5), Payload(4, 0x50));
    EXPECT_EQ(VideoPesDataStart(pes.data(), pes.size()), 14);
    EXPECT_EQ(VideoPesDataStart(pes.data(), 14), 14);
    EXPECT_EQ(VideoPesDataStart(pes.data(), 13), -1); // the header data is cut short
    EXPECT_EQ(VideoPesDataStart(pes.data(), 8), -1);
    Bytes audio = pes;
    audio[3] = 0xC0;
    EXPECT_EQ(VideoPesDataStart(audio.data(), audio.size()), -1);
    Bytes mpeg1 = pes;
    mpeg1[6] = 0x0F;
    EXPECT_EQ(VideoPesDataStart(mpeg1.data(), mpeg1.size()), -1);
    // Where MPEG-1's form is taken: the data begins behind the 0x0F that says no time stamps follow, in a
    // packet whose length (always given in MPEG-1) holds it.
    EXPECT_EQ(VideoPesDataStart(mpeg1.data(), mpeg1.size(), TPesForms::Mpeg2OrMpeg1), -1);
    mpeg1[5] = static_cast<uint8_t>(mpeg1.size() - 6);
    EXPECT_EQ(VideoPesDataStart(mpeg1.data(), mpeg1.size(), TPesForms::Mpeg2OrMpeg1), 7);
}

// An MPEG-1 packet (ISO/IEC 11172-1 2.4.3.6): stuffing, STD buffer size and time stamps (none, PTS, PTS and
// DTS) before its data, PES_packet_length always given.
Bytes Mpeg1Pes(const Bytes &data, int stuffing, bool bufferSize, int stamps) {
    Bytes fields(static_cast<size_t>(stuffing), 0xFF);
    if (bufferSize)
        fields = Join(fields, {0x60, 0xE8});
    if (stamps == 0)
        fields.push_back(0x0F);
    else if (stamps == 1)
        fields = Join(fields, {0x21, 0x00, 0x01, 0x00, 0x01});
    else
        fields = Join(fields, {0x31, 0x00, 0x01, 0x00, 0x01, 0x11, 0x00, 0x01, 0x00, 0x01});
    const size_t length = fields.size() + data.size();
    return Join(
        Join({0x00, 0x00, 0x01, 0xE0, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)},
             fields),
        data);
}

// MPEG-1's header in each of its forms, split at every place, from a reader that takes it (program
// streams): the data comes out whole, each byte in place, and nothing of the bytes behind the packet. A
// reader of MPEG-2's form alone (transport streams) takes none of them; more than 16 stuffing bytes, a
// time stamp form MPEG-1 does not define, or fields past the packet's length make a header bad.
TEST(PesReader, Mpeg1HeadersAreReadWhereTheirFormIsTaken) {
    const Bytes data = Payload(20, 0x60);
    const Bytes behind = Payload(5, 0x90);
    for (int stuffing : {0, 1, 16})
        for (bool bufferSize : {false, true})
            for (int stamps : {0, 1, 2}) {
                const Bytes pes = Mpeg1Pes(data, stuffing, bufferSize, stamps);
                const auto head = static_cast<size_t>(pes.size() - data.size());
                for (size_t cut = 1; cut < pes.size(); ++cut) {
                    SCOPED_TRACE(std::to_string(stuffing) + " stuffing, buffer size " +
                                 std::to_string(bufferSize) + ", stamps " + std::to_string(stamps) +
                                 ", cut at " + std::to_string(cut));
                    Recorder recorder;
                    TPesReader reader(recorder, TPesForms::Mpeg2OrMpeg1);
                    const Bytes all = Join(pes, behind);
                    reader.Start(0);
                    reader.Read(all.data(), static_cast<int64_t>(cut), 0);
                    reader.Read(all.data() + cut, static_cast<int64_t>(all.size() - cut), 1000);
                    ASSERT_EQ(recorder.Events, std::vector<std::string>{"begin"});
                    ASSERT_EQ(recorder.Data, data);
                    for (size_t i = 0; i < data.size(); ++i)
                        ASSERT_EQ(recorder.Offsets[i], head + i < cut
                                                           ? static_cast<int64_t>(head + i)
                                                           : 1000 + static_cast<int64_t>(head + i - cut));
                }
                Recorder transport;
                Feed feed(transport);
                feed.Pieces(pes, {});
                EXPECT_EQ(transport.Events, std::vector<std::string>{"bad 0"});
                EXPECT_TRUE(transport.Data.empty());
            }

    Bytes tooMuchStuffing = Mpeg1Pes(data, 17, false, 1);
    Bytes unknownStamps = Mpeg1Pes(data, 2, true, 0);
    unknownStamps[10] = 0x1F;
    Bytes pastLength = Mpeg1Pes({}, 0, true, 2);
    pastLength[5] -= 1;
    for (const Bytes &bad : {tooMuchStuffing, unknownStamps, pastLength}) {
        Recorder recorder;
        TPesReader reader(recorder, TPesForms::Mpeg2OrMpeg1);
        reader.Start(7);
        reader.Read(bad.data(), static_cast<int64_t>(bad.size()), 7);
        EXPECT_EQ(recorder.Events, std::vector<std::string>{"bad 7"});
        EXPECT_TRUE(recorder.Data.empty());
    }
}

} // namespace
