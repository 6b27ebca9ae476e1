#include "app/shell/app_state.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/shell/version.h"
#include "tests/support/files.h"

namespace vm::shell {
namespace {

namespace fs = std::filesystem;
using vm::testing::ReadText;
using vm::testing::TempDir;
using vm::testing::WriteText;

TEST(AppState, ValuesBeforeStartUp) {
    const AppState app;
    EXPECT_EQ(app.model_name, "VM6142");
    EXPECT_EQ(app.default_file_name, "VM6142.dat");
    EXPECT_EQ(app.port_path, "COM1");
    EXPECT_EQ(app.help_file, fs::path("enHelp.chm"));
    EXPECT_EQ(app.settings.Path(), fs::path("./Program.ini"));
}

TEST(AppState, StartUpReadsTheSettingsAndMakesTheDataFolder) {
    TempDir dir;
    WriteText(
        dir / "Program.ini",
        "[Setup]\r\nCOM=/dev/ttyUSB0\r\nModel=VM6142\r\nCompany=Acme\r\n[About]\r\nVersion=9\r\n");
    AppState app;
    StartUp(app, dir.path());
    EXPECT_EQ(app.app_folder, dir.path());
    EXPECT_EQ(app.settings.Path(), dir / "Program.ini");
    EXPECT_EQ(app.port_path, "/dev/ttyUSB0");
    EXPECT_EQ(app.model_name, "VM6142");
    EXPECT_EQ(app.default_file_name, "VM6142.dat");
    EXPECT_EQ(app.company, "Acme");
    EXPECT_EQ(app.help_file, dir / "enHelp.chm");
    EXPECT_EQ(app.data_folder, dir / "DATA");
    EXPECT_EQ(app.DefaultDataFile(), dir / "Default.dat");
    EXPECT_EQ(app.Version(), "9");
    EXPECT_TRUE(fs::is_directory(dir / "DATA"));
}

TEST(AppState, MissingSettingsFileGivesEmptyValuesAndTheModelIsReadAgainForTheTitle) {
    TempDir dir;
    AppState app;
    StartUp(app, dir.path());
    EXPECT_EQ(app.port_path, "");
    EXPECT_EQ(app.model_name, "");
    EXPECT_EQ(app.default_file_name, ".dat");
    EXPECT_EQ(app.company, "");
    EXPECT_EQ(app.ModelForTitle(), "");
    WriteText(dir / "Program.ini", "[Setup]\nModel=VM9\n");
    EXPECT_EQ(app.ModelForTitle(), "VM9");
    EXPECT_FALSE(ShutDown(app));  // empty port: nothing written
    EXPECT_EQ(ReadText(dir / "Program.ini"), "[Setup]\nModel=VM9\n");
}

TEST(AppState, ExitWritesThePortIntoANewSettingsFile) {
    TempDir dir;
    AppState app;
    StartUp(app, dir.path());
    app.port_path = "COM3";
    EXPECT_TRUE(ShutDown(app));
    EXPECT_EQ(ReadText(dir / "Program.ini"), "[Setup]\r\nCOM=COM3\r\n");
}

TEST(AppState, DataFolderThatCannotBeMadeIsSilent) {
    TempDir dir;
    WriteText(dir / "DATA", "a file in the way");
    AppState app;
    StartUp(app, dir.path());
    EXPECT_FALSE(EnsureDataFolder(app));
    EXPECT_EQ(app.data_folder, dir / "DATA");
}

TEST(AppState, ExecutableFolderIsTheFolderOfTheTestProgram) {
    EXPECT_TRUE(fs::exists(ExecutableFolder() / "vm_shell_test"));
}

// The build places Program.ini beside the executables, and never over an existing one.
TEST(BuildSettingsFile, PlacedBesideTheExecutablesWithTheProjectVersion) {
    const fs::path ini = vm::testing::BuildAppFolder() / "Program.ini";
    ASSERT_TRUE(fs::exists(ini)) << ini;
    const SettingsFile s(ini);
    EXPECT_EQ(s.Read("Setup", "Model", ""), "VM6142");
    EXPECT_NE(s.Read("Setup", "Company", ""), "");
    EXPECT_EQ(s.Read("About", "Version", ""), kVersion);
}

TEST(BuildSettingsFile, PlacementKeepsAnExistingFile) {
    TempDir dir;
    WriteText(dir / "template.ini", "[Setup]\nModel=VM6142\n");
    const std::string cmd = std::string("cmake -DSRC=") + (dir / "template.ini").string() +
                            " -DDST=" + (dir / "bin" / "Program.ini").string() + " -P " +
                            VM_PLACE_IF_ABSENT_SCRIPT + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(ReadText(dir / "bin" / "Program.ini"), "[Setup]\r\nModel=VM6142\r\n");
    WriteText(dir / "bin" / "Program.ini", "[Setup]\nCOM=COM7\n");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(ReadText(dir / "bin" / "Program.ini"), "[Setup]\nCOM=COM7\n");
}

}  // namespace
}  // namespace vm::shell
