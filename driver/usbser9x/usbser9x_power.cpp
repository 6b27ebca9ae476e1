// usbser9x's power requests: device states recorded as they change, system states mapped to D0
// (working) and D3 (everything else), and after a return to the working state the chip put back
// as the port driver had set it.
#include <algorithm>

#include "driver/core/lifecycle.h"
#include "driver/platform/power.h"
#include "driver/usbser9x/usbser9x.h"

namespace vm::drv::usbser9x {

void RestoreAfterPowerUp(Device& dev) {
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    UsbDevice& usb = dev.usb;
    ChipState kept;
    {
        SpinLockGuard lock(usb.controlLock);
        kept = usb.chip;
    }
    USB2SER_RestoreState(usb);
    if (!USB2SER_IsEEPROM3A71(usb)) USB2SER_InitHW(usb);
    if (usb.ChipAtLeast(2)) USB2SER_SetFlowThreshold(usb, usb.policy.flowThresholdAfterStart);
    // The chip comes back with its lines down; they go as they were.
    USB2SER_SendCtrlState(usb, kept.lineState);
    if (kept.ctsHandshake) USB2SER_SetCTSState(usb, true);
    if (kept.dsrHandshake) USB2SER_SetDSRState(usb, true);
    if (kept.ctsDsrHandshake) USB2SER_SetCTSDSRState(usb, true);
    if (kept.chipXonXoff) USB2SER_SetXonXoffState(usb, true);
    if (dev.portOpen.load() && !usb.removing.load()) StartStandingTransfers(dev);
}

namespace {
std::uint32_t DeviceStateFor(std::uint32_t systemState) {
    return systemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

NTSTATUS OnCompleteIncreaseDevicePower(DeviceObject* fdo, Irp* irp, void*) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    PoStartNextPowerIrp(irp);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        Device& dev = fdo->Extension<Device>();
        PoSetPowerState(dev.devicePowerState,
                        IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State);
    }
    return irp->IoStatus.Status;
}

// The return to S0, at passive level on the kernel's worker: D0 requested, the chip restored,
// then the held system request completes.
void FinishIncreaseSystemPower(void*, void* context) {
    auto& dev = *static_cast<Device*>(context);
    Irp* irp = dev.heldSystemIrp;
    dev.heldSystemIrp = nullptr;
    const NTSTATUS status = RequestDevicePowerAndWait(dev.pdo, PowerDeviceD0);
    if (NT_SUCCESS(status)) RestoreAfterPowerUp(dev);
    // The system comes back either way; the device stays where it was if it could not.
    dev.usb.ioCount.Decrement();
    dev.powerIdle.Set();
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp);
}

NTSTATUS OnCompleteIncreaseSystemPower(DeviceObject* fdo, Irp* irp, void*) {
    Device& dev = fdo->Extension<Device>();
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        PoStartNextPowerIrp(irp);
        dev.usb.ioCount.Decrement();
        dev.powerIdle.Set();
        return irp->IoStatus.Status;
    }
    // May run at dispatch level: nothing that waits happens here.
    dev.heldSystemIrp = irp;
    IoQueueWorkItem(dev.powerWork, &FinishIncreaseSystemPower, fdo, &dev);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SetDevicePower(Device& dev, Irp* irp, std::uint32_t state) {
    if (!HigherPower(state, dev.devicePowerState.load())) {
        if (state != dev.devicePowerState.load()) PoSetPowerState(dev.devicePowerState, state);
        return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &OnCompleteIncreaseDevicePower, nullptr, true, true, true);
    return PoCallDriver(dev.usb.lower, irp);
}

NTSTATUS SetSystemPower(Device& dev, Irp* irp, std::uint32_t systemState) {
    const std::uint32_t target = DeviceStateFor(systemState);
    // One system transition at a time: a new one waits for the restore of the last.
    dev.kernel.Wait(dev.powerIdle);
    if (!HigherPower(target, dev.devicePowerState.load())) {
        if (target != dev.devicePowerState.load()) {
            // A failed device request is noted, but a system request is never failed for it:
            // that would stop the whole system's sleep.
            RequestDevicePowerAndWait(dev.pdo, target);
        }
        return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
    }
    if (!dev.powerWork) {  // never started
        return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
    }
    dev.powerIdle.Clear();
    dev.usb.ioCount.Increment();  // removal waits for the restore
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &OnCompleteIncreaseSystemPower, nullptr, true, true, true);
    PoCallDriver(dev.usb.lower, irp);
    return STATUS_PENDING;
}
}  // namespace

NTSTATUS USB2SER_ProcessPowerIrp(DeviceObject* fdo, Irp* irp) {
    Device& dev = fdo->Extension<Device>();
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    if (location->MinorFunction != IRP_MN_SET_POWER) {
        // Wait-wake, power sequence, queries: the bus answers. (The device node stays: the port
        // driver may have it open, and removal deletes it.)
        return USB2SER_PassDownToNextPowerDriver(dev.usb.lower, irp);
    }
    const std::uint32_t state = location->Parameters.Power.State;
    if (location->Parameters.Power.Type == PowerStateType::DevicePowerState) {
        if (state < PowerDeviceD0 || state > PowerDeviceD3) {
            return CompletePowerRequest(irp, STATUS_INVALID_PARAMETER);
        }
        return SetDevicePower(dev, irp, state);
    }
    if (state < PowerSystemWorking || state > PowerSystemShutdown) {
        return CompletePowerRequest(irp, STATUS_INVALID_PARAMETER);
    }
    return SetSystemPower(dev, irp, state);
}

}  // namespace vm::drv::usbser9x
