#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/link/serial_port.h"

namespace vm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A pseudo-terminal whose far end the test plays.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        grantpt(master_);
        unlockpt(master_);
        char name[128] = {};
        ptsname_r(master_, name, sizeof name);
        path_ = name;
    }
    ~Pty() { CloseMaster(); }
    const std::string& path() const { return path_; }
    void Send(std::string_view bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string Receive(std::size_t n) {
        std::string out(n, '\0');
        std::size_t got = 0;
        const auto deadline = Clock::now() + 2s;
        while (got < n && Clock::now() < deadline) {
            const ssize_t r = ::read(master_, out.data() + got, n - got);
            if (r > 0) got += static_cast<std::size_t>(r);
        }
        out.resize(got);
        return out;
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string path_;
};

// Waits until `n` bytes sent from the far end can be read at the port's end (the
// pseudo-terminal passes them on a moment later, longer on a busy machine).
void WaitUntilReadable(const Pty& pty, int n) {
    const int fd = ::open(pty.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::this_thread::sleep_for(200ms);  // no second look at the terminal: just wait
        return;
    }
    int readable = 0;
    const auto deadline = Clock::now() + 2s;
    while (Clock::now() < deadline && (ioctl(fd, FIONREAD, &readable) != 0 || readable < n))
        std::this_thread::sleep_for(1ms);
    ::close(fd);
    EXPECT_GE(readable, n);
}

std::unique_ptr<SerialPort> OpenedPort(const Pty& pty, CommTimeouts t) {
    auto port = CreateSerialPort();
    EXPECT_TRUE(port->Open(pty.path()));
    EXPECT_TRUE(port->SetLine(LineSettings{}));
    EXPECT_TRUE(port->SetTimeouts(t));
    return port;
}

struct ReadResult {
    std::size_t got;
    Clock::duration took;
};

ReadResult TimedRead(SerialPort& port, std::size_t n) {
    std::vector<std::uint8_t> buf(n);
    std::size_t got = 0;
    const auto start = Clock::now();
    port.Read(buf.data(), n, got);
    return {got, Clock::now() - start};
}

TEST(SerialPortTimeouts, TotalTimeoutIsMultiplierTimesCountPlusConstant) {
    Pty pty;
    auto port = OpenedPort(pty, {0, 10, 20, 0, 0});
    const ReadResult r = TimedRead(*port, 3);  // 10 * 3 + 20 = 50 ms
    EXPECT_EQ(r.got, 0u);
    EXPECT_GE(r.took, 50ms);
    EXPECT_LT(r.took, 400ms);
}

TEST(SerialPortTimeouts, ReturnsAsSoonAsAllBytesAreThere) {
    Pty pty;
    auto port = OpenedPort(pty, {50, 50, 5000, 0, 0});
    pty.Send("ABCD");
    const ReadResult r = TimedRead(*port, 4);
    EXPECT_EQ(r.got, 4u);
    EXPECT_LT(r.took, 1000ms);
}

TEST(SerialPortTimeouts, IntervalEndsAReadOnceBytesStopComing) {
    Pty pty;
    auto port = OpenedPort(pty, {30, 0, 5000, 0, 0});
    pty.Send("AB");
    const ReadResult r = TimedRead(*port, 10);
    EXPECT_EQ(r.got, 2u);
    EXPECT_GE(r.took, 30ms);
    EXPECT_LT(r.took, 2000ms);  // far below the 5 s total
}

TEST(SerialPortTimeouts, IntervalDoesNotStartBeforeTheFirstByte) {
    Pty pty;
    auto port = OpenedPort(pty, {5, 0, 80, 0, 0});
    const ReadResult r = TimedRead(*port, 10);
    EXPECT_EQ(r.got, 0u);
    EXPECT_GE(r.took, 80ms);
}

TEST(SerialPortTimeouts, MaxIntervalWithoutTotalsReturnsWhatIsThere) {
    Pty pty;
    constexpr auto kMax = CommTimeouts::kMaxTimeout;
    auto port = OpenedPort(pty, {kMax, 0, 0, 0, 0});
    EXPECT_EQ(TimedRead(*port, 4).got, 0u);
    pty.Send("XY");
    // The bytes reach the port when the pseudo-terminal passes them on, which a busy machine
    // may delay: every read returns at once with what is there, and the two bytes come.
    std::size_t got = 0;
    const auto deadline = Clock::now() + 2s;
    while (got < 2 && Clock::now() < deadline) {
        const ReadResult r = TimedRead(*port, 4);
        EXPECT_LT(r.took, 500ms);
        got += r.got;
        if (got < 2) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(got, 2u);
}

TEST(SerialPortTimeouts, MaxIntervalAndMultiplierReturnOnTheFirstByte) {
    Pty pty;
    constexpr auto kMax = CommTimeouts::kMaxTimeout;
    auto port = OpenedPort(pty, {kMax, kMax, 60, 0, 0});
    const ReadResult none = TimedRead(*port, 4);
    EXPECT_EQ(none.got, 0u);
    EXPECT_GE(none.took, 60ms);
    // A constant long enough for a busy machine; the read ends with the first byte, long
    // before it.
    ASSERT_TRUE(port->SetTimeouts({kMax, kMax, 3000, 0, 0}));
    std::thread later([&] {
        std::this_thread::sleep_for(10ms);
        pty.Send("Q");
    });
    const ReadResult one = TimedRead(*port, 4);
    later.join();
    EXPECT_EQ(one.got, 1u);
    EXPECT_LT(one.took, 2500ms);
}

TEST(SerialPortTimeouts, HungUpLineEndsTheReadAtItsTimeOutWithAnError) {
    Pty pty;
    auto port = OpenedPort(pty, {0, 0, 60, 0, 0});
    pty.CloseMaster();
    std::uint8_t b = 0;
    std::size_t got = 99;
    const auto start = Clock::now();
    EXPECT_FALSE(port->Read(&b, 1, got));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(Clock::now() - start, 50ms);  // no spinning through the time-out either
}

TEST(SerialPort, BinaryLinePassesEveryByteUnchanged) {
    Pty pty;
    auto port = OpenedPort(pty, {50, 50, 100, 50, 50});
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    pty.Send(all);
    std::vector<std::uint8_t> in(256);
    std::size_t got = 0;
    ASSERT_TRUE(port->Read(in.data(), in.size(), got));
    ASSERT_EQ(got, 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(in[static_cast<std::size_t>(i)], i);
    std::size_t put = 0;
    ASSERT_TRUE(port->Write(in.data(), in.size(), put));
    EXPECT_EQ(put, 256u);
    EXPECT_EQ(pty.Receive(256), all);  // nothing echoed, nothing translated
}

TEST(SerialPort, LineSettingsKeepWhatTheyDoNotSet) {
    Pty pty;
    auto port = CreateSerialPort();
    ASSERT_TRUE(port->Open(pty.path()));
    const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    tcgetattr(fd, &tio);
    tio.c_cflag |= CRTSCTS | PARENB | CSTOPB;
    cfsetospeed(&tio, B9600);
    tcsetattr(fd, TCSANOW, &tio);
    ASSERT_TRUE(port->SetLine(LineSettings{}));
    tcgetattr(fd, &tio);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_iflag & INPCK);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);  // hardware flow control is the port's own business
}

TEST(SerialPort, PurgeDiscardsWhatWasReceived) {
    Pty pty;
    auto port = OpenedPort(pty, {0, 0, 30, 0, 0});
    pty.Send("stale");
    WaitUntilReadable(pty, 5);
    ASSERT_TRUE(port->Purge());
    pty.Send("A");
    std::uint8_t b[4] = {};
    std::size_t got = 0;
    port->Read(b, 4, got);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(b[0], 'A');
}

TEST(SerialPort, OpenIsExclusiveUntilClosed) {
    Pty pty;
    auto first = CreateSerialPort();
    ASSERT_TRUE(first->Open(pty.path()));
    auto second = CreateSerialPort();
    EXPECT_FALSE(second->Open(pty.path()));
    EXPECT_FALSE(CanOpenPort(pty.path()));
    first->Close();
    EXPECT_TRUE(CanOpenPort(pty.path()));
    EXPECT_TRUE(second->Open(pty.path()));
}

TEST(SerialPort, OnlyExistingTerminalsOpen) {
    const auto file = std::filesystem::temp_directory_path() / "vm6142-not-a-port";
    std::ofstream(file) << "x";
    for (const std::string& path :
         {file.string(), std::string("/dev/vm6142-absent"), std::string(), std::string("COM1")})
        EXPECT_FALSE(CanOpenPort(path)) << path;
    std::filesystem::remove(file);
    auto port = CreateSerialPort();
    std::size_t n = 0;
    std::uint8_t b = 0;
    EXPECT_FALSE(port->Read(&b, 1, n));
    EXPECT_FALSE(port->Write(&b, 1, n));
}

}  // namespace
}  // namespace vm
