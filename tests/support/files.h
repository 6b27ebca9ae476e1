// Files for the tests: temporary folders, the build's application folder, reading and writing
// file bytes and text, and running a check as an unprivileged user (permission checks do not
// apply to root).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vm::testing {

// A fresh folder under the system's temporary folder, removed (with its content) at the end.
// It is world-accessible so that RunUnprivileged can use it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file);
std::string ReadText(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);
void WriteText(const std::filesystem::path& file, const std::string& text);

// Runs `body` in a child process; when the tests run as root, the child first becomes the
// unprivileged user "nobody" (uid/gid 65534) so that file permissions apply. Returns the
// value `body` returned (0..255), or -1 when the child could not be run.
int RunUnprivileged(const std::function<int()>& body);

// A copy of the build's application folder files ("Default.dat", "Program.ini") in a fresh
// world-readable temporary folder: what a test running as "nobody" (RunUnprivileged) uses, since
// the build tree may lie where that user cannot reach (a checkout under /root, mode 0700).
class AppFolderCopy {
public:
    AppFolderCopy();
    const std::filesystem::path& path() const { return dir_.path(); }
    // Whether the calling process can read the copied files (the precondition of such a test).
    bool Readable() const;

private:
    TempDir dir_;
};

// The application folder of the build ($VM_APP_DIR, else <build>/bin beside <build>/tests).
std::filesystem::path BuildAppFolder();

}  // namespace vm::testing
