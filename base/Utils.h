#pragma once

#include "FileFormat.h"

#include <cstdint>
#include <string>

// What both programs show the same way: version texts, offsets, error messages and format names.

// Version texts of the program's executable: "major.minor.release.build".

// Reads the file-version words of a file's version record: major and minor in the most significant
// word, release and build in the least significant one. False (and the words untouched) when the file
// does not exist or carries no version record.
bool ReadFileVersion(const std::string &fileName, uint32_t &mostSignificant, uint32_t &leastSignificant);
// The version text of a file, "[File not found]" or "[Error]".
std::string GetFileVersionStr(const std::string &fileName);
std::string GetAppVersionStr();
// Product name, a blank and the version text, for example "Pellmar 0.1.1.0".
std::string GetAppCaption();
// The product version text, "0.1 beta".
std::string GetProductVersionStr();
// Path of the running program's own executable.
std::string GetAppFileName();

// Texts both programs show the same way.

// An error message as the error box shows it: a full stop appended when its last character sorts after
// the full stop.
std::string ErrorMessageText(const std::string &message);
// A file offset in the offset columns: upper-case hexadecimal, padded with zeros to two digits per byte
// needed to count to the size of the file (2 while no size is known).
std::string OffsetText(int64_t offset, int64_t fileSize);

// The name of a file format as the programs show it, e.g. "MP4 (ISO base media)".
std::string FormatName(TFileFormat format);
// The same behind its article, for sentences: "an MP4 (ISO base media)".
std::string FormatNameWithArticle(TFileFormat format);
// Why a file of the format is not read, as both programs tell it.
std::string FormatNotReadText(TFileFormat format);
// Whether files of the format can state a video track's aspect ratio beside the SPS, which players then
// show (AVI's video properties, MP4's pasp, Matroska's display size). Where it can not (raw streams,
// transport streams), players and TVs read the SPS.
bool FormatStatesAspectRatio(TFileFormat format);
