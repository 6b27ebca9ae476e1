// What every USB bus does with the URBs it is handed, whatever carries them to a device:
//
// - a URB read as the wire sees it: a control transfer's setup packet and data stage (vendor,
//   class and standard requests: descriptors, features), a bulk or interrupt transfer on an
//   endpoint, a pipe reset, a configuration selected or dropped;
// - the select-configuration fill-in: interface information and pipe handles from the
//   configuration descriptor;
// - requests kept pending and cancellable, with one protocol for a cancel that meets the end of
//   the request's transfer;
// - completion at dispatch level, as a host controller completes.
//
// A bus is this base and the thing that carries the requests (Carry): the simulated chip's model,
// or libusb and a real cable.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "driver/platform/mutex.h"
#include "driver/platform/usb.h"
#include "driver/platform/usb_setup.h"

namespace vm::drv {

// A URB as the wire sees it. Its spans and pointers point into the URB.
struct UsbRequest {
    enum class Kind : std::uint8_t {
        Control,  // vendor, class and standard requests (descriptors, features)
        SelectConfiguration,
        Unconfigure,
        Transfer,  // bulk or interrupt
        ResetPipe,
        Unsupported,  // a URB function no bus carries
    };
    Kind kind = Kind::Unsupported;
    std::uint16_t function = 0;  // the URB's
    std::uint16_t urbLength = 0;
    std::uint32_t transferFlags = 0;
    UsbSetupPacket setup;  // Control
    // Control: the data stage (OUT bytes, or room for the IN bytes); Transfer: the buffer.
    std::span<std::uint8_t> data;
    // Transfer and ResetPipe: the endpoint of the pipe handle; none when the handle is not one a
    // bus gave out.
    std::optional<std::uint8_t> endpoint;
    UrbSelectConfiguration* configuration = nullptr;  // SelectConfiguration

    // Data moves from the device to the host.
    bool In() const;
};

UsbRequest ReadUrb(Urb& urb);

// The pipe handle a bus gives an endpoint, and back (none for a handle it did not give).
PipeHandle UsbPipeHandle(std::uint8_t endpoint);
std::optional<std::uint8_t> UsbPipeEndpoint(PipeHandle pipe);

// How a request ends: its status, the USBD status in the URB, the bytes moved.
struct UsbResult {
    NTSTATUS status = STATUS_SUCCESS;
    std::int32_t usbd = USBD_STATUS_SUCCESS;
    std::size_t bytes = 0;
};

class UsbBusBase : public UsbBus {
public:
    UsbBusBase() = default;
    // Requests still kept complete as cancelled, so that their owners can free them.
    ~UsbBusBase() override;
    UsbBusBase(const UsbBusBase&) = delete;
    UsbBusBase& operator=(const UsbBusBase&) = delete;

    NTSTATUS SubmitUrb(Irp* irp, Urb* urb) final;
    NTSTATUS ResetPort(Irp* irp) final;

    // Requests kept pending.
    std::size_t PendingCount() const EXCLUDES(mutex_);

protected:
    using Result = UsbResult;
    static constexpr Result kStall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    static constexpr Result kCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};
    static constexpr Result kDeviceGone{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};

    // Completions gathered with the lock held, finished in order once it is let go.
    class Completions {
    public:
        void Add(Irp* irp, Urb* urb, const Result& result) { list_.push_back({irp, urb, result}); }

    private:
        friend class UsbBusBase;
        struct Entry {
            Irp* irp;
            Urb* urb;
            Result result;
        };
        std::vector<Entry> list_;
        Irp* kept_ = nullptr;  // the submitted request, once kept (it returns STATUS_PENDING)
    };

    // A request kept pending. `wait` and `context` are the bus's own.
    struct Kept {
        Irp* irp = nullptr;
        Urb* urb = nullptr;
        UsbRequest request;
        int wait = 0;
        void* context = nullptr;
        bool ended = false;       // its transfer has ended, with `result`
        bool cancelSeen = false;  // its cancel routine has run
        Result result;
    };

    // Carries a submitted request: either adds its completion to `done`, or keeps it (Keep).
    // It may complete other kept requests too (added to `done` after it).
    virtual void Carry(Irp* irp, Urb* urb, UsbRequest& request, Completions& done)
        EXCLUDES(mutex_) = 0;
    // IOCTL_INTERNAL_USB_RESET_PORT: resets the device, returns the status.
    virtual NTSTATUS ResetDevice() EXCLUDES(mutex_) = 0;
    // A kept request's cancel routine ran before its transfer ended: true when the bus has set
    // about cancelling the transfer and will report its end (Ended); false to complete the
    // request as cancelled now.
    virtual bool CancelInFlight(Kept&) REQUIRES(mutex_) { return false; }
    // Called with each request just before it is completed, no longer cancellable.
    virtual void BeforeComplete(Irp*) EXCLUDES(mutex_) {}

    // Keeps a request pending and cancellable; false when it was cancelled already (its
    // cancelled completion is added to `done`).
    bool Keep(Irp* irp, Urb* urb, const UsbRequest& request, int wait, void* context,
              Completions& done) REQUIRES(mutex_);
    // Takes the kept request at `index` for completing it; false (and it stays) when its cancel
    // routine is on the way.
    bool Take(std::size_t index, Kept& out) REQUIRES(mutex_);
    // A kept request's transfer has ended: it completes with the result, or, when its cancel
    // routine is on the way, the routine completes it with the result.
    void End(Irp* irp, const Result& result, Completions& done) REQUIRES(mutex_);
    void Ended(Irp* irp, const Result& result) EXCLUDES(mutex_);
    // Completes every kept request that can be taken with `result`.
    void EndAllKept(const Result& result) EXCLUDES(mutex_);
    // Finishes the gathered completions (the lock not held); returns the status for `own`:
    // STATUS_PENDING when it was kept or is not among them.
    NTSTATUS Finish(Completions& done, Irp* own = nullptr) EXCLUDES(mutex_);

    // Fills a select-configuration request's interface records from its configuration
    // descriptor, with this bus's pipe handles; false when they do not match the descriptor.
    bool FillConfiguration(UrbSelectConfiguration& configuration) REQUIRES(mutex_);
    // The type of an endpoint's pipe, as the last configuration described it.
    PipeType PipeTypeOf(std::uint8_t endpoint) const EXCLUDES(mutex_);

    mutable Mutex mutex_;
    std::deque<Kept> pending_ GUARDED_BY(mutex_);

private:
    static void CancelRoutine(DeviceObject* device, Irp* irp);
    void Complete(Irp* irp, Urb* urb, const Result& result);

    std::array<PipeType, 256> pipeTypes_ GUARDED_BY(mutex_){};
};

}  // namespace vm::drv
