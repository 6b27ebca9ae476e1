#include "app/gui/channel_table_actions.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <sstream>

#include "app/editors/channels/channel_sheet.h"
#include "app/editors/channels/chirp_csv.h"
#include "app/editors/channels/csv_document.h"
#include "app/gui/child_frame.h"
#include "app/gui/editor_windows.h"
#include "app/gui/grid_widget.h"
#include "app/gui/ui_hooks.h"
#include "app/gui/window_menu.h"
#include "app/image/file_bytes.h"
#include "app/shell/atomic_file.h"

namespace vm::gui {

namespace {

using V = CProgramView;

// A channel list far beyond the table's 60 KB is not one.
constexpr std::size_t kMaxListBytes = 16 * 1024 * 1024;
// At most this many report lines in a message box; the rest are counted.
constexpr std::size_t kShownLines = 30;

QString Lines(const std::vector<std::string>& lines) {
    QStringList shown;
    for (std::size_t i = 0; i < lines.size() && i < kShownLines; ++i)
        shown << QString::fromStdString(lines[i]);
    if (lines.size() > kShownLines)
        shown << QString("... and %1 more").arg(lines.size() - kShownLines);
    return shown.join('\n');
}

void Tell(QWidget* parent, const QString& text, MessageIcon icon) {
    Hooks().message_box(parent, text, AppTitle(), MessageButtons::Ok, icon, {});
}

bool Ask(QWidget* parent, const QString& text) {
    return Hooks().message_box(parent, text, AppTitle(), MessageButtons::YesNo,
                               MessageIcon::Warning, {}) == MessageAnswer::Yes;
}

QString RowText(const Grid& g, int r) {
    const std::string name = g.Text(r, V::kColName);
    return QString("%1  %2%3")
        .arg(r)
        .arg(QString::fromStdString(g.Text(r, V::kColRx)))
        .arg(name.empty() ? QString() : "  " + QString::fromStdString(name));
}

}  // namespace

ChannelTableActions::ChannelTableActions(CProgramView& view, GridWidget& grid, QWidget* window)
    : QObject(window), view_(view), grid_(grid), window_(window), ops_(view) {
    setObjectName("ChannelTableActions");
    grid_.setSelectionMode(QAbstractItemView::ExtendedSelection);
    grid_.verticalHeader()->viewport()->installEventFilter(this);
    grid_.viewport()->installEventFilter(this);
    grid_.setContextMenuPolicy(Qt::ActionsContextMenu);

    AddAction("copy", "&Copy", QKeySequence::Copy, &ChannelTableActions::Copy);
    AddAction("cut", "Cu&t", QKeySequence::Cut, &ChannelTableActions::Cut);
    AddAction("paste", "&Paste", QKeySequence::Paste, &ChannelTableActions::Paste);
    AddAction("clear", "&Delete", QKeySequence(Qt::Key_Delete), &ChannelTableActions::ClearRows);
    AddAction("delete", "Delete and &Shift Up", QKeySequence(Qt::SHIFT | Qt::Key_Delete),
              &ChannelTableActions::DeleteRows);
    AddAction("insert", "&Insert", QKeySequence(Qt::Key_Insert), &ChannelTableActions::InsertRow);
    QAction* up = new QAction("Move &Up", this);
    up->setObjectName("up");
    up->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Up));
    up->setShortcutContext(Qt::WidgetShortcut);
    connect(up, &QAction::triggered, this, [this] { MoveRows(-1); });
    grid_.addAction(up);
    QAction* down = new QAction("Move Do&wn", this);
    down->setObjectName("down");
    down->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Down));
    down->setShortcutContext(Qt::WidgetShortcut);
    connect(down, &QAction::triggered, this, [this] { MoveRows(1); });
    grid_.addAction(down);
    AddAction("undo", "U&ndo", QKeySequence(Qt::CTRL | Qt::Key_Z), &ChannelTableActions::Undo);
    AddAction("redo", "&Redo", QKeySequence(Qt::CTRL | Qt::Key_Y), &ChannelTableActions::Redo);
    AddAction("find", "&Find...", QKeySequence(Qt::CTRL | Qt::Key_F), &ChannelTableActions::Find);
    QAction* next = new QAction("Find &Next", this);
    next->setObjectName("findNext");
    next->setShortcut(QKeySequence(Qt::Key_F3));
    next->setShortcutContext(Qt::WidgetShortcut);
    connect(next, &QAction::triggered, this, [this] { FindText(find_text_, true); });
    grid_.addAction(next);
    QAction* previous = new QAction("Find Pre&vious", this);
    previous->setObjectName("findPrevious");
    previous->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3));
    previous->setShortcutContext(Qt::WidgetShortcut);
    connect(previous, &QAction::triggered, this, [this] { FindText(find_text_, false); });
    grid_.addAction(previous);
    AddAction("sort", "S&ort...", QKeySequence(), &ChannelTableActions::Sort);
}

QAction* ChannelTableActions::AddAction(const QString& name, const QString& text,
                                        const QKeySequence& key,
                                        void (ChannelTableActions::*slot)()) {
    auto* a = new QAction(text, this);
    a->setObjectName(name);
    a->setShortcut(key);
    // Only while the grid has the focus: a cell editor keeps its own Copy, Paste and Delete.
    a->setShortcutContext(Qt::WidgetShortcut);
    connect(a, &QAction::triggered, this, slot);
    grid_.addAction(a);
    return a;
}

QAction* ChannelTableActions::action(const QString& name) const {
    return findChild<QAction*>(name);
}

// ---------------------------------------------------------------------------------------------
// Selection by the channel numbers

bool ChannelTableActions::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonPress) return false;
    auto* me = static_cast<QMouseEvent*>(event);
    if (me->button() != Qt::LeftButton) return false;
    const int r = grid_.rowAt(me->position().toPoint().y());
    if (r < 0) return false;
    const int row = r + 1;
    const bool header = watched == grid_.verticalHeader()->viewport();
    if (header && (me->modifiers() & Qt::ShiftModifier)) {
        selected_.clear();
        for (int n = std::min(anchor_, row); n <= std::max(anchor_, row); ++n) selected_.insert(n);
    } else if (header && (me->modifiers() & Qt::ControlModifier)) {
        if (!selected_.erase(row)) selected_.insert(row);
        anchor_ = row;
    } else {
        selected_ = {row};
        anchor_ = row;
    }
    // The grid takes the press next (current cell, highlight); the rows are shown after it.
    QTimer::singleShot(0, this, [this] { ApplySelection(); });
    return false;
}

void ChannelTableActions::ApplySelection() {
    QItemSelection selection;
    for (int row : selected_)
        selection.select(grid_.model()->index(row - 1, 0),
                         grid_.model()->index(row - 1, grid_.columnCount() - 1));
    grid_.selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

std::vector<int> ChannelTableActions::SelectedRows() const {
    if (selected_.empty() || (selected_.size() == 1 && !selected_.count(view_.grid().Row())))
        return {view_.grid().Row()};
    return {selected_.begin(), selected_.end()};
}

void ChannelTableActions::SelectRows(int first, int last) {
    selected_.clear();
    for (int n = first; n <= last; ++n) selected_.insert(n);
    anchor_ = first;
    view_.grid().SetRow(first);
    ApplySelection();
}

// ---------------------------------------------------------------------------------------------
// Commands

void ChannelTableActions::Show(const TableOpResult& result, const QString& what) {
    if (!result.ok) {
        Tell(window_, what + ": " + QString::fromStdString(result.error), MessageIcon::Warning);
        return;
    }
    if (!result.reports.empty())
        Tell(window_, what + ":\n" + Lines(result.reports), MessageIcon::Information);
}

void ChannelTableActions::Copy() {
    own_ = ops_.Copy(SelectedRows());
    QApplication::clipboard()->setText(QString::fromStdString(own_.tsv));
}

void ChannelTableActions::Cut() {
    const TableOpResult r = ops_.Cut(SelectedRows(), own_);
    QApplication::clipboard()->setText(QString::fromStdString(own_.tsv));
    Show(r, "Cut");
}

void ChannelTableActions::Paste() {
    const std::string text = QApplication::clipboard()->text().toStdString();
    Show(ops_.Paste(view_.grid().Row(), text, &own_), "Paste");
}

void ChannelTableActions::ClearRows() {
    Show(ops_.Delete(SelectedRows(), false), "Delete");
}

void ChannelTableActions::DeleteRows() {
    Show(ops_.Delete(SelectedRows(), true), "Delete");
}

void ChannelTableActions::InsertRow() {
    const int row = view_.grid().Row();
    bool push_off = false;
    if (ops_.LastInUse()) {
        if (!Ask(window_,
                 "Channel 800 is in use and would be pushed off the end.\n"
                 "Insert anyway (channel 800 is lost)?"))
            return;
        push_off = true;
    }
    Show(ops_.Insert(row, push_off), "Insert");
}

void ChannelTableActions::MoveRows(int delta) {
    const std::vector<int> rows = SelectedRows();
    const int first = rows.front();
    const int last = rows.back();
    const TableOpResult r = ops_.Move(first, last, first + delta);
    if (r.ok) {
        SelectRows(first + delta, last + delta);
    } else {
        Show(r, delta < 0 ? "Move Up" : "Move Down");
    }
}

void ChannelTableActions::Undo() {
    ops_.Undo();
}

void ChannelTableActions::Redo() {
    ops_.Redo();
}

void ChannelTableActions::Find() {
    bool ok = false;
    const QString text = QInputDialog::getText(
        window_, "Find", "Frequency (MHz) or name:", QLineEdit::Normal, find_text_, &ok);
    if (ok) FindText(text, true);
}

bool ChannelTableActions::FindText(const QString& text, bool forward) {
    find_text_ = text;
    if (text.trimmed().isEmpty()) return false;
    const auto row = ops_.Find(text.toStdString(), view_.grid().Row(), forward);
    if (!row) {
        Tell(window_, "\"" + text + "\" is not in the table.", MessageIcon::Information);
        return false;
    }
    view_.grid().SetRow(*row);
    SelectRows(*row, *row);
    return true;
}

void ChannelTableActions::Sort() {
    const std::vector<int> rows = SelectedRows();
    const bool range = rows.size() > 1;
    ChannelSortDialog dialog(ops_, view_, range ? rows.front() : 2,
                             range ? rows.back() : kChannelsPerBank, window_);
    if (dialog.exec() != QDialog::Accepted) return;
    Show(ops_.Sort(dialog.key(), dialog.first(), dialog.last()), "Sort");
}

// ---------------------------------------------------------------------------------------------
// Import and export

void ChannelTableActions::ImportChannels() {
    FileChoice choice;
    choice.caption = "Import Channels";
    choice.filter = "Channel lists (*.csv);;All files (*)";
    const QString path = Hooks().choose_file(window_, choice);
    if (path.isEmpty()) return;
    const std::string shown = path.toStdString();
    const FileBytes bytes = ReadFileBytes(path.toStdString(), kMaxListBytes);
    if (!bytes) {
        Tell(window_, QString::fromStdString(shown + ": " + shell::SystemErrorText(bytes.error)),
             MessageIcon::Warning);
        return;
    }
    if (bytes.more) {
        Tell(window_, QString::fromStdString(shown + ": longer than 16 MiB, not a channel list"),
             MessageIcon::Warning);
        return;
    }
    const CsvDocument doc = ReadCsvDocument(bytes.Text());
    auto refuse = [&](const std::string& error) {
        Tell(window_, QString::fromStdString(shown + ": " + error + "; nothing imported"),
             MessageIcon::Warning);
    };
    if (!doc.ok()) return refuse(doc.error);
    ops_.CommitCellEdits();
    std::vector<std::string> report;
    if (chirp::IsChirpHeader(doc.header)) {
        const chirp::ImportPlan plan = chirp::PlanImport(doc, view_.bands(), false);
        if (!plan.ok()) return refuse(plan.error);
        auto line = [](const chirp::RowProblem& p) {
            return "line " + std::to_string(p.line) + ": " +
                   (p.location ? "location " + std::to_string(p.location) + ": " : "") + p.text;
        };
        std::vector<std::string> problems;
        for (const auto& p : plan.problems) problems.push_back(line(p));
        if (!problems.empty() && !Ask(window_, QString::fromStdString(shown) +
                                                   ": these rows cannot be held by this radio:\n" +
                                                   Lines(problems) + "\n\nImport the other rows?"))
            return;
        for (const auto& p : plan.notes) report.push_back(line(p));
        const auto failed = chirp::ApplyImport(plan, view_, nullptr);
        for (const auto& p : failed) report.push_back(line(p));
        if (!failed.empty()) {  // no plan should hold such a row: nothing of the file is kept
            ops_.CommitCellEdits();
            ops_.Undo();
            std::vector<std::string> lines;
            for (const auto& p : failed) lines.push_back(line(p));
            return refuse("rows the table did not take as planned:\n" + Lines(lines).toStdString());
        }
    } else {
        const CsvImport import = ParseChannelCsv(doc);
        if (!import.ok()) return refuse(import.error);
        for (const EditReport& r : ApplyImport(view_, import)) {
            const std::string head(V::kHeaders[static_cast<std::size_t>(r.edit.column)]);
            report.push_back("line " + std::to_string(r.edit.line) + ": " +
                             std::to_string(r.edit.channel) + ":" + head + "=" + r.edit.text +
                             (r.error.empty() ? " became " + r.result : ": " + r.error));
        }
    }
    ops_.CommitCellEdits();
    Tell(window_,
         QString::fromStdString(shown) +
             (report.empty() ? ": imported." : ": imported, with these notes:\n" + Lines(report)),
         MessageIcon::Information);
}

void ChannelTableActions::ExportChannels() {
    FileChoice choice;
    choice.save = true;
    choice.caption = "Export Channels";
    choice.file_name = "channels.csv";
    choice.filter = "Channel lists (*.csv);;All files (*)";
    const QString path = Hooks().choose_file(window_, choice);
    if (path.isEmpty()) return;
    const bool chirp_layout = Ask(window_,
                                  "Write the exchange layout that other programmers read (CHIRP)?\n"
                                  "No writes the channel table's own CSV.");
    ops_.CommitCellEdits();
    std::ostringstream out;
    std::vector<std::string> notes;
    if (chirp_layout) {
        for (const auto& n : chirp::WriteCsv(view_, view_.image(), out))
            notes.push_back("channel " + std::to_string(n.channel) + ": " + n.text);
    } else {
        WriteChannelCsv(view_, out);
    }
    const std::string text = out.str();
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const shell::IoResult written =
        shell::WriteFileAtomically(path.toStdString(), {std::span(p, text.size())});
    if (!written) {
        Tell(window_, path + ": " + QString::fromStdString(written.message), MessageIcon::Warning);
        return;
    }
    if (!notes.empty())
        Tell(window_, path + ": written; the layout cannot carry:\n" + Lines(notes),
             MessageIcon::Information);
}

// ---------------------------------------------------------------------------------------------

ChannelTableActions* ChannelActionsOf(QWidget* window) {
    return window ? window->findChild<ChannelTableActions*>("ChannelTableActions",
                                                            Qt::FindDirectChildrenOnly)
                  : nullptr;
}

void AttachChannelTableActions(FormViewWindow& window) {
    auto* view = dynamic_cast<CProgramView*>(&window.base_view());
    if (!view || view->bank() != Bank::A) return;
    GridWidget* grid = window.grid(CProgramView::kIdGrid);
    if (!grid) return;
    new ChannelTableActions(*view, *grid, &window);
}

void ResetChannelHistories(QMdiArea& mdi) {
    for (QMdiSubWindow* sub : mdi.subWindowList())
        if (auto* frame = qobject_cast<CChildFrame*>(sub))
            if (ChannelTableActions* actions = ChannelActionsOf(frame->view()))
                actions->ops().ResetHistory();
}

// ---------------------------------------------------------------------------------------------

ChannelSortDialog::ChannelSortDialog(const ChannelTableOps& ops, const CProgramView& view,
                                     int first, int last, QWidget* parent)
    : QDialog(parent), ops_(ops), view_(view) {
    setObjectName("ChannelSortDialog");
    setWindowTitle("Sort");
    key_ = new QComboBox(this);
    key_->addItems({"Rx frequency", "Name"});
    from_ = new QSpinBox(this);
    to_ = new QSpinBox(this);
    for (QSpinBox* s : {from_, to_}) s->setRange(1, kChannelsPerBank);
    from_->setValue(first);
    to_->setValue(last);
    preview_ = new QListWidget(this);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* form = new QFormLayout;
    form->addRow("Sort by", key_);
    form->addRow("From channel", from_);
    form->addRow("To channel", to_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(preview_, 1);
    layout->addWidget(buttons);
    connect(key_, &QComboBox::currentIndexChanged, this, &ChannelSortDialog::UpdatePreview);
    connect(from_, &QSpinBox::valueChanged, this, &ChannelSortDialog::UpdatePreview);
    connect(to_, &QSpinBox::valueChanged, this, &ChannelSortDialog::UpdatePreview);
    FitOnScreen(*this, QSize(360, 480));
    UpdatePreview();
}

SortKey ChannelSortDialog::key() const {
    return key_->currentIndex() == 1 ? SortKey::Name : SortKey::Rx;
}
int ChannelSortDialog::first() const {
    return from_->value();
}
int ChannelSortDialog::last() const {
    return to_->value();
}

// The channels in use of the range in their new order, each as "new: old  Rx  name".
void ChannelSortDialog::UpdatePreview() {
    preview_->clear();
    const std::vector<int> order = ops_.SortPreview(key(), first(), last());
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (view_.grid().Text(order[i], V::kColRx).empty()) break;
        preview_->addItem(QString("%1 <- %2")
                              .arg(first() + static_cast<int>(i))
                              .arg(RowText(view_.grid(), order[i])));
    }
}

}  // namespace vm::gui
