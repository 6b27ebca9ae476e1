#include "app/editors/framework/editor_fields.h"

#include <gtest/gtest.h>

#include "app/editors/settings/basic_setting_view.h"
#include "tools/factory/factory_image.h"

namespace vm {
namespace {

class EditorFieldsTest : public ::testing::Test {
protected:
    void SetUp() override {
        FileHeader header;
        BuildFactoryImage(header, image_);
        view_.OnInitialUpdate();
    }
    EditorField Field(std::string_view name) {
        auto f = FindEditorField(view_, name);
        EXPECT_TRUE(f.has_value()) << name;
        return f.value_or(EditorField{});
    }
    RadioImage image_{};
    CBasicSettingView view_{image_};
};

TEST_F(EditorFieldsTest, NamesArePageAndLabelComparedWithoutCase) {
    const auto fields = EditorFields(view_);
    ASSERT_FALSE(fields.empty());
    EXPECT_EQ(fields.front().Name(), "Option/SQL(Left)");
    EXPECT_EQ(fields.back().Name(), "Key/P4");
    EXPECT_EQ(Field("tot/tot (MIN)").Name(), "TOT/TOT (min)");
    EXPECT_FALSE(FindEditorField(view_, "Option/Nothing").has_value());
    EXPECT_FALSE(FindEditorField(view_, "Volume").has_value());  // tabbed: the page is needed
    // Every control of the three pages with a label, and no spin (they have none).
    EXPECT_EQ(fields.size(), 27u + 4u + 4u - 1u);
    EXPECT_TRUE(IsHidden(Field("Option/STE")));
    EXPECT_FALSE(IsHidden(Field("Option/Volume")));
}

TEST_F(EditorFieldsTest, SettingAFieldTypesLeavesAndCorrects) {
    const EditorField volume = Field("Option/Volume");
    EXPECT_EQ(SetEditorField(view_, volume, "45"), std::nullopt);
    EXPECT_EQ(ShownText(volume), "15");
    EXPECT_FALSE(ShowsAsTyped(volume, "45"));
    EXPECT_EQ(SetEditorField(view_, volume, "7"), std::nullopt);
    EXPECT_TRUE(ShowsAsTyped(volume, "7"));
    // The TOT page: its tab is selected first, so the Option page is stored on the way.
    const EditorField tot = Field("TOT/TOT (min)");
    EXPECT_EQ(SetEditorField(view_, tot, "0"), std::nullopt);
    EXPECT_EQ(view_.SelectedTab(), 1);
    EXPECT_EQ(image_[0xCC2F], 7);
    EXPECT_EQ(ShownText(tot), "Off");
    // Lists: the entry whose text is the value, without case.
    const EditorField p1 = Field("Key/P1");
    EXPECT_EQ(SetEditorField(view_, p1, "vfo/mr"), std::nullopt);
    EXPECT_EQ(ShownText(p1), "VFO/MR");
    EXPECT_TRUE(ShowsAsTyped(p1, "vfo/mr"));
    view_.StoreToImage();
    EXPECT_EQ(image_[0xCC38], 12);
}

TEST_F(EditorFieldsTest, RefusesWhatAUserCannotDo) {
    const RadioImage before = image_;
    const EditorField beep = Field("Option/Beep");
    const auto err = SetEditorField(view_, beep, "Loud");
    ASSERT_TRUE(err.has_value());
    EXPECT_NE(err->find("\"Off\", \"On\""), std::string::npos);
    EXPECT_TRUE(SetEditorField(view_, Field("Option/Left Priority Ch"), "Off").has_value());
    view_.StoreToImage();
    EXPECT_EQ(image_, before);
}

}  // namespace
}  // namespace vm
