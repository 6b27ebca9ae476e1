// The real worker against the simulated radio over a real pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/link/clone_worker.h"
#include "tools/radio/simulated_radio.h"

namespace vm::testing {

// Waits that cost nothing when the radio answers: the protocol's time-outs, no fixed sleeps.
inline LinkTiming AnsweringTiming() {
    LinkTiming t;
    t.wake_byte_sleep = std::chrono::microseconds(0);
    t.ack_sleep = std::chrono::microseconds(0);
    return t;
}
// Short time-outs for paths that wait for an answer that never comes, after a handshake.
inline LinkTiming ShortTiming() {
    LinkTiming t = AnsweringTiming();
    t.timeouts = {10, 5, 25, 5, 5};
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
        cb.message = [this](std::string_view text) {
            std::lock_guard lock(log_.mutex);
            log_.messages.emplace_back(text);
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
        return o;
    }

    TransferOutcome Run(const TransferRangeTable& table, LinkTiming timing = AnsweringTiming(),
                        std::optional<std::string> password = std::nullopt, int cancel_at = -1) {
        CloneWorker worker(*image_, table, radio_->device(), Callbacks(password, cancel_at),
                           Options(timing));
        const TransferOutcome outcome = worker.Run();
        success_ = worker.success();
        // The radio may still be reading the last bytes sent (an end marker).
        EXPECT_TRUE(radio_->Drain());
        return outcome;
    }

    std::unique_ptr<RadioImage> radio_memory_ = Pattern(1);
    std::unique_ptr<RadioImage> image_ = Pattern(2);
    std::unique_ptr<SimulatedRadio> radio_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> cancel_{false};
    bool success_ = false;
    DialogLog log_;
};

}  // namespace vm::testing
