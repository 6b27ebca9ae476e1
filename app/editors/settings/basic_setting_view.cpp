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
// field of a byte.
struct ListField {
    int id;
    std::string_view label;
    std::span<const std::string_view> entries;
    BitField field;  // over the whole image
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
    {O::kIdSqlLeft, "SQL(Left)", g_SqlLevelList, B::kSqlLeftBits, false},
    {O::kIdSqlRight, "SQL(Right)", g_SqlLevelList, B::kSqlRightBits, false},
    {O::kIdAutoAm, "Auto AM", g_OffAutoList, B::kAutoAm, false},
    {O::kIdAniDisplay, "ANI Display", g_OffOnList, B::kAniDisplay, false},
    {O::kIdHyperChannel, "Hyper Channel", g_ManualAutoList, B::kHyperChannel, false},
    {O::kIdSpanExitDelay, "Span Transit Exit Delay", {}, B::kSpanExitDelayBits, false},
    {O::kIdRightKey, "Right Function Key", g_RightKeyList, B::kRightKey, false},
    {O::kIdAutoContact, "Auto contact", g_AutoContactList, B::kAutoContact, false},
    {O::kIdTbst, "TBST Frequency(Hz)", g_TbstList, B::kTbst, false},
    {O::kIdSpanTransit, "Span Transit", g_OffOnList, B::kSpanTransit, true},
    {O::kIdAmFunction, "AM Function", g_OffOnList, B::kAmFunction, true},
    {O::kIdSte, "STE", g_SteList, B::kSte, true},
    {O::kIdBeep, "Beep", g_OffOnList, B::kBeep, false},
    {O::kIdSelentMode, "Selent mode", g_SelentModeList, B::kSelentMode, false},
    {O::kIdKeyLock, "Key lock", g_ManualAutoList, B::kKeyLock, false},
    {O::kIdPttLock, "PTT lock", g_PttLockList, B::kPttLock, false},
    {O::kIdAutoTransfer, "Auto transfer", g_OffOnList, B::kAutoTransfer, false},
    {O::kIdScanMode, "Scan mode", g_ScanModeList, B::kScanMode, false},
    {O::kIdScanResume, "Scan resume mode", g_ScanResumeList, B::kScanResume, false},
    {O::kIdBacklightColor, "Backlight Color", g_BacklightColorList, B::kBacklightColorBits, true},
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
        c.label = std::string(f.label);
        c.visible = !f.hidden;
        form_.SetEntries(
            f.id, f.id == kIdSpanExitDelay ? SpanExitDelayEntries() : ListEntries(f.entries));
    }
    Control& power = form_.AddList(kIdAutoPowerOff, ListEntries(g_AutoPowerOffList));
    power.label = "Auto power off(h)";
    Control& bright = form_.AddList(kIdBrightness, ListEntries(g_BrightnessList));
    bright.label = "Backlight Brightness";
    Control& left = form_.AddList(kIdLeftPriority);
    left.label = "Left Priority Ch";
    left.visible = false;
    Control& right = form_.AddList(kIdRightPriority);
    right.label = "Right Priority Ch";
    right.visible = false;
    FillPriorityLists();

    Control& scr = form_.AddEdit(kIdScrambler, 4, CharsFilter(g_DigitInputFilter));
    scr.label = "Scarmbler(2600 - 4000Hz)";
    Control& vol = form_.AddEdit(kIdVolume, 3, CharsFilter(g_DigitInputFilter));
    vol.label = "Volume";
    form_.AddSpin(kIdVolumeSpin,
                  {.min = 1, .max = 15, .wrap = true, .buddy = kIdVolume, .sets_buddy = true});

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
    form_.SetText(kIdVolume, vol.empty() || v < B::kVolumeMin || v > B::kVolumeMax
                                 ? FormatInt(B::kVolumeDefault)
                                 : FormatInt(v));
    const std::string& scr = form_.Text(kIdScrambler);
    const int s = DecimalValue(scr);
    form_.SetText(kIdScrambler, scr.empty() || s < B::kScramblerMin || s > B::kScramblerMax
                                    ? FormatInt(B::kScramblerDefault)
                                    : FormatInt(s));
}

void COptionPage::LoadFromImage() {
    // The channels in use are those of the image being loaded (a file opened since the page
    // was created has other channels).
    FillPriorityLists();
    // Priority channels: exactly the stored channel number, among the channels in use.
    for (auto [id, addr] : {std::pair{kIdLeftPriority, B::kLeftPriorityCh},
                            std::pair{kIdRightPriority, B::kRightPriorityCh}}) {
        form_.Select(id, 0);
        const std::string want = FormatInt(GetLe16(image_.data() + addr));
        const auto& entries = form_.At(id).entries;
        for (std::size_t i = 1; i < entries.size(); ++i)
            if (entries[i] == want) form_.Select(id, static_cast<int>(i));
    }
    for (const ListField& f : kLists) {
        const int v = f.field.Get(image_.data());
        form_.Select(f.id, v < static_cast<int>(form_.At(f.id).entries.size()) ? v : -1);
    }
    // A stored value that matches no entry leaves the list without a selection (entry 0 below).
    const int power = image_[B::kAutoPowerOff];
    form_.Select(kIdAutoPowerOff, -1);
    form_.SelectByText(kIdAutoPowerOff, power == 0 ? "Off" : TenthsG(power));
    const int bright = image_[B::kBacklightBrightness];
    form_.Select(kIdBrightness, -1);
    form_.SelectByText(kIdBrightness, OffAtZeroText(bright));
    form_.SetText(kIdVolume, FormatInt(image_[B::kVolume]));
    form_.SetText(kIdScrambler, FormatInt(GetLe16(image_.data() + B::kScrambler)));
    SelectFirstWhereNone(form_);
    Validate();
}

void COptionPage::StoreToImage() {
    SelectFirstWhereNone(form_);
    Validate();
    PutLe16(image_.data() + B::kLeftPriorityCh,
            static_cast<std::uint16_t>(DecimalValue(form_.SelectedText(kIdLeftPriority))));
    PutLe16(image_.data() + B::kRightPriorityCh,
            static_cast<std::uint16_t>(DecimalValue(form_.SelectedText(kIdRightPriority))));
    const auto power = ParseScaled(form_.SelectedText(kIdAutoPowerOff), 1).value_or(0);
    image_[B::kAutoPowerOff] = static_cast<std::uint8_t>(power);
    image_[B::kBacklightBrightness] =
        static_cast<std::uint8_t>(DecimalValue(form_.SelectedText(kIdBrightness)));
    image_[B::kVolume] = static_cast<std::uint8_t>(DecimalValue(form_.Text(kIdVolume)));
    PutLe16(image_.data() + B::kScrambler,
            static_cast<std::uint16_t>(DecimalValue(form_.Text(kIdScrambler))));
    for (const ListField& f : kLists) {
        const int sel = form_.Selection(f.id);
        f.field.Set(image_.data(), sel < 0 ? 0 : sel);
    }
}

// ---------------------------------------------------------------------------------------------
// TOT page

const std::array<CTotPage::Field, 4> CTotPage::kFields = {{
    {kIdTot, kIdTotSpin, 30, B::kTot, "TOT (min)"},
    {kIdPreAlert, kIdPreAlertSpin, 15, B::kTotPreAlert, "TOT pre-alert (s)"},
    {kIdRekey, kIdRekeySpin, 30, B::kTotRekey, "TOT rekey (s)"},
    {kIdReset, kIdResetSpin, 30, B::kTotReset, "TOT reset (s)"},
}};

void CTotPage::Build() {
    for (const Field& f : kFields) {
        Control& c = form_.AddEdit(f.edit, 2, CharsFilter(g_DigitInputFilter));
        c.label = std::string(f.label);
        form_.AddSpin(f.spin,
                      {.min = 0, .max = f.max, .wrap = true, .buddy = f.edit, .sets_buddy = false});
        form_.On(EventType::FocusLost, f.edit, [this, &f](const Event&) {
            Validate(f);
            return false;
        });
        form_.On(EventType::SpinStep, f.spin, [this, &f](const Event& e) {
            const int v = OffAtZeroValue(form_.Text(f.edit));
            form_.SetText(f.edit, SpinStep(v, e.delta, 0, f.max, kOffText).text);
            return false;
        });
    }
}

void CTotPage::Validate(const Field& f) {
    int v = OffAtZeroValue(form_.Text(f.edit));
    if (v < 0) v = 0;
    if (v > f.max) v = f.max;
    form_.SetText(f.edit, OffAtZeroText(v));
}

void CTotPage::LoadFromImage() {
    for (const Field& f : kFields) {
        form_.SetText(f.edit, FormatInt(image_[f.addr]));
        Validate(f);
    }
}

void CTotPage::StoreToImage() {
    for (const Field& f : kFields) {
        Validate(f);
        image_[f.addr] = static_cast<std::uint8_t>(OffAtZeroValue(form_.Text(f.edit)));
    }
}

// ---------------------------------------------------------------------------------------------
// Key page

void CKeyPage::Build() {
    for (std::size_t k = 0; k < kIds.size(); ++k) {
        Control& c = form_.AddList(kIds[k], ListEntries(g_KeyFunctionList));
        c.label = "P" + FormatInt(static_cast<int>(k) + 1);
    }
}

void CKeyPage::LoadFromImage() {
    for (std::size_t k = 0; k < kIds.size(); ++k) {
        int v = image_[B::KeyAddr(k)];
        if (v > 12) v = kDefaults[k];
        form_.SelectByText(kIds[k], g_KeyFunctionList[static_cast<std::size_t>(v)]);
    }
}

void CKeyPage::StoreToImage() {
    for (std::size_t k = 0; k < kIds.size(); ++k) {
        const int i = form_.Selection(kIds[k]) < 0
                          ? -1
                          : IndexOf(g_KeyFunctionList, form_.SelectedText(kIds[k]));
        image_[B::KeyAddr(k)] = static_cast<std::uint8_t>(i < 0 ? kDefaults[k] : i);
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
