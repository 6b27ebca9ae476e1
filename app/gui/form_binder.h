// The one renderer of headless forms: it creates a Qt widget for every control of a form,
// keeps each widget in step with the form's change notifications, and hands the user's actions
// back to the form (focus, typed characters through the control's filter, list choices,
// clicks, keys, spins, tabs, the grid's mouse, keys and scrolling). View files only say where
// the widgets go.
#pragma once

#include <QLineEdit>
#include <QObject>
#include <QRect>
#include <QWidget>
#include <map>
#include <memory>

#include "app/widgets/form.h"

namespace vm::gui {

class GridWidget;

class FormBinder : public QObject {
    Q_OBJECT
public:
    // Widgets are created as children of `container` (the form's client area).
    FormBinder(Form& form, QWidget* container);
    ~FormBinder() override;

    Form& form() { return form_; }
    QWidget* container() const { return container_; }
    QWidget* widget(int id) const;
    GridWidget* grid(int id) const;
    int IdOf(const QObject* widget) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* Create(const Control& c);
    void Apply(const Change& change);
    void ApplyAll(int id);
    void Place(int id);
    bool TypeInto(int id, QWidget* edit, QKeyEvent* event);
    // A text the user changed other than by a typed key (paste, drop, undo): what it inserted is
    // held to the rules of typing. Returns the text the edit keeps.
    QString HoldToTyping(int id, QLineEdit* edit, const QString& text);

    Form& form_;
    QWidget* container_;
    std::map<int, QWidget*> widgets_;
    std::map<const QObject*, int> ids_;
    int syncing_ = 0;
    bool typing_ = false;  // a typed key, filtered already, is going into its edit
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vm::gui
