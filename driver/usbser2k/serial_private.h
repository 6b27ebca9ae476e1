// What the files of usbser2k's serial code share: the reference bits of a current request,
// completion after the locks are let go, the cancel lock, and each file's functions the others
// call. Private to the serial code.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "driver/core/chip_control.h"
#include "driver/core/lifecycle.h"
#include "driver/core/private_ioctl.h"
#include "driver/platform/wmi.h"
#include "driver/usbser2k/serial.h"
#include "driver/usbser2k/usbser2k.h"

namespace vm::drv::usbser2k {

constexpr std::uintptr_t kRefDirect = 0x20;  // the receive path copies into it / counts for it

inline std::uintptr_t RefsOf(Irp* irp) {
    return reinterpret_cast<std::uintptr_t>(irp->DriverContext[0]);
}

inline void SetRefs(Irp* irp, std::uintptr_t refs) {
    irp->DriverContext[0] = reinterpret_cast<void*>(refs);
}

inline bool Ending(Irp* irp) {
    return irp->DriverContext[1] != nullptr;
}

inline void SetEnding(Irp* irp, bool on) {
    irp->DriverContext[1] = on ? irp : nullptr;
}

inline RequestQueue* QueueOf(Irp* irp) {
    return static_cast<RequestQueue*>(irp->DriverContext[2]);
}

inline Device* DeviceOf(Irp* irp) {
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

// Releases the receive holds once the ring has drained to XonLimit (receive lock held); tells
// what must follow outside the lock.
struct Release {
    bool lines = false;
    bool arm = false;
    bool sendXon = false;
    std::uint8_t xonChar = 0;  // the XON character in force when the hold was let go
};

inline Device& Ext(DeviceObject* fdo) {
    return fdo->Extension<Device>();
}

// queue.cpp
void CompleteAdmitted(Device& dev, Irp* irp);
NTSTATUS CompleteNow(Device& dev, Irp* irp, NTSTATUS status, std::uintptr_t information = 0);
// Drops reference bits; the last one retires the request (lock held).
void Drop(Device& dev, RequestQueue& q, Irp* irp, std::uintptr_t bits, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock());
// Decides that the current request of a queue ends with `status` and takes back whatever can be
// taken back at once; the rest of its references end it as they go (lock held).
bool BeginEnd(Device& dev, RequestQueue& q, NTSTATUS status, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock());
void RecordEventsLocked(Device& dev, std::uint32_t events, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock());
// Lets go of the locks' results: completes, cancels the transfers of requests that end, starts
// the next requests.
void Settle(Device& dev, Done& done);
void CancelCurrent(DeviceObject*, Irp* irp) NO_THREAD_SAFETY_ANALYSIS;
void CancelWait(DeviceObject*, Irp* irp) NO_THREAD_SAFETY_ANALYSIS;
// A request becomes current in one step under the cancel lock: it is reset for its start (the
// write queue's transmit count with it) and holds the starting reference. Its starter then works
// outside the lock (the time-outs, a pause) and arms it in a second locked step, StillStarting
// first: a request that was ended meanwhile (purge, cleanup, error abort, its cancel) is not armed,
// its starter only lets go of its starting reference. While a request holds that reference, no
// other path starts its transfer (a transmit restart leaves it to its starter).
void MakeCurrent(Device& dev, RequestQueue& q, Irp* irp) REQUIRES(dev.kernel.cancelSpinLock());
// The starter's locked step begins here (lock held): false when the request must not be armed
// (it ended or was cancelled while starting); its starting reference is then dropped, which
// retires it once nothing else holds it.
bool StillStarting(Device& dev, RequestQueue& q, Irp* irp, Done& done)
    REQUIRES(dev.kernel.cancelSpinLock());
bool Gone(const Device& dev);
// Queues a request or makes it current at once (lock taken inside). Returns true when it became
// current (with the starting reference) and must be started by the caller. A request admitted
// just before the device went away is completed with STATUS_DELETE_PENDING: checked under the
// lock the removal's cancel of every queue takes, so none is left behind that cancel.
bool Enqueue(Device& dev, RequestQueue& q, Irp* irp, Done& done);
// Takes the next waiting request as current (lock held); null when none or one is current.
Irp* TakeNext(Device& dev, RequestQueue& q) REQUIRES(dev.kernel.cancelSpinLock());
// Completes every waiting request of a queue with STATUS_CANCELLED and ends the current one
// (lock held).
void AbortQueue(Device& dev, RequestQueue& q, Done& done) REQUIRES(dev.kernel.cancelSpinLock());
// A timer that fires holds its reference on the queue's current request, which is therefore
// still current when its routine runs.
void TimerFired(Device& dev, RequestQueue& q, std::uintptr_t bit, NTSTATUS status);
// flow.cpp
bool TransmitToggle(Device& dev);
void QueueLineWork(Device& dev);
// Whether a standing transfer that ended with `status` is started again: not when it was
// cancelled or the device is powered off or gone (the port's own paths start it then), and not
// more than kMaxRearms times in a row.
void QueueRearm(Device& dev, int pipe, NTSTATUS status);
// A write is about to go out in transmit-toggle mode: RTS goes on first (at passive level at
// once; above it by the line work, which the chip sees shortly after).
void RaiseToggleRts(Device& dev);
void SendFlowCharacter(Device& dev, std::uint8_t c);
void ReleaseReceiveHolds(Device& dev, Release& r) REQUIRES(dev.serial.receiveLock);
void ApplyRelease(Device& dev, const Release& r);
// The record is applied to a copy of the flow state: its chip requests wait, so the receive lock
// cannot be held across them. The copy is taken and put back under the receive lock, the lock the
// data path changes the holds under; putting back takes only the hold bits the record set or let
// go, so a hold the data path set or released meanwhile (a status notification, the receive
// buffer reaching the XOFF point) is not lost.
NTSTATUS ApplyFlow(Device& dev, const SerialHandflow& hf, bool force);
bool HandflowValid(Device& dev, const SerialHandflow& hf);
// read.cpp
void ReadTotalDpc(KDpc*, void* context, void*, void*);
void ReadIntervalDpc(KDpc*, void* context, void*, void*);
void StartNextRead(Device& dev);
// write.cpp
void WriteTotalDpc(KDpc*, void* context, void*, void*);
void ImmediateTotalDpc(KDpc*, void* context, void*, void*);
void XoffCounterTotalDpc(KDpc*, void* context, void*, void*);
// Sends the next chunk of the current write, or ends it when nothing remains.
void SendChunk(Device& dev);
void StartWrite(Device& dev, Irp* irp);
void StartNextWrite(Device& dev);
// The XOFF counter waiting for its queue goes on once the one before it has retired.
void PromoteXoffCounter(Device& dev);
// As WaitOnMask: STATUS_PENDING when the request is kept.
NTSTATUS ImmediateChar(Device& dev, Irp* irp);
// receive.cpp
bool ErrorAbortActive(Device& dev);
// wait_mask.cpp
// Returns STATUS_PENDING when the wait is kept (it completes later); any other status is the
// caller's to complete with.
NTSTATUS WaitOnMask(Device& dev, Irp* irp, std::uintptr_t& info);
NTSTATUS SetWaitMask(Device& dev, std::uint32_t mask);
// purge.cpp
void Purge(Device& dev, std::uint32_t mask);

}  // namespace vm::drv::usbser2k
