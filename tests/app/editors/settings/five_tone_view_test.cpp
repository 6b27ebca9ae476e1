#include "app/editors/settings/five_tone_view.h"

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

using V = CT5View;

constexpr std::uint32_t kBlock = 0xD280;
constexpr std::size_t kUserEntry = 0x100 + 15 * 40;

class FiveToneViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_.fill(0xFF);
        header_.fill(0xFF);
        ReloadFiveToneTables(header_);
    }
    void Open() {
        view_ = std::make_unique<CT5View>(image_, header_);
        view_->OnInitialUpdate();
    }
    Form& f() { return view_->form(); }
    std::vector<std::uint8_t> Bytes(const std::uint8_t* p, std::size_t n) { return {p, p + n}; }
    std::uint16_t Word(const std::uint8_t* p) {
        return static_cast<std::uint16_t>(p[0] | p[1] << 8);
    }

    RadioImage image_{};
    FileHeader header_{};
    std::unique_ptr<CT5View> view_;
};

TEST_F(FiveToneViewTest, BlankImageReadsTheFirstStandardAndRepairsItsIndex) {
    Open();
    EXPECT_EQ(f().SelectedText(V::kIdStandard), "ZVEI1");
    EXPECT_EQ(f().Text(V::kIdWidth), "255");
    // No stored letter: each list takes the first letter the other two leave.
    EXPECT_EQ(f().SelectedText(V::kIdGroup), "A");
    EXPECT_EQ(f().SelectedText(V::kIdRepeat), "B");
    EXPECT_EQ(f().SelectedText(V::kIdDelimiter), "None");
    EXPECT_EQ(f().Text(V::ToneEdit(0)), "2400.0");
    EXPECT_FALSE(f().At(V::ToneEdit(0)).enabled);
    EXPECT_EQ(f().Text(V::kIdPreCarrier), "2550");
    EXPECT_EQ(f().Text(V::kIdAutoReset), "255");
    EXPECT_EQ(f().Text(V::kIdContactAlias), "2T-S01");

    view_->StoreToImage();
    EXPECT_EQ(Bytes(image_.data() + kBlock, 10),
              (std::vector<std::uint8_t>{0, 255, 0x0A, 0x0B, 0, 0xFF, 0xFF, 0xFF, 0xC0, 0x5D}));
    EXPECT_EQ(header_[0x100], 0);     // the entry keeps its own index
    EXPECT_EQ(image_[0xD2C8], 0xFF);  // no decode response chosen
    EXPECT_EQ(image_[0xD2A8], 255);
}

TEST_F(FiveToneViewTest, NumericFieldsAreCheckedWhenLeft) {
    Open();
    struct Case {
        int id;
        const char* typed;
        const char* shown;
        std::uint32_t addr;
        int stored;
    };
    const Case cases[] = {
        {V::kIdPreCarrier, "1234", "1230", 0xD2A8, 123},
        {V::kIdFirstExpand, "2551", "100", 0xD2A9, 10},
        {V::kIdEndExitDelay, "", "100", 0xD2AA, 10},
        {V::kIdReplyDelay, "9", "0", 0xD2AB, 0},
        {V::kIdAutoReset, "0", "Off", 0xD2C9, 0},
        {V::kIdAutoReset, "300", "10", 0xD2C9, 10},
        {V::kIdWidth, "20", "70", kBlock + 1, 70},  // ZVEI1's minimum
        {V::kIdWidth, "80", "80", kBlock + 1, 80},
    };
    for (const Case& c : cases) {
        TypeInto(f(), c.id, c.typed);
        EXPECT_EQ(f().Text(c.id), c.shown) << c.id << " " << c.typed;
        view_->StoreToImage();
        EXPECT_EQ(image_[c.addr], c.stored) << c.id << " " << c.typed;
    }
    // Timing spins count in tens and wrap.
    f().SetText(V::kIdPreCarrier, "2550");
    f().Spin(V::kIdPreCarrierSpin, 10);
    EXPECT_EQ(f().Text(V::kIdPreCarrier), "0");
    f().SetText(V::kIdPreCarrier, "125");
    f().Spin(V::kIdPreCarrierSpin, 50);
    EXPECT_EQ(f().Text(V::kIdPreCarrier), "150");
}

TEST_F(FiveToneViewTest, WidthFollowsTheStandardsMinimum) {
    Open();
    Choose(f(), V::kIdStandard, "EIA");
    EXPECT_EQ(f().At(V::kIdWidthSpin).spin.min, 33);
    TypeInto(f(), V::kIdWidth, "20");
    EXPECT_EQ(f().Text(V::kIdWidth), "33");
    f().Spin(V::kIdWidthSpin, -1);
    EXPECT_EQ(f().Text(V::kIdWidth), "255");
    view_->StoreToImage();
    EXPECT_EQ(image_[kBlock], 13);
    EXPECT_EQ(image_[kBlock + 1], 255);
    EXPECT_EQ(header_[0x100 + 13 * 40 + 1], 255);
    // EIA's own tones reach the image: digit 0 is 600.0 Hz.
    EXPECT_EQ(Word(image_.data() + kBlock + 8), 6000);
}

TEST_F(FiveToneViewTest, ChangingTheStandardKeepsWhatTheOneLeftShowed) {
    Open();
    TypeInto(f(), V::kIdWidth, "90");
    Choose(f(), V::kIdRepeat, "E");
    Choose(f(), V::kIdStandard, "CCIR1");
    EXPECT_EQ(header_[0x100 + 1], 90);  // ZVEI1's entry, before any store
    EXPECT_EQ(header_[0x100 + 3], 0x0E);
    EXPECT_EQ(f().Text(V::kIdWidth), "255");  // CCIR1's own entry
    Choose(f(), V::kIdStandard, "ZVEI1");
    EXPECT_EQ(f().Text(V::kIdWidth), "90");
    EXPECT_EQ(f().SelectedText(V::kIdRepeat), "E");
}

TEST_F(FiveToneViewTest, UserDefinedTonesAreEditedInTheHeaderEntry) {
    Open();
    Choose(f(), V::kIdStandard, "USER DEFINDE");
    EXPECT_TRUE(f().At(V::ToneEdit(10)).enabled);
    EXPECT_TRUE(f().At(V::ToneSpin(10)).enabled);
    TypeInto(f(), V::ToneEdit(10), "3000");
    TypeInto(f(), V::ToneEdit(11), "3116.05");
    TypeInto(f(), V::ToneEdit(12), "3200");  // above 3116.0 Hz: left empty, the digit unused
    TypeInto(f(), V::ToneEdit(13), "287.9");
    EXPECT_EQ(f().Text(V::ToneEdit(11)), "3116.0");
    EXPECT_EQ(f().Text(V::ToneEdit(12)), "");
    EXPECT_EQ(f().Text(V::ToneEdit(13)), "");
    f().Spin(V::ToneSpin(13), 1);  // from empty the spin wraps to the lowest tone
    EXPECT_EQ(f().Text(V::ToneEdit(13)), "288.0");
    view_->StoreToImage();
    for (const std::uint8_t* p : {image_.data() + kBlock, header_.data() + kUserEntry}) {
        EXPECT_EQ(p[0], 15);
        EXPECT_EQ(Word(p + 8 + 20), 30000);
        EXPECT_EQ(Word(p + 8 + 22), 31160);
        EXPECT_EQ(Word(p + 8 + 24), 0);
        EXPECT_EQ(Word(p + 8 + 26), 2880);
    }
    // A predefined standard never writes its tones into the header.
    Choose(f(), V::kIdStandard, "ZVEI2");
    EXPECT_FALSE(f().At(V::ToneEdit(0)).enabled);
    const auto before = Bytes(header_.data() + 0x100 + 40 + 8, 32);
    view_->StoreToImage();
    EXPECT_EQ(Bytes(header_.data() + 0x100 + 40 + 8, 32), before);
}

TEST_F(FiveToneViewTest, LoadCopiesTheImageBlockIntoItsHeaderEntry) {
    std::uint8_t* block = image_.data() + kBlock;
    const std::uint8_t head[] = {15, 120, 0x0C, 0x0D, 0x0E, 1, 2, 3};
    std::copy(std::begin(head), std::end(head), block);
    for (int d = 0; d < 16; ++d) PutLe16(block + 8 + 2 * d, static_cast<std::uint16_t>(5000 + d));
    Open();
    EXPECT_EQ(Bytes(header_.data() + kUserEntry, 40), Bytes(block, 40));
    EXPECT_EQ(f().Text(V::kIdWidth), "120");
    EXPECT_EQ(f().SelectedText(V::kIdGroup), "C");
    EXPECT_EQ(f().SelectedText(V::kIdRepeat), "D");
    EXPECT_EQ(f().SelectedText(V::kIdDelimiter), "E");
    EXPECT_EQ(f().Text(V::ToneEdit(15)), "501.5");
    // A predefined standard takes only the first eight bytes; its tones stay the built-in ones.
    block[0] = 2;
    view_->LoadFromImage();
    EXPECT_EQ(Bytes(header_.data() + 0x100 + 80, 8), Bytes(block, 8));
    EXPECT_EQ(Word(header_.data() + 0x100 + 80 + 8), 22000);
    EXPECT_EQ(f().Text(V::ToneEdit(0xB)), "");  // ZVEI3 has no tone for B
}

TEST_F(FiveToneViewTest, GroupRepeatAndDelimiterNeverShareALetter) {
    Open();
    struct Step {
        int id;
        const char* pick;
        const char* group;
        const char* repeat;
        const char* delimiter;
    };
    // The first letter none of the three uses (the Repeat change gives Group "B", not "C").
    const Step steps[] = {
        {V::kIdRepeat, "A", "B", "A", "None"},
        {V::kIdDelimiter, "C", "B", "A", "C"},
        {V::kIdGroup, "C", "C", "A", "B"},
        {V::kIdDelimiter, "None", "C", "A", "None"},
    };
    for (const Step& s : steps) {
        Choose(f(), s.id, s.pick);
        EXPECT_EQ(f().SelectedText(V::kIdGroup), s.group) << s.pick;
        EXPECT_EQ(f().SelectedText(V::kIdRepeat), s.repeat) << s.pick;
        EXPECT_EQ(f().SelectedText(V::kIdDelimiter), s.delimiter) << s.pick;
    }
    // Equal letters from the image are separated on load.
    image_[kBlock + 2] = 0x0A;
    image_[kBlock + 3] = 0x0A;
    image_[kBlock + 4] = 0x0A;
    view_->LoadFromImage();
    EXPECT_EQ(f().SelectedText(V::kIdGroup), "A");
    EXPECT_EQ(f().SelectedText(V::kIdRepeat), "B");
    EXPECT_EQ(f().SelectedText(V::kIdDelimiter), "C");
}

TEST_F(FiveToneViewTest, FunctionAndContactGroupsStoreTheRecordLeft) {
    Open();
    Choose(f(), V::kIdFunctionType, "Kill");
    Choose(f(), V::kIdFunctionResponse, "Reply");
    TypeInto(f(), V::kIdFunctionId, "1a2");
    EXPECT_EQ(f().Text(V::kIdFunctionId), "1A2");
    Choose(f(), V::kIdFunctionGroup, "2");
    const std::uint8_t* fn1 = image_.data() + 0xD4D0;
    EXPECT_EQ(Bytes(fn1, 16),
              (std::vector<std::uint8_t>{1, 0x0A, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 2, 2}));
    EXPECT_EQ(f().Text(V::kIdFunctionId), "");
    EXPECT_EQ(f().Selection(V::kIdFunctionType), -1);

    TypeInto(f(), V::kIdContactAlias, "BOB");
    Choose(f(), V::kIdCodeType, "Message");
    EXPECT_TRUE(f().At(V::kIdMessage).enabled);
    TypeInto(f(), V::kIdMessage, "HELLO");
    TypeInto(f(), V::kIdCode, "");  // contact 1 always holds a code
    EXPECT_EQ(f().Text(V::kIdCode), "12345");
    Choose(f(), V::kIdContactGroup, "3");
    EXPECT_EQ(f().Text(V::kIdContactAlias), "2T-S03");
    EXPECT_FALSE(f().At(V::kIdMessage).enabled);
    TypeInto(f(), V::kIdCode, "");
    EXPECT_EQ(f().Text(V::kIdCode), "");
    const std::uint8_t* c1 = image_.data() + 0xD2D0;
    EXPECT_EQ(Bytes(c1, 16), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 0xFF, 0xFF, 0xFF, 'B', 'O',
                                                        'B', 0xFF, 0xFF, 0xFF, 0xFF, 2}));
    EXPECT_EQ(std::string(c1 + 16, c1 + 21), "HELLO");
    view_->StoreToImage();
    EXPECT_EQ(std::string(image_.data() + 0xD2D0 + 64 + 8, image_.data() + 0xD2D0 + 64 + 14),
              "2T-S03");
    EXPECT_EQ(image_[0xD2D0 + 64 + 15], 0);  // no code type chosen
}

TEST_F(FiveToneViewTest, CodesTakeOnlyDigitsTheStandardCanSend) {
    image_[kBlock] = 2;  // ZVEI3: no tone for B, C, D, F
    Open();
    Choose(f(), V::kIdRepeat, "E");
    TypeInto(f(), V::kIdCode, "1BE5cA");
    EXPECT_EQ(f().Text(V::kIdCode), "15A");
    TypeInto(f(), V::kIdFunctionId, "F0D9");
    EXPECT_EQ(f().Text(V::kIdFunctionId), "09");
    TypeInto(f(), V::kIdBeginId, "FEDCBA98");  // PTT ID codes take every hexadecimal digit
    EXPECT_EQ(f().Text(V::kIdBeginId), "FEDCBA98");
    TypeInto(f(), V::kIdSelfId, "12AB34");
    EXPECT_EQ(f().Text(V::kIdSelfId), "1234");
}

TEST_F(FiveToneViewTest, CommandLineNamesTheRepeatedListsByTheirGroups) {
    Open();
    EXPECT_TRUE(DuplicateFieldNames(*view_).empty());
    EXPECT_EQ(LookUpEditorField(*view_, "Group").size(), 3u);
    auto set = [this](std::string_view name, std::string_view value) {
        const auto field = FindEditorField(*view_, name);
        ASSERT_TRUE(field.has_value()) << name;
        EXPECT_EQ(SetEditorField(*view_, *field, value), std::nullopt) << name;
    };
    set("Standard", "USER DEFINDE");
    set("A", "1234.5");
    set("Standard/Group", "F");
    set("Contact/Group", "5");
    set("Alias", "ZED");
    set("Infomation/Group", "8");
    set("Response", "Remind");
    view_->StoreToImage();
    EXPECT_EQ(Word(image_.data() + kBlock + 8 + 20), 12345);
    EXPECT_EQ(image_[kBlock + 2], 0x0F);
    EXPECT_EQ(image_[0xD2D0 + 4 * 32 + 8], 'Z');
    EXPECT_EQ(image_[0xD4D0 + 7 * 16 + 14], 1);
}

}  // namespace
}  // namespace vm
