#include "app/gui/grid_widget.h"

#include "app/gui/binding_support.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScrollBar>
#include <algorithm>
#include <optional>

namespace vm::gui {
namespace {

Qt::Alignment QtAlignment(Alignment a) {
    switch (a) {
        case Alignment::Left:
            return Qt::AlignLeft | Qt::AlignVCenter;
        case Alignment::Right:
            return Qt::AlignRight | Qt::AlignVCenter;
        case Alignment::Centre:
            break;
    }
    return Qt::AlignCenter;
}

}  // namespace

GridWidget::GridWidget(Grid& grid, Form& form, QWidget* parent)
    : QTableWidget(parent), grid_(grid), form_(form), corner_(new QLabel(this)) {
    setObjectName(QString::number(grid.id()));
    setCornerButtonEnabled(false);
    corner_->setAlignment(Qt::AlignCenter);
    corner_->setAutoFillBackground(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerItem);
    setTabKeyNavigation(false);
    setWordWrap(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->setHighlightSections(false);
    verticalHeader()->setDefaultAlignment(Qt::AlignCenter);
    horizontalHeader()->viewport()->installEventFilter(this);
    verticalHeader()->viewport()->installEventFilter(this);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &GridWidget::OnScrolled);
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, &GridWidget::OnScrolled);
    SyncAll();
}

// Pixel sizes come from the running sum of twips, so that every cell edge lies where the
// grid's twips say (an editor placed from the grid's twips then covers the cell exactly).
GridWidget::~GridWidget() {
    // Clearing the table moves the scroll bars: that is no scrolling of the grid.
    ++syncing_;
    disconnect(verticalScrollBar(), nullptr, this, nullptr);
    disconnect(horizontalScrollBar(), nullptr, this, nullptr);
}

int GridWidget::ColPixels(int col) const {
    int before = 0;
    for (int c = 0; c < col; ++c) before += grid_.ColWidth(c);
    return TwipsToPixels(before + grid_.ColWidth(col), form_.logpixels_x) -
           TwipsToPixels(before, form_.logpixels_x);
}

int GridWidget::RowPixels(int row) const {
    int before = 0;
    for (int r = 0; r < row; ++r) before += grid_.RowHeight(r);
    return TwipsToPixels(before + grid_.RowHeight(row), form_.logpixels_y) -
           TwipsToPixels(before, form_.logpixels_y);
}

void GridWidget::SyncAll() {
    SyncGuard guard(syncing_);
    const int fr = grid_.FixedRows();
    const int fc = grid_.FixedCols();
    setRowCount(std::max(0, grid_.Rows() - fr));
    setColumnCount(std::max(0, grid_.Cols() - fc));
    for (int r = 0; r < grid_.Rows(); ++r)
        for (int c = 0; c < grid_.Cols(); ++c) SyncCell(r, c);
    SyncGeometry();
    SyncCurrent();
}

void GridWidget::SyncCell(int row, int col) {
    SyncGuard guard(syncing_);
    const int fr = grid_.FixedRows();
    const int fc = grid_.FixedCols();
    const QString text = QString::fromStdString(grid_.Text(row, col));
    if (row < fr && col < fc) {
        if (row == 0 && col == 0) corner_->setText(text);
    } else if (row < fr && col >= fc) {
        auto* item = horizontalHeaderItem(col - fc);
        if (!item) setHorizontalHeaderItem(col - fc, item = new QTableWidgetItem);
        item->setText(text);
    } else if (col < fc && row >= fr) {
        auto* item = verticalHeaderItem(row - fr);
        if (!item) setVerticalHeaderItem(row - fr, item = new QTableWidgetItem);
        item->setText(text);
    } else if (row >= fr && col >= fc) {
        // A new item is filled before it goes into the table: one change for the table to
        // take instead of four (the first fill of the channel table makes ten thousand).
        auto* it = item(row - fr, col - fc);
        const bool fresh = it == nullptr;
        if (fresh) {
            it = new QTableWidgetItem;
            it->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        }
        it->setText(text);
        it->setTextAlignment(QtAlignment(grid_.ColAlignment(col)));
        const unsigned back = grid_.CellBackColor(row, col);
        // Colours are stored as the platform's 0x00BBGGRR; 0 is the default background.
        if (back != 0)
            it->setBackground(QColor(static_cast<int>(back & 0xFF),
                                     static_cast<int>((back >> 8) & 0xFF),
                                     static_cast<int>((back >> 16) & 0xFF)));
        else if (!fresh)
            it->setBackground(QBrush());
        if (fresh) setItem(row - fr, col - fc, it);
    }
}

void GridWidget::SyncGeometry() {
    SyncGuard guard(syncing_);
    const int fr = grid_.FixedRows();
    const int fc = grid_.FixedCols();
    int label_width = 0;
    for (int c = 0; c < fc && c < grid_.Cols(); ++c) label_width += ColPixels(c);
    int heading_height = 0;
    for (int r = 0; r < fr && r < grid_.Rows(); ++r) heading_height += RowPixels(r);
    verticalHeader()->setFixedWidth(label_width);
    horizontalHeader()->setFixedHeight(heading_height);
    corner_->setGeometry(QRect(contentsRect().topLeft(), QSize(label_width, heading_height)));
    corner_->raise();
    for (int c = fc; c < grid_.Cols(); ++c) {
        setColumnWidth(c - fc, ColPixels(c));
        if (auto* h = horizontalHeaderItem(c - fc))
            h->setTextAlignment(QtAlignment(grid_.ColAlignment(c)));
    }
    for (int r = fr; r < grid_.Rows(); ++r) setRowHeight(r - fr, RowPixels(r));
    if (grid_.TopRow() - fr != verticalScrollBar()->value())
        verticalScrollBar()->setValue(grid_.TopRow() - fr);
    if (grid_.LeftCol() - fc != horizontalScrollBar()->value())
        horizontalScrollBar()->setValue(grid_.LeftCol() - fc);
}

void GridWidget::SyncCurrent() {
    SyncGuard guard(syncing_);
    const int r = grid_.Row() - grid_.FixedRows();
    const int c = grid_.Col() - grid_.FixedCols();
    if (r >= 0 && c >= 0 && r < rowCount() && c < columnCount()) {
        setSelectionBehavior(grid_.HighLight() && grid_.Col() < grid_.FixedCols()
                                 ? QAbstractItemView::SelectRows
                                 : QAbstractItemView::SelectItems);
        setCurrentCell(r, c);
    }
    // Highlight off: the current cell keeps its focus frame but is not filled.
    QPalette p = palette();
    const QPalette standard = style()->standardPalette();
    p.setColor(QPalette::Highlight, grid_.HighLight() ? standard.color(QPalette::Highlight)
                                                      : standard.color(QPalette::Base));
    p.setColor(QPalette::HighlightedText, grid_.HighLight()
                                              ? standard.color(QPalette::HighlightedText)
                                              : standard.color(QPalette::Text));
    setPalette(p);
    // Qt may have scrolled to show the cell: tell the grid.
    if (verticalScrollBar()->value() + grid_.FixedRows() != grid_.TopRow() ||
        horizontalScrollBar()->value() + grid_.FixedCols() != grid_.LeftCol()) {
        --syncing_;
        OnScrolled();
        ++syncing_;
    }
}

int GridWidget::ColLeftTwips(int col) const {
    int x = 0;
    const int fc = grid_.FixedCols();
    for (int c = 0; c < std::min(col, fc); ++c) x += grid_.ColWidth(c);
    for (int c = grid_.LeftCol(); c < col; ++c) x += grid_.ColWidth(c);
    return x;
}

int GridWidget::RowTopTwips(int row) const {
    int y = 0;
    const int fr = grid_.FixedRows();
    for (int r = 0; r < std::min(row, fr); ++r) y += grid_.RowHeight(r);
    for (int r = grid_.TopRow(); r < row; ++r) y += grid_.RowHeight(r);
    return y;
}

bool GridWidget::ToTwips(QPoint pos, int& x, int& y) const {
    // Find the grid cell under the point from Qt's own geometry, then express the point as
    // the grid's twips: the cell's edge in twips plus the offset inside the cell.
    const QPoint client = pos - contentsRect().topLeft();
    const int label_w = verticalHeader()->width();
    const int heading_h = horizontalHeader()->height();
    int col, row, dx, dy;
    if (client.x() < label_w) {
        col = 0;
        dx = client.x();
    } else {
        const int vx = client.x() - label_w;
        const int c = columnAt(vx);
        if (c < 0) return false;
        col = c + grid_.FixedCols();
        dx = vx - columnViewportPosition(c);
    }
    if (client.y() < heading_h) {
        row = 0;
        dy = client.y();
    } else {
        const int vy = client.y() - heading_h;
        const int r = rowAt(vy);
        if (r < 0) return false;
        row = r + grid_.FixedRows();
        dy = vy - rowViewportPosition(r);
    }
    x = ColLeftTwips(col) + std::min(dx * 1440 / form_.logpixels_x, grid_.ColWidth(col) - 1);
    y = RowTopTwips(row) + std::min(dy * 1440 / form_.logpixels_y, grid_.RowHeight(row) - 1);
    return true;
}

void GridWidget::Press(QMouseEvent* event, QPoint widget_pos) {
    int x = 0, y = 0;
    if (!ToTwips(widget_pos, x, y)) return;
    const int button = event->button() == Qt::LeftButton    ? 1
                       : event->button() == Qt::RightButton ? 2
                                                            : 4;
    int shift = 0;
    if (event->modifiers() & Qt::ShiftModifier) shift |= 1;
    if (event->modifiers() & Qt::ControlModifier) shift |= 2;
    if (event->modifiers() & Qt::AltModifier) shift |= 4;
    setFocus(Qt::MouseFocusReason);
    Form::ActionScope scope(form_);
    grid_.MouseDown(button, shift, x, y);
}

void GridWidget::mousePressEvent(QMouseEvent* event) {
    Press(event, viewport()->mapTo(this, event->position().toPoint()));
}

void GridWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
}

bool GridWidget::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress &&
        (watched == horizontalHeader()->viewport() || watched == verticalHeader()->viewport())) {
        auto* me = static_cast<QMouseEvent*>(event);
        auto* w = static_cast<QWidget*>(watched);
        Press(me, w->mapTo(this, me->position().toPoint()));
        return true;
    }
    return QTableWidget::eventFilter(watched, event);
}

void GridWidget::keyPressEvent(QKeyEvent* event) {
    const auto key = FormKeyOf(event->key(), true);
    if (!key) {
        event->ignore();
        return;
    }
    Form::ActionScope scope(form_);
    grid_.KeyDown(*key);
}

void GridWidget::focusInEvent(QFocusEvent* event) {
    QTableWidget::focusInEvent(event);
    if (syncing_ == 0 && form_.Focused() != grid_.id()) form_.Focus(grid_.id());
}

void GridWidget::OnScrolled() {
    if (syncing_ != 0) return;
    const int top = verticalScrollBar()->value() + grid_.FixedRows();
    const int left = horizontalScrollBar()->value() + grid_.FixedCols();
    if (top == grid_.TopRow() && left == grid_.LeftCol()) return;
    Form::ActionScope scope(form_);
    grid_.Scroll(top, left);
}

}  // namespace vm::gui
