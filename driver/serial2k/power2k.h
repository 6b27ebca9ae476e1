// usbser2k's power management and WMI: system and device power requests, the power policy
// ("SerialRelinquishPowerPolicy"), wake arming, bringing the device to D0 before requests that
// need the chip (restoring the chip when power was lost), and the port's WMI data blocks.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/core/io.h"

namespace vm::drv::usbser2k {

class Device;

// What the power code keeps in the device extension.
struct PowerState {
    std::atomic<bool> needsRestore{false};  // power was lost since the chip was last set up
    std::atomic<bool> wakeArmed{false};
    KWorkItem* work = nullptr;     // finishes a return to S0 at passive level
    Irp* heldSystemIrp = nullptr;  // the S0 request while its restore runs
    // A D0 the driver did not ask for itself (another power policy owner's) restores the chip
    // on this item at passive level, before data moves again; the driver's own D0 requests
    // (counted in ownD0 while in flight) restore right after them.
    KWorkItem* restoreWork = nullptr;
    std::atomic<bool> restoreQueued{false};
    std::atomic<std::int32_t> ownD0{0};
};

// IRP_MJ_POWER.
NTSTATUS Power2kDispatch(Device& dev, Irp* irp);
// IRP_MJ_SYSTEM_CONTROL.
NTSTATUS Wmi2kDispatch(Device& dev, Irp* irp);
// Registration at start (once over restarts) and deregistration at removal (once).
void Wmi2kRegister(Device& dev);
void Wmi2kDeregister(Device& dev);
// Brings the device to D0 (waiting for the request) and restores the chip if power was lost.
NTSTATUS BringToD0(Device& dev);
// IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE / CANCEL_WAIT_WAKE.
NTSTATUS ArmWake(Device& dev);
void DisarmWake(Device& dev);
// Whether the driver owns the power policy (the device key's "SerialRelinquishPowerPolicy" is
// absent or 0).
bool OwnsPowerPolicy(Device& dev);
// Allocates the power work items (start); false when one cannot be had.
bool AllocatePowerWork(Device& dev);
// Frees the power work items (removal).
void FreePowerWork(Device& dev);

}  // namespace vm::drv::usbser2k
