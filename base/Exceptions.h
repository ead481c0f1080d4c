#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

// The three kinds of failure the system raises. Each carries its message text.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string &message) : std::runtime_error(message) {}
};

// Input/output: a missing file, a read past the end of the data.
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

// Invalid operation: a RIFF walk that does not advance, a chunk read without a stream.
class EInvalidOp : public Exception {
public:
    using Exception::Exception;
};

// One argument of Format: a number or a text.
using TFormatArg = std::variant<int64_t, std::string>;

// The number of placeholders (%s, %d, %x, with an optional width such as %.8x) of a message template;
// %% is a percent sign and no placeholder.
constexpr size_t CountPlaceholders(std::string_view pattern) {
    size_t count = 0;
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != '%')
            continue;
        size_t j = i + 1;
        if (pattern[j] == '%') {
            i = j;
            continue;
        }
        if (pattern[j] == '.')
            ++j;
        while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9')
            ++j;
        if (j < pattern.size() && (pattern[j] == 's' || pattern[j] == 'd' || pattern[j] == 'x')) {
            ++count;
            i = j;
        }
    }
    return count;
}

// A message template that takes exactly Count arguments. The check runs while compiling: a call of
// Format with one argument too few or too many does not build.
template <size_t Count> class TFormatPattern {
public:
    consteval TFormatPattern(const char *text) : Text(text) {
        if (CountPlaceholders(text) != Count)
            throw "the message template takes another number of arguments";
    }
    const char *Text;
};

// Fills a template whose arguments are known only at run time; raises std::logic_error when their number
// does not match the placeholders.
std::string FormatList(std::string_view pattern, std::initializer_list<TFormatArg> args);

template <typename T> TFormatArg FormatArgument(const T &value) {
    if constexpr (std::is_integral_v<T>)
        return static_cast<int64_t>(value);
    else
        return std::string(value);
}

// Fills a message template: %s takes a text, %d a decimal number, %x an upper-case hexadecimal number,
// and a width such as %.8x pads it with zeros to at least that many digits; %% is a percent sign.
template <typename... TArgs>
std::string Format(TFormatPattern<sizeof...(TArgs)> pattern, const TArgs &...args) {
    return FormatList(pattern.Text, {FormatArgument(args)...});
}

// The text with its control characters and the bytes that are not UTF-8 shown as \xNN (a file name or an
// identifier read from a file may hold escape sequences that a terminal would carry out, or bytes that
// make the message no text at all).
std::string EscapedText(std::string_view text);
// A code read from a file (a box type, a FourCC, a codec ID) with every byte outside printable ASCII
// shown as \xNN: codes are bytes, not text, whatever UTF-8 they may happen to form.
std::string CodeText(std::string_view code);
// The text without a full stop at its end, to go inside a sentence.
std::string WithoutFullStop(std::string_view text);
