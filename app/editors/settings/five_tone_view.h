// The five-tone editor: a single form over the image block 0xD280-0xD54F (the current standard,
// timing, own ID and decoding, PTT ID codes, eight decode functions and sixteen contacts, the
// last two shown one at a time) and the sixteen standard records of the data file's header.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "app/editors/framework/base_form_view.h"
#include "app/image/radio_image.h"
#include "app/image/settings_regions.h"

namespace vm {

inline constexpr OptionList<4> g_FiveToneFunctionTypeList = {"Select", "Stun", "Kill", "Wake"};
inline constexpr OptionList<3> g_FiveToneCodeTypeList = {"Off", "ANI", "Message"};
inline constexpr OptionList<6> g_FiveToneLetterList = {"A", "B", "C", "D", "E", "F"};
inline constexpr OptionList<7> g_FiveToneDelimiterList = {"None", "A", "B", "C", "D", "E", "F"};

class CT5View : public CBaseFormView {
public:
    static constexpr int kTemplate = 190;
    enum : int {
        kIdSelfId = 1152,
        kIdDecodeResponse = 1129,
        kIdPreCarrier = 1250,
        kIdPreCarrierSpin = 1251,
        kIdFirstExpand = 1258,
        kIdFirstExpandSpin = 1259,
        kIdEndExitDelay = 1256,
        kIdEndExitDelaySpin = 1257,
        kIdReplyDelay = 1260,
        kIdReplyDelaySpin = 1261,
        kIdAutoReset = 1185,
        kIdAutoResetSpin = 1186,
        kIdSideTone = 1149,
        kIdBeep = 1190,
        // "Infomation": the function group, and in "Function" the entry of that group.
        kIdInfoBox = 1400,
        kIdFunctionGroup = 1044,
        kIdFunctionBox = 1401,
        kIdFunctionType = 1281,
        kIdFunctionResponse = 1128,
        kIdFunctionId = 1052,
        kIdFunctionName = 1059,
        kIdPttIdBox = 1402,
        kIdBeginId = 1252,
        kIdEndId = 1254,
        kIdContactBox = 1403,
        kIdContactGroup = 1045,
        kIdContactAlias = 1005,
        kIdCodeType = 1262,
        kIdCode = 1092,
        kIdMessage = 1011,
        kIdStandardBox = 1404,
        kIdStandard = 1366,
        kIdWidth = 1330,
        kIdWidthSpin = 1331,
        kIdGroup = 1332,
        kIdRepeat = 1333,
        kIdDelimiter = 1211,
        kIdTone0 = 1334,  // tone of digit d: edit kIdTone0 + 2d, spin kIdTone0 + 2d + 1
    };
    static constexpr int ToneEdit(int digit) { return kIdTone0 + 2 * digit; }
    static constexpr int ToneSpin(int digit) { return kIdTone0 + 2 * digit + 1; }

    static constexpr int kTimingMax = 2550, kTimingStep = 10, kTimingDefault = 100;
    static constexpr int kTimingAccelerated = 50, kAccelerateAfterMs = 5000;
    static constexpr int kAutoResetDefault = 10, kMaxByte = 255;
    static constexpr std::string_view kFirstContactCode = "12345";

    CT5View(RadioImage& image, FileHeader& header) : image_(image), header_(header) {}

    // First update: the controls are built, the lists filled, then the view loads itself.
    void OnInitialUpdate() override;
    void LoadFromImage() override;
    void StoreToImage() override;

    // The standard whose entry the standard fields show.

private:
    struct TimingField {
        int edit, spin;
        SettingField field;  // its name is the label
    };
    static const std::array<TimingField, 4> kTimingFields;

    void Build();
    std::uint8_t* Entry(int standard) { return header_.data() + FiveToneStdRecord(standard); }
    int MinWidth() const;

    // The standard fields.
    void ShowStandard(int standard);
    void StoreStandard(int standard);
    void ValidateWidth();
    void ValidateTone(int digit);
    // A list's letter (A-F; 0 for "None" or no selection).
    char Letter(int id) const;
    // The first of A-F none of the Group, Repeat and Delimiter lists holds.
    std::string FreeLetter() const;
    // `changed` took a letter another of the three holds: that one takes a free letter.
    void Separate(int changed);
    void StandardFallbacks();
    void EnableTones();

    // One function entry and one contact at a time.
    void LoadFunction(int group);
    void StoreFunction(int group);
    void LoadContact(int contact);
    void StoreContact(int contact);
    void ApplyAliasRule();
    void EnableMessage();

    void ValidateTiming(const TimingField& f);
    // The digits the function ID and the contact Code may hold: hexadecimal, except the Repeat
    // letter and digits that have no tone.
    bool IsCodeChar(char c) const;

    RadioImage& image_;
    FileHeader& header_;
    bool initialised_ = false;
    int shown_std_ = 0;
    int shown_function_ = 1;
    int shown_contact_ = 1;
    std::string remembered_alias_;
    std::string remembered_code_;
};

}  // namespace vm
