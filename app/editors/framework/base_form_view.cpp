#include "app/editors/framework/base_form_view.h"

#include <algorithm>
#include <cstdint>

#include "app/image/codecs.h"

namespace vm {

void CBaseFormView::CommitFocus() {
    std::vector<Form*> done;
    auto commit = [&done](Form* f) {
        if (!f || std::find(done.begin(), done.end(), f) != done.end()) return;
        done.push_back(f);
        f->CommitFocus();
    };
    commit(&form_);
    for (const FormPage& p : Pages()) commit(p.form);
}

void CBaseFormView::Commit() {
    CommitFocus();
    StoreToImage();
}

bool CBaseFormView::RequestClose() {
    if (destroyed_) return true;
    CommitFocus();
    if (auto refusal = CloseRefusal()) {
        ShowMessage(refusal->text, refusal->detail);
        return false;
    }
    Destroy();
    return true;
}

void CBaseFormView::Destroy() {
    if (destroyed_) return;
    destroyed_ = true;
    Commit();
}

std::vector<FormPage> CBaseFormView::Pages() {
    return {FormPage{.caption = {}, .form = &form_}};
}

void CBaseFormView::ShowMessage(const std::string& text, const std::string& detail) {
    last_message_ = text;
    last_detail_ = detail;
    if (message_hook) message_hook(text, detail);
}

int OffAtZeroValue(std::string_view text) {
    const auto v = ParseScaled(text, 0);
    if (!v || *v > 0x7FFFFFFF || *v < -0x7FFFFFFF) return 0;
    return static_cast<int>(*v);
}

std::string OffAtZeroText(int value) {
    return value == 0 ? std::string(kOffText) : FormatInt(value);
}

std::vector<std::string> NumberEntries(int count) {
    std::vector<std::string> e;
    for (int i = 1; i <= count; ++i) e.push_back(FormatInt(i));
    return e;
}

std::string ZeroPadded(int v, std::size_t width) {
    std::string s = FormatInt(v);
    if (s.size() < width) s.insert(0, width - s.size(), '0');
    return s;
}

void ValidateOffAtZero(Form& form, int edit, int max, int def) {
    form.SetText(edit, BoundedIntEdit(form.Text(edit), 0, max, 1, def, kOffText).text);
}

void BindOffAtZeroField(Form& form, int edit, int spin, int max, int def) {
    form.On(EventType::FocusLost, edit, [&form, edit, max, def](const Event&) {
        ValidateOffAtZero(form, edit, max, def);
        return false;
    });
    form.On(EventType::SpinStep, spin, [&form, edit, max](const Event& e) {
        const int v = OffAtZeroValue(form.Text(edit));
        form.SetText(edit, SpinStep(v, e.delta, 0, max, kOffText).text);
        return false;
    });
}

int DecimalValue(std::string_view text) {
    const std::int64_t v = ParseScaled(text, 0).value_or(0);
    return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

std::vector<std::string> ListEntries(std::span<const std::string_view> list) {
    return {list.begin(), list.end()};
}

bool SelectWholeText(Form& form, int id, std::string_view text) {
    form.Select(id, -1);
    return !text.empty() && form.SelectExactText(id, text);
}

void SelectFirstWhereNone(Form& form) {
    for (int id : form.Ids()) {
        const Control& c = form.At(id);
        if (c.kind == ControlKind::DropList && c.selection < 0 && !c.entries.empty())
            form.Select(id, 0);
    }
}

}  // namespace vm
