// The main frame's net under the user's data: the modified state and its prompt, the backups
// of every Read, and the comparison of the open document with a file.
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "app/editors/catalogue/document_diff.h"
#include "app/gui/commands.h"
#include "app/gui/main_frame.h"
#include "app/gui/transfer_dlg.h"
#include "app/gui/ui_hooks.h"
#include "app/gui/window_menu.h"
#include "app/shell/backups.h"

namespace vm::gui {

void CMainFrame::CreateSafetyActions() {
    auto add = [this](int id, const QString& text, std::function<void()> run) {
        auto* a = new QAction(text, this);
        a->setData(id);
        connect(a, &QAction::triggered, this, std::move(run));
        actions_[id] = a;
    };
    add(ID_FILE_OPEN_BACKUP, "Open &Backup...", [this] { OnFileOpenBackup(); });
    add(ID_FILE_COMPARE, "Co&mpare With...", [this] { OnFileCompareWith(); });
    auto* timer = new QTimer(this);
    timer->setObjectName("ModifiedTimer");
    connect(timer, &QTimer::timeout, this, &CMainFrame::RefreshModified);
    timer->start(500);
}

bool CMainFrame::IsModified() {
    return modified_state_.IsModified(document_, OpenViews());
}

void CMainFrame::MarkUnmodified() {
    modified_state_.MarkUnmodified(document_, OpenViews());
    modified_shown_ = false;
    UpdateTitle();
}

void CMainFrame::RefreshModified() {
    // While a modal window is open (a transfer's worker may be writing the image, a dialog
    // editor holds its record) the title waits.
    if (QApplication::activeModalWidget()) return;
    // The views are not asked: storing them would close what the user is typing in.
    const bool modified = modified_state_.StoredBytesDiffer(document_);
    if (modified == modified_shown_) return;
    modified_shown_ = modified;
    UpdateTitle();
}

bool CMainFrame::MayDropDocument() {
    if (!IsModified()) return true;
    modified_shown_ = true;
    UpdateTitle();
    const std::string question = SaveChangesQuestion(document_, app_.default_file_name);
    const MessageAnswer answer =
        Hooks().message_box(this, QString::fromStdString(question), AppTitle(),
                            MessageButtons::SaveDiscardCancel, MessageIcon::Warning, {});
    switch (answer) {
        case MessageAnswer::Save:
        case MessageAnswer::Yes:
            return SaveDocument();
        case MessageAnswer::Discard:
        case MessageAnswer::No:
            return true;
        default:
            return false;
    }
}

void CMainFrame::SaveReadBackup() {
    const shell::BackupResult backup =
        shell::SaveBackup(app_, document_.Header(), document_.Image());
    if (backup.ok()) {
        // Said after what the transfer left in the status bar ("Read complete at ...").
        const QString done = statusBar()->currentMessage();
        statusBar()->showMessage(
            (done.isEmpty() ? QString() : done + "; ") +
            QString("backup saved: %1").arg(QString::fromStdString(backup.file.string())));
        return;
    }
    // A backup that cannot be written does not undo the Read.
    Hooks().message_box(this,
                        QString("No backup of the radio was saved:\n%1\n%2")
                            .arg(QString::fromStdString(backup.file.string()),
                                 QString::fromStdString(backup.io.message)),
                        AppTitle(), MessageButtons::Ok, MessageIcon::Warning, {});
}

bool CMainFrame::ReadBackupFirst() {
    // The radio is read aside: the document keeps what is about to be written.
    auto before = std::make_unique<RadioImage>(image());
    if (!gui::RunTransfer(this, *before, ProgramReadRanges(), PortDevice(), extended_range_,
                          link_options_))
        return false;
    const shell::BackupResult backup = shell::SaveBackup(app_, document_.Header(), *before);
    if (backup.ok()) return true;
    Hooks().message_box(this,
                        QString("No backup of the radio was saved, nothing was written:\n%1\n%2")
                            .arg(QString::fromStdString(backup.file.string()),
                                 QString::fromStdString(backup.io.message)),
                        AppTitle(), MessageButtons::Ok, MessageIcon::Warning, {});
    return false;
}

namespace {

// A data file chosen in the backups folder (empty on Cancel).
QString ChooseBackup(QWidget* parent, const shell::AppState& app, const QString& caption) {
    FileChoice choice;
    choice.caption = caption;
    choice.folder = QString::fromStdString(shell::BackupFolder(app).string());
    choice.filter = DataFileFilter();
    return Hooks().choose_file(parent, choice);
}

}  // namespace

void CMainFrame::OnFileOpenBackup() {
    if (!MayDropDocument()) return;
    const QString path = ChooseBackup(this, app_, "Open Backup");
    if (!path.isEmpty()) OpenFile(path.toStdString());
}

std::optional<QStringList> CMainFrame::CompareWithFile(const QString& file) {
    CommitAllViews();
    // The file is opened as File > Open would open it at start-up: over the factory image.
    auto other = std::make_unique<DocumentCopy>(document_);
    other->doc.New(app_.DefaultDataFile());
    const shell::OpenResult result = other->doc.Open(file.toStdString());
    if (!result.ok()) {
        Hooks().message_box(this, QString::fromStdString(result.message), AppTitle(),
                            MessageButtons::Ok, MessageIcon::Warning, {});
        return std::nullopt;
    }
    QStringList lines;
    for (const std::string& line : DiffLines(CompareDocuments(document_, other->doc)))
        lines << QString::fromStdString(line);
    return lines;
}

void CMainFrame::OnFileCompareWith() {
    const QString path = ChooseBackup(this, app_, "Compare With");
    if (path.isEmpty()) return;
    const std::optional<QStringList> lines = CompareWithFile(path);
    if (!lines) return;
    QDialog dialog(this);
    dialog.setObjectName("CompareDlg");
    dialog.setWindowTitle("Compare With");
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QString("The open document against %1:").arg(path), &dialog));
    auto* list = new QPlainTextEdit(&dialog);
    list->setObjectName("Differences");
    list->setReadOnly(true);
    list->setPlainText(lines->isEmpty() ? QString("No differences.") : lines->join('\n'));
    layout->addWidget(list);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    FitOnScreen(dialog, QSize(640, 480));
    dialog.exec();
}

}  // namespace vm::gui
