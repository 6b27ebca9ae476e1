// The editor's unchanged CloneWorker reading and writing a whole radio through usbser2k: the
// worker's SerialPort is the driver's host I/O layer, the driver talks USB to the simulated
// chip, and the chip's line is the simulated radio's pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>

#include "app/link/clone_worker.h"
#include "integration/cable_system.h"
#include "integration/driver_serial_port.h"
#include "tests/support/radio_turn_port.h"
#include "tools/radio/simulated_radio.h"

namespace vm::integration {
namespace {

using vm::testing::RadioTurnPort;

std::unique_ptr<RadioImage> Pattern(unsigned seed) {
    auto image = std::make_unique<RadioImage>();
    std::mt19937 rng(seed);
    for (auto& b : *image) b = static_cast<std::uint8_t>(rng());
    (*image)[0xCC08] = 0;  // unprotected unless a test says otherwise
    return image;
}

// A radio that answers everything: no fixed sleeps, and time-outs no loaded machine runs into
// (an answer ends a read at once, so they cost nothing; the protocol's own 150 ms for one
// byte was missed by a write acknowledgement through the driver on a busy machine).
LinkTiming Answering() {
    LinkTiming t;
    t.wake_byte_sleep = std::chrono::microseconds(0);
    t.ack_sleep = std::chrono::microseconds(0);
    t.timeouts = {500, 50, 2000, 50, 2000};
    return t;
}

// For a transfer that waits for answers that never come: each wait costs 0.5 s, still a
// margin a loaded machine keeps for the answers that do come.
LinkTiming Withholding() {
    LinkTiming t = Answering();
    t.timeouts = {100, 50, 450, 50, 450};
    return t;
}

// Stops the test program when a transfer hangs: a hang is a failure, not an endless run. A hang
// is a transfer that moves no further for `limit` (`blocks` counts the blocks done): a loaded
// machine makes a whole transfer slow (a read of 510 blocks was seen taking over 60 s) but never
// stops it.
template <class F>
auto WithinWatchdog(F&& body, const std::atomic<int>& blocks,
                    std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto future = std::async(std::launch::async, std::forward<F>(body));
    int seen = blocks.load();
    auto moved = std::chrono::steady_clock::now();
    while (future.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
        const auto now = std::chrono::steady_clock::now();
        if (const int done = blocks.load(); done != seen) {
            seen = done;
            moved = now;
        } else if (now - moved > limit) {
            std::fprintf(stderr, "watchdog: transfer through the driver hangs after %d blocks\n",
                         done);
            std::_Exit(1);
        }
    }
    return future.get();
}

struct Clone {
    explicit Clone(int variant, RadioOptions options = {}) : system(variant) {
        radio = std::make_unique<SimulatedRadio>(*radioMemory, FileHeader{}, std::move(options));
        std::string error;
        EXPECT_TRUE(radio->Open(error)) << error;
        radio->Start();
        EXPECT_EQ(system.Plug(), drv::STATUS_SUCCESS);
        EXPECT_TRUE(system.ConnectLine(radio->device()));
    }
    ~Clone() {
        system.DisconnectLine();
        radio->Stop();
    }

    TransferOutcome Run(const TransferRangeTable& table, LinkTiming timing = Answering(),
                        std::optional<std::string> password = std::nullopt, int cancelAt = -1,
                        std::function<void(int)> atBlock = {}) {
        TransferCallbacks cb;
        cb.message = [this](std::string_view text, std::string_view detail) {
            // What failed, for the test's failure message: the step, and how far the bytes got.
            const RadioRecord r = radio->record();
            failures.push_back(std::string(detail) + " (the worker wrote " +
                               std::to_string(written.load()) + " bytes, the radio received " +
                               std::to_string(r.bytes_received) + " and sent " +
                               std::to_string(r.bytes_sent) + ")");
            messages.emplace_back(text);
        };
        cb.password = [password] { return password; };
        blocks.store(0);
        cb.progress = [&, cancelAt, atBlock](int position, int, const std::string&) {
            blocks.store(position);
            if (position == cancelAt) cancel.store(true);
            if (atBlock) atBlock(position);
        };
        CloneWorkerOptions o;
        o.timing = timing;
        o.flags = TransferFlags{&busy, &cancel};
        // A time-out stands only once the radio has had its turn.
        o.make_port = [this] {
            return std::make_unique<RadioTurnPort>(
                std::make_unique<DriverSerialPort>(system.kernel()), *radio, written);
        };
        CloneWorker worker(*image, table, system.portName(), cb, o);
        return WithinWatchdog([&] { return worker.Run(); }, blocks);
    }

    std::unique_ptr<RadioImage> radioMemory = Pattern(1);
    std::unique_ptr<RadioImage> image = Pattern(2);
    CableSystem system;
    std::unique_ptr<SimulatedRadio> radio;
    std::atomic<bool> busy{false};
    std::atomic<bool> cancel{false};
    std::atomic<std::uint64_t> written{0};  // bytes the workers have written to the radio
    std::atomic<int> blocks{0};             // blocks the running transfer has done
    std::vector<std::string> messages;
    std::vector<std::string> failures;  // each message's detail and the bytes so far
};

bool SameRange(const RadioImage& a, const RadioImage& b, std::uint32_t from, std::uint32_t to) {
    return std::equal(a.begin() + from, a.begin() + to, b.begin() + from);
}

// A whole Read of [0x0100, 0x10000) and a whole Write, through every chip variant.
class EveryVariant : public ::testing::TestWithParam<int> {};

TEST_P(EveryVariant, ReadGivesTheRadioMemoryAndWriteGivesTheRadioTheImage) {
    Clone clone(GetParam());
    ASSERT_EQ(clone.Run(ProgramReadRanges()), TransferOutcome::Done)
        << ::testing::PrintToString(clone.failures);
    EXPECT_TRUE(SameRange(*clone.image, *clone.radioMemory, 0x0100, 0x10000));
    EXPECT_TRUE(clone.messages.empty());

    // A fresh image written back: the radio holds it in the written ranges.
    clone.image = Pattern(3);
    const TransferRangeTable write = ProgramWriteRanges(false);
    ASSERT_EQ(clone.Run(write), TransferOutcome::Done) << ::testing::PrintToString(clone.failures);
    // Every byte the chip put on the line has reached the radio (the end marker may still be
    // on its way through the terminal when the worker returns).
    ASSERT_TRUE(clone.radio->Drain(std::chrono::milliseconds(3000),
                                   clone.system.chip().Transmitted().size()));
    const RadioImage radio = clone.radio->memory();
    for (std::size_t r = 0; r < write.count; ++r) {
        EXPECT_TRUE(SameRange(radio, *clone.image, write.start[r], write.end[r])) << r;
    }
    EXPECT_EQ(clone.radio->record().end_markers, (std::vector<std::string>{"ENDR", "ENDW"}));
}

INSTANTIATE_TEST_SUITE_P(Variants, EveryVariant, ::testing::Values(0, 1, 2, 3, 4));

TEST(CloneThroughDriver, ProtectedRadioReadsWithTheAccessCode) {
    RadioOptions o;
    o.protect = true;
    Clone clone(2, o);
    ASSERT_EQ(clone.Run(ProgramReadRanges(), Answering(), std::string("5731RB")),
              TransferOutcome::Done);
    EXPECT_TRUE(SameRange(*clone.image, clone.radio->memory(), 0x0100, 0x10000));
    EXPECT_EQ((*clone.image)[0xCC08], 3);
}

TEST(CloneThroughDriver, CancelAtBlock100EndsTheReadAndLeavesTheImage) {
    Clone clone(2);
    const RadioImage before = *clone.image;
    ASSERT_EQ(clone.Run(ProgramReadRanges(), Answering(), std::nullopt, 100),
              TransferOutcome::Cancelled)
        << ::testing::PrintToString(clone.failures);
    EXPECT_EQ(*clone.image, before);
    // The port was given back: the next transfer opens it and completes.
    ASSERT_EQ(clone.Run(ProgramReadRanges()), TransferOutcome::Done)
        << ::testing::PrintToString(clone.failures);
}

TEST(CloneThroughDriver, WithheldAcknowledgementFailsTheBlockCleanly) {
    RadioOptions o;
    o.fail_block = 0x0200;
    Clone clone(2, o);
    ASSERT_EQ(clone.Run(ProgramReadRanges(), Withholding()), TransferOutcome::BlockFailed);
    EXPECT_EQ(clone.messages, std::vector<std::string>{std::string(kCommunicationError)});
    EXPECT_EQ(clone.radio->record().acks_withheld, 4);
}

TEST(CloneThroughDriver, UnplugAtBlock200FailsTheTransferWithoutHangOrLeak) {
    Clone clone(2);
    std::future<void> unplug;
    // Time-outs a loaded machine keeps (the reads after the unplug fail at once, they do not
    // wait them out): short ones let a busy machine fail the transfer before block 200.
    const TransferOutcome outcome =
        clone.Run(ProgramReadRanges(), Answering(), std::nullopt, -1, [&](int position) {
            if (position == 200) {
                unplug = std::async(std::launch::async, [&] { clone.system.Unplug(); });
            }
        });
    ASSERT_TRUE(unplug.valid()) << "the transfer ended before block 200: " << OutcomeName(outcome);
    EXPECT_EQ(outcome, TransferOutcome::BlockFailed);
    unplug.wait();
    EXPECT_EQ(clone.messages, std::vector<std::string>{std::string(kCommunicationError)});
    // Everything the driver took is back.
    clone.system.Unload();
    EXPECT_EQ(clone.system.kernel().pool().LeakReport(), "");
    EXPECT_EQ(clone.system.kernel().pool().BadFrees(), 0u);
    // The port is gone with the cable.
    DriverSerialPort port(clone.system.kernel());
    EXPECT_FALSE(port.Open(clone.system.portName()));
}

}  // namespace
}  // namespace vm::integration
