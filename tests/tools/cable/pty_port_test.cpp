// The pseudo-terminal front end against a port that records what it is asked: a program's
// open, settings, flushes, writes and close on the slave reach the port; bytes the port
// receives reach the program, all of them, even while the program is not reading.
#include "tools/cable/pty_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace vm::cable {
namespace {

struct Recorded {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    std::vector<std::uint8_t> written;
    PortSide::Deliver deliver;
    bool opened = false;

    void Add(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
        changed.notify_all();
    }
    // Waits (at most 10 s) until `done` holds.
    template <class F>
    bool Until(F done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return done(); });
    }
    bool Seen(const std::string& call) {
        return Until([&] { return std::find(calls.begin(), calls.end(), call) != calls.end(); });
    }
};

class RecordingSide final : public PortSide {
public:
    explicit RecordingSide(Recorded& r) : r_(r) {}
    bool Open(Deliver deliver) override {
        {
            std::lock_guard lock(r_.mutex);
            r_.deliver = std::move(deliver);
            r_.opened = true;
        }
        r_.Add("open");
        return true;
    }
    void Close() override {
        {
            std::lock_guard lock(r_.mutex);
            r_.opened = false;
        }
        r_.Add("close");
    }
    void SetSpeed(std::uint32_t baud) override { r_.Add("speed " + std::to_string(baud)); }
    void SetLine(const LineSettings& l) override {
        r_.Add("line " + std::to_string(l.dataBits) + " " + std::to_string(l.parity) + " " +
               std::to_string(l.stopBits));
    }
    void SetFlow(const LineSettings& l) override {
        r_.Add(std::string("flow") + (l.rtsCts ? " rtscts" : "") + (l.xonOutput ? " ixon" : "") +
               (l.xonInput ? " ixoff" : ""));
    }
    void Purge(bool received, bool transmitted) override {
        r_.Add(std::string("purge") + (received ? " rx" : "") + (transmitted ? " tx" : ""));
    }
    bool Write(const std::uint8_t* data, std::size_t length) override {
        {
            std::lock_guard lock(r_.mutex);
            r_.written.insert(r_.written.end(), data, data + length);
        }
        r_.changed.notify_all();
        return true;
    }
    int failures() const override { return 0; }

private:
    Recorded& r_;
};

TEST(LineSettings, TermiosFlagsReadAsThePortTakesThem) {
    struct Case {
        speed_t speed;
        tcflag_t cflag;
        tcflag_t iflag;
        std::uint32_t baud;
        int dataBits, parity, stopBits;
        bool rtsCts, ixon, ixoff;
    } cases[] = {
        {B38400, CS8, 0, 38400, 8, 0, 0, false, false, false},
        {B9600, CS7 | PARENB, 0, 9600, 7, 2, 0, false, false, false},
        {B1200, CS7 | PARENB | PARODD | CSTOPB, 0, 1200, 7, 1, 2, false, false, false},
        {B115200, CS8 | PARENB | CMSPAR | PARODD, 0, 115200, 8, 3, 0, false, false, false},
        {B19200, CS6 | PARENB | CMSPAR, 0, 19200, 6, 4, 0, false, false, false},
        {B4800, CS5 | CRTSCTS, IXON | IXOFF, 4800, 5, 0, 0, true, true, true},
        {B50, CS8, IXON, 0, 8, 0, 0, false, true, false},  // a speed the port does not have
    };
    for (const Case& c : cases) {
        termios t{};
        cfsetospeed(&t, c.speed);
        t.c_cflag |= c.cflag;
        t.c_iflag = c.iflag;
        const LineSettings s = LineSettingsOf(t);
        SCOPED_TRACE(c.baud);
        EXPECT_EQ(s.baud, c.baud);
        EXPECT_EQ(s.dataBits, c.dataBits);
        EXPECT_EQ(s.parity, c.parity);
        EXPECT_EQ(s.stopBits, c.stopBits);
        EXPECT_EQ(s.rtsCts, c.rtsCts);
        EXPECT_EQ(s.xonOutput, c.ixon);
        EXPECT_EQ(s.xonInput, c.ixoff);
    }
}

TEST(PtyPort, AProgramOnTheSlaveDrivesThePort) {
    Recorded r;
    PtyPort port(std::make_unique<RecordingSide>(r), "COM5", [](const std::string&) {});
    std::string error;
    ASSERT_TRUE(port.Start(&error)) << error;

    const int fd = ::open(port.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(r.Seen("open"));
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    EXPECT_TRUE(r.Seen("speed 9600"));
    // Linux's pseudo-terminals keep 8 data bits and no parity whatever a program sets: only
    // the stop bits cross (the clone runs 8N1).
    EXPECT_TRUE(r.Seen("line 8 0 2")) << ::testing::PrintToString(r.calls);
    EXPECT_TRUE(r.Seen("flow rtscts"));

    const std::uint8_t out[] = {'P', 'R', 'O', 'G', 0x00, 0xFF};
    ASSERT_EQ(::write(fd, out, sizeof out), static_cast<ssize_t>(sizeof out));
    EXPECT_TRUE(r.Until([&] { return r.written.size() >= sizeof out; }));
    EXPECT_EQ(r.written, std::vector<std::uint8_t>(out, out + sizeof out));

    tcflush(fd, TCIOFLUSH);
    EXPECT_TRUE(r.Seen("purge rx tx"));

    // 200 000 bytes, far more than the terminal holds, delivered before the program reads: the
    // front end keeps what the terminal does not take yet and nothing is lost.
    std::vector<std::uint8_t> sent(200000);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    PortSide::Deliver deliver;
    {
        std::lock_guard lock(r.mutex);
        deliver = r.deliver;
    }
    for (std::size_t at = 0; at < sent.size(); at += 384) {
        deliver(sent.data() + at, std::min<std::size_t>(384, sent.size() - at));
    }
    std::vector<std::uint8_t> got;
    while (got.size() < sent.size()) {
        pollfd p{fd, POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, 10000), 0) << "stalled after " << got.size() << " bytes";
        std::uint8_t buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, sent);

    ::close(fd);
    EXPECT_TRUE(r.Seen("close"));
    // Opened again, the port is opened again.
    const int again = ::open(port.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(again, 0);
    EXPECT_TRUE(r.Until([&] { return std::count(r.calls.begin(), r.calls.end(), "open") == 2; }));
    ::close(again);
    EXPECT_TRUE(r.Until([&] { return std::count(r.calls.begin(), r.calls.end(), "close") == 2; }));
    port.Stop();
}

}  // namespace
}  // namespace vm::cable
