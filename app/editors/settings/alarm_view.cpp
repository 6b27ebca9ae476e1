#include "app/editors/settings/alarm_view.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app/image/codecs.h"

namespace vm {

namespace {

using A = AlarmMap;

}  // namespace

const std::array<CAlarmView::TimeField, 3> CAlarmView::kTimeFields = {{
    {kIdTxTime, kIdTxTimeSpin, A::kTxTime, 5, {}},
    {kIdRxTime, kIdRxTimeSpin, A::kRxTime, 8, {}},
    {kIdCycle, kIdCycleSpin, A::kCycle, 5, kContinuousText},
}};

void CAlarmView::OnInitialUpdate() {
    if (initialised_) return;
    initialised_ = true;
    form_.AddList(kIdAlarmType, ListEntries(g_AlarmTypeList)).label = "Alarm type";
    form_.AddList(kIdEmiCodeType, ListEntries(g_EmiCodeTypeList)).label = "EMI code type";
    form_.AddList(kIdEmiCode).label = "EMI code";
    for (const TimeField& f : kTimeFields) {
        form_.AddEdit(f.edit, 3, CharsFilter(g_DigitInputFilter)).label = std::string(f.field.name);
        form_.AddSpin(f.spin, {.min = f.field.min,
                               .max = f.field.max,
                               .wrap = true,
                               .buddy = f.edit,
                               .sets_buddy = false});
        form_.On(EventType::FocusLost, f.edit, [this, &f](const Event&) {
            Validate(f);
            return false;
        });
        // One step from the number shown, wrapping at the ends of the range.
        form_.On(EventType::SpinStep, f.spin, [this, &f](const Event& e) {
            const int v = DecimalValue(form_.Text(f.edit));
            form_.SetText(f.edit, SpinStep(v, e.delta, f.field.min, f.field.max, f.zero_text).text);
            return false;
        });
    }
    form_.AddList(kIdRemoteAlarm, ListEntries(g_OffOnList)).label = "Remote EMI alarm";
    // Enter and Escape reach no default button and close nothing.
    form_.On(EventType::KeyPressed, 0,
             [](const Event& e) { return e.key == Key::Enter || e.key == Key::Escape; });
    LoadFromImage();
}

// "None", then every DTMF code memory in use.
void CAlarmView::FillEmiCodes() {
    std::vector<std::string> e = {std::string(kNoneText)};
    for (int m = 1; m <= DtmfCodeMemory::kCount; ++m)
        if (DtmfCodeMemory(image_, m).InUse()) e.push_back(FormatInt(m));
    form_.SetEntries(kIdEmiCode, std::move(e));
}

void CAlarmView::Validate(const TimeField& f) {
    form_.SetText(
        f.edit,
        BoundedIntEdit(form_.Text(f.edit), f.field.min, f.field.max, 1, f.def, f.zero_text).text);
}

void CAlarmView::LoadFromImage() {
    // The memories in use are those of the image being loaded.
    FillEmiCodes();
    const std::uint8_t* rec = A::Record(image_);
    const int type = A::kType.Get(rec);
    form_.Select(kIdAlarmType, type < static_cast<int>(g_AlarmTypeList.size()) ? type : -1);
    const int emi_type = A::kEmiCodeType.Get(rec);
    form_.Select(kIdEmiCodeType,
                 emi_type < static_cast<int>(g_EmiCodeTypeList.size()) ? emi_type : -1);
    form_.Select(kIdRemoteAlarm, A::kRemoteEmi.Get(rec));
    for (const TimeField& f : kTimeFields) {
        const int v = f.field.Get(rec);
        form_.SetText(f.edit,
                      v == 0 && !f.zero_text.empty() ? std::string(f.zero_text) : FormatInt(v));
    }
    // Exactly the stored number: memory 1 unused must not pick "10".
    SelectWholeText(form_, kIdEmiCode, FormatInt(A::kEmiCode.Get(rec)));
    SelectFirstWhereNone(form_);
    for (const TimeField& f : kTimeFields) Validate(f);
}

void CAlarmView::StoreToImage() {
    SelectFirstWhereNone(form_);
    // Every time is checked here too: the frame's commit may store a field never left.
    for (const TimeField& f : kTimeFields) Validate(f);
    std::uint8_t* rec = A::Record(image_);
    A::kType.Set(rec, std::max(form_.Selection(kIdAlarmType), 0));
    A::kEmiCodeType.Set(rec, std::max(form_.Selection(kIdEmiCodeType), 0));
    A::kRemoteEmi.Set(rec, std::max(form_.Selection(kIdRemoteAlarm), 0));
    A::kEmiCode.Set(rec, DecimalValue(form_.SelectedText(kIdEmiCode)));
    for (const TimeField& f : kTimeFields) f.field.Set(rec, DecimalValue(form_.Text(f.edit)));
}

}  // namespace vm
