#include "StreamParser.h"

#include "bitstream/uFastBitStream.h"

void TStreamParser::Walk(TStream &stream) {
    // A stream read as another codec's than its content says, or one no detector claims, is read as asked;
    // an AVI file too, whose chunks hold the stream's units whole.
    const TFileFormat format = DetectFormat(stream);
    if (ElementaryCodecOf(format) == nullptr && format != TFileFormat::Unknown && format != TFileFormat::Avi)
        throw EFileFormat(format);
    TFastBitstream reader;
    reader.AttachRange(&stream, 0, 0, stream.Size(), 0);
    ScanAnnexB(FCodec, reader, [](int64_t start, int64_t) { return TPlacement(start); }, nullptr, nullptr,
               {.FirstUnitOnly = false, .Progress = true});
}
