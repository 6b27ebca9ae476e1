// Modal dialogs as headless editors (Channel edit, VFO, Frequency range).
//
// A dialog is a CBaseFormView whose window is modal: it builds and loads in OnInitialUpdate,
// stores when a record is left (its own handlers) and when it is destroyed (Destroy), and may
// refuse a close with one of the system's messages (CloseRefusal). The generic Qt dialog host
// renders its form; the command line drives the same object.
//
// Plugging in a dialog:
//   class CVfoDlg : public CFormDialog {
//       void OnInitialUpdate() override;   // build the form, fill lists, load
//       void LoadFromImage() override;
//       void StoreToImage() override;
//       std::optional<EditorMessage> CloseRefusal() override;  // only when it may refuse
//   };
// Esc in a field, or a closing button, calls RequestClose() from the dialog's own handler; the
// host learns of it through `close_window` and closes its window.
//
// A dialog that steps through records (Channel edit: channels 1-800) reports the range and
// the record shown, and goes to a record the way the user does it (types the number into its
// field and leaves it, so the record left is stored). The command line's `--record N` uses it.
#pragma once

#include <functional>

#include "app/editors/framework/base_form_view.h"

namespace vm {

struct RecordRange {
    int first = 0;
    int last = -1;  // last < first: the dialog does not step through records
    bool Contains(int record) const { return record >= first && record <= last; }
    bool empty() const { return last < first; }
};

class CFormDialog : public CBaseFormView {
public:
    // Record stepping: the records the dialog steps through (empty by default).
    virtual RecordRange Records() const { return {}; }
    // The record shown.
    virtual int Record() const { return 0; }
    // Goes to `record` as the user does. False when it is out of range or the dialog stays on
    // its record.
    virtual bool GoToRecord(int /*record*/) { return false; }

    // The dialog closed itself (its own RequestClose succeeded): the host closes the window.
    std::function<void()> close_window;

    // RequestClose, then the host is told (close_window) when the dialog closed.
    bool CloseFromDialog();
};

}  // namespace vm
