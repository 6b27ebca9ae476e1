#include "app/editors/settings/freq_range_dlg.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/editors/framework/editor_fields.h"
#include "app/image/codecs.h"

namespace vm {
namespace {

using D = CFreqRangeDlg;

constexpr std::uint32_t MHz(double mhz) {
    return static_cast<std::uint32_t>(mhz * 100000 + 0.5);
}

class FreqRangeTest : public ::testing::Test {
protected:
    // The factory's bands: 30M, 50M, 108M, 150M, 450M, 850M at their full ranges.
    void SetUp() override {
        image_.fill(0x00);
        bands_ = BandTables::Initial();
        for (int n : {1, 2, 4, 5, 8, 9}) {
            const BandLimits l = FixedBandLimits(n);
            const auto lo = static_cast<std::uint32_t>(l.lower);
            const auto hi = static_cast<std::uint32_t>(l.upper);
            Band(n, lo, hi, IsReceiveOnlyBand(n) ? 0 : lo, IsReceiveOnlyBand(n) ? 0 : hi);
        }
    }
    // Band n's record: 0 is stored as absent (four 0x00 bytes).
    void Band(int n, std::uint32_t rl, std::uint32_t ru, std::uint32_t tl, std::uint32_t tu) {
        std::uint8_t* p = image_.data() + 0xFF30 + 16 * (n - 1);
        const std::uint32_t f[] = {rl, ru, tl, tu};
        for (int i = 0; i < 4; ++i) PutFrequency(p + 4 * i, f[i]);
    }
    std::vector<std::uint32_t> Stored(int n) const {
        const std::uint8_t* p = image_.data() + 0xFF30 + 16 * (n - 1);
        return {GetFrequency(p), GetFrequency(p + 4), GetFrequency(p + 8), GetFrequency(p + 12)};
    }
    void Open(bool unlocked = true) {
        unlocked_ = unlocked;
        dlg_ = std::make_unique<CFreqRangeDlg>(image_, bands_, &unlocked_);
        dlg_->message_hook = [this](const std::string& m, const std::string& detail) {
            messages_.push_back(m);
            details_.push_back(detail);
        };
        dlg_->OnInitialUpdate();
    }
    Form& form() { return dlg_->form(); }
    Grid& grid() { return dlg_->grid(); }
    std::vector<std::string> Row(int row) {
        return {grid().Text(row, 1), grid().Text(row, 2), grid().Text(row, 3), grid().Text(row, 4)};
    }
    // Clicks a cell; true when the cell editor opened on it.
    bool Click(int row, int col) {
        form().Focus(D::kIdGrid);
        grid().ClickCell(row, col);
        return dlg_->EditorOpen() && grid().Row() == row && grid().Col() == col;
    }
    // Clicks the cell, types over its text and leaves the editor for the grid.
    void TypeCell(int row, int col, std::string_view text) {
        form().Focus(D::kIdGrid);
        grid().ClickCell(row, col);
        ASSERT_TRUE(dlg_->EditorOpen()) << row << "/" << col;
        form().ReplaceText(D::kIdCellEdit, text);
        form().Focus(D::kIdGrid);
    }
    void Unlock(std::string_view code) {
        form().Press(form().Focused(), Key::F11);
        ASSERT_EQ(form().Focused(), D::kIdPassword);
        form().ReplaceText(D::kIdPassword, code);
        form().Press(D::kIdPassword, Key::Enter);
    }

    RadioImage image_{};
    BandTables bands_ = BandTables::Initial();
    bool unlocked_ = false;
    std::vector<std::string> messages_;
    std::vector<std::string> details_;
    std::unique_ptr<CFreqRangeDlg> dlg_;
};

TEST_F(FreqRangeTest, GridShowsTheBandsAndTheirLimits) {
    Open();
    EXPECT_EQ(grid().Rows(), 10);
    EXPECT_EQ(grid().Cols(), 5);
    EXPECT_EQ(grid().Text(0, 1), "Rx Lower");
    EXPECT_EQ(grid().Text(0, 4), "Tx Upper");
    EXPECT_EQ(grid().Text(4, 0), "108M");
    EXPECT_EQ(grid().Text(9, 0), "850M");
    EXPECT_EQ(grid().ColWidth(0), 800);  // wide enough for "850M"
    EXPECT_EQ(grid().ColWidth(3), 1500);
    EXPECT_EQ(grid().RowHeight(5), 300);
    EXPECT_EQ(Row(5),
              (std::vector<std::string>{"134.00000", "180.00000", "134.00000", "180.00000"}));
    EXPECT_EQ(Row(3), (std::vector<std::string>{"", "", "", ""}));
    EXPECT_EQ(Row(4), (std::vector<std::string>{"108.00000", "133.99500", "", ""}));
    EXPECT_TRUE(DuplicateFieldNames(*dlg_).empty());
    EXPECT_TRUE(FindEditorField(*dlg_, "150M/Rx Lower").has_value());
}

TEST_F(FreqRangeTest, LockedUntilTheAccessCodeWithItsCase) {
    Open(false);
    EXPECT_FALSE(form().At(D::kIdGrid).enabled);
    EXPECT_FALSE(form().At(D::kIdPassword).visible);
    EXPECT_FALSE(Click(5, 1));
    const auto field = FindEditorField(*dlg_, "150M/Rx Lower");
    ASSERT_TRUE(field);
    EXPECT_TRUE(SetEditorField(*dlg_, *field, "150").has_value());
    EXPECT_EQ(grid().Text(5, 1), "134.00000");

    for (const char* wrong : {"5207qrm", "5207QR", "5207QRMX", "", " 5207QRM"}) {
        messages_.clear();
        Unlock(wrong);
        EXPECT_EQ(messages_, std::vector<std::string>{"Password error!"}) << wrong;
        EXPECT_FALSE(form().At(D::kIdGrid).enabled) << wrong;
        EXPECT_TRUE(form().At(D::kIdPassword).visible) << wrong;
        EXPECT_EQ(form().Focused(), D::kIdPassword) << wrong;
        EXPECT_FALSE(unlocked_);
    }
    EXPECT_TRUE(form().At(D::kIdPassword).masked);
    // The Edit button does what Enter does.
    form().ReplaceText(D::kIdPassword, "5207QRM");
    messages_.clear();
    form().Click(D::kIdEdit);
    EXPECT_TRUE(messages_.empty());
    EXPECT_TRUE(unlocked_);
    EXPECT_TRUE(form().At(D::kIdGrid).enabled);
    EXPECT_FALSE(form().At(D::kIdPassword).visible);
    EXPECT_FALSE(form().At(D::kIdEdit).visible);
    EXPECT_TRUE(Click(5, 1));
    EXPECT_TRUE(dlg_->RequestClose());

    // The lock stays open for the rest of the run: the next opening is editable at once.
    dlg_ = std::make_unique<CFreqRangeDlg>(image_, bands_, &unlocked_);
    dlg_->OnInitialUpdate();
    EXPECT_TRUE(form().At(D::kIdGrid).enabled);
    // A dialog without the program's flag starts locked.
    dlg_ = std::make_unique<CFreqRangeDlg>(image_, bands_);
    dlg_->OnInitialUpdate();
    EXPECT_FALSE(form().At(D::kIdGrid).enabled);
    EXPECT_EQ(EnterAccessCode(*dlg_, "5207QRM"), std::nullopt);
    EXPECT_TRUE(form().At(D::kIdGrid).enabled);
}

TEST_F(FreqRangeTest, CellRules) {
    struct Case {
        const char* what;
        int row, col;
        const char* typed;
        std::vector<std::string> row_after;  // Rx Lower, Rx Upper, Tx Lower, Tx Upper
    };
    const std::string e;
    const Case cases[] = {
        {"empty pair gets the full range", 3, 1, "70", {"66.00000", "88.00000", e, e}},
        {"lowered to 5 kHz", 5, 1, "150.003", {"150.00000", "180.00000", "134.00000", "180.00000"}},
        {"6.25 kHz raster kept",
         5,
         1,
         "150.00625",
         {"150.00625", "180.00000", "134.00000", "180.00000"}},
        {"lowered to 6.25 kHz",
         5,
         1,
         "150.0065",
         {"150.00625", "180.00000", "134.00000", "180.00000"}},
        {"lower not below upper",
         5,
         1,
         "180",
         {"134.00000", "180.00000", "134.00000", "180.00000"}},
        {"lower below the band", 5, 1, "100", {"134.00000", "180.00000", "134.00000", "180.00000"}},
        {"nine nines do not overflow",
         5,
         1,
         "999999999",
         {"134.00000", "180.00000", "134.00000", "180.00000"}},
        {"upper snapped", 5, 2, "170.0123", {"134.00000", "170.01000", "134.00000", "180.00000"}},
        {"upper above the band", 5, 2, "190", {"134.00000", "180.00000", "134.00000", "180.00000"}},
        {"upper not above lower",
         5,
         2,
         "120",
         {"134.00000", "180.00000", "134.00000", "180.00000"}},
        {"upper at the band's lower limit",
         1,
         2,
         "26",
         {"26.00000", "33.00000", "26.00000", "33.00000"}},
        {"tx lower", 5, 3, "144", {"134.00000", "180.00000", "144.00000", "180.00000"}},
        {"tx upper", 5, 4, "148", {"134.00000", "180.00000", "134.00000", "148.00000"}},
        {"empty tx clears both", 5, 4, "", {"134.00000", "180.00000", e, e}},
        {"empty rx clears the row", 2, 2, "", {e, e, e, e}},
        {"empty 450M rx with 150M present", 8, 1, "", {e, e, e, e}},
    };
    for (const Case& c : cases) {
        SetUp();
        Open();
        TypeCell(c.row, c.col, c.typed);
        EXPECT_FALSE(dlg_->EditorOpen()) << c.what;
        EXPECT_EQ(Row(c.row), c.row_after) << c.what;
    }
}

TEST_F(FreqRangeTest, WhereTheCellEditorOpens) {
    Open();
    // Receive-only bands have no transmit cells.
    for (int row : {4, 9})
        for (int col : {3, 4}) EXPECT_FALSE(Click(row, col)) << row << "/" << col;
    EXPECT_FALSE(Click(0, 1));
    EXPECT_FALSE(Click(5, 0));
    // A band without limits is started from its Rx Lower.
    form().Focus(D::kIdGrid);
    grid().ClickCell(3, 4);
    ASSERT_TRUE(dlg_->EditorOpen());
    EXPECT_EQ(grid().Col(), 1);
    EXPECT_EQ(form().Focused(), D::kIdCellEdit);
    EXPECT_TRUE(form().At(D::kIdCellEdit).all_selected);
    // Only digits and the point can be typed.
    form().Type(D::kIdCellEdit, '\b');
    form().TypeText(D::kIdCellEdit, "7a0-.5x");
    EXPECT_EQ(form().Text(D::kIdCellEdit), "70.5");
    form().Focus(D::kIdGrid);
    EXPECT_EQ(grid().Text(3, 1), "66.00000");
}

TEST_F(FreqRangeTest, EmptyingTheLastBankBBandChangesNothing) {
    // 450M alone holds bank B's range: its Rx cannot be emptied, nor 150M's or 250M's alone.
    Band(5, 0, 0, 0, 0);
    Open();
    TypeCell(8, 1, "");
    EXPECT_EQ(grid().Text(8, 1), "400.00000");
    EXPECT_EQ(grid().Text(8, 3), "400.00000");
    // Once 250M is there, 450M can go (and then 250M is the last).
    TypeCell(6, 1, "230");
    TypeCell(8, 2, "");
    EXPECT_EQ(Row(8), (std::vector<std::string>{"", "", "", ""}));
    TypeCell(6, 1, "");
    EXPECT_EQ(grid().Text(6, 1), "220.00000");
}

TEST_F(FreqRangeTest, EnterAndArrowsMoveThroughTheCells) {
    Open();
    form().Focus(D::kIdGrid);
    grid().ClickCell(5, 1);
    form().Press(D::kIdCellEdit, Key::Enter);
    EXPECT_FALSE(dlg_->EditorOpen());
    EXPECT_EQ(form().Focused(), D::kIdGrid);
    EXPECT_EQ(std::pair(grid().Row(), grid().Col()), std::pair(5, 2));
    grid().KeyDown(Key::Enter);  // Enter on the grid opens the current cell
    ASSERT_TRUE(dlg_->EditorOpen());
    EXPECT_EQ(grid().Col(), 2);
    form().Press(D::kIdCellEdit, Key::Enter);
    EXPECT_EQ(std::pair(grid().Row(), grid().Col()), std::pair(6, 1));

    struct Move {
        int row, col;
        Key key;
        int to_row, to_col;
    };
    const Move moves[] = {
        {5, 4, Key::Right, 6, 1}, {5, 1, Key::Left, 4, 4},  {1, 1, Key::Left, 1, 1},
        {9, 4, Key::Right, 9, 4}, {5, 2, Key::Right, 5, 3}, {5, 3, Key::Left, 5, 2},
    };
    for (const Move& m : moves) {
        grid().SetRow(m.row);
        grid().SetCol(m.col);
        grid().KeyDown(m.key);
        EXPECT_EQ(std::pair(grid().Row(), grid().Col()), std::pair(m.to_row, m.to_col))
            << m.row << "/" << m.col;
    }
}

TEST_F(FreqRangeTest, LoadNormalisesEveryBandWithLimits) {
    Band(5, MHz(190), MHz(200), MHz(100), MHz(185));  // lower past the band, upper above it
    Band(2, MHz(50), MHz(48), MHz(49), MHz(53));      // inverted: the lower goes to 47
    Band(4, MHz(110), MHz(120), MHz(110), MHz(120));  // receive-only: no Tx shown
    Band(8, MHz(420), MHz(400), MHz(430), 0);         // upper at the band's lower limit
    Band(1, MHz(27), MHz(33), MHz(26), MHz(33));      // Tx below Rx
    Open(false);
    EXPECT_EQ(Row(5),
              (std::vector<std::string>{"134.00000", "180.00000", "134.00000", "180.00000"}));
    EXPECT_EQ(Row(2), (std::vector<std::string>{"47.00000", "48.00000", "47.00000", "48.00000"}));
    EXPECT_EQ(Row(4), (std::vector<std::string>{"110.00000", "120.00000", "", ""}));
    // Lower not below upper: the lower goes first, then the upper at the limit follows.
    EXPECT_EQ(Row(8), (std::vector<std::string>{"400.00000", "512.00000", "430.00000", ""}));
    EXPECT_EQ(Row(1), (std::vector<std::string>{"27.00000", "33.00000", "27.00000", "33.00000"}));
    // Stored as shown, and the receive-only bands' Tx as 0.
    EXPECT_TRUE(dlg_->RequestClose());
    EXPECT_EQ(Stored(5), (std::vector<std::uint32_t>{MHz(134), MHz(180), MHz(134), MHz(180)}));
    EXPECT_EQ(Stored(4), (std::vector<std::uint32_t>{MHz(110), MHz(120), 0, 0}));
    EXPECT_EQ(Stored(8), (std::vector<std::uint32_t>{MHz(400), MHz(512), MHz(430), 0}));
    EXPECT_EQ(image_[0xFF30 + 16 * 3 + 8], 0x00);
    EXPECT_EQ(image_[0xFF30 + 16 * 3 + 15], 0x00);
}

TEST_F(FreqRangeTest, CloseIsRefusedWhileTheBandSetIsInvalid) {
    struct Case {
        const char* what;
        std::vector<std::pair<int, std::string>> edits;  // Rx Lower typed per band
        bool valid;
        const char* detail = "";  // what the box's informative text names
    };
    const Case cases[] = {
        {"50M and 60M", {{3, "70"}}, false, "The bands \"50M\" and \"60M\" cannot both be set"},
        {"250M and 450M", {{6, "230"}}, false, "The bands \"250M\" and \"450M\""},
        {"none of 150M, 250M, 450M", {{6, "230"}, {5, ""}, {8, ""}, {6, ""}}, true},
        {"150M alone", {{8, ""}}, true},
        {"250M instead of 450M", {{8, ""}, {6, "230"}}, true},
        {"60M instead of 50M", {{2, ""}, {3, "70"}}, true},
    };
    for (const Case& c : cases) {
        SetUp();
        Open();
        const RadioImage before = image_;
        for (const auto& [row, text] : c.edits) TypeCell(row, 1, text);
        messages_.clear();
        details_.clear();
        const bool closed = dlg_->RequestClose();
        EXPECT_EQ(closed, c.valid) << c.what;
        if (c.valid) {
            EXPECT_TRUE(messages_.empty()) << c.what;
            continue;
        }
        EXPECT_EQ(messages_, std::vector<std::string>{"Frequency band is invalid!"}) << c.what;
        ASSERT_EQ(details_.size(), 1u);
        EXPECT_NE(details_[0].find(c.detail), std::string::npos) << c.what << ": " << details_[0];
        EXPECT_FALSE(dlg_->destroyed());
        // A store from any other path writes nothing of an invalid set either.
        dlg_->StoreToImage();
        EXPECT_TRUE(image_ == before) << c.what;
    }
}

TEST_F(FreqRangeTest, CloseCommitsTheOpenCellFirst) {
    Open();
    form().Focus(D::kIdGrid);
    grid().ClickCell(3, 1);
    form().ReplaceText(D::kIdCellEdit, "70");  // 50M and 60M: invalid once committed
    EXPECT_FALSE(dlg_->RequestClose());
    EXPECT_EQ(grid().Text(3, 1), "66.00000");
}

TEST_F(FreqRangeTest, LockedDialogClosesOverAnInvalidSetAndStoresNothing) {
    Band(5, 0, 0, 0, 0);
    Band(8, 0, 0, 0, 0);
    const RadioImage before = image_;
    Open(false);
    EXPECT_TRUE(dlg_->RequestClose());
    EXPECT_TRUE(image_ == before);
}

TEST_F(FreqRangeTest, StoreRefreshesTheBandTables) {
    Open();
    TypeCell(5, 1, "150.003");
    TypeCell(5, 2, "170");
    TypeCell(8, 1, "");  // 450M goes: bank B's high range has no band now
    TypeCell(1, 1, "");
    ASSERT_TRUE(dlg_->RequestClose());
    EXPECT_EQ(Stored(5), (std::vector<std::uint32_t>{MHz(150), MHz(170), MHz(150), MHz(170)}));
    EXPECT_EQ(Stored(8), (std::vector<std::uint32_t>{0, 0, 0, 0}));
    EXPECT_EQ(Stored(1), (std::vector<std::uint32_t>{0, 0, 0, 0}));
    // 150.00000 MHz is 00 00 00 15, lowest pair first.
    EXPECT_EQ(std::vector<std::uint8_t>(image_.begin() + 0xFF70, image_.begin() + 0xFF74),
              (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x15}));
    EXPECT_EQ(bands_.RxLower[5], static_cast<std::int32_t>(MHz(150)));
    EXPECT_EQ(bands_.RxUpper[5], static_cast<std::int32_t>(MHz(170)));
    EXPECT_EQ(bands_.RxLower[8], 0);
    EXPECT_EQ(bands_.BandEnabled[1], 0);
    EXPECT_EQ(bands_.BandEnabled[5], 1);
    EXPECT_EQ(bands_.BandEnabled[8], 0);
    EXPECT_EQ(bands_.BandEnabled[10], 1);
    EXPECT_EQ(bands_.BandEnabled[11], 0);
    EXPECT_EQ(bands_.LowRangeLower, static_cast<std::int32_t>(MHz(150)));
    EXPECT_EQ(bands_.LowRangeUpper, static_cast<std::int32_t>(MHz(170)));
    // The high range from an absent band keeps what it was.
    EXPECT_EQ(bands_.HighRangeLower, static_cast<std::int32_t>(MHz(400)));
    EXPECT_EQ(bands_.HighRangeUpper, static_cast<std::int32_t>(MHz(512)));
}

}  // namespace
}  // namespace vm
