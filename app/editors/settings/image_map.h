// The settings regions of the radio image, each described once: a small view over its bytes
// with named offsets and typed accessors. Editors and the consistency pass read and write
// fields through these views only.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/image/channel_record.h"
#include "app/image/codecs.h"
#include "app/image/radio_image.h"

namespace vm {

// A 16-bit little-endian word of the image.
inline std::uint16_t ImageWord(const RadioImage& image, std::uint32_t addr) {
    return GetLe16(image.data() + addr);
}
inline void SetImageWord(RadioImage& image, std::uint32_t addr, std::uint16_t v) {
    PutLe16(image.data() + addr, v);
}

// The working-state record kept at the head of the basic settings block (0xCC00) and once per
// band pair after the band memories (0xDB80 + 64k): the two sides' channel references, bands,
// modes and band-memory index.
class SideRecord {
public:
    static constexpr std::uint32_t kReferenceA = 0, kBandA = 2, kReferenceB = 4, kBandB = 6,
                                   kReserved8 = 8, kModes = 9, kBandMemory = 11;
    // Small settings that hold 0..15.
    static constexpr std::array<std::uint32_t, 6> kNibbleFields = {16, 17, 18, 20, 21, 22};

    SideRecord(RadioImage& image, std::uint32_t base) : image_(image), base_(base) {}

    std::uint16_t Reference(int side) const { return ImageWord(image_, base_ + RefAt(side)); }
    void SetReference(int side, std::uint16_t v) { SetImageWord(image_, base_ + RefAt(side), v); }
    std::uint8_t& Band(int side) { return image_[base_ + (side == 0 ? kBandA : kBandB)]; }
    std::uint8_t& Byte(std::uint32_t offset) { return image_[base_ + offset]; }

private:
    static std::uint32_t RefAt(int side) { return side == 0 ? kReferenceA : kReferenceB; }
    RadioImage& image_;
    std::uint32_t base_;
};

// Basic settings block 0xCC00-0xCC3F.
struct BasicSettingsMap {
    static constexpr std::uint32_t kSideRecord = kBasicSettings;
    static constexpr std::uint32_t kLeftPriorityCh = 0xCC18;        // u16, bank A channel, 0 = off
    static constexpr std::uint32_t kRightPriorityCh = 0xCC1A;       // u16, bank B channel, 0 = off
    static constexpr std::uint32_t kScrambler = 0xCC28;             // u16, Hz 2600-4000
    static constexpr std::uint32_t kScramblerCoefficient = 0xCC2A;  // u16, derived
    static constexpr int kScramblerMin = 2600, kScramblerMax = 4000, kScramblerDefault = 3300;
    // The fields of the basic-settings editor (bytes unless noted; bit fields named by byte).
    static constexpr std::uint32_t kSqlLeft = 0xCC20, kAutoPowerOff = 0xCC21,
                                   kBacklightBrightness = 0xCC22, kBacklightColor = 0xCC23,
                                   kKeys = 0xCC24, kSignal = kCommitByte, kFunctions = 0xCC26,
                                   kScan = 0xCC27, kSpanExitDelay = 0xCC2C, kSqlRight = 0xCC2E,
                                   kVolume = 0xCC2F, kTot = 0xCC30, kTotPreAlert = 0xCC31,
                                   kTotRekey = 0xCC32, kTotReset = 0xCC33, kKeyP1 = 0xCC38;
    static constexpr int kVolumeMin = 1, kVolumeMax = 15, kVolumeDefault = 15;

    static std::uint32_t PriorityChannelAddr(Bank bank) {
        return bank == Bank::A ? kLeftPriorityCh : kRightPriorityCh;
    }
};

// A string of DTMF digit codes ("0"-"9" 0-9, "A"-"D" 10-13, "*" 14, "#" 15) in a field of n
// bytes: it ends at the first code of 16 or more, and 0xFF fills the bytes after it.
inline std::string GetDtmfDigits(const std::uint8_t* p, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n && p[i] < 16; ++i) s.push_back(DtmfDigitChar(p[i]));
    return s;
}
// Fills the field with 0xFF, then writes the codes of the text's first n characters; a
// character that is no DTMF digit ends the string.
inline void PutDtmfDigits(std::uint8_t* p, std::size_t n, std::string_view text) {
    std::fill(p, p + n, std::uint8_t{0xFF});
    for (std::size_t i = 0; i < n && i < text.size(); ++i) {
        const std::uint8_t code = DtmfDigitValue(text[i]);
        if (code >= 16) break;
        p[i] = code;
    }
}

// Alarm block 0xCC70-0xCC77.
struct AlarmMap {
    static constexpr std::uint32_t kAlarmType = 0xCC70;  // 0..4
    static constexpr std::uint32_t kCycle = 0xCC71;      // 1-255 cycles, 0 = continuous
    static constexpr std::uint32_t kTxTime = 0xCC72;     // seconds 1-255
    static constexpr std::uint32_t kRxTime = 0xCC73;     // seconds 1-255
    static constexpr std::uint32_t kEmiCode = 0xCC76;    // DTMF code memory 1-16, 0 = none
    static constexpr std::uint32_t kEmiFlags = 0xCC77;
    // Bit fields of kEmiFlags (hi, lo): the EMI code type and the remote alarm.
    static constexpr int kEmiTypeHi = 1, kEmiTypeLo = 0, kRemoteBit = 7;
};

// DTMF block 0xD6B0-0xD8DF: settings, self ID and stun code, the PTT ID codes and the code
// memories.
struct DtmfMap {
    static constexpr std::uint32_t kBegin = 0xD6B0, kEnd = 0xD8E0;
    static constexpr std::uint32_t kSpeed = 0xD6B0;            // milliseconds: 50, 75, 100
    static constexpr std::uint32_t kFirstDigitDelay = 0xD6B1;  // milliseconds / 50
    static constexpr std::uint32_t kFirstDigit = 0xD6B2;       // milliseconds / 50
    static constexpr std::uint32_t kHoldTime = 0xD6B3;         // seconds 0-10
    static constexpr std::uint32_t kGroupCode = 0xD6B4;        // digit code of A-D, * or #
    static constexpr std::uint32_t kDelimiter = 0xD6B5;        // digit code of A-D, * or #
    static constexpr std::uint32_t kPttIdTypes = 0xD6B6;       // two bits per PTT ID
    static constexpr std::uint32_t kTones = 0xD6B7;            // bit 0 side tone, bit 1 beep
    static constexpr int kSideToneBit = 0, kBeepBit = 1;
    static constexpr std::uint32_t kSelfId = 0xD6B8, kSelfIdLength = 8;
    static constexpr std::uint32_t kStunCode = 0xD6C8, kStunCodeLength = 15;
    static constexpr std::uint32_t kStunCodeEnd = 0xD6D7;  // always 0xFF
    static constexpr std::uint32_t kDecodeResponse = 0xD6D8;
    static constexpr std::uint32_t kStunType = 0xD6DA;
    static constexpr std::uint32_t kAutoResetTime = 0xD6DB;  // seconds, 0 = continuous
    static constexpr std::uint32_t kPttIdCodes = 0xD6E0, kPttIdSize = 32, kPttIdCodeLength = 16;
    static constexpr int kPttIdCount = 4;
    static constexpr std::uint32_t kPttIdCodesEnd = kPttIdCodes + kPttIdSize * kPttIdCount;

    // PTT ID n = 1..4: its type in bits 2n-1..2n-2 of kPttIdTypes, its "Up" and "Down" codes.
    static constexpr int PttIdTypeHi(int n) { return 2 * n - 1; }
    static constexpr int PttIdTypeLo(int n) { return 2 * n - 2; }
    static constexpr std::uint32_t PttIdUpAddr(int n) {
        return kPttIdCodes + kPttIdSize * static_cast<std::uint32_t>(n - 1);
    }
    static constexpr std::uint32_t PttIdDownAddr(int n) {
        return PttIdUpAddr(n) + kPttIdCodeLength;
    }
};

// DTMF code memories: 16 records of 24 bytes at 0xD760.
class DtmfCodeMemory {
public:
    static constexpr std::uint32_t kBase = 0xD760, kSize = 24;
    static constexpr int kCount = 16;
    static constexpr std::uint32_t kNum = 0, kNumLength = 16, kAlias = 16, kAliasLength = 6,
                                   kType = 23;
    static constexpr std::uint32_t kEnd = kBase + kSize * kCount;
    static constexpr int kTypeNone = 0, kTypeAni = 1;

    // Memory m = 1..16.
    static constexpr std::uint32_t Addr(int m) {
        return kBase + kSize * static_cast<std::uint32_t>(m - 1);
    }
    DtmfCodeMemory(const RadioImage& image, int m) : p_(image.data() + Addr(m)) {}

    int Type() const { return p_[kType]; }  // 0 "None", 1 "ANI"; other values: empty
    // In use: a valid type and a number that has at least one digit. The first digit may be
    // "0" (digit code 0); an erased memory holds 0xFF.
    bool InUse() const { return (Type() == kTypeNone || Type() == kTypeAni) && p_[kNum] < 16; }
    std::string Num() const { return GetDtmfDigits(p_ + kNum, kNumLength); }
    // The alias ends at the first byte that is not printable ASCII.
    std::string Alias() const {
        std::string s;
        for (std::uint32_t i = 0;
             i < kAliasLength && p_[kAlias + i] >= 0x20 && p_[kAlias + i] <= 0x7E; ++i)
            s.push_back(static_cast<char>(p_[kAlias + i]));
        return s;
    }

    // Rewrites memory m: all 24 bytes 0xFF, then type, number and alias.
    static void Write(RadioImage& image, int m, int type, std::string_view num,
                      std::string_view alias) {
        std::uint8_t* p = image.data() + Addr(m);
        std::fill(p, p + kSize, std::uint8_t{0xFF});
        p[kType] = static_cast<std::uint8_t>(type);
        PutDtmfDigits(p + kNum, kNumLength, num);
        for (std::size_t i = 0; i < kAliasLength && i < alias.size(); ++i)
            p[kAlias + i] = static_cast<std::uint8_t>(alias[i]);
    }

private:
    const std::uint8_t* p_;
};

// Two-tone systems: 16 records of 32 bytes at 0xCF80; tones A-D at +16 (u16, tenths of Hz).
struct TwoToneMap {
    static constexpr std::uint32_t kSystems = 0xCF80, kSystemSize = 32, kTones = 16;
    static constexpr int kSystemCount = 16, kToneCount = 4;
    static constexpr std::uint32_t ToneAddr(int system0, int tone) {
        return kSystems + kSystemSize * static_cast<std::uint32_t>(system0) + kTones +
               2u * static_cast<std::uint32_t>(tone);
    }
};

// Five-tone block 0xD280-0xD54F.
struct FiveToneMap {
    static constexpr std::uint32_t kStandard = 0xD280;    // current 40-byte standard block
    static constexpr std::uint32_t kRepeat = 0xD283;      // repeat digit code
    static constexpr std::uint32_t kDigitTones = 0xD288;  // u16 tone of digit 0..F
    static constexpr std::uint32_t kBeginId = 0xD2B0, kEndId = 0xD2B8, kSelfId = 0xD2C0;
    static constexpr std::uint32_t kContacts = 0xD2D0, kContactSize = 32;
    static constexpr std::uint32_t kFunctions = 0xD4D0, kFunctionSize = 16;
    static constexpr int kContactCount = 16, kFunctionCount = 8;
    static constexpr std::uint32_t kCodeLength = 8;

    static constexpr std::uint32_t DigitToneAddr(int digit) {
        return kDigitTones + 2u * static_cast<std::uint32_t>(digit);
    }
    // Every 8-byte digit-code field: PTTID begin and end, self ID, the contacts' codes and the
    // decode functions' IDs.
    static constexpr std::array<std::uint32_t, 3 + kContactCount + kFunctionCount> CodeFields() {
        std::array<std::uint32_t, 3 + kContactCount + kFunctionCount> a{kBeginId, kEndId, kSelfId};
        for (int j = 0; j < kContactCount; ++j)
            a[static_cast<std::size_t>(3 + j)] =
                kContacts + kContactSize * static_cast<unsigned>(j);
        for (int j = 0; j < kFunctionCount; ++j)
            a[static_cast<std::size_t>(3 + kContactCount + j)] =
                kFunctions + kFunctionSize * static_cast<unsigned>(j);
        return a;
    }
};

// Decoder coefficients sent to the radio (0x0060-0x00FF, never read back): one per five-tone
// digit at 0x0060 and one per two-tone system tone at 0x0080.
struct DecoderCoefficientMap {
    static constexpr std::uint32_t kFiveTone = 0x0060, kTwoTone = 0x0080;
    static constexpr std::uint32_t FiveToneAddr(int digit) {
        return kFiveTone + 2u * static_cast<std::uint32_t>(digit);
    }
    static constexpr std::uint32_t TwoToneAddr(int system0, int tone) {
        return kTwoTone + 8u * static_cast<std::uint32_t>(system0) +
               2u * static_cast<std::uint32_t>(tone);
    }
};

}  // namespace vm
