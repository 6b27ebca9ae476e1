#include "tools/cable/cable_host.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vm::cable {

namespace {
// The hardware identifier the drivers are installed for.
constexpr std::uint16_t kVendorId = 0x3A71;
constexpr std::uint16_t kProductId = 0x6142;

std::string Location(libusb_device* device) {
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string text = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < n; ++i) text += (i ? "." : "") + std::to_string(ports[i]);
    if (n <= 0) text += "@" + std::to_string(libusb_get_device_address(device));
    return text;
}

std::string Where(libusb_device* device) {
    char text[32];
    std::snprintf(text, sizeof text, "%03d:%03d", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return text;
}
}  // namespace

struct CableHost::Cable {
    libusb_device* device = nullptr;
    std::string location;
    std::string name;
    std::unique_ptr<drv::libusb::LibusbBus> bus;
    drv::DeviceObject* pdo = nullptr;
    bool added = false;
    std::unique_ptr<PtyPort> port;
    std::filesystem::path link;
};

CableHost::CableHost(HostOptions options, std::unique_ptr<CableDriver> driver, Log log)
    : options_(std::move(options)), log_(std::move(log)), cableDriver_(std::move(driver)) {}

CableHost::~CableHost() {
    // Every cable is let go of as if pulled out: ports closed, links removed.
    std::vector<libusb_device*> devices;
    {
        std::lock_guard lock(mutex_);
        for (auto& c : cables_) devices.push_back(c->device);
    }
    for (libusb_device* d : devices) Depart(d);
    if (context_ && hotplug_) libusb_hotplug_deregister_callback(context_, hotplug_);
    events_.reset();
    {
        std::lock_guard lock(mutex_);
        for (Event& e : queue_) libusb_unref_device(e.device);
        queue_.clear();
    }
    if (driver_ && driver_->DriverExtension) driver_->Unload(driver_.get());
    if (context_) libusb_exit(context_);
    for (int fd : wake_) {
        if (fd >= 0) ::close(fd);
    }
}

bool CableHost::Start(std::string* error) {
    kernel_.SetClockMode(drv::Kernel::ClockMode::WallClock);
    kernel_.SetTimerResolution(drv::kMillisecond);
    busDriver_ = std::make_unique<drv::UsbBusDriver>(kernel_);
    driver_ = std::make_unique<drv::DriverObject>(kernel_, "\\Driver\\" + cableDriver_->name());
    pnp_ = std::make_unique<drv::PnpManager>(kernel_);
    if (!cableDriver_->Load(kernel_, driver_.get(), error)) return false;
    std::error_code ec;
    std::filesystem::create_directories(options_.runDir, ec);
    if (ec) {
        *error = "cannot make " + options_.runDir.string() + ": " + ec.message();
        return false;
    }
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const int r = libusb_init(&context_);
    if (r != 0) {
        context_ = nullptr;
        *error = std::string("libusb: ") + libusb_error_name(r);
        return false;
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        *error = "libusb cannot follow plugging on this system";
        return false;
    }
    events_ = std::make_unique<drv::libusb::LibusbEvents>(context_);
    const int h = libusb_hotplug_register_callback(
        context_,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, kVendorId, kProductId, LIBUSB_HOTPLUG_MATCH_ANY,
        &CableHost::OnHotplug, this, &hotplug_);
    if (h != 0) {
        *error = std::string("hotplug: ") + libusb_error_name(h);
        return false;
    }
    return true;
}

int LIBUSB_CALL CableHost::OnHotplug(libusb_context*, libusb_device* device,
                                     libusb_hotplug_event event, void* self) {
    // Called on libusb's event handling: the work is done on the host's own thread.
    auto* host = static_cast<CableHost*>(self);
    {
        std::lock_guard lock(host->mutex_);
        host->queue_.push_back(
            {event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, libusb_ref_device(device)});
    }
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(host->wake_[1], &wake, 1);
    return 0;
}

bool CableHost::Matches(libusb_device* device) const {
    if (!options_.device) return true;
    return libusb_get_bus_number(device) == options_.device->first &&
           libusb_get_device_address(device) == options_.device->second;
}

std::string CableHost::NameFor(const std::string& location) {
    if (auto it = names_.find(location); it != names_.end()) return it->second;
    for (int n = options_.firstPort;; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const bool taken =
            std::any_of(names_.begin(), names_.end(), [&](auto& e) { return e.second == name; });
        std::error_code ec;
        const bool published = std::filesystem::is_symlink(options_.runDir / name, ec);
        if (!taken && !published) {
            names_[location] = name;
            return name;
        }
    }
}

void CableHost::Arrive(libusb_device* device) {
    if (!Matches(device)) return;
    {
        std::lock_guard lock(mutex_);
        for (auto& c : cables_) {
            if (c->device == device) return;
        }
    }
    auto cable = std::make_unique<Cable>();
    cable->device = libusb_ref_device(device);
    cable->location = Location(device);
    libusb_device_handle* handle = nullptr;
    const int r = libusb_open(device, &handle);
    if (r != 0) {
        if (r == LIBUSB_ERROR_ACCESS) {
            log_("cable at " + Where(device) +
                 ": access denied. Install the udev rule (sudo cp 60-vm6142-cable.rules "
                 "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm "
                 "trigger), then plug the cable in again.");
        } else {
            log_("cable at " + Where(device) + ": cannot open it: " + libusb_error_name(r));
        }
        libusb_unref_device(cable->device);
        return;
    }
    drv::libusb::LibusbBus::Trace trace;
    if (options_.verbose) trace = [this](const std::string& line) { log_(line); };
    cable->bus = std::make_unique<drv::libusb::LibusbBus>(handle, trace);
    cable->bus->SetOnDeviceGone([this, device] {
        // A transfer found the cable gone before hotplug said so.
        {
            std::lock_guard lock(mutex_);
            queue_.push_back({false, libusb_ref_device(device)});
        }
        const char wake = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &wake, 1);
    });
    cable->name = NameFor(cable->location);
    cable->pdo = busDriver_->CreatePdo(*cable->bus);
    drv::NTSTATUS status = pnp_->AddDevice(*driver_, cable->pdo);
    cable->added = drv::NT_SUCCESS(status);
    if (cable->added) {
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(device, &descriptor);
        cableDriver_->NamePort(kernel_, cable->pdo, descriptor.idVendor, descriptor.idProduct,
                               cable->name);
        status = pnp_->Start(cable->pdo);
    }
    if (!drv::NT_SUCCESS(status)) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
        log_("cable at " + Where(device) + ": the driver did not start it (" + text + ")" +
             (status == drv::STATUS_DEVICE_BUSY ? ": the kernel's own driver will not let go of it"
                                                : ""));
        if (cable->added) pnp_->Remove(cable->pdo);
        cable->bus.reset();
        libusb_unref_device(cable->device);
        return;
    }
    if (!cableDriver_->HasPort(kernel_, cable->name)) {
        log_("cable at " + Where(device) + ": the driver did not take the name " + cable->name);
    }
    cable->port = std::make_unique<PtyPort>(cableDriver_->Port(kernel_, cable->name, log_),
                                            cable->name, log_);
    std::string error;
    if (!cable->port->Start(&error)) {
        log_(cable->name + ": " + error);
    } else {
        // Published atomically: a reader sees the old link or the new one.
        cable->link = options_.runDir / cable->name;
        const auto temporary = options_.runDir / ("." + cable->name + ".new");
        std::error_code ec;
        std::filesystem::remove(temporary, ec);
        std::filesystem::create_symlink(cable->port->slavePath(), temporary, ec);
        if (!ec) std::filesystem::rename(temporary, cable->link, ec);
        if (ec) {
            log_(cable->name + ": cannot publish " + cable->link.string() + ": " + ec.message());
            cable->link.clear();
        }
    }
    log_("cable at " + Where(device) + " (" + cable->location + ") is " + cable->name + " on " +
         (cable->port ? cable->port->slavePath() : std::string("-")));
    std::lock_guard lock(mutex_);
    cables_.push_back(std::move(cable));
}

void CableHost::Depart(libusb_device* device) {
    std::unique_ptr<Cable> cable;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(cables_.begin(), cables_.end(),
                               [&](auto& c) { return c->device == device; });
        if (it == cables_.end()) return;
        cable = std::move(*it);
        cables_.erase(it);
    }
    log_(cable->name + ": cable removed");
    if (!cable->link.empty()) {
        std::error_code ec;
        std::filesystem::remove(cable->link, ec);
    }
    cable->bus->Disconnect();
    pnp_->SurpriseRemoval(cable->pdo);
    if (cable->port) cable->port->Stop();
    pnp_->Remove(cable->pdo);
    cable->bus.reset();
    libusb_unref_device(cable->device);
}

void CableHost::Run(int stopFd) {
    for (;;) {
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        ++loopWakeups_;
        if (fds[0].revents) return;
        char drain[64];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
        std::vector<Event> events;
        {
            std::lock_guard lock(mutex_);
            events.swap(queue_);
        }
        // Cables that arrive together (those plugged in when the host starts) are named in the
        // order of where they are plugged in, so they get the same COM names every time.
        for (auto run = events.begin(); run != events.end();) {
            const auto end =
                std::find_if(run, events.end(), [](const Event& e) { return !e.arrived; });
            std::stable_sort(run, end, [](const Event& a, const Event& b) {
                return Location(a.device) < Location(b.device);
            });
            run = end == events.end() ? end : end + 1;
        }
        for (const Event& e : events) {
            if (e.arrived) {
                Arrive(e.device);
            } else {
                Depart(e.device);
            }
            libusb_unref_device(e.device);
        }
    }
}

bool CableHost::CableSeen() const {
    std::lock_guard lock(mutex_);
    if (!cables_.empty()) return true;
    return std::any_of(queue_.begin(), queue_.end(),
                       [&](const Event& e) { return e.arrived && Matches(e.device); });
}

HostActivity CableHost::Activity() const {
    HostActivity activity;
    activity.loopWakeups = loopWakeups_.load();
    std::lock_guard lock(mutex_);
    for (auto& c : cables_) {
        if (c->port) activity.portWakeups += c->port->wakeups();
    }
    return activity;
}

std::vector<std::string> CableHost::Ports() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (auto& c : cables_) names.push_back(c->name);
    return names;
}

}  // namespace vm::cable
