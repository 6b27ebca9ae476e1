// A simulated machine with the cable plugged in: the kernel on a clock that follows real time
// (or one the caller drives), the USB bus the cable is on (the simulated chip of one variant, or
// any other bus the caller makes) and usbser2k loaded and started, publishing "COM5". The chip's
// serial line can be connected to a pseudo-terminal, the one a simulated radio serves on, so that
// what the driver sends reaches the radio and the radio's answers come back through the chip.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "driver/platform/pnp_manager.h"
#include "driver/platform/usb.h"
#include "driver/sim/sim_chip.h"

namespace vm::integration {

// Makes the bus the cable is on, with the system's kernel.
using BusMaker = std::function<std::unique_ptr<drv::UsbBus>(drv::Kernel& kernel)>;
// The simulated chip of a variant.
BusMaker SimulatedChip(int variant);

class CableSystem {
public:
    // `clock`: WallClock for callers that wait on one another in real time (a transfer to a
    // simulated radio); Auto or Manual for a caller that drives time itself.
    CableSystem(BusMaker bus, std::string portName = "COM5",
                drv::Kernel::ClockMode clock = drv::Kernel::ClockMode::WallClock);
    // On the simulated chip of the variant.
    explicit CableSystem(int variant, std::string portName = "COM5",
                         drv::Kernel::ClockMode clock = drv::Kernel::ClockMode::WallClock);
    ~CableSystem();
    CableSystem(const CableSystem&) = delete;
    CableSystem& operator=(const CableSystem&) = delete;

    // AddDevice and start; the status of the start.
    drv::NTSTATUS Plug();
    // The cable pulled out while in use: the chip goes, then the system's surprise removal and
    // removal follow.
    void Unplug();
    bool plugged() const { return plugged_; }
    // A power request as the power manager sends it to the cable's device: a system state
    // (PowerSystemWorking, PowerSystemSleeping3, ...) or a device state (PowerDeviceD0, ...).
    drv::NTSTATUS SetPower(drv::PowerStateType type, std::uint32_t state);
    // Unloads the driver (once its devices are gone); its global state goes.
    void Unload();

    // Connects the simulated chip's line to a terminal device (the radio's); false when it cannot
    // be opened or the system is not on a simulated chip. Bytes the chip transmits are written to
    // it; bytes read from it are received.
    bool ConnectLine(const std::string& device);
    void DisconnectLine();

    drv::Kernel& kernel() { return kernel_; }
    drv::UsbBus& bus() { return *bus_; }
    // The simulated chip the system is on; null on another bus.
    sim::SimChip* simulatedChip() { return dynamic_cast<sim::SimChip*>(bus_.get()); }
    // The same, for a system made on one.
    sim::SimChip& chip() { return *simulatedChip(); }
    const std::string& portName() const { return portName_; }

private:
    void LineReader();

    drv::Kernel kernel_;
    drv::UsbBusDriver busDriver_;
    std::unique_ptr<drv::UsbBus> bus_;
    drv::DriverObject driver_;
    drv::PnpManager pnp_;
    drv::DeviceObject* pdo_ = nullptr;
    std::string portName_;
    bool plugged_ = false;

    int line_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread reader_;
};

}  // namespace vm::integration
