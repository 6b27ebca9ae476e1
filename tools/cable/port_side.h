// What a pseudo-terminal front end asks of a driver's port: open and close it, set its line,
// purge it, send bytes; bytes the port receives are handed back through `Deliver`. One
// implementation per driver (usbser2k through the system's I/O requests, usbser9x through the
// functions it exports to a port driver).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vm::cable {

// A terminal's line settings as the driver's port takes them.
struct LineSettings {
    std::uint32_t baud = 0;  // 0: a speed the port does not have
    std::uint8_t dataBits = 8;
    // 0 none, 1 odd, 2 even, 3 mark, 4 space.
    std::uint8_t parity = 0;
    // 0 one stop bit, 2 two.
    std::uint8_t stopBits = 0;
    bool rtsCts = false;
    bool xonOutput = false;  // IXON: the far end's XOFF stops what we send
    bool xonInput = false;   // IXOFF: we send XOFF when full
};

class PortSide {
public:
    using Deliver = std::function<void(const std::uint8_t* data, std::size_t length)>;
    using Log = std::function<void(const std::string& line)>;
    virtual ~PortSide() = default;

    // Opens the driver's port; from then on until Close() returns, received bytes go to
    // `deliver` (from any thread). False (logged) when the port cannot be opened.
    virtual bool Open(Deliver deliver) = 0;
    // Closes the port; nothing is delivered once it returns. Done once per Open.
    virtual void Close() = 0;
    virtual void SetSpeed(std::uint32_t baud) = 0;
    virtual void SetLine(const LineSettings& line) = 0;
    virtual void SetFlow(const LineSettings& line) = 0;
    virtual void Purge(bool received, bool transmitted) = 0;
    // Sends the bytes; false (logged) when the port would not take them.
    virtual bool Write(const std::uint8_t* data, std::size_t length) = 0;
    // Requests that failed since the port was opened (the cable has gone, for example).
    virtual int failures() const = 0;
};

}  // namespace vm::cable
