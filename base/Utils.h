#pragma once

// Version texts of the program's executable: "major.minor.release.build".

#include <cstdint>
#include <string>

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
