// Power services both drivers stand on: requesting a device power request for a device stack,
// recording a device's power state, and the small rules of power requests (mapping system states
// to device states, which of two device states draws more power).
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/platform/io.h"

namespace vm::drv {

// Called when a requested power request has completed, with the request's status; the request
// is freed after the call.
using PowerCompletion = void (*)(DeviceObject* device, std::uint8_t minor, std::uint32_t state,
                                 void* context, NTSTATUS status);

inline constexpr std::uint32_t kPowerIrpPoolTag = PoolTag("PoIr");

// PoRequestPowerIrp: sends a device power request (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER) for
// device state `state`, or a wait-wake request (IRP_MN_WAIT_WAKE) for waking the system from
// system state `state`, to the top of the stack that holds `pdo`. The request is the system's;
// `completion` runs when it completes. STATUS_PENDING once sent; STATUS_INSUFFICIENT_RESOURCES
// when it cannot be allocated (the completion does not run).
NTSTATUS PoRequestPowerIrp(DeviceObject* pdo, std::uint8_t minor, std::uint32_t state,
                           PowerCompletion completion, void* context);

// Power requests are serialised per device: at most one set-power or query-power request of each
// kind (system states, device states) is in progress at a device at a time. One starts at a
// device when it is passed there with PoCallDriver; the device's driver releases it with
// PoStartNextPowerIrp, once, while the request's current stack location is its own (in its
// dispatch routine before passing the request on or completing it, or in its completion
// routine). A second request of the kind reaching a device whose driver has not released the
// first is a bug check, as is releasing a request that is not the device's current one.
// Wait-wake and power-sequence requests are not serialised; releasing them does nothing.
NTSTATUS PoCallDriver(DeviceObject* device, Irp* irp);
void PoStartNextPowerIrp(Irp* irp);

// The common ends of a driver's power dispatch: release the request and pass it on to the device
// below (`USB2SER_PassDownToNextPowerDriver`), or release it and complete it with a status.
NTSTATUS USB2SER_PassDownToNextPowerDriver(DeviceObject* lower, Irp* irp);
NTSTATUS CompletePowerRequest(Irp* irp, NTSTATUS status);

// Requests a device power state and waits for it (passive level); returns the request's status.
NTSTATUS RequestDevicePowerAndWait(DeviceObject* pdo, std::uint32_t state);

// PoSetPowerState: records a device state; anything but D0 to D3 is a bug check.
void PoSetPowerState(std::atomic<std::uint32_t>& recorded, std::uint32_t state);

// Whether a device state draws more power than another (D0 the most).
constexpr bool HigherPower(std::uint32_t state, std::uint32_t than) {
    return state < than;
}

}  // namespace vm::drv
