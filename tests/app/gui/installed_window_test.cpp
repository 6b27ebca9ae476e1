// The editor started as an installed program: its icon, a data file given on the command line
// (a double-click in a file manager) and the folders it cannot make, named beside its window.
#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "app/gui/main_frame.h"
#include "app/gui/program_app.h"
#include "app/gui/ui_hooks.h"
#include "app/shell/globals.h"
#include "app/shell/locations.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"
#include "tests/support/environment.h"

namespace vm::gui {
namespace {

namespace fs = std::filesystem;

// <root>/usr/bin, <root>/usr/share/vm6142 (the build's factory image and a settings seed),
// <root>/home.
struct InstalledTree {
    QTemporaryDir dir;
    fs::path root = dir.path().toStdString();
    fs::path bin = root / "usr/bin";
    fs::path share = root / "usr/share/vm6142";
    fs::path home = root / "home";
    InstalledTree() {
        fs::create_directories(bin);
        fs::create_directories(share);
        fs::create_directories(home);
        fs::copy_file(testing::BuildAppFolder() / "Default.dat", share / "Default.dat");
        std::ofstream(share / "Program.ini") << "[Setup]\nModel=VM6142\n";
    }
    shell::Locations Where() const { return shell::Locate({bin, home.string(), "", ""}); }
};

}  // namespace

class InstalledWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetHooks(); }

    void commandLineTakesOneFile() {
        QCOMPARE(ParseCommandLine({"vm6142-editor", "a.dat"}).file, QString("a.dat"));
        QCOMPARE(ParseCommandLine({"vm6142-editor", "a.dat", "b.dat"}).error, QString("b.dat"));
        QVERIFY(ParseCommandLine({"vm6142-editor", "--port", "x"}).file.isEmpty());
    }

    // First start: the user's folders made, the settings seeded, the program's own icon, the
    // file given opened as File > Open opens it.
    void firstStartOpensTheFileGiven() {
        InstalledTree t;
        const fs::path file = t.home / "my radio.dat";
        fs::copy_file(t.share / "Default.dat", file);
        CommandLine line;
        line.port = "/dev/pts/none";
        line.file = QString::fromStdString(file.string());
        auto program = std::make_unique<CProgramApp>(t.Where(), line);
        QVERIFY(program->StartUpProblems().empty());
        QVERIFY(fs::is_regular_file(t.home / ".config/vm6142/Program.ini"));
        QVERIFY(fs::is_directory(t.home / ".local/share/vm6142/DATA"));
        QCOMPARE(QString::fromStdString(shell::g_App.model_name), QString("VM6142"));
        QVERIFY(program->frame().ownTitle().contains(QString::fromStdString(file.string())));
        QCOMPARE(QString::fromStdString(shell::g_Document.CurrentFile().string()),
                 QString::fromStdString(file.string()));
        QVERIFY(!QApplication::windowIcon().isNull());
        QVERIFY(!program->frame().windowIcon().isNull());
        QVERIFY(!program->frame().findChild<QMessageBox*>("StartUpProblems"));
        program->ExitInstance();
        SetAppTitle("VM6142");
    }

    // The link's waits stretched from the environment, as the command-line tool stretches
    // them; a value that is no such number is named beside the window.
    void theLinksTimeoutScaleIsTakenOrNamed() {
        InstalledTree t;
        CommandLine line;
        line.port = "/dev/pts/none";
        const vm::testing::ScopedEnvironment scale(kTimeoutScaleVariable, "3");
        {
            auto program = std::make_unique<CProgramApp>(t.Where(), line);
            QVERIFY(program->StartUpProblems().empty());
            QCOMPARE(program->frame().linkOptions().timing.timeouts.read_interval, 150u);
            program->ExitInstance();
        }
        scale.Set("fast");
        {
            auto program = std::make_unique<CProgramApp>(t.Where(), line);
            QCOMPARE(program->frame().linkOptions().timing.timeouts.read_interval,
                     LinkTiming{}.timeouts.read_interval);
            auto* box = program->frame().findChild<QMessageBox*>("StartUpProblems");
            QVERIFY(box);
            QVERIFY2(box->text().contains("VM6142_TIMEOUT_SCALE=\"fast\" is not a whole number"),
                     qPrintable(box->text()));
            program->ExitInstance();
        }
        SetAppTitle("VM6142");
    }

    // A settings folder that cannot be made: named with the reason beside the window, which
    // works on without it; a file that is not a data file gives the editor's own message.
    void unusableFoldersAreNamedAndTheProgramGoesOn() {
        InstalledTree t;
        std::ofstream(t.home / ".config") << "in the way";
        const fs::path bad = t.home / "bad.dat";
        std::ofstream(bad) << "not a data file";
        QStringList messages;
        Hooks().message_box = [&](QWidget*, const QString& text, const QString&, MessageButtons,
                                  MessageIcon, const QString&) {
            messages << text;
            return MessageAnswer::Ok;
        };
        CommandLine line;
        line.port = "/dev/pts/none";
        line.file = QString::fromStdString(bad.string());
        auto program = std::make_unique<CProgramApp>(t.Where(), line);
        QCOMPARE(program->StartUpProblems().size(), std::size_t(1));
        auto* box = program->frame().findChild<QMessageBox*>("StartUpProblems");
        QVERIFY(box);
        QVERIFY(box->isVisible());
        QVERIFY(!box->isModal());
        const QString folder = QString::fromStdString((t.home / ".config/vm6142").string());
        QVERIFY2(box->text().contains("\"" + folder + "\": cannot create the settings folder ("),
                 qPrintable(box->text()));
        QCOMPARE(messages, QStringList{"File does not match"});
        QVERIFY(program->frame().isVisible());
        program->ExitInstance();
        SetAppTitle("VM6142");
    }
};

}  // namespace vm::gui

VM_WINDOW_TEST(vm::gui::InstalledWindowTest);
#include "installed_window_test.moc"
