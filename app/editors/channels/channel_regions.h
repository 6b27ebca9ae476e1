// The channel-side regions of the radio image, each described once: channel bitmaps, scan
// edges, VFO records and their copy, band memories and the per-band side records.
#pragma once

#include <cstdint>

#include "app/image/channel_record.h"
#include "app/image/radio_image.h"

namespace vm {

// Six 100-byte bitmaps, one bit per channel of a bank.
enum class ChannelMap { Used, Scan, Priority };

struct ChannelBitmaps {
    static constexpr std::uint32_t kSize = 100;
    static constexpr std::uint32_t Base(ChannelMap map, Bank bank) {
        constexpr std::uint32_t kA[] = {0xCC80, 0xCD00, 0xCD80};
        constexpr std::uint32_t kB[] = {0xCE00, 0xCE80, 0xCF00};
        return (bank == Bank::A ? kA : kB)[static_cast<int>(map)];
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
    static constexpr std::uint32_t kBase = 0xC900;
    static constexpr std::uint32_t RecordAddr(int k) {
        return kBase + 32u * static_cast<std::uint32_t>(k);
    }
};

// Eleven VFO records: bank A bands 0..8, then the two bank B bands; records 0..8 are mirrored.
struct VfoMap {
    static constexpr std::uint32_t kBase = 0xCA40;
    static constexpr int kCount = 11, kBankACount = 9;
    static constexpr std::uint32_t kMirror = 0xD8E0;
    static constexpr std::uint32_t kMirrorSize = 32u * kBankACount;  // 288 bytes
    static constexpr std::uint32_t RecordAddr(int q) {
        return kBase + 32u * static_cast<std::uint32_t>(q);
    }
};

// Six band memories of 64 bytes (two channel records each) at 0xDA00.
struct BandMemoryMap {
    static constexpr std::uint32_t kBase = 0xDA00, kSize = 64, kSecondHalf = 32;
    static constexpr int kCount = 6;
    static constexpr std::uint32_t RecordAddr(int k) {
        return kBase + kSize * static_cast<std::uint32_t>(k);
    }
};

// Six per-band side records of 64 bytes at 0xDB80 (laid out like the one at 0xCC00).
struct BandSideRecordMap {
    static constexpr std::uint32_t kBase = 0xDB80, kSize = 64;
    static constexpr int kCount = 6;
    static constexpr std::uint32_t RecordAddr(int k) {
        return kBase + kSize * static_cast<std::uint32_t>(k);
    }
};

}  // namespace vm
