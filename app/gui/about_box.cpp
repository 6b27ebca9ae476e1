#include "app/gui/about_box.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

namespace vm::gui {

CAboutBox::CAboutBox(const QString& company, const QString& version, QWidget* parent)
    : QDialog(parent),
      line1066_(new QLabel(company, this)),
      line1262_(new QLabel(version, this)),
      line1068_(
          new QLabel(QString("%1 The software apply for %2 model").arg(company, "VM6142"), this)) {
    setWindowTitle("About");
    setObjectName("CAboutBox");
    line1066_->setObjectName("1066");
    line1262_->setObjectName("1262");
    line1068_->setObjectName("1068");
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
    auto* lines = new QVBoxLayout;
    lines->addWidget(line1066_);
    lines->addWidget(line1262_);
    lines->addWidget(line1068_);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(lines, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    setMinimumWidth(320);
}

QString CAboutBox::LineText(int id) const {
    switch (id) {
        case 1066:
            return line1066_->text();
        case 1262:
            return line1262_->text();
        case 1068:
            return line1068_->text();
        default:
            return {};
    }
}

}  // namespace vm::gui
