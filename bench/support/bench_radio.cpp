#include "bench/support/bench_radio.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "app/link/clone_worker.h"

namespace vm::bench {

namespace {

constexpr std::uint32_t kReadStart = 0x0100;

std::unique_ptr<RadioImage> RandomMemory() {
    auto memory = std::make_unique<RadioImage>();
    std::mt19937 rng(7);
    for (auto& b : *memory) b = static_cast<std::uint8_t>(rng());
    (*memory)[kProbeAddress + SideRecord::kProtectionFlag] = 0;
    return memory;
}

RadioOptions Paced(bool paced) {
    RadioOptions o;
    o.paced = paced;
    return o;
}

}  // namespace

BenchRadio::BenchRadio(bool paced)
    : memory_(RandomMemory()), radio_(*memory_, FileHeader{}, Paced(paced)) {}

bool BenchRadio::Start() {
    std::string error;
    if (!radio_.Open(error)) {
        std::printf("radio: %s\n", error.c_str());
        return false;
    }
    radio_.Start();
    return true;
}

bool BenchRadio::ReadBack(const RadioImage& image) const {
    return std::equal(image.begin() + kReadStart, image.end(), memory_->begin() + kReadStart);
}

}  // namespace vm::bench
