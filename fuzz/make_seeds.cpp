// Writes the fuzz targets' seed corpora (fuzz/corpus/<target>/) from the project's own code:
// the factory data file and cuts of it, the channel table's CSV export, a settings file written
// by the settings-file wrapper, decision bytes for the radio and driver targets, and the
// requests the program's serial port makes, recorded at the driver as it makes them.
//
//   vm_fuzz_seeds FOLDER     (normally fuzz/corpus; existing seeds of the same name are replaced)
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/channel_sheet.h"
#include "app/editors/channels/program_view.h"
#include "app/image/band_tables.h"
#include "app/image/image_map.h"
#include "app/link/clone_worker.h"
#include "app/shell/data_file.h"
#include "app/shell/settings_file.h"
#include "driver/core/chip_control.h"
#include "driver/core/private_ioctl.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/serial_script.h"
#include "integration/cable_system.h"
#include "integration/driver_serial_port.h"

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
    // Channel 2 on the factory image with a Tx whose top nibble is not a digit (a Tx of ten
    // hundred MHz once stored its low eight digits, which the next load took as no Tx).
    Seed tx = {0};
    const std::uint8_t rx_tx[] = {0x00, 0x00, 0x50, 0x14, 0x60, 0x60, 0x60, 0xA0};
    Patch(tx, 0x0120, rx_tx, sizeof rx_tx);
    Write("fuzz_editor_round", "channel-tx-not-digits", tx);
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

// --- The serial port's requests ------------------------------------------------------------

namespace script = fuzz::serial_script;

// Requests as the driver's dispatch saw them, in order.
struct Recorded {
    std::uint8_t major;
    std::uint32_t code = 0;
    std::vector<std::uint8_t> in;  // control input or write data
    std::uint32_t length = 0;      // control output length or read length
};
std::vector<Recorded> g_recorded;
drv::DriverDispatch g_control = nullptr;
drv::DriverDispatch g_read = nullptr;
drv::DriverDispatch g_write = nullptr;

drv::NTSTATUS RecordControl(drv::DeviceObject* device, drv::Irp* irp) {
    const drv::IoStackLocation* loc = drv::IoGetCurrentIrpStackLocation(irp);
    const auto& p = loc->Parameters.DeviceIoControl;
    const auto* in = static_cast<const std::uint8_t*>(irp->SystemBuffer);
    g_recorded.push_back(
        {drv::IRP_MJ_DEVICE_CONTROL, p.IoControlCode,
         in ? std::vector<std::uint8_t>(in, in + p.InputBufferLength) : std::vector<std::uint8_t>{},
         p.OutputBufferLength});
    return g_control(device, irp);
}
drv::NTSTATUS RecordRead(drv::DeviceObject* device, drv::Irp* irp) {
    g_recorded.push_back(
        {drv::IRP_MJ_READ, 0, {}, drv::IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length});
    return g_read(device, irp);
}
drv::NTSTATUS RecordWrite(drv::DeviceObject* device, drv::Irp* irp) {
    const std::uint32_t n = drv::IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    const auto* data = static_cast<const std::uint8_t*>(irp->SystemBuffer);
    g_recorded.push_back({drv::IRP_MJ_WRITE, 0, std::vector<std::uint8_t>(data, data + n), 0});
    return g_write(device, irp);
}

// Runs `use` on the program's serial port over the cable (the chip looping back what it sends,
// so that reads find bytes) and returns the requests it made.
template <class F>
std::vector<Recorded> RecordPort(F&& use) {
    integration::CableSystem system(2, "COM5", drv::Kernel::ClockMode::Auto);
    if (system.Plug() != drv::STATUS_SUCCESS) {
        std::cerr << "vm_fuzz_seeds: the simulated cable did not start\n";
        std::exit(1);
    }
    system.chip().SetLoopback(true);
    drv::DeviceObject* device =
        drv::ObReferenceDeviceObjectByName(system.kernel(), "\\DosDevices\\COM5");
    auto& table = device->Driver->MajorFunction;
    g_control = std::exchange(table[drv::IRP_MJ_DEVICE_CONTROL], &RecordControl);
    g_read = std::exchange(table[drv::IRP_MJ_READ], &RecordRead);
    g_write = std::exchange(table[drv::IRP_MJ_WRITE], &RecordWrite);
    drv::ObDereferenceDeviceObject(device);
    g_recorded.clear();
    {
        integration::DriverSerialPort port(system.kernel());
        if (!port.Open("COM5")) {
            std::cerr << "vm_fuzz_seeds: the simulated port did not open\n";
            std::exit(1);
        }
        use(port);
    }
    return std::move(g_recorded);
}

script::Writer Script(const std::vector<Recorded>& requests, int variant, bool loopback) {
    script::Writer w(variant, loopback);
    for (const Recorded& r : requests) {
        if (r.major == drv::IRP_MJ_READ) {
            w.Read(r.length);
        } else if (r.major == drv::IRP_MJ_WRITE) {
            w.Write(r.in);
        } else if (const std::size_t index = script::IndexOf(r.code); index < script::kCodeCount) {
            w.Ioctl(index, r.in, r.length);
        }
    }
    return w;
}

// The port set up as the clone link sets it up when it starts.
void SetUpAsTheLink(integration::DriverSerialPort& port, const LinkTiming& timing) {
    port.SetBufferSizes(kInputBufferSize, kOutputBufferSize);
    port.SetTimeouts(timing.timeouts);
    port.SetLine(LineSettings{});
    port.Purge();
}

void SerialSeeds() {
    const std::string target = "fuzz_serial_ioctl";
    const LinkTiming timing;
    const std::vector<Recorded> setUp =
        RecordPort([&](integration::DriverSerialPort& port) { SetUpAsTheLink(port, timing); });
    for (int variant = 0; variant < 5; ++variant) {
        Write(target, "link-set-up-v" + std::to_string(variant),
              Script(setUp, variant, false).bytes());
    }

    // A wake-up and its answer, the stray-byte check (a read that returns at once), a block
    // written and read back.
    const std::vector<Recorded> exchange = RecordPort([&](integration::DriverSerialPort& port) {
        SetUpAsTheLink(port, timing);
        std::size_t n = 0;
        const std::uint8_t wake[] = {0x02, 'P', 'R', 'O', 'G', 'R', 'A', 'M'};
        port.Write(wake, sizeof wake, n);
        std::uint8_t answer[sizeof wake] = {};
        port.Read(answer, sizeof answer, n);
        CommTimeouts atOnce = timing.timeouts;
        atOnce.read_interval = CommTimeouts::kMaxTimeout;
        atOnce.read_total_multiplier = 0;
        atOnce.read_total_constant = 0;
        port.SetTimeouts(atOnce);
        std::uint8_t stray[64];
        port.Read(stray, sizeof stray, n);
        port.SetTimeouts(timing.timeouts);
        std::uint8_t block[0x44];
        for (std::size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<std::uint8_t>(i * 7);
        port.Write(block, sizeof block, n);
        port.Read(block, sizeof block, n);
        port.Purge();
    });
    Write(target, "link-exchange", Script(exchange, 2, true).bytes());
    Write(target, "link-exchange-v0", Script(exchange, 0, true).bytes());
    // The same exchange with its steps overlapping (bit 6 of the first byte).
    Seed overlapping = Script(exchange, 2, true).bytes();
    overlapping[0] |= 0x40;
    Write(target, "link-exchange-overlapping", overlapping);

    // The same set-up, then requests the link leaves waiting and what ends them.
    const std::uint8_t bytes[] = {'A', 0x06, 0x11, 0x13, 0x00, 0xFF};
    const std::uint8_t tenMs[] = {2};
    const std::uint8_t oneSecond[] = {5};
    {
        script::Writer w = Script(setUp, 2, false);
        w.Read(16)
            .Step(script::kOpAdvance, tenMs)
            .Receive(bytes)
            .Step(script::kOpAdvance, oneSecond);
        Write(target, "read-waits-for-bytes", w.bytes());
    }
    {
        script::Writer w = Script(setUp, 2, false);
        w.Read(200).Step(script::kOpCancel).Read(1).Step(script::kOpReopen);
        Write(target, "read-cancelled-and-reopen", w.bytes());
    }
    {
        const std::uint8_t rxchar[] = {0x01, 0x00};
        const std::uint8_t cts[] = {0x80};
        const std::uint8_t ctsAndRxchar[] = {0x09, 0x00};
        script::Writer w = Script(setUp, 3, false);
        w.Step(script::kOpWait, rxchar).Receive(bytes).Step(script::kOpWait, ctsAndRxchar);
        w.Step(script::kOpStatus, cts).Step(script::kOpPurge, std::array<std::uint8_t, 1>{0x0F});
        Write(target, "wait-on-mask", w.bytes());
    }
    {
        // An XOFF counter waiting for received bytes, an immediate character, a write held by
        // XOFF received in automatic transmit flow control.
        drv::SerialHandflow hf{};
        hf.ControlHandShake = drv::SERIAL_DTR_CONTROL;
        hf.FlowReplace = drv::SERIAL_AUTO_TRANSMIT | drv::SERIAL_RTS_CONTROL;
        hf.XonLimit = 100;
        hf.XoffLimit = 100;
        const auto* hfBytes = reinterpret_cast<const std::uint8_t*>(&hf);
        const drv::usbser2k::SerialXoffCounter counter{50, 3, 0x13};
        std::uint8_t counterBytes[drv::usbser2k::kXoffCounterInputLength] = {};
        std::memcpy(counterBytes, &counter, sizeof counter);
        const std::uint8_t xoff[] = {0x13};
        const std::uint8_t data[] = {'d', 'a', 't', 'a'};
        script::Writer w = Script(setUp, 2, false);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_SET_HANDFLOW),
                std::span(hfBytes, sizeof hf), 0);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_XOFF_COUNTER), counterBytes, 0);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_IMMEDIATE_CHAR), data, 0);
        w.Receive(xoff).Write(data).Receive(bytes).Step(script::kOpAdvance, oneSecond);
        Write(target, "flow-xoff-counter", w.bytes());
    }
    {
        // A write that loops back while a read waits, then a flush, and the statistics.
        const std::uint8_t data[] = {'l', 'o', 'o', 'p'};
        script::Writer w = Script(setUp, 4, true);
        w.Read(4).Write(data).Step(script::kOpFlush);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_GET_STATS), {}, 24);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_GET_COMMSTATUS), {}, 20);
        Write(target, "loopback-read-write", w.bytes());
    }
    {
        // The cable pulled while a read and a write wait: the chip goes before the system
        // knows; the handle is closed and opened again.
        const std::uint8_t data[] = {'g', 'o', 'n', 'e'};
        script::Writer w = Script(setUp, 2, false);
        w.Read(32).Write(data).Step(script::kOpPullChip).Step(script::kOpAdvance, tenMs);
        w.Step(script::kOpReopen).Read(1);
        Write(target, "chip-pulled", w.bytes());
    }
    {
        // A rate set, the chip pulled, the device powered down and a request that needs the
        // chip bringing it back: the chip is gone and cannot be restored, the port keeps its
        // rate.
        const std::uint32_t rate = 57600;
        const std::uint8_t d3[] = {0x81};
        script::Writer w = Script(setUp, 2, false);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_SET_BAUD_RATE),
                std::span(reinterpret_cast<const std::uint8_t*>(&rate), sizeof rate), 0);
        w.Step(script::kOpPullChip).Step(script::kOpPower, d3);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_SET_DTR), {}, 0);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_GET_BAUD_RATE), {}, 4);
        Write(target, "chip-pulled-power-cycle", w.bytes());
    }
    {
        // A handshake record set, the chip pulled, then the basic settings another component
        // asks for, which the chip cannot take, and the record read back.
        drv::SerialHandflow hf{};
        hf.ControlHandShake = drv::SERIAL_DTR_CONTROL;
        hf.FlowReplace = drv::SERIAL_RTS_CONTROL;
        hf.XonLimit = 0x200;
        hf.XoffLimit = 0x80;
        script::Writer w = Script(setUp, 2, false);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_SET_HANDFLOW),
                std::span(reinterpret_cast<const std::uint8_t*>(&hf), sizeof hf), 0);
        w.Step(script::kOpPullChip);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, true), {},
                sizeof(drv::usbser2k::SerialBasicSettings));
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_GET_HANDFLOW), {}, sizeof hf);
        Write(target, "chip-pulled-basic-settings", w.bytes());
    }
    {
        // Steps overlapping up to the end: the last calls are still on their way to the driver
        // when the script cancels what the handle has in flight and closes it.
        const std::uint8_t rxchar[] = {0x01, 0x00};
        script::Writer w = Script(setUp, 2, false);
        w.Read(16).Step(script::kOpWait, rxchar).Step(script::kOpReopen).Read(8);
        w.Step(script::kOpWait, rxchar);
        Seed toTheEnd = w.bytes();
        toTheEnd[0] |= 0x40;
        Write(target, "overlapping-to-the-end", toTheEnd);
    }
    {
        // Sleep and wake with a read waiting, then the device alone powered down and a request
        // that needs the chip bringing it back.
        const std::uint8_t s3[] = {2};
        const std::uint8_t working[] = {0};
        const std::uint8_t d3[] = {0x81};
        script::Writer w = Script(setUp, 2, true);
        w.Read(8).Step(script::kOpPower, s3).Step(script::kOpPower, working).Read(4);
        w.Step(script::kOpPower, d3);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_SET_DTR), {}, 0);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_GET_BAUD_RATE), {}, 4);
        Write(target, "power-sleep-wake", w.bytes());
    }
    {
        // What other components ask for: the settings taken and given back.
        script::Writer w = Script(setUp, 2, false);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, true), {},
                sizeof(drv::usbser2k::SerialBasicSettings));
        drv::usbser2k::SerialBasicSettings settings{};
        settings.HandFlow.ControlHandShake = drv::SERIAL_DTR_CONTROL;
        settings.Timeouts.ReadTotalTimeoutConstant = 20;
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, true),
                std::span(reinterpret_cast<const std::uint8_t*>(&settings), sizeof settings), 0);
        w.Ioctl(script::IndexOf(drv::usbser2k::IOCTL_SERIAL_GET_TIMEOUTS), {}, 20);
        Write(target, "internal-settings", w.bytes());
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
    SerialSeeds();
    std::cout << "vm_fuzz_seeds: " << g_written << " seeds in " << g_root.string() << '\n';
    return 0;
}
