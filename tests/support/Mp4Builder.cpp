#include "Mp4Builder.h"

#include "BitWriter.h"

#include <algorithm>
#include <stdexcept>

namespace {

void Add(ByteVector &to, const ByteVector &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

ByteVector Text(const std::string &text) {
    return ByteVector(text.begin(), text.end());
}

ByteVector Zeros(size_t count) {
    return ByteVector(count, 0);
}

// A box of the track, with a 64-bit size when the track asks for one for its type.
ByteVector TrackBoxOf(const Mp4Track &track, const std::string &type, const ByteVector &payload) {
    const bool large =
        std::find(track.largeHeaders.begin(), track.largeHeaders.end(), type) != track.largeHeaders.end();
    return large ? LargeBox(type, payload) : Box(type, payload);
}

ByteVector FullTrackBoxOf(const Mp4Track &track, const std::string &type, uint8_t version, uint32_t flags,
                          const ByteVector &payload) {
    ByteVector full = BigEndian32((uint32_t{version} << 24) | (flags & 0xFFFFFF));
    Add(full, payload);
    return TrackBoxOf(track, type, full);
}

ByteVector TrackHeader(const Mp4Track &track) {
    ByteVector payload;
    if (track.tkhdVersion == 1) {
        Add(payload, Zeros(16)); // creation and modification time
        Add(payload, BigEndian32(track.id));
        Add(payload, Zeros(4 + 8)); // reserved, duration
    } else {
        Add(payload, Zeros(8));
        Add(payload, BigEndian32(track.id));
        Add(payload, Zeros(4 + 4));
    }
    Add(payload, Zeros(8 + 2 + 2 + 2 + 2)); // reserved, layer, group, volume, reserved
    if (track.matrix.size() != 9)
        throw std::invalid_argument("a display matrix has nine numbers");
    for (uint32_t value : track.matrix)
        Add(payload, BigEndian32(value));
    Add(payload, BigEndian32(track.displayWidth));
    Add(payload, BigEndian32(track.displayHeight));
    return FullTrackBoxOf(track, "tkhd", static_cast<uint8_t>(track.tkhdVersion), 3, payload);
}

// A descriptor of ISO/IEC 14496-1: its tag, its size in four bytes of seven bits, its payload.
ByteVector Descriptor(uint8_t tag, const ByteVector &payload) {
    ByteVector bytes{tag};
    const auto size = static_cast<uint32_t>(payload.size());
    for (int shift = 21; shift >= 0; shift -= 7)
        bytes.push_back(static_cast<uint8_t>((size >> shift & 0x7F) | (shift > 0 ? 0x80 : 0)));
    Add(bytes, payload);
    return bytes;
}

ByteVector SampleEntry(const Mp4Track &track) {
    ByteVector payload = Zeros(6);
    Add(payload, BigEndian16(1)); // data reference index
    Add(payload, Zeros(16));
    Add(payload, BigEndian16(track.width));
    Add(payload, BigEndian16(track.height));
    Add(payload, BigEndian32(0x00480000));
    Add(payload, BigEndian32(0x00480000));
    Add(payload, Zeros(4));
    Add(payload, BigEndian16(1)); // frame count
    Add(payload, Zeros(32));      // compressor name
    Add(payload, BigEndian16(0x18));
    Add(payload, BigEndian16(0xFFFF));
    if (track.esdsObjectType)
        Add(payload, TrackBoxOf(track, "esds", EsdsPayload(*track.esdsObjectType, track.esdsSpecificInfo)));
    else
        Add(payload,
            TrackBoxOf(track, "avcC", AvcConfig(track.sps, {{0x68, 0xCE, 0x38, 0x80}}, track.lengthSize)));
    if (!track.secondConfigSps.empty())
        Add(payload,
            TrackBoxOf(track, "avcC",
                       AvcConfig(track.secondConfigSps, {{0x68, 0xCE, 0x38, 0x80}}, track.lengthSize)));
    if (track.pasp) {
        ByteVector pasp = BigEndian32(track.pasp->first);
        Add(pasp, BigEndian32(track.pasp->second));
        Add(payload, TrackBoxOf(track, "pasp", pasp));
    }
    return TrackBoxOf(track, track.entry, payload);
}

ByteVector SampleTable(const Mp4Track &track, const std::vector<uint32_t> &offsets) {
    ByteVector stsd = BigEndian32(1);
    Add(stsd, SampleEntry(track));
    ByteVector stsz = BigEndian32(0);
    Add(stsz, BigEndian32(static_cast<uint32_t>(track.samples.size())));
    for (const auto &sample : track.samples)
        Add(stsz, BigEndian32(static_cast<uint32_t>(SampleBytes(track, sample).size())));
    ByteVector stsc = BigEndian32(1);
    Add(stsc, BigEndian32(1));
    Add(stsc, BigEndian32(1));
    Add(stsc, BigEndian32(1));
    ByteVector stco = BigEndian32(static_cast<uint32_t>(offsets.size()));
    for (uint32_t offset : offsets)
        Add(stco, BigEndian32(offset));
    ByteVector stbl = FullTrackBoxOf(track, "stsd", 0, 0, stsd);
    Add(stbl, FullTrackBoxOf(track, "stsz", 0, 0, stsz));
    Add(stbl, FullTrackBoxOf(track, "stsc", 0, 0, stsc));
    Add(stbl, FullTrackBoxOf(track, "stco", 0, 0, stco));
    return TrackBoxOf(track, "stbl", stbl);
}

ByteVector TrackBox(const Mp4Track &track, const std::vector<uint32_t> &offsets) {
    ByteVector handler = Zeros(4);
    Add(handler, Text(track.handler));
    Add(handler, Zeros(12 + 1));
    ByteVector mdia = FullTrackBoxOf(track, "hdlr", 0, 0, handler);
    Add(mdia, TrackBoxOf(track, "minf", SampleTable(track, offsets)));
    ByteVector trak = TrackHeader(track);
    if (track.tapt) {
        ByteVector tapt;
        for (const char *name : {"clef", "prof", "enof"}) {
            const bool encoded = std::string(name) == "enof";
            ByteVector size = BigEndian32(encoded ? uint32_t{track.width} << 16 : track.displayWidth);
            Add(size, BigEndian32(encoded ? uint32_t{track.height} << 16 : track.displayHeight));
            Add(tapt, FullTrackBoxOf(track, name, 0, 0, size));
        }
        Add(trak, TrackBoxOf(track, "tapt", tapt));
    }
    Add(trak, TrackBoxOf(track, "mdia", mdia));
    return TrackBoxOf(track, "trak", trak);
}

} // namespace

ByteVector BigEndian16(uint16_t value) {
    return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

ByteVector BigEndian32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

ByteVector BigEndian64(uint64_t value) {
    ByteVector bytes = BigEndian32(static_cast<uint32_t>(value >> 32));
    Add(bytes, BigEndian32(static_cast<uint32_t>(value)));
    return bytes;
}

ByteVector Box(const std::string &type, const ByteVector &payload) {
    if (type.size() != 4)
        throw std::invalid_argument("a box type has four characters: " + type);
    ByteVector box = BigEndian32(static_cast<uint32_t>(8 + payload.size()));
    Add(box, Text(type));
    Add(box, payload);
    return box;
}

ByteVector LargeBox(const std::string &type, const ByteVector &payload) {
    if (type.size() != 4)
        throw std::invalid_argument("a box type has four characters: " + type);
    ByteVector box = BigEndian32(1);
    Add(box, Text(type));
    Add(box, BigEndian64(16 + payload.size()));
    Add(box, payload);
    return box;
}

ByteVector WithLargeHeader(const ByteVector &box) {
    if (box.size() < 8)
        throw std::invalid_argument("not one box with a 32-bit size");
    const uint32_t size =
        (uint32_t{box[0]} << 24) | (uint32_t{box[1]} << 16) | (uint32_t{box[2]} << 8) | box[3];
    if (size != box.size())
        throw std::invalid_argument("not one box with a 32-bit size");
    return LargeBox(std::string(box.begin() + 4, box.begin() + 8), ByteVector(box.begin() + 8, box.end()));
}

ByteVector FullBox(const std::string &type, uint8_t version, uint32_t flags, const ByteVector &payload) {
    ByteVector full = BigEndian32((uint32_t{version} << 24) | (flags & 0xFFFFFF));
    Add(full, payload);
    return Box(type, full);
}

ByteVector AvcConfig(const std::vector<ByteVector> &sps, const std::vector<ByteVector> &pps, int lengthSize) {
    ByteVector record{1,
                      0x64,
                      0x00,
                      0x1F,
                      static_cast<uint8_t>(0xFC | (lengthSize - 1)),
                      static_cast<uint8_t>(0xE0 | sps.size())};
    for (const ByteVector &set : sps) {
        Add(record, BigEndian16(static_cast<uint16_t>(set.size())));
        Add(record, set);
    }
    record.push_back(static_cast<uint8_t>(pps.size()));
    for (const ByteVector &set : pps) {
        Add(record, BigEndian16(static_cast<uint16_t>(set.size())));
        Add(record, set);
    }
    return record;
}

ByteVector EsdsPayload(uint8_t objectType, const ByteVector &specificInfo) {
    ByteVector config{objectType, 0x11}; // visual stream
    Add(config, Zeros(11));              // buffer size, maximum and average bit rates
    Add(config, Descriptor(0x05, specificInfo));
    ByteVector es = BigEndian16(1); // ES_ID, then no optional fields
    es.push_back(0);
    Add(es, Descriptor(0x04, config));
    Add(es, Descriptor(0x06, {0x02})); // SL configuration
    ByteVector payload = Zeros(4);
    Add(payload, Descriptor(0x03, es));
    return payload;
}

ByteVector SampleBytes(const Mp4Track &track, const std::vector<ByteVector> &units) {
    if (!track.esdsObjectType)
        return LengthPrefixed(units, track.lengthSize);
    ByteVector bytes;
    for (const ByteVector &unit : units) {
        Add(bytes, {0x00, 0x00, 0x01});
        Add(bytes, unit);
    }
    return bytes;
}

ByteVector LengthPrefixed(const std::vector<ByteVector> &units, int lengthSize) {
    ByteVector bytes;
    for (const ByteVector &unit : units) {
        for (int i = lengthSize - 1; i >= 0; --i)
            bytes.push_back(static_cast<uint8_t>(unit.size() >> (8 * i)));
        Add(bytes, unit);
    }
    return bytes;
}

ByteVector MovieBox(const std::vector<Mp4Track> &tracks,
                    const std::vector<std::vector<uint32_t>> &chunkOffsets, const ByteVector &extra) {
    ByteVector moov = FullBox("mvhd", 0, 0, Zeros(96));
    for (size_t i = 0; i < tracks.size(); ++i)
        Add(moov, TrackBox(tracks[i], chunkOffsets[i]));
    Add(moov, extra);
    return Box("moov", moov);
}

ByteVector FileTypeBox() {
    ByteVector ftyp = Text("isom");
    Add(ftyp, BigEndian32(0x200));
    Add(ftyp, Text("isomavc1"));
    return Box("ftyp", ftyp);
}

Mp4Track AnamorphicTrack(std::vector<std::vector<ByteVector>> samples) {
    Mp4Track track;
    track.sps = {BuildSps(At720x576(WithSar(255, 64, 45))).nal};
    track.pasp = std::make_pair(64u, 45u);
    track.displayWidth = 1024u << 16;
    track.samples = std::move(samples);
    return track;
}

ByteVector Mp4File(const std::vector<Mp4Track> &tracks, bool moovFirst) {
    ByteVector file = FileTypeBox();
    ByteVector data;
    std::vector<std::vector<uint32_t>> offsets;
    for (const Mp4Track &track : tracks) {
        offsets.emplace_back();
        for (const auto &sample : track.samples) {
            offsets.back().push_back(static_cast<uint32_t>(data.size()));
            Add(data, SampleBytes(track, sample));
        }
    }
    // The offsets count from the file's start: the data begins behind ftyp (and moov), and mdat's header.
    const size_t movieSize = MovieBox(tracks, offsets).size();
    const size_t dataStart = file.size() + (moovFirst ? movieSize : 0) + 8;
    for (auto &track : offsets)
        for (uint32_t &offset : track)
            offset += static_cast<uint32_t>(dataStart);
    const ByteVector movie = MovieBox(tracks, offsets);
    if (moovFirst)
        Add(file, movie);
    Add(file, Box("mdat", data));
    if (!moovFirst)
        Add(file, movie);
    return file;
}

ByteVector FragmentedMovieBox(std::vector<Mp4Track> tracks, uint32_t defaultSize) {
    ByteVector mvex;
    for (Mp4Track &track : tracks) {
        track.samples.clear();
        ByteVector trex = BigEndian32(track.id);
        Add(trex, BigEndian32(1)); // sample description
        Add(trex, BigEndian32(0)); // duration
        Add(trex, BigEndian32(defaultSize));
        Add(trex, BigEndian32(0)); // flags
        Add(mvex, FullBox("trex", 0, 0, trex));
    }
    return MovieBox(tracks, std::vector<std::vector<uint32_t>>(tracks.size()), Box("mvex", mvex));
}

ByteVector MovieFragment(const std::vector<Mp4TrackFragment> &trackFragments) {
    ByteVector moof = FullBox("mfhd", 0, 0, BigEndian32(1));
    for (const Mp4TrackFragment &fragment : trackFragments) {
        uint32_t flags = (fragment.baseOffset ? 0x1 : 0) | (fragment.defaultSize ? 0x10 : 0) |
                         (fragment.baseIsMoof ? 0x20000 : 0);
        ByteVector tfhd = BigEndian32(fragment.trackId);
        if (fragment.baseOffset)
            Add(tfhd, BigEndian64(*fragment.baseOffset));
        if (fragment.defaultSize)
            Add(tfhd, BigEndian32(*fragment.defaultSize));
        ByteVector traf = FullBox("tfhd", 0, flags, tfhd);
        for (const Mp4Run &run : fragment.runs) {
            ByteVector trun =
                BigEndian32(run.listSizes ? static_cast<uint32_t>(run.sizes.size()) : run.count);
            if (run.dataOffset)
                Add(trun, BigEndian32(static_cast<uint32_t>(*run.dataOffset)));
            if (run.listSizes)
                for (uint32_t size : run.sizes)
                    Add(trun, BigEndian32(size));
            Add(traf, FullBox("trun", 0, (run.dataOffset ? 0x1 : 0) | (run.listSizes ? 0x200 : 0), trun));
        }
        Add(moof, Box("traf", traf));
    }
    return Box("moof", moof);
}

namespace {

struct BoxAt {
    size_t start = 0;
    size_t size = 0;
    std::string type;
    std::vector<size_t> around; // the starts of the boxes around it, outermost first
};

uint64_t SizeAt(const ByteVector &file, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | file[at + static_cast<size_t>(i)];
    return value;
}

// Every box of the file in walk order, entering the boxes the scanner enters.
std::vector<BoxAt> AllBoxes(const ByteVector &file) {
    static const std::vector<std::string> Containers = {"moov", "trak", "mdia", "minf", "stbl",
                                                        "mvex", "tapt", "sinf", "moof", "traf",
                                                        "edts", "dinf", "udta"};
    std::vector<BoxAt> boxes;
    std::function<void(size_t, size_t, std::vector<size_t>)> walk = [&](size_t from, size_t to,
                                                                        std::vector<size_t> around) {
        for (size_t at = from; at + 8 <= to;) {
            BoxAt box;
            box.start = at;
            box.size = static_cast<size_t>(SizeAt(file, at, 4));
            box.type = std::string(file.begin() + static_cast<ptrdiff_t>(at + 4),
                                   file.begin() + static_cast<ptrdiff_t>(at + 8));
            size_t header = 8;
            if (box.size == 1) {
                box.size = static_cast<size_t>(SizeAt(file, at + 8, 8));
                header = 16;
            }
            if (box.size < header || at + box.size > to)
                throw std::invalid_argument("a box that does not fit at " + std::to_string(at));
            box.around = around;
            boxes.push_back(box);
            std::vector<size_t> inner = around;
            inner.push_back(at);
            const bool container =
                std::find(Containers.begin(), Containers.end(), box.type) != Containers.end();
            const bool visualEntry =
                box.type == "avc1" || box.type == "avc3" || box.type == "encv" || box.type == "hvc1";
            if (container || box.type == "stsd" || visualEntry) {
                const size_t skip = box.type == "stsd" ? 8 : visualEntry ? 78 : 0;
                walk(at + header + skip, at + box.size, inner);
            }
            at += box.size;
        }
    };
    walk(0, file.size(), {});
    return boxes;
}

BoxAt FindBox(const ByteVector &file, const std::string &type, size_t nth) {
    for (const BoxAt &box : AllBoxes(file))
        if (box.type == type && nth-- == 0)
            return box;
    throw std::invalid_argument("no such box: " + type);
}

} // namespace

ByteVector ReplaceMp4Box(const ByteVector &file, const std::string &type,
                         const std::function<ByteVector(const ByteVector &box)> &replacement, size_t nth) {
    const BoxAt box = FindBox(file, type, nth);
    const ByteVector old(file.begin() + static_cast<ptrdiff_t>(box.start),
                         file.begin() + static_cast<ptrdiff_t>(box.start + box.size));
    const ByteVector changed = replacement(old);
    const int64_t growth = static_cast<int64_t>(changed.size()) - static_cast<int64_t>(old.size());
    if (growth != 0)
        for (const BoxAt &other : AllBoxes(file))
            if (other.type == "mdat" && other.start > box.start)
                throw std::invalid_argument("the change would move the samples behind it");
    ByteVector result(file.begin(), file.begin() + static_cast<ptrdiff_t>(box.start));
    Add(result, changed);
    result.insert(result.end(), file.begin() + static_cast<ptrdiff_t>(box.start + box.size), file.end());
    for (size_t start : box.around) {
        const bool large = SizeAt(result, start, 4) == 1;
        const size_t at = large ? start + 8 : start;
        const uint64_t size = SizeAt(result, at, large ? 8 : 4) + static_cast<uint64_t>(growth);
        const ByteVector bytes = large ? BigEndian64(size) : BigEndian32(static_cast<uint32_t>(size));
        std::copy(bytes.begin(), bytes.end(), result.begin() + static_cast<ptrdiff_t>(at));
    }
    return result;
}

ByteVector Mp4BoxBytes(const ByteVector &file, const std::string &type, size_t nth) {
    const BoxAt box = FindBox(file, type, nth);
    return ByteVector(file.begin() + static_cast<ptrdiff_t>(box.start),
                      file.begin() + static_cast<ptrdiff_t>(box.start + box.size));
}

size_t Mp4BoxStart(const ByteVector &file, const std::string &type, size_t nth) {
    return FindBox(file, type, nth).start;
}
