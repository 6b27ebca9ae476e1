// Every editor's fields, generically over its headless forms: a field is a labelled control of
// a page ("Option/Volume") or of a single-form view ("Volume"). Used to show and set editors
// from the command line exactly as a user would in the window.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/editors/settings/base_form_view.h"

namespace vm {

struct EditorField {
    std::string page;   // the tab caption; empty for a view without tabs
    std::string label;  // the control's label
    int tab = -1;       // the tab index, -1 without tabs
    Form* form = nullptr;
    int id = 0;

    // "Page/Label", or "Label" without tabs.
    std::string Name() const { return page.empty() ? label : page + "/" + label; }
};

// The labelled fields of an initialised view, page by page in tab order, controls in form order.
std::vector<EditorField> EditorFields(CBaseFormView& view);

// The field whose name is `name`, compared without case.
std::optional<EditorField> FindEditorField(CBaseFormView& view, std::string_view name);

// What the field shows: the edit's text, the selected entry (empty with no selection), or
// "On"/"Off" for a check box.
std::string ShownText(const EditorField& field);
bool IsHidden(const EditorField& field);
// Whether the field shows what was typed into it (a list entry or a check state compared
// without case, an edit's text exactly).
bool ShowsAsTyped(const EditorField& field, std::string_view typed);

// Does what a user does to set a field: selects its tab, gives it the focus, types `value` into
// an edit (replacing its text) or picks the list entry whose text is `value` (compared without
// case), then leaves the control. Returns an error text when the field cannot take the value
// (hidden or disabled, or no such list entry); the form is untouched then.
std::optional<std::string> SetEditorField(CBaseFormView& view, const EditorField& field,
                                          std::string_view value);

}  // namespace vm
