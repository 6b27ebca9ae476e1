// usbser2k's entry points overlapping: a request stopped between becoming current and being
// armed (a pause point) while another path acts on its queue; a request stopped between its
// admission and its queue while the device goes away. Each request completes once, with the
// right status, and the wire carries exactly what was written.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/core/private_ioctl.h"
#include "tests/driver/usbser2k/serial_rig.h"

namespace vm::drv::usbser2k::testing {
namespace {

using sim::WireRecord;

std::string WireText(const sim::SimChip& chip) {
    std::string out;
    for (const WireRecord& r : chip.Log()) {
        if (r.kind == WireRecord::Kind::BulkOut) out.append(r.data.begin(), r.data.end());
    }
    return out;
}

// A request that should have completed: waits for it (real time, generously for a loaded
// machine); one that never completes is cancelled so that the test can end, and reported.
template <class T>
bool Completes(SerialRig& rig, std::future<T>& f) {
    if (f.wait_for(std::chrono::seconds(20)) == std::future_status::ready) return true;
    rig.file->CancelIo();
    f.wait();
    return false;
}

bool CounterWaiting(SerialRig& rig) {
    SpinLockGuard lock(rig.kernel.cancelSpinLock());
    return rig.dev().serial.xoffCounterQueue.current != nullptr;
}

enum class Request { Write, Read, XoffCounter };
enum class Action { PeerXon, CtsRising, SetXon, Purge, Cleanup };

const char* Name(Request r) {
    switch (r) {
        case Request::Write:
            return "write";
        case Request::Read:
            return "read";
        case Request::XoffCounter:
            return "XOFF counter";
    }
    return "";
}
const char* Name(Action a) {
    switch (a) {
        case Action::PeerXon:
            return "XON from the peer";
        case Action::CtsRising:
            return "CTS rising";
        case Action::SetXon:
            return "SET_XON";
        case Action::Purge:
            return "purge";
        case Action::Cleanup:
            return "cleanup";
    }
    return "";
}

// The start window: the request is current, its starter has not armed it, and the action runs.
// The restarting actions find the transmitter held before and release it in the window; the
// ending ones end the request there. A write of the same length went before, so a restart that
// worked from the last write's count would find "nothing left" (and one of another length would
// send from the wrong place).
TEST(Usbser2kOverlap, StartWindowAgainstEveryPathThatActsOnTheQueue) {
    const Request requests[] = {Request::Write, Request::Read, Request::XoffCounter};
    const Action actions[] = {Action::PeerXon, Action::CtsRising, Action::SetXon, Action::Purge,
                              Action::Cleanup};
    for (Request request : requests) {
        for (Action action : actions) {
            SCOPED_TRACE(std::string(Name(request)) + " x " + Name(action));
            SerialRig rig;
            ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
            rig.InjectStatus(0x80 | 0x02);  // CTS and DSR up
            ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
            ASSERT_EQ(rig.EditHandflow([](SerialHandflow& hf) {
                hf.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
                hf.FlowReplace |= SERIAL_AUTO_TRANSMIT;
            }),
                      STATUS_SUCCESS);
            std::uint32_t put = 0;
            ASSERT_EQ(rig.Drive([&] { return rig.file->Write("abcd", 4, &put); }), STATUS_SUCCESS);
            // Hold the transmitter in the way the action will release it.
            if (action == Action::PeerXon) rig.Inject("\x13");
            if (action == Action::CtsRising) rig.InjectStatus(0x02);
            if (action == Action::SetXon) {
                ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
            }

            rig.kernel.ArmPause(kPauseStart);
            std::future<NTSTATUS> started;
            std::future<SerialRig::ReadResult> read;
            if (request == Request::Write) {
                started = rig.Start([&] { return rig.file->Write("efgh", 4, &put); });
            } else if (request == Request::Read) {
                read = rig.StartRead(4);
            } else {
                started = rig.Start([&] {
                    std::uint8_t record[12] = {};
                    const SerialXoffCounter x{0, 2, 0x55};
                    std::memcpy(record, &x, sizeof x);
                    return rig.file->DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, record, 12, nullptr,
                                                     0);
                });
            }
            ASSERT_TRUE(rig.kernel.WaitUntilPaused(kPauseStart));
            switch (action) {
                case Action::PeerXon:
                    rig.Inject("\x11");
                    break;
                case Action::CtsRising:
                    rig.InjectStatus(0x80 | 0x02);
                    break;
                case Action::SetXon:
                    ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
                    break;
                case Action::Purge:
                    ASSERT_EQ(rig.Set(IOCTL_SERIAL_PURGE,
                                      std::uint32_t{SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT}),
                              STATUS_SUCCESS);
                    break;
                case Action::Cleanup:
                    rig.Drive([&] {
                        CancelAllRequests(rig.dev());
                        return STATUS_SUCCESS;
                    });
                    break;
            }
            rig.kernel.ReleasePause(kPauseStart);
            const bool ends = action == Action::Purge || action == Action::Cleanup;
            if (request == Request::Read) {
                if (!ends) rig.Inject("wxyz");
                if (!Completes(rig, read)) {
                    ADD_FAILURE() << "the read never completed";
                    continue;
                }
                const SerialRig::ReadResult r = read.get();
                EXPECT_EQ(r.status, ends ? STATUS_CANCELLED : STATUS_SUCCESS);
                EXPECT_EQ(std::string(r.data.begin(), r.data.end()), ends ? "" : "wxyz");
                EXPECT_EQ(WireText(rig.chip), "abcd");
                continue;
            }
            if (request == Request::XoffCounter && !ends) {
                // Its bytes count once it waits on its own queue.
                while (!CounterWaiting(rig)) std::this_thread::yield();
                rig.Inject("12");
            }
            if (!Completes(rig, started)) {
                ADD_FAILURE() << "the request never completed";
                continue;
            }
            EXPECT_EQ(started.get(), ends ? STATUS_CANCELLED : STATUS_SUCCESS);
            if (request == Request::Write) {
                EXPECT_EQ(put, ends ? 0u : 4u);
                EXPECT_EQ(WireText(rig.chip), ends ? "abcd" : "abcdefgh");
            } else {
                EXPECT_EQ(WireText(rig.chip), ends ? "abcd" : "abcd\x55");
            }
            // The queue goes on: the next write goes out whole.
            ASSERT_EQ(rig.Drive([&] { return rig.file->Write("ij", 2, &put); }), STATUS_SUCCESS);
            EXPECT_EQ(put, 2u);
        }
    }
}

// A read admitted just before a surprise removal reaches its queue after the removal cancelled
// every queue: it is completed at once (not kept for ever), and the removal's drain returns.
TEST(Usbser2kOverlap, RequestBetweenAdmissionAndQueueAgainstSurpriseRemoval) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    rig.kernel.ArmPause(kPauseAdmitted);
    auto read = rig.StartRead(4);
    ASSERT_TRUE(rig.kernel.WaitUntilPaused(kPauseAdmitted));
    auto removal = rig.Start([&] { return rig.pnp.SurpriseRemoval(rig.pdo); });
    // The removal goes as far as its drain, which waits for the paused read's count.
    while (!(rig.dev().deviceFlags.load() & kDeviceSurpriseRemoved) ||
           rig.kernel.StuckWaiters() == 0) {
        std::this_thread::yield();
    }
    rig.kernel.ReleasePause(kPauseAdmitted);
    ASSERT_TRUE(Completes(rig, read)) << "the read was kept after the removal";
    EXPECT_EQ(read.get().status, STATUS_DELETE_PENDING);
    ASSERT_EQ(removal.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
}

// A flush waits behind a write held by SET_XOFF; the write's time-out ends it, and the timer's
// routine starts the flush, which completes at once: its owner frees it while the starter is
// still on its way out (stopped there), and the starter touches nothing of it any more (ASan).
TEST(Usbser2kOverlap, AFlushStartedByATimerIsNotTouchedAfterItCompletes) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0, 0, 50), STATUS_SUCCESS);
    ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
    auto write = rig.Start([&] {
        std::uint32_t put = 0;
        const NTSTATUS status = rig.file->Write("abcd", 4, &put);
        return std::pair(status, put);
    });
    rig.kernel.WaitForBlockedWaiters(1);
    auto flush = rig.Start([&] { return rig.file->Flush(); });
    rig.kernel.WaitForBlockedWaiters(2);
    rig.kernel.ArmPause(kPauseStarted);
    auto clock = std::async(std::launch::async, [&] { rig.kernel.Advance(100 * kMillisecond); });
    ASSERT_TRUE(rig.kernel.WaitUntilPaused(kPauseStarted));
    // The flush has completed and its owner has let go of it.
    ASSERT_EQ(flush.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(flush.get(), STATUS_SUCCESS);
    rig.kernel.ReleasePause(kPauseStarted);
    clock.get();
    ASSERT_TRUE(Completes(rig, write));
    const auto [status, put] = write.get();
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(put, 0u);
    EXPECT_EQ(WireText(rig.chip), "");
}

std::uint32_t ChipRate(const sim::SimChip& chip) {
    const auto c = chip.LineCodingBytes();
    return static_cast<std::uint32_t>(c[0] | c[1] << 8 | c[2] << 16 | c[3] << 24);
}

// SET_LINE_CONTROL arrives while SET_BAUD_RATE's line coding is on its way to the chip (the
// chip's hook runs the second request then); whichever order they end up in, the chip holds
// what the GET_ calls report, and the rate is never lost.
TEST(Usbser2kOverlap, RateAgainstLineControlLeavesTheChipAsReported) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{9600}), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SerialLineControlRecord{0, 0, 8}),
              STATUS_SUCCESS);
    std::atomic<bool> armed{true};
    std::future<NTSTATUS> other;
    rig.chip.SetBeforeComplete([&](Irp*) {
        if (!armed.exchange(false)) return;
        other = std::async(std::launch::async, [&] {
            const SerialLineControlRecord lc{0, 2, 7};
            return rig.file->DeviceIoControl(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc, nullptr,
                                             0);
        });
        // Once the line settings are serialised the second request waits for the first: this
        // one does not wait for it for ever.
        other.wait_for(std::chrono::milliseconds(200));
    });
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
    rig.chip.SetBeforeComplete(nullptr);
    ASSERT_TRUE(other.valid());
    EXPECT_EQ(other.get(), STATUS_SUCCESS);
    std::uint32_t rate = 0;
    SerialLineControlRecord lc{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_BAUD_RATE, &rate), STATUS_SUCCESS);
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_LINE_CONTROL, &lc), STATUS_SUCCESS);
    EXPECT_EQ(rate, 38400u);
    EXPECT_EQ(ChipRate(rig.chip), 38400u);
    EXPECT_EQ(lc.WordLength, 7);
    EXPECT_EQ(lc.Parity, 2);
    const auto coding = rig.chip.LineCodingBytes();
    EXPECT_EQ(coding[4], lc.StopBits);
    EXPECT_EQ(coding[5], lc.Parity);
    EXPECT_EQ(coding[6], lc.WordLength);
    // After a sleep the chip gets the same coding back, at the rate set.
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.SetSystemPower(rig.pdo, PowerSystemSleeping3); }),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.SetSystemPower(rig.pdo, PowerSystemWorking); }),
              STATUS_SUCCESS);
    rig.kernel.FlushWorkItems();
    EXPECT_EQ(rig.chip.LineCodingBytes(), coding);
}

// A request that needs the chip arrives while a restore after power-up is under way (stopped
// once it has taken the lines it restores and before it sends the line coding). It waits for the
// restore: on return the chip holds what the GET_ calls report (a rate or line control equal to
// the kept one is not "unchanged" on a chip still at its power-on coding), and a line the request
// cleared is not raised again by the restore's later steps.
TEST(Usbser2kOverlap, RequestsThatNeedTheChipWaitForARestoreUnderWay) {
    struct Row {
        const char* name;
        std::function<NTSTATUS(SerialRig&)> request;
        std::uint32_t lines;  // DTR and RTS afterwards
    };
    const Row rows[] = {
        {"CLR_DTR",
         [](SerialRig& r) {
             return r.file->DeviceIoControl(IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0);
         },
         2},
        {"SET_BAUD_RATE as kept",
         [](SerialRig& r) {
             const std::uint32_t rate = 38400;
             return r.file->DeviceIoControl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr,
                                            0);
         },
         3},
        {"SET_LINE_CONTROL as kept",
         [](SerialRig& r) {
             const SerialLineControlRecord lc{0, 0, 8};
             return r.file->DeviceIoControl(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc, nullptr,
                                            0);
         },
         3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SerialRig rig;
        ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
        ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
        ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_LINE_CONTROL, SerialLineControlRecord{0, 0, 8}),
                  STATUS_SUCCESS);
        ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
        ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
        const auto coding = rig.chip.LineCodingBytes();
        auto devicePower = [&](std::uint32_t state) {
            return rig
                .Drive([&] {
                    return rig.pnp.SendPower(rig.pdo, IRP_MN_SET_POWER,
                                             PowerStateType::DevicePowerState, state);
                })
                .status;
        };
        ASSERT_EQ(devicePower(PowerDeviceD3), STATUS_SUCCESS);
        // A D0 the driver did not ask for: the chip is restored on the worker.
        rig.kernel.ArmPause(kPauseRestore);
        ASSERT_EQ(devicePower(PowerDeviceD0), STATUS_SUCCESS);
        // The restore's own waits need the clock.
        bool paused = false;
        for (int i = 0; i < 20000 && !paused; ++i) {
            paused = rig.kernel.WaitUntilPaused(kPauseRestore, std::chrono::milliseconds(1));
            if (!paused && rig.kernel.BlockedWaiters() > 0) rig.kernel.Advance(kMillisecond);
        }
        ASSERT_TRUE(paused);
        auto request = rig.Start([&] { return row.request(rig); });
        // Time for a request that does not wait to come back (on a loaded machine it may take
        // longer, which lets this run pass without proving anything, never fail wrongly).
        const bool returnedDuringRestore =
            request.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
        if (returnedDuringRestore) {
            // What the application would see now.
            std::uint32_t rate = 0;
            std::uint32_t lines = 0;
            EXPECT_EQ(rig.Get(IOCTL_SERIAL_GET_BAUD_RATE, &rate), STATUS_SUCCESS);
            EXPECT_EQ(rig.Get(IOCTL_SERIAL_GET_DTRRTS, &lines), STATUS_SUCCESS);
            EXPECT_EQ(ChipRate(rig.chip), rate) << "returned with the chip not yet restored";
            EXPECT_EQ(rig.chip.ControlLineState(), lines);
        }
        EXPECT_FALSE(returnedDuringRestore) << "did not wait for the restore under way";
        rig.kernel.ReleasePause(kPauseRestore);
        EXPECT_EQ(rig.Drive([&] { return request.get(); }), STATUS_SUCCESS);
        rig.Drive([&] {
            rig.kernel.FlushWorkItems();
            return 0;
        });
        std::uint32_t rate = 0;
        std::uint32_t lines = 0;
        SerialLineControlRecord lc{};
        ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_BAUD_RATE, &rate), STATUS_SUCCESS);
        ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_DTRRTS, &lines), STATUS_SUCCESS);
        ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_LINE_CONTROL, &lc), STATUS_SUCCESS);
        EXPECT_EQ(rate, 38400u);
        EXPECT_EQ(lines, row.lines);
        EXPECT_EQ(rig.chip.ControlLineState(), row.lines);
        EXPECT_EQ(rig.chip.LineCodingBytes(), coding);
        EXPECT_EQ(coding[6], lc.WordLength);
    }
}

// The wake restores DTR and RTS as the application left them: the line-state word, not the
// handshake record's modes.
TEST(Usbser2kOverlap, WakeRestoresTheModemLinesTheApplicationSet) {
    struct Row {
        const char* name;
        std::uint32_t code;
        std::uint32_t word;  // SET_MODEM_CONTROL's input
        std::uint32_t expected;
    };
    const Row rows[] = {
        {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, 0, 2},
        {"CLR_RTS", IOCTL_SERIAL_CLR_RTS, 0, 1},
        {"SET_MODEM_CONTROL 0", IOCTL_SERIAL_SET_MODEM_CONTROL, 0, 0},
        {"SET_MODEM_CONTROL 1", IOCTL_SERIAL_SET_MODEM_CONTROL, 1, 1},
        {"SET_MODEM_CONTROL 2", IOCTL_SERIAL_SET_MODEM_CONTROL, 2, 2},
        {"SET_MODEM_CONTROL 3", IOCTL_SERIAL_SET_MODEM_CONTROL, 3, 3},
    };
    for (int variant = 0; variant <= 4; ++variant) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + " variant " + std::to_string(variant));
            SerialRig rig(variant);
            ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
            ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
            ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
            ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
            if (row.code == IOCTL_SERIAL_SET_MODEM_CONTROL) {
                ASSERT_EQ(rig.Set(row.code, row.word), STATUS_SUCCESS);
            } else {
                ASSERT_EQ(rig.Do(row.code), STATUS_SUCCESS);
            }
            ASSERT_EQ(
                rig.Drive([&] { return rig.pnp.SetSystemPower(rig.pdo, PowerSystemSleeping3); }),
                STATUS_SUCCESS);
            ASSERT_EQ(
                rig.Drive([&] { return rig.pnp.SetSystemPower(rig.pdo, PowerSystemWorking); }),
                STATUS_SUCCESS);
            rig.kernel.FlushWorkItems();
            // A request that needs the chip brings it back first, if the wake left it in D3.
            std::uint32_t lines = 0xFF;
            ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_DTRRTS, &lines), STATUS_SUCCESS);
            ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
            EXPECT_EQ(lines, row.expected);
            EXPECT_EQ(rig.chip.ControlLineState(), row.expected);
        }
    }
}

// Each pipe has at most one standing transfer, whatever path starts it again.
TEST(Usbser2kOverlap, OneStandingReceiveAndStatusTransferAfterEveryRestartPath) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
    auto standing = [&](const char* after) {
        SCOPED_TRACE(after);
        rig.kernel.FlushWorkItems();
        EXPECT_EQ(rig.chip.WaitingReceives(), 1u);
        EXPECT_EQ(rig.chip.WaitingStatusReads(), 1u);
    };
    standing("open");
    auto privateCode = [&](std::uint16_t word) {
        return rig.Set(private_ioctl::kStandingReads, word);
    };
    ASSERT_EQ(privateCode(1), STATUS_SUCCESS);
    EXPECT_EQ(rig.chip.WaitingReceives(), 0u);
    ASSERT_EQ(privateCode(0), STATUS_SUCCESS);
    standing("0x2220A4 stop, start");
    ASSERT_EQ(rig.Drive([&] { return RestoreAfterPowerUp(rig.dev()); }), STATUS_SUCCESS);
    standing("0x2220A4 stop, start, then the restore after power-up");
    ASSERT_EQ(privateCode(0), STATUS_SUCCESS);
    standing("0x2220A4 start twice");
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.SetSystemPower(rig.pdo, PowerSystemSleeping3); }),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.Drive([&] { return rig.pnp.SetSystemPower(rig.pdo, PowerSystemWorking); }),
              STATUS_SUCCESS);
    std::uint32_t rate = 0;
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_BAUD_RATE, &rate), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_BAUD_RATE, std::uint32_t{38400}), STATUS_SUCCESS);
    standing("a power cycle");
    ASSERT_EQ(privateCode(0), STATUS_SUCCESS);
    standing("a power cycle and 0x2220A4 start");
    // The bytes come through once, in order.
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto read = rig.StartRead(6);
    rig.UntilPending();
    rig.Inject("abc");
    rig.Inject("def");
    ASSERT_TRUE(Completes(rig, read));
    const auto r = read.get();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "abcdef");
}

// An XON/XOFF peer against a stream of small writes, with purges and SET_XON from a third
// thread at random moments: nothing hangs (a watchdog ends the run), every write completes once,
// and the wire carries exactly the bytes the writes report sent, in order.
TEST(Usbser2kOverlap, StressXonXoffPeerAgainstWritesWithPurgesAndSetXon) {
    constexpr int kWrites = 10'000;
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(rig.EditHandflow([](SerialHandflow& hf) { hf.FlowReplace |= SERIAL_AUTO_TRANSMIT; }),
              STATUS_SUCCESS);
    rig.kernel.SetClockMode(Kernel::ClockMode::WallClock);
    rig.chip.ClearLog();

    std::atomic<bool> writing{true};
    std::atomic<bool> stuck{false};
    // Each write and whether it succeeded. A write a purge cancelled reports no bytes, but its
    // one chunk (at most 64 bytes) may have gone out before the purge: all of it or none.
    std::vector<std::pair<std::string, bool>> written;
    std::atomic<int> completed{0};
    std::thread writer([&] {
        std::uint32_t seed = 12345;
        auto next = [&] { return seed = seed * 1103515245u + 12345u; };
        for (int i = 0; i < kWrites && !stuck.load(); ++i) {
            const std::uint32_t length = 1 + (next() >> 8) % 64;
            std::string data(length, '\0');
            for (char& c : data) c = static_cast<char>('A' + (next() >> 9) % 26);
            std::uint32_t put = 0;
            const NTSTATUS status = rig.file->Write(data.data(), length, &put);
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
            if (status == STATUS_SUCCESS) {
                EXPECT_EQ(put, length);
            }
            written.emplace_back(data, status == STATUS_SUCCESS);
            ++completed;
        }
        writing.store(false);
    });
    // The peer answers what reaches it: XOFF, then XON, while the writer starts its next write.
    std::atomic<std::uint64_t> arrived{0};
    rig.chip.SetTransmitSink([&](std::span<const std::uint8_t>) { arrived.fetch_add(1); });
    std::thread peer([&] {
        std::uint64_t seen = 0;
        while (writing.load()) {
            const std::uint64_t now = arrived.load();
            if (now == seen) {
                std::this_thread::yield();
                continue;
            }
            seen = now;
            rig.Inject("\x13");
            rig.Inject("\x11");
        }
    });
    std::thread meddler([&] {
        std::uint32_t seed = 4242;
        while (writing.load()) {
            seed = seed * 1103515245u + 12345u;
            if ((seed >> 16) % 4 == 0) {
                const std::uint32_t purge = SERIAL_PURGE_TXABORT;
                rig.file->DeviceIoControl(IOCTL_SERIAL_PURGE, &purge, sizeof purge, nullptr, 0);
            } else {
                rig.file->DeviceIoControl(IOCTL_SERIAL_SET_XON, nullptr, 0, nullptr, 0);
            }
            for (std::uint32_t n = (seed >> 20) % 64; n > 0; --n) std::this_thread::yield();
        }
    });
    // The watchdog: a run that makes no progress for a long while (real time, generous for a
    // loaded machine and the sanitizers) has hung.
    int seen = -1;
    int idle = 0;
    while (writing.load()) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (!writing.load()) break;
        if (completed.load() == seen) {
            if (++idle >= 60) {
                stuck.store(true);
                ADD_FAILURE() << "no write completed for a minute after " << completed.load();
                rig.file->CancelIo();
                rig.Inject("\x11");
                idle = 0;
            }
        } else {
            idle = 0;
        }
        seen = completed.load();
    }
    writer.join();
    peer.join();
    meddler.join();
    rig.chip.SetTransmitSink(nullptr);
    EXPECT_EQ(completed.load(), kWrites);
    // The wire is the writes in order: every successful one whole, a cancelled one whole or not
    // at all (the positions in the wire that the writes so far can have reached).
    const std::string wire = WireText(rig.chip);
    std::set<std::size_t> reached{0};
    std::size_t index = 0;
    for (const auto& [data, succeeded] : written) {
        std::set<std::size_t> next;
        for (std::size_t at : reached) {
            if (wire.compare(at, data.size(), data) == 0) next.insert(at + data.size());
            if (!succeeded) next.insert(at);
        }
        ASSERT_FALSE(next.empty()) << "write " << index << " is not on the wire where it belongs";
        ASSERT_LT(next.size(), 4096u);
        reached = std::move(next);
        ++index;
    }
    EXPECT_TRUE(reached.count(wire.size())) << "the wire carries bytes no write sent";
    rig.kernel.SetClockMode(Kernel::ClockMode::Manual);
}

// Transmit-toggle RTS: on before the write's bytes go out, off once the transmitter is empty;
// a break holds the transmitter (and keeps RTS on) until break off lets the write go.
TEST(Usbser2kOverlap, TransmitToggleRaisesRtsAroundWritesAndBreakHoldsTheTransmitter) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(rig.EditHandflow([](SerialHandflow& hf) {
        hf.FlowReplace = (hf.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_TRANSMIT_TOGGLE;
    }),
              STATUS_SUCCESS);
    rig.kernel.FlushWorkItems();
    EXPECT_EQ(rig.chip.ControlLineState() & 2, 0);
    rig.chip.ClearLog();
    std::uint32_t put = 0;
    ASSERT_EQ(rig.Drive([&] { return rig.file->Write("hi", 2, &put); }), STATUS_SUCCESS);
    // RTS raised (SET_CONTROL_LINE_STATE with bit 1) before the bulk transfer.
    bool raised = false;
    bool bytesAfterRaise = false;
    for (const WireRecord& r : rig.chip.Log()) {
        if (r.kind == WireRecord::Kind::Control && r.request == 0x22 && (r.value & 2)) {
            raised = true;
        }
        if (r.kind == WireRecord::Kind::BulkOut) bytesAfterRaise = raised;
    }
    EXPECT_TRUE(bytesAfterRaise);
    rig.kernel.FlushWorkItems();
    EXPECT_EQ(rig.chip.ControlLineState() & 2, 0) << "RTS stays on after the transmitter emptied";

    ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    EXPECT_TRUE(rig.chip.BreakOn());
    EXPECT_EQ(rig.chip.ControlLineState() & 2, 2);
    rig.chip.ClearLog();
    auto write = rig.Start([&] { return rig.file->Write("xy", 2, &put); });
    EXPECT_TRUE(StillPending(write));
    SerialStatus status{};
    ASSERT_EQ(rig.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status.HoldReasons & SERIAL_TX_WAITING_ON_BREAK, SERIAL_TX_WAITING_ON_BREAK);
    EXPECT_EQ(WireText(rig.chip), "");
    ASSERT_EQ(rig.Do(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    ASSERT_TRUE(Completes(rig, write));
    EXPECT_EQ(write.get(), STATUS_SUCCESS);
    EXPECT_EQ(WireText(rig.chip), "xy");
    rig.kernel.FlushWorkItems();
    EXPECT_EQ(rig.chip.ControlLineState() & 2, 0);
}

// A receive transfer that fails (a stall) is started again after its pipe is reset, so the
// port does not go deaf; a pipe that keeps failing is given up after a few tries, not retried in
// a loop.
TEST(Usbser2kOverlap, AFailedReceiveTransferIsStartedAgainABoundedNumberOfTimes) {
    SerialRig rig;
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.SetTimeouts(0, 0, 0), STATUS_SUCCESS);
    auto bulkIn = [](const WireRecord& r) { return r.kind == WireRecord::Kind::BulkIn; };
    rig.chip.StallWhen(bulkIn, 1);
    rig.Inject("a");  // completes the standing transfer; the next one stalls
    rig.kernel.FlushWorkItems();
    EXPECT_EQ(rig.chip.WaitingReceives(), 1u);
    auto read = rig.StartRead(3);
    rig.UntilPending();
    rig.Inject("bc");
    ASSERT_TRUE(Completes(rig, read));
    const auto r = read.get();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "abc");

    rig.chip.StallWhen(bulkIn, 1000);
    rig.chip.ClearLog();
    rig.Inject("d");
    rig.kernel.FlushWorkItems();
    std::size_t tries = 0;
    for (const WireRecord& w : rig.chip.Log()) tries += bulkIn(w) ? 1 : 0;
    EXPECT_EQ(tries, 1u + static_cast<std::size_t>(kMaxRearms));
    EXPECT_EQ(rig.chip.WaitingReceives(), 0u);
}

}  // namespace
}  // namespace vm::drv::usbser2k::testing

namespace vm::drv::usbser2k::testing {
namespace {

// The special characters, the time-outs and the escape character change while bytes stream in
// and the driver sends XOFF and XON itself (a chip before variant 2): every path reads them
// under the lock their setters take, so a GET_CHARS never mixes two records, every flow
// character on the wire is one of a record that was in force, and no received byte is lost.
TEST(Usbser2kOverlap, SettersOfTheCharactersTimeoutsAndEscapeAgainstAReceiveStream) {
    constexpr int kRounds = 150;
    constexpr std::size_t kRoundBytes = 1000;
    SerialRig rig(1);
    ASSERT_EQ(rig.Open(), STATUS_SUCCESS);
    ASSERT_EQ(rig.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SerialQueueSize{1024, 0}), STATUS_SUCCESS);
    // Reads return at once with what is there.
    ASSERT_EQ(rig.SetTimeouts(0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(rig.EditHandflow([](SerialHandflow& hf) {
        hf.FlowReplace |= SERIAL_AUTO_RECEIVE;
        hf.XonLimit = 100;
        hf.XoffLimit = 100;
    }),
              STATUS_SUCCESS);
    rig.chip.ClearLog();

    SerialChars a;  // XON 0x11, XOFF 0x13
    SerialChars b;
    b.XonChar = 0x01;
    b.XoffChar = 0x02;
    b.EventChar = 0x7F;
    auto sameAs = [](const SerialChars& x, const SerialChars& y) {
        return std::memcmp(&x, &y, sizeof x) == 0;
    };
    std::atomic<bool> streaming{true};
    std::atomic<int> mixed{0};
    std::atomic<int> refused{0};
    std::thread setter([&] {
        for (std::uint32_t i = 0; streaming.load(); ++i) {
            const SerialChars& chars = i % 2 ? b : a;
            if (!NT_SUCCESS(rig.file->DeviceIoControl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars,
                                                      nullptr, 0))) {
                ++refused;
            }
            SerialChars seen{};
            rig.file->DeviceIoControl(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &seen, sizeof seen);
            if (!sameAs(seen, a) && !sameAs(seen, b)) ++mixed;
            const SerialTimeouts t{0xFFFFFFFF, 0, 0, i % 3, i % 2 ? 0u : 1000u};
            if (!NT_SUCCESS(rig.file->DeviceIoControl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t,
                                                      nullptr, 0))) {
                ++refused;
            }
            const std::uint8_t escape = i % 2 ? 0xFE : 0;
            if (!NT_SUCCESS(rig.file->DeviceIoControl(IOCTL_SERIAL_LSRMST_INSERT, &escape,
                                                      sizeof escape, nullptr, 0))) {
                ++refused;
            }
        }
    });

    // Each round fills the ring past the XOFF point (the driver sends XOFF and holds the
    // receive transfer), then reads it all (it sends XON at XonLimit and takes the rest).
    std::string injected;
    std::string read;
    for (int round = 0; round < kRounds; ++round) {
        std::string bytes(kRoundBytes, ' ');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(0x20 + (round * 7 + i) % 0x5F);
        }
        rig.Inject(bytes);
        injected += bytes;
        for (int tries = 0; read.size() < injected.size() && tries < 100'000; ++tries) {
            std::array<std::uint8_t, 256> buffer{};
            std::uint32_t got = 0;
            ASSERT_EQ(rig.file->Read(buffer.data(), buffer.size(), &got), STATUS_SUCCESS);
            read.append(buffer.begin(), buffer.begin() + got);
        }
    }
    streaming.store(false);
    setter.join();

    EXPECT_EQ(read, injected);
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(refused.load(), 0);
    const std::string wire = WireText(rig.chip);
    ASSERT_EQ(wire.size(), 2u * kRounds) << "one XOFF and one XON a round";
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(wire[i]);
        SCOPED_TRACE(i);
        if (i % 2 == 0) {
            EXPECT_TRUE(c == a.XoffChar || c == b.XoffChar) << int{c};
        } else {
            EXPECT_TRUE(c == a.XonChar || c == b.XonChar) << int{c};
        }
    }
}

}  // namespace
}  // namespace vm::drv::usbser2k::testing
