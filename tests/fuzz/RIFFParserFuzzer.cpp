// The AVI scanner on arbitrary bytes. The first byte chooses the answer to the handler question (bit 0)
// and the scan mode (bit 1); the rest is the file.

#include "FuzzSupport.h"
#include "base/Exceptions.h"

namespace {

// Sub-chunks lie in file order, each behind the one before: the walk never stands still or goes back.
void CheckTree(const TGenericRIFFChunk &chunk) {
    int64_t previous = -1;
    for (const auto &child : chunk.Children) {
        Require(child->Parent == &chunk && child->HeaderPos > previous &&
                child->DataPos == child->HeaderPos + 8);
        previous = child->HeaderPos;
        CheckTree(*child);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static TRIFFParser parser;
    if (size == 0)
        return 0;
    const bool scanAnyway = (data[0] & 1) != 0;
    parser.DeepScan = (data[0] & 2) == 0;
    parser.OnForeignHandler = [scanAnyway](const std::string &fourCC) {
        Require(fourCC.size() == 4);
        return scanAnyway;
    };
    const std::string &path = FuzzFile::Instance().Write(data + 1, size - 1);
    ARInfoList->Clear();
    parser.Aborted = false;
    try {
        parser.Parse(path);
    } catch (const Exception &) {
        // The scanner's documented failures; what was found before stays and is checked.
    }
    Require(parser.Bitstream == nullptr);
    CheckScan(parser);
    if (parser.RootChunk)
        CheckTree(*parser.RootChunk);
    return 0;
}
