// The "VFO" dialog: one tab per enabled band, each showing that band's VFO record in the
// channel field panel. The VFO shown is stored when another tab is chosen and when the dialog
// is destroyed; there is no cancel. Enter and Esc do nothing: the close box closes it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/editors/channels/channel_panel.h"
#include "app/editors/framework/form_dialog.h"
#include "app/image/band_tables.h"
#include "app/image/radio_image.h"

namespace vm {

class CVfoDlg : public CFormDialog {
public:
    static constexpr int kIdTab = 1162;
    static constexpr int kWidthDlu = 403, kHeightDlu = 262;
    static constexpr std::string_view kCaption = "VFO";
    // Records 0..8: the bank-A bands; 9 and 10: the two bank-B bands.
    static constexpr int kBankBFirst = 9;

    struct Tab {
        std::string caption;
        int record;  // the VFO record (band) the tab shows
    };
    // The tabs the enabled bands give, in order ("108M" never has one).
    static std::vector<Tab> Tabs(const BandTables& bands);

    CVfoDlg(RadioImage& image, const BandTables& bands);

    // Opening: the tabs, the first one shown.
    void OnInitialUpdate() override;
    // The VFO of the shown tab (nothing without a tab); also the store of Destroy.
    void LoadFromImage() override;
    void StoreToImage() override;

    // The record shown, -1 when no band has a tab.
    int record() const { return record_; }
    const std::vector<Tab>& tabs() const { return tabs_; }
    ChannelPanel& panel() { return panel_; }
    void ChooseTab(int index) { form_.ChooseTab(kIdTab, index); }

private:
    void CheckFrequency(int id);
    BandLimits TabLimits() const;

    RadioImage& image_;
    const BandTables& bands_;
    ChannelPanel panel_;
    std::vector<Tab> tabs_;
    int record_ = -1;
};

}  // namespace vm
