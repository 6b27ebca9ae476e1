// The editor windows inside the main frame: a child frame per editor, holding the editor's
// view. Views that show a region of the image give the main frame their headless
// CBaseFormView, through which it commits and reloads them.
#pragma once

#include <QMdiSubWindow>
#include <QWidget>

namespace vm {
class CBaseFormView;
}

namespace vm::gui {

class EditorWindow : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    // The headless view behind the window; null for a window that is no form view.
    virtual CBaseFormView* FormView() { return nullptr; }
    // The help topic for the window's current state (F1); 0 for the guide's start.
    virtual int HelpContext() const { return 0; }
};

// The view sits in a scroll area: a form larger than the window scrolls.
class CChildFrame : public QMdiSubWindow {
    Q_OBJECT
public:
    CChildFrame(int command, EditorWindow* view, QWidget* parent = nullptr);
    int command() const { return command_; }
    EditorWindow* view() const { return view_; }

protected:
    // Closing an editor window keeps its edits: the view is stored into the image first
    // (the table's cells are otherwise the only copy of what was typed since the last commit).
    void closeEvent(QCloseEvent* event) override;

private:
    int command_;
    EditorWindow* view_;
};

}  // namespace vm::gui
