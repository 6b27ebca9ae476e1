#include "tools/cli/editor_catalogue.h"

#include <cctype>
#include <string>

#include "app/editors/settings/basic_setting_view.h"

namespace vm::cli {

namespace {

template <class View>
std::unique_ptr<CBaseFormView> OpenTabbed(shell::Document& doc) {
    auto view = std::make_unique<View>(doc.Image());
    view->OnInitialUpdate();
    return view;
}

const EditorEntry kEditors[] = {
    {"Basic setting", OpenTabbed<CBasicSettingView>},
};

}  // namespace

std::span<const EditorEntry> Editors() {
    return kEditors;
}

const EditorEntry* FindEditor(std::string_view name) {
    for (const EditorEntry& e : kEditors) {
        if (e.name.size() != name.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(e.name[i])) ==
                   std::tolower(static_cast<unsigned char>(name[i]));
        if (same) return &e;
    }
    return nullptr;
}

std::string EditorNames() {
    std::string s;
    for (const EditorEntry& e : kEditors)
        s += (s.empty() ? "\"" : ", \"") + std::string(e.name) + "\"";
    return s;
}

}  // namespace vm::cli
