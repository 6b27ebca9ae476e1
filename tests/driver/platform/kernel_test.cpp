#include "driver/platform/kernel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "driver/platform/io.h"

namespace vm::drv {
namespace {

// --- Clock, timers, deferred routines ---------------------------------------------------------

struct FiredLog {
    Kernel* kernel;
    std::vector<std::pair<int, TimeUnits>> fired;  // (timer id, time it ran)
    std::vector<Irql> levels;
};

struct TimerProbe {
    int id;
    FiredLog* log;
};

void RecordFiring(KDpc*, void* context, void*, void*) {
    auto* probe = static_cast<TimerProbe*>(context);
    probe->log->fired.emplace_back(probe->id, probe->log->kernel->Now());
    probe->log->levels.push_back(KeGetCurrentIrql());
}

TEST(KernelClock, TimersRunTheirRoutinesInDueOrderAtTheirDueTime) {
    Kernel kernel;
    FiredLog log{&kernel, {}, {}};
    TimerProbe probes[3] = {{0, &log}, {1, &log}, {2, &log}};
    KDpc dpc0(&RecordFiring, &probes[0]), dpc1(&RecordFiring, &probes[1]),
        dpc2(&RecordFiring, &probes[2]);
    KTimer t0(kernel), t1(kernel), t2(kernel);
    t0.Set(-30 * kMillisecond, &dpc0);
    t1.Set(-10 * kMillisecond, &dpc1);
    t2.Set(-20 * kMillisecond, &dpc2);

    kernel.Advance(9 * kMillisecond);
    EXPECT_TRUE(log.fired.empty());
    kernel.Advance(21 * kMillisecond);
    ASSERT_EQ(log.fired.size(), 3u);
    EXPECT_EQ(log.fired[0], std::make_pair(1, 10 * kMillisecond));
    EXPECT_EQ(log.fired[1], std::make_pair(2, 20 * kMillisecond));
    EXPECT_EQ(log.fired[2], std::make_pair(0, 30 * kMillisecond));
    for (Irql level : log.levels) EXPECT_EQ(level, Irql::Dispatch);
    EXPECT_EQ(KeGetCurrentIrql(), Irql::Passive);
}

TEST(KernelClock, CancelledOrReArmedTimerRunsOnlyAtItsLastSetting) {
    Kernel kernel;
    FiredLog log{&kernel, {}, {}};
    TimerProbe probe{7, &log};
    KDpc dpc(&RecordFiring, &probe);
    KTimer timer(kernel);
    EXPECT_FALSE(timer.Set(-5 * kMillisecond, &dpc));
    EXPECT_TRUE(timer.Set(-50 * kMillisecond, &dpc));  // re-armed later
    kernel.Advance(10 * kMillisecond);
    EXPECT_TRUE(log.fired.empty());
    EXPECT_TRUE(timer.Cancel());
    EXPECT_FALSE(timer.Cancel());
    kernel.Advance(kSecond);
    EXPECT_TRUE(log.fired.empty());
}

TEST(KernelClock, WaitWithTimeoutInAutoModeCostsNoRealTimeAndMovesTheClock) {
    Kernel kernel;
    KEvent event(kernel);
    EXPECT_EQ(kernel.Wait(event, 3 * kSecond), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.Now(), 3 * kSecond);
    kernel.Delay(5 * kMillisecond);
    EXPECT_EQ(kernel.Now(), 3 * kSecond + 5 * kMillisecond);
    event.Set();
    EXPECT_EQ(kernel.Wait(event, 3 * kSecond), STATUS_SUCCESS);
    EXPECT_EQ(kernel.Now(), 3 * kSecond + 5 * kMillisecond);
}

TEST(KernelClock, ManualModeWaiterTimesOutOnlyWhenTheClockReachesItsDeadline) {
    Kernel kernel;
    kernel.SetAutoAdvance(false);
    KEvent event(kernel);
    NTSTATUS result = STATUS_PENDING;
    std::thread waiter([&] { result = kernel.Wait(event, 3 * kSecond); });
    kernel.WaitForBlockedWaiters(1);
    kernel.Advance(3 * kSecond - 1);
    kernel.WaitForBlockedWaiters(1);  // still waiting one tick before the deadline
    kernel.Advance(1);
    waiter.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
}

// A blocked thread stops counting as stuck the moment what it waits for has come (its event
// set, its deadline reached), before it has run again.
TEST(KernelClock, StuckWaitersAreThoseWhoseEventAndDeadlineHaveNotCome) {
    Kernel kernel;
    kernel.SetAutoAdvance(false);
    KEvent forEver(kernel);
    KEvent timed(kernel);
    std::thread a([&] { kernel.Wait(forEver); });
    std::thread b([&] { kernel.Wait(timed, 10 * kMillisecond); });
    kernel.WaitForBlockedWaiters(2);
    EXPECT_EQ(kernel.StuckWaiters(), 2u);
    kernel.Advance(10 * kMillisecond);
    EXPECT_EQ(kernel.StuckWaiters(), 1u);
    forEver.Set();
    EXPECT_EQ(kernel.StuckWaiters(), 0u);
    a.join();
    b.join();
    EXPECT_EQ(kernel.BlockedWaiters(), 0u);
}

TEST(KernelClock, SynchronizationEventReleasesOneWaitAndClears) {
    Kernel kernel;
    KEvent sync(kernel, EventType::Synchronization, true);
    KEvent other(kernel);
    KEvent* both[2] = {&other, &sync};
    EXPECT_EQ(kernel.WaitAny(both, 0), STATUS_WAIT_0 + 1);
    EXPECT_FALSE(sync.ReadState());
    EXPECT_EQ(kernel.WaitAny(both, 0), STATUS_TIMEOUT);
}

void CountRun(KDpc*, void* context, void*, void*) {
    auto* runs = static_cast<std::vector<Irql>*>(context);
    runs->push_back(KeGetCurrentIrql());
}

TEST(KernelDpc, QueuedAtDispatchRunsOnceWhenTheThreadDropsBelowDispatch) {
    std::vector<Irql> runs;
    KDpc dpc(&CountRun, &runs);
    {
        KSpinLock lock;
        SpinLockGuard guard(lock);
        EXPECT_EQ(KeGetCurrentIrql(), Irql::Dispatch);
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // already queued
        EXPECT_TRUE(runs.empty());
    }
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], Irql::Dispatch);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);  // from passive: runs at once
    EXPECT_EQ(runs.size(), 2u);
}

TEST(KernelDpc, RemovedRoutineDoesNotRun) {
    std::vector<Irql> runs;
    KDpc dpc(&CountRun, &runs);
    {
        IrqlScope raised(Irql::Dispatch);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
        EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    }
    EXPECT_TRUE(runs.empty());
}

TEST(KernelCounter, IdleEventFollowsTheCountAroundItsLevel) {
    Kernel kernel;
    KCounter counter(kernel, 0, 2);
    EXPECT_TRUE(counter.IdleEvent().ReadState());
    counter.Increment();
    counter.Increment();
    EXPECT_TRUE(counter.IdleEvent().ReadState());
    EXPECT_EQ(counter.Increment(), 3);
    EXPECT_FALSE(counter.IdleEvent().ReadState());
    EXPECT_EQ(counter.Decrement(), 2);
    EXPECT_TRUE(counter.IdleEvent().ReadState());
}

// --- Pool ---------------------------------------------------------------------------------------

TEST(KernelPool, FailureInjectionCountsOnlyMatchingTags) {
    Pool pool;
    const std::uint32_t comx = PoolTag("COMX");
    const std::uint32_t wdm = PoolTag("Wdm ");
    pool.FailAfter(1, 2, comx);
    void* a = pool.Allocate(8, wdm);   // other tag: not counted
    void* b = pool.Allocate(8, comx);  // the one success
    void* c = pool.Allocate(8, comx);  // fails
    void* d = pool.Allocate(8, wdm);   // other tag: succeeds
    void* e = pool.Allocate(8, comx);  // fails
    void* f = pool.Allocate(8, comx);  // failures used up
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(e, nullptr);
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(pool.FailedAllocations(), 2u);
    for (void* p : {a, b, d, f}) pool.Free(p);
    EXPECT_EQ(pool.OutstandingCount(), 0u);
}

TEST(KernelPool, LeakReportNamesTagAndSizeAndDoubleFreesAreCounted) {
    Pool pool;
    void* kept = pool.Allocate(384, PoolTag("COMX"));
    void* freed = pool.Allocate(10, PoolTag("Wdm "));
    pool.Free(freed);
    pool.Free(freed);
    EXPECT_EQ(pool.BadFrees(), 1u);
    EXPECT_EQ(pool.LeakReport(), "leaked 'COMX' block of 384 bytes\n");
    pool.Free(kept);
    EXPECT_EQ(pool.LeakReport(), "");
}

// --- Registry -----------------------------------------------------------------------------------

TEST(KernelRegistry, ValuesAreTypedAndKeysAreSeparate) {
    Registry reg;
    reg.SetDword("HW\\1", "MultiportDevice", 1);
    reg.SetString("Services\\usbser2k", "ExtBaudrate", "250000,2147484512");
    EXPECT_EQ(reg.QueryDword("HW\\1", "MultiportDevice"), 1u);
    EXPECT_EQ(reg.QueryDword("HW\\2", "MultiportDevice"), std::nullopt);
    EXPECT_EQ(reg.QueryString("HW\\1", "MultiportDevice"), std::nullopt);  // wrong type
    EXPECT_EQ(reg.QueryString("Services\\usbser2k", "ExtBaudrate"), "250000,2147484512");
    EXPECT_TRUE(reg.DeleteValue("HW\\1", "MultiportDevice"));
    EXPECT_FALSE(reg.DeleteValue("HW\\1", "MultiportDevice"));
}

// --- Requests -----------------------------------------------------------------------------------

struct Trace {
    std::vector<std::string> calls;
    bool keep = false;  // the middle routine returns STATUS_MORE_PROCESSING_REQUIRED
};

NTSTATUS Lowest(DeviceObject*, Irp* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 42;
    IoCompleteRequest(irp);
    return STATUS_SUCCESS;
}

NTSTATUS PassDown(DeviceObject* device, Irp* irp);

NTSTATUS OnComplete(DeviceObject* device, Irp* irp, void* context) {
    auto* trace = static_cast<Trace*>(context);
    trace->calls.push_back(device ? device->Name : "(top)");
    if (trace->keep && device && device->Name == "middle") return STATUS_MORE_PROCESSING_REQUIRED;
    (void)irp;
    return STATUS_SUCCESS;
}

NTSTATUS PassDown(DeviceObject* device, Irp* irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &OnComplete, device->DeviceExtension, true, true, true);
    return IoCallDriver(device->LowerDevice, irp);
}

TEST(KernelIo, CompletionRoutinesRunBottomUpAndMoreProcessingStopsTheWalk) {
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "middle keeps the request" : "all pass");
        Kernel kernel;
        Trace trace{{}, keep};
        DriverObject lowDriver(kernel, "low"), filterDriver(kernel, "filter");
        lowDriver.MajorFunction[IRP_MJ_READ] = &Lowest;
        filterDriver.MajorFunction[IRP_MJ_READ] = &PassDown;
        DeviceObject *bottom, *middle, *top;
        IoCreateDevice(lowDriver, "bottom", FILE_DEVICE_UNKNOWN, 0, false, &bottom);
        IoCreateDevice(filterDriver, "middle", FILE_DEVICE_UNKNOWN, 0, false, &middle);
        IoCreateDevice(filterDriver, "top", FILE_DEVICE_UNKNOWN, 0, false, &top);
        IoAttachDeviceToDeviceStack(middle, bottom);
        IoAttachDeviceToDeviceStack(top, bottom);
        EXPECT_EQ(top->StackSize, 3);
        middle->DeviceExtension = &trace;
        top->DeviceExtension = &trace;

        KEvent done(kernel);
        IoStatusBlock iosb{STATUS_PENDING, 0};
        Irp* irp = IoAllocateIrp(kernel, top->StackSize);
        irp->UserEvent = &done;
        irp->UserIosb = &iosb;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(top, irp);
        if (!keep) {
            EXPECT_EQ(trace.calls, (std::vector<std::string>{"middle", "top"}));
            EXPECT_TRUE(done.ReadState());
            EXPECT_EQ(iosb.Information, 42u);
        } else {
            EXPECT_EQ(trace.calls, std::vector<std::string>{"middle"});
            EXPECT_FALSE(done.ReadState());
            trace.keep = false;
            IoCompleteRequest(irp);  // the middle driver finishes it later
            EXPECT_EQ(trace.calls, (std::vector<std::string>{"middle", "top"}));
            EXPECT_TRUE(done.ReadState());
        }
        IoFreeIrp(irp);
        for (DeviceObject* d : {top, middle, bottom}) {
            d->DeviceExtension = nullptr;
            IoDeleteDevice(d);
        }
        EXPECT_EQ(kernel.pool().OutstandingCount(), 0u);
    }
}

int g_cancelCalls = 0;
void CountingCancel(DeviceObject*, Irp* irp) {
    ++g_cancelCalls;
    IoReleaseCancelSpinLock(irp->kernel(), irp->CancelIrql);
}

TEST(KernelIo, CancelCallsTheRoutineOnceAndReleasesTheLock) {
    Kernel kernel;
    g_cancelCalls = 0;
    Irp* irp = IoAllocateIrp(kernel, 1);
    EXPECT_FALSE(IoCancelIrp(irp));  // no routine: only the flag
    EXPECT_TRUE(irp->Cancel.load());
    IoSetCancelRoutine(irp, &CountingCancel);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(g_cancelCalls, 1);
    EXPECT_EQ(KeGetCurrentIrql(), Irql::Passive);
    IoFreeIrp(irp);
}

TEST(KernelIo, DeviceNamesAreExclusive) {
    Kernel kernel;
    DriverObject driver(kernel, "d");
    DeviceObject *a = nullptr, *b = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, "\\Device\\Serial0", 0, 0, true, &a), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver, "\\Device\\Serial0", 0, 0, true, &b),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(b, nullptr);
    IoDeleteDevice(a);
    EXPECT_EQ(IoCreateDevice(driver, "\\Device\\Serial0", 0, 0, true, &b), STATUS_SUCCESS);
    IoDeleteDevice(b);
}

}  // namespace
}  // namespace vm::drv
