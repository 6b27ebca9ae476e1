#include "app/editors/settings/alarm_view.h"
#include "tests/support/form_input.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vm {
namespace {

using vm::testing::TypeInto;

using A = CAlarmView;

class AlarmViewTest : public ::testing::Test {
protected:
    void Open() {
        view_ = std::make_unique<CAlarmView>(image_);
        view_->OnInitialUpdate();
    }
    Form& form() { return view_->form(); }
    // DTMF code memory m in use (type "None", one digit) or erased.
    void UseMemory(int m, bool used, std::uint8_t first_digit = 1) {
        std::uint8_t* p = image_.data() + 0xD760 + 24 * (m - 1);
        std::fill(p, p + 24, 0xFF);
        if (used) {
            p[0] = first_digit;
            p[23] = 0;
        }
    }

    RadioImage image_{};
    std::unique_ptr<CAlarmView> view_;
};

TEST_F(AlarmViewTest, BlankImageShowsTheFallbacks) {
    image_.fill(0xFF);
    Open();
    EXPECT_EQ(form().SelectedText(A::kIdAlarmType), "Alarm");
    EXPECT_EQ(form().SelectedText(A::kIdEmiCodeType), "None");
    EXPECT_EQ(form().SelectedText(A::kIdEmiCode), "None");
    EXPECT_EQ(form().SelectedText(A::kIdRemoteAlarm), "On");
    EXPECT_EQ(form().Text(A::kIdCycle), "255");
    EXPECT_EQ(form().Text(A::kIdTxTime), "255");
    EXPECT_EQ(form().Text(A::kIdRxTime), "255");
    EXPECT_EQ(form().At(A::kIdEmiCode).entries, std::vector<std::string>{"None"});
    view_->StoreToImage();
    EXPECT_EQ(std::vector<std::uint8_t>(image_.begin() + 0xCC70, image_.begin() + 0xCC78),
              (std::vector<std::uint8_t>{0, 255, 255, 255, 0xFF, 0xFF, 0, 0xFC}));
}

TEST_F(AlarmViewTest, TimesAreCheckedWhenLeft) {
    Open();
    struct Case {
        int id;
        const char* typed;
        const char* shown;
        std::uint32_t addr;
        std::uint8_t stored;
    };
    const Case cases[] = {
        {A::kIdTxTime, "0", "5", 0xCC72, 5},       {A::kIdTxTime, "", "5", 0xCC72, 5},
        {A::kIdTxTime, "256", "5", 0xCC72, 5},     {A::kIdTxTime, "1", "1", 0xCC72, 1},
        {A::kIdRxTime, "300", "8", 0xCC73, 8},     {A::kIdRxTime, "0", "8", 0xCC73, 8},
        {A::kIdRxTime, "255", "255", 0xCC73, 255}, {A::kIdCycle, "0", "Continuous", 0xCC71, 0},
        {A::kIdCycle, "12", "12", 0xCC71, 12},     {A::kIdCycle, "", "5", 0xCC71, 5},
        {A::kIdCycle, "999", "5", 0xCC71, 5},      {A::kIdCycle, "012", "12", 0xCC71, 12},
    };
    for (const Case& c : cases) {
        TypeInto(form(), c.id, c.typed);
        EXPECT_EQ(form().Text(c.id), c.shown) << c.typed;
        view_->StoreToImage();
        EXPECT_EQ(image_[c.addr], c.stored) << c.typed;
    }
    form().Focus(A::kIdCycle);
    EXPECT_FALSE(form().Type(A::kIdCycle, '-'));  // digits only
    EXPECT_FALSE(form().Type(A::kIdTxTime, 'a'));
}

TEST_F(AlarmViewTest, StoreChecksAFieldThatStillHasTheFocus) {
    Open();
    for (int id : {A::kIdCycle, A::kIdTxTime, A::kIdRxTime}) {
        form().Focus(id);
        form().SelectAll(id);
        form().TypeText(id, "999");
    }
    view_->StoreToImage();  // the frame's commit: no focus change
    EXPECT_EQ(image_[0xCC71], 5);
    EXPECT_EQ(image_[0xCC72], 5);
    EXPECT_EQ(image_[0xCC73], 8);
}

TEST_F(AlarmViewTest, SpinsWrapAtTheEndsOfTheirRanges) {
    Open();
    struct Case {
        int edit, spin;
        const char* from;
        int delta;
        const char* to;
    };
    const Case cases[] = {
        {A::kIdCycle, A::kIdCycleSpin, "Continuous", -1, "255"},
        {A::kIdCycle, A::kIdCycleSpin, "255", 1, "Continuous"},
        {A::kIdCycle, A::kIdCycleSpin, "1", -1, "Continuous"},
        {A::kIdTxTime, A::kIdTxTimeSpin, "255", 1, "1"},
        {A::kIdTxTime, A::kIdTxTimeSpin, "1", -1, "255"},
        {A::kIdRxTime, A::kIdRxTimeSpin, "8", 1, "9"},
    };
    for (const Case& c : cases) {
        form().SetText(c.edit, c.from);
        form().Spin(c.spin, c.delta);
        EXPECT_EQ(form().Text(c.edit), c.to) << c.from << " " << c.delta;
    }
}

TEST_F(AlarmViewTest, EmiCodeListsMemoriesInUseAndSelectsWholeNumbers) {
    for (int m = 1; m <= 16; ++m) UseMemory(m, false);
    UseMemory(10, true);
    UseMemory(3, true, 0);  // first digit "0"
    image_[0xCC76] = 1;     // memory 1 is not in use, although "10" begins with "1"
    Open();
    EXPECT_EQ(form().At(A::kIdEmiCode).entries, (std::vector<std::string>{"None", "3", "10"}));
    EXPECT_EQ(form().SelectedText(A::kIdEmiCode), "None");
    view_->StoreToImage();
    EXPECT_EQ(image_[0xCC76], 0);
    form().TypeText(A::kIdEmiCode, "10");
    view_->StoreToImage();
    EXPECT_EQ(image_[0xCC76], 10);
    // The list holds the memories in use when the view was loaded, not those of later edits.
    UseMemory(5, true);
    EXPECT_EQ(form().At(A::kIdEmiCode).entries.size(), 3u);
    EXPECT_EQ(form().SelectedText(A::kIdEmiCode), "10");
    // A reload (a file opened, a read) brings the image's own memories.
    image_[0xCC76] = 5;
    view_->LoadFromImage();
    EXPECT_EQ(form().SelectedText(A::kIdEmiCode), "5");
}

TEST_F(AlarmViewTest, StoreKeepsTheBitsNoFieldOwnsAndClosingStores) {
    image_[0xCC74] = 0x12;
    image_[0xCC75] = 0x34;
    image_[0xCC77] = 0x7C;  // bits 6-2 set, type "None", remote "Off"
    image_[0xCC70] = 9;     // no such type: "Alarm"
    Open();
    EXPECT_EQ(form().SelectedText(A::kIdAlarmType), "Alarm");
    form().TypeText(A::kIdEmiCodeType, "DTMF");
    form().TypeText(A::kIdRemoteAlarm, "On");
    form().TypeText(A::kIdAlarmType, "Secret");
    view_->Destroy();  // the window closes: the view stores itself, once
    EXPECT_EQ(image_[0xCC77], 0xFD);
    EXPECT_EQ(image_[0xCC74], 0x12);
    EXPECT_EQ(image_[0xCC75], 0x34);
    EXPECT_EQ(image_[0xCC70], 3);
    image_[0xCC70] = 1;  // a later load (File > Open) is not overwritten by the closed view
    view_->Destroy();
    view_.reset();
    EXPECT_EQ(image_[0xCC70], 1);
}

TEST_F(AlarmViewTest, EnterAndEscapeAreSwallowed) {
    Open();
    EXPECT_TRUE(form().Press(A::kIdTxTime, Key::Enter));
    EXPECT_TRUE(form().Press(A::kIdAlarmType, Key::Escape));
    EXPECT_FALSE(form().Press(A::kIdAlarmType, Key::F1));
}

}  // namespace
}  // namespace vm
