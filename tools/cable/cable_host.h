// The cable host: a driver (usbser2k or usbser9x) on the platform layer, driving cables through
// libusb and serving each started port as a pseudo-terminal published under its COM name.
//
// Cables are found by the driver's hardware identifiers (or the one at a given bus and
// address) and followed with hotplug: arrival → the bus device, AddDevice and start; departure
// → everything pending fails, surprise removal, the port is closed, then removal. A cable
// plugged in again where it was gets the COM name it had.
#pragma once

#include <libusb.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/libusb/libusb_bus.h"
#include "driver/platform/kernel.h"
#include "driver/platform/pnp_manager.h"
#include "driver/platform/usb.h"
#include "tools/cable/cable_driver.h"
#include "tools/cable/pty_port.h"

namespace vm::cable {

struct HostOptions {
    // Only the cable at this bus and address ("--device BUS:ADDR").
    std::optional<std::pair<int, int>> device;
    // Where the ports are published (a symbolic link per COM name).
    std::filesystem::path runDir;
    // The lowest COM number given to a cable.
    int firstPort = 5;
    // Print every URB.
    bool verbose = false;
};

// What the host's own loop has done, for measuring that an idle host sleeps.
struct HostActivity {
    std::uint64_t loopWakeups = 0;  // the host's event loop
    std::uint64_t portWakeups = 0;  // the ports' serving threads, summed
};

class CableHost {
public:
    using Log = std::function<void(const std::string& line)>;
    CableHost(HostOptions options, std::unique_ptr<CableDriver> driver, Log log);
    ~CableHost();
    CableHost(const CableHost&) = delete;
    CableHost& operator=(const CableHost&) = delete;

    // Sets up libusb, the driver and hotplug; false with the reason when it cannot.
    bool Start(std::string* error);
    // Serves cables until `stopFd` becomes readable.
    void Run(int stopFd);
    // Whether a cable with the driver's identifiers (and at the bus and address asked for) is
    // plugged in or has arrived.
    bool CableSeen() const;
    // Cables being served, and the COM names they are published under.
    std::vector<std::string> Ports() const;
    HostActivity Activity() const;

private:
    struct Cable;
    struct Event {
        bool arrived;
        libusb_device* device;
    };
    static int LIBUSB_CALL OnHotplug(libusb_context* context, libusb_device* device,
                                     libusb_hotplug_event event, void* self);
    void Arrive(libusb_device* device);
    void Depart(libusb_device* device);
    void CheckGone();
    std::string NameFor(const std::string& location);
    bool Matches(libusb_device* device) const;

    HostOptions options_;
    Log log_;
    std::atomic<std::uint64_t> loopWakeups_{0};
    libusb_context* context_ = nullptr;
    libusb_hotplug_callback_handle hotplug_ = 0;
    std::unique_ptr<drv::libusb::LibusbEvents> events_;
    int wake_[2] = {-1, -1};

    drv::Kernel kernel_;
    std::unique_ptr<CableDriver> cableDriver_;
    std::unique_ptr<drv::UsbBusDriver> busDriver_;
    std::unique_ptr<drv::DriverObject> driver_;
    std::unique_ptr<drv::PnpManager> pnp_;

    mutable std::mutex mutex_;
    std::vector<Event> queue_;
    std::vector<std::unique_ptr<Cable>> cables_;
    std::map<std::string, std::string> names_;  // USB location → COM name
};

}  // namespace vm::cable
