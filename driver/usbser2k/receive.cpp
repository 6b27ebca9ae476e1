// The receive path: received bytes stored in the ring or the current read, the receive
// handshakes and the XOFF counter; status notifications (modem lines, line errors); error abort.
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

namespace {

// What storing bytes asks for once the receive lock is let go.
struct StoreResult {
    bool readFilled = false;  // the direct read stopped: full or any-byte satisfied
    bool xoffCounterDone = false;
    bool sendXoff = false;
    std::uint8_t xoffChar = 0;  // the XOFF character in force when the hold was set
    bool lines = false;
    bool abort = false;
    bool restartTransmit = false;
    std::uint32_t events = 0;
};

// Stores one byte (receive lock held).
void StoreByte(Device& dev, std::uint8_t b, StoreResult& r) REQUIRES(dev.serial.receiveLock) {
    SerialState& s = dev.serial;
    const SerialHandflow& hf = s.flow.handflow;
    if ((hf.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !(s.statusWord & kStatusDsr)) return;
    if (s.xoffCounterLeft > 0 && --s.xoffCounterLeft == 0) r.xoffCounterDone = true;
    if (s.directRead && s.readCount < s.readLength) {
        s.readBuffer[s.readCount++] = b;
        s.lastByteTime = dev.kernel.Now();
        if (s.readCount == s.readLength) {
            s.directRead->IoStatus.Information = s.readCount;
            s.directRead = nullptr;
            r.readFilled = true;
        }
        return;
    }
    if (!dev.receiveBuffer || dev.receiveSize == 0) return;
    const std::uint32_t size = dev.receiveSize;
    const std::uint32_t xoffLimit = static_cast<std::uint32_t>(std::max(hf.XoffLimit, 0));
    const std::uint32_t next = dev.receiveCount + 1;
    if ((hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE &&
        !(s.flow.receiveHolds & SERIAL_RX_DTR) && next >= size - xoffLimit) {
        s.flow.receiveHolds |= SERIAL_RX_DTR;
        r.lines = true;
    }
    // Compared as unsigned: it never triggers for buffers of 400 + XoffLimit bytes or less.
    const std::uint32_t flowPoint = size - xoffLimit - 400u;
    if ((hf.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE &&
        !(s.flow.receiveHolds & SERIAL_RX_RTS) && next >= flowPoint) {
        s.flow.receiveHolds |= SERIAL_RX_RTS;
        r.lines = true;
    }
    if ((hf.FlowReplace & SERIAL_AUTO_RECEIVE) && !(s.flow.receiveHolds & SERIAL_RX_XOFF) &&
        next >= flowPoint) {
        s.flow.receiveHolds |= SERIAL_RX_XOFF;
        if (!dev.usb.ChipAtLeast(2)) {
            r.sendXoff = true;
            r.xoffChar = s.flow.xoffChar;
        }
    }
    if (dev.receiveCount == size) {
        ++s.stats.BufferOverrunErrorCount;
        s.errors |= SERIAL_ERROR_QUEUEOVERRUN;
        if (hf.FlowReplace & SERIAL_ERROR_CHAR) {
            dev.receiveBuffer[(dev.receiveFirst + size - 1) % size] = s.chars.ErrorChar;
        }
        if (hf.ControlHandShake & SERIAL_ERROR_ABORT) r.abort = true;
        return;
    }
    dev.receiveBuffer[(dev.receiveFirst + dev.receiveCount) % size] = b;
    ++dev.receiveCount;
    if (dev.receiveCount == s.eightyPercent) r.events |= SERIAL_EV_RX80FULL;
}

// Ends the pending reads and writes of an error abort.
void ErrorAbort(Device& dev) {
    Done done;
    {
        CancelLock lock(dev.kernel);
        AbortQueue(dev, dev.serial.readQueue, done);
        AbortQueue(dev, dev.serial.writeQueue, done);
    }
    Settle(dev, done);
}

void AfterStore(Device& dev, StoreResult& r) {
    SerialState& s = dev.serial;
    Done done;
    if (r.readFilled || r.xoffCounterDone || r.events) {
        CancelLock lock(dev.kernel);
        if (r.readFilled) {
            Irp* irp = s.readQueue.current;
            VM_KASSERT(irp && (RefsOf(irp) & kRefDirect));
            BeginEnd(dev, s.readQueue, STATUS_SUCCESS, done);
            Drop(dev, s.readQueue, irp, kRefDirect, done);
        }
        if (r.xoffCounterDone) {
            Irp* irp = s.xoffCounterQueue.current;
            VM_KASSERT(irp && (RefsOf(irp) & kRefDirect));
            BeginEnd(dev, s.xoffCounterQueue, STATUS_SUCCESS, done);
            Drop(dev, s.xoffCounterQueue, irp, kRefDirect, done);
        }
        RecordEventsLocked(dev, r.events, done);
    }
    Settle(dev, done);
    if (r.sendXoff) SendFlowCharacter(dev, r.xoffChar);
    if (r.lines) QueueLineWork(dev);
    if (r.abort) ErrorAbort(dev);
    if (r.restartTransmit) SendChunk(dev);
}

}  // namespace

void ArmReceive(Device& dev) {
    SerialState& s = dev.serial;
    if (!dev.standingTransfers.load() || dev.usb.removing.load()) return;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        if (s.flow.receiveHolds & (SERIAL_RX_XOFF | SERIAL_RX_RTS)) return;
    }
    USB2SER_ArmStanding(dev.usb, kPipeReceive, kReceiveTransferSize);
}

void OnReceive(Device& dev, NTSTATUS status, std::span<const std::uint8_t> data) {
    SerialState& s = dev.serial;
    // A failed transfer is started again from a work item (a bounded number of times); the
    // next open or power-up starts it too.
    if (!NT_SUCCESS(status) || dev.usb.removing.load() || !dev.standingTransfers.load()) {
        if (!NT_SUCCESS(status)) {
            USB2SER_StandingHandled(dev.usb, kPipeReceive);
            QueueRearm(dev, kPipeReceive, status);
        }
        return;
    }
    s.receiveFailures.store(0);
    std::uint8_t mask;
    {
        SpinLockGuard control(dev.usb.controlLock);
        mask = dev.usb.chip.receiveMask;
    }
    StoreResult r;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        const SerialHandflow& hf = s.flow.handflow;
        for (std::uint8_t raw : data) {
            ++s.stats.ReceivedCount;
            const std::uint8_t b = raw & mask;
            if (b == 0 && (hf.FlowReplace & SERIAL_NULL_STRIPPING)) continue;
            if (hf.FlowReplace & SERIAL_AUTO_TRANSMIT) {
                const bool toggle = (hf.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
                if (b == s.flow.xoffChar) {
                    s.flow.transmitHolds |= SERIAL_TX_XOFF;
                    if (toggle) r.lines = true;  // RTS lowering scheduled
                    continue;
                }
                if (b == s.flow.xonChar) {
                    if (s.flow.transmitHolds & SERIAL_TX_XOFF) {
                        s.flow.transmitHolds &= ~SERIAL_TX_XOFF;
                        r.restartTransmit = true;
                        if (toggle) r.lines = true;
                    }
                    continue;
                }
            }
            StoreByte(dev, b, r);
            if (s.escapeChar != 0 && b == s.escapeChar) StoreByte(dev, 0, r);
            r.events |= SERIAL_EV_RXCHAR;
            if (b == s.chars.EventChar) r.events |= SERIAL_EV_RXFLAG;
        }
        if (s.directRead && s.readAnyByte && s.readCount > 0) {
            s.directRead->IoStatus.Information = s.readCount;
            s.directRead = nullptr;
            r.readFilled = true;
        }
    }
    AfterStore(dev, r);
    // The transfer counts as armed until its bytes are stored, so that no other path (a read
    // releasing a hold) starts a second one whose bytes could overtake these.
    USB2SER_StandingHandled(dev.usb, kPipeReceive);
    ArmReceive(dev);
}

void OnStatus(Device& dev, NTSTATUS status, std::span<const std::uint8_t> data) {
    SerialState& s = dev.serial;
    if (!NT_SUCCESS(status)) {
        USB2SER_StandingHandled(dev.usb, kPipeStatus);
        QueueRearm(dev, kPipeStatus, status);
        return;
    }
    if (dev.usb.removing.load()) return;
    s.statusFailures.store(0);
    if (data.size() > 8) {
        const std::uint8_t now = data[8];
        StoreResult r;
        {
            SpinLockGuard rx(dev.serial.receiveLock);
            const std::uint8_t before = static_cast<std::uint8_t>(s.statusWord & 0xFF);
            s.statusWord = now;
            dev.lastStatus = now;
            const std::uint8_t changed = before ^ now;
            std::uint8_t msr = 0;
            if (now & 0x80) msr |= 0x10;
            if (now & 0x02) msr |= 0x20;
            if (now & 0x08) msr |= 0x40;
            if (now & 0x01) msr |= 0x80;
            if (changed & 0x80) msr |= 0x01;
            if (changed & 0x02) msr |= 0x02;
            if (dev.usb.ChipAtLeast(2) ? (changed & 0x08) != 0 : (now & 0x08) != 0) msr |= 0x04;
            if (changed & 0x01) msr |= 0x08;
            s.modemStatus = msr;
            if (changed & 0x80) r.events |= SERIAL_EV_CTS;
            if (changed & 0x02) r.events |= SERIAL_EV_DSR;
            if (now & 0x08) r.events |= SERIAL_EV_RING;
            if (changed & 0x01) r.events |= SERIAL_EV_RLSD;
            const SerialHandflow& hf = s.flow.handflow;
            auto hold = [&](std::uint32_t handshake, std::uint8_t line, std::uint32_t bit)
                            REQUIRES(dev.serial.receiveLock) {
                                if (!(hf.ControlHandShake & handshake)) return;
                                if (now & line) {
                                    if (s.flow.transmitHolds & bit) {
                                        s.flow.transmitHolds &= ~bit;
                                        r.restartTransmit = true;
                                    }
                                } else {
                                    s.flow.transmitHolds |= bit;
                                }
                            };
            hold(SERIAL_CTS_HANDSHAKE, kStatusCts, SERIAL_TX_CTS);
            hold(SERIAL_DSR_HANDSHAKE, kStatusDsr, SERIAL_TX_DSR);
            if (hf.ControlHandShake & SERIAL_DSR_SENSITIVITY) {
                if (now & kStatusDsr) {
                    s.flow.receiveHolds &= ~SERIAL_RX_DSR;
                } else {
                    s.flow.receiveHolds |= SERIAL_RX_DSR;
                }
            }
            // Line errors.
            const bool brk = (now & 0x04) != 0;
            const bool overrun = (now & 0x40) != 0;
            const bool parity = !brk && (now & 0x20) != 0;
            const bool framing = !brk && (now & 0x10) != 0;
            if (brk || overrun || parity || framing) {
                std::uint8_t lsr = 0;
                if (overrun) {
                    s.errors |= SERIAL_ERROR_OVERRUN;
                    ++s.stats.SerialOverrunErrorCount;
                    lsr |= 0x02;
                }
                if (brk) {
                    s.errors |= SERIAL_ERROR_BREAK;
                    lsr |= 0x10;
                    r.events |= SERIAL_EV_BREAK;
                }
                if (parity) {
                    s.errors |= SERIAL_ERROR_PARITY;
                    ++s.stats.ParityErrorCount;
                    lsr |= 0x04;
                }
                if (framing) {
                    s.errors |= SERIAL_ERROR_FRAMING;
                    ++s.stats.FrameErrorCount;
                    lsr |= 0x08;
                }
                r.events |= SERIAL_EV_ERR;
                if (dev.standingTransfers.load()) {
                    if (s.escapeChar != 0) {
                        StoreByte(dev, s.escapeChar, r);
                        StoreByte(dev, 2, r);
                        StoreByte(dev, lsr, r);
                    }
                    if ((hf.FlowReplace & SERIAL_ERROR_CHAR) && (overrun || parity || framing)) {
                        StoreByte(dev, s.chars.ErrorChar, r);
                    }
                    if ((hf.FlowReplace & SERIAL_BREAK_CHAR) && brk) {
                        StoreByte(dev, s.chars.BreakChar, r);
                    }
                }
                if (hf.ControlHandShake & SERIAL_ERROR_ABORT) r.abort = true;
            }
        }
        if (dev.standingTransfers.load()) AfterStore(dev, r);
    }
    if (dev.standingTransfers.load() && !dev.usb.removing.load()) {
        USB2SER_ArmStanding(dev.usb, kPipeStatus, kStatusTransferSize);
    }
}

bool ErrorAbortActive(Device& dev) {
    SpinLockGuard rx(dev.serial.receiveLock);
    return (dev.serial.flow.handflow.ControlHandShake & SERIAL_ERROR_ABORT) &&
           dev.serial.errors != 0;
}

void OnTransferDone(Device& dev, int pipe, std::uintptr_t tag, NTSTATUS status,
                    std::span<const std::uint8_t> data) {
    switch (pipe) {
        case kPipeReceive:
            OnReceive(dev, status, data);
            break;
        case kPipeStatus:
            OnStatus(dev, status, data);
            break;
        default:
            OnTransmit(dev, tag, status);
            break;
    }
}

}  // namespace vm::drv::usbser2k
