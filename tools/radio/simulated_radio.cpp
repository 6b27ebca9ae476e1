#include "tools/radio/simulated_radio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "app/link/clone_worker.h"

namespace vm {
namespace {

using Clock = std::chrono::steady_clock;
// One byte on a 38400 baud 8N1 line: start bit, 8 data bits, stop bit.
constexpr auto kByteTime = std::chrono::nanoseconds(10'000'000'000LL / 38400);
// How long the radio waits for the rest of a command once its first byte has come.
constexpr auto kByteWait = std::chrono::milliseconds(500);

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

}  // namespace

SimulatedRadio::SimulatedRadio(const RadioImage& memory, const FileHeader& header,
                               RadioOptions options)
    : options_(std::move(options)), header_(header), memory_(memory) {
    if (options_.protect) memory_[kProbeAddress + SideRecord::kProtectionFlag] = kProtected;
    options_.ident_length = std::min(options_.ident_length, kIdentLength);
}

SimulatedRadio::~SimulatedRadio() {
    Stop();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    if (stop_fd_ >= 0) ::close(stop_fd_);
}

bool SimulatedRadio::Open(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    device_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
        error = "cannot open " + device_ + ": " + std::strerror(errno);
        return false;
    }
    // Raw from the start, so nothing is echoed before the software sets the line up.
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void SimulatedRadio::Start() {
    thread_ = std::thread([this] { Serve(); });
}

void SimulatedRadio::Stop() {
    stopping_ = true;
    if (stop_fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto w = ::write(stop_fd_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
}

bool SimulatedRadio::Drain(std::chrono::milliseconds timeout, std::uint64_t at_least) const {
    const auto deadline = Clock::now() + timeout;
    int quiet = 0;
    while (Clock::now() < deadline) {
        int unread = 0;
        bool line_up = true;
        {
            // The line may be hung up (closed) by the radio's thread meanwhile.
            std::lock_guard lock(mutex_);
            line_up = master_ >= 0;
            if (!line_up || ioctl(master_, FIONREAD, &unread) != 0) unread = 0;
        }
        const bool all_came = !line_up || bytes_received_ >= at_least;
        // Idle twice in a row with nothing unread: everything sent has been handled.
        quiet = idle_ && unread == 0 && all_came ? quiet + 1 : 0;
        if (quiet == 2) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

RadioImage SimulatedRadio::memory() const {
    std::lock_guard lock(mutex_);
    return memory_;
}

RadioRecord SimulatedRadio::record() const {
    std::lock_guard lock(mutex_);
    RadioRecord r = record_;
    r.bytes_received = bytes_received_;
    r.bytes_sent = bytes_sent_;
    r.pause_edges = pause_edges_;
    return r;
}

void SimulatedRadio::Log(const std::string& line) {
    if (options_.log) options_.log(line);
}

std::optional<std::uint8_t> SimulatedRadio::Next(std::optional<std::chrono::milliseconds> timeout) {
    if (pending_pos_ == pending_.size()) {
        pending_.clear();
        pending_pos_ = 0;
        const auto deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
        while (pending_.empty()) {
            if (stopping_) return std::nullopt;
            pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {master_, POLLIN, 0}};
            int wait = -1;
            if (timeout) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) return std::nullopt;
                wait = static_cast<int>(left.count());
            }
            const int n = poll(fds, master_ >= 0 ? 2 : 1, wait);
            if (n < 0 && errno != EINTR) return std::nullopt;
            if (n <= 0 || fds[0].revents) continue;
            std::uint8_t chunk[4096];
            const ssize_t r = ::read(master_, chunk, sizeof chunk);
            if (r > 0) {
                idle_ = false;  // busy from the moment bytes have come
                pending_.assign(chunk, chunk + r);
                // The chunk has just arrived; on a paced line its bytes arrive one wire time
                // after another from now on.
                if (options_.paced) rx_done_ = std::max(rx_done_, Clock::now());
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                // Nobody has the line open: wait for the next reader without spinning.
                poll(fds, 1, 5);
            }
        }
    }
    const std::uint8_t b = pending_[pending_pos_++];
    {
        std::lock_guard lock(mutex_);
        record_.received.push_back(b);
    }
    ++bytes_received_;
    if (options_.paced) {
        rx_done_ = std::max(rx_done_, tx_done_) + kByteTime;
        std::this_thread::sleep_until(rx_done_);
    }
    return b;
}

bool SimulatedRadio::NextBytes(std::uint8_t* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const auto next = Next(kByteWait);
        if (!next) return false;
        data[i] = *next;
    }
    return true;
}

void SimulatedRadio::Send(const std::uint8_t* data, std::size_t n) {
    if (master_ < 0 || n == 0) return;
    // On a paced line byte i of the burst has fully arrived at start + (i + 1) wire times; the
    // bytes due are written together, so a late wake-up does not delay the ones after it. The
    // burst starts when the line's last byte is done (a reply follows the command it answers at
    // once, as a radio's UART does), not when this thread happens to run: its sleep through the
    // command's last byte may have ended late, and that is this machine's, not the line's. A
    // pause moves the line's time on (see Pause).
    const auto start = options_.paced ? std::max(tx_done_, rx_done_) : Clock::time_point{};
    const auto due = [&](std::size_t i) { return start + kByteTime * static_cast<long>(i + 1); };
    for (std::size_t i = 0; i < n;) {
        std::size_t count = n - i;
        if (options_.paced) {
            std::this_thread::sleep_until(due(i));
            const auto now = Clock::now();
            count = 1;
            while (i + count < n && due(i + count) <= now) ++count;
        }
        bytes_sent_ += count;  // before the far end can have them
        const ssize_t w = ::write(master_, data + i, count);
        bytes_sent_ -= count - static_cast<std::size_t>(std::max<ssize_t>(w, 0));
        if (w > 0) {
            i += static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 10);
        } else {
            return;
        }
    }
    if (options_.paced) tx_done_ = due(n - 1);
}

void SimulatedRadio::Pause(std::chrono::milliseconds delay) {
    // A pause the radio makes on purpose is not work in hand: everything it will do before the
    // pause ends has been done, which is what Drain() waits for.
    ++pause_edges_;
    const bool was_idle = idle_.exchange(pending_pos_ == pending_.size());
    std::this_thread::sleep_for(delay);
    if (options_.paced) rx_done_ = std::max(rx_done_, Clock::now());
    ++pause_edges_;
    idle_ = was_idle;
}

void SimulatedRadio::Serve() {
    // Wire pacing wants sleeps that end on time.
    if (options_.paced) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stopping_) {
        idle_ = pending_pos_ == pending_.size();
        const auto b = Next(std::nullopt);
        idle_ = false;
        if (!b) continue;
        if (!silent_) Handle(*b);
    }
}

void SimulatedRadio::Handle(std::uint8_t first) {
    if (first == kWakeUp[0]) return HandleWakeUp();
    if (!awake_) return;
    switch (first) {
        case 'M': {
            const auto second = Next(kByteWait);
            if (second != kIdentRequest[1]) return;
            {
                std::lock_guard lock(mutex_);
                ++record_.idents;
            }
            Send(memory_.data() + kIdentAddress, options_.ident_length);
            ident_sent_ = true;
            return;
        }
        case kAck:
            if (std::exchange(ident_sent_, false) && options_.refuse_ident_ack) {
                Log("not answering the acknowledgement of the ident");
                return;
            }
            if (withhold_acks_ != 0) {
                if (withhold_acks_ > 0) --withhold_acks_;
                std::lock_guard lock(mutex_);
                ++record_.acks_withheld;
                return;
            }
            if (std::exchange(junk_next_ack_, false)) SendJunk();
            if (std::exchange(late_next_ack_, false)) {
                Log("answering an acknowledgement late");
                Pause(options_.late_ack_delay);
            }
            Send(&kAck, 1);
            return;
        case kReadCommand:
            return HandleRead();
        case kWriteCommand:
            return HandleWrite();
        case 'E':
            return HandleEnd();
        default:
            return;
    }
}

void SimulatedRadio::HandleWakeUp() {
    std::size_t matched = 1;
    while (matched < std::size(kWakeUp)) {
        const auto b = Next(kByteWait);
        if (!b) return;
        if (*b == kWakeUp[matched]) {
            ++matched;
        } else {
            matched = *b == kWakeUp[0] ? 1 : 0;
            if (matched == 0) return;
        }
    }
    withhold_acks_ = 0;
    ident_sent_ = false;
    late_next_ack_ = false;
    junk_next_ack_ = false;
    {
        std::lock_guard lock(mutex_);
        ++record_.wake_ups;
    }
    if (ignored_wake_ups_ < options_.wake_after) {
        ++ignored_wake_ups_;
        return;
    }
    ignored_wake_ups_ = 0;
    if (options_.wake_delay.count() > 0) Pause(options_.wake_delay);
    awake_ = true;
    {
        std::lock_guard lock(mutex_);
        ++record_.answered_wake_ups;
    }
    Send(&kAck, 1);
}

bool SimulatedRadio::CountBlockAndMaybeVanish() {
    std::lock_guard lock(mutex_);
    const int answered = record_.blocks_read + record_.blocks_written;
    if (!options_.vanish_after || answered < *options_.vanish_after) return false;
    record_.vanished = true;
    silent_ = true;
    if (options_.hang_up && master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    return true;
}

bool SimulatedRadio::Strikes(const std::optional<ReplyFault>& fault, int& used, std::uint32_t a) {
    if (!fault || (fault->block && *fault->block != a)) return false;
    if (fault->times >= 0 && used >= fault->times) return false;
    ++used;
    std::lock_guard lock(mutex_);
    ++record_.replies_struck;
    return true;
}

void SimulatedRadio::SendJunk() {
    // Begins with the bytes the software looks for, then noise.
    std::vector<std::uint8_t> junk(options_.junk_length);
    for (std::size_t i = 0; i < junk.size(); ++i)
        junk[i] = i == 0   ? kAck
                  : i == 1 ? kWriteCommand
                           : static_cast<std::uint8_t>(0x5A ^ (i * 37));
    Send(junk.data(), junk.size());
}

void SimulatedRadio::HandleRead() {
    std::uint8_t head[3];
    if (!NextBytes(head, sizeof head)) return;
    const std::uint32_t a = static_cast<std::uint32_t>(head[0] << 8 | head[1]);
    const std::uint32_t len = head[2];
    if (len == 0 || len > kMaxBlock || a + len > kImageSize) return;
    if (CountBlockAndMaybeVanish()) {
        Log("vanished at the read of " + Hex(a));
        return;
    }
    // Another block of the same length: within the image and the same 128-byte block frame.
    const std::uint32_t from = Strikes(options_.misdirect, misdirect_used_, a) ? a ^ 0x80 : a;
    if (from != a) Log("answering the read of " + Hex(a) + " with " + Hex(from));
    std::uint8_t reply[kBlockHeader + kMaxBlock] = {kWriteCommand,
                                                    static_cast<std::uint8_t>(from >> 8),
                                                    static_cast<std::uint8_t>(from), head[2]};
    {
        std::lock_guard lock(mutex_);
        std::memcpy(reply + kBlockHeader, memory_.data() + from, len);
        ++record_.blocks_read;
        record_.read_addresses.push_back(a);
    }
    if (Strikes(options_.junk, junk_used_, a)) {
        Log("junk before the reply to " + Hex(a));
        SendJunk();
        junk_next_ack_ = options_.junk_before_ack;
    }
    if (Strikes(options_.stall, stall_used_, a)) {
        Log("stalling half-way through the reply to " + Hex(a));
        const std::size_t first = kBlockHeader + len / 2;
        Send(reply, first);
        Pause(options_.stall_delay);
        Send(reply + first, kBlockHeader + len - first);
    } else {
        Send(reply, kBlockHeader + len);
    }
    if (Strikes(options_.late_ack, late_ack_used_, a)) late_next_ack_ = true;
    if (options_.fail_block == a) {
        withhold_acks_ = options_.fail_acks < 0 ? -1 : options_.fail_acks;
        Log("withholding the acknowledgement of the read of " + Hex(a));
    }
}

void SimulatedRadio::HandleWrite() {
    std::uint8_t head[3];
    if (!NextBytes(head, sizeof head)) return;
    const std::uint32_t a = static_cast<std::uint32_t>(head[0] << 8 | head[1]);
    const std::uint32_t len = head[2];
    if (len == 0 || len > kMaxBlock || a + len > kImageSize) return;
    std::uint8_t data[kMaxBlock];
    if (!NextBytes(data, len)) return;
    if (CountBlockAndMaybeVanish()) {
        Log("vanished at the write of " + Hex(a));
        return;
    }
    if (options_.fail_block == a) {
        std::lock_guard lock(mutex_);
        ++record_.acks_withheld;
        Log("refusing the write of " + Hex(a));
        return;
    }
    if (options_.drop_block == a) {
        {
            std::lock_guard lock(mutex_);
            ++record_.blocks_dropped;
        }
        Log("dropping the write of " + Hex(a));
        wrote_in_session_ = true;
        Send(&kAck, 1);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        std::memcpy(memory_.data() + a, data, len);
        for (std::uint32_t i = 0; i < len; ++i) record_.written.set(a + i);
        ++record_.blocks_written;
    }
    wrote_in_session_ = true;
    Send(&kAck, 1);
}

void SimulatedRadio::HandleEnd() {
    std::uint8_t rest[3];
    if (!NextBytes(rest, sizeof rest)) return;
    if (rest[0] != 'N' || rest[1] != 'D' || (rest[2] != 'R' && rest[2] != 'W')) return;
    const std::string marker = rest[2] == 'R' ? "ENDR" : "ENDW";
    awake_ = false;
    int read = 0, written = 0;
    {
        std::lock_guard lock(mutex_);
        record_.end_markers.push_back(marker);
        read = record_.blocks_read;
        written = record_.blocks_written;
    }
    Log(marker + " (blocks so far: " + std::to_string(read) + " read, " + std::to_string(written) +
        " written)");
    if (marker == "ENDW" && wrote_in_session_ && !options_.save_to.empty() && options_.save_file) {
        const RadioImage snapshot = memory();
        if (options_.save_file(options_.save_to, header_, snapshot)) {
            std::lock_guard lock(mutex_);
            ++record_.saves;
        }
        Log("saved " + options_.save_to.string());
    }
    wrote_in_session_ = false;
}

}  // namespace vm
