#include "Scanner.h"

#include "MP4Parser.h"
#include "MatroskaParser.h"
#include "PSParser.h"
#include "StreamParser.h"
#include "TSParser.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "uRIFFParser.h"

TFileFormat ProbeFile(const std::string &fileName) {
    if (!FileExists(fileName))
        throw EInOutError(Format(SFileNotFound, fileName));
    TFileStream file(fileName, TFileOpenMode::ReadShareDenyWrite);
    return DetectFormat(file);
}

std::unique_ptr<TParser> CreateParser(TFileFormat format, TScanSession &session) {
    session.Format = format;
    if (const TCodecEntry *elementary = ElementaryCodecOf(format))
        return elementary->Codec != nullptr ? std::make_unique<TStreamParser>(session, *elementary->Codec)
                                            : nullptr;
    switch (format) {
    case TFileFormat::Avi:
        return std::make_unique<TRIFFParser>(session);
    case TFileFormat::Mp4:
        return std::make_unique<TMP4Parser>(session);
    case TFileFormat::Matroska:
    case TFileFormat::WebM:
        return std::make_unique<TMatroskaParser>(session);
    case TFileFormat::MpegTs:
    case TFileFormat::M2ts:
    case TFileFormat::MpegTs204:
        return std::make_unique<TTSParser>(session);
    case TFileFormat::MpegPs:
        return std::make_unique<TPSParser>(session);
    default:
        return nullptr;
    }
}
