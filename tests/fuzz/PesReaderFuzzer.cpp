// PES reassembly on arbitrary bytes cut into arbitrary pieces. The first byte says how many pieces the
// rest gets, and by its top bit whether MPEG-1's header form is taken too (program streams) or MPEG-2's
// alone (transport streams); the pieces' lengths come next, each beginning a PES or going on with the one
// before. Every byte handed on as data is the input's byte at its offset, in order, never twice, and never
// more than a header's PES_packet_length allows; and the same bytes cut only where PES begin give the same
// data and the same events: where a container cuts a PES never changes what it holds.

#include "FuzzSupport.h"
#include "scan/PesReader.h"

#include <string>

namespace {

struct Recorder : TPesConsumer {
    const std::vector<uint8_t> &Input;
    std::vector<int64_t> Offsets;
    std::string Events;
    explicit Recorder(const std::vector<uint8_t> &input) : Input(input) {}

    void PesBegins(bool crc) override { Events += crc ? "C" : "B"; }
    void PesData(const uint8_t *bytes, int64_t count, int64_t offset) override {
        Require(count > 0 && offset >= 0 && offset + count <= static_cast<int64_t>(Input.size()));
        Require(Offsets.empty() || offset > Offsets.back());
        for (int64_t i = 0; i < count; ++i) {
            Require(bytes[i] == Input[static_cast<size_t>(offset + i)]);
            Offsets.push_back(offset + i);
        }
    }
    void PesHeaderBad(int64_t place) override { Events += "X" + std::to_string(place); }
};

struct TPiece {
    size_t Start;
    size_t End;
    bool PesStart;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const size_t count = data[0] % 16 + 1;
    const TPesForms forms = (data[0] & 0x80) != 0 ? TPesForms::Mpeg2OrMpeg1 : TPesForms::Mpeg2;
    const size_t head = std::min(size, 1 + count);
    const std::vector<uint8_t> input(data + head, data + size);
    std::vector<TPiece> pieces;
    size_t at = 0;
    for (size_t i = 1; i < head && at < input.size(); ++i) {
        const size_t length = std::min<size_t>(data[i] >> 1, input.size() - at);
        pieces.push_back({at, at + length, (data[i] & 1) != 0 || i == 1});
        at += length;
    }
    if (at < input.size())
        pieces.push_back({at, input.size(), false});

    Recorder cut(input);
    TPesReader reader(cut, forms);
    for (const TPiece &piece : pieces) {
        if (piece.PesStart)
            reader.Start(static_cast<int64_t>(piece.Start));
        reader.Read(input.data() + piece.Start, static_cast<int64_t>(piece.End - piece.Start),
                    static_cast<int64_t>(piece.Start));
    }
    Require(cut.Offsets.size() <= input.size());

    Recorder whole(input);
    TPesReader wholeReader(whole, forms);
    for (size_t i = 0; i < pieces.size();) {
        size_t end = i + 1;
        while (end < pieces.size() && !pieces[end].PesStart)
            ++end;
        if (pieces[i].PesStart)
            wholeReader.Start(static_cast<int64_t>(pieces[i].Start));
        wholeReader.Read(input.data() + pieces[i].Start,
                         static_cast<int64_t>(pieces[end - 1].End - pieces[i].Start),
                         static_cast<int64_t>(pieces[i].Start));
        i = end;
    }
    Require(whole.Offsets == cut.Offsets && whole.Events == cut.Events);

    // A PES whose header gives its length hands on no data beyond that length.
    for (size_t i = 0; i < pieces.size(); ++i) {
        const size_t from = pieces[i].Start;
        if (!pieces[i].PesStart || from + 6 > input.size())
            continue;
        const uint8_t *pes = input.data() + from;
        const int length = pes[4] << 8 | pes[5];
        if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || length == 0)
            continue;
        size_t next = i + 1;
        while (next < pieces.size() && !pieces[next].PesStart)
            ++next;
        const auto end = static_cast<int64_t>(next < pieces.size() ? pieces[next].Start : input.size());
        for (int64_t offset : cut.Offsets)
            Require(offset < static_cast<int64_t>(from) || offset >= end ||
                    offset < static_cast<int64_t>(from) + 6 + length);
    }
    return 0;
}
