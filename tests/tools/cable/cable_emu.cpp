// vm6142-cable-emu and vm6142-cable-emu9x (test-only, not installed): usbser2k-host (or
// usbser9x-host) over cables emulated with umockdev, the chip's serial side on a terminal device (a
// simulated radio's pseudo-terminal), so that any program speaking the clone protocol sits behind
// the emulated cable. Run it under umockdev-wrapper. Lines on standard input: "unplug" pulls the
// cable out; end of input (or SIGTERM) stops it.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "tests/driver/libusb/emulated_cable.h"
#include "tools/cable/cable_host.h"

namespace {
int stopPipe[2] = {-1, -1};
void OnSignal(int) {
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &stop, 1);
}
}  // namespace

int main(int argc, char** argv) {
    std::string line;
    int variant = 2;
    vm::cable::HostOptions options;
    options.runDir = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--line" && value) {
            line = value, ++i;
        } else if (arg == "--variant" && value) {
            variant = std::atoi(value), ++i;
        } else if (arg == "--run-dir" && value) {
            options.runDir = value, ++i;
        } else if (arg == "--first-port" && value) {
            options.firstPort = std::atoi(value), ++i;
        } else if (arg == "-v") {
            options.verbose = true;
        } else {
            std::cerr << "usage: vm6142-cable-emu --line PTY [--variant N] [--run-dir DIR] "
                         "[--first-port N] [-v]\n";
            return 2;
        }
    }
    if (::pipe(stopPipe) != 0) return 1;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    vm::testing::EmulatedCable cables;
    if (!cables.ok()) {
        std::cerr << "vm6142-cable-emu: " << cables.error() << "\n";
        return 1;
    }
    const int cable = cables.Plug(variant, 5);
    if (cable < 0 || (!line.empty() && !cables.ConnectLine(cable, line))) {
        std::cerr << "vm6142-cable-emu: cannot set up the cable: " << cables.error() << "\n";
        return 1;
    }
    int code = 0;
    {
        vm::cable::CableHost host(options, vm::cable::MakeCableDriver({}),
                                  [](const std::string& text) { std::cerr << text << std::endl; });
        std::string error;
        if (!host.Start(&error)) {
            std::cerr << "vm6142-cable-emu: " << error << "\n";
            return 1;
        }
        std::thread commands([&] {
            std::string command;
            while (std::getline(std::cin, command)) {
                if (command == "unplug") cables.Unplug(cable);
            }
            OnSignal(0);
        });
        commands.detach();
        host.Run(stopPipe[0]);
    }
    return code;
}
