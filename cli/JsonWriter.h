#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// The text as a JSON string literal with its quotes. Valid UTF-8 is kept as it is; quotes, backslashes
// and control characters are escaped, and bytes that are not valid UTF-8 become U+FFFD.
std::string JsonQuote(std::string_view text);

// Writes one JSON document, indented by two blanks per level. The caller keeps the nesting right:
// inside an object every value is preceded by Key.
class TJsonWriter {
public:
    explicit TJsonWriter(std::ostream &out) : FOut(out) {}

    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    void Key(std::string_view name);
    void String(std::string_view value);
    void Integer(int64_t value);
    void Boolean(bool value);
    void Null();

    // A member of the current object.
    void Field(std::string_view name, std::string_view value);
    void Field(std::string_view name, int64_t value);
    void FieldBoolean(std::string_view name, bool value);

private:
    struct TLevel {
        bool IsObject;
        size_t Count;
    };
    // Separates and indents the next value, unless it follows its key.
    void BeforeValue();
    void Open(char bracket, bool isObject);
    void Close(char bracket);
    void NewLine(size_t depth);

    std::ostream &FOut;
    std::vector<TLevel> FLevels;
    bool FAfterKey = false;
};
