#include "driver/platform/usb_bus.h"

#include <algorithm>

namespace vm::drv {

namespace {
std::span<std::uint8_t> BytesOf(void* buffer, std::uint32_t length) {
    return buffer ? std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), length)
                  : std::span<std::uint8_t>();
}

// Pipe handles are the endpoint address with a tag, so that 0 is never a valid handle.
constexpr PipeHandle kPipeTag = 0x1B00;
constexpr std::uintptr_t kConfigurationHandle = 0xC0F1;
}  // namespace

PipeHandle UsbPipeHandle(std::uint8_t endpoint) {
    return kPipeTag | endpoint;
}

std::optional<std::uint8_t> UsbPipeEndpoint(PipeHandle pipe) {
    if ((pipe & ~PipeHandle{0xFF}) != kPipeTag) return std::nullopt;
    return static_cast<std::uint8_t>(pipe & 0xFF);
}

bool UsbRequest::In() const {
    switch (kind) {
        case Kind::Control:
            return setup.In();
        case Kind::Transfer:
            return endpoint && (*endpoint & kUsbDirectionIn) != 0;
        default:
            return false;
    }
}

UsbRequest ReadUrb(Urb& urb) {
    UsbRequest r;
    r.function = urb.Hdr.Function;
    r.urbLength = urb.Hdr.Length;
    switch (urb.Hdr.Function) {
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE: {
            auto& c = urb.As<UrbControlVendorOrClass>();
            const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            const std::uint8_t type = urb.Hdr.Function == URB_FUNCTION_VENDOR_DEVICE
                                          ? kUsbTypeVendor | kUsbRecipientDevice
                                          : kUsbTypeClass | kUsbRecipientInterface;
            r.kind = UsbRequest::Kind::Control;
            r.transferFlags = c.TransferFlags;
            r.setup = {static_cast<std::uint8_t>(type | (in ? kUsbDirectionIn : 0) |
                                                 c.RequestTypeReservedBits),
                       c.Request, c.Value, c.Index,
                       static_cast<std::uint16_t>(c.TransferBufferLength)};
            r.data = BytesOf(c.TransferBuffer, c.TransferBufferLength);
            break;
        }
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& d = urb.As<UrbDescriptorRequest>();
            r.kind = UsbRequest::Kind::Control;
            r.setup = {kUsbDirectionIn | kUsbTypeStandard | kUsbRecipientDevice,
                       USB_REQUEST_GET_DESCRIPTOR,
                       static_cast<std::uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId,
                       static_cast<std::uint16_t>(d.TransferBufferLength)};
            r.data = BytesOf(d.TransferBuffer, d.TransferBufferLength);
            break;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
            auto& f = urb.As<UrbFeatureRequest>();
            r.kind = UsbRequest::Kind::Control;
            r.setup = {kUsbTypeStandard | kUsbRecipientDevice,
                       urb.Hdr.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE
                           ? USB_REQUEST_SET_FEATURE
                           : USB_REQUEST_CLEAR_FEATURE,
                       f.FeatureSelector, f.Index, 0};
            break;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            auto& s = urb.As<UrbSelectConfiguration>();
            r.kind = s.ConfigurationDescriptor ? UsbRequest::Kind::SelectConfiguration
                                               : UsbRequest::Kind::Unconfigure;
            r.configuration = &s;
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& t = urb.As<UrbBulkOrInterruptTransfer>();
            r.kind = UsbRequest::Kind::Transfer;
            r.transferFlags = t.TransferFlags;
            r.endpoint = UsbPipeEndpoint(t.Pipe);
            r.data = BytesOf(t.TransferBuffer, t.TransferBufferLength);
            break;
        }
        case URB_FUNCTION_RESET_PIPE:
            r.kind = UsbRequest::Kind::ResetPipe;
            r.endpoint = UsbPipeEndpoint(urb.As<UrbPipeRequest>().Pipe);
            break;
        default:
            break;
    }
    return r;
}

// --- Submission ---------------------------------------------------------------------------------

UsbBusBase::~UsbBusBase() {
    EndAllKept(kCancelled);
}

NTSTATUS UsbBusBase::SubmitUrb(Irp* irp, Urb* urb) {
    UsbRequest request = ReadUrb(*urb);
    Completions done;
    Carry(irp, urb, request, done);
    return Finish(done, irp);
}

NTSTATUS UsbBusBase::ResetPort(Irp* irp) {
    const NTSTATUS status = ResetDevice();
    irp->IoStatus.Status = status;
    IrqlScope atDispatch(Irql::Dispatch);
    IoCompleteRequest(irp);
    return status;
}

std::size_t UsbBusBase::PendingCount() const {
    MutexLock lock(mutex_);
    return pending_.size();
}

// --- Kept requests ------------------------------------------------------------------------------

bool UsbBusBase::Keep(Irp* irp, Urb* urb, const UsbRequest& request, int wait, void* context,
                      Completions& done) {
    IoMarkIrpPending(irp);
    done.kept_ = irp;
    irp->DriverContext[0] = this;
    pending_.push_back({irp, urb, request, wait, context, false, false, {}});
    IoSetCancelRoutine(irp, &UsbBusBase::CancelRoutine);
    if (irp->Cancel.load() && IoSetCancelRoutine(irp, nullptr)) {
        pending_.pop_back();
        done.Add(irp, urb, kCancelled);
        return false;
    }
    return true;
}

bool UsbBusBase::Take(std::size_t index, Kept& out) {
    if (!IoSetCancelRoutine(pending_[index].irp, nullptr)) return false;  // its routine is coming
    out = std::move(pending_[index]);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void UsbBusBase::End(Irp* irp, const Result& result, Completions& done) {
    const auto it =
        std::find_if(pending_.begin(), pending_.end(), [&](const Kept& k) { return k.irp == irp; });
    VM_KASSERT(it != pending_.end());
    // Claimed here, or by a cancel routine that has run and left the end to the transfer: it
    // completes now. Otherwise the cancel routine is on the way and completes it with the result.
    if (IoSetCancelRoutine(irp, nullptr) || it->cancelSeen) {
        done.Add(irp, it->urb, result);
        pending_.erase(it);
        return;
    }
    it->ended = true;
    it->result = result;
}

void UsbBusBase::Ended(Irp* irp, const Result& result) {
    Completions done;
    {
        MutexLock lock(mutex_);
        End(irp, result, done);
    }
    Finish(done);
}

// Called with the cancel spin lock held, which it lets go (taken in IoCancelIrp): unchecked.
void UsbBusBase::CancelRoutine(DeviceObject*, Irp* irp) NO_THREAD_SAFETY_ANALYSIS {
    IoReleaseCancelSpinLock(irp->kernel(), irp->CancelIrql);
    auto* bus = static_cast<UsbBusBase*>(irp->DriverContext[0]);
    Completions done;
    {
        MutexLock lock(bus->mutex_);
        const auto it = std::find_if(bus->pending_.begin(), bus->pending_.end(),
                                     [&](const Kept& k) { return k.irp == irp; });
        VM_KASSERT(it != bus->pending_.end());
        it->cancelSeen = true;
        if (it->ended) {
            done.Add(irp, it->urb, it->result);
        } else if (bus->CancelInFlight(*it)) {
            return;  // the transfer's end completes it
        } else {
            done.Add(irp, it->urb, kCancelled);
        }
        bus->pending_.erase(it);
    }
    bus->Finish(done);
}

void UsbBusBase::EndAllKept(const Result& result) {
    Completions done;
    {
        MutexLock lock(mutex_);
        for (std::size_t i = 0; i < pending_.size();) {
            Kept k;
            if (!Take(i, k)) {
                ++i;
                continue;
            }
            done.Add(k.irp, k.urb, result);
        }
    }
    Finish(done);
}

// --- Completion ---------------------------------------------------------------------------------

NTSTATUS UsbBusBase::Finish(Completions& done, Irp* own) {
    NTSTATUS status = STATUS_PENDING;
    for (const Completions::Entry& c : done.list_) {
        if (c.irp == own && own != done.kept_) status = c.result.status;
        Complete(c.irp, c.urb, c.result);
    }
    return status;
}

void UsbBusBase::Complete(Irp* irp, Urb* urb, const Result& result) {
    urb->Hdr.Status = result.usbd;
    const auto bytes = static_cast<std::uint32_t>(result.bytes);
    const bool ok = NT_SUCCESS(result.status);
    switch (urb->Hdr.Function) {
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
            if (ok) urb->As<UrbControlVendorOrClass>().TransferBufferLength = bytes;
            break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            if (ok) urb->As<UrbDescriptorRequest>().TransferBufferLength = bytes;
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            urb->As<UrbBulkOrInterruptTransfer>().TransferBufferLength = ok ? bytes : 0;
            break;
        default:
            break;
    }
    irp->IoStatus.Status = result.status;
    irp->IoStatus.Information = 0;
    BeforeComplete(irp);
    // A host controller completes transfers at dispatch level: a completion routine that waits
    // or sends a synchronous request is caught here as it would be on a real stack.
    IrqlScope atDispatch(Irql::Dispatch);
    IoCompleteRequest(irp);
}

// --- Configuration ------------------------------------------------------------------------------

bool UsbBusBase::FillConfiguration(UrbSelectConfiguration& s) {
    const std::span<const std::uint8_t> config(s.ConfigurationDescriptor,
                                               s.ConfigurationDescriptorLength);
    for (UsbInterfaceInformation& info : s.Interfaces) {
        if (!FillInterfaceInformation(config, info, &UsbPipeHandle)) return false;
    }
    for (const UsbInterfaceInformation& info : s.Interfaces) {
        for (const UsbPipeInformation& pipe : info.Pipes) {
            pipeTypes_[pipe.EndpointAddress] = pipe.Type;
        }
    }
    s.ConfigurationHandle = kConfigurationHandle;
    return true;
}

PipeType UsbBusBase::PipeTypeOf(std::uint8_t endpoint) const {
    MutexLock lock(mutex_);
    return pipeTypes_[endpoint];
}

}  // namespace vm::drv
