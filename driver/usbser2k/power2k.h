// usbser2k's power management and WMI: system and device power requests, the power policy
// ("SerialRelinquishPowerPolicy"), wake arming, bringing the device to D0 before requests that
// need the chip (restoring the chip when power was lost), and the port's WMI data blocks.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/platform/io.h"

namespace vm::drv::usbser2k {

class Device;

// What the power code keeps in the device extension.
struct PowerState {
    explicit PowerState(Kernel& kernel) : waitWakeDone(kernel, EventType::Notification, true) {}

    std::atomic<bool> needsRestore{false};  // power was lost since the chip was last set up
    std::atomic<bool> wakeArmed{false};
    KWorkItem* work = nullptr;     // finishes a return to S0 at passive level
    Irp* heldSystemIrp = nullptr;  // the S0 request while its restore runs
    // The driver's own device power requests (bring to D0, the device side of a system
    // transition) go one at a time, and so does every restore of the chip with them: a request
    // that needs the chip waits here for a restore another thread has begun, so that it neither
    // finds the chip half restored nor has its own change undone by the restore's later steps.
    KMutex deviceRequests;

    // The wait-wake request passing through this device, as a pipe slot keeps a transfer: the
    // packet (null once its completion or a canceller has taken it) and the completion-ran flag;
    // whichever of the two comes second lets the request go on up. `waitWakeInUse` is set from
    // its arrival until then.
    std::atomic<Irp*> waitWakeIrp{nullptr};
    std::atomic<std::int32_t> waitWakeCompletionRan{0};
    std::atomic<bool> waitWakeInUse{false};
    // The driver's own wait-wake request: from its issue until its completion callback ran
    // (the event is set then, as the callback's last touch of the device).
    std::atomic<bool> waitWakeIssued{false};
    std::atomic<NTSTATUS> waitWakeStatus{STATUS_SUCCESS};  // how the last one completed
    KEvent waitWakeDone;

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
// IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE: when a sleeping state maps to a device state the device
// can wake from, arms wake and sends a wait-wake request down the stack (unless one is
// outstanding); STATUS_NOT_SUPPORTED otherwise, or the status of a request the bus refused.
NTSTATUS ArmWake(Device& dev);
// IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE: disarms wake and cancels the outstanding wait-wake
// request, if any.
void DisarmWake(Device& dev);
// Removal: disarms, cancels the wait-wake request and waits until it has left the device.
void StopWaitWake(Device& dev);
// Whether a wait-wake request is outstanding at the device.
bool WaitWakeOutstanding(Device& dev);
// Whether the driver owns the power policy (the device key's "SerialRelinquishPowerPolicy" is
// absent or 0).
bool OwnsPowerPolicy(Device& dev);
// Allocates the power work items (start); false when one cannot be had.
bool AllocatePowerWork(Device& dev);
// Frees the power work items (removal).
void FreePowerWork(Device& dev);

}  // namespace vm::drv::usbser2k
