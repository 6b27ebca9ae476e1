// The catalogue of the program's editors: each editor described once. The main frame's tree,
// Edit menus and windows, the command line's show and set, the frame's commit and the tests
// all read it.
//
// Adding an editor is: its headless class (a CTabbedView, a CBaseFormView or a CFormDialog),
// its layout (the form's own labels and group boxes, or a FormLayout function), one line in
// catalogue.cpp, and its tests. Nothing else names the editor.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "app/editors/framework/base_form_view.h"
#include "app/shell/data_file.h"
#include "app/widgets/form_layout.h"

namespace vm {

enum class WindowKind {
    TabbedView,   // a child window: a tab strip over pages (a CTabbedView)
    FormView,     // a child window: one form (a CBaseFormView)
    ModalDialog,  // a modal dialog (a CFormDialog)
};

struct EditorEntry;

// What an editor is opened over, and the host's services.
struct EditorContext {
    shell::Document& doc;      // image, header, band tables
    MessageHook message = {};  // the host's message boxes
    std::function<void(int context)> open_help = {};
    bool extended_range = false;  // service mode
    // The frequency ranges' access-code lock, set once the code was given and kept for the
    // program's run (null: each opening starts locked).
    bool* freq_range_unlocked = nullptr;
    // Record stepping dialogs: the record to open on (0: the dialog's own choice), and the
    // text the opener remembers for it (Channel edit: the table's Rx text).
    int record = 0;
    std::string record_text = {};
    // Opens another editor of the catalogue from this one (the table's "Channel edit"
    // button); a modal dialog has closed when it returns. Empty: no editor can be opened.
    std::function<void(const EditorEntry& entry, int record, const std::string& text)> open_editor =
        {};
};

// Creates the editor's headless view over the context's document (not yet initialised).
using EditorFactory = std::unique_ptr<CBaseFormView> (*)(EditorContext& ctx);
// A window's layout of one form (a page of a tabbed view, or the view's form).
using LayoutFunction = FormLayout (*)(const Form& form);
// Runs after the editor's window has closed (the frequency ranges: out-of-band channels
// are cleared).
using AfterClose = void (*)(shell::Document& doc);

struct EditorEntry {
    std::string_view name = {};  // the tree item's text; the command line's EDITOR
    int command = 0;             // the command that opens it (0: opened from another editor only)
    WindowKind kind = WindowKind::FormView;
    bool tree = true;                       // an item in the tree and in the Edit menus
    std::string_view child_menu_text = {};  // the child windows' Edit menu, when it differs
    int width = 0;                          // child window size
    int height = 0;
    std::string_view title = {};  // child window title
    bool maximised = false;
    std::string_view object_name = {};  // the window's object name ("CBasicSettingView")
    EditorFactory open = nullptr;       // null: not built yet; its items stay disabled
    LayoutFunction layout = nullptr;    // null: DefaultLayout
    // The view derives the image's computed bytes when it stores (the channel table runs the
    // normalisation): it is stored after every other view in a commit, stored before and
    // reloaded after a modal dialog that changes what it shows.
    bool normalises = false;
    // A modal dialog whose edits the normalising views must reload afterwards.
    bool reloads_views = false;
    AfterClose after_close = nullptr;

    bool built() const { return open != nullptr; }
    std::string_view ChildMenuText() const {
        return child_menu_text.empty() ? name : child_menu_text;
    }
};

// Every editor, in tree order, then those without a tree item.
std::span<const EditorEntry> Editors();
// The editor whose name is `name`, compared without case; nullptr when none.
const EditorEntry* FindEditor(std::string_view name);
const EditorEntry* EditorOfCommand(int command);
// "\"Channel setting\", \"Basic setting\", ..." (the built editors) for messages.
std::string EditorNames();

// Creates the editor through its factory, hands it the context's message hook and help, and
// initialises it as its window does when it opens (controls built, lists filled, loaded).
// Null when the editor is not built.
std::unique_ptr<CBaseFormView> OpenEditorView(const EditorEntry& entry, EditorContext& ctx);

// The layout of one of the editor's forms.
FormLayout EditorLayout(const EditorEntry& entry, const Form& form);

}  // namespace vm
