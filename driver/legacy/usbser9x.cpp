#include "driver/legacy/usbser9x.h"

#include <cstdio>

#include "driver/core/lifecycle.h"
#include "driver/core/private_ioctl.h"

namespace vm::drv::usbser9x {

namespace {
constexpr std::uint32_t kTag = PoolTag("Wdm ");

Device& Ext(DeviceObject* fdo) {
    return fdo->Extension<Device>();
}

DriverGlobals& Globals(DriverObject* driver) {
    return *static_cast<DriverGlobals*>(driver->DriverExtension);
}
}  // namespace

Device::Device(Kernel& k, DeviceObject* f, DeviceObject* p, DeviceObject* lower)
    : kernel(k),
      fdo(f),
      pdo(p),
      usb(k, kUsbser9xPolicy, f, lower),
      killEvent(k),
      transmitDone(k, EventType::Synchronization) {
    usb.sink = this;
}

Device::~Device() {
    VM_KASSERT(worker == nullptr);
}

void Device::OnTransferComplete(UsbDevice&, int pipe, NTSTATUS status,
                                std::span<const std::uint8_t>) {
    if (pipe == kPipeTransmit) {
        transmitDone.Set();
        return;
    }
    if (!NT_SUCCESS(status) || usb.removing.load() || !portOpen.load()) return;
    USB2SER_AsyncTransfer(usb, pipe, nullptr,
                          pipe == kPipeStatus ? kStatusTransferSize : kReceiveTransferSize);
}

// --- Port table -------------------------------------------------------------------------------

std::optional<std::int32_t> ComNumberOf(const std::string& name) {
    if (name.size() < 4 || name.size() > 6) return std::nullopt;
    std::int32_t number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return std::nullopt;
        number = number * 10 + (name[i] - '0');
    }
    if (number < 1 || number > 255) return std::nullopt;
    return number;
}

namespace {
// Clears this device's entry (only if it is still this device's).
void LeavePortTable(Device& dev) {
    SpinLockGuard lock(dev.globals->portLock);
    if (dev.comNumber >= 0 && dev.globals->ports[static_cast<std::size_t>(dev.comNumber)] == &dev) {
        dev.globals->ports[static_cast<std::size_t>(dev.comNumber)] = nullptr;
    }
    dev.comNumber = -1;
}
}  // namespace

void USB2SER_QueryCOMPort(Device& dev) {
    const std::optional<RegValue> value =
        dev.kernel.registry().QueryValue(IoOpenDeviceRegistryKey(dev.pdo), "PORTNAME");
    std::optional<std::int32_t> com;
    if (value && value->type == RegType::Sz) {
        const std::size_t limit = std::min<std::size_t>(value->data.size(), 64);
        std::string name;
        for (std::size_t i = 0; i < limit && value->data[i] != 0; ++i) {
            name.push_back(static_cast<char>(value->data[i]));
        }
        com = ComNumberOf(name);
    }
    const bool fallback = !com;
    const std::int32_t number = com.value_or(3);
    if (number == dev.comNumber) return;
    LeavePortTable(dev);
    SpinLockGuard lock(dev.globals->portLock);
    Device*& entry = dev.globals->ports[static_cast<std::size_t>(number)];
    if (fallback && entry != nullptr) return;
    entry = &dev;
    dev.comNumber = number;
}

Device* LookupPort(DriverGlobals& globals, std::int64_t com) {
    if (com < 0 || com > 255) return nullptr;
    SpinLockGuard lock(globals.portLock);
    return globals.ports[static_cast<std::size_t>(com)];
}

// --- Worker thread ----------------------------------------------------------------------------

namespace {
void ThreadMain(void* context) {
    auto& dev = *static_cast<Device*>(context);
    KEvent* events[2] = {&dev.killEvent, &dev.transmitDone};
    for (;;) {
        const NTSTATUS which = dev.kernel.WaitAny(events, std::nullopt);
        if (which == STATUS_WAIT_0) return;
        dev.transmitsDone.fetch_add(1);  // the port driver's write-out callback goes here
    }
}

// Ends the worker thread, when there is one.
void KillThread(Device& dev) {
    if (!dev.worker) return;
    dev.killEvent.Set();
    PsJoinAndFreeSystemThread(dev.worker);
    dev.worker = nullptr;
}

// --- Start, stop, removal -----------------------------------------------------------------------

NTSTATUS StartDevice(Device& dev) {
    UsbDevice& usb = dev.usb;
    // The descriptor, the configuration and the worker are what the device cannot do without:
    // any of them failing fails the start.
    NTSTATUS status = ReadAndClassifyChip(usb);
    if (NT_SUCCESS(status)) status = USB2SER_ConfigureDevice(usb);
    if (!NT_SUCCESS(status)) return status;
    USB2SER_ControlRemoteWakeup(usb, true);
    USB2SER_ResetDevice(usb);
    if (!dev.worker) {
        dev.killEvent.Clear();
        status = PsCreateSystemThread(dev.kernel, &ThreadMain, &dev, &dev.worker);
        if (!NT_SUCCESS(status)) return status;
    }
    USB2SER_QueryCOMPort(dev);
    if (!USB2SER_IsEEPROM3A71(usb)) {
        status = USB2SER_InitHW(usb);
        if (!NT_SUCCESS(status)) return status;
    }
    if (usb.ChipAtLeast(2)) USB2SER_SetFlowThreshold(usb, usb.policy.flowThresholdAfterStart);
    dev.devicePowerState = PowerDeviceD0;
    return STATUS_SUCCESS;
}

NTSTATUS RemoveDevice(Device& dev, Irp* irp) {
    dev.usb.removing.store(true);
    dev.portOpen.store(false);
    // Every count drained to 0 (not to the data count's idle level): no completion can touch
    // the device after this.
    CancelAndDrainTransfers(dev.usb);
    dev.usb.ioCount.Decrement();
    dev.kernel.Wait(dev.usb.ioCount.ZeroEvent());
    KillThread(dev);
    dev.kernel.DeleteSymbolicLink(dev.linkName);
    LeavePortTable(dev);
    {
        SpinLockGuard lock(dev.globals->portLock);
        if (dev.globals->lastAdded == &dev) dev.globals->lastAdded = nullptr;
    }
    return PassDownDetachAndDelete(dev.fdo, dev.usb.lower, irp);
}

NTSTATUS DispatchPnp(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return AnswerStart(dev.usb.lower, irp, [&] { return StartDevice(dev); });
        case IRP_MN_STOP_DEVICE:
            dev.portOpen.store(false);
            CancelAndDrainTransfers(dev.usb);
            USB2SER_StopDevice(dev.usb);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(dev.usb.lower, irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveDevice(dev, irp);
        case IRP_MN_QUERY_ID:
            return AnswerQueryId(dev.usb.lower, dev.pdo, irp, kTag);
        case IRP_MN_QUERY_CAPABILITIES: {
            const NTSTATUS status = ForwardAndWait(dev.usb.lower, irp);
            IoCompleteRequest(irp);
            return status;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            // The port name may have changed; an entry is made only for bus relations.
            if (location->Parameters.QueryDeviceRelations.Type ==
                    DeviceRelationType::BusRelations &&
                !dev.usb.removing.load()) {
                USB2SER_QueryCOMPort(dev);
            }
            return PassDown(dev.usb.lower, irp);
        default:
            return PassDown(dev.usb.lower, irp);
    }
}

NTSTATUS Succeed(DeviceObject*, Irp* irp) {
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS InternalIoctl(DeviceObject*, Irp* irp) {
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
}

NTSTATUS DeviceControl(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    dev.usb.ioCount.Increment();
    if (dev.usb.removing.load()) {
        CompleteRequest(irp, STATUS_DELETE_PENDING);
    } else {
        USB2SER_ProcessPrivateIoctlIrp(dev.usb, irp);
        IoCompleteRequest(irp);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    dev.usb.ioCount.Decrement();
    return status;
}

NTSTATUS DispatchPassDown(DeviceObject* fdo, Irp* irp) {
    return PassDown(Ext(fdo).usb.lower, irp);
}

void Unload(DriverObject* driver) {
    driver->kernel().pool().Delete(&Globals(driver));
    driver->DriverExtension = nullptr;
}
}  // namespace

NTSTATUS DriverEntry(DriverObject* driver, const std::string& registryPath) {
    auto* globals = driver->kernel().pool().New<DriverGlobals>(kTag);
    if (!globals) return STATUS_INSUFFICIENT_RESOURCES;
    driver->DriverExtension = globals;
    driver->RegistryPath = registryPath;
    driver->MajorFunction[IRP_MJ_CREATE] = &Succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = &Succeed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &DeviceControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &InternalIoctl;
    driver->MajorFunction[IRP_MJ_POWER] = &DispatchPassDown;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &DispatchPassDown;
    driver->MajorFunction[IRP_MJ_PNP] = &DispatchPnp;
    driver->AddDevice = &AddDevice;
    driver->Unload = &Unload;
    return STATUS_SUCCESS;
}

NTSTATUS AddDevice(DriverObject* driver, DeviceObject* pdo) {
    DriverGlobals& globals = Globals(driver);
    DeviceObject* fdo = nullptr;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    std::uint32_t number = 0;
    std::string name;
    // Numbers written in decimal ("SerialPort12"); only a name in use moves on to the next.
    for (number = 1; number <= 256 && status == STATUS_OBJECT_NAME_COLLISION; ++number) {
        name = "\\Device\\SerialPort" + std::to_string(number);
        status = IoCreateDevice(*driver, name, FILE_DEVICE_SERIAL_PORT, 0, true, &fdo);
    }
    --number;
    if (!NT_SUCCESS(status)) return status;
    const std::string link = "\\DosDevices\\USBCOM-" + std::to_string(number);
    status = driver->kernel().CreateSymbolicLink(link, name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    DeviceObject* lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    Device* dev = fdo->CreateExtension<Device>(driver->kernel(), fdo, pdo, lower);
    if (!dev) {
        IoDetachDevice(lower);
        driver->kernel().DeleteSymbolicLink(link);
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    dev->globals = &globals;
    dev->deviceName = name;
    dev->linkName = link;
    dev->deviceNumber = number;
    dev->usb.extendedRates = &globals.extendedRates;
    {
        SpinLockGuard lock(globals.portLock);
        globals.lastAdded = dev;
    }
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace vm::drv::usbser9x
