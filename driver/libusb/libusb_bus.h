// The USB bus of a real cable: the bus base (usb_bus.h) with its requests carried out by
// libusb-1.0.
//
// SELECT_CONFIGURATION detaches a kernel driver bound to the cable's interfaces, sets the
// configuration, claims the interfaces and fills the pipe handles (unconfigure releases them);
// GET_DESCRIPTOR, vendor and class requests are control transfers; bulk and interrupt transfers
// are asynchronous libusb transfers; RESET_PIPE clears the halt, RESET_PORT resets the device.
// Control and bulk requests are kept pending while their libusb transfer is in flight; the
// request's cancel routine cancels the transfer, whose end completes the request (cancelled, or
// with what it brought when it ended first). They complete on the event thread (LibusbEvents).
#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/platform/usb_bus.h"

namespace vm::drv::libusb {

// Runs libusb's event handling for a context on its own thread until stopped.
class LibusbEvents {
public:
    explicit LibusbEvents(libusb_context* context);
    ~LibusbEvents();
    LibusbEvents(const LibusbEvents&) = delete;
    LibusbEvents& operator=(const LibusbEvents&) = delete;
    // Stops the thread (done once; the destructor does it too).
    void Stop();
    bool OnEventThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    libusb_context* context_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// How a libusb result reads as the platform's status and the URB's USBD status.
struct MappedStatus {
    NTSTATUS status;
    std::int32_t usbd;
};
MappedStatus MapTransferStatus(libusb_transfer_status status, bool deviceGone);
MappedStatus MapError(int libusbError);

class LibusbBus final : public UsbBusBase {
public:
    using Trace = std::function<void(const std::string& line)>;
    // Takes over the open handle (closed by the destructor). `trace`, when set, is told of each
    // URB and its completion.
    explicit LibusbBus(libusb_device_handle* handle, Trace trace = {});
    ~LibusbBus() override;

    // "USB\\VID_vvvv&PID_pppp&REV_rrrr" and "USB\\VID_vvvv&PID_pppp", from the device descriptor.
    std::vector<std::string> HardwareIds() const override;

    // The device has gone: transfers in flight are cancelled and complete with
    // STATUS_DEVICE_NOT_CONNECTED, as does every later request.
    void Disconnect();
    bool Disconnected() const;
    // Called once, from the event thread, when a transfer finds that the device has gone (the
    // owner learns of a departure that hotplug has not reported).
    void SetOnDeviceGone(std::function<void()> onGone);
    // Asynchronous transfers not yet completed.
    std::size_t InFlight() const;
    // Waits until none is in flight (the event thread must be running).
    void WaitIdle();

private:
    struct Transfer;

    void Carry(Irp* irp, Urb* urb, UsbRequest& request, Completions& done) override;
    NTSTATUS ResetDevice() override;
    bool CancelInFlight(Kept& kept) override;
    static void LIBUSB_CALL OnTransfer(libusb_transfer* transfer);
    MappedStatus SelectConfiguration(UrbSelectConfiguration& s);
    void Start(Irp* irp, Urb* urb, const UsbRequest& request, Completions& done);
    void Log(const std::string& line) const;

    libusb_device_handle* handle_;
    Trace trace_;
    std::vector<int> claimed_;

    std::condition_variable idle_;
    std::size_t inFlight_ GUARDED_BY(mutex_) = 0;  // transfers submitted and not yet ended
    std::size_t running_ GUARDED_BY(mutex_) = 0;   // ... whose end is not yet fully handled
    bool gone_ GUARDED_BY(mutex_) = false;
    bool goneReported_ GUARDED_BY(mutex_) = false;
    std::function<void()> onGone_ GUARDED_BY(mutex_);
};

}  // namespace vm::drv::libusb
