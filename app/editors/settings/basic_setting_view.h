// The basic settings editor: three pages over the basic settings block of the image.
#pragma once

#include <array>
#include <string_view>

#include "app/editors/framework/tabbed_view.h"
#include "app/image/radio_image.h"
#include "app/image/settings_regions.h"

namespace vm {

inline constexpr OptionList<5> g_SqlLevelList = {"Off", "2", "5", "9", "Full"};
inline constexpr OptionList<2> g_OffAutoList = {"Off", "Auto"};
inline constexpr OptionList<2> g_ManualAutoList = {"Manual", "Auto"};
inline constexpr OptionList<2> g_RightKeyList = {"Key1", "Key2"};
inline constexpr OptionList<2> g_AutoContactList = {"Connect remind", "Always remind"};
inline constexpr OptionList<4> g_TbstList = {"1000", "1450", "1750", "2100"};
inline constexpr OptionList<4> g_SteList = {"Frequency", "120", "180", "240"};
inline constexpr OptionList<4> g_SelentModeList = {"Off", "TX", "RX", "TX/RX"};
inline constexpr OptionList<5> g_AutoPowerOffList = {"Off", "0.5", "1.0", "1.5", "2.0"};
inline constexpr OptionList<4> g_PttLockList = {"Off", "Right", "Left", "Both"};
inline constexpr OptionList<5> g_BrightnessList = {"Off", "1", "2", "3", "4"};
inline constexpr OptionList<4> g_BacklightColorList = {"Off", "Blue", "Purple", "Red"};
inline constexpr OptionList<2> g_ScanModeList = {"MEM", "MSM"};
inline constexpr OptionList<2> g_ScanResumeList = {"TO", "CO"};

class COptionPage : public CFormPage {
public:
    enum : int {
        kIdSqlLeft = 1052,
        kIdSqlRight = 1077,
        kIdAutoAm = 1059,
        kIdAniDisplay = 1054,
        kIdHyperChannel = 1056,
        kIdSpanExitDelay = 1076,
        kIdRightKey = 1058,
        kIdAutoContact = 1060,
        kIdTbst = 1061,
        kIdScrambler = 1062,
        kIdSpanTransit = 1057,
        kIdAmFunction = 1053,
        kIdSte = 1080,
        kIdBeep = 1026,
        kIdVolume = 1064,
        kIdVolumeSpin = 1065,
        kIdSelentMode = 1066,
        kIdAutoPowerOff = 1067,
        kIdKeyLock = 1068,
        kIdPttLock = 1069,
        kIdBrightness = 1070,
        kIdAutoTransfer = 1078,
        kIdScanMode = 1037,
        kIdScanResume = 1073,
        kIdLeftPriority = 1074,
        kIdRightPriority = 1075,
        kIdBacklightColor = 1071
    };

    explicit COptionPage(RadioImage& image) : CFormPage("Option", 151, 151), image_(image) {}
    void LoadFromImage() override;
    void StoreToImage() override;

protected:
    void Build() override;

private:
    void FillPriorityLists();
    void Validate();
    RadioImage& image_;
};

class CTotPage : public CFormPage {
public:
    enum : int {
        kIdTot = 1254,
        kIdTotSpin = 1255,
        kIdPreAlert = 1248,
        kIdPreAlertSpin = 1249,
        kIdRekey = 1250,
        kIdRekeySpin = 1251,
        kIdReset = 1252,
        kIdResetSpin = 1253
    };
    explicit CTotPage(RadioImage& image) : CFormPage("TOT", 147, 146), image_(image) {}
    void LoadFromImage() override;
    void StoreToImage() override;

protected:
    void Build() override;

private:
    // An edit with its spin over a field of the block (its name the label, its range the
    // spin's).
    struct Field {
        int edit, spin;
        SettingField field;
    };
    static const std::array<Field, 4> kFields;
    void Validate(const Field& f);
    RadioImage& image_;
};

class CKeyPage : public CFormPage {
public:
    static constexpr std::array<int, 4> kIds = {1036, 1038, 1037, 1039};  // P1..P4
    explicit CKeyPage(RadioImage& image) : CFormPage("Key", 146, 175), image_(image) {}
    void LoadFromImage() override;
    void StoreToImage() override;

protected:
    void Build() override;

private:
    RadioImage& image_;
};

class CBasicSettingView : public CTabbedView {
public:
    static constexpr int kTemplate = 201, kIdTab = 1301;
    explicit CBasicSettingView(RadioImage& image);
};

}  // namespace vm
