#include "driver/core/private_ioctl.h"

#include <cstring>

namespace vm::drv {

using namespace private_ioctl;

bool USB2SER_IsPrivateIoctl(const DriverPolicy& policy, std::uint32_t code) {
    switch (code) {
        case kGetDeviceDescriptor:
        case kGetConfigDescriptor:
        case kGetStringDescriptor:
        case kSendEncap:
        case kGetEncap:
        case kReadInterrupt:
        case kWriteBulk:
        case kReadBulk:
        case kSendCtrlState:
        case kSetFeature:
        case kEepromWrite:
        case kEepromReadData:
        case kEepromReadStatus:
        case kGetFeature:
        case kSetReg1Bit4:
        case kSetReg1Bit5:
        case kSetReg1Bit6:
        case kSetReg1Bit7:
        case kGetReg1Bit6:
        case kGetReg1Bit7:
        case kGetChipVariant:
        case kSetInputSignalConfig:
        case kGetInputSignalConfig:
        case kSetInputSignalData:
        case kGetInputSignalData:
            return true;
        case kClrFeature:
            return policy.clearFeatureCode;
        case kReadReg0E:
        case kWriteReg0E:
        case kReadReg0F:
        case kWriteReg0F:
        case kWriteReg0C:
        case kReadReg0C:
        case kWriteReg0D:
        case kReadReg0D:
        case kStandingReads:
        case kSetReg0Bit3:
        case kGetReg0Bit3:
            return policy.extendedRegisterCodes;
        default:
            return false;
    }
}

namespace {
// What an operation takes and gives: the least input it reads and the least output it writes.
struct Needs {
    std::uint32_t input;
    std::uint32_t output;
};

Needs NeedsOf(std::uint32_t code) {
    switch (code) {
        case kGetDeviceDescriptor:
            return {0, 18};
        case kGetConfigDescriptor:
        case kReadInterrupt:
        case kReadBulk:
            return {0, 1};
        case kGetStringDescriptor:
            return {1, 1};
        case kSendEncap:
            return {4, 0};
        case kGetEncap:
            return {2, 1};
        case kWriteBulk:
            return {0, 0};
        case kSendCtrlState:
        case kSetFeature:
            return {2, 0};
        case kEepromWrite:
            return {1, 0};
        case kEepromReadData:
            return {2, 1};
        case kEepromReadStatus:
            return {0, 1};
        case kGetFeature:
            return {0, 2};
        case kClrFeature:
            return {0, 0};
        case kSetReg1Bit4:
        case kSetReg1Bit5:
        case kSetReg1Bit6:
        case kSetReg1Bit7:
            return {1, 0};
        case kGetReg1Bit6:
        case kGetReg1Bit7:
        case kGetChipVariant:
            return {0, 1};
        case kReadReg0E:
        case kReadReg0F:
            return {0, 1};
        case kWriteReg0E:
        case kWriteReg0F:
        case kWriteReg0C:
        case kWriteReg0D:
            return {2, 0};
        case kSetInputSignalConfig:
        case kSetInputSignalData:
            return {2, 0};
        case kGetInputSignalConfig:
        case kGetInputSignalData:
            return {0, 2};
        case kReadReg0C:
        case kReadReg0D:
            return {0, 2};
        case kStandingReads:
            return {2, 0};
        case kSetReg0Bit3:
            return {1, 0};
        case kGetReg0Bit3:
            return {0, 1};
        default:
            return {0, 0};
    }
}

NTSTATUS ReadRegisterBit(UsbDevice& dev, int reg, int bit, std::uint8_t* out,
                         std::uintptr_t& information) {
    const NTSTATUS status = USB2SER_GetDCR_NoCOM(dev, reg);
    if (!NT_SUCCESS(status)) return status;
    std::uint8_t value;
    {
        SpinLockGuard lock(dev.controlLock);
        value = dev.chip.shadow[static_cast<std::size_t>(reg)];
    }
    out[0] = static_cast<std::uint8_t>((value >> bit) & 1);
    information = 1;
    return status;
}

NTSTATUS WriteRegisterBit(UsbDevice& dev, int reg, int bit, bool set) {
    if (KeGetCurrentIrql() != Irql::Passive) return STATUS_UNSUCCESSFUL;
    KMutexGuard serialised(dev.registerMutex);
    NTSTATUS status = USB2SER_GetDCR_NoCOM(dev, reg);
    if (!NT_SUCCESS(status)) return status;
    {
        SpinLockGuard lock(dev.controlLock);
        std::uint8_t& value = dev.chip.shadow[static_cast<std::size_t>(reg)];
        value = static_cast<std::uint8_t>(set ? value | (1u << bit) : value & ~(1u << bit));
    }
    return USB2SER_SetDCR_NoCOM(dev, reg);
}

std::uint16_t Word(const std::uint8_t* b, std::size_t offset = 0) {
    return static_cast<std::uint16_t>(b[offset] | b[offset + 1] << 8);
}
}  // namespace

NTSTATUS USB2SER_ProcessPrivateIoctl(UsbDevice& dev, std::uint32_t code, void* buffer,
                                     std::uint32_t inputLength, std::uint32_t outputLength,
                                     std::uintptr_t& information) {
    information = 0;
    if (!USB2SER_IsPrivateIoctl(dev.policy, code)) return STATUS_INVALID_PARAMETER;
    const Needs needs = NeedsOf(code);
    auto* b = static_cast<std::uint8_t*>(buffer);
    const bool returnsData = needs.output > 0;
    const bool takesData = needs.input > 0 || code == kWriteBulk;
    if (!b && (returnsData || takesData)) {
        return returnsData ? STATUS_NO_MEMORY : STATUS_INVALID_PARAMETER;
    }
    if (inputLength < needs.input) return STATUS_INVALID_PARAMETER;
    if (outputLength < needs.output) return STATUS_BUFFER_TOO_SMALL;

    std::uint32_t bytes = 0;
    NTSTATUS status = STATUS_SUCCESS;
    switch (code) {
        case kGetDeviceDescriptor:
            status = USB2SER_GetDeviceDescriptor(dev, std::span(b, outputLength), bytes);
            break;
        case kGetConfigDescriptor:
            status = USB2SER_GetConfigDescriptor(dev, std::span(b, outputLength), bytes);
            break;
        case kGetStringDescriptor:
            status = USB2SER_GetStringDescriptor(dev, std::span(b, outputLength), bytes);
            break;
        case kSendEncap:
            return USB2SER_SendEncap(dev, Word(b), Word(b, 2));
        case kGetEncap:
            status = USB2SER_GetEncap(dev, Word(b), b[0]);
            bytes = 1;
            break;
        case kReadInterrupt:
            status = USB2SER_ReadInterrupt(dev, std::span(b, outputLength), bytes);
            break;
        case kWriteBulk:
            return USB2SER_WriteBulk(dev, std::span<const std::uint8_t>(b, inputLength));
        case kReadBulk:
            status = USB2SER_ReadBulk(dev, std::span(b, outputLength), bytes);
            break;
        case kSendCtrlState:
            return USB2SER_SendCtrlState(dev, Word(b));
        case kSetFeature:
            return USB2SER_SetFeature(dev, Word(b));
        case kEepromWrite:
            return USB2SER_EEPROM_Write(dev, std::span<const std::uint8_t>(b, inputLength));
        case kEepromReadData:
            status = USB2SER_EEPROM_ReadData(dev, Word(b), std::span(b, outputLength), bytes);
            break;
        case kEepromReadStatus:
            if (!dev.policy.eepromStatusCodeReads) return STATUS_SUCCESS;
            status = USB2SER_EEPROM_ReadStatus(dev, b[0]);
            bytes = 1;
            break;
        case kGetFeature:
            status = USB2SER_GetFeature(dev, std::span<std::uint8_t, 2>(b, 2));
            bytes = 2;
            break;
        case kClrFeature:
            return USB2SER_ClrFeature(dev);
        case kSetReg1Bit4:
        case kSetReg1Bit5:
        case kSetReg1Bit6:
        case kSetReg1Bit7:
            return WriteRegisterBit(dev, 1, 4 + static_cast<int>((code - kSetReg1Bit4) / 4),
                                    b[0] != 0);
        case kGetReg1Bit6:
            return ReadRegisterBit(dev, 1, 6, b, information);
        case kGetReg1Bit7:
            return ReadRegisterBit(dev, 1, 7, b, information);
        case kGetChipVariant:
            b[0] = static_cast<std::uint8_t>(dev.chipVariant);
            information = 1;
            return STATUS_SUCCESS;
        case kReadReg0E:
            status = ReadExtendedRegister(dev, 0x0E, std::span(b, 1));
            bytes = 1;
            break;
        case kWriteReg0E:
            return WriteExtendedRegister(dev, 0x0E, Word(b));
        case kReadReg0F:
            status = ReadExtendedRegister(dev, 0x0F, std::span(b, 1));
            bytes = 1;
            break;
        case kWriteReg0F:
            return WriteExtendedRegister(dev, 0x0F, Word(b));
        case kSetInputSignalConfig:
            return USB2SER_SetInputSignalConfig(dev, Word(b));
        case kGetInputSignalConfig:
            status = USB2SER_GetInputSignalConfig(dev, std::span<std::uint8_t, 2>(b, 2));
            bytes = 2;
            break;
        case kSetInputSignalData:
            return USB2SER_SetInputSignalData(dev, Word(b));
        case kGetInputSignalData:
            status = USB2SER_GetInputSignalData(dev, std::span<std::uint8_t, 2>(b, 2));
            bytes = 2;
            break;
        case kWriteReg0C:
            return WriteExtendedRegister(dev, 0x0C, Word(b));
        case kReadReg0C:
            status = ReadExtendedRegister(dev, 0x0C, std::span(b, 2));
            bytes = 2;
            break;
        case kWriteReg0D:
            return WriteExtendedRegister(dev, 0x0D, Word(b));
        case kReadReg0D:
            status = ReadExtendedRegister(dev, 0x0D, std::span(b, 2));
            bytes = 2;
            break;
        case kStandingReads:
            if (Word(b) != 0) {
                CancelTheIrp(dev, kPipeStatus);
                CancelTheIrp(dev, kPipeReceive);
                return STATUS_SUCCESS;
            }
            status = USB2SER_ArmStanding(dev, kPipeStatus, kStatusTransferSize);
            if (NT_SUCCESS(status) || status == STATUS_PENDING) {
                status = USB2SER_ArmStanding(dev, kPipeReceive, kReceiveTransferSize);
            }
            return status == STATUS_PENDING ? STATUS_SUCCESS : status;
        case kSetReg0Bit3:
            if (dev.chipVariant != 4) return STATUS_NOT_SUPPORTED;
            return WriteRegisterBit(dev, 0, 3, b[0] != 0);
        case kGetReg0Bit3:
            if (dev.chipVariant != 4) return STATUS_NOT_SUPPORTED;
            return ReadRegisterBit(dev, 0, 3, b, information);
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) information = bytes;
    return status;
}

NTSTATUS USB2SER_ProcessPrivateIoctlIrp(UsbDevice& dev, Irp* irp) {
    const IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    std::uintptr_t information = 0;
    const NTSTATUS status = USB2SER_ProcessPrivateIoctl(
        dev, location->Parameters.DeviceIoControl.IoControlCode, irp->SystemBuffer,
        location->Parameters.DeviceIoControl.InputBufferLength,
        location->Parameters.DeviceIoControl.OutputBufferLength, information);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    return status;
}

}  // namespace vm::drv
