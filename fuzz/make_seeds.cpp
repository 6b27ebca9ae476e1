// Writes the fuzz targets' seed corpora (fuzz/corpus/<target>/) from the project's own code:
// the factory data file and cuts of it, the channel table's CSV export, a settings file written
// by the settings-file wrapper, and decision bytes for the radio and driver targets.
//
//   vm_fuzz_seeds FOLDER     (normally fuzz/corpus; existing seeds of the same name are replaced)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/channel_sheet.h"
#include "app/editors/channels/program_view.h"
#include "app/image/band_tables.h"
#include "app/image/image_map.h"
#include "app/shell/data_file.h"
#include "app/shell/settings_file.h"
#include "driver/core/chip_control.h"
#include "driver/core/private_ioctl.h"
#include "fuzz/fuzz_support.h"

using namespace vm;
namespace fs = std::filesystem;
using Seed = std::vector<std::uint8_t>;

namespace {

fs::path g_root;
int g_written = 0;

void Write(const std::string& target, const std::string& name, const Seed& bytes) {
    const fs::path folder = g_root / target;
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::cerr << "vm_fuzz_seeds: cannot write " << (folder / name) << '\n';
        std::exit(1);
    }
    ++g_written;
}
Seed Text(std::string_view s) {
    return Seed(s.begin(), s.end());
}

Seed FactoryFile() {
    const fs::path file = fs::temp_directory_path() / "vm_fuzz_seeds.dat";
    if (!shell::WriteDataFile(file, fuzz::FactoryHeader(), fuzz::FactoryImage())) {
        std::cerr << "vm_fuzz_seeds: cannot write " << file << '\n';
        std::exit(1);
    }
    std::ifstream in(file, std::ios::binary);
    Seed bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(file);
    return bytes;
}

void DataFileSeeds() {
    const Seed whole = FactoryFile();
    Write("fuzz_data_file", "factory.dat", whole);
    Write("fuzz_data_file", "empty", {});
    Write("fuzz_data_file", "signature-only", Seed(whole.begin(), whole.begin() + 8));
    Write("fuzz_data_file", "header-and-channels",
          Seed(whole.begin(), whole.begin() + kHeaderSize + 0x200));
    Seed other(whole.begin(), whole.begin() + 64);
    other[0] ^= 0x20;
    Write("fuzz_data_file", "other-signature", other);
    Seed longer = whole;
    longer.insert(longer.end(), {'e', 'x', 't', 'r', 'a'});
    Write("fuzz_data_file", "longer.dat", longer);
}

// One patch: address, length - 1, bytes.
void Patch(Seed& s, std::uint32_t at, const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
        const std::size_t len = std::min<std::size_t>(256, n - done);
        const std::uint32_t a = at + static_cast<std::uint32_t>(done);
        s.push_back(static_cast<std::uint8_t>(a & 0xFF));
        s.push_back(static_cast<std::uint8_t>(a >> 8));
        s.push_back(static_cast<std::uint8_t>(len - 1));
        s.insert(s.end(), bytes + done, bytes + done + len);
        done += len;
    }
}

void EditorRoundSeeds() {
    Write("fuzz_editor_round", "factory", {0});
    Write("fuzz_editor_round", "erased", {1});
    Write("fuzz_editor_round", "zeroed", {2});
    // Each region of the factory image alone on an erased image (large regions: their start).
    const RadioImage& factory = fuzz::FactoryImage();
    for (const ImageRegion& r : image_map::kAll) {
        Seed s = {1};
        Patch(s, r.base, factory.data() + r.base, std::min<std::size_t>(r.size, 512));
        std::string name(r.name);
        for (char& c : name)
            if (c == ' ' || c == ',') c = '-';
        Write("fuzz_editor_round", "region-" + name, s);
    }
}

std::string Export(const RadioImage& image) {
    auto copy = std::make_unique<RadioImage>(image);
    BandTables bands = fuzz::ChannelTableBands(*copy);
    CProgramView table(*copy, bands);
    table.OnInitialUpdate();
    std::ostringstream out;
    WriteChannelCsv(table, out);
    return out.str();
}

void ChannelCsvSeeds() {
    const std::string all = Export(fuzz::FactoryImage());
    Write("fuzz_channel_csv", "factory.csv", Text(all));
    // The header and the first three rows.
    std::istringstream lines(all);
    std::string header, row, head;
    std::getline(lines, header);
    head = header + '\n';
    for (int i = 0; i < 3 && std::getline(lines, row); ++i) head += row + '\n';
    Write("fuzz_channel_csv", "head.csv", Text(head));

    // A table edited through its cells, exported.
    auto image = std::make_unique<RadioImage>(fuzz::FactoryImage());
    BandTables bands = fuzz::ChannelTableBands(*image);
    {
        CProgramView table(*image, bands);
        table.OnInitialUpdate();
        std::string error;
        const CellEdit edits[] = {{2, CProgramView::kColRx, "146.52", 0},
                                  {2, CProgramView::kColName, "simplex, \"two\"", 0},
                                  {3, CProgramView::kColRx, "439.000", 0},
                                  {3, CProgramView::kColTx, "431.4", 0},
                                  {3, CProgramView::kColDecode, "CTCSS", 0}};
        for (const CellEdit& e : edits) ApplyCellEdit(table, e, error);
        table.StoreToImage();
    }
    Write("fuzz_channel_csv", "edited.csv", Text(Export(*image)));
    Write("fuzz_channel_csv", "ch-only.csv", Text("CH,Rx Freq\r\n5,145.25\r\n6,\r\n"));
}

Seed SettingsPrefix(std::string_view section, std::string_view key, std::string_view value,
                    bool write) {
    Seed s;
    for (std::string_view f : {section, key, value}) {
        s.push_back(static_cast<std::uint8_t>(f.size()));
        s.insert(s.end(), f.begin(), f.end());
    }
    s.push_back(write ? 1 : 0);
    return s;
}

void SettingsSeeds() {
    const fs::path file = fs::temp_directory_path() / "vm_fuzz_seeds.ini";
    fs::remove(file);
    const shell::SettingsFile settings(file);
    settings.Write("Setup", "COM", "COM3");
    settings.Write("Setup", "Model", "VM6142");
    settings.Write("Ports", "COM3", "/dev/ttyUSB0");
    settings.Write("Ports", "COM4", "\"/dev/pts/4\"");
    std::ifstream in(file, std::ios::binary);
    const std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(file);
    Seed read = SettingsPrefix("Setup", "COM", "", false);
    read.insert(read.end(), ini.begin(), ini.end());
    Write("fuzz_settings_file", "read-com", read);
    Seed write = SettingsPrefix("Ports", "COM5", "/dev/ttyACM0", true);
    write.insert(write.end(), ini.begin(), ini.end());
    Write("fuzz_settings_file", "write-port", write);
    std::string lf = ini;
    for (std::size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
    Seed rewrite = SettingsPrefix("setup", " com ", "COM7", true);
    rewrite.insert(rewrite.end(), lf.begin(), lf.end());
    Write("fuzz_settings_file", "rewrite-lf", rewrite);
    Write("fuzz_settings_file", "new-file", SettingsPrefix("Setup", "COM", "COM1", true));
}

void CloneWorkerSeeds() {
    // Table choice, radio set-up, then the radio's decisions (none: all answered correctly).
    Write("fuzz_clone_worker", "read", {0, 0x00});
    Write("fuzz_clone_worker", "write", {1, 0x01});
    Write("fuzz_clone_worker", "write-service", {2, 0x02});
    Write("fuzz_clone_worker", "custom-read-protected", {3, 0x30});
    Write("fuzz_clone_worker", "custom-write-wrong-code", {4, 0x10});
    Write("fuzz_clone_worker", "port-fails", {0, 0xE0});
    // A custom-data read with a silent first wake-up, a short ident, a cut block and a reply
    // with a stray byte in front.
    Write("fuzz_clone_worker", "custom-read-faults", {3, 0x00, 1, 0, 2, 3, 0, 0, 0, 0, 0, 6, 0x41});
    Write("fuzz_clone_worker", "ranges",
          {5, 0, 2, 0xE0, 0xFE, 0x00, 0xFF, 0, 0x00, 0xCC, 0x80, 0xCC, 0, 0});
}

void DriverSeeds() {
    // Rate tables as the registry holds them.
    const drv::RatePair pairs[] = {
        {300, 0x2710}, {1200, 0x09C4}, {38400, 0x004E}, {921600, 0x0003}};
    std::string text;
    for (const drv::RatePair& p : pairs) {
        text += std::to_string(p.rate) + ',' + std::to_string(p.divisor) + ' ';
        Write("fuzz_extended_rates", "rates-" + std::to_string(p.rate), Text(text));
    }
    Write("fuzz_extended_rates", "empty", {});
    // Every private code once per driver with small buffers.
    for (std::uint8_t driver = 0; driver < 2; ++driver) {
        for (std::uint32_t code = drv::private_ioctl::kGetDeviceDescriptor;
             code <= drv::private_ioctl::kGetReg0Bit3; code += 4) {
            const auto index =
                static_cast<std::uint8_t>((code - drv::private_ioctl::kGetDeviceDescriptor) / 4);
            Seed s = {
                static_cast<std::uint8_t>(driver | 4), index, 8, 8, 0x11, 1, 2, 3, 4, 5, 6, 7, 8};
            char name[32];
            std::snprintf(name, sizeof name, "%s-%08X", driver ? "9x" : "2k", code);
            Write("fuzz_private_ioctl", name, s);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: vm_fuzz_seeds FOLDER\n";
        return 2;
    }
    g_root = argv[1];
    DataFileSeeds();
    EditorRoundSeeds();
    ChannelCsvSeeds();
    SettingsSeeds();
    CloneWorkerSeeds();
    DriverSeeds();
    std::cout << "vm_fuzz_seeds: " << g_written << " seeds in " << g_root.string() << '\n';
    return 0;
}
