#include "app/shell/locations.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "app/shell/app_state.h"
#include "tests/support/files.h"

namespace vm::shell {
namespace {

namespace fs = std::filesystem;
using vm::testing::ReadText;
using vm::testing::RunUnprivileged;
using vm::testing::TempDir;
using vm::testing::WriteText;
using namespace std::string_literals;

// An installed tree below a temporary folder: <root>/usr/bin, <root>/usr/share/vm6142 with the
// settings seed and the factory image, and a home folder.
struct InstalledTree {
    TempDir root;
    fs::path bin = root / "usr/bin";
    fs::path share = root / "usr/share/vm6142";
    fs::path home = root / "home";
    InstalledTree() {
        fs::create_directories(bin);
        fs::create_directories(share);
        fs::create_directories(home);
        WriteText(share / "Program.ini", "[Setup]\nModel=VM6142\nCompany=Acme\n");
        WriteText(share / "Default.dat", "factory");
        for (const fs::path& p : {root.path() / "usr", fs::path(bin), share.parent_path(),
                                  fs::path(share), fs::path(home)})
            ::chmod(p.c_str(), 0777);
        ::chmod((share / "Program.ini").c_str(), 0644);
    }
    LocationEnvironment Env() const { return {bin, home.string(), "", ""}; }
};

TEST(Locations, PortableKeepsEverythingBesideTheProgram) {
    const Locations where = PortableLocations("/opt/x");
    EXPECT_EQ(where.mode, InstallMode::kPortable);
    EXPECT_EQ(where.settings_file, fs::path("/opt/x/Program.ini"));
    EXPECT_EQ(where.data_folder, fs::path("/opt/x/DATA"));
    EXPECT_EQ(where.backups_folder, fs::path("/opt/x/Backups"));
    EXPECT_EQ(where.factory_file, fs::path("/opt/x/Default.dat"));
    EXPECT_EQ(where.help_file, fs::path("/opt/x/enHelp.chm"));
    EXPECT_EQ(where.help_guide, fs::path("/opt/x/help/guide.html"));
}

TEST(Locations, InstalledUsesTheSharedDataAndTheUsersXdgFolders) {
    struct Case {
        const char* config_home;
        const char* data_home;
        const char* settings;
        const char* data;
    };
    // Unset or relative XDG values (which the XDG rules say to ignore) fall back under $HOME.
    const Case cases[] = {
        {"", "", "/home/u/.config/vm6142/Program.ini", "/home/u/.local/share/vm6142/DATA"},
        {"/cfg", "/dat", "/cfg/vm6142/Program.ini", "/dat/vm6142/DATA"},
        {"rel/cfg", "rel/dat", "/home/u/.config/vm6142/Program.ini",
         "/home/u/.local/share/vm6142/DATA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config_home);
        const Locations where = InstalledLocations(
            "/usr/bin", "/usr/share/vm6142", {"/usr/bin", "/home/u", c.config_home, c.data_home});
        EXPECT_EQ(where.mode, InstallMode::kInstalled);
        EXPECT_EQ(where.settings_file, fs::path(c.settings));
        EXPECT_EQ(where.data_folder, fs::path(c.data));
        EXPECT_EQ(where.backups_folder, fs::path(c.data).parent_path() / "Backups");
        EXPECT_EQ(where.settings_seed, fs::path("/usr/share/vm6142/Program.ini"));
        EXPECT_EQ(where.factory_file, fs::path("/usr/share/vm6142/Default.dat"));
        EXPECT_EQ(where.help_guide, fs::path("/usr/share/vm6142/help/guide.html"));
    }
}

TEST(Locations, LocateTellsPortableFromInstalled) {
    struct Case {
        const char* what;
        bool settings;  // "Program.ini" beside the program
        mode_t settings_mode;
        bool factory;  // "Default.dat" beside the program
        mode_t folder_mode;
        InstallMode expected;
    };
    const Case cases[] = {
        {"writable Program.ini", true, 0666, false, 0555, InstallMode::kPortable},
        {"first start of a portable copy", false, 0, true, 0777, InstallMode::kPortable},
        {"read-only Program.ini", true, 0444, true, 0777, InstallMode::kInstalled},
        {"a bin folder without the program's files", false, 0, false, 0777,
         InstallMode::kInstalled},
        {"read-only portable copy", false, 0, true, 0555, InstallMode::kInstalled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path bin = dir / "bin";
        fs::create_directory(bin);
        if (c.settings) {
            WriteText(bin / "Program.ini", "[Setup]\n");
            ::chmod((bin / "Program.ini").c_str(), c.settings_mode);
        }
        if (c.factory) WriteText(bin / "Default.dat", "x");
        ::chmod(bin.c_str(), c.folder_mode);
        // As an ordinary user: root may write anywhere.
        const int mode = RunUnprivileged([&] {
            return static_cast<int>(Locate({bin, "/home/u", "", ""}).mode);
        });
        ::chmod(bin.c_str(), 0777);
        EXPECT_EQ(mode, static_cast<int>(c.expected));
    }
}

TEST(Locations, LocateFindsTheSharedDataBesideTheBinFolder) {
    InstalledTree t;
    const Locations where = Locate(t.Env());
    EXPECT_EQ(where.mode, InstallMode::kInstalled);
    EXPECT_EQ(where.factory_file, t.share / "Default.dat");
    EXPECT_EQ(where.settings_file, t.home / ".config/vm6142/Program.ini");
}

TEST(Locations, FirstStartMakesTheUsersFoldersAndSeedsTheSettings) {
    InstalledTree t;
    const Locations where = Locate(t.Env());
    AppState app;
    EXPECT_TRUE(StartUp(app, where).empty());
    EXPECT_TRUE(fs::is_directory(t.home / ".local/share/vm6142/DATA"));
    EXPECT_EQ(ReadText(where.settings_file), "[Setup]\nModel=VM6142\nCompany=Acme\n");
    EXPECT_EQ(app.model_name, "VM6142");
    EXPECT_EQ(app.company, "Acme");
    EXPECT_EQ(app.DefaultDataFile(), t.share / "Default.dat");
    EXPECT_EQ(app.data_folder, where.data_folder);
    EXPECT_EQ(app.backups_folder, where.backups_folder);
    EXPECT_EQ(app.mode, InstallMode::kInstalled);
    // The port chosen is written to the user's settings, and a later start keeps them.
    app.port_path = "COM3";
    EXPECT_TRUE(ShutDown(app));
    AppState again;
    EXPECT_TRUE(StartUp(again, where).empty());
    EXPECT_EQ(again.port_path, "COM3");
    EXPECT_EQ(ReadText(t.share / "Program.ini"), "[Setup]\nModel=VM6142\nCompany=Acme\n");
}

TEST(Locations, FoldersThatCannotBeMadeOrWrittenAreNamedWithTheReason) {
    {
        // Something in the way of both folders.
        InstalledTree t;
        WriteText(t.home / ".config", "a file");
        fs::create_directories(t.home / ".local");
        WriteText(t.home / ".local/share", "a file");
        const Locations where = Locate(t.Env());
        AppState app;
        const auto problems = StartUp(app, where);
        ASSERT_EQ(problems.size(), 2u);
        EXPECT_NE(problems[0].find("\"" + (t.home / ".config/vm6142").string() + "\""),
                  std::string::npos)
            << problems[0];
        EXPECT_NE(problems[0].find("cannot create the settings folder ("), std::string::npos)
            << problems[0];
        EXPECT_NE(problems[1].find((t.home / ".local/share/vm6142/DATA").string()),
                  std::string::npos)
            << problems[1];
        // Read-only use: the program still starts, without the user's settings.
        EXPECT_EQ(app.model_name, "");
        EXPECT_EQ(app.DefaultDataFile(), t.share / "Default.dat");
        app.port_path = "COM3";
        EXPECT_FALSE(ShutDown(app));
    }
    {
        // A home the user may not write in: checked as an ordinary user.
        InstalledTree t;
        ::chmod(t.home.c_str(), 0555);
        const int result = RunUnprivileged([&] {
            AppState app;
            const auto problems = StartUp(app, Locate(t.Env()));
            if (problems.size() != 2) return 1;
            for (const std::string& p : problems)
                if (p.find("Permission denied") == std::string::npos) return 2;
            return fs::exists(t.home / ".config") ? 3 : 0;
        });
        ::chmod(t.home.c_str(), 0777);
        EXPECT_EQ(result, 0);
    }
    {
        // A settings file the user may not write: named, and kept as it is.
        InstalledTree t;
        fs::create_directories(t.home / ".config/vm6142");
        fs::create_directories(t.home / ".local/share/vm6142/DATA");
        WriteText(t.home / ".config/vm6142/Program.ini", "[Setup]\nCOM=COM2\n");
        ::chmod((t.home / ".config/vm6142/Program.ini").c_str(), 0444);
        for (const char* d : {".config", ".config/vm6142", ".local", ".local/share",
                              ".local/share/vm6142", ".local/share/vm6142/DATA"})
            ::chmod((t.home / d).c_str(), 0777);
        const int result = RunUnprivileged([&] {
            AppState app;
            const auto problems = StartUp(app, Locate(t.Env()));
            if (problems.size() != 1) return 1;
            if (problems[0].find("Program.ini\": cannot write the settings file (Permission "
                                 "denied)") == std::string::npos)
                return 2;
            return app.port_path == "COM2" ? 0 : 3;
        });
        EXPECT_EQ(result, 0);
    }
}

TEST(Locations, CorruptSettingsAreReadAsFarAsTheyGo) {
    InstalledTree t;
    const Locations where = Locate(t.Env());
    fs::create_directories(where.settings_file.parent_path());
    WriteText(where.settings_file, "[Setup]\r\nCOM=COM5\r\nModel=VM9\r\n\0\xff\xfe[bro"s +
                                       "ken\nCompany\n==\n[Setup\nCompany=Late\n");
    AppState app;
    EXPECT_TRUE(StartUp(app, where).empty());
    EXPECT_EQ(app.port_path, "COM5");
    EXPECT_EQ(app.model_name, "VM9");
    // The seed does not replace a settings file that is there, whatever it holds.
    EXPECT_NE(ReadText(where.settings_file).find("COM=COM5"), std::string::npos);
}

TEST(Locations, PortableStartUpMakesTheDataFolderSilently) {
    TempDir dir;
    AppState app;
    EXPECT_TRUE(StartUp(app, PortableLocations(dir.path())).empty());
    EXPECT_TRUE(fs::is_directory(dir / "DATA"));
    WriteText(dir / "other", "x");
    EXPECT_TRUE(StartUp(app, PortableLocations(dir / "other")).empty());
}

}  // namespace
}  // namespace vm::shell
