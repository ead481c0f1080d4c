// Raw streams of SPS whose fields the fuzzer's bytes choose, in and out of their ranges, cut short now and
// then, between other units and stray bytes: scanned, and saved with the whole-program property checked.

#include "FuzzInput.h"
#include "SaveProperty.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t idc = in.Byte();
    const uint16_t width = in.Word();
    const uint16_t height = in.Word();
    std::vector<uint8_t> stream;
    for (int units = 0; units < 16 && !in.Empty(); ++units) {
        switch (in.Byte() % 5) {
        case 0:
            Append(stream, in.Bytes(in.Byte() % 8)); // stray bytes, or a unit's missing end
            break;
        case 1:
            Append(stream, {0x00, 0x00, 0x01, 0x65, 0x88, 0x84});
            break;
        default:
            Append(stream, in.Flag() ? std::vector<uint8_t>{0x00, 0x00, 0x00, 0x01}
                                     : std::vector<uint8_t>{0x00, 0x00, 0x01});
            Append(stream, FuzzSps(in));
            break;
        }
    }
    CheckSave(stream, idc, width, height);
    return 0;
}
