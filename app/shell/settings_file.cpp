#include "app/shell/settings_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <span>
#include <vector>

#include "app/image/file_bytes.h"
#include "app/shell/atomic_file.h"

namespace vm::shell {

namespace fs = std::filesystem;

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// One line of the file, without its line end.
struct Line {
    std::size_t begin;  // offset of the first character
    std::size_t end;    // offset just past the last character, before "\r\n" or "\n"
    std::size_t next;   // offset of the next line
};

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    // A UTF-8 byte order mark is not part of the first line's text.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        const std::size_t stop = nl == std::string::npos ? text.size() : nl;
        std::size_t end = stop;
        if (end > pos && text[end - 1] == '\r') --end;
        lines.push_back({pos, end, nl == std::string::npos ? text.size() : nl + 1});
        pos = lines.back().next;
    }
    return lines;
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return std::nullopt;
    const std::size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
    line = Trim(line);
    return !line.empty() && (line.front() == ';' || line.front() == '#');
}

// Key and raw value of a "key=value" line.
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(std::string_view line) {
    if (IsComment(line)) return std::nullopt;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return std::make_pair(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
}

std::string Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

std::optional<std::string> Slurp(const fs::path& path) {
    const FileBytes read = ReadFileBytes(path);
    if (!read) return std::nullopt;
    return std::string(read.Text());
}

struct Location {
    bool section_found = false;
    std::optional<Line> key_line;  // the line holding the key
    std::size_t insert_at = 0;     // where a new key of the section goes
};

Location Find(const std::string& text, std::string_view section, std::string_view key) {
    Location loc;
    bool inside = false;
    for (const Line& l : SplitLines(text)) {
        const std::string_view s(text.data() + l.begin, l.end - l.begin);
        if (auto name = SectionName(s)) {
            if (inside) break;  // the first matching section is the one used
            inside = EqualNoCase(*name, section);
            if (inside) {
                loc.section_found = true;
                loc.insert_at = l.next;
            }
            continue;
        }
        if (!inside) continue;
        if (!Trim(s).empty()) loc.insert_at = l.next;
        if (auto kv = KeyValue(s); kv && EqualNoCase(kv->first, key)) {
            loc.key_line = l;
            return loc;
        }
    }
    return loc;
}

}  // namespace

fs::path SettingsFile::InitialPath() {
    return fs::path(".") / "Program.ini";
}

int SettingsFile::ReadError() const {
    const FileBytes read = ReadFileBytes(path_, 0);
    return read.error == ENOENT || read.error == ENOTDIR ? 0 : read.error;
}

std::string SettingsFile::Read(std::string_view section, std::string_view key,
                               std::string_view default_value) const {
    if (key.empty()) return std::string(default_value);
    const auto text = Slurp(path_);
    if (!text) return std::string(default_value);
    const Location loc = Find(*text, Trim(section), Trim(key));
    if (!loc.key_line) return std::string(default_value);
    const Line& l = *loc.key_line;
    const auto kv = KeyValue(std::string_view(text->data() + l.begin, l.end - l.begin));
    std::string value = Unquote(kv->second);
    if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
    return value;
}

bool SettingsFile::Write(std::string_view section, std::string_view key,
                         std::string_view value) const {
    key = Trim(key);
    section = Trim(section);
    if (key.empty() || value.empty()) return false;
    auto has_break = [](std::string_view s) {
        return s.find_first_of("\r\n") != std::string_view::npos;
    };
    if (has_break(section) || has_break(key) || has_break(value) ||
        key.find('=') != std::string_view::npos)
        return false;
    // Names the file could not give back: a section header ends at its first ']', and a line
    // that starts with '[' is a header, one that starts with ';' or '#' a comment.
    if (section.find(']') != std::string_view::npos || key.front() == '[' || key.front() == ';' ||
        key.front() == '#')
        return false;

    std::string text;
    std::error_code ec;
    if (fs::exists(path_, ec)) {
        auto read = Slurp(path_);
        if (!read) return false;
        text = std::move(*read);
    }
    const bool crlf =
        text.find("\r\n") != std::string::npos || text.find('\n') == std::string::npos;
    const std::string eol = crlf ? "\r\n" : "\n";
    const std::string entry = std::string(key) + "=" + std::string(value);

    const Location loc = Find(text, section, key);
    if (loc.key_line) {
        text.replace(loc.key_line->begin, loc.key_line->end - loc.key_line->begin, entry);
    } else if (loc.section_found) {
        std::string insert = entry + eol;
        // The last line of the section may lack a line end (end of file).
        if (loc.insert_at > 0 && text[loc.insert_at - 1] != '\n') insert = eol + insert;
        text.insert(loc.insert_at, insert);
    } else {
        if (!text.empty() && text.back() != '\n') text += eol;
        text += "[" + std::string(section) + "]" + eol + entry + eol;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    return WriteFileAtomically(path_, {std::span<const std::uint8_t>(bytes, text.size())}).ok;
}

bool SettingsFile::Remove(std::string_view section, std::string_view key) const {
    key = Trim(key);
    section = Trim(section);
    std::error_code ec;
    if (key.empty() || !fs::exists(path_, ec)) return true;
    auto read = Slurp(path_);
    if (!read) return false;
    std::string text = std::move(*read);
    const Location loc = Find(text, section, key);
    if (!loc.key_line) return true;
    text.erase(loc.key_line->begin, loc.key_line->next - loc.key_line->begin);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    return WriteFileAtomically(path_, {std::span<const std::uint8_t>(bytes, text.size())}).ok;
}

}  // namespace vm::shell
