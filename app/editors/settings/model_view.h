// The model information view: the identity strings at the top of the image (serial number,
// model name, model code) edited, the firmware version and the last program date shown.
#pragma once

#include <string>
#include <string_view>

#include "app/editors/framework/base_form_view.h"
#include "app/image/radio_image.h"

namespace vm {

// Letters and digits (ASCII): the characters of the serial number and the model name.
bool IsIdentityChar(char c);

// The last program date as the view shows it: "%4X-%02X-%02X" of the BCD year word, month and
// day, when those digits read back as a calendar date; empty otherwise (a blank image).
std::string ProgramDateText(const RadioImage& image);

class CModelView : public CBaseFormView {
public:
    static constexpr int kTemplate = 200;
    enum : int {
        kIdSerialNumber = 1005,
        kIdModelName = 1059,
        kIdModelCode = 1092,
        kIdFirmwareVersion = 1008,
        kIdProgramDate = 1009
    };
    static constexpr std::size_t kDateLength = 10;

    explicit CModelView(RadioImage& image) : image_(image) {}

    // First update: the controls are built, then the view loads itself.
    void OnInitialUpdate() override;
    void LoadFromImage() override;
    void StoreToImage() override;

private:
    RadioImage& image_;
    bool initialised_ = false;
};

}  // namespace vm
