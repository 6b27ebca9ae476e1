// Views of the settings regions of the radio image: named offsets and typed fields over the
// addresses of the image map. Editors, the factory image and the consistency pass read and
// write settings through these views only.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/image/channel_record.h"
#include "app/image/codecs.h"
#include "app/image/image_fields.h"
#include "app/image/image_map.h"
#include "app/image/radio_image.h"

namespace vm {

// A 16-bit little-endian word of the image.
inline std::uint16_t ImageWord(const RadioImage& image, std::uint32_t addr) {
    return GetLe16(image.data() + addr);
}
inline void SetImageWord(RadioImage& image, std::uint32_t addr, std::uint16_t v) {
    PutLe16(image.data() + addr, v);
}

// The working-state record kept at the head of the basic settings block and at the head of
// each band side record: the two sides' channel references, bands, modes and band-memory
// index.
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

// Basic settings block (64 bytes; its head is a side record). Addresses are image addresses;
// the bit fields are described over the whole image (record = image.data()).
struct BasicSettingsMap {
    static constexpr std::uint32_t kBase = image_map::kBasicSettings.base;
    static constexpr std::uint32_t kSize = image_map::kBasicSettings.size;
    static constexpr std::uint32_t kSideRecord = kBase;
    static constexpr std::uint32_t kLeftPriorityCh = kBase + 0x18;   // u16, bank A channel, 0 = off
    static constexpr std::uint32_t kRightPriorityCh = kBase + 0x1A;  // u16, bank B channel, 0 = off
    static constexpr std::uint32_t kScrambler = kBase + 0x28;        // u16, Hz 2600-4000
    static constexpr std::uint32_t kScramblerCoefficient = kBase + 0x2A;  // u16, derived
    static constexpr int kScramblerMin = 2600, kScramblerMax = 4000, kScramblerDefault = 3300;
    // Bytes of the basic-settings editor; kKeys, kSignal, kFunctions and kScan hold bit fields.
    static constexpr std::uint32_t kSqlLeft = kBase + 0x20, kAutoPowerOff = kBase + 0x21,
                                   kBacklightBrightness = kBase + 0x22,
                                   kBacklightColor = kBase + 0x23, kKeys = kBase + 0x24,
                                   kSignal = kCommitByte, kFunctions = kBase + 0x26,
                                   kScan = kBase + 0x27, kSpanExitDelay = kBase + 0x2C,
                                   kSqlRight = kBase + 0x2E, kVolume = kBase + 0x2F,
                                   kTot = kBase + 0x30, kTotPreAlert = kBase + 0x31,
                                   kTotRekey = kBase + 0x32, kTotReset = kBase + 0x33,
                                   kKeyP1 = kBase + 0x38;
    static constexpr int kKeyCount = 4;
    static constexpr int kVolumeMin = 1, kVolumeMax = 15, kVolumeDefault = 15;

    // The list fields: a position stored in a whole byte or in bits of one.
    static constexpr BitField kSqlLeftBits{kSqlLeft, 7, 0};
    static constexpr BitField kSqlRightBits{kSqlRight, 7, 0};
    static constexpr BitField kBacklightColorBits{kBacklightColor, 7, 0};
    static constexpr BitField kSpanExitDelayBits{kSpanExitDelay, 7, 0};
    static constexpr BitField kBeep{kKeys, 7, 7}, kKeyLock{kKeys, 6, 6}, kPttLock{kKeys, 5, 4},
        kHyperChannel{kKeys, 1, 1}, kRightKey{kKeys, 0, 0};
    static constexpr BitField kTbst{kSignal, 7, 6}, kAniDisplay{kSignal, 5, 5},
        kSelentMode{kSignal, 3, 2}, kSte{kSignal, 1, 0};
    static constexpr BitField kAutoTransfer{kFunctions, 7, 7}, kAutoContact{kFunctions, 6, 6},
        kAutoAm{kFunctions, 3, 3}, kAmFunction{kFunctions, 2, 2}, kSpanTransit{kFunctions, 1, 1};
    static constexpr BitField kScanMode{kScan, 2, 2}, kScanResume{kScan, 1, 0};

    static std::uint32_t PriorityChannelAddr(Bank bank) {
        return bank == Bank::A ? kLeftPriorityCh : kRightPriorityCh;
    }
    static constexpr std::uint32_t KeyAddr(std::size_t k) {
        return kKeyP1 + static_cast<std::uint32_t>(k);
    }
};

// Alarm block (8 bytes).
struct AlarmMap {
    static constexpr std::uint32_t kBase = image_map::kAlarm.base;
    static constexpr std::uint32_t kType = kBase + 0, kCycle = kBase + 1, kTxTime = kBase + 2,
                                   kRxTime = kBase + 3;
    static constexpr std::uint32_t kEmiCode = kBase + 6;  // DTMF code memory 1-16, 0 = none
    static constexpr BitField kEmiCodeType{kBase + 7, 1, 0}, kRemoteEmi{kBase + 7, 7, 7};
};

// DTMF settings block and its PTT ID code records (the code memories follow).
struct DtmfMap {
    static constexpr std::uint32_t kBase = image_map::kDtmf.base;
    static constexpr std::uint32_t kSpeed = kBase + 0x00, kFirstDigitDelay = kBase + 0x01,
                                   kFirstDigit = kBase + 0x02, kHoldTime = kBase + 0x03,
                                   kGroupCode = kBase + 0x04, kDelimiter = kBase + 0x05,
                                   kPttIdTypes = kBase + 0x06, kFlags = kBase + 0x07,
                                   kDecodeResponse = kBase + 0x28, kStunType = kBase + 0x2A,
                                   kAutoResetTime = kBase + 0x2B;
    static constexpr DigitStringField kSelfId{kBase + 0x08, 8};
    static constexpr DigitStringField kStunCode{kBase + 0x18, 15};
    static constexpr std::uint32_t kStunCodeEnd = kBase + 0x27;  // always 0xFF
    static constexpr BitField kSideTone{kFlags, 0, 0}, kBeep{kFlags, 1, 1};
    // PTT ID n (1-4): its type in bits 2n-1..2n-2 of kPttIdTypes; "Up" then "Down" code.
    static constexpr BitField PttIdType(int n) { return {kPttIdTypes, 2 * n - 1, 2 * n - 2}; }
    static constexpr std::uint32_t PttIdCodes(int n) {
        return image_map::kDtmfPttIdCodes.Record(n - 1);
    }
    static constexpr std::uint32_t kPttIdCodeLength = 16;
    static constexpr DigitStringField PttIdUp(int n) { return {PttIdCodes(n), kPttIdCodeLength}; }
    static constexpr DigitStringField PttIdDown(int n) {
        return {PttIdCodes(n) + kPttIdCodeLength, kPttIdCodeLength};
    }
};

// DTMF code memories: 16 records of 24 bytes.
class DtmfCodeMemory {
public:
    static constexpr std::uint32_t kBase = image_map::kDtmfCodeMemories.base;
    static constexpr std::uint32_t kSize = image_map::kDtmfCodeMemories.stride;
    static constexpr int kCount = static_cast<int>(image_map::kDtmfCodeMemories.count);
    static constexpr std::uint32_t kNumLength = 16, kAlias = 16, kAliasLength = 6, kType = 23;
    static constexpr DigitStringField kNum{0, kNumLength};
    static constexpr int kTypeNone = 0, kTypeAni = 1;

    // Memory m = 1..16.
    DtmfCodeMemory(const RadioImage& image, int m)
        : p_(image.data() + image_map::kDtmfCodeMemories.Record(m - 1)) {}

    int Type() const { return p_[kType]; }  // 0 "None", 1 "ANI"; other values: empty
    // In use: a valid type and a number that has at least one digit. The first digit may be
    // "0" (digit code 0); an erased memory holds 0xFF.
    bool InUse() const { return (Type() == kTypeNone || Type() == kTypeAni) && p_[kNum.at] < 16; }
    std::string Num() const { return kNum.Get(p_, DtmfDigitChar); }
    // The alias ends at the first byte that is not printable ASCII.
    std::string Alias() const {
        std::string s;
        for (std::uint32_t i = kAlias; i < kAlias + kAliasLength && p_[i] >= 0x20 && p_[i] <= 0x7E;
             ++i)
            s.push_back(static_cast<char>(p_[i]));
        return s;
    }

    // Rewrites memory m: all its bytes 0xFF, then type, number and alias.
    static void Write(RadioImage& image, int m, int type, std::string_view num,
                      std::string_view alias) {
        std::uint8_t* p = image.data() + image_map::kDtmfCodeMemories.Record(m - 1);
        std::fill(p, p + kSize, std::uint8_t{0xFF});
        p[kType] = static_cast<std::uint8_t>(type);
        kNum.Set(p, num, DtmfDigitValue);
        for (std::size_t i = 0; i < kAliasLength && i < alias.size(); ++i)
            p[kAlias + i] = static_cast<std::uint8_t>(alias[i]);
    }

private:
    const std::uint8_t* p_;
};

// Two-tone systems (16 records of 32 bytes; tones A-D at +16, u16 tenths of Hz), then the 16
// contacts of 16 bytes.
struct TwoToneMap {
    static constexpr std::uint32_t kSystems = image_map::kTwoToneSystems.base;
    static constexpr std::uint32_t kSystemSize = image_map::kTwoToneSystems.stride, kTones = 16;
    static constexpr int kSystemCount = static_cast<int>(image_map::kTwoToneSystems.count);
    static constexpr int kToneCount = 4;
    static constexpr std::uint32_t kContacts = image_map::kTwoToneContacts.base;
    static constexpr std::uint32_t kContactSize = image_map::kTwoToneContacts.stride;
    static constexpr int kContactCount = static_cast<int>(image_map::kTwoToneContacts.count);
    static constexpr std::uint32_t SystemAddr(int system0) {
        return image_map::kTwoToneSystems.Record(system0);
    }
    static constexpr std::uint32_t ToneAddr(int system0, int tone) {
        return SystemAddr(system0) + kTones + 2u * static_cast<std::uint32_t>(tone);
    }
    static constexpr std::uint32_t ContactAddr(int contact0) {
        return image_map::kTwoToneContacts.Record(contact0);
    }

    // Offsets in a system record: times in tenths of a second (Auto reset time in seconds),
    // the four decode formats, their responses two bits each (Decode n in bits 2n-1..2n-2).
    static constexpr std::uint32_t kAliasLength = 6;
    static constexpr CharField kAlias{0, kAliasLength};
    static constexpr std::uint32_t kPreCarrier = 8, kFirstDuration = 9, kSecondDuration = 10,
                                   kLongDuration = 11, kInterval = 12, kFlags = 13, kFormats = 24,
                                   kResponses = 28, kReplyWait = 30, kAutoReset = 31;
    static constexpr BitField kSideTone{kFlags, 0, 0}, kBeep{kFlags, 1, 1},
        kIdleReply{kFlags, 7, 7};
    static constexpr BitField Response(int decode) {
        return {kResponses, 2 * decode - 1, 2 * decode - 2};
    }
    // Offsets in a contact record: tones (0xFFFF when absent), "Two"/"Single", system 1-16.
    static constexpr CharField kContactAlias{0, kAliasLength};
    static constexpr WordField kFirst{8}, kSecond{10};
    static constexpr std::uint32_t kContactFormat = 12, kContactSystem = 13;
};

// The 40-byte five-tone standard block: the current one in the image, and one per standard in
// the data file's header.
struct FiveToneStandardBlock {
    static constexpr std::uint32_t kSize = image_map::kFiveToneStandards.stride;
    static constexpr std::uint32_t kStandard = 0, kWidth = 1, kGroup = 2, kRepeat = 3,
                                   kDelimiter = 4, kTones = 8;
    static constexpr int kToneCount = 16;
};

// Five-tone block: the current standard block, timing, flags and IDs, contacts and decode
// functions.
struct FiveToneMap {
    static constexpr std::uint32_t kStandard = image_map::kFiveTone.base;  // current standard
    static constexpr std::uint32_t kRepeat = kStandard + FiveToneStandardBlock::kRepeat;
    static constexpr std::uint32_t kDigitTones = kStandard + FiveToneStandardBlock::kTones;
    static constexpr std::uint32_t kPreCarrier = kStandard + 0x28, kFirstExpand = kStandard + 0x29,
                                   kEndExitDelay = kStandard + 0x2A, kReplyDelay = kStandard + 0x2B,
                                   kFlags = kStandard + 0x2F;
    static constexpr std::uint32_t kBeginId = kStandard + 0x30, kEndId = kStandard + 0x38,
                                   kSelfId = kStandard + 0x40;
    static constexpr std::uint32_t kDecodeResponse = kStandard + 0x48,
                                   kAutoResetTime = kStandard + 0x49;
    static constexpr std::uint32_t kContacts = image_map::kFiveToneContacts.base;
    static constexpr std::uint32_t kContactSize = image_map::kFiveToneContacts.stride;
    static constexpr std::uint32_t kFunctions = image_map::kFiveToneFunctions.base;
    static constexpr std::uint32_t kFunctionSize = image_map::kFiveToneFunctions.stride;
    static constexpr int kContactCount = static_cast<int>(image_map::kFiveToneContacts.count);
    static constexpr int kFunctionCount = static_cast<int>(image_map::kFiveToneFunctions.count);
    static constexpr std::uint32_t kCodeLength = 8;
    static constexpr BitField kSideTone{kFlags, 0, 0}, kBeep{kFlags, 1, 1};

    static constexpr DigitStringField kBeginIdField{kBeginId, kCodeLength},
        kEndIdField{kEndId, kCodeLength}, kSelfIdField{kSelfId, kCodeLength};
    // A contact record: code, alias, code type, message.
    static constexpr DigitStringField kContactCode{0, kCodeLength};
    static constexpr CharField kContactAlias{8, 6}, kContactMessage{16, 16};
    static constexpr std::uint32_t kContactCodeType = 15;
    // A decode function record: ID, name, response, type.
    static constexpr DigitStringField kFunctionId{0, kCodeLength};
    static constexpr CharField kFunctionName{8, 6};
    static constexpr std::uint32_t kFunctionResponse = 14, kFunctionType = 15;
    static constexpr std::uint32_t ContactAddr(int contact0) {
        return image_map::kFiveToneContacts.Record(contact0);
    }
    static constexpr std::uint32_t FunctionAddr(int group0) {
        return image_map::kFiveToneFunctions.Record(group0);
    }

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

// Decoder coefficients sent to the radio (never read back): one per five-tone digit and one
// per two-tone system tone.
struct DecoderCoefficientMap {
    static constexpr std::uint32_t kFiveTone = image_map::kFiveToneCoefficients.base;
    static constexpr std::uint32_t kTwoTone = image_map::kTwoToneCoefficients.base;
    static constexpr std::uint32_t FiveToneAddr(int digit) {
        return image_map::kFiveToneCoefficients.Record(digit);
    }
    static constexpr std::uint32_t TwoToneAddr(int system0, int tone) {
        return image_map::kTwoToneCoefficients.Record(system0) +
               2u * static_cast<std::uint32_t>(tone);
    }
};

}  // namespace vm
