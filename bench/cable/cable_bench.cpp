// The cable host, measured with the simulated bus (usbser2k on the simulated chip, its line on a
// simulated radio's pseudo-terminal), so that what is timed is the host's own part:
// - a whole Read through the host's pseudo-terminal against the same Read over the radio's
//   own pseudo-terminal, radio paced at 38400 baud, in one run, with the ratio of the two times;
// - the host idle: with the port closed its serving thread and its event loop sleep in the
//   kernel (wake-ups and CPU time over an idle period, printed for the port closed and, for
//   comparison, open).
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "app/link/clone_worker.h"
#include "bench/support/bench_radio.h"
#include "integration/cable_system.h"
#include "tools/cable/cable_host.h"
#include "tools/cable/pty_port.h"
#include "tools/cable/usbser2k_port.h"
#include "tools/radio/simulated_radio.h"

namespace {

using namespace vm;
using Clock = std::chrono::steady_clock;

std::optional<double> TimeRead(SimulatedRadio& radio, RadioImage& image, const std::string& path,
                               const char* what) {
    std::atomic<bool> busy{false}, cancel{false};
    CloneWorkerOptions options;
    options.flags = TransferFlags{&busy, &cancel};
    CloneWorker worker(image, ProgramReadRanges(), path, {}, options);
    const auto start = Clock::now();
    const TransferOutcome outcome = worker.Run();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    radio.Drain();
    if (outcome != TransferOutcome::Done) {
        std::printf("  read %s failed: %s\n", what, OutcomeName(outcome));
        return std::nullopt;
    }
    return took;
}

// The whole process over a period: CPU time and the times its threads went to sleep.
struct Usage {
    double cpuSeconds = 0;
    long sleeps = 0;  // voluntary context switches
    static Usage Now() {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        Usage r;
        r.cpuSeconds = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                       static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
        r.sleeps = u.ru_nvcsw;
        return r;
    }
};

constexpr auto kIdle = std::chrono::seconds(3);

// Idles for kIdle and prints what `wakeups` counted and what the process spent meanwhile.
void Idle(const char* what, const std::function<std::uint64_t()>& wakeups) {
    const std::uint64_t before = wakeups();
    const Usage u0 = Usage::Now();
    std::this_thread::sleep_for(kIdle);
    const Usage u1 = Usage::Now();
    const std::uint64_t after = wakeups();
    std::printf("  %-38s %5llu wake-ups; process: %5ld sleeps, %6.1f ms CPU in %lld s\n", what,
                static_cast<unsigned long long>(after - before), u1.sleeps - u0.sleeps,
                (u1.cpuSeconds - u0.cpuSeconds) * 1e3, static_cast<long long>(kIdle.count()));
}

bool ReadThroughTheHost() {
    bench::BenchRadio bench_radio(/*paced=*/true);
    if (!bench_radio.Start()) return false;
    SimulatedRadio& radio = bench_radio.radio();
    std::string error;
    auto image = std::make_unique<RadioImage>();
    const auto pty = TimeRead(radio, *image, radio.device(), "over the radio's pseudo-terminal");
    const bool ptyImage = bench_radio.ReadBack(*image);

    integration::CableSystem system(2, "COM5");
    system.Plug();
    system.ConnectLine(radio.device());
    auto log = [](const std::string&) {};
    cable::PtyPort port(
        std::make_unique<cable::Usbser2kPort>(system.kernel(), "\\DosDevices\\COM5", log), "COM5",
        log);
    if (!port.Start(&error)) {
        std::printf("host: %s\n", error.c_str());
        return false;
    }
    image = std::make_unique<RadioImage>();
    const auto host = TimeRead(radio, *image, port.slavePath(), "through the host");
    const bool hostImage = bench_radio.ReadBack(*image);
    radio.Stop();
    system.DisconnectLine();
    std::printf("clone Read [0x0100,0x10000), radio paced at 38400, the program's timing:\n");
    if (pty && host) {
        std::printf("  radio's pseudo-terminal  %8.3f s  image %s\n", *pty,
                    ptyImage ? "== radio" : "DIFFERS");
        std::printf("  through the host         %8.3f s  image %s\n", *host,
                    hostImage ? "== radio" : "DIFFERS");
        std::printf("  ratio host / pty         %8.4f  (target <= 1.05)\n", *host / *pty);
    }

    std::printf("idle, cable plugged in (simulated bus), radio gone:\n");
    auto portWakeups = [&] { return port.wakeups(); };
    Idle("port closed: serving thread", portWakeups);
    {
        FILE* slave = std::fopen(port.slavePath().c_str(), "r+");
        if (!slave) return false;
        // The open reaches the serving thread through inotify.
        for (int i = 0; i < 200 && !port.portOpen(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Idle("port open, nothing sent: serving thread", portWakeups);
        std::fclose(slave);
    }
    return pty && host && ptyImage && hostImage;
}

// The host's own loop over libusb with no cable: it waits for hotplug.
void IdleHost() {
    cable::HostOptions options;
    char folder[] = "/tmp/vm6142-cable-bench-XXXXXX";
    if (!::mkdtemp(folder)) return;
    options.runDir = folder;
    {
        cable::CableHost host(options, cable::MakeCableDriver({}), [](const std::string&) {});
        std::string error;
        std::printf("idle, host over libusb, no cable:\n");
        if (!host.Start(&error)) {
            std::printf("  the host did not start here: %s\n", error.c_str());
        } else {
            int stop[2];
            if (::pipe(stop) == 0) {
                std::thread loop([&] { host.Run(stop[0]); });
                Idle("event loop", [&] { return host.Activity().loopWakeups; });
                const char b = 1;
                [[maybe_unused]] const ssize_t n = ::write(stop[1], &b, 1);
                loop.join();
                ::close(stop[0]);
                ::close(stop[1]);
            }
        }
    }
    ::rmdir(folder);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::printf(
            "Usage: vm_cable_bench\nTimes a Read through the cable host against one over a "
            "pseudo-terminal, and measures the host idle.\n");
        return std::strcmp(argv[1], "-h") && std::strcmp(argv[1], "--help") ? 2 : 0;
    }
    const bool ok = ReadThroughTheHost();
    IdleHost();
    return ok ? 0 : 1;
}
