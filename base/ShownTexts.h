#pragma once

// Texts both programs show the same way.

#include <cstdint>
#include <string>

// An error message as the error box shows it: a full stop appended when its last character sorts after
// the full stop.
std::string ErrorMessageText(const std::string &message);
// A file offset in the offset columns: upper-case hexadecimal, padded with zeros to two digits per byte
// needed to count to the size of the file (2 while no size is known).
std::string OffsetText(int64_t offset, int64_t fileSize);
