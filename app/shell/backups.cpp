#include "app/shell/backups.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <system_error>
#include <tuple>

#include "app/shell/data_file.h"
#include "app/shell/file_summary.h"

namespace vm::shell {

namespace fs = std::filesystem;

fs::path BackupFolder(const AppState& app) {
    // Where the locations put it (beside the data folder); beside the data folder when no
    // start-up has said.
    if (!app.backups_folder.empty()) return app.backups_folder;
    fs::path data = app.data_folder.empty() ? app.app_folder / kDataFolderName : app.data_folder;
    if (!data.has_filename()) data = data.parent_path();
    return data.parent_path() / kBackupsFolderName;
}

int BackupsKept(const AppState& app) {
    const std::string text = app.settings.Read(kSectionBackups, kKeyKeep, "");
    if (text.empty() || text.size() > 6) return kDefaultBackupsKept;
    int value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return kDefaultBackupsKept;
        value = value * 10 + (c - '0');
    }
    return value >= 1 ? value : kDefaultBackupsKept;
}

std::string BackupFileName(std::chrono::system_clock::time_point when,
                           const std::string& serial_number) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", &local);
    std::string serial;
    for (char c : serial_number)
        if (std::isalnum(static_cast<unsigned char>(c))) serial += c;
    if (serial.empty()) serial = "unknown";
    return std::string(stamp) + "_" + serial + ".dat";
}

namespace {

// A backup's name taken apart: "YYYY-MM-DD_HHMMSS_SERIAL[-N].dat".
struct ParsedName {
    std::string stamp;  // "YYYY-MM-DD_HHMMSS"
    std::string serial;
    int copy = 1;
};

bool ParseBackupName(const std::string& name, ParsedName& out) {
    constexpr std::string_view kPattern = "dddd-dd-dd_dddddd_";
    if (name.size() < kPattern.size() + 1 + 4 || !name.ends_with(".dat")) return false;
    for (std::size_t i = 0; i < kPattern.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
        if (kPattern[i] == 'd' ? !digit : name[i] != kPattern[i]) return false;
    }
    std::string rest = name.substr(kPattern.size(), name.size() - kPattern.size() - 4);
    int copy = 1;
    if (const auto dash = rest.find('-'); dash != std::string::npos) {
        const std::string number = rest.substr(dash + 1);
        if (number.empty() || number.size() > 6) return false;
        copy = 0;
        for (char c : number) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            copy = copy * 10 + (c - '0');
        }
        rest.resize(dash);
    }
    if (rest.empty()) return false;
    for (char c : rest)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    out = {name.substr(0, kPattern.size() - 1), rest, copy};
    return true;
}

struct Found {
    ParsedName name;
    fs::path file;
};

// The backups in `folder`, oldest first.
std::vector<Found> FindBackups(const fs::path& folder) {
    std::vector<Found> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code type_ec;
        if (!it->is_regular_file(type_ec)) continue;
        ParsedName parsed;
        if (ParseBackupName(it->path().filename().string(), parsed))
            found.push_back({parsed, it->path()});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return std::tie(a.name.stamp, a.name.copy, a.name.serial) <
               std::tie(b.name.stamp, b.name.copy, b.name.serial);
    });
    return found;
}

}  // namespace

BackupResult SaveBackup(const fs::path& folder, const FileHeader& header, const RadioImage& image,
                        int keep, std::chrono::system_clock::time_point when) {
    BackupResult result;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        result.io = IoResult::Failure(ec.value());
        result.file = folder;
        return result;
    }
    const std::string name = BackupFileName(when, ReadModelInfo(image).serial_number);
    fs::path file = folder / name;
    const std::string stem = name.substr(0, name.size() - 4);
    for (int copy = 2; fs::exists(fs::symlink_status(file, ec)); ++copy)
        file = folder / (stem + "-" + std::to_string(copy) + ".dat");
    result.file = file;
    result.io = WriteDataFile(file, header, image);
    if (!result.io.ok) return result;
    std::vector<Found> found = FindBackups(folder);
    const std::size_t kept = static_cast<std::size_t>(std::max(keep, 1));
    for (std::size_t i = 0; found.size() - i > kept; ++i) {
        if (found[i].file == file) continue;
        if (fs::remove(found[i].file, ec)) result.removed.push_back(found[i].file);
    }
    return result;
}

BackupResult SaveBackup(const AppState& app, const FileHeader& header, const RadioImage& image) {
    return SaveBackup(BackupFolder(app), header, image, BackupsKept(app),
                      std::chrono::system_clock::now());
}

std::vector<BackupEntry> ListBackups(const fs::path& folder) {
    std::vector<BackupEntry> list;
    std::vector<Found> found = FindBackups(folder);
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        const std::string& s = it->name.stamp;  // YYYY-MM-DD_HHMMSS
        const std::string date =
            s.substr(0, 10) + " " + s.substr(11, 2) + ":" + s.substr(13, 2) + ":" + s.substr(15, 2);
        list.push_back({date, it->name.serial, it->file});
    }
    return list;
}

}  // namespace vm::shell
