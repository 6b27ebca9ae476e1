// The real worker against the simulated radio over a real pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/link/clone_worker.h"
#include "tests/support/radio_turn_port.h"
#include "tools/radio/simulated_radio.h"

namespace vm::testing {

// True when a and b agree exactly on [from, to).
inline ::testing::AssertionResult SameRange(const RadioImage& a, const RadioImage& b,
                                            std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i)
        if (a[i] != b[i]) {
            char at[16];
            std::snprintf(at, sizeof at, "0x%04X", i);
            return ::testing::AssertionFailure() << "differs at " << at;
        }
    return ::testing::AssertionSuccess();
}

// Replies that go wrong the way a noisy line, a busy radio or a slow link makes them.
inline ReplyFault At(std::uint32_t a, int times = 1) {
    return ReplyFault{a, times};
}
inline constexpr ReplyFault kEveryReply{std::nullopt, -1};

inline RadioOptions LateAck(ReplyFault where) {
    RadioOptions o;
    o.late_ack = where;  // 200 ms: past the 150 ms a one-byte read waits
    // At wire speed the answer to the repeated "A" comes after the worker has purged the line
    // for the next block, as it does on a cable.
    o.paced = true;
    return o;
}
inline RadioOptions Junk(ReplyFault where, bool before_ack = false) {
    RadioOptions o;
    o.junk = where;
    o.junk_before_ack = before_ack;
    return o;
}
inline RadioOptions Misdirect(ReplyFault where) {
    RadioOptions o;
    o.misdirect = where;
    return o;
}
inline RadioOptions Stall(ReplyFault where) {
    RadioOptions o;
    o.stall = where;
    // Six times the 50 ms allowed between two bytes: a loaded machine that leaves the worker's
    // or the radio's thread unscheduled for a while does not hide the stall (80 ms did not,
    // under a thread sanitizer on a loaded machine).
    o.stall_delay = std::chrono::milliseconds(300);
    return o;
}

// Waits that cost nothing when the radio answers: no fixed sleeps, and time-outs no loaded
// machine runs into (an answer ends a read at once).
inline LinkTiming AnsweringTiming() {
    LinkTiming t;
    t.wake_byte_sleep = std::chrono::microseconds(0);
    t.ack_sleep = std::chrono::microseconds(0);
    t.timeouts = {500, 50, 2000, 50, 2000};
    return t;
}
// The protocol's own time-outs, for faults whose outcome they decide (a reply that stalls
// longer than the read interval), without the fixed sleeps.
inline LinkTiming ProtocolTiming() {
    LinkTiming t = AnsweringTiming();
    t.timeouts = LinkTiming{}.timeouts;
    return t;
}
// Short time-outs for paths that wait for an answer that never comes, after a handshake: a
// wait for one byte costs 0.11 s. The answers that do come are not missed however late the
// radio's thread runs (the fixture's port lets a time-out stand only after the radio's turn).
inline LinkTiming ShortTiming() {
    LinkTiming t = AnsweringTiming();
    t.timeouts = {50, 10, 100, 10, 100};
    t.handshake_window = std::chrono::milliseconds(10);
    return t;
}
// Tiny time-outs for a radio that never answers at all.
inline LinkTiming SilentTiming() {
    LinkTiming t = AnsweringTiming();
    t.timeouts = {1, 1, 2, 1, 1};
    t.handshake_window = std::chrono::milliseconds(3);
    return t;
}

inline std::unique_ptr<RadioImage> Pattern(unsigned seed) {
    auto image = std::make_unique<RadioImage>();
    std::mt19937 rng(seed);
    for (auto& b : *image) b = static_cast<std::uint8_t>(rng());
    // Unprotected unless a test says otherwise.
    (*image)[0xCC08] = 0;
    return image;
}

// What the dialog saw.
struct DialogLog {
    std::mutex mutex;
    std::vector<std::string> messages;
    std::vector<std::string> details;  // each message's informative text
    std::vector<std::string> percents;
    int password_prompts = 0;
    int start_disabled = 0;
    int cancels_posted = 0;
    bool busy_when_closed = true;
};

class TransferTest : public ::testing::Test {
protected:
    void StartRadio(RadioOptions options = {}) {
        radio_ = std::make_unique<SimulatedRadio>(*radio_memory_, FileHeader{}, std::move(options));
        std::string error;
        ASSERT_TRUE(radio_->Open(error)) << error;
        radio_->Start();
    }

    TransferCallbacks Callbacks(std::optional<std::string> password = std::nullopt,
                                int cancel_at = -1) {
        TransferCallbacks cb;
        cb.disable_start = [this] {
            std::lock_guard lock(log_.mutex);
            ++log_.start_disabled;
        };
        cb.progress = [this, cancel_at](int position, int, const std::string& percent) {
            {
                std::lock_guard lock(log_.mutex);
                log_.percents.push_back(percent);
            }
            if (position == cancel_at) cancel_.store(true);
        };
        cb.message = [this](std::string_view text, std::string_view detail) {
            std::lock_guard lock(log_.mutex);
            log_.messages.emplace_back(text);
            log_.details.emplace_back(detail);
        };
        cb.password = [this, password] {
            std::lock_guard lock(log_.mutex);
            ++log_.password_prompts;
            return password;
        };
        cb.post_cancel = [this] {
            std::lock_guard lock(log_.mutex);
            ++log_.cancels_posted;
            log_.busy_when_closed = busy_.load();
        };
        return cb;
    }

    CloneWorkerOptions Options(LinkTiming timing = AnsweringTiming()) {
        CloneWorkerOptions o;
        o.timing = timing;
        o.flags = TransferFlags{&busy_, &cancel_};
        // Counts the bytes written, so that a test can wait until the radio has taken every one
        // of them (the last ones may still be inside the pseudo-terminal when the worker
        // returns); a time-out stands only once the radio has had its turn.
        o.make_port = [this] {
            return std::make_unique<RadioTurnPort>(CreateSerialPort(), *radio_, written_);
        };
        return o;
    }

    TransferOutcome Run(const TransferRangeTable& table, LinkTiming timing = AnsweringTiming(),
                        std::optional<std::string> password = std::nullopt, int cancel_at = -1) {
        CloneWorker worker(*image_, table, radio_->device(), Callbacks(password, cancel_at),
                           Options(timing));
        const TransferOutcome outcome = worker.Run();
        success_ = worker.success();
        // The radio may still be reading the last bytes sent (an end marker).
        EXPECT_TRUE(Drain());
        return outcome;
    }

    // Waits until the radio has handled every byte the workers of this test have written.
    bool Drain() { return radio_->Drain(std::chrono::milliseconds(3000), written_.load()); }

    std::unique_ptr<RadioImage> radio_memory_ = Pattern(1);
    std::unique_ptr<RadioImage> image_ = Pattern(2);
    std::unique_ptr<SimulatedRadio> radio_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> cancel_{false};
    std::atomic<std::uint64_t> written_{0};  // bytes written to the radio by the workers
    bool success_ = false;
    DialogLog log_;
};

}  // namespace vm::testing
