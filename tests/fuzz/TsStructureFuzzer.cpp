// Transport streams built from the fuzzer's bytes, one instruction at a time, in all three packet sizes:
// program tables (right, sent again, damaged, missing, new versions that change a PID's stream type), PES
// packets of H.264 PIDs and of others cut into
// packets at chosen places, with SPS whose fields the bytes choose, adaptation fields with PCR,
// discontinuities and stuffing, counters that jump, packets sent twice, scrambled and damaged packets,
// garbage between packets, bytes flipped and a cut at the end. Each file is scanned by the transport stream
// scanner with every event and every row's bytes checked through its placement, then saved with the
// whole-program property checked.

#include "FuzzInput.h"
#include "SaveProperty.h"
#include "TsBuilder.h"
#include "scan/TSParser.h"

#include <algorithm>
#include <vector>

namespace {

constexpr uint16_t MapPid = 0x1000;
constexpr uint16_t VideoPids[] = {0x0100, 0x0101, 0x0200};
constexpr uint16_t OtherPids[] = {0x0102, 0x0000, MapPid, 0x1FFF, 0x0011};

class TsFuzzBuilder {
public:
    explicit TsFuzzBuilder(FuzzInput &in) : FIn(in), FTs(PacketSize(in)) {}

    ByteVector Build() {
        if ((FIn.Byte() & 7) != 7) {
            FTs.Pat({{1, MapPid}});
            Map();
        }
        for (int steps = 0; steps < 200 && !FIn.Empty(); ++steps)
            Step();
        ByteVector bytes = FTs.Bytes();
        // Now and then a few bytes flipped anywhere, and a cut at the end.
        const int flips = FIn.Byte() % 4 == 3 ? 1 + FIn.Byte() % 4 : 0;
        for (int i = 0; i < flips && !bytes.empty(); ++i)
            bytes[FIn.Long() % bytes.size()] ^= static_cast<uint8_t>(1 + FIn.Byte() % 255);
        if ((FIn.Byte() & 7) == 7 && !bytes.empty())
            bytes.resize(FIn.Long() % bytes.size());
        return bytes;
    }

    int Size() const { return FTs.PacketSize(); }

private:
    static int PacketSize(FuzzInput &in) {
        static constexpr int Sizes[] = {188, 188, 192, 204};
        return in.Pick(Sizes);
    }

    void Map() {
        static constexpr uint8_t Types[] = {0x1B, 0x1B, 0x0F, 0x02, 0x81};
        std::vector<std::pair<uint8_t, uint16_t>> streams;
        const int count = 1 + FIn.Byte() % 3;
        for (int i = 0; i < count; ++i)
            streams.emplace_back(FIn.Pick(Types), FIn.Pick(VideoPids));
        // Each map a new version, as a stream that changes its map sends it: a PID may switch between
        // H.264 and another type, or be left out.
        FTs.Pmt(MapPid, 1, streams, FVersion++);
    }

    void Step() {
        switch (FIn.Byte() % 10) {
        case 1:
            FTs.Pat({{1, MapPid},
                     {static_cast<uint16_t>(FIn.Byte()), static_cast<uint16_t>(0x1000 | FIn.Byte())}});
            break;
        case 2:
            Map();
            break;
        case 3: { // a damaged table: bytes of the fuzzer's, sometimes with a right CRC
            ByteVector section = FIn.Bytes(FIn.Byte() % 40);
            if (FIn.Flag()) {
                const uint32_t crc = TsSectionCrc(section);
                for (int shift = 24; shift >= 0; shift -= 8)
                    section.push_back(static_cast<uint8_t>(crc >> shift));
            }
            if (section.size() <= 183)
                FTs.Section(FIn.Flag() ? MapPid : 0x0000, section);
            break;
        }
        case 4: { // the last packet sent again
            const auto size = static_cast<size_t>(FTs.PacketSize());
            if (FTs.Bytes().size() >= size)
                FTs.Raw(ByteVector(FTs.Bytes().end() - static_cast<std::ptrdiff_t>(size), FTs.Bytes().end()));
            break;
        }
        case 5: { // garbage, with a sync byte here and there
            ByteVector garbage = FIn.Bytes(1 + FIn.Byte() % 200);
            for (size_t i = 0; i < garbage.size(); i += 1 + FIn.Byte() % 64)
                garbage[i] = 0x47;
            FTs.Raw(garbage);
            break;
        }
        case 6: { // a packet of the fuzzer's own header and payload bytes
            ByteVector packet{0x47};
            Append(packet, FIn.Bytes(187));
            packet.resize(188, 0xFF);
            if (FTs.PacketSize() == 192)
                FTs.Raw({0x00, 0x00, 0x00, 0x00});
            FTs.Raw(packet);
            if (FTs.PacketSize() == 204)
                FTs.Raw(ByteVector(16, 0x00));
            break;
        }
        case 7: // a packet with an adaptation field only
            FTs.Packet(FIn.Pick(VideoPids), {}, Options());
            break;
        case 8: { // something that is not video
            TsPesOptions audio;
            audio.streamId = 0xC0;
            FTs.Pes(FIn.Pick(OtherPids), Stream(), audio);
            break;
        }
        default: // 0 and 9: video, what zero bytes give
            Video();
            break;
        }
    }

    // Options of a packet: mostly plain, now and then each thing that breaks the stream.
    TsPacketOptions Options() {
        TsPacketOptions options;
        const uint8_t kind = FIn.Byte();
        options.pcr = (kind & 0x03) == 0x03;
        options.discontinuity = (kind & 0x1C) == 0x1C;
        options.stuffing = (kind & 0x20) != 0 ? FIn.Byte() % 100 : 0;
        options.scrambling = (kind & 0xC0) == 0xC0 ? 1 + FIn.Byte() % 3 : 0;
        const uint8_t rare = FIn.Byte();
        options.error = rare == 0xFF;
        options.cc = rare >= 0xF0 && rare < 0xFF ? rare & 0x0F : -1;
        return options;
    }

    // Elementary stream bytes: delimiters, SPS, other units, and bytes that are none.
    ByteVector Stream(std::vector<TSpsPlace> *places = nullptr) {
        ByteVector es;
        AppendFuzzH264Units(FIn, es, places, 1);
        return es;
    }

    void Video() {
        ByteVector es{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
        if ((FIn.Byte() & 7) == 7)
            es.clear(); // without a delimiter the PID is no video by its content
        std::vector<TSpsPlace> places;
        const size_t lead = es.size();
        Append(es, Stream(&places));
        TsPesOptions pes;
        pes.streamId = (FIn.Byte() & 15) == 15 ? FIn.Byte() : 0xE0;
        pes.pts = FIn.Flag() ? FIn.Word() : -1;
        pes.crc = (FIn.Byte() & 15) == 15;
        pes.exactLength = FIn.Flag();
        // Mostly packet boundaries in an SPS or its start code (what zero bytes give: one in the middle of
        // the first SPS), else anywhere.
        std::vector<size_t> cuts;
        const int count = (FIn.Byte() + 1) % 4;
        for (int i = 0; i < count && !es.empty(); ++i) {
            if (FIn.Flag() || places.empty()) {
                cuts.push_back(FIn.Word() % es.size());
                continue;
            }
            const TSpsPlace &sps = places[FIn.Byte() % places.size()];
            const size_t at = lead + sps.At - 4 + (FIn.Byte() + sps.Length / 2 + 4) % (sps.Length + 6);
            cuts.push_back(std::min(at, es.size()));
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        for (size_t cut : cuts)
            pes.cuts.emplace_back(cut, Options());
        try {
            FTs.Pes(FIn.Pick(VideoPids), es, pes);
        } catch (const std::invalid_argument &) {
            // a PES header that its packet's adaptation field leaves no room for: not built
        }
    }

    FuzzInput &FIn;
    TsBuilder FTs;
    uint8_t FVersion = 0;
};

TFileFormat FormatOf(int packetSize) {
    return packetSize == 192   ? TFileFormat::M2ts
           : packetSize == 204 ? TFileFormat::MpegTs204
                               : TFileFormat::MpegTs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t idc = in.Byte();
    const uint16_t width = in.Word();
    const uint16_t height = in.Word();
    TsFuzzBuilder builder(in);
    const ByteVector bytes = builder.Build();

    // The scan as the stream's packet size calls for, whatever the probe would say of the damaged bytes.
    TScanSession session;
    std::unique_ptr<TParser> parser = CreateParser(FormatOf(builder.Size()), session);
    FuzzEvents events;
    events.Attach(*parser);
    TMemoryStream memory(bytes);
    try {
        parser->Scan(memory);
    } catch (const Exception &) {
        // The scanner's documented failures; what was found before stays and is checked.
    }
    CheckScan(session, events, bytes.data(), bytes.size(), true);

    CheckSave(bytes, idc, width, height);
    return 0;
}
