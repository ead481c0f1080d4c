#include "EbmlBuilder.h"

#include "Mp4Builder.h"

#include <algorithm>
#include <stdexcept>

namespace {

void Add(ByteVector &to, const ByteVector &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

int MinimalLength(uint64_t value) {
    int length = 1;
    // All value bits set would read as "unknown": one byte more then.
    while (length < 8 && value >= (uint64_t{1} << (7 * length)) - 1)
        ++length;
    return length;
}

} // namespace

ByteVector EbmlId(uint32_t id) {
    ByteVector bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((id >> shift) != 0 || shift == 0)
            bytes.push_back(static_cast<uint8_t>(id >> shift));
    return bytes;
}

ByteVector EbmlSize(uint64_t size, int length) {
    if (length == 0)
        length = MinimalLength(size);
    ByteVector bytes(static_cast<size_t>(length));
    for (int i = length - 1; i >= 0; --i, size >>= 8)
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(size);
    bytes[0] |= static_cast<uint8_t>(0x80 >> (length - 1));
    return bytes;
}

ByteVector EbmlUnknownSize(int length) {
    ByteVector bytes(static_cast<size_t>(length), 0xFF);
    bytes[0] = static_cast<uint8_t>(0xFF >> (length - 1));
    return bytes;
}

ByteVector Ebml(uint32_t id, const ByteVector &data, int sizeLength) {
    ByteVector bytes = EbmlId(id);
    Add(bytes, EbmlSize(data.size(), sizeLength));
    Add(bytes, data);
    return bytes;
}

ByteVector EbmlUnsigned(uint32_t id, uint64_t value, int size) {
    if (size == 0) {
        size = 1;
        while (size < 8 && (value >> (8 * size)) != 0)
            ++size;
    }
    ByteVector data(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i) {
        const int shift = 8 * (size - 1 - i);
        data[static_cast<size_t>(i)] = shift < 64 ? static_cast<uint8_t>(value >> shift) : 0;
    }
    return Ebml(id, data);
}

ByteVector EbmlString(uint32_t id, const std::string &text) {
    return Ebml(id, ByteVector(text.begin(), text.end()));
}

ByteVector EbmlVoid(size_t count) {
    if (count < 2)
        throw std::invalid_argument("a Void element takes at least two bytes");
    if (count - 2 <= 126)
        return Ebml(0xEC, ByteVector(count - 2, 0));
    return Ebml(0xEC, ByteVector(count - 9, 0), 8);
}

ByteVector EbmlUnknown(uint32_t id, const ByteVector &data) {
    ByteVector bytes = EbmlId(id);
    Add(bytes, EbmlUnknownSize());
    Add(bytes, data);
    return bytes;
}

uint32_t ReferenceCrc32(const uint8_t *bytes, size_t count) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

ByteVector EbmlWithCrc(uint32_t id, const ByteVector &children, int sizeLength) {
    const uint32_t crc = ReferenceCrc32(children.data(), children.size());
    ByteVector data = Ebml(0xBF, {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                                  static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)});
    Add(data, children);
    return Ebml(id, data, sizeLength);
}

namespace {

// A master element, opened by a CRC-32 element when crc says so.
ByteVector Master(uint32_t id, const ByteVector &children, bool crc, int sizeLength = 0) {
    return crc ? EbmlWithCrc(id, children, sizeLength) : Ebml(id, children, sizeLength);
}

} // namespace

ByteVector MkvFrame(const std::vector<ByteVector> &units, int lengthSize) {
    return LengthPrefixed(units, lengthSize);
}

ByteVector MkvBlockData(const MkvBlock &block, uint64_t track, int lengthSize, const ByteVector &stripped) {
    std::vector<ByteVector> frames;
    for (const auto &units : block.frames) {
        ByteVector frame = MkvFrame(units, lengthSize);
        if (!stripped.empty()) {
            if (frame.size() < stripped.size() ||
                !std::equal(stripped.begin(), stripped.end(), frame.begin()))
                throw std::invalid_argument("a frame does not begin with the stripped bytes");
            frame.erase(frame.begin(), frame.begin() + static_cast<ptrdiff_t>(stripped.size()));
        }
        frames.push_back(std::move(frame));
    }
    ByteVector data = EbmlSize(track);
    Add(data, {0x00, 0x00}); // timecode
    data.push_back(static_cast<uint8_t>((block.simple ? 0x80 : 0x00) | (block.lacing << 1)));
    if (block.lacing != 0) {
        data.push_back(static_cast<uint8_t>(frames.size() - 1));
        for (size_t i = 0; i + 1 < frames.size(); ++i) {
            const uint64_t size = frames[i].size();
            if (block.lacing == 1) {
                for (uint64_t left = size;; left -= 255) {
                    data.push_back(static_cast<uint8_t>(std::min<uint64_t>(left, 255)));
                    if (left < 255)
                        break;
                }
            } else if (block.lacing == 3) {
                if (i == 0) {
                    Add(data, EbmlSize(size));
                } else {
                    const int64_t difference =
                        static_cast<int64_t>(size) - static_cast<int64_t>(frames[i - 1].size());
                    // Signed: the value plus half the range less one, in as few bytes as it fits.
                    int length = 1;
                    while (length < 8 && (difference < -((int64_t{1} << (7 * length - 1)) - 1) ||
                                          difference > (int64_t{1} << (7 * length - 1)) - 1))
                        ++length;
                    Add(data,
                        EbmlSize(static_cast<uint64_t>(difference + (int64_t{1} << (7 * length - 1)) - 1),
                                 length));
                }
            }
        }
    }
    for (const ByteVector &frame : frames)
        Add(data, frame);
    return data;
}

ByteVector MatroskaFile(const MkvFile &file) {
    ByteVector header = EbmlUnsigned(0x4286, 1);
    Add(header, EbmlUnsigned(0x42F7, 1));
    Add(header, EbmlUnsigned(0x42F2, 4));
    Add(header, EbmlUnsigned(0x42F3, 8));
    Add(header, EbmlString(0x4282, file.docType));
    Add(header, EbmlUnsigned(0x4287, 4));
    Add(header, EbmlUnsigned(0x4285, 2));
    ByteVector bytes = Ebml(0x1A45DFA3, header);

    ByteVector entries;
    for (const MkvTrack &track : file.tracks) {
        ByteVector entry = EbmlUnsigned(0xD7, track.number);
        Add(entry, EbmlUnsigned(0x73C5, track.number)); // TrackUID
        Add(entry, EbmlUnsigned(0x83, track.type));
        Add(entry, EbmlString(0x86, track.codecId));
        if (track.privateData)
            Add(entry, Ebml(0x63A2, *track.privateData));
        else if (track.codecPrivate)
            Add(entry, Ebml(0x63A2, AvcConfig(track.sps, {{0x68, 0xCE, 0x38, 0x80}}, track.lengthSize)));
        ByteVector video = EbmlUnsigned(0xB0, track.pixelWidth);
        Add(video, EbmlUnsigned(0xBA, track.pixelHeight));
        if (track.cropLeft + track.cropRight + track.cropTop + track.cropBottom != 0) {
            Add(video, EbmlUnsigned(0x54AA, track.cropBottom));
            Add(video, EbmlUnsigned(0x54BB, track.cropTop));
            Add(video, EbmlUnsigned(0x54CC, track.cropLeft));
            Add(video, EbmlUnsigned(0x54DD, track.cropRight));
        }
        if (track.displayUnit)
            Add(video, EbmlUnsigned(0x54B2, *track.displayUnit));
        if (track.displayWidth)
            Add(video, EbmlUnsigned(0x54B0, *track.displayWidth, track.displaySize));
        if (track.displayHeight)
            Add(video, EbmlUnsigned(0x54BA, *track.displayHeight, track.displaySize));
        if (track.voidAfterDisplay > 0)
            Add(video, EbmlVoid(track.voidAfterDisplay));
        Add(video, EbmlUnsigned(0x9A, 0)); // FlagInterlaced: something behind the Void
        Add(entry, Master(0xE0, video, file.crcInside));
        if (!track.stripped.empty() || track.compression || track.encrypted) {
            ByteVector encoding = EbmlUnsigned(0x5031, 0);
            Add(encoding, EbmlUnsigned(0x5032, 1));
            Add(encoding, EbmlUnsigned(0x5033, track.encrypted ? 1 : 0));
            if (track.encrypted) {
                Add(encoding, Ebml(0x5035, EbmlUnsigned(0x47E1, 5)));
            } else {
                ByteVector compression = EbmlUnsigned(0x4254, track.compression.value_or(3));
                if (!track.stripped.empty())
                    Add(compression, Ebml(0x4255, track.stripped));
                Add(encoding, Ebml(0x5034, compression));
            }
            Add(entry, Ebml(0x6D80, Ebml(0x6240, encoding)));
        }
        Add(entries, Master(0xAE, entry, file.crcInside));
    }
    const ByteVector tracks = file.crc ? EbmlWithCrc(0x1654AE6B, entries) : Ebml(0x1654AE6B, entries);

    ByteVector clusters;
    for (const auto &blocks : file.clusters) {
        ByteVector children = EbmlUnsigned(0xE7, 0);
        for (const MkvBlock &block : blocks) {
            const MkvTrack *track = &file.tracks.front();
            for (const MkvTrack &candidate : file.tracks)
                if (candidate.number == block.track)
                    track = &candidate;
            const uint64_t number = block.track != 0 ? block.track : track->number;
            const ByteVector data = MkvBlockData(block, number, track->lengthSize, track->stripped);
            Add(children, block.simple ? Ebml(0xA3, data) : Master(0xA0, Ebml(0xA1, data), file.crcInside));
        }
        if (file.unknownSizes) {
            if (file.crc)
                throw std::invalid_argument("a Cluster of unknown size gets no CRC-32 here");
            Add(clusters, EbmlUnknown(0x1F43B675, children));
        } else {
            Add(clusters, file.crc ? EbmlWithCrc(0x1F43B675, children) : Ebml(0x1F43B675, children));
        }
    }
    ByteVector info = EbmlUnsigned(0x2AD7B1, 1000000);
    ByteVector segment = file.crc ? EbmlWithCrc(0x1549A966, info) : Ebml(0x1549A966, info);
    const size_t tracksAt = segment.size() + (file.tracksAfterClusters ? clusters.size() : 0);
    if (file.tracksAfterClusters) {
        Add(segment, clusters);
        Add(segment, tracks);
    } else {
        Add(segment, tracks);
        Add(segment, clusters);
    }
    if (file.seekHead) {
        // A Seek entry for the Tracks, and with a Void behind the SeekHead one for the Info too (as ffmpeg
        // writes them); the positions (8 bytes) count from the Segment's data, which the SeekHead now opens
        // (behind the Segment's own CRC-32 when it has one).
        auto entry = [](uint32_t id, uint64_t position) {
            ByteVector seek = Ebml(0x53AB, EbmlId(id));
            Add(seek, EbmlUnsigned(0x53AC, position, 8));
            return Ebml(0x4DBB, seek);
        };
        auto seekHead = [&](uint64_t infoAt, uint64_t tracksPosition) {
            ByteVector entries;
            if (file.voidAfterSeekHead > 0)
                Add(entries, entry(0x1549A966, infoAt));
            Add(entries, entry(0x1654AE6B, tracksPosition));
            return Master(0x114D9B74, entries, file.seekHeadCrc);
        };
        const size_t ahead = seekHead(0, 0).size() + file.voidAfterSeekHead + (file.crcSegment ? 6 : 0);
        ByteVector opened = seekHead(ahead, tracksAt + ahead);
        if (file.voidAfterSeekHead > 0)
            Add(opened, EbmlVoid(file.voidAfterSeekHead));
        Add(opened, segment);
        segment = opened;
    }
    if (file.unknownSizes) {
        if (file.crcSegment)
            throw std::invalid_argument("a Segment of unknown size gets no CRC-32 here");
        Add(bytes, EbmlUnknown(0x18538067, segment));
    } else {
        Add(bytes, Master(0x18538067, segment, file.crcSegment, 8));
    }
    return bytes;
}

bool ReadEbmlHead(const ByteVector &bytes, size_t at, size_t limit, EbmlHead &head) {
    auto length = [](uint8_t first) {
        int n = 1;
        while (n <= 8 && (first & (0x80 >> (n - 1))) == 0)
            ++n;
        return n;
    };
    limit = std::min(limit, bytes.size());
    if (at >= limit)
        return false;
    const int idLength = length(bytes[at]);
    if (idLength > 4 || at + static_cast<size_t>(idLength) >= limit)
        return false;
    head.id = 0;
    for (int i = 0; i < idLength; ++i)
        head.id = (head.id << 8) | bytes[at + static_cast<size_t>(i)];
    const size_t sizeAt = at + static_cast<size_t>(idLength);
    const int sizeLength = length(bytes[sizeAt]);
    if (sizeLength > 8 || sizeAt + static_cast<size_t>(sizeLength) > limit)
        return false;
    uint64_t size = bytes[sizeAt] & (0xFF >> sizeLength);
    bool ones = size == (0xFFu >> sizeLength);
    for (int i = 1; i < sizeLength; ++i) {
        size = (size << 8) | bytes[sizeAt + static_cast<size_t>(i)];
        ones = ones && bytes[sizeAt + static_cast<size_t>(i)] == 0xFF;
    }
    head.data = sizeAt + static_cast<size_t>(sizeLength);
    head.unknown = ones;
    head.end = ones ? limit : static_cast<size_t>(std::min<uint64_t>(head.data + size, limit));
    return true;
}

namespace {

// Master elements of the format (their data is a list of elements), those a file of this kind may hold.
bool IsMaster(uint32_t id) {
    static const uint32_t Masters[] = {
        0x18538067, 0x114D9B74, 0x4DBB,     0x1549A966, 0x1654AE6B, 0xAE,   0xE0,   0xE1,       0x6D80,
        0x6240,     0x5034,     0x5035,     0x1F43B675, 0xA0,       0x75A1, 0xA6,   0x8E,       0xE8,
        0x1C53BB6B, 0xBB,       0xB7,       0x1254C367, 0x7373,     0x63C0, 0x67C8, 0x1043A770, 0x45B9,
        0xB6,       0x80,       0x1941A469, 0x61A7,     0x55B0,     0x55D0, 0x7670, 0xE2};
    return std::find(std::begin(Masters), std::end(Masters), id) != std::end(Masters);
}

// The CRC-32 elements that open the master elements among bytes[from, to) and inside them, in file order.
void FindCrcs(const ByteVector &bytes, size_t from, size_t to, int depth, std::vector<MatroskaCrc> &found) {
    EbmlHead child;
    for (size_t in = from; ReadEbmlHead(bytes, in, to, child) && child.end > in; in = child.end) {
        if (!IsMaster(child.id) || depth > 32)
            continue;
        EbmlHead first;
        if (ReadEbmlHead(bytes, child.data, child.end, first) && first.id == 0xBF &&
            first.end - first.data == 4) {
            const uint32_t stored = bytes[first.data] | (uint32_t{bytes[first.data + 1]} << 8) |
                                    (uint32_t{bytes[first.data + 2]} << 16) |
                                    (uint32_t{bytes[first.data + 3]} << 24);
            found.push_back(
                {first.data, stored == ReferenceCrc32(bytes.data() + first.end, child.end - first.end)});
        }
        FindCrcs(bytes, child.data, child.end, depth + 1, found);
    }
}

} // namespace

std::vector<MatroskaCrc> MatroskaCrcs(const ByteVector &bytes) {
    std::vector<MatroskaCrc> found;
    FindCrcs(bytes, 0, bytes.size(), 0, found);
    return found;
}
