#include "app/link/link_timing.h"

#include <charconv>
#include <cstdlib>

namespace vm {
namespace {

// A time-out in milliseconds times the scale. The "no time-out" value and zero keep their
// meaning; a product that would reach the "no time-out" value stops just below it.
std::uint32_t ScaledWait(std::uint32_t ms, unsigned scale) {
    constexpr std::uint32_t kMax = CommTimeouts::kMaxTimeout;
    if (ms == kMax) return kMax;
    const std::uint64_t product = static_cast<std::uint64_t>(ms) * scale;
    return product >= kMax ? kMax - 1 : static_cast<std::uint32_t>(product);
}

}  // namespace

LinkTiming Scaled(const LinkTiming& timing, unsigned scale) {
    if (scale <= 1) return timing;
    LinkTiming out = timing;
    out.timeouts.read_interval = ScaledWait(timing.timeouts.read_interval, scale);
    out.timeouts.read_total_constant = ScaledWait(timing.timeouts.read_total_constant, scale);
    out.timeouts.write_total_constant = ScaledWait(timing.timeouts.write_total_constant, scale);
    return out;
}

TimeoutScale ParseTimeoutScale(const char* value) {
    TimeoutScale result;
    if (value == nullptr || *value == '\0') return result;
    const std::string_view text(value);
    unsigned n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (error == std::errc{} && end == text.data() + text.size() && n >= 1 &&
        n <= kMaxTimeoutScale) {
        result.scale = n;
        return result;
    }
    result.problem = std::string(kTimeoutScaleVariable) + "=\"" + std::string(text) +
                     "\" is not a whole number from 1 to " + std::to_string(kMaxTimeoutScale) +
                     "; the radio's own time-outs are used";
    return result;
}

TimeoutScale TimeoutScaleFromEnvironment() {
    return ParseTimeoutScale(std::getenv(kTimeoutScaleVariable));
}

LinkTiming ProgramLinkTiming() {
    return Scaled(LinkTiming{}, TimeoutScaleFromEnvironment().scale);
}

}  // namespace vm
