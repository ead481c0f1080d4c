// AVI files built from the fuzzer's bytes, one instruction at a time: lists opened and closed, chunks of
// every kind the walk treats apart, SPS whose fields the bytes choose, sizes that lie (0, past the end,
// more or less than the content), extension chunks and a cut at the end. Each file is scanned, and saved
// with the whole-program property checked.

#include "FuzzInput.h"
#include "RiffBuilder.h"
#include "SaveProperty.h"

#include <string>
#include <vector>

namespace {

class AviBuilder {
public:
    explicit AviBuilder(FuzzInput &in) : FIn(in) {}

    std::vector<uint8_t> Build() {
        Open("RIFF", "AVI ");
        for (int steps = 0; steps < 400 && !FIn.Empty(); ++steps)
            Step();
        while (!FOpen.empty())
            Close();
        if ((FIn.Byte() & 3) == 3) { // an OpenDML extension
            Open("RIFF", "AVIX");
            Open("LIST", "movi");
            VideoChunk();
            while (!FOpen.empty())
                Close();
        }
        for (const Lie &lie : FLies)
            PutLittleEndian(FBytes, lie.SizeAt, lie.Size);
        if ((FIn.Byte() & 7) == 7 && !FBytes.empty())
            FBytes.resize(FIn.Long() % FBytes.size());
        return FBytes;
    }

private:
    struct Lie {
        size_t SizeAt;
        uint32_t Size;
    };

    void Step() {
        switch (FIn.Byte() % 9) {
        case 8: {
            static constexpr const char *Forms[] = {"hdrl", "strl", "movi", "rec ", "odml", "INFO"};
            Open("LIST", FIn.Pick(Forms));
            break;
        }
        case 1:
            if (FOpen.size() > 1)
                Close();
            break;
        case 2:
            VideoChunk();
            break;
        case 3: {
            static constexpr const char *Types[] = {"vids", "auds", "vids"};
            static constexpr const char *Handlers[] = {"H264", "avc1", "XVID", "MJPG"};
            ByteVector header = StreamHeader(FIn.Pick(Types), FIn.Pick(Handlers));
            Chunk("strh", header);
            break;
        }
        case 4: {
            ByteVector format(40, 0);
            if (FIn.Flag())
                Append(format, WithStartCode(FuzzSps(FIn)));
            Chunk("strf", format);
            break;
        }
        case 5: {
            ByteVector properties(68, 0);
            PutLittleEndian(properties, 20, FIn.Long());
            PutLittleEndian(properties, 24, FIn.Flag() ? 720 : FIn.Word());
            PutLittleEndian(properties, 28, FIn.Flag() ? 576 : FIn.Word());
            Chunk("vprp", properties);
            break;
        }
        case 6: {
            static constexpr const char *Ids[] = {"JUNK", "idx1", "01wb", "00db", "ix00", "RIFF"};
            Chunk(FIn.Pick(Ids), FIn.Bytes(FIn.Byte() % 24));
            break;
        }
        case 7: // the size of the last chunk written lies
            if (FLastSizeAt > 0) {
                static constexpr uint32_t Sizes[] = {0, 0xFFFFFFFF, 1, 3};
                const uint32_t size = FIn.Flag() ? FIn.Pick(Sizes) : FIn.Long() % 4096;
                FLies.push_back({FLastSizeAt, size});
            }
            break;
        default: // 0: what zero bytes give
            VideoChunk();
            break;
        }
    }

    void VideoChunk() {
        ByteVector payload;
        const int units = 1 + FIn.Byte() % 3;
        for (int i = 0; i < units; ++i) {
            switch (FIn.Byte() % 4) {
            case 3:
                Append(payload, {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0});
                break;
            case 1:
                Append(payload, {0x00, 0x00, 0x01, 0x68, 0xCE, 0x38, 0x80});
                break;
            default:
                Append(payload, WithStartCode(FuzzSps(FIn)));
                break;
            }
        }
        Chunk(FIn.Flag() ? "00dc" : "01dc", payload);
    }

    void Chunk(const std::string &id, const ByteVector &payload) {
        FLastSizeAt = FBytes.size() + 4;
        Append(FBytes, RiffChunk(id, payload));
    }

    void Open(const std::string &id, const std::string &form) {
        FOpen.push_back(FBytes.size());
        FLastSizeAt = FBytes.size() + 4;
        Append(FBytes, RiffHeader(id, 0));
        Append(FBytes, ByteVector(form.begin(), form.end()));
    }

    void Close() {
        const size_t at = FOpen.back();
        FOpen.pop_back();
        PutLittleEndian(FBytes, at + 4, static_cast<uint32_t>(FBytes.size() - at - 8));
    }

    FuzzInput &FIn;
    std::vector<uint8_t> FBytes;
    std::vector<size_t> FOpen;
    std::vector<Lie> FLies;
    size_t FLastSizeAt = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t idc = in.Byte();
    const uint16_t width = in.Word();
    const uint16_t height = in.Word();
    AviBuilder builder(in);
    CheckSave(builder.Build(), idc, width, height);
    return 0;
}
