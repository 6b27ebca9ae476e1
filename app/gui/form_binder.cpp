#include "app/gui/form_binder.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QToolButton>
#include <algorithm>
#include <memory>
#include <optional>

#include "app/gui/binding_support.h"
#include "app/gui/grid_widget.h"

namespace vm::gui {
namespace {

QStringList Entries(const Control& c) {
    QStringList list;
    for (const auto& e : c.entries) list << QString::fromStdString(e);
    return list;
}

// A spin control: the two arrows beside its edit. A press steps by the spin's increment;
// held down past the acceleration time, by its accelerated step.
class SpinArrows : public QWidget {
public:
    SpinArrows(QWidget* parent, const Form& form, int id, std::function<void(int)> step)
        : QWidget(parent) {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        for (int direction : {-1, +1}) {
            auto* b = new QToolButton(this);
            b->setArrowType(direction < 0 ? Qt::DownArrow : Qt::UpArrow);
            b->setObjectName(direction < 0 ? "down" : "up");
            b->setAutoRepeat(true);
            layout->addWidget(b);
            connect(b, &QToolButton::pressed, this, [this] { held_.start(); });
            connect(b, &QToolButton::clicked, this, [this, &form, id, step, direction] {
                const SpinSettings& s = form.At(id).spin;
                const bool fast = s.accelerated != 0 && held_.isValid() &&
                                  held_.elapsed() >= s.accelerate_after_ms;
                step(direction * (fast ? s.accelerated : s.increment));
            });
        }
    }

private:
    QElapsedTimer held_;
};

QLineEdit* LineEditOf(QWidget* w) {
    if (auto* le = qobject_cast<QLineEdit*>(w)) return le;
    if (auto* cb = qobject_cast<QComboBox*>(w)) return cb->lineEdit();
    return nullptr;
}

}  // namespace

FormBinder::FormBinder(Form& form, QWidget* container) : form_(form), container_(container) {
    form_.logpixels_x = container->logicalDpiX();
    form_.logpixels_y = container->logicalDpiY();
    for (int id : form_.Ids()) {
        QWidget* w = Create(form_.At(id));
        w->setObjectName(QString::number(id));
        widgets_[id] = w;
        ids_[w] = id;
        w->installEventFilter(this);
        if (QLineEdit* le = LineEditOf(w); le && le != w) {
            ids_[le] = id;
            le->installEventFilter(this);
        }
    }
    for (int id : form_.Ids()) ApplyAll(id);
    // The listener stays registered with the form when the binder goes: it checks that the
    // binder still exists.
    form_.Listen([this, alive = alive_](const Change& change) {
        if (*alive) Apply(change);
    });
}

FormBinder::~FormBinder() {
    // The widgets go first, while the form they talk to still exists.
    *alive_ = false;
    ++syncing_;
    // A group box takes its controls with it: each widget is deleted unless it has gone.
    std::vector<QPointer<QWidget>> widgets;
    for (auto& [id, w] : widgets_) {
        w->removeEventFilter(this);
        widgets.emplace_back(w);
    }
    for (QPointer<QWidget>& w : widgets) delete w.data();
}

QWidget* FormBinder::widget(int id) const {
    auto it = widgets_.find(id);
    return it == widgets_.end() ? nullptr : it->second;
}

GridWidget* FormBinder::grid(int id) const {
    return qobject_cast<GridWidget*>(widget(id));
}

int FormBinder::IdOf(const QObject* widget) const {
    auto it = ids_.find(widget);
    return it == ids_.end() ? 0 : it->second;
}

QWidget* FormBinder::Create(const Control& c) {
    const int id = c.id;
    switch (c.kind) {
        case ControlKind::Static:
            return new QLabel(container_);
        case ControlKind::Edit: {
            auto* le = new QLineEdit(container_);
            connect(le, &QLineEdit::textChanged, this, [this, id, le](const QString& text) {
                if (syncing_ == 0) {
                    SyncGuard guard(syncing_);
                    // What the user pastes is held to the rules of typing (a text the editor
                    // sets is shown whole).
                    form_.SetText(id, HoldToTyping(id, le, text).toStdString());
                }
            });
            return le;
        }
        case ControlKind::DropList:
        case ControlKind::EditCombo: {
            auto* cb = new QComboBox(container_);
            cb->setEditable(c.kind == ControlKind::EditCombo);
            cb->setInsertPolicy(QComboBox::NoInsert);
            cb->setMaxVisibleItems(12);
            connect(cb, &QComboBox::activated, this, [this, id, cb](int index) {
                if (syncing_ != 0) return;
                Form::ActionScope scope(form_);
                if (form_.At(id).kind == ControlKind::EditCombo) {
                    SyncGuard guard(syncing_);
                    form_.SetText(id, cb->itemText(index).toStdString());
                }
                form_.Choose(id, index);
            });
            if (cb->isEditable()) {
                connect(cb->lineEdit(), &QLineEdit::textChanged, this,
                        [this, id, cb](const QString& text) {
                            if (syncing_ == 0) {
                                SyncGuard guard(syncing_);
                                // An entry chosen from the list is taken as it is; a pasted
                                // text is held to the rules of typing.
                                const QString kept = cb->findText(text, Qt::MatchExactly) >= 0
                                                         ? text
                                                         : HoldToTyping(id, cb->lineEdit(), text);
                                form_.SetText(id, kept.toStdString());
                            }
                        });
            }
            return cb;
        }
        case ControlKind::Check: {
            auto* check = new QCheckBox(container_);
            connect(check, &QCheckBox::clicked, this, [this, id, check] {
                if (syncing_ != 0) return;
                {
                    Form::ActionScope scope(form_);
                    form_.Click(id);
                }
                SyncGuard guard(syncing_);
                check->setChecked(form_.Checked(id));
            });
            return check;
        }
        case ControlKind::Button: {
            auto* b = new QPushButton(container_);
            b->setAutoDefault(false);
            connect(b, &QPushButton::clicked, this, [this, id] {
                Form::ActionScope scope(form_);
                form_.Click(id);
            });
            return b;
        }
        case ControlKind::Spin:
            return new SpinArrows(container_, form_, id, [this, id](int delta) {
                Form::ActionScope scope(form_);
                form_.Spin(id, delta);
            });
        case ControlKind::Tab: {
            auto* tabs = new QTabBar(container_);
            tabs->setExpanding(false);
            connect(tabs, &QTabBar::currentChanged, this, [this, id, tabs](int index) {
                if (syncing_ != 0) return;
                {
                    Form::ActionScope scope(form_);
                    form_.ChooseTab(id, index);
                }
                SyncGuard guard(syncing_);
                tabs->setCurrentIndex(form_.Selection(id));
            });
            return tabs;
        }
        case ControlKind::Grid:
            return new GridWidget(form_.GridAt(id), form_, container_);
        case ControlKind::Group:
            return new QGroupBox(container_);
    }
    return new QWidget(container_);
}

void FormBinder::ApplyAll(int id) {
    for (ChangeKind k : {ChangeKind::Entries, ChangeKind::Text, ChangeKind::Selection,
                         ChangeKind::Check, ChangeKind::State, ChangeKind::Geometry})
        Apply({id, k});
}

void FormBinder::Place(int id) {
    const Control& c = form_.At(id);
    QWidget* w = widget(id);
    if (c.rect.width <= 0 || c.rect.height <= 0) return;  // laid out by the view
    QPoint origin(0, 0);
    if (c.anchor != 0) {
        if (QWidget* anchor = widget(c.anchor)) {
            // The anchor's client area: for a grid, inside its frame, headings included.
            QPoint client = anchor->contentsRect().topLeft();
            origin = anchor->mapTo(container_, client);
        }
    }
    w->setGeometry(origin.x() + c.rect.x, origin.y() + c.rect.y, c.rect.width, c.rect.height);
    if (c.anchor != 0) w->raise();
}

void FormBinder::Apply(const Change& change) {
    if (!form_.Has(change.id)) return;
    QWidget* w = widget(change.id);
    if (!w) return;
    const Control& c = form_.At(change.id);
    if (auto* g = qobject_cast<GridWidget*>(w)) {
        switch (change.kind) {
            case ChangeKind::Cell:
                g->SyncCell(change.row, change.col);
                break;
            case ChangeKind::Grid:
                g->SyncAll();
                break;
            case ChangeKind::Geometry:
                g->SyncGeometry();
                break;
            case ChangeKind::Selection:
                g->SyncCurrent();
                break;
            case ChangeKind::Focus:
                if (form_.Focused() == change.id && !g->hasFocus())
                    g->setFocus(Qt::OtherFocusReason);
                break;
            case ChangeKind::State:
                g->setEnabled(c.enabled);
                g->setVisible(c.visible);
                break;
            default:
                break;
        }
        return;
    }
    SyncGuard guard(syncing_);
    const QString text = QString::fromStdString(c.text);
    switch (change.kind) {
        case ChangeKind::Text:
            if (auto* le = qobject_cast<QLineEdit*>(w)) {
                if (le->text() != text) le->setText(text);
                if (c.all_selected) le->selectAll();
            } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
                if (cb->isEditable()) {
                    if (cb->currentText() != text) cb->setEditText(text);
                    if (c.all_selected) cb->lineEdit()->selectAll();
                }
            } else if (auto* label = qobject_cast<QLabel*>(w)) {
                label->setText(text);
            } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
                box->setTitle(text);
            } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
                button->setText(text);
            }
            break;
        case ChangeKind::Entries:
            if (auto* cb = qobject_cast<QComboBox*>(w)) {
                cb->clear();
                cb->addItems(Entries(c));
                cb->setCurrentIndex(c.selection);
                if (cb->isEditable()) cb->setEditText(text);
            } else if (auto* tabs = qobject_cast<QTabBar*>(w)) {
                while (tabs->count() > 0) tabs->removeTab(0);
                for (const auto& e : c.entries) tabs->addTab(QString::fromStdString(e));
                tabs->setCurrentIndex(c.selection);
            }
            break;
        case ChangeKind::Selection:
            if (auto* cb = qobject_cast<QComboBox*>(w)) {
                cb->setCurrentIndex(c.selection);
                if (cb->isEditable()) cb->setEditText(text);
            } else if (auto* tabs = qobject_cast<QTabBar*>(w)) {
                tabs->setCurrentIndex(c.selection);
            }
            break;
        case ChangeKind::Check:
            if (auto* check = qobject_cast<QCheckBox*>(w)) check->setChecked(c.checked);
            break;
        case ChangeKind::State:
            w->setEnabled(c.enabled);
            w->setVisible(c.visible);
            if (auto* label = qobject_cast<QLabel*>(w); label && c.text_colour != 0) {
                QPalette p = label->palette();
                p.setColor(QPalette::WindowText,
                           QColor(static_cast<int>(c.text_colour & 0xFF),
                                  static_cast<int>((c.text_colour >> 8) & 0xFF),
                                  static_cast<int>((c.text_colour >> 16) & 0xFF)));
                label->setPalette(p);
            }
            if (QLineEdit* le = LineEditOf(w)) {
                le->setReadOnly(c.read_only);
                // A field that only shows its text has the dialog's background, not an edit's.
                QPalette p = le->palette();
                p.setColor(QPalette::Base, c.read_only
                                               ? container_->palette().color(QPalette::Window)
                                               : container_->palette().color(QPalette::Base));
                le->setPalette(p);
                le->setEchoMode(c.masked ? QLineEdit::Password : QLineEdit::Normal);
                // The length limit holds for typing only (the form enforces it): a text the
                // editor sets, such as "Off" in a two-character field, is shown whole.
            }
            if (c.visible && c.anchor != 0) w->raise();
            break;
        case ChangeKind::Geometry:
            Place(change.id);
            break;
        case ChangeKind::Focus:
            if (form_.Focused() == change.id && !w->hasFocus()) {
                if (QLineEdit* le = LineEditOf(w); le && c.all_selected) le->selectAll();
                w->setFocus(Qt::OtherFocusReason);
            }
            break;
        case ChangeKind::Cell:
        case ChangeKind::Grid:
            break;
    }
}

bool FormBinder::TypeInto(int id, QWidget* edit, QKeyEvent* event) {
    auto* le = qobject_cast<QLineEdit*>(edit);
    if (!le) return false;
    const QString text = event->text();
    if (text.size() != 1 || event->key() == Qt::Key_Backspace || !text[0].isPrint() ||
        (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
        return false;  // editing keys and shortcuts (Ctrl+V pastes) work as usual
    const QChar qc = text[0];
    const char c = qc.unicode() < 0x80 ? static_cast<char>(qc.unicode()) : '\0';
    // What stays beside the character: the text without the selection it replaces.
    QString kept = le->text();
    if (le->hasSelectedText()) kept.remove(le->selectionStart(), le->selectedText().size());
    const char taken = c == '\0' ? '\0' : form_.FilterChar(id, c, kept.toStdString());
    Form::ActionScope scope(form_);
    if (taken == '\0') {
        form_.Raise({.type = EventType::CharTyped, .id = id, .ch = c, .accepted = false});
        return true;
    }
    const std::size_t limit = form_.At(id).limit;
    const bool room =
        limit == 0 || le->hasSelectedText() || static_cast<std::size_t>(le->text().size()) < limit;
    if (room) {
        typing_ = true;
        le->insert(QString(QChar(taken)));
        typing_ = false;
    }
    form_.Raise({.type = EventType::CharTyped, .id = id, .ch = c, .accepted = room});
    return true;
}

QString FormBinder::HoldToTyping(int id, QLineEdit* edit, const QString& text) {
    if (typing_) return text;
    // What changed: the text between the part kept at the start and the part kept at the end.
    const QString before = QString::fromStdString(form_.At(id).text);
    const qsizetype shorter = std::min(before.size(), text.size());
    qsizetype head = 0;
    while (head < shorter && before[head] == text[head]) ++head;
    qsizetype tail = 0;
    while (tail < shorter - head &&
           before[before.size() - 1 - tail] == text[text.size() - 1 - tail])
        ++tail;
    const QString inserted = text.mid(head, text.size() - head - tail);
    if (inserted.isEmpty()) return text;  // only deleted
    const QString kept = QString::fromStdString(form_.FilterInsertion(
        id, text.left(head).toStdString(), inserted.toStdString(), text.right(tail).toStdString()));
    if (kept != text) {
        edit->setText(kept);
        edit->setCursorPosition(static_cast<int>(kept.size() - tail));
    }
    return kept;
}

bool FormBinder::eventFilter(QObject* watched, QEvent* event) {
    const int id = IdOf(watched);
    if (id == 0 || !*alive_) return QObject::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::FocusIn:
            if (syncing_ == 0 && form_.Focused() != id) form_.Focus(id);
            break;
        case QEvent::FocusOut: {
            const auto reason = static_cast<QFocusEvent*>(event)->reason();
            // A combo's own list popping up, or another window taking the focus, is not the
            // control losing it.
            if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason) break;
            QWidget* next = QApplication::focusWidget();
            // Nor is the focus moving into that list once it is up (its view takes the focus
            // with no popup reason): taken for a loss, it closed a cell list under its own
            // entries, and the focus coming back from them went on to another child window.
            if (next && next->window()->windowType() == Qt::Popup) break;
            const int next_id = next ? IdOf(next) : 0;
            if (next_id == id) break;
            if (form_.Focused() == id) form_.Focus(next_id);
            break;
        }
        case QEvent::MouseButtonDblClick:
            // An in-place editor keeps its whole text selected (Qt would select one word).
            if (LineEditOf(qobject_cast<QWidget*>(watched)) && form_.DoubleClick(id)) return true;
            break;
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            if (form_.At(id).kind == ControlKind::Grid) break;  // the grid widget handles its keys
            if (auto k = FormKeyOf(key->key(), false)) {
                if (form_.Press(id, *k)) return true;
                break;
            }
            if (auto* w = qobject_cast<QWidget*>(watched)) {
                if (TypeInto(id, w, key)) return true;
            }
            break;
        }
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace vm::gui
