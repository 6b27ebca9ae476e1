#include "app/editors/settings/model_view.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/editors/framework/editor_fields.h"
#include "tests/support/form_input.h"

namespace vm {
namespace {

using vm::testing::TypeInto;

using V = CModelView;

class ModelViewTest : public ::testing::Test {
protected:
    void Open() {
        view_ = std::make_unique<CModelView>(image_);
        view_->OnInitialUpdate();
    }
    Form& form() { return view_->form(); }
    void Put(std::uint32_t addr, std::string_view text) {
        std::copy(text.begin(), text.end(), image_.begin() + addr);
    }
    void Date(std::uint16_t year, std::uint8_t month, std::uint8_t day) {
        image_[0xFF28] = static_cast<std::uint8_t>(year & 0xFF);
        image_[0xFF29] = static_cast<std::uint8_t>(year >> 8);
        image_[0xFF2A] = month;
        image_[0xFF2B] = day;
    }
    std::vector<std::uint8_t> Bytes(std::uint32_t from, std::uint32_t to) const {
        return {image_.begin() + from, image_.begin() + to};
    }

    RadioImage image_{};
    std::unique_ptr<CModelView> view_;
};

TEST_F(ModelViewTest, BlankIdentityBlockShowsEmptyFields) {
    image_.fill(0xFF);
    Open();
    for (int id : {V::kIdSerialNumber, V::kIdModelName, V::kIdModelCode, V::kIdFirmwareVersion,
                   V::kIdProgramDate})
        EXPECT_EQ(form().Text(id), "") << id;
}

TEST_F(ModelViewTest, TextsEndAtTheFirstCharacterOutsideTheirClass) {
    image_.fill(0xFF);
    Put(0xFF00, "AB12-X7");            // serial number: letters and digits only
    Put(0xFF08, "VM6142EXTRA");        // model name: cut at its 8 bytes
    Put(0xFF10, "VM-6142 E/2\x01zz");  // model code: printable characters
    Put(0xFF20, "V1.02 b");            // firmware version: printable characters
    Open();
    EXPECT_EQ(form().Text(V::kIdSerialNumber), "AB12");
    EXPECT_EQ(form().Text(V::kIdModelName), "VM6142EX");
    EXPECT_EQ(form().Text(V::kIdModelCode), "VM-6142 E/2");
    EXPECT_EQ(form().Text(V::kIdFirmwareVersion), "V1.02 b");
}

TEST_F(ModelViewTest, ProgramDateShowsOnlyCalendarDates) {
    struct Case {
        std::uint16_t year;
        std::uint8_t month, day;
        const char* shown;
    };
    const Case cases[] = {
        {0x2016, 0x03, 0x05, "2016-03-05"}, {0x2024, 0x02, 0x29, "2024-02-29"},
        {0x2023, 0x02, 0x29, ""},           {0x2000, 0x02, 0x29, "2000-02-29"},
        {0x2100, 0x02, 0x29, ""},           {0x2016, 0x13, 0x01, ""},
        {0x2016, 0x00, 0x10, ""},           {0x2016, 0x04, 0x31, ""},
        {0x2016, 0x12, 0x31, "2016-12-31"}, {0x20A5, 0x03, 0x05, ""},
        {0x2016, 0x1F, 0x05, ""},           {0xFFFF, 0xFF, 0xFF, ""},
        {0x0000, 0x00, 0x00, ""},
    };
    for (const Case& c : cases) {
        Date(c.year, c.month, c.day);
        EXPECT_EQ(ProgramDateText(image_), c.shown)
            << std::hex << c.year << " " << int{c.month} << " " << int{c.day};
    }
    Date(0x2016, 0x03, 0x05);
    Open();
    EXPECT_EQ(form().Text(V::kIdProgramDate), "2016-03-05");
    Date(0xFFFF, 0xFF, 0xFF);
    view_->LoadFromImage();
    EXPECT_EQ(form().Text(V::kIdProgramDate), "");
}

TEST_F(ModelViewTest, TypingKeepsEachFieldsCharactersAndStoreRewritesTheIdentity) {
    image_.fill(0x00);
    Put(0xFF20, "FW1.0");
    Date(0x2016, 0x03, 0x05);
    Open();
    TypeInto(form(), V::kIdSerialNumber, "ab-12 34");  // hyphen and space are swallowed
    TypeInto(form(), V::kIdModelName, "VM6142X99");    // at most 8 characters
    TypeInto(form(), V::kIdModelCode, "VM-6142 E");    // kept whole
    EXPECT_EQ(form().Text(V::kIdSerialNumber), "ab1234");
    EXPECT_EQ(form().Text(V::kIdModelName), "VM6142X9");
    EXPECT_EQ(form().Text(V::kIdModelCode), "VM-6142 E");
    // The firmware version and the date cannot be typed into.
    TypeInto(form(), V::kIdFirmwareVersion, "X");
    TypeInto(form(), V::kIdProgramDate, "1");
    EXPECT_EQ(form().Text(V::kIdFirmwareVersion), "FW1.0");
    EXPECT_EQ(form().Text(V::kIdProgramDate), "2016-03-05");

    const std::vector<std::uint8_t> tail_before = Bytes(0xFF20, 0xFF30);
    view_->StoreToImage();
    std::vector<std::uint8_t> expected(0x20, 0xFF);
    const std::string serial = "ab1234", name = "VM6142X9", code = "VM-6142 E";
    std::copy(serial.begin(), serial.end(), expected.begin());
    std::copy(name.begin(), name.end(), expected.begin() + 8);
    std::copy(code.begin(), code.end(), expected.begin() + 16);
    EXPECT_EQ(Bytes(0xFF00, 0xFF20), expected);
    EXPECT_EQ(Bytes(0xFF20, 0xFF30), tail_before);  // firmware and date never written
}

TEST_F(ModelViewTest, PastedTextIsStoredUpToItsFirstCharacterOutsideTheClass) {
    image_.fill(0xFF);
    Open();
    // A paste reaches the control's text without the typing filter.
    form().SetText(V::kIdSerialNumber, "AB-12");
    form().SetText(V::kIdModelCode, "A\tB");
    view_->StoreToImage();
    EXPECT_EQ(Bytes(0xFF00, 0xFF03), (std::vector<std::uint8_t>{'A', 'B', 0xFF}));
    EXPECT_EQ(Bytes(0xFF10, 0xFF12), (std::vector<std::uint8_t>{'A', 0xFF}));
}

TEST_F(ModelViewTest, FieldsAreNamedByTheirLabelsAndTheReadOnlyOnesRefuseASet) {
    image_.fill(0xFF);
    Open();
    const auto serial = FindEditorField(*view_, "Serial number");
    ASSERT_TRUE(serial);
    EXPECT_FALSE(SetEditorField(*view_, *serial, "SN0001"));
    EXPECT_EQ(form().Text(V::kIdSerialNumber), "SN0001");
    for (const char* name : {"Firmware Version", "Last program date"}) {
        const auto f = FindEditorField(*view_, name);
        ASSERT_TRUE(f) << name;
        EXPECT_TRUE(SetEditorField(*view_, *f, "1").has_value()) << name;
    }
    EXPECT_TRUE(DuplicateFieldNames(*view_).empty());
    // The window's close stores what was typed.
    EXPECT_TRUE(view_->RequestClose());
    EXPECT_EQ(Bytes(0xFF00, 0xFF07),
              (std::vector<std::uint8_t>{'S', 'N', '0', '0', '0', '1', 0xFF}));
}

}  // namespace
}  // namespace vm
