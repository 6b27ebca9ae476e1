// The frame's windows as a user meets them on a small screen: Tile, Cascade and Arrange keep the
// children inside the client area and never grow the frame, an activated child comes into view,
// forms larger than their window scroll, the keys of the tree and of the children, and the
// Close button of the modal editors.
#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeWidget>
#include <QWindow>

#include "app/editors/catalogue/catalogue.h"
#include "app/editors/channels/program_view.h"
#include "app/editors/settings/dtmf_view.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/editor_windows.h"
#include "app/gui/grid_widget.h"
#include "app/gui/tabbed_form_window.h"
#include "app/gui/window_menu.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"

namespace vm::gui {
namespace {

using testing::Answers;
using testing::FrameUnderTest;
using testing::WhenModal;

constexpr int kChildren[] = {ID_EDIT_MODEL, ID_EDIT_ALARM, ID_EDIT_DTMF, ID_EDIT_2TONE,
                             ID_EDIT_5TONE, ID_EDIT_BASIC, ID_EDIT_SCAN};

QString Describe(const QRect& r) {
    return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

void OpenAll(CMainFrame& frame) {
    for (int command : kChildren) {
        frame.OpenEditor(command);
        QVERIFY2(frame.childFrame(command), qPrintable(QString::number(command)));
    }
    QCoreApplication::processEvents();
}

// Every shown child (or the one given) lies wholly inside the client area's viewport.
void ExpectInside(CMainFrame& frame, const char* after, QMdiSubWindow* only = nullptr) {
    const QRect area(QPoint(0, 0), frame.mdiArea()->viewport()->size());
    for (QMdiSubWindow* w : frame.mdiArea()->subWindowList()) {
        if (w->isHidden() || (only && w != only)) continue;
        QVERIFY2(
            area.contains(w->geometry()),
            qPrintable(QString("%1: %2 at %3 in %4")
                           .arg(after, w->windowTitle(), Describe(w->geometry()), Describe(area))));
    }
}

// A picture for a look at the result, when VM_SCREENSHOTS names a folder.
void Save(QWidget* w, const char* name) {
    const QString dir = qEnvironmentVariable("VM_SCREENSHOTS");
    if (!dir.isEmpty()) w->grab().save(dir + "/" + name);
}

QScrollArea* ScrollOf(CChildFrame* child) {
    return qobject_cast<QScrollArea*>(child->widget());
}

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetHooks(); }

    void firstWindowFitsTheScreen() {
        // The size rule: what is wanted, within the screen less room for the window's frame.
        QCOMPARE(FirstWindowSize(QSize(1024, 768), QSize(1920, 1080)), QSize(1024, 768));
        // 1366x768 less a panel, and the same at 150 % scaling (911x512 logical pixels).
        const QSize laptop = FirstWindowSize(QSize(1024, 768), QSize(1366, 740));
        QVERIFY(laptop.height() + 48 <= 740 && laptop.width() == 1024);
        const QSize scaled = FirstWindowSize(QSize(1024, 768), QSize(911, 492));
        QVERIFY(scaled.width() + 16 <= 911 && scaled.height() + 48 <= 492);
        // The frame as it starts on this screen (800x600 off screen), channel table open.
        FrameUnderTest t;
        QCoreApplication::processEvents();
        const QSize screen = t.frame->screen()->availableGeometry().size();
        QVERIFY2(t.frame->width() <= screen.width() && t.frame->height() <= screen.height(),
                 qPrintable(QString("%1x%2 on %3x%4")
                                .arg(t.frame->width())
                                .arg(t.frame->height())
                                .arg(screen.width())
                                .arg(screen.height())));
        // Nothing the children hold makes the frame need more than the screen.
        OpenAll(*t.frame);
        QVERIFY(t.frame->minimumSizeHint().width() <= screen.width());
        QVERIFY(t.frame->minimumSizeHint().height() <= screen.height());
    }

    void tileCascadeAndArrangeKeepChildrenInside() {
        FrameUnderTest t;
        OpenAll(*t.frame);
        const QSize frame_size = t.frame->size();
        t.frame->Execute(ID_WINDOW_TILE_HORZ);
        QCoreApplication::processEvents();
        QCOMPARE(t.frame->size(), frame_size);
        ExpectInside(*t.frame, "tile");
        Save(t.frame.get(), "tiled.png");
        // The tiles cover the area without overlapping.
        const auto windows = t.frame->mdiArea()->subWindowList();
        for (int i = 0; i < windows.size(); ++i)
            for (int k = i + 1; k < windows.size(); ++k)
                QVERIFY(!windows[i]->geometry().intersects(windows[k]->geometry()));

        t.frame->Execute(ID_WINDOW_CASCADE);
        QCoreApplication::processEvents();
        QCOMPARE(t.frame->size(), frame_size);
        ExpectInside(*t.frame, "cascade");
        Save(t.frame.get(), "cascaded.png");

        // Minimised windows arranged along the bottom stay inside too.
        for (int command : {ID_EDIT_DTMF, ID_EDIT_2TONE, ID_EDIT_5TONE})
            t.frame->childFrame(command)->showMinimized();
        t.frame->Execute(ID_WINDOW_ARRANGE);
        QCoreApplication::processEvents();
        QCOMPARE(t.frame->size(), frame_size);
        ExpectInside(*t.frame, "arrange");
        const int bottom = t.frame->mdiArea()->viewport()->height();
        QCOMPARE(t.frame->childFrame(ID_EDIT_DTMF)->geometry().bottom(), bottom - 1);
    }

    void tileAndArrangeRects() {
        // Seven windows: a 3x3 grid whose first row holds one window fewer... and two fewer
        // rows fill nothing twice.
        const std::vector<QRect> tiles = TileRects(QSize(900, 600), 7);
        QCOMPARE(tiles.size(), std::size_t{7});
        int covered = 0;
        for (const QRect& r : tiles) {
            QVERIFY(QRect(0, 0, 900, 600).contains(r));
            covered += r.width() * r.height();
        }
        QCOMPARE(covered, 900 * 600);
        QCOMPARE(TileRects(QSize(900, 600), 1).front(), QRect(0, 0, 900, 600));
        QVERIFY(TileRects(QSize(0, 0), 3).empty());
        // Icons fill the bottom row, then the one above.
        const std::vector<QRect> icons = ArrangeRects(QSize(400, 300), 5, QSize(160, 30));
        QCOMPARE(icons[0], QRect(0, 270, 160, 30));
        QCOMPARE(icons[1], QRect(160, 270, 160, 30));
        QCOMPARE(icons[2], QRect(0, 240, 160, 30));
        // Into view: moved in, shrunk when larger, left alone when inside.
        QCOMPARE(IntoView(QRect(5000, 4000, 300, 200), QSize(800, 500)), QRect(500, 300, 300, 200));
        QCOMPARE(IntoView(QRect(-40, 10, 1000, 900), QSize(800, 500)), QRect(0, 0, 800, 500));
        QCOMPARE(IntoView(QRect(10, 10, 100, 100), QSize(800, 500)), QRect(10, 10, 100, 100));
    }

    void activatedChildComesIntoView() {
        FrameUnderTest t;
        OpenAll(*t.frame);
        CChildFrame* dtmf = t.frame->childFrame(ID_EDIT_DTMF);
        CChildFrame* basic = t.frame->childFrame(ID_EDIT_BASIC);
        // From the tree.
        dtmf->move(3000, 2500);
        QTreeWidget* tree = t.frame->tree();
        QTreeWidgetItem* item = nullptr;
        for (int k = 0; k < tree->topLevelItem(0)->childCount(); ++k)
            if (tree->topLevelItem(0)->child(k)->data(0, Qt::UserRole).toInt() == ID_EDIT_DTMF)
                item = tree->topLevelItem(0)->child(k);
        QVERIFY(item);
        t.frame->OnTreeClicked(item);
        QCOMPARE(t.frame->mdiArea()->activeSubWindow(), dtmf);
        ExpectInside(*t.frame, "tree", dtmf);
        // From the Window menu's list.
        basic->move(-900, 4000);
        QMenu* window = t.frame->menu(true, 5);
        emit window->aboutToShow();
        QAction* entry = nullptr;
        for (QAction* a : window->actions())
            if (a->text().endsWith(basic->windowTitle())) entry = a;
        QVERIFY(entry);
        entry->trigger();
        QCOMPARE(t.frame->mdiArea()->activeSubWindow(), basic);
        ExpectInside(*t.frame, "window list", basic);
        // A window restored from maximised comes back inside the area too.
        CChildFrame* table = t.frame->childFrame(ID_EDIT_CHANNEL);
        table->showMaximized();
        table->showNormal();
        QCoreApplication::processEvents();
        ExpectInside(*t.frame, "restored", table);
        // The tree's highlight follows the active window.
        t.frame->mdiArea()->setActiveSubWindow(dtmf);
        QCOMPARE(tree->currentItem(), item);
    }

    void formsLargerThanTheirWindowScroll() {
        FrameUnderTest t;
        t.frame->OpenEditor(ID_EDIT_5TONE);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_5TONE);
        QVERIFY(child);
        child->showNormal();
        child->setGeometry(0, 0, 400, 300);
        QCoreApplication::processEvents();
        QScrollArea* scroll = ScrollOf(child);
        QVERIFY(scroll);
        QCOMPARE(scroll->widget(), static_cast<QWidget*>(child->view()));
        // Every part of the form can be scrolled to: the scroll range covers what the
        // viewport lacks.
        const QSize needed = child->view()->minimumSizeHint();
        const QSize shown = scroll->viewport()->size();
        QVERIFY(needed.height() > shown.height());
        QVERIFY(scroll->verticalScrollBar()->maximum() >= needed.height() - shown.height());
        if (needed.width() > shown.width())
            QVERIFY(scroll->horizontalScrollBar()->maximum() >= needed.width() - shown.width());
        Save(t.frame.get(), "five_tone_scrolls.png");
        // The window kept the size it was given.
        QCOMPARE(child->size(), QSize(400, 300));
    }

    void modalEditorsHaveACloseButton() {
        FrameUnderTest t;
        for (const char* name : {"Channel edit", "VFO", "Frequency range"}) {
            const EditorEntry* entry = FindEditor(name);
            QVERIFY2(entry && entry->kind == WindowKind::ModalDialog, name);
            bool seen = false;
            WhenModal([&](QWidget* w) {
                auto* close = w->findChild<QAbstractButton*>("Close");
                if (close && close->isVisible() && close->text() == "Close") seen = true;
                if (close) close->click();
                // A dialog the button failed to close is closed here, so that the test ends.
                QTimer::singleShot(500, w, [w] {
                    if (w->isVisible()) static_cast<QDialog*>(w)->done(QDialog::Rejected);
                });
            });
            QElapsedTimer clock;
            clock.start();
            t.frame->RunModalEditor(*entry);
            QVERIFY2(seen, name);
            QVERIFY2(clock.elapsed() < 500, name);  // closed by the button, not by the guard
        }
    }

    // A cell editor that closes while it has the focus leaves the focus in its own window: no
    // other child window becomes the active one on the way.
    void closingACellEditorKeepsItsWindowActive() {
        FrameUnderTest t;
        QApplication::setActiveWindow(t.frame.get());
        for (int command : {ID_EDIT_SCAN, ID_EDIT_DTMF}) t.frame->OpenEditor(command);
        CChildFrame* table = t.frame->childFrame(ID_EDIT_CHANNEL);
        t.frame->Execute(ID_WINDOW_TILE_HORZ);
        t.frame->mdiArea()->setActiveSubWindow(table);
        QCoreApplication::processEvents();
        auto* w = qobject_cast<FormViewWindow*>(table->view());
        QVERIFY(w);
        GridWidget* g = w->grid(CProgramView::kIdGrid);
        auto* list = qobject_cast<QComboBox*>(w->control(CProgramView::kIdListCombo));
        QList<QMdiSubWindow*> activated;
        // The connection ends with the list: the frame's windows still change when it goes.
        QObject listening;
        connect(t.frame->mdiArea(), &QMdiArea::subWindowActivated, &listening,
                [&](QMdiSubWindow* s) { activated << s; });
        auto open_power = [&] {
            g->scrollToTop();
            const QRect power = g->visualItemRect(g->item(0, CProgramView::kColPower - 1));
            QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, power.center());
            QVERIFY(list->isVisible());
            QVERIFY(list->hasFocus());
        };
        // Esc in the list: it closes with the focus in it.
        open_power();
        QTest::keyClick(list, Qt::Key_Escape);
        QVERIFY(list->isHidden());
        QVERIFY(g->hasFocus());
        // A second click on the list opens its entries: the list stays, and so does the
        // window when the entries close.
        open_power();
        QTest::mouseClick(list, Qt::LeftButton, {}, list->rect().center());
        QCoreApplication::processEvents();
        QVERIFY(list->isVisible());
        QVERIFY(list->view()->isVisible());
        list->hidePopup();
        QCoreApplication::processEvents();
        QVERIFY(list->isVisible());
        QVERIFY(list->hasFocus());
        QTest::keyClick(list, Qt::Key_Escape);
        // The views committed (as before Save) while the list is open.
        open_power();
        t.frame->CommitAllViews();
        QVERIFY(list->isHidden());
        QVERIFY(table->isAncestorOf(QApplication::focusWidget()));
        QCoreApplication::processEvents();
        for (QMdiSubWindow* s : activated)
            QVERIFY2(s == table, qPrintable("activated: " + (s ? s->windowTitle() : "none")));
        QCOMPARE(t.frame->mdiArea()->activeSubWindow(), table);
    }

    // A click on the DTMF Type list opens its entries; the list stays and the next click
    // chooses.
    void aClickOnACellListOpensIt() {
        FrameUnderTest t;
        QApplication::setActiveWindow(t.frame.get());
        t.frame->OpenEditor(ID_EDIT_SCAN);
        t.frame->OpenEditor(ID_EDIT_DTMF);
        CChildFrame* child = t.frame->childFrame(ID_EDIT_DTMF);
        t.frame->Execute(ID_WINDOW_TILE_HORZ);
        t.frame->mdiArea()->setActiveSubWindow(child);
        QCoreApplication::processEvents();
        auto* window = qobject_cast<TabbedFormWindow*>(child->view());
        QVERIFY(window);
        auto* g = qobject_cast<GridWidget*>(window->control(0, CDtmfCodePage::kIdGrid));
        auto* list = qobject_cast<QComboBox*>(window->control(0, CDtmfCodePage::kIdTypeList));
        QVERIFY(g && list);
        g->scrollToTop();
        const QRect type = g->visualItemRect(g->item(2, CDtmfCodePage::kColType - 1));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, type.center());
        QVERIFY(list->isVisible());
        QTest::mouseClick(list, Qt::LeftButton, {}, list->rect().center());
        QCoreApplication::processEvents();
        QVERIFY(list->isVisible());
        QVERIFY(list->view()->isVisible());  // the entries are shown
        QCOMPARE(t.frame->mdiArea()->activeSubWindow(), child);
        list->hidePopup();
        QCoreApplication::processEvents();
        QVERIFY(list->isVisible());
        QCOMPARE(t.frame->mdiArea()->activeSubWindow(), child);
    }

    void keysOfTheTreeAndTheChildren() {
        FrameUnderTest t;
        QApplication::setActiveWindow(t.frame.get());
        QTreeWidget* tree = t.frame->tree();
        auto item_of = [&](int command) -> QTreeWidgetItem* {
            for (int k = 0; k < tree->topLevelItem(0)->childCount(); ++k)
                if (tree->topLevelItem(0)->child(k)->data(0, Qt::UserRole).toInt() == command)
                    return tree->topLevelItem(0)->child(k);
            return nullptr;
        };
        // Enter on a tree item opens it, Space too (keys arrive as the window system's).
        QWindow* window = t.frame->windowHandle();
        tree->setFocus();
        QVERIFY(tree->hasFocus());
        tree->setCurrentItem(item_of(ID_EDIT_BASIC));
        QVERIFY(item_of(ID_EDIT_BASIC));
        QTest::keyClick(window, Qt::Key_Return);
        QVERIFY(t.frame->childFrame(ID_EDIT_BASIC));
        tree->setFocus();
        tree->setCurrentItem(item_of(ID_EDIT_SCAN));
        QTest::keyClick(window, Qt::Key_Space);
        QVERIFY(t.frame->childFrame(ID_EDIT_SCAN));
        QCOMPARE(t.frame->mdiArea()->activeSubWindow(), t.frame->childFrame(ID_EDIT_SCAN));
        // Ctrl+F4 closes the active child.
        // Two children open: the key is no one's but the frame's.
        QVERIFY(t.frame->mdiArea()->subWindowList().size() >= 2);
        QTest::keyClick(window, Qt::Key_F4, Qt::ControlModifier);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!t.frame->childFrame(ID_EDIT_SCAN));
        QVERIFY(t.frame->childFrame(ID_EDIT_BASIC));
    }
};

}  // namespace
}  // namespace vm::gui

VM_WINDOW_TEST(vm::gui::WindowTest);
#include "window_test.moc"
