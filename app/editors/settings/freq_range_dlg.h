// The frequency range dialog: the lower and upper receive and transmit limits of the nine
// bands in a grid over the image records at 0xFF30, read-only until the access code is given
// (F11, then the code), and on closing the band limit tables refreshed from what it stored.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/editors/framework/form_dialog.h"
#include "app/image/band_tables.h"
#include "app/image/radio_image.h"
#include "app/widgets/form_layout.h"
#include "app/widgets/grid.h"

namespace vm {

class CFreqRangeDlg : public CFormDialog {
public:
    static constexpr int kTemplate = 195;
    static constexpr std::string_view kCaption = "Frequency range";
    enum : int {
        kIdGrid = 1022,
        kIdCellEdit = 1023,      // the cell editor, hidden until a cell opens
        kIdPasswordText = 1012,  // the access-code prompt: hidden until F11
        kIdPassword = 1318,
        kIdEdit = 1008
    };
    enum Column : int { kColNo, kColRxLower, kColRxUpper, kColTxLower, kColTxUpper, kColumnCount };
    static constexpr int kRows = 1 + kBandCount;
    static constexpr std::array<std::string_view, kColumnCount> kHeaders = {
        "No.", "Rx Lower", "Rx Upper", "Tx Lower", "Tx Upper"};
    // The band label column holds "850M" whole in today's fonts (the original 500 twips cut
    // its first digit).
    static constexpr std::array<int, kColumnCount> kWidths = {800, 1500, 1500, 1500, 1500};
    static constexpr int kRowHeight = 300;
    static constexpr std::size_t kCellLength = 9;
    static constexpr std::size_t kPasswordLength = 8;
    // Four digits and three capital letters, compared in full and with case.
    static constexpr std::string_view kAccessCode = "5207QRM";
    static constexpr std::string_view kPasswordError = "Password error!";
    static constexpr std::string_view kBandInvalid = "Frequency band is invalid!";

    // `unlocked` is the program's lock flag: false until the access code is given, then true
    // for the rest of the run (a later opening starts unlocked). Null: the dialog keeps its
    // own, forgotten when it closes.
    CFreqRangeDlg(RadioImage& image, BandTables& bands, bool* unlocked = nullptr)
        : image_(image), bands_(bands), unlocked_(unlocked ? unlocked : &own_lock_) {}

    void OnInitialUpdate() override;
    void LoadFromImage() override;
    // Normalises the rows, then, when the band set is valid, writes the nine records and
    // refreshes the band limit tables from them. An invalid set stores nothing.
    void StoreToImage() override;

    Grid& grid() { return *grid_; }
    bool unlocked() const { return *unlocked_; }
    // The cell editor is shown.
    bool EditorOpen() const;
    // Why the rows cannot be stored: the band set's fault, or nullopt.
    std::optional<EditorMessage> BandSetFault() const;

protected:
    std::optional<EditorMessage> CloseRefusal() override;

private:
    void BuildGrid();
    void ShowPrompt(bool shown);
    void OnEdit();
    void OnMouseDown(const Event& e);
    bool OnGridKey(Key key);
    void OpenCellEditor(int row, int col);
    void CommitCell();
    void NormaliseRows();
    bool Empty(int row, int col) const;
    // A cell's value in 10 Hz units (0 when empty); 64-bit, so nothing typed overflows.
    std::int64_t Value(int row, int col) const;
    void SetValue(int row, int col, std::int64_t f);

    RadioImage& image_;
    BandTables& bands_;
    bool own_lock_ = false;
    bool* unlocked_;
    Grid* grid_ = nullptr;
    int edit_row_ = 1;  // the cell the open editor belongs to
    int edit_col_ = 1;
    bool initialised_ = false;
};

// The dialog's window: the grid, the access-code prompt in a row below it, the cell editor
// over the grid.
FormLayout FreqRangeLayout(const Form& form);

}  // namespace vm
