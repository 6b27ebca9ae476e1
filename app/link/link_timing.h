// The waits of the clone protocol, and how a slow link stretches them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/link/serial_port.h"

namespace vm {

// The waits of the protocol. Tests shrink them; a real radio needs these values.
struct LinkTiming {
    CommTimeouts timeouts{50, 50, 100, 50, 50};
    std::chrono::microseconds wake_byte_sleep{2000};  // before each wake-up byte
    std::chrono::microseconds ack_sleep{10000};       // before each read acknowledgement
    std::chrono::milliseconds handshake_window{500};  // listening for "A" after a wake-up
};

// A link slower than the radio's own cable (a USB cable served by a program, such as
// usbser2k-host, on a busy machine) can hold an answer back past the protocol's waits. Its
// user names a scale in the environment, and the waits for an answer (for its first byte, for
// each gap inside it, for a write to be taken) are that many times longer. The pauses the worker
// makes for the radio's sake, the per-byte allowance and the window a wake-up listens in (its
// one-byte reads are stretched already) stay as they are: the radio sees the same exchanges,
// only an answer may come later, and a radio that is not there is found as soon as it can be.
inline constexpr const char* kTimeoutScaleVariable = "VM6142_TIMEOUT_SCALE";
inline constexpr unsigned kMaxTimeoutScale = 20;

LinkTiming Scaled(const LinkTiming& timing, unsigned scale);

struct TimeoutScale {
    unsigned scale = 1;
    std::string problem;  // set when the value was not taken: what is wrong with it
};
// The scale a variable's value names: a whole number from 1 to kMaxTimeoutScale; unset or
// empty is 1; anything else is 1 with the problem said.
TimeoutScale ParseTimeoutScale(const char* value);
// ParseTimeoutScale of $VM6142_TIMEOUT_SCALE.
TimeoutScale TimeoutScaleFromEnvironment();

// The timing the programs use: the protocol's own, stretched by the environment's scale.
LinkTiming ProgramLinkTiming();

}  // namespace vm
