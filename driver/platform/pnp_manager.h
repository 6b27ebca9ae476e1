// A plug-and-play manager for tests: calls a driver's AddDevice for a physical device and sends
// it the plug-and-play requests the system would, at passive level, to the top of the device's
// stack, waiting for each. It checks what the system relies on: every request completes exactly
// once, and a dispatch routine that did not return STATUS_PENDING returned the status it
// completed with.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver/platform/io.h"

namespace vm::drv {

class PnpManager {
public:
    explicit PnpManager(Kernel& kernel) : kernel_(kernel) {}

    NTSTATUS AddDevice(DriverObject& driver, DeviceObject* pdo);

    struct Result {
        NTSTATUS status = STATUS_SUCCESS;
        std::uintptr_t information = 0;
    };
    // Sends IRP_MJ_PNP with the minor function; `setup` fills the request's parameters. The
    // request starts with STATUS_NOT_SUPPORTED, as the system sends it.
    Result Send(DeviceObject* pdo, std::uint8_t minor,
                const std::function<void(IoStackLocation&)>& setup = {});

    NTSTATUS Start(DeviceObject* pdo) { return Send(pdo, IRP_MN_START_DEVICE).status; }
    NTSTATUS QueryRemove(DeviceObject* pdo) { return Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE).status; }
    NTSTATUS CancelRemove(DeviceObject* pdo) {
        return Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE).status;
    }
    NTSTATUS Remove(DeviceObject* pdo) { return Send(pdo, IRP_MN_REMOVE_DEVICE).status; }
    NTSTATUS QueryStop(DeviceObject* pdo) { return Send(pdo, IRP_MN_QUERY_STOP_DEVICE).status; }
    NTSTATUS Stop(DeviceObject* pdo) { return Send(pdo, IRP_MN_STOP_DEVICE).status; }
    NTSTATUS SurpriseRemoval(DeviceObject* pdo) {
        return Send(pdo, IRP_MN_SURPRISE_REMOVAL).status;
    }
    // The identifier list of the type; frees what the driver returned.
    NTSTATUS QueryId(DeviceObject* pdo, BusQueryIdType type, std::vector<std::string>* ids);
    NTSTATUS QueryCapabilities(DeviceObject* pdo, DeviceCapabilities* caps);
    NTSTATUS QueryPnpDeviceState(DeviceObject* pdo, std::uint32_t* state);
    NTSTATUS QueryDeviceRelations(DeviceObject* pdo, DeviceRelationType type);

    // Sends IRP_MJ_POWER with the minor function for a system or a device state, as the power
    // manager would (with PoCallDriver), and waits for it (a driver may complete it later, from
    // another thread). For IRP_MN_WAIT_WAKE the state is the system state to wake from.
    Result SendPower(DeviceObject* pdo, std::uint8_t minor, PowerStateType type,
                     std::uint32_t state);
    NTSTATUS SetSystemPower(DeviceObject* pdo, std::uint32_t systemState) {
        return SendPower(pdo, IRP_MN_SET_POWER, PowerStateType::SystemPowerState, systemState)
            .status;
    }

private:
    Kernel& kernel_;
};

}  // namespace vm::drv
