#include "tools/cable/usbser9x_port.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

#include "driver/platform/config_manager.h"
#include "tools/cable/cable_driver.h"

namespace vm::cable {

namespace {
// The ports open now, by COM number: the callbacks find their port here. A port leaves before
// it is closed, so no callback reaches a port that has gone.
std::mutex g_portsMutex;
std::map<std::uint32_t, Usbser9xPort*> g_ports;

void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
}  // namespace

std::uint32_t ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) return 0;
    std::uint32_t n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + static_cast<std::uint32_t>(name[i] - '0');
    }
    return n >= 1 && n <= 255 ? n : 0;
}

Usbser9xPort::Usbser9xPort(const Usbser9xApi& api, std::uint32_t com, Log log)
    : api_(api), com_(com), log_(std::move(log)) {}

Usbser9xPort::~Usbser9xPort() {
    Close();
}

void Usbser9xPort::Fail(const std::string& what) {
    ++failures_;
    log_("COM" + std::to_string(com_) + ": " + what);
}

bool Usbser9xPort::Open(Deliver deliver) {
    {
        std::lock_guard lock(mutex_);
        removed_ = false;
        writeOuts_ = 0;
    }
    failures_ = 0;
    deliver_ = std::move(deliver);
    {
        std::lock_guard lock(g_portsMutex);
        g_ports[com_] = this;
    }
    if (!api_.COMOpenedForSerport(1, com_)) {
        {
            std::lock_guard lock(g_portsMutex);
            g_ports.erase(com_);
        }
        deliver_ = nullptr;
        Fail("open failed: the driver has no such port");
        return false;
    }
    open_ = true;
    // The kept block starts as the driver has it (its line coding read from the chip).
    if (!api_.GetStateForSerport(dcb_.data(), com_)) dcb_.fill(0);
    if (!api_.ReadForSerport(0, 1, com_)) Fail("reading could not be enabled");
    api_.SetControlLineForSerport(VM9X_LINE_DTR, 1, com_);
    api_.SetControlLineForSerport(VM9X_LINE_RTS, 1, com_);
    return true;
}

void Usbser9xPort::Close() {
    if (!open_) return;
    open_ = false;
    {
        std::lock_guard lock(g_portsMutex);
        g_ports.erase(com_);
    }
    api_.ReadForSerport(0, 0, com_);
    api_.COMOpenedForSerport(0, com_);
    deliver_ = nullptr;
}

void Usbser9xPort::SetSpeed(std::uint32_t baud) {
    Put32(dcb_.data() + 4, baud);
    if (!api_.SetStateForSerport(dcb_.data(), VM9X_STATE_RATE, com_)) Fail("the speed was refused");
}

void Usbser9xPort::SetLine(const LineSettings& line) {
    dcb_[22] = line.dataBits;
    dcb_[23] = line.parity;
    dcb_[24] = line.stopBits;
    if (!api_.SetStateForSerport(dcb_.data(), VM9X_STATE_LINE, com_)) {
        Fail("the line settings were refused");
    }
}

void Usbser9xPort::SetFlow(const LineSettings& line) {
    api_.SetControlLineForSerport(VM9X_LINE_CTS_HANDSHAKE, line.rtsCts ? 1 : 0, com_);
    api_.SetControlLineForSerport(VM9X_LINE_XONXOFF, line.xonOutput || line.xonInput ? 1 : 0, com_);
}

bool Usbser9xPort::Write(const std::uint8_t* data, std::size_t length) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWriteSeconds);
    std::size_t at = 0;
    while (at < length) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::size_t>(length - at, 4096));
        std::uint64_t seen;
        {
            std::lock_guard lock(mutex_);
            if (removed_) {
                Fail("write failed: the cable was removed");
                return false;
            }
            seen = writeOuts_;
        }
        if (api_.WriteForSerport(data + at, chunk, com_)) {
            at += chunk;
            continue;
        }
        // A transmission is pending: its write-out callback says when it has gone. Should
        // none come, the transmitter is kicked, which makes one follow.
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(200),
                               [&] { return writeOuts_ != seen || removed_; })) {
            lock.unlock();
            if (!api_.KickTxForSerport(com_)) {
                Fail("write failed: the driver has no such port");
                return false;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Fail("write failed: the driver took nothing for " + std::to_string(kWriteSeconds) +
                 " s");
            return false;
        }
    }
    return true;
}

void Usbser9xPort::OnReceive(const std::uint8_t* data, std::uint32_t length, std::uint32_t com) {
    std::lock_guard lock(g_portsMutex);
    const auto it = g_ports.find(com);
    if (it != g_ports.end() && it->second->deliver_) it->second->deliver_(data, length);
}

void Usbser9xPort::OnWriteOut(std::uint32_t com) {
    std::lock_guard lock(g_portsMutex);
    const auto it = g_ports.find(com);
    if (it == g_ports.end()) return;
    Usbser9xPort& port = *it->second;
    {
        std::lock_guard portLock(port.mutex_);
        ++port.writeOuts_;
    }
    port.changed_.notify_all();
}

void Usbser9xPort::OnRemoved(std::uint32_t com) {
    std::lock_guard lock(g_portsMutex);
    const auto it = g_ports.find(com);
    if (it == g_ports.end()) return;
    Usbser9xPort& port = *it->second;
    {
        std::lock_guard portLock(port.mutex_);
        port.removed_ = true;
    }
    port.changed_.notify_all();
}

namespace {

// Where the library is installed: lib/vm6142 beside the program's bin folder.
std::filesystem::path InstalledLibrary() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return self.parent_path().parent_path() / "lib" / "vm6142" / "libusbser9x.so";
}

// usbser9x, loaded from its library: its port is named by the device node's PORTNAME value
// and worked through its exports.
class Usbser9xDriver final : public CableDriver {
public:
    explicit Usbser9xDriver(std::filesystem::path file) : file_(std::move(file)) {}
    ~Usbser9xDriver() override {
        config_.reset();
        if (library_) ::dlclose(library_);
    }

    std::string name() const override { return "usbser9x"; }

    bool Load(drv::Kernel& kernel, drv::DriverObject* driver, std::string* error) override {
        std::filesystem::path file = file_;
        if (file.empty()) {
            file = InstalledLibrary();
#ifdef VM_USBSER9X_BUILT
            std::error_code ec;
            if (!std::filesystem::exists(file, ec)) file = VM_USBSER9X_BUILT;
#endif
        }
        library_ = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library_) {
            *error = std::string("cannot load the driver: ") + ::dlerror();
            return false;
        }
        bool found = true;
        auto find = [&](auto& function, const char* symbol) {
            void* p = ::dlsym(library_, symbol);
            if (!p && found) *error = file.string() + " has no " + symbol + ": not usbser9x";
            found = found && p;
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(p);
        };
        find(api_.COMOpenedForSerport, "COMOpenedForSerport");
        find(api_.ReadForSerport, "ReadForSerport");
        find(api_.WriteForSerport, "WriteForSerport");
        find(api_.KickTxForSerport, "KickTxForSerport");
        find(api_.GetStateForSerport, "GetStateForSerport");
        find(api_.SetStateForSerport, "SetStateForSerport");
        find(api_.SetControlLineForSerport, "SetControlLineForSerport");
        find(api_.SetBreakForSerport, "SetBreakForSerport");
        find(api_.ExtBaudrateForSerport, "ExtBaudrateForSerport");
        find(api_.GetIntStatusForSerport, "GetIntStatusForSerport");
        find(api_.SetMSRShadowForSerport, "SetMSRShadowForSerport");
        find(api_.SetReadQueueForSerport, "SetReadQueueForSerport");
        find(api_.CableRemoveForSerport, "CableRemoveForSerport");
        find(api_.WriteOutQueueForSerport, "WriteOutQueueForSerport");
        find(api_.entry, "vm9x_DriverEntry");
        if (!found) return false;
        // The configuration manager carries the device nodes the driver makes.
        config_ = std::make_unique<drv::ConfigManager>(kernel);
        const std::int32_t status = api_.entry(
            driver, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser9x");
        if (status < 0) {
            *error = "the driver did not load";
            return false;
        }
        api_.SetReadQueueForSerport(&Usbser9xPort::OnReceive);
        api_.WriteOutQueueForSerport(&Usbser9xPort::OnWriteOut);
        api_.CableRemoveForSerport(&Usbser9xPort::OnRemoved);
        return true;
    }

    void NamePort(drv::Kernel& kernel, drv::DeviceObject* pdo, std::uint16_t vendorId,
                  std::uint16_t productId, const std::string& com) override {
        // The driver names its device object "\Device\SerialPort<n>" and its device node
        // after n - 1; the node's PORTNAME gives the COM number.
        const drv::DeviceObject* fdo = pdo->AttachedDevice;
        const std::string prefix = "\\Device\\SerialPort";
        if (!fdo || fdo->Name.compare(0, prefix.size(), prefix) != 0) return;
        const unsigned number = static_cast<unsigned>(std::atoi(fdo->Name.c_str() + prefix.size()));
        if (number == 0) return;
        char id[64];
        std::snprintf(id, sizeof id, "USBPorts\\VID_%04X&PID_%04X\\%4.4u", vendorId, productId,
                      number - 1);
        kernel.registry().SetString(drv::ConfigManager::HardwareKey(id), "PORTNAME", com);
    }

    bool HasPort(drv::Kernel&, const std::string& com) override {
        // Any call for a COM number no device is entered for answers false.
        const std::uint32_t n = ComNumber(com);
        return n != 0 && api_.KickTxForSerport(n);
    }

    std::unique_ptr<PortSide> Port(drv::Kernel&, const std::string& com,
                                   PortSide::Log log) override {
        return std::make_unique<Usbser9xPort>(api_, ComNumber(com), std::move(log));
    }

private:
    std::filesystem::path file_;
    void* library_ = nullptr;
    Usbser9xApi api_;
    std::unique_ptr<drv::ConfigManager> config_;
};

}  // namespace

std::unique_ptr<CableDriver> MakeCableDriver(const std::filesystem::path& driverFile) {
    return std::make_unique<Usbser9xDriver>(driverFile);
}

}  // namespace vm::cable
