// The window's net under unsaved edits: the title's asterisk, "Save changes to NAME?" before
// New, Open, Read and Exit, Open Backup and Compare With.
#include <QAbstractButton>
#include <QMessageBox>
#include <QStatusBar>

#include "app/editors/settings/editor_fields.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/editor_windows.h"
#include "app/shell/backups.h"
#include "tests/app/gui/gui_fixture.h"

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

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    vm::gui::SafetyNetWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "safety_net_window_test.moc"
