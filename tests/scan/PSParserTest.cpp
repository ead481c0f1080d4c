// Program streams built pack by pack: MPEG-2 and MPEG-1 pack and PES headers with their stuffing, a system
// header, padding and audio between the video, a sequence header split between two packs (its bytes at
// their file offsets, a change written into both), bytes that are no packet, a PES CRC, and a file cut
// inside a packet.

#include "ScanHarness.h"
#include "base/Messages.h"
#include "base/Streams.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes &to, const Bytes &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// 720x576, 4:3 (code 2), with a sequence extension: MPEG-2. Without it, MPEG-1.
Bytes SequenceHeader(bool mpeg2 = true) {
    Bytes unit{0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0xFF, 0xFF, 0xE0, 0x18};
    if (mpeg2)
        Append(unit, {0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00});
    Append(unit, {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0F});
    return unit;
}

Bytes Mpeg2Pack(uint8_t stuffing = 0) {
    Bytes pack{0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
               0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, static_cast<uint8_t>(0xF8 | stuffing)};
    pack.resize(pack.size() + stuffing, 0xFF);
    return pack;
}

Bytes Mpeg1Pack() {
    return {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x91};
}

Bytes Packet(uint8_t id, const Bytes &payload) {
    Bytes packet{0x00,
                 0x00,
                 0x01,
                 id,
                 static_cast<uint8_t>(payload.size() >> 8),
                 static_cast<uint8_t>(payload.size() & 0xFF)};
    Append(packet, payload);
    return packet;
}

// A PES packet with an MPEG-2 header (a PTS, and a PES_CRC where asked) or an MPEG-1 one (stuffing, buffer
// size, PTS).
Bytes Pes(uint8_t id, const Bytes &data, bool mpeg2 = true, bool crc = false) {
    Bytes payload;
    if (mpeg2) {
        payload = {0x81,
                   static_cast<uint8_t>(0x80 | (crc ? 0x02 : 0x00)),
                   static_cast<uint8_t>(crc ? 7 : 5),
                   0x21,
                   0x00,
                   0x01,
                   0x00,
                   0x01};
        if (crc)
            Append(payload, {0x12, 0x34});
    } else {
        payload = {0xFF, 0xFF, 0x60, 0xE8, 0x21, 0x00, 0x01, 0x00, 0x01};
    }
    Append(payload, data);
    return Packet(id, payload);
}

class PSParserTest : public ScanTest {
protected:
    ScanOutcome ScanBytes(const Bytes &bytes) { return RunScanOf(NewScan(TFileFormat::MpegPs), bytes); }

    std::vector<std::string> NoticeTexts() {
        std::vector<std::string> texts;
        for (const TScanNotice &notice : Session().Notices)
            texts.push_back(notice.Text);
        return texts;
    }
};

// Every kind of packet a program stream holds is passed over by its length; the sequence header split
// between two packs, with audio between them, is found whole and changed in both.
TEST_F(PSParserTest, ASequenceHeaderSplitBetweenPacksIsFoundAndChangedWhole) {
    const Bytes unit = SequenceHeader();
    const size_t split = 6; // inside the sequence header's fields, behind the code of the ratio's byte
    Bytes file = Mpeg2Pack(3);
    Append(file, Packet(0xBB, {0x80, 0x01, 0x01, 0x04, 0xE1, 0xFF, 0xE0, 0xE0, 0xE8}));
    Append(file, Pes(0xE0, Bytes(unit.begin(), unit.begin() + split)));
    Append(file, Mpeg2Pack());
    Append(file, Pes(0xC0, {0xFF, 0xFD, 0x00, 0x00, 0x01, 0xB3}));
    Append(file, Packet(0xBE, Bytes(20, 0xFF)));
    Append(file, Packet(0xBD, {0x80, 0x00, 0x00, 0x01, 0xB3}));
    Append(file, Pes(0xE0, Bytes(unit.begin() + split, unit.end())));
    Append(file, {0x00, 0x00, 0x01, 0xB9});
    ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
    ASSERT_EQ(Rows().Count(), 1u);
    const TARInfo &row = *Rows().Items(0);
    EXPECT_EQ(row.SarText(), "16:15");
    EXPECT_EQ(row.Track->Label, "stream 0xE0");
    EXPECT_STREQ(row.Track->Codec->Key, "mpeg2video");
    EXPECT_EQ(row.NotChangeable, nullptr);
    // The ratio's byte (the unit's fifth behind its start code) lies in the second packet's data, second of
    // it.
    const auto second = static_cast<int64_t>(file.size() - 4 - (unit.size() - split));
    EXPECT_EQ(row.VuiOffset(), second + 1);

    ASSERT_EQ((TRatioChange{TRatioChange::TKind::Dar, 0, {16, 9}}).ApplyTo(*Rows().Items(0)), "");
    TMemoryStream memory(file);
    Rows().WriteChanges(memory);
    ASSERT_EQ(ScanBytes(memory.Bytes()).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
}

// MPEG-1 system streams: their pack and PES headers, and MPEG-1 video told by its missing extension.
TEST_F(PSParserTest, Mpeg1SystemStreamsAreReadInTheirOwnForm) {
    Bytes file = Mpeg1Pack();
    Append(file, Pes(0xE0, SequenceHeader(false), false));
    Append(file, Mpeg1Pack());
    Append(file, Pes(0xE0, SequenceHeader(false), false));
    ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_STREQ(Session().Tracks.front().Codec->Key, "mpeg1video");
    EXPECT_STREQ(Rows().Items(0)->Unit->Codec().Key(), "mpeg1video");
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
}

// Bytes that are no packet are skipped and told; a unit whose bytes span them is listed, not changeable.
// A PES CRC covers the data of the packet before it. A file cut inside a packet is read as far as it goes.
TEST_F(PSParserTest, DamageCrcAndCutsLeaveUnitsNotChangeable) {
    const Bytes unit = SequenceHeader();
    Bytes file = Mpeg2Pack();
    Append(file, Pes(0xE0, Bytes(unit.begin(), unit.begin() + 6)));
    const auto junk = static_cast<int64_t>(file.size());
    Append(file, Bytes(10, 0x77));
    Append(file, Mpeg2Pack());
    Append(file, Pes(0xE0, Bytes(unit.begin() + 6, unit.end())));
    ASSERT_EQ(ScanBytes(file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SPsBytesSkipped, junk, junk + 10)});
    ASSERT_EQ(Rows().Count(), 1u);
    ASSERT_NE(Rows().Items(0)->NotChangeable, nullptr);
    EXPECT_EQ(*Rows().Items(0)->NotChangeable, Format(SPsUnitAcrossSkipped, "stream 0xE0"));

    Bytes crc = Mpeg2Pack();
    Append(crc, Pes(0xE0, unit));
    Append(crc, Pes(0xE0, {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F}, true, true));
    Append(crc, Pes(0xE0, unit));
    ASSERT_EQ(ScanBytes(crc).kind, ScanOutcome::Kind::None);
    ASSERT_EQ(Rows().Count(), 2u);
    ASSERT_NE(Rows().Items(0)->NotChangeable, nullptr);
    EXPECT_EQ(*Rows().Items(0)->NotChangeable, Format(SSpsUnderPesCrc, "stream 0xE0"));
    EXPECT_EQ(Rows().Items(1)->NotChangeable, nullptr);

    Bytes cut = Mpeg2Pack();
    Append(cut, Pes(0xE0, unit));
    const auto last = static_cast<int64_t>(cut.size());
    Append(cut, Pes(0xE0, unit));
    cut.resize(cut.size() - 8);
    ASSERT_EQ(ScanBytes(cut).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), 2u);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SPsLastPacketCut, last)});

    // Audio alone: nothing of a codec read here.
    Bytes audio = Mpeg2Pack();
    Append(audio, Pes(0xC0, {0xFF, 0xFD, 0x90, 0x00}));
    ASSERT_EQ(ScanBytes(audio).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{SPsNoVideo});
    EXPECT_TRUE(Session().Tracks.empty());
}

} // namespace
