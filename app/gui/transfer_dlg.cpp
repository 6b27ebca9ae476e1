#include "app/gui/transfer_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/gui/password_dlg.h"
#include "app/gui/ui_hooks.h"

namespace vm::gui {

CTransferDlg::CTransferDlg(RadioImage& image, const TransferRangeTable& table,
                           const std::string& port_path, bool extended_range,
                           CloneWorkerOptions options, QWidget* parent)
    : QDialog(parent),
      progress_(new QProgressBar(this)),
      start_(new QPushButton("Start", this)),
      percent_(new QLabel("0%", this)),
      exit_(new QPushButton("Exit", this)),
      extended_range_(extended_range) {
    setObjectName("CTransferDlg");
    session_ = std::make_unique<TransferSession>(image, table, port_path, MakeCallbacks(),
                                                 std::move(options));
    setWindowTitle(QString::fromStdString(session_->caption()));
    progress_->setRange(0, session_->upper());
    progress_->setValue(0);
    progress_->setTextVisible(false);
    percent_->setAlignment(Qt::AlignCenter);
    percent_->setMinimumWidth(60);
    start_->setDefault(true);
    connect(start_, &QPushButton::clicked, this, &CTransferDlg::OnStart);
    connect(exit_, &QPushButton::clicked, this, &CTransferDlg::reject);

    auto* row = new QHBoxLayout;
    row->addWidget(start_);
    row->addStretch(1);
    row->addWidget(percent_);
    row->addStretch(1);
    row->addWidget(exit_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(progress_);
    layout->addLayout(row);
    setMinimumWidth(320);
}

CTransferDlg::~CTransferDlg() {
    // A worker still running (the window destroyed from outside) is asked to stop; until it
    // has, its calls that wait for this thread (a message, the password) are served.
    if (session_) {
        while (!session_->Exit()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        session_->Join();
    }
}

bool CTransferDlg::success() const {
    return session_->success();
}

std::optional<TransferOutcome> CTransferDlg::outcome() const {
    return session_->outcome();
}

std::string CTransferDlg::detail() const {
    return session_->detail();
}

TransferCallbacks CTransferDlg::MakeCallbacks() {
    // The worker thread calls these; each is carried over to this window's thread. The two
    // that need an answer block the worker until the user gave it.
    QPointer<CTransferDlg> self(this);
    TransferCallbacks cb;
    cb.disable_start = [self] {
        QMetaObject::invokeMethod(
            qApp,
            [self] {
                if (self) self->start_->setEnabled(false);
            },
            Qt::QueuedConnection);
    };
    cb.progress = [self](int position, int, const std::string& text) {
        const QString percent = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            qApp,
            [self, position, percent] {
                if (!self) return;
                self->progress_->setValue(position);
                self->percent_->setText(percent);
            },
            Qt::QueuedConnection);
    };
    cb.message = [self](std::string_view text, std::string_view detail) {
        const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        const QString info =
            QString::fromUtf8(detail.data(), static_cast<qsizetype>(detail.size()));
        QMetaObject::invokeMethod(
            qApp,
            [self, message, info] {
                Hooks().message_box(self, message, AppTitle(), MessageButtons::Ok,
                                    MessageIcon::None, info);
            },
            Qt::BlockingQueuedConnection);
    };
    cb.password = [self]() -> std::optional<std::string> {
        std::optional<std::string> typed;
        QMetaObject::invokeMethod(
            qApp, [self, &typed] { typed = Hooks().radio_password(self); },
            Qt::BlockingQueuedConnection);
        return typed;
    };
    cb.post_cancel = [self] {
        QMetaObject::invokeMethod(
            qApp,
            [self] {
                if (self) self->reject();
            },
            Qt::QueuedConnection);
    };
    return cb;
}

void CTransferDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (initialised_) return;
    initialised_ = true;
    // In service mode the transfer starts as soon as the window is up.
    QTimer::singleShot(0, this, [this] { session_->Initialise(extended_range_); });
}

void CTransferDlg::OfferBackupFirst(std::function<bool()> read_backup) {
    read_backup_ = std::move(read_backup);
    if (backup_first_) return;
    backup_first_ = new QCheckBox("Read a backup first", this);
    backup_first_->setObjectName("BackupFirst");
    backup_first_->setChecked(false);
    if (auto* box = qobject_cast<QVBoxLayout*>(layout())) box->insertWidget(1, backup_first_);
}

void CTransferDlg::OnStart() {
    if (backup_first_ && backup_first_->isChecked() && read_backup_) {
        if (!read_backup_()) return;  // no backup: nothing is written
        backup_first_->setEnabled(false);
    }
    session_->Start();
}

void CTransferDlg::reject() {
    if (session_->Exit()) {
        session_->Join();
        QDialog::reject();
    }
}

bool RunTransfer(QWidget* parent, RadioImage& image, const TransferRangeTable& table,
                 const std::string& port_path, bool extended_range,
                 const CloneWorkerOptions& options, std::function<bool()> read_backup) {
    CTransferDlg dialog(image, table, port_path, extended_range, options, parent);
    if (read_backup) dialog.OfferBackupFirst(std::move(read_backup));
    dialog.exec();
    return dialog.success();
}

}  // namespace vm::gui
