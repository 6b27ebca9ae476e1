// The radio's 64 KiB configuration memory, the header that travels with it in data files, the
// transfer range tables and the reset to defaults.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "app/image/image_map.h"

namespace vm {

inline constexpr std::size_t kImageSize = 0x10000;
inline constexpr std::size_t kHeaderSize = 4096;
inline constexpr std::size_t kDataFileSize = kHeaderSize + kImageSize;  // 69,632

using RadioImage = std::array<std::uint8_t, kImageSize>;
using FileHeader = std::array<std::uint8_t, kHeaderSize>;

struct BandTables;

// Header layout.
inline constexpr std::array<std::uint8_t, 8> kFileSignature = {'V', 'M', '6',  '1',
                                                               '4', '2', 0xFF, 0xFF};
inline constexpr std::array<std::uint8_t, 8> kFormatStamp = {0x56, 0x02, 0x00, 0x07,
                                                             0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr int kFiveToneStdCount = static_cast<int>(image_map::kFiveToneStandards.count);
inline constexpr int kUserDefinedStd = 15;
constexpr std::size_t FiveToneStdRecord(int i) {
    return image_map::kFiveToneStandards.Record(i);
}

// Built-in tone frequencies (tenths of Hz) of the predefined five-tone standards 0..14,
// tone digits 0..F; 0 means the digit is not used.
extern const std::array<std::array<std::uint16_t, 16>, 15> kFiveToneTones;
// Minimum tone width (ms) of each standard 0..15.
extern const std::array<std::uint8_t, 16> kFiveToneMinWidth;

// Overwrites bytes 8..39 of the predefined records 0..14 with the built-in tones; bytes 0..7 and
// record 15 keep what they hold.
void ReloadFiveToneTables(FileHeader& header);

// Rewrites the signature and format stamp (the first 16 header bytes).
void StampHeader(FileHeader& header);
bool HasSignature(const std::uint8_t* first8);

// Clears bits 0-1 of the commit byte, as every commit of the views does.
void ClearCommitBits(RadioImage& image);

// ---------------------------------------------------------------------------------------------
// Transfer ranges

enum class TransferDirection { Read, Write };

struct TransferRangeTable {
    static constexpr int kMaxRanges = 16;
    std::uint16_t count = 0;
    std::array<std::uint32_t, kMaxRanges> start{};
    std::array<std::uint32_t, kMaxRanges> end{};
    TransferDirection direction = TransferDirection::Read;
    std::string caption;

    void Add(std::uint32_t from, std::uint32_t to);
};

TransferRangeTable ProgramReadRanges();                // "Read"  [0x0100, 0x10000)
TransferRangeTable ProgramWriteRanges(bool extended);  // "Write" two ranges
TransferRangeTable CustomDataReadRanges();             // "读数据"
TransferRangeTable CustomDataWriteRanges();            // "写数据"

// Block rule: at address a a block is 128 - (a mod 128) bytes, cut at the range end.
std::uint32_t BlockLength(std::uint32_t a, std::uint32_t end);
// Number of blocks a transfer moves (the progress bar's range).
int CountBlocks(const TransferRangeTable& t);

// ---------------------------------------------------------------------------------------------
// Reset to defaults

// Frequencies (10 Hz) of the twelve band-memory records written on reset (two per memory).
extern const std::array<std::uint32_t, 12> kResetEdgeFrequencies;

// What the reset took from the factory file.
struct FactoryLoad {
    int error = 0;               // the system's error number when the file could not be read
    std::size_t bytes_read = 0;  // bytes laid over header and image (at most 69,632)

    bool Loaded() const { return error == 0; }
    // A whole data file: every header and image byte came from the factory file.
    bool Whole() const { return Loaded() && bytes_read >= kDataFileSize; }
    explicit operator bool() const { return Loaded(); }
};

// Fills header and image from the factory file, sets `bands` to the limits of the image it
// leaves, then derives the band memories and band side records from those limits (not from the
// limits held before) and reloads the five-tone tables. A short file is laid over the start of
// header and image, the rest keeps what it held. When the factory file cannot be read (missing, a
// folder, a read error), header and image are untouched except for the tone tables and the result
// is false.
FactoryLoad ResetToDefaults(RadioImage& image, FileHeader& header, BandTables& bands,
                            const std::filesystem::path& default_file);

// The derived records of the reset (steps that follow loading the factory file).
void WriteResetRecords(RadioImage& image, const BandTables& bands);

}  // namespace vm
