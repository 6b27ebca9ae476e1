#include "app/image/channel_record.h"

#include <algorithm>

namespace vm {

BandLimits BandLimitsOf(const BandTables& bands, int b, Bank bank) {
    if (bank == Bank::B)
        return b == 0 ? BandLimits{bands.LowRangeLower, bands.LowRangeUpper}
                      : BandLimits{bands.HighRangeLower, bands.HighRangeUpper};
    return {bands.RxLower[static_cast<std::size_t>(b + 1)],
            bands.RxUpper[static_cast<std::size_t>(b + 1)]};
}

int FindBand(const BandTables& bands, std::uint32_t f, Bank bank) {
    const int count = bank == Bank::B ? 2 : kBandCount;
    const auto freq = static_cast<std::int64_t>(f);
    for (int b = 0; b < count; ++b) {
        const BandLimits l = BandLimitsOf(bands, b, bank);
        if (l.lower <= freq && freq <= l.upper) return b;
    }
    return -1;
}

static bool Within(const BandTables& bands, int b, std::uint32_t f) {
    const BandLimits l = BandLimitsOf(bands, b);
    return l.lower <= static_cast<std::int64_t>(f) && static_cast<std::int64_t>(f) <= l.upper;
}

int HomeBandOf(const BandTables& bands, std::uint32_t f) {
    if (Within(bands, 4, f)) return 4;
    if (Within(bands, 7, f)) return 7;
    return -1;
}

int DefaultHomeBand(const BandTables& bands) {
    if (bands.BandEnabled[5]) return 4;
    if (bands.BandEnabled[8]) return 7;
    return -1;
}

int FirstDefinedBand(const BandTables& bands) {
    for (int b = 0; b < kBandCount; ++b) {
        const BandLimits l = BandLimitsOf(bands, b);
        if (l.lower != 0 && l.lower != -1 && l.upper != 0 && l.upper != -1) return b;
    }
    return -1;
}

// What the default and the cleared record share: 0xFF everywhere but CTCSS 100.0 Hz, DCS 023,
// power "High", emphasis on, "Wide", squelch "Carrier", simplex, step 12.5 kHz, the rest 0.
static void WriteDefaultFields(std::uint8_t* p) {
    std::fill_n(p, kChannelRecordSize, std::uint8_t{0xFF});
    ChannelRecord rec(p);
    rec.SetCtcss(kDefaultCtcssTenths);
    rec.SetDcs(kDefaultDcsCode);
    p[0x0C] = 0xC0;
    p[0x0D] = 0x08;
    p[0x0E] = 0x06;
    p[0x0F] = 0x00;
    p[0x14] = 0x00;
    p[0x15] = 0x00;
}

void InitChannelRecordAt(RadioImage& image, std::uint32_t offset, std::uint32_t f,
                         const BandTables& bands) {
    std::uint8_t* p = image.data() + offset;
    WriteDefaultFields(p);
    ChannelRecord rec(p);
    if (f != 0) {
        rec.SetRx(f);
        rec.SetTx(f);
    }
    // A record without a frequency lies in no band (a band the radio lacks has the limits 0-0,
    // which a lookup of 0 would otherwise match).
    const int b = f == 0 ? -1 : FindBand(bands, f);
    if (b == 3) rec.SetAm(1);
    rec.SetOffset(b >= 7 ? kDefaultOffsetUhf : kDefaultOffset);
}

void InitChannelRecord(RadioImage& image, int n, std::uint32_t f, const BandTables& bands) {
    InitChannelRecordAt(image, ChannelOffset(n), f, bands);
}

void WriteClearedRecord(std::uint8_t* p) {
    WriteDefaultFields(p);
    ChannelRecord(p).SetOffset(kDefaultOffsetUhf);
}

}  // namespace vm
