// The window's net under unsaved edits: the title's asterisk, "Save changes to NAME?" before
// New, Open, Read and Exit, Open Backup and Compare With.
#include <QAbstractButton>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>

#include "app/editors/framework/editor_fields.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/editor_windows.h"
#include "app/gui/transfer_dlg.h"
#include "app/shell/backups.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"
#include "tools/radio/simulated_radio.h"

namespace vm::gui {
namespace {

using testing::Answers;
using testing::FrameUnderTest;
using testing::WhenModal;

// Sets a field of an open editor window as a user does (typed and left, not yet stored).
bool SetField(CMainFrame& frame, int command, const std::string& name, const std::string& value) {
    frame.OpenEditor(command);
    CChildFrame* child = frame.childFrame(command);
    if (!child || !child->view()->FormView()) return false;
    CBaseFormView& view = *child->view()->FormView();
    const auto field = FindEditorField(view, name);
    return field && !SetEditorField(view, *field, value);
}

// Presses Start on the next transfer dialog other than `not_this`.
void PressStart(QWidget* not_this = nullptr) {
    WhenModal(
        [](QWidget* w) {
            if (auto* dlg = qobject_cast<CTransferDlg*>(w))
                QTest::mouseClick(dlg->startButton(), Qt::LeftButton);
        },
        not_this);
}

int Count(const QStringList& list, const QString& text) {
    return static_cast<int>(list.count(text));
}

class SafetyNetWindowTest : public QObject {
    Q_OBJECT

private slots:
    void asksOnlyWhenModifiedAndCancelKeepsEverything() {
        FrameUnderTest t;
        Answers answers;
        QVERIFY(!t.frame->IsModified());
        t.frame->OnFileOpen();  // nothing changed: straight to the file dialog
        QCOMPARE(answers.messages.size(), 0);
        QCOMPARE(answers.choices.size(), 1);

        QVERIFY(SetField(*t.frame, ID_EDIT_BASIC, "Option/Volume", "12"));
        const RadioImage before = *t.image;
        answers.save_answer = MessageAnswer::Cancel;
        for (auto command : {&CMainFrame::OnFileOpen, &CMainFrame::OnFileNew,
                             &CMainFrame::OnProgramRead, &CMainFrame::OnFileOpenBackup})
            (t.frame.get()->*command)();
        QCOMPARE(Count(answers.messages, "Save changes to VM6142.dat?"), 4);
        QCOMPARE(answers.messages.size(), 4);  // not "Clear all data!", no transfer's message
        QCOMPARE(answers.choices.size(), 1);
        QVERIFY(*t.image == before);
        QVERIFY(t.frame->IsModified());
        QVERIFY(t.frame->windowTitle().startsWith("*"));
        QVERIFY(!t.frame->close());  // Exit asks too; Cancel keeps the program open
        QCOMPARE(answers.messages.size(), 5);
        QVERIFY(t.frame->isVisible());

        // Discard: New goes on to its own question and resets.
        answers.save_answer = MessageAnswer::Discard;
        t.frame->OnFileNew();
        QCOMPARE(answers.messages.size(), 7);
        QCOMPARE(answers.messages[6], QString::fromUtf8(shell::kMsgClearAllData.data()));
        QVERIFY(!t.frame->IsModified());
        QVERIFY(!t.frame->windowTitle().startsWith("*"));
        QCOMPARE(ShownText(*FindEditorField(*t.frame->childFrame(ID_EDIT_BASIC)->view()->FormView(),
                                            "Option/Volume")),
                 std::string("8"));
        QVERIFY(t.frame->close());
    }

    // The title follows edits once they are stored (a tab left, a window closed, printing).
    void theTitleFollowsStoredEdits() {
        FrameUnderTest t;
        Answers answers;
        QVERIFY(SetField(*t.frame, ID_EDIT_BASIC, "Option/Volume", "12"));
        t.frame->RefreshModified();
        QVERIFY(!t.frame->windowTitle().startsWith("*"));
        t.frame->CommitAllViews();
        t.frame->RefreshModified();
        QVERIFY(t.frame->windowTitle().startsWith("*"));
        QVERIFY(SetField(*t.frame, ID_EDIT_BASIC, "Option/Volume", "8"));
        t.frame->CommitAllViews();
        t.frame->RefreshModified();
        QVERIFY(!t.frame->windowTitle().startsWith("*"));
    }

    void saveFirstThenGoOn() {
        FrameUnderTest t;
        Answers answers;
        answers.file = t.folder.file("saved.dat");
        QVERIFY(SetField(*t.frame, ID_EDIT_BASIC, "Option/Volume", "12"));
        answers.save_answer = MessageAnswer::Save;
        t.frame->OnFileOpen();  // Save As (no file yet), then the file chosen is opened
        QCOMPARE(answers.choices.size(), 2);
        QVERIFY(answers.choices[0].save);
        QVERIFY(t.document->HasCurrentFile());
        QCOMPARE((*t.image)[0xCC2F], std::uint8_t{12});
        QVERIFY(!t.frame->IsModified());
        QCOMPARE(t.frame->windowTitle().left(1), QString("V"));

        // A Save As the user cancels saves nothing: the open does not go on.
        QVERIFY(SetField(*t.frame, ID_EDIT_BASIC, "Option/Volume", "13"));
        answers.file.clear();
        t.document->New(t.app.DefaultDataFile());  // no current file: Save asks for one
        QVERIFY(SetField(*t.frame, ID_EDIT_BASIC, "Option/Volume", "13"));
        const int choices = static_cast<int>(answers.choices.size());
        t.frame->OnFileOpen();
        QCOMPARE(static_cast<int>(answers.choices.size()), choices + 1);
        QVERIFY(t.frame->IsModified());
    }

    void compareWithListsTheEditorsFields() {
        FrameUnderTest t;
        Answers answers;
        answers.file = t.folder.file("a.dat");
        t.frame->OnFileSaveAs();
        QVERIFY(SetField(*t.frame, ID_EDIT_BASIC, "Option/Volume", "12"));
        const auto lines = t.frame->CompareWithFile(answers.file);
        QVERIFY(lines);
        QVERIFY2(lines->contains(QString::fromUtf8("Basic setting: Option/Volume: 12 \u2192 8")),
                 qPrintable(lines->join('\n')));
        QVERIFY(!t.frame->CompareWithFile(t.folder.file("missing.dat")));
        // Open Backup starts in the backups folder.
        answers.file.clear();
        answers.save_answer = MessageAnswer::Discard;
        t.frame->OnFileOpenBackup();
        QCOMPARE(answers.choices.back().folder,
                 QString::fromStdString(shell::BackupFolder(t.app).string()));
    }

    void readKeepsABackupAndWriteCanReadOneFirst() {
        FrameUnderTest t;
        Answers answers;
        auto content = std::make_unique<RadioImage>(*t.image);
        (*content)[0xFF00] = 'R';
        (*content)[0xFF01] = '7';
        (*content)[0xE000] = 0x42;
        auto header = std::make_unique<FileHeader>();
        SimulatedRadio radio(*content, *header, {});
        std::string error;
        QVERIFY2(radio.Open(error), error.c_str());
        radio.Start();
        t.app.port_path = radio.device();
        t.frame->linkOptions().timing.wake_byte_sleep = std::chrono::microseconds(0);
        t.frame->linkOptions().timing.ack_sleep = std::chrono::microseconds(0);

        PressStart();
        QVERIFY(t.frame->Execute(ID_PROGRAM_READ));
        QCOMPARE((*t.image)[0xE000], std::uint8_t{0x42});
        auto list = shell::ListBackups(shell::BackupFolder(t.app));
        QCOMPARE(static_cast<int>(list.size()), 1);
        QCOMPARE(QString::fromStdString(list[0].serial_number), QString("R7"));
        QVERIFY(!t.frame->IsModified());

        // Write, ticking "Read a backup first": the radio's old content is kept first.
        (*t.image)[0xE000] = 0x43;
        bool offered_unticked = false;
        WhenModal([&](QWidget* w) {
            auto* dlg = qobject_cast<CTransferDlg*>(w);
            if (!dlg || !dlg->backupFirst()) return;
            offered_unticked = !dlg->backupFirst()->isChecked();
            dlg->backupFirst()->setChecked(true);
            PressStart(dlg);  // the read of the backup
            QTest::mouseClick(dlg->startButton(), Qt::LeftButton);
        });
        QVERIFY(t.frame->Execute(ID_PROGRAM_WRITE));
        QVERIFY(offered_unticked);
        QTRY_COMPARE_WITH_TIMEOUT(radio.memory()[0xE000], std::uint8_t{0x43}, 3000);
        list = shell::ListBackups(shell::BackupFolder(t.app));
        QCOMPARE(static_cast<int>(list.size()), 2);
        QFile newest(QString::fromStdString(list[0].file.string()));
        QVERIFY(newest.open(QIODevice::ReadOnly));
        QCOMPARE(static_cast<std::uint8_t>(newest.readAll().at(kHeaderSize + 0xE000)),
                 std::uint8_t{0x42});
        QVERIFY(answers.messages.isEmpty());
        radio.Stop();
    }

    // The platform's message box: the question, Save, Discard and Cancel.
    void thePromptShowsItsThreeButtons() {
        FrameUnderTest t;
        QVERIFY(SetField(*t.frame, ID_EDIT_BASIC, "Option/Volume", "12"));
        ResetHooks();
        QString text;
        QStringList buttons;
        WhenModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box) return;
            text = box->text();
            for (QAbstractButton* b : box->buttons()) buttons << b->text();
            box->button(QMessageBox::Cancel)->click();
        });
        t.frame->OnFileNew();
        QCOMPARE(text, QString("Save changes to VM6142.dat?"));
        QCOMPARE(buttons.size(), 3);
        QVERIFY(t.frame->IsModified());
        Answers answers;  // no prompt left behind for the frame's end
        answers.save_answer = MessageAnswer::Discard;
        QVERIFY(t.frame->close());
    }
};

}  // namespace
}  // namespace vm::gui

VM_WINDOW_TEST(vm::gui::SafetyNetWindowTest);

#include "safety_net_window_test.moc"
