// The editor's windows on the offscreen platform: start-up, tree and menus, editors, the file
// commands, the grid's in-place editors, transfers against the simulated radio, the Port
// dialog, the service unlock, Custom Data, About, and printing to PDF.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTextBrowser>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/editors/channels/program_view.h"
#include "app/gui/about_box.h"
#include "app/gui/channel_print_list.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/custom_data_dlg.h"
#include "app/gui/editor_windows.h"
#include "app/gui/form_binder.h"
#include "app/gui/grid_widget.h"
#include "app/gui/key_lock_panes.h"
#include "app/gui/password_dlg.h"
#include "app/gui/port_dlg.h"
#include "app/gui/printing.h"
#include "app/gui/program_app.h"
#include "app/gui/transfer_dlg.h"
#include "app/gui/window_menu.h"
#include "app/image/channel_record.h"
#include "app/shell/globals.h"
#include "gui_fixture.h"
#include "tools/radio/simulated_radio.h"

using namespace vm;
using namespace vm::gui;
using namespace vm::gui::testing;

namespace {

// The frame's own title: the framework adds " - [child]" while a child window is maximised.
QString OwnTitle(const QWidget& frame) {
    const QString title = frame.windowTitle();
    const qsizetype child = title.indexOf(" - [");
    return child < 0 ? title : title.left(child);
}

std::string Markers(const RadioRecord& r) {
    std::string s;
    for (const auto& m : r.end_markers) s += m + " ";
    return s;
}

QStringList Texts(const QList<QAction*>& actions) {
    QStringList t;
    for (QAction* a : actions)
        if (!a->isSeparator()) t << a->text();
    return t;
}

// The channel table's window: the generic single-form window over the table.
struct ChannelTableWindow {
    FormViewWindow* window;
    GridWidget* grid() const { return window->grid(CProgramView::kIdGrid); }
    QWidget* control(int id) const { return window->control(id); }
    CProgramView& view() const { return dynamic_cast<CProgramView&>(window->base_view()); }
    int logicalDpiX() const { return window->logicalDpiX(); }
    int logicalDpiY() const { return window->logicalDpiY(); }
};

std::optional<ChannelTableWindow> ChannelWindow(CMainFrame& frame) {
    CChildFrame* child = frame.childFrame(ID_EDIT_CHANNEL);
    auto* w = child ? qobject_cast<FormViewWindow*>(child->view()) : nullptr;
    if (!w) return std::nullopt;
    return ChannelTableWindow{w};
}

// Waits that cost nothing when the radio answers.
LinkTiming QuickTiming() {
    LinkTiming t;
    t.wake_byte_sleep = std::chrono::microseconds(0);
    t.ack_sleep = std::chrono::microseconds(0);
    return t;
}

// The captions of the transfer dialogs shown, however briefly.
class ShownTransfers : public QObject {
public:
    ShownTransfers() { qApp->installEventFilter(this); }
    QStringList captions;

protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Show)
            if (auto* dlg = qobject_cast<CTransferDlg*>(o)) captions << dlg->windowTitle();
        return false;
    }
};

struct Radio {
    std::unique_ptr<RadioImage> memory = std::make_unique<RadioImage>();
    std::unique_ptr<FileHeader> header = std::make_unique<FileHeader>();
    std::unique_ptr<SimulatedRadio> radio;

    explicit Radio(const RadioImage& content, RadioOptions options = {}) {
        *memory = content;
        radio = std::make_unique<SimulatedRadio>(*memory, *header, options);
        std::string error;
        if (!radio->Open(error)) qFatal("radio: %s", error.c_str());
        radio->Start();
    }
    ~Radio() { radio->Stop(); }
};

void PressStartWhenShown(const QString& expected_caption = {}, QString* seen_caption = nullptr) {
    WhenModal([expected_caption, seen_caption](QWidget* w) {
        auto* dlg = qobject_cast<CTransferDlg*>(w);
        if (!dlg) return;
        if (seen_caption) *seen_caption = dlg->windowTitle();
        QTest::mouseClick(dlg->startButton(), Qt::LeftButton);
    });
}

}  // namespace

class GuiTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetHooks(); }

    // ---- start-up and exit
    void startUpOrderTitleAndPortWriteBack() {
        AppFolder folder("[Setup]\r\nCOM=COM1\r\nModel=VM6142T\r\nCompany=ACME Radio\r\n");
        CommandLine line;
        line.port = "/dev/pts/none";
        auto program = std::make_unique<CProgramApp>(folder.path().string(), line);
        CMainFrame& frame = program->frame();
        QCOMPARE(OwnTitle(frame), QString("VM6142T"));
        QCOMPARE(frame.tree()->topLevelItem(0)->text(0), QString("VM6142T"));
        QCOMPARE(QString::fromStdString(shell::g_App.default_file_name), QString("VM6142T.dat"));
        QVERIFY(QDir(folder.file("DATA")).exists());
        QCOMPARE(frame.comPane()->text(), QString("/dev/pts/none"));
        // The channel table is open, maximised, as "Channel Infomation".
        CChildFrame* child = frame.childFrame(ID_EDIT_CHANNEL);
        QVERIFY(child);
        QVERIFY(child->isMaximized());
        QCOMPARE(child->windowTitle(), QString("Channel Infomation"));
        // "Custom Data" is in neither menu at start.
        for (bool child_menu : {false, true})
            for (QAction* a : frame.editMenu(child_menu)->actions())
                QVERIFY(a->data().toInt() != ID_EDIT_CUSTOM_DATA);
        // The image was reset from "Default.dat".
        QFile dat(folder.file("Default.dat"));
        QVERIFY(dat.open(QIODevice::ReadOnly));
        const QByteArray bytes = dat.readAll();
        QCOMPARE(bytes.size(), qsizetype(kDataFileSize));
        QCOMPARE(static_cast<std::uint8_t>(bytes[qsizetype(kHeaderSize + 0xFF00)]),
                 shell::g_RadioImage[0xFF00]);
        // A port given on the command line is not written back; one chosen later is.
        QVERIFY(!program->ExitInstance());
        QCOMPARE(QString::fromStdString(shell::g_App.settings.Read("Setup", "COM", "")),
                 QString("COM1"));
        shell::g_App.port_path = "COM3";
        QVERIFY(program->ExitInstance());
        QCOMPARE(QString::fromStdString(shell::g_App.settings.Read("Setup", "COM", "")),
                 QString("COM3"));
        QCOMPARE(AppTitle(), QString("VM6142T"));
        SetAppTitle("VM6142");
        // Qt's display name stays unset: the platform would append it to every window title.
        QVERIFY(QGuiApplication::applicationDisplayName() == QCoreApplication::applicationName());
    }

    void commandLine() {
        QCOMPARE(ParseCommandLine({"Program", "--port", "/dev/ttyUSB0"}).port.value(),
                 std::string("/dev/ttyUSB0"));
        QCOMPARE(ParseCommandLine({"Program", "--port=COM4"}).port.value(), std::string("COM4"));
        QVERIFY(!ParseCommandLine({"Program"}).port);
        QCOMPARE(ParseCommandLine({"Program", "--bogus"}).error, QString("--bogus"));
    }

    // ---- the generic binder on a form of every kind of control
    void binderRendersAndForwards() {
        Form form;
        form.AddEdit(10, 4, CharsFilter("0123456789ABCDEF"), true);
        form.Add(11, ControlKind::Check).text = "Beep";
        form.AddEdit(12);
        SpinSettings spin;
        spin.min = 1;
        spin.max = 3;
        spin.buddy = 12;
        spin.sets_buddy = true;
        spin.increment = 1;
        form.AddSpin(13, spin);
        form.Add(14, ControlKind::Tab).entries = {"One", "Two", "Three"};
        form.At(14).selection = 0;
        form.AddList(15, {"Off", "On"});
        form.AddCombo(16, 5);
        form.At(16).entries = {"67.0", "71.9"};
        form.Add(17, ControlKind::Static).text = "Label";
        form.SetText(12, "1");
        std::vector<std::string> events;
        form.On(EventType::FocusLost, 0, [&](const Event& e) {
            events.push_back("lost " + std::to_string(e.id));
            return false;
        });
        form.On(EventType::CharTyped, 10, [&](const Event& e) {
            events.push_back(std::string("char ") + e.ch + (e.accepted ? "+" : "-"));
            return false;
        });
        form.On(EventType::TabChanging, 14,
                [&](const Event&) { return form.Text(12) == "3"; });  // veto on 3
        form.On(EventType::SelectionChanged, 0, [&](const Event& e) {
            events.push_back("sel " + std::to_string(e.id) + " " + std::to_string(e.index));
            return false;
        });

        QWidget window;
        FormBinder binder(form, &window);
        auto* layout = new QVBoxLayout(&window);
        for (int id : form.Ids()) layout->addWidget(binder.widget(id));
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        auto* hex = qobject_cast<QLineEdit*>(binder.widget(10));
        hex->setFocus();
        QTest::keyClicks(hex, "a1g2b3");  // upper-cased, 'g' swallowed, limit 4
        QCOMPARE(hex->text(), QString("A12B"));
        QCOMPARE(QString::fromStdString(form.Text(10)), QString("A12B"));
        QCOMPARE(events.front(), std::string("char a+"));
        QVERIFY(std::find(events.begin(), events.end(), std::string("char g-")) != events.end());
        // Leaving the edit raises the lost focus.
        events.clear();
        binder.widget(12)->setFocus();
        QCOMPARE(events, std::vector<std::string>{"lost 10"});
        QCOMPARE(form.Focused(), 12);

        // The form's changes reach the widgets.
        form.SetText(10, "FF");
        QCOMPARE(hex->text(), QString("FF"));
        form.SetEnabled(10, false);
        QVERIFY(!hex->isEnabled());
        form.SetVisible(17, false);
        QVERIFY(binder.widget(17)->isHidden());
        QCOMPARE(qobject_cast<QLabel*>(binder.widget(17))->text(), QString("Label"));

        // Check box, spin, tabs, lists.
        qobject_cast<QCheckBox*>(binder.widget(11))->click();
        QVERIFY(form.Checked(11));
        QVERIFY(qobject_cast<QCheckBox*>(binder.widget(11))->isChecked());
        auto* up = binder.widget(13)->findChild<QToolButton*>("up");
        QTest::mouseClick(up, Qt::LeftButton);
        QTest::mouseClick(up, Qt::LeftButton);
        QCOMPARE(qobject_cast<QLineEdit*>(binder.widget(12))->text(), QString("3"));
        auto* tabs = qobject_cast<QTabBar*>(binder.widget(14));
        tabs->setCurrentIndex(2);  // vetoed while the spin's edit holds 3
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(form.Selection(14), 0);
        QTest::mouseClick(binder.widget(13)->findChild<QToolButton*>("down"), Qt::LeftButton);
        tabs->setCurrentIndex(2);
        QCOMPARE(form.Selection(14), 2);
        auto* list = qobject_cast<QComboBox*>(binder.widget(15));
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->currentIndex(), -1);
        events.clear();
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(form.Selection(15), 0);
        auto* combo = qobject_cast<QComboBox*>(binder.widget(16));
        QVERIFY(combo->isEditable());
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);
        QCOMPARE(QString::fromStdString(form.Text(16)), QString("67.0"));
        QVERIFY(std::find(events.begin(), events.end(), std::string("sel 16 0")) != events.end());
    }

    // ---- tree, menus, toolbar, status bar
    void treeItemsInOrder() {
        FrameUnderTest t;
        QTreeWidget* tree = t.frame->tree();
        QCOMPARE(tree->objectName(), QString("2001"));
        QCOMPARE(t.frame->treeBar()->windowTitle(), QString("Tree Bar"));
        QCOMPARE(t.frame->dockWidgetArea(t.frame->treeBar()), Qt::LeftDockWidgetArea);
        QCOMPARE(tree->topLevelItemCount(), 1);
        QTreeWidgetItem* root = tree->topLevelItem(0);
        QCOMPARE(root->text(0), QString("VM6142"));
        QVERIFY(root->isExpanded());
        QStringList items;
        for (int i = 0; i < root->childCount(); ++i) items << root->child(i)->text(0);
        QCOMPARE(items, QStringList({"Channel setting", "VFO", "Scan channel", "Basic setting",
                                     "DTMF", "2Tone", "5Tone", "Model", "Frequency range"}));
        // Built editors are enabled (one without a factory would stay visible and disabled, in
        // the menu too); every editor of the tree is built.
        QVERIFY(root->child(0)->flags() & Qt::ItemIsEnabled);
        int disabled = 0;
        for (const EditorEntry& e : Editors()) {
            if (!e.tree) continue;
            const bool built = e.built();
            for (int i = 0; i < root->childCount(); ++i)
                if (root->child(i)->text(0).toStdString() == e.name)
                    QCOMPARE(bool(root->child(i)->flags() & Qt::ItemIsEnabled), built);
            QCOMPARE(t.frame->action(e.command)->isEnabled(), built);
            disabled += !built;
        }
        QCOMPARE(disabled, 0);
    }

    void treeClickOpensOrActivates() {
        FrameUnderTest t;
        QMdiArea* mdi = t.frame->mdiArea();
        QCOMPARE(mdi->subWindowList().size(), 1);
        QTreeWidgetItem* root = t.frame->tree()->topLevelItem(0);
        t.frame->OnTreeClicked(root);  // the root opens nothing
        QCOMPARE(mdi->subWindowList().size(), 1);
        t.frame->OnTreeClicked(root->child(0));  // open: only activated
        QCOMPARE(mdi->subWindowList().size(), 1);
        mdi->closeAllSubWindows();
        QCoreApplication::processEvents();
        QCOMPARE(mdi->subWindowList().size(), 0);
        // A real click on the item's rectangle.
        QTreeWidget* tree = t.frame->tree();
        const QRect r = tree->visualItemRect(root->child(0));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, r.center());
        QCOMPARE(mdi->subWindowList().size(), 1);
        QVERIFY(mdi->subWindowList().front()->isMaximized());
        // Another editor's item opens its own window beside the first.
        QTreeWidgetItem* basic = root->child(3);
        QCOMPARE(basic->text(0), QString("Basic setting"));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                          tree->visualItemRect(basic).center());
        QCOMPARE(mdi->subWindowList().size(), 2);
    }

    void menusBothVariants() {
        FrameUnderTest t;
        CMainFrame& f = *t.frame;
        QCOMPARE(Texts(f.menu(false, 0)->actions()),
                 QStringList({"&New(&N)", "&Open(&O)...", "&Save(&S)", "Save &As(&A)...",
                              "Open &Backup...", "Co&mpare With...", "&Print...", "Print Pre&view",
                              "P&rint Setup...", "&Import Channels...", "&Export Channels...",
                              "E&xit(&X)"}));
        QCOMPARE(Texts(f.editMenu(false)->actions()),
                 QStringList({"Channel setting", "VFO", "Scan channel", "Basic setting", "DTMF",
                              "2Tone", "5Tone", "Model", "Frequency range"}));
        QCOMPARE(Texts(f.editMenu(true)->actions()),
                 QStringList({"Channel setting", "VFO", "Scan Channel", "Basic setting", "DTMF",
                              "2Tone", "5Tone", "Model", "Frequency range"}));
        QCOMPARE(Texts(f.menu(false, 2)->actions()), QStringList({"Read", "Write"}));
        QCOMPARE(f.menu(false, 2)->actions()[0]->data().toInt(), 32774);
        QCOMPARE(f.menu(false, 2)->actions()[1]->data().toInt(), 32773);
        QCOMPARE(Texts(f.menu(false, 3)->actions()),
                 QStringList({"&Toolbar(&T)", "&Status Bar(&S)", "Tree View"}));
        QCOMPARE(Texts(f.menu(false, 4)->actions()), QStringList({"Port"}));
        QCOMPARE(Texts(f.menu(false, 5)->actions()),
                 QStringList({"Cascade(&C)", "Tile(&T)", "Arrange(&A)"}));
        QCOMPARE(Texts(f.menu(false, 6)->actions()), QStringList({"About..."}));
        QCOMPARE(f.action(ID_FILE_NEW)->shortcut(), QKeySequence("Ctrl+N"));
        QCOMPARE(f.action(ID_FILE_OPEN)->shortcut(), QKeySequence("Ctrl+O"));
        QCOMPARE(f.action(ID_FILE_SAVE)->shortcut(), QKeySequence("Ctrl+S"));
        QCOMPARE(f.action(ID_FILE_PRINT)->shortcut(), QKeySequence("Ctrl+P"));
        QVERIFY(f.action(ID_EDIT_CHANNEL)->isEnabled());

        // The child menu is shown while a child window is active, the frame's otherwise.
        QVERIFY(f.childMenuShown());
        QCOMPARE(f.menuBar()->actions().size(), 7);
        QCOMPARE(f.menuBar()->actions()[1]->menu(), f.editMenu(true));
        f.mdiArea()->closeAllSubWindows();
        QCoreApplication::processEvents();
        QVERIFY(!f.childMenuShown());
        QCOMPARE(f.menuBar()->actions()[1]->menu(), f.editMenu(false));

        // Toolbar buttons in order; status panes.
        QList<int> ids;
        for (QAction* a : f.toolBar()->actions()) ids << (a->isSeparator() ? 0 : a->data().toInt());
        QCOMPARE(ids,
                 QList<int>({ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, 0, ID_PROGRAM_READ,
                             ID_PROGRAM_WRITE, 0, ID_FILE_PRINT, ID_SETTING_PORT, ID_APP_ABOUT}));
        QVERIFY(f.comPane()->text().startsWith("COM1"));  // and the device, when COM1 has one
        QCOMPARE(f.freqPane()->text(), QString());

        // Tree View hides and shows the tree bar; its check mark follows.
        QVERIFY(f.action(ID_VIEW_TREE)->isChecked());
        f.action(ID_VIEW_TREE)->trigger();
        QVERIFY(f.treeBar()->isHidden());
        QVERIFY(!f.action(ID_VIEW_TREE)->isChecked());
        f.action(ID_VIEW_TREE)->trigger();
        QVERIFY(!f.treeBar()->isHidden());
        QVERIFY(f.action(ID_VIEW_TREE)->isChecked());
    }

    void viewAndWindowCommands() {
        FrameUnderTest t;
        CMainFrame& f = *t.frame;
        f.Execute(ID_VIEW_TOOLBAR);
        QVERIFY(f.toolBar()->isHidden());
        QVERIFY(!f.action(ID_VIEW_TOOLBAR)->isChecked());
        f.Execute(ID_VIEW_TOOLBAR);
        QVERIFY(!f.toolBar()->isHidden());
        f.Execute(ID_VIEW_STATUS_BAR);
        QVERIFY(f.statusBar()->isHidden());
        f.Execute(ID_VIEW_STATUS_BAR);
        QVERIFY(!f.statusBar()->isHidden());
        // Cascade and Tile take the table out of its maximised state.
        QVERIFY(f.childFrame(ID_EDIT_CHANNEL)->isMaximized());
        f.Execute(ID_WINDOW_TILE_HORZ);
        QVERIFY(!f.childFrame(ID_EDIT_CHANNEL)->isMaximized());
        QCOMPARE(f.childFrame(ID_EDIT_CHANNEL)->geometry(), f.mdiArea()->viewport()->rect());
        f.Execute(ID_WINDOW_CASCADE);
        QCOMPARE(f.childFrame(ID_EDIT_CHANNEL)->pos(), QPoint(0, 0));
    }

    // The title is the frame's own from the first window on, with the maximised child's added.
    void titleNamesTheFileAndTheMaximisedChild() {
        AppFolder folder("[Setup]\r\nCOM=COM1\r\nModel=VM6142T\r\n");
        CommandLine line;
        line.port = "/dev/pts/none";
        auto program = std::make_unique<CProgramApp>(folder.path().string(), line);
        CMainFrame& f = program->frame();
        QCOMPARE(f.windowTitle(), QString("VM6142T - [Channel Infomation]"));
        f.OpenEditor(ID_EDIT_BASIC);  // opens maximised, as the current child is
        CChildFrame* basic = f.childFrame(ID_EDIT_BASIC);
        QVERIFY(basic->isMaximized());
        QCOMPARE(f.windowTitle(), QString("VM6142T - [Basic setting]"));
        basic->showNormal();
        QCOMPARE(f.windowTitle(), QString("VM6142T"));
        basic->showMaximized();
        QCOMPARE(f.windowTitle(), QString("VM6142T - [Basic setting]"));
        // A new file name reaches the title while a child is maximised, and stays after it.
        Answers answers;
        answers.file = folder.file("DATA/named.dat");
        f.Execute(ID_FILE_SAVE_AS);
        const QString own = QString("VM6142T [ %1 ]").arg(answers.file);
        QCOMPARE(f.ownTitle(), own);
        QCOMPARE(f.windowTitle(), own + " - [Basic setting]");
        basic->showNormal();
        QCOMPARE(f.windowTitle(), own);
        f.mdiArea()->setActiveSubWindow(f.childFrame(ID_EDIT_CHANNEL));
        f.childFrame(ID_EDIT_CHANNEL)->showMaximized();
        QCOMPARE(f.windowTitle(), own + " - [Channel Infomation]");
        f.mdiArea()->closeAllSubWindows();
        QCoreApplication::processEvents();
        QCOMPARE(f.windowTitle(), own);
        answers.answer = MessageAnswer::Yes;
        f.Execute(ID_FILE_NEW);
        QCOMPARE(f.windowTitle(), QString("VM6142T"));
        program.reset();
        SetAppTitle("VM6142");
    }

    // "Ready" is what the message pane shows whenever no passing message covers it; the
    // key-state panes follow the COM and Freq panes.
    void statusBarPanes() {
        FrameUnderTest t;
        CMainFrame& f = *t.frame;
        QLabel* ready = f.messagePane();
        QCOMPARE(ready->text(), QString("Ready"));
        QVERIFY(ready->isVisible());
        f.statusBar()->showMessage("Reading");
        QVERIFY(ready->isHidden());
        // What a menu item's status tip does on its way past: the idle text comes back.
        QStatusTipEvent tip("");
        QCoreApplication::sendEvent(&f, &tip);
        QCOMPARE(f.statusBar()->currentMessage(), QString());
        QVERIFY(ready->isVisible());
        QCOMPARE(ready->text(), QString("Ready"));
        // Panes left to right: message, COM, Freq, CAP, NUM, SCRL.
        KeyLockPanes* locks = f.lockPanes();
        const QList<QWidget*> order = {ready,         f.comPane(),  f.freqPane(),
                                       locks->caps(), locks->num(), locks->scroll()};
        for (qsizetype i = 1; i < order.size(); ++i)
            QVERIFY2(order[i - 1]->x() < order[i]->x(), qPrintable(order[i]->objectName()));
        // The offscreen platform cannot tell the lock states: blank panes that say so.
        for (QLabel* pane : {locks->caps(), locks->num(), locks->scroll()}) {
            QCOMPARE(pane->text(), QString());
            QCOMPARE(pane->toolTip(), QString(KeyLockPanes::kUnavailable));
        }
    }

    void lockPanesFollowTheKeys() {
        QMainWindow window;
        std::optional<LockKeys> state;
        int reads = 0;
        auto* panes = new KeyLockPanes(*window.statusBar(), [&] {
            ++reads;
            return state;
        });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        struct Case {
            std::optional<LockKeys> keys;
            QStringList shown;
        };
        const Case cases[] = {
            {LockKeys{true, false, false}, {"CAP", "", ""}},
            {LockKeys{false, true, true}, {"", "NUM", "SCRL"}},
            {LockKeys{true, true, true}, {"CAP", "NUM", "SCRL"}},
            {LockKeys{}, {"", "", ""}},
            {std::nullopt, {"", "", ""}},
        };
        for (const Case& c : cases) {
            state = c.keys;
            const int before = reads;
            QTest::keyClick(window.windowHandle(), Qt::Key_CapsLock);
            QCOMPARE(reads, before + 2);  // once for the press, once for the release
            QCOMPARE(
                QStringList({panes->caps()->text(), panes->num()->text(), panes->scroll()->text()}),
                c.shown);
            QCOMPARE(panes->caps()->toolTip().isEmpty(), c.keys.has_value());
        }
    }

    // Cascade keeps every window usable and inside the area; the Window menu lists the open
    // windows, numbered, the current one checked, and activates the one chosen.
    void cascadeAndTheWindowList() {
        FrameUnderTest t;
        CMainFrame& f = *t.frame;
        f.OpenEditor(ID_EDIT_BASIC);
        QMdiArea* mdi = f.mdiArea();
        CChildFrame* channels = f.childFrame(ID_EDIT_CHANNEL);
        CChildFrame* basic = f.childFrame(ID_EDIT_BASIC);
        QCOMPARE(mdi->currentSubWindow(), basic);
        f.Execute(ID_WINDOW_CASCADE);
        const QRect area = mdi->viewport()->rect();
        for (CChildFrame* w : {channels, basic}) {
            QVERIFY(!w->isMaximized());
            QVERIFY2(area.contains(w->geometry()), qPrintable(w->windowTitle()));
            QVERIFY2(w->width() >= area.width() / 2 && w->height() >= area.height() / 2,
                     qPrintable(QString("%1: %2 x %3 in %4 x %5")
                                    .arg(w->windowTitle())
                                    .arg(w->width())
                                    .arg(w->height())
                                    .arg(area.width())
                                    .arg(area.height())));
        }
        QCOMPARE(channels->pos(), QPoint(0, 0));
        QVERIFY(basic->x() > 0 && basic->x() == basic->y());  // staggered, on top, current
        QCOMPARE(mdi->currentSubWindow(), basic);

        QMenu* window = f.menu(f.childMenuShown(), 5);
        auto listed = [&] {
            window->popup(QPoint(0, 0));
            QStringList texts;
            QList<QAction*> entries;
            const QList<QAction*> all = window->actions();
            for (qsizetype i = 3; i < all.size(); ++i) {
                texts << (all[i]->isSeparator() ? "-"
                          : all[i]->isChecked() ? "* " + all[i]->text()
                                                : all[i]->text());
                entries << all[i];
            }
            window->hide();
            return std::make_pair(texts, entries);
        };
        auto [texts, entries] = listed();
        QCOMPARE(texts, QStringList({"-", "&1 Channel Infomation", "* &2 Basic setting"}));
        entries[1]->trigger();
        QCOMPARE(mdi->currentSubWindow(), channels);
        // A minimised window chosen from the list comes back.
        basic->showMinimized();  // Qt leaves the window it minimises current
        std::tie(texts, entries) = listed();
        QCOMPARE(texts, QStringList({"-", "&1 Channel Infomation", "* &2 Basic setting"}));
        entries[1]->trigger();
        QVERIFY(basic->isMinimized());
        std::tie(texts, entries) = listed();
        QCOMPARE(texts, QStringList({"-", "* &1 Channel Infomation", "&2 Basic setting"}));
        entries[2]->trigger();
        QCOMPARE(mdi->currentSubWindow(), basic);
        QVERIFY(!basic->isMinimized());
        // No windows, no list.
        mdi->closeAllSubWindows();
        QCoreApplication::processEvents();
        window = f.menu(f.childMenuShown(), 5);
        std::tie(texts, entries) = listed();
        QCOMPARE(texts, QStringList());
    }

    void cascadeGeometry() {
        struct Case {
            QSize area;
            int count;
            int step;
            QSize least;
            QList<QRect> expected;
        };
        const Case cases[] = {
            {{800, 600}, 1, 20, {400, 300}, {QRect(0, 0, 800, 600)}},
            {{800, 600},
             3,
             20,
             {400, 300},
             {{0, 0, 760, 560}, {20, 20, 760, 560}, {40, 40, 760, 560}}},
            // Too many for one pile: half the area each, the stagger starts over.
            {{400, 300},
             5,
             50,
             {200, 150},
             {{0, 0, 200, 150},
              {50, 50, 200, 150},
              {100, 100, 200, 150},
              {150, 150, 200, 150},
              {0, 0, 200, 150}}},
            // A window's least size wins over the stagger, but never over the area.
            {{300, 200}, 2, 10, {500, 150}, {{0, 0, 300, 190}, {0, 10, 300, 190}}},
            {{800, 600}, 0, 20, {400, 300}, {}},
            {{0, 0}, 2, 20, {400, 300}, {}},
        };
        for (const Case& c : cases) {
            const std::vector<QRect> got = CascadeRects(c.area, c.count, c.step, c.least);
            QCOMPARE(QList<QRect>(got.begin(), got.end()), c.expected);
        }
    }

    // ---- file commands
    void fileNewAsksAndResets() {
        FrameUnderTest t;
        Answers answers;
        const RadioImage original = *t.image;
        (*t.image)[0x0200] ^= 0xFF;
        answers.answer = MessageAnswer::No;
        t.frame->Execute(ID_FILE_NEW);
        QCOMPARE(answers.messages, QStringList({"Clear all data! \ncontinue?"}));
        QCOMPARE(answers.captions, QStringList({"Warnning"}));
        QVERIFY((*t.image)[0x0200] != original[0x0200]);
        answers.answer = MessageAnswer::Yes;
        t.frame->Execute(ID_FILE_NEW);
        QCOMPARE((*t.image)[0x0200], original[0x0200]);
        QCOMPARE(OwnTitle(*t.frame), QString("VM6142"));
    }

    void saveAsOpenAndSave() {
        FrameUnderTest t;
        Answers answers;
        // Without a current file, Save behaves as Save As.
        const QString path = t.folder.file("DATA/mine.dat");
        answers.file = path;
        (*t.image)[kModelInfo] = 'Z';
        (*t.image)[kCommitByte] = 0xFF;
        t.frame->Execute(ID_FILE_SAVE);
        QCOMPARE(answers.choices.size(), 1);
        QVERIFY(answers.choices[0].save);
        QCOMPARE(answers.choices[0].file_name, QString("VM6142.dat"));
        QCOMPARE(answers.choices[0].folder, QString::fromStdString(t.app.data_folder.string()));
        QCOMPARE(answers.choices[0].filter, QString("Param Files (*.dat)"));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray bytes = saved.readAll();
        saved.close();
        QCOMPARE(bytes.size(), qsizetype(kDataFileSize));
        QCOMPARE(bytes.left(16), QByteArray("VM6142\xFF\xFF\x56\x02\x00\x07\xFF\xFF\xFF\xFF", 16));
        QCOMPARE(bytes[qsizetype(kHeaderSize + kModelInfo)], 'Z');
        // The commit before saving cleared bits 0-1 of 0xCC25.
        QCOMPARE(static_cast<std::uint8_t>(bytes[qsizetype(kHeaderSize + kCommitByte)]),
                 std::uint8_t{0xFC});
        QCOMPARE(OwnTitle(*t.frame), QString("VM6142 [ %1 ]").arg(path));

        // Save with a current file asks nothing.
        (*t.image)[kModelInfo] = 'Y';
        t.frame->Execute(ID_FILE_SAVE);
        QCOMPARE(answers.choices.size(), 1);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll()[qsizetype(kHeaderSize + kModelInfo)], 'Y');
        saved.close();

        // Open: a file that is not a data file changes nothing.
        QFile bad(t.folder.file("DATA/bad.dat"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(QByteArray(int(kDataFileSize), 'x'));
        bad.close();
        answers.file = bad.fileName();
        t.frame->Execute(ID_FILE_OPEN);
        QCOMPARE(answers.messages, QStringList({"File does not match"}));
        QCOMPARE(answers.captions.back(), AppTitle());
        QCOMPARE((*t.image)[kModelInfo], std::uint8_t('Y'));

        // Open: the saved file comes back, and the open views show it.
        (*t.image)[kModelInfo] = 'Q';
        InitChannelRecord(*t.image, 7, 14550000, t.bands);  // an unsaved edit, overwritten
        t.frame->ReloadAllViews();
        answers.file = path;
        t.frame->Execute(ID_FILE_OPEN);
        QCOMPARE((*t.image)[kModelInfo], std::uint8_t('Y'));
        QCOMPARE(ChannelWindow(*t.frame)->view().grid().Text(7, CProgramView::kColRx),
                 std::string());
        QCOMPARE(answers.choices.back().save, false);
        QCOMPARE(OwnTitle(*t.frame), QString("VM6142 [ %1 ]").arg(path));

        // Open with no editor window open opens the channel table.
        t.frame->mdiArea()->closeAllSubWindows();
        QCoreApplication::processEvents();
        t.frame->Execute(ID_FILE_OPEN);
        QVERIFY(t.frame->childFrame(ID_EDIT_CHANNEL));

        // A chooser cancelled does nothing.
        answers.file.clear();
        const int before = int(answers.messages.size());
        t.frame->Execute(ID_FILE_OPEN);
        t.frame->Execute(ID_FILE_SAVE_AS);
        QCOMPARE(int(answers.messages.size()), before);
    }

    void recentFilesInTheFileMenu() {
        std::vector<QString> paths;
        {
            FrameUnderTest t;
            Answers answers;
            for (const char* name : {"a.dat", "b.dat", "c.dat", "d.dat", "e.dat"}) {
                paths.push_back(t.folder.file(QString("DATA/") + name));
                answers.file = paths.back();
                t.frame->Execute(ID_FILE_SAVE_AS);
            }
            answers.file = paths[1];
            t.frame->Execute(ID_FILE_OPEN);  // an older one comes to the top
            auto recent = [&] {
                QStringList items;
                QMenu* file = t.frame->menu(false, 0);
                emit file->aboutToShow();
                for (QAction* a : file->actions())
                    if (a->property("recent").toInt() >= 0 && a->property("recent").isValid())
                        items << a->text();
                return items;
            };
            QCOMPARE(recent(), QStringList({"&1 b.dat", "&2 e.dat", "&3 d.dat", "&4 c.dat"}));
            // Kept in the settings file for the next start.
            QFile ini(t.folder.file("Program.ini"));
            QVERIFY(ini.open(QIODevice::ReadOnly));
            QVERIFY(ini.readAll().contains("[Recent File List]"));

            // A file that is gone: removed from the list, with a message naming it.
            QVERIFY(QFile::remove(paths[3]));
            t.frame->OnOpenRecent(2);
            QCOMPARE(answers.messages, QStringList({"No such file or directory"}));
            QVERIFY(answers.details.back().contains(paths[3]));
            QCOMPARE(recent(), QStringList({"&1 b.dat", "&2 e.dat", "&3 c.dat"}));
            // Choosing one opens it.
            t.frame->OnOpenRecent(2);
            QCOMPARE(QString::fromStdString(t.document->CurrentFile().string()), paths[2]);
            QCOMPARE(recent(), QStringList({"&1 c.dat", "&2 b.dat", "&3 e.dat"}));

            // The next start lists them from the settings file.
            shell::AppState again;
            shell::StartUp(again, t.folder.path());
            RadioImage image{};
            FileHeader header{};
            BandTables bands = BandTables::Initial();
            shell::Document doc(image, header, bands);
            CMainFrame second(again, doc);
            QCOMPARE(second.recentFiles().Files().size(), std::size_t{3});
            QCOMPARE(QString::fromStdString(second.recentFiles().Files()[0].string()), paths[2]);
        }
    }

    void newThenSaveAsIsWhatEveryLaterSaveGives() {
        FrameUnderTest t;
        Answers answers;
        t.frame->Execute(ID_FILE_NEW);
        answers.file = t.folder.file("DATA/new.dat");
        t.frame->Execute(ID_FILE_SAVE_AS);
        auto bytes = [&] {
            QFile f(answers.file);
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        };
        const QByteArray created = bytes();
        QCOMPARE(created.size(), qsizetype(kDataFileSize));
        // Saved again, also with every editor window open, and after opening it again.
        t.frame->Execute(ID_FILE_SAVE);
        QVERIFY(bytes() == created);
        for (const EditorEntry& e : Editors())
            if (e.built() && e.kind != WindowKind::ModalDialog && e.command != 0)
                t.frame->OpenEditor(e.command);
        t.frame->Execute(ID_FILE_SAVE);
        QVERIFY(bytes() == created);
        t.frame->mdiArea()->closeAllSubWindows();
        QCoreApplication::processEvents();
        t.frame->Execute(ID_FILE_OPEN);
        t.frame->Execute(ID_FILE_SAVE);
        QVERIFY(bytes() == created);
        QCOMPARE(answers.messages, QStringList({"Clear all data! \ncontinue?"}));
    }

    void saveAsFailureKeepsCurrentFile() {
        FrameUnderTest t;
        Answers answers;
        answers.file = t.folder.file("no-such-folder/x.dat");
        t.frame->Execute(ID_FILE_SAVE_AS);
        QCOMPARE(answers.messages.size(), 1);
        QVERIFY(!answers.messages[0].isEmpty());
        QCOMPARE(OwnTitle(*t.frame), QString("VM6142"));
        QVERIFY(!t.document->HasCurrentFile());
    }

    // ---- the channel table window
    void channelTableLayout() {
        FrameUnderTest t;
        auto w = ChannelWindow(*t.frame);
        QVERIFY(w);
        GridWidget* g = w->grid();
        QCOMPARE(g->rowCount(), 800);
        QCOMPARE(g->columnCount(), 11);
        QCOMPARE(g->horizontalHeaderItem(0)->text(), QString("Rx Freq"));
        QCOMPARE(g->horizontalHeaderItem(10)->text(), QString("Name"));
        QCOMPARE(g->verticalHeaderItem(0)->text(), QString("1"));
        QCOMPARE(g->verticalHeaderItem(799)->text(), QString("800"));
        const int dpi = w->logicalDpiX();
        QCOMPARE(g->verticalHeader()->width(), 500 * dpi / 1440);
        QCOMPARE(g->columnWidth(0) + g->columnWidth(1),
                 (500 + 2200) * dpi / 1440 - 500 * dpi / 1440);
        QCOMPARE(g->rowHeight(0), 300 * w->logicalDpiY() / 1440);
        // Channel 1 is never empty.
        QVERIFY(!g->item(0, 0)->text().isEmpty());
        // The "Channel edit" button opens the dialog; "A/B switch" hidden; editors hidden.
        auto* edit_button = qobject_cast<QPushButton*>(w->control(CProgramView::kIdChannelEdit));
        QCOMPARE(edit_button->text(), QString("Channel edit"));
        QVERIFY(edit_button->isEnabled());
        QVERIFY(w->control(CProgramView::kIdAbSwitch)->isHidden());
        for (int id :
             {CProgramView::kIdFreqEdit, CProgramView::kIdCtcssCombo, CProgramView::kIdDcsCombo,
              CProgramView::kIdListCombo, CProgramView::kIdNameEdit})
            QVERIFY(w->control(id)->isHidden());
    }

    void typingIntoCellsThroughTheWidgets() {
        FrameUnderTest t;
        auto w = ChannelWindow(*t.frame);
        GridWidget* g = w->grid();
        CProgramView& view = w->view();
        QApplication::setActiveWindow(t.frame.get());
        // Click the DCS cell of the empty row 5: the frequency editor opens on its Rx cell.
        g->scrollToTop();
        const QRect cell = g->visualItemRect(g->item(4, CProgramView::kColDcs - 1));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, cell.center());
        auto* freq = qobject_cast<QLineEdit*>(w->control(CProgramView::kIdFreqEdit));
        QVERIFY(freq->isVisible());
        QCOMPARE(view.grid().Col(), int(CProgramView::kColRx));
        // The editor lies over the Rx cell (one pixel inside).
        const QRect rx = g->visualItemRect(g->item(4, 0));
        const QPoint rx_in_window = g->viewport()->mapTo(w->window, rx.topLeft());
        QVERIFY2(qAbs(freq->geometry().left() - rx_in_window.x()) <= 2 &&
                     qAbs(freq->geometry().top() - rx_in_window.y()) <= 2,
                 qPrintable(QString("editor at %1,%2, cell at %3,%4")
                                .arg(freq->x())
                                .arg(freq->y())
                                .arg(rx_in_window.x())
                                .arg(rx_in_window.y())));
        QVERIFY(freq->hasFocus());
        // Letters are swallowed by the filter; Enter leaves the editor and moves right.
        QTest::keyClicks(freq, "14x5.0125");
        QCOMPARE(freq->text(), QString("145.0125"));
        QTest::keyClick(freq, Qt::Key_Return);
        QVERIFY(freq->isHidden());
        QCOMPARE(g->item(4, 0)->text(), QString("145.01250"));
        QCOMPARE(g->item(4, 1)->text(), QString("145.01250"));
        QCOMPARE(g->item(4, 3)->text(), QString("100.0"));
        QCOMPARE(view.grid().Col(), int(CProgramView::kColTx));  // Right after a non-empty text
        QVERIFY(g->hasFocus());
        // The record was created at once.
        QCOMPARE((*t.image)[ChannelOffset(5)], std::uint8_t{0x50});

        // Enter on the grid opens the current cell's editor; a frequency in no band falls back.
        QTest::keyClick(g, Qt::Key_Return);
        QVERIFY(freq->isVisible());
        freq->selectAll();
        QTest::keyClicks(freq, "600");
        QTest::keyClick(freq, Qt::Key_Return);
        QCOMPARE(g->item(4, 1)->text(), QString("26.00000"));

        // The name editor upper-cases and filters; leaving it by a click elsewhere commits.
        const QRect name = g->visualItemRect(g->item(4, CProgramView::kColName - 1));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, name.center());
        auto* name_edit = qobject_cast<QLineEdit*>(w->control(CProgramView::kIdNameEdit));
        QVERIFY(name_edit->isVisible());
        QTest::keyClicks(name_edit, "ab!c");
        QCOMPARE(name_edit->text(), QString("ABC"));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                          g->visualItemRect(g->item(9, 0)).center());
        QVERIFY(name_edit->isHidden());
        QCOMPARE(g->item(4, CProgramView::kColName - 1)->text(), QString("ABC"));

        // A list cell: the drop-down list opens with the column's entries, a choice commits
        // when the list is left.
        const QRect power = g->visualItemRect(g->item(4, CProgramView::kColPower - 1));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, power.center());
        auto* list = qobject_cast<QComboBox*>(w->control(CProgramView::kIdListCombo));
        QVERIFY(list->isVisible());
        QCOMPARE(list->count(), 4);
        const QString before = g->item(4, CProgramView::kColPower - 1)->text();
        QCOMPARE(list->currentText(), before);
        QTest::keyClick(list, list->currentIndex() > 0 ? Qt::Key_Up : Qt::Key_Down);
        const QString choice = list->currentText();
        QVERIFY(choice != before);
        QCOMPARE(QString::fromStdString(w->view().form().SelectedText(CProgramView::kIdListCombo)),
                 choice);
        QTest::keyClick(list, Qt::Key_Return);
        QVERIFY(list->isHidden());
        QCOMPARE(g->item(4, CProgramView::kColPower - 1)->text(), choice);

        // Right in the last column wraps to the next row.
        view.grid().SetRow(5);
        view.grid().SetCol(CProgramView::kColName);
        QTest::keyClick(g, Qt::Key_Right);
        QCOMPARE(view.grid().Row(), 6);
        QCOMPARE(view.grid().Col(), int(CProgramView::kColRx));
        QCOMPARE(g->currentRow(), 5);
        QCOMPARE(g->currentColumn(), 0);

        // The table's cells reach the image when the views are committed.
        view.grid().SetText(5, CProgramView::kColName, "XY");
        t.frame->CommitAllViews();
        QCOMPARE((*t.image)[ChannelOffset(5) + 0x18], std::uint8_t{'X'});
        QCOMPARE((*t.image)[ChannelOffset(5) + 0x1A], std::uint8_t{0xFF});
    }

    // Esc closes a cell editor and the cell keeps its text, whatever the editor held.
    void escapeClosesACellEditorWithoutTakingIt() {
        FrameUnderTest t;
        auto w = ChannelWindow(*t.frame);
        QVERIFY(w);
        GridWidget* g = w->grid();
        QApplication::setActiveWindow(t.frame.get());
        struct Case {
            int col;
            int editor;
            std::function<void(QWidget*)> change;
        };
        const auto arrow = [](QWidget* e) {
            auto* list = qobject_cast<QComboBox*>(e);
            QTest::keyClick(list, list->currentIndex() > 0 ? Qt::Key_Up : Qt::Key_Down);
        };
        const auto type = [](const char* text) {
            return [text](QWidget* e) {
                QLineEdit* le = qobject_cast<QLineEdit*>(e);
                if (!le) le = qobject_cast<QComboBox*>(e)->lineEdit();
                le->selectAll();
                QTest::keyClicks(le, text);
            };
        };
        const Case cases[] = {
            {CProgramView::kColPower, CProgramView::kIdListCombo, arrow},
            {CProgramView::kColBandwidth, CProgramView::kIdListCombo, arrow},
            {CProgramView::kColRx, CProgramView::kIdFreqEdit, type("146")},
            {CProgramView::kColCtcss, CProgramView::kIdCtcssCombo, type("88.5")},
            {CProgramView::kColDcs, CProgramView::kIdDcsCombo, type("754")},
            {CProgramView::kColName, CProgramView::kIdNameEdit, type("ESC")},
        };
        for (const Case& c : cases) {
            QTableWidgetItem* cell = g->item(0, c.col - 1);
            const QString before = cell->text();
            g->scrollToItem(cell);  // the window may be narrower than the table
            QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, g->visualItemRect(cell).center());
            QWidget* editor = w->control(c.editor);
            QVERIFY2(editor->isVisible(), qPrintable(QString("column %1").arg(c.col)));
            c.change(editor);
            QWidget* keys = editor;
            if (auto* cb = qobject_cast<QComboBox*>(editor); cb && cb->isEditable())
                keys = cb->lineEdit();
            QTest::keyClick(keys, Qt::Key_Escape);
            QVERIFY2(editor->isHidden(), qPrintable(QString("column %1").arg(c.col)));
            QVERIFY(!w->view().form().At(c.editor).visible);
            QCOMPARE(cell->text(), before);
            QVERIFY(g->hasFocus());
            // The table stays usable: moving on commits nothing that was escaped.
            QTest::keyClick(g, Qt::Key_Down);
            QTest::keyClick(g, Qt::Key_Up);
            QCOMPARE(cell->text(), before);
        }
    }

    void closingTheTableKeepsItsEdits() {
        FrameUnderTest t;
        auto w = ChannelWindow(*t.frame);
        w->view().grid().SetText(1, CProgramView::kColName, "KEEP");
        t.frame->childFrame(ID_EDIT_CHANNEL)->close();
        QCoreApplication::processEvents();
        QVERIFY(!t.frame->childFrame(ID_EDIT_CHANNEL));
        QCOMPARE((*t.image)[ChannelOffset(1) + 0x18], std::uint8_t{'K'});
    }

    void scrollingCommitsAndKeepsRowsInStep() {
        FrameUnderTest t;
        auto w = ChannelWindow(*t.frame);
        GridWidget* g = w->grid();
        g->verticalScrollBar()->setValue(100);
        QCOMPARE(w->view().grid().TopRow(), 101);
        // A click after scrolling lands on the row under the pointer.
        const QRect cell = g->visualItemRect(g->item(102, 0));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(w->view().grid().Row(), 103);
        QVERIFY(w->control(CProgramView::kIdFreqEdit)->isVisible());
        g->verticalScrollBar()->setValue(0);  // scrolling commits and hides the editor
        QVERIFY(w->control(CProgramView::kIdFreqEdit)->isHidden());
    }

    // ---- transfers against the simulated radio
    void readAndWriteThroughTheTransferDialog() {
        FrameUnderTest t;
        Answers answers;
        auto content = std::make_unique<RadioImage>(*t.image);
        InitChannelRecord(*content, 2, 14550000, t.bands);
        (*content)[0xFF00] = 'R';
        Radio radio(*content);
        t.app.port_path = radio.radio->device();
        t.frame->linkOptions().timing = QuickTiming();

        QString caption;
        PressStartWhenShown({}, &caption);
        QVERIFY(t.frame->Execute(ID_PROGRAM_READ));
        QCOMPARE(caption, QString("Read"));
        QVERIFY(answers.messages.isEmpty());
        QVERIFY(std::equal(t.image->begin() + 0x100, t.image->end(), content->begin() + 0x100));
        // The views were reloaded.
        QCOMPARE(ChannelWindow(*t.frame)->grid()->item(1, 0)->text(), QString("145.50000"));
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(Markers(radio.radio->record())),
                                  QString("ENDR "), 3000);
        // The status bar says so, with the time, and names the backup of what was read.
        QVERIFY2(QRegularExpression("^Read complete at \\d\\d:\\d\\d:\\d\\d \\(\\d+\\.\\d s\\); "
                                    "backup saved: .*\\.dat$")
                     .match(t.frame->statusBar()->currentMessage())
                     .hasMatch(),
                 qPrintable(t.frame->statusBar()->currentMessage()));

        // Write: the views are committed, then the two ranges go out.
        ChannelWindow(*t.frame)->view().grid().SetText(2, CProgramView::kColName, "HOME");
        PressStartWhenShown({}, &caption);
        QVERIFY(t.frame->Execute(ID_PROGRAM_WRITE));
        QCOMPARE(caption, QString("Write"));
        QVERIFY(answers.messages.isEmpty());
        const RadioImage written = radio.radio->memory();
        QCOMPARE(written[ChannelOffset(2) + 0x18], std::uint8_t{'H'});
        QVERIFY(
            std::equal(t.image->begin() + 0x60, t.image->begin() + 0xF400, written.begin() + 0x60));
        QVERIFY(std::equal(t.image->begin() + 0xFF00, t.image->end(), written.begin() + 0xFF00));
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(Markers(radio.radio->record())),
                                  QString("ENDR ENDW "), 3000);
        QVERIFY2(t.frame->statusBar()->currentMessage().startsWith("Write complete at "),
                 qPrintable(t.frame->statusBar()->currentMessage()));
    }

    void exitBeforeStartAndFailedReadChangeNothing() {
        FrameUnderTest t;
        Answers answers;
        auto content = std::make_unique<RadioImage>(*t.image);
        (*content)[0x3000] ^= 0x5A;
        Radio radio(*content);
        t.app.port_path = radio.radio->device();
        t.frame->linkOptions().timing = QuickTiming();
        t.frame->CommitAllViews();  // a transfer commits the views first
        const RadioImage before = *t.image;
        WhenModal([](QWidget* w) {
            auto* dlg = qobject_cast<CTransferDlg*>(w);
            QVERIFY(dlg);
            QCOMPARE(dlg->percent()->text(), QString("0%"));
            QCOMPARE(dlg->progress()->maximum(), 510);
            QTest::mouseClick(dlg->exitButton(), Qt::LeftButton);
        });
        t.frame->Execute(ID_PROGRAM_READ);
        QVERIFY(*t.image == before);
        QCOMPARE(radio.radio->record().wake_ups, 0);

        // A port that does not open: "Open port fail", nothing reloaded; the box names the
        // port and the system's reason, and the status bar keeps it.
        const std::string missing = t.folder.file("no-such-port").toStdString();
        t.app.port_path = missing;
        PressStartWhenShown();
        t.frame->Execute(ID_PROGRAM_READ);
        QCOMPARE(answers.messages, QStringList({"Open port fail"}));
        QCOMPARE(answers.captions, QStringList({AppTitle()}));
        QCOMPARE(answers.details,
                 QStringList({QString::fromStdString(missing + ": No such file or directory.")}));
        QVERIFY(t.frame->statusBar()->currentMessage().contains("No such file or directory"));
        QVERIFY(*t.image == before);
    }

    void wrongAccessCodeIsSaid() {
        FrameUnderTest t;
        Answers answers;
        RadioOptions protect;
        protect.protect = true;
        Radio radio(*t.image, protect);
        t.app.port_path = radio.radio->device();
        t.frame->linkOptions().timing = QuickTiming();
        // The user's wrong code in the platform's dialog: it closes as cancelled, no box, and
        // the status bar says why nothing was read.
        bool typed = false;
        WhenModal([&typed](QWidget* transfer) {
            auto* dlg = qobject_cast<CTransferDlg*>(transfer);
            QVERIFY(dlg);
            WhenModal(
                [&typed](QWidget* w) {
                    auto* password = qobject_cast<CPasswordDlg*>(w);
                    QVERIFY(password);
                    QTest::keyClicks(password->edit(), "1234");
                    typed = true;
                    password->accept();
                },
                dlg);
            QTest::mouseClick(dlg->startButton(), Qt::LeftButton);
        });
        t.frame->Execute(ID_PROGRAM_READ);
        QVERIFY(typed);
        QVERIFY(answers.messages.isEmpty());
        QVERIFY2(t.frame->statusBar()->currentMessage().contains("Wrong access code"),
                 qPrintable(t.frame->statusBar()->currentMessage()));
        QCOMPARE(radio.radio->record().end_markers.size(), std::size_t{0});
    }

    void cancelDuringReadSendsEndw() {
        FrameUnderTest t;
        Answers answers;
        t.frame->CommitAllViews();  // a transfer commits the views first
        const RadioImage before = *t.image;
        auto content = std::make_unique<RadioImage>(before);
        (*content)[0x0100] ^= 0x11;
        // The radio runs at the wire's pace, so that Exit comes during the blocks.
        RadioOptions paced;
        paced.paced = true;
        Radio radio(*content, paced);
        t.app.port_path = radio.radio->device();
        t.frame->linkOptions().timing = QuickTiming();
        WhenModal([](QWidget* w) {
            auto* dlg = qobject_cast<CTransferDlg*>(w);
            QVERIFY(dlg);
            QTest::mouseClick(dlg->startButton(), Qt::LeftButton);
            // Exit as soon as the first blocks have arrived.
            QTRY_VERIFY_WITH_TIMEOUT(dlg->progress()->value() > 0, 5000);
            QVERIFY(!dlg->startButton()->isEnabled());
            QTest::mouseClick(dlg->exitButton(), Qt::LeftButton);
        });
        t.frame->Execute(ID_PROGRAM_READ);
        QVERIFY(*t.image == before);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(Markers(radio.radio->record())),
                                  QString("ENDW "), 3000);
        QVERIFY(answers.messages.isEmpty());
    }

    void protectedRadioAsksForThePassword() {
        FrameUnderTest t;
        Answers answers;
        t.frame->CommitAllViews();
        auto content = std::make_unique<RadioImage>(*t.image);
        (*content)[0x2000] = 0x42;
        RadioOptions protect;
        protect.protect = true;
        Radio radio(*content, protect);
        t.app.port_path = radio.radio->device();
        t.frame->linkOptions().timing = QuickTiming();
        const RadioImage before = *t.image;
        int asked = 0;
        // Cancel: nothing read, no message, no end marker.
        Hooks().radio_password = [&](QWidget*) -> std::optional<std::string> {
            ++asked;
            return std::nullopt;
        };
        PressStartWhenShown();
        t.frame->Execute(ID_PROGRAM_READ);
        QCOMPARE(asked, 1);
        QVERIFY(*t.image == before);
        QVERIFY(answers.messages.isEmpty());
        // The access code, in lower case: the read goes through.
        Hooks().radio_password = [&](QWidget*) -> std::optional<std::string> {
            ++asked;
            return std::string("5731rb");
        };
        PressStartWhenShown();
        t.frame->Execute(ID_PROGRAM_READ);
        QCOMPARE(asked, 2);
        QCOMPARE((*t.image)[0x2000], std::uint8_t{0x42});
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(Markers(radio.radio->record())),
                                  QString("ENDR "), 3000);
        // The dialog itself: only the access code closes it with OK.
        CPasswordDlg dlg(CPasswordDlg::Kind::Radio, MatchesAccessCode);
        QCOMPARE(dlg.edit()->maxLength(), 8);
        QCOMPARE(dlg.edit()->echoMode(), QLineEdit::Password);
        dlg.edit()->setText("5731RB");
        dlg.accept();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        dlg.edit()->setText("5731R");
        dlg.accept();
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
    }

    void transferWindowDestroyedWhileBusy() {
        FrameUnderTest t;
        Answers answers;
        RadioOptions paced;
        paced.paced = true;
        Radio radio(*t.image, paced);
        CloneWorkerOptions options;
        options.timing = QuickTiming();
        auto dlg = std::make_unique<CTransferDlg>(*t.image, ProgramReadRanges(),
                                                  radio.radio->device(), false, options);
        dlg->show();
        QTest::mouseClick(dlg->startButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dlg->progress()->value() > 0, 5000);
        dlg.reset();  // stops the worker after its block and waits for it
        QVERIFY(!g_bTransferBusy.load());
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(Markers(radio.radio->record())),
                                  QString("ENDW "), 3000);
    }

    // ---- the Port dialog
    void portDialogProbe() {
        Radio radio(RadioImage{});
        AppFolder folder(
            QByteArray("[Setup]\r\nCOM=COM3\r\n[Ports]\r\nCOM3=") + radio.radio->device().c_str() +
            "\r\nCOM12=/dev/none12\r\nCOM20=" + radio.radio->device().c_str() + "\r\n");
        shell::SettingsFile settings((folder.path() / "Program.ini"));
        const PortResolver resolve = MakePortResolver(settings);
        QCOMPARE(resolve("COM3"), radio.radio->device());
        WhenModal([](QWidget* w) {
            auto* dlg = qobject_cast<CPortDlg*>(w);
            QVERIFY(dlg);
            QCOMPARE(dlg->windowTitle(), QString("Port"));
            QVERIFY(dlg->button(3)->isEnabled());
            QVERIFY(dlg->button(3)->isChecked());
            QVERIFY(!dlg->button(12)->isEnabled());
            // Each COM number shows the device it opens here.
            QVERIFY2(dlg->button(3)->toolTip().startsWith("/dev/"),
                     qPrintable(dlg->button(3)->toolTip()));
            QVERIFY(dlg->button(12)->toolTip().startsWith("/dev/none12"));
            QCOMPARE(dlg->button(16)->text(), QString("COM16"));
            dlg->accept();
        });
        QCOMPARE(ChoosePort(nullptr, "COM3", settings), std::string("COM3"));
        // A stored port above 16 opens in transfers but checks no button.
        QCOMPARE(MakePortResolver(settings, "COM20")("COM20"), radio.radio->device());
        WhenModal([](QWidget* w) {
            auto* dlg = qobject_cast<CPortDlg*>(w);
            QVERIFY(dlg);
            QCOMPARE(dlg->checked(), 0);
            dlg->accept();
        });
        QCOMPARE(ChoosePort(nullptr, "COM20", settings), std::string("COM20"));
        // Cancel keeps the path; the dialog names port 10 and above "\\.\COMn".
        WhenModal([](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
        QCOMPARE(ChoosePort(nullptr, "COM3", settings), std::string("COM3"));
        PortProbe probe;
        probe.available[9] = true;
        CPortDlg dlg(probe);
        QVERIFY(!dlg.button(10)->isChecked());
        dlg.button(10)->setChecked(true);
        QCOMPARE(dlg.checked(), 10);
        QCOMPARE(PortName(dlg.checked()), std::string("\\\\.\\COM10"));
    }

    void portCommandUpdatesThePane() {
        FrameUnderTest t;
        Radio radio(RadioImage{});
        QFile ini(t.folder.file("Program.ini"));
        QVERIFY(ini.open(QIODevice::Append));
        ini.write(QByteArray("[Ports]\r\nCOM5=") + radio.radio->device().c_str() + "\r\n");
        ini.close();
        WhenModal([](QWidget* w) {
            auto* dlg = qobject_cast<CPortDlg*>(w);
            QVERIFY(dlg);
            QVERIFY(dlg->button(5)->isEnabled());
            dlg->button(5)->setChecked(true);
            dlg->accept();
        });
        t.frame->Execute(ID_SETTING_PORT);
        // The pane names the device beside the COM name.
        QCOMPARE(t.frame->comPane()->text(),
                 QString("COM5 (%1)").arg(QString::fromStdString(radio.radio->device())));
        QCOMPARE(t.app.port_path, std::string("COM5"));
    }

    // ---- service functions
    void serviceUnlock() {
        FrameUnderTest t;
        auto press_ctrl_f11 = [&] {
            // After a dialog the frame must be the active window again for its shortcut.
            t.frame->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(t.frame.get()));
            QTest::keyClick(t.frame->windowHandle(), Qt::Key_F11, Qt::ControlModifier);
        };
        auto custom_items = [&](bool child) {
            int n = 0;
            for (QAction* a : t.frame->editMenu(child)->actions())
                n += a->data().toInt() == ID_EDIT_CUSTOM_DATA;
            return n;
        };
        // A wrong code is ignored silently.
        WhenModal([](QWidget* w) {
            auto* dlg = qobject_cast<CPasswordDlg*>(w);
            QVERIFY(dlg);
            QCOMPARE(dlg->windowTitle(), QString("Password"));
            QTest::keyClicks(dlg->edit(), "5731C5");
            dlg->accept();
        });
        press_ctrl_f11();
        QVERIFY(!t.frame->extendedRange());
        QCOMPARE(custom_items(true), 0);
        // The right code, in lower case and with symbols filtered out, unlocks.
        for (int round = 0; round < 2; ++round) {
            WhenModal([](QWidget* w) {
                auto* dlg = qobject_cast<CPasswordDlg*>(w);
                QVERIFY(dlg);
                QTest::keyClicks(dlg->edit(), "57-31c4!");
                QCOMPARE(dlg->edit()->text(), QString("5731c4"));
                dlg->accept();
            });
            press_ctrl_f11();
        }
        QVERIFY(t.frame->extendedRange());
        QCOMPARE(custom_items(true), 1);  // the menu shown at the time (a child is active)
        QCOMPARE(t.frame->editMenu(true)->actions().back()->text(), QString("Custom Data"));
        QCOMPARE(t.frame->editMenu(true)->actions().back()->data().toInt(), 32796);
        QCOMPARE(custom_items(false), 0);
        // The wider write range.
        QCOMPARE(ProgramWriteRanges(t.frame->extendedRange()).start[1], 0xFEE0u);
    }

    void customDataDialog() {
        FrameUnderTest t;
        Answers answers;
        auto content = std::make_unique<RadioImage>(*t.image);
        StoreCustomData(*content, "FROM RADIO");
        Radio radio(*content);
        t.app.port_path = radio.radio->device();
        t.frame->linkOptions().timing = QuickTiming();
        StoreCustomData(*t.image, "HELLO");
        QVERIFY(t.frame->UnlockService("5731C4"));
        ShownTransfers shown;
        WhenModal([&](QWidget* w) {
            auto* dlg = qobject_cast<CCustomDataDlg*>(w);
            QVERIFY(dlg);
            QCOMPARE(dlg->windowTitle(), QString("Custom Data"));
            QCOMPARE(dlg->edit()->text(), QString("HELLO"));
            QCOMPARE(dlg->edit()->maxLength(), 32);
            // In service mode the transfer starts by itself.
            QTest::mouseClick(dlg->readButton(), Qt::LeftButton);
            QCOMPARE(dlg->edit()->text(), QString("FROM RADIO"));
            dlg->edit()->setText("TO RADIO");
            QTest::mouseClick(dlg->writeButton(), Qt::LeftButton);
            dlg->accept();
        });
        t.frame->OnCustomData();
        QCOMPARE(shown.captions,
                 QStringList({QString::fromUtf8("读数据"), QString::fromUtf8("写数据")}));
        QVERIFY(answers.messages.isEmpty());
        QCOMPARE(ReadCustomData(radio.radio->memory()), std::string("TO RADIO"));
        QCOMPARE(ReadCustomData(*t.image), std::string("TO RADIO"));
        QCOMPARE((*t.image)[kCustomData + 8], std::uint8_t{0xFF});
    }

    void chineseCaptionsHaveAFont() {
        QVERIFY2(
            !QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty(),
            "no font for the captions of the Custom Data transfers (install fonts-wqy-microhei)");
        QFontMetrics fm(QApplication::font());
        QVERIFY(fm.inFontUcs4(0x8BFB) ||
                !QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty());
    }

    void aboutBox() {
        CAboutBox box("ACME Radio", "2.1");
        QCOMPARE(box.windowTitle(), QString("About"));
        QCOMPARE(box.LineText(1066), QString("ACME Radio"));
        QCOMPARE(box.LineText(1262), QString("2.1"));
        QCOMPARE(box.LineText(1068), QString("ACME Radio The software apply for VM6142 model"));
    }

    // ---- printing
    void printPreviewTakesTheMainWindowsPlace() {
        FrameUnderTest t;
        bool checked = false;
        WhenModal([&](QWidget* w) {
            QCOMPARE(w->windowTitle(), QString("Preview"));
            QVERIFY(w->isMaximized());
            QVERIFY(t.frame->isHidden());
            checked = true;
            w->close();
        });
        t.frame->Execute(ID_FILE_PRINT_PREVIEW);
        QVERIFY(checked);
        QVERIFY(t.frame->isVisible());
    }

    void userGuideShipsWithTheProgram() {
        QFile guide(QString::fromStdString((BuildAppFolder() / "help" / "guide.html").string()));
        QVERIFY(guide.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(guide.readAll());
        QVERIFY(text.contains("Reading and writing the radio"));
        // It describes every editor there is, and has a topic for every help context.
        for (const EditorEntry& e : Editors()) {
            if (!e.built()) continue;
            const QString name = QString::fromUtf8(e.name.data(), qsizetype(e.name.size()));
            QVERIFY2(text.contains("<b>" + name + "</b>"), qPrintable(name));
        }
        for (int context : {32789, 151, 146, 175, 205, 215, 141, 142})
            QVERIFY2(text.contains(QString("name=\"context-%1\"").arg(context)),
                     qPrintable(QString::number(context)));
        QVERIFY(!text.contains("Items shown greyed"));
        // F1 shows it, on the screen.
        FrameUnderTest t;
        std::filesystem::create_directories(t.folder.path() / "help");
        std::filesystem::copy_file(BuildAppFolder() / "help" / "guide.html",
                                   t.folder.path() / "help" / "guide.html");
        t.frame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(t.frame.get()));
        QTest::keyClick(t.frame->windowHandle(), Qt::Key_F1);
        QVERIFY(t.frame->helpWindow());
        QVERIFY(t.frame->helpWindow()->isVisible());
        QVERIFY(t.frame->helpWindow()->toPlainText().contains("Reading and writing the radio"));
        const QRect screen = t.frame->screen()->availableGeometry();
        QVERIFY(t.frame->helpWindow()->width() <= screen.width());
        QVERIFY(t.frame->helpWindow()->height() <= screen.height());
    }

    void pageLayout() {
        QCOMPARE(LayoutPages(0, 50, 1000).pages, 1);
        QCOMPARE(LayoutPages(20, 50, 1000).pages, 1);
        QCOMPARE(LayoutPages(21, 50, 1000).pages, 2);
        QCOMPARE(LayoutPages(21, 50, 1000).lines_per_page, 20);
        QCOMPARE(LayoutPages(5, 50, 10).lines_per_page, 1);
        QCOMPARE(PrintDocumentName("VM6142.dat"), QString("VM6142"));
        QCOMPARE(PrintDocumentName("a.b.dat"), QString("a"));
    }

    void printToPdf() {
        FrameUnderTest t;
        for (int n = 2; n <= 120; ++n)
            InitChannelRecord(*t.image, n, 14500000u + static_cast<std::uint32_t>(n) * 1250u,
                              t.bands);
        t.frame->ReloadAllViews();
        const PrintList list = t.frame->BuildPrintList();
        QCOMPARE(int(list.lines.size()), 121);  // heading + 120 channels
        QCOMPARE(list.lines[0][1], QString("Rx Freq"));
        QCOMPARE(list.lines[2][0], QString("2"));
        const QString pdf = t.folder.file("out.pdf");
        bool asked = false;
        Hooks().print_dialog = [&](QWidget*, QPrinter& p) {
            asked = true;
            p.setOutputFormat(QPrinter::PdfFormat);
            p.setOutputFileName(pdf);
            return true;
        };
        t.frame->Execute(ID_FILE_PRINT);
        QVERIFY(asked);
        QFile f(pdf);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QVERIFY(bytes.startsWith("%PDF"));
        // 121 lines do not fit on one A4 or Letter page at 12 points.
        QVERIFY(bytes.count("/Type /Page\n") + bytes.count("/Type /Page ") +
                        bytes.count("/Type /Page/") >=
                    2 ||
                bytes.count("/Type /Page") - bytes.count("/Type /Pages") >= 2);
        // Cancel prints nothing.
        QFile::remove(pdf);
        Hooks().print_dialog = [](QWidget*, QPrinter&) { return false; };
        t.frame->Execute(ID_FILE_PRINT);
        QVERIFY(!QFile::exists(pdf));
    }
};

// Pictures of every window, for a person to look at: only when VM_SCREENSHOT_DIR is set.
class Screenshots : public QObject {
    Q_OBJECT

private slots:
    void windows() {
        const QString dir = qEnvironmentVariable("VM_SCREENSHOT_DIR");
        if (dir.isEmpty()) QSKIP("VM_SCREENSHOT_DIR not set");
        QDir().mkpath(dir);
        auto shot = [&](QWidget* w, const QString& name) {
            QVERIFY(w->grab().save(dir + "/" + name + ".png"));
        };
        FrameUnderTest t;
        t.frame->resize(1280, 800);
        for (int n = 2; n <= 12; ++n)
            InitChannelRecord(*t.image, n, 14400000u + static_cast<std::uint32_t>(n) * 12500u,
                              t.bands);
        t.frame->ReloadAllViews();
        auto w = ChannelWindow(*t.frame);
        GridWidget* g = w->grid();
        QCoreApplication::processEvents();
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                          g->visualItemRect(g->item(3, CProgramView::kColCtcss - 1)).center());
        QCoreApplication::processEvents();
        shot(t.frame.get(), "main_window_ctcss_editor");
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                          g->visualItemRect(g->item(2, CProgramView::kColPower - 1)).center());
        shot(t.frame.get(), "main_window_list_editor");
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                          g->visualItemRect(g->item(20, 3)).center());
        shot(w->window, "channel_table_freq_editor");
        shot(t.frame->treeBar(), "tree_bar");
        std::filesystem::create_directories(t.folder.path() / "help");
        std::filesystem::copy_file(BuildAppFolder() / "help" / "guide.html",
                                   t.folder.path() / "help" / "guide.html");
        t.frame->OnHelp();
        shot(t.frame->helpWindow(), "help_guide");
        t.frame->mdiArea()->closeAllSubWindows();
        QCoreApplication::processEvents();
        shot(t.frame.get(), "main_window_no_child");

        CTransferDlg transfer(*t.image, CustomDataReadRanges(), "/dev/null", false);
        transfer.show();
        QCoreApplication::processEvents();
        shot(&transfer, "transfer_dialog");
        transfer.reject();
        CPasswordDlg password(CPasswordDlg::Kind::Service, MatchesServiceCode);
        password.show();
        QTest::keyClicks(password.edit(), "abc");
        shot(&password, "password_dialog");
        PortProbe probe;
        probe.available[0] = probe.available[2] = true;
        probe.checked = 3;
        CPortDlg port(probe);
        port.show();
        shot(&port, "port_dialog");
        CAboutBox about("ACME Radio", "2.1");
        about.show();
        shot(&about, "about_box");
        StoreCustomData(*t.image, "SERVICE TEXT");
        CCustomDataDlg custom(*t.image, {});
        custom.show();
        shot(&custom, "custom_data_dialog");
        // The Chinese captions of the Custom Data transfers need a CJK font.
        QLabel captions(QString::fromUtf8("读数据   写数据"));
        captions.setWindowTitle(QString::fromUtf8("读数据"));
        captions.show();
        shot(&captions, "chinese_captions");
        // Print preview's first page as an image.
        QPrinter printer(QPrinter::ScreenResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir + "/printout.pdf");
        QVERIFY(t.frame->PrintTo(printer) >= 1);
        QPrinter screen(QPrinter::ScreenResolution);
        QPrintPreviewWidget preview(&screen);
        const PrintList list = t.frame->BuildPrintList();
        connect(&preview, &QPrintPreviewWidget::paintRequested,
                [&](QPrinter* p) { PrintPages(*p, "VM6142", list); });
        preview.resize(900, 1100);
        preview.show();
        preview.fitInView();
        QCoreApplication::processEvents();
        shot(&preview, "print_preview");
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    GuiTest test;
    int failures = QTest::qExec(&test, argc, argv);
    Screenshots shots;
    failures += QTest::qExec(&shots, argc, argv);
    return failures;
}

#include "gui_test.moc"
