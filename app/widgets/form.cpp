#include "app/widgets/form.h"

#include <cctype>
#include <stdexcept>

#include "app/text/text_format.h"
#include "app/widgets/grid.h"

namespace vm {

CharFilter CharsFilter(std::string_view chars) {
    return [chars](char c) { return FilterAccepts(chars, c); };
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || FilterAccepts(g_SymbolInputFilter, c);
}

bool IsPrintableChar(char c) {
    return c == '\b' || (c >= 0x20 && c <= 0x7E);
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t k = 0; k < prefix.size(); ++k)
        if (std::toupper(static_cast<unsigned char>(text[k])) !=
            std::toupper(static_cast<unsigned char>(prefix[k])))
            return false;
    return true;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

Form::Form() = default;
Form::~Form() = default;

Form::ActionScope::ActionScope(Form& f) : form_(f) {
    ++form_.depth_;
}

Form::ActionScope::~ActionScope() {
    if (form_.depth_ == 1) {
        // Posted work runs in order; work posted by posted work runs after it.
        for (std::size_t i = 0; i < form_.posted_.size(); ++i) {
            auto work = std::move(form_.posted_[i]);
            work();
        }
        form_.posted_.clear();
    }
    --form_.depth_;
}

Control& Form::Add(int id, ControlKind kind) {
    auto [it, inserted] = controls_.try_emplace(id);
    if (!inserted) throw std::logic_error("control " + std::to_string(id) + " exists");
    it->second.id = id;
    it->second.kind = kind;
    order_.push_back(id);
    return it->second;
}

Control& Form::AddEdit(int id, std::size_t limit, CharFilter filter, bool upper_case) {
    Control& c = Add(id, ControlKind::Edit);
    c.limit = limit;
    c.filter = std::move(filter);
    c.upper_case = upper_case;
    return c;
}

Control& Form::AddList(int id, std::vector<std::string> entries) {
    Control& c = Add(id, ControlKind::DropList);
    c.entries = std::move(entries);
    return c;
}

Control& Form::AddCombo(int id, std::size_t limit, CharFilter filter) {
    Control& c = Add(id, ControlKind::EditCombo);
    c.limit = limit;
    c.filter = std::move(filter);
    return c;
}

Control& Form::AddSpin(int id, SpinSettings settings) {
    Control& c = Add(id, ControlKind::Spin);
    c.spin = settings;
    return c;
}

Grid& Form::AddGrid(int id) {
    Add(id, ControlKind::Grid);
    auto& g = grids_[id];
    g = std::make_unique<Grid>(*this, id);
    return *g;
}

bool Form::Has(int id) const {
    return controls_.count(id) != 0;
}

Control& Form::At(int id) {
    auto it = controls_.find(id);
    if (it == controls_.end()) throw std::out_of_range("no control " + std::to_string(id));
    return it->second;
}

const Control& Form::At(int id) const {
    auto it = controls_.find(id);
    if (it == controls_.end()) throw std::out_of_range("no control " + std::to_string(id));
    return it->second;
}

Grid& Form::GridAt(int id) {
    auto it = grids_.find(id);
    if (it == grids_.end()) throw std::out_of_range("no grid " + std::to_string(id));
    return *it->second;
}

std::vector<int> Form::Ids() const {
    return order_;
}

// ---------------------------------------------------------------------------------------------

void Form::SetText(int id, std::string text) {
    Control& c = At(id);
    c.all_selected = false;
    if (c.text == text) return;
    c.text = std::move(text);
    Notify({id, ChangeKind::Text});
}

const std::string& Form::Text(int id) const {
    return At(id).text;
}

void Form::SelectAll(int id) {
    At(id).all_selected = true;
    Notify({id, ChangeKind::Text});
}

void Form::SetEntries(int id, std::vector<std::string> entries) {
    Control& c = At(id);
    c.entries = std::move(entries);
    c.selection = -1;
    Notify({id, ChangeKind::Entries});
}

void Form::Select(int id, int index) {
    Control& c = At(id);
    if (index < -1 || index >= static_cast<int>(c.entries.size())) index = -1;
    c.selection = index;
    if (c.kind == ControlKind::EditCombo && index >= 0)
        c.text = c.entries[static_cast<std::size_t>(index)];
    Notify({id, ChangeKind::Selection});
}

bool Form::SelectByText(int id, std::string_view text) {
    const Control& c = At(id);
    if (text.empty()) return false;
    for (std::size_t i = 0; i < c.entries.size(); ++i) {
        if (StartsWithIgnoringCase(c.entries[i], text)) {
            Select(id, static_cast<int>(i));
            return true;
        }
    }
    return false;
}

bool Form::SelectExactText(int id, std::string_view text) {
    const Control& c = At(id);
    for (std::size_t i = 0; i < c.entries.size(); ++i) {
        if (SameTextIgnoringCase(c.entries[i], text)) {
            Select(id, static_cast<int>(i));
            return true;
        }
    }
    return false;
}

int Form::Selection(int id) const {
    return At(id).selection;
}

std::string Form::SelectedText(int id) const {
    const Control& c = At(id);
    return c.selection >= 0 ? c.entries[static_cast<std::size_t>(c.selection)] : std::string();
}

void Form::SetChecked(int id, bool checked) {
    Control& c = At(id);
    if (c.checked == checked) return;
    c.checked = checked;
    Notify({id, ChangeKind::Check});
}

bool Form::Checked(int id) const {
    return At(id).checked;
}

void Form::SetEnabled(int id, bool enabled) {
    Control& c = At(id);
    if (c.enabled == enabled) return;
    c.enabled = enabled;
    Notify({id, ChangeKind::State});
}

void Form::SetVisible(int id, bool visible) {
    Control& c = At(id);
    if (c.visible == visible) return;
    c.visible = visible;
    Notify({id, ChangeKind::State});
}

void Form::Move(int id, Rect rect, int anchor) {
    Control& c = At(id);
    c.rect = rect;
    c.anchor = anchor;
    Notify({id, ChangeKind::Geometry});
}

// ---------------------------------------------------------------------------------------------

void Form::Focus(int id) {
    if (id == focused_) return;
    ActionScope scope(*this);
    const int old = focused_;
    focused_ = id;
    Notify({id, ChangeKind::Focus});
    if (old != 0) Raise({.type = EventType::FocusLost, .id = old});
    // A handler of the lost focus may have moved the focus on already.
    if (focused_ == id && id != 0) Raise({.type = EventType::FocusGained, .id = id});
}

void Form::CommitFocus() {
    const int id = focused_;
    if (id == 0) return;
    ActionScope scope(*this);
    Focus(0);
    // The focus goes back unless the control closed (a cell editor) or a handler moved it on.
    if (focused_ == 0 && Has(id) && At(id).visible && At(id).enabled) Focus(id);
}

char Form::FilterChar(int id, char c, std::string_view kept) const {
    const Control& ctl = At(id);
    if (ctl.read_only || !ctl.enabled) return 0;
    if (ctl.upper_case) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c == '\b') return c;
    if (ctl.filter && !ctl.filter(c)) return 0;
    if (!ctl.filter && !IsPrintableChar(c)) return 0;
    if (ctl.one_point && c == '.' && kept.find('.') != std::string_view::npos) return 0;
    return c;
}

std::string Form::FilterInsertion(int id, std::string_view head, std::string_view inserted,
                                  std::string_view tail) const {
    const std::size_t limit = At(id).limit;
    // The rules look at what the text holds, not where: the characters kept so far stand beside
    // each new one as the text typed up to it would.
    std::string kept(head);
    kept += tail;
    std::string taken;
    for (char c : inserted) {
        if (c == '\b' || static_cast<unsigned char>(c) >= 0x80) continue;  // never typed
        const char t = FilterChar(id, c, kept);
        if (t == 0) continue;
        if (limit != 0 && kept.size() >= limit) break;
        kept += t;
        taken += t;
    }
    std::string text(head);
    text += taken;
    text += tail;
    return text;
}

bool Form::DoubleClick(int id) {
    Control& ctl = At(id);
    if (ctl.anchor == 0 || (ctl.kind != ControlKind::Edit && ctl.kind != ControlKind::EditCombo))
        return false;
    SelectAll(id);
    return true;
}

bool Form::Type(int id, char c) {
    ActionScope scope(*this);
    Control& ctl = At(id);
    const char taken = FilterChar(id, c, ctl.all_selected ? std::string_view() : ctl.text);
    bool accepted = taken != 0;
    if (accepted) {
        std::string text = ctl.all_selected ? std::string() : ctl.text;
        if (taken == '\b') {
            if (!text.empty()) text.pop_back();
        } else if (ctl.limit != 0 && text.size() >= ctl.limit) {
            accepted = false;
        } else {
            text.push_back(taken);
        }
        if (accepted) {
            ctl.all_selected = false;
            ctl.text = std::move(text);
            Notify({id, ChangeKind::Text});
        }
    }
    Raise({.type = EventType::CharTyped, .id = id, .ch = c, .accepted = accepted});
    return accepted;
}

void Form::TypeText(int id, std::string_view text) {
    ActionScope scope(*this);
    Control& ctl = At(id);
    if (ctl.kind == ControlKind::DropList) {
        const int before = ctl.selection;
        if (!text.empty() && SelectByText(id, text) && ctl.selection != before)
            Raise({.type = EventType::SelectionChanged, .id = id, .index = ctl.selection});
        return;
    }
    for (char c : text) Type(id, c);
}

void Form::ReplaceText(int id, std::string_view text) {
    ActionScope scope(*this);
    SelectAll(id);
    if (text.empty()) {
        Type(id, '\b');
    } else {
        TypeText(id, text);
    }
}

void Form::Choose(int id, int index) {
    ActionScope scope(*this);
    Select(id, index);
    Raise({.type = EventType::SelectionChanged, .id = id, .index = At(id).selection});
}

void Form::Click(int id) {
    ActionScope scope(*this);
    Control& c = At(id);
    if (!c.enabled) return;
    if (c.kind == ControlKind::Check) SetChecked(id, !c.checked);
    Raise({.type = EventType::Clicked, .id = id});
}

bool Form::Press(int id, Key key) {
    ActionScope scope(*this);
    return Raise({.type = EventType::KeyPressed, .id = id, .key = key});
}

void Form::Spin(int id, int delta) {
    ActionScope scope(*this);
    const Control& c = At(id);
    if (c.spin.sets_buddy && c.spin.buddy != 0) {
        long long v = ParseScaled(Text(c.spin.buddy), 0).value_or(0) + delta;
        if (v < c.spin.min) v = c.spin.wrap ? c.spin.max : c.spin.min;
        if (v > c.spin.max) v = c.spin.wrap ? c.spin.min : c.spin.max;
        SetText(c.spin.buddy, FormatInt(v));
    }
    Raise({.type = EventType::SpinStep, .id = id, .delta = delta});
}

void Form::ChooseTab(int id, int index) {
    ActionScope scope(*this);
    const int old = At(id).selection;
    if (index == old) return;
    if (Raise({.type = EventType::TabChanging, .id = id, .index = old})) return;
    Select(id, index);
    Raise({.type = EventType::TabChanged, .id = id, .index = At(id).selection});
}

// ---------------------------------------------------------------------------------------------

void Form::On(EventType type, int id, Handler handler) {
    bindings_.push_back({type, id, std::move(handler)});
}

void Form::Listen(Listener listener) {
    listeners_.push_back(std::move(listener));
}

void Form::Post(std::function<void()> work) {
    if (depth_ == 0) {
        work();
        return;
    }
    posted_.push_back(std::move(work));
}

bool Form::Raise(const Event& e) {
    bool handled = false;
    // Handlers may register further handlers; walk by index.
    for (std::size_t i = 0; i < bindings_.size(); ++i) {
        if (bindings_[i].type != e.type || (bindings_[i].id != 0 && bindings_[i].id != e.id))
            continue;
        Handler h = bindings_[i].handler;
        handled = h(e) || handled;
    }
    return handled;
}

void Form::Notify(const Change& c) {
    for (const auto& l : listeners_) l(c);
}

}  // namespace vm
