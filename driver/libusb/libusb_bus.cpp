#include "driver/libusb/libusb_bus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vm::drv::libusb {

namespace {
// USBD status codes for what the platform's header has no name for here.
constexpr std::int32_t kUsbdXactError = static_cast<std::int32_t>(0xC0000011);
constexpr std::int32_t kUsbdBabble = static_cast<std::int32_t>(0xC0000012);
constexpr std::int32_t kUsbdTimeout = static_cast<std::int32_t>(0xC0006000);

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

// A request's libusb transfer: the transfer, and for a control request its setup packet and
// data stage.
struct LibusbBus::Transfer {
    LibusbBus* bus = nullptr;
    Irp* irp = nullptr;
    Urb* urb = nullptr;
    UsbRequest request;
    libusb_transfer* transfer = nullptr;
    std::vector<std::uint8_t> control;
};

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

namespace {
std::string Describe(const UsbRequest& r) {
    switch (r.kind) {
        case UsbRequest::Kind::Control:
            return "CONTROL " + Hex(r.setup.requestType, 2) + " " + Hex(r.setup.request, 2) + " " +
                   Hex(r.setup.value, 4) + " " + Hex(r.setup.index, 4) + " " +
                   Hex(r.setup.length, 4);
        case UsbRequest::Kind::SelectConfiguration:
            return "SELECT_CONFIGURATION";
        case UsbRequest::Kind::Unconfigure:
            return "UNCONFIGURE";
        case UsbRequest::Kind::Transfer:
            return "TRANSFER " + Hex(r.endpoint.value_or(0), 2) + " " +
                   std::to_string(r.data.size());
        case UsbRequest::Kind::ResetPipe:
            return "RESET_PIPE " + Hex(r.endpoint.value_or(0), 2);
        case UsbRequest::Kind::Unsupported:
            break;
    }
    return "URB function " + Hex(r.function, 4);
}

UsbResult ResultOf(MappedStatus mapped, std::size_t bytes = 0) {
    return {mapped.status, mapped.usbd, bytes};
}
}  // namespace

MappedStatus LibusbBus::SelectConfiguration(UrbSelectConfiguration& s) {
    const std::span<const std::uint8_t> config(s.ConfigurationDescriptor,
                                               s.ConfigurationDescriptorLength);
    if (config.size() < 9) return {STATUS_INVALID_PARAMETER, kUsbdXactError};
    // A kernel driver bound to the cable lets go of it first.
    libusb_set_auto_detach_kernel_driver(handle_, 1);
    for (const UsbInterfaceInformation& info : s.Interfaces) {
        if (libusb_kernel_driver_active(handle_, info.InterfaceNumber) == 1) {
            const int r = libusb_detach_kernel_driver(handle_, info.InterfaceNumber);
            if (r != 0) {
                Log("the kernel's driver will not let go of interface " +
                    std::to_string(info.InterfaceNumber) + ": " + libusb_error_name(r));
                return {STATUS_DEVICE_BUSY, kUsbdXactError};
            }
        }
    }
    int r = libusb_set_configuration(handle_, config[5]);
    if (r != 0) {
        Log(std::string("set configuration: ") + libusb_error_name(r));
        return {MapError(r).status, kUsbdXactError};
    }
    {
        MutexLock lock(mutex_);
        if (!FillConfiguration(s)) return {STATUS_INVALID_PARAMETER, kUsbdXactError};
    }
    for (const UsbInterfaceInformation& info : s.Interfaces) {
        r = libusb_claim_interface(handle_, info.InterfaceNumber);
        if (r != 0) {
            Log("claim interface " + std::to_string(info.InterfaceNumber) + ": " +
                libusb_error_name(r));
            return {MapError(r).status, kUsbdXactError};
        }
        claimed_.push_back(info.InterfaceNumber);
    }
    return {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
}

void LibusbBus::Carry(Irp* irp, Urb* urb, UsbRequest& request, Completions& done) {
    Log("URB " + Describe(request));
    {
        MutexLock lock(mutex_);
        if (gone_) return done.Add(irp, urb, kDeviceGone);
    }
    switch (request.kind) {
        case UsbRequest::Kind::SelectConfiguration:
            return done.Add(irp, urb, ResultOf(SelectConfiguration(*request.configuration)));
        case UsbRequest::Kind::Unconfigure:
            for (int n : claimed_) libusb_release_interface(handle_, n);
            claimed_.clear();
            return done.Add(irp, urb, {});
        case UsbRequest::Kind::ResetPipe:
            if (!request.endpoint) {
                return done.Add(irp, urb, {STATUS_INVALID_PARAMETER, kUsbdXactError});
            }
            return done.Add(irp, urb,
                            ResultOf(MapError(libusb_clear_halt(handle_, *request.endpoint))));
        case UsbRequest::Kind::Control:
        case UsbRequest::Kind::Transfer:
            return Start(irp, urb, request, done);
        case UsbRequest::Kind::Unsupported:
            break;
    }
    done.Add(irp, urb, {STATUS_NOT_SUPPORTED, USBD_STATUS_STALL_PID});
}

void LibusbBus::Start(Irp* irp, Urb* urb, const UsbRequest& request, Completions& done) {
    if (request.kind == UsbRequest::Kind::Transfer && !request.endpoint) {
        return done.Add(irp, urb, {STATUS_INVALID_PARAMETER, kUsbdXactError});
    }
    auto t = std::make_unique<Transfer>();
    t->transfer = libusb_alloc_transfer(0);
    if (!t->transfer) return done.Add(irp, urb, {STATUS_INSUFFICIENT_RESOURCES, kUsbdXactError});
    t->bus = this;
    t->irp = irp;
    t->urb = urb;
    t->request = request;
    if (request.kind == UsbRequest::Kind::Control) {
        const UsbSetupPacket& setup = request.setup;
        const auto n =
            static_cast<std::uint16_t>(std::min<std::size_t>(request.data.size(), 0xFFFF));
        t->control.assign(LIBUSB_CONTROL_SETUP_SIZE + n, 0);
        libusb_fill_control_setup(t->control.data(), setup.requestType, setup.request, setup.value,
                                  setup.index, n);
        if (!setup.In() && n) {
            std::memcpy(t->control.data() + LIBUSB_CONTROL_SETUP_SIZE, request.data.data(), n);
        }
        libusb_fill_control_transfer(t->transfer, handle_, t->control.data(),
                                     &LibusbBus::OnTransfer, t.get(), kControlTimeoutMs);
    } else {
        libusb_fill_bulk_transfer(t->transfer, handle_, *request.endpoint, request.data.data(),
                                  static_cast<int>(request.data.size()), &LibusbBus::OnTransfer,
                                  t.get(), 0);
        if (PipeTypeOf(*request.endpoint) == PipeType::Interrupt) {
            t->transfer->type = LIBUSB_TRANSFER_TYPE_INTERRUPT;
        }
    }
    libusb_transfer* transfer = t->transfer;
    {
        MutexLock lock(mutex_);
        if (gone_) {
            done.Add(irp, urb, kDeviceGone);
        } else if (Keep(irp, urb, request, 0, t.get(), done)) {
            const int r = libusb_submit_transfer(transfer);
            if (r == 0) {
                ++inFlight_;
                ++running_;
                t.release();  // the transfer's end frees it
                return;
            }
            Log("URB failed at once: " + Describe(request));
            End(irp, ResultOf(MapError(r)), done);
        }
    }
    libusb_free_transfer(transfer);
}

void LIBUSB_CALL LibusbBus::OnTransfer(libusb_transfer* transfer) {
    std::unique_ptr<Transfer> t(static_cast<Transfer*>(transfer->user_data));
    LibusbBus* bus = t->bus;
    std::function<void()> gone;
    bool deviceGone;
    {
        MutexLock lock(bus->mutex_);
        if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE && !bus->goneReported_) {
            bus->goneReported_ = true;
            gone = bus->onGone_;
        }
        deviceGone = bus->gone_;
    }
    if (gone) gone();
    const MappedStatus mapped = MapTransferStatus(transfer->status, deviceGone);
    const auto actual = static_cast<std::size_t>(std::max(transfer->actual_length, 0));
    // The bytes a control request brought go to the URB's buffer (still the request's own: it
    // completes below).
    if (NT_SUCCESS(mapped.status) && t->request.kind == UsbRequest::Kind::Control &&
        t->request.setup.In() && !t->request.data.empty()) {
        std::memcpy(t->request.data.data(), t->control.data() + LIBUSB_CONTROL_SETUP_SIZE,
                    std::min(actual, t->request.data.size()));
    }
    bus->Log("URB " + Describe(t->request) +
             (NT_SUCCESS(mapped.status)
                  ? std::string(" done")
                  : " failed: " + Hex(static_cast<unsigned>(mapped.status), 8)));
    Completions done;
    {
        MutexLock lock(bus->mutex_);
        --bus->inFlight_;
        bus->End(t->irp, ResultOf(mapped, actual), done);
    }
    bus->Finish(done);
    // Ended, the request no longer refers to the transfer: it can go.
    libusb_free_transfer(transfer);
    t.reset();
    MutexLock lock(bus->mutex_);
    if (--bus->running_ == 0) bus->idle_.notify_all();
}

bool LibusbBus::CancelInFlight(Kept& kept) {
    // The transfer's end (cancelled, or finished meanwhile) completes the request.
    libusb_cancel_transfer(static_cast<Transfer*>(kept.context)->transfer);
    return true;
}

NTSTATUS LibusbBus::ResetDevice() {
    Log("RESET_PORT");
    {
        MutexLock lock(mutex_);
        if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
    }
    return MapError(libusb_reset_device(handle_)).status;
}

void LibusbBus::Disconnect() {
    MutexLock lock(mutex_);
    gone_ = true;
    for (Kept& kept : pending_) {
        if (!kept.ended) libusb_cancel_transfer(static_cast<Transfer*>(kept.context)->transfer);
    }
}

void LibusbBus::SetOnDeviceGone(std::function<void()> onGone) {
    MutexLock lock(mutex_);
    onGone_ = std::move(onGone);
}

bool LibusbBus::Disconnected() const {
    MutexLock lock(mutex_);
    return gone_;
}

std::size_t LibusbBus::InFlight() const {
    MutexLock lock(mutex_);
    return inFlight_;
}

void LibusbBus::WaitIdle() {
    MutexLock lock(mutex_);
    idle_.wait(lock.native(), [&]() REQUIRES(mutex_) { return running_ == 0; });
}

}  // namespace vm::drv::libusb
