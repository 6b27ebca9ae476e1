// Reading files without exceptions. Every file the programs read (data files, the factory
// image, the settings file, CSV imports, device attributes) comes in through ReadFileBytes, so
// a folder, an unreadable or a vanishing file is an error number to report, never an exception,
// an abort or a half-filled buffer taken for the whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string_view>
#include <vector>

namespace vm {

struct FileBytes {
    int error = 0;                    // the system's error number; 0 when the file was read
    std::vector<std::uint8_t> bytes;  // the bytes read (none when error is set)
    bool more = false;                // the file holds more bytes than were asked for

    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
    std::string_view Text() const {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
};

inline constexpr std::size_t kWholeFile = std::numeric_limits<std::size_t>::max();

// Reads `file` from its start: all of it, or its first `limit` bytes (`more` tells whether the
// file goes on). A folder gives EISDIR; a read that fails part way gives its error and no bytes.
FileBytes ReadFileBytes(const std::filesystem::path& file, std::size_t limit = kWholeFile);

}  // namespace vm
