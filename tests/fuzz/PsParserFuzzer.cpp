// The program stream scanner on arbitrary bytes, scanned from memory, then saved with the whole-program
// property checked. The first byte chooses the change; the rest is the file.

#include "FuzzSupport.h"
#include "SaveProperty.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "scan/PSParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const std::vector<uint8_t> bytes(data + 1, data + size);
    TScanSession session;
    session.Format = TFileFormat::MpegPs;
    TPSParser parser(session);
    FuzzEvents events;
    events.Attach(parser);
    TMemoryStream memory(bytes);
    try {
        parser.Scan(memory);
    } catch (const Exception &) {
        // What was found before the error stays and is checked.
    }
    CheckScan(session, events, data + 1, size - 1, true);
    CheckSave(bytes, data[0], 0x0010, 0x0009);
    return 0;
}
