#pragma once

// What kind of file this is, read from its content (never from its name): the one decision both
// programs take before they choose a scanner.

#include "base/Exceptions.h"
#include "base/FileFormat.h"
#include "base/Streams.h"

struct TCodecEntry;

// Reads the first ProbedBytes bytes of the stream and names its format: nothing else of the file counts.
TFileFormat DetectFormat(TStream &stream);
inline constexpr int64_t ProbedBytes = 65536 + 16;

// Whether a scanner of this program reads the format. WebM does not hold H.264: it is refused before any
// scan (and the Matroska scanner, made to read one, refuses it once it has read the DocType). An elementary
// stream is read when its codec is.
bool IsScannable(TFileFormat format);
// The codec of an elementary stream's format; null for the other formats.
const TCodecEntry *ElementaryCodecOf(TFileFormat format);
// Why a file of the format was not read as readAs, the raw stream of one codec it was asked to be read as:
// a stream of another codec read here is told as such, anything else as FormatNotReadText tells it.
std::string NotReadAsText(TFileFormat format, TFileFormat readAs);

// A file of a format the scanner that was asked to read it does not read.
class EFileFormat : public Exception {
public:
    explicit EFileFormat(TFileFormat format);
    TFileFormat Format;
};
