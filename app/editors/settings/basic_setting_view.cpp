#include "app/editors/settings/basic_setting_view.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "app/image/channel_record.h"
#include "app/image/codecs.h"

namespace vm {

namespace {

using B = BasicSettingsMap;
using O = COptionPage;

// A drop-down list whose stored value is its position, in a whole byte (bits 7-0) or in a bit
// field of a byte. The field's name is the list's label.
struct ListField {
    int id;
    std::span<const std::string_view> entries;
    SettingField field;
    bool hidden;
};

std::vector<std::string> SpanExitDelayEntries() {
    std::vector<std::string> e;
    for (int i = 0; i <= 50; ++i) e.push_back(TenthsToText(i));
    return e;
}

// In dialog order; Auto power off, Backlight Brightness, the priority channels, Volume and the
// scrambler have rules of their own.
const ListField kLists[] = {
    {O::kIdSqlLeft, g_SqlLevelList, B::kSqlLeft, false},
    {O::kIdSqlRight, g_SqlLevelList, B::kSqlRight, false},
    {O::kIdAutoAm, g_OffAutoList, B::kAutoAm, false},
    {O::kIdAniDisplay, g_OffOnList, B::kAniDisplay, false},
    {O::kIdHyperChannel, g_ManualAutoList, B::kHyperChannel, false},
    {O::kIdSpanExitDelay, {}, B::kSpanExitDelay, false},
    {O::kIdRightKey, g_RightKeyList, B::kRightKey, false},
    {O::kIdAutoContact, g_AutoContactList, B::kAutoContact, false},
    {O::kIdTbst, g_TbstList, B::kTbst, false},
    {O::kIdSpanTransit, g_OffOnList, B::kSpanTransit, true},
    {O::kIdAmFunction, g_OffOnList, B::kAmFunction, true},
    {O::kIdSte, g_SteList, B::kSte, true},
    {O::kIdBeep, g_OffOnList, B::kBeep, false},
    {O::kIdSelentMode, g_SelentModeList, B::kSelentMode, false},
    {O::kIdKeyLock, g_ManualAutoList, B::kKeyLock, false},
    {O::kIdPttLock, g_PttLockList, B::kPttLock, false},
    {O::kIdAutoTransfer, g_OffOnList, B::kAutoTransfer, false},
    {O::kIdScanMode, g_ScanModeList, B::kScanMode, false},
    {O::kIdScanResume, g_ScanResumeList, B::kScanResume, false},
    {O::kIdBacklightColor, g_BacklightColorList, B::kBacklightColor, true},
};

// "%G" of tenths: 5 -> "0.5", 10 -> "1", 15 -> "1.5".
std::string TenthsG(int tenths) {
    return tenths % 10 == 0 ? FormatInt(tenths / 10) : TenthsToText(tenths);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Option page

void COptionPage::Build() {
    for (const ListField& f : kLists) {
        Control& c = form_.AddList(f.id);
        c.label = std::string(f.field.name);
        c.visible = !f.hidden;
        form_.SetEntries(
            f.id, f.id == kIdSpanExitDelay ? SpanExitDelayEntries() : ListEntries(f.entries));
    }
    Control& power = form_.AddList(kIdAutoPowerOff, ListEntries(g_AutoPowerOffList));
    power.label = std::string(B::kAutoPowerOff.name);
    Control& bright = form_.AddList(kIdBrightness, ListEntries(g_BrightnessList));
    bright.label = std::string(B::kBacklightBrightness.name);
    Control& left = form_.AddList(kIdLeftPriority);
    left.label = std::string(B::kLeftPriorityCh.name);
    left.visible = false;
    Control& right = form_.AddList(kIdRightPriority);
    right.label = std::string(B::kRightPriorityCh.name);
    right.visible = false;
    FillPriorityLists();

    Control& scr = form_.AddEdit(kIdScrambler, 4, CharsFilter(g_DigitInputFilter));
    scr.label = std::string(B::kScrambler.name);
    Control& vol = form_.AddEdit(kIdVolume, 3, CharsFilter(g_DigitInputFilter));
    vol.label = std::string(B::kVolume.name);
    form_.AddSpin(kIdVolumeSpin, {.min = B::kVolume.min,
                                  .max = B::kVolume.max,
                                  .wrap = true,
                                  .buddy = kIdVolume,
                                  .sets_buddy = true});

    form_.On(EventType::FocusLost, kIdVolume, [this](const Event&) {
        Validate();
        return false;
    });
    form_.On(EventType::FocusLost, kIdScrambler, [this](const Event&) {
        Validate();
        return false;
    });
}

void COptionPage::FillPriorityLists() {
    for (Bank bank : {Bank::A, Bank::B}) {
        std::vector<std::string> e = {"Off"};
        for (int n = 1; n <= kChannelsPerBank; ++n) {
            const int ch = bank == Bank::A ? n : kChannelsPerBank + n;
            if (!ChannelAt(std::as_const(image_), ch).IsEmpty()) e.push_back(FormatInt(n));
        }
        form_.SetEntries(bank == Bank::A ? kIdLeftPriority : kIdRightPriority, std::move(e));
    }
}

void COptionPage::Validate() {
    const std::string& vol = form_.Text(kIdVolume);
    const int v = DecimalValue(vol);
    form_.SetText(kIdVolume, vol.empty() || !B::kVolume.InRange(v) ? FormatInt(B::kVolumeFallback)
                                                                   : FormatInt(v));
    // An out-of-range scrambler becomes the factory's.
    const std::string& scr = form_.Text(kIdScrambler);
    const int s = DecimalValue(scr);
    form_.SetText(kIdScrambler, scr.empty() || !B::kScrambler.InRange(s)
                                    ? FormatInt(*B::kScrambler.factory)
                                    : FormatInt(s));
}

void COptionPage::LoadFromImage() {
    // The channels in use are those of the image being loaded (a file opened since the page
    // was created has other channels).
    FillPriorityLists();
    // Priority channels: exactly the stored channel number, among the channels in use.
    const std::uint8_t* rec = B::Record(std::as_const(image_));
    for (auto [id, field] : {std::pair{kIdLeftPriority, B::kLeftPriorityCh},
                             std::pair{kIdRightPriority, B::kRightPriorityCh}}) {
        form_.Select(id, 0);
        const std::string want = FormatInt(field.Get(rec));
        const auto& entries = form_.At(id).entries;
        for (std::size_t i = 1; i < entries.size(); ++i)
            if (entries[i] == want) form_.Select(id, static_cast<int>(i));
    }
    for (const ListField& f : kLists) {
        const int v = f.field.Get(rec);
        form_.Select(f.id, v < static_cast<int>(form_.At(f.id).entries.size()) ? v : -1);
    }
    // A stored value that matches no entry leaves the list without a selection (entry 0 below).
    const int power = B::kAutoPowerOff.Get(rec);
    form_.Select(kIdAutoPowerOff, -1);
    form_.SelectByText(kIdAutoPowerOff, power == 0 ? "Off" : TenthsG(power));
    const int bright = B::kBacklightBrightness.Get(rec);
    form_.Select(kIdBrightness, -1);
    form_.SelectByText(kIdBrightness, OffAtZeroText(bright));
    form_.SetText(kIdVolume, FormatInt(B::kVolume.Get(rec)));
    form_.SetText(kIdScrambler, FormatInt(B::kScrambler.Get(rec)));
    SelectFirstWhereNone(form_);
    Validate();
}

void COptionPage::StoreToImage() {
    SelectFirstWhereNone(form_);
    Validate();
    std::uint8_t* rec = B::Record(image_);
    B::kLeftPriorityCh.Set(rec, DecimalValue(form_.SelectedText(kIdLeftPriority)));
    B::kRightPriorityCh.Set(rec, DecimalValue(form_.SelectedText(kIdRightPriority)));
    const auto power = ParseScaled(form_.SelectedText(kIdAutoPowerOff), 1).value_or(0);
    B::kAutoPowerOff.Set(rec, static_cast<int>(power));
    B::kBacklightBrightness.Set(rec, DecimalValue(form_.SelectedText(kIdBrightness)));
    B::kVolume.Set(rec, DecimalValue(form_.Text(kIdVolume)));
    B::kScrambler.Set(rec, DecimalValue(form_.Text(kIdScrambler)));
    for (const ListField& f : kLists) {
        const int sel = form_.Selection(f.id);
        f.field.Set(rec, sel < 0 ? 0 : sel);
    }
}

// ---------------------------------------------------------------------------------------------
// TOT page

const std::array<CTotPage::Field, 4> CTotPage::kFields = {{
    {kIdTot, kIdTotSpin, B::kTot},
    {kIdPreAlert, kIdPreAlertSpin, B::kTotPreAlert},
    {kIdRekey, kIdRekeySpin, B::kTotRekey},
    {kIdReset, kIdResetSpin, B::kTotReset},
}};

void CTotPage::Build() {
    for (const Field& f : kFields) {
        Control& c = form_.AddEdit(f.edit, 2, CharsFilter(g_DigitInputFilter));
        c.label = std::string(f.field.name);
        form_.AddSpin(f.spin, {.min = f.field.min,
                               .max = f.field.max,
                               .wrap = true,
                               .buddy = f.edit,
                               .sets_buddy = false});
        form_.On(EventType::FocusLost, f.edit, [this, &f](const Event&) {
            Validate(f);
            return false;
        });
        form_.On(EventType::SpinStep, f.spin, [this, &f](const Event& e) {
            const int v = OffAtZeroValue(form_.Text(f.edit));
            form_.SetText(f.edit, SpinStep(v, e.delta, f.field.min, f.field.max, kOffText).text);
            return false;
        });
    }
}

void CTotPage::Validate(const Field& f) {
    int v = OffAtZeroValue(form_.Text(f.edit));
    if (v < f.field.min) v = f.field.min;
    if (v > f.field.max) v = f.field.max;
    form_.SetText(f.edit, OffAtZeroText(v));
}

void CTotPage::LoadFromImage() {
    for (const Field& f : kFields) {
        form_.SetText(f.edit, FormatInt(f.field.Get(B::Record(std::as_const(image_)))));
        Validate(f);
    }
}

void CTotPage::StoreToImage() {
    for (const Field& f : kFields) {
        Validate(f);
        f.field.Set(B::Record(image_), OffAtZeroValue(form_.Text(f.edit)));
    }
}

// ---------------------------------------------------------------------------------------------
// Key page

void CKeyPage::Build() {
    for (std::size_t k = 0; k < kIds.size(); ++k) {
        Control& c = form_.AddList(kIds[k], ListEntries(g_KeyFunctionList));
        c.label = std::string(B::kKeys[k].name);
    }
}

void CKeyPage::LoadFromImage() {
    for (std::size_t k = 0; k < kIds.size(); ++k) {
        const SettingField& key = B::kKeys[k];
        int v = key.Get(B::Record(std::as_const(image_)));
        if (!key.InRange(v)) v = *key.factory;
        form_.SelectByText(kIds[k], g_KeyFunctionList[static_cast<std::size_t>(v)]);
    }
}

void CKeyPage::StoreToImage() {
    for (std::size_t k = 0; k < kIds.size(); ++k) {
        const int i = form_.Selection(kIds[k]) < 0
                          ? -1
                          : IndexOf(g_KeyFunctionList, form_.SelectedText(kIds[k]));
        B::kKeys[k].Set(B::Record(image_), i < 0 ? *B::kKeys[k].factory : i);
    }
}

// ---------------------------------------------------------------------------------------------

CBasicSettingView::CBasicSettingView(RadioImage& image) : CTabbedView(kIdTab) {
    AddPage(std::make_unique<COptionPage>(image));
    AddPage(std::make_unique<CTotPage>(image));
    AddPage(std::make_unique<CKeyPage>(image));
    // Each page stores itself when the view goes, whether it was visited or not.
    for (int i = 0; i < PageCount(); ++i) Page(i).set_stores_on_close(true);
}

}  // namespace vm
