// usbser2k's request queues: the current request and its reference bits, the start protocol every
// request kind uses, completion once the locks are let go, cancel routines, and the time
// arithmetic.
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

namespace {

std::uint64_t EffectiveRate(std::uint32_t rate) {
    return rate == 0 ? 9600 : rate;
}

// The current request has no references left: it leaves its queue (lock held).
void Retire(Device& dev, RequestQueue& q, Irp* irp, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock()) {
    SerialState& s = dev.serial;
    if (q.current == irp) q.current = nullptr;
    if (s.xoffCounterWaiting == irp) s.xoffCounterWaiting = nullptr;
    if (&q == &s.xoffCounterQueue) done.nextXoffCounter = true;
    if (&q == &s.writeQueue) {
        irp->IoStatus.Information = s.writeSent;
        done.nextWrite = true;
        if (NT_SUCCESS(irp->IoStatus.Status) && s.writeQueue.waiting.empty()) {
            done.events |= SERIAL_EV_TXEMPTY;
        }
    } else if (&q == &s.readQueue) {
        done.nextRead = true;
        const IoStackLocation* loc = IoGetCurrentIrpStackLocation(irp);
        // A read that got all its bytes succeeded, whoever ended it (a time-out or a cancel
        // racing the last byte): its data is not thrown away.
        if (irp->IoStatus.Information == loc->Parameters.Read.Length) {
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
    } else {
        // The immediate character returns no bytes: it has no output buffer to count them in.
        irp->IoStatus.Information = 0;
    }
    if (!NT_SUCCESS(irp->IoStatus.Status)) irp->IoStatus.Information = 0;
    done.irps.push_back(irp);
}

// Stops the receive path from copying into or counting for the request; returns whether it was
// doing so (receive lock taken inside; the cancel lock is held).
bool StopDirect(Device& dev, RequestQueue& q, Irp* irp) REQUIRES(dev.kernel.cancelSpinLock()) {
    SerialState& s = dev.serial;
    SpinLockGuard lock(dev.serial.receiveLock);
    if (&q == &s.readQueue && s.directRead == irp) {
        irp->IoStatus.Information = s.readCount;
        s.directRead = nullptr;
        return true;
    }
    if (&q == &s.xoffCounterQueue && s.xoffCounterLeft > 0) {
        s.xoffCounterLeft = 0;
        return true;
    }
    return false;
}

// A cancel routine is called with the cancel spin lock held (IoCancelIrp takes it) and lets it go
// itself: the lock crosses the call, which the lock analysis cannot follow, so these are
// unchecked.
void CancelQueued(DeviceObject*, Irp* irp) NO_THREAD_SAFETY_ANALYSIS {
    Device& dev = *DeviceOf(irp);
    RequestQueue& q = *QueueOf(irp);
    auto it = std::find(q.waiting.begin(), q.waiting.end(), irp);
    const bool found = it != q.waiting.end();
    if (found) {
        q.waiting.erase(it);
        if (&q == &dev.serial.writeQueue &&
            IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE) {
            dev.serial.queuedWriteBytes -=
                IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        }
    }
    IoReleaseCancelSpinLock(dev.kernel, irp->CancelIrql);
    if (found) CompleteNow(dev, irp, STATUS_CANCELLED);
}

}  // namespace

TimeUnits TotalTimeout(std::uint64_t count, std::uint32_t multiplier, std::uint32_t constant) {
    constexpr std::uint64_t kLimitMs = static_cast<std::uint64_t>(kNeverTimeout / kMillisecond);
    std::uint64_t ms = 0;
    if (multiplier != 0 && count > (kLimitMs - constant) / multiplier) return kNeverTimeout;
    ms = count * multiplier + constant;
    if (ms >= kLimitMs) return kNeverTimeout;
    return static_cast<TimeUnits>(ms) * kMillisecond;
}

TimeUnits CharacterTime(std::uint32_t rate, std::uint8_t lineControl) {
    const LineControl lc = DecodeLineControl(lineControl);
    const std::uint64_t bitTime = (10'000'000 + EffectiveRate(rate) - 1) / EffectiveRate(rate);
    const std::uint64_t bits =
        lc.wordLength + (lc.parity != 0 ? 1u : 0u) + (lc.stopBits != 0 ? 3u : 2u);
    return static_cast<TimeUnits>(bitTime * bits);
}

TimeUnits BitTimes(std::uint32_t rate, std::uint64_t bits) {
    const std::uint64_t rateValue = EffectiveRate(rate);
    if (bits > std::numeric_limits<std::uint64_t>::max() / 10'000'000) return kNeverTimeout;
    const std::uint64_t units = bits * 10'000'000 / rateValue;
    return units >= static_cast<std::uint64_t>(kNeverTimeout) ? kNeverTimeout
                                                              : static_cast<TimeUnits>(units);
}

SerialState::SerialState(Kernel& k, UsbDevice& device, Device* owner)
    : kernel(k),
      usb(device),
      readQueue(k),
      writeQueue(k),
      immediateQueue(k),
      xoffCounterQueue(k),
      readTotalDpc(k, &ReadTotalDpc, owner),
      readIntervalDpc(k, &ReadIntervalDpc, owner),
      writeTotalDpc(k, &WriteTotalDpc, owner),
      immediateTotalDpc(k, &ImmediateTotalDpc, owner),
      xoffCounterTotalDpc(k, &XoffCounterTotalDpc, owner) {
    flow.handflow.ControlHandShake = SERIAL_DTR_CONTROL;
    flow.handflow.FlowReplace = SERIAL_RTS_CONTROL;
}

void CompleteAdmitted(Device& dev, Irp* irp) {
    IoCompleteRequest(irp);
    dev.usb.ioCount.Decrement();
}

NTSTATUS CompleteNow(Device& dev, Irp* irp, NTSTATUS status, std::uintptr_t information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    CompleteAdmitted(dev, irp);
    return status;
}

void Drop(Device& dev, RequestQueue& q, Irp* irp, std::uintptr_t bits, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock()) {
    const std::uintptr_t refs = RefsOf(irp) & ~bits;
    SetRefs(irp, refs);
    if (refs == 0) {
        VM_KASSERT(Ending(irp));
        Retire(dev, q, irp, done);
    }
}

bool BeginEnd(Device& dev, RequestQueue& q, NTSTATUS status, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock()) {
    Irp* irp = q.current;
    if (!irp || Ending(irp)) return false;
    SetEnding(irp, true);
    irp->IoStatus.Status = status;
    std::uintptr_t taken = 0;
    const std::uintptr_t refs = RefsOf(irp);
    if ((refs & kRefCancel) && IoSetCancelRoutine(irp, nullptr)) taken |= kRefCancel;
    if ((refs & kRefTotalTimer) && q.totalTimer.Cancel()) taken |= kRefTotalTimer;
    if ((refs & kRefIntervalTimer) && q.intervalTimer.Cancel()) taken |= kRefIntervalTimer;
    if ((refs & kRefDirect) && StopDirect(dev, q, irp)) taken |= kRefDirect;
    if (refs & kRefTransfer) {
        SerialState& s = dev.serial;
        if (&q == &s.writeQueue) done.cancelWriteTransfer = true;
        if (&q == &s.immediateQueue) done.cancelImmediateTransfer = true;
        if (&q == &s.xoffCounterQueue) done.cancelXoffTransfer = true;
    }
    Drop(dev, q, irp, taken, done);
    return true;
}

void RecordEventsLocked(Device& dev, std::uint32_t events, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock()) {
    SerialState& s = dev.serial;
    s.history |= events & s.waitMask;
    if (s.pendingWait && s.history != 0 && IoSetCancelRoutine(s.pendingWait, nullptr)) {
        Irp* wait = s.pendingWait;
        s.pendingWait = nullptr;
        std::memcpy(wait->SystemBuffer, &s.history, 4);
        s.history = 0;
        wait->IoStatus.Status = STATUS_SUCCESS;
        wait->IoStatus.Information = 4;
        done.irps.push_back(wait);
    }
}

void Settle(Device& dev, Done& done) {
    if (done.events) {
        CancelLock lock(dev.kernel);
        RecordEventsLocked(dev, done.events, done);
        done.events = 0;
    }
    if (done.cancelWriteTransfer) CancelTaggedTransfers(dev.usb, kPipeTransmit, kTagWrite);
    if (done.cancelImmediateTransfer) CancelTaggedTransfers(dev.usb, kPipeTransmit, kTagImmediate);
    if (done.cancelXoffTransfer) CancelTaggedTransfers(dev.usb, kPipeTransmit, kTagXoffCounter);
    for (Irp* irp : done.irps) CompleteAdmitted(dev, irp);
    if (done.nextRead) StartNextRead(dev);
    if (done.nextWrite) StartNextWrite(dev);
    // In transmit-toggle mode RTS goes off once the transmitter is empty.
    if (done.nextWrite && TransmitToggle(dev)) QueueLineWork(dev);
    if (done.nextXoffCounter) PromoteXoffCounter(dev);
}

void CancelCurrent(DeviceObject*, Irp* irp) NO_THREAD_SAFETY_ANALYSIS {
    Device& dev = *DeviceOf(irp);
    RequestQueue& q = *QueueOf(irp);
    Done done;
    // The routine's own reference is this call's; the request is still current.
    VM_KASSERT(q.current == irp);
    BeginEnd(dev, q, STATUS_CANCELLED, done);
    Drop(dev, q, irp, kRefCancel, done);
    IoReleaseCancelSpinLock(dev.kernel, irp->CancelIrql);
    Settle(dev, done);
}

void CancelWait(DeviceObject*, Irp* irp) NO_THREAD_SAFETY_ANALYSIS {
    Device& dev = *DeviceOf(irp);
    const bool mine = dev.serial.pendingWait == irp;
    if (mine) dev.serial.pendingWait = nullptr;
    IoReleaseCancelSpinLock(dev.kernel, irp->CancelIrql);
    if (mine) CompleteNow(dev, irp, STATUS_CANCELLED);
}

void MakeCurrent(Device& dev, RequestQueue& q, Irp* irp) REQUIRES(dev.kernel.cancelSpinLock()) {
    VM_KASSERT(q.current == nullptr);
    q.current = irp;
    irp->DriverContext[2] = &q;
    SetEnding(irp, false);
    SetRefs(irp, kRefStarting);
    if (&q == &dev.serial.writeQueue) {
        dev.serial.writeSent = 0;
        dev.serial.chunkInFlight = 0;
    }
}

bool StillStarting(Device& dev, RequestQueue& q, Irp* irp, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock()) {
    VM_KASSERT(q.current == irp && (RefsOf(irp) & kRefStarting));
    if (!Ending(irp) && irp->Cancel.load()) BeginEnd(dev, q, STATUS_CANCELLED, done);
    if (!Ending(irp)) return true;
    Drop(dev, q, irp, kRefStarting, done);
    return false;
}

bool Gone(const Device& dev) {
    return (dev.deviceFlags.load() & (kDeviceRemoved | kDeviceSurpriseRemoved | kDeviceFailed)) !=
           0;
}

bool Enqueue(Device& dev, RequestQueue& q, Irp* irp, Done& done) {
    CancelLock lock(dev.kernel);
    IoMarkIrpPending(irp);
    irp->DriverContext[2] = &q;
    irp->DriverContext[3] = &dev;
    SetEnding(irp, false);
    SetRefs(irp, 0);
    if (irp->Cancel.load() || Gone(dev)) {
        irp->IoStatus.Status = irp->Cancel.load() ? STATUS_CANCELLED : STATUS_DELETE_PENDING;
        irp->IoStatus.Information = 0;
        done.irps.push_back(irp);
        return false;
    }
    if (!q.current && q.waiting.empty()) {
        MakeCurrent(dev, q, irp);
        return true;
    }
    if (&q == &dev.serial.writeQueue &&
        IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE) {
        dev.serial.queuedWriteBytes += IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    }
    IoSetCancelRoutine(irp, &CancelQueued);
    q.waiting.push_back(irp);
    return false;
}

Irp* TakeNext(Device& dev, RequestQueue& q) REQUIRES(dev.kernel.cancelSpinLock()) {
    if (q.current || q.waiting.empty()) return nullptr;
    Irp* irp = q.waiting.front();
    q.waiting.pop_front();
    VM_KASSERT(IoSetCancelRoutine(irp, nullptr) != nullptr);
    if (&q == &dev.serial.writeQueue &&
        IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE) {
        dev.serial.queuedWriteBytes -= IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    }
    MakeCurrent(dev, q, irp);
    return irp;
}

void AbortQueue(Device& dev, RequestQueue& q, Done& done) REQUIRES(dev.kernel.cancelSpinLock()) {
    while (!q.waiting.empty()) {
        Irp* irp = q.waiting.front();
        q.waiting.pop_front();
        VM_KASSERT(IoSetCancelRoutine(irp, nullptr) != nullptr);
        if (&q == &dev.serial.writeQueue &&
            IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE) {
            dev.serial.queuedWriteBytes -=
                IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        }
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        done.irps.push_back(irp);
    }
    BeginEnd(dev, q, STATUS_CANCELLED, done);
}

void TimerFired(Device& dev, RequestQueue& q, std::uintptr_t bit, NTSTATUS status) {
    Done done;
    {
        CancelLock lock(dev.kernel);
        Irp* irp = q.current;
        VM_KASSERT(irp && (RefsOf(irp) & bit));
        BeginEnd(dev, q, status, done);
        Drop(dev, q, irp, bit, done);
    }
    Settle(dev, done);
}

}  // namespace vm::drv::usbser2k
