// The Qt rendering of the headless grid control: a QTableWidget whose heading row and label
// column are the grid's fixed row and column, sized in twips as the grid says, and which hands
// mouse presses, keys, focus and scrolling to the grid instead of acting on them itself.
#pragma once

#include <QLabel>
#include <QTableWidget>

#include "app/widgets/grid.h"

namespace vm::gui {

class GridWidget : public QTableWidget {
    Q_OBJECT
public:
    GridWidget(Grid& grid, Form& form, QWidget* parent = nullptr);
    ~GridWidget() override;

    Grid& grid() { return grid_; }

    // Mirrors of the grid's state.
    void SyncAll();
    void SyncCell(int row, int col);
    void SyncGeometry();
    void SyncCurrent();

    // Twips from the grid's client origin of a point in this widget's coordinates; false when
    // the point is on no cell.
    bool ToTwips(QPoint widget_pos, int& x, int& y) const;

    // The pixel widths and heights used for the grid's twips (the form's resolution).
    int ColPixels(int col) const;
    int RowPixels(int row) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Press(QMouseEvent* event, QPoint widget_pos);
    void OnScrolled();
    int ColLeftTwips(int col) const;
    int RowTopTwips(int row) const;

    Grid& grid_;
    Form& form_;
    QLabel* corner_;  // the fixed top-left cell ("CH")
    int syncing_ = 0;
};

}  // namespace vm::gui
