// usbser2k's port as the pseudo-terminal front end drives it: through the system's I/O
// requests on the port's name (create, read, write, device control, cleanup and close), a
// thread reading what the cable receives.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "driver/platform/host_io.h"
#include "driver/platform/kernel.h"
#include "tools/cable/port_side.h"

namespace vm::cable {

class Usbser2kPort final : public PortSide {
public:
    // `objectName`: the port's name in the object namespace ("\\DosDevices\\COM5").
    Usbser2kPort(drv::Kernel& kernel, std::string objectName, Log log);
    ~Usbser2kPort() override;

    bool Open(Deliver deliver) override;
    void Close() override;
    void SetSpeed(std::uint32_t baud) override;
    void SetLine(const LineSettings& line) override;
    void SetFlow(const LineSettings& line) override;
    void Purge(bool received, bool transmitted) override;
    bool Write(const std::uint8_t* data, std::size_t length) override;
    int failures() const override { return failures_.load(); }

private:
    void ReadFromDriver();
    bool Control(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                 std::uint32_t outLength);

    drv::Kernel& kernel_;
    std::string objectName_;
    Log log_;
    Deliver deliver_;
    std::mutex fileMutex_;
    std::unique_ptr<drv::host::HostFile> file_;
    std::atomic<bool> readerStop_{false};
    std::atomic<int> failures_{0};
    std::thread reader_;
};

}  // namespace vm::cable
