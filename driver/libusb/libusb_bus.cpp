#include "driver/libusb/libusb_bus.h"

#include <cstdio>
#include <cstring>

namespace vm::drv::libusb {

namespace {
// USBD status codes for what the platform's header has no name for here.
constexpr std::int32_t kUsbdXactError = static_cast<std::int32_t>(0xC0000011);
constexpr std::int32_t kUsbdBabble = static_cast<std::int32_t>(0xC0000012);
constexpr std::int32_t kUsbdTimeout = static_cast<std::int32_t>(0xC0006000);

// Pipe handles are the endpoint address with a tag, so that 0 is never a valid handle.
constexpr PipeHandle kPipeTag = 0x1B00;
PipeHandle HandleOf(std::uint8_t endpoint) {
    return kPipeTag | endpoint;
}
bool EndpointOf(PipeHandle pipe, std::uint8_t* endpoint) {
    if ((pipe & ~PipeHandle{0xFF}) != kPipeTag) return false;
    *endpoint = static_cast<std::uint8_t>(pipe & 0xFF);
    return true;
}

// Control transfers of the driver's own requests complete or fail within this time.
constexpr unsigned kControlTimeoutMs = 5000;

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}
}  // namespace

// --- Event thread -------------------------------------------------------------------------------

LibusbEvents::LibusbEvents(libusb_context* context) : context_(context) {
    thread_ = std::thread([this] {
        // Stop() interrupts the wait: an idle host sleeps here rather than waking each second.
        while (!stop_.load()) {
            timeval tv{3600, 0};
            libusb_handle_events_timeout_completed(context_, &tv, nullptr);
        }
    });
}

LibusbEvents::~LibusbEvents() {
    Stop();
}

void LibusbEvents::Stop() {
    if (!thread_.joinable()) return;
    stop_.store(true);
    libusb_interrupt_event_handler(context_);
    thread_.join();
}

// --- Status mapping -----------------------------------------------------------------------------

MappedStatus MapTransferStatus(libusb_transfer_status status, bool deviceGone) {
    if (deviceGone && status != LIBUSB_TRANSFER_COMPLETED) {
        return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
    }
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
        case LIBUSB_TRANSFER_STALL:
            return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        case LIBUSB_TRANSFER_NO_DEVICE:
            return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
        case LIBUSB_TRANSFER_CANCELLED:
            return {STATUS_CANCELLED, USBD_STATUS_CANCELED};
        case LIBUSB_TRANSFER_TIMED_OUT:
            return {STATUS_IO_TIMEOUT, kUsbdTimeout};
        case LIBUSB_TRANSFER_OVERFLOW:
            return {STATUS_UNSUCCESSFUL, kUsbdBabble};
        case LIBUSB_TRANSFER_ERROR:
        default:
            return {STATUS_UNSUCCESSFUL, kUsbdXactError};
    }
}

MappedStatus MapError(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS:
            return {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
        case LIBUSB_ERROR_NO_DEVICE:
            return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
        case LIBUSB_ERROR_PIPE:
            return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        case LIBUSB_ERROR_ACCESS:
            return {STATUS_ACCESS_DENIED, kUsbdXactError};
        case LIBUSB_ERROR_BUSY:
            return {STATUS_DEVICE_BUSY, kUsbdXactError};
        case LIBUSB_ERROR_NO_MEM:
            return {STATUS_INSUFFICIENT_RESOURCES, kUsbdXactError};
        case LIBUSB_ERROR_TIMEOUT:
            return {STATUS_IO_TIMEOUT, kUsbdTimeout};
        case LIBUSB_ERROR_INVALID_PARAM:
        case LIBUSB_ERROR_NOT_FOUND:
            return {STATUS_INVALID_PARAMETER, kUsbdXactError};
        default:
            return {STATUS_UNSUCCESSFUL, kUsbdXactError};
    }
}

// --- The bus ------------------------------------------------------------------------------------

LibusbBus::LibusbBus(libusb_device_handle* handle, Trace trace)
    : handle_(handle), trace_(std::move(trace)) {}

LibusbBus::~LibusbBus() {
    Disconnect();
    WaitIdle();
    for (int n : claimed_) libusb_release_interface(handle_, n);
    libusb_close(handle_);
}

void LibusbBus::Log(const std::string& line) const {
    if (trace_) trace_(line);
}

std::vector<std::string> LibusbBus::HardwareIds() const {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(libusb_get_device(handle_), &d) != 0) return {};
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X", d.idVendor, d.idProduct,
                  d.bcdDevice);
    std::vector<std::string> ids{text};
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
    ids.emplace_back(text);
    return ids;
}

std::string LibusbBus::Describe(const Urb* urb) const {
    auto& u = const_cast<Urb&>(*urb);
    switch (urb->Hdr.Function) {
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE: {
            auto& c = u.As<UrbControlVendorOrClass>();
            const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            const unsigned type = (urb->Hdr.Function == URB_FUNCTION_VENDOR_DEVICE ? 0x40 : 0x21) |
                                  (in ? 0x80 : 0) | c.RequestTypeReservedBits;
            return "CONTROL " + Hex(type, 2) + " " + Hex(c.Request, 2) + " " + Hex(c.Value, 4) +
                   " " + Hex(c.Index, 4) + " " + Hex(c.TransferBufferLength, 4);
        }
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& d = u.As<UrbDescriptorRequest>();
            return "GET_DESCRIPTOR type " + std::to_string(d.DescriptorType) + " index " +
                   std::to_string(d.Index) + " length " + std::to_string(d.TransferBufferLength);
        }
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return u.As<UrbSelectConfiguration>().ConfigurationDescriptor ? "SELECT_CONFIGURATION"
                                                                          : "UNCONFIGURE";
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& t = u.As<UrbBulkOrInterruptTransfer>();
            return "TRANSFER " + Hex(static_cast<unsigned>(t.Pipe & 0xFF), 2) + " " +
                   std::to_string(t.TransferBufferLength);
        }
        case URB_FUNCTION_RESET_PIPE:
            return "RESET_PIPE " +
                   Hex(static_cast<unsigned>(u.As<UrbPipeRequest>().Pipe & 0xFF), 2);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
            return std::string(urb->Hdr.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ? "SET"
                                                                                       : "CLEAR") +
                   "_FEATURE " + std::to_string(u.As<UrbFeatureRequest>().FeatureSelector);
        default:
            return "URB function " + Hex(urb->Hdr.Function, 4);
    }
}

NTSTATUS LibusbBus::CompleteNow(Irp* irp, Urb* urb, MappedStatus result) {
    urb->Hdr.Status = result.usbd;
    if (!NT_SUCCESS(result.status) &&
        urb->Hdr.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        urb->As<UrbBulkOrInterruptTransfer>().TransferBufferLength = 0;
    }
    irp->IoStatus.Status = result.status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp);
    return result.status;
}

NTSTATUS LibusbBus::SelectConfiguration(UrbSelectConfiguration& s) {
    if (!s.ConfigurationDescriptor) {
        for (int n : claimed_) libusb_release_interface(handle_, n);
        claimed_.clear();
        return STATUS_SUCCESS;
    }
    const std::span<const std::uint8_t> config(s.ConfigurationDescriptor,
                                               s.ConfigurationDescriptorLength);
    if (config.size() < 9) return STATUS_INVALID_PARAMETER;
    // A kernel driver bound to the cable lets go of it first.
    libusb_set_auto_detach_kernel_driver(handle_, 1);
    for (const UsbInterfaceInformation& info : s.Interfaces) {
        if (libusb_kernel_driver_active(handle_, info.InterfaceNumber) == 1) {
            const int r = libusb_detach_kernel_driver(handle_, info.InterfaceNumber);
            if (r != 0) {
                Log("the kernel's driver will not let go of interface " +
                    std::to_string(info.InterfaceNumber) + ": " + libusb_error_name(r));
                return STATUS_DEVICE_BUSY;
            }
        }
    }
    int r = libusb_set_configuration(handle_, config[5]);
    if (r != 0) {
        Log(std::string("set configuration: ") + libusb_error_name(r));
        return MapError(r).status;
    }
    for (UsbInterfaceInformation& info : s.Interfaces) {
        if (!FillInterfaceInformation(config, info, &HandleOf)) return STATUS_INVALID_PARAMETER;
        r = libusb_claim_interface(handle_, info.InterfaceNumber);
        if (r != 0) {
            Log("claim interface " + std::to_string(info.InterfaceNumber) + ": " +
                libusb_error_name(r));
            return MapError(r).status;
        }
        claimed_.push_back(info.InterfaceNumber);
        std::lock_guard lock(mutex_);
        for (const UsbPipeInformation& pipe : info.Pipes)
            pipeTypes_[pipe.EndpointAddress] = pipe.Type;
    }
    s.ConfigurationHandle = 0xC0F1;
    return STATUS_SUCCESS;
}

NTSTATUS LibusbBus::SubmitUrb(Irp* irp, Urb* urb) {
    Log("URB " + Describe(urb));
    {
        std::lock_guard lock(mutex_);
        if (gone_) {
            return CompleteNow(irp, urb, {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE});
        }
    }
    switch (urb->Hdr.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            const NTSTATUS status = SelectConfiguration(urb->As<UrbSelectConfiguration>());
            return CompleteNow(irp, urb,
                               {status, NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : kUsbdXactError});
        }
        case URB_FUNCTION_RESET_PIPE: {
            std::uint8_t endpoint = 0;
            if (!EndpointOf(urb->As<UrbPipeRequest>().Pipe, &endpoint)) {
                return CompleteNow(irp, urb, {STATUS_INVALID_PARAMETER, kUsbdXactError});
            }
            return CompleteNow(irp, urb, MapError(libusb_clear_halt(handle_, endpoint)));
        }
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return StartTransfer(irp, urb);
        default:
            return CompleteNow(irp, urb, {STATUS_NOT_SUPPORTED, USBD_STATUS_STALL_PID});
    }
}

NTSTATUS LibusbBus::StartTransfer(Irp* irp, Urb* urb) {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (!transfer) return CompleteNow(irp, urb, {STATUS_INSUFFICIENT_RESOURCES, kUsbdXactError});
    std::vector<std::uint8_t> control;
    auto setupControl = [&](std::uint8_t type, std::uint8_t request, std::uint16_t value,
                            std::uint16_t index, void* buffer, std::uint32_t length) {
        const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(length, 0xFFFF));
        control.assign(LIBUSB_CONTROL_SETUP_SIZE + n, 0);
        libusb_fill_control_setup(control.data(), type, request, value, index, n);
        if (!(type & 0x80) && buffer && n) {
            std::memcpy(control.data() + LIBUSB_CONTROL_SETUP_SIZE, buffer, n);
        }
    };
    switch (urb->Hdr.Function) {
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE: {
            auto& c = urb->As<UrbControlVendorOrClass>();
            const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            const auto type = static_cast<std::uint8_t>(
                (urb->Hdr.Function == URB_FUNCTION_VENDOR_DEVICE ? 0x40 : 0x21) | (in ? 0x80 : 0) |
                c.RequestTypeReservedBits);
            setupControl(type, c.Request, c.Value, c.Index, c.TransferBuffer,
                         c.TransferBuffer ? c.TransferBufferLength : 0);
            break;
        }
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& d = urb->As<UrbDescriptorRequest>();
            setupControl(0x80, LIBUSB_REQUEST_GET_DESCRIPTOR,
                         static_cast<std::uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId,
                         d.TransferBuffer, d.TransferBuffer ? d.TransferBufferLength : 0);
            break;
        }
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: {
            auto& f = urb->As<UrbFeatureRequest>();
            setupControl(0x00,
                         urb->Hdr.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE
                             ? LIBUSB_REQUEST_SET_FEATURE
                             : LIBUSB_REQUEST_CLEAR_FEATURE,
                         f.FeatureSelector, f.Index, nullptr, 0);
            break;
        }
        default:
            break;
    }
    if (!control.empty()) {
        libusb_fill_control_transfer(transfer, handle_, nullptr, &LibusbBus::OnTransfer, nullptr,
                                     kControlTimeoutMs);
    } else {
        auto& t = urb->As<UrbBulkOrInterruptTransfer>();
        std::uint8_t endpoint = 0;
        if (!EndpointOf(t.Pipe, &endpoint)) {
            libusb_free_transfer(transfer);
            return CompleteNow(irp, urb, {STATUS_INVALID_PARAMETER, kUsbdXactError});
        }
        libusb_transfer_type type = LIBUSB_TRANSFER_TYPE_BULK;
        {
            std::lock_guard lock(mutex_);
            const auto it = pipeTypes_.find(endpoint);
            if (it != pipeTypes_.end() && it->second == PipeType::Interrupt) {
                type = LIBUSB_TRANSFER_TYPE_INTERRUPT;
            }
        }
        libusb_fill_bulk_transfer(transfer, handle_, endpoint,
                                  static_cast<unsigned char*>(t.TransferBuffer),
                                  static_cast<int>(t.TransferBuffer ? t.TransferBufferLength : 0),
                                  &LibusbBus::OnTransfer, nullptr, 0);
        transfer->type = static_cast<unsigned char>(type);
    }

    NTSTATUS early = STATUS_PENDING;
    MappedStatus failure{};
    {
        std::lock_guard lock(mutex_);
        if (gone_) {
            early = STATUS_DEVICE_NOT_CONNECTED;
            failure = {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
        } else {
            Pending& p = pending_[irp];
            p.irp = irp;
            p.urb = urb;
            p.transfer = transfer;
            p.bus = this;
            p.control = std::move(control);
            if (!p.control.empty()) transfer->buffer = p.control.data();
            if (!p.control.empty()) transfer->length = static_cast<int>(p.control.size());
            transfer->user_data = &p;
            IoMarkIrpPending(irp);
            irp->DriverContext[0] = this;
            IoSetCancelRoutine(irp, &LibusbBus::CancelRoutine);
            if (irp->Cancel.load() && IoSetCancelRoutine(irp, nullptr)) {
                pending_.erase(irp);
                early = STATUS_CANCELLED;
                failure = {STATUS_CANCELLED, USBD_STATUS_CANCELED};
            } else {
                const int r = libusb_submit_transfer(transfer);
                if (r != 0) {
                    failure = MapError(r);
                    if (IoSetCancelRoutine(irp, nullptr)) {
                        pending_.erase(irp);
                        early = failure.status;
                    } else {
                        // Its cancel routine is on the way and completes it.
                        p.done = true;
                        p.result = failure;
                    }
                }
            }
        }
    }
    if (early == STATUS_PENDING) return STATUS_PENDING;
    libusb_free_transfer(transfer);
    Log("URB failed at once: " + Describe(urb));
    if (irp->PendingReturned) {
        // Marked pending: completes as a pending request does (at dispatch level).
        IrqlScope atDispatch(Irql::Dispatch);
        CompleteNow(irp, urb, failure);
        return STATUS_PENDING;
    }
    return CompleteNow(irp, urb, failure);
}

void LIBUSB_CALL LibusbBus::OnTransfer(libusb_transfer* transfer) {
    auto* p = static_cast<Pending*>(transfer->user_data);
    LibusbBus* bus = p->bus;
    if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE) {
        std::function<void()> gone;
        {
            std::lock_guard lock(bus->mutex_);
            if (!bus->goneReported_) gone = bus->onGone_;
            bus->goneReported_ = true;
        }
        if (gone) gone();
    }
    std::unique_lock lock(bus->mutex_);
    p->done = true;
    p->result = MapTransferStatus(transfer->status, bus->gone_);
    p->actual = static_cast<std::size_t>(transfer->actual_length);
    const bool claimed = IoSetCancelRoutine(p->irp, nullptr) != nullptr;
    if (!claimed && !p->cancelSeen) return;  // the cancel routine completes it
    Pending taken = std::move(*p);
    bus->pending_.erase(taken.irp);
    lock.unlock();
    bus->Finish(taken);
}

// Called with the cancel spin lock held, which it lets go (taken in IoCancelIrp): unchecked.
void LibusbBus::CancelRoutine(DeviceObject*, Irp* irp) NO_THREAD_SAFETY_ANALYSIS {
    IoReleaseCancelSpinLock(irp->kernel(), irp->CancelIrql);
    auto* bus = static_cast<LibusbBus*>(irp->DriverContext[0]);
    std::unique_lock lock(bus->mutex_);
    auto it = bus->pending_.find(irp);
    if (it == bus->pending_.end()) return;
    Pending& p = it->second;
    p.cancelSeen = true;
    if (!p.done) {
        // The transfer's completion (cancelled, or finished meanwhile) completes the request.
        libusb_cancel_transfer(p.transfer);
        return;
    }
    Pending taken = std::move(p);
    bus->pending_.erase(it);
    lock.unlock();
    bus->Finish(taken);
}

void LibusbBus::Finish(Pending& p) {
    Urb* urb = p.urb;
    if (NT_SUCCESS(p.result.status)) {
        switch (urb->Hdr.Function) {
            case URB_FUNCTION_VENDOR_DEVICE:
            case URB_FUNCTION_CLASS_INTERFACE: {
                auto& c = urb->As<UrbControlVendorOrClass>();
                if ((c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && c.TransferBuffer) {
                    std::memcpy(c.TransferBuffer, p.control.data() + LIBUSB_CONTROL_SETUP_SIZE,
                                p.actual);
                }
                c.TransferBufferLength = static_cast<std::uint32_t>(p.actual);
                break;
            }
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
                auto& d = urb->As<UrbDescriptorRequest>();
                if (d.TransferBuffer) {
                    std::memcpy(d.TransferBuffer, p.control.data() + LIBUSB_CONTROL_SETUP_SIZE,
                                p.actual);
                }
                d.TransferBufferLength = static_cast<std::uint32_t>(p.actual);
                break;
            }
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                urb->As<UrbBulkOrInterruptTransfer>().TransferBufferLength =
                    static_cast<std::uint32_t>(p.actual);
                break;
            default:
                break;
        }
    }
    libusb_free_transfer(p.transfer);
    if (!NT_SUCCESS(p.result.status)) {
        char text[16];
        std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(p.result.status));
        Log("URB " + Describe(urb) + " failed: " + text);
    } else {
        Log("URB " + Describe(urb) + " done");
    }
    {
        // A host controller completes transfers at dispatch level.
        IrqlScope atDispatch(Irql::Dispatch);
        CompleteNow(p.irp, urb, p.result);
    }
    std::lock_guard lock(mutex_);
    if (pending_.empty()) idle_.notify_all();
}

NTSTATUS LibusbBus::ResetPort(Irp* irp) {
    Log("RESET_PORT");
    NTSTATUS status;
    {
        std::lock_guard lock(mutex_);
        status = gone_ ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) status = MapError(libusb_reset_device(handle_)).status;
    irp->IoStatus.Status = status;
    IrqlScope atDispatch(Irql::Dispatch);
    IoCompleteRequest(irp);
    return status;
}

void LibusbBus::Disconnect() {
    std::lock_guard lock(mutex_);
    gone_ = true;
    for (auto& [irp, p] : pending_) {
        if (!p.done) libusb_cancel_transfer(p.transfer);
    }
}

void LibusbBus::SetOnDeviceGone(std::function<void()> onGone) {
    std::lock_guard lock(mutex_);
    onGone_ = std::move(onGone);
}

bool LibusbBus::Disconnected() const {
    std::lock_guard lock(mutex_);
    return gone_;
}

std::size_t LibusbBus::InFlight() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

void LibusbBus::WaitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return pending_.empty(); });
}

}  // namespace vm::drv::libusb
