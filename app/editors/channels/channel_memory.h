// Channel memories beyond the single record: the frequency raster, the channel bitmaps, the
// band enable flags, clearing out-of-band channels and the image-wide consistency pass.
#pragma once

#include <array>
#include <cstdint>

#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"
#include "app/image/radio_image.h"

namespace vm {

// The 8.33 kHz channels within a 100 kHz step, in 10 Hz units.
inline constexpr std::array<std::uint32_t, 8> k833Table = {833,  1666, 3333, 4166,
                                                           5833, 6666, 8333, 9166};

// The raster of band b (0..8, -1 for none) applied to f. Band 8 keeps multiples of 5 kHz and
// 12.5 kHz and lowers anything else to 5 kHz; the other bands take the 8.33 kHz channel whose
// hundred-hertz digits f shows, else SnapFrequency.
std::uint32_t ApplyBandRaster(std::uint32_t f, int band);

// Rx of a record as the band lookups see it: erased bytes decode as 165 per byte and so lie in
// no band.
inline bool RxInBand(const BandTables& bands, const std::uint8_t* record, Bank bank = Bank::A) {
    return FindBand(bands, GetFrequency(record), bank) >= 0;
}

// Whether VFO record q (0..8 the bank-A bands, 9 and 10 the bank-B bands) may hold f: inside
// its band's current limits, or, for the 150M VFO, inside the air band (band 3) as well.
inline constexpr int kAirBand = 3, kAirBandVfo = 4;
bool VfoAccepts(const BandTables& bands, int q, std::int64_t f);

// The enable flags from the lower edges programmed in the frequency range records: band b is
// enabled when its edge lies within its fixed limits.
void RecomputeBandEnabledFromImage(BandTables& bands, const RadioImage& image);

// The first channel of a bank (1 or 801) is never empty. Re-creates it when it is: the default
// record without a frequency, then Rx = Tx = the lower limit of band 4 when it is enabled, else
// that of band 7 (programmed, else fixed). Every path that re-creates it uses this rule (the
// table showing row 1, NormalizeImage). Returns whether it was re-created.
bool EnsureFirstChannel(RadioImage& image, int n, const BandTables& bands);

// Every channel 1..800 whose Rx lies in no bank-A band gets the default record without a
// frequency. Returns how many were cleared.
int ClearOutOfBandChannels(RadioImage& image, const BandTables& bands);

// Zeroes the six channel bitmaps and rebuilds them from both banks.
void RebuildChannelBitmaps(RadioImage& image, const BandTables& bands);

// The image-wide consistency pass that follows every store of the channel table.
void NormalizeImage(RadioImage& image, const BandTables& bands);

}  // namespace vm
