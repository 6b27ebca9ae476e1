// vm6142-factory: writes the factory data file.
//   vm6142-factory OUTPUT            write the factory image to OUTPUT
//   vm6142-factory --describe FILE   print a short summary of a data file
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"
#include "app/image/file_bytes.h"
#include "tools/factory/factory_image.h"

namespace {

int Describe(const char* path) {
    const vm::FileBytes read = vm::ReadFileBytes(path, vm::kDataFileSize);
    if (!read) {
        std::cerr << path << ": " << std::strerror(read.error) << "\n";
        return 1;
    }
    const std::vector<std::uint8_t>& data = read.bytes;
    if (data.size() != vm::kDataFileSize || read.more) {
        std::cerr << path << ": not a data file (" << (read.more ? "longer than " : "")
                  << data.size() << " bytes)\n";
        return 1;
    }
    vm::RadioImage image;
    std::memcpy(image.data(), data.data() + vm::kHeaderSize, vm::kImageSize);
    vm::BandTables bands = vm::BandTables::Initial();
    vm::RecomputeBandTables(bands, image);
    vm::RecomputeBandEnabled(bands);
    std::cout << path << ": " << data.size() << " bytes\n";
    for (int n = 1; n <= vm::kBandCount; ++n) {
        std::cout
            << "  band " << vm::g_BandNameList[static_cast<std::size_t>(n - 1)] << ": "
            << vm::FormatMHz(static_cast<std::uint32_t>(bands.RxLower[static_cast<std::size_t>(n)]))
            << " - "
            << vm::FormatMHz(static_cast<std::uint32_t>(bands.RxUpper[static_cast<std::size_t>(n)]))
            << (bands.BandEnabled[static_cast<std::size_t>(n)] ? "" : " (off)") << "\n";
    }
    int used = 0;
    for (int ch = 1; ch <= 1600; ++ch) used += vm::ChannelAt(image, ch).IsEmpty() ? 0 : 1;
    std::cout << "  channels in use: " << used << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--describe") == 0) return Describe(argv[2]);
    if (argc != 2 || argv[1][0] == '-') {
        std::cerr << "usage: vm6142-factory OUTPUT | --describe FILE\n";
        return 2;
    }
    vm::FileHeader header;
    vm::RadioImage image;
    vm::BuildFactoryImage(header, image);
    const std::string tmp = std::string(argv[1]) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(header.data()), vm::kHeaderSize);
        out.write(reinterpret_cast<const char*>(image.data()), vm::kImageSize);
        out.flush();
        if (!out) {
            std::cerr << tmp << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), argv[1]) != 0) {
        std::cerr << argv[1] << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    return 0;
}
