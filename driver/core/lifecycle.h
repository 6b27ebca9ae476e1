// Device lifecycle pieces both drivers share: classifying the bridge chip from its descriptors,
// the port's own hardware identifier added to the bus's list, the port name from the registry,
// and draining a device's request counts before anything they use is freed.
#pragma once

#include <optional>
#include <string>

#include "driver/core/usb_transport.h"
#include "driver/platform/io.h"

namespace vm::drv {

// The variant the device descriptor's class (byte 4) and control packet size (byte 7) give,
// before the string descriptors refine variant 2; none when no rule matches.
std::optional<std::int32_t> ChipVariantFromDescriptor(DriverKind kind, std::uint8_t deviceClass,
                                                      std::uint8_t maxPacketSize0);

// Reads the 18-byte device descriptor into the device (with the vendor and product
// identifiers) and classifies the chip: variant 2 becomes 3 when character 22 of string 2 is
// "C", and (usbser2k) 4 when character 24 of string 1 is a space. A string that cannot be read,
// or comes back too short to hold the character, refines nothing. A descriptor that cannot be
// read fails; one that matches no rule gives STATUS_DEVICE_CONFIGURATION_ERROR.
NTSTATUS ReadAndClassifyChip(UsbDevice& dev);

// IRP_MN_QUERY_ID for BusQueryHardwareIDs, once the lower drivers have answered it: appends
// "*PNP0502" (MultiportDevice non-zero in the device's hardware key) or "*PNP0501" to the list
// they returned (or makes a list of that one identifier). The old list is freed and the new one
// stored in the request; a failure from below is left as it is. No memory: the old list is
// freed, Information 0, STATUS_INSUFFICIENT_RESOURCES.
inline constexpr std::size_t kMaxIdListChars = 4096;
void AppendPortHardwareId(Kernel& kernel, Irp* irp, const std::string& hardwareKey,
                          std::uint32_t poolTag);

// The device's port name: "PortName", else "Identifier", from its hardware key. Only a
// REG_SZ value that ends in a NUL within 256 bytes and is not empty counts.
std::optional<std::string> ReadPortName(const Registry& registry, const std::string& key);

// Passes a plug-and-play or power request down and waits for the lower drivers to complete it;
// the request is then the caller's to complete. Returns the lower status.
NTSTATUS ForwardAndWait(DeviceObject* lower, Irp* irp);
// Completes a request with a status and no information; returns the status.
NTSTATUS CompleteRequest(Irp* irp, NTSTATUS status, std::uintptr_t information = 0);
// Passes a request down unchanged (the lower driver completes it).
NTSTATUS PassDown(DeviceObject* lower, Irp* irp);

// The last step of IRP_MN_REMOVE_DEVICE, once nothing of the device is in use: the request goes
// down (the lower device saved first), then the device detaches and is deleted.
NTSTATUS PassDownDetachAndDelete(DeviceObject* fdo, DeviceObject* lower, Irp* irp);
// IRP_MN_QUERY_ID: hardware identifiers get the port's own one appended (above); other
// identifier types go down unchanged.
NTSTATUS AnswerQueryId(DeviceObject* lower, DeviceObject* pdo, Irp* irp, std::uint32_t poolTag);
// IRP_MN_START_DEVICE: the lower drivers start first; then `start` runs and the request
// completes with the first failure.
template <class Start>
NTSTATUS AnswerStart(DeviceObject* lower, Irp* irp, Start&& start) {
    NTSTATUS status = ForwardAndWait(lower, irp);
    if (NT_SUCCESS(status)) status = start();
    return CompleteRequest(irp, status);
}

// Cancels the standing transfers and waits until no asynchronous pipe or control transfer of
// the device is in flight (passive level). After it, nothing a completion uses is touched by a
// completion any more.
void CancelAndDrainTransfers(UsbDevice& dev);

}  // namespace vm::drv
