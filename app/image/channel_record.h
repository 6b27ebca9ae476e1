// The 32-byte record shared by channel memories, VFOs, scan edges and band memories, the two
// channel banks and the band lookups.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "app/image/band_tables.h"
#include "app/image/codecs.h"
#include "app/image/radio_image.h"

namespace vm {

inline constexpr int kChannelsPerBank = 800;
inline constexpr std::size_t kChannelRecordSize = 32;
inline constexpr std::size_t kChannelNameLength = 6;

enum class Bank { A, B };

// Image offset of channel n: 1..800 bank A, 801..1600 bank B.
constexpr std::uint32_t ChannelOffset(int n) {
    return n <= kChannelsPerBank ? kBankA + 32u * static_cast<std::uint32_t>(n - 1)
                                 : kBankB + 32u * static_cast<std::uint32_t>(n - 801);
}

enum class OffsetDirection { Simplex = 0, Minus = 1, Plus = 2, Split = 3 };

// A view over 32 bytes of the image. Byte is std::uint8_t or const std::uint8_t.
template <class Byte>
class BasicChannelRecord {
    static constexpr bool kWritable = !std::is_const_v<Byte>;

public:
    // Field offsets.
    static constexpr std::size_t kRx = 0x00, kTx = 0x04, kCtcss = 0x08, kDcs = 0x0A, kFlagsC = 0x0C,
                                 kFlagsD = 0x0D, kFlagsE = 0x0E, kFlagsF = 0x0F, kOffset = 0x10,
                                 kFlagsS = 0x14, kPttId = 0x15, kName = 0x18;

    explicit BasicChannelRecord(Byte* p) : p_(p) {}
    template <class Image>
    BasicChannelRecord(Image& image, std::uint32_t offset) : p_(image.data() + offset) {}

    Byte* data() const { return p_; }

    // Empty: the most significant Rx byte is 0x00 or 0xFF.
    bool IsEmpty() const { return p_[3] == 0x00 || p_[3] == 0xFF; }

    std::uint32_t Rx() const { return GetFrequency(p_ + kRx); }
    std::uint32_t Tx() const { return GetFrequency(p_ + kTx); }
    bool HasTx() const { return !IsErased(p_ + kTx, 4); }
    int Ctcss() const { return GetBcd16(p_ + kCtcss); }  // tenths of Hz
    int Dcs() const { return GetBcd16(p_ + kDcs); }      // code digits as a number (023 -> 23)
    std::uint32_t Offset() const { return GetFrequency(p_ + kOffset); }
    bool HasOffset() const { return !IsErased(p_ + kOffset, 4); }

    int TxPower() const { return GetBits(p_[kFlagsC], 7, 6); }
    int BeatShift() const { return GetBits(p_[kFlagsC], 5, 5); }
    int ReverseBackup() const { return GetBits(p_[kFlagsC], 4, 4); }
    int DisplayType() const { return GetBits(p_[kFlagsC], 3, 2); }
    int Scan() const { return GetBits(p_[kFlagsC], 1, 0); }

    int Bandwidth() const { return GetBits(p_[kFlagsD], 7, 6); }
    int Scrambler() const { return GetBits(p_[kFlagsD], 5, 5); }
    int Compander() const { return GetBits(p_[kFlagsD], 4, 4); }
    int Emphasis() const { return GetBits(p_[kFlagsD], 3, 3); }
    int SqlMode() const { return GetBits(p_[kFlagsD], 2, 0); }

    OffsetDirection Direction() const {
        return static_cast<OffsetDirection>(GetBits(p_[kFlagsE], 7, 6));
    }
    int Reverse() const { return GetBits(p_[kFlagsE], 5, 5); }
    int TalkAround() const { return GetBits(p_[kFlagsE], 4, 4); }
    int Step() const { return GetBits(p_[kFlagsE], 3, 0); }

    int DcsPolarity() const { return GetBits(p_[kFlagsF], 7, 6); }
    int BusyLock() const { return GetBits(p_[kFlagsF], 5, 4); }
    int TxStop() const { return GetBits(p_[kFlagsF], 3, 3); }
    int DecodeType() const { return GetBits(p_[kFlagsF], 2, 0); }

    int OptSignal() const { return GetBits(p_[kFlagsS], 7, 6); }
    int Am() const { return GetBits(p_[kFlagsS], 4, 4); }
    int DecodeCode() const { return GetBits(p_[kFlagsS], 3, 0); }  // 0..15, shown 1..16
    int PttId() const { return p_[kPttId]; }

    std::string Name() const { return GetCharField(p_ + kName, kChannelNameLength); }

    // Writers.
    void SetRx(std::uint32_t f) const requires kWritable { PutFrequency(p_ + kRx, f); }
    void SetTx(std::uint32_t f) const requires kWritable { PutFrequency(p_ + kTx, f); }
    void ClearTx() const requires kWritable { Fill(kTx, 4); }
    void SetCtcss(int tenths) const requires kWritable { PutBcd16(p_ + kCtcss, tenths); }
    void SetDcs(int code) const requires kWritable { PutBcd16(p_ + kDcs, code); }
    void SetOffset(std::uint32_t f) const requires kWritable { PutFrequency(p_ + kOffset, f); }
    void ClearOffset() const requires kWritable { Fill(kOffset, 4); }

    void SetTxPower(int v) const requires kWritable { SetBits(p_[kFlagsC], 7, 6, v); }
    void SetBeatShift(int v) const requires kWritable { SetBits(p_[kFlagsC], 5, 5, v); }
    void SetReverseBackup(int v) const requires kWritable { SetBits(p_[kFlagsC], 4, 4, v); }
    void SetDisplayType(int v) const requires kWritable { SetBits(p_[kFlagsC], 3, 2, v); }
    void SetScan(int v) const requires kWritable { SetBits(p_[kFlagsC], 1, 0, v); }

    void SetBandwidth(int v) const requires kWritable { SetBits(p_[kFlagsD], 7, 6, v); }
    void SetScrambler(int v) const requires kWritable { SetBits(p_[kFlagsD], 5, 5, v); }
    void SetCompander(int v) const requires kWritable { SetBits(p_[kFlagsD], 4, 4, v); }
    void SetEmphasis(int v) const requires kWritable { SetBits(p_[kFlagsD], 3, 3, v); }
    void SetSqlMode(int v) const requires kWritable { SetBits(p_[kFlagsD], 2, 0, v); }

    void SetDirection(OffsetDirection d) const requires kWritable {
        SetBits(p_[kFlagsE], 7, 6, static_cast<int>(d));
    }
    void SetReverse(int v) const requires kWritable { SetBits(p_[kFlagsE], 5, 5, v); }
    void SetTalkAround(int v) const requires kWritable { SetBits(p_[kFlagsE], 4, 4, v); }
    void SetStep(int v) const requires kWritable { SetBits(p_[kFlagsE], 3, 0, v); }

    void SetDcsPolarity(int v) const requires kWritable { SetBits(p_[kFlagsF], 7, 6, v); }
    void SetBusyLock(int v) const requires kWritable { SetBits(p_[kFlagsF], 5, 4, v); }
    void SetTxStop(int v) const requires kWritable { SetBits(p_[kFlagsF], 3, 3, v); }
    void SetDecodeType(int v) const requires kWritable { SetBits(p_[kFlagsF], 2, 0, v); }

    // Bit 5 of byte 0x14 is reserved and always written 0.
    void SetOptSignal(int v) const requires kWritable {
        SetBits(p_[kFlagsS], 7, 6, v);
        SetBits(p_[kFlagsS], 5, 5, 0);
    }
    void SetAm(int v) const requires kWritable {
        SetBits(p_[kFlagsS], 4, 4, v);
        SetBits(p_[kFlagsS], 5, 5, 0);
    }
    void SetDecodeCode(int v) const requires kWritable {
        SetBits(p_[kFlagsS], 3, 0, v);
        SetBits(p_[kFlagsS], 5, 5, 0);
    }
    void SetPttId(int v) const requires kWritable { p_[kPttId] = static_cast<std::uint8_t>(v); }

    // Up to six characters; the rest 0xFF.
    void SetName(std::string_view name) const requires kWritable {
        PutCharField(p_ + kName, kChannelNameLength, name);
    }

private:
    void Fill(std::size_t at, std::size_t n) const requires kWritable {
        for (std::size_t i = 0; i < n; ++i) p_[at + i] = 0xFF;
    }
    Byte* p_;
};

using ChannelRecord = BasicChannelRecord<std::uint8_t>;
using ConstChannelRecord = BasicChannelRecord<const std::uint8_t>;

inline ChannelRecord ChannelAt(RadioImage& image, int n) {
    return ChannelRecord(image, ChannelOffset(n));
}
inline ConstChannelRecord ChannelAt(const RadioImage& image, int n) {
    return ConstChannelRecord(image, ChannelOffset(n));
}

// ---------------------------------------------------------------------------------------------
// Band lookups. Bands are numbered 0..8 here (band b is band b + 1 of the band tables) and the
// bank B ranges 0 (low) and 1 (high).

int FindBand(const BandTables& bands, std::uint32_t f, Bank bank = Bank::A);
int HomeBandOf(const BandTables& bands, std::uint32_t f);
int DefaultHomeBand(const BandTables& bands);   // 4, 7 or -1
int FirstDefinedBand(const BandTables& bands);  // -1 when none
// Lower and upper limit of band b (0..8 bank A, 0..1 bank B).
BandLimits BandLimitsOf(const BandTables& bands, int b, Bank bank = Bank::A);
inline Bank BankOfChannel(int n) {
    return n > kChannelsPerBank ? Bank::B : Bank::A;
}

// ---------------------------------------------------------------------------------------------
// Default and cleared records

// The default record for frequency f (10 Hz units; 0 leaves both frequencies 0xFF).
void InitChannelRecordAt(RadioImage& image, std::uint32_t offset, std::uint32_t f,
                         const BandTables& bands);
void InitChannelRecord(RadioImage& image, int n, std::uint32_t f, const BandTables& bands);
// What the channel table writes for a row whose Rx cell is empty.
void WriteClearedRecord(std::uint8_t* record);

}  // namespace vm
