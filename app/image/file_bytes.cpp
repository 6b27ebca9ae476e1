#include "app/image/file_bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

namespace vm {

namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Opens for reading by the path's own characters: wide on Windows, so that a name outside the
// ANSI code page opens too.
std::FILE* OpenForReading(const std::filesystem::path& file) {
#ifdef _WIN32
    return ::_wfopen(file.c_str(), L"rb");
#else
    return std::fopen(file.c_str(), "rb");
#endif
}

FileBytes Failed(int error) {
    FileBytes r;
    r.error = error != 0 ? error : EIO;
    return r;
}

}  // namespace

FileBytes ReadFileBytes(const std::filesystem::path& file, std::size_t limit) {
    if (file.empty()) return Failed(ENOENT);
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) return Failed(EISDIR);
    errno = 0;
    const std::unique_ptr<std::FILE, CloseFile> f(OpenForReading(file));
    if (!f) return Failed(errno);

    FileBytes r;
    constexpr std::size_t kChunk = 64 * 1024;
    while (r.bytes.size() < limit) {
        const std::size_t at = r.bytes.size();
        const std::size_t want = std::min(kChunk, limit - at);
        r.bytes.resize(at + want);
        errno = 0;
        const std::size_t got = std::fread(r.bytes.data() + at, 1, want, f.get());
        r.bytes.resize(at + got);
        if (got < want) {
            if (std::ferror(f.get())) return Failed(errno);
            return r;  // the end of the file
        }
    }
    errno = 0;
    if (std::fgetc(f.get()) != EOF)
        r.more = true;
    else if (std::ferror(f.get()))
        return Failed(errno);
    return r;
}

}  // namespace vm
