#include "tests/driver/libusb/emulated_cable.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "tests/driver/libusb/fifo_turns.h"

namespace vm::testing {

namespace {

struct Urb {
    UMockdevIoctlData* arg = nullptr;     // the client's usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its data buffer (null when it has none)
    usbdevfs_urb* urb() const { return reinterpret_cast<usbdevfs_urb*>(arg->data); }
};

void Release(Urb& u) {
    if (u.buffer) g_object_unref(u.buffer);
    if (u.arg) g_object_unref(u.arg);
    u = {};
}

std::string HexOf(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

}  // namespace

// One emulated cable: the chip model, the URBs it holds and its serial side.
struct Device {
    EmulatedCable::Impl* owner = nullptr;
    std::string sysPath;
    std::string node;
    UMockdevIoctlBase* handler = nullptr;

    mutable std::mutex mutex;
    sim::ChipModel model;
    std::vector<sim::WireRecord> log;
    std::deque<Urb> waiting;  // IN transfers with nothing to read yet
    std::deque<Urb> done;     // completed, to be reaped
    bool gone = false;
    bool removed = false;
    EmulatedCable::TransmitHook onTransmit;

    int line = -1;
    int stopPipe[2] = {-1, -1};
    std::thread reader;

    explicit Device(int variant) : model(sim::ChipProfile::ForVariant(variant)) {}
};

struct EmulatedCable::Impl {
    UMockdevTestbed* testbed = nullptr;
    // The ioctl handlers' signals are dispatched on this context, by this thread.
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread dispatcher;
    std::string error;
    std::vector<std::unique_ptr<Device>> devices;
};

namespace {

// Carries out a submitted URB against the chip; false when it has to wait for data.
bool Carry(Device& d, Urb& u, std::vector<std::uint8_t>* transmitted) {
    usbdevfs_urb* urb = u.urb();
    std::span<std::uint8_t> data;
    if (u.buffer)
        data =
            std::span<std::uint8_t>(u.buffer->data, static_cast<std::size_t>(u.buffer->data_len));
    if (d.gone) {
        urb->status = -ENODEV;
        urb->actual_length = 0;
        return true;
    }
    sim::WireRecord r;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (data.size() < 8) {
            urb->status = -EINVAL;
            return true;
        }
        sim::SetupPacket setup;
        setup.requestType = data[0];
        setup.request = data[1];
        setup.value = static_cast<std::uint16_t>(data[2] | data[3] << 8);
        setup.index = static_cast<std::uint16_t>(data[4] | data[5] << 8);
        setup.length = static_cast<std::uint16_t>(data[6] | data[7] << 8);
        const auto stage = data.subspan(8, std::min<std::size_t>(setup.length, data.size() - 8));
        r = sim::WireRecord::ForControl(setup, stage);
        d.log.push_back(r);
        const auto n = d.model.Control(setup, stage);
        urb->status = n ? 0 : -EPIPE;
        urb->actual_length = n ? static_cast<int>(*n) : 0;
        return true;
    }
    r.endpoint = urb->endpoint;
    r.length = static_cast<std::uint16_t>(data.size());
    if (!d.model.Configured() || !d.model.HasEndpoint(urb->endpoint)) {
        d.log.push_back(r);
        urb->status = -EPIPE;
        urb->actual_length = 0;
        return true;
    }
    if (urb->endpoint == sim::ChipModel::kBulkOut) {
        r.kind = sim::WireRecord::Kind::BulkOut;
        r.data.assign(data.begin(), data.end());
        d.log.push_back(r);
        d.model.BulkOut(data);
        if (transmitted) transmitted->insert(transmitted->end(), data.begin(), data.end());
        urb->status = 0;
        urb->actual_length = static_cast<int>(data.size());
        return true;
    }
    const auto n = urb->endpoint == sim::ChipModel::kInterruptIn ? d.model.InterruptIn(data)
                                                                 : d.model.BulkIn(data);
    if (!n) return false;
    urb->status = 0;
    urb->actual_length = static_cast<int>(*n);
    return true;
}

void RecordTransfer(Device& d, const usbdevfs_urb* urb, int length) {
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL || urb->endpoint == sim::ChipModel::kBulkOut) return;
    sim::WireRecord r;
    r.kind = urb->endpoint == sim::ChipModel::kInterruptIn ? sim::WireRecord::Kind::InterruptIn
                                                           : sim::WireRecord::Kind::BulkIn;
    r.endpoint = urb->endpoint;
    r.length = static_cast<std::uint16_t>(length);
    d.log.push_back(r);
}

void WriteLine(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t put = 0;
    while (fd >= 0 && put < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + put, bytes.size() - put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        put += static_cast<std::size_t>(n);
    }
}

// Takes waiting IN transfers that can be served now.
void Serve(Device& d) {
    for (auto it = d.waiting.begin(); it != d.waiting.end();) {
        if (Carry(d, *it, nullptr)) {
            d.done.push_back(*it);
            it = d.waiting.erase(it);
        } else {
            ++it;
        }
    }
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto& d = *static_cast<Device*>(user);
    const gulong request = umockdev_ioctl_client_get_request(client);
    // The argument is the caller's pointer; what it points to is resolved as needed.
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* pointed = nullptr;
    const bool trace = std::getenv("VM_EMULATED_CABLE_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "emulated cable: ioctl %lx\n", request);
    auto value = [&]() -> std::uint32_t {
        std::uint32_t v = 0;
        if (!pointed) pointed = umockdev_ioctl_data_resolve(arg, 0, 4, nullptr);
        if (pointed) std::memcpy(&v, pointed->data, 4);
        return v;
    };
    std::vector<std::uint8_t> transmitted;
    // A reaped URB's data reaches the caller when the ioctl completes: held until then.
    Urb reaped;
    UMockdevIoctlData* slot = nullptr;
    int line = -1;
    long result = 0;
    int error = 0;
    {
        std::lock_guard lock(d.mutex);
        line = d.line;
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES:
                pointed = umockdev_ioctl_data_resolve(arg, 0, 4, nullptr);
                if (pointed) {
                    const std::uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION |
                                               USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
                    std::memcpy(pointed->data, &caps, 4);
                }
                break;
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE:
            case USBDEVFS_SETINTERFACE:
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESETEP:
                if (d.gone) result = -1, error = ENODEV;
                break;
            case USBDEVFS_RESET:
                if (d.gone) result = -1, error = ENODEV;
                break;
            case USBDEVFS_SETCONFIGURATION: {
                const std::uint32_t configuration = value();
                sim::WireRecord r;
                r.kind = configuration ? sim::WireRecord::Kind::SelectConfiguration
                                       : sim::WireRecord::Kind::Unconfigure;
                d.log.push_back(r);
                if (d.gone) {
                    result = -1, error = ENODEV;
                } else {
                    sim::SetupPacket setup;
                    setup.request = 0x09;
                    setup.value = static_cast<std::uint16_t>(configuration);
                    if (!d.model.Control(setup, {})) result = -1, error = EINVAL;
                }
                break;
            }
            case USBDEVFS_GETDRIVER:
                result = -1, error = ENODATA;  // no kernel driver is bound
                break;
            case USBDEVFS_IOCTL:
                result = -1, error = ENODATA;
                break;
            case USBDEVFS_SUBMITURB: {
                Urb u;
                u.arg = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
                if (!u.arg) {
                    result = -1, error = EFAULT;
                    break;
                }
                const usbdevfs_urb* urb = u.urb();
                if (urb->buffer_length > 0) {
                    u.buffer = umockdev_ioctl_data_resolve(u.arg, offsetof(usbdevfs_urb, buffer),
                                                           static_cast<gsize>(urb->buffer_length),
                                                           nullptr);
                }
                if (d.gone) {
                    Release(u);
                    result = -1, error = ENODEV;
                    break;
                }
                if (Carry(d, u, &transmitted)) {
                    RecordTransfer(d, u.urb(), u.urb()->buffer_length);
                    d.done.push_back(u);
                } else {
                    RecordTransfer(d, u.urb(), u.urb()->buffer_length);
                    d.waiting.push_back(u);
                }
                break;
            }
            case USBDEVFS_DISCARDURB: {
                bool found = false;
                gulong address = 0;
                std::memcpy(
                    &address, arg->data,
                    std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
                for (auto it = d.waiting.begin(); it != d.waiting.end(); ++it) {
                    if (it->arg->client_addr != address) continue;
                    it->urb()->status = -ENOENT;
                    it->urb()->actual_length = 0;
                    d.done.push_back(*it);
                    d.waiting.erase(it);
                    found = true;
                    break;
                }
                if (!found) result = -1, error = EINVAL;
                break;
            }
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: {
                Serve(d);
                if (d.done.empty()) {
                    // Answered at once: the caller pauses (see ioctl below).
                    result = -1, error = d.gone ? ENODEV : EAGAIN;
                    break;
                }
                reaped = d.done.front();
                d.done.pop_front();
                slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
                if (slot) umockdev_ioctl_data_set_ptr(slot, 0, reaped.arg);
                break;
            }
            default:
                // Nothing else is expected of a cable: refused, as usbdevfs refuses what it
                // does not know.
                if (std::getenv("VM_EMULATED_CABLE_TRACE")) {
                    std::fprintf(stderr, "emulated cable: ioctl %lx refused\n", request);
                }
                result = -1, error = ENOTTY;
                break;
        }
    }
    WriteLine(line, transmitted);
    if (!transmitted.empty() && d.onTransmit) d.onTransmit(transmitted);
    umockdev_ioctl_client_complete(client, result, error);
    if (trace) std::fprintf(stderr, "emulated cable: ioctl %lx: %ld %d\n", request, result, error);
    if (slot) g_object_unref(slot);
    if (pointed) g_object_unref(pointed);
    Release(reaped);
    return TRUE;
}

void LineReader(Device* d) {
    std::uint8_t buffer[512];
    for (;;) {
        pollfd fds[2] = {{d->line, POLLIN, 0}, {d->stopPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return;
        const ssize_t n = ::read(d->line, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            pollfd stop{d->stopPipe[0], POLLIN, 0};
            ::poll(&stop, 1, -1);
            return;
        }
        std::lock_guard lock(d->mutex);
        d->model.Receive(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
    }
}

void DisconnectLine(Device& d) {
    if (d.line < 0) return;
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = ::write(d.stopPipe[1], &stop, 1);
    d.reader.join();
    std::lock_guard lock(d.mutex);
    ::close(d.line);
    ::close(d.stopPipe[0]);
    ::close(d.stopPipe[1]);
    d.line = -1;
}

}  // namespace

EmulatedCable::EmulatedCable() : impl_(std::make_unique<Impl>()) {
    impl_->context = g_main_context_new();
    impl_->loop = g_main_loop_new(impl_->context, FALSE);
    impl_->testbed = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) {
        impl_->error = "not running under umockdev-wrapper";
    }
    impl_->dispatcher = std::thread([loop = impl_->loop] { g_main_loop_run(loop); });
}

EmulatedCable::~EmulatedCable() {
    for (auto& d : impl_->devices) {
        DisconnectLine(*d);
        if (d->handler) {
            umockdev_testbed_detach_ioctl(impl_->testbed, d->node.c_str(), nullptr);
            g_object_unref(d->handler);
        }
        std::lock_guard lock(d->mutex);
        for (Urb& u : d->waiting) Release(u);
        for (Urb& u : d->done) Release(u);
    }
    g_object_unref(impl_->testbed);
    g_main_loop_quit(impl_->loop);
    impl_->dispatcher.join();
    g_main_loop_unref(impl_->loop);
    g_main_context_unref(impl_->context);
}

bool EmulatedCable::ok() const {
    return impl_->error.empty();
}

const std::string& EmulatedCable::error() const {
    return impl_->error;
}

int EmulatedCable::Plug(int variant, int address) {
    auto d = std::make_unique<Device>(variant);
    d->owner = impl_.get();
    char bus[32];
    std::snprintf(bus, sizeof bus, "bus/usb/001/%03d", address);
    d->node = std::string("/dev/") + bus;
    std::vector<std::uint8_t> descriptors = d->model.DeviceDescriptor();
    const auto config = d->model.ConfigurationDescriptor();
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    char text[1024];
    std::snprintf(text, sizeof text,
                  "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\n"
                  "N: %s\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "E: DEVNAME=/dev/%s\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=12\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "H: descriptors=%s\n",
                  address, bus, address, bus, address, d->model.profile().vendorId,
                  d->model.profile().productId, HexOf(descriptors).c_str());
    char sysPath[128];
    std::snprintf(sysPath, sizeof sysPath, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d",
                  address);
    d->sysPath = sysPath;
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(OnIoctl), d.get());
    // Attached on the dispatching thread, so that its signals are dispatched there.
    struct Attach {
        Impl* impl;
        Device* device;
        GError* error = nullptr;
        bool attached = false;
        std::promise<void> done;
    } attach{impl_.get(), d.get(), nullptr, false, {}};
    g_main_context_invoke(
        impl_->context,
        [](gpointer data) -> gboolean {
            auto* a = static_cast<Attach*>(data);
            g_main_context_push_thread_default(a->impl->context);
            a->attached = umockdev_testbed_attach_ioctl(a->impl->testbed, a->device->node.c_str(),
                                                        a->device->handler, &a->error);
            g_main_context_pop_thread_default(a->impl->context);
            a->done.set_value();
            return G_SOURCE_REMOVE;
        },
        &attach);
    attach.done.get_future().wait();
    GError* error = attach.error;
    if (!attach.attached) {
        impl_->error = error ? error->message : "attach_ioctl failed";
        if (error) g_error_free(error);
        return -1;
    }
    // The handler is in place before the device appears: a host that follows plugging opens it
    // as soon as udev says it is there.
    error = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->testbed, text, &error)) {
        impl_->error = error ? error->message : "add_from_string failed";
        if (error) g_error_free(error);
        return -1;
    }
    impl_->devices.push_back(std::move(d));
    return static_cast<int>(impl_->devices.size() - 1);
}

void EmulatedCable::Unplug(int cable, bool announce) {
    Device& d = *impl_->devices.at(static_cast<std::size_t>(cable));
    {
        std::lock_guard lock(d.mutex);
        if (d.gone) return;
        d.gone = true;
        // What was in flight ends as the kernel ends it for a device that has gone.
        for (Urb& u : d.waiting) {
            u.urb()->status = -ENODEV;
            u.urb()->actual_length = 0;
            d.done.push_back(u);
        }
        d.waiting.clear();
    }
    if (announce) umockdev_testbed_uevent(impl_->testbed, d.sysPath.c_str(), "remove");
    // The node stays (removing it under an open handle stalls the preload); every request on
    // it now fails as on a device that has gone.
}

void EmulatedCable::Remove(int cable) {
    Unplug(cable);
    Device& d = *impl_->devices.at(static_cast<std::size_t>(cable));
    if (d.removed) return;
    d.removed = true;
    DisconnectLine(d);
    if (d.handler) {
        umockdev_testbed_detach_ioctl(impl_->testbed, d.node.c_str(), nullptr);
        g_object_unref(d.handler);
        d.handler = nullptr;
    }
    // udev hears of it (as libusb's hotplug does), then the device goes.
    umockdev_testbed_uevent(impl_->testbed, d.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->testbed, d.sysPath.c_str());
}

void EmulatedCable::OnTransmit(int cable, TransmitHook hook) {
    Device& d = *impl_->devices.at(static_cast<std::size_t>(cable));
    d.onTransmit = std::move(hook);
}

std::vector<sim::WireRecord> EmulatedCable::Log(int cable) const {
    Device& d = *impl_->devices.at(static_cast<std::size_t>(cable));
    std::lock_guard lock(d.mutex);
    return d.log;
}

std::vector<std::string> EmulatedCable::ControlLog(int cable) const {
    std::vector<std::string> lines;
    for (const sim::WireRecord& r : Log(cable)) {
        if (r.kind == sim::WireRecord::Kind::Control) lines.push_back(r.ToString());
    }
    return lines;
}

std::vector<std::uint8_t> EmulatedCable::Transmitted(int cable) const {
    Device& d = *impl_->devices.at(static_cast<std::size_t>(cable));
    std::lock_guard lock(d.mutex);
    return d.model.Transmitted();
}

void EmulatedCable::InjectReceive(int cable, const std::vector<std::uint8_t>& bytes) {
    Device& d = *impl_->devices.at(static_cast<std::size_t>(cable));
    std::lock_guard lock(d.mutex);
    d.model.Receive(bytes);
}

bool EmulatedCable::ConnectLine(int cable, const std::string& device) {
    Device& d = *impl_->devices.at(static_cast<std::size_t>(cable));
    DisconnectLine(d);
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    if (::pipe(d.stopPipe) != 0) {
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(d.mutex);
        d.line = fd;
    }
    d.reader = std::thread(LineReader, &d);
    return true;
}

namespace {
std::mutex idlePauseMutex;
std::function<void()> idlePause;  // empty: the default pause
}  // namespace

void EmulatedCable::SetIdlePause(std::function<void()> pause) {
    std::lock_guard lock(idlePauseMutex);
    idlePause = std::move(pause);
}

namespace {
void IdlePause() {
    std::function<void()> pause;
    {
        std::lock_guard lock(idlePauseMutex);
        pause = idlePause;
    }
    if (pause) {
        pause();
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}
}  // namespace

}  // namespace vm::testing

// The usbdevfs requests of this process, taken in turns per device node.
//
// umockdev's preload holds a lock of the node's file descriptor for the whole round trip of a
// request to the handler. libusb's event thread reaps in a loop while a transfer is pending and
// takes that lock again microseconds after giving it back, so another thread's request (the host
// submitting the bytes a program wrote) only got in when it woke up within that gap; on a loaded
// machine it waited for seconds. Here every request takes its turn first, in the order asked
// for, and the pause after a reap that found nothing is taken with no turn held.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    if (_IOC_TYPE(request) != _IOC_TYPE(USBDEVFS_REAPURBNDELAY)) return next(fd, request, arg);
    static vm::testing::FifoTurns turns;
    turns.Take(fd);
    const int result = next(fd, request, arg);
    const int error = errno;
    turns.Give(fd);
    if (request == USBDEVFS_REAPURBNDELAY && result < 0 && error == EAGAIN)
        vm::testing::IdlePause();
    errno = error;
    return result;
}
