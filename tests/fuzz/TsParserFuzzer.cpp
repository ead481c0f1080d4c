// The transport stream scanner on arbitrary bytes, scanned from memory, then saved with the whole-program
// property checked. The first byte chooses the packet size the scan assumes (188, 192, 204, or what the
// probe says); the rest is the file.

#include "FuzzSupport.h"
#include "SaveProperty.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "scan/TSParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    static constexpr TFileFormat Formats[] = {TFileFormat::MpegTs, TFileFormat::M2ts, TFileFormat::MpegTs204,
                                              TFileFormat::RawH264};
    const std::vector<uint8_t> bytes(data + 1, data + size);
    TScanSession session;
    session.Format = Formats[data[0] & 3];
    TTSParser parser(session);
    FuzzEvents events;
    events.Attach(parser);
    TMemoryStream memory(bytes);
    try {
        parser.Scan(memory);
    } catch (const Exception &) {
        // Bytes of no transport stream, when the probe decides; what was found before stays and is checked.
    }
    CheckScan(session, events, data + 1, size - 1, true);
    CheckSave(bytes, data[0] >> 2, 0x0010, 0x000B);
    return 0;
}
