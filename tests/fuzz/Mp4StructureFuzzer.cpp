// MP4 files built from the fuzzer's bytes: tracks of every sample entry kind and length size, SPS whose
// fields the bytes choose in the avcC and in the samples, pasp, tkhd of both versions, tapt, the movie
// header first or last; then a few bytes of the built file overwritten (sizes and counts that lie, tables
// cut). Each file is scanned, and saved with the whole-program property checked.

#include "FuzzInput.h"
#include "Mp4Builder.h"
#include "SaveProperty.h"

#include <vector>

namespace {

Mp4Track FuzzTrack(FuzzInput &in, uint32_t id) {
    Mp4Track track;
    track.id = id;
    static constexpr const char *Entries[] = {"avc1", "avc3", "avc1", "encv", "hvc1"};
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
    track.tapt = (in.Byte() & 3) == 3;
    const int samples = in.Byte() % 6;
    for (int s = 0; s < samples; ++s) {
        std::vector<ByteVector> units;
        const int count = 1 + in.Byte() % 3;
        for (int u = 0; u < count; ++u) {
            if (in.Flag())
                units.push_back(FuzzSps(in));
            else
                units.push_back({0x65, 0x88, 0x84, in.Byte()});
        }
        track.samples.push_back(units);
    }
    return track;
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
    ByteVector file = Mp4File(tracks, in.Flag());
    // A few bytes overwritten where the input says: sizes, counts and offsets that lie.
    const int edits = in.Byte() % 4;
    for (int i = 0; i < edits && !file.empty(); ++i)
        file[in.Long() % file.size()] = in.Byte();
    if ((in.Byte() & 7) == 7 && !file.empty())
        file.resize(in.Long() % file.size());
    CheckSave(file, code, width, height);
    return 0;
}
