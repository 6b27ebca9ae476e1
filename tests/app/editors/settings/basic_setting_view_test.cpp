#include "app/editors/settings/basic_setting_view.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "tests/support/form_input.h"
#include "tools/factory/factory_image.h"

namespace vm {
namespace {

using vm::testing::TypeInto;

using O = COptionPage;
using T = CTotPage;

class BasicSettingTest : public ::testing::Test {
protected:
    void Open() {
        view_ = std::make_unique<CBasicSettingView>(image_);
        view_->OnInitialUpdate();
    }
    Form& option() { return view_->Page(0).form(); }
    Form& tot() { return view_->Page(1).form(); }
    Form& keys() { return view_->Page(2).form(); }
    void UseChannel(int n) { InitChannelRecord(image_, n, 14'550'000, BandTables::Initial()); }

    RadioImage image_{};
    std::unique_ptr<CBasicSettingView> view_;
};

TEST_F(BasicSettingTest, ErasedImageShowsTheFallbacks) {
    image_.fill(0xFF);
    Open();
    EXPECT_EQ(option().Text(O::kIdVolume), "15");
    EXPECT_EQ(option().Text(O::kIdScrambler), "3300");
    EXPECT_EQ(option().SelectedText(O::kIdSqlLeft), "Off");
    EXPECT_EQ(option().SelectedText(O::kIdSpanExitDelay), "0.0");
    EXPECT_EQ(option().SelectedText(O::kIdAutoPowerOff), "Off");  // 25.5 h is no entry
    EXPECT_EQ(option().SelectedText(O::kIdBrightness), "Off");
    EXPECT_EQ(option().SelectedText(O::kIdBeep), "On");  // bit 7 set
    EXPECT_EQ(option().SelectedText(O::kIdTbst), "2100");
    EXPECT_EQ(option().SelectedText(O::kIdLeftPriority), "Off");
    EXPECT_EQ(option().SelectedText(O::kIdScanResume), "TO");  // value 3 has no entry
    for (int id : option().Ids())
        if (option().At(id).kind == ControlKind::DropList) {
            EXPECT_GE(option().Selection(id), 0) << id;
        }
    view_->ChooseTab(1);
    EXPECT_EQ(tot().Text(T::kIdTot), "30");
    EXPECT_EQ(tot().Text(T::kIdPreAlert), "15");
    EXPECT_EQ(tot().Text(T::kIdRekey), "30");
    EXPECT_EQ(tot().Text(T::kIdReset), "30");
    view_->ChooseTab(2);
    const char* expected[] = {"BAND", "VFO/MR", "TONE", "LOW"};
    for (std::size_t k = 0; k < 4; ++k)
        EXPECT_EQ(keys().SelectedText(CKeyPage::kIds[k]), expected[k]);
}

TEST_F(BasicSettingTest, AutoPowerOffHoursByText) {
    image_[0xCC21] = 10;
    Open();
    EXPECT_EQ(option().SelectedText(O::kIdAutoPowerOff), "1.0");
    const std::pair<const char*, int> choices[] = {
        {"2.0", 20}, {"1.5", 15}, {"0.5", 5}, {"Off", 0}};
    for (auto [text, stored] : choices) {
        option().TypeText(O::kIdAutoPowerOff, text);
        view_->StoreToImage();
        EXPECT_EQ(image_[0xCC21], stored) << text;
    }
    image_[0xCC21] = 7;  // matches no entry
    view_->LoadFromImage();
    EXPECT_EQ(option().SelectedText(O::kIdAutoPowerOff), "Off");
    view_->StoreToImage();
    EXPECT_EQ(image_[0xCC21], 0);
}

TEST_F(BasicSettingTest, PriorityChannelsListOnlyChannelsInUseAndMatchExactly) {
    UseChannel(10);
    UseChannel(12);
    UseChannel(800 + 3);
    PutLe16(&image_[0xCC18], 1);  // not in use, although "10" begins with "1"
    PutLe16(&image_[0xCC1A], 3);
    Open();
    EXPECT_EQ(option().At(O::kIdLeftPriority).entries,
              (std::vector<std::string>{"Off", "10", "12"}));
    EXPECT_EQ(option().SelectedText(O::kIdLeftPriority), "Off");
    EXPECT_EQ(option().SelectedText(O::kIdRightPriority), "3");
    view_->StoreToImage();
    EXPECT_EQ(GetLe16(&image_[0xCC18]), 0);
    EXPECT_EQ(GetLe16(&image_[0xCC1A]), 3);
    // A file opened later brings its own channels: the lists follow the image on load.
    UseChannel(5);
    PutLe16(&image_[0xCC18], 5);
    view_->LoadFromImage();
    EXPECT_EQ(option().SelectedText(O::kIdLeftPriority), "5");
}

TEST_F(BasicSettingTest, HiddenFieldsPassTheirValuesThrough) {
    UseChannel(9);
    UseChannel(800 + 250);
    PutLe16(&image_[0xCC18], 9);
    PutLe16(&image_[0xCC1A], 250);
    image_[0xCC23] = 3;     // Backlight Color "Red"
    image_[0xCC25] = 0x02;  // STE "180"
    image_[0xCC26] = 0x06;  // AM Function and Span Transit "On"
    const RadioImage before = image_;
    Open();
    EXPECT_FALSE(option().At(O::kIdBacklightColor).visible);
    EXPECT_EQ(option().SelectedText(O::kIdBacklightColor), "Red");
    EXPECT_EQ(option().SelectedText(O::kIdSte), "180");
    EXPECT_EQ(option().SelectedText(O::kIdAmFunction), "On");
    EXPECT_EQ(option().SelectedText(O::kIdSpanTransit), "On");
    EXPECT_EQ(option().SelectedText(O::kIdRightPriority), "250");
    image_.fill(0x00);
    view_->StoreToImage();
    for (std::uint32_t a : {0xCC18u, 0xCC19u, 0xCC1Au, 0xCC1Bu, 0xCC23u, 0xCC25u, 0xCC26u})
        EXPECT_EQ(image_[a], before[a]) << std::hex << a;
}

TEST_F(BasicSettingTest, BrightnessAndDelayByStoredValue) {
    struct Case {
        std::uint8_t brightness, delay;
        const char *brightness_shown, *delay_shown;
        std::uint8_t brightness_stored, delay_stored;
    };
    const Case cases[] = {
        {4, 50, "4", "5.0", 4, 50},
        {0, 0, "Off", "0.0", 0, 0},
        {10, 51, "Off", "0.0", 0, 0},  // no entry "10..." and no 52nd delay
        {5, 7, "Off", "0.7", 0, 7},
    };
    Open();
    for (const Case& c : cases) {
        image_[0xCC22] = c.brightness;
        image_[0xCC2C] = c.delay;
        view_->LoadFromImage();
        EXPECT_EQ(option().SelectedText(O::kIdBrightness), c.brightness_shown) << +c.brightness;
        EXPECT_EQ(option().SelectedText(O::kIdSpanExitDelay), c.delay_shown) << +c.delay;
        view_->StoreToImage();
        EXPECT_EQ(image_[0xCC22], c.brightness_stored) << +c.brightness;
        EXPECT_EQ(image_[0xCC2C], c.delay_stored) << +c.delay;
    }
}

TEST_F(BasicSettingTest, StoreKeepsTheBitsNoFieldOwns) {
    image_.fill(0x00);
    image_[0xCC24] = 0x0C;  // bits 3-2
    image_[0xCC25] = 0x10;  // bit 4
    image_[0xCC26] = 0x31;  // bits 5, 4, 0
    image_[0xCC27] = 0xF8;  // bits 7-3
    for (std::uint32_t a : {0xCC1Cu, 0xCC1Du, 0xCC1Eu, 0xCC1Fu, 0xCC2Au, 0xCC2Bu, 0xCC2Du, 0xCC34u,
                            0xCC35u, 0xCC36u, 0xCC37u})
        image_[a] = 0x5A;
    const RadioImage before = image_;
    Open();
    option().Choose(O::kIdBeep, 1);
    option().Choose(O::kIdTbst, 3);
    option().Choose(O::kIdAutoAm, 1);
    option().Choose(O::kIdScanMode, 1);
    view_->StoreToImage();
    EXPECT_EQ(image_[0xCC24], 0x8C);
    EXPECT_EQ(image_[0xCC25], 0xD0);
    EXPECT_EQ(image_[0xCC26], 0x39);
    EXPECT_EQ(image_[0xCC27], 0xFC);
    for (std::uint32_t a : {0xCC1Cu, 0xCC1Du, 0xCC1Eu, 0xCC1Fu, 0xCC2Au, 0xCC2Bu, 0xCC2Du, 0xCC34u,
                            0xCC35u, 0xCC36u, 0xCC37u})
        EXPECT_EQ(image_[a], before[a]) << std::hex << a;
}

TEST_F(BasicSettingTest, VolumeAndScramblerAreValidatedWhenLeft) {
    image_[0xCC2F] = 8;
    PutLe16(&image_[0xCC28], 3000);
    Open();
    const std::pair<const char*, const char*> volume[] = {
        {"0", "15"}, {"16", "15"}, {"", "15"}, {"7", "7"}, {"015", "15"}};
    for (auto [typed, shown] : volume) {
        TypeInto(option(), O::kIdVolume, typed);
        EXPECT_EQ(option().Text(O::kIdVolume), shown) << typed;
    }
    const std::pair<const char*, const char*> scrambler[] = {
        {"2599", "3300"}, {"4001", "3300"}, {"2600", "2600"}, {"4000", "4000"}};
    for (auto [typed, shown] : scrambler) {
        TypeInto(option(), O::kIdScrambler, typed);
        EXPECT_EQ(option().Text(O::kIdScrambler), shown) << typed;
    }
    option().Focus(O::kIdScrambler);
    EXPECT_FALSE(option().Type(O::kIdScrambler, 'x'));  // digits only
    // The volume spin writes its edit and wraps at 1-15.
    option().SetText(O::kIdVolume, "15");
    option().Spin(O::kIdVolumeSpin, 1);
    EXPECT_EQ(option().Text(O::kIdVolume), "1");
    option().Spin(O::kIdVolumeSpin, -1);
    EXPECT_EQ(option().Text(O::kIdVolume), "15");
    view_->StoreToImage();
    EXPECT_EQ(image_[0xCC2F], 15);
    EXPECT_EQ(GetLe16(&image_[0xCC28]), 4000);
}

TEST_F(BasicSettingTest, TotFieldsClampWrapAndShowOff) {
    Open();
    view_->ChooseTab(1);
    const std::tuple<int, const char*, const char*> typed[] = {{T::kIdTot, "45", "30"},
                                                               {T::kIdTot, "0", "Off"},
                                                               {T::kIdPreAlert, "20", "15"},
                                                               {T::kIdRekey, "7", "7"},
                                                               {T::kIdReset, "", "Off"}};
    for (auto [id, text, shown] : typed) {
        TypeInto(tot(), id, text);
        EXPECT_EQ(tot().Text(id), shown) << text;
    }
    tot().SetText(T::kIdPreAlert, "15");
    tot().Spin(T::kIdPreAlertSpin, 1);
    EXPECT_EQ(tot().Text(T::kIdPreAlert), "Off");
    tot().SetText(T::kIdTot, "Off");
    tot().Spin(T::kIdTotSpin, -1);
    EXPECT_EQ(tot().Text(T::kIdTot), "30");
    tot().Spin(T::kIdTotSpin, 1);
    EXPECT_EQ(tot().Text(T::kIdTot), "Off");
    view_->StoreToImage();
    EXPECT_EQ(image_[0xCC30], 0);
    EXPECT_EQ(image_[0xCC31], 0);
    EXPECT_EQ(image_[0xCC32], 7);
    EXPECT_EQ(image_[0xCC33], 0);
}

TEST_F(BasicSettingTest, KeysStoreTheirFunctionOrTheDefault) {
    image_[0xCC38] = 1;
    image_[0xCC39] = 13;  // no such function: the default VFO/MR
    Open();
    view_->ChooseTab(2);
    EXPECT_EQ(keys().SelectedText(1036), "SCAN");
    EXPECT_EQ(keys().SelectedText(1038), "VFO/MR");
    keys().Choose(1037, 8);   // "MHz"
    keys().Select(1039, -1);  // nothing selected
    view_->StoreToImage();
    EXPECT_EQ(image_[0xCC38], 1);
    EXPECT_EQ(image_[0xCC39], 12);
    EXPECT_EQ(image_[0xCC3A], 8);
    EXPECT_EQ(image_[0xCC3B], 6);
}

TEST_F(BasicSettingTest, LeavingATabStoresItBeforeTheNextLoads) {
    Open();
    option().Choose(O::kIdSqlRight, 4);
    EXPECT_NE(image_[0xCC2E], 4);
    view_->ChooseTab(1);
    EXPECT_EQ(image_[0xCC2E], 4);
    EXPECT_TRUE(view_->Page(1).shown());
    EXPECT_FALSE(view_->Page(0).shown());
    // The frame's load and store reach the selected page only.
    image_[0xCC2E] = 1;
    image_[0xCC30] = 12;
    view_->LoadFromImage();
    EXPECT_EQ(tot().Text(T::kIdTot), "12");
    EXPECT_EQ(option().SelectedText(O::kIdSqlRight), "Full");
    // Closing stores the selected page and leaves what the other pages show alone: the image
    // keeps the reloaded value 1, not the "Full" the hidden Option page still shows.
    view_.reset();
    EXPECT_EQ(image_[0xCC2E], 1);
}

TEST_F(BasicSettingTest, EveryPageStoresWhatItShowsVisitedOrNot) {
    // What a page shows is what the file gets, though only the Option page was ever on screen:
    // a TOT of 45 shows "30", an unknown key function shows the default.
    struct Case {
        const char* what;
        bool close;  // the window closes (else the frame's store with the window open)
    };
    for (const Case& c : {Case{"closed", true}, Case{"committed", false}}) {
        image_.fill(0);
        image_[0xCC2F] = 9;     // a volume the Option page keeps
        image_[0xCC30] = 45;    // TOT above its 30 minutes
        image_[0xCC31] = 0xFF;  // a blank pre-alert
        image_[0xCC38] = 0x20;  // no key function
        image_[0xCC3B] = 0xFF;
        Open();
        if (c.close)
            view_.reset();
        else
            view_->Commit();
        EXPECT_EQ(image_[0xCC2F], 9) << c.what;
        EXPECT_EQ(image_[0xCC30], 30) << c.what;
        EXPECT_EQ(image_[0xCC31], 15) << c.what;
        EXPECT_EQ(image_[0xCC38], 11) << c.what;  // P1's default, BAND
        EXPECT_EQ(image_[0xCC3B], 6) << c.what;   // P4's, LOW
        if (!c.close) {
            // Shown on the TOT page as it was stored.
            view_->ChooseTab(1);
            EXPECT_EQ(tot().Text(T::kIdTot), "30");
            view_.reset();
        }
    }
}

TEST_F(BasicSettingTest, KeysAndHelp) {
    Open();
    std::vector<int> contexts;
    view_->open_help = [&](int c) { contexts.push_back(c); };
    EXPECT_TRUE(option().Press(O::kIdVolume, Key::Enter));
    EXPECT_TRUE(option().Press(O::kIdVolume, Key::Escape));
    option().Press(O::kIdVolume, Key::F1);
    view_->ChooseTab(1);
    view_->form().Press(CBasicSettingView::kIdTab, Key::F1);
    view_->ChooseTab(2);
    keys().Press(1036, Key::F1);
    EXPECT_EQ(contexts, (std::vector<int>{151, 146, 175}));
    EXPECT_EQ(view_->form().At(CBasicSettingView::kIdTab).entries,
              (std::vector<std::string>{"Option", "TOT", "Key"}));
}

TEST_F(BasicSettingTest, FactoryImageIsAFixedPoint) {
    FileHeader header;
    BuildFactoryImage(header, image_);
    const RadioImage before = image_;
    Open();
    for (int tab : {1, 2, 0}) view_->ChooseTab(tab);
    view_->StoreToImage();
    view_.reset();
    for (std::size_t a = 0; a < image_.size(); ++a)
        ASSERT_EQ(image_[a], before[a]) << std::hex << a;
}

// The block's field list and the editor agree: each field's lowest, highest and factory value
// is shown and stored back unchanged (the priority channels' highest names channels in use).
TEST_F(BasicSettingTest, EveryFieldKeepsItsRangeAndFactoryValue) {
    using B = BasicSettingsMap;
    for (const SettingField& f : B::kFields) {
        if (f.at == B::kScramblerCoefficient.at) continue;  // derived, not edited
        std::vector<int> values = {f.min, f.max};
        if (f.factory) values.push_back(*f.factory);
        for (int v : values) {
            SCOPED_TRACE(std::string(f.name) + " = " + std::to_string(v));
            image_.fill(0);
            UseChannel(kChannelsPerBank);
            UseChannel(2 * kChannelsPerBank);
            f.Set(B::Record(image_), v);
            Open();
            view_.reset();  // every page stores itself
            EXPECT_EQ(f.Get(B::Record(image_)), v);
        }
    }
}

}  // namespace
}  // namespace vm
