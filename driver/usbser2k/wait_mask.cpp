// Wait on mask: the events recorded and the one pending wait.
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

NTSTATUS WaitOnMask(Device& dev, Irp* irp, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    std::uint32_t events = 0;
    {
        CancelLock lock(dev.kernel);
        if (s.waitMask == 0 || s.pendingWait) {
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        } else if (s.history & s.waitMask) {
            events = s.history;
            s.history = 0;
            irp->IoStatus.Status = STATUS_SUCCESS;
        } else if (irp->Cancel.load()) {
            irp->IoStatus.Status = STATUS_CANCELLED;
        } else if (Gone(dev)) {
            irp->IoStatus.Status = STATUS_DELETE_PENDING;
        } else {
            IoMarkIrpPending(irp);
            irp->DriverContext[3] = &dev;
            IoSetCancelRoutine(irp, &CancelWait);
            s.pendingWait = irp;
            return STATUS_PENDING;
        }
    }
    if (irp->IoStatus.Status == STATUS_SUCCESS) {
        std::memcpy(irp->SystemBuffer, &events, 4);
        info = 4;
    }
    return irp->IoStatus.Status;
}

NTSTATUS SetWaitMask(Device& dev, std::uint32_t mask) {
    SerialState& s = dev.serial;
    Irp* old = nullptr;
    {
        CancelLock lock(dev.kernel);
        if (s.pendingWait && IoSetCancelRoutine(s.pendingWait, nullptr)) {
            old = s.pendingWait;
            s.pendingWait = nullptr;
        }
        s.history &= mask;
        s.waitMask = mask;
    }
    if (old) {
        const std::uint32_t zero = 0;
        std::memcpy(old->SystemBuffer, &zero, 4);
        CompleteNow(dev, old, STATUS_SUCCESS, 4);
    }
    return STATUS_SUCCESS;
}

}  // namespace vm::drv::usbser2k
