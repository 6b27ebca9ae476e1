#include "app/link/clone_worker.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace vm {

std::atomic<bool> g_bTransferBusy{false};
std::atomic<bool> g_bTransferCancel{false};

bool MatchesAccessCode(std::string_view typed) {
    return std::equal(typed.begin(), typed.end(), kAccessCode.begin(), kAccessCode.end(),
                      [](char a, char b) {
                          return std::toupper(static_cast<unsigned char>(a)) ==
                                 std::toupper(static_cast<unsigned char>(b));
                      });
}

const char* OutcomeName(TransferOutcome outcome) {
    switch (outcome) {
        case TransferOutcome::Done:
            return "done";
        case TransferOutcome::Cancelled:
            return "cancelled";
        case TransferOutcome::PortOpenFailed:
            return "port open failed";
        case TransferOutcome::NoWakeUp:
            return "no answer to the wake-up";
        case TransferOutcome::ShortIdent:
            return "short ident";
        case TransferOutcome::NoIdentAck:
            return "ident not acknowledged";
        case TransferOutcome::PasswordRefused:
            return "access code refused";
        case TransferOutcome::BlockFailed:
            return "block failed";
        case TransferOutcome::InvalidRanges:
            return "invalid ranges";
    }
    return "?";
}

std::string OpenPortFailDetail(std::string_view port, int error) {
    std::string text(port.empty() ? std::string_view("(no port)") : port);
    text += ": ";
    text += error != 0 ? std::strerror(error) : "the port cannot be opened";
    if (error == EACCES || error == EPERM)
        text +=
            ".\nThe user may open serial ports as a member of the \"dialout\" group "
            "(sudo usermod -aG dialout $USER, then log in again).";
    else if (error == EBUSY)
        text += ": another program holds the port.";
    else
        text += ".";
    return text;
}

std::string CommunicationErrorDetail(TransferOutcome outcome, std::uint32_t block) {
    char address[8];
    std::snprintf(address, sizeof address, "0x%04X", static_cast<unsigned>(block & 0xFFFF));
    switch (outcome) {
        case TransferOutcome::NoWakeUp:
            return "The radio did not answer the wake-up (9 attempts): is it on, in its "
                   "programming mode, and the cable plugged in?";
        case TransferOutcome::ShortIdent:
            return "The radio's identification was incomplete.";
        case TransferOutcome::NoIdentAck:
            return "The radio did not acknowledge its identification.";
        case TransferOutcome::BlockFailed:
            return std::string("The radio did not answer the block at ") + address + ".";
        default:
            return OutcomeName(outcome);
    }
}

bool IsValidRangeTable(const TransferRangeTable& t) {
    if (t.count > TransferRangeTable::kMaxRanges) return false;
    for (std::size_t r = 0; r < t.count; ++r)
        if (t.start[r] > t.end[r] || t.end[r] > kImageSize) return false;
    return true;
}

// The port and the buffers of one run of the worker.
class CloneWorker::Session {
public:
    explicit Session(CloneWorker& w) : w_(w), timing_(w.options_.timing) {}

    TransferOutcome Run(bool flags_claimed);

private:
    void Send(const std::uint8_t* data, std::size_t n) {
        std::size_t put = 0;
        port_->Write(data, n, put);
    }
    template <std::size_t N>
    void Send(const std::uint8_t (&data)[N]) {
        Send(data, N);
    }
    std::size_t Receive(std::uint8_t* data, std::size_t n) {
        std::size_t got = 0;
        port_->Read(data, n, got);
        return got;
    }
    bool ReceiveAck() {
        std::uint8_t b = 0;
        return Receive(&b, 1) == 1 && b == kAck;
    }
    // Whether anything has come that has not been read, without waiting; what came is dropped.
    bool TakeStrayBytes() {
        CommTimeouts at_once = timing_.timeouts;
        at_once.read_interval = CommTimeouts::kMaxTimeout;
        at_once.read_total_multiplier = 0;
        at_once.read_total_constant = 0;
        port_->SetTimeouts(at_once);
        std::array<std::uint8_t, kMaxBlock> stray{};
        const std::size_t got = Receive(stray.data(), stray.size());
        port_->SetTimeouts(timing_.timeouts);
        return got > 0;
    }
    // Lets a reply that went wrong run out: whatever still comes is dropped until a one-byte
    // read's time-out has passed in silence (or an input buffer's worth has been dropped).
    void Settle() {
        std::uint8_t b = 0;
        for (std::size_t n = 0; n < kInputBufferSize && Receive(&b, 1) == 1; ++n) {
        }
    }
    void Purge() { port_->Purge(); }
    void Sleep(std::chrono::microseconds d) {
        if (d.count() > 0) std::this_thread::sleep_for(d);
    }
    void Message(std::string_view text, std::string_view detail = {}) {
        if (w_.callbacks_.message) w_.callbacks_.message(text, detail);
    }
    // Every way out: the port closed, busy cleared, then the dialog told to close.
    TransferOutcome Finish(TransferOutcome outcome) {
        if (port_) port_->Close();
        if (outcome == TransferOutcome::Done) w_.success_ = true;
        w_.options_.flags.busy->store(false);
        if (w_.callbacks_.post_cancel) w_.callbacks_.post_cancel();
        return outcome;
    }
    TransferOutcome Fail(TransferOutcome outcome, std::uint32_t block = 0) {
        w_.detail_ = CommunicationErrorDetail(outcome, block);
        Message(kCommunicationError, w_.detail_);
        return Finish(outcome);
    }

    bool WakeUp();
    bool Handshake(TransferOutcome& failure);
    std::optional<TransferOutcome> ProbeProtection();
    enum class Reply { Block, Nothing, Wrong };
    Reply RequestBlock(std::uint32_t a, std::uint32_t len, std::uint8_t* data);
    bool ReadBlock(std::uint32_t a, std::uint32_t len, std::uint8_t* data, bool ack_examined);
    TransferOutcome ReadBlocks();
    TransferOutcome WriteBlocks();
    void Progress();

    CloneWorker& w_;
    const LinkTiming& timing_;
    std::unique_ptr<SerialPort> port_;
    int retries_ = 0;  // wake-up retries of the whole transfer
    int position_ = 0;
    int upper_ = 0;
};

TransferOutcome CloneWorker::Session::Run(bool flags_claimed) {
    TransferFlags& flags = w_.options_.flags;
    if (!flags_claimed) {
        flags.busy->store(true);
        flags.cancel->store(false);
    }
    w_.success_ = false;
    w_.detail_.clear();
    if (!IsValidRangeTable(w_.table_)) return Finish(TransferOutcome::InvalidRanges);
    upper_ = CountBlocks(w_.table_);

    port_ = w_.options_.make_port();
    if (!port_ || !port_->Open(w_.port_path_)) {
        const std::string& label =
            w_.options_.port_label.empty() ? w_.port_path_ : w_.options_.port_label;
        w_.detail_ = OpenPortFailDetail(label, port_ ? port_->OpenError() : 0);
        Message(kOpenPortFail, w_.detail_);
        return Finish(TransferOutcome::PortOpenFailed);
    }
    if (w_.callbacks_.disable_start) w_.callbacks_.disable_start();
    port_->SetBufferSizes(kInputBufferSize, kOutputBufferSize);
    port_->SetTimeouts(timing_.timeouts);
    port_->SetLine(LineSettings{});

    TransferOutcome failure{};
    if (!Handshake(failure)) return Fail(failure);
    if (const auto refused = ProbeProtection()) return *refused;
    if (!Handshake(failure)) return Fail(failure);

    return w_.table_.direction == TransferDirection::Read ? ReadBlocks() : WriteBlocks();
}

bool CloneWorker::Session::WakeUp() {
    for (;;) {
        for (const std::uint8_t b : kWakeUp) {
            Sleep(timing_.wake_byte_sleep);
            Purge();
            Send(&b, 1);
        }
        if (ReceiveAck()) return true;
        const auto started = std::chrono::steady_clock::now();
        do {
            if (ReceiveAck()) return true;
        } while (std::chrono::steady_clock::now() - started <= timing_.handshake_window);
        if (retries_ == kWakeUpRetries) return false;
        ++retries_;
    }
}

bool CloneWorker::Session::Handshake(TransferOutcome& failure) {
    if (!WakeUp()) {
        failure = TransferOutcome::NoWakeUp;
        return false;
    }
    std::array<std::uint8_t, kMaxBlock> buffer{};
    Purge();
    Send(kIdentRequest);
    if (Receive(buffer.data(), kIdentLength) < kIdentLength) {
        failure = TransferOutcome::ShortIdent;
        return false;
    }
    buffer.fill(0);
    Purge();
    Send(&kAck, 1);
    if (!ReceiveAck()) {
        failure = TransferOutcome::NoIdentAck;
        return false;
    }
    return true;
}

std::optional<TransferOutcome> CloneWorker::Session::ProbeProtection() {
    std::array<std::uint8_t, kMaxBlock> probe{};
    // The answer to the probe's acknowledgement is not examined; its reply is, like a block's.
    if (!ReadBlock(kProbeAddress, kMaxBlock, probe.data(), false))
        return Fail(TransferOutcome::BlockFailed, kProbeAddress);
    if (probe[SideRecord::kProtectionFlag] != kProtected) return std::nullopt;

    std::optional<std::string> typed;
    if (w_.callbacks_.password) typed = w_.callbacks_.password();
    if (typed && MatchesAccessCode(*typed)) return std::nullopt;
    w_.detail_ = typed ? kAccessCodeWrong : kAccessCodeNotGiven;
    return Finish(TransferOutcome::PasswordRefused);
}

// The command of a read block and the radio's reply: the header it echoes ("W", the address,
// the length) and the data.
CloneWorker::Session::Reply CloneWorker::Session::RequestBlock(std::uint32_t a, std::uint32_t len,
                                                               std::uint8_t* data) {
    const std::uint8_t command[] = {kReadCommand, static_cast<std::uint8_t>(a >> 8),
                                    static_cast<std::uint8_t>(a & 0xFF),
                                    static_cast<std::uint8_t>(len)};
    Purge();
    Send(command);
    // The data is read even when the header came short: the read's time-out is part of the
    // wait before the acknowledgement.
    std::array<std::uint8_t, kBlockHeader> header{};
    const std::size_t got_header = Receive(header.data(), kBlockHeader);
    const std::size_t got_data = Receive(data, len);
    if (got_header == 0 && got_data == 0) return Reply::Nothing;
    const std::uint8_t echo[kBlockHeader] = {kWriteCommand, command[1], command[2], command[3]};
    const bool exact = got_header == kBlockHeader && got_data == len &&
                       std::equal(header.begin(), header.end(), echo);
    return exact ? Reply::Block : Reply::Wrong;
}

// One read block in at most four attempts. Each attempt ends with the acknowledgement (sleep,
// purge, "A", one byte back), so the radio always sees whole exchanges. The data counts only
// when the reply was exactly the block asked for, nothing came after it before the
// acknowledgement, and (when `ack_examined`) the radio answered "A". A reply that was anything
// else (another header, too few bytes, stray bytes around it) is never taken as data: once the
// line has fallen quiet the block is asked for again. A reply of which nothing came is not asked
// for again; its later attempts only repeat the acknowledgement.
bool CloneWorker::Session::ReadBlock(std::uint32_t a, std::uint32_t len, std::uint8_t* data,
                                     bool ack_examined) {
    bool ask = true;
    bool have = false;
    for (int attempt = 0; attempt < kAckAttempts; ++attempt) {
        if (ask) {
            if (attempt > 0) Settle();
            const Reply reply = RequestBlock(a, len, data);
            have = reply == Reply::Block;
            ask = reply == Reply::Wrong;
        }
        Sleep(timing_.ack_sleep);
        // Bytes before the acknowledgement that no read has asked for: the stream is not what
        // the reply seemed to be.
        if (TakeStrayBytes()) {
            have = false;
            ask = true;
        }
        Purge();
        Send(&kAck, 1);
        const bool acknowledged = ReceiveAck();
        if (have && (acknowledged || !ack_examined)) return true;
        if (!ack_examined && !ask) return false;
    }
    return false;
}

void CloneWorker::Session::Progress() {
    ++position_;
    if (!w_.callbacks_.progress) return;
    const int percent = upper_ > 0 ? position_ * 100 / upper_ : 100;
    char text[16];
    std::snprintf(text, sizeof text, "%d%%", percent);
    w_.callbacks_.progress(position_, upper_, text);
}

TransferOutcome CloneWorker::Session::ReadBlocks() {
    const TransferRangeTable& t = w_.table_;
    // The blocks are gathered here and replace the ranges only when the transfer succeeds.
    auto gathered = std::make_unique<RadioImage>(w_.image_);
    std::array<std::uint8_t, kMaxBlock> block{};
    for (std::size_t r = 0; r < t.count; ++r) {
        for (std::uint32_t a = t.start[r]; a < t.end[r];) {
            const std::uint32_t len = BlockLength(a, t.end[r]);
            if (!ReadBlock(a, len, block.data(), true))
                return Fail(TransferOutcome::BlockFailed, a);
            std::memcpy(gathered->data() + a, block.data(), len);
            Progress();
            if (w_.options_.flags.cancel->load()) {
                Send(kEndWrite);
                return Finish(TransferOutcome::Cancelled);
            }
            a += len;
        }
    }
    Send(kEndRead);
    for (std::size_t r = 0; r < t.count; ++r)
        std::copy(gathered->begin() + t.start[r], gathered->begin() + t.end[r],
                  w_.image_.begin() + t.start[r]);
    return Finish(TransferOutcome::Done);
}

TransferOutcome CloneWorker::Session::WriteBlocks() {
    const TransferRangeTable& t = w_.table_;
    std::array<std::uint8_t, kMaxBlock> data{};
    for (std::size_t r = 0; r < t.count; ++r) {
        for (std::uint32_t a = t.start[r]; a < t.end[r];) {
            const std::uint32_t len = BlockLength(a, t.end[r]);
            std::memcpy(data.data(), w_.image_.data() + a, len);
            Purge();
            const std::uint8_t command[] = {kWriteCommand, static_cast<std::uint8_t>(a >> 8),
                                            static_cast<std::uint8_t>(a & 0xFF),
                                            static_cast<std::uint8_t>(len)};
            Send(command);
            Send(data.data(), len);
            if (!ReceiveAck()) {
                w_.detail_ = CommunicationErrorDetail(TransferOutcome::BlockFailed, a);
                Message(kCommunicationError, w_.detail_);
                Send(kEndWrite);
                return Finish(TransferOutcome::BlockFailed);
            }
            Progress();
            if (w_.options_.flags.cancel->load()) {
                Send(kEndWrite);
                return Finish(TransferOutcome::Cancelled);
            }
            a += len;
        }
    }
    Send(kEndWrite);
    return Finish(TransferOutcome::Done);
}

CloneWorker::CloneWorker(RadioImage& image, const TransferRangeTable& table, std::string port_path,
                         TransferCallbacks callbacks, CloneWorkerOptions options)
    : image_(image),
      table_(table),
      port_path_(std::move(port_path)),
      callbacks_(std::move(callbacks)),
      options_(std::move(options)) {}

namespace {

// The protocol's pauses are short and exact (2 ms before each wake-up byte, 10 ms before each
// acknowledgement of a read block). Linux lets a thread's timers end up to 50 us late so that
// it can serve several with one wake-up; over 500 blocks that is a visible share of a transfer.
// For its length the transfer's thread asks for its timers on time, then gives the setting back.
class ExactTimers {
public:
#ifdef __linux__
    ExactTimers() : before_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
        if (before_ > 0) prctl(PR_SET_TIMERSLACK, kSlackNanoseconds, 0, 0, 0);
    }
    ~ExactTimers() {
        if (before_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(before_), 0, 0, 0);
    }

private:
    static constexpr unsigned long kSlackNanoseconds = 1000;
    int before_;
#endif
};

}  // namespace

TransferOutcome CloneWorker::Run(bool flags_claimed) {
    [[maybe_unused]] const ExactTimers exact_timers{};
    Session session(*this);
    return session.Run(flags_claimed);
}

// ---------------------------------------------------------------------------------------------

TransferSession::TransferSession(RadioImage& image, TransferRangeTable table, std::string port_path,
                                 TransferCallbacks callbacks, CloneWorkerOptions options)
    : table_(std::move(table)),
      flags_(options.flags),
      upper_(IsValidRangeTable(table_) ? CountBlocks(table_) : 0),
      worker_(image, table_, std::move(port_path), std::move(callbacks), std::move(options)) {}

TransferSession::~TransferSession() {
    Join();
}

bool TransferSession::Initialise(bool extended_range) {
    return extended_range && Start();
}

bool TransferSession::Start() {
    // The flags are claimed here, not on the worker's thread: a second Start cannot launch a
    // second worker before the first has set busy, and an Exit pressed at once is not undone.
    bool idle = false;
    if (thread_.joinable() || !flags_.busy->compare_exchange_strong(idle, true)) return false;
    flags_.cancel->store(false);
    thread_ = std::thread([this] {
        outcome_ = worker_.Run(true);
        finished_ = true;
    });
    return true;
}

bool TransferSession::Exit() {
    flags_.cancel->store(true);
    return !flags_.busy->load();
}

void TransferSession::Join() {
    if (thread_.joinable()) thread_.join();
}

std::optional<TransferOutcome> TransferSession::outcome() const {
    if (!finished_) return std::nullopt;
    return outcome_.load();
}

std::string TransferSession::detail() const {
    if (!finished_) return {};
    return worker_.detail();
}

}  // namespace vm
