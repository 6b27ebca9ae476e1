// The application: start-up in its order (settings file, data folder, main frame, title, the
// "Custom Data" item absent) and the port written back at exit.
#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/shell/locations.h"

namespace vm::gui {

class CMainFrame;

struct CommandLine {
    // "--port PATH": the port for this run only; it is not written to "Program.ini" at exit
    // (a port chosen in the Port dialog during the run is).
    std::optional<std::string> port;
    // "--screenshot FILE": saves a picture of the main window once it is up, then ends
    // (a look at the editor on a machine without a display).
    QString screenshot;
    // "--quit-when-shown": prints "shown" once the main window has been painted, then ends
    // (how the start-up benchmark times the editor).
    bool quit_when_shown = false;
    // A data file to open at start, as File > Open opens it (a double-click in a file manager).
    QString file;
    bool help = false;
    QString error;  // an unknown argument
};
CommandLine ParseCommandLine(const QStringList& arguments);

class CProgramApp {
public:
    // Start-up with the program's files where `where` says (shell::Locate); a folder alone
    // means everything beside it (tests pass their own).
    CProgramApp(const shell::Locations& where, const CommandLine& command_line);
    CProgramApp(const std::string& app_folder, const CommandLine& command_line);
    ~CProgramApp();

    CMainFrame& frame() { return *frame_; }
    // Program end: the port written back unless it is the one given on the command line.
    bool ExitInstance();
    // The folders or files start-up could not make or write (the program runs read-only
    // there); also shown in a warning beside the main window.
    const std::vector<std::string>& StartUpProblems() const { return problems_; }

private:
    void ShowStartUpProblems();
    void OpenFromCommandLine(const QString& path);

    std::unique_ptr<CMainFrame> frame_;
    std::optional<std::string> port_for_run_;
    std::vector<std::string> problems_;
};

}  // namespace vm::gui
