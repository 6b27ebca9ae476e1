// The bytes of the radio image that belong to no region of the image map, and a guard that
// makes them unaddressable under AddressSanitizer: a region view that reads or writes past its
// region into them (an off-by-one record, field or bit-map index) stops the run with a report
// naming the access. Without AddressSanitizer the guard does nothing; tests then compare what
// the editors show and store with the unmapped bytes changed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "app/image/image_map.h"
#include "app/image/radio_image.h"

#if defined(__SANITIZE_ADDRESS__)
#define VM_HAVE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VM_HAVE_ASAN 1
#endif
#endif
#if defined(VM_HAVE_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace vm::testing {

// [start, end) ranges of image addresses outside every region, in address order.
inline std::vector<std::pair<std::uint32_t, std::uint32_t>> UnmappedRanges() {
    std::vector<ImageRegion> regions(image_map::kAll.begin(), image_map::kAll.end());
    std::sort(regions.begin(), regions.end(),
              [](const ImageRegion& a, const ImageRegion& b) { return a.base < b.base; });
    std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps;
    std::uint32_t at = 0;
    for (const ImageRegion& r : regions) {
        if (r.base > at) gaps.emplace_back(at, r.base);
        at = std::max(at, r.End());
    }
    if (at < kImageSize) gaps.emplace_back(at, static_cast<std::uint32_t>(kImageSize));
    return gaps;
}

inline bool IsMapped(std::uint32_t a) {
    for (const auto& [start, end] : UnmappedRanges())
        if (a >= start && a < end) return false;
    return true;
}

inline constexpr bool kGuardsUnmappedBytes =
#if defined(VM_HAVE_ASAN)
    true;
#else
    false;
#endif

// While it lives, the image's unmapped bytes may not be touched (under AddressSanitizer; the
// shadow's 8-byte granules leave up to 7 bytes at the end of a range unguarded). The image
// must not be copied or compared as a whole meanwhile.
class UnmappedBytesGuard {
public:
    explicit UnmappedBytesGuard(RadioImage& image) : image_(image) {
#if defined(VM_HAVE_ASAN)
        for (const auto& [start, end] : UnmappedRanges())
            ASAN_POISON_MEMORY_REGION(image_.data() + start, end - start);
#endif
    }
    ~UnmappedBytesGuard() {
        Release();
    }
    void Release() {
#if defined(VM_HAVE_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(image_.data(), image_.size());
#endif
    }
    UnmappedBytesGuard(const UnmappedBytesGuard&) = delete;
    UnmappedBytesGuard& operator=(const UnmappedBytesGuard&) = delete;

private:
    RadioImage& image_;
};

}  // namespace vm::testing
