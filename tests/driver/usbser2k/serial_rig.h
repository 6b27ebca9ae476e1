// A cable plugged in and started under usbser2k, and an application's handle on its port.
// The clock is driven by hand (manual mode): calls that wait run on a helper thread while the
// test moves the clock, so every time-out is checked at its exact virtual time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <type_traits>

#include "driver/platform/host_io.h"
#include "driver/platform/pnp_manager.h"
#include "driver/platform/usb.h"
#include "driver/sim/sim_chip.h"
#include "driver/usbser2k/usbser2k.h"

namespace vm::drv::usbser2k::testing {

inline const std::string kService =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser2k";

class SerialRig {
public:
    explicit SerialRig(int variant = 2)
        : bus(kernel),
          chip(kernel, sim::ChipProfile::ForVariant(variant)),
          driver(kernel, "\\Driver\\usbser2k"),
          pnp(kernel) {
        kernel.SetClockMode(Kernel::ClockMode::Manual);
        kernel.SetTimerResolution(kMillisecond);
        pdo = bus.CreatePdo(chip);
        EXPECT_EQ(DriverEntry(&driver, kService), STATUS_SUCCESS);
        kernel.registry().SetString(IoOpenDeviceRegistryKey(pdo), "PortName", "COM5");
        EXPECT_EQ(Drive([&] {
                      const NTSTATUS added = pnp.AddDevice(driver, pdo);
                      return NT_SUCCESS(added) ? pnp.Start(pdo) : added;
                  }),
                  STATUS_SUCCESS);
    }
    ~SerialRig() {
        Drive([&] {
            file.reset();
            chip.Unplug();
            if (pdo->AttachedDevice) pnp.Remove(pdo);
            return STATUS_SUCCESS;
        });
        if (driver.DriverExtension) driver.Unload(&driver);
        EXPECT_EQ(kernel.pool().LeakReport(), "");
        EXPECT_EQ(kernel.pool().BadFrees(), 0u);
    }

    Device& dev() { return pdo->AttachedDevice->Extension<Device>(); }

    // Runs `body` on a helper thread, moving the clock a millisecond at a time while it waits.
    // The clock moves only while every blocked thread is stuck: one whose event was set or whose
    // deadline came goes on first, however long a loaded machine takes to run it, so a wait never
    // looks longer than it was.
    template <class F>
    std::invoke_result_t<F> Drive(F&& body) {
        auto future = std::async(std::launch::async, std::forward<F>(body));
        while (future.wait_for(std::chrono::microseconds(50)) != std::future_status::ready) {
            const std::size_t blocked = kernel.BlockedWaiters();
            if (blocked > 0 && kernel.StuckWaiters() == blocked) kernel.Advance(kMillisecond);
        }
        return future.get();
    }

    NTSTATUS Open() {
        return Drive([&] { return host::HostFile::Open(kernel, "\\DosDevices\\COM5", &file); });
    }
    template <class T>
    NTSTATUS Set(std::uint32_t code, const T& value) {
        return Drive([&] { return file->DeviceIoControl(code, &value, sizeof value, nullptr, 0); });
    }
    NTSTATUS Do(std::uint32_t code) {
        return Drive([&] { return file->DeviceIoControl(code, nullptr, 0, nullptr, 0); });
    }
    template <class T>
    NTSTATUS Get(std::uint32_t code, T* value) {
        return Drive([&] { return file->DeviceIoControl(code, nullptr, 0, value, sizeof *value); });
    }
    // Reads the handshake record, lets `edit` change it and sets it; the record as set.
    template <class F>
    NTSTATUS EditHandflow(F&& edit, SerialHandflow* applied = nullptr) {
        SerialHandflow hf{};
        const NTSTATUS got = Get(IOCTL_SERIAL_GET_HANDFLOW, &hf);
        if (!NT_SUCCESS(got)) return got;
        edit(hf);
        if (applied) *applied = hf;
        return Set(IOCTL_SERIAL_SET_HANDFLOW, hf);
    }
    NTSTATUS SetTimeouts(std::uint32_t rit, std::uint32_t rtm, std::uint32_t rtc,
                         std::uint32_t wtm = 0, std::uint32_t wtc = 0) {
        return Set(IOCTL_SERIAL_SET_TIMEOUTS, SerialTimeouts{rit, rtm, rtc, wtm, wtc});
    }

    // Starts a call on a helper thread without moving the clock; the test moves it.
    template <class F>
    auto Start(F&& body) {
        auto future = std::async(std::launch::async, std::forward<F>(body));
        return future;
    }
    struct ReadResult {
        NTSTATUS status;
        std::vector<std::uint8_t> data;
        std::uint32_t reported = 0;  // what the driver counted, even for a failed read
    };
    std::future<ReadResult> StartRead(std::uint32_t length) {
        return Start([this, length] {
            ReadResult r;
            r.data.resize(length);
            std::uint32_t got = 0;
            r.status = file->Read(r.data.data(), length, &got, &r.reported);
            r.data.resize(got);
            return r;
        });
    }
    // Waits (real time, briefly) until the helper's request is pending in the driver.
    void UntilPending() { kernel.WaitForBlockedWaiters(1); }

    void Inject(std::string_view bytes) {
        chip.InjectReceive(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    }
    void InjectStatus(std::uint8_t statusByte) {
        std::array<std::uint8_t, 10> n{};
        n[8] = statusByte;
        chip.InjectStatus(n);
    }

    Kernel kernel;
    UsbBusDriver bus;
    sim::SimChip chip;
    DriverObject driver;
    PnpManager pnp;
    DeviceObject* pdo = nullptr;
    std::unique_ptr<host::HostFile> file;
};

template <class T>
bool Ready(std::future<T>& f) {
    return f.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
}
// A pending request stays pending: checked after letting other threads run a little.
template <class T>
bool StillPending(std::future<T>& f) {
    return f.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready;
}

}  // namespace vm::drv::usbser2k::testing
