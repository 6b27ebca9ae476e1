#include "app/widgets/grid.h"

#include <gtest/gtest.h>

#include <vector>

namespace vm {
namespace {

struct GridTest : ::testing::Test {
    GridTest() : g(form.AddGrid(7)) {
        g.SetRows(5);
        g.SetCols(4);
        for (int c = 0; c < 4; ++c) g.SetColWidth(c, 1000 + 100 * c);
        for (int r = 0; r < 5; ++r) g.SetRowHeight(r, 300);
        form.On(EventType::GridEnterCell, 7, [this](const Event& e) {
            entered.emplace_back(e.row, e.col);
            return false;
        });
    }
    Form form;
    Grid& g;
    std::vector<std::pair<int, int>> entered;
};

TEST_F(GridTest, CellRectangleAndHitTestFollowScrolling) {
    g.SetRow(3);
    g.SetCol(2);
    EXPECT_EQ(g.CellLeft(), 1000 + 1100);
    EXPECT_EQ(g.CellTop(), 3 * 300);
    EXPECT_EQ(g.CellWidth(), 1200);
    g.Scroll(2);
    EXPECT_EQ(g.CellTop(), 300 + 300);  // heading row, then row 2, then row 3
    int r = -1, c = -1;
    ASSERT_TRUE(g.HitTest(1000 + 1100 + 5, 300 + 10, r, c));
    EXPECT_EQ(r, 2);
    EXPECT_EQ(c, 2);
    ASSERT_TRUE(g.HitTest(10, 10, r, c));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(c, 0);
    EXPECT_FALSE(g.HitTest(1000 + 1100 + 1200 + 1300, 10, r, c));
}

TEST_F(GridTest, KeysMoveWithinDataCellsUnlessSwallowed) {
    g.SetRow(1);
    g.SetCol(1);
    g.KeyDown(Key::Left);  // column 0 is fixed
    g.KeyDown(Key::End);
    g.KeyDown(Key::Right);  // already in the last column
    g.KeyDown(Key::Down);
    g.KeyDown(Key::Home);
    EXPECT_EQ(entered, (std::vector<std::pair<int, int>>{{1, 3}, {2, 3}, {2, 1}}));
    form.On(EventType::KeyPressed, 7, [](const Event& e) { return e.key == Key::Down; });
    g.KeyDown(Key::Down);
    EXPECT_EQ(g.Row(), 2);
}

TEST_F(GridTest, ClickFocusesTheGridMovesTheCurrentCellThenReportsTheButton) {
    form.AddEdit(9);
    form.Focus(9);
    std::vector<int> order;
    form.On(EventType::FocusLost, 9, [&](const Event&) {
        order.push_back(0);
        return false;
    });
    form.On(EventType::GridMouseDown, 7, [&](const Event& e) {
        order.push_back(e.row * 10 + e.col);
        return false;
    });
    g.ClickCell(4, 2);
    EXPECT_EQ(form.Focused(), 7);
    EXPECT_EQ(order, (std::vector<int>{0, 42}));
    EXPECT_EQ(entered.back(), std::make_pair(4, 2));
}

TEST_F(GridTest, UpdatesReportCellsOnceAndPostedKeysRunInOrder) {
    int cells = 0, whole = 0;
    form.Listen([&](const Change& c) {
        cells += c.kind == ChangeKind::Cell;
        whole += c.kind == ChangeKind::Grid;
    });
    g.BeginUpdate();
    for (int r = 1; r < 5; ++r) g.SetText(r, 1, "x");
    g.EndUpdate();
    g.SetText(1, 2, "y");
    EXPECT_EQ(cells, 1);
    EXPECT_EQ(whole, 1);

    g.SetRow(1);
    g.SetCol(3);
    form.On(EventType::KeyPressed, 7, [this](const Event& e) {
        if (e.key != Key::Right) return false;
        g.PostKey(Key::Home);
        g.PostKey(Key::Down);
        return true;
    });
    g.KeyDown(Key::Right);
    EXPECT_EQ(g.Row(), 2);
    EXPECT_EQ(g.Col(), 1);
}

}  // namespace
}  // namespace vm
