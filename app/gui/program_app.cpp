#include "app/gui/program_app.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <cstdio>

#include "app/gui/commands.h"
#include "app/gui/main_frame.h"
#include "app/gui/ui_hooks.h"
#include "app/shell/globals.h"

namespace vm::gui {

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine line;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == "--port" && i + 1 < arguments.size()) {
            line.port = arguments[++i].toStdString();
        } else if (a.startsWith("--port=")) {
            line.port = a.mid(7).toStdString();
        } else if (a == "--screenshot" && i + 1 < arguments.size()) {
            line.screenshot = arguments[++i];
        } else if (a == "--quit-when-shown") {
            line.quit_when_shown = true;
        } else if (a == "--help" || a == "-h") {
            line.help = true;
        } else if (!a.startsWith('-') && line.file.isEmpty()) {
            line.file = a;
        } else {
            line.error = a;
        }
    }
    return line;
}

CProgramApp::CProgramApp(const std::string& app_folder, const CommandLine& command_line)
    : CProgramApp(shell::PortableLocations(app_folder), command_line) {}

CProgramApp::CProgramApp(const shell::Locations& where, const CommandLine& command_line) {
    using shell::g_App;
    // The program's own icon on every window.
    QApplication::setWindowIcon(QIcon(":/vm6142/icons/vm6142-256.png"));
    // Settings file, port, help file, model, company; the user's folders made when missing.
    problems_ = shell::StartUp(g_App, where);
    if (const TimeoutScale scale = TimeoutScaleFromEnvironment(); !scale.problem.empty())
        problems_.push_back(scale.problem);
    if (command_line.port) {
        g_App.port_path = *command_line.port;
        port_for_run_ = command_line.port;
    }
    // The main frame: resets the image from "Default.dat", builds the tree, opens the channel
    // table, shows the port. The "Custom Data" item is never in the frame's menu at start.
    frame_ = std::make_unique<CMainFrame>(g_App, shell::g_Document);
    frame_->Initialise();
    frame_->show();
    // The model name is the application's title (message boxes and the frame).
    SetAppTitle(QString::fromStdString(g_App.model_name));
    frame_->UpdateTitle();
    if (!command_line.file.isEmpty()) OpenFromCommandLine(command_line.file);
    ShowStartUpProblems();
}

void CProgramApp::OpenFromCommandLine(const QString& path) {
    // Opened exactly as File > Open opens a chosen file (its messages included).
    frame_->OpenFile(QFileInfo(path).absoluteFilePath().toStdString());
}

void CProgramApp::ShowStartUpProblems() {
    if (problems_.empty()) return;
    QString text;
    for (const std::string& problem : problems_) {
        std::fprintf(stderr, "Program: warning: %s\n", problem.c_str());
        text += QString::fromStdString(problem) + "\n";
    }
    // Not modal: the program goes on, read-only where it cannot write.
    auto* box = new QMessageBox(QMessageBox::Warning, AppTitle(), text.trimmed(), QMessageBox::Ok,
                                frame_.get());
    box->setObjectName("StartUpProblems");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

CProgramApp::~CProgramApp() = default;

bool CProgramApp::ExitInstance() {
    if (port_for_run_ && *port_for_run_ == shell::g_App.port_path) return false;
    return shell::ShutDown(shell::g_App);
}

}  // namespace vm::gui
