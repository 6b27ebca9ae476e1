// The generic Qt hosts of the catalogue's editors: a child window for a single-form view, the
// tabbed window (tabbed_form_window.h), and a modal dialog. Each renders the editor's forms
// through the form binder and lays them out from the entry's FormLayout; none knows an
// editor.
#pragma once

#include <QDialog>
#include <memory>

#include "app/editors/catalogue/catalogue.h"
#include "app/editors/framework/form_dialog.h"
#include "app/gui/child_frame.h"
#include "app/widgets/form_layout.h"

namespace vm::gui {

class CMainFrame;
class FormBinder;
class GridWidget;

// Lays out a form in `container` as its layout says: blocks top to bottom in one or two
// columns (a group box is never split), labelled rows as label + control (a spin beside its
// edit), a grid stretched over the whole width, the buttons in a row at the bottom. Controls
// the layout leaves to the form keep the form's geometry.
void LayOutForm(FormBinder& binder, const FormLayout& layout, QWidget* container);

// A child window over one form (the channel table, the model information, the alarm, ...).
class FormViewWindow : public EditorWindow {
    Q_OBJECT
public:
    // Takes an initialised view.
    FormViewWindow(std::unique_ptr<CBaseFormView> view, const FormLayout& layout,
                   QWidget* parent = nullptr);
    ~FormViewWindow() override;

    CBaseFormView* FormView() override { return view_.get(); }
    int HelpContext() const override { return view_->HelpContext(); }
    CBaseFormView& base_view() { return *view_; }
    FormBinder& binder() { return *binder_; }
    QWidget* control(int id) const;
    GridWidget* grid(int id) const;

private:
    std::unique_ptr<CBaseFormView> view_;  // outlives the binder
    std::unique_ptr<FormBinder> binder_;
};

// A modal dialog over a headless dialog (or any view): the close box and Esc ask the editor
// (RequestClose; a refusal keeps the dialog open), the editor may close itself
// (CFormDialog::close_window), and the editor is destroyed (stored) when the dialog ends.
class FormDialogHost : public QDialog {
    Q_OBJECT
public:
    FormDialogHost(std::unique_ptr<CBaseFormView> view, const FormLayout& layout,
                   QWidget* parent = nullptr);
    ~FormDialogHost() override;

    CBaseFormView& view() { return *view_; }
    FormBinder& binder() { return *binder_; }
    QWidget* control(int id) const;

    void reject() override;  // Esc and the close box: a close request

protected:
    void closeEvent(QCloseEvent* event) override;
    // A key that reaches the dialog itself (no control of the form has the focus, as while
    // every control is disabled) goes to the form, so its handlers see it (F11).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Finish();
    std::unique_ptr<CBaseFormView> view_;
    std::unique_ptr<FormBinder> binder_;
    bool finished_ = false;
};

// The main frame's window of an editor: a child window for a tabbed or single-form view.
// Null for a modal dialog or an editor not built.
EditorWindow* OpenEditorWindow(const EditorEntry& entry, EditorContext& ctx);
// Runs a modal dialog editor to its end (its view stored on the way out).
void RunEditorDialog(const EditorEntry& entry, EditorContext& ctx, QWidget* parent);

}  // namespace vm::gui
