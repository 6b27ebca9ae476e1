#include "app/gui/window_menu.h"

#include <QAction>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>
#include <QStyle>
#include <algorithm>

namespace vm::gui {
namespace {

// Marks the actions the window list adds, so that the next listing replaces them.
constexpr const char* kListEntry = "vmWindowListEntry";

}  // namespace

std::vector<QRect> CascadeRects(QSize area, int count, int step, QSize least) {
    std::vector<QRect> rects;
    if (count <= 0 || area.isEmpty()) return rects;
    step = std::max(step, 1);
    const int stagger = (count - 1) * step;
    const QSize size(
        std::clamp(area.width() - stagger, std::min(least.width(), area.width()), area.width()),
        std::clamp(area.height() - stagger, std::min(least.height(), area.height()),
                   area.height()));
    // How many steps each way the area leaves room for; the pile is as long as both allow
    // (an axis without room stays put while the other staggers), then starts over.
    const int room_x = (area.width() - size.width()) / step;
    const int room_y = (area.height() - size.height()) / step;
    const int per_pile = 1 + (room_x == 0   ? room_y
                              : room_y == 0 ? room_x
                                            : std::min(room_x, room_y));
    for (int i = 0; i < count; ++i) {
        const int offset = (i % per_pile) * step;
        rects.emplace_back(QPoint(room_x ? offset : 0, room_y ? offset : 0), size);
    }
    return rects;
}

void CascadeSubWindows(QMdiArea& mdi) {
    std::vector<QMdiSubWindow*> windows;
    for (QMdiSubWindow* w : mdi.subWindowList(QMdiArea::StackingOrder))
        if (!w->isHidden() && !w->isMinimized()) windows.push_back(w);
    if (windows.empty()) return;
    QMdiSubWindow* current = mdi.currentSubWindow();
    for (QMdiSubWindow* w : windows)
        if (w->isMaximized()) w->showNormal();
    const QSize area = mdi.viewport()->size();
    const int step = std::max(
        windows.front()->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, windows.front()),
        16);
    QSize least(area.width() / 2, area.height() / 2);
    for (QMdiSubWindow* w : windows) least = least.expandedTo(w->minimumSizeHint());
    const std::vector<QRect> rects =
        CascadeRects(area, static_cast<int>(windows.size()), step, least);
    for (std::size_t i = 0; i < windows.size(); ++i) {
        windows[i]->setGeometry(rects[i]);
        windows[i]->raise();
    }
    if (current) mdi.setActiveSubWindow(current);
}

void ListOpenWindows(QMenu& menu, QMdiArea& mdi) {
    for (QAction* a : menu.actions())
        if (a->property(kListEntry).toBool()) {
            menu.removeAction(a);
            a->deleteLater();
        }
    const QList<QMdiSubWindow*> windows = mdi.subWindowList(QMdiArea::CreationOrder);
    if (windows.isEmpty()) return;
    auto mark = [](QAction* a) {
        a->setProperty(kListEntry, true);
        return a;
    };
    mark(menu.addSeparator());
    QMdiSubWindow* current = mdi.currentSubWindow();
    int n = 0;
    for (QMdiSubWindow* w : windows) {
        ++n;
        // The first nine carry their number as the mnemonic; "&&" keeps a title's "&" a letter.
        QString title = w->windowTitle();
        title.replace("&", "&&");
        const QString text =
            n < 10 ? QString("&%1 %2").arg(n).arg(title) : QString("%1 %2").arg(n).arg(title);
        QAction* a = mark(menu.addAction(text));
        a->setCheckable(true);
        a->setChecked(w == current);
        QPointer<QMdiSubWindow> target(w);
        QPointer<QMdiArea> area(&mdi);
        QObject::connect(a, &QAction::triggered, a, [target, area] {
            if (!target || !area) return;
            if (target->isMinimized()) target->showNormal();
            area->setActiveSubWindow(target);
        });
    }
}

}  // namespace vm::gui
