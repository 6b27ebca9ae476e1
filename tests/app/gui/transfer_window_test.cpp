// The windows that talk to the radio, against the simulated radio: the transfer dialog (read,
// write, cancel, access code, password), the Port dialog and its probe, the service unlock and
// Custom Data.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStatusBar>

#include "app/editors/channels/program_view.h"
#include "app/gui/commands.h"
#include "app/gui/custom_data_dlg.h"
#include "app/gui/password_dlg.h"
#include "app/gui/port_dlg.h"
#include "app/gui/transfer_dlg.h"
#include "app/image/channel_record.h"
#include "app/shell/globals.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"
#include "tools/radio/simulated_radio.h"

using namespace vm;
using namespace vm::gui;
using namespace vm::gui::testing;

namespace {

std::string Markers(const RadioRecord& r) {
    std::string s;
    for (const auto& m : r.end_markers) s += m + " ";
    return s;
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

class TransferWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetHooks(); }

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
};

VM_WINDOW_TEST(TransferWindowTest);

#include "transfer_window_test.moc"
