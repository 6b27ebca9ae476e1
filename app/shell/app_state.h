// Application start-up values: the paths (from locations.h),
// the values read from "Program.ini", and the write-back of the port at program end.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/shell/locations.h"
#include "app/shell/settings_file.h"

namespace vm::shell {

inline constexpr const char* kSettingsFileName = "Program.ini";
inline constexpr const char* kHelpFileName = "enHelp.chm";
inline constexpr const char* kDataFolderName = "DATA";
inline constexpr const char* kDefaultDataFileName = "Default.dat";
inline constexpr const char* kSectionSetup = "Setup";
inline constexpr const char* kSectionAbout = "About";
inline constexpr const char* kKeyCom = "COM";
inline constexpr const char* kKeyModel = "Model";
inline constexpr const char* kKeyCompany = "Company";
inline constexpr const char* kKeyVersion = "Version";

// The folder of the running executable (Linux: /proc/self/exe). Empty when it cannot be found.
std::filesystem::path ExecutableFolder();

// Model name + ".dat".
std::string DefaultFileName(const std::string& model_name);

struct AppState {
    // Values before start-up runs.
    std::filesystem::path app_folder;  // the folder of the program file
    SettingsFile settings;             // "./Program.ini" until start-up
    std::filesystem::path help_file = kHelpFileName;
    std::filesystem::path data_folder;
    std::filesystem::path backups_folder;  // beside the data folder
    std::filesystem::path factory_file = kDefaultDataFileName;
    std::filesystem::path help_guide = kHelpGuidePath;
    InstallMode mode = InstallMode::kPortable;
    std::string model_name = "VM6142";
    std::string default_file_name = "VM6142.dat";
    std::string company;
    std::string port_path = "COM1";

    // The factory image (beside the program, or with the installed program's data).
    const std::filesystem::path& DefaultDataFile() const { return factory_file; }
    // "Setup"/"Model" read again, with the model name as default (New, Open, Save As).
    std::string ModelForTitle() const;
    // "About"/"Version" (empty when absent).
    std::string Version() const;
};

// Start-up steps 4-5 and the data folder's path (step 6 without creating it): the settings
// file path, "COM", the help file path, "Model" and the default file name, "Company".
// The paths come from `where` (locations.h); a folder alone means everything beside it.
void LoadStartUpValues(AppState& app, const Locations& where);
void LoadStartUpValues(AppState& app, const std::filesystem::path& app_folder);

// Step 6's creation: makes the data folder when missing, silently. Returns whether it exists.
bool EnsureDataFolder(const AppState& app);

// The editor's start-up steps 4-6: the user's folders made (PrepareUserFolders: installed, a
// settings file seeded on the first start) and the values read. Returns the folders or files
// that could not be made or written, as messages naming the path and the reason.
std::vector<std::string> StartUp(AppState& app, const Locations& where);
void StartUp(AppState& app, const std::filesystem::path& app_folder);

// Program end: writes the port path to "Setup"/"COM" unless it is empty. Returns whether the
// value was written.
bool ShutDown(const AppState& app);

}  // namespace vm::shell
