// Text checks the tests share.
#pragma once

#include <string_view>

namespace vm::testing {

// Whether `part` occurs in `text`.
inline bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

}  // namespace vm::testing
