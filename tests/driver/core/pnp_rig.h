// A cable plugged into the simulated system: kernel, bus, simulated chip, one of the drivers
// loaded, and the plug-and-play manager; plus the requests an application's handle sends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "driver/platform/pnp_manager.h"
#include "driver/platform/usb.h"
#include "driver/sim/sim_chip.h"

namespace vm::drv::testing {

// Runs `body` and stops the test program if it has not finished within the time: a hang in a
// stop or a removal is a failure, not a test run that never ends.
template <class F>
void WithinWatchdog(const char* what, F&& body,
                    std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread worker([&body, done] {
        body();
        done->set_value();
    });
    if (finished.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << what << " did not finish";
        std::fprintf(stderr, "watchdog: %s hangs\n", what);
        std::_Exit(1);
    }
    worker.join();
}

// A chip whose bus reports no hardware identifiers.
class SilentBusChip : public sim::SimChip {
public:
    using SimChip::SimChip;
    std::vector<std::string> HardwareIds() const override { return {}; }
};

// Sends a request without data to a device and waits for it; returns its final status.
inline NTSTATUS SendRequest(DeviceObject* device, std::uint8_t major, FileObject* file,
                            std::uint32_t createOptions = 0) {
    Kernel& kernel = device->kernel();
    Irp* irp;
    {
        const Pool::Suspend system(kernel.pool());
        irp = IoAllocateIrp(kernel, device->StackSize);
    }
    KEvent done(kernel);
    IoStatusBlock iosb{STATUS_PENDING, 0};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->File = file;
    next->Parameters.Create.Options = createOptions;
    const NTSTATUS returned = IoCallDriver(device, irp);
    kernel.Wait(done);
    EXPECT_TRUE(returned == STATUS_PENDING || returned == iosb.Status);
    IoFreeIrp(irp);
    return iosb.Status;
}

// An application's handle: open by name (through symbolic links), close as cleanup then close.
class Handle {
public:
    Handle(Kernel& kernel, const std::string& name) {
        device_ = IoGetDeviceObjectByName(kernel, name);
        status_ =
            device_ ? SendRequest(device_, IRP_MJ_CREATE, &file_) : STATUS_OBJECT_NAME_NOT_FOUND;
        file_.Device = device_;
    }
    ~Handle() { Close(); }
    NTSTATUS status() const { return status_; }
    bool open() const { return NT_SUCCESS(status_) && !closed_; }
    NTSTATUS Close() {
        if (!open()) return STATUS_SUCCESS;
        closed_ = true;
        SendRequest(device_, IRP_MJ_CLEANUP, &file_);
        return SendRequest(device_, IRP_MJ_CLOSE, &file_);
    }

private:
    DeviceObject* device_ = nullptr;
    FileObject file_;
    NTSTATUS status_ = STATUS_UNSUCCESSFUL;
    bool closed_ = false;
};

}  // namespace vm::drv::testing
