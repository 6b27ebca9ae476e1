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

void LoadStartUpValues(AppState& app, const fs::path& app_folder) {
    app.app_folder = app_folder;
    app.settings.SetPath(app_folder / kSettingsFileName);
    app.port_path = app.settings.Read(kSectionSetup, kKeyCom, "");
    app.help_file = app_folder / kHelpFileName;
    app.model_name = app.settings.Read(kSectionSetup, kKeyModel, "");
    app.default_file_name = DefaultFileName(app.model_name);
    app.company = app.settings.Read(kSectionSetup, kKeyCompany, "");
    app.data_folder = app_folder / kDataFolderName;
}

bool EnsureDataFolder(const AppState& app) {
    std::error_code ec;
    if (!fs::is_directory(app.data_folder, ec)) fs::create_directory(app.data_folder, ec);
    return fs::is_directory(app.data_folder, ec);
}

void StartUp(AppState& app, const fs::path& app_folder) {
    LoadStartUpValues(app, app_folder);
    EnsureDataFolder(app);
}

bool ShutDown(const AppState& app) {
    if (app.port_path.empty()) return false;
    return app.settings.Write(kSectionSetup, kKeyCom, app.port_path);
}

}  // namespace vm::shell
