#include "app/editors/channels/scan_ch_view.h"

#include <algorithm>

#include "app/editors/channels/channel_memory.h"
#include "app/image/channel_regions.h"
#include "app/image/codecs.h"

namespace vm {

namespace {
using P = ChannelPanel;
}  // namespace

CScanChView::CScanChView(RadioImage& image, const BandTables& bands)
    : image_(image), bands_(bands), panel_(form_, bands, PanelKind::ScanEdge, kIdTab) {
    form_.On(EventType::FocusGained, P::kIdRx, [this](const Event&) {
        remembered_rx_ = form_.Text(P::kIdRx);
        return false;
    });
    panel_.OnFrequencyLeft([this] { CheckRx(); }, [this] { CheckTx(); });
    // Leaving a tab: the focus goes to the tab strip (the control left runs its rule) and the
    // edge is stored.
    form_.On(EventType::TabChanging, kIdTab, [this](const Event&) {
        form_.Focus(kIdTab);
        StoreToImage();
        return false;
    });
    form_.On(EventType::TabChanged, kIdTab, [this](const Event& e) {
        record_ = std::clamp(e.index, 0, static_cast<int>(kTabCaptions.size()) - 1);
        LoadFromImage();
        return false;
    });
    // Enter anywhere checks the Rx edit.
    form_.On(EventType::KeyPressed, 0, [this](const Event& e) {
        if (e.key != Key::Enter) return false;
        CheckRx();
        return true;
    });
}

void CScanChView::OnInitialUpdate() {
    form_.SetEntries(kIdTab, kTabCaptions);
    form_.Select(kIdTab, 0);
    record_ = 0;
    LoadFromImage();
}

std::uint32_t CScanChView::Address() const {
    return ScanEdgeMap::RecordAddr(record_);
}

void CScanChView::LoadFromImage() {
    const bool shown = panel_.ShowRecord(ConstChannelRecord(image_, Address()),
                                         {.opt_signal_outside_selects_first = false,
                                          .ptt_outside_selects_first = false,
                                          .show_offset = false,
                                          .show_direction = false});
    remembered_rx_ = shown ? form_.Text(P::kIdRx) : std::string();
}

void CScanChView::StoreToImage() {
    // Never store text the focused control's check has not seen.
    panel_.CommitFocused();
    panel_.ApplyDefaultSelections();
    panel_.NormaliseOffset();
    ChannelRecord rec(image_, Address());
    if (!panel_.StoreFrequencies(rec)) {
        InitChannelRecordAt(image_, Address(), 0, bands_);
        return;
    }
    panel_.StoreFields(rec);

    // The direction kept, unless the frequencies say otherwise.
    const std::uint8_t* p = rec.data();
    const std::int64_t o = p[0x13] == 0xFF ? 0 : rec.Offset();
    const std::int64_t r = rec.Rx();
    const std::int64_t t = rec.Tx();  // an absent Tx decodes as it is stored
    const OffsetDirection d = rec.Direction();
    if (d == OffsetDirection::Split) return;
    if (r == t)
        rec.SetDirection(OffsetDirection::Simplex);
    else if (!(d == OffsetDirection::Minus && t == r - o) &&
             !(d == OffsetDirection::Plus && t == r + o))
        rec.SetDirection(OffsetDirection::Split);
}

void CScanChView::CheckRx() {
    const bool was_new = remembered_rx_.empty();
    std::int64_t f = TypedFrequency(form_.Text(P::kIdRx));
    int b = BandOfFrequency(bands_, f);
    if (f > 0 && b < 0) {
        // Out of every band: the last accepted value (its raster is not band 8's); a new edge
        // takes the value as typed, unless the record cannot hold it.
        if (!remembered_rx_.empty())
            f = TypedFrequency(remembered_rx_);
        else if (f >= kFrequencyLimit)
            f = 0;
    }
    if (f == 0) {
        form_.SetText(P::kIdRx, std::string());
        form_.SetText(P::kIdTx, std::string());
        panel_.DisableAndClear();
        remembered_rx_.clear();
        return;
    }
    panel_.EnableAll();
    f = ApplyBandRaster(static_cast<std::uint32_t>(f), b);
    panel_.RebuildStepList(f);
    const std::string text = FormatMHz(static_cast<std::uint32_t>(f));
    form_.SetText(P::kIdRx, text);
    if (form_.Text(P::kIdTx).empty()) form_.SetText(P::kIdTx, text);
    if (was_new) {
        form_.SetText(P::kIdTx, text);
        InitChannelRecordAt(image_, Address(), static_cast<std::uint32_t>(f), bands_);
        LoadFromImage();
    }
    remembered_rx_ = form_.Text(P::kIdRx);
}

void CScanChView::CheckTx() {
    if (form_.Text(P::kIdRx).empty()) {
        form_.SetText(P::kIdTx, std::string());
        return;
    }
    std::int64_t f = TypedFrequency(form_.Text(P::kIdTx));
    if (f == 0) {
        form_.SetText(P::kIdTx, panel_.remembered_tx());
        return;
    }
    int b = BandOfFrequency(bands_, f);
    if (b < 0) {
        // Out of every band: the last accepted Tx, else the value as typed; with neither in a
        // band (or storable), the Rx frequency.
        if (!panel_.remembered_tx().empty()) {
            f = TypedFrequency(panel_.remembered_tx());
            b = BandOfFrequency(bands_, f);
            if (b < 0) f = 0;
        } else if (f >= kFrequencyLimit) {
            f = 0;
        }
        if (f == 0) {
            form_.SetText(P::kIdTx, form_.Text(P::kIdRx));
            return;
        }
    }
    form_.SetText(P::kIdTx, FormatMHz(ApplyBandRaster(static_cast<std::uint32_t>(f), b)));
}

}  // namespace vm
