#include <gtest/gtest.h>

#include "tests/driver/serial2k/serial_rig.h"

namespace vm::drv::usbser2k::testing {
namespace {

TEST(Usbser2kSerial, LoopbackWriteThenRead) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    rig.chip.SetLoopback(true);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 100), STATUS_SUCCESS);
    std::uint32_t put = 0;
    EXPECT_EQ(rig.Drive([&] { return rig.file->Write("hello", 5, &put); }), STATUS_SUCCESS);
    EXPECT_EQ(put, 5u);
    std::uint8_t buf[5] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(rig.Drive([&] { return rig.file->Read(buf, 5, &got); }), STATUS_SUCCESS);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), got), "hello");
}

}  // namespace
}  // namespace vm::drv::usbser2k::testing
