// Power services both drivers stand on: requesting a device power request for a device stack,
// recording a device's power state, and the small rules of power requests (mapping system states
// to device states, which of two device states draws more power).
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/core/io.h"

namespace vm::drv {

// Called when a requested power request has completed, with the request's status; the request
// is freed after the call.
using PowerCompletion = void (*)(DeviceObject* device, std::uint8_t minor, std::uint32_t state,
                                 void* context, NTSTATUS status);

inline constexpr std::uint32_t kPowerIrpPoolTag = PoolTag("PoIr");

// PoRequestPowerIrp: sends a device power request (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER) for
// `state` to the top of the stack that holds `pdo`. The request is the system's; `completion`
// runs when it completes. STATUS_PENDING once sent; STATUS_INSUFFICIENT_RESOURCES when it cannot
// be allocated (the completion does not run).
NTSTATUS PoRequestPowerIrp(DeviceObject* pdo, std::uint8_t minor, std::uint32_t state,
                           PowerCompletion completion, void* context);

// Requests a device power state and waits for it (passive level); returns the request's status.
NTSTATUS RequestDevicePowerAndWait(DeviceObject* pdo, std::uint32_t state);

// PoSetPowerState: records a device state; anything but D0 to D3 is a bug check.
void PoSetPowerState(std::atomic<std::uint32_t>& recorded, std::uint32_t state);

// Whether a device state draws more power than another (D0 the most).
constexpr bool HigherPower(std::uint32_t state, std::uint32_t than) {
    return state < than;
}

}  // namespace vm::drv
