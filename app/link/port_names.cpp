#include "app/link/port_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <system_error>

#include "app/image/file_bytes.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace vm {

std::string PortName(int n) {
    return (n <= 9 ? "COM" : "\\\\.\\COM") + std::to_string(n);
}

std::optional<int> PortNumberOf(const std::string& path) {
    int n = 0;
    if (std::sscanf(path.c_str(), "%*[^M]M%d", &n) != 1) return std::nullopt;
    return n;
}

std::optional<int> ComNumberOf(const std::string& name) {
    std::string_view s = name;
    if (s.substr(0, 4) == "\\\\.\\") s.remove_prefix(4);
    if (s.size() < 4 || s.size() > 6) return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != "COM"[i]) return std::nullopt;
    int n = 0;
    for (const char c : s.substr(3)) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || s[3] == '0') return std::nullopt;
    return n;
}

ExplicitPorts ReadExplicitPorts(const std::function<std::string(const std::string& key)>& read,
                                std::optional<int> also) {
    ExplicitPorts ports;
    const auto take = [&](int n) {
        std::string device = read("COM" + std::to_string(n));
        if (!device.empty()) ports[n] = std::move(device);
    };
    for (int n = 1; n <= kPortCount; ++n) take(n);
    if (also && *also > kPortCount) take(*also);
    return ports;
}

namespace {

// Orders names with embedded numbers by value ("1-2" before "1-10", "ttyS2" before "ttyS10").
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            const std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
            const auto ta = na.find_first_not_of('0'), tb = nb.find_first_not_of('0');
            const std::string va = ta == std::string::npos ? "" : na.substr(ta);
            const std::string vb = tb == std::string::npos ? "" : nb.substr(tb);
            if (va.size() != vb.size()) return va.size() < vb.size();
            if (va != vb) return va < vb;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// The first line of a short attribute file; empty when it cannot be read.
std::string FirstLine(const std::filesystem::path& file) {
    const FileBytes read = ReadFileBytes(file, 256);
    const std::string_view text = read.Text();
    return std::string(text.substr(0, text.find('\n')));
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::filesystem::path& sys_class_tty,
                                           const std::filesystem::path& dev) {
    namespace fs = std::filesystem;
    struct Found {
        std::string order;  // sort key within its group
        std::string path;
    };
    std::vector<Found> usb, builtin;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sys_class_tty, ec)) {
        const std::string name = entry.path().filename().string();
        const fs::path device = entry.path() / "device";
        if (!fs::exists(device, ec) || !fs::exists(dev / name, ec)) continue;
        const std::string path = (dev / name).string();
        if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
            // The device's place in the USB topology does not change between runs.
            const fs::path where = fs::canonical(device, ec);
            usb.push_back({ec ? name : where.string() + "/" + name, path});
        } else if (name.rfind("ttyS", 0) == 0) {
            // The 8250 driver registers placeholders; only ports with a known UART are real.
            const std::string type = FirstLine(entry.path() / "type");
            if (!type.empty() && type != "0") builtin.push_back({name, path});
        } else if (name.rfind("ttyAMA", 0) == 0 || name.rfind("ttymxc", 0) == 0 ||
                   name.rfind("ttySAC", 0) == 0) {
            builtin.push_back({name, path});
        }
    }
    const auto by_order = [](const Found& a, const Found& b) {
        return NaturalLess(a.order, b.order);
    };
    std::sort(usb.begin(), usb.end(), by_order);
    std::sort(builtin.begin(), builtin.end(), by_order);
    std::vector<std::string> out;
    for (const auto& f : usb) out.push_back(f.path);
    for (const auto& f : builtin) out.push_back(f.path);
    return out;
}

std::filesystem::path PublishedPortsFolder() {
    if (const char* dir = std::getenv("VM6142_RUNTIME_DIR"); dir && *dir) return dir;
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir) {
        return std::filesystem::path(dir) / "vm6142";
    }
#ifdef _WIN32
    return std::filesystem::temp_directory_path() / "vm6142";
#else
    return std::filesystem::path("/tmp") / ("vm6142-" + std::to_string(getuid()));
#endif
}

ExplicitPorts PublishedPorts(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    ExplicitPorts ports;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        const auto n = ComNumberOf(name);
        // A link left behind by a program that has ended names nothing.
        if (!n || name != "COM" + std::to_string(*n) || !fs::exists(entry.path(), ec)) continue;
        ports[*n] = entry.path().string();
    }
    return ports;
}

ExplicitPorts WithPublishedPorts(ExplicitPorts explicit_ports,
                                 const std::filesystem::path& folder) {
    for (const auto& [n, path] : PublishedPorts(folder)) explicit_ports[n] = path;
    return explicit_ports;
}

std::string ResolvePort(const std::string& name, const ExplicitPorts& explicit_ports,
                        const std::vector<std::string>& devices) {
    const auto n = ComNumberOf(name);
    if (!n) return name;
    if (const auto it = explicit_ports.find(*n); it != explicit_ports.end()) return it->second;
#ifdef _WIN32
    // The system publishes the COM names itself.
    (void)devices;
    return name;
#endif
    // Devices named explicitly keep their own number; the others fill the free numbers in order.
    std::set<std::string> named;
    for (const auto& [number, device] : explicit_ports) named.insert(device);
    int number = 0;
    for (const auto& device : devices) {
        if (named.count(device)) continue;
        do ++number;
        while (explicit_ports.count(number));
        if (number == *n) return device;
    }
    return {};
}

PortProbe ProbePorts(const std::string& current, const PortResolver& resolve,
                     const PortOpenTest& can_open) {
    PortProbe probe;
    for (int n = 1; n <= kPortCount; ++n) {
        const std::string device = resolve(PortName(n));
        probe.available[static_cast<std::size_t>(n - 1)] = !device.empty() && can_open(device);
        probe.devices[static_cast<std::size_t>(n - 1)] = device;
    }
    const std::string device = resolve(current);
    if (!device.empty() && can_open(device)) {
        const auto n = PortNumberOf(current);
        if (n && *n >= 1 && *n <= kPortCount) probe.checked = *n;
    }
    return probe;
}

std::string PortLabel(const std::string& name, const std::string& device) {
    return device.empty() || device == name ? name : name + " (" + device + ")";
}

}  // namespace vm
