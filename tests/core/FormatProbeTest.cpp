// Formats told apart by their content, over several places: what a raw stream looks like, and the
// containers that must never be patched as one.

#include "scan/FormatProbe.h"
#include "BitWriter.h"
#include "CoreTestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TFileFormat Probe(const std::vector<uint8_t> &bytes) {
    TMemoryStream stream(bytes);
    return DetectFormat(stream);
}

std::vector<uint8_t> Text(const std::string &text) {
    return {text.begin(), text.end()};
}

// Packets of the given size with sync bytes at syncAt, the stream cut to begin skip bytes in.
std::vector<uint8_t> Packets(size_t packetSize, size_t syncAt, size_t count, size_t skip = 0) {
    std::vector<uint8_t> bytes(packetSize * count, 0x00);
    for (size_t i = 0; i < count; ++i) {
        bytes[i * packetSize + syncAt] = 0x47;
        bytes[i * packetSize + syncAt + 3] = 0x10; // payload only
    }
    return {bytes.begin() + static_cast<ptrdiff_t>(skip), bytes.end()};
}

TEST(FormatProbe, RawStreamsAndTheFormatsThatAreNotOne) {
    EXPECT_EQ(Probe({}), TFileFormat::Unknown);
    EXPECT_EQ(Probe({0x00, 0x00, 0x00, 0x01, 0x67, 0x64}), TFileFormat::RawH264);
    EXPECT_EQ(Probe(Text("RIFF\x04\x00\x00\x00"
                         "AVI ")),
              TFileFormat::Avi);
    for (const char *box : {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot"}) {
        std::vector<uint8_t> mp4{0x00, 0x00, 0x00, 0x08};
        Append(mp4, Text(box));
        EXPECT_EQ(Probe(mp4), TFileFormat::Mp4) << box;
    }
    // EBML with its DocType.
    std::vector<uint8_t> ebml{0x1A, 0x45, 0xDF, 0xA3, 0x8F, 0x42, 0x86, 0x81, 0x01, 0x42, 0x82, 0x88};
    std::vector<uint8_t> matroska = ebml;
    Append(matroska, Text("matroska"));
    std::vector<uint8_t> webm = ebml;
    webm[11] = 0x84;
    Append(webm, Text("webm"));
    EXPECT_EQ(Probe(matroska), TFileFormat::Matroska);
    EXPECT_EQ(Probe(webm), TFileFormat::WebM);
    EXPECT_EQ(Probe({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE,
                     0x6C}),
              TFileFormat::Asf);
    std::vector<uint8_t> nut = Text("nut/multimedia container");
    nut.push_back(0);
    EXPECT_EQ(Probe(nut), TFileFormat::Nut);
    EXPECT_EQ(Probe({'F', 'L', 'V', 0x01, 0x05}), TFileFormat::Flv);
    std::vector<uint8_t> mxf(300, 0xEE); // behind a run-in
    const std::vector<uint8_t> key{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01};
    std::copy(key.begin(), key.end(), mxf.begin() + 120);
    EXPECT_EQ(Probe(mxf), TFileFormat::Mxf);
}

// Sync bytes at a stride from any place in the first packet, for every packet size; also a stream of two
// packets, which a look at three places missed.
TEST(FormatProbe, TransportStreamsFromAnyStart) {
    EXPECT_EQ(Probe(Packets(188, 0, 20)), TFileFormat::MpegTs);
    EXPECT_EQ(Probe(Packets(188, 0, 20, 1)), TFileFormat::MpegTs);
    EXPECT_EQ(Probe(Packets(188, 0, 20, 187)), TFileFormat::MpegTs);
    EXPECT_EQ(Probe(Packets(188, 0, 2)), TFileFormat::MpegTs);
    EXPECT_EQ(Probe(Packets(188, 0, 1)), TFileFormat::MpegTs);
    EXPECT_EQ(Probe(Packets(192, 4, 20)), TFileFormat::M2ts);
    EXPECT_EQ(Probe(Packets(192, 4, 20, 100)), TFileFormat::M2ts);
    EXPECT_EQ(Probe(Packets(204, 0, 20)), TFileFormat::MpegTs204);
    // A damaged packet near the start does not hide the stride; half of them lost, it is no stride.
    std::vector<uint8_t> broken = Packets(188, 0, 16);
    broken[5 * 188] = 0x46;
    EXPECT_EQ(Probe(broken), TFileFormat::MpegTs);
    for (size_t packet : {1, 3, 7, 9, 11, 13, 15})
        broken[packet * 188] = 0x46;
    EXPECT_EQ(Probe(broken), TFileFormat::Unknown);
}

// Packets behind more than a packet of other bytes (a capture that begins with something else) are still
// found, so that no scanner takes the file for a raw stream; seven sync bytes in a row are not enough.
TEST(FormatProbe, TransportStreamsBehindOtherBytes) {
    for (const auto &[size, syncAt, format] :
         {std::tuple{188u, 0u, TFileFormat::MpegTs}, std::tuple{192u, 4u, TFileFormat::M2ts},
          std::tuple{204u, 0u, TFileFormat::MpegTs204}}) {
        std::vector<uint8_t> bytes(5000, 0x11);
        bytes[0] = bytes[1] = bytes[2] = 0x00;
        bytes[3] = 0x01;
        bytes[4] = 0x67;
        Append(bytes, Packets(size, syncAt, 8));
        EXPECT_EQ(Probe(bytes), format) << size;
        bytes.resize(bytes.size() - size);
        EXPECT_EQ(Probe(bytes), TFileFormat::RawH264) << size;
    }
}

// A raw stream that happens to hold 0x47 at a packet stride in a few places stays a raw stream.
TEST(FormatProbe, AFewSyncBytesInARawStreamMakeNoTransportStream) {
    std::vector<uint8_t> raw(600, 0x11);
    raw[0] = 0x00;
    raw[1] = 0x00;
    raw[2] = 0x00;
    raw[3] = 0x01;
    raw[4] = 0x67;
    for (size_t at : {50u, 238u, 426u}) {
        raw[at] = 0x47;
        raw[at + 3] = 0x10;
    }
    EXPECT_EQ(Probe(raw), TFileFormat::RawH264);
}

// A pack header or a PES packet at the start: no H.264 unit can begin with such a code, so the file is no
// raw stream, whatever its lengths say.
TEST(FormatProbe, ProgramStreamsByTheirFirstStartCode) {
    std::vector<uint8_t> pack{0x00, 0x00, 0x01, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8};
    Append(pack, {0x00, 0x00, 0x01, 0xE0, 0x00, 0x03, 0x80, 0x00, 0x00});
    EXPECT_EQ(Probe(pack), TFileFormat::MpegPs);
    EXPECT_EQ(Probe({0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x67}),
              TFileFormat::MpegPs);
    EXPECT_EQ(Probe({0x00, 0x00, 0x00, 0x01, 0xBA, 0x44}), TFileFormat::MpegPs);
    EXPECT_EQ(Probe({0x00, 0x00, 0x01, 0xC0, 0x12}), TFileFormat::MpegPs);
    // Start codes of NAL units are raw streams.
    EXPECT_EQ(Probe({0x00, 0x00, 0x01, 0x09, 0xF0}), TFileFormat::RawH264);
    EXPECT_EQ(Probe({0x00, 0x00, 0x01, 0x67, 0x42}), TFileFormat::RawH264);
}

// A media segment of a fragmented stream (DASH, CMAF) begins with styp, sidx or moof: an MP4 file, never a
// raw stream. Such a name behind a start code makes no MP4 file: its first byte read as a NAL header is a
// type no H.264 stream opens with, so no format claims the bytes.
TEST(FormatProbe, FragmentSegmentsAreIsoBaseMedia) {
    for (const char *box : {"styp", "sidx", "moof"}) {
        std::vector<uint8_t> segment{0x00, 0x00, 0x00, 0x18};
        Append(segment, Text(box));
        segment.resize(0x18, 0);
        EXPECT_EQ(Probe(segment), TFileFormat::Mp4) << box;
        std::vector<uint8_t> raw{0x00, 0x00, 0x00, 0x01};
        Append(raw, Text(box));
        Append(raw, {0x00, 0x00, 0x00, 0x01, 0x67, 0x64});
        EXPECT_EQ(Probe(raw), TFileFormat::Unknown) << box;
    }
}

} // namespace
