#include "app/shell/recent_files.h"

#include <algorithm>
#include <system_error>

namespace vm::shell {

namespace fs = std::filesystem;

namespace {

std::string Key(std::size_t index) {
    return "File" + std::to_string(index + 1);
}

fs::path Full(const fs::path& file) {
    std::error_code ec;
    fs::path full = fs::absolute(file, ec);
    return ec ? file.lexically_normal() : full.lexically_normal();
}

}  // namespace

void RecentFileList::Add(const fs::path& file) {
    if (file.empty()) return;
    const fs::path full = Full(file);
    Remove(full);
    files_.insert(files_.begin(), full);
    if (files_.size() > kSize) files_.resize(kSize);
}

bool RecentFileList::Remove(const fs::path& file) {
    const fs::path full = Full(file);
    const auto it = std::find(files_.begin(), files_.end(), full);
    if (it == files_.end()) return false;
    files_.erase(it);
    return true;
}

void RecentFileList::Read(const SettingsFile& settings) {
    files_.clear();
    for (std::size_t i = 0; i < kSize; ++i) {
        const std::string value = settings.Read(kSectionRecentFiles, Key(i), "");
        if (value.empty()) continue;
        const fs::path full = Full(value);
        if (std::find(files_.begin(), files_.end(), full) == files_.end()) files_.push_back(full);
    }
}

bool RecentFileList::Write(const SettingsFile& settings) const {
    bool ok = true;
    std::size_t slot = 0;
    for (const fs::path& file : files_) {
        const std::string text = file.string();
        if (text.size() > SettingsFile::kMaxValueLength ||
            text.find_first_of("\r\n") != std::string::npos)
            continue;
        ok = settings.Write(kSectionRecentFiles, Key(slot++), text) && ok;
    }
    for (; slot < kSize; ++slot) ok = settings.Remove(kSectionRecentFiles, Key(slot)) && ok;
    return ok;
}

std::string RecentFileList::MenuText(std::size_t index, const fs::path& file) {
    std::string name = file.filename().string();
    // An "&" in the name is shown, not taken as the item's mnemonic.
    std::string shown;
    for (char c : name) {
        if (c == '&') shown += '&';
        shown += c;
    }
    return "&" + std::to_string(index + 1) + " " + shown;
}

}  // namespace vm::shell
