#include "app/editors/settings/dtmf_view.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/image/codecs.h"

namespace vm {

namespace {

using D = DtmfMap;

bool IsDtmfChar(char c) {
    return FilterAccepts(g_DtmfInputFilter, c);
}

// The number a code memory row gets when it is given a type without one: "%06d" of the row.
std::string RowNumberCode(int row) {
    return ZeroPadded(row, 6);
}

std::string RowAlias(int row) {
    return "DTMF" + ZeroPadded(row, 2);
}

void Erase(std::string& s, char c) {
    s.erase(std::remove(s.begin(), s.end(), c), s.end());
}

// Milliseconds in fifty-millisecond steps.
constexpr int kTimeUnitMs = 50;

// The type list's entries: empty, "None", "ANI"; the stored type is the position less one.
int TypeOfText(std::string_view text) {
    const int pos = IndexOf(g_AniList, text);
    return pos > 0 ? pos - 1 : -1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Code page

void CDtmfCodePage::Build() {
    Control& self = form_.AddEdit(
        kIdSelfId, D::kSelfId.width,
        [this](char c) { return IsDtmfChar(c) && c != GroupChar() && c != DelimiterChar(); }, true);
    self.label = "Self ID";

    const struct {
        int id;
        std::string_view label;
        std::vector<std::string> entries;
    } lists[] = {
        {kIdDecodeResponse, "Decode response", ListEntries(g_DecodeResponseList)},
        {kIdDelimiter, "Delimiter", ListEntries(g_DtmfCodeCharList)},
        {kIdGroupCode, "Group code", ListEntries(g_DtmfCodeCharList)},
        {kIdSpeed, "DTMF speed(ms)", ListEntries(g_DtmfSpeedList)},
        {kIdFirstDigit, "First digit(ms)", ListEntries(g_FirstDigitList)},
        {kIdFirstDigitDelay, "First digit delay(ms)", ListEntries(g_FirstDigitDelayList)},
    };
    for (const auto& l : lists) form_.AddList(l.id, l.entries).label = std::string(l.label);

    Control& reset = form_.AddEdit(kIdAutoReset, 3, CharsFilter(g_DigitInputFilter));
    reset.label = "Auto reset time(s)";
    form_.AddSpin(kIdAutoResetSpin,
                  {.min = 0, .max = 255, .wrap = true, .buddy = kIdAutoReset, .sets_buddy = false});
    form_.AddList(kIdHoldTime, ListEntries(g_HoldTimeList)).label = "Hold time(s)";
    form_.Add(kIdSideTone, ControlKind::Check).label = "Side tone";
    Control& beep = form_.Add(kIdBeep, ControlKind::Check);
    beep.label = "Beep";
    beep.visible = false;
    form_.AddEdit(kIdStunCode, D::kStunCode.width, IsDtmfChar, true).label = "Stun code";
    form_.AddList(kIdStunType, ListEntries(g_StunTypeList)).label = "Stun type";

    BuildGrid();

    form_.On(EventType::FocusLost, kIdAutoReset, [this](const Event&) {
        ValidateAutoReset();
        return false;
    });
    form_.On(EventType::SpinStep, kIdAutoResetSpin, [this](const Event& e) {
        const int v = OffAtZeroValue(form_.Text(kIdAutoReset));
        form_.SetText(kIdAutoReset, SpinStep(v, e.delta, 0, 255, kOffText).text);
        return false;
    });
    // Side tone and Beep exclude each other.
    form_.On(EventType::Clicked, kIdSideTone, [this](const Event&) {
        if (form_.Checked(kIdSideTone)) form_.SetChecked(kIdBeep, false);
        return false;
    });
    form_.On(EventType::Clicked, kIdBeep, [this](const Event&) {
        if (form_.Checked(kIdBeep)) form_.SetChecked(kIdSideTone, false);
        return false;
    });
    for (int id : {kIdGroupCode, kIdDelimiter})
        form_.On(EventType::SelectionChanged, id, [this](const Event& e) {
            OnCodeListChanged(e.id);
            return false;
        });
}

void CDtmfCodePage::BuildGrid() {
    Grid& g = form_.AddGrid(kIdGrid);
    grid_ = &g;
    SetUpRecordTable(g, kRows - 1, kHeaders, kWidths, kRowHeight);

    // The cell editors: the Type list, the Num edit (no Delimiter in an ANI number) and the
    // Alias edit.
    form_.AddList(kIdTypeList, ListEntries(g_AniList)).visible = false;
    form_
        .AddEdit(
            kIdNumEdit, DtmfCodeMemory::kNumLength,
            [this](char c) {
                return IsDtmfChar(c) && !(IsAniRow(edit_row_) && c == DelimiterChar());
            },
            true)
        .visible = false;
    form_.AddEdit(kIdAliasEdit, DtmfCodeMemory::kAliasLength).visible = false;

    WireCellEditors(
        form_, kIdGrid, [this](const Event& e) { OnMouseDown(e); }, [this] { CommitAll(); },
        {{kIdTypeList, [this] { CommitType(); }},
         {kIdNumEdit, [this] { CommitNum(); }},
         {kIdAliasEdit, [this] { CommitAlias(); }}});
}

// ---- Group code and Delimiter

char CDtmfCodePage::GroupChar() const {
    const std::string t = form_.SelectedText(kIdGroupCode);
    return t.empty() ? '*' : t[0];
}

char CDtmfCodePage::DelimiterChar() const {
    const std::string t = form_.SelectedText(kIdDelimiter);
    return t.empty() ? 'D' : t[0];
}

bool CDtmfCodePage::Separate(int moved) {
    const char group = GroupChar();
    const char delimiter = DelimiterChar();
    if (group != delimiter) return false;
    if (moved == kIdDelimiter)
        SelectWholeText(form_, kIdDelimiter, delimiter == '*' ? "A" : "*");
    else
        SelectWholeText(form_, kIdGroupCode, group == 'D' ? "A" : "D");
    return true;
}

void CDtmfCodePage::OnCodeListChanged(int id) {
    Separate(id == kIdGroupCode ? kIdDelimiter : kIdGroupCode);
    StripCodeChars();
}

bool CDtmfCodePage::IsAniRow(int row) const {
    return grid_->Text(row, kColType) == g_AniList[1 + DtmfCodeMemory::kTypeAni];
}

// The Delimiter leaves every ANI number (a number left empty gets the row's own), and both
// characters leave the Self ID.
void CDtmfCodePage::StripCodeChars() {
    const char delimiter = DelimiterChar();
    for (int r = 1; r < kRows; ++r) {
        if (!IsAniRow(r)) continue;
        std::string num = grid_->Text(r, kColNum);
        Erase(num, delimiter);
        grid_->SetText(r, kColNum, num.empty() ? RowNumberCode(r) : num);
    }
    std::string self = form_.Text(kIdSelfId);
    Erase(self, delimiter);
    Erase(self, GroupChar());
    form_.SetText(kIdSelfId, self);
}

// ---- the rest of the page

void CDtmfCodePage::ValidateAutoReset() {
    form_.SetText(kIdAutoReset, BoundedIntEdit(form_.Text(kIdAutoReset), 0, 255, 1,
                                               kAutoResetDefault, kContinuousText)
                                    .text);
}

void CDtmfCodePage::Fallbacks() {
    const std::pair<int, std::string_view> defaults[] = {
        {kIdSpeed, "50"},
        {kIdFirstDigitDelay, "450"},
        {kIdFirstDigit, "100"},
        {kIdDecodeResponse, "Reply"},
        {kIdStunType, "Tx Inhibit"},
    };
    for (auto [id, text] : defaults)
        if (form_.Selection(id) < 0) SelectWholeText(form_, id, text);
    if (form_.Checked(kIdSideTone)) form_.SetChecked(kIdBeep, false);
    // Equal values from the image: the Delimiter gives way, as when the Group code is chosen.
    if (Separate(kIdDelimiter)) StripCodeChars();
}

void CDtmfCodePage::LoadFromImage() {
    // What an open cell editor holds belongs to the contents being replaced.
    for (int id : {kIdTypeList, kIdNumEdit, kIdAliasEdit}) Close(id);
    const std::uint8_t* rec = D::Record(image_);
    SelectWholeText(form_, kIdSpeed, FormatInt(D::kSpeed.Get(rec)));
    SelectWholeText(form_, kIdFirstDigitDelay,
                    FormatInt(D::kFirstDigitDelay.Get(rec) * kTimeUnitMs));
    SelectWholeText(form_, kIdFirstDigit, FormatInt(D::kFirstDigit.Get(rec) * kTimeUnitMs));
    SelectWholeText(form_, kIdHoldTime, FormatInt(D::kHoldTime.Get(rec)));
    // A code with no character (or a digit) selects nothing: the store's defaults apply.
    for (auto [id, field] :
         {std::pair{kIdGroupCode, D::kGroupCode}, {kIdDelimiter, D::kDelimiter}}) {
        const char c = DtmfDigitChar(field.Get(rec));
        SelectWholeText(form_, id, c == 0 ? std::string() : std::string(1, c));
    }
    form_.SetChecked(kIdSideTone, D::kSideTone.Get(rec));
    form_.SetChecked(kIdBeep, D::kBeep.Get(rec));
    form_.SetText(kIdSelfId, D::kSelfId.AsDigits().Get(rec, DtmfDigitChar));
    form_.SetText(kIdStunCode, D::kStunCode.AsDigits().Get(rec, DtmfDigitChar));
    const int response = D::kDecodeResponse.Get(rec);
    form_.Select(kIdDecodeResponse,
                 response < static_cast<int>(g_DecodeResponseList.size()) ? response : -1);
    const int stun = D::kStunType.Get(rec);
    form_.Select(kIdStunType, stun < static_cast<int>(g_StunTypeList.size()) ? stun : -1);
    form_.SetText(kIdAutoReset, FormatInt(D::kAutoResetTime.Get(rec)));

    Grid& g = *grid_;
    g.BeginUpdate();
    for (int m = 1; m <= DtmfCodeMemory::kCount; ++m) {
        const DtmfCodeMemory mem(image_, m);
        const bool used = mem.InUse();
        g.SetText(m, kColType,
                  used ? std::string(g_AniList[static_cast<std::size_t>(1 + mem.Type())]) : "");
        g.SetText(m, kColNum, used ? mem.Num() : "");
        g.SetText(m, kColAlias, used ? mem.Alias() : "");
    }
    g.EndUpdate();
    Fallbacks();
}

void CDtmfCodePage::StoreToImage() {
    // An open cell editor and the Auto reset edit are committed as when they lose the focus.
    CommitAll();
    ValidateAutoReset();
    Fallbacks();
    std::uint8_t* rec = D::Record(image_);
    D::kSpeed.Set(rec, DecimalValue(form_.SelectedText(kIdSpeed)));
    D::kFirstDigitDelay.Set(rec,
                            DecimalValue(form_.SelectedText(kIdFirstDigitDelay)) / kTimeUnitMs);
    D::kFirstDigit.Set(rec, DecimalValue(form_.SelectedText(kIdFirstDigit)) / kTimeUnitMs);
    D::kHoldTime.Set(rec, DecimalValue(form_.SelectedText(kIdHoldTime)));
    D::kGroupCode.Set(rec, DtmfDigitValue(GroupChar()));
    D::kDelimiter.Set(rec, DtmfDigitValue(DelimiterChar()));
    D::kSideTone.Set(rec, form_.Checked(kIdSideTone));
    D::kBeep.Set(rec, form_.Checked(kIdBeep));
    D::kSelfId.AsDigits().Set(rec, form_.Text(kIdSelfId), DtmfDigitValue);
    D::kDecodeResponse.Set(rec, std::max(form_.Selection(kIdDecodeResponse), 0));
    D::kStunCode.AsDigits().Set(rec, form_.Text(kIdStunCode), DtmfDigitValue);
    D::kStunCodeEnd.Set(rec, D::kStunCodeEnd.max);
    D::kStunType.Set(rec, std::max(form_.Selection(kIdStunType), 0));
    D::kAutoResetTime.Set(rec, OffAtZeroValue(form_.Text(kIdAutoReset)));

    std::fill(image_.begin() + image_map::kDtmfCodeMemories.base,
              image_.begin() + image_map::kDtmfCodeMemories.End(), std::uint8_t{0xFF});
    for (int m = 1; m <= DtmfCodeMemory::kCount; ++m) {
        const int type = TypeOfText(grid_->Text(m, kColType));
        if (type < 0) continue;
        DtmfCodeMemory::Write(image_, m, type, grid_->Text(m, kColNum), grid_->Text(m, kColAlias));
    }
}

// ---- cell editors

int CDtmfCodePage::OpenEditor() const {
    for (int id : {kIdTypeList, kIdNumEdit, kIdAliasEdit})
        if (form_.At(id).visible) return id;
    return 0;
}

void CDtmfCodePage::OnMouseDown(const Event& e) {
    if (e.button != 1 || e.row < 1 || e.row >= kRows || e.col < kColType || e.col > kColAlias)
        return;
    OpenCellEditor(e.row, e.col);
}

void CDtmfCodePage::OpenCellEditor(int row, int col) {
    Grid& g = *grid_;
    // A row without a type is started from its type, whatever cell was chosen.
    if (g.Text(row, kColType).empty()) col = kColType;
    g.SetRow(row);
    g.SetCol(col);
    const std::string& text = g.Text(row, col);
    int id = kIdTypeList;
    if (col == kColType) {
        form_.Select(id, std::max(IndexOf(g_AniList, text), 0));
    } else {
        id = col == kColNum ? kIdNumEdit : kIdAliasEdit;
        form_.SetText(id, text);
        form_.SelectAll(id);
    }
    edit_row_ = row;
    ShowCellEditor(form_, g, id);
}

bool CDtmfCodePage::Close(int id) {
    return HideCellEditor(form_, id);
}

void CDtmfCodePage::CommitAll() {
    CommitType();
    CommitNum();
    CommitAlias();
}

void CDtmfCodePage::ClearRow(int row) {
    // Memory 1 always holds a code.
    if (row == 1) return;
    for (int c = kColType; c <= kColAlias; ++c) grid_->SetText(row, c, std::string());
}

void CDtmfCodePage::DefaultAlias(int row) {
    if (grid_->Text(row, kColAlias).empty()) grid_->SetText(row, kColAlias, RowAlias(row));
}

void CDtmfCodePage::CommitType() {
    if (!Close(kIdTypeList)) return;
    const int row = edit_row_;
    const std::string choice = form_.SelectedText(kIdTypeList);
    form_.Select(kIdTypeList, -1);
    if (choice.empty()) {
        ClearRow(row);
        return;
    }
    grid_->SetText(row, kColType, choice);
    std::string num = grid_->Text(row, kColNum);
    if (!num.empty() && IsAniRow(row)) {
        // The characters the lists show now, not those of the last store.
        Erase(num, GroupChar());
        Erase(num, DelimiterChar());
    }
    grid_->SetText(row, kColNum, num.empty() ? RowNumberCode(row) : num);
    DefaultAlias(row);
}

void CDtmfCodePage::CommitNum() {
    if (!Close(kIdNumEdit)) return;
    const std::string& text = form_.Text(kIdNumEdit);
    if (text.empty()) {
        ClearRow(edit_row_);
        return;
    }
    grid_->SetText(edit_row_, kColNum, text);
    DefaultAlias(edit_row_);
}

void CDtmfCodePage::CommitAlias() {
    if (!Close(kIdAliasEdit)) return;
    const std::string& text = form_.Text(kIdAliasEdit);
    if (!text.empty()) grid_->SetText(edit_row_, kColAlias, text);
}

// ---------------------------------------------------------------------------------------------
// PTT ID page

void CDtmfPttIdPage::Build() {
    for (std::size_t n = 0; n < kGroups.size(); ++n) {
        const Group& g = kGroups[n];
        form_.Add(g.box, ControlKind::Group).text = "PTT ID " + std::to_string(n + 1);
        Control& type = form_.AddList(g.type, ListEntries(g_PttIdTypeList));
        type.label = "Type";
        type.group = g.box;
        Control& up = form_.AddEdit(g.up, D::kPttIdCodeLength, IsDtmfChar, true);
        up.label = "Up";
        up.group = g.box;
        Control& down = form_.AddEdit(g.down, D::kPttIdCodeLength, IsDtmfChar, true);
        down.label = "Down";
        down.group = g.box;
    }
}

void CDtmfPttIdPage::LoadFromImage() {
    const std::uint8_t* rec = D::Record(image_);
    for (int n = 1; n <= static_cast<int>(kGroups.size()); ++n) {
        const Group& g = kGroups[static_cast<std::size_t>(n - 1)];
        const int type = D::PttIdType(n).Get(rec);
        form_.Select(g.type, type < static_cast<int>(g_PttIdTypeList.size()) ? type : -1);
        const std::uint8_t* codes = image_.data() + D::PttIdCodes(n);
        form_.SetText(g.up, D::kPttIdUp.AsDigits().Get(codes, DtmfDigitChar));
        form_.SetText(g.down, D::kPttIdDown.AsDigits().Get(codes, DtmfDigitChar));
    }
    SelectFirstWhereNone(form_);
}

void CDtmfPttIdPage::StoreToImage() {
    SelectFirstWhereNone(form_);
    std::uint8_t* const image = image_.data();
    std::fill(image + image_map::kDtmfPttIdCodes.base, image + image_map::kDtmfPttIdCodes.End(),
              std::uint8_t{0xFF});
    for (int n = 1; n <= static_cast<int>(kGroups.size()); ++n) {
        const Group& g = kGroups[static_cast<std::size_t>(n - 1)];
        D::PttIdType(n).Set(D::Record(image_), form_.Selection(g.type));
        std::uint8_t* codes = image + D::PttIdCodes(n);
        D::kPttIdUp.AsDigits().Set(codes, form_.Text(g.up), DtmfDigitValue);
        D::kPttIdDown.AsDigits().Set(codes, form_.Text(g.down), DtmfDigitValue);
    }
}

// ---------------------------------------------------------------------------------------------

CDtmfView::CDtmfView(RadioImage& image) : CTabbedView(kIdTab) {
    AddPage(std::make_unique<CDtmfCodePage>(image));
    AddPage(std::make_unique<CDtmfPttIdPage>(image));
}

}  // namespace vm
