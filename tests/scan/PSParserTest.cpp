// The program stream scanner on streams built pack by pack: MPEG-2 and MPEG-1 pack and PES headers with
// their stuffing, a system header, padding, audio and private streams between the video, an SPS or
// sequence header split between two packs at every place (its bytes at their file offsets, a change
// written into both), DVD's 2048-byte packs, the codec told by a program stream map or by the content,
// bytes that are no packet, damaged PES headers, a PES CRC, a file cut inside a packet, progress and abort.

#include "BitWriter.h"
#include "Mpeg4VolBuilder.h"
#include "PsBuilder.h"
#include "ScanHarness.h"
#include "base/Messages.h"
#include "base/Streams.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const ByteVector Delimiter{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
// An MPEG-4 Part 2 stream's headers, its VOL stating 12:11 (code 2).
const ByteVector Mpeg4Headers = Mpeg4StreamHeaders(BuildVol({.aspect_ratio_info = 2}).bytes);

// 720x576, 4:3 (code 2), with a sequence extension: MPEG-2. Without it, MPEG-1.
ByteVector SequenceHeader(bool mpeg2 = true) {
    ByteVector unit{0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0xFF, 0xFF, 0xE0, 0x18};
    if (mpeg2)
        Append(unit, {0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00});
    Append(unit, {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0F});
    return unit;
}

// A slice-like unit: a start code and bytes without zeros.
ByteVector Slice(size_t count, uint8_t seed) {
    ByteVector slice{0x00, 0x00, 0x01, 0x65};
    for (size_t i = 0; i < count; ++i)
        slice.push_back(static_cast<uint8_t>(0x80 | ((seed + i * 37) & 0x7F)));
    return slice;
}

// An H.264 access unit: a delimiter (unless left out), the SPS and a slice; SpsAt is where the SPS's
// header byte lies in it.
struct AccessUnit {
    ByteVector Es;
    size_t SpsAt = 0;
};

AccessUnit MakeAccessUnit(const ByteVector &spsNal, size_t slice = 300, bool delimiter = true) {
    AccessUnit unit;
    if (delimiter)
        unit.Es = Delimiter;
    unit.SpsAt = unit.Es.size() + 4;
    Append(unit.Es, WithStartCode(spsNal));
    Append(unit.Es, Slice(slice, static_cast<uint8_t>(slice)));
    return unit;
}

ByteVector Part(const ByteVector &bytes, size_t from, size_t to) {
    return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
            bytes.begin() + static_cast<std::ptrdiff_t>(to)};
}

TRatioChange SarChange(int width, int height) {
    TRatioChange change;
    change.Kind = TRatioChange::TKind::Sar;
    change.Ratio = {width, height};
    return change;
}

// Every byte of the file is as it was, except the bytes at offsets, which hold the expected stream.
void ExpectOnlyStreamChanged(const ByteVector &before, const ByteVector &after,
                             const std::vector<int64_t> &offsets, const ByteVector &expected) {
    ASSERT_EQ(after.size(), before.size());
    std::vector<int64_t> streamByte(before.size(), -1);
    for (size_t i = 0; i < offsets.size(); ++i)
        streamByte[static_cast<size_t>(offsets[i])] = static_cast<int64_t>(i);
    for (size_t at = 0; at < before.size(); ++at) {
        if (streamByte[at] < 0)
            ASSERT_EQ(after[at], before[at]) << "a byte outside the stream changed at " << at;
        else
            ASSERT_EQ(after[at], expected[static_cast<size_t>(streamByte[at])]) << "at " << at;
    }
}

class PSParserTest : public ScanTest {
protected:
    void ScanOk(const ByteVector &bytes) {
        const ScanOutcome outcome = RunScanOf(NewScan(TFileFormat::MpegPs), bytes);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    }

    std::vector<std::string> NoticeTexts() {
        std::vector<std::string> texts;
        for (const TScanNotice &notice : Session().Notices)
            texts.push_back(notice.Text);
        return texts;
    }

    // Gives every row the change and writes it into a copy of the bytes.
    ByteVector Save(const ByteVector &bytes, const TRatioChange &change) {
        for (size_t i = 0; i < Rows().Count(); ++i)
            EXPECT_EQ(change.ApplyTo(*Rows().Items(i)), "");
        TMemoryStream file(bytes);
        Rows().WriteChanges(file);
        return file.Bytes();
    }

    // The reason every row gives for not being changeable; "" for a changeable row.
    std::vector<std::string> Reasons() {
        std::vector<std::string> reasons;
        for (size_t i = 0; i < Rows().Count(); ++i) {
            const std::string *reason = Rows().Items(i)->NotChangeable;
            reasons.push_back(reason != nullptr ? *reason : "");
        }
        return reasons;
    }
};

// An SPS split between the PES packets of two packs at every place from its start code to its end, with
// every kind of packet a program stream holds between them, in MPEG-2's and MPEG-1's forms: read whole,
// each byte at its file offset, and a change written into both packets and nowhere else.
TEST_F(PSParserTest, AnSpsSplitBetweenPacksAnywhereIsReadWholeAndWrittenIntoBoth) {
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    SpsFields newFields = WithSar(255, 16, 11);
    const BuiltSps changed = BuildSps(newFields);
    ASSERT_EQ(changed.nal.size(), sps.nal.size());
    const AccessUnit unit = MakeAccessUnit(sps.nal);
    ByteVector expected = unit.Es;
    std::copy(changed.nal.begin(), changed.nal.end(),
              expected.begin() + static_cast<std::ptrdiff_t>(unit.SpsAt));

    for (bool mpeg1 : {false, true})
        for (size_t cut = unit.SpsAt - 4; cut <= unit.SpsAt + sps.nal.size() + 1; ++cut) {
            SCOPED_TRACE(std::string(mpeg1 ? "MPEG-1" : "MPEG-2") + ", cut at " + std::to_string(cut));
            PsBuilder ps(mpeg1);
            ps.Pack(mpeg1 ? 0 : 3);
            ps.SystemHeader();
            PsPesOptions pes;
            pes.mpeg1 = mpeg1;
            pes.stuffing = mpeg1 ? 16 : 2;
            pes.pts = 3600;
            std::vector<int64_t> offsets = ps.Pes(0xE0, Part(unit.Es, 0, cut), pes);
            ps.Pack();
            pes.pts = -1;
            ps.Pes(0xC0, {0xFF, 0xFD, 0x00, 0x00, 0x01, 0xB3}, pes);
            ps.Padding(26);
            ps.Packet(0xBD, {0x80, 0x00, 0x00, 0x01, 0x67});
            ps.Packet(0xBF, {0x00, 0x00, 0x01, 0x67, 0x4D});
            const std::vector<int64_t> second = ps.Pes(0xE0, Part(unit.Es, cut, unit.Es.size()), pes);
            offsets.insert(offsets.end(), second.begin(), second.end());
            ps.EndCode();
            ScanOk(ps.Bytes());
            EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
            ASSERT_EQ(Rows().Count(), 1u);
            const TARInfo &row = *Rows().Items(0);
            ASSERT_NE(row.Track, nullptr);
            EXPECT_EQ(row.Track->Label, "stream 0xE0");
            EXPECT_EQ(row.Track->Number, 0xE0);
            EXPECT_STREQ(row.Track->Codec->Key, "h264");
            EXPECT_EQ(row.NotChangeable, nullptr);
            EXPECT_EQ(row.SarText(), "64:45");
            EXPECT_EQ(row.Unit->Bytes(), sps.nal);
            for (size_t i = 0; i < sps.nal.size(); ++i)
                ASSERT_EQ(row.Placement.FileOffset(static_cast<int64_t>(i)), offsets[unit.SpsAt + i]);
            EXPECT_EQ(row.VuiOffset(), offsets[unit.SpsAt + sps.vuiByte]);

            const ByteVector saved = Save(ps.Bytes(), SarChange(16, 11));
            ExpectOnlyStreamChanged(ps.Bytes(), saved, offsets, expected);
            ScanOk(saved);
            ASSERT_EQ(Rows().Count(), 1u);
            EXPECT_EQ(Rows().Items(0)->SarText(), "16:11");
        }
}

// MPEG-2 video split between packs, changed in both; MPEG-1 video in an MPEG-1 system stream, told by its
// missing extension.
TEST_F(PSParserTest, MpegVideoIsReadInEitherStandardsForm) {
    const ByteVector unit = SequenceHeader();
    const size_t split = 6; // behind the byte that holds the ratio's code
    PsBuilder ps;
    ps.Pack();
    std::vector<int64_t> offsets = ps.Pes(0xE0, Part(unit, 0, split));
    ps.Pack();
    const std::vector<int64_t> second = ps.Pes(0xE0, Part(unit, split, unit.size()));
    offsets.insert(offsets.end(), second.begin(), second.end());
    ScanOk(ps.Bytes());
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_STREQ(Rows().Items(0)->Track->Codec->Key, "mpeg2video");
    EXPECT_EQ(Rows().Items(0)->SarText(), "16:15");
    EXPECT_EQ(Rows().Items(0)->VuiOffset(), offsets[7]);
    const ByteVector saved = Save(ps.Bytes(), {TRatioChange::TKind::Dar, 0, {16, 9}});
    ScanOk(saved);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");

    PsBuilder mpeg1(true);
    PsPesOptions pes;
    pes.mpeg1 = true;
    for (int stuffing : {0, 5}) {
        mpeg1.Pack();
        pes.stuffing = stuffing;
        pes.pts = stuffing * 100 - 1; // none, then one
        mpeg1.Pes(0xE0, SequenceHeader(false), pes);
    }
    ScanOk(mpeg1.Bytes());
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_STREQ(Session().Tracks.front().Codec->Key, "mpeg1video");
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
}

// DVD's packs of 2048 bytes, each a pack header, a PES packet and padding where the video ends: every SPS
// found at the file offsets a plain reader of the stream gives, all of them changed.
TEST_F(PSParserTest, DvdPacksAreReadAcrossTheirPadding) {
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    // The first access unit's length puts the second SPS across the end of the first video pack, whose
    // room for data is what its pack and PES headers leave.
    const size_t room = PsBuilder::DvdPackSize - 14 - 14;
    const size_t straddling = room - Delimiter.size() - 4 - sps.nal.size() - 4 - 4 - sps.nal.size() / 2;
    ByteVector es;
    std::vector<size_t> spsAt;
    for (size_t slice : {straddling, size_t{700}, size_t{3100}, size_t{10}}) {
        const AccessUnit unit = MakeAccessUnit(sps.nal, slice);
        spsAt.push_back(es.size() + unit.SpsAt);
        Append(es, unit.Es);
    }
    PsBuilder ps;
    ps.Pack();
    ps.SystemHeader();
    ps.Padding(PsBuilder::DvdPackSize - ps.Bytes().size());
    const std::vector<int64_t> offsets = ps.DvdVideo(0xE0, es);
    ASSERT_EQ(ps.Bytes().size() % PsBuilder::DvdPackSize, 0u);
    const PsElementaryStream read = ReadPsElementaryStream(ps.Bytes(), 0xE0);
    ASSERT_EQ(read.bytes, es);
    ASSERT_EQ(read.offsets, offsets);

    ScanOk(ps.Bytes());
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
    ASSERT_EQ(Rows().Count(), spsAt.size());
    for (size_t row = 0; row < spsAt.size(); ++row)
        for (size_t i = 0; i < sps.nal.size(); ++i)
            ASSERT_EQ(Rows().Items(row)->Placement.FileOffset(static_cast<int64_t>(i)),
                      offsets[spsAt[row] + i])
                << "row " << row;
    EXPECT_LT(offsets[spsAt[1]], PsBuilder::DvdPackSize * 2);
    EXPECT_FALSE(Rows().Items(1)->Placement.Contiguous())
        << "the second SPS straddles the first video pack's end";
    const ByteVector saved = Save(ps.Bytes(), SarChange(16, 11));
    ScanOk(saved);
    ASSERT_EQ(Rows().Count(), spsAt.size());
    for (size_t row = 0; row < spsAt.size(); ++row)
        EXPECT_EQ(Rows().Items(row)->SarText(), "16:11");
}

// Without a map, a stream's codec is told by its first PES packet when it opens an H.264 stream (ffmpeg
// puts no delimiters into program streams), else by the first that begins with a delimiter; what came
// before that is told as not read. A map names the codec by stream_type, also of a stream whose data
// begins in the middle of a unit; a codec the program does not read is named, by the map or the content.
TEST_F(PSParserTest, TheCodecIsToldByTheMapOrByTheContent) {
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    const AccessUnit bare = MakeAccessUnit(sps.nal, 40, false);
    {
        PsBuilder ps;
        ps.Pack();
        ps.Pes(0xE0, bare.Es);
        ps.Pes(0xE0, bare.Es);
        ScanOk(ps.Bytes());
        EXPECT_EQ(Rows().Count(), 2u);
        EXPECT_EQ(NoticeTexts(), std::vector<std::string>{});
    }
    const ByteVector tail = Part(bare.Es, 10, bare.Es.size()); // the rest of a unit that began before
    {
        PsBuilder ps;
        ps.Pack();
        ps.Pes(0xE0, tail);
        ps.Pes(0xE0, bare.Es); // not the first: a delimiter is asked for
        const auto told = static_cast<int64_t>(ps.Bytes().size());
        ps.Pes(0xE0, MakeAccessUnit(sps.nal, 40).Es);
        ps.Pes(0xE1, tail);
        ps.Pes(0xE1, bare.Es);
        ScanOk(ps.Bytes());
        EXPECT_EQ(Rows().Count(), 1u);
        EXPECT_EQ(NoticeTexts(),
                  (std::vector<std::string>{Format(SPsReadBeforeCodec, 2, "stream 0xE0", "H.264"),
                                            Format(SPsVideoNotKnown, "stream 0xE1")}));
        EXPECT_EQ(Session().Notices[0].FileOffset, told);
    }
    {
        PsBuilder ps;
        ps.Pack();
        ps.Map({{0x1B, 0xE0}, {0x10, 0xE1}, {0x03, 0xC0}});
        ps.Pes(0xE0, Part(bare.Es, 0, 3)); // the SPS's start code split from its header byte
        ps.Pes(0xE0, Part(bare.Es, 3, bare.Es.size()));
        ps.Pes(0xE1, Mpeg4Headers);
        ScanOk(ps.Bytes());
        EXPECT_EQ(Session().NoticeCount, 0) << NoticeTexts().front();
        ASSERT_EQ(Rows().Count(), 2u);
        EXPECT_STREQ(Rows().Items(0)->CodecEntry()->Key, "h264");
        EXPECT_STREQ(Rows().Items(1)->CodecEntry()->Key, "mpeg4visual");
        EXPECT_EQ(Rows().Items(1)->SarText(), "12:11");
        ASSERT_EQ(Session().Tracks.size(), 2u);
        EXPECT_EQ(Session().Tracks[1].Label, "stream 0xE1");
    }
    {
        // By content alone, the same MPEG-4 Part 2 stream is read as well.
        PsBuilder ps;
        ps.Pack();
        ps.Pes(0xE1, Mpeg4Headers);
        ScanOk(ps.Bytes());
        EXPECT_EQ(Session().NoticeCount, 0);
        ASSERT_EQ(Rows().Count(), 1u);
        EXPECT_STREQ(Rows().Items(0)->CodecEntry()->Key, "mpeg4visual");
    }
}

// A map whose CRC fails, whose entries overrun it, or that applies later is not read: the stream is told
// by its content.
TEST_F(PSParserTest, MapsThatCanNotBeTrustedAreNotRead) {
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    const ByteVector tail = Part(MakeAccessUnit(sps.nal, 40).Es, 10, 60);
    for (int damage = 0; damage < 3; ++damage) {
        SCOPED_TRACE(damage);
        PsBuilder ps;
        ps.Pack();
        const auto mapAt = static_cast<int64_t>(ps.Bytes().size());
        ps.Map({{0x1B, 0xE0}}, damage != 2);
        ByteVector file = ps.Bytes();
        if (damage == 0)
            file[static_cast<size_t>(mapAt) + 12] ^= 0x01; // the entry's stream_type: 0x1A
        if (damage == 1) {
            file[static_cast<size_t>(mapAt) + 11] += 1; // elementary_stream_map_length past the CRC
            const uint32_t crc = TsSectionCrc(Part(file, static_cast<size_t>(mapAt), file.size() - 4));
            for (int i = 0; i < 4; ++i)
                file[file.size() - 4 + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        }
        PsBuilder more;
        more.Pes(0xE0, tail);
        Append(file, more.Bytes());
        ScanOk(file);
        EXPECT_EQ(Rows().Count(), 0u);
        std::vector<std::string> expected;
        if (damage == 0)
            expected.push_back(Format(SPsMapCrc, mapAt));
        if (damage == 1)
            expected.push_back(Format(SPsMapDamaged, mapAt));
        expected.push_back(Format(SPsVideoNotKnown, "stream 0xE0"));
        expected.push_back(SPsNoVideo);
        EXPECT_EQ(NoticeTexts(), expected);
    }
}

// Bytes that are no packet, and a PES packet whose header is damaged, break the stream: a unit whose bytes
// span them is listed but not changeable and a save of it refused, the units after them are changeable.
// A PES CRC covers the data of the packet before it. A file cut inside a packet is read as far as it goes.
TEST_F(PSParserTest, DamageCrcsAndCutsLeaveUnitsNotChangeable) {
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    const AccessUnit unit = MakeAccessUnit(sps.nal, 40);
    const size_t cut = unit.SpsAt + sps.vuiByte + 1;
    const std::string broken = Format(SPsUnitAcrossSkipped, "stream 0xE0");
    for (bool junk : {true, false}) {
        SCOPED_TRACE(junk ? "bytes that are no packet" : "a damaged PES header");
        PsBuilder ps;
        ps.Pack();
        ps.Pes(0xE0, Part(unit.Es, 0, cut));
        const auto damageAt = static_cast<int64_t>(ps.Bytes().size());
        if (junk)
            ps.Raw(ByteVector(10, 0x77));
        else
            ps.Packet(0xE0, {0x81, 0x80, 0x20, 0x00}); // header data past the packet
        ps.Pack();
        ps.Pes(0xE0, Part(unit.Es, cut, unit.Es.size()));
        ps.Pes(0xE0, unit.Es);
        ScanOk(ps.Bytes());
        EXPECT_EQ(NoticeTexts(),
                  std::vector<std::string>{junk ? Format(SPsBytesSkipped, damageAt, damageAt + 10)
                                                : Format(SPsPesHeaderBad, damageAt, int64_t{0xE0})});
        EXPECT_EQ(Reasons(), (std::vector<std::string>{broken, ""}));
        for (size_t i = 0; i < Rows().Count(); ++i)
            EXPECT_EQ(SarChange(16, 11).ApplyTo(*Rows().Items(i)), "");
        TMemoryStream file(ps.Bytes());
        EXPECT_THROW(Rows().WriteChanges(file), Exception);
        EXPECT_EQ(file.Bytes(), ps.Bytes());
    }

    // A PES_CRC over a packet that holds an SPS, and over one whose SPS it ends in.
    PsBuilder crc;
    crc.Pack();
    crc.Pes(0xE0, unit.Es);
    PsPesOptions withCrc;
    withCrc.crc = true;
    crc.Pes(0xE0, Slice(5, 1), withCrc);
    crc.Pes(0xE0, Part(unit.Es, 0, cut));
    crc.Pes(0xE0, Part(unit.Es, cut, unit.Es.size()), withCrc);
    crc.Pes(0xE0, unit.Es);
    ScanOk(crc.Bytes());
    const std::string underCrc = Format(SSpsUnderPesCrc, "stream 0xE0");
    EXPECT_EQ(Reasons(), (std::vector<std::string>{underCrc, underCrc, ""}));

    // Cut inside the last packet, inside the SPS: the SPS before it is listed; the one cut is damaged.
    PsBuilder cutFile;
    cutFile.Pack();
    cutFile.Pes(0xE0, unit.Es);
    const auto last = static_cast<int64_t>(cutFile.Bytes().size());
    cutFile.Pes(0xE0, unit.Es);
    ByteVector file = cutFile.Bytes();
    file.resize(static_cast<size_t>(last) + 9 + unit.SpsAt + 6); // behind a PES header of nine bytes
    ScanOk(file);
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(NoticeTexts(),
              (std::vector<std::string>{Format(SPsLastPacketCut, last),
                                        Format(SDamagedUnit, "SPS", last + 9 + unit.SpsAt, SUnitCutShort)}));
    EXPECT_EQ(Session().DamagedUnitCount, 1);
    // Cut inside a pack header.
    file.resize(static_cast<size_t>(last) + 4);
    file.insert(file.end() - 4, {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00});
    file.resize(static_cast<size_t>(last) + 6);
    ScanOk(file);
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{Format(SPsLastPacketCut, last)});

    // Audio alone: nothing of a codec read here.
    PsBuilder audio;
    audio.Pack();
    audio.Pes(0xC0, {0xFF, 0xFD, 0x90, 0x00});
    ScanOk(audio.Bytes());
    EXPECT_EQ(NoticeTexts(), std::vector<std::string>{SPsNoVideo});
    EXPECT_TRUE(Session().Tracks.empty());
}

// Progress is told as the walk goes, up to the file's size; an abort ends the scan at its next look, with
// the unit being read left unread.
TEST_F(PSParserTest, ProgressAndAbort) {
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    PsBuilder ps;
    for (int i = 0; i < 600; ++i)
        ps.DvdVideo(0xE0, MakeAccessUnit(sps.nal, 6000).Es);
    ASSERT_GT(ps.Bytes().size(), size_t{3} << 20);
    ScanOk(ps.Bytes());
    EXPECT_EQ(Rows().Count(), 600u);
    const std::vector<ScanEvent> progress = Log.Of(ScanEvent::Kind::Progress);
    ASSERT_GE(progress.size(), 3u);
    for (size_t i = 1; i < progress.size(); ++i) {
        EXPECT_GT(progress[i].position, progress[i - 1].position);
        EXPECT_EQ(progress[i].total, static_cast<int64_t>(ps.Bytes().size()));
    }

    TParser &parser = NewScan(TFileFormat::MpegPs);
    Log.Hook = [&parser](const ScanEvent &event) {
        if (event.kind == ScanEvent::Kind::Progress && event.position > 0)
            parser.Aborted = true;
    };
    ASSERT_EQ(RunScanOf(parser, ps.Bytes()).kind, ScanOutcome::Kind::None);
    Log.Hook = nullptr;
    EXPECT_GT(Rows().Count(), 0u);
    EXPECT_LT(Rows().Count(), 600u);
    EXPECT_EQ(Log.Of(ScanEvent::Kind::Progress).size(), 2u);
}

} // namespace
