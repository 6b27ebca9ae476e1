#include "app/editors/channels/csv_document.h"

#include <algorithm>
#include <cctype>

namespace vm {

namespace {

std::string LineError(int line, const std::string& why) {
    return "line " + std::to_string(line) + ": " + why;
}

// The length of the UTF-8 sequence at s[i], 0 when it is not one.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    unsigned min = 0;
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) {
        n = 2;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    unsigned cp = b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// The line of the first byte that text cannot hold, 0 when there is none.
int FirstNonTextLine(std::string_view s) {
    int line = 1;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b == '\n') ++line;
        if (b == 0) return line;
        const std::size_t n = Utf8Length(s, i);
        if (n == 0) return line;
        i += n;
    }
    return 0;
}

// The separator of a header line: ';' when it holds more semicolons than commas outside quotes.
char SniffSeparator(std::string_view text, std::size_t pos) {
    int commas = 0, semicolons = 0;
    bool quoted = false;
    for (; pos < text.size() && (quoted || (text[pos] != '\n' && text[pos] != '\r')); ++pos) {
        const char c = text[pos];
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == ',') ++commas;
        if (c == ';') ++semicolons;
    }
    return semicolons > commas ? ';' : ',';
}

// One record: fields, or an error for bad quoting. `pos` moves past the record's line end and
// `line` past the lines it spans.
bool ReadRecord(std::string_view text, char sep, std::size_t& pos, int& line,
                std::vector<std::string>& fields, std::string& error) {
    fields.assign(1, std::string());
    bool quoted = false;      // inside a quoted field
    bool was_quoted = false;  // the current field was quoted and has closed
    while (pos < text.size()) {
        const char c = text[pos++];
        if (quoted) {
            if (c == '"') {
                if (pos < text.size() && text[pos] == '"') {
                    fields.back().push_back('"');
                    ++pos;
                } else {
                    quoted = false;
                    was_quoted = true;
                }
            } else {
                if (c == '\n') ++line;
                fields.back().push_back(c);
            }
            continue;
        }
        if (c == sep) {
            fields.emplace_back();
            was_quoted = false;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
            ++line;
            return true;
        } else if (c == '"') {
            if (!TrimBlanks(fields.back()).empty() || was_quoted) {
                error = "a quote inside an unquoted field";
                return false;
            }
            fields.back().clear();
            quoted = true;
        } else {
            if (was_quoted && c != ' ' && c != '\t') {
                error = "text after a closing quote";
                return false;
            }
            if (!was_quoted) fields.back().push_back(c);
        }
    }
    if (quoted) {
        error = "a quoted field is not closed";
        return false;
    }
    ++line;
    return true;
}

}  // namespace

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

CsvDocument ReadCsvDocument(std::string_view text) {
    CsvDocument doc;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (const int bad = FirstNonTextLine(text)) {
        doc.error = LineError(bad, "not text (a zero byte or bytes that are not UTF-8)");
        return doc;
    }
    std::size_t pos = 0;
    int line = 1;
    bool have_header = false;
    std::vector<std::string> fields;
    while (pos < text.size()) {
        const int first_line = line;
        if (text[pos] == '#') {  // a comment line
            while (pos < text.size() && text[pos] != '\n' && text[pos] != '\r') ++pos;
            if (pos < text.size() && text[pos] == '\r') ++pos;
            if (pos < text.size() && text[pos] == '\n') ++pos;
            ++line;
            continue;
        }
        if (!have_header) doc.separator = SniffSeparator(text, pos);
        std::string error;
        if (!ReadRecord(text, doc.separator, pos, line, fields, error)) {
            doc.error = LineError(first_line, error);
            doc.rows.clear();
            return doc;
        }
        if (fields.size() == 1 && TrimBlanks(fields[0]).empty()) continue;  // blank line
        if (!have_header) {
            doc.header_line = first_line;
            doc.header = std::move(fields);
            have_header = true;
        } else {
            doc.rows.push_back({first_line, std::move(fields)});
        }
    }
    if (!have_header) doc.error = LineError(line > 1 ? line - 1 : 1, "no header row");
    return doc;
}

std::string CsvField(std::string_view text, char separator) {
    if (text.find_first_of(std::string("\"\r\n") + separator) == std::string_view::npos &&
        TrimBlanks(text) == text)
        return std::string(text);
    std::string s = "\"";
    for (char c : text) {
        if (c == '"') s += '"';
        s += c;
    }
    return s + '"';
}

void WriteCsvRow(std::ostream& out, const std::vector<std::string>& fields, char separator) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out << separator;
        // A row whose first field starts with '#' would read back as a comment.
        if (i == 0 && !fields[i].empty() && fields[i].front() == '#')
            out << '"' << fields[i] << '"';
        else
            out << CsvField(fields[i], separator);
    }
    out << '\n';
}

}  // namespace vm
