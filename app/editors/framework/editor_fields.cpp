#include "app/editors/framework/editor_fields.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "app/image/codecs.h"
#include "app/widgets/grid.h"

namespace vm {

namespace {

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

std::string Join(const std::vector<std::string>& pages, std::string_view group,
                 std::string_view label) {
    std::string s;
    for (const std::string& p : pages) s += p + "/";
    if (!group.empty()) s += std::string(group) + "/";
    return s + std::string(label);
}

bool IsFieldKind(ControlKind kind) {
    switch (kind) {
        case ControlKind::Group:
        case ControlKind::Tab:
        case ControlKind::Spin:
        case ControlKind::Button:
        case ControlKind::Grid:
            return false;
        default:
            return true;
    }
}

std::string HeaderText(const Grid& g, int row, int col) {
    const std::string& t = g.Text(row, col);
    return t.empty() ? FormatInt(row > 0 ? row : col) : t;
}

// The controls and cells of one page (with its record tab chosen, when it has one).
void AddControls(std::vector<EditorField>& fields, Form& form,
                 const std::vector<std::string>& pages, const std::vector<TabStep>& steps) {
    const std::size_t first = fields.size();
    for (int id : form.Ids()) {
        const Control& c = form.At(id);
        if (c.kind == ControlKind::Grid) {
            const Grid& g = form.GridAt(id);
            const int header_col = g.FixedCols() > 0 ? 0 : -1;
            const int header_row = g.FixedRows() > 0 ? 0 : -1;
            for (int r = g.FixedRows(); r < g.Rows(); ++r)
                for (int col = g.FixedCols(); col < g.Cols(); ++col) {
                    const std::string row_text =
                        header_col < 0 ? FormatInt(r + 1) : HeaderText(g, r, header_col);
                    const std::string col_text =
                        header_row < 0 ? FormatInt(col + 1) : HeaderText(g, header_row, col);
                    fields.push_back({.pages = pages,
                                      .label = row_text + "/" + col_text,
                                      .form = &form,
                                      .id = id,
                                      .row = r,
                                      .col = col,
                                      .steps = steps});
                }
            continue;
        }
        if (c.label.empty() || !IsFieldKind(c.kind) || c.masked) continue;
        std::string group;
        if (c.group != 0 && form.Has(c.group)) group = form.At(c.group).text;
        fields.push_back({.pages = pages,
                          .group = std::move(group),
                          .label = c.label,
                          .form = &form,
                          .id = id,
                          .steps = steps});
    }
    // A label that repeats on the page is named with its group.
    std::map<std::string, int> count;
    for (std::size_t i = first; i < fields.size(); ++i)
        if (!fields[i].IsCell()) ++count[Lower(fields[i].label)];
    for (std::size_t i = first; i < fields.size(); ++i)
        if (!fields[i].IsCell() && !fields[i].group.empty())
            fields[i].qualified = count[Lower(fields[i].label)] > 1;
}

void AddForm(std::vector<EditorField>& fields, Form& form, std::vector<std::string> pages,
             std::vector<TabStep> steps) {
    for (int id : form.Ids()) {
        const Control& c = form.At(id);
        if (c.kind != ControlKind::Tab || !c.selects_records) continue;
        // Each tab of the strip shows one record in the same controls: a page of its own.
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            auto record_pages = pages;
            record_pages.push_back(c.entries[i]);
            auto record_steps = steps;
            record_steps.push_back({&form, id, static_cast<int>(i)});
            AddControls(fields, form, record_pages, record_steps);
        }
        return;
    }
    AddControls(fields, form, pages, steps);
}

}  // namespace

std::string EditorField::Name() const {
    return Join(pages, qualified ? group : std::string_view(), label);
}

std::string EditorField::FullName() const {
    return Join(pages, group, label);
}

std::string EditorField::ShortName() const {
    return Join(pages, {}, label);
}

std::vector<EditorField> EditorFields(CBaseFormView& view) {
    std::vector<EditorField> fields;
    for (const FormPage& page : view.Pages()) {
        std::vector<std::string> pages;
        if (!page.caption.empty()) pages.push_back(page.caption);
        std::vector<TabStep> steps;
        if (page.tab_form) steps.push_back({page.tab_form, page.tab, page.index});
        AddForm(fields, *page.form, std::move(pages), std::move(steps));
    }
    return fields;
}

std::vector<EditorField> LookUpEditorField(CBaseFormView& view, std::string_view name) {
    const auto fields = EditorFields(view);
    std::vector<EditorField> found;
    for (const EditorField& f : fields)
        if (SameTextIgnoringCase(f.Name(), name)) found.push_back(f);
    if (!found.empty()) return found;
    for (const EditorField& f : fields)
        if (SameTextIgnoringCase(f.FullName(), name) || SameTextIgnoringCase(f.ShortName(), name))
            found.push_back(f);
    return found;
}

std::optional<EditorField> FindEditorField(CBaseFormView& view, std::string_view name) {
    auto found = LookUpEditorField(view, name);
    if (found.size() != 1) return std::nullopt;
    return found.front();
}

std::vector<std::string> DuplicateFieldNames(CBaseFormView& view) {
    std::map<std::string, std::pair<int, std::string>> count;
    for (const EditorField& f : EditorFields(view)) {
        auto& [n, name] = count[Lower(f.Name())];
        ++n;
        name = f.Name();
    }
    std::vector<std::string> dup;
    for (const auto& [key, value] : count)
        if (value.first > 1) dup.push_back(value.second);
    return dup;
}

void RevealEditorField(const EditorField& field) {
    for (const TabStep& s : field.steps)
        if (s.form->Selection(s.tab) != s.index) s.form->ChooseTab(s.tab, s.index);
}

std::string ShownText(const EditorField& field) {
    if (field.IsCell()) return field.form->GridAt(field.id).Text(field.row, field.col);
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

std::string ShowEditorField(const EditorField& field) {
    RevealEditorField(field);
    return ShownText(field);
}

bool IsHidden(const EditorField& field) {
    return !field.form->At(field.id).visible;
}

bool ShowsAsTyped(const EditorField& field, std::string_view typed) {
    const std::string shown = ShownText(field);
    if (!field.IsCell()) {
        const ControlKind kind = field.form->At(field.id).kind;
        if (kind == ControlKind::DropList || kind == ControlKind::Check)
            return SameTextIgnoringCase(shown, typed);
    }
    return shown == typed;
}

namespace {

// The entry of a list whose text is `value` (without case), or -1.
int EntryOf(const Control& c, std::string_view value) {
    for (std::size_t i = 0; i < c.entries.size(); ++i)
        if (SameTextIgnoringCase(c.entries[i], value)) return static_cast<int>(i);
    return -1;
}

std::string NoEntry(const Control& c, std::string_view value) {
    std::string list;
    for (const auto& e : c.entries) list += (list.empty() ? "" : ", ") + ("\"" + e + "\"");
    return "has no entry \"" + std::string(value) + "\" (entries: " + list + ")";
}

// A user's pick or typing into a control that has the focus; the control is left afterwards.
void Enter(Form& form, int id, std::string_view value) {
    const Control& c = form.At(id);
    switch (c.kind) {
        case ControlKind::DropList: {
            const int entry = EntryOf(c, value);
            if (form.Selection(id) != entry) form.Choose(id, entry);
            break;
        }
        case ControlKind::Check:
            if (c.checked != SameTextIgnoringCase(value, "On")) form.Click(id);
            break;
        default:
            form.ReplaceText(id, value);
            break;
    }
}

std::optional<std::string> SetCell(const EditorField& field, std::string_view value) {
    Form& form = *field.form;
    Grid& g = form.GridAt(field.id);
    // The click: the grid takes the focus (an editor open elsewhere is left), then the cell.
    form.Focus(field.id);
    g.ClickCell(field.row, field.col);
    const int editor = form.Focused();
    if (editor == 0 || editor == field.id) return "opens no editor";
    if (g.Row() != field.row || g.Col() != field.col) {
        const std::string opened = HeaderText(g, 0, g.Col());
        form.Focus(field.id);
        return "cannot be changed now (the editor opens " + opened + ")";
    }
    const Control& c = form.At(editor);
    if (c.kind == ControlKind::DropList && EntryOf(c, value) < 0) {
        const std::string error = NoEntry(c, value);
        form.Focus(field.id);
        return error;
    }
    Enter(form, editor, value);
    form.Focus(field.id);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> CheckEditorField(const EditorField& field, std::string_view value) {
    const Control& c = field.form->At(field.id);
    if (!c.visible) return "is hidden in the editor and cannot be set";
    if (!c.enabled || c.read_only || c.kind == ControlKind::Static)
        return "cannot be changed in the editor";
    if (field.IsCell()) return std::nullopt;
    if (c.kind == ControlKind::DropList && EntryOf(c, value) < 0) return NoEntry(c, value);
    if (c.kind == ControlKind::Check && !SameTextIgnoringCase(value, "On") &&
        !SameTextIgnoringCase(value, "Off"))
        return "takes On or Off";
    return std::nullopt;
}

std::optional<std::string> SetEditorField(CBaseFormView& /*view*/, const EditorField& field,
                                          std::string_view value) {
    RevealEditorField(field);
    if (auto error = CheckEditorField(field, value)) return error;
    if (field.IsCell()) return SetCell(field, value);
    Form& form = *field.form;
    form.Focus(field.id);
    Enter(form, field.id, value);
    form.Focus(0);
    return std::nullopt;
}

std::optional<std::string> EnterAccessCode(CBaseFormView& view, std::string_view code) {
    std::vector<Form*> forms = {&view.form()};
    for (const FormPage& p : view.Pages())
        if (p.form && std::find(forms.begin(), forms.end(), p.form) == forms.end())
            forms.push_back(p.form);
    for (Form* form : forms) {
        form->Press(form->Focused(), Key::F11);
        const int prompt = form->Focused();
        if (prompt == 0) continue;
        const Control& c = form->At(prompt);
        if (c.kind != ControlKind::Edit || !c.masked || !c.visible) continue;
        form->ReplaceText(prompt, code);
        form->Press(prompt, Key::Enter);
        return std::nullopt;
    }
    return "asks for no access code";
}

}  // namespace vm
