#include "integration/driver_serial_port.h"

#include <limits>

#include "driver/usbser2k/serial.h"

namespace vm::integration {

namespace k = drv::usbser2k;

std::string PortObjectName(const std::string& path) {
    if (path.rfind("\\", 0) == 0 && path.rfind("\\\\.\\", 0) != 0) return path;
    const std::string bare = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    return "\\DosDevices\\" + bare;
}

bool DriverSerialPort::Check(drv::NTSTATUS status) {
    return drv::NT_SUCCESS(status);
}

bool DriverSerialPort::Open(const std::string& path) {
    Close();
    return Check(drv::host::HostFile::Open(kernel_, PortObjectName(path), &file_));
}

void DriverSerialPort::Close() {
    if (!file_) return;
    file_->Close();
    file_.reset();
}

bool DriverSerialPort::SetBufferSizes(std::size_t input, std::size_t output) {
    if (!file_) return false;
    constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
    const k::SerialQueueSize size{static_cast<std::uint32_t>(std::min(input, kMax)),
                                  static_cast<std::uint32_t>(std::min(output, kMax))};
    return Check(
        file_->DeviceIoControl(k::IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size, nullptr, 0));
}

bool DriverSerialPort::SetTimeouts(const CommTimeouts& t) {
    if (!file_) return false;
    const k::SerialTimeouts timeouts{t.read_interval, t.read_total_multiplier,
                                     t.read_total_constant, t.write_total_multiplier,
                                     t.write_total_constant};
    return Check(file_->DeviceIoControl(k::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts,
                                        nullptr, 0));
}

bool DriverSerialPort::SetLine(const LineSettings& line) {
    if (!file_) return false;
    // GetCommState: what the port has now.
    std::uint32_t rate = 0;
    k::SerialLineControlRecord lc{};
    k::SerialChars chars;
    drv::SerialHandflow handflow;
    if (!Check(file_->DeviceIoControl(k::IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate,
                                      sizeof rate)) ||
        !Check(
            file_->DeviceIoControl(k::IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &lc, sizeof lc)) ||
        !Check(
            file_->DeviceIoControl(k::IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof chars)) ||
        !Check(file_->DeviceIoControl(k::IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handflow,
                                      sizeof handflow))) {
        return false;
    }
    // SetCommState with the clone's settings put in.
    rate = line.baud;
    lc.WordLength = static_cast<std::uint8_t>(line.data_bits);
    lc.Parity = static_cast<std::uint8_t>(line.parity);
    lc.StopBits = static_cast<std::uint8_t>(line.stop_bits);
    return Check(file_->DeviceIoControl(k::IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr,
                                        0)) &&
           Check(file_->DeviceIoControl(k::IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc, nullptr,
                                        0)) &&
           Check(file_->DeviceIoControl(k::IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars, nullptr,
                                        0)) &&
           Check(file_->DeviceIoControl(k::IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow,
                                        nullptr, 0));
}

bool DriverSerialPort::Purge() {
    if (!file_) return false;
    const std::uint32_t mask = k::SERIAL_PURGE_TXABORT | k::SERIAL_PURGE_RXABORT |
                               k::SERIAL_PURGE_TXCLEAR | k::SERIAL_PURGE_RXCLEAR;
    return Check(file_->DeviceIoControl(k::IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0));
}

bool DriverSerialPort::Read(std::uint8_t* data, std::size_t n, std::size_t& got) {
    got = 0;
    if (!file_) return false;
    std::uint32_t count = 0;
    const drv::NTSTATUS status =
        file_->Read(data, static_cast<std::uint32_t>(std::min<std::size_t>(n, UINT32_MAX)), &count);
    got = count;
    return Check(status);  // a time-out is a success code with fewer bytes
}

bool DriverSerialPort::Write(const std::uint8_t* data, std::size_t n, std::size_t& put) {
    put = 0;
    if (!file_) return false;
    std::uint32_t count = 0;
    const drv::NTSTATUS status = file_->Write(
        data, static_cast<std::uint32_t>(std::min<std::size_t>(n, UINT32_MAX)), &count);
    put = count;
    return Check(status);
}

}  // namespace vm::integration
