// vm6142-cable-emu and vm6142-cable-emu9x (test-only, not installed): usbser2k-host (or
// usbser9x-host) over cables emulated with umockdev, the chip's serial side on a terminal
// device (a simulated radio's pseudo-terminal), so that any program speaking the clone protocol
// sits behind the emulated cable. Run it under umockdev-wrapper.
//
// Each --line plugs one cable (at device addresses 5, 6, ...). Lines on standard input act on
// the first cable: "unplug" pulls it out; "remove" waits until the host has let go of it, then
// takes its device away; "replug" plugs a cable in at its place again. With --unplug-at-block
// N the first cable is pulled out when the host sends it the N-th read block command. End of
// input (or SIGTERM) stops it. "remove" and "replug" answer with a line on standard output.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/driver/libusb/emulated_cable.h"
#include "tools/cable/cable_host.h"

namespace {
int stopPipe[2] = {-1, -1};
void OnSignal(int) {
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &stop, 1);
}

constexpr int kFirstAddress = 5;
}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> lines;
    int variant = 2;
    int unplugAtBlock = 0;
    vm::cable::HostOptions options;
    options.runDir = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--line" && value) {
            lines.push_back(value), ++i;
        } else if (arg == "--variant" && value) {
            variant = std::atoi(value), ++i;
        } else if (arg == "--run-dir" && value) {
            options.runDir = value, ++i;
        } else if (arg == "--first-port" && value) {
            options.firstPort = std::atoi(value), ++i;
        } else if (arg == "--unplug-at-block" && value) {
            unplugAtBlock = std::atoi(value), ++i;
        } else if (arg == "-v") {
            options.verbose = true;
        } else {
            std::cerr << "usage: vm6142-cable-emu [--line PTY]... [--variant N] [--run-dir DIR] "
                         "[--first-port N] [--unplug-at-block N] [-v]\n";
            return 2;
        }
    }
    if (lines.empty()) lines.emplace_back();
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
    auto plug = [&](int address, const std::string& line) {
        const int cable = cables.Plug(variant, address);
        if (cable < 0 || (!line.empty() && !cables.ConnectLine(cable, line))) {
            std::cerr << "vm6142-cable-emu: cannot set up the cable: " << cables.error() << "\n";
            return -1;
        }
        return cable;
    };
    std::vector<int> plugged;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int cable = plug(kFirstAddress + static_cast<int>(i), lines[i]);
        if (cable < 0) return 1;
        plugged.push_back(cable);
    }
    std::atomic<int> first = plugged[0];
    if (unplugAtBlock > 0) {
        // Counted on the emulation's thread; the first cable only, the first time only.
        auto blocks = std::make_shared<int>(0);
        cables.OnTransmit(first, [&cables, &first, blocks, unplugAtBlock](auto bytes) {
            if (bytes.size() == 4 && bytes[0] == 'R' && ++*blocks == unplugAtBlock) {
                std::cerr << "vm6142-cable-emu: pulling the cable out at block " << *blocks
                          << std::endl;
                cables.Unplug(first);
            }
        });
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
        const std::size_t served = lines.size();
        std::thread commands([&] {
            std::string command;
            while (std::getline(std::cin, command)) {
                if (command == "unplug") {
                    cables.Unplug(first);
                } else if (command == "remove") {
                    // The host closes its handle once it has seen the cable go.
                    const auto deadline =
                        std::chrono::steady_clock::now() + std::chrono::seconds(20);
                    while (host.Ports().size() >= served &&
                           std::chrono::steady_clock::now() < deadline) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                    if (host.Ports().size() >= served) {
                        std::cout << "still served" << std::endl;
                        continue;
                    }
                    cables.Remove(first);
                    std::cout << "removed" << std::endl;
                } else if (command == "replug") {
                    const int cable = plug(kFirstAddress, lines[0]);
                    if (cable >= 0) first = cable;
                    std::cout << (cable >= 0 ? "plugged" : "not plugged") << std::endl;
                }
            }
            OnSignal(0);
        });
        commands.detach();
        host.Run(stopPipe[0]);
    }
    return code;
}
