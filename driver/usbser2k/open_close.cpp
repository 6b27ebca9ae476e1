// Open, cleanup and close: the serial state reset for a new handle and applied to the chip; the
// lines dropped and the waits on close; the restore after power returns.
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

namespace {

NTSTATUS RestoreModemLines(Device& dev, const SerialHandflow& hf, std::uint16_t saved) {
    const bool dtrDriven = (hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
    const std::uint32_t rts = hf.FlowReplace & SERIAL_RTS_MASK;
    const bool rtsDriven = rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE;
    UsbDevice& usb = dev.usb;
    KMutexGuard line(usb.lineMutex);
    std::uint16_t word;
    std::uint16_t now;
    {
        SpinLockGuard control(usb.controlLock);
        now = usb.chip.lineState;
        word = now;
        if (!dtrDriven) word = static_cast<std::uint16_t>((word & ~1u) | (saved & 1u));
        if (!rtsDriven) word = static_cast<std::uint16_t>((word & ~2u) | (saved & 2u));
        usb.chip.lineState = word;
    }
    return word == now ? STATUS_SUCCESS : USB2SER_SendCtrlState(usb, word);
}

}  // namespace

NTSTATUS OpenPort(Device& dev) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    if (!s.lineWork) s.lineWork = IoAllocateWorkItem(dev.kernel);
    if (!s.lineWork) return STATUS_INSUFFICIENT_RESOURCES;
    if (!s.rearmWork) s.rearmWork = IoAllocateWorkItem(dev.kernel);
    if (!s.rearmWork) return STATUS_INSUFFICIENT_RESOURCES;
    s.receiveFailures.store(0);
    s.statusFailures.store(0);
    SerialHandflow hf;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        const std::uint64_t size = dev.receiveSize;
        dev.receiveCount = dev.receiveFirst = 0;
        s.flow.handflow.XoffLimit = static_cast<std::int32_t>(size / 8);
        s.flow.handflow.XonLimit = static_cast<std::int32_t>(size / 2);
        s.eightyPercent = static_cast<std::uint32_t>(size * 3 / 4 + size / 16);
        s.stats = {};
        s.errors = 0;
        s.escapeChar = 0;
        s.flow.receiveHolds = 0;
        s.flow.transmitHolds = 0;
        s.directRead = nullptr;
        s.xoffCounterLeft = 0;
        hf = s.flow.handflow;
    }
    {
        CancelLock lock(dev.kernel);
        s.history = 0;
        s.waitMask = 0;
    }
    // The chip as this handle left it last time, or as the defaults say.
    NTSTATUS status = InitializeChip(usb);
    if (!NT_SUCCESS(status)) return status;
    USB2SER_ControlRemoteWakeup(usb, true);
    std::uint32_t rate;
    {
        SpinLockGuard control(usb.controlLock);
        rate = usb.chip.currentRate;
    }
    // The kept line coding (with its rate) once a rate has been set; before that the chip keeps
    // its own, rather than a coding of rate 0.
    if (rate != 0) status = USB2SER_RestoreState(usb);
    if (NT_SUCCESS(status)) status = ApplyFlow(dev, hf, true);
    if (NT_SUCCESS(status)) {
        const NTSTATUS threshold = USB2SER_SetFlowThreshold(usb, 2);
        if (threshold != STATUS_NOT_SUPPORTED) status = threshold;
    }
    if (NT_SUCCESS(status) && usb.ChipAtLeast(2)) {
        status = USB2SER_ResetDataPipe(usb, 1);
        if (NT_SUCCESS(status)) status = USB2SER_ResetDataPipe(usb, 0);
    }
    if (!NT_SUCCESS(status)) return status;
    dev.standingTransfers.store(true);
    status = USB2SER_ArmStanding(usb, kPipeStatus, kStatusTransferSize);
    if (!NT_SUCCESS(status) && status != STATUS_PENDING) return status;
    ArmReceive(dev);
    if (!USB2SER_StandingArmed(usb, kPipeReceive)) {
        // A receive that could not start leaves the port deaf: the open fails.
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    s.ready.store(true);
    return STATUS_SUCCESS;
}

NTSTATUS RestoreAfterPowerUp(Device& dev) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    SerialHandflow hf;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        hf = s.flow.handflow;
    }
    NTSTATUS status = InitializeChip(usb);
    USB2SER_ControlRemoteWakeup(usb, true);
    std::uint16_t lines;
    std::uint32_t rate;
    {
        KMutexGuard line(usb.lineMutex);
        {
            SpinLockGuard control(usb.controlLock);
            lines = usb.chip.lineState;
            rate = usb.chip.currentRate;
        }
        USB2SER_SendCtrlState(usb, lines);
    }
    dev.kernel.PausePoint(kPauseRestore);
    // The kept coding with the kept rate, sent once: no coding of rate 0 goes to the chip.
    if (NT_SUCCESS(status) && rate != 0) status = USB2SER_RestoreState(usb);
    if (NT_SUCCESS(status)) status = ApplyFlow(dev, hf, true);
    // Switching the chip's XON/XOFF off (register 0 and 0x3F) also clears the CTS handshake's
    // bit, and the whole record applied at once does that after the handshakes: they go on again
    // last, so the chip ends as the port's settings say.
    if (NT_SUCCESS(status) && (hf.ControlHandShake & SERIAL_CTS_HANDSHAKE)) {
        status = SetCtsHandshake(usb, true);
    }
    if (NT_SUCCESS(status) && (hf.ControlHandShake & SERIAL_DSR_HANDSHAKE) && usb.ChipAtLeast(3)) {
        status = SetDsrHandshake(usb, true);
    }
    // DTR and RTS as the line-state word had them, where the handshake record does not drive
    // them: applying the record again set them from its modes, which would raise a line the
    // application had cleared.
    if (NT_SUCCESS(status)) status = RestoreModemLines(dev, hf, lines);
    if (usb.ChipAtLeast(2)) USB2SER_SetFlowThreshold(usb, 2);
    if (!NT_SUCCESS(status) || !s.ready.load() || !dev.standingTransfers.load()) return status;
    if (usb.ChipAtLeast(2)) {
        USB2SER_ResetDataPipe(usb, 1);
        USB2SER_ResetDataPipe(usb, 0);
    }
    USB2SER_ArmStanding(usb, kPipeStatus, kStatusTransferSize);
    ArmReceive(dev);
    return status;
}

void CancelAllRequests(Device& dev) {
    SerialState& s = dev.serial;
    Done done;
    Irp* wait = nullptr;
    {
        CancelLock lock(dev.kernel);
        AbortQueue(dev, s.readQueue, done);
        AbortQueue(dev, s.writeQueue, done);
        BeginEnd(dev, s.immediateQueue, STATUS_CANCELLED, done);
        BeginEnd(dev, s.xoffCounterQueue, STATUS_CANCELLED, done);
        if (s.pendingWait && IoSetCancelRoutine(s.pendingWait, nullptr)) {
            wait = s.pendingWait;
            s.pendingWait = nullptr;
        }
    }
    Settle(dev, done);
    if (wait) CompleteNow(dev, wait, STATUS_CANCELLED);
}

void ClosePortLines(Device& dev) {
    UsbDevice& usb = dev.usb;
    std::uint32_t rate;
    std::uint8_t lineControl;
    {
        SpinLockGuard control(usb.controlLock);
        rate = usb.chip.currentRate;
        lineControl = usb.chip.lineControl;
    }
    dev.kernel.Delay(std::min(10 * CharacterTime(rate, lineControl), kMaxCloseWait));
    SetBreak(usb, false);
    SetCtsHandshake(usb, false);
    SetDsrHandshake(usb, false);
    SetRtsHandshake(usb, false);
    SetChipXonXoff(usb, false);
    USB2SER_SetDTRState(usb, false);
    USB2SER_SetRTSState(usb, false);
    dev.serial.ready.store(false);
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        dev.serial.flow.receiveHolds = 0;
        dev.serial.flow.transmitHolds = 0;
        dev.serial.escapeChar = 0;
    }
}

void ClosePortWait(Device& dev) {
    std::uint32_t rate;
    {
        SpinLockGuard control(dev.usb.controlLock);
        rate = dev.usb.chip.currentRate;
    }
    dev.kernel.Delay(std::min(BitTimes(rate, 1280), kMaxCloseWait));
}

void FreeLineWork(Device& dev) {
    SerialState& s = dev.serial;
    if (!s.lineWork && !s.rearmWork) return;
    dev.kernel.FlushWorkItems();
    if (s.lineWork) IoFreeWorkItem(s.lineWork);
    if (s.rearmWork) IoFreeWorkItem(s.rearmWork);
    s.lineWork = nullptr;
    s.rearmWork = nullptr;
}

}  // namespace vm::drv::usbser2k
