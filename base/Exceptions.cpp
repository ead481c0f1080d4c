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

namespace {

void AppendEscaped(std::string &text, unsigned char byte) {
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02X", byte);
    text += code;
}

// The length of the well-formed UTF-8 sequence at text[at] (no overlong forms, surrogates or code points
// past U+10FFFF), 0 when there is none.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

} // namespace

std::string EscapedText(std::string_view text) {
    std::string escaped;
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            AppendEscaped(escaped, byte);
            ++i;
        } else if (byte < 0x80) {
            escaped += text[i++];
        } else if (const size_t length = Utf8SequenceLength(text, i); length > 0) {
            escaped.append(text.substr(i, length));
            i += length;
        } else {
            AppendEscaped(escaped, byte);
            ++i;
        }
    }
    return escaped;
}

std::string CodeText(std::string_view code) {
    std::string escaped;
    for (char c : code) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F)
            AppendEscaped(escaped, byte);
        else
            escaped += c;
    }
    return escaped;
}

std::string WithoutFullStop(std::string_view text) {
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.remove_suffix(1);
    return std::string(text);
}
