// Where the controls of a form go, as data: the generic window and dialog hosts render any
// form from its layout, so an editor needs no window code of its own.
//
// A layout is a list of blocks from top to bottom: rows of label + control (a spin beside its
// edit), group boxes holding such rows under their caption, tab strips, grids and a row of
// buttons. A host may flow blocks into columns, but a group box is never split.
//
// `DefaultLayout` derives the layout from the form itself, in creation order:
//   - a labelled control is a row (its spin, if any, beside it); a control whose `group` is a
//     group box goes into that group's block, the others into plain row blocks;
//   - a group box is a block where it was created, holding the rows of its controls;
//   - a tab strip, a grid: a block of its own;
//   - buttons without a label: the button row at the bottom;
//   - everything else (static texts without a label, in-place cell editors) keeps the
//     position the form gives it (`placed`).
// An editor whose window needs another arrangement builds its FormLayout by hand.
#pragma once

#include <string>
#include <vector>

#include "app/widgets/form.h"

namespace vm {

struct LayoutRow {
    std::string label = {};     // the text beside the control
    std::vector<int> ids = {};  // the control, then its spin (if any)
};

enum class BlockKind { Rows, Group, Tab, Grid, Buttons };

struct LayoutBlock {
    BlockKind kind = BlockKind::Rows;
    int id = 0;                        // Group, Tab, Grid: the control
    std::string caption = {};          // Group: the group box's caption
    std::vector<LayoutRow> rows = {};  // Rows, Group
    std::vector<int> ids = {};         // Buttons
};

struct FormLayout {
    std::vector<LayoutBlock> blocks = {};
    std::vector<int> placed = {};  // controls left where the form places them
    // Columns the host may use; 0: its choice (two when there are more than 12 rows).
    int columns = 0;
};

FormLayout DefaultLayout(const Form& form);

// The rows of a layout in order (every block), for tests and for hosts that count them.
int RowCount(const FormLayout& layout);

}  // namespace vm
