#include "app/widgets/form_layout.h"

#include <gtest/gtest.h>

#include "app/widgets/grid.h"

namespace vm {
namespace {

TEST(FormLayout, DefaultKeepsGroupsTogetherAndSpinsBesideTheirEdits) {
    Form f;
    f.Add(10, ControlKind::Tab).selects_records = true;
    f.AddEdit(1).label = "Name";
    f.AddSpin(2, {.buddy = 1});
    f.Add(20, ControlKind::Group).text = "Decode 1";
    f.AddList(3).label = "Format";
    f.AddEdit(4).label = "Outside";  // created in the group's run, but not in the group
    f.AddList(5).label = "Format";
    f.At(3).group = 20;
    f.At(5).group = 30;  // its group box is created after it: laid out outside
    f.Add(30, ControlKind::Group).text = "Decode 2";
    f.AddGrid(40);
    f.Add(50, ControlKind::Button).text = "Channel edit";
    f.AddEdit(60).anchor = 40;  // a cell editor: where the form puts it
    f.AddSpin(70, {});          // a spin without an edit

    const FormLayout l = DefaultLayout(f);
    ASSERT_EQ(l.blocks.size(), 7u);
    EXPECT_EQ(l.blocks[0].kind, BlockKind::Tab);
    EXPECT_EQ(l.blocks[1].kind, BlockKind::Rows);
    ASSERT_EQ(l.blocks[1].rows.size(), 1u);
    EXPECT_EQ(l.blocks[1].rows[0].ids, (std::vector<int>{1, 2}));
    EXPECT_EQ(l.blocks[2].kind, BlockKind::Group);
    EXPECT_EQ(l.blocks[2].caption, "Decode 1");
    ASSERT_EQ(l.blocks[2].rows.size(), 1u);
    EXPECT_EQ(l.blocks[2].rows[0].ids, (std::vector<int>{3}));
    EXPECT_EQ(l.blocks[3].kind, BlockKind::Rows);  // "Outside" and 5
    EXPECT_EQ(l.blocks[3].rows.size(), 2u);
    EXPECT_EQ(l.blocks[4].kind, BlockKind::Group);
    EXPECT_EQ(l.blocks[5].kind, BlockKind::Grid);
    EXPECT_EQ(l.blocks[6].kind, BlockKind::Buttons);
    EXPECT_EQ(l.blocks[6].ids, (std::vector<int>{50}));
    EXPECT_EQ(l.placed, (std::vector<int>{60, 70}));
    EXPECT_EQ(RowCount(l), 4);
}

}  // namespace
}  // namespace vm
