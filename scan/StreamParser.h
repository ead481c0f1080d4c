#pragma once

#include "Parser.h"

// Raw H.264 elementary streams (Annex B), scanned from the first byte to the last. A file of a
// container format is refused before the scan (EFileFormat): start codes found in it are not NAL units
// of a stream, and patching them would damage the file.
class TStreamParser : public TParser {
public:
    using TParser::TParser;

protected:
    void Walk(TStream &stream) override;
};
