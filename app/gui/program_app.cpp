#include "app/gui/program_app.h"

#include <QApplication>
#include <QMenu>

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
        } else {
            line.error = a;
        }
    }
    return line;
}

CProgramApp::CProgramApp(const std::string& app_folder, const CommandLine& command_line) {
    using shell::g_App;
    // Settings file, port, help file, model, company; the data folder made when missing.
    shell::StartUp(g_App, app_folder);
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
}

CProgramApp::~CProgramApp() = default;

bool CProgramApp::ExitInstance() {
    if (port_for_run_ && *port_for_run_ == shell::g_App.port_path) return false;
    return shell::ShutDown(shell::g_App);
}

}  // namespace vm::gui
