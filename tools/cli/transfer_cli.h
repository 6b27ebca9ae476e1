// What `read`, `write` and `ports` share: port names resolved as the settings file and the
// serial devices present say, and a clone transfer run with the terminal as its dialog
// (progress, message boxes on the error stream, the access-code prompt, Ctrl-C as Exit).
#pragma once

#include <optional>
#include <string>

#include "app/image/radio_image.h"
#include "app/link/clone_worker.h"
#include "app/link/port_names.h"
#include "tools/cli/cli.h"

namespace vm::cli {

// Exit status of a transfer cancelled with Ctrl-C (128 + SIGINT).
inline constexpr int kExitInterrupted = 130;

// The explicit COM devices of section "Ports" of the settings file (COM1..COM16, and `also`).
ExplicitPorts ExplicitPortsOf(const Context& ctx, std::optional<int> also = std::nullopt);

// The port name to use (`given`, else the port path of the settings file) and its device.
struct PortChoice {
    std::string name;    // empty: none given and none in the settings file
    std::string device;  // empty: a COM name without a device
    bool given = false;  // named with --port (not taken from the settings file)

    // "COM3 (/dev/ttyUSB0)", or the name alone when it is the device.
    std::string Describe() const { return PortLabel(name, device); }
};
PortChoice ChoosePort(const Context& ctx, const std::optional<std::string>& given);

struct TransferRequest {
    PortChoice port;
    std::optional<std::string> password;  // --password; otherwise asked on the terminal
    bool quiet = false;
    bool service = false;  // service mode: the dialog starts the transfer by itself
};

// The request the transfer commands' common options give (--port, --password, --quiet);
// `service` is the caller's, as not every command has --service.
TransferRequest RequestFromArgs(const Context& ctx, const Args& args);

// The protocol's waits for the tool's transfers: a real radio needs the defaults; tests that
// run the tool in-process against the simulated radio shrink the fixed sleeps.
LinkTiming& ToolLinkTiming();
// How the tool's transfers make their port: the platform's serial port; tests that run the tool
// in-process may put their own around it.
std::function<std::unique_ptr<SerialPort>()>& ToolMakePort();

// Runs the transfer of `table` on `image` (a read changes `image` only when it succeeds).
// Returns kExitSuccess, kExitFailure (the message is on the error stream) or kExitInterrupted
// (cancelled: with Ctrl-C during the blocks, or at the access-code prompt). A transfer that
// fails is a failure even when Ctrl-C came before it could take effect.
int RunTransfer(Context& ctx, RadioImage& image, const TransferRangeTable& table,
                const TransferRequest& request);

}  // namespace vm::cli
