#include "app/editors/settings/five_tone_view.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/editors/settings/dtmf_view.h"
#include "app/image/codecs.h"

namespace vm {

namespace {

using F = FiveToneMap;
using B = FiveToneStandardBlock;

constexpr int kToneMin = 2880, kToneMax = 31160;

bool IsHexChar(char c) {
    return c != '\b' && FilterAccepts(g_HexInputFilter, c);
}

char HexChar(int v) {
    return HexDigitChar(v);
}

// A list's index from the image: -1 (no selection) for a value the list does not hold.
int IndexOrNone(int v, std::size_t size) {
    return v < static_cast<int>(size) ? v : -1;
}

// The list index to store: 0xFF when nothing is selected, as the radio's erased memory.
std::uint8_t IndexOrErased(int selection) {
    return selection < 0 ? std::uint8_t{0xFF} : static_cast<std::uint8_t>(selection);
}

}  // namespace

const std::array<CT5View::TimingField, 4> CT5View::kTimingFields = {{
    {kIdPreCarrier, kIdPreCarrierSpin, F::kPreCarrier},
    {kIdFirstExpand, kIdFirstExpandSpin, F::kFirstExpand},
    {kIdEndExitDelay, kIdEndExitDelaySpin, F::kEndExitDelay},
    {kIdReplyDelay, kIdReplyDelaySpin, F::kReplyDelay},
}};

void CT5View::OnInitialUpdate() {
    if (initialised_) return;
    initialised_ = true;
    Build();
    LoadFromImage();
}

void CT5View::Build() {
    const CharFilter digits = CharsFilter(g_DigitInputFilter);
    form_.AddEdit(kIdSelfId, F::kCodeLength, digits).label = "Self ID";
    form_.AddList(kIdDecodeResponse, ListEntries(g_DecodeResponseList)).label = "Decode response";
    for (const TimingField& f : kTimingFields) {
        form_.AddEdit(f.edit, 4, digits).label = std::string(f.field.name);
        form_.AddSpin(f.spin, {.min = 0,
                               .max = kTimingMax,
                               .wrap = true,
                               .buddy = f.edit,
                               .increment = kTimingStep,
                               .accelerated = kTimingAccelerated,
                               .accelerate_after_ms = kAccelerateAfterMs});
        form_.On(EventType::FocusLost, f.edit, [this, &f](const Event&) {
            ValidateTiming(f);
            return false;
        });
        form_.On(EventType::SpinStep, f.spin, [this, &f](const Event& e) {
            const int v = DecimalValue(form_.Text(f.edit));
            form_.SetText(f.edit, SpinStep(v, e.delta, 0, kTimingMax).text);
            return false;
        });
    }
    form_.AddEdit(kIdAutoReset, 3, digits).label = "Auto reset time(s)";
    form_.AddSpin(kIdAutoResetSpin,
                  {.min = 0, .max = kMaxByte, .wrap = true, .buddy = kIdAutoReset});
    form_.Add(kIdSideTone, ControlKind::Check).label = "Side tone";
    Control& beep = form_.Add(kIdBeep, ControlKind::Check);
    beep.label = "Beep";
    beep.visible = false;

    auto in = [](Control& c, int box, std::string_view label) -> Control& {
        c.group = box;
        c.label = std::string(label);
        return c;
    };
    const CharFilter code_chars = [this](char c) { return IsCodeChar(c); };

    form_.Add(kIdInfoBox, ControlKind::Group).text = "Infomation";
    in(form_.AddList(kIdFunctionGroup, NumberEntries(F::kFunctionCount)), kIdInfoBox, "Group");
    form_.Add(kIdFunctionBox, ControlKind::Group).text = "Function";
    in(form_.AddList(kIdFunctionType, ListEntries(g_FiveToneFunctionTypeList)), kIdFunctionBox,
       "Type");
    in(form_.AddList(kIdFunctionResponse, ListEntries(g_DecodeResponseList)), kIdFunctionBox,
       "Response");
    in(form_.AddEdit(kIdFunctionId, F::kCodeLength, code_chars, true), kIdFunctionBox, "ID");
    in(form_.AddEdit(kIdFunctionName, F::kFunctionName.width), kIdFunctionBox, "Name").visible =
        false;

    form_.Add(kIdPttIdBox, ControlKind::Group).text = "PTTID";
    in(form_.AddEdit(kIdBeginId, F::kCodeLength, IsHexChar, true), kIdPttIdBox, "Begin ID");
    in(form_.AddEdit(kIdEndId, F::kCodeLength, IsHexChar, true), kIdPttIdBox, "End ID");

    form_.Add(kIdContactBox, ControlKind::Group).text = "Contact";
    in(form_.AddList(kIdContactGroup, NumberEntries(F::kContactCount)), kIdContactBox, "Group");
    in(form_.AddEdit(kIdContactAlias, F::kContactAlias.width), kIdContactBox, "Alias");
    in(form_.AddList(kIdCodeType, ListEntries(g_FiveToneCodeTypeList)), kIdContactBox, "Code type");
    in(form_.AddEdit(kIdCode, F::kCodeLength, code_chars, true), kIdContactBox, "Code");
    in(form_.AddEdit(kIdMessage, F::kContactMessage.width), kIdContactBox, "Message");

    form_.Add(kIdStandardBox, ControlKind::Group).text = "Standard";
    in(form_.AddList(kIdStandard, ListEntries(g_FiveToneStdList)), kIdStandardBox, "Standard");
    in(form_.AddEdit(kIdWidth, 3, digits), kIdStandardBox, "Width");
    form_.AddSpin(kIdWidthSpin,
                  {.min = kFiveToneMinWidth[0], .max = kMaxByte, .wrap = true, .buddy = kIdWidth});
    in(form_.AddList(kIdGroup, ListEntries(g_FiveToneLetterList)), kIdStandardBox, "Group");
    in(form_.AddList(kIdRepeat, ListEntries(g_FiveToneLetterList)), kIdStandardBox, "Repeat");
    in(form_.AddList(kIdDelimiter, ListEntries(g_FiveToneDelimiterList)), kIdStandardBox,
       "Delimiter");
    const CharFilter decimal = CharsFilter(g_DecimalInputFilter);
    for (int d = 0; d < B::kToneCount; ++d) {
        in(form_.AddEdit(ToneEdit(d), 6, decimal), kIdStandardBox, std::string(1, HexChar(d)));
        form_.AddSpin(ToneSpin(d),
                      {.min = kToneMin, .max = kToneMax, .wrap = true, .buddy = ToneEdit(d)});
        form_.On(EventType::FocusLost, ToneEdit(d), [this, d](const Event&) {
            ValidateTone(d);
            return false;
        });
        form_.On(EventType::SpinStep, ToneSpin(d), [this, d](const Event& e) {
            const int v = TextToTenths(form_.Text(ToneEdit(d)));
            form_.SetText(ToneEdit(d), SpinStepTenths(v, e.delta, kToneMin, kToneMax).text);
            return false;
        });
    }

    // ---- behaviour
    BindOffAtZeroField(form_, kIdAutoReset, kIdAutoResetSpin, kMaxByte, kAutoResetDefault);
    form_.On(EventType::FocusLost, kIdWidth, [this](const Event&) {
        ValidateWidth();
        return false;
    });
    form_.On(EventType::SpinStep, kIdWidthSpin, [this](const Event& e) {
        const int v = DecimalValue(form_.Text(kIdWidth));
        form_.SetText(kIdWidth, SpinStep(v, e.delta, MinWidth(), kMaxByte).text);
        return false;
    });
    form_.On(EventType::SelectionChanged, kIdStandard, [this](const Event&) {
        const int chosen = form_.Selection(kIdStandard);
        if (chosen < 0) return false;
        StoreStandard(shown_std_);
        ShowStandard(chosen);
        return false;
    });
    for (int id : {kIdGroup, kIdRepeat, kIdDelimiter})
        form_.On(EventType::SelectionChanged, id, [this](const Event& e) {
            Separate(e.id);
            return false;
        });
    form_.On(EventType::SelectionChanged, kIdFunctionGroup, [this](const Event&) {
        const int chosen = form_.Selection(kIdFunctionGroup) + 1;
        if (chosen < 1) return false;
        StoreFunction(shown_function_);
        LoadFunction(chosen);
        return false;
    });
    form_.On(EventType::SelectionChanged, kIdContactGroup, [this](const Event&) {
        const int chosen = form_.Selection(kIdContactGroup) + 1;
        if (chosen < 1) return false;
        StoreContact(shown_contact_);
        LoadContact(chosen);
        return false;
    });
    form_.On(EventType::SelectionChanged, kIdCodeType, [this](const Event&) {
        EnableMessage();
        return false;
    });
    form_.On(EventType::FocusGained, kIdContactAlias, [this](const Event&) {
        remembered_alias_ = form_.Text(kIdContactAlias);
        return false;
    });
    form_.On(EventType::FocusLost, kIdContactAlias, [this](const Event&) {
        ApplyAliasRule();
        return false;
    });
    form_.On(EventType::FocusGained, kIdCode, [this](const Event&) {
        remembered_code_ = form_.Text(kIdCode);
        return false;
    });
    form_.On(EventType::FocusLost, kIdCode, [this](const Event&) {
        // Contact 1 always holds a code.
        if (shown_contact_ == 1 && form_.Text(kIdCode).empty())
            form_.SetText(kIdCode, remembered_code_.empty() ? std::string(kFirstContactCode)
                                                            : remembered_code_);
        return false;
    });
    // Enter and Escape reach no default button and close nothing.
    form_.On(EventType::KeyPressed, 0,
             [](const Event& e) { return e.key == Key::Enter || e.key == Key::Escape; });

    form_.Select(kIdFunctionGroup, 0);
    form_.Select(kIdContactGroup, 0);
}

// ---- standard

int CT5View::MinWidth() const {
    return kFiveToneMinWidth[static_cast<std::size_t>(shown_std_)];
}

char CT5View::Letter(int id) const {
    const std::string t = form_.SelectedText(id);
    return t.size() == 1 && t[0] >= 'A' && t[0] <= 'F' ? t[0] : 0;
}

std::string CT5View::FreeLetter() const {
    for (std::string_view l : g_FiveToneLetterList)
        if (Letter(kIdGroup) != l[0] && Letter(kIdRepeat) != l[0] && Letter(kIdDelimiter) != l[0])
            return std::string(l);
    return {};
}

void CT5View::Separate(int changed) {
    const char letter = Letter(changed);
    if (letter == 0) return;
    for (int other : {kIdGroup, kIdRepeat, kIdDelimiter})
        if (other != changed && Letter(other) == letter)
            SelectWholeText(form_, other, FreeLetter());
}

void CT5View::StandardFallbacks() {
    // A list without a letter takes one the other two do not use, so that no two share one.
    for (int id : {kIdGroup, kIdRepeat})
        if (Letter(id) == 0) {
            form_.Select(id, -1);
            SelectWholeText(form_, id, FreeLetter());
        }
    if (form_.Selection(kIdDelimiter) < 0) form_.Select(kIdDelimiter, 0);
}

void CT5View::EnableTones() {
    const bool user = shown_std_ == kUserDefinedStd;
    for (int d = 0; d < B::kToneCount; ++d) {
        form_.SetEnabled(ToneEdit(d), user);
        form_.SetEnabled(ToneSpin(d), user);
    }
}

void CT5View::ValidateWidth() {
    const int min = MinWidth();
    form_.SetText(kIdWidth, BoundedIntEdit(form_.Text(kIdWidth), min, kMaxByte, 1, min).text);
}

void CT5View::ValidateTone(int digit) {
    const std::string& text = form_.Text(ToneEdit(digit));
    const int v = TextToTenths(text);
    form_.SetText(ToneEdit(digit),
                  text.empty() || v < kToneMin || v > kToneMax ? std::string() : TenthsToText(v));
}

void CT5View::ShowStandard(int standard) {
    shown_std_ = standard;
    form_.Select(kIdStandard, standard);
    const std::uint8_t* e = Entry(standard);
    Control& spin = form_.At(kIdWidthSpin);
    spin.spin.min = MinWidth();
    form_.Notify({kIdWidthSpin, ChangeKind::State});
    form_.SetText(kIdWidth, FormatInt(e[B::kWidth]));
    form_.Select(kIdGroup, -1);
    form_.Select(kIdRepeat, -1);
    SelectWholeText(form_, kIdGroup, FormatHex(e[B::kGroup]));
    SelectWholeText(form_, kIdRepeat, FormatHex(e[B::kRepeat]));
    SelectWholeText(form_, kIdDelimiter,
                    e[B::kDelimiter] == 0 ? std::string(g_FiveToneDelimiterList[0])
                                          : FormatHex(e[B::kDelimiter]));
    for (int d = 0; d < B::kToneCount; ++d) {
        const int t = GetLe16(e + B::kTones + 2 * d);
        form_.SetText(ToneEdit(d), t >= kToneMin && t <= kToneMax ? TenthsToText(t) : "");
    }
    StandardFallbacks();
    Separate(kIdGroup);
    Separate(kIdRepeat);
    ValidateWidth();
    EnableTones();
}

void CT5View::StoreStandard(int standard) {
    StandardFallbacks();
    ValidateWidth();
    std::uint8_t* e = Entry(standard);
    // Each entry holds its own index.
    e[B::kStandard] = static_cast<std::uint8_t>(standard);
    e[B::kWidth] = static_cast<std::uint8_t>(DecimalValue(form_.Text(kIdWidth)));
    e[B::kGroup] = HexDigitValue(Letter(kIdGroup));
    e[B::kRepeat] = HexDigitValue(Letter(kIdRepeat));
    const char delimiter = Letter(kIdDelimiter);
    e[B::kDelimiter] = delimiter == 0 ? 0 : HexDigitValue(delimiter);
    if (standard != kUserDefinedStd) return;
    for (int d = 0; d < B::kToneCount; ++d) {
        ValidateTone(d);
        PutLe16(e + B::kTones + 2 * d,
                static_cast<std::uint16_t>(TextToTenths(form_.Text(ToneEdit(d)))));
    }
}

bool CT5View::IsCodeChar(char c) const {
    if (!IsHexChar(c) || c == Letter(kIdRepeat)) return false;
    return !form_.Text(ToneEdit(HexDigitValue(c))).empty();
}

// ---- functions and contacts

void CT5View::LoadFunction(int group) {
    shown_function_ = group;
    form_.Select(kIdFunctionGroup, group - 1);
    const std::uint8_t* rec = image_.data() + F::FunctionAddr(group - 1);
    form_.Select(kIdFunctionType,
                 IndexOrNone(F::kFunctionType.Get(rec), g_FiveToneFunctionTypeList.size()));
    form_.Select(kIdFunctionResponse,
                 IndexOrNone(F::kFunctionResponse.Get(rec), g_DecodeResponseList.size()));
    form_.SetText(kIdFunctionId, F::kFunctionId.AsDigits().Get(rec, HexChar));
    form_.SetText(kIdFunctionName, F::kFunctionName.AsChars().Printable(rec));
}

void CT5View::StoreFunction(int group) {
    std::uint8_t* rec = image_.data() + F::FunctionAddr(group - 1);
    F::kFunctionType.Set(rec, IndexOrErased(form_.Selection(kIdFunctionType)));
    F::kFunctionResponse.Set(rec, IndexOrErased(form_.Selection(kIdFunctionResponse)));
    F::kFunctionId.AsDigits().Set(rec, form_.Text(kIdFunctionId), HexDigitValue);
    F::kFunctionName.AsChars().Set(rec, form_.Text(kIdFunctionName));
}

void CT5View::ApplyAliasRule() {
    if (!form_.Text(kIdContactAlias).empty()) return;
    form_.SetText(kIdContactAlias, remembered_alias_.empty()
                                       ? "2T-S" + ZeroPadded(shown_contact_, 2)
                                       : remembered_alias_);
}

void CT5View::EnableMessage() {
    form_.SetEnabled(kIdMessage, form_.SelectedText(kIdCodeType) == g_FiveToneCodeTypeList[2]);
}

void CT5View::LoadContact(int contact) {
    shown_contact_ = contact;
    form_.Select(kIdContactGroup, contact - 1);
    const std::uint8_t* rec = image_.data() + F::ContactAddr(contact - 1);
    form_.SetText(kIdContactAlias, F::kContactAlias.AsChars().Printable(rec));
    form_.Select(kIdCodeType,
                 IndexOrNone(F::kContactCodeType.Get(rec), g_FiveToneCodeTypeList.size()));
    form_.SetText(kIdCode, F::kContactCode.AsDigits().Get(rec, HexChar));
    form_.SetText(kIdMessage, F::kContactMessage.AsChars().Printable(rec));
    remembered_alias_ = form_.Text(kIdContactAlias);
    remembered_code_ = form_.Text(kIdCode);
    ApplyAliasRule();
    EnableMessage();
}

void CT5View::StoreContact(int contact) {
    ApplyAliasRule();
    std::uint8_t* rec = image_.data() + F::ContactAddr(contact - 1);
    F::kContactAlias.AsChars().Set(rec, form_.Text(kIdContactAlias));
    F::kContactCode.AsDigits().Set(rec, form_.Text(kIdCode), HexDigitValue);
    F::kContactCodeType.Set(rec, std::max(form_.Selection(kIdCodeType), 0));
    F::kContactMessage.AsChars().Set(rec, form_.Text(kIdMessage));
}

// ---- the rest

void CT5View::ValidateTiming(const TimingField& f) {
    // The range is checked on the value typed (2551 is out of range), then the value is
    // rounded down to a multiple of ten.
    const int v = BoundedIntEdit(form_.Text(f.edit), 0, kTimingMax, 1, kTimingDefault).value;
    form_.SetText(f.edit, FormatInt(v - v % kTimingStep));
}

void CT5View::LoadFromImage() {
    // 1. The image's standard block goes into its entry of the header, which is then shown.
    const std::uint8_t* rec = F::Record(image_);
    int standard = rec[B::kStandard];
    if (standard >= kFiveToneStdCount) standard = 0;
    std::uint8_t* e = Entry(standard);
    std::memcpy(e, rec, standard == kUserDefinedStd ? B::kSize : std::size_t{B::kTones});
    e[B::kStandard] = static_cast<std::uint8_t>(standard);
    ShowStandard(standard);

    // 2. Timing in milliseconds, flags.
    for (const TimingField& f : kTimingFields)
        form_.SetText(f.edit, FormatInt(f.field.Get(rec) * kTimingStep));
    form_.SetChecked(kIdSideTone, F::kSideTone.Get(rec));
    form_.SetChecked(kIdBeep, F::kBeep.Get(rec));

    // 3. Own ID and decoding.
    form_.SetText(kIdSelfId, F::kSelfId.AsDigits().Get(rec, HexChar));
    form_.Select(kIdDecodeResponse,
                 IndexOrNone(F::kDecodeResponse.Get(rec), g_DecodeResponseList.size()));
    form_.SetText(kIdAutoReset, FormatInt(F::kAutoResetTime.Get(rec)));
    for (const TimingField& f : kTimingFields) ValidateTiming(f);
    ValidateOffAtZero(form_, kIdAutoReset, kMaxByte, kAutoResetDefault);

    // 4.-6. The function entry and the contact shown, the PTT ID codes.
    LoadFunction(shown_function_);
    form_.SetText(kIdBeginId, F::kBeginId.AsDigits().Get(rec, HexChar));
    form_.SetText(kIdEndId, F::kEndId.AsDigits().Get(rec, HexChar));
    LoadContact(shown_contact_);
}

void CT5View::StoreToImage() {
    // 1. The standard fields into the entry shown, and that entry into the image.
    StoreStandard(shown_std_);
    std::uint8_t* rec = F::Record(image_);
    std::memcpy(rec, Entry(shown_std_), B::kSize);

    // 2. The function entry shown.
    StoreFunction(shown_function_);

    // 3. Own ID and decoding.
    ValidateOffAtZero(form_, kIdAutoReset, kMaxByte, kAutoResetDefault);
    F::kSelfId.AsDigits().Set(rec, form_.Text(kIdSelfId), HexDigitValue);
    F::kDecodeResponse.Set(rec, IndexOrErased(form_.Selection(kIdDecodeResponse)));
    F::kAutoResetTime.Set(rec, OffAtZeroValue(form_.Text(kIdAutoReset)));

    // 4. PTT ID codes.
    F::kBeginId.AsDigits().Set(rec, form_.Text(kIdBeginId), HexDigitValue);
    F::kEndId.AsDigits().Set(rec, form_.Text(kIdEndId), HexDigitValue);

    // 5. Timing, flags.
    for (const TimingField& f : kTimingFields) {
        ValidateTiming(f);
        f.field.Set(rec, DecimalValue(form_.Text(f.edit)) / kTimingStep);
    }
    F::kSideTone.Set(rec, form_.Checked(kIdSideTone));
    F::kBeep.Set(rec, form_.Checked(kIdBeep));

    // 6. The contact shown.
    StoreContact(shown_contact_);
}

}  // namespace vm
