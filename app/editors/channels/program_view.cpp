#include "app/editors/channels/program_view.h"

#include <limits>
#include <utility>

#include "app/editors/channels/channel_memory.h"
#include "app/image/channel_record.h"
#include "app/image/codecs.h"

namespace vm {

namespace {

// A typed frequency in MHz to 10 Hz units, truncated; 0 when nothing is typed. A number too
// large for a frequency is kept out of every band rather than read as nothing.
std::uint32_t TypedFrequency(std::string_view text) {
    const auto v = ParseScaled(text, 5);
    if (!v || *v <= 0) return 0;
    if (*v > std::numeric_limits<std::uint32_t>::max())
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(*v);
}

template <std::size_t N>
std::vector<std::string> Entries(const OptionList<N>& list) {
    return {list.begin(), list.end()};
}

template <std::size_t N>
int ListIndex(const OptionList<N>& list, const std::string& text) {
    const int i = IndexOf(list, text);
    return i < 0 ? 0 : i;
}

// The list behind a list column.
std::vector<std::string> ColumnList(int col) {
    switch (col) {
        case CProgramView::kColDecode:
            return Entries(g_ToneModeList);
        case CProgramView::kColPolarity:
            return Entries(g_DcsPolarityList);
        case CProgramView::kColPower:
            return Entries(g_TxPowerList);
        case CProgramView::kColScan:
            return Entries(g_ScanAddList);
        case CProgramView::kColBandwidth:
            return Entries(g_BandwidthList);
        case CProgramView::kColSignal:
            return Entries(g_OptSignalList);
        default:
            return {};
    }
}

}  // namespace

CProgramView::CProgramView(RadioImage& image, BandTables& bands, Bank bank)
    : image_(image), bands_(bands), bank_(bank) {
    grid_ = &form_.AddGrid(kIdGrid);
    form_.Add(kIdChannelEdit, ControlKind::Button).text = "Channel edit";
    Control& ab = form_.Add(kIdAbSwitch, ControlKind::Button);
    ab.text = "A/B switch";
    ab.visible = false;
    form_.AddEdit(kIdFreqEdit, 9, CharsFilter(g_FreqInputFilter)).visible = false;
    form_.AddCombo(kIdCtcssCombo, 5, CharsFilter("0123456789.\b")).visible = false;
    for (int id : {kIdFreqEdit, kIdCtcssCombo}) form_.At(id).one_point = true;
    form_.AddCombo(kIdDcsCombo, 3, CharsFilter(g_DigitInputFilter)).visible = false;
    form_.AddList(kIdListCombo).visible = false;
    form_.AddEdit(kIdNameEdit, 6, IsNameChar, true).visible = false;

    form_.On(EventType::GridMouseDown, kIdGrid, [this](const Event& e) {
        if (e.button != 1 || e.row < grid_->FixedRows()) return false;
        if (e.col < grid_->FixedCols()) {
            grid_->SetHighLight(true);
            return true;
        }
        grid_->SetHighLight(false);
        OpenCellEditor();
        return true;
    });
    form_.On(EventType::GridEnterCell, kIdGrid, [this](const Event&) {
        CommitAll();
        return false;
    });
    form_.On(EventType::GridScroll, kIdGrid, [this](const Event&) {
        CommitAll();
        return false;
    });
    form_.On(EventType::KeyPressed, kIdGrid, [this](const Event& e) {
        Grid& g = *grid_;
        if (e.key == Key::Enter) {
            OpenCellEditor();
            return true;
        }
        if (e.key == Key::Right && g.Col() == g.Cols() - 1 && g.Row() < g.Rows() - 1) {
            g.PostKey(Key::Home);
            g.PostKey(Key::Down);
            return true;
        }
        if (e.key == Key::Left && g.Col() == g.FixedCols() && g.Row() > g.FixedRows()) {
            g.PostKey(Key::End);
            g.PostKey(Key::Up);
            return true;
        }
        return false;
    });

    // Enter in an editor leaves it for the grid and moves on.
    form_.On(EventType::KeyPressed, kIdFreqEdit, [this](const Event& e) {
        if (e.key != Key::Enter) return false;
        const bool empty = form_.Text(kIdFreqEdit).empty();
        form_.Focus(kIdGrid);
        grid_->PostKey(empty ? Key::Down : Key::Right);
        return true;
    });
    for (int id : {kIdNameEdit, kIdListCombo}) {
        form_.On(EventType::KeyPressed, id, [this](const Event& e) {
            if (e.key != Key::Enter) return false;
            form_.Focus(kIdGrid);
            grid_->PostKey(Key::Right);
            return true;
        });
    }

    // Esc closes a cell editor without taking what it holds: the cell keeps its text.
    for (int id : {kIdFreqEdit, kIdCtcssCombo, kIdDcsCombo, kIdListCombo, kIdNameEdit}) {
        form_.On(EventType::KeyPressed, id, [this, id](const Event& e) {
            if (e.key != Key::Escape) return false;
            Close(id);
            form_.Focus(kIdGrid);
            return true;
        });
    }

    auto on_leave = [this](int id, void (CProgramView::*commit)()) {
        form_.On(EventType::FocusLost, id, [this, commit](const Event&) {
            (this->*commit)();
            return false;
        });
    };
    on_leave(kIdFreqEdit, &CProgramView::CommitFrequency);
    on_leave(kIdCtcssCombo, &CProgramView::CommitCtcss);
    on_leave(kIdDcsCombo, &CProgramView::CommitDcs);
    on_leave(kIdListCombo, &CProgramView::CommitList);
    on_leave(kIdNameEdit, &CProgramView::CommitName);

    form_.On(EventType::Clicked, kIdChannelEdit, [this](const Event&) {
        StoreToImage();
        const int row = grid_->Row();
        if (open_channel_edit) open_channel_edit(row, grid_->Text(row, kColRx));
        LoadFromImage();
        form_.Focus(kIdGrid);
        return true;
    });
}

void CProgramView::OnInitialUpdate() {
    Grid& g = *grid_;
    g.SetRows(kRows);
    g.SetCols(kColumnCount);
    g.SetFixedRows(1);
    g.SetFixedCols(1);
    g.BeginUpdate();
    for (int c = 0; c < kColumnCount; ++c) {
        g.SetText(0, c, std::string(kHeaders[static_cast<std::size_t>(c)]));
        g.SetColWidth(c, kWidths[static_cast<std::size_t>(c)]);
        g.SetColAlignment(c, Alignment::Centre);
    }
    for (int r = 1; r < kRows; ++r) {
        g.SetRowHeight(r, kRowHeight);
        g.SetText(r, kColCh, FormatInt(r));
    }
    g.EndUpdate();
    g.SetRow(1);
    g.SetCol(1);
    form_.SetEntries(kIdCtcssCombo, g_CtcssToneTable);
    form_.SetEntries(kIdDcsCombo, g_DcsCodeTable);
    LoadFromImage();
}

// ---------------------------------------------------------------------------------------------
// Rows

void CProgramView::BlankRow(int n) {
    for (int c = kColRx; c < kColumnCount; ++c) grid_->SetText(n, c, std::string());
}

void CProgramView::ShowRow(int n) {
    ConstChannelRecord rec = ChannelAt(std::as_const(image_), ChannelOfRow(n));
    // Rx bytes that are not BCD digits (damaged memory) hold no frequency the table could show
    // and store back (a digit of 10 would not fit the eight it stores): the channel is empty,
    // and channel 1 is made again.
    const bool rx_digits = ChannelRecord::kRxField.Digits(rec.data());
    if (rec.IsEmpty() || !rx_digits) {
        if (n != 1) {
            BlankRow(n);
            return;
        }
        if (!rx_digits) WriteClearedRecord(image_.data() + ChannelOffset(ChannelOfRow(1)));
        EnsureFirstChannel(image_, ChannelOfRow(1), bands_);
    }
    const std::uint8_t* p = rec.data();
    Grid& g = *grid_;
    g.SetText(n, kColRx, FormatMHz(rec.Rx()));
    g.SetText(n, kColTx, rec.TxAbsent() ? std::string() : FormatMHz(rec.Tx()));
    g.SetText(n, kColDecode, std::string(EntryOf(g_ToneModeList, rec.TableDecodeType())));
    // A tone or code whose bytes are not BCD digits (erased memory reads FF FF) has no value that
    // four digits could store back: it shows, and is then stored, as the normalisation of an
    // empty entry gives it, the default tone or code.
    const std::uint8_t* tone = p + ChannelRecord::kCtcss;
    const std::uint8_t* code = p + ChannelRecord::kDcs;
    g.SetText(n, kColCtcss, IsBcd16(tone) ? TenthsToText(rec.Ctcss()) : NormaliseCtcssText(""));
    g.SetText(n, kColDcs, IsBcd16(code) ? FormatDcs(rec.Dcs() & 0x3FFF) : NormaliseDcsText(""));
    g.SetText(n, kColPolarity, std::string(EntryOf(g_DcsPolarityList, rec.DcsPolarity())));
    g.SetText(n, kColPower, std::string(EntryOf(g_TxPowerList, rec.TxPower())));
    g.SetText(n, kColScan, std::string(EntryOf(g_ScanAddList, rec.Scan())));
    g.SetText(n, kColBandwidth, std::string(EntryOf(g_BandwidthList, rec.Bandwidth())));
    g.SetText(n, kColSignal, std::string(EntryOf(g_OptSignalList, rec.OptSignal())));
    std::string name;
    for (std::size_t i = 0; i < kChannelNameLength; ++i) {
        const std::uint8_t b = p[ChannelRecord::kName + i];
        if (b < 0x20 || b > 0x7E) break;
        name.push_back(static_cast<char>(b));
    }
    g.SetText(n, kColName, std::move(name));
}

void CProgramView::LoadFromImage() {
    // An edit still open belongs to the table being replaced: drop it.
    for (int id : {kIdFreqEdit, kIdCtcssCombo, kIdDcsCombo, kIdListCombo, kIdNameEdit}) Close(id);
    // The enable flags follow the image before row 1 is shown: re-creating channel 1 picks its
    // band by them.
    RecomputeBandEnabledFromImage(bands_, image_);
    grid_->BeginUpdate();
    for (int n = 1; n < kRows; ++n) ShowRow(n);
    grid_->EndUpdate();
}

void CProgramView::StoreRow(int n) {
    const Grid& g = *grid_;
    std::uint8_t* p = image_.data() + ChannelOffset(ChannelOfRow(n));
    const std::string& rx_text = g.Text(n, kColRx);
    if (rx_text.empty()) {
        WriteClearedRecord(p);
        return;
    }
    ChannelRecord rec(p);
    const std::uint32_t rx = TypedFrequency(rx_text);
    rec.SetRx(rx);
    const std::string& tx_text = g.Text(n, kColTx);
    const bool has_tx = !tx_text.empty();
    const std::uint32_t tx = has_tx ? TypedFrequency(tx_text) : 0;
    if (has_tx)
        rec.SetTx(tx);
    else
        rec.ClearTx();

    const std::uint32_t o = rec.OffsetUnset() ? 0 : rec.Offset();
    const OffsetDirection d = rec.Direction();
    if (has_tx && rx == tx)
        rec.SetDirection(OffsetDirection::Simplex);
    else if (!(has_tx && ((d == OffsetDirection::Minus && tx == rx - o) ||
                          (d == OffsetDirection::Plus && tx == rx + o))))
        rec.SetDirection(OffsetDirection::Split);

    rec.SetTableDecodeType(ListIndex(g_ToneModeList, g.Text(n, kColDecode)));
    rec.SetCtcss(TextToTenths(g.Text(n, kColCtcss)));
    rec.SetDcs(static_cast<int>(ParseScaled(g.Text(n, kColDcs), 0).value_or(0)));
    rec.SetDcsPolarity(ListIndex(g_DcsPolarityList, g.Text(n, kColPolarity)));
    rec.SetTxPower(ListIndex(g_TxPowerList, g.Text(n, kColPower)));
    rec.SetScan(ListIndex(g_ScanAddList, g.Text(n, kColScan)));
    rec.SetBandwidth(ListIndex(g_BandwidthList, g.Text(n, kColBandwidth)));
    rec.SetOptSignal(ListIndex(g_OptSignalList, g.Text(n, kColSignal)));
    rec.SetName(std::string_view(g.Text(n, kColName)).substr(0, kChannelNameLength));
    rec.SetTxStop(0);

    // A squelch mode that needs a tone or signalling the channel does not have is carrier.
    const int m = rec.SqlMode();
    const int dt = rec.DecodeType();
    const int s = rec.OptSignal();
    if ((m == 1 && dt < 2) || (m == 2 && s == 0) || ((m == 3 || m == 4) && (dt < 2 || s == 0)))
        rec.SetSqlMode(0);

    // Band 8 has no 2.5, 6.25 or 7.5 kHz steps.
    const int step = rec.Step();
    if (bank_ == Bank::A && FindBand(bands_, rx) == 8 && (step == 0 || step == 2 || step == 3))
        rec.SetStep(step | 6);
}

void CProgramView::StoreToImage() {
    // A table that was never built holds no rows: storing it would clear every channel.
    if (grid_->Rows() != kRows) return;
    CommitAll();
    for (int n = 1; n < kRows; ++n) StoreRow(n);
    NormalizeImage(image_, bands_);
}

// ---------------------------------------------------------------------------------------------
// In-place editors

int CProgramView::OpenEditor() const {
    for (int id : {kIdFreqEdit, kIdCtcssCombo, kIdDcsCombo, kIdListCombo, kIdNameEdit})
        if (form_.At(id).visible) return id;
    return 0;
}

void CProgramView::OpenCellEditor() {
    Grid& g = *grid_;
    if (g.Row() < g.FixedRows() || g.Col() < g.FixedCols()) return;
    if (g.Text(g.Row(), kColRx).empty()) g.SetCol(kColRx);
    const int row = g.Row();
    const int col = g.Col();

    int id = 0;
    switch (col) {
        case kColRx:
        case kColTx:
            id = kIdFreqEdit;
            break;
        case kColName:
            id = kIdNameEdit;
            break;
        case kColCtcss:
            id = kIdCtcssCombo;
            break;
        case kColDcs:
            id = kIdDcsCombo;
            break;
        default:
            id = kIdListCombo;
            break;
    }
    const std::string& text = g.Text(row, col);
    if (id == kIdListCombo) {
        form_.SetEntries(id, ColumnList(col));
        form_.SelectByText(id, text);
    } else {
        form_.SetText(id, text);
        form_.SelectAll(id);
    }
    edit_row_ = row;
    edit_col_ = col;
    ShowCellEditor(form_, g, id);
}

bool CProgramView::Close(int id) {
    return HideCellEditor(form_, id);
}

void CProgramView::CommitAll() {
    CommitFrequency();
    CommitCtcss();
    CommitDcs();
    CommitList();
    CommitName();
}

void CProgramView::CommitCtcss() {
    if (!Close(kIdCtcssCombo)) return;
    grid_->SetText(edit_row_, edit_col_, NormaliseCtcssText(form_.Text(kIdCtcssCombo)));
}

void CProgramView::CommitDcs() {
    if (!Close(kIdDcsCombo)) return;
    grid_->SetText(edit_row_, edit_col_, NormaliseDcsText(form_.Text(kIdDcsCombo)));
}

void CProgramView::CommitList() {
    if (!Close(kIdListCombo)) return;
    const bool no_rx = grid_->Text(edit_row_, kColRx).empty();
    grid_->SetText(edit_row_, edit_col_, no_rx ? std::string() : form_.SelectedText(kIdListCombo));
}

void CProgramView::CommitName() {
    if (!Close(kIdNameEdit)) return;
    const bool no_rx = grid_->Text(edit_row_, kColRx).empty();
    grid_->SetText(edit_row_, edit_col_, no_rx ? std::string() : form_.Text(kIdNameEdit));
}

// Channel 1 must stay in a home band: the old text when it lies in one, else the lower limit
// of the default home band, else nothing.
bool CProgramView::FirstChannelAccepts(std::uint32_t f) const {
    return bank_ == Bank::A ? HomeBandOf(bands_, f) >= 0 : FindBand(bands_, f, Bank::B) >= 0;
}

std::string CProgramView::HomeBandFallback(const std::string& old_text) const {
    if (!old_text.empty() && FirstChannelAccepts(TypedFrequency(old_text))) return old_text;
    const int home = DefaultHomeBand(bands_);
    if (home < 0) return {};
    return FormatMHz(static_cast<std::uint32_t>(BandLimitsOf(bands_, home).lower));
}

void CProgramView::CommitFrequency() {
    if (!Close(kIdFreqEdit)) return;
    const int n = edit_row_;
    const int c = edit_col_;
    std::uint32_t f = TypedFrequency(form_.Text(kIdFreqEdit));
    std::string text;
    if (f != 0) {
        int b = FindBand(bands_, f, bank_);
        if (b < 0) {
            const int defined = bank_ == Bank::A ? FirstDefinedBand(bands_) : 0;
            if (defined >= 0) {
                f = static_cast<std::uint32_t>(BandLimitsOf(bands_, defined, bank_).lower);
                b = defined;
            }
        }
        f = ApplyBandRaster(f, b);
        text = FormatMHz(f);
    }

    Grid& g = *grid_;
    const bool rx_empty = g.Text(n, kColRx).empty();
    if (c == kColRx) {
        if (text.empty()) {
            if (n == 1) return;
            BlankRow(n);
            if (!rx_empty) InitChannelRecord(image_, ChannelOfRow(n), 0, bands_);
            return;
        }
        if (rx_empty) {
            InitChannelRecord(image_, ChannelOfRow(n), f, bands_);
            ShowRow(n);
            return;
        }
        if (n == 1 && !FirstChannelAccepts(f)) text = HomeBandFallback(g.Text(n, kColRx));
        g.SetText(n, kColRx, std::move(text));
        return;
    }
    // Tx
    if (rx_empty) {
        g.SetText(n, kColTx, std::string());
        return;
    }
    if (text.empty()) return;
    if (n == 1 && !FirstChannelAccepts(f)) text = HomeBandFallback(g.Text(n, kColTx));
    g.SetText(n, kColTx, std::move(text));
}

// ---------------------------------------------------------------------------------------------

int CProgramView::TypeIntoCell(int row, int col, std::string_view text) {
    grid_->ClickCell(row, col);
    const int id = OpenEditor();
    if (id == 0) return -1;
    const int opened = edit_col_;
    if (form_.At(id).kind == ControlKind::DropList) {
        form_.TypeText(id, text);
    } else {
        // Typing replaces the selected text; an empty text is typed as deleting it.
        form_.Type(id, '\b');
        form_.TypeText(id, text);
    }
    form_.Focus(kIdGrid);
    return opened;
}

}  // namespace vm
