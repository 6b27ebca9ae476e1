// A CSV file as channel lists come: UTF-8 with or without a byte-order mark, CRLF or LF line
// ends, '#' comment lines, blank lines, ',' or ';' between fields (a spreadsheet in a
// comma-decimal locale saves with ';'), quoted fields that may hold separators, quotes ("")
// and line ends. The first line that is neither blank nor a comment is the header.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vm {

struct CsvRow {
    int line = 0;  // line the row starts on, counting from 1
    std::vector<std::string> fields;
};

struct CsvDocument {
    char separator = ',';
    int header_line = 0;
    std::vector<std::string> header;
    std::vector<CsvRow> rows;
    std::string error;  // "line N: ..." when the text is not such a file
    bool ok() const { return error.empty(); }
};

// Reads the whole text. Refuses what is not text (a zero byte, bytes that are not UTF-8), bad
// quoting, and a text without a header line. Other control characters pass: whoever shows a
// field escapes them.
CsvDocument ReadCsvDocument(std::string_view text);

// A field as CSV writes it: quoted when it holds the separator, a quote, a line end or blanks
// at either end.
std::string CsvField(std::string_view text, char separator = ',');
void WriteCsvRow(std::ostream& out, const std::vector<std::string>& fields, char separator = ',');

// Blanks and tabs at both ends removed.
std::string_view TrimBlanks(std::string_view s);
bool SameIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vm
