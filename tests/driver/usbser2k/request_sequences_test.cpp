// Request sequences the serial port fuzz target found faults with, decoded into plain calls on
// the rig: each is a case the driver or the host layer got wrong once.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "tests/driver/usbser2k/serial_rig.h"

namespace vm::drv::usbser2k::testing {
namespace {

// A request that carries no buffer (both lengths 0) with a place for output given: nothing is
// copied back (there is no system buffer to copy from) and nothing is returned. Under the
// undefined-behaviour sanitizer the copy from the missing buffer was a report.
TEST(Usbser2kRequestSequences, NoBufferWithAnOutputPlaceCopiesNothing) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    struct Case {
        std::uint32_t code;
        NTSTATUS status;
    };
    const Case cases[] = {
        {IOCTL_SERIAL_SET_BREAK_ON, STATUS_SUCCESS},
        {IOCTL_SERIAL_SET_BREAK_OFF, STATUS_SUCCESS},
        {IOCTL_SERIAL_GET_BAUD_RATE, STATUS_BUFFER_TOO_SMALL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::array<std::uint8_t, 8> out;
        out.fill(0x5C);
        std::uint32_t returned = 0xFFFFFFFF;
        EXPECT_EQ(rig.Drive([&] {
            return rig.file->DeviceIoControl(c.code, nullptr, 0, out.data(), 0, &returned);
        }),
                  c.status);
        EXPECT_EQ(returned, 0u);
        for (std::uint8_t b : out) EXPECT_EQ(b, 0x5C);
    }
    // A read of no bytes into a real buffer.
    std::array<std::uint8_t, 4> data{};
    std::uint32_t got = 0xFFFFFFFF;
    EXPECT_EQ(rig.Drive([&] { return rig.file->Read(data.data(), 0, &got); }), STATUS_SUCCESS);
    EXPECT_EQ(got, 0u);
}

// Special characters set while the chip is gone: on chips that keep the XON and XOFF
// characters themselves (variant 2 and above) the request fails and the port keeps the
// characters it had (it stored the new ones and then reported the failure); older chips hold no
// characters, so the request succeeds and the port takes them.
TEST(Usbser2kRequestSequences, CharactersTheChipDidNotTakeAreNotKept) {
    struct Case {
        int variant;
        NTSTATUS status;
        bool taken;
    };
    const Case cases[] = {
        {2, STATUS_DEVICE_NOT_CONNECTED, false},
        {3, STATUS_DEVICE_NOT_CONNECTED, false},
        {1, STATUS_SUCCESS, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variant);
        SerialRig rig(c.variant);
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        const SerialChars before{0x08, 0x00, 0x16, 0x05, 0x06, 0x00};
        ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_CHARS, before), STATUS_SUCCESS);
        rig.chip.Unplug();
        const SerialChars after{0x00, 0x00, 0x18, 0x05, 0x10, 0x00};
        EXPECT_EQ(rig.Set(IOCTL_SERIAL_SET_CHARS, after), c.status);
        SerialChars now{};
        ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_CHARS, &now), STATUS_SUCCESS);
        const SerialChars& expected = c.taken ? after : before;
        EXPECT_EQ(std::memcmp(&now, &expected, sizeof now), 0);
    }
}

// The device powered down (device state D3) and the port opened: the open brings the device
// back to D0 before it sets the chip up, whether the handle was closed before or during the
// power-down (the open failed with the chip unpowered).
TEST(Usbser2kRequestSequences, OpeningAPoweredDownDeviceBringsItBack) {
    for (const bool openDuringPowerDown : {false, true}) {
        SCOPED_TRACE(openDuringPowerDown);
        SerialRig rig(2);
        if (openDuringPowerDown) {
            ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        }
        const auto d3 = rig.Drive([&] {
            return rig.pnp.SendPower(rig.pdo, IRP_MN_SET_POWER, PowerStateType::DevicePowerState,
                                     PowerDeviceD3);
        });
        ASSERT_EQ(d3.status, STATUS_SUCCESS);
        ASSERT_FALSE(rig.chip.Powered());
        if (openDuringPowerDown) {
            ASSERT_EQ(rig.Drive([&] { return rig.file->Close(); }), STATUS_SUCCESS);
        }
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        EXPECT_TRUE(rig.chip.Powered());
        EXPECT_EQ(rig.dev().devicePowerState.load(), PowerDeviceD0);
        // The port works: a byte written loops back and is read.
        rig.chip.SetLoopback(true);
        ASSERT_EQ(rig.SetTimeouts(0, 0, 100), STATUS_SUCCESS);
        std::uint32_t put = 0;
        EXPECT_EQ(rig.Drive([&] { return rig.file->Write("x", 1, &put); }), STATUS_SUCCESS);
        char c = 0;
        std::uint32_t got = 0;
        EXPECT_EQ(rig.Drive([&] { return rig.file->Read(&c, 1, &got); }), STATUS_SUCCESS);
        EXPECT_EQ(got, 1u);
        EXPECT_EQ(c, 'x');
    }
}

// The device powered down and up again by requests the driver did not make itself (another
// power policy owner's, or the power manager's): once D0 is back the chip gets its line coding
// again and the port hears the line, before any request that needs the chip comes (the chip
// kept its power-on coding and the port stayed deaf until one did).
TEST(Usbser2kRequestSequences, PowerBackFromOutsideRestoresTheChipBeforeDataMoves) {
    SerialRig rig(2);
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{19200}), STATUS_SUCCESS);
    const auto coding = rig.chip.LineCodingBytes();
    for (const std::uint32_t state : {PowerDeviceD3, PowerDeviceD0}) {
        const auto sent = rig.Drive([&] {
            return rig.pnp.SendPower(rig.pdo, IRP_MN_SET_POWER, PowerStateType::DevicePowerState,
                                     state);
        });
        ASSERT_EQ(sent.status, STATUS_SUCCESS);
    }
    rig.Drive([&] {
        rig.kernel.FlushWorkItems();
        return STATUS_SUCCESS;
    });
    EXPECT_TRUE(rig.chip.Powered());
    EXPECT_EQ(rig.chip.LineCodingBytes(), coding);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 100), STATUS_SUCCESS);
    rig.Inject("ok");
    char data[2] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(rig.Drive([&] { return rig.file->Read(data, 2, &got); }), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data, got), "ok");
}

}  // namespace
}  // namespace vm::drv::usbser2k::testing
