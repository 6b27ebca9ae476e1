#include "app/editors/settings/two_tone_view.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/editors/settings/dtmf_view.h"
#include "app/image/codecs.h"

namespace vm {

namespace {

using T = TwoToneMap;

constexpr int kMaxAutoReset = T::kAutoReset.max;

}  // namespace

int TwoToneDecodeOfCode(std::uint8_t code) {
    for (std::size_t i = 0; i < kTwoToneDecodeCodes.size(); ++i)
        if (kTwoToneDecodeCodes[i] == code) return static_cast<int>(i);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// System page

const std::array<CT2SystemPage::TenthsField, 10> CT2SystemPage::kTenthsFields = {{
    {1308, 1309, T::kTones[0], 3217, false},
    {1310, 1311, T::kTones[1], 9281, false},
    {1312, 1313, T::kTones[2], 6265, false},
    {1314, 1315, T::kTones[3], 20438, false},
    {1326, 1327, T::kReplyWait, 0, true},
    {1316, 1317, T::kFirstDuration, 10, false},
    {1318, 1319, T::kSecondDuration, 30, false},
    {1320, 1321, T::kInterval, 10, false},
    {1322, 1323, T::kLongDuration, 50, false},
    {1324, 1325, T::kPreCarrier, 5, false},
}};

void CT2SystemPage::Build() {
    Control& tab = form_.Add(kIdSystemTab, ControlKind::Tab);
    tab.entries = NumberEntries(T::kSystemCount);
    tab.selection = 0;
    tab.selects_records = true;

    form_.AddEdit(kIdAlias, T::kAliasLength).label = std::string(T::kAlias.name);
    const CharFilter decimal = CharsFilter(g_DecimalInputFilter);
    auto add_tenths = [this, &decimal](const TenthsField& f) {
        const SettingField& v = f.field;
        form_.AddEdit(f.edit,
                      v.kind == FieldKind::Word ? 6
                      : v.max >= 100            ? 4
                                                : 3,
                      decimal)
            .label = std::string(v.name);
        form_.AddSpin(f.spin, {.min = v.min, .max = v.max, .wrap = true, .buddy = f.edit});
        form_.On(EventType::FocusLost, f.edit, [this, &f](const Event&) {
            Validate(f);
            return false;
        });
        form_.On(EventType::SpinStep, f.spin, [this, &f](const Event& e) {
            const EditResult r =
                SpinStepTenths(TextToTenths(form_.Text(f.edit)), e.delta, f.field.min, f.field.max);
            form_.SetText(f.edit,
                          f.off_at_zero && r.value == f.field.min ? std::string(kOffText) : r.text);
            return false;
        });
    };
    for (std::size_t i = 0; i < 4; ++i) add_tenths(kTenthsFields[i]);

    for (std::size_t n = 0; n < kDecodes.size(); ++n) {
        const Decode& d = kDecodes[n];
        form_.Add(d.box, ControlKind::Group).text = "Decode " + std::to_string(n + 1);
        Control& format = form_.AddList(d.format);
        format.label = "Format";
        format.group = d.box;
        Control& response = form_.AddList(d.response, ListEntries(g_DecodeResponseList));
        response.label = "Response";
        response.group = d.box;
        form_.On(EventType::SelectionChanged, d.format, [this, n](const Event&) {
            OnFormatChosen(static_cast<int>(n));
            return false;
        });
    }
    for (std::size_t i = 4; i < kTenthsFields.size(); ++i) add_tenths(kTenthsFields[i]);

    form_.AddEdit(kIdAutoReset, 3, CharsFilter(g_DigitInputFilter)).label = "Auto reset time (s)";
    form_.AddSpin(kIdAutoResetSpin,
                  {.min = 0, .max = kMaxAutoReset, .wrap = true, .buddy = kIdAutoReset});
    form_.Add(kIdSideTone, ControlKind::Check).label = "Side tone";
    form_.Add(kIdIdleReply, ControlKind::Check).label = "Idle reply";
    Control& beep = form_.Add(kIdBeep, ControlKind::Check);
    beep.label = "Beep";
    beep.visible = false;

    BindOffAtZeroField(form_, kIdAutoReset, kIdAutoResetSpin, kMaxAutoReset, kAutoResetDefault);
    form_.On(EventType::FocusGained, kIdAlias, [this](const Event&) {
        remembered_alias_ = form_.Text(kIdAlias);
        return false;
    });
    form_.On(EventType::FocusLost, kIdAlias, [this](const Event&) {
        if (form_.Text(kIdAlias).empty())
            form_.SetText(kIdAlias, remembered_alias_.empty() ? "2T-S" + ZeroPadded(System(), 2)
                                                              : remembered_alias_);
        return false;
    });
    // Leaving a system's tab stores it; the system chosen is shown.
    form_.On(EventType::TabChanging, kIdSystemTab, [this](const Event&) {
        form_.CommitFocus();
        StoreToImage();
        return false;
    });
    form_.On(EventType::TabChanged, kIdSystemTab, [this](const Event&) {
        LoadFromImage();
        return false;
    });
}

int CT2SystemPage::System() const {
    return std::max(form_.Selection(kIdSystemTab), 0) + 1;
}

std::uint32_t CT2SystemPage::Record() const {
    return T::SystemAddr(System() - 1);
}

void CT2SystemPage::Validate(const TenthsField& f) {
    const EditResult r = BoundedTenthsEdit(form_.Text(f.edit), f.field.min, f.field.max, f.def);
    form_.SetText(f.edit, f.off_at_zero && r.value == 0 ? std::string(kOffText) : r.text);
}

void CT2SystemPage::Fallbacks() {
    for (const Decode& d : kDecodes)
        if (form_.Selection(d.response) < 0) SelectWholeText(form_, d.response, "Remind");
    for (const TenthsField& f : kTenthsFields) Validate(f);
    ValidateOffAtZero(form_, kIdAutoReset, kMaxAutoReset, kAutoResetDefault);
}

void CT2SystemPage::RebuildFormatLists() {
    for (std::size_t n = 0; n < kDecodes.size(); ++n) {
        std::vector<std::string> entries;
        for (int k = n == 0 ? 1 : 0; k < static_cast<int>(g_TwoToneDecodeList.size()); ++k) {
            bool taken = false;
            for (std::size_t m = 0; m < formats_.size(); ++m)
                taken = taken || (k != 0 && m != n && formats_[m] == k);
            if (!taken) entries.emplace_back(g_TwoToneDecodeList[static_cast<std::size_t>(k)]);
        }
        const int id = kDecodes[n].format;
        form_.SetEntries(id, std::move(entries));
        SelectWholeText(form_, id, g_TwoToneDecodeList[static_cast<std::size_t>(formats_[n])]);
    }
}

void CT2SystemPage::OnFormatChosen(int decode) {
    const int k = IndexOf(g_TwoToneDecodeList,
                          form_.SelectedText(kDecodes[static_cast<std::size_t>(decode)].format));
    if (k >= 0) formats_[static_cast<std::size_t>(decode)] = k;
    RebuildFormatLists();
}

void CT2SystemPage::LoadFromImage() {
    const std::uint8_t* rec = image_.data() + Record();
    form_.SetText(kIdAlias, T::kAlias.AsChars().Printable(rec));
    for (const TenthsField& f : kTenthsFields) {
        const int v = f.field.Get(rec);
        form_.SetText(f.edit, f.off_at_zero && v == 0 ? std::string(kOffText) : TenthsToText(v));
    }
    form_.SetChecked(kIdSideTone, T::kSideTone.Get(rec));
    form_.SetChecked(kIdIdleReply, T::kIdleReply.Get(rec));
    form_.SetChecked(kIdBeep, T::kBeep.Get(rec));
    form_.SetText(kIdAutoReset, FormatInt(T::kAutoReset.Get(rec)));
    // A format a lower-numbered decode holds already becomes "Off" here (Decode 1 always keeps
    // its own); a Decode 1 without one takes the first format.
    for (std::size_t n = 0; n < formats_.size(); ++n) {
        int k = TwoToneDecodeOfCode(
            static_cast<std::uint8_t>(T::Format(static_cast<int>(n) + 1).Get(rec)));
        for (std::size_t m = 0; m < n; ++m)
            if (formats_[m] == k) k = 0;
        formats_[n] = n == 0 && k == 0 ? 1 : k;
        form_.Select(kDecodes[n].response, T::Response(static_cast<int>(n) + 1).Get(rec));
    }
    Fallbacks();
    RebuildFormatLists();
}

void CT2SystemPage::StoreToImage() {
    Fallbacks();
    std::uint8_t* rec = image_.data() + Record();
    T::kAlias.AsChars().Set(rec, form_.Text(kIdAlias));
    for (const TenthsField& f : kTenthsFields) f.field.Set(rec, TextToTenths(form_.Text(f.edit)));
    T::kSideTone.Set(rec, form_.Checked(kIdSideTone));
    T::kIdleReply.Set(rec, form_.Checked(kIdIdleReply));
    T::kBeep.Set(rec, form_.Checked(kIdBeep));
    T::kAutoReset.Set(rec, OffAtZeroValue(form_.Text(kIdAutoReset)));
    // The responses' byte holds nothing else.
    rec[T::Response(1).at] = 0;
    for (std::size_t n = 0; n < formats_.size(); ++n) {
        T::Format(static_cast<int>(n) + 1)
            .Set(rec, kTwoToneDecodeCodes[static_cast<std::size_t>(formats_[n])]);
        T::Response(static_cast<int>(n) + 1)
            .Set(rec, std::max(form_.Selection(kDecodes[n].response), 0));
    }
}

// ---------------------------------------------------------------------------------------------
// Contact page

void CT2ContactPage::Build() {
    Control& range = form_.Add(kIdToneRange, ControlKind::Static);
    range.text = std::string(kToneRangeText);
    range.text_colour = kToneRangeColour;

    Grid& g = form_.AddGrid(kIdGrid);
    grid_ = &g;
    SetUpRecordTable(g, kRows - 1, kHeaders, kWidths, kRowHeight);

    form_.AddEdit(kIdToneEdit, 6, CharsFilter(g_DecimalInputFilter)).visible = false;
    form_.AddEdit(kIdAliasEdit, T::kAliasLength).visible = false;
    form_.AddList(kIdFormatList, ListEntries(g_TwoSingleList)).visible = false;
    form_.AddList(kIdSystemList, NumberEntries(T::kSystemCount)).visible = false;

    WireCellEditors(
        form_, kIdGrid, [this](const Event& e) { OnMouseDown(e); }, [this] { CommitAll(); },
        {{kIdToneEdit, [this] { CommitTone(); }},
         {kIdAliasEdit, [this] { CommitAlias(); }},
         {kIdFormatList, [this] { CommitList(kIdFormatList, kColFormat); }},
         {kIdSystemList, [this] { CommitList(kIdSystemList, kColSystem); }}});
}

bool CT2ContactPage::IsSingle(int row) const {
    return grid_->Text(row, kColFormat) == g_TwoSingleList[1];
}

void CT2ContactPage::Shade(int row) {
    grid_->SetCellBackColor(row, kColSecond, IsSingle(row) ? kSingleShade : 0);
}

void CT2ContactPage::LoadFromImage() {
    for (int id : {kIdToneEdit, kIdAliasEdit, kIdFormatList, kIdSystemList})
        HideCellEditor(form_, id);
    Grid& g = *grid_;
    g.BeginUpdate();
    for (int c = 1; c <= T::kContactCount; ++c) {
        const std::uint8_t* rec = image_.data() + T::ContactAddr(c - 1);
        const auto first = static_cast<std::uint16_t>(T::kFirst.Get(rec));
        const bool present = IsPresentTone(first);
        const auto second = static_cast<std::uint16_t>(T::kSecond.Get(rec));
        g.SetText(c, kColFirst, present ? TenthsToText(first) : "");
        g.SetText(c, kColSecond, present && IsPresentTone(second) ? TenthsToText(second) : "");
        g.SetText(
            c, kColFormat,
            present ? std::string(g_TwoSingleList[T::kContactFormat.Get(rec) == 1 ? 1 : 0]) : "");
        g.SetText(c, kColSystem, present ? FormatInt(T::kContactSystem.Get(rec)) : "");
        g.SetText(c, kColAlias, present ? T::kContactAlias.AsChars().Printable(rec) : "");
        Shade(c);
    }
    g.EndUpdate();
}

void CT2ContactPage::StoreToImage() {
    CommitAll();
    const Grid& g = *grid_;
    for (int c = 1; c <= T::kContactCount; ++c) {
        std::uint8_t* rec = image_.data() + T::ContactAddr(c - 1);
        std::fill(rec, rec + T::kContactSize, std::uint8_t{0xFF});
        const std::string& first = g.Text(c, kColFirst);
        if (first.empty()) {
            T::kContactFormat.Set(rec, 0);
            T::kContactSystem.Set(rec, 1);
            continue;
        }
        T::kFirst.Set(rec, static_cast<std::uint16_t>(TextToTenths(first)));
        const std::string& second = g.Text(c, kColSecond);
        T::kSecond.Set(rec,
                       second.empty() ? 0xFFFF : static_cast<std::uint16_t>(TextToTenths(second)));
        T::kContactFormat.Set(rec, IsSingle(c) ? 1 : 0);
        T::kContactSystem.Set(rec, static_cast<std::uint8_t>(DecimalValue(g.Text(c, kColSystem))));
        T::kContactAlias.AsChars().Set(rec, g.Text(c, kColAlias));
    }
}

int CT2ContactPage::OpenEditor() const {
    for (int id : {kIdToneEdit, kIdAliasEdit, kIdFormatList, kIdSystemList})
        if (form_.At(id).visible) return id;
    return 0;
}

void CT2ContactPage::OnMouseDown(const Event& e) {
    if (e.button != 1 || e.row < 1 || e.row >= kRows || e.col < kColFirst || e.col > kColAlias)
        return;
    // A single-tone contact has no second tone to edit.
    if (e.col == kColSecond && IsSingle(e.row)) return;
    OpenCellEditor(e.row, e.col);
}

void CT2ContactPage::OpenCellEditor(int row, int col) {
    Grid& g = *grid_;
    g.SetRow(row);
    g.SetCol(col);
    const std::string& text = g.Text(row, col);
    int id = kIdToneEdit;
    switch (col) {
        case kColFormat:
        case kColSystem: {
            id = col == kColFormat ? kIdFormatList : kIdSystemList;
            form_.Select(id, -1);
            SelectWholeText(form_, id, text);
            break;
        }
        default:
            id = col == kColAlias ? kIdAliasEdit : kIdToneEdit;
            form_.SetText(id, text);
            form_.SelectAll(id);
            break;
    }
    edit_row_ = row;
    edit_col_ = col;
    ShowCellEditor(form_, g, id);
}

void CT2ContactPage::CommitAll() {
    CommitTone();
    CommitList(kIdFormatList, kColFormat);
    CommitList(kIdSystemList, kColSystem);
    CommitAlias();
}

void CT2ContactPage::CommitTone() {
    if (!HideCellEditor(form_, kIdToneEdit)) return;
    Grid& g = *grid_;
    const int row = edit_row_;
    const int v = ClampToneFrequency(TextToTenths(form_.Text(kIdToneEdit)));
    const std::string text = v == 0 ? std::string() : TenthsToText(v);
    const bool present = !g.Text(row, kColFirst).empty();
    if (edit_col_ == kColSecond) {
        if (present) g.SetText(row, kColSecond, text);
        return;
    }
    if (text.empty()) {
        // Contact 1 always holds a call.
        if (row == 1) return;
        for (int c = kColFirst; c <= kColAlias; ++c) g.SetText(row, c, std::string());
    } else if (!present) {
        g.SetText(row, kColFirst, text);
        g.SetText(row, kColSecond, text);
        g.SetText(row, kColFormat, std::string(g_TwoSingleList[0]));
        g.SetText(row, kColSystem, form_.At(kIdSystemList).entries.front());
        g.SetText(row, kColAlias, "2T-" + ZeroPadded(row, 2));
    } else {
        g.SetText(row, kColFirst, text);
    }
    Shade(row);
}

void CT2ContactPage::CommitList(int id, int col) {
    if (!HideCellEditor(form_, id)) return;
    const std::string choice = form_.SelectedText(id);
    if (choice.empty() || grid_->Text(edit_row_, kColFirst).empty()) return;
    grid_->SetText(edit_row_, col, choice);
    if (col == kColFormat) Shade(edit_row_);
}

void CT2ContactPage::CommitAlias() {
    if (!HideCellEditor(form_, kIdAliasEdit)) return;
    // A row without a call keeps no alias: the store would not write it.
    const std::string& text = form_.Text(kIdAliasEdit);
    if (!text.empty() && !grid_->Text(edit_row_, kColFirst).empty())
        grid_->SetText(edit_row_, kColAlias, text);
}

// ---------------------------------------------------------------------------------------------

CT2View::CT2View(RadioImage& image) : CTabbedView(kIdTab) {
    AddPage(std::make_unique<CT2SystemPage>(image));
    AddPage(std::make_unique<CT2ContactPage>(image));
}

FormLayout TwoToneLayout(const Form& form) {
    FormLayout layout = DefaultLayout(form);
    if (!form.Has(CT2ContactPage::kIdToneRange)) return layout;
    // The note goes in a row of its own above the grid.
    std::erase(layout.placed, static_cast<int>(CT2ContactPage::kIdToneRange));
    auto grid = std::find_if(layout.blocks.begin(), layout.blocks.end(),
                             [](const LayoutBlock& b) { return b.kind == BlockKind::Grid; });
    layout.blocks.insert(
        grid, LayoutBlock{.kind = BlockKind::Buttons, .ids = {CT2ContactPage::kIdToneRange}});
    return layout;
}

}  // namespace vm
