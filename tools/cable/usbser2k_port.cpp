#include "tools/cable/usbser2k_port.h"

#include <cstdio>

#include "driver/usbser2k/handflow.h"
#include "driver/usbser2k/serial.h"
#include "driver/usbser2k/usbser2k.h"
#include "tools/cable/cable_driver.h"

namespace vm::cable {

namespace k = drv::usbser2k;

namespace {
constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFF;

std::string Hex(std::uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}
}  // namespace

Usbser2kPort::Usbser2kPort(drv::Kernel& kernel, std::string objectName, Log log)
    : kernel_(kernel), objectName_(std::move(objectName)), log_(std::move(log)) {}

Usbser2kPort::~Usbser2kPort() {
    Close();
}

bool Usbser2kPort::Control(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                           std::uint32_t outLength) {
    std::lock_guard lock(fileMutex_);
    if (!file_) return false;
    const drv::NTSTATUS status = file_->DeviceIoControl(code, in, inLength, out, outLength);
    if (!drv::NT_SUCCESS(status)) {
        ++failures_;
        log_(objectName_ + ": request " + Hex(code) +
             " failed: " + Hex(static_cast<std::uint32_t>(status)));
        return false;
    }
    return true;
}

bool Usbser2kPort::Open(Deliver deliver) {
    std::unique_ptr<drv::host::HostFile> file;
    const drv::NTSTATUS status = drv::host::HostFile::Open(kernel_, objectName_, &file);
    if (!drv::NT_SUCCESS(status)) {
        ++failures_;
        log_(objectName_ + ": open failed: " + Hex(static_cast<std::uint32_t>(status)));
        return false;
    }
    {
        std::lock_guard lock(fileMutex_);
        file_ = std::move(file);
    }
    failures_ = 0;
    // Reads return as soon as any byte is there, or after a short wait.
    const k::SerialTimeouts timeouts{kMaxTimeout, kMaxTimeout, 200, 0, 0};
    Control(k::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
    deliver_ = std::move(deliver);
    readerStop_ = false;
    reader_ = std::thread([this] { ReadFromDriver(); });
    return true;
}

void Usbser2kPort::Close() {
    if (reader_.joinable()) {
        readerStop_ = true;
        {
            std::lock_guard lock(fileMutex_);
            if (file_) file_->CancelIo();
        }
        reader_.join();
    }
    std::unique_ptr<drv::host::HostFile> file;
    {
        std::lock_guard lock(fileMutex_);
        file = std::move(file_);
    }
    if (file) file->Close();
    deliver_ = nullptr;
}

void Usbser2kPort::SetSpeed(std::uint32_t baud) {
    Control(k::IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0);
}

void Usbser2kPort::SetLine(const LineSettings& line) {
    k::SerialLineControlRecord lc{};
    lc.WordLength = line.dataBits;
    lc.StopBits = line.stopBits;
    lc.Parity = line.parity;
    Control(k::IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc, nullptr, 0);
}

void Usbser2kPort::SetFlow(const LineSettings& line) {
    drv::SerialHandflow handflow;
    if (!Control(k::IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handflow, sizeof handflow)) return;
    handflow.ControlHandShake &= ~drv::SERIAL_CTS_HANDSHAKE;
    if (line.rtsCts) handflow.ControlHandShake |= drv::SERIAL_CTS_HANDSHAKE;
    handflow.FlowReplace &=
        ~(drv::SERIAL_RTS_HANDSHAKE | drv::SERIAL_AUTO_TRANSMIT | drv::SERIAL_AUTO_RECEIVE);
    if (line.rtsCts) handflow.FlowReplace |= drv::SERIAL_RTS_HANDSHAKE;
    if (line.xonOutput) handflow.FlowReplace |= drv::SERIAL_AUTO_TRANSMIT;
    if (line.xonInput) handflow.FlowReplace |= drv::SERIAL_AUTO_RECEIVE;
    Control(k::IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow, nullptr, 0);
}

void Usbser2kPort::Purge(bool received, bool transmitted) {
    std::uint32_t purge = 0;
    if (received) purge |= k::SERIAL_PURGE_RXABORT | k::SERIAL_PURGE_RXCLEAR;
    if (transmitted) purge |= k::SERIAL_PURGE_TXABORT | k::SERIAL_PURGE_TXCLEAR;
    if (purge) Control(k::IOCTL_SERIAL_PURGE, &purge, sizeof purge, nullptr, 0);
}

bool Usbser2kPort::Write(const std::uint8_t* data, std::size_t length) {
    // Only the serving thread writes, and the handle is only replaced by it (open and close).
    drv::host::HostFile* file = file_.get();
    if (!file) return false;
    std::uint32_t put = 0;
    const drv::NTSTATUS status = file->Write(data, static_cast<std::uint32_t>(length), &put);
    if (!drv::NT_SUCCESS(status)) {
        ++failures_;
        log_(objectName_ + ": write failed: " + Hex(static_cast<std::uint32_t>(status)));
        return false;
    }
    return true;
}

void Usbser2kPort::ReadFromDriver() {
    std::uint8_t buffer[256];
    while (!readerStop_.load()) {
        std::uint32_t got = 0;
        // The handle is only replaced once this thread has ended.
        const drv::NTSTATUS status = file_->Read(buffer, sizeof buffer, &got);
        if (status == drv::STATUS_CANCELLED && !readerStop_.load()) {
            continue;  // a purge aborted the read: the port stays open
        }
        if (!drv::NT_SUCCESS(status)) {
            if (readerStop_.load()) return;
            ++failures_;
            log_(objectName_ + ": read failed: " + Hex(static_cast<std::uint32_t>(status)));
            return;
        }
        if (got > 0) deliver_(buffer, got);
    }
}

namespace {
// usbser2k, linked in: it names its port from the device's PortName value and is reached
// through the system's I/O requests on that name.
class Usbser2kDriver final : public CableDriver {
public:
    std::string name() const override { return "usbser2k"; }
    bool Load(drv::Kernel&, drv::DriverObject* driver, std::string* error) override {
        const drv::NTSTATUS entry = drv::usbser2k::DriverEntry(
            driver, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser2k");
        if (!drv::NT_SUCCESS(entry)) *error = "the driver did not load";
        return drv::NT_SUCCESS(entry);
    }
    void NamePort(drv::Kernel& kernel, drv::DeviceObject* pdo, std::uint16_t, std::uint16_t,
                  const std::string& com) override {
        kernel.registry().SetString(drv::IoOpenDeviceRegistryKey(pdo), "PortName", com);
    }
    bool HasPort(drv::Kernel& kernel, const std::string& com) override {
        return kernel.SymbolicLinkTarget("\\DosDevices\\" + com).has_value();
    }
    std::unique_ptr<PortSide> Port(drv::Kernel& kernel, const std::string& com,
                                   PortSide::Log log) override {
        return std::make_unique<Usbser2kPort>(kernel, "\\DosDevices\\" + com, std::move(log));
    }
};
}  // namespace

std::unique_ptr<CableDriver> MakeCableDriver(const std::filesystem::path&) {
    return std::make_unique<Usbser2kDriver>();
}

}  // namespace vm::cable
