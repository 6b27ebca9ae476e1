// The channel table: bank A's 800 channels as a 12-column grid with in-place cell editors.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/editors/framework/base_form_view.h"
#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/radio_image.h"
#include "app/widgets/grid.h"

namespace vm {

class CProgramView : public CBaseFormView {
public:
    // Controls of the form (502 x 287 dialog units).
    static constexpr int kIdGrid = 1022;
    static constexpr int kIdChannelEdit = 1001;  // "Channel edit" button
    static constexpr int kIdAbSwitch = 1002;     // "A/B switch", hidden, no behaviour
    static constexpr int kIdFreqEdit = 1023;     // in-place editors, hidden until a cell opens
    static constexpr int kIdCtcssCombo = 1202;
    static constexpr int kIdDcsCombo = 1203;
    static constexpr int kIdListCombo = 1165;
    static constexpr int kIdNameEdit = 1059;

    enum Column : int {
        kColCh,
        kColRx,
        kColTx,
        kColDecode,
        kColCtcss,
        kColDcs,
        kColPolarity,
        kColPower,
        kColScan,
        kColBandwidth,
        kColSignal,
        kColName,
        kColumnCount
    };
    static constexpr int kRows = 801;  // heading row + channels 1..800
    static constexpr std::array<std::string_view, kColumnCount> kHeaders = {
        "CH",           "Rx Freq", "Tx Freq", "Decode Type", "CTCSS",     "DCS",
        "DCS Polarity", "Power",   "Scan",    "Bandwidth",   "Signaling", "Name"};
    static constexpr std::array<int, kColumnCount> kWidths = {500,  1100, 1100, 1200, 900,  1000,
                                                              1400, 1000, 900,  1000, 1000, 1100};
    static constexpr int kRowHeight = 300;
    static constexpr std::string_view kCaption = "Channel Infomation";

    // The window shows bank A; the command line also edits bank B with the same rules, its
    // rows 1..800 being channels 801..1600 and their frequencies looked up in bank B's bands.
    CProgramView(RadioImage& image, BandTables& bands, Bank bank = Bank::A);

    Bank bank() const { return bank_; }
    // The channel number (1..1600) of row n.
    int ChannelOfRow(int n) const { return bank_ == Bank::B ? n + kChannelsPerBank : n; }

    // Builds the grid, fills the combos, then loads.
    void OnInitialUpdate() override;
    void LoadFromImage() override;
    void StoreToImage() override;

    RadioImage& image() { return image_; }
    const RadioImage& image() const { return image_; }
    const BandTables& bands() const { return bands_; }
    Grid& grid() { return *grid_; }
    const Grid& grid() const { return *grid_; }

    // The cell editor shown at the moment, 0 when none.
    int OpenEditor() const;

    // Opens the channel edit dialog for (channel, remembered Rx text); the table is stored
    // before and reloaded after. Without one the button only stores and reloads.
    std::function<void(int channel, const std::string& rx)> open_channel_edit;

    // Drives the table as a user does: clicks the cell, types text into the editor that opens
    // and leaves it (focus back to the grid). Returns the column the editor opened on (an
    // empty channel always opens on its Rx cell), or -1 when no editor opened.
    int TypeIntoCell(int row, int col, std::string_view text);

private:
    void ShowRow(int n);
    void StoreRow(int n);
    void OpenCellEditor();
    void CommitAll();
    void CommitFrequency();
    void CommitCtcss();
    void CommitDcs();
    void CommitList();
    void CommitName();
    bool Close(int id);  // hides a visible editor; false when it was not open
    std::string HomeBandFallback(const std::string& old_text) const;
    void BlankRow(int n);

    // Whether channel 1 of the bank may hold f (bank A: a home band; bank B: its bands).
    bool FirstChannelAccepts(std::uint32_t f) const;

    RadioImage& image_;
    BandTables& bands_;
    Bank bank_;
    Grid* grid_;
    int edit_row_ = 1;  // the cell the open editor belongs to
    int edit_col_ = 1;
};

}  // namespace vm
