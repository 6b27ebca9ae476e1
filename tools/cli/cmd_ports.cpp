// vm6142 ports: COM1..COM16, the device each one is, and whether it can be opened now.
#include <algorithm>

#include "app/link/serial_port.h"
#include "tools/cli/cli.h"
#include "tools/cli/transfer_cli.h"

namespace vm::cli {

namespace {

int RunPorts(Context& ctx, const Args&) {
    const std::string current = ctx.app.port_path;
    const ExplicitPorts explicit_ports = ExplicitPortsOf(ctx, ComNumberOf(current));
    const ExplicitPorts published = PublishedPorts();
    const std::vector<std::string> devices = ListSerialDevices();
    const PortResolver resolve = [&](const std::string& name) {
        return ResolvePort(name, explicit_ports, devices);
    };
    // The Port dialog's probe: the same opens, the same check of the current port.
    const PortProbe probe = ProbePorts(current, resolve, CanOpenPort);

    std::size_t width = 6;
    for (int n = 1; n <= kPortCount; ++n) width = std::max(width, resolve(PortName(n)).size());
    const auto pad = [](std::string s, std::size_t w) {
        s.resize(std::max(s.size(), w), ' ');
        return s;
    };
    ctx.out << pad("PORT", 12) << pad("DEVICE", width + 2) << "STATE\n";
    for (int n = 1; n <= kPortCount; ++n) {
        const std::string device = resolve(PortName(n));
        const bool open = probe.available[static_cast<std::size_t>(n - 1)];
        std::string state = device.empty() ? "no device"
                            : open         ? "available"
                                           : "cannot be opened (in use, or not permitted)";
        if (published.count(n)) {
            state += ", published by the cable's host";
        } else if (explicit_ports.count(n)) {
            state += ", from Program.ini";
        }
        if (probe.checked == n) state += ", current";
        ctx.out << pad(PortName(n), 12) << pad(device.empty() ? "-" : device, width + 2) << state
                << "\n";
    }
    const std::string device = resolve(current);
    ctx.out << "current port (Program.ini): " << (current.empty() ? "(none)" : current);
    if (!device.empty() && device != current) ctx.out << " = " << device;
    ctx.out << (device.empty()        ? ": no device"
                : probe.checked != 0  ? ""
                : CanOpenPort(device) ? ": available"
                                      : ": cannot be opened")
            << "\n";
    return kExitSuccess;
}

}  // namespace

extern const Command kPortsCommand = {
    .name = "ports",
    .arguments = "",
    .summary = "List COM1..COM16, their devices, and which can be opened now.",
    .description =
        "Shows what the editor's Port dialog offers: for each of COM1..COM16 the serial device\n"
        "it stands for and whether it can be opened now (a port that another program holds\n"
        "cannot). A COM name is first the port the cable's host (usbser2k-host) publishes\n"
        "under it, then the device given in section \"Ports\" of Program.ini\n"
        "(\"COM3=/dev/ttyUSB1\"); the COM numbers without either are given the serial devices\n"
        "present in order: USB serial and ACM devices first, by their place on the USB bus,\n"
        "then the built-in ports. The current port is \"COM\" in section \"Setup\".",
    .options = {},
    .min_args = 0,
    .max_args = 0,
    .run = RunPorts,
};

}  // namespace vm::cli
