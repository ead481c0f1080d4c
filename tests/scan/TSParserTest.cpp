// The transport stream scanner on streams built packet by packet: an SPS cut by a packet boundary at every
// place, emulation prevention across packets, counters, discontinuities, duplicates, scrambling, PES
// CRCs, lost sync, missing and damaged tables, and a PES that never ends.

#include "scan/TSParser.h"
#include "BitWriter.h"
#include "ScanHarness.h"
#include "TsBuilder.h"
#include "base/Messages.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint16_t VideoPid = 0x0100;
constexpr uint16_t MapPid = 0x1000;

const ByteVector Delimiter{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};

// A slice-like unit: a start code and bytes without zeros.
ByteVector Slice(size_t count, uint8_t seed) {
    ByteVector slice{0x00, 0x00, 0x01, 0x65};
    for (size_t i = 0; i < count; ++i)
        slice.push_back(static_cast<uint8_t>(0x80 | ((seed + i * 37) & 0x7F)));
    return slice;
}

// An access unit: its delimiter, the SPS and a slice; SpsAt is where the SPS's header byte lies in it.
struct AccessUnit {
    ByteVector Es;
    size_t SpsAt = 0;
};

AccessUnit MakeAccessUnit(const ByteVector &spsNal, size_t slice = 300, uint8_t seed = 1) {
    AccessUnit unit;
    unit.Es = Delimiter;
    unit.SpsAt = unit.Es.size() + 4;
    Append(unit.Es, WithStartCode(spsNal));
    Append(unit.Es, Slice(slice, seed));
    return unit;
}

// A stream whose one program maps VideoPid as H.264 video.
TsBuilder Program(int packetSize = 188) {
    TsBuilder ts(packetSize);
    ts.Pat({{1, MapPid}});
    ts.Pmt(MapPid, 1, {{0x1B, VideoPid}});
    return ts;
}

TFileFormat FormatOf(int packetSize) {
    return packetSize == 192   ? TFileFormat::M2ts
           : packetSize == 204 ? TFileFormat::MpegTs204
                               : TFileFormat::MpegTs;
}

TsBuilder::PesOptions CutAt(size_t at, TsBuilder::PacketOptions next = {}) {
    TsBuilder::PesOptions options;
    options.pts = 0;
    options.cuts = {{at, next}};
    return options;
}

TRatioChange SarChange(int width, int height) {
    TRatioChange change;
    change.Kind = TRatioChange::TKind::Sar;
    change.Ratio = {width, height};
    return change;
}

class TsScan : public ScanTest {
protected:
    TParser &NewTsScan(int packetSize = 188) { return NewScan(FormatOf(packetSize)); }

    // Scans the bytes as a transport stream of that packet size; the scan must end without an error.
    void ScanOk(const ByteVector &bytes, int packetSize = 188) {
        const ScanOutcome outcome = RunScanOf(NewTsScan(packetSize), bytes);
        ASSERT_EQ(outcome.kind, ScanOutcome::Kind::None) << outcome.message;
    }

    bool HasNotice(const std::string &text) {
        return std::any_of(Session().Notices.begin(), Session().Notices.end(),
                           [&](const TScanNotice &notice) { return notice.Text == text; });
    }
    std::string Notices() {
        std::string all;
        for (const TScanNotice &notice : Session().Notices)
            all += notice.Text + "\n";
        return all;
    }

    // Gives every row the sample aspect ratio (of its kind) and writes it into a copy of the bytes.
    ByteVector SaveSar(const ByteVector &bytes, int width, int height) {
        for (size_t i = 0; i < Rows().Count(); ++i)
            EXPECT_EQ(SarChange(width, height).ApplyTo(*Rows().Items(i)), "");
        TMemoryStream file(bytes);
        Rows().WriteChanges(file);
        return file.Bytes();
    }

    // A save of 16:11 that must be refused: the reason of the first refusal, and the bytes left as they
    // were.
    std::string RefusedSave(const ByteVector &bytes) {
        for (size_t i = 0; i < Rows().Count(); ++i)
            EXPECT_EQ(SarChange(16, 11).ApplyTo(*Rows().Items(i)), "");
        TMemoryStream file(bytes);
        const std::vector<TWriteRefusal> refusals = Rows().CheckChanges(file);
        EXPECT_THROW(Rows().WriteChanges(file), Exception);
        EXPECT_EQ(file.Bytes(), bytes);
        return refusals.empty() ? std::string() : refusals.front().Reason;
    }
};

// Every byte of the file is as it was, except the elementary stream bytes at offsets, which hold the
// expected stream: no packet header, adaptation field, time code or parity byte is touched.
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

// A packet boundary at every place from the SPS's start code to its end, in every packet size, with and
// without a PCR in the packet behind it: the SPS is read whole with the file offset of each byte, and a
// change is written into both packets and nowhere else.
TEST_F(TsScan, AnSpsCutAnywhereIsReadWholeAndWrittenIntoBothPackets) {
    const SpsFields fields = WithSar(255, 64, 45);
    const BuiltSps sps = BuildSps(fields);
    SpsFields newFields = fields;
    newFields.sar_width = 16;
    newFields.sar_height = 11;
    const BuiltSps changed = BuildSps(newFields);
    ASSERT_EQ(changed.nal.size(), sps.nal.size());
    const AccessUnit unit = MakeAccessUnit(sps.nal);
    ByteVector expected = unit.Es;
    std::copy(changed.nal.begin(), changed.nal.end(), expected.begin() + static_cast<ptrdiff_t>(unit.SpsAt));

    for (int packetSize : {188, 192, 204})
        for (bool pcr : {false, true})
            for (size_t cut = unit.SpsAt - 4; cut <= unit.SpsAt + sps.nal.size() + 1; ++cut) {
                SCOPED_TRACE(std::to_string(packetSize) + "-byte packets, cut at " + std::to_string(cut) +
                             (pcr ? " before a PCR" : ""));
                TsBuilder ts = Program(packetSize);
                TsBuilder::PacketOptions next;
                next.pcr = pcr;
                const std::vector<int64_t> offsets = ts.Pes(VideoPid, unit.Es, CutAt(cut, next));
                ScanOk(ts.Bytes(), packetSize);
                ASSERT_EQ(Rows().Count(), 1u) << Notices();
                EXPECT_EQ(Session().NoticeCount, 0) << Notices();
                TARInfo &row = *Rows().Items(0);
                ASSERT_NE(row.Track, nullptr);
                EXPECT_EQ(row.Track->Label, "PID 0x0100");
                EXPECT_EQ(row.Track->Number, VideoPid);
                EXPECT_FALSE(row.Track->HasStatement());
                EXPECT_EQ(row.NotChangeable, nullptr);
                EXPECT_EQ(row.SarText(), "64:45");
                EXPECT_EQ(row.Unit->Bytes(), sps.nal);
                for (size_t i = 0; i < sps.nal.size(); ++i)
                    ASSERT_EQ(row.Placement.FileOffset(static_cast<int64_t>(i)), offsets[unit.SpsAt + i]);
                EXPECT_EQ(row.Placement.Contiguous(),
                          cut <= unit.SpsAt || cut >= unit.SpsAt + sps.nal.size());
                EXPECT_EQ(row.SpsOffset(), offsets[unit.SpsAt + 1]);
                EXPECT_EQ(row.VuiOffset(), offsets[unit.SpsAt + sps.vuiByte]);

                const ByteVector saved = SaveSar(ts.Bytes(), 16, 11);
                ExpectOnlyStreamChanged(ts.Bytes(), saved, offsets, expected);
                ScanOk(saved, packetSize);
                ASSERT_EQ(Rows().Count(), 1u);
                EXPECT_EQ(Rows().Items(0)->SarText(), "16:11");
                EXPECT_EQ(Rows().Items(0)->VuiOffset(), offsets[unit.SpsAt + sps.vuiByte]);
            }
}

// Emulation prevention belongs to the NAL unit's bytes: an emulation-prevention byte cut off from its two
// zero bytes by packet headers is still one, and a change that would overwrite it is refused, although no
// 00 00 03 lies in the file.
TEST_F(TsScan, EmulationPreventionIsJudgedOnTheUnitNotOnTheFile) {
    // A ratio whose terms hold so many zero bits that the encoder put an emulation-prevention byte among
    // the bits a change overwrites.
    BuiltSps sps;
    size_t prevention = 0;
    for (uint16_t width : {0x8000, 0x4000, 0x2000, 0x1000, 0x0800, 0x0400, 0x0200, 0x0100})
        for (uint16_t height : {1, 2, 3}) {
            if (prevention > 0)
                break;
            sps = BuildSps(WithSar(255, width, height));
            const size_t last = sps.vuiByte + 6;
            for (size_t i = std::max<size_t>(sps.vuiByte, 2); i <= last && i < sps.nal.size(); ++i)
                if (sps.nal[i] == 0x03 && sps.nal[i - 1] == 0 && sps.nal[i - 2] == 0)
                    prevention = i;
        }
    ASSERT_GT(prevention, 0u);
    const AccessUnit unit = MakeAccessUnit(sps.nal);
    for (size_t cut : {prevention - 1, prevention}) {
        TsBuilder ts = Program();
        const std::vector<int64_t> offsets = ts.Pes(VideoPid, unit.Es, CutAt(unit.SpsAt + cut));
        const ByteVector &file = ts.Bytes();
        const auto at = static_cast<size_t>(offsets[unit.SpsAt + prevention]);
        ASSERT_FALSE(file[at - 1] == 0 && file[at - 2] == 0) << "the packet boundary lies between them";
        ScanOk(file);
        ASSERT_EQ(Rows().Count(), 1u);
        const TARInfo &row = *Rows().Items(0);
        EXPECT_EQ(row.Unit->Bytes(), sps.nal);
        EXPECT_EQ(RefusedSave(file), Format(SEmulationPreventionInSpan, row.VuiOffset()));
    }
}

// The SPS cut in its VUI, and what lies between its two packets.
struct CutSps {
    ByteVector File;
    std::vector<int64_t> Offsets;
    AccessUnit Unit;
    size_t Cut = 0; // where the second packet begins in the unit
};

CutSps SpsAcrossPackets(TsBuilder::PacketOptions second, int packetSize = 188) {
    CutSps cut;
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    cut.Unit = MakeAccessUnit(sps.nal);
    TsBuilder ts = Program(packetSize);
    cut.Cut = cut.Unit.SpsAt + sps.vuiByte + 1;
    cut.Offsets = ts.Pes(VideoPid, cut.Unit.Es, CutAt(cut.Cut, second));
    ts.Pes(VideoPid, MakeAccessUnit(sps.nal, 100, 7).Es, CutAt(0));
    cut.File = ts.Bytes();
    return cut;
}

// Bytes that do not simply go on from one packet to the next: a counter that jumps (packets lost) or an
// announced discontinuity inside the SPS leaves it listed but not changeable, with the reason; the SPS
// after them is changeable.
TEST_F(TsScan, AnSpsAcrossLostPacketsOrADiscontinuityIsNotChangeable) {
    TsBuilder::PacketOptions jump;
    jump.cc = 5; // the PES's first packet has 0
    CutSps gap = SpsAcrossPackets(jump);
    ScanOk(gap.File);
    ASSERT_EQ(Rows().Count(), 2u);
    const std::string gapReason = "The SPS can not be changed in place: its bytes span packets of PID 0x0100 "
                                  "of which some are missing or "
                                  "damaged.";
    ASSERT_NE(Rows().Items(0)->NotChangeable, nullptr);
    EXPECT_EQ(*Rows().Items(0)->NotChangeable, gapReason);
    EXPECT_EQ(Rows().Items(1)->NotChangeable, nullptr);
    EXPECT_TRUE(HasNotice(Format(STsPacketsMissing, "PID 0x0100", gap.Offsets[gap.Cut] / 188 * 188, 0, 5)))
        << Notices();
    EXPECT_EQ(RefusedSave(gap.File), gapReason);

    TsBuilder::PacketOptions announced;
    announced.discontinuity = true;
    announced.cc = 9;
    CutSps discontinuity = SpsAcrossPackets(announced);
    ScanOk(discontinuity.File);
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_EQ(
        RefusedSave(discontinuity.File),
        "The SPS can not be changed in place: its bytes span a discontinuity that PID 0x0100 announces.");
    EXPECT_EQ(Rows().Items(1)->NotChangeable, nullptr);
    EXPECT_EQ(Session().NoticeCount, 0) << "an announced jump of the counter is no loss";
}

// A packet sent twice (same counter, same payload) is read once. An SPS with bytes in it is not changed, as
// the copy would keep the old bytes; the same counter with another payload is a lost packet.
TEST_F(TsScan, DuplicatePacketsAreReadOnce) {
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    const AccessUnit unit = MakeAccessUnit(sps.nal);
    TsBuilder ts = Program();
    const std::vector<int64_t> offsets = ts.Pes(VideoPid, unit.Es, CutAt(unit.SpsAt + sps.vuiByte + 1));
    ts.Pes(VideoPid, MakeAccessUnit(sps.nal, 50, 3).Es, CutAt(0));
    const auto first = static_cast<size_t>(offsets[unit.SpsAt] / 188 * 188);
    // Sends the packet at the offset twice.
    auto twice = [&](size_t packet) {
        ByteVector file = ts.Bytes();
        const ByteVector copy(file.begin() + static_cast<ptrdiff_t>(packet),
                              file.begin() + static_cast<ptrdiff_t>(packet + 188));
        file.insert(file.begin() + static_cast<ptrdiff_t>(packet + 188), copy.begin(), copy.end());
        return file;
    };

    const ByteVector spsSentTwice = twice(first);
    ScanOk(spsSentTwice);
    ASSERT_EQ(Rows().Count(), 2u);
    const TARInfo &row = *Rows().Items(0);
    EXPECT_EQ(row.Unit->Bytes(), sps.nal);
    EXPECT_EQ(row.Placement.FileOffset(0), offsets[unit.SpsAt]);
    EXPECT_EQ(row.Placement.FileOffset(static_cast<int64_t>(sps.nal.size()) - 1),
              offsets[unit.SpsAt + sps.nal.size() - 1] + 188);
    EXPECT_EQ(Session().NoticeCount, 0) << Notices();
    ASSERT_NE(row.NotChangeable, nullptr);
    EXPECT_EQ(*row.NotChangeable, Format(SSpsInDuplicate, "PID 0x0100"));
    EXPECT_EQ(Rows().Items(1)->NotChangeable, nullptr);

    // The second PES, in one packet, holds the whole SPS: sent twice, the packet holds bytes of it.
    const auto second = static_cast<size_t>(ts.Bytes().size() - 188);
    ScanOk(twice(second));
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_EQ(Rows().Items(0)->NotChangeable, nullptr);
    ASSERT_NE(Rows().Items(1)->NotChangeable, nullptr);

    // A copy of a packet that holds no SPS byte changes nothing; the file is saved.
    const auto sliceEnd = static_cast<size_t>(offsets.back() / 188 * 188);
    ASSERT_GT(sliceEnd, static_cast<size_t>(offsets[unit.SpsAt + sps.nal.size()]));
    const ByteVector sliceSentTwice = twice(sliceEnd);
    ScanOk(sliceSentTwice);
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_EQ(Session().NoticeCount, 0) << Notices();
    const ByteVector saved = SaveSar(sliceSentTwice, 16, 11);
    ScanOk(saved);
    ASSERT_EQ(Rows().Count(), 2u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "16:11");
    EXPECT_EQ(Rows().Items(1)->SarText(), "16:11");
    EXPECT_EQ(Session().NoticeCount, 0) << "the copy is still a copy";

    ByteVector differs = spsSentTwice;
    differs[first + 188 + 187] ^= 0x01; // the copy's last byte differs
    ScanOk(differs);
    EXPECT_TRUE(HasNotice(Format(STsPacketsMissing, "PID 0x0100", first + 188, 0, 0))) << Notices();
    // The copy is read as more of the stream: the SPS it splits is damaged or not changeable.
    EXPECT_GE(Session().RatioUnitCount + Session().DamagedUnitCount, 2);
    for (size_t i = 0; i < Rows().Count(); ++i) {
        if (Rows().Items(i)->Placement.FileOffset(0) == offsets[unit.SpsAt]) {
            EXPECT_NE(Rows().Items(i)->NotChangeable, nullptr);
        }
    }
}

// Scrambled packets are not read; none of the PID's SPS is changed, also those read before the scrambling
// began.
TEST_F(TsScan, AScrambledPidIsNotChanged) {
    const BuiltSps sps = BuildSps(WithSar(1));
    TsBuilder ts = Program();
    ts.Pes(VideoPid, MakeAccessUnit(sps.nal).Es, CutAt(0));
    TsBuilder::PacketOptions scrambled;
    scrambled.scrambling = 2;
    const int64_t scrambledAt =
        ts.Pes(VideoPid, MakeAccessUnit(sps.nal).Es, CutAt(0, scrambled)).front() / 188 * 188;
    ts.Pes(VideoPid, MakeAccessUnit(sps.nal).Es, CutAt(0));
    ScanOk(ts.Bytes());
    EXPECT_EQ(Session().RatioUnitCount, 2) << "the scrambled SPS is not read";
    ASSERT_EQ(Rows().Count(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_NE(Rows().Items(i)->NotChangeable, nullptr);
        EXPECT_EQ(*Rows().Items(i)->NotChangeable,
                  "The SPS can not be changed in place: PID 0x0100 is scrambled.");
    }
    EXPECT_TRUE(HasNotice(Format(STsScrambled, "PID 0x0100", scrambledAt))) << Notices();
    RefusedSave(ts.Bytes());
}

// A PES CRC covers the data of the PES before it: the SPS there is not changed, nor one in a PES that
// carries a CRC; one in a PES that neither carries nor is covered by one is.
TEST_F(TsScan, AnSpsUnderAPesCrcIsNotChanged) {
    TsBuilder ts = Program();
    for (bool crc : {false, true, false, false}) {
        TsBuilder::PesOptions options = CutAt(0);
        options.crc = crc;
        ts.Pes(VideoPid, MakeAccessUnit(BuildSps(WithSar(1)).nal).Es, options);
    }
    ScanOk(ts.Bytes());
    ASSERT_EQ(Rows().Count(), 4u);
    const std::string reason =
        "The SPS can not be changed in place: a PES packet of PID 0x0100 carries a CRC over "
        "it, which the change would make wrong.";
    for (size_t i : {0, 1}) {
        ASSERT_NE(Rows().Items(i)->NotChangeable, nullptr) << i;
        EXPECT_EQ(*Rows().Items(i)->NotChangeable, reason);
    }
    EXPECT_EQ(Rows().Items(2)->NotChangeable, nullptr);
    EXPECT_EQ(Rows().Items(3)->NotChangeable, nullptr);
    EXPECT_EQ(RefusedSave(ts.Bytes()), reason);
}

// Garbage between packets: the walk finds the stride again, says which bytes it passed over, and reads on;
// an SPS whose bytes the lost packets cut is never changeable.
TEST_F(TsScan, LostSyncIsFoundAgain) {
    const BuiltSps sps = BuildSps(WithSar(255, 64, 45));
    TsBuilder ts = Program();
    ts.Pes(VideoPid, MakeAccessUnit(sps.nal).Es, CutAt(0));
    const int64_t lastBefore = static_cast<int64_t>(ts.Bytes().size()) - 188;
    ByteVector garbage(301, 0x5A);
    garbage[7] = garbage[7 + 188] = 0x47; // sync bytes at the stride, but only two
    ts.Raw(garbage);
    const int64_t resumed = static_cast<int64_t>(ts.Bytes().size());
    ts.Pes(VideoPid, MakeAccessUnit(sps.nal).Es, CutAt(0));
    ScanOk(ts.Bytes());
    EXPECT_EQ(Rows().Count(), 2u);
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ(Rows().Items(i)->NotChangeable, nullptr);
    EXPECT_TRUE(HasNotice(Format(STsBytesSkipped, lastBefore, resumed, 188))) << Notices();
    ASSERT_EQ(Session().NoticeCount, 1) << Notices();
    EXPECT_EQ(Session().Notices[0].Kind, TScanNotice::TKind::NotScanned);

    // The SPS in three packets; garbage behind the second loses it.
    TsBuilder cut = Program();
    TsBuilder::PesOptions options = CutAt(0);
    const AccessUnit unit = MakeAccessUnit(sps.nal);
    options.cuts = {{unit.SpsAt + 2, {}}, {unit.SpsAt + 6, {}}, {unit.SpsAt + 40, {}}};
    const std::vector<int64_t> offsets = cut.Pes(VideoPid, unit.Es, options);
    ByteVector file = cut.Bytes();
    file.insert(file.begin() + offsets[unit.SpsAt + 6] / 188 * 188, garbage.begin(), garbage.end());
    ScanOk(file);
    EXPECT_EQ(Session().RatioUnitCount + Session().DamagedUnitCount, 1);
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_NE(Rows().Items(i)->NotChangeable, nullptr);
}

// More than a packet of other bytes in front of the packets: the file is still taken for a transport
// stream (never for a raw stream whose patches could hit packet headers), and read behind them.
TEST_F(TsScan, OtherBytesInFrontOfThePackets) {
    TsBuilder ts(192);
    ts.Raw(ByteVector(5000, 0x47));
    TsBuilder program = Program(192);
    ts.Raw(program.Bytes());
    for (int i = 0; i < 3; ++i)
        ts.Pes(VideoPid, MakeAccessUnit(BuildSps(WithSar(1)).nal).Es, CutAt(0));
    TMemoryStream probed(ts.Bytes());
    ASSERT_EQ(DetectFormat(probed), TFileFormat::M2ts);
    ScanOk(ts.Bytes(), 192);
    EXPECT_EQ(Rows().Count(), 3u);
    EXPECT_EQ(Notices(), Format(STsBytesSkipped, 0, 5000, 192) + "\n");
}

// A stream cut out of the middle of another begins inside a packet and has lost its tables: the bytes up to
// the first packet are passed over, and the video is found by its access unit delimiters.
TEST_F(TsScan, AStreamCutFromTheMiddleIsReadByItsPesPackets) {
    TsBuilder ts = Program();
    const std::vector<int64_t> offsets =
        ts.Pes(VideoPid, MakeAccessUnit(BuildSps(WithSar(1)).nal).Es, CutAt(0));
    const ByteVector whole = ts.Bytes();
    const ByteVector cut(whole.begin() + 100, whole.end()); // into the PAT; the PMT is a PID nobody names
    ScanOk(cut);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->NotChangeable, nullptr);
    EXPECT_EQ(Rows().Items(0)->Track->Label, "PID 0x0100");
    const int64_t pes = offsets.front() / 188 * 188 - 100;
    EXPECT_EQ(Notices(), Format(STsBytesSkipped, 0, 88, 188) + "\n" +
                             Format(STsPidByContent, "PID 0x0100", "H.264", pes) + "\n" + STsNoProgramTable +
                             "\n");

    // Without delimiters nothing says the PID is H.264 video; MPEG-2 video, whose slice start codes can look
    // like an SPS, is never taken for it: it is taken for MPEG-2 video by its sequence header (cut short
    // here by the picture behind its first four bytes), and nothing of it is read as H.264.
    TsBuilder bare(188);
    ByteVector es = WithStartCode(BuildSps(WithSar(1)).nal);
    Append(es, Slice(100, 3));
    bare.Pes(VideoPid, es, CutAt(0));
    ByteVector mpeg2{0x00, 0x00, 0x01, 0xB3, 0x2C, 0x02, 0x40, 0x33, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0F};
    Append(mpeg2, WithStartCode(BuildSps(WithSar(1)).nal));
    bare.Pes(0x0200, mpeg2, CutAt(0));
    ScanOk(bare.Bytes());
    EXPECT_EQ(Rows().Count(), 0u);
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_EQ(Session().DamagedUnitCount, 1);
    ASSERT_EQ(Session().Tracks.size(), 1u);
    EXPECT_STREQ(Session().Tracks[0].Codec->Key, "mpeg2video");
}

// Video of a codec the program does not read (VC-1) is named where the map names it and not read, though
// its bytes hold what reads as an H.264 SPS and delimiter; MPEG-4 Part 2 is read as itself, so the same
// bytes hold no VOL for it; the H.264 stream beside them is read.
TEST_F(TsScan, StreamsOfCodecsNotReadAreNamedAndNotRead) {
    const ByteVector unit = MakeAccessUnit(BuildSps(WithSar(255, 64, 45)).nal).Es;
    TsBuilder ts(188);
    ts.Pat({{1, MapPid}});
    ts.Pmt(MapPid, 1, {{0xEA, VideoPid}, {0x10, 0x0101}, {0x1B, 0x0102}, {0x0F, 0x0103}});
    for (int i = 0; i < 3; ++i) {
        ts.Pes(VideoPid, unit, CutAt(0));
        ts.Pes(0x0101, unit, CutAt(0));
        ts.Pes(0x0102, unit, CutAt(0));
        ts.Pes(0x0103, unit, CutAt(0));
    }
    ScanOk(ts.Bytes());
    ASSERT_EQ(Rows().Count(), 3u);
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ(Rows().Items(i)->Track->Number, 0x0102);
    EXPECT_EQ(Session().RatioUnitCount, 3);
    EXPECT_EQ(Session().DamagedUnitCount, 0);
    ASSERT_EQ(Session().Tracks.size(), 2u);
    EXPECT_EQ(Session().Tracks[0].Label, "PID 0x0101");
    EXPECT_STREQ(Session().Tracks[0].Codec->Key, "mpeg4visual");
    EXPECT_EQ(Session().Tracks[1].Label, "PID 0x0102");
    EXPECT_EQ(Notices(), Format(SUnreadCodecStream, "PID 0x0100", "VC-1") + "\n");

    // A stream found by its content is named as well when a map says it is of a codec not read.
    TsBuilder guessed(188);
    guessed.Pes(VideoPid, unit, CutAt(0));
    guessed.Pat({{1, MapPid}});
    guessed.Pmt(MapPid, 1, {{0xEA, VideoPid}});
    guessed.Pes(VideoPid, unit, CutAt(0));
    ScanOk(guessed.Bytes());
    EXPECT_EQ(Rows().Count(), 1u); // what was found before the map stays listed
    EXPECT_TRUE(HasNotice(Format(SUnreadCodecStream, "PID 0x0100", "VC-1"))) << Notices();
}

// A map seen after the PID's content named it as video confirms it; one that names it something else ends
// its reading. Packets of a PID before the map that names it are counted as not scanned.
TEST_F(TsScan, TheProgramMapOverrulesAGuessFromContent) {
    const ByteVector unit = MakeAccessUnit(BuildSps(WithSar(1)).nal).Es;
    TsBuilder ts(188);
    ts.Pes(VideoPid, unit, CutAt(0));
    ts.Pat({{1, MapPid}});
    ts.Pmt(MapPid, 1, {{0xEA, VideoPid}}); // VC-1, says the map
    ts.Pes(VideoPid, unit, CutAt(0));
    ScanOk(ts.Bytes());
    EXPECT_EQ(Rows().Count(), 1u);

    TsBuilder late(188);
    late.Pes(0x0300, Slice(400, 5), CutAt(0)); // three packets
    late.Pat({{1, MapPid}});
    late.Pmt(MapPid, 1, {{0x1B, 0x0300}});
    late.Pes(0x0300, unit, CutAt(0));
    ScanOk(late.Bytes());
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Notices(), Format(STsReadBeforeMap, 3, "PID 0x0300", "H.264") + "\n");
}

// Tables that point at nothing and PIDs without data are named; the scan goes on.
TEST_F(TsScan, MapsThatPointAtNothingAreNamed) {
    TsBuilder ts(188);
    ts.Pat({{1, MapPid}, {2, 0x1100}});
    ts.Pmt(MapPid, 1, {{0x1B, VideoPid}, {0x1B, 0x0200}, {0x81, 0x0300}});
    ts.Pes(VideoPid, MakeAccessUnit(BuildSps(WithSar(1)).nal).Es, CutAt(0));
    TsBuilder::PacketOptions onlyAdaptation;
    onlyAdaptation.pcr = true;
    ts.Packet(0x0200, {}, onlyAdaptation);
    ScanOk(ts.Bytes());
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Session().Tracks.size(), 2u);
    EXPECT_TRUE(HasNotice(Format(STsMapMissing, 0x1100, 2))) << Notices();
    EXPECT_TRUE(HasNotice(Format(STsNoPayload, "PID 0x0200", "H.264"))) << Notices();
    EXPECT_EQ(Session().NoticeCount, 2);
}

// Damaged tables, adaptation fields and PES headers: each is named and passed over, and nothing else is
// taken from it.
TEST_F(TsScan, DamagedTablesAndPacketsArePassedOver) {
    const ByteVector unit = MakeAccessUnit(BuildSps(WithSar(1)).nal).Es;
    ByteVector noDelimiter = WithStartCode(BuildSps(WithSar(1)).nal);
    Append(noDelimiter, Slice(50, 2));

    // A map with a wrong CRC is not believed.
    {
        TsBuilder ts(188);
        ts.Pat({{1, MapPid}});
        ByteVector map = TsBuilder::PmtSection(1, {{0x1B, VideoPid}});
        map[map.size() - 1] ^= 0xFF;
        ts.Section(MapPid, map);
        ts.Pes(VideoPid, noDelimiter, CutAt(0));
        ScanOk(ts.Bytes());
        EXPECT_EQ(Rows().Count(), 0u);
        EXPECT_TRUE(HasNotice(Format(STsSectionCrc, 188))) << Notices();
    }
    // A map whose stream entry runs past its section, with a right CRC.
    {
        TsBuilder ts(188);
        ts.Pat({{1, MapPid}});
        ByteVector map = TsBuilder::PmtSection(1, {{0x1B, VideoPid}});
        map[map.size() - 5] = 0x09; // ES_info_length 9, past the CRC
        map.resize(map.size() - 4);
        const uint32_t crc = TsSectionCrc(map);
        for (int shift = 24; shift >= 0; shift -= 8)
            map.push_back(static_cast<uint8_t>(crc >> shift));
        ts.Section(MapPid, map);
        ts.Pes(VideoPid, noDelimiter, CutAt(0));
        ScanOk(ts.Bytes());
        EXPECT_EQ(Rows().Count(), 0u);
        EXPECT_TRUE(HasNotice(Format(STsTableDamaged, 188))) << Notices();
    }
    // A section longer than a table may be, and a pointer past the packet.
    {
        TsBuilder ts(188);
        ts.Section(0x0000, {0x00, 0xBF, 0xFF, 0x00});
        ts.Packet(0x0000, ByteVector(184, 0xB8), {.unitStart = true});
        ts.Pat({{1, MapPid}});
        ts.Pmt(MapPid, 1, {{0x1B, VideoPid}});
        ts.Pes(VideoPid, unit, CutAt(0));
        ScanOk(ts.Bytes());
        EXPECT_EQ(Rows().Count(), 1u);
        EXPECT_TRUE(HasNotice(Format(STsSectionTooLong, 0, 3 + 0xFFF))) << Notices();
        EXPECT_TRUE(HasNotice(Format(STsPointerPastPacket, 188))) << Notices();
    }
    // An adaptation field longer than its packet, a packet marked damaged, a PES header without its
    // marker bits.
    {
        TsBuilder ts = Program();
        ts.Pes(VideoPid, unit, CutAt(0));
        ByteVector file = ts.Bytes();
        const size_t last = file.size() - 188;
        file[last + 3] |= 0x20;
        file[last + 4] = 184;
        TsBuilder more(188);
        more.Packet(VideoPid, ByteVector(20, 0x11), {.error = true});
        ByteVector badPes{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x44, 0x00, 0x00};
        Append(badPes, unit);
        more.Packet(VideoPid, ByteVector(badPes.begin(), badPes.begin() + 184), {.unitStart = true, .cc = 2});
        Append(file, more.Bytes());
        ScanOk(file);
        EXPECT_EQ(Rows().Count(), 1u) << "only the first SPS";
        EXPECT_TRUE(HasNotice(Format(STsAdaptationPastPacket, static_cast<int64_t>(last)))) << Notices();
        EXPECT_TRUE(HasNotice(Format(STsPacketDamaged, static_cast<int64_t>(last + 188)))) << Notices();
        EXPECT_TRUE(HasNotice(Format(STsPesHeaderBad, "PID 0x0100", static_cast<int64_t>(last + 376))))
            << Notices();
    }
}

// A file cut inside its last packet: that packet is named and not read, the others are. Bytes behind the
// last packet that are none are named too.
TEST_F(TsScan, ATruncatedLastPacketIsNotRead) {
    for (int packetSize : {188, 192, 204}) {
        TsBuilder ts = Program(packetSize);
        ts.Pes(VideoPid, MakeAccessUnit(BuildSps(WithSar(1)).nal).Es, CutAt(0));
        ts.Pes(VideoPid, MakeAccessUnit(BuildSps(WithSar(2)).nal).Es, CutAt(0));
        ByteVector file = ts.Bytes();
        const auto size = static_cast<int64_t>(file.size());
        const int64_t lastPacket = size - packetSize + (packetSize == 192 ? 4 : 0);
        file.resize(file.size() - (packetSize == 204 ? 16 + 100 : 100));
        ScanOk(file, packetSize);
        ASSERT_EQ(Rows().Count(), 2u) << packetSize;
        EXPECT_EQ(Notices(), Format(STsLastPacketCut, lastPacket) + "\n");

        file = ts.Bytes();
        file.resize(file.size() + 50, 0x00);
        ScanOk(file, packetSize);
        ASSERT_EQ(Rows().Count(), 2u) << packetSize;
        const int64_t tail = packetSize == 192 ? size + 4 : size;
        EXPECT_EQ(Notices(), Format(STsBytesSkipped, tail, size + 50, packetSize) + "\n");
    }
}

// Every H.264 PID of every program is read, each with a track of its own; other streams are not, whatever
// their bytes look like.
TEST_F(TsScan, EveryH264PidOfEveryProgramHasItsTrack) {
    const ByteVector first = MakeAccessUnit(BuildSps(WithSar(1)).nal).Es;
    const ByteVector second = MakeAccessUnit(BuildSps(WithSar(255, 64, 45)).nal).Es;
    TsBuilder ts(188);
    ts.Pat({{1, MapPid}, {2, 0x1100}});
    ts.Pmt(MapPid, 1, {{0x1B, VideoPid}, {0x0F, 0x0101}});
    ts.Pmt(0x1100, 2, {{0x1B, 0x0200}});
    for (int i = 0; i < 2; ++i) {
        ts.Pes(0x0200, second, CutAt(0));
        ts.Pes(VideoPid, first, CutAt(0));
        TsBuilder::PesOptions audio = CutAt(0);
        audio.streamId = 0xC0;
        ts.Pes(0x0101, first, audio); // an SPS in an audio stream is no SPS
    }
    ScanOk(ts.Bytes());
    ASSERT_EQ(Session().Tracks.size(), 2u);
    EXPECT_EQ(Session().Tracks[0].Label, "PID 0x0100");
    EXPECT_EQ(Session().Tracks[1].Label, "PID 0x0200");
    ASSERT_EQ(Rows().Count(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const TARInfo &row = *Rows().Items(i);
        EXPECT_EQ(row.Track->Number, i % 2 == 0 ? 0x0200 : VideoPid);
        EXPECT_EQ(row.SarText(), i % 2 == 0 ? "64:45" : "1:1");
    }
    EXPECT_EQ(Session().NoticeCount, 0) << Notices();
}

// The events of a scan, an abort from inside one, and DeepScan off (every packet is read anyway).
TEST_F(TsScan, EventsAndAbort) {
    TsBuilder ts = Program();
    ByteVector es;
    for (uint8_t idc : {1, 2, 3})
        Append(es, MakeAccessUnit(BuildSps(WithSar(idc)).nal).Es);
    ts.Pes(VideoPid, es, CutAt(0));
    const ByteVector &file = ts.Bytes();

    NewTsScan().DeepScan = false;
    ASSERT_EQ(RunScanOf(Parser(), file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Rows().Count(), 3u);
    EXPECT_EQ(Log.Sequence(), "PNRNRNR!");
    const std::vector<ScanEvent> progress = Log.Of(ScanEvent::Kind::Progress);
    EXPECT_EQ(progress.back().position, static_cast<int64_t>(file.size()));
    EXPECT_EQ(progress.back().total, static_cast<int64_t>(file.size()));

    TParser &parser = NewTsScan();
    Log.Hook = [&parser](const ScanEvent &event) {
        if (event.kind == ScanEvent::Kind::RecordAdded)
            parser.Aborted = true;
    };
    ASSERT_EQ(RunScanOf(parser, file).kind, ScanOutcome::Kind::None);
    Log.Hook = nullptr;
    EXPECT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Log.Sequence(), "PNR!");

    NewTsScan().Aborted = true;
    ASSERT_EQ(RunScanOf(Parser(), file).kind, ScanOutcome::Kind::None);
    EXPECT_EQ(Session().RatioUnitCount, 0);
    EXPECT_EQ(Log.Sequence(), "!");
}

// Bytes of no transport stream given to the scanner, and an empty file.
TEST_F(TsScan, NoPacketsAtAll) {
    TScanSession session;
    TTSParser parser(session);
    EXPECT_EQ(RunScanOf(parser, ByteVector(1000, 0x00)).message, SNotATransportStream);
    ScanOk({});
    EXPECT_EQ(Session().NoticeCount, 0);
    ScanOk(ByteVector(1000, 0x47));
    EXPECT_EQ(Session().RatioUnitCount, 0);
}

// A stream that serves its packets without holding them: a PAT, a map, then one PES of video that never
// ends, with an SPS at its very end.
class EndlessPes : public TStream {
public:
    explicit EndlessPes(int64_t packets) : FPackets(packets) {
        TsBuilder head = Program();
        head.Packet(VideoPid, {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00}, {.unitStart = true});
        FHead = head.Bytes();
        TsBuilder tail(188);
        ByteVector es = WithStartCode(BuildSps(WithSar(14)).nal);
        Append(es, Slice(20, 9));
        tail.Packet(VideoPid, es, {.cc = static_cast<int>((FPackets + 1) % 16)});
        FTail = tail.Bytes();
        FSize = static_cast<int64_t>(FHead.size()) + FPackets * 188 + static_cast<int64_t>(FTail.size());
        SpsAt = FSize - static_cast<int64_t>(es.size()) + 4;
    }
    int64_t SpsAt = 0; // where the SPS's header byte lies
    int64_t Size() override { return FSize; }
    int64_t Position() override { return FPosition; }
    void Seek(int64_t offset) override { FPosition = offset; }
    void ReadBuffer(void *buffer, size_t count) override {
        auto *bytes = static_cast<uint8_t *>(buffer);
        for (size_t i = 0; i < count; ++i)
            bytes[i] = ByteAt(FPosition++);
    }
    void WriteBuffer(const void *, size_t) override { throw EInOutError("read only"); }

private:
    uint8_t ByteAt(int64_t at) const {
        const auto head = static_cast<int64_t>(FHead.size());
        if (at < head)
            return FHead[static_cast<size_t>(at)];
        at -= head;
        if (at >= FPackets * 188)
            return FTail[static_cast<size_t>(at - FPackets * 188)];
        const int64_t packet = at / 188;
        switch (at % 188) {
        case 0:
            return 0x47;
        case 1:
            return VideoPid >> 8;
        case 2:
            return VideoPid & 0xFF;
        case 3:
            return static_cast<uint8_t>(0x10 | ((packet + 1) % 16));
        default:
            return static_cast<uint8_t>(0x80 | (at % 97));
        }
    }
    int64_t FPackets;
    ByteVector FHead;
    ByteVector FTail;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

long PeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A PES of two million packets (almost 400 MB) is read with the memory of a few packets.
TEST_F(TsScan, APesThatNeverEndsIsReadInBoundedMemory) {
    EndlessPes stream(int64_t{2} << 20);
    const long before = PeakKiB();
    TParser &parser = NewTsScan();
    ASSERT_EQ(Outcome([&] { parser.Scan(stream); }).kind, ScanOutcome::Kind::None);
    EXPECT_LT(PeakKiB() - before, 32 * 1024);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "4:3");
    EXPECT_EQ(Rows().Items(0)->Placement.FileOffset(0), stream.SpsAt);
    EXPECT_EQ(Session().NoticeCount, 0) << Notices();
}

// ---- Program maps that change ----

// A PES whose first packet comes under one map and whose rest comes after the map's next version: its
// header and delimiter, the new map, then an SPS as the rest of the PES; then a whole access unit with
// another SPS. Returns where that SPS's bytes lie.
struct MapSwitch {
    ByteVector File;
    std::vector<int64_t> Offsets;
    size_t SpsAt = 0;
};

MapSwitch SwitchedMap(const std::vector<std::pair<uint8_t, uint16_t>> &first,
                      const std::vector<std::pair<uint8_t, uint16_t>> &second, const ByteVector &before,
                      const ByteVector &after, uint8_t secondVersion = 1) {
    TsBuilder ts;
    ts.Pat({{1, MapPid}});
    ts.Pmt(MapPid, 1, first);
    ts.Pes(VideoPid, MakeAccessUnit(before).Es, CutAt(0));
    ByteVector head{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00};
    Append(head, Delimiter);
    TsBuilder::PacketOptions start;
    start.unitStart = true;
    ts.Packet(VideoPid, head, start);
    ts.Pmt(MapPid, 1, second, secondVersion);
    ByteVector rest = WithStartCode(before);
    Append(rest, Slice(20, 3));
    ts.Packet(VideoPid, rest);
    MapSwitch made;
    const AccessUnit unit = MakeAccessUnit(after);
    made.Offsets = ts.Pes(VideoPid, unit.Es, CutAt(0));
    made.SpsAt = unit.SpsAt;
    made.File = ts.Bytes();
    return made;
}

// A new version of the program map that names the PID H.264 where the old one named it VC-1: its
// packets from then on are H.264 (from the next PES: the rest of one begun under the old map is not);
// what came before is no H.264, even where its bytes read as an SPS.
TEST_F(TsScan, AStreamTypeThatANewMapVersionChangesIsFollowed) {
    const BuiltSps vc1 = BuildSps(WithSar(255, 64, 45));
    const BuiltSps h264 = BuildSps(WithSar(255, 16, 11));
    const MapSwitch made = SwitchedMap({{0xEA, VideoPid}}, {{0x1B, VideoPid}}, vc1.nal, h264.nal);
    ScanOk(made.File);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "16:11");
    EXPECT_EQ(Rows().Items(0)->Placement.FileOffset(0), made.Offsets[made.SpsAt]);
    EXPECT_EQ(Rows().Items(0)->NotChangeable, nullptr);
    ASSERT_EQ(Session().Tracks.size(), 1u);
    const ByteVector saved = SaveSar(made.File, 4, 3);
    ScanOk(saved);
    ASSERT_EQ(Rows().Count(), 1u);
    EXPECT_EQ(Rows().Items(0)->SarText(), "4:3");
}

// The reverse: a PID named H.264 by version 0 and VC-1 by version 1, or left out of it, is read no
// more from the new map on; what was listed before stays. The same map sent again with its version
// unchanged changes nothing.
TEST_F(TsScan, AStreamANewMapVersionNoLongerNamesH264IsNotReadFromThere) {
    const BuiltSps h264 = BuildSps(WithSar(255, 64, 45));
    const BuiltSps other = BuildSps(WithSar(255, 16, 11));
    for (const auto &second : {std::vector<std::pair<uint8_t, uint16_t>>{{0xEA, VideoPid}},
                               std::vector<std::pair<uint8_t, uint16_t>>{{0x1B, 0x0200}}}) {
        SCOPED_TRACE(int{second.front().first});
        const MapSwitch made = SwitchedMap({{0x1B, VideoPid}}, second, h264.nal, other.nal);
        ScanOk(made.File);
        ASSERT_EQ(Rows().Count(), 1u) << Notices();
        EXPECT_EQ(Rows().Items(0)->SarText(), "64:45");
        EXPECT_TRUE(
            HasNotice(Format(STsMapNoLongerReadable, Session().Notices.front().FileOffset, "PID 0x0100")))
            << Notices();
        // The SPS listed is written; the bytes read as an SPS after the switch are not.
        const ByteVector saved = SaveSar(made.File, 4, 3);
        for (size_t i = made.Offsets.front(); i < made.File.size(); ++i)
            ASSERT_EQ(saved[i], made.File[i]) << i;
    }
    // Version 0 again, as every stream repeats its maps: the PES it cuts is read on, its SPS changeable.
    const MapSwitch repeated = SwitchedMap({{0x1B, VideoPid}}, {{0x1B, VideoPid}}, h264.nal, other.nal, 0);
    ScanOk(repeated.File);
    EXPECT_EQ(Session().NoticeCount, 0) << Notices();
    ASSERT_EQ(Rows().Count(), 3u);
    for (size_t i = 0; i < Rows().Count(); ++i)
        EXPECT_EQ(Rows().Items(i)->NotChangeable, nullptr);
    EXPECT_EQ(Rows().Items(2)->SarText(), "16:11");
}

} // namespace
