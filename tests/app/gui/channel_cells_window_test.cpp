// The channel table's window: its layout, typing into its cells through the in-place editors,
// Escape, closing the window and scrolling.
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include "app/editors/channels/program_view.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/grid_widget.h"
#include "app/image/channel_record.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"

using namespace vm;
using namespace vm::gui;
using namespace vm::gui::testing;

class ChannelCellsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetHooks(); }

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
};

VM_WINDOW_TEST(ChannelCellsWindowTest);

#include "channel_cells_window_test.moc"
