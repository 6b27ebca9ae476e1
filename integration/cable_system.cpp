#include "integration/cable_system.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "driver/usbser2k/usbser2k.h"

namespace vm::integration {

namespace {
const char* kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser2k";
}

BusMaker SimulatedChip(int variant) {
    return [variant](drv::Kernel& kernel) {
        return std::make_unique<sim::SimChip>(kernel, sim::ChipProfile::ForVariant(variant));
    };
}

CableSystem::CableSystem(int variant, std::string portName, drv::Kernel::ClockMode clock)
    : CableSystem(SimulatedChip(variant), std::move(portName), clock) {}

CableSystem::CableSystem(BusMaker bus, std::string portName, drv::Kernel::ClockMode clock)
    : busDriver_(kernel_),
      bus_(bus(kernel_)),
      driver_(kernel_, "\\Driver\\usbser2k"),
      pnp_(kernel_),
      portName_(std::move(portName)) {
    kernel_.SetClockMode(clock);
    kernel_.SetTimerResolution(drv::kMillisecond);
    pdo_ = busDriver_.CreatePdo(*bus_);
    drv::usbser2k::DriverEntry(&driver_, kService);
    kernel_.registry().SetString(drv::IoOpenDeviceRegistryKey(pdo_), "PortName", portName_);
}

CableSystem::~CableSystem() {
    DisconnectLine();
    if (plugged_) Unplug();
    Unload();
}

void CableSystem::Unload() {
    if (!plugged_ && driver_.DriverExtension) driver_.Unload(&driver_);
}

drv::NTSTATUS CableSystem::Plug() {
    const drv::NTSTATUS added = pnp_.AddDevice(driver_, pdo_);
    if (!drv::NT_SUCCESS(added)) return added;
    plugged_ = true;
    return pnp_.Start(pdo_);
}

drv::NTSTATUS CableSystem::SetPower(drv::PowerStateType type, std::uint32_t state) {
    return pnp_.SendPower(pdo_, drv::IRP_MN_SET_POWER, type, state).status;
}

void CableSystem::Unplug() {
    if (!plugged_) return;
    plugged_ = false;
    if (sim::SimChip* chip = simulatedChip()) chip->Unplug();
    pnp_.SurpriseRemoval(pdo_);
    pnp_.Remove(pdo_);
}

bool CableSystem::ConnectLine(const std::string& device) {
    DisconnectLine();
    if (!simulatedChip()) return false;
    line_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line_ < 0) return false;
    termios t{};
    if (tcgetattr(line_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(line_, TCSANOW, &t);
    }
    if (::pipe(stopPipe_) != 0) {
        ::close(line_);
        line_ = -1;
        return false;
    }
    const int fd = line_;
    chip().SetTransmitSink([fd](std::span<const std::uint8_t> bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // the far end has gone: the bytes are lost on the line
            done += static_cast<std::size_t>(n);
        }
    });
    reader_ = std::thread([this] { LineReader(); });
    return true;
}

void CableSystem::DisconnectLine() {
    if (line_ < 0) return;
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe_[1], &stop, 1);
    reader_.join();
    chip().SetTransmitSink(nullptr);
    ::close(line_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
    line_ = -1;
}

void CableSystem::LineReader() {
    std::uint8_t buffer[512];
    for (;;) {
        pollfd fds[2] = {{line_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return;
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::read(line_, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                // The radio hung up: nothing more comes over the line.
                pollfd stop{stopPipe_[0], POLLIN, 0};
                ::poll(&stop, 1, -1);
                return;
            }
            chip().InjectReceive(
                std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
        }
    }
}

}  // namespace vm::integration
