// The editors the tool can show and set, by the text of their tree item.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "app/editors/settings/base_form_view.h"
#include "app/shell/data_file.h"

namespace vm::cli {

struct EditorEntry {
    std::string_view name;  // the tree item's text: "Basic setting"
    // Creates the editor's view over the document, initialised as its window is when it opens
    // (lists filled, fields loaded).
    std::function<std::unique_ptr<CBaseFormView>(shell::Document& doc)> open;
};

std::span<const EditorEntry> Editors();
// The editor whose name is `name`, compared without case; nullptr when none.
const EditorEntry* FindEditor(std::string_view name);
// "\"Basic setting\", ..." for messages.
std::string EditorNames();

}  // namespace vm::cli
