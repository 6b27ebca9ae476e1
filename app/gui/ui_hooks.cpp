#include "app/gui/ui_hooks.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>

#include "app/gui/password_dlg.h"
#include "app/gui/window_menu.h"
#include "app/link/clone_worker.h"

namespace vm::gui {
namespace {

QString PlatformChooseFile(QWidget* parent, const FileChoice& choice) {
    QFileDialog dialog(parent, choice.caption, choice.folder, choice.filter);
    dialog.setAcceptMode(choice.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(choice.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (choice.save) {
        dialog.setDefaultSuffix("dat");
        if (!choice.file_name.isEmpty()) dialog.selectFile(choice.file_name);
    }
    // Qt's own chooser asks for more than a small screen has: it is fitted to the screen.
    FitOnScreen(dialog, dialog.sizeHint());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front();
}

MessageAnswer PlatformMessageBox(QWidget* parent, const QString& text, const QString& caption,
                                 MessageButtons buttons, MessageIcon icon, const QString& detail) {
    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    if (!detail.isEmpty()) box.setInformativeText(detail);
    box.setIcon(icon == MessageIcon::Warning       ? QMessageBox::Warning
                : icon == MessageIcon::Information ? QMessageBox::Information
                                                   : QMessageBox::NoIcon);
    if (buttons == MessageButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
    }
    if (buttons == MessageButtons::SaveDiscardCancel) {
        box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Save);
        box.setEscapeButton(QMessageBox::Cancel);
        const int answer = box.exec();
        return answer == QMessageBox::Save      ? MessageAnswer::Save
               : answer == QMessageBox::Discard ? MessageAnswer::Discard
                                                : MessageAnswer::Cancel;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return MessageAnswer::Ok;
}

bool PlatformPrintDialog(QWidget* parent, QPrinter& printer) {
    QPrintDialog dialog(&printer, parent);
    dialog.setPrintRange(QAbstractPrintDialog::AllPages);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    dialog.setOption(QAbstractPrintDialog::PrintCurrentPage, false);
    // Printing to a PDF file stays offered: on many machines it is the only printer there is.
    dialog.setOption(QAbstractPrintDialog::PrintToFile, true);
    return dialog.exec() == QDialog::Accepted;
}

std::optional<std::string> PlatformRadioPassword(QWidget* parent) {
    CPasswordDlg dialog(CPasswordDlg::Kind::Radio, MatchesAccessCode, parent);
    // OK with a wrong code closes the dialog as Cancel does; the text goes to the worker all
    // the same, which refuses it and so can say that the code was wrong.
    if (dialog.exec() != QDialog::Accepted && !dialog.refused()) return std::nullopt;
    return dialog.typed();
}

UiHooks PlatformHooks() {
    return {PlatformChooseFile, PlatformMessageBox, PlatformPrintDialog, PlatformRadioPassword};
}

}  // namespace

UiHooks& Hooks() {
    static UiHooks hooks = PlatformHooks();
    return hooks;
}

void ResetHooks() {
    Hooks() = PlatformHooks();
}

namespace {
QString& Title() {
    static QString title = QStringLiteral("VM6142");
    return title;
}
}  // namespace

QString AppTitle() {
    return Title();
}
void SetAppTitle(const QString& title) {
    Title() = title;
}

QString DataFileFilter() {
    return QStringLiteral("Param Files (*.dat)");
}

}  // namespace vm::gui
