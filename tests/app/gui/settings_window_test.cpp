// The basic settings window: opened from the tree and the Edit menu, its tabs rendered by the
// form binder, and its part in the frame's commit and reload.
#include <QComboBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QTabBar>
#include <QTextBrowser>
#include <QTreeWidget>

#include "app/editors/settings/basic_setting_view.h"
#include "app/gui/commands.h"
#include "app/gui/tabbed_form_window.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"

namespace vm::gui {
namespace {

using testing::FrameUnderTest;

TabbedFormWindow* BasicWindow(CMainFrame& frame) {
    CChildFrame* child = frame.childFrame(ID_EDIT_BASIC);
    return child ? qobject_cast<TabbedFormWindow*>(child->view()) : nullptr;
}

QTreeWidgetItem* TreeItem(CMainFrame& frame, const QString& text) {
    const auto found = frame.tree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}

// Clears a line edit, types into it and leaves it for `next`, as a user does.
void TypeAndLeave(QLineEdit* edit, const QString& text, QWidget* next) {
    edit->setFocus();
    QCoreApplication::processEvents();
    edit->clear();
    QTest::keyClicks(edit, text);
    next->setFocus();
    QCoreApplication::processEvents();
}

void Activate(QWidget* window) {
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
}

class SettingsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void opensFromTheTreeOnceAndFromTheMenu() {
        FrameUnderTest t;
        t.frame->mdiArea()->closeAllSubWindows();  // restored, not maximised, windows
        QTreeWidgetItem* item = TreeItem(*t.frame, "Basic setting");
        QVERIFY(item);
        QVERIFY(item->flags() & Qt::ItemIsEnabled);
        t.frame->OnTreeClicked(item);
        TabbedFormWindow* w = BasicWindow(*t.frame);
        QVERIFY(w);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_BASIC);
        QCOMPARE(child->windowTitle(), QString("Basic setting"));
        QCOMPARE(child->size(), QSize(620, 580));
        const int windows = static_cast<int>(t.frame->mdiArea()->subWindowList().size());
        t.frame->OnTreeClicked(item);  // only activates
        QCOMPARE(static_cast<int>(t.frame->mdiArea()->subWindowList().size()), windows);
        QCOMPARE(t.frame->mdiArea()->activeSubWindow(), child);
        QVERIFY(t.frame->action(ID_EDIT_BASIC)->isEnabled());
        // The tab strip shows the three pages; hidden fields have no widget on screen.
        auto* tabs = qobject_cast<QTabBar*>(w->control(-1, CBasicSettingView::kIdTab));
        QVERIFY(tabs);
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(1), QString("TOT"));
        QVERIFY(!w->control(0, COptionPage::kIdSte)->isVisible());
        QVERIFY(w->control(0, COptionPage::kIdVolume)->isVisible());
    }

    void typingTabsCommitAndReload() {
        FrameUnderTest t;
        Activate(t.frame.get());
        t.frame->OpenEditor(ID_EDIT_BASIC);
        TabbedFormWindow* w = BasicWindow(*t.frame);
        QVERIFY(w);
        QWidget* elsewhere = w->control(0, COptionPage::kIdBeep);
        auto* volume = qobject_cast<QLineEdit*>(w->control(0, COptionPage::kIdVolume));
        QVERIFY(volume);
        QCOMPARE(volume->text(), QString("8"));
        TypeAndLeave(volume, "45", elsewhere);
        QCOMPARE(volume->text(), QString("15"));  // validated when left
        volume->setText("1234567");  // pasted: held to the three characters of the field
        QCOMPARE(volume->text(), QString("123"));
        TypeAndLeave(volume, "9", elsewhere);
        QCOMPARE((*t.image)[0xCC2F], std::uint8_t{8});  // not stored yet
        // Leaving the tab stores the Option page; the TOT page is shown.
        auto* tabs = qobject_cast<QTabBar*>(w->control(-1, CBasicSettingView::kIdTab));
        tabs->setCurrentIndex(1);
        QCoreApplication::processEvents();
        QCOMPARE((*t.image)[0xCC2F], std::uint8_t{9});
        QCOMPARE(w->shownPage(), 1);
        auto* tot = qobject_cast<QLineEdit*>(w->control(1, CTotPage::kIdTot));
        elsewhere = w->control(1, CTotPage::kIdReset);
        TypeAndLeave(tot, "0", elsewhere);
        QCOMPARE(tot->text(), QString("Off"));
        // The frame's commit stores the selected page.
        t.frame->CommitAllViews();
        QCOMPARE((*t.image)[0xCC30], std::uint8_t{0});
        // And its reload shows the image.
        (*t.image)[0xCC30] = 25;
        t.frame->ReloadAllViews();
        QCOMPARE(tot->text(), QString("25"));
        // Closing the window stores the selected page.
        TypeAndLeave(tot, "7", elsewhere);
        t.frame->childFrame(ID_EDIT_BASIC)->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!t.frame->childFrame(ID_EDIT_BASIC));
        QCOMPARE((*t.image)[0xCC30], std::uint8_t{7});
    }

    void helpOpensTheSelectedTabsTopic() {
        FrameUnderTest t;
        t.frame->OpenEditor(ID_EDIT_BASIC);
        TabbedFormWindow* w = BasicWindow(*t.frame);
        QVERIFY(w);
        const std::pair<int, QString> topics[] = {
            {0, "context-151"}, {1, "context-146"}, {2, "context-175"}};
        for (const auto& [tab, fragment] : topics) {
            w->view().ChooseTab(tab);
            QVERIFY(t.frame->Execute(ID_HELP_INDEX));
            QVERIFY(t.frame->helpWindow());
            QCOMPARE(t.frame->helpWindow()->source().fragment(), fragment);
        }
        // The channel table has no topic of its own: the guide's start.
        t.frame->OpenEditor(ID_EDIT_CHANNEL);
        QVERIFY(t.frame->Execute(ID_HELP_INDEX));
        QCOMPARE(t.frame->helpWindow()->source().fragment(), QString());
    }

    void pictures() {
        const QString dir = qEnvironmentVariable("VM_SCREENSHOT_DIR");
        if (dir.isEmpty()) QSKIP("VM_SCREENSHOT_DIR not set");
        QDir().mkpath(dir);
        FrameUnderTest t;
        t.frame->resize(1280, 800);
        t.frame->OpenEditor(ID_EDIT_BASIC);
        TabbedFormWindow* w = BasicWindow(*t.frame);
        auto* tabs = qobject_cast<QTabBar*>(w->control(-1, CBasicSettingView::kIdTab));
        for (int i = 0; i < 3; ++i) {
            tabs->setCurrentIndex(i);
            QCoreApplication::processEvents();
            QVERIFY(t.frame->grab().save(dir + QString("/basic_setting_%1.png").arg(i)));
        }
    }
};

}  // namespace
}  // namespace vm::gui

VM_WINDOW_TEST(vm::gui::SettingsWindowTest);

#include "settings_window_test.moc"
