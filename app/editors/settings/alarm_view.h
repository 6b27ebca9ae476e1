// The alarm editor: a single form over the alarm block (alarm type, the EMI code sent with the
// alarm, transmit and receive periods, cycles, remote alarm).
#pragma once

#include <array>
#include <string_view>

#include "app/editors/framework/base_form_view.h"
#include "app/image/radio_image.h"
#include "app/image/settings_regions.h"

namespace vm {

inline constexpr OptionList<5> g_AlarmTypeList = {"Alarm", "Transpond+Background",
                                                  "Transpond+Alarm", "Secret", "Both"};
inline constexpr OptionList<2> g_EmiCodeTypeList = {"None", "DTMF"};

class CAlarmView : public CBaseFormView {
public:
    static constexpr int kTemplate = 208;
    static constexpr std::string_view kTitle = "Alarm";
    enum : int {
        kIdAlarmType = 1306,
        kIdEmiCodeType = 1075,
        kIdEmiCode = 1076,
        kIdTxTime = 1245,
        kIdTxTimeSpin = 1246,
        kIdRxTime = 1247,
        kIdRxTimeSpin = 1248,
        kIdCycle = 1249,
        kIdCycleSpin = 1250,
        kIdRemoteAlarm = 1080
    };
    static constexpr std::string_view kContinuousText = "Continuous";
    static constexpr std::string_view kNoneText = "None";

    explicit CAlarmView(RadioImage& image) : image_(image) {}

    // First update: the lists are filled, then the view loads itself.
    void OnInitialUpdate() override;

    void LoadFromImage() override;
    void StoreToImage() override;

private:
    // A number edit with its spin over a field (its name the label, its range the spin's),
    // the value that replaces an invalid text, and the text shown for 0 (empty: the number).
    struct TimeField {
        int edit, spin;
        SettingField field;
        int def;
        std::string_view zero_text;
    };
    static const std::array<TimeField, 3> kTimeFields;

    void FillEmiCodes();
    void Validate(const TimeField& f);
    RadioImage& image_;
    bool initialised_ = false;
};

}  // namespace vm
