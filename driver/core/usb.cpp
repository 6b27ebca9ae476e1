#include "driver/core/usb.h"

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
};

NTSTATUS PdoInternalDeviceControl(DeviceObject* device, Irp* irp) {
    UsbBus* bus = device->Extension<PdoExtension>().bus;
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return bus->SubmitUrb(irp, static_cast<Urb*>(location->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return bus->ResetPort(irp);
        default:
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            IoCompleteRequest(irp);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS PdoSucceed(DeviceObject*, Irp* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp);
    return STATUS_SUCCESS;
}
}  // namespace

UsbBusDriver::UsbBusDriver(Kernel& kernel) : driver_(kernel, "\\Driver\\usbhub") {
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &PdoInternalDeviceControl;
    driver_.MajorFunction[IRP_MJ_PNP] = &PdoSucceed;
    driver_.MajorFunction[IRP_MJ_POWER] = &PdoSucceed;
    driver_.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &PdoSucceed;
}

UsbBusDriver::~UsbBusDriver() {
    for (DeviceObject* pdo : pdos_) IoDeleteDevice(pdo);
}

DeviceObject* UsbBusDriver::CreatePdo(UsbBus& bus) {
    DeviceObject* pdo = nullptr;
    IoCreateDevice(driver_, "", FILE_DEVICE_UNKNOWN, 0, false, &pdo);
    pdo->CreateExtension<PdoExtension>(PdoExtension{&bus});
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdos_.push_back(pdo);
    return pdo;
}

}  // namespace vm::drv
