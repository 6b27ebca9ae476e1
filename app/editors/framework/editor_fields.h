// Every editor's fields, generically over its headless forms. Used to show and set editors
// from the command line exactly as a user would in the window.
//
// Naming (segments joined with "/", compared without case):
//   - a labelled control: "Page/Label", or "Label" for an editor without pages;
//   - where a label repeats on one page: "Page/Group/Label", with the caption of the group box
//     the control sits in (Control::group);
//   - a tab strip that selects records (Control::selects_records) makes each of its tabs a
//     page inside the page: "150M/Rx frequency(MHz)", "L3/Name", "Decode/3/Format";
//   - a grid cell: "Page/ROW/COLUMN" with the grid's row header (its fixed column) and column
//     header (its fixed row): "Code/5/Num", or "12/Rx Freq" on an editor without pages.
// A name may also be given with the group where the label does not need it, or without the
// group where it does: it then names every field it fits, and more than one is ambiguous.
// Static texts, group boxes, buttons, spins, tab strips and masked (password) edits are no
// fields.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/editors/framework/base_form_view.h"

namespace vm {

// One tab to choose to bring a field on screen.
struct TabStep {
    Form* form = nullptr;
    int tab = 0;
    int index = -1;
};

struct EditorField {
    std::vector<std::string> pages = {};  // page captions, outer first (a record tab is a page)
    std::string group = {};               // the group box's caption; empty when none
    bool qualified = false;               // the group is part of the name (the label repeats)
    std::string label = {};               // the control's label; a cell's "ROW/COLUMN"
    Form* form = nullptr;
    int id = 0;
    int row = -1;  // a grid cell: its row and column
    int col = -1;
    std::vector<TabStep> steps = {};  // outer first

    bool IsCell() const { return row >= 0; }
    std::string Name() const;       // the name show prints
    std::string FullName() const;   // with the group, needed or not
    std::string ShortName() const;  // without the group
};

// The fields of an initialised editor, page by page in tab order, controls in form order
// (a grid's cells row by row).
std::vector<EditorField> EditorFields(CBaseFormView& view);

// The fields a name fits: the field whose name it is; else every field whose full or short
// name it is (more than one: ambiguous); else none.
std::vector<EditorField> LookUpEditorField(CBaseFormView& view, std::string_view name);
// The one field a name fits; nullopt when none or more than one.
std::optional<EditorField> FindEditorField(CBaseFormView& view, std::string_view name);

// The names of the editor's fields that are not unique ({} when all are).
std::vector<std::string> DuplicateFieldNames(CBaseFormView& view);

// Brings the field on screen as a user does: chooses its tabs (the page or record left is
// stored by the editor, the one chosen loaded).
void RevealEditorField(const EditorField& field);

// What the field shows now: the edit's text, the selected entry (empty with no selection),
// "On"/"Off" for a check box, a cell's text. Does not reveal the field.
std::string ShownText(const EditorField& field);
// Reveal, then ShownText.
std::string ShowEditorField(const EditorField& field);
bool IsHidden(const EditorField& field);
// Whether the field shows what was typed into it (a list entry or a check state compared
// without case, an edit's text exactly).
bool ShowsAsTyped(const EditorField& field, std::string_view typed);

// Checks that a user could set the field to `value` (shown and enabled, a list entry of that
// text, On/Off for a check box), without touching anything. Returns the error text.
std::optional<std::string> CheckEditorField(const EditorField& field, std::string_view value);

// Does what a user does to set a field: reveals it, gives it the focus, types `value` into an
// edit (replacing its text) or picks the list entry whose text is `value` (compared without
// case), then leaves the control. A cell is clicked, the value typed or picked in the in-place
// editor that opens, and the editor left for the grid. Returns an error text when the field
// cannot take the value (CheckEditorField, or a cell that opens no editor or another one);
// the form is untouched then.
std::optional<std::string> SetEditorField(CBaseFormView& view, const EditorField& field,
                                          std::string_view value);

// Gives an editor its access code as a user does: F11 pressed where the focus is, the code
// typed into the masked edit the editor then puts the focus in, and Enter pressed there (a
// wrong code is the editor's own message). Returns an error text when F11 calls up no such
// edit: the editor asks for no access code.
std::optional<std::string> EnterAccessCode(CBaseFormView& view, std::string_view code);

}  // namespace vm
