// Flow control: the handshake record applied to the chip, the receive holds let go, the flow
// characters the driver sends, and the modem-line work at passive level (DTR and RTS handshakes,
// transmit toggle, re-arming a failed standing transfer).
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

namespace {

// In transmit-toggle mode RTS is on while a break is on, or characters are waiting to go and
// no XOFF received holds them.
bool TransmitToggleBusy(Device& dev) {
    SerialState& s = dev.serial;
    std::uint32_t holds;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        holds = s.flow.transmitHolds;
    }
    if (holds & SERIAL_TX_BREAK) return true;
    if (holds & SERIAL_TX_XOFF) return false;
    CancelLock lock(dev.kernel);
    Irp* w = s.writeQueue.current;
    return (w && IoGetCurrentIrpStackLocation(w)->MajorFunction == IRP_MJ_WRITE) ||
           !s.writeQueue.waiting.empty();
}

void LineWork(void*, void* context) {
    Device& dev = *static_cast<Device*>(context);
    SerialState& s = dev.serial;
    s.lineWorkQueued.store(false);
    std::uint32_t holds;
    SerialHandflow hf;
    std::uint16_t lines;
    {
        SpinLockGuard lock(dev.serial.receiveLock);
        holds = s.flow.receiveHolds;
        hf = s.flow.handflow;
    }
    {
        SpinLockGuard lock(dev.usb.controlLock);
        lines = dev.usb.chip.lineState;
    }
    if ((hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
        const bool want = (holds & SERIAL_RX_DTR) == 0;
        if (want != ((lines & 1) != 0)) USB2SER_SetDTRState(dev.usb, want);
    }
    if ((hf.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) {
        const bool want = (holds & SERIAL_RX_RTS) == 0;
        if (want != ((lines & 2) != 0)) USB2SER_SetRTSState(dev.usb, want);
    } else if ((hf.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        if (TransmitToggleBusy(dev) != ((lines & 2) != 0)) {
            USB2SER_SetRTSState(dev.usb, TransmitToggleBusy(dev));
        }
    }
    s.deferredRunning.fetch_sub(1);
}

// A failed standing transfer: its pipe is reset and the transfer started again at passive
// level, unless the port stopped them meanwhile.
void RearmWork(void*, void* context) {
    Device& dev = *static_cast<Device*>(context);
    SerialState& s = dev.serial;
    s.rearmQueued.store(false);
    const bool receive = s.rearmReceive.exchange(false);
    const bool status = s.rearmStatus.exchange(false);
    const bool live = dev.standingTransfers.load() && !dev.usb.removing.load() &&
                      dev.devicePowerState.load() == PowerDeviceD0;
    if (live && status && !USB2SER_StandingArmed(dev.usb, kPipeStatus) &&
        NT_SUCCESS(USB2SER_ResetPipe(dev.usb, kPipeStatus))) {
        USB2SER_ArmStanding(dev.usb, kPipeStatus, kStatusTransferSize);
    }
    if (live && receive && !USB2SER_StandingArmed(dev.usb, kPipeReceive) &&
        NT_SUCCESS(USB2SER_ResetPipe(dev.usb, kPipeReceive))) {
        ArmReceive(dev);
    }
    s.deferredRunning.fetch_sub(1);
}

// What ApplyHandFlow needs of the port.
class PortFlowHost final : public FlowHost {
public:
    explicit PortFlowHost(Device& dev) : dev_(dev) {}
    std::uint32_t ReceiveCount() const override {
        SpinLockGuard rx(dev_.serial.receiveLock);
        return dev_.receiveCount;
    }
    std::uint32_t ReceiveBufferSize() const override {
        SpinLockGuard rx(dev_.serial.receiveLock);
        return dev_.receiveSize;
    }
    bool TransmitPending() const override {
        CancelLock lock(dev_.kernel);
        return dev_.serial.writeQueue.current != nullptr || !dev_.serial.writeQueue.waiting.empty();
    }
    void SendFlowCharacter(std::uint8_t character) override {
        ::vm::drv::usbser2k::SendFlowCharacter(dev_, character);
    }
    void RestartTransmit() override { restart_ = true; }
    std::uint8_t LastStatusByte() const override {
        SpinLockGuard rx(dev_.serial.receiveLock);
        return static_cast<std::uint8_t>(dev_.serial.statusWord & 0xFF);
    }
    bool restart_ = false;

private:
    Device& dev_;
};

}  // namespace

bool TransmitToggle(Device& dev) {
    SpinLockGuard rx(dev.serial.receiveLock);
    return (dev.serial.flow.handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
}

void QueueLineWork(Device& dev) {
    SerialState& s = dev.serial;
    if (!s.lineWork || s.lineWorkQueued.exchange(true)) return;
    s.deferredRunning.fetch_add(1);
    IoQueueWorkItem(s.lineWork, &LineWork, nullptr, &dev);
}

void QueueRearm(Device& dev, int pipe, NTSTATUS status) {
    SerialState& s = dev.serial;
    if (status == STATUS_CANCELLED || status == STATUS_DEVICE_POWERED_OFF ||
        status == STATUS_DEVICE_NOT_CONNECTED || dev.usb.removing.load() ||
        !dev.standingTransfers.load()) {
        return;
    }
    std::atomic<std::int32_t>& failures =
        pipe == kPipeReceive ? s.receiveFailures : s.statusFailures;
    if (failures.fetch_add(1) >= kMaxRearms) return;
    (pipe == kPipeReceive ? s.rearmReceive : s.rearmStatus).store(true);
    if (!s.rearmWork || s.rearmQueued.exchange(true)) return;
    s.deferredRunning.fetch_add(1);
    IoQueueWorkItem(s.rearmWork, &RearmWork, nullptr, &dev);
}

void RaiseToggleRts(Device& dev) {
    if (!TransmitToggle(dev)) return;
    if (KeGetCurrentIrql() != Irql::Passive) {
        QueueLineWork(dev);
        return;
    }
    bool on;
    {
        SpinLockGuard control(dev.usb.controlLock);
        on = (dev.usb.chip.lineState & 2) != 0;
    }
    if (!on) USB2SER_SetRTSState(dev.usb, true);
}

void SendFlowCharacter(Device& dev, std::uint8_t c) {
    bool submitted = false;
    USB2SER_AsyncTransferTagged(dev.usb, kPipeTransmit, &c, 1, kTagFlowCharacter, &submitted);
}

void ReleaseReceiveHolds(Device& dev, Release& r) REQUIRES(dev.serial.receiveLock) {
    SerialState& s = dev.serial;
    const std::uint32_t holds = s.flow.receiveHolds;
    if ((holds & (SERIAL_RX_DTR | SERIAL_RX_RTS | SERIAL_RX_XOFF)) == 0) return;
    const std::int32_t xonLimit = s.flow.handflow.XonLimit;
    if (dev.receiveCount > static_cast<std::uint32_t>(std::max(xonLimit, 0))) {
        return;
    }
    if (holds & SERIAL_RX_DTR) r.lines = true;
    if (holds & SERIAL_RX_RTS) {
        r.lines = true;
        r.arm = true;
    }
    if (holds & SERIAL_RX_XOFF) {
        r.arm = true;
        if (!dev.usb.ChipAtLeast(2)) {
            r.sendXon = true;
            r.xonChar = s.flow.xonChar;
        }
    }
    s.flow.receiveHolds &= ~(SERIAL_RX_DTR | SERIAL_RX_RTS | SERIAL_RX_XOFF);
}

void ApplyRelease(Device& dev, const Release& r) {
    if (r.sendXon) SendFlowCharacter(dev, r.xonChar);
    if (r.lines) QueueLineWork(dev);
    if (r.arm) ArmReceive(dev);
}

NTSTATUS ApplyFlow(Device& dev, const SerialHandflow& hf, bool force) {
    PortFlowHost host(dev);
    FlowState state;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        state = dev.serial.flow;
    }
    const FlowState before = state;
    if (force) state.applied = false;
    const NTSTATUS status = ApplyHandFlow(dev.usb, state, hf, host);
    auto merge = [](std::uint32_t now, std::uint32_t was, std::uint32_t applied) {
        const std::uint32_t changed = was ^ applied;
        return (now & ~changed) | (applied & changed);
    };
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        FlowState& flow = dev.serial.flow;
        flow.handflow = state.handflow;
        flow.applied = state.applied;
        flow.receiveHolds = merge(flow.receiveHolds, before.receiveHolds, state.receiveHolds);
        flow.transmitHolds = merge(flow.transmitHolds, before.transmitHolds, state.transmitHolds);
    }
    if (host.restart_) SendChunk(dev);
    return status;
}

bool HandflowValid(Device& dev, const SerialHandflow& hf) {
    std::uint32_t size;
    std::uint8_t escape;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        size = dev.receiveSize;
        escape = dev.serial.escapeChar;
    }
    if (hf.ControlHandShake & 0x7FFFFF84) return false;
    if (hf.FlowReplace & 0x7FFFFF20) return false;
    if ((hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) return false;
    if (hf.XonLimit < 0 || static_cast<std::uint32_t>(hf.XonLimit) > size) return false;
    if (hf.XoffLimit < 0 || static_cast<std::uint32_t>(hf.XoffLimit) > size) return false;
    if ((hf.FlowReplace & SERIAL_ERROR_CHAR) && escape != 0) return false;
    return true;
}

}  // namespace vm::drv::usbser2k
