// Fuzzes the clone worker against a radio whose every answer the input decides: answered as a
// radio does, not at all, cut short, with a byte changed, with bytes added, replaced by other
// bytes, preceded by a stray byte, or twice. Once the input runs out the radio answers
// correctly, so an empty input is a whole good transfer.
//
// Invariants: a read that reports success holds, for every block, exactly the data of the last
// reply the radio sent for it, and that reply was exactly the block asked for; outside the ranges
// (and after any failure) the image is unchanged. A write that reports success delivered every
// block once, in order, with the image's bytes. A protected radio is read or written only with
// the access code. The worker sends nothing the protocol does not have.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/link/clone_worker.h"
#include "fuzz/fuzz_support.h"

using namespace vm;

namespace {

using Burst = std::vector<std::uint8_t>;

struct WrittenBlock {
    std::uint32_t address;
    Burst data;
};

// What the radio holds and what it did, shared by the port and the checks.
struct RadioState {
    std::array<std::uint8_t, kImageSize> memory{};
    bool protect = false;
    bool refuse_open = false;
    // Per read address: the last reply sent and whether it was exactly the block.
    std::map<std::uint32_t, std::pair<bool, Burst>> last_reply;
    // Per address: the data byte of the last exact reply that carried it (-1: none). Ranges may
    // overlap with other block boundaries, so a byte holds what the last block over it brought.
    std::vector<int> last_byte = std::vector<int>(kImageSize, -1);
    std::vector<WrittenBlock> written;  // write blocks the radio received, in order
    bool ended = false;                 // "ENDR" or "ENDW" came
};

class FuzzedRadioPort : public SerialPort {
public:
    FuzzedRadioPort(fuzz::Bytes& in, RadioState& radio) : in_(in), radio_(radio) {}

    bool Open(const std::string&) override {
        open_ = !radio_.refuse_open;
        return open_;
    }
    bool IsOpen() const override { return open_; }
    void Close() override { open_ = false; }
    bool SetBufferSizes(std::size_t, std::size_t) override { return open_; }
    bool SetTimeouts(const CommTimeouts&) override { return open_; }
    bool SetLine(const LineSettings&) override { return open_; }
    bool Purge() override {
        pending_.clear();
        return open_;
    }
    // Whatever is there at once: a time-out takes no time here.
    bool Read(std::uint8_t* data, std::size_t n, std::size_t& got) override {
        fuzz::Check(open_, "the worker read from a closed port");
        got = std::min(n, pending_.size());
        std::copy_n(pending_.begin(), got, data);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(got));
        return true;
    }
    bool Write(const std::uint8_t* data, std::size_t n, std::size_t& put) override {
        fuzz::Check(open_, "the worker wrote to a closed port");
        fuzz::Check(!radio_.ended, "the worker sent more after its end marker");
        heard_.insert(heard_.end(), data, data + n);
        put = n;
        Parse();
        return true;
    }

private:
    // Sends `reply`, or what the input makes of it. Returns what was sent.
    Burst Answer(Burst reply) {
        const std::uint8_t how = in_.Byte();
        switch (how % 8) {
            case 1:
                reply.clear();
                break;
            case 2:
                if (!reply.empty()) reply.resize(reply.size() - 1 - in_.Byte() % reply.size());
                break;
            case 3:
                if (!reply.empty()) reply[in_.Byte() % reply.size()] ^= in_.Byte() | 1;
                break;
            case 4:
                for (int i = in_.Byte() % 4; i >= 0; --i) reply.push_back(in_.Byte());
                break;
            case 5: {
                const std::string_view other = in_.Take(in_.Byte() % 140);
                reply.assign(other.begin(), other.end());
                break;
            }
            case 6:
                reply.insert(reply.begin(), in_.Byte());
                break;
            case 7: {
                const Burst copy = reply;
                reply.insert(reply.end(), copy.begin(), copy.end());
                break;
            }
            default:
                break;
        }
        pending_.insert(pending_.end(), reply.begin(), reply.end());
        return reply;
    }

    void Drop(std::size_t n) {
        heard_.erase(heard_.begin(), heard_.begin() + static_cast<std::ptrdiff_t>(n));
    }

    // Takes every whole command heard so far.
    void Parse() {
        for (;;) {
            if (heard_.empty()) return;
            const std::uint8_t c = heard_[0];
            if (c == kWakeUp[0]) {
                if (heard_.size() < sizeof kWakeUp) return;
                fuzz::Check(std::equal(kWakeUp, kWakeUp + sizeof kWakeUp, heard_.begin()),
                            "a wake-up that is not the wake-up");
                Drop(sizeof kWakeUp);
                Answer({kAck});
            } else if (c == kIdentRequest[0]) {
                if (heard_.size() < 2) return;
                fuzz::Check(heard_[1] == kIdentRequest[1], "an ident request that is not one");
                Drop(2);
                Burst ident(kIdentLength);
                for (std::size_t i = 0; i < ident.size(); ++i)
                    ident[i] = static_cast<std::uint8_t>('0' + i);
                Answer(ident);
            } else if (c == kAck) {
                Drop(1);
                Answer({kAck});
            } else if (c == kReadCommand) {
                if (heard_.size() < kBlockHeader) return;
                const std::uint32_t a = std::uint32_t{heard_[1]} << 8 | heard_[2];
                const std::uint32_t len = heard_[3];
                Drop(kBlockHeader);
                fuzz::Check(len > 0 && len <= kMaxBlock && a + len <= kImageSize,
                            "a read block outside the image");
                Burst reply = {kWriteCommand, static_cast<std::uint8_t>(a >> 8),
                               static_cast<std::uint8_t>(a & 0xFF), static_cast<std::uint8_t>(len)};
                reply.insert(reply.end(), radio_.memory.begin() + a,
                             radio_.memory.begin() + a + len);
                const Burst header(reply.begin(), reply.begin() + kBlockHeader);
                const Burst sent = Answer(reply);
                const bool exact = sent.size() == kBlockHeader + len &&
                                   std::equal(header.begin(), header.end(), sent.begin());
                radio_.last_reply[a] = {
                    exact, Burst(sent.begin() + std::min(sent.size(), kBlockHeader), sent.end())};
                if (exact) {
                    for (std::uint32_t i = 0; i < len; ++i)
                        radio_.last_byte[a + i] = sent[kBlockHeader + i];
                }
            } else if (c == kWriteCommand) {
                if (heard_.size() < kBlockHeader) return;
                const std::uint32_t len = heard_[3];
                if (heard_.size() < kBlockHeader + len) return;
                const std::uint32_t a = std::uint32_t{heard_[1]} << 8 | heard_[2];
                fuzz::Check(len > 0 && len <= kMaxBlock && a + len <= kImageSize,
                            "a write block outside the image");
                Burst data(heard_.begin() + kBlockHeader, heard_.begin() + kBlockHeader + len);
                Drop(kBlockHeader + len);
                radio_.written.push_back({a, std::move(data)});
                Answer({kAck});
            } else if (c == kEndRead[0]) {
                if (heard_.size() < 4) return;
                fuzz::Check(std::equal(kEndRead, kEndRead + 3, heard_.begin()) &&
                                (heard_[3] == kEndRead[3] || heard_[3] == kEndWrite[3]),
                            "an end marker that is not one");
                Drop(4);
                radio_.ended = true;
            } else {
                fuzz::Fail("the worker sent a byte that begins no command");
            }
        }
    }

    fuzz::Bytes& in_;
    RadioState& radio_;
    bool open_ = false;
    Burst heard_;    // sent by the worker, not yet taken as a command
    Burst pending_;  // sent by the radio, not yet read by the worker
};

TransferRangeTable ChooseTable(fuzz::Bytes& in) {
    switch (in.Byte() % 6) {
        case 0:
            return ProgramReadRanges();
        case 1:
            return ProgramWriteRanges(false);
        case 2:
            return ProgramWriteRanges(true);
        case 3:
            return CustomDataReadRanges();
        case 4:
            return CustomDataWriteRanges();
        default: {
            TransferRangeTable t;
            t.direction = in.Byte() & 1 ? TransferDirection::Write : TransferDirection::Read;
            // Ranges from the input, valid or not (start after end, past the image).
            t.count = static_cast<std::uint16_t>(in.Byte() % 4);
            for (std::size_t r = 0; r < t.count; ++r) {
                t.start[r] = in.Word();
                t.end[r] = std::uint32_t{in.Word()} + (in.Byte() & 1 ? 1 : 0);
            }
            return t;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const TransferRangeTable table = ChooseTable(in);
    const std::uint8_t setup = in.Byte();

    auto radio = std::make_unique<RadioState>();
    for (std::size_t a = 0; a < kImageSize; ++a)
        radio->memory[a] = static_cast<std::uint8_t>(a * 131 + (a >> 8) * 7 + setup);
    radio->protect = setup & 0x10;
    radio->refuse_open = (setup & 0xE0) == 0xE0;
    std::uint8_t& protection = radio->memory[kProbeAddress + SideRecord::kProtectionFlag];
    protection = radio->protect ? kProtected : (protection == kProtected ? 0 : protection);
    const bool right_code = setup & 0x20;

    auto image = std::make_unique<RadioImage>();
    for (std::size_t a = 0; a < kImageSize; ++a)
        (*image)[a] = static_cast<std::uint8_t>(~a ^ (a >> 8));
    const auto before = std::make_unique<RadioImage>(*image);

    std::atomic<bool> busy{false}, cancel{false};
    CloneWorkerOptions options;
    options.timing.wake_byte_sleep = {};
    options.timing.ack_sleep = {};
    options.timing.handshake_window = {};
    options.flags = {&busy, &cancel};
    bool opened = false;
    options.make_port = [&]() -> std::unique_ptr<SerialPort> {
        opened = true;
        return std::make_unique<FuzzedRadioPort>(in, *radio);
    };
    TransferCallbacks callbacks;
    bool asked = false;
    callbacks.password = [&]() -> std::optional<std::string> {
        asked = true;
        if (right_code) return std::string("5731rb");
        return in.Byte() & 1 ? std::optional<std::string>("5731RC") : std::nullopt;
    };
    CloneWorker worker(*image, table, "fuzzed radio", callbacks, options);
    const TransferOutcome outcome = worker.Run();

    fuzz::Check(!busy.load(), "busy still set after the worker ended");
    fuzz::Check(worker.success() == (outcome == TransferOutcome::Done),
                "success() disagrees with the outcome");
    if (!IsValidRangeTable(table)) {
        fuzz::Check(outcome == TransferOutcome::InvalidRanges && !opened,
                    "a range table outside the image was not refused before the port opened");
        fuzz::Check(*image == *before, "a refused range table changed the image");
        return 0;
    }
    if (outcome == TransferOutcome::PasswordRefused)
        fuzz::Check(radio->protect && asked && !right_code, "the access code refused wrongly");
    if (outcome == TransferOutcome::Done && radio->protect)
        fuzz::Check(asked && right_code, "a protected radio was used without the access code");
    if (outcome == TransferOutcome::Done)
        fuzz::Check(radio->ended, "a transfer reported done without its end marker");

    if (table.direction == TransferDirection::Write || outcome != TransferOutcome::Done) {
        fuzz::Check(*image == *before, "the image changed, though no read succeeded");
    } else {
        std::vector<bool> in_range(kImageSize, false);
        for (std::size_t r = 0; r < table.count; ++r) {
            for (std::uint32_t a = table.start[r]; a < table.end[r];) {
                const std::uint32_t len = BlockLength(a, table.end[r]);
                const auto reply = radio->last_reply.find(a);
                fuzz::Check(reply != radio->last_reply.end(), "a block taken that was never sent");
                fuzz::Check(reply->second.first,
                            "a block taken from a reply that was not the block");
                for (std::uint32_t i = a; i < a + len; ++i)
                    fuzz::Check(radio->last_byte[i] == (*image)[i],
                                "a block holds other data than the radio sent");
                std::fill_n(in_range.begin() + a, len, true);
                a += len;
            }
        }
        for (std::size_t a = 0; a < kImageSize; ++a)
            if (!in_range[a] && (*image)[a] != (*before)[a])
                fuzz::Fail("a read changed the image outside its ranges");
    }

    if (table.direction == TransferDirection::Write && outcome == TransferOutcome::Done) {
        std::size_t i = 0;
        for (std::size_t r = 0; r < table.count; ++r) {
            for (std::uint32_t a = table.start[r]; a < table.end[r]; ++i) {
                const std::uint32_t len = BlockLength(a, table.end[r]);
                fuzz::Check(i < radio->written.size(),
                            "a write reported done with a block missing");
                const WrittenBlock& b = radio->written[i];
                fuzz::Check(b.address == a && b.data.size() == len &&
                                std::equal(b.data.begin(), b.data.end(), image->begin() + a),
                            "a write block is not the image's block, or out of order");
                a += len;
            }
        }
        fuzz::Check(i == radio->written.size(), "more blocks written than the ranges hold");
    }
    return 0;
}
