#pragma once

#include "Parser.h"

// Elementary video streams of one codec, scanned from the first byte to the last. A file of a container
// format is refused before the scan (EFileFormat): start codes found in it are not units of a stream, and
// patching them would damage the file.
class TStreamParser : public TParser {
public:
    TStreamParser(TScanSession &session, const TCodec &codec) : TParser(session), FCodec(codec) {}

protected:
    void Walk(TStream &stream) override;

private:
    const TCodec &FCodec;
};
