// Whether the document holds edits that were not saved: its header and image, as committing
// the open views would leave them, compared with the same measure taken when the document was
// last opened, saved or read. Measuring commits the views and then puts every byte of the
// document back, so that asking changes nothing that would be stored.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "app/editors/catalogue/editor_session.h"
#include "app/shell/data_file.h"

namespace vm {

class ModifiedState {
public:
    // The document as it stands (after Open, Save, Read, New) becomes the unmodified one.
    void MarkUnmodified(shell::Document& doc, std::span<const OpenView> views);
    // Whether committing the views would give other bytes than the unmodified document.
    bool IsModified(shell::Document& doc, std::span<const OpenView> views) const;
    // A cheap look that touches no view, for a title kept up to date while the user types:
    // whether the bytes the document holds now (without what only the views hold yet) differ
    // from the unmodified document, the bits a commit clears aside.
    bool StoredBytesDiffer(const shell::Document& doc) const;

private:
    std::vector<std::uint8_t> unmodified_;  // header then image, committed
    std::vector<std::uint8_t> as_marked_;   // ... as they stood, commit bits cleared
};

// The title of a modified document: an asterisk in front, as desktop programs show it.
std::string ModifiedTitle(const std::string& title, bool modified);

// "Save changes to NAME?": NAME is the current file's name, or the default file name.
std::string SaveChangesQuestion(const shell::Document& doc, const std::string& default_file_name);

}  // namespace vm
