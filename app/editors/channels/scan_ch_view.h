// The "Scan channel" view: the ten scan edges L1, U1 ... L5, U5, one tab each, shown in the
// channel field panel. The edge shown is stored when another tab is chosen and whenever the
// frame stores its views; typing a frequency into an empty edge writes its default record at
// once. The offset bytes of an edge are not the view's: it neither shows nor stores them.
#pragma once

#include <string>
#include <string_view>

#include "app/editors/channels/channel_panel.h"
#include "app/editors/framework/base_form_view.h"
#include "app/image/band_tables.h"
#include "app/image/radio_image.h"

namespace vm {

class CScanChView : public CBaseFormView {
public:
    static constexpr int kIdTab = 1162;
    static constexpr int kWidthDlu = 394, kHeightDlu = 262;
    static constexpr OptionList<10> kTabCaptions = {"L1", "U1", "L2", "U2", "L3",
                                                    "U3", "L4", "U4", "L5", "U5"};

    CScanChView(RadioImage& image, const BandTables& bands);

    // First update: the ten tabs, the first one shown.
    void OnInitialUpdate() override;
    // The edge of the selected tab.
    void LoadFromImage() override;
    void StoreToImage() override;

    int record() const { return record_; }
    const std::string& remembered_rx() const { return remembered_rx_; }
    ChannelPanel& panel() { return panel_; }
    void ChooseTab(int index) { form_.ChooseTab(kIdTab, index); }

private:
    std::uint32_t Address() const;
    void CheckRx();
    void CheckTx();

    RadioImage& image_;
    const BandTables& bands_;
    ChannelPanel panel_;
    int record_ = 0;
    std::string remembered_rx_;
};

}  // namespace vm
