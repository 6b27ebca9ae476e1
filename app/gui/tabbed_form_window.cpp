#include "app/gui/tabbed_form_window.h"

#include <QGridLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/editors/settings/basic_setting_view.h"
#include "app/gui/form_binder.h"
#include "app/gui/main_frame.h"

namespace vm::gui {

void LayOutLabelledForm(FormBinder& binder, QWidget* container) {
    Form& form = binder.form();
    std::vector<int> rows;
    std::map<int, int> spin_of;  // edit -> its spin
    for (int id : form.Ids()) {
        const Control& c = form.At(id);
        if (c.kind == ControlKind::Spin && c.spin.buddy != 0) spin_of[c.spin.buddy] = id;
        if (!c.label.empty()) rows.push_back(id);
    }
    auto* grid = new QGridLayout(container);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setHorizontalSpacing(10);
    const int visible = static_cast<int>(
        std::count_if(rows.begin(), rows.end(), [&](int id) { return form.At(id).visible; }));
    const int per_column = visible > 12 ? (visible + 1) / 2 : visible;
    int placed = 0;
    for (int id : rows) {
        const Control& c = form.At(id);
        QWidget* w = binder.widget(id);
        if (!c.visible) continue;  // created hidden and never shown
        const int col = placed < per_column ? 0 : 3;
        const int row = placed < per_column ? placed : placed - per_column;
        auto* label = new QLabel(QString::fromStdString(c.label), container);
        label->setBuddy(w);
        grid->addWidget(label, row, col);
        if (auto s = spin_of.find(id); s != spin_of.end()) {
            auto* pair = new QWidget(container);
            auto* h = new QHBoxLayout(pair);
            h->setContentsMargins(0, 0, 0, 0);
            h->setSpacing(0);
            w->setParent(pair);
            h->addWidget(w, 1);
            QWidget* spin = binder.widget(s->second);
            spin->setParent(pair);
            h->addWidget(spin);
            grid->addWidget(pair, row, col + 1);
        } else {
            grid->addWidget(w, row, col + 1);
        }
        ++placed;
    }
    grid->setColumnMinimumWidth(2, 24);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(4, 1);
    grid->setRowStretch(per_column, 1);
}

TabbedFormWindow::TabbedFormWindow(std::unique_ptr<CTabbedView> view, QWidget* parent)
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
        LayOutLabelledForm(*binder, page);
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

EditorWindow* OpenBasicSettings(CMainFrame& frame) {
    auto view = std::make_unique<CBasicSettingView>(frame.image());
    view->open_help = [&frame](int) { frame.OnHelp(); };
    auto* w = new TabbedFormWindow(std::move(view));
    w->setObjectName("CBasicSettingView");
    return w;
}

}  // namespace vm::gui
