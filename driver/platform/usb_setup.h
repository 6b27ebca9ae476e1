// The setup stage of a USB control transfer, as it goes over the wire, and the standard request
// codes a bus and a device speak.
#pragma once

#include <cstdint>

namespace vm::drv {

// bmRequestType: direction, type and recipient.
inline constexpr std::uint8_t kUsbDirectionIn = 0x80;
inline constexpr std::uint8_t kUsbTypeStandard = 0x00;
inline constexpr std::uint8_t kUsbTypeClass = 0x20;
inline constexpr std::uint8_t kUsbTypeVendor = 0x40;
inline constexpr std::uint8_t kUsbRecipientDevice = 0x00;
inline constexpr std::uint8_t kUsbRecipientInterface = 0x01;

// Standard requests.
enum : std::uint8_t {
    USB_REQUEST_CLEAR_FEATURE = 0x01,
    USB_REQUEST_SET_FEATURE = 0x03,
    USB_REQUEST_GET_DESCRIPTOR = 0x06,
    USB_REQUEST_SET_CONFIGURATION = 0x09,
};

// The eight bytes of a control transfer's setup stage.
struct UsbSetupPacket {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;

    bool In() const { return (requestType & kUsbDirectionIn) != 0; }
    bool operator==(const UsbSetupPacket&) const = default;
};

}  // namespace vm::drv
