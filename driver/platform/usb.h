// USB request blocks (URBs), descriptors and the bus that receives them.
//
// A function driver builds a URB, puts it in argument 1 of an internal device-control request
// IOCTL_INTERNAL_USB_SUBMIT_URB and calls the device below it. At the bottom of the stack sits a
// physical device object made by UsbBusDriver, which hands the URB to a UsbBus: the simulated
// bridge chip in tests, libusb for a real cable.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "driver/platform/io.h"

namespace vm::drv {

inline constexpr std::uint32_t IOCTL_INTERNAL_USB_SUBMIT_URB = 0x00220003;
inline constexpr std::uint32_t IOCTL_INTERNAL_USB_RESET_PORT = 0x00220007;

// URB functions.
enum : std::uint16_t {
    URB_FUNCTION_SELECT_CONFIGURATION = 0x0000,
    URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009,
    URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B,
    URB_FUNCTION_SET_FEATURE_TO_DEVICE = 0x000D,
    URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE = 0x0010,
    URB_FUNCTION_VENDOR_DEVICE = 0x0017,
    URB_FUNCTION_CLASS_INTERFACE = 0x001B,
    URB_FUNCTION_RESET_PIPE = 0x001E,
};

// Sizes of the platform's URB layouts, kept in the header of each URB.
inline constexpr std::uint16_t kUrbBulkOrInterruptLength = 72;
inline constexpr std::uint16_t kUrbControlLength = 80;
inline constexpr std::uint16_t kUrbPipeRequestLength = 24;

inline constexpr std::uint32_t USBD_TRANSFER_DIRECTION_IN = 0x1;
inline constexpr std::uint32_t USBD_SHORT_TRANSFER_OK = 0x2;

// USBD status codes kept in the URB header.
inline constexpr std::int32_t USBD_STATUS_SUCCESS = 0;
inline constexpr std::int32_t USBD_STATUS_STALL_PID = static_cast<std::int32_t>(0xC0000004);
inline constexpr std::int32_t USBD_STATUS_CANCELED = static_cast<std::int32_t>(0xC0010000);
inline constexpr std::int32_t USBD_STATUS_DEVICE_GONE = static_cast<std::int32_t>(0xC0007000);

enum : std::uint8_t {
    USB_DEVICE_DESCRIPTOR_TYPE = 1,
    USB_CONFIGURATION_DESCRIPTOR_TYPE = 2,
    USB_STRING_DESCRIPTOR_TYPE = 3,
    USB_INTERFACE_DESCRIPTOR_TYPE = 4,
    USB_ENDPOINT_DESCRIPTOR_TYPE = 5,
};
inline constexpr std::uint16_t USB_FEATURE_REMOTE_WAKEUP = 1;

using PipeHandle = std::uintptr_t;
enum class PipeType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct UsbPipeInformation {
    std::uint16_t MaximumPacketSize = 0;
    std::uint8_t EndpointAddress = 0;
    std::uint8_t Interval = 0;
    PipeType Type = PipeType::Bulk;
    PipeHandle Handle = 0;
    std::uint32_t MaximumTransferSize = 4096;
};

// The interface record: filled in by the bus when a configuration is selected.
struct UsbInterfaceInformation {
    std::uint8_t InterfaceNumber = 0;
    std::uint8_t AlternateSetting = 0;
    std::uint8_t Class = 0;
    std::uint8_t SubClass = 0;
    std::uint8_t Protocol = 0;
    std::uintptr_t InterfaceHandle = 0;
    std::vector<UsbPipeInformation> Pipes;  // one entry per endpoint of the descriptor
};

struct UrbSelectConfiguration {
    // Null: unconfigure the device.
    const std::uint8_t* ConfigurationDescriptor = nullptr;
    std::size_t ConfigurationDescriptorLength = 0;
    std::uintptr_t ConfigurationHandle = 0;
    std::vector<UsbInterfaceInformation> Interfaces;
};

// Vendor and class requests (URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_CLASS_INTERFACE).
struct UrbControlVendorOrClass {
    std::uint32_t TransferFlags = 0;
    std::uint32_t TransferBufferLength = 0;
    void* TransferBuffer = nullptr;
    std::uint8_t RequestTypeReservedBits = 0;
    std::uint8_t Request = 0;
    std::uint16_t Value = 0;
    std::uint16_t Index = 0;
};

struct UrbDescriptorRequest {
    std::uint32_t TransferBufferLength = 0;
    void* TransferBuffer = nullptr;
    std::uint8_t Index = 0;
    std::uint8_t DescriptorType = 0;
    std::uint16_t LanguageId = 0;
};

struct UrbBulkOrInterruptTransfer {
    PipeHandle Pipe = 0;
    std::uint32_t TransferFlags = 0;
    std::uint32_t TransferBufferLength = 0;  // on completion: bytes transferred
    void* TransferBuffer = nullptr;
};

struct UrbPipeRequest {
    PipeHandle Pipe = 0;
};

struct UrbFeatureRequest {
    std::uint16_t FeatureSelector = 0;
    std::uint16_t Index = 0;
};

struct UrbHeader {
    std::uint16_t Length = 0;
    std::uint16_t Function = 0;
    std::int32_t Status = USBD_STATUS_SUCCESS;
};

struct Urb {
    UrbHeader Hdr;
    std::variant<std::monostate, UrbSelectConfiguration, UrbControlVendorOrClass,
                 UrbDescriptorRequest, UrbBulkOrInterruptTransfer, UrbPipeRequest,
                 UrbFeatureRequest>
        Body;

    template <class T>
    T& As() {
        return std::get<T>(Body);
    }
};

// Builders, in the manner of the platform's macros.
void UsbBuildVendorRequest(Urb& urb, std::uint16_t function, std::uint32_t transferFlags,
                           std::uint8_t reservedBits, std::uint8_t request, std::uint16_t value,
                           std::uint16_t index, void* buffer, std::uint32_t length);
void UsbBuildGetDescriptorRequest(Urb& urb, std::uint8_t descriptorType, std::uint8_t index,
                                  std::uint16_t languageId, void* buffer, std::uint32_t length);
void UsbBuildInterruptOrBulkTransferRequest(Urb& urb, PipeHandle pipe, void* buffer,
                                            std::uint32_t length, std::uint32_t flags);
void UsbBuildFeatureRequest(Urb& urb, std::uint16_t function, std::uint16_t feature,
                            std::uint16_t index);
void UsbBuildResetPipeRequest(Urb& urb, PipeHandle pipe);

// ---------------------------------------------------------------------------------------------
// Descriptors.
struct InterfaceDescriptor {
    std::uint8_t InterfaceNumber = 0;
    std::uint8_t AlternateSetting = 0;
    std::uint8_t NumEndpoints = 0;
    std::uint8_t Class = 0;
    std::uint8_t SubClass = 0;
    std::uint8_t Protocol = 0;
    std::size_t Offset = 0;  // where it starts in the configuration descriptor
};

struct EndpointDescriptor {
    std::uint8_t EndpointAddress = 0;
    std::uint8_t Attributes = 0;
    std::uint16_t MaxPacketSize = 0;
    std::uint8_t Interval = 0;
};

// Finds the first interface descriptor matching the criteria (-1: any), starting the search at
// byte `start`. The walk stops at a descriptor whose length is below 2 or runs past the end, so
// a malformed descriptor cannot make it loop or read outside the buffer.
std::optional<InterfaceDescriptor> ParseConfigurationDescriptor(
    std::span<const std::uint8_t> config, std::size_t start, int interfaceNumber,
    int alternateSetting, int interfaceClass, int interfaceSubClass, int interfaceProtocol);
// The endpoint descriptors that follow an interface descriptor (up to the next interface).
std::vector<EndpointDescriptor> InterfaceEndpoints(std::span<const std::uint8_t> config,
                                                   const InterfaceDescriptor& iface);

// Fills an interface record as a bus does when the configuration is selected: class, subclass
// and protocol from the descriptor, and each pipe from its endpoint descriptor, with the handle
// `pipeHandle` gives the endpoint address. False when the descriptor has no such interface or
// its endpoints do not match the record's pipes.
bool FillInterfaceInformation(std::span<const std::uint8_t> config, UsbInterfaceInformation& info,
                              PipeHandle (*pipeHandle)(std::uint8_t endpointAddress));

// Builds a select-configuration URB for the given interfaces, with one pipe entry per endpoint
// (USBD_CreateConfigurationRequestEx). Returns null when it cannot be allocated.
Urb* CreateConfigurationRequest(Kernel& kernel, std::uint32_t tag,
                                std::span<const std::uint8_t> config,
                                std::span<const InterfaceDescriptor> interfaces);

// ---------------------------------------------------------------------------------------------
// The bus below the function driver.
class UsbBus {
public:
    virtual ~UsbBus() = default;
    // Receives a submitted URB. Either completes the request (IoCompleteRequest) and returns its
    // status, or marks it pending, keeps it (cancellable) and returns STATUS_PENDING.
    virtual NTSTATUS SubmitUrb(Irp* irp, Urb* urb) = 0;
    // IOCTL_INTERNAL_USB_RESET_PORT; same completion rules.
    virtual NTSTATUS ResetPort(Irp* irp) = 0;
    // The hardware identifiers the bus reports for the device, most specific first.
    virtual std::vector<std::string> HardwareIds() const { return {}; }
    // The device's power state changes (the bus got IRP_MN_SET_POWER for a device state).
    virtual void SetDevicePower(std::uint32_t /*deviceState*/) {}
    // Whether the host has enabled the device's remote wake-up (SET_FEATURE REMOTE_WAKEUP).
    virtual bool RemoteWakeupEnabled() const { return false; }
};

// Multi-strings of UTF-16 characters, as identifier lists are passed: each string ends in a NUL,
// the list in a second one. Characters are taken as Latin-1.
inline constexpr std::uint32_t kPnpPoolTag = PoolTag("PnpI");
char16_t* AllocateMultiSz(Pool& pool, std::uint32_t tag, const std::vector<std::string>& strings);
// The strings of a list, reading at most maxChars characters.
std::vector<std::string> ReadMultiSz(const char16_t* list, std::size_t maxChars);
// The list's length in characters, both final NULs included; 0 when it does not end within
// maxChars characters.
std::size_t MultiSzChars(const char16_t* list, std::size_t maxChars);

// What a physical device object answers to plug and play: its identifiers and capabilities, and
// the status of its start (a test can make it fail).
struct PdoSettings {
    std::vector<std::string> compatibleIds;
    DeviceCapabilities capabilities;
    NTSTATUS startStatus = STATUS_SUCCESS;
    // A device set-power request fails with this (the device's state stays) when it is not
    // success.
    NTSTATUS devicePowerStatus = STATUS_SUCCESS;
};

// Makes physical device objects whose internal device-control requests go to a UsbBus. They
// answer IRP_MN_QUERY_ID with the bus's hardware identifiers, IRP_MN_QUERY_CAPABILITIES with
// their settings, IRP_MN_START_DEVICE with the settings' start status; after
// IRP_MN_REMOVE_DEVICE they refuse USB requests (STATUS_DEVICE_NOT_CONNECTED) until started
// again. IRP_MN_SET_POWER for a device state goes to the bus (SetDevicePower). IRP_MN_WAIT_WAKE
// is kept pending (cancellable) until the device signals remote wake (SignalRemoteWake) or the
// device is removed (STATUS_NO_SUCH_DEVICE); it is refused with STATUS_INVALID_DEVICE_STATE for
// a system state deeper than the capabilities' SystemWake and with STATUS_DEVICE_BUSY while
// another is pending. Other plug-and-play and power requests complete with success, unknown ones
// with the status they came with. Every power request is released (PoStartNextPowerIrp).
class UsbBusDriver {
public:
    explicit UsbBusDriver(Kernel& kernel);
    ~UsbBusDriver();
    DriverObject& driver() { return driver_; }
    // Instance identifiers are "USB\\VID_3A71&PID_6142\\<n>", n counting from 1.
    DeviceObject* CreatePdo(UsbBus& bus);
    static PdoSettings& Settings(DeviceObject* pdo);
    static bool Removed(DeviceObject* pdo);
    // The device signals remote wake: when the bus has remote wake-up enabled, the pending
    // wait-wake request completes with success (at dispatch level, as from the bus's interrupt).
    // Returns whether a request was completed.
    static bool SignalRemoteWake(DeviceObject* pdo);
    static bool WaitWakePending(DeviceObject* pdo);

private:
    DriverObject driver_;
    std::vector<DeviceObject*> pdos_;
    int instances_ = 0;
};

}  // namespace vm::drv
