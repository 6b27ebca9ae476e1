#include "driver/platform/pnp_manager.h"

#include "driver/platform/power.h"
#include "driver/platform/usb.h"

namespace vm::drv {

NTSTATUS PnpManager::AddDevice(DriverObject& driver, DeviceObject* pdo) {
    VM_KASSERT(driver.AddDevice != nullptr);
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    return driver.AddDevice(&driver, pdo);
}

PnpManager::Result PnpManager::Send(DeviceObject* pdo, std::uint8_t minor,
                                    const std::function<void(IoStackLocation&)>& setup) {
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    DeviceObject* top = IoGetAttachedDevice(pdo);
    Irp* irp = nullptr;
    {
        // The system's request, not the driver's: it does not take part in failure injection.
        const Pool::Suspend system(kernel_.pool());
        irp = IoAllocateIrp(kernel_, top->StackSize);
    }
    VM_KASSERT(irp != nullptr);
    KEvent done(kernel_);
    IoStatusBlock iosb{STATUS_PENDING, 0};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (setup) setup(*next);
    const NTSTATUS returned =
        next->MajorFunction == IRP_MJ_POWER ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
    kernel_.Wait(done);
    if (returned != STATUS_PENDING && returned != iosb.Status) {
        KeBugCheck("dispatch returned a status other than the one it completed with");
    }
    IoFreeIrp(irp);
    return {iosb.Status, iosb.Information};
}

PnpManager::Result PnpManager::SendPower(DeviceObject* pdo, std::uint8_t minor, PowerStateType type,
                                         std::uint32_t state) {
    return Send(pdo, minor, [&](IoStackLocation& s) {
        s.MajorFunction = IRP_MJ_POWER;
        s.Parameters.Power.Type = type;
        s.Parameters.Power.State = state;
        if (minor == IRP_MN_WAIT_WAKE) s.Parameters.WaitWake.PowerState = state;
    });
}

NTSTATUS PnpManager::QueryId(DeviceObject* pdo, BusQueryIdType type,
                             std::vector<std::string>* ids) {
    const Result r =
        Send(pdo, IRP_MN_QUERY_ID, [&](IoStackLocation& s) { s.Parameters.QueryId.IdType = type; });
    ids->clear();
    auto* list = reinterpret_cast<char16_t*>(r.information);
    if (list) {
        VM_KASSERT(kernel_.pool().IsOutstanding(list) || !NT_SUCCESS(r.status));
        *ids = ReadMultiSz(list, 4096);
        kernel_.pool().Free(list);
    }
    return r.status;
}

NTSTATUS PnpManager::QueryCapabilities(DeviceObject* pdo, DeviceCapabilities* caps) {
    return Send(pdo, IRP_MN_QUERY_CAPABILITIES,
                [&](IoStackLocation& s) { s.Parameters.DeviceCapabilities.Capabilities = caps; })
        .status;
}

NTSTATUS PnpManager::QueryPnpDeviceState(DeviceObject* pdo, std::uint32_t* state) {
    const Result r = Send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    *state = static_cast<std::uint32_t>(r.information);
    return r.status;
}

NTSTATUS PnpManager::QueryDeviceRelations(DeviceObject* pdo, DeviceRelationType type) {
    return Send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                [&](IoStackLocation& s) { s.Parameters.QueryDeviceRelations.Type = type; })
        .status;
}

}  // namespace vm::drv
