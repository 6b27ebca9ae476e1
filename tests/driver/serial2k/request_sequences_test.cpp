// Request sequences the serial port fuzz target found faults with, decoded into plain calls on
// the rig: each is a case the driver or the host layer got wrong once.
#include <gtest/gtest.h>

#include <array>

#include "tests/driver/serial2k/serial_rig.h"

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

}  // namespace
}  // namespace vm::drv::usbser2k::testing
