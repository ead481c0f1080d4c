#include "RiffBuilder.h"

#include <stdexcept>

namespace {

ByteVector FourCC(const std::string &code) {
    if (code.size() != 4)
        throw std::invalid_argument("a FourCC has four characters: " + code);
    return ByteVector(code.begin(), code.end());
}

void AppendBytes(ByteVector &to, const ByteVector &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

} // namespace

ByteVector LittleEndian(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

void PutLittleEndian(ByteVector &bytes, size_t offset, uint32_t value) {
    ByteVector encoded = LittleEndian(value);
    std::copy(encoded.begin(), encoded.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

ByteVector RiffHeader(const std::string &id, uint32_t size) {
    ByteVector header = FourCC(id);
    AppendBytes(header, LittleEndian(size));
    return header;
}

ByteVector RiffChunk(const std::string &id, const ByteVector &payload) {
    ByteVector chunk = RiffHeader(id, static_cast<uint32_t>(payload.size()));
    AppendBytes(chunk, payload);
    if (payload.size() % 2 == 1)
        chunk.push_back(0);
    return chunk;
}

ByteVector RiffList(const std::string &id, const std::string &formType,
                    const std::vector<ByteVector> &children) {
    ByteVector content = FourCC(formType);
    for (const ByteVector &child : children)
        AppendBytes(content, child);
    ByteVector list = RiffHeader(id, static_cast<uint32_t>(content.size()));
    AppendBytes(list, content);
    return list;
}

ByteVector StreamHeader(const std::string &type, const std::string &handler) {
    ByteVector header = FourCC(type);
    AppendBytes(header, FourCC(handler));
    header.resize(56, 0);
    return header;
}

ByteVector StreamList(const std::string &type, const std::string &handler) {
    return RiffList("LIST", "strl",
                    {RiffChunk("strh", StreamHeader(type, handler)), RiffChunk("strf", ByteVector(40))});
}

ByteVector AviFile(const std::vector<ByteVector> &streamLists, const std::vector<ByteVector> &movieChunks) {
    std::vector<ByteVector> header{RiffChunk("avih", ByteVector(56))};
    header.insert(header.end(), streamLists.begin(), streamLists.end());
    return RiffList("RIFF", "AVI ",
                    {RiffList("LIST", "hdrl", header), RiffList("LIST", "movi", movieChunks)});
}
