#include "driver/usbser2k/power2k.h"

#include <thread>

#include "driver/core/lifecycle.h"
#include "driver/platform/power.h"
#include "driver/platform/wmi.h"
#include "driver/usbser2k/usbser2k.h"

namespace vm::drv::usbser2k {

bool OwnsPowerPolicy(Device& dev) {
    return dev.kernel.registry()
               .QueryDword(IoOpenDeviceRegistryKey(dev.pdo), "SerialRelinquishPowerPolicy")
               .value_or(0) == 0;
}

NTSTATUS BringToD0(Device& dev) {
    if (KeGetCurrentIrql() != Irql::Passive) {
        // Nothing can be powered or restored from here.
        return dev.devicePowerState.load() == PowerDeviceD0 && !dev.power.needsRestore.load()
                   ? STATUS_SUCCESS
                   : STATUS_INSUFFICIENT_POWER;
    }
    // Taken even when the device is in D0: a restore that another thread (the return to S0, a
    // D0 another policy owner asked for) has begun ends before this request goes on.
    const KMutexGuard one(dev.power.deviceRequests);
    if (dev.devicePowerState.load() != PowerDeviceD0) {
        dev.power.ownD0.fetch_add(1);
        const NTSTATUS status = RequestDevicePowerAndWait(dev.pdo, PowerDeviceD0);
        dev.power.ownD0.fetch_sub(1);
        if (!NT_SUCCESS(status)) return status;
        if (dev.devicePowerState.load() != PowerDeviceD0) return STATUS_INSUFFICIENT_POWER;
    }
    if (dev.power.needsRestore.exchange(false)) {
        const NTSTATUS status = RestoreAfterPowerUp(dev);
        if (!NT_SUCCESS(status)) {
            dev.power.needsRestore.store(true);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// --- Wait-wake ----------------------------------------------------------------------------------

namespace {
bool CanWake(const DeviceCapabilities& caps) {
    if (caps.DeviceWake == PowerDeviceUnspecified) return false;
    for (std::uint32_t s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
        const std::uint32_t d = caps.DeviceState[s];
        if (d != PowerDeviceUnspecified && d <= caps.DeviceWake) return true;
    }
    return false;
}

// The power manager's callback for the driver's own wait-wake request.
void WaitWakeFinished(DeviceObject*, std::uint8_t, std::uint32_t, void* context, NTSTATUS status) {
    auto& dev = *static_cast<Device*>(context);
    dev.power.waitWakeStatus.store(status);
    dev.power.waitWakeIssued.store(false);
    dev.power.waitWakeDone.Set();  // last touch of the device
}

// Cancels the wait-wake request passing through the device, unless its completion has taken it.
void CancelWaitWake(Device& dev) {
    PowerState& p = dev.power;
    Irp* irp = p.waitWakeIrp.exchange(nullptr);
    if (!irp) return;
    IoCancelIrp(irp);
    if (p.waitWakeCompletionRan.exchange(1) == 1) {
        // The completion ran and left the request to this side: it goes on up from here.
        p.waitWakeInUse.store(false);
        IoCompleteRequest(irp);
    }
}

// The wait-wake request completing at the device (at any level: the bus completes it from its
// interrupt). Whichever of this and a canceller comes second lets it go on up.
NTSTATUS OnWaitWakeComplete(DeviceObject* fdo, Irp* irp, void*) {
    PowerState& p = fdo->Extension<Device>().power;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    const NTSTATUS status = irp->IoStatus.Status;
    if (Irp* taken = p.waitWakeIrp.exchange(nullptr)) {
        VM_KASSERT(taken == irp);
    } else if (p.waitWakeCompletionRan.exchange(1) == 0) {
        return STATUS_MORE_PROCESSING_REQUIRED;  // a canceller holds it and completes it
    }
    p.waitWakeInUse.store(false);  // last touch of the device
    return status;
}

NTSTATUS WaitWakeAtDevice(Device& dev, Irp* irp) {
    PowerState& p = dev.power;
    PoStartNextPowerIrp(irp);
    bool free = false;
    if (!p.waitWakeInUse.compare_exchange_strong(free, true)) {
        return CompletePowerRequest(irp, STATUS_DEVICE_BUSY);  // one at a time, as the bus
    }
    p.waitWakeCompletionRan.store(0);
    p.waitWakeIrp.store(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &OnWaitWakeComplete, nullptr, true, true, true);
    return PoCallDriver(dev.usb.lower, irp);
}
}  // namespace

NTSTATUS ArmWake(Device& dev) {
    PowerState& p = dev.power;
    const DeviceCapabilities& caps = dev.capabilities;
    if (!CanWake(caps)) return STATUS_NOT_SUPPORTED;
    p.wakeArmed.store(true);
    if (p.waitWakeIssued.exchange(true)) return STATUS_SUCCESS;  // one is outstanding
    p.waitWakeDone.Clear();
    p.waitWakeStatus.store(STATUS_PENDING);
    const NTSTATUS sent =
        PoRequestPowerIrp(dev.pdo, IRP_MN_WAIT_WAKE, caps.SystemWake, &WaitWakeFinished, &dev);
    if (sent != STATUS_PENDING) {
        p.waitWakeIssued.store(false);
        p.waitWakeDone.Set();
        p.wakeArmed.store(false);
        return sent;
    }
    // A bus that cannot wake the system from there refuses the request at once: not armed.
    const NTSTATUS refused = p.waitWakeStatus.load();
    if (!p.waitWakeIssued.load() && refused != STATUS_PENDING && !NT_SUCCESS(refused) &&
        refused != STATUS_CANCELLED) {
        p.wakeArmed.store(false);
        return refused;
    }
    return STATUS_SUCCESS;
}

void DisarmWake(Device& dev) {
    dev.power.wakeArmed.store(false);
    CancelWaitWake(dev);
}

void StopWaitWake(Device& dev) {
    DisarmWake(dev);
    // Its completion may be running on another thread: the device stays until it is done.
    while (dev.power.waitWakeInUse.load()) std::this_thread::yield();
    dev.kernel.Wait(dev.power.waitWakeDone);
}

bool WaitWakeOutstanding(Device& dev) {
    return dev.power.waitWakeInUse.load() || dev.power.waitWakeIssued.load();
}

bool AllocatePowerWork(Device& dev) {
    if (!dev.power.work) dev.power.work = IoAllocateWorkItem(dev.kernel);
    if (!dev.power.restoreWork) dev.power.restoreWork = IoAllocateWorkItem(dev.kernel);
    return dev.power.work && dev.power.restoreWork;
}

void FreePowerWork(Device& dev) {
    for (KWorkItem** item : {&dev.power.work, &dev.power.restoreWork}) {
        if (*item) {
            IoFreeWorkItem(*item);
            *item = nullptr;
        }
    }
}

// --- Power requests -----------------------------------------------------------------------------

namespace {
// The chip restored after a D0 someone else asked for (passive level, on the worker).
void RestoreAfterD0(void*, void* context) {
    auto& dev = *static_cast<Device*>(context);
    {
        // Requests that need the chip wait for this restore (BringToD0).
        const KMutexGuard one(dev.power.deviceRequests);
        if (dev.pnpState.load() == PnpState::Started && dev.power.needsRestore.exchange(false) &&
            !NT_SUCCESS(RestoreAfterPowerUp(dev))) {
            dev.power.needsRestore.store(true);  // tried again at the next bring to D0
        }
    }
    dev.power.restoreQueued.store(false);
    dev.usb.ioCount.Decrement();
}

NTSTATUS OnDeviceD0(DeviceObject* fdo, Irp* irp, void*) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    PoStartNextPowerIrp(irp);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        Device& dev = fdo->Extension<Device>();
        PoSetPowerState(dev.devicePowerState, PowerDeviceD0);
        // Power is back but the chip lost what it was told: unless the driver asked for this
        // D0 itself (and restores next), the chip is restored before data moves again.
        if (dev.power.ownD0.load() == 0 && dev.power.needsRestore.load() && dev.power.restoreWork &&
            dev.pnpState.load() == PnpState::Started && !dev.power.restoreQueued.exchange(true)) {
            dev.usb.ioCount.Increment();
            IoQueueWorkItem(dev.power.restoreWork, &RestoreAfterD0, fdo, &dev);
        }
    }
    return irp->IoStatus.Status;
}

// The return to S0 at passive level: D0 requested, the chip restored, the system request
// released and done.
void FinishSystemWake(void*, void* context) {
    auto& dev = *static_cast<Device*>(context);
    Irp* irp = dev.power.heldSystemIrp;
    dev.power.heldSystemIrp = nullptr;
    {
        const KMutexGuard one(dev.power.deviceRequests);
        dev.power.ownD0.fetch_add(1);
        const NTSTATUS powered = RequestDevicePowerAndWait(dev.pdo, PowerDeviceD0);
        dev.power.ownD0.fetch_sub(1);
        if (NT_SUCCESS(powered) && dev.pnpState.load() == PnpState::Started) {
            if (dev.power.needsRestore.exchange(false) && !NT_SUCCESS(RestoreAfterPowerUp(dev))) {
                dev.power.needsRestore.store(true);  // tried again at the next bring to D0
            }
        }
    }
    dev.usb.ioCount.Decrement();
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp);
}

NTSTATUS OnSystemWake(DeviceObject* fdo, Irp* irp, void*) {
    Device& dev = fdo->Extension<Device>();
    if (!NT_SUCCESS(irp->IoStatus.Status) || !dev.power.work) {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        PoStartNextPowerIrp(irp);
        dev.usb.ioCount.Decrement();
        return irp->IoStatus.Status;
    }
    // Completions may run at dispatch level: the device request and the chip's requests wait,
    // so they run on the kernel's worker.
    dev.power.heldSystemIrp = irp;
    IoQueueWorkItem(dev.power.work, &FinishSystemWake, fdo, &dev);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SetDevicePower(Device& dev, Irp* irp, std::uint32_t state) {
    if (state == PowerDeviceD0) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &OnDeviceD0, nullptr, true, true, true);
        return PoCallDriver(dev.usb.lower, irp);
    }
    // The chip loses what it was told while unpowered.
    dev.power.needsRestore.store(true);
    PoSetPowerState(dev.devicePowerState, state);
    return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
}

NTSTATUS SetSystemPower(Device& dev, Irp* irp, std::uint32_t systemState) {
    const std::uint32_t target = systemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (!OwnsPowerPolicy(dev) || target == dev.devicePowerState.load() ||
        dev.pnpState.load() != PnpState::Started) {
        return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
    }
    if (target != PowerDeviceD0) {
        // Down: the device first, then the system request (which is never failed for it).
        {
            const KMutexGuard one(dev.power.deviceRequests);
            RequestDevicePowerAndWait(dev.pdo, target);
        }
        return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
    }
    AllocatePowerWork(dev);
    // Up: the system request first (the parent powers up), the device from its completion. The
    // system request is released when its restore is done.
    dev.usb.ioCount.Increment();
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &OnSystemWake, nullptr, true, true, true);
    PoCallDriver(dev.usb.lower, irp);
    return STATUS_PENDING;
}
}  // namespace

NTSTATUS Power2kDispatch(Device& dev, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    const std::uint32_t state = location->Parameters.Power.State;
    const bool device = location->Parameters.Power.Type == PowerStateType::DevicePowerState;
    switch (location->MinorFunction) {
        case IRP_MN_SET_POWER:
            if (device) {
                if (state < PowerDeviceD0 || state > PowerDeviceD3) {
                    return CompletePowerRequest(irp, STATUS_INVALID_PARAMETER);
                }
                return SetDevicePower(dev, irp, state);
            }
            if (state < PowerSystemWorking || state > PowerSystemShutdown) {
                return CompletePowerRequest(irp, STATUS_INVALID_PARAMETER);
            }
            return SetSystemPower(dev, irp, state);
        case IRP_MN_QUERY_POWER:
            // Armed for wake, or with a wait-wake request outstanding, the device may not go
            // deeper than it can wake from.
            if (device && (dev.power.wakeArmed.load() || WaitWakeOutstanding(dev)) &&
                dev.capabilities.DeviceWake != PowerDeviceUnspecified &&
                state > dev.capabilities.DeviceWake) {
                return CompletePowerRequest(irp, STATUS_INVALID_DEVICE_STATE);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
        case IRP_MN_WAIT_WAKE:
            return WaitWakeAtDevice(dev, irp);
        default:
            // Passed down; a restore that is due waits for the next bring to D0, not here.
            return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
    }
}

// --- WMI ----------------------------------------------------------------------------------------

namespace {
SerialWmiPort PortView(Device& dev) {
    SerialWmiPort port;
    port.portName = dev.portName;
    {
        SpinLockGuard control(dev.usb.controlLock);
        port.baudRate = dev.usb.chip.currentRate;
        const LineControl lc = DecodeLineControl(dev.usb.chip.lineControl);
        port.bitsPerByte = lc.wordLength;
        port.parity = lc.parity;
        port.stopBits = lc.stopBits;
    }
    SpinLockGuard rx(dev.serial.receiveLock);
    port.xonChar = dev.serial.chars.XonChar;
    port.xoffChar = dev.serial.chars.XoffChar;
    port.xonLimit = static_cast<std::uint32_t>(dev.serial.flow.handflow.XonLimit);
    port.xoffLimit = static_cast<std::uint32_t>(dev.serial.flow.handflow.XoffLimit);
    const SerialStatistics& st = dev.serial.stats;
    port.counters = {st.ReceivedCount,           st.TransmittedCount,        st.FrameErrorCount,
                     st.SerialOverrunErrorCount, st.BufferOverrunErrorCount, st.ParityErrorCount};
    port.receiveBufferSize = dev.receiveSize;
    return port;
}

NTSTATUS RegInfo(DeviceObject* fdo, std::uint32_t* flags, std::string* registryPath,
                 DeviceObject** pdo) {
    Device& dev = fdo->Extension<Device>();
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *registryPath = fdo->Driver->RegistryPath;
    *pdo = dev.pdo;
    return STATUS_SUCCESS;
}

NTSTATUS Query(DeviceObject* fdo, std::uint32_t index, std::uint32_t,
               std::span<std::uint8_t> buffer, std::uint32_t* bytes) {
    return SerialWmiQuery(index, PortView(fdo->Extension<Device>()), buffer, bytes);
}

NTSTATUS Set(DeviceObject*, std::uint32_t index, std::uint32_t, std::span<const std::uint8_t>) {
    return SerialWmiSet(index);
}

const WmiLibInfo kWmiInfo{serial_wmi::kGuids, &RegInfo, &Query, &Set};
}  // namespace

// Counted as every request is, so that a removal waits for it before the port's name and
// state it reads go away.
NTSTATUS Wmi2kDispatch(Device& dev, Irp* irp) {
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    WmiDisposition disposition;
    NTSTATUS status = WmiSystemControl(kWmiInfo, dev.fdo, irp, &disposition);
    switch (disposition) {
        case WmiDisposition::Completed:
            break;
        case WmiDisposition::NotCompleted:
            IoCompleteRequest(irp);
            break;
        case WmiDisposition::NotWmiIrp:
        default:
            status = PassDown(dev.usb.lower, irp);
            break;
    }
    dev.usb.ioCount.Decrement();
    return status;
}

void Wmi2kRegister(Device& dev) {
    if (dev.wmiRegistered) return;
    IoWMIRegistrationControl(dev.fdo, WmiRegistrationAction::Register);
    dev.wmiRegistered = true;
}

void Wmi2kDeregister(Device& dev) {
    if (!dev.wmiRegistered) return;
    IoWMIRegistrationControl(dev.fdo, WmiRegistrationAction::Deregister);
    dev.wmiRegistered = false;
}

}  // namespace vm::drv::usbser2k
