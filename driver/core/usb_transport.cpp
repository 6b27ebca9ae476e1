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
}  // namespace

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

}  // namespace vm::drv
