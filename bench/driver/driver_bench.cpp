// usbser2k's data path, measured:
// - the receive path against the chip's highest rate in the rate table (6 000 000 baud, that is
//   600 000 bytes a second): bytes injected at that pace for a second must all arrive, in order,
//   with no overrun; then the path's own top rate, unpaced, with the instructions it spends per
//   byte (user-space instruction counter, where the system allows it);
// - a whole Read through the driver against the same Read over a pseudo-terminal, in one run,
//   with the ratio of the two times.
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>
#include <vector>

#include "app/link/clone_worker.h"
#include "bench/support/bench_radio.h"
#include "driver/platform/host_io.h"
#include "driver/usbser2k/serial.h"
#include "integration/cable_system.h"
#include "integration/driver_serial_port.h"
#include "tools/radio/simulated_radio.h"

namespace {

using namespace vm;
using Clock = std::chrono::steady_clock;
namespace k = drv::usbser2k;

constexpr std::uint32_t kTopRate = 6'000'000;
constexpr double kTopBytesPerSecond = kTopRate / 10.0;

// Counts user-space instructions of this process's threads from now on (threads started later
// included); none when the system refuses.
class InstructionCounter {
public:
    InstructionCounter() {
        perf_event_attr attr{};
        attr.type = PERF_TYPE_HARDWARE;
        attr.size = sizeof attr;
        attr.config = PERF_COUNT_HW_INSTRUCTIONS;
        attr.disabled = 1;
        attr.inherit = 1;
        attr.exclude_kernel = 1;
        attr.exclude_hv = 1;
        fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
        if (fd_ >= 0) {
            ioctl(fd_, PERF_EVENT_IOC_RESET, 0);
            ioctl(fd_, PERF_EVENT_IOC_ENABLE, 0);
        }
    }
    ~InstructionCounter() {
        if (fd_ >= 0) close(fd_);
    }
    std::optional<std::uint64_t> Read() const {
        if (fd_ < 0) return std::nullopt;
        ioctl(fd_, PERF_EVENT_IOC_DISABLE, 0);
        std::uint64_t count = 0;
        if (read(fd_, &count, sizeof count) != sizeof count) return std::nullopt;
        return count;
    }

private:
    int fd_ = -1;
};

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct ReceiveResult {
    double seconds = 0;
    std::uint64_t bytes = 0;
    bool inOrder = true;
    std::uint32_t overruns = 0;
};

// Injects `total` bytes in 384-byte transfers (at `bytesPerSecond`, or as fast as it goes when
// 0) while a reader takes them through the driver in 16 KiB reads.
ReceiveResult Receive(std::uint64_t total, double bytesPerSecond,
                      std::optional<std::uint64_t>* instructions, double* cpuSeconds) {
    const bool paced = bytesPerSecond > 0;
    integration::CableSystem system(2);
    system.Plug();
    std::unique_ptr<drv::host::HostFile> file;
    drv::host::HostFile::Open(system.kernel(), "\\DosDevices\\COM5", &file);
    const std::uint32_t rate = kTopRate;
    file->DeviceIoControl(k::IOCTL_SERIAL_SET_BAUD_RATE, &rate, 4, nullptr, 0);
    const k::SerialLineControlRecord eightBits{0, 0, 8};
    file->DeviceIoControl(k::IOCTL_SERIAL_SET_LINE_CONTROL, &eightBits, 3, nullptr, 0);
    if (!paced) {
        // Unpaced, the receive handshake holds the chip's transfers while the buffer is full.
        drv::SerialHandflow hf{};
        file->DeviceIoControl(k::IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &hf, sizeof hf);
        hf.FlowReplace = (hf.FlowReplace & ~drv::SERIAL_RTS_MASK) | drv::SERIAL_RTS_HANDSHAKE;
        file->DeviceIoControl(k::IOCTL_SERIAL_SET_HANDFLOW, &hf, sizeof hf, nullptr, 0);
    }
    const k::SerialQueueSize queue{65536, 0};
    file->DeviceIoControl(k::IOCTL_SERIAL_SET_QUEUE_SIZE, &queue, sizeof queue, nullptr, 0);
    const k::SerialTimeouts timeouts{0xFFFFFFFF, 0xFFFFFFFF, 1000, 0, 0};  // any byte, 1 s
    file->DeviceIoControl(k::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);

    std::unique_ptr<InstructionCounter> counter;
    if (instructions) counter = std::make_unique<InstructionCounter>();
    const double cpuStart = CpuSeconds();
    ReceiveResult result;
    const auto start = Clock::now();
    std::thread reader([&] {
        std::vector<std::uint8_t> buffer(16384);
        std::uint8_t expect = 0;
        while (result.bytes < total) {
            std::uint32_t got = 0;
            if (!drv::NT_SUCCESS(file->Read(buffer.data(), 16384, &got))) break;
            if (got == 0) break;  // a second without a byte: the rest was lost
            for (std::uint32_t i = 0; i < got; ++i) {
                if (buffer[i] != expect++) result.inOrder = false;
            }
            result.bytes += got;
        }
    });
    std::vector<std::uint8_t> block(384);
    std::uint8_t next = 0;
    for (std::uint64_t sent = 0; sent < total; sent += block.size()) {
        for (auto& b : block) b = next++;
        if (bytesPerSecond > 0) {
            std::this_thread::sleep_until(
                start + std::chrono::duration<double>(static_cast<double>(sent) / bytesPerSecond));
        }
        system.chip().InjectReceive(block);
    }
    reader.join();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (counter) *instructions = counter->Read();
    if (cpuSeconds) *cpuSeconds = CpuSeconds() - cpuStart;
    k::SerialStatistics stats{};
    file->DeviceIoControl(k::IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats);
    result.overruns = stats.BufferOverrunErrorCount;
    file->Close();
    return result;
}

LinkTiming Answering() {
    LinkTiming t;
    t.wake_byte_sleep = std::chrono::microseconds(0);
    t.ack_sleep = std::chrono::microseconds(0);
    return t;
}

std::optional<double> TimeRead(SimulatedRadio& radio, RadioImage& image,
                               std::function<std::unique_ptr<SerialPort>()> makePort,
                               const std::string& path, const LinkTiming& timing) {
    std::atomic<bool> busy{false}, cancel{false};
    CloneWorkerOptions options;
    options.timing = timing;
    options.flags = TransferFlags{&busy, &cancel};
    options.make_port = std::move(makePort);
    CloneWorker worker(image, ProgramReadRanges(), path, {}, options);
    const auto start = Clock::now();
    const TransferOutcome outcome = worker.Run();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    radio.Drain();
    if (outcome != TransferOutcome::Done) {
        std::printf("  read failed: %s\n", OutcomeName(outcome));
        return std::nullopt;
    }
    return took;
}

bool CompareClones(bool paced, bool realTiming) {
    bench::BenchRadio bench_radio(paced);
    if (!bench_radio.Start()) return false;
    SimulatedRadio& radio = bench_radio.radio();
    const LinkTiming timing = realTiming ? LinkTiming{} : Answering();
    auto image = std::make_unique<RadioImage>();

    const auto pty = TimeRead(radio, *image, CreateSerialPort, radio.device(), timing);
    const bool ptyImage = bench_radio.ReadBack(*image);

    integration::CableSystem system(2);
    system.Plug();
    system.ConnectLine(radio.device());
    image = std::make_unique<RadioImage>();
    const auto driver = TimeRead(
        radio, *image,
        [&] { return std::make_unique<integration::DriverSerialPort>(system.kernel()); },
        system.portName(), timing);
    const bool driverImage = bench_radio.ReadBack(*image);
    system.DisconnectLine();
    radio.Stop();
    if (!pty || !driver) return false;
    std::printf("clone Read [0x0100,0x10000), radio %s, %s timing:\n",
                paced ? "paced at 38400" : "unpaced",
                realTiming ? "the program's" : "answering (no fixed sleeps)");
    std::printf("  pseudo-terminal      %8.3f s  image %s\n", *pty,
                ptyImage ? "== radio" : "DIFFERS");
    std::printf("  through usbser2k     %8.3f s  image %s\n", *driver,
                driverImage ? "== radio" : "DIFFERS");
    std::printf("  ratio driver / pty   %8.4f  (target <= 1.05)\n", *driver / *pty);
    return ptyImage && driverImage;
}

constexpr const char* kUsage =
    "Usage: vm_driver_bench [--paced] [--real-timing]\n"
    "  --paced        the radio takes the wire time of every byte at 38400 baud\n"
    "  --real-timing  the clone uses the program's sleeps (2 ms per wake-up byte, 10 ms per\n"
    "                 acknowledgement) instead of none\n"
    "  -h, --help     this text\n";

}  // namespace

int main(int argc, char** argv) {
    bool paced = false, realTiming = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--paced")) {
            paced = true;
        } else if (!std::strcmp(argv[i], "--real-timing")) {
            realTiming = true;
        } else {
            std::fprintf(stderr, "vm_driver_bench: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    bool ok = true;

    // A second's worth, in whole 384-byte transfers.
    const std::uint64_t paceBytes =
        (static_cast<std::uint64_t>(kTopBytesPerSecond) + 383) / 384 * 384;
    const ReceiveResult at = Receive(paceBytes, kTopBytesPerSecond, nullptr, nullptr);
    const bool sustained = at.bytes == paceBytes && at.inOrder && at.overruns == 0;
    std::printf(
        "receive at %u baud (%.0f bytes/s) for %.2f s: %llu of %llu bytes, %s, %u overruns"
        "  -> %s\n",
        kTopRate, kTopBytesPerSecond, at.seconds, static_cast<unsigned long long>(at.bytes),
        static_cast<unsigned long long>(paceBytes), at.inOrder ? "in order" : "OUT OF ORDER",
        at.overruns, sustained ? "sustained" : "NOT sustained");
    ok = ok && sustained;

    std::optional<std::uint64_t> instructions;
    const std::uint64_t floodBytes = 32ull << 20;
    double cpu = 0;
    const ReceiveResult top = Receive(floodBytes, 0, &instructions, &cpu);
    std::printf(
        "receive unpaced: %llu bytes in %.3f s = %.1f MB/s (%.1f x the top rate), %s, %u "
        "overruns\n",
        static_cast<unsigned long long>(top.bytes), top.seconds,
        static_cast<double>(top.bytes) / top.seconds / 1e6,
        static_cast<double>(top.bytes) / top.seconds / kTopBytesPerSecond,
        top.inOrder ? "in order" : "OUT OF ORDER", top.overruns);
    if (instructions) {
        std::printf(
            "  instructions per byte (user space, all threads: chip, driver, reader): %.1f\n",
            static_cast<double>(*instructions) / static_cast<double>(top.bytes));
    } else {
        std::printf(
            "  instructions per byte: no instruction counter on this system (perf events "
            "refused)\n");
    }
    std::printf("  CPU time per byte (all threads): %.1f ns\n",
                cpu * 1e9 / static_cast<double>(top.bytes));

    ok = CompareClones(paced, realTiming) && ok;
    return ok ? 0 : 1;
}
