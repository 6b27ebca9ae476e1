// The serial port fuzz target's input: a set-up byte, then a script of steps, each an op byte
// and its operands. Shared by the target (which reads it) and the seed writer (which writes the
// request sequences the program's own serial port makes in this form).
//
//   set-up   bits 0-2 chip variant (mod 5), bit 7 loopback (what the chip sends comes back)
//   step     op byte: low nibble the op, high nibble the op's flags; then its operands
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "driver/core/private_ioctl.h"
#include "driver/usbser2k/serial.h"

namespace vm::fuzz::serial_script {

namespace k = drv::usbser2k;

// A control code with the record lengths it takes and gives; `internal` goes as an internal
// device control (what other kernel components send).
struct Code {
    std::uint32_t code;
    std::uint32_t in;
    std::uint32_t out;
    bool internal = false;
};

inline constexpr Code kCodes[] = {
    {k::IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
    {k::IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
    {k::IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
    {k::IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {k::IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {k::IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
    {k::IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
    {k::IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
    {k::IOCTL_SERIAL_SET_DTR, 0, 0},
    {k::IOCTL_SERIAL_CLR_DTR, 0, 0},
    {k::IOCTL_SERIAL_RESET_DEVICE, 0, 0},
    {k::IOCTL_SERIAL_SET_RTS, 0, 0},
    {k::IOCTL_SERIAL_CLR_RTS, 0, 0},
    {k::IOCTL_SERIAL_SET_XOFF, 0, 0},
    {k::IOCTL_SERIAL_SET_XON, 0, 0},
    {k::IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
    {k::IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
    {k::IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
    {k::IOCTL_SERIAL_PURGE, 4, 0},
    {k::IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
    {k::IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
    {k::IOCTL_SERIAL_GET_CHARS, 0, 6},
    {k::IOCTL_SERIAL_SET_CHARS, 6, 0},
    {k::IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
    {k::IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
    {k::IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
    {k::IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
    {k::IOCTL_SERIAL_XOFF_COUNTER, k::kXoffCounterInputLength, 0},
    {k::IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
    {k::IOCTL_SERIAL_GET_DTRRTS, 0, 4},
    {k::IOCTL_SERIAL_LSRMST_INSERT, 1, 0},
    {k::IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
    {k::IOCTL_SERIAL_GET_STATS, 0, 24},
    {k::IOCTL_SERIAL_CLEAR_STATS, 0, 0},
    {k::IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4},
    {k::IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0},
    {k::IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0},
    {k::IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0, sizeof(k::SerialBasicSettings), true},
    {k::IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sizeof(k::SerialBasicSettings), 0, true},
    {k::IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0, 0, true},
    {k::IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0, 0, true},
    // The cable's own codes, through the serial port's dispatch.
    {drv::private_ioctl::kGetDeviceDescriptor, 0, 18},
    {drv::private_ioctl::kGetChipVariant, 0, 4},
    {drv::private_ioctl::kSendCtrlState, 2, 0},
    {drv::private_ioctl::kGetReg1Bit6, 0, 1},
    // Codes no one defines: of the serial device type between and beyond the known ones, and
    // an internal code the serial side does not take.
    {0x001B0084, 4, 4},
    {0x001B0088, 0, 8},
    {0x001B00A0, 4, 0},
    {0x001B0000, 0, 0},
    {0x001B0014, 4, 4, true},
};
inline constexpr std::size_t kCodeCount = std::size(kCodes);

// Index of a code in kCodes (the first entry with it and the same internal flag), or kCodeCount.
constexpr std::size_t IndexOf(std::uint32_t code, bool internal = false) {
    for (std::size_t i = 0; i < kCodeCount; ++i) {
        if (kCodes[i].code == code && kCodes[i].internal == internal) return i;
    }
    return kCodeCount;
}

enum Op : std::uint8_t {
    // code index, in-length mode, out-length mode (each mode may take bytes), then up to
    // kMaxInputBytes of input; the rest of the input is zero. Flags: 1 no input buffer, 2 no
    // output buffer.
    kOpIoctl = 0,
    kOpRead = 1,      // length mode
    kOpWrite = 2,     // length mode, then up to kMaxInputBytes of data (repeated to the length)
    kOpFlush = 3,     //
    kOpPurge = 4,     // mask byte (low nibble)
    kOpTimeouts = 5,  // selector byte, then the values it asks for (SetTimeouts below)
    kOpWait = 6,      // mask word: sets the wait mask, then waits on it
    kOpReceive = 7,   // count byte (1-32), then the bytes the line delivers
    kOpStatus = 8,    // the status notification's line byte
    kOpAdvance = 9,   // index into kAdvanceSteps
    kOpCancel = 10,   // cancels what the handle has in flight
    kOpLoopback = 11,
    kOpReopen = 12,    // closes the handle and opens the port again
    kOpPullChip = 13,  // the chip goes (every transfer fails) while the system still has it
    kOpPower = 14,     // state byte: bit 7 a device state (D0 or D3), else a system state
                       // (working, sleeping 1, sleeping 3, hibernate)
    kOpCount = 15,
};
inline constexpr std::uint8_t kNoInputBuffer = 0x10;
inline constexpr std::uint8_t kNoOutputBuffer = 0x20;

inline constexpr std::size_t kMaxInputBytes = 64;
inline constexpr std::size_t kMaxSteps = 48;
inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFF;
// Virtual time per advance step, in 100-ns units.
inline constexpr std::array<std::int64_t, 6> kAdvanceSteps = {
    drv::kMillisecond,      2 * drv::kMillisecond,   10 * drv::kMillisecond,
    50 * drv::kMillisecond, 200 * drv::kMillisecond, drv::kSecond};

// Length modes: the record's length, none, one short of the record, one over, or an explicit
// length (a byte, or a word below 512).
enum LengthMode : std::uint8_t {
    kExact = 0,
    kZero = 1,
    kOneShort = 2,
    kOneOver = 3,
    kByteLength = 4,
    kWordLength = 5,
    kLengthModes = 6,
};

// Time-out selector: two bits per field (read interval, read multiplier, read constant, write
// constant); 0 zero, 1 the maximum, 2 a byte, 3 a byte times 4. The write multiplier is 0.
inline constexpr std::uint8_t kTimeoutZero = 0;
inline constexpr std::uint8_t kTimeoutMax = 1;
inline constexpr std::uint8_t kTimeoutByte = 2;

// Writes scripts (for the seeds).
class Writer {
public:
    explicit Writer(int variant, bool loopback) {
        bytes_.push_back(static_cast<std::uint8_t>((variant & 7) | (loopback ? 0x80 : 0)));
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

    // A device control with explicit lengths and its input.
    Writer& Ioctl(std::size_t index, std::span<const std::uint8_t> in, std::uint32_t outLength) {
        Op(kOpIoctl);
        bytes_.push_back(static_cast<std::uint8_t>(index));
        Length(static_cast<std::uint32_t>(in.size()));
        Length(outLength);
        Put(in.first(std::min(in.size(), kMaxInputBytes)));
        return *this;
    }
    Writer& Read(std::uint32_t length) {
        Op(kOpRead);
        Length(length);
        return *this;
    }
    Writer& Write(std::span<const std::uint8_t> data) {
        Op(kOpWrite);
        Length(static_cast<std::uint32_t>(data.size()));
        Put(data.first(std::min(data.size(), kMaxInputBytes)));
        return *this;
    }
    Writer& Receive(std::span<const std::uint8_t> data) {
        for (std::size_t at = 0; at < data.size(); at += 32) {
            const std::size_t n = std::min<std::size_t>(32, data.size() - at);
            Op(kOpReceive);
            bytes_.push_back(static_cast<std::uint8_t>(n - 1));
            Put(data.subspan(at, n));
        }
        return *this;
    }
    Writer& Step(std::uint8_t op, std::span<const std::uint8_t> operands = {}) {
        bytes_.push_back(op);
        Put(operands);
        return *this;
    }

private:
    void Op(std::uint8_t op) { bytes_.push_back(op); }
    void Length(std::uint32_t n) {
        bytes_.push_back(kWordLength);
        bytes_.push_back(static_cast<std::uint8_t>(n & 0xFF));
        bytes_.push_back(static_cast<std::uint8_t>((n >> 8) & 0xFF));
    }
    void Put(std::span<const std::uint8_t> b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
    std::vector<std::uint8_t> bytes_;
};

}  // namespace vm::fuzz::serial_script
