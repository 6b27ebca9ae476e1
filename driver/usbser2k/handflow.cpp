#include "driver/usbser2k/handflow.h"

#include "driver/core/chip_control.h"

namespace vm::drv {

namespace {
struct Result {
    NTSTATUS status = STATUS_SUCCESS;
    void Take(NTSTATUS s) {
        // A setting the chip variant lacks is not a failure of the record.
        if (NT_SUCCESS(status) && !NT_SUCCESS(s) && s != STATUS_NOT_SUPPORTED) status = s;
    }
};

// The buffer is past the XOFF point: XoffLimit characters or fewer of room are left.
bool PastXoffPoint(const FlowHost& host, const SerialHandflow& hf) {
    const std::int64_t room =
        static_cast<std::int64_t>(host.ReceiveBufferSize()) - host.ReceiveCount();
    return room <= hf.XoffLimit;
}

// Drives a modem line as a receive handshake: hold and drop it when the buffer is past the
// XOFF point; otherwise raise it, except that a hold already in place is released only once the
// buffer has drained to XonLimit characters or fewer.
NTSTATUS DriveHandshakeLine(UsbDevice& dev, FlowState& state, const SerialHandflow& hf,
                            const FlowHost& host, std::uint32_t holdBit,
                            NTSTATUS (*setLine)(UsbDevice&, bool)) {
    if (PastXoffPoint(host, hf)) {
        state.receiveHolds |= holdBit;
        return setLine(dev, false);
    }
    if (state.receiveHolds & holdBit) {
        if (host.ReceiveCount() > static_cast<std::uint32_t>(hf.XonLimit)) return STATUS_SUCCESS;
        state.receiveHolds &= ~holdBit;
    }
    return setLine(dev, true);
}
}  // namespace

NTSTATUS ApplyHandFlow(UsbDevice& dev, FlowState& state, const SerialHandflow& next,
                       FlowHost& host) {
    const bool first = !state.applied;
    const SerialHandflow& prev = state.handflow;
    const bool limitsChanged =
        first || next.XonLimit != prev.XonLimit || next.XoffLimit != prev.XoffLimit;
    auto changed = [&](std::uint32_t SerialHandflow::*field, std::uint32_t mask) {
        return first || ((next.*field ^ prev.*field) & mask) != 0;
    };
    Result result;

    // 1. CTS and DSR handshakes in the chip. Switched on while its line is down, the handshake
    // holds the transmitter until the line comes up; switched off, it lets go of it.
    bool released = false;
    auto outputHandshake = [&](std::uint32_t bit, std::uint8_t line, std::uint32_t hold,
                               NTSTATUS (*set)(UsbDevice&, bool)) {
        if (!changed(&SerialHandflow::ControlHandShake, bit)) return;
        const bool on = (next.ControlHandShake & bit) != 0;
        result.Take(set(dev, on));
        if (on && (host.LastStatusByte() & line) == 0) {
            state.transmitHolds |= hold;
        } else if (state.transmitHolds & hold) {
            state.transmitHolds &= ~hold;
            released = true;
        }
    };
    outputHandshake(SERIAL_CTS_HANDSHAKE, kStatusCts, SERIAL_TX_CTS, &SetCtsHandshake);
    outputHandshake(SERIAL_DSR_HANDSHAKE, kStatusDsr, SERIAL_TX_DSR, &SetDsrHandshake);
    if (released && state.transmitHolds == 0) host.RestartTransmit();

    // 2. DTR control.
    const std::uint32_t dtr = next.ControlHandShake & SERIAL_DTR_MASK;
    if (changed(&SerialHandflow::ControlHandShake, SERIAL_DTR_MASK) ||
        (dtr == SERIAL_DTR_HANDSHAKE && limitsChanged)) {
        if (dtr == SERIAL_DTR_HANDSHAKE) {
            result.Take(
                DriveHandshakeLine(dev, state, next, host, SERIAL_RX_DTR, &USB2SER_SetDTRState));
        } else {
            state.receiveHolds &= ~SERIAL_RX_DTR;
            result.Take(USB2SER_SetDTRState(dev, dtr == SERIAL_DTR_CONTROL));
        }
    }

    // 3. RTS control.
    const std::uint32_t rts = next.FlowReplace & SERIAL_RTS_MASK;
    const bool rtsModeChanged = changed(&SerialHandflow::FlowReplace, SERIAL_RTS_MASK);
    if (rtsModeChanged || (rts == SERIAL_RTS_HANDSHAKE && limitsChanged)) {
        const bool wasHandshake =
            !first && (prev.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
        if (rts == SERIAL_RTS_HANDSHAKE) {
            if (rtsModeChanged) result.Take(SetRtsHandshake(dev, true));
            result.Take(
                DriveHandshakeLine(dev, state, next, host, SERIAL_RX_RTS, &USB2SER_SetRTSState));
        } else {
            // Leaving the handshake also takes it out of the chip and drops its hold.
            if (wasHandshake) result.Take(SetRtsHandshake(dev, false));
            state.receiveHolds &= ~SERIAL_RX_RTS;
            const bool on = rts == SERIAL_RTS_CONTROL ||
                            (rts == SERIAL_TRANSMIT_TOGGLE && host.TransmitPending());
            result.Take(USB2SER_SetRTSState(dev, on));
        }
    }

    // 4 and 5. Automatic receive and transmit flow: XON/XOFF in the chip while either is on.
    const bool autoReceive = (next.FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
    const bool autoTransmit = (next.FlowReplace & SERIAL_AUTO_TRANSMIT) != 0;
    if (changed(&SerialHandflow::FlowReplace, SERIAL_AUTO_RECEIVE | SERIAL_AUTO_TRANSMIT)) {
        result.Take(SetChipXonXoff(dev, autoReceive || autoTransmit));
    }
    if (changed(&SerialHandflow::FlowReplace, SERIAL_AUTO_RECEIVE) ||
        (autoReceive && limitsChanged)) {
        if (autoReceive) {
            if (!(state.receiveHolds & SERIAL_RX_XOFF) && PastXoffPoint(host, next)) {
                state.receiveHolds |= SERIAL_RX_XOFF;
                host.SendFlowCharacter(state.xoffChar);
            }
        } else if (state.receiveHolds & SERIAL_RX_XOFF) {
            state.receiveHolds &= ~SERIAL_RX_XOFF;
            host.SendFlowCharacter(state.xonChar);
        }
    }
    if (changed(&SerialHandflow::FlowReplace, SERIAL_AUTO_TRANSMIT) && !autoTransmit &&
        (state.transmitHolds & SERIAL_TX_XOFF)) {
        state.transmitHolds &= ~SERIAL_TX_XOFF;
        host.RestartTransmit();
    }

    // 6. Keep the record.
    state.handflow = next;
    state.applied = true;
    return result.status;
}

}  // namespace vm::drv
