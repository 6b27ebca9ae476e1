#include "app/gui/editor_windows.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/editors/framework/tabbed_view.h"
#include "app/gui/binding_support.h"
#include "app/gui/channel_table_actions.h"
#include "app/gui/form_binder.h"
#include "app/gui/grid_widget.h"
#include "app/gui/tabbed_form_window.h"
#include "app/gui/window_menu.h"

namespace vm::gui {

namespace {

bool Shown(const Form& form, const LayoutRow& row) {
    return !row.ids.empty() && form.At(row.ids.front()).visible;
}

// A field as wide as what it holds: an edit as its length limit, a list as its longest entry.
// True when the field has a width of its own (it is not stretched across its column).
bool SizeToContent(const Control& c, QWidget* w) {
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        return true;
    }
    auto* edit = qobject_cast<QLineEdit*>(w);
    if (!edit || c.limit == 0) return false;
    const QFontMetrics metrics(edit->font());
    const int chars = static_cast<int>(std::max<std::size_t>(c.limit, 3));
    // Room for the characters, the frame and the text margins.
    edit->setFixedWidth(metrics.horizontalAdvance(QString(chars, QChar('M'))) + 16);
    return true;
}

// The control of a row, with its spin beside it when it has one.
QWidget* RowWidget(FormBinder& binder, const LayoutRow& row, QWidget* parent) {
    QWidget* w = binder.widget(row.ids.front());
    if (row.ids.size() == 1) {
        w->setParent(parent);
        return w;
    }
    auto* pair = new QWidget(parent);
    auto* h = new QHBoxLayout(pair);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(0);
    for (std::size_t i = 0; i < row.ids.size(); ++i) {
        QWidget* part = binder.widget(row.ids[i]);
        part->setParent(pair);
        h->addWidget(part, i == 0 ? 1 : 0);
    }
    return pair;
}

// Rows as label + control in one grid layout column pair starting at `col`.
void AddRow(FormBinder& binder, const LayoutRow& row, QWidget* parent, QGridLayout* grid, int r,
            int col) {
    auto* label = new QLabel(QString::fromStdString(row.label), parent);
    QWidget* field = binder.widget(row.ids.front());
    label->setBuddy(field);
    grid->addWidget(label, r, col);
    const bool sized = SizeToContent(binder.form().At(row.ids.front()), field);
    QWidget* control = RowWidget(binder, row, parent);
    if (sized)
        grid->addWidget(control, r, col + 1, Qt::AlignLeft | Qt::AlignVCenter);
    else
        grid->addWidget(control, r, col + 1);
}

// A run of row and group blocks: one or two columns of whole groups and single rows.
class Section {
public:
    Section(FormBinder& binder, QWidget* container) : binder_(binder), container_(container) {}

    void Add(const LayoutBlock& b) {
        const Form& form = binder_.form();
        if (b.kind == BlockKind::Group) {
            int rows = 0;
            for (const LayoutRow& r : b.rows) rows += Shown(form, r);
            if (rows == 0 && !form.At(b.id).visible) return;
            items_.push_back({&b, nullptr, rows + 1});
        } else {
            for (const LayoutRow& r : b.rows)
                if (Shown(form, r)) items_.push_back({nullptr, &r, 1});
        }
    }

    void Flush(QVBoxLayout* outer, int columns) {
        if (items_.empty()) return;
        int total = 0;
        for (const Item& i : items_) total += i.weight;
        if (columns == 0) columns = total > 12 ? 2 : 1;
        // Each column stacks its own blocks: a tall group box beside short ones leaves no gaps
        // in the other column, and the labels of one column line up.
        auto* holder = new QWidget(container_);
        auto* columns_layout = new QHBoxLayout(holder);
        columns_layout->setContentsMargins(0, 0, 0, 0);
        columns_layout->setSpacing(24);
        QGridLayout* grid = nullptr;
        auto new_column = [&] {
            auto* column = new QWidget(holder);
            grid = new QGridLayout(column);
            grid->setContentsMargins(0, 0, 0, 0);
            grid->setHorizontalSpacing(10);
            grid->setColumnStretch(1, 1);
            columns_layout->addWidget(column, 1, Qt::AlignTop);
        };
        new_column();
        const int per_column = columns > 1 ? (total + 1) / 2 : total;
        int placed = 0;
        int row = 0;
        bool second = false;
        for (const Item& i : items_) {
            if (columns > 1 && !second && placed >= per_column) {
                new_column();
                second = true;
                row = 0;
            }
            if (i.group) {
                auto* box = qobject_cast<QGroupBox*>(binder_.widget(i.group->id));
                box->setParent(grid->parentWidget());
                auto* inner = new QGridLayout(box);
                inner->setHorizontalSpacing(10);
                int r = 0;
                for (const LayoutRow& lr : i.group->rows)
                    if (Shown(binder_.form(), lr)) AddRow(binder_, lr, box, inner, r++, 0);
                inner->setColumnStretch(1, 1);
                grid->addWidget(box, row, 0, 1, 2);
            } else {
                AddRow(binder_, *i.row, grid->parentWidget(), grid, row, 0);
            }
            ++row;
            placed += i.weight;
        }
        outer->addWidget(holder);
        items_.clear();
    }

private:
    struct Item {
        const LayoutBlock* group;
        const LayoutRow* row;
        int weight;
    };
    FormBinder& binder_;
    QWidget* container_;
    std::vector<Item> items_;
};

}  // namespace

void LayOutForm(FormBinder& binder, const FormLayout& layout, QWidget* container) {
    auto* outer = new QVBoxLayout(container);
    outer->setContentsMargins(12, 12, 12, 12);
    Section section(binder, container);
    bool stretched = false;
    for (const LayoutBlock& b : layout.blocks) {
        switch (b.kind) {
            case BlockKind::Rows:
            case BlockKind::Group:
                section.Add(b);
                break;
            case BlockKind::Tab:
                section.Flush(outer, layout.columns);
                outer->addWidget(binder.widget(b.id));
                break;
            case BlockKind::Grid:
                section.Flush(outer, layout.columns);
                outer->addWidget(binder.widget(b.id), 1);
                stretched = true;
                break;
            case BlockKind::Buttons: {
                section.Flush(outer, layout.columns);
                auto* row = new QHBoxLayout;
                for (int id : b.ids) row->addWidget(binder.widget(id));
                row->addStretch(1);
                outer->addLayout(row);
                break;
            }
        }
    }
    section.Flush(outer, layout.columns);
    if (!stretched) outer->addStretch(1);
}

// ---------------------------------------------------------------------------------------------

FormViewWindow::FormViewWindow(std::unique_ptr<CBaseFormView> view, const FormLayout& layout,
                               QWidget* parent)
    : EditorWindow(parent), view_(std::move(view)) {
    binder_ = std::make_unique<FormBinder>(view_->form(), this);
    LayOutForm(*binder_, layout, this);
    const Form& form = view_->form();
    if (form.Focused() != 0) {
        binder_->widget(form.Focused())->setFocus();
    } else {
        for (const LayoutBlock& b : layout.blocks)
            if (b.kind == BlockKind::Grid) {
                binder_->widget(b.id)->setFocus();
                break;
            }
    }
}

FormViewWindow::~FormViewWindow() {
    // The window closes: the view is stored before the widgets go.
    view_->Destroy();
}

QWidget* FormViewWindow::control(int id) const {
    return binder_->widget(id);
}

GridWidget* FormViewWindow::grid(int id) const {
    return binder_->grid(id);
}

// ---------------------------------------------------------------------------------------------

FormDialogHost::FormDialogHost(std::unique_ptr<CBaseFormView> view, const FormLayout& layout,
                               QWidget* parent)
    : QDialog(parent), view_(std::move(view)) {
    // The form scrolls inside the dialog when the screen is smaller than the form.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("FormScroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);  // the focus goes to the form's controls
    auto* content = new QWidget;
    binder_ = std::make_unique<FormBinder>(view_->form(), content);
    LayOutForm(*binder_, layout, content);
    scroll->setWidget(content);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 12, 12);
    outer->addWidget(scroll, 1);
    // A visible way out beside the close box, doing what the close box does. It is no default
    // button: Enter keeps the meaning the form gives it.
    auto* close = new QPushButton("Close", this);
    close->setObjectName("Close");
    close->setAutoDefault(false);
    close->setDefault(false);
    close->setFocusPolicy(Qt::TabFocus);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(close);
    outer->addLayout(row);
    if (auto* dialog = dynamic_cast<CFormDialog*>(view_.get()))
        dialog->close_window = [this] { Finish(); };
}

FormDialogHost::~FormDialogHost() {
    if (auto* dialog = dynamic_cast<CFormDialog*>(view_.get())) dialog->close_window = nullptr;
    view_->Destroy();
}

QWidget* FormDialogHost::control(int id) const {
    return binder_->widget(id);
}

void FormDialogHost::Finish() {
    if (finished_) return;
    finished_ = true;
    QDialog::done(QDialog::Accepted);
}

void FormDialogHost::reject() {
    if (finished_ || view_->RequestClose()) Finish();
}

void FormDialogHost::closeEvent(QCloseEvent* event) {
    if (finished_ || view_->RequestClose()) {
        finished_ = true;
        event->accept();
        return;
    }
    event->ignore();
}

void FormDialogHost::keyPressEvent(QKeyEvent* event) {
    Form& form = view_->form();
    const auto key = FormKeyOf(event->key(), false);
    // A focused control's keys were handed to the form by the binder already; Enter and Esc
    // keep the dialog's own meaning.
    if (key && *key != Key::Escape && *key != Key::Enter && form.Focused() == 0 &&
        form.Press(0, *key)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---------------------------------------------------------------------------------------------

EditorWindow* OpenEditorWindow(const EditorEntry& entry, EditorContext& ctx) {
    if (entry.kind == WindowKind::ModalDialog) return nullptr;
    auto view = OpenEditorView(entry, ctx);
    if (!view) return nullptr;
    EditorWindow* window = nullptr;
    if (entry.kind == WindowKind::TabbedView) {
        auto* tabbed = dynamic_cast<CTabbedView*>(view.get());
        if (!tabbed) return nullptr;
        view.release();
        window = new TabbedFormWindow(std::unique_ptr<CTabbedView>(tabbed), &entry);
    } else {
        const FormLayout layout = EditorLayout(entry, view->form());
        auto* form_window = new FormViewWindow(std::move(view), layout);
        AttachChannelTableActions(*form_window);
        window = form_window;
    }
    window->setObjectName(QString::fromUtf8(entry.object_name.data(),
                                            static_cast<qsizetype>(entry.object_name.size())));
    return window;
}

void RunEditorDialog(const EditorEntry& entry, EditorContext& ctx, QWidget* parent) {
    auto view = OpenEditorView(entry, ctx);
    if (!view) return;
    const FormLayout layout = EditorLayout(entry, view->form());
    FormDialogHost host(std::move(view), layout, parent);
    host.setObjectName(QString::fromUtf8(entry.object_name.data(),
                                         static_cast<qsizetype>(entry.object_name.size())));
    host.setWindowTitle(
        QString::fromUtf8(entry.title.data(), static_cast<qsizetype>(entry.title.size())));
    FitOnScreen(host, entry.width > 0 ? QSize(entry.width, entry.height) : host.sizeHint());
    host.exec();
}

}  // namespace vm::gui
