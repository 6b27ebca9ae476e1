// A small JSON writer for the tool's --json output: objects, arrays, strings, numbers printed
// from text already formatted ("145.50000"), booleans and null; two-space indentation.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vm::cli {

class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}
    ~JsonWriter() = default;

    JsonWriter& BeginObject(std::string_view key = {}) { return Open(key, '{'); }
    JsonWriter& EndObject() { return Close('}'); }
    JsonWriter& BeginArray(std::string_view key = {}) { return Open(key, '['); }
    JsonWriter& EndArray() { return Close(']'); }

    JsonWriter& String(std::string_view key, std::string_view value);
    JsonWriter& Number(std::string_view key, std::string_view formatted);  // e.g. "145.50000"
    JsonWriter& Number(std::string_view key, long long value);
    JsonWriter& Bool(std::string_view key, bool value);
    JsonWriter& Null(std::string_view key);

    // Bytes 0x20..0x7E as they are (with " and \ escaped); every other byte as \u00XX.
    static std::string Quote(std::string_view text);

private:
    void Key(std::string_view key);
    JsonWriter& Open(std::string_view key, char bracket);
    JsonWriter& Close(char bracket);
    std::ostream& out_;
    std::vector<bool> first_{};  // per open container: no member written yet
};

}  // namespace vm::cli
