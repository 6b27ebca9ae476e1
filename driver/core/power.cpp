#include "driver/core/power.h"

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
    next->Parameters.Power.Type = PowerStateType::DevicePowerState;
    next->Parameters.Power.State = state;
    IoSetCompletionRoutine(irp, &PowerRequestDone, request, true, true, true);
    IoCallDriver(top, irp);
    return STATUS_PENDING;
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
