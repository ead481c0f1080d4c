// The packet layer of transport streams on its own: what a packet header and adaptation field say, the
// continuity of a PID's counters, packets found in a file of each packet size with garbage in front,
// between and behind them, sections put together across packets, and units found in a byte stream handed
// over in pieces.

#include "scan/TsPackets.h"
#include "BitWriter.h"
#include "TsBuilder.h"
#include "base/Streams.h"
#include "codec/CodecRegistry.h"
#include "scan/TsProgramTables.h"
#include "scan/UnitCollector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

// Every packet the reader finds in the file, and what else it tells ("skip a-b", "lost a-b", "cut a").
struct ReadAll {
    std::vector<int64_t> Packets;
    std::vector<bool> StartCodeInside; // of each packet
    std::vector<std::string> Other;
    int64_t Progress = 0;
};

ReadAll Read(TStream &stream, int stride) {
    ReadAll all;
    TTsPacketReader reader(stream, stride, [&all](int64_t position, int64_t) { all.Progress = position; });
    using TKind = TTsPacketReader::TStep::TKind;
    for (TTsPacketReader::TStep step = reader.Next(); step.Kind != TKind::End; step = reader.Next()) {
        const std::string span = std::to_string(step.Offset) + "-" + std::to_string(step.End);
        switch (step.Kind) {
        case TKind::Packet:
            EXPECT_EQ(step.Packet[0], TsSyncByte);
            all.Packets.push_back(step.Offset);
            all.StartCodeInside.push_back(step.StartCodeInside);
            break;
        case TKind::Skipped:
            all.Other.push_back("skip " + span);
            break;
        case TKind::SyncLost:
            all.Other.push_back("lost " + span);
            break;
        case TKind::CutShort:
            all.Other.push_back("cut " + std::to_string(step.Offset));
            break;
        case TKind::End:
            break;
        }
    }
    return all;
}

ReadAll Read(const ByteVector &file, int stride) {
    TMemoryStream stream(file);
    return Read(stream, stride);
}

// Lends its bytes as a file stream lends what it has read ahead: from an offset to the end of the block it
// lies in, never across a block's end, each time a copy of its own (the bytes behind it are not the
// file's);
// with blocks of 0 bytes it lends nothing.
class BlockLendingStream : public TMemoryStream {
public:
    BlockLendingStream(const ByteVector &bytes, int64_t block) : TMemoryStream(bytes), Block(block) {}
    TLentBytes Lend(int64_t offset, size_t count, size_t) override {
        if (Block == 0)
            return {};
        const int64_t end = std::min(Size(), (offset / Block + 1) * Block);
        if (offset + static_cast<int64_t>(count) > end)
            return {};
        auto copy = std::make_shared<ByteVector>(Bytes().begin() + offset, Bytes().begin() + end);
        copy->resize(copy->size() + 256, 0xEE); // what a reader past the end would read
        return {copy, copy->data(), end - offset};
    }
    const int64_t Block;
};

// The header of a packet with each kind of adaptation field, as the builder writes them.
TEST(TsPacketHeader, TheHeaderAndAdaptationFieldSayWhereThePayloadIs) {
    TsBuilder ts;
    TsPacketOptions options;
    options.unitStart = true;
    options.pcr = true;
    options.discontinuity = true;
    options.cc = 9;
    ts.Packet(0x0123, ByteVector(100, 0xAA), options);
    TTsPacketHeader header = ReadTsPacketHeader(ts.Bytes().data());
    EXPECT_EQ(header.Pid, 0x0123);
    EXPECT_TRUE(header.UnitStart && header.HasPayload && header.Discontinuity);
    EXPECT_FALSE(header.Damaged || header.Scrambled || header.Reserved || header.AdaptationPastPacket);
    EXPECT_EQ(header.Counter, 9);
    EXPECT_EQ(header.PayloadAt, 188 - 100);

    ByteVector packet(ts.Bytes().begin(), ts.Bytes().begin() + 188);
    packet[1] |= 0x80; // transport_error_indicator
    packet[3] |= 0xC0; // scrambled with the odd key
    packet[4] = 184;   // an adaptation field past the packet, beside payload
    header = ReadTsPacketHeader(packet.data());
    EXPECT_TRUE(header.Damaged && header.Scrambled && header.AdaptationPastPacket);
    EXPECT_FALSE(header.Discontinuity);
    packet[3] = static_cast<uint8_t>((packet[3] & 0xCF) | 0x20); // adaptation field only: 183 fits
    packet[4] = 183;
    header = ReadTsPacketHeader(packet.data());
    EXPECT_FALSE(header.AdaptationPastPacket || header.HasPayload);
    packet[3] &= 0xCF; // adaptation_field_control 0
    EXPECT_TRUE(ReadTsPacketHeader(packet.data()).Reserved);
}

// The counter of a PID from one packet with payload to the next.
TEST(TsContinuity, CountersInStepRepeatedJumpedOrAnnounced) {
    using TStep = TTsContinuity::TStep;
    TTsContinuity continuity;
    EXPECT_EQ(continuity.Follow(5, false), TStep::First);
    EXPECT_FALSE(continuity.InStep(0));
    continuity.Take(15, 1000, 184);
    EXPECT_EQ(continuity.Follow(0, false), TStep::InStep); // it wraps
    EXPECT_TRUE(continuity.InStep(0));
    EXPECT_EQ(continuity.Follow(15, false), TStep::Same);
    EXPECT_EQ(continuity.Follow(3, false), TStep::Jumped);
    EXPECT_EQ(continuity.Follow(3, true), TStep::Announced);
    EXPECT_EQ(continuity.LastPayloadOffset(), 1000);
    continuity.Announce(); // by a packet without payload
    EXPECT_EQ(continuity.Follow(0, false), TStep::Announced);
    EXPECT_FALSE(continuity.InStep(0));
    continuity.Take(7, 2000, 100);
    EXPECT_EQ(continuity.Follow(8, false), TStep::InStep);
    continuity.Restart();
    EXPECT_EQ(continuity.Follow(8, false), TStep::First);
}

// Packets of each size are found from their sync bytes on, whatever lies in front (in a 192-byte stream
// the first time code is no garbage), behind them, or between them where the sync is lost; a last packet
// cut short is told as such; the whole file is reported read.
TEST(TsPacketReader, PacketsAreFoundInEverySizeAroundGarbage) {
    for (int size : {188, 192, 204}) {
        SCOPED_TRACE(size);
        TsBuilder ts(size);
        ts.Raw(ByteVector(50, 0x47)); // sync bytes, but no packets behind them
        for (int i = 0; i < 6; ++i)
            ts.Packet(0x0100, ByteVector(184, static_cast<uint8_t>(i)));
        ts.Raw(ByteVector(77, 0x00));
        for (int i = 0; i < 5; ++i)
            ts.Packet(0x0100, ByteVector(184, 0x47));
        if (size == 192)
            ts.Raw(ByteVector(4, 0x00)); // the time code of the packet cut short
        ts.Raw(ByteVector{0x47, 0x01, 0x00, 0x10, 0x00});
        const int64_t first = 50 + (size == 192 ? 4 : 0);
        const int64_t second = 50 + 6 * size + 77 + (size == 192 ? 4 : 0);
        const ReadAll all = Read(ts.Bytes(), size);
        // The last packet before the garbage has no sync byte behind it: it may be cut short, and is not
        // read.
        ASSERT_EQ(all.Packets.size(), 10u);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(all.Packets[static_cast<size_t>(i)], first + i * size);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(all.Packets[static_cast<size_t>(5 + i)], second + i * size);
        const int64_t lostAt = first + 5 * size;
        const int64_t tail = second + 5 * size;
        EXPECT_EQ(all.Other, (std::vector<std::string>{
                                 "skip 0-50", "lost " + std::to_string(lostAt) + "-" + std::to_string(second),
                                 "cut " + std::to_string(tail)}));
        EXPECT_EQ(all.Progress, static_cast<int64_t>(ts.Bytes().size()));
    }
    // Bytes of no transport stream are skipped whole.
    const ReadAll none = Read(ByteVector(1000, 0x11), 188);
    EXPECT_TRUE(none.Packets.empty());
    EXPECT_EQ(none.Other, std::vector<std::string>{"skip 0-1000"});
}

// A packet is told to hold a start code when one lies wholly among its bytes, wherever in the payload; one
// split between two packets' payloads is in neither (whoever reads the payloads in turn finds it).
TEST(TsPacketReader, PacketsTellWhetherAStartCodeLiesAmongTheirBytes) {
    auto payload = [](size_t at, const ByteVector &bytes) {
        ByteVector filled(184, 0x5A);
        std::copy(bytes.begin(), bytes.end(), filled.begin() + static_cast<ptrdiff_t>(at));
        return filled;
    };
    const ByteVector startCode{0x00, 0x00, 0x01};
    for (int size : {188, 192, 204}) {
        SCOPED_TRACE(size);
        TsBuilder ts(size);
        ts.Packet(0x0100, payload(90, startCode));            // in the middle
        ts.Packet(0x0100, payload(0, ByteVector(184, 0x5A))); // none
        ts.Packet(0x0100, payload(0, startCode));             // at the payload's start
        ts.Packet(0x0100, payload(181, startCode));           // at its end
        ts.Packet(0x0100, payload(182, {0x00, 0x00}));        // split: 00 00 | 01
        ts.Packet(0x0100, payload(0, {0x01, 0x67}));
        ts.Packet(0x0100, payload(90, {0x00, 0x00, 0x00})); // zeros without the one
        ts.Packet(0x0100, payload(0, ByteVector(184, 0x5A)));
        const ReadAll all = Read(ts.Bytes(), size);
        EXPECT_EQ(all.StartCodeInside,
                  (std::vector<bool>{true, false, true, true, false, false, false, false}));
    }
    // Many packets, more than one filling of the reader's buffer: each start code is told in its packet.
    TsBuilder ts;
    std::vector<bool> expected;
    for (int i = 0; i < 20000; ++i) {
        const bool inside = i % 97 == 0;
        ts.Packet(0x0100, inside ? payload(static_cast<size_t>(i % 180), startCode) : payload(0, {0x5A}));
        expected.push_back(inside);
    }
    EXPECT_EQ(Read(ts.Bytes(), 188).StartCodeInside, expected);
}

// Whatever the stream lends (all of the file, blocks whose ends cut packets, nothing), the packets, what
// lies between them, where start codes are and how far the file was read come out the same. The file is
// larger than the reader's buffer, which is filled where the packets are first looked for.
TEST(TsPacketReader, WhatTheStreamLendsChangesNothing) {
    TsBuilder ts;
    ts.Raw(ByteVector(50, 0x47));
    for (int i = 0; i < 300; ++i)
        ts.Packet(0x0100, ByteVector(184, i % 7 == 0 ? 0x00 : static_cast<uint8_t>(i)));
    ts.Raw(ByteVector(77, 0x00));
    for (int i = 0; i < 12000; ++i) {
        ByteVector payload(184, 0x33);
        payload[static_cast<size_t>(i % 182)] = 0x00;
        payload[static_cast<size_t>(i % 182) + 1] = 0x00;
        payload[static_cast<size_t>(i % 182) + 2] = static_cast<uint8_t>(i % 3 == 0 ? 0x01 : 0x02);
        ts.Packet(0x0100, payload);
    }
    ts.Raw(ByteVector{0x47, 0x01, 0x00, 0x10, 0x00});
    const ReadAll whole = Read(ts.Bytes(), 188);
    ASSERT_EQ(whole.Packets.size(), 12299u);
    for (int64_t block : {0, 1000, 4096, 188 * 8}) {
        SCOPED_TRACE(block);
        BlockLendingStream stream(ts.Bytes(), block);
        const ReadAll read = Read(stream, 188);
        EXPECT_EQ(read.Packets, whole.Packets);
        EXPECT_EQ(read.StartCodeInside, whole.StartCodeInside);
        EXPECT_EQ(read.Other, whole.Other);
        EXPECT_EQ(read.Progress, whole.Progress);
    }
}

// A payload read before is compared with the file's bytes, whether the buffer still holds them or not.
TEST(TsPacketReader, HoldsComparesWithBytesReadBefore) {
    TsBuilder ts;
    for (int i = 0; i < 9000; ++i) // more packets than the buffer holds
        ts.Packet(0x0100, ByteVector(184, static_cast<uint8_t>(i)));
    TMemoryStream stream(ts.Bytes());
    TTsPacketReader reader(stream, 188, nullptr);
    TTsPacketReader::TStep step;
    for (int i = 0; i < 8999; ++i)
        step = reader.Next();
    const ByteVector first(184, 0), other(184, 1);
    EXPECT_TRUE(reader.Holds(4, first.data(), 184));
    EXPECT_FALSE(reader.Holds(4, other.data(), 184));
    const ByteVector last(step.Packet + 4, step.Packet + 188);
    EXPECT_TRUE(reader.Holds(step.Offset + 4, last.data(), 184));
}

// Sections are put together across packets, checked by their CRC, and handed on once while they stay the
// same; a pointer past the packet and a section longer than a program table may be are told.
TEST(TsSectionReader, SectionsAcrossPacketsAreCheckedAndHandedOnOnce) {
    std::vector<std::pair<uint8_t, uint16_t>> streams;
    for (uint16_t i = 0; i < 40; ++i) // 5 bytes each: the section spans two packets
        streams.push_back({static_cast<uint8_t>(i % 2 == 0 ? 0x1B : 0x02), static_cast<uint16_t>(0x100 + i)});
    const ByteVector section = TsBuilder::PmtSection(1, streams);
    ASSERT_GT(section.size(), 184u);
    ByteVector first{0x00};
    first.insert(first.end(), section.begin(), section.begin() + 183);
    const ByteVector second(section.begin() + 183, section.end());

    TTsSectionReader reader;
    std::vector<std::string> notices;
    int handed = 0;
    const TTsNotify notify = [&](TScanNotice::TKind, int64_t, const std::string &text) {
        notices.push_back(text);
    };
    const TTsSectionReader::TOnSection onSection = [&](const std::vector<uint8_t> &whole, int64_t offset) {
        EXPECT_EQ(whole, section);
        EXPECT_EQ(offset, 500);
        const auto table = ReadMapTable(whole);
        EXPECT_TRUE(table.has_value());
        if (table) {
            EXPECT_EQ(table->size(), 40u);
            EXPECT_EQ(table->back().Pid, 0x100 + 39);
            EXPECT_EQ(table->back().StreamType, 0x02);
        }
        ++handed;
        return true;
    };
    for (int repeat = 0; repeat < 2; ++repeat) {
        reader.Read(first.data(), static_cast<int>(first.size()), 500, true, notify, onSection);
        reader.Read(second.data(), static_cast<int>(second.size()), 700, false, notify, onSection);
    }
    EXPECT_EQ(handed, 1);
    EXPECT_TRUE(reader.SectionRead());
    // Lost packets between the two pieces: the section is not read.
    TTsSectionReader broken;
    broken.Read(first.data(), static_cast<int>(first.size()), 500, true, notify, onSection);
    broken.Break();
    broken.Read(second.data(), static_cast<int>(second.size()), 700, false, notify, onSection);
    EXPECT_FALSE(broken.SectionRead());
    EXPECT_TRUE(notices.empty());

    ByteVector damaged{0x00};
    ByteVector bad = TsBuilder::PatSection({{1, 0x1000}});
    bad[9] ^= 1;
    damaged.insert(damaged.end(), bad.begin(), bad.end());
    TTsSectionReader crc;
    crc.Read(damaged.data(), static_cast<int>(damaged.size()), 900, true, notify, onSection);
    ByteVector pointer{200, 0x00};
    crc.Read(pointer.data(), static_cast<int>(pointer.size()), 1100, true, notify, onSection);
    ByteVector tooLong{0x00, 0x02, 0xB4, 0x01};
    crc.Read(tooLong.data(), static_cast<int>(tooLong.size()), 1300, true, notify, onSection);
    EXPECT_EQ(handed, 1);
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_NE(notices[0].find("CRC"), std::string::npos);
    EXPECT_NE(notices[1].find("pointer"), std::string::npos);
    EXPECT_NE(notices[2].find("1028"), std::string::npos);
}

// The tables' entries: the network information table left out of the association table, and a map whose
// entries claim more bytes than it holds read as damaged.
TEST(TsProgramTables, EntriesOfTheAssociationTableAndTheMaps) {
    const std::vector<TTsProgram> programs =
        ReadAssociationTable(TsBuilder::PatSection({{0, 0x0010}, {1, 0x1000}, {2, 0x1100}}));
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[1].Number, 2);
    EXPECT_EQ(programs[1].MapPid, 0x1100);
    ByteVector map = TsBuilder::PmtSection(1, {{0x1B, 0x0100}, {0x24, 0x0101}});
    EXPECT_EQ(ReadMapTable(map)->size(), 2u);
    map[map.size() - 4 - 1] = 0x20; // the last entry's ES_info_length claims 32 bytes
    EXPECT_FALSE(ReadMapTable(map).has_value());
}

// The SPS of an H.264 stream handed over in pieces cut at every place, the start code among them: found
// whole with the file offset of each byte; a start code that a break cuts is no start code.
TEST(UnitCollector, AUnitCutAnywhereIsFoundWholeInPlace) {
    struct Units : TUnitConsumer {
        int Begun = 0;
        std::vector<TNalUnitBytes> Found;
        std::vector<TPlacement> Places;
        void UnitBegins() override { ++Begun; }
        void UnitEnds(TNalUnitBytes unit, TPlacement placement) override {
            Found.push_back(std::move(unit));
            Places.push_back(std::move(placement));
        }
    };
    const TCodec &codec = *CodecByKey("h264")->Codec;
    const ByteVector sps = BuildSps(WithSar(255, 64, 45)).nal;
    ByteVector stream{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
    Append(stream, WithStartCode(sps));
    const size_t spsAt = stream.size() - sps.size();
    Append(stream, ByteVector{0x00, 0x00, 0x01, 0x65, 0x88, 0x84});
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        Units units;
        TUnitCollector collector(codec, units);
        collector.Read(stream.data(), static_cast<int64_t>(cut), 0);
        collector.Read(stream.data() + cut, static_cast<int64_t>(stream.size() - cut), 1000);
        collector.Finish();
        ASSERT_EQ(units.Found.size(), 1u);
        EXPECT_EQ(units.Begun, 1);
        EXPECT_EQ(units.Found[0].Bytes, sps);
        EXPECT_TRUE(units.Found[0].Complete);
        for (size_t i = 0; i < sps.size(); ++i) {
            const size_t at = spsAt + i;
            ASSERT_EQ(units.Places[0].FileOffset(static_cast<int64_t>(i)),
                      at < cut ? static_cast<int64_t>(at) : 1000 + static_cast<int64_t>(at - cut));
        }
        // A break between the pieces: a start code cut by it is not found; one behind it is.
        Units broken;
        TUnitCollector after(codec, broken);
        after.Read(stream.data(), static_cast<int64_t>(cut), 0);
        after.Break();
        after.Read(stream.data() + cut, static_cast<int64_t>(stream.size() - cut), 1000);
        after.Finish();
        EXPECT_EQ(broken.Found.size(), cut + 3 <= spsAt || cut > spsAt ? 1u : 0u);
    }
    // A unit longer than the codec reads is cut there and handed on as not complete.
    ByteVector longUnit{0x00, 0x00, 0x01, 0x67};
    longUnit.resize(static_cast<size_t>(codec.MaxUnitBytes()) + 100, 0x55);
    Units units;
    TUnitCollector collector(codec, units);
    collector.Read(longUnit.data(), static_cast<int64_t>(longUnit.size()), 0);
    ASSERT_EQ(units.Found.size(), 1u);
    EXPECT_FALSE(units.Found[0].Complete);
    EXPECT_EQ(static_cast<int64_t>(units.Found[0].Bytes.size()), codec.MaxUnitBytes());
}

} // namespace
