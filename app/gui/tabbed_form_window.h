// A window for every tabbed editor (basic settings, DTMF, two-tone): the view's tab strip over
// its pages, each page's form rendered by the form binder and laid out from its labels.
#pragma once

#include <memory>
#include <vector>

#include "app/editors/settings/tabbed_view.h"
#include "app/gui/child_frame.h"

class QStackedWidget;

namespace vm::gui {

class CMainFrame;
class FormBinder;

class TabbedFormWindow : public EditorWindow {
    Q_OBJECT
public:
    explicit TabbedFormWindow(std::unique_ptr<CTabbedView> view, QWidget* parent = nullptr);
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

// Lays out the labelled controls of a form in two columns of label and control (a spin beside
// its edit); controls without a label are left where the form places them.
void LayOutLabelledForm(FormBinder& binder, QWidget* container);

// The basic settings window for the main frame.
EditorWindow* OpenBasicSettings(CMainFrame& frame);

}  // namespace vm::gui
