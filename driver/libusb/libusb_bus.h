// The USB bus of a real cable: URBs carried out with libusb-1.0.
//
// SELECT_CONFIGURATION detaches a kernel driver bound to the cable's interfaces, sets the
// configuration, claims the interfaces and fills the pipe handles (unconfigure releases them);
// GET_DESCRIPTOR, vendor and class requests are control transfers; bulk and interrupt transfers
// are asynchronous libusb transfers; RESET_PIPE clears the halt, RESET_PORT resets the device.
// A request kept pending is cancellable: its cancel routine cancels the libusb transfer, which
// completes the request with STATUS_CANCELLED. Every asynchronous request completes on the
// event thread (LibusbEvents) at dispatch level, as a host controller completes them.
#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/platform/usb.h"

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

class LibusbBus final : public UsbBus {
public:
    using Trace = std::function<void(const std::string& line)>;
    // Takes over the open handle (closed by the destructor). `trace`, when set, is told of each
    // URB and its completion.
    explicit LibusbBus(libusb_device_handle* handle, Trace trace = {});
    ~LibusbBus() override;
    LibusbBus(const LibusbBus&) = delete;
    LibusbBus& operator=(const LibusbBus&) = delete;

    NTSTATUS SubmitUrb(Irp* irp, Urb* urb) override;
    NTSTATUS ResetPort(Irp* irp) override;
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
    struct Pending {
        Irp* irp = nullptr;
        Urb* urb = nullptr;
        libusb_transfer* transfer = nullptr;
        std::vector<std::uint8_t> control;  // setup packet and data stage of a control transfer
        bool done = false;                  // the transfer has completed
        bool cancelSeen = false;            // the request's cancel routine has run
        MappedStatus result{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
        LibusbBus* bus = nullptr;
        std::size_t actual = 0;
    };

    static void LIBUSB_CALL OnTransfer(libusb_transfer* transfer);
    static void CancelRoutine(DeviceObject* device, Irp* irp);
    NTSTATUS CompleteNow(Irp* irp, Urb* urb, MappedStatus result);
    void Finish(Pending& p);
    NTSTATUS SelectConfiguration(UrbSelectConfiguration& s);
    NTSTATUS StartTransfer(Irp* irp, Urb* urb);
    void Log(const std::string& line) const;
    std::string Describe(const Urb* urb) const;

    libusb_device_handle* handle_;
    Trace trace_;
    std::vector<int> claimed_;

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::map<Irp*, Pending> pending_;
    std::map<std::uint8_t, PipeType> pipeTypes_;
    bool gone_ = false;
    bool goneReported_ = false;
    std::function<void()> onGone_;
};

}  // namespace vm::drv::libusb
