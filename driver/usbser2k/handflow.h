// usbser2k: applying a serial handshake-and-flow record (ControlHandShake, FlowReplace,
// XonLimit, XoffLimit) to the chip and to the receive and transmit holds.
#pragma once

#include <cstdint>

#include "driver/core/usb_transport.h"

namespace vm::drv {

// ControlHandShake bits.
inline constexpr std::uint32_t SERIAL_DTR_MASK = 0x03;
inline constexpr std::uint32_t SERIAL_DTR_CONTROL = 0x01;
inline constexpr std::uint32_t SERIAL_DTR_HANDSHAKE = 0x02;
inline constexpr std::uint32_t SERIAL_CTS_HANDSHAKE = 0x08;
inline constexpr std::uint32_t SERIAL_DSR_HANDSHAKE = 0x10;
inline constexpr std::uint32_t SERIAL_DSR_SENSITIVITY = 0x40;
inline constexpr std::uint32_t SERIAL_ERROR_ABORT = 0x80000000;
// FlowReplace bits.
inline constexpr std::uint32_t SERIAL_AUTO_TRANSMIT = 0x01;
inline constexpr std::uint32_t SERIAL_AUTO_RECEIVE = 0x02;
inline constexpr std::uint32_t SERIAL_ERROR_CHAR = 0x04;
inline constexpr std::uint32_t SERIAL_NULL_STRIPPING = 0x08;
inline constexpr std::uint32_t SERIAL_BREAK_CHAR = 0x10;
inline constexpr std::uint32_t SERIAL_RTS_MASK = 0xC0;
inline constexpr std::uint32_t SERIAL_RTS_CONTROL = 0x40;
inline constexpr std::uint32_t SERIAL_RTS_HANDSHAKE = 0x80;
inline constexpr std::uint32_t SERIAL_TRANSMIT_TOGGLE = 0xC0;

// Receive hold reasons.
inline constexpr std::uint32_t SERIAL_RX_DTR = 0x01;
inline constexpr std::uint32_t SERIAL_RX_XOFF = 0x02;
inline constexpr std::uint32_t SERIAL_RX_RTS = 0x04;
inline constexpr std::uint32_t SERIAL_RX_DSR = 0x08;
// Transmit hold reasons.
inline constexpr std::uint32_t SERIAL_TX_CTS = 0x01;
inline constexpr std::uint32_t SERIAL_TX_DSR = 0x02;
inline constexpr std::uint32_t SERIAL_TX_DCD = 0x04;
inline constexpr std::uint32_t SERIAL_TX_XOFF = 0x08;
inline constexpr std::uint32_t SERIAL_TX_BREAK = 0x10;

struct SerialHandflow {
    std::uint32_t ControlHandShake = 0;
    std::uint32_t FlowReplace = 0;
    std::int32_t XonLimit = 0;
    std::int32_t XoffLimit = 0;
    bool operator==(const SerialHandflow&) const = default;
};

// What the handshake needs from the serial side (the receive buffer and the transmitter).
class FlowHost {
public:
    virtual ~FlowHost() = default;
    virtual std::uint32_t ReceiveCount() const = 0;
    virtual std::uint32_t ReceiveBufferSize() const = 0;
    // A transmission or break is in progress, or characters are waiting.
    virtual bool TransmitPending() const = 0;
    // Sends XON or XOFF at once, outside the write queue.
    virtual void SendFlowCharacter(std::uint8_t character) = 0;
    // Restarts a transmission that waited for a hold to go.
    virtual void RestartTransmit() = 0;
    // The status byte of the last status notification (0x80 CTS, 0x02 DSR).
    virtual std::uint8_t LastStatusByte() const = 0;
};

inline constexpr std::uint8_t kStatusCts = 0x80;
inline constexpr std::uint8_t kStatusDsr = 0x02;

struct FlowState {
    SerialHandflow handflow;
    bool applied = false;  // a record has been applied before
    std::uint32_t receiveHolds = 0;
    std::uint32_t transmitHolds = 0;
    std::uint8_t xonChar = 0x11;
    std::uint8_t xoffChar = 0x13;
};

// Applies the parts of `next` that differ from the record in force (all of them the first time)
// and keeps it. Returns the first failure of a chip request (the rest is still applied).
NTSTATUS ApplyHandFlow(UsbDevice& dev, FlowState& state, const SerialHandflow& next,
                       FlowHost& host);

}  // namespace vm::drv
