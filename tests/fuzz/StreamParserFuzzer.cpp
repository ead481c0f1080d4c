// The raw-stream scanner on arbitrary bytes, scanned from memory.

#include "FuzzSupport.h"
#include "H264StreamScan.h"
#include "base/Exceptions.h"
#include "base/Streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    TScanSession session;
    TH264StreamParser parser(session);
    FuzzEvents events;
    events.Attach(parser);
    TMemoryStream memory(std::vector<uint8_t>(data, data + size));
    try {
        parser.Scan(memory);
    } catch (const EFileFormat &error) {
        // A container is refused before anything is scanned.
        Require(error.Format != TFileFormat::RawH264 && error.Format != TFileFormat::Avi);
        Require(session.RatioUnitCount == 0 && session.ARInfoList.Count() == 0);
    } catch (const Exception &) {
        // The scanner's documented failures; what was found before stays and is checked.
    }
    CheckScan(session, events, data, size);
    return 0;
}
