// The "Channel edit" dialog: every field of one bank-A channel, stepping through 1..800.
//
// The dialog edits the image directly: the channel shown is stored when another channel is
// chosen (number edit or spin buttons) and when the dialog is destroyed, and a new channel is
// written as soon as a frequency is typed into an empty one. There is no cancel: Esc in the Rx
// edit and the close box close the dialog, after the focused control's check has run.
#pragma once

#include <functional>
#include <string>

#include "app/editors/channels/channel_panel.h"
#include "app/editors/framework/form_dialog.h"
#include "app/image/band_tables.h"
#include "app/image/radio_image.h"
#include "app/widgets/form_layout.h"

namespace vm {

class CChannelEditDlg : public CFormDialog {
public:
    static constexpr int kIdChannel = 1027;  // "Channel number"
    static constexpr int kIdChannelSpin = 1028;
    static constexpr int kWidthDlu = 335, kHeightDlu = 222;
    static constexpr std::string_view kCaption = "Channel edit";

    // channel: the table's current row (1..800); rx: the row's Rx cell text.
    CChannelEditDlg(RadioImage& image, const BandTables& bands, int channel, std::string rx);

    // Opening: the number edit shows the channel handed in, which is loaded.
    void OnInitialUpdate() override;
    // Stepping through the channels as the user does: the number typed into its edit and the
    // edit left (the channel shown is stored first). False when n is not a channel or the
    // dialog stays where it is.
    RecordRange Records() const override { return {1, kChannelsPerBank}; }
    bool GoToRecord(int n) override;
    int Record() const override { return channel_; }
    // The frame's load and store, and the store of Destroy: the channel shown (a store runs
    // the focused control's check first).
    void LoadFromImage() override;
    void StoreToImage() override;

    int channel() const { return channel_; }
    const std::string& remembered_rx() const { return remembered_rx_; }
    const std::string& remembered_tx() const { return panel_.remembered_tx(); }
    ChannelPanel& panel() { return panel_; }

private:
    void LoadChannel(int n);
    void StoreChannel();
    void ShowFromRecord();
    int InBandOrFallback(std::int64_t& f, const std::string& remembered_text) const;
    void CheckRx();
    void CheckTx();
    void ChannelNumberLeft();
    void StepChannel(int delta);
    void BindKeys();
    void CreateNumberEdit();

    RadioImage& image_;
    const BandTables& bands_;
    ChannelPanel panel_;
    int channel_;
    std::string remembered_rx_;
};

// The dialog's window: the channel number above the field panel's group boxes.
FormLayout ChannelEditLayout(const Form& form);

}  // namespace vm
