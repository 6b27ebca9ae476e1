// One started port of the driver served as a pseudo-terminal.
//
// The master is in packet mode with EXTPROC set, so that a program's termios changes on the
// slave and its flushes arrive as packets: termios → the serial requests (speed, line control,
// handshake), flushes → purge, data → writes. Opening and closing the slave (seen with inotify)
// opens and closes the driver's port (create, then cleanup and close). While the port is open,
// bytes the driver receives are written to the master.
#pragma once

#include <termios.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "driver/platform/host_io.h"
#include "driver/platform/kernel.h"

namespace vm::cable {

class PtyPort {
public:
    using Log = std::function<void(const std::string& line)>;
    // `objectName`: the port's name in the object namespace ("\\DosDevices\\COM5").
    PtyPort(drv::Kernel& kernel, std::string objectName, Log log);
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
    // Requests that failed since the port was opened (the cable has gone, for example).
    int failures() const { return failures_.load(); }

private:
    void Serve();
    void OpenPort();
    void ClosePort();
    void ApplySettings();
    void ReadFromDriver();
    bool Control(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                 std::uint32_t outLength);

    drv::Kernel& kernel_;
    std::string objectName_;
    Log log_;
    int master_ = -1;
    int inotify_ = -1;
    int stop_[2] = {-1, -1};
    std::string slavePath_;
    std::thread server_;

    std::mutex fileMutex_;
    std::unique_ptr<drv::host::HostFile> file_;
    std::atomic<bool> open_{false};
    std::atomic<bool> readerStop_{false};
    std::atomic<int> failures_{0};
    std::thread reader_;
    int opens_ = 0;  // slave opens minus closes
    termios applied_{};
    bool appliedValid_ = false;
};

}  // namespace vm::cable
