// What differs between two documents: field by field through every editor of the catalogue
// (as each shows its fields; a dialog that steps through records, record by record), then the
// bytes no editor shows, as address ranges. The documents are compared on copies: neither is
// changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/shell/data_file.h"

namespace vm {

struct FieldChange {
    std::string editor;          // "Basic setting"
    int record = 0;              // a record-stepping dialog's record; 0 otherwise
    std::string field;           // "Option/Volume"
    std::string before = {};     // as the editor shows it in the first document
    std::string after = {};      // ... in the second
    bool absent_before = false;  // the field is not shown at all in the first document
    bool absent_after = false;
};

struct ByteChange {
    bool header = false;      // a range of the file header (else of the radio image)
    std::uint32_t start = 0;  // header offset or image address
    std::uint32_t end = 0;    // exclusive
    std::vector<std::uint8_t> before = {};
    std::vector<std::uint8_t> after = {};
};

struct DocumentDiff {
    std::vector<FieldChange> fields;
    std::vector<ByteChange> bytes;  // differing bytes outside what the editors show
    bool identical = true;          // header and image are byte for byte equal
    bool Equal() const { return identical; }
};

// A document of its own, copied from another (a comparison loads it into editors freely).
struct DocumentCopy {
    RadioImage image;
    FileHeader header;
    BandTables bands;
    shell::Document doc{image, header, bands};

    explicit DocumentCopy(const shell::Document& from)
        : image(from.Image()), header(from.Header()), bands(from.Bands()) {}
    DocumentCopy(const DocumentCopy&) = delete;
    DocumentCopy& operator=(const DocumentCopy&) = delete;
};

DocumentDiff CompareDocuments(const shell::Document& a, const shell::Document& b);

// One line a difference: "Basic setting: Option/Volume: 8 → 12",
// "Channel edit: record 12: Name: A → B", "image 0xCC80-0xCC81: 01 02 → 03 04".
std::vector<std::string> DiffLines(const DocumentDiff& diff);
std::string FieldChangeLine(const FieldChange& change);
std::string ByteChangeLine(const ByteChange& change);
std::string HexBytes(const std::vector<std::uint8_t>& bytes);
std::string Hex4(std::uint32_t value);  // "0xCC80"

// Whether the editors of the catalogue show a byte of the image (the regions they decode).
bool ShownByEditors(std::uint32_t address);

}  // namespace vm
