#include "Mp4Builder.h"

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
    Add(payload, Zeros(8 + 2 + 2 + 2 + 2 + 36)); // reserved, layer, group, volume, reserved, matrix
    Add(payload, BigEndian32(track.displayWidth));
    Add(payload, BigEndian32(track.displayHeight));
    return FullBox("tkhd", static_cast<uint8_t>(track.tkhdVersion), 3, payload);
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
    Add(payload, Box("avcC", AvcConfig(track.sps, {{0x68, 0xCE, 0x38, 0x80}}, track.lengthSize)));
    if (track.pasp) {
        ByteVector pasp = BigEndian32(track.pasp->first);
        Add(pasp, BigEndian32(track.pasp->second));
        Add(payload, Box("pasp", pasp));
    }
    return Box(track.entry, payload);
}

ByteVector SampleTable(const Mp4Track &track, const std::vector<uint32_t> &offsets) {
    ByteVector stsd = BigEndian32(1);
    Add(stsd, SampleEntry(track));
    ByteVector stsz = BigEndian32(0);
    Add(stsz, BigEndian32(static_cast<uint32_t>(track.samples.size())));
    for (const auto &sample : track.samples)
        Add(stsz, BigEndian32(static_cast<uint32_t>(LengthPrefixed(sample, track.lengthSize).size())));
    ByteVector stsc = BigEndian32(1);
    Add(stsc, BigEndian32(1));
    Add(stsc, BigEndian32(1));
    Add(stsc, BigEndian32(1));
    ByteVector stco = BigEndian32(static_cast<uint32_t>(offsets.size()));
    for (uint32_t offset : offsets)
        Add(stco, BigEndian32(offset));
    ByteVector stbl = FullBox("stsd", 0, 0, stsd);
    Add(stbl, FullBox("stsz", 0, 0, stsz));
    Add(stbl, FullBox("stsc", 0, 0, stsc));
    Add(stbl, FullBox("stco", 0, 0, stco));
    return Box("stbl", stbl);
}

ByteVector TrackBox(const Mp4Track &track, const std::vector<uint32_t> &offsets) {
    ByteVector handler = Zeros(4);
    Add(handler, Text(track.handler));
    Add(handler, Zeros(12 + 1));
    ByteVector mdia = FullBox("hdlr", 0, 0, handler);
    Add(mdia, Box("minf", SampleTable(track, offsets)));
    ByteVector trak = TrackHeader(track);
    if (track.tapt) {
        ByteVector tapt;
        for (const char *name : {"clef", "prof", "enof"}) {
            const bool encoded = std::string(name) == "enof";
            ByteVector size = BigEndian32(encoded ? uint32_t{track.width} << 16 : track.displayWidth);
            Add(size, BigEndian32(encoded ? uint32_t{track.height} << 16 : track.displayHeight));
            Add(tapt, FullBox(name, 0, 0, size));
        }
        Add(trak, Box("tapt", tapt));
    }
    Add(trak, Box("mdia", mdia));
    return Box("trak", trak);
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
                    const std::vector<std::vector<uint32_t>> &chunkOffsets) {
    ByteVector moov = FullBox("mvhd", 0, 0, Zeros(96));
    for (size_t i = 0; i < tracks.size(); ++i)
        Add(moov, TrackBox(tracks[i], chunkOffsets[i]));
    return Box("moov", moov);
}

ByteVector Mp4File(const std::vector<Mp4Track> &tracks, bool moovFirst) {
    ByteVector ftyp = Text("isom");
    Add(ftyp, BigEndian32(0x200));
    Add(ftyp, Text("isomavc1"));
    ByteVector file = Box("ftyp", ftyp);
    ByteVector data;
    std::vector<std::vector<uint32_t>> offsets;
    for (const Mp4Track &track : tracks) {
        offsets.emplace_back();
        for (const auto &sample : track.samples) {
            offsets.back().push_back(static_cast<uint32_t>(data.size()));
            Add(data, LengthPrefixed(sample, track.lengthSize));
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
