#include "app/editors/settings/two_tone_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/editors/framework/editor_fields.h"
#include "tests/support/form_input.h"

namespace vm {
namespace {

using vm::testing::Choose;
using vm::testing::TypeInto;

using S = CT2SystemPage;
using C = CT2ContactPage;

constexpr std::uint32_t kSystem1 = 0xCF80, kContact1 = 0xD180;

class TwoToneViewTest : public ::testing::Test {
protected:
    void SetUp() override { image_.fill(0xFF); }
    void Open() {
        view_ = std::make_unique<CT2View>(image_);
        view_->OnInitialUpdate();
    }
    Form& system() { return view_->Page(0).form(); }
    Form& contacts() { return view_->Page(1).form(); }
    CT2ContactPage& contact_page() { return static_cast<CT2ContactPage&>(view_->Page(1)); }
    Grid& grid() { return contact_page().grid(); }

    // Clicks a contact cell; the editor that opened (0: none).
    int Click(int row, int col) {
        grid().ClickCell(row, col);
        return contact_page().OpenEditor();
    }
    void TypeCell(int row, int col, std::string_view text) {
        const int id = Click(row, col);
        ASSERT_NE(id, 0);
        contacts().ReplaceText(id, text);
        contacts().Focus(C::kIdGrid);
    }
    void PickCell(int row, int col, std::string_view text) {
        const int id = Click(row, col);
        ASSERT_NE(id, 0);
        const auto& e = contacts().At(id).entries;
        contacts().Choose(id, static_cast<int>(std::find(e.begin(), e.end(), text) - e.begin()));
        contacts().Focus(C::kIdGrid);
    }
    std::uint16_t Word(std::uint32_t addr) const {
        return static_cast<std::uint16_t>(image_[addr] | image_[addr + 1] << 8);
    }
    std::vector<std::string> Entries(int id) { return system().At(id).entries; }

    RadioImage image_{};
    std::unique_ptr<CT2View> view_;
};

TEST_F(TwoToneViewTest, BlankImageShowsTheDefaultsAndStoresThem) {
    Open();
    Form& f = system();
    EXPECT_EQ(f.SelectedText(S::kDecodes[0].format), "A-B");
    for (int n = 1; n < 4; ++n) EXPECT_EQ(f.SelectedText(S::kDecodes[n].format), "Off");
    // The stored bits 0xFF are "Remind+Reply", a valid choice: no fallback to "Remind".
    for (const auto& d : S::kDecodes) EXPECT_EQ(f.SelectedText(d.response), "Remind+Reply");
    const std::pair<int, const char*> shown[] = {
        {1308, "321.7"}, {1310, "928.1"}, {1312, "626.5"},         {1314, "2043.8"},
        {1324, "0.5"},   {1326, "Off"},   {1316, "1.0"},           {1318, "3.0"},
        {1320, "1.0"},   {1322, "5.0"},   {S::kIdAutoReset, "255"}};
    for (auto [id, text] : shown) EXPECT_EQ(f.Text(id), text) << id;

    view_->StoreToImage();
    EXPECT_EQ(Word(kSystem1 + 16), 3217);
    EXPECT_EQ(Word(kSystem1 + 22), 20438);
    EXPECT_EQ(image_[kSystem1 + 8], 5);
    EXPECT_EQ(image_[kSystem1 + 11], 50);
    EXPECT_EQ(image_[kSystem1 + 30], 0);
    EXPECT_EQ(image_[kSystem1 + 31], 255);
    EXPECT_EQ(image_[kSystem1 + 24], 0x12);
    EXPECT_EQ(image_[kSystem1 + 25], 0x00);
    EXPECT_EQ(image_[kSystem1 + 28], 0xFF);
    // Untouched bytes, and the other systems, keep what they held.
    for (std::uint32_t b : {6u, 7u, 14u, 15u, 29u}) EXPECT_EQ(image_[kSystem1 + b], 0xFF);
    EXPECT_EQ(image_[kSystem1 + 32 + 24], 0xFF);
}

TEST_F(TwoToneViewTest, NumericFieldsAreCheckedWhenLeft) {
    Open();
    struct Case {
        int id;
        const char* typed;
        const char* shown;
        std::uint32_t offset;
        int stored;
    };
    const Case cases[] = {
        {1308, "307.2", "307.2", 16, 3072},  // low byte 0x00: still a tone
        {1308, "3116.0", "3116.0", 16, 31160},
        {1308, "3116.1", "321.7", 16, 3217},  // out of range: the field's default
        {1310, "288", "288.0", 18, 2880},
        {1310, "100", "928.1", 18, 9281},
        {1314, "", "2043.8", 22, 20438},
        {1316, "4.09", "4.0", 9, 40},  // tenths, truncated
        {1316, "4.1", "1.0", 9, 10},
        {1322, "0.4", "5.0", 11, 50},  // below the 5-100 range
        {1322, "10", "10.0", 11, 100},
        {1326, "0", "Off", 30, 0},
        {1326, "2.5", "2.5", 30, 25},
        {1324, "5.1", "0.5", 8, 5},
        {S::kIdAutoReset, "0", "Off", 31, 0},
        {S::kIdAutoReset, "256", "10", 31, 10},
        {S::kIdAutoReset, "", "10", 31, 10},
    };
    for (const Case& c : cases) {
        TypeInto(system(), c.id, c.typed);
        EXPECT_EQ(system().Text(c.id), c.shown) << c.id << " " << c.typed;
        view_->StoreToImage();
        const int stored = c.offset >= 16 && c.offset < 24 ? Word(kSystem1 + c.offset)
                                                           : image_[kSystem1 + c.offset];
        EXPECT_EQ(stored, c.stored) << c.id << " " << c.typed;
    }
}

TEST_F(TwoToneViewTest, SpinsWrapOnTheValueInTenths) {
    Open();
    Form& f = system();
    f.SetText(1308, "3116.0");
    f.Spin(1309, 1);
    EXPECT_EQ(f.Text(1308), "288.0");
    f.Spin(1309, -1);
    EXPECT_EQ(f.Text(1308), "3116.0");
    f.Spin(1327, -1);  // Reply wait at "Off"
    EXPECT_EQ(f.Text(1326), "5.0");
    f.Spin(1327, 1);
    EXPECT_EQ(f.Text(1326), "Off");
    f.SetText(S::kIdAutoReset, "255");
    f.Spin(S::kIdAutoResetSpin, 1);
    EXPECT_EQ(f.Text(S::kIdAutoReset), "Off");
}

TEST_F(TwoToneViewTest, AFormatIsOfferedToOneDecodeOnly) {
    Open();
    Form& f = system();
    Choose(f, S::kDecodes[1].format, "A-C");
    for (int n : {0, 2, 3}) {
        const auto e = Entries(S::kDecodes[n].format);
        EXPECT_EQ(std::count(e.begin(), e.end(), "A-C"), 0) << n;
        EXPECT_EQ(std::count(e.begin(), e.end(), "Off"), n == 0 ? 0 : 1) << n;
    }
    EXPECT_EQ(Entries(S::kDecodes[0].format).size(), 14u);
    // Decode 1's "A-B" is not offered to the others; giving it up frees it.
    EXPECT_EQ(Entries(S::kDecodes[3].format).size(), 14u);
    Choose(f, S::kDecodes[0].format, "Long C");
    const auto e = Entries(S::kDecodes[3].format);
    EXPECT_EQ(std::count(e.begin(), e.end(), "A-B"), 1);
    EXPECT_EQ(std::count(e.begin(), e.end(), "Long C"), 0);
    EXPECT_EQ(f.SelectedText(S::kDecodes[1].format), "A-C");  // each keeps its choice

    view_->StoreToImage();
    EXPECT_EQ(image_[kSystem1 + 24], 0x30);
    EXPECT_EQ(image_[kSystem1 + 25], 0x13);
}

TEST_F(TwoToneViewTest, StoredDuplicateFormatsKeepTheLowestDecodes) {
    const std::uint8_t formats[] = {0x12, 0x12, 0x34, 0x34};
    std::copy(std::begin(formats), std::end(formats), image_.begin() + kSystem1 + 24);
    image_[kSystem1 + 28] = 0b00011011;  // Decode 1 Remind+Reply ... Decode 4 Off
    Open();
    const char* expected[] = {"A-B", "Off", "C-D", "Off"};
    const char* responses[] = {"Remind+Reply", "Reply", "Remind", "Off"};
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(system().SelectedText(S::kDecodes[n].format), expected[n]) << n;
        EXPECT_EQ(system().SelectedText(S::kDecodes[n].response), responses[n]) << n;
    }
    view_->StoreToImage();
    EXPECT_EQ(
        std::vector<std::uint8_t>(image_.begin() + kSystem1 + 24, image_.begin() + kSystem1 + 29),
        (std::vector<std::uint8_t>{0x12, 0x00, 0x34, 0x00, 0b00011011}));
}

TEST_F(TwoToneViewTest, UnknownFormatCodesReadAsOffAndDecodeOneTakesTheFirst) {
    const std::uint8_t formats[] = {0x00, 0x44, 0x21, 0x00};
    std::copy(std::begin(formats), std::end(formats), image_.begin() + kSystem1 + 24);
    Open();
    EXPECT_EQ(system().SelectedText(S::kDecodes[0].format), "A-B");
    EXPECT_EQ(system().SelectedText(S::kDecodes[1].format), "Off");
    EXPECT_EQ(system().SelectedText(S::kDecodes[2].format), "B-A");
}

TEST_F(TwoToneViewTest, InnerTabsStoreTheSystemLeftAndShowTheOneChosen) {
    image_[kSystem1 + 2 * 32 + 12] = 15;  // system 3's interval
    Open();
    Form& f = system();
    f.Focus(1320);
    f.ReplaceText(1320, "2.0");  // still focused when the tab is chosen
    f.ChooseTab(S::kIdSystemTab, 2);
    EXPECT_EQ(image_[kSystem1 + 12], 20);
    EXPECT_EQ(f.Text(1320), "1.5");
    EXPECT_EQ(static_cast<CT2SystemPage&>(view_->Page(0)).System(), 3);
    TypeInto(f, 1320, "0.5");
    view_->StoreToImage();
    EXPECT_EQ(image_[kSystem1 + 2 * 32 + 12], 5);
    EXPECT_EQ(image_[kSystem1 + 32 + 12], 0xFF);  // system 2 was never shown
}

TEST_F(TwoToneViewTest, AliasEmptiedGetsItsOldTextOrTheSystemName) {
    std::copy_n("AB\x01Z", 4, image_.begin() + kSystem1);
    Open();
    Form& f = system();
    EXPECT_EQ(f.Text(S::kIdAlias), "AB");  // up to the first byte that is not printable
    TypeInto(f, S::kIdAlias, "");
    EXPECT_EQ(f.Text(S::kIdAlias), "AB");
    f.ChooseTab(S::kIdSystemTab, 11);
    EXPECT_EQ(f.Text(S::kIdAlias), "");
    TypeInto(f, S::kIdAlias, "");
    EXPECT_EQ(f.Text(S::kIdAlias), "2T-S12");
    view_->StoreToImage();
    EXPECT_EQ(
        std::string(image_.begin() + kSystem1 + 11 * 32, image_.begin() + kSystem1 + 11 * 32 + 6),
        "2T-S12");
}

TEST_F(TwoToneViewTest, FlagsKeepTheirOtherBits) {
    image_[kSystem1 + 13] = 0b0111'1100;
    Open();
    Form& f = system();
    EXPECT_FALSE(f.Checked(S::kIdSideTone));
    f.Click(S::kIdSideTone);
    f.Click(S::kIdIdleReply);
    view_->StoreToImage();
    EXPECT_EQ(image_[kSystem1 + 13], 0b1111'1101);
}

// ---- contacts

TEST_F(TwoToneViewTest, ContactsShowPresentTonesOnly) {
    // Contact 1: 307.2 Hz (00 0C) single; contact 2: absent First with leftovers; contact 3:
    // two tones, format code 7 reads "Two".
    std::uint8_t* c1 = image_.data() + kContact1;
    const std::uint8_t rec1[] = {'C',  'A',  'L',  'L',  0xFF, 0xFF, 0xFF,
                                 0xFF, 0x00, 0x0C, 0xFF, 0xFF, 1,    4};
    std::copy(std::begin(rec1), std::end(rec1), c1);
    c1[16 + 8] = 0x00;  // contact 2: First 00 00 is absent too
    c1[16 + 9] = 0x00;
    c1[16 + 12] = 0;
    const std::uint8_t rec3[] = {0x68, 0x29, 0x80, 0x0C, 7, 16};
    std::copy(std::begin(rec3), std::end(rec3), c1 + 32 + 8);
    Open();
    Grid& g = grid();
    EXPECT_EQ(g.Text(1, C::kColFirst), "307.2");
    EXPECT_EQ(g.Text(1, C::kColSecond), "");
    EXPECT_EQ(g.Text(1, C::kColFormat), "Single");
    EXPECT_EQ(g.Text(1, C::kColSystem), "4");
    EXPECT_EQ(g.Text(1, C::kColAlias), "CALL");
    EXPECT_EQ(g.CellBackColor(1, C::kColSecond), C::kSingleShade);
    for (int col = C::kColFirst; col <= C::kColAlias; ++col) EXPECT_EQ(g.Text(2, col), "");
    EXPECT_EQ(g.Text(3, C::kColFirst), "1060.0");
    EXPECT_EQ(g.Text(3, C::kColSecond), "320.0");
    EXPECT_EQ(g.Text(3, C::kColFormat), "Two");
    EXPECT_EQ(g.CellBackColor(3, C::kColSecond), 0u);
    // The Second tone of a single-tone contact opens no editor.
    EXPECT_EQ(Click(1, C::kColSecond), 0);
    EXPECT_EQ(Click(3, C::kColSecond), C::kIdToneEdit);
}

TEST_F(TwoToneViewTest, TypingAFirstToneCreatesTheContact) {
    Open();
    view_->ChooseTab(1);
    TypeCell(3, C::kColFirst, "100");
    Grid& g = grid();
    EXPECT_EQ(g.Text(3, C::kColFirst), "288.0");
    EXPECT_EQ(g.Text(3, C::kColSecond), "288.0");
    EXPECT_EQ(g.Text(3, C::kColFormat), "Two");
    EXPECT_EQ(g.Text(3, C::kColSystem), "1");
    EXPECT_EQ(g.Text(3, C::kColAlias), "2T-03");
    TypeCell(3, C::kColSecond, "4000");
    EXPECT_EQ(g.Text(3, C::kColSecond), "3116.0");
    PickCell(3, C::kColSystem, "12");
    PickCell(3, C::kColFormat, "Single");
    EXPECT_EQ(g.CellBackColor(3, C::kColSecond), C::kSingleShade);
    TypeCell(3, C::kColAlias, "");  // an empty alias leaves the cell
    EXPECT_EQ(g.Text(3, C::kColAlias), "2T-03");
    // Cells of a row without a call stay empty.
    TypeCell(5, C::kColSecond, "1000");
    PickCell(5, C::kColFormat, "Single");
    TypeCell(5, C::kColAlias, "X");
    for (int col = C::kColFirst; col <= C::kColAlias; ++col) EXPECT_EQ(g.Text(5, col), "");

    view_->StoreToImage();
    const std::uint8_t* c3 = image_.data() + kContact1 + 2 * 16;
    EXPECT_EQ(std::vector<std::uint8_t>(c3, c3 + 16),
              (std::vector<std::uint8_t>{'2', 'T', '-', '0', '3', 0xFF, 0xFF, 0xFF, 0x40, 0x0B,
                                         0xB8, 0x79, 1, 12, 0xFF, 0xFF}));
    const std::uint8_t* c5 = image_.data() + kContact1 + 4 * 16;
    EXPECT_EQ(std::vector<std::uint8_t>(c5, c5 + 16),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0, 1, 0xFF, 0xFF}));
}

TEST_F(TwoToneViewTest, EnterInACellEditorCommitsIt) {
    Open();
    view_->ChooseTab(1);
    const int tone = Click(3, C::kColFirst);
    ASSERT_EQ(tone, C::kIdToneEdit);
    contacts().ReplaceText(tone, "100");
    EXPECT_TRUE(contacts().Press(tone, Key::Enter));
    EXPECT_EQ(contact_page().OpenEditor(), 0);
    EXPECT_EQ(contacts().Focused(), C::kIdGrid);
    EXPECT_EQ(grid().Text(3, C::kColFirst), "288.0");  // checked as when the edit is left
    EXPECT_EQ(grid().Text(3, C::kColAlias), "2T-03");
}

TEST_F(TwoToneViewTest, ClearingAFirstToneClearsTheRowExceptContactOne) {
    Open();
    TypeCell(1, C::kColFirst, "1000");
    TypeCell(2, C::kColFirst, "1000");
    TypeCell(2, C::kColSecond, "");  // a second tone may be left out
    EXPECT_EQ(grid().Text(2, C::kColSecond), "");
    TypeCell(1, C::kColFirst, "");
    TypeCell(2, C::kColFirst, "0");
    EXPECT_EQ(grid().Text(1, C::kColFirst), "1000.0");
    for (int col = C::kColFirst; col <= C::kColAlias; ++col) EXPECT_EQ(grid().Text(2, col), "");
    TypeCell(1, C::kColFirst, "1200.05");  // an existing contact changes only its First tone
    EXPECT_EQ(grid().Text(1, C::kColFirst), "1200.0");
    EXPECT_EQ(grid().Text(1, C::kColSecond), "1000.0");
}

TEST_F(TwoToneViewTest, ReloadDropsAnOpenCellEditor) {
    Open();
    view_->ChooseTab(1);
    ASSERT_EQ(Click(4, C::kColFirst), C::kIdToneEdit);
    contacts().ReplaceText(C::kIdToneEdit, "999");
    view_->LoadFromImage();
    EXPECT_EQ(contact_page().OpenEditor(), 0);
    view_->StoreToImage();
    EXPECT_EQ(image_[kContact1 + 3 * 16 + 8], 0xFF);
}

TEST_F(TwoToneViewTest, CommandLineNamesEveryRecordAndCell) {
    Open();
    EXPECT_TRUE(DuplicateFieldNames(*view_).empty());
    auto set = [this](std::string_view name, std::string_view value) {
        const auto field = FindEditorField(*view_, name);
        ASSERT_TRUE(field.has_value()) << name;
        EXPECT_EQ(SetEditorField(*view_, *field, value), std::nullopt) << name;
    };
    set("System/5/Decode 3/Format", "D-C");
    set("System/5/A tone", "1500");
    set("Contact/7/First", "2000");
    set("Contact/7/Format", "Single");
    set("System/2/Decode 1/Response", "Off");
    view_->StoreToImage();  // the contact page was stored when System 2 was revealed
    EXPECT_EQ(image_[kSystem1 + 4 * 32 + 26], 0x43);
    EXPECT_EQ(Word(kSystem1 + 4 * 32 + 16), 15000);
    EXPECT_EQ(image_[kSystem1 + 32 + 28] & 3, 0);
    EXPECT_EQ(Word(kContact1 + 6 * 16 + 8), 20000);
    EXPECT_EQ(image_[kContact1 + 6 * 16 + 12], 1);
    EXPECT_EQ(LookUpEditorField(*view_, "System/5/Format").size(), 4u);  // ambiguous
}

}  // namespace
}  // namespace vm
