#include "driver/core/private_ioctl.h"

#include <gtest/gtest.h>

#include "tests/driver/core/rig.h"

namespace vm::drv::testing {
namespace {

using namespace private_ioctl;
using sim::WireRecord;

struct CodeCase {
    const char* name;
    std::uint32_t code;
    std::vector<std::uint8_t> input;
    std::uint32_t outLength;
    std::uintptr_t information;
    std::vector<std::string> wire;  // control requests only
};

TEST(PrivateIoctl, EachCodeSendsItsRequestAndReturnsItsBytes) {
    const std::vector<CodeCase> cases = {
        {"device descriptor", kGetDeviceDescriptor, {}, 18, 18, {}},
        {"config descriptor", kGetConfigDescriptor, {}, 9, 9, {}},
        {"string descriptor", kGetStringDescriptor, {2}, 64, 2 + 2 * 23, {}},
        {"send encap", kSendEncap, {0x01, 0x00, 0x34, 0x12}, 0, 0, {"40 01 0001 1234 0000"}},
        {"get encap", kGetEncap, {0x82, 0x00}, 1, 1, {"C0 01 0082 0000 0001"}},
        {"send ctrl state", kSendCtrlState, {0x03, 0x00}, 0, 0, {"21 22 0003 0000 0000"}},
        {"set feature", kSetFeature, {0x01, 0x00}, 0, 0, {"21 02 0001 0000 0002"}},
        {"get feature", kGetFeature, {}, 2, 2, {"A1 03 0001 0000 0002"}},
        {"EEPROM status (usbser2k: no request)", kEepromReadStatus, {}, 1, 0, {}},
        {"chip variant", kGetChipVariant, {}, 1, 1, {}},
        {"register 0x0E read", kReadReg0E, {}, 1, 1, {"C0 01 8E8E 0000 0001"}},
        {"register 0x0E write", kWriteReg0E, {0x05, 0x00}, 0, 0, {"40 01 0E0E 0005 0000"}},
        {"register 0x0F read", kReadReg0F, {}, 1, 1, {"C0 01 8F8F 0000 0001"}},
        {"register 0x0F write", kWriteReg0F, {0x06, 0x00}, 0, 0, {"40 01 0F0F 0006 0000"}},
        {"input config write", kSetInputSignalConfig, {0x22, 0x11}, 0, 0, {"40 01 0606 1122 0000"}},
        {"input config read", kGetInputSignalConfig, {}, 2, 2, {"C0 01 8686 0000 0002"}},
        {"input data write", kSetInputSignalData, {0x44, 0x33}, 0, 0, {"40 01 0707 3344 0000"}},
        {"input data read", kGetInputSignalData, {}, 2, 2, {"C0 01 8787 0000 0002"}},
        {"register 0x0C write", kWriteReg0C, {0x02, 0x01}, 0, 0, {"40 01 0C0C 0102 0000"}},
        {"register 0x0C read", kReadReg0C, {}, 2, 2, {"C0 01 8C8C 0000 0002"}},
        {"register 0x0D write", kWriteReg0D, {0x04, 0x03}, 0, 0, {"40 01 0D0D 0304 0000"}},
        {"register 0x0D read", kReadReg0D, {}, 2, 2, {"C0 01 8D8D 0000 0002"}},
        {"set register 1 bit 6",
         kSetReg1Bit6,
         {1},
         0,
         0,
         {"C0 01 0081 0000 0001", "40 01 0001 005F 0000"}},
        {"clear register 1 bit 4",
         kSetReg1Bit4,
         {0},
         0,
         0,
         {"C0 01 0081 0000 0001", "40 01 0001 000F 0000"}},
        {"get register 1 bit 7", kGetReg1Bit7, {}, 1, 1, {"C0 01 0081 0000 0001"}},
        {"set register 0 bit 3",
         kSetReg0Bit3,
         {1},
         0,
         0,
         {"C0 01 0080 0000 0001", "40 01 0000 0008 0000"}},
        {"get register 0 bit 3", kGetReg0Bit3, {}, 1, 1, {"C0 01 0080 0000 0001"}},
    };
    for (const CodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(4, kUsbser2kPolicy);
        rig.Configure();
        rig.chip.SetRegister(1, 0x1F);
        std::vector<std::uint8_t> buffer(std::max<std::size_t>(c.input.size(), c.outLength));
        std::copy(c.input.begin(), c.input.end(), buffer.begin());
        std::uintptr_t information = 99;
        EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, c.code, buffer.data(),
                                              static_cast<std::uint32_t>(c.input.size()),
                                              c.outLength, information),
                  STATUS_SUCCESS);
        EXPECT_EQ(information, c.information);
        EXPECT_EQ(rig.Wire(), c.wire);
        EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
    }
}

TEST(PrivateIoctl, OutputCarriesWhatTheChipHolds) {
    Rig rig(4, kUsbser2kPolicy);
    rig.Configure();
    rig.chip.SetRegister(1, 0x80);
    rig.chip.SetWideRegister(0x0C, 0xBEEF);
    std::uint8_t buffer[64] = {};
    std::uintptr_t info = 0;
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kGetReg1Bit7, buffer, 0, 1, info),
              STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 1);
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kGetReg1Bit6, buffer, 0, 1, info),
              STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 0);
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kReadReg0C, buffer, 0, 2, info),
              STATUS_SUCCESS);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, 0xBEEF);
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kGetChipVariant, buffer, 0, 1, info),
              STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 4);

    // EEPROM write then read back through the codes.
    const std::uint8_t write[] = {0x30, 0xDE, 0xAD};
    std::copy(std::begin(write), std::end(write), buffer);
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kEepromWrite, buffer, 3, 0, info),
              STATUS_SUCCESS);
    buffer[0] = 0x30;
    buffer[1] = 0x00;
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kEepromReadData, buffer, 2, 2, info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, 2u);
    EXPECT_EQ(buffer[0], 0xDE);
    EXPECT_EQ(buffer[1], 0xAD);

    // Bulk data out and back through the loopback.
    rig.chip.SetLoopback(true);
    const std::uint8_t data[] = {'a', 'b', 'c'};
    std::copy(std::begin(data), std::end(data), buffer);
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kWriteBulk, buffer, 3, 0, info),
              STATUS_SUCCESS);
    std::fill(std::begin(buffer), std::end(buffer), 0);
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kReadBulk, buffer, 0, 64, info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, 3u);
    EXPECT_EQ(buffer[2], 'c');
}

TEST(PrivateIoctl, EachDriverAcceptsItsOwnCodes) {
    const std::uint32_t only2k[] = {kReadReg0E,     kWriteReg0E,  kReadReg0F,  kWriteReg0F,
                                    kWriteReg0C,    kReadReg0C,   kWriteReg0D, kReadReg0D,
                                    kStandingReads, kSetReg0Bit3, kGetReg0Bit3};
    for (std::uint32_t code : only2k) {
        EXPECT_TRUE(USB2SER_IsPrivateIoctl(kUsbser2kPolicy, code)) << std::hex << code;
        EXPECT_FALSE(USB2SER_IsPrivateIoctl(kUsbser9xPolicy, code)) << std::hex << code;
    }
    EXPECT_FALSE(USB2SER_IsPrivateIoctl(kUsbser2kPolicy, kClrFeature));
    EXPECT_TRUE(USB2SER_IsPrivateIoctl(kUsbser9xPolicy, kClrFeature));
    EXPECT_FALSE(USB2SER_IsPrivateIoctl(kUsbser9xPolicy, 0x0022203C));
    EXPECT_FALSE(USB2SER_IsPrivateIoctl(kUsbser2kPolicy, 0x001B0004));

    Rig rig(3, kUsbser9xPolicy);
    rig.Configure();
    std::uint8_t buffer[4] = {};
    std::uintptr_t info = 0;
    EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kReadReg0C, buffer, 0, 2, info),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(rig.chip.Log().empty());
    EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kEepromReadStatus, buffer, 0, 1, info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, 1u);
    EXPECT_EQ(rig.Wire(), std::vector<std::string>{"C0 01 8484 0000 0001"});
    EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kClrFeature, nullptr, 0, 0, info),
              STATUS_SUCCESS);
}

TEST(PrivateIoctl, BitThreeOfRegisterZeroNeedsVariant4) {
    Rig rig(3, kUsbser2kPolicy);
    rig.Configure();
    std::uint8_t buffer[1] = {1};
    std::uintptr_t info = 0;
    EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kSetReg0Bit3, buffer, 1, 0, info),
              STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(rig.chip.Log().empty());
}

TEST(PrivateIoctl, NullBuffersAndShortBuffers) {
    Rig rig(4, kUsbser2kPolicy);
    rig.Configure();
    struct Case {
        std::uint32_t code;
        bool returnsData;
    };
    const Case withData[] = {
        {kGetDeviceDescriptor, true}, {kGetConfigDescriptor, true},
        {kGetStringDescriptor, true}, {kGetEncap, true},
        {kReadInterrupt, true},       {kReadBulk, true},
        {kEepromReadData, true},      {kEepromReadStatus, true},
        {kGetFeature, true},          {kGetReg1Bit6, true},
        {kGetChipVariant, true},      {kReadReg0C, true},
        {kGetInputSignalData, true},  {kGetReg0Bit3, true},
        {kSendEncap, false},          {kWriteBulk, false},
        {kSendCtrlState, false},      {kSetFeature, false},
        {kEepromWrite, false},        {kSetReg1Bit5, false},
        {kWriteReg0E, false},         {kSetInputSignalConfig, false},
        {kStandingReads, false},      {kSetReg0Bit3, false},
    };
    for (const Case& c : withData) {
        SCOPED_TRACE(c.code);
        std::uintptr_t info = 77;
        EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, c.code, nullptr, 16, 16, info),
                  c.returnsData ? STATUS_NO_MEMORY : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(info, 0u);
    }
    EXPECT_TRUE(rig.chip.Log().empty());

    std::uint8_t buffer[18] = {};
    std::uintptr_t info = 0;
    EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kGetDeviceDescriptor, buffer, 0, 17, info),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kSendEncap, buffer, 3, 0, info),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kGetFeature, buffer, 0, 1, info),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kEepromReadData, buffer, 1, 4, info),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(rig.chip.Log().empty());
}

TEST(PrivateIoctl, StandingReadsStopAndRestartWhereNoneIsInFlight) {
    Rig rig(2, kUsbser2kPolicy);
    rig.Configure();
    std::uint8_t word[2] = {0, 0};
    std::uintptr_t info = 0;
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kStandingReads, word, 2, 0, info),
              STATUS_SUCCESS);
    EXPECT_TRUE(rig.dev->PipeBusy(kPipeStatus));
    EXPECT_TRUE(rig.dev->PipeBusy(kPipeReceive));
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kStandingReads, word, 2, 0, info),
              STATUS_SUCCESS);
    EXPECT_EQ(rig.chip.Log().size(), 2u);  // nothing new: both were in flight
    word[0] = 1;
    ASSERT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, kStandingReads, word, 2, 0, info),
              STATUS_SUCCESS);
    EXPECT_FALSE(rig.dev->PipeBusy(kPipeStatus));
    EXPECT_FALSE(rig.dev->PipeBusy(kPipeReceive));
    EXPECT_EQ(rig.dev->dataIoCount.Value(), 0);
    EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
}

TEST(PrivateIoctl, IrpFormFillsStatusAndInformation) {
    Rig rig(2, kUsbser2kPolicy);
    rig.Configure();
    std::uint8_t buffer[18] = {};
    Irp* irp = IoAllocateIrp(rig.kernel, 1);
    IoSetNextIrpStackLocation(irp);
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    location->Parameters.DeviceIoControl.IoControlCode = kGetDeviceDescriptor;
    location->Parameters.DeviceIoControl.OutputBufferLength = 18;
    irp->SystemBuffer = buffer;
    EXPECT_EQ(USB2SER_ProcessPrivateIoctlIrp(*rig.dev, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 18u);
    EXPECT_EQ(buffer[1], USB_DEVICE_DESCRIPTOR_TYPE);
    location->Parameters.DeviceIoControl.OutputBufferLength = 4;
    EXPECT_EQ(USB2SER_ProcessPrivateIoctlIrp(*rig.dev, irp), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace vm::drv::testing
