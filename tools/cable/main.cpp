// usbser2k-host and usbser9x-host: drive VM6142 programming cables through libusb with the
// driver of their name and serve each as a serial port under the COM name the driver was given.
// VM_HOST_DRIVER names the driver; with VM_HOST_DRIVER_FILE it is a library loaded at start.
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "app/link/port_names.h"
#include "tools/cable/cable_host.h"

namespace {

#define VM_HOST_NAME VM_HOST_DRIVER "-host"
constexpr const char* kProgram = VM_HOST_NAME;

constexpr const char* kUsage =
    "Usage: " VM_HOST_NAME
    " [OPTIONS]\n"
    "Drives VM6142 programming cables (USB 3A71:6142) through libusb with the " VM_HOST_DRIVER
    "\n"
    "driver and serves each one as a serial port under its COM name, which vm6142 and the\n"
    "editor then offer. Runs until interrupted (Ctrl-C).\n"
    "\n"
    "Options:\n"
    "  --device BUS:ADDR  only the cable at this USB bus and address (as lsusb shows them)\n"
#ifdef VM_HOST_DRIVER_FILE
    "  --driver FILE      the driver's library (default: lib/vm6142/libusbser9x.so beside\n"
    "                     the program's bin folder)\n"
#endif
    "  --first-port N     the lowest COM number given to a cable (default 5)\n"
    "  --run-dir DIR      where the ports are published (default: the run-time folder)\n"
    "  -v, --verbose      print every USB request\n"
    "  -h, --help         this text\n"
    "Exit status: 0 when stopped, 1 when the cables cannot be served, 2 for wrong usage.\n";

int stopPipe[2] = {-1, -1};

void OnSignal(int) {
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &stop, 1);
}

int Usage(const std::string& error) {
    std::cerr << kProgram << ": " << error << "\n" << kUsage;
    return 2;
}

bool Number(std::string_view text, int* value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
    vm::cable::HostOptions options;
    std::filesystem::path driverFile;
    options.runDir = vm::PublishedPortsFolder();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--device") {
            const char* v = value();
            if (!v) return Usage("--device needs BUS:ADDR");
            const std::string_view text = v;
            const auto colon = text.find(':');
            int bus = 0, address = 0;
            if (colon == std::string_view::npos || !Number(text.substr(0, colon), &bus) ||
                !Number(text.substr(colon + 1), &address) || bus < 1 || address < 1) {
                return Usage("--device needs BUS:ADDR, such as 001:004");
            }
            options.device = std::make_pair(bus, address);
#ifdef VM_HOST_DRIVER_FILE
        } else if (arg == "--driver") {
            const char* v = value();
            if (!v || !*v) return Usage("--driver needs a file");
            driverFile = v;
#endif
        } else if (arg == "--first-port") {
            const char* v = value();
            int n = 0;
            if (!v || !Number(v, &n) || n < 1 || n > 255) {
                return Usage("--first-port needs a number from 1 to 255");
            }
            options.firstPort = n;
        } else if (arg == "--run-dir") {
            const char* v = value();
            if (!v || !*v) return Usage("--run-dir needs a folder");
            options.runDir = v;
        } else {
            return Usage("unknown argument \"" + std::string(arg) + "\"");
        }
    }
    if (::pipe(stopPipe) != 0) {
        std::cerr << kProgram << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    vm::cable::CableHost host(
        options, vm::cable::MakeCableDriver(driverFile),
        [](const std::string& line) { std::cerr << kProgram << ": " << line << std::endl; });
    std::string error;
    if (!host.Start(&error)) {
        std::cerr << kProgram << ": " << error << "\n";
        return 1;
    }
    if (!host.CableSeen()) {
        if (options.device) {
            std::cerr << kProgram << ": no cable: nothing with "
                      << "the cable's identifiers (3A71:6142) is at that bus and address\n";
            return 1;
        }
        std::cerr << kProgram << ": no cable found; waiting for one (Ctrl-C to stop)\n";
    }
    std::cerr << kProgram << ": ports are published in " << options.runDir.string() << "\n";
    host.Run(stopPipe[0]);
    return 0;
}
