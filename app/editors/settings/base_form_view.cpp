#include "app/editors/settings/base_form_view.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "app/image/codecs.h"

namespace vm {

int OffAtZeroValue(std::string_view text) {
    const auto v = ParseScaled(text, 0);
    if (!v || *v > 0x7FFFFFFF || *v < -0x7FFFFFFF) return 0;
    return static_cast<int>(*v);
}

std::string OffAtZeroText(int value) {
    return value == 0 ? std::string(kOffText) : FormatInt(value);
}

int DecimalValue(std::string_view text) {
    const std::int64_t v = ParseScaled(text, 0).value_or(0);
    return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

std::vector<std::string> ListEntries(std::span<const std::string_view> list) {
    return {list.begin(), list.end()};
}

bool SelectWholeText(Form& form, int id, std::string_view text) {
    const auto& entries = form.At(id).entries;
    for (std::size_t i = 0; i < entries.size() && !text.empty(); ++i) {
        const std::string& e = entries[i];
        if (e.size() != text.size()) continue;
        bool same = true;
        for (std::size_t k = 0; k < e.size() && same; ++k)
            same = std::toupper(static_cast<unsigned char>(e[k])) ==
                   std::toupper(static_cast<unsigned char>(text[k]));
        if (same) {
            form.Select(id, static_cast<int>(i));
            return true;
        }
    }
    form.Select(id, -1);
    return false;
}

void SelectFirstWhereNone(Form& form) {
    for (int id : form.Ids()) {
        const Control& c = form.At(id);
        if (c.kind == ControlKind::DropList && c.selection < 0 && !c.entries.empty())
            form.Select(id, 0);
    }
}

}  // namespace vm
