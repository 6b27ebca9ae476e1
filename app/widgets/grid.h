// The headless grid control of the table editors: a text table with a fixed heading row and
// label column, column widths and row heights in twips, a current cell, a selection highlight
// and cell colours. It only displays text; the editors validate and store.
#pragma once

#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/widgets/form.h"

namespace vm {

enum class Alignment { Left, Centre, Right };

class Grid {
public:
    Grid(Form& form, int id);

    int id() const { return id_; }

    // ---- properties
    void SetRows(int rows);
    void SetCols(int cols);
    int Rows() const { return rows_; }
    int Cols() const { return cols_; }
    void SetFixedRows(int n) { fixed_rows_ = n; }
    void SetFixedCols(int n) { fixed_cols_ = n; }
    int FixedRows() const { return fixed_rows_; }
    int FixedCols() const { return fixed_cols_; }

    // The current cell. Setting it from the editor raises no event.
    int Row() const { return row_; }
    int Col() const { return col_; }
    void SetRow(int row);
    void SetCol(int col);

    const std::string& Text(int row, int col) const;
    void SetText(int row, int col, std::string text);

    int ColWidth(int col) const { return col_width_[static_cast<std::size_t>(col)]; }
    void SetColWidth(int col, int twips);
    int RowHeight(int row) const { return row_height_[static_cast<std::size_t>(row)]; }
    void SetRowHeight(int row, int twips);
    Alignment ColAlignment(int col) const { return align_[static_cast<std::size_t>(col)]; }
    void SetColAlignment(int col, Alignment a);
    unsigned CellBackColor(int row, int col) const;  // 0: the default background
    void SetCellBackColor(int row, int col, unsigned colour);
    bool HighLight() const { return highlight_; }
    void SetHighLight(bool on);

    // First scrollable row and column shown below and beside the fixed ones.
    int TopRow() const { return top_row_; }
    int LeftCol() const { return left_col_; }

    // Position and size of the current cell, in twips from the grid's client origin.
    int CellLeft() const;
    int CellTop() const;
    int CellWidth() const { return ColWidth(col_); }
    int CellHeight() const { return RowHeight(row_); }
    // Where an in-place editor of the current cell goes: the cell in pixels (at the form's
    // resolution), one pixel inside the grid's client origin.
    Rect CellEditorRect() const;
    // The cell under a point in twips; false when the point lies outside every cell.
    bool HitTest(int x, int y, int& row, int& col) const;

    // While an update is open, cell changes are reported once, as a whole-grid change.
    void BeginUpdate() { ++updating_; }
    void EndUpdate();

    // ---- user actions (from the renderer or a test)
    // Mouse button pressed at (x, y) twips: a data cell under the pointer becomes current
    // (GridEnterCell), then GridMouseDown is raised.
    void MouseDown(int button, int shift, int x, int y);
    void ClickCell(int row, int col);  // MouseDown with the left button in the middle of a cell
    // A key arriving at the grid: KeyPressed first; unless a handler swallowed it, arrows,
    // Home and End move the current cell (GridEnterCell on each move).
    void KeyDown(Key key);
    void PostKey(Key key);  // queued until the action in progress is over
    void Scroll(int top_row, int left_col = -1);

private:
    void MoveTo(int row, int col);
    std::size_t Index(int row, int col) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(cols_) +
               static_cast<std::size_t>(col);
    }
    void Reshape();

    Form& form_;
    int id_;
    int rows_ = 0;
    int cols_ = 0;
    int fixed_rows_ = 1;
    int fixed_cols_ = 1;
    int row_ = 1;
    int col_ = 1;
    int top_row_ = 1;
    int left_col_ = 1;
    bool highlight_ = true;
    int updating_ = 0;
    std::vector<std::string> cells_;
    std::vector<unsigned> back_;
    std::vector<int> col_width_;
    std::vector<int> row_height_;
    std::vector<Alignment> align_;
};

// The editors' tables: one column per heading text, of the given widths (twips) and centred,
// the heading row's texts, and `rows` rows in all (the heading row included), those below the
// heading `row_height` twips high.
void SetUpTable(Grid& grid, int rows, std::span<const std::string_view> headers,
                std::span<const int> widths, int row_height);
// A table of numbered records: `rows` rows below the heading row, one column per heading
// (widths in twips, centred), every row `row_height` twips high and numbered "%d" in column 0.
void SetUpRecordTable(Grid& grid, int rows, std::span<const std::string_view> headings,
                      std::span<const int> widths, int row_height);

// In-place cell editors: hidden controls of the grid's form shown over its current cell.
// Shows `editor` over the current cell, anchored to the grid, and gives it the focus.
void ShowCellEditor(Form& form, const Grid& grid, int editor);
// Hides a shown cell editor; false when it was not shown (nothing to commit).
bool HideCellEditor(Form& form, int editor);

// The events of a table edited in place: a mouse press in the grid goes to `mouse_down`; going
// to another cell or scrolling commits every editor (`commit_all`); an editor that loses the
// focus, or takes an Enter (the focus going back to the grid), commits itself.
struct CellEditorCommit {
    int editor;
    std::function<void()> commit;
};
void WireCellEditors(Form& form, int grid, std::function<void(const Event&)> mouse_down,
                     std::function<void()> commit_all,
                     std::initializer_list<CellEditorCommit> editors);

}  // namespace vm
