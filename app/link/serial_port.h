// The serial port the clone link talks through: open by path (exclusively), buffer sizes,
// time-outs with the Win32 communication time-out meaning, line settings, purge, read, write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vm {

// Time-outs in milliseconds, with the Win32 COMMTIMEOUTS meaning:
// - a read of n bytes gives up when read_total_multiplier * n + read_total_constant have
//   passed since it started (no total limit when both are 0);
// - once a byte has arrived, it also gives up when more than read_interval passes before the
//   next one (0: no interval limit);
// - read_interval = kMaxTimeout with both read totals 0 returns at once with what is there;
// - read_interval = kMaxTimeout and read_total_multiplier = kMaxTimeout with a constant
//   between 1 and kMaxTimeout - 1 returns as soon as any byte is there, or after the constant;
// - a write of n bytes gives up after write_total_multiplier * n + write_total_constant (no
//   limit when both are 0).
struct CommTimeouts {
    static constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFF;
    std::uint32_t read_interval = 0;
    std::uint32_t read_total_multiplier = 0;
    std::uint32_t read_total_constant = 0;
    std::uint32_t write_total_multiplier = 0;
    std::uint32_t write_total_constant = 0;
};

enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };

// The line settings the clone link sets; everything else about the port stays as it was.
struct LineSettings {
    std::uint32_t baud = 38400;
    int data_bits = 8;
    Parity parity = Parity::None;
    StopBits stop_bits = StopBits::One;
    bool binary = true;         // no byte is interpreted or translated
    bool parity_check = false;  // received parity errors are not checked
};

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens an existing device for reading and writing, refusing it when another process
    // holds it. False when it cannot be opened.
    virtual bool Open(const std::string& path) = 0;
    // Why the last Open failed: the system's error number (EACCES, ENOENT, EBUSY when another
    // process holds the port, ENOTTY when the device is no serial port); 0 when it did not.
    virtual int OpenError() const { return 0; }
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;

    // Recommended driver queue sizes (a hint; a backend may keep its own).
    virtual bool SetBufferSizes(std::size_t input, std::size_t output) = 0;
    virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
    virtual bool SetLine(const LineSettings& line) = 0;
    // Discards both the transmit and the receive queue.
    virtual bool Purge() = 0;

    // Reads up to n bytes within the time-outs; `got` receives the count. False only on a
    // device error (a time-out is not an error: it returns true with fewer bytes).
    virtual bool Read(std::uint8_t* data, std::size_t n, std::size_t& got) = 0;
    // Writes n bytes within the write time-outs; `put` receives the count written.
    virtual bool Write(const std::uint8_t* data, std::size_t n, std::size_t& put) = 0;
};

// The backend of this platform.
std::unique_ptr<SerialPort> CreateSerialPort();

// Whether the device can be opened right now (opened exclusively and closed at once).
bool CanOpenPort(const std::string& path);

}  // namespace vm
