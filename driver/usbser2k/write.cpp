// Writes in chunks, with the total time-out; the immediate character and the XOFF counter that
// go ahead of them; the transmit completions.
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

namespace {

// The XOFF counter at the head of the write queue: its character goes out, then it waits on its
// own queue for the count of received bytes while the writes go on.
void StartXoffCounter(Device& dev, Irp* irp) {
    SerialState& s = dev.serial;
    SerialXoffCounter record;
    std::memcpy(&record, irp->SystemBuffer, sizeof record);
    Done done;
    dev.kernel.PausePoint(kPauseStart);
    {
        CancelLock lock(dev.kernel);
        if (!StillStarting(dev, s.writeQueue, irp, done)) {
            irp = nullptr;
        } else {
            IoSetCancelRoutine(irp, &CancelCurrent);
            SetRefs(irp, RefsOf(irp) | kRefCancel | kRefTransfer);
            Drop(dev, s.writeQueue, irp, kRefStarting, done);
        }
    }
    Settle(dev, done);
    if (!irp) return;
    bool submitted = false;
    const NTSTATUS status = USB2SER_AsyncTransferTagged(dev.usb, kPipeTransmit, &record.XoffChar, 1,
                                                        kTagXoffCounter, &submitted);
    if (!submitted) {
        Done failed;
        {
            CancelLock lock(dev.kernel);
            BeginEnd(dev, s.writeQueue, status, failed);
            Drop(dev, s.writeQueue, irp, kRefTransfer, failed);
        }
        Settle(dev, failed);
    }
}

// Moves the XOFF counter at the head of the write queue to its own queue, where it waits for
// the count of received bytes (lock held; the counter queue is free).
void InstallXoffCounter(Device& dev, Irp* irp, Done& done) REQUIRES(dev.kernel.cancelSpinLock()) {
    SerialState& s = dev.serial;
    VM_KASSERT(s.writeQueue.current == irp && s.xoffCounterQueue.current == nullptr);
    SerialXoffCounter record;
    std::memcpy(&record, irp->SystemBuffer, sizeof record);
    if (s.xoffCounterWaiting == irp) s.xoffCounterWaiting = nullptr;
    s.writeQueue.current = nullptr;
    done.nextWrite = true;
    s.xoffCounterQueue.current = irp;
    irp->DriverContext[2] = &s.xoffCounterQueue;
    std::uintptr_t refs = (RefsOf(irp) & ~kRefTransfer) | kRefDirect;
    {
        SpinLockGuard rx(dev.serial.receiveLock);
        s.xoffCounterLeft = record.Counter;
    }
    if (record.Timeout != 0) {
        s.xoffCounterQueue.totalTimer.Set(-TotalTimeout(0, 0, record.Timeout),
                                          &s.xoffCounterTotalDpc);
        refs |= kRefTotalTimer;
    }
    SetRefs(irp, refs);
}

// The XOFF counter's character has gone: it moves from the write queue to its own.
void XoffCounterSent(Device& dev, NTSTATUS status) {
    SerialState& s = dev.serial;
    Done done;
    {
        CancelLock lock(dev.kernel);
        Irp* irp = s.writeQueue.current;
        VM_KASSERT(irp && (RefsOf(irp) & kRefTransfer));
        if (!NT_SUCCESS(status) || Ending(irp)) {
            BeginEnd(dev, s.writeQueue, status, done);
            Drop(dev, s.writeQueue, irp, kRefTransfer, done);
        } else if (s.xoffCounterQueue.current) {
            // The counter before it has ended but still holds references (a fired timer whose
            // routine has not run, the receive path's count): this one waits at the head of the
            // write queue until that one has retired.
            SetRefs(irp, RefsOf(irp) & ~kRefTransfer);
            s.xoffCounterWaiting = irp;
        } else {
            InstallXoffCounter(dev, irp, done);
        }
    }
    Settle(dev, done);
}

}  // namespace

void WriteTotalDpc(KDpc*, void* context, void*, void*) {
    Device& dev = *static_cast<Device*>(context);
    TimerFired(dev, dev.serial.writeQueue, kRefTotalTimer, STATUS_TIMEOUT);
}

void ImmediateTotalDpc(KDpc*, void* context, void*, void*) {
    Device& dev = *static_cast<Device*>(context);
    TimerFired(dev, dev.serial.immediateQueue, kRefTotalTimer, STATUS_TIMEOUT);
}

void XoffCounterTotalDpc(KDpc*, void* context, void*, void*) {
    Device& dev = *static_cast<Device*>(context);
    TimerFired(dev, dev.serial.xoffCounterQueue, kRefTotalTimer, STATUS_SERIAL_COUNTER_TIMEOUT);
}

void SendChunk(Device& dev) {
    SerialState& s = dev.serial;
    const std::uint8_t* data = nullptr;
    std::uint32_t chunk = 0;
    Done done;
    {
        CancelLock lock(dev.kernel);
        Irp* irp = s.writeQueue.current;
        // A request still starting is its starter's: it sends the first chunk itself. An XOFF
        // counter or a flush is no write.
        if (!irp || Ending(irp) || (RefsOf(irp) & (kRefTransfer | kRefStarting)) ||
            IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_WRITE) {
            return;
        }
        std::uint32_t holds;
        {
            SpinLockGuard rx(dev.serial.receiveLock);
            holds = s.flow.transmitHolds;
        }
        if (holds & (SERIAL_TX_CTS | SERIAL_TX_DSR | SERIAL_TX_XOFF | SERIAL_TX_BREAK)) {
            s.transmitWaiting = true;
            return;
        }
        s.transmitWaiting = false;
        const std::uint32_t length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        VM_KASSERT(s.writeSent <= length);
        const std::uint32_t remaining = length - s.writeSent;
        if (remaining == 0) {
            BeginEnd(dev, s.writeQueue, STATUS_SUCCESS, done);
        } else {
            std::uint32_t maxChunk;
            {
                SpinLockGuard control(dev.usb.controlLock);
                maxChunk = dev.usb.chip.maxTransmitChunk;
            }
            std::uint32_t ring;
            {
                SpinLockGuard rx(dev.serial.receiveLock);
                ring = dev.receiveSize;
            }
            chunk = std::max<std::uint32_t>(
                1, std::min({remaining, ring == 0 ? remaining : ring, maxChunk}));
            data = static_cast<const std::uint8_t*>(irp->SystemBuffer) + s.writeSent;
            s.chunkInFlight = chunk;
            SetRefs(irp, RefsOf(irp) | kRefTransfer);
        }
    }
    if (chunk != 0) {
        bool submitted = false;
        const NTSTATUS status =
            USB2SER_AsyncTransferTagged(dev.usb, kPipeTransmit, data, chunk, kTagWrite, &submitted);
        if (!submitted) {
            CancelLock lock(dev.kernel);
            Irp* irp = s.writeQueue.current;
            s.chunkInFlight = 0;
            BeginEnd(dev, s.writeQueue, status, done);
            Drop(dev, s.writeQueue, irp, kRefTransfer, done);
        }
    }
    Settle(dev, done);
}

void StartWrite(Device& dev, Irp* irp) {
    SerialState& s = dev.serial;
    IoStackLocation* loc = IoGetCurrentIrpStackLocation(irp);
    // Taken now: once its starting reference is dropped the request may complete (a flush at
    // once, a write by its time-out or cancel) and be freed by its owner before this goes on.
    const bool isWrite = loc->MajorFunction == IRP_MJ_WRITE;
    Done done;
    // Anything that follows a current XOFF counter ends it.
    {
        CancelLock lock(dev.kernel);
        BeginEnd(dev, s.xoffCounterQueue, STATUS_SERIAL_MORE_WRITES, done);
    }
    if (loc->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        Settle(dev, done);
        StartXoffCounter(dev, irp);
        return;
    }
    if (loc->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
        CancelLock lock(dev.kernel);
        if (StillStarting(dev, s.writeQueue, irp, done)) {
            BeginEnd(dev, s.writeQueue, STATUS_SUCCESS, done);
            Drop(dev, s.writeQueue, irp, kRefStarting, done);
        }
    } else {
        SerialTimeouts t;
        {
            SpinLockGuard lock(dev.usb.controlLock);
            t = s.timeouts;
        }
        // 0: no total time-out.
        TimeUnits total = 0;
        if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
            total = TotalTimeout(loc->Parameters.Write.Length, t.WriteTotalTimeoutMultiplier,
                                 t.WriteTotalTimeoutConstant);
            if (total < 20 * kMillisecond) total = 100 * kMillisecond;
            if (total >= kNeverTimeout) total = 0;
        }
        dev.kernel.PausePoint(kPauseStart);
        CancelLock lock(dev.kernel);
        if (StillStarting(dev, s.writeQueue, irp, done)) {
            std::uintptr_t refs = kRefCancel;
            IoSetCancelRoutine(irp, &CancelCurrent);
            if (total != 0) {
                s.writeQueue.totalTimer.Set(-total, &s.writeTotalDpc);
                refs |= kRefTotalTimer;
            }
            SetRefs(irp, RefsOf(irp) | refs);
            Drop(dev, s.writeQueue, irp, kRefStarting, done);
        }
    }
    Settle(dev, done);
    dev.kernel.PausePoint(kPauseStarted);
    if (isWrite) RaiseToggleRts(dev);
    SendChunk(dev);
}

void StartNextWrite(Device& dev) {
    Irp* irp;
    {
        CancelLock lock(dev.kernel);
        irp = TakeNext(dev, dev.serial.writeQueue);
    }
    if (irp) StartWrite(dev, irp);
}

void PromoteXoffCounter(Device& dev) {
    SerialState& s = dev.serial;
    Done done;
    {
        CancelLock lock(dev.kernel);
        Irp* irp = s.xoffCounterWaiting;
        if (!irp || s.xoffCounterQueue.current || s.writeQueue.current != irp || Ending(irp)) {
            return;
        }
        InstallXoffCounter(dev, irp, done);
    }
    Settle(dev, done);
}

void OnTransmit(Device& dev, std::uintptr_t tag, NTSTATUS status) {
    SerialState& s = dev.serial;
    if (tag == kTagXoffCounter) {
        XoffCounterSent(dev, status);
        return;
    }
    if (tag == kTagImmediate) {
        Done done;
        {
            CancelLock lock(dev.kernel);
            Irp* irp = s.immediateQueue.current;
            VM_KASSERT(irp && (RefsOf(irp) & kRefTransfer));
            if (NT_SUCCESS(status)) {
                SpinLockGuard rx(dev.serial.receiveLock);
                ++s.stats.TransmittedCount;
            }
            BeginEnd(dev, s.immediateQueue, status, done);
            Drop(dev, s.immediateQueue, irp, kRefTransfer, done);
        }
        Settle(dev, done);
        return;
    }
    if (tag != kTagWrite) return;
    bool more = false;
    Done done;
    {
        CancelLock lock(dev.kernel);
        Irp* irp = s.writeQueue.current;
        VM_KASSERT(irp && (RefsOf(irp) & kRefTransfer));
        if (NT_SUCCESS(status)) {
            s.writeSent += s.chunkInFlight;
            SpinLockGuard rx(dev.serial.receiveLock);
            s.stats.TransmittedCount += s.chunkInFlight;
        }
        s.chunkInFlight = 0;
        const std::uint32_t length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        if (!NT_SUCCESS(status)) {
            // A failed transfer ends the write with what went out; later writes go on.
            BeginEnd(dev, s.writeQueue, status, done);
        } else if (!Ending(irp) && s.writeSent == length) {
            BeginEnd(dev, s.writeQueue, STATUS_SUCCESS, done);
        } else if (!Ending(irp)) {
            more = true;
        }
        Drop(dev, s.writeQueue, irp, kRefTransfer, done);
    }
    Settle(dev, done);
    if (more) SendChunk(dev);
}

NTSTATUS ImmediateChar(Device& dev, Irp* irp) {
    SerialState& s = dev.serial;
    std::optional<TimeUnits> total;
    {
        SpinLockGuard control(dev.usb.controlLock);
        const std::uint64_t sum =
            static_cast<std::uint64_t>(s.timeouts.WriteTotalTimeoutMultiplier) +
            s.timeouts.WriteTotalTimeoutConstant;
        if (sum != 0) {
            total = TotalTimeout(1, s.timeouts.WriteTotalTimeoutMultiplier,
                                 s.timeouts.WriteTotalTimeoutConstant);
        }
    }
    {
        CancelLock lock(dev.kernel);
        if (s.immediateQueue.current) {
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        } else if (irp->Cancel.load()) {
            irp->IoStatus.Status = STATUS_CANCELLED;
        } else if (Gone(dev)) {
            irp->IoStatus.Status = STATUS_DELETE_PENDING;
        } else {
            // Made current and armed in one locked step: no other path sees it half started.
            IoMarkIrpPending(irp);
            irp->DriverContext[3] = &dev;
            MakeCurrent(dev, s.immediateQueue, irp);
            std::uintptr_t refs = kRefCancel | kRefTransfer;
            IoSetCancelRoutine(irp, &CancelCurrent);
            if (total && *total < kNeverTimeout) {
                s.immediateQueue.totalTimer.Set(-*total, &s.immediateTotalDpc);
                refs |= kRefTotalTimer;
            }
            SetRefs(irp, refs);  // the starting reference is taken back at once
            irp->IoStatus.Status = STATUS_PENDING;
        }
    }
    if (irp->IoStatus.Status != STATUS_PENDING) return irp->IoStatus.Status;
    bool submitted = false;
    const std::uint8_t c = *static_cast<const std::uint8_t*>(irp->SystemBuffer);
    const NTSTATUS status =
        USB2SER_AsyncTransferTagged(dev.usb, kPipeTransmit, &c, 1, kTagImmediate, &submitted);
    if (!submitted) {
        Done done;
        {
            CancelLock lock(dev.kernel);
            BeginEnd(dev, s.immediateQueue, status, done);
            Drop(dev, s.immediateQueue, irp, kRefTransfer, done);
        }
        Settle(dev, done);
    }
    return STATUS_PENDING;
}

NTSTATUS DispatchWrite(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    dev.kernel.PausePoint(kPauseAdmitted);
    if (ErrorAbortActive(dev)) return CompleteNow(dev, irp, STATUS_CANCELLED);
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length == 0) {
        return CompleteNow(dev, irp, STATUS_SUCCESS);
    }
    Done done;
    if (Enqueue(dev, dev.serial.writeQueue, irp, done)) StartWrite(dev, irp);
    Settle(dev, done);
    return STATUS_PENDING;
}

NTSTATUS DispatchFlush(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    if (ErrorAbortActive(dev)) return CompleteNow(dev, irp, STATUS_CANCELLED);
    Done done;
    if (Enqueue(dev, dev.serial.writeQueue, irp, done)) StartWrite(dev, irp);
    Settle(dev, done);
    return STATUS_PENDING;
}

}  // namespace vm::drv::usbser2k
