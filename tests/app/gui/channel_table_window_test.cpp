// The channel table's window as a spreadsheet: row selection, the edit shortcuts, the Sort
// dialog, and File > Import/Export Channels (which saves what the command line saves).
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QSpinBox>
#include <QTest>
#include <fstream>
#include <sstream>

#include "app/editors/channels/program_view.h"
#include "app/gui/channel_table_actions.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/editor_windows.h"
#include "app/gui/grid_widget.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"
#include "tools/cli/cli.h"

namespace vm::gui {

using testing::Answers;
using testing::FrameUnderTest;
using testing::WhenModal;
using V = CProgramView;

namespace {

ChannelTableActions* Actions(CMainFrame& frame) {
    CChildFrame* child = frame.childFrame(ID_EDIT_CHANNEL);
    return child ? ChannelActionsOf(child->view()) : nullptr;
}

void ClickChannelNumber(GridWidget& grid, int row, Qt::KeyboardModifiers modifiers = {}) {
    grid.scrollToItem(grid.item(row - 1, 0));
    QWidget* header = grid.verticalHeader()->viewport();
    const QPoint at(header->width() / 2, grid.rowViewportPosition(row - 1) + 2);
    QTest::mouseClick(header, Qt::LeftButton, modifiers, at);
    QCoreApplication::processEvents();
}

void TypeRx(CProgramView& view, int row, const char* rx) {
    view.TypeIntoCell(row, V::kColRx, rx);
}

}  // namespace

class ChannelTableWindowTest : public QObject {
    Q_OBJECT

private slots:
    void rowsAreSelectedCopiedDeletedAndUndoneFromTheKeyboard() {
        FrameUnderTest t;
        ChannelTableActions* actions = Actions(*t.frame);
        QVERIFY(actions);
        CProgramView& view = actions->view();
        TypeRx(view, 2, "146.52");
        TypeRx(view, 3, "145.6");
        TypeRx(view, 4, "446.1");
        GridWidget& grid = actions->grid();

        // Click 2, Shift+click 4: three rows; Ctrl+click 3 takes it out.
        ClickChannelNumber(grid, 2);
        ClickChannelNumber(grid, 4, Qt::ShiftModifier);
        QCOMPARE(actions->SelectedRows(), (std::vector<int>{2, 3, 4}));
        QCOMPARE(grid.selectionModel()->selectedRows().size(), 3);
        ClickChannelNumber(grid, 3, Qt::ControlModifier);
        QCOMPARE(actions->SelectedRows(), (std::vector<int>{2, 4}));
        ClickChannelNumber(grid, 3, Qt::ControlModifier);

        grid.setFocus();
        QTest::keyClick(&grid, Qt::Key_C, Qt::ControlModifier);
        const QString copied = QApplication::clipboard()->text();
        QVERIFY2(copied.startsWith("CH\tRx Freq\tTx Freq\t"), qPrintable(copied));
        QCOMPARE(copied.count('\n'), 4);

        QTest::keyClick(&grid, Qt::Key_Delete);
        for (int r : {2, 3, 4}) QCOMPARE(view.grid().Text(r, V::kColRx), std::string());
        QTest::keyClick(&grid, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(view.grid().Text(3, V::kColRx), std::string("145.60000"));
        QTest::keyClick(&grid, Qt::Key_Y, Qt::ControlModifier);
        QCOMPARE(view.grid().Text(3, V::kColRx), std::string());
        QTest::keyClick(&grid, Qt::Key_Z, Qt::ControlModifier);

        // Paste the copied rows at channel 10: the same channels.
        view.grid().SetRow(10);
        QTest::keyClick(&grid, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(view.grid().Text(10, V::kColRx), std::string("146.52000"));
        QCOMPARE(view.grid().Text(12, V::kColRx), std::string("446.10000"));

        // Ctrl+Down moves the selection; F3 finds on.
        actions->SelectRows(2, 3);
        QTest::keyClick(&grid, Qt::Key_Down, Qt::ControlModifier);
        QCOMPARE(view.grid().Text(3, V::kColRx), std::string("146.52000"));
        QCOMPARE(view.grid().Text(2, V::kColRx), std::string("446.10000"));
        QCOMPARE(actions->SelectedRows(), (std::vector<int>{3, 4}));
        view.grid().SetRow(1);
        QVERIFY(actions->FindText("146.52", true));
        QCOMPARE(view.grid().Row(), 3);
        QTest::keyClick(&grid, Qt::Key_F3);
        QCOMPARE(view.grid().Row(), 10);

        // File > New: the history starts again.
        QVERIFY(actions->ops().CanUndo());
        Answers answers;
        answers.answer = MessageAnswer::Yes;
        t.frame->OnFileNew();
        QVERIFY(!actions->ops().CanUndo());
        QCOMPARE(view.grid().Text(10, V::kColRx), std::string());
    }

    // A paste into a cell editor (Ctrl+V, as a user pastes) is held to the rules of typing: one
    // decimal point, the filter's characters, the length limit. The cell then gets what typing
    // the same characters would have given it.
    void aPasteIntoACellEditorKeepsWhatTypingWould() {
        FrameUnderTest t;
        CChildFrame* child = t.frame->childFrame(ID_EDIT_CHANNEL);
        QVERIFY(child);
        auto* window = dynamic_cast<FormViewWindow*>(child->view());
        QVERIFY(window);
        ChannelTableActions* actions = Actions(*t.frame);
        QVERIFY(actions);
        CProgramView& view = actions->view();
        GridWidget* g = &actions->grid();
        QApplication::setActiveWindow(t.frame.get());
        struct Case {
            int row;
            int col;
            int editor;
            const char* pasted;
            const char* shown;  // the editor's text after the paste
            const char* cell;   // the cell's text once the editor is left ("": not checked)
            std::uint32_t rx;   // the channel's Rx in the image then (0: not checked)
        };
        const Case cases[] = {
            {5, V::kColRx, V::kIdFreqEdit, "145.5.25", "145.525", "145.52500", 14'552'500},
            {6, V::kColRx, V::kIdFreqEdit, "446.1.5", "446.15", "446.15000", 44'615'000},
            {7, V::kColRx, V::kIdFreqEdit, " 146.52 MHz", "146.52", "146.52000", 14'652'000},
            {8, V::kColRx, V::kIdFreqEdit, "145.6125000000", "145.61250", "145.61250", 14'561'250},
            {5, V::kColCtcss, V::kIdCtcssCombo, "88.5.5", "88.55", "", 0},
            {5, V::kColName, V::kIdNameEdit, "r_p!t1@xy", "RPT1XY", "RPT1XY", 0},
        };
        for (const Case& c : cases) {
            const QString where =
                QString("row %1 column %2: '%3'").arg(c.row).arg(c.col).arg(c.pasted);
            QTableWidgetItem* cell = g->item(c.row - 1, c.col - 1);
            g->scrollToItem(cell);
            QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, g->visualItemRect(cell).center());
            QWidget* editor = window->control(c.editor);
            QVERIFY2(editor->isVisible(), qPrintable(where));
            QLineEdit* le = qobject_cast<QLineEdit*>(editor);
            if (!le) le = qobject_cast<QComboBox*>(editor)->lineEdit();
            le->selectAll();
            QApplication::clipboard()->setText(c.pasted);
            QTest::keyClick(le, Qt::Key_V, Qt::ControlModifier);
            QVERIFY2(le->text() == c.shown, qPrintable(where + " shows " + le->text()));
            QCOMPARE(view.form().Text(c.editor), std::string(c.shown));
            QTest::keyClick(le, Qt::Key_Return);
            if (*c.cell)
                QVERIFY2(cell->text() == c.cell, qPrintable(where + " gave " + cell->text()));
            t.frame->CommitAllViews();
            if (c.rx != 0) QCOMPARE(ConstChannelRecord(*t.image, ChannelOffset(c.row)).Rx(), c.rx);
        }
    }

    void sortShowsTheNewOrderFirst() {
        FrameUnderTest t;
        Answers answers;
        ChannelTableActions* actions = Actions(*t.frame);
        QVERIFY(actions);
        CProgramView& view = actions->view();
        TypeRx(view, 2, "446.1");
        TypeRx(view, 3, "146.52");
        view.TypeIntoCell(3, V::kColName, "AA");
        actions->ops().CommitCellEdits();

        WhenModal([](QWidget* w) {
            auto* dialog = qobject_cast<ChannelSortDialog*>(w);
            QVERIFY(dialog);
            QCOMPARE(dialog->fromBox()->value(), 2);
            QCOMPARE(dialog->preview()->count(), 2);
            QCOMPARE(dialog->preview()->item(0)->text(), QString("2 <- 3  146.52000  AA"));
            dialog->toBox()->setValue(2);  // a range of one channel: nothing moves
            QCOMPARE(dialog->preview()->count(), 1);
            dialog->toBox()->setValue(800);
            dialog->keyBox()->setCurrentIndex(1);
            QCOMPARE(dialog->preview()->item(0)->text(), QString("2 <- 3  146.52000  AA"));
            dialog->accept();
        });
        actions->Sort();
        QCOMPARE(view.grid().Text(2, V::kColName), std::string("AA"));
        QCOMPARE(view.grid().Text(3, V::kColRx), std::string("446.10000"));
        QVERIFY(answers.messages.isEmpty());
    }

    // File > Import Channels saves the same file as `vm6142 channels --import`.
    void importFromTheFileMenuSavesWhatTheCommandLineSaves() {
        FrameUnderTest t;
        Answers answers;
        const auto window_file = t.folder.path() / "window.dat";
        const auto cli_file = t.folder.path() / "cli.dat";
        const auto list = t.folder.path() / "list.csv";
        {
            std::ofstream out(list, std::ios::binary);
            out << "Location;Name;Frequency;Duplex;Offset;Tone;rToneFreq;Mode;Power\r\n"
                   "5;Rpt;145,6125;-;0,6;Tone;88,5;NFM;5W\r\n"
                   "6;Far;600;;;;;FM;\r\n"
                   "7;Air;118,1;;;;;AM;\r\n";
        }
        answers.file = QString::fromStdString(window_file.string());
        t.frame->OnFileSaveAs();
        std::filesystem::copy_file(window_file, cli_file);

        answers.file = QString::fromStdString(list.string());
        answers.answer = MessageAnswer::Yes;  // import the rows that can be held
        t.frame->OnChannelList(true);
        QCOMPARE(answers.messages.size(), 2);
        QVERIFY2(answers.messages[0].contains("line 3: location 6: Frequency 600.00000 MHz"),
                 qPrintable(answers.messages[0]));
        QVERIFY2(answers.messages[1].contains("imported"), qPrintable(answers.messages[1]));
        t.frame->OnFileSave();

        RadioImage image{};
        FileHeader header{};
        BandTables bands = BandTables::Initial();
        shell::Document doc(image, header, bands);
        shell::AppState app;
        shell::LoadStartUpValues(app, t.folder.path());
        std::ostringstream out, err;
        cli::Context ctx{out, err, doc, app};
        const std::vector<std::string> args = {"channels", cli_file.string(), "--import",
                                               list.string(), "--partial"};
        QCOMPARE(cli::Run(args, ctx), 0);
        QVERIFY(vm::testing::ReadBytes(window_file) == vm::testing::ReadBytes(cli_file));

        // An import is one step to undo.
        ChannelTableActions* actions = Actions(*t.frame);
        QCOMPARE(actions->view().grid().Text(5, V::kColName), std::string("RPT"));
        actions->Undo();
        QCOMPARE(actions->view().grid().Text(5, V::kColRx), std::string());
        QCOMPARE(actions->view().grid().Text(7, V::kColRx), std::string());
    }

    void exportFromTheFileMenuWritesEitherLayout() {
        FrameUnderTest t;
        Answers answers;
        ChannelTableActions* actions = Actions(*t.frame);
        QVERIFY(actions);
        TypeRx(actions->view(), 2, "146.52");
        const auto file = t.folder.path() / "out.csv";
        answers.file = QString::fromStdString(file.string());
        answers.answer = MessageAnswer::Yes;  // the exchange layout
        t.frame->OnChannelList(false);
        std::ifstream in(file);
        std::string header, first, second;
        std::getline(in, header);
        std::getline(in, first);
        std::getline(in, second);
        QVERIFY2(header.rfind("Location,Name,Frequency,Duplex,", 0) == 0, header.c_str());
        QVERIFY2(second.rfind("2,,146.520000,", 0) == 0, second.c_str());

        answers.answer = MessageAnswer::No;  // the table's own CSV
        t.frame->OnChannelList(false);
        std::ifstream again(file);
        std::getline(again, header);
        QCOMPARE(QString::fromStdString(header),
                 QString("CH,Rx Freq,Tx Freq,Decode Type,CTCSS,DCS,DCS Polarity,Power,Scan,"
                         "Bandwidth,Signaling,Name"));
        QVERIFY(t.frame->action(ID_FILE_IMPORT_CHANNELS));
        QVERIFY(
            t.frame->menu(true, 0)->actions().contains(t.frame->action(ID_FILE_EXPORT_CHANNELS)));
    }
};

}  // namespace vm::gui

VM_WINDOW_TEST(vm::gui::ChannelTableWindowTest);
#include "channel_table_window_test.moc"
