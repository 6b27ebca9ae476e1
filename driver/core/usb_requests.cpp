// The requests the transport sends, each built on its submission (usb_transport.cpp): the
// vendor, class and descriptor requests, the chip's registers and EEPROM, the resets and the
// variant-gated requests, and the configuration.
#include "driver/core/usb_transport.h"

#include <algorithm>

namespace vm::drv {

// --- Control requests ----------------------------------------------------------------------------

namespace {
NTSTATUS ControlRequest(UsbDevice& dev, std::uint16_t function, bool in, std::uint8_t request,
                        std::uint16_t value, std::uint16_t index, void* buffer,
                        std::uint32_t length, bool async, std::uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildVendorRequest(*urb, function, in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value,
                          index, buffer, length);
    if (async) {
        VM_KASSERT(!in);  // nothing would receive the data
        return USB2SER_AsyncCallUSBD_Ctrl(dev, urb);
    }
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (bytesReturned && NT_SUCCESS(status)) {
        *bytesReturned = std::min(urb->As<UrbControlVendorOrClass>().TransferBufferLength, length);
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS GetDescriptor(UsbDevice& dev, std::uint8_t type, std::uint8_t index,
                       std::uint16_t language, std::span<std::uint8_t> buffer,
                       std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildGetDescriptorRequest(*urb, type, index, language, buffer.data(),
                                 static_cast<std::uint32_t>(buffer.size()));
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (NT_SUCCESS(status)) {
        bytesReturned =
            std::min<std::uint32_t>(urb->As<UrbDescriptorRequest>().TransferBufferLength,
                                    static_cast<std::uint32_t>(buffer.size()));
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS SyncPipeTransfer(UsbDevice& dev, int pipe, void* buffer, std::uint32_t length,
                          std::uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    const std::optional<PipeHandle> handle = dev.PipeHandleOf(pipe);
    if (!handle) return STATUS_INVALID_DEVICE_STATE;
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildInterruptOrBulkTransferRequest(*urb, *handle, buffer, length, TransferFlagsOf(pipe));
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (bytesReturned && NT_SUCCESS(status)) {
        *bytesReturned =
            std::min(urb->As<UrbBulkOrInterruptTransfer>().TransferBufferLength, length);
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

bool ValidRegister(int reg) {
    return reg >= 0 && reg <= 2;
}
}  // namespace

NTSTATUS VendorWrite(UsbDevice& dev, std::uint16_t value, std::uint16_t index, bool async) {
    return ControlRequest(dev, URB_FUNCTION_VENDOR_DEVICE, false, 0x01, value, index, nullptr, 0,
                          async, nullptr);
}

NTSTATUS VendorRead(UsbDevice& dev, std::uint16_t value, std::span<std::uint8_t> buffer,
                    std::uint32_t* bytesReturned) {
    return ControlRequest(dev, URB_FUNCTION_VENDOR_DEVICE, true, 0x01, value, 0, buffer.data(),
                          static_cast<std::uint32_t>(buffer.size()), false, bytesReturned);
}

NTSTATUS ClassRequest(UsbDevice& dev, bool in, std::uint8_t request, std::uint16_t value,
                      std::span<std::uint8_t> buffer, bool async) {
    return ControlRequest(dev, URB_FUNCTION_CLASS_INTERFACE, in, request, value, 0,
                          buffer.empty() ? nullptr : buffer.data(),
                          static_cast<std::uint32_t>(buffer.size()), async, nullptr);
}

NTSTATUS USB2SER_GetDeviceDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    if (buffer.size() < 18) return STATUS_BUFFER_TOO_SMALL;
    return GetDescriptor(dev, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.first(18), bytesReturned);
}

NTSTATUS USB2SER_GetConfigDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned) {
    return GetDescriptor(dev, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, bytesReturned);
}

NTSTATUS USB2SER_GetStringDescriptor(UsbDevice& dev, std::span<std::uint8_t> buffer,
                                     std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    if (buffer.empty()) return STATUS_INVALID_PARAMETER;
    return GetDescriptor(dev, USB_STRING_DESCRIPTOR_TYPE, buffer[0], 0x0409, buffer, bytesReturned);
}

NTSTATUS USB2SER_SendEncap(UsbDevice& dev, std::uint16_t value, std::uint16_t index) {
    return VendorWrite(dev, value, index);
}

NTSTATUS USB2SER_GetEncap(UsbDevice& dev, std::uint16_t value, std::uint8_t& byte) {
    return VendorRead(dev, value, std::span<std::uint8_t>(&byte, 1));
}

NTSTATUS USB2SER_ReadInterrupt(UsbDevice& dev, std::span<std::uint8_t> buffer,
                               std::uint32_t& bytesReturned) {
    return SyncPipeTransfer(dev, kPipeStatus, buffer.data(),
                            static_cast<std::uint32_t>(buffer.size()), &bytesReturned);
}

NTSTATUS USB2SER_WriteBulk(UsbDevice& dev, std::span<const std::uint8_t> data) {
    return SyncPipeTransfer(dev, kPipeTransmit, const_cast<std::uint8_t*>(data.data()),
                            static_cast<std::uint32_t>(data.size()), nullptr);
}

NTSTATUS USB2SER_ReadBulk(UsbDevice& dev, std::span<std::uint8_t> buffer,
                          std::uint32_t& bytesReturned) {
    return SyncPipeTransfer(dev, kPipeReceive, buffer.data(),
                            static_cast<std::uint32_t>(buffer.size()), &bytesReturned);
}

NTSTATUS USB2SER_SendCtrlState(UsbDevice& dev, std::uint16_t value, bool async) {
    return ClassRequest(dev, false, 0x22, value, {}, async);
}

NTSTATUS USB2SER_SetFeature(UsbDevice& dev, std::uint16_t data) {
    // The data stage outlives the call only when asynchronous; this one waits.
    std::uint8_t bytes[2] = {static_cast<std::uint8_t>(data), static_cast<std::uint8_t>(data >> 8)};
    return ClassRequest(dev, false, 0x02, 1, bytes);
}

NTSTATUS USB2SER_GetFeature(UsbDevice& dev, std::span<std::uint8_t, 2> data) {
    return ClassRequest(dev, true, 0x03, 1, data);
}

NTSTATUS USB2SER_ClrFeature(UsbDevice& dev) {
    return ClassRequest(dev, false, 0x04, 1, {});
}

NTSTATUS USB2SER_SetLineCoding(UsbDevice& dev, const LineCoding& coding) {
    std::array<std::uint8_t, 7> bytes = coding.Encode();
    return ClassRequest(dev, false, 0x20, 0, bytes);
}

NTSTATUS USB2SER_GetLineCoding(UsbDevice& dev, LineCoding& coding) {
    std::array<std::uint8_t, 7> bytes{};
    const NTSTATUS status = ClassRequest(dev, true, 0x21, 0, bytes);
    if (NT_SUCCESS(status)) coding = LineCoding::Decode(bytes);
    return status;
}

NTSTATUS USB2SER_SendBreak(UsbDevice& dev, bool on, bool async) {
    return ClassRequest(dev, false, 0x23, on ? 0xFFFF : 0x0000, {}, async);
}

// --- Registers -----------------------------------------------------------------------------------

NTSTATUS USB2SER_GetDCR_NoCOM(UsbDevice& dev, int reg) {
    if (!ValidRegister(reg)) return STATUS_INVALID_PARAMETER;
    std::uint8_t value = 0;
    std::uint32_t bytes = 0;
    const NTSTATUS status =
        VendorRead(dev, static_cast<std::uint16_t>(0x80 + reg), std::span(&value, 1), &bytes);
    if (NT_SUCCESS(status) && bytes == 1) {
        SpinLockGuard lock(dev.controlLock);
        dev.chip.shadow[static_cast<std::size_t>(reg)] = value;
    }
    return NT_SUCCESS(status) && bytes != 1 ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS USB2SER_SetDCR(UsbDevice& dev, int reg, std::uint8_t value, bool async) {
    if (!ValidRegister(reg)) return STATUS_INVALID_PARAMETER;
    return VendorWrite(dev, static_cast<std::uint16_t>(reg), value, async);
}

NTSTATUS USB2SER_SetDCR_NoCOM(UsbDevice& dev, int reg) {
    if (!ValidRegister(reg)) return STATUS_INVALID_PARAMETER;
    std::uint8_t value;
    {
        SpinLockGuard lock(dev.controlLock);
        value = dev.chip.shadow[static_cast<std::size_t>(reg)];
    }
    return USB2SER_SetDCR(dev, reg, value);
}

NTSTATUS WriteExtendedRegister(UsbDevice& dev, int reg, std::uint16_t value) {
    if (reg < 0x0C || reg > 0x0F) return STATUS_INVALID_PARAMETER;
    if (!dev.ChipAtLeast(3)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, static_cast<std::uint16_t>(reg << 8 | reg), value);
}

NTSTATUS ReadExtendedRegister(UsbDevice& dev, int reg, std::span<std::uint8_t> out) {
    if (reg < 0x0C || reg > 0x0F) return STATUS_INVALID_PARAMETER;
    const std::size_t length = reg <= 0x0D ? 2 : 1;
    if (out.size() < length) return STATUS_BUFFER_TOO_SMALL;
    if (!dev.ChipAtLeast(3)) return STATUS_NOT_SUPPORTED;
    const int code = 0x80 | reg;
    return VendorRead(dev, static_cast<std::uint16_t>(code << 8 | code), out.first(length));
}

NTSTATUS USB2SER_SetXonXoffChars(UsbDevice& dev, std::uint8_t xon, std::uint8_t xoff) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, 0x0505, static_cast<std::uint16_t>(xon | xoff << 8));
}

// --- EEPROM --------------------------------------------------------------------------------------

NTSTATUS USB2SER_EEPROM_ReadStatus(UsbDevice& dev, std::uint8_t& status) {
    std::uint32_t bytes = 0;
    const NTSTATUS result = VendorRead(dev, 0x8484, std::span(&status, 1), &bytes);
    return NT_SUCCESS(result) && bytes != 1 ? STATUS_UNSUCCESSFUL : result;
}

bool USB2SER_EEPROM_IsBusy(UsbDevice& dev) {
    dev.kernel.Delay(5 * kMillisecond);
    std::uint8_t status = 0;
    return NT_SUCCESS(USB2SER_EEPROM_ReadStatus(dev, status)) && (status & 0x01) != 0;
}

namespace {
// Polls until the EEPROM is idle; a chip that stays busy gives STATUS_IO_TIMEOUT.
NTSTATUS WaitEepromIdle(UsbDevice& dev) {
    for (int poll = 0; poll < kEepromBusyPollLimit; ++poll) {
        if (!USB2SER_EEPROM_IsBusy(dev)) return STATUS_SUCCESS;
    }
    return STATUS_IO_TIMEOUT;
}
}  // namespace

NTSTATUS USB2SER_EEPROM_Write(UsbDevice& dev, std::span<const std::uint8_t> buffer) {
    if (buffer.empty()) return STATUS_INVALID_PARAMETER;
    const std::uint8_t start = buffer[0];
    for (std::size_t k = 1; k < buffer.size(); ++k) {
        NTSTATUS status = WaitEepromIdle(dev);
        if (!NT_SUCCESS(status)) return status;
        const auto address = static_cast<std::uint8_t>(start + (k - 1));
        status = VendorWrite(dev, 0x0303, static_cast<std::uint16_t>(buffer[k] << 8 | address));
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS USB2SER_EEPROM_ReadData(UsbDevice& dev, std::uint16_t start, std::span<std::uint8_t> out,
                                 std::uint32_t& bytesReturned) {
    bytesReturned = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        NTSTATUS status = WaitEepromIdle(dev);
        if (NT_SUCCESS(status)) {
            status = VendorWrite(dev, 0x0404, static_cast<std::uint16_t>(start + i));
        }
        if (NT_SUCCESS(status)) status = WaitEepromIdle(dev);
        std::uint32_t bytes = 0;
        if (NT_SUCCESS(status)) status = VendorRead(dev, 0x8383, out.subspan(i, 1), &bytes);
        if (NT_SUCCESS(status) && bytes != 1) status = STATUS_UNSUCCESSFUL;
        // A byte that cannot be read makes the whole read fail: no partly stale data is passed
        // off as read.
        if (!NT_SUCCESS(status)) return status;
    }
    bytesReturned = static_cast<std::uint32_t>(out.size());
    return STATUS_SUCCESS;
}

bool USB2SER_IsEEPROM3A71(UsbDevice& dev) {
    static constexpr std::uint16_t kFirst[] = {0};
    static constexpr std::uint16_t kVariant3[] = {0, 32, 64, 96, 128, 160};
    static constexpr std::uint16_t kVariant4[] = {0, 96};
    std::span<const std::uint16_t> addresses = kFirst;
    if (dev.chipVariant == 3) addresses = kVariant3;
    if (dev.chipVariant == 4 && dev.policy.maxChipVariant >= 4) addresses = kVariant4;
    for (std::uint16_t address : addresses) {
        std::uint8_t word[2] = {};
        std::uint32_t bytes = 0;
        if (NT_SUCCESS(USB2SER_EEPROM_ReadData(dev, address, word, bytes)) && bytes == 2 &&
            (word[0] | word[1] << 8) == 0x3A71) {
            return true;
        }
    }
    return false;
}

// --- Resets and variant-gated requests --------------------------------------------------------

NTSTATUS USB2SER_ResetPipe(UsbDevice& dev, int pipe) {
    if (!dev.policy.resetPipeSendsRequest || dev.chipVariant == 2) return STATUS_SUCCESS;
    const std::optional<PipeHandle> handle = dev.PipeHandleOf(pipe);
    if (!handle) return STATUS_INVALID_DEVICE_STATE;
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildResetPipeRequest(*urb, *handle);
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS USB2SER_ResetDataPipe(UsbDevice& dev, int direction) {
    if (direction != 0 && direction != 1) return STATUS_INVALID_PARAMETER;
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, direction == 0 ? 0x0808 : 0x0909, 0);
}

NTSTATUS USB2SER_SetFlowThreshold(UsbDevice& dev, std::uint8_t threshold) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, 0x0B0B, threshold);
}

NTSTATUS USB2SER_SetInputSignalConfig(UsbDevice& dev, std::uint16_t value) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, 0x0606, value);
}

NTSTATUS USB2SER_GetInputSignalConfig(UsbDevice& dev, std::span<std::uint8_t, 2> out) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorRead(dev, 0x8686, out);
}

NTSTATUS USB2SER_SetInputSignalData(UsbDevice& dev, std::uint16_t value) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorWrite(dev, 0x0707, value);
}

NTSTATUS USB2SER_GetInputSignalData(UsbDevice& dev, std::span<std::uint8_t, 2> out) {
    if (!dev.ChipAtLeast(2)) return STATUS_NOT_SUPPORTED;
    return VendorRead(dev, 0x8787, out);
}

// --- Configuration -------------------------------------------------------------------------------

NTSTATUS USB2SER_ConfigureDevice(UsbDevice& dev) {
    std::uint8_t head[9] = {};
    std::uint32_t bytes = 0;
    NTSTATUS status = USB2SER_GetConfigDescriptor(dev, head, bytes);
    if (!NT_SUCCESS(status)) return status;
    if (bytes < 9) return STATUS_DEVICE_CONFIGURATION_ERROR;
    const std::uint16_t total = static_cast<std::uint16_t>(head[2] | head[3] << 8);
    if (total < 9) return STATUS_DEVICE_CONFIGURATION_ERROR;
    auto* config = static_cast<std::uint8_t*>(dev.Allocate(total));
    if (!config) return STATUS_INSUFFICIENT_RESOURCES;
    status = USB2SER_GetConfigDescriptor(dev, std::span(config, total), bytes);
    if (NT_SUCCESS(status)) {
        status = bytes < 9 ? STATUS_DEVICE_CONFIGURATION_ERROR
                           : USB2SER_SelectInterfaces(dev, std::span(config, bytes));
    }
    dev.Free(config);
    return status;
}

NTSTATUS USB2SER_SelectInterfaces(UsbDevice& dev, std::span<const std::uint8_t> config) {
    if (config.size() < 9) return STATUS_DEVICE_CONFIGURATION_ERROR;
    dev.singleInterface = config[4] == 1;
    return dev.singleInterface ? USB2SER_SelectInterfaces1(dev, config)
                               : USB2SER_SelectInterfaces2(dev, config);
}

NTSTATUS USB2SER_SelectInterfaces1(UsbDevice& dev, std::span<const std::uint8_t> config) {
    const std::optional<InterfaceDescriptor> iface =
        ParseConfigurationDescriptor(config, 0, -1, -1, -1, -1, -1);
    if (!iface) return STATUS_DEVICE_CONFIGURATION_ERROR;
    Urb* urb =
        CreateConfigurationRequest(dev.kernel, dev.policy.poolTag, config, std::span(&*iface, 1));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (NT_SUCCESS(status)) {
        dev.interfaces[0] = urb->As<UrbSelectConfiguration>().Interfaces.at(0);
        dev.interfaces[1].reset();
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS USB2SER_SelectInterfaces2(UsbDevice& dev, std::span<const std::uint8_t> config) {
    struct Criteria {
        int cls, subClass, protocol;
    };
    static constexpr Criteria kTable[2][2] = {
        {{0x02, 0x02, 0xFF}, {0x0A, 0x00, 0x00}},
        {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}},
    };
    const auto& row = kTable[dev.chipVariant == 0 ? 0 : 1];
    InterfaceDescriptor wanted[2];
    for (int i = 0; i < 2; ++i) {
        const std::optional<InterfaceDescriptor> found = ParseConfigurationDescriptor(
            config, 0, i, 0, row[i].cls, row[i].subClass, row[i].protocol);
        if (!found) return STATUS_DEVICE_CONFIGURATION_ERROR;
        wanted[i] = *found;
    }
    Urb* urb = CreateConfigurationRequest(dev.kernel, dev.policy.poolTag, config, wanted);
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    if (NT_SUCCESS(status)) {
        auto& interfaces = urb->As<UrbSelectConfiguration>().Interfaces;
        dev.interfaces[0] = interfaces.at(0);
        dev.interfaces[1] = interfaces.at(1);
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS USB2SER_ControlRemoteWakeup(UsbDevice& dev, bool enable) {
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    UsbBuildFeatureRequest(
        *urb, enable ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
        USB_FEATURE_REMOTE_WAKEUP, 0);
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    dev.kernel.pool().Delete(urb);
    return status;
}

NTSTATUS USB2SER_StopDevice(UsbDevice& dev) {
    Urb* urb = dev.kernel.pool().New<Urb>(dev.policy.poolTag);
    if (!urb) return STATUS_NO_MEMORY;
    urb->Hdr = UrbHeader{24, URB_FUNCTION_SELECT_CONFIGURATION, USBD_STATUS_SUCCESS};
    urb->Body = UrbSelectConfiguration{};
    const NTSTATUS status = USB2SER_CallUSBD(dev, urb);
    dev.kernel.pool().Delete(urb);
    return status;
}

}  // namespace vm::drv
