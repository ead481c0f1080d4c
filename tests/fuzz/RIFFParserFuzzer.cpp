// The AVI scanner on arbitrary bytes, scanned from memory. The first byte chooses the answer to the
// handler question (bit 0) and the scan mode (bit 1); the rest is the file.

#include "FuzzSupport.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "scan/uRIFFParser.h"

namespace {

// Sub-chunks lie in file order inside their list, each behind the one before: the walk never stands
// still or goes back, never leaves its list, and goes no deeper than its limit.
void CheckTree(const TGenericRIFFChunk &chunk, int64_t fileSize, size_t depth) {
    Require(depth <= TRIFFParser::MaxListDepth);
    Require(chunk.DataPos == chunk.HeaderPos + 8 && chunk.WalkEnd <= fileSize);
    Require(chunk.WalkEnd <= chunk.DataEnd() || chunk.IsList());
    int64_t previous = -1;
    for (const auto &child : chunk.Children) {
        Require(chunk.IsList() && child->Parent == &chunk);
        Require(child->HeaderPos > previous && child->HeaderPos >= chunk.DataPos + 4);
        Require(child->WalkEnd <= chunk.WalkEnd && child->HeaderPos + 8 <= chunk.WalkEnd);
        previous = child->HeaderPos;
        CheckTree(*child, fileSize, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const bool scanAnyway = (data[0] & 1) != 0;
    TScanSession session;
    TRIFFParser parser(session);
    parser.DeepScan = (data[0] & 2) == 0;
    FuzzEvents events;
    events.Attach(parser);
    int64_t asked = 0;
    parser.Events.OnForeignHandler = [scanAnyway, &asked](const std::string &fourCC) {
        Require(fourCC.size() == 4);
        ++asked;
        return scanAnyway;
    };
    TMemoryStream memory(std::vector<uint8_t>(data + 1, data + size));
    try {
        parser.Scan(memory);
    } catch (const Exception &) {
        // The scanner's documented failures; what was found before stays and is checked.
    }
    Require(parser.Bitstream == nullptr);
    // A refusal at the question ends the scan: it is asked at most once then.
    Require(scanAnyway || asked <= 1);
    Require(parser.Aborted == (!scanAnyway && asked > 0));
    CheckScan(session, events, data + 1, size - 1);
    if (parser.RootChunk)
        CheckTree(*parser.RootChunk, session.FileSize, 1);
    for (const auto &extension : parser.ExtensionChunks)
        CheckTree(*extension, session.FileSize, 1);
    return 0;
}
