// Help > About, the user guide, the fonts of the Chinese captions, and printing: the preview,
// the page layout and printing to PDF; pictures of every window on request.
#include <QDir>
#include <QDockWidget>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenu>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBrowser>

#include "app/editors/channels/program_view.h"
#include "app/gui/about_box.h"
#include "app/gui/channel_print_list.h"
#include "app/gui/commands.h"
#include "app/gui/custom_data_dlg.h"
#include "app/gui/grid_widget.h"
#include "app/gui/password_dlg.h"
#include "app/gui/port_dlg.h"
#include "app/gui/printing.h"
#include "app/gui/transfer_dlg.h"
#include "app/image/channel_record.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"

using namespace vm;
using namespace vm::gui;
using namespace vm::gui::testing;

class HelpPrintWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetHooks(); }

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

VM_WINDOW_TEST(HelpPrintWindowTest);
VM_WINDOW_TEST(Screenshots);

#include "help_print_window_test.moc"
