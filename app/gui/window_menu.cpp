#include "app/gui/window_menu.h"

#include <QAction>
#include <QKeyEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QTreeWidget>
#include <algorithm>

namespace vm::gui {
namespace {

// Marks the actions the window list adds, so that the next listing replaces them.
constexpr const char* kListEntry = "vmWindowListEntry";

// The windows that take part in a cascade or a tile: shown and not minimised.
std::vector<QMdiSubWindow*> Placeable(QMdiArea& mdi, QMdiArea::WindowOrder order) {
    std::vector<QMdiSubWindow*> windows;
    for (QMdiSubWindow* w : mdi.subWindowList(order))
        if (!w->isHidden() && !w->isMinimized()) windows.push_back(w);
    return windows;
}

class ItemKeys : public QObject {
public:
    ItemKeys(QTreeWidget& tree, std::function<void(QTreeWidgetItem*)> open)
        : QObject(&tree), tree_(tree), open_(std::move(open)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
                if (QTreeWidgetItem* item = tree_.currentItem()) open_(item);
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTreeWidget& tree_;
    std::function<void(QTreeWidgetItem*)> open_;
};

}  // namespace

void OpenOnKeys(QTreeWidget& tree, std::function<void(QTreeWidgetItem*)> open) {
    tree.installEventFilter(new ItemKeys(tree, std::move(open)));
}

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
    const std::vector<QMdiSubWindow*> windows = Placeable(mdi, QMdiArea::StackingOrder);
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

std::vector<QRect> TileRects(QSize area, int count) {
    std::vector<QRect> rects;
    if (count <= 0 || area.isEmpty()) return rects;
    int cols = 1;
    while (cols * cols < count) ++cols;
    const int rows = (count + cols - 1) / cols;
    // The first rows hold one window fewer when the windows do not fill the grid.
    const int short_rows = rows * cols - count;
    int placed = 0;
    for (int r = 0; r < rows; ++r) {
        const int in_row = r < short_rows ? cols - 1 : cols;
        const int top = area.height() * r / rows;
        const int bottom = area.height() * (r + 1) / rows;
        for (int c = 0; c < in_row && placed < count; ++c, ++placed) {
            const int left = area.width() * c / in_row;
            const int right = area.width() * (c + 1) / in_row;
            rects.emplace_back(QPoint(left, top), QSize(right - left, bottom - top));
        }
    }
    return rects;
}

void TileSubWindows(QMdiArea& mdi) {
    const std::vector<QMdiSubWindow*> windows = Placeable(mdi, QMdiArea::CreationOrder);
    if (windows.empty()) return;
    QMdiSubWindow* current = mdi.currentSubWindow();
    for (QMdiSubWindow* w : windows)
        if (w->isMaximized()) w->showNormal();
    const std::vector<QRect> rects =
        TileRects(mdi.viewport()->size(), static_cast<int>(windows.size()));
    for (std::size_t i = 0; i < rects.size(); ++i) windows[i]->setGeometry(rects[i]);
    if (current) mdi.setActiveSubWindow(current);
}

std::vector<QRect> ArrangeRects(QSize area, int count, QSize icon) {
    std::vector<QRect> rects;
    if (count <= 0 || icon.isEmpty()) return rects;
    const int per_row = std::max(1, area.width() / icon.width());
    for (int i = 0; i < count; ++i) {
        const int row = i / per_row;
        const int col = i % per_row;
        // Rows pile up from the bottom; above the top they stay on the top row.
        const int y = std::max(0, area.height() - (row + 1) * icon.height());
        rects.emplace_back(QPoint(col * icon.width(), y), icon);
    }
    return rects;
}

void ArrangeMinimised(QMdiArea& mdi) {
    std::vector<QMdiSubWindow*> icons;
    for (QMdiSubWindow* w : mdi.subWindowList(QMdiArea::CreationOrder))
        if (w->isMinimized() && !w->isHidden()) icons.push_back(w);
    if (icons.empty()) return;
    QSize icon;
    for (QMdiSubWindow* w : icons) icon = icon.expandedTo(w->size());
    const std::vector<QRect> rects =
        ArrangeRects(mdi.viewport()->size(), static_cast<int>(icons.size()), icon);
    for (std::size_t i = 0; i < rects.size(); ++i) icons[i]->move(rects[i].topLeft());
}

QRect IntoView(QRect window, QSize area) {
    if (area.isEmpty()) return window;
    window.setSize(window.size().boundedTo(area));
    const int x = std::clamp(window.x(), 0, area.width() - window.width());
    const int y = std::clamp(window.y(), 0, area.height() - window.height());
    window.moveTo(x, y);
    return window;
}

void BringIntoView(QMdiArea& mdi, QMdiSubWindow& window) {
    // An area not shown yet has no size of its own to keep the window in.
    if (!mdi.isVisible() || window.isMaximized() || window.isMinimized() || window.isHidden())
        return;
    const QRect placed = IntoView(window.geometry(), mdi.viewport()->size());
    if (placed != window.geometry()) window.setGeometry(placed);
}

QSize FirstWindowSize(QSize wanted, QSize available) {
    // Room for a window manager's frame and title bar around the window.
    const QSize frame(16, 48);
    return wanted.boundedTo((available - frame).expandedTo(QSize(1, 1)));
}

void FitOnScreen(QWidget& window, QSize wanted) {
    const QScreen* screen = window.screen();
    window.resize(screen ? FirstWindowSize(wanted, screen->availableGeometry().size()) : wanted);
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
            BringIntoView(*area, *target);
        });
    }
}

}  // namespace vm::gui
