#include "driver/platform/power.h"

namespace vm::drv {

namespace {
struct PowerRequest {
    DeviceObject* pdo;
    std::uint8_t minor;
    std::uint32_t state;
    PowerCompletion completion;
    void* context;
};

NTSTATUS PowerRequestDone(DeviceObject*, Irp* irp, void* context) {
    auto* request = static_cast<PowerRequest*>(context);
    Kernel& kernel = irp->kernel();
    const NTSTATUS status = irp->IoStatus.Status;
    if (request->completion) {
        request->completion(request->pdo, request->minor, request->state, request->context, status);
    }
    IoFreeIrp(irp);
    {
        const Pool::Suspend system(kernel.pool());
        kernel.pool().Delete(request);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

NTSTATUS PoRequestPowerIrp(DeviceObject* pdo, std::uint8_t minor, std::uint32_t state,
                           PowerCompletion completion, void* context) {
    Kernel& kernel = pdo->kernel();
    DeviceObject* top = IoGetAttachedDevice(pdo);
    // The power manager's own request: one more stack location for its completion.
    Irp* irp = IoAllocateIrp(kernel, static_cast<std::int8_t>(top->StackSize + 1));
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PowerRequest* request = nullptr;
    {
        const Pool::Suspend system(kernel.pool());
        request = kernel.pool().New<PowerRequest>(
            kPowerIrpPoolTag, PowerRequest{pdo, minor, state, completion, context});
    }
    VM_KASSERT(request != nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(irp);
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = state;
    } else {
        next->Parameters.Power.Type = PowerStateType::DevicePowerState;
        next->Parameters.Power.State = state;
    }
    IoSetCompletionRoutine(irp, &PowerRequestDone, request, true, true, true);
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

namespace {
// The serialisation slot a request takes at a device; null for requests that are not serialised.
std::atomic<Irp*>* PowerSlot(DeviceObject* device, const IoStackLocation& location) {
    if (location.MajorFunction != IRP_MJ_POWER) return nullptr;
    if (location.MinorFunction != IRP_MN_SET_POWER &&
        location.MinorFunction != IRP_MN_QUERY_POWER) {
        return nullptr;
    }
    const bool deviceState = location.Parameters.Power.Type == PowerStateType::DevicePowerState;
    return &device->activePowerIrp[deviceState ? 1 : 0];
}
}  // namespace

NTSTATUS PoCallDriver(DeviceObject* device, Irp* irp) {
    if (std::atomic<Irp*>* slot = PowerSlot(device, *IoGetNextIrpStackLocation(irp))) {
        Irp* expected = nullptr;
        if (!slot->compare_exchange_strong(expected, irp)) {
            KeBugCheck(
                "a second power request started at a device before the first was released "
                "with PoStartNextPowerIrp");
        }
    }
    return detail::CallDriver(device, irp);
}

void PoStartNextPowerIrp(Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    VM_KASSERT(location->Device != nullptr);
    if (std::atomic<Irp*>* slot = PowerSlot(location->Device, *location)) {
        Irp* expected = irp;
        if (!slot->compare_exchange_strong(expected, nullptr)) {
            KeBugCheck(
                "PoStartNextPowerIrp for a power request that is not the one in progress at "
                "the device (released twice, or at the wrong stack location)");
        }
    }
}

NTSTATUS USB2SER_PassDownToNextPowerDriver(DeviceObject* lower, Irp* irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

NTSTATUS CompletePowerRequest(Irp* irp, NTSTATUS status) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp);
    return status;
}

namespace {
struct Waiter {
    KEvent done;
    NTSTATUS status = STATUS_PENDING;
};

void WakeWaiter(DeviceObject*, std::uint8_t, std::uint32_t, void* context, NTSTATUS status) {
    auto* waiter = static_cast<Waiter*>(context);
    waiter->status = status;
    waiter->done.Set();
}
}  // namespace

NTSTATUS RequestDevicePowerAndWait(DeviceObject* pdo, std::uint32_t state) {
    Waiter waiter{KEvent(pdo->kernel())};
    const NTSTATUS sent = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, state, &WakeWaiter, &waiter);
    if (sent != STATUS_PENDING) return sent;
    pdo->kernel().Wait(waiter.done);
    return waiter.status;
}

void PoSetPowerState(std::atomic<std::uint32_t>& recorded, std::uint32_t state) {
    VM_KASSERT(state >= PowerDeviceD0 && state <= PowerDeviceD3);
    recorded.store(state);
}

}  // namespace vm::drv
