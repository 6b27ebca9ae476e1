// The catalogue, the field names of every editor, headless dialogs and the shared commit.
#include "app/editors/catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "app/editors/catalogue/editor_commands.h"
#include "app/editors/catalogue/editor_session.h"
#include "app/editors/framework/editor_fields.h"
#include "app/editors/framework/form_dialog.h"
#include "app/editors/framework/tabbed_view.h"
#include "app/image/codecs.h"
#include "app/widgets/grid.h"
#include "tests/app/editors/catalogue/factory_document.h"

namespace vm {
namespace {

std::string Cased(std::string_view s, int (*f)(int)) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(f(static_cast<unsigned char>(c)));
    return r;
}
std::string Lower(std::string_view s) {
    return Cased(s, ::tolower);
}
std::string Upper(std::string_view s) {
    return Cased(s, ::toupper);
}

using testing::FactoryDocument;

TEST(Catalogue, EntriesAreConsistent) {
    std::set<std::string> names;
    std::set<int> commands;
    std::vector<std::string> tree;
    for (const EditorEntry& e : Editors()) {
        EXPECT_TRUE(names.insert(Lower(e.name)).second) << e.name;
        if (e.command != 0) {
            EXPECT_TRUE(commands.insert(e.command).second) << e.name;
        }
        if (e.tree) tree.emplace_back(e.name);
        if (e.kind != WindowKind::ModalDialog) {
            EXPECT_GT(e.width, 0) << e.name;
        }
        EXPECT_EQ(EditorOfCommand(e.command), e.command ? &e : nullptr) << e.name;
        EXPECT_EQ(FindEditor(Upper(e.name)), &e);
    }
    EXPECT_EQ(tree,
              (std::vector<std::string>{"Channel setting", "VFO", "Scan channel", "Basic setting",
                                        "DTMF", "2Tone", "5Tone", "Model", "Frequency range"}));
    EXPECT_NE(FindEditor("Alarm"), nullptr);
    EXPECT_NE(FindEditor("Channel edit"), nullptr);
    EXPECT_EQ(FindEditor(""), nullptr);
    EXPECT_EQ(StartupEditors(),
              (std::vector<const EditorEntry*>{EditorOfCommand(ID_EDIT_CHANNEL)}));
}

// Every built editor opens over the factory image as its window does, names each field once,
// and shows every field it names.
TEST(Catalogue, EveryBuiltEditorHasUniqueFieldNames) {
    int built = 0;
    for (const EditorEntry& e : Editors()) {
        if (!e.built()) continue;
        ++built;
        FactoryDocument d;
        EditorContext ctx{.doc = d.doc};
        auto view = OpenEditorView(e, ctx);
        ASSERT_TRUE(view) << e.name;
        if (e.kind == WindowKind::TabbedView) {
            EXPECT_NE(dynamic_cast<CTabbedView*>(view.get()), nullptr) << e.name;
        }
        if (e.kind == WindowKind::ModalDialog) {
            EXPECT_NE(dynamic_cast<CFormDialog*>(view.get()), nullptr) << e.name;
        }
        const auto fields = EditorFields(*view);
        EXPECT_FALSE(fields.empty()) << e.name;
        EXPECT_EQ(DuplicateFieldNames(*view), std::vector<std::string>{}) << e.name;
        // Each name finds its field (a sample of a large table: every lookup reads them all).
        const std::size_t stride = fields.size() / 100 + 1;
        for (std::size_t i = 0; i < fields.size(); i += stride) {
            const EditorField& f = fields[i];
            const auto found = LookUpEditorField(*view, f.Name());
            ASSERT_EQ(found.size(), 1u) << e.name << ": " << f.Name();
            EXPECT_EQ(found.front().form, f.form);
            EXPECT_EQ(found.front().id, f.id);
            EXPECT_EQ(found.front().row, f.row);
        }
        view->Destroy();
    }
    EXPECT_GE(built, 2);
}

TEST(Catalogue, FrameCommitStoresTheChannelTableLastAndClearsTheCommitBits) {
    FactoryDocument d;
    d.image[0xCC25] |= 0x03;
    EditorSession session(*FindEditor("Basic setting"), d.doc);
    const auto field = FindEditorField(session.view(), "Option/Scarmbler(2600 - 4000Hz)");
    ASSERT_TRUE(field);
    ASSERT_EQ(SetEditorField(session.view(), *field, "3000"), std::nullopt);
    EXPECT_EQ(session.Close(), std::nullopt);
    session.Commit();
    // 3000 Hz: floor(6000 / 0.7324 + 0.5) = 8192, derived after the settings were stored.
    EXPECT_EQ(d.image[0xCC2A] | d.image[0xCC2B] << 8, 8192);
    EXPECT_EQ(d.image[0xCC25] & 0x03, 0);
}

// ---------------------------------------------------------------------------------------------
// A dialog with every kind of field: records stepped through a number edit, a record tab strip,
// one label in two group boxes, a grid with an in-place editor, and a close refusal.

class CTestDlg : public CFormDialog {
public:
    enum : int {
        kNumber = 1,
        kSide = 2,
        kUp = 10,
        kUpCode = 11,
        kDown = 20,
        kDownCode = 21,
        kGrid = 30,
        kCell = 31,
        kNote = 40
    };
    static constexpr std::uint32_t kBase = 0x100;

    explicit CTestDlg(RadioImage& image) : image_(image) {}

    void OnInitialUpdate() override {
        form_.AddEdit(kNumber, 1, CharsFilter("0123456789")).label = "Number";
        Control& side = form_.Add(kSide, ControlKind::Tab);
        side.selects_records = true;
        form_.SetEntries(kSide, std::vector<std::string>{"A", "B"});
        form_.Add(kUp, ControlKind::Group).text = "Up";
        form_.AddEdit(kUpCode, 3, CharsFilter("0123456789")).label = "Code";
        form_.At(kUpCode).group = kUp;
        form_.Add(kDown, ControlKind::Group).text = "Down";
        form_.AddEdit(kDownCode, 3, CharsFilter("0123456789")).label = "Code";
        form_.At(kDownCode).group = kDown;
        form_.AddEdit(kNote, 3).label = "Note";
        Grid& g = form_.AddGrid(kGrid);
        g.SetRows(3);
        g.SetCols(2);
        g.SetText(0, 1, "Num");
        g.SetText(1, 0, "1");
        g.SetText(2, 0, "2");
        form_.AddEdit(kCell, 4).anchor = kGrid;
        form_.SetVisible(kCell, false);
        form_.On(EventType::GridMouseDown, kGrid, [this](const Event&) {
            Grid& grid = form_.GridAt(kGrid);
            if (grid.Row() == 2) return true;  // row 2 opens no editor
            form_.SetText(kCell, grid.Text(grid.Row(), grid.Col()));
            form_.SetVisible(kCell, true);
            form_.Focus(kCell);
            return true;
        });
        form_.On(EventType::FocusLost, kCell, [this](const Event&) {
            Grid& grid = form_.GridAt(kGrid);
            grid.SetText(grid.Row(), grid.Col(), form_.Text(kCell));
            form_.SetVisible(kCell, false);
            return false;
        });
        form_.On(EventType::FocusLost, kNumber, [this](const Event&) {
            const int n = static_cast<int>(ParseScaled(form_.Text(kNumber), 0).value_or(0));
            if (n >= 1 && n <= 3 && n != record_) {
                StoreToImage();
                record_ = n;
                LoadFromImage();
            }
            form_.SetText(kNumber, FormatInt(record_));
            return false;
        });
        form_.On(EventType::FocusLost, kDownCode, [this](const Event&) {
            if (form_.Text(kDownCode) == "0") ShowMessage("Zero is no code!");
            return false;
        });
        form_.On(EventType::TabChanging, kSide, [this](const Event&) {
            StoreToImage();
            return false;
        });
        form_.On(EventType::TabChanged, kSide, [this](const Event&) {
            LoadFromImage();
            return false;
        });
        form_.Select(kSide, 0);
        form_.SetText(kNumber, "1");
        LoadFromImage();
    }
    void LoadFromImage() override {
        form_.SetText(kUpCode, FormatInt(image_[At(0)]));
        form_.SetText(kDownCode, FormatInt(image_[At(1)]));
        form_.GridAt(kGrid).SetText(1, 1, FormatInt(image_[At(2)]));
    }
    void StoreToImage() override {
        ++stores;
        image_[At(0)] = Byte(form_.Text(kUpCode));
        image_[At(1)] = Byte(form_.Text(kDownCode));
        image_[At(2)] = Byte(form_.GridAt(kGrid).Text(1, 1));
    }
    RecordRange Records() const override { return {1, 3}; }
    int Record() const override { return record_; }
    bool GoToRecord(int record) override {
        form_.Focus(kNumber);
        form_.ReplaceText(kNumber, FormatInt(record));
        form_.Focus(0);
        return record_ == record;
    }
    std::uint32_t At(int k) const {
        return kBase + static_cast<std::uint32_t>(record_ * 8 + form_.Selection(kSide) * 4 + k);
    }
    int stores = 0;

protected:
    std::optional<EditorMessage> CloseRefusal() override {
        if (form_.Text(kUpCode) == "999") return EditorMessage{"Code is invalid!", {}};
        return std::nullopt;
    }

private:
    static std::uint8_t Byte(const std::string& t) {
        return static_cast<std::uint8_t>(ParseScaled(t, 0).value_or(0) & 0xFF);
    }
    RadioImage& image_;
    int record_ = 1;
};

const EditorEntry kTestEntry = {
    .name = "Test",
    .kind = WindowKind::ModalDialog,
    .open = [](EditorContext& c) -> std::unique_ptr<CBaseFormView> {
        return std::make_unique<CTestDlg>(c.doc.Image());
    },
    .reloads_views = true,
};

class TestDialog : public ::testing::Test {
protected:
    void SetUp() override {
        ctx_.message = [this](const std::string& m, const std::string&) { messages_.push_back(m); };
        view_ = OpenEditorView(kTestEntry, ctx_);
        dlg_ = dynamic_cast<CTestDlg*>(view_.get());
        ASSERT_TRUE(dlg_);
    }
    std::optional<std::string> Set(std::string_view name, std::string_view value) {
        auto f = FindEditorField(*view_, name);
        if (!f) return "no field " + std::string(name);
        return SetEditorField(*view_, *f, value);
    }
    FactoryDocument d_;
    EditorContext ctx_{.doc = d_.doc};
    std::vector<std::string> messages_;
    std::unique_ptr<CBaseFormView> view_;
    CTestDlg* dlg_ = nullptr;
};

TEST_F(TestDialog, NamesQualifyRepeatedLabelsWithTheGroupAndMakeRecordTabsPages) {
    std::vector<std::string> names;
    for (const EditorField& f : EditorFields(*view_)) names.push_back(f.Name());
    EXPECT_EQ(names, (std::vector<std::string>{"A/Number", "A/Up/Code", "A/Down/Code", "A/Note",
                                               "A/1/Num", "A/2/Num", "B/Number", "B/Up/Code",
                                               "B/Down/Code", "B/Note", "B/1/Num", "B/2/Num"}));
    EXPECT_EQ(DuplicateFieldNames(*view_), std::vector<std::string>{});
    struct Case {
        std::string_view name;
        std::size_t matches;
    };
    for (const Case& c :
         {Case{"a/up/code", 1}, Case{"A/Code", 2}, Case{"A/Note", 1}, Case{"A/Notes", 0},
          Case{"Note", 0}, Case{"b/2/NUM", 1}, Case{"A/Up/Note", 0}, Case{"", 0}})
        EXPECT_EQ(LookUpEditorField(*view_, c.name).size(), c.matches) << c.name;
    EXPECT_FALSE(FindEditorField(*view_, "A/Code"));
}

TEST_F(TestDialog, SettingRevealsRecordTabsAndDrivesCellEditors) {
    ASSERT_EQ(Set("B/Up/Code", "12"), std::nullopt);
    EXPECT_EQ(view_->form().Selection(CTestDlg::kSide), 1);
    ASSERT_EQ(Set("A/Down/Code", "34"), std::nullopt);  // tab B is stored on the way
    EXPECT_EQ(d_.image[CTestDlg::kBase + 8 + 4], 12);
    ASSERT_EQ(Set("A/1/Num", "56"), std::nullopt);
    const auto cell = FindEditorField(*view_, "A/1/Num");
    EXPECT_EQ(ShownText(*cell), "56");
    EXPECT_FALSE(view_->form().At(CTestDlg::kCell).visible);  // the editor was left
    EXPECT_EQ(Set("A/2/Num", "1"), "opens no editor");
    EXPECT_EQ(ShowEditorField(*FindEditorField(*view_, "B/Up/Code")), "12");
    view_->Destroy();
    EXPECT_EQ(d_.image[CTestDlg::kBase + 8 + 1], 34);
    EXPECT_EQ(d_.image[CTestDlg::kBase + 8 + 2], 56);
}

TEST_F(TestDialog, CloseIsRefusedWithTheMessageAndDestroyStoresOnce) {
    ASSERT_EQ(Set("A/Up/Code", "999"), std::nullopt);
    EXPECT_FALSE(view_->RequestClose());
    EXPECT_EQ(messages_, std::vector<std::string>{"Code is invalid!"});
    EXPECT_FALSE(view_->destroyed());
    // The typed text is committed by the close request even while the edit has the focus.
    view_->form().Focus(CTestDlg::kUpCode);
    view_->form().ReplaceText(CTestDlg::kUpCode, "7");
    bool told = false;
    dlg_->close_window = [&told] { told = true; };
    const int stores = dlg_->stores;
    EXPECT_TRUE(dlg_->CloseFromDialog());
    EXPECT_TRUE(told);
    EXPECT_EQ(dlg_->stores, stores + 1);
    EXPECT_EQ(d_.image[CTestDlg::kBase + 8], 7);
    view_->Destroy();
    EXPECT_EQ(dlg_->stores, stores + 1);
}

TEST_F(TestDialog, RecordsAreSteppedAsTheUserDoes) {
    ASSERT_EQ(Set("A/Up/Code", "21"), std::nullopt);
    EXPECT_TRUE(dlg_->GoToRecord(3));
    EXPECT_EQ(dlg_->Record(), 3);
    EXPECT_EQ(d_.image[CTestDlg::kBase + 8], 21);  // record 1 stored when it was left
    EXPECT_FALSE(dlg_->GoToRecord(4));
    EXPECT_EQ(dlg_->Record(), 3);
}

TEST(EditorSession, MessagesAreCollectedAndARefusedCloseKeepsTheEditorOpen) {
    FactoryDocument d;
    EditorSession session(kTestEntry, d.doc);
    EXPECT_EQ(session.Records().first, 1);
    EXPECT_TRUE(session.GoToRecord(2));
    EXPECT_FALSE(session.GoToRecord(9));
    auto set = [&session](std::string_view name, std::string_view value) {
        return SetEditorField(session.view(), *FindEditorField(session.view(), name), value);
    };
    ASSERT_EQ(set("A/Down/Code", "0"), std::nullopt);
    EXPECT_EQ(session.messages(), std::vector<std::string>{"Zero is no code!"});
    ASSERT_EQ(set("A/Up/Code", "999"), std::nullopt);
    EXPECT_EQ(session.Close(), "Code is invalid!");
    ASSERT_EQ(set("A/Up/Code", "5"), std::nullopt);
    EXPECT_EQ(session.Close(), std::nullopt);
    EXPECT_EQ(d.image[CTestDlg::kBase + 16], 5);
    // Closed: only the start-up views remain in the commit.
    const auto views = session.Views();
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].entry, EditorOfCommand(ID_EDIT_CHANNEL));
}

}  // namespace
}  // namespace vm
