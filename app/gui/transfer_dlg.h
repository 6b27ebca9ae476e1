// The transfer dialog (resource 145): a progress bar, "Start", the percentage and "Exit",
// around one clone worker on its own thread. The worker reaches the window only through its
// callbacks, which this dialog carries over to the user-interface thread.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "app/link/clone_worker.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace vm::gui {

class CTransferDlg : public QDialog {
    Q_OBJECT
public:
    CTransferDlg(RadioImage& image, const TransferRangeTable& table, const std::string& port_path,
                 bool extended_range, CloneWorkerOptions options = {}, QWidget* parent = nullptr);
    ~CTransferDlg() override;

    // 1 when every block was transferred and the end marker sent.
    bool success() const;
    std::optional<TransferOutcome> outcome() const;
    // What identifies a failure (the port and its reason, the block, a wrong access code).
    std::string detail() const;

    QProgressBar* progress() const { return progress_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* exitButton() const { return exit_; }
    QLabel* percent() const { return percent_; }

    // A Write's check box "Read a backup first" (off): when it is ticked, Start first runs
    // `read_backup`, and the write starts only when that returned true.
    void OfferBackupFirst(std::function<bool()> read_backup);
    QCheckBox* backupFirst() const { return backup_first_; }

    void reject() override;  // "Exit", the close box and Esc

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnStart();
    TransferCallbacks MakeCallbacks();

    QProgressBar* progress_;
    QPushButton* start_;
    QLabel* percent_;
    QPushButton* exit_;
    bool extended_range_;
    bool initialised_ = false;
    QCheckBox* backup_first_ = nullptr;
    std::function<bool()> read_backup_;
    std::unique_ptr<TransferSession> session_;
};

// Runs one transfer modally and returns its success flag. With `read_backup`, the dialog
// offers to read a backup first (OfferBackupFirst).
bool RunTransfer(QWidget* parent, RadioImage& image, const TransferRangeTable& table,
                 const std::string& port_path, bool extended_range,
                 const CloneWorkerOptions& options = {}, std::function<bool()> read_backup = {});

}  // namespace vm::gui
