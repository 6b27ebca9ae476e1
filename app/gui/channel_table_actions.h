// The channel table's window as a spreadsheet: rows selected by their channel numbers (click,
// Shift, Ctrl), the edit commands on the grid (Ctrl+C/X/V, Del, Shift+Del, Ins, Ctrl+Up/Down,
// Ctrl+Z/Y, Ctrl+F, F3), the Sort dialog with its preview, and the channel list import and
// export. Every command is the headless ChannelTableOps or chirp code; this only binds.
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <memory>
#include <set>
#include <vector>

#include "app/editors/channels/channel_table_ops.h"
#include "app/editors/channels/program_view.h"

class QAction;
class QComboBox;
class QListWidget;
class QMdiArea;
class QSpinBox;

namespace vm::gui {

class GridWidget;
class FormViewWindow;

class ChannelTableActions : public QObject {
    Q_OBJECT
public:
    ChannelTableActions(CProgramView& view, GridWidget& grid, QWidget* window);

    ChannelTableOps& ops() { return ops_; }
    CProgramView& view() { return view_; }
    GridWidget& grid() { return grid_; }
    QAction* action(const QString& name) const;

    // The selected rows (at least the current one), ascending.
    std::vector<int> SelectedRows() const;
    void SelectRows(int first, int last);

    void Copy();
    void Cut();
    void Paste();
    void ClearRows();
    void DeleteRows();
    void InsertRow();
    void MoveRows(int delta);
    void Undo();
    void Redo();
    void Find();
    bool FindText(const QString& text, bool forward);
    void Sort();

    // File > Import Channels... and Export Channels...: a file chosen, the report shown.
    void ImportChannels();
    void ExportChannels();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* AddAction(const QString& name, const QString& text, const QKeySequence& key,
                       void (ChannelTableActions::*slot)());
    void Show(const TableOpResult& result, const QString& what);
    void ApplySelection();

    CProgramView& view_;
    GridWidget& grid_;
    QWidget* window_;
    ChannelTableOps ops_;
    ChannelClipboard own_;
    std::set<int> selected_;
    int anchor_ = 1;
    QString find_text_;
};

// The actions of a channel table window, null for another window.
ChannelTableActions* ChannelActionsOf(QWidget* window);
// Gives a channel table's window its actions (a window over another view is left alone).
void AttachChannelTableActions(FormViewWindow& window);
// After New, Open and Read: the tables' histories start again.
void ResetChannelHistories(QMdiArea& mdi);

// Sort: the key and range, with the order they give.
class ChannelSortDialog : public QDialog {
    Q_OBJECT
public:
    ChannelSortDialog(const ChannelTableOps& ops, const CProgramView& view, int first, int last,
                      QWidget* parent = nullptr);
    SortKey key() const;
    int first() const;
    int last() const;
    QListWidget* preview() const { return preview_; }
    QComboBox* keyBox() const { return key_; }
    QSpinBox* fromBox() const { return from_; }
    QSpinBox* toBox() const { return to_; }

private:
    void UpdatePreview();
    const ChannelTableOps& ops_;
    const CProgramView& view_;
    QComboBox* key_;
    QSpinBox* from_;
    QSpinBox* to_;
    QListWidget* preview_;
};

}  // namespace vm::gui
