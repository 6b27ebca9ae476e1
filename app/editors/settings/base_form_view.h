// The base of every editor view that shows a region of the image, and the small behaviours the
// settings editors share (numeric fields that show "Off" for zero).
#pragma once

#include <string>
#include <string_view>

#include "app/widgets/form.h"

namespace vm {

class CBaseFormView {
public:
    CBaseFormView() = default;
    virtual ~CBaseFormView() = default;
    CBaseFormView(const CBaseFormView&) = delete;
    CBaseFormView& operator=(const CBaseFormView&) = delete;

    // Decode the view's fields from the image into its controls.
    virtual void LoadFromImage() {}
    // Encode the controls into the image.
    virtual void StoreToImage() {}

    Form& form() { return form_; }
    const Form& form() const { return form_; }

protected:
    Form form_;
};

// Numeric fields that show "Off" for zero: the value of a text ("Off" and text without a
// number give 0) and the text of a value.
inline constexpr std::string_view kOffText = "Off";
int OffAtZeroValue(std::string_view text);
std::string OffAtZeroText(int value);

}  // namespace vm
