#include "Exceptions.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::string NumberText(int64_t value, bool hex, int minDigits) {
    char digits[32];
    if (hex)
        std::snprintf(digits, sizeof digits, "%" PRIX64, static_cast<uint64_t>(value));
    else
        std::snprintf(digits, sizeof digits, "%" PRId64, value);
    std::string text = digits;
    bool negative = !text.empty() && text[0] == '-';
    std::string body = negative ? text.substr(1) : text;
    if (static_cast<int>(body.size()) < minDigits)
        body.insert(0, minDigits - body.size(), '0');
    return negative ? "-" + body : body;
}

std::string ArgText(const TFormatArg &arg, char conversion, int minDigits) {
    if (const auto *text = std::get_if<std::string>(&arg))
        return *text;
    int64_t value = std::get<int64_t>(arg);
    if (conversion == 's')
        return NumberText(value, false, 0);
    return NumberText(value, conversion == 'x', minDigits);
}

} // namespace

std::string FormatList(std::string_view pattern, std::initializer_list<TFormatArg> args) {
    if (CountPlaceholders(pattern) != args.size())
        throw std::logic_error("message template \"" + std::string(pattern) + "\" given " +
                               std::to_string(args.size()) + " arguments");
    std::string result;
    auto next = args.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c != '%' || i + 1 == pattern.size()) {
            result += c;
            continue;
        }
        size_t j = i + 1;
        if (pattern[j] == '%') {
            result += '%';
            i = j;
            continue;
        }
        int minDigits = 0;
        if (pattern[j] == '.')
            ++j;
        while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9')
            minDigits = minDigits * 10 + (pattern[j++] - '0');
        if (j == pattern.size() || (pattern[j] != 's' && pattern[j] != 'd' && pattern[j] != 'x')) {
            result += c;
            continue;
        }
        result += ArgText(*next++, pattern[j], minDigits);
        i = j;
    }
    return result;
}

std::string EscapedText(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string WithoutFullStop(std::string_view text) {
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.remove_suffix(1);
    return std::string(text);
}
