// The main window on the offscreen platform: start-up and the command line, the form binder,
// the tree and menus, the View and Window commands, the title, the status bar's panes, and
// Cascade.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabBar>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/form_binder.h"
#include "app/gui/key_lock_panes.h"
#include "app/gui/program_app.h"
#include "app/gui/window_menu.h"
#include "app/shell/globals.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"

using namespace vm;
using namespace vm::gui;
using namespace vm::gui::testing;

namespace {

QStringList Texts(const QList<QAction*>& actions) {
    QStringList t;
    for (QAction* a : actions)
        if (!a->isSeparator()) t << a->text();
    return t;
}

}  // namespace

class MainFrameWindowTest : public QObject {
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
};

VM_WINDOW_TEST(MainFrameWindowTest);

#include "main_frame_window_test.moc"
