// Data files and the document lifecycle: the file format, reading and writing a data
// file, and the four File commands' effect on the header, the image, the band limit tables,
// the current file and the window title. Dialogs, message boxes and the reload of the views
// belong to the main frame; everything else is here, so the editor and the command-line tool
// run the same code.
//
// Deliberate behaviour (safer than the original program's):
// - Saves are atomic: the file is written beside the target, flushed and renamed over it; if
//   anything fails the old file is intact and the error is returned (atomic_file.h).
// - The current file is kept with its full path: Save writes the file that was opened or saved,
//   whatever folder a later dialog visited.
// - A file that opens but cannot be read (an I/O error, a folder) changes nothing and reports
//   the system's error text, as a file that cannot be opened does.
// - A short file: the file's bytes are laid over header and image; what lies beyond the end of
//   the file keeps what it held (the rule for the image, applied to the header too).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/image/band_tables.h"
#include "app/image/radio_image.h"
#include "app/shell/messages.h"

namespace vm::shell {

struct OpenResult {
    enum class Status {
        Ok,
        CannotOpen,    // cannot be opened or read: the system's error text
        DoesNotMatch,  // the first 8 bytes are not the signature: "File does not match"
    };
    Status status = Status::Ok;
    int error_number = 0;
    std::string message;            // the exact message text for a failure
    std::uintmax_t bytes_read = 0;  // bytes of the file taken into header and image
    bool longer = false;            // the file holds more than 69,632 bytes (the rest ignored)

    bool ok() const { return status == Status::Ok; }
    // Shorter than 69,632 bytes: part of the image (perhaps of the header) kept its old content.
    bool IsShort() const { return ok() && bytes_read < kDataFileSize; }
    explicit operator bool() const { return ok(); }
};

// The warning for a file that opened but is not exactly 69,632 bytes long (nullopt when it is):
// the editor shows none; the command-line tool prints it.
std::optional<std::string> SizeWarning(const OpenResult& result);

// Open steps 3-5: reads `file` into header and image. Header and image are changed only when the
// file could be read and its first 8 bytes are the signature.
OpenResult ReadDataFile(const std::filesystem::path& file, FileHeader& header, RadioImage& image);

// Writes header then image as the whole content of `file`, atomically.
IoResult WriteDataFile(const std::filesystem::path& file, const FileHeader& header,
                       const RadioImage& image);

// The window title: the model name alone without a current file, else
// model + " [ " + full path + " ]".
std::string WindowTitle(std::string_view model_name, const std::filesystem::path& current_file);

// The document state: the image, header and band tables it works on (by reference) and the
// current file. The process has one (g_Document, globals.h); tests build their own.
class Document {
public:
    Document(RadioImage& image, FileHeader& header, BandTables& bands)
        : image_(image), header_(header), bands_(bands) {}

    RadioImage& Image() { return image_; }
    FileHeader& Header() { return header_; }
    BandTables& Bands() { return bands_; }
    const RadioImage& Image() const { return image_; }
    const FileHeader& Header() const { return header_; }
    const BandTables& Bands() const { return bands_; }

    // The full path of the file last opened or saved; empty at start and after New.
    const std::filesystem::path& CurrentFile() const { return current_; }
    bool HasCurrentFile() const { return !current_.empty(); }

    // File > New after the user said Yes: reset to defaults from `default_file` (ResetToDefaults)
    // and forget the current file. Returns what was taken from the factory file.
    FactoryLoad New(const std::filesystem::path& default_file);

    // File > Open steps 3-7 for the chosen file: read it, reload the five-tone tables,
    // recompute the band limit tables, set the current file. On failure nothing changes.
    OpenResult Open(const std::filesystem::path& file);

    // File > Save step 3 (the views are committed by the caller first): writes the header
    // unchanged and the image to the current file. Without a current file the caller runs
    // Save As instead; called anyway, it fails with "Sorry, error not find.".
    IoResult Save();

    // File > Save As steps 3-5: stamps the first 16 header bytes, writes, and makes `file` the
    // current file. On failure header and current file are unchanged.
    IoResult SaveAs(const std::filesystem::path& file);

    // The title after New, Open and Save As: Title(app.ModelForTitle()) ("Model" read again).
    std::string Title(std::string_view model_name) const {
        return WindowTitle(model_name, current_);
    }

private:
    RadioImage& image_;
    FileHeader& header_;
    BandTables& bands_;
    std::filesystem::path current_;
};

}  // namespace vm::shell
