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
// wait for one byte costs 0.11 s, a margin a loaded machine keeps for the answers that come
// (0.03 s was missed now and then).
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

// The platform's port, counting the bytes it has written, so that a test can wait until the
// radio has taken every one of them (the last ones may still be inside the pseudo-terminal
// when the worker returns).
class CountingPort final : public SerialPort {
public:
    CountingPort(std::unique_ptr<SerialPort> port, std::atomic<std::uint64_t>& written)
        : port_(std::move(port)), written_(written) {}
    bool Open(const std::string& path) override { return port_->Open(path); }
    bool IsOpen() const override { return port_->IsOpen(); }
    void Close() override { port_->Close(); }
    bool SetBufferSizes(std::size_t input, std::size_t output) override {
        return port_->SetBufferSizes(input, output);
    }
    bool SetTimeouts(const CommTimeouts& timeouts) override { return port_->SetTimeouts(timeouts); }
    bool SetLine(const LineSettings& line) override { return port_->SetLine(line); }
    bool Purge() override { return port_->Purge(); }
    bool Read(std::uint8_t* data, std::size_t n, std::size_t& got) override {
        return port_->Read(data, n, got);
    }
    bool Write(const std::uint8_t* data, std::size_t n, std::size_t& put) override {
        const bool ok = port_->Write(data, n, put);
        written_ += put;
        return ok;
    }

private:
    std::unique_ptr<SerialPort> port_;
    std::atomic<std::uint64_t>& written_;
};

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
        o.make_port = [this] {
            return std::make_unique<CountingPort>(CreateSerialPort(), written_);
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
