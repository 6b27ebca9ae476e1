#include "tools/cable/pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vm::cable {

namespace {
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

void Wake(int fd) {
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &wake, 1);
}
}  // namespace

LineSettings LineSettingsOf(const termios& t) {
    LineSettings s;
    s.baud = BaudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5:
            s.dataBits = 5;
            break;
        case CS6:
            s.dataBits = 6;
            break;
        case CS7:
            s.dataBits = 7;
            break;
        default:
            s.dataBits = 8;
            break;
    }
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    if (!(t.c_cflag & PARENB)) {
        s.parity = 0;
    } else if (t.c_cflag & CMSPAR) {
        s.parity = (t.c_cflag & PARODD) ? 3 : 4;
    } else {
        s.parity = (t.c_cflag & PARODD) ? 1 : 2;
    }
    s.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    s.xonOutput = (t.c_iflag & IXON) != 0;
    s.xonInput = (t.c_iflag & IXOFF) != 0;
    return s;
}

PtyPort::PtyPort(std::unique_ptr<PortSide> side, std::string name, Log log)
    : side_(std::move(side)), name_(std::move(name)), log_(std::move(log)) {}

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
        ::pipe2(stop_, O_CLOEXEC) != 0 || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("cannot watch ") + slavePath_ + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    server_ = std::thread([this] { Serve(); });
    return true;
}

void PtyPort::Stop() {
    if (server_.joinable()) {
        Wake(stop_[1]);
        server_.join();
    }
    ClosePort();
    for (int* fd : {&master_, &inotify_, &stop_[0], &stop_[1], &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void PtyPort::Queue(const std::uint8_t* data, std::size_t length) {
    {
        std::lock_guard lock(queueMutex_);
        if (!accepting_) return;
        if (queued_.size() + length > kMaxQueued) {
            dropped_ = true;
            return;
        }
        const bool wasEmpty = queued_.empty();
        queued_.insert(queued_.end(), data, data + length);
        if (!wasEmpty) return;  // the serving thread has been woken already
    }
    Wake(wake_[1]);
}

// Writes what is queued to the master as far as it takes it; true when something is left.
bool PtyPort::FlushQueued() {
    std::lock_guard lock(queueMutex_);
    if (dropped_) {
        dropped_ = false;
        log_(name_ + ": the program did not take what was received; bytes were dropped");
    }
    std::size_t put = 0;
    while (put < queued_.size()) {
        const ssize_t n = ::write(master_, queued_.data() + put, queued_.size() - put);
        if (n > 0) {
            put += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    queued_.erase(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(put));
    return !queued_.empty();
}

void PtyPort::OpenPort() {
    {
        std::lock_guard lock(queueMutex_);
        queued_.clear();
        accepting_ = true;
    }
    if (!side_->Open(
            [this](const std::uint8_t* data, std::size_t length) { Queue(data, length); })) {
        std::lock_guard lock(queueMutex_);
        accepting_ = false;
        return;
    }
    appliedValid_ = false;
    ApplySettings();
    open_ = true;
    log_(name_ + ": opened on " + slavePath_);
}

void PtyPort::ClosePort() {
    if (!open_.exchange(false)) return;
    side_->Close();
    std::lock_guard lock(queueMutex_);
    accepting_ = false;
    queued_.clear();
    log_(name_ + ": closed");
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
    const LineSettings line = LineSettingsOf(t);
    if (speedChanged) {
        if (line.baud != 0) {
            side_->SetSpeed(line.baud);
        } else {
            log_(name_ + ": a speed the port does not have was asked for");
        }
    }
    if (lineChanged) side_->SetLine(line);
    if (flowChanged) side_->SetFlow(line);
}

void PtyPort::Serve() {
    std::uint8_t packet[4096];
    alignas(inotify_event) char events[4096];
    bool pending = false;  // received bytes the master did not take yet
    for (;;) {
        // The master hangs up while no program has the slave open: it is watched only while
        // one has.
        const bool watchMaster = opens_ > 0;
        pollfd fds[4] = {{stop_[0], POLLIN, 0},
                         {inotify_, POLLIN, 0},
                         {wake_[0], POLLIN, 0},
                         {master_, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0}};
        const nfds_t count = watchMaster ? 4 : 3;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        ++wakeups_;
        if (fds[0].revents) return;
        if (fds[2].revents & POLLIN) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        // What the program wrote goes out before its close is acted on.
        while (watchMaster && (fds[3].revents & POLLIN)) {
            const ssize_t n = ::read(master_, packet, sizeof packet);
            if (n <= 0) break;
            const std::uint8_t control = packet[0];
            if (control == TIOCPKT_DATA) {
                if (n > 1 && open_.load())
                    side_->Write(packet + 1, static_cast<std::size_t>(n - 1));
                continue;
            }
            if (control & TIOCPKT_IOCTL) ApplySettings();
            const bool flushRead = (control & TIOCPKT_FLUSHREAD) != 0;
            const bool flushWrite = (control & TIOCPKT_FLUSHWRITE) != 0;
            if (flushRead) {
                std::lock_guard lock(queueMutex_);
                queued_.clear();
            }
            if ((flushRead || flushWrite) && open_.load()) side_->Purge(flushRead, flushWrite);
        }
        pending = watchMaster && FlushQueued();
        if (watchMaster && !(fds[3].revents & POLLIN) && (fds[3].revents & (POLLHUP | POLLERR)) &&
            !(fds[1].revents & POLLIN)) {
            // The last program closed the slave; its close arrives through inotify.
            pollfd p{inotify_, POLLIN, 0};
            ::poll(&p, 1, 50);
            fds[1].revents = p.revents;
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(inotify_, events, sizeof events);
            for (ssize_t at = 0; n > 0 && at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(events + at);
                if (e->mask & IN_OPEN) {
                    if (opens_++ == 0) OpenPort();
                }
                if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                    if (opens_ > 0 && --opens_ == 0) {
                        ClosePort();
                        pending = false;
                    }
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }
}

}  // namespace vm::cable
