// The raw-stream scanner on arbitrary bytes.

#include "FuzzSupport.h"
#include "base/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static TRIFFParser owner; // owns ARInfoList
    static TStreamParser parser;
    const std::string &path = FuzzFile::Instance().Write(data, size);
    ARInfoList->Clear();
    parser.Aborted = false;
    try {
        parser.Parse(path);
    } catch (const Exception &) {
        // The scanner's documented failures; what was found before stays and is checked.
    }
    CheckScan(parser);
    return 0;
}
