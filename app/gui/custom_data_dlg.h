// The service function "Custom Data" (resource 138): the 32 characters at 0xFEE0, read from
// and written to the radio on their own.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "app/image/radio_image.h"

class QLineEdit;
class QPushButton;

namespace vm::gui {

// The custom data characters up to the first 0x00 or 0xFF.
std::string ReadCustomData(const RadioImage& image);
// Fills the custom data with 0xFF, then copies the first (up to) 32 characters.
void StoreCustomData(RadioImage& image, const std::string& text);

class CCustomDataDlg : public QDialog {
    Q_OBJECT
public:
    // `transfer` runs the transfer dialog for a range table and returns its success flag.
    using Transfer = std::function<bool(const TransferRangeTable&)>;
    CCustomDataDlg(RadioImage& image, Transfer transfer, QWidget* parent = nullptr);

    QLineEdit* edit() const { return edit_; }
    QPushButton* readButton() const { return read_; }
    QPushButton* writeButton() const { return write_; }

    void accept() override;  // OK: store, close

private:
    void Load();
    void Store();
    void OnRead();
    void OnWrite();

    RadioImage& image_;
    Transfer transfer_;
    QLineEdit* edit_;
    QPushButton* read_;
    QPushButton* write_;
};

}  // namespace vm::gui
