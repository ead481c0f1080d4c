#include "JsonWriter.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at the start of text, 0 when it does not start with one.
size_t Utf8SequenceLength(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

} // namespace

std::string JsonQuote(std::string_view text) {
    std::string quoted = "\"";
    while (!text.empty()) {
        char c = text[0];
        size_t length = Utf8SequenceLength(text);
        if (length == 0) {
            quoted += "\\ufffd";
            length = 1;
        } else if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c == '\b') {
            quoted += "\\b";
        } else if (c == '\f') {
            quoted += "\\f";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          static_cast<unsigned>(static_cast<unsigned char>(c)));
            quoted += escape;
        } else {
            quoted.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return quoted + "\"";
}

void TJsonWriter::NewLine(size_t depth) {
    FOut << '\n' << std::string(2 * depth, ' ');
}

void TJsonWriter::BeforeValue() {
    if (FAfterKey) {
        FAfterKey = false;
        return;
    }
    if (FLevels.empty())
        return;
    if (FLevels.back().Count++ > 0)
        FOut << ',';
    NewLine(FLevels.size());
}

void TJsonWriter::Open(char bracket, bool isObject) {
    BeforeValue();
    FOut << bracket;
    FLevels.push_back({isObject, 0});
}

void TJsonWriter::Close(char bracket) {
    bool empty = FLevels.back().Count == 0;
    FLevels.pop_back();
    if (!empty)
        NewLine(FLevels.size());
    FOut << bracket;
    if (FLevels.empty())
        FOut << '\n';
}

void TJsonWriter::BeginObject() {
    Open('{', true);
}

void TJsonWriter::EndObject() {
    Close('}');
}

void TJsonWriter::BeginArray() {
    Open('[', false);
}

void TJsonWriter::EndArray() {
    Close(']');
}

void TJsonWriter::Key(std::string_view name) {
    BeforeValue();
    FOut << JsonQuote(name) << ": ";
    FAfterKey = true;
}

void TJsonWriter::String(std::string_view value) {
    BeforeValue();
    FOut << JsonQuote(value);
}

void TJsonWriter::Integer(int64_t value) {
    BeforeValue();
    FOut << value;
}

void TJsonWriter::Boolean(bool value) {
    BeforeValue();
    FOut << (value ? "true" : "false");
}

void TJsonWriter::Null() {
    BeforeValue();
    FOut << "null";
}

void TJsonWriter::Field(std::string_view name, std::string_view value) {
    Key(name);
    String(value);
}

void TJsonWriter::Field(std::string_view name, int64_t value) {
    Key(name);
    Integer(value);
}

void TJsonWriter::FieldBoolean(std::string_view name, bool value) {
    Key(name);
    Boolean(value);
}
