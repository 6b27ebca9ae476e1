// The DTMF editor: own ID, decoding and timing, stun code and the 16 code memories on the "Code"
// page, the four PTT ID code pairs on the "PTTID" page; all over the image block 0xD6B0-0xD8DF.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "app/editors/framework/tabbed_view.h"
#include "app/image/radio_image.h"
#include "app/image/settings_regions.h"
#include "app/widgets/grid.h"

namespace vm {

inline constexpr OptionList<4> g_DecodeResponseList = {"Off", "Remind", "Reply", "Remind+Reply"};
inline constexpr OptionList<3> g_StunTypeList = {"Tx Inhibit", "Rx/Tx Inhibit", "Kill"};
inline constexpr OptionList<6> g_DtmfCodeCharList = {"A", "B", "C", "D", "*", "#"};
inline constexpr OptionList<3> g_DtmfSpeedList = {"50", "75", "100"};
inline constexpr OptionList<4> g_FirstDigitList = {"0", "100", "500", "1000"};
inline constexpr OptionList<5> g_FirstDigitDelayList = {"50", "250", "450", "750", "1000"};
inline constexpr OptionList<11> g_HoldTimeList = {"0", "1", "2", "3", "4", "5",
                                                  "6", "7", "8", "9", "10"};
inline constexpr OptionList<3> g_PttIdTypeList = {"Up", "Down", "Both"};

class CDtmfCodePage : public CFormPage {
public:
    enum : int {
        kIdSelfId = 1152,
        kIdDecodeResponse = 1175,
        kIdDelimiter = 1211,
        kIdGroupCode = 1151,
        kIdSpeed = 1145,
        kIdFirstDigit = 1147,
        kIdFirstDigitDelay = 1146,
        kIdAutoReset = 1185,
        kIdAutoResetSpin = 1186,
        kIdHoldTime = 1150,
        kIdSideTone = 1149,
        kIdBeep = 1190,
        kIdStunCode = 1094,
        kIdStunType = 1093,
        kIdGrid = 1022,
        kIdTypeList = 1010,  // the grid's cell editors, hidden until a cell opens
        kIdNumEdit = 1161,
        kIdAliasEdit = 1005
    };
    enum Column : int { kColNo, kColType, kColNum, kColAlias, kColumnCount };
    static constexpr int kRows = 1 + DtmfCodeMemory::kCount;
    static constexpr std::array<std::string_view, kColumnCount> kHeaders = {"No.", "Type", "Num",
                                                                            "Alias"};
    static constexpr std::array<int, kColumnCount> kWidths = {500, 800, 2400, 1500};
    static constexpr int kRowHeight = 300;
    static constexpr int kAutoResetDefault = 10;
    static constexpr std::string_view kContinuousText = "Continuous";

    explicit CDtmfCodePage(RadioImage& image) : CFormPage("Code", 205, 205), image_(image) {}
    void LoadFromImage() override;
    void StoreToImage() override;

    Grid& grid() { return *grid_; }
    // The cell editor shown at the moment, 0 when none.
    int OpenEditor() const;

protected:
    void Build() override;

private:
    void BuildGrid();
    void OnMouseDown(const Event& e);
    void OpenCellEditor(int row, int col);
    void CommitAll();
    void CommitType();
    void CommitNum();
    void CommitAlias();
    bool Close(int id);
    void ClearRow(int row);
    void DefaultAlias(int row);
    void ValidateAutoReset();
    void Fallbacks();
    // The Group code and Delimiter characters, as the store would write them.
    char GroupChar() const;
    char DelimiterChar() const;
    // The Group code and Delimiter differ: `moved` (one of the two lists) gives way.
    bool Separate(int moved);
    void OnCodeListChanged(int id);
    void StripCodeChars();
    bool IsAniRow(int row) const;

    RadioImage& image_;
    Grid* grid_ = nullptr;
    int edit_row_ = 1;  // the row the open cell editor belongs to
};

class CDtmfPttIdPage : public CFormPage {
public:
    struct Group {
        int box, type, up, down;
    };
    // PTT ID 1..4: a group box "PTT ID n" holding the "Type" list and the "Up" and "Down" edits.
    static constexpr std::array<Group, image_map::kDtmfPttIdCodes.count> kGroups = {{
        {1125, 1130, 1131, 1132},
        {1126, 1133, 1134, 1135},
        {1127, 1041, 1138, 1139},
        {1128, 1140, 1141, 1142},
    }};

    explicit CDtmfPttIdPage(RadioImage& image) : CFormPage("PTTID", 215, 215), image_(image) {}
    void LoadFromImage() override;
    void StoreToImage() override;

protected:
    void Build() override;

private:
    RadioImage& image_;
};

class CDtmfView : public CTabbedView {
public:
    static constexpr int kTemplate = 149, kIdTab = 1224;
    explicit CDtmfView(RadioImage& image);
};

}  // namespace vm
