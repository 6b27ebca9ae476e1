// usbser2k's request queues and the data path: reads from the receive ring and straight from
// the standing receive transfer, writes in chunks, time-outs, wait on mask, purge, the status
// notifications, flow control and the completion of current requests by reference.
#include "driver/usbser2k/serial.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "driver/core/chip_control.h"
#include "driver/core/lifecycle.h"
#include "driver/core/private_ioctl.h"
#include "driver/platform/wmi.h"
#include "driver/usbser2k/usbser2k.h"

namespace vm::drv::usbser2k {

// --- Arithmetic ---------------------------------------------------------------------------------

TimeUnits TotalTimeout(std::uint64_t count, std::uint32_t multiplier, std::uint32_t constant) {
    constexpr std::uint64_t kLimitMs = static_cast<std::uint64_t>(kNeverTimeout / kMillisecond);
    std::uint64_t ms = 0;
    if (multiplier != 0 && count > (kLimitMs - constant) / multiplier) return kNeverTimeout;
    ms = count * multiplier + constant;
    if (ms >= kLimitMs) return kNeverTimeout;
    return static_cast<TimeUnits>(ms) * kMillisecond;
}

namespace {
std::uint64_t EffectiveRate(std::uint32_t rate) {
    return rate == 0 ? 9600 : rate;
}
}  // namespace

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

namespace {
void ReadTotalDpc(KDpc*, void* context, void*, void*);
void ReadIntervalDpc(KDpc*, void* context, void*, void*);
void WriteTotalDpc(KDpc*, void* context, void*, void*);
void ImmediateTotalDpc(KDpc*, void* context, void*, void*);
void XoffCounterTotalDpc(KDpc*, void* context, void*, void*);
}  // namespace

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

namespace {

constexpr std::uintptr_t kRefDirect = 0x20;  // the receive path copies into it / counts for it

// --- Reference bits on a current request --------------------------------------------------------
std::uintptr_t RefsOf(Irp* irp) {
    return reinterpret_cast<std::uintptr_t>(irp->DriverContext[0]);
}
void SetRefs(Irp* irp, std::uintptr_t refs) {
    irp->DriverContext[0] = reinterpret_cast<void*>(refs);
}
bool Ending(Irp* irp) {
    return irp->DriverContext[1] != nullptr;
}
void SetEnding(Irp* irp, bool on) {
    irp->DriverContext[1] = on ? irp : nullptr;
}
RequestQueue* QueueOf(Irp* irp) {
    return static_cast<RequestQueue*>(irp->DriverContext[2]);
}
Device* DeviceOf(Irp* irp) {
    return static_cast<Device*>(irp->DriverContext[3]);
}

// Requests that are done, completed once the locks are let go; and the queues that may start
// their next request then.
struct Done {
    std::vector<Irp*> irps;
    bool nextRead = false;
    bool nextWrite = false;
    bool nextXoffCounter = false;
    bool cancelWriteTransfer = false;
    bool cancelImmediateTransfer = false;
    bool cancelXoffTransfer = false;
    std::uint32_t events = 0;
};

class SCOPED_CAPABILITY CancelLock {
public:
    explicit CancelLock(Kernel& kernel) ACQUIRE(kernel.cancelSpinLock()) : kernel_(kernel) {
        IoAcquireCancelSpinLock(kernel, &old_);
    }
    ~CancelLock() RELEASE() { IoReleaseCancelSpinLock(kernel_, old_); }
    CancelLock(const CancelLock&) = delete;
    CancelLock& operator=(const CancelLock&) = delete;

private:
    Kernel& kernel_;
    Irql old_;
};

void CompleteAdmitted(Device& dev, Irp* irp) {
    IoCompleteRequest(irp);
    dev.usb.ioCount.Decrement();
}

NTSTATUS CompleteNow(Device& dev, Irp* irp, NTSTATUS status, std::uintptr_t information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    CompleteAdmitted(dev, irp);
    return status;
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

// Drops reference bits; the last one retires the request (lock held).
void Drop(Device& dev, RequestQueue& q, Irp* irp, std::uintptr_t bits, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock()) {
    const std::uintptr_t refs = RefsOf(irp) & ~bits;
    SetRefs(irp, refs);
    if (refs == 0) {
        VM_KASSERT(Ending(irp));
        Retire(dev, q, irp, done);
    }
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

// Decides that the current request of a queue ends with `status` and takes back whatever can be
// taken back at once; the rest of its references end it as they go (lock held).
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

void StartNextRead(Device& dev);
void StartNextWrite(Device& dev);
void PromoteXoffCounter(Device& dev);
bool TransmitToggle(Device& dev);
void QueueLineWork(Device& dev);

// Lets go of the locks' results: completes, cancels the transfers of requests that end, starts
// the next requests.
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

// --- Cancel routines ----------------------------------------------------------------------------
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

// --- The start protocol --------------------------------------------------------------------------
// A request becomes current in one step under the cancel lock: it is reset for its start (the
// write queue's transmit count with it) and holds the starting reference. Its starter then works
// outside the lock (the time-outs, a pause) and arms it in a second locked step, StillStarting
// first: a request that was ended meanwhile (purge, cleanup, error abort, its cancel) is not armed,
// its starter only lets go of its starting reference. While a request holds that reference, no
// other path starts its transfer (a transmit restart leaves it to its starter).

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

// The starter's locked step begins here (lock held): false when the request must not be armed
// (it ended or was cancelled while starting); its starting reference is then dropped, which
// retires it once nothing else holds it.
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

// Queues a request or makes it current at once (lock taken inside). Returns true when it became
// current (with the starting reference) and must be started by the caller. A request admitted
// just before the device went away is completed with STATUS_DELETE_PENDING: checked under the
// lock the removal's cancel of every queue takes, so none is left behind that cancel.
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

// Takes the next waiting request as current (lock held); null when none or one is current.
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

// Completes every waiting request of a queue with STATUS_CANCELLED and ends the current one
// (lock held).
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

// --- Line work at passive level -----------------------------------------------------------------

bool TransmitToggle(Device& dev) {
    SpinLockGuard rx(dev.serial.receiveLock);
    return (dev.serial.flow.handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
}

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

void QueueLineWork(Device& dev) {
    SerialState& s = dev.serial;
    if (!s.lineWork || s.lineWorkQueued.exchange(true)) return;
    s.deferredRunning.fetch_add(1);
    IoQueueWorkItem(s.lineWork, &LineWork, nullptr, &dev);
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

// Whether a standing transfer that ended with `status` is started again: not when it was
// cancelled or the device is powered off or gone (the port's own paths start it then), and not
// more than kMaxRearms times in a row.
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

// A write is about to go out in transmit-toggle mode: RTS goes on first (at passive level at
// once; above it by the line work, which the chip sees shortly after).
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

// --- Flow characters ----------------------------------------------------------------------------

void SendFlowCharacter(Device& dev, std::uint8_t c) {
    bool submitted = false;
    USB2SER_AsyncTransferTagged(dev.usb, kPipeTransmit, &c, 1, kTagFlowCharacter, &submitted);
}

// Releases the receive holds once the ring has drained to XonLimit (receive lock held); tells
// what must follow outside the lock.
struct Release {
    bool lines = false;
    bool arm = false;
    bool sendXon = false;
    std::uint8_t xonChar = 0;  // the XON character in force when the hold was let go
};
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

// --- Timers ------------------------------------------------------------------------------------
// A timer that fires holds its reference on the queue's current request, which is therefore
// still current when its routine runs.

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

void ReadTotalDpc(KDpc*, void* context, void*, void*) {
    Device& dev = *static_cast<Device*>(context);
    TimerFired(dev, dev.serial.readQueue, kRefTotalTimer, STATUS_TIMEOUT);
}

TimeUnits IntervalPoll(TimeUnits interval) {
    return interval < kIntervalCutOver ? kShortInterval : kLongInterval;
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

// --- Reads -------------------------------------------------------------------------------------

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

void StartNextRead(Device& dev) {
    Irp* irp;
    {
        CancelLock lock(dev.kernel);
        irp = TakeNext(dev, dev.serial.readQueue);
    }
    if (irp) StartRead(dev, irp);
}

// --- Writes ------------------------------------------------------------------------------------

// Sends the next chunk of the current write, or ends it when nothing remains.
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

void StartXoffCounter(Device& dev, Irp* irp);

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

// The XOFF counter waiting for its queue goes on once the one before it has retired.
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

}  // namespace

// --- Transmit completions ------------------------------------------------------------------------

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

// --- Receiving ---------------------------------------------------------------------------------

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

// --- Status notifications ------------------------------------------------------------------------

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

}  // namespace vm::drv::usbser2k

// --- Requests ------------------------------------------------------------------------------------

namespace vm::drv::usbser2k {
namespace {

Device& Ext(DeviceObject* fdo) {
    return fdo->Extension<Device>();
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

// The record is applied to a copy of the flow state: its chip requests wait, so the receive lock
// cannot be held across them. The copy is taken and put back under the receive lock, the lock the
// data path changes the holds under; putting back takes only the hold bits the record set or let
// go, so a hold the data path set or released meanwhile (a status notification, the receive
// buffer reaching the XOFF point) is not lost.
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

bool ErrorAbortActive(Device& dev) {
    SpinLockGuard rx(dev.serial.receiveLock);
    return (dev.serial.flow.handflow.ControlHandShake & SERIAL_ERROR_ABORT) &&
           dev.serial.errors != 0;
}

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

struct Lengths {
    std::uint32_t in;
    std::uint32_t out;
    bool d0;
};

// Buffer lengths each code needs and whether it brings the device to D0 first.
std::optional<Lengths> LengthsOf(std::uint32_t code) {
    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE:
            return Lengths{4, 0, true};
        case IOCTL_SERIAL_SET_QUEUE_SIZE:
            return Lengths{8, 0, false};
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            return Lengths{3, 0, true};
        case IOCTL_SERIAL_SET_BREAK_ON:
        case IOCTL_SERIAL_SET_BREAK_OFF:
            return Lengths{0, 0, true};
        case IOCTL_SERIAL_IMMEDIATE_CHAR:
            return Lengths{1, 0, false};
        case IOCTL_SERIAL_SET_TIMEOUTS:
            return Lengths{20, 0, false};
        case IOCTL_SERIAL_GET_TIMEOUTS:
            return Lengths{0, 20, false};
        case IOCTL_SERIAL_SET_DTR:
        case IOCTL_SERIAL_CLR_DTR:
        case IOCTL_SERIAL_SET_RTS:
        case IOCTL_SERIAL_CLR_RTS:
            return Lengths{0, 0, true};
        case IOCTL_SERIAL_RESET_DEVICE:
        case IOCTL_SERIAL_SET_XOFF:
        case IOCTL_SERIAL_SET_XON:
            return Lengths{0, 0, false};
        case IOCTL_SERIAL_GET_WAIT_MASK:
            return Lengths{0, 4, false};
        case IOCTL_SERIAL_SET_WAIT_MASK:
            return Lengths{4, 0, false};
        case IOCTL_SERIAL_WAIT_ON_MASK:
            return Lengths{0, 4, false};
        case IOCTL_SERIAL_PURGE:
            return Lengths{4, 0, false};
        case IOCTL_SERIAL_GET_BAUD_RATE:
            return Lengths{0, 4, false};
        case IOCTL_SERIAL_GET_LINE_CONTROL:
            return Lengths{0, 3, false};
        case IOCTL_SERIAL_GET_CHARS:
            return Lengths{0, 6, false};
        case IOCTL_SERIAL_SET_CHARS:
            return Lengths{6, 0, false};
        case IOCTL_SERIAL_GET_HANDFLOW:
            return Lengths{0, 16, false};
        case IOCTL_SERIAL_SET_HANDFLOW:
            return Lengths{16, 0, false};
        case IOCTL_SERIAL_GET_MODEMSTATUS:
            return Lengths{0, 4, false};
        case IOCTL_SERIAL_GET_COMMSTATUS:
            return Lengths{0, 20, false};
        case IOCTL_SERIAL_XOFF_COUNTER:
            return Lengths{kXoffCounterInputLength, 0, false};
        case IOCTL_SERIAL_GET_PROPERTIES:
            return Lengths{0, 64, false};
        case IOCTL_SERIAL_GET_DTRRTS:
            return Lengths{0, 4, false};
        case IOCTL_SERIAL_LSRMST_INSERT:
            return Lengths{1, 0, false};
        case IOCTL_SERIAL_CONFIG_SIZE:
            return Lengths{0, 4, false};
        case IOCTL_SERIAL_GET_STATS:
            return Lengths{0, 24, false};
        case IOCTL_SERIAL_CLEAR_STATS:
            return Lengths{0, 0, false};
        case IOCTL_SERIAL_GET_MODEM_CONTROL:
            return Lengths{0, 4, false};
        case IOCTL_SERIAL_SET_MODEM_CONTROL:
            return Lengths{4, 0, true};
        case IOCTL_SERIAL_SET_FIFO_CONTROL:
            return Lengths{4, 0, true};
        default:
            return std::nullopt;
    }
}

// Returns STATUS_PENDING when the wait is kept (it completes later); any other status is the
// caller's to complete with.
NTSTATUS WaitOnMask(Device& dev, Irp* irp, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    std::uint32_t events = 0;
    {
        CancelLock lock(dev.kernel);
        if (s.waitMask == 0 || s.pendingWait) {
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        } else if (s.history & s.waitMask) {
            events = s.history;
            s.history = 0;
            irp->IoStatus.Status = STATUS_SUCCESS;
        } else if (irp->Cancel.load()) {
            irp->IoStatus.Status = STATUS_CANCELLED;
        } else if (Gone(dev)) {
            irp->IoStatus.Status = STATUS_DELETE_PENDING;
        } else {
            IoMarkIrpPending(irp);
            irp->DriverContext[3] = &dev;
            IoSetCancelRoutine(irp, &CancelWait);
            s.pendingWait = irp;
            return STATUS_PENDING;
        }
    }
    if (irp->IoStatus.Status == STATUS_SUCCESS) {
        std::memcpy(irp->SystemBuffer, &events, 4);
        info = 4;
    }
    return irp->IoStatus.Status;
}

NTSTATUS SetWaitMask(Device& dev, std::uint32_t mask) {
    SerialState& s = dev.serial;
    Irp* old = nullptr;
    {
        CancelLock lock(dev.kernel);
        if (s.pendingWait && IoSetCancelRoutine(s.pendingWait, nullptr)) {
            old = s.pendingWait;
            s.pendingWait = nullptr;
        }
        s.history &= mask;
        s.waitMask = mask;
    }
    if (old) {
        const std::uint32_t zero = 0;
        std::memcpy(old->SystemBuffer, &zero, 4);
        CompleteNow(dev, old, STATUS_SUCCESS, 4);
    }
    return STATUS_SUCCESS;
}

void Purge(Device& dev, std::uint32_t mask) {
    SerialState& s = dev.serial;
    Done done;
    {
        CancelLock lock(dev.kernel);
        if (mask & SERIAL_PURGE_TXABORT) {
            AbortQueue(dev, s.writeQueue, done);
            BeginEnd(dev, s.xoffCounterQueue, STATUS_CANCELLED, done);
        }
        if (mask & SERIAL_PURGE_RXABORT) AbortQueue(dev, s.readQueue, done);
    }
    Settle(dev, done);
    if (mask & SERIAL_PURGE_RXCLEAR) {
        Release release;
        {
            SpinLockGuard rx(dev.serial.receiveLock);
            dev.receiveCount = 0;
            dev.receiveFirst = 0;
            ReleaseReceiveHolds(dev, release);
        }
        ApplyRelease(dev, release);
    }
}

// As WaitOnMask: STATUS_PENDING when the request is kept.
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

NTSTATUS Ioctl(Device& dev, Irp* irp, const Control& c, std::uintptr_t& info) {
    SerialState& s = dev.serial;
    UsbDevice& usb = dev.usb;
    switch (c.code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: {
            const auto rate = c.Input<std::uint32_t>();
            const NTSTATUS status = SetBaudRate(usb, rate);
            if (NT_SUCCESS(status)) {
                SpinLockGuard control(usb.controlLock);
                s.currentRate = usb.chip.currentRate;
            }
            return status;
        }
        case IOCTL_SERIAL_SET_QUEUE_SIZE:
            return SetQueueSize(dev, c.Input<SerialQueueSize>());
        case IOCTL_SERIAL_SET_LINE_CONTROL: {
            const auto r = c.Input<SerialLineControlRecord>();
            return SetLineControl(usb, LineControl{r.StopBits, r.Parity, r.WordLength});
        }
        case IOCTL_SERIAL_SET_BREAK_ON: {
            // In transmit-toggle mode RTS goes on first; the break then holds the transmitter.
            RaiseToggleRts(dev);
            const NTSTATUS status = SetBreak(usb, true);
            if (!NT_SUCCESS(status)) return status;
            SpinLockGuard rx(dev.serial.receiveLock);
            s.flow.transmitHolds |= SERIAL_TX_BREAK;
            return status;
        }
        case IOCTL_SERIAL_SET_BREAK_OFF: {
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
        case IOCTL_SERIAL_IMMEDIATE_CHAR:
            return ImmediateChar(dev, irp);
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            const auto t = c.Input<SerialTimeouts>();
            if (t.ReadIntervalTimeout == 0xFFFFFFFF && t.ReadTotalTimeoutMultiplier == 0xFFFFFFFF &&
                t.ReadTotalTimeoutConstant == 0xFFFFFFFF) {
                return STATUS_INVALID_PARAMETER;
            }
            SpinLockGuard control(usb.controlLock);
            s.timeouts = t;
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_TIMEOUTS: {
            SpinLockGuard control(s.usb.controlLock);
            info = c.Output(s.timeouts);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_SET_DTR:
        case IOCTL_SERIAL_CLR_DTR: {
            {
                SpinLockGuard rx(dev.serial.receiveLock);
                if ((s.flow.handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
                    return STATUS_INVALID_PARAMETER;
                }
            }
            return USB2SER_SetDTRState(usb, c.code == IOCTL_SERIAL_SET_DTR);
        }
        case IOCTL_SERIAL_RESET_DEVICE:
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_SET_RTS:
        case IOCTL_SERIAL_CLR_RTS: {
            {
                SpinLockGuard rx(dev.serial.receiveLock);
                const std::uint32_t rts = s.flow.handflow.FlowReplace & SERIAL_RTS_MASK;
                if (rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE) {
                    return STATUS_INVALID_PARAMETER;
                }
            }
            return USB2SER_SetRTSState(usb, c.code == IOCTL_SERIAL_SET_RTS);
        }
        case IOCTL_SERIAL_SET_XOFF: {
            bool toggle;
            {
                SpinLockGuard rx(dev.serial.receiveLock);
                s.flow.transmitHolds |= SERIAL_TX_XOFF;
                toggle = (s.flow.handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
            }
            if (toggle) QueueLineWork(dev);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_SET_XON: {
            bool released;
            {
                SpinLockGuard rx(dev.serial.receiveLock);
                released = (s.flow.transmitHolds & SERIAL_TX_XOFF) != 0;
                s.flow.transmitHolds &= ~SERIAL_TX_XOFF;
            }
            if (released) SendChunk(dev);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_WAIT_MASK: {
            CancelLock lock(s.kernel);
            info = c.Output(s.waitMask);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            const auto mask = c.Input<std::uint32_t>();
            if (mask > kWaitMaskLimit) return STATUS_INVALID_PARAMETER;
            return SetWaitMask(dev, mask);
        }
        case IOCTL_SERIAL_WAIT_ON_MASK:
            return WaitOnMask(dev, irp, info);
        case IOCTL_SERIAL_PURGE: {
            const auto mask = c.Input<std::uint32_t>();
            if (mask == 0 || mask > 0x0F) return STATUS_INVALID_PARAMETER;
            Purge(dev, mask);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_BAUD_RATE: {
            SpinLockGuard control(usb.controlLock);
            info = c.Output(usb.chip.currentRate);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_LINE_CONTROL: {
            SpinLockGuard control(usb.controlLock);
            const LineControl lc = DecodeLineControl(usb.chip.lineControl);
            info = c.Output(SerialLineControlRecord{lc.stopBits, lc.parity, lc.wordLength});
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_CHARS: {
            SpinLockGuard rx(s.receiveLock);
            info = c.Output(s.chars);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_SET_CHARS: {
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
        case IOCTL_SERIAL_GET_HANDFLOW: {
            SpinLockGuard rx(s.receiveLock);
            info = c.Output(s.flow.handflow);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_SET_HANDFLOW: {
            const auto hf = c.Input<SerialHandflow>();
            if (!HandflowValid(dev, hf)) return STATUS_INVALID_PARAMETER;
            return ApplyFlow(dev, hf, false);
        }
        case IOCTL_SERIAL_GET_MODEMSTATUS: {
            SpinLockGuard rx(s.receiveLock);
            info = c.Output(static_cast<std::uint32_t>(s.modemStatus));
            if (!usb.ChipAtLeast(2)) s.statusWord &= ~std::uint16_t{0x08};
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_COMMSTATUS: {
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
        case IOCTL_SERIAL_XOFF_COUNTER: {
            const auto record = c.Input<SerialXoffCounter>();
            if (record.Counter < 1) return STATUS_INVALID_PARAMETER;
            return STATUS_PENDING;  // queued by the caller
        }
        case IOCTL_SERIAL_GET_PROPERTIES: {
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
        case IOCTL_SERIAL_GET_DTRRTS:
        case IOCTL_SERIAL_GET_MODEM_CONTROL: {
            SpinLockGuard control(usb.controlLock);
            std::uint32_t word = usb.chip.lineState;
            if (c.code == IOCTL_SERIAL_GET_DTRRTS) word &= 3;
            info = c.Output(word);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_LSRMST_INSERT: {
            const auto escape = c.Input<std::uint8_t>();
            SpinLockGuard rx(dev.serial.receiveLock);
            if (escape != 0 && (escape == s.flow.xonChar || escape == s.flow.xoffChar ||
                                (s.flow.handflow.FlowReplace & SERIAL_ERROR_CHAR))) {
                return STATUS_INVALID_PARAMETER;
            }
            s.escapeChar = escape;
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_CONFIG_SIZE:
            info = c.Output(std::uint32_t{0});
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_STATS: {
            SpinLockGuard rx(s.receiveLock);
            info = c.Output(s.stats);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_CLEAR_STATS: {
            SpinLockGuard rx(dev.serial.receiveLock);
            s.stats = {};
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_SET_MODEM_CONTROL: {
            const auto word = c.Input<std::uint32_t>();
            NTSTATUS status = USB2SER_SetDTRState(usb, (word & 1) != 0);
            const NTSTATUS rts = USB2SER_SetRTSState(usb, (word & 2) != 0);
            return NT_SUCCESS(status) ? rts : status;
        }
        case IOCTL_SERIAL_SET_FIFO_CONTROL:
            return STATUS_SUCCESS;
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

NTSTATUS EnsureD0(Device& dev) {
    return BringToD0(dev);
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
    const std::optional<Lengths> lengths = LengthsOf(c.code);
    if (!lengths) return CompleteNow(dev, irp, STATUS_INVALID_PARAMETER);
    if (c.in < lengths->in || c.out < lengths->out ||
        ((lengths->in || lengths->out) && !c.buffer)) {
        return CompleteNow(dev, irp, STATUS_BUFFER_TOO_SMALL);
    }
    if (lengths->d0) {
        const NTSTATUS power = EnsureD0(dev);
        if (!NT_SUCCESS(power)) return CompleteNow(dev, irp, power);
    }
    std::uintptr_t info = 0;
    const NTSTATUS status = Ioctl(dev, irp, c, info);
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
    SerialState& s = dev.serial;
    switch (c.code) {
        case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: {
            if (c.out < sizeof(SerialBasicSettings) || !c.buffer) {
                return CompleteNow(dev, irp, STATUS_BUFFER_TOO_SMALL);
            }
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
            const std::uintptr_t info = c.Output(settings);
            return CompleteNow(dev, irp, ApplyFlow(dev, SerialHandflow{}, false), info);
        }
        case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: {
            if (c.in < sizeof(SerialBasicSettings) || !c.buffer) {
                return CompleteNow(dev, irp, STATUS_BUFFER_TOO_SMALL);
            }
            const auto settings = c.Input<SerialBasicSettings>();
            // The record goes through the same checks as SET_HANDFLOW.
            if (!HandflowValid(dev, settings.HandFlow)) {
                return CompleteNow(dev, irp, STATUS_INVALID_PARAMETER);
            }
            {
                SpinLockGuard control(dev.usb.controlLock);
                s.timeouts = settings.Timeouts;
            }
            return CompleteNow(dev, irp, ApplyFlow(dev, settings.HandFlow, false));
        }
        case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
            return CompleteNow(dev, irp, ArmWake(dev));
        case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
            DisarmWake(dev);
            return CompleteNow(dev, irp, STATUS_SUCCESS);
        default:
            return CompleteNow(dev, irp, STATUS_INVALID_PARAMETER);
    }
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

// --- Open, cleanup and close --------------------------------------------------------------------

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
