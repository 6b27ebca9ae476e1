// Views of the settings regions of the radio image. Each region is described relative to its
// record, like the channel record: every field is one SettingField (offset, kind, range and
// factory value), and each region exports its field list. Editors, the factory image and the
// consistency pass read and write settings through these views only.
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

// Fields that come in numbered sets (a class's own functions cannot build its constant lists).
namespace field_sets {
// DTMF PTT ID n (1-4): its type in bits 2n-1..2n-2 of byte 6.
constexpr SettingField DtmfPttIdType(int n) {
    return SettingField::Bits("PTT ID type", 0x06, 2 * n - 1, 2 * n - 2, 2);
}
// Two-tone decode n (1-4): its format, a code of kTwoToneDecodeCodes, and its response in bits
// 2n-1..2n-2 of byte 28.
constexpr SettingField TwoToneFormat(int decode) {
    return SettingField::Byte("Format", 23 + static_cast<std::uint32_t>(decode), 0, 255);
}
constexpr SettingField TwoToneResponse(int decode) {
    return SettingField::Bits("Response", 28, 2 * decode - 1, 2 * decode - 2, 3);
}
}  // namespace field_sets

// The working-state record kept at the head of the basic settings block and at the head of
// each band side record: the two sides' channel references, bands, modes and band-memory
// index.
class SideRecord {
public:
    static constexpr WordField kReferenceA{0}, kReferenceB{4};
    static constexpr std::uint32_t kBandA = 2, kBandB = 6, kModes = 9, kBandMemory = 11;
    // The byte the radio reports as its protection flag when the link probes the basic
    // settings block; the consistency pass erases it in every side record.
    static constexpr std::uint32_t kProtectionFlag = 8;
    // Small settings that hold 0..15.
    static constexpr std::array<std::uint32_t, 6> kNibbleFields = {16, 17, 18, 20, 21, 22};

    SideRecord(RadioImage& image, std::uint32_t base) : rec_(image.data() + base) {}

    std::uint16_t Reference(int side) const { return RefAt(side).Get(rec_); }
    void SetReference(int side, std::uint16_t v) { RefAt(side).Set(rec_, v); }
    std::uint8_t& Band(int side) { return rec_[side == 0 ? kBandA : kBandB]; }
    std::uint8_t& Byte(std::uint32_t offset) { return rec_[offset]; }

private:
    static constexpr WordField RefAt(int side) { return side == 0 ? kReferenceA : kReferenceB; }
    std::uint8_t* rec_;
};

// Basic settings block (64 bytes from kBase; its head is a side record). A list field holds
// its entry's position.
struct BasicSettingsMap {
    using F = SettingField;
    static constexpr std::uint32_t kBase = image_map::kBasicSettings.base;
    static constexpr std::uint32_t kSize = image_map::kBasicSettings.size;
    static constexpr std::uint32_t kSideRecord = 0;
    // Priority channels: a channel of bank A (left) or bank B (right), numbered within its
    // bank; 0 = off.
    static constexpr F kLeftPriorityCh = F::Word("Left Priority Ch", 0x18, 0, kChannelsPerBank, 0);
    static constexpr F kRightPriorityCh =
        F::Word("Right Priority Ch", 0x1A, 0, kChannelsPerBank, 0);
    static constexpr F kSqlLeft = F::Bits("SQL(Left)", 0x20, 7, 0, 4, 2);
    // Tenths of an hour.
    static constexpr F kAutoPowerOff = F::Byte("Auto power off(h)", 0x21, 0, 20, 0);
    static constexpr F kBacklightBrightness = F::Byte("Backlight Brightness", 0x22, 0, 4, 3);
    static constexpr F kBacklightColor = F::Bits("Backlight Color", 0x23, 7, 0, 3, 1);
    // Keys.
    static constexpr F kBeep = F::Bits("Beep", 0x24, 7, 7, 1, 1),
                       kKeyLock = F::Bits("Key lock", 0x24, 6, 6, 1, 0),
                       kPttLock = F::Bits("PTT lock", 0x24, 5, 4, 3, 0),
                       kHyperChannel = F::Bits("Hyper Channel", 0x24, 1, 1, 1, 0),
                       kRightKey = F::Bits("Right Function Key", 0x24, 0, 0, 1, 0);
    // Signalling (the commit byte: STE's bits are cleared by every commit).
    static constexpr F kTbst = F::Bits("TBST Frequency(Hz)", 0x25, 7, 6, 3, 2),
                       kAniDisplay = F::Bits("ANI Display", 0x25, 5, 5, 1, 0),
                       kSelentMode = F::Bits("Selent mode", 0x25, 3, 2, 3, 0),
                       kSte = F::Bits("STE", 0x25, 1, 0, 3, 0);
    // Functions.
    static constexpr F kAutoTransfer = F::Bits("Auto transfer", 0x26, 7, 7, 1, 0),
                       kAutoContact = F::Bits("Auto contact", 0x26, 6, 6, 1, 0),
                       kAutoAm = F::Bits("Auto AM", 0x26, 3, 3, 1, 1),
                       kAmFunction = F::Bits("AM Function", 0x26, 2, 2, 1, 0),
                       kSpanTransit = F::Bits("Span Transit", 0x26, 1, 1, 1, 0);
    // Scan.
    static constexpr F kScanMode = F::Bits("Scan mode", 0x27, 2, 2, 1, 0),
                       kScanResume = F::Bits("Scan resume mode", 0x27, 1, 0, 1, 0);
    // Hz; its coefficient is derived from it by the consistency pass.
    static constexpr F kScrambler = F::Word("Scarmbler(2600 - 4000Hz)", 0x28, 2600, 4000, 3300);
    static constexpr F kScramblerCoefficient = F::Word("Scrambler coefficient", 0x2A, 0, 0xFFFF);
    // Tenths of a second.
    static constexpr F kSpanExitDelay = F::Bits("Span Transit Exit Delay", 0x2C, 7, 0, 50, 10);
    static constexpr F kSqlRight = F::Bits("SQL(Right)", 0x2E, 7, 0, 4, 2);
    static constexpr F kVolume = F::Byte("Volume", 0x2F, 1, 15, 8);
    // Time-out timer: minutes, then seconds; 0 = off.
    static constexpr F kTot = F::Byte("TOT (min)", 0x30, 0, 30, 3),
                       kTotPreAlert = F::Byte("TOT pre-alert (s)", 0x31, 0, 15, 0),
                       kTotRekey = F::Byte("TOT rekey (s)", 0x32, 0, 30, 0),
                       kTotReset = F::Byte("TOT reset (s)", 0x33, 0, 30, 0);
    // The programmable keys P1-P4: a position in g_KeyFunctionList (BAND, VFO/MR, TONE, LOW).
    static constexpr std::array<F, 4> kKeys = {
        F::Byte("P1", 0x38, 0, 12, 11),
        F::Byte("P2", 0x39, 0, 12, 12),
        F::Byte("P3", 0x3A, 0, 12, 7),
        F::Byte("P4", 0x3B, 0, 12, 6),
    };
    // What an out-of-range Volume becomes in the editor.
    static constexpr int kVolumeFallback = 15;

    static constexpr std::array kFields = {
        kLeftPriorityCh,
        kRightPriorityCh,
        kSqlLeft,
        kAutoPowerOff,
        kBacklightBrightness,
        kBacklightColor,
        kBeep,
        kKeyLock,
        kPttLock,
        kHyperChannel,
        kRightKey,
        kTbst,
        kAniDisplay,
        kSelentMode,
        kSte,
        kAutoTransfer,
        kAutoContact,
        kAutoAm,
        kAmFunction,
        kSpanTransit,
        kScanMode,
        kScanResume,
        kScrambler,
        kScramblerCoefficient,
        kSpanExitDelay,
        kSqlRight,
        kVolume,
        kTot,
        kTotPreAlert,
        kTotRekey,
        kTotReset,
        kKeys[0],
        kKeys[1],
        kKeys[2],
        kKeys[3],
    };
    static_assert(kBase + kSte.at == kCommitByte);

    static constexpr F PriorityChannel(Bank bank) {
        return bank == Bank::A ? kLeftPriorityCh : kRightPriorityCh;
    }
    static std::uint8_t* Record(RadioImage& image) { return image.data() + kBase; }
    static const std::uint8_t* Record(const RadioImage& image) { return image.data() + kBase; }
};

// DTMF code memories: 16 records of 24 bytes.
class DtmfCodeMemory {
public:
    using F = SettingField;
    static constexpr std::uint32_t kBase = image_map::kDtmfCodeMemories.base;
    static constexpr std::uint32_t kSize = image_map::kDtmfCodeMemories.stride;
    static constexpr int kCount = static_cast<int>(image_map::kDtmfCodeMemories.count);
    static constexpr std::uint32_t kNumLength = 16, kAliasLength = 6;
    static constexpr int kTypeNone = 0, kTypeAni = 1;
    static constexpr F kNum = F::Digits("Num", 0, kNumLength),
                       kAlias = F::Chars("Alias", 16, kAliasLength),
                       kType = F::Byte("Type", 23, kTypeNone, kTypeAni);
    static constexpr std::array kFields = {kNum, kAlias, kType};

    // Memory m = 1..16.
    DtmfCodeMemory(const RadioImage& image, int m)
        : p_(image.data() + image_map::kDtmfCodeMemories.Record(m - 1)) {}

    int Type() const { return kType.Get(p_); }  // 0 "None", 1 "ANI"; other values: empty
    // In use: a valid type and a number that has at least one digit. The first digit may be
    // "0" (digit code 0); an erased memory holds 0xFF.
    bool InUse() const { return (Type() == kTypeNone || Type() == kTypeAni) && p_[kNum.at] < 16; }
    std::string Num() const { return kNum.AsDigits().Get(p_, DtmfDigitChar); }
    // The alias ends at the first byte that is not printable ASCII.
    std::string Alias() const { return kAlias.AsChars().Printable(p_); }

    // Rewrites memory m: all its bytes 0xFF, then type, number and alias.
    static void Write(RadioImage& image, int m, int type, std::string_view num,
                      std::string_view alias) {
        std::uint8_t* p = image.data() + image_map::kDtmfCodeMemories.Record(m - 1);
        std::fill(p, p + kSize, std::uint8_t{0xFF});
        kType.Set(p, type);
        kNum.AsDigits().Set(p, num, DtmfDigitValue);
        for (std::size_t i = 0; i < kAliasLength && i < alias.size(); ++i)
            p[kAlias.at + i] = static_cast<std::uint8_t>(alias[i]);
    }

private:
    const std::uint8_t* p_;
};

// Alarm block (8 bytes from kBase).
struct AlarmMap {
    using F = SettingField;
    static constexpr std::uint32_t kBase = image_map::kAlarm.base;
    static constexpr F kType = F::Byte("Alarm type", 0, 0, 4),
                       kCycle = F::Byte("Cycle", 1, 0, 255),  // 0 = continuous
        kTxTime = F::Byte("Tx time (s)", 2, 1, 255), kRxTime = F::Byte("Rx time (s)", 3, 1, 255);
    // A DTMF code memory, 0 = none.
    static constexpr F kEmiCode = F::Byte("EMI code", 6, 0, DtmfCodeMemory::kCount);
    static constexpr F kEmiCodeType = F::Bits("EMI code type", 7, 1, 0, 1),
                       kRemoteEmi = F::Bits("Remote EMI alarm", 7, 7, 7, 1);
    static constexpr std::array kFields = {kType,    kCycle,       kTxTime,   kRxTime,
                                           kEmiCode, kEmiCodeType, kRemoteEmi};

    static std::uint8_t* Record(RadioImage& image) { return image.data() + kBase; }
    static const std::uint8_t* Record(const RadioImage& image) { return image.data() + kBase; }
};

// DTMF settings block (from kBase), then its PTT ID code records (the code memories follow).
// Times are in units of 50 ms; the group code and delimiter are digit codes A-D, *, #.
struct DtmfMap {
    using F = SettingField;
    static constexpr std::uint32_t kBase = image_map::kDtmf.base;
    static constexpr F kSpeed = F::Byte("DTMF speed(ms)", 0x00, 50, 100),
                       kFirstDigitDelay = F::Byte("First digit delay(ms)", 0x01, 1, 20),
                       kFirstDigit = F::Byte("First digit(ms)", 0x02, 0, 20),
                       kHoldTime = F::Byte("Hold time(s)", 0x03, 0, 10),
                       kGroupCode = F::Byte("Group code", 0x04, 10, 15),
                       kDelimiter = F::Byte("Delimiter", 0x05, 10, 15);
    static constexpr F PttIdType(int n) { return field_sets::DtmfPttIdType(n); }
    static constexpr F kSideTone = F::Bits("Side tone", 0x07, 0, 0, 1),
                       kBeep = F::Bits("Beep", 0x07, 1, 1, 1);
    static constexpr F kSelfId = F::Digits("Self ID", 0x08, 8);
    static constexpr F kStunCode = F::Digits("Stun code", 0x18, 15);
    static constexpr F kStunCodeEnd = F::Byte("Stun code end", 0x27, 0xFF, 0xFF);  // always 0xFF
    static constexpr F kDecodeResponse = F::Byte("Decode response", 0x28, 0, 3),
                       kStunType = F::Byte("Stun type", 0x2A, 0, 2),
                       kAutoResetTime = F::Byte("Auto reset time(s)", 0x2B, 0, 255);
    static constexpr std::array kFields = {
        kSpeed,
        kFirstDigitDelay,
        kFirstDigit,
        kHoldTime,
        kGroupCode,
        kDelimiter,
        field_sets::DtmfPttIdType(1),
        field_sets::DtmfPttIdType(2),
        field_sets::DtmfPttIdType(3),
        field_sets::DtmfPttIdType(4),
        kSideTone,
        kBeep,
        kSelfId,
        kStunCode,
        kStunCodeEnd,
        kDecodeResponse,
        kStunType,
        kAutoResetTime,
    };

    static std::uint8_t* Record(RadioImage& image) { return image.data() + kBase; }
    static const std::uint8_t* Record(const RadioImage& image) { return image.data() + kBase; }

    // PTT ID n's code record: the "Up" code, then the "Down" code.
    static constexpr std::uint32_t PttIdCodes(int n) {
        return image_map::kDtmfPttIdCodes.Record(n - 1);
    }
    static constexpr std::uint32_t kPttIdCodeLength = 16;
    static constexpr F kPttIdUp = F::Digits("Up", 0, kPttIdCodeLength),
                       kPttIdDown = F::Digits("Down", kPttIdCodeLength, kPttIdCodeLength);
};

// Two-tone systems (16 records of 32 bytes), then the 16 contacts of 16 bytes.
struct TwoToneMap {
    using F = SettingField;
    static constexpr std::uint32_t kSystems = image_map::kTwoToneSystems.base;
    static constexpr std::uint32_t kSystemSize = image_map::kTwoToneSystems.stride;
    static constexpr int kSystemCount = static_cast<int>(image_map::kTwoToneSystems.count);
    static constexpr int kToneCount = 4;
    static constexpr std::uint32_t kContacts = image_map::kTwoToneContacts.base;
    static constexpr std::uint32_t kContactSize = image_map::kTwoToneContacts.stride;
    static constexpr int kContactCount = static_cast<int>(image_map::kTwoToneContacts.count);
    static constexpr std::uint32_t SystemAddr(int system0) {
        return image_map::kTwoToneSystems.Record(system0);
    }
    static constexpr std::uint32_t ContactAddr(int contact0) {
        return image_map::kTwoToneContacts.Record(contact0);
    }

    // A system record: times in tenths of a second (Auto reset time in seconds), tones A-D in
    // tenths of Hz, the four decode formats, their responses two bits each (Decode n in bits
    // 2n-1..2n-2).
    static constexpr std::uint32_t kAliasLength = 6;
    static constexpr F kAlias = F::Chars("Alias", 0, kAliasLength);
    static constexpr F kPreCarrier = F::Byte("Pre-carrier time(s)", 8, 0, 50),
                       kFirstDuration = F::Byte("First toen duration (s)", 9, 0, 40),
                       kSecondDuration = F::Byte("Second tone duration(s)", 10, 0, 40),
                       kLongDuration = F::Byte("Long duration(s)", 11, 5, 100),
                       kInterval = F::Byte("Interval(s)", 12, 0, 20);
    static constexpr F kSideTone = F::Bits("Side tone", 13, 0, 0, 1),
                       kBeep = F::Bits("Beep", 13, 1, 1, 1),
                       kIdleReply = F::Bits("Idle reply", 13, 7, 7, 1);
    static constexpr int kToneMin = 2880, kToneMax = 31160;
    static constexpr std::array<F, kToneCount> kTones = {
        F::Word("A tone", 16, kToneMin, kToneMax),
        F::Word("B tone", 18, kToneMin, kToneMax),
        F::Word("C tone", 20, kToneMin, kToneMax),
        F::Word("D tone", 22, kToneMin, kToneMax),
    };
    static constexpr F Format(int decode) { return field_sets::TwoToneFormat(decode); }
    static constexpr F Response(int decode) { return field_sets::TwoToneResponse(decode); }
    static constexpr F kReplyWait = F::Byte("Reply wait (s)", 30, 0, 50),
                       kAutoReset = F::Byte("Auto reset time (s)", 31, 0, 255);
    static constexpr std::array kSystemFields = {
        kAlias,
        kPreCarrier,
        kFirstDuration,
        kSecondDuration,
        kLongDuration,
        kInterval,
        kSideTone,
        kBeep,
        kIdleReply,
        kTones[0],
        kTones[1],
        kTones[2],
        kTones[3],
        field_sets::TwoToneFormat(1),
        field_sets::TwoToneFormat(2),
        field_sets::TwoToneFormat(3),
        field_sets::TwoToneFormat(4),
        field_sets::TwoToneResponse(1),
        field_sets::TwoToneResponse(2),
        field_sets::TwoToneResponse(3),
        field_sets::TwoToneResponse(4),
        kReplyWait,
        kAutoReset,
    };

    // A contact record: tones in tenths of Hz (0xFFFF when absent), "Two"/"Single", system
    // 1-16.
    static constexpr F kContactAlias = F::Chars("Alias", 0, kAliasLength);
    static constexpr F kFirst = F::Word("First", 8, kToneMin, kToneMax),
                       kSecond = F::Word("Second", 10, kToneMin, kToneMax);
    static constexpr F kContactFormat = F::Byte("Format", 12, 0, 1),
                       kContactSystem = F::Byte("System", 13, 1, kSystemCount);
    static constexpr std::array kContactFields = {kContactAlias, kFirst, kSecond, kContactFormat,
                                                  kContactSystem};
};

// The 40-byte five-tone standard block: the current one at the head of the image's five-tone
// block, and one per standard in the data file's header.
struct FiveToneStandardBlock {
    static constexpr std::uint32_t kSize = image_map::kFiveToneStandards.stride;
    static constexpr std::uint32_t kStandard = 0, kWidth = 1, kGroup = 2, kRepeat = 3,
                                   kDelimiter = 4, kTones = 8;
    static constexpr int kToneCount = 16;
    // The tone of a digit (0-F), tenths of Hz; 0 = the digit is not used.
    static constexpr WordField Tone(int digit) {
        return {kTones + 2u * static_cast<std::uint32_t>(digit)};
    }
};

// Five-tone block (from kBase): the current standard block, timing, flags and IDs; then the
// contacts and decode functions. Timing is in units of 10 ms.
struct FiveToneMap {
    using F = SettingField;
    static constexpr std::uint32_t kBase = image_map::kFiveTone.base;  // the standard block
    static constexpr F kPreCarrier = F::Byte("Pre-carreier time(ms)", 0x28, 0, 255),
                       kFirstExpand = F::Byte("First expand(ms)", 0x29, 0, 255),
                       kEndExitDelay = F::Byte("End exit delay(ms)", 0x2A, 0, 255),
                       kReplyDelay = F::Byte("Reply delay(ms)", 0x2B, 0, 255);
    static constexpr F kSideTone = F::Bits("Side tone", 0x2F, 0, 0, 1),
                       kBeep = F::Bits("Beep", 0x2F, 1, 1, 1);
    static constexpr std::uint32_t kCodeLength = 8;
    static constexpr F kBeginId = F::Digits("Begin ID", 0x30, kCodeLength),
                       kEndId = F::Digits("End ID", 0x38, kCodeLength),
                       kSelfId = F::Digits("Self ID", 0x40, kCodeLength);
    static constexpr F kDecodeResponse = F::Byte("Decode response", 0x48, 0, 3),
                       kAutoResetTime = F::Byte("Auto reset time", 0x49, 0, 255);
    static constexpr std::array kFields = {
        kPreCarrier, kFirstExpand, kEndExitDelay, kReplyDelay,     kSideTone,      kBeep,
        kBeginId,    kEndId,       kSelfId,       kDecodeResponse, kAutoResetTime,
    };

    static std::uint8_t* Record(RadioImage& image) { return image.data() + kBase; }
    static const std::uint8_t* Record(const RadioImage& image) { return image.data() + kBase; }

    static constexpr std::uint32_t kContacts = image_map::kFiveToneContacts.base;
    static constexpr std::uint32_t kContactSize = image_map::kFiveToneContacts.stride;
    static constexpr std::uint32_t kFunctions = image_map::kFiveToneFunctions.base;
    static constexpr std::uint32_t kFunctionSize = image_map::kFiveToneFunctions.stride;
    static constexpr int kContactCount = static_cast<int>(image_map::kFiveToneContacts.count);
    static constexpr int kFunctionCount = static_cast<int>(image_map::kFiveToneFunctions.count);
    // A contact record: code, alias, code type ("Off", "ANI", "Message"), message.
    static constexpr F kContactCode = F::Digits("Code", 0, kCodeLength),
                       kContactAlias = F::Chars("Alias", 8, 6),
                       kContactCodeType = F::Byte("Code type", 15, 0, 2),
                       kContactMessage = F::Chars("Message", 16, 16);
    static constexpr std::array kContactFields = {kContactCode, kContactAlias, kContactCodeType,
                                                  kContactMessage};
    // A decode function record: ID, name, response (as the block's decode response), type
    // ("Select", "Stun", "Kill", "Wake").
    static constexpr F kFunctionId = F::Digits("ID", 0, kCodeLength),
                       kFunctionName = F::Chars("Name", 8, 6),
                       kFunctionResponse = F::Byte("Response", 14, 0, 3),
                       kFunctionType = F::Byte("Type", 15, 0, 3);
    static constexpr std::array kFunctionFields = {kFunctionId, kFunctionName, kFunctionResponse,
                                                   kFunctionType};
    static constexpr std::uint32_t ContactAddr(int contact0) {
        return image_map::kFiveToneContacts.Record(contact0);
    }
    static constexpr std::uint32_t FunctionAddr(int group0) {
        return image_map::kFiveToneFunctions.Record(group0);
    }

    // The image address of every 8-byte digit-code field: PTTID begin and end, self ID, the
    // contacts' codes and the decode functions' IDs.
    static constexpr std::array<std::uint32_t, 3 + kContactCount + kFunctionCount> CodeFields() {
        std::array<std::uint32_t, 3 + kContactCount + kFunctionCount> a{
            kBase + kBeginId.at, kBase + kEndId.at, kBase + kSelfId.at};
        for (int j = 0; j < kContactCount; ++j)
            a[static_cast<std::size_t>(3 + j)] = ContactAddr(j) + kContactCode.at;
        for (int j = 0; j < kFunctionCount; ++j)
            a[static_cast<std::size_t>(3 + kContactCount + j)] = FunctionAddr(j) + kFunctionId.at;
        return a;
    }
};

// Decoder coefficients sent to the radio (never read back): one word per five-tone digit and
// one per two-tone system tone.
struct DecoderCoefficientMap {
    static constexpr WordField kCoefficient{0};
    static constexpr std::uint32_t FiveToneAddr(int digit) {
        return image_map::kFiveToneCoefficients.Record(digit);
    }
    static constexpr std::uint32_t TwoToneAddr(int system0, int tone) {
        return image_map::kTwoToneCoefficients.Record(system0) +
               2u * static_cast<std::uint32_t>(tone);
    }
};

}  // namespace vm
