#include "app/widgets/form_layout.h"

#include <map>

namespace vm {

FormLayout DefaultLayout(const Form& form) {
    FormLayout layout;
    std::map<int, int> spin_of;  // edit -> its spin
    for (int id : form.Ids()) {
        const Control& c = form.At(id);
        if (c.kind == ControlKind::Spin && c.spin.buddy != 0) spin_of[c.spin.buddy] = id;
    }
    std::map<int, std::size_t> group_block;  // group box -> its block
    LayoutBlock buttons{.kind = BlockKind::Buttons};
    auto rows_block = [&layout]() -> LayoutBlock& {
        if (layout.blocks.empty() || layout.blocks.back().kind != BlockKind::Rows)
            layout.blocks.push_back({.kind = BlockKind::Rows});
        return layout.blocks.back();
    };
    for (int id : form.Ids()) {
        const Control& c = form.At(id);
        switch (c.kind) {
            case ControlKind::Group:
                group_block[id] = layout.blocks.size();
                layout.blocks.push_back({.kind = BlockKind::Group, .id = id, .caption = c.text});
                continue;
            case ControlKind::Tab:
                layout.blocks.push_back({.kind = BlockKind::Tab, .id = id});
                continue;
            case ControlKind::Grid:
                layout.blocks.push_back({.kind = BlockKind::Grid, .id = id});
                continue;
            case ControlKind::Spin:
                // Beside its edit when the edit is laid out; else where the form puts it.
                if (c.spin.buddy != 0 && form.Has(c.spin.buddy) &&
                    !form.At(c.spin.buddy).label.empty())
                    continue;
                break;
            default:
                break;
        }
        if (c.label.empty()) {
            if (c.kind == ControlKind::Button && c.anchor == 0)
                buttons.ids.push_back(id);
            else
                layout.placed.push_back(id);
            continue;
        }
        LayoutRow row{c.label, {id}};
        if (auto s = spin_of.find(id); s != spin_of.end()) row.ids.push_back(s->second);
        if (auto g = group_block.find(c.group); g != group_block.end())
            layout.blocks[g->second].rows.push_back(std::move(row));
        else
            rows_block().rows.push_back(std::move(row));
    }
    if (!buttons.ids.empty()) layout.blocks.push_back(std::move(buttons));
    return layout;
}

int RowCount(const FormLayout& layout) {
    int n = 0;
    for (const LayoutBlock& b : layout.blocks) n += static_cast<int>(b.rows.size());
    return n;
}

}  // namespace vm
