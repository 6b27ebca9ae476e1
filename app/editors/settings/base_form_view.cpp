#include "app/editors/settings/base_form_view.h"

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

}  // namespace vm
