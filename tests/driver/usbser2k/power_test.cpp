// usbser2k's power management and WMI, with an application's handle open on the port.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include "driver/platform/wmi.h"
#include "tests/driver/usbser2k/serial_rig.h"

namespace vm::drv::usbser2k {
namespace {

using testing::SerialRig;

struct ChipPicture {
    std::array<std::uint8_t, 3> registers;
    std::array<std::uint8_t, 7> coding;
    std::uint16_t lines;
    bool operator==(const ChipPicture&) const = default;
};

ChipPicture Picture(const sim::SimChip& chip) {
    return {{chip.Register(0), chip.Register(1), chip.Register(2)},
            chip.LineCodingBytes(),
            chip.ControlLineState()};
}

// 38400 8N1, DTR on, RTS off, the CTS handshake: what an application set before the sleep.
void SetUpPort(SerialRig& rig) {
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SerialLineControlRecord{0, 0, 8}),
              STATUS_SUCCESS);
    SerialHandflow hf{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_HANDFLOW, &hf), STATUS_SUCCESS);
    hf.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
    hf.FlowReplace = 0;
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_HANDFLOW, hf), STATUS_SUCCESS);
}

NTSTATUS SystemPower(SerialRig& rig, std::uint32_t state) {
    return rig.Drive([&] { return rig.pnp.SetSystemPower(rig.pdo, state); });
}

TEST(Usbser2kPower, SleepAndWakeWithThePortOpenRestoresTheChipAndReadsGoOn) {
    for (int variant : {0, 2, 3}) {
        SCOPED_TRACE(variant);
        SerialRig rig(variant);
        SetUpPort(rig);
        const ChipPicture before = Picture(rig.chip);
        EXPECT_EQ(before.lines, 1);
        ASSERT_EQ(SystemPower(rig, PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(rig.dev().devicePowerState.load(), PowerDeviceD3);
        EXPECT_FALSE(rig.chip.Powered());
        rig.chip.ClearLog();
        ASSERT_EQ(SystemPower(rig, PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(rig.dev().devicePowerState.load(), PowerDeviceD0);
        EXPECT_EQ(rig.chip.PowerLosses(), 1);
        EXPECT_EQ(Picture(rig.chip), before);
        for (const sim::WireRecord& r : rig.chip.Log()) {
            if (r.kind == sim::WireRecord::Kind::Control && r.request == 0x20) {
                ASSERT_EQ(r.data.size(), 7u);
                EXPECT_EQ(r.data[0] | r.data[1] << 8 | r.data[2] << 16, 38400);  // never rate 0
            }
        }
        // Received data reaches a read without a reopen.
        ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
        auto read = rig.StartRead(2);
        rig.UntilPending();
        rig.Inject("ok");
        const auto result = read.get();
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(std::string(result.data.begin(), result.data.end()), "ok");
    }
}

TEST(Usbser2kPower, ARequestThatNeedsTheChipBringsItBackFromD3) {
    SerialRig rig(2);
    SetUpPort(rig);
    const ChipPicture before = Picture(rig.chip);
    const auto d3 = rig.Drive([&] {
        return rig.pnp.SendPower(rig.pdo, IRP_MN_SET_POWER, PowerStateType::DevicePowerState,
                                 PowerDeviceD3);
    });
    ASSERT_EQ(d3.status, STATUS_SUCCESS);
    EXPECT_FALSE(rig.chip.Powered());
    // SET_DTR needs D0: the device is powered, the chip restored, then DTR set.
    ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_TRUE(rig.chip.Powered());
    EXPECT_EQ(rig.dev().devicePowerState.load(), PowerDeviceD0);
    ChipPicture after = Picture(rig.chip);
    EXPECT_EQ(after.registers, before.registers);
    EXPECT_EQ(after.coding, before.coding);
    EXPECT_EQ(after.lines, 3);
}

TEST(Usbser2kPower, WithThePolicyRelinquishedTheDeviceIsLeftAlone) {
    SerialRig rig(2);
    rig.kernel.registry().SetDword(IoOpenDeviceRegistryKey(rig.pdo), "SerialRelinquishPowerPolicy",
                                   1);
    ASSERT_EQ(SystemPower(rig, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(rig.chip.Powered());
    EXPECT_EQ(rig.dev().devicePowerState.load(), PowerDeviceD0);
}

TEST(Usbser2kPower, ArmedForWakeTheDeviceMayNotGoDeeperThanItWakesFrom) {
    SerialRig rig(2);
    DeviceCapabilities caps;
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.QueryCapabilities(rig.pdo, &caps); }), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev().capabilities.DeviceWake, PowerDeviceD2);
    auto query = [&](std::uint32_t state) {
        return rig
            .Drive([&] {
                return rig.pnp.SendPower(rig.pdo, IRP_MN_QUERY_POWER,
                                         PowerStateType::DevicePowerState, state);
            })
            .status;
    };
    EXPECT_EQ(query(PowerDeviceD3), STATUS_SUCCESS);
    // The bus maps every sleeping state to D3, deeper than D2: nothing to wake from.
    EXPECT_EQ(ArmWake(rig.dev()), STATUS_NOT_SUPPORTED);
    rig.dev().capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    EXPECT_EQ(ArmWake(rig.dev()), STATUS_SUCCESS);
    EXPECT_EQ(query(PowerDeviceD3), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(query(PowerDeviceD2), STATUS_SUCCESS);
    DisarmWake(rig.dev());
    EXPECT_EQ(query(PowerDeviceD3), STATUS_SUCCESS);
}

// Capabilities as the bus reports them, with S1 mapped to D2 so that the device can wake from it.
void WakeableFromS1(SerialRig& rig) {
    DeviceCapabilities caps;
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.QueryCapabilities(rig.pdo, &caps); }), STATUS_SUCCESS);
    rig.dev().capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    ASSERT_EQ(rig.dev().capabilities.DeviceWake, PowerDeviceD2);
}

NTSTATUS QueryDevice(SerialRig& rig, std::uint32_t state) {
    return rig
        .Drive([&] {
            return rig.pnp.SendPower(rig.pdo, IRP_MN_QUERY_POWER, PowerStateType::DevicePowerState,
                                     state);
        })
        .status;
}

TEST(Usbser2kWaitWake, AnOutstandingRequestKeepsTheDeviceWhereItCanWakeFromUntilRemoteWake) {
    SerialRig rig(2);
    WakeableFromS1(rig);
    EXPECT_EQ(QueryDevice(rig, PowerDeviceD3), STATUS_SUCCESS);
    // Someone else's wait-wake request, wake not armed: outstanding is enough.
    auto wake = rig.Start([&] {
        return rig.pnp.SendPower(rig.pdo, IRP_MN_WAIT_WAKE, PowerStateType::SystemPowerState,
                                 PowerSystemSleeping1);
    });
    while (!UsbBusDriver::WaitWakePending(rig.pdo)) std::this_thread::yield();
    EXPECT_FALSE(rig.dev().power.wakeArmed.load());
    EXPECT_EQ(QueryDevice(rig, PowerDeviceD3), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(QueryDevice(rig, PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_TRUE(UsbBusDriver::SignalRemoteWake(rig.pdo));
    EXPECT_EQ(wake.get().status, STATUS_SUCCESS);
    EXPECT_FALSE(WaitWakeOutstanding(rig.dev()));
    EXPECT_EQ(QueryDevice(rig, PowerDeviceD3), STATUS_SUCCESS);
}

TEST(Usbser2kWaitWake, DoWaitWakeIssuesOneRequestThatRemoteWakeOrCancelCompletesOnce) {
    SerialRig rig(2);
    WakeableFromS1(rig);
    PowerState& p = rig.dev().power;
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel);
        ASSERT_EQ(ArmWake(rig.dev()), STATUS_SUCCESS);
        EXPECT_TRUE(UsbBusDriver::WaitWakePending(rig.pdo));
        EXPECT_TRUE(WaitWakeOutstanding(rig.dev()));
        // Arming again while one is outstanding sends no second request (the bus would refuse).
        ASSERT_EQ(ArmWake(rig.dev()), STATUS_SUCCESS);
        EXPECT_EQ(QueryDevice(rig, PowerDeviceD3), STATUS_INVALID_DEVICE_STATE);
        if (cancel) {
            DisarmWake(rig.dev());
            EXPECT_EQ(p.waitWakeStatus.load(), STATUS_CANCELLED);
            DisarmWake(rig.dev());  // nothing left to cancel
            EXPECT_EQ(QueryDevice(rig, PowerDeviceD3), STATUS_SUCCESS);
        } else {
            ASSERT_TRUE(UsbBusDriver::SignalRemoteWake(rig.pdo));
            EXPECT_EQ(p.waitWakeStatus.load(), STATUS_SUCCESS);
            // Still armed: the query stays refused until the wake is disarmed.
            EXPECT_EQ(QueryDevice(rig, PowerDeviceD3), STATUS_INVALID_DEVICE_STATE);
            DisarmWake(rig.dev());
        }
        EXPECT_FALSE(WaitWakeOutstanding(rig.dev()));
        EXPECT_FALSE(UsbBusDriver::WaitWakePending(rig.pdo));
        EXPECT_TRUE(p.waitWakeDone.ReadState());
    }
    // A bus that cannot wake the system from the requested state refuses: not armed.
    UsbBusDriver::Settings(rig.pdo).capabilities.SystemWake = PowerSystemUnspecified;
    EXPECT_EQ(ArmWake(rig.dev()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(p.wakeArmed.load());
    EXPECT_FALSE(WaitWakeOutstanding(rig.dev()));
}

TEST(Usbser2kWaitWake, RemovalCancelsTheOutstandingRequest) {
    SerialRig rig(2);
    WakeableFromS1(rig);
    ASSERT_EQ(ArmWake(rig.dev()), STATUS_SUCCESS);
    PowerState& p = rig.dev().power;
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.SurpriseRemoval(rig.pdo); }), STATUS_SUCCESS);
    EXPECT_EQ(p.waitWakeStatus.load(), STATUS_CANCELLED);
    EXPECT_FALSE(UsbBusDriver::WaitWakePending(rig.pdo));
    EXPECT_FALSE(p.wakeArmed.load());
}

// Cancel against the bus's completion, each round from two threads at once: the request
// completes exactly once (a second completion or free is a bug check or a bad free), and it
// always leaves the device.
TEST(Usbser2kWaitWake, CancelRacingRemoteWakeCompletesEachRequestOnce) {
    SerialRig rig(2);
    WakeableFromS1(rig);
    PowerState& p = rig.dev().power;
    int cancelled = 0;
    int woken = 0;
    // One waker thread for every round; `round` tells it which one to race in.
    std::atomic<int> started{-1};
    std::atomic<int> finished{-1};
    std::thread waker([&] {
        for (int round = 0; round < 2000; ++round) {
            while (started.load() < round) std::this_thread::yield();
            UsbBusDriver::SignalRemoteWake(rig.pdo);
            finished.store(round);
        }
    });
    for (int round = 0; round < 2000 && !::testing::Test::HasFailure(); ++round) {
        EXPECT_EQ(ArmWake(rig.dev()), STATUS_SUCCESS);
        started.store(round);
        DisarmWake(rig.dev());
        while (finished.load() < round) std::this_thread::yield();
        EXPECT_EQ(rig.kernel.Wait(p.waitWakeDone, 0), STATUS_SUCCESS) << round;
        EXPECT_FALSE(WaitWakeOutstanding(rig.dev())) << round;
        EXPECT_FALSE(UsbBusDriver::WaitWakePending(rig.pdo)) << round;
        const NTSTATUS status = p.waitWakeStatus.load();
        EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS) << round;
        (status == STATUS_CANCELLED ? cancelled : woken) += 1;
    }
    started.store(2000);  // lets the waker finish after a failed round
    waker.join();
    EXPECT_EQ(cancelled + woken, 2000);
    EXPECT_EQ(rig.kernel.pool().BadFrees(), 0u);
}

// Failure paths with every power request released: a device request the bus fails leaves the
// device where it was, and the next requests run.
TEST(Usbser2kPower, AFailedDeviceRequestFailsTheRequestThatNeededItAndNothingIsLeftHeld) {
    SerialRig rig(2);
    SetUpPort(rig);
    PdoSettings& bus = UsbBusDriver::Settings(rig.pdo);
    ASSERT_EQ(SystemPower(rig, PowerSystemSleeping3), STATUS_SUCCESS);
    bus.devicePowerStatus = STATUS_DEVICE_POWERED_OFF;
    // The system comes back even though the device cannot.
    EXPECT_EQ(SystemPower(rig, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev().devicePowerState.load(), PowerDeviceD3);
    EXPECT_EQ(rig.Do(IOCTL_SERIAL_SET_RTS), STATUS_DEVICE_POWERED_OFF);
    EXPECT_FALSE(rig.chip.Powered());
    bus.devicePowerStatus = STATUS_SUCCESS;
    EXPECT_EQ(rig.Do(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(rig.chip.ControlLineState(), 3);
    EXPECT_EQ(SystemPower(rig, PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(SystemPower(rig, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev().devicePowerState.load(), PowerDeviceD0);
    // Refused requests are released too.
    const auto bad = rig.Drive([&] {
        return rig.pnp.SendPower(rig.pdo, IRP_MN_SET_POWER, PowerStateType::DevicePowerState, 7);
    });
    EXPECT_EQ(bad.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(QueryDevice(rig, PowerDeviceD1), STATUS_SUCCESS);
    EXPECT_EQ(rig.pdo->AttachedDevice->activePowerIrp[0].load(), nullptr);
    EXPECT_EQ(rig.pdo->AttachedDevice->activePowerIrp[1].load(), nullptr);
}

// A WMI request for the port's device, as the system sends it.
NTSTATUS Wmi(SerialRig& rig, std::uint8_t minor, const char* guid, std::vector<std::uint8_t>& buf,
             std::uintptr_t* information) {
    DeviceObject* fdo = rig.pdo->AttachedDevice;
    Irp* irp;
    {
        const Pool::Suspend system(rig.kernel.pool());
        irp = IoAllocateIrp(rig.kernel, fdo->StackSize);
    }
    KEvent done(rig.kernel);
    IoStatusBlock iosb{STATUS_PENDING, 0};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    next->MinorFunction = minor;
    next->Parameters.WMI = {reinterpret_cast<std::uintptr_t>(fdo), guid,
                            static_cast<std::uint32_t>(buf.size()), buf.data()};
    IoCallDriver(fdo, irp);
    rig.kernel.Wait(done);
    IoFreeIrp(irp);
    *information = iosb.Information;
    return iosb.Status;
}

TEST(Usbser2kWmi, EveryBlockWithExactAndShortBuffersAndTheRateFollowsTheSetting) {
    SerialRig rig(2);
    EXPECT_TRUE(WmiRegistered(rig.pdo->AttachedDevice));
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{19200}), STATUS_SUCCESS);
    const std::uint32_t sizes[] = {10, 64, 32, 24, 68};  // "COM5": 8 bytes of name + 2
    for (std::uint32_t i = 0; i < serial_wmi::kBlocks; ++i) {
        SCOPED_TRACE(i);
        std::uintptr_t info = 0;
        std::vector<std::uint8_t> exact(sizes[i]);
        EXPECT_EQ(Wmi(rig, IRP_MN_QUERY_SINGLE_INSTANCE, serial_wmi::kGuids[i].guid, exact, &info),
                  STATUS_SUCCESS);
        EXPECT_EQ(info, sizes[i]);
        if (i == serial_wmi::kCommInfo) {
            EXPECT_EQ(exact[0] | exact[1] << 8 | exact[2] << 16, 19200);
        }
        if (i == serial_wmi::kProperties) {
            EXPECT_EQ(exact[48] | exact[49] << 8, 1024);  // the receive buffer
            // The serial request's record, and four bytes of the block's own.
            std::array<std::uint8_t, 64> props{};
            ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_PROPERTIES, &props), STATUS_SUCCESS);
            EXPECT_TRUE(std::equal(props.begin(), props.end(), exact.begin()));
            EXPECT_EQ(std::vector<std::uint8_t>(exact.begin() + 64, exact.end()),
                      std::vector<std::uint8_t>(4, 0));
        }
        std::vector<std::uint8_t> shorter(sizes[i] - 1);
        EXPECT_EQ(Wmi(rig, IRP_MN_QUERY_ALL_DATA, serial_wmi::kGuids[i].guid, shorter, &info),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(info, sizes[i]);
        EXPECT_EQ(Wmi(rig, IRP_MN_CHANGE_SINGLE_INSTANCE, serial_wmi::kGuids[i].guid, exact, &info),
                  STATUS_INVALID_DEVICE_REQUEST);
    }
    std::vector<std::uint8_t> any(64);
    std::uintptr_t info = 0;
    EXPECT_EQ(Wmi(rig, IRP_MN_QUERY_SINGLE_INSTANCE, "{00000000-0000-0000-0000-000000000000}", any,
                  &info),
              STATUS_WMI_GUID_NOT_FOUND);
    // One registration over a stop and restart, gone at removal.
    DeviceObject* fdo = rig.pdo->AttachedDevice;
    rig.Drive([&] {
        rig.file.reset();
        return STATUS_SUCCESS;
    });
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.QueryStop(rig.pdo); }), STATUS_SUCCESS);
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.Stop(rig.pdo); }), STATUS_SUCCESS);
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.Start(rig.pdo); }), STATUS_SUCCESS);
    EXPECT_TRUE(WmiRegistered(fdo));
    rig.Drive([&] { return rig.pnp.SurpriseRemoval(rig.pdo); });
    EXPECT_FALSE(WmiRegistered(fdo));
}

}  // namespace
}  // namespace vm::drv::usbser2k
