#include "app/editors/settings/dtmf_view.h"
#include "tests/support/form_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace vm {
namespace {

using vm::testing::TypeInto;

using C = CDtmfCodePage;

class DtmfViewTest : public ::testing::Test {
protected:
    // The radio's memory starts erased.
    void SetUp() override { image_.fill(0xFF); }
    void Open() {
        view_ = std::make_unique<CDtmfView>(image_);
        view_->OnInitialUpdate();
    }
    CDtmfCodePage& code() { return static_cast<CDtmfCodePage&>(view_->Page(0)); }
    Form& page() { return view_->Page(0).form(); }
    Form& pttid() { return view_->Page(1).form(); }
    Grid& grid() { return code().grid(); }

    // Clicks a cell of the code grid; returns the cell editor that opened (0: none).
    int Click(int row, int col) {
        grid().ClickCell(row, col);
        return code().OpenEditor();
    }
    void ChooseType(int row, std::string_view type) {
        ASSERT_EQ(Click(row, C::kColType), C::kIdTypeList);
        const auto& e = page().At(C::kIdTypeList).entries;
        page().Choose(C::kIdTypeList,
                      static_cast<int>(std::find(e.begin(), e.end(), type) - e.begin()));
        page().Focus(0);
    }
    void TypeCell(int row, int col, std::string_view text) {
        const int id = Click(row, col);
        ASSERT_NE(id, 0);
        page().Type(id, '\b');
        page().TypeText(id, text);
        page().Focus(0);
    }
    std::vector<std::uint8_t> Bytes(std::uint32_t addr, std::size_t n) const {
        return {image_.begin() + addr, image_.begin() + addr + n};
    }
    // A code memory as the radio stores it.
    void PutMemory(int m, int type, std::vector<std::uint8_t> digits, std::string_view alias) {
        std::uint8_t* p = image_.data() + 0xD760 + 24 * (m - 1);
        std::fill(p, p + 24, 0xFF);
        std::copy(digits.begin(), digits.end(), p);
        std::copy(alias.begin(), alias.end(), p + 16);
        p[23] = static_cast<std::uint8_t>(type);
    }

    RadioImage image_{};
    std::unique_ptr<CDtmfView> view_;
};

std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> v, std::size_t n) {
    v.resize(n, 0xFF);
    return v;
}

TEST_F(DtmfViewTest, BlankImageShowsTheFallbacksAndStoresTheDefaults) {
    image_.fill(0xFF);
    Open();
    EXPECT_EQ(page().Text(C::kIdSelfId), "");
    EXPECT_EQ(page().Text(C::kIdStunCode), "");
    EXPECT_EQ(page().SelectedText(C::kIdDecodeResponse), "Reply");
    EXPECT_EQ(page().SelectedText(C::kIdSpeed), "50");
    EXPECT_EQ(page().SelectedText(C::kIdFirstDigitDelay), "450");
    EXPECT_EQ(page().SelectedText(C::kIdFirstDigit), "100");
    EXPECT_EQ(page().SelectedText(C::kIdStunType), "Tx Inhibit");
    EXPECT_EQ(page().Selection(C::kIdHoldTime), -1);
    // A code with no character selects no Group code and no Delimiter (not "A" for both).
    EXPECT_EQ(page().Selection(C::kIdGroupCode), -1);
    EXPECT_EQ(page().Selection(C::kIdDelimiter), -1);
    EXPECT_FALSE(page().Checked(C::kIdBeep));  // side tone on excludes it
    EXPECT_TRUE(page().Checked(C::kIdSideTone));
    for (int r = 1; r <= 16; ++r)
        for (int c = C::kColType; c <= C::kColAlias; ++c) EXPECT_EQ(grid().Text(r, c), "");
    view_->ChooseTab(1);
    for (const auto& g : CDtmfPttIdPage::kGroups) EXPECT_EQ(pttid().SelectedText(g.type), "Up");
    view_->ChooseTab(0);

    view_->StoreToImage();
    EXPECT_EQ(Bytes(0xD6B0, 8), (std::vector<std::uint8_t>{50, 9, 2, 0, 0x0E, 0x0D, 0x00, 0xFD}));
    EXPECT_EQ(image_[0xD6D8], 2);
    EXPECT_EQ(image_[0xD6DA], 0);
    EXPECT_EQ(image_[0xD6DB], 255);
    EXPECT_EQ(Bytes(0xD6B8, 8), Padded({}, 8));
    EXPECT_EQ(Bytes(0xD760, 384), Padded({}, 384));
}

TEST_F(DtmfViewTest, TimingListsConvertBothWays) {
    struct Case {
        int id;
        std::uint32_t addr;
        const char* text;
        std::uint8_t stored;
    };
    const Case cases[] = {
        {C::kIdSpeed, 0xD6B0, "75", 75},
        {C::kIdSpeed, 0xD6B0, "100", 100},
        {C::kIdFirstDigitDelay, 0xD6B1, "750", 15},
        {C::kIdFirstDigitDelay, 0xD6B1, "50", 1},
        {C::kIdFirstDigit, 0xD6B2, "1000", 20},
        {C::kIdFirstDigit, 0xD6B2, "0", 0},
        {C::kIdHoldTime, 0xD6B3, "10", 10},
        {C::kIdHoldTime, 0xD6B3, "1", 1},
    };
    Open();
    for (const Case& c : cases) {
        page().TypeText(c.id, c.text);
        ASSERT_EQ(page().SelectedText(c.id), c.text);
        view_->StoreToImage();
        EXPECT_EQ(image_[c.addr], c.stored) << c.text;
        image_[c.addr] = 0xEE;
        view_->LoadFromImage();
        image_[c.addr] = c.stored;
        view_->LoadFromImage();
        EXPECT_EQ(page().SelectedText(c.id), c.text) << +c.stored;
    }
    // Whole numbers only: a stored 1 ms speed or 10 s is no "100" or "10"-prefixed entry.
    image_[0xD6B0] = 1;
    image_[0xD6B3] = 11;
    view_->LoadFromImage();
    EXPECT_EQ(page().SelectedText(C::kIdSpeed), "50");
    EXPECT_EQ(page().Selection(C::kIdHoldTime), -1);
}

TEST_F(DtmfViewTest, CodesWithStarAndHashAreStoredAsDigitCodes) {
    Open();
    TypeInto(page(), C::kIdStunCode, "123*#");
    TypeInto(page(), C::kIdSelfId, "9a0b");  // letters in upper case
    view_->StoreToImage();
    EXPECT_EQ(Bytes(0xD6C8, 16), Padded({1, 2, 3, 0x0E, 0x0F}, 16));
    EXPECT_EQ(Bytes(0xD6B8, 8), Padded({9, 0x0A, 0, 0x0B}, 8));
    // Only DTMF characters can be typed; the stun code takes 15 and its 16th byte stays 0xFF.
    TypeInto(page(), C::kIdStunCode, "0123456789ABCD*#EFxyz");
    EXPECT_EQ(page().Text(C::kIdStunCode), "0123456789ABCD*");
    view_->StoreToImage();
    EXPECT_EQ(Bytes(0xD6C8, 16),
              (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF}));
    image_[0xD6C8 + 3] = 0x10;  // the string ends at the first code of 16 or more
    view_->LoadFromImage();
    EXPECT_EQ(page().Text(C::kIdStunCode), "012");
}

TEST_F(DtmfViewTest, GroupCodeAndDelimiterNeverEqual) {
    struct Case {
        const char *group, *delimiter;  // before
        int changed;                    // the list the user changes
        const char* choice;
        const char *group_after, *delimiter_after;
    };
    const Case cases[] = {
        {"A", "*", C::kIdGroupCode, "*", "*", "A"}, {"A", "B", C::kIdGroupCode, "B", "B", "*"},
        {"D", "A", C::kIdDelimiter, "D", "A", "D"}, {"A", "B", C::kIdDelimiter, "A", "D", "A"},
        {"C", "B", C::kIdDelimiter, "#", "C", "#"},  // not equal: nothing moves
    };
    Open();
    for (const Case& c : cases) {
        page().TypeText(C::kIdGroupCode, c.group);
        page().TypeText(C::kIdDelimiter, c.delimiter);
        ASSERT_EQ(page().SelectedText(C::kIdGroupCode), c.group);
        ASSERT_EQ(page().SelectedText(C::kIdDelimiter), c.delimiter);
        page().TypeText(c.changed, c.choice);
        EXPECT_EQ(page().SelectedText(C::kIdGroupCode), c.group_after) << c.choice;
        EXPECT_EQ(page().SelectedText(C::kIdDelimiter), c.delimiter_after) << c.choice;
    }
}

TEST_F(DtmfViewTest, EqualOrMissingCodesFromTheImageAreSeparated) {
    struct Case {
        std::uint8_t group, delimiter;
        std::uint8_t group_stored, delimiter_stored;
    };
    const Case cases[] = {
        {0xFF, 0xFF, 0x0E, 0x0D},  // none: "*" and "D"
        {0x0B, 0x0B, 0x0B, 0x0E},  // both "B": the Delimiter gives way to "*"
        {0xFF, 0x0E, 0x0E, 0x0A},  // none ("*") and "*": the Delimiter becomes "A"
        {0x0D, 0xFF, 0x0D, 0x0E},  // "D" and none ("D")
        {0x05, 0x0C, 0x0E, 0x0C},  // a digit is no code character
    };
    Open();
    for (const Case& c : cases) {
        image_[0xD6B4] = c.group;
        image_[0xD6B5] = c.delimiter;
        view_->LoadFromImage();
        view_->StoreToImage();
        EXPECT_EQ(image_[0xD6B4], c.group_stored) << +c.group << " " << +c.delimiter;
        EXPECT_EQ(image_[0xD6B5], c.delimiter_stored) << +c.group << " " << +c.delimiter;
    }
}

TEST_F(DtmfViewTest, ChangingTheCodesStripsSelfIdAndAniNumbers) {
    image_[0xD6B4] = 0x0A;               // Group code "A"
    image_[0xD6B5] = 0x0F;               // Delimiter "#"
    PutMemory(3, 1, {1, 0x0E, 2}, "X");  // ANI 1*2
    PutMemory(4, 1, {0x0E}, "Y");        // ANI *
    PutMemory(5, 0, {1, 0x0E, 2}, "Z");  // None 1*2: no ANI, kept
    Open();
    TypeInto(page(), C::kIdSelfId, "1*2");
    page().TypeText(C::kIdDelimiter, "*");
    EXPECT_EQ(page().Text(C::kIdSelfId), "12");
    EXPECT_EQ(grid().Text(3, C::kColNum), "12");
    EXPECT_EQ(grid().Text(4, C::kColNum), "000004");
    EXPECT_EQ(grid().Text(5, C::kColNum), "1*2");
    // The Self ID takes neither the Group code nor the Delimiter.
    page().Focus(C::kIdSelfId);
    EXPECT_FALSE(page().Type(C::kIdSelfId, '*'));
    EXPECT_FALSE(page().Type(C::kIdSelfId, 'a'));
    EXPECT_TRUE(page().Type(C::kIdSelfId, '#'));
}

TEST_F(DtmfViewTest, ChoosingATypeFillsTheRow) {
    Open();
    ChooseType(5, "ANI");
    EXPECT_EQ(grid().Text(5, C::kColType), "ANI");
    EXPECT_EQ(grid().Text(5, C::kColNum), "000005");
    EXPECT_EQ(grid().Text(5, C::kColAlias), "DTMF05");
    ChooseType(12, "None");
    EXPECT_EQ(grid().Text(12, C::kColNum), "000012");
    EXPECT_EQ(grid().Text(12, C::kColAlias), "DTMF12");
    TypeCell(12, C::kColAlias, "ab-1");
    view_->StoreToImage();
    EXPECT_EQ(Bytes(0xD760 + 24 * 4, 24),
              (std::vector<std::uint8_t>{0,    0,    0,    0,    0,    5,    0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                         'D',  'T',  'M',  'F',  '0',  '5',  0xFF, 1}));
    EXPECT_EQ(Bytes(0xD760 + 24 * 11 + 16, 8),
              (std::vector<std::uint8_t>{'a', 'b', '-', '1', 0xFF, 0xFF, 0xFF, 0}));
    // An empty row always starts from its type, whatever cell was clicked.
    EXPECT_EQ(Click(7, C::kColAlias), C::kIdTypeList);
    EXPECT_EQ(grid().Col(), C::kColType);
    EXPECT_EQ(page().At(C::kIdTypeList).rect, grid().CellEditorRect());
    EXPECT_EQ(page().At(C::kIdTypeList).anchor, C::kIdGrid);
}

TEST_F(DtmfViewTest, EnterInACellEditorCommitsItAndGivesTheGridTheFocus) {
    Open();
    ChooseType(4, "None");
    // The alias edit: typed, then Enter.
    const int alias = Click(4, C::kColAlias);
    ASSERT_EQ(alias, C::kIdAliasEdit);
    page().ReplaceText(alias, "ENTER1");
    EXPECT_TRUE(page().Press(alias, Key::Enter));  // swallowed: no default button
    EXPECT_EQ(code().OpenEditor(), 0);
    EXPECT_EQ(page().Focused(), C::kIdGrid);
    EXPECT_EQ(grid().Text(4, C::kColAlias), "ENTER1");
    // The Type list: a choice, then Enter.
    ASSERT_EQ(Click(4, C::kColType), C::kIdTypeList);
    const auto& e = page().At(C::kIdTypeList).entries;
    page().Choose(C::kIdTypeList,
                  static_cast<int>(std::find(e.begin(), e.end(), "ANI") - e.begin()));
    page().Press(C::kIdTypeList, Key::Enter);
    EXPECT_EQ(code().OpenEditor(), 0);
    EXPECT_EQ(grid().Text(4, C::kColType), "ANI");
}

TEST_F(DtmfViewTest, AniTypeStripsTheCurrentCodesNotTheStoredOnes) {
    image_[0xD6B4] = 0x0E;  // Group code "*"
    image_[0xD6B5] = 0x0D;  // Delimiter "D"
    Open();
    ChooseType(2, "None");
    TypeCell(2, C::kColNum, "1#2D3*");
    ChooseType(3, "None");
    TypeCell(3, C::kColNum, "#");
    page().TypeText(C::kIdDelimiter, "#");  // shown, not stored yet
    ChooseType(2, "ANI");
    EXPECT_EQ(grid().Text(2, C::kColNum), "12D3");
    ChooseType(3, "ANI");
    EXPECT_EQ(grid().Text(3, C::kColNum), "000003");  // stripped to nothing
    // The ANI number no longer takes the Delimiter; a "None" row does.
    EXPECT_EQ(Click(2, C::kColNum), C::kIdNumEdit);
    EXPECT_FALSE(page().Type(C::kIdNumEdit, '#'));
    EXPECT_TRUE(page().Type(C::kIdNumEdit, '*'));
    page().Focus(0);
    ChooseType(4, "None");
    ASSERT_EQ(Click(4, C::kColNum), C::kIdNumEdit);
    EXPECT_TRUE(page().Type(C::kIdNumEdit, '#'));
    page().Focus(0);
}

TEST_F(DtmfViewTest, ClearingRowsExceptTheFirst) {
    PutMemory(1, 0, {1}, "ONE");
    PutMemory(2, 1, {2}, "TWO");
    PutMemory(3, 0, {3}, "THREE");
    Open();
    ChooseType(1, "");
    EXPECT_EQ(grid().Text(1, C::kColType), "None");  // row 1 cannot be cleared
    TypeCell(1, C::kColNum, "");
    EXPECT_EQ(grid().Text(1, C::kColNum), "1");
    ChooseType(2, "");
    EXPECT_EQ(grid().Text(2, C::kColNum), "");
    TypeCell(3, C::kColNum, "");
    EXPECT_EQ(grid().Text(3, C::kColType), "");
    TypeCell(1, C::kColAlias, "");  // an empty alias leaves the cell alone
    EXPECT_EQ(grid().Text(1, C::kColAlias), "ONE");
    view_->StoreToImage();
    EXPECT_EQ(Bytes(0xD760 + 24, 48), Padded({}, 48));
    EXPECT_EQ(image_[0xD760 + 23], 0);
}

TEST_F(DtmfViewTest, MemoriesInUseFollowTheSharedRule) {
    PutMemory(1, 0, {0, 1}, "ZERO");                  // first digit "0" is a digit
    PutMemory(2, 2, {1}, "BAD");                      // no such type
    PutMemory(3, 1, {}, "NONUM");                     // no number
    PutMemory(4, 1, {4}, std::string("AB\x01Z", 4));  // the alias ends at a control byte
    Open();
    EXPECT_EQ(grid().Text(1, C::kColNum), "01");
    EXPECT_EQ(grid().Text(1, C::kColAlias), "ZERO");
    EXPECT_EQ(grid().Text(2, C::kColType), "");
    EXPECT_EQ(grid().Text(3, C::kColType), "");
    EXPECT_EQ(grid().Text(4, C::kColType), "ANI");
    EXPECT_EQ(grid().Text(4, C::kColAlias), "AB");
    view_->StoreToImage();
    EXPECT_EQ(Bytes(0xD760 + 24, 48), Padded({}, 48));  // rows 2 and 3 were empty
}

TEST_F(DtmfViewTest, AutoResetTimeIsCheckedWhenLeftAndWhenStored) {
    Open();
    const std::pair<const char*, const char*> typed[] = {
        {"300", "10"}, {"0", "Continuous"}, {"", "10"}, {"255", "255"}, {"007", "7"}};
    for (auto [text, shown] : typed) {
        TypeInto(page(), C::kIdAutoReset, text);
        EXPECT_EQ(page().Text(C::kIdAutoReset), shown) << text;
    }
    page().SetText(C::kIdAutoReset, "255");
    page().Spin(C::kIdAutoResetSpin, 1);
    EXPECT_EQ(page().Text(C::kIdAutoReset), "Off");
    page().Spin(C::kIdAutoResetSpin, -1);
    EXPECT_EQ(page().Text(C::kIdAutoReset), "255");
    page().SetText(C::kIdAutoReset, "Off");
    view_->StoreToImage();
    EXPECT_EQ(image_[0xD6DB], 0);
    // Typed and stored by the frame while the edit still has the focus.
    page().Focus(C::kIdAutoReset);
    page().SelectAll(C::kIdAutoReset);
    page().TypeText(C::kIdAutoReset, "999");
    view_->StoreToImage();
    EXPECT_EQ(image_[0xD6DB], 10);
    EXPECT_FALSE(page().Type(C::kIdAutoReset, 'x'));
}

TEST_F(DtmfViewTest, SideToneAndBeepExcludeEachOther) {
    image_[0xD6B7] = 0xF2;  // beep on, other bits set
    Open();
    EXPECT_TRUE(page().Checked(C::kIdBeep));
    page().Click(C::kIdSideTone);
    EXPECT_TRUE(page().Checked(C::kIdSideTone));
    EXPECT_FALSE(page().Checked(C::kIdBeep));
    view_->StoreToImage();
    EXPECT_EQ(image_[0xD6B7], 0xF1);
    page().Click(C::kIdBeep);
    EXPECT_FALSE(page().Checked(C::kIdSideTone));
    view_->StoreToImage();
    EXPECT_EQ(image_[0xD6B7], 0xF2);
}

TEST_F(DtmfViewTest, PttIdPairsAndTypes) {
    image_[0xD6B6] = 0xFF;  // type 3 everywhere: no such entry
    Open();
    view_->ChooseTab(1);
    const auto& g = CDtmfPttIdPage::kGroups;
    for (const auto& group : g) EXPECT_EQ(pttid().SelectedText(group.type), "Up");
    pttid().TypeText(g[0].type, "Both");
    pttid().TypeText(g[2].type, "Down");
    TypeInto(pttid(), g[0].up, "12*#");
    TypeInto(pttid(), g[3].down, "abcd0123456789*#99");  // 16 at most
    TypeInto(pttid(), g[1].up, "1e2");                   // E is no DTMF character
    view_->StoreToImage();
    EXPECT_EQ(image_[0xD6B6], 0b00'01'00'10);
    EXPECT_EQ(Bytes(0xD6E0, 16), Padded({1, 2, 0x0E, 0x0F}, 16));
    EXPECT_EQ(Bytes(0xD6E0 + 32, 16), Padded({1, 2}, 16));
    EXPECT_EQ(Bytes(0xD6E0 + 3 * 32 + 16, 16),
              (std::vector<std::uint8_t>{10, 11, 12, 13, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 14, 15}));
    EXPECT_EQ(Bytes(0xD6E0 + 16, 16), Padded({}, 16));
    view_->LoadFromImage();
    EXPECT_EQ(pttid().Text(g[3].down), "ABCD0123456789*#");
    EXPECT_EQ(pttid().SelectedText(g[2].type), "Down");
}

TEST_F(DtmfViewTest, TabsStoreTheLeftPageAndBytesNoFieldOwnsStay) {
    for (std::uint32_t a = 0xD6B0; a < 0xD8E0; ++a) image_[a] = 0x5A;
    Open();
    page().TypeText(C::kIdStunType, "Kill");
    view_->ChooseTab(1);
    EXPECT_EQ(image_[0xD6DA], 2);
    view_->ChooseTab(0);
    view_->StoreToImage();
    for (std::uint32_t a : {0xD6C0u, 0xD6C7u, 0xD6D9u, 0xD6DCu, 0xD6DFu})
        EXPECT_EQ(image_[a], 0x5A) << std::hex << a;
    EXPECT_EQ(image_[0xD6D7], 0xFF);
    EXPECT_EQ(view_->form().At(CDtmfView::kIdTab).entries,
              (std::vector<std::string>{"Code", "PTTID"}));
    EXPECT_TRUE(page().Press(C::kIdSelfId, Key::Enter));
    EXPECT_TRUE(pttid().Press(CDtmfPttIdPage::kGroups[0].up, Key::Escape));
}

}  // namespace
}  // namespace vm
