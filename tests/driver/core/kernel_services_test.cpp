// Kernel services the device lifecycle and the data path stand on: deferred routines across
// threads, work items and system threads, the clock modes, device objects from the pool, the
// object namespace, device interfaces, the remove lock and registry failures.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/core/private_ioctl.h"
#include "driver/platform/io.h"
#include "driver/platform/usb.h"
#include "tests/driver/core/rig.h"

namespace vm::drv {
namespace {

void CountDpc(KDpc*, void* context, void*, void*) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST(KernelDpcThreads, AnotherThreadTakesAQueuedRoutineOffAndFlushWaitsForRunningOnes) {
    std::atomic<int> runs{0};
    KDpc dpc(&CountDpc, &runs);
    std::atomic<int> stage{0};
    std::thread holder([&] {
        IrqlScope raised(Irql::Dispatch);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        stage = 1;
        while (stage.load() != 2) std::this_thread::yield();
    });
    while (stage.load() != 1) std::this_thread::yield();
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));  // queued by the other thread
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    stage = 2;
    holder.join();
    EXPECT_EQ(runs.load(), 0);

    // Flush: a routine queued on another thread at dispatch level has run when it returns.
    stage = 0;
    std::thread later([&] {
        IrqlScope raised(Irql::Dispatch);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        stage = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    while (stage.load() != 1) std::this_thread::yield();
    KeFlushQueuedDpcs();
    EXPECT_EQ(runs.load(), 1);
    later.join();
}

// Two systems in one process: a flush for one kernel waits for that kernel's routines only
// (a routine of the other, held queued on a thread at dispatch level, does not hold it up).
TEST(KernelDpcThreads, AFlushForOneKernelWaitsForItsOwnRoutinesOnly) {
    Kernel first;
    Kernel second;
    std::atomic<int> firstRuns{0};
    std::atomic<int> secondRuns{0};
    KDpc firstDpc(first, &CountDpc, &firstRuns);
    KDpc secondDpc(second, &CountDpc, &secondRuns);
    std::atomic<int> stage{0};
    std::thread holder([&] {
        IrqlScope raised(Irql::Dispatch);
        KeInsertQueueDpc(&firstDpc, nullptr, nullptr);
        stage = 1;
        while (stage.load() != 2) std::this_thread::yield();
        // Held a little longer: the first kernel's flush is already waiting for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    while (stage.load() != 1) std::this_thread::yield();
    KeFlushQueuedDpcs(second);  // returns with the first kernel's routine still queued
    EXPECT_EQ(firstRuns.load(), 0);
    std::thread secondHolder([&] {
        IrqlScope raised(Irql::Dispatch);
        KeInsertQueueDpc(&secondDpc, nullptr, nullptr);
    });
    secondHolder.join();
    KeFlushQueuedDpcs(second);
    EXPECT_EQ(secondRuns.load(), 1);
    stage = 2;
    KeFlushQueuedDpcs(first);
    EXPECT_EQ(firstRuns.load(), 1);
    holder.join();
}

struct WorkRecord {
    std::atomic<int> runs{0};
    std::atomic<bool> passive{false};
    std::atomic<bool> otherThread{false};
    std::thread::id queuer;
};

void RecordWork(void*, void* context) {
    auto* record = static_cast<WorkRecord*>(context);
    record->passive = KeGetCurrentIrql() == Irql::Passive;
    record->otherThread = std::this_thread::get_id() != record->queuer;
    record->runs.fetch_add(1);
}

struct QueueFromDpc {
    KWorkItem* item;
    WorkRecord* record;
};

void QueueWorkDpc(KDpc*, void* context, void*, void*) {
    auto* q = static_cast<QueueFromDpc*>(context);
    IoQueueWorkItem(q->item, &RecordWork, nullptr, q->record);
}

TEST(KernelWorkItems, QueuedFromADeferredRoutineRunAtPassiveOnTheWorkerThread) {
    Kernel kernel;
    WorkRecord record;
    record.queuer = std::this_thread::get_id();
    KWorkItem* item = IoAllocateWorkItem(kernel);
    ASSERT_NE(item, nullptr);
    QueueFromDpc q{item, &record};
    KDpc dpc(&QueueWorkDpc, &q);
    {
        IrqlScope raised(Irql::Dispatch);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
    kernel.FlushWorkItems();
    EXPECT_EQ(record.runs.load(), 1);
    EXPECT_TRUE(record.passive.load());
    EXPECT_TRUE(record.otherThread.load());
    EXPECT_EQ(kernel.QueuedWorkItems(), 0u);
    IoFreeWorkItem(item);

    kernel.pool().FailAll(kWorkItemPoolTag);
    EXPECT_EQ(IoAllocateWorkItem(kernel), nullptr);
    kernel.pool().StopFailing();
    EXPECT_EQ(kernel.pool().LeakReport(), "");
}

void ThreadBody(void* context) {
    auto* record = static_cast<WorkRecord*>(context);
    record->passive = KeGetCurrentIrql() == Irql::Passive;
    record->runs.fetch_add(1);
}

TEST(KernelWorkItems, SystemThreadRunsAtPassiveAndItsCreationCanFail) {
    Kernel kernel;
    WorkRecord record;
    KThread* thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(kernel, &ThreadBody, &record, &thread), STATUS_SUCCESS);
    EXPECT_EQ(kernel.Wait(thread->Exited()), STATUS_SUCCESS);
    PsJoinAndFreeSystemThread(thread);
    EXPECT_EQ(record.runs.load(), 1);
    EXPECT_TRUE(record.passive.load());

    kernel.pool().FailAfter(0, 1);
    EXPECT_EQ(PsCreateSystemThread(kernel, &ThreadBody, &record, &thread),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(record.runs.load(), 1);
    EXPECT_EQ(kernel.pool().LeakReport(), "");
}

TEST(KernelClockModes, WallClockExpiresTimedWaitsInRealTimeWithNobodyAdvancing) {
    Kernel kernel;
    KEvent never(kernel);
    // The wall clock counts the real time since it was switched on, and never runs ahead of it:
    // however late a busy machine lets the pump run, the clock shows no more than the real time
    // that has passed since `start`. So a time-out the clock reached took at least that much
    // real time; an auto-advancing clock would show 20 ms after next to none.
    const TimeUnits base = kernel.Now();
    const auto start = std::chrono::steady_clock::now();
    kernel.SetClockMode(Kernel::ClockMode::WallClock);
    EXPECT_EQ(kernel.Wait(never, 20 * kMillisecond), STATUS_TIMEOUT);
    const TimeUnits waited = kernel.Now() - base;
    const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited, 20 * kMillisecond);
    EXPECT_GE(real.count() / 100, waited) << "the clock ran ahead of real time";
    kernel.SetClockMode(Kernel::ClockMode::Manual);
    const TimeUnits frozen = kernel.Now();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    EXPECT_EQ(kernel.Now(), frozen);
}

// The times this process's threads have gone to sleep.
long Sleeps() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

TEST(KernelClockModes, WallClockSleepsUntilATimerIsDueAndThenFiresIt) {
    Kernel kernel;
    kernel.SetTimerResolution(kMillisecond);
    kernel.SetClockMode(Kernel::ClockMode::WallClock);
    std::atomic<int> runs{0};
    KDpc dpc(&CountDpc, &runs);
    KTimer timer(kernel);
    const TimeUnits set = kernel.Now();
    timer.Set(-80 * kMillisecond, &dpc);
    // Nothing falls due for 80 ms: the clock does not wake every millisecond meanwhile (a host
    // with its port closed sleeps in the kernel), though it goes on showing the time.
    const long before = Sleeps();
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const long slept = Sleeps() - before;
    EXPECT_LT(slept, 10) << "the wall clock woke " << slept << " times in 40 ms with nothing due";
    EXPECT_GE(kernel.Now() - set, 40 * kMillisecond);
    EXPECT_EQ(runs.load(), 0);
    // It wakes for the timer when the real time reaches it.
    KEvent never(kernel);
    EXPECT_EQ(kernel.Wait(never, 200 * kMillisecond), STATUS_TIMEOUT);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_GE(kernel.Now() - set, 200 * kMillisecond);
    kernel.SetClockMode(Kernel::ClockMode::Manual);
}

TEST(KernelClockModes, RelativeDueTimesRoundUpToTheTickAndNeverOverflow) {
    Kernel kernel;
    kernel.SetAutoAdvance(false);
    std::atomic<int> runs{0};
    KDpc dpc(&CountDpc, &runs);
    KTimer timer(kernel);
    kernel.SetTimerResolution(kMillisecond);
    timer.Set(-1, &dpc);  // one 100-ns unit: fires at the next tick, not at once
    kernel.Advance(kMillisecond - 1);
    EXPECT_EQ(runs.load(), 0);
    kernel.Advance(1);
    EXPECT_EQ(runs.load(), 1);
    timer.Set(INT64_MIN, &dpc);  // as far as the clock goes
    kernel.Advance(1000 * kSecond);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(timer.IsSet());
}

TEST(KernelCounterZero, ZeroEventIsSetOnlyWhenDrainedAndUnderflowIsRefused) {
    Kernel kernel;
    KCounter counter(kernel, 0, 2);  // idle at 2, as usbser9x's data count
    counter.Increment();
    counter.Increment();
    EXPECT_TRUE(counter.IdleEvent().ReadState());
    EXPECT_FALSE(counter.ZeroEvent().ReadState());
    counter.Decrement();
    counter.Decrement();
    EXPECT_TRUE(counter.ZeroEvent().ReadState());
    EXPECT_DEATH(counter.Decrement(), "count_ > 0");
}

// --- Device objects and names ------------------------------------------------------------------

TEST(KernelDevices, DeviceAndExtensionComeFromThePoolAndCanFail) {
    Kernel kernel;
    DriverObject driver(kernel, "d");
    DeviceObject* device = nullptr;
    kernel.pool().FailAfter(0, 1, kDevicePoolTag);
    EXPECT_EQ(IoCreateDevice(driver, "\\Device\\Serial0", 0, 0, true, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_FALSE(kernel.NameExists("\\Device\\Serial0"));
    ASSERT_EQ(IoCreateDevice(driver, "\\Device\\Serial0", 0, 0, true, &device), STATUS_SUCCESS);
    EXPECT_EQ(kernel.pool().OutstandingCount(kDevicePoolTag), 1u);
    kernel.pool().FailAll(DeviceObject::kExtensionPoolTag);
    EXPECT_EQ(device->CreateExtension<int>(7), nullptr);
    kernel.pool().StopFailing();
    ASSERT_NE(device->CreateExtension<int>(7), nullptr);
    EXPECT_EQ(IoGetDeviceObjectByName(kernel, "\\Device\\Serial0"), device);
    IoDeleteDevice(device);
    EXPECT_EQ(kernel.pool().LeakReport(), "");
}

TEST(KernelDevices, MalformedNamesAreRefused) {
    struct Row {
        const char* name;
        bool valid;
    };
    const Row rows[] = {
        {"\\Device\\Serial0", true},       {"\\DosDevices\\COM5", true},  {"bottom", true},
        {"\\Device\\SerialPort\\", false}, {"\\Device\\\\Serial", false}, {"\\", false},
        {"\\Device\\Serial\x7F", false},   {"\\Device\\Se\nrial", false},
    };
    Kernel kernel;
    DriverObject driver(kernel, "d");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeviceObject* device = nullptr;
        const NTSTATUS status = IoCreateDevice(driver, row.name, 0, 0, false, &device);
        EXPECT_EQ(status, row.valid ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID);
        IoDeleteDevice(device);
        EXPECT_EQ(kernel.CreateSymbolicLink(row.name, "\\Device\\Serial0"),
                  row.valid ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID);
    }
}

TEST(KernelDevices, NamesResolveThroughLinksAndInterfacesAreKeptPerInstance) {
    Kernel kernel;
    DriverObject driver(kernel, "d");
    DeviceObject* device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, "\\Device\\Serial3", 0, 0, true, &device), STATUS_SUCCESS);
    ASSERT_EQ(kernel.CreateSymbolicLink("\\DosDevices\\COM5", "\\Device\\Serial3"), STATUS_SUCCESS);
    ASSERT_EQ(kernel.CreateSymbolicLink("\\??\\COM5", "\\DosDevices\\COM5"), STATUS_SUCCESS);
    EXPECT_EQ(IoGetDeviceObjectByName(kernel, "\\??\\COM5"), device);
    EXPECT_EQ(IoGetDeviceObjectByName(kernel, "\\DosDevices\\COM6"), nullptr);
    ASSERT_EQ(kernel.CreateSymbolicLink("\\a", "\\b"), STATUS_SUCCESS);
    ASSERT_EQ(kernel.CreateSymbolicLink("\\b", "\\a"), STATUS_SUCCESS);
    EXPECT_EQ(IoGetDeviceObjectByName(kernel, "\\a"), nullptr);  // a loop ends the walk

    device->InstanceId = "USB\\VID_3A71&PID_6142\\1";
    std::string link, again;
    ASSERT_EQ(IoRegisterDeviceInterface(device, "{guid}", &link), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(device, "{guid}", &again), STATUS_SUCCESS);
    EXPECT_EQ(link, again);
    EXPECT_TRUE(kernel.EnabledDeviceInterfaces().empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(kernel, link, true), STATUS_SUCCESS);
    EXPECT_EQ(kernel.EnabledDeviceInterfaces(), std::vector<std::string>{link});
    EXPECT_EQ(IoSetDeviceInterfaceState(kernel, "\\??\\none", true), STATUS_OBJECT_NAME_NOT_FOUND);
    IoDeleteDevice(device);
}

TEST(KernelRemoveLock, RefusedOnceRemovalBeganAndTheRemoverWaitsForHolders) {
    Kernel kernel;
    IoRemoveLock lock(kernel);
    ASSERT_EQ(lock.Acquire(), STATUS_SUCCESS);
    std::atomic<bool> waited{false};
    std::thread remover([&] {
        lock.ReleaseAndWait();
        waited = true;
    });
    while (!lock.Removed()) std::this_thread::yield();
    EXPECT_EQ(lock.Acquire(), STATUS_DELETE_PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(waited.load());  // one holder left
    lock.Release();
    remover.join();
    EXPECT_TRUE(waited.load());
    EXPECT_EQ(lock.Holders(), 0);
}

TEST(KernelRegistryFailures, WritesAndDeletionsFailWhenToldAndChangeNothing) {
    Registry reg;
    reg.FailAfter(1, 1);
    EXPECT_EQ(reg.SetDword("K", "a", 1), STATUS_SUCCESS);
    EXPECT_EQ(reg.SetString("K", "b", "x"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(reg.QueryString("K", "b"), std::nullopt);
    reg.FailAfter(0, 1);
    EXPECT_FALSE(reg.DeleteValue("K", "a"));
    EXPECT_EQ(reg.QueryDword("K", "a"), 1u);
    EXPECT_EQ(reg.AllValues(), std::vector<std::string>{"K\\a"});
}

// --- The bus ------------------------------------------------------------------------------------

NTSTATUS RecordIrql(DeviceObject*, Irp* irp, void* context) {
    *static_cast<Irql*>(context) = KeGetCurrentIrql();
    (void)irp;
    return STATUS_SUCCESS;
}

TEST(SimBus, TransfersCompleteAtDispatchLevelEvenWhenSubmittedAtPassive) {
    testing::Rig rig(2);
    rig.Configure();
    for (bool waiting : {false, true}) {
        SCOPED_TRACE(waiting ? "completed later by arriving data" : "completed during the call");
        Irql seen = Irql::Passive;
        KEvent done(rig.kernel);
        IoStatusBlock iosb;
        std::uint8_t buffer[8];
        Urb urb;
        UsbBuildInterruptOrBulkTransferRequest(urb, *rig.dev->PipeHandleOf(kPipeReceive), buffer, 8,
                                               USBD_TRANSFER_DIRECTION_IN);
        if (!waiting) rig.chip.InjectReceive(std::vector<std::uint8_t>{1, 2});
        Irp* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, rig.fdo, nullptr, 0,
                                                 0, true, &done, &iosb);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->Device = rig.fdo;
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, &RecordIrql, &seen, true, true, true);
        IoCallDriver(rig.fdo->LowerDevice, irp);
        if (waiting) rig.chip.InjectReceive(std::vector<std::uint8_t>{3});
        ASSERT_TRUE(done.ReadState());
        EXPECT_EQ(seen, Irql::Dispatch);
        EXPECT_EQ(KeGetCurrentIrql(), Irql::Passive);
        IoFreeIrp(irp);
    }
}

// Two passive callers editing different bits of register 1 at once: each edit is a read and a
// write, and neither may write back a value from before the other's write.
TEST(RegisterEdits, ConcurrentReadModifyWritesLoseNoUpdate) {
    testing::Rig rig(3);
    rig.Configure();
    for (int round = 0; round < 100; ++round) {
        rig.chip.SetRegister(1, 0x00);
        auto setBit = [&](std::uint32_t code) {
            std::uint8_t on = 1;
            std::uintptr_t info = 0;
            EXPECT_EQ(USB2SER_ProcessPrivateIoctl(*rig.dev, code, &on, 1, 0, info), STATUS_SUCCESS);
        };
        std::thread a([&] { setBit(private_ioctl::kSetReg1Bit4); });
        std::thread b([&] { setBit(private_ioctl::kSetReg1Bit5); });
        a.join();
        b.join();
        ASSERT_EQ(rig.chip.Register(1), 0x30) << "round " << round;
    }
}

}  // namespace
}  // namespace vm::drv
