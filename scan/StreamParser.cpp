#include "StreamParser.h"

#include "bitstream/uFastBitStream.h"

void TStreamParser::Walk(TStream &stream) {
    const TFileFormat format = DetectFormat(stream);
    if (format != TFileFormat::RawH264 && format != TFileFormat::Avi)
        throw EFileFormat(format);
    TFastBitstream reader;
    reader.AttachRange(&stream, 0, 0, stream.Size(), 0);
    ScanAnnexB(reader, [](int64_t start, int64_t) { return TPlacement(start); }, nullptr, nullptr,
               {.FirstUnitOnly = false, .Progress = true});
}
