#include "app/editors/framework/tabbed_view.h"

namespace vm {

void CFormPage::Create() {
    if (created_) return;
    Build();
    created_ = true;
    LoadFromImage();
}

CTabbedView::~CTabbedView() {
    if (initialised_) Destroy();
}

void CTabbedView::BindKeys(Form& form) {
    // Enter and Escape never reach a default button or close anything.
    form.On(EventType::KeyPressed, 0, [this](const Event& e) {
        if (e.key == Key::Enter || e.key == Key::Escape) return true;
        if (e.key == Key::F1) {
            if (open_help) open_help(HelpContext());
            return true;
        }
        return false;
    });
}

void CTabbedView::OnInitialUpdate() {
    if (initialised_) return;
    initialised_ = true;
    Control& tab = form_.Add(tab_id_, ControlKind::Tab);
    std::vector<std::string> captions;
    for (const auto& p : pages_) captions.push_back(p->caption());
    form_.SetEntries(tab_id_, std::move(captions));
    (void)tab;
    BindKeys(form_);
    for (auto& p : pages_) {
        p->Create();
        BindKeys(p->form());
    }
    form_.On(EventType::TabChanging, tab_id_, [this](const Event& e) {
        if (e.index >= 0 && e.index < PageCount()) {
            // The page is left: its focused control commits before the page is stored.
            Page(e.index).form().Focus(0);
            Page(e.index).StoreToImage();
        }
        return false;
    });
    form_.On(EventType::TabChanged, tab_id_, [this](const Event& e) {
        if (e.index >= 0 && e.index < PageCount()) Page(e.index).LoadFromImage();
        ShowSelected();
        return false;
    });
    form_.Select(tab_id_, pages_.empty() ? -1 : 0);
    form_.Focus(tab_id_);
    ShowSelected();
}

void CTabbedView::ShowSelected() {
    const int sel = SelectedTab();
    for (int i = 0; i < PageCount(); ++i) Page(i).set_shown(i == sel);
}

int CTabbedView::SelectedTab() const {
    return initialised_ ? form_.Selection(tab_id_) : -1;
}

CFormPage* CTabbedView::SelectedPage() {
    const int sel = SelectedTab();
    return sel >= 0 && sel < PageCount() ? &Page(sel) : nullptr;
}

void CTabbedView::LoadFromImage() {
    if (CFormPage* p = SelectedPage()) p->LoadFromImage();
}

void CTabbedView::StoreToImage() {
    CFormPage* selected = SelectedPage();
    if (selected) selected->StoreToImage();
    for (auto& p : pages_) {
        if (p.get() == selected || !p->created() || !p->stores_on_close()) continue;
        p->LoadFromImage();
        p->StoreToImage();
    }
}

void CTabbedView::Destroy() {
    if (!initialised_) return;
    // The selected page is stored, then every page that stores itself as its window goes
    // (StoreToImage).
    CBaseFormView::Destroy();
    initialised_ = false;
}

std::vector<FormPage> CTabbedView::Pages() {
    std::vector<FormPage> pages;
    for (int i = 0; i < PageCount(); ++i)
        pages.push_back({.caption = Page(i).caption(),
                         .form = &Page(i).form(),
                         .tab_form = &form_,
                         .tab = tab_id_,
                         .index = i});
    return pages;
}

int CTabbedView::HelpContext() const {
    const int sel = SelectedTab();
    if (sel < 0 || sel >= static_cast<int>(pages_.size())) return kNoTabHelpContext;
    return pages_[static_cast<std::size_t>(sel)]->help_context();
}

}  // namespace vm
