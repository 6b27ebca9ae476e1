// Fuzzes usbser2k's serial requests as an application's handle makes them: the cable started on
// the simulated chip, the port opened through the host I/O layer, and the input (serial_script.h)
// a script of device controls (codes of the serial driver and a few unknown ones, lengths and
// input from the fuzzer), reads, writes, purges, waits on the mask, bytes and line states coming
// in, the clock moving on and cancels.
//
// Requests run on caller threads, as overlapping calls of several threads would: one that the
// driver keeps pending leaves the script going. After each step the script waits until every
// request has either returned or waits for something only a later step does (bytes, time, a
// cancel); the clock is virtual, so time-outs and the driver's own delays take no real time.
// With bit 6 of the first byte set the steps overlap instead: each starts at once, so that
// requests, purges, bytes and line changes meet inside one another's windows; a setting read
// back is then not compared with the one set (another caller may have set it meanwhile).
//
// What must hold: every call returns (at the latest once cancelled), returns no more than its
// output length and, failing, no bytes; a setting read back after a successful set is the one
// set; closing succeeds and leaves the device as before the open (no request counted, nothing
// allocated), and the port opens again; the driver frees everything it allocated.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "driver/core/chip_control.h"
#include "driver/platform/host_io.h"
#include "driver/usbser2k/usbser2k.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/serial_script.h"
#include "integration/cable_system.h"

using namespace vm::drv;
using namespace vm::fuzz::serial_script;
using vm::fuzz::Bytes;
using vm::fuzz::Check;

namespace {

// A thread that makes one call at a time for the script.
class Caller {
public:
    Caller() : thread_([this] { Run(); }) {}
    ~Caller() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    bool busy() const { return busy_.load(); }
    void Start(std::function<void()> call) {
        std::lock_guard lock(mutex_);
        busy_.store(true);
        call_ = std::move(call);
        changed_.notify_all();
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stop_ || call_; });
            if (stop_) return;
            std::function<void()> call = std::move(call_);
            call_ = nullptr;
            lock.unlock();
            call();
            lock.lock();
            busy_.store(false);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> call_;
    bool stop_ = false;
    std::atomic<bool> busy_{false};
    std::thread thread_;
};

constexpr std::size_t kCallers = 3;

// With VM_FUZZ_TRACE set, each step and each call's result go to stderr: an input that breaks
// an invariant reads as the plain calls a unit test makes.
bool Tracing() {
    static const bool on = std::getenv("VM_FUZZ_TRACE") != nullptr;
    return on;
}
template <class... Args>
void Trace(const char* format, Args... args) {
    if (Tracing()) std::fprintf(stderr, format, args...);
}
void TraceBytes(const char* what, std::span<const std::uint8_t> bytes) {
    if (!Tracing()) return;
    std::fprintf(stderr, "    %s", what);
    for (std::uint8_t b : bytes) std::fprintf(stderr, " %02X", b);
    std::fprintf(stderr, "\n");
}

// Callers live as long as the process: threads are not made per input.
Caller* Callers() {
    static Caller callers[kCallers];
    return callers;
}

std::uint32_t Dword(std::span<const std::uint8_t> bytes) {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data(), 4);
    return v;
}

const RatePair* TableEntry(std::uint32_t rate) {
    for (const RatePair& p : kRateTable) {
        if (p.rate == rate) return &p;
    }
    return nullptr;
}

std::uint32_t LengthOf(Bytes& in, std::uint32_t record) {
    switch (in.Byte() % kLengthModes) {
        case kExact:
            return record;
        case kZero:
            return 0;
        case kOneShort:
            return record > 0 ? record - 1 : 0;
        case kOneOver:
            return record + 1;
        case kByteLength:
            return in.Byte();
        default:
            return in.Word() % 512u;
    }
}

// A setting's set and get codes: after a successful set, the get gives back the bytes set; a
// set that failed leaves the setting as it was, except where the chip may have taken part of
// it (the handshake record goes to the chip register by register).
struct Mirror {
    std::uint32_t set;
    std::uint32_t get;
    std::uint32_t length;
    bool failureKeeps = true;
};
constexpr Mirror kMirrors[] = {
    {k::IOCTL_SERIAL_SET_TIMEOUTS, k::IOCTL_SERIAL_GET_TIMEOUTS, 20},
    {k::IOCTL_SERIAL_SET_WAIT_MASK, k::IOCTL_SERIAL_GET_WAIT_MASK, 4},
    {k::IOCTL_SERIAL_SET_CHARS, k::IOCTL_SERIAL_GET_CHARS, 6},
    {k::IOCTL_SERIAL_SET_HANDFLOW, k::IOCTL_SERIAL_GET_HANDFLOW, 16, false},
};
constexpr std::size_t kTimeoutsMirror = 0;
constexpr std::size_t kHandflowMirror = 3;

class Script {
public:
    Script(vm::integration::CableSystem& system, Bytes& in, bool loopback, bool overlap)
        : system_(system), in_(in), loopback_(loopback), overlap_(overlap) {}

    void Run() {
        Kernel& kernel = system_.kernel();
        const std::size_t poolBefore = kernel.pool().OutstandingCount();
        Open();
        k::Device& dev = file_->device()->Extension<k::Device>();
        const std::int32_t idleCount = dev.usb.ioCount.Value();

        for (std::size_t step = 0; step < kMaxSteps && !in_.empty(); ++step) {
            Step();
            if (!overlap_) Settle();
        }

        // Whatever is still pending returns once cancelled. CancelIo cancels the requests the
        // handle has made so far: with the steps overlapping, a caller may not have made its
        // request yet, so every call is first let reach the driver (returned, or pending there).
        if (file_) {
            Settle();
            file_->CancelIo();
            Settle();
            Check(!AnyBusy(), "a request did not return after it was cancelled");
            QueuesEmpty(dev);
            Close();
        }
        Check(dev.openCount == 0, "the port is still counted open after its close");
        Check(dev.usb.ioCount.Value() == idleCount, "a request is still counted after the close");
        Check(kernel.pool().OutstandingCount() == poolBefore,
              "the driver holds allocations after the close");
        if (!chipGone_) {
            Open();
            Close();
        }
    }

private:
    void Open() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        Call([&] { status = host::HostFile::Open(system_.kernel(), "\\DosDevices\\COM5", &file_); },
             true);
        Check(!AnyBusy(), "opening the port did not return");
        // Without the chip the open may fail (the chip is not there to be set up).
        Check(status == STATUS_SUCCESS ? file_ != nullptr : chipGone_ && !file_,
              "the port did not open");
        // A new handle starts from the port's defaults (the rate is the chip's, kept).
        std::lock_guard lock(expectedMutex_);
        for (auto& e : expected_) e.reset();
    }
    // The handle is closed once the calls made on it have reached the driver, as an
    // application's close comes after the calls its threads have made: cleanup then finds them.
    void Close() {
        Settle();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        Call([&] { status = file_->Close(); }, true);
        Check(!AnyBusy(), "a request outlived its handle's close");
        Check(status == STATUS_SUCCESS, "closing the port failed");
        file_.reset();
    }

    // With every request returned, the port counts nothing waiting to go out and no more
    // received bytes than its buffer holds (the status is answered even after an error abort).
    void QueuesEmpty(k::Device& dev) {
        k::SerialStatus status{};
        NTSTATUS result = STATUS_UNSUCCESSFUL;
        Call([&] {
            result = file_->DeviceIoControl(k::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status,
                                            sizeof status);
        });
        Settle();  // the status call itself has returned before it is judged
        Check(!AnyBusy() && result == STATUS_SUCCESS, "GET_COMMSTATUS failed");
        Check(status.AmountInOutQueue == 0 && status.WaitForImmediate == 0,
              "bytes counted in the output queue with no write pending");
        std::uint32_t size;
        {
            SpinLockGuard rx(dev.serial.receiveLock);
            size = dev.receiveSize;
        }
        Check(status.AmountInInQueue <= size, "more bytes counted received than the buffer holds");
    }

    // Runs a call on a free caller; false when every caller has a call in flight. The last
    // caller is kept for opening and closing, which may come while the others wait.
    bool Call(std::function<void()> call, bool openOrClose = false) {
        for (std::size_t i = openOrClose ? kCallers - 1 : 0; i < kCallers - (openOrClose ? 0 : 1);
             ++i) {
            if (!Callers()[i].busy()) {
                Callers()[i].Start(std::move(call));
                if (!overlap_ || openOrClose) Settle();
                return true;
            }
        }
        return false;
    }
    bool AnyBusy() const {
        for (std::size_t i = 0; i < kCallers; ++i) {
            if (Callers()[i].busy()) return true;
        }
        return false;
    }
    // Until every call has returned or waits for what only a later step can do.
    void Settle() {
        Kernel& kernel = system_.kernel();
        for (int polls = 0;; ++polls) {
            std::size_t busy = 0;
            for (std::size_t i = 0; i < kCallers; ++i) busy += Callers()[i].busy() ? 1 : 0;
            if (kernel.QueuedWorkItems() == 0 && (busy == 0 || kernel.StuckWaiters() >= busy)) {
                return;
            }
            // A call that takes longer than a few polls gets the processor to itself (the
            // machine may have as few processors as there are threads here).
            if (polls < 32) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        }
    }

    void Step() {
        const std::uint8_t op = in_.Byte();
        const int which = (op & 0x0F) % kOpCount;
        const bool needsHandle = which <= kOpWait || which == kOpCancel;
        if (needsHandle && !file_) return;
        Trace("step %d (op %02X)\n", which, op);
        switch (which) {
            case kOpIoctl:
                Ioctl(op);
                break;
            case kOpRead:
                Read(LengthOf(in_, 1));
                break;
            case kOpWrite:
                Write();
                break;
            case kOpFlush:
                Call([this] {
                    Check(file_->Flush() != STATUS_PENDING, "a flush returned while pending");
                });
                break;
            case kOpPurge: {
                const std::uint32_t mask = in_.Byte() & 0x0F;
                Control(IndexOf(k::IOCTL_SERIAL_PURGE), Input(&mask, 4), 0, false);
                break;
            }
            case kOpTimeouts:
                Timeouts();
                break;
            case kOpWait: {
                const std::uint32_t mask = in_.Word() & 0x1FFF;
                Control(IndexOf(k::IOCTL_SERIAL_SET_WAIT_MASK), Input(&mask, 4), 0, false);
                Control(IndexOf(k::IOCTL_SERIAL_WAIT_ON_MASK), {}, 4, false);
                break;
            }
            case kOpReceive: {
                const std::size_t n = std::size_t{in_.Byte()} % 32 + 1;
                const std::string_view bytes = in_.Take(n);
                system_.chip().InjectReceive(
                    std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
                break;
            }
            case kOpStatus: {
                std::array<std::uint8_t, 10> notification{};
                notification[8] = in_.Byte();
                system_.chip().InjectStatus(notification);
                break;
            }
            case kOpAdvance:
                system_.kernel().Advance(kAdvanceSteps[in_.Byte() % kAdvanceSteps.size()]);
                break;
            case kOpCancel:
                file_->CancelIo();
                break;
            case kOpLoopback:
                loopback_ = !loopback_;
                system_.chip().SetLoopback(loopback_);
                break;
            case kOpReopen:
                if (file_) Close();
                Open();
                break;
            case kOpPower: {
                const std::uint8_t target = in_.Byte();
                constexpr std::uint32_t kSystem[] = {PowerSystemWorking, PowerSystemSleeping1,
                                                     PowerSystemSleeping3, PowerSystemHibernate};
                const bool device = (target & 0x80) != 0;
                const std::uint32_t state =
                    device ? ((target & 1) ? PowerDeviceD3 : PowerDeviceD0) : kSystem[target % 4];
                Trace("  power %s %u\n", device ? "device" : "system", state);
                // As the power manager sends it: from its own thread, while requests wait.
                Call(
                    [this, device, state] {
                        system_.SetPower(device ? PowerStateType::DevicePowerState
                                                : PowerStateType::SystemPowerState,
                                         state);
                    },
                    true);
                Check(!Callers()[kCallers - 1].busy(), "a power request did not return");
                break;
            }
            case kOpPullChip:
                chipGone_ = true;
                system_.chip().Unplug();
                break;
        }
    }

    static std::vector<std::uint8_t> Input(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        return std::vector<std::uint8_t>(p, p + n);
    }

    void Ioctl(std::uint8_t op) {
        const std::size_t index = in_.Byte() % kCodeCount;
        const Code& code = kCodes[index];
        const std::uint32_t inLength = LengthOf(in_, code.in);
        const std::uint32_t outLength = LengthOf(in_, code.out);
        std::vector<std::uint8_t> input(inLength, 0);
        const std::string_view given = in_.Take(std::min<std::size_t>(inLength, kMaxInputBytes));
        std::copy(given.begin(), given.end(), input.begin());
        if (op & kNoInputBuffer) input.clear();
        Control(index, std::move(input), outLength, (op & kNoOutputBuffer) != 0, inLength);
    }

    // One device control; `input` empty with a length given: no input buffer.
    void Control(std::size_t index, std::vector<std::uint8_t> input, std::uint32_t outLength,
                 bool noOutput, std::optional<std::uint32_t> inLength = std::nullopt) {
        const Code code = kCodes[index];
        const std::uint32_t inBytes = inLength.value_or(static_cast<std::uint32_t>(input.size()));
        Call([this, code, input = std::move(input), inBytes, outLength, noOutput] {
            constexpr std::uint8_t kUntouched = 0x5C;
            std::vector<std::uint8_t> out(outLength + 8, kUntouched);
            std::uint32_t returned = 0xFFFFFFFF;
            const NTSTATUS status = file_->DeviceIoControl(
                code.code, input.empty() ? nullptr : input.data(), inBytes,
                noOutput ? nullptr : out.data(), outLength, &returned, code.internal);
            Trace("  control %06X%s in %u out %u -> %08X returned %u\n", code.code,
                  code.internal ? " (internal)" : "", inBytes, outLength,
                  static_cast<std::uint32_t>(status), returned);
            TraceBytes("in", input);
            if (NT_SUCCESS(status) && !noOutput) TraceBytes("out", std::span(out).first(returned));
            Check(status != STATUS_PENDING, "a device control returned while pending");
            Check(returned <= outLength, "a device control returned more than its output length");
            Check(NT_SUCCESS(status) || returned == 0, "a failed device control returned bytes");
            const std::size_t written = NT_SUCCESS(status) && !noOutput ? returned : 0;
            for (std::size_t i = written; i < out.size(); ++i) {
                Check(out[i] == kUntouched, "a device control wrote past what it returned");
            }
            if (!NT_SUCCESS(status)) {
                ObserveFailure(code);
                return;
            }
            Observe(code, input, inBytes,
                    noOutput ? std::span<const std::uint8_t>{} : std::span(out).first(returned));
        });
    }

    // What a successful control tells of the settings (calls are settled one by one, so a set
    // and a later get do not overlap).
    void Observe(const Code& control, const std::vector<std::uint8_t>& input, std::uint32_t inBytes,
                 std::span<const std::uint8_t> output) {
        // Overlapping, a set and a get may cross: only the end state is checked then.
        if (overlap_) return;
        std::lock_guard lock(expectedMutex_);
        auto& timeouts = expected_[kTimeoutsMirror];
        if (control.internal) {
            // Both change the handshake record too.
            expected_[kHandflowMirror].reset();
            // Other components take the time-outs away and give them back.
            if (control.code == k::IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS) {
                timeouts = std::vector<std::uint8_t>(sizeof(k::SerialTimeouts), 0);
            } else if (control.code == k::IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS) {
                timeouts.reset();
                if (input.size() >= sizeof(k::SerialTimeouts)) {
                    timeouts.emplace(input.begin(), input.begin() + sizeof(k::SerialTimeouts));
                }
            }
            return;
        }
        const std::uint32_t code = control.code;
        if (code == k::IOCTL_SERIAL_SET_BAUD_RATE) {
            // Without an input buffer the rate is whatever the system buffer held; a rate of 0
            // changes nothing.
            const bool known = input.size() >= 4 && inBytes >= 4;
            if (!known || Dword(input) != 0) {
                rateTold_ = true;
                rateSet_.reset();
                if (known) rateSet_ = Dword(input);
            }
        }
        if (code == k::IOCTL_SERIAL_GET_BAUD_RATE && output.size() >= 4 && rateTold_) {
            CheckRate(Dword(output));
        }
        for (std::size_t i = 0; i < std::size(kMirrors); ++i) {
            const Mirror& m = kMirrors[i];
            if (code == m.set) {
                // Without an input buffer the record is whatever the system buffer held.
                if (input.size() >= m.length && inBytes >= m.length) {
                    expected_[i] =
                        std::vector<std::uint8_t>(input.begin(), input.begin() + m.length);
                } else {
                    expected_[i].reset();
                }
            }
            if (code == m.get && output.size() >= m.length && expected_[i]) {
                Check(std::equal(expected_[i]->begin(), expected_[i]->end(), output.begin()),
                      m.get == k::IOCTL_SERIAL_GET_BAUD_RATE
                          ? "GET_BAUD_RATE differs from the rate set"
                          : "a setting read back differs from the one set");
            }
        }
    }

    // The rate a get reports, once a set succeeded: the one set when the rate table has it (a
    // rate between is taken to a table rate), and the one the chip was told (as the rate
    // itself, or on chips of variant 2 and above as the table's divisor word above 115200).
    // Once the chip has been pulled nothing reaches it: a power cycle meanwhile leaves it at its
    // power-on coding, which the port's setting rightly does not follow (the driver restores the
    // chip at the next request that needs it), so the chip is compared only while it is there.
    void CheckRate(std::uint32_t reported) {
        const RatePair* entry = TableEntry(reported);
        Check(entry != nullptr, "GET_BAUD_RATE gives a rate outside the rate table");
        if (rateSet_ && TableEntry(*rateSet_)) {
            Check(reported == *rateSet_, "GET_BAUD_RATE differs from the rate set");
        }
        if (chipGone_.load()) return;
        const auto coding = system_.chip().LineCodingBytes();
        const bool divisor = system_.chip().profile().variant >= 2 && reported > 115200;
        Trace("  rate %u, the chip's rate word %08X\n", reported, Dword(coding));
        Check(Dword(coding) == (divisor ? entry->divisor : reported),
              "GET_BAUD_RATE differs from the rate the chip was told");
    }

    void ObserveFailure(const Code& control) {
        if (overlap_) return;
        std::lock_guard lock(expectedMutex_);
        if (control.internal) {
            // Both go in part by part, the time-outs before the handshake record, which goes to
            // the chip register by register: the basic settings that the chip did not take (the
            // chip pulled) have already cleared the time-outs and may have changed the record.
            if (control.code == k::IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS ||
                control.code == k::IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS) {
                expected_[kTimeoutsMirror].reset();
                expected_[kHandflowMirror].reset();
            }
            return;
        }
        for (std::size_t i = 0; i < std::size(kMirrors); ++i) {
            if (control.code == kMirrors[i].set && !kMirrors[i].failureKeeps) expected_[i].reset();
        }
    }

    void Read(std::uint32_t length) {
        Call([this, length] {
            std::vector<std::uint8_t> data(length);
            std::uint32_t got = 0xFFFFFFFF;
            std::uint32_t reported = 0xFFFFFFFF;
            const NTSTATUS status = file_->Read(data.data(), length, &got, &reported);
            Trace("  read %u -> %08X got %u\n", length, static_cast<std::uint32_t>(status), got);
            Check(status != STATUS_PENDING, "a read returned while pending");
            Check(got <= length && reported <= length, "a read returned more than its length");
            Check(NT_SUCCESS(status) || reported == 0, "a failed read reported bytes");
        });
    }

    void Write() {
        const std::uint32_t length = LengthOf(in_, 1);
        const std::string_view given = in_.Take(std::min<std::size_t>(length, kMaxInputBytes));
        std::vector<std::uint8_t> data(length, 0x55);
        for (std::size_t i = 0; i < length && !given.empty(); ++i) {
            data[i] = static_cast<std::uint8_t>(given[i % given.size()]);
        }
        Call([this, data = std::move(data)] {
            std::uint32_t put = 0xFFFFFFFF;
            const NTSTATUS status =
                file_->Write(data.data(), static_cast<std::uint32_t>(data.size()), &put);
            Trace("  write %zu -> %08X put %u\n", data.size(), static_cast<std::uint32_t>(status),
                  put);
            Check(status != STATUS_PENDING, "a write returned while pending");
            Check(put <= data.size(), "a write counted more than its length");
            Check(NT_SUCCESS(status) || put == 0, "a failed write counted bytes");
        });
    }

    void Timeouts() {
        const std::uint8_t select = in_.Byte();
        auto field = [&](int shift) -> std::uint32_t {
            switch ((select >> shift) & 3) {
                case kTimeoutZero:
                    return 0;
                case kTimeoutMax:
                    return kMaxDword;
                case kTimeoutByte:
                    return in_.Byte();
                default:
                    return std::uint32_t{in_.Byte()} * 4;
            }
        };
        k::SerialTimeouts t;
        t.ReadIntervalTimeout = field(0);
        t.ReadTotalTimeoutMultiplier = field(2);
        t.ReadTotalTimeoutConstant = field(4);
        t.WriteTotalTimeoutConstant = field(6);
        Control(IndexOf(k::IOCTL_SERIAL_SET_TIMEOUTS), Input(&t, sizeof t), 0, false);
    }

    vm::integration::CableSystem& system_;
    Bytes& in_;
    std::unique_ptr<host::HostFile> file_;
    bool loopback_;
    // The steps overlap: each starts without waiting for the requests before it to settle.
    const bool overlap_;
    std::mutex expectedMutex_;
    std::optional<std::vector<std::uint8_t>> expected_[std::size(kMirrors)];
    std::atomic<bool> chipGone_{false};
    bool rateTold_ = false;                 // a SET_BAUD_RATE has succeeded
    std::optional<std::uint32_t> rateSet_;  // the last one's rate, when known and not 0
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    const std::uint8_t setup = in.Byte();
    vm::integration::CableSystem system((setup & 7) % 5, "COM5", Kernel::ClockMode::Auto);
    Check(system.Plug() == STATUS_SUCCESS, "the cable did not start");
    const bool loopback = (setup & 0x80) != 0;
    system.chip().SetLoopback(loopback);
    {
        Script script(system, in, loopback, (setup & 0x40) != 0);
        script.Run();
    }
    system.Unplug();
    system.Unload();
    Check(system.kernel().pool().LeakReport().empty(), "pool allocations left after the unload");
    Check(system.kernel().pool().BadFrees() == 0, "a pool block freed twice or not allocated");
    return 0;
}
