// One started port of a driver served as a pseudo-terminal.
//
// The master is in packet mode with EXTPROC set, so that a program's termios changes on the
// slave and its flushes arrive as packets: termios → the port's line settings (speed, line
// control, handshake), flushes → purge, data → writes. Opening and closing the slave (seen with
// inotify) opens and closes the driver's port. While the port is open, bytes the driver
// receives are queued and written to the master as the program takes them, so the driver's
// side never waits for the program.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/cable/port_side.h"

namespace vm::cable {

// A terminal's settings as the port takes them.
LineSettings LineSettingsOf(const termios& t);

class PtyPort {
public:
    using Log = PortSide::Log;
    // `name`: the COM name, for the log.
    PtyPort(std::unique_ptr<PortSide> side, std::string name, Log log);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // Opens the pseudo-terminal and starts serving it; false (with `error`) when it cannot.
    bool Start(std::string* error);
    // Stops serving: the driver's port is closed, the pseudo-terminal goes (a program that
    // still has the slave open sees it hang up).
    void Stop();
    const std::string& slavePath() const { return slavePath_; }
    // Whether the driver's port is open (a program has the slave open).
    bool portOpen() const { return open_.load(); }
    int failures() const { return side_->failures(); }
    // Times the serving thread woke up (for measuring that an idle port does not poll).
    std::uint64_t wakeups() const { return wakeups_.load(); }

    // Received bytes held for the program at most; more are dropped (and logged).
    static constexpr std::size_t kMaxQueued = 1 << 20;

private:
    void Serve();
    void OpenPort();
    void ClosePort();
    void ApplySettings();
    void Queue(const std::uint8_t* data, std::size_t length);
    bool FlushQueued();

    std::unique_ptr<PortSide> side_;
    std::string name_;
    Log log_;
    int master_ = -1;
    int inotify_ = -1;
    int stop_[2] = {-1, -1};
    int wake_[2] = {-1, -1};
    std::string slavePath_;
    std::thread server_;

    std::atomic<bool> open_{false};
    std::atomic<std::uint64_t> wakeups_{0};
    int opens_ = 0;  // slave opens minus closes
    termios applied_{};
    bool appliedValid_ = false;

    std::mutex queueMutex_;
    std::vector<std::uint8_t> queued_;  // received, not yet written to the master
    bool accepting_ = false;            // the port is open: received bytes are kept
    bool dropped_ = false;
};

}  // namespace vm::cable
