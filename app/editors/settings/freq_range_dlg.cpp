#include "app/editors/settings/freq_range_dlg.h"

#include <cstddef>

#include "app/image/codecs.h"
#include "app/image/model_regions.h"

namespace vm {

namespace {

using R = FrequencyRange;

// Nothing of 1000 MHz or more fits the four BCD bytes of a limit.
constexpr std::int64_t kMaxStored = 99'999'999;

constexpr R::Limit kLimitOfCol[] = {R::kRxLower, R::kRxLower, R::kRxUpper, R::kTxLower,
                                    R::kTxUpper};

bool IsLowerCol(int col) {
    return col == CFreqRangeDlg::kColRxLower || col == CFreqRangeDlg::kColTxLower;
}

bool IsTxCol(int col) {
    return col >= CFreqRangeDlg::kColTxLower;
}

// The step raster of the limits (as the channel table's): values beyond the 32 bits of a
// frequency are left for the range rules, which replace them.
std::int64_t Snapped(std::int64_t f) {
    if (f < 0 || f > 0xFFFFFFFFLL) return f;
    auto v = static_cast<std::uint32_t>(f);
    SnapFrequency(v);
    return v;
}

}  // namespace

void CFreqRangeDlg::OnInitialUpdate() {
    if (initialised_) return;
    initialised_ = true;
    BuildGrid();
    form_.Add(kIdPasswordText, ControlKind::Static).text = "Input password";
    Control& password = form_.AddEdit(kIdPassword, kPasswordLength);
    password.masked = true;
    form_.Add(kIdEdit, ControlKind::Button).text = "Edit";
    ShowPrompt(false);
    form_.SetEnabled(kIdGrid, *unlocked_);

    // F11 anywhere in the dialog calls up the access-code prompt.
    form_.On(EventType::KeyPressed, 0, [this](const Event& e) {
        if (e.key != Key::F11) return false;
        ShowPrompt(true);
        form_.SetText(kIdPassword, std::string());
        form_.Focus(kIdPassword);
        return true;
    });
    form_.On(EventType::KeyPressed, kIdPassword, [this](const Event& e) {
        if (e.key != Key::Enter) return false;
        OnEdit();
        return true;
    });
    form_.On(EventType::Clicked, kIdEdit, [this](const Event&) {
        OnEdit();
        return false;
    });
    LoadFromImage();
}

void CFreqRangeDlg::BuildGrid() {
    Grid& g = form_.AddGrid(kIdGrid);
    grid_ = &g;
    SetUpTable(g, kRows, kHeaders, kWidths, kRowHeight);
    for (int r = 1; r < kRows; ++r)
        g.SetText(r, kColNo, std::string(g_BandNameList[static_cast<std::size_t>(r - 1)]));
    form_.AddEdit(kIdCellEdit, kCellLength, CharsFilter(g_FreqInputFilter)).one_point = true;
    form_.At(kIdCellEdit).visible = false;

    WireCellEditors(
        form_, kIdGrid, [this](const Event& e) { OnMouseDown(e); }, [this] { CommitCell(); },
        {{kIdCellEdit, [this] { CommitCell(); }}});
    form_.On(EventType::KeyPressed, kIdGrid, [this](const Event& e) { return OnGridKey(e.key); });
    // Enter ends the edit and moves on: Rx Lower to Rx Upper, Rx Upper to the next row's
    // Rx Lower (and likewise over the Tx pair).
    form_.On(EventType::KeyPressed, kIdCellEdit, [this](const Event& e) {
        if (e.key != Key::Enter) return false;
        const int row = edit_row_;
        const int col = edit_col_;
        form_.Focus(kIdGrid);
        if (IsLowerCol(col)) {
            grid_->SetCol(col + 1);
        } else if (row + 1 < kRows) {
            grid_->SetRow(row + 1);
            grid_->SetCol(kColRxLower);
        }
        return true;
    });
}

// ---- the access code

void CFreqRangeDlg::ShowPrompt(bool shown) {
    for (int id : {kIdPasswordText, kIdPassword, kIdEdit}) form_.SetVisible(id, shown);
}

void CFreqRangeDlg::OnEdit() {
    if (form_.Text(kIdPassword) != kAccessCode) {
        ShowMessage(std::string(kPasswordError));
        form_.Focus(kIdPassword);
        form_.SelectAll(kIdPassword);
        return;
    }
    *unlocked_ = true;
    form_.SetEnabled(kIdGrid, true);
    form_.SetText(kIdPassword, std::string());
    form_.Focus(kIdGrid);
    ShowPrompt(false);
}

// ---- cells

bool CFreqRangeDlg::Empty(int row, int col) const {
    return grid_->Text(row, col).empty();
}

std::int64_t CFreqRangeDlg::Value(int row, int col) const {
    return ParseScaled(grid_->Text(row, col), 5).value_or(0);
}

void CFreqRangeDlg::SetValue(int row, int col, std::int64_t f) {
    grid_->SetText(row, col, FormatScaled(f, 5));
}

bool CFreqRangeDlg::EditorOpen() const {
    return form_.At(kIdCellEdit).visible;
}

void CFreqRangeDlg::OnMouseDown(const Event& e) {
    if (e.button != 1) return;
    OpenCellEditor(e.row, e.col);
}

bool CFreqRangeDlg::OnGridKey(Key key) {
    Grid& g = *grid_;
    switch (key) {
        case Key::Enter:
            OpenCellEditor(g.Row(), g.Col());
            return true;
        case Key::Right:
            // The last column wraps to the next row's first, not past the last row.
            if (g.Col() != kColTxUpper || g.Row() + 1 >= kRows) return false;
            g.SetRow(g.Row() + 1);
            g.SetCol(kColRxLower);
            return true;
        case Key::Left:
            if (g.Col() != kColRxLower || g.Row() <= 1) return false;
            g.SetRow(g.Row() - 1);
            g.SetCol(kColTxUpper);
            return true;
        default:
            return false;
    }
}

void CFreqRangeDlg::OpenCellEditor(int row, int col) {
    if (!form_.At(kIdGrid).enabled || row < 1 || row >= kRows || col < kColRxLower ||
        col > kColTxUpper)
        return;
    // The receive-only bands have no transmit limits.
    if (IsTxCol(col) && IsReceiveOnlyBand(row)) return;
    // A band without limits is started from its Rx Lower.
    if (Empty(row, kColRxLower)) col = kColRxLower;
    Grid& g = *grid_;
    g.SetRow(row);
    g.SetCol(col);
    edit_row_ = row;
    edit_col_ = col;
    form_.SetText(kIdCellEdit, g.Text(row, col));
    form_.SelectAll(kIdCellEdit);
    ShowCellEditor(form_, g, kIdCellEdit);
}

void CFreqRangeDlg::CommitCell() {
    if (!HideCellEditor(form_, kIdCellEdit)) return;
    const int row = edit_row_;
    const int col = edit_col_;
    const std::string text = form_.Text(kIdCellEdit);
    const BandLimits fixed = FixedBandLimits(row);
    const std::int64_t lower_limit = fixed.lower;
    const std::int64_t upper_limit = fixed.upper;
    const int lower_col = IsLowerCol(col) ? col : col - 1;
    const int upper_col = lower_col + 1;

    if (text.empty()) {
        if (IsTxCol(col)) {
            grid_->SetText(row, kColTxLower, std::string());
            grid_->SetText(row, kColTxUpper, std::string());
            return;
        }
        // One of the bank B bands (150M, 250M, 450M) always keeps its limits.
        if (row == 5 || row == 6 || row == 8) {
            bool other_present = false;
            for (int other : {5, 6, 8})
                if (other != row && !Empty(other, kColRxLower)) other_present = true;
            if (!other_present) return;
        }
        for (int c = kColRxLower; c <= kColTxUpper; ++c) grid_->SetText(row, c, std::string());
        return;
    }
    const std::int64_t typed = Snapped(ParseScaled(text, 5).value_or(0));
    if (IsLowerCol(col)) {
        if (Empty(row, lower_col) && Empty(row, upper_col)) {
            // A pair started from scratch gets the band's whole range.
            SetValue(row, lower_col, lower_limit);
            SetValue(row, upper_col, upper_limit);
            return;
        }
        const std::int64_t u = Snapped(Value(row, upper_col));
        std::int64_t v = typed;
        if (v >= u || v < lower_limit || v >= upper_limit) v = lower_limit;
        SetValue(row, col, v);
        return;
    }
    const std::int64_t v = Snapped(Value(row, lower_col));
    std::int64_t u = typed;
    if (v >= u || u <= lower_limit || u > upper_limit) u = upper_limit;
    SetValue(row, col, u);
}

// ---- load, normalise, store

void CFreqRangeDlg::LoadFromImage() {
    // What an open cell editor holds belongs to the contents being replaced.
    HideCellEditor(form_, kIdCellEdit);
    Grid& g = *grid_;
    g.BeginUpdate();
    for (int n = 1; n <= kBandCount; ++n) {
        const R range(image_, n);
        for (int c = kColRxLower; c <= kColTxUpper; ++c) {
            const auto f = range.Stored(kLimitOfCol[c]);
            const bool shown = f && !(IsTxCol(c) && IsReceiveOnlyBand(n));
            g.SetText(n, c, shown ? FormatMHz(*f) : std::string());
        }
    }
    NormaliseRows();
    g.EndUpdate();
}

void CFreqRangeDlg::NormaliseRows() {
    for (int n = 1; n <= kBandCount; ++n) {
        if (Empty(n, kColRxLower)) continue;
        const BandLimits fixed = FixedBandLimits(n);
        std::int64_t lower = Value(n, kColRxLower);
        std::int64_t upper = Value(n, kColRxUpper);
        if (lower >= upper) lower = fixed.lower;
        if (lower < fixed.lower || lower >= fixed.upper) lower = fixed.lower;
        if (upper <= fixed.lower || upper > fixed.upper) upper = fixed.upper;
        SetValue(n, kColRxLower, lower);
        SetValue(n, kColRxUpper, upper);
        if (!Empty(n, kColTxLower)) {
            const std::int64_t tx = Value(n, kColTxLower);
            if (tx < lower || tx > upper) SetValue(n, kColTxLower, lower);
        }
        if (!Empty(n, kColTxUpper)) {
            const std::int64_t tx = Value(n, kColTxUpper);
            if (tx < lower || tx > upper) SetValue(n, kColTxUpper, upper);
        }
    }
}

std::optional<EditorMessage> CFreqRangeDlg::BandSetFault() const {
    auto present = [this](int band) { return !Empty(band, kColRxLower); };
    auto name = [](int band) {
        return "\"" + std::string(g_BandNameList[static_cast<std::size_t>(band - 1)]) + "\"";
    };
    // The radio holds one of two bands that share its circuits, and needs a home band.
    for (auto [a, b] : {std::pair{2, 3}, std::pair{6, 8}})
        if (present(a) && present(b))
            return EditorMessage{std::string(kBandInvalid),
                                 "The bands " + name(a) + " and " + name(b) +
                                     " cannot both be set: empty the Rx Lower of one of them"};
    if (!present(5) && !present(6) && !present(8))
        return EditorMessage{
            std::string(kBandInvalid),
            "One of the bands " + name(5) + ", " + name(6) + " and " + name(8) + " must be set"};
    return std::nullopt;
}

std::optional<EditorMessage> CFreqRangeDlg::CloseRefusal() {
    // Locked, nothing could be changed: the dialog closes (and stores nothing invalid).
    if (!*unlocked_) return std::nullopt;
    return BandSetFault();
}

void CFreqRangeDlg::StoreToImage() {
    CommitCell();
    NormaliseRows();
    if (BandSetFault()) return;
    for (int n = 1; n <= kBandCount; ++n)
        for (int c = kColRxLower; c <= kColTxUpper; ++c) {
            std::int64_t f = Value(n, c);
            if (f < 0 || f > kMaxStored || (IsTxCol(c) && IsReceiveOnlyBand(n))) f = 0;
            R::Set(image_, n, kLimitOfCol[c], static_cast<std::uint32_t>(f));
        }
    RecomputeBandTables(bands_, image_);
    RecomputeBandEnabled(bands_);
}

FormLayout FreqRangeLayout(const Form& /*form*/) {
    FormLayout layout;
    layout.blocks.push_back({.kind = BlockKind::Grid, .id = CFreqRangeDlg::kIdGrid});
    layout.blocks.push_back({.kind = BlockKind::Buttons,
                             .ids = {CFreqRangeDlg::kIdPasswordText, CFreqRangeDlg::kIdPassword,
                                     CFreqRangeDlg::kIdEdit}});
    layout.placed.push_back(CFreqRangeDlg::kIdCellEdit);
    return layout;
}

}  // namespace vm
