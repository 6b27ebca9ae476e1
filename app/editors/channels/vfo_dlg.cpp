#include "app/editors/channels/vfo_dlg.h"

#include <algorithm>

#include "app/editors/channels/channel_memory.h"
#include "app/image/channel_regions.h"
#include "app/image/codecs.h"

namespace vm {

namespace {
using P = ChannelPanel;
}  // namespace

std::vector<CVfoDlg::Tab> CVfoDlg::Tabs(const BandTables& bands) {
    std::vector<Tab> tabs;
    for (int b = 0; b < kBandCount; ++b)
        if (b != kAirBand && bands.BandEnabled[static_cast<std::size_t>(b + 1)])
            tabs.push_back({std::string(g_BandNameList[static_cast<std::size_t>(b)]), b});
    if (bands.BandEnabled[10]) tabs.push_back({std::string(g_BandNameList[4]) + " R", 9});
    if (bands.BandEnabled[11]) {
        const std::string_view name = bands.BandEnabled[6] ? g_BandNameList[5] : g_BandNameList[7];
        tabs.push_back({std::string(name) + " R", 10});
    }
    return tabs;
}

CVfoDlg::CVfoDlg(RadioImage& image, const BandTables& bands)
    : image_(image), bands_(bands), panel_(form_, bands, PanelKind::Vfo, kIdTab) {
    panel_.OnFrequencyLeft([this] { CheckFrequency(P::kIdRx); },
                           [this] { CheckFrequency(P::kIdTx); });
    form_.On(EventType::TabChanging, kIdTab, [this](const Event&) {
        StoreToImage();
        return false;
    });
    form_.On(EventType::TabChanged, kIdTab, [this](const Event& e) {
        record_ = e.index >= 0 && e.index < static_cast<int>(tabs_.size())
                      ? tabs_[static_cast<std::size_t>(e.index)].record
                      : -1;
        LoadFromImage();
        return false;
    });
    // Enter and Esc do nothing: the dialog closes with its close box only.
    form_.On(EventType::KeyPressed, 0,
             [](const Event& e) { return e.key == Key::Enter || e.key == Key::Escape; });
}

CVfoDlg::~CVfoDlg() {
    OnDestroy();
}

void CVfoDlg::OnInitialUpdate() {
    tabs_ = Tabs(bands_);
    std::vector<std::string> captions;
    for (const Tab& t : tabs_) captions.push_back(t.caption);
    form_.SetEntries(kIdTab, std::move(captions));
    form_.Select(kIdTab, tabs_.empty() ? -1 : 0);
    record_ = tabs_.empty() ? -1 : tabs_.front().record;
    LoadFromImage();
}

void CVfoDlg::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    StoreToImage();
}

BandLimits CVfoDlg::TabLimits() const {
    return record_ < kBankBFirst ? BandLimitsOf(bands_, record_)
                                 : BandLimitsOf(bands_, record_ - kBankBFirst, Bank::B);
}

void CVfoDlg::CheckFrequency(int id) {
    if (record_ < 0) return;
    std::int64_t f = TypedFrequency(form_.Text(id));
    // Outside the tab's band (the 150M tab also takes the air band): its lower limit.
    if (!VfoAccepts(bands_, record_, f)) f = std::max(TabLimits().lower, 0);
    const auto checked = ApplyBandRaster(static_cast<std::uint32_t>(f), BandOfFrequency(bands_, f));
    if (id == P::kIdRx) panel_.RebuildStepList(checked);
    form_.SetText(id, FormatMHz(checked));
}

void CVfoDlg::LoadFromImage() {
    if (record_ < 0) {
        // No band has a VFO to show.
        panel_.DisableAndClear();
        form_.SetText(P::kIdRx, std::string());
        form_.SetEnabled(P::kIdRx, false);
        return;
    }
    const ConstChannelRecord rec(image_, VfoMap::RecordAddr(record_));
    panel_.EnableAll();
    form_.SetText(P::kIdRx, rec.IsEmpty() ? std::string() : FormatMHz(rec.Rx()));
    panel_.RebuildStepList(rec.IsEmpty() ? 0 : rec.Rx());
    panel_.ShowFields(rec, {.opt_signal_outside_selects_first = true,
                            .ptt_outside_selects_first = false,
                            .show_offset = true,
                            .show_direction = true});
    // An empty VFO shows its band's lower limit.
    CheckFrequency(P::kIdRx);
    CheckFrequency(P::kIdTx);
}

void CVfoDlg::StoreToImage() {
    if (record_ < 0) return;
    panel_.CommitFocused();
    panel_.ApplyDefaultSelections();
    CheckFrequency(P::kIdRx);
    CheckFrequency(P::kIdTx);
    panel_.NormaliseOffset();

    ChannelRecord rec(image_, VfoMap::RecordAddr(record_));
    std::uint8_t* p = rec.data();
    const std::int64_t rx = TypedFrequency(form_.Text(P::kIdRx));
    const bool has_rx = rx > 0 && rx < kFrequencyLimit;
    if (has_rx)
        rec.SetRx(static_cast<std::uint32_t>(rx));
    else
        std::fill_n(p + ChannelRecord::kRx, 4, std::uint8_t{0xFF});
    panel_.StoreFields(rec);
    const auto offset = panel_.OffsetValue();
    if (offset)
        rec.SetOffset(*offset);
    else
        rec.ClearOffset();

    // Tx follows from the direction; a Tx that would leave Rx's band (or the record's range)
    // makes the VFO simplex.
    int dir = std::max(form_.Selection(P::kIdOffsetDir), 0);
    const std::int64_t o = offset.value_or(0);
    std::int64_t tx = dir == 1 ? rx - o : dir == 2 ? rx + o : rx;
    if (tx < 0 || tx >= kFrequencyLimit ||
        BandOfFrequency(bands_, rx) != BandOfFrequency(bands_, tx)) {
        dir = 0;
        tx = rx;
    }
    rec.SetDirection(static_cast<OffsetDirection>(dir));
    if (has_rx)
        rec.SetTx(static_cast<std::uint32_t>(tx));
    else
        rec.ClearTx();
}

}  // namespace vm
