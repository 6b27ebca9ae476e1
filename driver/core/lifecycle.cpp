#include "driver/core/lifecycle.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vm::drv {

std::optional<std::int32_t> ChipVariantFromDescriptor(DriverKind kind, std::uint8_t deviceClass,
                                                      std::uint8_t maxPacketSize0) {
    if (deviceClass == 0x02) return 0;
    if (kind == DriverKind::Usbser9x) {
        if (deviceClass == 0xFF) return 1;
        if (maxPacketSize0 == 64) return 2;
        return std::nullopt;
    }
    if (maxPacketSize0 == 64) return 2;
    if (deviceClass == 0x00 || deviceClass == 0xFF) return 1;
    return std::nullopt;
}

namespace {
// The low byte of character k of string descriptor `index`, read with a 64-byte buffer; none
// when it cannot be read or does not reach character k.
std::optional<std::uint8_t> StringCharacter(UsbDevice& dev, std::uint8_t index, std::size_t k) {
    std::array<std::uint8_t, 64> buffer{};
    buffer[0] = index;
    std::uint32_t bytes = 0;
    if (!NT_SUCCESS(USB2SER_GetStringDescriptor(dev, buffer, bytes))) return std::nullopt;
    const std::size_t offset = 2 + 2 * k;
    if (bytes < offset + 2 || buffer[0] < offset + 2 || buffer[1] != USB_STRING_DESCRIPTOR_TYPE) {
        return std::nullopt;
    }
    return buffer[offset];
}
}  // namespace

NTSTATUS ReadAndClassifyChip(UsbDevice& dev) {
    std::array<std::uint8_t, 18> descriptor{};
    std::uint32_t bytes = 0;
    NTSTATUS status = USB2SER_GetDeviceDescriptor(dev, descriptor, bytes);
    if (!NT_SUCCESS(status)) return status;
    if (bytes != 18 || descriptor[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    dev.deviceDescriptor = descriptor;
    dev.vendorId = static_cast<std::uint16_t>(descriptor[8] | descriptor[9] << 8);
    dev.productId = static_cast<std::uint16_t>(descriptor[10] | descriptor[11] << 8);
    const std::optional<std::int32_t> variant =
        ChipVariantFromDescriptor(dev.policy.kind, descriptor[4], descriptor[7]);
    if (!variant) return STATUS_DEVICE_CONFIGURATION_ERROR;
    std::int32_t refined = *variant;
    if (refined == 2) {
        if (StringCharacter(dev, 2, 22) == 'C') refined = 3;
        if (dev.policy.maxChipVariant >= 4 && StringCharacter(dev, 1, 24) == ' ') refined = 4;
    }
    dev.chipVariant = refined;
    return STATUS_SUCCESS;
}

void AppendPortHardwareId(Kernel& kernel, Irp* irp, const std::string& hardwareKey,
                          std::uint32_t poolTag) {
    // A failure from below stands; "not supported" means nobody below answered, and the list is
    // then this driver's alone.
    if (!NT_SUCCESS(irp->IoStatus.Status) && irp->IoStatus.Status != STATUS_NOT_SUPPORTED) return;
    const std::optional<std::uint32_t> multiport =
        kernel.registry().QueryDword(hardwareKey, "MultiportDevice");
    const char* id = multiport.value_or(0) != 0 ? "*PNP0502" : "*PNP0501";
    auto* old = NT_SUCCESS(irp->IoStatus.Status)
                    ? reinterpret_cast<char16_t*>(irp->IoStatus.Information)
                    : nullptr;
    // Old length (both final NULs counted once) + the identifier and its NUL.
    std::size_t oldChars = old ? MultiSzChars(old, kMaxIdListChars) : 0;
    if (old && oldChars == 0) oldChars = 1;  // unterminated within the bound: not trusted
    const std::size_t keep = oldChars > 1 ? oldChars - 1 : 0;  // characters before the last NUL
    const std::size_t bytes = (keep + 1) * sizeof(char16_t) + 22;
    auto* list = static_cast<char16_t*>(kernel.pool().Allocate(bytes, poolTag));
    if (!list) {
        if (old) kernel.pool().Free(old);
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    std::memset(list, 0, bytes);
    if (keep) std::memcpy(list, old, keep * sizeof(char16_t));
    for (std::size_t i = 0; id[i]; ++i) list[keep + i] = static_cast<char16_t>(id[i]);
    if (old) kernel.pool().Free(old);
    irp->IoStatus.Information = reinterpret_cast<std::uintptr_t>(list);
    irp->IoStatus.Status = STATUS_SUCCESS;
}

std::optional<std::string> ReadPortName(const Registry& registry, const std::string& key) {
    for (const char* name : {"PortName", "Identifier"}) {
        const std::optional<RegValue> value = registry.QueryValue(key, name);
        if (!value || value->type != RegType::Sz) continue;
        const std::size_t limit = std::min<std::size_t>(value->data.size(), 256);
        const auto nul = std::find(value->data.begin(), value->data.begin() + limit, 0);
        if (nul == value->data.begin() + limit || nul == value->data.begin()) continue;
        return std::string(value->data.begin(), nul);
    }
    return std::nullopt;
}

namespace {
NTSTATUS SignalDone(DeviceObject*, Irp*, void* context) {
    static_cast<KEvent*>(context)->Set();
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

NTSTATUS ForwardAndWait(DeviceObject* lower, Irp* irp) {
    KEvent done(lower->kernel());
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &SignalDone, &done, true, true, true);
    IoCallDriver(lower, irp);
    lower->kernel().Wait(done);
    return irp->IoStatus.Status;
}

NTSTATUS CompleteRequest(Irp* irp, NTSTATUS status, std::uintptr_t information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp);
    return status;
}

NTSTATUS PassDown(DeviceObject* lower, Irp* irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS PassDownDetachAndDelete(DeviceObject* fdo, DeviceObject* lower, Irp* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = PassDown(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    return status;
}

NTSTATUS AnswerQueryId(DeviceObject* lower, DeviceObject* pdo, Irp* irp, std::uint32_t poolTag) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType !=
        BusQueryIdType::HardwareIDs) {
        return PassDown(lower, irp);
    }
    ForwardAndWait(lower, irp);
    AppendPortHardwareId(lower->kernel(), irp, IoOpenDeviceRegistryKey(pdo), poolTag);
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp);
    return status;
}

void CancelAndDrainTransfers(UsbDevice& dev) {
    USB2SER_CancelAllIrps(dev);
    dev.kernel.Wait(dev.dataIoCount.ZeroEvent());
    dev.kernel.Wait(dev.controlIoCount.ZeroEvent());
}

}  // namespace vm::drv
