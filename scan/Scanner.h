#pragma once

// Which scanner reads a file: decided here, from the file's content, for both programs.

#include "FormatProbe.h"
#include "Parser.h"

#include <memory>
#include <string>

// The format of a file, read from its content. Raises EInOutError for a missing file and one that is not
// a regular file or can not be opened.
TFileFormat ProbeFile(const std::string &fileName);

// The scanner of a format, scanning into the session; null for a format no scanner reads (an elementary
// stream of a codec whose bitstream the program does not read, say).
std::unique_ptr<TParser> CreateParser(TFileFormat format, TScanSession &session);
