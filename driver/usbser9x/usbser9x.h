// usbser9x: the driver that runs the cable's USB side for an external port driver. Driver entry,
// the device extension, AddDevice and the plug-and-play lifecycle, the device node, the port
// table, the worker thread, the data path towards the port driver's callbacks, the device-control
// codes, and the functions the port driver calls (exported under their own names by the shared
// library, usbser9x_exports.h).
#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <string>

#include "driver/core/chip_control.h"
#include "driver/core/usb_transport.h"
#include "driver/platform/config_manager.h"
#include "driver/platform/io.h"

namespace vm::drv::usbser9x {

class Device;

// The port driver's callbacks (one set for all ports).
using StatusCallback = void (*)(const std::uint16_t* status, std::uint32_t com);
using ReceiveCallback = void (*)(const std::uint8_t* data, std::uint32_t length, std::uint32_t com);
using ComCallback = void (*)(std::uint32_t com);

// What the driver keeps for all its devices.
struct DriverGlobals {
    // Port table: the device entered for each COM number (0 to 255). Changed and read under the
    // lock; an entry is cleared only by the device it points at.
    KSpinLock portLock;
    std::array<Device*, 256> ports GUARDED_BY(portLock){};
    Device* lastAdded GUARDED_BY(portLock) = nullptr;
    // Device nodes left behind by devices removed while the port driver had their port open;
    // removed at unload (guarded by the port lock).
    std::array<DEVNODE, 32> orphanNodes GUARDED_BY(portLock){};
    std::size_t orphanCount GUARDED_BY(portLock) = 0;

    // The extended-rate table as the port driver last gave it; each rate change takes a copy
    // under the lock, so a new table never changes under a change in progress.
    KSpinLock rateLock;
    ExtendedRateTable extendedRates GUARDED_BY(rateLock);

    std::atomic<StatusCallback> statusCallback{nullptr};
    std::atomic<ReceiveCallback> receiveCallback{nullptr};
    std::atomic<ComCallback> cableRemovedCallback{nullptr};
    std::atomic<ComCallback> writeOutCallback{nullptr};
};

// The port driver's device control block: 48 bytes, of which these fields are used.
inline constexpr std::size_t kDcbSize = 48;
inline constexpr std::size_t kDcbBaudRate = 4;   // 32-bit
inline constexpr std::size_t kDcbByteSize = 22;  // 8-bit each
inline constexpr std::size_t kDcbParity = 23;
inline constexpr std::size_t kDcbStopBits = 24;

inline constexpr std::size_t kCaptureSize = 384;
// Writes longer than one transmit transfer can carry are refused.
inline constexpr std::uint32_t kMaxWriteLength = 4096;

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
    std::atomic<std::uint32_t> devicePowerState{PowerDeviceD3};
    std::atomic<std::int32_t> comNumber{-1};  // the port-table entry this device holds; -1 none
    DEVNODE devNode = 0;                      // 0: no device node

    // Port state as the port driver sets it.
    std::atomic<bool> portOpen{false};
    std::atomic<bool> readingEnabled{false};
    std::atomic<bool> writeInFlight{false};  // a transmission is pending
    std::atomic<std::uint16_t> lastStatus{0};
    std::array<std::uint8_t, kDcbSize> keptBlock GUARDED_BY(stateMutex){};
    // Completions between their "port open" check and the resubmission of a standing transfer;
    // a close waits for them before it cancels.
    std::atomic<std::int32_t> resubmitting{0};
    // Serialises line changes at passive level; holds the copy of the extended-rate table.
    KMutex stateMutex;
    ExtendedRateTable rateSnapshot GUARDED_BY(stateMutex);

    // Capture buffer: received bytes kept instead of handed on (device-control codes).
    KSpinLock captureLock;
    bool captureOn GUARDED_BY(captureLock) = false;
    std::array<std::uint8_t, kCaptureSize> capture GUARDED_BY(captureLock){};
    std::size_t captureLength GUARDED_BY(captureLock) = 0;

    // The worker thread and its events (kill, transmit done, open or close to run).
    KThread* worker = nullptr;
    KEvent killEvent;
    KEvent transmitDone;
    KEvent openRequest;
    std::atomic<std::int32_t> deferredOpen{-1};  // -1 none, else the flag to apply

    // Power: the work item that finishes a return to S0, and whether no system request is held.
    KWorkItem* powerWork = nullptr;
    KEvent powerIdle;
    Irp* heldSystemIrp = nullptr;

    void OnTransferComplete(UsbDevice& device, int pipe, NTSTATUS status,
                            std::span<const std::uint8_t> data) override;
};

NTSTATUS DriverEntry(DriverObject* driver, const std::string& registryPath);
NTSTATUS AddDevice(DriverObject* driver, DeviceObject* pdo);

// The COM number of a port name "COM<n>" with 1 to 3 digits, 1 to 255; none otherwise.
std::optional<std::int32_t> ComNumberOf(const std::string& portName);
// The device node's identifier: "USBPorts\VID_vvvv&PID_pppp\nnnn" (nnnn the device number - 1).
std::string DevNodeId(std::uint16_t vendorId, std::uint16_t productId, std::uint32_t number);
// Creates the device node (once): identifier, an empty logical configuration with the I/O
// resource descriptor, the enumerator. True only when every step succeeded.
bool USB2SER_CreateDevNode(Device& dev);
// The device node's enumerator.
CONFIGRET EnumHandler(std::uint32_t function, DEVNODE to, DEVNODE about, void* refData,
                      std::uint32_t flags);
// The 108-byte I/O resource descriptor the device node carries.
std::array<std::uint8_t, 108> IoResourceDescriptor();
// Reads the port name ("PORTNAME" of the device node's hardware key) and enters the device in
// the port table; unreadable (or no device node), the device takes entry 3 if that is free.
void USB2SER_QueryCOMPort(Device& dev);
// The device entered for a COM number; null when none (or the number is out of range).
Device* LookupPort(DriverGlobals& globals, std::int64_t com);

// --- The port driver's interface. Each returns false for a COM number no device is entered
// for; while one runs, the device it works on cannot go away.
bool COMOpenedForSerport(DriverGlobals& g, std::uint8_t opened, std::uint32_t com);
bool ReadForSerport(DriverGlobals& g, std::uint8_t enable, std::uint32_t com);
bool WriteForSerport(DriverGlobals& g, const std::uint8_t* data, std::uint32_t length,
                     std::uint32_t com);
bool KickTxForSerport(DriverGlobals& g, std::uint32_t com);
bool GetStateForSerport(DriverGlobals& g, void* dcb, std::uint32_t com);
bool SetStateForSerport(DriverGlobals& g, void* dcb, std::uint32_t kind, std::uint32_t com);
bool SetControlLineForSerport(DriverGlobals& g, std::uint8_t line, std::uint32_t state,
                              std::uint32_t com);
bool SetBreakForSerport(DriverGlobals& g, std::uint8_t on, std::uint32_t com);
bool ExtBaudrateForSerport(DriverGlobals& g, const char* text);
bool GetIntStatusForSerport(DriverGlobals& g, std::uint32_t com);

// Device-control codes of usbser9x (besides the private codes of the transport).
namespace ioctl {
inline constexpr std::uint32_t kSetBaudRate = 0x001B0004;
inline constexpr std::uint32_t kSetLineControl = 0x001B000C;
inline constexpr std::uint32_t kSetDtr = 0x001B0024;
inline constexpr std::uint32_t kClrDtr = 0x001B0028;
inline constexpr std::uint32_t kSetRts = 0x001B0030;
inline constexpr std::uint32_t kClrRts = 0x001B0034;
inline constexpr std::uint32_t kPurge = 0x001B004C;
inline constexpr std::uint32_t kGetModemStatus = 0x001B0068;
inline constexpr std::uint32_t kOpenPort = 0x001B0190;
inline constexpr std::uint32_t kClosePort = 0x001B0194;
inline constexpr std::uint32_t kNothing = 0x001B0198;
inline constexpr std::uint32_t kTakeCapture = 0x001B019C;
inline constexpr std::uint32_t kSetPortNumber = 0x001B01A0;
inline constexpr std::uint32_t kGetDevNode = 0x001B01A4;
}  // namespace ioctl

// Runs a device-control code on a buffered request (the system buffer holds input and output);
// `information` receives the bytes returned.
NTSTATUS ProcessIoctl(Device& dev, std::uint32_t code, std::uint8_t* buffer,
                      std::uint32_t inputLength, std::uint32_t outputLength,
                      std::uintptr_t& information);

// Power (usbser9x_power.cpp): IRP_MJ_POWER, and the chip put back after a return to D0.
NTSTATUS USB2SER_ProcessPowerIrp(DeviceObject* fdo, Irp* irp);
void RestoreAfterPowerUp(Device& dev);
// Starts the status and receive transfers where none is in flight (each after its pipe reset).
void StartStandingTransfers(Device& dev);

}  // namespace vm::drv::usbser9x
