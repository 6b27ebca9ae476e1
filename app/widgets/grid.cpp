#include "app/widgets/grid.h"

#include <algorithm>

namespace vm {

namespace {
constexpr int kDefaultColWidth = 960;
constexpr int kDefaultRowHeight = 240;
const std::string kNoText;
}  // namespace

Grid::Grid(Form& form, int id) : form_(form), id_(id) {}

void Grid::Reshape() {
    const auto n = static_cast<std::size_t>(rows_) * static_cast<std::size_t>(cols_);
    cells_.assign(n, std::string());
    back_.assign(n, 0u);
    col_width_.resize(static_cast<std::size_t>(cols_), kDefaultColWidth);
    row_height_.resize(static_cast<std::size_t>(rows_), kDefaultRowHeight);
    align_.resize(static_cast<std::size_t>(cols_), Alignment::Left);
    row_ = std::clamp(row_, 0, std::max(rows_ - 1, 0));
    col_ = std::clamp(col_, 0, std::max(cols_ - 1, 0));
    form_.Notify({id_, ChangeKind::Grid});
}

void Grid::SetRows(int rows) {
    rows_ = std::max(rows, 0);
    Reshape();
}

void Grid::SetCols(int cols) {
    cols_ = std::max(cols, 0);
    Reshape();
}

void Grid::SetRow(int row) {
    row_ = std::clamp(row, 0, std::max(rows_ - 1, 0));
    form_.Notify({id_, ChangeKind::Selection});
}

void Grid::SetCol(int col) {
    col_ = std::clamp(col, 0, std::max(cols_ - 1, 0));
    form_.Notify({id_, ChangeKind::Selection});
}

const std::string& Grid::Text(int row, int col) const {
    if (row < 0 || row >= rows_ || col < 0 || col >= cols_) return kNoText;
    return cells_[Index(row, col)];
}

void Grid::SetText(int row, int col, std::string text) {
    if (row < 0 || row >= rows_ || col < 0 || col >= cols_) return;
    std::string& cell = cells_[Index(row, col)];
    if (cell == text) return;
    cell = std::move(text);
    if (updating_ == 0) form_.Notify({id_, ChangeKind::Cell, row, col});
}

void Grid::EndUpdate() {
    if (updating_ > 0 && --updating_ == 0) form_.Notify({id_, ChangeKind::Grid});
}

void Grid::SetColWidth(int col, int twips) {
    col_width_[static_cast<std::size_t>(col)] = twips;
    form_.Notify({id_, ChangeKind::Geometry});
}

void Grid::SetRowHeight(int row, int twips) {
    row_height_[static_cast<std::size_t>(row)] = twips;
    form_.Notify({id_, ChangeKind::Geometry});
}

void Grid::SetColAlignment(int col, Alignment a) {
    align_[static_cast<std::size_t>(col)] = a;
    form_.Notify({id_, ChangeKind::Geometry});
}

unsigned Grid::CellBackColor(int row, int col) const {
    return back_[Index(row, col)];
}

void Grid::SetCellBackColor(int row, int col, unsigned colour) {
    back_[Index(row, col)] = colour;
    form_.Notify({id_, ChangeKind::Cell, row, col});
}

void Grid::SetHighLight(bool on) {
    if (highlight_ == on) return;
    highlight_ = on;
    form_.Notify({id_, ChangeKind::Selection});
}

namespace {
// Distance of line `i` from the client origin along one axis: the fixed lines, then the
// scrolled lines from `first` (negative for a line scrolled out before it).
int Offset(const std::vector<int>& sizes, int fixed, int first, int i) {
    int pos = 0;
    for (int k = 0; k < fixed && k < i; ++k) pos += sizes[static_cast<std::size_t>(k)];
    if (i < fixed) return pos;
    for (int k = first; k < i; ++k) pos += sizes[static_cast<std::size_t>(k)];
    for (int k = i; k < first; ++k) pos -= sizes[static_cast<std::size_t>(k)];
    return pos;
}
}  // namespace

int Grid::CellLeft() const {
    return Offset(col_width_, fixed_cols_, left_col_, col_);
}

int Grid::CellTop() const {
    return Offset(row_height_, fixed_rows_, top_row_, row_);
}

Rect Grid::CellEditorRect() const {
    return {TwipsToPixels(CellLeft(), form_.logpixels_x) + 1,
            TwipsToPixels(CellTop(), form_.logpixels_y) + 1,
            TwipsToPixels(CellWidth(), form_.logpixels_x),
            TwipsToPixels(CellHeight(), form_.logpixels_y)};
}

bool Grid::HitTest(int x, int y, int& row, int& col) const {
    auto locate = [](int pos, int fixed, int first, int count, auto size, int& out) {
        if (pos < 0) return false;
        for (int i = 0; i < fixed && i < count; ++i) {
            if (pos < size(i)) return out = i, true;
            pos -= size(i);
        }
        for (int i = first; i < count; ++i) {
            if (pos < size(i)) return out = i, true;
            pos -= size(i);
        }
        return false;
    };
    return locate(
               x, fixed_cols_, left_col_, cols_, [this](int c) { return ColWidth(c); }, col) &&
           locate(
               y, fixed_rows_, top_row_, rows_, [this](int r) { return RowHeight(r); }, row);
}

// ---------------------------------------------------------------------------------------------

void Grid::MoveTo(int row, int col) {
    row = std::clamp(row, fixed_rows_, std::max(rows_ - 1, fixed_rows_));
    col = std::clamp(col, fixed_cols_, std::max(cols_ - 1, fixed_cols_));
    if (row == row_ && col == col_) return;
    row_ = row;
    col_ = col;
    form_.Notify({id_, ChangeKind::Selection});
    form_.Raise({.type = EventType::GridEnterCell, .id = id_, .row = row_, .col = col_});
}

void Grid::MouseDown(int button, int shift, int x, int y) {
    Form::ActionScope scope(form_);
    int row = -1;
    int col = -1;
    form_.Focus(id_);
    if (!HitTest(x, y, row, col)) return;
    // A click on a fixed cell selects the row or column beside it, not the fixed cell.
    MoveTo(row, col);
    form_.Raise({.type = EventType::GridMouseDown,
                 .id = id_,
                 .row = row,
                 .col = col,
                 .button = button,
                 .shift = shift,
                 .x = x,
                 .y = y});
}

void Grid::ClickCell(int row, int col) {
    // Scroll the cell into view first, as a user would before clicking it.
    if (row >= fixed_rows_ && row < top_row_) Scroll(row);
    int x = 0;
    for (int c = 0; c < col; ++c)
        if (c < fixed_cols_ || c >= left_col_) x += ColWidth(c);
    int y = 0;
    const int first = row >= fixed_rows_ && row < top_row_ ? row : top_row_;
    for (int r = 0; r < row; ++r)
        if (r < fixed_rows_ || r >= first) y += RowHeight(r);
    MouseDown(1, 0, x + ColWidth(col) / 2, y + RowHeight(row) / 2);
}

void Grid::KeyDown(Key key) {
    Form::ActionScope scope(form_);
    if (form_.Raise({.type = EventType::KeyPressed, .id = id_, .key = key})) return;
    switch (key) {
        case Key::Left:
            MoveTo(row_, col_ - 1);
            break;
        case Key::Right:
            MoveTo(row_, col_ + 1);
            break;
        case Key::Up:
            MoveTo(row_ - 1, col_);
            break;
        case Key::Down:
            MoveTo(row_ + 1, col_);
            break;
        case Key::Home:
            MoveTo(row_, fixed_cols_);
            break;
        case Key::End:
            MoveTo(row_, cols_ - 1);
            break;
        default:
            break;
    }
}

void Grid::PostKey(Key key) {
    form_.Post([this, key] { KeyDown(key); });
}

void Grid::Scroll(int top_row, int left_col) {
    Form::ActionScope scope(form_);
    top_row_ = std::clamp(top_row, fixed_rows_, std::max(rows_ - 1, fixed_rows_));
    if (left_col >= 0) left_col_ = std::clamp(left_col, fixed_cols_, std::max(cols_ - 1, 1));
    form_.Notify({id_, ChangeKind::Geometry});
    form_.Raise({.type = EventType::GridScroll, .id = id_, .row = top_row_});
}

// ---------------------------------------------------------------------------------------------

void ShowCellEditor(Form& form, const Grid& grid, int editor) {
    form.Move(editor, grid.CellEditorRect(), grid.id());
    form.SetVisible(editor, true);
    form.Focus(editor);
}

bool HideCellEditor(Form& form, int editor) {
    if (!form.At(editor).visible) return false;
    form.SetVisible(editor, false);
    return true;
}

void SetUpTable(Grid& grid, int rows, std::span<const std::string_view> headers,
                std::span<const int> widths, int row_height) {
    const int cols = static_cast<int>(headers.size());
    grid.BeginUpdate();
    grid.SetRows(rows);
    grid.SetCols(cols);
    for (int c = 0; c < cols; ++c) {
        const auto i = static_cast<std::size_t>(c);
        grid.SetColWidth(c, i < widths.size() ? widths[i] : grid.ColWidth(c));
        grid.SetColAlignment(c, Alignment::Centre);
        grid.SetText(0, c, std::string(headers[i]));
    }
    for (int r = 1; r < rows; ++r) grid.SetRowHeight(r, row_height);
    grid.EndUpdate();
}

void SetUpRecordTable(Grid& grid, int rows, std::span<const std::string_view> headings,
                      std::span<const int> widths, int row_height) {
    SetUpTable(grid, rows + 1, headings, widths, row_height);
    for (int r = 1; r <= rows; ++r) grid.SetText(r, 0, std::to_string(r));
}

void WireCellEditors(Form& form, int grid, std::function<void(const Event&)> mouse_down,
                     std::function<void()> commit_all,
                     std::initializer_list<CellEditorCommit> editors) {
    form.On(EventType::GridMouseDown, grid, [mouse_down = std::move(mouse_down)](const Event& e) {
        mouse_down(e);
        return false;
    });
    for (EventType t : {EventType::GridEnterCell, EventType::GridScroll}) {
        form.On(t, grid, [commit_all](const Event&) {
            commit_all();
            return false;
        });
    }
    for (const CellEditorCommit& e : editors) {
        form.On(EventType::FocusLost, e.editor, [commit = e.commit](const Event&) {
            commit();
            return false;
        });
        // Enter ends the edit: the focus goes back to the grid, which commits the editor.
        form.On(EventType::KeyPressed, e.editor, [&form, grid](const Event& k) {
            if (k.key != Key::Enter) return false;
            form.Focus(grid);
            return true;
        });
    }
}

}  // namespace vm
