// The places where the editor waits for the user outside its own windows: file choosers,
// message boxes and the print dialog. The defaults show the platform's dialogs; tests install
// their own answers so that no modal window blocks them.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>

class QWidget;
class QPrinter;

namespace vm::gui {

enum class MessageButtons { Ok, YesNo, SaveDiscardCancel };
enum class MessageIcon { None, Warning, Information };
enum class MessageAnswer { Ok, Yes, No, Save, Discard, Cancel };

struct FileChoice {
    bool save = false;  // a save dialog (else an open dialog)
    QString caption;    // empty: the platform's
    QString folder;     // initial folder
    QString file_name;  // initial file name (save)
    QString filter;     // Qt filter text
};

struct UiHooks {
    // Returns the chosen full path, or an empty string on Cancel.
    std::function<QString(QWidget* parent, const FileChoice& choice)> choose_file;
    // `detail`: what the fixed text is about (the box's informative text; empty: none).
    std::function<MessageAnswer(QWidget* parent, const QString& text, const QString& caption,
                                MessageButtons buttons, MessageIcon icon, const QString& detail)>
        message_box;
    // The print dialog: false on Cancel. The printer is set up as the user chose.
    std::function<bool(QWidget* parent, QPrinter& printer)> print_dialog;
    // The protected radio's password prompt: the text typed and OK (also when it is not the
    // access code: the worker compares), or nullopt for Cancel.
    std::function<std::optional<std::string>(QWidget* parent)> radio_password;
};

// The hooks in force (the platform's dialogs unless replaced).
UiHooks& Hooks();
// Restores the platform's dialogs.
void ResetHooks();

// The application's title: the caption of its message boxes (the model name after start-up;
// "VM6142" before). Kept apart from Qt's application display name, which the platform would
// append to every window title.
QString AppTitle();
void SetAppTitle(const QString& title);

// The filter "Param Files (*.dat)|*.dat||" in the form Qt's file dialogs take.
QString DataFileFilter();

}  // namespace vm::gui
