#include "app/shell/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vm::shell {

namespace fs = std::filesystem;

namespace {

// Follows symbolic links (up to a limit) so the file they name is the one replaced.
fs::path ResolveTarget(const fs::path& target) {
    fs::path p = target;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec))) break;
        fs::path next = fs::read_symlink(p, ec);
        if (ec) break;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p;
}

bool WriteAll(int fd, std::span<const std::uint8_t> data) {
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

mode_t CurrentUmask() {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

}  // namespace

IoResult WriteFileAtomically(const fs::path& target,
                             std::initializer_list<std::span<const std::uint8_t>> pieces) {
    if (target.empty()) return IoResult::Failure(ENOENT);
    const fs::path real = ResolveTarget(target);
    if (!real.has_filename()) return IoResult::Failure(EISDIR);

    // Refuse a target that is a folder before writing anything.
    struct stat st {};
    const bool exists = ::stat(real.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return IoResult::Failure(EISDIR);
    if (!exists && errno != ENOENT) return IoResult::Failure(errno);
    // A file the user may not write is not replaced either (as truncating it would fail).
    if (exists && ::access(real.c_str(), W_OK) != 0) return IoResult::Failure(errno);

    const fs::path folder = real.has_parent_path() ? real.parent_path() : fs::path(".");
    // The temporary name is the target's with a dot in front (the name may not grow past the
    // system's limit: a long one is replaced by a short fixed stem).
    std::string stem = real.filename().string();
    if (stem.size() > 200) stem = "vm6142";
    std::string temp = (folder / ("." + stem + ".XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return IoResult::Failure(errno);

    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        return IoResult::Failure(err);
    };

    // The replaced file keeps its owner where the system allows it (root saving a user's file),
    // then its permission bits.
    if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        const int ignored = ::fchown(fd, st.st_uid, st.st_gid);
        static_cast<void>(ignored);
    }
    const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~CurrentUmask());
    if (::fchmod(fd, mode) != 0) return fail(errno);
    for (const auto& piece : pieces)
        if (!WriteAll(fd, piece)) return fail(errno);
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return IoResult::Failure(err);
    }
    if (::rename(temp.c_str(), real.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return IoResult::Failure(err);
    }
    // Make the rename itself durable; a failure here no longer endangers either file.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return IoResult::Success();
}

}  // namespace vm::shell
