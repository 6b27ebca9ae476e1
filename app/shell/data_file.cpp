#include "app/shell/data_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <span>
#include <string>
#include <system_error>

#include "app/image/file_bytes.h"
#include "app/shell/atomic_file.h"

namespace vm::shell {

namespace fs = std::filesystem;

namespace {

OpenResult CannotOpen(int err) {
    OpenResult r;
    r.status = OpenResult::Status::CannotOpen;
    r.error_number = err;
    r.message = SystemErrorText(err);
    return r;
}

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
    const FileBytes read = ReadFileBytes(file, kDataFileSize);
    if (!read) return CannotOpen(read.error);
    const std::size_t n = read.bytes.size();
    if (n < 8 || !HasSignature(read.bytes.data())) {
        OpenResult r;
        r.status = OpenResult::Status::DoesNotMatch;
        r.message = std::string(kMsgFileDoesNotMatch);
        return r;
    }
    OpenResult r;
    r.bytes_read = n;
    r.longer = read.more;
    const std::size_t in_header = std::min(n, kHeaderSize);
    std::copy_n(read.bytes.begin(), in_header, header.begin());
    std::copy_n(read.bytes.begin() + static_cast<std::ptrdiff_t>(in_header), n - in_header,
                image.begin());
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

FactoryLoad Document::New(const fs::path& default_file) {
    // The limits become those of the image now held, not of the file open before.
    const FactoryLoad loaded = ResetToDefaults(image_, header_, bands_, default_file);
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
