// Files made to break the program, one kind of attack each: deep nesting, lying sizes, damaged and cut
// SPS, runs of zeros, floods of chunks and SPS, and containers dressed as raw streams. Whatever the input,
// the scan ends with what it could read and a clear account of the rest, and a save writes only the
// places it planned, or nothing.

#include "BitWriter.h"
#include "H264StreamScan.h"
#include "RiffBuilder.h"
#include "TestFiles.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "scan/ScanSession.h"
#include "scan/Scanner.h"
#include "scan/uRIFFParser.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::vector<uint8_t> SpsUnit(const SpsFields &fields) {
    return WithStartCode(BuildSps(fields).nal);
}

const std::vector<uint8_t> Pps{0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x38, 0x80};

// What a scan of bytes held in memory found, and how it ended.
struct Scanned {
    std::unique_ptr<TScanSession> Session = std::make_unique<TScanSession>();
    std::string Error;
    std::vector<TScanNotice> Notices;
};

template <typename TScanner> Scanned ScanBytes(const std::vector<uint8_t> &bytes, bool deep = true) {
    Scanned scanned;
    TScanner parser(*scanned.Session);
    parser.DeepScan = deep;
    parser.Events.OnForeignHandler = [](const std::string &) { return true; };
    TMemoryStream stream(bytes);
    try {
        parser.Scan(stream);
    } catch (const Exception &error) {
        scanned.Error = error.what();
    }
    scanned.Notices = scanned.Session->Notices;
    return scanned;
}

// Sets every row to the ratio, writes the plan into a copy of the bytes, and returns the copy; the bytes
// outside the plan's places must be unchanged.
std::vector<uint8_t> SaveInCopy(Scanned &scanned, const std::vector<uint8_t> &bytes, uint8_t idc,
                                int32_t width = 0, int32_t height = 0) {
    TARInfoList &list = scanned.Session->ARInfoList;
    for (size_t i = 0; i < list.Count(); ++i) {
        list.Items(i)->NewAspectRatioIdc = idc;
        list.Items(i)->NewSarWidth = idc == 255 ? width : PredefinedSarWidth(idc);
        list.Items(i)->NewSarHeight = idc == 255 ? height : PredefinedSarHeight(idc);
    }
    TPatchPlan plan = list.PlanChanges();
    std::set<int64_t> planned;
    for (const TPlanEntry &entry : plan.Entries)
        for (const TPatch &patch : entry.Patches)
            for (int64_t at = patch.FileOffset; at < patch.End(); ++at)
                planned.insert(at);
    TMemoryStream copy(bytes);
    EXPECT_TRUE(plan.Check(copy).empty());
    plan.Apply(copy);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (planned.count(static_cast<int64_t>(i)) == 0) {
            EXPECT_EQ(copy.Bytes()[i], bytes[i]) << "byte " << i << " changed outside the plan";
        }
    }
    return copy.Bytes();
}

ByteVector VideoStreamList(const std::vector<ByteVector> &extra) {
    std::vector<ByteVector> children{RiffChunk("strh", StreamHeader("vids", "H264")),
                                     RiffChunk("strf", ByteVector(40))};
    children.insert(children.end(), extra.begin(), extra.end());
    return RiffList("LIST", "strl", children);
}

// The 68 bytes of a video properties chunk that states width:height at 720x576.
ByteVector VideoProperties(uint16_t width, uint16_t height) {
    ByteVector payload(68, 0);
    PutLittleEndian(payload, 20, (uint32_t{width} << 16) | height);
    PutLittleEndian(payload, 24, 720);
    PutLittleEndian(payload, 28, 576);
    return RiffChunk("vprp", payload);
}

std::vector<uint8_t> Sps720x576(uint16_t sarWidth, uint16_t sarHeight) {
    std::vector<uint8_t> unit = SpsUnit(At720x576(WithSar(255, sarWidth, sarHeight)));
    Append(unit, Pps);
    return unit;
}

// ---- Recursion and loops over the structure ----

// Lists nested 70,000 deep: refused with a clear error at the depth limit, at once, without recursion.
TEST(AdversarialAvi, DeepNestingIsRefusedWithoutRecursion) {
    constexpr size_t Depth = 70000;
    ByteVector file = RiffHeader("RIFF", static_cast<uint32_t>(4 + 12 * Depth));
    Append(file, {'A', 'V', 'I', ' '});
    for (size_t level = 0; level < Depth; ++level) {
        Append(file, RiffHeader("LIST", static_cast<uint32_t>(4 + 12 * (Depth - level - 1))));
        Append(file, {'d', 'e', 'e', 'p'});
    }
    Scanned scanned = ScanBytes<TRIFFParser>(file);
    // The root is the first level: the list that would be the 65th is named.
    EXPECT_EQ(scanned.Error,
              Format(SRIFFTooDeep, TRIFFParser::MaxListDepth, 12 + 12 * (TRIFFParser::MaxListDepth - 1)));

    // Nesting up to the limit is walked, and what lies at the bottom is found.
    ByteVector bottom = RiffChunk("00dc", Sps720x576(64, 45));
    for (size_t level = 0; level + 2 < TRIFFParser::MaxListDepth; ++level)
        bottom = RiffList("LIST", "deep", {bottom});
    Scanned walked = ScanBytes<TRIFFParser>(RiffList("RIFF", "AVI ", {RiffList("LIST", "movi", {bottom})}));
    EXPECT_EQ(walked.Error, "");
    EXPECT_EQ(walked.Session->ARInfoList.Count(), 1u);
}

// ---- Ownership ----

// A second vprp in one stream list: the statement is ambiguous, is left unwritten, and says why; nothing
// refers to a statement that was replaced.
TEST(AdversarialAvi, TwoVideoPropertiesChunksLeaveTheContainerUnwritten) {
    const ByteVector file =
        AviFile({VideoStreamList({VideoProperties(16, 9), VideoProperties(4, 3)})},
                {RiffChunk("00dc", Sps720x576(64, 45)), RiffChunk("00dc", Sps720x576(64, 45))});
    Scanned scanned = ScanBytes<TRIFFParser>(file);
    ASSERT_EQ(scanned.Error, "");
    ASSERT_EQ(scanned.Session->Tracks.size(), 1u);
    const TTrack &track = scanned.Session->Tracks.front();
    EXPECT_EQ(track.StatedDisplayAspectRatio().X, 16);
    EXPECT_EQ(track.NotWritten, Format(SSecondVprp, "stream 0"));
    ASSERT_EQ(scanned.Session->ARInfoList.Count(), 2u);
    EXPECT_EQ(scanned.Session->ARInfoList.Items(0)->Track, &track);

    TPatchPlan plan = scanned.Session->ARInfoList.PlanChanges();
    scanned.Session->ARInfoList.Items(0)->NewAspectRatioIdc = 255;
    scanned.Session->ARInfoList.Items(0)->NewSarWidth = 16;
    scanned.Session->ARInfoList.Items(0)->NewSarHeight = 15;
    plan = scanned.Session->ARInfoList.PlanChanges();
    EXPECT_EQ(plan.Notes, std::vector<std::string>{track.NotWritten});
    ASSERT_EQ(plan.Entries.size(), 1u);
    EXPECT_EQ(plan.Entries[0].Kind, TPlanEntry::TKind::Row);
}

// The same ambiguous statement on a track whose SPS carry no ratio: its container row can not be written,
// and a change of it is refused for that reason, never planned as nothing and reported done.
TEST(AdversarialAvi, TwoVideoPropertiesChunksRefuseAContainerOnlyChange) {
    SpsFields noRatio = At720x576(WithSar(0));
    noRatio.aspect_ratio_info_present_flag = 0;
    const ByteVector file = AviFile({VideoStreamList({VideoProperties(16, 9), VideoProperties(4, 3)})},
                                    {RiffChunk("00dc", SpsUnit(noRatio))});
    Scanned scanned = ScanBytes<TRIFFParser>(file);
    ASSERT_EQ(scanned.Error, "");
    ASSERT_EQ(scanned.Session->ARInfoList.Count(), 1u);
    TARInfo &row = *scanned.Session->ARInfoList.Items(0);
    ASSERT_TRUE(row.IsContainerRow());
    TRatioChange change;
    change.Kind = TRatioChange::TKind::Dar;
    change.Ratio = {4, 3};
    ASSERT_EQ(change.ApplyTo(row), "");
    ASSERT_TRUE(row.IsChanged());
    TPatchPlan plan = scanned.Session->ARInfoList.PlanChanges();
    EXPECT_TRUE(plan.Entries.empty());
    ASSERT_EQ(plan.Refusals.size(), 1u);
    EXPECT_EQ(plan.Refusals[0].Reason, Format(SSecondVprp, "stream 0"));
}

// ---- Lying sizes ----

// A RIFF chunk that claims less than its first list, and an "AVIX" chunk right where it claims to end,
// whose data chunk covers bytes of the stream list: no byte is walked as two things, so the SPS in it and
// a vprp can never be written over each other, and a save writes only its planned places.
TEST(AdversarialAvi, ChunksThatOverlapByTheirSizesAreWalkedOnce) {
    const ByteVector sps = Sps720x576(64, 45);
    // The header list, with an AVIX chunk hidden in a JUNK chunk after the stream list.
    ByteVector avix = RiffHeader("RIFF", static_cast<uint32_t>(4 + 12 + 8 + sps.size()));
    Append(avix, {'A', 'V', 'I', 'X'});
    Append(avix, RiffHeader("LIST", static_cast<uint32_t>(4 + 8 + sps.size())));
    Append(avix, {'m', 'o', 'v', 'i'});
    Append(avix, RiffHeader("00dc", static_cast<uint32_t>(sps.size())));
    Append(avix, sps);
    const ByteVector hdrl =
        RiffList("LIST", "hdrl", {VideoStreamList({VideoProperties(16, 9)}), RiffChunk("JUNK", avix)});
    ByteVector file = RiffList("RIFF", "AVI ", {hdrl, RiffList("LIST", "movi", {RiffChunk("00dc", sps)})});
    // The RIFF chunk ends where the AVIX chunk begins.
    const std::string text(file.begin(), file.end());
    const size_t avixAt = text.find("AVIX") - 8;
    ASSERT_EQ(text.substr(avixAt, 4), "RIFF");
    PutLittleEndian(file, 4, static_cast<uint32_t>(avixAt - 8));

    Scanned scanned = ScanBytes<TRIFFParser>(file);
    EXPECT_EQ(scanned.Error, "");
    // The lists that claim more than the RIFF chunk holds are read to its end, and told; the AVIX chunk at
    // its end is walked; what follows it (the first chunk's own movie list, out of its reach) is told as
    // not scanned.
    ASSERT_EQ(scanned.Notices.size(), 3u);
    EXPECT_EQ(scanned.Notices[0].Text, Format(SChunkPastList, "LIST", 12, 0));
    EXPECT_EQ(scanned.Notices[2].Kind, TScanNotice::TKind::NotScanned);
    ASSERT_EQ(scanned.Session->ARInfoList.Count(), 1u);
    EXPECT_GT(scanned.Session->ARInfoList.Items(0)->SpsOffset(), static_cast<int64_t>(avixAt));
    // Every row is changed, and the plan writes only where it says.
    const std::vector<uint8_t> saved = SaveInCopy(scanned, file, 255, 16, 15);
    Scanned again = ScanBytes<TRIFFParser>(saved);
    for (size_t i = 0; i < again.Session->ARInfoList.Count(); ++i)
        EXPECT_EQ(again.Session->ARInfoList.Items(i)->SarText(), "16:15");
}

// Sizes of 0, and sizes past the end of the file, as unfinished recordings leave them: the walk goes as far
// as the data, every SPS is found, and a save changes them all.
TEST(AdversarialAvi, SizesOfZeroOrPastTheEndAreReadToTheEndOfTheFile) {
    const ByteVector sps = Sps720x576(64, 45);
    const ByteVector first = AviFile({VideoStreamList({})}, {RiffChunk("00dc", sps), RiffChunk("00dc", sps)});
    const ByteVector extension = RiffList(
        "RIFF", "AVIX", {RiffList("LIST", "movi", {RiffChunk("00dc", sps), RiffChunk("00dc", sps)})});
    struct Case {
        const char *what;
        size_t at;     // where the size field lies
        uint32_t size; // what it claims
    };
    for (const Case &c :
         {Case{"AVIX chunk of size 0", first.size() + 4, 0}, Case{"first RIFF chunk of size 0", 4, 0},
          Case{"RIFF chunk past the end", 4, 0xFFFFFFFF},
          Case{"AVIX chunk past the end", first.size() + 4, 0xFFFFFFFF}}) {
        SCOPED_TRACE(c.what);
        ByteVector file = first;
        Append(file, extension);
        PutLittleEndian(file, c.at, c.size);
        Scanned scanned = ScanBytes<TRIFFParser>(file);
        EXPECT_EQ(scanned.Error, "");
        EXPECT_EQ(scanned.Session->ARInfoList.Count(), 4u);
        const std::vector<uint8_t> saved = SaveInCopy(scanned, file, 255, 16, 15);
        EXPECT_EQ(ScanBytes<TRIFFParser>(saved).Session->ARInfoList.Items(3)->SarText(), "16:15");
    }
    // A movie list of size 0 holds what follows it.
    ByteVector file = first;
    const size_t movi = file.size() - 2 * RiffChunk("00dc", sps).size() - 12;
    ASSERT_EQ(std::string(file.begin() + static_cast<ptrdiff_t>(movi) + 8,
                          file.begin() + static_cast<ptrdiff_t>(movi) + 12),
              "movi");
    PutLittleEndian(file, movi + 4, 0);
    EXPECT_EQ(ScanBytes<TRIFFParser>(file).Session->ARInfoList.Count(), 2u);
}

// Whatever follows the last RIFF chunk and is none is named as not scanned.
TEST(AdversarialAvi, BytesBehindTheLastChunkAreToldAsNotScanned) {
    ByteVector file = AviFile({VideoStreamList({})}, {RiffChunk("00dc", Sps720x576(64, 45))});
    const auto end = static_cast<int64_t>(file.size());
    Append(file, SpsUnit(WithSar(1)));
    Scanned scanned = ScanBytes<TRIFFParser>(file);
    EXPECT_EQ(scanned.Session->ARInfoList.Count(), 1u);
    ASSERT_EQ(scanned.Notices.size(), 1u);
    EXPECT_EQ(scanned.Notices[0].Kind, TScanNotice::TKind::NotScanned);
    EXPECT_EQ(scanned.Notices[0].Text, Format(STailNotScanned, end, static_cast<int64_t>(file.size())));
}

// A chunk of 27 bytes whose payload begins 01 67: the zeros of its size field (1B 00 00 00) are no part
// of its payload, so there is no start code, and nothing is listed or written there.
TEST(AdversarialAvi, NoStartCodeIsMadeOfTheBytesInFrontOfAChunk) {
    const BuiltSps built = BuildSps(WithSar(255, 64, 45));
    ByteVector payload{0x01};
    Append(payload, built.nal);
    payload.resize(27, 0x80);
    const ByteVector file = AviFile({VideoStreamList({})}, {RiffChunk("00dc", payload)});
    const std::string text(file.begin(), file.end());
    ASSERT_EQ(file[text.find("00dc") + 5], 0x00); // the size field's zeros right in front of the 01
    Scanned scanned = ScanBytes<TRIFFParser>(file);
    EXPECT_EQ(scanned.Error, "");
    EXPECT_EQ(scanned.Session->RatioUnitCount, 0);
    EXPECT_EQ(scanned.Session->ARInfoList.Count(), 0u);
}

// ---- SPS bound to their own NAL units ----

// An SPS cut short by the next start code: its syntax is read within its own bytes only, so sar_height is
// never read from the start code, it is no row, and the PPS behind it is never written.
TEST(AdversarialStream, AnSpsCutByTheNextStartCodeIsDamagedNotARow) {
    const BuiltSps built = BuildSps(WithSar(255, 64, 45));
    std::vector<uint8_t> file = WithStartCode(std::vector<uint8_t>(
        built.nal.begin(), built.nal.begin() + static_cast<ptrdiff_t>(built.vuiByte + 3)));
    Append(file, Pps);
    Append(file, SpsUnit(WithSar(1)));
    Scanned scanned = ScanBytes<TH264StreamParser>(file);
    EXPECT_EQ(scanned.Error, "");
    ASSERT_EQ(scanned.Session->ARInfoList.Count(), 1u);
    EXPECT_EQ(scanned.Session->ARInfoList.Items(0)->SarText(), "1:1");
    EXPECT_EQ(scanned.Session->DamagedUnitCount, 1);
    ASSERT_EQ(scanned.Notices.size(), 1u);
    EXPECT_EQ(scanned.Notices[0].Text, Format(SDamagedUnit, "SPS", 4, SUnitCutShort));
    const std::vector<uint8_t> saved = SaveInCopy(scanned, file, 14);
    EXPECT_TRUE(std::equal(file.begin(),
                           file.begin() + static_cast<ptrdiff_t>(built.vuiByte + 3 + 4 + Pps.size()),
                           saved.begin()));
}

// A damaged SPS between good ones, a start code at the very end, an SPS cut by the end of its AVI chunk:
// each is told with its place, and the scan goes on.
TEST(AdversarialStream, OneBadSpotDoesNotHideTheRest) {
    SpsFields bad = WithSar(1);
    bad.seq_parameter_set_id = 40;
    std::vector<uint8_t> stream = SpsUnit(WithSar(2));
    const auto badAt = static_cast<int64_t>(stream.size()) + 4;
    Append(stream, SpsUnit(bad));
    Append(stream, SpsUnit(WithSar(3)));
    Append(stream, {0x00, 0x00, 0x00, 0x01});
    Scanned scanned = ScanBytes<TH264StreamParser>(stream);
    EXPECT_EQ(scanned.Error, "");
    EXPECT_EQ(scanned.Session->ARInfoList.Count(), 2u);
    EXPECT_EQ(scanned.Session->RatioUnitCount, 2);
    ASSERT_EQ(scanned.Notices.size(), 1u);
    EXPECT_EQ(scanned.Notices[0].FileOffset, badAt);
    EXPECT_EQ(scanned.Notices[0].Text,
              Format(SDamagedUnit, "SPS", badAt, "seq_parameter_set_id is 40, outside 0..31."));

    // In an AVI, the first chunk holds only the first bytes of an SPS; the next chunk a whole one.
    const std::vector<uint8_t> whole = Sps720x576(64, 45);
    const ByteVector file = AviFile(
        {VideoStreamList({})}, {RiffChunk("00dc", std::vector<uint8_t>(whole.begin(), whole.begin() + 12)),
                                RiffChunk("00dc", whole)});
    Scanned avi = ScanBytes<TRIFFParser>(file);
    EXPECT_EQ(avi.Error, "");
    EXPECT_EQ(avi.Session->ARInfoList.Count(), 1u);
    EXPECT_EQ(avi.Session->DamagedUnitCount, 1);
}

// An SPS header followed by a long run of zeros: the unit ends at the first three zeros, and the zeros are
// not counted bit by bit.
TEST(AdversarialStream, ARunOfZerosBehindAnSpsHeaderEndsItAtOnce) {
    std::vector<uint8_t> file{0x00, 0x00, 0x00, 0x01, 0x67, 0x64, 0x00, 0x28};
    file.resize(32 << 20, 0x00);
    Scanned scanned = ScanBytes<TH264StreamParser>(file);
    EXPECT_EQ(scanned.Error, "");
    EXPECT_EQ(scanned.Session->DamagedUnitCount, 1);
    EXPECT_EQ(scanned.Session->ARInfoList.Count(), 0u);
}

// ---- Memory ----

// A million repeated SPS: every row shares one decoded SPS, so a row costs little.
TEST(AdversarialStream, RepeatedSpsShareOneDecodedUnit) {
    const std::vector<uint8_t> unit = SpsUnit(WithSar(255, 64, 45));
    std::vector<uint8_t> file;
    file.reserve(unit.size() * 200000);
    for (int i = 0; i < 200000; ++i)
        Append(file, unit);
    Scanned scanned = ScanBytes<TH264StreamParser>(file);
    ASSERT_EQ(scanned.Session->ARInfoList.Count(), 200000u);
    const TRatioUnit *shared = scanned.Session->ARInfoList.Items(0)->Unit;
    for (size_t i = 1; i < scanned.Session->ARInfoList.Count(); ++i)
        ASSERT_EQ(scanned.Session->ARInfoList.Items(i)->Unit, shared);
    EXPECT_LE(sizeof(TARInfo), 128u);
}

// Hundreds of thousands of small data chunks: the walk keeps none of them that holds no SPS.
TEST(AdversarialAvi, SmallChunksWithoutSpsAreNotKept) {
    std::vector<ByteVector> chunks(300000, RiffChunk("01wb", ByteVector(8, 0x55)));
    chunks[150000] = RiffChunk("00dc", Sps720x576(64, 45));
    const ByteVector file = AviFile({VideoStreamList({})}, chunks);
    TScanSession session;
    TRIFFParser parser(session);
    TMemoryStream stream(file);
    parser.Scan(stream);
    EXPECT_EQ(session.ARInfoList.Count(), 1u);
    size_t kept = 0;
    std::vector<const TGenericRIFFChunk *> open{parser.RootChunk.get()};
    while (!open.empty()) {
        const TGenericRIFFChunk *chunk = open.back();
        open.pop_back();
        ++kept;
        for (const auto &child : chunk->Children)
            open.push_back(child.get());
    }
    EXPECT_LT(kept, 20u);
}

// ---- Containers that are not raw streams ----

// A transport stream that begins inside a packet, one of two packets, a program stream that begins at a
// PES packet: none of them is scanned or patched as a raw stream.
TEST(AdversarialStream, ContainersAreNeverScannedAsRawStreams) {
    auto packets = [](size_t count, size_t skip) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < count; ++i) {
            std::vector<uint8_t> packet(188, 0xFF);
            packet[0] = 0x47;
            packet[1] = 0x41;
            packet[3] = 0x10;
            const std::vector<uint8_t> sps = SpsUnit(WithSar(1));
            std::copy(sps.begin(), sps.end(), packet.begin() + 20);
            Append(bytes, packet);
        }
        return std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(skip), bytes.end());
    };
    std::vector<uint8_t> pes{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00};
    Append(pes, SpsUnit(WithSar(1)));
    for (const auto &bytes : {packets(10, 1), packets(2, 0), pes}) {
        Scanned scanned = ScanBytes<TH264StreamParser>(bytes);
        EXPECT_EQ(scanned.Error, SNotARawStream);
        EXPECT_EQ(scanned.Session->ARInfoList.Count(), 0u);
    }
}

} // namespace
