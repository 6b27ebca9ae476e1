// POSIX serial port: termios for the line, poll for the Win32-style time-outs, flock and
// TIOCEXCL for exclusive use. Serves real serial devices and pseudo-terminals alike.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

#include "app/link/serial_port.h"

namespace vm {
namespace {

using Clock = std::chrono::steady_clock;

// Unix98 pseudo-terminal slaves use majors 136..143.
bool IsPseudoTerminalSlave(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

std::optional<speed_t> SpeedOf(std::uint32_t baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return std::nullopt;
    }
}

// Time left until `deadline`, for ppoll; zero when it has passed.
timespec Remaining(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return timespec{0, 0};
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

class PosixSerialPort final : public SerialPort {
public:
    ~PosixSerialPort() override { Close(); }

    bool Open(const std::string& path) override {
        Close();
        open_error_ = ENOENT;
        if (path.empty()) return false;
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            open_error_ = errno;
            return false;
        }
        termios tio{};
        // Only terminals are serial ports; a lock held by another process refuses the port.
        const bool terminal = tcgetattr(fd, &tio) == 0;
        if (!terminal || flock(fd, LOCK_EX | LOCK_NB) != 0) {
            open_error_ = terminal ? EBUSY : ENOTTY;
            ::close(fd);
            return false;
        }
        open_error_ = 0;
        ioctl(fd, TIOCEXCL);
        fd_ = fd;
        pty_ = IsPseudoTerminalSlave(fd);
        return true;
    }

    int OpenError() const override { return open_error_; }
    bool IsOpen() const override { return fd_ >= 0; }

    void Close() override {
        if (fd_ < 0) return;
        // The exclusive mode outlives this descriptor when someone else keeps the terminal
        // open (the far side of a pseudo-terminal does): release it explicitly.
        ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }

    bool SetBufferSizes(std::size_t input, std::size_t output) override {
        // The kernel keeps its own queues; the sizes are only a hint.
        input_size_ = input;
        output_size_ = output;
        return fd_ >= 0;
    }

    bool SetTimeouts(const CommTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return fd_ >= 0;
    }

    bool SetLine(const LineSettings& line) override {
        if (fd_ < 0) return false;
        const auto speed = SpeedOf(line.baud);
        if (!speed || line.data_bits < 5 || line.data_bits > 8) return false;
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) return false;
        cfsetispeed(&tio, *speed);
        cfsetospeed(&tio, *speed);
        static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        tio.c_cflag |= kSizes[line.data_bits - 5] | CREAD | CLOCAL;
        switch (line.parity) {
            case Parity::None:
                break;
            case Parity::Odd:
                tio.c_cflag |= PARENB | PARODD;
                break;
            case Parity::Even:
                tio.c_cflag |= PARENB;
                break;
            case Parity::Mark:
                tio.c_cflag |= PARENB | PARODD | CMSPAR;
                break;
            case Parity::Space:
                tio.c_cflag |= PARENB | CMSPAR;
                break;
        }
        if (line.stop_bits != StopBits::One) tio.c_cflag |= CSTOPB;
        if (line.binary) {
            // Every byte passes untouched: no line editing, echo, signals, translation or
            // software flow control (0x11 and 0x13 are ordinary data here).
            tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR |
                                                  IGNCR | ICRNL | IXON | IXOFF | IXANY);
            tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
            tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        }
        if (line.parity_check)
            tio.c_iflag |= INPCK;
        else
            tio.c_iflag &= ~static_cast<tcflag_t>(INPCK);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        return tcsetattr(fd_, TCSANOW, &tio) == 0;
    }

    bool Purge() override {
        if (fd_ < 0) return false;
        // On a pseudo-terminal the transmit queue is the far side's receive queue: bytes
        // written there have already been delivered, so only the receive queue is cleared.
        return tcflush(fd_, pty_ ? TCIFLUSH : TCIOFLUSH) == 0;
    }

    bool Read(std::uint8_t* data, std::size_t n, std::size_t& got) override;
    bool Write(const std::uint8_t* data, std::size_t n, std::size_t& put) override;

private:
    int open_error_ = 0;
    int fd_ = -1;
    bool pty_ = false;
    CommTimeouts timeouts_{};
    std::size_t input_size_ = 0;
    std::size_t output_size_ = 0;
};

bool PosixSerialPort::Read(std::uint8_t* data, std::size_t n, std::size_t& got) {
    got = 0;
    if (fd_ < 0) return false;
    if (n == 0) return true;
    constexpr std::uint32_t kMax = CommTimeouts::kMaxTimeout;
    const CommTimeouts& t = timeouts_;
    const auto start = Clock::now();
    const bool immediate =
        t.read_interval == kMax && t.read_total_multiplier == 0 && t.read_total_constant == 0;
    const bool first_byte = t.read_interval == kMax && t.read_total_multiplier == kMax &&
                            t.read_total_constant > 0 && t.read_total_constant < kMax;
    std::optional<Clock::time_point> total;
    if (first_byte) {
        total = start + std::chrono::milliseconds(t.read_total_constant);
    } else if (!immediate && (t.read_total_multiplier != 0 || t.read_total_constant != 0)) {
        const auto ms =
            static_cast<std::uint64_t>(t.read_total_multiplier) * n + t.read_total_constant;
        total = start + std::chrono::milliseconds(ms);
    }
    const bool use_interval = !immediate && !first_byte && t.read_interval != 0;
    Clock::time_point last_byte{};
    bool saw_hangup = false;

    for (;;) {
        const ssize_t r = ::read(fd_, data + got, n - got);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            last_byte = Clock::now();
            if (got == n || first_byte) return true;
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return false;
        // The device has gone (a pulled cable, a closed pseudo-terminal) once it reports a
        // hang-up and has nothing left to read.
        const bool gone = (r < 0 && errno == EIO) || saw_hangup;
        if (immediate) return !gone;

        std::optional<Clock::time_point> deadline = total;
        if (use_interval && got > 0) {
            const auto interval = last_byte + std::chrono::milliseconds(t.read_interval);
            if (!deadline || interval < *deadline) deadline = interval;
        }
        if (deadline && Clock::now() >= *deadline) return !gone;
        if (gone) {
            // Nothing more will come: the read ends when its time-out would have ended it,
            // without spinning on the hang-up.
            if (deadline) std::this_thread::sleep_until(*deadline);
            return false;
        }

        pollfd p{fd_, POLLIN, 0};
        timespec ts{};
        if (deadline) ts = Remaining(*deadline);
        const int rc = ppoll(&p, 1, deadline ? &ts : nullptr, nullptr);
        if (rc < 0 && errno != EINTR) return false;
        if (rc > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) saw_hangup = true;
    }
}

bool PosixSerialPort::Write(const std::uint8_t* data, std::size_t n, std::size_t& put) {
    put = 0;
    if (fd_ < 0) return false;
    const CommTimeouts& t = timeouts_;
    std::optional<Clock::time_point> deadline;
    if (t.write_total_multiplier != 0 || t.write_total_constant != 0)
        deadline = Clock::now() + std::chrono::milliseconds(
                                      static_cast<std::uint64_t>(t.write_total_multiplier) * n +
                                      t.write_total_constant);
    while (put < n) {
        const ssize_t w = ::write(fd_, data + put, n - put);
        if (w > 0) {
            put += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (deadline && Clock::now() >= *deadline) return true;  // timed out: fewer bytes
        pollfd p{fd_, POLLOUT, 0};
        timespec ts{};
        if (deadline) ts = Remaining(*deadline);
        const int rc = ppoll(&p, 1, deadline ? &ts : nullptr, nullptr);
        if (rc < 0 && errno != EINTR) return false;
        if (rc > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT))
            return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<SerialPort> CreateSerialPort() {
    return std::make_unique<PosixSerialPort>();
}

bool CanOpenPort(const std::string& path) {
    PosixSerialPort port;
    return port.Open(path);
}

}  // namespace vm
