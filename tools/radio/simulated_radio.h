// A simulated VM6142 that answers the clone protocol on a pseudo-terminal: wake-up and "A",
// the 16-byte ident, "R"/"W" blocks with their 4-byte reply header, acknowledgements and the
// end markers, over its own 64 KiB memory. It can misbehave on request.
#pragma once

#include <atomic>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/image/radio_image.h"

namespace vm {

// Which replies to read commands a fault strikes: those for the block at `block` (for every
// read, the protection probe's included, when empty), the first `times` of them (all when
// negative).
struct ReplyFault {
    std::optional<std::uint32_t> block;
    int times = 1;
};

struct RadioOptions {
    bool protect = false;  // the memory's byte 0xCC08 is set to 3
    // Complete wake-ups ignored before one is answered, counted afresh each time the radio
    // is woken (so a transfer's two handshakes each need wake_after + 1 attempts).
    int wake_after = 0;
    std::chrono::milliseconds wake_delay{0};  // pause before the "A" to a wake-up
    // The block at this address gets no acknowledgement: a read block's "A" is not answered
    // (fail_acks times, or always when negative); a written block is refused.
    std::optional<std::uint32_t> fail_block;
    int fail_acks = -1;
    // The written block at this address is acknowledged but not stored: the radio drops it.
    std::optional<std::uint32_t> drop_block;
    std::size_t ident_length = 16;  // fewer than 16: a short ident
    bool refuse_ident_ack = false;  // the "A" after the ident is not answered
    // After answering this many block commands (the protection probe counts) the radio
    // disappears: it falls silent, or hangs the line up when hang_up is set.
    std::optional<int> vanish_after;
    bool hang_up = false;
    bool paced = false;  // every byte takes its 38400 baud 8N1 wire time (10 bits)
    // Replies that go wrong the way a noisy line or a busy radio makes them:
    // - the "A" answering the reply's acknowledgement comes late_ack_delay late;
    std::optional<ReplyFault> late_ack;
    std::chrono::milliseconds late_ack_delay{200};
    // - junk_length stray bytes come before the reply (and, with junk_before_ack, also before
    //   the "A" answering its acknowledgement);
    std::optional<ReplyFault> junk;
    std::size_t junk_length = 10;
    bool junk_before_ack = false;
    // - the reply is another block's: the block 0x80 bytes away, its header and its data;
    std::optional<ReplyFault> misdirect;
    // - the reply stops half-way through its data for stall_delay.
    std::optional<ReplyFault> stall;
    std::chrono::milliseconds stall_delay{80};
    // Data file written (atomically) after every session that wrote blocks, and its writer.
    std::filesystem::path save_to;
    std::function<bool(const std::filesystem::path&, const FileHeader&, const RadioImage&)>
        save_file;
    // A line on each session's end and on each failure injected, for the console.
    std::function<void(const std::string&)> log;
};

// What the radio has seen so far.
struct RadioRecord {
    int wake_ups = 0;           // complete wake-ups received
    int answered_wake_ups = 0;  // ... answered with "A"
    int idents = 0;
    int blocks_read = 0;  // "R" commands answered, the protection probe included
    int blocks_written = 0;
    int blocks_dropped = 0;  // written blocks acknowledged but not stored (drop_block)
    int acks_withheld = 0;
    int replies_struck = 0;  // replies a late_ack, junk, misdirect or stall fault struck
    std::vector<std::string> end_markers;  // "ENDR", "ENDW" in order of arrival
    std::vector<std::uint32_t> read_addresses;
    std::bitset<kImageSize> written;  // addresses written by "W" blocks
    int saves = 0;
    bool vanished = false;
    std::uint64_t bytes_received = 0;    // every byte that came over the line
    std::vector<std::uint8_t> received;  // ... in order of arrival
    // Every byte sent, counted before it is written: a byte that has come over the line is
    // always counted.
    std::uint64_t bytes_sent = 0;
    int pause_edges = 0;  // starts and ends of the pauses made on purpose (a fault's, a wake-up's)
};

inline constexpr std::uint32_t kIdentAddress = kModelInfo;  // the ident is the model block's start

class SimulatedRadio {
public:
    SimulatedRadio(const RadioImage& memory, const FileHeader& header, RadioOptions options);
    ~SimulatedRadio();
    SimulatedRadio(const SimulatedRadio&) = delete;
    SimulatedRadio& operator=(const SimulatedRadio&) = delete;

    // Creates the pseudo-terminal; false with `error` set when that fails.
    bool Open(std::string& error);
    // The device path the programming software opens.
    const std::string& device() const { return device_; }

    // Serves on the calling thread until Stop().
    void Serve();
    // Serves on a thread of its own.
    void Start();
    void Stop();

    // Waits until the radio has handled every byte it was sent (false after `timeout`); a
    // pause a fault makes on purpose (late_ack, stall, wake_delay) counts as done. Bytes
    // still on their way through the pseudo-terminal are not visible yet: a caller that knows
    // how many bytes were written gives `at_least`, and the wait lasts until that many have
    // come (or the radio has hung the line up).
    bool Drain(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000),
               std::uint64_t at_least = 0) const;

    RadioImage memory() const;
    RadioRecord record() const;
    // The record's counters alone (no copy of what came).
    std::uint64_t bytes_sent() const { return bytes_sent_; }
    int pause_edges() const { return pause_edges_; }

private:
    std::optional<std::uint8_t> Next(std::optional<std::chrono::milliseconds> timeout);
    // The rest of a command: n bytes, each within the command's byte wait.
    bool NextBytes(std::uint8_t* data, std::size_t n);
    void Send(const std::uint8_t* data, std::size_t n);
    // Sleeps for a fault's delay (a late answer, a stalled reply, a slow wake-up).
    void Pause(std::chrono::milliseconds delay);
    void Handle(std::uint8_t first);
    void HandleWakeUp();
    void HandleRead();
    void HandleWrite();
    void HandleEnd();
    bool CountBlockAndMaybeVanish();
    // Whether `fault` strikes this reply to a read of `a`; counts its strikes in `used`.
    bool Strikes(const std::optional<ReplyFault>& fault, int& used, std::uint32_t a);
    void SendJunk();
    void Log(const std::string& line);

    RadioOptions options_;
    FileHeader header_;
    mutable std::mutex mutex_;  // guards memory_, record_ and closing the line
    RadioImage memory_;
    RadioRecord record_;

    int master_ = -1;
    int slave_ = -1;  // held open so the line stays up between the software's sessions
    int stop_fd_ = -1;
    std::string device_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> idle_{false};  // waiting for a command with nothing unread
    std::atomic<std::uint64_t> bytes_received_{0};
    std::atomic<std::uint64_t> bytes_sent_{0};
    std::atomic<int> pause_edges_{0};

    std::vector<std::uint8_t> pending_;  // bytes read but not yet consumed
    std::size_t pending_pos_ = 0;
    // The paced line's time: when the last byte received has fully come (or a pause ended)...
    std::chrono::steady_clock::time_point rx_done_{};
    std::chrono::steady_clock::time_point tx_done_{};  // ... and sent
    bool awake_ = false;
    int ignored_wake_ups_ = 0;
    int withhold_acks_ = 0;
    bool silent_ = false;
    bool wrote_in_session_ = false;
    bool ident_sent_ = false;  // the next "A" acknowledges the ident
    int late_ack_used_ = 0;
    int junk_used_ = 0;
    int misdirect_used_ = 0;
    int stall_used_ = 0;
    bool late_next_ack_ = false;  // the next "A" is answered late
    bool junk_next_ack_ = false;  // ... after junk
};

}  // namespace vm
