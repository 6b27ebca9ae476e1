// Editors whose view is a tab strip over page dialogs (basic settings, DTMF, two-tone).
//
// The view owns its pages: it creates them on its first update (each page fills its lists and
// loads itself), stores the page being left when the tab changes and loads the page chosen,
// and forwards the frame's load to the selected page. A store reaches the selected page and
// every page that stores itself when its window goes (basic settings): such a page that is not
// selected holds no edit (it was stored when it was left), so it is loaded from the image
// first and stores what it shows, corrected as the page corrects it, never an older view.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/editors/framework/base_form_view.h"

namespace vm {

// One page dialog of a tabbed view.
class CFormPage {
public:
    CFormPage(std::string caption, int template_id, int help_context)
        : caption_(std::move(caption)), template_id_(template_id), help_context_(help_context) {}
    virtual ~CFormPage() = default;
    CFormPage(const CFormPage&) = delete;
    CFormPage& operator=(const CFormPage&) = delete;

    virtual void LoadFromImage() {}
    virtual void StoreToImage() {}

    // Dialog initialisation: build the controls and fill the lists, then load.
    void Create();
    bool created() const { return created_; }

    Form& form() { return form_; }
    const Form& form() const { return form_; }
    const std::string& caption() const { return caption_; }
    int template_id() const { return template_id_; }
    int help_context() const { return help_context_; }
    bool shown() const { return shown_; }
    void set_shown(bool shown) { shown_ = shown; }
    // The page stores itself when its window is destroyed, selected or not.
    bool stores_on_close() const { return stores_on_close_; }
    void set_stores_on_close(bool stores) { stores_on_close_ = stores; }

protected:
    // Adds the page's controls and fills its lists.
    virtual void Build() = 0;
    Form form_;

private:
    std::string caption_;
    int template_id_;
    int help_context_;
    bool created_ = false;
    bool shown_ = false;
    bool stores_on_close_ = false;
};

class CTabbedView : public CBaseFormView {
public:
    static constexpr int kNoTabHelpContext = 32789;

    explicit CTabbedView(int tab_id) : tab_id_(tab_id) {}
    ~CTabbedView() override;

    // First update: tab captions, pages created and loaded, tab 0 selected and shown.
    void OnInitialUpdate() override;
    // The view's window is destroyed: the selected page is stored (its focused control
    // committed first).
    void Destroy() override;

    void LoadFromImage() override;
    void StoreToImage() override;

    int tab_id() const { return tab_id_; }
    int PageCount() const { return static_cast<int>(pages_.size()); }
    CFormPage& Page(int i) { return *pages_[static_cast<std::size_t>(i)]; }
    int SelectedTab() const;
    CFormPage* SelectedPage();
    // The user picks a tab (the page left is stored, the page chosen loaded and shown).
    void ChooseTab(int index) { form_.ChooseTab(tab_id_, index); }

    // F1: the help context of the selected tab, or kNoTabHelpContext.
    int HelpContext() const override;
    // The pages, each shown by choosing its tab of the view's tab strip.
    std::vector<FormPage> Pages() override;

protected:
    void AddPage(std::unique_ptr<CFormPage> page) { pages_.push_back(std::move(page)); }

private:
    void ShowSelected();
    void BindKeys(Form& form);
    int tab_id_;
    std::vector<std::unique_ptr<CFormPage>> pages_;
    bool initialised_ = false;
};

}  // namespace vm
