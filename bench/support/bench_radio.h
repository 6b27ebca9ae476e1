// The simulated radio the clone benchmarks read from: memory of random bytes (the same in every
// run) with the protection flag cleared, answering on its own pseudo-terminal.
#pragma once

#include <memory>

#include "app/image/radio_image.h"
#include "tools/radio/simulated_radio.h"

namespace vm::bench {

class BenchRadio {
public:
    // paced: the radio takes the wire time of every byte at 38400 baud.
    explicit BenchRadio(bool paced);

    // Opens the pseudo-terminal and starts answering; says why on standard output and returns
    // false when it cannot.
    bool Start();

    SimulatedRadio& radio() { return radio_; }
    // Whether a Read's image holds the radio's memory in the Read's range [0x0100, 0x10000).
    bool ReadBack(const RadioImage& image) const;

private:
    std::unique_ptr<RadioImage> memory_;
    SimulatedRadio radio_;
};

}  // namespace vm::bench
