#include "tools/cli/json.h"

#include <cstdio>

namespace vm::cli {

std::string JsonWriter::Quote(std::string_view text) {
    std::string s = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += ch;
        } else if (c >= 0x20 && c < 0x7F) {
            s += ch;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            s += buf;
        }
    }
    return s + "\"";
}

void JsonWriter::Key(std::string_view key) {
    if (!first_.empty()) {
        if (!first_.back()) out_ << ',';
        first_.back() = false;
        out_ << '\n' << std::string(2 * first_.size(), ' ');
    }
    if (!key.empty()) out_ << Quote(key) << ": ";
}

JsonWriter& JsonWriter::Open(std::string_view key, char bracket) {
    Key(key);
    out_ << bracket;
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty) out_ << '\n' << std::string(2 * first_.size(), ' ');
    out_ << bracket;
    if (first_.empty()) out_ << '\n';
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view key, std::string_view value) {
    Key(key);
    out_ << Quote(value);
    return *this;
}

JsonWriter& JsonWriter::Number(std::string_view key, std::string_view formatted) {
    Key(key);
    out_ << formatted;
    return *this;
}

JsonWriter& JsonWriter::Number(std::string_view key, long long value) {
    Key(key);
    out_ << value;
    return *this;
}

JsonWriter& JsonWriter::Bool(std::string_view key, bool value) {
    Key(key);
    out_ << (value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::Null(std::string_view key) {
    Key(key);
    out_ << "null";
    return *this;
}

}  // namespace vm::cli
