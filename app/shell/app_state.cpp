#include "app/shell/app_state.h"

#include <system_error>

namespace vm::shell {

namespace fs = std::filesystem;

fs::path ExecutableFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) return {};
    return exe.parent_path();
}

std::string DefaultFileName(const std::string& model_name) {
    return model_name + ".dat";
}

std::string AppState::ModelForTitle() const {
    return settings.Read(kSectionSetup, kKeyModel, model_name);
}

std::string AppState::Version() const {
    return settings.Read(kSectionAbout, kKeyVersion, "");
}

void LoadStartUpValues(AppState& app, const Locations& where) {
    app.mode = where.mode;
    app.app_folder = where.app_folder;
    app.settings.SetPath(where.settings_file);
    app.port_path = app.settings.Read(kSectionSetup, kKeyCom, "");
    app.help_file = where.help_file;
    app.help_guide = where.help_guide;
    app.model_name = app.settings.Read(kSectionSetup, kKeyModel, "");
    app.default_file_name = DefaultFileName(app.model_name);
    app.company = app.settings.Read(kSectionSetup, kKeyCompany, "");
    app.data_folder = where.data_folder;
    app.backups_folder = where.backups_folder;
    app.factory_file = where.factory_file;
}

void LoadStartUpValues(AppState& app, const fs::path& app_folder) {
    LoadStartUpValues(app, PortableLocations(app_folder));
}

bool EnsureDataFolder(const AppState& app) {
    std::error_code ec;
    if (!fs::is_directory(app.data_folder, ec)) fs::create_directory(app.data_folder, ec);
    return fs::is_directory(app.data_folder, ec);
}

std::vector<std::string> StartUp(AppState& app, const Locations& where) {
    std::vector<std::string> problems = PrepareUserFolders(where);
    LoadStartUpValues(app, where);
    return problems;
}

void StartUp(AppState& app, const fs::path& app_folder) {
    StartUp(app, PortableLocations(app_folder));
}

bool ShutDown(const AppState& app) {
    if (app.port_path.empty()) return false;
    return app.settings.Write(kSectionSetup, kKeyCom, app.port_path);
}

}  // namespace vm::shell
