#include "ShownTexts.h"

#include <cstdio>

std::string ErrorMessageText(const std::string &message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

std::string OffsetText(int64_t offset, int64_t fileSize) {
    int bytes = 1;
    if (fileSize > 0) {
        bytes = 0;
        while (bytes < 8 && (uint64_t{1} << (8 * bytes)) < static_cast<uint64_t>(fileSize))
            ++bytes;
    }
    char digits[24];
    std::snprintf(digits, sizeof digits, "%0*llX", 2 * bytes, static_cast<unsigned long long>(offset));
    return digits;
}
