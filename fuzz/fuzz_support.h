// What the fuzz targets share: reading the fuzzer's bytes as decisions, an input held as a file,
// the factory image, and stopping with a message when an invariant breaks.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/image/band_tables.h"
#include "app/image/radio_image.h"

namespace vm::fuzz {

// An invariant does not hold: say which, and stop (the fuzzer keeps the input).
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}
inline void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

// The fuzzer's bytes read front to back; once they run out every read gives 0, so a short
// input is still a whole run (and an empty one the plainest).
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    bool empty() const { return n_ == 0; }
    std::size_t size() const { return n_; }
    std::uint8_t Byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint16_t Word() {
        const std::uint16_t lo = Byte();
        return static_cast<std::uint16_t>(lo | Byte() << 8);
    }
    // Up to n bytes.
    std::string_view Take(std::size_t n) {
        if (n > n_) n = n_;
        std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        n_ -= n;
        return s;
    }
    std::string_view Rest() { return Take(n_); }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// Bytes held as a file in memory, reachable by a path (for readers that take a path).
class MemoryFile {
public:
    MemoryFile(const void* data, std::size_t size) {
        fd_ = memfd_create("fuzz-input", 0);
        Check(fd_ >= 0, "memfd_create failed");
        const auto* p = static_cast<const char*>(data);
        for (std::size_t done = 0; done < size;) {
            const ssize_t n = write(fd_, p + done, size - done);
            Check(n > 0, "writing the input file failed");
            done += static_cast<std::size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// The factory image and header, built once.
const RadioImage& FactoryImage();
const FileHeader& FactoryHeader();

// The band tables as `vm6142 channels` sets them up for the channel table over `image`: limits
// recomputed as File > Open does, enable flags from the programmed edges.
BandTables ChannelTableBands(const RadioImage& image);

// Lays patches over an image: each is an address (two bytes), a length (one byte, 1-256) and
// that many bytes. What is left when the bytes run short is a shorter last patch.
inline void ApplyPatches(Bytes& in, RadioImage& image) {
    while (!in.empty()) {
        const std::uint32_t at = in.Word();
        const std::size_t length = std::size_t{in.Byte()} + 1;
        const std::string_view bytes = in.Take(length);
        for (std::size_t i = 0; i < bytes.size() && at + i < image.size(); ++i)
            image[at + i] = static_cast<std::uint8_t>(bytes[i]);
    }
}

}  // namespace vm::fuzz
