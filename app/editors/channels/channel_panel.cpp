#include "app/editors/channels/channel_panel.h"

#include <algorithm>
#include <utility>

#include "app/editors/channels/channel_memory.h"
#include "app/image/codecs.h"

namespace vm {

std::int64_t TypedFrequency(std::string_view text) {
    const auto v = ParseScaled(text, 5);
    return v && *v > 0 ? *v : 0;
}

int BandOfFrequency(const BandTables& bands, std::int64_t f, Bank bank) {
    if (f <= 0 || f >= kFrequencyLimit) return -1;
    return FindBand(bands, static_cast<std::uint32_t>(f), bank);
}

int HomeBandOfFrequency(const BandTables& bands, std::int64_t f) {
    if (f <= 0 || f >= kFrequencyLimit) return -1;
    return HomeBandOf(bands, static_cast<std::uint32_t>(f));
}

std::uint32_t LowerLimit(const BandTables& bands, int b, Bank bank) {
    return static_cast<std::uint32_t>(std::max(BandLimitsOf(bands, b, bank).lower, 0));
}

namespace {

using P = ChannelPanel;

struct Field {
    int id;
    ControlKind kind;
    const char* label;
    int group;
    std::size_t limit = 0;
};

// The group boxes, in window order.
constexpr std::pair<int, const char*> kGroups[] = {
    {P::kGroupFrequency, "Frequency"}, {P::kGroupTone, "Tone"},
    {P::kGroupSignaling, "Signaling"}, {P::kGroupChannel, "Channel"},
    {P::kGroupFunctions, "Functions"}, {P::kGroupBackup, "Backup"},
};

// In dialog order.
constexpr Field kFields[] = {
    {P::kIdRx, ControlKind::Edit, "Rx frequency(MHz)", P::kGroupFrequency, 9},
    {P::kIdTx, ControlKind::Edit, "Tx frequency(MHz)", P::kGroupFrequency, 9},
    {P::kIdName, ControlKind::Edit, "Name", P::kGroupFrequency, 6},
    {P::kIdCtcss, ControlKind::EditCombo, "CTCSS tone", P::kGroupTone, 5},
    {P::kIdDcs, ControlKind::EditCombo, "DCS code", P::kGroupTone, 3},
    {P::kIdPolarity, ControlKind::DropList, "DCS polarity", P::kGroupTone},
    {P::kIdDecode, ControlKind::DropList, "Decode type", P::kGroupTone},
    {P::kIdOptSignal, ControlKind::DropList, "Option signaling", P::kGroupSignaling},
    {P::kIdSignalDecode, ControlKind::DropList, "Siganling decode", P::kGroupSignaling},
    {P::kIdPttId, ControlKind::DropList, "PTT ID", P::kGroupSignaling},
    {P::kIdSqlMode, ControlKind::DropList, "SQL mode", P::kGroupSignaling},
    {P::kIdTxStop, ControlKind::DropList, "Tx stop", P::kGroupChannel},
    {P::kIdReverseBackup, ControlKind::Check, "Reverse", P::kGroupBackup},
    {P::kIdEmphasis, ControlKind::Check, "Emphasis", P::kGroupFunctions},
    {P::kIdCompander, ControlKind::Check, "Compander", P::kGroupFunctions},
    {P::kIdScrambler, ControlKind::Check, "Scrambler", P::kGroupFunctions},
    {P::kIdReverse, ControlKind::Check, "Reverse", P::kGroupFunctions},
    {P::kIdTalkAround, ControlKind::Check, "Talk around", P::kGroupFunctions},
    {P::kIdBeatShift, ControlKind::Check, "Beat shift", P::kGroupFunctions},
    {P::kIdAm, ControlKind::Check, "AM", P::kGroupFunctions},
    {P::kIdBandwidth, ControlKind::DropList, "Bandwidth", P::kGroupChannel},
    {P::kIdScan, ControlKind::DropList, "Scan", P::kGroupChannel},
    {P::kIdTxPower, ControlKind::DropList, "Tx power", P::kGroupChannel},
    {P::kIdBusyLock, ControlKind::DropList, "Busy lock", P::kGroupChannel},
    {P::kIdDisplayType, ControlKind::DropList, "Display type", P::kGroupChannel},
    {P::kIdStep, ControlKind::DropList, "Frequency step", P::kGroupFrequency},
    {P::kIdOffsetDir, ControlKind::DropList, "Offset direction", P::kGroupFrequency},
    {P::kIdOffset, ControlKind::Edit, "Offset freq(MHz)", P::kGroupFrequency, 8},
};

template <std::size_t N>
std::vector<std::string> Entries(const OptionList<N>& list) {
    return {list.begin(), list.end()};
}

std::vector<std::string> SignalDecodeEntries() {
    std::vector<std::string> e;
    for (int i = 1; i <= 16; ++i) e.push_back(FormatInt(i));
    return e;
}

// The two bytes of a tone or code as a 16-bit number, printed in hexadecimal and read back as
// a decimal integer: the BCD digits, and 0 when the first digit is no decimal digit.
int HexReadAsDecimal(const std::uint8_t* p) {
    return static_cast<int>(ParseScaled(FormatHex(GetLe16(p)), 0).value_or(0));
}

int SelectionOr0(const Form& form, int id) {
    return std::max(form.Selection(id), 0);
}

}  // namespace

ChannelPanel::ChannelPanel(Form& form, const BandTables& bands, PanelKind kind, int tab_strip)
    : form_(form), bands_(bands), kind_(kind) {
    if (tab_strip != 0) form_.Add(tab_strip, ControlKind::Tab).selects_records = true;
    Build();
    Bind();
}

void ChannelPanel::Build() {
    const CharFilter freq = CharsFilter(g_FreqInputFilter);
    for (auto [id, caption] : kGroups) form_.Add(id, ControlKind::Group).text = caption;
    // Hidden in every editor: the backup bit is loaded and stored only.
    form_.At(kGroupBackup).visible = false;
    for (const Field& f : kFields) {
        Control& c = form_.Add(f.id, f.kind);
        c.label = f.label;
        c.limit = f.limit;
        c.group = f.group;
        ids_.push_back(f.id);
    }
    form_.At(kIdRx).filter = freq;
    form_.At(kIdTx).filter = freq;
    form_.At(kIdOffset).filter = freq;
    Control& name = form_.At(kIdName);
    name.filter = IsNameChar;
    name.upper_case = true;
    form_.At(kIdCtcss).filter = CharsFilter("0123456789.\b");
    for (int id : {kIdRx, kIdTx, kIdOffset, kIdCtcss}) form_.At(id).one_point = true;
    form_.At(kIdDcs).filter = CharsFilter(g_DigitInputFilter);

    form_.SetEntries(kIdCtcss, g_CtcssToneTable);
    form_.SetEntries(kIdDcs, g_DcsCodeTable);
    form_.SetEntries(kIdPolarity, g_DcsPolarityList);
    form_.SetEntries(kIdDecode, g_ToneModeList);
    form_.SetEntries(kIdOptSignal, g_OptSignalList);
    form_.SetEntries(kIdSignalDecode, SignalDecodeEntries());
    form_.SetEntries(kIdPttId, g_PttIdList);
    form_.SetEntries(kIdSqlMode, std::vector<std::string>{std::string(g_SqlModeList[0])});
    form_.SetEntries(kIdTxStop, g_OffOnList);
    form_.SetEntries(kIdBandwidth, g_BandwidthList);
    form_.SetEntries(kIdScan, g_ScanAddList);
    form_.SetEntries(kIdTxPower, g_TxPowerList);
    form_.SetEntries(kIdBusyLock, g_BusyLockList);
    form_.SetEntries(kIdDisplayType, g_DisplayTypeList);
    form_.SetEntries(kIdStep, g_StepList);
    form_.SetEntries(kIdOffsetDir, g_OffsetDirList);

    std::vector<int> hidden;
    switch (kind_) {
        case PanelKind::ChannelEdit:
            hidden = {kIdTxStop, kIdReverseBackup, kIdStep, kIdOffsetDir, kIdOffset};
            break;
        case PanelKind::Vfo:
            hidden = {kIdTx, kIdName, kIdScan, kIdDisplayType, kIdTxStop, kIdReverseBackup};
            form_.At(kIdRx).label = "Rx frequency (MHz)";
            form_.At(kIdTx).label = "Tx frequency (MHz)";
            form_.At(kIdBusyLock).label = "Busy lcok";
            break;
        case PanelKind::ScanEdge:
            hidden = {kIdTxStop, kIdReverseBackup, kIdStep, kIdOffsetDir, kIdOffset};
            break;
    }
    if (kind_ != PanelKind::ChannelEdit) {
        form_.At(kIdDecode).label = "Deocde type";
        form_.At(kIdReverseBackup).label = "Reverse backup";
    }
    for (int id : hidden) form_.At(id).visible = false;
}

void ChannelPanel::Bind() {
    form_.On(EventType::FocusLost, kIdCtcss, [this](const Event&) {
        form_.SetText(kIdCtcss, NormaliseCtcssText(form_.Text(kIdCtcss)));
        return false;
    });
    form_.On(EventType::FocusLost, kIdDcs, [this](const Event&) {
        form_.SetText(kIdDcs, NormaliseDcsText(form_.Text(kIdDcs)));
        return false;
    });
    form_.On(EventType::FocusLost, kIdOffset, [this](const Event&) {
        NormaliseOffset();
        return false;
    });
    form_.On(EventType::SelectionChanged, kIdDecode, [this](const Event&) {
        RebuildSqlModes();
        return false;
    });
    form_.On(EventType::SelectionChanged, kIdOptSignal, [this](const Event&) {
        RebuildSqlModes();
        ApplyDependentStates();
        return false;
    });
    form_.On(EventType::SelectionChanged, kIdOffsetDir, [this](const Event&) {
        ApplyDependentStates();
        return false;
    });
    // "Reverse" and "Talk around" exclude each other.
    for (auto [id, other] : {std::pair{kIdReverse, kIdTalkAround}, {kIdTalkAround, kIdReverse}}) {
        form_.On(EventType::Clicked, id, [this, id = id, other = other](const Event&) {
            if (form_.Checked(id)) form_.SetChecked(other, false);
            return false;
        });
    }
}

void ChannelPanel::OnFrequencyLeft(std::function<void()> check_rx, std::function<void()> check_tx) {
    form_.On(EventType::FocusGained, kIdTx, [this](const Event&) {
        remembered_tx_ = form_.Text(kIdTx);
        return false;
    });
    form_.On(EventType::FocusLost, kIdRx, [check = std::move(check_rx)](const Event&) {
        check();
        return false;
    });
    form_.On(EventType::FocusLost, kIdTx, [check = std::move(check_tx)](const Event&) {
        check();
        return false;
    });
}

// ---------------------------------------------------------------------------------------------

void ChannelPanel::SelectExact(int id, std::string_view text) {
    const auto& entries = form_.At(id).entries;
    const auto it = std::find(entries.begin(), entries.end(), text);
    form_.Select(id, it == entries.end() ? -1 : static_cast<int>(it - entries.begin()));
}

void ChannelPanel::ApplyDefaultSelections() {
    for (int id : ids_) {
        if (form_.At(id).kind != ControlKind::DropList || form_.Selection(id) >= 0) continue;
        if (id == kIdTxPower)
            form_.Select(id, 3);
        else if (id == kIdStep)
            // By its text: in band 8's shorter list the seventh entry is "30".
            SelectExact(id, kDefaultStep);
        else
            form_.Select(id, 0);
    }
}

void ChannelPanel::NormaliseOffset() {
    const std::int64_t v = ParseScaled(form_.Text(kIdOffset), 5).value_or(0);
    std::uint32_t f = kDefaultOffsetUhf;
    if (v >= 0 && v <= 5'000'000) {
        f = static_cast<std::uint32_t>(v);
        SnapFrequency(f);
    }
    form_.SetText(kIdOffset, FormatMHz(f));
}

std::optional<std::uint32_t> ChannelPanel::OffsetValue() const {
    const std::string& text = form_.Text(kIdOffset);
    if (text.empty()) return std::nullopt;
    const std::int64_t v = ParseScaled(text, 5).value_or(0);
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, kFrequencyLimit - 1));
}

void ChannelPanel::RebuildStepList(std::int64_t f) {
    const std::string previous = form_.SelectedText(kIdStep);
    if (BandOfFrequency(bands_, f) == 8)
        form_.SetEntries(kIdStep, kBand8Steps);
    else
        form_.SetEntries(kIdStep, g_StepList);
    SelectExact(kIdStep, previous);
    if (form_.Selection(kIdStep) < 0) SelectExact(kIdStep, kDefaultStep);
}

void ChannelPanel::RebuildSqlModes() {
    const std::string previous = form_.SelectedText(kIdSqlMode);
    const int decode = form_.Selection(kIdDecode);
    const bool codec = decode == 2 || decode == 3;  // "Ctcss Codec", "Dcs Codec"
    const bool signalling = form_.Selection(kIdOptSignal) > 0;
    std::vector<std::string> modes = {std::string(g_SqlModeList[0])};
    if (codec && signalling) {
        modes = Entries(g_SqlModeList);
    } else if (codec) {
        modes.emplace_back(g_SqlModeList[1]);
    } else if (signalling) {
        modes.emplace_back(g_SqlModeList[2]);
    }
    form_.SetEntries(kIdSqlMode, std::move(modes));
    SelectExact(kIdSqlMode, previous);
    if (form_.Selection(kIdSqlMode) < 0) form_.Select(kIdSqlMode, 0);
}

void ChannelPanel::ApplyDependentStates() {
    const int dir = form_.Selection(kIdOffsetDir);
    form_.SetEnabled(kIdOffset, dir == 1 || dir == 2);
    form_.SetEnabled(kIdSignalDecode, form_.Selection(kIdOptSignal) == 1);  // "2 Tone"
}

void ChannelPanel::EnableAll() {
    for (int id : ids_) form_.SetEnabled(id, true);
    ApplyDependentStates();
}

void ChannelPanel::DisableAndClear() {
    for (int id : ids_) {
        if (id == kIdRx) continue;
        form_.SetEnabled(id, false);
        switch (form_.At(id).kind) {
            case ControlKind::Edit:
                form_.SetText(id, std::string());
                break;
            case ControlKind::EditCombo:
                form_.Select(id, -1);
                form_.SetText(id, std::string());
                break;
            case ControlKind::DropList:
                form_.Select(id, -1);
                break;
            case ControlKind::Check:
                form_.SetChecked(id, false);
                break;
            default:
                break;
        }
    }
}

void ChannelPanel::CommitFocused() {
    const int id = form_.Focused();
    if (id == 0) return;
    Form::ActionScope scope(form_);
    form_.Raise({.type = EventType::FocusLost, .id = id});
}

// ---------------------------------------------------------------------------------------------

bool ChannelPanel::ShowRecord(ConstChannelRecord rec, const LoadRules& rules) {
    if (rec.IsEmpty()) {
        form_.SetText(kIdRx, std::string());
        DisableAndClear();
        return false;
    }
    EnableAll();
    form_.SetText(kIdRx, FormatMHz(rec.Rx()));
    RebuildStepList(rec.Rx());
    form_.SetText(kIdTx, rec.TxAbsent() ? std::string() : FormatMHz(rec.Tx()));
    // The record's own Tx is the last accepted one (the Tx edit may keep the focus while the
    // record changes under it).
    RememberTx();
    ShowFields(rec, rules);
    return true;
}

bool ChannelPanel::StoreFrequencies(ChannelRecord rec) const {
    auto storable = [](std::int64_t f) { return f > 0 && f < kFrequencyLimit; };
    const std::int64_t rx = TypedFrequency(form_.Text(kIdRx));
    if (!storable(rx)) return false;
    rec.SetRx(static_cast<std::uint32_t>(rx));
    const std::int64_t tx = TypedFrequency(form_.Text(kIdTx));
    if (storable(tx))
        rec.SetTx(static_cast<std::uint32_t>(tx));
    else
        rec.ClearTx();
    return true;
}

void ChannelPanel::ShowFields(ConstChannelRecord rec, const LoadRules& rules) {
    const std::uint8_t* p = rec.data();
    if (rules.show_offset)
        form_.SetText(kIdOffset, p[0x13] == 0xFF ? std::string() : FormatMHz(rec.Offset()));
    form_.SetText(kIdCtcss, TenthsToText(HexReadAsDecimal(p + ChannelRecord::kCtcss)));
    form_.SetText(kIdDcs, FormatDcs(HexReadAsDecimal(p + ChannelRecord::kDcs) & 0x3FFF));

    auto pick = [this](int id, int value, bool outside_selects_first = false) {
        const int n = static_cast<int>(form_.At(id).entries.size());
        form_.Select(id, value < n ? value : (outside_selects_first ? 0 : -1));
    };
    pick(kIdPolarity, rec.DcsPolarity());
    pick(kIdDecode, rec.DecodeType());
    pick(kIdOptSignal, rec.OptSignal(), rules.opt_signal_outside_selects_first);
    pick(kIdSignalDecode, rec.DecodeCode(), true);
    pick(kIdPttId, rec.PttId(), rules.ptt_outside_selects_first);
    pick(kIdTxStop, rec.TxStop());
    pick(kIdBandwidth, rec.Bandwidth());
    pick(kIdScan, rec.Scan());
    pick(kIdTxPower, rec.TxPower());
    pick(kIdBusyLock, rec.BusyLock());
    pick(kIdDisplayType, rec.DisplayType());
    form_.SetChecked(kIdReverseBackup, rec.ReverseBackup() != 0);
    form_.SetChecked(kIdEmphasis, rec.Emphasis() != 0);
    form_.SetChecked(kIdCompander, rec.Compander() != 0);
    form_.SetChecked(kIdScrambler, rec.Scrambler() != 0);
    form_.SetChecked(kIdReverse, rec.Reverse() != 0);
    form_.SetChecked(kIdTalkAround, rec.TalkAround() != 0);
    form_.SetChecked(kIdBeatShift, rec.BeatShift() != 0);
    form_.SetChecked(kIdAm, rec.Am() != 0);
    // Any index past the list (13 to 15) shows "12.5".
    SelectExact(kIdStep, StepText(rec.Step()));
    if (rules.show_direction) {
        const OffsetDirection d = rec.Direction();
        form_.Select(kIdOffsetDir, d == OffsetDirection::Minus  ? 1
                                   : d == OffsetDirection::Plus ? 2
                                                                : 0);
    }
    std::string name;
    for (std::size_t i = 0; i < kChannelNameLength; ++i) {
        const std::uint8_t b = p[ChannelRecord::kName + i];
        if (b < 0x20 || b > 0x7E) break;
        name.push_back(static_cast<char>(b));
    }
    form_.SetText(kIdName, std::move(name));

    RebuildSqlModes();
    SelectExact(kIdSqlMode, SqlModeText(rec.SqlMode()));
    if (form_.Selection(kIdSqlMode) < 0) form_.Select(kIdSqlMode, 0);

    ApplyDefaultSelections();
    NormaliseOffset();
    if (form_.Checked(kIdReverse)) form_.SetChecked(kIdTalkAround, false);
    ApplyDependentStates();
}

void ChannelPanel::StoreFields(ChannelRecord rec) const {
    std::uint8_t* p = rec.data();
    const Form& f = form_;
    rec.SetCtcss(std::clamp(TextToTenths(f.Text(kIdCtcss)), 0, 9999));
    rec.SetDcs(static_cast<int>(
        std::clamp<std::int64_t>(ParseScaled(f.Text(kIdDcs), 0).value_or(0), 0, 9999)));
    auto check = [&f](int id) { return f.Checked(id) ? 1 : 0; };
    p[ChannelRecord::kFlagsC] = static_cast<std::uint8_t>(
        SelectionOr0(f, kIdTxPower) << 6 | check(kIdBeatShift) << 5 | check(kIdReverseBackup) << 4 |
        SelectionOr0(f, kIdDisplayType) << 2 | SelectionOr0(f, kIdScan));
    p[ChannelRecord::kFlagsD] = static_cast<std::uint8_t>(
        SelectionOr0(f, kIdBandwidth) << 6 | check(kIdScrambler) << 5 | check(kIdCompander) << 4 |
        check(kIdEmphasis) << 3 | SqlModeFromText(f.SelectedText(kIdSqlMode)));
    std::uint8_t& e = p[ChannelRecord::kFlagsE];
    e = static_cast<std::uint8_t>((e & 0xC0) | check(kIdReverse) << 5 | check(kIdTalkAround) << 4 |
                                  StepFromText(f.SelectedText(kIdStep)));
    p[ChannelRecord::kFlagsF] = static_cast<std::uint8_t>(
        SelectionOr0(f, kIdPolarity) << 6 | SelectionOr0(f, kIdBusyLock) << 4 |
        SelectionOr0(f, kIdTxStop) << 3 | SelectionOr0(f, kIdDecode));
    const int code = static_cast<int>(ParseScaled(f.SelectedText(kIdSignalDecode), 0).value_or(0));
    p[ChannelRecord::kFlagsS] = static_cast<std::uint8_t>(
        SelectionOr0(f, kIdOptSignal) << 6 | check(kIdAm) << 4 | (std::max(code - 1, 0) & 0x0F));
    p[ChannelRecord::kPttId] = static_cast<std::uint8_t>(SelectionOr0(f, kIdPttId));
    rec.SetName(std::string_view(f.Text(kIdName)).substr(0, kChannelNameLength));
}

}  // namespace vm
