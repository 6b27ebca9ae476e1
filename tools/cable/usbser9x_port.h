// usbser9x's port as a port driver drives it: the driver is loaded as the shared library it is
// (libusbser9x.so, through its C header), and its port is worked through the functions it
// exports. Opening opens the port, enables reading and raises DTR and RTS; line settings go in
// the port driver's device control block; received bytes and the end of each transmission come
// back through the callbacks; a write the driver refuses while one is pending is retried after
// the write-out callback (or a kick of the transmitter); a removed cable fails what follows.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "driver/usbser9x/usbser9x_entry.h"
#include "tools/cable/port_side.h"

namespace vm::cable {

// The fourteen functions and the entry point, found in the loaded library.
struct Usbser9xApi {
    decltype(&::COMOpenedForSerport) COMOpenedForSerport = nullptr;
    decltype(&::ReadForSerport) ReadForSerport = nullptr;
    decltype(&::WriteForSerport) WriteForSerport = nullptr;
    decltype(&::KickTxForSerport) KickTxForSerport = nullptr;
    decltype(&::GetStateForSerport) GetStateForSerport = nullptr;
    decltype(&::SetStateForSerport) SetStateForSerport = nullptr;
    decltype(&::SetControlLineForSerport) SetControlLineForSerport = nullptr;
    decltype(&::SetBreakForSerport) SetBreakForSerport = nullptr;
    decltype(&::ExtBaudrateForSerport) ExtBaudrateForSerport = nullptr;
    decltype(&::GetIntStatusForSerport) GetIntStatusForSerport = nullptr;
    decltype(&::SetMSRShadowForSerport) SetMSRShadowForSerport = nullptr;
    decltype(&::SetReadQueueForSerport) SetReadQueueForSerport = nullptr;
    decltype(&::CableRemoveForSerport) CableRemoveForSerport = nullptr;
    decltype(&::WriteOutQueueForSerport) WriteOutQueueForSerport = nullptr;
    Vm9xDriverEntryFn entry = nullptr;
};

// The COM number of "COM<n>" (1 to 255); 0 when the name is not one.
std::uint32_t ComNumber(const std::string& name);

class Usbser9xPort final : public PortSide {
public:
    Usbser9xPort(const Usbser9xApi& api, std::uint32_t com, Log log);
    ~Usbser9xPort() override;

    bool Open(Deliver deliver) override;
    void Close() override;
    void SetSpeed(std::uint32_t baud) override;
    void SetLine(const LineSettings& line) override;
    void SetFlow(const LineSettings& line) override;
    // The driver keeps no queue of its own to purge: what is received and not yet taken is
    // dropped by the front end.
    void Purge(bool, bool) override {}
    bool Write(const std::uint8_t* data, std::size_t length) override;
    int failures() const override { return failures_.load(); }

    // A write the driver keeps refusing fails after this long.
    static constexpr int kWriteSeconds = 5;

    // The callbacks the library is given (one set for all ports).
    static void OnReceive(const std::uint8_t* data, std::uint32_t length, std::uint32_t com);
    static void OnWriteOut(std::uint32_t com);
    static void OnRemoved(std::uint32_t com);

private:
    void Fail(const std::string& what);

    const Usbser9xApi& api_;
    std::uint32_t com_;
    Log log_;
    Deliver deliver_;
    bool open_ = false;
    std::array<std::uint8_t, VM9X_DCB_SIZE> dcb_{};
    std::atomic<int> failures_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t writeOuts_ = 0;
    bool removed_ = false;
};

}  // namespace vm::cable
