#include "driver/core/usb_transport.h"

#include <algorithm>
#include <cstring>

namespace vm::drv {

const DriverPolicy kUsbser2kPolicy{
    .kind = DriverKind::Usbser2k,
    .name = "usbser2k",
    .poolTag = PoolTag("COMX"),
    .syncTimeout = 3 * kSecond,
    .maxChipVariant = 4,
    .resetPipeSendsRequest = false,
    .dataBufferAtLeastOneByte = true,
    .dataIoIdleLevel = 0,
    .extendedRegisterCodes = true,
    .eepromStatusCodeReads = false,
    .clearFeatureCode = false,
    .initStoresShadow = true,
    .validateLineControl = true,
    .skipUnchangedRate = true,
    .asyncLinesAbovePassive = false,
    .asyncBreak = false,
    .rateSettleWait = 50 * kMillisecond,
    .rateWaitOnlyWhenChanged = false,
    .setsTransmitChunk = true,
    .flowThresholdAfterStart = 2,
};

const DriverPolicy kUsbser9xPolicy{
    .kind = DriverKind::Usbser9x,
    .name = "usbser9x",
    .poolTag = PoolTag("Wdm "),
    .syncTimeout = 5 * kSecond,
    .maxChipVariant = 3,
    .resetPipeSendsRequest = true,
    .dataBufferAtLeastOneByte = false,
    .dataIoIdleLevel = 2,
    .extendedRegisterCodes = false,
    .eepromStatusCodeReads = true,
    .clearFeatureCode = true,
    .initStoresShadow = false,
    .validateLineControl = false,
    .skipUnchangedRate = false,
    .asyncLinesAbovePassive = true,
    .asyncBreak = true,
    .rateSettleWait = 200 * kMillisecond,
    .rateWaitOnlyWhenChanged = true,
    .setsTransmitChunk = false,
    .flowThresholdAfterStart = 3,
};

std::array<std::uint8_t, 7> LineCoding::Encode() const {
    return {static_cast<std::uint8_t>(rate),
            static_cast<std::uint8_t>(rate >> 8),
            static_cast<std::uint8_t>(rate >> 16),
            static_cast<std::uint8_t>(rate >> 24),
            stopBits,
            parity,
            dataBits};
}

LineCoding LineCoding::Decode(std::span<const std::uint8_t, 7> b) {
    LineCoding c;
    c.rate = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
             static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    c.stopBits = b[4];
    c.parity = b[5];
    c.dataBits = b[6];
    return c;
}

UsbDevice::UsbDevice(Kernel& k, const DriverPolicy& p, DeviceObject* f, DeviceObject* l)
    : kernel(k),
      policy(p),
      fdo(f),
      lower(l),
      chipVariant(p.kind == DriverKind::Usbser2k ? -1 : 0),
      ioCount(k, 1, 0),
      dataIoCount(k, 0, p.dataIoIdleLevel),
      controlIoCount(k, 0, 0),
      pendingWriteCount(k, 0, 0) {}

std::optional<PipeHandle> UsbDevice::PipeHandleOf(int pipe) const {
    if (pipe < 0 || pipe >= kLogicalPipes) return std::nullopt;
    const UsbInterfaceInformation* iface = nullptr;
    std::size_t index = 0;
    if (singleInterface) {
        iface = interfaces[0] ? &*interfaces[0] : nullptr;
        index = static_cast<std::size_t>(pipe);
    } else if (pipe == kPipeStatus) {
        iface = interfaces[0] ? &*interfaces[0] : nullptr;
    } else {
        iface = interfaces[1] ? &*interfaces[1] : nullptr;
        index = pipe == kPipeTransmit ? 0 : 1;
    }
    if (!iface || index >= iface->Pipes.size()) return std::nullopt;
    return iface->Pipes[index].Handle;
}

bool UsbDevice::PipeBusy(int pipe) const {
    for (const PipeSlot& slot : slots[static_cast<std::size_t>(pipe)]) {
        if (slot.inUse.load()) return true;
    }
    return false;
}

// --- Synchronous submission ----------------------------------------------------------------------

namespace {
// Sends an internal device-control request to the lower device and waits for it; `timeout`
// none waits without limit.
NTSTATUS SubmitInternalAndWait(UsbDevice& dev, std::uint32_t code, Urb* urb,
                               std::optional<TimeUnits> timeout) {
    VM_KASSERT(KeGetCurrentIrql() == Irql::Passive);
    KEvent done(dev.kernel, EventType::Notification);
    IoStatusBlock iosb;
    Irp* irp = IoBuildDeviceIoControlRequest(code, dev.lower, nullptr, 0, 0, true, &done, &iosb);
    if (!irp) return STATUS_NO_MEMORY;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(dev.lower, irp);
    if (status == STATUS_PENDING) {
        if (dev.kernel.Wait(done, timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            dev.kernel.Wait(done);
            status = STATUS_IO_TIMEOUT;
        } else {
            status = iosb.Status;
        }
    } else {
        // The bus completed it during the call; the event is set by then.
        dev.kernel.Wait(done);
    }
    IoFreeIrp(irp);
    return status;
}
}  // namespace

NTSTATUS USB2SER_CallUSBD(UsbDevice& dev, Urb* urb) {
    return SubmitInternalAndWait(dev, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, dev.policy.syncTimeout);
}

NTSTATUS USB2SER_ResetDevice(UsbDevice& dev) {
    return SubmitInternalAndWait(dev, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, std::nullopt);
}

// --- Asynchronous pipe transfers -------------------------------------------------------------

namespace {
struct PipeTransferContext {
    Urb urb;
    UsbDevice* device;
    Irp* irp;
    std::uint8_t* buffer;
    std::uint32_t length;
    int pipe;
    std::size_t slot;
    std::uintptr_t tag;
    std::uint64_t ticket;  // a standing transfer's; 0 for others
};

// The standing transfer whose completion this thread is handling.
struct Completing {
    const UsbDevice* device = nullptr;
    int pipe = -1;
    std::uint64_t ticket = 0;
};
thread_local Completing t_completing;

struct ControlContext {
    Urb* urb;
    UsbDevice* device;
    Irp* irp;
};

void FreePipeContext(UsbDevice& dev, PipeTransferContext* ctx) {
    dev.Free(ctx->buffer);
    dev.kernel.pool().Delete(ctx);
}

NTSTATUS USB2SER_AsyncComplete(DeviceObject*, Irp* irp, void* context) {
    auto* ctx = static_cast<PipeTransferContext*>(context);
    UsbDevice& dev = *ctx->device;
    PipeSlot& slot = dev.slots[static_cast<std::size_t>(ctx->pipe)][ctx->slot];
    // Read what is needed before the slot protocol: once the flag is exchanged a canceller may
    // free the packet at any moment.
    const NTSTATUS status = irp->IoStatus.Status;
    const std::uint32_t transferred =
        std::min(ctx->urb.As<UrbBulkOrInterruptTransfer>().TransferBufferLength, ctx->length);
    bool freeIrp = false;
    if (Irp* old = slot.irp.exchange(nullptr)) {
        VM_KASSERT(old == irp);
        freeIrp = true;
    } else if (slot.completionRan.exchange(1) == 1) {
        freeIrp = true;
    }
    if (freeIrp) {
        IoFreeIrp(irp);
        slot.inUse.store(false);
    }
    const Completing outer = t_completing;
    if (ctx->ticket != 0) t_completing = Completing{&dev, ctx->pipe, ctx->ticket};
    if (dev.sink) {
        dev.sink->OnTaggedTransferComplete(dev, ctx->pipe, ctx->tag, status,
                                           std::span<const std::uint8_t>(ctx->buffer, transferred));
    }
    t_completing = outer;
    if (ctx->ticket != 0) {
        std::uint64_t mine = ctx->ticket;
        dev.standing[static_cast<std::size_t>(ctx->pipe)].compare_exchange_strong(mine, 0);
    }
    FreePipeContext(dev, ctx);
    dev.dataIoCount.Decrement();  // last touch of the device
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS USB2SER_AsyncComplete_Ctrl(DeviceObject*, Irp* irp, void* context) {
    auto* ctx = static_cast<ControlContext*>(context);
    UsbDevice& dev = *ctx->device;
    IoFreeIrp(irp);
    dev.kernel.pool().Delete(ctx->urb);
    dev.kernel.pool().Delete(ctx);
    dev.controlIoCount.Decrement();  // last touch of the device
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void PrepareSubmission(Irp* irp, Urb* urb) {
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
}

std::uint32_t TransferFlagsOf(int pipe) {
    switch (pipe) {
        case kPipeStatus:
            return USBD_TRANSFER_DIRECTION_IN;
        case kPipeReceive:
            return USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        default:
            return 0;
    }
}
}  // namespace

// Allocates the packet, records it in a free slot of the pipe and submits.
NTSTATUS USB2SER_AsyncCallUSBD(UsbDevice& dev, PipeTransferContext* ctx, int pipe,
                               bool* submitted) {
    Irp* irp = IoAllocateIrp(dev.kernel, dev.lower->StackSize);
    if (!irp) {
        FreePipeContext(dev, ctx);
        return STATUS_NO_MEMORY;
    }
    auto& slots = dev.slots[static_cast<std::size_t>(pipe)];
    std::size_t index = 0;
    for (; index < slots.size(); ++index) {
        bool expected = false;
        if (slots[index].inUse.compare_exchange_strong(expected, true)) break;
    }
    if (index == slots.size()) {
        IoFreeIrp(irp);
        FreePipeContext(dev, ctx);
        return STATUS_DEVICE_BUSY;
    }
    PrepareSubmission(irp, &ctx->urb);
    ctx->irp = irp;
    ctx->pipe = pipe;
    ctx->slot = index;
    PipeSlot& slot = slots[index];
    slot.tag.store(ctx->tag);
    slot.completionRan.store(0);
    slot.irp.store(irp);
    IoSetCompletionRoutine(irp, &USB2SER_AsyncComplete, ctx, true, true, true);
    dev.dataIoCount.Increment();
    *submitted = true;
    return IoCallDriver(dev.lower, irp);
}

NTSTATUS USB2SER_AsyncTransfer(UsbDevice& dev, int pipe, const std::uint8_t* data,
                               std::uint32_t length) {
    bool submitted = false;
    return USB2SER_AsyncTransferTagged(dev, pipe, data, length, 0, &submitted);
}

namespace {
NTSTATUS StartTransfer(UsbDevice& dev, int pipe, const std::uint8_t* data, std::uint32_t length,
                       std::uintptr_t tag, std::uint64_t ticket, bool* submitted);
}  // namespace

NTSTATUS USB2SER_AsyncTransferTagged(UsbDevice& dev, int pipe, const std::uint8_t* data,
                                     std::uint32_t length, std::uintptr_t tag, bool* submitted) {
    return StartTransfer(dev, pipe, data, length, tag, 0, submitted);
}

NTSTATUS USB2SER_ArmStanding(UsbDevice& dev, int pipe, std::uint32_t length, bool* armed) {
    if (armed) *armed = false;
    std::atomic<std::uint64_t>& flag = dev.standing[static_cast<std::size_t>(pipe)];
    const std::uint64_t ticket = dev.nextTicket.fetch_add(1);
    std::uint64_t expected = 0;
    if (t_completing.device == &dev && t_completing.pipe == pipe &&
        flag.load() == t_completing.ticket) {
        expected = t_completing.ticket;  // the completion re-arms its own pipe
    }
    if (!flag.compare_exchange_strong(expected, ticket)) return STATUS_SUCCESS;
    if (expected != 0) t_completing.ticket = 0;  // handed over
    bool submitted = false;
    const NTSTATUS status = StartTransfer(dev, pipe, nullptr, length, 0, ticket, &submitted);
    if (!submitted) {
        std::uint64_t mine = ticket;
        flag.compare_exchange_strong(mine, 0);
    }
    if (armed) *armed = submitted;
    return status;
}

void USB2SER_StandingHandled(UsbDevice& dev, int pipe) {
    if (t_completing.device != &dev || t_completing.pipe != pipe || t_completing.ticket == 0) {
        return;
    }
    std::uint64_t mine = t_completing.ticket;
    dev.standing[static_cast<std::size_t>(pipe)].compare_exchange_strong(mine, 0);
    t_completing.ticket = 0;
}

bool USB2SER_StandingArmed(const UsbDevice& dev, int pipe) {
    return dev.standing[static_cast<std::size_t>(pipe)].load() != 0;
}

namespace {
NTSTATUS StartTransfer(UsbDevice& dev, int pipe, const std::uint8_t* data, std::uint32_t length,
                       std::uintptr_t tag, std::uint64_t ticket, bool* submitted) {
    *submitted = false;
    const std::optional<PipeHandle> handle = dev.PipeHandleOf(pipe);
    if (!handle) return STATUS_INVALID_DEVICE_STATE;
    if (pipe == kPipeTransmit && length > 0 && !data) return STATUS_INVALID_PARAMETER;
    auto* ctx = dev.kernel.pool().New<PipeTransferContext>(dev.policy.poolTag);
    if (!ctx) return STATUS_NO_MEMORY;
    ctx->tag = tag;
    ctx->ticket = ticket;
    const std::size_t bytes =
        dev.policy.dataBufferAtLeastOneByte ? std::max<std::uint32_t>(length, 1) : length;
    ctx->device = &dev;
    ctx->irp = nullptr;
    ctx->length = length;
    ctx->buffer = static_cast<std::uint8_t*>(dev.Allocate(bytes));
    if (!ctx->buffer) {
        dev.kernel.pool().Delete(ctx);
        return STATUS_NO_MEMORY;
    }
    if (pipe == kPipeTransmit && length > 0) std::memcpy(ctx->buffer, data, length);
    UsbBuildInterruptOrBulkTransferRequest(ctx->urb, *handle, ctx->buffer, length,
                                           TransferFlagsOf(pipe));
    return USB2SER_AsyncCallUSBD(dev, ctx, pipe, submitted);
}
}  // namespace

void CancelTaggedTransfers(UsbDevice& dev, int pipe, std::uintptr_t tag) {
    for (PipeSlot& slot : dev.slots[static_cast<std::size_t>(pipe)]) {
        if (!slot.inUse.load() || slot.tag.load() != tag) continue;
        Irp* irp = slot.irp.exchange(nullptr);
        if (!irp) continue;
        IoCancelIrp(irp);
        if (slot.completionRan.exchange(1) == 1) {
            IoFreeIrp(irp);
            slot.inUse.store(false);
        }
    }
}

void CancelTheIrp(UsbDevice& dev, int pipe) {
    for (PipeSlot& slot : dev.slots[static_cast<std::size_t>(pipe)]) {
        Irp* irp = slot.irp.exchange(nullptr);
        if (!irp) continue;
        IoCancelIrp(irp);
        if (slot.completionRan.exchange(1) == 1) {
            IoFreeIrp(irp);
            slot.inUse.store(false);
        }
    }
}

void USB2SER_CancelAllIrps(UsbDevice& dev) {
    for (int pipe = 0; pipe < kLogicalPipes; ++pipe) CancelTheIrp(dev, pipe);
}

NTSTATUS USB2SER_AsyncCallUSBD_Ctrl(UsbDevice& dev, Urb* urb) {
    Irp* irp = IoAllocateIrp(dev.kernel, dev.lower->StackSize);
    if (!irp) {
        dev.kernel.pool().Delete(urb);
        return STATUS_NO_MEMORY;
    }
    auto* ctx = dev.kernel.pool().New<ControlContext>(dev.policy.poolTag);
    if (!ctx) {
        IoFreeIrp(irp);
        dev.kernel.pool().Delete(urb);
        return STATUS_NO_MEMORY;
    }
    *ctx = ControlContext{urb, &dev, irp};
    PrepareSubmission(irp, urb);
    IoSetCompletionRoutine(irp, &USB2SER_AsyncComplete_Ctrl, ctx, true, true, true);
    dev.controlIoCount.Increment();
    return IoCallDriver(dev.lower, irp);
}

// --- Control requests ----------------------------------------------------------------------------

namespace {
NTSTATUS ControlRequest(UsbDevice& dev, std::uint16_t function, bool in, std::uint8_t request,
                        std::uint16_t value, std::uint16_t index, void* buffer,
                        std::uint32_t length, bool async, std::uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildVendorRequest(*urb, function, in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value,
                          index, buffer, length);
    if (async) {
        VM_KASSERT(!in);  // nothing would receive the data
        return USB2SER_AsyncCallUSBD_Ctrl(dev, urb);
    }
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (bytesReturned && NT_SUCCESS(status)) {
        *bytesReturned = std::min(urb->As<UrbControlVendorOrClass>().TransferBufferLength, length);
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS GetDescriptor(UsbDevice& dev, std::uint8_t type, std::uint8_t index,
                       std::uint16_t language, std::span<std::uint8_t> buffer,
                       std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildGetDescriptorRequest(*urb, type, index, language, buffer.data(),
                                 static_cast<std::uint32_t>(buffer.size()));
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (NT_SUCCESS(status)) {
        bytesReturned =
            std::min<std::uint32_t>(urb->As<UrbDescriptorRequest>().TransferBufferLength,
                                    static_cast<std::uint32_t>(buffer.size()));
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS SyncPipeTransfer(UsbDevice& dev, int pipe, void* buffer, std::uint32_t length,
                          std::uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    const std::optional<PipeHandle> handle = dev.PipeHandleOf(pipe);
    if (!handle) return STATUS_INVALID_DEVICE_STATE;
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildInterruptOrBulkTransferRequest(*urb, *handle, buffer, length, TransferFlagsOf(pipe));
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (bytesReturned && NT_SUCCESS(status)) {
        *bytesReturned =
            std::min(urb->As<UrbBulkOrInterruptTransfer>().TransferBufferLength, length);
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

bool ValidRegister(int reg) {
    return reg >= 0 && reg <= 2;
}
}  // namespace

NTSTATUS VendorWrite(UsbDevice& dev, std::uint16_t value, std::uint16_t index, bool async) {
    return ControlRequest(dev, URB_FUNCTION_VENDOR_DEVICE, false, 0x01, value, index, nullptr, 0,
                          async, nullptr);
}

NTSTATUS VendorRead(UsbDevice& dev, std::uint16_t value, std::span<std::uint8_t> buffer,
                    std::uint32_t* bytesReturned) {
    return ControlRequest(dev, URB_FUNCTION_VENDOR_DEVICE, true, 0x01, value, 0, buffer.data(),
                          static_cast<std::uint32_t>(buffer.size()), false, bytesReturned);
}

NTSTATUS ClassRequest(UsbDevice& dev, bool in, std::uint8_t request, std::uint16_t value,
                      std::span<std::uint8_t> buffer, bool async) {
    return ControlRequest(dev, URB_FUNCTION_CLASS_INTERFACE, in, request, value, 0,
                          buffer.empty() ? nullptr : buffer.data(),
                          static_cast<std::uint32_t>(buffer.size()), async, nullptr);
}

NTSTATUS USB2SER_GetDeviceDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    if (buffer.size() < 18) return STATUS_BUFFER_TOO_SMALL;
    return GetDescriptor(dev, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.first(18), bytesReturned);
}

NTSTATUS USB2SER_GetConfigDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned) {
    return GetDescriptor(dev, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, bytesReturned);
}

NTSTATUS USB2SER_GetStringDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    if (buffer.empty()) return STATUS_INVALID_PARAMETER;
    return GetDescriptor(dev, USB_STRING_DESCRIPTOR_TYPE, buffer[0], 0x0409, buffer, bytesReturned);
}

NTSTATUS USB2SER_SendEncap(UsbDevice& dev, std::uint16_t value, std::uint16_t index) {
    return VendorWrite(dev, value, index);
}

NTSTATUS USB2SER_GetEncap(UsbDevice& dev, std::uint16_t value, std::uint8_t& byte) {
    return VendorRead(dev, value, std::span<std::uint8_t>(&byte, 1));
}

NTSTATUS USB2SER_ReadInterrupt(UsbDevice& dev, std::span<std::uint8_t> buffer,
                               std::uint32_t& bytesReturned) {
    return SyncPipeTransfer(dev, kPipeStatus, buffer.data(),
                            static_cast<std::uint32_t>(buffer.size()), &bytesReturned);
}

NTSTATUS USB2SER_WriteBulk(UsbDevice& dev, std::span<const std::uint8_t> data) {
    return SyncPipeTransfer(dev, kPipeTransmit, const_cast<std::uint8_t*>(data.data()),
                            static_cast<std::uint32_t>(data.size()), nullptr);
}

NTSTATUS USB2SER_ReadBulk(UsbDevice& dev, std::span<std::uint8_t> buffer,
                          std::uint32_t& bytesReturned) {
    return SyncPipeTransfer(dev, kPipeReceive, buffer.data(),
                            static_cast<std::uint32_t>(buffer.size()), &bytesReturned);
}

NTSTATUS USB2SER_SendCtrlState(UsbDevice& dev, std::uint16_t value, bool async) {
    return ClassRequest(dev, false, 0x22, value, {}, async);
}

NTSTATUS USB2SER_SetFeature(UsbDevice& dev, std::uint16_t data) {
    // The data stage outlives the call only when asynchronous; this one waits.
    std::uint8_t bytes[2] = {static_cast<std::uint8_t>(data), static_cast<std::uint8_t>(data >> 8)};
    return ClassRequest(dev, false, 0x02, 1, bytes);
}

NTSTATUS USB2SER_GetFeature(UsbDevice& dev, std::span<std::uint8_t, 2> data) {
    return ClassRequest(dev, true, 0x03, 1, data);
}

NTSTATUS USB2SER_ClrFeature(UsbDevice& dev) {
    return ClassRequest(dev, false, 0x04, 1, {});
}

NTSTATUS USB2SER_SetLineCoding(UsbDevice& dev, const LineCoding& coding) {
    std::array<std::uint8_t, 7> bytes = coding.Encode();
    return ClassRequest(dev, false, 0x20, 0, bytes);
}

NTSTATUS USB2SER_GetLineCoding(UsbDevice& dev, LineCoding& coding) {
    std::array<std::uint8_t, 7> bytes{};
    const NTSTATUS status = ClassRequest(dev, true, 0x21, 0, bytes);
    if (NT_SUCCESS(status)) coding = LineCoding::Decode(bytes);
    return status;
}

NTSTATUS USB2SER_SendBreak(UsbDevice& dev, bool on, bool async) {
    return ClassRequest(dev, false, 0x23, on ? 0xFFFF : 0x0000, {}, async);
}

// --- Registers -----------------------------------------------------------------------------------

NTSTATUS USB2SER_GetDCR_NoCOM(UsbDevice& dev, int reg) {
    if (!ValidRegister(reg)) return STATUS_INVALID_PARAMETER;
    std::uint8_t value = 0;
    std::uint32_t bytes = 0;
    const NTSTATUS status =
        VendorRead(dev, static_cast<std::uint16_t>(0x80 + reg), std::span(&value, 1), &bytes);
    if (NT_SUCCESS(status) && bytes == 1) {
        SpinLockGuard lock(dev.controlLock);
        dev.chip.shadow[static_cast<std::size_t>(reg)] = value;
    }
    return NT_SUCCESS(status) && bytes != 1 ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS USB2SER_SetDCR(UsbDevice& dev, int reg, std::uint8_t value, bool async) {
    if (!ValidRegister(reg)) return STATUS_INVALID_PARAMETER;
    return VendorWrite(dev, static_cast<std::uint16_t>(reg), value, async);
}

NTSTATUS USB2SER_SetDCR_NoCOM(UsbDevice& dev, int reg) {
    if (!ValidRegister(reg)) return STATUS_INVALID_PARAMETER;
    std::uint8_t value;
    {
        SpinLockGuard lock(dev.controlLock);
        value = dev.chip.shadow[static_cast<std::size_t>(reg)];
    }
    return USB2SER_SetDCR(dev, reg, value);
}

NTSTATUS WriteExtendedRegister(UsbDevice& dev, int reg, std::uint16_t value) {
    if (reg < 0x0C || reg > 0x0F) return STATUS_INVALID_PARAMETER;
    if (!dev.ChipAtLeast(3)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, static_cast<std::uint16_t>(reg << 8 | reg), value);
}

NTSTATUS ReadExtendedRegister(UsbDevice& dev, int reg, std::span<std::uint8_t> out) {
    if (reg < 0x0C || reg > 0x0F) return STATUS_INVALID_PARAMETER;
    const std::size_t length = reg <= 0x0D ? 2 : 1;
    if (out.size() < length) return STATUS_BUFFER_TOO_SMALL;
    if (!dev.ChipAtLeast(3)) return STATUS_NOT_SUPPORTED;
    const int code = 0x80 | reg;
    return VendorRead(dev, static_cast<std::uint16_t>(code << 8 | code), out.first(length));
}

NTSTATUS USB2SER_SetXonXoffChars(UsbDevice& dev, std::uint8_t xon, std::uint8_t xoff) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, 0x0505, static_cast<std::uint16_t>(xon | xoff << 8));
}

// --- EEPROM --------------------------------------------------------------------------------------

NTSTATUS USB2SER_EEPROM_ReadStatus(UsbDevice& dev, std::uint8_t& status) {
    std::uint32_t bytes = 0;
    const NTSTATUS result = VendorRead(dev, 0x8484, std::span(&status, 1), &bytes);
    return NT_SUCCESS(result) && bytes != 1 ? STATUS_UNSUCCESSFUL : result;
}

bool USB2SER_EEPROM_IsBusy(UsbDevice& dev) {
    dev.kernel.Delay(5 * kMillisecond);
    std::uint8_t status = 0;
    return NT_SUCCESS(USB2SER_EEPROM_ReadStatus(dev, status)) && (status & 0x01) != 0;
}

namespace {
// Polls until the EEPROM is idle; a chip that stays busy gives STATUS_IO_TIMEOUT.
NTSTATUS WaitEepromIdle(UsbDevice& dev) {
    for (int poll = 0; poll < kEepromBusyPollLimit; ++poll) {
        if (!USB2SER_EEPROM_IsBusy(dev)) return STATUS_SUCCESS;
    }
    return STATUS_IO_TIMEOUT;
}
}  // namespace

NTSTATUS USB2SER_EEPROM_Write(UsbDevice& dev, std::span<const std::uint8_t> buffer) {
    if (buffer.empty()) return STATUS_INVALID_PARAMETER;
    const std::uint8_t start = buffer[0];
    for (std::size_t k = 1; k < buffer.size(); ++k) {
        NTSTATUS status = WaitEepromIdle(dev);
        if (!NT_SUCCESS(status)) return status;
        const auto address = static_cast<std::uint8_t>(start + (k - 1));
        status = VendorWrite(dev, 0x0303, static_cast<std::uint16_t>(buffer[k] << 8 | address));
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS USB2SER_EEPROM_ReadData(UsbDevice& dev, std::uint16_t start, std::span<std::uint8_t> out,
                                 std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        NTSTATUS status = WaitEepromIdle(dev);
        if (NT_SUCCESS(status)) {
            status = VendorWrite(dev, 0x0404, static_cast<std::uint16_t>(start + i));
        }
        if (NT_SUCCESS(status)) status = WaitEepromIdle(dev);
        std::uint32_t bytes = 0;
        if (NT_SUCCESS(status)) status = VendorRead(dev, 0x8383, out.subspan(i, 1), &bytes);
        if (NT_SUCCESS(status) && bytes != 1) status = STATUS_UNSUCCESSFUL;
        // A byte that cannot be read makes the whole read fail: no partly stale data is passed
        // off as read.
        if (!NT_SUCCESS(status)) return status;
    }
    bytesReturned = static_cast<std::uint32_t>(out.size());
    return STATUS_SUCCESS;
}

bool USB2SER_IsEEPROM3A71(UsbDevice& dev) {
    static constexpr std::uint16_t kFirst[] = {0};
    static constexpr std::uint16_t kVariant3[] = {0, 32, 64, 96, 128, 160};
    static constexpr std::uint16_t kVariant4[] = {0, 96};
    std::span<const std::uint16_t> addresses = kFirst;
    if (dev.chipVariant == 3) addresses = kVariant3;
    if (dev.chipVariant == 4 && dev.policy.maxChipVariant >= 4) addresses = kVariant4;
    for (std::uint16_t address : addresses) {
        std::uint8_t word[2] = {};
        std::uint32_t bytes = 0;
        if (NT_SUCCESS(USB2SER_EEPROM_ReadData(dev, address, word, bytes)) && bytes == 2 &&
            (word[0] | word[1] << 8) == 0x3A71) {
            return true;
        }
    }
    return false;
}

// --- Resets and variant-gated requests --------------------------------------------------------

NTSTATUS USB2SER_ResetPipe(UsbDevice& dev, int pipe) {
    if (!dev.policy.resetPipeSendsRequest || dev.chipVariant == 2) return STATUS_SUCCESS;
    const std::optional<PipeHandle> handle = dev.PipeHandleOf(pipe);
    if (!handle) return STATUS_INVALID_DEVICE_STATE;
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildResetPipeRequest(*urb, *handle);
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS USB2SER_ResetDataPipe(UsbDevice& dev, int direction) {
    if (direction != 0 && direction != 1) return STATUS_INVALID_PARAMETER;
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, direction == 0 ? 0x0808 : 0x0909, 0);
}

NTSTATUS USB2SER_SetFlowThreshold(UsbDevice& dev, std::uint8_t threshold) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, 0x0B0B, threshold);
}

NTSTATUS USB2SER_SetInputSignalConfig(UsbDevice& dev, std::uint16_t value) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, 0x0606, value);
}

NTSTATUS USB2SER_GetInputSignalConfig(UsbDevice& dev, std::span<std::uint8_t, 2> out) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorRead(dev, 0x8686, out);
}

NTSTATUS USB2SER_SetInputSignalData(UsbDevice& dev, std::uint16_t value) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, 0x0707, value);
}

NTSTATUS USB2SER_GetInputSignalData(UsbDevice& dev, std::span<std::uint8_t, 2> out) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorRead(dev, 0x8787, out);
}

// --- Configuration -------------------------------------------------------------------------------

NTSTATUS USB2SER_ConfigureDevice(UsbDevice& dev) {
    std::uint8_t head[9] = {};
    std::uint32_t bytes = 0;
    NTSTATUS status = USB2SER_GetConfigDescriptor(dev, head, bytes);
    if (!NT_SUCCESS(status)) return status;
    if (bytes < 9) return STATUS_DEVICE_CONFIGURATION_ERROR;
    const std::uint16_t total = static_cast<std::uint16_t>(head[2] | head[3] << 8);
    if (total < 9) return STATUS_DEVICE_CONFIGURATION_ERROR;
    auto* config = static_cast<std::uint8_t*>(dev.Allocate(total));
    if (!config) return STATUS_INSUFFICIENT_RESOURCES;
    status = USB2SER_GetConfigDescriptor(dev, std::span(config, total), bytes);
    if (NT_SUCCESS(status)) {
        status = bytes < 9 ? STATUS_DEVICE_CONFIGURATION_ERROR
                           : USB2SER_SelectInterfaces(dev, std::span(config, bytes));
    }
    dev.Free(config);
    return status;
}

NTSTATUS USB2SER_SelectInterfaces(UsbDevice& dev, std::span<const std::uint8_t> config) {
    if (config.size() < 9) return STATUS_DEVICE_CONFIGURATION_ERROR;
    dev.singleInterface = config[4] == 1;
    return dev.singleInterface ? USB2SER_SelectInterfaces1(dev, config)
                               : USB2SER_SelectInterfaces2(dev, config);
}

NTSTATUS USB2SER_SelectInterfaces1(UsbDevice& dev, std::span<const std::uint8_t> config) {
    const std::optional<InterfaceDescriptor> iface =
        ParseConfigurationDescriptor(config, 0, -1, -1, -1, -1, -1);
    if (!iface) return STATUS_DEVICE_CONFIGURATION_ERROR;
    Urb* urb =
        CreateConfigurationRequest(dev.kernel, dev.policy.poolTag, config, std::span(&*iface, 1));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (NT_SUCCESS(status)) {
        dev.interfaces[0] = urb->As<UrbSelectConfiguration>().Interfaces.at(0);
        dev.interfaces[1].reset();
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS USB2SER_SelectInterfaces2(UsbDevice& dev, std::span<const std::uint8_t> config) {
    struct Criteria {
        int cls, subClass, protocol;
    };
    static constexpr Criteria kTable[2][2] = {
        {{0x02, 0x02, 0xFF}, {0x0A, 0x00, 0x00}},
        {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}},
    };
    const auto& row = kTable[dev.chipVariant == 0 ? 0 : 1];
    InterfaceDescriptor wanted[2];
    for (int i = 0; i < 2; ++i) {
        const std::optional<InterfaceDescriptor> found = ParseConfigurationDescriptor(
            config, 0, i, 0, row[i].cls, row[i].subClass, row[i].protocol);
        if (!found) return STATUS_DEVICE_CONFIGURATION_ERROR;
        wanted[i] = *found;
    }
    Urb* urb = CreateConfigurationRequest(dev.kernel, dev.policy.poolTag, config, wanted);
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (NT_SUCCESS(status)) {
        auto& interfaces = urb->As<UrbSelectConfiguration>().Interfaces;
        dev.interfaces[0] = interfaces.at(0);
        dev.interfaces[1] = interfaces.at(1);
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS USB2SER_ControlRemoteWakeup(UsbDevice& dev, bool enable) {
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildFeatureRequest(
        *urb, enable ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
        USB_FEATURE_REMOTE_WAKEUP, 0);
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS USB2SER_StopDevice(UsbDevice& dev) {
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    urb->Hdr = UrbHeader{24, URB_FUNCTION_SELECT_CONFIGURATION, USBD_STATUS_SUCCESS};
    urb->Body = UrbSelectConfiguration{};
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    dev.kernel.pool().Delete(urb);
    return status;
}

}  // namespace vm::drv
