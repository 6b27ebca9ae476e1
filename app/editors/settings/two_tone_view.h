// The two-tone editor: the 16 decoding systems on the "System" page (one at a time, chosen by an
// inner tab strip) and the grid of 16 two-tone contacts on the "Contact" page; all over the image
// block 0xCF80-0xD27F.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "app/editors/framework/tabbed_view.h"
#include "app/image/radio_image.h"
#include "app/image/settings_regions.h"
#include "app/widgets/form_layout.h"
#include "app/widgets/grid.h"

namespace vm {

// The stored code of each entry of g_TwoToneDecodeList: the first tone (A=1 .. D=4) in the high
// nibble, the second in the low one, 0 for a single long tone.
inline constexpr std::array<std::uint8_t, 16> kTwoToneDecodeCodes = {
    0x00, 0x12, 0x13, 0x14, 0x21, 0x23, 0x24, 0x31, 0x32, 0x34, 0x41, 0x42, 0x43, 0x10, 0x20, 0x30};
// The entry of a stored code; 0 ("Off") for a code not in the list.
int TwoToneDecodeOfCode(std::uint8_t code);

// A signalling tone word holds a tone: erased memory (0xFFFF) and zero mark an absent one. A tone
// whose low byte is 0x00 (307.2 Hz is 00 0C) is a tone.
constexpr bool IsPresentTone(std::uint16_t word) {
    return word != 0xFFFF && word != 0x0000;
}

class CT2SystemPage : public CFormPage {
public:
    static constexpr int kTemplate = 141;
    enum : int {
        kIdSystemTab = 1162,
        kIdAlias = 1005,
        kIdAutoReset = 1185,
        kIdAutoResetSpin = 1186,
        kIdSideTone = 1149,
        kIdIdleReply = 1428,
        kIdBeep = 1190,
    };
    // Decode n (1-4): a group box "Decode n" holding its "Format" and "Response" lists.
    struct Decode {
        int box, format, response;
    };
    static constexpr std::array<Decode, 4> kDecodes = {{
        {1290, 1300, 1301},
        {1291, 1302, 1303},
        {1292, 1304, 1305},
        {1293, 1306, 1307},
    }};
    // The tenths fields: edit, spin, the system record's field (its name the label, its range
    // the edit's), the value that replaces an invalid text; whether 0 shows "Off".
    struct TenthsField {
        int edit, spin;
        SettingField field;
        int def;
        bool off_at_zero;
    };
    static const std::array<TenthsField, 10> kTenthsFields;
    static constexpr int kAutoResetDefault = 10;

    explicit CT2SystemPage(RadioImage& image)
        : CFormPage("System", kTemplate, kTemplate), image_(image) {}
    void LoadFromImage() override;
    void StoreToImage() override;

    // The system shown (1-16).
    int System() const;

protected:
    void Build() override;

private:
    std::uint32_t Record() const;
    void Validate(const TenthsField& f);
    void Fallbacks();
    // Every Format list holds the formats no other decode has chosen ("Off" for all but
    // Decode 1), its own choice selected.
    void RebuildFormatLists();
    void OnFormatChosen(int decode);

    RadioImage& image_;
    std::array<int, 4> formats_{1, 0, 0, 0};
    std::string remembered_alias_;
};

class CT2ContactPage : public CFormPage {
public:
    static constexpr int kTemplate = 142;
    enum : int {
        kIdToneRange = 1227,
        kIdGrid = 1022,
        kIdToneEdit = 1023,  // the grid's cell editors, hidden until a cell opens
        kIdAliasEdit = 1005,
        kIdFormatList = 1165,
        kIdSystemList = 1166,
    };
    enum Column : int {
        kColNo,
        kColFirst,
        kColSecond,
        kColFormat,
        kColSystem,
        kColAlias,
        kColumnCount
    };
    static constexpr int kRows = 1 + TwoToneMap::kContactCount;
    static constexpr std::array<std::string_view, kColumnCount> kHeaders = {
        "No.", "First", "Second", "Format", "System", "Alias"};
    static constexpr std::array<int, kColumnCount> kWidths = {500, 1000, 1000, 1000, 1000, 1000};
    static constexpr int kRowHeight = 300;
    static constexpr unsigned kSingleShade = 14412268;
    static constexpr std::string_view kToneRangeText = "Tone range: 288 - 3116Hz";
    static constexpr unsigned kToneRangeColour = 0x0000FF;  // red (0x00BBGGRR)

    explicit CT2ContactPage(RadioImage& image)
        : CFormPage("Contact", kTemplate, kTemplate), image_(image) {}
    void LoadFromImage() override;
    void StoreToImage() override;

    Grid& grid() { return *grid_; }
    // The cell editor shown at the moment, 0 when none.
    int OpenEditor() const;

protected:
    void Build() override;

private:
    void OnMouseDown(const Event& e);
    void OpenCellEditor(int row, int col);
    void CommitAll();
    void CommitTone();
    void CommitList(int id, int col);
    void CommitAlias();
    bool IsSingle(int row) const;
    void Shade(int row);

    RadioImage& image_;
    Grid* grid_ = nullptr;
    int edit_row_ = 1;  // the cell the open editor belongs to
    int edit_col_ = kColFirst;
};

class CT2View : public CTabbedView {
public:
    static constexpr int kTemplate = 157, kIdTab = 1014;
    explicit CT2View(RadioImage& image);
};

// The window's layout: the default one, with the tone range note above the contact grid.
FormLayout TwoToneLayout(const Form& form);

}  // namespace vm
