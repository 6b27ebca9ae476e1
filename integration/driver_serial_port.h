// The editor's SerialPort over usbser2k's host I/O layer: each call issues what the Win32
// serial call of the same job issues (SetupComm → SET_QUEUE_SIZE, SetCommTimeouts →
// SET_TIMEOUTS, SetCommState → the GET_ then SET_ rate, line control, characters and
// handshake, PurgeComm → PURGE, ReadFile → read, WriteFile → write, CloseHandle → cleanup and
// close).
#pragma once

#include <memory>
#include <string>

#include "app/link/serial_port.h"
#include "driver/platform/host_io.h"

namespace vm::integration {

class DriverSerialPort final : public SerialPort {
public:
    explicit DriverSerialPort(drv::Kernel& kernel) : kernel_(kernel) {}
    ~DriverSerialPort() override { Close(); }

    // "COM5", "\\.\COM5" or a device path of the object namespace ("\\DosDevices\\COM5").
    bool Open(const std::string& path) override;
    bool IsOpen() const override { return file_ != nullptr; }
    void Close() override;
    bool SetBufferSizes(std::size_t input, std::size_t output) override;
    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool SetLine(const LineSettings& line) override;
    bool Purge() override;
    bool Read(std::uint8_t* data, std::size_t n, std::size_t& got) override;
    bool Write(const std::uint8_t* data, std::size_t n, std::size_t& put) override;

private:
    bool Check(drv::NTSTATUS status);
    drv::Kernel& kernel_;
    std::unique_ptr<drv::host::HostFile> file_;
};

// The name in the object namespace a port path stands for.
std::string PortObjectName(const std::string& path);

}  // namespace vm::integration
