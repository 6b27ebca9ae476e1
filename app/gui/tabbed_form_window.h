// A window for every tabbed editor (basic settings, DTMF, two-tone): the view's tab strip over
// its pages, each page's form rendered by the form binder and laid out from its layout.
#pragma once

#include <memory>
#include <vector>

#include "app/editors/catalogue/catalogue.h"
#include "app/editors/framework/tabbed_view.h"
#include "app/gui/child_frame.h"

class QStackedWidget;

namespace vm::gui {

class FormBinder;

class TabbedFormWindow : public EditorWindow {
    Q_OBJECT
public:
    // Each page laid out as the entry says (the default layout without one).
    explicit TabbedFormWindow(std::unique_ptr<CTabbedView> view, const EditorEntry* entry = nullptr,
                              QWidget* parent = nullptr);
    ~TabbedFormWindow() override;

    CBaseFormView* FormView() override { return view_.get(); }
    int HelpContext() const override { return view_->HelpContext(); }
    CTabbedView& view() { return *view_; }
    // The widget of a control of page `page` (the page's binder), or of the tab strip (-1).
    QWidget* control(int page, int id) const;
    int shownPage() const;

private:
    void ShowSelectedPage();

    std::unique_ptr<CTabbedView> view_;  // outlives the binders below
    std::unique_ptr<FormBinder> tab_binder_;
    std::vector<std::unique_ptr<FormBinder>> page_binders_;
    QStackedWidget* stack_ = nullptr;
};

}  // namespace vm::gui
