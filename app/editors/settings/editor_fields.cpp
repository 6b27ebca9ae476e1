#include "app/editors/settings/editor_fields.h"

#include <cctype>

#include "app/editors/settings/tabbed_view.h"

namespace vm {

namespace {

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void AddFields(std::vector<EditorField>& fields, Form& form, const std::string& page, int tab) {
    for (int id : form.Ids()) {
        const Control& c = form.At(id);
        if (c.label.empty()) continue;
        fields.push_back({page, c.label, tab, &form, id});
    }
}

}  // namespace

std::vector<EditorField> EditorFields(CBaseFormView& view) {
    std::vector<EditorField> fields;
    if (auto* tabbed = dynamic_cast<CTabbedView*>(&view)) {
        for (int i = 0; i < tabbed->PageCount(); ++i)
            AddFields(fields, tabbed->Page(i).form(), tabbed->Page(i).caption(), i);
    } else {
        AddFields(fields, view.form(), "", -1);
    }
    return fields;
}

std::optional<EditorField> FindEditorField(CBaseFormView& view, std::string_view name) {
    for (const EditorField& f : EditorFields(view))
        if (SameText(f.Name(), name)) return f;
    return std::nullopt;
}

std::string ShownText(const EditorField& field) {
    const Control& c = field.form->At(field.id);
    switch (c.kind) {
        case ControlKind::DropList:
            return field.form->SelectedText(field.id);
        case ControlKind::Check:
            return c.checked ? "On" : "Off";
        default:
            return c.text;
    }
}

bool IsHidden(const EditorField& field) {
    return !field.form->At(field.id).visible;
}

bool ShowsAsTyped(const EditorField& field, std::string_view typed) {
    const ControlKind kind = field.form->At(field.id).kind;
    const std::string shown = ShownText(field);
    if (kind == ControlKind::DropList || kind == ControlKind::Check) return SameText(shown, typed);
    return shown == typed;
}

std::optional<std::string> SetEditorField(CBaseFormView& view, const EditorField& field,
                                          std::string_view value) {
    Form& form = *field.form;
    const Control& c = form.At(field.id);
    if (!c.visible) return "is hidden in the editor and cannot be set";
    if (!c.enabled || c.read_only) return "cannot be changed in the editor";
    int entry = -1;
    if (c.kind == ControlKind::DropList) {
        for (std::size_t i = 0; i < c.entries.size() && entry < 0; ++i)
            if (SameText(c.entries[i], value)) entry = static_cast<int>(i);
        if (entry < 0) {
            std::string list;
            for (const auto& e : c.entries) list += (list.empty() ? "" : ", ") + ("\"" + e + "\"");
            return "has no entry \"" + std::string(value) + "\" (entries: " + list + ")";
        }
    }
    if (c.kind == ControlKind::Check && !SameText(value, "On") && !SameText(value, "Off"))
        return "takes On or Off";

    if (auto* tabbed = dynamic_cast<CTabbedView*>(&view); tabbed && field.tab >= 0)
        tabbed->ChooseTab(field.tab);
    form.Focus(field.id);
    switch (c.kind) {
        case ControlKind::DropList:
            if (form.Selection(field.id) != entry) form.Choose(field.id, entry);
            break;
        case ControlKind::Check:
            if (c.checked != SameText(value, "On")) form.Click(field.id);
            break;
        default:
            form.SelectAll(field.id);
            if (value.empty()) {
                form.Type(field.id, '\b');
            } else {
                for (char ch : value) form.Type(field.id, ch);
            }
            break;
    }
    form.Focus(0);
    return std::nullopt;
}

}  // namespace vm
