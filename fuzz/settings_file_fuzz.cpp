// Fuzzes the settings-file reader and writer ("Program.ini"): a section, a key and a value
// from the input, the rest is the file.
// Invariants: Read never gives more than 255 characters, and an empty key gives the default;
// a Write that succeeds is read back (for names and values that survive trimming and
// unquoting as they are), and writing the same value again leaves the file byte-identical.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "app/image/file_bytes.h"
#include "app/shell/settings_file.h"
#include "fuzz/fuzz_support.h"

using namespace vm;

namespace {

std::string_view Field(fuzz::Bytes& in) {
    return in.Take(in.Byte() % 24);
}

// A name or value that reads back as written: printable, no blank or quote at either end, no
// character the file format gives a meaning to.
bool Plain(std::string_view s, bool name) {
    if (s.empty()) return false;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F) return false;
        if (name && (c == '=' || c == '[' || c == ']' || c == ';' || c == '#')) return false;
    }
    const auto edge = [](char c) { return c == ' ' || c == '"' || c == '\''; };
    return !edge(s.front()) && !edge(s.back());
}

const std::filesystem::path& ScratchFolder() {
    static const std::filesystem::path folder = [] {
        std::string t = (std::filesystem::temp_directory_path() / "vm-fuzz-ini-XXXXXX").string();
        fuzz::Check(mkdtemp(t.data()) != nullptr, "mkdtemp failed");
        return std::filesystem::path(t);
    }();
    return folder;
}

std::string Contents(const std::filesystem::path& file) {
    const FileBytes bytes = ReadFileBytes(file);
    fuzz::Check(static_cast<bool>(bytes), "the settings file written could not be read back");
    return std::string(bytes.Text());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::string section(Field(in));
    const std::string key(Field(in));
    const std::string value(Field(in));
    const bool write = in.Byte() & 1;
    const std::string_view text = in.Rest();

    const fuzz::MemoryFile memory(text.data(), text.size());
    const shell::SettingsFile reader{std::filesystem::path(memory.path())};
    fuzz::Check(reader.ReadError() == 0, "a readable settings file reported an error");
    const std::string read = reader.Read(section, key, "(default)");
    fuzz::Check(read.size() <= shell::SettingsFile::kMaxValueLength, "a value longer than 255");
    if (key.empty()) fuzz::Check(read == "(default)", "an empty key did not give the default");
    if (!write) return 0;

    const std::filesystem::path file = ScratchFolder() / "Program.ini";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        fuzz::Check(static_cast<bool>(out), "writing the scratch settings file failed");
    }
    const shell::SettingsFile settings(file);
    if (!settings.Write(section, key, value)) return 0;
    const std::string once = Contents(file);
    if (Plain(section, true) && Plain(key, true) && Plain(value, false) &&
        value.size() <= shell::SettingsFile::kMaxValueLength) {
        fuzz::Check(settings.Read(section, key, "(default)") == value,
                    "a value written is not what is read back");
    }
    fuzz::Check(settings.Write(section, key, value), "writing the same value again failed");
    fuzz::Check(Contents(file) == once, "writing the same value again changed the file");
    return 0;
}
