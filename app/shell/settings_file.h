// The settings-file wrapper: a Windows profile (INI) file read and written as
// GetPrivateProfileString / WritePrivateProfileString do.
//
// Format: "[Section]" lines and "key=value" lines; section and key names are compared without
// case and with surrounding blanks ignored; values are trimmed, and one pair of matching quotes
// around a value is removed. Lines may end in CRLF or LF. Lines starting with ';' or '#' are
// comments. Writing changes only the one line concerned (or appends it) and keeps every other
// byte of the file, its line-end style included; a new file is written with CRLF line ends,
// as Windows writes it. Writes are atomic (see atomic_file.h). A settings file that cannot be
// read is treated as absent by Read and never replaced by Write.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vm::shell {

class SettingsFile {
public:
    static constexpr std::size_t kMaxValueLength = 255;

    // The path before start-up sets it: ".\Program.ini" (here "./Program.ini").
    static std::filesystem::path InitialPath();

    SettingsFile() : path_(InitialPath()) {}
    explicit SettingsFile(std::filesystem::path path) : path_(std::move(path)) {}

    const std::filesystem::path& Path() const { return path_; }
    void SetPath(std::filesystem::path path) { path_ = std::move(path); }

    // An empty key returns the default without touching the file; otherwise the value (at most
    // 255 characters), or the default when the file, the section or the key is absent.
    std::string Read(std::string_view section, std::string_view key,
                     std::string_view default_value) const;

    // 0 when the file can be read or is absent (no settings file is no error); otherwise the
    // system's error number (a folder, no permission): Read then gives the defaults and Write
    // fails, leaving whatever is there as it is.
    int ReadError() const;

    // Does nothing and returns false when the key or the value is empty (or either holds a line
    // break, or the key an '='); otherwise writes the value and returns whether that succeeded.
    // The file is created when missing.
    bool Write(std::string_view section, std::string_view key, std::string_view value) const;

    // Removes the key's line (true also when there is no such key); every other byte of the
    // file stays. False only when the file could not be read or written.
    bool Remove(std::string_view section, std::string_view key) const;

private:
    std::filesystem::path path_;
};

}  // namespace vm::shell
