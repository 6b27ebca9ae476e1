// The device-control requests: lengths, power and handler of each code; the internal codes, and
// the file-information requests.
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

namespace {

// Buffered device control: input length, output length and the buffer.
struct Control {
    std::uint32_t code;
    std::uint32_t in;
    std::uint32_t out;
    std::uint8_t* buffer;
    template <class T>
    T Input() const {
        T value;
        std::memcpy(&value, buffer, sizeof(T));
        return value;
    }
    // Zeroes the returned bytes, then copies the record in.
    template <class T>
    std::uintptr_t Output(const T& value) const {
        std::memset(buffer, 0, sizeof(T));
        std::memcpy(buffer, &value, sizeof(T));
        return sizeof(T);
    }
};

NTSTATUS SetQueueSize(Device& dev, const SerialQueueSize& size) {
    std::uint32_t current;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        current = dev.receiveSize;
    }
    if (size.InSize <= current) return STATUS_SUCCESS;
    if (size.InSize > kMaxQueueSize) return STATUS_INSUFFICIENT_RESOURCES;
    auto* fresh = static_cast<std::uint8_t*>(dev.usb.Allocate(size.InSize));
    if (!fresh) return STATUS_INSUFFICIENT_RESOURCES;
    std::uint8_t* old;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        old = dev.receiveBuffer;
        const std::uint32_t count = dev.receiveCount;
        for (std::uint32_t i = 0; i < count; ++i) {
            fresh[i] = old[(dev.receiveFirst + i) % dev.receiveSize];
        }
        dev.receiveBuffer = fresh;
        dev.receiveSize = size.InSize;
        dev.receiveFirst = 0;
        const std::uint64_t n = size.InSize;
        dev.serial.eightyPercent = static_cast<std::uint32_t>(n * 3 / 4 + n / 16);
    }
    if (old) dev.usb.Free(old);
    return STATUS_SUCCESS;
}

NTSTATUS OnSetBaudRate(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    const auto rate = c.Input<std::uint32_t>();
    const NTSTATUS status = SetBaudRate(usb, rate);
    if (NT_SUCCESS(status)) {
        SpinLockGuard control(usb.controlLock);
        s.currentRate = usb.chip.currentRate;
    }
    return status;
}

NTSTATUS OnSetQueueSize(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    return SetQueueSize(dev, c.Input<SerialQueueSize>());
}

NTSTATUS OnSetLineControl(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    UsbDevice& usb = dev.usb;
    const auto r = c.Input<SerialLineControlRecord>();
    return SetLineControl(usb, LineControl{r.StopBits, r.Parity, r.WordLength});
}

NTSTATUS OnSetBreakOn(Device& dev, Irp*, const Control&, std::uintptr_t&) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    // In transmit-toggle mode RTS goes on first; the break then holds the transmitter.
    RaiseToggleRts(dev);
    const NTSTATUS status = SetBreak(usb, true);
    if (!NT_SUCCESS(status)) return status;
    SpinLockGuard rx(dev.serial.receiveLock);
    s.flow.transmitHolds |= SERIAL_TX_BREAK;
    return status;
}

NTSTATUS OnSetBreakOff(Device& dev, Irp*, const Control&, std::uintptr_t&) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    const NTSTATUS status = SetBreak(usb, false);
    if (!NT_SUCCESS(status)) return status;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        s.flow.transmitHolds &= ~SERIAL_TX_BREAK;
    }
    SendChunk(dev);
    if (TransmitToggle(dev)) QueueLineWork(dev);
    return status;
}

NTSTATUS OnImmediateChar(Device& dev, Irp* irp, const Control&, std::uintptr_t&) {
    return ImmediateChar(dev, irp);
}

NTSTATUS OnSetTimeouts(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    const auto t = c.Input<SerialTimeouts>();
    if (t.ReadIntervalTimeout == 0xFFFFFFFF && t.ReadTotalTimeoutMultiplier == 0xFFFFFFFF &&
        t.ReadTotalTimeoutConstant == 0xFFFFFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    SpinLockGuard control(usb.controlLock);
    s.timeouts = t;
    return STATUS_SUCCESS;
}

NTSTATUS OnGetTimeouts(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    SpinLockGuard control(s.usb.controlLock);
    info = c.Output(s.timeouts);
    return STATUS_SUCCESS;
}

NTSTATUS OnSetDtr(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        if ((s.flow.handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    return USB2SER_SetDTRState(usb, c.code == IOCTL_SERIAL_SET_DTR);
}

NTSTATUS OnResetDevice(Device&, Irp*, const Control&, std::uintptr_t&) {
    return STATUS_SUCCESS;
}

NTSTATUS OnSetRts(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        const std::uint32_t rts = s.flow.handflow.FlowReplace & SERIAL_RTS_MASK;
        if (rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    return USB2SER_SetRTSState(usb, c.code == IOCTL_SERIAL_SET_RTS);
}

NTSTATUS OnSetXoff(Device& dev, Irp*, const Control&, std::uintptr_t&) {
    SerialState& s = dev.serial;
    bool toggle;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        s.flow.transmitHolds |= SERIAL_TX_XOFF;
        toggle = (s.flow.handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
    }
    if (toggle) QueueLineWork(dev);
    return STATUS_SUCCESS;
}

NTSTATUS OnSetXon(Device& dev, Irp*, const Control&, std::uintptr_t&) {
    SerialState& s = dev.serial;
    bool released;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        released = (s.flow.transmitHolds & SERIAL_TX_XOFF) != 0;
        s.flow.transmitHolds &= ~SERIAL_TX_XOFF;
    }
    if (released) SendChunk(dev);
    return STATUS_SUCCESS;
}

NTSTATUS OnGetWaitMask(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    CancelLock lock(s.kernel);
    info = c.Output(s.waitMask);
    return STATUS_SUCCESS;
}

NTSTATUS OnSetWaitMask(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    const auto mask = c.Input<std::uint32_t>();
    if (mask > kWaitMaskLimit) return STATUS_INVALID_PARAMETER;
    return SetWaitMask(dev, mask);
}

NTSTATUS OnWaitOnMask(Device& dev, Irp* irp, const Control&, std::uintptr_t& info) {
    return WaitOnMask(dev, irp, info);
}

NTSTATUS OnPurge(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    const auto mask = c.Input<std::uint32_t>();
    if (mask == 0 || mask > 0x0F) return STATUS_INVALID_PARAMETER;
    Purge(dev, mask);
    return STATUS_SUCCESS;
}

NTSTATUS OnGetBaudRate(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    UsbDevice& usb = dev.usb;
    SpinLockGuard control(usb.controlLock);
    info = c.Output(usb.chip.currentRate);
    return STATUS_SUCCESS;
}

NTSTATUS OnGetLineControl(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    UsbDevice& usb = dev.usb;
    SpinLockGuard control(usb.controlLock);
    const LineControl lc = DecodeLineControl(usb.chip.lineControl);
    info = c.Output(SerialLineControlRecord{lc.stopBits, lc.parity, lc.wordLength});
    return STATUS_SUCCESS;
}

NTSTATUS OnGetChars(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    SpinLockGuard rx(s.receiveLock);
    info = c.Output(s.chars);
    return STATUS_SUCCESS;
}

NTSTATUS OnSetChars(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    const auto chars = c.Input<SerialChars>();
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        if (s.escapeChar != 0 &&
            (s.escapeChar == chars.XonChar || s.escapeChar == chars.XoffChar)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    // The chip takes the flow characters first: characters it did not take are not
    // kept, so a failed request leaves the port as it was and port and chip agree.
    const NTSTATUS status = USB2SER_SetXonXoffChars(usb, chars.XonChar, chars.XoffChar);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) return status;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        s.flow.xonChar = chars.XonChar;
        s.flow.xoffChar = chars.XoffChar;
        s.chars = chars;
    }
    return STATUS_SUCCESS;
}

NTSTATUS OnGetHandflow(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    SpinLockGuard rx(s.receiveLock);
    info = c.Output(s.flow.handflow);
    return STATUS_SUCCESS;
}

NTSTATUS OnSetHandflow(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    const auto hf = c.Input<SerialHandflow>();
    if (!HandflowValid(dev, hf)) return STATUS_INVALID_PARAMETER;
    return ApplyFlow(dev, hf, false);
}

NTSTATUS OnGetModemstatus(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    SpinLockGuard rx(s.receiveLock);
    info = c.Output(static_cast<std::uint32_t>(s.modemStatus));
    if (!usb.ChipAtLeast(2)) s.statusWord &= ~std::uint16_t{0x08};
    return STATUS_SUCCESS;
}

NTSTATUS OnGetCommstatus(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    SerialStatus status{};
    {
        CancelLock lock(dev.kernel);
        std::uint32_t out = s.queuedWriteBytes;
        if (Irp* w = s.writeQueue.current) {
            const IoStackLocation* loc = IoGetCurrentIrpStackLocation(w);
            if (loc->MajorFunction == IRP_MJ_WRITE) {
                out += loc->Parameters.Write.Length - s.writeSent;
            }
        }
        status.AmountInOutQueue = out;
        status.WaitForImmediate = s.immediateQueue.current ? 1 : 0;
        if (s.immediateQueue.current) ++status.AmountInOutQueue;
    }
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        status.Errors = s.errors;
        s.errors = 0;
        const std::uint32_t tx = s.flow.transmitHolds;
        const std::uint32_t rxh = s.flow.receiveHolds;
        if (tx & SERIAL_TX_CTS) status.HoldReasons |= SERIAL_TX_WAITING_FOR_CTS;
        if (tx & SERIAL_TX_DSR) status.HoldReasons |= SERIAL_TX_WAITING_FOR_DSR;
        if (tx & SERIAL_TX_DCD) status.HoldReasons |= SERIAL_TX_WAITING_FOR_DCD;
        if (tx & SERIAL_TX_XOFF) status.HoldReasons |= SERIAL_TX_WAITING_FOR_XON;
        if (tx & SERIAL_TX_BREAK) status.HoldReasons |= SERIAL_TX_WAITING_ON_BREAK;
        if (rxh & SERIAL_RX_XOFF) status.HoldReasons |= SERIAL_TX_WAITING_XOFF_SENT;
        if (rxh & SERIAL_RX_DSR) status.HoldReasons |= SERIAL_RX_WAITING_FOR_DSR;
        status.AmountInInQueue = dev.receiveCount;
    }
    info = c.Output(status);
    return STATUS_SUCCESS;
}

NTSTATUS OnXoffCounter(Device&, Irp*, const Control& c, std::uintptr_t&) {
    const auto record = c.Input<SerialXoffCounter>();
    if (record.Counter < 1) return STATUS_INVALID_PARAMETER;
    return STATUS_PENDING;  // queued by the caller
}

NTSTATUS OnGetProperties(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    // The same record WMI's properties block carries.
    std::uint32_t receiveSize;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        receiveSize = dev.receiveSize;
    }
    std::array<std::uint8_t, serial_wmi::kCommPropSize> p{};
    BuildCommProp(p, receiveSize, kSupportedRates);
    info = c.Output(p);
    return STATUS_SUCCESS;
}

NTSTATUS OnGetDtrrts(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    UsbDevice& usb = dev.usb;
    SpinLockGuard control(usb.controlLock);
    std::uint32_t word = usb.chip.lineState;
    if (c.code == IOCTL_SERIAL_GET_DTRRTS) word &= 3;
    info = c.Output(word);
    return STATUS_SUCCESS;
}

NTSTATUS OnLsrmstInsert(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    SerialState& s = dev.serial;
    const auto escape = c.Input<std::uint8_t>();
    SpinLockGuard rx(dev.serial.receiveLock);
    if (escape != 0 && (escape == s.flow.xonChar || escape == s.flow.xoffChar ||
                        (s.flow.handflow.FlowReplace & SERIAL_ERROR_CHAR))) {
        return STATUS_INVALID_PARAMETER;
    }
    s.escapeChar = escape;
    return STATUS_SUCCESS;
}

NTSTATUS OnConfigSize(Device&, Irp*, const Control& c, std::uintptr_t& info) {
    info = c.Output(std::uint32_t{0});
    return STATUS_SUCCESS;
}

NTSTATUS OnGetStats(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    SpinLockGuard rx(s.receiveLock);
    info = c.Output(s.stats);
    return STATUS_SUCCESS;
}

NTSTATUS OnClearStats(Device& dev, Irp*, const Control&, std::uintptr_t&) {
    SerialState& s = dev.serial;
    SpinLockGuard rx(dev.serial.receiveLock);
    s.stats = {};
    return STATUS_SUCCESS;
}

NTSTATUS OnSetModemControl(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    UsbDevice& usb = dev.usb;
    const auto word = c.Input<std::uint32_t>();
    NTSTATUS status = USB2SER_SetDTRState(usb, (word & 1) != 0);
    const NTSTATUS rts = USB2SER_SetRTSState(usb, (word & 2) != 0);
    return NT_SUCCESS(status) ? rts : status;
}

NTSTATUS OnSetFifoControl(Device&, Irp*, const Control&, std::uintptr_t&) {
    return STATUS_SUCCESS;
}

// --- The internal codes (the serial enumerator's and the power policy's).

NTSTATUS OnBasicSettings(Device& dev, Irp*, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    SerialBasicSettings settings{};
    {
        SpinLockGuard control(dev.usb.controlLock);
        settings.Timeouts = s.timeouts;
        s.timeouts = {};
    }
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        settings.HandFlow = s.flow.handflow;
    }
    info = c.Output(settings);
    return ApplyFlow(dev, SerialHandflow{}, false);
}

NTSTATUS OnRestoreSettings(Device& dev, Irp*, const Control& c, std::uintptr_t&) {
    const auto settings = c.Input<SerialBasicSettings>();
    // The record goes through the same checks as SET_HANDFLOW.
    if (!HandflowValid(dev, settings.HandFlow)) return STATUS_INVALID_PARAMETER;
    {
        SpinLockGuard control(dev.usb.controlLock);
        dev.serial.timeouts = settings.Timeouts;
    }
    return ApplyFlow(dev, settings.HandFlow, false);
}

NTSTATUS OnDoWaitWake(Device& dev, Irp*, const Control&, std::uintptr_t&) {
    return ArmWake(dev);
}

NTSTATUS OnCancelWaitWake(Device& dev, Irp*, const Control&, std::uintptr_t&) {
    DisarmWake(dev);
    return STATUS_SUCCESS;
}

// One row per device-control code: the input and output lengths it needs, whether it brings
// the device to D0 first, and its handler (STATUS_PENDING: the request is kept).
struct IoctlRow {
    std::uint32_t code;
    std::uint32_t in;
    std::uint32_t out;
    bool needsD0;
    NTSTATUS (*handler)(Device& dev, Irp* irp, const Control& c, std::uintptr_t& info);
};

constexpr IoctlRow kIoctls[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, true, &OnSetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, false, &OnSetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, true, &OnSetLineControl},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, true, &OnSetBreakOn},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, true, &OnSetBreakOff},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, false, &OnImmediateChar},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, false, &OnSetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, false, &OnGetTimeouts},
    {IOCTL_SERIAL_SET_DTR, 0, 0, true, &OnSetDtr},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, true, &OnSetDtr},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, false, &OnResetDevice},
    {IOCTL_SERIAL_SET_RTS, 0, 0, true, &OnSetRts},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, true, &OnSetRts},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, false, &OnSetXoff},
    {IOCTL_SERIAL_SET_XON, 0, 0, false, &OnSetXon},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, false, &OnGetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, false, &OnSetWaitMask},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, false, &OnWaitOnMask},
    {IOCTL_SERIAL_PURGE, 4, 0, false, &OnPurge},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, false, &OnGetBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, false, &OnGetLineControl},
    {IOCTL_SERIAL_GET_CHARS, 0, 6, false, &OnGetChars},
    {IOCTL_SERIAL_SET_CHARS, 6, 0, false, &OnSetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, false, &OnGetHandflow},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, false, &OnSetHandflow},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, false, &OnGetModemstatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, false, &OnGetCommstatus},
    {IOCTL_SERIAL_XOFF_COUNTER, kXoffCounterInputLength, 0, false, &OnXoffCounter},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64, false, &OnGetProperties},
    {IOCTL_SERIAL_GET_DTRRTS, 0, 4, false, &OnGetDtrrts},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, false, &OnGetDtrrts},
    {IOCTL_SERIAL_LSRMST_INSERT, 1, 0, false, &OnLsrmstInsert},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, 4, false, &OnConfigSize},
    {IOCTL_SERIAL_GET_STATS, 0, 24, false, &OnGetStats},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, false, &OnClearStats},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, true, &OnSetModemControl},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0, true, &OnSetFifoControl},
};

constexpr IoctlRow kInternalIoctls[] = {
    {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0, sizeof(SerialBasicSettings), false, &OnBasicSettings},
    {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sizeof(SerialBasicSettings), 0, false,
     &OnRestoreSettings},
    {IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0, 0, false, &OnDoWaitWake},
    {IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0, 0, false, &OnCancelWaitWake},
};

const IoctlRow* FindIoctl(std::span<const IoctlRow> table, std::uint32_t code) {
    for (const IoctlRow& row : table) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

// Checks the request against its row (lengths, then power) and runs the row's handler.
NTSTATUS RunRow(Device& dev, Irp* irp, const Control& c, const IoctlRow& row,
                std::uintptr_t& info) {
    if (c.in < row.in || c.out < row.out || ((row.in || row.out) && !c.buffer)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (row.needsD0) {
        const NTSTATUS power = EnsureD0(dev);
        if (!NT_SUCCESS(power)) return power;
    }
    return row.handler(dev, irp, c, info);
}

}  // namespace

NTSTATUS EnsureD0(Device& dev) {
    return BringToD0(dev);
}

NTSTATUS DispatchDeviceControl(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    IoStackLocation* loc = IoGetCurrentIrpStackLocation(irp);
    const Control c{loc->Parameters.DeviceIoControl.IoControlCode,
                    loc->Parameters.DeviceIoControl.InputBufferLength,
                    loc->Parameters.DeviceIoControl.OutputBufferLength,
                    static_cast<std::uint8_t*>(irp->SystemBuffer)};
    if (c.code != IOCTL_SERIAL_GET_COMMSTATUS && ErrorAbortActive(dev)) {
        return CompleteNow(dev, irp, STATUS_CANCELLED);
    }
    if (!dev.serial.ready.load()) return CompleteNow(dev, irp, STATUS_INVALID_DEVICE_REQUEST);
    if (USB2SER_IsPrivateIoctl(dev.usb.policy, c.code)) {
        USB2SER_ProcessPrivateIoctlIrp(dev.usb, irp);
        const NTSTATUS status = irp->IoStatus.Status;
        CompleteAdmitted(dev, irp);
        return status;
    }
    const IoctlRow* row = FindIoctl(kIoctls, c.code);
    if (!row) return CompleteNow(dev, irp, STATUS_INVALID_PARAMETER);
    std::uintptr_t info = 0;
    const NTSTATUS status = RunRow(dev, irp, c, *row, info);
    if (c.code == IOCTL_SERIAL_XOFF_COUNTER && status == STATUS_PENDING) {
        Done done;
        if (Enqueue(dev, dev.serial.writeQueue, irp, done)) StartWrite(dev, irp);
        Settle(dev, done);
        return STATUS_PENDING;
    }
    if (status == STATUS_PENDING) return STATUS_PENDING;  // completed by its own path
    return CompleteNow(dev, irp, status, info);
}

NTSTATUS DispatchInternalDeviceControl(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    if (ErrorAbortActive(dev)) return CompleteNow(dev, irp, STATUS_CANCELLED);
    IoStackLocation* loc = IoGetCurrentIrpStackLocation(irp);
    const Control c{loc->Parameters.DeviceIoControl.IoControlCode,
                    loc->Parameters.DeviceIoControl.InputBufferLength,
                    loc->Parameters.DeviceIoControl.OutputBufferLength,
                    static_cast<std::uint8_t*>(irp->SystemBuffer)};
    const IoctlRow* row = FindIoctl(kInternalIoctls, c.code);
    if (!row) return CompleteNow(dev, irp, STATUS_INVALID_PARAMETER);
    std::uintptr_t info = 0;
    const NTSTATUS status = RunRow(dev, irp, c, *row, info);
    return CompleteNow(dev, irp, status, info);
}

NTSTATUS DispatchQueryInformation(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    if (ErrorAbortActive(dev)) return CompleteNow(dev, irp, STATUS_CANCELLED);
    const IoStackLocation* loc = IoGetCurrentIrpStackLocation(irp);
    const std::uint32_t length = loc->Parameters.QueryFile.Length;
    std::uint32_t needed;
    switch (loc->Parameters.QueryFile.FileInformationClass) {
        case FileStandardInformation:
            needed = 24;
            break;
        case FilePositionInformation:
            needed = 8;
            break;
        default:
            return CompleteNow(dev, irp, STATUS_INVALID_PARAMETER);
    }
    if (length < needed || !irp->SystemBuffer)
        return CompleteNow(dev, irp, STATUS_BUFFER_TOO_SMALL);
    std::memset(irp->SystemBuffer, 0, needed);
    return CompleteNow(dev, irp, STATUS_SUCCESS, needed);
}

NTSTATUS DispatchSetInformation(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    if (ErrorAbortActive(dev)) return CompleteNow(dev, irp, STATUS_CANCELLED);
    const std::uint32_t cls =
        IoGetCurrentIrpStackLocation(irp)->Parameters.SetFile.FileInformationClass;
    return CompleteNow(dev, irp,
                       cls == FileEndOfFileInformation || cls == FileAllocationInformation
                           ? STATUS_SUCCESS
                           : STATUS_INVALID_PARAMETER);
}

}  // namespace vm::drv::usbser2k
