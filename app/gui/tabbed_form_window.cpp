#include "app/gui/tabbed_form_window.h"

#include <QGridLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/gui/editor_windows.h"
#include "app/gui/form_binder.h"

namespace vm::gui {

TabbedFormWindow::TabbedFormWindow(std::unique_ptr<CTabbedView> view, const EditorEntry* entry,
                                   QWidget* parent)
    : EditorWindow(parent), view_(std::move(view)) {
    view_->OnInitialUpdate();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(0);
    tab_binder_ = std::make_unique<FormBinder>(view_->form(), this);
    layout->addWidget(tab_binder_->widget(view_->tab_id()));
    stack_ = new QStackedWidget(this);
    stack_->setFrameShape(QFrame::StyledPanel);
    layout->addWidget(stack_, 1);
    for (int i = 0; i < view_->PageCount(); ++i) {
        auto* page = new QWidget(stack_);
        page->setObjectName(QString::fromStdString(view_->Page(i).caption()));
        auto binder = std::make_unique<FormBinder>(view_->Page(i).form(), page);
        const Form& form = view_->Page(i).form();
        LayOutForm(*binder, entry ? EditorLayout(*entry, form) : DefaultLayout(form), page);
        stack_->addWidget(page);
        page_binders_.push_back(std::move(binder));
    }
    view_->form().Listen([this](const Change& c) {
        if (c.id == view_->tab_id()) ShowSelectedPage();
    });
    ShowSelectedPage();
}

TabbedFormWindow::~TabbedFormWindow() {
    // The window closes: the selected page is stored before the widgets go.
    view_->Destroy();
}

void TabbedFormWindow::ShowSelectedPage() {
    const int sel = view_->SelectedTab();
    if (sel >= 0 && sel < stack_->count()) stack_->setCurrentIndex(sel);
}

int TabbedFormWindow::shownPage() const {
    return stack_->currentIndex();
}

QWidget* TabbedFormWindow::control(int page, int id) const {
    if (page < 0) return tab_binder_->widget(id);
    return page_binders_[static_cast<std::size_t>(page)]->widget(id);
}

}  // namespace vm::gui
