// Power requests through a device stack: the per-device serialisation check, and the bus's
// wait-wake request (kept until remote wake, cancelled, refused).
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "driver/platform/pnp_manager.h"
#include "driver/platform/power.h"
#include "driver/platform/usb.h"
#include "driver/sim/sim_chip.h"

namespace vm::drv {
namespace {

// How the planted function driver handles a power request.
enum class Planted {
    Releases,          // releases, then passes down
    Forgets,           // passes down with PoCallDriver, never releases
    ReleasesTwice,     // releases twice, then passes down
    UsesIoCallDriver,  // releases, then passes down with IoCallDriver
    // System requests: asks for a device request at its own stack before releasing the system
    // one (a held system request), then releases and passes down.
    DeviceInsideSystem,
};

struct PlantedExtension {
    Planted mode = Planted::Releases;
    DeviceObject* lower = nullptr;
    DeviceObject* pdo = nullptr;
    NTSTATUS innerDevice = STATUS_PENDING;
    Irp* lastWaitWake = nullptr;  // the last wait-wake request that passed
};

NTSTATUS PlantedPnp(DeviceObject* device, Irp* irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->Extension<PlantedExtension>().lower, irp);
}

NTSTATUS PlantedPower(DeviceObject* device, Irp* irp) {
    auto& ext = device->Extension<PlantedExtension>();
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    if (location->MinorFunction == IRP_MN_WAIT_WAKE) ext.lastWaitWake = irp;
    switch (ext.mode) {
        case Planted::Releases:
            break;
        case Planted::Forgets:
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(ext.lower, irp);
        case Planted::ReleasesTwice:
            PoStartNextPowerIrp(irp);
            break;
        case Planted::UsesIoCallDriver:
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(ext.lower, irp);
        case Planted::DeviceInsideSystem:
            if (location->Parameters.Power.Type == PowerStateType::SystemPowerState) {
                ext.innerDevice = RequestDevicePowerAndWait(ext.pdo, PowerDeviceD3);
            }
            break;
    }
    return USB2SER_PassDownToNextPowerDriver(ext.lower, irp);
}

struct Stack {
    Stack()
        : bus(kernel), chip(kernel, sim::ChipProfile::ForVariant(2)), driver(kernel, "planted") {
        driver.MajorFunction[IRP_MJ_POWER] = &PlantedPower;
        driver.MajorFunction[IRP_MJ_PNP] = &PlantedPnp;
        pdo = bus.CreatePdo(chip);
        EXPECT_EQ(IoCreateDevice(driver, "", FILE_DEVICE_UNKNOWN, 0, false, &fdo), STATUS_SUCCESS);
        ext = fdo->CreateExtension<PlantedExtension>();
        ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
        ext->pdo = pdo;
    }
    ~Stack() {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(fdo);
    }
    NTSTATUS Send(std::uint8_t minor, PowerStateType type, std::uint32_t state) {
        return pnp.SendPower(pdo, minor, type, state).status;
    }

    Kernel kernel;
    UsbBusDriver bus;
    sim::SimChip chip;
    DriverObject driver;
    PnpManager pnp{kernel};
    DeviceObject* pdo = nullptr;
    DeviceObject* fdo = nullptr;
    PlantedExtension* ext = nullptr;
};

constexpr auto kSystem = PowerStateType::SystemPowerState;
constexpr auto kDevice = PowerStateType::DevicePowerState;

TEST(PowerSerialisation, ADriverThatReleasesEveryRequestRunsAnySequence) {
    Stack stack;
    struct Row {
        std::uint8_t minor;
        PowerStateType type;
        std::uint32_t state;
    };
    const Row rows[] = {{IRP_MN_QUERY_POWER, kSystem, PowerSystemSleeping3},
                        {IRP_MN_SET_POWER, kSystem, PowerSystemSleeping3},
                        {IRP_MN_QUERY_POWER, kDevice, PowerDeviceD3},
                        {IRP_MN_SET_POWER, kDevice, PowerDeviceD3},
                        {IRP_MN_SET_POWER, kDevice, PowerDeviceD0},
                        {IRP_MN_SET_POWER, kSystem, PowerSystemWorking},
                        {IRP_MN_POWER_SEQUENCE, kSystem, 0u}};
    for (const auto& [minor, type, state] : rows) {
        SCOPED_TRACE(static_cast<int>(minor));
        EXPECT_EQ(stack.Send(minor, type, state), STATUS_SUCCESS);
        EXPECT_EQ(stack.fdo->activePowerIrp[0].load(), nullptr);
        EXPECT_EQ(stack.fdo->activePowerIrp[1].load(), nullptr);
        EXPECT_EQ(stack.pdo->activePowerIrp[1].load(), nullptr);
    }
}

TEST(PowerSerialisation, SystemAndDeviceRequestsAreSerialisedSeparately) {
    Stack stack;
    stack.ext->mode = Planted::DeviceInsideSystem;
    // The system request is still in progress at the device when its device request starts.
    EXPECT_EQ(stack.Send(IRP_MN_SET_POWER, kSystem, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(stack.ext->innerDevice, STATUS_SUCCESS);
    EXPECT_FALSE(stack.chip.Powered());
}

using PowerSerialisationDeathTest = ::testing::Test;

TEST_F(PowerSerialisationDeathTest, TheNextRequestAfterOneThatWasNotReleasedIsABugCheck) {
    EXPECT_DEATH(
        {
            Stack stack;
            stack.ext->mode = Planted::Forgets;
            stack.Send(IRP_MN_SET_POWER, kDevice, PowerDeviceD2);  // goes through
            stack.Send(IRP_MN_SET_POWER, kDevice, PowerDeviceD0);
        },
        "second power request started at a device before the first was released");
}

TEST_F(PowerSerialisationDeathTest, ReleasingTwiceAndPassingWithIoCallDriverAreBugChecks) {
    EXPECT_DEATH(
        {
            Stack stack;
            stack.ext->mode = Planted::ReleasesTwice;
            stack.Send(IRP_MN_QUERY_POWER, kSystem, PowerSystemSleeping1);
        },
        "not the one in progress");
    EXPECT_DEATH(
        {
            Stack stack;
            stack.ext->mode = Planted::UsesIoCallDriver;
            stack.Send(IRP_MN_SET_POWER, kSystem, PowerSystemSleeping1);
        },
        "passed with IoCallDriver");
}

TEST(PowerSerialisation, APendingWaitWakeRequestHoldsNothingUp) {
    Stack stack;
    auto wake = std::async(std::launch::async, [&] {
        return stack.Send(IRP_MN_WAIT_WAKE, kSystem, PowerSystemSleeping1);
    });
    while (!UsbBusDriver::WaitWakePending(stack.pdo)) std::this_thread::yield();
    EXPECT_EQ(stack.Send(IRP_MN_SET_POWER, kSystem, PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(stack.Send(IRP_MN_SET_POWER, kDevice, PowerDeviceD2), STATUS_SUCCESS);
    // Remote wake-up was never enabled: the signal does not complete it.
    EXPECT_FALSE(UsbBusDriver::SignalRemoteWake(stack.pdo));
    EXPECT_TRUE(UsbBusDriver::WaitWakePending(stack.pdo));
    EXPECT_EQ(stack.pnp.Remove(stack.pdo), STATUS_SUCCESS);
    EXPECT_EQ(wake.get(), STATUS_NO_SUCH_DEVICE);
}

// A wait-wake request sent to the stack by the power manager; the completion records the status.
struct WaitWake {
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<int> completions{0};
    static void Done(DeviceObject*, std::uint8_t, std::uint32_t, void* context, NTSTATUS status) {
        auto* self = static_cast<WaitWake*>(context);
        self->status.store(status);
        self->completions.fetch_add(1);
    }
};

TEST(BusWaitWake, KeptUntilRemoteWakeCancelledOrRemovedAndRefusedWhenItCannotWake) {
    Stack stack;
    PdoSettings& settings = UsbBusDriver::Settings(stack.pdo);
    ASSERT_EQ(settings.capabilities.SystemWake, PowerSystemSleeping3);
    // Remote wake-up enabled, as a driver's start does.
    Urb urb;
    UsbBuildFeatureRequest(urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0);
    {
        KEvent done(stack.kernel);
        IoStatusBlock iosb{};
        Irp* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, stack.pdo, nullptr,
                                                 0, 0, true, &done, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        IoCallDriver(stack.pdo, irp);
        stack.kernel.Wait(done);
        IoFreeIrp(irp);
        ASSERT_TRUE(stack.chip.RemoteWakeup());
    }

    struct Row {
        const char* what;
        std::uint32_t systemState;
        int action;  // 0 remote wake, 1 cancel, 2 removal, 3 none (refused at once)
        NTSTATUS status;
    };
    const Row rows[] = {
        {"remote wake", PowerSystemSleeping3, 0, STATUS_SUCCESS},
        {"cancelled", PowerSystemSleeping1, 1, STATUS_CANCELLED},
        {"deeper than SystemWake", PowerSystemHibernate, 3, STATUS_INVALID_DEVICE_STATE},
        {"removed", PowerSystemSleeping2, 2, STATUS_NO_SUCH_DEVICE},
        {"after removal", PowerSystemSleeping2, 3, STATUS_NO_SUCH_DEVICE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WaitWake w;
        // The packet is the power manager's: it is reachable only from the bus's pending slot.
        ASSERT_EQ(
            PoRequestPowerIrp(stack.pdo, IRP_MN_WAIT_WAKE, row.systemState, &WaitWake::Done, &w),
            STATUS_PENDING);
        Irp* const sent = stack.ext->lastWaitWake;
        if (row.action != 3) {
            ASSERT_TRUE(UsbBusDriver::WaitWakePending(stack.pdo));
            EXPECT_EQ(w.completions.load(), 0);
            // One at a time.
            WaitWake second;
            PoRequestPowerIrp(stack.pdo, IRP_MN_WAIT_WAKE, row.systemState, &WaitWake::Done,
                              &second);
            EXPECT_EQ(second.status.load(), STATUS_DEVICE_BUSY);
        }
        if (row.action == 0) {
            EXPECT_TRUE(UsbBusDriver::SignalRemoteWake(stack.pdo));
        } else if (row.action == 1) {
            EXPECT_TRUE(IoCancelIrp(sent));
        } else if (row.action == 2) {
            EXPECT_EQ(stack.pnp.Remove(stack.pdo), STATUS_SUCCESS);
        }
        EXPECT_EQ(w.status.load(), row.status);
        EXPECT_EQ(w.completions.load(), 1);
        EXPECT_FALSE(UsbBusDriver::WaitWakePending(stack.pdo));
        EXPECT_FALSE(UsbBusDriver::SignalRemoteWake(stack.pdo));  // nothing pending any more
    }
}

}  // namespace
}  // namespace vm::drv
