// Backups of what the radio held: every successful Read also saves the image it brought as a
// data file in a backups folder, named by date and time and the radio's serial number
// ("2026-12-09_041500_SN1234.dat"). The newest are kept (100 unless the settings file says
// otherwise, "Backups"/"Keep"); older ones are removed. Only files named the way backups are
// named are ever removed.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "app/image/radio_image.h"
#include "app/shell/app_state.h"
#include "app/shell/locations.h"
#include "app/shell/messages.h"

namespace vm::shell {

inline constexpr const char* kSectionBackups = "Backups";
inline constexpr const char* kKeyKeep = "Keep";
inline constexpr int kDefaultBackupsKept = 100;

// Where the backups live: the start-up values' backups folder (locations.h), beside the data
// folder.
std::filesystem::path BackupFolder(const AppState& app);

// How many backups are kept: "Backups"/"Keep" of the settings file, a whole number from 1;
// anything else gives the default.
int BackupsKept(const AppState& app);

// The file name of a backup made at `when` (local time) of a radio with `serial_number`; the
// serial number keeps letters and digits only ("unknown" when none remains).
std::string BackupFileName(std::chrono::system_clock::time_point when,
                           const std::string& serial_number);

struct BackupResult {
    IoResult io;                 // the failure, if any (a warning to the user, never fatal)
    std::filesystem::path file;  // the backup written
    std::vector<std::filesystem::path> removed;  // older backups removed to keep the newest
    bool ok() const { return io.ok; }
};

// Writes header and image as a new backup in `folder` (created when missing), then removes the
// oldest backups beyond `keep`. A name already taken gets "-2", "-3", ... before ".dat".
BackupResult SaveBackup(const std::filesystem::path& folder, const FileHeader& header,
                        const RadioImage& image, int keep,
                        std::chrono::system_clock::time_point when);
// The same in the application's backup folder, with its setting and the current time.
BackupResult SaveBackup(const AppState& app, const FileHeader& header, const RadioImage& image);

struct BackupEntry {
    std::string date;           // "2026-12-09 04:15:00"
    std::string serial_number;  // from the file name
    std::filesystem::path file;
};

// The backups in `folder`, newest first (none when the folder is missing).
std::vector<BackupEntry> ListBackups(const std::filesystem::path& folder);

}  // namespace vm::shell
