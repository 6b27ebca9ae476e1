#include "app/editors/settings/model_view.h"

#include <algorithm>
#include <cstdio>

#include "app/image/model_regions.h"

namespace vm {

namespace {

using M = ModelInfoMap;

bool IsTextChar(char c) {
    return c >= 0x20 && c <= 0x7E;
}

// The field's text: its bytes up to the first one outside the field's characters.
std::string ReadText(const RadioImage& image, const SettingField& f, bool (*in_class)(char)) {
    const std::uint8_t* rec = M::Record(image);
    std::string s;
    for (std::uint32_t i = 0; i < f.width; ++i) {
        const char c = static_cast<char>(rec[f.at + i]);
        if (!in_class(c)) break;
        s.push_back(c);
    }
    return s;
}

// The text up to its first character outside the field's characters, at most the width.
void WriteText(RadioImage& image, const SettingField& f, std::string_view text,
               bool (*in_class)(char)) {
    std::uint8_t* rec = M::Record(image);
    for (std::uint32_t i = 0; i < f.width && i < text.size() && in_class(text[i]); ++i)
        rec[f.at + i] = static_cast<std::uint8_t>(text[i]);
}

bool IsLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool IsCalendarDate(int y, int m, int d) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    const int days = kDays[m - 1] + (m == 2 && IsLeapYear(y) ? 1 : 0);
    return d <= days;
}

// The text fields, labelled with their field's name.
struct TextField {
    int id;
    SettingField field;
    bool (*in_class)(char);
    bool edited;
};

constexpr TextField kTextFields[] = {
    {CModelView::kIdSerialNumber, M::kSerialNumber, IsIdentityChar, true},
    {CModelView::kIdModelName, M::kModelName, IsIdentityChar, true},
    {CModelView::kIdModelCode, M::kModelCode, IsTextChar, true},
    {CModelView::kIdFirmwareVersion, M::kFirmwareVersion, IsTextChar, false},
};

}  // namespace

bool IsIdentityChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::string ProgramDateText(const RadioImage& image) {
    char text[32];
    const std::uint8_t* rec = M::Record(image);
    std::snprintf(text, sizeof text, "%4X-%02X-%02X", static_cast<unsigned>(M::kYear.Get(rec)),
                  static_cast<unsigned>(M::kMonth.Get(rec)),
                  static_cast<unsigned>(M::kDay.Get(rec)));
    int y = 0, m = 0, d = 0;
    if (std::sscanf(text, "%d-%d-%d", &y, &m, &d) != 3 || !IsCalendarDate(y, m, d)) return {};
    return text;
}

void CModelView::OnInitialUpdate() {
    if (initialised_) return;
    initialised_ = true;
    for (const TextField& f : kTextFields) {
        Control& c = form_.AddEdit(f.id, f.field.width, f.in_class);
        c.label = std::string(f.field.name);
        c.read_only = !f.edited;
    }
    Control& date = form_.AddEdit(kIdProgramDate, kDateLength);
    date.label = "Last program date";
    date.read_only = true;
    LoadFromImage();
}

void CModelView::LoadFromImage() {
    for (const TextField& f : kTextFields)
        form_.SetText(f.id, ReadText(image_, f.field, f.in_class));
    form_.SetText(kIdProgramDate, ProgramDateText(image_));
}

void CModelView::StoreToImage() {
    std::fill_n(image_.begin() + M::kBase, M::kIdentitySize, std::uint8_t{0xFF});
    for (const TextField& f : kTextFields)
        if (f.edited) WriteText(image_, f.field, form_.Text(f.id), f.in_class);
}

}  // namespace vm
