#include "driver/serial2k/power2k.h"

#include "driver/core/lifecycle.h"
#include "driver/core/power.h"
#include "driver/core/wmi.h"
#include "driver/serial2k/usbser2k.h"

namespace vm::drv::usbser2k {

bool OwnsPowerPolicy(Device& dev) {
    return dev.kernel.registry()
               .QueryDword(IoOpenDeviceRegistryKey(dev.pdo), "SerialRelinquishPowerPolicy")
               .value_or(0) == 0;
}

NTSTATUS BringToD0(Device& dev) {
    if (dev.devicePowerState.load() != PowerDeviceD0) {
        if (KeGetCurrentIrql() != Irql::Passive) return STATUS_INSUFFICIENT_POWER;
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

NTSTATUS ArmWake(Device& dev) {
    const DeviceCapabilities& caps = dev.capabilities;
    for (std::uint32_t s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
        const std::uint32_t d = caps.DeviceState[s];
        if (d != PowerDeviceUnspecified && caps.DeviceWake != PowerDeviceUnspecified &&
            d <= caps.DeviceWake) {
            dev.power.wakeArmed.store(true);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_SUPPORTED;
}

void DisarmWake(Device& dev) {
    dev.power.wakeArmed.store(false);
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

namespace {
// The chip restored after a D0 someone else asked for (passive level, on the worker).
void RestoreAfterD0(void*, void* context) {
    auto& dev = *static_cast<Device*>(context);
    if (dev.pnpState.load() == PnpState::Started && dev.power.needsRestore.exchange(false) &&
        !NT_SUCCESS(RestoreAfterPowerUp(dev))) {
        dev.power.needsRestore.store(true);  // tried again at the next bring to D0
    }
    dev.power.restoreQueued.store(false);
    dev.usb.ioCount.Decrement();
}

NTSTATUS OnDeviceD0(DeviceObject* fdo, Irp* irp, void*) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
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

// The return to S0 at passive level: D0 requested, the chip restored, the system request done.
void FinishSystemWake(void*, void* context) {
    auto& dev = *static_cast<Device*>(context);
    Irp* irp = dev.power.heldSystemIrp;
    dev.power.heldSystemIrp = nullptr;
    dev.power.ownD0.fetch_add(1);
    const NTSTATUS powered = RequestDevicePowerAndWait(dev.pdo, PowerDeviceD0);
    dev.power.ownD0.fetch_sub(1);
    if (NT_SUCCESS(powered) && dev.pnpState.load() == PnpState::Started) {
        if (dev.power.needsRestore.exchange(false) && !NT_SUCCESS(RestoreAfterPowerUp(dev))) {
            dev.power.needsRestore.store(true);  // tried again at the next bring to D0
        }
    }
    dev.usb.ioCount.Decrement();
    IoCompleteRequest(irp);
}

NTSTATUS OnSystemWake(DeviceObject* fdo, Irp* irp, void*) {
    Device& dev = fdo->Extension<Device>();
    if (!NT_SUCCESS(irp->IoStatus.Status) || !dev.power.work) {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
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
        return IoCallDriver(dev.usb.lower, irp);
    }
    // The chip loses what it was told while unpowered.
    dev.power.needsRestore.store(true);
    PoSetPowerState(dev.devicePowerState, state);
    return PassDown(dev.usb.lower, irp);
}

NTSTATUS SetSystemPower(Device& dev, Irp* irp, std::uint32_t systemState) {
    const std::uint32_t target = systemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (!OwnsPowerPolicy(dev) || target == dev.devicePowerState.load() ||
        dev.pnpState.load() != PnpState::Started) {
        return PassDown(dev.usb.lower, irp);
    }
    if (target != PowerDeviceD0) {
        // Down: the device first, then the system request (which is never failed for it).
        RequestDevicePowerAndWait(dev.pdo, target);
        return PassDown(dev.usb.lower, irp);
    }
    AllocatePowerWork(dev);
    // Up: the system request first (the parent powers up), the device from its completion.
    dev.usb.ioCount.Increment();
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &OnSystemWake, nullptr, true, true, true);
    IoCallDriver(dev.usb.lower, irp);
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
                    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
                }
                return SetDevicePower(dev, irp, state);
            }
            if (state < PowerSystemWorking || state > PowerSystemShutdown) {
                return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
            }
            return SetSystemPower(dev, irp, state);
        case IRP_MN_QUERY_POWER:
            // Armed for wake, the device may not go deeper than it can wake from.
            if (device && dev.power.wakeArmed.load() &&
                dev.capabilities.DeviceWake != PowerDeviceUnspecified &&
                state > dev.capabilities.DeviceWake) {
                return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(dev.usb.lower, irp);
        default:
            // Passed down; a restore that is due waits for the next bring to D0, not here.
            return PassDown(dev.usb.lower, irp);
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
        port.xonChar = dev.serial.chars.XonChar;
        port.xoffChar = dev.serial.chars.XoffChar;
    }
    SpinLockGuard rx(dev.receiveLock);
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

NTSTATUS Wmi2kDispatch(Device& dev, Irp* irp) {
    WmiDisposition disposition;
    const NTSTATUS status = WmiSystemControl(kWmiInfo, dev.fdo, irp, &disposition);
    switch (disposition) {
        case WmiDisposition::Completed:
            return status;
        case WmiDisposition::NotCompleted:
            IoCompleteRequest(irp);
            return status;
        case WmiDisposition::NotWmiIrp:
        default:
            return PassDown(dev.usb.lower, irp);
    }
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
