// The recent-file list of the File menu: the last four data files opened or saved, newest
// first, kept in the settings file (section "Recent File List", keys "File1" to "File4").
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "app/shell/settings_file.h"

namespace vm::shell {

inline constexpr const char* kSectionRecentFiles = "Recent File List";

class RecentFileList {
public:
    static constexpr std::size_t kSize = 4;

    const std::vector<std::filesystem::path>& Files() const { return files_; }

    // A file opened or saved goes to the top (one already listed moves there, compared by its
    // full path); the oldest falls off a full list.
    void Add(const std::filesystem::path& file);
    // Removes the file; false when it was not listed.
    bool Remove(const std::filesystem::path& file);

    // The list kept in the settings file ("File1" newest); empty and unreadable keys skipped.
    void Read(const SettingsFile& settings);
    // Writes the list back (keys beyond it removed). A path the file cannot give back (longer
    // than a value may be) is left out. False when the settings file could not be written.
    bool Write(const SettingsFile& settings) const;

    // The menu item of entry `index` (0 newest): "&1 name", the name alone.
    static std::string MenuText(std::size_t index, const std::filesystem::path& file);

private:
    std::vector<std::filesystem::path> files_;
};

}  // namespace vm::shell
