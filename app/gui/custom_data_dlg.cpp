#include "app/gui/custom_data_dlg.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace vm::gui {

std::string ReadCustomData(const RadioImage& image) {
    std::string text;
    for (std::size_t i = 0; i < kCustomDataSize; ++i) {
        const std::uint8_t b = image[kCustomData + i];
        if (b == 0x00 || b == 0xFF) break;
        text.push_back(static_cast<char>(b));
    }
    return text;
}

void StoreCustomData(RadioImage& image, const std::string& text) {
    std::fill_n(image.begin() + kCustomData, kCustomDataSize, std::uint8_t{0xFF});
    const std::size_t n = std::min(text.size(), kCustomDataSize);
    for (std::size_t i = 0; i < n; ++i) image[kCustomData + i] = static_cast<std::uint8_t>(text[i]);
}

CCustomDataDlg::CCustomDataDlg(RadioImage& image, Transfer transfer, QWidget* parent)
    : QDialog(parent), image_(image), transfer_(std::move(transfer)), edit_(new QLineEdit(this)) {
    setWindowTitle("Custom Data");
    setObjectName("CCustomDataDlg");
    edit_->setMaxLength(static_cast<int>(kCustomDataSize));
    edit_->setMinimumWidth(280);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    read_ = buttons->addButton("Read", QDialogButtonBox::ActionRole);
    write_ = buttons->addButton("Write", QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &CCustomDataDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(read_, &QPushButton::clicked, this, &CCustomDataDlg::OnRead);
    connect(write_, &QPushButton::clicked, this, &CCustomDataDlg::OnWrite);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(edit_);
    layout->addWidget(buttons);
    Load();
}

void CCustomDataDlg::Load() {
    edit_->setText(QString::fromLatin1(ReadCustomData(image_)));
}

void CCustomDataDlg::Store() {
    // The field holds bytes: characters beyond Latin-1 are stored as '?'.
    StoreCustomData(image_, edit_->text().toLatin1().toStdString());
}

void CCustomDataDlg::accept() {
    Store();
    QDialog::accept();
}

void CCustomDataDlg::OnRead() {
    if (transfer_ && transfer_(CustomDataReadRanges())) Load();
}

void CCustomDataDlg::OnWrite() {
    Store();
    if (transfer_) transfer_(CustomDataWriteRanges());
}

}  // namespace vm::gui
