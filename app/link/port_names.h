// Serial port names: the sixteen COM names the Port dialog offers, the number a port path
// names, and how a COM name finds its device on this platform.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vm {

inline constexpr int kPortCount = 16;

// "COM%d" for ports 1 to 9, "\\.\COM%d" for 10 and above.
std::string PortName(int n);

// The number following the first "M" of a port path, read as "%*[^M]M%d" reads it (both name
// forms give their port number); nullopt when the pattern does not match.
std::optional<int> PortNumberOf(const std::string& path);

// The port number of a COM name ("COM3", "\\.\COM12", any letter case); nullopt for any other
// text, such as a device path.
std::optional<int> ComNumberOf(const std::string& name);

// Explicit devices for COM numbers, from the settings file (section "Ports", "COM3=/dev/ttyUSB1").
using ExplicitPorts = std::map<int, std::string>;
inline constexpr const char* kSectionPorts = "Ports";

// The explicit entries of COM1..COM16 (and of COM`also`, when above 16), given how to read one
// key ("COM3") of section "Ports" (empty: no entry).
ExplicitPorts ReadExplicitPorts(const std::function<std::string(const std::string& key)>& read,
                                std::optional<int> also = std::nullopt);

// Where a program that serves ports (the cable's host, usbser2k-host) publishes them: one
// symbolic link per COM name ("COM5") to the device. $VM6142_RUNTIME_DIR when set, otherwise
// $XDG_RUNTIME_DIR/vm6142, otherwise /tmp/vm6142-<user id>.
std::filesystem::path PublishedPortsFolder();

// The COM names published in the folder whose device is there, each with the link's path (a
// stable path to open); names above `kPortCount` too.
ExplicitPorts PublishedPorts(const std::filesystem::path& folder = PublishedPortsFolder());

// The explicit entries with the published ports put over them: a COM name a program publishes
// is found there first.
ExplicitPorts WithPublishedPorts(ExplicitPorts explicit_ports,
                                 const std::filesystem::path& folder = PublishedPortsFolder());

// Serial devices present, in the order they are given COM numbers: USB serial and ACM devices
// first, ordered by where they sit on the USB bus (stable across runs and plugging order), then
// the built-in ports that have hardware behind them.
std::vector<std::string> ListSerialDevices(
    const std::filesystem::path& sys_class_tty = "/sys/class/tty",
    const std::filesystem::path& dev = "/dev");

// The device a port name opens: a COM name takes its explicit entry, otherwise (on Windows the
// name itself) the next present device not named explicitly (COM numbers without an entry are given
// the remaining devices in order); any other text is a device path and is used as it is. Empty when
// a COM name has no device.
std::string ResolvePort(const std::string& name, const ExplicitPorts& explicit_ports,
                        const std::vector<std::string>& devices);

// A port as the user knows it: "COM3 (/dev/ttyUSB0)", or the name alone when it has no device
// or is the device itself.
std::string PortLabel(const std::string& name, const std::string& device);

// What the Port dialog shows: which of COM1..COM16 can be opened now, and the number of the
// current port when it opens and names one of them (0: no button checked).
struct PortProbe {
    std::array<bool, kPortCount> available{};
    std::array<std::string, kPortCount> devices{};  // what each COM name opens (empty: none)
    int checked = 0;
};

using PortResolver = std::function<std::string(const std::string& name)>;
using PortOpenTest = std::function<bool(const std::string& device)>;

PortProbe ProbePorts(const std::string& current, const PortResolver& resolve,
                     const PortOpenTest& can_open);

}  // namespace vm
