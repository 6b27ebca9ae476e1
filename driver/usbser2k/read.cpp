// Reads: from the receive ring, then straight from the standing receive transfer, with the total
// and interval time-outs.
#include "driver/usbser2k/serial_private.h"

namespace vm::drv::usbser2k {

namespace {

TimeUnits IntervalPoll(TimeUnits interval) {
    return interval < kIntervalCutOver ? kShortInterval : kLongInterval;
}

// Copies from the ring into `out` (receive lock held).
std::uint32_t TakeFromRing(Device& dev, std::uint8_t* out, std::uint32_t max)
    REQUIRES(dev.serial.receiveLock) {
    std::uint32_t n = 0;
    while (n < max && dev.receiveCount > 0 && dev.receiveBuffer) {
        const std::uint32_t run =
            std::min({max - n, dev.receiveCount, dev.receiveSize - dev.receiveFirst});
        std::memcpy(out + n, dev.receiveBuffer + dev.receiveFirst, run);
        n += run;
        dev.receiveFirst = (dev.receiveFirst + run) % dev.receiveSize;
        dev.receiveCount -= run;
    }
    return n;
}

void StartRead(Device& dev, Irp* irp) {
    SerialState& s = dev.serial;
    const std::uint32_t length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    SerialTimeouts t;
    {
        SpinLockGuard lock(dev.usb.controlLock);
        t = s.timeouts;
    }
    constexpr std::uint32_t kMax = 0xFFFFFFFF;
    bool atOnce = false;
    bool anyByte = false;
    TimeUnits total = 0;  // 0: no total time-out
    TimeUnits interval = 0;
    if (t.ReadIntervalTimeout == kMax) {
        if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
            atOnce = true;
        } else if (t.ReadTotalTimeoutConstant != kMax) {
            anyByte = true;
            // Any-byte mode: the constant alone when the multiplier is the maximum.
            total = t.ReadTotalTimeoutMultiplier == kMax
                        ? TotalTimeout(0, 0, t.ReadTotalTimeoutConstant)
                        : TotalTimeout(length, t.ReadTotalTimeoutMultiplier,
                                       t.ReadTotalTimeoutConstant);
        }
    } else {
        if (t.ReadIntervalTimeout != 0) {
            interval = static_cast<TimeUnits>(t.ReadIntervalTimeout) * kMillisecond;
        }
        if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
            total = TotalTimeout(length, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant);
        }
    }
    if (total >= kNeverTimeout) total = 0;

    auto* buffer = static_cast<std::uint8_t*>(irp->SystemBuffer);
    Release release;
    Done done;
    dev.kernel.PausePoint(kPauseStart);
    {
        CancelLock lock(dev.kernel);
        if (StillStarting(dev, s.readQueue, irp, done)) {
            bool complete;
            std::uint32_t copied;
            {
                SpinLockGuard rx(dev.serial.receiveLock);
                copied = TakeFromRing(dev, buffer, length);
                // Set before the receive path can see the read: from then on it counts the bytes.
                irp->IoStatus.Information = copied;
                ReleaseReceiveHolds(dev, release);
                complete = copied == length || atOnce || (anyByte && copied > 0);
                if (!complete) {
                    s.directRead = irp;
                    s.readBuffer = buffer;
                    s.readLength = length;
                    s.readCount = copied;
                    s.readAnyByte = anyByte;
                    s.readInterval = interval;
                    s.lastByteTime = dev.kernel.Now();
                }
            }
            if (complete) {
                BeginEnd(dev, s.readQueue, STATUS_SUCCESS, done);
                Drop(dev, s.readQueue, irp, kRefStarting, done);
            } else {
                std::uintptr_t refs = kRefDirect | kRefCancel;
                IoSetCancelRoutine(irp, &CancelCurrent);
                if (total > 0) {
                    s.readQueue.totalTimer.Set(-total, &s.readTotalDpc);
                    refs |= kRefTotalTimer;
                }
                if (interval != 0) {
                    s.readQueue.intervalTimer.Set(IntervalPoll(interval), &s.readIntervalDpc);
                    refs |= kRefIntervalTimer;
                }
                SetRefs(irp, RefsOf(irp) | refs);
                Drop(dev, s.readQueue, irp, kRefStarting, done);
            }
        }
    }
    ApplyRelease(dev, release);
    Settle(dev, done);
}

}  // namespace

void ReadTotalDpc(KDpc*, void* context, void*, void*) {
    Device& dev = *static_cast<Device*>(context);
    TimerFired(dev, dev.serial.readQueue, kRefTotalTimer, STATUS_TIMEOUT);
}

void ReadIntervalDpc(KDpc*, void* context, void*, void*) {
    Device& dev = *static_cast<Device*>(context);
    SerialState& s = dev.serial;
    Done done;
    {
        CancelLock lock(dev.kernel);
        Irp* irp = s.readQueue.current;
        VM_KASSERT(irp && (RefsOf(irp) & kRefIntervalTimer));
        bool expired = false;
        TimeUnits interval = 0;
        {
            SpinLockGuard rx(dev.serial.receiveLock);
            interval = s.readInterval;
            expired = s.directRead == irp && s.readCount > 0 &&
                      dev.kernel.Now() - s.lastByteTime > interval;
        }
        if (!Ending(irp) && !expired) {
            s.readQueue.intervalTimer.Set(IntervalPoll(interval), &s.readIntervalDpc);
        } else {
            BeginEnd(dev, s.readQueue, STATUS_TIMEOUT, done);
            Drop(dev, s.readQueue, irp, kRefIntervalTimer, done);
        }
    }
    Settle(dev, done);
}

void StartNextRead(Device& dev) {
    Irp* irp;
    {
        CancelLock lock(dev.kernel);
        irp = TakeNext(dev, dev.serial.readQueue);
    }
    if (irp) StartRead(dev, irp);
}

NTSTATUS DispatchRead(DeviceObject* fdo, Irp* irp) {
    Device& dev = Ext(fdo);
    if (!Admit(dev, irp)) return STATUS_DELETE_PENDING;
    dev.kernel.PausePoint(kPauseAdmitted);
    if (ErrorAbortActive(dev)) return CompleteNow(dev, irp, STATUS_CANCELLED);
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
        return CompleteNow(dev, irp, STATUS_SUCCESS);
    }
    Done done;
    if (Enqueue(dev, dev.serial.readQueue, irp, done)) StartRead(dev, irp);
    Settle(dev, done);
    return STATUS_PENDING;
}

}  // namespace vm::drv::usbser2k
