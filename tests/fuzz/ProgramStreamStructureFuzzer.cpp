// Program streams built from the fuzzer's bytes, one instruction at a time, in MPEG-2's and MPEG-1's pack
// forms: pack headers with stuffing, system headers, program stream maps (right, damaged, naming H.264,
// MPEG-2 video, codecs not read or nothing), PES packets of video streams in either header form with
// stuffing, time stamps and PES CRCs, their data (delimiters, SPS whose fields the bytes choose, sequence
// headers, other bytes) cut between packets at chosen places, mostly inside an SPS, DVD's 2048-byte packs,
// padding, audio and private packets, packets of the fuzzer's own header bytes, garbage between packets,
// bytes flipped and a cut at the end. Each file is scanned by the program stream scanner with every event
// and every row's bytes checked through its placement, then saved with the whole-program property checked.

#include "FuzzInput.h"
#include "FuzzSupport.h"
#include "PsBuilder.h"
#include "SaveProperty.h"
#include "scan/Scanner.h"

#include <algorithm>
#include <vector>

namespace {

constexpr uint8_t VideoIds[] = {0xE0, 0xE0, 0xE1, 0xEF};

class PsFuzzBuilder {
public:
    explicit PsFuzzBuilder(FuzzInput &in) : FIn(in), FPs((in.Byte() & 3) == 3) {}

    ByteVector Build() {
        if ((FIn.Byte() & 3) == 3)
            Map();
        for (int steps = 0; steps < 200 && !FIn.Empty(); ++steps)
            Step();
        ByteVector bytes = FPs.Bytes();
        // Now and then a few bytes flipped anywhere, and a cut at the end.
        const int flips = FIn.Byte() % 4 == 3 ? 1 + FIn.Byte() % 4 : 0;
        for (int i = 0; i < flips && !bytes.empty(); ++i)
            bytes[FIn.Long() % bytes.size()] ^= static_cast<uint8_t>(1 + FIn.Byte() % 255);
        if ((FIn.Byte() & 7) == 7 && !bytes.empty())
            bytes.resize(FIn.Long() % bytes.size());
        return bytes;
    }

private:
    void Map() {
        static constexpr uint8_t Types[] = {0x1B, 0x1B, 0x02, 0x01, 0x10, 0x24, 0x80, 0x03};
        std::vector<std::pair<uint8_t, uint8_t>> streams;
        const int count = FIn.Byte() % 4;
        for (int i = 0; i < count; ++i)
            streams.emplace_back(FIn.Pick(Types), FIn.Pick(VideoIds));
        FPs.Map(streams, (FIn.Byte() & 7) != 7);
    }

    void Step() {
        switch (FIn.Byte() % 12) {
        case 1:
            FPs.Pack(FIn.Byte() % 8);
            break;
        case 2:
            FPs.SystemHeader();
            break;
        case 3:
            Map();
            break;
        case 4:
            FPs.Padding(6 + FIn.Byte());
            break;
        case 5: { // audio or a private stream, which may hold anything
            static constexpr uint8_t Others[] = {0xC0, 0xBD, 0xBF, 0xDF};
            const uint8_t id = FIn.Pick(Others);
            if (id == 0xBF)
                FPs.Packet(id, FIn.Bytes(FIn.Byte()));
            else
                FPs.Pes(id, FIn.Bytes(FIn.Byte()), PesOptions());
            break;
        }
        case 6: { // garbage, with a start code here and there
            ByteVector garbage = FIn.Bytes(1 + FIn.Byte() % 64);
            for (size_t i = 0; i + 4 <= garbage.size(); i += 4 + FIn.Byte() % 32) {
                garbage[i] = 0x00;
                garbage[i + 1] = 0x00;
                garbage[i + 2] = 0x01;
            }
            FPs.Raw(garbage);
            break;
        }
        case 7: { // a packet of the fuzzer's own header bytes
            ByteVector packet{0x00, 0x00, 0x01, static_cast<uint8_t>(0xB9 | FIn.Byte())};
            Append(packet, FIn.Bytes(FIn.Byte() % 40));
            FPs.Raw(packet);
            break;
        }
        case 8:
            FPs.DvdVideo(FIn.Pick(VideoIds), Stream(nullptr));
            break;
        case 9: { // MPEG video: a sequence header of the fuzzer's fields
            ByteVector es{0x00, 0x00, 0x01, 0xB3};
            Append(es, FIn.Bytes(8));
            Append(es, {0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
            FPs.Pes(FIn.Pick(VideoIds), es, PesOptions());
            break;
        }
        default: // 0, 10 and 11: H.264 video, what zero bytes give
            Video();
            break;
        }
    }

    PsPesOptions PesOptions() {
        PsPesOptions options;
        const uint8_t kind = FIn.Byte();
        options.mpeg1 = (kind & 0x03) == 0x03;
        options.stuffing = (kind & 0x04) != 0 ? FIn.Byte() % 20 : 0;
        options.pts = (kind & 0x08) != 0 ? FIn.Word() : -1;
        options.crc = !options.mpeg1 && (kind & 0x70) == 0x70;
        return options;
    }

    // Elementary stream bytes: a delimiter first (mostly), then delimiters, SPS, other units and bytes that
    // are none.
    ByteVector Stream(std::vector<TSpsPlace> *places) {
        ByteVector es;
        if ((FIn.Byte() & 7) != 7)
            es = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
        AppendFuzzH264Units(FIn, es, places, 8);
        return es;
    }

    // The stream cut into PES packets, mostly inside an SPS or its start code (what zero bytes give: one in
    // the middle of the first SPS), else anywhere; a pack header between them now and then.
    void Video() {
        std::vector<TSpsPlace> places;
        const ByteVector es = Stream(&places);
        const uint8_t id = (FIn.Byte() & 15) == 15 ? FIn.Byte() : FIn.Pick(VideoIds);
        std::vector<size_t> cuts{0, es.size()};
        const int count = (FIn.Byte() + 1) % 4;
        for (int i = 0; i < count && !es.empty(); ++i) {
            if (FIn.Flag() || places.empty()) {
                cuts.push_back(FIn.Word() % es.size());
                continue;
            }
            const TSpsPlace &sps = places[FIn.Byte() % places.size()];
            cuts.push_back(
                std::min(sps.At - 4 + (FIn.Byte() + sps.Length / 2 + 4) % (sps.Length + 6), es.size()));
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            if ((FIn.Byte() & 3) == 3)
                FPs.Pack(FIn.Byte() % 8);
            const ByteVector piece(es.begin() + static_cast<std::ptrdiff_t>(cuts[i]),
                                   es.begin() + static_cast<std::ptrdiff_t>(cuts[i + 1]));
            FPs.Pes(id, piece, PesOptions());
        }
    }

    FuzzInput &FIn;
    PsBuilder FPs;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t idc = in.Byte();
    const uint16_t width = in.Word();
    const uint16_t height = in.Word();
    PsFuzzBuilder builder(in);
    const ByteVector bytes = builder.Build();

    // The scan of a program stream, whatever the probe would say of the damaged bytes.
    TScanSession session;
    std::unique_ptr<TParser> parser = CreateParser(TFileFormat::MpegPs, session);
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
