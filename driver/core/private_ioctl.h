// The drivers' private device-control codes (buffered, device type 0x22): one-to-one pass-through
// to the transport's vendor, class, descriptor, EEPROM and pipe operations. The serial request
// processing calls this for the codes it does not handle itself.
#pragma once

#include <cstdint>

#include "driver/core/usb_transport.h"

namespace vm::drv {

namespace private_ioctl {
inline constexpr std::uint32_t kGetDeviceDescriptor = 0x00222000;
inline constexpr std::uint32_t kGetConfigDescriptor = 0x00222004;
inline constexpr std::uint32_t kGetStringDescriptor = 0x00222008;
inline constexpr std::uint32_t kSendEncap = 0x0022200C;
inline constexpr std::uint32_t kGetEncap = 0x00222010;
inline constexpr std::uint32_t kReadInterrupt = 0x00222014;
inline constexpr std::uint32_t kWriteBulk = 0x00222018;
inline constexpr std::uint32_t kReadBulk = 0x0022201C;
inline constexpr std::uint32_t kSendCtrlState = 0x00222020;
inline constexpr std::uint32_t kSetFeature = 0x00222024;
inline constexpr std::uint32_t kEepromWrite = 0x00222028;
inline constexpr std::uint32_t kEepromReadData = 0x0022202C;
inline constexpr std::uint32_t kEepromReadStatus = 0x00222030;
inline constexpr std::uint32_t kGetFeature = 0x00222034;
inline constexpr std::uint32_t kClrFeature = 0x00222038;
inline constexpr std::uint32_t kSetReg1Bit4 = 0x00222050;
inline constexpr std::uint32_t kSetReg1Bit5 = 0x00222054;
inline constexpr std::uint32_t kSetReg1Bit6 = 0x00222058;
inline constexpr std::uint32_t kSetReg1Bit7 = 0x0022205C;
inline constexpr std::uint32_t kGetReg1Bit6 = 0x00222060;
inline constexpr std::uint32_t kGetReg1Bit7 = 0x00222064;
inline constexpr std::uint32_t kGetChipVariant = 0x00222068;
inline constexpr std::uint32_t kReadReg0E = 0x0022206C;
inline constexpr std::uint32_t kWriteReg0E = 0x00222070;
inline constexpr std::uint32_t kReadReg0F = 0x00222074;
inline constexpr std::uint32_t kWriteReg0F = 0x00222078;
inline constexpr std::uint32_t kSetInputSignalConfig = 0x0022207C;
inline constexpr std::uint32_t kGetInputSignalConfig = 0x00222080;
inline constexpr std::uint32_t kSetInputSignalData = 0x00222084;
inline constexpr std::uint32_t kGetInputSignalData = 0x00222088;
inline constexpr std::uint32_t kWriteReg0C = 0x0022208C;
inline constexpr std::uint32_t kReadReg0C = 0x00222090;
inline constexpr std::uint32_t kWriteReg0D = 0x00222094;
inline constexpr std::uint32_t kReadReg0D = 0x00222098;
inline constexpr std::uint32_t kStandingReads = 0x002220A4;
inline constexpr std::uint32_t kSetReg0Bit3 = 0x002220A8;
inline constexpr std::uint32_t kGetReg0Bit3 = 0x002220AC;
}  // namespace private_ioctl

// Whether the driver accepts the code as a private code.
bool USB2SER_IsPrivateIoctl(const DriverPolicy& policy, std::uint32_t code);

// Runs a private code on a buffered request's system buffer (input read from it, output written
// to it; its size is the larger of the two lengths). `information` receives the bytes returned.
// A null buffer where data is expected gives STATUS_INVALID_PARAMETER for operations that send
// data and STATUS_NO_MEMORY for those that return data; input shorter than the operation needs
// gives STATUS_INVALID_PARAMETER, output shorter than it returns STATUS_BUFFER_TOO_SMALL.
NTSTATUS USB2SER_ProcessPrivateIoctl(UsbDevice& dev, std::uint32_t code, void* buffer,
                                     std::uint32_t inputLength, std::uint32_t outputLength,
                                     std::uintptr_t& information);

// The same for a device-control request at its current stack location: fills the request's
// status and information; the caller completes it.
NTSTATUS USB2SER_ProcessPrivateIoctlIrp(UsbDevice& dev, Irp* irp);

}  // namespace vm::drv
