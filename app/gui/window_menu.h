// The Window menu's work on the frame's MDI area: a cascade that leaves every window a usable
// size, tiling and arranging that keep every window inside the area, bringing a window into
// view, and the numbered list of the open windows below the menu's commands.
#pragma once

#include <QRect>
#include <QSize>
#include <vector>

#include <functional>

class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace vm::gui {

// Where `count` cascaded windows go in an area of `area`: each one `step` right of and below the
// one before, all of one size, as large as the area less the stagger of the whole pile but at
// least `least` (bounded by the area). When the pile would leave the area the stagger starts
// again at the top-left corner.
std::vector<QRect> CascadeRects(QSize area, int count, int step, QSize least);

// Cascades the windows that are shown and not minimised (a maximised one is restored first),
// keeping their stacking: the window on top stays on top, last in the pile.
void CascadeSubWindows(QMdiArea& mdi);

// Where `count` tiled windows go in an area of `area`: rows of equal height, one above the
// other, each holding as many windows as the columns of a near-square grid need (the last rows
// fewer); together they fill the area exactly and none leaves it.
std::vector<QRect> TileRects(QSize area, int count);

// Tiles the windows that are shown and not minimised (a maximised one is restored first) inside
// the area's viewport, in the order they were opened. Nothing grows: neither the area nor the
// frame around it.
void TileSubWindows(QMdiArea& mdi);

// Where `count` minimised windows of `icon` size go: a row along the bottom of the area from
// the left, the next row above it when one is full. Every place lies inside the area as far as
// the area is as large as one icon.
std::vector<QRect> ArrangeRects(QSize area, int count, QSize icon);

// Arranges the minimised windows along the bottom of the viewport.
void ArrangeMinimised(QMdiArea& mdi);

// Moves a window that is not maximised or minimised wholly into the viewport, smaller when it
// is larger than the viewport; a window already wholly inside stays where it is. Nothing moves
// while the area is not shown.
QRect IntoView(QRect window, QSize area);
void BringIntoView(QMdiArea& mdi, QMdiSubWindow& window);

// The size of the program's first window: `wanted`, made smaller where the screen's available
// area (less room for the window's own frame and title) is smaller.
QSize FirstWindowSize(QSize wanted, QSize available);

// A window of its own (a dialog, the guide) sized `wanted`, made smaller where the available
// area of the screen it is on is smaller (as FirstWindowSize).
void FitOnScreen(QWidget& window, QSize wanted);

// Enter or Space on the tree's current item runs `open` on it, as a click does.
void OpenOnKeys(QTreeWidget& tree, std::function<void(QTreeWidgetItem*)> open);

// Replaces the window list at the end of `menu`: a separator, then "&1 title", "&2 title", ...
// in the order the windows were opened, the current one checked; choosing one activates it
// (restoring it when minimised). The menu's own commands before the list are kept.
void ListOpenWindows(QMenu& menu, QMdiArea& mdi);

}  // namespace vm::gui
