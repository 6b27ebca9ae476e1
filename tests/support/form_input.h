// Driving a headless form the way a user does: typing into a control and picking a list entry
// by its text, each time moving the focus on afterwards so that the control's rules run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "app/widgets/form.h"

namespace vm::testing {

// Clicks into control `id`, replaces its text with `text` (an empty text deletes it) and leaves.
inline void TypeInto(Form& form, int id, std::string_view text) {
    form.Focus(id);
    form.ReplaceText(id, text);
    form.Focus(0);
}

// Picks the entry of list `id` whose text is `text`; fails the test when there is none.
inline void Choose(Form& form, int id, std::string_view text) {
    const auto& e = form.At(id).entries;
    const auto it = std::find(e.begin(), e.end(), text);
    ASSERT_NE(it, e.end()) << text;
    form.Focus(id);
    form.Choose(id, static_cast<int>(it - e.begin()));
    form.Focus(0);
}

}  // namespace vm::testing
