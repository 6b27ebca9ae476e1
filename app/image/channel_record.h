// The 32-byte record shared by channel memories, VFOs, scan edges and band memories, the two
// channel banks and the band lookups.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "app/image/band_tables.h"
#include "app/image/codecs.h"
#include "app/image/image_fields.h"
#include "app/image/image_map.h"
#include "app/image/radio_image.h"

namespace vm {

inline constexpr int kChannelsPerBank = static_cast<int>(image_map::kBankA.count);
inline constexpr std::size_t kChannelRecordSize = image_map::kBankA.stride;
inline constexpr std::size_t kChannelNameLength = 6;

enum class Bank { A, B };

// Image offset of channel n: 1..800 bank A, 801..1600 bank B.
constexpr std::uint32_t ChannelOffset(int n) {
    return n <= kChannelsPerBank ? image_map::kBankA.Record(n - 1)
                                 : image_map::kBankB.Record(n - kChannelsPerBank - 1);
}

enum class OffsetDirection { Simplex = 0, Minus = 1, Plus = 2, Split = 3 };

// A view over 32 bytes of the image. Byte is std::uint8_t or const std::uint8_t.
template <class Byte>
class BasicChannelRecord {
    static constexpr bool kWritable = !std::is_const_v<Byte>;

public:
    // Field offsets.
    static constexpr std::uint32_t kRx = 0x00, kTx = 0x04, kCtcss = 0x08, kDcs = 0x0A,
                                   kFlagsC = 0x0C, kFlagsD = 0x0D, kFlagsE = 0x0E, kFlagsF = 0x0F,
                                   kOffset = 0x10, kFlagsS = 0x14, kPttId = 0x15, kName = 0x18;
    // The fields, each described once.
    static constexpr FrequencyField kRxField{kRx}, kTxField{kTx}, kOffsetField{kOffset};
    static constexpr BcdField kCtcssField{kCtcss}, kDcsField{kDcs};
    static constexpr CharField kNameField{kName, kChannelNameLength};
    static constexpr ByteField kPttIdField{kPttId};
    static constexpr BitField kTxPowerBits{kFlagsC, 7, 6};
    static constexpr BitField kBeatShiftBits{kFlagsC, 5, 5};
    static constexpr BitField kReverseBackupBits{kFlagsC, 4, 4};
    static constexpr BitField kDisplayTypeBits{kFlagsC, 3, 2};
    static constexpr BitField kScanBits{kFlagsC, 1, 0};
    static constexpr BitField kBandwidthBits{kFlagsD, 7, 6};
    static constexpr BitField kScramblerBits{kFlagsD, 5, 5};
    static constexpr BitField kCompanderBits{kFlagsD, 4, 4};
    static constexpr BitField kEmphasisBits{kFlagsD, 3, 3};
    static constexpr BitField kSqlModeBits{kFlagsD, 2, 0};
    static constexpr BitField kDirectionBits{kFlagsE, 7, 6};
    static constexpr BitField kReverseBits{kFlagsE, 5, 5};
    static constexpr BitField kTalkAroundBits{kFlagsE, 4, 4};
    static constexpr BitField kStepBits{kFlagsE, 3, 0};
    static constexpr BitField kDcsPolarityBits{kFlagsF, 7, 6};
    static constexpr BitField kBusyLockBits{kFlagsF, 5, 4};
    static constexpr BitField kTxStopBits{kFlagsF, 3, 3};
    static constexpr BitField kDecodeTypeBits{kFlagsF, 2, 0};
    static constexpr BitField kOptSignalBits{kFlagsS, 7, 6};
    static constexpr BitField kAmBits{kFlagsS, 4, 4};
    static constexpr BitField kDecodeCodeBits{kFlagsS, 3, 0};
    // Bits 1-0 of the decode type: what the channel table shows and stores (bit 2 is kept).
    static constexpr BitField kTableDecodeTypeBits{kFlagsF, 1, 0};
    // Bit 5 of byte 0x14 is reserved.
    static constexpr BitField kReservedSBits{kFlagsS, 5, 5};

    explicit BasicChannelRecord(Byte* p) : p_(p) {}
    template <class Image>
    BasicChannelRecord(Image& image, std::uint32_t offset) : p_(image.data() + offset) {}

    Byte* data() const { return p_; }

    // Empty: the most significant Rx byte is 0x00 or 0xFF.
    bool IsEmpty() const { return kRxField.Absent(p_); }

    std::uint32_t Rx() const { return kRxField.Get(p_); }
    std::uint32_t Tx() const { return kTxField.Get(p_); }
    bool HasTx() const { return !kTxField.Erased(p_); }
    // No Tx: erased, a highest byte of 0x00, or bytes that are not BCD digits (damaged memory:
    // such a value has no text that would store back as the same bytes).
    bool TxAbsent() const { return kTxField.Absent(p_) || !kTxField.Digits(p_); }
    int Ctcss() const { return kCtcssField.Get(p_); }  // tenths of Hz
    int Dcs() const { return kDcsField.Get(p_); }      // code digits as a number (023 -> 23)
    std::uint32_t Offset() const { return kOffsetField.Get(p_); }
    // No offset is programmed: its highest byte is 0xFF.
    bool OffsetUnset() const { return p_[kOffset + 3] == 0xFF; }

    int TxPower() const { return kTxPowerBits.Get(p_); }
    int BeatShift() const { return kBeatShiftBits.Get(p_); }
    int ReverseBackup() const { return kReverseBackupBits.Get(p_); }
    int DisplayType() const { return kDisplayTypeBits.Get(p_); }
    int Scan() const { return kScanBits.Get(p_); }
    int Bandwidth() const { return kBandwidthBits.Get(p_); }
    int Scrambler() const { return kScramblerBits.Get(p_); }
    int Compander() const { return kCompanderBits.Get(p_); }
    int Emphasis() const { return kEmphasisBits.Get(p_); }
    int SqlMode() const { return kSqlModeBits.Get(p_); }
    OffsetDirection Direction() const {
        return static_cast<OffsetDirection>(kDirectionBits.Get(p_));
    }
    int Reverse() const { return kReverseBits.Get(p_); }
    int TalkAround() const { return kTalkAroundBits.Get(p_); }
    int Step() const { return kStepBits.Get(p_); }
    int DcsPolarity() const { return kDcsPolarityBits.Get(p_); }
    int BusyLock() const { return kBusyLockBits.Get(p_); }
    int TxStop() const { return kTxStopBits.Get(p_); }
    int DecodeType() const { return kDecodeTypeBits.Get(p_); }
    int OptSignal() const { return kOptSignalBits.Get(p_); }
    int Am() const { return kAmBits.Get(p_); }
    int DecodeCode() const { return kDecodeCodeBits.Get(p_); }  // 0..15, shown 1..16
    int TableDecodeType() const { return kTableDecodeTypeBits.Get(p_); }
    int PttId() const { return kPttIdField.Get(p_); }

    std::string Name() const { return kNameField.Get(p_); }

    // Writers.
    void SetRx(std::uint32_t f) const requires kWritable { kRxField.Set(p_, f); }
    void SetTx(std::uint32_t f) const requires kWritable { kTxField.Set(p_, f); }
    void ClearTx() const requires kWritable { kTxField.Erase(p_); }
    void SetCtcss(int tenths) const requires kWritable { kCtcssField.Set(p_, tenths); }
    void SetDcs(int code) const requires kWritable { kDcsField.Set(p_, code); }
    void SetOffset(std::uint32_t f) const requires kWritable { kOffsetField.Set(p_, f); }
    void ClearOffset() const requires kWritable { kOffsetField.Erase(p_); }

    void SetTxPower(int v) const requires kWritable { kTxPowerBits.Set(p_, v); }
    void SetBeatShift(int v) const requires kWritable { kBeatShiftBits.Set(p_, v); }
    void SetReverseBackup(int v) const requires kWritable { kReverseBackupBits.Set(p_, v); }
    void SetDisplayType(int v) const requires kWritable { kDisplayTypeBits.Set(p_, v); }
    void SetScan(int v) const requires kWritable { kScanBits.Set(p_, v); }
    void SetBandwidth(int v) const requires kWritable { kBandwidthBits.Set(p_, v); }
    void SetScrambler(int v) const requires kWritable { kScramblerBits.Set(p_, v); }
    void SetCompander(int v) const requires kWritable { kCompanderBits.Set(p_, v); }
    void SetEmphasis(int v) const requires kWritable { kEmphasisBits.Set(p_, v); }
    void SetSqlMode(int v) const requires kWritable { kSqlModeBits.Set(p_, v); }
    void SetDirection(OffsetDirection d) const requires kWritable {
        kDirectionBits.Set(p_, static_cast<int>(d));
    }
    void SetReverse(int v) const requires kWritable { kReverseBits.Set(p_, v); }
    void SetTalkAround(int v) const requires kWritable { kTalkAroundBits.Set(p_, v); }
    void SetStep(int v) const requires kWritable { kStepBits.Set(p_, v); }
    void SetDcsPolarity(int v) const requires kWritable { kDcsPolarityBits.Set(p_, v); }
    void SetBusyLock(int v) const requires kWritable { kBusyLockBits.Set(p_, v); }
    void SetTxStop(int v) const requires kWritable { kTxStopBits.Set(p_, v); }
    void SetDecodeType(int v) const requires kWritable { kDecodeTypeBits.Set(p_, v); }
    void SetTableDecodeType(int v) const requires kWritable { kTableDecodeTypeBits.Set(p_, v); }

    // Bit 5 of byte 0x14 is reserved and always written 0.
    void SetOptSignal(int v) const requires kWritable { SetSignalling(kOptSignalBits, v); }
    void SetAm(int v) const requires kWritable { SetSignalling(kAmBits, v); }
    void SetDecodeCode(int v) const requires kWritable { SetSignalling(kDecodeCodeBits, v); }
    void SetPttId(int v) const requires kWritable { kPttIdField.Set(p_, v); }

    // Up to six characters; the rest 0xFF.
    void SetName(std::string_view name) const requires kWritable { kNameField.Set(p_, name); }

private:
    void SetSignalling(BitField field, int v) const requires kWritable {
        field.Set(p_, v);
        kReservedSBits.Set(p_, 0);
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
