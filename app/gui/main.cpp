// Program: the VM6142 desktop editor.
#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>

#include "app/gui/main_frame.h"

#include "app/gui/program_app.h"
#include "app/shell/app_state.h"

namespace {

// Ends the program after the first paint of the window it watches, saying so on stdout.
class QuitWhenShown : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !done_) {
            done_ = true;
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            QTimer::singleShot(0, [] { QApplication::exit(0); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool done_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Program");
    QApplication::setOrganizationName("KWJ");
    const vm::gui::CommandLine line = vm::gui::ParseCommandLine(QApplication::arguments());
    if (line.help || !line.error.isEmpty()) {
        if (!line.error.isEmpty())
            std::fprintf(stderr, "Program: unknown argument %s\n", qPrintable(line.error));
        // The name it was started by: "Program" in the build tree, "vm6142-editor" installed.
        const QString name = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
        std::fprintf(
            stderr,
            "usage: %s [--port PATH] [--screenshot FILE] [--quit-when-shown] [FILE]\n"
            "  FILE               a data file (*.dat) to open at start\n"
            "  --port PATH        the serial port for this run only (a COM name or a\n"
            "                     device path); \"Program.ini\" keeps its own port\n"
            "  --screenshot FILE  save a picture of the main window (PNG) and end\n"
            "  --quit-when-shown  print \"shown\" once the main window is painted, and end\n"
            "environment:\n"
            "  %s=N  Read and Write wait N times longer (1 to %u) for the\n"
            "                     radio's answers, for a slow link\n",
            qPrintable(name), vm::kTimeoutScaleVariable, vm::kMaxTimeoutScale);
        return line.help ? 0 : 2;
    }
    QuitWhenShown quit_when_shown;
    if (line.quit_when_shown) app.installEventFilter(&quit_when_shown);
    vm::gui::CProgramApp program(vm::shell::Locate(vm::shell::CurrentEnvironment()), line);
    if (!line.screenshot.isEmpty()) {
        QTimer::singleShot(200, [&] {
            const bool saved = program.frame().grab().save(line.screenshot);
            if (!saved)
                std::fprintf(stderr, "Program: cannot write %s\n", qPrintable(line.screenshot));
            QApplication::exit(saved ? 0 : 1);
        });
    }
    const int result = QApplication::exec();
    program.ExitInstance();
    return result;
}
