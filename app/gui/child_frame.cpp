#include "app/gui/child_frame.h"

#include <QCloseEvent>

#include "app/editors/settings/base_form_view.h"

namespace vm::gui {

CChildFrame::CChildFrame(int command, EditorWindow* view, QWidget* parent)
    : QMdiSubWindow(parent), command_(command), view_(view) {
    setObjectName(QString("CChildFrame%1").arg(command));
    setAttribute(Qt::WA_DeleteOnClose);
    setWidget(view);
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
