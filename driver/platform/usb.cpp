#include "driver/platform/usb.h"

#include <mutex>

#include "driver/platform/power.h"

namespace vm::drv {

void UsbBuildVendorRequest(Urb& urb, std::uint16_t function, std::uint32_t transferFlags,
                           std::uint8_t reservedBits, std::uint8_t request, std::uint16_t value,
                           std::uint16_t index, void* buffer, std::uint32_t length) {
    urb.Hdr = UrbHeader{kUrbControlLength, function, USBD_STATUS_SUCCESS};
    UrbControlVendorOrClass body;
    body.TransferFlags = transferFlags;
    body.TransferBufferLength = length;
    body.TransferBuffer = buffer;
    body.RequestTypeReservedBits = reservedBits;
    body.Request = request;
    body.Value = value;
    body.Index = index;
    urb.Body = body;
}

void UsbBuildGetDescriptorRequest(Urb& urb, std::uint8_t descriptorType, std::uint8_t index,
                                  std::uint16_t languageId, void* buffer, std::uint32_t length) {
    urb.Hdr =
        UrbHeader{kUrbControlLength, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USBD_STATUS_SUCCESS};
    urb.Body = UrbDescriptorRequest{length, buffer, index, descriptorType, languageId};
}

void UsbBuildInterruptOrBulkTransferRequest(Urb& urb, PipeHandle pipe, void* buffer,
                                            std::uint32_t length, std::uint32_t flags) {
    urb.Hdr = UrbHeader{kUrbBulkOrInterruptLength, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                        USBD_STATUS_SUCCESS};
    urb.Body = UrbBulkOrInterruptTransfer{pipe, flags, length, buffer};
}

void UsbBuildFeatureRequest(Urb& urb, std::uint16_t function, std::uint16_t feature,
                            std::uint16_t index) {
    urb.Hdr = UrbHeader{kUrbControlLength, function, USBD_STATUS_SUCCESS};
    urb.Body = UrbFeatureRequest{feature, index};
}

void UsbBuildResetPipeRequest(Urb& urb, PipeHandle pipe) {
    urb.Hdr = UrbHeader{kUrbPipeRequestLength, URB_FUNCTION_RESET_PIPE, USBD_STATUS_SUCCESS};
    urb.Body = UrbPipeRequest{pipe};
}

// ---------------------------------------------------------------------------------------------
namespace {
// Calls f(offset, length, type) for each well-formed descriptor from `start`; stops when f
// returns false or the data is malformed.
template <class F>
void WalkDescriptors(std::span<const std::uint8_t> config, std::size_t start, F&& f) {
    std::size_t offset = start;
    while (offset + 2 <= config.size()) {
        const std::size_t length = config[offset];
        if (length < 2 || offset + length > config.size()) return;
        if (!f(offset, length, config[offset + 1])) return;
        offset += length;
    }
}

bool Matches(int wanted, std::uint8_t actual) {
    return wanted == -1 || wanted == actual;
}
}  // namespace

std::optional<InterfaceDescriptor> ParseConfigurationDescriptor(
    std::span<const std::uint8_t> config, std::size_t start, int interfaceNumber,
    int alternateSetting, int interfaceClass, int interfaceSubClass, int interfaceProtocol) {
    std::optional<InterfaceDescriptor> found;
    WalkDescriptors(config, start, [&](std::size_t offset, std::size_t length, std::uint8_t type) {
        if (type != USB_INTERFACE_DESCRIPTOR_TYPE || length < 9) return true;
        InterfaceDescriptor d;
        d.InterfaceNumber = config[offset + 2];
        d.AlternateSetting = config[offset + 3];
        d.NumEndpoints = config[offset + 4];
        d.Class = config[offset + 5];
        d.SubClass = config[offset + 6];
        d.Protocol = config[offset + 7];
        d.Offset = offset;
        if (Matches(interfaceNumber, d.InterfaceNumber) &&
            Matches(alternateSetting, d.AlternateSetting) && Matches(interfaceClass, d.Class) &&
            Matches(interfaceSubClass, d.SubClass) && Matches(interfaceProtocol, d.Protocol)) {
            found = d;
            return false;
        }
        return true;
    });
    return found;
}

std::vector<EndpointDescriptor> InterfaceEndpoints(std::span<const std::uint8_t> config,
                                                   const InterfaceDescriptor& iface) {
    std::vector<EndpointDescriptor> endpoints;
    bool first = true;
    WalkDescriptors(
        config, iface.Offset, [&](std::size_t offset, std::size_t length, std::uint8_t type) {
            if (first) {  // the interface descriptor itself
                first = false;
                return true;
            }
            if (type == USB_INTERFACE_DESCRIPTOR_TYPE) return false;
            if (type != USB_ENDPOINT_DESCRIPTOR_TYPE || length < 7) return true;
            EndpointDescriptor e;
            e.EndpointAddress = config[offset + 2];
            e.Attributes = config[offset + 3];
            e.MaxPacketSize =
                static_cast<std::uint16_t>(config[offset + 4] | (config[offset + 5] << 8));
            e.Interval = config[offset + 6];
            endpoints.push_back(e);
            return endpoints.size() < iface.NumEndpoints;
        });
    return endpoints;
}

Urb* CreateConfigurationRequest(Kernel& kernel, std::uint32_t tag,
                                std::span<const std::uint8_t> config,
                                std::span<const InterfaceDescriptor> interfaces) {
    Urb* urb = kernel.pool().New<Urb>(tag);
    if (!urb) return nullptr;
    urb->Hdr = UrbHeader{static_cast<std::uint16_t>(24 + 56 * interfaces.size()),
                         URB_FUNCTION_SELECT_CONFIGURATION, USBD_STATUS_SUCCESS};
    UrbSelectConfiguration body;
    body.ConfigurationDescriptor = config.data();
    body.ConfigurationDescriptorLength = config.size();
    for (const InterfaceDescriptor& d : interfaces) {
        UsbInterfaceInformation info;
        info.InterfaceNumber = d.InterfaceNumber;
        info.AlternateSetting = d.AlternateSetting;
        info.Pipes.resize(InterfaceEndpoints(config, d).size());
        body.Interfaces.push_back(std::move(info));
    }
    urb->Body = std::move(body);
    return urb;
}

// ---------------------------------------------------------------------------------------------
namespace {
struct PdoExtension {
    UsbBus* bus;
    PdoSettings settings;
    std::atomic<bool> removed{false};
    Mutex wakeMutex;
    Irp* waitWake GUARDED_BY(wakeMutex) = nullptr;  // the pending wait-wake request
};

NTSTATUS CompletePdo(Irp* irp, NTSTATUS status, std::uintptr_t information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp);
    return status;
}

NTSTATUS PdoInternalDeviceControl(DeviceObject* device, Irp* irp) {
    auto& ext = device->Extension<PdoExtension>();
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    if (ext.removed.load()) return CompletePdo(irp, STATUS_DEVICE_NOT_CONNECTED);
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return ext.bus->SubmitUrb(irp,
                                      static_cast<Urb*>(location->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return ext.bus->ResetPort(irp);
        default:
            return CompletePdo(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// Takes the pending wait-wake request for completing it; null when there is none or its cancel
// routine is on the way (it completes the request).
Irp* TakeWaitWake(PdoExtension& ext) {
    MutexLock lock(ext.wakeMutex);
    Irp* irp = ext.waitWake;
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) return nullptr;
    ext.waitWake = nullptr;
    return irp;
}

// Called with the cancel spin lock held, which it lets go (taken in IoCancelIrp): unchecked.
void CancelWaitWake(DeviceObject* device, Irp* irp) NO_THREAD_SAFETY_ANALYSIS {
    IoReleaseCancelSpinLock(irp->kernel(), irp->CancelIrql);
    auto& ext = device->Extension<PdoExtension>();
    {
        MutexLock lock(ext.wakeMutex);
        VM_KASSERT(ext.waitWake == irp);
        ext.waitWake = nullptr;
    }
    CompletePdo(irp, STATUS_CANCELLED);
}

NTSTATUS PdoWaitWake(DeviceObject* device, Irp* irp) {
    auto& ext = device->Extension<PdoExtension>();
    const std::uint32_t systemState =
        IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
    if (ext.removed.load()) return CompletePdo(irp, STATUS_NO_SUCH_DEVICE);
    const std::uint32_t lowest = ext.settings.capabilities.SystemWake;
    if (lowest == PowerSystemUnspecified || systemState > lowest) {
        return CompletePdo(irp, STATUS_INVALID_DEVICE_STATE);
    }
    MutexLock lock(ext.wakeMutex);
    if (ext.waitWake) {
        lock.Unlock();
        return CompletePdo(irp, STATUS_DEVICE_BUSY);
    }
    IoMarkIrpPending(irp);
    ext.waitWake = irp;
    IoSetCancelRoutine(irp, &CancelWaitWake);
    if (irp->Cancel.load() && IoSetCancelRoutine(irp, nullptr)) {
        ext.waitWake = nullptr;
        lock.Unlock();
        CompletePdo(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

NTSTATUS PdoPnp(DeviceObject* device, Irp* irp) {
    auto& ext = device->Extension<PdoExtension>();
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
            if (NT_SUCCESS(ext.settings.startStatus)) ext.removed.store(false);
            return CompletePdo(irp, ext.settings.startStatus);
        case IRP_MN_REMOVE_DEVICE:
            ext.removed.store(true);
            if (Irp* wake = TakeWaitWake(ext)) CompletePdo(wake, STATUS_NO_SUCH_DEVICE);
            return CompletePdo(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_ID: {
            std::vector<std::string> ids;
            switch (location->Parameters.QueryId.IdType) {
                case BusQueryIdType::HardwareIDs:
                    ids = ext.bus->HardwareIds();
                    break;
                case BusQueryIdType::CompatibleIDs:
                    ids = ext.settings.compatibleIds;
                    break;
                default:
                    break;
            }
            if (ids.empty())
                return CompletePdo(irp, irp->IoStatus.Status, irp->IoStatus.Information);
            char16_t* list = AllocateMultiSz(device->kernel().pool(), kPnpPoolTag, ids);
            if (!list) return CompletePdo(irp, STATUS_INSUFFICIENT_RESOURCES);
            return CompletePdo(irp, STATUS_SUCCESS, reinterpret_cast<std::uintptr_t>(list));
        }
        case IRP_MN_QUERY_CAPABILITIES:
            if (DeviceCapabilities* caps = location->Parameters.DeviceCapabilities.Capabilities) {
                *caps = ext.settings.capabilities;
            }
            return CompletePdo(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return CompletePdo(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            return CompletePdo(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        default:
            // Not the bus's to answer: the status and information stay as they came.
            return CompletePdo(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS PdoSucceed(DeviceObject*, Irp* irp) {
    return CompletePdo(irp, STATUS_SUCCESS);
}

NTSTATUS PdoPower(DeviceObject* device, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (location->MinorFunction == IRP_MN_WAIT_WAKE) return PdoWaitWake(device, irp);
    if (location->MinorFunction == IRP_MN_SET_POWER &&
        location->Parameters.Power.Type == PowerStateType::DevicePowerState) {
        auto& ext = device->Extension<PdoExtension>();
        if (!NT_SUCCESS(ext.settings.devicePowerStatus)) {
            return CompletePdo(irp, ext.settings.devicePowerStatus);
        }
        ext.bus->SetDevicePower(location->Parameters.Power.State);
    }
    return CompletePdo(irp, STATUS_SUCCESS);
}
}  // namespace

UsbBusDriver::UsbBusDriver(Kernel& kernel) : driver_(kernel, "\\Driver\\usbhub") {
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &PdoInternalDeviceControl;
    driver_.MajorFunction[IRP_MJ_PNP] = &PdoPnp;
    driver_.MajorFunction[IRP_MJ_POWER] = &PdoPower;
    driver_.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &PdoSucceed;
}

UsbBusDriver::~UsbBusDriver() {
    for (DeviceObject* pdo : pdos_) IoDeleteDevice(pdo);
}

DeviceObject* UsbBusDriver::CreatePdo(UsbBus& bus) {
    DeviceObject* pdo = nullptr;
    // The bus's own objects are not subject to the failure injection the drivers are tested
    // with: they stand for the system, not for the driver under test.
    Pool& pool = driver_.kernel().pool();
    const Pool::Suspend noFailures(pool);
    VM_KASSERT(NT_SUCCESS(IoCreateDevice(driver_, "", FILE_DEVICE_UNKNOWN, 0, false, &pdo)));
    auto* ext = pdo->CreateExtension<PdoExtension>();
    VM_KASSERT(ext != nullptr);
    ext->bus = &bus;
    ext->settings.capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (std::uint32_t s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
        ext->settings.capabilities.DeviceState[s] = PowerDeviceD3;
    }
    ext->settings.capabilities.SystemWake = PowerSystemSleeping3;
    ext->settings.capabilities.DeviceWake = PowerDeviceD2;
    pdo->InstanceId = "USB\\VID_3A71&PID_6142\\" + std::to_string(++instances_);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdos_.push_back(pdo);
    return pdo;
}

PdoSettings& UsbBusDriver::Settings(DeviceObject* pdo) {
    return pdo->Extension<PdoExtension>().settings;
}

bool UsbBusDriver::Removed(DeviceObject* pdo) {
    return pdo->Extension<PdoExtension>().removed.load();
}

bool UsbBusDriver::SignalRemoteWake(DeviceObject* pdo) {
    auto& ext = pdo->Extension<PdoExtension>();
    if (!ext.bus->RemoteWakeupEnabled()) return false;
    Irp* irp = TakeWaitWake(ext);
    if (!irp) return false;
    const IrqlScope dispatch(Irql::Dispatch);
    CompletePdo(irp, STATUS_SUCCESS);
    return true;
}

bool UsbBusDriver::WaitWakePending(DeviceObject* pdo) {
    auto& ext = pdo->Extension<PdoExtension>();
    MutexLock lock(ext.wakeMutex);
    return ext.waitWake != nullptr;
}

// ---------------------------------------------------------------------------------------------
char16_t* AllocateMultiSz(Pool& pool, std::uint32_t tag, const std::vector<std::string>& strings) {
    std::size_t chars = 1;
    for (const std::string& text : strings) chars += text.size() + 1;
    auto* list = static_cast<char16_t*>(pool.Allocate(chars * sizeof(char16_t), tag));
    if (!list) return nullptr;
    std::size_t at = 0;
    for (const std::string& text : strings) {
        for (char c : text) list[at++] = static_cast<unsigned char>(c);
        list[at++] = 0;
    }
    list[at] = 0;
    return list;
}

std::vector<std::string> ReadMultiSz(const char16_t* list, std::size_t maxChars) {
    std::vector<std::string> strings;
    if (!list) return strings;
    std::string current;
    for (std::size_t i = 0; i < maxChars; ++i) {
        if (list[i] == 0) {
            if (current.empty()) break;
            strings.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(list[i] & 0xFF));
        }
    }
    return strings;
}

std::size_t MultiSzChars(const char16_t* list, std::size_t maxChars) {
    if (!list) return 0;
    for (std::size_t i = 0; i < maxChars; ++i) {
        if (list[i] == 0 && (i == 0 || list[i - 1] == 0)) return i + 1;
    }
    return 0;  // not terminated within the bound
}

bool FillInterfaceInformation(std::span<const std::uint8_t> config, UsbInterfaceInformation& info,
                              PipeHandle (*pipeHandle)(std::uint8_t endpointAddress)) {
    auto iface = ParseConfigurationDescriptor(config, 0, info.InterfaceNumber,
                                              info.AlternateSetting, -1, -1, -1);
    if (!iface) return false;
    const auto endpoints = InterfaceEndpoints(config, *iface);
    if (info.Pipes.size() != endpoints.size()) return false;
    info.Class = iface->Class;
    info.SubClass = iface->SubClass;
    info.Protocol = iface->Protocol;
    info.InterfaceHandle = 0x1F00u + iface->InterfaceNumber;
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        UsbPipeInformation& pipe = info.Pipes[i];
        pipe.EndpointAddress = endpoints[i].EndpointAddress;
        pipe.MaximumPacketSize = endpoints[i].MaxPacketSize;
        pipe.Interval = endpoints[i].Interval;
        pipe.Type = (endpoints[i].Attributes & 3) == 3 ? PipeType::Interrupt : PipeType::Bulk;
        pipe.Handle = pipeHandle(endpoints[i].EndpointAddress);
    }
    return true;
}

}  // namespace vm::drv
