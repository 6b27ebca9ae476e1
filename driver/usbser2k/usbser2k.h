// usbser2k: the driver that makes the cable a serial port. Driver entry, the device extension,
// AddDevice, the plug-and-play lifecycle (start, stop, removal, surprise removal), the port's
// external names, and open and close of the port.
#pragma once

#include <atomic>
#include <string>

#include "driver/core/chip_control.h"
#include "driver/core/usb_transport.h"
#include "driver/platform/io.h"
#include "driver/usbser2k/power2k.h"
#include "driver/usbser2k/serial.h"

namespace vm::drv::usbser2k {

// The class of serial port device interfaces.
inline constexpr const char* kSerialPortInterfaceGuid = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
inline constexpr const char* kSerialCommKey =
    "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

// Plug-and-play states.
enum class PnpState : std::int32_t {
    Created = 0,
    Started = 1,
    StopPending = 2,
    Stopped = 3,
    RemovePending = 4,
};
// Device-state flags.
inline constexpr std::uint32_t kDeviceFailed = 4;
inline constexpr std::uint32_t kDeviceSurpriseRemoved = 8;
inline constexpr std::uint32_t kDeviceRemoved = 0x10;

// What the driver keeps for all its devices (the driver object's extension).
struct DriverGlobals {
    std::string registryPath;  // copy of the service key path
    std::atomic<std::uint32_t> nextDeviceNumber{0};
    ExtendedRateTable extendedRates;
};

// The device extension.
class Device : public TransferSink {
public:
    Device(Kernel& kernel, DeviceObject* fdo, DeviceObject* pdo, DeviceObject* lower);
    ~Device() override;

    Kernel& kernel;
    DeviceObject* fdo;
    DeviceObject* pdo;
    UsbDevice usb;  // holds the lower device, chip variant, descriptors and the I/O counts

    std::string deviceName;  // "\Device\Serial<n>"
    std::string portName;    // from "PortName"/"Identifier"
    std::string linkName;    // "\DosDevices\<port name>"
    std::string interfaceLink;
    bool named = false;          // link, SERIALCOMM value and interface in place
    bool wmiRegistered = false;  // registered with WMI (one registration over restarts)
    bool usbStarted = false;     // the USB side of the start has completed
    bool stoppedBefore = false;
    bool notStoppable = false;

    std::atomic<PnpState> pnpState{PnpState::Created};
    PnpState stateBeforeQuery = PnpState::Created;
    std::atomic<std::uint32_t> deviceFlags{0};
    std::atomic<std::uint32_t> devicePowerState{PowerDeviceD0};
    DeviceCapabilities capabilities;
    PowerState power;  // power policy and WMI (power2k.cpp)

    // The open count, guarded against query-remove and query-stop by the fast mutex; it stays
    // 1 until a close has finished everything it does.
    FastMutex openMutex;
    std::int32_t openCount GUARDED_BY(openMutex) = 0;

    // Receive buffer (allocated at open); the pointer is changed only under the receive lock
    // (serial.receiveLock).
    std::uint8_t* receiveBuffer GUARDED_BY(serial.receiveLock) = nullptr;
    std::uint32_t receiveSize GUARDED_BY(serial.receiveLock) = 0;
    std::uint32_t receiveCount GUARDED_BY(serial.receiveLock) = 0;
    std::uint32_t receiveFirst GUARDED_BY(serial.receiveLock) = 0;
    // Standing transfers are resubmitted from their completions only while the port is open;
    // `resubmitting` counts completions between that check and their submission, so that a
    // close can wait for them before it cancels.
    std::atomic<bool> standingTransfers{false};
    std::atomic<std::int32_t> resubmitting{0};
    std::uint8_t lastStatus = 0;

    // The serial port: settings, queues, data path.
    SerialState serial;

    // Bytes taken from the receive buffer (oldest first), up to `max`.
    std::size_t TakeReceived(std::uint8_t* out, std::size_t max) EXCLUDES(serial.receiveLock);

    void OnTransferComplete(UsbDevice& device, int pipe, NTSTATUS status,
                            std::span<const std::uint8_t> data) override;
    void OnTaggedTransferComplete(UsbDevice& device, int pipe, std::uintptr_t tag, NTSTATUS status,
                                  std::span<const std::uint8_t> data) override;
};

// Sets up the driver object: dispatch table, AddDevice and Unload; reads "ExtBaudrate" from the
// service key.
NTSTATUS DriverEntry(DriverObject* driver, const std::string& registryPath);

NTSTATUS AddDevice(DriverObject* driver, DeviceObject* pdo);

// The start's part that brings up the serial port; a stop returns it to stopped.
NTSTATUS StartDevice(Device& dev);

// Receive buffer sizes tried at open, largest first.
inline constexpr std::uint32_t kReceiveBufferSizes[] = {1024, 128};

// Where power and WMI requests go: the power code replaces these (they pass the request down).
NTSTATUS DispatchPower(DeviceObject* fdo, Irp* irp);
NTSTATUS DispatchSystemControl(DeviceObject* fdo, Irp* irp);

}  // namespace vm::drv::usbser2k
