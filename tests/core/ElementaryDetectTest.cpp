// Elementary streams told apart by their first units, from hand-built heads: what each codec may open a
// stream with, the start code values the codecs share, and heads no rule claims.

#include "codec/ElementaryDetect.h"
#include "base/Streams.h"
#include "codec/CodecRegistry.h"
#include "scan/FormatProbe.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Units behind start codes of the given length (3: 00 00 01, as MPEG video writes them; 4: 00 00 00 01).
Bytes Units(std::initializer_list<Bytes> units, size_t codeLength = 4) {
    Bytes bytes;
    for (const Bytes &unit : units) {
        bytes.insert(bytes.end(), codeLength - 1, 0x00);
        bytes.push_back(0x01);
        bytes.insert(bytes.end(), unit.begin(), unit.end());
    }
    return bytes;
}
Bytes Codes(std::initializer_list<Bytes> units) {
    return Units(units, 3);
}

std::string Detect(const Bytes &bytes) {
    return DetectElementaryCodec(bytes.data(), bytes.size());
}

TFileFormat Probe(const Bytes &bytes) {
    TMemoryStream stream(bytes);
    return DetectFormat(stream);
}

const Bytes H264Sps{0x67, 0x64, 0x00, 0x1E, 0xAC, 0xD9};
const Bytes H264Pps{0x68, 0xEB, 0xE3, 0xCB};
const Bytes H264Idr{0x65, 0x88, 0x84, 0x00};
const Bytes H264Delimiter{0x09, 0xF0};
const Bytes HevcVps{0x40, 0x01, 0x0C, 0x01};
const Bytes HevcSps{0x42, 0x01, 0x01, 0x01};
const Bytes HevcPps{0x44, 0x01, 0xC1, 0x72};
const Bytes HevcIdr{0x26, 0x01, 0xAF, 0x00}; // IDR_W_RADL, TemporalId 0
// MPEG-1/2: a sequence header of 720x576 with the aspect ratio and frame rate codes given and its marker
// bit set (or not), a sequence extension, a group of pictures, a picture.
Bytes SequenceHeader(int aspectCode = 2, int frameRateCode = 3, bool marker = true, int width = 720) {
    return {0xB3,
            static_cast<uint8_t>(width >> 4),
            static_cast<uint8_t>(((width & 0x0F) << 4) | 0x02),
            0x40,
            static_cast<uint8_t>((aspectCode << 4) | frameRateCode),
            0xFF,
            0xFF,
            static_cast<uint8_t>(marker ? 0xFF : 0xDF),
            0x80};
}
const Bytes SequenceExtension{0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00};
const Bytes GroupOfPictures{0xB8, 0x00, 0x08, 0x00};
const Bytes Picture{0x00, 0x00, 0x0F, 0xFF, 0xF8};
// MPEG-4 Part 2: visual object sequence (Simple profile, level 1), visual object, video object 0, a
// video object layer of the object type given (1: Simple), a VOP.
const Bytes VisualObjectSequence{0xB0, 0x01};
const Bytes VisualObject{0xB5, 0x09};
const Bytes VideoObject{0x00};
Bytes VideoObjectLayer(int objectType = 1) {
    return {0x20, static_cast<uint8_t>(objectType >> 1), static_cast<uint8_t>(((objectType & 1) << 7) | 0x04),
            0x5D, 0x4C};
}
const Bytes Vop{0xB6, 0x10, 0x60};

TEST(ElementaryDetect, EachCodecByWhatItOpensAStreamWith) {
    EXPECT_EQ(Detect(Units({H264Sps, H264Pps, H264Idr})), "h264");
    EXPECT_EQ(Detect(Codes({H264Sps, H264Pps, H264Idr})), "h264");
    EXPECT_EQ(Detect(Units({H264Delimiter, H264Sps, H264Pps, H264Idr})), "h264");
    EXPECT_EQ(Detect(Units({{0x06, 0x05, 0x10}, H264Idr})), "h264"); // SEI first
    EXPECT_EQ(Detect(Units({H264Sps})), "h264");                     // a head of one unit

    EXPECT_EQ(Detect(Units({HevcVps, HevcSps, HevcPps, HevcIdr})), "hevc");
    EXPECT_EQ(Detect(Units({{0x46, 0x01, 0x50}, HevcVps, HevcSps})), "hevc"); // delimiter first
    EXPECT_EQ(Detect(Units({HevcIdr, {0x02, 0x01, 0xD0}})), "hevc");          // a random access picture

    // A sequence extension right behind the sequence header makes it MPEG-2.
    EXPECT_EQ(Detect(Codes({SequenceHeader(), SequenceExtension, GroupOfPictures, Picture})), "mpeg2video");
    EXPECT_EQ(Detect(Codes({SequenceHeader(), GroupOfPictures, Picture})), "mpeg1video");
    EXPECT_EQ(Detect(Codes({SequenceHeader(14, 8)})), "mpeg1video"); // MPEG-1's own pixel ratio codes

    EXPECT_EQ(Detect(Codes({VisualObjectSequence, VisualObject, VideoObject, VideoObjectLayer(), Vop})),
              "mpeg4visual");
    EXPECT_EQ(Detect(Codes({VisualObject, VideoObject, VideoObjectLayer()})), "mpeg4visual");
    EXPECT_EQ(Detect(Codes({VideoObject, VideoObjectLayer(), Vop})), "mpeg4visual");
    EXPECT_EQ(Detect(Codes({VideoObjectLayer(4), Vop})), "mpeg4visual");
}

// Header values the codecs share are settled by the units that follow, and by what may open a stream.
TEST(ElementaryDetect, SharedStartCodeValuesAreSettledByTheUnitsAround) {
    // An SPS of nal_ref_idc 1 (0x27) is a video object layer code too; the units behind it are H.264's.
    EXPECT_EQ(Detect(Units({{0x27, 0x42, 0xC0, 0x1E}, {0x28, 0xCE, 0x3C, 0x80}, {0x25, 0x88, 0x80}})),
              "h264");
    // A video object code 9 is an H.264 delimiter's header byte: a delimiter carries a byte, the video
    // object nothing but the layer behind it.
    EXPECT_EQ(Detect(Codes({{0x09}, VideoObjectLayer(), Vop})), "mpeg4visual");
    EXPECT_EQ(Detect(Units({{0x09}, VideoObjectLayer(), Vop})), "mpeg4visual"); // a zero byte in front
    EXPECT_EQ(Detect(Codes({H264Delimiter, {0x21, 0x00, 0x84}, Vop})), "");
    // HEVC's random access picture (0x26 0x01) reads as a video object layer of object type 2; HEVC's
    // headers are looked at first, and a VOP behind it is no HEVC unit.
    EXPECT_EQ(Detect(Units({HevcIdr})), "hevc");
    EXPECT_EQ(Detect(Codes({{0x26, 0x01, 0x00, 0x00}, Vop})), "mpeg4visual");
    // HEVC's delimiter and VPS break H.264's rules (an SEI of nal_ref_idc 2, a type 0), and H.264's SPS
    // is a reserved HEVC type.
    EXPECT_EQ(Detect(Units({{0x46, 0x01, 0x50}})), "hevc");
    EXPECT_EQ(Detect(Units({HevcVps})), "hevc");
    EXPECT_EQ(Detect(Units({H264Sps, H264Pps})), "h264");
    // An HEVC SPS of a layer above 0 opens no stream.
    EXPECT_EQ(Detect(Units({{0x42, 0x09, 0x01}, HevcPps})), "");
}

TEST(ElementaryDetect, HeadsNoRuleClaims) {
    EXPECT_EQ(Detect({}), "");
    EXPECT_EQ(Detect({0x00, 0x00, 0x01}), "");                           // no header behind the code
    EXPECT_EQ(Detect({0x12, 0x00, 0x00, 0x01, 0x67, 0x64}), "");         // the code not at the start
    EXPECT_EQ(Detect({'R', 'I', 'F', 'F', 0x00, 0x00, 0x01, 0x67}), ""); // no code at all first
    EXPECT_EQ(Detect(Units({{0x00, 0x00}})), "");                        // a video object alone
    EXPECT_EQ(Detect(Units({H264Sps, Vop})), "");                        // a VOP is no H.264 unit
    EXPECT_EQ(Detect(Units({{0x6D, 0x6F, 0x6F, 0x66}})), "");            // SPS extension first
    EXPECT_EQ(Detect(Units({{0x65 & 0x1F, 0x88}})), "");                 // an IDR slice of nal_ref_idc 0
    EXPECT_EQ(Detect(Codes({VideoObjectLayer(0), Vop})), "");            // object type 0 is reserved
    // Sequence headers with a field the standards forbid or reserve.
    EXPECT_EQ(Detect(Codes({SequenceHeader(0), SequenceExtension})), "");
    EXPECT_EQ(Detect(Codes({SequenceHeader(15), SequenceExtension})), "");
    EXPECT_EQ(Detect(Codes({SequenceHeader(2, 0), SequenceExtension})), "");
    EXPECT_EQ(Detect(Codes({SequenceHeader(2, 9), SequenceExtension})), "");
    EXPECT_EQ(Detect(Codes({SequenceHeader(2, 3, false), SequenceExtension})), "");
    EXPECT_EQ(Detect(Codes({SequenceHeader(2, 3, true, 0), SequenceExtension})), "");
    EXPECT_EQ(Detect({0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02}), ""); // a sequence header cut short
}

// The format of a file follows its codec; only the elementary stream of a codec the program reads is
// scanned, and a file no detector claims is of unknown format, never a raw H.264 stream.
TEST(ElementaryDetect, FormatsOfElementaryStreams) {
    EXPECT_EQ(Probe(Units({H264Sps, H264Pps})), TFileFormat::RawH264);
    EXPECT_EQ(Probe(Units({HevcVps, HevcSps})), TFileFormat::RawHevc);
    EXPECT_EQ(Probe(Codes({SequenceHeader(), SequenceExtension})), TFileFormat::RawMpegVideo);
    EXPECT_EQ(Probe(Codes({SequenceHeader(), GroupOfPictures})), TFileFormat::RawMpegVideo);
    EXPECT_EQ(Probe(Codes({VisualObjectSequence, VisualObject})), TFileFormat::RawMpeg4Visual);
    EXPECT_EQ(Probe(Units({H264Sps, Vop})), TFileFormat::Unknown);
    EXPECT_EQ(Probe(Bytes(100, 0x55)), TFileFormat::Unknown);

    EXPECT_TRUE(IsScannable(TFileFormat::RawH264));
    EXPECT_TRUE(IsScannable(TFileFormat::RawHevc));
    EXPECT_TRUE(IsScannable(TFileFormat::RawMpegVideo));
    EXPECT_TRUE(IsScannable(TFileFormat::RawMpeg4Visual));
    EXPECT_FALSE(IsScannable(TFileFormat::Unknown));
    ASSERT_NE(ElementaryCodecOf(TFileFormat::RawHevc), nullptr);
    EXPECT_STREQ(ElementaryCodecOf(TFileFormat::RawHevc)->Key, "hevc");
    EXPECT_STREQ(ElementaryCodecOf(TFileFormat::RawMpeg4Visual)->Key, "mpeg4visual");
    EXPECT_EQ(ElementaryCodecOf(TFileFormat::Mp4), nullptr);
    EXPECT_EQ(ElementaryCodecOf(TFileFormat::Unknown), nullptr);
}

} // namespace
