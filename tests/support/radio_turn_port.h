// A port to the simulated radio on which a read's time-out stands only once the radio has had
// its turn: a read that comes up short waits until the radio has handled every byte written to
// it, then takes whatever the radio has answered meanwhile: the bytes the radio sent during the
// read are waited for while they travel to this end (through a pseudo-terminal, or a whole
// driver and chip), anything else is taken without waiting. A busy machine that leaves the
// radio's, the terminal's or the driver's threads unscheduled past the worker's time-out then
// makes no difference, while an answer the radio withholds, or delays on purpose (a fault's
// pause), is still missed exactly as on the line. Reads that do not wait (both totals 0) are
// left alone.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "app/link/serial_port.h"
#include "tools/radio/simulated_radio.h"

namespace vm::testing {

class RadioTurnPort final : public SerialPort {
public:
    // `written` counts every byte written to this radio, by every port of the test.
    RadioTurnPort(std::unique_ptr<SerialPort> port, const SimulatedRadio& radio,
                  std::atomic<std::uint64_t>& written)
        : port_(std::move(port)), radio_(radio), written_(written) {
        Mark();
    }

    bool Open(const std::string& path) override { return port_->Open(path); }
    int OpenError() const override { return port_->OpenError(); }
    bool IsOpen() const override { return port_->IsOpen(); }
    void Close() override { port_->Close(); }
    bool SetBufferSizes(std::size_t input, std::size_t output) override {
        return port_->SetBufferSizes(input, output);
    }
    bool SetTimeouts(const CommTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return port_->SetTimeouts(timeouts);
    }
    bool SetLine(const LineSettings& line) override { return port_->SetLine(line); }
    bool Purge() override {
        Mark();
        return port_->Purge();
    }
    bool Write(const std::uint8_t* data, std::size_t n, std::size_t& put) override {
        Mark();
        const bool ok = port_->Write(data, n, put);
        written_ += put;
        return ok;
    }
    bool Read(std::uint8_t* data, std::size_t n, std::size_t& got) override {
        if (!port_->Read(data, n, got)) return false;
        come_ += got;
        const bool waits =
            timeouts_.read_total_multiplier != 0 || timeouts_.read_total_constant != 0;
        if (got == n || !waits) return true;
        // The radio's turn: a radio that never comes back (hung up, unplugged) ends it.
        radio_.Drain(std::chrono::milliseconds(5000), written_.load());
        bool ok = true;
        // What the radio has answered since this end last wrote (or purged) and has not come
        // yet is on its way: wait for it (as many bytes as that, or as the read still lacks),
        // bounded all the same. The radio counts a byte before it can come, so this never
        // waits for bytes that came before. A radio that began or ended a pause on purpose
        // meanwhile answers as it does on the line: only what has come counts.
        const std::uint64_t sent = radio_.bytes_sent() - sent_;
        const std::uint64_t not_come =
            radio_.pause_edges() == pause_edges_ && sent > come_ ? sent - come_ : 0;
        if (const std::size_t travelling =
                static_cast<std::size_t>(std::min<std::uint64_t>(not_come, n - got))) {
            CommTimeouts arriving{};
            arriving.read_total_constant = kTravelMilliseconds;
            std::size_t more = 0;
            ok = port_->SetTimeouts(arriving) && ok;
            ok = port_->Read(data + got, travelling, more) && ok;
            got += more;
            come_ += more;
        }
        CommTimeouts at_once = timeouts_;
        at_once.read_interval = CommTimeouts::kMaxTimeout;
        at_once.read_total_multiplier = 0;
        at_once.read_total_constant = 0;
        std::size_t more = 0;
        ok = port_->SetTimeouts(at_once) && ok;
        if (got < n) ok = port_->Read(data + got, n - got, more) && ok;
        got += more;
        come_ += more;
        return port_->SetTimeouts(timeouts_) && ok;
    }

private:
    static constexpr std::uint32_t kTravelMilliseconds = 5000;
    // Where the radio's counters stood when this end last wrote or purged, and what has come
    // since.
    void Mark() {
        sent_ = radio_.bytes_sent();
        pause_edges_ = radio_.pause_edges();
        come_ = 0;
    }
    std::uint64_t sent_ = 0;
    int pause_edges_ = 0;
    std::uint64_t come_ = 0;
    std::unique_ptr<SerialPort> port_;
    const SimulatedRadio& radio_;
    CommTimeouts timeouts_;
    std::atomic<std::uint64_t>& written_;
};

}  // namespace vm::testing
