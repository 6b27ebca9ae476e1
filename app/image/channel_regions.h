// Views of the channel-side regions of the radio image: channel bitmaps, scan edges, VFO
// records and their copy, band memories and the band side records. Addresses come from the
// image map.
#pragma once

#include <cstdint>

#include "app/image/channel_record.h"
#include "app/image/image_map.h"
#include "app/image/radio_image.h"

namespace vm {

// Six 100-byte bitmaps, one bit per channel of a bank.
enum class ChannelMap { Used, Scan, Priority };

struct ChannelBitmaps {
    static constexpr std::uint32_t kSize = image_map::kUsedMapA.size;
    static constexpr const ImageRegion& Region(ChannelMap map, Bank bank) {
        using namespace image_map;
        switch (map) {
            case ChannelMap::Used:
                return bank == Bank::A ? kUsedMapA : kUsedMapB;
            case ChannelMap::Scan:
                return bank == Bank::A ? kScanMapA : kScanMapB;
            case ChannelMap::Priority:
                break;
        }
        return bank == Bank::A ? kPriorityMapA : kPriorityMapB;
    }
    static constexpr std::uint32_t Base(ChannelMap map, Bank bank) {
        return Region(map, bank).base;
    }
    // Channel n (1..800 within its bank): byte (n - 1) / 8, bit (n - 1) % 8.
    static constexpr std::uint32_t ByteAddr(ChannelMap map, Bank bank, int n) {
        return Base(map, bank) + static_cast<std::uint32_t>(n - 1) / 8u;
    }
    static constexpr std::uint8_t BitMask(int n) {
        return static_cast<std::uint8_t>(1u << ((n - 1) % 8));
    }
    static bool Test(const RadioImage& image, ChannelMap map, Bank bank, int n) {
        return (image[ByteAddr(map, bank, n)] & BitMask(n)) != 0;
    }
    static void Set(RadioImage& image, ChannelMap map, Bank bank, int n) {
        image[ByteAddr(map, bank, n)] |= BitMask(n);
    }
};

// Ten scan-edge records after bank B: L1, U1, ... L5, U5.
struct ScanEdgeMap {
    static constexpr std::uint32_t kBase = image_map::kScanEdges.base;
    static constexpr int kCount = static_cast<int>(image_map::kScanEdges.count);
    static constexpr std::uint32_t RecordAddr(int k) { return image_map::kScanEdges.Record(k); }
};

// Eleven VFO records: bank A bands 0..8, then the two bank B bands; records 0..8 are mirrored.
struct VfoMap {
    static constexpr std::uint32_t kBase = image_map::kVfos.base;
    static constexpr int kCount = static_cast<int>(image_map::kVfos.count);
    static constexpr int kBankACount = static_cast<int>(image_map::kVfoMirror.count);
    static constexpr std::uint32_t kMirror = image_map::kVfoMirror.base;
    static constexpr std::uint32_t kMirrorSize = image_map::kVfoMirror.size;  // 288 bytes
    static constexpr std::uint32_t RecordAddr(int q) { return image_map::kVfos.Record(q); }
};

// Six band memories of 64 bytes: two channel records each (the band's own frequency, then the
// home band's).
struct BandMemoryMap {
    static constexpr std::uint32_t kBase = image_map::kBandMemories.base;
    static constexpr std::uint32_t kSize = image_map::kBandMemories.stride;
    static constexpr std::uint32_t kSecondHalf = kChannelRecordSize;
    static constexpr int kCount = static_cast<int>(image_map::kBandMemories.count);
    static constexpr std::uint32_t RecordAddr(int k) { return image_map::kBandMemories.Record(k); }
    // Channel record `half` (0 or 1) of memory k.
    static constexpr std::uint32_t HalfAddr(int k, int half) {
        return RecordAddr(k) + kSecondHalf * static_cast<std::uint32_t>(half);
    }
};

// Six band side records of 64 bytes (laid out like the basic settings block, which they copy).
struct BandSideRecordMap {
    static constexpr std::uint32_t kBase = image_map::kBandSideRecords.base;
    static constexpr std::uint32_t kSize = image_map::kBandSideRecords.stride;
    static constexpr int kCount = static_cast<int>(image_map::kBandSideRecords.count);
    static constexpr std::uint32_t RecordAddr(int k) {
        return image_map::kBandSideRecords.Record(k);
    }
};

}  // namespace vm
