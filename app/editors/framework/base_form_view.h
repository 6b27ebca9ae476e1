// The base of every editor that shows a region of the image (form views, tabbed views, modal
// dialogs), and the small behaviours the settings editors share (numeric fields that show
// "Off" for zero).
//
// An editor owns one form (and, for a tabbed view, one per page), builds its controls in
// OnInitialUpdate and loads them; its event handlers implement the behaviour. The hosts (the
// Qt windows and dialogs, the command line) only call the operations below:
//   OnInitialUpdate  once, when the window opens: controls built, lists filled, loaded;
//   LoadFromImage    reload (after New, Open, Read);
//   Commit           store (the frame's commit before Save, Read, Write, Print): the focused
//                    control's focus-loss rule runs first, then StoreToImage;
//   RequestClose     the user closes the window: false (with a message shown through the
//                    message hook) when the editor refuses; otherwise the editor is destroyed;
//   Destroy          the window goes: the focused control is committed and the editor stored,
//                    once. Hosts call it before deleting the editor (a destructor cannot reach
//                    the editor's own StoreToImage).
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/widgets/form.h"

namespace vm {

// The system's message boxes, raised by headless editors ("Password error!"), with what the
// fixed text is about (`detail`, may be empty: the box's informative text). The desktop editor
// shows a box with the application's title; the command line prints "vm6142: MESSAGE" and
// fails without saving.
using MessageHook = std::function<void(const std::string& text, const std::string& detail)>;

struct EditorMessage {
    std::string text;    // one of the system's fixed texts
    std::string detail;  // what it is about; may be empty
};

// A page of an editor: a form with its controls, and how the user brings it on screen
// (choosing entry `index` of the tab strip `tab` of `tab_form`; no tab_form: always shown).
struct FormPage {
    std::string caption = {};  // the tab's caption; empty for an editor without tabs
    Form* form = nullptr;
    Form* tab_form = nullptr;
    int tab = 0;
    int index = -1;
};

class CBaseFormView {
public:
    CBaseFormView() = default;
    virtual ~CBaseFormView() = default;
    CBaseFormView(const CBaseFormView&) = delete;
    CBaseFormView& operator=(const CBaseFormView&) = delete;

    // The window opens: build the controls, fill the lists, load.
    virtual void OnInitialUpdate() {}
    // Decode the view's fields from the image into its controls.
    virtual void LoadFromImage() {}
    // Encode the controls into the image.
    virtual void StoreToImage() {}

    // The focused control of every page runs its focus-loss rule (see Form::CommitFocus).
    void CommitFocus();
    // The focused control committed, then StoreToImage.
    void Commit();
    // The user asks to close the window (close box, Esc, a closing button). The focused
    // control is committed; when CloseRefusal gives a message it is shown through the message
    // hook and the window stays open (false); otherwise the editor is destroyed (true).
    bool RequestClose();
    // The window is destroyed: Commit, once. Later calls do nothing.
    virtual void Destroy();
    bool destroyed() const { return destroyed_; }

    // The pages the editor's fields are on, in tab order; the default is the view's own form.
    virtual std::vector<FormPage> Pages();
    // F1: the help topic for the editor's state (0: the guide's start).
    virtual int HelpContext() const { return 0; }

    Form& form() { return form_; }
    const Form& form() const { return form_; }

    // Set by whoever opens the editor (the catalogue's OpenEditorView).
    MessageHook message_hook;
    std::function<void(int context)> open_help;
    // Raises one of the system's message boxes through the hook; the last text is kept.
    void ShowMessage(const std::string& text, const std::string& detail = {});
    const std::string& last_message() const { return last_message_; }
    const std::string& last_detail() const { return last_detail_; }

protected:
    // Why the window may not close now: a message of the system ("Frequency band is
    // invalid!"), or nullopt when it may. Runs after the focused control was committed.
    virtual std::optional<EditorMessage> CloseRefusal() { return std::nullopt; }

    Form form_;

private:
    bool destroyed_ = false;
    std::string last_message_;
    std::string last_detail_;
};

// Numeric fields that show "Off" for zero: the value of a text ("Off" and text without a
// number give 0) and the text of a value.
inline constexpr std::string_view kOffText = "Off";
int OffAtZeroValue(std::string_view text);
std::string OffAtZeroText(int value);

// "1", "2", ... "count": the entries of a list that chooses a record by its number.
std::vector<std::string> NumberEntries(int count);
// "%0Nd" of a number that is not negative.
std::string ZeroPadded(int v, std::size_t width);

// A whole-number edit that shows "Off" for 0, with its spin (range 0..max, wrapping): an empty
// or out-of-range text becomes `def` when the edit is left (ValidateOffAtZero), and each spin
// step counts from the number shown.
void BindOffAtZeroField(Form& form, int edit, int spin, int max, int def);
void ValidateOffAtZero(Form& form, int edit, int max, int def);

// The decimal value of a text, held within int; a text without a number gives 0.
int DecimalValue(std::string_view text);

// The entries of a list control from an option list.
std::vector<std::string> ListEntries(std::span<const std::string_view> list);

// Form::SelectExactText, except that with no such entry (or an empty text) nothing is selected:
// a stored value the list does not hold shows no entry rather than the previous one.
bool SelectWholeText(Form& form, int id, std::string_view text);

// Every drop-down list of the form that has no selection gets its first entry.
void SelectFirstWhereNone(Form& form);

}  // namespace vm
