// Where the program's files are: the settings file, the data folder, the backups folder beside
// it, the factory image and the help guide. The only place that forms these paths; the editor,
// `vm6142` and the tests ask here.
//
// Portable: a writable "Program.ini" beside the executable (or, before the first start, a
// writable folder with "Default.dat" in it, as the build tree has) keeps everything beside the
// executable. Installed: read-only data in <prefix>/share/vm6142 (found from the executable's
// folder <prefix>/bin), the user's "Program.ini" in $XDG_CONFIG_HOME/vm6142 and "DATA" and
// "Backups" in $XDG_DATA_HOME/vm6142.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vm::shell {

inline constexpr const char* kPackageName = "vm6142";
inline constexpr const char* kBackupsFolderName = "Backups";
inline constexpr const char* kHelpGuidePath = "help/guide.html";

enum class InstallMode { kPortable, kInstalled };

// What the locations depend on, taken from the process (CurrentEnvironment) or given by a test.
struct LocationEnvironment {
    std::filesystem::path executable_folder;  // empty: unknown
    std::string home;                         // $HOME
    std::string xdg_config_home;              // $XDG_CONFIG_HOME (empty: unset)
    std::string xdg_data_home;                // $XDG_DATA_HOME (empty: unset)
};

LocationEnvironment CurrentEnvironment();

struct Locations {
    InstallMode mode = InstallMode::kPortable;
    std::filesystem::path app_folder;      // the executable's folder
    std::filesystem::path settings_file;   // "Program.ini"
    std::filesystem::path settings_seed;   // installed: the settings a first start copies
    std::filesystem::path data_folder;     // "DATA"
    std::filesystem::path backups_folder;  // "Backups", beside the data folder
    std::filesystem::path factory_file;    // "Default.dat"
    std::filesystem::path help_file;       // "enHelp.chm"
    std::filesystem::path help_guide;      // "help/guide.html"
};

// Everything beside `folder`, as the build tree has it.
Locations PortableLocations(const std::filesystem::path& folder);

// Installed below `share_folder` (read-only data) and the user's XDG folders. Empty XDG values
// or relative ones (which the XDG rules say to ignore) fall back to $HOME/.config and
// $HOME/.local/share.
Locations InstalledLocations(const std::filesystem::path& app_folder,
                             const std::filesystem::path& share_folder,
                             const LocationEnvironment& env);

// Portable when the executable's folder holds a writable "Program.ini", or holds none but is
// writable and has "Default.dat" beside the executable; installed otherwise.
Locations Locate(const LocationEnvironment& env);

// Makes the folders the user's files go in and, installed, copies the settings seed into a
// missing "Program.ini". Returns one message per folder or file that cannot be made or
// written, naming the path and the reason; the program goes on without it (read-only).
// Portable, the data folder is made silently, as ever, and nothing is reported.
std::vector<std::string> PrepareUserFolders(const Locations& where);

}  // namespace vm::shell
