// The elementary stream detection on arbitrary heads: it reads no byte outside the head, claims only for
// codecs the registry knows, and only heads that open with a start code.

#include "FuzzSupport.h"
#include "codec/CodecRegistry.h"
#include "codec/ElementaryDetect.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A copy of exactly the input's size, so that the sanitizer sees any read past it.
    const std::vector<uint8_t> head(data, data + size);
    const std::string key = DetectElementaryCodec(head.data(), head.size());
    if (key.empty())
        return 0;
    Require(CodecByKey(key) != nullptr);
    size_t zeros = 0;
    while (zeros < size && head[zeros] == 0)
        ++zeros;
    Require(zeros >= 2 && zeros < size && head[zeros] == 1);
    // A byte other than zero in front of the start code makes the head no stream.
    std::vector<uint8_t> shifted{0x5A};
    shifted.insert(shifted.end(), head.begin(), head.end());
    Require(DetectElementaryCodec(shifted.data(), shifted.size()).empty());
    return 0;
}
