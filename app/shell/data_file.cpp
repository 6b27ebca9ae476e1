#include "app/shell/data_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/shell/atomic_file.h"

namespace vm::shell {

namespace fs = std::filesystem;

namespace {

// Reads up to n bytes (fewer only at the end of the file). Returns the count, or -1 with errno.
ssize_t ReadFully(int fd, std::uint8_t* p, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

OpenResult CannotOpen(int err) {
    OpenResult r;
    r.status = OpenResult::Status::CannotOpen;
    r.error_number = err;
    r.message = SystemErrorText(err);
    return r;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The full path kept as the current file: absolute, without "." components. ".." is kept as
// it is (collapsing it across a symbolic link could name another file).
fs::path FullPath(const fs::path& file) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(file, ec);
    if (ec) return file;
    fs::path clean;
    for (const fs::path& part : absolute)
        if (part != ".") clean /= part;
    return clean;
}

}  // namespace

OpenResult ReadDataFile(const fs::path& file, FileHeader& header, RadioImage& image) {
    if (file.empty()) return CannotOpen(ENOENT);
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return CannotOpen(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return CannotOpen(errno);
    if (S_ISDIR(st.st_mode)) return CannotOpen(EISDIR);

    std::array<std::uint8_t, kHeaderSize> head{};
    const ssize_t nh = ReadFully(fd.get(), head.data(), head.size());
    if (nh < 0) return CannotOpen(errno);
    if (nh < 8 || !HasSignature(head.data())) {
        OpenResult r;
        r.status = OpenResult::Status::DoesNotMatch;
        r.message = std::string(kMsgFileDoesNotMatch);
        return r;
    }
    std::vector<std::uint8_t> body(kImageSize);
    ssize_t ni = 0;
    if (static_cast<std::size_t>(nh) == kHeaderSize) {
        ni = ReadFully(fd.get(), body.data(), body.size());
        if (ni < 0) return CannotOpen(errno);
    }
    OpenResult r;
    r.bytes_read = static_cast<std::uintmax_t>(nh) + static_cast<std::uintmax_t>(ni);
    if (static_cast<std::size_t>(ni) == kImageSize) {
        std::uint8_t extra = 0;
        const ssize_t ne = ReadFully(fd.get(), &extra, 1);
        r.longer = ne > 0;
    }
    std::copy_n(head.begin(), nh, header.begin());
    std::copy_n(body.begin(), ni, image.begin());
    return r;
}

IoResult WriteDataFile(const fs::path& file, const FileHeader& header, const RadioImage& image) {
    return WriteFileAtomically(file, {std::span<const std::uint8_t>(header.data(), header.size()),
                                      std::span<const std::uint8_t>(image.data(), image.size())});
}

std::optional<std::string> SizeWarning(const OpenResult& result) {
    if (!result.ok()) return std::nullopt;
    if (result.IsShort()) {
        const auto n = std::to_string(result.bytes_read);
        if (result.bytes_read < kHeaderSize)
            return "the file is " + n +
                   " bytes long, shorter than a data file (69632 bytes): "
                   "header bytes from " +
                   n + " on and the whole image kept their previous content";
        char address[16];
        std::snprintf(address, sizeof address, "0x%04X",
                      static_cast<unsigned>(result.bytes_read - kHeaderSize));
        return "the file is " + n +
               " bytes long, shorter than a data file (69632 bytes): image "
               "bytes from address " +
               std::string(address) + " on kept their previous content";
    }
    if (result.longer)
        return std::string(
            "the file is longer than a data file (69632 bytes): the bytes after "
            "the first 69632 were ignored");
    return std::nullopt;
}

std::string WindowTitle(std::string_view model_name, const fs::path& current_file) {
    std::string title(model_name);
    if (!current_file.empty()) title += " [ " + current_file.string() + " ]";
    return title;
}

bool Document::New(const fs::path& default_file) {
    const bool loaded = ResetToDefaults(image_, header_, bands_, default_file);
    current_.clear();
    return loaded;
}

OpenResult Document::Open(const fs::path& file) {
    OpenResult r = ReadDataFile(file, header_, image_);
    if (!r) return r;
    ReloadFiveToneTables(header_);
    RecomputeBandTables(bands_, image_);
    current_ = FullPath(file);
    return r;
}

IoResult Document::Save() {
    if (current_.empty()) return IoResult::Failure(0);
    return WriteDataFile(current_, header_, image_);
}

IoResult Document::SaveAs(const fs::path& file) {
    FileHeader stamped = header_;
    StampHeader(stamped);
    IoResult r = WriteDataFile(file, stamped, image_);
    if (!r) return r;
    header_ = stamped;
    current_ = FullPath(file);
    return r;
}

}  // namespace vm::shell
