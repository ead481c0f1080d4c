// MP4 files built from the fuzzer's bytes: tracks of every sample entry kind and length size, SPS whose
// fields the bytes choose in the avcC (one or two of them) and in the samples, pasp, tkhd of both versions
// with a display matrix that turns or stretches, tapt, boxes with 64-bit headers, the movie header first or
// last, or the samples in a movie fragment whose track fragments are placed by their own offset, the
// fragment's start or the end of the data before; then a few bytes of the built file overwritten (sizes
// and counts that lie, tables cut). Each file is scanned, and saved with the whole-program property
// checked.

#include "FuzzInput.h"
#include "Mp4Builder.h"
#include "SaveProperty.h"

#include <algorithm>
#include <vector>

namespace {

// An MPEG video sequence header of a size and code the bytes choose, with a sequence extension (MPEG-2)
// or without (MPEG-1).
ByteVector FuzzSequenceHeader(FuzzInput &in) {
    const uint8_t size = in.Byte();
    ByteVector unit{0xB3,
                    0x2D,
                    static_cast<uint8_t>(size & 0xF0),
                    0x40,
                    static_cast<uint8_t>(in.Byte() | 0x03),
                    0xFF,
                    0xFF,
                    0xE0,
                    0x18};
    if (in.Flag())
        unit.insert(unit.end(), {0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00});
    return unit;
}

Mp4Track FuzzTrack(FuzzInput &in, uint32_t id) {
    Mp4Track track;
    track.id = id;
    static constexpr const char *Entries[] = {"avc1", "avc3", "avc1", "encv", "hvc1", "vp09", "mp4v"};
    track.entry = in.Pick(Entries);
    static constexpr const char *Handlers[] = {"vide", "vide", "soun"};
    track.handler = in.Pick(Handlers);
    track.width = static_cast<uint16_t>(16 * (1 + in.Byte() % 64));
    track.height = static_cast<uint16_t>(16 * (1 + in.Byte() % 64));
    static constexpr int Lengths[] = {4, 1, 2, 4};
    track.lengthSize = in.Pick(Lengths);
    const int configured = in.Byte() % 3;
    for (int i = 0; i < configured; ++i)
        track.sps.push_back(FuzzSps(in));
    if ((in.Byte() & 3) != 3)
        track.pasp = std::make_pair(uint32_t{1} + in.Byte(), uint32_t{1} + in.Byte());
    track.displayWidth = in.Flag() ? uint32_t{track.width} << 16 : in.Long();
    track.displayHeight = uint32_t{track.height} << 16;
    track.tkhdVersion = in.Byte() & 1;
    static const std::vector<uint32_t> Matrices[] = {{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000},
                                                     {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000},
                                                     {0, 0x10000, 0, 0xFFFF0000, 0, 0, 0, 0, 0x40000000},
                                                     {0x20000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000}};
    track.matrix = in.Pick(Matrices);
    track.tapt = (in.Byte() & 3) == 3;
    static constexpr const char *Large[] = {"tkhd", "avcC", "pasp", "clef", "stsz", "stco", "trak", "stsd"};
    const uint8_t large = (in.Byte() & 1) != 0 ? in.Byte() : 0;
    for (size_t i = 0; i < 8; ++i)
        if ((large >> i) & 1)
            track.largeHeaders.push_back(Large[i]);
    if (track.entry == "avc1" || track.entry == "avc3")
        track.largeHeaders.push_back(track.entry);
    if ((in.Byte() & 7) == 7)
        track.secondConfigSps.push_back(FuzzSps(in));
    // An mp4v entry is named by its esds: MPEG-4 Part 2, MPEG-2 or MPEG-1 video, whose sequence headers lie
    // in the decoder specific information and behind start codes in the samples.
    const bool mpeg = track.entry == "mp4v" && in.Flag();
    if (mpeg) {
        static constexpr uint8_t ObjectTypes[] = {0x61, 0x6A, 0x20, 0x65};
        track.esdsObjectType = in.Pick(ObjectTypes);
        if (in.Flag())
            track.esdsSpecificInfo = {0x00, 0x00, 0x01};
        if (in.Flag()) {
            const ByteVector header = FuzzSequenceHeader(in);
            track.esdsSpecificInfo.insert(track.esdsSpecificInfo.end(), header.begin(), header.end());
        }
    }
    // MPEG-4 Part 2's headers (a VOL behind those that lead it), in place of a sequence header.
    const bool part2 = mpeg && *track.esdsObjectType == 0x20;
    auto headerUnit = [&in, part2] {
        if (!part2)
            return FuzzSequenceHeader(in);
        const ByteVector headers = FuzzMpeg4Headers(in);
        return ByteVector(headers.begin() + 3, headers.end()); // the sample's own start code goes in front
    };
    if (part2 && in.Flag()) {
        const ByteVector headers = FuzzMpeg4Headers(in);
        track.esdsSpecificInfo.insert(track.esdsSpecificInfo.end(), headers.begin(), headers.end());
    }
    const int samples = in.Byte() % 6;
    for (int s = 0; s < samples; ++s) {
        std::vector<ByteVector> units;
        const int count = 1 + in.Byte() % 3;
        for (int u = 0; u < count; ++u) {
            if (mpeg)
                units.push_back(in.Flag() ? headerUnit() : ByteVector{0x00, 0x00, 0x0F, in.Byte()});
            else if (in.Flag())
                units.push_back(FuzzSps(in));
            else
                units.push_back({0x65, 0x88, 0x84, in.Byte()});
        }
        track.samples.push_back(units);
    }
    return track;
}

// The tracks' samples in one movie fragment: a track fragment per track, in order, its data behind the
// data of the one before; each placed by its own base offset, by the fragment's start and a run offset, or
// by where the data before it ended (the first one by a run offset from the fragment's start).
ByteVector FragmentedFile(FuzzInput &in, const std::vector<Mp4Track> &tracks) {
    ByteVector data;
    std::vector<std::vector<uint32_t>> sizes;
    for (const Mp4Track &track : tracks) {
        sizes.emplace_back();
        for (const auto &sample : track.samples) {
            const ByteVector bytes = SampleBytes(track, sample);
            sizes.back().push_back(static_cast<uint32_t>(bytes.size()));
            data.insert(data.end(), bytes.begin(), bytes.end());
        }
    }
    std::vector<int> placement;
    for (size_t i = 0; i < tracks.size(); ++i)
        placement.push_back(in.Byte() % 3);
    const bool defaults = in.Flag();
    ByteVector file = FileTypeBox();
    const ByteVector movie = FragmentedMovieBox(tracks);
    file.insert(file.end(), movie.begin(), movie.end());
    const uint64_t fragmentStart = file.size();
    auto fragment = [&](uint64_t dataStart) {
        std::vector<Mp4TrackFragment> trackFragments;
        uint64_t at = dataStart;
        for (size_t i = 0; i < tracks.size(); ++i) {
            Mp4TrackFragment own;
            own.trackId = tracks[i].id;
            Mp4Run run;
            run.sizes = sizes[i];
            // One size for all from tfhd when they agree.
            if (defaults && !sizes[i].empty() &&
                std::all_of(sizes[i].begin(), sizes[i].end(),
                            [&](uint32_t size) { return size == sizes[i][0]; })) {
                own.defaultSize = sizes[i][0];
                run.listSizes = false;
                run.count = static_cast<uint32_t>(sizes[i].size());
            }
            if (placement[i] == 0) {
                own.baseOffset = at;
            } else if (placement[i] == 1 || i == 0) {
                own.baseIsMoof = placement[i] == 1;
                run.dataOffset = static_cast<int32_t>(at - fragmentStart);
            }
            own.runs = {run};
            trackFragments.push_back(own);
            for (uint32_t size : sizes[i])
                at += size;
        }
        return MovieFragment(trackFragments);
    };
    const ByteVector moof = fragment(fragmentStart + fragment(0).size() + 8);
    file.insert(file.end(), moof.begin(), moof.end());
    const ByteVector mdat = Box("mdat", data);
    file.insert(file.end(), mdat.begin(), mdat.end());
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t code = in.Byte();
    const uint16_t width = in.Word();
    const uint16_t height = in.Word();
    std::vector<Mp4Track> tracks;
    const int count = 1 + in.Byte() % 2;
    for (int i = 0; i < count; ++i)
        tracks.push_back(FuzzTrack(in, static_cast<uint32_t>(i + 1)));
    const uint8_t layout = in.Byte() % 3;
    ByteVector file = layout == 2 ? FragmentedFile(in, tracks) : Mp4File(tracks, layout == 1);
    // A few bytes overwritten where the input says: sizes, counts and offsets that lie.
    const int edits = in.Byte() % 4;
    for (int i = 0; i < edits && !file.empty(); ++i)
        file[in.Long() % file.size()] = in.Byte();
    if ((in.Byte() & 7) == 7 && !file.empty())
        file.resize(in.Long() % file.size());
    CheckSave(file, code, width, height);
    return 0;
}
