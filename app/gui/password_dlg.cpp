#include "app/gui/password_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <cctype>

namespace vm::gui {

bool MatchesServiceCode(std::string_view typed) {
    if (typed.size() != kServiceCode.size()) return false;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(typed[i])) !=
            std::toupper(static_cast<unsigned char>(kServiceCode[i])))
            return false;
    }
    return true;
}

CPasswordDlg::CPasswordDlg(Kind kind, std::function<bool(std::string_view)> matches,
                           QWidget* parent)
    : QDialog(parent), kind_(kind), matches_(std::move(matches)), edit_(new QLineEdit(this)) {
    setWindowTitle("Password");
    setObjectName(kind == Kind::Radio ? "CPasswordDlg181" : "CPasswordDlg185");
    edit_->setMaxLength(8);
    edit_->setEchoMode(QLineEdit::Password);
    edit_->setObjectName("password");
    edit_->installEventFilter(this);

    auto* form = new QFormLayout;
    form->addRow(new QLabel("Password", this), edit_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CPasswordDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CPasswordDlg::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    setFixedSize(sizeHint().expandedTo(QSize(240, 0)));
}

std::string CPasswordDlg::typed() const {
    return edit_->text().toStdString();
}

void CPasswordDlg::accept() {
    refused_ = !(matches_ && matches_(typed()));
    if (!refused_)
        QDialog::accept();
    else
        QDialog::reject();
}

bool CPasswordDlg::eventFilter(QObject* watched, QEvent* event) {
    // The service prompt takes letters, digits and backspace only.
    if (kind_ == Kind::Service && watched == edit_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const QString text = key->text();
        if (text.size() == 1 && text[0].isPrint()) {
            const char c = text[0].toLatin1();
            if (!std::isalnum(static_cast<unsigned char>(c)) || text[0].unicode() > 0x7F)
                return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace vm::gui
