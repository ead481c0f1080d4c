#include "StreamParser.h"

#include "bitstream/uFastBitStream.h"
#include "codec/CodecRegistry.h"

void TStreamParser::Walk(TStream &stream) {
    // A stream no detector claims is read as asked, and so is an AVI file, whose chunks hold the stream's
    // units whole. A container, or the stream of another codec, is refused: its start codes are no units of
    // this codec (an MPEG-2 stream read as H.264 gives dozens of damaged SPS), and patching them would
    // damage the file.
    const TFileFormat format = DetectFormat(stream);
    const TCodecEntry *elementary = ElementaryCodecOf(format);
    const bool readable = elementary != nullptr
                              ? elementary->Codec == &FCodec
                              : format == TFileFormat::Unknown || format == TFileFormat::Avi;
    if (!readable)
        throw EFileFormat(format);
    TFastBitstream reader;
    reader.AttachRange(&stream, 0, 0, stream.Size(), 0);
    ScanAnnexB(FCodec, reader, [](int64_t start, int64_t) { return TPlacement(start); }, nullptr, nullptr,
               {.FirstUnitOnly = false, .Progress = true});
}
