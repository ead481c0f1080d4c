#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
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

// Fills a message template: %s takes a text, %d a decimal number, %x an upper-case hexadecimal
// number, and a width such as %.8x pads it with zeros to at least that many digits; %% is a percent sign.
std::string Format(const std::string &pattern, std::initializer_list<TFormatArg> args);
