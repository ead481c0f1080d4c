// Matroska files built from the fuzzer's bytes: H.264 tracks (and others) with SPS whose fields the bytes
// choose in CodecPrivate and in the frames, every lacing, SimpleBlock and BlockGroup, display sizes in each
// unit and data size, Voids to grow into (in the Video, and behind the SeekHead), header stripping,
// compression and encryption, CRC-32 elements at every level, unknown sizes, Tracks behind the Clusters with
// or without a SeekHead; then a few bytes overwritten (sizes, IDs and lace counts that lie) or the file cut.
// Each file is scanned and saved with the whole-program property checked, and every CRC-32 that held before
// the save holds after it.

#include "EbmlBuilder.h"
#include "FuzzInput.h"
#include "SaveProperty.h"

#include <stdexcept>
#include <vector>

namespace {

ByteVector Unit(FuzzInput &in, const MkvTrack &track) {
    // MPEG-4 Part 2's frames: the headers and a VOP, behind start codes.
    if (track.privateData && track.lengthSize == 0) {
        ByteVector frame = (in.Byte() & 1) == 0 ? FuzzMpeg4Headers(in) : ByteVector{};
        frame.insert(frame.end(), {0x00, 0x00, 0x01, 0xB6, in.Byte(), in.Byte()});
        return frame;
    }
    if ((in.Byte() & 3) == 0)
        return FuzzSps(in);
    ByteVector slice{0x65, 0x88, 0x84, in.Byte()};
    slice.resize(slice.size() + in.Byte() % 40, 0x5A);
    return slice;
}

MkvTrack FuzzTrack(FuzzInput &in, uint64_t number) {
    MkvTrack track;
    track.number = number;
    // MPEG-2 video's frames and CodecPrivate are read as start-code streams, whatever the bytes.
    // MPEG-4 Part 2 comes as itself and as mkvmerge keeps it from AVI files: a bitmap header naming the
    // codec in front of its headers, frames without lengths.
    static constexpr const char *Codecs[] = {"V_MPEG4/ISO/AVC",  "V_MPEG4/ISO/AVC", "V_MPEG4/ISO/AVC",
                                             "V_MPEGH/ISO/HEVC", "V_VP9",           "V_MPEG2",
                                             "V_MPEG4/ISO/ASP",  "V_MS/VFW/FOURCC", "A_AAC"};
    track.codecId = in.Pick(Codecs);
    if (track.codecId.rfind("V_MS/VFW/", 0) == 0 || track.codecId == "V_MPEG4/ISO/ASP") {
        ByteVector record;
        if (track.codecId[2] == 'M' && track.codecId[3] == 'S') {
            static constexpr const char *FourCCs[] = {"XVID", "DX50", "H264", "MP4V"};
            const char *fourCC = in.Pick(FourCCs);
            record.assign(40, 0);
            record[0] = 40;
            std::copy(fourCC, fourCC + 4, record.begin() + 16);
            record.resize(in.Byte() % 8 == 7 ? in.Byte() % 40 : 40); // now and then a short header
        }
        const ByteVector headers = FuzzMpeg4Headers(in);
        record.insert(record.end(), headers.begin(), headers.end());
        track.privateData = record;
    }
    track.type = track.codecId[0] == 'A' ? 2 : 1;
    static constexpr int Lengths[] = {4, 1, 2, 4};
    track.lengthSize = track.privateData && in.Flag() ? 0 : in.Pick(Lengths);
    const int configured = in.Byte() % 3;
    for (int i = 0; i < configured; ++i)
        track.sps.push_back(FuzzSps(in));
    track.codecPrivate = (in.Byte() & 7) != 7;
    track.pixelWidth = 16u * (1 + in.Byte() % 64);
    track.pixelHeight = 16u * (1 + in.Byte() % 64);
    if ((in.Byte() & 7) == 7) {
        track.cropLeft = in.Byte() % 16;
        track.cropRight = in.Byte() % 16;
        track.cropTop = in.Byte() % 16;
        track.cropBottom = in.Byte() % 16;
    }
    const uint8_t display = in.Byte();
    if ((display & 3) != 0) {
        track.displayWidth = (display & 4) != 0 ? in.Word() : in.Byte();
        track.displayHeight = (display & 8) != 0 ? in.Word() : in.Byte();
    }
    if ((display & 0x30) != 0)
        track.displayUnit = in.Byte() % 6;
    track.displaySize = (display & 0x40) != 0 ? in.Byte() % 9 : 0;
    if (track.displaySize != 0)
        track.displaySize = std::max(track.displaySize, 2);
    if ((display & 0x80) != 0)
        track.voidAfterDisplay = 2 + in.Byte() % 40;
    const uint8_t encoding = in.Byte();
    if ((encoding & 7) == 1)
        track.compression = in.Byte() % 4;
    else if ((encoding & 7) == 2)
        track.encrypted = true;
    return track;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t code = in.Byte();
    const uint16_t width = in.Word();
    const uint16_t height = in.Word();
    MkvFile file;
    const int tracks = 1 + in.Byte() % 2;
    for (int i = 0; i < tracks; ++i)
        file.tracks.push_back(FuzzTrack(in, static_cast<uint64_t>(i + 1)));
    // Header stripping: every frame of the first track begins with the same unit, whose first bytes go.
    MkvTrack &first = file.tracks.front();
    ByteVector common;
    if ((in.Byte() & 3) == 3 && !first.compression && !first.encrypted) {
        common = Unit(in, first);
        const ByteVector prefixed = MkvFrame({common}, first.lengthSize);
        first.stripped.assign(prefixed.begin(),
                              prefixed.begin() + static_cast<ptrdiff_t>(1 + in.Byte() % prefixed.size()));
    }
    const int clusters = in.Byte() % 4;
    for (int c = 0; c < clusters; ++c) {
        std::vector<MkvBlock> blocks;
        const int count = in.Byte() % 4;
        for (int b = 0; b < count; ++b) {
            MkvBlock block;
            block.track = 1 + in.Byte() % static_cast<uint64_t>(tracks + 1);
            block.lacing = in.Byte() % 4;
            block.simple = in.Flag();
            const MkvTrack *track =
                block.track <= file.tracks.size() ? &file.tracks[block.track - 1] : &first;
            const int frames = block.lacing == 0 ? 1 : 1 + in.Byte() % 4;
            std::vector<ByteVector> units;
            const int perFrame = 1 + in.Byte() % 3;
            for (int u = 0; u < perFrame; ++u)
                units.push_back(Unit(in, *track));
            if (track == &first && !common.empty())
                units.insert(units.begin(), common);
            for (int f = 0; f < frames; ++f) {
                block.frames.push_back(units); // equal frames: fixed lacing holds them too
                if (block.lacing != 2 && in.Flag())
                    block.frames.back().push_back({0x09, in.Byte()});
            }
            blocks.push_back(block);
        }
        file.clusters.push_back(blocks);
    }
    const uint8_t layout = in.Byte();
    file.unknownSizes = (layout & 3) == 3;
    file.crc = !file.unknownSizes && (layout & 4) != 0;
    file.tracksAfterClusters = (layout & 0x18) == 0x18;
    if ((layout & 0x60) == 0x60)
        file.docType = "webm";
    // CRC-32 elements at every level (TrackEntry, Video, BlockGroup, the Segment), and a SeekHead that
    // leads to Tracks behind the Clusters.
    const uint8_t more = in.Byte();
    file.crcInside = (more & 1) != 0;
    file.crcSegment = !file.unknownSizes && (more & 2) != 0;
    file.seekHead = (more & 4) != 0;
    // ffmpeg's Void behind the SeekHead, which display elements without room in their Video grow into.
    file.seekHeadCrc = (more & 8) != 0;
    file.voidAfterSeekHead = (more & 16) != 0 ? in.Byte() % 48 : 0;
    ByteVector bytes;
    try {
        bytes = MatroskaFile(file);
    } catch (const std::invalid_argument &) {
        return 0; // a length size too small for a unit the input chose
    }
    const int edits = in.Byte() % 4;
    for (int i = 0; i < edits && !bytes.empty(); ++i)
        bytes[in.Long() % bytes.size()] = in.Byte();
    if ((in.Byte() & 7) == 7 && !bytes.empty())
        bytes.resize(in.Long() % bytes.size());

    // Every CRC-32 of the file, at every level, that held before the save holds after it (where it was,
    // unless the save moved elements to make room).
    const std::vector<MatroskaCrc> before = MatroskaCrcs(bytes);
    bool moved = false;
    const std::vector<uint8_t> after = CheckSave(bytes, code, width, height, &moved);
    const std::vector<MatroskaCrc> now = MatroskaCrcs(after);
    Require(now.size() == before.size());
    for (size_t i = 0; i < now.size(); ++i)
        Require((moved || now[i].offset == before[i].offset) && (now[i].valid || !before[i].valid));
    return 0;
}
