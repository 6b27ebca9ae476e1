#include "app/editors/channels/channel_edit_dlg.h"

#include <algorithm>
#include <utility>

#include "app/editors/channels/channel_memory.h"
#include "app/image/codecs.h"

namespace vm {

namespace {
using P = ChannelPanel;
}  // namespace

CChannelEditDlg::CChannelEditDlg(RadioImage& image, const BandTables& bands, int channel,
                                 std::string rx)
    : image_(image),
      bands_(bands),
      panel_(form_, bands, PanelKind::ChannelEdit),
      channel_(std::clamp(channel, 1, kChannelsPerBank)),
      remembered_rx_(std::move(rx)) {
    CreateNumberEdit();
    panel_.OnFrequencyLeft([this] { CheckRx(); }, [this] { CheckTx(); });
    form_.On(EventType::FocusLost, kIdChannel, [this](const Event&) {
        ChannelNumberLeft();
        return false;
    });
    form_.On(EventType::SpinStep, kIdChannelSpin, [this](const Event& e) {
        StepChannel(e.delta);
        return true;
    });
    BindKeys();
}

void CChannelEditDlg::CreateNumberEdit() {
    Control& number = form_.AddEdit(kIdChannel, 3, CharsFilter(g_DigitInputFilter));
    number.label = "Channel number";
    number.group = ChannelPanel::kGroupFrequency;
    form_.AddSpin(kIdChannelSpin, {.min = 1,
                                   .max = kChannelsPerBank,
                                   .wrap = true,
                                   .buddy = kIdChannel,
                                   .sets_buddy = false});
}

FormLayout ChannelEditLayout(const Form& form) {
    FormLayout layout = DefaultLayout(form);
    // The number edit sits in the frequency group but is created after the panel: it heads
    // the group.
    for (LayoutBlock& b : layout.blocks) {
        if (b.kind != BlockKind::Group || b.id != ChannelPanel::kGroupFrequency) continue;
        auto number = std::find_if(b.rows.begin(), b.rows.end(), [](const LayoutRow& r) {
            return !r.ids.empty() && r.ids.front() == CChannelEditDlg::kIdChannel;
        });
        if (number != b.rows.end()) std::rotate(b.rows.begin(), number, number + 1);
    }
    layout.columns = 2;
    return layout;
}

void CChannelEditDlg::BindKeys() {
    // Enter in the Rx edit checks it at once; Esc there closes the dialog. Enter and Esc do
    // nothing anywhere else.
    form_.On(EventType::KeyPressed, 0, [this](const Event& e) {
        if (e.key != Key::Enter && e.key != Key::Escape) return false;
        if (e.id == P::kIdRx) {
            if (e.key == Key::Enter)
                CheckRx();
            else
                CloseFromDialog();
        }
        return true;
    });
}

void CChannelEditDlg::OnInitialUpdate() {
    form_.SetText(kIdChannel, FormatInt(channel_));
    LoadChannel(channel_);
}

bool CChannelEditDlg::GoToRecord(int n) {
    if (n < 1 || n > kChannelsPerBank) return false;
    form_.Focus(kIdChannel);
    form_.SelectAll(kIdChannel);
    form_.TypeText(kIdChannel, FormatInt(n));
    form_.Focus(0);
    return channel_ == n;
}

void CChannelEditDlg::LoadFromImage() {
    LoadChannel(channel_);
}

void CChannelEditDlg::StoreToImage() {
    // A store never takes text the focused control's check has not seen (a just-typed Rx
    // would otherwise reach the image unsnapped, or a new channel without its default record).
    if (form_.Focused() != kIdChannel) panel_.CommitFocused();
    StoreChannel();
}

// ---------------------------------------------------------------------------------------------

void CChannelEditDlg::LoadChannel(int n) {
    channel_ = n;
    if (!panel_.ShowRecord(ChannelAt(std::as_const(image_), n), {})) {
        remembered_rx_.clear();
        return;
    }
    remembered_rx_ = form_.Text(P::kIdRx);
}

// Loading from the offset on: the fields, then the remembered Rx.
void CChannelEditDlg::ShowFromRecord() {
    panel_.ShowFields(ChannelAt(std::as_const(image_), channel_), {});
    remembered_rx_ = form_.Text(P::kIdRx);
}

void CChannelEditDlg::StoreChannel() {
    panel_.ApplyDefaultSelections();
    panel_.NormaliseOffset();
    ChannelRecord rec = ChannelAt(image_, channel_);
    if (!panel_.StoreFrequencies(rec)) {
        // An empty Rx clears the channel (the checks never leave an unstorable one).
        InitChannelRecord(image_, channel_, 0, bands_);
        return;
    }
    panel_.StoreFields(rec);
    if (const auto offset = panel_.OffsetValue())
        rec.SetOffset(*offset);
    else
        rec.ClearOffset();
}

// ---------------------------------------------------------------------------------------------
// The checks of the frequency edits

// A frequency in no band becomes the last accepted one when that lies in a band, else the
// lower limit of the first defined band; with neither, one the record cannot hold becomes the
// last accepted value (0 when there is none). Returns the band of the result.
int CChannelEditDlg::InBandOrFallback(std::int64_t& f, const std::string& remembered_text) const {
    const int b = BandOfFrequency(bands_, f);
    if (b >= 0) return b;
    const std::int64_t remembered = TypedFrequency(remembered_text);
    const int rb = BandOfFrequency(bands_, remembered);
    const int defined = FirstDefinedBand(bands_);
    if (rb >= 0) {
        f = remembered;
        return rb;
    }
    if (defined >= 0) {
        f = LowerLimit(bands_, defined);
        return defined;
    }
    if (f >= kFrequencyLimit) f = remembered < kFrequencyLimit ? remembered : 0;
    return -1;
}

void CChannelEditDlg::CheckRx() {
    const int n = channel_;
    const bool was_new = remembered_rx_.empty();
    std::int64_t f = TypedFrequency(form_.Text(P::kIdRx));
    if (n == 1) {
        // Channel 1 stays in a home band and is never emptied.
        panel_.EnableAll();
        if (HomeBandOfFrequency(bands_, f) < 0) {
            // The last accepted text when it lies in a home band, else the default home
            // band's lower limit; with neither, the last accepted text all the same.
            const int home = DefaultHomeBand(bands_);
            if (HomeBandOfFrequency(bands_, TypedFrequency(remembered_rx_)) < 0 && home >= 0)
                remembered_rx_ = FormatMHz(LowerLimit(bands_, home));
            form_.SetText(P::kIdRx, remembered_rx_);
        } else {
            auto snapped = static_cast<std::uint32_t>(f);
            SnapFrequency(snapped);
            form_.SetText(P::kIdRx, FormatMHz(snapped));
        }
        f = TypedFrequency(form_.Text(P::kIdRx));
        if (f != 0) panel_.RebuildStepList(f);
    } else if (f == 0) {
        form_.SetText(P::kIdRx, std::string());
        panel_.DisableAndClear();
    } else {
        int b = InBandOrFallback(f, remembered_rx_);
        if (f == 0) {
            form_.SetText(P::kIdRx, std::string());
            panel_.DisableAndClear();
        } else {
            panel_.EnableAll();
            f = ApplyBandRaster(static_cast<std::uint32_t>(f), b);
            panel_.RebuildStepList(f);
            form_.SetText(P::kIdRx, FormatMHz(static_cast<std::uint32_t>(f)));
        }
    }
    if (was_new && f != 0) {
        // A new channel: its default record is written at once and shown.
        form_.SetText(P::kIdTx, form_.Text(P::kIdRx));
        InitChannelRecord(image_, n, static_cast<std::uint32_t>(f), bands_);
        ShowFromRecord();
    }
    remembered_rx_ = form_.Text(P::kIdRx);
}

void CChannelEditDlg::CheckTx() {
    std::int64_t f = TypedFrequency(form_.Text(P::kIdTx));
    if (channel_ == 1) {
        if (HomeBandOfFrequency(bands_, f) < 0) {
            const int home = DefaultHomeBand(bands_);
            if (HomeBandOfFrequency(bands_, TypedFrequency(panel_.remembered_tx())) < 0 &&
                home >= 0)
                form_.SetText(P::kIdTx, FormatMHz(LowerLimit(bands_, home)));
            else
                form_.SetText(P::kIdTx, panel_.remembered_tx());
            return;
        }
        auto snapped = static_cast<std::uint32_t>(f);
        SnapFrequency(snapped);
        form_.SetText(P::kIdTx, FormatMHz(snapped));
        panel_.RememberTx();
        return;
    }
    if (f == 0) {
        // A channel's Tx cannot be emptied here (and one that was empty stays empty).
        form_.SetText(P::kIdTx, panel_.remembered_tx());
        return;
    }
    const int b = InBandOrFallback(f, panel_.remembered_tx());
    if (f == 0) {
        form_.SetText(P::kIdTx, panel_.remembered_tx());
        return;
    }
    form_.SetText(P::kIdTx, FormatMHz(ApplyBandRaster(static_cast<std::uint32_t>(f), b)));
    panel_.RememberTx();
}

// ---------------------------------------------------------------------------------------------
// Stepping through the channels

void CChannelEditDlg::ChannelNumberLeft() {
    const std::int64_t typed = ParseScaled(form_.Text(kIdChannel), 0).value_or(0);
    if (typed == channel_) return;
    StoreChannel();
    const int n = static_cast<int>(std::clamp<std::int64_t>(typed, 1, kChannelsPerBank));
    form_.SetText(kIdChannel, FormatInt(n));
    LoadChannel(n);
}

void CChannelEditDlg::StepChannel(int delta) {
    StoreToImage();
    int n = channel_ + delta;
    if (n < 1) n = kChannelsPerBank;
    if (n > kChannelsPerBank) n = 1;
    form_.SetText(kIdChannel, FormatInt(n));
    LoadChannel(n);
}

}  // namespace vm
