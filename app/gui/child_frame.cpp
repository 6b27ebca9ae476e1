#include "app/gui/child_frame.h"

namespace vm::gui {

CChildFrame::CChildFrame(int command, EditorWindow* view, QWidget* parent)
    : QMdiSubWindow(parent), command_(command), view_(view) {
    setObjectName(QString("CChildFrame%1").arg(command));
    setAttribute(Qt::WA_DeleteOnClose);
    setWidget(view);
}

}  // namespace vm::gui
