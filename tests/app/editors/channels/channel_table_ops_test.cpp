// The channel table's row operations, clipboard and history, driven as the window drives them.
#include <gtest/gtest.h>

#include "app/editors/channels/channel_table_ops.h"
#include "tests/app/editors/channels/channel_fixture.h"

namespace vm {
namespace {

using V = CProgramView;

struct TableOps : testing::ChannelTable {
    void SetUp() override {
        ChannelTable::SetUp();
        for (auto [row, rx, name] : {std::tuple{2, "146.52", "B"},
                                     {3, "145.6", "C"},
                                     {4, "446.1", "A"},
                                     {5, "118.1", ""}}) {
            view->TypeIntoCell(row, V::kColRx, rx);
            if (*name) view->TypeIntoCell(row, V::kColName, name);
        }
        view->StoreToImage();
        ops = std::make_unique<ChannelTableOps>(*view);
        ops->ResetHistory();
    }
    std::vector<std::string> Column(int col, int first, int last) const {
        std::vector<std::string> cells;
        for (int r = first; r <= last; ++r) cells.push_back(Cell(r, col));
        return cells;
    }
    std::vector<std::string> Rx(int first, int last) const {
        return Column(V::kColRx, first, last);
    }
    std::unique_ptr<ChannelTableOps> ops;
};

TEST_F(TableOps, InsertDeleteAndMoveShiftWholeRecords) {
    Rec(3).SetScrambler(1);  // a field the table has no column for moves with the record
    view->LoadFromImage();
    ops->ResetHistory();

    TableOpResult r = ops->Insert(3);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(Rx(2, 6),
              (std::vector<std::string>{"146.52000", "", "145.60000", "446.10000", "118.10000"}));
    EXPECT_EQ(Rec(4).Scrambler(), 1);
    EXPECT_EQ(Bytes(3)[3], 0xFF);  // the inserted channel is empty

    r = ops->Delete({3}, true);  // and gone again, the rest shifted up
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Rx(2, 5),
              (std::vector<std::string>{"146.52000", "145.60000", "446.10000", "118.10000"}));
    EXPECT_EQ(Rec(3).Scrambler(), 1);

    r = ops->Move(4, 5, 2);  // 446.1 and 118.1 before 146.52 and 145.6
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(Rx(2, 5),
              (std::vector<std::string>{"446.10000", "118.10000", "146.52000", "145.60000"}));
    r = ops->Move(2, 2, 5);  // one row down three places
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Rx(2, 5),
              (std::vector<std::string>{"118.10000", "146.52000", "145.60000", "446.10000"}));

    EXPECT_FALSE(ops->Move(2, 5, 798).ok);  // does not fit
    EXPECT_FALSE(ops->Insert(0).ok);
}

TEST_F(TableOps, DeleteClearsButKeepsChannelOne) {
    const TableOpResult r = ops->Delete({1, 2, 4}, false);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.reports.size(), 1u);
    EXPECT_NE(r.reports[0].find("channel 1 is kept"), std::string::npos);
    EXPECT_EQ(Rx(1, 4), (std::vector<std::string>{"134.00000", "", "145.60000", ""}));
    // The table's cleared record (offset 7.6 MHz whatever the band).
    EXPECT_EQ(GetFrequency(Bytes(2) + 0x10), 760'000u);
}

TEST_F(TableOps, TheLastChannelIsNotPushedOffWithoutAQuestion) {
    view->TypeIntoCell(800, V::kColRx, "145.0");
    ops->CommitCellEdits();
    EXPECT_TRUE(ops->LastInUse());
    const RadioImage before = image;
    TableOpResult r = ops->Insert(2);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("channel 800 is in use"), std::string::npos);
    EXPECT_TRUE(image == before);
    r = ops->Insert(2, true);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Cell(800, V::kColRx), "");
    EXPECT_EQ(Cell(3, V::kColRx), "146.52000");
}

TEST_F(TableOps, SortsARangeWithAPreviewOfTheOrder) {
    EXPECT_EQ(ops->SortPreview(SortKey::Rx, 2, 6), (std::vector<int>{5, 3, 2, 4, 6}));
    EXPECT_EQ(ops->SortPreview(SortKey::Name, 2, 6), (std::vector<int>{4, 2, 3, 5, 6}));
    TableOpResult r = ops->Sort(SortKey::Rx, 2, 6);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(Rx(2, 6),
              (std::vector<std::string>{"118.10000", "145.60000", "146.52000", "446.10000", ""}));
    EXPECT_EQ(Cell(3, V::kColName), "C");
    r = ops->Sort(SortKey::Name, 2, 5);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Column(V::kColName, 2, 5), (std::vector<std::string>{"A", "B", "C", ""}));

    // Over all channels, 118.1 MHz would become channel 1: refused, nothing changed.
    const RadioImage before = image;
    r = ops->Sort(SortKey::Rx, 1, 800);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("channel 1 would hold 118.10000 MHz"), std::string::npos) << r.error;
    EXPECT_TRUE(image == before);
    EXPECT_EQ(Cell(1, V::kColRx), "134.00000");
}

TEST_F(TableOps, FindsByFrequencyOrNameBothWays) {
    EXPECT_EQ(ops->Find("146.52", 1, true), 2);
    EXPECT_EQ(ops->Find("146.520", 2, true), 2);  // wraps round to itself
    EXPECT_EQ(ops->Find("b", 0, true), 2);
    EXPECT_EQ(ops->Find("134", 5, true), 1);     // wraps past 800
    EXPECT_EQ(ops->Find("446.1", 1, false), 4);  // backwards, wrapping below 1
    EXPECT_EQ(ops->Find("C", 4, false), 3);
    EXPECT_FALSE(ops->Find("999", 1, true));
    EXPECT_FALSE(ops->Find("  ", 1, true));
}

TEST_F(TableOps, CopyPasteGivesTheCopiedRecordButKeepsTheTargetsReservedBytes) {
    Rec(3).SetStep(9);
    Rec(3).SetPttId(2);
    std::uint8_t* target = image.data() + ChannelOffset(7);
    view->TypeIntoCell(7, V::kColRx, "145.0");
    view->StoreToImage();
    target[0x16] = 0x12, target[0x17] = 0x34, target[0x1E] = 0x56, target[0x1F] = 0x78;
    view->LoadFromImage();
    ops->ResetHistory();

    const ChannelClipboard clip = ops->Copy({3});
    EXPECT_EQ(clip.tsv.substr(0, clip.tsv.find('\n')),
              "CH\tRx Freq\tTx Freq\tDecode Type\tCTCSS\tDCS\tDCS Polarity\tPower\tScan\t"
              "Bandwidth\tSignaling\tName");
    EXPECT_NE(clip.tsv.find("\n3\t145.60000\t145.60000\tOff\t"), std::string::npos);
    EXPECT_EQ(clip.csv.substr(0, 9), "CH,Rx Fre");

    const TableOpResult r = ops->Paste(7, clip.tsv, &clip);
    ASSERT_TRUE(r.ok) << r.error;
    for (std::size_t i = 0; i < 32; ++i) {
        const bool reserved = i == 0x16 || i == 0x17 || i == 0x1E || i == 0x1F;
        if (!reserved) {
            EXPECT_EQ(target[i], Bytes(3)[i]) << i;
        }
    }
    EXPECT_EQ(target[0x16], 0x12);
    EXPECT_EQ(target[0x17], 0x34);
    EXPECT_EQ(target[0x1E], 0x56);
    EXPECT_EQ(target[0x1F], 0x78);
}

TEST_F(TableOps, PastedTextIsTypedCellByCellAndRefusalsAreReported) {
    // As a spreadsheet gives it: a header, any columns in any order.
    TableOpResult r = ops->Paste(10,
                                 "Name\tRx Freq\tScan\tCTCSS\r\n"
                                 "ab\t145.0125\tSkip\t88.5\r\n"
                                 "cd\t600\tAllow\t300\r\n"
                                 "\t\t\t\r\n");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(Cell(10, V::kColRx), "145.01250");
    EXPECT_EQ(Cell(10, V::kColName), "AB");
    EXPECT_EQ(Cell(10, V::kColScan), "Skip");
    EXPECT_EQ(Cell(10, V::kColCtcss), "88.5");
    EXPECT_EQ(Cell(11, V::kColRx), "26.00000");  // no band: the table's fallback, reported
    EXPECT_EQ(Cell(11, V::kColCtcss), "100.0");  // out of range: the table's default, reported
    ASSERT_EQ(r.reports.size(), 2u);
    EXPECT_EQ(r.reports[0], "channel 11: Rx Freq '600' became '26.00000'");
    EXPECT_EQ(r.reports[1], "channel 11: CTCSS '300' became '100.0'");

    // Our CSV without a header: the table's columns in order from Rx Freq; an empty Rx clears.
    r = ops->Paste(2, "147.5,147.5,Off,100.0,023,Positive,Low,Allow,Wide,Off,X\n,,,,,,,,,,\n");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(Cell(2, V::kColRx), "147.50000");
    EXPECT_EQ(Cell(2, V::kColPower), "Low");
    EXPECT_EQ(Cell(3, V::kColRx), "");
    EXPECT_TRUE(r.reports.empty()) << r.reports[0];

    EXPECT_FALSE(ops->Paste(2, "CH,Name\n1,\"open\n").ok);  // bad quoting: nothing pasted
    EXPECT_EQ(Cell(2, V::kColName), "X");
}

TEST_F(TableOps, UndoAndRedoEveryStepBackToTheLastReset) {
    const RadioImage start = image;
    ASSERT_TRUE(ops->Insert(2).ok);
    const RadioImage after_insert = image;
    view->TypeIntoCell(2, V::kColRx, "145.5");  // a cell edit is a step of its own
    ASSERT_TRUE(ops->Sort(SortKey::Rx, 2, 10).ok);
    const RadioImage after_sort = image;

    EXPECT_TRUE(ops->Undo());  // the sort
    EXPECT_EQ(Cell(2, V::kColRx), "145.50000");
    EXPECT_TRUE(ops->Undo());  // the cell edit
    EXPECT_TRUE(image == after_insert);
    EXPECT_EQ(Cell(2, V::kColRx), "");
    EXPECT_TRUE(ops->Undo());  // the insert
    EXPECT_TRUE(image == start);
    EXPECT_FALSE(ops->Undo());
    EXPECT_FALSE(ops->CanUndo());

    EXPECT_TRUE(ops->Redo());
    EXPECT_TRUE(ops->Redo());
    EXPECT_TRUE(ops->Redo());
    EXPECT_TRUE(image == after_sort);
    EXPECT_FALSE(ops->Redo());

    // A new step after an undo drops what could be redone.
    EXPECT_TRUE(ops->Undo());
    ASSERT_TRUE(ops->Delete({4}, false).ok);
    EXPECT_FALSE(ops->CanRedo());
    // A refused operation is no step.
    EXPECT_FALSE(ops->Sort(SortKey::Rx, 1, 800).ok);
    EXPECT_TRUE(ops->Undo());
    EXPECT_EQ(Cell(4, V::kColRx), "145.60000");
}

}  // namespace
}  // namespace vm
