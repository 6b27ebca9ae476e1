#include "app/editors/catalogue/modified_state.h"

#include <algorithm>

namespace vm {

namespace {

std::vector<std::uint8_t> Bytes(const shell::Document& doc) {
    std::vector<std::uint8_t> bytes(doc.Header().begin(), doc.Header().end());
    bytes.insert(bytes.end(), doc.Image().begin(), doc.Image().end());
    return bytes;
}

// The bytes with the bits a commit clears cleared.
std::vector<std::uint8_t> Uncommitted(const shell::Document& doc) {
    std::vector<std::uint8_t> bytes = Bytes(doc);
    bytes[doc.Header().size() + kCommitByte] &= static_cast<std::uint8_t>(~0x03u);
    return bytes;
}

void PutBack(shell::Document& doc, const std::vector<std::uint8_t>& bytes) {
    std::copy_n(bytes.begin(), doc.Header().size(), doc.Header().begin());
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(doc.Header().size()),
                doc.Image().size(), doc.Image().begin());
}

// What committing the views gives, without keeping it in the document.
std::vector<std::uint8_t> Committed(shell::Document& doc, std::span<const OpenView> views) {
    const std::vector<std::uint8_t> before = Bytes(doc);
    CommitAllViews(doc.Image(), views);
    std::vector<std::uint8_t> after = Bytes(doc);
    PutBack(doc, before);
    return after;
}

}  // namespace

void ModifiedState::MarkUnmodified(shell::Document& doc, std::span<const OpenView> views) {
    as_marked_ = Uncommitted(doc);
    unmodified_ = Committed(doc, views);
}

bool ModifiedState::IsModified(shell::Document& doc, std::span<const OpenView> views) const {
    return Committed(doc, views) != unmodified_;
}

bool ModifiedState::StoredBytesDiffer(const shell::Document& doc) const {
    const std::vector<std::uint8_t> now = Uncommitted(doc);
    return now != as_marked_ && now != unmodified_;
}

std::string ModifiedTitle(const std::string& title, bool modified) {
    return modified ? "*" + title : title;
}

std::string SaveChangesQuestion(const shell::Document& doc, const std::string& default_file_name) {
    const std::string name =
        doc.HasCurrentFile() ? doc.CurrentFile().filename().string() : default_file_name;
    return "Save changes to " + name + "?";
}

}  // namespace vm
