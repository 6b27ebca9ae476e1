// Headless dialog controls keyed by resource identifier, and the events the editors react to.
//
// A form holds the state of every control of an editor (text, entries, selection, check state,
// enable and visible flags, geometry) and turns user actions into events. Editors register
// handlers for the events; a renderer (the Qt binder) listens to the change notifications and
// forwards the toolkit's events to the user-action entry points below.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vm {

class Grid;

// Group: a group box; its text is the caption, and the controls whose `group` is its id are
// laid out inside it.
enum class ControlKind { Static, Edit, DropList, EditCombo, Check, Spin, Tab, Button, Grid, Group };

enum class Key { Enter, Escape, F1, F11, Left, Right, Up, Down, Home, End };

enum class EventType {
    FocusGained,
    FocusLost,
    CharTyped,         // ch, accepted (false: swallowed by the filter)
    SelectionChanged,  // index
    Clicked,
    KeyPressed,     // key; a handler returning true swallows it
    SpinStep,       // delta
    TabChanging,    // index = the tab being left; a handler returning true keeps it
    TabChanged,     // index = the new tab
    GridMouseDown,  // row, col, button, shift, x, y (twips)
    GridEnterCell,  // row, col
    GridScroll,     // row = the new top row
};

struct Event {
    EventType type;
    int id = 0;
    char ch = 0;
    bool accepted = true;
    Key key = Key::Enter;
    int delta = 0;
    int index = -1;
    int row = -1;
    int col = -1;
    int button = 0;
    int shift = 0;
    int x = 0;
    int y = 0;
};

// What changed, for a renderer that mirrors the form.
enum class ChangeKind { Text, Entries, Selection, Check, State, Geometry, Focus, Cell, Grid };

struct Change {
    int id;
    ChangeKind kind;
    int row = -1;  // Cell: the cell; Grid: the whole grid (row and col -1)
    int col = -1;
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Rect&) const = default;
};

// A character filter: true when the character may be typed. Backspace is always accepted.
using CharFilter = std::function<bool(char)>;
CharFilter CharsFilter(std::string_view chars);  // the characters of a filter string
bool IsNameChar(char c);                         // letters, digits and g_SymbolInputFilter
bool IsPrintableChar(char c);                    // 0x20..0x7E

// Texts compared as the controls compare them: without case (ASCII).
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

struct SpinSettings {
    int min = 0;
    int max = 100;
    bool wrap = true;
    int buddy = 0;            // the edit beside the spin
    bool sets_buddy = false;  // the spin writes its edit's number itself
    // The delta of one press; after `accelerate_after_ms` of holding, `accelerated` instead
    // (0: no acceleration). The renderer turns presses into Spin(id, +/-delta).
    int increment = 1;
    int accelerated = 0;
    int accelerate_after_ms = 0;
};

struct Control {
    int id = 0;
    ControlKind kind = ControlKind::Static;
    std::string text;       // edit text, combo text, caption, static text
    std::string label;      // the dialog's label beside the control ("Volume", "TOT (min)")
    std::size_t limit = 0;  // at most this many characters; 0 = no limit
    CharFilter filter;      // empty = every character
    bool upper_case = false;
    bool one_point = false;  // a decimal number: a second '.' is swallowed
    bool masked = false;
    bool read_only = false;
    bool enabled = true;
    bool visible = true;
    bool all_selected = false;         // the whole text is selected: typing replaces it
    unsigned text_colour = 0;          // 0x00BBGGRR of a static's text; 0: the default
    std::vector<std::string> entries;  // list entries or tab captions
    int selection = -1;
    bool checked = false;
    SpinSettings spin;
    Rect rect;       // in pixels
    int anchor = 0;  // rect is relative to this control's client area (0: the form)
    int group = 0;   // the group box the control sits in (0: none)
    // A tab strip whose tabs select records shown by the same controls (the VFO's bands, the
    // scan edges): each tab is a page of its own when the editor's fields are named.
    bool selects_records = false;
};

class Form {
public:
    using Handler = std::function<bool(const Event&)>;
    using Listener = std::function<void(const Change&)>;

    Form();
    ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    // ---- building
    Control& Add(int id, ControlKind kind);
    Control& AddEdit(int id, std::size_t limit = 0, CharFilter filter = {},
                     bool upper_case = false);
    Control& AddList(int id, std::vector<std::string> entries = {});
    Control& AddCombo(int id, std::size_t limit = 0, CharFilter filter = {});
    Control& AddSpin(int id, SpinSettings settings);
    Grid& AddGrid(int id);

    bool Has(int id) const;
    Control& At(int id);
    const Control& At(int id) const;
    Grid& GridAt(int id);
    std::vector<int> Ids() const;  // in creation order

    // Screen resolution used to turn twips into pixels (set by the renderer).
    int logpixels_x = 96;
    int logpixels_y = 96;

    // ---- state set by the editor (each notifies the listeners)
    void SetText(int id, std::string text);
    const std::string& Text(int id) const;
    void SelectAll(int id);
    void SetEntries(int id, std::vector<std::string> entries);
    void SetEntries(int id, std::span<const std::string_view> list) {
        SetEntries(id, std::vector<std::string>(list.begin(), list.end()));
    }
    void Select(int id, int index);  // -1: no selection
    // Selects the first entry that begins with text, ignoring case; no match keeps the
    // selection. An empty text matches nothing. Returns whether an entry matched.
    bool SelectByText(int id, std::string_view text);
    // Selects the entry whose whole text is `text`, ignoring case (numeric lists: "1" never
    // selects "10"); no match keeps the selection. Returns whether an entry matched.
    bool SelectExactText(int id, std::string_view text);
    int Selection(int id) const;
    std::string SelectedText(int id) const;  // empty when nothing is selected
    void SetChecked(int id, bool checked);
    bool Checked(int id) const;
    void SetEnabled(int id, bool enabled);
    void SetVisible(int id, bool visible);
    void Move(int id, Rect rect, int anchor = 0);
    int Focused() const { return focused_; }

    // ---- user actions (from the renderer or a test); each raises its events
    void Focus(int id);  // FocusLost of the old control, then FocusGained of the new
    // Runs the focused control's focus-loss rule, as before every store: the control loses the
    // focus and gets it back when it is still visible and enabled (a cell editor that closed
    // does not). Nothing happens when no control has the focus.
    void CommitFocus();
    // A typed character: returns the character the control takes (upper-cased when the
    // control is), or 0 when the filter swallows it. `kept` is the text that stays beside the
    // character (the control's text without its selection). Does not change text.
    char FilterChar(int id, char c, std::string_view kept) const;
    // What a paste (a drop, any change that is not a typed key) of `inserted` between `head` and
    // `tail` leaves in an edit or combo: the characters of `inserted` are held in turn to the rules
    // of typing (filter, upper case, one decimal point, length limit) and what typing could not
    // put there is left out. Does not change text.
    std::string FilterInsertion(int id, std::string_view head, std::string_view inserted,
                                std::string_view tail) const;
    // Types one character into an edit or combo: filter, upper case, limit, CharTyped.
    bool Type(int id, char c);
    // Types a whole text: characters one by one into edits and combos; into a drop-down list
    // the keyboard search selects the first entry that begins with the text.
    void TypeText(int id, std::string_view text);
    // What a user does to put `text` into an edit or combo: selects all, types it (an empty
    // text as deleting the selection).
    void ReplaceText(int id, std::string_view text);
    // A double-click in an edit or combo. An in-place editor (one placed over another control)
    // selects its whole text, as when it opened, and true is returned; any other control keeps
    // the toolkit's own double-click (false).
    bool DoubleClick(int id);
    void Choose(int id, int index);  // the user picks a list entry
    void Click(int id);              // button or check box (toggles the check)
    bool Press(int id, Key key);     // true when a handler swallowed the key
    void Spin(int id, int delta);
    void ChooseTab(int id, int index);

    // ---- editors and renderers
    void On(EventType type, int id, Handler handler);  // id 0: every control
    void Listen(Listener listener);
    // Work queued to run after the user action in progress (a "posted" message).
    void Post(std::function<void()> work);

    // Used by the grid.
    bool Raise(const Event& e);
    void Notify(const Change& c);
    class ActionScope {
    public:
        explicit ActionScope(Form& f);
        ~ActionScope();
        ActionScope(const ActionScope&) = delete;
        ActionScope& operator=(const ActionScope&) = delete;

    private:
        Form& form_;
    };

private:
    struct Binding {
        EventType type;
        int id;
        Handler handler;
    };
    std::map<int, Control> controls_;
    std::vector<int> order_;
    std::map<int, std::unique_ptr<Grid>> grids_;
    std::vector<Binding> bindings_;
    std::vector<Listener> listeners_;
    std::vector<std::function<void()>> posted_;
    int focused_ = 0;
    int depth_ = 0;
};

// Twips (1/1440 inch) to pixels at a resolution of logpixels per inch.
constexpr int TwipsToPixels(int twips, int logpixels) {
    return twips * logpixels / 1440;
}

}  // namespace vm
