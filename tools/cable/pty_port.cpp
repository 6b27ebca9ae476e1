#include "tools/cable/pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/usbser2k/handflow.h"
#include "driver/usbser2k/serial.h"

namespace vm::cable {

namespace k = drv::usbser2k;

namespace {
constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFF;

std::uint32_t BaudOf(speed_t speed) {
    switch (speed) {
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t n) {
    std::size_t put = 0;
    while (put < n) {
        const ssize_t w = ::write(fd, data + put, n - put);
        if (w > 0) {
            put += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        return false;
    }
    return true;
}

std::string Hex(std::uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}
}  // namespace

PtyPort::PtyPort(drv::Kernel& kernel, std::string objectName, Log log)
    : kernel_(kernel), objectName_(std::move(objectName)), log_(std::move(log)) {}

PtyPort::~PtyPort() {
    Stop();
}

bool PtyPort::Start(std::string* error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        *error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        Stop();
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        *error = "cannot name the pseudo-terminal";
        Stop();
        return false;
    }
    slavePath_ = name;
    // Raw, and every termios change and flush on the slave reported to the master.
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    t.c_lflag |= EXTPROC;
    tcsetattr(master_, TCSANOW, &t);
    int on = 1;
    ioctl(master_, TIOCPKT, &on);
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0 ||
        inotify_add_watch(inotify_, slavePath_.c_str(),
                          IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0 ||
        ::pipe2(stop_, O_CLOEXEC) != 0) {
        *error = std::string("cannot watch ") + slavePath_ + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    server_ = std::thread([this] { Serve(); });
    return true;
}

void PtyPort::Stop() {
    if (server_.joinable()) {
        const char stop = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_[1], &stop, 1);
        server_.join();
    }
    ClosePort();
    for (int* fd : {&master_, &inotify_, &stop_[0], &stop_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

bool PtyPort::Control(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                      std::uint32_t outLength) {
    std::lock_guard lock(fileMutex_);
    if (!file_) return false;
    const drv::NTSTATUS status = file_->DeviceIoControl(code, in, inLength, out, outLength);
    if (!drv::NT_SUCCESS(status)) {
        ++failures_;
        log_(objectName_ + ": request " + Hex(code) +
             " failed: " + Hex(static_cast<std::uint32_t>(status)));
        return false;
    }
    return true;
}

void PtyPort::OpenPort() {
    std::unique_ptr<drv::host::HostFile> file;
    const drv::NTSTATUS status = drv::host::HostFile::Open(kernel_, objectName_, &file);
    if (!drv::NT_SUCCESS(status)) {
        ++failures_;
        log_(objectName_ + ": open failed: " + Hex(static_cast<std::uint32_t>(status)));
        return;
    }
    {
        std::lock_guard lock(fileMutex_);
        file_ = std::move(file);
    }
    // Reads return as soon as any byte is there, or after a short wait.
    const k::SerialTimeouts timeouts{kMaxTimeout, kMaxTimeout, 200, 0, 0};
    Control(k::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
    appliedValid_ = false;
    ApplySettings();
    open_ = true;
    failures_ = 0;
    readerStop_ = false;
    reader_ = std::thread([this] { ReadFromDriver(); });
    log_(objectName_ + ": opened on " + slavePath_);
}

void PtyPort::ClosePort() {
    if (reader_.joinable()) {
        readerStop_ = true;
        {
            std::lock_guard lock(fileMutex_);
            if (file_) file_->CancelIo();
        }
        reader_.join();
    }
    std::unique_ptr<drv::host::HostFile> file;
    {
        std::lock_guard lock(fileMutex_);
        file = std::move(file_);
    }
    if (file) {
        file->Close();
        log_(objectName_ + ": closed");
    }
    open_ = false;
}

void PtyPort::ApplySettings() {
    termios t{};
    if (tcgetattr(master_, &t) != 0) return;
    const bool speedChanged = !appliedValid_ || cfgetospeed(&t) != cfgetospeed(&applied_);
    const tcflag_t lineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    const bool lineChanged =
        !appliedValid_ || (t.c_cflag & lineBits) != (applied_.c_cflag & lineBits);
    const bool flowChanged = !appliedValid_ ||
                             (t.c_cflag & CRTSCTS) != (applied_.c_cflag & CRTSCTS) ||
                             (t.c_iflag & (IXON | IXOFF)) != (applied_.c_iflag & (IXON | IXOFF));
    applied_ = t;
    appliedValid_ = true;
    if (speedChanged) {
        const std::uint32_t baud = BaudOf(cfgetospeed(&t));
        if (baud != 0) {
            Control(k::IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0);
        } else {
            log_(objectName_ + ": a speed the port does not have was asked for");
        }
    }
    if (lineChanged) {
        k::SerialLineControlRecord lc{};
        switch (t.c_cflag & CSIZE) {
            case CS5:
                lc.WordLength = 5;
                break;
            case CS6:
                lc.WordLength = 6;
                break;
            case CS7:
                lc.WordLength = 7;
                break;
            default:
                lc.WordLength = 8;
                break;
        }
        lc.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
        if (!(t.c_cflag & PARENB)) {
            lc.Parity = 0;
        } else if (t.c_cflag & CMSPAR) {
            lc.Parity = (t.c_cflag & PARODD) ? 3 : 4;
        } else {
            lc.Parity = (t.c_cflag & PARODD) ? 1 : 2;
        }
        Control(k::IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc, nullptr, 0);
    }
    if (flowChanged) {
        drv::SerialHandflow handflow;
        if (Control(k::IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handflow, sizeof handflow)) {
            const bool rtscts = (t.c_cflag & CRTSCTS) != 0;
            handflow.ControlHandShake &= ~drv::SERIAL_CTS_HANDSHAKE;
            if (rtscts) handflow.ControlHandShake |= drv::SERIAL_CTS_HANDSHAKE;
            handflow.FlowReplace &=
                ~(drv::SERIAL_RTS_HANDSHAKE | drv::SERIAL_AUTO_TRANSMIT | drv::SERIAL_AUTO_RECEIVE);
            if (rtscts) handflow.FlowReplace |= drv::SERIAL_RTS_HANDSHAKE;
            if (t.c_iflag & IXON) handflow.FlowReplace |= drv::SERIAL_AUTO_TRANSMIT;
            if (t.c_iflag & IXOFF) handflow.FlowReplace |= drv::SERIAL_AUTO_RECEIVE;
            Control(k::IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow, nullptr, 0);
        }
    }
}

void PtyPort::ReadFromDriver() {
    std::uint8_t buffer[256];
    while (!readerStop_.load()) {
        std::uint32_t got = 0;
        drv::NTSTATUS status;
        {
            // The handle is only replaced once this thread has ended.
            drv::host::HostFile* file = file_.get();
            status = file->Read(buffer, sizeof buffer, &got);
        }
        if (status == drv::STATUS_CANCELLED && !readerStop_.load()) {
            continue;  // a purge aborted the read: the port stays open
        }
        if (!drv::NT_SUCCESS(status)) {
            if (readerStop_.load()) return;
            ++failures_;
            log_(objectName_ + ": read failed: " + Hex(static_cast<std::uint32_t>(status)));
            return;
        }
        if (got > 0 && !WriteAll(master_, buffer, got)) return;
    }
}

void PtyPort::Serve() {
    std::uint8_t packet[4096];
    alignas(inotify_event) char events[4096];
    for (;;) {
        // The master hangs up while no program has the slave open: it is watched only while
        // one has.
        pollfd fds[3] = {{stop_[0], POLLIN, 0}, {inotify_, POLLIN, 0}, {master_, POLLIN, 0}};
        const nfds_t count = opens_ > 0 ? 3 : 2;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        // What the program wrote goes out before its close is acted on.
        while (count == 3 && (fds[2].revents & POLLIN)) {
            const ssize_t n = ::read(master_, packet, sizeof packet);
            if (n <= 0) break;
            const std::uint8_t control = packet[0];
            if (control == TIOCPKT_DATA) {
                if (n > 1 && file_) {
                    std::uint32_t put = 0;
                    const drv::NTSTATUS status =
                        file_->Write(packet + 1, static_cast<std::uint32_t>(n - 1), &put);
                    if (!drv::NT_SUCCESS(status)) {
                        ++failures_;
                        log_(objectName_ +
                             ": write failed: " + Hex(static_cast<std::uint32_t>(status)));
                    }
                }
                continue;
            }
            if (control & TIOCPKT_IOCTL) ApplySettings();
            std::uint32_t purge = 0;
            if (control & TIOCPKT_FLUSHREAD)
                purge |= k::SERIAL_PURGE_RXABORT | k::SERIAL_PURGE_RXCLEAR;
            if (control & TIOCPKT_FLUSHWRITE)
                purge |= k::SERIAL_PURGE_TXABORT | k::SERIAL_PURGE_TXCLEAR;
            if (purge) Control(k::IOCTL_SERIAL_PURGE, &purge, sizeof purge, nullptr, 0);
        }
        if (count == 3 && !(fds[2].revents & POLLIN) && (fds[2].revents & (POLLHUP | POLLERR)) &&
            !(fds[1].revents & POLLIN)) {
            // The last program closed the slave; its close arrives through inotify.
            pollfd p{inotify_, POLLIN, 0};
            ::poll(&p, 1, 50);
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(inotify_, events, sizeof events);
            for (ssize_t at = 0; n > 0 && at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(events + at);
                if (e->mask & IN_OPEN) {
                    if (opens_++ == 0) OpenPort();
                }
                if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                    if (opens_ > 0 && --opens_ == 0) ClosePort();
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }
}

}  // namespace vm::cable
