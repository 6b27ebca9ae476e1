// The catalogue's editors in the window: a `vm6142 set` gives the same file, byte for byte,
// as the same edit made in the editor's window followed by File > Save; and the window hosts
// render what the catalogue describes.
#include <QGroupBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenu>
#include <QTabBar>
#include <QTableWidget>
#include <QTreeWidget>
#include <fstream>
#include <sstream>

#include "app/editors/catalogue/catalogue.h"
#include "app/editors/channels/channel_edit_dlg.h"
#include "app/editors/channels/program_view.h"
#include "app/editors/channels/scan_ch_view.h"
#include "app/editors/channels/vfo_dlg.h"
#include "app/editors/framework/editor_fields.h"
#include "app/editors/settings/freq_range_dlg.h"
#include "app/editors/settings/model_view.h"
#include "app/gui/commands.h"
#include "app/gui/editor_windows.h"
#include "app/gui/form_binder.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"
#include "tools/cli/cli.h"

namespace vm::gui {
namespace {

using testing::Answers;
using testing::FrameUnderTest;
using testing::WhenModal;

// One edit of an editor: its fields in order, and the record of a dialog that steps.
struct SameAsWindow {
    const char* editor;
    std::vector<std::string> assignments;  // "FIELD=VALUE"
    int record = 0;
    const char* password = nullptr;  // the access code entered first (F11, the code, Enter)
    // Image bytes of the file both start from, and bytes both saved files must hold.
    std::vector<std::pair<std::uint32_t, std::uint8_t>> before = {};
    std::vector<std::pair<std::uint32_t, std::uint8_t>> after = {};
};

// Editors add their rows here.
const SameAsWindow kSameAsWindow[] = {
    // The scrambler's coefficient (0xCC2A) is derived by the table's store, after this one.
    {"Basic setting", {"Option/Scarmbler(2600 - 4000Hz)=3000"}},
    {"Basic setting", {"Option/Volume=45", "TOT/TOT (min)=0", "Key/P1=SCAN", "Option/Beep=On"}},
    // Pages never shown are stored as they would show: a TOT of 45 as 30, an unknown key
    // function and a blank pre-alert as their defaults.
    {"Basic setting",
     {"Option/Volume=3"},
     0,
     nullptr,
     {{0xCC30, 45}, {0xCC31, 0xFF}, {0xCC38, 0x20}},
     {{0xCC30, 30}, {0xCC31, 15}, {0xCC38, 11}}},
    // Channel 1 wiped: re-created by the one rule at the lower limit of 150M, 134 MHz.
    {"Basic setting",
     {"Option/Volume=4"},
     0,
     nullptr,
     {{0x0100, 0xFF}, {0x0101, 0xFF}, {0x0102, 0xFF}, {0x0103, 0xFF}},
     {{0x0100, 0x00}, {0x0101, 0x00}, {0x0102, 0x40}, {0x0103, 0x13}}},
    {"Channel setting", {"3/Rx Freq=146.5", "3/Name=abc", "1/Power=Low", "2/Rx Freq=435"}},
    {"DTMF",
     {"Code/Self ID=12A", "Code/Group code=#", "Code/DTMF speed(ms)=100", "Code/3/Type=ANI",
      "Code/3/Num=1*2#", "Code/5/Type=None", "Code/5/Num=777", "PTTID/PTT ID 2/Up=*9",
      "PTTID/PTT ID 4/Type=Both"}},
    {"Alarm", {"Alarm type=Secret", "Tx time (s)=30", "Cycle=0", "Remote EMI alarm=On"}},
    // A new channel (its default record written at once), then fields of every kind.
    {"Channel edit",
     {"Rx frequency(MHz)=145.5", "Tx frequency(MHz)=146.1037", "Name=rpt1", "CTCSS tone=88.5",
      "Decode type=Ctcss Codec", "Option signaling=2 Tone", "Siganling decode=5", "SQL mode=Tone",
      "Functions/Reverse=On", "Tx power=Low", "Busy lock=Carrier"},
     20},
    // An existing channel of band 8 (the table's band limits follow from the edit).
    {"Channel edit", {"Rx frequency(MHz)=860.0037", "Talk around=On", "DCS code=999"}, 2},
    // The air band on the 150M tab (kept by the save's VFO repair), a Tx that leaves the band
    // (simplex), a second tab, and the copy at 0xD8E0 the save refreshes.
    {"VFO",
     {"150M/Rx frequency (MHz)=121.5", "150M/CTCSS tone=88.5", "450M/Rx frequency (MHz)=510",
      "450M/Offset direction=+", "450M/Offset freq(MHz)=5", "30M/Offset direction=-",
      "30M/Offset freq(MHz)=0.1", "30M/Reverse=On", "150M/Frequency step=25"}},
    // New edges, an out-of-band value on a new edge, an edited one.
    {"Scan channel",
     {"L3/Rx frequency(MHz)=430.0", "U3/Rx frequency(MHz)=440", "U3/Name=top",
      "L1/Rx frequency(MHz)=600", "L1/Tx frequency(MHz)=145.5", "U5/Rx frequency(MHz)=1500"}},
    // The decoder coefficients at 0x0080 follow the tones.
    {"2Tone",
     {"System/3/A tone=1500", "System/3/Decode 2/Format=C-D", "System/1/Alias=ABC",
      "System/16/Reply wait (s)=2.5", "Contact/4/First=1000", "Contact/4/Format=Single",
      "Contact/4/System=7", "Contact/2/First=3200"}},
    {"Model", {"Serial number=sn-42", "Model name=VM6142", "Model code=VM-6142 E/2"}},
    // 450M goes (its channels are cleared afterwards), 250M takes bank B's high range.
    {"Frequency range",
     {"150M/Rx Lower=150.003", "450M/Rx Lower=", "250M/Rx Lower=230", "250M/Tx Upper=255",
      "50M/Rx Upper=50.0123", "850M/Rx Upper=900"},
     0,
     "5207QRM"},
    // The header's user-defined entry, the block at 0xD280 and the coefficients at 0x0060.
    {"5Tone",
     {"Standard=USER DEFINDE", "A=1234.5", "Width=90", "Repeat=A", "Pre-carreier time(ms)=1234",
      "Contact/Group=3", "Alias=BOB", "Code=12A", "Infomation/Group=2", "Type=Stun",
      "Begin ID=ABC"}},
};

// The channel table's "Channel edit" button, pressed on row `row`.
void PressChannelEdit(CMainFrame& frame, int row) {
    CChildFrame* table = frame.childFrame(ID_EDIT_CHANNEL);
    QVERIFY(table && table->view()->FormView());
    auto* view = dynamic_cast<CProgramView*>(table->view()->FormView());
    QVERIFY(view);
    view->grid().SetRow(row);
    view->form().Click(CProgramView::kIdChannelEdit);
}

// What the window's user does: each field set through the view's forms.
void SetInView(CBaseFormView& view, const SameAsWindow& row) {
    if (row.record != 0) {
        auto* dialog = dynamic_cast<CFormDialog*>(&view);
        QVERIFY(dialog && dialog->GoToRecord(row.record));
    }
    if (row.password) QVERIFY(!EnterAccessCode(view, row.password));
    for (const std::string& a : row.assignments) {
        const auto eq = a.find('=');
        const auto field = FindEditorField(view, a.substr(0, eq));
        QVERIFY2(field.has_value(), a.c_str());
        const auto error = SetEditorField(view, *field, a.substr(eq + 1));
        QVERIFY2(!error, error.value_or("").c_str());
    }
}

class CatalogueWindowTest : public QObject {
    Q_OBJECT

private slots:
    void cliSetSavesWhatTheWindowSaves() {
        for (const SameAsWindow& row : kSameAsWindow) {
            const EditorEntry* entry = FindEditor(row.editor);
            QVERIFY(entry && entry->built());
            FrameUnderTest t;
            Answers answers;
            const auto window_file = t.folder.path() / "window.dat";
            const auto cli_file = t.folder.path() / "cli.dat";
            answers.file = QString::fromStdString(window_file.string());
            t.frame->OnFileSaveAs();  // the factory image as a file
            if (!row.before.empty()) {
                std::fstream f(window_file, std::ios::binary | std::ios::in | std::ios::out);
                for (const auto& [addr, value] : row.before) {
                    f.seekp(static_cast<std::streamoff>(kHeaderSize + addr));
                    f.put(static_cast<char>(value));
                }
            }
            std::filesystem::copy_file(window_file, cli_file);
            const auto factory_bytes = vm::testing::ReadBytes(window_file);

            // The command line, in-process, over a document of its own.
            RadioImage image{};
            FileHeader header{};
            BandTables bands = BandTables::Initial();
            shell::Document doc(image, header, bands);
            shell::AppState app;
            shell::LoadStartUpValues(app, t.folder.path());
            std::ostringstream out, err;
            cli::Context ctx{out, err, doc, app};
            std::vector<std::string> args = {"set", cli_file.string(), row.editor};
            if (row.record != 0) args.push_back("--record=" + std::to_string(row.record));
            if (row.password) args.push_back(std::string("--password=") + row.password);
            args.insert(args.end(), row.assignments.begin(), row.assignments.end());
            QCOMPARE(cli::Run(args, ctx), 0);
            QVERIFY2(err.str().empty(), err.str().c_str());

            // The window: File > Open, the editor opened, the same fields set, File > Save.
            t.frame->OnFileOpen();
            QVERIFY(t.document->HasCurrentFile());
            if (entry->kind == WindowKind::ModalDialog) {
                WhenModal([&row](QWidget* w) {
                    auto* host = qobject_cast<FormDialogHost*>(w);
                    QVERIFY(host);
                    SetInView(host->view(), row);
                    host->reject();
                });
                if (entry->command != 0)
                    t.frame->OpenEditor(entry->command);
                else
                    PressChannelEdit(*t.frame, 1);  // opened from the table only
            } else {
                t.frame->OpenEditor(entry->command);
                CChildFrame* child = t.frame->childFrame(entry->command);
                QVERIFY(child && child->view()->FormView());
                SetInView(*child->view()->FormView(), row);
            }
            t.frame->OnFileSave();
            QCOMPARE(answers.messages.size(), 0);
            const auto window_bytes = vm::testing::ReadBytes(window_file);
            const auto cli_bytes = vm::testing::ReadBytes(cli_file);
            QCOMPARE(window_bytes.size(), cli_bytes.size());
            // Both saving the file unchanged would be no proof: the edits reached the file.
            QVERIFY2(cli_bytes != factory_bytes,
                     (std::string(row.editor) + ": nothing changed").c_str());
            std::size_t first = 0;
            while (first < cli_bytes.size() && cli_bytes[first] == window_bytes[first]) ++first;
            QVERIFY2(first == cli_bytes.size(),
                     (std::string(row.editor) + ": first difference at file offset " +
                      std::to_string(first))
                         .c_str());
            for (const auto& [addr, value] : row.after)
                QVERIFY2(static_cast<std::uint8_t>(cli_bytes[kHeaderSize + addr]) == value,
                         (std::string(row.editor) + ": byte " + std::to_string(addr)).c_str());
        }
    }

    void scramblerCoefficientFollowsTheEditInBoth() {
        // The measured fault: 3000 Hz needs the coefficient 8192 at 0xCC2A.
        FrameUnderTest t;
        Answers answers;
        t.frame->OpenEditor(ID_EDIT_BASIC);
        CBaseFormView* view = t.frame->childFrame(ID_EDIT_BASIC)->view()->FormView();
        const auto field = FindEditorField(*view, "Option/Scarmbler(2600 - 4000Hz)");
        QVERIFY(field);
        QVERIFY(!SetEditorField(*view, *field, "3000"));
        t.frame->CommitAllViews();
        QCOMPARE((*t.image)[0xCC2A] | (*t.image)[0xCC2B] << 8, 8192);
    }

    void treeMenusAndWindowsFollowTheCatalogue() {
        FrameUnderTest t;
        QTreeWidgetItem* root = t.frame->tree()->topLevelItem(0);
        int item = 0;
        for (const EditorEntry& e : Editors()) {
            QAction* a = e.command ? t.frame->action(e.command) : nullptr;
            if (!e.tree) {
                QVERIFY(!a);  // no menu item (Alarm, Channel edit)
                continue;
            }
            QCOMPARE(root->child(item++)->text(0).toStdString(), std::string(e.name));
            QVERIFY(a);
            QCOMPARE(a->isEnabled(), e.built());
        }
        QCOMPARE(item, root->childCount());
        // The child menu's own spelling.
        QStringList child_items;
        for (QAction* a : t.frame->editMenu(true)->actions()) child_items << a->text();
        QVERIFY(child_items.contains("Scan Channel"));
        QVERIFY(!child_items.contains("Scan channel"));
        // Every built child-window editor opens with the catalogue's title, size and name.
        t.frame->mdiArea()->closeAllSubWindows();
        for (const EditorEntry& e : Editors()) {
            if (!e.built() || e.kind == WindowKind::ModalDialog) continue;
            t.frame->OpenEditor(e.command);
            CChildFrame* child = t.frame->childFrame(e.command);
            QVERIFY(child);
            QCOMPARE(child->windowTitle().toStdString(), std::string(e.title));
            QCOMPARE(child->view()->objectName().toStdString(), std::string(e.object_name));
        }
    }

    void dtmfWindowShowsItsPagesAndPttIdGroups() {
        FrameUnderTest t;
        Answers answers;
        t.frame->OpenEditor(ID_EDIT_DTMF);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_DTMF);
        QVERIFY(child);
        QStringList boxes;
        for (auto* box : child->findChildren<QGroupBox*>()) boxes << box->title();
        for (int n = 1; n <= 4; ++n) QVERIFY(boxes.contains(QString("PTT ID %1").arg(n)));
        CBaseFormView* view = child->view()->FormView();
        QVERIFY(view);
        QCOMPARE(view->Pages().size(), std::size_t{2});
        if (!qEnvironmentVariableIsEmpty("VM_SCREENSHOTS"))
            child->grab().save(qEnvironmentVariable("VM_SCREENSHOTS") + "/dtmf.png");
    }

    void alarmOpensOnItsCommandOnly() {
        FrameUnderTest t;
        Answers answers;
        QVERIFY(!t.frame->action(ID_EDIT_ALARM));
        t.frame->OpenEditor(ID_EDIT_ALARM);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_ALARM);
        QVERIFY(child);
        QCOMPARE(child->windowTitle(), QString("Alarm"));
        CBaseFormView* view = child->view()->FormView();
        QVERIFY(view);
        // The EMI code list of the factory image: "None" first.
        QCOMPARE(view->form().At(1076).entries.front(), std::string("None"));
        if (!qEnvironmentVariableIsEmpty("VM_SCREENSHOTS"))
            child->grab().save(qEnvironmentVariable("VM_SCREENSHOTS") + "/alarm.png");
    }

    void modelOpensAsModleWithItsShownOnlyFields() {
        FrameUnderTest t;
        Answers answers;
        t.frame->OpenEditor(ID_EDIT_MODEL);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_MODEL);
        QVERIFY(child);
        QCOMPARE(child->windowTitle(), QString("Modle"));
        auto* window = qobject_cast<FormViewWindow*>(child->view());
        QVERIFY(window);
        auto* serial = qobject_cast<QLineEdit*>(window->control(CModelView::kIdSerialNumber));
        auto* firmware = qobject_cast<QLineEdit*>(window->control(CModelView::kIdFirmwareVersion));
        QVERIFY(serial && firmware);
        QVERIFY(!serial->isReadOnly());
        QVERIFY(firmware->isReadOnly());
        // Typed in the window: the hyphen is swallowed.
        serial->setFocus();
        QTest::keyClicks(serial, "SN-7");
        QCOMPARE(serial->text(), QString("SN7"));
        if (!qEnvironmentVariableIsEmpty("VM_SCREENSHOTS"))
            child->grab().save(qEnvironmentVariable("VM_SCREENSHOTS") + "/model.png");
        t.frame->CommitAllViews();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(t.image->data()) + 0xFF00, 4),
                 QByteArray("SN7\xFF", 4));
    }

    void frequencyRangeUnlocksWithF11AndTheCode() {
        FrameUnderTest t;
        Answers answers;
        bool checked = false;
        const QString shots = qEnvironmentVariable("VM_SCREENSHOTS");
        auto unlock = [&](FormDialogHost* host) {
            QCOMPARE(host->windowTitle(), QString("Frequency range"));
            auto* grid = qobject_cast<QTableWidget*>(host->control(CFreqRangeDlg::kIdGrid));
            QWidget* password = host->control(CFreqRangeDlg::kIdPassword);
            QVERIFY(grid && password);
            QVERIFY(!grid->isEnabled());
            QVERIFY(!password->isVisible());
            QTest::keyClick(host, Qt::Key_F11);
            QVERIFY(password->isVisible());
            QVERIFY(password->hasFocus() ||
                    host->view().form().Focused() == CFreqRangeDlg::kIdPassword);
            QCOMPARE(qobject_cast<QLineEdit*>(password)->echoMode(), QLineEdit::Password);
            QTest::keyClicks(password, "5207qrm");
            QTest::keyClick(password, Qt::Key_Return);
            QCOMPARE(answers.messages, QStringList{"Password error!"});
            QVERIFY(!grid->isEnabled());
            if (!shots.isEmpty()) host->grab().save(shots + "/freq_range_prompt.png");
            qobject_cast<QLineEdit*>(password)->selectAll();  // the wrong code is typed over
            QTest::keyClicks(password, "5207QRM");
            QTest::keyClick(password, Qt::Key_Return);
            QCOMPARE(answers.messages.size(), 1);
            QVERIFY(grid->isEnabled());
            QVERIFY(!password->isVisible());
            if (!shots.isEmpty()) host->grab().save(shots + "/freq_range.png");
            checked = true;
        };
        WhenModal([&](QWidget* w) {
            auto* host = qobject_cast<FormDialogHost*>(w);
            if (!host) return;
            unlock(host);
            host->reject();  // a failed check above still closes the dialog
        });
        t.frame->OpenEditor(ID_EDIT_FREQ_RANGE);
        QVERIFY(checked);
        // Unlocked for the rest of the run.
        checked = false;
        WhenModal([&](QWidget* w) {
            auto* host = qobject_cast<FormDialogHost*>(w);
            if (!host) return;
            checked = host->control(CFreqRangeDlg::kIdGrid)->isEnabled();
            host->reject();
        });
        t.frame->OpenEditor(ID_EDIT_FREQ_RANGE);
        QVERIFY(checked);
    }

    void channelEditOpensOnTheTablesRowAndTheTableShowsItsEdits() {
        FrameUnderTest t;
        Answers answers;
        QString title;
        QStringList boxes;
        bool backup_shown = true;
        WhenModal([&](QWidget* w) {
            auto* host = qobject_cast<FormDialogHost*>(w);
            QVERIFY(host);
            title = host->windowTitle();
            for (auto* box : host->findChildren<QGroupBox*>())
                if (box->isVisible()) boxes << box->title();
            backup_shown = host->control(ChannelPanel::kGroupBackup)->isVisible();
            auto& dlg = dynamic_cast<CChannelEditDlg&>(host->view());
            QCOMPARE(dlg.Record(), 7);
            QCOMPARE(host->control(CChannelEditDlg::kIdChannel)->isEnabled(), true);
            // Typed into the window's Rx edit of the empty channel: Enter creates it; more
            // typed, and Esc there: checked, stored, closed.
            QWidget* rx = host->control(ChannelPanel::kIdRx);
            host->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(host));
            rx->setFocus();
            QCOMPARE(dlg.form().Focused(), int{ChannelPanel::kIdRx});
            QTest::keyClicks(rx, "433.0037");
            QTest::keyClick(rx, Qt::Key_Return);
            QVERIFY(host->control(ChannelPanel::kIdTxPower)->isEnabled());
            if (!qEnvironmentVariableIsEmpty("VM_SCREENSHOTS"))
                host->grab().save(qEnvironmentVariable("VM_SCREENSHOTS") + "/channel_edit.png");
            qobject_cast<QLineEdit*>(rx)->selectAll();
            QTest::keyClicks(rx, "434.1037");
            QTest::keyClick(rx, Qt::Key_Escape);
        });
        PressChannelEdit(*t.frame, 7);
        QCOMPARE(title, QString("Channel edit"));
        for (const char* caption : {"Frequency", "Tone", "Signaling", "Channel", "Functions"})
            QVERIFY2(boxes.contains(caption), caption);
        QVERIFY(!backup_shown);
        QVERIFY(!t.frame->findChild<FormDialogHost*>());
        // The table, reloaded: row 7 holds the snapped frequency.
        auto* view =
            dynamic_cast<CProgramView*>(t.frame->childFrame(ID_EDIT_CHANNEL)->view()->FormView());
        QVERIFY(view);
        QCOMPARE(QString::fromStdString(view->grid().Text(7, CProgramView::kColRx)),
                 QString("434.10000"));
        QCOMPARE(answers.messages.size(), 0);
    }

    void vfoTabsFollowTheBandsAndOnlyTheCloseBoxClosesIt() {
        FrameUnderTest t;
        Answers answers;
        QStringList tabs;
        bool open_after_esc = false;
        WhenModal([&](QWidget* w) {
            auto* host = qobject_cast<FormDialogHost*>(w);
            QVERIFY(host);
            auto* bar = qobject_cast<QTabBar*>(host->control(CVfoDlg::kIdTab));
            QVERIFY(bar);
            for (int i = 0; i < bar->count(); ++i) tabs << bar->tabText(i);
            host->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(host));
            bar->setCurrentIndex(static_cast<int>(tabs.indexOf("150M")));
            QWidget* rx = host->control(ChannelPanel::kIdRx);
            rx->setFocus();
            qobject_cast<QLineEdit*>(rx)->selectAll();
            QTest::keyClicks(rx, "121.5");
            QTest::keyClick(rx, Qt::Key_Escape);  // ignored
            open_after_esc = host->isVisible();
            if (!qEnvironmentVariableIsEmpty("VM_SCREENSHOTS"))
                host->grab().save(qEnvironmentVariable("VM_SCREENSHOTS") + "/vfo.png");
            host->close();  // the close box: the focused Rx checked, the VFO stored
        });
        t.frame->OpenEditor(ID_EDIT_VFO);
        QVERIFY(open_after_esc);
        QVERIFY(!tabs.contains("108M"));
        QVERIFY(tabs.contains("150M R"));
        const auto vfo = static_cast<std::size_t>(0xCA40 + 32 * 4);
        QCOMPARE((*t.image)[vfo + 2], std::uint8_t{0x15});  // 121.50000, BCD
        QCOMPARE((*t.image)[vfo + 3], std::uint8_t{0x12});
        QCOMPARE(answers.messages.size(), 0);
    }

    void scanChannelTabsShowTheTenEdges() {
        FrameUnderTest t;
        Answers answers;
        t.frame->OpenEditor(ID_EDIT_SCAN);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_SCAN);
        QVERIFY(child);
        auto* view = dynamic_cast<CScanChView*>(child->view()->FormView());
        QVERIFY(view);
        auto* bar = child->findChild<QTabBar*>();
        QVERIFY(bar);
        QCOMPARE(bar->count(), 10);
        QCOMPARE(bar->tabText(4), QString("L3"));
        bar->setCurrentIndex(4);
        QCOMPARE(view->record(), 4);
        view->form().Focus(ChannelPanel::kIdRx);
        view->form().ReplaceText(ChannelPanel::kIdRx, "430");
        view->form().Focus(0);
        QCOMPARE(view->form().Text(ChannelPanel::kIdTx), std::string("430.00000"));
        if (!qEnvironmentVariableIsEmpty("VM_SCREENSHOTS"))
            child->grab().save(qEnvironmentVariable("VM_SCREENSHOTS") + "/scan_channel.png");
        bar->setCurrentIndex(5);
        QCOMPARE(view->record(), 5);
        QCOMPARE((*t.image)[0xC980 + 3], std::uint8_t{0x43});
    }

    void groupBoxesHoldTheirControls() {
        // A form with two groups of the same labels, rendered by the generic window.
        class TwoGroups : public CBaseFormView {
        public:
            void OnInitialUpdate() override {
                for (int g : {1, 2}) {
                    form_.Add(100 * g, ControlKind::Group).text = "PTT ID " + std::to_string(g);
                    Control& up = form_.AddEdit(100 * g + 1, 8);
                    up.label = "Up";
                    up.group = 100 * g;
                }
            }
        };
        auto view = std::make_unique<TwoGroups>();
        view->OnInitialUpdate();
        const FormLayout layout = DefaultLayout(view->form());
        FormViewWindow w(std::move(view), layout);
        auto* box = qobject_cast<QGroupBox*>(w.control(200));
        QVERIFY(box);
        QCOMPARE(box->title(), QString("PTT ID 2"));
        QCOMPARE(w.control(201)->parentWidget(), box);
        QCOMPARE(w.control(101)->parentWidget(), w.control(100));
    }
};

}  // namespace
}  // namespace vm::gui

VM_WINDOW_TEST(vm::gui::CatalogueWindowTest);
#include "catalogue_window_test.moc"
