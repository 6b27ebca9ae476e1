// A full Read and a full Write against the simulated radio pacing every byte at 38400 baud 8N1,
// each timed against its floor: the bytes on the wire (10 bits each) plus the protocol's fixed
// sleeps (2 ms before each wake-up byte, 10 ms before the probe's and each read block's "A").
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/link/clone_worker.h"
#include "tools/factory/factory_image.h"
#include "tools/radio/simulated_radio.h"

namespace {

using namespace vm;
using Clock = std::chrono::steady_clock;

constexpr double kByteSeconds = 10.0 / 38400.0;

struct Floor {
    std::uint64_t bytes = 0;
    double sleeps = 0;  // seconds
    double seconds() const { return static_cast<double>(bytes) * kByteSeconds + sleeps; }
};

// The wire bytes and sleeps of a transfer without retries: two handshakes, the probe, the
// blocks, the end marker.
Floor FloorOf(const TransferRangeTable& t, const LinkTiming& timing) {
    const std::uint64_t handshake =
        std::size(kWakeUp) + 1 + std::size(kIdentRequest) + kIdentLength + 1 + 1;
    const std::uint64_t probe = 4 + kBlockHeader + kMaxBlock + 1 + 1;
    Floor f;
    f.bytes = 2 * handshake + probe + 4;
    const double wake_sleep = std::chrono::duration<double>(timing.wake_byte_sleep).count();
    const double ack_sleep = std::chrono::duration<double>(timing.ack_sleep).count();
    f.sleeps = 2 * std::size(kWakeUp) * wake_sleep + ack_sleep;
    const bool read = t.direction == TransferDirection::Read;
    for (std::size_t r = 0; r < t.count; ++r)
        for (std::uint32_t a = t.start[r]; a < t.end[r]; a += BlockLength(a, t.end[r])) {
            const std::uint32_t len = BlockLength(a, t.end[r]);
            f.bytes += read ? 4 + kBlockHeader + len + 1 + 1 : 4 + len + 1;
            if (read) f.sleeps += ack_sleep;
        }
    return f;
}

// The time one byte takes there and back over a fresh pseudo-terminal between two threads, in
// microseconds (the median of `rounds`), with `idle` of silence before each round. Every turn of
// the clone protocol pays one way of it on top of the wire time the floor counts; after a long
// silence it includes the processors' way out of idle.
double PtyRoundTrip(std::chrono::microseconds idle, int rounds) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0) close(master);
        return -1;
    }
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        close(master);
        return -1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const auto one_byte = [](int fd) {
        pollfd p{fd, POLLIN, 0};
        std::uint8_t b = 0;
        return poll(&p, 1, 1000) == 1 && read(fd, &b, 1) == 1;
    };
    std::thread echo([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const std::uint8_t b = 0x41;
        for (int i = 0; i < rounds && one_byte(master); ++i)
            if (write(master, &b, 1) != 1) break;
    });
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<double> took;
    const std::uint8_t b = 0x41;
    for (int i = 0; i < rounds; ++i) {
        if (idle.count() > 0) std::this_thread::sleep_for(idle);
        const auto start = Clock::now();
        if (write(slave, &b, 1) != 1 || !one_byte(slave)) break;
        took.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    echo.join();
    close(slave);
    close(master);
    if (took.empty()) return -1;
    std::sort(took.begin(), took.end());
    return took[took.size() / 2];
}

bool Measure(const char* name, SimulatedRadio& radio, RadioImage& image,
             const TransferRangeTable& table, double& ratio) {
    const RadioRecord before = radio.record();
    std::atomic<bool> busy{false}, cancel{false};
    CloneWorkerOptions options;
    options.flags = TransferFlags{&busy, &cancel};
    CloneWorker worker(image, table, radio.device(), {}, options);
    const auto start = Clock::now();
    const TransferOutcome outcome = worker.Run();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    radio.Drain();
    const RadioRecord after = radio.record();
    if (outcome != TransferOutcome::Done) {
        std::printf("%-6s failed: %s\n", name, OutcomeName(outcome));
        return false;
    }
    const Floor floor = FloorOf(table, options.timing);
    const std::uint64_t seen =
        after.bytes_received + after.bytes_sent - before.bytes_received - before.bytes_sent;
    ratio = took / floor.seconds();
    std::printf(
        "%-6s %4d blocks  %7.3f s  floor %7.3f s (%llu bytes on the wire = %.3f s, sleeps "
        "%.3f s; radio saw %llu bytes)  ratio %.4f\n",
        name, CountBlocks(table), took, floor.seconds(),
        static_cast<unsigned long long>(floor.bytes),
        static_cast<double>(floor.bytes) * kByteSeconds, floor.sleeps,
        static_cast<unsigned long long>(seen), ratio);
    std::printf("%-6s %.3f ms per block beyond the floor\n", name,
                (took - floor.seconds()) * 1000.0 / CountBlocks(table));
    // More bytes than the floor: the worker asked for a block or an acknowledgement again (a
    // reply that came late or broken on a busy machine); the time it took is in the ratio.
    if (seen > floor.bytes)
        std::printf(
            "%-6s %llu bytes more than the floor: the worker repeated part of an exchange\n", name,
            static_cast<unsigned long long>(seen - floor.bytes));
    return seen >= floor.bytes;
}

constexpr const char* kUsage =
    "Usage: vm_link_bench [--no-realtime | --one-processor]\n"
    "A full Read and a full Write against the simulated radio pacing every byte at 38400 baud\n"
    "8N1, each timed against its floor (the bytes on the wire plus the protocol's fixed\n"
    "sleeps). Exit status 0 when both transfers succeed within 1.05 times their floor.\n"
    "\n"
    "Options:\n"
    "  --no-realtime   keep normal scheduling (by default the benchmark asks for SCHED_FIFO\n"
    "                  and one processor, so that other work does not delay its wake-ups)\n"
    "  --one-processor normal scheduling, with the worker and the radio kept to one\n"
    "                  processor: no turn of the exchange waits for another processor to be\n"
    "                  woken (on a virtual machine that wake-up can cost 50-100 us)\n"
    "  -h, --help      this text\n";

}  // namespace

int main(int argc, char** argv) {
    // The figures are about the protocol, not about other work on the machine: unless
    // --no-realtime is given, the benchmark (and the threads it starts) asks for a real-time
    // scheduling class so that other processes do not delay its wake-ups, and keeps to one
    // processor: the exchange is strictly turn by turn, and a wake-up on the same processor
    // does not wait for another one to come out of idle.
    bool realtime = true;
    bool one_processor = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--no-realtime") == 0) {
            realtime = false;
            one_processor = false;
        } else if (std::strcmp(argv[i], "--one-processor") == 0) {
            realtime = false;
            one_processor = true;
        } else {
            std::fprintf(stderr, "vm_link_bench: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("load average %.2f; ", load[0]);
    // Set before the radio's thread starts, which inherits both.
    bool pinned = false;
    if (one_processor) {
        cpu_set_t one;
        CPU_ZERO(&one);
        const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        CPU_SET(static_cast<int>(cpus > 0 ? cpus - 1 : 0), &one);
        pinned = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    const char* placement = pinned ? ", one processor" : ", any processor";
    if (realtime) {
        sched_param p{};
        p.sched_priority = 10;
        if (sched_setscheduler(0, SCHED_FIFO, &p) == 0)
            std::printf("real-time scheduling (SCHED_FIFO 10)%s\n", placement);
        else
            std::printf("real-time scheduling refused (%s): normal scheduling%s\n",
                        std::strerror(errno), placement);
    } else {
        std::printf("normal scheduling%s\n", placement);
    }
    FileHeader header{};
    auto memory = std::make_unique<RadioImage>();
    BuildFactoryImage(header, *memory);
    RadioOptions options;
    options.paced = true;
    SimulatedRadio radio(*memory, header, options);
    std::string error;
    if (!radio.Open(error)) {
        std::fprintf(stderr, "link_bench: %s\n", error.c_str());
        return 1;
    }
    radio.Start();
    auto image = std::make_unique<RadioImage>();
    std::printf("Clone transfers against a radio paced at 38400 baud 8N1 (target ratio <= 1.05)\n");
    double read_ratio = 0, write_ratio = 0;
    const bool read_ok = Measure("Read", radio, *image, ProgramReadRanges(), read_ratio);
    const bool write_ok = Measure("Write", radio, *image, ProgramWriteRanges(false), write_ratio);
    radio.Stop();
    // What the floor leaves out: a Read block has two round trips (the command and its reply,
    // the "A" and its answer), the second after a 10 ms silence; a Write block has one.
    std::printf(
        "Pseudo-terminal round trip on this machine (median of 200): %.0f us back to back, "
        "%.0f us after 10 ms of silence\n",
        PtyRoundTrip(std::chrono::microseconds(0), 200),
        PtyRoundTrip(std::chrono::microseconds(10000), 200));
    if (!read_ok || !write_ok) {
        std::printf("a transfer failed, or the radio saw fewer bytes than the floor counts\n");
        return 1;
    }
    return read_ratio <= 1.05 && write_ratio <= 1.05 ? 0 : 1;
}
