#include "app/editors/channels/channel_memory.h"

#include <algorithm>
#include <string>
#include <utility>

#include "app/image/channel_regions.h"
#include "app/image/codecs.h"
#include "app/image/image_map.h"
#include "app/image/settings_regions.h"

namespace vm {

std::uint32_t ApplyBandRaster(std::uint32_t f, int band) {
    if (band == 8) return f % 500 == 0 || f % 1250 == 0 ? f : f - f % 500;
    const std::uint32_t hundreds = (f / 100) % 100;
    for (std::uint32_t t : k833Table)
        if (hundreds == (t / 100) % 100) return f - f % 10000 + t;
    if (f % 250 != 0 && f % 625 != 0) SnapFrequency(f);
    return f;
}

bool VfoAccepts(const BandTables& bands, int q, std::int64_t f) {
    auto within = [f](BandLimits l) { return f > 0 && f >= l.lower && f <= l.upper; };
    if (q >= VfoMap::kBankACount)
        return within(BandLimitsOf(bands, q - VfoMap::kBankACount, Bank::B));
    return within(BandLimitsOf(bands, q)) ||
           (q == kAirBandVfo && within(BandLimitsOf(bands, kAirBand)));
}

void RecomputeBandEnabledFromImage(BandTables& bands, const RadioImage& image) {
    // The rule lives with the band tables; feed it the edges as the image holds them.
    BandTables edges = bands;
    for (int n = 1; n <= kBandCount; ++n)
        edges.RxLower[static_cast<std::size_t>(n)] =
            static_cast<std::int32_t>(FrequencyRange(image, n).Raw(FrequencyRange::kRxLower));
    RecomputeBandEnabled(edges);
    bands.BandEnabled = edges.BandEnabled;
}

int ClearOutOfBandChannels(RadioImage& image, const BandTables& bands) {
    int cleared = 0;
    for (int n = 1; n <= kChannelsPerBank; ++n) {
        if (RxInBand(bands, image.data() + ChannelOffset(n))) continue;
        InitChannelRecord(image, n, 0, bands);
        ++cleared;
    }
    return cleared;
}

void RebuildChannelBitmaps(RadioImage& image, const BandTables& bands) {
    for (Bank bank : {Bank::A, Bank::B})
        for (ChannelMap map : {ChannelMap::Used, ChannelMap::Scan, ChannelMap::Priority})
            std::fill_n(image.begin() + ChannelBitmaps::Base(map, bank), ChannelBitmaps::kSize,
                        std::uint8_t{0});
    for (Bank bank : {Bank::A, Bank::B}) {
        const int first = bank == Bank::A ? 1 : kChannelsPerBank + 1;
        for (int n = 1; n <= kChannelsPerBank; ++n) {
            const ConstChannelRecord rec = ChannelAt(std::as_const(image), first + n - 1);
            // Bank B channels are tested against the two bank B bands.
            if (!RxInBand(bands, rec.data(), bank)) continue;
            ChannelBitmaps::Set(image, ChannelMap::Used, bank, n);
            const int scan = rec.Scan();
            if (scan == 0 || scan == 2) ChannelBitmaps::Set(image, ChannelMap::Scan, bank, n);
            if (scan == 2) ChannelBitmaps::Set(image, ChannelMap::Priority, bank, n);
        }
    }
}

namespace {

bool Enabled(const BandTables& bands, int b, Bank bank = Bank::A) {
    const int flag = bank == Bank::A ? b + 1 : 10 + b;
    return bands.BandEnabled[static_cast<std::size_t>(flag)] != 0;
}

std::uint32_t Lower(const BandTables& bands, int b, Bank bank = Bank::A) {
    return static_cast<std::uint32_t>(std::max(BandLimitsOf(bands, b, bank).lower, 0));
}

std::uint32_t FixedLower(int b, Bank bank = Bank::A) {
    if (bank == Bank::B) b = b == 0 ? 4 : 7;
    return static_cast<std::uint32_t>(FixedBandLimits(b + 1).lower);
}

// The lower limit of a band when it is programmed, else its fixed lower limit.
std::uint32_t LowerOrFixed(const BandTables& bands, int b) {
    const std::uint32_t lower = Lower(bands, b);
    return lower != 0 ? lower : FixedLower(b);
}

// 1. Channel 1 of each bank always exists.
void EnsureFirstChannels(RadioImage& image, const BandTables& bands) {
    for (int n : {1, kChannelsPerBank + 1}) EnsureFirstChannel(image, n, bands);
}

}  // namespace

bool EnsureFirstChannel(RadioImage& image, int n, const BandTables& bands) {
    // Byte 0x03 of 0x00 is as empty as 0xFF: both are recreated.
    if (!ChannelAt(std::as_const(image), n).IsEmpty()) return false;
    const std::uint32_t f = Enabled(bands, 4) ? Lower(bands, 4) : LowerOrFixed(bands, 7);
    InitChannelRecord(image, n, 0, bands);
    ChannelRecord rec = ChannelAt(image, n);
    rec.SetRx(f);
    rec.SetTx(f);
    return true;
}

namespace {

// 2. Five-tone codes lose the digits the standard cannot send.
void CleanFiveToneCodes(RadioImage& image) {
    using S = FiveToneStandardBlock;
    const std::uint8_t* standard = FiveToneMap::Record(std::as_const(image));
    std::string excluded;
    for (int digit = 10; digit <= 15; ++digit)
        if (S::Tone(digit).Get(standard) == 0) excluded.push_back(HexDigitChar(digit));
    excluded.push_back(static_cast<char>(standard[S::kRepeat]));

    for (std::uint32_t field : FiveToneMap::CodeFields()) {
        std::uint8_t* p = image.data() + field;
        std::array<std::uint8_t, FiveToneMap::kCodeLength> kept{};
        std::size_t count = 0;
        for (std::uint32_t i = 0; i < FiveToneMap::kCodeLength && p[i] != 0xFF; ++i) {
            const bool drop = p[i] < 16 && excluded.find(HexDigitChar(p[i])) != std::string::npos;
            if (!drop) kept[count++] = p[i];
        }
        for (std::uint32_t i = 0; i < FiveToneMap::kCodeLength; ++i)
            p[i] = i < count ? kept[i] : 0xFF;
    }
}

// 3. Decoder coefficients of the two-tone and five-tone tones.
void WriteDecoderCoefficients(RadioImage& image) {
    using C = DecoderCoefficientMap;
    auto write = [&image](std::uint32_t coefficient_addr, int tone) {
        C::kCoefficient.Set(image.data() + coefficient_addr, DecoderCoefficientWord(tone));
    };
    for (int q = 0; q < TwoToneMap::kSystemCount; ++q) {
        const std::uint8_t* system = image.data() + TwoToneMap::SystemAddr(q);
        for (int r = 0; r < TwoToneMap::kToneCount; ++r)
            write(C::TwoToneAddr(q, r),
                  TwoToneMap::kTones[static_cast<std::size_t>(r)].Get(system));
    }
    const std::uint8_t* standard = FiveToneMap::Record(std::as_const(image));
    for (int q = 0; q < FiveToneStandardBlock::kToneCount; ++q)
        write(C::FiveToneAddr(q), FiveToneStandardBlock::Tone(q).Get(standard));
}

// 4. The scrambler's coefficient, floor(2v / 0.7324 + 0.5) in exact decimal arithmetic.
void WriteScramblerCoefficient(RadioImage& image) {
    using B = BasicSettingsMap;
    std::uint8_t* rec = B::Record(image);
    int v = B::kScrambler.Get(rec);
    if (!B::kScrambler.InRange(v)) v = *B::kScrambler.factory;
    const std::uint32_t c = (20000u * static_cast<std::uint32_t>(v) + 3662u) / 7324u;
    B::kScramblerCoefficient.Set(rec, static_cast<int>(c));
}

// 5. The alarm's EMI code must name a DTMF code memory in use.
void CheckEmiCode(RadioImage& image) {
    std::uint8_t* rec = AlarmMap::Record(image);
    const int code = AlarmMap::kEmiCode.Get(rec);
    if (code >= 1 && code <= DtmfCodeMemory::kCount && !DtmfCodeMemory(image, code).InUse())
        AlarmMap::kEmiCode.Set(rec, 0);
}

// 7. and 8. VFO records inside their bands; the bank A ones mirrored.
void RepairVfos(RadioImage& image, const BandTables& bands) {
    for (int q = 0; q < VfoMap::kCount; ++q) {
        const Bank bank = q < VfoMap::kBankACount ? Bank::A : Bank::B;
        const int b = bank == Bank::A ? q : q - VfoMap::kBankACount;
        ChannelRecord rec(image, VfoMap::RecordAddr(q));
        std::uint32_t rx = rec.Rx();
        if (Enabled(bands, b, bank)) {
            // The VFO dialog's own range (the 150M VFO keeps an air-band frequency).
            if (VfoAccepts(bands, q, rx)) continue;
            rx = Lower(bands, b, bank);
        } else {
            rx = FixedLower(b, bank);
        }
        if (rec.IsEmpty()) {
            // An empty VFO becomes a whole default record, as the VFO dialog would make it:
            // the frequency alone would leave its tones and modes 0xFF, which the dialog then
            // rewrites at its next store.
            InitChannelRecordAt(image, VfoMap::RecordAddr(q), rx, bands);
            continue;
        }
        rec.SetRx(rx);
        rec.SetTx(rx);
    }
    std::copy_n(image.begin() + VfoMap::kBase, VfoMap::kMirrorSize,
                image.begin() + VfoMap::kMirror);
}

// 9. Priority channels must name channels in use.
void CheckPriorityChannels(RadioImage& image) {
    for (Bank bank : {Bank::A, Bank::B}) {
        const SettingField field = BasicSettingsMap::PriorityChannel(bank);
        std::uint8_t* rec = BasicSettingsMap::Record(image);
        const int ch = field.Get(rec);
        if (ch < 1 || ch > kChannelsPerBank) continue;
        const int n = bank == Bank::A ? ch : ch + kChannelsPerBank;
        if (ChannelAt(std::as_const(image), n).IsEmpty()) field.Set(rec, 0);
    }
}

// 10. Band memories start at the lower edge of their band.
void ResetBandMemories(RadioImage& image, const BandTables& bands) {
    struct Choice {
        int first;
        int second;  // -1: none
    };
    constexpr Choice kBands[BandMemoryMap::kCount] = {{0, -1}, {1, 2}, {4, -1},
                                                      {6, -1}, {7, 5}, {8, -1}};
    const int defined = FirstDefinedBand(bands);
    std::uint32_t home;
    if (Enabled(bands, 7))
        home = Lower(bands, 7);
    else if (Enabled(bands, 5))
        home = Lower(bands, 5);
    else if (DefaultHomeBand(bands) >= 0)
        home = Lower(bands, DefaultHomeBand(bands));
    else  // no home band at all: the first defined band's edge, else the fixed 400 MHz edge
        home = defined >= 0 ? Lower(bands, defined) : FixedLower(7);

    for (int k = 0; k < BandMemoryMap::kCount; ++k) {
        const Choice c = kBands[k];
        std::uint32_t f;
        if (Enabled(bands, c.first))
            f = Lower(bands, c.first);
        else if (c.second >= 0 && Enabled(bands, c.second))
            f = Lower(bands, c.second);
        else
            f = defined >= 0 ? Lower(bands, defined) : FixedLower(c.first);
        ChannelRecord first(image, BandMemoryMap::RecordAddr(k));
        first.SetRx(f);
        first.SetTx(f);
        ChannelRecord second(image, BandMemoryMap::HalfAddr(k, 1));
        second.SetRx(home);
        second.SetTx(home);
    }
}

// A channel reference of a side record: 1..256 a bank A channel, 257..810 a record counted
// from the scan edges; accepted when that record has an Rx inside a band.
// Whether every byte of [addr, addr + size) belongs to a region of the image map.
bool Mapped(std::uint32_t addr, std::uint32_t size) {
    for (std::uint32_t a = addr; a < addr + size; ++a) {
        if (std::none_of(image_map::kAll.begin(), image_map::kAll.end(),
                         [a](const ImageRegion& r) { return r.Contains(a); }))
            return false;
    }
    return true;
}

bool ReferenceValid(const RadioImage& image, const BandTables& bands, std::uint16_t v) {
    if (v >= 1 && v <= 256) return RxInBand(bands, image.data() + ChannelOffset(v));
    if (v >= 257 && v <= 810) {
        // The records 0xC900 + 32 k run on past the scan edges; one that falls where the image
        // holds no record at all (unmapped bytes) is no reference.
        const std::uint32_t addr = ScanEdgeMap::RecordAddr((v - 257) % 256);
        return Mapped(addr, static_cast<std::uint32_t>(kChannelRecordSize)) &&
               RxInBand(bands, image.data() + addr);
    }
    return false;
}

// 11. Side records: bands, modes, band-memory index, small settings and channel references.
void RepairSideRecord(RadioImage& image, const BandTables& bands, std::uint32_t base) {
    SideRecord side(image, base);
    int first_enabled = 255;
    for (int b = 0; b < kBandCount; ++b)
        if (Enabled(bands, b)) {
            first_enabled = b;
            break;
        }
    int first_memory = 255;
    auto memory_in_band = [&](int k) {
        return RxInBand(bands, image.data() + BandMemoryMap::RecordAddr(k));
    };
    for (int k = 0; k < BandMemoryMap::kCount; ++k)
        if (memory_in_band(k)) {
            first_memory = k;
            break;
        }

    for (int s = 0; s < 2; ++s) {
        std::uint8_t& band = side.Band(s);
        if (band > 8 || !Enabled(bands, band)) band = static_cast<std::uint8_t>(first_enabled);
    }
    side.Byte(SideRecord::kProtectionFlag) = 0xFF;
    std::uint8_t& modes = side.Byte(SideRecord::kModes);
    if (GetBits(modes, 1, 0) == 3) SetBits(modes, 1, 0, 0);
    if (GetBits(modes, 3, 2) == 3) SetBits(modes, 3, 2, 0);
    std::uint8_t& memory = side.Byte(SideRecord::kBandMemory);
    if (memory > 5 || !memory_in_band(memory)) memory = static_cast<std::uint8_t>(first_memory);
    for (std::uint32_t off : SideRecord::kNibbleFields)
        if (side.Byte(off) > 15) side.Byte(off) = 0;
    for (int s = 0; s < 2; ++s)
        if (!ReferenceValid(image, bands, side.Reference(s))) side.SetReference(s, 1);
}

}  // namespace

void NormalizeImage(RadioImage& image, const BandTables& bands) {
    EnsureFirstChannels(image, bands);
    CleanFiveToneCodes(image);
    WriteDecoderCoefficients(image);
    WriteScramblerCoefficient(image);
    CheckEmiCode(image);
    RebuildChannelBitmaps(image, bands);
    RepairVfos(image, bands);
    CheckPriorityChannels(image);
    ResetBandMemories(image, bands);
    RepairSideRecord(image, bands, BasicSettingsMap::kBase + BasicSettingsMap::kSideRecord);
    for (int k = 0; k < BandSideRecordMap::kCount; ++k)
        RepairSideRecord(image, bands, BandSideRecordMap::RecordAddr(k));
}

}  // namespace vm
