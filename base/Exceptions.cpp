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

std::string Format(const std::string &pattern, std::initializer_list<TFormatArg> args) {
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
        if (next != args.end())
            result += ArgText(*next++, pattern[j], minDigits);
        i = j;
    }
    return result;
}
