#include "tests/support/files.h"

#include <grp.h>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vm::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "vm6142-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
    ::chmod(path_.c_str(), 0777);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make every folder writable again so that everything can be removed.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec)) ::chmod(it->path().c_str(), 0777);
    fs::remove_all(path_, ec);
}

std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

int RunUnprivileged(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(255);
        }
        ::_exit(body() & 0xFF);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

AppFolderCopy::AppFolderCopy() {
    for (const char* name : {"Default.dat", "Program.ini"}) {
        std::error_code ec;
        fs::copy_file(BuildAppFolder() / name, dir_ / name, ec);
        ::chmod((dir_ / name).c_str(), 0644);
    }
}

bool AppFolderCopy::Readable() const {
    return ::access((dir_ / "Default.dat").c_str(), R_OK) == 0 &&
           ::access((dir_ / "Program.ini").c_str(), R_OK) == 0;
}

fs::path BuildAppFolder() {
    const char* dir = std::getenv("VM_APP_DIR");
    if (dir != nullptr) return dir;
    // Run by hand: the tests live in <build>/tests, the programs in <build>/bin.
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return exe.parent_path().parent_path() / "bin";
}

}  // namespace vm::testing
