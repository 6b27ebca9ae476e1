#include "app/gui/child_frame.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QScrollArea>

#include "app/editors/framework/base_form_view.h"

namespace vm::gui {

CChildFrame::CChildFrame(int command, EditorWindow* view, QWidget* parent)
    : QMdiSubWindow(parent), command_(command), view_(view) {
    setObjectName(QString("CChildFrame%1").arg(command));
    setAttribute(Qt::WA_DeleteOnClose);
    // A form larger than its window scrolls inside it; the window (and the frame around the
    // windows) keeps the size it is given, however large the form.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("FormScroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);  // the focus goes to the form's controls
    scroll->setWidget(view);
    setWidget(scroll);
    // Each child's own system-menu shortcuts would clash with the other children's (Ctrl+F4 in
    // two windows closes neither): the frame's one Ctrl+F4 closes the active child.
    if (QMenu* menu = systemMenu())
        for (QAction* action : menu->actions()) action->setShortcuts({});
}

void CChildFrame::closeEvent(QCloseEvent* event) {
    // The editor may refuse (its message shown); otherwise it is stored and the window goes.
    if (view_)
        if (CBaseFormView* v = view_->FormView(); v && !v->RequestClose()) {
            event->ignore();
            return;
        }
    QMdiSubWindow::closeEvent(event);
}

}  // namespace vm::gui
