// The base of every editor view that shows a region of the image, and the small behaviours the
// settings editors share (numeric fields that show "Off" for zero).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The decimal value of a text, held within int; a text without a number gives 0.
int DecimalValue(std::string_view text);

// The entries of a list control from an option list.
std::vector<std::string> ListEntries(std::span<const std::string_view> list);

// Selects the list entry whose whole text is `text`, compared without case; with no such entry
// (or an empty text) nothing is selected. For lists of numbers, where "1" must not pick "10".
bool SelectWholeText(Form& form, int id, std::string_view text);

// Every drop-down list of the form that has no selection gets its first entry.
void SelectFirstWhereNone(Form& form);

}  // namespace vm
