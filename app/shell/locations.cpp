#include "app/shell/locations.h"

#include <cstdlib>
#include <system_error>

#include <unistd.h>

#include "app/shell/app_state.h"

namespace vm::shell {

namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool Writable(const fs::path& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

// The reason `path` cannot be written, or empty when it can.
std::string WriteRefusal(const fs::path& path) {
    if (Writable(path)) return {};
    return std::generic_category().message(errno);
}

bool Exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// An XDG base folder: the variable's value when it is an absolute path, else $HOME + fallback.
fs::path XdgFolder(const std::string& value, const std::string& home, const char* fallback) {
    if (!value.empty() && fs::path(value).is_absolute()) return value;
    return fs::path(home) / fallback;
}

std::string Quoted(const fs::path& path) {
    return "\"" + path.string() + "\"";
}

// Makes `folder` (and its parents) and checks that files can be written in it. Empty when it
// can; else the message.
std::string MakeWritableFolder(const fs::path& folder, const char* what) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        fs::create_directories(folder, ec);
        if (!fs::is_directory(folder)) {
            if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
            return Quoted(folder) + ": cannot create the " + what + " (" + ec.message() + ")";
        }
    }
    const std::string refusal = WriteRefusal(folder);
    if (!refusal.empty())
        return Quoted(folder) + ": cannot write in the " + what + " (" + refusal + ")";
    return {};
}

}  // namespace

LocationEnvironment CurrentEnvironment() {
    return {ExecutableFolder(), Env("HOME"), Env("XDG_CONFIG_HOME"), Env("XDG_DATA_HOME")};
}

namespace {

// The user's files below `settings_folder` and `data_parent`, the program's below `share_folder`.
Locations Assemble(InstallMode mode, const fs::path& app_folder, const fs::path& settings_folder,
                   const fs::path& data_parent, const fs::path& share_folder) {
    Locations where;
    where.mode = mode;
    where.app_folder = app_folder;
    where.settings_file = settings_folder / kSettingsFileName;
    where.data_folder = data_parent / kDataFolderName;
    where.backups_folder = data_parent / kBackupsFolderName;
    where.factory_file = share_folder / kDefaultDataFileName;
    where.help_file = share_folder / kHelpFileName;
    where.help_guide = share_folder / kHelpGuidePath;
    return where;
}

}  // namespace

Locations PortableLocations(const fs::path& folder) {
    return Assemble(InstallMode::kPortable, folder, folder, folder, folder);
}

Locations InstalledLocations(const fs::path& app_folder, const fs::path& share_folder,
                             const LocationEnvironment& env) {
    const fs::path config = XdgFolder(env.xdg_config_home, env.home, ".config") / kPackageName;
    const fs::path data = XdgFolder(env.xdg_data_home, env.home, ".local/share") / kPackageName;
    Locations where = Assemble(InstallMode::kInstalled, app_folder, config, data, share_folder);
    where.settings_seed = share_folder / kSettingsFileName;
    return where;
}

Locations Locate(const LocationEnvironment& env) {
    const fs::path& folder = env.executable_folder;
    const fs::path ini = folder / kSettingsFileName;
    const bool portable =
        Exists(ini) ? Writable(ini) : Writable(folder) && Exists(folder / kDefaultDataFileName);
    if (portable || folder.empty()) return PortableLocations(folder);
    // <prefix>/bin/program reads <prefix>/share/vm6142.
    return InstalledLocations(folder, folder.parent_path() / "share" / kPackageName, env);
}

std::vector<std::string> PrepareUserFolders(const Locations& where) {
    std::vector<std::string> problems;
    if (where.mode == InstallMode::kPortable) {
        std::error_code ec;
        if (!fs::is_directory(where.data_folder, ec)) fs::create_directory(where.data_folder, ec);
        return problems;
    }
    const fs::path settings_folder = where.settings_file.parent_path();
    std::string problem = MakeWritableFolder(settings_folder, "settings folder");
    if (problem.empty()) {
        std::error_code ec;
        if (!Exists(where.settings_file) && Exists(where.settings_seed)) {
            fs::copy_file(where.settings_seed, where.settings_file, ec);
            if (ec)
                problem = Quoted(where.settings_file) + ": cannot create the settings file (" +
                          ec.message() + ")";
            else
                fs::permissions(where.settings_file, fs::perms::owner_write, fs::perm_options::add,
                                ec);
        } else if (Exists(where.settings_file)) {
            const std::string refusal = WriteRefusal(where.settings_file);
            if (!refusal.empty())
                problem = Quoted(where.settings_file) + ": cannot write the settings file (" +
                          refusal + ")";
        }
    }
    if (!problem.empty()) problems.push_back(problem + "; settings are not saved");
    problem = MakeWritableFolder(where.data_folder, "data folder");
    if (!problem.empty())
        problems.push_back(problem + "; data files can be opened, not saved there");
    return problems;
}

}  // namespace vm::shell
