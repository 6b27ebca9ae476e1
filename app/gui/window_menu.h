// The Window menu's work on the frame's MDI area: a cascade that leaves every window a usable
// size, and the numbered list of the open windows below the menu's commands.
#pragma once

#include <QRect>
#include <QSize>
#include <vector>

class QMdiArea;
class QMenu;

namespace vm::gui {

// Where `count` cascaded windows go in an area of `area`: each one `step` right of and below the
// one before, all of one size, as large as the area less the stagger of the whole pile but at
// least `least` (bounded by the area). When the pile would leave the area the stagger starts
// again at the top-left corner.
std::vector<QRect> CascadeRects(QSize area, int count, int step, QSize least);

// Cascades the windows that are shown and not minimised (a maximised one is restored first),
// keeping their stacking: the window on top stays on top, last in the pile.
void CascadeSubWindows(QMdiArea& mdi);

// Replaces the window list at the end of `menu`: a separator, then "&1 title", "&2 title", ...
// in the order the windows were opened, the current one checked; choosing one activates it
// (restoring it when minimised). The menu's own commands before the list are kept.
void ListOpenWindows(QMenu& menu, QMdiArea& mdi);

}  // namespace vm::gui
