#include "app/shell/messages.h"

#include <cstring>
#include <type_traits>

namespace vm::shell {

std::string SystemErrorText(int error_number) {
    if (error_number == 0) return std::string(kMsgErrorNotFound);
    // strerror_r (GNU or XSI flavour): take whichever pointer holds the text.
    char buffer[256] = {};
    const auto r = strerror_r(error_number, buffer, sizeof buffer);
    const char* text = nullptr;
    if constexpr (std::is_same_v<std::remove_cv_t<decltype(r)>, char*>)
        text = r;
    else
        text = r == 0 ? buffer : nullptr;
    if (text == nullptr || *text == '\0') return std::string(kMsgErrorNotFound);
    return text;
}

}  // namespace vm::shell
