#include "driver/usbser2k/usbser2k.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "driver/core/lifecycle.h"

namespace vm::drv::usbser2k {

namespace {
constexpr std::uint32_t kTag = PoolTag("COMX");
constexpr std::uint32_t FILE_DIRECTORY_FILE = 0x00000001;

Device& Ext(DeviceObject* fdo) {
    return fdo->Extension<Device>();
}

DriverGlobals& Globals(DriverObject* driver) {
    return *static_cast<DriverGlobals*>(driver->DriverExtension);
}
}  // namespace

Device::Device(Kernel& k, DeviceObject* f, DeviceObject* p, DeviceObject* lower)
    : kernel(k), fdo(f), pdo(p), usb(k, kUsbser2kPolicy, f, lower), power(k), serial(k, usb, this) {
    usb.sink = this;
}

Device::~Device() {
    // Removal frees the buffer once nothing can reach it; a device deleted without removal
    // (AddDevice failing) never had one.
    VM_KASSERT(receiveBuffer == nullptr);
}

std::size_t Device::TakeReceived(std::uint8_t* out, std::size_t max) {
    SpinLockGuard lock(serial.receiveLock);
    std::size_t n = 0;
    while (n < max && receiveCount > 0 && receiveBuffer) {
        out[n++] = receiveBuffer[receiveFirst];
        receiveFirst = (receiveFirst + 1) % receiveSize;
        --receiveCount;
    }
    return n;
}

void Device::OnTransferComplete(UsbDevice& device, int pipe, NTSTATUS status,
                                std::span<const std::uint8_t> data) {
    OnTaggedTransferComplete(device, pipe, 0, status, data);
}

void Device::OnTaggedTransferComplete(UsbDevice&, int pipe, std::uintptr_t tag, NTSTATUS status,
                                      std::span<const std::uint8_t> data) {
    resubmitting.fetch_add(1);
    OnTransferDone(*this, pipe, tag, status, data);
    resubmitting.fetch_sub(1);
}

// --- Admission --------------------------------------------------------------------------------

bool Admit(Device& dev, Irp* irp) {
    dev.usb.ioCount.Increment();
    if (dev.deviceFlags.load() & (kDeviceRemoved | kDeviceSurpriseRemoved | kDeviceFailed)) {
        CompleteRequest(irp, STATUS_DELETE_PENDING);
        dev.usb.ioCount.Decrement();
        return false;
    }
    return true;
}

namespace {

// Completes an admitted request and drops its count (the count is the last touch).
NTSTATUS Finish(Device& dev, Irp* irp, NTSTATUS status, std::uintptr_t information = 0) {
    CompleteRequest(irp, status, information);
    dev.usb.ioCount.Decrement();
    return status;
}

// --- External naming --------------------------------------------------------------------------

void UndoNaming(Device& dev) {
    if (!dev.linkName.empty()) {
        dev.kernel.DeleteSymbolicLink(dev.linkName);
        dev.linkName.clear();
    }
    dev.kernel.registry().DeleteValue(kSerialCommKey, dev.deviceName);
    if (!dev.interfaceLink.empty()) {
        IoSetDeviceInterfaceState(dev.kernel, dev.interfaceLink, false);
        dev.interfaceLink.clear();
    }
    dev.portName.clear();
    dev.named = false;
}

NTSTATUS DoExternalNaming(Device& dev) {
    Registry& registry = dev.kernel.registry();
    const std::string key = IoOpenDeviceRegistryKey(dev.pdo);
    if (registry.QueryDword(key, "SerialSkipExternalNaming").value_or(0) != 0) {
        return STATUS_SUCCESS;
    }
    const std::optional<std::string> port = ReadPortName(registry, key);
    if (!port) return STATUS_OBJECT_NAME_NOT_FOUND;
    dev.portName = *port;
    const std::string link = "\\DosDevices\\" + *port;
    NTSTATUS status = dev.kernel.CreateSymbolicLink(link, dev.deviceName);
    if (NT_SUCCESS(status)) {
        dev.linkName = link;
        status = registry.SetString(kSerialCommKey, dev.deviceName, *port);
    }
    if (NT_SUCCESS(status)) {
        std::string interfaceLink;
        status = IoRegisterDeviceInterface(dev.pdo, kSerialPortInterfaceGuid, &interfaceLink);
        if (NT_SUCCESS(status)) {
            dev.interfaceLink = interfaceLink;
            status = IoSetDeviceInterfaceState(dev.kernel, interfaceLink, true);
        }
    }
    if (!NT_SUCCESS(status)) {
        UndoNaming(dev);
        return status;
    }
    dev.named = true;
    return STATUS_SUCCESS;
}

// Frees the receive buffer once no completion can reach it.
void FreeReceiveBuffer(Device& dev) {
    std::uint8_t* buffer;
    {
        SpinLockGuard lock(dev.serial.receiveLock);
        buffer = dev.receiveBuffer;
        dev.receiveBuffer = nullptr;
        dev.receiveSize = dev.receiveCount = dev.receiveFirst = 0;
    }
    if (buffer) dev.usb.Free(buffer);
}

// Stops resubmission of the standing transfers, waits for completions that are resubmitting,
// cancels what is in flight and waits for it to finish.
void StopStandingTransfers(Device& dev) {
    dev.standingTransfers.store(false);
    while (dev.resubmitting.load() != 0) std::this_thread::yield();
    CancelAndDrainTransfers(dev.usb);
}

// Every request in flight done: the base count is dropped, the count drained to 0 and the base
// count taken back. Plug-and-play requests are not counted, so this cannot wait for itself.
void DrainRequests(Device& dev) {
    dev.usb.ioCount.Decrement();
    dev.kernel.Wait(dev.usb.ioCount.ZeroEvent());
    dev.usb.ioCount.Increment();
}
}  // namespace

// --- Start ----------------------------------------------------------------------------------

NTSTATUS StartDevice(Device& dev) {
    UsbDevice& usb = dev.usb;
    NTSTATUS status = ReadAndClassifyChip(usb);
    if (NT_SUCCESS(status)) status = USB2SER_ConfigureDevice(usb);
    if (!NT_SUCCESS(status)) return status;
    // Remote wake-up is a convenience of power management; a chip that refuses it still works.
    USB2SER_ControlRemoteWakeup(usb, true);
    status = InitializeChip(usb);
    if (!NT_SUCCESS(status)) return status;
    for (int reg = 0; reg < 3; ++reg) {
        status = USB2SER_GetDCR_NoCOM(usb, reg);
        if (!NT_SUCCESS(status)) return status;
    }
    dev.usbStarted = true;
    // The serial side is published only once the chip is ready for it.
    dev.devicePowerState = PowerDeviceD0;
    if (!dev.stoppedBefore) DoExternalNaming(dev);  // a port without names still works
    Wmi2kRegister(dev);
    AllocatePowerWork(dev);
    dev.pnpState.store(PnpState::Started);
    return STATUS_SUCCESS;
}

// --- Plug and play ----------------------------------------------------------------------------

namespace {
NTSTATUS QueryRemoveOrStop(Device& dev, Irp* irp, PnpState pending) {
    dev.openMutex.Acquire();
    if (dev.openCount != 0) {
        dev.openMutex.Release();
        return CompleteRequest(irp, STATUS_DEVICE_BUSY);
    }
    if (pending == PnpState::StopPending && dev.notStoppable) {
        dev.openMutex.Release();
        return CompleteRequest(irp, STATUS_NOT_SUPPORTED);
    }
    dev.stateBeforeQuery = dev.pnpState.exchange(pending);
    dev.openMutex.Release();
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(dev.usb.lower, irp);
}

NTSTATUS CancelQuery(Device& dev, Irp* irp, PnpState pending) {
    // Back to where the device was, once the drivers below have taken the cancel.
    const NTSTATUS status = ForwardAndWait(dev.usb.lower, irp);
    if (dev.pnpState.load() == pending) dev.pnpState.store(dev.stateBeforeQuery);
    return CompleteRequest(
        irp, NT_SUCCESS(status) || status == STATUS_NOT_SUPPORTED ? STATUS_SUCCESS : status);
}

NTSTATUS RemoveDevice(Device& dev, Irp* irp) {
    dev.deviceFlags.fetch_or(kDeviceRemoved);
    dev.usb.removing.store(true);
    StopWaitWake(dev);
    // Standing transfers stopped and drained, every request done: nothing can reach the buffer.
    CancelAllRequests(dev);
    StopStandingTransfers(dev);
    dev.usb.ioCount.Decrement();  // the base count
    dev.kernel.Wait(dev.usb.ioCount.ZeroEvent());
    if (dev.named) UndoNaming(dev);
    Wmi2kDeregister(dev);
    FreeReceiveBuffer(dev);
    KeFlushQueuedDpcs(dev.kernel);
    FreeLineWork(dev);
    FreePowerWork(dev);
    return PassDownDetachAndDelete(dev.fdo, dev.usb.lower, irp);
}

NTSTATUS DispatchPnp(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return AnswerStart(dev.usb.lower, irp, [&] { return StartDevice(dev); });
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return QueryRemoveOrStop(dev, irp, PnpState::RemovePending);
        case IRP_MN_QUERY_STOP_DEVICE:
            return QueryRemoveOrStop(dev, irp, PnpState::StopPending);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return CancelQuery(dev, irp, PnpState::RemovePending);
        case IRP_MN_CANCEL_STOP_DEVICE:
            return CancelQuery(dev, irp, PnpState::StopPending);
        case IRP_MN_STOP_DEVICE:
            dev.pnpState.store(PnpState::Stopped);
            dev.stoppedBefore = true;
            StopStandingTransfers(dev);
            DrainRequests(dev);
            dev.usbStarted = false;
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(dev.usb.lower, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            dev.deviceFlags.fetch_or(kDeviceSurpriseRemoved);
            dev.usb.removing.store(true);
            StopWaitWake(dev);
            CancelAllRequests(dev);
            StopStandingTransfers(dev);
            DrainRequests(dev);
            FreeReceiveBuffer(dev);
            if (dev.named) UndoNaming(dev);
            Wmi2kDeregister(dev);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(dev.usb.lower, irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveDevice(dev, irp);
        case IRP_MN_QUERY_ID:
            return AnswerQueryId(dev.usb.lower, dev.pdo, irp, kTag);
        case IRP_MN_QUERY_CAPABILITIES: {
            const NTSTATUS status = ForwardAndWait(dev.usb.lower, irp);
            if (DeviceCapabilities* caps = location->Parameters.DeviceCapabilities.Capabilities;
                caps && NT_SUCCESS(status)) {
                caps->SurpriseRemovalOK = true;
                dev.capabilities = *caps;
            }
            IoCompleteRequest(irp);
            return status;
        }
        case IRP_MN_QUERY_PNP_DEVICE_STATE: {
            ForwardAndWait(dev.usb.lower, irp);
            if (dev.deviceFlags.load() & kDeviceFailed) {
                if (!NT_SUCCESS(irp->IoStatus.Status)) irp->IoStatus.Information = 0;
                irp->IoStatus.Information |= PNP_DEVICE_FAILED;
                irp->IoStatus.Status = STATUS_SUCCESS;
            }
            IoCompleteRequest(irp);
            return irp->IoStatus.Status;
        }
        default:
            return PassDown(dev.usb.lower, irp);
    }
}

// --- Open and close ---------------------------------------------------------------------------

NTSTATUS DispatchCreate(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (dev.pnpState.load() != PnpState::Started) {
        return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (!dev.usbStarted) return CompleteRequest(irp, STATUS_INSUFFICIENT_POWER);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
        return Finish(dev, irp, STATUS_NOT_A_DIRECTORY);
    }
    dev.openMutex.Acquire();
    const bool taken = dev.openCount == 0 && dev.pnpState.load() == PnpState::Started;
    if (taken) dev.openCount = 1;
    dev.openMutex.Release();
    if (!taken) {
        return Finish(
            dev, irp,
            dev.pnpState.load() == PnpState::Started ? STATUS_ACCESS_DENIED : STATUS_DEVICE_BUSY);
    }
    // Every failure from here on gives the open count back.
    auto fail = [&](NTSTATUS status) {
        FreeReceiveBuffer(dev);
        dev.openMutex.Acquire();
        dev.openCount = 0;
        dev.openMutex.Release();
        return Finish(dev, irp, status);
    };
    std::uint8_t* buffer = nullptr;
    std::uint32_t size = 0;
    for (std::uint32_t candidate : kReceiveBufferSizes) {
        buffer = static_cast<std::uint8_t*>(dev.usb.Allocate(candidate));
        if (buffer) {
            size = candidate;
            break;
        }
    }
    if (!buffer) return fail(STATUS_INSUFFICIENT_RESOURCES);
    {
        SpinLockGuard lock(dev.serial.receiveLock);
        dev.receiveBuffer = buffer;
        dev.receiveSize = size;
        dev.receiveCount = dev.receiveFirst = 0;
    }
    // The port needs the chip: a device powered down since (its own state D3) comes back first.
    if (const NTSTATUS power = EnsureD0(dev); !NT_SUCCESS(power)) return fail(power);
    const NTSTATUS status = OpenPort(dev);
    if (!NT_SUCCESS(status)) {
        StopStandingTransfers(dev);
        dev.serial.ready.store(false);
        FreeLineWork(dev);
        return fail(status);
    }
    return Finish(dev, irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    dev.usb.ioCount.Increment();
    if (dev.deviceFlags.load() & (kDeviceRemoved | kDeviceSurpriseRemoved | kDeviceFailed)) {
        // The device is going: what removal has not freed yet is freed here, once.
        dev.serial.ready.store(false);
        StopStandingTransfers(dev);
        FreeReceiveBuffer(dev);
        KeFlushQueuedDpcs(dev.kernel);
        FreeLineWork(dev);
        dev.openMutex.Acquire();
        dev.openCount = 0;
        dev.openMutex.Release();
        return Finish(dev, irp, STATUS_SUCCESS);
    }
    dev.openMutex.Acquire();
    const bool open = dev.openCount == 1;
    dev.openMutex.Release();
    if (!open) return Finish(dev, irp, STATUS_INVALID_DEVICE_REQUEST);
    // Everything first, the open count last: an open right after this close succeeds.
    ClosePortLines(dev);
    StopStandingTransfers(dev);
    FreeReceiveBuffer(dev);
    KeFlushQueuedDpcs(dev.kernel);
    FreeLineWork(dev);
    ClosePortWait(dev);
    dev.openMutex.Acquire();
    dev.openCount = 0;
    dev.openMutex.Release();
    return Finish(dev, irp, STATUS_SUCCESS);
}

// Cleanup cancels the handle's requests even once the device has been surprise removed: a
// request that reached its queue after the removal's own cancel ends here, and the removal's
// drain with it.
NTSTATUS DispatchCleanup(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    dev.usb.ioCount.Increment();
    if (dev.deviceFlags.load() & kDeviceRemoved) {
        return Finish(dev, irp, STATUS_DELETE_PENDING);
    }
    dev.kernel.Delay(30 * kMillisecond);
    CancelAllRequests(dev);
    return Finish(dev, irp, STATUS_SUCCESS);
}

NTSTATUS DispatchOther(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    return Finish(dev, irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace

NTSTATUS DispatchPower(DeviceObject* fdo, Irp* irp) {
    return Power2kDispatch(Ext(fdo), irp);
}

NTSTATUS DispatchSystemControl(DeviceObject* fdo, Irp* irp) {
    return Wmi2kDispatch(Ext(fdo), irp);
}

namespace {

void Unload(DriverObject* driver) {
    driver->kernel().pool().Delete(&Globals(driver));
    driver->DriverExtension = nullptr;
}
}  // namespace

// --- Entry and AddDevice ------------------------------------------------------------------------

NTSTATUS DriverEntry(DriverObject* driver, const std::string& registryPath) {
    auto* globals = driver->kernel().pool().New<DriverGlobals>(kTag);
    if (!globals) return STATUS_INSUFFICIENT_RESOURCES;
    globals->registryPath = registryPath;
    if (auto text = driver->kernel().registry().QueryString(registryPath, "ExtBaudrate")) {
        globals->extendedRates.Load(*text);
    }
    driver->DriverExtension = globals;
    driver->RegistryPath = registryPath;
    driver->MajorFunction.fill(&DispatchOther);
    driver->MajorFunction[IRP_MJ_CREATE] = &DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = &DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = &DispatchCleanup;
    driver->MajorFunction[IRP_MJ_PNP] = &DispatchPnp;
    driver->MajorFunction[IRP_MJ_READ] = &DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = &DispatchWrite;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = &DispatchFlush;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &DispatchInternalDeviceControl;
    driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = &DispatchQueryInformation;
    driver->MajorFunction[IRP_MJ_SET_INFORMATION] = &DispatchSetInformation;
    // Power and WMI.
    driver->MajorFunction[IRP_MJ_POWER] = &DispatchPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &DispatchSystemControl;
    driver->AddDevice = &AddDevice;
    driver->Unload = &Unload;
    return STATUS_SUCCESS;
}

NTSTATUS AddDevice(DriverObject* driver, DeviceObject* pdo) {
    if (!pdo) return STATUS_NO_MORE_ENTRIES;
    DriverGlobals& globals = Globals(driver);
    DeviceObject* fdo = nullptr;
    std::string name;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    // The next free number; only a name in use moves on to the next one.
    for (int attempt = 0; attempt < 256 && status == STATUS_OBJECT_NAME_COLLISION; ++attempt) {
        name = "\\Device\\Serial" + std::to_string(globals.nextDeviceNumber.fetch_add(1));
        status = IoCreateDevice(*driver, name, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN,
                                true, &fdo);
    }
    if (!NT_SUCCESS(status)) return status;
    DeviceObject* lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    Device* dev = fdo->CreateExtension<Device>(driver->kernel(), fdo, pdo, lower);
    if (!dev) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    dev->deviceName = name;
    dev->usb.extendedRates = &globals.extendedRates;
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace vm::drv::usbser2k
