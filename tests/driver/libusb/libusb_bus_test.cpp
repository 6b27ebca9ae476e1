// The driver over libusb against cables emulated with umockdev (run under umockdev-wrapper).
#include "driver/libusb/libusb_bus.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <latch>
#include <mutex>
#include <span>
#include <thread>

#include "driver/platform/host_io.h"
#include "driver/platform/pnp_manager.h"
#include "driver/usbser2k/serial.h"
#include "driver/usbser2k/usbser2k.h"
#include "integration/cable_system.h"
#include "tests/driver/libusb/emulated_cable.h"
#include "tests/driver/libusb/fifo_turns.h"

namespace vm::drv::libusb {
namespace {

// The emulated device nodes exist only under umockdev's preload: started without it, the test
// program runs itself again under the wrapper (VM_UMOCKDEV_RUN).
struct UnderUmockdev {
    UnderUmockdev() {
        const char* preload = std::getenv("LD_PRELOAD");
        if (preload && std::strstr(preload, "umockdev")) return;
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return;
        self[n] = 0;
        std::string args;
        if (FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
            char buffer[8192];
            args.assign(buffer, std::fread(buffer, 1, sizeof buffer, f));
            std::fclose(f);
        }
        std::vector<char*> argv{const_cast<char*>(VM_UMOCKDEV_RUN), self};
        for (std::size_t at = args.find('\0'); at != std::string::npos && at + 1 < args.size();
             at = args.find('\0', at + 1)) {
            argv.push_back(&args[at + 1]);
        }
        argv.push_back(nullptr);
        ::execv(VM_UMOCKDEV_RUN, argv.data());
    }
} underUmockdev;

const char* kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbser2k";

// libusb in this process, with its event thread.
struct Context {
    libusb_context* context = nullptr;
    std::unique_ptr<LibusbEvents> events;
    Context() {
        if (libusb_init(&context) == 0) events = std::make_unique<LibusbEvents>(context);
    }
    ~Context() {
        events.reset();
        if (context) libusb_exit(context);
    }
    // The cable at the address, once libusb has seen it arrive.
    libusb_device_handle* Open(int address) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            if (libusb_device_handle* handle = TryOpen(address)) return handle;
            if (std::chrono::steady_clock::now() > deadline) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    libusb_device_handle* TryOpen(int address) const {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context, &list);
        libusb_device_handle* handle = nullptr;
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_device_address(list[i]) == address) {
                if (libusb_open(list[i], &handle) != 0) handle = nullptr;
            }
        }
        if (list) libusb_free_device_list(list, 1);
        return handle;
    }
};

// usbser2k on a cable reached through libusb.
struct Driven {
    Kernel kernel;
    UsbBusDriver busDriver{kernel};
    DriverObject driver{kernel, "\\Driver\\usbser2k"};
    PnpManager pnp{kernel};
    std::unique_ptr<LibusbBus> bus;
    DeviceObject* pdo = nullptr;
    bool started = false;

    explicit Driven(libusb_device_handle* handle) {
        kernel.SetClockMode(Kernel::ClockMode::WallClock);
        kernel.SetTimerResolution(kMillisecond);
        bus = std::make_unique<LibusbBus>(handle);
        pdo = busDriver.CreatePdo(*bus);
        usbser2k::DriverEntry(&driver, kService);
        kernel.registry().SetString(IoOpenDeviceRegistryKey(pdo), "PortName", "COM7");
    }
    NTSTATUS Start() {
        const NTSTATUS added = pnp.AddDevice(driver, pdo);
        if (!NT_SUCCESS(added)) return added;
        started = true;
        return pnp.Start(pdo);
    }
    // The cable has gone: what the host does when libusb reports its departure.
    void SurpriseRemove() {
        if (!started || surprised) return;
        surprised = true;
        bus->Disconnect();
        pnp.SurpriseRemoval(pdo);
    }
    void Remove() {
        if (!started) return;
        SurpriseRemove();
        started = false;
        pnp.Remove(pdo);
    }
    bool surprised = false;
    ~Driven() {
        Remove();
        driver.Unload(&driver);
    }
};

class EmulatedCableTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cables.ok()) << cables.error(); }
    // libusb starts once the cables are in.
    Context& Usb() {
        if (!usb) usb = std::make_unique<Context>();
        EXPECT_NE(usb->context, nullptr);
        return *usb;
    }
    testing::EmulatedCable cables;
    std::unique_ptr<Context> usb;
};

TEST_F(EmulatedCableTest, EveryVariantStartsAsOnTheSimulatedBus) {
    for (int variant = 0; variant <= 4; ++variant) {
        ASSERT_EQ(cables.Plug(variant, 10 + variant), variant) << cables.error();
    }
    for (int variant = 0; variant <= 4; ++variant) {
        SCOPED_TRACE(variant);
        const int address = 10 + variant;
        const int cable = variant;
        libusb_device_handle* handle = Usb().Open(address);
        ASSERT_NE(handle, nullptr);
        std::vector<std::string> overLibusb;
        {
            Driven driven(handle);
            EXPECT_EQ(driven.bus->HardwareIds().front(),
                      "USB\\VID_3A71&PID_6142&REV_030" + std::to_string(variant));
            ASSERT_EQ(driven.Start(), STATUS_SUCCESS);
            overLibusb = cables.ControlLog(cable);
        }
        integration::CableSystem simulated(variant, "COM7");
        ASSERT_EQ(simulated.Plug(), STATUS_SUCCESS);
        EXPECT_EQ(overLibusb, simulated.chip().ControlLog());
        EXPECT_FALSE(overLibusb.empty());
    }
}

TEST_F(EmulatedCableTest, DataCrossesBothWaysThroughTheDriver) {
    const int cable = cables.Plug(2, 20);
    ASSERT_GE(cable, 0) << cables.error();
    libusb_device_handle* handle = Usb().Open(20);
    ASSERT_NE(handle, nullptr);
    Driven driven(handle);
    ASSERT_EQ(driven.Start(), STATUS_SUCCESS);
    std::unique_ptr<host::HostFile> file;
    ASSERT_EQ(host::HostFile::Open(driven.kernel, "\\DosDevices\\COM7", &file), STATUS_SUCCESS);
    const usbser2k::SerialTimeouts timeouts{0xFFFFFFFF, 0xFFFFFFFF, 2000, 0, 2000};
    ASSERT_EQ(file->DeviceIoControl(usbser2k::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts,
                                    nullptr, 0),
              STATUS_SUCCESS);
    const std::uint8_t out[] = {'P', 'R', 'O', 'G', 0x11, 0x13, 0x00, 0xFF};
    std::uint32_t put = 0;
    ASSERT_EQ(file->Write(out, sizeof out, &put), STATUS_SUCCESS);
    EXPECT_EQ(put, sizeof out);
    EXPECT_EQ(cables.Transmitted(cable), std::vector<std::uint8_t>(out, out + sizeof out));

    cables.InjectReceive(cable, {'A', 0x06, 0x00});
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::uint8_t buffer[16];
        std::uint32_t n = 0;
        ASSERT_EQ(file->Read(buffer, sizeof buffer, &n), STATUS_SUCCESS);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, (std::vector<std::uint8_t>{'A', 0x06, 0x00}));
}

TEST_F(EmulatedCableTest, UnplugFailsTheReadAndLaterRequests) {
    const int cable = cables.Plug(2, 30);
    ASSERT_GE(cable, 0) << cables.error();
    libusb_device_handle* handle = Usb().Open(30);
    ASSERT_NE(handle, nullptr);
    Driven driven(handle);
    ASSERT_EQ(driven.Start(), STATUS_SUCCESS);
    std::unique_ptr<host::HostFile> file;
    ASSERT_EQ(host::HostFile::Open(driven.kernel, "\\DosDevices\\COM7", &file), STATUS_SUCCESS);
    const usbser2k::SerialTimeouts timeouts{0, 0, 0, 0, 0};  // a read waits for its bytes
    ASSERT_EQ(file->DeviceIoControl(usbser2k::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts,
                                    nullptr, 0),
              STATUS_SUCCESS);
    NTSTATUS readStatus = STATUS_PENDING;
    std::thread reader([&] {
        std::uint8_t buffer[8];
        std::uint32_t n = 0;
        readStatus = file->Read(buffer, sizeof buffer, &n);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cables.Unplug(cable);
    driven.SurpriseRemove();
    reader.join();
    EXPECT_FALSE(NT_SUCCESS(readStatus));
    std::uint32_t put = 0;
    const std::uint8_t byte = 1;
    EXPECT_FALSE(NT_SUCCESS(file->Write(&byte, 1, &put)));
    file.reset();
    driven.Remove();
    EXPECT_EQ(driven.bus->InFlight(), 0u);
}

// A bulk IN request whose cancel races the data that completes it: released together, one
// thread makes a byte arrive while another cancels. Each request completes once, either with
// its byte or cancelled, and no byte is lost or doubled: one a cancelled request did not take
// is read by the next request.
TEST_F(EmulatedCableTest, CancelRacingCompletionCompletesOnceAndLosesNoByte) {
    const int cable = cables.Plug(2, 40);
    ASSERT_GE(cable, 0) << cables.error();
    libusb_device_handle* handle = Usb().Open(40);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(libusb_set_configuration(handle, 1), 0);
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    Kernel kernel;
    kernel.SetClockMode(Kernel::ClockMode::WallClock);
    kernel.SetTimerResolution(kMillisecond);
    UsbBusDriver busDriver{kernel};
    LibusbBus bus(handle);
    DeviceObject* pdo = busDriver.CreatePdo(bus);
    constexpr PipeHandle kBulkIn = 0x1B00 | 0x83;

    // One read of the bulk IN pipe; `race` runs, released together with the request's cancel
    // (`cancelAfter` microseconds later; none when negative), once it is submitted. Returns the
    // status; the bytes read are appended to `got`.
    auto spin = [](int microseconds) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
        while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
    };
    auto read = [&](std::function<void()> race, int cancelAfter,
                    std::vector<std::uint8_t>* got) -> NTSTATUS {
        std::uint8_t buffer[64] = {};
        Urb urb;
        UsbBuildInterruptOrBulkTransferRequest(urb, kBulkIn, buffer, sizeof buffer,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        KEvent done(kernel);
        IoStatusBlock iosb{STATUS_PENDING, 0};
        Irp* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, 0,
                                                 true, &done, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        std::latch go(3);
        std::thread feeder([&] {
            go.arrive_and_wait();
            if (race) race();
        });
        std::thread canceller([&] {
            go.arrive_and_wait();
            if (cancelAfter < 0) return;
            spin(cancelAfter);
            IoCancelIrp(irp);
        });
        IoCallDriver(pdo, irp);
        go.arrive_and_wait();
        feeder.join();
        canceller.join();
        if (kernel.Wait(done, 5 * kSecond) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);  // nothing came
            if (kernel.Wait(done, 5 * kSecond) == STATUS_TIMEOUT) {
                return STATUS_TIMEOUT;  // never completed: the request is left to the bus
            }
        }
        IoFreeIrp(irp);
        if (NT_SUCCESS(iosb.Status)) {
            const auto n = urb.As<UrbBulkOrInterruptTransfer>().TransferBufferLength;
            got->insert(got->end(), buffer, buffer + n);
        }
        return iosb.Status;
    };

    constexpr int kRounds = 150;
    std::vector<std::uint8_t> got;
    int cancelled = 0;
    for (int round = 0; round < kRounds; ++round) {
        const auto byte = static_cast<std::uint8_t>(round);
        // The byte and the cancel come after delays that vary round by round, so that both
        // sides win the race.
        const NTSTATUS status = read(
            [&] {
                spin((round % 10) * 150);
                cables.InjectReceive(cable, {byte});
            },
            (round / 10 % 10) * 150, &got);
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED)
            << "round " << round << ": 0x" << std::hex << static_cast<std::uint32_t>(status);
        if (status != STATUS_CANCELLED) continue;
        ++cancelled;
        // The byte the cancelled request did not take is read now, so that the next round
        // starts with none waiting.
        if (got.size() <= static_cast<std::size_t>(round)) {
            ASSERT_EQ(read({}, -1, &got), STATUS_SUCCESS) << "round " << round;
        }
    }
    std::vector<std::uint8_t> expected(kRounds);
    for (int i = 0; i < kRounds; ++i)
        expected[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(bus.InFlight(), 0u);
    std::printf("%d of %d requests were cancelled before their byte came\n", cancelled, kRounds);
    libusb_release_interface(handle, 0);
}

// libusb reaps in a loop while a transfer is pending and pauses after each reap that finds
// nothing. Held in that pause, it must not keep other threads' requests out: the bytes a
// program writes reach the chip while the event thread pauses.
TEST_F(EmulatedCableTest, WriteReachesTheChipWhileTheEventThreadPausesIdle) {
    const int cable = cables.Plug(2, 50);
    ASSERT_GE(cable, 0) << cables.error();
    std::promise<void> transmitted;
    std::once_flag once;
    cables.OnTransmit(cable, [&](std::span<const std::uint8_t>) {
        std::call_once(once, [&] { transmitted.set_value(); });
    });
    libusb_device_handle* handle = Usb().Open(50);
    ASSERT_NE(handle, nullptr);
    Driven driven(handle);
    ASSERT_EQ(driven.Start(), STATUS_SUCCESS);
    std::unique_ptr<host::HostFile> file;
    ASSERT_EQ(host::HostFile::Open(driven.kernel, "\\DosDevices\\COM7", &file), STATUS_SUCCESS);

    // The first idle pause (the port's read is pending, nothing to read) holds the event
    // thread until the test lets it go; the later ones do not pause.
    std::promise<void> paused;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    testing::EmulatedCable::SetIdlePause([&, released] {
        if (!first.exchange(false)) return;
        paused.set_value();
        released.wait();
    });
    struct Restore {
        std::promise<void>& release;
        bool done = false;
        void Now() {
            if (done) return;
            done = true;
            release.set_value();
            testing::EmulatedCable::SetIdlePause({});
        }
        ~Restore() { Now(); }
    } restore{release};
    ASSERT_EQ(paused.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the event thread never reaped idle";

    const std::uint8_t out[] = {'R', 0x12, 0x40, 0x40};
    NTSTATUS writeStatus = STATUS_PENDING;
    std::thread writer([&] {
        std::uint32_t put = 0;
        writeStatus = file->Write(out, sizeof out, &put);
    });
    // Only a failure waits the whole time: the bytes come at once when nothing keeps them.
    const bool reached =
        transmitted.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    restore.Now();
    writer.join();
    EXPECT_TRUE(reached) << "the write waited for the event thread's pause";
    EXPECT_EQ(writeStatus, STATUS_SUCCESS);
    EXPECT_EQ(cables.Transmitted(cable), std::vector<std::uint8_t>(out, out + sizeof out));
}

// Waits (yielding) until `ready` holds; false after a long while.
template <typename Ready>
bool Eventually(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A thread that gives its turn back and asks again at once goes behind those already waiting
// (a plain mutex lets it take the lock again before they wake).
TEST(FifoTurns, AThreadAskingAgainGoesBehindThoseWaiting) {
    testing::FifoTurns turns;
    std::mutex mutex;
    std::vector<char> order;
    auto note = [&](char who) {
        std::lock_guard lock(mutex);
        order.push_back(who);
    };
    auto waiter = [&](char who) {
        turns.Take(3);
        note(who);
        turns.Give(3);
    };
    turns.Take(3);
    std::thread b(waiter, 'B');
    ASSERT_TRUE(Eventually([&] { return turns.Asked(3) == 2; }));
    std::thread c(waiter, 'C');
    ASSERT_TRUE(Eventually([&] { return turns.Asked(3) == 3; }));
    turns.Give(3);
    turns.Take(3);
    note('A');
    turns.Give(3);
    b.join();
    c.join();
    EXPECT_EQ(order, (std::vector<char>{'B', 'C', 'A'}));
    EXPECT_EQ(turns.Asked(3), 0u);
}

// Each key has its own queue: a turn held on one node does not hold another node's requests.
TEST(FifoTurns, KeysDoNotWaitForEachOther) {
    testing::FifoTurns turns;
    turns.Take(3);
    auto other = std::async(std::launch::async, [&] {
        turns.Take(4);
        turns.Give(4);
    });
    EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(turns.Asked(3), 1u);
    turns.Give(3);
    other.wait();
    EXPECT_EQ(turns.Asked(4), 0u);
}

}  // namespace
}  // namespace vm::drv::libusb
