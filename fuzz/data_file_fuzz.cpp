// Fuzzes the data-file loader: File > Open's read of header and image (ReadDataFile), then the
// whole open as the editor and `vm6142 info` do it (Document::Open, Summarise).
// Invariants: a refused file changes nothing; an accepted one is exactly the file's bytes laid
// over header and image, the rest keeping what it held.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "app/image/band_tables.h"
#include "app/shell/data_file.h"
#include "app/shell/file_summary.h"
#include "fuzz/fuzz_support.h"

using namespace vm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::MemoryFile file(data, size);

    auto header = std::make_unique<FileHeader>();
    auto image = std::make_unique<RadioImage>();
    header->fill(0xA5);
    image->fill(0x5A);
    const shell::OpenResult read = shell::ReadDataFile(file.path(), *header, *image);
    const bool signature = size >= 8 && HasSignature(data);
    if (!read.ok()) {
        fuzz::Check(read.status == shell::OpenResult::Status::DoesNotMatch && !signature,
                    "a file with the signature was refused, or a readable file could not be read");
        fuzz::Check(std::all_of(header->begin(), header->end(), [](auto b) { return b == 0xA5; }) &&
                        std::all_of(image->begin(), image->end(), [](auto b) { return b == 0x5A; }),
                    "a refused file changed header or image");
    } else {
        fuzz::Check(signature, "a file without the signature was accepted");
        const std::size_t taken = std::min(size, kDataFileSize);
        fuzz::Check(read.bytes_read == taken, "bytes_read is not the bytes taken");
        fuzz::Check(read.longer == (size > kDataFileSize), "a longer file not reported as such");
        for (std::size_t i = 0; i < kDataFileSize; ++i) {
            const std::uint8_t got = i < kHeaderSize ? (*header)[i] : (*image)[i - kHeaderSize];
            const std::uint8_t want = i < taken ? data[i] : (i < kHeaderSize ? 0xA5 : 0x5A);
            if (got != want) fuzz::Fail("header and image are not the file laid over them");
        }
    }

    // The editor's open over the factory image, then what `vm6142 info` prints of it.
    *header = fuzz::FactoryHeader();
    *image = fuzz::FactoryImage();
    BandTables bands = BandTables::Initial();
    shell::Document doc(*image, *header, bands);
    const shell::OpenResult opened = doc.Open(file.path());
    fuzz::Check(opened.ok() == read.ok(), "Document::Open and ReadDataFile disagree");
    fuzz::Check(opened.ok() == doc.HasCurrentFile(), "the current file does not follow the open");
    if (opened.ok()) {
        const shell::FileSummary summary = shell::Summarise(*image, bands);
        fuzz::Check(summary.channels_in_use_a >= 0 && summary.channels_in_use_a <= 800 &&
                        summary.channels_in_use_b >= 0 && summary.channels_in_use_b <= 800,
                    "more channels in use than a bank holds");
    }
    return 0;
}
