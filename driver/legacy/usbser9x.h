// usbser9x: the driver that runs the cable's USB side for an external port driver. Driver entry,
// the device extension, AddDevice and the plug-and-play lifecycle, the port table and the
// worker thread.
#pragma once

#include <array>
#include <atomic>
#include <string>

#include "driver/core/chip_control.h"
#include "driver/core/io.h"
#include "driver/core/usb_transport.h"

namespace vm::drv::usbser9x {

class Device;

// What the driver keeps for all its devices.
struct DriverGlobals {
    // Port table: the device entered for each COM number (0 to 255). Changed and read under the
    // lock; an entry is cleared only by the device it points at.
    KSpinLock portLock;
    std::array<Device*, 256> ports{};
    Device* lastAdded = nullptr;
    ExtendedRateTable extendedRates;
};

class Device : public TransferSink {
public:
    Device(Kernel& kernel, DeviceObject* fdo, DeviceObject* pdo, DeviceObject* lower);
    ~Device() override;

    Kernel& kernel;
    DeviceObject* fdo;
    DeviceObject* pdo;
    UsbDevice usb;
    DriverGlobals* globals = nullptr;

    std::string deviceName;  // "\Device\SerialPort<n>"
    std::string linkName;    // "\DosDevices\USBCOM-<n>"
    std::uint32_t deviceNumber = 0;
    std::uint32_t devicePowerState = PowerDeviceD3;
    std::int32_t comNumber = -1;  // the port-table entry this device holds; -1 none
    std::atomic<bool> portOpen{false};

    // The worker thread and its events (kill, transmit done).
    KThread* worker = nullptr;
    KEvent killEvent;
    KEvent transmitDone;
    std::atomic<std::uint32_t> transmitsDone{0};

    void OnTransferComplete(UsbDevice& device, int pipe, NTSTATUS status,
                            std::span<const std::uint8_t> data) override;
};

NTSTATUS DriverEntry(DriverObject* driver, const std::string& registryPath);
NTSTATUS AddDevice(DriverObject* driver, DeviceObject* pdo);

// The COM number of a port name "COM<n>" with 1 to 3 digits, 1 to 255; none otherwise.
std::optional<std::int32_t> ComNumberOf(const std::string& portName);
// Reads the port name ("PORTNAME" of the device's hardware key) and enters the device in the
// port table; unreadable, the device takes entry 3 if that is free.
void USB2SER_QueryCOMPort(Device& dev);
// The device entered for a COM number; null when none (or the number is out of range).
Device* LookupPort(DriverGlobals& globals, std::int64_t com);

}  // namespace vm::drv::usbser9x
